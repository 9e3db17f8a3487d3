#include "faces/qt/qtpictureoutput.h"

#include <QFileInfo>
#include <QImageReader>
#include <QMessageBox>
#include <cstring>

namespace {
// The one picture buffer of the window module, for the life of the program.
std::uint8_t g_pictureBuffer[kQtPictureBufferSize];
}  // namespace

std::size_t QtPackedPictureSize(std::int64_t width, std::int64_t height) {
  if (width <= 0 || height <= 0) return 0;
  const std::int64_t stride = (width + 7) / 8 * 8;
  return static_cast<std::size_t>(stride / 8 * height);
}

bool IsOneBitPerPixel(const QImage& image) {
  return image.format() == QImage::Format_Mono || image.format() == QImage::Format_MonoLSB;
}

TQtPackedPicture QtPackPicture(const QImage& image, std::uint8_t* buffer, std::size_t capacity) {
  TQtPackedPicture result;
  const int width = image.width();
  const int height = image.height();
  result.stride = (width + 7) / 8 * 8;
  result.height = height;
  if (QtPackedPictureSize(width, height) > capacity) return result;
  result.fits = true;
  std::memset(buffer, 0, capacity);
  const int rowBytes = result.stride / 8;
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = buffer + static_cast<std::size_t>(y) * static_cast<std::size_t>(rowBytes);
    for (int x = 0; x < width; ++x) {
      // The palette colour for indexed pictures, not the stored index.
      if ((image.pixel(x, y) & 0xFFFFFFu) == 0) row[x / 8] |= static_cast<std::uint8_t>(0x80u >> (x % 8));
    }
  }
  return result;
}

TQtPictureOutput::TQtPictureOutput(QWidget* parent) : parent_(parent), pictureBuffer_(g_pictureBuffer) {}

QString TQtPictureOutput::FormatWarningText() {
  return QString::fromUtf16(u"Неверный формат изображения\r\nВозможен некорректный вывод");
}

bool TQtPictureOutput::Send(const QString& path, const TSend& send) {
  QImageReader reader(path, "bmp");
  reader.setAutoTransform(false);
  QImage image;
  if (path.isEmpty()) {
    QMessageBox::critical(parent_, QString(), QString::fromUtf16(u"Файл изображения не выбран"));
    return false;
  }
  if (!reader.read(&image)) {
    QMessageBox::critical(parent_, QString(),
                          QString::fromUtf16(u"Не удалось загрузить изображение ") + QFileInfo(path).fileName() +
                              QStringLiteral(":\r\n") + reader.errorString());
    return false;
  }
  if (QtPackedPictureSize(image.width(), image.height()) > kQtPictureBufferSize) {
    QMessageBox::critical(parent_, QString(),
                          QString::fromUtf16(u"Изображение слишком велико для табло: упакованное изображение "
                                             u"не может быть больше 1 048 576 байт (1 МиБ), например 8192 × 1024 "
                                             u"точек."));
    return false;
  }
  if (!IsOneBitPerPixel(image)) QMessageBox::warning(parent_, QString(), FormatWarningText());
  const TQtPackedPicture packed = QtPackPicture(image, pictureBuffer_, kQtPictureBufferSize);
  if (send) send(pictureBuffer_, packed.stride, packed.height);
  return true;
}
