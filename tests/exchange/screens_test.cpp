// What the track's screens add to the board's table, worked out at each
// push: classes, class positions and gaps, the interval, the best-lap
// marks, places gained and every car's laps. Checked against the recorded
// feeds read here on their own, and on a few lines written for one rule
// each.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "exchangefixture.h"
#include "feed/timingfeedparser.h"
#include "standings/competitors.h"
#include "support/feedrecording.h"

namespace exchangetest {
namespace {

class LastSnapshot : public TTableSnapshotSink {
 public:
  void Publish(std::shared_ptr<const TTableSnapshot> snapshot) override {
    std::lock_guard<std::mutex> guard(lock_);
    last_ = std::move(snapshot);
  }
  std::shared_ptr<const TTableSnapshot> Last() {
    std::lock_guard<std::mutex> guard(lock_);
    return last_;
  }

 private:
  std::mutex lock_;
  std::shared_ptr<const TTableSnapshot> last_;
};

// A feed line's fields, quotes taken off (the recordings hold no quoted
// commas).
std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  for (const char c : line) {
    if (c == ',') {
      fields.push_back(field);
      field.clear();
    } else if (c != '"' && c != '\r' && c != '\n') {
      field += c;
    }
  }
  fields.push_back(field);
  return fields;
}

int Ms(const std::string& text) {
  unsigned h = 0, m = 0, s = 0;
  char fraction[8] = {};
  if (std::sscanf(text.c_str(), "%u:%u:%u.%7[0-9]", &h, &m, &s, fraction) != 4) return 0;
  std::string f(fraction);
  f.resize(3, '0');
  const int ms = static_cast<int>((h * 3600 + m * 60 + s) * 1000) + std::stoi(f);
  return ms == 3599999 ? 0 : ms;  // the feed's "no time"
}

// What the feed said, read without the parser: the class of each car, its
// latest race standing, its passings and best lap since the standings last
// started afresh ("$I", or a run announced under another name).
struct TFeedFacts {
  std::map<int, int> classOf;
  std::map<int, std::string> classNames;
  std::map<int, std::pair<int, int>> race;  // laps, total time
  std::map<int, std::vector<int>> laps;
  std::map<int, int> best;
  std::string run;

  explicit TFeedFacts(const std::string& bytes) {
    std::size_t begin = 0;
    while (begin < bytes.size()) {
      std::size_t end = bytes.find('\n', begin);
      if (end == std::string::npos) end = bytes.size();
      std::string line = bytes.substr(begin, end - begin);
      begin = end + 1;
      const std::size_t dollar = line.find('$');
      if (dollar != 0 && !(dollar == 3 && line.compare(0, 3, "\xEF\xBB\xBF") == 0)) continue;
      line.erase(0, dollar);
      const auto f = Fields(line);
      if (f[0] == "$I") {
        classOf.clear();
        classNames.clear();
        run.clear();
        ClearRun();
      } else if (f[0] == "$B" && f.size() > 2) {
        if (f[1] + f[2] != run) ClearRun();
        run = f[1] + f[2];
      } else if (f[0] == "$C" && f.size() > 2) {
        classNames[std::stoi(f[1])] = f[2];
      } else if (f[0] == "$A" && f.size() > 7 && std::stoi(f[2]) != 0) {
        classOf[std::stoi(f[1])] = std::stoi(f[7]);
      } else if (f[0] == "$G" && f.size() > 4) {
        race[std::stoi(f[2])] = {f[3].empty() ? 0 : std::stoi(f[3]), Ms(f[4])};
      } else if (f[0] == "$H" && f.size() > 4) {
        best[std::stoi(f[2])] = Ms(f[4]);
      } else if (f[0] == "$J" && f.size() > 3) {
        laps[std::stoi(f[1])].push_back(Ms(f[2]));
      }
    }
  }
  void ClearRun() {
    race.clear();
    laps.clear();
    best.clear();
  }
  // The race gap rule between two cars.
  int GapTo(int reg, int to) {
    const auto [carLaps, total] = race[reg];
    const auto [toLaps, toTotal] = race[to];
    if (carLaps < toLaps) return carLaps - toLaps;
    if (total == 0 && toTotal > 0) return -(toLaps + 1);
    return toTotal == 0 ? 0 : total - toTotal;
  }
};

class ScreensTest : public ExchangeFixture {
 protected:
  void StartWithSink() {
    Start(FakeBoard::kLibraryName, [this](TScoreboardExchangeThread::Options& o) { o.snapshotSink = &sink; });
  }
  LastSnapshot sink;
};

// Both recordings in race mode: every figure the screens add equals what
// the feed's own lines give.
TEST_F(ScreensTest, RecordingsGiveClassesIntervalsMarksAndLaps) {
  if (!std::filesystem::is_directory(testsupport::FeedsDir()))
    GTEST_SKIP() << "recorded feeds not present at " << testsupport::FeedsDir();
  StartWithSink();
  if (HasFatalFailure()) return;
  thread->SetScoreboardMode(smRace);
  for (const char* name : {"race-gaps.feed", "race-start.feed"}) {
    SCOPED_TRACE(name);
    std::ifstream in(testsupport::FeedsDir() / name, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Feed("$I,\"00:00:00\",\"0/0/0000\"\r\n");
    // In bursts of 25 stamps (each line passes the window's feed log, slow
    // under wine): every push works on what came so far.
    for (std::size_t begin = 0; begin < bytes.size();) {
      std::size_t end = begin;
      for (int stamp = 0; stamp < 25 && end < bytes.size(); ++stamp) {
        end = bytes.find("\n##", end + 1);
        end = end == std::string::npos ? bytes.size() : end + 1;
      }
      Feed(bytes.substr(begin, end - begin));
      if (HasFatalFailure()) return;
      begin = end;
    }
    Feed(Green());  // both end under yellow, when no table goes out
    TFeedFacts facts(bytes);
    const auto snapshot = sink.Last();
    ASSERT_NE(snapshot, nullptr);
    ASSERT_NE(snapshot->classes, nullptr);
    std::map<int, std::string> names;
    for (const TClassName& c : *snapshot->classes) names[c.number] = std::string(c.name.begin(), c.name.end());
    EXPECT_EQ(names, facts.classNames);

    int sessionBest = 0;
    for (const auto& [reg, best] : facts.best)
      if (best > 0 && (sessionBest == 0 || best < sessionBest)) sessionBest = best;
    std::map<int, int> classRows, classLeader;
    int above = 0, marked = 0;
    for (const TSnapshotRow& row : snapshot->rows) {
      if (!row.held) continue;
      SCOPED_TRACE("car " + std::to_string(row.number));
      ASSERT_EQ(row.classNumber, facts.classOf[row.regNumber]);
      EXPECT_EQ(row.classPosition, ++classRows[row.classNumber]);
      const int leader = classLeader.emplace(row.classNumber, row.regNumber).first->second;
      EXPECT_EQ(row.classGap, facts.GapTo(row.regNumber, leader));
      EXPECT_EQ(row.interval, above == 0 ? 0 : facts.GapTo(row.regNumber, above));
      EXPECT_EQ(row.sessionBest, row.bestLapTime == sessionBest);
      marked += row.sessionBest ? 1 : 0;
      above = row.regNumber;
      const TCarLaps* laps = FindCarLaps(*snapshot, row.regNumber);
      std::vector<int> served;
      if (laps != nullptr)
        for (const TLap& lap : laps->laps) served.push_back(lap.lapTime);
      EXPECT_EQ(served, facts.laps[row.regNumber]);
    }
    EXPECT_GE(marked, 1) << "nobody holds the session's best lap";
    std::string counts;
    for (const auto& [cls, n] : classRows) counts += " class " + std::to_string(cls) + ": " + std::to_string(n);
    std::printf("%s: %zu rows;%s\n", name, snapshot->rows.size(), counts.c_str());
  }
}

std::string ClassCompetitor(int reg, int cls) {
  const std::string r = std::to_string(reg);
  return "$A,\"" + r + "\",\"" + r + "\",1,\"Car\",\"" + r + "\",\"\"," + std::to_string(cls) + "\r\n";
}

std::string Lap(int reg, const std::string& lap, const std::string& total) {
  return "$J,\"" + std::to_string(reg) + "\",\"" + lap + "\",\"" + total + "\"\r\n";
}

const TSnapshotRow* RowOf(const TTableSnapshot& snapshot, int reg) {
  for (const TSnapshotRow& row : snapshot.rows)
    if (row.held && row.regNumber == reg) return &row;
  return nullptr;
}

// Places gained count from the first race table after the green flag; a
// lap's position comes from the "$G" that follows it; a new run starts the
// laps and the start table again, an "$I" forgets the classes; at most
// 1,000 laps a car are kept.
TEST_F(ScreensTest, StartTableLapsAndWhatARunForgets) {
  StartWithSink();
  if (HasFatalFailure()) return;
  thread->SetScoreboardMode(smRace);
  Feed("$I,\"00:00:00\",\"0/0/0000\"\r\n$B,1,\"Heat\"\r\n$C,1,\"GTU\"\r\n" + ClassCompetitor(1, 1) +
       ClassCompetitor(2, 1) + ClassCompetitor(3, 2));
  Feed(NoFlag() + Race(1, 1, 0, "00:00:00.000") + Race(2, 2, 0, "00:00:00.000") + Race(3, 3, 0, "00:00:00.000"));
  Feed(Green());
  Feed(Lap(3, "00:01:01.000", "00:01:01.000") + Race(1, 3, 1, "00:01:01.000") + Lap(1, "00:01:02.000", "00:01:02.000") +
       Race(2, 1, 1, "00:01:02.000") + "$H,1,\"3\",1,\"00:01:01.000\"\r\n" + Green());
  auto s = sink.Last();
  ASSERT_NE(RowOf(*s, 3), nullptr);
  EXPECT_EQ(RowOf(*s, 3)->gained, 2);
  EXPECT_EQ(RowOf(*s, 1)->gained, -1);
  EXPECT_TRUE(RowOf(*s, 3)->personalBest);
  EXPECT_TRUE(RowOf(*s, 3)->sessionBest);
  EXPECT_EQ(RowOf(*s, 3)->classPosition, 1);  // alone in class 2
  EXPECT_EQ(RowOf(*s, 1)->classPosition, 1);  // ahead of car 2 in class 1
  const TCarLaps* laps = FindCarLaps(*s, 3);
  ASSERT_NE(laps, nullptr);
  ASSERT_EQ(laps->laps.size(), 1u);
  EXPECT_EQ(laps->laps[0].lap, 1);
  EXPECT_EQ(laps->laps[0].position, 1);

  // The run announced again keeps it all; another run starts afresh.
  Feed("$B,1,\"Heat\"\r\n" + Green() + Race(1, 3, 1, "00:01:01.000") + Yellow());
  s = sink.Last();
  ASSERT_NE(FindCarLaps(*s, 3), nullptr);
  Feed("$B,2,\"Final\"\r\n" + Race(1, 1, 0, "00:00:00.000") + Race(2, 3, 0, "00:00:00.000") + Green());
  s = sink.Last();
  EXPECT_EQ(FindCarLaps(*s, 3), nullptr);
  ASSERT_NE(RowOf(*s, 3), nullptr);
  EXPECT_EQ(RowOf(*s, 3)->gained, 0) << "the new run's start table is this one";
  EXPECT_EQ(RowOf(*s, 3)->classNumber, 2) << "classes outlive a run, like the roster";

  // In receives of a hundred lines: each line goes through the window's feed
  // log, slow under wine.
  for (int lap = 1; lap <= static_cast<int>(kLapsKept) + 5;) {
    std::string some;
    for (int n = 0; n < 100 && lap <= static_cast<int>(kLapsKept) + 5; ++n, ++lap)
      some += Lap(1, "00:01:00." + std::to_string(100 + lap % 900), "01:00:00.000");
    Feed(some);
    if (HasFatalFailure()) return;
  }
  Feed(Green() + Race(1, 1, 1, "00:01:02.000"));
  s = sink.Last();
  ASSERT_NE(FindCarLaps(*s, 1), nullptr);
  EXPECT_EQ(FindCarLaps(*s, 1)->laps.size(), kLapsKept);
  EXPECT_EQ(FindCarLaps(*s, 1)->laps.back().lap, static_cast<int>(kLapsKept) + 5);

  Feed("$I,\"00:00:00\",\"0/0/0000\"\r\n" + Race(1, 3, 0, "00:00:00.000") + Green());
  s = sink.Last();
  ASSERT_NE(s->classes, nullptr);
  EXPECT_TRUE(s->classes->empty());
  for (const TSnapshotRow& row : s->rows) EXPECT_EQ(row.classNumber, 0);
}

}  // namespace
}  // namespace exchangetest
