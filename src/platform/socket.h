// TCP client socket for the timing feed: Winsock 2.2 or BSD sockets behind
// one non-copyable wrapper. EINTR is handled inside.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

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

  void ShutdownBoth();
  void Close();

  // The OS socket (fd or SOCKET), -1 when closed; for option checks in tests.
  std::intptr_t NativeHandle() const { return handle_; }

 private:
  std::intptr_t handle_ = -1;
};

// Dotted IPv4 text to an address in network byte order (inet_addr): no host
// name lookup; text that is not an address gives 0xFFFFFFFF.
std::uint32_t InetAddr(const char* text);

}  // namespace platform
