#include "standings/competitors.h"

#include <algorithm>
#include <limits>

namespace {

// Gaps are differences of feed values; a hostile feed can send extremes, so
// they are worked out wide and brought back into range.
std::int32_t Clamp32(std::int64_t v) {
  return static_cast<std::int32_t>(
      std::clamp<std::int64_t>(v, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

std::int32_t ModePosition(const TCompetitor& c, std::int32_t mode) {
  return mode == smBestLap ? c.bestLapPosition : c.racePosition;
}

// The mode's order, then the record the feed placed first. The flag is read
// only for equal keys, so a table in strict order costs no more to check.
template <auto Key, auto FromFeed, bool LargestFirst>
bool SortsBefore(const TCompetitor& a, const TCompetitor& b) {
  const std::int32_t ka = a.*Key;
  const std::int32_t kb = b.*Key;
  if (LargestFirst ? ka > kb : ka < kb) return true;
  return ka == kb && a.*FromFeed && !(b.*FromFeed);
}

template <typename Roster>
auto RosterPlace(Roster& roster, std::int32_t reg) {
  return std::lower_bound(roster.begin(), roster.end(), reg,
                          [](const auto& entry, std::int32_t r) { return entry.regNumber < r; });
}

}  // namespace

TCompetitor* TCompetitors::Find(std::int32_t reg) {
  for (auto& item : items) {
    if (item->regNumber == reg) return item;
  }
  return nullptr;
}

TCompetitor* TCompetitors::Append(std::int32_t reg) {
  records.push_back(std::make_unique<TCompetitor>(reg));
  TCompetitor* c = records.back().get();
  items.push_back(c);
  const auto known = RosterPlace(roster, reg);
  if (known != roster.end() && known->regNumber == reg) {
    c->number = known->number;
    c->name = known->name;
  }
  return c;
}

// After a "$B" the standings come back as "$G" and "$H" for every position;
// a car the roster names is placed at once instead of after its next lap.
TCompetitor* TCompetitors::FindOrAddKnown(std::int32_t reg) {
  if (TCompetitor* found = Find(reg)) return found;
  const auto known = RosterPlace(roster, reg);
  if (known == roster.end() || known->regNumber != reg) return nullptr;
  return Append(reg);
}

// Updating a known entry reuses its name's storage, so once the roster holds
// the field, "$A" lines allocate nothing here.
void TCompetitors::Remember(std::int32_t reg, std::int32_t number, std::u16string_view name) {
  auto place = RosterPlace(roster, reg);
  if (place == roster.end() || place->regNumber != reg) {
    if (roster.size() >= kRosterLimit) return;
    place = roster.insert(place, RosterEntry{reg, 0, {}});
  }
  place->number = number;
  place->name.assign(name);
}

void TCompetitors::Clear() {
  std::lock_guard guard(lock);
  items.clear();
  records.clear();
  maxPosition.store(0, std::memory_order_relaxed);
  passings.fill(TPassing{});
}

void TCompetitors::ClearRoster() {
  std::lock_guard guard(lock);
  roster.clear();
}

std::size_t TCompetitors::GetRosterSize() {
  std::lock_guard guard(lock);
  return roster.size();
}

TCompetitor* TCompetitors::FindOrAdd(std::int32_t reg) {
  std::lock_guard guard(lock);
  TCompetitor* found = Find(reg);
  return found != nullptr ? found : Append(reg);
}

void TCompetitors::SetCompetitorInfo(std::int32_t reg, std::int32_t number, std::u16string_view name) {
  std::lock_guard guard(lock);
  Remember(reg, number, name);
  TCompetitor* c = Find(reg);
  if (c == nullptr) c = Append(reg);
  c->number = number;
  c->name.assign(name);
}

void TCompetitors::UpdateRace(std::int32_t reg, std::int32_t total, std::int32_t position, std::int32_t laps) {
  std::lock_guard guard(lock);
  TCompetitor* c = FindOrAddKnown(reg);
  if (c == nullptr) return;
  c->totalTime = total;
  c->racePosition = position;
  c->racePositionFromFeed = true;
  c->laps = laps;
  if (position <= kMaxPosition && position > maxPosition.load(std::memory_order_relaxed))
    maxPosition.store(position, std::memory_order_relaxed);
  ApplyRaceGaps(*c);
}

void TCompetitors::UpdateBestLap(std::int32_t reg, std::int32_t best, std::int32_t position, std::int32_t lapNumber) {
  std::lock_guard guard(lock);
  if (TCompetitor* c = FindOrAddKnown(reg)) {
    c->bestLapTime = best;
    c->bestLapPosition = position;
    c->bestLapPositionFromFeed = true;
    c->bestLapNumber = lapNumber;
  }
  if (position <= kMaxPosition && position > maxPosition.load(std::memory_order_relaxed))
    maxPosition.store(position, std::memory_order_relaxed);
  ApplyBestLapGaps();
}

void TCompetitors::AddPassing(std::int32_t reg, std::int32_t lapTime, std::int32_t total) {
  std::lock_guard guard(lock);
  std::move(passings.begin() + 1, passings.end(), passings.begin());
  passings.back() = TPassing{lapTime, reg};
  if (TCompetitor* c = Find(reg)) {
    c->lastLapTime = lapTime;
    return;
  }
  TCompetitor* c = Append(reg);
  c->lastLapTime = lapTime;
  c->totalTime = total;
  c->racePosition = c->bestLapPosition = static_cast<std::int32_t>(items.size());
}

// The leader is the first record at race position 1, else the record just
// updated. A competitor behind on laps shows laps; one without a time yet
// while the leader has one shows one lap more than the leader has done.
void TCompetitors::ApplyRaceGaps(TCompetitor& updated) {
  TCompetitor* leader = &updated;
  for (auto& item : items) {
    if (item->racePosition == 1) {
      leader = item;
      break;
    }
  }
  leader->raceGap = 0;
  const std::int64_t leaderLaps = leader->laps;
  const std::int64_t leaderTotal = leader->totalTime;
  for (auto& item : items) {
    TCompetitor& k = *item;
    if (k.laps < leaderLaps) {
      k.raceGap = Clamp32(k.laps - leaderLaps);
    } else if (k.totalTime == 0 && leaderTotal > 0) {
      k.raceGap = Clamp32(-(leaderLaps + 1));
    } else {
      // A competitor ahead of the leader's time (more laps than the record
      // at position 1) has no gap: a negative value would read as laps.
      k.raceGap = Clamp32(std::max<std::int64_t>(0, k.totalTime - leaderTotal));
    }
  }
}

void TCompetitors::ApplyBestLapGaps() {
  TCompetitor* leader = nullptr;
  for (auto& item : items) {
    if (item->bestLapPosition == 1) {
      leader = item;
      break;
    }
  }
  if (leader == nullptr) return;
  leader->bestLapGap = 0;
  const std::int64_t leaderBest = leader->bestLapTime;
  for (auto& item : items) {
    TCompetitor& k = *item;
    // A lap slower than the leader's is a gap; a faster one (the positions
    // are the feed's, not ours) is no gap rather than a bogus lap count.
    k.bestLapGap = k.bestLapTime != 0 ? Clamp32(std::max<std::int64_t>(0, k.bestLapTime - leaderBest)) : 0;
  }
}

void TCompetitors::Sort(std::int32_t mode) {
  std::lock_guard guard(lock);
  using Item = TCompetitor*;
  // The table is sorted after every race, best-lap and passing record, and
  // is almost always in order already: check before sorting.
  auto sortBy = [this](auto less) {
    if (!std::is_sorted(items.begin(), items.end(), less)) std::sort(items.begin(), items.end(), less);
  };
  // A row shows the first record holding its position. A competitor that a
  // passing brought in holds the record count as its position, which may be
  // one the feed gave another competitor: among equal keys, the record the
  // feed placed comes first, so the row shows the real car.
  if (mode == smBestLap) {
    sortBy([](const Item& a, const Item& b) {
      return SortsBefore<&TCompetitor::bestLapPosition, &TCompetitor::bestLapPositionFromFeed, false>(*a, *b);
    });
  } else if (mode == smRace) {
    sortBy([](const Item& a, const Item& b) {
      return SortsBefore<&TCompetitor::racePosition, &TCompetitor::racePositionFromFeed, false>(*a, *b);
    });
  } else {
    sortBy([](const Item& a, const Item& b) {
      return SortsBefore<&TCompetitor::totalTime, &TCompetitor::racePositionFromFeed, true>(*a, *b);
    });
  }
}

std::int32_t TCompetitors::GetCount() {
  std::lock_guard guard(lock);
  return static_cast<std::int32_t>(items.size());
}

std::int32_t TCompetitors::GetHighestPosition(std::int32_t mode) {
  std::lock_guard guard(lock);
  std::int32_t highest = 0;
  for (const auto& item : items) {
    const std::int32_t position = ModePosition(*item, mode);
    if (position <= kMaxPosition) highest = std::max(highest, position);
  }
  return highest;
}

TCompetitor* TCompetitors::FindByPositionLocked(std::int32_t row, std::int32_t mode) {
  const std::int64_t wanted = static_cast<std::int64_t>(row) + 1;
  for (auto& item : items) {
    if (ModePosition(*item, mode) == wanted) return item;
  }
  return nullptr;
}

TCompetitor* TCompetitors::FindByPosition(std::int32_t row, std::int32_t mode) {
  std::lock_guard guard(lock);
  return FindByPositionLocked(row, mode);
}

bool TCompetitors::CopyByPosition(std::int32_t row, std::int32_t mode, TCompetitor& dest) {
  std::lock_guard guard(lock);
  const TCompetitor* found = FindByPositionLocked(row, mode);
  if (found == nullptr) return false;
  dest = *found;
  return true;
}

bool TCompetitors::CopyByRegNumber(std::int32_t reg, TCompetitor& dest) {
  std::lock_guard guard(lock);
  const TCompetitor* found = Find(reg);
  if (found == nullptr) return false;
  dest = *found;
  return true;
}

TPassing TCompetitors::GetPassing(std::int32_t k) {
  if (k < 0 || k >= kPassingHistory) return TPassing{};
  std::lock_guard guard(lock);
  return passings[static_cast<std::size_t>(kPassingHistory - 1 - k)];
}

namespace {
std::atomic<TCompetitors*> theTable{nullptr};
std::mutex creation;
}  // namespace

TCompetitors* Competitors() { return theTable.load(std::memory_order_acquire); }

TCompetitors& CreateCompetitors() {
  if (TCompetitors* existing = Competitors()) return *existing;
  std::lock_guard guard(creation);
  if (TCompetitors* existing = Competitors()) return *existing;
  // Lives until the process ends: readers on the window's thread may hold
  // the module functions at any moment, so it is never destroyed.
  auto* table = new TCompetitors();
  theTable.store(table, std::memory_order_release);
  return *table;
}

void SortCompetitors(std::int32_t mode) {
  if (TCompetitors* t = Competitors()) t->Sort(mode);
}

std::int32_t GetCompetitorCount() {
  TCompetitors* t = Competitors();
  return t != nullptr ? t->GetCount() : 0;
}

std::int32_t GetHighestPosition(std::int32_t mode) {
  TCompetitors* t = Competitors();
  return t != nullptr ? t->GetHighestPosition(mode) : 0;
}

bool CopyCompetitor(std::int32_t row, std::int32_t mode, TCompetitor& dest) {
  TCompetitors* t = Competitors();
  return t != nullptr && t->CopyByPosition(row, mode, dest);
}

std::int32_t GetRowCount(std::int32_t mode) {
  if (mode == smPractice) return kPassingHistory;
  TCompetitors* t = Competitors();
  return t != nullptr ? t->GetMaxPosition() : 0;
}
