// The commands waiting for the board's line. The line is slow (a table takes
// about a tenth of a second at 115200 baud), so what waits is coalesced: a
// newer table replaces every waiting one, a newer clock, brightness or
// picture the waiting one of its kind. Lights and blanking keep their order
// relative to the rest. Memory stays bounded by what one board can show:
// one table, one picture, one clock, one brightness and kMaxWaitingSingles
// lights or blanks.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>

#include "boardcommand.h"

class TBoardQueue {
 public:
  static constexpr std::size_t kMaxWaitingSingles = 64;

  void Push(TBoardCommand command);
  std::optional<TBoardCommand> Take();
  bool Empty() const { return waiting_.empty(); }
  std::size_t Size() const { return waiting_.size(); }

 private:
  std::deque<TBoardCommand> waiting_;
};
