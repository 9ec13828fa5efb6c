#pragma once
// The regional settings the old runtime read from Windows, now taken from
// the process locale. Formatting takes one of these explicitly.
#include <cstdint>
#include <string>

struct TFormatSettings {
  char DecimalSeparator = '.';
  char ThousandSeparator = ',';
  char DateSeparator = '/';
  char TimeSeparator = ':';
  char ListSeparator = ',';
  std::string ShortDateFormat;
  std::string LongDateFormat;
  std::string ShortTimeFormat;
  std::string LongTimeFormat;
  std::string TimeAMString;
  std::string TimePMString;
  std::string CurrencyString;
  uint8_t CurrencyFormat = 0;   // 0 "$1", 1 "1$", 2 "$ 1", 3 "1 $"
  uint8_t NegCurrFormat = 0;    // the Windows negative-currency pattern number
  uint8_t CurrencyDecimals = 2;
  std::string ShortMonthNames[12];
  std::string LongMonthNames[12];
  std::string ShortDayNames[7];  // Sunday first
  std::string LongDayNames[7];

  // The C/POSIX defaults: M/d/yyyy, h:mm:ss AMPM, "." and ",", "$1".
  static TFormatSettings UnitedStates();
  // From the process locale (LC_NUMERIC, LC_TIME, LC_MONETARY); C/POSIX give UnitedStates().
  static TFormatSettings FromLocale();
};

// A strftime pattern (as the locale gives it) in the old runtime's format
// language; the separators it uses come back in dateSep / timeSep.
std::string StrftimeToFormat(const std::string& pattern, char& dateSep, char& timeSep);

// From the process locale, read once on first use.
const TFormatSettings& DefaultFormatSettings();
// Tests pin the process-wide settings with this.
void SetDefaultFormatSettings(const TFormatSettings& fs);
