// The GUI side of TWindowHandle: created and used on the GUI thread only.
// Messages posted to Handle() reach `handler` on the GUI thread, in the order
// posted; Synchronize(Handle(), ...) runs a function there and waits.
// The window must outlive every thread that posts to its handle or calls
// Synchronize on it; messages still queued when it goes are dropped. On
// Win32 only application messages (WM_USER and up) reach the handler.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/windowhandle.h"

namespace platform {

using MessageHandler = std::function<void(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)>;

// How the GUI thread is reached on POSIX, where no system message queue
// exists: the shell implements it with its toolkit's event loop, tests with a
// plain worker queue. Unused on Win32 (may be null there).
class GuiQueue {
 public:
  virtual ~GuiQueue() = default;
  // Runs task later on the GUI thread; callable from any thread, never blocks.
  virtual void Post(std::function<void()> task) = 0;
  // Runs task on the GUI thread and returns once it has run. Called from a
  // thread other than the GUI thread.
  virtual void Invoke(const std::function<void()>& task) = 0;
  // The program is ending: lets go every Invoke still waiting without
  // running its task, and drops what comes later.
  virtual void Shutdown() {}
};

class MessageWindow {
 public:
  MessageWindow(MessageHandler handler, GuiQueue* queue);
  ~MessageWindow();
  MessageWindow(const MessageWindow&) = delete;
  MessageWindow& operator=(const MessageWindow&) = delete;

  TWindowHandle Handle() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Runs fn(arg) on the window's thread and waits for it (SendMessageW on
// Win32). With a null handle fn runs at once on the calling thread.
void Synchronize(TWindowHandle window, void (*fn)(void*), void* arg);

// On the GUI thread, while it waits for another thread: runs the Synchronize
// calls that thread may be waiting in (Win32: the messages sent to this
// thread). Nothing on POSIX, where GuiQueue::Shutdown lets such calls go.
void ServeWaitingCalls();

#ifdef _WIN32
// For a window of its own that receives Synchronize calls (the Win32 main
// window): runs the call when `message` is one and returns true.
bool RunSynchronizeCall(std::uint32_t message, std::intptr_t lParam);
#endif

}  // namespace platform
