#include <gtest/gtest.h>

#include "CodePage.h"

namespace {
// Pins the system code page for one test.
struct TAcp {
  explicit TAcp(int cp) { SetACPOverride(cp); }
  ~TAcp() { SetACPOverride(0); }
};
}  // namespace

TEST(CodePage, SystemCodePageFromTheEnvironment) {
  // The test run sets VARNOWE_CODEPAGE=65001.
  EXPECT_EQ(GetACP(), 65001);
  EXPECT_EQ(GetOEMCP(), 437);
  {
    TAcp pin(1251);
    EXPECT_EQ(GetACP(), 1251);
  }
  EXPECT_EQ(GetACP(), 65001);
}

TEST(CodePage, LocaleCharsetsMapToWindowsNumbers) {
  EXPECT_EQ(CodePageFromCharset("UTF-8"), 65001);
  EXPECT_EQ(CodePageFromCharset("utf8"), 65001);
  EXPECT_EQ(CodePageFromCharset("ANSI_X3.4-1968"), 65001);  // the C locale
  EXPECT_EQ(CodePageFromCharset("ISO-8859-1"), 1252);
  EXPECT_EQ(CodePageFromCharset("ISO-8859-15"), 1252);
  EXPECT_EQ(CodePageFromCharset("ISO-8859-2"), 28592);
  EXPECT_EQ(CodePageFromCharset("KOI8-R"), 20866);
  EXPECT_EQ(CodePageFromCharset("CP1251"), 1251);
  EXPECT_EQ(CodePageFromCharset("EUC-JP"), 932);
  EXPECT_EQ(CodePageFromCharset("SHIFT_JIS"), 932);
  EXPECT_EQ(CodePageFromCharset("GBK"), 936);
  EXPECT_EQ(CodePageFromCharset("BIG5"), 950);
  EXPECT_EQ(CodePageFromCharset("EUC-KR"), 949);
  EXPECT_EQ(CodePageFromCharset("nonsense"), 65001);
}

TEST(CodePage, RoundTripsInCommonCodePages) {
  struct TCase {
    int CodePage;
    std::string Bytes;
    std::u16string Wide;
  };
  const TCase cases[] = {
      {1252, "caf\xE9 \x80 \x93quoted\x94 \x9F", u"café € \u201Cquoted\u201D Ÿ"},
      {65001, "\xD0\x9F\xD1\x80\xD0\xB8 \xF0\x9F\x98\x80 ", u"При \U0001F600 "},
      {1251, "\xCF\xF0\xE8\xE2\xE5\xF2", u"Привет"},
      {932, "\x93\xFA\x96\x7B\x8C\xEA ABC \xB1", u"日本語 ABC ｱ"},
      {28591, "\x80\xFF", u"\u0080ÿ"},
      {437, "\x82\xB3", u"é│"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AnsiToWide(c.Bytes, c.CodePage), c.Wide) << c.CodePage;
    EXPECT_EQ(WideToAnsi(c.Wide, c.CodePage), c.Bytes) << c.CodePage;
    EXPECT_EQ(DecodeBytes(c.Bytes.data(), c.Bytes.size(), c.CodePage), c.Wide) << c.CodePage;
  }
  // The five bytes 1252 leaves undefined survive a round trip.
  std::string holes = "\x81\x8D\x8F\x90\x9D";
  EXPECT_EQ(WideToAnsi(AnsiToWide(holes, 1252), 1252), holes);
  // Every byte of 1252 round-trips.
  std::string all;
  for (int b = 1; b < 256; ++b) all += char(b);
  EXPECT_EQ(WideToAnsi(AnsiToWide(all, 1252), 1252), all);
  EXPECT_EQ(WideToAnsi(AnsiToWide(all, 1251), 1251).size(), all.size());
}

TEST(CodePage, UnrepresentableAndInvalidText) {
  EXPECT_EQ(WideToAnsi(u"a€Ж日", 1252), "a\x80??");
  EXPECT_EQ(WideToAnsi(u"aЖ", 28591), "a?");
  EXPECT_EQ(WideToAnsi(u"x\U0001F600y", 1251), "x?y");  // a pair is one character
  EXPECT_EQ(WideToAnsi(u"\xD800z", 65001), "\xEF\xBF\xBDz");  // lone surrogate
  EXPECT_EQ(WideToAnsi(u"日\U0001F600", 932), "\x93\xFA?");
  // Bad UTF-8: one U+FFFD per bad byte, the rest still decodes.
  EXPECT_EQ(Utf8ToUtf16("a\xFF" "b\xC3"), u"a\uFFFDb\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xE0\x80\x80"), u"\uFFFD\uFFFD\uFFFD");  // overlong
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
  // ASCII runs between other characters, and surrogates cut off at either end.
  EXPECT_EQ(Utf8ToUtf16("ab\xC3\xA9" "cd\xF0\x9F\x98\x80" "e"), u"ab\u00E9cd\U0001F600e");
  EXPECT_EQ(Utf16ToUtf8(u"ab\u00E9cd\U0001F600e\xDC00"), "ab\xC3\xA9" "cd\xF0\x9F\x98\x80" "e\xEF\xBF\xBD");
  EXPECT_EQ(Utf16ToUtf8(u"x\xD83D"), "x\xEF\xBF\xBD");
  // A lead byte cut off at the end in a double-byte code page.
  EXPECT_EQ(AnsiToWide("A\x93", 932), u"A\uFFFD");
  // An unknown code page keeps ASCII.
  EXPECT_EQ(AnsiToWide("ok\xAA", 99999), u"ok\uFFFD");
}

TEST(CodePage, BytesHeldInTheSystemCodePage) {
  {
    TAcp pin(65001);
    EXPECT_EQ(BytesToAnsi("caf\xE9", 1252), "café");
    EXPECT_EQ(BytesToAnsi("\xCF\xF0", 1251), "Пр");
    EXPECT_EQ(BytesToAnsi("\x8C\x9F", 10029), "Ćü");  // Mac Central European (old Mac workbooks)
    EXPECT_EQ(BytesToAnsi("caf\xC3\xA9", 65001), "café");
    EXPECT_EQ(BytesToAnsi("bad\xFF", 65001), "bad\xEF\xBF\xBD");  // never passes bad UTF-8 on
    EXPECT_EQ(AnsiToUtf8("é"), "é");
    EXPECT_EQ(AnsiCharCount("aé日\U0001F600"), 4u);
  }
  {
    TAcp pin(1252);
    EXPECT_EQ(BytesToAnsi("caf\xE9", 1252), "caf\xE9");
    EXPECT_EQ(BytesToAnsi("caf\xE9", 28591), "caf\xE9");
    EXPECT_EQ(BytesToAnsi("\x80", 28591), "?");  // a C1 control 1252 has no place for
    EXPECT_EQ(BytesToAnsi("\xCF\xF0", 1251), "??");
    EXPECT_EQ(AnsiToUtf8("caf\xE9"), "café");
    EXPECT_EQ(Utf8ToAnsi("café Ж"), "caf\xE9 ?");
    EXPECT_EQ(AnsiCharCount("caf\xE9"), 4u);
  }
  {
    // Escapes and EBCDIC are no ASCII even when every byte is below 0x80.
    TAcp pin(65001);
    EXPECT_EQ(BytesToAnsi("\xC1\xC2", 37), "AB");
    EXPECT_EQ(BytesToAnsi("\x1B$B$\"\x1B(B", 50220), "\xE3\x81\x82");  // Japanese "a" in ISO-2022-JP
  }
  {
    TAcp pin(932);
    EXPECT_EQ(AnsiCharCount("\x93\xFA\x96\x7B" "a"), 3u);
  }
}

TEST(CodePage, HeaderNames) {
  EXPECT_EQ(CodePageName(1252), "windows-1252");
  EXPECT_EQ(CodePageName(65001), "utf-8");
  EXPECT_EQ(CodePageName(1251), "windows-1251");
  EXPECT_EQ(CodePageName(932), "shift_jis");
  EXPECT_EQ(CodePageName(28591), "iso-8859-1");
}
