#include "boardqueue.h"

#include <algorithm>

namespace {

bool Replaces(const TBoardCommand& newer, const TBoardCommand& waiting) {
  if (newer.index() != waiting.index()) return false;
  return std::holds_alternative<TTableCmd>(newer) || std::holds_alternative<TPictureCmd>(newer) ||
         std::holds_alternative<boardprotocol::TSetRaceTimeMsg>(newer) ||
         std::holds_alternative<boardprotocol::TSetBrightnessMsg>(newer);
}

bool IsSingle(const TBoardCommand& c) {
  return std::holds_alternative<boardprotocol::TClearBoardMsg>(c) ||
         std::holds_alternative<boardprotocol::TStartLightMsg>(c) ||
         std::holds_alternative<boardprotocol::TFinishLightMsg>(c);
}

}  // namespace

void TBoardQueue::Push(TBoardCommand command) {
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    if (!Replaces(command, *it)) {
      ++it;
      continue;
    }
    // A full redraw asked for by a table that never went out is still owed.
    if (auto* table = std::get_if<TTableCmd>(&command)) {
      table->fullRefresh = table->fullRefresh || std::get<TTableCmd>(*it).fullRefresh ? 1 : 0;
    }
    it = waiting_.erase(it);
  }
  if (IsSingle(command) &&
      std::count_if(waiting_.begin(), waiting_.end(), IsSingle) >= static_cast<std::ptrdiff_t>(kMaxWaitingSingles)) {
    waiting_.erase(std::find_if(waiting_.begin(), waiting_.end(), IsSingle));
  }
  waiting_.push_back(std::move(command));
}

std::optional<TBoardCommand> TBoardQueue::Take() {
  if (waiting_.empty()) return std::nullopt;
  TBoardCommand front = std::move(waiting_.front());
  waiting_.pop_front();
  return front;
}
