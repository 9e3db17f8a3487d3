// The Qt face, offscreen: the window made from the console's table, Qt's
// events reaching the console, what only Qt does (key routing, the tray,
// decoding pictures, its dialogs, the GUI queue). The rules are the
// console's tests.
#include <QAbstractItemModelTester>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCompleter>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSlider>
#include <QStatusBar>
#include <QSystemTrayIcon>
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

#include "exchangetestsupport.h"
#include "faces/qt/qtguiqueue.h"
#include "faces/qt/qtmainform.h"
#include "faces/qt/qtresultslistview.h"
#include "faces/qt/qtresultsmodel.h"
#include "messageboxcloser.h"
#include "platform/singleinstance.h"
#include "standings/competitors.h"

namespace {

QString Q(std::u16string_view text) { return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size())); }

std::string ReadText(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool IsText(QRgb pixel) { return qGray(pixel) < 100; }

}  // namespace

class QtFaceTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();
  void windowIsMadeFromTheConsolesTable();
  void operatorEventsReachTheConsole();
  void functionKeysActWhateverHasTheFocus();
  void feedLogReachesTheDocumentAfterTheHandOver();
  void closeHidesToTrayAndExitSavesTheSettings();
  void secondCopyExitsAtOnce();
  void pictureIsDecodedByItsPaletteColours();
  void fileDialogLeavesNoPopupBehind();
  void qtDialogsSpeakRussian();
  void resultsModelPassesTheItemModelTester();
  void listPaintsRowBackgroundsAndTextOffsets();
  void guiQueueRunsOnTheGuiThreadAndReleasesWaitersAtShutdown();
  void guiQueueTaskMayPostToTheWindow();

 private:
  std::unique_ptr<TQtMainForm> MakeForm(bool withFakeBoard = true);
  void WriteSettings(const std::string& text) { std::ofstream(Settings(), std::ios::binary) << text; }
  std::filesystem::path Settings() const { return folder_->path().toStdString() + "/scoreboard.ini"; }
  int Count(int operation);
  template <typename T>
  static T* Find(TQtMainForm& form, const char* name) {
    return form.findChild<T*>(QString::fromLatin1(name));
  }

  std::unique_ptr<QTemporaryDir> folder_;
  std::unique_ptr<exchangetest::FakeBoard> fake_;
  std::optional<bool> tray_;
};

void QtFaceTest::init() {
  folder_ = std::make_unique<QTemporaryDir>();
  fake_ = std::make_unique<exchangetest::FakeBoard>();
  QVERIFY2(fake_->Loaded(), "fakescoreboard beside the test");
  fake_->Reset();
  tray_ = true;
}

void QtFaceTest::cleanup() { fake_.reset(); }

std::unique_ptr<TQtMainForm> QtFaceTest::MakeForm(bool withFakeBoard) {
  TQtMainFormEnvironment environment;
  environment.console.programFolder = folder_->path().toStdString();
  environment.console.webPort = 0;  // other programs may be testing at the same time
  environment.console.libraryName = withFakeBoard ? exchangetest::FakeBoard::kLibraryName : "nosuchcontroller.dll";
  environment.console.enumerateSerialPorts = [](platform::TSerialPortInfo*, int& count) {
    count = 0;
    return 1;
  };
  environment.trayAvailable = tray_;
  auto form = std::make_unique<TQtMainForm>(std::move(environment));
  // The board thread makes the calls: read them once it has made all asked for.
  TQtMainForm* made = form.get();
  fake_->settle = [made] {
    if (TScoreboardExchangeThread* thread = made->Console().ExchangeThread())
      QVERIFY(thread->WaitForBoard(std::chrono::seconds(10)));
  };
  return form;
}

int QtFaceTest::Count(int operation) {
  int n = 0;
  for (const TFakeCall& call : fake_->Calls()) n += call.operation == operation ? 1 : 0;
  return n;
}

void QtFaceTest::windowIsMadeFromTheConsolesTable() {
  auto form = MakeForm(false);
  QCOMPARE(form->windowTitle(), Q(kMainFormCaption));
  QCOMPARE(form->size(), QSize(kClientWidth, kClientHeight));
  QCOMPARE(form->minimumWidth(), form->maximumWidth());
  QCOMPARE(form->font().pointSize(), kMainFormFontPoints);
  const auto check = [&](int clientHeight) {
    for (const TControlDesign& design : MainFormControls()) {
      const QString name = QString::fromLatin1(design.name.data(), static_cast<qsizetype>(design.name.size()));
      QObject* object = form->findChild<QObject*>(name);
      if (design.id == TControlId::mainForm) continue;
      QVERIFY2(object != nullptr, qPrintable(name));
      QCOMPARE(object, form->Component(design.id));
      QString caption = Q(design.caption);
      caption.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
      if (auto* g = qobject_cast<QGroupBox*>(object)) QCOMPARE(g->title(), caption);
      if (auto* l = qobject_cast<QLabel*>(object)) QCOMPARE(l->text(), caption);
      if (auto* e = qobject_cast<QLineEdit*>(object)) QCOMPARE(e->text(), caption);
      if (auto* b = qobject_cast<QAbstractButton*>(object)) {
        QCOMPARE(b->text(), caption);
        QCOMPARE(b->isChecked(), design.checked);
      }
      if (auto* widget = qobject_cast<QWidget*>(object); widget != nullptr && !widget->isWindow()) {
        QCOMPARE(widget->isEnabled(), design.enabled);
        QCOMPARE(!widget->isHidden(), design.visible);
        const TRect r = ControlRect(design.id, clientHeight);
        if (design.rect.width > 0) QCOMPARE(widget->geometry(), QRect(r.left, r.top, r.width, r.height));
      }
    }
  };
  check(kClientHeight);
  auto* slider = Find<QSlider>(*form, "tbBrightness");
  QCOMPARE(slider->value(), ControlDesign(TControlId::tbBrightness).value);
  QCOMPARE(slider->maximum(), ControlDesign(TControlId::tbBrightness).maximum);
  auto* timer = Find<QTimer>(*form, "Timer1");
  QCOMPARE(timer->interval(), ControlDesign(TControlId::Timer1).value);
  QVERIFY(timer->isActive());
  QCOMPARE(form->StatusPanelText(0), Q(kBoardStartText));
  QCOMPARE(Find<QLabel>(*form, "mainStatusBarPanel0")->width(), StatusPanels()[0].width);
  // The longest feed endpoint is read whole in the panel's own font.
  auto* feedPanel = Find<QLabel>(*form, "mainStatusBarPanel1");
  const QString longestFeed = QStringLiteral("Источник: нет связи (255.255.255.255:65535)");
  const int feedText = feedPanel->fontMetrics().horizontalAdvance(longestFeed);
  QVERIFY2(feedText <= feedPanel->contentsRect().width(),
           qPrintable(QStringLiteral("%1 px in %2 px").arg(feedText).arg(feedPanel->contentsRect().width())));
  QVERIFY(form->TrayIcon()->isVisible());
  auto* list = Find<TQtResultsListView>(*form, "lvScoreboard");
  QCOMPARE(list->model()->rowCount(), 0);
  for (int c = 0; c < kResultsColumnCount; ++c) {
    QCOMPARE(list->horizontalHeader()->sectionSize(c), ResultsColumns()[static_cast<std::size_t>(c)].width);
  }

  form->show();
  form->resize(kClientWidth, kClientHeight + 100);
  QTRY_COMPARE(list->height(), ControlRect(TControlId::lvScoreboard, kClientHeight + 100).height);
  check(kClientHeight + 100);
}

void QtFaceTest::operatorEventsReachTheConsole() {
  WriteSettings("ComPort:2\n");
  auto form = MakeForm();
  form->Console().FormCreate();
  fake_->Reset();
  QTest::mouseClick(Find<QRadioButton>(*form, "rbRace"), Qt::LeftButton);
  QCOMPARE(form->Console().ExchangeThread()->ScoreboardMode(), smRace);
  QVERIFY(ReadText(Settings()).find("ScoreboardMode:1") != std::string::npos);
  QCOMPARE(Count(foShow), 2);
  // Shift at the mouse press is the test pattern's switch.
  QTest::mouseClick(Find<QPushButton>(*form, "sbRefreshScoreboard"), Qt::LeftButton, Qt::ShiftModifier);
  QVERIFY(form->Console().TestPatternRequested());
  QTest::mousePress(Find<QPushButton>(*form, "sbRefreshScoreboard"), Qt::RightButton, Qt::NoModifier);
  QVERIFY(!form->Console().TestPatternRequested());
  // Every slider position goes to the board; nothing set by the console does.
  fake_->Reset();
  auto* slider = Find<QSlider>(*form, "tbBrightness");
  for (int level = 15; level >= 13; --level) slider->setValue(level);
  QCOMPARE(Count(foSetBrightness), 3);
  form->SetPosition(TControlId::tbBrightness, 5);
  QCOMPARE(Count(foSetBrightness), 3);
  Find<QCheckBox>(*form, "cbEnableEdit")->click();
  QVERIFY(Find<QLineEdit>(*form, "srcHostPort")->isEnabled());
  // The console's row count and texts reach the list.
  form->Console().WindowMessage(WM_EXCHANGE_NOTIFY, enTableSent, 0);
  QCOMPARE(form->ResultsModel()->rowCount(), form->Console().ExchangeThread()->GetListRowCount());
  // The status panel follows the reports posted to the window's handle.
  std::thread reporter([handle = form->Handle()] { PostWindowMessage(handle, WM_SCOREBOARD_STATE, bsConnected, 2); });
  reporter.join();
  QTRY_COMPARE(form->StatusPanelText(0), Q(u"Табло подключено (2)"));
}

void QtFaceTest::functionKeysActWhateverHasTheFocus() {
  WriteSettings("ComPort:2\n");
  auto form = MakeForm();
  form->Console().FormCreate();
  form->show();
  QApplication::setActiveWindow(form.get());
  QVERIFY(QTest::qWaitForWindowActive(form.get()));
  Find<QCheckBox>(*form, "cbEnableEdit")->setChecked(true);
  auto* edit = Find<QLineEdit>(*form, "srcHostAddress");
  edit->setFocus();
  QTRY_VERIFY(edit->hasFocus());
  fake_->Reset();
  QTest::keyClick(edit, Qt::Key_F1);
  QCOMPARE(Count(foClearBoard), 1);
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

  auto* slider = Find<QSlider>(*form, "tbBrightness");
  slider->setFocus();
  QTRY_VERIFY(slider->hasFocus());
  QTest::keyClick(slider, Qt::Key_F3);
  QCOMPARE(Count(foStartLight), 2);
  QTest::keyClick(slider, Qt::Key_F5);
  QTest::keyClick(slider, Qt::Key_A);
  QCOMPARE(Count(foStartLight), 2);
  QCOMPARE(Count(foFinishLight), 1);
}

void QtFaceTest::feedLogReachesTheDocumentAfterTheHandOver() {
  auto form = MakeForm(false);
  auto* log = Find<QPlainTextEdit>(*form, "mScoreboardSourceLog");
  form->Console().LogLastLine(u"$F,unticked\r\n");
  Find<QCheckBox>(*form, "cbScoreboardLog")->setChecked(true);
  log->setPlainText(QStringLiteral("typed by the operator"));
  for (int i = 1; i <= 1001; ++i) form->Console().LogLastLine(QStringLiteral("$G,%1\r\n").arg(i).toStdU16String());
  // The hand-over only queues; the window's next turn edits the document.
  QCOMPARE(log->document()->blockCount(), 1);
  QCOMPARE(form->LogLineCount(), 1000);
  QCoreApplication::processEvents();
  QCOMPARE(log->document()->blockCount(), 1000);
  QCOMPARE(log->document()->firstBlock().text(), QStringLiteral("$G,2"));
  QCOMPARE(log->document()->lastBlock().text(), QStringLiteral("$G,1001"));
  form->Console().LogLastLine(u"$G,1002\r\n");
  QCoreApplication::processEvents();
  QCOMPARE(log->document()->blockCount(), 1000);
  QCOMPARE(log->document()->firstBlock().text(), QStringLiteral("$G,3"));
  QCOMPARE(log->verticalScrollBar()->value(), log->verticalScrollBar()->maximum());
  QVERIFY(!log->document()->isUndoAvailable());  // no history of the session's lines
}

void QtFaceTest::closeHidesToTrayAndExitSavesTheSettings() {
  auto form = MakeForm(false);
  form->Console().FormCreate();
  std::filesystem::remove(Settings());
  form->show();
  QVERIFY(QTest::qWaitForWindowExposed(form.get()));
  QVERIFY(!form->close());
  QVERIFY(form->isHidden());
  QVERIFY(form->TrayIcon()->isVisible());
  QVERIFY(!std::filesystem::exists(Settings()));
  form->Console().TrayIcon1Click();
  QVERIFY(form->isVisible());
  QVERIFY(!form->TrayIcon()->isVisible());
  form->showMinimized();
  form->Console().TrayIcon1Click();
  QVERIFY(!form->isMinimized());
  form->close();
  QVERIFY(form->TrayIcon()->isVisible());
  Find<QAction>(*form, "N1")->trigger();
  QVERIFY(form->isHidden());
  form.reset();
  QVERIFY(ReadText(Settings()).find("Host: 127.0.0.1\n") == 0);

  tray_ = false;  // no tray: a close ends the program
  form = MakeForm(false);
  form->show();
  QVERIFY(form->close());
}

void QtFaceTest::secondCopyExitsAtOnce() {
  const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/brelvo-proxy");
  const QString probe = QCoreApplication::applicationDirPath() + QStringLiteral("/brelvo_singleinstance_probe");
  if (!QFileInfo::exists(program)) QSKIP("brelvo-proxy is not built beside the tests");
  if (!QFileInfo::exists(probe)) QSKIP("brelvo_singleinstance_probe is not built beside the tests");
  QTemporaryDir runtime;
  // The lock is the machine's: a name of this run's own.
  const QString instance = QStringLiteral("qtface-%1").arg(QCoreApplication::applicationPid());
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
  environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  environment.insert(QStringLiteral("BRELVO_INSTANCE"), instance);
  QProcess first;
  first.setProcessEnvironment(environment);
  first.start(program, {});
  QVERIFY(first.waitForStarted(5000));
  // The probe finds the lock held (exit code 1 or 3) once the first has it.
  const QString lockName = QString::fromLatin1(platform::kSingleInstanceName) + QLatin1Char('-') + instance;
  QTRY_VERIFY_WITH_TIMEOUT(QProcess::execute(probe, {lockName}) != 0, 5000);
  QProcess second;
  second.setProcessEnvironment(environment);
  second.start(program, {});
  // It waits for the first's answer, which comes once the first runs its loop.
  QVERIFY(second.waitForFinished(15000));
  QCOMPARE(second.exitStatus(), QProcess::NormalExit);
  QCOMPARE(second.exitCode(), 0);
  QVERIFY(second.readAllStandardOutput().isEmpty());
  QVERIFY2(second.readAllStandardError().contains("showed its window"), "the first copy never answered");
  QCOMPARE(first.state(), QProcess::Running);
  first.kill();
  first.waitForFinished(5000);
}

void QtFaceTest::pictureIsDecodedByItsPaletteColours() {
  WriteSettings("ComPort:2\n");
  auto form = MakeForm();
  form->Console().FormCreate();
  const QString path = folder_->filePath(QStringLiteral("logo.bmp"));
  // Black at palette index 0: the stored zeros are the black pixels.
  QImage image(12, 2, QImage::Format_Mono);
  image.setColor(0, qRgb(0, 0, 0));
  image.setColor(1, qRgb(255, 255, 255));
  image.fill(1);
  image.setPixel(2, 0, 0);
  QVERIFY(image.save(path, "BMP"));
  form->SetText(TControlId::ePathToBmp, path.toStdU16String());
  auto* send = Find<QPushButton>(*form, "SpeedButton1");
  fake_->Reset();
  TMessageBoxCloser closer;
  send->click();
  QCOMPARE(form->Console().PictureBuffer()[0], std::uint8_t{0x20});
  image.setPixel(1, 0, 0);  // changed on disk between two sends
  QVERIFY(image.save(path, "BMP"));
  send->click();
  QCOMPARE(form->Console().PictureBuffer()[0], std::uint8_t{0x60});
  QCOMPARE(Count(foShowPicture), 2);
  QVERIFY(closer.Texts().isEmpty());
  // 24 bits per pixel: the warning, then the send.
  QVERIFY(image.convertToFormat(QImage::Format_RGB888).save(path, "BMP"));
  send->click();
  QCOMPARE(closer.Texts(), QStringList{Q(kPictureFormatWarning)});
  QCOMPARE(Count(foShowPicture), 3);
}

void QtFaceTest::fileDialogLeavesNoPopupBehind() {
  auto form = MakeForm(false);
  form->show();
  QVERIFY(QTest::qWaitForWindowExposed(form.get()));
  // Files whose names the dialog's completion list offers.
  for (const char* name : {"logo1.bmp", "logo2.bmp"})
    std::ofstream(folder_->filePath(QString::fromLatin1(name)).toStdString());
  auto* dialog = Find<QFileDialog>(*form, "odBMPFile");
  dialog->setDirectory(folder_->path());
  bool popupWasOpen = false;
  // Type the start of a name until the completion list shows (it fills from
  // a folder scan that may not have finished at the first try), then cancel.
  int polls = 0;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, dialog, [&] {
    for (QCompleter* completer : dialog->findChildren<QCompleter*>()) {
      popupWasOpen = popupWasOpen || (completer->popup() != nullptr && completer->popup()->isVisible());
    }
    if (popupWasOpen || ++polls > 150) {
      poll.stop();
      dialog->reject();
    } else if (polls % 10 == 1) {
      if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
        name->setFocus();
        name->clear();
        QTest::keyClicks(name, QStringLiteral("lo"));
      }
    }
  });
  poll.start(20);
  form->Console().SpeedButton2Click();
  if (!popupWasOpen) QSKIP("the completion list did not open on this platform");
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    QVERIFY2(!(widget->isVisible() && widget->windowType() == Qt::Popup), "a popup outlived its dialog");
  }
  QCOMPARE(form->Text(TControlId::ePathToBmp), std::u16string());  // cancelled: the path stays
}

void QtFaceTest::qtDialogsSpeakRussian() {
  QVERIFY2(TQtMainForm::InstallRussianTranslations(*qApp), "Qt's Russian translations (qt6-translations-l10n)");
  QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), Q(u"Отмена"));
}

void QtFaceTest::resultsModelPassesTheItemModelTester() {
  TQtResultsModel model;
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
  for (int count : {5, 5, 2, 0, 32, -4}) model.SetItemCount(count);
  QCOMPARE(model.rowCount(), 0);
  model.SetItemCount(32);
  QCOMPARE(model.index(31, 0).data().toString(), QStringLiteral("32"));
  QVERIFY(model.index(31, 3).data().toString().isEmpty());
  QCOMPARE(model.headerData(4, Qt::Horizontal).toString(), Q(ResultsColumns()[4].header));
}

void QtFaceTest::listPaintsRowBackgroundsAndTextOffsets() {
  TQtResultsModel model;
  TQtResultsListView view;
  view.SetResultsModel(&model);
  view.resize(541, 127);
  view.show();
  QVERIFY(QTest::qWaitForWindowExposed(&view));
  model.SetItemCount(3);
  view.selectRow(1);
  QImage image = view.viewport()->grab().toImage();
  const int h0 = view.rowViewportPosition(0);
  const int h1 = view.rowViewportPosition(1);
  const int rowHeight = view.rowHeight(0);
  QCOMPARE(QColor(image.pixel(45, h0 + 2)), QColor(Qt::white));
  QCOMPARE(QColor(image.pixel(45, h1 + 2)), TQtResultsListView::ActiveCaptionColor());
  QCOMPARE(QColor(image.pixel(45, view.rowViewportPosition(2) + 2)), QColor(Qt::white));
  // The position starts 6 pixels into its column, in the text colour on a
  // selected row too.
  for (int row : {h0, h1}) {
    bool text = false;
    for (int y = row; y < row + rowHeight; ++y) {
      for (int x = 0; x < 6; ++x) QVERIFY2(!IsText(image.pixel(x, y)), "text left of its offset");
      for (int x = 6; x < 45; ++x) text = text || IsText(image.pixel(x, y));
    }
    QVERIFY(text);
  }
}

void QtFaceTest::guiQueueRunsOnTheGuiThreadAndReleasesWaitersAtShutdown() {
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

void QtFaceTest::guiQueueTaskMayPostToTheWindow() {
  // The feed log runs through a blocking call; what it does may post to the
  // window again (a repaint, a scroll) without waiting for itself.
  QObject context;
  TQtGuiQueue queue(&context);
  std::atomic<bool> returned{false};
  int posted = 0;
  std::thread worker([&] {
    queue.Invoke([&] { queue.Post([&] { ++posted; }); });
    returned = true;
  });
  QTRY_VERIFY_WITH_TIMEOUT(returned.load(), 5000);
  worker.join();
  QTRY_COMPARE(posted, 1);
}

QTEST_MAIN(QtFaceTest)
#include "qtface_test.moc"
