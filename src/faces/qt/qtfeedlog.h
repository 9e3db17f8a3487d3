// The feed log: the timing feed's lines as the exchange thread hands them
// over, while "Лог обмена" is ticked; at most 1000 lines, newest in view.
#pragma once

#include <QPlainTextEdit>
#include <string>

class QCheckBox;

class TQtFeedLog : public QObject {
  Q_OBJECT

 public:
  static constexpr int kMaxLines = 1000;

  TQtFeedLog(QPlainTextEdit* log, QCheckBox* enabled, QObject* parent = nullptr);

  // Runs on the window's thread while the exchange thread waits: append,
  // trim, then post the scroll so the waiting thread is released at once.
  void LogLastLine(const std::u16string& line);

 private:
  QPlainTextEdit* log_;
  QCheckBox* enabled_;
};

// The board link as the status bar shows it, with the watchdog that puts the
// disconnected text back when the controller's reports stop.
class TQtBoardLinkStatus {
 public:
  static constexpr int kAliveTicks = 3;

  // The panel text after a WM_SCOREBOARD_STATE; empty when the panel keeps
  // its text.
  std::u16string OnScoreboardState(std::uintptr_t state, std::intptr_t value);

  struct TTick {
    bool sendBrightness = false;
    std::u16string panelText;  // empty: unchanged
  };
  TTick OnTimer();

  std::uint32_t BoardAddress() const { return boardAddress_; }
  std::int32_t AliveTicks() const { return boardAliveTicks_; }

 private:
  std::uint32_t boardAddress_ = 0;
  std::int32_t boardAliveTicks_ = kAliveTicks;
};

inline constexpr const char16_t* kBoardStartText = u"Табло: отключено";
inline constexpr const char16_t* kBoardDisconnectedText = u"Табло отключено";
