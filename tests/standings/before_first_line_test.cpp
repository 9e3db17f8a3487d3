#include <gtest/gtest.h>

#include "feed/timingfeedparser.h"
#include "standings/celltext.h"
#include "standings/competitors.h"

namespace {

// One test on purpose: it observes the process before and after the very
// first feed line.
TEST(BeforeFirstLine, ModuleFunctionsAreNeutralThenTheFirstLineCreatesTheTable) {
  ASSERT_EQ(Competitors(), nullptr);
  EXPECT_EQ(GetCompetitorCount(), 0);
  EXPECT_EQ(GetRowCount(smRace), 0);
  EXPECT_EQ(GetRowCount(smPractice), 32);
  EXPECT_EQ(GetCellText(0, rcName, smRace), u"");
  EXPECT_EQ(GetCellText(0, rcNumber, smPractice), u"");
  TCompetitor c(3);
  c.name = u"x";
  EXPECT_FALSE(CopyCompetitor(0, smRace, c));
  EXPECT_EQ(c.name, u"x");
  SortCompetitors(smRace);  // no table, nothing to do

  EXPECT_EQ(ProcessFeedLine(""), nullptr);
  TCompetitors* table = Competitors();
  ASSERT_NE(table, nullptr) << "even an empty line creates the table";
  ProcessFeedLine("$I,\"00:00:00\",\"0/0/0000\"\r\n");
  EXPECT_EQ(Competitors(), table) << "later lines reuse it";
}

}  // namespace
