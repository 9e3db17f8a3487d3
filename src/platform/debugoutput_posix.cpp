#include <cstdio>

#include "platform/debugoutput.h"

namespace platform {

void DebugOutput(std::string_view text) {
  if (text.empty()) return;
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace platform
