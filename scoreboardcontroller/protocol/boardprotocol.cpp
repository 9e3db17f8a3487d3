#include "boardprotocol.h"

#include <algorithm>
#include <array>
#include <limits>
#include <type_traits>
#include <utility>

namespace boardprotocol {

namespace {

// Table push rows: a mask says which fields differ from the previous row of
// the same part; the differing ones follow as zigzag deltas. Before the first
// row of a part the previous row is all zero with the part's mode and row
// number firstRow - 1, so every part decodes on its own.
struct TDeltaField {
  std::uint32_t bit;
  std::int32_t TRowData::*member;
};
constexpr std::array<TDeltaField, 7> kDeltaFields{{
    {kfNumber, &TRowData::number},
    {kfBestLap, &TRowData::bestLapTime},
    {kfLastLap, &TRowData::lastLapTime},
    {kfTotal, &TRowData::totalTime},
    {kfRaceGap, &TRowData::raceGap},
    {kfBestGap, &TRowData::bestLapGap},
    {kfLaps, &TRowData::laps},
}};

TRowData PartStart(std::int32_t mode, std::int32_t firstRow) {
  TRowData r;
  r.mode = mode;
  r.row = firstRow - 1;
  return r;
}

void EncodeTableRow(TWriter& w, const TRowData& row, const TRowData& prev) {
  std::uint32_t mask = 0;
  const std::string name = TruncateUtf8(row.name, kMaxNameBytes);
  if (name != prev.name) mask |= kfName;
  for (const auto& f : kDeltaFields) {
    if (row.*f.member != prev.*f.member) mask |= f.bit;
  }
  if (static_cast<std::int64_t>(row.row) != static_cast<std::int64_t>(prev.row) + 1) mask |= kfRow;
  if (row.mode != prev.mode) mask |= kfMode;
  w.UVar(mask);
  if (mask & kfName) w.Name(name);
  for (const auto& f : kDeltaFields) {
    if (mask & f.bit) w.SVar(static_cast<std::int64_t>(row.*f.member) - prev.*f.member);
  }
  if (mask & kfRow) w.SVar(static_cast<std::int64_t>(row.row) - prev.row);
  if (mask & kfMode) w.SVar(static_cast<std::int64_t>(row.mode) - prev.mode);
}

bool DecodeTableRow(TReader& r, TRowData& row, const TRowData& prev) {
  const std::uint64_t mask = r.UVar();
  if (!r.Ok() || (mask & ~static_cast<std::uint64_t>(kfAll)) != 0) return false;
  row = prev;
  if (!(mask & kfRow)) row.row = r.Narrow(static_cast<std::int64_t>(prev.row) + 1);
  if (mask & kfName) row.name = r.Name();
  for (const auto& f : kDeltaFields) {
    if (mask & f.bit) row.*f.member = r.Narrow(prev.*f.member + r.SVar());
  }
  if (mask & kfRow) row.row = r.Narrow(prev.row + r.SVar());
  if (mask & kfMode) row.mode = r.Narrow(prev.mode + r.SVar());
  return r.Ok();
}

void EncodeRow(TWriter& w, const TRowData& row) {
  w.SVar(row.mode);
  w.SVar(row.row);
  w.SVar(row.number);
  w.SVar(row.bestLapTime);
  w.SVar(row.lastLapTime);
  w.SVar(row.laps);
  w.SVar(row.totalTime);
  w.SVar(row.raceGap);
  w.SVar(row.bestLapGap);
  w.Name(row.name);
}

TRowData DecodeRow(TReader& r) {
  TRowData row;
  row.mode = r.I32();
  row.row = r.I32();
  row.number = r.I32();
  row.bestLapTime = r.I32();
  row.lastLapTime = r.I32();
  row.laps = r.I32();
  row.totalTime = r.I32();
  row.raceGap = r.I32();
  row.bestLapGap = r.I32();
  row.name = r.Name();
  return row;
}

constexpr std::uint8_t kKnownTableFlags = TTablePushMsg::tpBegin | TTablePushMsg::tpEnd | TTablePushMsg::tpFullRefresh;

std::size_t PackedPictureSize(std::int64_t width, std::int64_t height) {
  return static_cast<std::size_t>((width + 7) / 8 * height);
}

bool PictureDimensionsValid(std::int64_t width, std::int64_t height) {
  return width > 0 && height > 0 && (width + 7) / 8 * height <= static_cast<std::int64_t>(kMaxPictureBytes);
}

// Worst case of PackBits: one header byte per 128 literal bytes.
constexpr std::size_t kMaxCompressedPicture = kMaxPictureBytes + kMaxPictureBytes / 128 + 1;

}  // namespace

// --- checksums ----------------------------------------------------------------

std::uint8_t Crc8(std::span<const std::uint8_t> data) {
  std::uint8_t crc = 0;
  for (std::uint8_t b : data) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = static_cast<std::uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
  }
  return crc;
}

std::uint16_t Crc16(std::span<const std::uint8_t> data) {
  static const auto table = [] {
    std::array<std::uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
      auto c = static_cast<std::uint16_t>(i << 8);
      for (int k = 0; k < 8; ++k) c = static_cast<std::uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1);
      t[i] = c;
    }
    return t;
  }();
  std::uint16_t crc = 0xFFFF;
  for (std::uint8_t b : data) crc = static_cast<std::uint16_t>((crc << 8) ^ table[((crc >> 8) ^ b) & 0xFF]);
  return crc;
}

// --- text -------------------------------------------------------------------

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<std::uint32_t>(text[i + 1]) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

namespace {
// Length of the valid UTF-8 sequence at text[i] and its code point; 0 when invalid.
std::size_t Utf8Sequence(std::string_view text, std::size_t i, std::uint32_t& cp) {
  const auto b0 = static_cast<std::uint8_t>(text[i]);
  std::size_t len;
  std::uint32_t min;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2, min = 0x80, cp = b0 & 0x1Fu;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, min = 0x800, cp = b0 & 0x0Fu;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, min = 0x10000, cp = b0 & 0x07u;
  } else {
    return 0;
  }
  if (i + len > text.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<std::uint8_t>(text[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3Fu);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}
}  // namespace

std::optional<std::u16string> Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t cp = 0;
    const std::size_t len = Utf8Sequence(text, i, cp);
    if (len == 0) return std::nullopt;
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string TruncateUtf8(std::string_view text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return std::string(text);
  std::size_t cut = maxBytes;
  while (cut > 0 && (static_cast<std::uint8_t>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut));
}

// --- encoding -----------------------------------------------------------------

// --- message bodies -------------------------------------------------------------

std::uint32_t RowDifference(const TRowData& a, const TRowData& b) {
  std::uint32_t mask = 0;
  if (TruncateUtf8(a.name, kMaxNameBytes) != TruncateUtf8(b.name, kMaxNameBytes)) mask |= kfName;
  for (const auto& f : kDeltaFields) {
    if (a.*f.member != b.*f.member) mask |= f.bit;
  }
  if (a.row != b.row) mask |= kfRow;
  if (a.mode != b.mode) mask |= kfMode;
  return mask;
}

void TPictureChunkMsg::Encode(TWriter& w) const {
  w.U8(pictureId);
  w.SVar(width);
  w.SVar(height);
  w.SVar(reserved1);
  w.SVar(reserved2);
  w.UVar(compressedSize);
  w.UVar(offset);
  w.Bytes(data);
}
bool TPictureChunkMsg::Decode(TReader& r) {
  pictureId = r.U8();
  width = r.I32();
  height = r.I32();
  reserved1 = r.I32();
  reserved2 = r.I32();
  compressedSize = r.U32();
  offset = r.U32();
  if (!r.Ok()) return false;
  const auto rest = r.Rest();
  data.assign(rest.begin(), rest.end());
  return PictureDimensionsValid(width, height) && compressedSize != 0 && compressedSize <= kMaxCompressedPicture &&
         std::uint64_t{offset} + data.size() <= compressedSize && !data.empty();
}

void TSetRowMsg::Encode(TWriter& w) const { EncodeRow(w, row); }
bool TSetRowMsg::Decode(TReader& r) {
  row = DecodeRow(r);
  return true;
}

void TTablePushMsg::Encode(TWriter& w) const {
  w.U8(flags);
  w.UVar(tableId);
  w.SVar(mode);
  w.SVar(firstRow);
  w.UVar(rows.size());
  TRowData prev = PartStart(mode, firstRow);
  for (const TRowData& row : rows) {
    EncodeTableRow(w, row, prev);
    prev = row;
    prev.name = TruncateUtf8(row.name, kMaxNameBytes);
  }
}
bool TTablePushMsg::Decode(TReader& r) {
  flags = r.U8();
  tableId = r.U32();
  mode = r.I32();
  firstRow = r.I32();
  const std::uint64_t count = r.UVar();
  // Every row takes at least its mask byte.
  if (!r.Ok() || (flags & ~kKnownTableFlags) != 0 || count > r.Remaining()) return false;
  rows.resize(static_cast<std::size_t>(count));
  TRowData prev = PartStart(mode, firstRow);
  for (TRowData& row : rows) {
    if (!DecodeTableRow(r, row, prev)) return false;
    prev = row;
  }
  return true;
}

void TTablePatchMsg::Encode(TWriter& w) const {
  w.UVar(baseId);
  w.UVar(tableId);
  w.SVar(mode);
  w.UVar(rowCount);
  w.UVar(changes.size());
  for (const TPatchRow& c : changes) {
    w.UVar(c.index);
    w.UVar(c.mask);
    if (c.mask & kfName) w.Name(c.values.name);
    for (const auto& f : kDeltaFields) {
      if (c.mask & f.bit) w.SVar(c.values.*f.member);
    }
    if (c.mask & kfRow) w.SVar(c.values.row);
    if (c.mask & kfMode) w.SVar(c.values.mode);
  }
}
bool TTablePatchMsg::Decode(TReader& r) {
  baseId = r.U32();
  tableId = r.U32();
  mode = r.I32();
  rowCount = r.U32();
  const std::uint64_t count = r.UVar();
  // Every change takes at least two bytes; indices ascend below rowCount.
  if (!r.Ok() || rowCount > kMaxTableRows || count > rowCount || count > r.Remaining() / 2) return false;
  changes.resize(static_cast<std::size_t>(count));
  std::int64_t last = -1;
  for (TPatchRow& c : changes) {
    c.index = r.U32();
    const std::uint64_t mask = r.UVar();
    if (!r.Ok() || c.index >= rowCount || c.index <= last || mask > kfAll) return false;
    last = c.index;
    c.mask = static_cast<std::uint32_t>(mask);
    if (c.mask & kfName) c.values.name = r.Name();
    for (const auto& f : kDeltaFields) {
      if (c.mask & f.bit) c.values.*f.member = r.I32();
    }
    if (c.mask & kfRow) c.values.row = r.I32();
    if (c.mask & kfMode) c.values.mode = r.I32();
  }
  return r.Ok();
}
std::vector<TRowData> TTablePatchMsg::Apply(std::vector<TRowData> base) const {
  const std::size_t kept = std::min<std::size_t>(base.size(), rowCount);
  base.resize(rowCount);
  for (std::size_t i = kept; i < base.size(); ++i) {
    base[i].mode = mode;
    base[i].row = static_cast<std::int32_t>(i + 1);
  }
  for (const TPatchRow& c : changes) {
    TRowData& row = base[c.index];
    if (c.mask & kfName) row.name = c.values.name;
    for (const auto& f : kDeltaFields) {
      if (c.mask & f.bit) row.*f.member = c.values.*f.member;
    }
    if (c.mask & kfRow) row.row = c.values.row;
    if (c.mask & kfMode) row.mode = c.values.mode;
  }
  return base;
}

void THelloMsg::Encode(TWriter& w) const {
  w.SVar(boardId);
  w.U8(firmwareMajor);
  w.U8(firmwareMinor);
  w.U8(firmwarePatch);
  w.U8(address ? 1 : 0);
  if (address) {
    for (int i = 0; i < 4; ++i) w.U8(static_cast<std::uint8_t>(*address >> (8 * i)));
  }
}
bool THelloMsg::Decode(TReader& r) {
  boardId = r.I32();
  firmwareMajor = r.U8();
  firmwareMinor = r.U8();
  firmwarePatch = r.U8();
  const std::uint8_t hasAddress = r.U8();
  if (hasAddress > 1) return false;
  if (hasAddress == 1) {
    std::uint32_t a = 0;
    for (int i = 0; i < 4; ++i) a |= static_cast<std::uint32_t>(r.U8()) << (8 * i);
    address = a;
  }
  return true;
}

bool AppendFrame(std::vector<std::uint8_t>& out, FrameType type, std::uint8_t seq,
                 std::span<const std::uint8_t> payload) {
  if (payload.size() > kMaxPayload) return false;
  const std::size_t begin = out.size();
  const auto len = static_cast<std::uint16_t>(payload.size());
  out.insert(out.end(), {kSync0, kSync1, kProtocolVersion, static_cast<std::uint8_t>(type), seq,
                         static_cast<std::uint8_t>(len & 0xFF), static_cast<std::uint8_t>(len >> 8)});
  out.push_back(Crc8(std::span<const std::uint8_t>(out.data() + begin + 2, 5)));
  out.insert(out.end(), payload.begin(), payload.end());
  // The CRC-16 runs from the version byte to the end of the payload, header CRC included.
  const std::uint16_t crc = Crc16(std::span<const std::uint8_t>(out.data() + begin + 2, kHeaderSize - 2 + len));
  out.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  out.push_back(static_cast<std::uint8_t>(crc >> 8));
  return true;
}

std::vector<std::uint8_t> EncodePayload(const TMessage& message) {
  std::vector<std::uint8_t> out;
  TWriter w(out);
  std::visit([&w](const auto& m) { m.Encode(w); }, message);
  return out;
}

bool AppendMessage(std::vector<std::uint8_t>& out, const TMessage& message, std::uint8_t seq) {
  const std::vector<std::uint8_t> payload = EncodePayload(message);
  return AppendFrame(out, TypeOf(message), seq, payload);
}

void AppendTablePush(std::vector<std::uint8_t>& out, std::span<const TRowData> rows, std::int32_t fullRefresh,
                     std::int32_t mode, std::uint8_t& seq, std::uint32_t tableId) {
  // Rows go into the current part until the next one would overflow a frame;
  // the row is then encoded again as the first row of a new part.
  std::size_t next = 0;
  bool first = true;
  do {
    TTablePushMsg part;
    part.mode = mode;
    part.firstRow = next < rows.size() ? rows[next].row : 1;
    part.flags = first ? TTablePushMsg::tpBegin : 0;
    std::vector<std::uint8_t> body;  // the encoded rows of this part
    TWriter w(body);
    TRowData prev = PartStart(mode, part.firstRow);
    std::size_t count = 0;
    constexpr std::size_t kPartHeaderRoom = 1 + 4 * 10;  // flags, tableId, mode, firstRow, count varints
    while (next < rows.size()) {
      const std::size_t before = body.size();
      EncodeTableRow(w, rows[next], prev);
      if (body.size() + kPartHeaderRoom > kMaxPayload && count > 0) {
        body.resize(before);
        break;
      }
      prev = rows[next];
      prev.name = TruncateUtf8(rows[next].name, kMaxNameBytes);
      ++next;
      ++count;
    }
    if (next == rows.size()) {
      part.flags = static_cast<std::uint8_t>(part.flags | TTablePushMsg::tpEnd |
                                             (fullRefresh ? TTablePushMsg::tpFullRefresh : 0));
    }
    std::vector<std::uint8_t> payload;
    TWriter h(payload);
    h.U8(part.flags);
    h.UVar(tableId);
    h.SVar(part.mode);
    h.SVar(part.firstRow);
    h.UVar(count);
    payload.insert(payload.end(), body.begin(), body.end());
    AppendFrame(out, FrameType::ftTablePush, seq++, payload);
    first = false;
  } while (next < rows.size());
}

std::vector<std::uint8_t> PackBits(std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> out;
  out.reserve(data.size() / 8 + 16);
  std::size_t i = 0;
  while (i < data.size()) {
    std::size_t run = 1;
    while (i + run < data.size() && run < 128 && data[i + run] == data[i]) ++run;
    if (run >= 2) {
      out.push_back(static_cast<std::uint8_t>(257 - run));
      out.push_back(data[i]);
      i += run;
      continue;
    }
    // Literals until a run of two or more starts.
    std::size_t lit = 1;
    while (i + lit < data.size() && lit < 128 && !(i + lit + 1 < data.size() && data[i + lit] == data[i + lit + 1])) {
      ++lit;
    }
    out.push_back(static_cast<std::uint8_t>(lit - 1));
    out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(i),
               data.begin() + static_cast<std::ptrdiff_t>(i + lit));
    i += lit;
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> UnpackBits(std::span<const std::uint8_t> data, std::size_t expectedSize) {
  std::vector<std::uint8_t> out;
  out.reserve(expectedSize);
  std::size_t i = 0;
  while (i < data.size()) {
    const std::uint8_t n = data[i++];
    if (n < 128) {
      const std::size_t count = std::size_t{n} + 1;
      if (i + count > data.size() || out.size() + count > expectedSize) return std::nullopt;
      out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(i),
                 data.begin() + static_cast<std::ptrdiff_t>(i + count));
      i += count;
    } else if (n > 128) {
      const std::size_t count = 257 - std::size_t{n};
      if (i >= data.size() || out.size() + count > expectedSize) return std::nullopt;
      out.insert(out.end(), count, data[i++]);
    }
  }
  if (out.size() != expectedSize) return std::nullopt;
  return out;
}

bool AppendPicture(std::vector<std::uint8_t>& out, const std::uint8_t* bits, std::int32_t width, std::int32_t height,
                   std::int32_t reserved1, std::int32_t reserved2, std::uint8_t pictureId, std::uint8_t& seq) {
  if (bits == nullptr || !PictureDimensionsValid(width, height)) return false;
  const std::vector<std::uint8_t> packed =
      PackBits(std::span<const std::uint8_t>(bits, PackedPictureSize(width, height)));
  TPictureChunkMsg chunk;
  chunk.pictureId = pictureId;
  chunk.width = width;
  chunk.height = height;
  chunk.reserved1 = reserved1;
  chunk.reserved2 = reserved2;
  chunk.compressedSize = static_cast<std::uint32_t>(packed.size());
  std::size_t offset = 0;
  do {
    const std::size_t n = std::min(kPictureChunkData, packed.size() - offset);
    chunk.offset = static_cast<std::uint32_t>(offset);
    chunk.data.assign(packed.begin() + static_cast<std::ptrdiff_t>(offset),
                      packed.begin() + static_cast<std::ptrdiff_t>(offset + n));
    AppendMessage(out, chunk, seq++);
    offset += n;
  } while (offset < packed.size());
  return true;
}

// --- decoding -----------------------------------------------------------------

namespace {

template <std::size_t... I>
constexpr bool TypesDistinct(std::index_sequence<I...>) {
  constexpr FrameType types[] = {std::variant_alternative_t<I, TMessage>::kType...};
  for (std::size_t i = 0; i < sizeof...(I); ++i) {
    for (std::size_t k = i + 1; k < sizeof...(I); ++k) {
      if (types[i] == types[k]) return false;
    }
  }
  return true;
}
static_assert(TypesDistinct(std::make_index_sequence<std::variant_size_v<TMessage>>{}),
              "two messages share a frame type");

template <std::size_t... I>
std::optional<TMessage> DecodeAs(std::uint8_t type, TReader& r, std::index_sequence<I...>) {
  std::optional<TMessage> result;
  auto attempt = [&]<std::size_t K>(std::integral_constant<std::size_t, K>) {
    using M = std::variant_alternative_t<K, TMessage>;
    if (static_cast<std::uint8_t>(M::kType) != type) return false;
    M m;
    if (m.Decode(r)) result = std::move(m);
    return true;
  };
  (attempt(std::integral_constant<std::size_t, I>{}) || ...);
  return result;
}

template <std::size_t... I>
bool Known(std::uint8_t type, std::index_sequence<I...>) {
  return ((static_cast<std::uint8_t>(std::variant_alternative_t<I, TMessage>::kType) == type) || ...);
}

constexpr auto kAllMessages = std::make_index_sequence<std::variant_size_v<TMessage>>{};

}  // namespace

bool IsKnownType(std::uint8_t type) { return Known(type, kAllMessages); }

std::optional<TMessage> DecodePayload(const TFrame& frame) {
  TReader r(frame.payload);
  std::optional<TMessage> result = DecodeAs(frame.type, r, kAllMessages);
  if (!result || !r.Ok() || !r.AtEnd()) return std::nullopt;
  return result;
}

void TFrameDecoder::Feed(std::span<const std::uint8_t> bytes) {
  stats_.bytesIn += bytes.size();
  Compact();
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

void TFrameDecoder::Compact() {
  if (start_ == 0) return;
  if (start_ >= buffer_.size()) {
    buffer_.clear();
  } else {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
  }
  start_ = 0;
}

void TFrameDecoder::Reset() {
  buffer_.clear();
  start_ = 0;
}

std::optional<TFrame> TFrameDecoder::Next() {
  for (;;) {
    // Find the sync pair.
    while (start_ < buffer_.size()) {
      if (buffer_[start_] == kSync0 && (start_ + 1 >= buffer_.size() || buffer_[start_ + 1] == kSync1)) break;
      ++start_;
      ++stats_.bytesSkipped;
    }
    const std::size_t avail = buffer_.size() - start_;
    if (avail < kHeaderSize) return std::nullopt;
    const std::uint8_t* h = buffer_.data() + start_;
    const std::size_t len = std::size_t{h[5]} | (std::size_t{h[6]} << 8);
    if (Crc8(std::span<const std::uint8_t>(h + 2, 5)) != h[7] || len > kMaxPayload) {
      ++stats_.headerErrors;
      ++start_;
      ++stats_.bytesSkipped;
      continue;
    }
    if (h[2] != kProtocolVersion) {
      ++stats_.versionErrors;
      ++start_;
      ++stats_.bytesSkipped;
      continue;
    }
    if (avail < kHeaderSize + len + kTrailerSize) return std::nullopt;
    const std::uint16_t crc = Crc16(std::span<const std::uint8_t>(h + 2, kHeaderSize - 2 + len));
    const std::uint16_t got = static_cast<std::uint16_t>(h[kHeaderSize + len] | (h[kHeaderSize + len + 1] << 8));
    if (crc != got) {
      ++stats_.crcErrors;
      ++start_;
      ++stats_.bytesSkipped;
      continue;
    }
    TFrame frame;
    frame.type = h[3];
    frame.seq = h[4];
    frame.payload.assign(h + kHeaderSize, h + kHeaderSize + len);
    start_ += kHeaderSize + len + kTrailerSize;
    ++stats_.frames;
    return frame;
  }
}

// --- picture assembly ---------------------------------------------------------

std::optional<TPictureAssembler::TPicture> TPictureAssembler::Add(const TPictureChunkMsg& chunk) {
  const bool continues = active_ && chunk.pictureId == header_.pictureId && chunk.width == header_.width &&
                         chunk.height == header_.height && chunk.compressedSize == header_.compressedSize &&
                         chunk.offset == compressed_.size();
  if (!continues) {
    if (active_) ++abandoned_;
    active_ = false;
    compressed_.clear();
    if (chunk.offset != 0) return std::nullopt;  // joined in the middle: wait for the next picture
    active_ = true;
    header_ = chunk;
    header_.data.clear();
  }
  compressed_.insert(compressed_.end(), chunk.data.begin(), chunk.data.end());
  if (compressed_.size() < header_.compressedSize) return std::nullopt;
  active_ = false;
  auto bits = UnpackBits(compressed_, PackedPictureSize(header_.width, header_.height));
  compressed_.clear();
  if (!bits) {
    ++abandoned_;
    return std::nullopt;
  }
  TPicture picture;
  picture.width = header_.width;
  picture.height = header_.height;
  picture.reserved1 = header_.reserved1;
  picture.reserved2 = header_.reserved2;
  picture.bits = std::move(*bits);
  return picture;
}

}  // namespace boardprotocol
