#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>
#include <mstcpip.h>

#include "platform/socket.h"

namespace platform {
namespace {

SOCKET Sock(std::intptr_t handle) { return static_cast<SOCKET>(handle); }

bool SetSocketNonBlocking(SOCKET s, bool on) {
  u_long mode = on ? 1 : 0;
  return ioctlsocket(s, FIONBIO, &mode) == 0;
}

// Winsock has no EINTR in practice, but a blocking call cancelled by
// WSACancelBlockingCall reports WSAEINTR; retry it like EINTR elsewhere.
template <typename Call>
int RetryOnInterrupt(Call call) {
  for (;;) {
    const int result = call();
    if (result != SOCKET_ERROR || WSAGetLastError() != WSAEINTR) return result;
  }
}

}  // namespace

SocketLibrary::SocketLibrary() {
  WSADATA data;
  started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

SocketLibrary::~SocketLibrary() {
  if (started_) WSACleanup();
}

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
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return false;
  // Not inherited by child processes.
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  handle_ = static_cast<std::intptr_t>(s);
  return true;
}

bool TcpSocket::IsOpen() const { return handle_ != -1; }

bool TcpSocket::Connect(std::uint32_t ipv4NetworkOrder, std::uint16_t port, std::chrono::milliseconds timeout) {
  if (!IsOpen()) return false;
  const SOCKET s = Sock(handle_);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = ipv4NetworkOrder;

  if (!SetSocketNonBlocking(s, true)) return false;
  bool connected = false;
  if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    connected = true;
  } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() < 0) break;
      fd_set writable;
      fd_set failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(s, &writable);
      FD_SET(s, &failed);
      timeval wait{};
      wait.tv_sec = static_cast<long>(left.count() / 1000);
      wait.tv_usec = static_cast<long>((left.count() % 1000) * 1000);
      const int ready = ::select(0, nullptr, &writable, &failed, &wait);
      if (ready == SOCKET_ERROR && WSAGetLastError() == WSAEINTR) continue;
      if (ready <= 0) break;
      int error = 0;
      int length = sizeof error;
      connected = FD_ISSET(s, &writable) &&
                  ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) == 0 && error == 0;
      break;
    }
  }
  if (!SetSocketNonBlocking(s, false)) return false;
  return connected;
}

bool TcpSocket::SetNonBlocking(bool on) { return IsOpen() && SetSocketNonBlocking(Sock(handle_), on); }

bool TcpSocket::SetKeepAlive(std::chrono::seconds idle, std::chrono::seconds interval, int count) {
  if (!IsOpen()) return false;
  const SOCKET s = Sock(handle_);
  const BOOL on = TRUE;
  if (::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on) != 0) return false;
  // mingw's headers lack the Windows 10 keep-alive options.
  constexpr int kKeepIdleOption = 3;       // TCP_KEEPIDLE, 1709 on
  constexpr int kKeepCountOption = 16;     // TCP_KEEPCNT, 1703 on
  constexpr int kKeepIntervalOption = 17;  // TCP_KEEPINTVL, 1709 on
  auto setTcp = [s](int option, std::int64_t value) {
    const DWORD v = static_cast<DWORD>(value < 1 ? 1 : value);
    return ::setsockopt(s, IPPROTO_TCP, option, reinterpret_cast<const char*>(&v), sizeof v) == 0;
  };
  const bool countSet = setTcp(kKeepCountOption, count);
  bool timesSet = setTcp(kKeepIdleOption, idle.count()) && setTcp(kKeepIntervalOption, interval.count());
  if (!timesSet) {
    // Older systems (and wine) take the times only this way, in
    // milliseconds. Where the count is refused too, the system probes its
    // own number of times (ten since Vista): spread over the span that
    // `count` probes would take, a lost peer is noticed about as soon.
    constexpr std::int64_t kSystemProbeCount = 10;
    const std::int64_t intervalMs = std::max<std::int64_t>(interval.count(), 1) * 1000;
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = static_cast<ULONG>(std::max<std::int64_t>(idle.count(), 1) * 1000);
    values.keepaliveinterval = static_cast<ULONG>(
        countSet ? intervalMs : std::max<std::int64_t>(intervalMs * std::max(count, 1) / kSystemProbeCount, 1));
    DWORD returned = 0;
    timesSet = WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr) == 0;
    if (countSet) setTcp(kKeepCountOption, count);  // in case the call above put back the system's count
  }
  // Wherever probing stays slower, the exchange thread's silent-feed rule
  // bounds the time to notice a lost peer.
  return timesSet;
}

ReceiveStatus TcpSocket::Receive(void* buffer, std::size_t size, std::size_t& received) {
  received = 0;
  if (!IsOpen()) return ReceiveStatus::Error;
  const int chunk = size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
  const int n = RetryOnInterrupt([&] { return ::recv(Sock(handle_), static_cast<char*>(buffer), chunk, 0); });
  if (n > 0) {
    received = static_cast<std::size_t>(n);
    return ReceiveStatus::Data;
  }
  if (n == 0) return size == 0 ? ReceiveStatus::Data : ReceiveStatus::Closed;
  if (WSAGetLastError() == WSAEWOULDBLOCK) return ReceiveStatus::WouldBlock;
  return ReceiveStatus::Error;
}

SendStatus TcpSocket::Send(const void* buffer, std::size_t size, std::size_t& sent) {
  sent = 0;
  if (!IsOpen()) return SendStatus::Error;
  const int chunk = size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
  const int n = RetryOnInterrupt([&] { return ::send(Sock(handle_), static_cast<const char*>(buffer), chunk, 0); });
  if (n != SOCKET_ERROR) {
    sent = static_cast<std::size_t>(n);
    return SendStatus::Sent;
  }
  if (WSAGetLastError() == WSAEWOULDBLOCK) return SendStatus::WouldBlock;
  return SendStatus::Error;
}

std::string TcpSocket::PeerName() const {
  sockaddr_in address{};
  int length = sizeof address;
  if (!IsOpen() || ::getpeername(Sock(handle_), reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
  return EndpointText(address.sin_addr.s_addr, ntohs(address.sin_port));
}

void TcpSocket::ShutdownBoth() {
  if (IsOpen()) ::shutdown(Sock(handle_), SD_BOTH);
}

void TcpSocket::Close() {
  if (!IsOpen()) return;
  ::closesocket(Sock(handle_));
  handle_ = -1;
}

TcpListener::~TcpListener() { Close(); }

bool TcpListener::Listen(std::uint32_t ipv4NetworkOrder, std::uint16_t port, int backlog) {
  Close();
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return false;
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  // Windows lets a second program bind a port in use unless told not to;
  // a restart may bind at once anyway (no SO_REUSEADDR needed).
  const BOOL on = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = ipv4NetworkOrder;
  if (::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(s, backlog) != 0 ||
      !SetSocketNonBlocking(s, true)) {
    ::closesocket(s);
    return false;
  }
  handle_ = static_cast<std::intptr_t>(s);
  return true;
}

std::uint16_t TcpListener::Port() const {
  sockaddr_in address{};
  int length = sizeof address;
  if (!IsOpen() || ::getsockname(Sock(handle_), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

bool TcpListener::Accept(TcpSocket& client) {
  if (!IsOpen()) return false;
  const SOCKET s = ::accept(Sock(handle_), nullptr, nullptr);
  if (s == INVALID_SOCKET) return false;
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  // An accepted socket inherits the listener's non-blocking mode on Windows.
  SetSocketNonBlocking(s, false);
  client.Close();
  client.handle_ = static_cast<std::intptr_t>(s);
  return true;
}

void TcpListener::Close() {
  if (!IsOpen()) return;
  ::closesocket(Sock(handle_));
  handle_ = -1;
}

std::uint32_t InetAddr(const char* text) {
  if (text == nullptr) return 0xFFFFFFFFu;
  return static_cast<std::uint32_t>(::inet_addr(text));
}

}  // namespace platform
