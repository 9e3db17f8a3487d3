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

#include "boardmessages.h"

namespace boardprotocol {

inline constexpr std::uint8_t kSync0 = 0xB7;
inline constexpr std::uint8_t kSync1 = 0x5A;
inline constexpr std::uint8_t kProtocolVersion = 2;
inline constexpr std::size_t kHeaderSize = 8;  // sync(2) version type seq length(2) hcrc
inline constexpr std::size_t kTrailerSize = 2;
inline constexpr std::size_t kFrameOverhead = kHeaderSize + kTrailerSize;
inline constexpr std::size_t kMaxPayload = 4096;

// A frame whose header and CRC checked out; the payload is not interpreted.
struct TFrame {
  std::uint8_t type = 0;
  std::uint8_t seq = 0;
  std::vector<std::uint8_t> payload;
};

// --- checksums ------------------------------------------------------------
std::uint8_t Crc8(std::span<const std::uint8_t> data);    // poly 0x07, init 0
std::uint16_t Crc16(std::span<const std::uint8_t> data);  // CCITT-FALSE: poly 0x1021, init 0xFFFF

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
                     std::int32_t mode, std::uint8_t& seq, std::uint32_t tableId = 0);

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
