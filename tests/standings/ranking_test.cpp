#include <gtest/gtest.h>

#include "standings/competitors.h"

namespace {

class Ranking : public ::testing::Test {
 protected:
  TCompetitors table;

  void Add(std::int32_t reg) { table.SetCompetitorInfo(reg, reg, u"n"); }
  std::int32_t RaceGap(std::int32_t reg) { return table.FindOrAdd(reg)->raceGap; }
  std::int32_t BestGap(std::int32_t reg) { return table.FindOrAdd(reg)->bestLapGap; }
};

TEST_F(Ranking, RaceGapsByLapsAndTime) {
  for (int r = 1; r <= 4; ++r) Add(r);
  table.UpdateRace(2, 0, 3, 3);       // 3 laps
  table.UpdateRace(3, 0, 4, 5);       // 5 laps, no time yet
  table.UpdateRace(4, 101500, 2, 5);  // 5 laps, 1.5 s behind
  table.UpdateRace(1, 100000, 1, 5);  // leader
  EXPECT_EQ(RaceGap(1), 0);
  EXPECT_EQ(RaceGap(2), -2);
  EXPECT_EQ(RaceGap(3), -6);
  EXPECT_EQ(RaceGap(4), 1500);
}

TEST_F(Ranking, WithoutPositionOneTheUpdatedRecordLeads) {
  Add(1);
  Add(2);
  table.UpdateRace(2, 50000, 5, 2);
  EXPECT_EQ(RaceGap(2), 0);
  table.UpdateRace(1, 52000, 6, 2);
  EXPECT_EQ(RaceGap(1), 0) << "the fallback leader is the record just updated";
  EXPECT_EQ(RaceGap(2), 0) << "2 is ahead of 1 in time: no negative time gap";
}

TEST_F(Ranking, LeaderWithoutTimeGivesEveryoneTheirOwnTotal) {
  Add(1);
  Add(2);
  table.UpdateRace(2, 7000, 2, 0);
  table.UpdateRace(1, 0, 1, 0);
  EXPECT_EQ(RaceGap(2), 7000);
}

TEST_F(Ranking, CompetitorAheadOfLeaderTimeHasNoGapInsteadOfNegative) {
  // More laps than the record at position 1 and a smaller difference would
  // give a negative time gap, which reads as "laps behind" on the board.
  Add(1);
  Add(2);
  table.UpdateRace(1, 100000, 1, 5);
  table.UpdateRace(2, 98500, 2, 6);
  EXPECT_EQ(RaceGap(2), 0);
}

TEST_F(Ranking, ExtremeFeedValuesDoNotOverflowGaps) {
  Add(1);
  Add(2);
  table.UpdateRace(2, 0, 2, std::numeric_limits<std::int32_t>::min());
  table.UpdateRace(1, 1, 1, std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(RaceGap(2), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(RaceGap(1), 0);
}

TEST_F(Ranking, BestLapGaps) {
  for (int r = 1; r <= 3; ++r) Add(r);
  table.UpdateBestLap(2, 31234, 2, 4);
  EXPECT_EQ(BestGap(2), 0) << "no record at best-lap position 1: gaps untouched";
  table.UpdateBestLap(1, 30000, 1, 3);
  EXPECT_EQ(BestGap(1), 0);
  EXPECT_EQ(BestGap(2), 1234);
  EXPECT_EQ(BestGap(3), 0) << "no best lap, no gap";
}

TEST_F(Ranking, FasterLapThanPositionOneIsNoGap) {
  Add(1);
  Add(2);
  table.UpdateBestLap(1, 30000, 1, 3);
  table.UpdateBestLap(2, 29000, 2, 3);
  EXPECT_EQ(BestGap(2), 0);
}

TEST_F(Ranking, GapsChangeOnlyThroughTheirUpdates) {
  Add(1);
  Add(2);
  table.UpdateRace(1, 10000, 1, 1);
  table.UpdateRace(2, 12000, 2, 1);
  table.AddPassing(2, 1, 1);
  table.Sort(smPractice);
  EXPECT_EQ(RaceGap(2), 2000);
}

TEST_F(Ranking, SortOrdersByModeKey) {
  for (int r = 1; r <= 3; ++r) Add(r);
  table.UpdateRace(1, 3000, 3, 1);
  table.UpdateRace(2, 1000, 1, 1);
  table.UpdateRace(3, 2000, 2, 1);
  table.UpdateBestLap(1, 1, 1, 1);
  table.UpdateBestLap(2, 3, 3, 1);
  table.UpdateBestLap(3, 2, 2, 1);

  auto order = [&] {
    std::vector<std::int32_t> regs;
    for (int row = 0; row < 3; ++row) regs.push_back(table.FindByPosition(row, smRace)->regNumber);
    return regs;
  };
  EXPECT_EQ(order(), (std::vector<std::int32_t>{2, 3, 1})) << "rows follow positions whatever the order";

  table.Sort(smPractice);  // total time, largest first
  TCompetitor c;
  ASSERT_TRUE(table.CopyByPosition(2, smRace, c));
  EXPECT_EQ(c.regNumber, 1);
  EXPECT_EQ(table.FindByPosition(0, smBestLap)->regNumber, 1);
  EXPECT_EQ(table.FindByPosition(2, smBestLap)->regNumber, 2);
}

TEST_F(Ranking, SortDecidesWhichDuplicateRowShows) {
  Add(1);
  Add(2);
  table.UpdateRace(1, 5000, 1, 1);
  table.UpdateRace(2, 9000, 1, 1);
  table.Sort(smPractice);  // 2 has the larger total and moves first
  EXPECT_EQ(table.FindByPosition(0, smRace)->regNumber, 2);
}

// A passing brings a competitor in at position = record count; when the feed
// has given that position to another competitor, the row shows the latter.
TEST_F(Ranking, RecordPlacedByTheFeedWinsATiedPosition) {
  table.AddPassing(1, 60000, 60000);  // positions 1
  table.AddPassing(2, 60000, 60000);  // positions 2
  table.UpdateRace(2, 60000, 1, 1);
  table.UpdateBestLap(2, 60000, 1, 1);
  for (std::int32_t mode : {smRace, smBestLap, smPractice}) {
    table.Sort(mode);
    EXPECT_EQ(table.FindByPosition(0, mode == smBestLap ? smBestLap : smRace)->regNumber, 2) << "mode " << mode;
  }
}

TEST_F(Ranking, PracticeModeUsesRacePositionForRows) {
  Add(1);
  table.UpdateRace(1, 1000, 1, 1);
  table.UpdateBestLap(1, 1000, 2, 1);
  EXPECT_EQ(table.FindByPosition(0, smPractice)->regNumber, 1);
  EXPECT_EQ(table.FindByPosition(0, 7)->regNumber, 1) << "unknown modes use the race position";
  EXPECT_EQ(table.FindByPosition(1, smBestLap)->regNumber, 1);
}

}  // namespace
