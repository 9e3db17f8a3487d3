// The one table of competitors: what the timing feed has said about each
// one, ranked per scoreboard mode. The feed parser writes it on the exchange
// thread; the exchange thread and the window read it through copies.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// The operator's mode; values other than these three fall into each
// operation's "any other value" case.
enum TScoreboardMode : std::int32_t {
  smBestLap = 0,   // best lap / qualification
  smRace = 1,      // race
  smPractice = 2,  // practice: the last 32 passings
};

struct TCompetitor {
  explicit TCompetitor(std::int32_t reg = 0) : regNumber(reg) {}

  std::int32_t totalTime = 0;    // ms
  std::int32_t lastLapTime = 0;  // ms
  std::int32_t bestLapTime = 0;  // ms
  std::int32_t regNumber = 0;    // the table's key
  std::int32_t number = 0;       // shown to spectators
  std::int32_t racePosition = 0;
  std::int32_t bestLapPosition = 0;
  std::int32_t laps = 0;
  std::int32_t bestLapNumber = 0;
  std::int32_t raceGap = 0;     // < 0: laps behind (negated), > 0: ms behind
  std::int32_t bestLapGap = 0;  // ms
  // The position was sent by the feed ("$G" race, "$H" best lap), not taken
  // from the record count when a passing brought the competitor in.
  bool racePositionFromFeed = false;
  bool bestLapPositionFromFeed = false;
  std::u16string name = u"0";  // "0" until a "$A" names the competitor
};

struct TPassing {
  std::int32_t lapTime = 0;
  std::int32_t regNumber = 0;
};

constexpr int kPassingHistory = 32;
// The highest position that counts: past it a position is a feed fault (one
// "$G,2147483647" would otherwise make the list and every push that long),
// held by its competitor but shown in no row.
constexpr std::int32_t kMaxPosition = 1000;
// Registration numbers the roster remembers; later ones are not kept.
constexpr std::size_t kRosterLimit = 10000;

class TCompetitors {
 public:
  TCompetitors() = default;
  TCompetitors(const TCompetitors&) = delete;
  TCompetitors& operator=(const TCompetitors&) = delete;

  // Empties the standings ("$B", "$I"); the roster stays.
  void Clear();
  // Forgets every name and number "$A" gave ("$I": a new event).
  void ClearRoster();
  // The record stays valid only until the next Clear (on any thread).
  TCompetitor* FindOrAdd(std::int32_t reg);
  void SetCompetitorInfo(std::int32_t reg, std::int32_t number, std::u16string_view name);
  void UpdateRace(std::int32_t reg, std::int32_t total, std::int32_t position, std::int32_t laps);
  void UpdateBestLap(std::int32_t reg, std::int32_t best, std::int32_t position, std::int32_t lapNumber);
  void AddPassing(std::int32_t reg, std::int32_t lapTime, std::int32_t total);
  void Sort(std::int32_t mode);

  std::int32_t GetMaxPosition() const { return maxPosition.load(std::memory_order_relaxed); }
  std::int32_t GetCount();
  // The highest position up to kMaxPosition a competitor in the table holds
  // for the mode (best lap in mode 0, race otherwise); 0 when none holds one.
  std::int32_t GetHighestPosition(std::int32_t mode);
  TCompetitor* FindByPosition(std::int32_t row, std::int32_t mode);
  // Copies the competitor of `row` into dest; dest is untouched when none.
  bool CopyByPosition(std::int32_t row, std::int32_t mode, TCompetitor& dest);
  // k = 0 is the newest passing, 31 the oldest kept; k outside 0..31 gives {0, 0}.
  TPassing GetPassing(std::int32_t k);
  // Copies the competitor with this registration number; dest is untouched when none.
  bool CopyByRegNumber(std::int32_t reg, TCompetitor& dest);
  std::size_t GetRosterSize();

 private:
  TCompetitor* Find(std::int32_t reg);  // caller holds the lock
  TCompetitor* Append(std::int32_t reg);
  // The record, or a new one when the roster knows the registration number.
  TCompetitor* FindOrAddKnown(std::int32_t reg);
  TCompetitor* FindByPositionLocked(std::int32_t row, std::int32_t mode);
  void ApplyRaceGaps(TCompetitor& updated);
  void ApplyBestLapGaps();
  void Remember(std::int32_t reg, std::int32_t number, std::u16string_view name);

  // What the latest "$A" said of each registration number, sorted by it.
  // Feeds send "$A" once and then "$B", which empties the standings; records
  // that race, best-lap and passing records bring back take their number and
  // name from here.
  struct RosterEntry {
    std::int32_t regNumber;
    std::int32_t number;
    std::u16string name;
  };

  std::mutex lock;
  std::atomic<std::int32_t> maxPosition{0};
  std::array<TPassing, kPassingHistory> passings{};
  // The records in the order of the latest sort; `records` owns them in the
  // order they came, so the sort moves plain pointers.
  std::vector<TCompetitor*> items;
  std::vector<std::unique_ptr<TCompetitor>> records;
  std::vector<RosterEntry> roster;
};

// The one table of the process, created by the feed parser's first call and
// kept until the end. Null before that.
TCompetitors* Competitors();
TCompetitors& CreateCompetitors();  // idempotent

// Module functions on the one table; neutral results while it does not exist.
void SortCompetitors(std::int32_t mode);
std::int32_t GetCompetitorCount();
std::int32_t GetHighestPosition(std::int32_t mode);
bool CopyCompetitor(std::int32_t row, std::int32_t mode, TCompetitor& dest);
// Rows of the results list: 32 in practice mode, else the highest position seen.
std::int32_t GetRowCount(std::int32_t mode);
