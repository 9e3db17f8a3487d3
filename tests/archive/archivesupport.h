// What the archive tests share: a scratch folder, the archive's files in
// it, and the bytes a replay of a file would send.
#pragma once

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive/feedarchive.h"
#include "recording/recording.h"

namespace archivetest {

class TempFolder {
 public:
  TempFolder() {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = std::filesystem::temp_directory_path() / ("brelvo-archive-" + std::to_string(stamp));
    std::filesystem::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string ReadAll(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteAll(const std::filesystem::path& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary) << bytes;
}

// The archive's files in the order they were started.
inline std::vector<std::filesystem::path> FeedFiles(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    if (entry.path().extension() == ".feed") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

inline TArchiveOptions InFolder(const std::filesystem::path& folder) {
  TArchiveOptions options;
  options.folder = folder;
  return options;
}

// Megabytes of plausible feed: positions and passings of twenty karts.
inline std::string SyntheticFeed(std::size_t bytes) {
  std::string feed;
  for (int i = 0; feed.size() < bytes; ++i) {
    const std::string reg = std::to_string(100 + i % 20);
    feed += "$G," + std::to_string(i % 20 + 1) + ",\"" + reg + "\"," + std::to_string(i / 20) + ",\"00:05:01.100\"\r\n";
    feed += "$J,\"" + reg + "\",\"00:01:02.345\",\"00:10:00.000\"\r\n";
  }
  return feed;
}
inline constexpr std::size_t kCrashFeedBytes = 4 * 1024 * 1024;
inline constexpr std::size_t kCrashReceiveBytes = 700;

// Everything a replay of `bytes` sends, in one string.
inline std::string ReplayedBytes(const std::string& bytes) {
  std::string out;
  for (const auto& event : recording::ParseRecording(bytes, 10)) out += event.bytes;
  return out;
}

}  // namespace archivetest
