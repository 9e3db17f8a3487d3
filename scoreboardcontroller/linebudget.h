// How far the controller runs ahead of the board's line. A port takes bytes
// much faster than its line sends them (a UART driver buffers kilobytes, a
// pseudo-terminal tens of them); whatever the port holds can no longer be
// replaced by a newer table. So the controller hands the port only about
// kAhead bytes more than the line has carried at its baud rate, and keeps
// the rest, and the commands behind it, for later.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>

class TLineBudget {
 public:
  using TClock = std::chrono::steady_clock;
  static constexpr double kAhead = 512;  // about 45 ms at 115200 baud

  void Reset(std::int32_t baudRate, TClock::time_point now) {
    bytesPerSecond_ = std::max<std::int32_t>(baudRate, 300) / 10.0;
    backlog_ = 0;
    at_ = now;
  }
  std::size_t Allowed(TClock::time_point now) {
    Drain(now);
    return backlog_ < kAhead ? static_cast<std::size_t>(kAhead - backlog_) : 0;
  }
  void Written(std::size_t count, TClock::time_point now) {
    Drain(now);
    backlog_ += static_cast<double>(count);
  }
  // When Allowed gives at least a few bytes again.
  TClock::time_point Ready() const {
    const double excess = std::max(0.0, backlog_ - kAhead + 16);
    return at_ + std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(excess / bytesPerSecond_));
  }

 private:
  void Drain(TClock::time_point now) {
    if (now <= at_) return;
    backlog_ = std::max(0.0, backlog_ - std::chrono::duration<double>(now - at_).count() * bytesPerSecond_);
    at_ = now;
  }
  double bytesPerSecond_ = 11520;
  double backlog_ = 0;
  TClock::time_point at_{};
};
