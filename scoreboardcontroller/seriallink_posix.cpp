#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "seriallink.h"

namespace {

speed_t SpeedOf(std::int32_t baudRate) {
  switch (baudRate) {
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 230400:
      return B230400;
    default:
      return B115200;
  }
}

}  // namespace

bool TSerialLink::Open(const std::string& device, std::int32_t baudRate) {
  Close();
  int fd;
  do {
    fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) {  // not a serial device
    ::close(fd);
    return false;
  }
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  const speed_t speed = SpeedOf(baudRate);
  if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0 || ::tcsetattr(fd, TCSANOW, &tio) != 0) {
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

TSerialLink::Result TSerialLink::Write(const std::uint8_t* data, std::size_t size, int timeoutMs) {
  if (fd_ < 0) return Result::Failed;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd_, data + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return Result::Failed;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Result::TimedOut;
    pollfd p{fd_, POLLOUT, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno != EINTR) return Result::Failed;
    if (r > 0 && (p.revents & (POLLERR | POLLNVAL)) != 0) return Result::Failed;
  }
  return Result::Done;
}

long TSerialLink::ReadAvailable(std::uint8_t* buffer, std::size_t size) {
  if (fd_ < 0) return -1;
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, size);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    // A pseudo-terminal whose other side is not open yet reads EIO; the
    // board simply has not spoken. Writes tell a port that really failed.
    if (errno == EIO) return 0;
    return -1;
  }
}
