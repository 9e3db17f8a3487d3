// The board link as status panel 0 shows it, with the watchdog that puts the
// disconnected text back when the controller's reports stop.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

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

  std::uint32_t BoardAddress() const { return boardAddress_; }
  std::int32_t AliveTicks() const { return boardAliveTicks_; }

 private:
  std::uint32_t boardAddress_ = 0;  // first octet in the lowest byte
  std::int32_t boardAliveTicks_ = kAliveTicks;
};
