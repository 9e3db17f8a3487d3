// The ANSI code page of the machine: Windows-1251 at the tracks we serve.
#include <windows.h>

#include <climits>

#include "platform/textcodec.h"

namespace platform {

void AnsiToUtf16(std::string_view text, std::u16string& out) {
  if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) {
    out.clear();
    return;
  }
  const int length = static_cast<int>(text.size());
  // A single-byte code page never yields more characters than bytes, and a
  // multi-byte one yields fewer; so one pass into a buffer of that size.
  out.resize(text.size());
  const int written =
      MultiByteToWideChar(CP_ACP, 0, text.data(), length, reinterpret_cast<wchar_t*>(out.data()), length);
  out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
}

std::string Utf16ToAnsi(std::u16string_view text) {
  if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX / 2)) return {};
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int length = static_cast<int>(text.size());
  const int needed = WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, "?", nullptr);
  if (needed <= 0) return {};
  std::string out(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide, length, out.data(), needed, "?", nullptr);
  return out;
}

}  // namespace platform
