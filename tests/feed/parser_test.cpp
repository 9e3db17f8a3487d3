#include <gtest/gtest.h>

#include "feed/timingfeedparser.h"
#include "platform/textcodec.h"
#include "standings/competitors.h"

namespace {

class Parser : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(ProcessFeedLine("$I\r\n"), nullptr); }
  TCompetitors& Table() { return *Competitors(); }
};

TEST_F(Parser, NonRecordLinesReturnNullAndKeepThePreviousRecord) {
  const TProcessResult* r = ProcessFeedLine("$F,9999,\"00:00:00\",\"10:00:00\",\"00:01:05\",\"Green \"\r\n");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->kind, rkHeartbeat);
  EXPECT_EQ(ProcessFeedLine("\n"), nullptr);
  EXPECT_EQ(ProcessFeedLine("##2025-04-26 13:58:48.222\r\n"), nullptr);
  EXPECT_EQ(ProcessFeedLine(" $G,1,\"1\",1,\"00:00:01.000\"\n"), nullptr) << "the dollar must come first";
  EXPECT_EQ(r->kind, rkHeartbeat) << "the shared record keeps the last record";
  EXPECT_EQ(r->raceTime, 65);
}

TEST_F(Parser, UnhandledLettersResetTheRecord) {
  const TProcessResult* r = ProcessFeedLine("$F,1,\"0:0:0\",\"0:0:0\",\"00:00:09\",\"Red\"\n");
  ASSERT_NE(r, nullptr);
  for (const char* line : {"$C,1,\"Class\"\r\n", "$E,\"TRACKNAME\",\"x\"\n", "$g,1,\"1\",1,\"00:00:01.0\"\n",
                           "$COMP,\"1\",\"1\",1,\"A\",\"B\",\"\",\"\"\n", "$Z\n", "$\n"}) {
    EXPECT_EQ(ProcessFeedLine(line), nullptr) << line;
    EXPECT_EQ(r->kind, rkNone);
    EXPECT_EQ(r->raceTime, 0);
    EXPECT_EQ(r->flag, fsNone);
    EXPECT_TRUE(r->name.empty());
  }
}

TEST_F(Parser, InitAndRunClearTheTable) {
  ProcessFeedLine("$A,\"5\",\"5\",1,\"A\",\"B\",\"\",1\n");
  ASSERT_EQ(GetCompetitorCount(), 1);
  EXPECT_EQ(ProcessFeedLine("$B,72,\"Sunday\"\r\n")->kind, rkRun);
  EXPECT_EQ(GetCompetitorCount(), 0);
  ProcessFeedLine("$A,\"5\",\"5\",1,\"A\",\"B\",\"\",1\n");
  EXPECT_EQ(ProcessFeedLine("$I, \"00:00:00\", \"0/0/0000\"\r\n")->kind, rkInit);
  EXPECT_EQ(GetCompetitorCount(), 0);
  EXPECT_EQ(ProcessFeedLine("$Ixyz\n")->kind, rkInit) << "only the second byte decides";
}

TEST_F(Parser, CompetitorNameIsLastThenFirst) {
  const TProcessResult* r = ProcessFeedLine("$A,\"12\",\"34\",99,\"AB\",\"CD\",\"\",1\r\n");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->kind, rkCompetitor);
  EXPECT_EQ(r->regNumber, 12);
  EXPECT_EQ(r->number, 34);
  EXPECT_EQ(r->name, u"CDAB");
  TCompetitor c;
  ASSERT_TRUE(Table().CopyByRegNumber(12, c));
  EXPECT_EQ(c.name, u"CDAB");
  EXPECT_EQ(c.number, 34);
}

TEST_F(Parser, CompetitorWithNumberZeroOrBadNumberLeavesTableAlone) {
  EXPECT_EQ(ProcessFeedLine("$A,\"1\",\"0\",1,\"A\",\"B\"\n")->kind, rkCompetitor);
  EXPECT_EQ(ProcessFeedLine("$A,\"2\",\"7x\",1,\"A\",\"B\"\n")->number, 0);
  EXPECT_EQ(GetCompetitorCount(), 0);
}

TEST_F(Parser, QuotedFieldsKeepCommasBlanksAndDoubledQuotes) {
  const TProcessResult* r = ProcessFeedLine("$A,\"1\",\"2\",3,\"Ivan, Jr\",\"Say \"\"Hi\"\"\",\"\",1\n");
  EXPECT_EQ(r->name, u"Say \"Hi\"Ivan, Jr");
}

TEST_F(Parser, UnquotedBlankSplitsAField) {
  // a b gives two fields, so "a" is field 4 and "b" field 5.
  const TProcessResult* r = ProcessFeedLine("$A,1,2,3,a b\n");
  EXPECT_EQ(r->name, u"ba");
}

TEST_F(Parser, TextBehindAClosingQuoteIsAFieldOfItsOwn) {
  const TProcessResult* r = ProcessFeedLine("$A,1,2,3,\"x\"y\n");
  EXPECT_EQ(r->name, u"yx");
}

TEST_F(Parser, UnterminatedQuoteTakesTheRestLessItsLastCharacter) {
  const TProcessResult* r = ProcessFeedLine("$A,1,2,3,4,\"Name\r\n");
  EXPECT_EQ(r->name, u"Name\r4");
}

TEST_F(Parser, EmptyFieldsFromCommasAndATrailingComma) {
  const TProcessResult* r = ProcessFeedLine("$A,1,2,,,\"\"\n");
  EXPECT_EQ(r->name, u"");
  EXPECT_EQ(r->number, 2);
  r = ProcessFeedLine("$A,1,2,3,Z,\n");
  EXPECT_EQ(r->name, u"Z") << "a trailing comma adds an empty field 5";
}

TEST_F(Parser, NamesDecodeFromTheCodePage) {
  const std::string line = "$A,\"7\",\"7\",1," + platform::Utf16ToAnsi(u"\"Иван\",\"Петров\"") + "\r\n";
  const TProcessResult* r = ProcessFeedLine(line.c_str());
  EXPECT_EQ(r->name, platform::AnsiToUtf16(platform::Utf16ToAnsi(u"ПетровИван")));
}

TEST_F(Parser, HeartbeatClockAndFlag) {
  struct Case {
    const char* flag;
    std::int32_t expected;
  } cases[] = {{"\"green \"", fsGreen}, {"\"Finish\"", fsFinish}, {"\"RED FLAG\"", fsRed},  {"\"Yellow\"", fsNone},
               {"\" Green\"", fsNone},  {"\"      \"", fsNone},  {"\"gree\"", fsNone},     {"\"FINISHED\"", fsFinish}};
  for (const Case& c : cases) {
    const std::string line = std::string("$F,9999,\"00:00:00\",\"10:00:00\",\"01:02:03\",") + c.flag + "\r\n";
    const TProcessResult* r = ProcessFeedLine(line.c_str());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->flag, c.expected) << c.flag;
    EXPECT_EQ(r->raceTime, 3723);
  }
}

TEST_F(Parser, RaceRecordUpdatesListedCompetitor) {
  ProcessFeedLine("$A,\"12\",\"12\",1,\"N\",\"\"\n");
  const TProcessResult* r = ProcessFeedLine("$G,3,\"12\",14,\"1:02:03.4\"\r\n");
  EXPECT_EQ(r->kind, rkRace);
  EXPECT_EQ(r->position, 3);
  EXPECT_EQ(r->laps, 14);
  EXPECT_EQ(r->totalTime, 3723400) << "the fraction is tenths here";
  TCompetitor c;
  ASSERT_TRUE(Table().CopyByRegNumber(12, c));
  EXPECT_EQ(c.racePosition, 3);
  EXPECT_EQ(c.totalTime, 3723400);
  EXPECT_EQ(Table().GetMaxPosition(), 3);
}

TEST_F(Parser, RaceRecordWithBadLapsIsReturnedButNotApplied) {
  ProcessFeedLine("$A,\"12\",\"12\",1,\"N\",\"\"\n");
  const TProcessResult* r = ProcessFeedLine("$G,3,\"12\",L,\"00:01:00.000\"\n");
  EXPECT_EQ(r->kind, rkRace);
  EXPECT_EQ(r->laps, 0);
  EXPECT_EQ(r->totalTime, 60000);
  TCompetitor c;
  ASSERT_TRUE(Table().CopyByRegNumber(12, c));
  EXPECT_EQ(c.racePosition, 0);
  EXPECT_EQ(Table().GetMaxPosition(), 0);
}

TEST_F(Parser, RaceTimeWithoutHoursIsZero) {
  ProcessFeedLine("$A,\"12\",\"12\",1,\"N\",\"\"\n");
  EXPECT_EQ(ProcessFeedLine("$G,1,\"12\",2,\"02:03.456\"\n")->totalTime, 0);
}

TEST_F(Parser, BestLapRecord) {
  ProcessFeedLine("$A,\"5\",\"5\",1,\"N\",\"\"\n");
  const TProcessResult* r = ProcessFeedLine("$H,1,\"5\",7,\"00:00:31.250\"\r\n");
  EXPECT_EQ(r->kind, rkBestLap);
  EXPECT_EQ(r->bestLapTime, 31250);
  EXPECT_EQ(r->laps, 7);
  TCompetitor c;
  ASSERT_TRUE(Table().CopyByRegNumber(5, c));
  EXPECT_EQ(c.bestLapPosition, 1);
  EXPECT_EQ(c.bestLapNumber, 7);
  ProcessFeedLine("$H,9,\"404\",7,\"00:00:31.250\"\n");
  EXPECT_EQ(Table().GetMaxPosition(), 9) << "unknown competitor still raises the row count";
}

TEST_F(Parser, PassingWithBadRegistrationCountsForZero) {
  const TProcessResult* r = ProcessFeedLine("$J,\"A1\",\"00:00:45.678\",\"00:10:00.000\"\r\n");
  EXPECT_EQ(r->kind, rkPassing);
  EXPECT_EQ(r->regNumber, 0);
  EXPECT_EQ(r->lapTime, 45678);
  EXPECT_EQ(r->totalTime, 600000);
  EXPECT_EQ(Table().GetPassing(0).lapTime, 45678);
  TCompetitor c;
  EXPECT_TRUE(Table().CopyByRegNumber(0, c));
}

// A record cut short is read as if its missing fields were empty text: the
// conversions fail and the record table decides what still applies.
TEST_F(Parser, MissingFieldsAreEmptyText) {
  const TProcessResult* r = ProcessFeedLine("$J,\"7\"\r\n");
  EXPECT_EQ(r->kind, rkPassing);
  EXPECT_EQ(r->lapTime, 0);
  EXPECT_EQ(Table().GetPassing(0).regNumber, 7) << "a passing always counts";

  r = ProcessFeedLine("$G,2,\"7\",5\n");
  EXPECT_EQ(r->kind, rkRace);
  TCompetitor c;
  ASSERT_TRUE(Table().CopyByRegNumber(7, c));
  EXPECT_EQ(c.racePosition, 2) << "position and laps converted, so it applies with time 0";
  EXPECT_EQ(c.totalTime, 0);

  r = ProcessFeedLine("$G,3\n");
  ASSERT_TRUE(Table().CopyByRegNumber(7, c));
  EXPECT_EQ(c.racePosition, 2) << "no laps: not applied";

  r = ProcessFeedLine("$A,\"9\",\"9\"\n");
  EXPECT_EQ(r->name, u"");
  ASSERT_TRUE(Table().CopyByRegNumber(9, c));
  EXPECT_EQ(c.name, u"");

  r = ProcessFeedLine("$F\n");
  EXPECT_EQ(r->kind, rkHeartbeat);
  EXPECT_EQ(r->flag, fsNone);

  EXPECT_EQ(ProcessFeedLine("$H\n")->kind, rkBestLap);
  EXPECT_EQ(ProcessFeedLine("$A")->kind, rkCompetitor);
}

TEST_F(Parser, EmbeddedNulAndHighBytesDoNotDerail) {
  const std::string withNul("$J,\"3\",\"00:00:01.000\0garbage\",\"00:00:02.000\"\n", 46);
  const TProcessResult* r = ProcessFeedLine(std::string_view(withNul));
  EXPECT_EQ(r->kind, rkPassing);
  EXPECT_EQ(r->lapTime, 1000) << "text after the fraction is ignored";
  EXPECT_EQ(ProcessFeedLine("$G,\xff\xfe,\"3\",\x80,\"\xc0\"\n")->kind, rkRace);
}

}  // namespace
