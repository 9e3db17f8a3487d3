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
