// Turns board commands into frames on the board-link thread and keeps what
// the board should show, so that a board that (re)appears gets it at once.
//
// A table goes as the rows that differ from the last table sent (a patch
// naming that table as its base), or whole when that is shorter, when the
// proxy asked for a full refresh, or when the board's table is not known (a
// board just found, or one that refused a patch). Each table carries an id;
// the board's Drawn answers and heartbeats report the id it shows.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "boardcommand.h"
#include "boardprotocol.h"

class TBoardEncoder {
 public:
  // Appends the frames of `command` and remembers what it shows.
  void Encode(const TBoardCommand& command, std::vector<std::uint8_t>& out);
  // Only remembers `command`: no board listens yet.
  void Remember(const TBoardCommand& command);
  // What the board should show: the brightness, the display (a table goes
  // whole, as a full refresh) and the clock; nothing before any command.
  void Replay(std::vector<std::uint8_t>& out);
  // The display table again, whole; false when the display is no table.
  bool ResendTable(std::vector<std::uint8_t>& out);
  // The next table goes whole: what the board shows is not known.
  void ForgetBoard() { baseValid_ = false; }
  void AppendQuery(std::vector<std::uint8_t>& out);

  std::uint32_t LastTableId() const { return sentId_; }
  std::uint32_t LastWholeTableId() const { return wholeId_; }
  bool DisplayIsTable() const;

 private:
  void EncodeTable(const TTableCmd& table, bool whole, std::vector<std::uint8_t>& out);

  std::uint8_t seq_ = 0;
  std::uint8_t pictureId_ = 0;
  std::uint32_t nextTableId_ = 1;
  std::optional<boardprotocol::TSetBrightnessMsg> brightness_;
  std::optional<boardprotocol::TSetRaceTimeMsg> clock_;
  std::optional<TBoardCommand> display_;  // the last table, picture, light or blank
  // The last table sent, as the board has it once the frames are in.
  std::vector<boardprotocol::TRowData> sentRows_;
  std::uint32_t sentId_ = 0;
  std::uint32_t wholeId_ = 0;
  bool baseValid_ = false;
};
