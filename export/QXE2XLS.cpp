#include "QXE2XLS.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <set>
#include <unordered_set>

#include "ByteWriter.h"
#include "CodePage.h"
#include "DateTime.h"
#include "QXEStat.h"
#include "SysUtils.h"

namespace {

// Built-in number formats; "" marks the ones taken from the regional settings.
const char* const BuiltInFormats[50] = {
    "General", "0", "0.00", "#,##0", "#,##0.00", "($#,##0_);($#,##0)", "($#,##0_);[Red]($#,##0)", "",
    "$#,##0.00_);[Red]($#,##0.00)", "0%", "0.00%", "0.00E+00", "# ?/?", "# ?" "?/?" "?", "", "d-mmm-yy", "d-mmm",
    "mmm-yy", "", "h:mm:ss AM/PM", "h:mm", "h:mm:ss", "",
    // 23 to 36 have no fixed meaning outside East Asian versions.
    "General", "General", "General", "General", "General", "General", "General", "General", "General", "General",
    "General", "General", "General", "General",
    "(#,##0_);(#,##0)", "(#,##0_);[Red](#,##0)", "(#,##0.00_);(#,##0.00)", "(#,##0.00_);[Red](#,##0.00)",
    "_(* #,##0_);_(* (#,##0);_(* \"-\"_);_(@_)", "_($* #,##0_);_($* (#,##0);_($* \"-\"_);_(@_)",
    "_(* #,##0.00_);_(* (#,##0.00);_(* \"-\"??_);_(@_)", "_($* #,##0.00_);_($* (#,##0.00);_($* \"-\"??_);_(@_)",
    "mm:ss", "[h]:mm:ss", "mm:ss.0", "##0.0E+0", "@"};

bool IsLocalisedFormat(int32_t i) { return i == 5 || i == 6 || i == 8 || i == 10 || (i >= 37 && i <= 44); }

// BIFF4's palette (indices 8 to 23).
const int32_t Biff4Palette[16] = {0x000000, 0xFFFFFF, 0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00, 0xFF00FF, 0x00FFFF,
                                  0x800000, 0x008000, 0x000080, 0x808000, 0x800080, 0x008080, 0xC0C0C0, 0x808080};

// The palette index nearest to a colour; -1 for a system colour (automatic).
int32_t PaletteIndex(TColor color) {
  if (color < 0) return -1;
  const int r = color & 0xFF, g = (color >> 8) & 0xFF, b = (color >> 16) & 0xFF;
  int best = 0;
  int64_t bestDist = INT64_MAX;
  for (int i = 0; i < 16; ++i) {
    const int pr = Biff4Palette[i] >> 16, pg = (Biff4Palette[i] >> 8) & 0xFF, pb = Biff4Palette[i] & 0xFF;
    const int64_t d = int64_t(r - pr) * (r - pr) + int64_t(g - pg) * (g - pg) + int64_t(b - pb) * (b - pb);
    if (d < bestDist) {
      bestDist = d;
      best = i;
    }
  }
  return best + 8;
}

// XF horizontal alignment: left is the default, which spreadsheet programs
// show as "general" (text left, numbers right).
uint8_t AlignmentCode(TAlignment a) {
  switch (a) {
    case taCenter: return 2;
    case taRightJustify: return 3;
    default: return 0;
  }
}

// Excel's literal characters in a format; others are escaped.
bool IsFormatLiteral(char c) {
  return c == ' ' || c == '-' || c == '/' || c == ':' || c == '(' || c == ')' || c == '+' || c == '$';
}

void AppendLiteral(std::string& out, char c) {
  if (IsFormatLiteral(c)) {
    out += c;
  } else {
    out += '\\';
    out += c;
  }
}

// Windows names of Arial with a character set; Gnumeric reads a BIFF4
// sheet's text in the code page such a name implies (and ignores CODEPAGE).
const char* DefaultFontName(int codePage) {
  switch (codePage) {
    case 1251: return "Arial Cyr";
    case 1253: return "Arial Greek";
    case 1254: return "Arial Tur";
    case 1257: return "Arial Baltic";
    default: return "Arial";
  }
}

bool IsDoubleByteCodePage(int codePage) {
  return codePage == 932 || codePage == 936 || codePage == 949 || codePage == 950;
}

// Whether byte b starts a two-byte character in a double-byte code page.
bool IsLeadByte(int codePage, uint8_t b) {
  switch (codePage) {
    case 932: return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
    case 936: case 949: case 950: return b >= 0x81 && b <= 0xFE;
    default: return false;
  }
}

constexpr uint16_t recBOF = 0x0409, recCODEPAGE = 0x0042, recCOUNTRY = 0x008C, recFONT = 0x0231,
                   recFORMAT = 0x041E, recXF = 0x0443, recDIMENSIONS = 0x0200, recCOLINFO = 0x007D,
                   recBLANK = 0x0201, recNUMBER = 0x0203, recLABEL = 0x0204, recBOOLERR = 0x0205, recRK = 0x027E,
                   recEOF = 0x000A;
constexpr int32_t DefaultXFCount = 16;
constexpr int32_t NumberFormatCount = 50;

}  // namespace

// --- formats ---------------------------------------------------------------

std::string LocaliseNumberFormat(const std::string& format, char decimalSeparator, char thousandSeparator) {
  std::string out = format;
  for (char& c : out) {
    if (c == '.') c = decimalSeparator;
    else if (c == ',') c = thousandSeparator;
  }
  return out;
}

std::string ExcelDateTimeFormat(const std::string& f, const TFormatSettings& fs) {
  std::string out;
  size_t i = 0;
  auto run = [&](char letter) {
    size_t n = 0;
    while (i + n < f.size() && (f[i + n] | 0x20) == letter) ++n;
    i += n;
    return n;
  };
  auto startsText = [&](const char* s) {
    const size_t n = std::strlen(s);
    return f.size() - i >= n && SameText(f.substr(i, n), s);
  };
  while (i < f.size()) {
    const char c = f[i];
    const char lc = char(c | 0x20);
    if (c == '"' || c == '\'') {
      const size_t end = f.find(c, i + 1);
      const std::string literal = f.substr(i + 1, (end == std::string::npos ? f.size() : end) - i - 1);
      if (!literal.empty()) out += "\"" + StringReplaceAll(literal, "\"", "") + "\"";
      i = end == std::string::npos ? f.size() : end + 1;
    } else if (startsText("ampm")) {
      out += "AM/PM";
      i += 4;
    } else if (startsText("am/pm")) {
      out += "AM/PM";
      i += 5;
    } else if (startsText("a/p")) {
      out += "A/P";
      i += 3;
    } else if (lc == 'c' && (unsigned char)c < 0x80 && std::isalpha((unsigned char)c)) {
      ++i;
      out += ExcelDateTimeFormat(fs.ShortDateFormat, fs) + " " + ExcelDateTimeFormat(fs.LongTimeFormat, fs);
    } else if (lc == 'd') {
      const size_t n = run('d');
      if (n <= 4) out.append(n, 'd');
      else out += ExcelDateTimeFormat(n == 5 ? fs.ShortDateFormat : fs.LongDateFormat, fs);
    } else if (lc == 'm') {
      out.append(std::min<size_t>(run('m'), 5), 'm');
    } else if (lc == 'y') {
      out += run('y') <= 2 ? "yy" : "yyyy";
    } else if (lc == 'h') {
      out.append(std::min<size_t>(run('h'), 2), 'h');
    } else if (lc == 'n') {
      // Minutes: "m" after an hour or before seconds reads as minutes.
      out.append(std::min<size_t>(run('n'), 2), 'm');
    } else if (lc == 's') {
      out.append(std::min<size_t>(run('s'), 2), 's');
    } else if (lc == 'z') {
      out.append(std::min<size_t>(run('z'), 3), '0');
    } else if (lc == 't') {
      const size_t n = run('t');
      out += ExcelDateTimeFormat(n == 1 ? fs.ShortTimeFormat : fs.LongTimeFormat, fs);
    } else if (c == '/') {
      AppendLiteral(out, fs.DateSeparator);
      ++i;
    } else if (c == ':') {
      AppendLiteral(out, fs.TimeSeparator);
      ++i;
    } else if ((unsigned char)c >= 0x80 || std::isalpha((unsigned char)c)) {
      // Any other letter is text, never a code.
      size_t n = 0;
      while (i + n < f.size() && ((unsigned char)f[i + n] >= 0x80 || std::isalpha((unsigned char)f[i + n])) &&
             std::string("dmyhnstzcaDMYHNSTZCA").find(f[i + n]) == std::string::npos)
        ++n;
      if (n == 0) n = 1;
      out += "\"" + f.substr(i, n) + "\"";
      i += n;
    } else {
      AppendLiteral(out, c);
      ++i;
    }
  }
  return out;
}

int ChooseXLSCodePage(const std::vector<char32_t>& characters) {
  for (int cp : XLSCodePages) {
    bool all = true;
    for (char32_t c : characters) {
      if (c > 0xFFFF) {
        all = false;
        break;
      }
      const std::u16string w(1, char16_t(c));
      const std::string bytes = WideToAnsi(w, cp);
      if ((bytes == "?" && c != u'?') || AnsiToWide(bytes, cp) != w) {
        all = false;
        break;
      }
    }
    if (all) return cp;
  }
  return CP_UTF8;
}

int32_t ExcelErrorCode(std::string_view text) {
  static const std::pair<std::string_view, int32_t> codes[] = {{"#NULL!", 0x00}, {"#DIV/0!", 0x07},
                                                                {"#VALUE!", 0x0F}, {"#REF!", 0x17},
                                                                {"#NAME?", 0x1D},  {"#NUM!", 0x24},
                                                                {"#N/A", 0x2A},    {"#GETTING_DATA", 0x2B}};
  for (const auto& [t, code] : codes)
    if (t == text) return code;
  return -1;
}

std::string XLSWorksheetMisfit(const TSpreadSheet& sheet) {
  const TSpreadSheetCells& cells = sheet.Cells;
  if (cells.RowCount > 16384)
    return "it has " + FormatThousands(cells.RowCount) + " rows, more than the 16,384 a worksheet file holds";
  if (cells.ColCount > 256)
    return "it has " + FormatThousands(cells.ColCount) + " columns, more than the 256 a worksheet file holds";
  std::vector<bool> characters(0x10000);  // UTF-16 units beyond ASCII
  bool anyCharacter = false;
  auto note = [&](char16_t u) {
    if (u >= 0x80 && !characters[u]) characters[u] = anyCharacter = true;
  };
  std::set<int32_t> formats;
  // A text many cells share (a shared-string entry) is looked at once.
  std::unordered_set<const void*> seen;
  // Texts with characters beyond ASCII, for the byte count in the code page chosen.
  std::vector<std::pair<const TQXICell*, int64_t>> wide;  // cell, row * 65536 + column
  int64_t longestAscii = -1;
  std::u16string text;
  for (int32_t r = 0; r < cells.Count(); ++r) {
    const TSpreadSheetCols* row = cells.RowCells(r);
    if (!row) continue;
    row->ForEachCell([&](int32_t c, const TQXICell& stored) {
      const TQXICell* cell = &stored;
      if (formats.insert(cell->FormatIndex()).second)
        for (char16_t u : Utf8ToUtf16(sheet.Formats().Code(cell->FormatIndex())))
          note(u);  // format records are text of the code page too
      const void* identity = cell->TextIdentity();
      if (!identity || !seen.insert(identity).second) return;
      if (cell->ValueType() == TVarType::WideString) {
        text = cell->WideValue();
      } else {
        const std::string& s = cell->StringValue();
        if (std::all_of(s.begin(), s.end(), [](char ch) { return uint8_t(ch) < 0x80; })) {
          if (int64_t(s.size()) > 255 && longestAscii < 0) longestAscii = int64_t(r) * 65536 + c;
          return;
        }
        text = AnsiToWide(s);
      }
      bool ascii = true;
      for (char16_t u : text)
        if (u >= 0x80) {
          note(u);
          ascii = false;
        }
      if (ascii) {
        if (text.size() > 255 && longestAscii < 0) longestAscii = int64_t(r) * 65536 + c;
      } else {
        wide.emplace_back(cell, int64_t(r) * 65536 + c);
      }
    });
  }
  auto where = [](int64_t at) {
    return ColumnNumberToLetters(int32_t(at % 65536) + 1) + std::to_string(at / 65536 + 1);
  };
  if (longestAscii >= 0) return "the text in cell " + where(longestAscii) + " is longer than the 255 bytes a worksheet cell holds";
  // Formats beyond the built-in ones take cell formats of their own (the
  // sheet's own formats are numbered from 50, at most 255).
  if (formats.size() > 200) return "it shows numbers in " + FormatThousands(int64_t(formats.size())) + " formats";
  if (!anyCharacter) return std::string();
  // The code page the writer will name: the system's when a worksheet may
  // name it, else the first that holds every character.
  std::vector<char32_t> all;
  for (char32_t u = 0x80; u < 0x10000; ++u)
    if (characters[u]) all.push_back(u);
  const int acp = GetACP();
  const bool systemPage = std::find(std::begin(XLSCodePages), std::end(XLSCodePages), acp) != std::end(XLSCodePages);
  const int codePage = systemPage ? acp : ChooseXLSCodePage(all);
  const bool held = codePage != CP_UTF8 && std::all_of(all.begin(), all.end(), [&](char32_t ch) {
    const std::u16string w(1, char16_t(ch));
    return ch <= 0xFFFF && AnsiToWide(WideToAnsi(w, codePage), codePage) == w;
  });
  if (!held) return "its texts hold characters that no single Windows code page of a worksheet file holds together";
  for (const auto& [cell, at] : wide) {
    const std::u16string text = cell->ValueType() == TVarType::WideString ? cell->WideValue() : AnsiToWide(cell->StringValue());
    if (WideToAnsi(text, codePage).size() > 255)
      return "the text in cell " + where(at) + " is longer than the 255 bytes a worksheet cell holds in code page " +
             std::to_string(codePage);
  }
  // Some readers of worksheet files (Gnumeric) take their texts as Western
  // whatever code page the file names, and would garble any other.
  if (codePage != 1252)
    return "its texts need code page " + std::to_string(codePage) + ", which not every reader of worksheet files honours";
  return std::string();
}

// --- number formats of a file ------------------------------------------------

bool TXLSNumberFormats::IsImplicit(int32_t id) {
  return (id >= 0 && id <= 4) || (id >= 9 && id <= 22) || (id >= 37 && id <= 40) || (id >= 45 && id <= 49);
}

void TXLSNumberFormats::Clear() {
  FIds.clear();
  FWritten.clear();
  FRecent.clear();
  FRecentNext = 0;
}

std::string DateCodesInLowerCase(std::string_view code) {
  std::string out(code);
  if (!IsDateTimeKind(ClassifyNumberFormat(code))) return out;
  for (size_t i = 0; i < out.size(); ++i) {
    const char c = out[i];
    if (c == '"') {
      const size_t end = out.find('"', i + 1);
      if (end == std::string::npos) break;
      i = end;
    } else if (c == '\\' || c == '_' || c == '*') {
      ++i;
    } else if (c == '[') {
      const size_t end = out.find(']', i + 1);
      if (end == std::string::npos) break;
      // Elapsed hours, minutes, seconds; colours, locales and conditions stay.
      const std::string inner = out.substr(i + 1, end - i - 1);
      if (!inner.empty() && inner.find_first_not_of("HMShms") == std::string::npos)
        for (size_t k = i + 1; k < end; ++k) out[k] = char(std::tolower(uint8_t(out[k])));
      i = end;
    } else if (c == 'A' && (out.compare(i, 5, "AM/PM") == 0 || out.compare(i, 3, "A/P") == 0)) {
      i += out.compare(i, 5, "AM/PM") == 0 ? 4 : 2;  // shown in the case written
    } else if (std::strchr("DMYHSEGB", c) && c != '\0') {
      if (c == 'E' && i + 1 < out.size() && (out[i + 1] == '+' || out[i + 1] == '-')) continue;
      if (c == 'G' && out.compare(i, 7, "General") == 0) {
        i += 6;
        continue;
      }
      out[i] = char(std::tolower(uint8_t(c)));
    }
  }
  return out;
}

int32_t TXLSNumberFormats::Id(std::string_view sourceCode, int32_t builtIn) {
  // An answer once given stays (the table only grows), so it can be kept.
  for (const TRecent& r : FRecent)
    if (r.BuiltIn == builtIn && r.Code == sourceCode) return r.Id;
  const int32_t id = Find(sourceCode, builtIn);
  constexpr size_t Kept = 16;
  if (FRecent.size() < Kept) {
    FRecent.push_back({std::string(sourceCode), builtIn, id});
  } else {
    FRecent[FRecentNext] = {std::string(sourceCode), builtIn, id};
    FRecentNext = (FRecentNext + 1) % Kept;
  }
  return id;
}

int32_t TXLSNumberFormats::Find(std::string_view sourceCode, int32_t builtIn) {
  if (sourceCode.empty() || SameText(std::string(sourceCode), "General")) return 0;
  // Readers that type cells by their format look for the date letters in
  // lower case; Excel reads both alike.
  const std::string lowered = DateCodesInLowerCase(sourceCode);
  const std::string_view code = lowered;
  std::string key(code);
  key += '\x1F';
  key += std::to_string(builtIn);
  auto it = FIds.find(key);
  if (it != FIds.end()) return it->second;
  int32_t id = -1;
  // The id the source referred to, unless another code has it already.
  if (builtIn > 0 && builtIn < FFirstCustom &&
      std::none_of(FWritten.begin(), FWritten.end(), [&](const auto& w) { return w.first == builtIn; }))
    id = builtIn;
  // A code readers know by its id; the dates and times of 14 and 18 to 22
  // follow the reader's locale, so only a source's own reference gets them.
  if (id < 0)
    for (int32_t i : {1, 2, 3, 4, 9, 10, 11, 12, 13, 15, 16, 17, 37, 38, 39, 40, 45, 46, 47, 48, 49})
      if (i < FFirstCustom && BuiltInNumberFormat(i) == code) {
        id = i;
        break;
      }
  if (id < 0) {
    int32_t customs = 0;
    for (const auto& w : FWritten) customs += w.first >= FFirstCustom;
    id = FFirstCustom + customs;
    if (id > FMaxId) return 0;
  }
  if (id >= FFirstCustom || (!IsImplicit(id) && !FBuiltInsWritten)) FWritten.emplace_back(id, std::string(code));
  FIds.emplace(std::move(key), id);
  return id;
}

// --- shared registries -------------------------------------------------------

int32_t TQXEXLSSST::Add(std::string_view text) {
  ++FReferences;
  const uint32_t hash = uint32_t(std::hash<std::string_view>()(text));
  // At most half full: short probe runs.
  if ((FHashes.size() + 1) * 2 > FSlots.size()) Rehash(std::max<size_t>(FSlots.size() * 2, 1024));
  const size_t mask = FSlots.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const int32_t slot = FSlots[i];
    if (slot == 0) {
      const int32_t index = int32_t(FHashes.size());
      FSlots[i] = index + 1;
      FHashes.push_back(hash);
      FText.append(text);
      FStarts.push_back(FText.size());
      return index;
    }
    if (FHashes[size_t(slot - 1)] == hash && (*this)[slot - 1] == text) return slot - 1;
  }
}

void TQXEXLSSST::Rehash(size_t slots) {
  FSlots.assign(slots, 0);
  const size_t mask = slots - 1;
  for (size_t n = 0; n < FHashes.size(); ++n) {
    size_t i = FHashes[n] & mask;
    while (FSlots[i] != 0) i = (i + 1) & mask;
    FSlots[i] = int32_t(n + 1);
  }
}

void TQXEXLSSST::Clear() {
  FText.clear();
  FStarts.assign(1, 0);
  FHashes.clear();
  FSlots.clear();
  FReferences = 0;
  FKeys.clear();
  RecordSizes.clear();
}

size_t TQXExportToCustomXLS::TFormatHash::operator()(const TXLSFormat& f) const {
  uint64_t h = uint32_t(f.FontIndex);
  h = h * 1000003u ^ uint32_t(f.Color);
  h = h * 1000003u ^ uint32_t(f.NumberFormat);
  h = h * 1000003u ^ uint32_t(f.Alignment);
  return size_t(h);
}

TQXExportToCustomXLS::TQXExportToCustomXLS() {
  SetTableType(teXLS);
  if (const char* user = std::getenv("USER"); user && *user) {
    UserName = user;
  } else {
    // The reentrant form: workers of a run create exports at the same time.
    passwd entry{}, *pw = nullptr;
    char buffer[1024];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &pw) == 0 && pw) UserName = pw->pw_name;
  }
}

TQXExportToCustomXLS::~TQXExportToCustomXLS() = default;

int32_t TQXExportToCustomXLS::NumberFormatOf(TCellType cellType) const {
  switch (cellType) {
    case ctInteger: return 1;
    case ctDouble: return 2;
    case ctDateTime: return 22;
    case ctDate: return 14;
    case ctCurrency: return 7;
    case ctTime: return 20;
    default: return 0;
  }
}

std::string TQXExportToCustomXLS::BuiltInFormat(int32_t index, bool localised) const {
  const TFormatSettings& fs = FFormatSettings;
  const std::string currency = "\"" + StringReplaceAll(fs.CurrencyString, "\"", "") + "\"";
  switch (index) {
    case 7:
      switch (fs.CurrencyFormat) {
        case 1: return "00.00" + currency;
        case 2: return currency + " 00.00";
        case 3: return "00.00 " + currency;
        default: return currency + "00.00";
      }
    case 14: return ExcelDateTimeFormat(fs.ShortDateFormat, fs);
    case 18: return ExcelDateTimeFormat(fs.ShortTimeFormat, fs);
    // A date-time shows its time too.
    case 22: return ExcelDateTimeFormat(fs.ShortDateFormat, fs) + " " + ExcelDateTimeFormat(fs.ShortTimeFormat, fs);
    default: break;
  }
  if (index < 0 || index >= NumberFormatCount) return "General";
  const std::string f = BuiltInFormats[index];
  return localised && IsLocalisedFormat(index) ? LocaliseNumberFormat(f, fs.DecimalSeparator, fs.ThousandSeparator) : f;
}

void TQXExportToCustomXLS::WriteText(const std::string& text, bool lengthPrefix) {
  const size_t n = std::min<size_t>(text.size(), 255);
  if (lengthPrefix) {
    const uint8_t len = uint8_t(n);
    WriteData(&len, 1);
  }
  WriteData(text.data(), n);
}

void TQXExportToCustomXLS::InitDefaultFont(TQXEFont& font) const {
  font = TQXEFont();
  font.Name = "Arial";
  font.Size = 8;
  font.Color = clWindowText;
}

void TQXExportToCustomXLS::WriteRecordHeader(TStream& stream, uint16_t recordNumber, uint16_t dataLength) {
  uint8_t h[4];
  PutU16(h, recordNumber);
  PutU16(h + 2, dataLength);
  stream.WriteBuffer(h, 4);
}

void TQXExportToCustomXLS::FlushGathered() {
  if (!FGathered || FGathered->Size() == 0) return;
  WriteData(FGathered->Memory(), size_t(FGathered->Size()));
  FGathered->Clear();
}

void TQXExportToCustomXLS::PrepareExport() {
  if (!KeepsRegistries()) ClearRegistries();
  Warnings.clear();
  FCutTexts = 0;
  FColumnLooks.clear();
  TQXExportToCellFile::PrepareExport();
}

void TQXExportToCustomXLS::FinishExport() {
  if (!KeepsRegistries()) ClearRegistries();
  FGathered.reset();
  if (FCutTexts > 0)
    Warnings.push_back(FormatThousands(FCutTexts) + (FCutTexts == 1 ? " text was" : " texts were") +
                       " longer than the " + FCutLimit + " a cell holds and cut to fit, the first in cell " + FFirstCut +
                       ".");
  FCutTexts = 0;
  TQXExportToCellFile::FinishExport();
}

void TQXExportToCustomXLS::ClearRegistries() {
  FFonts.clear();
  FFormats.clear();
  FFormatIndex.clear();
  FPictures.clear();
  FSST.Clear();
  FNumberFormatIds.Clear();
}

bool TQXExportToCustomXLS::TextNumber(TCellType type, const std::string& text, double& number) const {
  number = 0;
  switch (type) {
    case ctInteger: {
      int64_t n;
      if (TryStrToInt64(text, n)) {
        number = double(n);
        return true;
      }
      return TryStrToFloat(text, number, FFormatSettings);
    }
    case ctDate:
      if (!TryStrToDate(text, number, FFormatSettings)) return false;
      number = std::trunc(number);
      return true;
    case ctDouble: return TryStrToFloat(text, number, FFormatSettings);
    case ctCurrency: {
      // "$1,234.50", "(12.00)", "1 234,50 EUR": the amount alone.
      std::string amount = DataFormats.CurrencyString.empty() ? text : StringReplaceAll(text, DataFormats.CurrencyString, "");
      amount.erase(std::remove(amount.begin(), amount.end(), FFormatSettings.ThousandSeparator), amount.end());
      amount = Trim(amount);
      const bool negative = amount.size() >= 2 && amount.front() == '(' && amount.back() == ')';
      if (negative) amount = Trim(amount.substr(1, amount.size() - 2));
      if (!TryStrToFloat(amount, number, FFormatSettings)) return false;
      if (negative) number = -number;
      return true;
    }
    case ctTime: return TryStrToTime(text, number, FFormatSettings);
    case ctDateTime: return TryStrToDateTime(text, number, FFormatSettings);
    default: return false;
  }
}

std::string TQXExportToCustomXLS::NumberFormatCode(int32_t index) const {
  const std::string_view code = BuiltInNumberFormat(index);
  return code.empty() ? std::string("General") : std::string(code);
}

bool TQXExportToCustomXLS::ClassifyCell(TCellType cellType, int32_t row, int32_t column, const std::string& text,
                                        TExcelCell& cell) {
  cell = TExcelCell();
  bool typed, empty;
  if (!AcceptCell(cellType, row, column, text, typed, empty)) return false;
  if (cellType == ctGraphic) {
    cell.Kind = TExcelCell::ecPicture;
    return true;
  }
  TCellType type = HasOption(soFieldMask) ? ctString : cellType;
  if (type == ctCurrency && DataFormats.CurrencyString.empty()) type = ctDouble;
  const TQXECellValue* source = HasOption(soFieldMask) ? nullptr : TypedCell();
  // The source's own format; else the one of the engine's choice or of the type.
  auto format = [&](TCellType t) {
    if (source && !source->FormatCode.empty()) {
      cell.FormatCode = source->FormatCode;
      cell.BuiltIn = source->BuiltInFormat;
      return;
    }
    const int32_t n = source && source->NumberFormat >= 0 ? source->NumberFormat : NumberFormatOf(t);
    FFallbackCode = NumberFormatCode(n);
    cell.FormatCode = FFallbackCode;
    cell.BuiltIn = n < 164 ? n : -1;
  };
  const TVariant& value = CellValue();
  if (empty) {
    cell.Kind = TExcelCell::ecBlank;
    format(ctString);
    return true;
  }
  if (typed && !value.IsText()) {
    // A boolean value, or a number a reader typed as boolean.
    if ((value.Type() == TVarType::Boolean && IsValueCellType(type)) || type == ctBoolean) {
      cell.Kind = TExcelCell::ecBoolean;
      cell.Boolean = value.ToDouble() != 0;
      format(ctBoolean);
      return true;
    }
    switch (type) {
      case ctInteger: case ctDouble: case ctCurrency: case ctDate: case ctTime: case ctDateTime:
        cell.Kind = TExcelCell::ecNumber;
        if (const double* fraction = CellPercentFraction()) {
          cell.Number = *fraction;
        } else {
          cell.Number = value.ToDouble();
          cell.IsInteger = value.Type() == TVarType::Integer;
          if (cell.IsInteger) cell.Integer = value.AsInteger();
        }
        format(type);
        return true;
      default:
        break;  // shown as text
    }
    cell.Kind = TExcelCell::ecText;
    cell.Text = &text;
    format(ctString);
    return true;
  }
  if (typed) {
    format(ctString);
    if (source && source->Error) {
      cell.Kind = TExcelCell::ecError;
      cell.Error = value.Type() == TVarType::String ? std::string_view(value.AsString()) : std::string_view(text);
      return true;
    }
    cell.Kind = TExcelCell::ecText;
    cell.TextValue = &value;
    cell.TextKey = source ? source->TextKey : nullptr;
    return true;
  }
  // A text with a type: header and footer lines, titles, constants, fields.
  double number;
  if (type == ctBoolean && (text == DataFormats.BooleanTrue || text == DataFormats.BooleanFalse)) {
    cell.Kind = TExcelCell::ecBoolean;
    cell.Boolean = text == DataFormats.BooleanTrue;
    format(type);
  } else if (TextNumber(type, text, number)) {
    cell.Kind = TExcelCell::ecNumber;
    cell.Number = number;
    int64_t n;
    cell.IsInteger = type == ctInteger && TryStrToInt64(text, n);
    if (cell.IsInteger) cell.Integer = n;
    format(type);
  } else {
    cell.Kind = TExcelCell::ecText;
    cell.Text = &text;
    format(ctString);
  }
  return true;
}

std::u16string TQXExportToCustomXLS::CellWideText(const TExcelCell& cell) const {
  if (cell.TextValue && cell.TextValue->Type() == TVarType::WideString) return cell.TextValue->AsWide();
  if (cell.TextValue && cell.TextValue->Type() == TVarType::String) return AnsiToWide(cell.TextValue->AsString());
  if (!cell.Text) return std::u16string();
  switch (CharacterSet) {
    case csUTF8: return Utf8ToUtf16(*cell.Text);
    case csASCII_MSDOS: return AnsiToWide(*cell.Text, GetOEMCP());
    default: return AnsiToWide(*cell.Text);
  }
}

void TQXExportToCustomXLS::NoteCutText(int32_t row, int32_t column, const std::string& limit) {
  if (FCutTexts++ == 0) {
    FFirstCut = ColumnNumberToLetters(column + 1) + std::to_string(int64_t(row) + 1);
    FCutLimit = limit;
  }
}

void TQXExportToCustomXLS::GatherColumnLooks() {
  FColumnLooks.clear();
  if (Layout != elColumnar) return;
  for (const auto& c : Columns) {
    if (!c->Visible && !HasOption(soExportInvisibleFields)) continue;
    if (c->SourceWidth < 0) {
      // An engine without a source: the columns' own widths.
      FColumnLooks.clear();
      return;
    }
    FColumnLooks.push_back({c->SourceWidth, c->SourceHidden});
  }
}

bool TQXExportToCustomXLS::AcceptCell(TCellType cellType, int32_t row, int32_t column, const std::string& text,
                                      bool& typed, bool& empty) {
  typed = HasCellValue() && !HasOption(soFieldMask);
  const TVariant& value = CellValue();
  empty = cellType == ctBlank || (typed ? value.IsEmptyOrNull() || (value.IsText() && text.empty()) : text.empty());
  if (column >= 0 && column < MaxCols() && row >= 0 && row < MaxRows()) return true;
  // Nothing to lose in an empty cell beyond the grid.
  if (empty && !HasOption(soExportBlankValues)) return false;
  if (column < 0 || column >= MaxCols()) throw EQXEMaxColCountException(Format(QXEMaxColCountText, MaxCols()));
  throw EQXEMaxRowCountException(Format(QXEMaxRowCountText, MaxRows()));
}

int32_t TQXExportToCustomXLS::RegisterFont(const TQXEFont& font) {
  for (size_t i = 0; i < FFonts.size(); ++i) {
    const TQXEFont& f = FFonts[i];
    if (f.Name == font.Name && f.Style == font.Style && f.Size == font.Size && f.Color == font.Color)
      return int32_t(i);
  }
  if (FFonts.size() >= 4) return -1;
  FFonts.push_back(font);
  return int32_t(FFonts.size() - 1);
}

int32_t TQXExportToCustomXLS::RegisterFormat(const TXLSFormat& format) {
  // try_emplace: no node is made for a format already known (most cells).
  auto [it, added] = FFormatIndex.try_emplace(format, int32_t(FFormats.size()));
  if (added) FFormats.push_back(format);
  return it->second;
}

// --- TQXExportToXLS ---------------------------------------------------------

TQXExportToXLS::TQXExportToXLS() = default;

void TQXExportToXLS::PrepareOutput() {
  const int acp = GetACP();
  FCodePage = acp;
  if (std::find(std::begin(XLSCodePages), std::end(XLSCodePages), acp) == std::end(XLSCodePages)) {
    // UTF-8 (and code pages other readers do not know): the first listed
    // code page that holds every text of the sheet.
    std::set<char32_t> seen;
    auto collect = [&](const std::u16string& w) {
      for (char16_t u : w)
        if (u >= 0x80) seen.insert(u);
    };
    ForEachOutputText([&](const TVariant& v) {
      if (v.Type() == TVarType::WideString) {
        collect(v.AsWide());
        return;
      }
      const std::string& s = v.AsString();
      for (unsigned char ch : s) {
        if (ch >= 0x80) {
          collect(AnsiToWide(s));
          return;
        }
      }
    });
    FCodePage = ChooseXLSCodePage(std::vector<char32_t>(seen.begin(), seen.end()));
  }
  FConvert = FCodePage != acp;
  FDefaultFontName = DefaultFontName(FCodePage);
  // The formats the cells will carry come before any cell.
  FNumberFormats.Clear();
  FFormatsWritten = 0;
  if (TQXECustomDataEngine* engine = WorkingEngine()) {
    std::vector<TQXEColumn*> fields;
    for (const auto& c : Columns)
      if ((c->Visible || HasOption(soExportInvisibleFields)) && c->ColumnKind == ckField) fields.push_back(c.get());
    engine->ForEachFormatCode(fields, [this](std::string_view code, int32_t builtIn) { FNumberFormats.Id(code, builtIn); });
  }
}

void TQXExportToXLS::WriteData(const void* data, size_t size) {
  TStream* sink = FGather ? static_cast<TStream*>(FGathered.get()) : Stream();
  if (sink) sink->WriteBuffer(data, int64_t(size));
}

void TQXExportToXLS::Record(uint16_t number, const void* data, size_t size) {
  uint8_t buf[4 + 64];
  PutU16(buf, number);
  PutU16(buf + 2, uint16_t(size));
  if (size <= 64) {
    if (size) std::memcpy(buf + 4, data, size);
    WriteData(buf, size + 4);
  } else {
    WriteData(buf, 4);
    WriteData(data, size);
  }
}

void TQXExportToXLS::StartFile() {
  TQXExportToCustomXLS::StartFile();
  FGather = false;
  FDimensionsPos = -1;
  FLastRow = FLastCol = -1;
  uint8_t d[6];
  PutU16(d, 0);
  PutU16(d + 2, 0x0010);  // worksheet
  PutU16(d + 4, 3515);
  Record(recBOF, d, 6);
  PutU16(d, uint16_t(FCodePage));
  Record(recCODEPAGE, d, 2);
  PutU16(d, 1);
  PutU16(d + 2, 1);
  Record(recCOUNTRY, d, 4);
  if (HasOption(soColorsFonts)) {
    // Fonts and cell formats are known only at the end; the cells wait.
    if (!FGathered) FGathered = std::make_unique<TMemoryStream>();
    FGathered->Clear();
    FFonts.clear();
    FFormats.clear();
    TQXEFont font;
    InitDefaultFont(font);
    font.Name = FDefaultFontName;
    RegisterFont(font);
    FGather = true;
  } else {
    TQXEFont font;
    InitDefaultFont(font);
    font.Name = FDefaultFontName;
    WriteFont(font);
    WriteFormatsAndXFs();
  }
}

void TQXExportToXLS::WriteFormatsAndXFs() {
  for (int32_t i = 0; i < NumberFormatCount; ++i) WriteFormat(i, BuiltInFormat(i), false);
  // The sheet's own formats, numbered on from 50 by their position.
  FFormatsWritten = NumberFormatCount;
  for (const auto& [id, code] : FNumberFormats.Written()) {
    WriteFormat(id, Utf8ToAnsi(code), false);
    FFormatsWritten = std::max(FFormatsWritten, id + 1);
  }
  // 15 style XFs and the default cell XF.
  for (int32_t i = 0; i < DefaultXFCount; ++i) {
    uint8_t d[12] = {};
    const bool style = i < 15;
    PutU16(d + 2, style ? (0x0001 | 0x0004 | 0xFFF0) : 0x0001);
    d[4] = 0x20;  // bottom
    d[5] = style && i > 0 ? 0xF4 : 0;
    PutU16(d + 6, 0xCE00);
    Record(recXF, d, 12);
  }
  if (HasOption(soColorsFonts)) {
    for (size_t i = 0; i < FFormats.size(); ++i) WriteXF(FFormats[i], int32_t(i));
  } else {
    // Every number format with every alignment, so cells stream.
    TXLSFormat f;
    for (int32_t n = 0; n < FFormatsWritten; ++n)
      for (int32_t a = 0; a < 3; ++a) {
        f.NumberFormat = n;
        f.Alignment = a == 0 ? 0 : a + 1;
        f.Color = -1;
        WriteXF(f, 0);
      }
  }
}

int32_t TQXExportToXLS::CellXF(int32_t numberFormat, TAlignment alignment, const TQXEFont& font, TColor color) {
  if (numberFormat < 0 || numberFormat > 255) numberFormat = 0;
  if (!HasOption(soColorsFonts)) {
    const int32_t a = alignment == taCenter ? 1 : alignment == taRightJustify ? 2 : 0;
    return DefaultXFCount + numberFormat * 3 + a;
  }
  TXLSFormat f;
  f.FontIndex = std::max(RegisterFont(font), 0);
  f.Color = color;
  f.NumberFormat = numberFormat;
  f.Alignment = AlignmentCode(alignment);
  return DefaultXFCount + RegisterFormat(f);
}

void TQXExportToXLS::SetDimensions(int32_t rowCount, int32_t colCount) {
  GatherColumnLooks();
  if (RowsPerFile == 0 &&
      int64_t(rowCount) + int64_t(Header.size()) + int64_t(Footer.size()) > int64_t(MaxRows()))
    throw EQXEMaxRowCountException(Format(QXEMaxRowCountText, MaxRows()));
  if (colCount - 1 > MaxCols())
    throw EQXEMaxColCountException(Format(QXEMaxColCountText, MaxCols()));
  // Written now, filled in with the real extent at the end of the file.
  FDimensionsPos = FGather ? FGathered->Position() : (Stream() ? Stream()->Position() : -1);
  uint8_t d[10] = {};
  Record(recDIMENSIONS, d, 10);
}

bool TQXExportToCustomXLS::ColumnInfo(int32_t column, int32_t width, int32_t& width256, bool& hidden) const {
  if (const TColumnLook* look = ColumnLook(column)) {
    if (look->Width256 <= 0 && !look->Hidden) return false;
    width256 = look->Width256 > 0 ? std::min(look->Width256, 255 * 256) : DefaultWidth256;
    hidden = look->Hidden;
    return true;
  }
  if (width < 1) return false;
  width256 = std::min(width, 255) * 256;
  hidden = false;
  return true;
}

void TQXExportToXLS::SetColumnWidth(int32_t column, int32_t width) {
  if (column < 0 || column > 255) return;
  int32_t width256 = 0;
  bool hidden = false;
  if (!ColumnInfo(column, width == 10 ? 12 : width, width256, hidden)) return;
  uint8_t d[12] = {};
  PutU16(d, uint16_t(column));
  PutU16(d + 2, uint16_t(column));
  PutU16(d + 4, uint16_t(width256));
  PutU16(d + 6, 15);
  PutU16(d + 8, hidden ? 1 : 0);
  Record(recCOLINFO, d, 12);
}

void TQXExportToXLS::BeginRow() {
  TQXExportToCustomXLS::BeginRow();
  if (Statistic.CurrentRow > MaxRows() - 1)
    throw EQXEMaxRowCountException(Format(QXEMaxRowCountText, MaxRows()));
}

void TQXExportToXLS::Touch(int32_t row, int32_t column) {
  FLastRow = std::max(FLastRow, row);
  FLastCol = std::max(FLastCol, column);
}

void TQXExportToXLS::WriteNumber(int32_t row, int32_t column, int32_t xf, double value) {
  uint8_t d[14];
  PutU16(d, uint16_t(row));
  PutU16(d + 2, uint16_t(column));
  PutU16(d + 4, uint16_t(xf));
  if (!std::isfinite(value)) {
    WriteBoolErr(row, column, xf, 0x24, true);  // #NUM!
    return;
  }
  const uint64_t bits = std::bit_cast<uint64_t>(value);
  if (value == std::trunc(value) && std::fabs(value) < 536870912.0 && !(value == 0 && std::signbit(value))) {
    PutU32(d + 6, (uint32_t(int32_t(value)) << 2) | 2);
    Record(recRK, d, 10);
  } else if ((bits & 0x3FFFFFFFFull) == 0) {
    PutU32(d + 6, uint32_t(bits >> 32));
    Record(recRK, d, 10);
  } else {
    std::memcpy(d + 6, &bits, 8);  // little-endian host
    Record(recNUMBER, d, 14);
  }
  Touch(row, column);
}

std::string TQXExportToXLS::LabelBytes(const TExcelCell& cell, int32_t row, int32_t column) {
  // 8-bit text of the system code page passes through when the file's code
  // page is the same or the text is ASCII (every code page a .xls may take
  // keeps ASCII as it is); anything else is converted from its characters.
  std::string bytes;
  const std::string* narrow = cell.TextValue && cell.TextValue->Type() == TVarType::String ? &cell.TextValue->AsString()
                              : cell.Text && CharacterSet != csUTF8 && CharacterSet != csASCII_MSDOS ? cell.Text
                                                                                                    : nullptr;
  if (narrow && (!FConvert || std::all_of(narrow->begin(), narrow->end(), [](char c) { return uint8_t(c) < 0x80; })))
    bytes = *narrow;
  else
    bytes = WideToAnsi(CellWideText(cell), FCodePage);
  if (bytes.size() <= 255) return bytes;
  size_t cut = 0;
  if (FCodePage == CP_UTF8) {
    cut = 255;
    while (cut > 0 && (uint8_t(bytes[cut]) & 0xC0) == 0x80) --cut;
  } else if (IsDoubleByteCodePage(FCodePage)) {
    for (size_t i = 0; i < bytes.size();) {
      const size_t n = IsLeadByte(FCodePage, uint8_t(bytes[i])) ? 2 : 1;
      if (i + n > 255) break;
      i += n;
      cut = i;
    }
  } else {
    cut = 255;
  }
  bytes.resize(cut);
  NoteCutText(row, column, "255 bytes");
  return bytes;
}

void TQXExportToXLS::WriteLabel(int32_t row, int32_t column, int32_t xf, const std::string& bytes) {
  uint8_t d[8 + 255];
  PutU16(d, uint16_t(row));
  PutU16(d + 2, uint16_t(column));
  PutU16(d + 4, uint16_t(xf));
  PutU16(d + 6, uint16_t(bytes.size()));
  std::memcpy(d + 8, bytes.data(), bytes.size());
  Record(recLABEL, d, 8 + bytes.size());
  Touch(row, column);
}

void TQXExportToXLS::WriteBlank(int32_t row, int32_t column, int32_t xf) {
  uint8_t d[6];
  PutU16(d, uint16_t(row));
  PutU16(d + 2, uint16_t(column));
  PutU16(d + 4, uint16_t(xf));
  Record(recBLANK, d, 6);
  Touch(row, column);
}

void TQXExportToXLS::WriteBoolErr(int32_t row, int32_t column, int32_t xf, uint8_t value, bool isError) {
  uint8_t d[8];
  PutU16(d, uint16_t(row));
  PutU16(d + 2, uint16_t(column));
  PutU16(d + 4, uint16_t(xf));
  d[6] = value;
  d[7] = isError ? 1 : 0;
  Record(recBOOLERR, d, 8);
  Touch(row, column);
}

void TQXExportToXLS::WriteCell(TQXEField* field, TCellType cellType, int32_t row, int32_t column,
                               const std::string& text, TAlignment alignment, const TQXEFont& font, TColor color) {
  TExcelCell cell;
  if (!ClassifyCell(cellType, row, column, text, cell)) return;
  TQXExportToCustomXLS::WriteCell(field, cellType, row, column, text, alignment, font, color);
  const int32_t xf = CellXF(FormatPosition(cell.FormatCode, cell.BuiltIn), alignment, font, color);
  EmitBiffCell(*this, cell, row, column, xf, [&] { WriteLabel(row, column, xf, LabelBytes(cell, row, column)); });
}

int32_t TQXExportToXLS::FormatPosition(std::string_view code, int32_t builtIn) {
  const int32_t id = FNumberFormats.Id(code, builtIn);
  // Streamed cells can only take a format whose cell formats were written.
  return FGather || id < FFormatsWritten ? id : 0;
}

void TQXExportToXLS::EndOfFile() {
  TQXExportToCustomXLS::EndOfFile();
  uint8_t dims[10] = {};
  if (FLastRow >= 0) {
    PutU16(dims + 2, uint16_t(std::min(FLastRow + 1, 0xFFFF)));
    PutU16(dims + 6, uint16_t(std::min(FLastCol + 1, 0xFFFF)));
  }
  if (FGather) {
    FGather = false;
    if (FDimensionsPos >= 0) std::memcpy(FGathered->Memory() + FDimensionsPos + 4, dims, 10);
    for (const TQXEFont& f : FFonts) WriteFont(f);
    WriteFormatsAndXFs();
    FlushGathered();
    FFonts.clear();
    FFormats.clear();
    FPictures.clear();
  } else if (FDimensionsPos >= 0 && Stream()) {
    TStream& s = *Stream();
    const int64_t end = s.Position();
    s.SetPosition(FDimensionsPos + 4);
    s.WriteBuffer(dims, 10);
    s.SetPosition(end);
  }
  Record(recEOF, nullptr, 0);
}

void TQXExportToXLS::WriteFont(const TQXEFont& font) {
  const std::string name = FConvert ? WideToAnsi(AnsiToWide(font.Name), FCodePage) : font.Name;
  const size_t n = std::min<size_t>(name.size(), 255);
  uint8_t d[7 + 255];
  PutU16(d, uint16_t(std::clamp(font.Size, 1, 409) * 20));
  uint16_t attr = 0;
  if (font.Style & fsBold) attr |= 0x01;
  if (font.Style & fsItalic) attr |= 0x02;
  if (font.Style & fsUnderline) attr |= 0x04;
  if (font.Style & fsStrikeOut) attr |= 0x08;
  PutU16(d + 2, attr);
  const int32_t colorIndex = PaletteIndex(font.Color);
  PutU16(d + 4, colorIndex < 0 ? 0x7FFF : uint16_t(colorIndex));
  d[6] = uint8_t(n);
  std::memcpy(d + 7, name.data(), n);
  Record(recFONT, d, 7 + n);
}

void TQXExportToXLS::WriteFormat(int32_t index, const std::string& format, bool) {
  // BIFF4 readers number formats by their position; the index field agrees.
  const std::string text = FConvert ? WideToAnsi(AnsiToWide(format), FCodePage) : format;
  const size_t n = std::min<size_t>(text.size(), 255);
  uint8_t d[3 + 255];
  PutU16(d, uint16_t(index));
  d[2] = uint8_t(n);
  std::memcpy(d + 3, text.data(), n);
  Record(recFORMAT, d, 3 + n);
}

void TQXExportToXLS::WriteXF(const TXLSFormat& format, int32_t) {
  uint8_t d[12] = {};
  d[0] = uint8_t(std::clamp(format.FontIndex, 0, 255));
  d[1] = uint8_t(std::clamp(format.NumberFormat, 0, 255));
  PutU16(d + 2, 0x0001);  // locked, parent style XF 0
  d[4] = uint8_t((format.Alignment > 0 ? format.Alignment : 0) | 0x20);
  const int32_t fill = PaletteIndex(format.Color);
  uint8_t used = 0x04 | 0x10;
  if (format.FontIndex > 0) used |= 0x08;
  if (fill >= 0 && fill != 8) {
    PutU16(d + 6, uint16_t(1 | (fill << 6) | (25 << 11)));
    used |= 0x40;
  } else {
    PutU16(d + 6, 0xCE00);
  }
  d[5] = used;
  Record(recXF, d, 12);
}
