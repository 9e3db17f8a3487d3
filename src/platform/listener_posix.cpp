#include <sys/socket.h>

#include "platform/listener.h"

namespace platform {

bool PrepareListener(std::uintptr_t socket) {
  const int on = 1;
  return setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

}  // namespace platform
