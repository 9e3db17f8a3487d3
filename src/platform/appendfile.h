// A file that only grows, written straight to the system without a buffer
// of our own: what was written survives the program being killed, and
// Sync puts it on the disk against a power cut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace platform {

class AppendFile {
 public:
  AppendFile() = default;
  ~AppendFile();
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Opens `file` for appending, creating it when missing; others may read
  // it meanwhile.
  bool Open(const std::filesystem::path& file);
  bool IsOpen() const { return handle_ != -1; }
  // All of `size` bytes, or false (a full disk, a lost device).
  bool Write(const char* bytes, std::size_t size);
  // Flushes the system's cache of the file to the disk.
  bool Sync();
  void Close();

 private:
  std::intptr_t handle_ = -1;
};

}  // namespace platform
