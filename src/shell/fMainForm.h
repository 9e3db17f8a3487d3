// The operator's console: what the main window decides, without a toolkit.
// A face (Qt on Linux, Win32 on Windows) creates the controls from
// views/controltable.h, implements TmainFormView, and turns the operator's
// events into the calls below; the console tells the face what to show.
// Owns the one exchange thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/serialports.h"
#include "platform/windowhandlefwd.h"
#include "views/boardlinkstatus.h"
#include "views/controltable.h"
#include "views/feedlinkstatus.h"
#include "views/feedlog.h"
#include "views/mainformview.h"
#include "views/pictureoutput.h"
#include "views/resultslist.h"

class TScoreboardExchangeThread;
class TWebServer;
class TFeedArchive;

// The board's traffic lights, as SetTrafficLight takes them.
enum TTrafficLight : std::int32_t {
  tlStart = 1,
  tlFinish = 2,
};

// Windows virtual-key codes of the function keys; the faces map their
// toolkit's keys to these.
enum TFunctionKey : std::int32_t {
  vkF1 = 0x70,
  vkF2 = 0x71,
  vkF3 = 0x72,
  vkF4 = 0x73,
};

// What the window takes from its surroundings; the program uses the
// defaults, tests point them elsewhere.
struct TmainFormEnvironment {
  // Holds scoreboard.ini and Archive. Empty: the program folder.
  std::filesystem::path programFolder;
  std::string libraryName = "scoreboardcontroller.dll";
  // Empty: the platform's discovery.
  std::function<int(platform::TSerialPortInfo* table, int& count)> enumerateSerialPorts;
  // Where the exchange thread and the controller library post their
  // messages and run the feed log; the face routes both to WindowMessage
  // and the Synchronize calls to the GUI thread.
  TWindowHandle windowHandle = nullptr;
  // Set: the results page's port in place of the settings file's WebPort
  // (0: off). Tests set it, so that programs started at the same time do
  // not compete for one port.
  std::optional<std::uint16_t> webPort;
  // The computer's address on the track's network, asked at start and at
  // each tick of Timer1. Empty: the platform's.
  std::function<std::string()> lanAddress;
  // The program's one end (see shell/program.h), which ends the process;
  // what a Windows session end or the system's end request runs. Empty
  // (tests): FormEnd alone.
  std::function<void()> programEnd;
};

// How long the end waits for the exchange thread to close the feed and the
// board library to close its port: past a feed connect in flight (3 s).
inline constexpr std::chrono::milliseconds kEndThreadLimit{4000};

class TmainForm {
 public:
  // Construction after the face has created its controls: makes the Archive
  // folder in the program folder (a failure is ignored), where the feed is
  // recorded from FormCreate on.
  TmainForm(TmainFormView& view, TmainFormEnvironment environment);
  // The program never destroys the window (the process ends after "Выход");
  // tests do: the exchange thread is stopped and joined here.
  ~TmainForm();
  TmainForm(const TmainForm&) = delete;
  TmainForm& operator=(const TmainForm&) = delete;

  // LoadSettings, SelectBoardPort, the feed archive, the results page's
  // server, the exchange thread, its endpoint, mode and serial port, in
  // this order.
  void FormCreate();
  // An ordinary close request. Without "Выход" the window hides to the tray
  // and the close is refused; with it (or where the desktop has no tray, so
  // that the program can still be ended) the close passes and the console
  // asks the face to end the message loop.
  void FormCloseQuery(bool& canClose);
  void FormDestroy();  // SaveSettings, once
  // Windows asks whether the session may end (log off, shutdown, restart):
  // yes; the end follows.
  bool FormQueryEndSession() const { return true; }
  // Windows ends the session: the program's one end, as after "Выход".
  void FormEndSession();
  // The end itself, once: SaveSettings (when the settings were read), the
  // exchange thread stopped and the controller deleted within `threadLimit`
  // (abandoned past it), then every byte of the archive still waiting
  // written, synced and closed. False when the thread had to be abandoned.
  bool FormEnd(std::chrono::milliseconds threadLimit = kEndThreadLimit);
  void TrayIcon1Click();
  // Someone started the program again: the running copy is what they want
  // to see, so it comes out of the tray as a tray click would bring it.
  // False once "Выход" or the end has begun: nothing to show.
  bool AnotherCopyStarted();
  void N1Click();
  // Every key press of the window before the focused control sees it;
  // modifiers are not looked at, the key is not consumed.
  void FormKeyDown(std::int32_t key, std::uint32_t shiftState);

  // Operator commands, under the names the operators' manual uses.
  void sbClearScoreboardClick();
  void sbRefreshScoreboardMouseDown(bool shiftHeld);
  void sbRefreshScoreboardClick();
  void sbStartLightClick();
  void sbStopLightClick();
  // A click on a mode button; runs the mode command only when that button
  // was not already the selected one.
  void rbBestLapClick();
  void rbRaceClick();
  void tbBrightnessChange();  // the track bar's position changed
  void cbEnableEditClick();
  void cbScoreboardLogClick();
  void sbSaveConfigClick();
  void cbPortsListChange();
  void SpeedButton2Click();
  void SpeedButton1Click();
  void Timer1Timer();

  void LoadSettings();
  void SaveSettings();
  void SelectBoardPort();

  // The one handler of WM_EXCHANGE_NOTIFY and WM_SCOREBOARD_STATE; other
  // messages are ignored.
  void WindowMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
  // The exchange thread's feed-log hand-over, on the GUI thread.
  void LogLastLine(std::u16string_view line);

  // The results list asks for its texts and row geometry here.
  TListRowTexts lvScoreboardData(std::int32_t row) const;
  std::u16string ListCellText(std::int32_t row, std::int32_t listColumn) const;
  TRowPaint lvScoreboardDrawItem(const TRect& row, bool selectedOrGrayed, std::span<const std::int32_t> columnWidths,
                                 std::int32_t spaceHeight) const;

  std::filesystem::path SettingsPath() const;
  std::int32_t ComPortNumber() const { return comPortNumber; }
  std::int32_t StartMode() const { return startMode; }
  std::int32_t ArchiveDays() const { return archiveDays_; }
  // The feed archive, null while "ArchiveDays" is 0.
  TFeedArchive* FeedArchive() const { return archive_.get(); }
  bool TestPatternRequested() const { return testPatternRequested; }
  bool ExitRequested() const { return exitRequested; }
  TScoreboardExchangeThread* ExchangeThread() const { return exchangeThread.get(); }
  TWebServer* WebServer() const { return webServer_.get(); }
  const TBoardLinkStatus& BoardLinkStatus() const { return boardLink_; }
  const TFeedLinkStatus& FeedLinkStatus() const { return feedLink_; }
  std::span<const std::uint8_t> PictureBuffer() const { return pictureOutput_.Buffer(); }

 private:
  void ModeCommand(std::int32_t mode);
  void RefreshCommand();
  void SetBoardStatus(const std::u16string& text);
  void HandFeedAddressToThread();
  void StartWebServer();
  void ShowWebStatus();
  void ShowFeedStatus();

  TmainFormView& view_;
  TmainFormEnvironment environment_;

  std::int32_t comPortNumber = 0;
  std::int32_t startMode = 0;         // a TScoreboardMode, any number the file held
  std::int32_t archiveDays_ = 60;     // 0: the feed is not recorded
  std::string webPortText_ = "8080";  // WebPort as the file held it
  TConventionSetting controllerConvention_ = csAuto;
  std::string webPublish_;            // WebPublish as the file held it
  std::u16string webListenText_;      // the web panel as the server's start left it
  std::u16string webPanelText_;       // the web panel now
  // Declared before the thread that feeds them, so they outlive the thread.
  std::unique_ptr<TFeedArchive> archive_;
  std::unique_ptr<TWebServer> webServer_;
  std::optional<std::string> webAddress_;  // shown in the web panel while the page is served
  std::unique_ptr<TScoreboardExchangeThread> exchangeThread;
  bool exitRequested = false;
  bool testPatternRequested = false;
  bool destroyed_ = false;
  bool archiveStoppedShown_ = false;  // the feed panel says the archive stopped
  bool saveFaultShown_ = false;  // the failed save's message, once a run
  bool settingsRead_ = false;  // LoadSettings ran to its end: a save keeps what the file held
  bool ended_ = false;
  bool endStopped_ = true;
  // The mode button the operator last saw selected, so a click on it again
  // is not a mode change.
  std::int32_t selectedMode_ = 0;
  std::int32_t brightness_ = 16;
  std::u16string boardStatus_ = std::u16string(kBoardStartText);

  // The endpoint texts last stored that convert; SaveSettings writes these
  // while the edits hold an address or port that cannot be used.
  std::string savedHost_;
  std::string savedPort_;

  TBoardLinkStatus boardLink_;
  TFeedLinkStatus feedLink_;
  TFeedLog feedLog_;
  TPictureOutput pictureOutput_;
};
