// The system's 8-bit code page and UTF-16: the feed, the settings file and
// port names are 8-bit text, the window and the standings hold UTF-16.
// Win32 uses the ANSI code page (MultiByteToWideChar(CP_ACP)); POSIX uses
// fixed Windows-1251 tables, the code page of the tracks we serve.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Decodes every byte (NUL included) into `out`, reusing its capacity.
void AnsiToUtf16(std::string_view text, std::u16string& out);
std::u16string AnsiToUtf16(std::string_view text);

// Text from the feed: relays and some timing systems send UTF-8 instead of
// the code page. Text that is valid UTF-8 and holds at least one multi-byte
// sequence is decoded as UTF-8; any other text as AnsiToUtf16 does.
void FeedTextToUtf16(std::string_view text, std::u16string& out);

// Characters the code page lacks become '?'.
std::string Utf16ToAnsi(std::u16string_view text);

}  // namespace platform
