// Line cutting at its edges, with a small buffer so the limits are near.
#include "exchange/lineassembler.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<std::string> Cut(TLineAssembler& assembler, const std::string& bytes) {
  std::vector<std::string> lines;
  assembler.Feed(bytes.data(), bytes.size(), [&](std::string_view line) {
    EXPECT_EQ(line.data()[line.size()], '\0') << "line not terminated in the buffer";
    lines.emplace_back(line);
  });
  return lines;
}

TEST(LineAssembler, LineThatFillsTheBufferExactlyIsKeptWhole) {
  TLineAssembler assembler(8);
  EXPECT_EQ(Cut(assembler, "$ABCDE\n"), std::vector<std::string>{"$ABCDE\n"});  // 7 bytes + NUL
}

TEST(LineAssembler, OverlongLineKeepsItsFirstBytesAndLosesItsLineFeed) {
  TLineAssembler assembler(8);
  EXPECT_EQ(Cut(assembler, "$ABCDEFGHIJ\n$X\n"), (std::vector<std::string>{"$ABCDEF", "$X\n"}));
}

TEST(LineAssembler, PartialLinesJoinAcrossFeeds) {
  TLineAssembler assembler(64);
  EXPECT_TRUE(Cut(assembler, "$G,1,").empty());
  EXPECT_EQ(assembler.PendingLength(), 5u);
  EXPECT_EQ(Cut(assembler, "\"7\"\r\n$J"), std::vector<std::string>{"$G,1,\"7\"\r\n"});
  EXPECT_EQ(Cut(assembler, "\n"), std::vector<std::string>{"$J\n"});
}

TEST(LineAssembler, DollarRestartsAnUnfinishedLine) {
  TLineAssembler assembler(64);
  EXPECT_EQ(Cut(assembler, "$G,1$I\r\n"), std::vector<std::string>{"$I\r\n"});
}

TEST(LineAssembler, BytesOutsideLinesAreDroppedExceptBeforeTheFirstDollar) {
  TLineAssembler assembler(64);
  EXPECT_EQ(Cut(assembler, "##stamp\n$I\n\n\nnoise\n$B\n"), (std::vector<std::string>{"##stamp\n", "$I\n", "$B\n"}));
  EXPECT_EQ(assembler.PendingLength(), 0u);
}

// A "$" in a quoted field is text; quotes open a field only where the
// parser's split opens one, and a line feed ends a line whatever it holds.
TEST(LineAssembler, DollarInsideAQuotedFieldDoesNotStartALine) {
  TLineAssembler assembler(128);
  EXPECT_EQ(Cut(assembler, "$A,\"1\",\"2\",1,\"Ca$h Racing\", \"say \"\"$hi\"\"\"\r\n"),
            std::vector<std::string>{"$A,\"1\",\"2\",1,\"Ca$h Racing\", \"say \"\"$hi\"\"\"\r\n"});
  EXPECT_EQ(Cut(assembler, "$A,5'11\"tall$I,\"x\"$F\n"), std::vector<std::string>{"$F\n"});
  EXPECT_EQ(Cut(assembler, "$A,\"Ca$h\n$F,1\n"), (std::vector<std::string>{"$A,\"Ca$h\n", "$F,1\n"}));
  EXPECT_EQ(Cut(assembler, "\"$G,1\n"), std::vector<std::string>{"$G,1\n"}) << "a quote before the record";
}

TEST(LineAssembler, ResetDropsTheCutLine) {
  TLineAssembler assembler(64);
  EXPECT_TRUE(Cut(assembler, "$G,1,\"7\",4,").empty());
  assembler.Reset();
  EXPECT_EQ(assembler.PendingLength(), 0u);
  EXPECT_EQ(Cut(assembler, "\r\n$I\n"), (std::vector<std::string>{"\r\n", "$I\n"}));
}

}  // namespace
