// The Qt face of the main window: creates the controls from the console's
// table, turns Qt events into console calls and implements the view seam.
// No rule of the window lives here.
#pragma once

#include <QPointer>
#include <QWidget>
#include <deque>
#include <map>
#include <memory>
#include <optional>

#include "shell/fMainForm.h"

class QFileDialog;
class QLabel;
class QPlainTextEdit;
class QSystemTrayIcon;
class QTimer;
class QTranslator;
class QCoreApplication;
class TQtGuiQueue;
class TQtResultsListView;
class TQtResultsModel;
namespace platform {
class GuiQueue;
class MessageWindow;
}  // namespace platform

struct TQtMainFormEnvironment {
  TmainFormEnvironment console;  // its windowHandle is the face's own
  // Empty: ask the desktop whether it has a system tray.
  std::optional<bool> trayAvailable;
};

class TQtMainForm : public QWidget, public TmainFormView {
  Q_OBJECT

 public:
  explicit TQtMainForm(TQtMainFormEnvironment environment = {}, QWidget* parent = nullptr);
  // Tests only (the program never destroys the window): saves the settings
  // as FormDestroy does, releases the exchange thread and stops it.
  ~TQtMainForm() override;

  TmainForm& Console() { return *console_; }
  // The GUI thread, for the platform layer's listeners.
  platform::GuiQueue& Queue();
  QWidget* Control(TControlId id) const;
  QObject* Component(TControlId id) const;
  TQtResultsModel* ResultsModel() const { return resultsModel_; }
  QSystemTrayIcon* TrayIcon() const { return trayIcon_; }
  QString StatusPanelText(int panel) const;
  TWindowHandle Handle() const;

  // TmainFormView
  std::u16string Text(TControlId control) const override;
  void SetText(TControlId control, const std::u16string& text) override;
  bool Checked(TControlId control) const override;
  void SetChecked(TControlId control, bool checked) override;
  void SetEnabled(TControlId control, bool enabled) override;
  void SetVisible(TControlId control, bool visible) override;
  std::int32_t Position(TControlId control) const override;
  void SetPosition(TControlId control, std::int32_t position) override;
  void SetItems(TControlId control, const std::vector<std::u16string>& items, std::int32_t selected) override;
  void SetRowCount(std::int32_t count) override;
  void RepaintList(bool immediately) override;
  void AppendLogLine(const std::u16string& line) override;
  std::int32_t LogLineCount() const override;
  void DeleteFirstLogLine() override;
  void PostScrollLogToEnd() override;
  void SetStatusText(std::int32_t panel, const std::u16string& text) override;
  void ShowWindow() override;
  void HideWindow() override;
  void SetTrayIconVisible(bool visible) override;
  bool TrayAvailable() const override { return trayAvailable_; }
  void CloseWindow() override;
  void QuitApplication() override;
  void ShowMessage(TMessageKind kind, const std::u16string& text) override;
  std::optional<std::u16string> AskOpenFileName(std::u16string_view filterDescription,
                                                std::u16string_view filterPattern) override;
  std::optional<TDecodedPicture> DecodePicture(const std::u16string& path, std::span<const std::uint8_t> file) override;

  // Qt's own texts (dialog buttons, the file dialog) in Russian, from Qt's
  // translations; false when they are not installed.
  static bool InstallRussianTranslations(QCoreApplication& application);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateControls();
  void ConnectEvents();
  void PlaceControls();
  void PostLogFlush();
  void FlushLog();
  static QIcon ProgramIcon();

  bool trayAvailable_ = false;
  std::map<TControlId, QObject*> controls_;
  TQtResultsListView* list_ = nullptr;
  TQtResultsModel* resultsModel_ = nullptr;
  QPlainTextEdit* log_ = nullptr;
  // Feed log edits not yet made in the document (see AppendLogLine).
  struct TPendingLog {
    std::deque<QString> lines;
    int deletions = 0;  // first lines of the document to remove
    bool scroll = false;
    bool posted = false;
  } pendingLog_;
  QLabel* statusPanels_[kStatusPanelCount] = {};
  QSystemTrayIcon* trayIcon_ = nullptr;
  QFileDialog* fileDialog_ = nullptr;
  // The key event last routed to FormKeyDown and its first receiver, so a key
  // that bubbles up to the parents runs its command once.
  const QEvent* lastKeyEvent_ = nullptr;
  QPointer<QObject> lastKeyReceiver_;

  std::unique_ptr<TQtGuiQueue> guiQueue_;
  std::unique_ptr<platform::MessageWindow> messageWindow_;
  std::unique_ptr<TmainForm> console_;
};
