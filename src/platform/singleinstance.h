// Single-instance lock, machine-wide: the board's serial port and the
// results page's port belong to the machine, not to one user or session.
// Win32: a mutex in the Global namespace. Linux: an abstract Unix socket
// bound under the name, so nothing on disk can be planted or left behind.
// Held until the process ends. The copy that holds it listens for a second
// copy's request to show its window (a message-only window of a class named
// after the GUID on Win32, an abstract Unix datagram socket on Linux) and
// answers it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "platform/messagewindow.h"

namespace platform {

inline constexpr const char* kSingleInstanceName = "{1BDE1802-1DDA-4179-9E0C-36F7484B4493}";

// True when this process now holds the lock; false when another copy does.
// The lock is deliberately never released before exit.
bool AcquireSingleInstanceLock(const char* name = kSingleInstanceName);

// Asks the copy that holds the lock to show its window and waits up to
// `wait` for its answer; true when it answered. False at once when no copy
// listens (one that is still starting, or already ending).
bool RequestShowFromFirstCopy(const char* name = kSingleInstanceName,
                              std::chrono::milliseconds wait = std::chrono::milliseconds(500));

// Listens for RequestShowFromFirstCopy while it lives; each request runs
// `onRequest` on the GUI thread, which says whether the window was shown
// (false: the program is ending). Win32: the listener is created on the GUI
// thread, `queue` may be null, and the answer is onRequest's. POSIX: the
// request goes through `queue` and is answered once handed over.
class ShowRequestListener {
 public:
  ShowRequestListener(std::function<bool()> onRequest, GuiQueue* queue, const char* name = kSingleInstanceName);
  ~ShowRequestListener();
  ShowRequestListener(const ShowRequestListener&) = delete;
  ShowRequestListener& operator=(const ShowRequestListener&) = delete;

  bool Listening() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
