// The recording's format: how a replay reads stamps and lines, how receives
// go into a file so that every stamp starts a line, and the file names.
#include "recording/recording.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

namespace {

std::string ReadFeed(const char* name) {
  std::ifstream in(std::filesystem::path(BRELVO_FEEDS_DIR) / name, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// What the archive's writer does with receives, without the disk.
std::string Record(recording::TReceiveCutter& cutter, const std::vector<std::string_view>& receives) {
  std::string file;
  int n = 0;
  for (std::string_view receive : receives) {
    const auto pieces = cutter.Cut(receive);
    file.append(pieces.lead);
    if (pieces.stamp) {
      recording::TStampTime t{2026, 5, 2, 9, 14, 3, n++ % 1000};
      file += recording::StampLine(t);
    }
    file.append(pieces.held).append(pieces.body);
    cutter.Commit();
  }
  file.append(cutter.Held());
  return file;
}

// The file's lines that are not stamps, in one string; false where a stamp
// stands anywhere but at a line's start.
bool WithoutStamps(const std::string& file, std::string& out) {
  out.clear();
  for (std::size_t begin = 0; begin < file.size();) {
    std::size_t end = file.find('\n', begin);
    end = end == std::string::npos ? file.size() : end + 1;
    const std::string_view line(file.data() + begin, end - begin);
    begin = end;
    if (recording::ParseStamp(line)) continue;
    const std::size_t glued = line.find("##");
    if (glued != std::string_view::npos && recording::ParseStamp(line.substr(glued))) return false;
    out.append(line);
  }
  return true;
}

}  // namespace

TEST(FeedRecording, StampsPaceLinesAndAreNotSent) {
  EXPECT_EQ(recording::ParseStamp("##1970-01-02 00:00:01.250\r\n"), 86401250);
  EXPECT_FALSE(recording::ParseStamp("##2025-13-07 16:27:25.194").has_value());
  EXPECT_FALSE(recording::ParseStamp("##2025-12-07 16:27:25").has_value());
  EXPECT_FALSE(recording::ParseStamp("$F,9999").has_value());

  const std::string text =
      "\xEF\xBB\xBF"
      "##2025-12-07 23:59:59.900\n"
      "$I, \"00:00:00\"\r\n"
      "\n"
      "##2025-12-08 00:00:00.400\n"  // across midnight
      "$F,1\r\r\n"
      "$F,2\r\n"
      "##2025-12-08 00:00:00.100\n"  // a stamp that goes back in time
      "$F,3";
  auto events = recording::ParseRecording(text, 10);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].atMs, 0);
  EXPECT_EQ(events[0].bytes, "$I, \"00:00:00\"\r\n");
  EXPECT_EQ(events[1].atMs, 500);
  EXPECT_EQ(events[1].bytes, "$F,1\r\r\n");  // line ends kept as recorded
  EXPECT_EQ(events[2].atMs, 500);
  EXPECT_EQ(events[3].atMs, 500);
  EXPECT_EQ(events[3].bytes, "$F,3");
}

// The proxy's archive keeps receives as they came: one may end between a
// line's CR and LF, and a crash may cut the last stamp. The replay still
// sends each line whole and nothing of the stamp.
TEST(FeedRecording, ArchivedCutsReplayAsTheFeedSentThem) {
  const std::string text =
      "##2026-05-02 09:14:03.000\n$G,1,\"7\",2\r"
      "##2026-05-02 09:14:03.020\n\n$F,2\r\n"
      "##2026-05-02 09:14:0";
  std::string sent;
  for (const auto& event : recording::ParseRecording(text, 10)) sent += event.bytes;
  EXPECT_EQ(sent, "$G,1,\"7\",2\r\n$F,2\r\n");
}

TEST(FeedRecording, PlainFilesArePacedByRate) {
  auto events = recording::ParseRecording("$A\n$B\n$C\n", 4);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[1].atMs, 250);
  EXPECT_EQ(events[2].atMs, 500);
}

TEST(FeedRecording, RealRecordingReplaysInOrder) {
  const std::filesystem::path file = std::filesystem::path(BRELVO_FEEDS_DIR) / "race-start.feed";
  if (!std::filesystem::exists(file)) GTEST_SKIP() << "recorded feeds not found at " << BRELVO_FEEDS_DIR;
  std::ifstream in(file, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  auto events = recording::ParseRecording(ss.str(), 10);
  ASSERT_GT(events.size(), 1000u);
  EXPECT_EQ(events.front().bytes.rfind("$F", 0), 0u);  // the BOM and the first stamp are gone
  for (std::size_t i = 1; i < events.size(); ++i) {
    ASSERT_GE(events[i].atMs, events[i - 1].atMs);
    ASSERT_NE(events[i].bytes.rfind("##", 0), 0u);
  }
  EXPECT_GT(events.back().atMs, 60000);  // minutes of racing, not a burst
}

// A real feed in receives cut at any byte (between CR and LF, one byte
// long, lines over the hold limit): every stamp starts a line, the file
// without its stamps is the feed, and each replayed burst is whole lines.
TEST(ReceiveCutter, StampsStartLinesAndTheRestIsTheFeed) {
  std::string feed = ReadFeed("race-gaps.feed");
  if (feed.empty()) GTEST_SKIP() << "recorded feeds not found at " << BRELVO_FEEDS_DIR;
  std::string records;
  for (const auto& event : recording::ParseRecording(feed, 10)) records += event.bytes;
  // A line the feed's reader gives up on, longer than the cutter holds.
  records.insert(records.size() / 2, std::string(3 * recording::TReceiveCutter::kMaxHeldBytes, 'x'));
  std::mt19937 random(7);
  std::vector<std::string_view> receives;
  for (std::size_t at = 0; at < records.size();) {
    const std::size_t size =
        std::min<std::size_t>(records.size() - at, 1 + random() % (random() % 8 == 0 ? 40000 : 300));
    receives.emplace_back(records.data() + at, size);
    at += size;
  }
  recording::TReceiveCutter cutter;
  const std::string file = Record(cutter, receives);
  std::string stripped;
  ASSERT_TRUE(WithoutStamps(file, stripped)) << "a stamp stands inside a line";
  ASSERT_EQ(stripped.size(), records.size());
  EXPECT_TRUE(stripped == records);
  // Lines the reader acts on come whole within one burst.
  const auto events = recording::ParseRecording(file, 10);
  std::size_t cutLines = 0;
  for (std::size_t i = 0; i + 1 < events.size(); ++i) {
    if (events[i].bytes.back() != '\n' && events[i].bytes.find('x') == std::string::npos) ++cutLines;
  }
  EXPECT_EQ(cutLines, 0u);
}

TEST(RecordingFileName, SuffixedNamesParseAndSortAfterTheirSecond) {
  const recording::TStampTime t{2026, 10, 25, 2, 30, 0, 0};
  EXPECT_EQ(recording::FileName(t), "2026-10-25_02-30-00.feed");
  const auto first = recording::ParseFileName(recording::FileName(t));
  const auto second = recording::ParseFileName(recording::FileName(t, 2));
  const auto tenth = recording::ParseFileName(recording::FileName(t, 10));
  const auto later = recording::ParseFileName("2026-10-25_02-30-01.feed");
  ASSERT_TRUE(first && second && tenth && later);
  EXPECT_EQ(tenth->index, 10);
  EXPECT_TRUE(recording::StartedBefore(*first, *second));
  EXPECT_TRUE(recording::StartedBefore(*second, *tenth));
  EXPECT_TRUE(recording::StartedBefore(*tenth, *later));
  for (const char* other : {"race copy.feed", "2026-10-25_02-30-00_1.feed", "2026-10-25_02-30-00_02.feed",
                            "2026-10-25_02-30-00_.feed", "2026-10-25_02-30-00.feed.txt", "2026-10-25 02-30-00.feed"}) {
    EXPECT_FALSE(recording::ParseFileName(other).has_value()) << other;
  }
}
