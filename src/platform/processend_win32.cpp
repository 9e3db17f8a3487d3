#include <windows.h>

#include <cstdio>

#include "platform/processend.h"

namespace platform {

void EndProcess(int exitCode) {
  std::fflush(nullptr);
  // Ends every other thread before the libraries are told, so none of them
  // runs on while the runtime is taken down.
  ExitProcess(static_cast<UINT>(exitCode));
}

void BlockEndSignals() {}

struct EndRequestListener::Impl {};

EndRequestListener::EndRequestListener(std::function<void()> /*onEnd*/, GuiQueue* /*queue*/)
    : impl_(std::make_unique<Impl>()) {}

EndRequestListener::~EndRequestListener() = default;

}  // namespace platform
