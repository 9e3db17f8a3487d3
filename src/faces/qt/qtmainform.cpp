#include "faces/qt/qtmainform.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCompleter>
#include <QFileDialog>
#include <QGroupBox>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QSlider>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <QTranslator>

#include "faces/qt/qtguiqueue.h"
#include "faces/qt/qtresultslistview.h"
#include "faces/qt/qtresultsmodel.h"
#include "platform/messagewindow.h"

namespace {

QString Q(std::u16string_view text) { return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size())); }

// The Windows frame (caption and borders) around the client area, where the
// outer height limits come from: they are taken as client heights here.
constexpr int kFrameHeight = 39;

template <typename T>
T* As(QObject* object) {
  return qobject_cast<T*>(object);
}

}  // namespace

TQtMainForm::TQtMainForm(TQtMainFormEnvironment environment, QWidget* parent) : QWidget(parent) {
  trayAvailable_ = environment.trayAvailable.value_or(QSystemTrayIcon::isSystemTrayAvailable());
  CreateControls();
  guiQueue_ = std::make_unique<TQtGuiQueue>(this);
  messageWindow_ = std::make_unique<platform::MessageWindow>(
      [this](std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
        console_->WindowMessage(message, wParam, lParam);
      },
      guiQueue_.get());
  environment.console.windowHandle = messageWindow_->Handle();
  console_ = std::make_unique<TmainForm>(*this, std::move(environment.console));
  resultsModel_->SetConsole(console_.get());
  list_->SetConsole(console_.get());
  ConnectEvents();
}

platform::GuiQueue& TQtMainForm::Queue() { return *guiQueue_; }

TQtMainForm::~TQtMainForm() {
  qApp->removeEventFilter(this);
  console_->FormDestroy();
  // A thread waiting on the window is let go before it is joined.
  guiQueue_->Shutdown();
  resultsModel_->SetConsole(nullptr);
  list_->SetConsole(nullptr);
  console_.reset();
  messageWindow_.reset();
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
  setWindowIcon(ProgramIcon());
  QFont font;
  // Tahoma where present; elsewhere the narrowest common sans serif is closest.
  font.setFamilies({Q(kMainFormFontName), QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("DejaVu Sans"),
                    QStringLiteral("Sans Serif")});
  font.setPointSize(kMainFormFontPoints);
  setFont(font);

  for (const TControlDesign& design : MainFormControls()) {
    QWidget* parent = design.parent == TControlId::mainForm ? this : As<QWidget>(controls_[design.parent]);
    QString caption = Q(design.caption);
    QObject* made = nullptr;
    switch (design.kind) {
      case TControlKind::Form:
        setWindowTitle(caption);
        made = this;
        break;
      case TControlKind::GroupBox:
        made = new QGroupBox(caption, parent);
        break;
      case TControlKind::Label:
        made = new QLabel(caption, parent);
        break;
      case TControlKind::Edit:
        made = new QLineEdit(caption, parent);
        break;
      case TControlKind::Memo: {
        auto* memo = new QPlainTextEdit(caption, parent);
        memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
        memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        // An undo history of every feed line would grow for the whole session.
        memo->setUndoRedoEnabled(false);
        log_ = memo;
        made = memo;
        break;
      }
      case TControlKind::CheckBox:
        made = new QCheckBox(caption, parent);
        break;
      case TControlKind::RadioButton:
        made = new QRadioButton(caption, parent);
        break;
      case TControlKind::Button:
        made = new QPushButton(caption.replace(QStringLiteral("\r\n"), QStringLiteral("\n")), parent);
        break;
      case TControlKind::ComboBox: {
        auto* combo = new QComboBox(parent);
        combo->setEditable(false);
        made = combo;
        break;
      }
      case TControlKind::ListView:
        resultsModel_ = new TQtResultsModel(this);
        list_ = new TQtResultsListView(parent);
        list_->SetResultsModel(resultsModel_);
        made = list_;
        break;
      case TControlKind::TrackBar: {
        auto* slider = new QSlider(Qt::Horizontal, parent);
        slider->setRange(design.minimum, design.maximum);
        slider->setPageStep(1);
        slider->setTickPosition(QSlider::TicksBelow);
        slider->setTickInterval(1);
        slider->setValue(design.value);
        made = slider;
        break;
      }
      case TControlKind::StatusBar: {
        auto* bar = new QStatusBar(parent);
        bar->setSizeGripEnabled(false);
        const auto panels = StatusPanels();
        for (int i = 0; i < kStatusPanelCount; ++i) {
          statusPanels_[i] = new QLabel(Q(panels[static_cast<std::size_t>(i)].text), bar);
          statusPanels_[i]->setObjectName(QStringLiteral("mainStatusBarPanel%1").arg(i));
          statusPanels_[i]->setFixedWidth(panels[static_cast<std::size_t>(i)].width);
          statusPanels_[i]->setFrameShape(QFrame::Panel);
          statusPanels_[i]->setFrameShadow(QFrame::Sunken);
          bar->addWidget(statusPanels_[i]);
        }
        made = bar;
        break;
      }
      case TControlKind::TrayIcon:
        trayIcon_ = new QSystemTrayIcon(windowIcon(), this);
        trayIcon_->setToolTip(caption);
        made = trayIcon_;
        break;
      case TControlKind::PopupMenu: {
        auto* menu = new QMenu(this);
        trayIcon_->setContextMenu(menu);
        made = menu;
        break;
      }
      case TControlKind::MenuItem: {
        auto* menu = As<QMenu>(controls_[design.parent]);
        made = menu->addAction(caption);
        break;
      }
      case TControlKind::Timer: {
        auto* timer = new QTimer(this);
        timer->setInterval(design.value);
        made = timer;
        break;
      }
      case TControlKind::OpenDialog:
        fileDialog_ = new QFileDialog(this);
        fileDialog_->setFileMode(QFileDialog::ExistingFile);
        fileDialog_->setAcceptMode(QFileDialog::AcceptOpen);
        // Qt's own dialog on every desktop, so its texts and popups are ours
        // to translate and to close.
        fileDialog_->setOption(QFileDialog::DontUseNativeDialog);
        made = fileDialog_;
        break;
    }
    made->setObjectName(QString::fromLatin1(design.name.data(), static_cast<qsizetype>(design.name.size())));
    if (auto* widget = As<QWidget>(made); widget != nullptr && widget != this) {
      widget->setEnabled(design.enabled);
      if (!design.visible) widget->setVisible(false);
      if (auto* button = As<QAbstractButton>(made)) button->setChecked(design.checked);
    }
    controls_[design.id] = made;
  }
  if (trayAvailable_) trayIcon_->show();

  const int minimumClient = kMinOuterHeight - kFrameHeight;
  const int maximumClient = kMaxOuterHeight - kFrameHeight;
  setMinimumSize(kClientWidth, minimumClient);
  setMaximumSize(kClientWidth, maximumClient);
  resize(kClientWidth, kClientHeight);
  PlaceControls();
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect available = screen->availableGeometry();
    move(available.center() - QPoint(kOuterWidth / 2, (kClientHeight + kFrameHeight) / 2));
  }
}

void TQtMainForm::ConnectEvents() {
  TmainForm* console = console_.get();
  const auto clicked = [&](TControlId id, void (TmainForm::*handler)()) {
    connect(As<QAbstractButton>(controls_[id]), &QAbstractButton::clicked, this,
            [console, handler] { (console->*handler)(); });
  };
  clicked(TControlId::sbClearScoreboard, &TmainForm::sbClearScoreboardClick);
  clicked(TControlId::sbRefreshScoreboard, &TmainForm::sbRefreshScoreboardClick);
  clicked(TControlId::sbStartLight, &TmainForm::sbStartLightClick);
  clicked(TControlId::sbStopLight, &TmainForm::sbStopLightClick);
  clicked(TControlId::rbBestLap, &TmainForm::rbBestLapClick);
  clicked(TControlId::rbRace, &TmainForm::rbRaceClick);
  clicked(TControlId::sbSaveConfig, &TmainForm::sbSaveConfigClick);
  clicked(TControlId::SpeedButton2, &TmainForm::SpeedButton2Click);
  clicked(TControlId::SpeedButton1, &TmainForm::SpeedButton1Click);
  connect(As<QCheckBox>(controls_[TControlId::cbEnableEdit]), &QCheckBox::toggled, this,
          [console] { console->cbEnableEditClick(); });
  connect(As<QCheckBox>(controls_[TControlId::cbScoreboardLog]), &QCheckBox::toggled, this,
          [console] { console->cbScoreboardLogClick(); });
  connect(As<QSlider>(controls_[TControlId::tbBrightness]), &QSlider::valueChanged, this,
          [console] { console->tbBrightnessChange(); });
  connect(As<QComboBox>(controls_[TControlId::cbPortsList]), &QComboBox::activated, this,
          [console] { console->cbPortsListChange(); });
  auto* timer = As<QTimer>(controls_[TControlId::Timer1]);
  connect(timer, &QTimer::timeout, this, [console] { console->Timer1Timer(); });
  timer->start();
  connect(trayIcon_, &QSystemTrayIcon::activated, this, [console](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) console->TrayIcon1Click();
  });
  connect(As<QAction>(controls_[TControlId::N1]), &QAction::triggered, this, [console] { console->N1Click(); });
  controls_[TControlId::sbRefreshScoreboard]->installEventFilter(this);
  // Key preview: every key press of the application passes FormKeyDown first.
  qApp->installEventFilter(this);
}

void TQtMainForm::PlaceControls() {
  for (const TControlDesign& design : MainFormControls()) {
    auto* widget = As<QWidget>(controls_[design.id]);
    if (widget == nullptr || widget == this || design.rect.width == 0) continue;
    const TRect rect = ControlRect(design.id, height());
    widget->setGeometry(rect.left, rect.top, rect.width, rect.height);
  }
}

void TQtMainForm::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  PlaceControls();
}

QWidget* TQtMainForm::Control(TControlId id) const { return As<QWidget>(Component(id)); }

QObject* TQtMainForm::Component(TControlId id) const {
  const auto found = controls_.find(id);
  return found == controls_.end() ? nullptr : found->second;
}

TWindowHandle TQtMainForm::Handle() const { return messageWindow_->Handle(); }

QString TQtMainForm::StatusPanelText(int panel) const {
  if (panel < 0 || panel >= kStatusPanelCount) return {};
  return statusPanels_[panel]->text();
}

std::u16string TQtMainForm::Text(TControlId control) const {
  QObject* object = Component(control);
  if (auto* edit = As<QLineEdit>(object)) return edit->text().toStdU16String();
  if (auto* combo = As<QComboBox>(object)) return combo->currentText().toStdU16String();
  return {};
}

void TQtMainForm::SetText(TControlId control, const std::u16string& text) {
  if (auto* edit = As<QLineEdit>(Component(control))) {
    const QSignalBlocker blocker(edit);
    edit->setText(QString::fromStdU16String(text));
  }
}

bool TQtMainForm::Checked(TControlId control) const {
  auto* button = As<QAbstractButton>(Component(control));
  return button != nullptr && button->isChecked();
}

void TQtMainForm::SetChecked(TControlId control, bool checked) {
  if (auto* button = As<QAbstractButton>(Component(control))) {
    const QSignalBlocker blocker(button);
    button->setChecked(checked);
  }
}

void TQtMainForm::SetEnabled(TControlId control, bool enabled) {
  if (QWidget* widget = Control(control)) widget->setEnabled(enabled);
}

void TQtMainForm::SetVisible(TControlId control, bool visible) {
  if (QWidget* widget = Control(control)) widget->setVisible(visible);
}

std::int32_t TQtMainForm::Position(TControlId control) const {
  auto* slider = As<QSlider>(Component(control));
  return slider != nullptr ? slider->value() : 0;
}

void TQtMainForm::SetPosition(TControlId control, std::int32_t position) {
  if (auto* slider = As<QSlider>(Component(control))) {
    const QSignalBlocker blocker(slider);
    slider->setValue(position);
  }
}

void TQtMainForm::SetItems(TControlId control, const std::vector<std::u16string>& items, std::int32_t selected) {
  auto* combo = As<QComboBox>(Component(control));
  if (combo == nullptr) return;
  const QSignalBlocker blocker(combo);
  combo->clear();
  for (const std::u16string& item : items) combo->addItem(QString::fromStdU16String(item));
  combo->setCurrentIndex(selected);
}

void TQtMainForm::SetRowCount(std::int32_t count) { resultsModel_->SetItemCount(count); }

void TQtMainForm::RepaintList(bool immediately) {
  if (immediately) {
    list_->viewport()->repaint();
  } else {
    list_->viewport()->update();
  }
}

// The log's edits wait for the window's next turn of the event loop: laying
// out a long line takes milliseconds, and the exchange thread waits for the
// feed log's hand-over. Lines that a flood pushes out before then are never
// laid out at all.
void TQtMainForm::AppendLogLine(const std::u16string& line) {
  pendingLog_.lines.push_back(QString::fromStdU16String(line));
  PostLogFlush();
}

std::int32_t TQtMainForm::LogLineCount() const {
  const int shown = log_->document()->isEmpty() ? 0 : log_->document()->blockCount();
  return shown - pendingLog_.deletions + static_cast<std::int32_t>(pendingLog_.lines.size());
}

void TQtMainForm::DeleteFirstLogLine() {
  const int shown = log_->document()->isEmpty() ? 0 : log_->document()->blockCount();
  if (pendingLog_.deletions < shown) {
    ++pendingLog_.deletions;
  } else if (!pendingLog_.lines.empty()) {
    pendingLog_.lines.pop_front();
  }
  PostLogFlush();
}

void TQtMainForm::PostScrollLogToEnd() {
  pendingLog_.scroll = true;
  PostLogFlush();
}

void TQtMainForm::PostLogFlush() {
  if (pendingLog_.posted) return;
  pendingLog_.posted = true;
  QMetaObject::invokeMethod(
      this, [this] { FlushLog(); }, Qt::QueuedConnection);
}

void TQtMainForm::FlushLog() {
  pendingLog_.posted = false;
  QTextDocument* document = log_->document();
  QTextCursor cursor(document);
  cursor.beginEditBlock();
  if (pendingLog_.deletions > 0) {
    if (pendingLog_.deletions >= document->blockCount()) {
      cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    } else {
      cursor.setPosition(document->findBlockByNumber(pendingLog_.deletions).position(), QTextCursor::KeepAnchor);
    }
    cursor.removeSelectedText();
    pendingLog_.deletions = 0;
  }
  cursor.movePosition(QTextCursor::End);
  for (const QString& line : pendingLog_.lines) {
    if (!document->isEmpty()) cursor.insertBlock();
    cursor.insertText(line);
  }
  pendingLog_.lines.clear();
  cursor.endEditBlock();
  if (pendingLog_.scroll) {
    pendingLog_.scroll = false;
    log_->verticalScrollBar()->setValue(log_->verticalScrollBar()->maximum());
  }
}

void TQtMainForm::SetStatusText(std::int32_t panel, const std::u16string& text) {
  if (panel >= 0 && panel < kStatusPanelCount) statusPanels_[panel]->setText(QString::fromStdU16String(text));
}

void TQtMainForm::ShowWindow() {
  showNormal();
  raise();
  activateWindow();
}

void TQtMainForm::HideWindow() { hide(); }

void TQtMainForm::SetTrayIconVisible(bool visible) { trayIcon_->setVisible(visible); }

void TQtMainForm::CloseWindow() { close(); }

void TQtMainForm::QuitApplication() { QCoreApplication::quit(); }

void TQtMainForm::ShowMessage(TMessageKind kind, const std::u16string& text) {
  const QString shown = QString::fromStdU16String(text);
  if (kind == TMessageKind::Warning) {
    QMessageBox::warning(this, windowTitle(), shown);
  } else {
    QMessageBox::critical(this, windowTitle(), shown);
  }
}

std::optional<std::u16string> TQtMainForm::AskOpenFileName(std::u16string_view filterDescription,
                                                           std::u16string_view filterPattern) {
  fileDialog_->setNameFilter(Q(filterDescription) + QStringLiteral(" (") + Q(filterPattern) + QStringLiteral(")"));
  const int result = fileDialog_->exec();
  // The file name's completion list is a popup of its own; left open it
  // would stay over the window and take the operator's next click.
  for (QCompleter* completer : fileDialog_->findChildren<QCompleter*>()) {
    if (completer->popup() != nullptr) completer->popup()->hide();
  }
  if (result != QDialog::Accepted) return std::nullopt;
  const QStringList files = fileDialog_->selectedFiles();
  if (files.isEmpty()) return std::nullopt;
  return files.first().toStdU16String();
}

std::optional<TDecodedPicture> TQtMainForm::DecodePicture(const std::u16string& path,
                                                          std::span<const std::uint8_t> file) {
  (void)path;  // the bytes already read are decoded, so the file cannot change in between
  QImage decoded;
  if (!decoded.loadFromData(file.data(), static_cast<int>(file.size()), "BMP")) return std::nullopt;
  // Palette pictures become their palette colours.
  auto image = std::make_shared<QImage>(decoded.convertToFormat(QImage::Format_RGB32));
  TDecodedPicture picture;
  picture.width = image->width();
  picture.height = image->height();
  picture.readRow = [image](std::int32_t y, std::uint32_t* rgb) {
    const auto* line = reinterpret_cast<const QRgb*>(image->constScanLine(y));
    for (int x = 0; x < image->width(); ++x) rgb[x] = line[x] & 0xFFFFFFu;
  };
  return picture;
}

bool TQtMainForm::InstallRussianTranslations(QCoreApplication& application) {
  auto* translator = new QTranslator(&application);
  if (!translator->load(QLocale(QLocale::Russian, QLocale::Russia), QStringLiteral("qtbase"), QStringLiteral("_"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete translator;
    return false;
  }
  QCoreApplication::installTranslator(translator);
  return true;
}

void TQtMainForm::closeEvent(QCloseEvent* event) {
  bool canClose = false;
  console_->FormCloseQuery(canClose);
  if (canClose) {
    event->accept();
  } else {
    event->ignore();
  }
}

bool TQtMainForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == controls_[TControlId::sbRefreshScoreboard] && event->type() == QEvent::MouseButtonPress) {
    console_->sbRefreshScoreboardMouseDown(static_cast<QMouseEvent*>(event)->modifiers().testFlag(Qt::ShiftModifier));
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
        // The console speaks the Windows key codes of F1 to F4.
        std::int32_t code = 0;
        if (key->key() >= Qt::Key_F1 && key->key() <= Qt::Key_F4) code = vkF1 + (key->key() - Qt::Key_F1);
        console_->FormKeyDown(code, static_cast<std::uint32_t>(key->modifiers().toInt()));
      }
    }
  }
  return QWidget::eventFilter(watched, event);
}
