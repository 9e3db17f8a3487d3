// One controller operation as the board-link thread receives it: the
// caller's arguments, copied, so the caller's buffers may go at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class TBoardOpKind : std::uint8_t {
  ClearBoard,
  Show,
  StartLight,
  FinishLight,
  SetBrightness,
  SetRaceTime,
  ShowPicture,
  SetRow
};

struct TBoardOp {
  TBoardOpKind kind = TBoardOpKind::ClearBoard;
  std::int32_t args[9] = {};       // in call order; ShowPicture: width, height, reserved1, reserved2
  std::u16string name;             // SetRow; empty for a null name
  std::vector<std::uint8_t> bits;  // ShowPicture: width / 8 bytes per row, top row first
};

// The one place where operations become bytes on the wire: appends the
// frames of `op` (see boardprotocol.h) to `out`. `seq` is the next frame
// sequence number and `pictureId` the next picture's id; both advance.
void EncodeBoardOperation(const TBoardOp& op, std::vector<std::uint8_t>& out, std::uint8_t& seq,
                          std::uint8_t& pictureId);

// Turns the queued operations into frames on the board-link thread. A table
// push (ClearBoard(0), its rows, Show) goes out as one compact table frame,
// which a 115200-baud line needs; it is held back until its Show arrives,
// even across batches. Everything else is one frame per operation.
// It also keeps what the board shows now, so that a board that comes back
// after a lost link can be given it again at once.
class TBoardEncoder {
 public:
  void Add(const TBoardOp& op, std::vector<std::uint8_t>& out, std::uint8_t& seq);
  // Brightness, the last display (table, lights, blank or picture) and the
  // clock, in that order; nothing before the first operation.
  void Replay(std::vector<std::uint8_t>& out, std::uint8_t& seq);

 private:
  void Emit(const TBoardOp& op, std::vector<std::uint8_t>& out, std::uint8_t& seq);
  void EmitTable(const std::vector<TBoardOp>& table, std::vector<std::uint8_t>& out, std::uint8_t& seq);
  void FlushPending(std::vector<std::uint8_t>& out, std::uint8_t& seq);

  std::vector<TBoardOp> pending_;  // ClearBoard(0) and rows waiting for Show
  std::vector<TBoardOp> scene_;    // what the board shows: a whole table, or one operation
  bool sceneIsTable_ = false;
  bool hasBrightness_ = false;
  bool hasClock_ = false;
  TBoardOp brightness_;
  TBoardOp clock_;
  std::uint8_t pictureId_ = 0;
};
