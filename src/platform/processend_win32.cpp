#include <windows.h>

#include <cstdio>

#include "platform/processend.h"

namespace platform {

void EndProcess(int exitCode) {
  std::fflush(nullptr);
  // Not ExitProcess: that tells every library the process detaches while
  // their threads were stopped wherever they stood (a board library's link
  // thread holding its lock), and a library may hang there. Everything to
  // keep is written by now.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
  ExitProcess(static_cast<UINT>(exitCode));  // not reached
}

void BlockEndSignals() {}

struct EndRequestListener::Impl {};

EndRequestListener::EndRequestListener(std::function<void()> /*onEnd*/, GuiQueue* /*queue*/)
    : impl_(std::make_unique<Impl>()) {}

EndRequestListener::~EndRequestListener() = default;

}  // namespace platform
