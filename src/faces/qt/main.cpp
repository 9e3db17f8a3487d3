// Brelvo Proxy: one copy per machine, one window, ended only from the tray.
#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "faces/qt/qtmainform.h"
#include "platform/singleinstance.h"

namespace {

void ShowException(const QString& text) { QMessageBox::critical(nullptr, QStringLiteral("Brelvo Proxy"), text); }

// Errors inside event handlers are shown and the program goes on, as the
// operators are used to; Qt itself does not let exceptions cross its loop.
class TBrelvoApplication : public QApplication {
 public:
  using QApplication::QApplication;
  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
      ShowException(QString::fromLocal8Bit(e.what()));
    } catch (...) {
      ShowException(QString());
    }
    return false;
  }
};

TQtMainForm* mainForm = nullptr;

}  // namespace

int main(int argc, char** argv) {
  // A second copy asks the running one to show its window, then ends.
  if (!platform::AcquireSingleInstanceLock()) {
    platform::RequestShowFromFirstCopy();
    return 0;
  }
  TBrelvoApplication application(argc, argv);
  TQtMainForm::InstallRussianTranslations(application);
  // Closing the window hides it; the tray's "Выход" ends the loop.
  QApplication::setQuitOnLastWindowClosed(false);
  try {
    mainForm = new TQtMainForm();
    mainForm->Console().FormCreate();
    // Lives until the process ends, like the window.
    new platform::ShowRequestListener([] { mainForm->Console().AnotherCopyStarted(); }, &mainForm->Queue());
    mainForm->show();
    QApplication::exec();
    mainForm->Console().FormDestroy();
  } catch (const std::exception& e) {
    ShowException(QString::fromLocal8Bit(e.what()));
  } catch (...) {
    ShowException(QString());
  }
  // The exchange thread and the controller's own threads run until the very
  // end; leave without tearing down what they may still be using.
  std::fflush(nullptr);
  std::_Exit(0);
}
