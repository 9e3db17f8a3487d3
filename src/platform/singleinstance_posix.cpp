#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>

#include <sys/socket.h>
#include <sys/un.h>

#include "platform/singleinstance.h"

namespace platform {
namespace {

constexpr char kShowRequest[] = "show";
constexpr char kShowAnswer[] = "shown";

// An abstract socket (Linux): one name space per machine (per network name
// space), nothing on disk to plant, clean up or leave behind after a crash,
// and it goes with the process.
socklen_t AbstractAddress(const char* name, const char* what, sockaddr_un& address) {
  if (name == nullptr || *name == '\0') name = kSingleInstanceName;
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  const std::string text = std::string("brelvo-") + name + what;
  const std::size_t length = std::min(text.size(), sizeof address.sun_path - 1);
  std::memcpy(address.sun_path + 1, text.data(), length);  // sun_path[0] stays 0: abstract
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

bool SendDatagram(int fd, const char* text, std::size_t size, const sockaddr* address, socklen_t length) {
  ssize_t sent = -1;
  do sent = ::sendto(fd, text, size, MSG_DONTWAIT | MSG_NOSIGNAL, address, length);
  while (sent == -1 && errno == EINTR);
  return sent == static_cast<ssize_t>(size);
}

}  // namespace

bool AcquireSingleInstanceLock(const char* name) {
  sockaddr_un address;
  const socklen_t length = AbstractAddress(name, ".lock", address);
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  // Without a socket the program still starts: a missing guard must not
  // keep the board dark.
  if (fd == -1) return true;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    const bool held = errno == EADDRINUSE;
    ::close(fd);
    return !held;
  }
  // The socket stays bound, and the lock held, until the process ends.
  return true;
}

bool RequestShowFromFirstCopy(const char* name, std::chrono::milliseconds wait) {
  sockaddr_un address;
  const socklen_t length = AbstractAddress(name, ".show", address);
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd == -1) return false;
  // An address of our own (autobound, abstract) for the answer to come to.
  const sa_family_t family = AF_UNIX;
  bool answered = false;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&family), sizeof family) == 0 &&
      SendDatagram(fd, kShowRequest, sizeof kShowRequest - 1, reinterpret_cast<const sockaddr*>(&address), length)) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!answered) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
      pollfd poller{fd, POLLIN, 0};
      const int ready = ::poll(&poller, 1, static_cast<int>(left));
      if (ready == -1 && errno == EINTR) continue;
      if (ready != 1) break;
      char answer[sizeof kShowAnswer];
      const ssize_t got = ::recv(fd, answer, sizeof answer, MSG_DONTWAIT);
      answered = got == static_cast<ssize_t>(sizeof kShowAnswer - 1) &&
                 std::memcmp(answer, kShowAnswer, sizeof kShowAnswer - 1) == 0;
    }
  }
  ::close(fd);
  return answered;
}

struct ShowRequestListener::Impl {
  int fd = -1;
  sockaddr_un address{};
  socklen_t length = 0;
  std::atomic<bool> stopping{false};
  std::thread thread;
};

ShowRequestListener::ShowRequestListener(std::function<bool()> onRequest, GuiQueue* queue, const char* name)
    : impl_(std::make_unique<Impl>()) {
  Impl& d = *impl_;
  d.length = AbstractAddress(name, ".show", d.address);
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
      sockaddr_un from{};
      socklen_t fromLength = sizeof from;
      const ssize_t got = ::recvfrom(d.fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
      if (got == -1 && errno == EINTR) continue;
      if (got == -1 || d.stopping.load()) return;
      if (got != static_cast<ssize_t>(sizeof kShowRequest - 1) ||
          std::memcmp(request, kShowRequest, sizeof kShowRequest - 1) != 0)
        continue;
      if (queue != nullptr) {
        queue->Post([onRequest] { onRequest(); });
      } else {
        onRequest();
      }
      // The window comes out as soon as the GUI thread runs the request;
      // the second copy may end now.
      if (fromLength > offsetof(sockaddr_un, sun_path)) {
        SendDatagram(d.fd, kShowAnswer, sizeof kShowAnswer - 1, reinterpret_cast<const sockaddr*>(&from), fromLength);
      }
    }
  });
}

ShowRequestListener::~ShowRequestListener() {
  Impl& d = *impl_;
  if (d.thread.joinable()) {
    // The receive wakes for the listener's own last request.
    d.stopping.store(true);
    if (!SendDatagram(d.fd, kShowRequest, sizeof kShowRequest - 1, reinterpret_cast<const sockaddr*>(&d.address),
                      d.length)) {
      ::shutdown(d.fd, SHUT_RDWR);
    }
    d.thread.join();
  }
  if (d.fd != -1) ::close(d.fd);
}

bool ShowRequestListener::Listening() const { return impl_->fd != -1; }

}  // namespace platform
