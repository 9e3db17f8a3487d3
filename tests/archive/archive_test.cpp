// The feed archive: what it writes and when it starts a file, what it
// deletes, and that a session recorded through the exchange thread replays
// from the archive into the same board calls.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "archive/feedarchive.h"
#include "archivesupport.h"
#include "exchangefixture.h"
#include "platform/textcodec.h"
#include "standings/competitors.h"
#include "support/feedrecording.h"

namespace {

using archivetest::FeedFiles;
using archivetest::ReadAll;
using archivetest::TempFolder;

constexpr std::int64_t kDayMs = 24LL * 3600 * 1000;

// The first local midnight after `from`.
std::int64_t NextLocalMidnight(std::int64_t from) {
  const platform::TLocalTime t = platform::LocalTime(from);
  std::int64_t at = from + ((24 - t.hour) * 3600LL - t.minute * 60LL - t.second) * 1000 - t.millisecond;
  // A clock change on the way moves it by an hour.
  while (platform::LocalTime(at).day == t.day) at += 3600 * 1000;
  while (platform::LocalTime(at - 3600 * 1000).day != t.day) at -= 3600 * 1000;
  return at;
}

std::string Stamp(std::int64_t ms) { return ArchiveStampLine(platform::LocalTime(ms)); }
std::string Name(std::int64_t ms) { return ArchiveFileName(platform::LocalTime(ms)); }

TEST(FeedArchive, StampsEveryReceiveAndStartsFilesAtConnectionsAndMidnight) {
  TempFolder dir;
  const std::int64_t midnight = NextLocalMidnight(platform::NowMilliseconds());
  const std::int64_t base = midnight - 10 * 60 * 1000;
  std::atomic<std::int64_t> now{base};
  TArchiveOptions options;
  options.folder = dir.Path();
  options.now = [&] { return now.load(); };
  TFeedArchive archive(options);
  // Receives that end inside a line: the line's start waits for the next
  // stamp; a new connection ends the file with it as it came, midnight
  // carries it into the next file.
  const std::string cut = "\xEF\xBB\xBF$F,1\r\n$G,1,\"1";
  archive.FeedReceived(cut.data(), cut.size());
  now += 250;
  archive.FeedReceived("2\",3\r\n$F,9", 10);
  archive.FeedConnected();
  now += 1000;
  archive.FeedReceived("$F,2\r\n$G,2", 10);
  now = midnight + 5;
  archive.FeedReceived("\",4\r\n$F,3\r\n", 11);
  archive.Drain();
  EXPECT_EQ(archive.Figures().receivesRecorded, 4u);
  EXPECT_EQ(archive.Figures().receivesEndedInsideLine, 3u);
  EXPECT_EQ(archive.Figures().failures, 0u);
  archive.Close();
  archive.Close();
  archive.FeedReceived("$F,4\r\n", 6);  // after the end: not recorded, nothing waits

  const auto files = FeedFiles(dir.Path());
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0].filename().string(), Name(base));
  EXPECT_EQ(files[1].filename().string(), Name(base + 1250));
  EXPECT_EQ(files[2].filename().string(), Name(midnight + 5));
  const std::string first = ReadAll(files[0]);
  EXPECT_EQ(first, Stamp(base) + "\xEF\xBB\xBF$F,1\r\n" + Stamp(base + 250) + "$G,1,\"12\",3\r\n$F,9");
  EXPECT_EQ(ReadAll(files[1]), Stamp(base + 1250) + "$F,2\r\n");
  EXPECT_EQ(ReadAll(files[2]), Stamp(midnight + 5) + "$G,2\",4\r\n$F,3\r\n");
  const auto events = recording::ParseRecording(first, 10);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[1].bytes, "$G,1,\"12\",3\r\n");
  EXPECT_EQ(events[1].atMs, 250);
  EXPECT_EQ(events[1].burst, 2);
}

// A write that fails once and a buffer that fills once (a virus scanner's
// pause) cost the receives they hit; the next receive records again, in a
// new file, and the stop is said until then.
TEST(FeedArchive, AHiccupCostsItsReceivesNotTheRestOfTheDay) {
  TempFolder dir;
  std::atomic<std::int64_t> now{platform::NowMilliseconds()};
  std::atomic<int> failWrites{0};
  std::atomic<bool> holdWriter{false}, writerHeld{false};
  TArchiveOptions options = archivetest::InFolder(dir.Path());
  options.bufferLimit = 60;  // one burst waits, a second does not fit
  options.now = [&] { return now.load(); };
  options.writeFault = [&] {
    while (holdWriter.load()) {
      writerHeld = true;
      std::this_thread::yield();
    }
    return failWrites.exchange(0) != 0;
  };
  TFeedArchive archive(options);
  const std::string burst = "$F,1234,\"00:10:00\",\"12:00:00\",\"00:05:00\",\"Green \"\r\n";  // 45 bytes
  archive.FeedReceived(burst.data(), burst.size());
  archive.Drain();
  failWrites = 1;
  now += 1000;
  archive.FeedReceived(burst.data(), burst.size());
  archive.Drain();
  EXPECT_TRUE(archive.RecordingStopped());
  EXPECT_FALSE(archive.StopReason().empty());
  now += 1000;
  archive.FeedReceived(burst.data(), burst.size());
  archive.Drain();
  EXPECT_FALSE(archive.RecordingStopped());

  holdWriter = true;
  now += 1000;
  archive.FeedReceived(burst.data(), burst.size());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!writerHeld.load() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  if (!writerHeld.load()) holdWriter = false;
  ASSERT_TRUE(writerHeld.load()) << "the writer never wrote the receive";
  archive.FeedReceived(burst.data(), burst.size());  // waits in the buffer
  archive.FeedReceived(burst.data(), burst.size());  // finds it full: lost
  holdWriter = false;
  archive.Drain();
  now += 1000;
  archive.FeedReceived(burst.data(), burst.size());
  archive.Drain();
  EXPECT_FALSE(archive.RecordingStopped());
  EXPECT_EQ(archive.Figures().receivesLost, 2u);
  EXPECT_EQ(archive.Figures().failures, 2u);
  archive.Close();

  const auto files = FeedFiles(dir.Path());
  ASSERT_EQ(files.size(), 3u);
  const std::int64_t start = now.load() - 4000;
  EXPECT_EQ(ReadAll(files[0]), Stamp(start) + burst);
  EXPECT_EQ(ReadAll(files[1]), Stamp(start + 2000) + burst + Stamp(start + 3000) + burst + Stamp(start + 3000) + burst);
  EXPECT_EQ(ReadAll(files[2]), Stamp(start + 4000) + burst);
}

TEST(FeedArchive, DeletesOldFilesAtStartAndTheOldestOverTheSizeLimitAtEachNewFile) {
  TempFolder dir;
  const std::int64_t now = platform::NowMilliseconds();
  const auto old = dir.Path() / Name(now - 61 * kDayMs);
  const auto lastMonth = dir.Path() / Name(now - 30 * kDayMs);
  const auto yesterday = dir.Path() / Name(now - kDayMs);
  archivetest::WriteAll(old, std::string(10, 'o'));
  archivetest::WriteAll(lastMonth, std::string(300, 'm'));
  archivetest::WriteAll(yesterday, std::string(300, 'y'));
  // Files the operator put there are never the archive's to delete.
  const auto notes = dir.Path() / "notes.txt";
  const auto copied = dir.Path() / "race copy.feed";
  archivetest::WriteAll(notes, std::string(5000, 'n'));
  archivetest::WriteAll(copied, std::string(5000, 'c'));

  TArchiveOptions options;
  options.folder = dir.Path();
  options.archiveDays = 60;
  options.sizeLimit = 1000;
  options.now = [now] { return now; };
  TFeedArchive archive(options);
  archive.Drain();
  EXPECT_FALSE(std::filesystem::exists(old));
  EXPECT_TRUE(std::filesystem::exists(lastMonth));  // 610 bytes were within the limit

  const std::string burst(500, 'x');
  archive.FeedReceived(burst.data(), burst.size());
  archive.Drain();
  const auto current = archive.CurrentFile();
  EXPECT_TRUE(std::filesystem::exists(lastMonth));
  archive.FeedConnected();
  archive.FeedReceived(burst.data(), burst.size());  // a second file in the same second: a name of its own
  archive.Drain();
  EXPECT_EQ(archive.CurrentFile().filename().string(), ArchiveFileName(platform::LocalTime(now), 2));
  // 300 + 300 + the current file's 500 and more: the oldest goes, the
  // file being written stays.
  EXPECT_FALSE(std::filesystem::exists(lastMonth));
  EXPECT_TRUE(std::filesystem::exists(yesterday));
  EXPECT_TRUE(std::filesystem::exists(current));
  EXPECT_TRUE(std::filesystem::exists(notes));
  EXPECT_TRUE(std::filesystem::exists(copied));
}

// A clock years ahead at boot or set back past the newest file deletes
// nothing for its age; the size rule spares files named in the future; a
// name that exists (the hour repeated when summer time ends) is never
// appended to.
TEST(FeedArchive, AWrongClockCannotEmptyTheArchive) {
  TempFolder dir;
  const std::int64_t now = platform::NowMilliseconds();
  const auto old = dir.Path() / Name(now - 70 * kDayMs);
  const auto recent = dir.Path() / Name(now - kDayMs);
  const auto future = dir.Path() / Name(now + 400 * kDayMs);
  auto refill = [&] {
    archivetest::WriteAll(old, std::string(10, 'o'));
    archivetest::WriteAll(recent, std::string(10, 'r'));
  };
  refill();
  EXPECT_EQ(RotateArchive(dir.Path(), now + 3 * 365 * kDayMs, 60, kArchiveSizeLimit), 0);
  archivetest::WriteAll(future, std::string(5000, 'f'));
  EXPECT_EQ(RotateArchive(dir.Path(), now, 60, kArchiveSizeLimit), 0);
  EXPECT_EQ(RotateArchive(dir.Path(), now, 60, 100), 2);
  EXPECT_TRUE(std::filesystem::exists(future));
  std::filesystem::remove(future);
  refill();
  EXPECT_EQ(RotateArchive(dir.Path(), now, 60, kArchiveSizeLimit), 1);
  EXPECT_FALSE(std::filesystem::exists(old));

  const auto earlier = dir.Path() / Name(now);
  archivetest::WriteAll(earlier, "earlier session");
  {
    TArchiveOptions options = archivetest::InFolder(dir.Path());
    options.now = [now] { return now; };
    TFeedArchive archive(options);
    archive.FeedReceived("$F,1\r\n", 6);
  }
  EXPECT_EQ(ReadAll(earlier), "earlier session");
  EXPECT_EQ(ReadAll(dir.Path() / ArchiveFileName(platform::LocalTime(now), 2)), Stamp(now) + "$F,1\r\n");
}

// The whole road twice: a recording fed through the exchange thread is
// archived; the archive, cut by the replayer into its receives and fed to
// a second thread, drives the board through the same calls.
class ArchiveRoundTrip : public exchangetest::ExchangeFixture {
 protected:
  // The board calls that carry the table, with their arguments and names.
  std::vector<std::string> TableCalls() {
    std::vector<std::string> out;
    for (const TFakeCall& c : board.Calls()) {
      if (c.operation != foSetRow && c.operation != foShow) continue;
      std::string text = std::to_string(c.operation);
      for (std::int32_t a : c.args) text += "," + std::to_string(a);
      if (c.hasName != 0) text += "," + platform::Utf16ToAnsi(c.name);
      out.push_back(text);
    }
    return out;
  }
  std::vector<std::u16string> ListTexts() {
    std::vector<std::u16string> out;
    for (std::int32_t row = 0; row < thread->GetListRowCount(); ++row) {
      for (std::int32_t column = 0; column < 6; ++column) out.push_back(thread->GetResultCellText(row, column));
    }
    return out;
  }
  // Feed, but with the window pumped without pause: under wine each logged
  // line is a round trip through the window's queue.
  void FeedQuickly(const std::string& bytes) {
    ASSERT_TRUE(server.Send(bytes));
    for (int i = 0; i < 2; ++i) {
      const std::string marker = "$Z,sync," + std::to_string(++markers_) + "\r\n";
      ASSERT_TRUE(server.Send(marker));
      const std::u16string expected = exchangetest::U16(marker);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      for (;;) {
        window.Pump();
        const auto lines = log.Lines();
        if (!lines.empty() && lines.back() == expected) break;
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "marker line never reached the feed log";
        std::this_thread::yield();
      }
    }
    // And the board has made every call asked for: a table still waiting
    // would be replaced by the next burst's, as the board thread does.
    ASSERT_TRUE(thread->WaitForBoard(std::chrono::seconds(30))) << "the board thread is stuck";
  }
  int markers_ = 0;
  void Restart() {
    exchangetest::DestroyPumping(window, thread);
    server.CloseClient();
  }
};

TEST_F(ArchiveRoundTrip, ReplayedArchiveGivesTheSameBoardCalls) {
  if (!std::filesystem::is_directory(testsupport::FeedsDir()))
    GTEST_SKIP() << "recorded feeds not present at " << testsupport::FeedsDir();
  TempFolder dir;
  auto archive = std::make_unique<TFeedArchive>(archivetest::InFolder(dir.Path()));
  Start(exchangetest::FakeBoard::kLibraryName, [&](TScoreboardExchangeThread::Options& options) {
    options.feedConnected = [a = archive.get()] { a->FeedConnected(); };
    options.feedReceived = [a = archive.get()](const char* bytes, std::size_t size) { a->FeedReceived(bytes, size); };
  });
  thread->SetScoreboardMode(smRace);
  board.Reset();
  const std::string recording = archivetest::ReadAll(testsupport::FeedsDir() / "race-gaps.feed");
  Feed("$I,\"00:00:00\",\"0/0/0000\"\r\n");
  // Sixteen of the recording's bursts at a time, each handled before the next.
  for (std::size_t begin = 0; begin < recording.size();) {
    std::size_t end = begin;
    for (int i = 0; i < 16 && end < recording.size(); ++i) {
      end = recording.find("\n##", end + 1);
      end = end == std::string::npos ? recording.size() : end + 1;
    }
    // The timing application sends records only: the file's stamps stay out.
    std::string records;
    for (const auto& event : recording::ParseRecording(recording.substr(begin, end - begin), 10))
      records += event.bytes;
    FeedQuickly(records);
    if (HasFatalFailure()) FAIL() << "first run, at byte " << begin;
    begin = end;
  }
  const std::vector<std::string> firstCalls = TableCalls();
  const std::vector<std::u16string> firstList = ListTexts();
  ASSERT_GT(firstCalls.size(), 1000u);
  Restart();
  archive->Drain();
  const auto files = FeedFiles(dir.Path());
  ASSERT_EQ(files.size(), 1u);
  archive.reset();

  Start();
  thread->SetScoreboardMode(smRace);
  board.Reset();
  std::string receive;
  int burst = 0;
  for (const auto& event : recording::ParseRecording(ReadAll(files[0]), 10)) {
    if (event.burst != burst && !receive.empty()) {
      FeedQuickly(receive);
      if (HasFatalFailure()) FAIL() << "second run, at burst " << event.burst;
      receive.clear();
    }
    burst = event.burst;
    receive += event.bytes;
  }
  FeedQuickly(receive);
  const std::vector<std::string> secondCalls = TableCalls();
  ASSERT_EQ(secondCalls.size(), firstCalls.size());
  for (std::size_t i = 0; i < firstCalls.size(); ++i) ASSERT_EQ(secondCalls[i], firstCalls[i]) << "call " << i;
  EXPECT_EQ(ListTexts(), firstList);
}

}  // namespace
