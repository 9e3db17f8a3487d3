// The worker between the timing feed and the scoreboard: holds the feed
// connection, cuts the stream into lines, follows the session flag and the
// traffic-light holds, and pushes the standings to the board through the
// run-time loaded controller library.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "exchange/controllerlibrary.h"
#include "exchange/scoreboardcontroller.h"
#include "exchange/tablesnapshot.h"
#include "platform/windowhandle.h"

namespace platform {
class Clock;
}

// Posted to the window (never sent); lParam 0 unless the code says otherwise.
constexpr std::uint32_t WM_EXCHANGE_NOTIFY = 1438;

enum TExchangeNotify : std::int32_t {
  enTableCleared = 1,      // a "$I" or "$B" emptied the standings
  enTableSent = 2,         // the end-of-data step pushed the table
  enFeedConnected = 3,     // the feed connected, or data came again after a silence
  enFeedDisconnected = 4,  // the connection dropped or an attempt failed
  enFeedSilent = 5,        // connected, but nothing came for lParam seconds (more than 10)
  enControllerLoaded = 6,  // the board thread has loaded the library: ControllerLoad() tells how it went
};

// A connection with no data for longer than this is reported as silent.
constexpr std::int64_t kFeedSilentSeconds = 10;

constexpr std::size_t kFeedBufferSize = 1048576;

class TScoreboardExchangeThread {
 public:
  struct Options {
    // The controller library, by its Windows file name, in the program's
    // folder (see DynamicLibrary::PathFor).
    std::string libraryName = "scoreboardcontroller.dll";
    TConventionSetting controllerConvention = csAuto;  // how a 32-bit library is called
    // Null: the system clock.
    platform::Clock* clock = nullptr;
    // What LogLastLine does with the line on the window's thread: the
    // window's feed log. Empty: nothing.
    std::function<void(const std::u16string& line)> feedLog;
    // Takes a copy of the table at each push, clock change, clear and feed
    // change (the results page). Null: no copies are made.
    TTableSnapshotSink* snapshotSink = nullptr;
    // On this thread, for the feed archive: each new feed connection, and
    // each receive's bytes before they are cut into lines. Must not wait.
    std::function<void()> feedConnected;
    std::function<void(const char* bytes, std::size_t size)> feedReceived;
  };

  // Builds the object and starts the thread at once, and the board thread,
  // which loads the controller library and creates the controller, then
  // posts enControllerLoaded.
  explicit TScoreboardExchangeThread(TWindowHandle windowHandle);
  TScoreboardExchangeThread(TWindowHandle windowHandle, Options options);
  // Stop(), without a limit; nothing once Stop has abandoned the body.
  ~TScoreboardExchangeThread();
  TScoreboardExchangeThread(const TScoreboardExchangeThread&) = delete;
  TScoreboardExchangeThread& operator=(const TScoreboardExchangeThread&) = delete;

  // Window operations, all on the GUI thread. None waits for the board: the
  // holds and the mode change at once, as the feed side sees them, and the
  // controller calls go to the board thread, which makes them in order
  // (see exchange/boardworker.h). Every table the board is given, whoever
  // asks, reaches the snapshot sink from the exchange thread.
  void SetFeedAddress(std::uint32_t ipv4NetworkOrder, std::int32_t port);
  void SetScoreboardMode(std::int32_t mode);
  void RefreshScoreboard(std::int32_t testPattern);
  void ClearScoreboard();
  void SetTrafficLight(std::int32_t light);  // 1 start, 2 finish
  void SetBrightness(std::int32_t level);
  void SendPicture(const std::uint8_t* bits, std::int32_t width, std::int32_t height, std::int32_t reserved1,
                   std::int32_t reserved2);
  void OpenScoreboardPort(const std::string& portName);  // "COM" and a number
  // Whether the window shows the feed log. While it does not, lines skip the
  // hand-over to the window thread, which would cost a thread round trip per
  // line for nothing. On at start.
  void SetFeedLogShown(bool shown);
  std::int32_t GetListRowCount();
  std::u16string GetResultCellText(std::int32_t row, std::int32_t column);

  // Stop request; the body closes the feed and deletes the controller.
  void Terminate();
  // The program's end: asks the body to stop and waits up to `limit` for it
  // to close the feed and delete the controller (the board library closes
  // its port). The window's thread keeps answering the body's feed-log
  // hand-over meanwhile. A body still inside a library call at the limit is
  // abandoned to the process's end: false, and nothing but the destructor
  // may be called any more (a body that comes out later frees its own
  // state). Idempotent.
  bool Stop(std::chrono::milliseconds limit);
  bool Terminated() const;

  // Both false until the board thread has loaded the library.
  bool ControllerLoaded() const;
  bool HasController() const;
  // How loading the controller library went; cpAbsent until ControllerLoaded().
  TControllerLoad ControllerLoad() const;
  // Waits until the library is loaded and every board command asked for so
  // far has been made or dropped; false after `timeout`.
  bool WaitForBoard(std::chrono::milliseconds timeout);
  std::int32_t ScoreboardMode() const;

 private:
  struct Impl;
  Impl* impl_;
  bool abandoned_ = false;
};
