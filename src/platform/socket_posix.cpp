#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "platform/socket.h"

namespace platform {
namespace {

// Every interruptible call goes through here, so EINTR is handled once.
template <typename Call>
auto RetryOnInterrupt(Call call) {
  for (;;) {
    auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

#if defined(MSG_NOSIGNAL)
constexpr int kNoSignal = MSG_NOSIGNAL;
#else
constexpr int kNoSignal = 0;
#endif

bool SetFdNonBlocking(int fd, bool on) {
  const int flags = RetryOnInterrupt([&] { return ::fcntl(fd, F_GETFL); });
  if (flags == -1) return false;
  const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (wanted == flags) return true;
  return RetryOnInterrupt([&] { return ::fcntl(fd, F_SETFL, wanted); }) != -1;
}

}  // namespace

SocketLibrary::SocketLibrary() : started_(true) {}
SocketLibrary::~SocketLibrary() = default;

TcpSocket::~TcpSocket() { Close(); }

TcpSocket::TcpSocket(TcpSocket&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = -1;
  }
  return *this;
}

bool TcpSocket::Open() {
  Close();
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd == -1) return false;
#if defined(SO_NOSIGPIPE)
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
  handle_ = fd;
  return true;
}

bool TcpSocket::IsOpen() const { return handle_ != -1; }

bool TcpSocket::Connect(std::uint32_t ipv4NetworkOrder, std::uint16_t port, std::chrono::milliseconds timeout) {
  if (!IsOpen()) return false;
  const int fd = Fd(handle_);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = ipv4NetworkOrder;

  // Connect without blocking and wait at most `timeout` for the outcome: a
  // blocking connect to a peer that drops packets would take minutes.
  if (!SetFdNonBlocking(fd, true)) return false;
  bool connected = false;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    connected = true;
  } else if (errno == EINPROGRESS || errno == EINTR) {
    // An interrupted connect carries on in the background, like EINPROGRESS.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() < 0) break;
      pollfd entry{fd, POLLOUT, 0};
      const int ready = ::poll(&entry, 1, static_cast<int>(left.count() > INT_MAX ? INT_MAX : left.count()));
      if (ready == -1 && errno == EINTR) continue;
      if (ready <= 0) break;
      int error = 0;
      socklen_t length = sizeof error;
      connected = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
      break;
    }
  }
  if (!SetFdNonBlocking(fd, false)) return false;
  return connected;
}

bool TcpSocket::SetNonBlocking(bool on) { return IsOpen() && SetFdNonBlocking(Fd(handle_), on); }

bool TcpSocket::SetKeepAlive(std::chrono::seconds idle, std::chrono::seconds interval, int count) {
  if (!IsOpen()) return false;
  const int fd = Fd(handle_);
  const int one = 1;
  const int idleSeconds = static_cast<int>(idle.count() < 1 ? 1 : idle.count());
  const int intervalSeconds = static_cast<int>(interval.count() < 1 ? 1 : interval.count());
  const int probes = count < 1 ? 1 : count;
  bool ok = ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) == 0;
#if defined(TCP_KEEPIDLE)
  ok = ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds) == 0 && ok;
#elif defined(TCP_KEEPALIVE)
  ok = ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPALIVE, &idleSeconds, sizeof idleSeconds) == 0 && ok;
#endif
  ok = ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds) == 0 && ok;
  ok = ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) == 0 && ok;
  return ok;
}

ReceiveStatus TcpSocket::Receive(void* buffer, std::size_t size, std::size_t& received) {
  received = 0;
  if (!IsOpen()) return ReceiveStatus::Error;
  const ssize_t n = RetryOnInterrupt([&] { return ::recv(Fd(handle_), buffer, size, kNoSignal); });
  if (n > 0) {
    received = static_cast<std::size_t>(n);
    return ReceiveStatus::Data;
  }
  if (n == 0) return size == 0 ? ReceiveStatus::Data : ReceiveStatus::Closed;
  if (errno == EAGAIN || errno == EWOULDBLOCK) return ReceiveStatus::WouldBlock;
  return ReceiveStatus::Error;
}

SendStatus TcpSocket::Send(const void* buffer, std::size_t size, std::size_t& sent) {
  sent = 0;
  if (!IsOpen()) return SendStatus::Error;
  const ssize_t n = RetryOnInterrupt([&] { return ::send(Fd(handle_), buffer, size, kNoSignal); });
  if (n >= 0) {
    sent = static_cast<std::size_t>(n);
    return SendStatus::Sent;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK) return SendStatus::WouldBlock;
  return SendStatus::Error;
}

std::string TcpSocket::PeerName() const {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (!IsOpen() || ::getpeername(Fd(handle_), reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
  return EndpointText(address.sin_addr.s_addr, ntohs(address.sin_port));
}

void TcpSocket::ShutdownBoth() {
  if (IsOpen()) ::shutdown(Fd(handle_), SHUT_RDWR);
}

void TcpSocket::Close() {
  if (!IsOpen()) return;
  // No retry on EINTR: on Linux the descriptor is gone either way.
  ::close(Fd(handle_));
  handle_ = -1;
}

TcpListener::~TcpListener() { Close(); }

bool TcpListener::Listen(std::uint32_t ipv4NetworkOrder, std::uint16_t port, int backlog) {
  Close();
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd == -1) return false;
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = ipv4NetworkOrder;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, backlog) != 0 ||
      !SetFdNonBlocking(fd, true)) {
    ::close(fd);
    return false;
  }
  handle_ = fd;
  return true;
}

std::uint16_t TcpListener::Port() const {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (!IsOpen() || ::getsockname(Fd(handle_), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

bool TcpListener::Accept(TcpSocket& client) {
  if (!IsOpen()) return false;
  const int fd = RetryOnInterrupt([&] { return ::accept4(Fd(handle_), nullptr, nullptr, SOCK_CLOEXEC); });
  if (fd == -1) return false;
  // The accepted socket does not inherit the listener's non-blocking mode
  // on Linux; make sure of it elsewhere too.
  SetFdNonBlocking(fd, false);
#if defined(SO_NOSIGPIPE)
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
  client.Close();
  client.handle_ = fd;
  return true;
}

void TcpListener::Close() {
  if (!IsOpen()) return;
  ::close(Fd(handle_));
  handle_ = -1;
}

std::uint32_t InetAddr(const char* text) {
  if (text == nullptr) return 0xFFFFFFFFu;
  return static_cast<std::uint32_t>(::inet_addr(text));
}

}  // namespace platform
