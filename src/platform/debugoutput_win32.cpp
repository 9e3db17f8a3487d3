#include <windows.h>

#include <string>

#include "platform/debugoutput.h"

namespace platform {

void DebugOutput(std::string_view text) {
  // The call wants a terminated string; the text may be a slice.
  const std::string terminated(text);
  OutputDebugStringA(terminated.c_str());
}

}  // namespace platform
