// TQXIOODataStyles: the data styles of an OpenDocument package translated
// into Excel format codes, and the cell styles that show numbers with them.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "CodePage.h"
#include "FormatSettings.h"
#include "QXIOO.h"
#include "QXIXML.h"
#include "SysUtils.h"

namespace {

std::string Attr(const std::u16string& attrs, const char* name) {
  std::u16string v;
  if (!FindXMLAttribute(attrs, name, v)) return std::string();
  DecodeXMLEntitiesInPlace(v);
  return Utf16ToUtf8(v);
}

int32_t IntAttr(const std::u16string& attrs, const char* name, int32_t fallback) {
  const std::string v = Trim(Attr(attrs, name));
  int32_t n;
  // A few digits at most: a format with more is of no use and may be hostile.
  return TryStrToInt(v, n) && n >= 0 ? std::min(n, 30) : fallback;
}

bool IsLongStyle(const std::u16string& attrs) { return Attr(attrs, "number:style") == "long"; }

// Literal text of a format: characters Excel shows as they are stay bare,
// others are quoted.
void AppendLiteral(std::string& code, const std::string& text, bool percentStyle) {
  std::string quoted;
  auto flush = [&] {
    if (quoted.empty()) return;
    code += "\"" + quoted + "\"";
    quoted.clear();
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && percentStyle) {
      flush();
      code += '%';  // the percent sign of a percentage style scales the number
    } else if (std::strchr("$-+/():!^&'~{}<>= ", c) && c != '\0') {
      flush();
      code += c;
    } else if (c == '"') {
      flush();
      code += "\\\"";
    } else {
      quoted += c;
    }
  }
  flush();
}

// "value()>=0" -> ">=0"; empty when the condition is of another form.
std::string Condition(const std::string& condition) {
  std::string c;
  for (char ch : condition)
    if (ch != ' ') c += ch;
  if (c.compare(0, 7, "value()") != 0) return std::string();
  c = c.substr(7);
  if (c.compare(0, 2, "!=") == 0) c = "<>" + c.substr(2);
  if (c.empty() || !std::strchr("<>=", c[0])) return std::string();
  const size_t digits = c.find_first_not_of("<>=");
  if (digits == std::string::npos) return std::string();
  double v;
  if (!TryStrToFloat(c.substr(digits), v, TFormatSettings::UnitedStates())) return std::string();
  return c;
}

// The words a boolean style shows, by the style's language.
std::string BooleanCode(const std::string& language) {
  static const struct { const char* Language; const char* True; const char* False; } words[] = {
      {"cs", "PRAVDA", "NEPRAVDA"}, {"da", "SAND", "FALSK"},       {"de", "WAHR", "FALSCH"},
      {"es", "VERDADERO", "FALSO"}, {"fi", "TOSI", "EPÄTOSI"},     {"fr", "VRAI", "FAUX"},
      {"hu", "IGAZ", "HAMIS"},      {"it", "VERO", "FALSO"},       {"nb", "SANN", "USANN"},
      {"nl", "WAAR", "ONWAAR"},     {"pl", "PRAWDA", "FAŁSZ"},     {"pt", "VERDADEIRO", "FALSO"},
      {"ru", "ИСТИНА", "ЛОЖЬ"},     {"sv", "SANT", "FALSKT"},      {"tr", "DOĞRU", "YANLIŞ"}};
  std::string t = "TRUE", f = "FALSE";
  for (const auto& w : words)
    if (language == w.Language) t = w.True, f = w.False;
  return "\"" + t + "\";\"" + t + "\";\"" + f + "\"";
}

// Day, month and year in the order and with the separator of the reader's
// short date format ("M/d/yyyy": month first, "/").
std::string InLocaleOrder(const std::string& day, const std::string& month, const std::string& year) {
  const TFormatSettings& fs = DefaultFormatSettings();
  const std::string& pattern = fs.ShortDateFormat.empty() ? std::string("M/d/yyyy") : fs.ShortDateFormat;
  std::string code;
  std::string seen;
  for (char ch : pattern) {
    const char k = char(std::tolower(static_cast<unsigned char>(ch)));
    if ((k != 'd' && k != 'm' && k != 'y') || seen.find(k) != std::string::npos) continue;
    seen += k;
    const std::string& part = k == 'd' ? day : k == 'm' ? month : year;
    if (part.empty()) continue;
    if (!code.empty()) code += fs.DateSeparator == '/' || fs.DateSeparator == '-' ? std::string(1, fs.DateSeparator)
                                                                                  : "\"" + std::string(1, fs.DateSeparator) + "\"";
    code += part;
  }
  return code;
}

const char* NamedColor(std::string hex) {
  hex = LowerCase(hex);
  static const std::pair<const char*, const char*> names[] = {
      {"#000000", "[Black]"}, {"#0000ff", "[Blue]"},    {"#00ffff", "[Cyan]"},  {"#00ff00", "[Green]"},
      {"#ff00ff", "[Magenta]"}, {"#ff0000", "[Red]"}, {"#ffffff", "[White]"}, {"#ffff00", "[Yellow]"}};
  for (const auto& [h, name] : names)
    if (hex == h) return name;
  return "";
}

}  // namespace

void TQXIOODataStyles::Clear() {
  FData.clear();
  FCells.clear();
  FOpen = nullptr;
  FOpenName.clear();
  FCodes.clear();
}

bool TQXIOODataStyles::IsDataStyle(const std::string& name) {
  return name == "number:number-style" || name == "number:currency-style" || name == "number:percentage-style" ||
         name == "number:date-style" || name == "number:time-style" || name == "number:boolean-style" ||
         name == "number:text-style";
}

bool TQXIOODataStyles::Open(const std::string& parent, const std::string& name, const std::u16string& value,
                            const std::u16string& attrs) {
  if (FOpen && parent == FOpenName) {
    Element(name, value, attrs);
    return false;
  }
  if (IsDataStyle(name)) {
    if (FData.size() >= MaxStyles) return false;
    TData& d = FData[Attr(attrs, "style:name")];
    d = TData();
    d.Percent = name == "number:percentage-style";
    d.Boolean = name == "number:boolean-style";
    d.Elapsed = name == "number:time-style" && Attr(attrs, "number:truncate-on-overflow") == "false";
    d.AutoOrder = name == "number:date-style" && Attr(attrs, "number:automatic-order") == "true";
    if (d.Boolean) d.BooleanLanguage = Attr(attrs, "number:language");
    FOpen = &d;
    FOpenName = name;
    return true;
  }
  if (name == "style:style" && FCells.size() < MaxStyles) {
    TCellStyle s;
    s.DataStyle = Attr(attrs, "style:data-style-name");
    s.Parent = Attr(attrs, "style:parent-style-name");
    if (!s.DataStyle.empty() || !s.Parent.empty()) FCells[Attr(attrs, "style:name")] = std::move(s);
  }
  return false;
}

void TQXIOODataStyles::Close(const std::string& name) {
  if (FOpen && name == FOpenName) {
    TData& d = *FOpen;
    if (d.AutoOrder && int(!d.Day.empty()) + int(!d.Month.empty()) + int(!d.Year.empty()) >= 2)
      d.Code = InLocaleOrder(d.Day, d.Month, d.Year);
    FOpen = nullptr;
    FOpenName.clear();
    FCodes.clear();
  }
}

void TQXIOODataStyles::Element(const std::string& name, const std::u16string& value, const std::u16string& attrs) {
  TData& d = *FOpen;
  std::string& c = d.Code;
  if (c.size() > 1024) return;  // no real format is longer
  // Another field than day, month and year keeps the style's own order.
  if (name != "number:text" && name != "number:day" && name != "number:month" && name != "number:year" &&
      name != "style:text-properties" && name != "style:map")
    d.AutoOrder = false;
  if (name == "number:number") {
    std::u16string v;
    // Without a number of decimals the number shows as it is.
    if (!FindXMLAttribute(attrs, "number:decimal-places", v)) {
      c += "General";
      return;
    }
    const int32_t decimals = IntAttr(attrs, "number:decimal-places", 0);
    const int32_t minDecimals = std::min(IntAttr(attrs, "number:min-decimal-places", decimals), decimals);
    const int32_t integers = IntAttr(attrs, "number:min-integer-digits", 1);
    std::string whole = integers == 0 ? "#" : std::string(size_t(integers), '0');
    if (Attr(attrs, "number:grouping") == "true") {
      // "#,##0": at least four places, the separator before the last three.
      whole = std::string(size_t(std::max(4 - integers, 0)), '#') + std::string(size_t(integers), '0');
      whole.insert(whole.size() - 3, 1, ',');
    }
    c += whole;
    if (decimals > 0) c += "." + std::string(size_t(minDecimals), '0') + std::string(size_t(decimals - minDecimals), '#');
    // A display factor of 1,000 per comma.
    for (int32_t f = IntAttr(attrs, "number:display-factor", 1); f >= 1000 && f % 1000 == 0; f /= 1000) c += ',';
  } else if (name == "number:scientific-number") {
    const int32_t decimals = IntAttr(attrs, "number:decimal-places", 2);
    const int32_t integers = std::max(IntAttr(attrs, "number:min-integer-digits", 1), 1);
    c += std::string(size_t(integers), '0');
    if (decimals > 0) c += "." + std::string(size_t(decimals), '0');
    c += "E+" + std::string(size_t(std::max(IntAttr(attrs, "number:min-exponent-digits", 2), 1)), '0');
  } else if (name == "number:fraction") {
    std::u16string v;
    if (FindXMLAttribute(attrs, "number:min-integer-digits", v)) {
      const int32_t integers = IntAttr(attrs, "number:min-integer-digits", 0);
      c += (integers == 0 ? std::string("#") : std::string(size_t(integers), '0')) + " ";
    }
    c += std::string(size_t(std::max(IntAttr(attrs, "number:min-numerator-digits", 1), 1)), '?') + "/";
    const int32_t denominator = IntAttr(attrs, "number:denominator-value", 0);
    if (denominator > 0) c += std::to_string(denominator);
    else c += std::string(size_t(std::max(IntAttr(attrs, "number:min-denominator-digits", 1), 1)), '?');
  } else if (name == "number:currency-symbol") {
    std::string symbol = Utf16ToUtf8(DecodeXMLEntities(value));
    symbol.erase(std::remove(symbol.begin(), symbol.end(), ']'), symbol.end());
    c += "[$" + symbol + "]";
  } else if (name == "number:text") {
    AppendLiteral(c, Utf16ToUtf8(DecodeXMLEntities(value)), d.Percent);
  } else if (name == "number:text-content") {
    c += "@";
  } else if (name == "number:boolean") {
    d.Boolean = true;
  } else if (name == "number:day") {
    d.Day = IsLongStyle(attrs) ? "dd" : "d";
    c += d.Day;
  } else if (name == "number:day-of-week") {
    c += IsLongStyle(attrs) ? "dddd" : "ddd";
  } else if (name == "number:month") {
    const bool textual = Attr(attrs, "number:textual") == "true";
    d.Month = textual ? (IsLongStyle(attrs) ? "mmmm" : "mmm") : (IsLongStyle(attrs) ? "mm" : "m");
    c += d.Month;
  } else if (name == "number:year") {
    d.Year = IsLongStyle(attrs) ? "yyyy" : "yy";
    c += d.Year;
  } else if (name == "number:era") {
    c += IsLongStyle(attrs) ? "ggg" : "g";
  } else if (name == "number:hours") {
    const std::string h = IsLongStyle(attrs) ? "hh" : "h";
    c += d.Elapsed && !d.ElapsedDone ? "[" + h + "]" : h;
    d.ElapsedDone = true;
  } else if (name == "number:minutes") {
    const std::string m = IsLongStyle(attrs) ? "mm" : "m";
    c += d.Elapsed && !d.ElapsedDone ? "[" + m + "]" : m;
    d.ElapsedDone = true;
  } else if (name == "number:seconds") {
    c += IsLongStyle(attrs) ? "ss" : "s";
    const int32_t decimals = IntAttr(attrs, "number:decimal-places", 0);
    if (decimals > 0) c += "." + std::string(size_t(std::min(decimals, 3)), '0');
  } else if (name == "number:am-pm") {
    c += "AM/PM";
  } else if (name == "style:text-properties") {
    d.Color = NamedColor(Attr(attrs, "fo:color"));
  } else if (name == "style:map") {
    if (d.Maps.size() < 3) d.Maps.emplace_back(Condition(Attr(attrs, "style:condition")), Attr(attrs, "style:apply-style-name"));
  }
}

std::string TQXIOODataStyles::Section(const TData& d) const {
  if (d.Boolean) return BooleanCode(d.BooleanLanguage);
  return d.Color + (d.Code.empty() ? std::string("General") : d.Code);
}

std::string TQXIOODataStyles::DataStyleCode(const std::string& name) const {
  auto cached = FCodes.find(name);
  if (cached != FCodes.end()) return cached->second;
  auto it = FData.find(name);
  std::string code;
  if (it != FData.end()) {
    const TData& d = it->second;
    const std::string self = Section(d);
    auto mapped = [&](const std::string& style) {
      auto m = FData.find(style);
      return m == FData.end() ? std::string("General") : Section(m->second);
    };
    // Maps with conditions; the ones Excel's sections mean without saying
    // (positive; negative; zero) are written that way.
    std::vector<std::pair<std::string, std::string>> maps;
    for (const auto& [condition, style] : d.Maps)
      if (!condition.empty() && maps.size() < 2) maps.emplace_back(condition, style);
    if (d.Boolean || maps.empty()) {
      code = self;
    } else if (maps.size() == 1 && maps[0].first == ">=0") {
      code = mapped(maps[0].second) + ";" + self;
    } else if (maps.size() == 2 && maps[0].first == ">0" && maps[1].first == "<0") {
      code = mapped(maps[0].second) + ";" + mapped(maps[1].second) + ";" + self;
    } else {
      for (const auto& [condition, style] : maps) code += "[" + condition + "]" + mapped(style) + ";";
      code += self;
    }
  }
  FCodes.emplace(name, code);
  return code;
}

std::string TQXIOODataStyles::CellStyleCode(const std::string& cellStyle) const {
  std::string name = cellStyle;
  // A cell style without a data style of its own takes its parent's.
  for (int depth = 0; depth < 16; ++depth) {
    auto it = FCells.find(name);
    if (it == FCells.end()) return std::string();
    if (!it->second.DataStyle.empty()) return DataStyleCode(it->second.DataStyle);
    if (it->second.Parent.empty() || it->second.Parent == name) return std::string();
    name = it->second.Parent;
  }
  return std::string();
}
