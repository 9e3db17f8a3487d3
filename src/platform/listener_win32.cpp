#include <winsock2.h>
#include <ws2tcpip.h>

#include <mstcpip.h>

#include "platform/listener.h"

namespace platform {

namespace {

// Windows 2000 on; older mingw-w64 headers lack the name.
#ifndef TCP_MAXRT
constexpr int TCP_MAXRT = 5;
#endif

}  // namespace

bool PrepareListener(std::uintptr_t socket) {
  const BOOL on = TRUE;
  return setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                    sizeof on) == 0;
}

bool WatchForSilentPeer(std::uintptr_t socket, int seconds) {
  const auto s = static_cast<SOCKET>(socket);
  const ULONG idle = static_cast<ULONG>(seconds > 3 ? seconds / 3 : 1) * 1000u;
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = idle;
  values.keepaliveinterval = idle / 10 > 0 ? idle / 10 : 100;  // the system sends ten probes
  DWORD returned = 0;
  const bool keepAlive =
      WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr) == 0;
  // Bounds a write that is never acknowledged, as keep-alive does not.
  const DWORD maxSeconds = static_cast<DWORD>(seconds);
  const bool retransmit =
      setsockopt(s, IPPROTO_TCP, TCP_MAXRT, reinterpret_cast<const char*>(&maxSeconds), sizeof maxSeconds) == 0;
  return keepAlive || retransmit;
}

}  // namespace platform
