// Every message of the board protocol, each defined once: its frame type,
// its fields, and its encoding and decoding side by side. A new message is
// one more struct here and one more alternative of TMessage; the visitors
// that must handle it (the board's Apply, the controller's answers) list
// every alternative, so the compiler points at each of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "boardwire.h"

namespace boardprotocol {

inline constexpr std::size_t kMaxPictureBytes = 1024 * 1024;  // packed 1-bit image, unpacked size
inline constexpr std::size_t kPictureChunkData = 1024;        // compressed bytes per chunk frame
// Rows one table may hold on the board; a longer table is cut there, so a
// flood of table parts cannot grow the board's memory.
inline constexpr std::size_t kMaxTableRows = 1000;

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
  ftQuery = 0x0A,
  ftTablePatch = 0x0B,
  // board -> controller
  ftHello = 0x81,
  ftHeartbeat = 0x82,
  ftAck = 0x83,
  ftDrawn = 0x84,
};

// One table row. The name is UTF-8; empty stands for the null name of the
// controller interface.
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

// Field bits of a row on the wire: which fields a table row or a patched
// row carries.
enum : std::uint32_t {
  kfName = 1u << 0,
  kfNumber = 1u << 1,
  kfBestLap = 1u << 2,
  kfLastLap = 1u << 3,
  kfTotal = 1u << 4,
  kfRaceGap = 1u << 5,
  kfBestGap = 1u << 6,
  kfLaps = 1u << 7,
  kfRow = 1u << 8,
  kfMode = 1u << 9,
  kfAll = (1u << 10) - 1,
};
// The bits of the fields in which two rows differ (names compared as sent).
std::uint32_t RowDifference(const TRowData& a, const TRowData& b);

struct TClearBoardMsg {
  static constexpr FrameType kType = FrameType::ftClearBoard;
  std::int32_t immediate = 0;
  void Encode(TWriter& w) const { w.SVar(immediate); }
  bool Decode(TReader& r) {
    immediate = r.I32();
    return true;
  }
  bool operator==(const TClearBoardMsg&) const = default;
};

struct TShowMsg {
  static constexpr FrameType kType = FrameType::ftShow;
  std::int32_t fullRefresh = 0;
  std::int32_t mode = 0;
  void Encode(TWriter& w) const {
    w.SVar(fullRefresh);
    w.SVar(mode);
  }
  bool Decode(TReader& r) {
    fullRefresh = r.I32();
    mode = r.I32();
    return true;
  }
  bool operator==(const TShowMsg&) const = default;
};

struct TStartLightMsg {
  static constexpr FrameType kType = FrameType::ftStartLight;
  void Encode(TWriter&) const {}
  bool Decode(TReader&) { return true; }
  bool operator==(const TStartLightMsg&) const = default;
};

struct TFinishLightMsg {
  static constexpr FrameType kType = FrameType::ftFinishLight;
  void Encode(TWriter&) const {}
  bool Decode(TReader&) { return true; }
  bool operator==(const TFinishLightMsg&) const = default;
};

struct TSetBrightnessMsg {
  static constexpr FrameType kType = FrameType::ftSetBrightness;
  std::int32_t level = 0;
  void Encode(TWriter& w) const { w.SVar(level); }
  bool Decode(TReader& r) {
    level = r.I32();
    return true;
  }
  bool operator==(const TSetBrightnessMsg&) const = default;
};

struct TSetRaceTimeMsg {
  static constexpr FrameType kType = FrameType::ftSetRaceTime;
  std::int32_t seconds = 0;
  void Encode(TWriter& w) const { w.SVar(seconds); }
  bool Decode(TReader& r) {
    seconds = r.I32();
    return true;
  }
  bool operator==(const TSetRaceTimeMsg&) const = default;
};

// One piece of a picture. The packed image ((width + 7) / 8 bytes per row,
// height rows) is PackBits-compressed; the compressed stream of
// `compressedSize` bytes is cut into chunks at `offset`.
struct TPictureChunkMsg {
  static constexpr FrameType kType = FrameType::ftPictureChunk;
  std::uint8_t pictureId = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t reserved1 = 0;
  std::int32_t reserved2 = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t offset = 0;
  std::vector<std::uint8_t> data;
  void Encode(TWriter& w) const;
  bool Decode(TReader& r);
  bool operator==(const TPictureChunkMsg&) const = default;
};

// One row given on its own (the board appends it to the table being built).
struct TSetRowMsg {
  static constexpr FrameType kType = FrameType::ftSetRow;
  TRowData row;
  void Encode(TWriter& w) const;
  bool Decode(TReader& r);
  bool operator==(const TSetRowMsg&) const = default;
};

// A whole table, or one part of a table too large for one frame. The first
// part (tpBegin) stands for ClearBoard(0); the last part (tpEnd) for
// Show(fullRefresh, mode). Rows are numbered firstRow, firstRow + 1, ...
// `tableId` names the table for the board's Drawn answer.
struct TTablePushMsg {
  static constexpr FrameType kType = FrameType::ftTablePush;
  static constexpr std::uint8_t tpBegin = 0x01;
  static constexpr std::uint8_t tpEnd = 0x02;
  static constexpr std::uint8_t tpFullRefresh = 0x04;
  std::uint8_t flags = 0;
  std::uint32_t tableId = 0;
  std::int32_t mode = 0;
  std::int32_t firstRow = 1;
  std::vector<TRowData> rows;
  void Encode(TWriter& w) const;
  bool Decode(TReader& r);
  bool operator==(const TTablePushMsg&) const = default;
};

struct TQueryMsg {
  static constexpr FrameType kType = FrameType::ftQuery;
  void Encode(TWriter&) const {}
  bool Decode(TReader&) { return true; }
  bool operator==(const TQueryMsg&) const = default;
};

// The rows of table `tableId` that differ from table `baseId`, which the
// board must be showing; the other rows are kept, rows past `rowCount` go.
// A changed row carries only its changed fields (mask), as plain values.
struct TPatchRow {
  std::uint32_t index = 0;  // from 0
  std::uint32_t mask = 0;   // kf* bits present
  TRowData values;          // fields outside the mask are zero
  bool operator==(const TPatchRow&) const = default;
};
struct TTablePatchMsg {
  static constexpr FrameType kType = FrameType::ftTablePatch;
  std::uint32_t baseId = 0;
  std::uint32_t tableId = 0;
  std::int32_t mode = 0;
  std::uint32_t rowCount = 0;
  std::vector<TPatchRow> changes;  // ascending index, each below rowCount
  void Encode(TWriter& w) const;
  bool Decode(TReader& r);
  // The table `base` becomes once patched.
  std::vector<TRowData> Apply(std::vector<TRowData> base) const;
  bool operator==(const TTablePatchMsg&) const = default;
};

struct THelloMsg {
  static constexpr FrameType kType = FrameType::ftHello;
  std::int32_t boardId = 0;
  std::uint8_t firmwareMajor = 0;
  std::uint8_t firmwareMinor = 0;
  std::uint8_t firmwarePatch = 0;
  std::optional<std::uint32_t> address;  // IPv4, first octet in the lowest byte
  void Encode(TWriter& w) const;
  bool Decode(TReader& r);
  bool operator==(const THelloMsg&) const = default;
};

struct THeartbeatMsg {
  static constexpr FrameType kType = FrameType::ftHeartbeat;
  std::uint32_t uptimeMs = 0;
  std::uint32_t framesReceived = 0;
  std::uint32_t framesRejected = 0;  // CRC, header or payload errors seen by the board
  std::uint32_t shownTable = 0;      // id of the table on display, 0 for none
  void Encode(TWriter& w) const {
    w.UVar(uptimeMs);
    w.UVar(framesReceived);
    w.UVar(framesRejected);
    w.UVar(shownTable);
  }
  bool Decode(TReader& r) {
    uptimeMs = r.U32();
    framesReceived = r.U32();
    framesRejected = r.U32();
    shownTable = r.U32();
    return true;
  }
  bool operator==(const THeartbeatMsg&) const = default;
};

// One for every frame that passed the CRC.
struct TAckMsg {
  static constexpr FrameType kType = FrameType::ftAck;
  static constexpr std::uint8_t akOk = 0;
  static constexpr std::uint8_t akBadPayload = 1;
  static constexpr std::uint8_t akUnknownType = 2;
  std::uint8_t seq = 0;
  std::uint8_t status = akOk;
  void Encode(TWriter& w) const {
    w.U8(seq);
    w.U8(status);
  }
  bool Decode(TReader& r) {
    seq = r.U8();
    status = r.U8();
    return true;
  }
  bool operator==(const TAckMsg&) const = default;
};

// What the board now shows, after a table push or patch: `tableId` drawn,
// or (dwNeedWhole) a patch whose base it does not show was refused and
// `tableId` is what it still shows.
struct TDrawnMsg {
  static constexpr FrameType kType = FrameType::ftDrawn;
  static constexpr std::uint8_t dwDrawn = 0;
  static constexpr std::uint8_t dwNeedWhole = 1;
  std::uint32_t tableId = 0;
  std::uint8_t status = dwDrawn;
  void Encode(TWriter& w) const {
    w.UVar(tableId);
    w.U8(status);
  }
  bool Decode(TReader& r) {
    tableId = r.U32();
    status = r.U8();
    return status <= dwNeedWhole;
  }
  bool operator==(const TDrawnMsg&) const = default;
};

using TMessage = std::variant<TClearBoardMsg, TShowMsg, TStartLightMsg, TFinishLightMsg, TSetBrightnessMsg,
                              TSetRaceTimeMsg, TSetRowMsg, TTablePushMsg, TPictureChunkMsg, TQueryMsg, TTablePatchMsg,
                              THelloMsg, THeartbeatMsg, TAckMsg, TDrawnMsg>;

inline FrameType TypeOf(const TMessage& message) {
  return std::visit([](const auto& m) { return m.kType; }, message);
}
// True for the types of TMessage.
bool IsKnownType(std::uint8_t type);

// Visitor built from lambdas, one per message kind: with no catch-all, a
// message kind added to TMessage and not handled fails to compile.
template <class... F>
struct TOverloaded : F... {
  using F::operator()...;
};
template <class... F>
TOverloaded(F...) -> TOverloaded<F...>;

}  // namespace boardprotocol
