// The clock seam: the exchange thread's reconnect rule (attempts more than
// five whole seconds apart), its silent-feed rule and its 20 ms pacing go
// through this, so tests can drive time instead of sleeping.
#pragma once

#include <cstdint>

namespace platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Whole seconds of the system clock.
  virtual std::int64_t NowSeconds() = 0;
  // A clock that never jumps, for spans such as how long the feed has been
  // silent. A clock that only counts seconds may leave this as it is.
  virtual std::int64_t SteadyMilliseconds() { return NowSeconds() * 1000; }
  virtual void SleepMilliseconds(int ms) = 0;
};

// The real clock; one instance serves the whole process.
Clock& SystemClock();

}  // namespace platform
