// A message-only window (HWND_MESSAGE) on the GUI thread. Application
// messages (WM_USER and up, below the registered range) go to the handler;
// system messages take the default path. Synchronize sends a private
// registered message carrying the function, so it runs inside the window
// procedure on the GUI thread while the sender waits.
//
// The window must outlive every thread that posts to it or synchronizes on
// it; messages still queued when it is destroyed are discarded by the system.
#include <windows.h>

#include <mutex>

#include "platform/messagewindow.h"

namespace platform {
namespace {

constexpr const wchar_t* kClassName = L"BrelvoMessageWindow";

struct TSyncCall {
  void (*fn)(void*);
  void* arg;
};

UINT SyncMessage() {
  static const UINT message = RegisterWindowMessageW(L"BrelvoMessageWindow.Synchronize");
  return message;
}

}  // namespace

struct MessageWindow::Impl {
  MessageHandler handler;
  HWND window = nullptr;

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
      const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
      return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    auto* self = reinterpret_cast<Impl*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (RunSynchronizeCall(message, static_cast<std::intptr_t>(lParam))) return 0;
    if (self != nullptr && message >= WM_USER && message < 0xC000) {
      if (self->handler) {
        self->handler(static_cast<std::uint32_t>(message), static_cast<std::uintptr_t>(wParam),
                      static_cast<std::intptr_t>(lParam));
      }
      return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
  }
};

MessageWindow::MessageWindow(MessageHandler handler, GuiQueue* /*queue*/) : impl_(std::make_unique<Impl>()) {
  impl_->handler = std::move(handler);
  static std::once_flag registered;
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  std::call_once(registered, [instance] {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &Impl::WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kClassName;
    RegisterClassExW(&windowClass);
  });
  SyncMessage();
  impl_->window = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, impl_.get());
}

MessageWindow::~MessageWindow() {
  if (impl_->window != nullptr) DestroyWindow(impl_->window);
}

TWindowHandle MessageWindow::Handle() const { return impl_->window; }

bool RunSynchronizeCall(std::uint32_t message, std::intptr_t lParam) {
  if (message == 0 || message != SyncMessage()) return false;
  const auto* call = reinterpret_cast<const TSyncCall*>(lParam);
  if (call != nullptr && call->fn != nullptr) call->fn(call->arg);
  return true;
}

void ServeWaitingCalls() {
  // Peeking delivers the messages other threads sent to this one; nothing
  // queued is taken.
  MSG message;
  PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

void Synchronize(TWindowHandle window, void (*fn)(void*), void* arg) {
  if (fn == nullptr) return;
  if (window == nullptr) {
    fn(arg);
    return;
  }
  TSyncCall call{fn, arg};
  SendMessageW(window, SyncMessage(), 0, reinterpret_cast<LPARAM>(&call));
}

}  // namespace platform
