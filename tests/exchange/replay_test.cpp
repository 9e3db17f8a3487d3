// A real recording, written to the feed socket in bursts, reaches the log
// line by line and drives the board.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "exchangefixture.h"
#include "platform/textcodec.h"
#include "support/feedrecording.h"

namespace exchangetest {
namespace {

class ReplayTest : public ExchangeFixture {};

TEST_F(ReplayTest, RecordedRaceReachesLogAndBoard) {
  const auto file = testsupport::FeedsDir() / "race-gaps.feed";
  if (!std::filesystem::exists(file)) GTEST_SKIP() << "recorded feeds not present at " << file;
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Start();
  thread->SetScoreboardMode(1);
  // One burst per stamp, each handled before the next is written, as the
  // timing application's pacing would have it.
  std::size_t begin = 0;
  int bursts = 0;
  while (begin < bytes.size()) {
    std::size_t end = bytes.find("\n##", begin);
    end = end == std::string::npos ? bytes.size() : end + 1;
    Feed(bytes.substr(begin, end - begin));
    if (HasFatalFailure()) return;
    begin = end;
    ++bursts;
  }

  // Every record line, in order; stamps between bursts are not lines.
  std::vector<std::u16string> expected;
  for (const auto& line : testsupport::RecordingLines("race-gaps.feed"))
    if (!line.empty() && line[0] == '$') expected.push_back(platform::AnsiToUtf16(line));
  auto logged = log.Lines();
  std::vector<std::u16string> records;
  for (const auto& l : logged)
    if (!l.empty() && l[0] == u'$' && l.rfind(u"$Z,sync", 0) != 0) records.push_back(l);
  ASSERT_EQ(records.size(), expected.size());
  EXPECT_EQ(records, expected);

  std::printf("%d bursts replayed, %d tables sent\n", bursts, Notifies(enTableSent));
  EXPECT_GT(Notifies(enTableSent), 0);
  EXPECT_GT(thread->GetListRowCount(), 0);
  auto rows = CallsOf(foSetRow);
  ASSERT_FALSE(rows.empty());
  for (const auto& r : rows) EXPECT_EQ(r.args[0], 1) << "every row carries the race mode";
  thread->SetScoreboardMode(0);
}

}  // namespace
}  // namespace exchangetest
