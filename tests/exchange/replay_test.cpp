// A real recording, written to the feed socket in bursts, reaches the log
// line by line and drives the board.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include <gtest/gtest.h>

#include "exchangefixture.h"
#include "platform/textcodec.h"
#include "standings/celltext.h"
#include "support/feedrecording.h"

namespace exchangetest {
namespace {

class ReplayTest : public ExchangeFixture {
 protected:
  // Writes the recording in bursts of `stampsPerBurst` stamps, each handled
  // before the next is written; one stamp per burst is the timing
  // application's own pacing. Returns the number of bursts.
  int ReplayBursts(const std::string& bytes, int stampsPerBurst = 1) {
    std::size_t begin = 0;
    int bursts = 0;
    while (begin < bytes.size()) {
      std::size_t end = begin;
      for (int stamp = 0; stamp < stampsPerBurst && end < bytes.size(); ++stamp) {
        end = bytes.find("\n##", end + 1);
        end = end == std::string::npos ? bytes.size() : end + 1;
      }
      Feed(bytes.substr(begin, end - begin));
      if (HasFatalFailure()) return bursts;
      // The board thread keeps up with the pacing: what it made of this
      // burst is made before the next (a board behind would rightly drop
      // an unsent clock or table for a newer one).
      EXPECT_TRUE(thread->WaitForBoard(std::chrono::seconds(10)));
      begin = end;
      ++bursts;
    }
    return bursts;
  }

  // The rows of every table push, in order.
  std::vector<int> PushedRowCounts() {
    std::vector<int> pushes;
    int rows = 0;
    for (const TFakeCall& call : board.Calls()) {
      if (call.operation == foClearBoard && call.args[0] == 0) rows = 0;
      if (call.operation == foSetRow) ++rows;
      if (call.operation == foShow) pushes.push_back(rows);
    }
    return pushes;
  }

  // Rows of the operator's list that show a competitor number other than 0.
  int RowsWithRealNumber() {
    int real = 0;
    for (std::int32_t row = 0; row < thread->GetListRowCount(); ++row) {
      std::u16string text = thread->GetResultCellText(row, rcNumber);
      text.erase(0, text.find_first_not_of(u' '));
      if (!text.empty() && text != u"0") ++real;
    }
    return real;
  }
};

std::string ReadRecording(const std::string& name) {
  std::ifstream in(testsupport::FeedsDir() / name, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Both recordings in race mode, as the timing application sent them. Every
// record line reaches the log in order; afterwards every competitor the
// feed placed shows its number in the list, and the caution periods of
// race-gaps.feed keep the clock and the table moving.
TEST_F(ReplayTest, RecordingsInRaceModeReachLogAndBoard) {
  if (!std::filesystem::is_directory(testsupport::FeedsDir()))
    GTEST_SKIP() << "recorded feeds not present at " << testsupport::FeedsDir();
  Start();
  thread->SetScoreboardMode(1);

  struct Figures {
    int rows, real, clocks, pushes;
  };
  std::size_t logStart = 0;
  // Paced: one burst per stamp, so the clock and push counts are those of
  // the timing application's pacing. Unpaced: larger bursts, for the final
  // list only (it does not depend on the pacing).
  auto replay = [&](const std::string& name, bool paced) {
    Feed("$I,\"00:00:00\",\"0/0/0000\"\r\n");  // a fresh start, as when the proxy starts with the session
    board.Reset();
    logStart = log.Count();
    const int bursts = ReplayBursts(ReadRecording(name), paced ? 1 : 64);
    Figures f{thread->GetListRowCount(), RowsWithRealNumber(), static_cast<int>(CallsOf(foSetRaceTime).size()),
              static_cast<int>(CallsOf(foShow).size())};
    std::printf("%s: %d bursts; %d rows, %d with a real number; clock sent %d times, table pushed %d times\n",
                name.c_str(), bursts, f.rows, f.real, f.clocks, f.pushes);
    return f;
  };

  const Figures start = replay("race-start.feed", false);
  if (HasFatalFailure()) return;
  EXPECT_EQ(start.rows, 52);
  EXPECT_EQ(start.real, 52);

  const Figures gaps = replay("race-gaps.feed", true);
  if (HasFatalFailure()) return;
  // The run is announced again twice, each time followed by the standings:
  // the board keeps its table instead of blanking and regrowing for a lap.
  const std::vector<int> pushes = PushedRowCounts();
  ASSERT_FALSE(pushes.empty());
  const auto full = std::find(pushes.begin(), pushes.end(), *std::max_element(pushes.begin(), pushes.end()));
  const int smallestAfterFull = *std::min_element(full, pushes.end());
  std::printf("race-gaps.feed: %zu pushes, first full table %d rows at push %td, smallest push after it %d rows\n",
              pushes.size(), *full, full - pushes.begin(), smallestAfterFull);
  for (std::size_t i = 1; i < pushes.size(); ++i)
    EXPECT_GE(pushes[i] * 2, pushes[i - 1]) << "push " << i << ": " << pushes[i - 1] << " -> " << pushes[i] << " rows";
  // Every record line, in order; stamps between bursts are not lines.
  std::vector<std::u16string> expected;
  for (const auto& line : testsupport::RecordingLines("race-gaps.feed"))
    if (!line.empty() && line[0] == '$') expected.push_back(platform::AnsiToUtf16(line));
  const auto logged = log.Lines();
  std::vector<std::u16string> records;
  for (std::size_t i = logStart; i < logged.size(); ++i)
    if (!logged[i].empty() && logged[i][0] == u'$' && logged[i].rfind(u"$Z,sync", 0) != 0) records.push_back(logged[i]);
  ASSERT_EQ(records.size(), expected.size());
  EXPECT_EQ(records, expected);

  EXPECT_EQ(gaps.rows, 76);
  EXPECT_EQ(gaps.real, 76);
  // The board's last table holds every car the operator's list shows.
  std::vector<TFakeCall> lastTable;
  for (const auto& c : board.Calls()) {
    if (c.operation == foClearBoard && c.args[0] == 0) lastTable.clear();
    if (c.operation == foSetRow) lastTable.push_back(c);
  }
  std::set<std::int32_t> onBoard;
  for (const auto& r : lastTable)
    if (r.args[2] != 0) onBoard.insert(r.args[2]);
  std::string missing;
  for (std::int32_t row = 0; row < thread->GetListRowCount(); ++row) {
    std::u16string text = thread->GetResultCellText(row, rcNumber);
    text.erase(0, text.find_first_not_of(u' '));
    const std::int32_t number = text.empty() ? 0 : std::stoi(std::string(text.begin(), text.end()));
    if (number != 0 && onBoard.count(number) == 0) missing += " " + std::to_string(number);
  }
  std::printf("race-gaps.feed: the board's last table has %zu rows, %zu with a car; missing from it:%s\n",
              lastTable.size(), onBoard.size(), missing.empty() ? " none" : missing.c_str());
  EXPECT_EQ(missing, "") << "cars the list shows but the board does not";
  EXPECT_EQ(gaps.clocks, 557) << "every heartbeat of the recording, Yellow ones included";
  EXPECT_GE(gaps.pushes, 400);
  for (const auto& r : CallsOf(foSetRow)) ASSERT_EQ(r.args[0], 1) << "every row carries the race mode";
  thread->SetScoreboardMode(0);
}

}  // namespace
}  // namespace exchangetest
