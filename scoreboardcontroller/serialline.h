// POSIX serial line set-up shared by the controller's link and the virtual
// board, so both ends agree on what "raw 8N1 at N baud" means.
#pragma once

#include <cerrno>
#include <cstdint>

namespace serialline {

// Raw bytes, 8 data bits, no parity, one stop bit, no flow control, reads
// that never wait; `baudRate` one of the standard rates (others: 115200).
// False when `fd` is not a serial device.
bool MakeRaw(int fd, std::int32_t baudRate);

// The one place where a system call interrupted by a signal is tried again.
template <class F>
auto RetryOnEintr(F call) {
  for (;;) {
    auto result = call();
    if (result >= 0 || errno != EINTR) return result;
  }
}

}  // namespace serialline
