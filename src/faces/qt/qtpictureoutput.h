// Picture output: a BMP file packed into one bit per pixel for the board.
#pragma once

#include <QImage>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <functional>

class QWidget;

inline constexpr std::size_t kQtPictureBufferSize = 1048576;

struct TQtPackedPicture {
  bool fits = false;        // false: larger than the buffer, nothing written
  std::int32_t stride = 0;  // pixels per row, a multiple of 8
  std::int32_t height = 0;
};

// Bytes the packed picture needs.
std::size_t QtPackedPictureSize(std::int64_t width, std::int64_t height);

// Zeroes `capacity` bytes of `buffer` and sets one bit per pure black pixel,
// leftmost pixel in the high bit, rows top-down with no gap. A picture that
// does not fit leaves the buffer untouched.
TQtPackedPicture QtPackPicture(const QImage& image, std::uint8_t* buffer, std::size_t capacity);

bool IsOneBitPerPixel(const QImage& image);

// Loads the file, warns about a format that is not one bit per pixel, packs
// it into the window's picture buffer and hands it to `send`. A file that
// does not load or a picture too large for the buffer is reported in a
// message box and nothing is sent.
class TQtPictureOutput {
 public:
  using TSend = std::function<void(const std::uint8_t* bits, std::int32_t width, std::int32_t height)>;

  explicit TQtPictureOutput(QWidget* parent);
  // False when nothing was sent.
  bool Send(const QString& path, const TSend& send);
  const std::uint8_t* Buffer() const { return pictureBuffer_; }

  static QString FormatWarningText();

 private:
  QWidget* parent_;
  std::uint8_t* pictureBuffer_;
};
