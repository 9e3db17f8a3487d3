#include <ctime>

#include "platform/localtime.h"

namespace platform {

TLocalTime LocalTime(std::int64_t msSinceEpoch) {
  std::int64_t seconds = msSinceEpoch / 1000;
  std::int64_t ms = msSinceEpoch % 1000;
  if (ms < 0) {
    ms += 1000;
    --seconds;
  }
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm parts{};
  TLocalTime out;
  if (::localtime_r(&t, &parts) == nullptr) return out;
  out.year = parts.tm_year + 1900;
  out.month = parts.tm_mon + 1;
  out.day = parts.tm_mday;
  out.hour = parts.tm_hour;
  out.minute = parts.tm_min;
  out.second = parts.tm_sec;
  out.millisecond = static_cast<int>(ms);
  return out;
}

}  // namespace platform
