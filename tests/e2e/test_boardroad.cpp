// The whole board road with the real programs: brelvo-feed simulates a
// meeting over loopback TCP, brelvo-proxy (the operator window) turns it into
// table pushes through the stand-in controller library, which drives
// brelvo-board over a pseudo-terminal paced to a real board line's 115200 baud. What the board reports to show is
// checked against the recorded feed replayed through the proxy's own parser
// and table.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "boardstate.h"
#include "childprocess.h"
#include "feedreplay.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using e2e::TBoardRow;
using e2e::TChildProcess;

namespace {

constexpr std::int32_t kRaceMode = 1;

struct TBoardState {
  bool valid = false;
  std::string display;
  std::int32_t mode = -1;
  std::int64_t shows = 0;
  bool clockSet = false;
  std::int32_t clockSeconds = 0;
  std::vector<TBoardRow> rows;
};

TBoardState ReadBoardState(const fs::path& file) {
  TBoardState state;
  const auto o = e2e::ReadBoardJson(file.string());
  if (!o) return state;
  state.valid = true;
  state.display = o->value(QLatin1String("display")).toString().toStdString();
  state.mode = o->value(QLatin1String("mode")).toInt(-1);
  state.shows = o->value(QLatin1String("shows")).toInteger();
  state.clockSet = !o->value(QLatin1String("clock")).isNull();
  state.clockSeconds = o->value(QLatin1String("clockSeconds")).toInt();
  state.rows = e2e::BoardRows(*o);
  return state;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// One run of the road, in a private folder: the proxy's program folder with
// its settings file, its own single-instance lock and its own COM link folder.
class BoardRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    const int pty = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (pty < 0) GTEST_SKIP() << "this system offers no pseudo-terminals; the board cannot be attached";
    ::close(pty);

    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    dir_ = fs::temp_directory_path() / ("brelvo-e2e-" + std::to_string(::getpid()) + "-" + name);
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "program");
    fs::create_directories(dir_ / "runtime");
    fs::permissions(dir_ / "runtime", fs::perms::owner_all, fs::perm_options::replace);
    const fs::path bin = BRELVO_BIN_DIR;
    fs::copy_file(bin / "brelvo-proxy", dir_ / "program" / "brelvo-proxy");
    fs::copy_file(bin / "scoreboardcontroller.so", dir_ / "program" / "scoreboardcontroller.so");
    comPort_ = 150 + ::getpid() % 100;
    link_ = dir_ / "runtime" / "brelvo-com" / ("COM" + std::to_string(comPort_));
    record_ = dir_ / "feed.rec";
    state_ = dir_ / "board.json";
  }

  void TearDown() override {
    proxy_.reset();
    board_.reset();
    feed_.reset();
    std::error_code ec;
    if (fs::is_symlink(link_, ec)) fs::remove(link_, ec);
    if (!HasFailure()) fs::remove_all(dir_, ec);
  }

  void StartFeed(int raceLaps) {
    const fs::path exe = fs::path(BRELVO_BIN_DIR) / "brelvo-feed";
    feed_ = std::make_unique<TChildProcess>(std::vector<std::string>{
        exe.string(), "--port", "0", "--karts", "5", "--seed", "11", "--practice-s", "5", "--qualifying-s", "5",
        "--race-laps", std::to_string(raceLaps), "--speed", "40", "--wait-for-client", "--record", record_.string()});
    ASSERT_TRUE(feed_->Started());
    const auto at = feed_->WaitForLine("listening on 127.0.0.1:", 10s);
    ASSERT_TRUE(at) << "the feed never listened:\n" << feed_->Output();
    const std::string line = feed_->Lines()[*at];
    feedPort_ = std::atoi(line.substr(line.rfind(':') + 1).c_str());
    ASSERT_GT(feedPort_, 0) << line;
  }

  void StartBoard() {
    const fs::path exe = fs::path(BRELVO_BIN_DIR) / "brelvo-board";
    board_ = std::make_unique<TChildProcess>(
        std::vector<std::string>{exe.string(), "--pty", std::to_string(comPort_), "--state", state_.string(),
                                 "--heartbeat-ms", "200", "--baud", "115200"},
        std::map<std::string, std::string>{{"QT_QPA_PLATFORM", "offscreen"},
                                           {"XDG_RUNTIME_DIR", (dir_ / "runtime").string()}});
    ASSERT_TRUE(board_->Started());
    ASSERT_TRUE(board_->WaitForLine("brelvo-board: COM", 10s)) << "the board never published its link:\n"
                                                               << board_->Output();
  }

  // The settings file as the program itself writes it.
  void StartProxy(const std::map<std::string, std::string>& env) {
    {
      std::FILE* ini = std::fopen((dir_ / "program" / "scoreboard.ini").c_str(), "w");
      ASSERT_NE(ini, nullptr);
      std::fprintf(ini, "Host: 127.0.0.1\nPort: %d\nScoreboardMode:%d\nBrightness:9\nComPort:%d\nWebPort: 0\n",
                   feedPort_, kRaceMode, comPort_);
      std::fclose(ini);
    }
    std::map<std::string, std::string> all = env;
    all["XDG_RUNTIME_DIR"] = (dir_ / "runtime").string();
    // The lock is the machine's: runs side by side each take one of their own.
    all["BRELVO_INSTANCE"] = dir_.filename().string();
    proxy_ =
        std::make_unique<TChildProcess>(std::vector<std::string>{(dir_ / "program" / "brelvo-proxy").string()}, all);
    ASSERT_TRUE(proxy_->Started());
  }

  void WaitForFeedDone(std::chrono::seconds limit = 40s) {
    ASSERT_TRUE(feed_->WaitForLine("done", limit)) << "the feed did not finish:\n" << feed_->Output();
  }

  std::string Recorded() const { return e2e::ReadFile(record_.string()); }

  // The recording has reached the race (the third session) and `passings`
  // crossings of it.
  bool RaceUnderWay(std::size_t passings) const {
    const std::string text = Recorded();
    std::size_t at = std::string::npos;
    for (int i = 0; i < 3; ++i) {
      at = text.find("$I", at == std::string::npos ? 0 : at + 1);
      if (at == std::string::npos) return false;
    }
    return Count(text.substr(at), "$J") >= passings;
  }

  // Waits until the board shows `expected` (pushes trail the feed a little).
  void ExpectBoardRows(const std::vector<TBoardRow>& expected) {
    TBoardState board;
    e2e::WaitUntil(
        [&] {
          board = ReadBoardState(state_);
          return board.rows == expected;
        },
        8s);
    ASSERT_EQ(board.rows.size(), expected.size()) << "board:\n"
                                                  << e2e::Describe(board.rows) << "expected:\n"
                                                  << e2e::Describe(expected);
    for (std::size_t i = 0; i < expected.size(); ++i) {
      SCOPED_TRACE("row " + std::to_string(i + 1));
      EXPECT_EQ(board.rows[i].row, expected[i].row);
      EXPECT_EQ(board.rows[i].number, expected[i].number);
      EXPECT_EQ(board.rows[i].name, expected[i].name);
      EXPECT_EQ(board.rows[i].bestLapTime, expected[i].bestLapTime);
      EXPECT_EQ(board.rows[i].lastLapTime, expected[i].lastLapTime);
      EXPECT_EQ(board.rows[i].laps, expected[i].laps);
      EXPECT_EQ(board.rows[i].totalTime, expected[i].totalTime);
      EXPECT_EQ(board.rows[i].raceGap, expected[i].raceGap);
      EXPECT_EQ(board.rows[i].bestLapGap, expected[i].bestLapGap);
    }
  }

  fs::path dir_, link_, record_, state_;
  int comPort_ = 0;
  int feedPort_ = 0;
  std::unique_ptr<TChildProcess> feed_, board_, proxy_;
};

const std::map<std::string, std::string> kOffscreen{{"QT_QPA_PLATFORM", "offscreen"}};

// The race's final standings and its clock reach the board.
TEST_F(BoardRoad, BoardEndsWithTheRaceStandingsAndClock) {
  StartBoard();
  StartFeed(3);
  StartProxy(kOffscreen);
  ASSERT_TRUE(proxy_->WaitForLine("board status: Табло подключено (1)", 15s)) << proxy_->Output();
  WaitForFeedDone();

  const e2e::TFeedOutcome expected = e2e::ReplayFeed(Recorded(), kRaceMode);
  // A meeting of five karts in three sessions: the check below is not vacuous.
  ASSERT_EQ(expected.rows.size(), 5u);
  ASSERT_GE(expected.passings, 15u);
  for (const TBoardRow& r : expected.rows) {
    EXPECT_FALSE(r.name.empty()) << e2e::Describe(r);
    EXPECT_GT(r.laps, 0) << e2e::Describe(r);
  }
  ExpectBoardRows(expected.rows);

  ASSERT_TRUE(expected.clock.has_value());
  ASSERT_GT(*expected.clock, 0);
  // The last "$F" lines come after the last push; give them time to arrive.
  TBoardState board;
  e2e::WaitUntil(
      [&] {
        board = ReadBoardState(state_);
        return board.clockSeconds == *expected.clock;
      },
      5s);
  EXPECT_EQ(board.display, "table");
  EXPECT_EQ(board.mode, kRaceMode);
  EXPECT_TRUE(board.clockSet);
  EXPECT_EQ(board.clockSeconds, *expected.clock);
}

// A board that goes away mid-race is reported lost; once it is back it is
// reported connected and the table returns to it.
TEST_F(BoardRoad, RestartedBoardIsReconnectedAndGetsTheTableBack) {
  StartBoard();
  StartFeed(8);
  StartProxy(kOffscreen);
  ASSERT_TRUE(proxy_->WaitForLine("board status: Табло подключено (1)", 15s)) << proxy_->Output();
  ASSERT_TRUE(e2e::WaitUntil([&] { return RaceUnderWay(5); }, 30s)) << "the race never started";
  ASSERT_FALSE(ReadBoardState(state_).rows.empty()) << "no table on the board before it was stopped";

  const std::size_t beforeStop = proxy_->Lines().size();
  board_->Stop(SIGTERM);
  ASSERT_FALSE(fs::exists(link_)) << "the stopped board left its link behind";
  const auto lost = proxy_->WaitForLine("board status: Табло отключено", 10s, beforeStop);
  ASSERT_TRUE(lost) << "the lost board was never reported:\n" << proxy_->Output();

  fs::remove(state_);
  StartBoard();
  ASSERT_TRUE(proxy_->WaitForLine("board status: Табло подключено (1)", 15s, *lost + 1))
      << "the restarted board was never reported connected:\n"
      << proxy_->Output();
  WaitForFeedDone();
  const e2e::TFeedOutcome expected = e2e::ReplayFeed(Recorded(), kRaceMode);
  ASSERT_EQ(expected.rows.size(), 5u);
  ExpectBoardRows(expected.rows);
}

// The operator's F4 shows the finish light, and from then on the feed's
// passings no longer change the board's table. The key goes to the real
// window on an X server, as the operator's keyboard would send it.
TEST_F(BoardRoad, FinishLightFromF4HoldsTheTable) {
  const fs::path xvfb = "/usr/bin/Xvfb", xdotool = "/usr/bin/xdotool";
  ASSERT_TRUE(fs::exists(xvfb) && fs::exists(xdotool)) << "Xvfb and xdotool are needed: run scripts/setup";
  TChildProcess x({xvfb.string(), "-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
  ASSERT_TRUE(x.Started());
  // Xvfb tries displays from 0 on, with a complaint for each one taken, and
  // then writes the number of the one it got as a line of its own.
  std::string display;
  e2e::WaitUntil(
      [&] {
        for (const std::string& line : x.Lines()) {
          if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) display = ":" + line;
        }
        return !display.empty();
      },
      10s);
  ASSERT_FALSE(display.empty()) << "Xvfb did not start:\n" << x.Output();
  const std::map<std::string, std::string> onX{{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", display}};

  StartBoard();
  StartFeed(6);
  StartProxy(onX);
  ASSERT_TRUE(proxy_->WaitForLine("board status: Табло подключено (1)", 15s)) << proxy_->Output();
  ASSERT_TRUE(e2e::WaitUntil([&] { return RaceUnderWay(3); }, 30s)) << "the race never started";

  TChildProcess search({xdotool.string(), "search", "--sync", "--onlyvisible", "--name", "^Brelvo Proxy$"}, onX);
  ASSERT_EQ(search.Stop(0, 10s), 0) << search.Output();  // signal 0: just wait for it to end
  const std::vector<std::string> windows = search.Lines();
  ASSERT_FALSE(windows.empty()) << "no window titled Brelvo Proxy";
  TChildProcess press({xdotool.string(), "windowfocus", "--sync", windows.front(), "key", "F4"}, onX);
  ASSERT_EQ(press.Stop(0, 10s), 0) << press.Output();

  TBoardState held;
  ASSERT_TRUE(e2e::WaitUntil(
      [&] {
        held = ReadBoardState(state_);
        return held.display == "finish";
      },
      5s))
      << "F4 did not bring the finish light; board shows " << held.display;
  const std::size_t heldAt = Recorded().size();
  WaitForFeedDone();
  const std::string recorded = Recorded();
  ASSERT_GE(Count(recorded.substr(heldAt), "$J"), 3u) << "the race ended before the hold could be tested";

  const e2e::TFeedOutcome expected = e2e::ReplayFeed(recorded, kRaceMode);
  ASSERT_TRUE(expected.clock.has_value());
  // The clock still follows the feed under the light; once it has caught up,
  // everything the feed sent has been through the proxy.
  TBoardState after;
  e2e::WaitUntil(
      [&] {
        after = ReadBoardState(state_);
        return after.clockSeconds == *expected.clock;
      },
      5s);
  EXPECT_EQ(after.clockSeconds, *expected.clock);
  EXPECT_EQ(after.display, "finish");
  EXPECT_EQ(after.shows, held.shows) << "a table was shown during the finish light";
  EXPECT_EQ(after.rows, held.rows) << "held:\n" << e2e::Describe(held.rows) << "now:\n" << e2e::Describe(after.rows);
  // The standings did move on meanwhile, so an unheld board would differ.
  EXPECT_NE(expected.rows, held.rows);
}

}  // namespace
