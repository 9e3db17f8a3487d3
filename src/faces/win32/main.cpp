// brelvo-proxy.exe: the Win32 face of the program. The program's life is the
// console's (shell/program.h); this file only makes the window, runs the
// message loop and shows an error box.
#include <windows.h>

#include <string>

#include "shell/program.h"
#include "win32mainform.h"

namespace {

class TWin32ProgramFace final : public TProgramFace {
 public:
  explicit TWin32ProgramFace(int showCommand) : showCommand_(showCommand) {}

  TmainForm& MakeWindow(TmainFormEnvironment environment) override {
    // Never freed: the process ends under it.
    form_ = new TWin32MainForm(std::move(environment));
    return form_->Console();
  }
  platform::GuiQueue* Queue() override { return nullptr; }
  void RunLoop() override {
    ::ShowWindow(form_->Handle(), showCommand_);
    UpdateWindow(form_->Handle());
    RunMessageLoop(*form_);
  }
  void Quit() override { PostQuitMessage(0); }
  void ShowError(const std::u16string& text) override {
    MessageBoxW(nullptr, reinterpret_cast<const wchar_t*>(text.c_str()), L"Brelvo Proxy", MB_OK | MB_ICONERROR);
  }

 private:
  int showCommand_;
  TWin32MainForm* form_ = nullptr;
};

}  // namespace

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*commandLine*/, int showCommand) {
  RunProgram(*new TWin32ProgramFace(showCommand));
}
