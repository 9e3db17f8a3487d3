// The stand-in board controller: every operation is queued under one mutex
// and returns at once; one board-link thread owns the serial port, sleeps
// until there is work, bytes from the board or a timer of the session due,
// and writes whole frames as fast as the line takes them.
//
// Link state reported to the window (WM_SCOREBOARD_STATE):
//   bsDisconnected  the port could not be opened, failed, or the board that
//                   answered has been silent; posted once per loss, after
//                   which the port is opened again every kReopenInterval
//                   (the "COMn" name resolved afresh, so a replugged adapter
//                   or a restarted board is found again)
//   bsConnected     the board said hello (lParam: its id) and keeps
//                   answering; repeated at most once a second
//   bsAddress       the board's hello carried an IPv4 address
#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "boardcommand.h"
#include "boardprotocol.h"
#include "boardqueue.h"
#include "boardsession.h"
#include "exchange/scoreboardcontroller.h"
#include "linebudget.h"
#include "platform/comports.h"
#include "seriallink.h"

namespace bp = boardprotocol;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kMaxNameChars = 256;
constexpr auto kReopenInterval = std::chrono::milliseconds(1000);

class TBoardController final : public ScoreboardController {
 public:
  explicit TBoardController(TWindowHandle window)
      : window_(window),
        session_([this](TScoreboardState state, std::intptr_t lParam) {
          PostWindowMessage(window_, WM_SCOREBOARD_STATE, static_cast<std::uintptr_t>(state), lParam);
        }),
        linkThread_([this] { LinkLoop(); }) {}

  ~TBoardController() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      stop_ = true;
    }
    link_.Wake();
    linkThread_.join();
  }

  std::int32_t OpenPort(std::int32_t /*kind*/, const char* portName, std::int32_t baudRate) override {
    std::optional<std::string> device;
    if (portName != nullptr) {
      if (auto n = platform::ParseComPortName(portName)) device = platform::ComPortDevicePath(*n);
    }
    {
      // What was given before stays queued: the board found on the new
      // port shows it.
      std::lock_guard<std::mutex> guard(lock_);
      portRequested_ = true;
      requestedName_ = portName != nullptr ? std::string(portName) : std::string();
      requestedBaud_ = baudRate;
    }
    link_.Wake();
    return device ? 1 : 0;
  }

  std::int32_t ClearBoard(std::int32_t immediate) override {
    if (immediate == 0) {
      std::lock_guard<std::mutex> guard(lock_);
      collecting_.clear();
      return 1;
    }
    return Push(bp::TClearBoardMsg{immediate});
  }
  std::int32_t Show(std::int32_t fullRefresh, std::int32_t mode) override {
    TTableCmd table;
    table.fullRefresh = fullRefresh;
    table.mode = mode;
    {
      // The board keeps the rows it was given: a Show without a new
      // ClearBoard(0) shows them again.
      std::lock_guard<std::mutex> guard(lock_);
      table.rows = collecting_;
    }
    return Push(std::move(table));
  }
  std::int32_t StartLight() override { return Push(bp::TStartLightMsg{}); }
  std::int32_t FinishLight() override { return Push(bp::TFinishLightMsg{}); }
  std::int32_t SetBrightness(std::int32_t level) override { return Push(bp::TSetBrightnessMsg{level}); }
  std::int32_t SetRaceTime(std::int32_t seconds) override { return Push(bp::TSetRaceTimeMsg{seconds}); }
  std::int32_t ShowPicture(const std::uint8_t* bits, std::int32_t width, std::int32_t height, std::int32_t reserved1,
                           std::int32_t reserved2) override {
    // Rows are width / 8 bytes: a width that is not a multiple of 8 would
    // make us read past the caller's rows.
    if (bits == nullptr || width <= 0 || height <= 0 || width % 8 != 0) return 0;
    const std::size_t size = static_cast<std::size_t>(width / 8) * static_cast<std::size_t>(height);
    if (size > bp::kMaxPictureBytes) return 0;
    return Push(TPictureCmd{width, height, reserved1, reserved2, std::vector<std::uint8_t>(bits, bits + size)});
  }
  std::int32_t SetRow(std::int32_t mode, std::int32_t row, std::int32_t number, std::int32_t bestLapTime,
                      std::int32_t lastLapTime, std::int32_t laps, std::int32_t totalTime, std::int32_t raceGap,
                      std::int32_t bestLapGap, const char16_t* name) override {
    std::u16string text;
    if (name != nullptr) {
      std::size_t n = 0;
      while (n < kMaxNameChars && name[n] != 0) ++n;
      text.assign(name, n);
    }
    bp::TRowData data{mode, row,       number,  bestLapTime, lastLapTime,
                      laps, totalTime, raceGap, bestLapGap,  bp::Utf16ToUtf8(text)};
    std::lock_guard<std::mutex> guard(lock_);
    // A board holds so many rows; more would only grow our memory.
    if (collecting_.size() < bp::kMaxTableRows) collecting_.push_back(std::move(data));
    return 1;
  }

 private:
  std::int32_t Push(TBoardCommand&& command) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      queue_.Push(std::move(command));
    }
    link_.Wake();
    return 1;
  }

  void LinkLoop();
  void TryOpen(SteadyClock::time_point now);
  void LoseLink(SteadyClock::time_point now);

  TWindowHandle window_;

  // Guarded by lock_: what callers hand to the link thread.
  std::mutex lock_;
  TBoardQueue queue_;
  std::vector<bp::TRowData> collecting_;  // rows since ClearBoard(0)
  bool portRequested_ = false;
  std::string requestedName_;
  std::int32_t requestedBaud_ = 115200;
  bool stop_ = false;

  // Link thread only (Wake excepted).
  TSerialLink link_;
  TBoardSession session_;
  TLineBudget budget_;
  bool wantOpen_ = false;  // a port was asked for: keep it open
  std::string portName_;
  std::int32_t baud_ = 115200;
  SteadyClock::time_point lastOpenAttempt_{};

  std::thread linkThread_;  // last: starts once the members above exist
};

void TBoardController::LinkLoop() {
  std::uint8_t buffer[4096];
  for (;;) {
    bool openNow = false;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (stop_) break;
      if (portRequested_) {
        openNow = true;
        portRequested_ = false;
        portName_ = requestedName_;
        baud_ = requestedBaud_;
      }
    }
    auto now = SteadyClock::now();
    if (openNow) {
      link_.Close();
      wantOpen_ = true;
      session_.OpenRequested();
      TryOpen(now);
    } else if (wantOpen_ && !link_.IsOpen() && now - lastOpenAttempt_ >= kReopenInterval) {
      TryOpen(now);
    }

    // Take commands only while the line has room: the rest wait in the
    // queue, where newer ones replace them.
    while (session_.WantsCommand()) {
      std::optional<TBoardCommand> command;
      {
        std::lock_guard<std::mutex> guard(lock_);
        command = queue_.Take();
      }
      if (!command) break;
      session_.Command(*command);
    }

    bool portFull = false;
    if (link_.IsOpen() && !session_.Pending().empty()) {
      const auto pending = session_.Pending();
      const std::size_t allowed = std::min(pending.size(), budget_.Allowed(now));
      const long n = allowed > 0 ? link_.WriteSome(pending.data(), allowed) : 0;
      if (n < 0) {
        LoseLink(now);
      } else {
        budget_.Written(static_cast<std::size_t>(n), now);
        session_.Written(static_cast<std::size_t>(n), now);
        portFull = allowed > 0 && n == 0;
      }
    }
    while (link_.IsOpen()) {
      const long n = link_.ReadAvailable(buffer, sizeof buffer);
      if (n < 0) LoseLink(now);
      if (n <= 0) break;
      session_.Received(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n)), now);
    }
    if (link_.IsOpen() && !session_.Tick(now)) LoseLink(now);  // the board went quiet

    auto deadline = session_.NextDeadline();
    if (wantOpen_ && !link_.IsOpen()) deadline = std::min(deadline, lastOpenAttempt_ + kReopenInterval);
    const bool writing = link_.IsOpen() && !session_.Pending().empty();
    if (writing && !portFull) deadline = std::min(deadline, budget_.Ready());
    int timeoutMs = -1;
    if (deadline != SteadyClock::time_point::max()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now());
      timeoutMs = static_cast<int>(std::clamp<long long>(left.count(), 0, 60000));
    }
    if (link_.Wait(writing && portFull, timeoutMs) & TSerialLink::evFailed) LoseLink(SteadyClock::now());
  }
  link_.Close();
}

void TBoardController::TryOpen(SteadyClock::time_point now) {
  lastOpenAttempt_ = now;
  std::optional<std::string> device;
  if (auto n = platform::ParseComPortName(portName_)) device = platform::ComPortDevicePath(*n);
  if (!device || !link_.Open(*device, baud_)) {
    session_.Down();
    return;
  }
  budget_.Reset(baud_, now);
  session_.Opened(now);
}

void TBoardController::LoseLink(SteadyClock::time_point now) {
  // Closed and opened again shortly, so a board that came back on another
  // device behind the same name is found.
  link_.Close();
  lastOpenAttempt_ = now;
  session_.Down();
}

}  // namespace

SCOREBOARD_EXPORT std::int32_t _createScoreboardController(ScoreboardController** controller, TWindowHandle window) {
  if (controller == nullptr) return 0;
  try {
    *controller = new TBoardController(window);
  } catch (...) {  // no thread to be had: no board, as for a missing library
    *controller = nullptr;
    return 0;
  }
  return 1;
}

SCOREBOARD_EXPORT std::int32_t _deleteScoreboardController(ScoreboardController** controller) {
  if (controller == nullptr || *controller == nullptr) return 0;
  delete static_cast<TBoardController*>(*controller);
  *controller = nullptr;
  return 1;
}
