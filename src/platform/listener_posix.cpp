#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "platform/listener.h"

namespace platform {

bool PrepareListener(std::uintptr_t socket) {
  const int on = 1;
  return setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

bool WatchForSilentPeer(std::uintptr_t socket, int seconds) {
  const int fd = static_cast<int>(socket);
  const int on = 1;
  const int idle = seconds / 3 > 0 ? seconds / 3 : 1;
  const int interval = idle / 2 > 0 ? idle / 2 : 1;
  const int probes = 3;
  bool any = setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0;
#ifdef TCP_KEEPIDLE
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
#endif
#ifdef TCP_USER_TIMEOUT
  // Keep-alive probes stop while data waits for its acknowledgement, as it
  // does on a stream that writes regularly; this bounds that wait.
  const unsigned int milliseconds = static_cast<unsigned int>(seconds) * 1000u;
  any = setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &milliseconds, sizeof milliseconds) == 0 || any;
#endif
  return any;
}

}  // namespace platform
