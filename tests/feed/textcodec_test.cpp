#include <gtest/gtest.h>

#include "platform/textcodec.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

bool CodePageIs1251() {
#ifdef _WIN32
  return GetACP() == 1251;
#else
  return true;
#endif
}

TEST(TextCodec, AsciiAndNulPassThrough) {
  const std::string bytes("$A,\0x\n", 6);
  const std::u16string text = platform::AnsiToUtf16(bytes);
  ASSERT_EQ(text.size(), 6u);
  EXPECT_EQ(text[3], u'\0');
  EXPECT_EQ(platform::Utf16ToAnsi(text), bytes);
  EXPECT_EQ(platform::AnsiToUtf16(""), u"");
}

TEST(TextCodec, Windows1251Letters) {
  if (!CodePageIs1251()) GTEST_SKIP() << "the ANSI code page of this machine is not 1251";
  EXPECT_EQ(platform::AnsiToUtf16("\xC0\xDF\xE0\xFF\xA8\xB8\xB9"), u"АЯаяЁё№");
  EXPECT_EQ(platform::Utf16ToAnsi(u"Имя_11"), "\xC8\xEC\xFF_11");
  EXPECT_EQ(platform::Utf16ToAnsi(u"€"), "\x88");
}

TEST(TextCodec, EveryByteRoundTrips) {
  if (!CodePageIs1251()) GTEST_SKIP() << "the ANSI code page of this machine is not 1251";
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(platform::Utf16ToAnsi(platform::AnsiToUtf16(all)), all);
}

TEST(TextCodec, UnmappableCharactersBecomeQuestionMarks) {
  EXPECT_EQ(platform::Utf16ToAnsi(u"a\u4E2Db"), "a?b");
}

TEST(TextCodec, DecodeReusesTheTarget) {
  std::u16string out = u"previous content that is long";
  platform::AnsiToUtf16("ab", out);
  EXPECT_EQ(out, u"ab");
}

}  // namespace
