#include <windows.h>

#include <algorithm>
#include <string>

#include "platform/singleinstance.h"

namespace platform {
namespace {

constexpr UINT kShowRequestMessage = WM_APP + 0x51;
// What the listener answers, so the second copy knows it was heard.
constexpr LRESULT kShowAnswer = 0x5157;

// The listener's message-only window is found by its class name, which
// carries the lock's name.
std::wstring ListenerClass(const char* name) {
  if (name == nullptr || *name == '\0') name = kSingleInstanceName;
  std::wstring text = L"BrelvoShowRequest";
  for (const char* c = name; *c != '\0'; ++c) text.push_back(static_cast<unsigned char>(*c));
  return text;
}

}  // namespace

bool AcquireSingleInstanceLock(const char* name) {
  if (name == nullptr || *name == '\0') name = kSingleInstanceName;
  // The Global namespace spans every session of the machine (another user
  // logged on beside, a remote desktop), as the board's port does. Owned
  // from the start; the handle is never closed, so the mutex lives exactly
  // as long as this process.
  const std::string globalName = std::string("Global\\") + name;
  const HANDLE mutex = CreateMutexA(nullptr, TRUE, globalName.c_str());
  const DWORD error = GetLastError();
  if (mutex == nullptr) {
    // Access denied: another user's session holds a mutex of that name.
    return error != ERROR_ACCESS_DENIED;
  }
  if (error == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return false;
  }
  return true;
}

bool RequestShowFromFirstCopy(const char* name, std::chrono::milliseconds wait) {
  const std::wstring className = ListenerClass(name);
  HWND listener = FindWindowExW(HWND_MESSAGE, nullptr, className.c_str(), nullptr);
  if (listener == nullptr) return false;
  // The first copy may bring its window to the front only with our leave.
  DWORD process = 0;
  GetWindowThreadProcessId(listener, &process);
  if (process != 0) AllowSetForegroundWindow(process);
  // Sent, not posted: the answer says the request was heard. A first copy
  // still busy starting does not answer within the wait.
  DWORD_PTR answer = 0;
  const UINT waitMs = static_cast<UINT>(std::max<std::chrono::milliseconds::rep>(wait.count(), 1));
  return SendMessageTimeoutW(listener, kShowRequestMessage, 0, 0, SMTO_NORMAL, waitMs, &answer) != 0 &&
         answer == static_cast<DWORD_PTR>(kShowAnswer);
}

struct ShowRequestListener::Impl {
  std::function<bool()> onRequest;
  std::wstring className;
  HWND window = nullptr;

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
      const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    } else if (message == kShowRequestMessage) {
      auto* self = reinterpret_cast<Impl*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
      // The window's own tray call may serve this while "Выход" is under
      // way: an ending program does not answer, the second copy waits.
      return self != nullptr && self->onRequest && self->onRequest() ? kShowAnswer : 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
  }
};

ShowRequestListener::ShowRequestListener(std::function<bool()> onRequest, GuiQueue* /*queue*/, const char* name)
    : impl_(std::make_unique<Impl>()) {
  Impl& d = *impl_;
  d.onRequest = std::move(onRequest);
  d.className = ListenerClass(name);
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = &Impl::WindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = d.className.c_str();
  if (RegisterClassExW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return;
  d.window = CreateWindowExW(0, d.className.c_str(), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, &d);
}

ShowRequestListener::~ShowRequestListener() {
  if (impl_->window != nullptr) DestroyWindow(impl_->window);
}

bool ShowRequestListener::Listening() const { return impl_->window != nullptr; }

}  // namespace platform
