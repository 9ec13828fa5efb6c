#include "SysUtils.h"

#include <locale.h>
#include <wctype.h>

#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

#include "CodePage.h"
#include "Exception.h"

namespace {

inline bool IsBlank(unsigned char c) { return c <= ' '; }
inline char UpAscii(char c) { return (c >= 'a' && c <= 'z') ? char(c - 32) : c; }
inline char LowAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }

locale_t CLocale() {
  static locale_t loc = newlocale(LC_ALL_MASK, "C", locale_t(0));
  return loc;
}

locale_t Utf8Locale() {
  static locale_t loc = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    return l ? l : CLocale();
  }();
  return loc;
}

// Digits of value rounded to precision significant digits, trailing zeros
// dropped, and the exponent e with value = 0.d1d2... * 10^e.
int DecimalDigits(double value, int precision, char* digits, int& count) {
  char buf[64];
  // The shortest form that reads back is also the correctly rounded one
  // whenever it has no more digits than asked, and it is much faster.
  auto r = std::to_chars(buf, buf + sizeof(buf), value, std::chars_format::scientific);
  int shortest = 0;
  for (const char* q = buf; q < r.ptr && *q != 'e'; ++q)
    if (*q >= '0' && *q <= '9') ++shortest;
  if (shortest > precision)
    r = std::to_chars(buf, buf + sizeof(buf), value, std::chars_format::scientific, precision - 1);
  const char* p = buf;
  const char* end = r.ptr;
  count = 0;
  while (p < end && *p != 'e') {
    if (*p >= '0' && *p <= '9') digits[count++] = *p;
    ++p;
  }
  int exp10 = 0;
  if (p < end) std::from_chars(p + 1 + (p[1] == '+'), end, exp10);
  while (count > 1 && digits[count - 1] == '0') --count;
  return exp10 + 1;
}

template <typename T>
bool ParseInteger(const std::string& text, T& value) {
  size_t b = 0, e = text.size();
  while (b < e && IsBlank((unsigned char)text[b])) ++b;
  while (e > b && IsBlank((unsigned char)text[e - 1])) --e;
  if (b == e) return false;
  bool neg = false;
  if (text[b] == '-' || text[b] == '+') {
    neg = text[b] == '-';
    ++b;
  }
  int base = 10;
  if (b < e && text[b] == '$') {
    base = 16;
    ++b;
  } else if (e - b > 2 && text[b] == '0' && (text[b + 1] == 'x' || text[b + 1] == 'X')) {
    base = 16;
    b += 2;
  }
  if (b == e) return false;
  using U = std::make_unsigned_t<T>;
  U mag = 0;
  auto r = std::from_chars(text.data() + b, text.data() + e, mag, base);
  if (r.ec != std::errc() || r.ptr != text.data() + e) return false;
  if (base == 16) {
    // Hexadecimal fills the bits as they stand: 0xFFFFFFFF is -1.
    value = T(neg ? U(0) - mag : mag);
    return true;
  }
  constexpr U maxPos = U(std::numeric_limits<T>::max());
  if (neg) {
    if (mag > maxPos + 1) return false;
    value = mag == maxPos + 1 ? std::numeric_limits<T>::min() : T(-T(mag));
  } else {
    if (mag > maxPos) return false;
    value = T(mag);
  }
  return true;
}

std::u16string WideUpper(std::u16string w, bool upper) {
  locale_t loc = Utf8Locale();
  for (char16_t& c : w)
    if (c < 0xD800 || c > 0xDFFF) {
      wint_t m = upper ? towupper_l(wint_t(c), loc) : towlower_l(wint_t(c), loc);
      if (m < 0x10000 && !(m >= 0xD800 && m <= 0xDFFF)) c = char16_t(m);
    }
  return w;
}

std::string AnsiCase(const std::string& s, bool upper) {
  bool ascii = true;
  for (unsigned char c : s)
    if (c >= 0x80) {
      ascii = false;
      break;
    }
  if (ascii) return upper ? UpperCase(s) : LowerCase(s);
  int acp = GetACP();
  return WideToAnsi(WideUpper(AnsiToWide(s, acp), upper), acp);
}

}  // namespace

std::string FloatToStrPrec(double value, int precision, const TFormatSettings& fs) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  if (value == 0) return "0";
  if (precision < 1) precision = 1;
  if (precision > 17) precision = 17;
  // Whole numbers that fit the precision print as integers: the common case
  // in spreadsheets, and far cheaper than the digit generation below.
  if (precision == 15 && std::fabs(value) < 1e15 && value == std::trunc(value)) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof(buf), int64_t(value));
    return std::string(buf, r.ptr);
  }
  char digits[32];
  int count;
  int exp10 = DecimalDigits(std::fabs(value), precision, digits, count);
  char out[64];
  int n = 0;
  if (value < 0) out[n++] = '-';
  if (exp10 > precision || exp10 < -3) {
    out[n++] = digits[0];
    if (count > 1) {
      out[n++] = fs.DecimalSeparator;
      for (int i = 1; i < count; ++i) out[n++] = digits[i];
    }
    out[n++] = 'E';
    int e = exp10 - 1;
    if (e < 0) {
      out[n++] = '-';
      e = -e;
    }
    auto r = std::to_chars(out + n, out + sizeof(out), e);
    n = int(r.ptr - out);
  } else if (exp10 <= 0) {
    out[n++] = '0';
    out[n++] = fs.DecimalSeparator;
    for (int i = exp10; i < 0; ++i) out[n++] = '0';
    for (int i = 0; i < count; ++i) out[n++] = digits[i];
  } else {
    for (int i = 0; i < exp10; ++i) out[n++] = i < count ? digits[i] : '0';
    if (count > exp10) {
      out[n++] = fs.DecimalSeparator;
      for (int i = exp10; i < count; ++i) out[n++] = digits[i];
    }
  }
  return std::string(out, size_t(n));
}

std::string FloatToStr(double value, const TFormatSettings& fs) { return FloatToStrPrec(value, 15, fs); }
std::string FloatToStr(double value) { return FloatToStrPrec(value, 15, DefaultFormatSettings()); }

bool TryStrToFloat(const std::string& s, double& value, const TFormatSettings& fs) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank((unsigned char)s[b])) ++b;
  while (e > b && IsBlank((unsigned char)s[e - 1])) --e;
  if (b == e || e - b > 512) return false;
  std::string t;
  t.reserve(e - b);
  bool neg = false;
  if (s[b] == '+' || s[b] == '-') {
    neg = s[b] == '-';
    ++b;
  }
  bool digit = false, point = false, expo = false;
  for (size_t i = b; i < e; ++i) {
    char c = s[i];
    if (c >= '0' && c <= '9') {
      digit = true;
      t += c;
    } else if (c == fs.DecimalSeparator && !point && !expo) {
      point = true;
      t += '.';
    } else if ((c == 'e' || c == 'E') && digit && !expo) {
      expo = true;
      t += 'e';
      if (i + 1 < e && (s[i + 1] == '+' || s[i + 1] == '-')) t += s[++i];
      if (i + 1 >= e) return false;
    } else {
      return false;
    }
  }
  if (!digit) return false;
  double v = 0;
  auto r = std::from_chars(t.data(), t.data() + t.size(), v, std::chars_format::general);
  if (r.ptr != t.data() + t.size()) return false;
  if (r.ec == std::errc::result_out_of_range) {
    // Underflow reads as 0; overflow is no valid number.
    size_t ep = t.find('e');
    if (ep == std::string::npos || t[ep + 1] != '-') return false;
    v = 0;
  } else if (r.ec != std::errc()) {
    return false;
  }
  value = neg ? -v : v;
  return true;
}

bool TryStrToFloat(const std::string& s, double& value) { return TryStrToFloat(s, value, DefaultFormatSettings()); }

double StrToFloat(const std::string& s, const TFormatSettings& fs) {
  double v;
  if (!TryStrToFloat(s, v, fs)) throw EConvertError("'" + s + "' is not a valid floating point value");
  return v;
}
double StrToFloat(const std::string& s) { return StrToFloat(s, DefaultFormatSettings()); }

double StrToFloatDef(const std::string& s, double def, const TFormatSettings& fs) {
  double v;
  return TryStrToFloat(s, v, fs) ? v : def;
}
double StrToFloatDef(const std::string& s, double def) { return StrToFloatDef(s, def, DefaultFormatSettings()); }

std::string IntToStr(int64_t value) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof(buf), value);
  return std::string(buf, r.ptr);
}

bool TryStrToInt(const std::string& s, int32_t& value) { return ParseInteger(s, value); }
bool TryStrToInt64(const std::string& s, int64_t& value) { return ParseInteger(s, value); }

int32_t StrToInt(const std::string& s) {
  int32_t v;
  if (!ParseInteger(s, v)) throw EConvertError("'" + s + "' is not a valid integer value");
  return v;
}
int32_t StrToIntDef(const std::string& s, int32_t def) {
  int32_t v;
  return ParseInteger(s, v) ? v : def;
}
int64_t StrToInt64(const std::string& s) {
  int64_t v;
  if (!ParseInteger(s, v)) throw EConvertError("'" + s + "' is not a valid integer value");
  return v;
}
int64_t StrToInt64Def(const std::string& s, int64_t def) {
  int64_t v;
  return ParseInteger(s, v) ? v : def;
}

std::string FormatThousands(int64_t value) {
  const std::string digits = std::to_string(value);
  const size_t sign = value < 0 ? 1 : 0;
  std::string out = digits.substr(0, sign);
  for (size_t i = sign; i < digits.size(); ++i) {
    if (i > sign && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string IntToHex(uint64_t value, int digits) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof(buf), value, 16);
  std::string s(buf, r.ptr);
  for (char& c : s) c = UpAscii(c);
  if (digits > 16) digits = 16;
  if (int(s.size()) < digits) s.insert(0, size_t(digits) - s.size(), '0');
  return s;
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank((unsigned char)s[b])) ++b;
  while (e > b && IsBlank((unsigned char)s[e - 1])) --e;
  return s.substr(b, e - b);
}
std::string TrimLeft(const std::string& s) {
  size_t b = 0;
  while (b < s.size() && IsBlank((unsigned char)s[b])) ++b;
  return s.substr(b);
}
std::string TrimRight(const std::string& s) {
  size_t e = s.size();
  while (e > 0 && IsBlank((unsigned char)s[e - 1])) --e;
  return s.substr(0, e);
}

std::string UpperCase(const std::string& s) {
  std::string r(s);
  for (char& c : r) c = UpAscii(c);
  return r;
}
std::string LowerCase(const std::string& s) {
  std::string r(s);
  for (char& c : r) c = LowAscii(c);
  return r;
}
std::string AnsiUpperCase(const std::string& s) { return AnsiCase(s, true); }
std::string AnsiLowerCase(const std::string& s) { return AnsiCase(s, false); }

int CompareText(const std::string& a, const std::string& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    int ca = (unsigned char)UpAscii(a[i]), cb = (unsigned char)UpAscii(b[i]);
    if (ca != cb) return ca - cb;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}
bool SameText(const std::string& a, const std::string& b) { return a.size() == b.size() && CompareText(a, b) == 0; }

std::u16string NameSortKey(const std::string& s) {
  bool ascii = true;
  for (unsigned char c : s)
    if (c >= 0x80) {
      ascii = false;
      break;
    }
  if (ascii) {
    std::u16string k(s.size(), u'\0');
    for (size_t i = 0; i < s.size(); ++i) k[i] = char16_t((unsigned char)UpAscii(s[i]));
    return k;
  }
  return WideUpper(AnsiToWide(s), true);
}

int AnsiCompareText(const std::string& a, const std::string& b) {
  std::u16string wa = WideUpper(AnsiToWide(a), true), wb = WideUpper(AnsiToWide(b), true);
  int c = wa.compare(wb);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}
bool AnsiSameText(const std::string& a, const std::string& b) { return a == b || AnsiCompareText(a, b) == 0; }

bool StartsText(const std::string& prefix, const std::string& s) {
  return prefix.size() <= s.size() && CompareText(prefix, s.substr(0, prefix.size())) == 0;
}
bool EndsText(const std::string& suffix, const std::string& s) {
  return suffix.size() <= s.size() && CompareText(suffix, s.substr(s.size() - suffix.size())) == 0;
}

std::string StringReplaceAll(const std::string& s, const std::string& from, const std::string& to) {
  if (from.empty()) return s;
  std::string r;
  size_t pos = 0;
  for (size_t f; (f = s.find(from, pos)) != std::string::npos; pos = f + from.size()) {
    r.append(s, pos, f - pos);
    r += to;
  }
  r.append(s, pos, std::string::npos);
  return r;
}

std::string Format(const char* fmt, ...) {
  // Numbers in the C form whatever locale the application has set.
  locale_t old = uselocale(CLocale());
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(buf, sizeof(buf), fmt, ap);
  va_end(ap);
  std::string r;
  if (n >= 0 && size_t(n) < sizeof(buf)) {
    r.assign(buf, size_t(n));
  } else if (n >= 0) {
    r.resize(size_t(n) + 1);
    std::vsnprintf(r.data(), r.size(), fmt, ap2);
    r.resize(size_t(n));
  }
  va_end(ap2);
  uselocale(old);
  return r;
}

bool IsPathDelimiter(char c) { return c == '/' || c == '\\' || c == ':'; }

namespace {
size_t LastDelimiter(const std::string& path) {
  for (size_t i = path.size(); i > 0; --i)
    if (IsPathDelimiter(path[i - 1])) return i - 1;
  return std::string::npos;
}
size_t ExtensionDot(const std::string& path) {
  for (size_t i = path.size(); i > 0; --i) {
    char c = path[i - 1];
    if (c == '.') return i - 1;
    if (IsPathDelimiter(c)) break;
  }
  return std::string::npos;
}
}  // namespace

std::string ExtractFileName(const std::string& path) {
  size_t p = LastDelimiter(path);
  return p == std::string::npos ? path : path.substr(p + 1);
}

std::string ExtractFilePath(const std::string& path) {
  size_t p = LastDelimiter(path);
  return p == std::string::npos ? std::string() : path.substr(0, p + 1);
}

std::string ExtractFileDir(const std::string& path) {
  size_t p = LastDelimiter(path);
  if (p == std::string::npos) return std::string();
  // Keep a root ("/", "C:\", "C:") whole.
  if (p == 0 || (p > 0 && path[p - 1] == ':') || path[p] == ':') return path.substr(0, p + 1);
  size_t e = p;
  while (e > 1 && (path[e - 1] == '/' || path[e - 1] == '\\')) --e;  // doubled separators
  return path.substr(0, e);
}

std::string ExtractFileExt(const std::string& path) {
  size_t p = ExtensionDot(path);
  return p == std::string::npos ? std::string() : path.substr(p);
}

std::string ChangeFileExt(const std::string& path, const std::string& ext) {
  size_t p = ExtensionDot(path);
  return (p == std::string::npos ? path : path.substr(0, p)) + ext;
}

std::string IncludeTrailingPathDelimiter(const std::string& path) {
  if (path.empty() || path.back() == '/') return path;
  return path + PathDelim;
}

std::string ExcludeTrailingPathDelimiter(const std::string& path) {
  if (path.size() > 1 && path.back() == '/') return path.substr(0, path.size() - 1);
  return path;
}
