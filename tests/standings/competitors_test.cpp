#include "standings/competitors.h"

#include <gtest/gtest.h>

namespace {

class CompetitorTable : public ::testing::Test {
 protected:
  TCompetitors table;

  TCompetitor Copy(std::int32_t row, std::int32_t mode) {
    TCompetitor c(-1);
    EXPECT_TRUE(table.CopyByPosition(row, mode, c));
    return c;
  }
};

TEST_F(CompetitorTable, NewRecordHasZerosAndNameZero) {
  TCompetitor* c = table.FindOrAdd(42);
  EXPECT_EQ(c->regNumber, 42);
  EXPECT_EQ(c->number, 0);
  EXPECT_EQ(c->name, u"0");
  EXPECT_EQ(table.FindOrAdd(42), c) << "a second lookup must find, not add";
  EXPECT_EQ(table.GetCount(), 1);
}

TEST_F(CompetitorTable, RaceUpdateForUnknownCompetitorChangesNothing) {
  table.SetCompetitorInfo(1, 11, u"A");
  table.UpdateRace(1, 60000, 1, 1);
  const std::int32_t before = table.GetMaxPosition();
  table.UpdateRace(99, 1000, 7, 3);
  EXPECT_EQ(table.GetCount(), 1);
  EXPECT_EQ(table.GetMaxPosition(), before);
  EXPECT_EQ(table.FindByPosition(0, smRace)->raceGap, 0);
}

TEST_F(CompetitorTable, BestLapUpdateForUnknownCompetitorStillRaisesMaxAndRecomputesGaps) {
  table.SetCompetitorInfo(1, 11, u"A");
  table.SetCompetitorInfo(2, 22, u"B");
  table.UpdateBestLap(1, 30000, 1, 2);
  table.FindOrAdd(2)->bestLapTime = 31500;  // set without a gap pass
  table.UpdateBestLap(99, 29000, 9, 4);
  EXPECT_EQ(table.GetMaxPosition(), 9);
  EXPECT_EQ(table.GetCount(), 2);
  EXPECT_EQ(table.FindOrAdd(2)->bestLapGap, 1500);
}

TEST_F(CompetitorTable, FirstPassingCreatesRecordWithCountAsPositions) {
  table.SetCompetitorInfo(1, 11, u"A");
  table.AddPassing(7, 41000, 123000);
  const TCompetitor* c = table.FindOrAdd(7);
  EXPECT_EQ(c->name, u"0");
  EXPECT_EQ(c->number, 0);
  EXPECT_EQ(c->lastLapTime, 41000);
  EXPECT_EQ(c->totalTime, 123000);
  EXPECT_EQ(c->racePosition, 2);
  EXPECT_EQ(c->bestLapPosition, 2);
  EXPECT_EQ(table.GetMaxPosition(), 0);

  table.AddPassing(7, 40000, 999999);
  EXPECT_EQ(c->lastLapTime, 40000);
  EXPECT_EQ(c->totalTime, 123000) << "a later passing keeps the total of creation";
}

TEST_F(CompetitorTable, PassingHistoryKeeps32NewestFirst) {
  for (int i = 1; i <= 33; ++i) table.AddPassing(i, i * 1000, 0);
  EXPECT_EQ(table.GetPassing(0).regNumber, 33);
  EXPECT_EQ(table.GetPassing(0).lapTime, 33000);
  EXPECT_EQ(table.GetPassing(31).regNumber, 2) << "the first passing dropped out";
  EXPECT_EQ(table.GetPassing(32).regNumber, 0);
  EXPECT_EQ(table.GetPassing(-1).regNumber, 0);
}

TEST_F(CompetitorTable, PassingWithRegistrationZeroIsAnOrdinaryCompetitor) {
  table.AddPassing(0, 5000, 5000);
  EXPECT_EQ(table.GetCount(), 1);
  EXPECT_EQ(table.GetPassing(0).lapTime, 5000);
  EXPECT_EQ(table.FindOrAdd(0)->lastLapTime, 5000);
}

TEST_F(CompetitorTable, ClearEmptiesEverything) {
  table.SetCompetitorInfo(1, 11, u"A");
  table.UpdateRace(1, 1000, 4, 1);
  table.AddPassing(1, 1000, 1000);
  table.Clear();
  EXPECT_EQ(table.GetCount(), 0);
  EXPECT_EQ(table.GetMaxPosition(), 0);
  for (int k = 0; k < 32; ++k) {
    EXPECT_EQ(table.GetPassing(k).lapTime, 0);
    EXPECT_EQ(table.GetPassing(k).regNumber, 0);
  }
}

TEST_F(CompetitorTable, CopyOfMissingPositionLeavesDestinationAlone) {
  table.SetCompetitorInfo(1, 11, u"A");
  table.UpdateRace(1, 1000, 1, 1);
  TCompetitor dest(5);
  dest.name = u"keep";
  dest.laps = 77;
  EXPECT_FALSE(table.CopyByPosition(4, smRace, dest));
  EXPECT_EQ(dest.name, u"keep");
  EXPECT_EQ(dest.laps, 77);
  EXPECT_EQ(dest.regNumber, 5);
}

TEST_F(CompetitorTable, CopyIsDeepAndSurvivesClear) {
  table.SetCompetitorInfo(3, 33, u"Имя");
  table.UpdateRace(3, 1000, 1, 1);
  TCompetitor c = Copy(0, smRace);
  table.Clear();
  EXPECT_EQ(c.name, u"Имя");
  EXPECT_EQ(c.number, 33);
}

TEST_F(CompetitorTable, DuplicatePositionGivesFirstInItems) {
  table.SetCompetitorInfo(1, 11, u"A");
  table.SetCompetitorInfo(2, 22, u"B");
  table.UpdateRace(1, 1000, 2, 1);
  table.UpdateRace(2, 2000, 2, 1);
  EXPECT_EQ(table.FindByPosition(1, smRace)->regNumber, 1);
}

TEST_F(CompetitorTable, SetCompetitorInfoRenamesInPlace) {
  table.AddPassing(5, 1000, 1000);
  table.SetCompetitorInfo(5, 55, u"Петров Иван");
  EXPECT_EQ(table.GetCount(), 1);
  EXPECT_EQ(table.FindOrAdd(5)->name, u"Петров Иван");
  EXPECT_EQ(table.FindOrAdd(5)->number, 55);
}

// The roster is bounded: a feed inventing registration numbers cannot grow
// it past the limit, and what it holds keeps working.
TEST_F(CompetitorTable, RosterStopsTakingNewRegistrationsAtItsLimit) {
  const auto limit = static_cast<std::int32_t>(kRosterLimit);
  for (std::int32_t reg = 1; reg <= limit + 1; ++reg) {
    table.SetCompetitorInfo(reg, reg % 100 + 1, u"n");
    if (reg % 500 == 0) table.Clear();  // keeps the standings small; the roster stays
  }
  EXPECT_EQ(table.GetRosterSize(), kRosterLimit);
  table.SetCompetitorInfo(limit, 7, u"renamed");
  table.Clear();
  table.AddPassing(limit + 1, 1000, 1000);
  table.AddPassing(limit, 1000, 1000);
  EXPECT_EQ(table.FindOrAdd(limit + 1)->number, 0) << "beyond the limit: not kept";
  EXPECT_EQ(table.FindOrAdd(limit)->number, 7);
  EXPECT_EQ(table.FindOrAdd(limit)->name, u"renamed");
  table.ClearRoster();
  EXPECT_EQ(table.GetRosterSize(), 0u);
}

}  // namespace
