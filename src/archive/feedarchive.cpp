#include "archive/feedarchive.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <system_error>

#include "platform/appendfile.h"

namespace {

constexpr std::int64_t kMsPerDay = 24LL * 3600 * 1000;
// The writer looks for work at least this often, so received bytes reach
// the system well within a second even when the feed is quiet.
constexpr std::chrono::milliseconds kWriterPass{200};
constexpr std::int64_t kSyncEveryMs = 1000;

int DayNumber(const platform::TLocalTime& t) { return t.year * 10000 + t.month * 100 + t.day; }

// "YYYY-MM-DD_HH-MM-SS.feed": 24 characters, digits where the format has them.
bool IsArchiveFileName(const std::string& name) {
  static constexpr char kShape[] = "0000-00-00_00-00-00.feed";
  if (name.size() != sizeof kShape - 1) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (kShape[i] == '0' ? (name[i] < '0' || name[i] > '9') : name[i] != kShape[i]) return false;
  }
  return true;
}

}  // namespace

std::string ArchiveFileName(const platform::TLocalTime& t) {
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d_%02d-%02d-%02d.feed", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return text;
}

std::string ArchiveStampLine(const platform::TLocalTime& t) {
  char text[40];
  std::snprintf(text, sizeof text, "##%04d-%02d-%02d %02d:%02d:%02d.%03d\n", t.year, t.month, t.day, t.hour, t.minute,
                t.second, t.millisecond);
  return text;
}

int RotateArchive(const std::filesystem::path& folder, const std::string& oldestKept, std::uint64_t sizeLimit,
                  const std::filesystem::path& keep) {
  struct TFound {
    std::string name;
    std::uint64_t size;
  };
  std::vector<TFound> files;
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    std::error_code sizeError;
    if (!IsArchiveFileName(name) || !it->is_regular_file(sizeError)) continue;
    const std::uint64_t size = it->file_size(sizeError);
    files.push_back({name, sizeError ? 0 : size});
  }
  // The names sort as the times they were started.
  std::sort(files.begin(), files.end(), [](const TFound& a, const TFound& b) { return a.name < b.name; });
  std::uint64_t total = 0;
  for (const TFound& f : files) total += f.size;
  const std::string kept = keep.filename().string();
  int deleted = 0;
  for (const TFound& f : files) {
    const bool tooOld = f.name < oldestKept;
    if (!tooOld && total <= sizeLimit) break;
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
    stop_ = true;
  }
  wake_.notify_one();
  if (writer_.joinable()) writer_.join();
}

std::int64_t TFeedArchive::Now() const { return options_.now ? options_.now() : platform::NowMilliseconds(); }

std::string TFeedArchive::OldestKeptName(std::int64_t nowMs) const {
  return ArchiveFileName(platform::LocalTime(nowMs - options_.archiveDays * kMsPerDay));
}

void TFeedArchive::FeedConnected() {
  std::lock_guard<std::mutex> guard(lock_);
  nextIsNewFile_ = true;
}

void TFeedArchive::FeedReceived(const char* bytes, std::size_t size) {
  if (size == 0) return;
  const std::int64_t at = Now();
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (pendingBytes_.size() + size > options_.bufferLimit) {
      // The disk is not keeping up: this receive is lost, so the file it
      // belonged in would have a hole; the writer stops it.
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
  return f;
}

std::filesystem::path TFeedArchive::CurrentFile() const {
  std::lock_guard<std::mutex> guard(lock_);
  return currentPath_;
}

void TFeedArchive::Run() {
  {
    const std::int64_t now = Now();
    RotateArchive(options_.folder, OldestKeptName(now), options_.sizeLimit);
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
  if (recording_) file_->file.Sync();
  StopFile();
}

void TFeedArchive::WriteEntry(const TEntry& entry, const char* bytes) {
  const platform::TLocalTime time = platform::LocalTime(entry.atMs);
  if (entry.lostBefore && recording_) {
    // A hole in the file would replay as a session that never was.
    failures_.fetch_add(1, std::memory_order_relaxed);
    StopFile();
  }
  // Midnight starts a new file, and retries one that could not be made.
  if (entry.newFile || DayNumber(time) != fileDay_) {
    StopFile();
    StartFile(time);
  }
  if (!recording_) {
    receivesLost_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  // The stamp stands on a line of its own; after a receive that ended in
  // the middle of a line it follows that line's first part directly, and
  // the replayer cuts it off there, so the line is sent whole again.
  const std::string stamp = ArchiveStampLine(time);
  if (!file_->file.Write(stamp.data(), stamp.size()) || !file_->file.Write(bytes, entry.size)) {
    failures_.fetch_add(1, std::memory_order_relaxed);
    receivesLost_.fetch_add(1, std::memory_order_relaxed);
    StopFile();
    return;
  }
  unsynced_ = true;
  receivesRecorded_.fetch_add(1, std::memory_order_relaxed);
  bytesWritten_.fetch_add(stamp.size() + entry.size, std::memory_order_relaxed);
}

bool TFeedArchive::StartFile(const platform::TLocalTime& time) {
  // The folder may have been removed since the start; make it again.
  std::error_code ignored;
  std::filesystem::create_directory(options_.folder, ignored);
  const std::filesystem::path path = options_.folder / ArchiveFileName(time);
  fileDay_ = DayNumber(time);
  RotateArchive(options_.folder, OldestKeptName(Now()), options_.sizeLimit, path);
  if (!file_->file.Open(path)) {
    failures_.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  recording_ = true;
  filesStarted_.fetch_add(1, std::memory_order_relaxed);
  std::lock_guard<std::mutex> guard(lock_);
  currentPath_ = path;
  return true;
}

void TFeedArchive::StopFile() {
  file_->file.Close();
  recording_ = false;
  unsynced_ = false;
  std::lock_guard<std::mutex> guard(lock_);
  currentPath_.clear();
}

void TFeedArchive::SyncFile() {
  const std::int64_t nowMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count();
  if (!recording_ || !unsynced_ || nowMs - lastSyncMs_ < kSyncEveryMs) return;
  lastSyncMs_ = nowMs;
  unsynced_ = false;
  std::error_code error;
  // A file whose folder was removed takes writes that end nowhere.
  const bool present = std::filesystem::exists(CurrentFile(), error);
  if (!present || !file_->file.Sync()) {
    failures_.fetch_add(1, std::memory_order_relaxed);
    StopFile();
  }
}
