#include <gtest/gtest.h>

#include <locale.h>

#include <cstdlib>

#include "DateTime.h"
#include "FormatSettings.h"
#include "SysUtils.h"

TEST(FormatSettings, CLocaleGivesTheUnitedStatesDefaults) {
  setenv("LC_ALL", "C", 1);
  TFormatSettings fs = TFormatSettings::FromLocale();
  unsetenv("LC_ALL");
  EXPECT_EQ(fs.DecimalSeparator, '.');
  EXPECT_EQ(fs.ThousandSeparator, ',');
  EXPECT_EQ(fs.DateSeparator, '/');
  EXPECT_EQ(fs.TimeSeparator, ':');
  EXPECT_EQ(fs.ShortDateFormat, "M/d/yyyy");
  EXPECT_EQ(fs.LongTimeFormat, "h:mm:ss AMPM");
  EXPECT_EQ(fs.ShortTimeFormat, "h:mm AMPM");
  EXPECT_EQ(fs.TimeAMString, "AM");
  EXPECT_EQ(fs.CurrencyString, "$");
  EXPECT_EQ(fs.CurrencyFormat, 0);
  EXPECT_EQ(fs.LongMonthNames[11], "December");
  EXPECT_EQ(fs.ShortDayNames[0], "Sun");
}

TEST(FormatSettings, PinnedDefaultsReachTheShortForms) {
  TFormatSettings fs = TFormatSettings::UnitedStates();
  fs.DecimalSeparator = ',';
  fs.ShortDateFormat = "dd/mm/yyyy";
  fs.DateSeparator = '.';
  SetDefaultFormatSettings(fs);
  EXPECT_EQ(FloatToStr(2.5), "2,5");
  EXPECT_EQ(DateToStr(EncodeDate(2024, 3, 5)), "05.03.2024");
  const TFormatSettings& held = DefaultFormatSettings();
  SetDefaultFormatSettings(TFormatSettings::UnitedStates());
  EXPECT_EQ(held.DecimalSeparator, ',');  // an old reference stays valid
  EXPECT_EQ(FloatToStr(2.5), "2.5");
}

TEST(FormatSettings, LocalePatternsInTheOldFormatLanguage) {
  struct TCase {
    const char* Pattern;
    const char* Format;
    char DateSep, TimeSep;
  };
  const TCase cases[] = {
      {"%d.%m.%Y", "dd/mm/yyyy", '.', ':'},   // German
      {"%d/%m/%y", "dd/mm/yy", '/', ':'},     // British
      {"%Y-%m-%d", "yyyy/mm/dd", '-', ':'},   // Swedish
      {"%T", "hh:nn:ss", '/', ':'},
      {"%H.%M.%S", "hh:nn:ss", '/', '.'},     // Finnish time
      {"%I:%M:%S %p", "hh:nn:ss AMPM", '/', ':'},
      {"%Y\xE5\xB9\xB4%m\xE6\x9C\x88%d\xE6\x97\xA5", "yyyy\xE5\xB9\xB4mm\xE6\x9C\x88" "dd\xE6\x97\xA5", '/', ':'},
      {"%d de %B de %Y", "dd\" de \"mmmm\" de \"yyyy", '/', ':'},  // letters stay text
      {"%e/%-m/%Y", "d/mm/yyyy", '/', ':'},
  };
  for (const auto& c : cases) {
    char ds = '/', ts = ':';
    EXPECT_EQ(StrftimeToFormat(c.Pattern, ds, ts), c.Format) << c.Pattern;
    EXPECT_EQ(ds, c.DateSep) << c.Pattern;
    EXPECT_EQ(ts, c.TimeSep) << c.Pattern;
  }
  // Japanese writes the fields with unit words; they print and parse back.
  {
    TFormatSettings ja = TFormatSettings::UnitedStates();
    char ds = '/', ts = ':';
    ja.ShortDateFormat = StrftimeToFormat("%Y\xE5\xB9\xB4%m\xE6\x9C\x88%d\xE6\x97\xA5", ds, ts);
    ja.LongTimeFormat = StrftimeToFormat("%H\xE6\x99\x82%M\xE5\x88\x86%S\xE7\xA7\x92", ds, ts);
    TDateTime dt = EncodeDate(2024, 3, 5) + EncodeTime(14, 7, 9, 0);
    std::string text = DateTimeToStr(dt, ja);
    EXPECT_EQ(text, "2024\xE5\xB9\xB4" "03\xE6\x9C\x88" "05\xE6\x97\xA5 14\xE6\x99\x82" "07\xE5\x88\x86" "09\xE7\xA7\x92");
    EXPECT_DOUBLE_EQ(StrToDateTime(text, ja), dt);
  }
  // The translated Portuguese pattern formats as the locale would.
  TFormatSettings fs = TFormatSettings::UnitedStates();
  char ds = '/', ts = ':';
  fs.ShortDateFormat = StrftimeToFormat("%d de %B de %Y", ds, ts);
  EXPECT_EQ(DateToStr(EncodeDate(2024, 3, 5), fs), "05 de March de 2024");
}

TEST(FormatSettings, GermanLocaleWhenInstalled) {
  locale_t probe = newlocale(LC_ALL_MASK, "de_DE.UTF-8", locale_t(0));
  if (!probe) GTEST_SKIP() << "de_DE.UTF-8 is not installed";
  freelocale(probe);
  setenv("LC_ALL", "de_DE.UTF-8", 1);
  TFormatSettings fs = TFormatSettings::FromLocale();
  unsetenv("LC_ALL");
  EXPECT_EQ(fs.DecimalSeparator, ',');
  EXPECT_EQ(fs.ThousandSeparator, '.');
  EXPECT_EQ(fs.ListSeparator, ';');
  EXPECT_EQ(fs.DateSeparator, '.');
  EXPECT_EQ(fs.ShortDateFormat, "dd/mm/yyyy");
  EXPECT_EQ(fs.LongTimeFormat, "hh:nn:ss");
  EXPECT_EQ(fs.ShortTimeFormat, "hh:nn");
  EXPECT_EQ(fs.LongMonthNames[2], "M\xC3\xA4rz");
  EXPECT_EQ(fs.CurrencyString, "\xE2\x82\xAC");
  EXPECT_EQ(DateTimeToStr(EncodeDate(2024, 3, 5) + EncodeTime(14, 7, 9, 0), fs), "05.03.2024 14:07:09");
}
