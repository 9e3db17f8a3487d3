// The computer's local time of a moment: the feed archive stamps its
// receives and names its files with it, as the operators read the clock.
#pragma once

#include <cstdint>

namespace platform {

struct TLocalTime {
  int year = 1970;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

// Milliseconds since 1970-01-01 UTC (the system clock).
std::int64_t NowMilliseconds();

// The local calendar time of `msSinceEpoch`.
TLocalTime LocalTime(std::int64_t msSinceEpoch);

}  // namespace platform
