#include <gtest/gtest.h>

#include "standings/celltext.h"
#include "standings/competitors.h"

namespace {

TEST(FormatLapTime, Forms) {
  EXPECT_EQ(FormatLapTime(0), u"");
  EXPECT_EQ(FormatLapTime(1), u" 0.001");
  EXPECT_EQ(FormatLapTime(5123), u" 5.123");
  EXPECT_EQ(FormatLapTime(59999), u"59.999");
  EXPECT_EQ(FormatLapTime(60000), u"1:00.000");
  EXPECT_EQ(FormatLapTime(754321), u"12:34.321");
  EXPECT_EQ(FormatLapTime(3600000), u"60:00.000");
  EXPECT_EQ(FormatLapTime(std::numeric_limits<std::int32_t>::max()), u"35791:23.647");
  EXPECT_EQ(FormatLapTime(-5), u"") << "a negative time has no text";
}

TEST(FormatGap, Forms) {
  EXPECT_EQ(FormatGap(-1), u"1 кр");
  EXPECT_EQ(FormatGap(-12), u"12 кр");
  EXPECT_EQ(FormatGap(std::numeric_limits<std::int32_t>::min()), u"2147483648 кр");
  EXPECT_EQ(FormatGap(1), u"+ 0.001");
  EXPECT_EQ(FormatGap(59999), u"+59.999");
  EXPECT_EQ(FormatGap(60000), u"+1:00.000");
  EXPECT_EQ(FormatGap(0), u"");
}

class Cells : public ::testing::Test {
 protected:
  TCompetitors& table = CreateCompetitors();
  void SetUp() override { table.Clear(); }
  void TearDown() override { table.Clear(); }
};

TEST_F(Cells, RaceAndBestLapColumns) {
  table.SetCompetitorInfo(10, 7, u"Иванов");
  table.SetCompetitorInfo(20, 123, u"Петров");
  table.UpdateRace(10, 100000, 1, 5);
  table.UpdateRace(20, 101500, 2, 5);
  table.UpdateBestLap(20, 30000, 1, 2);
  table.UpdateBestLap(10, 30250, 2, 3);
  table.AddPassing(10, 31000, 0);

  EXPECT_EQ(GetCellText(0, rcNumber, smRace), u" 7");
  EXPECT_EQ(GetCellText(1, rcNumber, smRace), u"123");
  EXPECT_EQ(GetCellText(0, rcName, smRace), u"Иванов");
  EXPECT_EQ(GetCellText(0, rcLaps, smRace), u"05");
  EXPECT_EQ(GetCellText(0, rcLastLap, smRace), u"31.000");
  EXPECT_EQ(GetCellText(0, rcBestLap, smRace), u"30.250");
  EXPECT_EQ(GetCellText(1, rcGap, smRace), u"+ 1.500");
  EXPECT_EQ(GetCellText(0, rcGap, smRace), u"");
  EXPECT_EQ(GetCellText(0, 6, smRace), u"") << "unknown column";

  EXPECT_EQ(GetCellText(0, rcName, smBestLap), u"Петров");
  EXPECT_EQ(GetCellText(1, rcGap, smBestLap), u"+ 0.250");
  EXPECT_EQ(GetCellText(2, rcName, smRace), u"") << "no competitor at that position";
  EXPECT_EQ(GetCellText(2, rcNumber, smRace), u"");
}

TEST_F(Cells, LapsAtLeastTwoDigits) {
  table.SetCompetitorInfo(1, 1, u"a");
  table.UpdateRace(1, 1, 1, 0);
  EXPECT_EQ(GetCellText(0, rcLaps, smRace), u"00");
  table.UpdateRace(1, 1, 1, 123);
  EXPECT_EQ(GetCellText(0, rcLaps, smRace), u"123");
}

TEST_F(Cells, CompetitorWithoutBestLapShowsNoGapInBestLapMode) {
  table.SetCompetitorInfo(1, 1, u"a");
  table.SetCompetitorInfo(2, 2, u"b");
  table.UpdateBestLap(1, 30000, 1, 1);
  table.UpdateBestLap(2, 0, 2, 0);
  EXPECT_EQ(GetCellText(1, rcGap, smBestLap), u"");
  EXPECT_EQ(GetCellText(1, rcBestLap, smBestLap), u"");
}

TEST_F(Cells, PracticeRowsComeFromPassingHistory) {
  table.SetCompetitorInfo(1234, 9, u"Сидоров");
  table.AddPassing(1234, 45678, 0);
  table.AddPassing(5, 61000, 0);
  table.AddPassing(100, 1, 0);

  EXPECT_EQ(GetCellText(0, rcNumber, smPractice), u" 0") << "100 keeps its last two digits";
  EXPECT_EQ(GetCellText(1, rcNumber, smPractice), u" 5");
  EXPECT_EQ(GetCellText(2, rcNumber, smPractice), u"34");
  EXPECT_EQ(GetCellText(2, rcLastLap, smPractice), u"45.678");
  EXPECT_EQ(GetCellText(1, rcLastLap, smPractice), u"1:01.000");
  EXPECT_EQ(GetCellText(2, rcBestLap, smPractice), u"");
  EXPECT_EQ(GetCellText(2, rcLaps, smPractice), u"");
  EXPECT_EQ(GetCellText(3, rcNumber, smPractice), u"") << "past the last passing";
  EXPECT_EQ(GetCellText(3, rcLastLap, smPractice), u"");
}

TEST_F(Cells, PracticeNameIsThePassingsOwnCompetitor) {
  table.SetCompetitorInfo(1, 11, u"Первый");
  table.SetCompetitorInfo(2, 22, u"Второй");
  table.UpdateRace(2, 5000, 1, 1);  // race position 1 belongs to 2 ...
  table.AddPassing(1, 40000, 0);    // ... but the newest passing is 1's
  EXPECT_EQ(GetCellText(0, rcName, smPractice), u"Первый");
  EXPECT_EQ(GetCellText(0, rcGap, smPractice), u"");
  EXPECT_EQ(GetCellText(1, rcName, smPractice), u"") << "an empty entry has no name";
  table.AddPassing(77, 40000, 0);  // creates "0"
  EXPECT_EQ(GetCellText(0, rcName, smPractice), u"0");
}

TEST(RowCount, PerMode) {
  TCompetitors& table = CreateCompetitors();
  table.Clear();
  EXPECT_EQ(GetRowCount(smPractice), 32);
  EXPECT_EQ(GetRowCount(smRace), 0);
  table.SetCompetitorInfo(1, 1, u"a");
  table.UpdateRace(1, 1, 6, 1);
  EXPECT_EQ(GetRowCount(smRace), 6);
  EXPECT_EQ(GetRowCount(smBestLap), 6);
  table.Clear();
  EXPECT_EQ(GetRowCount(smBestLap), 0);
}

}  // namespace
