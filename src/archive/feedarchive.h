// The feed archive: every byte the exchange thread receives from the feed,
// kept in the program's Archive folder in the recordings' format, so that
// brelvo-feed --replay plays a session back as it came. Each receive is
// headed by a line "##YYYY-MM-DD hh:mm:ss.fff" (local time) and followed by
// its bytes unchanged; a new file "YYYY-MM-DD_HH-MM-SS.feed" starts at each
// new feed connection and at local midnight.
//
// The exchange thread only copies the bytes into a bounded buffer; a writer
// thread of the archive's own does every disk operation. A slow or full
// disk, a read-only or vanished folder stops the recording of the current
// file (counted) and is tried again at the next file; it never holds up the
// feed or the board.
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
};

// "YYYY-MM-DD_HH-MM-SS.feed" of a local time.
std::string ArchiveFileName(const platform::TLocalTime& time);
// "##YYYY-MM-DD hh:mm:ss.fff" and a line feed.
std::string ArchiveStampLine(const platform::TLocalTime& time);
// Deletes the archive's own files (by their names; nothing else in the
// folder is touched) that started before `oldestKept`, then the oldest
// while they hold more than `sizeLimit` bytes. `keep` (the file being
// written) is never deleted. Returns the number of files deleted.
int RotateArchive(const std::filesystem::path& folder, const std::string& oldestKept, std::uint64_t sizeLimit,
                  const std::filesystem::path& keep = {});

class TFeedArchive {
 public:
  // Rotates the folder and starts the writer; no file is made before the
  // first receive.
  explicit TFeedArchive(TArchiveOptions options);
  // Close().
  ~TFeedArchive();
  TFeedArchive(const TFeedArchive&) = delete;
  TFeedArchive& operator=(const TFeedArchive&) = delete;

  // On the exchange thread; neither waits on the disk.
  void FeedConnected();  // the next receive starts a new file
  void FeedReceived(const char* bytes, std::size_t size);

  // Writes every byte still waiting, syncs and closes the file, and ends
  // the writer; what is handed over later is not recorded. Idempotent.
  void Close();

  // Waits until the start's rotation is done and everything handed over so
  // far has been dealt with.
  void Drain();

  struct TFigures {
    std::uint64_t receivesRecorded = 0;
    std::uint64_t receivesLost = 0;  // not recorded: buffer full or the file stopped
    std::uint64_t bytesWritten = 0;  // stamps included
    std::uint64_t failures = 0;      // files that could not be made or stopped
    std::uint64_t filesStarted = 0;
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
  void StopFile();
  // At most once a second: on the disk, and the file still in its folder.
  void SyncFile();
  std::int64_t Now() const;
  std::string OldestKeptName(std::int64_t nowMs) const;

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

  std::atomic<std::uint64_t> receivesRecorded_{0}, receivesLost_{0}, bytesWritten_{0}, failures_{0}, filesStarted_{0};
  std::thread writer_;
};
