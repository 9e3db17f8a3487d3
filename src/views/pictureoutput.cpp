#include "views/pictureoutput.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

namespace {

// The one picture buffer of the window module, for the life of the program.
std::uint8_t g_pictureBuffer[kPictureBufferSize];

// No picture file the board could show comes near this; a larger file is
// refused before it is read into memory.
constexpr std::uint64_t kMaxFileSize = 256u * 1024u * 1024u;
// Wider or taller than any BMP the system's loaders accept.
constexpr std::int64_t kMaxSide = 32768;

constexpr std::u16string_view kNotBmp = u"файл не является изображением BMP";
constexpr std::u16string_view kTruncated = u"файл обрезан: он короче, чем указано в его заголовке";
constexpr std::u16string_view kNoPixels = u"в изображении нет ни одной точки (0 × 0)";
constexpr std::u16string_view kHugeSize = u"размер, указанный в заголовке, слишком велик";
constexpr std::u16string_view kPalettePastFile = u"палитра выходит за пределы файла";
constexpr std::u16string_view kUnsupported = u"этот вид BMP (сжатие или глубина цвета) не поддерживается";
constexpr std::u16string_view kCannotOpen = u"файл не удаётся открыть";
constexpr std::u16string_view kTooLargeFile = u"файл слишком велик";
constexpr std::u16string_view kNoFileChosen = u"Файл изображения не выбран";
constexpr std::u16string_view kTooLargeForBoard =
    u"Изображение слишком велико для табло: упакованное изображение не может быть больше 1 048 576 байт (1 МиБ), "
    u"например 8192 × 1024 точек.";

std::uint32_t U16(std::span<const std::uint8_t> f, std::size_t at) {
  return static_cast<std::uint32_t>(f[at] | (f[at + 1] << 8));
}
std::uint32_t U32(std::span<const std::uint8_t> f, std::size_t at) { return U16(f, at) | (U16(f, at + 2) << 16); }

TBmpCheck Refused(std::u16string_view reason) {
  TBmpCheck check;
  check.reason = reason;
  return check;
}

std::optional<std::vector<std::uint8_t>> ReadFile(const std::u16string& path, std::u16string& reason) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  if (!in) {
    reason = kCannotOpen;
    return std::nullopt;
  }
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size < 0) {
    reason = kCannotOpen;
    return std::nullopt;
  }
  if (static_cast<std::uint64_t>(size) > kMaxFileSize) {
    reason = kTooLargeFile;
    return std::nullopt;
  }
  in.seekg(0, std::ios::beg);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));  // at most kMaxFileSize
  if (in.gcount() != size) {
    reason = kCannotOpen;
    return std::nullopt;
  }
  return bytes;
}

// A one-bit picture is drawn for the board: only its black lights a dot. A
// deeper one has hardly any pure black, so it is cut at mid grey by its
// brightness (ITU-R BT.601 weights).
bool Lights(std::uint32_t rgb, TPixelRule rule) {
  if (rule == TPixelRule::PureBlack) return (rgb & 0xFFFFFFu) == 0;
  const std::uint32_t r = (rgb >> 16) & 0xFFu;
  const std::uint32_t g = (rgb >> 8) & 0xFFu;
  const std::uint32_t b = rgb & 0xFFu;
  return 299 * r + 587 * g + 114 * b < 128 * 1000;
}

std::u16string FileName(const std::u16string& path) {
  const std::size_t slash = path.find_last_of(u"/\\");
  return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

}  // namespace

TBmpCheck ValidateBmpFile(std::span<const std::uint8_t> file) {
  constexpr std::size_t kFileHeader = 14;
  if (file.size() < 2 || file[0] != 'B' || file[1] != 'M') return Refused(kNotBmp);
  if (file.size() < kFileHeader + 4) return Refused(kTruncated);
  const std::uint64_t declaredSize = U32(file, 2);
  const std::uint64_t pixelOffset = U32(file, 10);
  const std::uint64_t infoSize = U32(file, 14);
  const bool core = infoSize == 12;
  if (!core && infoSize != 40 && infoSize != 52 && infoSize != 56 && infoSize != 108 && infoSize != 124) {
    return Refused(kNotBmp);
  }
  if (kFileHeader + infoSize > file.size()) return Refused(kTruncated);

  std::int64_t width = 0;
  std::int64_t height = 0;
  std::uint32_t planes = 0;
  std::uint32_t bits = 0;
  std::uint32_t compression = 0;
  std::uint64_t colorsUsed = 0;
  if (core) {
    width = U16(file, 18);
    height = U16(file, 20);
    planes = U16(file, 22);
    bits = U16(file, 24);
  } else {
    width = static_cast<std::int32_t>(U32(file, 18));
    height = static_cast<std::int32_t>(U32(file, 22));
    planes = U16(file, 26);
    bits = U16(file, 28);
    compression = U32(file, 30);
    colorsUsed = U32(file, 46);
  }
  height = height < 0 ? -height : height;  // negative: rows stored top-down
  if (width == 0 || height == 0) return Refused(kNoPixels);
  if (width < 0 || width > kMaxSide || height > kMaxSide) return Refused(kHugeSize);
  if (planes != 1) return Refused(kNotBmp);

  const bool indexed = bits == 1 || bits == 4 || bits == 8;
  const bool direct = bits == 16 || bits == 24 || bits == 32;
  // Uncompressed, or colour masks (3); run-length and embedded JPEG/PNG
  // pictures are not read.
  const bool masks = compression == 3;
  if (!(indexed || direct) || !(compression == 0 || (masks && (bits == 16 || bits == 32)))) {
    return Refused(kUnsupported);
  }

  std::uint64_t headersEnd = kFileHeader + infoSize;
  if (masks && infoSize == 40) headersEnd += 12;  // the three masks follow the header
  if (headersEnd > file.size()) return Refused(kTruncated);
  if (indexed) {
    const std::uint64_t maxColors = 1u << bits;
    const std::uint64_t colors = colorsUsed == 0 ? maxColors : colorsUsed;
    if (colors > maxColors) return Refused(kPalettePastFile);
    const std::uint64_t paletteEnd = headersEnd + colors * (core ? 3 : 4);
    if (paletteEnd > file.size()) return Refused(kPalettePastFile);
  }
  // Some writers leave the size 0; one that is given must not lie.
  if (declaredSize > file.size()) return Refused(kTruncated);
  if (pixelOffset < headersEnd || pixelOffset > file.size()) return Refused(kTruncated);
  const std::uint64_t stride = (static_cast<std::uint64_t>(width) * bits + 31) / 32 * 4;
  const std::uint64_t pixelBytes = stride * static_cast<std::uint64_t>(height);
  if (pixelBytes > file.size() - pixelOffset) {
    // A size far beyond any file is a lying header, not a cut-off file.
    return Refused(pixelBytes > kMaxFileSize ? kHugeSize : kTruncated);
  }

  TBmpCheck check;
  check.ok = true;
  check.width = static_cast<std::int32_t>(width);
  check.height = static_cast<std::int32_t>(height);
  check.bitsPerPixel = static_cast<std::int32_t>(bits);
  return check;
}

std::size_t PackedPictureSize(std::int64_t width, std::int64_t height) {
  if (width <= 0 || height <= 0) return 0;
  const std::int64_t stride = (width + 7) / 8 * 8;
  return static_cast<std::size_t>(stride / 8 * height);
}

TPackedPicture PackPicture(const TDecodedPicture& picture, std::span<std::uint8_t> buffer, TPixelRule rule) {
  TPackedPicture result;
  const std::int32_t width = picture.width;
  const std::int32_t height = picture.height;
  result.stride = (width + 7) / 8 * 8;
  result.height = height;
  if (width <= 0 || height <= 0 || PackedPictureSize(width, height) > buffer.size()) return result;
  result.fits = true;
  std::fill(buffer.begin(), buffer.end(), std::uint8_t{0});
  const std::size_t rowBytes = static_cast<std::size_t>(result.stride / 8);
  std::vector<std::uint32_t> colours(static_cast<std::size_t>(width));
  for (std::int32_t y = 0; y < height; ++y) {
    picture.readRow(y, colours.data());
    std::uint8_t* row = buffer.data() + static_cast<std::size_t>(y) * rowBytes;
    for (std::int32_t x = 0; x < width; ++x) {
      if (Lights(colours[static_cast<std::size_t>(x)], rule)) {
        row[x / 8] |= static_cast<std::uint8_t>(0x80u >> (x % 8));
      }
    }
  }
  return result;
}

TPictureOutput::TPictureOutput(TmainFormView& view) : view_(view) {}

std::span<const std::uint8_t> TPictureOutput::Buffer() const { return g_pictureBuffer; }

bool TPictureOutput::Send(const std::u16string& path, const TSend& send) {
  if (path.empty()) {
    view_.ShowMessage(TMessageKind::Error, std::u16string(kNoFileChosen));
    return false;
  }
  const auto refuse = [&](std::u16string_view reason) {
    view_.ShowMessage(TMessageKind::Error,
                      u"Не удалось загрузить изображение " + FileName(path) + u":\r\n" + std::u16string(reason));
    return false;
  };
  std::u16string reason;
  const auto file = ReadFile(path, reason);
  if (!file) return refuse(reason);
  const TBmpCheck check = ValidateBmpFile(*file);
  if (!check.ok) return refuse(check.reason);
  if (PackedPictureSize(check.width, check.height) > kPictureBufferSize) {
    view_.ShowMessage(TMessageKind::Error, std::u16string(kTooLargeForBoard));
    return false;
  }
  const std::optional<TDecodedPicture> picture = view_.DecodePicture(path, *file);
  if (!picture || picture->width != check.width || picture->height != check.height || !picture->readRow) {
    return refuse(kUnsupported);
  }
  const bool oneBit = check.bitsPerPixel == 1;
  if (!oneBit) view_.ShowMessage(TMessageKind::Warning, std::u16string(kPictureFormatWarning));
  const TPackedPicture packed =
      PackPicture(*picture, g_pictureBuffer, oneBit ? TPixelRule::PureBlack : TPixelRule::Dark);
  if (send) send(g_pictureBuffer, packed.stride, packed.height);
  return true;
}
