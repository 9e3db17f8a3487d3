#include "platform/textcodec.h"

namespace platform {

std::u16string AnsiToUtf16(std::string_view text) {
  std::u16string out;
  AnsiToUtf16(text, out);
  return out;
}

}  // namespace platform
