#include <map>
#include <set>

#include <gtest/gtest.h>

#include "feedsource.h"
#include "platform/textcodec.h"

namespace {

bool IsInt(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The parser reads clocks as h:m:s and times as h:m:s.f; anything else gives 0.
bool IsClock(const std::string& s) {
  unsigned h, m, sec;
  char tail;
  return std::sscanf(s.c_str(), "%u:%u:%u%c", &h, &m, &sec, &tail) == 3 && m < 60 && sec < 60;
}

std::int64_t TimeMs(const std::string& s) {
  unsigned h, m, sec, f;
  if (std::sscanf(s.c_str(), "%u:%u:%u.%u", &h, &m, &sec, &f) != 4 || s.size() < 12 || s[s.size() - 4] != '.') {
    return -1;
  }
  return h * 3600000LL + m * 60000LL + sec * 1000LL + f;
}

}  // namespace

class SimulatedSession : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    feedsim::TSessionConfig c;
    c.karts = 8;
    c.practiceSeconds = 90;
    c.qualifyingSeconds = 90;
    c.raceLaps = 6;
    c.seed = 5;
    events_ = new std::vector<feedsim::TFeedEvent>(feedsim::SimulateSessions(c));
  }
  static void TearDownTestSuite() { delete events_; }
  static std::vector<feedsim::TFeedEvent>* events_;
};
std::vector<feedsim::TFeedEvent>* SimulatedSession::events_ = nullptr;

TEST(SimulatedOrder, RaceFirstWhenAsked) {
  EXPECT_FALSE(feedsim::ParseSessionOrder("race,race"));
  EXPECT_FALSE(feedsim::ParseSessionOrder("race,lunch"));
  feedsim::TSessionConfig c;
  c.karts = 3;
  c.raceLaps = 2;
  c.order = feedsim::ParseSessionOrder("race,practice").value();
  std::vector<std::u16string> runs;
  for (const auto& e : feedsim::SimulateSessions(c)) {
    if (e.bytes.rfind("$B", 0) == 0) runs.push_back(platform::AnsiToUtf16(feedsim::SplitFields(e.bytes).at(2)));
  }
  EXPECT_EQ(runs, (std::vector<std::u16string>{u"Гонка", u"Тренировка"}));
}

TEST_F(SimulatedSession, RecordsHaveTheFieldsTheParserReads) {
  std::map<char, int> seen;
  std::int64_t last = 0;
  for (const auto& e : *events_) {
    SCOPED_TRACE(e.bytes);
    ASSERT_GE(e.atMs, last);
    last = e.atMs;
    ASSERT_GE(e.bytes.size(), 4u);
    ASSERT_EQ(e.bytes.substr(e.bytes.size() - 2), "\r\n");
    const auto f = feedsim::SplitFields(e.bytes);
    const char tag = e.bytes[1];
    ++seen[tag];
    switch (tag) {
      case 'A':
        ASSERT_GE(f.size(), 6u);
        EXPECT_TRUE(IsInt(f[1]));
        EXPECT_TRUE(IsInt(f[2]));
        EXPECT_NE(f[2], "0");
        EXPECT_FALSE(f[4].empty());
        break;
      case 'F':
        ASSERT_EQ(f.size(), 6u);
        EXPECT_TRUE(IsClock(f[4]));
        EXPECT_TRUE(f[5] == "Green " || f[5] == "Finish" || f[5] == "      ");
        break;
      case 'G':
      case 'H':
        ASSERT_EQ(f.size(), 5u);
        EXPECT_TRUE(IsInt(f[1]));
        EXPECT_TRUE(IsInt(f[2]));
        EXPECT_TRUE(IsInt(f[3]));
        EXPECT_GE(TimeMs(f[4]), 0);
        break;
      case 'J':
        ASSERT_EQ(f.size(), 4u);
        EXPECT_TRUE(IsInt(f[1]));
        EXPECT_GT(TimeMs(f[2]), 30000);  // karts: 30 to 60 s a lap
        EXPECT_LT(TimeMs(f[2]), 60000);
        EXPECT_GE(TimeMs(f[3]), TimeMs(f[2]));
        break;
      case 'I':
      case 'B':
        break;
      default:
        ADD_FAILURE() << "unexpected record";
    }
  }
  EXPECT_EQ(seen['I'], 3);
  EXPECT_EQ(seen['B'], 3);
  EXPECT_EQ(seen['A'], 3 * 8);
  EXPECT_GT(seen['J'], 3 * 8);
}

TEST_F(SimulatedSession, NamesAreCyrillicInTheCodePage) {
  const auto& line = std::find_if(events_->begin(), events_->end(), [](auto& e) { return e.bytes[1] == 'A'; })->bytes;
  const std::u16string name = platform::AnsiToUtf16(feedsim::SplitFields(line)[4]);
  ASSERT_FALSE(name.empty());
  EXPECT_GE(name[0], u'А');
  EXPECT_LE(name[0], u'я');
  EXPECT_NE(name.find(u' '), std::u16string::npos);
}

// Each passing comes as $J, $G, $H of that kart; totals add up; the latest
// $G positions of the karts are always distinct; the race winner does the
// full distance; the flag runs blank, Green, Finish in every session.
TEST_F(SimulatedSession, SessionsAreConsistent) {
  int session = -1;
  std::map<std::string, std::int64_t> lapSum;
  std::map<std::string, int> racePos, lapsDone;
  std::vector<std::string> flags;
  std::vector<std::vector<std::string>> flagRuns(3);
  for (std::size_t i = 0; i < events_->size(); ++i) {
    const auto& e = (*events_)[i];
    const auto f = feedsim::SplitFields(e.bytes);
    switch (e.bytes[1]) {
      case 'I':
        ++session;
        lapSum.clear();
        racePos.clear();
        lapsDone.clear();
        break;
      case 'F':
        if (flagRuns[session].empty() || flagRuns[session].back() != f[5]) flagRuns[session].push_back(f[5]);
        break;
      case 'J': {
        ASSERT_LT(i + 2, events_->size());
        const auto g = feedsim::SplitFields((*events_)[i + 1].bytes);
        const auto h = feedsim::SplitFields((*events_)[i + 2].bytes);
        ASSERT_EQ((*events_)[i + 1].bytes[1], 'G');
        ASSERT_EQ((*events_)[i + 2].bytes[1], 'H');
        EXPECT_EQ(g[2], f[1]);
        EXPECT_EQ(h[2], f[1]);
        lapSum[f[1]] += TimeMs(f[2]);
        EXPECT_EQ(lapSum[f[1]], TimeMs(f[3]));
        EXPECT_EQ(TimeMs(g[4]), TimeMs(f[3]));
        EXPECT_LE(TimeMs(h[4]), TimeMs(f[2]));
        break;
      }
      case 'G': {
        racePos[f[2]] = std::stoi(f[1]);
        lapsDone[f[2]] = std::stoi(f[3]);
        // Once every kart has a position, they are a permutation (checked
        // when the burst of this passing is complete).
        const bool burstEnds = i + 1 == events_->size() || (*events_)[i + 1].atMs != e.atMs ||
                               ((*events_)[i + 1].bytes[1] != 'G' && (*events_)[i + 1].bytes[1] != 'H');
        if (burstEnds && racePos.size() == 8) {
          std::set<int> positions;
          for (auto& [reg, p] : racePos) positions.insert(p);
          EXPECT_EQ(positions.size(), 8u) << "at " << e.atMs;
          EXPECT_EQ(*positions.rbegin(), 8);
        }
        break;
      }
      default:
        break;
    }
  }
  ASSERT_EQ(session, 2);
  for (auto& run : flagRuns) EXPECT_EQ(run, (std::vector<std::string>{"      ", "Green ", "Finish"}));
  const auto winner = std::find_if(racePos.begin(), racePos.end(), [](auto& p) { return p.second == 1; });
  ASSERT_NE(winner, racePos.end());
  EXPECT_EQ(lapsDone[winner->first], 6);
}

TEST(FeedCatchUp, LateClientGetsTheNamesSinceTheInitAndTheCurrentRun) {
  feedsim::TCatchUp c;
  c.Note("$I,gone\r\n");
  c.Note("$A,\"9\",\"9\",0,\"Gone\",\"\",\"\",1\r\n");
  c.Note("$I,old\r\n");
  c.Note("$A,\"1\",\"1\",0,\"Old\",\"\",\"\",1\r\n");
  c.Note("$G,1,\"1\",3,\"00:03:00.000\"\r\n");
  c.Note("$B,2,\"Race\"\r\n");
  c.Note("$A,\"7\",\"17\",0,\"Петров\",\"\",\"\",1\r\n");
  c.Note("$A,\"5\",\"15\",0,\"Попов\",\"\",\"\",1\r\n");
  c.Note("$G,2,\"7\",1,\"00:00:45.000\"\r\n");
  c.Note("$G,1,\"7\",2,\"00:01:30.000\"\r\n");
  c.Note("$H,1,\"7\",1,\"00:00:45.000\"\r\n");
  c.Note("$J,\"7\",\"00:00:45.000\",\"00:01:30.000\"\r\n");
  c.Note("$F,9999,\"00:00:00\",\"12:00:00\",\"00:01:31\",\"Green \"\r\n");
  EXPECT_EQ(c.Snapshot(),
            "$I,old\r\n$B,2,\"Race\"\r\n"
            "$A,\"1\",\"1\",0,\"Old\",\"\",\"\",1\r\n$A,\"7\",\"17\",0,\"Петров\",\"\",\"\",1\r\n$A,\"5\",\"15\",0,"
            "\"Попов\",\"\",\"\",1\r\n"
            "$G,1,\"7\",2,\"00:01:30.000\"\r\n$H,1,\"7\",1,\"00:00:45.000\"\r\n"
            "$F,9999,\"00:00:00\",\"12:00:00\",\"00:01:31\",\"Green \"\r\n");
}
