#include "faces/qt/qtmainform.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSlider>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <system_error>
#include <vector>

#include "exchange/scoreboardexchangethread.h"
#include "faces/qt/qtfeedlog.h"
#include "faces/qt/qtguiqueue.h"
#include "faces/qt/qtpictureoutput.h"
#include "faces/qt/qtresultslistview.h"
#include "faces/qt/qtresultsmodel.h"
#include "platform/debugoutput.h"
#include "platform/messagewindow.h"
#include "platform/programfolder.h"
#include "platform/socket.h"
#include "platform/textcodec.h"
#include "shell/portchoice.h"
#include "shell/settingsfile.h"

namespace {

constexpr int kStatusBarHeight = 19;
// The results group's layout at the design size: the list grows with the
// window, the controls under it keep their distance to the group's bottom.
constexpr int kResultsTop = 204;
constexpr int kResultsBottomMargin = 8;
constexpr int kDesignResultsHeight = 315;
constexpr int kListTop = 38;
constexpr int kListBottomGap = kDesignResultsHeight - (kListTop + 127);

QString Q(const char16_t* text) { return QString::fromUtf16(text); }

template <typename T>
T* Named(T* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

std::string ToAnsi(const QString& text) { return platform::Utf16ToAnsi(text.toStdU16String()); }

QString FromAnsi(const std::string& text) { return QString::fromStdU16String(platform::AnsiToUtf16(text)); }

}  // namespace

TQtMainForm::TQtMainForm(TQtMainFormEnvironment environment, QWidget* parent)
    : QMainWindow(parent), environment_(std::move(environment)) {
  if (environment_.programFolder.empty()) environment_.programFolder = platform::ProgramFolder();
  if (!environment_.enumerateSerialPorts) environment_.enumerateSerialPorts = platform::EnumerateSerialPorts;
  trayAvailable_ = environment_.trayAvailable.value_or(QSystemTrayIcon::isSystemTrayAvailable());

  CreateControls();

  guiQueue_ = std::make_unique<TQtGuiQueue>(this);
  messageWindow_ = std::make_unique<platform::MessageWindow>(
      [this](std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
        WindowMessage(message, wParam, lParam);
      },
      guiQueue_.get());

  // Nothing here writes into the archive; it exists for the operators.
  std::error_code ignored;
  std::filesystem::create_directory(environment_.programFolder / "Archive", ignored);
}

TQtMainForm::~TQtMainForm() {
  qApp->removeEventFilter(this);
  FormDestroy();
  if (environment_.ownsExchangeThread) {
    guiQueue_->Shutdown();
    delete exchangeThread;
    exchangeThread = nullptr;
  } else if (exchangeThread != nullptr) {
    // The thread and the library post to the handle until the process ends.
    (void)messageWindow_.release();
    (void)guiQueue_.release();
  }
}

QIcon TQtMainForm::ProgramIcon() {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(QColor(0, 90, 160));
  painter.setPen(Qt::NoPen);
  painter.drawRoundedRect(QRectF(1, 1, 30, 30), 5, 5);
  painter.setBrush(QColor(255, 190, 0));
  for (int row = 0; row < 3; ++row) {
    for (int col = 0; col < 4; ++col) painter.drawEllipse(QRectF(5 + col * 6.2, 7 + row * 7.0, 4.5, 4.5));
  }
  return QIcon(pixmap);
}

void TQtMainForm::CreateControls() {
  setObjectName(QStringLiteral("mainForm"));
  setWindowTitle(QStringLiteral("Brelvo Proxy"));
  setWindowIcon(ProgramIcon());
  QFont font;
  // Tahoma where present; elsewhere the narrowest common sans serif is closest.
  font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("DejaVu Sans"),
                    QStringLiteral("Sans Serif")});
  font.setPointSize(8);
  setFont(font);

  GroupBox7 = Named(new QGroupBox(Q(u"Табло")), "GroupBox7");
  setCentralWidget(GroupBox7);

  GroupBox5 = Named(new QGroupBox(Q(u"Источник данных"), GroupBox7), "GroupBox5");
  GroupBox5->setGeometry(8, 16, 541, 60);
  Label4 = Named(new QLabel(Q(u"Адрес источника"), GroupBox5), "Label4");
  Label4->setGeometry(8, 14, 120, 16);
  srcHostAddress = Named(new QLineEdit(QStringLiteral("127.0.0.1"), GroupBox5), "srcHostAddress");
  srcHostAddress->setGeometry(8, 31, 120, 21);
  srcHostAddress->setEnabled(false);
  Label5 = Named(new QLabel(Q(u"Порт источника"), GroupBox5), "Label5");
  Label5->setGeometry(136, 14, 90, 16);
  srcHostPort = Named(new QLineEdit(QStringLiteral("50000"), GroupBox5), "srcHostPort");
  srcHostPort->setGeometry(136, 31, 80, 21);
  srcHostPort->setEnabled(false);
  cbScoreboardLog = Named(new QCheckBox(Q(u"Лог обмена"), GroupBox5), "cbScoreboardLog");
  cbScoreboardLog->setGeometry(226, 33, 92, 18);
  cbEnableEdit = Named(new QCheckBox(Q(u"Изменить"), GroupBox5), "cbEnableEdit");
  cbEnableEdit->setGeometry(320, 33, 80, 18);
  sbSaveConfig = Named(new QPushButton(Q(u"Сохранить"), GroupBox5), "sbSaveConfig");
  sbSaveConfig->setGeometry(402, 29, 75, 25);
  Label1 = Named(new QLabel(Q(u"Порт табло"), GroupBox5), "Label1");
  Label1->setGeometry(482, 14, 56, 16);
  Label1->setVisible(false);
  cbPortsList = Named(new QComboBox(GroupBox5), "cbPortsList");
  cbPortsList->setGeometry(482, 31, 54, 21);
  cbPortsList->setEditable(false);
  cbPortsList->setVisible(false);

  mScoreboardSourceLog = Named(new QPlainTextEdit(GroupBox7), "mScoreboardSourceLog");
  mScoreboardSourceLog->setGeometry(8, 80, 541, 120);
  mScoreboardSourceLog->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  mScoreboardSourceLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  mScoreboardSourceLog->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

  gbResults = Named(new QGroupBox(Q(u"Таблица результатов"), GroupBox7), "gbResults");
  gbResults->setGeometry(8, kResultsTop, 548, kDesignResultsHeight);
  rbBestLap = Named(new QRadioButton(Q(u"Лучший круг/Квалификация"), gbResults), "rbBestLap");
  rbBestLap->setGeometry(8, 17, 190, 18);
  rbBestLap->setChecked(true);
  rbRace = Named(new QRadioButton(Q(u"Гонка"), gbResults), "rbRace");
  rbRace->setGeometry(204, 17, 80, 18);

  resultsModel_ = new TResultsModel(this);
  lvScoreboard = Named(new TResultsListView(gbResults), "lvScoreboard");
  lvScoreboard->setGeometry(2, kListTop, 541, 127);
  lvScoreboard->SetResultsModel(resultsModel_);

  SpeedButton2 = Named(new QPushButton(Q(u"Выбрать\nизображение"), gbResults), "SpeedButton2");
  SpeedButton2->setGeometry(8, 176, 106, 44);
  SpeedButton1 = Named(new QPushButton(Q(u"Вывести\nизображение"), gbResults), "SpeedButton1");
  SpeedButton1->setGeometry(122, 176, 106, 44);
  ePathToBmp = Named(new QLineEdit(gbResults), "ePathToBmp");
  ePathToBmp->setGeometry(8, 230, 220, 21);
  ePathToBmp->setEnabled(false);
  Label7 = Named(new QLabel(Q(u"Яркость экрана"), gbResults), "Label7");
  Label7->setGeometry(240, 180, 110, 16);
  tbBrightness = Named(new QSlider(Qt::Horizontal, gbResults), "tbBrightness");
  tbBrightness->setGeometry(236, 198, 118, 26);
  tbBrightness->setRange(1, 16);
  tbBrightness->setPageStep(1);
  tbBrightness->setTickPosition(QSlider::TicksBelow);
  tbBrightness->setTickInterval(1);
  tbBrightness->setValue(16);
  sbStartLight = Named(new QPushButton(Q(u"Светофор\nстарт F3"), gbResults), "sbStartLight");
  sbStartLight->setGeometry(362, 176, 88, 44);
  sbStopLight = Named(new QPushButton(Q(u"Светофор\nфиниш F4"), gbResults), "sbStopLight");
  sbStopLight->setGeometry(454, 176, 88, 44);
  sbClearScoreboard = Named(new QPushButton(Q(u"Очистить F1"), gbResults), "sbClearScoreboard");
  sbClearScoreboard->setGeometry(362, 226, 88, 30);
  sbRefreshScoreboard = Named(new QPushButton(Q(u"Обновить F2"), gbResults), "sbRefreshScoreboard");
  sbRefreshScoreboard->setGeometry(454, 226, 88, 30);

  mainStatusBar = Named(new QStatusBar(this), "mainStatusBar");
  mainStatusBar->setFixedHeight(kStatusBarHeight);
  mainStatusBar->setSizeGripEnabled(false);
  setStatusBar(mainStatusBar);
  const int widths[2] = {250, 50};
  for (int i = 0; i < 2; ++i) {
    statusPanels_[i] = new QLabel(mainStatusBar);
    statusPanels_[i]->setObjectName(QStringLiteral("mainStatusBarPanel%1").arg(i));
    statusPanels_[i]->setFixedWidth(widths[i]);
    statusPanels_[i]->setFrameShape(QFrame::Panel);
    statusPanels_[i]->setFrameShadow(QFrame::Sunken);
    mainStatusBar->addWidget(statusPanels_[i]);
  }
  statusPanels_[0]->setText(Q(kBoardStartText));

  PopupMenu1 = Named(new QMenu(this), "PopupMenu1");
  N1 = Named(new QAction(Q(u"Выход"), PopupMenu1), "N1");
  PopupMenu1->addAction(N1);
  TrayIcon1 = Named(new QSystemTrayIcon(windowIcon(), this), "TrayIcon1");
  TrayIcon1->setToolTip(QStringLiteral("Brelvo Proxy"));
  TrayIcon1->setContextMenu(PopupMenu1);
  if (trayAvailable_) TrayIcon1->show();

  Timer1 = Named(new QTimer(this), "Timer1");
  Timer1->setInterval(5000);
  Timer1->start();

  odBMPFile = Named(new QFileDialog(this), "odBMPFile");
  odBMPFile->setNameFilter(Q(u"BMP изображение (*.bmp)"));
  odBMPFile->setFileMode(QFileDialog::ExistingFile);
  odBMPFile->setAcceptMode(QFileDialog::AcceptOpen);

  boardLink_ = std::make_unique<TQtBoardLinkStatus>();
  feedLog_ = new TQtFeedLog(mScoreboardSourceLog, cbScoreboardLog, this);
  pictureOutput_ = std::make_unique<TQtPictureOutput>(this);

  connect(sbClearScoreboard, &QPushButton::clicked, this, [this] { sbClearScoreboardClick(); });
  connect(sbRefreshScoreboard, &QPushButton::clicked, this, [this] { sbRefreshScoreboardClick(); });
  connect(sbStartLight, &QPushButton::clicked, this, [this] { sbStartLightClick(); });
  connect(sbStopLight, &QPushButton::clicked, this, [this] { sbStopLightClick(); });
  connect(rbBestLap, &QRadioButton::toggled, this, [this](bool on) {
    if (on && !loadingSettings_) rbBestLapClick();
  });
  connect(rbRace, &QRadioButton::toggled, this, [this](bool on) {
    if (on && !loadingSettings_) rbRaceClick();
  });
  connect(tbBrightness, &QSlider::valueChanged, this, [this] { tbBrightnessChange(); });
  connect(cbEnableEdit, &QCheckBox::toggled, this, [this] { cbEnableEditClick(); });
  connect(sbSaveConfig, &QPushButton::clicked, this, [this] { sbSaveConfigClick(); });
  connect(cbPortsList, &QComboBox::activated, this, [this] { cbPortsListChange(); });
  connect(SpeedButton2, &QPushButton::clicked, this, [this] { SpeedButton2Click(); });
  connect(SpeedButton1, &QPushButton::clicked, this, [this] { SpeedButton1Click(); });
  connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
  connect(TrayIcon1, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) TrayIcon1Click();
  });
  connect(N1, &QAction::triggered, this, [this] { N1Click(); });

  // Key preview: every key press of the application passes FormKeyDown first.
  qApp->installEventFilter(this);

  setMinimumSize(kClientWidth, 350 - kFrameHeight);
  setMaximumSize(kClientWidth, 732 - kFrameHeight);
  resize(kClientWidth, kClientHeight);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect available = screen->availableGeometry();
    move(available.center() - QPoint((kClientWidth + kFrameWidth) / 2, (kClientHeight + kFrameHeight) / 2));
  }
}

void TQtMainForm::LayoutResults() {
  const int groupHeight = GroupBox7->height() - kResultsTop - kResultsBottomMargin;
  const int delta = groupHeight - gbResults->height();
  if (delta == 0) return;
  gbResults->resize(gbResults->width(), groupHeight);
  lvScoreboard->resize(lvScoreboard->width(), std::max(0, groupHeight - kListTop - kListBottomGap));
  for (QWidget* below :
       {static_cast<QWidget*>(SpeedButton2), static_cast<QWidget*>(SpeedButton1), static_cast<QWidget*>(ePathToBmp),
        static_cast<QWidget*>(Label7), static_cast<QWidget*>(tbBrightness), static_cast<QWidget*>(sbStartLight),
        static_cast<QWidget*>(sbStopLight), static_cast<QWidget*>(sbClearScoreboard),
        static_cast<QWidget*>(sbRefreshScoreboard)}) {
    below->move(below->x(), below->y() + delta);
  }
}

TWindowHandle TQtMainForm::Handle() const { return messageWindow_->Handle(); }

std::filesystem::path TQtMainForm::SettingsPath() const { return environment_.programFolder / kSettingsFileName; }

void TQtMainForm::FormCreate() {
  LoadSettings();
  SelectBoardPort();

  TScoreboardExchangeThread::Options options;
  options.libraryName = environment_.libraryName;
  options.feedLog = [this](const std::u16string& line) { feedLog_->LogLastLine(line); };
  exchangeThread = new TScoreboardExchangeThread(Handle(), std::move(options));
  resultsModel_->SetCellTextProvider([thread = exchangeThread](std::int32_t row, std::int32_t column) {
    return thread->GetResultCellText(row, column);
  });

  bool portOk = false;
  const int port = srcHostPort->text().toInt(&portOk);
  if (portOk) {
    exchangeThread->SetFeedAddress(platform::InetAddr(ToAnsi(srcHostAddress->text()).c_str()), port);
  }
  exchangeThread->SetScoreboardMode(static_cast<std::int32_t>(startMode));
  exchangeThread->OpenScoreboardPort("COM" + std::to_string(comPortNumber));
}

void TQtMainForm::FormDestroy() {
  if (destroyed_) return;
  destroyed_ = true;
  SaveSettings();
}

void TQtMainForm::LoadSettings() {
  comPortNumber = 0;
  startMode = 0;
  TLoadedSettings loaded;
  if (!ReadSettingsFile(SettingsPath(), loaded)) return;
  loadingSettings_ = true;
  if (loaded.host) srcHostAddress->setText(FromAnsi(*loaded.host));
  if (loaded.port) srcHostPort->setText(FromAnsi(*loaded.port));
  startMode = loaded.startMode;
  if (loaded.radioMode) (*loaded.radioMode == 0 ? rbBestLap : rbRace)->setChecked(true);
  if (loaded.brightness) tbBrightness->setValue(*loaded.brightness);
  comPortNumber = static_cast<std::int32_t>(loaded.comPort);
  loadingSettings_ = false;
}

void TQtMainForm::SaveSettings() {
  TSettingsToSave settings;
  settings.host = ToAnsi(srcHostAddress->text());
  settings.port = ToAnsi(srcHostPort->text());
  settings.mode = rbBestLap->isChecked() ? 0u : (rbRace->isChecked() ? 1u : 2u);
  settings.brightness = static_cast<std::uint32_t>(tbBrightness->value());
  settings.comPort = static_cast<std::uint32_t>(comPortNumber);
  // A failed save keeps the old file; the operator is not told.
  (void)WriteSettingsFile(SettingsPath(), settings);
}

void TQtMainForm::cbEnableEditClick() {
  const bool on = cbEnableEdit->isChecked();
  srcHostAddress->setEnabled(on);
  srcHostPort->setEnabled(on);
}

void TQtMainForm::sbSaveConfigClick() {
  bool portOk = false;
  const int port = srcHostPort->text().toInt(&portOk);
  if (portOk) {
    const std::uint32_t address = platform::InetAddr(ToAnsi(srcHostAddress->text()).c_str());
    if (exchangeThread != nullptr) exchangeThread->SetFeedAddress(address, port);
  }
  SaveSettings();
}

void TQtMainForm::SelectBoardPort() {
  std::vector<platform::TSerialPortInfo> table(platform::kMaxSerialPorts);
  int count = 0;
  environment_.enumerateSerialPorts(table.data(), count);
  if (count < 0) count = 0;
  if (count > platform::kMaxSerialPorts) count = platform::kMaxSerialPorts;

  const TPortChoice choice = ChooseBoardPort(table.data(), count, comPortNumber);
  // Filling and selecting by program is not the operator's change.
  const QSignalBlocker blocker(cbPortsList);
  cbPortsList->clear();
  for (const std::string& name : choice.items) cbPortsList->addItem(FromAnsi(name));
  cbPortsList->setCurrentIndex(choice.selected);
  comPortNumber = choice.comPortNumber;
  if (choice.chosenAutomatically) SaveSettings();
}

void TQtMainForm::cbPortsListChange() {
  const auto number = ComNumberInName(ToAnsi(cbPortsList->currentText()));
  if (!number) return;
  comPortNumber = *number;
  if (exchangeThread != nullptr) exchangeThread->OpenScoreboardPort("COM" + std::to_string(comPortNumber));
  SaveSettings();
}

void TQtMainForm::sbClearScoreboardClick() {
  if (exchangeThread != nullptr) exchangeThread->ClearScoreboard();
}

void TQtMainForm::sbRefreshScoreboardMouseDown(Qt::KeyboardModifiers modifiers) {
  testPatternRequested = modifiers.testFlag(Qt::ShiftModifier);
}

void TQtMainForm::RefreshCommand() {
  if (exchangeThread != nullptr) exchangeThread->RefreshScoreboard(testPatternRequested ? 1 : 0);
}

void TQtMainForm::sbRefreshScoreboardClick() { RefreshCommand(); }

void TQtMainForm::sbStartLightClick() {
  if (exchangeThread != nullptr) exchangeThread->SetTrafficLight(1);
}

void TQtMainForm::sbStopLightClick() {
  if (exchangeThread != nullptr) exchangeThread->SetTrafficLight(2);
}

void TQtMainForm::ModeCommand(std::int32_t mode) {
  if (exchangeThread != nullptr) {
    exchangeThread->SetScoreboardMode(mode);
    resultsModel_->SetItemCount(exchangeThread->GetListRowCount());
    lvScoreboard->viewport()->update();
  }
  SaveSettings();
  RefreshCommand();
}

void TQtMainForm::rbBestLapClick() { ModeCommand(0); }

void TQtMainForm::rbRaceClick() { ModeCommand(1); }

void TQtMainForm::tbBrightnessChange() {
  if (exchangeThread != nullptr) exchangeThread->SetBrightness(tbBrightness->value());
}

void TQtMainForm::SpeedButton2Click() {
  if (odBMPFile->exec() != QDialog::Accepted) return;
  const QStringList files = odBMPFile->selectedFiles();
  if (!files.isEmpty()) ePathToBmp->setText(files.first());
}

void TQtMainForm::SpeedButton1Click() {
  pictureOutput_->Send(ePathToBmp->text(), [this](const std::uint8_t* bits, std::int32_t width, std::int32_t height) {
    if (exchangeThread != nullptr) exchangeThread->SendPicture(bits, width, height, 0, 0);
  });
}

void TQtMainForm::SetStatusText(const std::u16string& text) {
  const QString shown = QString::fromStdU16String(text);
  if (shown != statusPanels_[0]->text()) {
    // A trace of the board link for whoever watches the debugger output.
    platform::DebugOutput(("board status: " + shown.toStdString() + "\n"));
  }
  statusPanels_[0]->setText(shown);
}

QString TQtMainForm::StatusPanelText(int panel) const {
  if (panel < 0 || panel > 1) return {};
  return statusPanels_[panel]->text();
}

void TQtMainForm::Timer1Timer() {
  const TQtBoardLinkStatus::TTick tick = boardLink_->OnTimer();
  if (!tick.panelText.empty()) SetStatusText(tick.panelText);
  if (tick.sendBrightness && exchangeThread != nullptr) exchangeThread->SetBrightness(tbBrightness->value());
}

void TQtMainForm::WindowMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  if (message == WM_EXCHANGE_NOTIFY) {
    if (wParam == static_cast<std::uintptr_t>(enTableCleared)) {
      resultsModel_->SetItemCount(0);
      lvScoreboard->viewport()->repaint();
    } else if (wParam == static_cast<std::uintptr_t>(enTableSent) && exchangeThread != nullptr) {
      resultsModel_->SetItemCount(exchangeThread->GetListRowCount());
      lvScoreboard->viewport()->repaint();
    }
  } else if (message == WM_SCOREBOARD_STATE) {
    const std::u16string text = boardLink_->OnScoreboardState(wParam, lParam);
    if (!text.empty()) SetStatusText(text);
  }
}

void TQtMainForm::closeEvent(QCloseEvent* event) {
  if (!exitRequested && trayAvailable_) {
    TrayIcon1->setVisible(true);
    hide();
    event->ignore();
    return;
  }
  // Without a tray the hidden window could never be brought back or ended,
  // so an ordinary close ends the program as "Выход" does.
  event->accept();
  QCoreApplication::quit();
}

void TQtMainForm::TrayIcon1Click() {
  TrayIcon1->setVisible(false);
  showNormal();
  raise();
  activateWindow();
}

void TQtMainForm::N1Click() {
  exitRequested = true;
  close();
}

void TQtMainForm::FormKeyDown(int key, Qt::KeyboardModifiers modifiers) {
  (void)modifiers;  // F2 with Ctrl is F2
  if (key == Qt::Key_F1) sbClearScoreboardClick();
  if (key == Qt::Key_F2) sbRefreshScoreboardClick();
  if (key == Qt::Key_F3) sbStartLightClick();
  if (key == Qt::Key_F4) sbStopLightClick();
}

bool TQtMainForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == GroupBox7 && event->type() == QEvent::Resize) {
    LayoutResults();
  } else if (watched == sbRefreshScoreboard && event->type() == QEvent::MouseButtonPress) {
    sbRefreshScoreboardMouseDown(static_cast<QMouseEvent*>(event)->modifiers());
  } else if (event->type() == QEvent::KeyPress && watched->isWidgetType()) {
    auto* widget = static_cast<QWidget*>(watched);
    if (widget->window() == this) {
      // A key the focused control ignores travels on to its parents: the
      // same event again, which must not run the command twice.
      bool repeat = false;
      if (event == lastKeyEvent_ && lastKeyReceiver_ != nullptr && lastKeyReceiver_ != watched) {
        for (QObject* p = lastKeyReceiver_->parent(); p != nullptr; p = p->parent()) {
          if (p == watched) repeat = true;
        }
      }
      if (!repeat) {
        lastKeyEvent_ = event;
        lastKeyReceiver_ = watched;
        auto* key = static_cast<QKeyEvent*>(event);
        FormKeyDown(key->key(), key->modifiers());
      }
    }
  }
  return QMainWindow::eventFilter(watched, event);
}
