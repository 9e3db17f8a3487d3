#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>

#include <sys/stat.h>

#include "platform/atomicfile.h"

namespace platform {

namespace {

bool WriteAll(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t written = ::write(fd, content.data(), content.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    content.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// The rename itself reaches the disk only with its folder.
void SyncFolder(const std::filesystem::path& folder) {
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

// A name nobody else uses at this moment: another copy of the program, a
// save of ours that crashed, or someone who planted a link under a name we
// would have chosen. O_EXCL with O_NOFOLLOW refuses whatever already stands
// there, so a few fresh names are tried.
int CreateTemporary(const std::filesystem::path& file, std::filesystem::path& temporary, mode_t mode) {
  static std::mt19937 random{std::random_device{}()};
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 16; ++attempt) {
    temporary = file;
    temporary += "." + std::to_string(::getpid()) + "-" + std::to_string(++counter) + "-" +
                 std::to_string(random() % 1000000u) + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

std::string_view TextLineEnd() { return "\n"; }

bool FileIsReadOnly(const std::filesystem::path& file) {
  struct stat status {};
  if (::stat(file.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  // The superuser may write anything; the missing write bits still say what
  // the operator wants.
  return (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::access(file.c_str(), W_OK) != 0;
}

bool WriteFileAtomically(const std::filesystem::path& file, std::string_view content) {
  struct stat old {};
  const bool replacing = ::stat(file.c_str(), &old) == 0;
  std::filesystem::path temporary;
  const int fd = CreateTemporary(file, temporary, 0666);
  if (fd < 0) return false;
  // The creation mask applied to a new file only; a replaced file keeps
  // the operator's permissions.
  bool ok = !replacing || ::fchmod(fd, old.st_mode & 07777) == 0;
  ok = ok && WriteAll(fd, content) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok && std::rename(temporary.c_str(), file.c_str()) == 0) {
    SyncFolder(file.parent_path());
    return true;
  }
  ::unlink(temporary.c_str());
  return false;
}

}  // namespace platform
