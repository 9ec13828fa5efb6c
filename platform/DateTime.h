#pragma once
// Date-times are days since 30 December 1899, the time of day as fraction.
#include <cstdint>
#include <string>

#include "FormatSettings.h"

using TDateTime = double;

constexpr double MSecsPerDay = 86400000.0;

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);
// Raise EConvertError "Invalid argument to date encode" / "... time encode".
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int min, int sec, int msec);
bool TryEncodeDate(int year, int month, int day, TDateTime& result);
bool TryEncodeTime(int hour, int min, int sec, int msec, TDateTime& result);
void DecodeDate(TDateTime dt, int& year, int& month, int& day);
void DecodeTime(TDateTime dt, int& hour, int& min, int& sec, int& msec);
void DecodeDateTime(TDateTime dt, int& year, int& month, int& day, int& hour, int& min, int& sec, int& msec);
// 1 = Sunday ... 7 = Saturday.
int DayOfWeek(TDateTime dt);

TDateTime Now();
TDateTime Date();
TDateTime Time();

// Short date + long time; the time is left out at exactly midnight.
std::string DateTimeToStr(TDateTime dt);
std::string DateTimeToStr(TDateTime dt, const TFormatSettings& fs);
std::string DateToStr(TDateTime dt);
std::string DateToStr(TDateTime dt, const TFormatSettings& fs);
std::string TimeToStr(TDateTime dt);
std::string TimeToStr(TDateTime dt, const TFormatSettings& fs);
// The old runtime's format language: c d dd ddd dddd ddddd dddddd m mm mmm mmmm
// yy yyyy h hh n nn s ss z zzz t tt am/pm a/p ampm / : "quoted" 'quoted'.
std::string FormatDateTime(const std::string& fmt, TDateTime dt);
std::string FormatDateTime(const std::string& fmt, TDateTime dt, const TFormatSettings& fs);

// Parse in the regional order (from ShortDateFormat) and separators;
// raise EConvertError "'<text>' is not a valid date" (time, date and time).
TDateTime StrToDateTime(const std::string& s);
TDateTime StrToDateTime(const std::string& s, const TFormatSettings& fs);
TDateTime StrToDate(const std::string& s);
TDateTime StrToDate(const std::string& s, const TFormatSettings& fs);
TDateTime StrToTime(const std::string& s);
TDateTime StrToTime(const std::string& s, const TFormatSettings& fs);
bool TryStrToDateTime(const std::string& s, TDateTime& result);
bool TryStrToDateTime(const std::string& s, TDateTime& result, const TFormatSettings& fs);
bool TryStrToDate(const std::string& s, TDateTime& result);
bool TryStrToDate(const std::string& s, TDateTime& result, const TFormatSettings& fs);
bool TryStrToTime(const std::string& s, TDateTime& result);
bool TryStrToTime(const std::string& s, TDateTime& result, const TFormatSettings& fs);

// FAT packed date-time (date in the high word): 2-second resolution,
// years 1980-2107. An invalid packing raises EConvertError.
TDateTime FileDateToDateTime(int32_t fileDate);
// Out of range dates give the nearest end of the range (1980 or 2107).
int32_t DateTimeToFileDate(TDateTime dt);
// Seconds since the Unix epoch (UTC) to local date-time and back.
TDateTime UnixToDateTime(int64_t unixSeconds);
// Whole seconds; false for a date-time the C library cannot place.
bool TryDateTimeToUnix(TDateTime localDateTime, int64_t& unixSeconds);
