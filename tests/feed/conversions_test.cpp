#include <limits>

#include <gtest/gtest.h>

#include "feed/timingfeedparser.h"

namespace {

using feed::ConvertClock;
using feed::ConvertInteger;
using feed::ConvertTime;

std::int32_t Int(std::u16string_view text, bool expectOk = true) {
  std::int32_t v = -777;
  EXPECT_EQ(ConvertInteger(text, v), expectOk) << std::string(text.begin(), text.end());
  return v;
}

TEST(IntegerConversion, DecimalSignsAndSpaces) {
  EXPECT_EQ(Int(u"42"), 42);
  EXPECT_EQ(Int(u"  -17"), -17);
  EXPECT_EQ(Int(u"+5"), 5);
  EXPECT_EQ(Int(u"2147483647"), 2147483647);
  EXPECT_EQ(Int(u"-2147483648"), std::numeric_limits<std::int32_t>::min());
}

TEST(IntegerConversion, HexPrefixes) {
  EXPECT_EQ(Int(u"$1F"), 31);
  EXPECT_EQ(Int(u"x10"), 16);
  EXPECT_EQ(Int(u"X10"), 16);
  EXPECT_EQ(Int(u"0x7fffffff"), 2147483647);
  EXPECT_EQ(Int(u"-$10"), -16);
}

TEST(IntegerConversion, FailuresGiveZero) {
  for (std::u16string_view bad : {u"", u" ", u"12a", u"1 2", u"12 ", u"$", u"0x", u"+", u"--1", u"1.5", u"١"}) {
    EXPECT_EQ(Int(bad, false), 0);
  }
}

TEST(IntegerConversion, OutOfRangeFailsInsteadOfWrapping) {
  EXPECT_EQ(Int(u"2147483648", false), 0);
  EXPECT_EQ(Int(u"-2147483649", false), 0);
  EXPECT_EQ(Int(u"4294967297", false), 0);
  EXPECT_EQ(Int(u"99999999999999999999999", false), 0);
  EXPECT_EQ(Int(u"$FFFFFFFF", false), 0);
}

TEST(ClockConversion, HoursMinutesSeconds) {
  std::int32_t v = -1;
  EXPECT_TRUE(ConvertClock(u"01:02:03", v));
  EXPECT_EQ(v, 3723);
  EXPECT_TRUE(ConvertClock(u" 1: 2: 3 trailing", v)) << "blanks before numbers, text after";
  EXPECT_EQ(v, 3723);
  EXPECT_FALSE(ConvertClock(u"02:03", v));
  EXPECT_EQ(v, 0);
  EXPECT_FALSE(ConvertClock(u"", v));
  EXPECT_FALSE(ConvertClock(u"1 :2:3", v)) << "the colon must follow the number";
  EXPECT_FALSE(ConvertClock(u"596524:00:00", v)) << "past 2^31 - 1 seconds";
  EXPECT_EQ(v, 0);
  EXPECT_TRUE(ConvertClock(u"596523:14:07", v));
  EXPECT_EQ(v, 2147483647);
  EXPECT_FALSE(ConvertClock(u"-1:00:00", v)) << "a negative number wraps in scanf: no valid clock";
}

TEST(TimeConversion, FractionIsDecimalFractionOfASecond) {
  std::int32_t v = -1;
  EXPECT_TRUE(ConvertTime(u"00:01:02.872", v));
  EXPECT_EQ(v, 62872);
  EXPECT_TRUE(ConvertTime(u"00:01:02.5", v));
  EXPECT_EQ(v, 62500);
  EXPECT_TRUE(ConvertTime(u"00:01:02.05", v));
  EXPECT_EQ(v, 62050);
  EXPECT_TRUE(ConvertTime(u"00:00:00.1234", v));
  EXPECT_EQ(v, 123);
  EXPECT_TRUE(ConvertTime(u"1:02:03.4", v));
  EXPECT_EQ(v, 3723400);
  EXPECT_TRUE(ConvertTime(u"00:00:07.000\r", v));
  EXPECT_EQ(v, 7000);
}

TEST(TimeConversion, FeedsNoTimeMarkerIsNoTime) {
  std::int32_t v = -1;
  EXPECT_TRUE(ConvertTime(u"00:59:59.999", v));
  EXPECT_EQ(v, 0);
  EXPECT_TRUE(ConvertTime(u"00:59:59.998", v));
  EXPECT_EQ(v, 3599998);
}

TEST(TimeConversion, IncompleteOrOutOfRangeGivesZero) {
  std::int32_t v = -1;
  for (std::u16string_view bad : {u"02:03.456", u"00:01:02", u"00:01:02.", u"a:b:c.d", u"", u"00:01:02.-5"}) {
    EXPECT_FALSE(ConvertTime(bad, v)) << std::string(bad.begin(), bad.end());
    EXPECT_EQ(v, 0);
  }
  EXPECT_FALSE(ConvertTime(u"596:31:23.648", v)) << "2^31 ms";
  EXPECT_EQ(v, 0);
  EXPECT_TRUE(ConvertTime(u"596:31:23.647", v));
  EXPECT_EQ(v, 2147483647);
  EXPECT_FALSE(ConvertTime(u"4294967296:00:00.000", v));
}

}  // namespace
