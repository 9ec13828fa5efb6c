#include "DestinationOptions.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "CodePage.h"
#include "ExportHandOff.h"
#include "ExportDS.h"
#include "QXE2PDF.h"
#include "QXE2XLS.h"
#include "Exception.h"
#include "IniFile.h"
#include "JobSettingsFile.h"
#include "SysUtils.h"

namespace {

constexpr size_t MaxFileNameBytes = 255;
constexpr size_t MaxSheetPartBytes = 120;


std::u16string WideOf(const std::string& s) {
  try {
    return AnsiToWide(s);
  } catch (const Exception&) {
    return std::u16string(s.begin(), s.end());
  }
}

// The 8-bit text of the longest start of w (whole characters) that takes
// at most limit bytes; a binary search, as captions may be long.
std::string CutToBytes(const std::u16string& w, size_t limit) {
  std::string s = WideToAnsi(w);
  if (s.size() <= limit) return s;
  auto fits = [&](size_t k) { return WideToAnsi(w.substr(0, k)).size() <= limit; };
  size_t lo = 0, hi = w.size();  // fits(lo), !fits(hi)
  while (hi - lo > 1) {
    const size_t mid = lo + (hi - lo) / 2;
    (fits(mid) ? lo : hi) = mid;
  }
  // Never half a surrogate pair.
  if (lo > 0 && w[lo - 1] >= 0xD800 && w[lo - 1] <= 0xDBFF) --lo;
  return WideToAnsi(w.substr(0, lo));
}

bool UnsafeInName(char16_t c) {
  if (c < 0x20 || c == 0x7F) return true;
  switch (c) {
    case u'/': case u'\\': case u':': case u'*': case u'?': case u'"': case u'<': case u'>': case u'|': return true;
    default: return false;
  }
}

template <class E, size_t N>
std::optional<E> ByWord(const std::string& word, const char* const (&words)[N]) {
  const std::string w = Trim(word);
  for (size_t i = 0; i < N; ++i)
    if (SameText(w, words[i])) return E(i);
  return std::nullopt;
}

const char* const QuotingWords[] = {"all", "minimal"};
const char* const LineBreakWords[] = {"crlf", "lf"};
const char* const EncodingWords[] = {"system", "utf-8", "utf-8-bom", "utf-16le"};
const char* const SheetSelectionWords[] = {"all", "first", "mask"};
const char* const CellValuesWords[] = {"auto", "stored", "displayed", "data"};

struct TNamedSeparator {
  const char* Word;
  const char* Separator;
};
const TNamedSeparator NamedSeparators[] = {
    {"comma", ","}, {"semicolon", ";"}, {"tab", "\t"}, {"space", " "}, {"pipe", "|"}};

}  // namespace

void ApplyCleanPreset(TDestinationOptions& options) {
  // The first row names the columns: on every page of a PDF.
  options.Page.Setup.RepeatRows = 1;
  options.Text.Banner = false;
  options.Text.ExtraRowColumn = false;
  options.Text.Quoting = cqMinimal;
  options.Text.Encoding = encUtf8;
  options.Text.Values = cvData;
}

bool IsCleanPreset(const TDestinationOptions& options) {
  return !options.Text.Banner && !options.Text.ExtraRowColumn && options.Text.Quoting == cqMinimal &&
         options.Text.Encoding == encUtf8 && options.Text.Values == cvData;
}

bool OffersWholeWorkbook(int formatIndex) { return formatIndex >= 4 && formatIndex <= 6; }

bool WritesWholeWorkbook(const TDestinationOptions& options, int formatIndex) {
  return options.WholeWorkbook && OffersWholeWorkbook(formatIndex);
}

TQXEPaperSize LocalePaperSize() {
  const char* value = nullptr;
  for (const char* name : {"LC_ALL", "LC_PAPER", "LANG"}) {
    value = std::getenv(name);
    if (value && *value) break;
  }
  const std::string locale = value ? value : "";
  const size_t under = locale.find('_');
  if (under == std::string::npos) return epsLetter;  // C, POSIX: the United States' defaults
  const std::string territory = locale.substr(under + 1, 2);
  return territory == "US" || territory == "CA" ? epsLetter : epsA4;
}

namespace {
const char* const PaperWords[] = {"letter", "a4", "legal", "a3"};
const char* const OrientationWords[] = {"default", "portrait", "landscape", "auto"};
const char* const PageOrderWords[] = {"down", "across"};

// A length as typed ("15mm", "0.5in", "36pt", "2cm", "12"), in points.
std::optional<double> ParseLength(const std::string& text) {
  std::string t = LowerCase(Trim(text));
  double unit = 72.0 / 25.4;
  for (const auto& [suffix, points] : {std::pair<const char*, double>{"mm", 72.0 / 25.4}, {"cm", 72.0 / 2.54},
                                       {"in", 72.0}, {"pt", 1.0}}) {
    const size_t n = std::strlen(suffix);
    if (t.size() > n && t.compare(t.size() - n, n, suffix) == 0) {
      unit = points;
      t = Trim(t.substr(0, t.size() - n));
      break;
    }
  }
  if (t.empty() || t.find_first_not_of("0123456789.") != std::string::npos) return std::nullopt;
  char* end = nullptr;
  const double v = std::strtod(t.c_str(), &end);
  if (end != t.c_str() + t.size() || !(v >= 0) || v * unit > 1000) return std::nullopt;
  return v * unit;
}
}  // namespace

const char* PaperSizeWord(TQXEPaperSize v) { return PaperWords[v]; }
const char* OrientationWord(TQXEOrientation v) { return OrientationWords[v]; }
const char* PageOrderWord(TQXEPageOrder v) { return PageOrderWords[v]; }
std::optional<TQXEPaperSize> ParsePaperSize(const std::string& word) { return ByWord<TQXEPaperSize>(word, PaperWords); }
std::optional<TQXEOrientation> ParseOrientation(const std::string& word) {
  if (SameText(Trim(word), "automatic")) return emAutomatic;
  const auto v = ByWord<TQXEOrientation>(word, OrientationWords);
  return v == emDefault ? std::nullopt : v;
}
std::optional<TQXEPageOrder> ParsePageOrder(const std::string& word) {
  return ByWord<TQXEPageOrder>(word, PageOrderWords);
}

bool ApplyFit(const std::string& text, TQXEPageSetup& setup) {
  std::string t = Trim(text);
  if (SameText(t, "width")) {
    setup.FitToPage = true;
    setup.FitToPagesWide = 1;
    return true;
  }
  if (SameText(t, "none")) t = "100";
  if (!t.empty() && t.back() == '%') t.pop_back();
  if (t.empty() || t.size() > 3 || t.find_first_not_of("0123456789") != std::string::npos) return false;
  const int zoom = std::stoi(t);
  if (zoom < 10 || zoom > 400) return false;
  setup.FitToPage = false;
  setup.Zoom = zoom;
  return true;
}

std::string FitWord(const TQXEPageSetup& setup) {
  if (setup.FitToPage) return "width";
  return setup.Zoom == 100 ? "none" : std::to_string(setup.Zoom);
}

bool ApplyMargins(const std::string& text, TQXEPageSetup& setup) {
  if (SameText(Trim(text), "default")) {
    setup.UseDefault = true;
    return true;
  }
  std::vector<double> sides;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const auto v = ParseLength(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (!v) return false;
    sides.push_back(*v);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (sides.size() != 1 && sides.size() != 4) return false;
  if (sides.size() == 1) sides.assign(4, sides[0]);
  setup.UseDefault = false;
  setup.Measure = emPoint;
  setup.TopMargin = float(sides[0]);
  setup.RightMargin = float(sides[1]);
  setup.BottomMargin = float(sides[2]);
  setup.LeftMargin = float(sides[3]);
  return true;
}

std::string MarginsWord(const TQXEPageSetup& setup) {
  if (setup.UseDefault) return "default";
  std::string out;
  for (const float side : {setup.TopMargin, setup.RightMargin, setup.BottomMargin, setup.LeftMargin}) {
    if (!out.empty()) out += ',';
    char buf[32];
    std::snprintf(buf, sizeof buf, "%gpt", std::round(MarginPoints(side, setup.Measure) * 100) / 100);
    out += buf;
  }
  return out;
}

const char* QuotingWord(TCsvQuoting v) { return QuotingWords[v]; }
const char* LineBreakWord(TLineBreak v) { return LineBreakWords[v]; }
const char* EncodingWord(TTextEncoding v) { return EncodingWords[v]; }
const char* SheetSelectionWord(TSheetSelection v) { return SheetSelectionWords[v]; }
const char* CellValuesWord(TCellValues v) { return CellValuesWords[v]; }

std::optional<TCsvQuoting> ParseQuoting(const std::string& word) {
  if (SameText(Trim(word), "rfc4180")) return cqMinimal;
  return ByWord<TCsvQuoting>(word, QuotingWords);
}
std::optional<TLineBreak> ParseLineBreak(const std::string& word) { return ByWord<TLineBreak>(word, LineBreakWords); }
std::optional<TTextEncoding> ParseEncoding(const std::string& word) {
  const std::string w = Trim(word);
  if (SameText(w, "utf8")) return encUtf8;
  if (SameText(w, "utf8-bom")) return encUtf8Bom;
  if (SameText(w, "utf-16") || SameText(w, "utf16") || SameText(w, "utf16le")) return encUtf16LE;
  return ByWord<TTextEncoding>(w, EncodingWords);
}
std::optional<TSheetSelection> ParseSheetSelection(const std::string& word) {
  return ByWord<TSheetSelection>(word, SheetSelectionWords);
}

std::optional<TCellValues> ParseCellValues(const std::string& word) {
  return ByWord<TCellValues>(word, CellValuesWords);
}

std::optional<std::string> ParseSeparator(const std::string& text) {
  for (const TNamedSeparator& n : NamedSeparators)
    if (SameText(text, n.Word)) return std::string(n.Separator);
  if (text == "\\t") return std::string("\t");
  if (text.empty() || text == "\"" || text.find_first_of("\r\n") != std::string::npos) return std::nullopt;
  if (WideOf(text).size() != 1) return std::nullopt;  // one character, however many bytes
  return text;
}

std::string SeparatorWord(const std::string& separator) {
  if (separator == "\t") return "tab";
  if (separator == " ") return "space";
  return separator;
}

std::string NameTemplateProblem(const std::string& nameTemplate) {
  if (Trim(nameTemplate).empty()) return "the name template is empty";
  bool named = false;
  for (size_t i = 0; i < nameTemplate.size(); ++i) {
    const char c = nameTemplate[i];
    if (c == '/' || uint8_t(c) < 0x20) return "a name template names a file, not a folder: no \"/\" or control characters";
    if (c == '}') {
      if (i + 1 < nameTemplate.size() && nameTemplate[i + 1] == '}') {
        ++i;
        named = true;
        continue;
      }
      return "a \"}\" in the name template closes no field (write \"}}\" for a brace)";
    }
    if (c != '{') {
      if (c != '.') named = true;
      continue;
    }
    if (i + 1 < nameTemplate.size() && nameTemplate[i + 1] == '{') {
      ++i;
      named = true;
      continue;
    }
    const size_t close = nameTemplate.find('}', i);
    if (close == std::string::npos) return "a \"{\" in the name template is not closed";
    const std::string field = nameTemplate.substr(i + 1, close - i - 1);
    if (field != "name" && field != "sheet" && field != "index" && field != "ext")
      return "unknown field {" + field + "} in the name template (fields: {name}, {sheet}, {index}, {ext})";
    if (field != "ext") named = true;
    i = close;
  }
  if (!named) return "the name template gives no name before the extension";
  return std::string();
}

std::string SafeSheetFileName(const std::string& caption, int32_t index) {
  std::u16string w = WideOf(caption);
  for (char16_t& c : w)
    if (UnsafeInName(c)) c = u'_';
  auto edge = [](char16_t c) { return c == u' ' || c == u'.'; };
  size_t b = 0, e = w.size();
  while (b < e && edge(w[b])) ++b;
  while (e > b && edge(w[e - 1])) --e;
  w = w.substr(b, e - b);
  std::string s = CutToBytes(w, MaxSheetPartBytes);
  // Cutting may leave a blank or dot at the end again.
  while (!s.empty() && (s.back() == ' ' || s.back() == '.')) s.pop_back();
  return s.empty() ? "Sheet" + std::to_string(index) : s;
}

std::string ExpandNameTemplate(const std::string& nameTemplate, const std::string& name, const std::string& sheet,
                               int32_t index, const std::string& ext) {
  // What stands before the first {ext}, and what follows each {ext}: the
  // extension is kept apart so that cutting the name never cuts it.
  std::string stem;
  std::vector<std::string> tails;
  auto out = [&]() -> std::string& { return tails.empty() ? stem : tails.back(); };
  for (size_t i = 0; i < nameTemplate.size(); ++i) {
    const char c = nameTemplate[i];
    if ((c == '{' || c == '}') && i + 1 < nameTemplate.size() && nameTemplate[i + 1] == c) {
      out() += c;
      ++i;
      continue;
    }
    const size_t close = c == '{' ? nameTemplate.find('}', i) : std::string::npos;
    if (close == std::string::npos) {
      // What no field is stays as written, but never as a path.
      out() += c == '/' || uint8_t(c) < 0x20 ? '_' : c;
      continue;
    }
    const std::string field = nameTemplate.substr(i + 1, close - i - 1);
    if (field == "name") out() += name;
    else if (field == "sheet") out() += SafeSheetFileName(sheet, index);
    else if (field == "index") out() += std::to_string(index);
    else if (field == "ext") tails.emplace_back();
    else out() += nameTemplate.substr(i, close - i + 1);
    i = close;
  }
  if (tails.empty()) tails.emplace_back();
  size_t fixed = 0;
  for (const std::string& t : tails) fixed += t.size() + ext.size();
  std::string result;
  if (stem.size() + fixed <= MaxFileNameBytes) {
    result = stem;
    for (const std::string& t : tails) result += ext + t;
  } else if (fixed + 1 <= MaxFileNameBytes) {
    // The name before the first extension gives way.
    result = CutToBytes(WideOf(stem), MaxFileNameBytes - fixed);
    for (const std::string& t : tails) result += ext + t;
  } else {
    // Long texts after the extension too: everything before the last
    // extension and what follows it share the room.
    std::string head = stem, last = tails.back();
    for (size_t k = 0; k + 1 < tails.size(); ++k) head += ext + tails[k];
    const size_t room = MaxFileNameBytes > ext.size() ? MaxFileNameBytes - ext.size() : 0;
    last = CutToBytes(WideOf(last), room / 2);
    head = CutToBytes(WideOf(head), room - last.size());
    result = head + ext + last;
  }
  for (char& ch : result)
    if (ch == '/') ch = '_';  // a name given with a "/" in it
  // "." and ".." are no file names.
  if (result.find_first_not_of('.') == std::string::npos) result = "_" + result;
  return result;
}

namespace {

// The template's fields in order, for the analyses below: the literal text
// between them (as ExpandNameTemplate writes it) and the field's name.
struct TTemplatePiece {
  std::string Literal;
  std::string Field;  // "" after the last field
};

std::vector<TTemplatePiece> TemplatePieces(const std::string& nameTemplate) {
  std::vector<TTemplatePiece> pieces(1);
  for (size_t i = 0; i < nameTemplate.size(); ++i) {
    const char c = nameTemplate[i];
    if ((c == '{' || c == '}') && i + 1 < nameTemplate.size() && nameTemplate[i + 1] == c) {
      pieces.back().Literal += c;
      ++i;
      continue;
    }
    const size_t close = c == '{' ? nameTemplate.find('}', i) : std::string::npos;
    if (close == std::string::npos) {
      pieces.back().Literal += c == '/' || uint8_t(c) < 0x20 ? '_' : c;
      continue;
    }
    const std::string field = nameTemplate.substr(i + 1, close - i - 1);
    if (field == "name" || field == "sheet" || field == "index" || field == "ext") {
      pieces.back().Field = field;
      pieces.emplace_back();
    } else {
      pieces.back().Literal += nameTemplate.substr(i, close - i + 1);
    }
    i = close;
  }
  return pieces;
}

bool Variable(const std::string& field) { return field == "sheet" || field == "index"; }

}  // namespace

std::string NameTemplateFixedStart(const std::string& nameTemplate, const std::string& name, const std::string& ext) {
  const std::vector<TTemplatePiece> pieces = TemplatePieces(nameTemplate);
  std::string start;
  size_t next = 0;  // the piece after the fixed start
  bool variable = false;
  for (; next < pieces.size() && !variable; ++next) {
    start += pieces[next].Literal;
    const std::string& f = pieces[next].Field;
    if (f == "name") start += name;
    else if (f == "ext") start += ext;
    variable = Variable(f);
  }
  // A fallback goes before the last dot: is there always one after the start?
  const bool dotted = ext.find('.') != std::string::npos;
  bool hasExt = false, dotAfter = false;
  for (size_t k = 0; k < pieces.size(); ++k) {
    hasExt = hasExt || pieces[k].Field == "ext";
    if (variable && k >= next)
      dotAfter = dotAfter || pieces[k].Literal.find('.') != std::string::npos || (pieces[k].Field == "ext" && dotted);
  }
  if (!hasExt && dotted) dotAfter = dotAfter || variable;  // the extension goes at the end
  if (!variable) start = ExpandNameTemplate(nameTemplate, name, std::string(), 1, ext);
  if (!dotAfter) {
    const size_t dot = start.rfind('.');
    if (dot != std::string::npos) start.resize(dot);
  }
  // What a cut to the longest file name keeps of the text before the first
  // {ext}: the bytes that fields and text after it (at most) leave.
  size_t after = 0;
  bool pastExt = false;
  for (const TTemplatePiece& p : pieces) {
    if (pastExt) after += p.Literal.size();
    if (p.Field == "ext") {
      after += ext.size();
      pastExt = true;
    } else if (pastExt) {
      after += p.Field == "name" ? name.size() : p.Field == "sheet" ? MaxSheetPartBytes : p.Field == "index" ? 11 : 0;
    }
  }
  if (!hasExt) after += ext.size();
  // Less a character's bytes: the cut never splits one.
  const size_t kept = after + 1 <= MaxFileNameBytes ? MaxFileNameBytes - after : 0;
  if (start.size() > kept) start.resize(kept > 4 ? kept - 4 : 0);
  return start;
}

bool NameTemplateStartsWithName(const std::string& nameTemplate) {
  for (const TTemplatePiece& p : TemplatePieces(nameTemplate)) {
    if (p.Field == "name") return true;
    if (Variable(p.Field)) return false;
  }
  return false;
}

// The section's keys live in the settings table with the job's others.
void LoadExportSpec(TDestinationOptions& options) {
  options.ExportSpecLines.clear();
  if (!options.ExportSpec.empty()) options.ExportSpecLines = ReadSpecificationFile(options.ExportSpec);
}

void SaveExportSpec(const std::string& path, const TDestinationOptions& options, int formatIndex) {
  std::unique_ptr<TQXExportBaseComponent> component;
  switch (formatIndex) {
    case 4: component = std::make_unique<TQXExportToXLS>(); break;
    case 5: component = std::make_unique<TQXExportToXLSX>(); break;
    default: component = std::make_unique<TQXExportToPDF>(); break;
  }
  ConfigureBatchExport(*component, &options.ExportSpecLines);
  component->SaveSpecificationToFile(path, ExtractFileName(path));
}

void ReadDestinationSettings(const TIniFile& ini, TDestinationOptions& options) {
  TStoredSettings values;
  values.Job.Destination = options;
  ReadStoredSettings(ini, values, sgDestination);
  options = values.Job.Destination;
}

void WriteDestinationSettings(TIniFile& ini, const TDestinationOptions& options) {
  TStoredSettings values;
  values.Job.Destination = options;
  WriteStoredSettings(ini, values, sgDestination);
}
