#include "DateTime.h"

#include <sys/time.h>

#include <cmath>
#include <ctime>

#include "Exception.h"
#include "SysUtils.h"

namespace {

constexpr int kDateDelta = 693594;  // days from 1/1/0001 to 12/30/1899
constexpr int kMinDays = -693593;   // 1/1/0001
constexpr int kMaxDays = 2958465;   // 12/31/9999
const int kMonthDays[2][12] = {{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                               {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};

// Whole days and milliseconds of the day; false outside 0001..9999 or NaN.
bool SplitDateTime(TDateTime dt, int& days, int& msecs) {
  if (!std::isfinite(dt) || dt < kMinDays - 1.0 || dt >= kMaxDays + 1.0) return false;
  double whole = std::trunc(dt);
  long long ms = std::llround(std::fabs(dt - whole) * MSecsPerDay);
  long long d = (long long)whole;
  if (ms >= 86400000) {
    // Rounding reached the next day (in the direction of the sign).
    ms -= 86400000;
    d += dt < 0 ? -1 : 1;
  }
  if (d < kMinDays || d > kMaxDays) return false;
  days = int(d);
  msecs = int(ms);
  return true;
}

void DecodeDays(int days, int& year, int& month, int& day) {
  int t = days + kDateDelta - 1;  // days since 1/1/0001, 0-based
  int y = 1;
  int n400 = t / 146097;
  t %= 146097;
  y += n400 * 400;
  int n100 = t / 36524;
  t %= 36524;
  if (n100 == 4) {
    n100 = 3;
    t += 36524;
  }
  y += n100 * 100;
  int n4 = t / 1461;
  t %= 1461;
  y += n4 * 4;
  int n1 = t / 365;
  t %= 365;
  if (n1 == 4) {
    n1 = 3;
    t += 365;
  }
  y += n1;
  const int* md = kMonthDays[IsLeapYear(y) ? 1 : 0];
  int m = 0;
  while (t >= md[m]) {
    t -= md[m];
    ++m;
  }
  year = y;
  month = m + 1;
  day = t + 1;
}

inline char Lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }

void Append2(std::string& out, int v) {
  out += char('0' + (v / 10) % 10);
  out += char('0' + v % 10);
}
void AppendNum(std::string& out, int v, int minDigits) {
  std::string s = std::to_string(v < 0 ? -v : v);
  if (v < 0) out += '-';
  for (int i = int(s.size()); i < minDigits; ++i) out += '0';
  out += s;
}

bool HasAmPm(const std::string& fmt) {
  for (size_t i = 0; i < fmt.size(); ++i) {
    char c = fmt[i];
    if (c == '"' || c == '\'') {
      size_t e = fmt.find(c, i + 1);
      if (e == std::string::npos) return false;
      i = e;
      continue;
    }
    if (c == 'a' || c == 'A') {
      auto match = [&](const char* p) {
        size_t n = std::char_traits<char>::length(p);
        if (fmt.size() - i < n) return false;
        for (size_t k = 0; k < n; ++k)
          if (Lower(fmt[i + k]) != Lower(p[k])) return false;
        return true;
      };
      if (match("am/pm") || match("a/p") || match("ampm")) return true;
    }
  }
  return false;
}

struct TDateParts {
  int Year, Month, Day, Hour, Min, Sec, MSec, Dow;
};

void FormatInto(std::string& out, const std::string& fmt, const TDateParts& p, TDateTime dt,
                const TFormatSettings& fs, int level);

void AppendShortDate(std::string& out, const TDateParts& p, TDateTime dt, const TFormatSettings& fs, int level) {
  FormatInto(out, fs.ShortDateFormat.empty() ? "m/d/yyyy" : fs.ShortDateFormat, p, dt, fs, level + 1);
}

void FormatInto(std::string& out, const std::string& fmt, const TDateParts& p, TDateTime dt,
                const TFormatSettings& fs, int level) {
  if (level > 2) return;  // formats that name each other cannot loop
  bool twelve = HasAmPm(fmt);
  char lastToken = 0;
  size_t i = 0, n = fmt.size();
  auto count = [&](char c) {
    size_t k = i;
    while (k < n && Lower(fmt[k]) == Lower(c)) ++k;
    return int(k - i);
  };
  auto matchCI = [&](const char* s) {
    size_t len = std::char_traits<char>::length(s);
    if (n - i < len) return false;
    for (size_t k = 0; k < len; ++k)
      if (Lower(fmt[i + k]) != Lower(s[k])) return false;
    return true;
  };
  while (i < n) {
    char c = fmt[i];
    char token = (c >= 'a' && c <= 'z') ? char(c - 32) : c;
    if (token >= 'A' && token <= 'Z') {
      if (token == 'M' && lastToken == 'H') token = 'N';
      lastToken = token;
    }
    switch (token) {
      case 'Y': {
        int k = count(c);
        if (k <= 2) Append2(out, p.Year % 100);
        else AppendNum(out, p.Year, 4);
        i += size_t(k);
        break;
      }
      case 'M': {
        int k = count(c);
        if (k == 1) AppendNum(out, p.Month, 1);
        else if (k == 2) Append2(out, p.Month);
        else if (k == 3) out += fs.ShortMonthNames[p.Month - 1];
        else out += fs.LongMonthNames[p.Month - 1];
        i += size_t(k);
        break;
      }
      case 'D': {
        int k = count(c);
        if (k == 1) AppendNum(out, p.Day, 1);
        else if (k == 2) Append2(out, p.Day);
        else if (k == 3) out += fs.ShortDayNames[p.Dow - 1];
        else if (k == 4) out += fs.LongDayNames[p.Dow - 1];
        else if (k == 5) AppendShortDate(out, p, dt, fs, level);
        else FormatInto(out, fs.LongDateFormat, p, dt, fs, level + 1);
        i += size_t(k);
        break;
      }
      case 'H': {
        int k = count(c);
        int h = p.Hour;
        if (twelve) {
          h %= 12;
          if (h == 0) h = 12;
        }
        if (k == 1) AppendNum(out, h, 1);
        else Append2(out, h);
        i += size_t(std::min(k, 2));
        break;
      }
      case 'N': {
        int k = count(c);
        if (k == 1) AppendNum(out, p.Min, 1);
        else Append2(out, p.Min);
        i += size_t(std::min(k, 2));
        break;
      }
      case 'S': {
        int k = count(c);
        if (k == 1) AppendNum(out, p.Sec, 1);
        else Append2(out, p.Sec);
        i += size_t(std::min(k, 2));
        break;
      }
      case 'Z': {
        int k = count(c);
        AppendNum(out, p.MSec, k >= 3 ? 3 : 1);
        i += size_t(std::min(k, 3));
        break;
      }
      case 'T': {
        int k = count(c);
        FormatInto(out, k == 1 ? fs.ShortTimeFormat : fs.LongTimeFormat, p, dt, fs, level + 1);
        i += size_t(std::min(k, 2));
        break;
      }
      case 'C': {
        AppendShortDate(out, p, dt, fs, level);
        if (p.Hour || p.Min || p.Sec || p.MSec) {
          out += ' ';
          FormatInto(out, fs.LongTimeFormat, p, dt, fs, level + 1);
        }
        ++i;
        break;
      }
      case 'A': {
        bool pm = p.Hour >= 12;
        if (matchCI("am/pm")) {
          // The case of the format picks the case of the output.
          std::string s = pm ? fmt.substr(i + 3, 2) : fmt.substr(i, 2);
          out += s;
          i += 5;
        } else if (matchCI("a/p")) {
          out += pm ? fmt[i + 2] : fmt[i];
          i += 3;
        } else if (matchCI("ampm")) {
          out += pm ? fs.TimePMString : fs.TimeAMString;
          i += 4;
        } else {
          out += c;
          ++i;
        }
        break;
      }
      case '/':
        out += fs.DateSeparator;
        ++i;
        break;
      case ':':
        out += fs.TimeSeparator;
        ++i;
        break;
      case '"':
      case '\'': {
        size_t e = fmt.find(c, i + 1);
        if (e == std::string::npos) e = n;
        out.append(fmt, i + 1, e - i - 1);
        i = e + 1;
        break;
      }
      default:
        out += c;
        ++i;
        break;
    }
  }
}

TDateParts PartsOf(TDateTime dt) {
  TDateParts p{};
  int days, ms;
  if (!SplitDateTime(dt, days, ms)) {
    p.Dow = 1;
    p.Month = 1;
    return p;  // out of range: zeros
  }
  DecodeDays(days, p.Year, p.Month, p.Day);
  p.Hour = ms / 3600000;
  p.Min = ms / 60000 % 60;
  p.Sec = ms / 1000 % 60;
  p.MSec = ms % 1000;
  // 12/30/1899 was a Saturday.
  p.Dow = (((days % 7) + 7 + 6) % 7) + 1;
  return p;
}

// ---- parsing ----

struct TScanner {
  const std::string& S;
  size_t Pos = 0;
  explicit TScanner(const std::string& s) : S(s) {}
  void Blanks() {
    while (Pos < S.size() && (unsigned char)S[Pos] <= ' ') ++Pos;
  }
  bool AtEnd() {
    Blanks();
    return Pos >= S.size();
  }
  // Text of the format such as the "年" in "2024年03月05日" (any non-ASCII run).
  bool Literal() {
    size_t b = Pos;
    while (Pos < S.size() && (unsigned char)S[Pos] >= 0x80) ++Pos;
    return Pos > b;
  }
  bool Number(int& v, int& digits) {
    Blanks();
    size_t b = Pos;
    long long r = 0;
    while (Pos < S.size() && S[Pos] >= '0' && S[Pos] <= '9' && Pos - b < 9) r = r * 10 + (S[Pos++] - '0');
    digits = int(Pos - b);
    if (Pos < S.size() && S[Pos] >= '0' && S[Pos] <= '9') return false;  // too many digits
    v = int(r);
    return digits > 0;
  }
  bool Char(char c) {
    Blanks();
    if (Pos < S.size() && S[Pos] == c) {
      ++Pos;
      return true;
    }
    return false;
  }
  bool TextCI(const std::string& t) {
    Blanks();
    if (t.empty() || S.size() - Pos < t.size()) return false;
    for (size_t k = 0; k < t.size(); ++k)
      if (Lower(S[Pos + k]) != Lower(t[k])) return false;
    Pos += t.size();
    return true;
  }
};

enum class TDateOrder { MDY, DMY, YMD };

TDateOrder OrderOf(const std::string& fmt) {
  for (char c : fmt) {
    char l = char(c | 0x20);
    if (l == 'y') return TDateOrder::YMD;
    if (l == 'm') return TDateOrder::MDY;
    if (l == 'd') return TDateOrder::DMY;
  }
  return TDateOrder::MDY;
}

int CurrentYear() {
  int y, m, d;
  DecodeDate(Date(), y, m, d);
  return y;
}

bool IsDateSep(char c, const TFormatSettings& fs) { return c == fs.DateSeparator || c == '/' || c == '-' || c == '.'; }

bool ScanDate(TScanner& sc, const TFormatSettings& fs, TDateTime& result) {
  int n[3] = {0, 0, 0}, digits[3] = {0, 0, 0};
  int count = 0;
  size_t start = sc.Pos;
  while (count < 3) {
    if (!sc.Number(n[count], digits[count])) break;
    ++count;
    if (count == 3) break;
    sc.Blanks();
    if (sc.Pos < sc.S.size() && IsDateSep(sc.S[sc.Pos], fs)) {
      ++sc.Pos;
    } else if (!sc.Literal()) {
      break;
    }
  }
  if (count < 2) {
    sc.Pos = start;
    return false;
  }
  // A trailing separator ("1.2.2024.") or literal ("05日") is allowed.
  sc.Blanks();
  if (sc.Pos < sc.S.size() && sc.S[sc.Pos] == fs.DateSeparator && fs.DateSeparator != ':') ++sc.Pos;
  sc.Literal();
  TDateOrder order = OrderOf(fs.ShortDateFormat);
  if (digits[0] >= 3) order = TDateOrder::YMD;  // "2024-01-31" reads the same everywhere
  int y, m, d;
  bool yearGiven = true;
  if (count == 2) {
    yearGiven = false;
    y = CurrentYear();
    if (order == TDateOrder::DMY) {
      d = n[0];
      m = n[1];
    } else {
      m = n[0];
      d = n[1];
    }
  } else {
    switch (order) {
      case TDateOrder::MDY: m = n[0]; d = n[1]; y = n[2]; yearGiven = digits[2] > 2; break;
      case TDateOrder::DMY: d = n[0]; m = n[1]; y = n[2]; yearGiven = digits[2] > 2; break;
      default: y = n[0]; m = n[1]; d = n[2]; yearGiven = digits[0] > 2; break;
    }
  }
  if (!yearGiven && count == 3) {
    // Two-digit years fall within 50 years of this one.
    int now = CurrentYear();
    int century = now / 100 * 100;
    y += century;
    if (y > now + 50) y -= 100;
    else if (y <= now - 50) y += 100;
  }
  return TryEncodeDate(y, m, d, result);
}

bool ScanAmPm(TScanner& sc, const TFormatSettings& fs, int& ampm) {
  size_t save = sc.Pos;
  for (const auto& [text, v] : {std::pair<std::string, int>(fs.TimeAMString, 0), {fs.TimePMString, 1},
                                {"AM", 0}, {"PM", 1}, {"A", 0}, {"P", 1}}) {
    sc.Pos = save;
    if (sc.TextCI(text)) {
      ampm = v;
      return true;
    }
  }
  sc.Pos = save;
  return false;
}

bool ScanTime(TScanner& sc, const TFormatSettings& fs, TDateTime& result) {
  int ampm = -1;
  // Some regions write the marker first ("PM 3:05").
  ScanAmPm(sc, fs, ampm);
  int h, m = 0, s = 0, ms = 0, dg;
  if (!sc.Number(h, dg)) return false;
  bool hasMin = false;
  auto separator = [&] {
    return sc.Char(fs.TimeSeparator) || (fs.TimeSeparator != ':' && sc.Char(':')) || sc.Literal();
  };
  if (separator()) {
    if (!sc.Number(m, dg)) return false;
    hasMin = true;
    if (separator()) {
      if (!sc.Number(s, dg)) return false;
      if (sc.Char(fs.DecimalSeparator) || sc.Char('.')) {
        if (!sc.Number(ms, dg)) return false;
        // Fractions of a second: ".5" is 500 ms.
        while (dg < 3) { ms *= 10; ++dg; }
        while (dg > 3) { ms /= 10; --dg; }
      }
    }
  }
  if (hasMin) sc.Literal();  // "09秒"
  if (ampm < 0) ScanAmPm(sc, fs, ampm);
  if (!hasMin && ampm < 0) return false;
  if (ampm >= 0) {
    if (h < 1 || h > 12) return false;
    if (h == 12) h = 0;
    if (ampm == 1) h += 12;
  }
  return TryEncodeTime(h, m, s, ms, result);
}

[[noreturn]] void Invalid(const std::string& s, const char* what) {
  throw EConvertError("'" + s + "' is not a valid " + what);
}

}  // namespace

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
  if (month < 1 || month > 12) return 0;
  return kMonthDays[IsLeapYear(year) ? 1 : 0][month - 1];
}

bool TryEncodeDate(int year, int month, int day, TDateTime& result) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
    return false;
  const int* md = kMonthDays[IsLeapYear(year) ? 1 : 0];
  int d = day;
  for (int i = 0; i < month - 1; ++i) d += md[i];
  int y = year - 1;
  long days = long(y) * 365 + y / 4 - y / 100 + y / 400 + d - kDateDelta;
  result = double(days);
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime r;
  if (!TryEncodeDate(year, month, day, r)) throw EConvertError("Invalid argument to date encode");
  return r;
}

bool TryEncodeTime(int hour, int min, int sec, int msec, TDateTime& result) {
  if (hour < 0 || hour > 23 || min < 0 || min > 59 || sec < 0 || sec > 59 || msec < 0 || msec > 999) return false;
  result = (hour * 3600000.0 + min * 60000.0 + sec * 1000.0 + msec) / MSecsPerDay;
  return true;
}

TDateTime EncodeTime(int hour, int min, int sec, int msec) {
  TDateTime r;
  if (!TryEncodeTime(hour, min, sec, msec, r)) throw EConvertError("Invalid argument to time encode");
  return r;
}

void DecodeDate(TDateTime dt, int& year, int& month, int& day) {
  int days, ms;
  if (!SplitDateTime(dt, days, ms)) {
    year = month = day = 0;
    return;
  }
  DecodeDays(days, year, month, day);
}

void DecodeTime(TDateTime dt, int& hour, int& min, int& sec, int& msec) {
  int days, ms;
  if (!SplitDateTime(dt, days, ms)) {
    hour = min = sec = msec = 0;
    return;
  }
  hour = ms / 3600000;
  min = ms / 60000 % 60;
  sec = ms / 1000 % 60;
  msec = ms % 1000;
}

void DecodeDateTime(TDateTime dt, int& year, int& month, int& day, int& hour, int& min, int& sec, int& msec) {
  DecodeDate(dt, year, month, day);
  DecodeTime(dt, hour, min, sec, msec);
}

int DayOfWeek(TDateTime dt) {
  int days, ms;
  if (!SplitDateTime(dt, days, ms)) return 0;
  return PartsOf(dt).Dow;
}

TDateTime Now() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  time_t t = tv.tv_sec;
  struct tm lt;
  localtime_r(&t, &lt);
  TDateTime d = EncodeDate(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday);
  return d + EncodeTime(lt.tm_hour, lt.tm_min, lt.tm_sec > 59 ? 59 : lt.tm_sec, int(tv.tv_usec / 1000));
}

TDateTime Date() { return std::trunc(Now()); }
TDateTime Time() {
  TDateTime n = Now();
  return n - std::trunc(n);
}

std::string FormatDateTime(const std::string& fmt, TDateTime dt, const TFormatSettings& fs) {
  int days, ms;
  // No calendar date (NaN, beyond 9999): the number itself, so nothing is lost.
  if (!SplitDateTime(dt, days, ms)) return FloatToStr(dt, fs);
  std::string out;
  out.reserve(fmt.size() + 8);
  FormatInto(out, fmt, PartsOf(dt), dt, fs, 0);
  return out;
}
std::string FormatDateTime(const std::string& fmt, TDateTime dt) {
  return FormatDateTime(fmt, dt, DefaultFormatSettings());
}

std::string DateTimeToStr(TDateTime dt, const TFormatSettings& fs) { return FormatDateTime("c", dt, fs); }
std::string DateTimeToStr(TDateTime dt) { return DateTimeToStr(dt, DefaultFormatSettings()); }
std::string DateToStr(TDateTime dt, const TFormatSettings& fs) { return FormatDateTime("ddddd", dt, fs); }
std::string DateToStr(TDateTime dt) { return DateToStr(dt, DefaultFormatSettings()); }
std::string TimeToStr(TDateTime dt, const TFormatSettings& fs) { return FormatDateTime("tt", dt, fs); }
std::string TimeToStr(TDateTime dt) { return TimeToStr(dt, DefaultFormatSettings()); }

bool TryStrToDate(const std::string& s, TDateTime& result, const TFormatSettings& fs) {
  TScanner sc(s);
  TDateTime d;
  if (!ScanDate(sc, fs, d) || !sc.AtEnd()) return false;
  result = d;
  return true;
}
bool TryStrToDate(const std::string& s, TDateTime& result) { return TryStrToDate(s, result, DefaultFormatSettings()); }

bool TryStrToTime(const std::string& s, TDateTime& result, const TFormatSettings& fs) {
  TScanner sc(s);
  TDateTime t;
  if (!ScanTime(sc, fs, t) || !sc.AtEnd()) return false;
  result = t;
  return true;
}
bool TryStrToTime(const std::string& s, TDateTime& result) { return TryStrToTime(s, result, DefaultFormatSettings()); }

bool TryStrToDateTime(const std::string& s, TDateTime& result, const TFormatSettings& fs) {
  TScanner sc(s);
  TDateTime d = 0, t = 0;
  if (ScanDate(sc, fs, d)) {
    if (sc.AtEnd()) {
      result = d;
      return true;
    }
    if (sc.Pos < s.size() && (s[sc.Pos] == 'T' || s[sc.Pos] == 't')) ++sc.Pos;  // ISO 8601 form
    if (!ScanTime(sc, fs, t) || !sc.AtEnd()) return false;
    // Before 1899 the time still counts forward within its day.
    result = d < 0 ? d - t : d + t;
    return true;
  }
  return TryStrToTime(s, result, fs);
}
bool TryStrToDateTime(const std::string& s, TDateTime& result) {
  return TryStrToDateTime(s, result, DefaultFormatSettings());
}

TDateTime StrToDate(const std::string& s, const TFormatSettings& fs) {
  TDateTime r;
  if (!TryStrToDate(s, r, fs)) Invalid(s, "date");
  return r;
}
TDateTime StrToDate(const std::string& s) { return StrToDate(s, DefaultFormatSettings()); }
TDateTime StrToTime(const std::string& s, const TFormatSettings& fs) {
  TDateTime r;
  if (!TryStrToTime(s, r, fs)) Invalid(s, "time");
  return r;
}
TDateTime StrToTime(const std::string& s) { return StrToTime(s, DefaultFormatSettings()); }
TDateTime StrToDateTime(const std::string& s, const TFormatSettings& fs) {
  TDateTime r;
  if (!TryStrToDateTime(s, r, fs)) Invalid(s, "date and time");
  return r;
}
TDateTime StrToDateTime(const std::string& s) { return StrToDateTime(s, DefaultFormatSettings()); }

TDateTime FileDateToDateTime(int32_t fileDate) {
  uint32_t v = uint32_t(fileDate);
  uint32_t date = v >> 16, time = v & 0xFFFF;
  int year = int(date >> 9) + 1980, month = int((date >> 5) & 15), day = int(date & 31);
  int hour = int(time >> 11), min = int((time >> 5) & 63), sec = int(time & 31) * 2;
  TDateTime d, t;
  if (!TryEncodeDate(year, month, day, d) || !TryEncodeTime(hour, min, sec, 0, t))
    throw EConvertError("Invalid file date " + std::to_string(v));
  return d + t;
}

int32_t DateTimeToFileDate(TDateTime dt) {
  int y, mo, d, h, mi, s, ms;
  if (!std::isfinite(dt) || dt < 29221.0) return int32_t((1u << 5 | 1u) << 16);  // 1/1/1980 00:00:00
  DecodeDateTime(dt, y, mo, d, h, mi, s, ms);
  if (y > 2107 || y == 0) {
    y = 2107; mo = 12; d = 31; h = 23; mi = 59; s = 58;
  }
  uint32_t date = uint32_t(y - 1980) << 9 | uint32_t(mo) << 5 | uint32_t(d);
  uint32_t time = uint32_t(h) << 11 | uint32_t(mi) << 5 | uint32_t(s / 2);
  return int32_t(date << 16 | time);
}

bool TryDateTimeToUnix(TDateTime dt, int64_t& unixSeconds) {
  if (!std::isfinite(dt) || dt < -693593 || dt > 2958466) return false;  // years 1 to 9999
  int y, mo, d, h, mi, s, ms;
  DecodeDateTime(dt, y, mo, d, h, mi, s, ms);
  struct tm lt {};
  lt.tm_year = y - 1900;
  lt.tm_mon = mo - 1;
  lt.tm_mday = d;
  lt.tm_hour = h;
  lt.tm_min = mi;
  lt.tm_sec = s;
  lt.tm_isdst = -1;  // the zone's own rule for that day
  const time_t t = mktime(&lt);
  if (t == time_t(-1)) return false;  // also one real second of 1969: no loss worth the doubt
  unixSeconds = int64_t(t);
  return true;
}

TDateTime UnixToDateTime(int64_t unixSeconds) {
  time_t t = time_t(unixSeconds);
  struct tm lt;
  if (!localtime_r(&t, &lt)) return 0;
  TDateTime d;
  if (!TryEncodeDate(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, d)) return 0;
  return d + EncodeTime(lt.tm_hour, lt.tm_min, lt.tm_sec > 59 ? 59 : lt.tm_sec, 0);
}
