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
#include "feedsource.h"

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

// Everything a replay of `bytes` sends, in one string.
inline std::string ReplayedBytes(const std::string& bytes) {
  std::string out;
  for (const auto& event : feedsim::ParseRecording(bytes, 10)) out += event.bytes;
  return out;
}

}  // namespace archivetest
