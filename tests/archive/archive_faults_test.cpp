// Disk faults under the archive: the feed and the board carry on, the
// recording stops (counted) and resumes in a new file once the disk takes
// writes again, and what was written replays. The small disks are tmpfs mounts (root only; skipped
// otherwise); the crash is a child process killed in the middle of writing.
#include <algorithm>
#include <csignal>
#include <spawn.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include "archive/feedarchive.h"
#include "archivesupport.h"
#include "exchangefixture.h"
#include "platform/textcodec.h"
#include "standings/competitors.h"

namespace {

using archivetest::FeedFiles;
using archivetest::ReadAll;
using archivetest::ReplayedBytes;

// One push's worth of feed: a competitor, a race position, a green flag.
std::string Burst(int i) {
  return exchangetest::Competitor(100 + i % 20, i % 20 + 1, "Kart " + std::to_string(i)) +
         exchangetest::Race(1, 100 + i % 20, i) + exchangetest::Green();
}

class ArchiveFaults : public exchangetest::ExchangeFixture {
 protected:
  void TearDown() override {
    ExchangeFixture::TearDown();
    archive_.reset();
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
  }

  // The Archive folder as a tmpfs of `size` bytes; false when mounting is
  // not allowed here.
  bool MountSmallDisk(const char* options) {
    std::filesystem::create_directories(folder_);
    mounted_ = ::mount("tmpfs", folder_.c_str(), "tmpfs", 0, options) == 0;
    return mounted_;
  }

  void StartRecording() {
    std::filesystem::create_directories(folder_);
    archive_ = std::make_unique<TFeedArchive>(archivetest::InFolder(folder_));
    Start(exchangetest::FakeBoard::kLibraryName, [this](TScoreboardExchangeThread::Options& options) {
      options.feedConnected = [a = archive_.get()] { a->FeedConnected(); };
      options.feedReceived = [a = archive_.get()](const char* b, std::size_t n) { a->FeedReceived(b, n); };
    });
    thread->SetScoreboardMode(smRace);
  }

  // Feeds `count` bursts; each must reach the board.
  void FeedBursts(int count) {
    for (int i = 0; i < count; ++i) {
      const auto shows = CallsOf(foShow).size();
      const std::string bytes = Burst(next_++);
      Feed(bytes);
      sent_ += bytes;
      if (HasFatalFailure()) return;
      ASSERT_EQ(CallsOf(foShow).size(), shows + 1) << "the board missed a push at burst " << next_;
    }
  }

  // Feeds bursts until the archive records again (it retries about once a
  // second), then a few more.
  void ResumeRecording() {
    for (int i = 0; i < 50 && (archive_->RecordingStopped() || archive_->CurrentFile().empty()); ++i) {
      FeedBursts(1);
      archive_->Drain();
      if (HasFatalFailure()) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_FALSE(archive_->RecordingStopped()) << archive_->StopReason();
    FeedBursts(5);
  }

  std::string Recorded() {
    archive_->Drain();
    std::string all;
    for (const auto& file : FeedFiles(folder_)) all += ReplayedBytes(ReadAll(file));
    return all;
  }

  archivetest::TempFolder dir_;
  std::filesystem::path folder_ = dir_.Path() / kArchiveFolderName;
  std::unique_ptr<TFeedArchive> archive_;
  bool mounted_ = false;
  std::string sent_;  // without the fixture's marker lines
  int next_ = 0;
};

// Only the bursts of `bytes`, the marker lines the fixture sends left out.
std::string WithoutMarkers(const std::string& bytes) {
  std::string out;
  for (std::size_t begin = 0; begin < bytes.size();) {
    std::size_t end = bytes.find('\n', begin);
    end = end == std::string::npos ? bytes.size() : end + 1;
    if (bytes.compare(begin, 7, "$Z,sync") != 0) out.append(bytes, begin, end - begin);
    begin = end;
  }
  return out;
}

TEST_F(ArchiveFaults, FullDiskStopsTheRecordingNotTheBoard) {
  if (!MountSmallDisk("size=16k")) GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
  StartRecording();
  FeedBursts(200);  // about 40 kB of feed onto a 16 kB disk
  archive_->Drain();
  const auto figures = archive_->Figures();
  EXPECT_GE(figures.failures, 1u);
  EXPECT_GT(figures.receivesLost, 0u);
  // Said while the disk stays full; the retries leave no empty files behind.
  EXPECT_TRUE(archive_->RecordingStopped());
  EXPECT_EQ(FeedFiles(folder_).size(), 1u);
  // What reached the disk is the feed's start, whole up to where it stops.
  const std::string recorded = WithoutMarkers(Recorded());
  EXPECT_GT(recorded.size(), 4000u);
  EXPECT_EQ(sent_.compare(0, recorded.size(), recorded), 0);
}

TEST_F(ArchiveFaults, ReadOnlyFolderIsRetriedWithoutWaitingForTheNextConnection) {
  if (!MountSmallDisk("size=1m,ro")) GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
  StartRecording();
  FeedBursts(5);
  archive_->Drain();
  EXPECT_GE(archive_->Figures().failures, 1u);
  EXPECT_TRUE(archive_->RecordingStopped());
  EXPECT_TRUE(FeedFiles(folder_).empty());

  ASSERT_EQ(::mount("tmpfs", folder_.c_str(), "tmpfs", MS_REMOUNT, "size=1m"), 0);
  const std::size_t before = sent_.size();
  ResumeRecording();
  // The same connection still: what came once the disk took writes again
  // is the end of what was sent.
  const std::string recorded = WithoutMarkers(Recorded());
  ASSERT_FALSE(recorded.empty());
  EXPECT_LE(recorded.size(), sent_.size() - before);
  EXPECT_EQ(sent_.compare(sent_.size() - recorded.size(), recorded.size(), recorded), 0);
}

TEST_F(ArchiveFaults, RemovedFolderStopsTheFileAndRecordingResumesInANewOne) {
  StartRecording();
  FeedBursts(3);
  const auto first = archive_->CurrentFile();
  std::filesystem::remove_all(folder_);
  // The writer looks for its file once a second.
  for (int i = 0; i < 30 && archive_->Figures().failures == 0; ++i) {
    FeedBursts(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_GE(archive_->Figures().failures, 1u);
  const std::size_t before = sent_.size();
  ResumeRecording();
  EXPECT_NE(archive_->CurrentFile(), first);
  const auto files = FeedFiles(folder_);
  ASSERT_EQ(files.size(), 1u);
  // Everything since the fault was seen, and nothing but the end of what was sent.
  const std::string recorded = WithoutMarkers(ReplayedBytes(ReadAll(files[0])));
  ASSERT_GE(recorded.size(), sent_.size() - before);
  EXPECT_EQ(sent_.compare(sent_.size() - recorded.size(), recorded.size(), recorded), 0);
}

// kill -9 in the middle of a session: every byte the archive had handed
// to the system is in the file, and the file replays as the feed's start.
// The writer is a program of its own (archive_crash_probe).
TEST(ArchiveCrash, KilledWhileWritingLeavesAFileThatReplays) {
  archivetest::TempFolder dir;
  const std::string folder = dir.Path().string();
  char* const args[] = {const_cast<char*>(BRELVO_CRASH_PROBE), const_cast<char*>(folder.c_str()), nullptr};
  pid_t child = 0;
  ASSERT_EQ(::posix_spawn(&child, BRELVO_CRASH_PROBE, nullptr, nullptr, args, environ), 0);
  std::uintmax_t size = 0;
  for (int i = 0; i < 400 && size < 256 * 1024; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    const auto files = FeedFiles(dir.Path());
    std::error_code ignored;
    size = files.empty() ? 0 : std::filesystem::file_size(files[0], ignored);
  }
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the probe ended by itself, status " << status;
  ASSERT_GE(size, 256u * 1024);
  const auto files = FeedFiles(dir.Path());
  ASSERT_EQ(files.size(), 1u);
  const std::string feed = archivetest::SyntheticFeed(archivetest::kCrashFeedBytes);
  const std::string replayed = ReplayedBytes(ReadAll(files[0]));
  EXPECT_GE(replayed.size(), 200u * 1024);
  const auto differ = std::mismatch(replayed.begin(), replayed.end(), feed.begin());
  EXPECT_EQ(differ.first, replayed.end())
      << "differs at " << (differ.first - replayed.begin()) << " of " << replayed.size() << ": "
      << std::string(differ.first, replayed.end()).substr(0, 80);
}

}  // namespace
