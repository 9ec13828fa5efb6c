#include "NumberFormats.h"

#include <cctype>

namespace format_code {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool StartsNoCase(std::string_view s, size_t at, std::string_view word) {
  if (s.size() - at < word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i)
    if (Lower(s[at + i]) != word[i]) return false;
  return true;
}

size_t SectionEnd(std::string_view code, size_t from) {
  for (size_t i = from; i < code.size(); ++i) {
    switch (code[i]) {
      case '"': {
        const size_t end = code.find('"', i + 1);
        if (end == std::string_view::npos) return code.size();
        i = end;
        break;
      }
      case '\\': case '_': case '*': ++i; break;
      case '[': {
        const size_t end = code.find(']', i + 1);
        if (end == std::string_view::npos) return code.size();
        i = end;
        break;
      }
      case ';': return i;
      default: break;
    }
  }
  return code.size();
}

}  // namespace format_code

namespace {

using format_code::Lower;
using format_code::SectionEnd;
using format_code::StartsNoCase;

// What one section shows: its date and clock codes, and an unquoted "%".
struct TSectionCodes {
  bool Date = false, Clock = false, Percent = false, Digits = false, At = false, General = false;
};

TSectionCodes ScanSection(std::string_view s) {
  TSectionCodes r;
  // "m" is a month unless it stands after an hour or before a second.
  bool afterHour = false, pendingMonth = false;
  auto settleMonth = [&](bool minutes) {
    if (!pendingMonth) return;
    (minutes ? r.Clock : r.Date) = true;
    pendingMonth = false;
  };
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = Lower(s[i]);
    switch (c) {
      case '"': {
        const size_t end = s.find('"', i + 1);
        i = end == std::string_view::npos ? s.size() : end;
        break;
      }
      case '\\': case '_': case '*': ++i; break;
      case '[': {
        const size_t end = s.find(']', i + 1);
        if (end == std::string_view::npos) return r;
        const std::string_view inner = s.substr(i + 1, end - i - 1);
        // [h], [mm], [ss]: elapsed time; colours, locales and conditions show nothing.
        if (!inner.empty() && inner.find_first_not_of(inner[0]) == std::string_view::npos) {
          const char e = Lower(inner[0]);
          if (e == 'h' || e == 'm' || e == 's') {
            r.Clock = true;
            settleMonth(e == 's');
            afterHour = e == 'h';
          }
        }
        i = end;
        break;
      }
      case 'g':
        if (StartsNoCase(s, i, "general")) {
          i += 6;
          r.General = true;
        } else {
          r.Date = true;  // era
        }
        break;
      case 'y': case 'd': case 'b':
        settleMonth(false);
        r.Date = true;
        afterHour = false;
        break;
      case 'e':
        // Scientific "E+" / "E-"; otherwise the year of an era.
        if (i + 1 < s.size() && (s[i + 1] == '+' || s[i + 1] == '-')) {
          ++i;
        } else {
          r.Date = true;
        }
        break;
      case 'a':
        if (StartsNoCase(s, i, "am/pm")) {
          r.Clock = true;
          i += 4;
        } else if (StartsNoCase(s, i, "a/p")) {
          // Shows "A" or "P" alone: spreadsheet programs keep such a cell a number.
          i += 2;
        } else if (StartsNoCase(s, i, "aaa")) {
          r.Date = true;  // day of the week (East Asian)
          while (i + 1 < s.size() && Lower(s[i + 1]) == 'a') ++i;
        }
        break;
      case 'h':
        settleMonth(false);
        r.Clock = true;
        afterHour = true;
        break;
      case 's':
        settleMonth(true);
        r.Clock = true;
        afterHour = false;
        break;
      case 'm': {
        settleMonth(false);
        size_t n = 1;
        while (i + n < s.size() && Lower(s[i + n]) == 'm') ++n;
        i += n - 1;
        if (n >= 3) {
          r.Date = true;  // a month's name
          afterHour = false;
        } else if (afterHour) {
          r.Clock = true;
          afterHour = false;
        } else {
          pendingMonth = true;
        }
        break;
      }
      case '%': r.Percent = true; break;
      case '@': r.At = true; break;
      case '0': case '#': case '?': r.Digits = true; break;
      default: break;
    }
  }
  settleMonth(false);
  return r;
}

}  // namespace

TNumberFormatKind ClassifyNumberFormat(std::string_view code) {
  size_t b = 0, e = code.size();
  while (b < e && code[b] == ' ') ++b;
  while (e > b && code[e - 1] == ' ') --e;
  code = code.substr(b, e - b);
  if (code.empty() || (code.size() == 7 && StartsNoCase(code, 0, "general"))) return nfGeneral;
  const size_t first = SectionEnd(code, 0);
  const TSectionCodes head = ScanSection(code.substr(0, first));
  if (head.Date || head.Clock) return head.Date && head.Clock ? nfDateTime : head.Date ? nfDate : nfTime;
  if (head.At && !head.Digits && !head.General && first == code.size()) return nfText;
  if (head.General && !head.Digits && !head.Percent) return nfGeneral;
  // Any section that shows numbers may scale them.
  bool percent = head.Percent;
  for (size_t from = first, n = 1; !percent && from < code.size() && n < 3; ++n) {
    const size_t end = SectionEnd(code, from + 1);
    const TSectionCodes s = ScanSection(code.substr(from + 1, end - from - 1));
    percent = s.Percent && !s.At;
    from = end;
  }
  return percent ? nfPercent : nfNumber;
}

std::string_view BuiltInNumberFormat(int32_t id, int codePage) {
  static const char* const Common[50] = {
      "General", "0", "0.00", "#,##0", "#,##0.00", "$#,##0_);($#,##0)", "$#,##0_);[Red]($#,##0)",
      "$#,##0.00_);($#,##0.00)", "$#,##0.00_);[Red]($#,##0.00)", "0%", "0.00%", "0.00E+00", "# ?/?",
      "# ?" "?/?" "?", "m/d/yy", "d-mmm-yy", "d-mmm", "mmm-yy", "h:mm AM/PM", "h:mm:ss AM/PM", "h:mm", "h:mm:ss",
      "m/d/yy h:mm", "", "", "", "", "", "", "", "", "", "", "", "", "", "",
      "#,##0_);(#,##0)", "#,##0_);[Red](#,##0)", "#,##0.00_);(#,##0.00)", "#,##0.00_);[Red](#,##0.00)",
      "_(* #,##0_);_(* (#,##0);_(* \"-\"_);_(@_)", "_($* #,##0_);_($* (#,##0);_($* \"-\"_);_(@_)",
      "_(* #,##0.00_);_(* (#,##0.00);_(* \"-\"?" "?_);_(@_)",
      "_($* #,##0.00_);_($* (#,##0.00);_($* \"-\"?" "?_);_(@_)", "mm:ss", "[h]:mm:ss", "mm:ss.0", "##0.0E+0",
      "@"};
  // 27 to 36, then 50 to 58, by edition.
  static const char* const Japanese[19] = {
      "[$-411]ge.m.d", "[$-411]ggge\"年\"m\"月\"d\"日\"", "[$-411]ggge\"年\"m\"月\"d\"日\"", "m/d/yy",
      "yyyy\"年\"m\"月\"d\"日\"", "h\"時\"mm\"分\"", "h\"時\"mm\"分\"ss\"秒\"", "yyyy\"年\"m\"月\"", "m\"月\"d\"日\"",
      "[$-411]ge.m.d", "[$-411]ge.m.d", "[$-411]ggge\"年\"m\"月\"d\"日\"", "yyyy\"年\"m\"月\"", "m\"月\"d\"日\"",
      "[$-411]ggge\"年\"m\"月\"d\"日\"", "yyyy\"年\"m\"月\"", "m\"月\"d\"日\"", "[$-411]ge.m.d",
      "[$-411]ggge\"年\"m\"月\"d\"日\""};
  static const char* const SimplifiedChinese[19] = {
      "yyyy\"年\"m\"月\"", "m\"月\"d\"日\"", "m\"月\"d\"日\"", "m-d-yy", "yyyy\"年\"m\"月\"d\"日\"",
      "h\"时\"mm\"分\"", "h\"时\"mm\"分\"ss\"秒\"", "上午/下午h\"时\"mm\"分\"", "上午/下午h\"时\"mm\"分\"ss\"秒\"",
      "yyyy\"年\"m\"月\"", "yyyy\"年\"m\"月\"", "m\"月\"d\"日\"", "yyyy\"年\"m\"月\"", "m\"月\"d\"日\"",
      "m\"月\"d\"日\"", "上午/下午h\"时\"mm\"分\"", "上午/下午h\"时\"mm\"分\"ss\"秒\"", "yyyy\"年\"m\"月\"",
      "m\"月\"d\"日\""};
  static const char* const TraditionalChinese[19] = {
      "[$-404]e/m/d", "[$-404]e\"年\"m\"月\"d\"日\"", "[$-404]e\"年\"m\"月\"d\"日\"", "m/d/yy",
      "yyyy\"年\"m\"月\"d\"日\"", "hh\"時\"mm\"分\"", "hh\"時\"mm\"分\"ss\"秒\"", "上午/下午hh\"時\"mm\"分\"",
      "上午/下午hh\"時\"mm\"分\"ss\"秒\"", "[$-404]e/m/d", "[$-404]e/m/d", "[$-404]e\"年\"m\"月\"d\"日\"",
      "上午/下午hh\"時\"mm\"分\"", "上午/下午hh\"時\"mm\"分\"ss\"秒\"", "[$-404]e\"年\"m\"月\"d\"日\"",
      "上午/下午hh\"時\"mm\"分\"", "上午/下午hh\"時\"mm\"分\"ss\"秒\"", "[$-404]e/m/d",
      "[$-404]e\"年\"m\"月\"d\"日\""};
  static const char* const Korean[19] = {
      "yyyy\"年\" mm\"月\" dd\"日\"", "mm-dd", "mm-dd", "mm-dd-yy", "yyyy\"년\" mm\"월\" dd\"일\"", "h\"시\" mm\"분\"",
      "h\"시\" mm\"분\" ss\"초\"", "yyyy-mm-dd", "yyyy-mm-dd", "yyyy\"年\" mm\"月\" dd\"日\"",
      "yyyy\"年\" mm\"月\" dd\"日\"", "mm-dd", "yyyy-mm-dd", "yyyy-mm-dd", "mm-dd", "yyyy-mm-dd", "yyyy-mm-dd",
      "yyyy\"年\" mm\"月\" dd\"日\"", "mm-dd"};
  // 59 to 81; the Thai digits and calendar written with the common codes
  // (b: the Buddhist year).
  static const char* const Thai[23] = {
      "0", "0.00", "#,##0", "#,##0.00", "", "", "", "", "0%", "0.00%", "# ?/?", "# ?" "?/?" "?", "d/m/bbbb",
      "d-mmm-bb", "d-mmm", "mmm-bb", "h:mm", "h:mm:ss", "d/m/bbbb h:mm", "mm:ss", "[h]:mm:ss", "mm:ss.0", "d/m/bb"};
  if (id >= 0 && id < 50 && Common[id][0]) return Common[id];
  const bool eastAsian = (id >= 27 && id <= 36) || (id >= 50 && id <= 58);
  if (eastAsian) {
    const size_t k = size_t(id <= 36 ? id - 27 : id - 50 + 10);
    switch (codePage) {
      case 936: return SimplifiedChinese[k];
      case 950: return TraditionalChinese[k];
      case 949: return Korean[k];
      case 874: return "";
      default: return Japanese[k];
    }
  }
  if (id >= 59 && id <= 81) return Thai[id - 59];
  return "";
}

// ------------------------------------------------------------ the table

TNumberFormats::TNumberFormats() { Clear(); }

void TNumberFormats::Clear() {
  FItems.assign(1, TEntry{"General", 0, nfGeneral});
  FIndex.clear();
  Date1904 = false;
  GregorianDates = false;
}

int32_t TNumberFormats::Add(std::string_view code, int32_t builtIn) {
  if (builtIn < -1 || builtIn > 0xFFFF) builtIn = -1;
  // "General" in any letter case, and nothing at all, is entry 0.
  if (builtIn <= 0 && (code.empty() || (code.size() == 7 && StartsNoCase(code, 0, "general")))) return 0;
  const TNumberFormatKind kind = ClassifyNumberFormat(code);
  std::string key(code);
  key += '\x1F';
  key += std::to_string(builtIn);
  auto it = FIndex.find(key);
  if (it != FIndex.end()) return it->second;
  if (Count() >= MaxFormats) return 0;
  const int32_t index = Count();
  FItems.push_back(TEntry{std::string(code), builtIn, kind});
  FIndex.emplace(std::move(key), index);
  return index;
}
