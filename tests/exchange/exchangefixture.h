// One exchange thread against a loopback feed, the recording controller and
// a recording window; feed lines as the timing application writes them.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "exchangetestsupport.h"

namespace exchangetest {

inline std::string Green() { return "$F,9999,\"00:10:00\",\"08:58:48\",\"00:01:05\",\"Green \"\r\n"; }
inline std::string Yellow() { return "$F,9999,\"00:10:00\",\"08:58:49\",\"00:01:06\",\"Yellow\"\r\n"; }
inline std::string NoFlag() { return "$F,9999,\"00:10:00\",\"08:58:50\",\"00:01:07\",\"      \"\r\n"; }
inline std::string Competitor(int reg, int number, const std::string& name) {
  return "$A,\"" + std::to_string(reg) + "\",\"" + std::to_string(number) + "\",\"1\",\"\",\"" + name + "\"\r\n";
}
inline std::string Race(int position, int reg, int laps, const std::string& total = "00:05:01.100") {
  return "$G," + std::to_string(position) + ",\"" + std::to_string(reg) + "\"," + std::to_string(laps) + ",\"" + total +
         "\"\r\n";
}
inline std::string Passing(int reg, const std::string& lap = "00:01:02.345") {
  return "$J,\"" + std::to_string(reg) + "\",\"" + lap + "\",\"00:10:00.000\"\r\n";
}

class ExchangeFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(board.Loaded()) << "fakescoreboard library not found beside the test";
    board.Reset();
  }
  void TearDown() override {
    board.settle = nullptr;
    DestroyPumping(window, thread);
  }

  // Starts the thread on `server` and waits for its connection; `adjust`
  // may add to the thread's options.
  void Start(const std::string& library = FakeBoard::kLibraryName,
             const std::function<void(TScoreboardExchangeThread::Options&)>& adjust = {}) {
    TScoreboardExchangeThread::Options options;
    options.libraryName = library;
    options.clock = &clock;
    options.feedLog = log.Sink();
    if (adjust) adjust(options);
    thread = std::make_unique<TScoreboardExchangeThread>(window.Handle(), options);
    board.settle = [this] {
      EXPECT_TRUE(thread->WaitForBoard(std::chrono::seconds(10))) << "the board thread is stuck";
    };
    thread->SetFeedAddress(LoopbackAddress(), server.Port());
    ASSERT_TRUE(server.Accept(std::chrono::seconds(5))) << "the thread never connected";
  }

  // Sends bytes, then makes sure every receive holding them has been handled
  // to its end-of-data step: two marker lines in separate receives.
  void Feed(const std::string& bytes) {
    ASSERT_TRUE(server.Send(bytes));
    Sync();
  }
  void Sync() {
    for (int i = 0; i < 2; ++i) {
      const std::string marker = "$Z,sync," + std::to_string(++marker_) + "\r\n";
      ASSERT_TRUE(server.Send(marker));
      const std::u16string expected = U16(marker);
      ASSERT_TRUE(WaitUntil(window, [&] {
        auto lines = log.Lines();
        return !lines.empty() && lines.back() == expected;
      })) << "marker line never reached the feed log";
    }
  }

  std::vector<TFakeCall> CallsOf(std::int32_t operation) {
    std::vector<TFakeCall> out;
    for (const auto& c : board.Calls())
      if (c.operation == operation) out.push_back(c);
    return out;
  }
  int Notifies(std::uintptr_t code) { return window.Count(WM_EXCHANGE_NOTIFY, code); }

  TestWindow window;
  FakeClock clock;
  FeedLogRecorder log;
  FakeBoard board;
  LoopbackServer server;
  std::unique_ptr<TScoreboardExchangeThread> thread;

 private:
  int marker_ = 0;
};

}  // namespace exchangetest
