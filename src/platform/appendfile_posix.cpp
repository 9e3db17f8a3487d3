#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "platform/appendfile.h"

namespace platform {

AppendFile::~AppendFile() { Close(); }

bool AppendFile::Open(const std::filesystem::path& file) {
  Close();
  int fd = -1;
  do {
    fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  } while (fd == -1 && errno == EINTR);
  if (fd == -1) return false;
  handle_ = fd;
  return true;
}

bool AppendFile::Write(const char* bytes, std::size_t size) {
  if (!IsOpen()) return false;
  while (size > 0) {
    const ssize_t n = ::write(static_cast<int>(handle_), bytes, size);
    if (n == -1 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool AppendFile::Sync() { return IsOpen() && ::fdatasync(static_cast<int>(handle_)) == 0; }

void AppendFile::Close() {
  if (!IsOpen()) return;
  ::close(static_cast<int>(handle_));
  handle_ = -1;
}

}  // namespace platform
