// The feed archive: every byte the exchange thread receives from the feed,
// kept in the program's Archive folder in the recordings' format
// (recording/recording.h), so that brelvo-feed --replay plays a session
// back as it came. Each receive's whole lines are headed by a line
// "##YYYY-MM-DD hh:mm:ss.fff" (local time); a line a receive leaves
// unfinished follows the next receive's stamp, so the file without its
// stamp lines is the feed's bytes. A new file "YYYY-MM-DD_HH-MM-SS.feed"
// ("..._2.feed" when that name exists) starts at each new feed connection,
// at local midnight and after a gap.
//
// The exchange thread only copies the bytes into a bounded buffer; a writer
// thread of the archive's own does every disk operation. A full buffer, a
// slow or full disk, a read-only or vanished folder stops the current file
// (counted, said in the debugger output and by RecordingStopped) and the
// recording resumes in a new file at the next receive, retried about once a
// second while the fault lasts; it never holds up the feed or the board.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/localtime.h"
#include "recording/recording.h"

inline constexpr const char* kArchiveFolderName = "Archive";
inline constexpr std::int32_t kDefaultArchiveDays = 60;
inline constexpr std::uint64_t kArchiveSizeLimit = 2ull * 1024 * 1024 * 1024;

struct TArchiveOptions {
  std::filesystem::path folder;  // the Archive folder
  // Files older than this many days are deleted; at least 1.
  std::int32_t archiveDays = kDefaultArchiveDays;
  // While the archive's files hold more, the oldest are deleted.
  std::uint64_t sizeLimit = kArchiveSizeLimit;
  // Received bytes waiting for the disk; beyond this a receive is lost and
  // the current file stops.
  std::size_t bufferLimit = 16 * 1024 * 1024;
  // Milliseconds since 1970 UTC; empty: the system clock.
  std::function<std::int64_t()> now;
  // Tests: asked on the writer thread before each write to the file; true
  // fails the write as a full disk would. It may also hold the writer up.
  std::function<bool()> writeFault;
};

// "YYYY-MM-DD_HH-MM-SS.feed" of a local time ("..._N.feed" for N above 1).
std::string ArchiveFileName(const platform::TLocalTime& time, int index = 1);
// "##YYYY-MM-DD hh:mm:ss.fff" and a line feed.
std::string ArchiveStampLine(const platform::TLocalTime& time);
// Deletes the archive's own files (by their names; nothing else in the
// folder is touched) started more than `archiveDays` days before `nowMs`,
// then the oldest while they hold more than `sizeLimit` bytes. A clock
// that is wrong must not empty the archive: nothing is deleted for its age
// while `nowMs` lies before the newest file's name or more than
// `archiveDays` + 1 days after it, and the size rule deletes only among
// files not named in the future. `keep` (the file being written) is never
// deleted. Returns the number of files deleted.
int RotateArchive(const std::filesystem::path& folder, std::int64_t nowMs, std::int32_t archiveDays,
                  std::uint64_t sizeLimit, const std::filesystem::path& keep = {});

class TFeedArchive {
 public:
  // Rotates the folder and starts the writer; no file is made before the
  // first receive.
  explicit TFeedArchive(TArchiveOptions options);
  // Close.
  ~TFeedArchive();
  TFeedArchive(const TFeedArchive&) = delete;
  TFeedArchive& operator=(const TFeedArchive&) = delete;

  // On the exchange thread; neither waits on the disk.
  void FeedConnected();  // the next receive starts a new file
  void FeedReceived(const char* bytes, std::size_t size);

  // Waits until the start's rotation is done and everything handed over so
  // far has been dealt with (an unfinished last line may still be held).
  void Drain();
  // At the program's end: writes every byte still waiting (the unfinished
  // last line as it is), puts the file on the disk, closes it and ends the
  // writer. Later receives are not recorded. Calling it again does nothing.
  void Close();

  // The current file stopped on a fault and no new one has taken over yet;
  // read by the window's timer, never waits.
  bool RecordingStopped() const { return stopped_.load(std::memory_order_relaxed); }
  // Why, in the system's words; empty while recording.
  std::string StopReason() const;

  struct TFigures {
    std::uint64_t receivesRecorded = 0;
    std::uint64_t receivesLost = 0;  // not recorded: buffer full or the file stopped
    std::uint64_t bytesWritten = 0;  // stamps included
    std::uint64_t failures = 0;      // files that could not be made or stopped
    std::uint64_t filesStarted = 0;
    std::uint64_t receivesEndedInsideLine = 0;  // their last line was held for the next stamp
  };
  TFigures Figures() const;
  // The file being written, empty while none is.
  std::filesystem::path CurrentFile() const;

 private:
  struct TEntry {
    std::int64_t atMs;
    std::size_t offset;
    std::size_t size;
    bool newFile;
    bool lostBefore;  // receives were lost just before this one
  };

  void Run();
  void WriteEntry(const TEntry& entry, const char* bytes);
  bool StartFile(const platform::TLocalTime& time);
  bool Write(const char* bytes, std::size_t size);
  // Ends the current file; `writeHeld`: the unfinished line goes in as it is.
  void EndFile(bool writeHeld);
  // The file stopped on a fault; the next receive tries a new one.
  void Fail(const std::string& reason);
  void StopFile();
  // At most once a second: on the disk, and the file still in its folder.
  void SyncFile();
  std::int64_t Now() const;

  TArchiveOptions options_;

  // Shared with the exchange thread; held only to append or swap.
  mutable std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable drained_;
  std::vector<char> pendingBytes_;
  std::vector<TEntry> pendingEntries_;
  bool nextIsNewFile_ = true;
  bool lostSinceLast_ = false;
  bool stop_ = false;
  bool closed_ = false;
  bool rotatedAtStart_ = false;
  std::uint64_t handedOver_ = 0;  // entries queued, ever
  std::uint64_t dealtWith_ = 0;   // entries the writer finished, ever

  // Writer thread only, but for the figures and CurrentFile.
  std::vector<char> writingBytes_;
  std::vector<TEntry> writingEntries_;
  struct TFile;
  std::unique_ptr<TFile> file_;
  std::filesystem::path currentPath_;  // guarded by lock_ for readers
  bool recording_ = false;             // a file is open and sound
  int fileDay_ = -1;                   // local y*10000+m*100+d of the last file tried
  std::int64_t lastSyncMs_ = 0;        // steady clock
  bool unsynced_ = false;
  bool fileRecorded_ = false;   // the current file holds a receive
  int failuresInARow_ = 0;      // files that failed since the last receive recorded
  std::int64_t retryAtMs_ = 0;  // steady clock: no new file before this
  recording::TReceiveCutter cutter_;
  std::string stopReason_;  // guarded by lock_
  std::atomic<bool> stopped_{false};

  std::atomic<std::uint64_t> receivesRecorded_{0}, receivesLost_{0}, bytesWritten_{0}, failures_{0}, filesStarted_{0},
      receivesEndedInsideLine_{0};
  std::thread writer_;
};
