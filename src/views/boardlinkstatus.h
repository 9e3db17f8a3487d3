// The board link as status panel 0 shows it, with the watchdog that puts the
// disconnected text back when the controller's reports stop, and the
// operator's word on a controller library that is there but cannot be used.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "exchange/controllerlibrary.h"

// What the panel says of a library that cannot be used, in plain words with
// what to do; nullopt for a controller and for an absent library (a proxy
// without a board says nothing of it).
std::optional<std::u16string> ControllerProblemText(const TControllerLoad& load);

class TBoardLinkStatus {
 public:
  static constexpr std::int32_t kAliveTicks = 3;

  // A WM_SCOREBOARD_STATE report: the panel's new text, nullopt when the
  // panel keeps its text.
  std::optional<std::u16string> OnScoreboardState(std::uintptr_t state, std::intptr_t value);

  struct TTick {
    bool sendBrightness = false;
    std::optional<std::u16string> panelText;
  };
  // Timer1Timer's watchdog step.
  TTick OnTimer();

  // After the exchange thread loaded the library: the panel's text when the
  // library cannot be used. That text then stays: neither the watchdog nor
  // a report replaces it, since no board can be reached until the library is
  // replaced and the program restarted.
  std::optional<std::u16string> OnControllerLoad(const TControllerLoad& load);

  std::uint32_t BoardAddress() const { return boardAddress_; }
  std::int32_t AliveTicks() const { return boardAliveTicks_; }

 private:
  std::uint32_t boardAddress_ = 0;  // first octet in the lowest byte
  std::int32_t boardAliveTicks_ = kAliveTicks;
  bool libraryProblem_ = false;
};
