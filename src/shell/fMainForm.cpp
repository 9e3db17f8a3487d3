#include "shell/fMainForm.h"

#include <algorithm>
#include <string>
#include <system_error>
#include <vector>

#include "archive/feedarchive.h"
#include "exchange/scoreboardexchangethread.h"
#include "platform/debugoutput.h"
#include "platform/localaddress.h"
#include "platform/programfolder.h"
#include "platform/textcodec.h"
#include "shell/portchoice.h"
#include "shell/settingsfile.h"
#include "shell/webstatus.h"
#include "standings/competitors.h"
#include "web/webserver.h"

namespace {

std::string ComPortName(std::int32_t number) { return "COM" + std::to_string(number); }

// A century; more is read as "keep everything" all the same.
constexpr std::uint32_t kMostArchiveDays = 36500;
constexpr std::u16string_view kArchiveStoppedText = u"Архив: запись остановлена";

}  // namespace

TmainForm::TmainForm(TmainFormView& view, TmainFormEnvironment environment)
    : view_(view), environment_(std::move(environment)), feedLog_(view), pictureOutput_(view) {
  if (environment_.programFolder.empty()) environment_.programFolder = platform::ProgramFolder();
  if (!environment_.enumerateSerialPorts) environment_.enumerateSerialPorts = platform::EnumerateSerialPorts;
  if (!environment_.lanAddress) environment_.lanAddress = platform::LanIpv4Address;
  brightness_ = view_.Position(TControlId::tbBrightness);
  std::error_code ignored;
  std::filesystem::create_directory(environment_.programFolder / kArchiveFolderName, ignored);
}

TmainForm::~TmainForm() {
  // First, while the feed log and the web server it may still be handing
  // to exist.
  exchangeThread.reset();
  webServer_.reset();
}

std::filesystem::path TmainForm::SettingsPath() const { return environment_.programFolder / kSettingsFileName; }

void TmainForm::FormCreate() {
  if (exchangeThread != nullptr) return;  // the one thread is never replaced
  LoadSettings();
  SelectBoardPort();
  StartWebServer();

  TScoreboardExchangeThread::Options options;
  options.libraryName = environment_.libraryName;
  options.controllerConvention = controllerConvention_;
  options.snapshotSink = webServer_.get();
  options.feedLog = [this](const std::u16string& line) { LogLastLine(line); };
  if (archiveDays_ > 0) {
    TArchiveOptions archiveOptions;
    archiveOptions.folder = environment_.programFolder / kArchiveFolderName;
    archiveOptions.archiveDays = archiveDays_;
    archive_ = std::make_unique<TFeedArchive>(std::move(archiveOptions));
    TFeedArchive* archive = archive_.get();
    options.feedConnected = [archive] { archive->FeedConnected(); };
    options.feedReceived = [archive](const char* bytes, std::size_t size) { archive->FeedReceived(bytes, size); };
  }
  // The library is loaded on the board thread; the window learns how that
  // went from enControllerLoaded and is never held by a slow library.
  exchangeThread = std::make_unique<TScoreboardExchangeThread>(environment_.windowHandle, std::move(options));
  cbScoreboardLogClick();

  // A port text that does not convert leaves the thread's own endpoint.
  HandFeedAddressToThread();
  exchangeThread->SetScoreboardMode(startMode);
  exchangeThread->OpenScoreboardPort(ComPortName(comPortNumber));
}

void TmainForm::StartWebServer() {
  const std::uint16_t port =
      environment_.webPort ? *environment_.webPort : WebPortNumber(platform::AnsiToUtf16(webPortText_));
  if (port == 0) return;  // off: the panel stays empty
  TWebServer::Options options;
  options.publishUrl = webPublish_;
  auto server = std::make_unique<TWebServer>(options);
  const TWebListenResult result = server->Start(port);
  // A port that cannot be had leaves no server: the exchange thread makes no copies.
  if (result == TWebListenResult::Listening) {
    webServer_ = std::move(server);
  } else {
    webListenText_ = WebStatusText(result, port, {});
  }
  ShowWebStatus();
}

// The network may change under the running program (Wi-Fi that joins after
// autostart, a VPN that comes and goes): the panel follows it, and says
// when the events cannot be published onward.
void TmainForm::ShowWebStatus() {
  if (webServer_ != nullptr) {
    std::string address = environment_.lanAddress();
    if (!webAddress_ || address != *webAddress_) {
      webAddress_ = std::move(address);
      webListenText_ = WebStatusText(TWebListenResult::Listening, webServer_->Port(), *webAddress_);
    }
  }
  const std::u16string text = webServer_ == nullptr || webPublish_.empty()
                                  ? webListenText_
                                  : WebPublishStatusText(webListenText_, webServer_->Publisher());
  if (text == webPanelText_) return;
  webPanelText_ = text;
  view_.SetStatusText(kWebStatusPanel, text);
}

void TmainForm::HandFeedAddressToThread() {
  if (exchangeThread == nullptr) return;
  TFeedEntryFault fault = TFeedEntryFault::None;
  const auto endpoint =
      ConvertFeedEndpoint(view_.Text(TControlId::srcHostAddress), view_.Text(TControlId::srcHostPort), &fault);
  // A text that does not convert leaves the thread on its endpoint; the
  // panel says why and the edit keeps the text for the operator to correct.
  if (endpoint) {
    exchangeThread->SetFeedAddress(endpoint->address, endpoint->port);
    feedLink_.OnEndpoint(endpoint->address, endpoint->port);
  } else {
    feedLink_.OnEntryFault(fault);
  }
  ShowFeedStatus();
}

void TmainForm::ShowFeedStatus() {
  std::u16string text = feedLink_.Text();
  // Why it stopped is in the debugger output; the panel says that it did.
  if (archiveStoppedShown_) text.append(u"; ").append(kArchiveStoppedText);
  view_.SetStatusText(kFeedStatusPanel, text);
}

void TmainForm::FormCloseQuery(bool& canClose) {
  if (!exitRequested && view_.TrayAvailable()) {
    view_.SetTrayIconVisible(true);
    view_.HideWindow();
    canClose = false;
    return;
  }
  // Without a tray the hidden window could never be brought back or ended,
  // so an ordinary close ends the program as "Выход" does.
  canClose = true;
  view_.QuitApplication();
}

void TmainForm::FormDestroy() {
  if (destroyed_) return;
  destroyed_ = true;
  SaveSettings();
}

void TmainForm::FormEndSession() {
  if (environment_.programEnd) {
    environment_.programEnd();
  } else {
    FormEnd();
  }
}

bool TmainForm::FormEnd(std::chrono::milliseconds threadLimit) {
  if (ended_) return endStopped_;
  ended_ = true;
  // A start that failed before the file was read would overwrite it with
  // the design values.
  if (settingsRead_) FormDestroy();
  if (exchangeThread != nullptr) endStopped_ = exchangeThread->Stop(threadLimit);
  // A thread left inside the board library takes no more calls.
  if (!endStopped_) exchangeThread.reset();
  // After the thread: the last receive is in. An abandoned thread's later
  // bytes are not recorded.
  if (archive_ != nullptr) archive_->Close();
  return endStopped_;
}

void TmainForm::TrayIcon1Click() {
  view_.SetTrayIconVisible(false);
  view_.ShowWindow();
}

bool TmainForm::AnotherCopyStarted() {
  if (exitRequested || ended_) return false;
  TrayIcon1Click();
  return true;
}

void TmainForm::N1Click() {
  exitRequested = true;
  view_.CloseWindow();
}

void TmainForm::FormKeyDown(std::int32_t key, std::uint32_t shiftState) {
  (void)shiftState;  // F2 with Ctrl is F2
  if (key == vkF1) sbClearScoreboardClick();
  if (key == vkF2) sbRefreshScoreboardClick();
  if (key == vkF3) sbStartLightClick();
  if (key == vkF4) sbStopLightClick();
}

void TmainForm::LoadSettings() {
  comPortNumber = 0;
  startMode = smBestLap;
  webPortText_ = std::to_string(kDefaultWebPort);
  webPublish_.clear();
  TLoadedSettings loaded;
  const bool read = ReadSettingsFile(SettingsPath(), loaded);
  settingsRead_ = true;
  // What the file held (or the design values) is what a save keeps while
  // the edits hold an endpoint that cannot be used.
  savedHost_ = loaded.host ? *loaded.host : platform::Utf16ToAnsi(view_.Text(TControlId::srcHostAddress));
  savedPort_ = loaded.port ? *loaded.port : platform::Utf16ToAnsi(view_.Text(TControlId::srcHostPort));
  if (!read) return;
  if (loaded.host) view_.SetText(TControlId::srcHostAddress, platform::AnsiToUtf16(*loaded.host));
  if (loaded.port) view_.SetText(TControlId::srcHostPort, platform::AnsiToUtf16(*loaded.port));
  startMode = static_cast<std::int32_t>(loaded.startMode);
  // Selecting a mode button here is not the operator's mode command.
  if (loaded.radioMode) {
    selectedMode_ = *loaded.radioMode == smBestLap ? smBestLap : smRace;
    view_.SetChecked(selectedMode_ == smBestLap ? TControlId::rbBestLap : TControlId::rbRace, true);
    view_.SetChecked(selectedMode_ == smBestLap ? TControlId::rbRace : TControlId::rbBestLap, false);
  }
  if (loaded.brightness) {
    view_.SetPosition(TControlId::tbBrightness, *loaded.brightness);
    brightness_ = view_.Position(TControlId::tbBrightness);
  }
  comPortNumber = static_cast<std::int32_t>(loaded.comPort);
  if (loaded.webPort) webPortText_ = *loaded.webPort;
  controllerConvention_ = loaded.controllerConvention;
  if (loaded.webPublish) webPublish_ = *loaded.webPublish;
  if (loaded.archiveDays) archiveDays_ = static_cast<std::int32_t>(std::min(*loaded.archiveDays, kMostArchiveDays));
}

void TmainForm::SaveSettings() {
  // An endpoint that does not convert is never stored: the next start would
  // connect nowhere, and the good endpoint would be lost from the file.
  const std::u16string host = view_.Text(TControlId::srcHostAddress);
  const std::u16string port = view_.Text(TControlId::srcHostPort);
  if (ConvertFeedEndpoint(host, port)) {
    savedHost_ = platform::Utf16ToAnsi(host);
    savedPort_ = platform::Utf16ToAnsi(port);
  }
  TSettingsToSave settings;
  settings.host = savedHost_;
  settings.port = savedPort_;
  settings.mode = view_.Checked(TControlId::rbBestLap) ? smBestLap
                  : view_.Checked(TControlId::rbRace)  ? smRace
                                                       : smPractice;
  settings.brightness = static_cast<std::uint32_t>(view_.Position(TControlId::tbBrightness));
  settings.comPort = static_cast<std::uint32_t>(comPortNumber);
  settings.webPort = webPortText_;
  settings.controllerConvention = controllerConvention_;
  settings.webPublish = webPublish_;
  settings.archiveDays = static_cast<std::uint32_t>(archiveDays_);
  // A failed save keeps the old file and is tried again at the next save;
  // the operator hears of it once a run, not at every mode click.
  TSettingsSaveFault fault = TSettingsSaveFault::None;
  if (WriteSettingsFile(SettingsPath(), settings, &fault) || saveFaultShown_) return;
  saveFaultShown_ = true;
  view_.ShowMessage(TMessageKind::Warning, SettingsSaveFaultText(SettingsPath(), fault));
}

void TmainForm::cbEnableEditClick() {
  const bool on = view_.Checked(TControlId::cbEnableEdit);
  view_.SetEnabled(TControlId::srcHostAddress, on);
  view_.SetEnabled(TControlId::srcHostPort, on);
}

void TmainForm::cbScoreboardLogClick() {
  if (exchangeThread != nullptr) exchangeThread->SetFeedLogShown(view_.Checked(TControlId::cbScoreboardLog));
}

void TmainForm::sbSaveConfigClick() {
  HandFeedAddressToThread();
  SaveSettings();
}

void TmainForm::SelectBoardPort() {
  std::vector<platform::TSerialPortInfo> table(platform::kMaxSerialPorts);
  int count = 0;
  environment_.enumerateSerialPorts(table.data(), count);
  if (count < 0) count = 0;
  if (count > platform::kMaxSerialPorts) count = platform::kMaxSerialPorts;

  const TPortChoice choice = ChooseBoardPort(table.data(), count, comPortNumber);
  std::vector<std::u16string> items;
  items.reserve(choice.items.size() + 1);
  for (const std::string& name : choice.items) items.push_back(platform::AnsiToUtf16(name));
  if (choice.storedPortAbsent) items.push_back(AbsentPortItem(choice.comPortNumber));
  view_.SetItems(TControlId::cbPortsList, items, choice.selected);
  comPortNumber = choice.comPortNumber;
  if (choice.chosenAutomatically) SaveSettings();
}

void TmainForm::cbPortsListChange() {
  const auto number = ComNumberInName(platform::Utf16ToAnsi(view_.Text(TControlId::cbPortsList)));
  if (!number) return;
  comPortNumber = *number;
  if (exchangeThread != nullptr) exchangeThread->OpenScoreboardPort(ComPortName(comPortNumber));
  SaveSettings();
}

void TmainForm::sbClearScoreboardClick() {
  if (exchangeThread != nullptr) exchangeThread->ClearScoreboard();
}

void TmainForm::sbRefreshScoreboardMouseDown(bool shiftHeld) { testPatternRequested = shiftHeld; }

void TmainForm::RefreshCommand() {
  if (exchangeThread != nullptr) exchangeThread->RefreshScoreboard(testPatternRequested ? 1 : 0);
}

void TmainForm::sbRefreshScoreboardClick() { RefreshCommand(); }

void TmainForm::sbStartLightClick() {
  if (exchangeThread != nullptr) exchangeThread->SetTrafficLight(tlStart);
}

void TmainForm::sbStopLightClick() {
  if (exchangeThread != nullptr) exchangeThread->SetTrafficLight(tlFinish);
}

void TmainForm::ModeCommand(std::int32_t mode) {
  // A click on the button that is already selected is no mode change.
  if (mode == selectedMode_) return;
  selectedMode_ = mode;
  view_.SetChecked(mode == smBestLap ? TControlId::rbBestLap : TControlId::rbRace, true);
  view_.SetChecked(mode == smBestLap ? TControlId::rbRace : TControlId::rbBestLap, false);
  if (exchangeThread != nullptr) {
    exchangeThread->SetScoreboardMode(mode);
    view_.SetRowCount(exchangeThread->GetListRowCount());
    view_.RepaintList(false);
  }
  SaveSettings();
  // The board gets the table a second time, or the test pattern.
  RefreshCommand();
}

void TmainForm::rbBestLapClick() { ModeCommand(smBestLap); }

void TmainForm::rbRaceClick() { ModeCommand(smRace); }

void TmainForm::tbBrightnessChange() {
  // Every new position goes out at once; a notification without a new
  // position (a toolkit may send one at the end of a drag) sends nothing.
  const std::int32_t position = view_.Position(TControlId::tbBrightness);
  if (position == brightness_) return;
  brightness_ = position;
  if (exchangeThread != nullptr) exchangeThread->SetBrightness(position);
}

void TmainForm::SpeedButton2Click() {
  const auto file = view_.AskOpenFileName(kBmpFilterDescription, kBmpFilterPattern);
  if (file) view_.SetText(TControlId::ePathToBmp, *file);
}

void TmainForm::SpeedButton1Click() {
  pictureOutput_.Send(view_.Text(TControlId::ePathToBmp),
                      [this](const std::uint8_t* bits, std::int32_t stride, std::int32_t height) {
                        if (exchangeThread != nullptr) exchangeThread->SendPicture(bits, stride, height, 0, 0);
                      });
}

void TmainForm::SetBoardStatus(const std::u16string& text) {
  if (text != boardStatus_) {
    // A trace of the board link for whoever watches the debugger output.
    platform::DebugOutput("board status: " + platform::Utf16ToUtf8(text) + "\n");
    boardStatus_ = text;
  }
  view_.SetStatusText(kBoardStatusPanel, text);
}

void TmainForm::Timer1Timer() {
  ShowWebStatus();
  const bool archiveStopped = archive_ != nullptr && archive_->RecordingStopped();
  if (archiveStopped != archiveStoppedShown_) {
    archiveStoppedShown_ = archiveStopped;
    ShowFeedStatus();
  }
  const TBoardLinkStatus::TTick tick = boardLink_.OnTimer();
  if (tick.panelText) SetBoardStatus(*tick.panelText);
  if (tick.sendBrightness && exchangeThread != nullptr) {
    exchangeThread->SetBrightness(view_.Position(TControlId::tbBrightness));
  }
  ShowWebStatus();  // the publish's failure and recovery come from the web thread
}

void TmainForm::WindowMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  if (message == WM_EXCHANGE_NOTIFY) {
    if (wParam == static_cast<std::uintptr_t>(enTableCleared)) {
      view_.SetRowCount(0);
      view_.RepaintList(true);
    } else if (wParam == static_cast<std::uintptr_t>(enTableSent) && exchangeThread != nullptr) {
      view_.SetRowCount(exchangeThread->GetListRowCount());
      view_.RepaintList(true);
    } else if (wParam == static_cast<std::uintptr_t>(enControllerLoaded)) {
      if (exchangeThread == nullptr) return;
      if (const auto problem = boardLink_.OnControllerLoad(exchangeThread->ControllerLoad())) SetBoardStatus(*problem);
    } else {
      const std::u16string before = feedLink_.Text();
      feedLink_.OnExchangeNotify(wParam, lParam);
      if (feedLink_.Text() != before) ShowFeedStatus();
    }
  } else if (message == WM_SCOREBOARD_STATE) {
    const auto text = boardLink_.OnScoreboardState(wParam, lParam);
    if (text) SetBoardStatus(*text);
  }
}

void TmainForm::LogLastLine(std::u16string_view line) { feedLog_.LogLastLine(line); }

TListRowTexts TmainForm::lvScoreboardData(std::int32_t row) const { return ListRowTexts(exchangeThread.get(), row); }

std::u16string TmainForm::ListCellText(std::int32_t row, std::int32_t listColumn) const {
  return ::ListCellText(exchangeThread.get(), row, listColumn);
}

TRowPaint TmainForm::lvScoreboardDrawItem(const TRect& row, bool selectedOrGrayed,
                                          std::span<const std::int32_t> columnWidths, std::int32_t spaceHeight) const {
  const auto subItems = exchangeThread != nullptr ? kResultsColumnCount - 1 : 0;
  return RowPaintGeometry(row, selectedOrGrayed, columnWidths, subItems, spaceHeight);
}
