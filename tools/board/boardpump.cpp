#include "boardpump.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <unistd.h>

#include <sys/eventfd.h>

#include "serialline.h"

using Clock = std::chrono::steady_clock;
using serialline::RetryOnEintr;

namespace {

// Answers nobody reads are dropped beyond this: the board never grows
// because its line is not drained.
constexpr std::size_t kMaxUnsent = 64 * 1024;

}  // namespace

TBoardPump::TBoardPump(int fd, int baud, int heartbeatMs, board::TVirtualBoard& board, std::mutex& lock, TNotify notify)
    : fd_(fd),
      byteTime_(baud > 0 ? std::chrono::nanoseconds(10'000'000'000LL / baud) : std::chrono::nanoseconds(0)),
      // Paced, a few bytes at a time: the board sees them about when the line delivers them.
      chunk_(baud > 0 ? 16 : 4096),
      heartbeat_(heartbeatMs),
      board_(board),
      lock_(lock),
      notify_(std::move(notify)),
      stopFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      thread_([this] { Run(); }) {}

TBoardPump::~TBoardPump() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(stopFd_, &one, sizeof one);
  thread_.join();
  ::close(stopFd_);
}

void TBoardPump::Run() {
  const auto start = Clock::now();
  std::vector<std::uint8_t> unsent;
  {
    std::lock_guard<std::mutex> guard(lock_);
    board_.AppendHello(unsent);
  }
  auto nextHeartbeat = start + heartbeat_;
  auto rxFree = start, txFree = start;  // when the line can carry the next byte each way
  std::vector<std::uint8_t> buffer(chunk_);
  for (;;) {
    auto now = Clock::now();
    bool readMore = false;
    if (now >= rxFree) {
      const ssize_t n = RetryOnEintr([&] { return ::read(fd_, buffer.data(), buffer.size()); });
      if (n > 0) {
        rxFree = std::max(rxFree, now) + byteTime_ * n;
        bool changed;
        {
          std::lock_guard<std::mutex> guard(lock_);
          changed = board_.Receive(buffer.data(), static_cast<std::size_t>(n), unsent);
        }
        if (changed) notify_(true);
        readMore = static_cast<std::size_t>(n) == buffer.size();
      }
    }
    if (now >= nextHeartbeat) {
      {
        std::lock_guard<std::mutex> guard(lock_);
        board_.AppendHeartbeat(unsent, static_cast<std::uint32_t>(
                                           std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count()));
      }
      nextHeartbeat = std::max(nextHeartbeat + heartbeat_, now);
      notify_(false);
    }
    bool blockedOut = false;
    if (!unsent.empty() && now >= txFree) {
      const std::size_t want = std::min(unsent.size(), chunk_);
      const ssize_t n = RetryOnEintr([&] { return ::write(fd_, unsent.data(), want); });
      if (n > 0) {
        txFree = std::max(txFree, now) + byteTime_ * n;
        unsent.erase(unsent.begin(), unsent.begin() + n);
      } else {
        blockedOut = true;
      }
    }
    if (unsent.size() > kMaxUnsent) unsent.clear();

    // Sleep until the line can carry more, bytes arrive, or the heartbeat is due.
    now = Clock::now();
    auto until = nextHeartbeat;
    short events = 0;
    if (now < rxFree) {
      until = std::min(until, rxFree);
    } else if (readMore) {
      continue;
    } else {
      events |= POLLIN;
    }
    if (!unsent.empty()) {
      if (now < txFree) {
        until = std::min(until, txFree);
      } else if (blockedOut) {
        events |= POLLOUT;
      } else {
        continue;
      }
    }
    pollfd fds[2] = {{stopFd_, POLLIN, 0}, {fd_, events, 0}};
    const auto wait = std::max(until - Clock::now(), Clock::duration::zero());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    const timespec timeout{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    RetryOnEintr([&] { return ::ppoll(fds, 2, &timeout, nullptr); });
    if (fds[0].revents & POLLIN) return;
    // A line whose far end is closed reports a hang-up at once: do not spin on it.
    if (fds[1].revents & (POLLHUP | POLLERR)) {
      const timespec pause{0, 20'000'000};
      ::ppoll(fds, 1, &pause, nullptr);
      if (fds[0].revents & POLLIN) return;
    }
  }
}
