#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "CodePage.h"
#include "Exception.h"
#include "SysUtils.h"

namespace {
const TFormatSettings kUS = TFormatSettings::UnitedStates();
TFormatSettings Comma() {
  TFormatSettings fs = TFormatSettings::UnitedStates();
  fs.DecimalSeparator = ',';
  return fs;
}
}  // namespace

TEST(FloatToStr, GeneralFormWithFifteenDigits) {
  EXPECT_EQ(FloatToStr(0.1, kUS), "0.1");
  EXPECT_EQ(FloatToStr(1.0, kUS), "1");
  EXPECT_EQ(FloatToStr(-2.5, kUS), "-2.5");
  EXPECT_EQ(FloatToStr(1234567.125, kUS), "1234567.125");
  EXPECT_EQ(FloatToStr(0.1 + 0.2, kUS), "0.3");  // 15 digits hide the binary noise
  EXPECT_EQ(FloatToStr(1.0 / 3, kUS), "0.333333333333333");
  EXPECT_EQ(FloatToStr(2.0 / 3, kUS), "0.666666666666667");
  EXPECT_EQ(FloatToStr(100, kUS), "100");
  EXPECT_EQ(FloatToStr(999999999999999.0, kUS), "999999999999999");
}

TEST(FloatToStr, ExponentFormAsTheOldRuntime) {
  EXPECT_EQ(FloatToStr(1e20, kUS), "1E20");
  EXPECT_EQ(FloatToStr(1e15, kUS), "1E15");
  EXPECT_EQ(FloatToStr(1.5e-5, kUS), "1.5E-5");
  EXPECT_EQ(FloatToStr(0.00001, kUS), "1E-5");
  EXPECT_EQ(FloatToStr(0.0001, kUS), "0.0001");
  EXPECT_EQ(FloatToStr(0.00012, kUS), "0.00012");
  EXPECT_EQ(FloatToStr(123456789012345678.0, kUS), "1.23456789012346E17");
  EXPECT_EQ(FloatToStr(-1e-300, kUS), "-1E-300");
  EXPECT_EQ(FloatToStr(std::numeric_limits<double>::max(), kUS), "1.79769313486232E308");
  // Rounding to 15 digits may carry into a new digit.
  EXPECT_EQ(FloatToStr(9.9999999999999999e14, kUS), "1E15");
}

TEST(FloatToStr, SpecialValuesAndSeparator) {
  EXPECT_EQ(FloatToStr(-0.0, kUS), "0");
  EXPECT_EQ(FloatToStr(std::nan(""), kUS), "NAN");
  EXPECT_EQ(FloatToStr(INFINITY, kUS), "INF");
  EXPECT_EQ(FloatToStr(-INFINITY, kUS), "-INF");
  EXPECT_EQ(FloatToStr(1.5, Comma()), "1,5");
  EXPECT_EQ(FloatToStr(1.5e-7, Comma()), "1,5E-7");
}

TEST(FloatToStr, RoundTripsThroughStrToFloat) {
  for (double v : {0.1, 123.456, -7.25e-3, 6.02214076e23, 1e-10, 42.0}) {
    std::string s = FloatToStr(v, kUS);
    double back = StrToFloat(s, kUS);
    EXPECT_NEAR(back, v, std::fabs(v) * 1e-14) << s;
  }
}

TEST(StrToFloat, AcceptsRegionalFormOnly) {
  double v = 0;
  EXPECT_TRUE(TryStrToFloat("  -1.5e3 ", v, kUS));
  EXPECT_EQ(v, -1500);
  EXPECT_TRUE(TryStrToFloat(".5", v, kUS));
  EXPECT_EQ(v, 0.5);
  EXPECT_TRUE(TryStrToFloat("+7.", v, kUS));
  EXPECT_EQ(v, 7);
  EXPECT_TRUE(TryStrToFloat("1,25", v, Comma()));
  EXPECT_EQ(v, 1.25);
  EXPECT_TRUE(TryStrToFloat("1e-400", v, kUS));
  EXPECT_EQ(v, 0);
  for (const char* bad : {"", " ", "1,5", "1.2.3", "abc", "1e", "e5", "inf", "nan", "0x10", "1 2", "1e400", "-"})
    EXPECT_FALSE(TryStrToFloat(bad, v, kUS)) << bad;
  EXPECT_EQ(StrToFloatDef("x", 3.5, kUS), 3.5);
  try {
    StrToFloat("12a", kUS);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'12a' is not a valid floating point value");
  }
}

TEST(StrToInt, DecimalAndHexadecimal) {
  EXPECT_EQ(StrToInt("42"), 42);
  EXPECT_EQ(StrToInt(" -17 "), -17);
  EXPECT_EQ(StrToInt("0x1F"), 31);
  EXPECT_EQ(StrToInt("0X1f"), 31);
  EXPECT_EQ(StrToInt("$FF"), 255);
  EXPECT_EQ(StrToInt("-$10"), -16);
  EXPECT_EQ(StrToInt("0xFFFFFFFF"), -1);  // hex fills the bits
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  EXPECT_EQ(StrToInt("-2147483648"), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(StrToInt64("9223372036854775807"), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(StrToInt64("-9223372036854775808"), std::numeric_limits<int64_t>::min());
  int32_t v = 5;
  for (const char* bad : {"", "2147483648", "0x", "$", "0x100000000", "1.0", "12abc", "--1", "0xG"})
    EXPECT_FALSE(TryStrToInt(bad, v)) << bad;
  EXPECT_EQ(v, 5);
  EXPECT_EQ(StrToIntDef("zz", -3), -3);
  EXPECT_THROW(StrToInt("x"), EConvertError);
  EXPECT_EQ(IntToStr(std::numeric_limits<int64_t>::min()), "-9223372036854775808");
  EXPECT_EQ(IntToHex(255, 4), "00FF");
  EXPECT_EQ(IntToHex(0xABCDEF, 2), "ABCDEF");
  EXPECT_EQ(FormatThousands(1048576), "1,048,576");
  EXPECT_EQ(FormatThousands(-256), "-256");
  EXPECT_EQ(FormatThousands(-1000), "-1,000");
  EXPECT_EQ(FormatThousands(999), "999");
}

TEST(Text, TrimCaseAndCompare) {
  EXPECT_EQ(Trim("\t a b \r\n"), "a b");
  EXPECT_EQ(TrimLeft("  x "), "x ");
  EXPECT_EQ(TrimRight("  x "), "  x");
  EXPECT_EQ(UpperCase("abcÄ"), "ABCÄ");  // ASCII only
  EXPECT_TRUE(SameText("Excel", "eXCEL"));
  EXPECT_FALSE(SameText("Excel", "Excels"));
  EXPECT_LT(CompareText("apple", "Banana"), 0);
  EXPECT_EQ(StringReplaceAll("a--b--", "--", "+"), "a+b+");
  SetACPOverride(CP_UTF8);
  EXPECT_EQ(AnsiUpperCase("é ä ж"), "É Ä Ж");
  EXPECT_EQ(AnsiLowerCase("ÉCOLE"), "école");
  EXPECT_TRUE(AnsiSameText("Ärger", "äRGER"));
  SetACPOverride(1252);
  EXPECT_EQ(AnsiUpperCase("\xE9t\xE9"), "\xC9T\xC9");  // été in 1252
  SetACPOverride(0);
}

TEST(Format, PrintfStyleWithCNumbers) {
  EXPECT_EQ(Format("%s=%d (%.2f)", "x", 42, 1.5), "x=42 (1.50)");
  std::string big(1000, 'a');
  EXPECT_EQ(Format("[%s]", big.c_str()), "[" + big + "]");
}

TEST(Paths, SplitOnAllSeparators) {
  EXPECT_EQ(ExtractFileName("/data/in/book.xls"), "book.xls");
  EXPECT_EQ(ExtractFileName("C:\\data\\*.csv"), "*.csv");
  EXPECT_EQ(ExtractFileName("C:*.csv"), "*.csv");
  EXPECT_EQ(ExtractFilePath("/data/in/book.xls"), "/data/in/");
  EXPECT_EQ(ExtractFilePath("book.xls"), "");
  EXPECT_EQ(ExtractFileDir("/data/in/book.xls"), "/data/in");
  EXPECT_EQ(ExtractFileDir("/book.xls"), "/");
  EXPECT_EQ(ExtractFileDir("/data//book.xls"), "/data");
  EXPECT_EQ(ExtractFileExt("/a.b/book.XLS"), ".XLS");
  EXPECT_EQ(ExtractFileExt("/a.b/book"), "");
  EXPECT_EQ(ExtractFileExt("archive.tar.gz"), ".gz");
  EXPECT_EQ(ChangeFileExt("/a.b/book.xls", ".csv"), "/a.b/book.csv");
  EXPECT_EQ(ChangeFileExt("/a.b/book", ".csv"), "/a.b/book.csv");
  EXPECT_EQ(ChangeFileExt("book.xls", ""), "book");
  EXPECT_EQ(IncludeTrailingPathDelimiter("/out"), "/out/");
  EXPECT_EQ(IncludeTrailingPathDelimiter("/out/"), "/out/");
  EXPECT_EQ(ExcludeTrailingPathDelimiter("/out/"), "/out");
  EXPECT_EQ(ExcludeTrailingPathDelimiter("/"), "/");
}
