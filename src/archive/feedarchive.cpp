#include "archive/feedarchive.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "platform/appendfile.h"
#include "platform/debugoutput.h"

namespace {

constexpr std::int64_t kMsPerDay = 24LL * 3600 * 1000;
// The writer looks for work at least this often, so received bytes reach
// the system well within a second even when the feed is quiet.
constexpr std::chrono::milliseconds kWriterPass{200};
constexpr std::int64_t kSyncEveryMs = 1000;
// After a fault the next receive tries a new file at once; while the fault
// lasts, no more often than this.
constexpr std::int64_t kRetryEveryMs = 1000;
// Names of one second taken already ("_2" … ): beyond this the clock is
// going round in circles and the file is not made.
constexpr int kMostIndex = 999;

int DayNumber(const platform::TLocalTime& t) { return t.year * 10000 + t.month * 100 + t.day; }

recording::TStampTime StampTime(const platform::TLocalTime& t) {
  return {t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond};
}

// "YYYY-MM-DD_HH-MM-SS" of a moment, as file names start.
std::string Started(std::int64_t ms) { return recording::FileName(StampTime(platform::LocalTime(ms))).substr(0, 19); }

std::int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::string ArchiveFileName(const platform::TLocalTime& t, int index) {
  return recording::FileName(StampTime(t), index);
}

std::string ArchiveStampLine(const platform::TLocalTime& t) { return recording::StampLine(StampTime(t)); }

int RotateArchive(const std::filesystem::path& folder, std::int64_t nowMs, std::int32_t archiveDays,
                  std::uint64_t sizeLimit, const std::filesystem::path& keep) {
  struct TFound {
    std::string name;
    recording::TFileName parsed;
    std::uint64_t size;
  };
  std::vector<TFound> files;
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    std::error_code sizeError;
    const auto parsed = recording::ParseFileName(name);
    if (!parsed || !it->is_regular_file(sizeError)) continue;
    const std::uint64_t size = it->file_size(sizeError);
    files.push_back({name, *parsed, sizeError ? 0 : size});
  }
  if (files.empty()) return 0;
  // The names sort as the times they were started.
  std::sort(files.begin(), files.end(),
            [](const TFound& a, const TFound& b) { return recording::StartedBefore(a.parsed, b.parsed); });
  const std::string now = Started(nowMs);
  const std::string& newest = files.back().parsed.started;
  // A clock years ahead at boot, or set back after files were named by a
  // wrong one: ages mean nothing then, and the archive stays.
  const bool agesTrusted =
      !(now < newest) && !(newest < Started(nowMs - (static_cast<std::int64_t>(archiveDays) + 1) * kMsPerDay));
  const std::string oldestKept = Started(nowMs - static_cast<std::int64_t>(archiveDays) * kMsPerDay);
  std::uint64_t total = 0;
  for (const TFound& f : files) total += f.size;
  const std::string kept = keep.filename().string();
  int deleted = 0;
  for (const TFound& f : files) {
    const bool tooOld = agesTrusted && f.parsed.started < oldestKept;
    const bool inFuture = now < f.parsed.started;
    if (!tooOld && (total <= sizeLimit || inFuture)) break;
    if (f.name == kept) continue;
    std::error_code removeError;
    if (std::filesystem::remove(folder / f.name, removeError)) {
      total -= f.size;
      ++deleted;
    }
  }
  return deleted;
}

struct TFeedArchive::TFile {
  platform::AppendFile file;
};

TFeedArchive::TFeedArchive(TArchiveOptions options) : options_(std::move(options)), file_(std::make_unique<TFile>()) {
  if (options_.archiveDays < 1) options_.archiveDays = 1;
  writer_ = std::thread([this] { Run(); });
}

TFeedArchive::~TFeedArchive() { Close(); }

void TFeedArchive::Close() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_) return;
    closed_ = true;
    stop_ = true;
  }
  wake_.notify_one();
  writer_.join();
}

std::int64_t TFeedArchive::Now() const { return options_.now ? options_.now() : platform::NowMilliseconds(); }

void TFeedArchive::FeedConnected() {
  std::lock_guard<std::mutex> guard(lock_);
  nextIsNewFile_ = true;
}

void TFeedArchive::FeedReceived(const char* bytes, std::size_t size) {
  if (size == 0) return;
  const std::int64_t at = Now();
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (stop_) {
      receivesLost_.fetch_add(1, std::memory_order_relaxed);  // after Close
      return;
    }
    if (pendingBytes_.size() + size > options_.bufferLimit) {
      // The disk is not keeping up: this receive is lost, so the file it
      // belonged in would have a hole; the writer ends it.
      lostSinceLast_ = true;
      receivesLost_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    pendingEntries_.push_back({at, pendingBytes_.size(), size, nextIsNewFile_, lostSinceLast_});
    pendingBytes_.insert(pendingBytes_.end(), bytes, bytes + size);
    nextIsNewFile_ = false;
    lostSinceLast_ = false;
    ++handedOver_;
  }
  wake_.notify_one();
}

void TFeedArchive::Drain() {
  std::unique_lock<std::mutex> guard(lock_);
  const std::uint64_t target = handedOver_;
  wake_.notify_one();
  drained_.wait(guard, [&] { return rotatedAtStart_ && dealtWith_ >= target; });
}

TFeedArchive::TFigures TFeedArchive::Figures() const {
  TFigures f;
  f.receivesRecorded = receivesRecorded_.load();
  f.receivesLost = receivesLost_.load();
  f.bytesWritten = bytesWritten_.load();
  f.failures = failures_.load();
  f.filesStarted = filesStarted_.load();
  f.receivesEndedInsideLine = receivesEndedInsideLine_.load();
  return f;
}

std::filesystem::path TFeedArchive::CurrentFile() const {
  std::lock_guard<std::mutex> guard(lock_);
  return currentPath_;
}

std::string TFeedArchive::StopReason() const {
  std::lock_guard<std::mutex> guard(lock_);
  return stopReason_;
}

void TFeedArchive::Run() {
  RotateArchive(options_.folder, Now(), options_.archiveDays, options_.sizeLimit);
  {
    std::lock_guard<std::mutex> guard(lock_);
    rotatedAtStart_ = true;
  }
  drained_.notify_all();
  for (;;) {
    bool stopping = false;
    {
      std::unique_lock<std::mutex> guard(lock_);
      wake_.wait_for(guard, kWriterPass, [&] { return stop_ || !pendingEntries_.empty(); });
      writingBytes_.clear();
      writingEntries_.clear();
      // Swapping keeps both buffers' capacity: no allocation per receive
      // once the feed has run for a while.
      pendingBytes_.swap(writingBytes_);
      pendingEntries_.swap(writingEntries_);
      stopping = stop_;
    }
    for (const TEntry& entry : writingEntries_) WriteEntry(entry, writingBytes_.data() + entry.offset);
    SyncFile();
    {
      std::lock_guard<std::mutex> guard(lock_);
      dealtWith_ += writingEntries_.size();
    }
    drained_.notify_all();
    if (stopping) {
      std::lock_guard<std::mutex> guard(lock_);
      if (pendingEntries_.empty()) break;
    }
  }
  EndFile(true);
}

bool TFeedArchive::Write(const char* bytes, std::size_t size) {
  if (size == 0) return true;
  if (options_.writeFault && options_.writeFault()) return false;
  return file_->file.Write(bytes, size);
}

void TFeedArchive::WriteEntry(const TEntry& entry, const char* bytes) {
  const platform::TLocalTime time = platform::LocalTime(entry.atMs);
  if (entry.lostBefore && recording_) {
    // A hole in the file would replay as a session that never was.
    EndFile(true);
    Fail("the disk did not keep up, received bytes were lost");
  }
  if (entry.newFile) {
    EndFile(true);
    cutter_.Clear();
  } else if (recording_ && DayNumber(time) != fileDay_) {
    // Midnight: the same feed goes on in a new file, the unfinished line
    // with it.
    EndFile(false);
    cutter_.NewFile();
  }
  if (!recording_) {
    if (SteadyMs() < retryAtMs_ || !StartFile(time)) {
      // The held line's end is in this lost receive.
      cutter_.Clear();
      receivesLost_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
  }
  const auto pieces = cutter_.Cut(std::string_view(bytes, entry.size));
  const std::string stamp = pieces.stamp ? ArchiveStampLine(time) : std::string();
  if (!Write(pieces.lead.data(), pieces.lead.size()) || !Write(stamp.data(), stamp.size()) ||
      !Write(pieces.held.data(), pieces.held.size()) || !Write(pieces.body.data(), pieces.body.size())) {
    receivesLost_.fetch_add(1, std::memory_order_relaxed);
    cutter_.Clear();
    Fail("a write to " + currentPath_.filename().string() + " failed (disk full or gone)");
    return;
  }
  cutter_.Commit();
  if (cutter_.EndedInsideLine()) receivesEndedInsideLine_.fetch_add(1, std::memory_order_relaxed);
  unsynced_ = true;
  fileRecorded_ = true;
  failuresInARow_ = 0;
  if (stopped_.load(std::memory_order_relaxed)) {
    platform::DebugOutput("archive: recording again into " + currentPath_.filename().string() + "\n");
    std::lock_guard<std::mutex> guard(lock_);
    stopReason_.clear();
    stopped_.store(false, std::memory_order_relaxed);
  }
  receivesRecorded_.fetch_add(1, std::memory_order_relaxed);
  bytesWritten_.fetch_add(pieces.lead.size() + stamp.size() + pieces.held.size() + pieces.body.size(),
                          std::memory_order_relaxed);
}

bool TFeedArchive::StartFile(const platform::TLocalTime& time) {
  // The folder may have been removed since the start; make it again.
  std::error_code ignored;
  std::filesystem::create_directory(options_.folder, ignored);
  // The hour repeated when summer time ends names files that exist: those
  // are an earlier session's, never appended to.
  std::filesystem::path path;
  for (int index = 1; index <= kMostIndex && path.empty(); ++index) {
    const std::filesystem::path candidate = options_.folder / ArchiveFileName(time, index);
    std::error_code error;
    if (!std::filesystem::exists(candidate, error) && !error) path = candidate;
  }
  fileDay_ = DayNumber(time);
  if (path.empty()) {
    Fail("no free file name for " + ArchiveFileName(time));
    return false;
  }
  RotateArchive(options_.folder, Now(), options_.archiveDays, options_.sizeLimit, path);
  if (!file_->file.Open(path)) {
    Fail("cannot make " + path.filename().string() + " in " + options_.folder.string());
    return false;
  }
  recording_ = true;
  fileRecorded_ = false;
  filesStarted_.fetch_add(1, std::memory_order_relaxed);
  std::lock_guard<std::mutex> guard(lock_);
  currentPath_ = path;
  return true;
}

void TFeedArchive::EndFile(bool writeHeld) {
  if (!recording_) return;
  const std::string_view held = cutter_.Held();
  if (writeHeld && !held.empty()) {
    if (Write(held.data(), held.size())) bytesWritten_.fetch_add(held.size(), std::memory_order_relaxed);
    cutter_.Clear();
  }
  file_->file.Sync();
  StopFile();
}

void TFeedArchive::Fail(const std::string& reason) {
  failures_.fetch_add(1, std::memory_order_relaxed);
  const std::filesystem::path failed = CurrentFile();
  const bool empty = recording_ && !fileRecorded_;
  StopFile();
  // A file the fault left without a single receive would only clutter the
  // archive with sessions of nothing.
  if (empty) {
    std::error_code ignored;
    std::filesystem::remove(failed, ignored);
  }
  retryAtMs_ = ++failuresInARow_ > 1 ? SteadyMs() + kRetryEveryMs : 0;
  if (!stopped_.load(std::memory_order_relaxed)) {
    platform::DebugOutput("archive: recording stopped: " + reason + "\n");
  }
  std::lock_guard<std::mutex> guard(lock_);
  stopReason_ = reason;
  stopped_.store(true, std::memory_order_relaxed);
}

void TFeedArchive::StopFile() {
  file_->file.Close();
  recording_ = false;
  unsynced_ = false;
  std::lock_guard<std::mutex> guard(lock_);
  currentPath_.clear();
}

void TFeedArchive::SyncFile() {
  const std::int64_t nowMs = SteadyMs();
  if (!recording_ || !unsynced_ || nowMs - lastSyncMs_ < kSyncEveryMs) return;
  lastSyncMs_ = nowMs;
  unsynced_ = false;
  std::error_code error;
  // A file whose folder was removed takes writes that end nowhere.
  const bool present = std::filesystem::exists(CurrentFile(), error);
  if (!present) {
    Fail(CurrentFile().filename().string() + " vanished from its folder");
  } else if (!file_->file.Sync()) {
    Fail("cannot put " + CurrentFile().filename().string() + " on the disk");
  }
}
