#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>

#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "platform/singleinstance.h"

namespace platform {
namespace {

constexpr char kShowRequest[] = "show";

std::string LockPath(const char* name) {
  if (name == nullptr || *name == '\0') name = kSingleInstanceName;
  const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
  std::string path = (runtimeDir != nullptr && *runtimeDir != '\0') ? runtimeDir : "/tmp";
  path += "/brelvo-";
  for (const char* c = name; *c != '\0'; ++c) path.push_back(*c == '/' ? '_' : *c);
  path += ".lock";
  return path;
}

// An abstract socket (Linux): nothing on disk to clean up after a crash, and
// it goes with the process. Named after the lock file, so it has the lock's
// scope (one per runtime folder).
socklen_t ShowAddress(const char* name, sockaddr_un& address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  const std::string text = LockPath(name) + ".show";
  const std::size_t length = std::min(text.size(), sizeof address.sun_path - 1);
  std::memcpy(address.sun_path + 1, text.data(), length);  // sun_path[0] stays 0: abstract
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

bool SendShowRequest(int fd, const sockaddr_un& address, socklen_t length) {
  ssize_t sent = -1;
  do
    sent = ::sendto(fd, kShowRequest, sizeof kShowRequest - 1, MSG_DONTWAIT | MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&address), length);
  while (sent == -1 && errno == EINTR);
  return sent == static_cast<ssize_t>(sizeof kShowRequest - 1);
}

}  // namespace

bool AcquireSingleInstanceLock(const char* name) {
  const std::string path = LockPath(name);

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

bool RequestShowFromFirstCopy(const char* name) {
  sockaddr_un address;
  const socklen_t length = ShowAddress(name, address);
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd == -1) return false;
  const bool sent = SendShowRequest(fd, address, length);
  ::close(fd);
  return sent;
}

struct ShowRequestListener::Impl {
  int fd = -1;
  sockaddr_un address{};
  socklen_t length = 0;
  std::atomic<bool> stopping{false};
  std::thread thread;
};

ShowRequestListener::ShowRequestListener(std::function<void()> onRequest, GuiQueue* queue, const char* name)
    : impl_(std::make_unique<Impl>()) {
  Impl& d = *impl_;
  d.length = ShowAddress(name, d.address);
  d.fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (d.fd == -1) return;
  if (::bind(d.fd, reinterpret_cast<const sockaddr*>(&d.address), d.length) != 0) {
    ::close(d.fd);
    d.fd = -1;
    return;
  }
  d.thread = std::thread([&d, queue, onRequest = std::move(onRequest)] {
    char request[sizeof kShowRequest];
    while (true) {
      const ssize_t got = ::recv(d.fd, request, sizeof request, 0);
      if (got == -1 && errno == EINTR) continue;
      if (got == -1 || d.stopping.load()) return;
      if (got != static_cast<ssize_t>(sizeof kShowRequest - 1) ||
          std::memcmp(request, kShowRequest, sizeof kShowRequest - 1) != 0)
        continue;
      if (queue != nullptr) {
        queue->Post(onRequest);
      } else {
        onRequest();
      }
    }
  });
}

ShowRequestListener::~ShowRequestListener() {
  Impl& d = *impl_;
  if (d.thread.joinable()) {
    // The receive wakes for the listener's own last request.
    d.stopping.store(true);
    if (!SendShowRequest(d.fd, d.address, d.length)) ::shutdown(d.fd, SHUT_RDWR);
    d.thread.join();
  }
  if (d.fd != -1) ::close(d.fd);
}

bool ShowRequestListener::Listening() const { return impl_->fd != -1; }

}  // namespace platform
