// The feed side: connection attempts, reconnection and line assembly over
// a real loopback TCP connection.
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "exchangefixture.h"
#include "standings/competitors.h"

namespace exchangetest {
namespace {

using namespace std::chrono_literals;

class FeedConnectionTest : public ExchangeFixture {};

TEST_F(FeedConnectionTest, LineSplitOverSeveralReceivesIsAssembledWhole) {
  Start();
  const std::string line = Competitor(41, 5, "Split");
  for (std::size_t i = 0; i < line.size(); i += 7) {
    ASSERT_TRUE(server.Send(line.substr(i, 7)));
    std::this_thread::sleep_for(15ms);
  }
  Sync();
  auto lines = log.Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3], U16(line));
}

TEST_F(FeedConnectionTest, OneBytePerReceive) {
  Start();
  const std::string line = "$I,\"00:00:00\",\"0/0/0000\"\r\n";
  const int before = Notifies(enTableCleared);
  for (char c : line) {
    ASSERT_TRUE(server.Send(std::string(1, c)));
    std::this_thread::sleep_for(10ms);
  }
  Sync();
  EXPECT_EQ(Notifies(enTableCleared), before + 1);
}

TEST_F(FeedConnectionTest, SeveralLinesOfOneReceiveAreHandedOnInOrderBeforeThePush) {
  Start();
  const std::string lines = "$I,\"00:00:00\",\"0/0/0000\"\r\n" + Green() + Passing(1) + Competitor(1, 7, "Ann");
  board.Reset();
  Feed(lines);
  auto logged = log.Lines();
  ASSERT_GE(logged.size(), 6u);
  EXPECT_EQ(logged[logged.size() - 6], u"$I,\"00:00:00\",\"0/0/0000\"\r\n");
  EXPECT_EQ(logged[logged.size() - 5], U16(Green()));
  EXPECT_EQ(logged[logged.size() - 4], U16(Passing(1)));
  EXPECT_EQ(logged[logged.size() - 3], U16(Competitor(1, 7, "Ann")));
  // One push at the end of the receive, with everything the lines did.
  auto shows = CallsOf(foShow);
  ASSERT_EQ(shows.size(), 1u);
  auto rows = CallsOf(foSetRow);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(std::u16string(rows[0].name), u"Ann");
}

TEST_F(FeedConnectionTest, LinesSkipTheLogWhileTheWindowHidesItButStillReachTheBoard) {
  Start();
  thread->SetFeedLogShown(false);
  const std::size_t loggedBefore = log.Lines().size();
  board.Reset();
  // The log cannot mark the end of the receive here; the board's push does.
  ASSERT_TRUE(server.Send("$I,\"00:00:00\",\"0/0/0000\"\r\n" + Green() + Passing(1) + Competitor(1, 7, "Ann")));
  ASSERT_TRUE(WaitUntil(window, [&] { return CallsOf(foShow).size() == 1; }));
  EXPECT_EQ(log.Lines().size(), loggedBefore);

  thread->SetFeedLogShown(true);
  Feed(Passing(1));
  const auto logged = log.Lines();
  ASSERT_GE(logged.size(), loggedBefore + 3);  // the passing and Sync's two markers
  EXPECT_EQ(logged[loggedBefore], U16(Passing(1)));
}

TEST_F(FeedConnectionTest, BytesBeforeTheFirstDollarReachTheLogButNotTheParser) {
  Start();
  Feed("hello\r\n$I,\"00:00:00\",\"0/0/0000\"\r\n");
  auto lines = log.Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], u"hello\r\n");
  EXPECT_EQ(lines[1], u"$I,\"00:00:00\",\"0/0/0000\"\r\n");
}

TEST_F(FeedConnectionTest, BytesBetweenALineFeedAndTheNextDollarAreDropped) {
  Start();
  const int before = Notifies(enTableCleared);
  Feed("$I,\"00:00:00\",\"0/0/0000\"\r\n\n  stray\n\n$B,1,\"Run\"\r\n");
  auto lines = log.Lines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[lines.size() - 4], u"$I,\"00:00:00\",\"0/0/0000\"\r\n");
  EXPECT_EQ(lines[lines.size() - 3], u"$B,1,\"Run\"\r\n");
  EXPECT_EQ(Notifies(enTableCleared), before + 2) << "no line is handed on twice";
}

// A server that dies in the middle of a line: the half line is lost, never
// completed by whatever the next connection starts with.
TEST_F(FeedConnectionTest, ReconnectionStartsWithAnEmptyLine) {
  Start();
  Feed("$I,\"00:00:00\",\"0/0/0000\"\r\n" + Competitor(77, 12, "Across") + Race(1, 77, 3));
  const std::string half = Race(1, 77, 4).substr(0, 12);  // $G,1,"77",4,
  ASSERT_TRUE(server.Send(half));
  std::this_thread::sleep_for(50ms);
  server.CloseClient();
  std::this_thread::sleep_for(100ms);  // the thread notices the close
  clock.Advance(6);
  ASSERT_TRUE(server.Accept(5s)) << "no new connection within the next attempt";
  Feed("\r\n");
  auto lines = log.Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3], u"\r\n") << "the new connection's bytes form a line of their own";
  for (const auto& l : lines) EXPECT_NE(l, U16(half + "\r\n"));
  TCompetitor c;
  ASSERT_TRUE(Competitors()->CopyByRegNumber(77, c));
  EXPECT_EQ(c.laps, 3);
  EXPECT_EQ(c.totalTime, 301100);
}

// What the window's feed panel follows, all posted: the connection once
// data comes, a silence of more than ten seconds with its length, data
// again, the loss.
TEST_F(FeedConnectionTest, FeedStateIsPostedToTheWindow) {
  Start();
  // A timing application that hangs with its port open accepts and sends
  // nothing: that is no live feed.
  std::this_thread::sleep_for(100ms);
  window.Pump();
  EXPECT_EQ(Notifies(enFeedConnected), 0) << "connected only once data comes";
  Feed(Green());
  EXPECT_EQ(Notifies(enFeedConnected), 1);
  clock.Advance(kFeedSilentSeconds);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(Notifies(enFeedSilent), 0) << "ten seconds are no silence yet";
  clock.Advance(2);
  ASSERT_TRUE(WaitUntil(window, [&] { return Notifies(enFeedSilent) == 1; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(Notifies(enFeedSilent), 1) << "one report per second of silence";
  for (const PostedMessage& m : window.Messages()) {
    if (m.message == WM_EXCHANGE_NOTIFY && m.wParam == enFeedSilent) {
      EXPECT_EQ(m.lParam, 12);
    }
  }
  Feed(Green());
  EXPECT_EQ(Notifies(enFeedConnected), 2) << "data again";
  server.CloseClient();
  ASSERT_TRUE(WaitUntil(window, [&] { return Notifies(enFeedDisconnected) == 1; }));
}

TEST_F(FeedConnectionTest, AttemptsComeMoreThanFiveSecondsApart) {
  Start();  // the first attempt came at once
  server.CloseClient();
  EXPECT_FALSE(server.Accept(300ms)) << "no attempt before five seconds have passed";
  clock.Advance(5);
  EXPECT_FALSE(server.Accept(300ms)) << "five seconds are not enough";
  clock.Advance(1);
  EXPECT_TRUE(server.Accept(5s));
}

// The timing application sends a heartbeat every second: a connection that
// brought nothing for 15 s is lost, even where keep-alive probing would take
// longer to say so, and the usual attempt follows. Data restarts the span.
TEST_F(FeedConnectionTest, AConnectionSilentForFifteenSecondsIsDroppedAndRetried) {
  Start();
  clock.Advance(14);
  Feed(Green());
  clock.Advance(14);
  EXPECT_FALSE(server.ClientClosed(300ms)) << "14 s since the last data is not yet a lost feed";
  clock.Advance(1);
  EXPECT_TRUE(server.ClientClosed(5s)) << "15 s without data must drop the connection";
  clock.Advance(6);
  EXPECT_TRUE(server.Accept(5s)) << "no new attempt after the drop";
}

TEST_F(FeedConnectionTest, SetFeedAddressWithTheSameAddressReconnects) {
  Start();
  Feed("$I,\"00:00:00\",\"0/0/0000\"\r\n");
  thread->SetFeedAddress(LoopbackAddress(), server.Port());
  EXPECT_TRUE(server.ClientClosed(2s)) << "the connection was not dropped";
  clock.Advance(6);
  ASSERT_TRUE(server.Accept(5s));
  Feed("$B,1,\"Run\"\r\n");
  auto lines = log.Lines();
  EXPECT_EQ(lines[lines.size() - 3], u"$B,1,\"Run\"\r\n");
}

TEST_F(FeedConnectionTest, SetFeedAddressNeverWaitsForAPendingAttempt) {
  // A port whose accept queue is full: the thread's connect hangs in SYN
  // retries until its own timeout.
  LoopbackServer stuck(0);
  std::vector<std::intptr_t> fillers;
  for (int i = 0; i < 3; ++i) fillers.push_back(ConnectNonBlocking(stuck.Port()));
  std::this_thread::sleep_for(100ms);

  TScoreboardExchangeThread::Options options;
  options.libraryName = FakeBoard::kLibraryName;
  options.clock = &clock;
  options.feedLog = log.Sink();
  thread = std::make_unique<TScoreboardExchangeThread>(window.Handle(), options);
  thread->SetFeedAddress(LoopbackAddress(), stuck.Port());
  std::this_thread::sleep_for(300ms);  // the attempt is now under way

  const auto begin = std::chrono::steady_clock::now();
  thread->SetFeedAddress(LoopbackAddress(), server.Port());
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin);
  std::printf("SetFeedAddress during a pending attempt took %lld ms\n", static_cast<long long>(took.count()));
  EXPECT_LT(took.count(), 1000) << "SetFeedAddress waited for the connect";

  clock.Advance(6);
  ASSERT_TRUE(server.Accept(10s)) << "the new address was not used at the next attempt";
  Feed("$I,\"00:00:00\",\"0/0/0000\"\r\n");
  EXPECT_EQ(log.Lines()[0], u"$I,\"00:00:00\",\"0/0/0000\"\r\n");
  for (auto s : fillers) CloseRawSocket(s);
}

TEST_F(FeedConnectionTest, NoListenerThenANewAddressConnects) {
  std::uint16_t deadPort;
  {
    LoopbackServer gone;
    deadPort = gone.Port();
  }
  TScoreboardExchangeThread::Options options;
  options.libraryName = FakeBoard::kLibraryName;
  options.clock = &clock;
  options.feedLog = log.Sink();
  thread = std::make_unique<TScoreboardExchangeThread>(window.Handle(), options);
  thread->SetFeedAddress(LoopbackAddress(), deadPort);
  for (int i = 0; i < 3; ++i) {  // refused attempts are silent
    clock.Advance(6);
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_FALSE(thread->Terminated());
  thread->SetFeedAddress(LoopbackAddress(), server.Port());
  clock.Advance(6);
  ASSERT_TRUE(server.Accept(5s));
  Feed("$I,\"00:00:00\",\"0/0/0000\"\r\n");
  EXPECT_EQ(log.Lines()[0], u"$I,\"00:00:00\",\"0/0/0000\"\r\n");
}

TEST_F(FeedConnectionTest, ResetInTheMiddleOfALineThenTheNextLineIsProcessed) {
  Start();
  const int before = Notifies(enTableCleared);
  ASSERT_TRUE(server.Send("$A,\"5\",\"9"));
  std::this_thread::sleep_for(50ms);
  server.CloseClient(/*reset=*/true);
  std::this_thread::sleep_for(100ms);
  clock.Advance(6);
  ASSERT_TRUE(server.Accept(5s));
  Feed("$I,\"00:00:00\",\"0/0/0000\"\r\n");
  EXPECT_EQ(Notifies(enTableCleared), before + 1);
}

TEST_F(FeedConnectionTest, OverlongLineKeepsItsFirstBytesAndTheNextLineWorks) {
  Start();
  const int before = Notifies(enTableCleared);
  std::string huge = "$";
  huge.append(2 * kFeedBufferSize, 'x');
  ASSERT_TRUE(server.Send(huge));
  Feed("\n$I,\"00:00:00\",\"0/0/0000\"\r\n");
  auto lines = log.Lines();
  ASSERT_GE(lines.size(), 4u);
  const std::u16string& cut = lines[lines.size() - 4];
  EXPECT_EQ(cut.size(), kFeedBufferSize - 1);
  EXPECT_EQ(cut[0], u'$');
  EXPECT_EQ(cut.back(), u'x');
  EXPECT_EQ(lines[lines.size() - 3], u"$I,\"00:00:00\",\"0/0/0000\"\r\n");
  EXPECT_EQ(Notifies(enTableCleared), before + 1);
}

TEST_F(FeedConnectionTest, BinaryGarbageAndNulBytesDoNotStopTheThread) {
  Start();
  std::mt19937 random(1234);
  std::string garbage;
  for (int i = 0; i < 200000; ++i) garbage.push_back(static_cast<char>(random() & 0xFF));
  garbage += std::string("$G\0\0,1,\n", 8);
  Feed(garbage);  // random bytes hold the odd "$B" or "$I" too
  const int before = Notifies(enTableCleared);
  Feed("\n$I,\"00:00:00\",\"0/0/0000\"\r\n");
  EXPECT_EQ(Notifies(enTableCleared), before + 1);
  auto lines = log.Lines();
  for (const auto& l : lines) EXPECT_LT(l.size(), kFeedBufferSize);
}

#ifdef __linux__
// The kernel's view of the thread's socket: its keep-alive timer runs and
// fires within seconds, not after the two-hour default.
TEST_F(FeedConnectionTest, FeedSocketProbesAnIdlePeer) {
  Start();
  const std::uint16_t local = server.PeerPort();
  std::this_thread::sleep_for(200ms);
  std::ifstream tcp("/proc/net/tcp");
  ASSERT_TRUE(tcp) << "no /proc/net/tcp";
  std::string line;
  bool found = false;
  std::getline(tcp, line);  // header
  while (std::getline(tcp, line)) {
    std::istringstream fields(line);
    std::string sl, localAddress, remoteAddress, state, queues, timer;
    fields >> sl >> localAddress >> remoteAddress >> state >> queues >> timer;
    const auto colon = localAddress.find(':');
    if (std::stoul(localAddress.substr(colon + 1), nullptr, 16) != local) continue;
    // An earlier connection of the same port may linger in TIME_WAIT.
    if (state != "01") continue;
    found = true;
    const auto timerColon = timer.find(':');
    EXPECT_EQ(timer.substr(0, timerColon), "02") << "keep-alive timer not running: " << line;
    const unsigned long ticks = std::stoul(timer.substr(timerColon + 1), nullptr, 16);
    EXPECT_LE(ticks, 6ul * 100ul) << "first probe later than the idle time";
  }
  EXPECT_TRUE(found) << "socket to port " << local << " not listed";
}
#endif

}  // namespace
}  // namespace exchangetest
