// A listening TCP socket that no other program can share: on Windows
// SO_REUSEADDR would let a second program bind the same port, so the port
// is taken exclusively; on POSIX the address is reused, so that a restart
// does not find the port held by the last run's closing connections.
#pragma once

#include <cstdint>

namespace platform {

// `socket` is the native handle, before bind. False when the option could
// not be set (the bind may still succeed).
bool PrepareListener(std::uintptr_t socket);

}  // namespace platform
