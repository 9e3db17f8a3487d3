// A listening TCP socket that no other program can share: on Windows
// SO_REUSEADDR would let a second program bind the same port, so the port
// is taken exclusively; on POSIX the address is reused, so that a restart
// does not find the port held by the last run's closing connections.
// And the accepted connections' watch for a peer gone without a word.
#pragma once

#include <cstdint>

namespace platform {

// `socket` is the native handle, before bind. False when the option could
// not be set (the bind may still succeed).
bool PrepareListener(std::uintptr_t socket);

// An accepted connection whose peer stops answering (a phone carried out of
// the Wi-Fi) fails after about `seconds` instead of the system's many
// minutes: keep-alive probes while idle, and a bound on unacknowledged data.
// False when the system took none of it.
bool WatchForSilentPeer(std::uintptr_t socket, int seconds);

}  // namespace platform
