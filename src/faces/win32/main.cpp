// brelvo-proxy.exe: one copy at a time, the window, the message loop. An
// exception that reaches here is shown in a message box; the exit code is 0
// in every case.
#include <windows.h>

#include <exception>
#include <string>

#include "platform/dynamiclibrary.h"
#include "platform/singleinstance.h"
#include "win32mainform.h"

namespace {

void ShowException(const char* what) {
  // The exception's text is in the system's code page.
  const int length = MultiByteToWideChar(CP_ACP, 0, what, -1, nullptr, 0);
  std::wstring text(static_cast<std::size_t>(length > 0 ? length : 1), L'\0');
  if (length > 0) MultiByteToWideChar(CP_ACP, 0, what, -1, text.data(), length);
  MessageBoxW(nullptr, text.c_str(), L"Brelvo Proxy", MB_OK | MB_ICONERROR);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*commandLine*/, int showCommand) {
  // A second copy asks the running one to show its window and ends at once:
  // no window of its own, no message.
  if (!platform::AcquireSingleInstanceLock()) {
    platform::RequestShowFromFirstCopy();
    return 0;
  }
  // Before any library loads: never from the current folder or PATH.
  platform::RestrictLibrarySearch();
  try {
    // Never freed: the exchange thread and the board link end with the
    // process, not before it.
    auto* form = new TWin32MainForm();
    form->Start(showCommand);
    // Lives until the process ends, like the window.
    new platform::ShowRequestListener([form] { form->Console().AnotherCopyStarted(); }, nullptr);
    RunMessageLoop(*form);
  } catch (const std::exception& e) {
    ShowException(e.what());
  } catch (...) {
    ShowException("");
  }
  return 0;
}
