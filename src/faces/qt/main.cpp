// brelvo-proxy (Linux): the Qt face of the program. The program's life is
// the console's (shell/program.h); this file only makes the application and
// the window, runs Qt's loop and shows an error box.
#include <QApplication>
#include <QMessageBox>
#include <exception>
#include <memory>

#include "faces/qt/qtmainform.h"
#include "shell/program.h"

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

class TQtProgramFace final : public TProgramFace {
 public:
  TQtProgramFace(int& argc, char** argv) : argc_(argc), argv_(argv) {}

  TmainForm& MakeWindow(TmainFormEnvironment environment) override {
    application_ = std::make_unique<TBrelvoApplication>(argc_, argv_);
    TQtMainForm::InstallRussianTranslations(*application_);
    // Closing the window hides it; the tray's "Выход" ends the loop.
    QApplication::setQuitOnLastWindowClosed(false);
    TQtMainFormEnvironment faceEnvironment;
    faceEnvironment.console = std::move(environment);
    // Never destroyed: the process ends under it.
    window_ = new TQtMainForm(std::move(faceEnvironment));
    return window_->Console();
  }
  platform::GuiQueue* Queue() override { return window_ != nullptr ? &window_->Queue() : nullptr; }
  void RunLoop() override {
    window_->show();
    QApplication::exec();
  }
  void Quit() override { QCoreApplication::quit(); }
  void ShowError(const std::u16string& text) override { ShowException(QString::fromStdU16String(text)); }

 private:
  int& argc_;
  char** argv_;
  std::unique_ptr<TBrelvoApplication> application_;
  TQtMainForm* window_ = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
  // Never destroyed either: RunProgram ends the process.
  RunProgram(*new TQtProgramFace(argc, argv));
}
