#include "QXWKS.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "CodePage.h"
#include "SysUtils.h"

namespace {

// Records, named by what they hold in the family that uses them.
enum : uint16_t {
  recBOF = 0x00,
  recEOF = 0x01,
  recWindow1 = 0x07,       // one-sheet family: the cursor, the default column width, the panes
  recColumnWidth1 = 0x08,  // one-sheet family
  recBlank = 0x0C,
  recInteger = 0x0D,
  recNumber = 0x0E,
  recLabel = 0x0F,
  recFormula = 0x10,
  recRowFormats = 0x13,
  recLabel3 = 0x16,
  recNumber3 = 0x17,
  recSmallNumber = 0x18,
  recFormula3 = 0x19,
  recFormulaString = 0x1A,
  recExtended = 0x1B,
  recSheetName = 0x23,
  recColumnWidths3 = 0x24,
  recPackedNumber = 0x25,
  recDoubleNumber = 0x27,
  recDoubleNumber2 = 0x28,
  recString1 = 0x33,  // one-sheet family: cached text of a string formula
  recPassword = 0x37,
  // 1-2-3 97: the cell formats, a map of nested runs inside a bracket
  recGroupOpen = 0x0106,
  recGroupClose = 0x0107,
  recFormatLayer = 0x0293,  // opens and closes the layer
  recRunMap = 0x029A,
  recRun = 0x0800,
  recRunValue = 0x0801,
  recRunShare = 0x0802,
  recRunSame = 0x0803,
  recRunShape = 0x0804,
};

constexpr uint16_t ExtSheetName = 0x36B0;   // bytes B0 36
constexpr uint16_t ExtRowHeights = 0x07D7;  // bytes D7 07

// Lotus text is 8-bit: plain bytes are Windows-1252, as the writers used it.
// Bytes below 0x20 lead sequences of the Lotus multibyte set: a group byte
// and one character of that group's code page (0x01 0x82 is code page 850's
// e-acute), a double-byte character (groups 0x10-0x13), a UTF-16 unit (0x14)
// or a control character (0x0F). Line breaks and tabs come through, also when
// stored as group-1 pairs; no other control character reaches a cell, and a
// sequence that maps to no character becomes U+FFFD.
int LotusGroupCodePage(uint8_t group) {
  switch (group) {
    case 0x01: return 850;
    case 0x02: return 851;
    case 0x03: return 1255;
    case 0x04: return 1256;
    case 0x05: return 1251;
    case 0x06: return 852;
    case 0x08: return 1254;
    case 0x0B: return 874;
    case 0x10: return 932;
    case 0x11: return 949;
    case 0x12: return 950;
    case 0x13: return 936;
    default: return 0;
  }
}

constexpr char16_t kReplacement = 0xFFFD;

bool KeptControl(uint32_t c) { return c == '\t' || c == '\n' || c == '\r'; }

// One character in a group's code page, or U+FFFD.
char16_t GroupCharacter(const char* bytes, size_t n, int codePage) {
  std::u16string w = DecodeBytes(bytes, n, codePage);
  if (w.size() != 1 || w[0] < 0x20 || (w[0] >= 0x7F && w[0] < 0xA0)) return kReplacement;
  return w[0];
}

// The sequence that starts with the byte below 0x20 at p[i]; i moves past it.
char16_t DecodeLotusSequence(const uint8_t* p, size_t n, size_t& i) {
  const uint8_t lead = p[i++];
  const int codePage = LotusGroupCodePage(lead);
  if (lead == 0x0F) {  // control characters, offset by 0x20
    if (i >= n) return kReplacement;
    const uint8_t c = p[i++];
    return c >= 0x20 && c < 0x40 && KeptControl(c - 0x20u) ? char16_t(c - 0x20) : kReplacement;
  }
  if (lead == 0x14) {  // a UTF-16 unit, high byte first; 0xF6 stands for a zero low byte
    if (n - i < 2) {
      i = n;
      return kReplacement;
    }
    uint8_t hi = p[i], lo = p[i + 1];
    i += 2;
    if (hi == 0xF6) {
      hi = lo;
      lo = 0;
    }
    const char16_t u = char16_t(hi << 8 | lo);
    return (u < 0x20 && !KeptControl(u)) || (u >= 0x7F && u < 0xA0) || u >= 0xFFFE ? kReplacement : u;
  }
  if (codePage == 0) return kReplacement;  // no group of the set
  if (lead >= 0x10) {  // double-byte groups; a doubled group byte marks a single-byte character
    if (n - i < 2) {
      i = n;
      return kReplacement;
    }
    const char* at = reinterpret_cast<const char*>(p + i);
    i += 2;
    return uint8_t(at[0]) == lead ? GroupCharacter(at + 1, 1, codePage) : GroupCharacter(at, 2, codePage);
  }
  if (i >= n) return kReplacement;
  const uint8_t c = p[i++];
  if (c >= 0x80) return GroupCharacter(reinterpret_cast<const char*>(p + i - 1), 1, codePage);
  // Below 0x80 a group's pairs are exceptions of the set; only the group-1
  // line breaks and tab are known here.
  return lead == 0x01 && KeptControl(c) ? char16_t(c) : kReplacement;
}

bool HasSequence(const char* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (uint8_t(p[i]) < 0x20 && !KeptControl(uint8_t(p[i]))) return true;
  return false;
}

std::u16string DecodeLotusBytes(const char* text, size_t n) {
  if (!HasSequence(text, n)) return DecodeBytes(text, n, CP_WINDOWS_1252);
  const auto* p = reinterpret_cast<const uint8_t*>(text);
  std::u16string out;
  size_t start = 0, i = 0;
  while (i < n) {
    if (p[i] >= 0x20 || KeptControl(p[i])) {
      ++i;
      continue;
    }
    out += DecodeBytes(text + start, i - start, CP_WINDOWS_1252);
    out += DecodeLotusSequence(p, n, i);
    start = i;
  }
  out += DecodeBytes(text + start, n - start, CP_WINDOWS_1252);
  // Units of the UTF-16 group that form no pair are no characters.
  for (size_t k = 0; k < out.size(); ++k) {
    const char16_t u = out[k];
    if (u >= 0xD800 && u <= 0xDBFF && k + 1 < out.size() && out[k + 1] >= 0xDC00 && out[k + 1] <= 0xDFFF) {
      ++k;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      out[k] = kReplacement;
    }
  }
  return out;
}

std::u16string LotusWideText(const TByteReader& r, size_t offset, size_t length) {
  r.Need(offset, length);
  const char* p = reinterpret_cast<const char*>(r.Data() + offset);
  return DecodeLotusBytes(p, strnlen(p, length));
}

std::string LotusText(const TByteReader& r, size_t offset, size_t length) {
  r.Need(offset, length);
  const char* p = reinterpret_cast<const char*>(r.Data() + offset);
  size_t n = strnlen(p, length);
  if (!HasSequence(p, n)) return BytesToAnsi(p, n, CP_WINDOWS_1252);
  return WideToAnsi(DecodeLotusBytes(p, n));
}

}  // namespace

TAlignment LotusPrefixAlignment(uint8_t prefix) {
  switch (prefix) {
    case '^': return taCenter;
    case '"': return taRightJustify;
    default: return taLeftJustify;
  }
}

const char* WKSVersionName(TWKSVersion v) {
  switch (v) {
    case wvUnknown: return "wvUnknown";
    case wvWKS1: return "wvWKS1";
    case wvWKS2: return "wvWKS2";
    case wvWR1: return "wvWR1";
    case wv123: return "wv123";
    case wvWKS3: return "wvWKS3";
    case wvWKS4: return "wvWKS4";
  }
  return "?";
}

double LotusExtendedToDouble(const uint8_t* data) {
  uint64_t mantissa = 0;
  for (int i = 7; i >= 0; --i) mantissa = (mantissa << 8) | data[i];
  uint16_t se = uint16_t(data[8] | (data[9] << 8));
  int exponent = se & 0x7FFF;
  bool negative = (se & 0x8000) != 0;
  if (exponent == 0x7FFF) throw EConvertError("Invalid floating point value");
  if (mantissa == 0) return negative ? -0.0 : 0.0;
  // The integer bit is explicit; denormals use the smallest exponent.
  int e = (exponent == 0 ? 1 : exponent) - 16383 - 63;
  double v = std::ldexp(double(mantissa), e);
  return negative ? -v : v;
}

double LotusSmallNumber(int16_t w) {
  if ((w & 1) == 0) return w / 2.0;
  double n = double(int16_t(w >> 4));
  switch (w & 0x0F) {
    case 1: return n * 5000;
    case 3: return n * 500;
    case 5: return n / 20;
    case 7: return n / 200;
    case 9: return n / 2000;
    case 11: return n / 20000;
    case 13: return n / 16;
    default: return n / 64;  // 15
  }
}

TVariant LotusPackedNumber(uint32_t w) {
  const uint32_t exponent = w & 0x0F;
  const int64_t magnitude = w >> 6;
  const int64_t n = (w & 0x20) ? -magnitude : magnitude;
  if (exponent == 0) return TVariant(n);
  // One exact power of ten: repeated steps of 10 would round at each step.
  static const double kPowers[16] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                     1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  return TVariant((w & 0x10) ? double(n) / kPowers[exponent] : double(n) * kPowers[exponent]);
}

bool LotusSpecialValue(uint64_t bits) {
  uint32_t upper = uint32_t(bits >> 32);
  return ((upper >> 23) & 0xFF) == 0xFF && (upper & 0x7FFFFF) != 0;
}

// ----------------------------------------------------- 1-2-3 97 run map

void TLotusRunMap::Clear() { *this = TLotusRunMap(); }

TLotusRunMap::TRun* TLotusRunMap::LastRun() {
  if (FOpen.empty() || FLevels[size_t(FOpen.back())].empty()) return nullptr;
  return &FLevels[size_t(FOpen.back())].back();
}

void TLotusRunMap::Open() {
  if (FBroken) return;
  const int32_t level = int32_t(FLevels.size());
  if (FOpen.empty()) {
    if (!FLevels.empty()) return Break();  // a second outermost level
  } else {
    TRun* run = LastRun();
    if (!run || FOpen.size() >= Depth) return Break();
    run->Inner = level;
  }
  if (FShareNext >= 0) FShared[uint16_t(FShareNext)] = level;
  FShareNext = -1;
  FLevels.emplace_back();
  FOpen.push_back(level);
}

void TLotusRunMap::Close() {
  if (FOpen.empty()) return Break();
  FOpen.pop_back();
}

void TLotusRunMap::Run(uint32_t count) {
  if (FBroken) return;
  if (FOpen.empty() || ++FRuns > MaxRuns) return Break();
  auto& runs = FLevels[size_t(FOpen.back())];
  runs.push_back({(runs.empty() ? 0 : runs.back().End) + count});
}

void TLotusRunMap::Value(uint32_t word) {
  // Only row runs carry a format; 1-2-3 writes none higher up.
  TRun* run = FOpen.size() == Depth ? LastRun() : nullptr;
  if (!run) return;
  run->HasValue = true;
  run->Value = word;
}

void TLotusRunMap::Share(uint16_t id) { FShareNext = id; }

void TLotusRunMap::Same(uint16_t id) {
  TRun* run = FOpen.size() < Depth ? LastRun() : nullptr;
  if (!run) return Break();
  // Runs named by an id never given keep the default formats.
  auto it = FShared.find(id);
  if (it != FShared.end()) run->Inner = it->second;
}

const uint32_t* TLotusRunMap::Find(uint32_t sheet, uint32_t column, uint32_t row) const {
  if (Empty()) return nullptr;
  const uint32_t at[Depth] = {sheet, column, row};
  size_t level = 0;
  for (size_t d = 0; d < Depth; ++d) {
    const auto& runs = FLevels[level];
    auto it = std::upper_bound(runs.begin(), runs.end(), uint64_t(at[d]),
                               [](uint64_t v, const TRun& r) { return v < r.End; });
    if (it == runs.end()) return nullptr;
    if (d + 1 == Depth) return it->HasValue ? &it->Value : nullptr;
    // A shared level can be named from any depth: the walk still ends after three.
    if (it->Inner < 0) return nullptr;
    level = size_t(it->Inner);
  }
  return nullptr;
}

TLotus123::TLotus123() : FRecordBuffer(RecordBufferSize, 0) { FModelFormat.fill(-1); }

void TLotus123::ResetData() {
  TSpreadSheetFile::ResetData();
  FFormatList.clear();
  FStrings.clear();
  FRowFormats.clear();
  FModelFormat.fill(-1);
  FCellFormats.Clear();
  FCellFormatsRead = false;
  FModelFormat97.clear();
}

void TLotus123::LoadFromFile(const std::string& fileName) {
  TSpreadSheetFile::LoadFromFile(fileName);
  std::unique_ptr<TStream> own;
  ParseStream(SourceFile(own, fmOpenRead | fmShareDenyNone));
}

bool TLotus123::OneSheetFamily() const {
  // 0x0405 (Symphony 1.0) is of the one-sheet family like WKS and WK1.
  return FVersion == wvWKS1 || FVersion == wvWKS2 || FVersion == wvWR1;
}

void TLotus123::ParseStream(TStream& stream) {
  TSpreadSheetFile::ParseStream(stream);  // ResetData
  FVersion = wvUnknown;
  FPasswordProtected = false;

  const int64_t size = stream.Size();
  if (FRecordBuffer.size() != RecordBufferSize) FRecordBuffer.assign(RecordBufferSize, 0);
  TRecordCursor cursor(*this, stream, TRecordHeaderKind::Word, FRecordBuffer, RecordBufferSize - 1);
  FCursor = &cursor;
  struct Restore {
    TRecordCursor*& Slot;
    ~Restore() { Slot = nullptr; }
  } restore{FCursor};
  bool first = true;
  bool afterEOF = false;
  bool stopped = false;
  std::string cut;  // how the data ends short of its end-of-file record
  for (;;) {
    const bool got = cursor.Next();
    FHeader.RecNo = uint16_t(cursor.Type());
    FHeader.RecLen = uint16_t(cursor.Length());
    // The data must open with a whole BOF, else it is no Lotus worksheet.
    if (first && (!got || FHeader.RecNo != recBOF || FHeader.RecLen < 2))
      throw EQXIFileFormatException(SInvalidFileFormat);
    // What follows the last section is no record stream (property blocks and
    // the like); only a new BOF goes on.
    if (afterEOF && (cursor.End() == TRecordEnd::InHeader || FHeader.RecNo != recBOF)) break;
    if (!got) {
      if (cursor.End() != TRecordEnd::Clean) cut = "it " + cursor.EndText();
      break;
    }
    first = false;
    afterEOF = FHeader.RecNo == recEOF;
    if (FHeader.RecLen == 0) continue;

    // A record longer than the buffer is passed over with the buffer cleared.
    if (cursor.Oversized()) std::memset(FRecordBuffer.data(), 0, FRecordBuffer.size());
    if (OnRecord) OnRecord(this, FHeader, FRecordBuffer);
    if (!cursor.Oversized()) {
      const TByteReader r = cursor.View();
      cursor.Sheet = RecordSheet(r);
      cursor.Dispatch([&] { stopped = DispatchRecord(r); });
      if (stopped) break;
    }
    if (LoadProgressDue()) DoLoadProgress(cursor.Position(), size);
  }
  if (!afterEOF && !stopped) {
    if (cut.empty()) cut = "it ends at byte " + std::to_string(size) + " without its end-of-file record";
    // Raised once parsing is over: the cells read so far stay in the model.
    throw EQXIFileTruncatedException(StringReplaceAll(SFileTruncated, "%s", cut));
  }
  // 1-2-3 draws a column 9 characters wide unless the file says otherwise.
  SetDefaultColumnCharactersWhereUnset(LotusDefaultColumnCharacters);
  DoLoadProgress(size, size);
}

TSheetGrid TLotus123::Grid() const {
  switch (FVersion) {
    // Release 1A addressed 2,048 rows; Works writes this family with 16,384.
    case wvWKS1: return {16384, 256, "WKS"};
    case wvWKS2: return {8192, 256, "Symphony"};
    case wvWR1: return {8192, 256, "WK1"};
    case wvWKS3: return {8192, 256, "WK3"};
    case wvWKS4: return {8192, 256, "WK4"};
    case wv123: return {65536, 256, "1-2-3 97"};
    case wvUnknown: break;
  }
  return {65536, 256, "Lotus"};
}

bool TLotus123::DispatchRecord(const TByteReader& r) {
  const bool oneSheet = OneSheetFamily();
  const bool cells = bool(OnCellValue);
  switch (FHeader.RecNo) {
    case recBOF:
      switch (r.U16(0)) {
        case 0x0404: FVersion = wvWKS1; break;
        case 0x0405: FVersion = wvWKS2; break;
        case 0x0406: FVersion = wvWR1; break;
        case 0x1000: FVersion = wvWKS3; break;
        case 0x1002: case 0x8007: FVersion = wvWKS4; break;
        case 0x1003: case 0x1004: case 0x1005:
          FVersion = wv123;
          if (!FCellFormatsRead && cells) ReadCellFormatLayer();
          break;
        case 0x0101: case 0xB200: case 0xBFFF: return true;
        default:
          if (FVersion == wvUnknown) throw EQXICryptException(SInvalidFileFormat);
          break;
      }
      break;
    // The old cell records; in the multi-sheet family these opcodes hold settings.
    case recBlank:
      if (oneSheet && cells && LoadNULLs) ReadBlank(r);
      break;
    case recInteger:
      if (oneSheet && cells) ReadInteger(r);
      break;
    case recNumber:
      if (oneSheet && cells) ReadNumber(r);
      break;
    case recLabel:
      if (oneSheet && cells) ReadLabel(r, 5);
      break;
    case recFormula:
      if (oneSheet && cells) ReadFormula(r);
      break;
    case recString1:
      if (oneSheet && cells) ReadOneSheetString(r);
      break;
    case recWindow1:
      // The sheet's default column width, in characters.
      if (oneSheet && r.Fits(6, 2)) SetDefaultColumnCharacters(0, r.U16(6));
      break;
    case recColumnWidth1:
      if (oneSheet && OnColumnWidth) ReadOneSheetColumnWidth(r);
      break;
    case recRowFormats:
      ReadRowFormats(r);
      ReadRowFormatBytes(r);
      break;
    case recLabel3:
      if (cells) ReadLabel(r, 4);
      break;
    case recNumber3:
      if (cells) ReadExtendedNumber(r);
      break;
    case recSmallNumber:
      if (!oneSheet && cells) ReadSmallNumber(r);
      break;
    case recFormula3:
      if (!oneSheet && cells) ReadExtendedFormula(r);
      break;
    case recFormulaString:
      if (!oneSheet && cells) ReadFormulaString(r);
      break;
    case recExtended:
      if (cells) ReadExtendedRecord(r);
      break;
    case recSheetName:
      if (!oneSheet) ReadSheetName(r);
      break;
    case recColumnWidths3:
      if (!oneSheet && OnColumnWidth) ReadColumnWidths(r);
      break;
    case recPackedNumber:
      if (!oneSheet && cells) ReadPackedNumber(r);
      break;
    case recDoubleNumber:
    case recDoubleNumber2:
      if (!oneSheet && cells) ReadDoubleNumber(r);
      break;
    case recPassword:
      if (FVersion != wvWR1) {
        FPasswordProtected = true;
        throw EQXICryptException(SPasswordProtectedFile);
      }
      break;
    default:
      break;
  }
  return false;
}

// The sheet a record belongs to, for messages; -1 when it names none.
int32_t TLotus123::RecordSheet(const TByteReader& r) const {
  if (OneSheetFamily()) return 0;
  switch (FHeader.RecNo) {
    case recRowFormats:
      return r.Fits(0, 1) ? r.U8(0) : -1;
    case recLabel3:
    case recNumber3:
    case recSmallNumber:
    case recFormula3:
    case recFormulaString:
    case recSheetName:
    case recPackedNumber:
    case recDoubleNumber:
    case recDoubleNumber2:
      return r.Fits(2, 1) ? r.U8(2) : -1;
    default:
      return -1;
  }
}

TLotus123::TCellAddress TLotus123::ReadAddress(const TByteReader& r) const {
  TCellAddress a;
  if (OneSheetFamily()) {
    a.Column = r.U16(1);
    a.Row = r.U16(3);
  } else {
    a.Row = r.U16(0);
    a.SheetNo = r.U8(2);
    a.Column = r.U8(3);
  }
  return a;
}

void TLotus123::Deliver(const TCellAddress& a, TVariant value, TAlignment alignment, TQXICellType cellType) {
  const TSheetGrid grid = Grid();
  if (!grid.Contains(a.Row, a.Column))
    FCursor->Damaged(grid.Outside(a.Row, a.Column));
  const int32_t format = CellFormat(a);
  if ((cellType == ictDecimal || cellType == ictInteger) && value.IsNumeric()) {
    PublishNumber(format, value, cellType, 0, false, [&](TVariant&& v, TQXICellType t) {
      OnCellValue(this, a.SheetNo, a.Row, a.Column, format, v, alignment, t);
    });
    return;
  }
  OnCellValue(this, a.SheetNo, a.Row, a.Column, format, value, alignment, cellType);
}

// ----------------------------------------------------- dates and times

bool LotusFormatIsDateTime(uint8_t format) {
  if ((format & 0x70) != 0x70) return false;  // not the special type
  switch (format & 0x0F) {
    case 2: case 3: case 4: case 9: case 10:   // D1-D3, D4, D5
    case 7: case 8: case 11: case 12: return true;  // D6, D7, D8, D9
    default: return false;
  }
}

std::string LotusFormatCode(uint8_t format) {
  const int decimals = format & 0x0F;
  const std::string places = decimals ? "." + std::string(size_t(decimals), '0') : std::string();
  switch ((format >> 4) & 7) {
    case 0: return "0" + places;
    case 1: return "0" + places + "E+00";
    case 2: return "$#,##0" + places + "_);($#,##0" + places + ")";
    case 3: return "0" + places + "%";
    case 4: return "#,##0" + places + "_);(#,##0" + places + ")";
    case 7:
      switch (decimals) {
        case 2: return "d-mmm-yy";         // D1
        case 3: return "d-mmm";            // D2
        case 4: return "mmm-yy";           // D3
        case 6: return ";;;";              // hidden
        case 7: return "h:mm:ss AM/PM";    // D6
        case 8: return "h:mm AM/PM";       // D7
        case 9: return "m/d/yy";           // D4, the long international date
        case 10: return "m/d";             // D5, the short one
        case 11: return "h:mm:ss";         // D8, the long international time
        case 12: return "h:mm";            // D9, the short one
        default: return "General";         // +/-, general, text, default
      }
    default: return "General";
  }
}

std::string Lotus97FormatCode(uint32_t word) {
  const uint8_t format = uint8_t(word);
  const uint8_t longer = uint8_t(word >> 16);
  if ((format & 0x70) != 0 || !(word & 0x80000000u)) return LotusFormatCode(format);
  // Only 0x6F (month/day/year, what an Excel m/d/yy becomes) is known from
  // files; any other code of the date or time list shows as a common one.
  if (longer < 0x63) return LotusFormatCode(uint8_t(0x20 | (format & 0x0F)));
  if (longer <= 0x79) return "m/d/yy";
  return "h:mm:ss AM/PM";
}

// Record 0x13 of the multi-sheet family: byte 0 the sheet, byte 1 the kind,
// bytes 2-3 the row. Kind 0 lists the row's cell formats column by column,
// four bytes each with the format byte first; when bit 7 of the fourth is
// set a count byte follows and the entry covers that many more columns.
// Kind 2 gives the row the formats of another (sheet at byte 4, row at 6),
// which long ranges of rows do one after the other.
void TLotus123::ReadRowFormatBytes(const TByteReader& r) {
  const uint32_t key = uint32_t(r.U8(0)) << 16 | r.U16(2);
  switch (r.U8(1)) {
    case 0: {
      auto runs = std::make_shared<std::vector<std::pair<int32_t, uint8_t>>>();
      int32_t column = 0;
      for (size_t p = 4; r.Fits(p, 4) && column < 256; p += 4) {
        const uint8_t format = r.U8(p);
        int32_t span = 1;
        if (r.U8(p + 3) & 0x80) {
          if (!r.Fits(p + 4, 1)) break;
          span += r.U8(p + 4);
          ++p;
        }
        column += span;
        runs->emplace_back(column, format);
      }
      if (runs->empty()) FRowFormats.erase(key);
      else FRowFormats[key] = std::move(runs);
      break;
    }
    case 2: {
      if (!r.Fits(6, 2)) break;
      auto same = FRowFormats.find(uint32_t(r.U8(4)) << 16 | r.U16(6));
      if (same == FRowFormats.end()) FRowFormats.erase(key);
      else FRowFormats[key] = same->second;
      break;
    }
    default: break;
  }
}

int32_t TLotus123::CellFormat(const TCellAddress& a) {
  uint8_t format = 0xFF;  // the default format
  if (OneSheetFamily()) {
    format = FRecordBuffer.empty() ? 0xFF : FRecordBuffer[0];  // the cell record's format byte
  } else if (!FRowFormats.empty()) {
    auto it = FRowFormats.find(uint32_t(a.SheetNo) << 16 | uint32_t(a.Row));
    if (it != FRowFormats.end())
      for (const auto& [end, byte] : *it->second)
        if (a.Column < end) {
          format = byte;
          break;
        }
  }
  if (FVersion == wv123 && !FCellFormats.Empty()) {
    const uint32_t* word = FCellFormats.Find(uint32_t(a.SheetNo), uint32_t(a.Column), uint32_t(a.Row));
    if (word) {
      auto [it, added] = FModelFormat97.try_emplace(*word, -1);
      if (added) it->second = Sheets.Formats.Add(Lotus97FormatCode(*word));
      return it->second;
    }
  }
  int32_t& model = FModelFormat[format];
  if (model < 0) model = Sheets.Formats.Add(LotusFormatCode(format));
  return model;
}

// 1-2-3 97 keeps the cell formats after the cells, in a layer of its own
// between two records 0x0293: one map of runs. It is read ahead so that each
// cell arrives with its format; the records after the BOF are read again.
void TLotus123::ReadCellFormatLayer() {
  FCellFormatsRead = true;
  TRecordCursor& cursor = *FCursor;
  const int64_t resume = cursor.Position();
  bool inLayer = false;
  while (cursor.Next() && cursor.Type() != recEOF) {
    const uint32_t type = cursor.Type();
    if (type == recFormatLayer) {
      if (inLayer) break;
      inLayer = true;
      continue;
    }
    if (!inLayer) continue;
    const TByteReader r = cursor.View();
    const size_t need = type == recRun || type == recRunValue ? 4 : type == recRunShare || type == recRunSame ? 2 : 0;
    if (cursor.Oversized() || !r.Fits(0, need)) {
      FCellFormats.Break();
      continue;
    }
    switch (type) {
      case recRunMap: FCellFormats.Clear(); break;
      case recRunShape:  // the number of levels, then their sizes
        if (!r.Fits(2, 2) || r.U16(2) != 3) FCellFormats.Break();
        break;
      case recGroupOpen: FCellFormats.Open(); break;
      case recGroupClose: FCellFormats.Close(); break;
      case recRun: FCellFormats.Run(r.U32(0)); break;
      case recRunValue: FCellFormats.Value(r.U32(0)); break;
      case recRunShare: FCellFormats.Share(r.U16(0)); break;
      case recRunSame: FCellFormats.Same(r.U16(0)); break;
      default: break;
    }
  }
  cursor.Seek(resume);
}

void TLotus123::ReadBlank(const TByteReader& r) {
  TCellAddress a = ReadAddress(r);
  Deliver(a, TVariant::Null(), taLeftJustify, ictEmpty);
}

void TLotus123::ReadInteger(const TByteReader& r) {
  TCellAddress a = ReadAddress(r);
  int32_t v = r.I16(5);
  Deliver(a, TVariant(v), taRightJustify, ictInteger);
}

void TLotus123::ReadNumber(const TByteReader& r) {
  TCellAddress a = ReadAddress(r);
  double v = r.F64(5);
  // Some writers store infinity for a cell in error; it is no number to keep.
  if (!std::isfinite(v)) return;
  Deliver(a, TVariant(v), taRightJustify, ictDecimal);
}

void TLotus123::ReadLabel(const TByteReader& r, size_t prefixOffset) {
  TCellAddress a = ReadAddress(r);
  // Text from the byte after the prefix up to the final NUL.
  size_t textOffset = prefixOffset + 1;
  if (r.Size() < textOffset + 1) throw EBoundsError("Record is too short");
  TAlignment alignment = LotusPrefixAlignment(r.U8(prefixOffset));
  std::string text = LotusText(r, textOffset, r.Size() - textOffset - 1);
  Deliver(a, TVariant(std::move(text)), alignment, ictString);
}

void TLotus123::ReadFormula(const TByteReader& r) {
  TCellAddress a = ReadAddress(r);
  uint64_t bits = r.U64(5);
  if (LotusSpecialValue(bits))
    Deliver(a, TVariant(int32_t(0)), taRightJustify, ictDecimal);
  else
    Deliver(a, TVariant(r.F64(5)), taRightJustify, ictDecimal);
}

void TLotus123::ReadOneSheetString(const TByteReader& r) {
  TCellAddress a = ReadAddress(r);
  r.Need(5, 1);  // at least the terminator
  std::string text = LotusText(r, 5, r.Size() - 5);
  Deliver(a, TVariant(std::move(text)), taLeftJustify, ictString);
}

void TLotus123::ReadFormulaString(const TByteReader& r) {
  TCellAddress a = ReadAddress(r);
  // The text runs to the record's end; its terminating NUL is not part of it.
  std::string text = LotusText(r, 4, r.Size() - std::min<size_t>(r.Size(), 4));
  Deliver(a, TVariant(std::move(text)), taLeftJustify, ictString);
}

// The row-format list (kept for callers that look at it).
void TLotus123::ReadRowFormats(const TByteReader& r) {
  const int32_t sheetNo = r.U8(0);
  const int32_t row = r.U16(2);
  size_t p = 4;
  while (p < r.Size() && FFormatList.size() < (size_t(1) << 20)) {
    // A trailing partial entry (some writers leave one) is dropped.
    if (!r.Fits(p, 4)) break;
    TWK4Format f;
    f.SheetNo = sheetNo;
    f.Row = row;
    f.FormatCode = r.U8(p);
    uint32_t raw = uint32_t(r.U8(p + 1)) | (uint32_t(r.U8(p + 2)) << 8) | (uint32_t(r.U8(p + 3) & 0x3F) << 16);
    f.FormatValue = raw >> 6;
    f.RunKind = r.U8(p + 3) & 0xC0;
    if (f.RunKind == 0x80 || f.RunKind == 0xC0) {
      if (!r.Fits(p + 4, 1)) break;
      f.RunCount = r.U8(p + 4);
      ++p;
    }
    p += 4;
    FFormatList.push_back(f);
  }
}

void TLotus123::ReadExtendedNumber(const TByteReader& r) {
  TCellAddress a = ReadAddress(r);
  r.Need(4, 10);
  double v;
  try {
    v = LotusExtendedToDouble(r.Data() + 4);
  } catch (const EConvertError&) {
    return;  // an error value holds no number
  }
  Deliver(a, TVariant(v), taRightJustify, ictDecimal);
}

void TLotus123::ReadExtendedFormula(const TByteReader& r) {
  TCellAddress a = ReadAddress(r);
  r.Need(4, 10);
  double v;
  try {
    v = LotusExtendedToDouble(r.Data() + 4);
  } catch (const EConvertError&) {
    return;  // error and text results: the cell is skipped (a text follows in 0x1A)
  }
  Deliver(a, TVariant(v), taRightJustify, ictDecimal);
}

void TLotus123::ReadSmallNumber(const TByteReader& r) {
  TCellAddress a = ReadAddress(r);
  double v = LotusSmallNumber(r.I16(4));
  Deliver(a, TVariant(v), taRightJustify, ictDecimal);
}

void TLotus123::ReadPackedNumber(const TByteReader& r) {
  TCellAddress a = ReadAddress(r);
  TVariant v = LotusPackedNumber(r.U32(4));
  const TQXICellType type = v.Type() == TVarType::Integer ? ictInteger : ictDecimal;
  Deliver(a, std::move(v), taRightJustify, type);
}

void TLotus123::ReadDoubleNumber(const TByteReader& r) {
  TCellAddress a = ReadAddress(r);
  uint64_t bits = r.U64(4);
  double v = LotusSpecialValue(bits) ? 0.0 : r.F64(4);
  Deliver(a, TVariant(v), taRightJustify, ictDecimal);
}

void TLotus123::ReadExtendedRecord(const TByteReader& r) {
  switch (r.U16(0)) {
    case ExtSheetName: ReadSheetName(r); break;
    case ExtRowHeights:
      if (OnRowHeight) ReadRowHeights(r);
      break;
    default: break;
  }
}

void TLotus123::ReadSheetName(const TByteReader& r) {
  const int32_t index = r.U8(2);
  if (r.Size() < 5) throw EBoundsError("Record is too short");
  std::u16string name = LotusWideText(r, 4, r.Size() - 5);
  if (!OnSheet || index < Sheets.Count()) return;
  // Sheets without a name record before this one are created first, so the
  // named sheet keeps its number and its cells land under its name.
  if (index > 0) Sheets.GetSheet(index - 1);
  bool skip = false;
  OnSheet(this, name, index, skip);
}

void TLotus123::ReadRowHeights(const TByteReader& r) {
  const int32_t sheetNo = r.U8(2);
  // Entries of 8 bytes follow the 4-byte head: row word, height word, 4 more bytes.
  for (size_t p = 4; r.Fits(p, 8); p += 8) OnRowHeight(this, sheetNo, r.U16(p), r.U16(p + 2) / 32);
}

void TLotus123::ReadColumnWidths(const TByteReader& r) {
  const int32_t first = r.U8(0);
  const int32_t last = r.U8(1);
  const int32_t width = r.U8(3) * 256;  // characters
  for (int32_t c = first; c <= last; ++c) OnColumnWidth(this, 0, c, width);
}

void TLotus123::ReadOneSheetColumnWidth(const TByteReader& r) {
  const int32_t column = r.U16(0);
  const int32_t width = r.U8(2) * 256;  // characters
  OnColumnWidth(this, 0, column, width);
}
