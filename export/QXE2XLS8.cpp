#include "QXE2XLS8.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "ByteWriter.h"
#include "CodePage.h"
#include "DateTime.h"
#include "QXEOleWriter.h"
#include "QXEStat.h"
#include "SysUtils.h"

namespace {

constexpr uint16_t recBOF = 0x0809, recEOF = 0x000A, recCODEPAGE = 0x0042, recWINDOW1 = 0x003D,
                   recDATEMODE = 0x0022, recPRECISION = 0x000E, recFONT = 0x0031, recFORMAT = 0x041E,
                   recXF = 0x00E0, recSTYLE = 0x0293, recBOUNDSHEET = 0x0085, recSST = 0x00FC,
                   recCONTINUE = 0x003C, recEXTSST = 0x00FF, recCOLINFO = 0x007D, recDIMENSIONS = 0x0200,
                   recBLANK = 0x0201, recNUMBER = 0x0203, recLABELSST = 0x00FD, recBOOLERR = 0x0205,
                   recRK = 0x027E, recWINDOW2 = 0x023E;
// The most data one record (or CONTINUE) carries.
constexpr size_t MaxRecordData = 8224;
constexpr int32_t StyleXFCount = 16;  // 15 style XFs and the default cell XF
// Excel's ceilings on fonts and cell formats.
constexpr size_t MaxFonts = 500;
constexpr size_t MaxCellXFs = 4000;

void WriteRecord(TStream& out, uint16_t number, const void* data, size_t size) {
  uint8_t h[4];
  PutU16(h, number);
  PutU16(h + 2, uint16_t(size));
  out.WriteBuffer(h, 4);
  if (size) out.WriteBuffer(data, int64_t(size));
}

void WriteRecord(TStream& out, uint16_t number, const std::vector<uint8_t>& data) {
  WriteRecord(out, number, data.data(), data.size());
}

bool FitsLatin1(const std::u16string& s) {
  for (const char16_t *p = s.data(), *end = p + s.size(); p < end; ++p)
    if (*p >= 0x100) return false;
  return true;
}

// Text units as one byte each (all below 256) or two.
void AppendUnits(std::vector<uint8_t>& out, const char16_t* s, size_t n, bool wide) {
  const size_t at = out.size();
  out.resize(at + (wide ? 2 * n : n));
  uint8_t* d = out.data() + at;
  for (size_t i = 0; i < n; ++i) {
    *d++ = uint8_t(s[i]);
    if (wide) *d++ = uint8_t(s[i] >> 8);
  }
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// At most n units of s, never ending inside a surrogate pair.
std::u16string CutUnits(const std::u16string& s, size_t n) {
  if (s.size() <= n) return s;
  if (n > 0 && IsHighSurrogate(s[n - 1])) --n;
  return s.substr(0, n);
}

char16_t FoldCase(char16_t c) {
  if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3C9) ||
      (c >= 0x430 && c <= 0x44F))
    return char16_t(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return char16_t(c - 0x50);
  return c;
}

// The default palette of the format, indices 8 to 63.
const int32_t Palette[56] = {
    0x000000, 0xFFFFFF, 0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00, 0xFF00FF, 0x00FFFF, 0x800000, 0x008000, 0x000080,
    0x808000, 0x800080, 0x008080, 0xC0C0C0, 0x808080, 0x9999FF, 0x993366, 0xFFFFCC, 0xCCFFFF, 0x660066, 0xFF8080,
    0x0066CC, 0xCCCCFF, 0x000080, 0xFF00FF, 0xFFFF00, 0x00FFFF, 0x800080, 0x800000, 0x008080, 0x0000FF, 0x00CCFF,
    0xCCFFFF, 0xCCFFCC, 0xFFFF99, 0x99CCFF, 0xFF99CC, 0xCC99FF, 0xFFCC99, 0x3366FF, 0x33CCCC, 0x99CC00, 0xFFCC00,
    0xFF9900, 0xFF6600, 0x666699, 0x969696, 0x003366, 0x339966, 0x003300, 0x333300, 0x993300, 0x993366, 0x333399,
    0x333333};

// The palette index nearest to a colour; -1 for a system colour (automatic).
int32_t PaletteIndex(TColor color) {
  if (color < 0) return -1;
  const int r = color & 0xFF, g = (color >> 8) & 0xFF, b = (color >> 16) & 0xFF;
  int best = 0;
  int64_t bestDist = INT64_MAX;
  for (int i = 0; i < 56; ++i) {
    const int pr = Palette[i] >> 16, pg = (Palette[i] >> 8) & 0xFF, pb = Palette[i] & 0xFF;
    const int64_t d = int64_t(r - pr) * (r - pr) + int64_t(g - pg) * (g - pg) + int64_t(b - pb) * (b - pb);
    if (d < bestDist) {
      bestDist = d;
      best = i;
    }
  }
  return best + 8;
}

// XF horizontal alignment: left is general (text left, numbers right).
int32_t AlignmentCode(TAlignment a) {
  switch (a) {
    case taCenter: return 2;
    case taRightJustify: return 3;
    default: return 0;
  }
}

std::vector<uint8_t> FontRecord(const TQXEFont& font) {
  const std::u16string name = CutUnits(AnsiToWide(font.Name), 255);
  const bool wide = !FitsLatin1(name);
  std::vector<uint8_t> d(16, 0);
  PutU16(d.data(), uint32_t(std::clamp(font.Size, 1, 409) * 20));
  uint16_t attr = 0;
  if (font.Style & fsItalic) attr |= 0x02;
  if (font.Style & fsStrikeOut) attr |= 0x08;
  PutU16(d.data() + 2, attr);
  const int32_t colour = PaletteIndex(font.Color);
  PutU16(d.data() + 4, colour < 0 ? 0x7FFF : uint32_t(colour));
  PutU16(d.data() + 6, (font.Style & fsBold) ? 700 : 400);
  d[10] = (font.Style & fsUnderline) ? 1 : 0;
  d[14] = uint8_t(name.size());
  d[15] = wide ? 1 : 0;
  AppendUnits(d, name.data(), name.size(), wide);
  return d;
}

std::vector<uint8_t> XFRecord(int32_t font, int32_t format, uint16_t flags, uint8_t alignment, uint8_t used,
                              int32_t fill) {
  std::vector<uint8_t> d(20, 0);
  PutU16(d.data(), uint32_t(font));
  PutU16(d.data() + 2, uint32_t(format));
  PutU16(d.data() + 4, flags);
  d[6] = alignment;
  d[9] = used;
  if (fill >= 0) {
    PutU32(d.data() + 14, 1u << 26);  // solid pattern
    PutU16(d.data() + 18, uint32_t(fill) | (65u << 7));
  } else {
    PutU16(d.data() + 18, 64u | (65u << 7));  // automatic colours
  }
  return d;
}

void AppendU32(std::vector<uint8_t>& out, uint32_t v) {
  out.resize(out.size() + 4);
  PutU32(out.data() + out.size() - 4, v);
}

// The summary information property set of one section. Code page 1200
// makes its strings UTF-16 (counted in bytes, terminator included), so any
// text survives; the creation time is a FILETIME in UTC.
std::vector<uint8_t> SummaryInformationSet(const TDocumentProperties& p) {
  constexpr uint32_t VT_I2 = 2, VT_LPSTR = 30, VT_FILETIME = 64;
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> props;
  props.push_back({1, {}});  // the code page
  AppendU32(props.back().second, VT_I2);
  AppendU32(props.back().second, 1200);  // and two bytes of padding
  for (const auto& [id, text] : {std::pair<uint32_t, const std::string*>{2, &p.Title}, {3, &p.Subject},
                                 {4, &p.Author}, {5, &p.Keywords}}) {
    if (text->empty()) continue;
    std::u16string w = AnsiToWide(*text);
    w.push_back(0);
    std::vector<uint8_t> v;
    AppendU32(v, VT_LPSTR);
    AppendU32(v, uint32_t(w.size() * 2));
    for (const char16_t c : w) v.insert(v.end(), {uint8_t(c), uint8_t(c >> 8)});
    v.resize((v.size() + 3) & ~size_t(3));
    props.push_back({id, std::move(v)});
  }
  int64_t unix = 0;
  constexpr int64_t FileTimeEpoch = 11644473600;  // 1601-01-01 to 1970-01-01, seconds
  if (p.Created > 0 && TryDateTimeToUnix(p.Created, unix) && unix > -FileTimeEpoch) {
    const uint64_t ft = uint64_t(unix + FileTimeEpoch) * 10000000ull;
    std::vector<uint8_t> v;
    AppendU32(v, VT_FILETIME);
    AppendU32(v, uint32_t(ft));
    AppendU32(v, uint32_t(ft >> 32));
    props.push_back({12, std::move(v)});
  }
  static const uint8_t FmtidSummaryInformation[16] = {0xE0, 0x85, 0x9F, 0xF2, 0xF9, 0x4F, 0x68, 0x10,
                                                      0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9};
  std::vector<uint8_t> out(48, 0);
  PutU16(out.data(), 0xFFFE);          // byte order
  PutU32(out.data() + 4, 0x00020006);  // written on Win32, 6.0
  PutU32(out.data() + 24, 1);          // one section
  std::copy(std::begin(FmtidSummaryInformation), std::end(FmtidSummaryInformation), out.begin() + 28);
  PutU32(out.data() + 44, 48);
  const size_t section = out.size();
  AppendU32(out, 0);  // its size, below
  AppendU32(out, uint32_t(props.size()));
  uint32_t offset = uint32_t(8 + props.size() * 8);
  for (const auto& [id, value] : props) {
    AppendU32(out, id);
    AppendU32(out, offset);
    offset += uint32_t(value.size());
  }
  for (const auto& prop : props) out.insert(out.end(), prop.second.begin(), prop.second.end());
  PutU32(out.data() + section, uint32_t(out.size() - section));
  return out;
}

}  // namespace

// --- the book ----------------------------------------------------------------

size_t TQXEXLS8Book::TStyleHash::operator()(const TXLS8CellStyle& s) const {
  uint64_t h = uint32_t(s.Font);
  h = h * 1000003u ^ uint32_t(s.NumberFormat);
  h = h * 1000003u ^ uint32_t(s.Alignment);
  h = h * 1000003u ^ uint32_t(s.Fill);
  return size_t(h);
}

TQXEXLS8Book::TQXEXLS8Book(const std::string& spoolDir) : FSpoolDir(spoolDir) {
  TQXEFont font;
  font.Name = "Arial";
  font.Size = 10;
  font.Color = clWindowText;
  FFonts.push_back(font);
}

TQXEXLS8Book::~TQXEXLS8Book() = default;

TStream& TQXEXLS8Book::Spool() {
  if (!FSpool) {
    namespace fs = std::filesystem;
    const fs::path dir = FSpoolDir.empty() ? fs::temp_directory_path() : fs::path(FSpoolDir);
    // Never committed: an unnamed file that goes with the stream.
    FSpool = std::make_unique<TAtomicFileStream>((dir / "varnowe-sheets.tmp").string(), TOutputPolicy{SpoolBudget});
  }
  return *FSpool;
}

void TQXEXLS8Book::BeginSheet(const std::u16string& name) {
  EndSheet();
  TSheet sheet;
  sheet.Name = ValidSheetName(name, int32_t(FSheets.size()) + 1, FSheetNames);
  sheet.Offset = Spool().Seek(0, soEnd);
  FSheets.push_back(sheet);
  FSheetOpen = true;
}

void TQXEXLS8Book::EndSheet() {
  if (!FSheetOpen) return;
  FSheetOpen = false;
  TSheet& s = FSheets.back();
  s.Size = Spool().Seek(0, soEnd) - s.Offset;
}

int64_t TQXEXLS8Book::SheetPosition() {
  if (!FSheetOpen) return 0;
  return Spool().Position() - FSheets.back().Offset;
}

void TQXEXLS8Book::PatchSheet(int64_t position, const void* data, size_t size) {
  if (!FSheetOpen) return;
  TStream& s = Spool();
  const int64_t end = s.Position();
  s.SetPosition(FSheets.back().Offset + position);
  s.WriteBuffer(data, int64_t(size));
  s.SetPosition(end);
}

uint32_t TQXEXLS8Book::AddString(const std::u16string& text) {
  ++FStringUses;
  auto [it, added] = FStringIndex.try_emplace(text, uint32_t(FStrings.size()));
  if (added) FStrings.push_back(&it->first);
  return it->second;
}

bool TQXEXLS8Book::FindString(const void* key, uint32_t& index) {
  auto it = key ? FKeyIndex.find(key) : FKeyIndex.end();
  if (it == FKeyIndex.end()) return false;
  ++FStringUses;
  index = it->second;
  return true;
}

uint32_t TQXEXLS8Book::AddString(const void* key, const std::u16string& text) {
  const uint32_t index = AddString(text);
  if (key) FKeyIndex.emplace(key, index);
  return index;
}

int32_t TQXEXLS8Book::AddFont(const TQXEFont& font) {
  for (size_t i = 0; i < FFonts.size(); ++i) {
    const TQXEFont& f = FFonts[i];
    if (f.Name == font.Name && f.Style == font.Style && f.Size == font.Size && f.Color == font.Color)
      return int32_t(i < 4 ? i : i + 1);  // font index 4 does not exist
  }
  if (FFonts.size() >= MaxFonts) return 0;
  FFonts.push_back(font);
  const size_t i = FFonts.size() - 1;
  return int32_t(i < 4 ? i : i + 1);
}

int32_t TQXEXLS8Book::CellXF(const TXLS8CellStyle& style) {
  if (style == TXLS8CellStyle{}) return StyleXFCount - 1;
  auto it = FStyleIndex.find(style);
  if (it != FStyleIndex.end()) return it->second;
  if (FStyles.size() >= MaxCellXFs) return StyleXFCount - 1;
  const int32_t xf = StyleXFCount + int32_t(FStyles.size());
  FStyles.push_back(style);
  FStyleIndex.emplace(style, xf);
  return xf;
}

std::u16string TQXEXLS8Book::FoldedName(const std::u16string& name) {
  std::u16string folded = name;
  for (char16_t& c : folded) c = FoldCase(c);
  return folded;
}

std::u16string TQXEXLS8Book::ValidSheetName(const std::u16string& wanted, int32_t index,
                                            std::unordered_set<std::u16string>& taken) {
  std::u16string name = wanted;
  for (size_t i = 0; i < name.size(); ++i) {
    char16_t& c = name[i];
    // Besides the characters Excel forbids: what no XML part can carry as
    // a character (U+FFFE, U+FFFF, a surrogate without its partner).
    const bool paired = (IsHighSurrogate(c) && i + 1 < name.size() && IsLowSurrogate(name[i + 1])) ||
                        (IsLowSurrogate(c) && i > 0 && IsHighSurrogate(name[i - 1]));
    if (c < 0x20 || c == 0xFFFE || c == 0xFFFF || ((IsHighSurrogate(c) || IsLowSurrogate(c)) && !paired) ||
        std::u16string_view(u"[]:*?/\\").find(c) != std::u16string_view::npos)
      c = u'_';
  }
  const size_t first = name.find_first_not_of(u'\'');
  name = first == std::u16string::npos ? std::u16string() : name.substr(first);
  while (!name.empty() && name.back() == u'\'') name.pop_back();
  if (name.empty()) name = Utf8ToUtf16("Sheet" + std::to_string(index));
  name = CutUnits(name, 31);
  auto claim = [&](const std::u16string& n) {
    const std::u16string folded = FoldedName(n);
    if (folded == u"HISTORY") return false;  // Excel keeps this name for itself
    return taken.insert(folded).second;
  };
  if (claim(name)) return name;
  for (int32_t k = 2;; ++k) {
    const std::u16string suffix = Utf8ToUtf16(" (" + std::to_string(k) + ")");
    std::u16string candidate = CutUnits(name, 31 - suffix.size());
    while (!candidate.empty() && candidate.back() == u'\'') candidate.pop_back();
    candidate += suffix;
    if (claim(candidate)) return candidate;
  }
}

void TQXEXLS8Book::WriteGlobals(TMemoryStream& out, int64_t& sheetOffsetsAt) {
  uint8_t d[32] = {};
  PutU16(d, 0x0600);
  PutU16(d + 2, 0x0005);  // workbook globals
  PutU16(d + 4, 0x0DBB);
  PutU16(d + 6, 0x07CC);
  PutU32(d + 12, 0x06);
  WriteRecord(out, recBOF, d, 16);
  PutU16(d, 1200);  // UTF-16
  WriteRecord(out, recCODEPAGE, d, 2);
  std::memset(d, 0, sizeof d);
  PutU16(d, 0x0168);
  PutU16(d + 2, 0x001E);
  PutU16(d + 4, 0x3A5C);
  PutU16(d + 6, 0x2378);
  PutU16(d + 8, 0x0038);  // horizontal and vertical scroll bars, sheet tabs
  PutU16(d + 14, 1);      // one sheet selected
  PutU16(d + 16, 0x0258);
  WriteRecord(out, recWINDOW1, d, 18);
  PutU16(d, 0);  // dates count from 1900 (the model's day numbers are of that system)
  WriteRecord(out, recDATEMODE, d, 2);
  PutU16(d, 1);
  WriteRecord(out, recPRECISION, d, 2);

  // Four fonts at least (index 4 is skipped by readers).
  for (size_t i = 0; i < std::max<size_t>(FFonts.size(), 4); ++i)
    WriteRecord(out, recFONT, FontRecord(FFonts[i < FFonts.size() ? i : 0]));
  // The regional forms of 5 to 8 and 41 to 44 unless a source gave its own,
  // then every format of the cells' own.
  std::vector<std::pair<int32_t, std::u16string>> formats;
  for (const auto& [index, code] : RegionalFormats) {
    const auto at = index;  // clang 14 cannot capture a structured binding
    if (std::none_of(Formats.Written().begin(), Formats.Written().end(), [at](const auto& w) { return w.first == at; }))
      formats.emplace_back(index, AnsiToWide(code));
  }
  for (const auto& [index, code] : Formats.Written()) formats.emplace_back(index, Utf8ToUtf16(code));
  for (const auto& [index, code] : formats) {
    const std::u16string text = CutUnits(code, 255);
    const bool wide = !FitsLatin1(text);
    std::vector<uint8_t> f(5);
    PutU16(f.data(), uint32_t(index));
    PutU16(f.data() + 2, uint32_t(text.size()));
    f[4] = wide ? 1 : 0;
    AppendUnits(f, text.data(), text.size(), wide);
    WriteRecord(out, recFORMAT, f);
  }
  // Style XFs 0 to 14, then the default cell XF.
  for (int32_t i = 0; i < StyleXFCount - 1; ++i) {
    const int32_t font = i == 1 || i == 2 ? 1 : i == 3 || i == 4 ? 2 : 0;
    WriteRecord(out, recXF, XFRecord(std::min<int32_t>(font, 3), 0, 0xFFF5, 0x20, i == 0 ? 0 : 0xF4, -1));
  }
  WriteRecord(out, recXF, XFRecord(0, 0, 0x0001, 0x20, 0, -1));
  for (const TXLS8CellStyle& s : FStyles) {
    uint8_t used = 0;
    if (s.NumberFormat != 0) used |= 0x04;
    if (s.Font != 0) used |= 0x08;
    if (s.Alignment != 0) used |= 0x10;
    if (s.Fill >= 0) used |= 0x40;
    WriteRecord(out, recXF,
                XFRecord(s.Font, s.NumberFormat, 0x0001, uint8_t(s.Alignment | 0x20), used, s.Fill));
  }
  const uint8_t normal[4] = {0x00, 0x80, 0x00, 0xFF};  // built-in style "Normal" on XF 0
  WriteRecord(out, recSTYLE, normal, 4);

  sheetOffsetsAt = out.Position();
  for (const TSheet& s : FSheets) {
    const bool wide = !FitsLatin1(s.Name);
    std::vector<uint8_t> b(8, 0);
    b[6] = uint8_t(s.Name.size());
    b[7] = wide ? 1 : 0;
    AppendUnits(b, s.Name.data(), s.Name.size(), wide);
    WriteRecord(out, recBOUNDSHEET, b);  // the offset is filled in later
  }

  // The string table: a string's characters may run on into CONTINUE
  // records, each such piece starting with the string's flag byte again;
  // the three-byte string header is never split, nor a surrogate pair.
  std::vector<uint8_t> rec(8);
  PutU32(rec.data(), uint32_t(std::min<uint64_t>(FStringUses, 0xFFFFFFFFu)));
  PutU32(rec.data() + 4, uint32_t(FStrings.size()));
  uint16_t recType = recSST;
  const size_t perBucket = std::max<size_t>(8, (FStrings.size() + 127) / 128);
  std::vector<uint8_t> ext(2);
  PutU16(ext.data(), uint32_t(perBucket));
  auto flush = [&] {
    WriteRecord(out, recType, rec);
    rec.clear();
    recType = recCONTINUE;
  };
  for (size_t i = 0; i < FStrings.size(); ++i) {
    const std::u16string& s = *FStrings[i];
    const bool wide = !FitsLatin1(s);
    const size_t unit = wide ? 2 : 1;
    // Room for the header and two units, so a pair is never the first cut.
    if (rec.size() + 3 + std::min<size_t>(s.size(), 2) * unit > MaxRecordData) flush();
    if (i % perBucket == 0) {
      uint8_t info[8] = {};
      PutU32(info, uint32_t(out.Position() + 4 + int64_t(rec.size())));
      PutU16(info + 4, uint32_t(4 + rec.size()));
      ext.insert(ext.end(), info, info + 8);
    }
    rec.push_back(uint8_t(s.size()));
    rec.push_back(uint8_t(s.size() >> 8));
    rec.push_back(wide ? 1 : 0);
    size_t pos = 0;
    while (pos < s.size()) {
      size_t n = std::min((MaxRecordData - rec.size()) / unit, s.size() - pos);
      if (pos + n < s.size() && n > 0 && IsHighSurrogate(s[pos + n - 1])) --n;
      AppendUnits(rec, s.data() + pos, n, wide);
      pos += n;
      if (pos < s.size()) {
        flush();
        rec.push_back(wide ? 1 : 0);
      }
    }
  }
  flush();
  WriteRecord(out, recEXTSST, ext);
  WriteRecord(out, recEOF, nullptr, 0);
}

void TQXEXLS8Book::WriteTo(TStream& sink) {
  EndSheet();
  TMemoryStream globals;
  int64_t boundSheets = 0;
  WriteGlobals(globals, boundSheets);
  // Each sheet's BOF as an offset in the workbook stream.
  int64_t at = boundSheets;
  for (const TSheet& s : FSheets) {
    const int64_t offset = globals.Size() + s.Offset;
    if (offset > int64_t(TQXEOleWriter::MaxStreamSize))
      throw EOleWriteError("The workbook is larger than the 4 GB an .xls file can hold");
    PutU32(globals.Memory() + at + 4, uint32_t(offset));
    at += 4 + 8 + int64_t(s.Name.size()) * (FitsLatin1(s.Name) ? 1 : 2);
  }
  TQXEOleWriter ole(sink);
  ole.BeginStream(u"Workbook");
  ole.Write(globals.Memory(), size_t(globals.Size()));
  if (FSpool) {
    const int64_t size = FSpool->Seek(0, soEnd);
    FSpool->SetPosition(0);
    ole.CopyFrom(*FSpool, size);
  }
  const std::vector<uint8_t> summary = SummaryInformationSet(Properties);
  ole.BeginStream(u"\005SummaryInformation");
  ole.Write(summary.data(), summary.size());
  ole.Finish();
}

// --- the component -------------------------------------------------------------

TQXExportToXLS8::TQXExportToXLS8() = default;
TQXExportToXLS8::~TQXExportToXLS8() = default;

TQXEXLS8Book& TQXExportToXLS8::CurrentBook() {
  if (Book) return *Book;
  if (!FOwnBook) FOwnBook = std::make_unique<TQXEXLS8Book>();
  return *FOwnBook;
}

void TQXExportToXLS8::WriteData(const void* data, size_t size) {
  if (size) CurrentBook().Spool().WriteBuffer(data, int64_t(size));
}

void TQXExportToXLS8::Record(uint16_t number, const void* data, size_t size) {
  WriteRecord(CurrentBook().Spool(), number, data, size);
}

void TQXExportToXLS8::StartFile() {
  TQXExportToCustomXLS::StartFile();
  if (!Book) {
    FOwnBook = std::make_unique<TQXEXLS8Book>();
    FOwnBook->SpoolBudget = Output.MaxBytes;
  }
  TQXEXLS8Book& book = CurrentBook();
  book.Properties = OutputProperties();  // every sheet of a book gives its workbook's
  if (book.RegionalFormats.empty())
    for (int32_t i : {5, 6, 7, 8, 41, 42, 43, 44}) book.RegionalFormats.emplace_back(i, BuiltInFormat(i, false));
  book.BeginSheet(SheetName);
  FDimensionsPos = -1;
  FLastRow = FLastCol = -1;
  InitDefaultFont(FDefaultFont);
  uint8_t d[16] = {};
  PutU16(d, 0x0600);
  PutU16(d + 2, 0x0010);  // worksheet
  PutU16(d + 4, 0x0DBB);
  PutU16(d + 6, 0x07CC);
  PutU32(d + 12, 0x06);
  Record(recBOF, d, 16);
}

void TQXExportToXLS8::SetDimensions(int32_t rowCount, int32_t colCount) {
  GatherColumnLooks();
  if (RowsPerFile == 0 &&
      int64_t(rowCount) + int64_t(Header.size()) + int64_t(Footer.size()) > int64_t(MaxRows()))
    throw EQXEMaxRowCountException(Format(QXEMaxRowCountText, MaxRows()));
  if (colCount - 1 > MaxCols()) throw EQXEMaxColCountException(Format(QXEMaxColCountText, MaxCols()));
  // DIMENSIONS follows the column widths; it is written before the first cell.
}

void TQXExportToXLS8::EnsureDimensions() {
  if (FDimensionsPos >= 0) return;
  FDimensionsPos = CurrentBook().SheetPosition();
  const uint8_t d[14] = {};
  Record(recDIMENSIONS, d, 14);
}

void TQXExportToXLS8::SetColumnWidth(int32_t column, int32_t width) {
  if (column < 0 || column >= MaxCols() || FDimensionsPos >= 0) return;
  int32_t width256 = 0;
  bool hidden = false;
  if (!ColumnInfo(column, width, width256, hidden)) return;
  uint8_t d[12] = {};
  PutU16(d, uint32_t(column));
  PutU16(d + 2, uint32_t(column));
  PutU16(d + 4, uint32_t(width256));
  PutU16(d + 6, StyleXFCount - 1);
  PutU16(d + 8, hidden ? 1 : 0);
  Record(recCOLINFO, d, 12);
}

std::string TQXExportToXLS8::NumberFormatCode(int32_t index) const {
  // Codes as the file stores them: "." and "," in their own meaning.
  return index >= 0 && index < 50 ? BuiltInFormat(index, false) : TQXExportToCustomXLS::NumberFormatCode(index);
}

void TQXExportToXLS8::BeginRow() {
  TQXExportToCustomXLS::BeginRow();
  if (Statistic.CurrentRow > MaxRows() - 1) throw EQXEMaxRowCountException(Format(QXEMaxRowCountText, MaxRows()));
}

int32_t TQXExportToXLS8::CellXF(int32_t numberFormat, TAlignment alignment, const TQXEFont& font, TColor color) {
  TXLS8CellStyle s;
  s.NumberFormat = numberFormat >= 0 && numberFormat <= 0xFFFF ? numberFormat : 0;
  s.Alignment = AlignmentCode(alignment);
  if (HasOption(soColorsFonts)) {
    s.Font = font == FDefaultFont ? 0 : CurrentBook().AddFont(font);
    // White is the sheet's own background.
    if (color >= 0 && (color & 0xFFFFFF) != clWhite) s.Fill = PaletteIndex(color);
  }
  return CurrentBook().CellXF(s);
}

void TQXExportToXLS8::Touch(int32_t row, int32_t column) {
  FLastRow = std::max(FLastRow, row);
  FLastCol = std::max(FLastCol, column);
}

void TQXExportToXLS8::WriteBoolErr(int32_t row, int32_t column, int32_t xf, uint8_t value, bool isError) {
  EnsureDimensions();
  uint8_t d[8];
  PutU16(d, uint32_t(row));
  PutU16(d + 2, uint32_t(column));
  PutU16(d + 4, uint32_t(xf));
  d[6] = value;
  d[7] = isError ? 1 : 0;
  Record(recBOOLERR, d, 8);
  Touch(row, column);
}

void TQXExportToXLS8::WriteNumber(int32_t row, int32_t column, int32_t xf, double value) {
  if (!std::isfinite(value)) {
    WriteBoolErr(row, column, xf, 0x24, true);  // #NUM!
    return;
  }
  EnsureDimensions();
  uint8_t d[14];
  PutU16(d, uint32_t(row));
  PutU16(d + 2, uint32_t(column));
  PutU16(d + 4, uint32_t(xf));
  const uint64_t bits = std::bit_cast<uint64_t>(value);
  if (value == std::trunc(value) && std::fabs(value) < 536870912.0 && !(value == 0 && std::signbit(value))) {
    PutU32(d + 6, (uint32_t(int32_t(value)) << 2) | 2);
    Record(recRK, d, 10);
  } else if ((bits & 0x3FFFFFFFFull) == 0) {
    PutU32(d + 6, uint32_t(bits >> 32));
    Record(recRK, d, 10);
  } else {
    PutU32(d + 6, uint32_t(bits));
    PutU32(d + 10, uint32_t(bits >> 32));
    Record(recNUMBER, d, 14);
  }
  Touch(row, column);
}

void TQXExportToXLS8::WriteLabelSST(int32_t row, int32_t column, int32_t xf, const TExcelCell& cell) {
  EnsureDimensions();
  TQXEXLS8Book& book = CurrentBook();
  uint32_t index;
  if (!book.FindString(cell.TextKey, index)) {
    std::u16string text = CellWideText(cell);
    // Excel's cell limit; longer texts are cut at a character boundary.
    if (text.size() > TQXEXLS8Book::MaxTextLength) {
      text = CutUnits(text, TQXEXLS8Book::MaxTextLength);
      NoteCutText(row, column, "32,767 characters");
    }
    index = book.AddString(cell.TextKey, text);
  } else if (cell.TextValue && cell.TextValue->IsText() &&
             (cell.TextValue->Type() == TVarType::WideString ? cell.TextValue->AsWide().size()
                                                             : cell.TextValue->AsString().size()) >
                 TQXEXLS8Book::MaxTextLength) {
    NoteCutText(row, column, "32,767 characters");
  }
  uint8_t d[10];
  PutU16(d, uint32_t(row));
  PutU16(d + 2, uint32_t(column));
  PutU16(d + 4, uint32_t(xf));
  PutU32(d + 6, index);
  Record(recLABELSST, d, 10);
  Touch(row, column);
}

void TQXExportToXLS8::WriteBlank(int32_t row, int32_t column, int32_t xf) {
  EnsureDimensions();
  uint8_t d[6];
  PutU16(d, uint32_t(row));
  PutU16(d + 2, uint32_t(column));
  PutU16(d + 4, uint32_t(xf));
  Record(recBLANK, d, 6);
  Touch(row, column);
}

void TQXExportToXLS8::WriteCell(TQXEField* field, TCellType cellType, int32_t row, int32_t column,
                                const std::string& text, TAlignment alignment, const TQXEFont& font, TColor color) {
  TExcelCell cell;
  if (!ClassifyCell(cellType, row, column, text, cell)) return;
  TQXExportToCustomXLS::WriteCell(field, cellType, row, column, text, alignment, font, color);
  const int32_t xf = CellXF(CurrentBook().Formats.Id(cell.FormatCode, cell.BuiltIn), alignment, font, color);
  EmitBiffCell(*this, cell, row, column, xf, [&] { WriteLabelSST(row, column, xf, cell); });
}

void TQXExportToXLS8::EndOfFile() {
  TQXExportToCustomXLS::EndOfFile();
  TQXEXLS8Book& book = CurrentBook();
  EnsureDimensions();
  uint8_t dims[14] = {};
  if (FLastRow >= 0) {
    PutU32(dims + 4, uint32_t(FLastRow + 1));
    PutU16(dims + 10, uint32_t(FLastCol + 1));
  }
  book.PatchSheet(FDimensionsPos + 4, dims, 14);
  uint8_t w[18] = {};
  // Gridlines, headings, zeros, outline symbols, automatic gridline colour;
  // the first sheet is the one selected and shown.
  PutU16(w, book.SheetCount() == 1 ? 0x06B6 : 0x00B6);
  PutU16(w + 6, 64);
  Record(recWINDOW2, w, 18);
  Record(recEOF, nullptr, 0);
  book.EndSheet();
  if (!Book) {
    if (Stream()) FOwnBook->WriteTo(*Stream());
    FOwnBook.reset();
  }
  FPictures.clear();
}

void TQXExportToXLS8::FinishExport() {
  FOwnBook.reset();
  TQXExportToCustomXLS::FinishExport();
}
