// The one thread that calls the board controller. A board library may take
// long over each call (one that writes the serial line before it returns),
// so neither the window nor the feed ever calls it: they hand it commands,
// which this thread makes in the order given, between two calls at the
// latest:
//   * a table that a newer one replaces before it went out is dropped whole;
//   * the race clock is sent newest-first: an unsent older clock is
//     dropped, and the clock goes ahead of the tables that wait (never of
//     an operator's command);
//   * a command that takes the whole board (a clear, a light, a picture)
//     drops the tables waiting before it and ends a push in progress at the
//     next call boundary, before its Show: the board would have replaced
//     that table at once;
//   * a table in progress is never cut for another table, so a busy feed
//     cannot keep the board from ever showing one;
//   * everything else waits its turn; nothing else is ever dropped.
// Loading the library and creating the controller happen on this thread
// too, so a library that is slow to start holds neither the window nor the
// feed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "exchange/controllerlibrary.h"
#include "platform/windowhandle.h"

enum TBoardCommandKind : std::int32_t {
  bcTable,        // ClearBoard(0), one SetRow per row, Show
  bcClear,        // ClearBoard(value)
  bcStartLight,   // StartLight
  bcFinishLight,  // FinishLight
  bcBrightness,   // SetBrightness(value)
  bcRaceTime,     // SetRaceTime(value)
  bcPicture,      // ShowPicture
  bcOpenPort,     // OpenPort(1, text, 115200)
};

struct TBoardRow {
  std::int32_t number = 0;
  std::int32_t bestLapTime = 0;
  std::int32_t lastLapTime = 0;
  std::int32_t laps = 0;
  std::int32_t totalTime = 0;
  std::int32_t raceGap = 0;
  std::int32_t bestLapGap = 0;
  std::u16string name;  // empty: passed as null
};

struct TBoardCommand {
  TBoardCommandKind kind = bcTable;
  std::int32_t value = 0;  // immediate, level or seconds
  // Tables.
  std::int32_t mode = 0;
  std::int32_t fullRefresh = 0;
  std::vector<TBoardRow> rows;
  // Picture: its own copy of the bits, so the caller's buffer may change.
  std::vector<std::uint8_t> bits;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t reserved1 = 0;
  std::int32_t reserved2 = 0;
  std::string portName;  // OpenPort, 8-bit text
};

class TBoardWorker {
 public:
  // Starts the thread, which loads `libraryName` and creates the controller
  // for `window`, then runs `loaded` (on its own thread) before any command.
  TBoardWorker(std::string libraryName, TWindowHandle window, std::function<void()> loaded,
               TConventionSetting convention = csAuto);
  // Stop(), if nobody did.
  ~TBoardWorker();
  TBoardWorker(const TBoardWorker&) = delete;
  TBoardWorker& operator=(const TBoardWorker&) = delete;

  // Returns at once, whatever the controller is doing.
  void Submit(TBoardCommand command);

  // Waits until the library is loaded and every command submitted so far has
  // been made or dropped; false when that took longer than `timeout`.
  bool WaitIdle(std::chrono::milliseconds timeout);

  // Drops what waits, ends a push at its next call, deletes the controller
  // on the board thread and joins it, waiting at most `limit`: a library
  // that hangs in a call (or in its delete) is abandoned, false is returned
  // and the object must then be left to the process's end, never destroyed.
  bool Stop(std::chrono::milliseconds limit = std::chrono::milliseconds::max());

  bool Loaded() const;
  bool HasController() const;
  // How loading went; the default (absent) until Loaded().
  TControllerLoad Load() const;

 private:
  void Run();
  void Make(const TBoardCommand& command);
  bool Cut() const;  // under no lock: a push in progress is to end now
  void DropOne();    // under lock_

  std::string libraryName_;
  TWindowHandle window_;
  std::function<void()> loaded_;
  TConventionSetting convention_;
  TControllerLibrary library_;  // board thread only after construction

  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::deque<TBoardCommand> waiting_;
  bool loadedFlag_ = false;
  ScoreboardController* controller_ = nullptr;  // set once loaded; board thread calls it
  TControllerLoad load_;
  bool stop_ = false;
  bool ended_ = false;    // the thread has deleted the controller and is done
  bool pushing_ = false;  // a table is being sent
  bool cut_ = false;      // that table is to end at the next call
  std::uint64_t submitted_ = 0;
  std::uint64_t finished_ = 0;  // made or dropped
  std::thread thread_;
};
