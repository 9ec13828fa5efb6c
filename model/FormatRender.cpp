#include "FormatRender.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "CodePage.h"
#include "FormatRenderNames.h"
#include "QXCells.h"

namespace format_render_detail {

enum TTokenKind : uint8_t {
  tkLiteral,      // Pool[Begin, End)
  tkSpace,        // _x: a blank as wide as x
  tkFill,         // *x: x repeated to the column's width, Pool[Begin, End)
  tkDigit,        // a digit placeholder: Char '0', '#' or '?'
  tkComma,        // grouping or scaling, settled after the section is read
  tkPoint,        // the decimal point
  tkPercent,
  tkExponent,     // E+ or E-: Char '+' or '-'
  tkSlash,        // the fraction bar
  tkDenominator,  // a fixed denominator, Number
  tkText,         // @
  tkGeneral,
  tkYear2, tkYear4, tkBuddhist2, tkBuddhist4,
  tkMonth, tkMonth2, tkMonthAbbr, tkMonthName, tkMonthLetter,
  tkDay, tkDay2, tkDayAbbr, tkDayName,
  tkHour, tkHour2, tkMinute, tkMinute2, tkSecond, tkSecond2,
  tkSecondFraction,  // Count digits
  tkElapsedHours, tkElapsedMinutes, tkElapsedSeconds,  // Count: least digits
  tkAmPm, tkAP,      // Char 'A' or 'a'
  tkDateSep, tkTimeSep,
};

enum TDigitRole : uint8_t { drInteger, drDecimal, drNumerator, drDenominator, drExponent };

struct TToken {
  TTokenKind Kind;
  char Char = 0;
  uint8_t Count = 0;
  TDigitRole Role = drInteger;
  uint32_t Begin = 0, End = 0;
  int64_t Number = 0;
};

enum TSectionKind : uint8_t { skNumber, skScientific, skFraction, skDate, skText, skGeneral };
enum TConditionOp : uint8_t { coNone, coLess, coLessEqual, coGreater, coGreaterEqual, coEqual, coNotEqual };

struct TSection {
  std::vector<TToken> Tokens;
  std::string Pool;
  TSectionKind Kind = skNumber;
  TConditionOp Op = coNone;
  double Operand = 0;
  int32_t Colour = -1;
  const TDateNames* Names = nullptr;  // from a locale tag; nullptr: the settings'
  int IntDigits = 0, DecDigits = 0, ExpDigits = 0, NumDigits = 0, DenDigits = 0;
  std::string DecChars;  // the decimal placeholders, in order
  bool Grouping = false;
  int Scale = 0;  // power of ten: 2 per "%", -3 per scaling comma
  bool HasDigits = false;
  bool HasIntPart = false;  // fractions: a whole part before the fraction
  int64_t FixedDenominator = 0;
  int SecondDecimals = 0;
  bool HasTime = false, TwelveHour = false, Elapsed = false;
};

}  // namespace format_render_detail

using namespace format_render_detail;

namespace {

constexpr int MaxDecimals = 60;
constexpr int MaxFractionDigits = 9;
constexpr int MaxSecondDecimals = 6;
constexpr double FirstDay = -693593;      // 1 January of the year 1
constexpr double DayAfterLast = 2958466;  // 1 January 10000
constexpr double Shift1904 = 1462;

using format_code::Lower;
using format_code::SectionEnd;
using format_code::StartsNoCase;

// Bytes of the UTF-8 sequence that starts at s[i] (1 for a stray byte).
size_t CodePointLength(std::string_view s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  size_t n = c < 0xC0 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
  if (i + n > s.size()) n = s.size() - i;
  for (size_t k = 1; k < n; ++k)
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return k;
  return n;
}

// A section with "A/P" shows the time of day as A or P, though a cell in
// it stays a number.
bool ShowsAP(std::string_view section) {
  for (size_t i = 0; i < section.size(); ++i) {
    const char c = section[i];
    if (c == '"') {
      i = section.find('"', i + 1);
      if (i == std::string_view::npos) return false;
    } else if (c == '\\' || c == '_' || c == '*') {
      ++i;
    } else if (c == '[') {
      i = section.find(']', i + 1);
      if (i == std::string_view::npos) return false;
    } else if ((c == 'a' || c == 'A') && StartsNoCase(section, i, "a/p")) {
      return true;
    }
  }
  return false;
}

int32_t ColourByName(std::string_view name) {
  static const struct { const char* Name; int32_t Rgb; } Named[] = {
      {"black", 0x000000}, {"blue", 0x0000FF}, {"cyan", 0x00FFFF},  {"green", 0x00FF00},
      {"magenta", 0xFF00FF}, {"red", 0xFF0000}, {"white", 0xFFFFFF}, {"yellow", 0xFFFF00}};
  for (const auto& n : Named)
    if (name.size() == std::strlen(n.Name) && StartsNoCase(name, 0, n.Name)) return n.Rgb;
  // The 56 colours of the default palette, by number.
  if (StartsNoCase(name, 0, "color")) {
    std::string_view digits = name.substr(5);
    while (!digits.empty() && digits[0] == ' ') digits.remove_prefix(1);
    int n = 0;
    auto r = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (r.ec == std::errc() && r.ptr == digits.data() + digits.size() && n >= 1 && n <= 56) {
      static const int32_t Palette[56] = {
          0x000000, 0xFFFFFF, 0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00, 0xFF00FF, 0x00FFFF, 0x800000, 0x008000,
          0x000080, 0x808000, 0x800080, 0x008080, 0xC0C0C0, 0x808080, 0x9999FF, 0x993366, 0xFFFFCC, 0xCCFFFF,
          0x660066, 0xFF8080, 0x0066CC, 0xCCCCFF, 0x000080, 0xFF00FF, 0xFFFF00, 0x00FFFF, 0x800080, 0x800000,
          0x008080, 0x0000FF, 0x00CCFF, 0xCCFFFF, 0xCCFFCC, 0xFFFF99, 0x99CCFF, 0xFF99CC, 0xCC99FF, 0xFFCC99,
          0x3366FF, 0x33CCCC, 0x99CC00, 0xFFCC00, 0xFF9900, 0xFF6600, 0x666699, 0x969696, 0x003366, 0x339966,
          0x003300, 0x333300, 0x993300, 0x993366, 0x333399, 0x333333};
      return Palette[n - 1];
    }
  }
  return -1;
}

// ----------------------------------------------------------------- parsing

class TSectionParser {
 public:
  TSectionParser(TSection& section, std::string_view text, bool dateSection)
      : S(section), T(text), Date(dateSection) {}
  void Parse();

 private:
  void Add(TTokenKind kind, char c = 0, uint8_t count = 0) {
    TToken t;
    t.Kind = kind;
    t.Char = c;
    t.Count = count;
    S.Tokens.push_back(t);
  }
  void AddLiteral(std::string_view text) {
    if (text.empty()) return;
    if (!S.Tokens.empty() && S.Tokens.back().Kind == tkLiteral && S.Tokens.back().End == S.Pool.size()) {
      S.Pool += text;
      S.Tokens.back().End = uint32_t(S.Pool.size());
      return;
    }
    TToken t;
    t.Kind = tkLiteral;
    t.Begin = uint32_t(S.Pool.size());
    S.Pool += text;
    t.End = uint32_t(S.Pool.size());
    S.Tokens.push_back(t);
  }
  void Bracket(std::string_view inner);
  bool DateToken(size_t& i);
  void SettleNumber();
  void SettleDate();
  size_t Run(size_t i, char lower) const {
    size_t n = 0;
    while (i + n < T.size() && Lower(T[i + n]) == lower) ++n;
    return n;
  }

  TSection& S;
  std::string_view T;
  bool Date;
};

void TSectionParser::Bracket(std::string_view inner) {
  if (inner.empty()) return;
  if (inner[0] == '$') {
    // [$text-lcid]: a currency text and the locale whose names the section uses.
    std::string_view body = inner.substr(1);
    const size_t dash = body.rfind('-');
    std::string_view text = body;
    if (dash != std::string_view::npos) {
      const std::string_view hex = body.substr(dash + 1);
      uint32_t lcid = 0;
      auto r = std::from_chars(hex.data(), hex.data() + hex.size(), lcid, 16);
      if (!hex.empty() && r.ec == std::errc() && r.ptr == hex.data() + hex.size()) {
        text = body.substr(0, dash);
        if (const TDateNames* names = DateNamesOfLanguage(lcid)) S.Names = names;
      }
    }
    AddLiteral(text);
    return;
  }
  const char first = inner[0];
  if (first == '<' || first == '>' || first == '=') {
    size_t n = 1;
    if (first == '<' && inner.size() > 1 && (inner[1] == '=' || inner[1] == '>')) {
      S.Op = inner[1] == '=' ? coLessEqual : coNotEqual;
      n = 2;
    } else if (first == '>' && inner.size() > 1 && inner[1] == '=') {
      S.Op = coGreaterEqual;
      n = 2;
    } else {
      S.Op = first == '<' ? coLess : first == '>' ? coGreater : coEqual;
    }
    std::string_view number = inner.substr(n);
    while (!number.empty() && number[0] == ' ') number.remove_prefix(1);
    if (!number.empty() && number[0] == '+') number.remove_prefix(1);
    double v = 0;
    auto r = std::from_chars(number.data(), number.data() + number.size(), v);
    if (r.ec != std::errc()) S.Op = coNone;
    S.Operand = v;
    return;
  }
  const char e = Lower(first);
  if ((e == 'h' || e == 'm' || e == 's') && Run(size_t(inner.data() - T.data()), e) == inner.size()) {
    if (Date) {
      Add(e == 'h' ? tkElapsedHours : e == 'm' ? tkElapsedMinutes : tkElapsedSeconds, 0,
          uint8_t(std::min<size_t>(inner.size(), 20)));
      S.Elapsed = S.HasTime = true;
    }
    return;
  }
  const int32_t colour = ColourByName(inner);
  if (colour >= 0) S.Colour = colour;
  // Anything else ([DBNum1], calendars, ...) changes nothing we show.
}

// A date or time code at T[i]; i moves past it.
bool TSectionParser::DateToken(size_t& i) {
  const char c = Lower(T[i]);
  const size_t n = Run(i, c);
  switch (c) {
    case 'y': Add(n <= 2 ? tkYear2 : tkYear4); break;
    case 'e': Add(tkYear4); break;
    case 'b': Add(n <= 2 ? tkBuddhist2 : tkBuddhist4); break;
    case 'g': break;  // era names: the Gregorian calendar has none
    case 'd': Add(n == 1 ? tkDay : n == 2 ? tkDay2 : n == 3 ? tkDayAbbr : tkDayName); break;
    case 'm':
      Add(n == 1 ? tkMonth : n == 2 ? tkMonth2 : n == 3 ? tkMonthAbbr : n == 5 ? tkMonthLetter : tkMonthName);
      break;
    case 'h': Add(n == 1 ? tkHour : tkHour2); S.HasTime = true; break;
    case 's': {
      Add(n == 1 ? tkSecond : tkSecond2);
      S.HasTime = true;
      i += n;
      // ss.000: fractions of a second.
      if (i + 1 < T.size() && T[i] == '.' && T[i + 1] == '0') {
        const size_t zeros = Run(i + 1, '0');
        const int k = int(std::min<size_t>(zeros, MaxSecondDecimals));
        Add(tkSecondFraction, 0, uint8_t(k));
        S.SecondDecimals = std::max(S.SecondDecimals, k);
        i += 1 + zeros;
      }
      return true;
    }
    case 'a':
      if (StartsNoCase(T, i, "am/pm")) {
        Add(tkAmPm);
        S.TwelveHour = true;
        i += 5;
        return true;
      }
      if (StartsNoCase(T, i, "a/p")) {
        Add(tkAP, T[i]);
        S.TwelveHour = true;
        i += 3;
        return true;
      }
      return false;
    default: return false;
  }
  i += n;
  return true;
}

void TSectionParser::Parse() {
  for (size_t i = 0; i < T.size();) {
    const char c = T[i];
    switch (c) {
      case '"': {
        size_t end = T.find('"', i + 1);
        if (end == std::string_view::npos) end = T.size();
        AddLiteral(T.substr(i + 1, end - i - 1));
        i = end + 1;
        continue;
      }
      case '\\':
        if (i + 1 < T.size()) {
          const size_t n = CodePointLength(T, i + 1);
          AddLiteral(T.substr(i + 1, n));
          i += 1 + n;
        } else {
          ++i;
        }
        continue;
      case '_':
        Add(tkSpace);
        i += i + 1 < T.size() ? 1 + CodePointLength(T, i + 1) : 1;
        continue;
      case '*':
        if (i + 1 < T.size()) {
          const size_t n = CodePointLength(T, i + 1);
          TToken t;
          t.Kind = tkFill;
          t.Begin = uint32_t(S.Pool.size());
          S.Pool.append(T.substr(i + 1, n));
          t.End = uint32_t(S.Pool.size());
          S.Tokens.push_back(t);
          i += 1 + n;
        } else {
          ++i;
        }
        continue;
      case '[': {
        const size_t end = T.find(']', i + 1);
        if (end == std::string_view::npos) {
          AddLiteral(T.substr(i));
          i = T.size();
        } else {
          Bracket(T.substr(i + 1, end - i - 1));
          i = end + 1;
        }
        continue;
      }
      case '@': Add(tkText); ++i; continue;
      default: break;
    }
    if (StartsNoCase(T, i, "general")) {
      Add(tkGeneral);
      i += 7;
      continue;
    }
    if (Date) {
      if (std::strchr("ymdhsebgaYMDHSEBGA", c) && DateToken(i)) continue;
      if (c == '/') Add(tkDateSep);
      else if (c == ':') Add(tkTimeSep);
      else {
        const size_t n = CodePointLength(T, i);
        AddLiteral(T.substr(i, n));
        i += n;
        continue;
      }
      ++i;
      continue;
    }
    switch (c) {
      case '0': case '#': case '?': Add(tkDigit, c); ++i; continue;
      case '.': Add(tkPoint); ++i; continue;
      case ',': Add(tkComma); ++i; continue;
      case '%': Add(tkPercent); ++i; continue;
      case 'E': case 'e':
        if (i + 1 < T.size() && (T[i + 1] == '+' || T[i + 1] == '-')) {
          Add(tkExponent, T[i + 1]);
          i += 2;
          continue;
        }
        break;
      case '/': {
        Add(tkSlash);
        ++i;
        // A fixed denominator: digits that do not start with 0.
        if (i < T.size() && T[i] >= '1' && T[i] <= '9') {
          size_t n = 0;
          int64_t den = 0;
          while (i + n < T.size() && T[i + n] >= '0' && T[i + n] <= '9') {
            if (den < 100000000) den = den * 10 + (T[i + n] - '0');
            ++n;
          }
          TToken t;
          t.Kind = tkDenominator;
          t.Number = den;
          S.Tokens.push_back(t);
          i += n;
        }
        continue;
      }
      default: break;
    }
    const size_t n = CodePointLength(T, i);
    AddLiteral(T.substr(i, n));
    i += n;
  }
  if (Date) SettleDate();
  else SettleNumber();
}

// Which letters "m" stand for minutes, and the kind of the section.
void TSectionParser::SettleDate() {
  S.Kind = skDate;
  auto timeOrDate = [](TTokenKind k) {
    return k != tkLiteral && k != tkSpace && k != tkFill && k != tkDateSep && k != tkTimeSep;
  };
  std::vector<TToken>& t = S.Tokens;
  for (size_t k = 0; k < t.size(); ++k) {
    if (t[k].Kind != tkMonth && t[k].Kind != tkMonth2) continue;
    bool minutes = false;
    for (size_t p = k; p-- > 0;)
      if (timeOrDate(t[p].Kind)) {
        minutes = t[p].Kind == tkHour || t[p].Kind == tkHour2 || t[p].Kind == tkElapsedHours;
        break;
      }
    if (!minutes)
      for (size_t q = k + 1; q < t.size(); ++q)
        if (timeOrDate(t[q].Kind)) {
          minutes = t[q].Kind == tkSecond || t[q].Kind == tkSecond2 || t[q].Kind == tkElapsedSeconds;
          break;
        }
    if (minutes) {
      t[k].Kind = t[k].Kind == tkMonth ? tkMinute : tkMinute2;
      S.HasTime = true;
    }
  }
}

// Digit roles, grouping and scaling commas, and the kind of the section.
void TSectionParser::SettleNumber() {
  std::vector<TToken>& t = S.Tokens;
  bool text = false, general = false;
  size_t exponent = t.size(), slash = t.size();
  for (size_t k = 0; k < t.size(); ++k) {
    if (t[k].Kind == tkText) text = true;
    if (t[k].Kind == tkGeneral) general = true;
    if (t[k].Kind == tkExponent && exponent == t.size()) exponent = k;
    if (t[k].Kind == tkSlash && slash == t.size()) slash = k;
  }
  // A fraction bar has a placeholder before it and a placeholder or a number after it.
  if (slash < t.size()) {
    const bool before = slash > 0 && t[slash - 1].Kind == tkDigit;
    const bool after = slash + 1 < t.size() && (t[slash + 1].Kind == tkDigit || t[slash + 1].Kind == tkDenominator);
    if (!before || !after || exponent < t.size()) slash = t.size();
  }
  // Commas: between two whole-number placeholders they group; after the
  // digits they divide by a thousand; anywhere else they are text.
  for (size_t k = 0; k < t.size(); ++k) {
    if (t[k].Kind != tkComma) continue;
    size_t next = k + 1;
    while (next < t.size() && t[next].Kind == tkComma) ++next;
    const bool digitBefore = k > 0 && t[k - 1].Kind == tkDigit;
    const bool digitAfter = next < t.size() && t[next].Kind == tkDigit;
    if (digitBefore && digitAfter && next == k + 1) {
      S.Grouping = true;
      t[k].Kind = tkLiteral, t[k].Begin = t[k].End = 0;  // nothing of its own to show
    } else if (digitBefore && !digitAfter) {
      for (size_t j = k; j < next; ++j) {
        S.Scale -= 3;
        t[j].Kind = tkLiteral, t[j].Begin = t[j].End = 0;
      }
      k = next - 1;
    } else {
      t[k].Kind = tkLiteral;
      t[k].Begin = uint32_t(S.Pool.size());
      S.Pool += ',';
      t[k].End = uint32_t(S.Pool.size());
    }
  }
  // Roles.
  bool point = false;
  size_t numeratorStart = slash;
  if (slash < t.size())
    while (numeratorStart > 0 && t[numeratorStart - 1].Kind == tkDigit) --numeratorStart;
  for (size_t k = 0; k < t.size(); ++k) {
    TToken& x = t[k];
    if (x.Kind == tkPoint) {
      if (point || slash < t.size() || k > exponent) {
        x.Kind = tkLiteral;
        x.Begin = uint32_t(S.Pool.size());
        S.Pool += '.';
        x.End = uint32_t(S.Pool.size());
      }
      point = true;
      continue;
    }
    if (x.Kind == tkPercent) S.Scale += 2;
    if (x.Kind != tkDigit) continue;
    S.HasDigits = true;
    if (k > exponent) {
      x.Role = drExponent;
      ++S.ExpDigits;
    } else if (slash < t.size() && k > slash) {
      x.Role = drDenominator;
      ++S.DenDigits;
    } else if (slash < t.size() && k >= numeratorStart) {
      x.Role = drNumerator;
      ++S.NumDigits;
    } else if (point && slash == t.size()) {
      x.Role = drDecimal;
      ++S.DecDigits;
      S.DecChars += x.Char;
    } else {
      x.Role = drInteger;
      ++S.IntDigits;
    }
  }
  if (slash < t.size()) {
    S.Kind = skFraction;
    S.HasIntPart = S.IntDigits > 0;
    for (const TToken& x : t)
      if (x.Kind == tkDenominator) S.FixedDenominator = std::max<int64_t>(1, x.Number);
  } else if (exponent < t.size()) {
    S.Kind = skScientific;
  } else if (general) {
    S.Kind = skGeneral;
    S.HasDigits = true;
  } else if (text && !S.HasDigits) {
    S.Kind = skText;
  } else {
    S.Kind = skNumber;
  }
}

// ----------------------------------------------------------------- digits

// A number ≥ 0 rounded half away from zero to Decimals places, from its 15
// significant digits as spreadsheets keep them: Int without leading zeros
// (empty for less than 1), Dec exactly the places asked for.
struct TDigits {
  char Int[340];
  int IntLen = 0;
  char Dec[MaxDecimals];
  int DecLen = 0;
  bool Zero() const {
    if (IntLen) return false;
    for (int k = 0; k < DecLen; ++k)
      if (Dec[k] != '0') return false;
    return true;
  }
};

// The 15 significant digits of a > 0 and the power of ten of the first.
int SignificantDigits(double a, char (&mant)[16]) {
  char buf[40];
  auto r = std::to_chars(buf, buf + sizeof buf, a, std::chars_format::scientific, 14);
  int k = 0;
  const char* p = buf;
  for (; p < r.ptr && *p != 'e'; ++p)
    if (*p >= '0' && *p <= '9' && k < 15) mant[k++] = *p;
  while (k < 15) mant[k++] = '0';
  mant[15] = 0;
  int e = 0;
  if (p < r.ptr) std::from_chars(p + (p[1] == '+' ? 2 : 1), r.ptr, e);
  return e;
}

// Rounds the digit string d (n digits, the first the power e) to keep digits;
// returns the new power (one more when rounding carried past the first).
int RoundDigits(const char (&mant)[16], int e, int keep, char* out, int& outLen) {
  outLen = 0;
  if (keep < 0) return e;
  const int have = std::min(keep, 15);
  std::memcpy(out, mant, size_t(have));
  outLen = have;
  if (keep < 15 && mant[keep] >= '5') {
    int k = have - 1;
    while (k >= 0 && out[k] == '9') out[k--] = '0';
    if (k >= 0) {
      ++out[k];
    } else {
      std::memmove(out + 1, out, size_t(have));
      out[0] = '1';
      ++outLen;
      ++e;
    }
  }
  return e;
}

// Most numbers need no digit string: below 1E+10 once scaled, and not within
// 1E-5 of a half, rounding the double agrees with rounding its 15 digits.
bool FastDigits(double a, int decimals, TDigits& d) {
  static const double Powers[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
  if (decimals > 9) return false;
  const double x = a * Powers[decimals];
  if (!(x < 1e10)) return false;
  const double whole = std::floor(x);
  const double rest = x - whole;
  if (std::fabs(rest - 0.5) < 1e-5) return false;
  const uint64_t n = uint64_t(whole) + (rest > 0.5 ? 1 : 0);
  char buf[24];
  const int len = int(std::to_chars(buf, buf + sizeof buf, n).ptr - buf);
  const int intLen = len - decimals;
  d.IntLen = 0;
  if (intLen > 0 && !(intLen == 1 && buf[0] == '0')) {
    std::memcpy(d.Int, buf, size_t(intLen));
    d.IntLen = intLen;
  }
  for (int k = 0; k < decimals; ++k) {
    const int at = intLen + k;
    d.Dec[k] = at >= 0 ? buf[at] : '0';
  }
  return true;
}

void DigitsOf(double a, int decimals, TDigits& d) {
  decimals = std::clamp(decimals, 0, MaxDecimals);
  d.IntLen = 0;
  d.DecLen = decimals;
  std::memset(d.Dec, '0', size_t(decimals));
  if (!(a > 0) || !std::isfinite(a)) return;
  if (FastDigits(a, decimals, d)) return;
  char mant[16];
  int e = SignificantDigits(a, mant);
  char digits[32];
  int len = 0;
  const int keep = e + 1 + decimals;
  if (keep < 0) return;
  if (keep == 0) {
    // Only the rounding digit is left: it rounds to one unit of the last place or to nothing.
    if (mant[0] < '5') return;
    digits[0] = '1';
    len = 1;
    ++e;
  } else {
    e = RoundDigits(mant, e, keep, digits, len);
  }
  // digits[0] has the power e; positions past len are zeros.
  auto digitAt = [&](int power) -> char {
    const int k = e - power;
    return k >= 0 && k < len ? digits[k] : '0';
  };
  if (e >= 0) {
    d.IntLen = std::min(e + 1, int(sizeof d.Int));
    for (int k = 0; k < d.IntLen; ++k) d.Int[k] = digitAt(e - k);
  }
  for (int k = 0; k < decimals; ++k) d.Dec[k] = digitAt(-1 - k);
}

void AppendInt(std::string& out, int64_t v, int width = 1) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v < 0 ? -v : v);
  if (v < 0) out += '-';
  for (int k = int(r.ptr - buf); k < width; ++k) out += '0';
  out.append(buf, r.ptr);
}

// General in at most maxChars characters besides a sign: fixed from 1E-4 to
// below 1E+11 with as many decimals as fit, else scientific; false when
// nothing fits.
bool AppendGeneral(double a, int maxChars, char point, std::string& out) {
  if (a == 0) {
    out += '0';
    return true;
  }
  if (!std::isfinite(a)) return false;
  // Whole numbers, the most common case, without the digit machinery.
  if (a < 1e10 && a == std::floor(a)) {
    char buf[16];
    auto r = std::to_chars(buf, buf + sizeof buf, int64_t(a));
    if (r.ptr - buf <= maxChars) {
      out.append(buf, r.ptr);
      return true;
    }
  }
  // The power of ten of the first digit: counted for the usual range, else from the digit string.
  char mant[16];
  int e;
  bool haveDigits = false;
  if (a >= 1e-4 && a < 1e10) {
    e = a >= 1 ? int(std::to_chars(mant, mant + sizeof mant, uint64_t(a)).ptr - mant) - 1
                : a >= 0.1 ? -1 : a >= 0.01 ? -2 : a >= 0.001 ? -3 : -4;
  } else {
    e = SignificantDigits(a, mant);
    haveDigits = true;
  }
  if (e >= -4 && e <= 10) {
    const int intDigits = std::max(e + 1, 1);
    if (intDigits <= maxChars) {
      TDigits d;
      DigitsOf(a, std::max(0, maxChars - intDigits - 1), d);
      int decLen = d.DecLen;
      while (decLen > 0 && d.Dec[decLen - 1] == '0') --decLen;
      if (d.IntLen <= maxChars && !(d.IntLen == 0 && decLen == 0)) {
        if (d.IntLen) out.append(d.Int, size_t(d.IntLen));
        else out += '0';
        if (decLen) {
          out += point;
          out.append(d.Dec, size_t(decLen));
        }
        return true;
      }
    }
  }
  // d.dddddE+XX
  if (!haveDigits) e = SignificantDigits(a, mant);
  for (int decimals = maxChars - 6; decimals >= -1; --decimals) {
    const int places = std::max(decimals, 0);
    char digits[32];
    int len = 0;
    const int power = RoundDigits(mant, e, 1 + places, digits, len);
    const int expDigits = std::abs(power) >= 100 ? 3 : 2;
    if (1 + (places ? 1 + places : 0) + 2 + expDigits > maxChars) continue;
    while (len > 1 && digits[len - 1] == '0') --len;
    out += digits[0];
    if (len > 1) {
      out += point;
      out.append(digits + 1, size_t(len - 1));
    }
    out += 'E';
    out += power < 0 ? '-' : '+';
    AppendInt(out, std::abs(power), 2);
    return true;
  }
  return false;
}

// The closest fraction p/q to f (0 ≤ f) with q ≤ maxDen.
void BestFraction(double f, int64_t maxDen, int64_t& p, int64_t& q) {
  // Continued fractions with the last semiconvergent, as limit_denominator does.
  int64_t p0 = 0, q0 = 1, p1 = 1, q1 = 0;
  double x = f;
  for (int guard = 0; guard < 64; ++guard) {
    const double a = std::floor(x);
    if (a > 1e15) break;
    if (double(q0) + a * double(q1) > double(maxDen)) break;
    const int64_t ai = int64_t(a);
    const int64_t q2 = q0 + ai * q1;
    const int64_t p2 = p0 + ai * p1;
    p0 = p1, q0 = q1, p1 = p2, q1 = q2;
    const double rest = x - a;
    if (rest < 1e-12) break;
    x = 1 / rest;
  }
  if (q1 == 0) {
    p = int64_t(std::llround(f)), q = 1;
    return;
  }
  const int64_t k = (maxDen - q0) / q1;
  const int64_t pb = p0 + k * p1, qb = q0 + k * q1;
  const double e1 = std::fabs(f - double(p1) / double(q1)), e2 = std::fabs(f - double(pb) / double(qb));
  if (qb > 0 && e2 < e1) p = pb, q = qb;
  else p = p1, q = q1;
}

// Days since 30 December 1899 to a civil date (proleptic Gregorian).
void CivilFromDays(int64_t days, int& year, int& month, int& day) {
  int64_t z = days - 25569 + 719468;  // days since 1 March of the year 0
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = int(doy - (153 * mp + 2) / 5 + 1);
  month = int(mp < 10 ? mp + 3 : mp - 9);
  year = int(yoe + era * 400 + (month <= 2));
}

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

bool Satisfies(const TSection& s, double v) {
  switch (s.Op) {
    case coLess: return v < s.Operand;
    case coLessEqual: return v <= s.Operand;
    case coGreater: return v > s.Operand;
    case coGreaterEqual: return v >= s.Operand;
    case coEqual: return v == s.Operand;
    case coNotEqual: return v != s.Operand;
    case coNone: break;
  }
  return true;
}

// The code as valid UTF-8: a file's bytes that are not become U+FFFD, so
// that no text the renderer writes splits or joins a character.
std::string ValidUtf8(std::string_view code) {
  std::string out;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(code.data());
  const uint8_t* end = p + code.size();
  while (p < end) {
    const char32_t c = *p < 0x80 ? *p++ : NextUtf8CodePoint(p, end);
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | (c >> 6)), out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | (c >> 12)), out += char(0x80 | ((c >> 6) & 0x3F)), out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | (c >> 18)), out += char(0x80 | ((c >> 12) & 0x3F));
      out += char(0x80 | ((c >> 6) & 0x3F)), out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// A regional date or time format (the old runtime's language: n for
// minutes, AMPM) as a format code.
std::string RegionalCode(const std::string& format) {
  std::string code;
  for (size_t i = 0; i < format.size(); ++i) {
    const char c = format[i], l = Lower(c);
    if (c == '"' || c == '\'') {
      const size_t end = format.find(c, i + 1);
      code += '"';
      code.append(format, i + 1, (end == std::string::npos ? format.size() : end) - i - 1);
      code += '"';
      i = end == std::string::npos ? format.size() : end;
    } else if (StartsNoCase(format, i, "ampm") || StartsNoCase(format, i, "am/pm")) {
      code += "AM/PM";
      i += l == 'a' && format.size() > i + 2 && format[i + 2] == '/' ? 4 : 3;
    } else if (l == 'd' || l == 'm' || l == 'y' || l == 'h' || l == 's' || c == '/' || c == ':') {
      code += l;
    } else if (l == 'n') {
      code += 'm';
    } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
      (code += '\\') += c;
    } else {
      code += c;
    }
  }
  return code;
}

// The code Excel shows instead of the one written: built-ins 14 and 22 and
// the [$-F800] and [$-F400] tags follow the regional short date, long date
// and long time. Empty when the code stands.
std::string RegionalSubstitute(std::string_view code, int32_t builtIn, const TFormatSettings& fs) {
  if (builtIn == 14 || builtIn == 22)
    return RegionalCode(fs.ShortDateFormat.empty() ? "M/d/yyyy" : fs.ShortDateFormat) + (builtIn == 22 ? " h:mm" : "");
  for (size_t i = 0; i + 8 <= code.size(); ++i) {
    if (StartsNoCase(code, i, "[$-f800]"))
      return RegionalCode(fs.LongDateFormat.empty() ? "dddd, mmmm d, yyyy" : fs.LongDateFormat);
    if (StartsNoCase(code, i, "[$-f400]"))
      return RegionalCode(fs.LongTimeFormat.empty() ? "h:mm:ss AMPM" : fs.LongTimeFormat);
  }
  return std::string();
}

}  // namespace

// ----------------------------------------------------------------- the code

TDateSystem DateSystemOf(const TNumberFormats& formats) {
  return formats.GregorianDates ? dsGregorian : formats.Date1904 ? dsExcel1904 : dsExcel1900;
}

struct TNumberFormatCode::TChoice {
  const TSection* Section = nullptr;  // nullptr: General
  double Value = 0;                   // the file's number
  bool Negative = false;              // a sign to show before the section
};

TNumberFormatCode::TNumberFormatCode(std::string_view code, const TFormatSettings& settings, int32_t builtIn)
    : FSettings(settings), FNames(std::make_unique<TDateNames>(SettingsDateNames(settings))) {
  std::string own = RegionalSubstitute(code, builtIn, settings);
  if (own.empty() && std::any_of(code.begin(), code.end(), [](char c) { return (unsigned char)c >= 0x80; }))
    own = ValidUtf8(code);
  if (!own.empty()) code = own;
  FDateTime = IsDateTimeKind(ClassifyNumberFormat(code));
  size_t b = 0, e = code.size();
  while (b < e && code[b] == ' ') ++b;
  while (e > b && code[e - 1] == ' ') --e;
  const std::string_view trimmed = code.substr(b, e - b);
  if (trimmed.empty() || (trimmed.size() == 7 && StartsNoCase(trimmed, 0, "general"))) return;
  for (size_t from = 0; FSections.size() < 4;) {
    const size_t end = SectionEnd(code, from);
    const std::string_view text = code.substr(from, end - from);
    const bool date = IsDateTimeKind(ClassifyNumberFormat(text)) || ShowsAP(text);
    FSections.emplace_back();
    TSectionParser(FSections.back(), text, date).Parse();
    if (end >= code.size()) break;
    from = end + 1;
  }
  // The text section: the fourth, or a last one that shows the text.
  const int n = int(FSections.size());
  if (n == 4) FTextSection = 3;
  else if (FSections.back().Kind == skText) FTextSection = n - 1;
  FNumberSections = FTextSection >= 0 ? FTextSection : n;
  for (int k = 0; k < FNumberSections && k < 2; ++k)
    if (FSections[size_t(k)].Op != coNone) FConditional = true;
}

TNumberFormatCode::~TNumberFormatCode() = default;

TNumberFormatCode::TChoice TNumberFormatCode::Choose(double value, TDateSystem dates) const {
  TChoice c;
  // Date-time cells of a 1904 file came in shifted; sections and elapsed times count the file's days.
  c.Value = FDateTime && dates == dsExcel1904 ? value - Shift1904 : value;
  const double v = c.Value;
  const int n = FNumberSections;
  if (n == 0 || std::isnan(v)) {
    c.Negative = v < 0;
    return c;
  }
  const TSection* s = FSections.data();
  if (!FConditional) {
    if (n == 1 || v > 0 || (v == 0 && n == 2)) {
      c.Section = &s[0];
      c.Negative = v < 0;
    } else {
      c.Section = &s[v < 0 ? 1 : 2];
    }
    return c;
  }
  // With conditions the first section shows its sign unless it is the one for negatives.
  const bool first = s[0].Op != coNone ? Satisfies(s[0], v) : (n >= 3 ? v > 0 : v >= 0);
  if (first || n == 1) {
    c.Section = &s[0];
    const bool forNegatives = (s[0].Op == coLess || s[0].Op == coLessEqual) && s[0].Operand == 0;
    c.Negative = first && v < 0 && !forNegatives;
    return c;
  }
  const bool second = s[1].Op != coNone ? Satisfies(s[1], v) : (s[0].Op != coNone || v < 0);
  c.Section = &s[second || n == 2 ? 1 : 2];
  return c;
}

int32_t TNumberFormatCode::Colour(double value, TDateSystem dates) const {
  const TChoice c = Choose(value, dates);
  return c.Section ? c.Section->Colour : -1;
}

void TNumberFormatCode::AppendNumber(double value, TDateSystem dates, std::string& out) const {
  Render(Choose(value, dates), dates, 11, out);
}

size_t TNumberFormatCode::Render(const TChoice& choice, TDateSystem dates, int generalChars, std::string& out) const {
  const char point = FSettings.DecimalSeparator;
  const double v = choice.Value;
  if (!std::isfinite(v)) {
    out += "#NUM!";
    return std::string::npos;
  }
  const size_t start = out.size();
  if (!choice.Section || choice.Section->Kind == skText) {
    if (choice.Negative) out += '-';
    if (!AppendGeneral(std::fabs(v), generalChars, point, out)) out.resize(start);
    return std::string::npos;
  }
  const TSection& s = *choice.Section;
  size_t fill = std::string::npos;
  const std::string& pool = s.Pool;
  auto literal = [&](const TToken& t) -> bool {
    switch (t.Kind) {
      case tkLiteral: out.append(pool, t.Begin, t.End - t.Begin); return true;
      case tkSpace: out += ' '; return true;
      case tkFill: fill = out.size(); return true;
      case tkText: return true;  // a number section shows no text
      default: return false;
    }
  };

  if (s.Kind == skDate) {
    // Round to the last place shown (whole seconds when no fraction is), milliseconds for a date alone.
    const int places = s.HasTime ? s.SecondDecimals : 3;
    int64_t perSecond = 1;
    for (int k = 0; k < places; ++k) perSecond *= 10;
    const int64_t perDay = 86400 * perSecond;
    double days = v + (dates == dsExcel1904 ? Shift1904 : 0);
    if (s.Elapsed ? std::fabs(v) * double(perDay) > 9e18 : !(days >= FirstDay && days < DayAfterLast)) {
      // Beyond the calendar: the number itself.
      if (v < 0) out += '-';
      AppendGeneral(std::fabs(v), generalChars, point, out);
      return std::string::npos;
    }
    // The time from the fraction alone, so that the day's count costs it no precision.
    int64_t day = int64_t(std::floor(days));
    int64_t ofDay = std::llround((days - double(day)) * double(perDay));
    if (ofDay >= perDay) ++day, ofDay -= perDay;
    int64_t second = ofDay / perSecond, fraction = ofDay % perSecond;
    // Elapsed times count the file's own days and show a sign.
    int64_t elapsed = 0;
    if (s.Elapsed) {
      const double whole = std::floor(std::fabs(v));
      const int64_t e = int64_t(whole) * perDay + std::llround((std::fabs(v) - whole) * double(perDay));
      elapsed = e / perSecond;
      second = elapsed % 86400;
      fraction = e % perSecond;
      if (choice.Negative && e != 0) out += '-';
    }
    int year, month, dom;
    if (dates == dsExcel1900 && day >= 0 && day <= 60) {
      // The first two months of 1900 as Excel counts them, 29 February included.
      if (day == 0) year = 1900, month = 1, dom = 0;
      else if (day == 60) year = 1900, month = 2, dom = 29;
      else CivilFromDays(day + 1, year, month, dom);
    } else {
      CivilFromDays(day, year, month, dom);
    }
    const int weekday = int(((day % 7) + 7 + 6) % 7);  // 0 Sunday; day 0 was a Saturday
    const TDateNames& names = s.Names ? *s.Names : *FNames;
    const int hour = int(second / 3600), minute = int(second / 60 % 60), sec = int(second % 60);
    bool elapsedHours = false, elapsedMinutes = false;
    for (const TToken& t : s.Tokens) {
      if (t.Kind == tkElapsedHours) elapsedHours = true;
      if (t.Kind == tkElapsedMinutes) elapsedMinutes = true;
    }
    for (const TToken& t : s.Tokens) {
      if (literal(t)) continue;
      switch (t.Kind) {
        case tkYear2: AppendInt(out, std::abs(year) % 100, 2); break;
        case tkYear4: AppendInt(out, year, 4); break;
        case tkBuddhist2: AppendInt(out, (year + 543) % 100, 2); break;
        case tkBuddhist4: AppendInt(out, year + 543, 4); break;
        case tkMonth: AppendInt(out, month); break;
        case tkMonth2: AppendInt(out, month, 2); break;
        case tkMonthAbbr: out += names.ShortMonths[month - 1]; break;
        case tkMonthName: out += names.LongMonths[month - 1]; break;
        case tkMonthLetter: {
          const std::string_view name = names.LongMonths[month - 1];
          if (!name.empty()) out.append(name.substr(0, CodePointLength(name, 0)));
          break;
        }
        case tkDay: AppendInt(out, dom); break;
        case tkDay2: AppendInt(out, dom, 2); break;
        case tkDayAbbr: out += names.ShortDays[weekday]; break;
        case tkDayName: out += names.LongDays[weekday]; break;
        case tkHour: case tkHour2: {
          const int h = s.TwelveHour ? (hour % 12 == 0 ? 12 : hour % 12) : hour;
          AppendInt(out, h, t.Kind == tkHour2 ? 2 : 1);
          break;
        }
        case tkMinute: case tkMinute2:
          AppendInt(out, elapsedHours || !elapsedMinutes ? minute : int(elapsed / 60), t.Kind == tkMinute2 ? 2 : 1);
          break;
        case tkSecond: case tkSecond2: AppendInt(out, sec, t.Kind == tkSecond2 ? 2 : 1); break;
        case tkSecondFraction: {
          out += point;
          char buf[8];
          int64_t f = fraction;
          for (int k = s.SecondDecimals; k-- > 0;) buf[k] = char('0' + f % 10), f /= 10;
          out.append(buf, size_t(std::min<int>(t.Count, s.SecondDecimals)));
          break;
        }
        case tkElapsedHours: AppendInt(out, elapsed / 3600, t.Count); break;
        case tkElapsedMinutes: AppendInt(out, elapsedHours ? minute : elapsed / 60, t.Count); break;
        case tkElapsedSeconds: AppendInt(out, elapsedHours || elapsedMinutes ? sec : elapsed, t.Count); break;
        case tkAmPm: out += hour < 12 ? names.Am : names.Pm; break;
        case tkAP: out += char((hour < 12 ? 'A' : 'P') + (t.Char == 'a' ? 'a' - 'A' : 0)); break;
        case tkDateSep: out += FSettings.DateSeparator; break;
        case tkTimeSep: out += FSettings.TimeSeparator; break;
        default: break;
      }
    }
    return fill;
  }

  double a = std::fabs(v);
  for (int k = s.Scale; k > 0; --k) a *= 10;
  for (int k = s.Scale; k < 0; ++k) a /= 10;
  const size_t signAt = out.size();
  bool zero = true;  // nothing but zeros shown: no minus sign

  if (s.Kind == skGeneral) {
    for (const TToken& t : s.Tokens)
      if (!literal(t) && t.Kind == tkGeneral) AppendGeneral(a, generalChars, point, out);
    zero = a == 0;
  } else if (s.Kind == skNumber || s.Kind == skScientific) {
    TDigits d;
    int exponent = 0;
    if (s.Kind == skNumber) {
      DigitsOf(a, s.DecDigits, d);
    } else {
      // The mantissa has as many whole digits as the exponent, a multiple of them, leaves.
      const int step = std::clamp(s.IntDigits, 1, 30);
      if (a > 0) {
        char mant[16];
        int e = SignificantDigits(a, mant);
        for (int pass = 0; pass < 2; ++pass) {
          exponent = s.IntDigits ? int(FloorDiv(e, step)) * step : e + 1;
          char digits[32];
          int len = 0;
          const int intLen = e - exponent + 1;
          const int e2 = RoundDigits(mant, e, intLen + std::min(s.DecDigits, MaxDecimals), digits, len);
          if (e2 != e && pass == 0) {
            // Rounding carried into a new digit: place the mantissa again.
            mant[0] = '1';
            std::memset(mant + 1, '0', 14);
            e = e2;
            continue;
          }
          d.IntLen = std::max(intLen, 0);
          for (int k = 0; k < d.IntLen; ++k) d.Int[k] = k < len ? digits[k] : '0';
          d.DecLen = std::min(s.DecDigits, MaxDecimals);
          for (int k = 0; k < d.DecLen; ++k) {
            const int at = intLen + k;
            d.Dec[k] = at >= 0 && at < len ? digits[at] : '0';
          }
          break;
        }
      } else {
        d.DecLen = std::min(s.DecDigits, MaxDecimals);
        std::memset(d.Dec, '0', size_t(d.DecLen));
      }
      if (d.IntLen == 0 && s.IntDigits > 0) d.Int[0] = '0', d.IntLen = 1;
    }
    zero = d.Zero();
    // Decimals shown: trailing zeros under "#" and "?" give way.
    int shown = d.DecLen;
    while (shown > 0 && d.Dec[shown - 1] == '0' && s.DecChars[size_t(shown - 1)] != '0') --shown;
    const char sep = FSettings.ThousandSeparator;
    int intIndex = 0, decIndex = 0;
    bool pointPending = false;  // scientific: the point only when decimals follow
    auto digitsLeftOfPoint = [&](int from, int to) {  // d.Int[from, to), with grouping
      for (int k = from; k < to; ++k) {
        out += d.Int[k];
        const int power = d.IntLen - 1 - k;
        if (s.Grouping && power > 0 && power % 3 == 0) out += sep;
      }
    };
    bool exponentWritten = false;
    for (const TToken& t : s.Tokens) {
      if (literal(t)) continue;
      switch (t.Kind) {
        case tkDigit:
          if (t.Role == drInteger) {
            const int power = s.IntDigits - 1 - intIndex;
            if (intIndex == 0 && d.IntLen > s.IntDigits) digitsLeftOfPoint(0, d.IntLen - s.IntDigits);
            ++intIndex;
            if (power < d.IntLen || t.Char == '0') {
              out += power < d.IntLen ? d.Int[d.IntLen - 1 - power] : '0';
              if (s.Grouping && power > 0 && power % 3 == 0) out += sep;
            } else if (t.Char == '?') {
              out += ' ';
              if (s.Grouping && power > 0 && power % 3 == 0) out += ' ';
            }
          } else if (t.Role == drDecimal) {
            if (decIndex < shown || t.Char == '?') {
              if (pointPending) out += point, pointPending = false;
              out += decIndex < shown ? d.Dec[decIndex] : ' ';
            }
            ++decIndex;
          } else if (t.Role == drExponent && !exponentWritten) {
            AppendInt(out, std::abs(exponent), s.ExpDigits);
            exponentWritten = true;
          }
          break;
        case tkPoint:
          if (s.IntDigits == 0 && d.IntLen > 0) digitsLeftOfPoint(0, d.IntLen);
          // A mantissa keeps its point only when places follow it.
          if (s.Kind == skScientific) pointPending = true;
          else out += point;
          break;
        case tkPercent: out += '%'; break;
        case tkExponent:
          pointPending = false;
          out += 'E';
          if (exponent < 0) out += '-';
          else if (t.Char == '+') out += '+';
          break;
        default: break;
      }
    }
    if (!s.HasDigits) zero = true;
  } else if (s.Kind == skFraction) {
    int64_t whole = 0, p = 0, q = 1;
    if (!(a < 1e15) || a * double(std::max<int64_t>(s.FixedDenominator, 1)) >= 9e18) {
      // Past the whole digits a double holds no fraction is left to show.
      AppendGeneral(a, generalChars, point, out);
      if (choice.Negative) out.insert(signAt, 1, '-');
      return fill;
    }
    if (s.HasIntPart) whole = int64_t(std::floor(a));
    const double f = s.HasIntPart ? a - double(whole) : a;
    if (s.FixedDenominator > 0) {
      // Halves go to the smaller numerator.
      q = s.FixedDenominator;
      p = int64_t(std::ceil(f * double(q) - 0.5));
    } else {
      int64_t maxDen = 1;
      for (int k = 0; k < std::min(s.DenDigits, MaxFractionDigits); ++k) maxDen *= 10;
      BestFraction(f, std::max<int64_t>(maxDen - 1, 1), p, q);
    }
    if (s.HasIntPart && p >= q) whole += p / q, p %= q;
    zero = whole == 0 && p == 0;
    // A fraction of nothing: "?" placeholders leave blanks, "#" ones leave nothing, "0" ones show 0/q.
    bool numeratorZero = false, numeratorBlank = false;
    for (const TToken& t : s.Tokens)
      if (t.Kind == tkDigit && t.Role == drNumerator && t.Char == '0') numeratorZero = true;
    for (const TToken& t : s.Tokens)
      if (t.Kind == tkDigit && t.Role == drNumerator && t.Char == '?') numeratorBlank = true;
    const bool hideFraction = s.HasIntPart && p == 0 && !numeratorZero;
    // A whole part that shows nothing takes the text after it along unless "?" keeps the places.
    bool wholeZero = false;
    for (const TToken& t : s.Tokens)
      if (t.Kind == tkDigit && t.Role == drInteger && t.Char == '0') wholeZero = true;
    const bool hideWhole = s.HasIntPart && whole == 0 && p != 0 && !wholeZero && !numeratorBlank;
    char numBuf[24], denBuf[24];
    const int numLen = int(std::to_chars(numBuf, numBuf + sizeof numBuf, p).ptr - numBuf);
    const int denLen = int(std::to_chars(denBuf, denBuf + sizeof denBuf, q).ptr - denBuf);
    TDigits w;
    if (whole > 0) DigitsOf(double(whole), 0, w);
    else w.IntLen = 0;
    if (whole == 0 && p == 0 && s.HasIntPart) w.Int[0] = '0', w.IntLen = 1;
    int intIndex = 0, numIndex = 0, denIndex = 0;
    bool inFraction = false;
    for (size_t k = 0; k < s.Tokens.size(); ++k) {
      const TToken& t = s.Tokens[k];
      const bool afterWhole = s.HasIntPart && intIndex == s.IntDigits;
      if (afterWhole && t.Kind != tkDigit) inFraction = true;
      if (t.Kind == tkDigit && t.Role != drInteger) inFraction = true;
      if (hideFraction && inFraction && t.Kind != tkFill) {
        // "?" blanks the fraction as wide as it would be (a fixed denominator
        // leaves nothing), "#" drops it.
        if (numeratorBlank) {
          if (t.Kind == tkLiteral)
            out.append(size_t(TextWidth(std::string_view(pool).substr(t.Begin, t.End - t.Begin))), ' ');
          else if (t.Kind == tkSpace || t.Kind == tkSlash || (t.Kind == tkDigit && t.Char != '#')) out += ' ';
        }
        continue;
      }
      if (hideWhole && t.Kind == tkLiteral && intIndex == s.IntDigits && numIndex == 0) continue;
      if (literal(t)) continue;
      switch (t.Kind) {
        case tkDigit:
          if (t.Role == drInteger) {
            const int power = s.IntDigits - 1 - intIndex;
            if (intIndex == 0 && w.IntLen > s.IntDigits) out.append(w.Int, size_t(w.IntLen - s.IntDigits));
            ++intIndex;
            if (power < w.IntLen) out += w.Int[w.IntLen - 1 - power];
            else if (t.Char == '0') out += '0';
            else if (t.Char == '?') out += ' ';
          } else if (t.Role == drNumerator) {
            const int power = s.NumDigits - 1 - numIndex;
            if (numIndex == 0 && numLen > s.NumDigits) out.append(numBuf, size_t(numLen - s.NumDigits));
            ++numIndex;
            if (power < numLen) out += numBuf[numLen - 1 - power];
            else if (t.Char == '0') out += '0';
            else if (t.Char == '?') out += ' ';
          } else if (t.Role == drDenominator) {
            if (denIndex == 0) out.append(denBuf, size_t(denLen));
            if (denIndex >= denLen) {
              if (t.Char == '?') out += ' ';
              else if (t.Char == '0') out += '0';
            }
            ++denIndex;
          }
          break;
        case tkSlash: out += '/'; break;
        case tkDenominator: out.append(denBuf, size_t(denLen)); break;
        case tkPercent: out += '%'; break;
        case tkPoint: out += point; break;
        default: break;
      }
    }
  }
  if (choice.Negative && !zero) out.insert(signAt, 1, '-');
  if (fill != std::string::npos && choice.Negative && !zero) ++fill;
  return fill;
}

void TNumberFormatCode::AppendText(std::string_view text, std::string& out) const {
  if (FTextSection < 0) {
    out += text;
    return;
  }
  const TSection& s = FSections[size_t(FTextSection)];
  for (const TToken& t : s.Tokens) {
    switch (t.Kind) {
      case tkLiteral: out.append(s.Pool, t.Begin, t.End - t.Begin); break;
      case tkSpace: out += ' '; break;
      case tkText: out += text; break;
      default: break;
    }
  }
}

void TNumberFormatCode::AppendNumberInWidth(double value, TDateSystem dates, int32_t width, std::string& out) const {
  const TChoice choice = Choose(value, dates);
  const size_t start = out.size();
  const size_t fill = Render(choice, dates, 11, out);
  int32_t w = TextWidth(std::string_view(out).substr(start));
  if (w <= width) {
    if (fill != std::string::npos && w < width) {
      const TSection& s = *choice.Section;
      for (const TToken& t : s.Tokens)
        if (t.Kind == tkFill) {
          const std::string unit = s.Pool.substr(t.Begin, t.End - t.Begin);
          const int32_t uw = std::max(TextWidth(unit), 1);
          std::string run;
          for (int32_t k = 0; k + uw <= width - w; k += uw) run += unit;
          out.insert(fill, run);
          break;
        }
    }
    return;
  }
  // General gives up decimals, then significant digits, before it gives up.
  const bool general = !choice.Section || choice.Section->Kind == skGeneral || choice.Section->Kind == skText;
  for (int chars = 10; general && chars >= 1; --chars) {
    out.resize(start);
    Render(choice, dates, chars, out);
    if (out.size() > start && TextWidth(std::string_view(out).substr(start)) <= width) return;
  }
  out.resize(start);
  out.append(size_t(std::max(width, 0)), '#');
}

// ----------------------------------------------------------------- the renderer

TNumberFormatRenderer::TNumberFormatRenderer(const TNumberFormats& formats, const TFormatSettings& settings,
                                             TDateSystem dates)
    : FFormats(formats), FSettings(settings), FDates(dates) {
  auto utf8 = [](std::string& s) { s = AnsiToUtf8(s); };
  for (auto& s : FSettings.ShortMonthNames) utf8(s);
  for (auto& s : FSettings.LongMonthNames) utf8(s);
  for (auto& s : FSettings.ShortDayNames) utf8(s);
  for (auto& s : FSettings.LongDayNames) utf8(s);
  utf8(FSettings.TimeAMString);
  utf8(FSettings.TimePMString);
}

TNumberFormatRenderer::~TNumberFormatRenderer() = default;

const TNumberFormatCode& TNumberFormatRenderer::Code(int32_t format) {
  if (format < 0 || format >= FFormats.Count()) format = 0;
  if (size_t(format) >= FCodes.size()) FCodes.resize(size_t(FFormats.Count()));
  std::unique_ptr<TNumberFormatCode>& code = FCodes[size_t(format)];
  if (!code) code = std::make_unique<TNumberFormatCode>(FFormats.Code(format), FSettings, FFormats.BuiltIn(format));
  return *code;
}

std::string TNumberFormatRenderer::Number(double value, int32_t format) {
  std::string out;
  AppendNumber(value, format, out);
  return out;
}

std::string TNumberFormatRenderer::NumberInWidth(double value, int32_t format, int32_t width) {
  std::string out;
  Code(format).AppendNumberInWidth(value, FDates, width, out);
  return out;
}

void TNumberFormatRenderer::AppendBoolean(bool value, int32_t format, std::string& out) {
  if (FDates == dsGregorian && FFormats.Kind(format) != nfGeneral) AppendNumber(value ? 1 : 0, format, out);
  else out += value ? "TRUE" : "FALSE";
}

void TNumberFormatRenderer::AppendCell(const TQXICell& cell, std::string& out) {
  // Error values (the readers' ictUnknown texts) show as they are, whatever the format.
  const int32_t format = cell.CellType() == ictUnknown ? 0 : cell.FormatIndex();
  switch (cell.ValueType()) {
    case TVarType::String: AppendText(AnsiToUtf8(cell.StringValue()), format, out); break;
    case TVarType::WideString: AppendText(Utf16ToUtf8(cell.WideValue()), format, out); break;
    case TVarType::Boolean: AppendBoolean(cell.NumberValue() != 0, format, out); break;
    case TVarType::Integer:
    case TVarType::Float:
    case TVarType::DateTime: AppendNumber(cell.StoredNumber(), cell.FormatIndex(), out); break;
    default: break;
  }
}

int32_t TextWidth(std::string_view utf8) {
  int32_t w = 0;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(utf8.data());
  const uint8_t* end = p + utf8.size();
  while (p < end) {
    if (*p < 0x80) {
      ++p, ++w;
      continue;
    }
    const char32_t c = NextUtf8CodePoint(p, end);
    const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3) ||
                      (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                      (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
    w += wide ? 2 : 1;
  }
  return w;
}
