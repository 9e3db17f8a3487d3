#include "platform/clock.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace platform {
namespace {

class TSystemClock final : public Clock {
 public:
  std::int64_t NowSeconds() override { return static_cast<std::int64_t>(std::time(nullptr)); }
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
