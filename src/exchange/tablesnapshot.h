// What the results page shows: a copy of the table the board was last given,
// with the race clock, the flag, the run's name and whether the feed is up.
// The exchange thread makes a new one at each table push, clock or flag
// change, clear and feed change, and hands it to a sink that must return at
// once: nobody on the network can make the exchange thread wait.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct TCompetitor;
struct TProcessResult;

struct TSnapshotRow {
  std::int32_t position = 0;  // from 1, the row's place in the push
  // The results list's texts of this row, in TResultColumn order.
  std::array<std::u16string, 6> cells;
  // The numbers the board got for this row.
  std::int32_t number = 0;
  std::int32_t laps = 0;
  std::int32_t bestLapTime = 0;  // ms
  std::int32_t lastLapTime = 0;  // ms
  std::int32_t totalTime = 0;    // ms
  std::int32_t raceGap = 0;      // < 0: laps behind (negated), > 0: ms behind
  std::int32_t bestLapGap = 0;   // ms

  // What the screens add; the board gets none of it. Worked out once per
  // push for every row of best-lap and race mode (practice rows are
  // passings: none of it).
  bool held = false;               // a competitor holds the row's position
  std::int32_t regNumber = 0;      // the feed's key of the competitor
  std::int32_t classNumber = 0;    // "$A"'s class; 0: none
  std::int32_t classPosition = 0;  // from 1 within the class, in the row order
  std::int32_t classGap = 0;       // to the class leader, as raceGap (race) or bestLapGap (best lap)
  std::int32_t interval = 0;       // race: to the row above, as raceGap
  std::int32_t gained = 0;         // race: places gained (> 0) or lost since the start table
  bool sessionBest = false;        // holds the session's best lap
  bool personalBest = false;       // the last lap is the car's own best
};

// A snapshot's rows, shared by every snapshot that differs from the one
// before only in the clock, the flag or the feed: a clock tick copies no
// row. Reads as a vector; a change makes the rows its own first.
class TSnapshotRows {
 public:
  using const_iterator = std::vector<TSnapshotRow>::const_iterator;
  TSnapshotRows() = default;
  TSnapshotRows(std::vector<TSnapshotRow> rows)  // NOLINT: a vector of rows is rows
      : rows_(std::make_shared<std::vector<TSnapshotRow>>(std::move(rows))) {}

  const std::vector<TSnapshotRow>& Rows() const { return rows_ ? *rows_ : None(); }
  std::size_t size() const { return Rows().size(); }
  bool empty() const { return Rows().empty(); }
  const TSnapshotRow& operator[](std::size_t i) const { return Rows()[i]; }
  const_iterator begin() const { return Rows().cbegin(); }
  const_iterator end() const { return Rows().cend(); }
  void push_back(TSnapshotRow row) { Own().push_back(std::move(row)); }
  void clear() { rows_.reset(); }
  // The same for snapshots that share their rows, and kept alive as long as
  // it is held: what the server's made text of the rows is kept by.
  std::shared_ptr<const void> Identity() const { return rows_; }

 private:
  static const std::vector<TSnapshotRow>& None() {
    static const std::vector<TSnapshotRow> none;
    return none;
  }
  std::vector<TSnapshotRow>& Own() {
    if (!rows_) {
      rows_ = std::make_shared<std::vector<TSnapshotRow>>();
    } else if (rows_.use_count() > 1) {
      rows_ = std::make_shared<std::vector<TSnapshotRow>>(*rows_);
    }
    return *rows_;
  }
  std::shared_ptr<std::vector<TSnapshotRow>> rows_;
};

struct TClassName {
  std::int32_t number = 0;
  std::u16string name;  // "$C"'s description; may be empty
};

// One lap from a "$J" passing, with the position of the "$G" that followed.
struct TLap {
  std::int32_t lap = 0;        // lap number
  std::int32_t lapTime = 0;    // ms
  std::int32_t totalTime = 0;  // ms
  std::int32_t position = 0;   // 0 until a "$G" follows
};
// The laps the feed gave for one car, oldest first; never changed once
// published, so snapshots share the cars whose laps did not change.
struct TCarLaps {
  std::int32_t regNumber = 0;
  std::vector<TLap> laps;
};
// A car's laps kept; older ones are let go.
constexpr std::size_t kLapsKept = 1000;
// Cars whose laps are kept; a feed naming more is a fault, not a field.
constexpr std::size_t kCarsKept = 1000;

struct TTableSnapshot {
  std::uint64_t sequence = 0;  // 1 for the first snapshot, then one more for each
  std::int32_t mode = 0;       // TScoreboardMode of the last push
  std::int32_t flag = 0;       // TFlagState of the last "$F"
  std::int32_t clock = 0;      // race clock of the last "$F", s
  bool feedConnected = false;
  std::u16string run;  // the name "$B" gave the run; empty after "$I"
  TSnapshotRows rows;
  std::int32_t timeToGo = -1;  // "$F", s; -1: none
  std::int32_t lapsToGo = -1;  // "$F"; -1: none
  // Shared between snapshots until they change; never null.
  std::shared_ptr<const std::vector<TClassName>> classes;                    // by number
  std::shared_ptr<const std::vector<std::shared_ptr<const TCarLaps>>> cars;  // by regNumber
};
// The laps of the car with this registration number; null when none.
const TCarLaps* FindCarLaps(const TTableSnapshot& snapshot, std::int32_t regNumber);

class TTableSnapshotSink {
 public:
  virtual ~TTableSnapshotSink() = default;
  // Called on the exchange thread; returns without waiting for anyone.
  virtual void Publish(std::shared_ptr<const TTableSnapshot> snapshot) = 0;
};

// The exchange thread's side: keeps the page's state between changes and
// hands each new state on. Exchange thread only; without a sink it does
// nothing.
class TSnapshotPublisher {
 public:
  explicit TSnapshotPublisher(TTableSnapshotSink* sink) : sink_(sink) {}
  bool Active() const { return sink_ != nullptr; }

  // One row of a push, from the copy the board got; `held` is false for a
  // position nobody holds (an empty row). A row whose competitor has not
  // changed since the last push is that push's row, not formatted again:
  // most pushes change one car.
  TSnapshotRow Row(std::int32_t index, const TCompetitor& copy, bool held, std::int32_t mode);
  // The same row made afresh, from any thread: the window's pushes.
  static TSnapshotRow FreshRow(std::int32_t index, const TCompetitor& copy, bool held, std::int32_t mode);
  void Table(std::int32_t mode, std::vector<TSnapshotRow> rows);
  // Hands on only a changed clock, flag or time or laps to go.
  void Heartbeat(std::int32_t clock, std::int32_t flag, std::int32_t timeToGo = -1, std::int32_t lapsToGo = -1);
  void Clear(const std::u16string& run);
  void Feed(bool connected);
  // Every handled record, before its own step: classes, lap histories and
  // the start table follow the feed here.
  void Record(const TProcessResult& record);
  // A "$C" record.
  void ClassRecord(std::int32_t number, std::u16string_view name);

 private:
  struct TCarHistory {
    std::vector<TLap> laps;
    std::int32_t raceLaps = 0;  // laps of the latest "$G"
    bool changed = false;
    std::shared_ptr<const TCarLaps> published;  // as the snapshots have it
  };
  void Send();
  // Classes, class positions and gaps, interval, marks and places gained.
  void Annotate(std::int32_t mode, std::vector<TSnapshotRow>& rows);
  void ForgetRun();

  TTableSnapshotSink* sink_;
  TTableSnapshot state_;
  struct TClassRun {
    std::int32_t classNumber;
    const TSnapshotRow* leader;
    std::int32_t count;
  };
  std::vector<TClassRun> classRuns_;                        // a push's scratch
  std::unordered_map<std::int32_t, std::int32_t> classOf_;  // regNumber -> class
  std::vector<TClassName> classNames_;                      // by number
  bool classesChanged_ = true;
  std::map<std::int32_t, TCarHistory> histories_;  // by regNumber, as the snapshots list the cars
  bool carsChanged_ = true;
  // Race positions of the first race table after the green flag.
  std::unordered_map<std::int32_t, std::int32_t> startPositions_;
  bool greenSeen_ = false;
  bool startTaken_ = false;
};
