// The operator's console: source settings, feed log, results list, board
// commands, status bar and tray icon. Owns the one exchange thread.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/serialports.h"
#include "platform/windowhandle.h"

class QCheckBox;
class QComboBox;
class QFileDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QSlider;
class QStatusBar;
class QSystemTrayIcon;
class QTimer;
class QAction;
class TResultsModel;
class TResultsListView;
class TQtFeedLog;
class TQtBoardLinkStatus;
class TQtPictureOutput;
class TQtGuiQueue;
class TScoreboardExchangeThread;
namespace platform {
class MessageWindow;
}

// What the window takes from its surroundings; the program uses the
// defaults, tests point them elsewhere.
struct TQtMainFormEnvironment {
  // Holds scoreboard.ini and Archive. Empty: the program folder.
  std::filesystem::path programFolder;
  std::string libraryName = "scoreboardcontroller.dll";
  std::function<int(platform::TSerialPortInfo* table, int& count)> enumerateSerialPorts;
  // The program leaves the thread running until the process ends; a test
  // stops and frees it with the window.
  bool ownsExchangeThread = false;
  // Empty: ask the desktop whether it has a system tray.
  std::optional<bool> trayAvailable;
};

class TQtMainForm : public QMainWindow {
  Q_OBJECT

 public:
  static constexpr int kClientWidth = 564;
  static constexpr int kClientHeight = 546;
  // The Windows frame around the client area: the window's outer limits of
  // 580 wide and 350 to 732 high, taken as client sizes.
  static constexpr int kFrameWidth = 16;
  static constexpr int kFrameHeight = 39;

  explicit TQtMainForm(TQtMainFormEnvironment environment = {}, QWidget* parent = nullptr);
  ~TQtMainForm() override;

  void FormCreate();
  void FormDestroy();

  // Operator commands and events, under the names the operators' manual uses.
  void sbClearScoreboardClick();
  void sbRefreshScoreboardMouseDown(Qt::KeyboardModifiers modifiers);
  void sbRefreshScoreboardClick();
  void sbStartLightClick();
  void sbStopLightClick();
  void rbBestLapClick();
  void rbRaceClick();
  void tbBrightnessChange();
  void cbEnableEditClick();
  void sbSaveConfigClick();
  void cbPortsListChange();
  void SelectBoardPort();
  void SpeedButton1Click();
  void SpeedButton2Click();
  void Timer1Timer();
  void TrayIcon1Click();
  void N1Click();
  void FormKeyDown(int key, Qt::KeyboardModifiers modifiers);
  void LoadSettings();
  void SaveSettings();

  // The one handler of WM_EXCHANGE_NOTIFY and WM_SCOREBOARD_STATE.
  void WindowMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

  std::filesystem::path SettingsPath() const;
  std::int32_t ComPortNumber() const { return comPortNumber; }
  std::uint32_t StartMode() const { return startMode; }
  bool TestPatternRequested() const { return testPatternRequested; }
  TScoreboardExchangeThread* ExchangeThread() const { return exchangeThread; }
  TResultsModel* ResultsModel() const { return resultsModel_; }
  QString StatusPanelText(int panel) const;
  bool TrayAvailable() const { return trayAvailable_; }
  QSystemTrayIcon* TrayIcon() const { return TrayIcon1; }
  const TQtBoardLinkStatus& BoardLinkStatus() const { return *boardLink_; }
  // Where the exchange thread and the controller library post to.
  TWindowHandle Handle() const;

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateControls();
  void LayoutResults();
  void ModeCommand(std::int32_t mode);
  void RefreshCommand();
  void SetStatusText(const std::u16string& text);
  static QIcon ProgramIcon();

  TQtMainFormEnvironment environment_;
  bool trayAvailable_ = false;

  std::int32_t comPortNumber = 0;
  std::uint32_t startMode = 0;
  TScoreboardExchangeThread* exchangeThread = nullptr;
  bool exitRequested = false;
  bool testPatternRequested = false;
  bool loadingSettings_ = false;
  bool destroyed_ = false;
  // The key event last routed to FormKeyDown and its first receiver, so a key
  // that bubbles up to the parents runs its command once.
  const QEvent* lastKeyEvent_ = nullptr;
  QPointer<QObject> lastKeyReceiver_;

  QGroupBox* GroupBox7 = nullptr;
  QGroupBox* GroupBox5 = nullptr;
  QLabel* Label4 = nullptr;
  QLineEdit* srcHostAddress = nullptr;
  QLabel* Label5 = nullptr;
  QLineEdit* srcHostPort = nullptr;
  QCheckBox* cbScoreboardLog = nullptr;
  QCheckBox* cbEnableEdit = nullptr;
  QPushButton* sbSaveConfig = nullptr;
  QLabel* Label1 = nullptr;
  QComboBox* cbPortsList = nullptr;
  QPlainTextEdit* mScoreboardSourceLog = nullptr;
  QGroupBox* gbResults = nullptr;
  QRadioButton* rbBestLap = nullptr;
  QRadioButton* rbRace = nullptr;
  TResultsListView* lvScoreboard = nullptr;
  QLineEdit* ePathToBmp = nullptr;
  QPushButton* SpeedButton2 = nullptr;
  QPushButton* SpeedButton1 = nullptr;
  QPushButton* sbStartLight = nullptr;
  QPushButton* sbStopLight = nullptr;
  QLabel* Label7 = nullptr;
  QSlider* tbBrightness = nullptr;
  QPushButton* sbClearScoreboard = nullptr;
  QPushButton* sbRefreshScoreboard = nullptr;
  QStatusBar* mainStatusBar = nullptr;
  QLabel* statusPanels_[2] = {nullptr, nullptr};
  QSystemTrayIcon* TrayIcon1 = nullptr;
  QMenu* PopupMenu1 = nullptr;
  QAction* N1 = nullptr;
  QTimer* Timer1 = nullptr;
  QFileDialog* odBMPFile = nullptr;

  TResultsModel* resultsModel_ = nullptr;
  TQtFeedLog* feedLog_ = nullptr;
  std::unique_ptr<TQtBoardLinkStatus> boardLink_;
  std::unique_ptr<TQtPictureOutput> pictureOutput_;
  std::unique_ptr<TQtGuiQueue> guiQueue_;
  std::unique_ptr<platform::MessageWindow> messageWindow_;
};
