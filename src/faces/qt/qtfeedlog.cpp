#include "faces/qt/qtfeedlog.h"

#include <QCheckBox>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

#include "exchange/scoreboardcontroller.h"

TQtFeedLog::TQtFeedLog(QPlainTextEdit* log, QCheckBox* enabled, QObject* parent)
    : QObject(parent), log_(log), enabled_(enabled) {}

void TQtFeedLog::LogLastLine(const std::u16string& line) {
  if (!enabled_->isChecked()) return;
  // The line arrives with its line end; the log keeps one line per record.
  std::u16string text = line;
  while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r')) text.pop_back();
  for (char16_t& c : text) {
    if (c == u'\n' || c == u'\r') c = u' ';
  }
  log_->appendPlainText(QString::fromStdU16String(text));
  QTextDocument* document = log_->document();
  while (document->blockCount() > kMaxLines) {
    QTextCursor cursor(document->firstBlock());
    cursor.select(QTextCursor::BlockUnderCursor);
    cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
  }
  QMetaObject::invokeMethod(
      log_, [log = log_] { log->verticalScrollBar()->setValue(log->verticalScrollBar()->maximum()); },
      Qt::QueuedConnection);
}

std::u16string TQtBoardLinkStatus::OnScoreboardState(std::uintptr_t state, std::intptr_t value) {
  switch (state) {
    case bsAddress:
      boardAddress_ = static_cast<std::uint32_t>(value);
      return {};
    case bsConnected: {
      QString text =
          QString::fromUtf16(u"Табло подключено") + QStringLiteral(" (%1)").arg(static_cast<std::int32_t>(value));
      if (boardAddress_ != 0) {
        text += QStringLiteral(" %1.%2.%3.%4")
                    .arg(boardAddress_ & 0xFFu)
                    .arg((boardAddress_ >> 8) & 0xFFu)
                    .arg((boardAddress_ >> 16) & 0xFFu)
                    .arg((boardAddress_ >> 24) & 0xFFu);
      }
      boardAliveTicks_ = kAliveTicks;
      return text.toStdU16String();
    }
    case bsDisconnected:
      boardAddress_ = 0;
      return kBoardDisconnectedText;
    default:
      return {};
  }
}

TQtBoardLinkStatus::TTick TQtBoardLinkStatus::OnTimer() {
  TTick tick;
  if (boardAliveTicks_ == 0) return tick;
  --boardAliveTicks_;
  if (boardAliveTicks_ == 0) tick.panelText = kBoardDisconnectedText;
  tick.sendBrightness = true;
  return tick;
}
