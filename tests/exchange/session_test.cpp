// Session rules and board pushes, seen through the recording controller.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "exchangefixture.h"
#include "standings/competitors.h"

namespace exchangetest {
namespace {

class SessionTest : public ExchangeFixture {
 protected:
  void SetUp() override {
    ExchangeFixture::SetUp();
    if (HasFatalFailure()) return;
    Start();
    if (HasFatalFailure()) return;
    Feed("$I,\"00:00:00\",\"0/0/0000\"\r\n");  // the one table is shared by every test of this program
    board.Reset();
  }
};

TEST_F(SessionTest, PushesOnlyUnderARecognisedFlag) {
  Feed(Competitor(1, 7, "Ann") + Passing(1));
  EXPECT_TRUE(CallsOf(foShow).empty()) << "no push before the first flag";
  EXPECT_EQ(Notifies(enTableSent), 0);

  Feed(Green());
  auto shows = CallsOf(foShow);
  ASSERT_EQ(shows.size(), 1u) << "the receive with the green flag pushes the dirty table";
  EXPECT_EQ(Notifies(enTableSent), 1);
  auto raceTime = CallsOf(foSetRaceTime);
  ASSERT_EQ(raceTime.size(), 1u);
  EXPECT_EQ(raceTime[0].args[0], 65);

  // A caution period runs on exactly like green: clock and table.
  board.Reset();
  Feed(Yellow() + Passing(1));
  EXPECT_EQ(CallsOf(foShow).size(), 1u) << "a yellow flag keeps the table moving";
  raceTime = CallsOf(foSetRaceTime);
  ASSERT_EQ(raceTime.size(), 1u) << "and the clock";
  EXPECT_EQ(raceTime[0].args[0], 66);

  board.Reset();
  Feed(NoFlag() + Passing(1));
  EXPECT_TRUE(CallsOf(foShow).empty()) << "an unrecognised flag stops the table";
  EXPECT_TRUE(CallsOf(foSetRaceTime).empty()) << "and the clock";
  Feed(Green());
  EXPECT_EQ(CallsOf(foShow).size(), 1u) << "the table stayed dirty and goes out with the next green";
}

TEST_F(SessionTest, InitAndGreenInOneReceiveSendEmptyTableWithFullRefresh) {
  const int clearedBefore = Notifies(enTableCleared);
  Feed("$I,\"00:00:00\",\"0/0/0000\"\r\n" + Green());
  auto calls = board.Calls();
  ASSERT_EQ(calls.size(), 3u);  // SetRaceTime, ClearBoard(0), Show
  EXPECT_EQ(calls[1].operation, foClearBoard);
  EXPECT_EQ(calls[1].args[0], 0);
  EXPECT_EQ(calls[2].operation, foShow);
  EXPECT_EQ(calls[2].args[0], 1) << "full refresh after an init";
  EXPECT_EQ(Notifies(enTableCleared), clearedBefore + 1);
  auto messages = window.Messages();
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[messages.size() - 2].wParam, static_cast<std::uintptr_t>(enTableCleared));
  EXPECT_EQ(messages.back().wParam, static_cast<std::uintptr_t>(enTableSent));
}

TEST_F(SessionTest, StartLightHoldsPushesUntilARaceRecord) {
  Feed(Green() + Competitor(1, 7, "Ann") + Passing(1));
  thread->SetTrafficLight(1);
  EXPECT_EQ(CallsOf(foStartLight).size(), 1u);
  board.Reset();

  Feed(Passing(1));
  // The passing itself released the hold, so this receive pushes in full.
  auto shows = CallsOf(foShow);
  ASSERT_EQ(shows.size(), 1u);
  EXPECT_EQ(shows[0].args[0], 1);

  thread->SetTrafficLight(1);
  board.Reset();
  Feed(Green() + Competitor(2, 8, "Bob"));
  EXPECT_TRUE(CallsOf(foShow).empty()) << "a heartbeat or competitor record does not end the hold";
  Feed(Race(1, 1, 3));
  EXPECT_EQ(CallsOf(foShow).size(), 1u);
}

TEST_F(SessionTest, FinishLightRefusesPushesUntilCleared) {
  Feed(Green() + Competitor(1, 7, "Ann"));
  thread->SetTrafficLight(2);
  board.Reset();
  Feed(Passing(1) + Race(1, 1, 2) + Green());
  EXPECT_TRUE(CallsOf(foShow).empty()) << "feed records never end the finish light";

  thread->ClearScoreboard();
  // The receive still in hand may begin its push (ClearBoard(0)) after it.
  auto clears = CallsOf(foClearBoard);
  ASSERT_GE(clears.size(), 1u);
  EXPECT_EQ(clears[0].args[0], 1) << "operator clear blanks the board at once";
  Feed(Passing(1));
  // The receive still in hand when the clear came may push first; either
  // way the table is back, without a full refresh.
  auto shows = CallsOf(foShow);
  ASSERT_GE(shows.size(), 1u);
  EXPECT_LE(shows.size(), 2u);
  EXPECT_EQ(shows.back().args[0], 0);
}

TEST_F(SessionTest, PracticeModeRaceRecordDoesNotMarkTableDirty) {
  Feed(Green() + Competitor(1, 7, "Ann") + Passing(1));
  board.Reset();
  thread->SetScoreboardMode(smPractice);
  ASSERT_EQ(CallsOf(foShow).size(), 1u) << "a mode change pushes at once";
  EXPECT_EQ(CallsOf(foShow)[0].args[1], smPractice);
  board.Reset();
  Feed(Race(1, 1, 4));
  EXPECT_TRUE(CallsOf(foShow).empty());
  Feed(Passing(1));
  EXPECT_EQ(CallsOf(foShow).size(), 1u);
  thread->SetScoreboardMode(smBestLap);
}

TEST_F(SessionTest, PositionThatNobodyHoldsIsAnEmptyRow) {
  thread->SetScoreboardMode(smRace);
  Feed(Green() + Competitor(1, 7, "Ann") + Competitor(2, 8, "Bob") + Competitor(3, 9, "Cid") + Race(1, 1, 5) +
       Race(3, 3, 4, "00:05:30.000"));
  auto rows = CallsOf(foSetRow);
  ASSERT_EQ(rows.size(), 3u) << "one row per competitor in the table";
  EXPECT_EQ(rows[0].args[1], 1);
  EXPECT_EQ(rows[0].args[2], 7);
  EXPECT_EQ(std::u16string(rows[0].name), u"Ann");
  // Row 2: nobody holds race position 2.
  EXPECT_EQ(rows[1].args[1], 2);
  for (int a = 2; a < 9; ++a) EXPECT_EQ(rows[1].args[a], 0) << "argument " << a;
  EXPECT_EQ(rows[1].hasName, 0) << "an empty row has a null name";
  EXPECT_EQ(rows[2].args[2], 9);
  EXPECT_EQ(rows[2].args[5], 4);
  thread->SetScoreboardMode(smBestLap);
}

// With holes in the positions the push still reaches the last car; a
// position no board could show does not make a push of that many rows.
TEST_F(SessionTest, PushReachesTheHighestPositionHeld) {
  thread->SetScoreboardMode(smRace);
  Feed(Green() + Competitor(1, 7, "Ann") + Competitor(2, 8, "Bob") + Race(1, 1, 5) + Race(4, 2, 5, "00:05:30.000"));
  auto rows = CallsOf(foSetRow);
  ASSERT_EQ(rows.size(), 4u) << "rows up to position 4, not one per competitor";
  EXPECT_EQ(rows[3].args[1], 4);
  EXPECT_EQ(rows[3].args[2], 8);
  EXPECT_EQ(rows[1].hasName, 0);
  board.Reset();
  Feed(Race(2147483647, 2, 6));
  rows = CallsOf(foSetRow);
  EXPECT_EQ(rows.size(), 2u) << "one row per competitor, none for the hostile position";
  EXPECT_EQ(thread->GetListRowCount(), 4);
  thread->SetScoreboardMode(smBestLap);
}

TEST_F(SessionTest, TestPatternIgnoresTheFinishLightAndClearsBothHolds) {
  thread->SetTrafficLight(2);
  board.Reset();
  thread->RefreshScoreboard(1);
  auto calls = board.Calls();
  ASSERT_EQ(calls.size(), 10u);
  EXPECT_EQ(calls[0].operation, foClearBoard);
  EXPECT_EQ(calls[0].args[0], 0);
  for (int n = 0; n < 8; ++n) {
    const TFakeCall& row = calls[1 + n];
    ASSERT_EQ(row.operation, foSetRow);
    EXPECT_EQ(row.args[1], n + 1);
    EXPECT_EQ(row.args[2], n + 22);
    EXPECT_EQ(row.args[3], 59999 + 1000 * n);
    EXPECT_EQ(row.args[4], 62333 + 1000 * n);
    EXPECT_EQ(row.args[5], n + 7);
    EXPECT_EQ(row.args[8], 10 * n);
    std::u16string expected = u"Имя_1";
    expected += static_cast<char16_t>(u'1' + n);
    EXPECT_EQ(std::u16string(row.name), expected);
  }
  EXPECT_EQ(calls[9].operation, foShow);
  EXPECT_EQ(calls[9].args[0], 1);

  board.Reset();
  Feed(Green() + Passing(4));
  EXPECT_EQ(CallsOf(foShow).size(), 1u) << "the finish hold is gone";
}

TEST_F(SessionTest, UnknownTrafficLightChangesNothing) {
  thread->SetTrafficLight(2);
  board.Reset();
  thread->SetTrafficLight(3);
  thread->SetTrafficLight(0);
  EXPECT_TRUE(board.Calls().empty());
  Feed(Green() + Passing(1));
  EXPECT_TRUE(CallsOf(foShow).empty()) << "the finish hold is still on";
}

TEST_F(SessionTest, WindowCommandsReachTheController) {
  thread->SetBrightness(7);
  const std::uint8_t bits[2 * 3] = {0xFF, 0x01, 0x80, 0x00, 0x10, 0x01};
  thread->SendPicture(bits, 16, 3, 0, 0);
  thread->OpenScoreboardPort("COM5");
  auto calls = board.Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].operation, foSetBrightness);
  EXPECT_EQ(calls[0].args[0], 7);
  EXPECT_EQ(calls[1].operation, foShowPicture);
  EXPECT_EQ(calls[1].args[0], 16);
  EXPECT_EQ(calls[1].args[1], 3);
  EXPECT_EQ(calls[1].args[4], 0xFF + 0x01 + 0x80 + 0x10 + 0x01);
  EXPECT_EQ(calls[2].operation, foOpenPort);
  EXPECT_EQ(calls[2].args[0], 1);
  EXPECT_EQ(calls[2].args[1], 115200);
  EXPECT_EQ(std::u16string(calls[2].name), u"COM5");
}

TEST_F(SessionTest, TablePushesAreNeverInterleavedWithWindowCommands) {
  Feed(Green() + Competitor(1, 7, "Ann") + Competitor(2, 8, "Bob") + Competitor(3, 9, "Cid"));
  std::atomic<bool> stop{false};
  std::thread gui([&] {
    while (!stop) {
      thread->RefreshScoreboard(0);
      thread->SetBrightness(3);
    }
  });
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(server.Send(Passing(1 + i % 3) + Green()));
  Sync();
  stop = true;
  gui.join();

  bool inPush = false;
  int pushes = 0;
  for (const auto& c : board.Calls()) {
    if (c.operation == foClearBoard && c.args[0] == 0) {
      ASSERT_FALSE(inPush) << "a push began inside another push";
      inPush = true;
    } else if (c.operation == foShow) {
      ASSERT_TRUE(inPush);
      inPush = false;
      ++pushes;
    } else if (c.operation == foSetRow) {
      ASSERT_TRUE(inPush) << "a row outside a push";
    } else {
      ASSERT_FALSE(inPush) << "operation " << c.operation << " inside a push";
    }
  }
  EXPECT_GT(pushes, 2);
}

TEST_F(SessionTest, ResultCellsFollowTheMode) {
  thread->SetScoreboardMode(smRace);
  Feed(Green() + Competitor(1, 7, "Ann") + Race(1, 1, 5));
  EXPECT_EQ(thread->ScoreboardMode(), smRace);
  EXPECT_EQ(thread->GetListRowCount(), 1);
  EXPECT_EQ(thread->GetResultCellText(0, 0), u" 7");
  EXPECT_EQ(thread->GetResultCellText(0, 4), u"Ann");
  thread->SetScoreboardMode(smPractice);
  EXPECT_EQ(thread->GetListRowCount(), 32);
  thread->SetScoreboardMode(smBestLap);
}

// A library that takes long over each call (one writing the serial line
// before it returns) holds neither the window nor the feed: the window's
// commands return while a push is in progress; a light ends that push at
// the next call, before its Show; single commands keep their order; of the
// tables that waited meanwhile only the newest goes out.
TEST_F(SessionTest, ASlowLibraryHoldsNeitherTheWindowNorTheFeed) {
  Feed(Green() + Competitor(1, 7, "Ann") + Competitor(2, 8, "Bob") + Race(1, 1, 1) + Race(2, 2, 1));
  board.Reset();
  board.ShutGate(true);
  struct Reopen {
    FakeBoard& board;
    ~Reopen() { board.ShutGate(false); }
  } reopen{board};
  auto waitingInTheLibrary = [&] { return WaitUntil(window, [&] { return board.WaitingCalls() == 1; }); };

  ASSERT_TRUE(server.Send(Passing(1)));
  ASSERT_TRUE(waitingInTheLibrary()) << "the push never reached the library";
  // The window's thread, bounded so that a command that waits fails the
  // test instead of hanging it.
  std::atomic<bool> returned{false};
  std::thread operatorThread([&] {
    thread->SetTrafficLight(2);
    thread->SetBrightness(5);
    returned = true;
  });
  const bool answered = WaitUntil(
      window, [&] { return returned.load(); }, std::chrono::seconds(10));
  if (!answered) board.ShutGate(false);
  operatorThread.join();
  ASSERT_TRUE(answered) << "a window command waited for the push in progress";
  Feed(Passing(2));  // the feed still flows; the finish light refuses its table
  board.ShutGate(false);
  auto calls = board.Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].operation, foClearBoard) << "the push that was in progress";
  EXPECT_EQ(calls[1].operation, foFinishLight) << "the light took the board before the push's rows";
  EXPECT_EQ(calls[2].operation, foSetBrightness);
  EXPECT_EQ(calls[2].args[0], 5);

  thread->ClearScoreboard();
  thread->SetScoreboardMode(smRace);
  board.Reset();
  board.ShutGate(true);
  ASSERT_TRUE(server.Send(Passing(1)));
  ASSERT_TRUE(waitingInTheLibrary());
  Feed(Race(1, 2, 2) + Passing(2));
  Feed(Race(1, 2, 3) + Race(2, 1, 2));
  board.ShutGate(false);
  const auto shows = CallsOf(foShow);
  ASSERT_EQ(shows.size(), 2u) << "the push in progress, then only the newest of the two that waited";
  const auto rows = CallsOf(foSetRow);
  ASSERT_GE(rows.size(), 2u);
  EXPECT_EQ(rows[rows.size() - 2].args[2], 8) << "the newest table: Bob leads";
  EXPECT_EQ(rows[rows.size() - 2].args[5], 3);
}

// The controller library absent: no board calls, the same messages.
TEST(SessionWithoutLibrary, RunsTheSessionAndPostsTheSameMessages) {
  TestWindow window;
  FakeClock clock;
  FeedLogRecorder log;
  LoopbackServer server;
  TScoreboardExchangeThread::Options options;
  options.libraryName = "nosuchcontroller.dll";
  options.clock = &clock;
  options.feedLog = log.Sink();
  auto thread = std::make_unique<TScoreboardExchangeThread>(window.Handle(), options);
  ASSERT_TRUE(thread->WaitForBoard(std::chrono::seconds(10)));
  EXPECT_FALSE(thread->HasController());
  EXPECT_TRUE(thread->ControllerLoaded());
  thread->SetFeedAddress(LoopbackAddress(), server.Port());
  ASSERT_TRUE(server.Accept(std::chrono::seconds(5)));
  thread->SetTrafficLight(1);
  thread->RefreshScoreboard(1);
  thread->SetBrightness(4);
  ASSERT_TRUE(server.Send("$I,\"00:00:00\",\"0/0/0000\"\r\n" + Green() + Competitor(1, 7, "Ann") + Passing(1)));
  EXPECT_TRUE(WaitUntil(window, [&] { return window.Count(WM_EXCHANGE_NOTIFY, enTableSent) == 1; }));
  EXPECT_EQ(window.Count(WM_EXCHANGE_NOTIFY, enTableCleared), 1);
  DestroyPumping(window, thread);
}

TEST(SessionLifetime, ControllerIsDeletedWhenTheThreadStops) {
  FakeBoard board;
  ASSERT_TRUE(board.Loaded());
  TestWindow window;
  FakeClock clock;
  TScoreboardExchangeThread::Options options;
  options.libraryName = FakeBoard::kLibraryName;
  options.clock = &clock;
  const int before = board.LiveControllers();
  auto thread = std::make_unique<TScoreboardExchangeThread>(window.Handle(), options);
  ASSERT_TRUE(thread->WaitForBoard(std::chrono::seconds(10))) << "the board thread never loaded the library";
  EXPECT_TRUE(thread->HasController());
  EXPECT_EQ(board.LiveControllers(), before + 1);
  DestroyPumping(window, thread);
  EXPECT_EQ(board.LiveControllers(), before);
}

}  // namespace
}  // namespace exchangetest
