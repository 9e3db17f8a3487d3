// The Windows side of the Windows road test, run under wine beside the
// program:
//   probe expect <recording> <mode>  the rows the board must end with, one per
//                                    line, from the proxy's own parser and table
//   probe status                     status panel 0 of the running window
//   probe log-on                     ticks "Лог обмена" in the running window
//   probe brightness <n>             moves the brightness track bar to n
//   probe exit                       "Выход" from the tray menu
#include <windows.h>

#include <commctrl.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "faces/win32/win32mainform.h"
#include "feedreplay.h"

namespace {

int Expect(const char* recording, int mode) {
  std::ifstream file(recording, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (bytes.empty()) {
    std::fprintf(stderr, "probe: cannot read %s\n", recording);
    return 2;
  }
  const e2e::TFeedOutcome outcome = e2e::ReplayFeed(bytes, mode);
  for (const e2e::TBoardRow& row : outcome.rows) std::printf("%s\n", e2e::Describe(row).c_str());
  return 0;
}

HWND MainWindow() { return FindWindowW(L"TmainForm", L"Brelvo Proxy"); }

// Ticks "Лог обмена" as the operator would (the figure script's log-on runs).
int TickFeedLog() {
  HWND window = MainWindow();
  HWND box = window != nullptr ? FindWindowExW(window, nullptr, L"Button", L"Лог обмена") : nullptr;
  if (box == nullptr) return 1;
  if (SendMessageW(box, BM_GETCHECK, 0, 0) != BST_CHECKED) SendMessageW(box, BM_CLICK, 0, 0);
  return 0;
}

// Only the end stores a brightness: the operator's slider, as it stands.
int Brightness(int position) {
  HWND window = MainWindow();
  HWND bar = window != nullptr ? FindWindowExW(window, nullptr, TRACKBAR_CLASSW, nullptr) : nullptr;
  if (bar == nullptr) return 1;
  SendMessageW(bar, TBM_SETPOS, TRUE, position);
  SendMessageW(window, WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, position), reinterpret_cast<LPARAM>(bar));
  return 0;
}

// The tray menu's item, as its click reaches the window.
int Exit() {
  HWND window = MainWindow();
  if (window == nullptr) return 1;
  return PostMessageW(window, WM_COMMAND, MAKEWPARAM(TWin32MainForm::CommandId(TControlId::N1), 0), 0) ? 0 : 1;
}

int Status() {
  HWND window = MainWindow();
  if (window == nullptr) return 1;
  HWND status = FindWindowExW(window, nullptr, STATUSCLASSNAMEW, nullptr);
  if (status == nullptr) return 1;
  // A status bar answers WM_GETTEXT with its first panel, and WM_GETTEXT
  // crosses process boundaries.
  wchar_t text[256] = {};
  SendMessageW(status, WM_GETTEXT, std::size(text), reinterpret_cast<LPARAM>(text));
  char utf8[1024] = {};
  WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
  std::printf("%s\n", utf8);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "expect") == 0) return Expect(argv[2], std::atoi(argv[3]));
  if (argc == 2 && std::strcmp(argv[1], "status") == 0) return Status();
  if (argc == 2 && std::strcmp(argv[1], "log-on") == 0) return TickFeedLog();
  if (argc == 3 && std::strcmp(argv[1], "brightness") == 0) return Brightness(std::atoi(argv[2]));
  if (argc == 2 && std::strcmp(argv[1], "exit") == 0) return Exit();
  std::fprintf(stderr, "usage: probe expect <recording> <mode> | probe status\n");
  return 2;
}
