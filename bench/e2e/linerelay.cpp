#include "linerelay.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

#include <sys/eventfd.h>

#include "serialline.h"

using Clock = std::chrono::steady_clock;

TLineRelay::TLineRelay(const std::string& boardDevice, const std::filesystem::path& controllerLink, int baud,
                       std::size_t bufferBytes)
    : byteNs_(10'000'000'000LL / baud), bufferBytes_(bufferBytes) {
  stop_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  board_ = ::open(boardDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (stop_ < 0 || board_ < 0 || master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
  const char* slave = ::ptsname(master_);
  if (slave == nullptr) return;
  slave_ = ::open(slave, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave_ < 0 || !serialline::MakeRaw(slave_, baud) || !serialline::MakeRaw(board_, baud)) return;
  std::error_code ec;
  std::filesystem::create_directories(controllerLink.parent_path(), ec);
  std::filesystem::remove(controllerLink, ec);
  std::filesystem::create_symlink(slave, controllerLink, ec);
  if (ec) return;
  link_ = controllerLink;
  ok_ = true;
  thread_ = std::thread([this] { Run(); });
}

TLineRelay::~TLineRelay() {
  if (thread_.joinable()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(stop_, &one, sizeof one);
    thread_.join();
  }
  std::error_code ec;
  if (!link_.empty()) std::filesystem::remove(link_, ec);
  for (int fd : {board_, master_, slave_, stop_}) {
    if (fd >= 0) ::close(fd);
  }
}

void TLineRelay::Run() {
  struct TDirection {
    int from;
    int to;
    std::vector<std::uint8_t> buffer;
    Clock::time_point free;
  };
  TDirection dirs[2] = {{master_, board_, {}, Clock::now()}, {board_, master_, {}, Clock::now()}};
  std::uint8_t chunk[4096];
  for (;;) {
    const auto now = Clock::now();
    auto until = Clock::time_point::max();
    pollfd fds[5] = {{stop_, POLLIN, 0}};
    nfds_t count = 1;
    for (TDirection& d : dirs) {
      const std::size_t room = bufferBytes_ - d.buffer.size();
      if (room > 0) {
        const ssize_t n = ::read(d.from, chunk, std::min(room, sizeof chunk));
        if (n > 0) d.buffer.insert(d.buffer.end(), chunk, chunk + n);
      }
      if (!d.buffer.empty() && now >= d.free) {
        // Sixteen bytes at a time: the far end sees them about when a line delivers them.
        const ssize_t n = ::write(d.to, d.buffer.data(), std::min<std::size_t>(d.buffer.size(), 16));
        if (n > 0) {
          d.free = std::max(d.free, now) + std::chrono::nanoseconds(byteNs_ * n);
          d.buffer.erase(d.buffer.begin(), d.buffer.begin() + n);
        }
      }
      if (d.buffer.size() < bufferBytes_) fds[count++] = {d.from, POLLIN, 0};
      if (!d.buffer.empty()) {
        if (Clock::now() < d.free) {
          until = std::min(until, d.free);
        } else {
          fds[count++] = {d.to, POLLOUT, 0};
        }
      }
    }
    timespec timeout{1, 0};
    if (until != Clock::time_point::max()) {
      const auto ns = std::max<long long>(0, std::chrono::nanoseconds(until - Clock::now()).count());
      timeout = {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    }
    ::ppoll(fds, count, &timeout, nullptr);
    if (fds[0].revents & POLLIN) return;
    // A closed far end reports a hang-up at once: do not spin on it.
    for (nfds_t i = 1; i < count; ++i) {
      if (fds[i].revents & (POLLHUP | POLLERR)) {
        const timespec pause{0, 10'000'000};
        ::ppoll(fds, 1, &pause, nullptr);
        break;
      }
    }
  }
}
