#pragma once
// The old runtime's string, number and path helpers.
#include <cstdint>
#include <string>

#include "FormatSettings.h"

// General format, 15 significant digits, exponent form "1E20", "1.5E-5".
std::string FloatToStr(double value);
std::string FloatToStr(double value, const TFormatSettings& fs);
// Same with a chosen precision (1..17) instead of 15.
std::string FloatToStrPrec(double value, int precision, const TFormatSettings& fs);
// Raise EConvertError "'<text>' is not a valid floating point value".
double StrToFloat(const std::string& s);
double StrToFloat(const std::string& s, const TFormatSettings& fs);
bool TryStrToFloat(const std::string& s, double& value);
bool TryStrToFloat(const std::string& s, double& value, const TFormatSettings& fs);
double StrToFloatDef(const std::string& s, double def);
double StrToFloatDef(const std::string& s, double def, const TFormatSettings& fs);

std::string IntToStr(int64_t value);
// Decimal, "0x"/"$" hexadecimal; leading and trailing blanks allowed.
// Raise EConvertError "'<text>' is not a valid integer value".
int32_t StrToInt(const std::string& s);
int32_t StrToIntDef(const std::string& s, int32_t def);
bool TryStrToInt(const std::string& s, int32_t& value);
int64_t StrToInt64(const std::string& s);
int64_t StrToInt64Def(const std::string& s, int64_t def);
bool TryStrToInt64(const std::string& s, int64_t& value);
// Upper-case hex, at least digits wide.
std::string IntToHex(uint64_t value, int digits);
// Decimal with "," between groups of three digits, whatever the region: "1,048,576".
std::string FormatThousands(int64_t value);

std::string Trim(const std::string& s);       // blanks and control characters
std::string TrimLeft(const std::string& s);
std::string TrimRight(const std::string& s);
std::string UpperCase(const std::string& s);  // ASCII only
std::string LowerCase(const std::string& s);
// Whole characters of the system code page.
std::string AnsiUpperCase(const std::string& s);
std::string AnsiLowerCase(const std::string& s);
bool SameText(const std::string& a, const std::string& b);  // ASCII, without regard to case
int CompareText(const std::string& a, const std::string& b);
int AnsiCompareText(const std::string& a, const std::string& b);
bool AnsiSameText(const std::string& a, const std::string& b);
// Upper-cased wide form of system code page text: compare these to sort without regard to case.
std::u16string NameSortKey(const std::string& s);
bool StartsText(const std::string& prefix, const std::string& s);
bool EndsText(const std::string& suffix, const std::string& s);
std::string StringReplaceAll(const std::string& s, const std::string& from, const std::string& to);

// printf-style into a std::string (C locale numbers).
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Paths: "/" is the separator; "\" and ":" split too when taking a path apart.
constexpr char PathDelim = '/';
bool IsPathDelimiter(char c);
std::string ExtractFileName(const std::string& path);
std::string ExtractFilePath(const std::string& path);  // with trailing separator
std::string ExtractFileDir(const std::string& path);   // without
std::string ExtractFileExt(const std::string& path);   // ".csv", "" when none
std::string ChangeFileExt(const std::string& path, const std::string& ext);
std::string IncludeTrailingPathDelimiter(const std::string& path);
std::string ExcludeTrailingPathDelimiter(const std::string& path);
