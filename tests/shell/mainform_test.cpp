// The console's window rules through the view double, with the real
// exchange thread, a loopback feed and the recording controller library.
#include <atomic>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "archive/feedarchive.h"
#include "exchange/scoreboardexchangethread.h"
#include "exchangetestsupport.h"
#include "platform/dynamiclibrary.h"
#include "platform/textcodec.h"
#include "shell/fMainForm.h"
#include "standings/competitors.h"
#include "support/mainformviewdouble.h"
#include "web/webserver.h"

namespace {

using exchangetest::FakeBoard;

// The settings file's text with its line ends as "\n" (CR LF on Windows).
std::string ReadText(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string text(std::istreambuf_iterator<char>(in), {});
  std::erase(text, '\r');
  return text;
}

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fake_.Loaded()) << "fakescoreboard beside the test";
    fake_.Reset();
    folder_ = std::filesystem::temp_directory_path() /
              ("brelvo-console-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override {
    DestroyForm();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  // Off unless a test says otherwise: other programs may be testing at the
  // same time.
  std::optional<std::uint16_t> webPort_ = 0;
  std::function<std::string()> lanAddress_;  // empty: the computer's

  TmainForm& MakeForm(bool withFakeBoard = true, const std::string& library = {}) {
    TmainFormEnvironment environment;
    environment.programFolder = folder_;
    environment.webPort = webPort_;
    environment.lanAddress = lanAddress_;
    environment.libraryName = withFakeBoard ? FakeBoard::kLibraryName : "nosuchcontroller.dll";
    if (!library.empty()) environment.libraryName = library;
    environment.windowHandle = window_.Handle();
    environment.enumerateSerialPorts = [this](platform::TSerialPortInfo* table, int& count) {
      count = 0;
      for (const auto& port : ports_) table[count++] = port;
      return 1;
    };
    form_ = std::make_unique<TmainForm>(view_, std::move(environment));
    view_.form = form_.get();
    // The board calls are made on the board thread: what the fake recorded
    // is read once it has made every call asked for.
    fake_.settle = [this] {
      if (form_ == nullptr || form_->ExchangeThread() == nullptr) return;
      EXPECT_TRUE(form_->ExchangeThread()->WaitForBoard(std::chrono::seconds(10))) << "the board thread is stuck";
    };
    return *form_;
  }
  // The thread may be inside a blocking call onto the window: keep the
  // window's queue moving while it is stopped.
  void DestroyForm() {
    fake_.settle = nullptr;
    if (!form_) return;
    std::atomic<bool> done{false};
    std::thread destroyer([&] {
      form_.reset();
      done = true;
    });
    while (!done) window_.Pump();
    destroyer.join();
  }
  // Hands what the thread and the library posted to the console, in order.
  void Deliver() {
    const auto messages = window_.Messages();
    for (std::size_t i = delivered_; i < messages.size(); ++i) {
      form_->WindowMessage(messages[i].message, messages[i].wParam, messages[i].lParam);
    }
    delivered_ = messages.size();
  }
  bool WaitFor(const std::function<bool()>& pred) {
    return exchangetest::WaitUntil(window_, [&] {
      Deliver();
      return pred();
    });
  }
  void WriteSettings(const std::string& text) { std::ofstream(Settings(), std::ios::binary) << text; }
  std::filesystem::path Settings() const { return folder_ / "scoreboard.ini"; }
  std::vector<TFakeCall> CallsOf(int operation) {
    std::vector<TFakeCall> out;
    for (const TFakeCall& call : fake_.Calls()) {
      if (call.operation == operation) out.push_back(call);
    }
    return out;
  }
  int Count(int operation) { return static_cast<int>(CallsOf(operation).size()); }
  std::u16string LastOpenedPort() {
    const auto open = CallsOf(foOpenPort);
    return open.empty() ? std::u16string() : std::u16string(open.back().name);
  }

  std::filesystem::path folder_;
  exchangetest::TestWindow window_;
  FakeBoard fake_;
  TMainFormViewDouble view_;
  std::vector<platform::TSerialPortInfo> ports_;
  std::unique_ptr<TmainForm> form_;
  std::size_t delivered_ = 0;
};

TEST_F(ConsoleTest, StartHandsStoredSettingsToTheThreadWithoutSaving) {
  exchangetest::LoopbackServer server;
  WriteSettings("\xEF\xBB\xBFHost: 127.0.0.1\nPort: " + std::to_string(server.Port()) +
                "\nScoreboardMode:1\nBrightness:99\nComPort:5\n");
  const std::string before = ReadText(Settings());
  TmainForm& form = MakeForm();
  EXPECT_TRUE(std::filesystem::is_directory(folder_ / "Archive"));
  form.FormCreate();
  EXPECT_TRUE(view_.Checked(TControlId::rbRace));
  EXPECT_FALSE(view_.Checked(TControlId::rbBestLap));
  EXPECT_EQ(view_.Position(TControlId::tbBrightness), 16);
  EXPECT_EQ(form.ExchangeThread()->ScoreboardMode(), smRace);
  EXPECT_EQ(form.ComPortNumber(), 5);
  // Reading selected the mode button without the mode command: no save.
  EXPECT_EQ(ReadText(Settings()), before);
  EXPECT_EQ(Count(foOpenPort), 1);
  EXPECT_EQ(LastOpenedPort(), u"COM5");
  // The stored endpoint (behind a byte-order mark) was handed over.
  EXPECT_TRUE(server.Accept(std::chrono::seconds(8)));
}

// A library that takes its time in every call (an OpenPort of seconds, a
// row written to the serial line before it returns) holds neither the start
// nor the operator's commands; they reach the board once it answers.
TEST_F(ConsoleTest, StartAndCommandsDoNotWaitForTheLibrary) {
  WriteSettings("ComPort:3\n");
  fake_.ShutGate(true);
  struct Reopen {
    FakeBoard& board;
    ~Reopen() { board.ShutGate(false); }
  } reopen{fake_};
  TmainForm& form = MakeForm();
  std::atomic<bool> returned{false};
  std::thread gui([&] {
    form.FormCreate();
    form.sbStopLightClick();
    form.sbClearScoreboardClick();
    returned = true;
  });
  const bool answered = exchangetest::WaitUntil(
      window_, [&] { return returned.load(); }, std::chrono::seconds(10));
  if (!answered) fake_.ShutGate(false);
  gui.join();
  ASSERT_TRUE(answered) << "the window waited for the library";
  fake_.ShutGate(false);
  EXPECT_EQ(LastOpenedPort(), u"COM3");
  EXPECT_EQ(Count(foFinishLight), 1);
  const auto clears = CallsOf(foClearBoard);
  ASSERT_FALSE(clears.empty());
  EXPECT_EQ(clears.back().args[0], 1) << "the clear came last, as asked";
}

TEST_F(ConsoleTest, PracticeModeFromTheFileIsStartModeOnly) {
  WriteSettings("ScoreboardMode:2\nComPort:1\n");
  TmainForm& form = MakeForm();
  form.FormCreate();
  EXPECT_TRUE(view_.Checked(TControlId::rbBestLap));
  EXPECT_EQ(form.ExchangeThread()->ScoreboardMode(), smPractice);
  form.WindowMessage(WM_EXCHANGE_NOTIFY, enTableSent, 0);
  EXPECT_EQ(view_.RowCount(), 32);
  EXPECT_EQ(form.lvScoreboardData(31).caption, u"32");
  form.WindowMessage(WM_EXCHANGE_NOTIFY, enTableCleared, 0);
  EXPECT_EQ(view_.RowCount(), 0);
  EXPECT_EQ(view_.Repaints(), std::make_pair(2, 0));
  form.WindowMessage(WM_EXCHANGE_NOTIFY, 9, 0);
  form.WindowMessage(WM_EXCHANGE_NOTIFY + 1, enTableSent, 0);
  EXPECT_EQ(view_.RowCount(), 0);
  form.FormDestroy();
  EXPECT_NE(ReadText(Settings()).find("ScoreboardMode:0\n"), std::string::npos);
}

// A stored mode the board does not know (the last of two mode lines, here)
// starts best lap for the window and the thread alike.
TEST_F(ConsoleTest, UnknownModeFromTheFileIsBestLapEverywhere) {
  WriteSettings("ScoreboardMode:1\nScoreboardMode:7\nComPort:1\n");
  TmainForm& form = MakeForm();
  form.FormCreate();
  EXPECT_TRUE(view_.Checked(TControlId::rbBestLap));
  EXPECT_FALSE(view_.Checked(TControlId::rbRace));
  EXPECT_EQ(form.ExchangeThread()->ScoreboardMode(), smBestLap);
  const auto shows = CallsOf(foShow);
  ASSERT_FALSE(shows.empty());
  EXPECT_EQ(shows.back().args[1], smBestLap) << "the board's table carries the window's mode";
}

TEST_F(ConsoleTest, PortThatIsNotAUsablePortNumberDoesNotStopTheStart) {
  for (const char* port : {"fifty", "70000", "0"}) {
    fake_.Reset();
    WriteSettings(std::string("Port: ") + port + "\nScoreboardMode:1\n");
    TmainForm& form = MakeForm();
    form.FormCreate();
    EXPECT_EQ(form.ExchangeThread()->ScoreboardMode(), smRace) << port;
    EXPECT_EQ(LastOpenedPort(), u"COM0") << port;
    EXPECT_EQ(view_.Text(TControlId::srcHostPort), platform::AnsiToUtf16(port));
    DestroyForm();
  }
}

TEST_F(ConsoleTest, SettingsAreWrittenOnlyAtTheListedMoments) {
  WriteSettings("ComPort:7\n");
  TmainForm& form = MakeForm();
  form.FormCreate();
  EXPECT_EQ(ReadText(Settings()), "ComPort:7\n");
  std::filesystem::remove(Settings());

  view_.SetPosition(TControlId::tbBrightness, 4);
  form.tbBrightnessChange();
  view_.SetChecked(TControlId::cbEnableEdit, true);
  form.cbEnableEditClick();
  view_.SetText(TControlId::srcHostAddress, u"10.0.0.9");
  form.Timer1Timer();
  form.sbClearScoreboardClick();
  form.FormKeyDown(vkF3, 0);
  EXPECT_FALSE(std::filesystem::exists(Settings()));

  // A click on the mode button already selected is no mode change.
  form.rbBestLapClick();
  EXPECT_FALSE(std::filesystem::exists(Settings()));
  view_.SetChecked(TControlId::rbRace, true);  // the face's button changes before the click arrives
  view_.SetChecked(TControlId::rbBestLap, false);
  form.rbRaceClick();
  EXPECT_EQ(ReadText(Settings()),
            "Host: 10.0.0.9\nPort: 50000\nScoreboardMode:1\nBrightness:4\nComPort:7\nArchiveDays:60\nWebPort: 8080\n");
  std::filesystem::remove(Settings());
  form.rbRaceClick();
  EXPECT_FALSE(std::filesystem::exists(Settings()));

  view_.SetText(TControlId::srcHostPort, u"no port");
  form.sbSaveConfigClick();
  EXPECT_NE(ReadText(Settings()).find("Port: 50000\n"), std::string::npos) << "the last port that converted";
  std::filesystem::remove(Settings());

  form.FormDestroy();
  EXPECT_TRUE(std::filesystem::exists(Settings()));
  std::filesystem::remove(Settings());
  form.FormDestroy();  // once only
  EXPECT_FALSE(std::filesystem::exists(Settings()));
}

// A save that fails is said once a run, naming the file, and tried again at
// the next save; the operator's read-only file is left as it is.
TEST_F(ConsoleTest, FailedSaveIsShownOnceAndRetried) {
  WriteSettings("ComPort:7\n");
  const auto readOnly =
      std::filesystem::perms::owner_read | std::filesystem::perms::group_read | std::filesystem::perms::others_read;
  std::filesystem::permissions(Settings(), readOnly);
  TmainForm& form = MakeForm();
  form.FormCreate();
  view_.SetChecked(TControlId::rbRace, true);
  view_.SetChecked(TControlId::rbBestLap, false);
  form.rbRaceClick();
  ASSERT_EQ(view_.messages.size(), 1u);
  EXPECT_EQ(view_.messages[0].first, TMessageKind::Warning);
  EXPECT_EQ(view_.messages[0].second,
            u"Не удалось сохранить настройки в " + Settings().u16string() + u": файл только для чтения");
  EXPECT_EQ(ReadText(Settings()), "ComPort:7\n");

  // Another refusal (a folder standing in the file's place) is not said again.
  std::filesystem::permissions(Settings(), std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
  std::filesystem::remove(Settings());
  std::filesystem::create_directories(Settings() / "inside");
  form.sbSaveConfigClick();
  EXPECT_EQ(view_.messages.size(), 1u);
  std::filesystem::remove_all(Settings());
  form.FormDestroy();
  EXPECT_NE(ReadText(Settings()).find("ScoreboardMode:1\n"), std::string::npos);
  EXPECT_EQ(view_.messages.size(), 1u);
}

TEST_F(ConsoleTest, SaveHandsOnlyAUsableEndpointToTheThread) {
  exchangetest::LoopbackServer first;
  exchangetest::LoopbackServer second;
  WriteSettings("Port: " + std::to_string(first.Port()) + "\n");
  TmainForm& form = MakeForm();
  form.FormCreate();
  ASSERT_TRUE(first.Accept(std::chrono::seconds(8)));
  ASSERT_TRUE(
      first.Send("$F,9999,\"00:10:00\",\"10:00:00\",\"00:01:00\",\"Green \"\r\n"));  // connected once data comes
  // 65536 + the second port would be the second port if it wrapped: the
  // thread would drop the first connection for it.
  ASSERT_TRUE(WaitFor([&] { return view_.Status(kFeedStatusPanel) == u"Источник: подключено"; }));
  const std::string firstPort = "Port: " + std::to_string(first.Port()) + "\n";
  const std::string wrapping = std::to_string(65536 + second.Port());
  view_.SetText(TControlId::srcHostPort, platform::AnsiToUtf16(wrapping));
  form.sbSaveConfigClick();
  // Neither stored nor handed over; the panel says why, the edit keeps the text.
  EXPECT_NE(ReadText(Settings()).find(firstPort), std::string::npos);
  EXPECT_EQ(view_.Status(kFeedStatusPanel), u"Источник: неверный порт");
  EXPECT_EQ(view_.Text(TControlId::srcHostPort), platform::AnsiToUtf16(wrapping));
  EXPECT_FALSE(first.ClientClosed(std::chrono::milliseconds(300)));
  // inet_addr would make "localhost" 255.255.255.255.
  view_.SetText(TControlId::srcHostAddress, u"localhost");
  view_.SetText(TControlId::srcHostPort, platform::AnsiToUtf16(" " + std::to_string(second.Port())));
  form.sbSaveConfigClick();
  EXPECT_EQ(view_.Status(kFeedStatusPanel), u"Источник: неверный адрес");
  // The file's own Port line keeps its place, before the Host line added after it.
  EXPECT_EQ(ReadText(Settings()).find(firstPort + "Host: 127.0.0.1\n"), 0u);
  EXPECT_FALSE(first.ClientClosed(std::chrono::milliseconds(300)));

  view_.SetText(TControlId::srcHostAddress, u"127.0.0.1");
  form.sbSaveConfigClick();
  EXPECT_EQ(view_.Status(kFeedStatusPanel),
            u"Источник: нет связи (127.0.0.1:" + platform::AnsiToUtf16(std::to_string(second.Port())) + u")");
  EXPECT_TRUE(first.ClientClosed(std::chrono::seconds(2)));
  EXPECT_TRUE(second.Accept(std::chrono::seconds(8)));
  ASSERT_TRUE(second.Send("$F,9999,\"00:10:00\",\"10:00:01\",\"00:01:01\",\"Green \"\r\n"));
  ASSERT_TRUE(WaitFor([&] { return view_.Status(kFeedStatusPanel) == u"Источник: подключено"; }));

  // At exit too, a text that does not convert is not stored.
  view_.SetText(TControlId::srcHostPort, u"abc70000");
  form.FormDestroy();
  EXPECT_NE(ReadText(Settings()).find("Port:  " + std::to_string(second.Port()) + "\n"), std::string::npos);
}

TEST_F(ConsoleTest, PortChoiceAtStartAndFromTheList) {
  ports_ = {{"/dev/ttyS0", "Communications Port (COM1)"},
            {"/dev/ttyUSB0", "USB-SERIAL CH340 (COM33)"},
            {"/dev/ttyUSB1", "USB-SERIAL CH340 (COM34)"}};
  TmainForm& form = MakeForm();
  form.FormCreate();
  EXPECT_EQ(form.ComPortNumber(), 33);
  EXPECT_EQ(view_.Items().size(), 3u);
  EXPECT_EQ(view_.Selected(), 1);
  EXPECT_NE(ReadText(Settings()).find("ComPort:33\n"), std::string::npos);
  EXPECT_EQ(LastOpenedPort(), u"COM33");

  std::filesystem::remove(Settings());
  view_.Select(2);
  form.cbPortsListChange();
  EXPECT_EQ(form.ComPortNumber(), 34);
  EXPECT_EQ(LastOpenedPort(), u"COM34");
  EXPECT_NE(ReadText(Settings()).find("ComPort:34\n"), std::string::npos);

  // An entry without a port number changes nothing.
  ports_ = {{"/dev/x", "Mystery device"}};
  form.SelectBoardPort();
  std::filesystem::remove(Settings());
  view_.Select(0);
  form.cbPortsListChange();
  EXPECT_EQ(form.ComPortNumber(), 34);
  EXPECT_FALSE(std::filesystem::exists(Settings()));
  // The port in use is listed and selected even while it is absent.
  form.SelectBoardPort();
  ASSERT_EQ(view_.Items().size(), 2u);
  EXPECT_EQ(view_.Items()[1], u"COM34 (нет)");
  EXPECT_EQ(view_.Selected(), 1);
}

TEST_F(ConsoleTest, AChosenPictureShowsItsPathAtOnce) {
  TmainForm& form = MakeForm(false);
  view_.nextFileName = u"C:\\pictures\\logo.bmp";
  form.SpeedButton2Click();
  EXPECT_EQ(view_.Text(TControlId::ePathToBmp), u"C:\\pictures\\logo.bmp");
  view_.nextFileName.reset();  // cancelled
  form.SpeedButton2Click();
  EXPECT_EQ(view_.Text(TControlId::ePathToBmp), u"C:\\pictures\\logo.bmp");
}

TEST_F(ConsoleTest, EditBoxUnlocksTheSourceAndCommandsWaitForTheThread) {
  TmainForm& form = MakeForm(false);
  view_.SetChecked(TControlId::cbEnableEdit, true);
  form.cbEnableEditClick();
  EXPECT_TRUE(view_.Enabled(TControlId::srcHostAddress));
  EXPECT_TRUE(view_.Enabled(TControlId::srcHostPort));
  view_.SetChecked(TControlId::cbEnableEdit, false);
  form.cbEnableEditClick();
  EXPECT_FALSE(view_.Enabled(TControlId::srcHostAddress));
  EXPECT_FALSE(view_.Enabled(TControlId::srcHostPort));
  // Before the thread exists the commands do nothing and the rows show
  // their position only.
  form.sbClearScoreboardClick();
  form.sbRefreshScoreboardClick();
  form.Timer1Timer();
  form.WindowMessage(WM_EXCHANGE_NOTIFY, enTableSent, 0);
  EXPECT_EQ(view_.RowCount(), 0);
  const TListRowTexts row = form.lvScoreboardData(31);
  EXPECT_EQ(row.caption, u"32");
  EXPECT_TRUE(row.subItems.empty());
  EXPECT_EQ(form.ListCellText(0, 2), u"");
}

TEST_F(ConsoleTest, ModeCommandSendsTwiceAndHonoursTheTestPattern) {
  WriteSettings("ComPort:2\n");
  TmainForm& form = MakeForm();
  form.FormCreate();
  const auto testPatternRows = [&] {
    int rows = 0;
    // The board's test pattern: eight rows named "Имя_11" to "Имя_18".
    for (const TFakeCall& call : CallsOf(foSetRow)) {
      rows += call.hasName != 0 && std::u16string(call.name).rfind(u"Имя_1", 0) == 0 ? 1 : 0;
    }
    return rows;
  };
  fake_.Reset();
  form.rbRaceClick();
  EXPECT_EQ(form.ExchangeThread()->ScoreboardMode(), smRace);
  EXPECT_TRUE(view_.Checked(TControlId::rbRace));
  EXPECT_EQ(view_.Repaints().second, 1);  // at the next paint cycle
  EXPECT_EQ(Count(foShow), 2);            // once by the mode change, once by the refresh
  EXPECT_EQ(testPatternRows(), 0);

  // Shift at the press is remembered, also for F2 and the mode command.
  form.sbRefreshScoreboardMouseDown(true);
  form.sbRefreshScoreboardClick();
  EXPECT_TRUE(form.TestPatternRequested());
  EXPECT_EQ(testPatternRows(), 8);
  form.FormKeyDown(vkF2, 0);
  EXPECT_EQ(testPatternRows(), 16);
  form.rbBestLapClick();
  EXPECT_EQ(testPatternRows(), 24);
  // A press without Shift that is released elsewhere sends nothing but counts.
  form.sbRefreshScoreboardMouseDown(false);
  EXPECT_FALSE(form.TestPatternRequested());
  fake_.Reset();
  form.sbRefreshScoreboardClick();
  EXPECT_EQ(testPatternRows(), 0);
  EXPECT_EQ(Count(foShow), 1);
}

TEST_F(ConsoleTest, FunctionKeysIgnoreModifiersAndOtherKeys) {
  WriteSettings("ComPort:2\n");
  TmainForm& form = MakeForm();
  form.FormCreate();
  fake_.Reset();
  form.FormKeyDown(vkF1, 0);
  ASSERT_EQ(Count(foClearBoard), 1);
  EXPECT_EQ(CallsOf(foClearBoard)[0].args[0], 1);
  form.FormKeyDown(vkF2, 0xFFFFFFFFu);  // Ctrl, Alt, Shift: still F2
  EXPECT_EQ(Count(foShow), 1);
  form.FormKeyDown(vkF3, 0);
  EXPECT_EQ(Count(foStartLight), 1);
  form.FormKeyDown(vkF4, 1);
  EXPECT_EQ(Count(foFinishLight), 1);
  const std::size_t calls = fake_.Calls().size();
  form.FormKeyDown(0x74, 0);  // F5
  form.FormKeyDown('A', 0);
  EXPECT_EQ(fake_.Calls().size(), calls);
}

TEST_F(ConsoleTest, BrightnessIsSentAtEveryNewPositionAndNotSaved) {
  WriteSettings("ComPort:2\n");
  TmainForm& form = MakeForm();
  form.FormCreate();
  fake_.Reset();
  for (int level = 15; level >= 10; --level) {
    view_.SetPosition(TControlId::tbBrightness, level);
    form.tbBrightnessChange();
  }
  form.tbBrightnessChange();  // a notification without a new position
  const auto calls = CallsOf(foSetBrightness);
  ASSERT_EQ(calls.size(), 6u);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(calls[static_cast<std::size_t>(i)].args[0], 15 - i);
  EXPECT_EQ(ReadText(Settings()), "ComPort:2\n");
}

TEST_F(ConsoleTest, StatusPanelAndWatchdogFollowTheBoardReports) {
  WriteSettings("ComPort:2\nBrightness:7\n");
  TmainForm& form = MakeForm();
  form.FormCreate();
  fake_.Reset();
  EXPECT_EQ(view_.Status(0), u"Табло: отключено");
  // Reports reach the window through its handle, from any thread.
  std::thread reporter([handle = window_.Handle()] {
    PostWindowMessage(handle, WM_SCOREBOARD_STATE, bsAddress, 10 | (1 << 8) | (2 << 16) | (3 << 24));
    PostWindowMessage(handle, WM_SCOREBOARD_STATE, bsConnected, 2);
  });
  reporter.join();
  ASSERT_TRUE(WaitFor([&] { return view_.Status(0) == u"Табло подключено (2) 10.1.2.3"; }));
  form.Timer1Timer();
  form.Timer1Timer();
  EXPECT_EQ(view_.Status(0), u"Табло подключено (2) 10.1.2.3");
  form.WindowMessage(WM_SCOREBOARD_STATE, bsConnected, -1);  // back to three ticks
  form.Timer1Timer();
  form.Timer1Timer();
  EXPECT_EQ(view_.Status(0), u"Табло подключено (-1) 10.1.2.3");
  form.Timer1Timer();
  EXPECT_EQ(view_.Status(0), u"Табло отключено");
  form.Timer1Timer();
  const auto sent = CallsOf(foSetBrightness);
  EXPECT_EQ(sent.size(), 5u);
  for (const TFakeCall& call : sent) EXPECT_EQ(call.args[0], 7);
  form.WindowMessage(WM_SCOREBOARD_STATE, bsDisconnected, 0);
  form.WindowMessage(WM_SCOREBOARD_STATE, bsConnected, 2);
  EXPECT_EQ(view_.Status(0), u"Табло подключено (2)");
  EXPECT_EQ(view_.Status(kStatusPanelCount - 1), u"");
}

TEST_F(ConsoleTest, AnUnusableLibraryIsNamedInThePanelAndTheWatchdogLeavesIt) {
  const auto file = platform::DynamicLibrary::PathFor("brelvo-console-notalibrary.dll");
  std::ofstream(file) << "not a library";
  TmainForm& form = MakeForm(false, "brelvo-console-notalibrary.dll");
  form.FormCreate();
  // The board thread loads the library; the window hears of it by message.
  EXPECT_TRUE(WaitFor([&] { return view_.Status(0).find(u"испорчена") != std::u16string::npos; }));
  std::filesystem::remove(file);
  const std::u16string said = view_.Status(0);
  EXPECT_NE(said.find(u"испорчена"), std::u16string::npos) << platform::Utf16ToUtf8(said);
  for (int tick = 0; tick < 4; ++tick) form.Timer1Timer();
  form.WindowMessage(WM_SCOREBOARD_STATE, bsDisconnected, 0);
  EXPECT_EQ(view_.Status(0), said);
}

TEST_F(ConsoleTest, ResultsListAndLogFollowTheFeedAndTheMode) {
  exchangetest::LoopbackServer server;
  WriteSettings("Port: " + std::to_string(server.Port()) + "\nComPort:2\n");
  TmainForm& form = MakeForm();
  view_.SetChecked(TControlId::cbScoreboardLog, true);
  form.FormCreate();
  ASSERT_TRUE(server.Accept(std::chrono::seconds(8)));
  // The feed is 8-bit text in the tracks' code page.
  ASSERT_TRUE(
      server.Send(platform::Utf16ToAnsi(u"$I,\"00:00:00\",\"0/0/0000\"\r\n"
                                        u"$A,\"11\",\"11\",1001,\"Анна\",\"\",\"\",1\r\n"
                                        u"$A,\"22\",\"22\",1002,\"Борис\",\"\",\"\",1\r\n"
                                        u"$A,\"33\",\"33\",1003,\"Вера\",\"\",\"\",1\r\n"
                                        u"$F,9999,\"00:10:00\",\"10:00:00\",\"00:01:00\",\"Green \"\r\n"
                                        u"$G,1,\"22\",3,\"00:03:00.000\"\r\n"
                                        u"$G,2,\"11\",3,\"00:03:01.500\"\r\n"
                                        u"$G,3,\"33\",2,\"00:03:05.000\"\r\n"
                                        u"$H,1,\"33\",2,\"00:00:58.000\"\r\n"
                                        u"$H,2,\"22\",3,\"00:00:59.000\"\r\n"
                                        u"$H,3,\"11\",2,\"00:01:00.000\"\r\n")));
  ASSERT_TRUE(WaitFor([&] { return view_.RowCount() == 3 && form.ListCellText(0, 2) == u"Вера"; }));
  // Best-lap mode at start: ordered by best lap, the columns in list order.
  const TListRowTexts first = form.lvScoreboardData(0);
  EXPECT_EQ(first.caption, u"1");
  ASSERT_EQ(first.subItems.size(), 6u);
  EXPECT_EQ(first.subItems[1], u"Вера");
  EXPECT_EQ(first.subItems[1], form.ListCellText(0, 2));
  EXPECT_NE(first.subItems[2].find(u"58"), std::u16string::npos);  // best lap
  view_.SetChecked(TControlId::rbRace, true);
  form.rbRaceClick();
  EXPECT_EQ(view_.RowCount(), 3);
  EXPECT_EQ(form.ListCellText(0, 2), u"Борис");
  EXPECT_EQ(form.ListCellText(2, 0), u"3");
  EXPECT_EQ(form.ListCellText(2, 6), u"02");  // laps

  const auto log = view_.Log();
  ASSERT_GE(log.size(), 11u);
  EXPECT_EQ(log[2], u"$A,\"22\",\"22\",1002,\"Борис\",\"\",\"\",1");  // without its line end
  EXPECT_EQ(view_.ScrollsPosted(), static_cast<int>(log.size()));

  ASSERT_TRUE(server.Send("$B,5,\"Next\"\r\n"));
  EXPECT_TRUE(WaitFor([&] { return view_.RowCount() == 0; }));
}

TEST_F(ConsoleTest, CloseHidesToTrayAndExitSavesTheSettings) {
  TmainForm& form = MakeForm(false);
  form.FormCreate();
  std::filesystem::remove(Settings());
  view_.trayShown = false;
  bool canClose = true;
  form.FormCloseQuery(canClose);
  EXPECT_FALSE(canClose);
  EXPECT_FALSE(view_.windowShown);
  EXPECT_TRUE(view_.trayShown);
  EXPECT_EQ(view_.quits, 0);
  EXPECT_FALSE(std::filesystem::exists(Settings()));
  form.TrayIcon1Click();
  EXPECT_TRUE(view_.windowShown);
  EXPECT_FALSE(view_.trayShown);
  // Starting the program again brings the window out of the tray.
  form.FormCloseQuery(canClose);
  EXPECT_TRUE(form.AnotherCopyStarted());
  EXPECT_TRUE(view_.windowShown);
  EXPECT_FALSE(view_.trayShown);
  form.N1Click();
  EXPECT_TRUE(form.ExitRequested());
  EXPECT_FALSE(view_.windowShown);
  EXPECT_EQ(view_.quits, 1);
  // Ending: a second copy is not told it was shown, and nothing comes back.
  EXPECT_FALSE(form.AnotherCopyStarted());
  EXPECT_FALSE(view_.windowShown);
  form.FormDestroy();
  EXPECT_EQ(ReadText(Settings()).find("Host: 127.0.0.1\n"), 0u);
}

TEST_F(ConsoleTest, CloseWithoutTrayEndsTheProgram) {
  view_.trayAvailable = false;
  TmainForm& form = MakeForm(false);
  bool canClose = false;
  form.FormCloseQuery(canClose);
  EXPECT_TRUE(canClose);
  EXPECT_EQ(view_.quits, 1);
}

// The last status panel says where the results page is: nothing when the
// settings turn it off, "занят" when another program holds the port, the
// address once it is served.
TEST_F(ConsoleTest, WebPanelShowsOffTakenOrTheAddress) {
  webPort_.reset();
  WriteSettings("WebPort: 0\n");
  MakeForm().FormCreate();
  EXPECT_EQ(view_.Status(kWebStatusPanel), u"");
  EXPECT_EQ(form_->WebServer(), nullptr);
  DestroyForm();

  auto holder = std::make_unique<TWebServer>();
  ASSERT_EQ(holder->Start(0), TWebListenResult::Listening);
  const std::uint16_t port = holder->Port();
  const std::string number = std::to_string(port);
  webPort_ = port;
  MakeForm().FormCreate();
  EXPECT_EQ(view_.Status(kWebStatusPanel), u"Веб: порт " + exchangetest::U16(number) + u" занят");
  EXPECT_EQ(form_->WebServer(), nullptr) << "no copies are made for a page nobody can open";
  DestroyForm();

  holder.reset();
  MakeForm().FormCreate();
  const std::u16string text = view_.Status(kWebStatusPanel);
  EXPECT_EQ(text.rfind(u"Веб: ", 0), 0u) << platform::Utf16ToUtf8(text);
  EXPECT_TRUE(text.ends_with(u":" + exchangetest::U16(number))) << platform::Utf16ToUtf8(text);
  EXPECT_NE(form_->WebServer(), nullptr);
  DestroyForm();

  // Started before the Wi-Fi joined: the panel follows the network.
  std::string address;
  lanAddress_ = [&address] { return address; };
  MakeForm().FormCreate();
  EXPECT_EQ(view_.Status(kWebStatusPanel), u"Веб: 127.0.0.1:" + exchangetest::U16(number));
  address = "192.168.1.20";
  form_->Timer1Timer();
  EXPECT_EQ(view_.Status(kWebStatusPanel), u"Веб: 192.168.1.20:" + exchangetest::U16(number));
}

// WebPublish: a URL that cannot be published to is named in the panel; a
// server that does not answer shows as a failed publish once the timer
// looks; the key survives a save either way.
TEST_F(ConsoleTest, WebPanelSaysWhenPublishingCannotWork) {
  // Two ports nobody holds once the probes are gone: the page's and a dead end.
  std::uint16_t ports[2] = {};
  for (auto& port : ports) {
    TWebServer probe;
    ASSERT_EQ(probe.Start(0), TWebListenResult::Listening);
    port = probe.Port();
  }
  webPort_ = ports[0];
  WriteSettings("WebPublish: https://10.0.0.5/pub/results\n");
  MakeForm().FormCreate();
  EXPECT_EQ(view_.Status(kWebStatusPanel), u"Веб: неверный WebPublish");
  form_->sbSaveConfigClick();
  EXPECT_NE(ReadText(Settings()).find("WebPublish: https://10.0.0.5/pub/results\n"), std::string::npos);
  DestroyForm();

  WriteSettings("WebPublish: http://127.0.0.1:" + std::to_string(ports[1]) + "/pub/results\n");
  TmainForm& form = MakeForm();
  form.FormCreate();
  ASSERT_NE(form.WebServer(), nullptr);
  ASSERT_NE(form.WebServer()->Publisher(), nullptr);
  EXPECT_TRUE(WaitFor([&] {
    form.Timer1Timer();
    return view_.Status(kWebStatusPanel) == u"Веб: публикация не удалась";
  }));
}

}  // namespace

namespace {

// The program records its feed into Archive by default; "ArchiveDays:0"
// turns that off (and deletes nothing), and the key is kept either way.
TEST_F(ConsoleTest, FeedIsRecordedIntoArchiveUnlessArchiveDaysIsZero) {
  exchangetest::LoopbackServer server;
  const std::string portLine = "Port: " + std::to_string(server.Port()) + "\nComPort:2\n";
  WriteSettings(portLine);
  TmainForm& form = MakeForm();
  form.FormCreate();
  ASSERT_TRUE(server.Accept(std::chrono::seconds(8)));
  ASSERT_TRUE(server.Send("$F,9999,\"00:10:00\",\"10:00:00\",\"00:01:00\",\"Green \"\r\n"));
  TFeedArchive* archive = form.FeedArchive();
  ASSERT_NE(archive, nullptr);
  ASSERT_TRUE(WaitFor([&] {
    archive->Drain();
    return archive->Figures().receivesRecorded > 0;
  }));
  const auto file = archive->CurrentFile();
  EXPECT_EQ(file.parent_path(), folder_ / "Archive");
  EXPECT_NE(ReadText(file).find("$F,9999"), std::string::npos);
  DestroyForm();

  const auto kept = folder_ / "Archive" / "2000-01-01_00-00-00.feed";
  std::ofstream(kept) << "old";
  WriteSettings(portLine + "ArchiveDays:0\n");
  TmainForm& off = MakeForm();
  off.FormCreate();
  EXPECT_EQ(off.FeedArchive(), nullptr);
  off.FormDestroy();
  EXPECT_NE(ReadText(Settings()).find("ArchiveDays:0\n"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(kept));
}

// A recording that stopped is said in the feed panel at the next tick, and
// no longer once it records again, without a new feed connection.
TEST_F(ConsoleTest, FeedPanelSaysWhileTheArchiveIsNotRecording) {
  exchangetest::LoopbackServer server;
  WriteSettings("Port: " + std::to_string(server.Port()) + "\nComPort:2\n");
  TmainForm& form = MakeForm();
  std::filesystem::remove_all(folder_ / "Archive");
  std::ofstream(folder_ / "Archive") << "a file where the folder should be";
  form.FormCreate();
  ASSERT_TRUE(server.Accept(std::chrono::seconds(8)));
  const std::string heartbeat = "$F,9999,\"00:10:00\",\"10:00:00\",\"00:01:00\",\"Green \"\r\n";
  TFeedArchive* archive = form.FeedArchive();
  ASSERT_TRUE(server.Send(heartbeat));
  // Connected once data has come.
  ASSERT_TRUE(WaitFor([&] { return view_.Status(kFeedStatusPanel) == u"Источник: подключено"; }));
  ASSERT_TRUE(WaitFor([&] {
    archive->Drain();
    return archive->RecordingStopped();
  }));
  form.Timer1Timer();
  EXPECT_EQ(view_.Status(kFeedStatusPanel), u"Источник: подключено; Архив: запись остановлена");

  std::filesystem::remove(folder_ / "Archive");
  auto sent = std::chrono::steady_clock::now() - std::chrono::seconds(1);
  ASSERT_TRUE(WaitFor([&] {
    if (std::chrono::steady_clock::now() - sent > std::chrono::milliseconds(200)) {
      sent = std::chrono::steady_clock::now();
      if (!server.Send(heartbeat)) return false;
    }
    archive->Drain();
    return !archive->RecordingStopped();
  }));
  form.Timer1Timer();
  EXPECT_EQ(view_.Status(kFeedStatusPanel), u"Источник: подключено");
}

}  // namespace

namespace {

// The bytes of an archive file without its stamp lines: what the feed sent.
std::string WithoutStamps(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::string text(std::istreambuf_iterator<char>(in), {});
  std::string out;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t stamp = text.find("##", at);
    if (stamp == std::string::npos) break;
    out.append(text, at, stamp - at);
    const std::size_t end = text.find('\n', stamp);
    at = end == std::string::npos ? text.size() : end + 1;
  }
  if (at < text.size()) out.append(text, at, std::string::npos);
  return out;
}

void SetEnvironment(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value != nullptr ? value : "");
#else
  if (value != nullptr) {
    ::setenv(name, value, 1);
  } else {
    ::unsetenv(name);
  }
#endif
}

// "Выход", a Windows session end and SIGTERM all come to this one end: the
// day's settings (the brightness is stored nowhere else), the controller
// deleted so the board library closes its port, and every received byte in
// the archive, without a Drain and without destroying anything.
TEST_F(ConsoleTest, EndKeepsSettingsAndEveryArchivedByteAndDeletesTheController) {
  exchangetest::LoopbackServer server;
  WriteSettings("Port: " + std::to_string(server.Port()) + "\nComPort:2\n");
  TmainForm& form = MakeForm();
  form.FormCreate();
  ASSERT_TRUE(server.Accept(std::chrono::seconds(8)));
  std::string sent;
  for (int i = 0; i < 20; ++i) {
    const std::string line =
        "$F,9999,\"00:10:00\",\"10:00:00\",\"00:01:" + std::to_string(10 + i) + "\",\"Green \"\r\n";
    ASSERT_TRUE(server.Send(line));
    sent += line;
  }
  // The board takes the clock newest-first: the last one tells all came.
  ASSERT_TRUE(WaitFor([&] {
    const auto clocks = CallsOf(foSetRaceTime);
    return !clocks.empty() && clocks.back().args[0] == 60 + 29;
  }));
  view_.SetPosition(TControlId::tbBrightness, 5);
  std::filesystem::remove(Settings());
  const auto file = form.FeedArchive()->CurrentFile();

  EXPECT_TRUE(form.FormEnd());
  EXPECT_NE(ReadText(Settings()).find("Brightness:5\n"), std::string::npos) << ReadText(Settings());
  EXPECT_EQ(fake_.LiveControllers(), 0) << "the controller was not deleted";
  ASSERT_FALSE(file.empty());
  EXPECT_EQ(WithoutStamps(file), sent) << file;
  EXPECT_TRUE(server.ClientClosed(std::chrono::seconds(5))) << "the feed connection stayed open";

  // Once: a second end (two of them racing) writes nothing again.
  std::filesystem::remove(Settings());
  EXPECT_TRUE(form.FormEnd());
  EXPECT_FALSE(std::filesystem::exists(Settings()));
}

// A board library that hangs when its port is closed holds the end only as
// long as the limit; the settings and the archive are kept all the same.
TEST_F(ConsoleTest, EndIsBoundedWhenTheBoardLibraryHangsInDelete) {
  exchangetest::LoopbackServer server;
  WriteSettings("Port: " + std::to_string(server.Port()) + "\nComPort:2\n");
  SetEnvironment("CBOARDFAKE_DELETE_HANGS", "1");
  TmainForm& form = MakeForm(true, "cboardfake.dll");
  form.FormCreate();
  // The board thread loads the library.
  ASSERT_TRUE(WaitFor([&] { return form.ExchangeThread()->HasController(); }));
  ASSERT_TRUE(server.Accept(std::chrono::seconds(8)));
  const std::string line = "$F,9999,\"00:10:00\",\"10:00:00\",\"00:01:00\",\"Green \"\r\n";
  ASSERT_TRUE(server.Send(line));
  TFeedArchive* archive = form.FeedArchive();
  ASSERT_TRUE(WaitFor([&] { return !archive->CurrentFile().empty(); }));
  const auto file = archive->CurrentFile();
  view_.SetPosition(TControlId::tbBrightness, 3);

  EXPECT_FALSE(form.FormEnd(std::chrono::milliseconds(300))) << "the hanging delete was waited for";
  EXPECT_EQ(form.ExchangeThread(), nullptr);
  EXPECT_NE(ReadText(Settings()).find("Brightness:3\n"), std::string::npos);
  EXPECT_EQ(WithoutStamps(file), line);
  // Let the abandoned delete return: its thread then frees what it held.
  SetEnvironment("CBOARDFAKE_DELETE_HANGS", nullptr);
}

}  // namespace
