// The Win32 window driven the way the operator and the exchange thread drive
// it: button clicks, function keys through the message loop's key preview,
// the track bar, the feed over loopback TCP into the virtual list, board
// reports into the status bar, close to the tray and "Выход".
#include <windows.h>

#include <chrono>
#include <commctrl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "exchangetestsupport.h"
#include "faces/win32/win32mainform.h"
#include "platform/programfolder.h"
#include "platform/textcodec.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string ReadText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::wstring W(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

class Win32FaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fake_.Loaded()) << "fakescoreboard.dll beside the test";
    fake_.Reset();
    folder_ = fs::temp_directory_path() / ("brelvo-win32face-" + std::to_string(GetCurrentProcessId()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override {
    fake_.settle = nullptr;
    form_.reset();
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  void WriteSettings(const std::string& text) { std::ofstream(folder_ / "scoreboard.ini", std::ios::binary) << text; }

  void MakeForm(bool withFakeBoard = true) {
    TmainFormEnvironment environment;
    environment.programFolder = folder_;
    environment.webPort = 0;  // other programs may be testing at the same time
    environment.libraryName = withFakeBoard ? exchangetest::FakeBoard::kLibraryName : "nosuchcontroller.dll";
    environment.enumerateSerialPorts = [](platform::TSerialPortInfo*, int& count) {
      count = 0;
      return 1;
    };
    form_ = std::make_unique<TWin32MainForm>(std::move(environment));
    // The board thread makes the calls: read them once it has made all asked for.
    fake_.settle = [this] {
      if (form_ == nullptr) return;
      TScoreboardExchangeThread* thread = form_->Console().ExchangeThread();
      if (thread == nullptr) return;
      EXPECT_TRUE(thread->WaitForBoard(std::chrono::seconds(10))) << "the board thread is stuck";
    };
    form_->Start(SW_SHOWNOACTIVATE);
    Pump();
  }

  void Pump() { ProcessPendingMessages(*form_); }

  // Pumps the window's queue until pred() holds.
  bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit = 10s) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
      if (std::chrono::steady_clock::now() > until) return false;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
      Pump();
    }
    return true;
  }

  HWND Control(TControlId id) const { return form_->Control(id); }

  int Count(int operation) {
    int n = 0;
    for (const TFakeCall& call : fake_.Calls()) n += call.operation == operation ? 1 : 0;
    return n;
  }
  std::vector<TFakeCall> CallsOf(int operation) {
    std::vector<TFakeCall> out;
    for (const TFakeCall& call : fake_.Calls())
      if (call.operation == operation) out.push_back(call);
    return out;
  }

  std::wstring StatusText(int panel) {
    wchar_t text[256] = {};
    SendMessageW(Control(TControlId::mainStatusBar), SB_GETTEXTW, static_cast<WPARAM>(panel),
                 reinterpret_cast<LPARAM>(text));
    return text;
  }

  std::wstring CellText(int row, int column) {
    wchar_t text[256] = {};
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = static_cast<int>(std::size(text));
    SendMessageW(Control(TControlId::lvScoreboard), LVM_GETITEMTEXTW, static_cast<WPARAM>(row),
                 reinterpret_cast<LPARAM>(&item));
    return text;
  }

  // A key pressed while `focus` has the focus, through the message loop.
  void PressKey(HWND focus, WPARAM key) {
    SetFocus(focus);
    PostMessageW(focus, WM_KEYDOWN, key, 1);
    PostMessageW(focus, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));
    Pump();
  }

  exchangetest::FakeBoard fake_;
  fs::path folder_;
  std::unique_ptr<TWin32MainForm> form_;
};

TEST_F(Win32FaceTest, ButtonsKeysAndTrackBarReachTheBoard) {
  MakeForm();
  const int clears = Count(foClearBoard);
  SendMessageW(Control(TControlId::sbClearScoreboard), BM_CLICK, 0, 0);
  EXPECT_EQ(Count(foClearBoard), clears + 1);

  // F1–F4 act while the focus is in the address edit (key preview in the
  // message loop), also with Ctrl held.
  HWND address = Control(TControlId::srcHostAddress);
  PressKey(address, VK_F1);
  EXPECT_EQ(Count(foClearBoard), clears + 2);
  PressKey(address, VK_F3);
  EXPECT_EQ(Count(foStartLight), 1);
  PressKey(address, VK_F4);
  EXPECT_EQ(Count(foFinishLight), 1);
  PressKey(address, VK_F5);
  EXPECT_EQ(Count(foClearBoard), clears + 2);

  // Shift held at the mouse press on "Обновить F2" asks for the test
  // pattern; F2 keeps asking for it.
  HWND refresh = Control(TControlId::sbRefreshScoreboard);
  SendMessageW(refresh, WM_LBUTTONDOWN, MK_LBUTTON | MK_SHIFT, MAKELPARAM(5, 5));
  SendMessageW(refresh, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
  EXPECT_TRUE(form_->Console().TestPatternRequested());
  SendMessageW(refresh, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  SendMessageW(refresh, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
  EXPECT_FALSE(form_->Console().TestPatternRequested());

  // Every position the track bar reports is sent.
  HWND brightness = Control(TControlId::tbBrightness);
  for (int position : {12, 5}) {
    SendMessageW(brightness, TBM_SETPOS, TRUE, position);
    SendMessageW(form_->Handle(), WM_HSCROLL, MAKEWPARAM(TB_THUMBTRACK, position),
                 reinterpret_cast<LPARAM>(brightness));
  }
  const auto sent = CallsOf(foSetBrightness);
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ(sent[sent.size() - 2].args[0], 12);
  EXPECT_EQ(sent.back().args[0], 5);
}

TEST_F(Win32FaceTest, FeedFillsTheLogAndTheListAndReportsFillTheStatusBar) {
  exchangetest::LoopbackServer server;
  WriteSettings("Port: " + std::to_string(server.Port()) + "\nComPort:2\n");
  MakeForm();
  SendMessageW(Control(TControlId::cbScoreboardLog), BM_CLICK, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return server.Accept(10ms); }));
  // The feed is 8-bit text in the tracks' code page.
  ASSERT_TRUE(
      server.Send(platform::Utf16ToAnsi(u"$I,\"00:00:00\",\"0/0/0000\"\r\n"
                                        u"$A,\"11\",\"11\",1001,\"Анна\",\"\",\"\",1\r\n"
                                        u"$A,\"22\",\"22\",1002,\"Борис\",\"\",\"\",1\r\n"
                                        u"$F,9999,\"00:10:00\",\"10:00:00\",\"00:01:00\",\"Green \"\r\n"
                                        u"$G,1,\"22\",3,\"00:03:00.000\"\r\n"
                                        u"$G,2,\"11\",3,\"00:03:01.500\"\r\n"
                                        u"$H,1,\"11\",2,\"00:00:58.000\"\r\n"
                                        u"$H,2,\"22\",3,\"00:00:59.000\"\r\n")));
  HWND list = Control(TControlId::lvScoreboard);
  ASSERT_TRUE(PumpUntil([&] { return SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 2; }));
  // Best-lap mode: ordered by best lap; the cells come from the console.
  ASSERT_TRUE(PumpUntil([&] { return CellText(0, 2) == L"Анна"; })) << CellText(0, 2);
  EXPECT_EQ(CellText(1, 0), L"2");
  SendMessageW(Control(TControlId::rbRace), BM_CLICK, 0, 0);
  EXPECT_EQ(CellText(0, 2), L"Борис");
  EXPECT_NE(ReadText(folder_ / "scoreboard.ini").find("ScoreboardMode:1"), std::string::npos);

  // Every line went through Synchronize to this window into the log.
  HWND log = Control(TControlId::mScoreboardSourceLog);
  ASSERT_TRUE(PumpUntil([&] { return form_->LogLineCount() >= 8; }));
  wchar_t text[4096] = {};
  GetWindowTextW(log, text, static_cast<int>(std::size(text)));
  EXPECT_NE(std::wstring(text).find(L"$A,\"22\",\"22\",1002,\"Борис\""), std::wstring::npos);

  PostMessageW(form_->Handle(), WM_SCOREBOARD_STATE, bsAddress, 0x0302010A);
  PostMessageW(form_->Handle(), WM_SCOREBOARD_STATE, bsConnected, 2);
  Pump();
  EXPECT_EQ(StatusText(0), W(u"Табло подключено (2) 10.1.2.3"));
  EXPECT_EQ(StatusText(kFeedStatusPanel), W(u"Источник: подключено"));
  EXPECT_EQ(StatusText(kStatusPanelCount - 1), L"");
}

TEST_F(Win32FaceTest, TheLongestStatusTextsFitTheirPanels) {
  MakeForm();
  // Measured in the status bar's own font, inside the panel's borders.
  HWND bar = Control(TControlId::mainStatusBar);
  HDC dc = GetDC(bar);
  auto font = reinterpret_cast<HFONT>(SendMessageW(bar, WM_GETFONT, 0, 0));
  HGDIOBJ old = SelectObject(dc, font != nullptr ? font : GetStockObject(DEFAULT_GUI_FONT));
  int borders[3] = {};
  SendMessageW(bar, SB_GETBORDERS, 0, reinterpret_cast<LPARAM>(borders));
  const std::pair<int, std::u16string> longest[] = {
      {kBoardStatusPanel, u"Табло подключено (2) 10.1.2.3"},
      {kFeedStatusPanel, u"Источник: нет связи (255.255.255.255:65535)"},
  };
  for (const auto& [panel, text] : longest) {
    RECT part{};
    SendMessageW(bar, SB_GETRECT, static_cast<WPARAM>(panel), reinterpret_cast<LPARAM>(&part));
    SIZE size{};
    const std::wstring wide(text.begin(), text.end());
    GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size);
    const int room = part.right - part.left - 2 * borders[2] - 2 * GetSystemMetrics(SM_CXEDGE);
    EXPECT_LE(size.cx, room) << "panel " << panel << ": text " << size.cx << " px, room " << room << " px";
  }
  SelectObject(dc, old);
  ReleaseDC(bar, dc);
}

TEST_F(Win32FaceTest, CloseHidesToTheTrayAndExitSavesTheSettings) {
  MakeForm(false);
  fs::remove(folder_ / "scoreboard.ini");
  SendMessageW(Control(TControlId::tbBrightness), TBM_SETPOS, TRUE, 7);
  SendMessageW(form_->Handle(), WM_CLOSE, 0, 0);
  Pump();
  EXPECT_TRUE(IsWindow(form_->Handle()));
  EXPECT_FALSE(IsWindowVisible(form_->Handle()));
  EXPECT_TRUE(form_->TrayIconShown());
  EXPECT_FALSE(fs::exists(folder_ / "scoreboard.ini"));

  // A click on the icon brings the window back and hides the icon.
  SendMessageW(form_->Handle(), TWin32MainForm::kTrayMessage, 1, WM_LBUTTONUP);
  EXPECT_TRUE(IsWindowVisible(form_->Handle()));
  EXPECT_FALSE(form_->TrayIconShown());

  SendMessageW(form_->Handle(), WM_CLOSE, 0, 0);
  Pump();
  // "Выход" from the tray menu.
  SendMessageW(form_->Handle(), WM_COMMAND, MAKEWPARAM(TWin32MainForm::CommandId(TControlId::N1), 0), 0);
  Pump();
  EXPECT_EQ(form_->Handle(), nullptr);
  const std::string settings = ReadText(folder_ / "scoreboard.ini");
  EXPECT_EQ(settings.find("Host: 127.0.0.1"), 0u) << settings;
  EXPECT_NE(settings.find("Brightness:7"), std::string::npos) << settings;
}

// Windows logs off or shuts down with the program hidden in the tray: the
// session may end, and the end keeps the day's brightness and lets the
// board library close its port, as "Выход" would.
TEST_F(Win32FaceTest, SessionEndIsAnsweredAndRunsTheEnd) {
  MakeForm();
  SendMessageW(form_->Handle(), WM_CLOSE, 0, 0);
  Pump();
  fs::remove(folder_ / "scoreboard.ini");
  SendMessageW(Control(TControlId::tbBrightness), TBM_SETPOS, TRUE, 6);
  ASSERT_EQ(fake_.LiveControllers(), 1);
  EXPECT_EQ(SendMessageW(form_->Handle(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
  EXPECT_FALSE(fs::exists(folder_ / "scoreboard.ini")) << "asking is not ending";
  SendMessageW(form_->Handle(), WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
  EXPECT_NE(ReadText(folder_ / "scoreboard.ini").find("Brightness:6"), std::string::npos);
  EXPECT_EQ(fake_.LiveControllers(), 0) << "the controller was not deleted";
}

}  // namespace
