// CPU time for the benchmarks: a thread's own, and the exchange thread's as
// read through the clock it sleeps on.
#pragma once

#include <atomic>
#include <time.h>

#include "platform/clock.h"

inline double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The real clock, plus the CPU time of the thread that sleeps on it: the
// exchange thread reads its own CPU clock at every pass.
class MeasuringClock : public platform::Clock {
 public:
  std::int64_t NowSeconds() override { return platform::SystemClock().NowSeconds(); }
  void SleepMilliseconds(int ms) override {
    cpuSeconds.store(ThreadCpuSeconds());
    platform::SystemClock().SleepMilliseconds(ms);
  }
  std::atomic<double> cpuSeconds{0};
};
