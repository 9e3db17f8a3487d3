// The stand-in board controller: every operation is queued under one mutex
// and returns at once; one board-link thread owns the serial port, turns the
// queued operations into frames and listens for the board's answers.
//
// Link state reported to the window (WM_SCOREBOARD_STATE):
//   bsDisconnected  the port could not be opened, failed, or the board that
//                   answered has been silent for kBoardSilence; posted once
//                   per loss, after which the port is opened again every
//                   kReopenInterval (the "COMn" name resolved afresh, so a
//                   replugged adapter or a restarted board is found again)
//   bsConnected     the board sent a hello or heartbeat (lParam: its id);
//                   repeated at most once a second while it keeps answering
//   bsAddress       the board's hello carried an IPv4 address
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "boardoperation.h"
#include "boardprotocol.h"
#include "exchange/scoreboardcontroller.h"
#include "platform/comports.h"
#include "seriallink.h"

namespace bp = boardprotocol;
using SteadyClock = std::chrono::steady_clock;

namespace {

// Queued operations beyond this drop the oldest: a board that takes no
// bytes must not make the proxy grow without limit.
constexpr std::size_t kMaxQueuedOps = 8192;
constexpr std::size_t kMaxNameChars = 256;
constexpr int kWriteTimeoutMs = 500;
constexpr auto kLinkPass = std::chrono::milliseconds(20);
constexpr auto kBoardSilence = std::chrono::milliseconds(3000);
constexpr auto kQueryInterval = std::chrono::milliseconds(1000);
constexpr auto kConnectedRepeat = std::chrono::milliseconds(1000);
constexpr auto kReopenInterval = std::chrono::milliseconds(1000);

class TBoardController final : public ScoreboardController {
 public:
  explicit TBoardController(TWindowHandle window) : window_(window), linkThread_([this] { LinkLoop(); }) {}

  ~TBoardController() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      stop_ = true;
    }
    wake_.notify_all();
    linkThread_.join();
  }

  std::int32_t OpenPort(std::int32_t /*kind*/, const char* portName, std::int32_t baudRate) override {
    std::optional<std::string> device;
    if (portName != nullptr) {
      if (auto n = platform::ParseComPortName(portName)) device = platform::ComPortDevicePath(*n);
    }
    std::deque<TBoardOp> dropped;  // freed outside the lock
    {
      std::lock_guard<std::mutex> guard(lock_);
      portRequested_ = true;
      requestedName_ = portName != nullptr ? std::string(portName) : std::string();
      requestedBaud_ = baudRate;
      dropped.swap(queue_);  // nothing queued for the old port reaches the new one
    }
    wake_.notify_all();
    return device ? 1 : 0;
  }
  std::int32_t ClearBoard(std::int32_t immediate) override { return Enqueue(TBoardOpKind::ClearBoard, {immediate}); }
  std::int32_t Show(std::int32_t fullRefresh, std::int32_t mode) override {
    return Enqueue(TBoardOpKind::Show, {fullRefresh, mode});
  }
  std::int32_t StartLight() override { return Enqueue(TBoardOpKind::StartLight, {}); }
  std::int32_t FinishLight() override { return Enqueue(TBoardOpKind::FinishLight, {}); }
  std::int32_t SetBrightness(std::int32_t level) override { return Enqueue(TBoardOpKind::SetBrightness, {level}); }
  std::int32_t SetRaceTime(std::int32_t seconds) override { return Enqueue(TBoardOpKind::SetRaceTime, {seconds}); }
  std::int32_t ShowPicture(const std::uint8_t* bits, std::int32_t width, std::int32_t height, std::int32_t reserved1,
                           std::int32_t reserved2) override {
    // Rows are width / 8 bytes: a width that is not a multiple of 8 would
    // make us read past the caller's rows.
    if (bits == nullptr || width <= 0 || height <= 0 || width % 8 != 0) return 0;
    const std::size_t size = static_cast<std::size_t>(width / 8) * static_cast<std::size_t>(height);
    if (size > bp::kMaxPictureBytes) return 0;
    TBoardOp op;
    op.kind = TBoardOpKind::ShowPicture;
    op.args[0] = width;
    op.args[1] = height;
    op.args[2] = reserved1;
    op.args[3] = reserved2;
    op.bits.assign(bits, bits + size);
    return Push(std::move(op));
  }
  std::int32_t SetRow(std::int32_t mode, std::int32_t row, std::int32_t number, std::int32_t bestLapTime,
                      std::int32_t lastLapTime, std::int32_t laps, std::int32_t totalTime, std::int32_t raceGap,
                      std::int32_t bestLapGap, const char16_t* name) override {
    TBoardOp op;
    op.kind = TBoardOpKind::SetRow;
    const std::int32_t values[9] = {mode, row, number, bestLapTime, lastLapTime, laps, totalTime, raceGap, bestLapGap};
    std::memcpy(op.args, values, sizeof values);
    if (name != nullptr) {
      std::size_t n = 0;
      while (n < kMaxNameChars && name[n] != 0) ++n;
      op.name.assign(name, n);
    }
    return Push(std::move(op));
  }

 private:
  std::int32_t Enqueue(TBoardOpKind kind, std::initializer_list<std::int32_t> values) {
    TBoardOp op;
    op.kind = kind;
    std::copy(values.begin(), values.end(), op.args);
    return Push(std::move(op));
  }

  std::int32_t Push(TBoardOp&& op) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (queue_.size() >= kMaxQueuedOps) {
        std::swap(op, queue_.front());  // the oldest is freed outside the lock
        queue_.pop_front();
        queue_.push_back(std::move(op));
        op = TBoardOp{};
      } else {
        queue_.push_back(std::move(op));
      }
    }
    wake_.notify_one();
    return 1;
  }

  void PostState(TScoreboardState state, std::intptr_t lParam) {
    PostWindowMessage(window_, WM_SCOREBOARD_STATE, static_cast<std::uintptr_t>(state), lParam);
  }

  void LinkLoop();
  void OpenRequested(const std::string& portName, std::int32_t baud);
  void TryOpen(SteadyClock::time_point now);
  void LoseLink();
  void Listen(SteadyClock::time_point now);

  TWindowHandle window_;

  // Guarded by lock_: what callers hand to the link thread.
  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<TBoardOp> queue_;
  bool portRequested_ = false;
  std::string requestedName_;
  std::int32_t requestedBaud_ = 115200;
  bool stop_ = false;

  // Link thread only.
  TSerialLink link_;
  bp::TFrameDecoder decoder_;
  std::uint8_t seq_ = 0;
  TBoardEncoder encoder_;
  bool resendScene_ = false;  // the board that answers next gets what it should show
  bool boardAnswering_ = false;
  std::int32_t boardId_ = 0;
  SteadyClock::time_point lastHeard_{};
  SteadyClock::time_point lastQuery_{};
  SteadyClock::time_point lastConnectedPost_{};
  std::vector<std::uint8_t> wire_;
  bool wantOpen_ = false;      // a port was asked for: keep it open
  bool downReported_ = false;  // bsDisconnected already posted for this loss
  std::string portName_;
  std::int32_t baud_ = 115200;
  SteadyClock::time_point lastOpenAttempt_{};

  std::thread linkThread_;  // last: starts once the members above exist
};

void TBoardController::LinkLoop() {
  std::deque<TBoardOp> batch;
  for (;;) {
    bool openNow = false;
    std::string portName;
    std::int32_t baud = 115200;
    {
      std::unique_lock<std::mutex> guard(lock_);
      wake_.wait_for(guard, kLinkPass, [this] { return stop_ || portRequested_ || !queue_.empty(); });
      if (stop_) break;
      if (portRequested_) {
        openNow = true;
        portRequested_ = false;
        portName = requestedName_;
        baud = requestedBaud_;
      }
      batch.swap(queue_);
    }
    if (openNow) {
      OpenRequested(portName, baud);
    } else if (wantOpen_ && !link_.IsOpen() && SteadyClock::now() - lastOpenAttempt_ >= kReopenInterval) {
      TryOpen(SteadyClock::now());
    }

    wire_.clear();
    for (const TBoardOp& op : batch) encoder_.Add(op, wire_, seq_);
    batch.clear();
    if (link_.IsOpen() && !wire_.empty()) {
      // A board that stops taking bytes loses this batch but keeps its port;
      // a port that fails is closed.
      if (link_.Write(wire_.data(), wire_.size(), kWriteTimeoutMs) == TSerialLink::Result::Failed) LoseLink();
    }
    if (link_.IsOpen()) Listen(SteadyClock::now());
  }
  link_.Close();
}

void TBoardController::OpenRequested(const std::string& portName, std::int32_t baud) {
  link_.Close();
  wantOpen_ = true;
  downReported_ = false;
  portName_ = portName;
  baud_ = baud;
  resendScene_ = true;
  TryOpen(SteadyClock::now());
}

void TBoardController::TryOpen(SteadyClock::time_point now) {
  lastOpenAttempt_ = now;
  decoder_.Reset();
  boardAnswering_ = false;
  std::optional<std::string> device;
  if (auto n = platform::ParseComPortName(portName_)) device = platform::ComPortDevicePath(*n);
  if (!device || !link_.Open(*device, baud_)) {
    if (!downReported_) PostState(bsDisconnected, 0);
    downReported_ = true;
    return;
  }
  downReported_ = false;
  lastQuery_ = SteadyClock::time_point{};
}

void TBoardController::LoseLink() {
  link_.Close();
  resendScene_ = true;
  boardAnswering_ = false;
  lastOpenAttempt_ = SteadyClock::now();
  if (!downReported_) PostState(bsDisconnected, 0);
  downReported_ = true;
}

void TBoardController::Listen(SteadyClock::time_point now) {
  std::uint8_t buffer[4096];
  for (;;) {
    const long n = link_.ReadAvailable(buffer, sizeof buffer);
    if (n < 0) {
      LoseLink();
      return;
    }
    if (n == 0) break;
    decoder_.Feed(buffer, static_cast<std::size_t>(n));
  }
  while (auto frame = decoder_.Next()) {
    auto message = bp::DecodePayload(*frame);
    if (!message) continue;
    bool heard = false;
    if (const auto* hello = std::get_if<bp::THelloMsg>(&*message)) {
      boardId_ = hello->boardId;
      heard = true;
      if (hello->address) PostState(bsAddress, static_cast<std::intptr_t>(*hello->address));
    } else if (std::holds_alternative<bp::THeartbeatMsg>(*message) || std::holds_alternative<bp::TAckMsg>(*message)) {
      heard = true;
    }
    if (heard) {
      if (!boardAnswering_ && resendScene_) {
        // A board that (re)appears shows what it should at once, not at the
        // next change of the standings.
        resendScene_ = false;
        std::vector<std::uint8_t> scene;
        encoder_.Replay(scene, seq_);
        if (!scene.empty() && link_.Write(scene.data(), scene.size(), kWriteTimeoutMs) == TSerialLink::Result::Failed) {
          LoseLink();
          return;
        }
      }
      lastHeard_ = now;
      if (!boardAnswering_ || now - lastConnectedPost_ >= kConnectedRepeat) {
        PostState(bsConnected, boardId_);
        lastConnectedPost_ = now;
      }
      boardAnswering_ = true;
    }
  }
  if (boardAnswering_ && now - lastHeard_ > kBoardSilence) {
    // The board went quiet: close the port and open it again shortly, so a
    // board that came back on another device behind the same name is found.
    LoseLink();
    return;
  }
  // Until the board answers, ask it to introduce itself now and then.
  if (!boardAnswering_ && now - lastQuery_ >= kQueryInterval) {
    lastQuery_ = now;
    wire_.clear();
    bp::AppendMessage(wire_, bp::TQueryMsg{}, seq_++);
    if (link_.Write(wire_.data(), wire_.size(), kWriteTimeoutMs) == TSerialLink::Result::Failed) LoseLink();
  }
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
