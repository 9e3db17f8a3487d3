#include <gtest/gtest.h>

#include "feed/timingfeedparser.h"
#include "platform/textcodec.h"
#include "standings/competitors.h"

namespace {

class Parser : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(ProcessFeedLine("$I,\"00:00:00\",\"0/0/0000\"\r\n"), nullptr); }
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
}

// Noise that happens to hold "$" and a record letter is no record: only a
// comma or the line's end after the letter makes one.
TEST_F(Parser, ALetterFollowedByNoiseIsNoRecord) {
  ProcessFeedLine("$A,\"5\",\"5\",1,\"A\",\"B\",\"\",1\n");
  ProcessFeedLine("$G,1,\"5\",2,\"00:01:00.000\"\n");
  for (const char* line :
       {"$I\xD1\n", "$Bx\r\n", "$Gq,2,\"5\",3,\"00:02:00.000\"\n", "$J \"5\",\"00:01:00.000\"\n", "$Ixyz\n"})
    EXPECT_EQ(ProcessFeedLine(line), nullptr) << line;
  TCompetitor c;
  ASSERT_TRUE(Table().CopyByRegNumber(5, c)) << "the table was emptied";
  EXPECT_EQ(c.laps, 2);
  EXPECT_EQ(c.lastLapTime, 0);
  EXPECT_EQ(c.name, u"B A");
  EXPECT_EQ(ProcessFeedLine("$I,00:00:00,0/0/0000")->kind, rkInit) << "without a line end, still a record";
  EXPECT_EQ(ProcessFeedLine("$B,1,\"\"\r\n")->kind, rkRun);
}

// The records that empty the standings count only when whole: "$I," in
// noise or inside a name, or a stray "$B,", changes nothing at all.
TEST_F(Parser, ClearingRecordsNeedTheirFields) {
  ProcessFeedLine("$B,7,\"Heat\"\r\n");
  ProcessFeedLine("$A,\"5\",\"5\",1,\"A\",\"B\",\"\",1\n");
  for (const char* line : {"$I,\n", "$I\r\n", "$I, \"00:00:00\"\r\n", "$I,\"0/0/0000\",\"00:00:00\"\n",
                           "$I,\"x\",\"0/0/0000\"\n", "$I,\"00:00:00\",\"0/0\"\n", "$B,\n", "$B\r\n", "$B,72\r\n",
                           "$B,72,Sunday\r\n", "$B,,\"Sunday\"\r\n", "$B,x,\"Sunday\"\r\n"})
    EXPECT_EQ(ProcessFeedLine(line), nullptr) << line;
  EXPECT_EQ(GetCompetitorCount(), 1);
  // The run is still the one "$B,7" named: announcing it again keeps the table.
  EXPECT_TRUE(ProcessFeedLine("$B,7,\"Heat\"\r\n")->sameRun);
  EXPECT_EQ(ProcessFeedLine("$I,00:00:00,10/12/2026\n")->kind, rkInit);
  EXPECT_EQ(GetCompetitorCount(), 0);
}

TEST_F(Parser, CompetitorNameIsLastThenFirst) {
  const TProcessResult* r = ProcessFeedLine("$A,\"12\",\"34\",99,\"AB\",\"CD\",\"\",1\r\n");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->kind, rkCompetitor);
  EXPECT_EQ(r->regNumber, 12);
  EXPECT_EQ(r->number, 34);
  EXPECT_EQ(r->name, u"CD AB");
  TCompetitor c;
  ASSERT_TRUE(Table().CopyByRegNumber(12, c));
  EXPECT_EQ(c.name, u"CD AB");
  EXPECT_EQ(c.number, 34);
}

// First and last name get one blank between them, never two; one name alone
// is taken as it stands.
TEST_F(Parser, TwoPartNamesGetExactlyOneBlank) {
  struct Case {
    const char* fields;
    const char16_t* name;
  } cases[] = {{"\"Owen\",\"Kratz\"", u"Kratz Owen"},  {"\"Owen\",\"Kratz \"", u"Kratz Owen"},
               {"\" Owen\",\"Kratz\"", u"Kratz Owen"}, {"\"Owen\",\"\"", u"Owen"},
               {"\"\",\"Kratz\"", u"Kratz"},           {"\" Owen\",\"\"", u" Owen"}};
  for (const Case& c : cases) {
    const std::string line = std::string("$A,\"3\",\"3\",1,") + c.fields + ",\"\",1\r\n";
    EXPECT_EQ(ProcessFeedLine(line)->name, c.name) << c.fields;
  }
}

TEST_F(Parser, CompetitorWithNumberZeroOrBadNumberLeavesTableAlone) {
  EXPECT_EQ(ProcessFeedLine("$A,\"1\",\"0\",1,\"A\",\"B\"\n")->kind, rkCompetitor);
  EXPECT_EQ(ProcessFeedLine("$A,\"2\",\"7x\",1,\"A\",\"B\"\n")->number, 0);
  EXPECT_EQ(GetCompetitorCount(), 0);
}

TEST_F(Parser, QuotedFieldsKeepCommasBlanksAndDoubledQuotes) {
  const TProcessResult* r = ProcessFeedLine("$A,\"1\",\"2\",3,\"Ivan, Jr\",\"Say \"\"Hi\"\"\",\"\",1\n");
  EXPECT_EQ(r->name, u"Say \"Hi\" Ivan, Jr");
}

TEST_F(Parser, UnquotedBlankSplitsAField) {
  // a b gives two fields, so "a" is field 4 and "b" field 5.
  const TProcessResult* r = ProcessFeedLine("$A,1,2,3,a b\n");
  EXPECT_EQ(r->name, u"b a");
}

TEST_F(Parser, TextBehindAClosingQuoteIsAFieldOfItsOwn) {
  const TProcessResult* r = ProcessFeedLine("$A,1,2,3,\"x\"y\n");
  EXPECT_EQ(r->name, u"y x");
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
  EXPECT_EQ(r->name, platform::AnsiToUtf16(platform::Utf16ToAnsi(u"Петров Иван")));
}

TEST_F(Parser, HeartbeatClockAndFlag) {
  struct Case {
    const char* flag;
    std::int32_t expected;
  } cases[] = {{"\"green \"", fsGreen},  {"\"Finish\"", fsFinish},   {"\"RED FLAG\"", fsRed},
               {"\"Yellow\"", fsYellow}, {"\" Green\"", fsNone},     {"\"      \"", fsNone},
               {"\"gree\"", fsNone},     {"\"FINISHED\"", fsFinish}, {"\"yellow flag\"", fsYellow},
               {"\" Yellow\"", fsNone},  {"\"Yello\"", fsNone}};
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

// The start grid: before its first lap a competitor's "$G" (and "$H") comes
// with the lap field present but empty, and its position still counts.
TEST_F(Parser, EmptyLapFieldMeansNoLapsYetButAMissingOneStillFails) {
  ProcessFeedLine("$A,\"70\",\"70\",58488,\"Round 3 Racing\",\"\",\"\",1\r\n");
  TProcessResult decoded;
  EXPECT_TRUE(feed::DecodeRecord("$G,4,\"70\",,\"00:00:55.099\"\r\n", decoded).updatesTable);
  EXPECT_EQ(Table().GetMaxPosition(), 0) << "decoding alone leaves the standings alone";

  ProcessFeedLine("$G,4,\"70\",,\"00:00:55.099\"\r\n");
  TCompetitor c;
  ASSERT_TRUE(Table().CopyByRegNumber(70, c));
  EXPECT_EQ(c.racePosition, 4);
  EXPECT_EQ(c.laps, 0);
  EXPECT_EQ(c.totalTime, 55099);
  ProcessFeedLine("$H,2,\"70\",\"\",\"00:00:00.000\"\r\n");
  ASSERT_TRUE(Table().CopyByRegNumber(70, c));
  EXPECT_EQ(c.bestLapPosition, 2) << "a quoted empty lap number counts as present";

  for (const char* cut : {"$G,5,\"70\"\r\n", "$G,5,\"70\",x,\"00:01:00.000\"\r\n", "$H,5,\"70\"\r\n"}) {
    const feed::DecodeOutcome outcome = feed::DecodeRecord(cut, decoded);
    EXPECT_TRUE(outcome.handled) << cut;
    EXPECT_FALSE(outcome.updatesTable) << cut;
    ProcessFeedLine(cut);
  }
  ASSERT_TRUE(Table().CopyByRegNumber(70, c));
  EXPECT_EQ(c.racePosition, 4);
  EXPECT_EQ(c.bestLapPosition, 2);
}

// Feeds name everyone with "$A", then send "$B" (sometimes again for a new
// run): competitors coming back through passings keep number and name.
TEST_F(Parser, NamesAndNumbersSurviveARunButNotAnInit) {
  ProcessFeedLine("$A,\"70\",\"70\",58488,\"Round 3 Racing\",\"\",\"\",1\r\n");
  ProcessFeedLine("$A,\"2\",\"12\",7031721,\"Owen\",\"Kratz\",\"\",1\r\n");
  ProcessFeedLine("$B,72,\"Race\"\r\n");
  ProcessFeedLine("$J,\"2\",\"00:01:02.000\",\"00:01:02.000\"\r\n");
  TCompetitor c;
  ASSERT_TRUE(Table().CopyByRegNumber(2, c));
  EXPECT_EQ(c.number, 12);
  EXPECT_EQ(c.name, u"Kratz Owen");

  ProcessFeedLine("$A,\"70\",\"71\",58488,\"Round 4\",\"\",\"\",1\r\n");  // the latest "$A" wins
  ProcessFeedLine("$B,73,\"Race 2\"\r\n");
  ProcessFeedLine("$J,\"70\",\"00:01:02.000\",\"00:01:02.000\"\r\n");
  ASSERT_TRUE(Table().CopyByRegNumber(70, c));
  EXPECT_EQ(c.number, 71);
  EXPECT_EQ(c.name, u"Round 4");

  ProcessFeedLine("$I,\"00:00:00\",\"0/0/0000\"\r\n");
  ProcessFeedLine("$J,\"2\",\"00:01:02.000\",\"00:01:02.000\"\r\n");
  ASSERT_TRUE(Table().CopyByRegNumber(2, c));
  EXPECT_EQ(c.number, 0) << "an init forgets the names";
  EXPECT_EQ(c.name, u"0");
}

// Feeds announce the run under way again, then resend the standings: the
// table stays, and "$G"/"$H" bring back a car the roster names. Another run,
// or the first one after an init, starts afresh.
TEST_F(Parser, ARunAnnouncedAgainKeepsTheStandings) {
  ProcessFeedLine("$A,\"2\",\"12\",1,\"Owen\",\"Kratz\",\"\",1\r\n");
  ProcessFeedLine("$B,72,\"Sunday 7 hour\"\r\n");
  ProcessFeedLine("$J,\"2\",\"00:01:02.000\",\"00:01:02.000\"\r\n");
  const TProcessResult* r = ProcessFeedLine("$B,72,\"Sunday 7 hour\"\r\n");
  EXPECT_EQ(r->kind, rkRun);
  EXPECT_TRUE(r->sameRun);
  EXPECT_EQ(GetCompetitorCount(), 1);
  EXPECT_EQ(Table().GetPassing(0).regNumber, 2);

  EXPECT_FALSE(ProcessFeedLine("$B,72,\"Sunday 8 hour\"\r\n")->sameRun);
  EXPECT_EQ(GetCompetitorCount(), 0);
  ProcessFeedLine("$G,3,\"2\",5,\"00:07:00.000\"\r\n");
  ProcessFeedLine("$G,1,\"99\",5,\"00:06:00.000\"\r\n");  // unknown to the roster
  ProcessFeedLine("$H,4,\"2\",3,\"00:01:01.000\"\r\n");
  TCompetitor c;
  ASSERT_TRUE(Table().CopyByRegNumber(2, c));
  EXPECT_EQ(c.number, 12);
  EXPECT_EQ(c.name, u"Kratz Owen");
  EXPECT_EQ(c.racePosition, 3);
  EXPECT_EQ(c.laps, 5);
  EXPECT_EQ(c.bestLapPosition, 4);
  EXPECT_FALSE(Table().CopyByRegNumber(99, c));

  ProcessFeedLine("$I,\"00:00:00\",\"0/0/0000\"\r\n");
  ProcessFeedLine("$J,\"2\",\"00:01:02.000\",\"00:01:02.000\"\r\n");
  EXPECT_FALSE(ProcessFeedLine("$B,72,\"Sunday 8 hour\"\r\n")->sameRun) << "an init forgets the run";
  EXPECT_EQ(GetCompetitorCount(), 0);
  ProcessFeedLine("$J,\"2\",\"00:01:02.000\",\"00:01:02.000\"\r\n");
  EXPECT_EQ(ProcessFeedLine("$B\r\n"), nullptr) << "a run without a number is no run";
  EXPECT_EQ(GetCompetitorCount(), 1);
}

// Relays send UTF-8: the same name in either encoding is the same name.
TEST_F(Parser, NamesInUtf8AndInTheCodePageReadAlike) {
  const TProcessResult* r = ProcessFeedLine(
      "$A,\"7\",\"7\",1,\"\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD\",\"\xD0\x9F\xD0\xB5\xD1\x82\xD1\x80\xD0\xBE\xD0\xB2\"\r\n");
  EXPECT_EQ(r->name, u"Петров Иван");
  r = ProcessFeedLine("$A,\"7\",\"7\",1,\"\xC8\xE2\xE0\xED\",\"\xCF\xE5\xF2\xF0\xEE\xE2\"\r\n");
  EXPECT_EQ(r->name, platform::AnsiToUtf16("\xCF\xE5\xF2\xF0\xEE\xE2 \xC8\xE2\xE0\xED"));
  // The run's name by the same rule.
  EXPECT_EQ(ProcessFeedLine("$B,3,\"\xD0\x93\xD0\xBE\xD0\xBD\xD0\xBA\xD0\xB0\"\r\n")->name, u"Гонка");
  EXPECT_EQ(ProcessFeedLine("$B,4,\"\xC3\xEE\xED\xEA\xE0\"\r\n")->name, platform::AnsiToUtf16("\xC3\xEE\xED\xEA\xE0"));
}

// A position past any board (a hostile or broken "$G" or "$H") is held by
// its competitor but counts for no row: not the list's, not the board's.
TEST_F(Parser, PositionPastTheLastRowCountsNowhere) {
  ProcessFeedLine("$A,\"5\",\"5\",1,\"N\",\"\"\n");
  ProcessFeedLine("$G,3,\"5\",2,\"00:01:00.000\"\n");
  ProcessFeedLine("$G,2147483647,\"5\",2,\"00:01:00.000\"\n");
  ProcessFeedLine("$H,1001,\"5\",2,\"00:01:00.000\"\n");
  EXPECT_EQ(GetRowCount(smRace), 3);
  EXPECT_EQ(GetRowCount(smBestLap), 3);
  EXPECT_EQ(GetHighestPosition(smRace), 0);
  EXPECT_EQ(GetHighestPosition(smBestLap), 0);
  ProcessFeedLine("$H,1000,\"5\",2,\"00:01:00.000\"\n");
  EXPECT_EQ(GetRowCount(smBestLap), 1000);
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
