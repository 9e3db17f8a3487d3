#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include "exchange/scoreboardexchangethread.h"
#include "exchangetestsupport.h"
#include "faces/qt/qtguiqueue.h"
#include "faces/qt/qtmainform.h"
#include "faces/qt/qtresultslistview.h"
#include "faces/qt/qtresultsmodel.h"
#include "platform/textcodec.h"

namespace {

QString Q(const char16_t* text) { return QString::fromUtf16(text); }

QByteArray Ansi(const char16_t* text) { return QByteArray::fromStdString(platform::Utf16ToAnsi(text)); }

std::string ReadText(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

class MainFormTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();
  void controlsHaveTheirNamesCaptionsAndInitialStates();
  void startHandsStoredSettingsToTheThread();
  void practiceModeFromTheFileIsStartModeOnly();
  void portTextThatIsNotANumberDoesNotStopTheStart();
  void settingsAreWrittenOnlyAtTheListedMoments();
  void portChoiceAtStartAndFromTheList();
  void editCheckBoxUnlocksTheSourceEdits();
  void modeCommandSendsTwiceAndHonoursTheTestPattern();
  void functionKeysActWhateverHasTheFocus();
  void brightnessIsSentAtEveryPosition();
  void statusPanelAndWatchdogFollowTheBoardReports();
  void resultsListFollowsTheFeedAndTheMode();
  void closeHidesToTrayAndExitSavesTheSettings();
  void closeWithoutTrayEndsTheProgram();
  void secondCopyExitsAtOnce();
  void pictureButtonSendsTheFileEachTime();
  void guiQueueRunsOnTheGuiThreadAndReleasesWaitersAtShutdown();

 private:
  std::unique_ptr<TQtMainForm> MakeForm(bool withFakeBoard = true);
  void WriteSettings(const std::string& text) { std::ofstream(Settings(), std::ios::binary) << text; }
  std::filesystem::path Settings() const { return folder_->path().toStdString() + "/scoreboard.ini"; }
  int Count(int operation);
  std::vector<TFakeCall> CallsOf(int operation);

  std::unique_ptr<QTemporaryDir> folder_;
  std::unique_ptr<exchangetest::FakeBoard> fake_;
  std::vector<platform::TSerialPortInfo> ports_;
  std::optional<bool> tray_;
};

void MainFormTest::init() {
  folder_ = std::make_unique<QTemporaryDir>();
  fake_ = std::make_unique<exchangetest::FakeBoard>();
  QVERIFY2(fake_->Loaded(), "fakescoreboard beside the test");
  fake_->Reset();
  ports_.clear();
  tray_ = true;
}

void MainFormTest::cleanup() { fake_.reset(); }

std::unique_ptr<TQtMainForm> MainFormTest::MakeForm(bool withFakeBoard) {
  TQtMainFormEnvironment environment;
  environment.programFolder = folder_->path().toStdString();
  environment.libraryName = withFakeBoard ? exchangetest::FakeBoard::kLibraryName : "nosuchcontroller.dll";
  environment.ownsExchangeThread = true;
  environment.trayAvailable = tray_;
  environment.enumerateSerialPorts = [this](platform::TSerialPortInfo* table, int& count) {
    count = 0;
    for (const auto& port : ports_) table[count++] = port;
    return 1;
  };
  return std::make_unique<TQtMainForm>(std::move(environment));
}

std::vector<TFakeCall> MainFormTest::CallsOf(int operation) {
  std::vector<TFakeCall> out;
  for (const TFakeCall& call : fake_->Calls()) {
    if (call.operation == operation) out.push_back(call);
  }
  return out;
}

int MainFormTest::Count(int operation) { return static_cast<int>(CallsOf(operation).size()); }

void MainFormTest::controlsHaveTheirNamesCaptionsAndInitialStates() {
  auto form = MakeForm(false);
  QCOMPARE(form->windowTitle(), QStringLiteral("Brelvo Proxy"));
  QCOMPARE(form->size(), QSize(564, 546));
  QCOMPARE(form->minimumWidth(), form->maximumWidth());
  QCOMPARE(form->minimumHeight() + TQtMainForm::kFrameHeight, 350);
  QCOMPARE(form->maximumHeight() + TQtMainForm::kFrameHeight, 732);
  QCOMPARE(form->font().pointSize(), 8);

  const auto text = [&](const char* name) -> QString {
    QObject* child = form->findChild<QObject*>(QString::fromLatin1(name));
    if (child == nullptr) return QStringLiteral("<missing %1>").arg(QString::fromLatin1(name));
    if (auto* g = qobject_cast<QGroupBox*>(child)) return g->title();
    if (auto* l = qobject_cast<QLabel*>(child)) return l->text();
    if (auto* e = qobject_cast<QLineEdit*>(child)) return e->text();
    if (auto* b = qobject_cast<QAbstractButton*>(child)) return b->text();
    if (auto* a = qobject_cast<QAction*>(child)) return a->text();
    return {};
  };
  QCOMPARE(text("GroupBox7"), Q(u"Табло"));
  QCOMPARE(text("GroupBox5"), Q(u"Источник данных"));
  QCOMPARE(text("Label4"), Q(u"Адрес источника"));
  QCOMPARE(text("srcHostAddress"), QStringLiteral("127.0.0.1"));
  QCOMPARE(text("Label5"), Q(u"Порт источника"));
  QCOMPARE(text("srcHostPort"), QStringLiteral("50000"));
  QCOMPARE(text("cbScoreboardLog"), Q(u"Лог обмена"));
  QCOMPARE(text("cbEnableEdit"), Q(u"Изменить"));
  QCOMPARE(text("sbSaveConfig"), Q(u"Сохранить"));
  QCOMPARE(text("Label1"), Q(u"Порт табло"));
  QCOMPARE(text("gbResults"), Q(u"Таблица результатов"));
  QCOMPARE(text("rbBestLap"), Q(u"Лучший круг/Квалификация"));
  QCOMPARE(text("rbRace"), Q(u"Гонка"));
  QCOMPARE(text("ePathToBmp"), QString());
  QCOMPARE(text("SpeedButton2"), Q(u"Выбрать\nизображение"));
  QCOMPARE(text("SpeedButton1"), Q(u"Вывести\nизображение"));
  QCOMPARE(text("sbStartLight"), Q(u"Светофор\nстарт F3"));
  QCOMPARE(text("sbStopLight"), Q(u"Светофор\nфиниш F4"));
  QCOMPARE(text("Label7"), Q(u"Яркость экрана"));
  QCOMPARE(text("sbClearScoreboard"), Q(u"Очистить F1"));
  QCOMPARE(text("sbRefreshScoreboard"), Q(u"Обновить F2"));
  QCOMPARE(text("N1"), Q(u"Выход"));

  QVERIFY(!form->findChild<QLineEdit*>(QStringLiteral("srcHostAddress"))->isEnabled());
  QVERIFY(!form->findChild<QLineEdit*>(QStringLiteral("srcHostPort"))->isEnabled());
  QVERIFY(!form->findChild<QLineEdit*>(QStringLiteral("ePathToBmp"))->isEnabled());
  QVERIFY(!form->findChild<QCheckBox*>(QStringLiteral("cbScoreboardLog"))->isChecked());
  QVERIFY(!form->findChild<QCheckBox*>(QStringLiteral("cbEnableEdit"))->isChecked());
  QVERIFY(form->findChild<QLabel*>(QStringLiteral("Label1"))->isHidden());
  QVERIFY(form->findChild<QComboBox*>(QStringLiteral("cbPortsList"))->isHidden());
  QVERIFY(form->findChild<QRadioButton*>(QStringLiteral("rbBestLap"))->isChecked());
  auto* slider = form->findChild<QSlider*>(QStringLiteral("tbBrightness"));
  QCOMPARE(slider->minimum(), 1);
  QCOMPARE(slider->maximum(), 16);
  QCOMPARE(slider->value(), 16);
  auto* timer = form->findChild<QTimer*>(QStringLiteral("Timer1"));
  QCOMPARE(timer->interval(), 5000);
  QVERIFY(timer->isActive());
  QVERIFY(form->findChild<QStatusBar*>(QStringLiteral("mainStatusBar")) != nullptr);
  QCOMPARE(form->StatusPanelText(0), Q(u"Табло: отключено"));
  QCOMPARE(form->StatusPanelText(1), QString());
  QCOMPARE(form->findChild<QLabel*>(QStringLiteral("mainStatusBarPanel0"))->width(), 250);
  QCOMPARE(form->findChild<QLabel*>(QStringLiteral("mainStatusBarPanel1"))->width(), 50);
  QVERIFY(form->findChild<QSystemTrayIcon*>(QStringLiteral("TrayIcon1"))->isVisible());
  QVERIFY(form->findChild<QPlainTextEdit*>(QStringLiteral("mScoreboardSourceLog"))->toPlainText().isEmpty());
  auto* list = form->findChild<TResultsListView*>(QStringLiteral("lvScoreboard"));
  QVERIFY(list != nullptr);
  QCOMPARE(list->size(), QSize(541, 127));
  QCOMPARE(list->model()->rowCount(), 0);
  QCOMPARE(list->horizontalHeader()->sectionSize(4), 94);
  QVERIFY(std::filesystem::is_directory(folder_->path().toStdString() + "/Archive"));

  // Taller window: list and group grow, the buttons keep their distance to the bottom.
  form->show();
  auto* clear = form->findChild<QPushButton*>(QStringLiteral("sbClearScoreboard"));
  auto* log = form->findChild<QPlainTextEdit*>(QStringLiteral("mScoreboardSourceLog"));
  const int clearFromBottom = form->height() - clear->mapTo(form.get(), QPoint(0, 0)).y();
  const QRect logPlace = log->geometry();
  form->resize(564, 646);
  QTRY_COMPARE(list->height(), 227);
  QCOMPARE(form->height() - clear->mapTo(form.get(), QPoint(0, 0)).y(), clearFromBottom);
  QCOMPARE(log->geometry(), logPlace);
}

void MainFormTest::startHandsStoredSettingsToTheThread() {
  QTcpServer server;
  QVERIFY(server.listen(QHostAddress::LocalHost));
  WriteSettings("Host: 127.0.0.1\nPort: " + std::to_string(server.serverPort()) +
                "\nScoreboardMode:1\nBrightness:99\nComPort:5\n");
  const std::string before = ReadText(Settings());
  auto form = MakeForm();
  form->FormCreate();
  QVERIFY(form->findChild<QRadioButton*>(QStringLiteral("rbRace"))->isChecked());
  QCOMPARE(form->findChild<QSlider*>(QStringLiteral("tbBrightness"))->value(), 16);
  QCOMPARE(form->ExchangeThread()->ScoreboardMode(), 1);
  QCOMPARE(form->ComPortNumber(), 5);
  // Reading selected the radio button without the mode command: no save.
  QCOMPARE(ReadText(Settings()), before);
  const auto open = CallsOf(foOpenPort);
  QCOMPARE(static_cast<int>(open.size()), 1);
  QCOMPARE(QString::fromStdU16String(std::u16string(open[0].name)), QStringLiteral("COM5"));
  // The stored endpoint was handed over: the thread connects to it.
  QVERIFY(server.waitForNewConnection(8000));
}

void MainFormTest::practiceModeFromTheFileIsStartModeOnly() {
  WriteSettings("ScoreboardMode:2\nComPort:1\n");
  {
    auto form = MakeForm();
    form->FormCreate();
    QVERIFY(form->findChild<QRadioButton*>(QStringLiteral("rbBestLap"))->isChecked());
    QCOMPARE(form->ExchangeThread()->ScoreboardMode(), 2);
    form->WindowMessage(WM_EXCHANGE_NOTIFY, enTableSent, 0);
    QCOMPARE(form->ResultsModel()->rowCount(), 32);
    QCOMPARE(form->ResultsModel()->index(31, 0).data().toString(), QStringLiteral("32"));
    form->WindowMessage(WM_EXCHANGE_NOTIFY, enTableCleared, 0);
    QCOMPARE(form->ResultsModel()->rowCount(), 0);
    form->WindowMessage(WM_EXCHANGE_NOTIFY, 9, 0);
    QCOMPARE(form->ResultsModel()->rowCount(), 0);
  }
  QVERIFY(ReadText(Settings()).find("ScoreboardMode:0\n") != std::string::npos);
}

void MainFormTest::portTextThatIsNotANumberDoesNotStopTheStart() {
  WriteSettings("Port: fifty\nScoreboardMode:1\n");
  auto form = MakeForm();
  form->FormCreate();
  QCOMPARE(form->ExchangeThread()->ScoreboardMode(), 1);
  const auto open = CallsOf(foOpenPort);
  QCOMPARE(static_cast<int>(open.size()), 1);
  QCOMPARE(QString::fromStdU16String(std::u16string(open[0].name)), QStringLiteral("COM0"));
  QCOMPARE(form->findChild<QLineEdit*>(QStringLiteral("srcHostPort"))->text(), QStringLiteral("fifty"));
}

void MainFormTest::settingsAreWrittenOnlyAtTheListedMoments() {
  WriteSettings("ComPort:7\n");
  auto form = MakeForm();
  form->FormCreate();
  QCOMPARE(ReadText(Settings()), std::string("ComPort:7\n"));
  std::filesystem::remove(Settings());

  form->findChild<QSlider*>(QStringLiteral("tbBrightness"))->setValue(4);
  form->findChild<QCheckBox*>(QStringLiteral("cbEnableEdit"))->setChecked(true);
  form->findChild<QLineEdit*>(QStringLiteral("srcHostAddress"))->setText(QStringLiteral("10.0.0.9"));
  form->Timer1Timer();
  form->sbClearScoreboardClick();
  QVERIFY(!std::filesystem::exists(Settings()));

  // Clicking the already selected mode does nothing.
  QTest::mouseClick(form->findChild<QRadioButton*>(QStringLiteral("rbBestLap")), Qt::LeftButton);
  QVERIFY(!std::filesystem::exists(Settings()));
  QTest::mouseClick(form->findChild<QRadioButton*>(QStringLiteral("rbRace")), Qt::LeftButton);
  QCOMPARE(ReadText(Settings()),
           std::string("Host: 10.0.0.9\nPort: 50000\nScoreboardMode:1\nBrightness:4\nComPort:7\n"));
  std::filesystem::remove(Settings());
  QTest::mouseClick(form->findChild<QRadioButton*>(QStringLiteral("rbRace")), Qt::LeftButton);
  QVERIFY(!std::filesystem::exists(Settings()));

  form->findChild<QLineEdit*>(QStringLiteral("srcHostPort"))->setText(QStringLiteral("no port"));
  form->findChild<QPushButton*>(QStringLiteral("sbSaveConfig"))->click();
  QVERIFY(ReadText(Settings()).find("Port: no port\n") != std::string::npos);
  std::filesystem::remove(Settings());

  form.reset();  // FormDestroy
  QVERIFY(std::filesystem::exists(Settings()));
}

void MainFormTest::portChoiceAtStartAndFromTheList() {
  ports_ = {{"/dev/ttyS0", "Communications Port (COM1)"},
            {"/dev/ttyUSB0", "USB-SERIAL CH340 (COM33)"},
            {"/dev/ttyUSB1", "USB-SERIAL CH340 (COM34)"}};
  auto form = MakeForm();
  form->FormCreate();
  QCOMPARE(form->ComPortNumber(), 33);
  auto* list = form->findChild<QComboBox*>(QStringLiteral("cbPortsList"));
  QCOMPARE(list->count(), 3);
  QCOMPARE(list->currentIndex(), 1);
  QVERIFY(ReadText(Settings()).find("ComPort:33\n") != std::string::npos);
  QCOMPARE(QString::fromStdU16String(std::u16string(CallsOf(foOpenPort).back().name)), QStringLiteral("COM33"));

  std::filesystem::remove(Settings());
  list->setCurrentIndex(2);
  form->cbPortsListChange();
  QCOMPARE(form->ComPortNumber(), 34);
  QCOMPARE(QString::fromStdU16String(std::u16string(CallsOf(foOpenPort).back().name)), QStringLiteral("COM34"));
  QVERIFY(ReadText(Settings()).find("ComPort:34\n") != std::string::npos);

  // An entry without a port number changes nothing.
  ports_ = {{"/dev/x", "Mystery device"}};
  form->SelectBoardPort();
  std::filesystem::remove(Settings());
  list->setCurrentIndex(0);
  form->cbPortsListChange();
  QCOMPARE(form->ComPortNumber(), 34);
  QVERIFY(!std::filesystem::exists(Settings()));
}

void MainFormTest::editCheckBoxUnlocksTheSourceEdits() {
  auto form = MakeForm(false);
  auto* box = form->findChild<QCheckBox*>(QStringLiteral("cbEnableEdit"));
  box->click();
  QVERIFY(form->findChild<QLineEdit*>(QStringLiteral("srcHostAddress"))->isEnabled());
  QVERIFY(form->findChild<QLineEdit*>(QStringLiteral("srcHostPort"))->isEnabled());
  box->click();
  QVERIFY(!form->findChild<QLineEdit*>(QStringLiteral("srcHostAddress"))->isEnabled());
  // Commands before the thread exists do nothing and do not crash.
  form->sbClearScoreboardClick();
  form->sbRefreshScoreboardClick();
  form->Timer1Timer();
  form->WindowMessage(WM_EXCHANGE_NOTIFY, enTableSent, 0);
  QCOMPARE(form->ResultsModel()->rowCount(), 0);
}

void MainFormTest::modeCommandSendsTwiceAndHonoursTheTestPattern() {
  WriteSettings("ComPort:2\n");
  auto form = MakeForm();
  form->FormCreate();
  const auto testPatternRows = [&] {
    int rows = 0;
    // The board's test pattern: eight rows named "Имя_11" to "Имя_18".
    for (const TFakeCall& call : CallsOf(foSetRow)) {
      rows += call.hasName != 0 && std::u16string(call.name).rfind(u"Имя_1", 0) == 0 ? 1 : 0;
    }
    return rows;
  };
  auto* refresh = form->findChild<QPushButton*>(QStringLiteral("sbRefreshScoreboard"));
  fake_->Reset();
  QTest::mouseClick(form->findChild<QRadioButton*>(QStringLiteral("rbRace")), Qt::LeftButton);
  QCOMPARE(form->ExchangeThread()->ScoreboardMode(), 1);
  QCOMPARE(Count(foShow), 2);  // once by the mode change, once by the refresh
  QCOMPARE(testPatternRows(), 0);

  // Shift at the press is remembered, also for F2 and the mode command.
  QTest::mouseClick(refresh, Qt::LeftButton, Qt::ShiftModifier);
  QVERIFY(form->TestPatternRequested());
  QCOMPARE(testPatternRows(), 8);
  QTest::keyClick(form.get(), Qt::Key_F2);
  QCOMPARE(testPatternRows(), 16);
  QTest::mouseClick(form->findChild<QRadioButton*>(QStringLiteral("rbBestLap")), Qt::LeftButton);
  QCOMPARE(testPatternRows(), 24);
  // A press with Shift released outside the button sends nothing but counts.
  QTest::mousePress(refresh, Qt::RightButton, Qt::NoModifier);
  QTest::mouseRelease(refresh, Qt::RightButton, Qt::NoModifier);
  QVERIFY(!form->TestPatternRequested());
  fake_->Reset();
  refresh->click();
  QCOMPARE(testPatternRows(), 0);
  QCOMPARE(Count(foShow), 1);
}

void MainFormTest::functionKeysActWhateverHasTheFocus() {
  WriteSettings("ComPort:2\n");
  auto form = MakeForm();
  form->FormCreate();
  form->show();
  QApplication::setActiveWindow(form.get());
  QVERIFY(QTest::qWaitForWindowActive(form.get()));
  form->findChild<QCheckBox*>(QStringLiteral("cbEnableEdit"))->setChecked(true);
  auto* edit = form->findChild<QLineEdit*>(QStringLiteral("srcHostAddress"));
  edit->setFocus();
  QTRY_VERIFY(edit->hasFocus());
  fake_->Reset();
  QTest::keyClick(edit, Qt::Key_F1);
  QCOMPARE(Count(foClearBoard), 1);
  QCOMPARE(CallsOf(foClearBoard)[0].args[0], 1);
  QTest::keyClick(edit, Qt::Key_F2, Qt::ControlModifier);
  QCOMPARE(Count(foShow), 1);
  QTest::keyClick(edit, Qt::Key_F3);
  QCOMPARE(Count(foStartLight), 1);
  QTest::keyClick(edit, Qt::Key_F4, Qt::AltModifier | Qt::ShiftModifier);
  QCOMPARE(Count(foFinishLight), 1);
  // The edit still gets its keys.
  QTest::keyClick(edit, Qt::Key_End);
  QTest::keyClicks(edit, QStringLiteral("9"));
  QCOMPARE(edit->text(), QStringLiteral("127.0.0.19"));

  auto* slider = form->findChild<QSlider*>(QStringLiteral("tbBrightness"));
  slider->setFocus();
  QTRY_VERIFY(slider->hasFocus());
  QTest::keyClick(slider, Qt::Key_F3);
  QCOMPARE(Count(foStartLight), 2);
  QTest::keyClick(slider, Qt::Key_F5);
  QTest::keyClick(slider, Qt::Key_A);
  QCOMPARE(Count(foStartLight), 2);
  QCOMPARE(Count(foFinishLight), 1);
}

void MainFormTest::brightnessIsSentAtEveryPosition() {
  WriteSettings("ComPort:2\n");
  auto form = MakeForm();
  form->FormCreate();
  fake_->Reset();
  auto* slider = form->findChild<QSlider*>(QStringLiteral("tbBrightness"));
  for (int level = 15; level >= 10; --level) slider->setValue(level);
  const auto calls = CallsOf(foSetBrightness);
  QCOMPARE(static_cast<int>(calls.size()), 6);
  for (int i = 0; i < 6; ++i) QCOMPARE(calls[static_cast<std::size_t>(i)].args[0], 15 - i);
  QVERIFY(!std::filesystem::exists(Settings()) || ReadText(Settings()) == "ComPort:2\n");
}

void MainFormTest::statusPanelAndWatchdogFollowTheBoardReports() {
  WriteSettings("ComPort:2\nBrightness:7\n");
  auto form = MakeForm();
  form->FormCreate();
  fake_->Reset();
  // Reports reach the window through its handle, from any thread.
  std::thread reporter([handle = form->Handle()] {
    PostWindowMessage(handle, WM_SCOREBOARD_STATE, bsAddress, 10 | (1 << 8) | (2 << 16) | (3 << 24));
    PostWindowMessage(handle, WM_SCOREBOARD_STATE, bsConnected, 2);
  });
  reporter.join();
  QTRY_COMPARE(form->StatusPanelText(0), Q(u"Табло подключено (2) 10.1.2.3"));
  form->Timer1Timer();
  form->Timer1Timer();
  QCOMPARE(form->StatusPanelText(0), Q(u"Табло подключено (2) 10.1.2.3"));
  form->WindowMessage(WM_SCOREBOARD_STATE, bsConnected, -1);  // back to three ticks
  form->Timer1Timer();
  form->Timer1Timer();
  QCOMPARE(form->StatusPanelText(0), Q(u"Табло подключено (-1) 10.1.2.3"));
  form->Timer1Timer();
  QCOMPARE(form->StatusPanelText(0), Q(u"Табло отключено"));
  form->Timer1Timer();
  const auto sent = CallsOf(foSetBrightness);
  QCOMPARE(static_cast<int>(sent.size()), 5);
  for (const TFakeCall& call : sent) QCOMPARE(call.args[0], 7);
  form->WindowMessage(WM_SCOREBOARD_STATE, bsDisconnected, 0);
  form->WindowMessage(WM_SCOREBOARD_STATE, bsConnected, 2);
  QCOMPARE(form->StatusPanelText(0), Q(u"Табло подключено (2)"));
}

void MainFormTest::resultsListFollowsTheFeedAndTheMode() {
  QTcpServer server;
  QVERIFY(server.listen(QHostAddress::LocalHost));
  WriteSettings("Port: " + std::to_string(server.serverPort()) + "\nComPort:2\n");
  auto form = MakeForm();
  form->findChild<QCheckBox*>(QStringLiteral("cbScoreboardLog"))->setChecked(true);
  form->FormCreate();
  QVERIFY(server.waitForNewConnection(8000));
  QTcpSocket* feed = server.nextPendingConnection();
  // The feed is 8-bit text in the tracks' code page.
  feed->write(
      Ansi(u"$I,\"00:00:00\",\"0/0/0000\"\r\n"
           u"$A,\"11\",\"11\",1001,\"Анна\",\"\",\"\",1\r\n"
           u"$A,\"22\",\"22\",1002,\"Борис\",\"\",\"\",1\r\n"
           u"$A,\"33\",\"33\",1003,\"Вера\",\"\",\"\",1\r\n"
           u"$F,9999,\"00:10:00\",\"10:00:00\",\"00:01:00\",\"Green \"\r\n"
           u"$G,1,\"22\",3,\"00:03:00.000\"\r\n"
           u"$G,2,\"11\",3,\"00:03:01.500\"\r\n"
           u"$G,3,\"33\",2,\"00:03:05.000\"\r\n"
           u"$H,1,\"33\",2,\"00:00:58.000\"\r\n"
           u"$H,2,\"22\",3,\"00:00:59.000\"\r\n"
           u"$H,3,\"11\",2,\"00:01:00.000\"\r\n"));
  feed->flush();
  TResultsModel* model = form->ResultsModel();
  QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(), 3, 10000);
  // Best-lap mode at start: ordered by best lap.
  QTRY_COMPARE(model->index(0, 2).data().toString(), Q(u"Вера"));
  QVERIFY(!model->index(0, 3).data().toString().trimmed().isEmpty());
  QTest::mouseClick(form->findChild<QRadioButton*>(QStringLiteral("rbRace")), Qt::LeftButton);
  QCOMPARE(model->rowCount(), 3);
  QCOMPARE(model->index(0, 2).data().toString(), Q(u"Борис"));
  QCOMPARE(model->index(2, 1).data().toString().trimmed(), QStringLiteral("33"));
  QCOMPARE(model->index(2, 6).data().toString(), QStringLiteral("02"));

  auto* log = form->findChild<QPlainTextEdit*>(QStringLiteral("mScoreboardSourceLog"));
  QTRY_COMPARE(log->document()->blockCount() >= 11, true);
  QVERIFY(log->toPlainText().contains(QStringLiteral("$A,\"22\",\"22\",1002,\"Борис\"")));

  feed->write("$B,5,\"Next\"\r\n");
  feed->flush();
  QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(), 0, 10000);
}

void MainFormTest::closeHidesToTrayAndExitSavesTheSettings() {
  auto form = MakeForm(false);
  form->FormCreate();
  std::filesystem::remove(Settings());
  form->show();
  QVERIFY(QTest::qWaitForWindowExposed(form.get()));
  QVERIFY(!form->close());
  QVERIFY(form->isHidden());
  QVERIFY(form->TrayIcon()->isVisible());
  QVERIFY(!std::filesystem::exists(Settings()));
  form->TrayIcon1Click();
  QVERIFY(form->isVisible());
  QVERIFY(!form->TrayIcon()->isVisible());
  form->showMinimized();
  form->TrayIcon1Click();
  QVERIFY(!form->isMinimized());
  form->close();
  QVERIFY(form->TrayIcon()->isVisible());
  form->N1Click();
  QVERIFY(form->isHidden());
  form.reset();
  QVERIFY(ReadText(Settings()).find("Host: 127.0.0.1\n") == 0);
}

void MainFormTest::closeWithoutTrayEndsTheProgram() {
  tray_ = false;
  auto form = MakeForm(false);
  form->show();
  QVERIFY(form->close());
  QVERIFY(!form->TrayIcon()->isVisible());
}

void MainFormTest::secondCopyExitsAtOnce() {
  const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/brelvo-proxy");
  if (!QFileInfo::exists(program)) QSKIP("brelvo-proxy is not built beside the tests");
  QTemporaryDir runtime;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
  environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  QProcess first;
  first.setProcessEnvironment(environment);
  first.start(program, {});
  QVERIFY(first.waitForStarted(5000));
  // The first copy holds the lock once its lock file exists.
  QTRY_VERIFY_WITH_TIMEOUT(!QDir(runtime.path()).entryList({QStringLiteral("brelvo-*.lock")}).isEmpty(), 5000);
  QProcess second;
  second.setProcessEnvironment(environment);
  second.start(program, {});
  QVERIFY(second.waitForFinished(5000));
  QCOMPARE(second.exitStatus(), QProcess::NormalExit);
  QCOMPARE(second.exitCode(), 0);
  QVERIFY(second.readAllStandardOutput().isEmpty());
  QCOMPARE(first.state(), QProcess::Running);
  first.kill();
  first.waitForFinished(5000);
}

void MainFormTest::pictureButtonSendsTheFileEachTime() {
  WriteSettings("ComPort:2\n");
  auto form = MakeForm();
  form->FormCreate();
  const QString path = folder_->filePath(QStringLiteral("logo.bmp"));
  QImage image(12, 2, QImage::Format_Mono);
  image.setColor(0, qRgb(0, 0, 0));
  image.setColor(1, qRgb(255, 255, 255));
  image.fill(1);
  image.setPixel(0, 0, 0);
  QVERIFY(image.save(path, "BMP"));
  form->findChild<QLineEdit*>(QStringLiteral("ePathToBmp"))->setText(path);
  auto* send = form->findChild<QPushButton*>(QStringLiteral("SpeedButton1"));
  fake_->Reset();
  send->click();
  image.setPixel(1, 0, 0);  // changed on disk between two sends
  QVERIFY(image.save(path, "BMP"));
  send->click();
  const auto calls = CallsOf(foShowPicture);
  QCOMPARE(static_cast<int>(calls.size()), 2);
  QCOMPARE(calls[0].args[0], 16);  // stride
  QCOMPARE(calls[0].args[1], 2);   // rows
  QCOMPARE(calls[0].args[2], 0);
  QCOMPARE(calls[0].args[3], 0);
}

void MainFormTest::guiQueueRunsOnTheGuiThreadAndReleasesWaitersAtShutdown() {
  QObject context;
  TQtGuiQueue queue(&context);
  std::atomic<bool> ranOnGui{false};
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    queue.Invoke([&] { ranOnGui = QThread::currentThread() == context.thread(); });
    returned = true;
  });
  QTRY_VERIFY(returned.load());
  worker.join();
  QVERIFY(ranOnGui.load());

  // A waiter whose GUI thread never comes back to the loop is let go.
  std::atomic<bool> ran{false};
  returned = false;
  std::thread waiter([&] {
    queue.Invoke([&] { ran = true; });
    returned = true;
  });
  QTest::qSleep(50);  // no event processing: the call stays queued
  QVERIFY(!returned.load());
  queue.Shutdown();
  waiter.join();
  QVERIFY(returned.load());
  QCoreApplication::processEvents();
  QVERIFY(!ran.load());
  int posted = 0;
  queue.Post([&] { ++posted; });
  QCoreApplication::processEvents();
  QCOMPARE(posted, 0);
}

QTEST_MAIN(MainFormTest)
#include "mainform_test.moc"
