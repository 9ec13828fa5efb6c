#include "ExportDS.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <filesystem>
#include <unordered_map>

#include "CodePage.h"
#include "FileSystem.h"
#include "QXEStat.h"
#include "SysUtils.h"

extern char** environ;

namespace {

struct TTableTypeInfo {
  const char* Name;
  const char* Ext;
};
const TTableTypeInfo TableTypes[TableTypeCount] = {
    {"Paradox", ".DB"}, {"DBase", ".DBF"},   {"Text", ".TXT"},      {"HTML", ".HTM"},    {"XLS", ".XLS"},
    {"Excel", ".XLS"},  {"Word", ".DOC"},    {"SYLK", ".SLK"},      {"DIF", ".DIF"},     {"WKS", ".WK1"},
    {"Quattro", ".WQ1"}, {"SQL", ".SQL"},    {"XML", ".XML"},       {"Access", ".MDB"},  {"Clipboard", ""},
    {"RTF", ".RTF"},    {"SPSS", ".SAV"},    {"PDF", ".PDF"},       {"LDIF", ".LDIF"},   {"ADO", ""},
    {"OpenOffice", ".ODT"}, {"Excel2007", ".XLSX"}, {"JSON", ".JSON"},
};

struct TStylePair {
  TColor Odd, Even;
};
const TStylePair StyleColors[] = {
    {clWindow, clWindow},          // esNormal
    {cl3DLight, clWindow},         // esPriceList
    {0x00FFFBF0, clWindow},        // esMSMoney
    {0x00CFDFDF, 0x00A0BFBF},      // esBrick
    {0x00B8CCD8, 0x00688CA0},      // esDesert
    {0x00A8B090, 0x00788058},      // esEggplant
    {0x00D8A8B0, 0x00B05058},      // esLilac
    {0x00A8D8EB, 0x0048A8C8},      // esMaple
    {0x00B8C088, 0x00889048},      // esMarine
    {0x00B8B0D0, 0x007060A0},      // esRose
    {0x00A8C8A0, 0x00689858},      // esSpruce
    {0x00A0E0E0, 0x0040BCC0},      // esWheat
};

bool IsAbsolutePath(const std::string& p) { return !p.empty() && p[0] == '/'; }

// Characters that a file URL keeps as they are.
std::string FileUrl(const std::string& path) {
  std::string abs = path;
  if (!IsAbsolutePath(abs)) {
    std::error_code ec;
    abs = std::filesystem::absolute(path, ec).string();
  }
  static const char hex[] = "0123456789ABCDEF";
  std::string url = "file://";
  for (unsigned char c : AnsiToUtf8(abs)) {
    if (isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      url += char(c);
    } else {
      url += '%';
      url += hex[c >> 4];
      url += hex[c & 15];
    }
  }
  return url;
}

std::vector<std::string> SplitRecipients(const std::string& list) {
  std::vector<std::string> out;
  std::string t = Trim(list);
  size_t start = 0;
  while (start <= t.size()) {
    size_t end = t.find(';', start);
    if (end == std::string::npos) end = t.size();
    std::string part = Trim(t.substr(start, end - start));
    if (!part.empty()) out.push_back(part);
    start = end + 1;
  }
  return out;
}

std::string FindOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  if (!path) return std::string();
  std::string p = path;
  size_t start = 0;
  while (start <= p.size()) {
    size_t end = p.find(':', start);
    if (end == std::string::npos) end = p.size();
    std::string dir = p.substr(start, end - start);
    if (dir.empty()) dir = ".";
    std::string candidate = IncludeTrailingPathDelimiter(dir) + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::string();
}

// Runs a program with arguments and waits for it; its exit code, -1 when it
// could not be started.
int32_t RunAndWait(const std::string& program, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// --- specification files -----------------------------------------------

std::string Bool01(bool b) { return b ? "1" : "0"; }

std::string HexCodes(const std::string& s) {
  std::string out;
  for (unsigned char c : s) out += IntToHex(c, 2);
  return out;
}

std::string FromHexCodes(const std::string& s) {
  std::string out;
  for (size_t i = 0; i + 1 < s.size(); i += 2) {
    int32_t v;
    if (!TryStrToInt("$" + s.substr(i, 2), v)) break;
    out += char(v);
  }
  return out;
}

std::string FontText(TAlignment alignment, TColor color, const TQXEFont& font) {
  return Format("%d,%d,", int(alignment), color) + font.Name +
         Format(",%d,%d,%d,%d", int(font.Charset), font.Color, font.Size, int(font.Style));
}

// "alignment,colour,name,charset,font colour,size,style"; the name may hold commas.
bool ParseFontText(const std::string& text, TAlignment& alignment, TColor& color, TQXEFont& font) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (int i = 0; i < 2; ++i) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) return false;
    parts.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  std::string rest = text.substr(start);
  std::vector<std::string> tail;
  for (int i = 0; i < 4; ++i) {
    size_t comma = rest.rfind(',');
    if (comma == std::string::npos) return false;
    tail.insert(tail.begin(), rest.substr(comma + 1));
    rest.resize(comma);
  }
  int32_t a, c, cs, fc, size, style;
  if (!TryStrToInt(parts[0], a) || !TryStrToInt(parts[1], c) || !TryStrToInt(tail[0], cs) ||
      !TryStrToInt(tail[1], fc) || !TryStrToInt(tail[2], size) || !TryStrToInt(tail[3], style))
    return false;
  if (a >= 0 && a <= taCenter) alignment = TAlignment(a);
  color = c;
  font.Name = rest;
  font.Charset = uint8_t(cs);
  font.Color = fc;
  font.Size = size;
  font.Style = TFontStyles(style & 0x0F);
  return true;
}

std::vector<std::string> SpecLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\n' || text[i] == '\r') {
      lines.push_back(text.substr(start, i - start));
      if (i + 1 < text.size() && text[i] == '\r' && text[i + 1] == '\n') ++i;
      start = i + 1;
    }
  }
  return lines;
}

// What a setting of a specification file holds.
enum TSpecKind : uint8_t {
  skText,       // anything
  skFlag,       // 0 or 1
  skInt,        // a whole number
  skRange,      // a whole number from 0 to Max
  skFloat,      // a decimal number
  skChar,       // one character
  skHex,        // hexadecimal character codes
  skTableType,  // a table type's name
  skMap,        // "target = field name"
  skFont        // "alignment,colour,font name,charset,font colour,size,style"
};
struct TSpecKey {
  const char* Name;
  TSpecKind Kind;
  int32_t Max;
  bool Numbered;  // the name is followed by a number: Header0, Map12
};
// Every setting of the family's files, each writer's own ones too.
const TSpecKey SpecKeys[] = {
    {"App", skText, 0, false}, {"Description", skText, 0, false}, {"Specification", skText, 0, false},
    {"TableType", skTableType, 0, false}, {"AddTitle", skFlag, 0, false}, {"BlankIfZero", skFlag, 0, false},
    {"SourceFileName", skText, 0, false}, {"SelectedRecord", skFlag, 0, false}, {"TableName", skText, 0, false},
    {"CharacterSet", skRange, csUnicode, false}, {"Options", skRange, (1 << (soAutoCloseStatistic + 1)) - 1, false},
    {"ExportIfEmpty", skFlag, 0, false}, {"RowsPerFile", skInt, 0, false},
    {"ActionAfterExport", skRange, aeEMail, false},
    {"Style", skRange, esWheat, false}, {"OddColor", skInt, 0, false}, {"EvenColor", skInt, 0, false},
    {"Layout", skRange, elTabularForm, false},
    {"Measure", skRange, emPicas, false}, {"UseDefault", skFlag, 0, false}, {"TopMargin", skFloat, 0, false},
    {"BottomMargin", skFloat, 0, false}, {"LeftMargin", skFloat, 0, false}, {"RightMargin", skFloat, 0, false},
    {"TableWidth", skFloat, 0, false}, {"Orientation", skRange, emLandscape, false},
    {"Recipient", skText, 0, false}, {"Subject", skText, 0, false}, {"OpenDialog", skFlag, 0, false},
    {"Count", skInt, 0, false}, {"Map", skMap, 0, true}, {"ColTitle", skFont, 0, true}, {"Col", skFont, 0, true},
    {"Width", skInt, 0, true}, {"Header", skText, 0, true}, {"Footer", skText, 0, true},
    {"FieldDelimiter", skHex, 0, false}, {"TextQualifier", skHex, 0, false}, {"RecordSeparator", skHex, 0, false},
    {"Fixed", skFlag, 0, false}, {"AutoFitColumns", skFlag, 0, false}, {"RowFirst", skInt, 0, false},
    {"RowLast", skInt, 0, false},
    {"DateOrder", skRange, doMYD, false}, {"DateSeparator", skChar, 0, false}, {"TimeSeparator", skChar, 0, false},
    {"ThousandSeparator", skChar, 0, false}, {"DecimalSeparator", skChar, 0, false},
    {"CurrencyString", skText, 0, false}, {"FourDigitYear", skFlag, 0, false},
    {"LeadingZerosInDate", skFlag, 0, false}, {"CustomDateTimeFormat", skText, 0, false},
    {"BooleanTrue", skText, 0, false}, {"BooleanFalse", skText, 0, false},
    {"UseRegionalSettings", skFlag, 0, false},
    // The PDF writer's.
    {"ViewerPreferences", skRange, 31, false}, {"PageLayout", skRange, 6, false},
    {"CompressionMethod", skRange, 2, false}, {"FontDecode", skRange, 4, false}, {"ImageDecode", skRange, 4, false},
};
const char* const SpecSections[] = {"Common", "ExportStyle", "PageSetup", "SendTo", "Mappings", "COLUMNS",
                                    "Header", "Footer", "Text", "DataFormat", "PDF"};

const TSpecKey* FindSpecKey(const std::string& name) {
  for (const TSpecKey& k : SpecKeys) {
    const size_t n = std::strlen(k.Name);
    if (name.size() < n || !SameText(name.substr(0, n), k.Name)) continue;
    const std::string rest = name.substr(n);
    if (!k.Numbered ? rest.empty()
                    : !rest.empty() && rest.size() <= 6 &&
                          std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return &k;
  }
  return nullptr;
}

// What is wrong with a value of a setting; empty when nothing.
std::string SpecValueProblem(const TSpecKey& key, const std::string& value) {
  int32_t i;
  switch (key.Kind) {
    case skText: return std::string();
    case skFlag: return value == "0" || value == "1" ? std::string() : "must be 0 or 1";
    case skInt: return TryStrToInt(Trim(value), i) ? std::string() : "must be a whole number";
    case skRange:
      return TryStrToInt(Trim(value), i) && i >= 0 && i <= key.Max
                 ? std::string()
                 : "must be a whole number from 0 to " + std::to_string(key.Max);
    case skFloat: {
      float f;
      return ParseSpecFloat(value, f) ? std::string() : "must be a number";
    }
    case skChar: return value.size() <= 1 ? std::string() : "must be one character of one byte";
    case skHex: {
      const bool hex = value.size() % 2 == 0 && std::all_of(value.begin(), value.end(), [](char c) {
                         return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                       });
      return hex ? std::string() : "must be hexadecimal character codes (two digits each, as 0D0A)";
    }
    case skTableType:
      for (const TTableTypeInfo& t : TableTypes)
        if (SameText(value, t.Name)) return std::string();
      return "names no table type (PDF, XLS, Excel2007, ...)";
    case skMap: return value.empty() || value.find(" = ") != std::string::npos ? std::string()
                                                                                : "must be \"target = field name\"";
    case skFont: {
      TAlignment a;
      TColor c;
      TQXEFont f;
      return ParseFontText(value, a, c, f) ? std::string()
                                           : "must be \"alignment,colour,font name,charset,font colour,size,style\"";
    }
  }
  return std::string();
}

}  // namespace

TSpecValues::TSpecValues(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    FValues.emplace(UpperCase(line.substr(0, eq)), line.substr(eq + 1));
  }
}

const std::string* TSpecValues::Find(const std::string& name) const {
  auto it = FValues.find(UpperCase(name));
  return it == FValues.end() ? nullptr : &it->second;
}

std::string TSpecValues::Str(const std::string& name) const {
  const std::string* v = Find(name);
  return v ? *v : std::string();
}

void TSpecValues::Char(const std::string& name, char& value) const {
  if (const std::string* s = Find(name); s && !s->empty()) value = (*s)[0];
}

void TSpecValues::Float(const std::string& name, float& value) const {
  if (const std::string* s = Find(name)) ParseSpecFloat(*s, value);
}

bool TSpecValues::TryInt(const std::string& text, int32_t& value) { return TryStrToInt(text, value); }

std::vector<std::string> CheckSpecification(const std::string& text, const std::string& name) {
  std::vector<std::string> lines = SpecLines(text);
  auto fail = [&](size_t line, const std::string& what) {
    throw EQXESpecificationError("\"" + name + "\" line " + std::to_string(line + 1) + ": " + what);
  };
  std::string section;
  std::unordered_map<std::string, size_t> seen;  // section and key, upper case: its line
  size_t settings = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.find('\0') != std::string::npos) fail(i, "the file is not text.");
    const std::string t = Trim(line);
    if (t.empty() || t[0] == ';') continue;
    if (t[0] == '[') {
      if (t.back() != ']') fail(i, "a section line must end with \"]\": " + t);
      section = t.substr(1, t.size() - 2);
      bool known = false;
      for (const char* s : SpecSections) known = known || SameText(section, s);
      if (!known) {
        std::string all;
        for (const char* s : SpecSections) all += std::string(all.empty() ? "[" : ", [") + s + "]";
        fail(i, "unknown section [" + section + "]; the sections are " + all + ".");
      }
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0)
      fail(i, "\"" + line + "\" is neither a section, a setting (Name=Value) nor a comment (;).");
    const std::string key = line.substr(0, eq);
    const std::string value = line.substr(eq + 1);
    const TSpecKey* spec = FindSpecKey(key);
    if (!spec) fail(i, "\"" + key + "\" is not a setting of export specification files.");
    const std::string problem = SpecValueProblem(*spec, value);
    if (!problem.empty()) fail(i, key + " " + problem + ", not \"" + value + "\".");
    auto [it, added] = seen.emplace(UpperCase(section) + "\n" + UpperCase(key), i);
    if (!added) fail(i, key + " is set twice (first on line " + std::to_string(it->second + 1) + ").");
    ++settings;
  }
  if (settings == 0) throw EQXESpecificationError("\"" + name + "\" holds no export settings.");
  return lines;
}

std::vector<std::string> ReadSpecificationFile(const std::string& fileName) {
  constexpr int64_t MaxSize = 1 << 20;
  TFileStream stream(fileName, fmOpenRead | fmShareDenyWrite);
  if (stream.Size() > MaxSize)
    throw EQXESpecificationError("\"" + fileName + "\" is too large for an export specification file (" +
                                 std::to_string(stream.Size()) + " bytes; at most 1 MiB).");
  std::string text(size_t(stream.Size()), '\0');
  stream.ReadBuffer(text.data(), int64_t(text.size()));
  return CheckSpecification(text, fileName);
}

const char* TableTypeName(TTableTypeExport t) { return size_t(t) < TableTypeCount ? TableTypes[t].Name : ""; }
const char* TableTypeExt(TTableTypeExport t) { return size_t(t) < TableTypeCount ? TableTypes[t].Ext : ""; }

bool ParseSpecFloat(const std::string& text, float& value) {
  std::string t = Trim(text);
  TFormatSettings fs = TFormatSettings::UnitedStates();
  double d;
  if (!TryStrToFloat(t, d, fs)) {
    fs.DecimalSeparator = ',';
    fs.ThousandSeparator = '.';
    if (!TryStrToFloat(t, d, fs)) return false;
  }
  value = float(d);
  return true;
}

// --- companions --------------------------------------------------------

void TQXExportStyle::SetStyle(TQXEStyle style) {
  if (style == FStyle || size_t(style) >= std::size(StyleColors)) return;
  FStyle = style;
  OddColor = StyleColors[style].Odd;
  EvenColor = StyleColors[style].Even;
}

void TQXExportStyle::ApplyRowColor(int64_t n, TColor& color) const {
  if (FStyle == esNormal) return;
  color = (n % 2 != 0) ? OddColor : EvenColor;
}

void TQXEDataFormats::LoadRegionalSettings() { LoadRegionalSettings(DefaultFormatSettings()); }

void TQXEDataFormats::LoadRegionalSettings(const TFormatSettings& fs) {
  DateSeparator = fs.DateSeparator;
  TimeSeparator = fs.TimeSeparator;
  ThousandSeparator = fs.ThousandSeparator;
  DecimalSeparator = fs.DecimalSeparator;
  CurrencyString = fs.CurrencyString;
  CustomDateTimeFormat.clear();
  const std::string f = UpperCase(fs.ShortDateFormat);
  FourDigitYear = f.find("YYYY") != std::string::npos;
  LeadingZerosInDate = f.find("DD") != std::string::npos;
  // The order of the first letters of the three parts; "/" stands for the
  // separator in the format language.
  auto isSep = [&](char c) { return c == '/' || c == fs.DateSeparator; };
  char letters[3] = {0, 0, 0};
  int part = 0;
  bool wantLetter = true;
  for (char c : f) {
    if (isSep(c)) {
      if (++part > 2) break;
      wantLetter = true;
      continue;
    }
    if (wantLetter && c >= 'A' && c <= 'Z') {
      letters[part] = c;
      wantLetter = false;
    }
  }
  DateOrder = doMDY;
  if (part < 2) return;
  const std::string order(letters, 3);
  if (order == "DMY") DateOrder = doDMY;
  else if (order == "DYM") DateOrder = doDYM;
  else if (order == "MDY") DateOrder = doMDY;
  else if (order == "MYD") DateOrder = doMYD;
  else if (order == "YMD") DateOrder = doYMD;
  else if (order == "YDM") DateOrder = doYDM;
}

TQXEDataLevel::TQXEDataLevel() : DetailSources(std::make_unique<TQXEDataLevels>()) {}
TQXEDataLevel::~TQXEDataLevel() = default;

void TQXEDataLevel::Assign(const TQXEDataLevel& source) {
  if (&source == this) return;
  Caption = source.Caption;
  ShiftCount = source.ShiftCount;
  Columns.Assign(source.Columns);
  Bands.Assign(source.Bands);
  Groupings.Assign(source.Groupings);
  DBGrid = source.DBGrid;
  DataSet = source.DataSet;
  DataEngine = source.DataEngine;
  ColumnSource = source.ColumnSource;
  DetailSources->Assign(*source.DetailSources);
}

TQXEDataLevel* TQXEDataLevels::Add() {
  FItems.push_back(std::make_unique<TQXEDataLevel>());
  FItems.back()->Caption = "Detail" + std::to_string(FItems.size() - 1);
  return FItems.back().get();
}

void TQXEDataLevels::Assign(const TQXEDataLevels& source) {
  if (&source == this) return;
  FItems.clear();
  for (const auto& level : source.FItems) Add()->Assign(*level);
}

// --- TQXECustomBaseComponent -------------------------------------------

TQXECustomBaseComponent::TQXECustomBaseComponent() { ApplyDataFormats(); }
TQXECustomBaseComponent::~TQXECustomBaseComponent() = default;

void TQXECustomBaseComponent::Assign(const TQXECustomBaseComponent& s) {
  if (&s == this) return;
  AnimatedStatus = s.AnimatedStatus;
  DataFormats.Assign(s.DataFormats);
  KeyGenerator = s.KeyGenerator;
  SelectedRecord = s.SelectedRecord;
  BlankIfZero = s.BlankIfZero;
  Options = s.Options;
  TitleStatus = s.TitleStatus;
  RightToLeft = s.RightToLeft;
  SendTo.Assign(s.SendTo);
  ExportIfEmpty = s.ExportIfEmpty;
  Statistic.Assign(s.Statistic);
  OnGetLanguageString = s.OnGetLanguageString;
  OnBeforeRecord = s.OnBeforeRecord;
  OnAfterRecord = s.OnAfterRecord;
  OnBeforeExecute = s.OnBeforeExecute;
  OnAfterExecute = s.OnAfterExecute;
  OnGetFileName = s.OnGetFileName;
  OnProgress = s.OnProgress;
  SetTableType(s.FTableType);
  Header = s.Header;
  Footer = s.Footer;
  RowsPerFile = s.RowsPerFile;
  AddTitle = s.AddTitle;
  CharacterSet = s.CharacterSet;
  ExportStyle.Assign(s.ExportStyle);
  PageSetup.Assign(s.PageSetup);
  OnGetCellParams = s.OnGetCellParams;
  TableName = s.TableName;
  FieldDelimiter = s.FieldDelimiter;
  TextQualifier = s.TextQualifier;
  RecordSeparator = s.RecordSeparator;
  FixedWidth = s.FixedWidth;
  AutoFitColumns = s.AutoFitColumns;
  RowFirst = s.RowFirst;
  RowLast = s.RowLast;
}

std::string TQXECustomBaseComponent::GetLanguageString(int32_t id) {
  std::string text = QXEMessageText(id);
  if (OnGetLanguageString) OnGetLanguageString(this, id, text);
  return text;
}

void TQXECustomBaseComponent::ShowInfo(const std::string& text) {
  if (HasOption(soShowMessage)) Ui().MessageBox(text, KeyGenerator, MB_OK | MB_ICONINFORMATION);
}

void TQXECustomBaseComponent::ApplyDataFormats() {
  FFormatSettings = DefaultFormatSettings();
  FFormatSettings.DecimalSeparator = DataFormats.DecimalSeparator;
  FFormatSettings.DateSeparator = DataFormats.DateSeparator;
  FFormatSettings.TimeSeparator = DataFormats.TimeSeparator;
  FFormatSettings.ThousandSeparator = DataFormats.ThousandSeparator;
  FFormatSettings.CurrencyString = DataFormats.CurrencyString;
}

std::string TQXECustomBaseComponent::FieldToText(const TQXEField* field) {
  if (!field) return std::string();
  const TVariant value = field->Value();
  if (BlankIfZero) {
    switch (field->DataType()) {
      case ftSmallint: case ftInteger: case ftWord: case ftFloat: case ftCurrency: case ftBCD: case ftAutoInc:
      case ftLargeint: case ftDate: case ftTime: case ftDateTime:
        if (value.IsEmptyOrNull() || value.ToDouble() == 0) return std::string();
        break;
      default:
        if (value.IsEmptyOrNull()) return std::string();
        break;
    }
  }
  if (!HasOption(soFieldMask)) return field->Text();
  if (field->DataType() == ftBoolean && !value.IsEmptyOrNull())
    return value.ToDouble() != 0 ? DataFormats.BooleanTrue : DataFormats.BooleanFalse;
  return field->DisplayText();
}

int32_t TQXECustomBaseComponent::SendMail(const std::string& fileName, const std::string& bodyPrefix) {
  const std::string program = FindOnPath("xdg-email");
  if (program.empty()) return -1;
  std::vector<std::string> args;
  for (const auto& cc : SplitRecipients(SendTo.EMailCC)) args.insert(args.end(), {"--cc", cc});
  for (const auto& bcc : SplitRecipients(SendTo.EMailBCC)) args.insert(args.end(), {"--bcc", bcc});
  args.insert(args.end(), {"--subject", AnsiToUtf8(SendTo.EMailSubject.empty() ? KeyGenerator : SendTo.EMailSubject)});
  const std::string body = bodyPrefix.empty() ? SendTo.EMailBody : bodyPrefix + "\r\n" + SendTo.EMailBody;
  if (!body.empty()) args.insert(args.end(), {"--body", AnsiToUtf8(body)});
  if (bodyPrefix.empty()) args.insert(args.end(), {"--attach", fileName});
  for (const auto& to : SplitRecipients(SendTo.EMailRecipient)) args.push_back(to);
  const int32_t result = RunAndWait(program, args);
  if (result != 0 && HasOption(soShowMessage))
    Ui().MessageBox(std::string(QXESendMailErrorText) + std::to_string(result) + ")", KeyGenerator,
                    MB_OK | MB_ICONERROR);
  return result;
}

// --- TQXExportBaseComponent --------------------------------------------

TQXExportBaseComponent::TQXExportBaseComponent() {
  std::error_code ec;
  std::string cwd = std::filesystem::current_path(ec).string();
  FileName = IncludeTrailingPathDelimiter(cwd.empty() ? std::string(".") : cwd) + "QXExport" + GetDefaultExt();
}

TQXExportBaseComponent::~TQXExportBaseComponent() = default;

void TQXExportBaseComponent::SetDataEngine(TQXECustomDataEngine* engine) {
  FDataEngine = engine;
  FDataEngineAlive = engine ? engine->AliveToken() : std::weak_ptr<const void>();
}

void TQXExportBaseComponent::SetSpecificationDir(const std::string& dir) {
  std::string d = Trim(dir);
  FSpecificationDir = d.empty() ? d : IncludeTrailingPathDelimiter(d);
}

void TQXExportBaseComponent::SetTableType(TTableTypeExport t) {
  TQXECustomBaseComponent::SetTableType(t);
  if (t != teADO && !FileName.empty()) FileName = ChangeFileExt(FileName, TableTypeExt(t));
}

void TQXExportBaseComponent::Assign(const TQXECustomBaseComponent& source) {
  TQXECustomBaseComponent::Assign(source);
  const auto* s = dynamic_cast<const TQXExportBaseComponent*>(&source);
  if (!s || s == this) return;
  Columns.Assign(s->Columns);
  Bands.Assign(s->Bands);
  DBGrid = s->DBGrid;
  DataSet = s->DataSet;
  SetDataEngine(s->DataEngine());
  ColumnSource = s->ColumnSource;
  FileName = s->FileName;
  ActionAfterExport = s->ActionAfterExport;
  Layout = s->Layout;
  ExportIfEmpty = s->ExportIfEmpty;
  OnBeforeLoadSpecification = s->OnBeforeLoadSpecification;
  OnAfterLoadSpecification = s->OnAfterLoadSpecification;
  OnBeforeSaveSpecification = s->OnBeforeSaveSpecification;
  OnAfterSaveSpecification = s->OnAfterSaveSpecification;
  OnGetNextSelected = s->OnGetNextSelected;
  OnGetSelectedCount = s->OnGetSelectedCount;
}

bool TQXExportBaseComponent::IsCanceled() {
  if (!FCanceled && StopRequested && StopRequested()) SetCanceled(true);
  return CancelFlag();
}

bool TQXExportBaseComponent::CancelFlag() const {
  return FCanceled || (FProgress && FProgress->CancelRequested());
}

void TQXExportBaseComponent::SetCanceled(bool value) {
  FCanceled = value;
  if (FProgress) FProgress->SetCancelRequested(value);
}

int32_t TQXExportBaseComponent::TitleRowCount() const {
  int32_t n = AddTitle ? (HasOption(soBlankRowAfterCaptions) ? 3 : 2) : 1;
  return n + int32_t(Header.size());
}

TVariant TQXExportBaseComponent::GetSysVarValue(const std::string& name) {
  if (SameText(name, "ROWNO")) {
    int32_t n = Statistic.CurrentRow - int32_t(Header.size()) + 1;
    if (AddTitle) n -= HasOption(soBlankRowAfterCaptions) ? 2 : 1;
    return TVariant(n);
  }
  if (SameText(name, "COLNO")) return TVariant(Statistic.CurrentColumn);
  if (SameText(name, "COUNT")) return TVariant(Statistic.TotalCount);
  if (SameText(name, "ERRCOUNT")) return TVariant(Statistic.TotalErrors);
  if (SameText(name, "GENERATOR")) return TVariant(KeyGenerator);
  return TVariant::Null();
}

void TQXExportBaseComponent::Execute() {
  RunRecorded([this] {
    PrepareExport();
    ExportData();
  });
}

void TQXExportBaseComponent::RunRecorded(const std::function<void()>& body) {
  FFailureText.clear();
  FFailure = nullptr;
  FFinalText.clear();
  auto recorded = [this](const std::function<void()>& step) {
    try {
      step();
    } catch (const Exception& e) {
      if (!FFailure) FFailure = std::current_exception();
      FailExport(e.Message());
    } catch (const std::exception& e) {
      if (!FFailure) FFailure = std::current_exception();
      FailExport(e.what());
    }
  };
  recorded(body);
  recorded([this] { FinishExport(); });
}

void TQXExportBaseComponent::FailExport(const std::string& message) {
  const bool first = Statistic.Result != erFailed;
  Statistic.Result = erFailed;
  if (first) FFailureText = message;
  FFinalText = GetLanguageString(qxmErrorInExport) + ": " + FFailureText;
  if (AnimatedStatus) CloseProgressWindow();
  if (first && HasOption(soShowMessage))
    Ui().MessageBox(FFinalText, KeyGenerator, MB_OK | MB_ICONINFORMATION);
}

TQXECustomDataEngine* TQXExportBaseComponent::EngineFor(TColumnSource source, void* grid, void* dataSet,
                                                        TQXECustomDataEngine* engine) {
  const std::string& missing = GetLanguageString(qxmPropertyNotSpecified);
  switch (source) {
    case csDBGrid:
      if (!grid) throw EQXEInvalidPropertyException(FormatMessageText(missing, "DBGrid"));
      throw Exception(QXESourceNotAvailableText);
    case csDataSet:
      if (!dataSet) throw EQXEInvalidPropertyException(FormatMessageText(missing, "Dataset"));
      throw Exception(QXESourceNotAvailableText);
    case csDataEngine:
    default:
      if (!engine) throw EQXEInvalidPropertyException(FormatMessageText(missing, "DataEngine"));
      return engine;
  }
}

void TQXExportBaseComponent::PrepareEngine(TQXECustomDataEngine& engine, TQXEColumns& columns, bool detail) {
  engine.SelectedOnly = SelectedRecord;
  engine.IsDetail = detail;
  engine.MaxRecordCount = RecordCountLimit();
  engine.MaxColumnCount = ColumnCountLimit();
  columns.ClearFieldObjects();
}

void TQXExportBaseComponent::CreateDataEngine() {
  FWorkingEngine = EngineFor(ColumnSource, DBGrid, DataSet, DataEngine());
  PrepareEngine(*FWorkingEngine, Columns, false);
}

void TQXExportBaseComponent::ReleaseDataEngine() { FWorkingEngine = nullptr; }

void TQXExportBaseComponent::OpenProgressWindow() {
  CloseProgressWindow();
  try {
    FProgress = Ui().CreateProgressWindow();
    if (!FProgress) return;
    Ui().ProcessMessages();
    FProgress->SetCaption(KeyGenerator);
    FProgress->SetStatus(TitleStatus);
    FProgress->SetButtonCaption(GetLanguageString(qxmCancel));
    FProgress->SetRange(0, std::max(FRecordCount, 0));
    FProgress->SetPosition(0);
    FProgress->StartAnimation();
    FProgress->Show();
    Ui().ProcessMessages();
  } catch (const std::exception&) {
    FProgress.reset();
    Ui().MessageBox(GetLanguageString(qxmCannotCreateDialog), KeyGenerator, MB_OK | MB_ICONERROR);
  }
}

void TQXExportBaseComponent::CloseProgressWindow() {
  // The cancel request outlives the window.
  if (FProgress && FProgress->CancelRequested()) FCanceled = true;
  FProgress.reset();
}

void TQXExportBaseComponent::PrepareExport() {
  Statistic.Result = erInProgress;
  Statistic.CurrentRow = 0;
  Statistic.CurrentColumn = 0;
  if (OnBeforeExecute) OnBeforeExecute(this);
  CreateDataEngine();
  FRecordCount = FWorkingEngine->GetRecordCount();
  Statistic.InDetail = FWorkingEngine->IsDetail;
  if (DataFormats.UseRegionalSettings) DataFormats.LoadRegionalSettings();
  ApplyDataFormats();
  if (HasOption(soDisableControls)) {
    FWorkingEngine->DisableControls();
    FControlsDisabled = true;
  }
  if (HasOption(soWaitCursor)) {
    Ui().SetBusyCursor(true);
    FBusyCursor = true;
  }
  FCanceled = false;
  if (AnimatedStatus) {
    if (FRecordCount < 0) FRecordCount = 0;
    OpenProgressWindow();
  }
  if (Columns.Empty()) {
    FWorkingEngine->FillColumns(Columns, Bands, RightToLeft);
    FColumnsGenerated = true;
  }
  Statistic.TotalCount = 0;
  FVisibleColumnCount = 0;
  for (const auto& c : Columns)
    if (c->Visible || HasOption(soExportInvisibleFields)) ++FVisibleColumnCount;
  if (!FileNameAsGiven && ExtractFileExt(FileName).empty()) FileName += TableTypeExt(TableType());
}

void TQXExportBaseComponent::FinishExport() {
  std::string finalText;
  try {
    if (FColumnsGenerated) {
      Columns.Clear();
      Bands.Clear();
      FColumnsGenerated = false;
    }
    if (Statistic.Result != erFailed) {
      // The flag as the export left it: a stop arriving now changes nothing written.
      if (CancelFlag()) {
        Statistic.Result = erCanceled;
        finalText = GetLanguageString(qxmExportCanceled);
      } else {
        Statistic.Result = erCompleted;
        finalText = FormatMessageText(GetLanguageString(qxmFileGenerated), FileName);
      }
      FFinalText = finalText;
    }
    bool ignored = false;
    if (OnProgress) OnProgress(this, FRecordCount, FRecordCount, ignored);
    if (FBusyCursor) {
      Ui().SetBusyCursor(false);
      FBusyCursor = false;
    }
    if (AnimatedStatus && FProgress) {
      FProgress->SetStatus(finalText);
      FProgress->SetPosition(FRecordCount);
      FProgress->StopAnimation();
      if (!HasOption(soAutoCloseStatistic)) {
        FProgress->SetButtonCaption(GetLanguageString(qxmOK));
        FProgress->WaitForButton();
      }
      CloseProgressWindow();
    }
    if (HasOption(soShowMessage) && !finalText.empty() && (!AnimatedStatus || Statistic.Result == erFailed))
      ShowInfo(finalText);
    if (Statistic.Result != erFailed) RunActionAfterExport();
  } catch (...) {
    // The engine and the cursor are given back whatever happened.
    if (FBusyCursor) Ui().SetBusyCursor(false);
    FBusyCursor = false;
    CloseProgressWindow();
    if (FControlsDisabled && FWorkingEngine) FWorkingEngine->EnableControls();
    FControlsDisabled = false;
    ReleaseDataEngine();
    throw;
  }
  if (FControlsDisabled && FWorkingEngine) FWorkingEngine->EnableControls();
  FControlsDisabled = false;
  ReleaseDataEngine();
  if (OnAfterExecute) OnAfterExecute(this);
}

void TQXExportBaseComponent::RunActionAfterExport() {
  switch (ActionAfterExport) {
    case aeOpenView: Ui().OpenURL(FileUrl(FileName)); break;
    case aeEMail: SendMail(FileName); break;
    default: break;
  }
}

bool TQXExportBaseComponent::UpdateProgress(const std::string& text, int32_t n) {
  if (!(Statistic.Result == erCompleted || Statistic.UpdateStep <= 0 || n % Statistic.UpdateStep == 0)) return false;
  if (!FProgress) return false;
  const int32_t max = FProgress->Max();
  if (std::abs(int64_t(FProgress->Position()) - n) > max / 100 || max == n + 1) {
    FProgress->SetStatus(text + " (" + std::to_string(n) + "/" + std::to_string(max) + ")");
    FProgress->SetPosition(n);
    FProgress->Repaint();
    Ui().ProcessMessages();
  }
  return true;
}

// --- specification files -----------------------------------------------

void TQXExportBaseComponent::SaveSpecification(TStream& stream, const std::string& specificationName) {
  std::string out;
  auto line = [&](const std::string& text) { out += text + "\r\n"; };
  auto key = [&](const std::string& name, const std::string& value) { line(name + "=" + value); };
  std::string title = ExtractFileName(ProgramFileName());
  line("[Common]");
  key("App", ChangeFileExt(title, ""));
  key("Description", "QXExport: specification");
  key("Specification", specificationName);
  key("TableType", TableTypeName(TableType()));
  key("AddTitle", Bool01(AddTitle));
  key("BlankIfZero", Bool01(BlankIfZero));
  key("SourceFileName", FileName);
  key("SelectedRecord", Bool01(SelectedRecord));
  key("TableName", TableName);
  key("CharacterSet", std::to_string(CharacterSet));
  key("Options", std::to_string(Options));
  key("ExportIfEmpty", Bool01(ExportIfEmpty));
  key("RowsPerFile", std::to_string(RowsPerFile));
  key("ActionAfterExport", std::to_string(ActionAfterExport));
  line("[ExportStyle]");
  key("Style", std::to_string(ExportStyle.Style()));
  key("OddColor", std::to_string(ExportStyle.OddColor));
  key("EvenColor", std::to_string(ExportStyle.EvenColor));
  key("Layout", std::to_string(Layout));
  const TFormatSettings us = TFormatSettings::UnitedStates();
  line("[PageSetup]");
  key("Measure", std::to_string(PageSetup.Measure));
  key("UseDefault", Bool01(PageSetup.UseDefault));
  key("TopMargin", FloatToStr(PageSetup.TopMargin, us));
  key("BottomMargin", FloatToStr(PageSetup.BottomMargin, us));
  key("LeftMargin", FloatToStr(PageSetup.LeftMargin, us));
  key("RightMargin", FloatToStr(PageSetup.RightMargin, us));
  key("TableWidth", FloatToStr(PageSetup.TableWidth, us));
  key("Orientation", std::to_string(PageSetup.Orientation));
  line("[SendTo]");
  key("Recipient", SendTo.EMailRecipient);
  key("Subject", SendTo.EMailSubject);
  key("OpenDialog", Bool01(SendTo.EMailOpenBeforeSend));
  line("[Mappings]");
  key("Count", std::to_string(Columns.Count()));
  int32_t k = 0;
  for (int32_t i = 0; i < Columns.Count(); ++i) {
    const TQXEColumn* c = Columns[i];
    std::string target;
    if (c->Visible || HasOption(soExportInvisibleFields)) {
      ++k;
      switch (GetSpecColumnKind(*c)) {
        case 2: target = "Field" + std::to_string(k); break;
        case 1: target = "Text" + std::to_string(k) + "-" + std::to_string(c->Width); break;
        default: target = c->Title.Caption; break;
      }
    }
    key("Map" + std::to_string(i), target + " = " + c->FieldName);
  }
  if (!Columns.Empty()) {
    line("[COLUMNS]");
    for (int32_t i = 0; i < Columns.Count(); ++i) {
      const TQXEColumn* c = Columns[i];
      key("Col" + std::to_string(i), FontText(c->Alignment, c->Color, c->Font));
      key("ColTitle" + std::to_string(i), FontText(c->Title.Alignment, c->Title.Color, c->Title.Font));
      key("Width" + std::to_string(i), std::to_string(c->Width));
    }
  }
  for (const char* section : {"Header", "Footer"}) {
    const auto& lines = std::string(section) == "Header" ? Header : Footer;
    line(std::string("[") + section + "]");
    key("Count", std::to_string(lines.size()));
    for (size_t i = 0; i < lines.size(); ++i) key(section + std::to_string(i), lines[i]);
  }
  line("[Text]");
  key("FieldDelimiter", HexCodes(std::string(1, FieldDelimiter)));
  key("TextQualifier", TextQualifier ? HexCodes(std::string(1, TextQualifier)) : std::string());
  key("RecordSeparator", HexCodes(RecordSeparator));
  key("Fixed", Bool01(FixedWidth));
  key("AutoFitColumns", Bool01(AutoFitColumns));
  key("RowFirst", std::to_string(RowFirst));
  key("RowLast", std::to_string(RowLast));
  line("[DataFormat]");
  const TQXEDataFormats& f = DataFormats;
  key("DateOrder", std::to_string(f.DateOrder));
  key("DateSeparator", std::string(1, f.DateSeparator));
  key("TimeSeparator", std::string(1, f.TimeSeparator));
  key("ThousandSeparator", std::string(1, f.ThousandSeparator));
  key("DecimalSeparator", std::string(1, f.DecimalSeparator));
  key("CurrencyString", f.CurrencyString);
  key("FourDigitYear", Bool01(f.FourDigitYear));
  key("LeadingZerosInDate", Bool01(f.LeadingZerosInDate));
  key("CustomDateTimeFormat", f.CustomDateTimeFormat);
  key("BooleanTrue", f.BooleanTrue);
  key("BooleanFalse", f.BooleanFalse);
  key("UseRegionalSettings", Bool01(f.UseRegionalSettings));
  stream.WriteString(out);
}

void TQXExportBaseComponent::LoadSpecification(const std::vector<std::string>& lines) {
  const TSpecValues v(lines);
  if (const std::string* t = v.Find("TableType")) {
    for (int i = 0; i < TableTypeCount; ++i)
      if (SameText(*t, TableTypes[i].Name)) SetTableType(TTableTypeExport(i));
  }
  AddTitle = v.Flag("AddTitle");
  BlankIfZero = v.Flag("BlankIfZero");
  FileName = v.Str("SourceFileName");
  SelectedRecord = v.Flag("SelectedRecord");
  TableName = v.Str("TableName");
  v.Enum("CharacterSet", CharacterSet, csUnicode);
  v.Int("Options", Options);
  Options &= (1u << (soAutoCloseStatistic + 1)) - 1;
  ExportIfEmpty = v.Flag("ExportIfEmpty");
  v.Int("RowsPerFile", RowsPerFile);
  v.Enum("ActionAfterExport", ActionAfterExport, aeEMail);

  TQXEStyle style = ExportStyle.Style();
  v.Enum("Style", style, esWheat);
  ExportStyle.SetStyle(style);
  v.Int("OddColor", ExportStyle.OddColor);
  v.Int("EvenColor", ExportStyle.EvenColor);
  v.Enum("Layout", Layout, elTabularForm);

  v.Enum("Measure", PageSetup.Measure, emPicas);
  PageSetup.UseDefault = v.Flag("UseDefault");
  v.Float("TopMargin", PageSetup.TopMargin);
  v.Float("BottomMargin", PageSetup.BottomMargin);
  v.Float("LeftMargin", PageSetup.LeftMargin);
  v.Float("RightMargin", PageSetup.RightMargin);
  v.Float("TableWidth", PageSetup.TableWidth);
  v.Enum("Orientation", PageSetup.Orientation, emLandscape);

  SendTo.EMailRecipient = v.Str("Recipient");
  SendTo.EMailSubject = v.Str("Subject");
  SendTo.EMailOpenBeforeSend = v.Flag("OpenDialog");

  Columns.Clear();
  for (int32_t i = 0;; ++i) {
    const std::string* map = v.Find("Map" + std::to_string(i));
    const size_t sep = map ? map->find(" = ") : std::string::npos;
    if (sep == std::string::npos) {
      if (i > 150) break;
      continue;
    }
    TQXEColumn* c = Columns.Add();
    c->FieldName = map->substr(sep + 3);
    const std::string title = map->substr(0, sep);
    if (title.empty()) {
      c->Title.Caption = c->FieldName;
      c->Visible = false;
    } else {
      c->Title.Caption = title;
    }
    const int32_t n = Columns.Count() - 1;
    if (const std::string* col = v.Find("Col" + std::to_string(n))) ParseFontText(*col, c->Alignment, c->Color, c->Font);
    if (const std::string* col = v.Find("ColTitle" + std::to_string(n)))
      ParseFontText(*col, c->Title.Alignment, c->Title.Color, c->Title.Font);
    v.Int("Width" + std::to_string(n), c->Width);
  }

  for (auto* list : {&Header, &Footer}) {
    const std::string name = list == &Header ? "Header" : "Footer";
    list->clear();
    // An empty line is a line too: reading stops at the first missing key.
    for (size_t i = 0;; ++i) {
      const std::string* text = v.Find(name + std::to_string(i));
      if (!text) break;
      list->push_back(*text);
    }
  }

  const std::string delimiter = FromHexCodes(v.Str("FieldDelimiter"));
  FieldDelimiter = delimiter.empty() ? '\0' : delimiter[0];
  const std::string qualifier = FromHexCodes(v.Str("TextQualifier"));
  TextQualifier = qualifier.empty() ? '\0' : qualifier[0];
  RecordSeparator = FromHexCodes(v.Str("RecordSeparator"));
  FixedWidth = v.Flag("Fixed");
  AutoFitColumns = v.Flag("AutoFitColumns");
  v.Int("RowFirst", RowFirst);
  v.Int("RowLast", RowLast);

  TQXEDataFormats& f = DataFormats;
  v.Enum("DateOrder", f.DateOrder, doMYD);
  v.Char("DateSeparator", f.DateSeparator);
  v.Char("TimeSeparator", f.TimeSeparator);
  v.Char("ThousandSeparator", f.ThousandSeparator);
  v.Char("DecimalSeparator", f.DecimalSeparator);
  f.CurrencyString = v.Str("CurrencyString");
  f.FourDigitYear = v.Flag("FourDigitYear");
  f.LeadingZerosInDate = v.Flag("LeadingZerosInDate");
  f.CustomDateTimeFormat = v.Str("CustomDateTimeFormat");
  f.BooleanTrue = v.Str("BooleanTrue");
  f.BooleanFalse = v.Str("BooleanFalse");
  f.UseRegionalSettings = v.Flag("UseRegionalSettings");
}

void TQXExportBaseComponent::LoadSpecificationFromStream(TStream& stream) {
  std::string text;
  char buf[4096];
  for (int64_t n; (n = stream.Read(buf, sizeof buf)) > 0;) text.append(buf, size_t(n));
  LoadSpecification(SpecLines(text));
}

void TQXExportBaseComponent::MergeSpecification(const std::vector<std::string>& lines) {
  // The first occurrence of a key wins: the lines, then the settings as they are.
  TMemoryStream own;
  SaveSpecification(own, std::string());
  std::string text(size_t(own.Size()), '\0');
  own.SetPosition(0);
  own.ReadBuffer(text.data(), int64_t(text.size()));
  std::vector<std::string> all = lines;
  for (std::string& line : SpecLines(text)) all.push_back(std::move(line));
  LoadSpecification(all);
}

void TQXExportBaseComponent::CopySpecificationTo(TQXExportBaseComponent& target, const std::string& specificationName) {
  TMemoryStream stream;
  SaveSpecification(stream, specificationName);
  stream.SetPosition(0);
  target.LoadSpecificationFromStream(stream);
}

std::string TQXExportBaseComponent::ResolveSpecificationName(const std::string& fileName) const {
  if (IsAbsolutePath(fileName) || FSpecificationDir.empty()) return fileName;
  return FSpecificationDir + fileName;
}

void TQXExportBaseComponent::LoadSpecificationFromFile(const std::string& fileName) {
  std::string name = ResolveSpecificationName(fileName);
  if (OnBeforeLoadSpecification) OnBeforeLoadSpecification(this, name);
  TFileStream stream(name, fmOpenRead | fmShareDenyWrite);
  LoadSpecificationFromStream(stream);
  if (OnAfterLoadSpecification) OnAfterLoadSpecification(this, name);
}

void TQXExportBaseComponent::SaveSpecificationToFile(const std::string& fileName, const std::string& specificationName) {
  std::string name = ResolveSpecificationName(fileName);
  if (OnBeforeSaveSpecification) OnBeforeSaveSpecification(this, name);
  TAtomicFileStream stream(name);
  SaveSpecification(stream, specificationName);
  stream.Commit();
  if (OnAfterSaveSpecification) OnAfterSaveSpecification(this, name);
}
