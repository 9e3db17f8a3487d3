// How the program ends, the same on every system: after the console's end
// has kept what must be kept, the process goes at once. The C runtime's
// static destructors never run, so no thread still inside the board library
// or the feed meets an object destroyed under it.
//
// On POSIX the system asks a program to end with SIGTERM (a shutdown, a
// service manager, kill), SIGHUP (the session or terminal went) and SIGINT
// (Ctrl+C in the demo's terminal). They are blocked in every thread and
// taken by a thread of the listener's own, which hands the end to the GUI
// thread. Windows ends a session through window messages instead, which the
// face forwards to the console; the listener there does nothing.
#pragma once

#include <functional>
#include <memory>

#include "platform/messagewindow.h"

namespace platform {

[[noreturn]] void EndProcess(int exitCode);

// Before any thread starts, so every thread inherits the mask. Nothing on
// Win32.
void BlockEndSignals();

class EndRequestListener {
 public:
  // Each end request runs `onEnd` on the GUI thread through `queue`.
  EndRequestListener(std::function<void()> onEnd, GuiQueue* queue);
  ~EndRequestListener();
  EndRequestListener(const EndRequestListener&) = delete;
  EndRequestListener& operator=(const EndRequestListener&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
