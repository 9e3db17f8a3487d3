#include "platform/textcodec.h"

#include <cstdint>

namespace platform {
namespace {

// Decodes strict UTF-8 (no overlong forms, no surrogates, nothing past
// U+10FFFF) into `out`; false when the text is not that, or is plain ASCII,
// which reads the same in every code page.
bool DecodeUtf8(std::string_view text, std::u16string& out) {
  out.clear();
  bool multiByte = false;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint32_t code = 0;
    std::uint32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, code = lead & 0x1Fu, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, code = lead & 0x0Fu, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, code = lead & 0x07u, minimum = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0u) != 0x80u) return false;
      code = (code << 6) | (next & 0x3Fu);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FFu)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    multiByte = true;
    i += length;
  }
  return multiByte;
}

}  // namespace

void FeedTextToUtf16(std::string_view text, std::u16string& out) {
  if (!DecodeUtf8(text, out)) AnsiToUtf16(text, out);
}

std::u16string AnsiToUtf16(std::string_view text) {
  std::u16string out;
  AnsiToUtf16(text, out);
  return out;
}

}  // namespace platform
