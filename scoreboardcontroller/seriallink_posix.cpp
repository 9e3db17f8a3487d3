#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <sys/eventfd.h>

#include "serialline.h"
#include "seriallink.h"

using serialline::RetryOnEintr;

TSerialLink::TSerialLink() : wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

TSerialLink::~TSerialLink() {
  Close();
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

bool TSerialLink::Open(const std::string& device, std::int32_t baudRate) {
  Close();
  const int fd = RetryOnEintr([&] { return ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
  if (fd < 0) return false;
  if (!serialline::MakeRaw(fd, baudRate)) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool TSerialLink::IsOpen() const { return fd_ >= 0; }

void TSerialLink::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

long TSerialLink::WriteSome(const std::uint8_t* data, std::size_t size) {
  if (fd_ < 0) return -1;
  const ssize_t n = RetryOnEintr([&] { return ::write(fd_, data, size); });
  if (n >= 0) return static_cast<long>(n);
  return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
}

long TSerialLink::ReadAvailable(std::uint8_t* buffer, std::size_t size) {
  if (fd_ < 0) return -1;
  const ssize_t n = RetryOnEintr([&] { return ::read(fd_, buffer, size); });
  if (n >= 0) return static_cast<long>(n);
  // A pseudo-terminal whose other side is not open yet reads EIO; the
  // board simply has not spoken. A hang-up in Wait tells a port that went.
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EIO ? 0 : -1;
}

unsigned TSerialLink::Wait(bool wantWrite, int timeoutMs) {
  pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {fd_, static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0}};
  const nfds_t count = fd_ >= 0 ? 2 : 1;
  if (RetryOnEintr([&] { return ::poll(fds, count, timeoutMs); }) <= 0) return evNone;
  unsigned events = evNone;
  if (fds[0].revents & POLLIN) {
    std::uint64_t drained = 0;
    [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &drained, sizeof drained);
    events |= evWoken;
  }
  if (count == 2) {
    // The far end of the line closed (an unplugged adapter, a stopped
    // virtual board): reads would only ever say so again.
    if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) events |= evFailed;
    if (fds[1].revents & POLLIN) events |= evReadable;
    if (fds[1].revents & POLLOUT) events |= evWritable;
  }
  return events;
}

void TSerialLink::Wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
}
