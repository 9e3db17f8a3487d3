#include "platform/textcodec.h"

#include <gtest/gtest.h>

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

TEST(TextCodec, UnmappableCharactersBecomeQuestionMarks) { EXPECT_EQ(platform::Utf16ToAnsi(u"a\u4E2Db"), "a?b"); }

TEST(TextCodec, DecodeReusesTheTarget) {
  std::u16string out = u"previous content that is long";
  platform::AnsiToUtf16("ab", out);
  EXPECT_EQ(out, u"ab");
}

// Feed text is UTF-8 only when it is valid UTF-8 with a multi-byte
// sequence; anything else (the code page's letters, a cut or overlong
// sequence, plain ASCII) reads as before.
TEST(TextCodec, FeedTextIsUtf8OnlyWhenValidWithAMultiByteSequence) {
  std::u16string out;
  platform::FeedTextToUtf16("\xD0\xA1\xD0\xBC\xD0\xB8\xD1\x80\xD0\xBD\xD0\xBE\xD0\xB2", out);
  EXPECT_EQ(out, u"Смирнов");
  platform::FeedTextToUtf16("\xF0\x9F\x8F\x81 x", out);
  EXPECT_EQ(out, u"\U0001F3C1 x");
  for (const char* bytes : {"\xD1\xEC\xE8\xF0\xED\xEE\xE2", "\xC0\xAF", "\xD0", "\xED\xA0\x80", "Round 3"}) {
    platform::FeedTextToUtf16(bytes, out);
    EXPECT_EQ(out, platform::AnsiToUtf16(bytes)) << bytes;
  }
}

}  // namespace
