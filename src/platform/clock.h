// The clock seam: the exchange thread's reconnect rule (attempts more than
// five whole seconds apart) and its 20 ms pacing go through this, so tests
// can drive time instead of sleeping.
#pragma once

#include <cstdint>

namespace platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Whole seconds of the system clock.
  virtual std::int64_t NowSeconds() = 0;
  virtual void SleepMilliseconds(int ms) = 0;
};

// The real clock; one instance serves the whole process.
Clock& SystemClock();

}  // namespace platform
