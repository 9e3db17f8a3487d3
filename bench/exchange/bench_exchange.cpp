// bench_exchange: run from the build's bin folder (the recording controller
// is loaded from beside the program).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <time.h>
#include <vector>

#include <sys/socket.h>

#include "exchangetestsupport.h"
#include "measuringclock.h"
#include "platform/socket.h"

using namespace exchangetest;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

namespace {

std::int64_t NowNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now().time_since_epoch()).count();
}

std::string Green() { return "$F,9999,\"00:10:00\",\"08:58:48\",\"00:01:05\",\"Green \"\r\n"; }
std::string Passing(int reg) { return "$J,\"" + std::to_string(reg) + "\",\"00:01:02.345\",\"00:10:00.000\"\r\n"; }

struct Rig {
  explicit Rig(MeasuringClock& clock, FeedLogRecorder* log = nullptr) {
    TScoreboardExchangeThread::Options options;
    options.libraryName = FakeBoard::kLibraryName;
    options.clock = &clock;
    if (log != nullptr) options.feedLog = log->Sink();
    thread = std::make_unique<TScoreboardExchangeThread>(window.Handle(), options);
    thread->SetFeedAddress(LoopbackAddress(), server.Port());
    if (!server.Accept(10s)) std::printf("no connection\n");
  }
  ~Rig() { DestroyPumping(window, thread); }
  TestWindow window;
  LoopbackServer server;
  std::unique_ptr<TScoreboardExchangeThread> thread;
};

std::size_t CountShowsAfter(FakeBoard& board, std::int64_t sinceNanos, std::int64_t& firstShow) {
  std::size_t n = 0;
  for (const auto& c : board.Calls()) {
    if (c.operation == foShow && c.steadyNanos >= sinceNanos) {
      if (n++ == 0) firstShow = c.steadyNanos;
    }
  }
  return n;
}

void Latency(FakeBoard& board) {
  MeasuringClock clock;
  Rig rig(clock);
  rig.server.Send("$I,\"00:00:00\",\"0/0/0000\"\r\n" + Green());
  std::this_thread::sleep_for(200ms);
  std::mt19937 random(42);
  std::uniform_int_distribution<int> pause(0, 40);
  std::vector<double> ms;
  for (int i = 0; i < 600; ++i) {
    board.Reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
    const std::int64_t sent = NowNanos();
    rig.server.Send(Passing(1 + i % 10));
    std::int64_t shown = 0;
    const auto deadline = Steady::now() + 2s;
    while (CountShowsAfter(board, sent, shown) == 0 && Steady::now() < deadline) std::this_thread::sleep_for(200us);
    if (shown != 0) ms.push_back(static_cast<double>(shown - sent) / 1e6);
  }
  std::sort(ms.begin(), ms.end());
  auto at = [&](double q) { return ms[static_cast<std::size_t>(q * static_cast<double>(ms.size() - 1))]; };
  std::printf("latency line -> Show: %zu lines, p50 %.2f ms, p99 %.2f ms, max %.2f ms (target p99 <= 21 ms)\n",
              ms.size(), at(0.5), at(0.99), ms.back());
}

void IdleCpu() {
  MeasuringClock clock;
  Rig rig(clock);
  // The bare loop: a non-blocking receive on a silent connection and 20 ms.
  LoopbackServer other;
  platform::TcpSocket bare;
  bare.Open();
  bare.Connect(LoopbackAddress(), other.Port(), 3000ms);
  bare.SetNonBlocking(true);
  other.Accept(5s);
  std::this_thread::sleep_for(300ms);

  const double exchangeStart = clock.cpuSeconds.load();
  std::atomic<double> bareCpu{0};
  std::thread loop([&] {
    std::vector<char> buffer(kFeedBufferSize);
    const double start = ThreadCpuSeconds();
    const auto end = Steady::now() + 5s;
    while (Steady::now() < end) {
      std::size_t got = 0;
      bare.Receive(buffer.data(), buffer.size(), got);
      platform::SystemClock().SleepMilliseconds(20);
    }
    bareCpu = ThreadCpuSeconds() - start;
  });
  loop.join();
  const double exchangeCpu = clock.cpuSeconds.load() - exchangeStart;
  std::printf("idle CPU over 5 s: exchange thread %.2f ms, bare poll loop %.2f ms, ratio %.2f (target <= 1.2)\n",
              exchangeCpu * 1e3, bareCpu.load() * 1e3, exchangeCpu / std::max(bareCpu.load(), 1e-9));
}

void Burst() {
  MeasuringClock clock;
  FeedLogRecorder log;
  Rig rig(clock, &log);
  rig.server.Send("$I,\"00:00:00\",\"0/0/0000\"\r\n" + Green());
  std::this_thread::sleep_for(200ms);
  const std::size_t before = log.Count();
  std::string burst;
  constexpr int kLines = 100000;
  for (int i = 0; i < kLines; ++i) burst += Passing(1 + i % 20);
  const auto begin = Steady::now();
  std::thread writer([&] { rig.server.Send(burst); });
  const auto deadline = begin + 60s;
  while (log.Count() < before + kLines && Steady::now() < deadline) std::this_thread::sleep_for(1ms);
  const double seconds = std::chrono::duration<double>(Steady::now() - begin).count();
  writer.join();
  std::printf("burst: %zu of %d lines reached the per-line step in %.3f s, %.0f lines/s\n", log.Count() - before,
              kLines, seconds, static_cast<double>(log.Count() - before) / seconds);
}

}  // namespace

int main() {
  FakeBoard board;
  if (!board.Loaded()) {
    std::printf("fakescoreboard library not found beside the program\n");
    return 1;
  }
  Latency(board);
  IdleCpu();
  Burst();
  return 0;
}
