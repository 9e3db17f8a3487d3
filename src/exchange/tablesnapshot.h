// What the results page shows: a copy of the table the board was last given,
// with the race clock, the flag, the run's name and whether the feed is up.
// The exchange thread makes a new one at each table push, clock or flag
// change, clear and feed change, and hands it to a sink that must return at
// once: nobody on the network can make the exchange thread wait.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct TCompetitor;

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

struct TTableSnapshot {
  std::uint64_t sequence = 0;  // 1 for the first snapshot, then one more for each
  std::int32_t mode = 0;       // TScoreboardMode of the last push
  std::int32_t flag = 0;       // TFlagState of the last "$F"
  std::int32_t clock = 0;      // race clock of the last "$F", s
  bool feedConnected = false;
  std::u16string run;  // the name "$B" gave the run; empty after "$I"
  TSnapshotRows rows;
};

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
  void Table(std::int32_t mode, std::vector<TSnapshotRow> rows);
  // Hands on only a changed clock or flag.
  void Heartbeat(std::int32_t clock, std::int32_t flag);
  void Clear(const std::u16string& run);
  void Feed(bool connected);

 private:
  void Send();

  TTableSnapshotSink* sink_;
  TTableSnapshot state_;
  std::vector<bool> held_;         // of state_.rows
  std::vector<bool> pendingHeld_;  // of the rows made for the next push
};
