#include <gtest/gtest.h>

#include <cmath>

#include "DateTime.h"
#include "Exception.h"

namespace {
const TFormatSettings kUS = TFormatSettings::UnitedStates();

TFormatSettings German() {
  TFormatSettings fs = TFormatSettings::UnitedStates();
  fs.DecimalSeparator = ',';
  fs.DateSeparator = '.';
  fs.ShortDateFormat = "dd/mm/yyyy";
  fs.LongTimeFormat = "hh:nn:ss";
  fs.ShortTimeFormat = "hh:nn";
  return fs;
}

TFormatSettings Iso() {
  TFormatSettings fs = TFormatSettings::UnitedStates();
  fs.DateSeparator = '-';
  fs.ShortDateFormat = "yyyy/mm/dd";
  fs.LongTimeFormat = "hh:nn:ss";
  return fs;
}
}  // namespace

TEST(DateTime, EncodeAndDecodeAcrossTheRange) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2);
  EXPECT_EQ(EncodeDate(2000, 1, 1), 36526);
  EXPECT_EQ(EncodeDate(1, 1, 1), -693593);
  EXPECT_EQ(EncodeDate(9999, 12, 31), 2958465);
  EXPECT_THROW(EncodeDate(2023, 2, 29), EConvertError);
  EXPECT_THROW(EncodeDate(2000, 13, 1), EConvertError);
  EXPECT_THROW(EncodeDate(0, 1, 1), EConvertError);
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
  EXPECT_TRUE(IsLeapYear(2000));
  EXPECT_FALSE(IsLeapYear(1900));
  // Every day of a few centuries decodes to what encoded it.
  for (int d = -40000; d < 80000; d += 7) {
    int y, m, dd;
    DecodeDate(d, y, m, dd);
    EXPECT_EQ(EncodeDate(y, m, dd), d);
  }
  int y, m, d, h, n, s, ms;
  DecodeDateTime(EncodeDate(2024, 2, 29) + EncodeTime(13, 45, 30, 250), y, m, d, h, n, s, ms);
  EXPECT_EQ(std::vector<int>({y, m, d, h, n, s, ms}), std::vector<int>({2024, 2, 29, 13, 45, 30, 250}));
  // Before 1899 the fraction is still the time of that day.
  DecodeDateTime(-1.25, y, m, d, h, n, s, ms);
  EXPECT_EQ(std::vector<int>({y, m, d, h}), std::vector<int>({1899, 12, 29, 6}));
  // A value a hair below midnight rounds into the next day, not to 24:00.
  DecodeDateTime(EncodeDate(2020, 12, 31) + 0.99999999999, y, m, d, h, n, s, ms);
  EXPECT_EQ(std::vector<int>({y, m, d, h, n, s}), std::vector<int>({2021, 1, 1, 0, 0, 0}));
  DecodeDate(std::nan(""), y, m, d);
  EXPECT_EQ(y, 0);
  DecodeDate(1e12, y, m, d);
  EXPECT_EQ(y, 0);
  EXPECT_EQ(DayOfWeek(EncodeDate(2024, 6, 2)), 1);  // a Sunday
  EXPECT_EQ(DayOfWeek(0), 7);
}

TEST(DateTime, DefaultTextForms) {
  TDateTime dt = EncodeDate(2024, 3, 5) + EncodeTime(14, 7, 9, 0);
  EXPECT_EQ(DateTimeToStr(dt, kUS), "3/5/2024 2:07:09 PM");
  EXPECT_EQ(DateTimeToStr(EncodeDate(2024, 3, 5), kUS), "3/5/2024");  // midnight: no time
  EXPECT_EQ(DateTimeToStr(EncodeTime(0, 0, 1, 0), kUS), "12/30/1899 12:00:01 AM");
  EXPECT_EQ(DateToStr(dt, kUS), "3/5/2024");
  EXPECT_EQ(TimeToStr(dt, kUS), "2:07:09 PM");
  EXPECT_EQ(DateTimeToStr(dt, German()), "05.03.2024 14:07:09");
}

TEST(DateTime, FormatLanguage) {
  TDateTime dt = EncodeDate(2007, 1, 9) + EncodeTime(8, 5, 3, 45);
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", dt, kUS), "2007-01-09 08:05:03.045");
  EXPECT_EQ(FormatDateTime("d/m/yy", dt, kUS), "9/1/07");
  EXPECT_EQ(FormatDateTime("ddd dddd mmm mmmm", dt, kUS), "Tue Tuesday Jan January");
  EXPECT_EQ(FormatDateTime("h:mm", dt, kUS), "8:05");  // m after h is minutes
  EXPECT_EQ(FormatDateTime("HH:MM", dt, kUS), "08:05");
  EXPECT_EQ(FormatDateTime("h am/pm", dt + 0.5, kUS), "8 pm");
  EXPECT_EQ(FormatDateTime("h AM/PM", dt, kUS), "8 AM");
  EXPECT_EQ(FormatDateTime("h a/p", dt + 0.5, kUS), "8 p");
  EXPECT_EQ(FormatDateTime("hh AMPM", EncodeTime(0, 30, 0, 0), kUS), "12 AM");
  EXPECT_EQ(FormatDateTime("hh", EncodeTime(0, 30, 0, 0), kUS), "00");
  EXPECT_EQ(FormatDateTime("\"d\" 'yyyy' d", dt, kUS), "d yyyy 9");
  EXPECT_EQ(FormatDateTime("ddddd t", dt, kUS), "1/9/2007 8:05 AM");
  EXPECT_EQ(FormatDateTime("c", dt, German()), "09.01.2007 08:05:03");
  EXPECT_EQ(FormatDateTime("yyyy/mm/dd", dt, German()), "2007.01.09");
  // No calendar date for it: the number, not a made-up date.
  EXPECT_EQ(DateTimeToStr(1e12, kUS), "1000000000000");
  EXPECT_EQ(FormatDateTime("yyyy", std::nan(""), kUS), "NAN");
  EXPECT_EQ(DateTimeToStr(-693594.5, kUS), "-693594.5");
  // Formats that refer to themselves end instead of looping.
  TFormatSettings loop = kUS;
  loop.ShortDateFormat = "ddddd";
  EXPECT_NO_THROW(FormatDateTime("c", dt, loop));
}

TEST(DateTime, ParsesInRegionalOrder) {
  EXPECT_EQ(StrToDate("3/5/2024", kUS), EncodeDate(2024, 3, 5));
  EXPECT_EQ(StrToDate("05.03.2024", German()), EncodeDate(2024, 3, 5));
  EXPECT_EQ(StrToDate("2024-03-05", Iso()), EncodeDate(2024, 3, 5));
  EXPECT_EQ(StrToDate("2024-03-05", German()), EncodeDate(2024, 3, 5));  // four digits first is a year
  EXPECT_EQ(StrToDate("3/5/24", kUS), EncodeDate(2024, 3, 5));
  EXPECT_DOUBLE_EQ(StrToDateTime("3/5/2024 2:07:09 PM", kUS), EncodeDate(2024, 3, 5) + EncodeTime(14, 7, 9, 0));
  EXPECT_DOUBLE_EQ(StrToDateTime("05.03.2024 14:07", German()), EncodeDate(2024, 3, 5) + EncodeTime(14, 7, 0, 0));
  EXPECT_DOUBLE_EQ(StrToDateTime("2024-03-05T14:07:09", Iso()), EncodeDate(2024, 3, 5) + EncodeTime(14, 7, 9, 0));
  EXPECT_DOUBLE_EQ(StrToTime("12:00 AM", kUS), 0);
  EXPECT_DOUBLE_EQ(StrToTime("12:30:15.5 pm", kUS), EncodeTime(12, 30, 15, 500));
  EXPECT_DOUBLE_EQ(StrToDateTime("23:59", kUS), EncodeTime(23, 59, 0, 0));
  TDateTime r;
  for (const char* bad : {"", "2/30/2024", "13/1/2024", "1/1/2024 25:00", "abc", "1/1/2024 x", "13:00 PM", "5"})
    EXPECT_FALSE(TryStrToDateTime(bad, r, kUS)) << bad;
  try {
    StrToDate("31/31/2000", kUS);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'31/31/2000' is not a valid date");
  }
  // What DateTimeToStr writes, StrToDateTime reads back.
  TDateTime dt = EncodeDate(1987, 11, 23) + EncodeTime(17, 1, 2, 0);
  EXPECT_DOUBLE_EQ(StrToDateTime(DateTimeToStr(dt, kUS), kUS), dt);
  EXPECT_DOUBLE_EQ(StrToDateTime(DateTimeToStr(dt, German()), German()), dt);
}

TEST(DateTime, FatPackedFileDates) {
  // 2021-06-15 13:45:58
  int32_t packed = int32_t(((2021 - 1980) << 25) | (6 << 21) | (15 << 16) | (13 << 11) | (45 << 5) | 29);
  EXPECT_DOUBLE_EQ(FileDateToDateTime(packed), EncodeDate(2021, 6, 15) + EncodeTime(13, 45, 58, 0));
  EXPECT_EQ(DateTimeToFileDate(FileDateToDateTime(packed)), packed);
  // Odd seconds lose their last second.
  EXPECT_EQ(DateTimeToFileDate(EncodeDate(2021, 6, 15) + EncodeTime(13, 45, 59, 0)), packed);
  EXPECT_THROW(FileDateToDateTime(0), EConvertError);  // month 0
  // Outside 1980..2107 the nearest end of the range.
  EXPECT_DOUBLE_EQ(FileDateToDateTime(DateTimeToFileDate(EncodeDate(1970, 1, 1))), EncodeDate(1980, 1, 1));
  EXPECT_DOUBLE_EQ(FileDateToDateTime(DateTimeToFileDate(EncodeDate(2200, 1, 1))),
                   EncodeDate(2107, 12, 31) + EncodeTime(23, 59, 58, 0));
}
