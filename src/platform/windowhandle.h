// What the core and the controller library see of the main window: a handle
// that messages are posted to, and one blocking call onto the GUI thread.
//
// Win32: the handle is the HWND of a message-only window on the GUI thread
// (see messagewindow.h); posting is PostMessageW, the blocking call
// SendMessageW. POSIX: the handle points at a small C-ABI table whose
// functions the GUI side (the shell, or a test) supplies. Both halves are
// plain C so a controller library built by another compiler can post too.
//
// This header is header-only on purpose: the controller library includes it
// through exchange/scoreboardcontroller.h and links nothing of ours.
#pragma once

#include <stdint.h>

#ifdef _WIN32
#include <windows.h>
typedef HWND TWindowHandle;
#else
extern "C" {
struct TWindowTarget {
  void* context;
  // Queues (msg, wParam, lParam) for the GUI thread and returns at once.
  // Safe from any thread. Returns nonzero when queued.
  int (*post)(void* context, uint32_t message, uintptr_t wParam, intptr_t lParam);
  // Runs fn(arg) on the GUI thread and returns after it has run.
  void (*send)(void* context, void (*fn)(void*), void* arg);
};
}
typedef TWindowTarget* TWindowHandle;
#endif

// Posts a message to the window; nothing happens for a null handle.
inline bool PostWindowMessage(TWindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (window == nullptr) return false;
#ifdef _WIN32
  return PostMessageW(window, message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam)) != 0;
#else
  return window->post != nullptr && window->post(window->context, message, wParam, lParam) != 0;
#endif
}
