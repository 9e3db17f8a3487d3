#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include <sys/file.h>

#include "platform/singleinstance.h"

namespace platform {

bool AcquireSingleInstanceLock(const char* name) {
  if (name == nullptr || *name == '\0') name = kSingleInstanceName;
  const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
  std::string path = (runtimeDir != nullptr && *runtimeDir != '\0') ? runtimeDir : "/tmp";
  path += "/brelvo-";
  for (const char* c = name; *c != '\0'; ++c) path.push_back(*c == '/' ? '_' : *c);
  path += ".lock";

  // Readable by all, so another user's copy can still take a shared look at
  // the file and find it locked; a read-only descriptor locks as well.
  int fd = -1;
  do fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  while (fd == -1 && errno == EINTR);
  if (fd == -1) {
    do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd == -1 && errno == EINTR);
  }
  // Without a lock file the program still starts: a missing guard must not
  // keep the board dark.
  if (fd == -1) return true;
  int result = 0;
  do result = ::flock(fd, LOCK_EX | LOCK_NB);
  while (result == -1 && errno == EINTR);
  if (result == -1) {
    const bool heldElsewhere = errno == EWOULDBLOCK;
    ::close(fd);
    return !heldElsewhere;
  }
  // The descriptor stays open, and the lock held, until the process ends.
  return true;
}

}  // namespace platform
