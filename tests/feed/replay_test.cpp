// The two recorded feeds, replayed line by line as the exchange thread cuts
// them. The expected values were worked out by hand from the recordings.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "feed/timingfeedparser.h"
#include "standings/celltext.h"
#include "standings/competitors.h"
#include "support/feedrecording.h"

namespace {

using testsupport::FeedsDir;

std::vector<std::string> LinesOf(const std::filesystem::path& file) {
  return testsupport::RecordingLines(file.filename().string());
}

struct ReplayCounts {
  int records = 0;
  int ignored = 0;
};

ReplayCounts Replay(const std::vector<std::string>& lines) {
  ReplayCounts counts;
  for (const std::string& line : lines) {
    const TProcessResult* r = ProcessFeedLine(line.c_str());
    if (r == nullptr) {
      ++counts.ignored;
      continue;
    }
    ++counts.records;
    if (r->kind == rkRace || r->kind == rkBestLap || r->kind == rkPassing) SortCompetitors(smRace);
  }
  return counts;
}

class RecordedFeed : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::is_directory(FeedsDir()))
      GTEST_SKIP() << "recorded feeds not found at " << FeedsDir().string() << " (the shared folder is absent)";
    ProcessFeedLine("$I,\"00:00:00\",\"0/0/0000\"\n");
  }
  std::string Cell(int row, TResultColumn column, std::int32_t mode) {
    const std::u16string text = GetCellText(row, column, mode);
    std::string ascii;
    for (char16_t ch : text) ascii.push_back(ch < 0x80 ? static_cast<char>(ch) : '?');
    return ascii;
  }
};

TEST_F(RecordedFeed, RaceWithGapsEndsWithKnownOrder) {
  const auto lines = LinesOf(FeedsDir() / "race-gaps.feed");
  ASSERT_GT(lines.size(), 3000u);
  const ReplayCounts counts = Replay(lines);
  // $A 228, $B 3, $F 557, $G 503, $H 413, $I 2, $J 185; $C, $E, $COMP and
  // the "##" stamps are not records.
  EXPECT_EQ(counts.records, 228 + 3 + 557 + 503 + 413 + 2 + 185);
  EXPECT_GT(counts.ignored, 0);

  // The run is announced again after the names: the standings are kept, and
  // every car the feed places is a record with the number and name its "$A"
  // gave it, one per row.
  EXPECT_EQ(GetCompetitorCount(), 76);
  EXPECT_EQ(GetRowCount(smRace), 76);

  TCompetitor first, second, third;
  ASSERT_TRUE(CopyCompetitor(0, smRace, first));
  ASSERT_TRUE(CopyCompetitor(1, smRace, second));
  ASSERT_TRUE(CopyCompetitor(2, smRace, third));
  EXPECT_EQ(first.regNumber, 70);
  EXPECT_EQ(second.regNumber, 119);
  EXPECT_EQ(third.regNumber, 77);
  EXPECT_EQ(Cell(0, rcGap, smRace), "");
  EXPECT_EQ(Cell(1, rcGap, smRace), "+ 5.123");
  EXPECT_EQ(Cell(2, rcGap, smRace), "+10.782");
  EXPECT_EQ(Cell(0, rcLaps, smRace), "59");
  EXPECT_EQ(Cell(0, rcName, smRace), "Round 3 Racing");
  EXPECT_EQ(first.number, 70);
}

TEST_F(RecordedFeed, RaceStartEndsWithKnownOrderInBothModes) {
  const auto lines = LinesOf(FeedsDir() / "race-start.feed");
  Replay(lines);
  EXPECT_EQ(GetCompetitorCount(), 52);
  EXPECT_EQ(GetRowCount(smRace), 52);

  TCompetitor c;
  ASSERT_TRUE(CopyCompetitor(0, smRace, c));
  EXPECT_EQ(c.regNumber, 2);
  ASSERT_TRUE(CopyCompetitor(1, smRace, c));
  EXPECT_EQ(c.regNumber, 70);
  ASSERT_TRUE(CopyCompetitor(2, smRace, c));
  EXPECT_EQ(c.regNumber, 11);
  EXPECT_EQ(Cell(1, rcGap, smRace), "+ 0.787");
  EXPECT_EQ(Cell(2, rcGap, smRace), "+ 1.076");
  EXPECT_EQ(Cell(0, rcLaps, smRace), "03");

  SortCompetitors(smBestLap);
  ASSERT_TRUE(CopyCompetitor(0, smBestLap, c));
  EXPECT_EQ(c.regNumber, 59);
  EXPECT_EQ(Cell(0, rcBestLap, smBestLap), "2:21.434");
  EXPECT_EQ(Cell(1, rcGap, smBestLap), "+ 0.306");
  EXPECT_EQ(Cell(2, rcGap, smBestLap), "+ 0.411");
}

TEST_F(RecordedFeed, EveryCellOfEveryModeIsReadableAfterReplay) {
  Replay(LinesOf(FeedsDir() / "race-start.feed"));
  for (std::int32_t mode : {0, 1, 2, 3}) {
    for (int row = 0; row < GetRowCount(mode) + 2; ++row) {
      for (int column = 0; column < 7; ++column) (void)GetCellText(row, column, mode);
    }
  }
  EXPECT_EQ(GetCellText(0, rcNumber, smPractice).size(), 2u);
}

}  // namespace
