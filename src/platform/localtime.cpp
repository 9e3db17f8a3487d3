#include "platform/localtime.h"

#include <chrono>
#include <ctime>

namespace platform {

namespace {

// The one call that differs between the systems: the C library's
// thread-safe split of a moment into local calendar time.
bool SplitLocal(std::time_t t, std::tm& parts) {
#if defined(_WIN32)
  return ::localtime_s(&parts, &t) == 0;
#else
  return ::localtime_r(&t, &parts) != nullptr;
#endif
}

}  // namespace

std::int64_t NowMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

TLocalTime LocalTime(std::int64_t msSinceEpoch) {
  std::int64_t seconds = msSinceEpoch / 1000;
  std::int64_t ms = msSinceEpoch % 1000;
  if (ms < 0) {
    ms += 1000;
    --seconds;
  }
  std::tm parts{};
  TLocalTime out;
  if (!SplitLocal(static_cast<std::time_t>(seconds), parts)) return out;
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
