// The serial protocol between the controller library and the LED board
// (docs/board-protocol.md). Standard library only: it is linked into the
// controller shared library, the virtual board and the tests alike.
//
// Frame on the wire (all multi-byte header fields little-endian):
//
//   0xB7 0x5A | version | type | seq | length (2) | header CRC-8 | payload | CRC-16
//
// The header CRC-8 covers version..length, so a corrupted length is caught
// before the decoder waits for a payload that never comes. The CRC-16
// (CCITT-FALSE) covers version..payload. Payload integers are zigzag varints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace boardprotocol {

inline constexpr std::uint8_t kSync0 = 0xB7;
inline constexpr std::uint8_t kSync1 = 0x5A;
inline constexpr std::uint8_t kProtocolVersion = 1;
inline constexpr std::size_t kHeaderSize = 8;  // sync(2) version type seq length(2) hcrc
inline constexpr std::size_t kTrailerSize = 2;
inline constexpr std::size_t kFrameOverhead = kHeaderSize + kTrailerSize;
inline constexpr std::size_t kMaxPayload = 4096;
inline constexpr std::size_t kMaxNameBytes = 96;              // UTF-8 bytes of one name on the wire
inline constexpr std::size_t kMaxPictureBytes = 1024 * 1024;  // packed 1-bit image, unpacked size
inline constexpr std::size_t kPictureChunkData = 1024;        // compressed bytes per chunk frame

enum class FrameType : std::uint8_t {
  // controller -> board
  ftClearBoard = 0x01,
  ftShow = 0x02,
  ftStartLight = 0x03,
  ftFinishLight = 0x04,
  ftSetBrightness = 0x05,
  ftSetRaceTime = 0x06,
  ftPictureChunk = 0x07,
  ftSetRow = 0x08,
  ftTablePush = 0x09,
  ftQuery = 0x0A,  // asks the board to send its hello again
  // board -> controller
  ftHello = 0x81,
  ftHeartbeat = 0x82,
  ftAck = 0x83,
};

// One table row as SetRow carries it. The name is UTF-8; empty stands for
// the null name of the controller interface.
struct TRowData {
  std::int32_t mode = 0;
  std::int32_t row = 0;
  std::int32_t number = 0;
  std::int32_t bestLapTime = 0;
  std::int32_t lastLapTime = 0;
  std::int32_t laps = 0;
  std::int32_t totalTime = 0;
  std::int32_t raceGap = 0;
  std::int32_t bestLapGap = 0;
  std::string name;
  bool operator==(const TRowData&) const = default;
};

struct TClearBoardMsg {
  std::int32_t immediate = 0;
  bool operator==(const TClearBoardMsg&) const = default;
};
struct TShowMsg {
  std::int32_t fullRefresh = 0;
  std::int32_t mode = 0;
  bool operator==(const TShowMsg&) const = default;
};
struct TStartLightMsg {
  bool operator==(const TStartLightMsg&) const = default;
};
struct TFinishLightMsg {
  bool operator==(const TFinishLightMsg&) const = default;
};
struct TSetBrightnessMsg {
  std::int32_t level = 0;
  bool operator==(const TSetBrightnessMsg&) const = default;
};
struct TSetRaceTimeMsg {
  std::int32_t seconds = 0;
  bool operator==(const TSetRaceTimeMsg&) const = default;
};
struct TSetRowMsg {
  TRowData row;
  bool operator==(const TSetRowMsg&) const = default;
};
// A whole table, or one part of a table too large for one frame. The first
// part (tpBegin) stands for ClearBoard(0); the last part (tpEnd) for
// Show(fullRefresh, mode). Rows are numbered firstRow, firstRow + 1, ...
struct TTablePushMsg {
  static constexpr std::uint8_t tpBegin = 0x01;
  static constexpr std::uint8_t tpEnd = 0x02;
  static constexpr std::uint8_t tpFullRefresh = 0x04;
  std::uint8_t flags = 0;
  std::int32_t mode = 0;
  std::int32_t firstRow = 1;
  std::vector<TRowData> rows;
  bool operator==(const TTablePushMsg&) const = default;
};
// One piece of a picture. The packed image ((width + 7) / 8 bytes per row,
// height rows) is PackBits-compressed; the compressed stream of
// `compressedSize` bytes is cut into chunks at `offset`.
struct TPictureChunkMsg {
  std::uint8_t pictureId = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t reserved1 = 0;
  std::int32_t reserved2 = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t offset = 0;
  std::vector<std::uint8_t> data;
  bool operator==(const TPictureChunkMsg&) const = default;
};
struct TQueryMsg {
  bool operator==(const TQueryMsg&) const = default;
};
struct THelloMsg {
  std::int32_t boardId = 0;
  std::uint8_t firmwareMajor = 0;
  std::uint8_t firmwareMinor = 0;
  std::uint8_t firmwarePatch = 0;
  std::optional<std::uint32_t> address;  // IPv4, first octet in the lowest byte
  bool operator==(const THelloMsg&) const = default;
};
struct THeartbeatMsg {
  std::uint32_t uptimeMs = 0;
  std::uint32_t framesReceived = 0;
  std::uint32_t framesRejected = 0;  // CRC, header or payload errors seen by the board
  bool operator==(const THeartbeatMsg&) const = default;
};
struct TAckMsg {
  static constexpr std::uint8_t akOk = 0;
  static constexpr std::uint8_t akBadPayload = 1;
  static constexpr std::uint8_t akUnknownType = 2;
  std::uint8_t seq = 0;
  std::uint8_t status = akOk;
  bool operator==(const TAckMsg&) const = default;
};

using TMessage =
    std::variant<TClearBoardMsg, TShowMsg, TStartLightMsg, TFinishLightMsg, TSetBrightnessMsg, TSetRaceTimeMsg,
                 TSetRowMsg, TTablePushMsg, TPictureChunkMsg, TQueryMsg, THelloMsg, THeartbeatMsg, TAckMsg>;

FrameType TypeOf(const TMessage& message);

// A frame whose header and CRC checked out; the payload is not interpreted.
struct TFrame {
  std::uint8_t type = 0;
  std::uint8_t seq = 0;
  std::vector<std::uint8_t> payload;
};

// --- checksums ------------------------------------------------------------
std::uint8_t Crc8(std::span<const std::uint8_t> data);    // poly 0x07, init 0
std::uint16_t Crc16(std::span<const std::uint8_t> data);  // CCITT-FALSE: poly 0x1021, init 0xFFFF

// --- text -----------------------------------------------------------------
// Lone surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
// nullopt for malformed UTF-8 (overlong forms, surrogates, bad continuation).
std::optional<std::u16string> Utf8ToUtf16(std::string_view text);
// Cuts at a character boundary so that at most maxBytes remain.
std::string TruncateUtf8(std::string_view text, std::size_t maxBytes);

// --- encoding -------------------------------------------------------------
// Appends one frame; false (nothing appended) when the payload exceeds kMaxPayload.
bool AppendFrame(std::vector<std::uint8_t>& out, FrameType type, std::uint8_t seq,
                 std::span<const std::uint8_t> payload);
// The payload of one message. Names longer than kMaxNameBytes are cut.
std::vector<std::uint8_t> EncodePayload(const TMessage& message);
// One message as one frame; false when it does not fit one frame (use the
// table and picture encoders below for those).
bool AppendMessage(std::vector<std::uint8_t>& out, const TMessage& message, std::uint8_t seq);

// A whole table push (ClearBoard(0) + rows + Show) as one frame, or as
// several consecutive parts when it does not fit one. `rows` carry their own
// mode and row numbers; rows numbered other than 1, 2, 3, ... or a row whose
// mode differs from the next are still encoded faithfully. `seq` is the next
// sequence number and is advanced by the number of frames appended.
void AppendTablePush(std::vector<std::uint8_t>& out, std::span<const TRowData> rows, std::int32_t fullRefresh,
                     std::int32_t mode, std::uint8_t& seq);

// False for a picture that is empty, negative or larger than kMaxPictureBytes
// packed; `bits` must hold (width + 7) / 8 * height bytes.
bool AppendPicture(std::vector<std::uint8_t>& out, const std::uint8_t* bits, std::int32_t width, std::int32_t height,
                   std::int32_t reserved1, std::int32_t reserved2, std::uint8_t pictureId, std::uint8_t& seq);

std::vector<std::uint8_t> PackBits(std::span<const std::uint8_t> data);
// nullopt when the stream is malformed or does not unpack to exactly expectedSize.
std::optional<std::vector<std::uint8_t>> UnpackBits(std::span<const std::uint8_t> data, std::size_t expectedSize);

// --- decoding -------------------------------------------------------------
// nullopt for an unknown type or a malformed payload (overrun, trailing
// bytes, out-of-range values, malformed UTF-8).
std::optional<TMessage> DecodePayload(const TFrame& frame);

struct TDecoderStats {
  std::uint64_t bytesIn = 0;
  std::uint64_t frames = 0;
  std::uint64_t bytesSkipped = 0;   // garbage before a sync or after a bad frame start
  std::uint64_t headerErrors = 0;   // bad header CRC or length over kMaxPayload
  std::uint64_t crcErrors = 0;      // bad frame CRC
  std::uint64_t versionErrors = 0;  // header fine, other protocol version
};

// Incremental frame decoder: feed bytes as they arrive, take frames out.
// After any bad frame start it resumes the search one byte further on, so a
// good frame right behind garbage or a damaged frame is never lost. Memory
// stays bounded by one maximal frame.
class TFrameDecoder {
 public:
  void Feed(std::span<const std::uint8_t> bytes);
  void Feed(const std::uint8_t* bytes, std::size_t count) { Feed(std::span<const std::uint8_t>(bytes, count)); }
  // The next complete frame, if any.
  std::optional<TFrame> Next();
  const TDecoderStats& Stats() const { return stats_; }
  std::size_t Buffered() const { return buffer_.size() - start_; }
  void Reset();

 private:
  void Compact();
  std::vector<std::uint8_t> buffer_;
  std::size_t start_ = 0;
  TDecoderStats stats_;
};

// Board side: collects the chunks of one picture.
class TPictureAssembler {
 public:
  struct TPicture {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t reserved1 = 0;
    std::int32_t reserved2 = 0;
    std::vector<std::uint8_t> bits;  // (width + 7) / 8 bytes per row, top row first
  };
  // A finished picture when this chunk completed one. A chunk of another
  // picture id or out of order abandons the picture being collected.
  std::optional<TPicture> Add(const TPictureChunkMsg& chunk);
  std::uint32_t Abandoned() const { return abandoned_; }

 private:
  bool active_ = false;
  TPictureChunkMsg header_;
  std::vector<std::uint8_t> compressed_;
  std::uint32_t abandoned_ = 0;
};

}  // namespace boardprotocol
