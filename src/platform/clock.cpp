#include "platform/clock.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace platform {
namespace {

class TSystemClock final : public Clock {
 public:
  std::int64_t NowSeconds() override { return static_cast<std::int64_t>(std::time(nullptr)); }
  std::int64_t SteadyMilliseconds() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  void SleepMilliseconds(int ms) override {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
};

}  // namespace

Clock& SystemClock() {
  static TSystemClock clock;
  return clock;
}

}  // namespace platform
