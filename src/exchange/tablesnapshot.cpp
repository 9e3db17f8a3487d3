#include "exchange/tablesnapshot.h"

#include <algorithm>
#include <limits>

#include "feed/timingfeedparser.h"
#include "standings/celltext.h"
#include "standings/competitors.h"

namespace {

// The race gap rule, measured to any row instead of the leader: by laps
// when behind on laps, one lap more than `to` when without a time, else by
// time. A car ahead without a time yet gives no gap: its own total time
// would be no gap to it.
std::int32_t RaceGapTo(const TSnapshotRow& row, const TSnapshotRow& to) {
  if (row.laps < to.laps) return row.laps - to.laps;
  if (row.totalTime == 0 && to.totalTime > 0) return -(to.laps + 1);
  if (to.totalTime == 0) return 0;
  const std::int64_t ms = static_cast<std::int64_t>(row.totalTime) - to.totalTime;
  return static_cast<std::int32_t>(
      std::clamp<std::int64_t>(ms, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

std::int32_t BestLapGapTo(const TSnapshotRow& row, const TSnapshotRow& to) {
  return row.bestLapTime != 0 ? row.bestLapTime - to.bestLapTime : 0;
}

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
  row.held = held && mode != smPractice;
  row.regNumber = row.held ? copy.regNumber : 0;
  return row;
}

// Everything the row is made of (the numbers and, held, the name) is as it
// was; the mode, for the gap, is compared by the caller.
bool SameCompetitor(const TSnapshotRow& row, const TCompetitor& copy, bool held) {
  return row.number == copy.number && (!held || row.regNumber == copy.regNumber) && row.laps == copy.laps &&
         row.bestLapTime == copy.bestLapTime && row.lastLapTime == copy.lastLapTime &&
         row.totalTime == copy.totalTime && row.raceGap == copy.raceGap && row.bestLapGap == copy.bestLapGap &&
         (!held || row.cells[rcName] == copy.name);
}

}  // namespace

const TCarLaps* FindCarLaps(const TTableSnapshot& snapshot, std::int32_t regNumber) {
  if (snapshot.cars == nullptr) return nullptr;
  const auto& cars = *snapshot.cars;
  const auto at = std::lower_bound(cars.begin(), cars.end(), regNumber,
                                   [](const auto& car, std::int32_t reg) { return car->regNumber < reg; });
  return at != cars.end() && (*at)->regNumber == regNumber ? at->get() : nullptr;
}

TSnapshotRow TSnapshotPublisher::Row(std::int32_t index, const TCompetitor& copy, bool held, std::int32_t mode) {
  const auto at = static_cast<std::size_t>(index);
  // Practice rows come from the passings, which change without the copy.
  if (mode != smPractice && mode == state_.mode && at < state_.rows.size() && state_.rows[at].held == held &&
      SameCompetitor(state_.rows[at], copy, held)) {
    return state_.rows[at];
  }
  return MakeRow(index, copy, held, mode);
}

TSnapshotRow TSnapshotPublisher::FreshRow(std::int32_t index, const TCompetitor& copy, bool held, std::int32_t mode) {
  return MakeRow(index, copy, held, mode);
}

void TSnapshotPublisher::Table(std::int32_t mode, std::vector<TSnapshotRow> rows) {
  if (sink_ == nullptr) return;
  if (mode != smPractice) Annotate(mode, rows);
  state_.mode = mode;
  state_.rows = std::move(rows);
  Send();
}

void TSnapshotPublisher::Annotate(std::int32_t mode, std::vector<TSnapshotRow>& rows) {
  const bool race = mode != smBestLap;
  if (race && greenSeen_ && !startTaken_) {
    startTaken_ = true;
    for (const TSnapshotRow& row : rows) {
      if (row.held) startPositions_[row.regNumber] = row.position;
    }
  }
  std::int32_t sessionBest = 0;
  for (const TSnapshotRow& row : rows) {
    if (row.held && row.bestLapTime > 0 && (sessionBest == 0 || row.bestLapTime < sessionBest))
      sessionBest = row.bestLapTime;
  }
  // Class leaders and counts, in the row order (the push's position order).
  classRuns_.clear();
  const TSnapshotRow* above = nullptr;
  for (TSnapshotRow& row : rows) {
    // A row kept from the push before carries that push's marks.
    row.classNumber = row.classPosition = row.classGap = row.interval = row.gained = 0;
    row.sessionBest = row.personalBest = false;
    if (!row.held) continue;
    const auto cls = classOf_.find(row.regNumber);
    row.classNumber = cls != classOf_.end() ? cls->second : 0;
    if (row.classNumber != 0) {
      // A session has a handful of classes: a look along a short list.
      auto run = std::find_if(classRuns_.begin(), classRuns_.end(),
                              [&](const TClassRun& r) { return r.classNumber == row.classNumber; });
      if (run == classRuns_.end()) {
        classRuns_.push_back(TClassRun{row.classNumber, &row, 0});
        run = classRuns_.end() - 1;
      }
      row.classPosition = ++run->count;
      row.classGap = run->leader == &row ? 0 : (race ? RaceGapTo(row, *run->leader) : BestLapGapTo(row, *run->leader));
    }
    if (race) {
      row.interval = above != nullptr ? RaceGapTo(row, *above) : 0;
      const auto start = startPositions_.find(row.regNumber);
      if (start != startPositions_.end()) row.gained = start->second - row.position;
    }
    row.sessionBest = sessionBest != 0 && row.bestLapTime == sessionBest;
    row.personalBest = row.lastLapTime > 0 && row.bestLapTime > 0 && row.lastLapTime <= row.bestLapTime;
    above = &row;
  }
}

void TSnapshotPublisher::Heartbeat(std::int32_t clock, std::int32_t flag, std::int32_t timeToGo,
                                   std::int32_t lapsToGo) {
  if (sink_ == nullptr) return;
  if (flag == fsGreen) greenSeen_ = true;
  if (clock == state_.clock && flag == state_.flag && timeToGo == state_.timeToGo && lapsToGo == state_.lapsToGo)
    return;
  state_.clock = clock;
  state_.flag = flag;
  state_.timeToGo = timeToGo;
  state_.lapsToGo = lapsToGo;
  Send();
}

void TSnapshotPublisher::Clear(const std::u16string& run) {
  if (sink_ == nullptr) return;
  state_.rows.clear();
  state_.run = run;
  Send();
}

void TSnapshotPublisher::ForgetRun() {
  histories_.clear();
  carsChanged_ = true;
  startPositions_.clear();
  greenSeen_ = startTaken_ = false;
}

void TSnapshotPublisher::Record(const TProcessResult& record) {
  if (sink_ == nullptr) return;
  switch (record.kind) {
    case rkInit:
      ForgetRun();
      classOf_.clear();
      classNames_.clear();
      classesChanged_ = true;
      break;
    case rkRun:
      if (!record.sameRun) ForgetRun();
      break;
    case rkCompetitor:
      // As the roster: a record without a competitor number names nobody.
      if (record.number == 0) break;
      if (record.classNumber != 0) {
        if (classOf_.size() < kRosterLimit || classOf_.count(record.regNumber) != 0)
          classOf_[record.regNumber] = record.classNumber;
      } else {
        classOf_.erase(record.regNumber);
      }
      break;
    case rkPassing: {
      auto car = histories_.find(record.regNumber);
      if (car == histories_.end()) {
        if (histories_.size() >= kCarsKept) break;
        car = histories_.emplace(record.regNumber, TCarHistory{}).first;
      }
      TCarHistory& history = car->second;
      const std::int32_t lap = history.laps.empty() ? history.raceLaps + 1 : history.laps.back().lap + 1;
      if (history.laps.size() >= kLapsKept) history.laps.erase(history.laps.begin());
      history.laps.push_back(TLap{lap, record.lapTime, record.totalTime, 0});
      history.changed = carsChanged_ = true;
      break;
    }
    case rkRace: {
      const auto car = histories_.find(record.regNumber);
      if (car == histories_.end()) break;
      TCarHistory& history = car->second;
      history.raceLaps = record.laps;
      // The "$G" that follows a passing tells the position after that lap
      // and the feed's own count of it.
      if (!history.laps.empty()) {
        TLap& last = history.laps.back();
        if (last.position == 0 && last.totalTime == record.totalTime && record.position > 0) {
          last.position = record.position;
          if (record.laps > 0) last.lap = record.laps;
          history.changed = carsChanged_ = true;
        }
      }
      break;
    }
    default:
      break;
  }
}

void TSnapshotPublisher::ClassRecord(std::int32_t number, std::u16string_view name) {
  if (sink_ == nullptr) return;
  const auto at = std::lower_bound(classNames_.begin(), classNames_.end(), number,
                                   [](const TClassName& c, std::int32_t n) { return c.number < n; });
  if (at != classNames_.end() && at->number == number) {
    if (at->name == name) return;
    at->name.assign(name);
  } else {
    if (classNames_.size() >= kCarsKept) return;
    classNames_.insert(at, TClassName{number, std::u16string(name)});
  }
  classesChanged_ = true;
}

void TSnapshotPublisher::Feed(bool connected) {
  if (sink_ == nullptr || connected == state_.feedConnected) return;
  state_.feedConnected = connected;
  Send();
}

void TSnapshotPublisher::Send() {
  if (classesChanged_) {
    state_.classes = std::make_shared<const std::vector<TClassName>>(classNames_);
    classesChanged_ = false;
  }
  if (carsChanged_) {
    // Only the cars with a new lap are copied; the others stay shared.
    auto cars = std::make_shared<std::vector<std::shared_ptr<const TCarLaps>>>();
    cars->reserve(histories_.size());
    for (auto& [reg, history] : histories_) {
      if (history.changed || history.published == nullptr) {
        history.published = std::make_shared<const TCarLaps>(TCarLaps{reg, history.laps});
        history.changed = false;
      }
      cars->push_back(history.published);
    }
    state_.cars = std::move(cars);
    carsChanged_ = false;
  }
  ++state_.sequence;
  sink_->Publish(std::make_shared<const TTableSnapshot>(state_));
}
