// Picture output: a BMP file checked, packed into one bit per pixel and
// handed to the board. The faces decode the file with their toolkit; the
// rules (which files are refused and why, the warning, the packing, the
// buffer limit) are here, so both faces refuse the same files alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "views/mainformview.h"

inline constexpr std::size_t kPictureBufferSize = 1048576;

// What the file's own headers say, checked against the file's length.
struct TBmpCheck {
  bool ok = false;
  std::u16string reason;  // operator-facing, Russian; empty when ok
  std::int32_t width = 0;
  std::int32_t height = 0;  // rows, whatever the file's row order
  std::int32_t bitsPerPixel = 0;
};

// Reads only inside `file`: a truncated file, a declared size or offset past
// its end, a palette past the file, 0 × 0 pixels or no BMP signature each
// give ok = false and the reason.
TBmpCheck ValidateBmpFile(std::span<const std::uint8_t> file);

// Bytes the packed picture needs: stride (width rounded up to 8) / 8 × height.
std::size_t PackedPictureSize(std::int64_t width, std::int64_t height);

struct TPackedPicture {
  bool fits = false;        // false: larger than the buffer, nothing written
  std::int32_t stride = 0;  // pixels per row, a multiple of 8
  std::int32_t height = 0;
};

enum class TPixelRule : std::int32_t {
  PureBlack,  // a one-bit picture: only a pure black (0x000000) pixel sets its bit
  Dark,       // any other depth: a pixel darker than mid grey sets its bit
};

// Zeroes `buffer` and sets one bit per pixel the rule lights, leftmost pixel
// in the high bit, rows top-down with no gap. A picture that does not fit
// leaves the buffer untouched.
TPackedPicture PackPicture(const TDecodedPicture& picture, std::span<std::uint8_t> buffer,
                           TPixelRule rule = TPixelRule::PureBlack);

inline constexpr std::u16string_view kPictureFormatWarning =
    u"Неверный формат изображения\r\nВозможен некорректный вывод";

// SpeedButton1Click's rules: read and check the file, ask the face to decode
// it, warn when it is not one bit per pixel (and then convert it by
// brightness, so a photo does not come out blank), pack it into the one picture
// buffer and send. A refused file gets a message box naming the file and
// the reason; nothing is sent and the buffer keeps the previous picture.
class TPictureOutput {
 public:
  using TSend = std::function<void(const std::uint8_t* bits, std::int32_t stride, std::int32_t height)>;

  explicit TPictureOutput(TmainFormView& view);
  // False when nothing was sent.
  bool Send(const std::u16string& path, const TSend& send);
  std::span<const std::uint8_t> Buffer() const;

 private:
  TmainFormView& view_;
};
