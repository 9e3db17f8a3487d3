#include "views/boardlinkstatus.h"

#include <string>

#include "exchange/scoreboardcontroller.h"
#include "views/controltable.h"

namespace {

void AppendAscii(std::u16string& out, const std::string& text) { out.append(text.begin(), text.end()); }

}  // namespace

std::optional<std::u16string> ControllerProblemText(const TControllerLoad& load) {
  // Short enough for the board panel beside the feed and page panels.
  const std::u16string library = platform::kWindowsLibraries ? u"DLL" : u"библиотека";
  switch (load.problem) {
    case cpNone:
    case cpAbsent:
      return std::nullopt;
    case cpOtherBitness: {
      std::u16string text = u"Табло: " + library + (load.libraryBits == 32 ? u" 32-бит" : u" 64-бит");
      if (platform::kWindowsLibraries)
        return text + (load.libraryBits == 32 ? u", нужен win32" : u", нужен win64");
      return text + (load.libraryBits == 32 ? u", нужна сборка 32-бит" : u", нужна сборка 64-бит");
    }
    case cpNotLibrary:
      return platform::kWindowsLibraries ? u"Табло: DLL испорчена, замените"
                                         : u"Табло: библиотека испорчена, замените";
    case cpLoadFailed: {
      std::u16string text = u"Табло: " + library + u" не загрузилась";
      if (load.systemError != 0) AppendAscii(text, " (" + std::to_string(load.systemError) + ")");
      return text;
    }
    case cpNoExports:
      return u"Табло: " + library + u" без функций табло";
    case cpNoController:
      return u"Табло: " + library + u" не дала контроллер";
  }
  return std::nullopt;
}

std::optional<std::u16string> TBoardLinkStatus::OnControllerLoad(const TControllerLoad& load) {
  std::optional<std::u16string> text = ControllerProblemText(load);
  if (text) libraryProblem_ = true;
  return text;
}

std::optional<std::u16string> TBoardLinkStatus::OnScoreboardState(std::uintptr_t state, std::intptr_t value) {
  if (libraryProblem_) return std::nullopt;
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
  if (boardAliveTicks_ == 0 || libraryProblem_) return tick;
  --boardAliveTicks_;
  if (boardAliveTicks_ == 0) tick.panelText = std::u16string(kBoardDisconnectedText);
  tick.sendBrightness = true;
  return tick;
}
