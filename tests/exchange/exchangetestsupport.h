// What the exchange tests stand the thread up against: a loopback feed
// server, a window that records posted messages, a clock the test drives,
// and the recording controller library loaded by name.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "exchange/scoreboardexchangethread.h"
#include "fakescoreboard.h"
#include "platform/clock.h"
#include "platform/dynamiclibrary.h"
#include "platform/messagewindow.h"

namespace exchangetest {

// A TCP server on 127.0.0.1 with an ephemeral port, one client at a time.
class LoopbackServer {
 public:
  // backlog 0 and never accepting makes a port whose queue fills up.
  explicit LoopbackServer(int backlog = 4);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  std::uint16_t Port() const { return port_; }
  // Waits for the next client; false when none came in time.
  bool Accept(std::chrono::milliseconds timeout);
  bool HasClient() const { return client_ != kNone; }
  bool Send(const std::string& bytes);
  // Orderly close (FIN) or abortive close (RST).
  void CloseClient(bool reset = false);
  // True once the client closed its side (receive gives 0 or fails).
  bool ClientClosed(std::chrono::milliseconds timeout);
  void StopListening();
  // The client's port as seen from here (the exchange thread's local port).
  std::uint16_t PeerPort() const;

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t listener_ = kNone;
  std::intptr_t client_ = kNone;
  std::uint16_t port_ = 0;
};

// Opens a socket to `port` on loopback without waiting (fills a backlog).
std::intptr_t ConnectNonBlocking(std::uint16_t port);
void CloseRawSocket(std::intptr_t socket);

std::uint32_t LoopbackAddress();  // 127.0.0.1 in network order

// Seconds the test sets; sleeping is 1 ms so the thread's loop keeps moving.
class FakeClock : public platform::Clock {
 public:
  explicit FakeClock(std::int64_t start = 1000) : seconds_(start) {}
  std::int64_t NowSeconds() override { return seconds_.load(); }
  void SleepMilliseconds(int ms) override;
  void Advance(std::int64_t s) { seconds_ += s; }

 private:
  std::atomic<std::int64_t> seconds_;
};

struct PostedMessage {
  std::uint32_t message;
  std::uintptr_t wParam;
  std::intptr_t lParam;
};

// The window side: records what is posted; the blocking call runs the
// function and returns. On Win32 a real message-only window, pumped while
// the test waits.
class TestWindow {
 public:
  TestWindow();
  ~TestWindow();
  TWindowHandle Handle() const;
  std::vector<PostedMessage> Messages();
  int Count(std::uint32_t message, std::uintptr_t wParam);
  void Pump();

 private:
  void Record(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
  std::mutex lock_;
  std::vector<PostedMessage> messages_;
#ifdef _WIN32
  std::unique_ptr<platform::MessageWindow> window_;
#else
  TWindowTarget target_{};
#endif
};

// Waits until pred() holds, pumping the test window; false on timeout.
bool WaitUntil(TestWindow& window, const std::function<bool()>& pred,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// The recording controller library, loaded by the same name and loader as
// the exchange thread uses.
class FakeBoard {
 public:
  static constexpr const char* kLibraryName = "fakescoreboard.dll";
  FakeBoard();
  bool Loaded() const { return copy_ != nullptr; }
  // Reset and Calls first run this, when set: the fixtures wait there for
  // the board thread to have made every call asked for.
  std::function<void()> settle;
  void Reset();
  std::vector<TFakeCall> Calls();
  std::vector<TFakeCall> CallsSoFar();  // without settling
  int LiveControllers();
  // A library that blocks in every call until released.
  void ShutGate(bool shut);
  int WaitingCalls();

 private:
  platform::DynamicLibrary library_;
  TFakeCopyCalls copy_ = nullptr;
  TFakeReset reset_ = nullptr;
  TFakeLiveControllers live_ = nullptr;
  TFakeShutGate shutGate_ = nullptr;
  TFakeWaitingCalls waiting_ = nullptr;
};

// Lines the feed log received, in order; safe from any thread.
class FeedLogRecorder {
 public:
  std::function<void(const std::u16string&)> Sink();
  std::vector<std::u16string> Lines();
  std::size_t Count();

 private:
  std::mutex lock_;
  std::vector<std::u16string> lines_;
};

// Destroys the thread object on a helper thread while the window keeps
// being pumped (a Synchronize in flight must be able to finish).
void DestroyPumping(TestWindow& window, std::unique_ptr<TScoreboardExchangeThread>& thread);

std::u16string U16(const std::string& ascii);

}  // namespace exchangetest
