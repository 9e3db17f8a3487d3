#include "views/boardlinkstatus.h"

#include <string>

#include "exchange/scoreboardcontroller.h"
#include "views/controltable.h"

namespace {

void AppendAscii(std::u16string& out, const std::string& text) { out.append(text.begin(), text.end()); }

}  // namespace

std::optional<std::u16string> TBoardLinkStatus::OnScoreboardState(std::uintptr_t state, std::intptr_t value) {
  switch (state) {
    case bsAddress:
      boardAddress_ = static_cast<std::uint32_t>(value);
      return std::nullopt;
    case bsConnected: {
      std::u16string text = u"Табло подключено";
      AppendAscii(text, " (" + std::to_string(static_cast<std::int32_t>(value)) + ")");
      if (boardAddress_ != 0) {
        // First octet in the lowest byte, as socket functions keep it.
        AppendAscii(text, " " + std::to_string(boardAddress_ & 0xFFu) + "." +
                              std::to_string((boardAddress_ >> 8) & 0xFFu) + "." +
                              std::to_string((boardAddress_ >> 16) & 0xFFu) + "." +
                              std::to_string((boardAddress_ >> 24) & 0xFFu));
      }
      boardAliveTicks_ = kAliveTicks;
      return text;
    }
    case bsDisconnected:
      boardAddress_ = 0;
      return std::u16string(kBoardDisconnectedText);
    default:
      return std::nullopt;
  }
}

TBoardLinkStatus::TTick TBoardLinkStatus::OnTimer() {
  TTick tick;
  if (boardAliveTicks_ == 0) return tick;
  --boardAliveTicks_;
  if (boardAliveTicks_ == 0) tick.panelText = std::u16string(kBoardDisconnectedText);
  tick.sendBrightness = true;
  return tick;
}
