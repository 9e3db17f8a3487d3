// TCP sockets: the feed's client socket and, for the feed simulator, a
// listening server; Winsock 2.2 or BSD sockets behind non-copyable
// wrappers. EINTR is handled inside.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Starts the socket library (WSAStartup 2.2) for the object's lifetime;
// nothing to do on POSIX.
class SocketLibrary {
 public:
  SocketLibrary();
  ~SocketLibrary();
  SocketLibrary(const SocketLibrary&) = delete;
  SocketLibrary& operator=(const SocketLibrary&) = delete;
  bool Started() const { return started_; }

 private:
  bool started_ = false;
};

enum class ReceiveStatus { Data, Closed, WouldBlock, Error };
enum class SendStatus { Sent, WouldBlock, Error };

class TcpSocket {
 public:
  TcpSocket() = default;
  ~TcpSocket();
  TcpSocket(TcpSocket&& other) noexcept;
  TcpSocket& operator=(TcpSocket&& other) noexcept;
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  // IPv4 stream socket over TCP.
  bool Open();
  bool IsOpen() const;

  // Connects to ipv4:port (address in network byte order, port in host
  // order). Gives up after `timeout`, so a peer that drops packets never
  // holds the caller longer than that. Leaves the socket in blocking mode.
  bool Connect(std::uint32_t ipv4NetworkOrder, std::uint16_t port, std::chrono::milliseconds timeout);

  bool SetNonBlocking(bool on);
  // TCP keep-alive: first probe after `idle`, then every `interval`, dropped
  // after `count` unanswered probes.
  bool SetKeepAlive(std::chrono::seconds idle, std::chrono::seconds interval, int count);

  // One receive of up to `size` bytes. `received` is set for Data.
  ReceiveStatus Receive(void* buffer, std::size_t size, std::size_t& received);

  // One send of up to `size` bytes; `sent` is set for Sent (it may be less
  // than `size` on a non-blocking socket). A peer that is gone is an Error,
  // never a signal.
  SendStatus Send(const void* buffer, std::size_t size, std::size_t& sent);

  // The other end as "a.b.c.d:port"; empty when not connected.
  std::string PeerName() const;

  void ShutdownBoth();
  void Close();

  // The OS socket (fd or SOCKET), -1 when closed; for option checks in tests.
  std::intptr_t NativeHandle() const { return handle_; }

 private:
  friend class TcpListener;
  std::intptr_t handle_ = -1;
};

// A listening IPv4 TCP socket whose accepts never block.
class TcpListener {
 public:
  TcpListener() = default;
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  // Binds ipv4:port (network order address, host order port; port 0 takes
  // a free one) and listens. The address may be taken again at once after
  // the previous listener on it ended.
  bool Listen(std::uint32_t ipv4NetworkOrder, std::uint16_t port, int backlog = 16);
  bool IsOpen() const { return handle_ != -1; }
  // The bound port in host order, 0 when not listening.
  std::uint16_t Port() const;
  // Takes one pending connection into `client` (blocking mode); false when
  // none is waiting.
  bool Accept(TcpSocket& client);
  void Close();

 private:
  std::intptr_t handle_ = -1;
};

// "a.b.c.d:port" of an address in network byte order and a host-order port.
std::string EndpointText(std::uint32_t ipv4NetworkOrder, std::uint16_t port);

// Dotted IPv4 text to an address in network byte order (inet_addr): no host
// name lookup; text that is not an address gives 0xFFFFFFFF.
std::uint32_t InetAddr(const char* text);

}  // namespace platform
