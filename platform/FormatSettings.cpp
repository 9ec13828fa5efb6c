#include "FormatSettings.h"

#include "CodePage.h"

#include <langinfo.h>
#include <locale.h>

#include <cstdlib>
#include <atomic>
#include <memory>
#include <vector>
#include <mutex>

namespace {

const char* const kUsShortMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kUsLongMonths[12] = {"January", "February", "March",     "April",   "May",      "June",
                                        "July",    "August",   "September", "October", "November", "December"};
const char* const kUsShortDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kUsLongDays[7] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

// The locale name in effect for one category, as setlocale(cat, "") would pick it.
std::string EnvLocaleName(const char* categoryVar) {
  for (const char* var : {"LC_ALL", categoryVar, "LANG"}) {
    const char* v = std::getenv(var);
    if (v && *v) return v;
  }
  return "C";
}

bool IsCLocale(const std::string& name) {
  return name == "C" || name == "POSIX" || name.rfind("C.", 0) == 0;
}

bool IsUsLocale(const std::string& name) { return name.rfind("en_US", 0) == 0; }

// A locale string comes in the locale's character set; we hold text in the system code page.
std::string LocaleText(nl_item item, locale_t loc) {
  const char* v = nl_langinfo_l(item, loc);
  if (!v) return std::string();
  const char* codeset = nl_langinfo_l(CODESET, loc);
  return BytesToAnsi(std::string(v), CodePageFromCharset(codeset ? codeset : ""));
}

// A separator must be one plain character; anything else takes the fallback.
char SeparatorChar(const std::string& s, char fallback) {
  return s.size() == 1 && (unsigned char)s[0] < 0x80 ? s[0] : fallback;
}

}  // namespace

std::string StrftimeToFormat(const std::string& f, char& dateSep, char& timeSep) {
  std::string out;
  std::string literal;  // pending text between fields
  int lastField = 0;    // 0 none, 1 date, 2 time
  bool sawDateSep = false, sawTimeSep = false;
  auto flushLiteral = [&](int nextField) {
    if (literal.empty()) return;
    // One punctuation character between two fields of one kind is that kind's separator.
    if (literal.size() == 1 && lastField != 0 && lastField == nextField) {
      char c = literal[0];
      bool punct = (unsigned char)c < 0x80 && c != ' ' && !((c | 0x20) >= 'a' && (c | 0x20) <= 'z') &&
                   !(c >= '0' && c <= '9') && c != '"' && c != '\'';
      if (punct && lastField == 1 && (!sawDateSep || c == dateSep)) {
        dateSep = c;
        sawDateSep = true;
        out += '/';
        literal.clear();
        return;
      }
      if (punct && lastField == 2 && (!sawTimeSep || c == timeSep)) {
        timeSep = c;
        sawTimeSep = true;
        out += ':';
        literal.clear();
        return;
      }
    }
    // Anything else is quoted, so letters in it are not read as fields.
    bool plain = true;
    for (char c : literal)
      if (((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || c == '/' || c == ':' || c == '"' || c == '\'') plain = false;
    if (plain) {
      out += literal;
    } else {
      out += '"';
      for (char c : literal)
        if (c != '"') out += c;
      out += '"';
    }
    literal.clear();
  };
  auto field = [&](const char* text, int kind) {
    flushLiteral(kind);
    out += text;
    lastField = kind;
  };
  for (size_t i = 0; i < f.size(); ++i) {
    char c = f[i];
    if (c != '%') {
      literal += c;
      continue;
    }
    if (++i >= f.size()) break;
    // Flags and widths ("%-d", "%Ey", "%Od") change nothing here.
    while (i < f.size() && (f[i] == '-' || f[i] == '_' || f[i] == '0' || f[i] == '^' || f[i] == '#' ||
                            f[i] == 'E' || f[i] == 'O'))
      ++i;
    if (i >= f.size()) break;
    switch (f[i]) {
      case 'd': field("dd", 1); break;
      case 'e': field("d", 1); break;
      case 'm': field("mm", 1); break;
      case 'y': field("yy", 1); break;
      case 'Y': case 'G': field("yyyy", 1); break;
      case 'b': case 'h': field("mmm", 1); break;
      case 'B': field("mmmm", 1); break;
      case 'a': field("ddd", 1); break;
      case 'A': field("dddd", 1); break;
      case 'H': case 'k': case 'I': case 'l': field("hh", 2); break;
      case 'M': field("nn", 2); break;
      case 'S': field("ss", 2); break;
      case 'p': case 'P': field("AMPM", 3); break;
      case 'r': field("hh:nn:ss AMPM", 3); sawTimeSep = true; break;
      case 'T': field("hh:nn:ss", 2); sawTimeSep = true; break;
      case 'R': field("hh:nn", 2); sawTimeSep = true; break;
      case 'D': field("mm/dd/yy", 1); sawDateSep = true; break;
      case 'F': field("yyyy/mm/dd", 1); if (!sawDateSep) dateSep = '-'; sawDateSep = true; break;
      case 'n': case 't': literal += ' '; break;
      case '%': literal += '%'; break;
      default: break;
    }
  }
  flushLiteral(-1);
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

namespace {

std::string ShortFromLongTime(const std::string& longTime) {
  // Drop the seconds with the separator before them ("hh:nn:ss") or the
  // unit word after them (Japanese writes hours, minutes, seconds as words).
  std::string s = longTime;
  size_t p = s.find("ss");
  if (p == std::string::npos) return s;
  size_t start = p, end = p + 2;
  if (start > 0 && s[start - 1] == ':') --start;
  while (end < s.size() && (unsigned char)s[end] >= 0x80) ++end;
  s.erase(start, end - start);
  return s;
}

// Pinned settings are never freed: callers may still hold the reference.
std::atomic<const TFormatSettings*> gDefault{nullptr};
std::once_flag gDefaultOnce;

}  // namespace

TFormatSettings TFormatSettings::UnitedStates() {
  TFormatSettings fs;
  fs.DecimalSeparator = '.';
  fs.ThousandSeparator = ',';
  fs.DateSeparator = '/';
  fs.TimeSeparator = ':';
  fs.ListSeparator = ',';
  fs.ShortDateFormat = "M/d/yyyy";
  fs.LongDateFormat = "dddd, MMMM d, yyyy";
  fs.ShortTimeFormat = "h:mm AMPM";
  fs.LongTimeFormat = "h:mm:ss AMPM";
  fs.TimeAMString = "AM";
  fs.TimePMString = "PM";
  fs.CurrencyString = "$";
  fs.CurrencyFormat = 0;
  fs.NegCurrFormat = 0;
  fs.CurrencyDecimals = 2;
  for (int i = 0; i < 12; ++i) {
    fs.ShortMonthNames[i] = kUsShortMonths[i];
    fs.LongMonthNames[i] = kUsLongMonths[i];
  }
  for (int i = 0; i < 7; ++i) {
    fs.ShortDayNames[i] = kUsShortDays[i];
    fs.LongDayNames[i] = kUsLongDays[i];
  }
  return fs;
}

TFormatSettings TFormatSettings::FromLocale() {
  TFormatSettings fs = UnitedStates();
  std::string numName = EnvLocaleName("LC_NUMERIC");
  std::string timeName = EnvLocaleName("LC_TIME");
  std::string monName = EnvLocaleName("LC_MONETARY");

  if (!IsCLocale(numName)) {
    if (locale_t loc = newlocale(LC_NUMERIC_MASK, numName.c_str(), locale_t(0))) {
      // Multi-byte separators (narrow no-break space) do not fit a char.
      std::string dec = nl_langinfo_l(RADIXCHAR, loc), thou = nl_langinfo_l(THOUSEP, loc);
      fs.DecimalSeparator = SeparatorChar(dec, '.');
      if (thou.empty()) fs.ThousandSeparator = fs.DecimalSeparator == ',' ? '.' : ',';
      else fs.ThousandSeparator = SeparatorChar(thou, fs.DecimalSeparator == ',' ? ' ' : ',');
      fs.ListSeparator = fs.DecimalSeparator == ',' ? ';' : ',';
      freelocale(loc);
    }
  }
  if (!IsCLocale(timeName) && !IsUsLocale(timeName)) {
    if (locale_t loc = newlocale(LC_TIME_MASK | LC_CTYPE_MASK, timeName.c_str(), locale_t(0))) {
      char dateSep = '/', timeSep = ':';
      std::string d = StrftimeToFormat(LocaleText(D_FMT, loc), dateSep, timeSep);
      char dummy = '/';
      std::string t = StrftimeToFormat(LocaleText(T_FMT, loc), dummy, timeSep);
      if (!d.empty()) {
        fs.ShortDateFormat = d;
        fs.DateSeparator = dateSep;
      }
      if (!t.empty()) {
        fs.LongTimeFormat = t;
        fs.ShortTimeFormat = ShortFromLongTime(t);
        fs.TimeSeparator = timeSep;
      }
      fs.LongDateFormat = "d mmmm yyyy";
      fs.TimeAMString = LocaleText(AM_STR, loc);
      fs.TimePMString = LocaleText(PM_STR, loc);
      for (int i = 0; i < 12; ++i) {
        fs.ShortMonthNames[i] = LocaleText(nl_item(ABMON_1 + i), loc);
        fs.LongMonthNames[i] = LocaleText(nl_item(MON_1 + i), loc);
      }
      for (int i = 0; i < 7; ++i) {
        fs.ShortDayNames[i] = LocaleText(nl_item(ABDAY_1 + i), loc);
        fs.LongDayNames[i] = LocaleText(nl_item(DAY_1 + i), loc);
      }
      freelocale(loc);
    }
  }
  if (!IsCLocale(monName) && !IsUsLocale(monName)) {
    if (locale_t loc = newlocale(LC_MONETARY_MASK | LC_CTYPE_MASK, monName.c_str(), locale_t(0))) {
      std::string sym = LocaleText(CURRENCY_SYMBOL, loc);
      if (!sym.empty()) fs.CurrencyString = sym;
      char precedes = *nl_langinfo_l(P_CS_PRECEDES, loc);
      char space = *nl_langinfo_l(P_SEP_BY_SPACE, loc);
      char digits = *nl_langinfo_l(FRAC_DIGITS, loc);
      bool before = precedes == 1;
      bool spaced = space == 1 || space == 2;
      fs.CurrencyFormat = uint8_t(before ? (spaced ? 2 : 0) : (spaced ? 3 : 1));
      fs.NegCurrFormat = uint8_t(before ? (spaced ? 9 : 1) : (spaced ? 8 : 5));
      if (digits >= 0 && digits <= 9) fs.CurrencyDecimals = uint8_t(digits);
      freelocale(loc);
    }
  }
  return fs;
}

const TFormatSettings& DefaultFormatSettings() {
  const TFormatSettings* p = gDefault.load(std::memory_order_acquire);
  if (p) return *p;
  std::call_once(gDefaultOnce, [] {
    static const TFormatSettings fromLocale = TFormatSettings::FromLocale();
    const TFormatSettings* expected = nullptr;
    gDefault.compare_exchange_strong(expected, &fromLocale);
  });
  return *gDefault.load(std::memory_order_acquire);
}

void SetDefaultFormatSettings(const TFormatSettings& fs) {
  static std::mutex lock;
  static std::vector<std::unique_ptr<TFormatSettings>> kept;
  std::lock_guard<std::mutex> g(lock);
  kept.push_back(std::make_unique<TFormatSettings>(fs));
  gDefault.store(kept.back().get(), std::memory_order_release);
}
