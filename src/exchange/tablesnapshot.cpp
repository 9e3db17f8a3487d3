#include "exchange/tablesnapshot.h"

#include "standings/celltext.h"
#include "standings/competitors.h"

namespace {

TSnapshotRow MakeRow(std::int32_t index, const TCompetitor& copy, bool held, std::int32_t mode) {
  TSnapshotRow row;
  row.position = index + 1;
  for (std::int32_t column = 0; column < static_cast<std::int32_t>(row.cells.size()); ++column) {
    // Practice rows come from the passings, as in the results list.
    if (mode == smPractice) {
      row.cells[static_cast<std::size_t>(column)] = GetCellText(index, column, mode);
    } else if (held) {
      row.cells[static_cast<std::size_t>(column)] = CompetitorCellText(copy, column, mode);
    }
  }
  row.number = copy.number;
  row.laps = copy.laps;
  row.bestLapTime = copy.bestLapTime;
  row.lastLapTime = copy.lastLapTime;
  row.totalTime = copy.totalTime;
  row.raceGap = copy.raceGap;
  row.bestLapGap = copy.bestLapGap;
  return row;
}

// Everything the row is made of (the numbers and, held, the name) is as it
// was; the mode, for the gap, is compared by the caller.
bool SameCompetitor(const TSnapshotRow& row, const TCompetitor& copy, bool held) {
  return row.number == copy.number && row.laps == copy.laps && row.bestLapTime == copy.bestLapTime &&
         row.lastLapTime == copy.lastLapTime && row.totalTime == copy.totalTime && row.raceGap == copy.raceGap &&
         row.bestLapGap == copy.bestLapGap && (!held || row.cells[rcName] == copy.name);
}

}  // namespace

TSnapshotRow TSnapshotPublisher::Row(std::int32_t index, const TCompetitor& copy, bool held, std::int32_t mode) {
  const auto at = static_cast<std::size_t>(index);
  if (pendingHeld_.size() <= at) pendingHeld_.resize(at + 1);
  pendingHeld_[at] = held;
  // Practice rows come from the passings, which change without the copy.
  if (mode != smPractice && mode == state_.mode && at < state_.rows.size() && at < held_.size() && held_[at] == held &&
      SameCompetitor(state_.rows[at], copy, held)) {
    return state_.rows[at];
  }
  return MakeRow(index, copy, held, mode);
}

void TSnapshotPublisher::Table(std::int32_t mode, std::vector<TSnapshotRow> rows) {
  if (sink_ == nullptr) return;
  state_.mode = mode;
  state_.rows = std::move(rows);
  held_.swap(pendingHeld_);
  held_.resize(state_.rows.size());
  pendingHeld_.clear();
  Send();
}

void TSnapshotPublisher::Heartbeat(std::int32_t clock, std::int32_t flag) {
  if (sink_ == nullptr) return;
  if (clock == state_.clock && flag == state_.flag) return;
  state_.clock = clock;
  state_.flag = flag;
  Send();
}

void TSnapshotPublisher::Clear(const std::u16string& run) {
  if (sink_ == nullptr) return;
  state_.rows.clear();
  held_.clear();
  state_.run = run;
  Send();
}

void TSnapshotPublisher::Feed(bool connected) {
  if (sink_ == nullptr || connected == state_.feedConnected) return;
  state_.feedConnected = connected;
  Send();
}

void TSnapshotPublisher::Send() {
  ++state_.sequence;
  sink_->Publish(std::make_shared<const TTableSnapshot>(state_));
}
