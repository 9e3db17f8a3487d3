// The copies the exchange thread hands to the results page: taken at the
// push from the rows the board got, with the results list's texts, and at
// clears and clock changes only.
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "exchangefixture.h"
#include "feed/timingfeedparser.h"
#include "standings/celltext.h"
#include "standings/competitors.h"

namespace exchangetest {
namespace {

class RecordingSink : public TTableSnapshotSink {
 public:
  void Publish(std::shared_ptr<const TTableSnapshot> snapshot) override {
    std::lock_guard<std::mutex> guard(lock_);
    snapshots_.push_back(std::move(snapshot));
  }
  std::vector<std::shared_ptr<const TTableSnapshot>> Taken() {
    std::lock_guard<std::mutex> guard(lock_);
    return snapshots_;
  }

 private:
  std::mutex lock_;
  std::vector<std::shared_ptr<const TTableSnapshot>> snapshots_;
};

// A push reuses the rows of cars unchanged since the last one; any change
// of a car, of the mode (the gap's column) or of a position being held
// makes its row again.
TEST(SnapshotPublisher, UnchangedRowsAreReusedChangedOnesMadeAgain) {
  RecordingSink sink;
  TSnapshotPublisher publisher(&sink);
  TCompetitor car;
  car.number = 7;
  car.name = u"Ann";
  car.laps = 3;
  car.bestLapTime = 61000;
  car.raceGap = 0;
  car.bestLapGap = 250;
  const TCompetitor nobody;
  auto push = [&](std::int32_t mode, bool held) {
    std::vector<TSnapshotRow> rows;
    rows.push_back(publisher.Row(0, held ? car : nobody, held, mode));
    publisher.Table(mode, std::move(rows));
    const TSnapshotRow& row = sink.Taken().back()->rows[0];
    for (std::int32_t c = 0; c < static_cast<std::int32_t>(row.cells.size()); ++c) {
      const std::u16string expected = held ? CompetitorCellText(car, c, mode) : u"";
      EXPECT_EQ(row.cells[static_cast<std::size_t>(c)], expected) << "column " << c << ", mode " << mode;
    }
  };
  push(smRace, true);
  push(smRace, true);
  car.laps = 4;
  car.raceGap = -1;
  push(smRace, true);
  push(smBestLap, true);
  car.name = u"Bob";
  push(smBestLap, true);
  push(smBestLap, false);
  push(smBestLap, true);
}

class SnapshotTest : public ExchangeFixture {
 protected:
  RecordingSink sink;
};

TEST_F(SnapshotTest, PushClearAndClockAreHandedOnAsTheBoardAndListSeeThem) {
  Start(FakeBoard::kLibraryName, [this](TScoreboardExchangeThread::Options& o) { o.snapshotSink = &sink; });
  if (HasFatalFailure()) return;
  // The window's push reaches the page too, from the exchange thread, and a
  // connection without data yet is not shown as live.
  thread->SetScoreboardMode(smRace);
  ASSERT_TRUE(WaitUntil(window, [&] { return !sink.Taken().empty(); })) << "the mode change never reached the page";
  EXPECT_EQ(sink.Taken().back()->mode, smRace);
  EXPECT_FALSE(sink.Taken().back()->feedConnected) << "no data has come yet";
  Feed("$I,\"00:00:00\",\"0/0/0000\"\r\n$B,72,\"Sunday 7 hour\"\r\n");
  auto taken = sink.Taken();
  ASSERT_FALSE(taken.empty());
  EXPECT_EQ(taken.back()->run, u"Sunday 7 hour");
  EXPECT_TRUE(taken.back()->rows.empty());
  EXPECT_TRUE(taken.back()->feedConnected);

  // Positions 1 and 3 held, 2 not: three rows, the middle one empty.
  board.Reset();
  Feed(Competitor(1, 7, "Ann") + Competitor(2, 12, "Bob") + Competitor(3, 5, "Cy") + Race(1, 1, 3) +
       Race(3, 2, 2, "00:05:09.000") + Green());
  taken = sink.Taken();
  const TTableSnapshot& pushed = *taken.back();
  const auto rows = CallsOf(foSetRow);
  ASSERT_EQ(pushed.rows.size(), rows.size());
  ASSERT_EQ(pushed.rows.size(), 3u);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(pushed.rows[i].position, static_cast<std::int32_t>(i + 1));
    EXPECT_EQ(pushed.rows[i].number, rows[i].args[2]) << "row " << i;
    EXPECT_EQ(pushed.rows[i].laps, rows[i].args[5]) << "row " << i;
    for (std::int32_t c = 0; c < 6; ++c) {
      EXPECT_EQ(pushed.rows[i].cells[static_cast<std::size_t>(c)],
                thread->GetResultCellText(static_cast<std::int32_t>(i), c))
          << "row " << i << " column " << c;
    }
  }
  EXPECT_EQ(pushed.rows[0].cells[rcName], u"Ann");
  EXPECT_EQ(pushed.rows[1].cells[rcNumber], u"");
  EXPECT_EQ(pushed.mode, smRace);
  EXPECT_EQ(pushed.flag, fsGreen);
  EXPECT_EQ(pushed.clock, 65);
  EXPECT_EQ(pushed.run, u"Sunday 7 hour");

  // The same heartbeat again is no change; a new clock is one snapshot.
  const std::size_t before = taken.size();
  Feed(Green());
  EXPECT_EQ(sink.Taken().size(), before);
  Feed(Yellow());
  taken = sink.Taken();
  ASSERT_EQ(taken.size(), before + 1);
  EXPECT_EQ(taken.back()->clock, 66);
  EXPECT_EQ(taken.back()->flag, fsYellow);
  EXPECT_EQ(taken.back()->rows.size(), 3u) << "a clock change keeps the table";
  EXPECT_EQ(taken.back()->rows.Identity(), taken[before - 1]->rows.Identity()) << "and shares it, copying no row";
  for (std::size_t i = 1; i < taken.size(); ++i) EXPECT_EQ(taken[i]->sequence, taken[i - 1]->sequence + 1);

  // The operator's clear blanks the page as it blanks the board.
  thread->ClearScoreboard();
  EXPECT_TRUE(WaitUntil(window, [&] { return sink.Taken().back()->rows.empty(); }));

  // A lost feed is handed on.
  server.CloseClient();
  EXPECT_TRUE(WaitUntil(window, [&] { return !sink.Taken().back()->feedConnected; }));
}

}  // namespace
}  // namespace exchangetest
