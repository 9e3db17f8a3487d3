#pragma once

#include <string_view>

namespace platform {

// OutputDebugStringA on Win32, standard error on POSIX. Text goes out as is;
// the caller adds the line end.
void DebugOutput(std::string_view text);

}  // namespace platform
