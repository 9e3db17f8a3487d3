// The board link's logic without a port: the controller's queue and session
// wired byte for byte to the virtual board's core, on a clock of the test's own.
#include <chrono>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "boardcore.h"
#include "boardqueue.h"
#include "boardsession.h"
#include "support/racetable.h"

namespace {

namespace bp = boardprotocol;
using namespace std::chrono_literals;
using testsupport::RaceTable;
using TClock = TBoardSession::TClock;

TTableCmd Table(std::vector<bp::TRowData> rows, std::int32_t fullRefresh = 0) {
  return TTableCmd{std::move(rows), fullRefresh, 1};
}

TEST(BoardQueue, NewestTableWinsAndSingleOperationsKeepTheirPlace) {
  TBoardQueue queue;
  queue.Push(Table(RaceTable(3), 1));
  queue.Push(bp::TSetRaceTimeMsg{10});
  queue.Push(bp::TStartLightMsg{});
  queue.Push(Table(RaceTable(5)));
  queue.Push(bp::TSetRaceTimeMsg{11});
  std::vector<TBoardCommand> out;
  while (auto c = queue.Take()) out.push_back(*c);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_TRUE(std::holds_alternative<bp::TStartLightMsg>(out[0]));
  // The replaced table's full redraw is still owed.
  EXPECT_EQ(std::get<TTableCmd>(out[1]), Table(RaceTable(5), 1));
  EXPECT_EQ(std::get<bp::TSetRaceTimeMsg>(out[2]).seconds, 11);

  // A flood of lights stays bounded; the newest of them are kept.
  for (int i = 0; i < 10000; ++i) queue.Push(bp::TFinishLightMsg{});
  queue.Push(bp::TStartLightMsg{});
  EXPECT_EQ(queue.Size(), TBoardQueue::kMaxWaitingSingles);
  TBoardCommand last;
  while (auto c = queue.Take()) last = *c;
  EXPECT_TRUE(std::holds_alternative<bp::TStartLightMsg>(last));
}

// The controller's session and the virtual board, joined by a line that the
// test can cut or damage.
class BoardLink : public ::testing::Test {
 protected:
  BoardLink() : session_([this](TScoreboardState s, std::intptr_t l) { posts_.push_back({s, l}); }), board_(Config()) {}
  static board::TBoardConfig Config() {
    board::TBoardConfig c;
    c.boardId = 4;
    c.address = 0x0401A8C0u;
    return c;
  }
  // Moves everything both ways until the line is quiet; `drop` loses the
  // controller's bytes instead of delivering them.
  void Pump(bool drop = false) {
    for (int i = 0; i < 20; ++i) {
      const auto out = session_.Pending();
      std::vector<std::uint8_t> toBoard(out.begin(), out.end());
      session_.Written(toBoard.size(), now_);
      std::vector<std::uint8_t> reply;
      if (!drop) board_.Receive(toBoard.data(), toBoard.size(), reply);
      session_.Received(reply, now_);
      if (toBoard.empty() && reply.empty()) return;
    }
  }
  void Heartbeat() {
    std::vector<std::uint8_t> hb;
    board_.AppendHeartbeat(hb, 0);
    session_.Received(hb, now_);
  }
  void Command(const TBoardCommand& c) {
    session_.Command(c);
    Pump();
  }
  int Posts(TScoreboardState s) const {
    int n = 0;
    for (const auto& p : posts_) n += p.first == s;
    return n;
  }
  std::uint64_t BoardBytes() const { return board_.Link().bytesReceived; }

  TClock::time_point now_ = TClock::now();
  std::vector<std::pair<TScoreboardState, std::intptr_t>> posts_;
  TBoardSession session_;
  board::TVirtualBoard board_;
};

TEST_F(BoardLink, WhatWasGivenBeforeTheBoardAnsweredIsShownAndTheHelloNamesTheBoard) {
  session_.Command(bp::TSetBrightnessMsg{7});
  session_.Command(Table(RaceTable(8)));
  session_.Command(bp::TSetRaceTimeMsg{99});
  session_.Opened(now_);
  // A heartbeat first: the link is up, but the board's id comes only with its hello.
  Heartbeat();
  EXPECT_EQ(Posts(bsConnected), 0);
  Pump();  // the board answers the Query with its hello
  ASSERT_EQ(Posts(bsConnected), 1);
  EXPECT_EQ(posts_.back().second, 4);
  EXPECT_EQ(Posts(bsAddress), 1);
  EXPECT_EQ(board_.Content().rows, RaceTable(8));
  EXPECT_EQ(board_.Content().brightness, 7);
  EXPECT_EQ(board_.Content().clockSeconds, 99);

  // The board restarts on the same line: its new hello gets it the display back.
  board_ = board::TVirtualBoard(Config());
  std::vector<std::uint8_t> hello;
  board_.AppendHello(hello);
  session_.Received(hello, now_);
  Pump();
  EXPECT_EQ(board_.Content().rows, RaceTable(8));
}

TEST_F(BoardLink, ChangedRowsTravelAndALostTableIsSentWholeAgain) {
  session_.Opened(now_);
  Pump();
  auto rows = RaceTable(30);
  Command(Table(rows));
  const std::uint64_t whole = BoardBytes();
  std::mt19937 rng(3);
  for (int push = 0; push < 20; ++push) {
    const std::uint64_t before = BoardBytes();
    // A passing: one kart's lap, and two positions swap.
    auto& r = rows[rng() % rows.size()];
    ++r.laps;
    r.lastLapTime += 77;
    const std::size_t k = rng() % (rows.size() - 1);
    std::swap(rows[k].name, rows[k + 1].name);
    std::swap(rows[k].number, rows[k + 1].number);
    Command(Table(rows));
    ASSERT_EQ(board_.Content().rows, rows) << "push " << push;
    EXPECT_LT(BoardBytes() - before, whole / 4) << "push " << push << " went whole";
  }
  EXPECT_EQ(session_.Stats().tablesResent, 0u);

  // One table is lost on the line; the next patch no longer fits what the
  // board shows, it asks for the whole table and gets it.
  rows[0].laps += 1;
  session_.Command(Table(rows));
  Pump(true);
  rows[1].laps += 1;
  Command(Table(rows));
  EXPECT_EQ(board_.Link().patchesRefused, 1u);
  EXPECT_EQ(board_.Content().rows, rows);

  // The very last table is lost: the heartbeats tell, and it goes again.
  rows[2].laps += 1;
  session_.Command(Table(rows));
  Pump(true);
  now_ += TBoardSession::kDrawnWait;
  Heartbeat();
  Pump();
  EXPECT_EQ(board_.Content().rows, rows);
  EXPECT_EQ(session_.Stats().tablesResent, 2u);
}

TEST_F(BoardLink, BadBytesFromTheBoardAreCountedAndTheLinkStaysUp) {
  session_.Opened(now_);
  Pump();
  const int connected = Posts(bsConnected);
  std::vector<std::uint8_t> junk;
  std::mt19937 rng(5);
  for (int i = 0; i < 20000; ++i) junk.push_back(static_cast<std::uint8_t>(rng()));
  bp::AppendMessage(junk, bp::THeartbeatMsg{}, 1);
  junk[junk.size() - 1] ^= 0x40;                                   // bad CRC
  bp::AppendFrame(junk, static_cast<bp::FrameType>(0x99), 2, {});  // unknown type
  bp::AppendMessage(junk, bp::TSetRaceTimeMsg{5}, 3);              // our own message echoed
  const std::uint8_t oversize[] = {bp::kSync0, bp::kSync1, bp::kProtocolVersion, 0x82, 0, 0xFF, 0xFF, 0};
  junk.insert(junk.end(), std::begin(oversize), std::end(oversize));  // length beyond the limit
  bp::AppendMessage(junk, bp::TAckMsg{}, 4);
  junk.resize(junk.size() - 3);  // torn
  for (int i = 0; i < 10; ++i) {
    now_ += 1s;
    session_.Received(junk, now_);
    Heartbeat();
    ASSERT_TRUE(session_.Tick(now_));
  }
  EXPECT_GE(session_.Stats().framesRefused, 20u);
  EXPECT_GE(session_.DecoderStats().crcErrors + session_.DecoderStats().headerErrors, 10u);
  EXPECT_GT(Posts(bsConnected), connected);
  EXPECT_EQ(Posts(bsDisconnected), 0);
  // Silence, then: the link is lost.
  now_ += TBoardSession::kBoardSilence + 1ms;
  EXPECT_FALSE(session_.Tick(now_));
}

}  // namespace
