// Records every controller call under one mutex; nothing reaches a board.
#include "fakescoreboard.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "exchange/scoreboardcontroller.h"

namespace {

std::mutex& LogLock() {
  static std::mutex lock;
  return lock;
}
std::vector<TFakeCall>& Log() {
  static std::vector<TFakeCall> log;
  return log;
}
int32_t liveControllers = 0;  // under LogLock

TFakeCall Begin(int32_t operation) {
  TFakeCall call{};
  call.operation = operation;
  call.threadTag = std::hash<std::thread::id>{}(std::this_thread::get_id());
  call.steadyNanos =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
  return call;
}

// While the gate is shut every call, once recorded, waits for it to open:
// a library that is still writing the serial line.
std::mutex gateLock;
std::condition_variable gateOpened;
bool gateShut = false;     // under gateLock
int32_t waitingCalls = 0;  // under gateLock

int32_t Record(const TFakeCall& call) {
  {
    std::lock_guard<std::mutex> guard(LogLock());
    Log().push_back(call);
  }
  std::unique_lock<std::mutex> gate(gateLock);
  ++waitingCalls;
  gateOpened.wait(gate, [] { return !gateShut; });
  --waitingCalls;
  return 1;
}

class TRecordingController final : public ScoreboardController {
 public:
  std::int32_t OpenPort(std::int32_t kind, const char* portName, std::int32_t baudRate) override {
    TFakeCall call = Begin(foOpenPort);
    call.args[0] = kind;
    call.args[1] = baudRate;
    if (portName != nullptr) {
      call.hasName = 1;
      for (int i = 0; i < kFakeNameChars - 1 && portName[i] != '\0'; ++i)
        call.name[i] = static_cast<char16_t>(static_cast<unsigned char>(portName[i]));
    }
    return Record(call);
  }
  std::int32_t ClearBoard(std::int32_t immediate) override { return Ints(foClearBoard, {immediate}); }
  std::int32_t Show(std::int32_t fullRefresh, std::int32_t mode) override { return Ints(foShow, {fullRefresh, mode}); }
  std::int32_t StartLight() override { return Ints(foStartLight, {}); }
  std::int32_t FinishLight() override { return Ints(foFinishLight, {}); }
  std::int32_t SetBrightness(std::int32_t level) override { return Ints(foSetBrightness, {level}); }
  std::int32_t SetRaceTime(std::int32_t seconds) override { return Ints(foSetRaceTime, {seconds}); }
  std::int32_t ShowPicture(const std::uint8_t* bits, std::int32_t width, std::int32_t height, std::int32_t reserved1,
                           std::int32_t reserved2) override {
    // args[4]: sum of the picture's bytes, so a test sees the bits arrived.
    std::int32_t sum = 0;
    if (bits != nullptr && width > 0 && height > 0)
      for (std::int32_t i = 0; i < width / 8 * height; ++i) sum += bits[i];
    return Ints(foShowPicture, {width, height, reserved1, reserved2, sum});
  }
  std::int32_t SetRow(std::int32_t mode, std::int32_t row, std::int32_t number, std::int32_t bestLapTime,
                      std::int32_t lastLapTime, std::int32_t laps, std::int32_t totalTime, std::int32_t raceGap,
                      std::int32_t bestLapGap, const char16_t* name) override {
    TFakeCall call = Begin(foSetRow);
    const std::int32_t values[9] = {mode, row, number, bestLapTime, lastLapTime, laps, totalTime, raceGap, bestLapGap};
    std::memcpy(call.args, values, sizeof values);
    if (name != nullptr) {
      call.hasName = 1;
      for (int i = 0; i < kFakeNameChars - 1 && name[i] != 0; ++i) call.name[i] = name[i];
    }
    return Record(call);
  }

 private:
  std::int32_t Ints(int32_t operation, std::initializer_list<std::int32_t> values) {
    TFakeCall call = Begin(operation);
    int i = 0;
    for (std::int32_t v : values) call.args[i++] = v;
    return Record(call);
  }
};

}  // namespace

SCOREBOARD_EXPORT std::int32_t _createScoreboardController(ScoreboardController** controller, TWindowHandle) {
  if (controller == nullptr) return 0;
  *controller = new TRecordingController();
  std::lock_guard<std::mutex> guard(LogLock());
  ++liveControllers;
  return 1;
}

SCOREBOARD_EXPORT std::int32_t _deleteScoreboardController(ScoreboardController** controller) {
  if (controller == nullptr || *controller == nullptr) return 0;
  delete static_cast<TRecordingController*>(*controller);
  *controller = nullptr;
  std::lock_guard<std::mutex> guard(LogLock());
  --liveControllers;
  return 1;
}

SCOREBOARD_EXPORT int32_t fakeScoreboardCopyCalls(int32_t first, TFakeCall* out, int32_t capacity) {
  std::lock_guard<std::mutex> guard(LogLock());
  const auto& log = Log();
  const auto total = static_cast<int32_t>(log.size());
  for (int32_t i = 0; i < capacity && first >= 0 && first + i < total; ++i) out[i] = log[first + i];
  return total;
}

SCOREBOARD_EXPORT void fakeScoreboardReset() {
  std::lock_guard<std::mutex> guard(LogLock());
  Log().clear();
}

SCOREBOARD_EXPORT int32_t fakeScoreboardLiveControllers() {
  std::lock_guard<std::mutex> guard(LogLock());
  return liveControllers;
}

SCOREBOARD_EXPORT void fakeScoreboardShutGate(int32_t shut) {
  {
    std::lock_guard<std::mutex> guard(gateLock);
    gateShut = shut != 0;
  }
  gateOpened.notify_all();
}

SCOREBOARD_EXPORT int32_t fakeScoreboardWaitingCalls() {
  std::lock_guard<std::mutex> guard(gateLock);
  return waitingCalls;
}
