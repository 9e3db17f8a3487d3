// What the proxy asked the board to do, as the board-link thread receives
// it: the caller's arguments, copied, so the caller's buffers may go at once.
// A table push (ClearBoard(0), its rows, Show) arrives as one TTableCmd.
#pragma once

#include <cstdint>
#include <variant>
#include <vector>

#include "boardprotocol.h"

struct TTableCmd {
  std::vector<boardprotocol::TRowData> rows;
  std::int32_t fullRefresh = 0;
  std::int32_t mode = 0;
  bool operator==(const TTableCmd&) const = default;
};

struct TPictureCmd {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t reserved1 = 0;
  std::int32_t reserved2 = 0;
  std::vector<std::uint8_t> bits;  // width / 8 bytes per row, top row first
  bool operator==(const TPictureCmd&) const = default;
};

// ClearBoard here is always the immediate one (the board goes blank).
using TBoardCommand =
    std::variant<TTableCmd, TPictureCmd, boardprotocol::TClearBoardMsg, boardprotocol::TStartLightMsg,
                 boardprotocol::TFinishLightMsg, boardprotocol::TSetBrightnessMsg, boardprotocol::TSetRaceTimeMsg>;
