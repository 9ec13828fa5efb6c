#include "QXWQ.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "CodePage.h"
#include "QXIOleStorage.h"
#include "QXWKS.h"
#include "SysUtils.h"

namespace {

// Classic records (the DOS files, .wb1 to .wb3).
enum : uint16_t {
  recBOF = 0x00,
  recEOF = 0x01,
  recDimensions = 0x06,
  recWindow1 = 0x07,  // .wq1/.wq2: the default column width among the window's settings
  recColumnWidth = 0x08,
  recBlank = 0x0C,
  recInteger = 0x0D,
  recNumber = 0x0E,
  recLabel = 0x0F,
  recFormula = 0x10,
  recFormulaText = 0x33,  // the text result of the formula before it
  recSheet = 0xCA,
  recSheetEnd = 0xCB,
  recSheetName = 0xCC,
  recStyle = 0xCE,        // .wb1 to .wb3: one style, numbered from 1
  recPageDefaultWidth = 0xD4,  // .wb1 to .wb3: the page's default column width in twips
  recDosStyle = 0xD8,     // .wq2: one style, numbered by byte 3
  recColumnWidth2 = 0xE2,  // .wq2: a column's width, laid out as recColumnWidth
};

// The notebook's BOF and end records (its BOF has the classic EOF's number).
constexpr uint16_t recNotebookBOF = 0x0001;
constexpr uint16_t recNotebookEOF = 0x0002;

// What a formula in error shows: Quattro Pro's ERR (and NA, which the
// files do not tell apart from it) in the error text the model uses.
constexpr char ErrorText[] = "#VALUE!";

constexpr uint8_t CompoundSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

}  // namespace

const char* WQVersionName(TWQVersion v) {
  switch (v) {
    case qvUnknown: return "qvUnknown";
    case qvWQ1: return "qvWQ1";
    case qvWQ2: return "qvWQ2";
    case qvWKQ: return "qvWKQ";
    case qvWB2: return "qvWB2";
    case qvWB3: return "qvWB3";
    case qvQP9: return "qvQP9";
    case qvWB1: return "qvWB1";
  }
  return "?";
}

// The special types 0 and 6 share their codes: 5-9 the dates D1-D5, 10-13
// the times D6-D9 (what the Windows generations write for their Date style).
bool QuattroFormatIsDateTime(uint8_t format) {
  const uint8_t type = (format >> 4) & 7;
  const uint8_t code = format & 0x0F;
  return (type == 0 || type == 6) && code >= 5 && code <= 13;
}

bool QuattroNotebookFormatIsDateTime(uint16_t format) {
  const uint16_t code = format & 0x1F;
  return (format >> 5) == 0 && code >= 5 && code <= 13;
}

namespace {

// The special codes the Windows generations and notebooks share.
std::string QuattroSpecialCode(unsigned code) {
  static const char* const Dates[9] = {"d-mmm-yy", "d-mmm", "mmm-yy", "m/d/yy", "m/d",
                                       "h:mm:ss AM/PM", "h:mm AM/PM", "h:mm:ss", "h:mm"};
  return code >= 5 && code <= 13 ? Dates[code - 5] : "General";
}

}  // namespace

std::string QuattroFormatCode(uint8_t format) {
  const unsigned type = (format >> 4) & 7, code = format & 0x0F;
  if (type == 0 || type == 6) return QuattroSpecialCode(code);
  if (type > 5) return "General";
  // Types 1 to 5 are the Lotus types 0 to 4 with the same decimals.
  return LotusFormatCode(uint8_t(((type - 1) << 4) | code));
}

std::string QuattroNotebookFormatCode(uint16_t format) {
  return (format >> 5) == 0 ? QuattroSpecialCode(format & 0x1F) : "General";
}

int32_t TQuattroPro::ModelFormat(int kind, uint16_t format) {
  const uint32_t key = uint32_t(kind) << 16 | format;
  auto it = FModelFormats.find(key);
  if (it != FModelFormats.end()) return it->second;
  const std::string code = kind == 0   ? LotusFormatCode(uint8_t(format))
                           : kind == 1 ? QuattroFormatCode(uint8_t(format))
                                       : QuattroNotebookFormatCode(format);
  const int32_t model = Sheets.Formats.Add(code);
  FModelFormats.emplace(key, model);
  return model;
}

TQuattroPro::TQuattroPro() : FRecordBuffer(RecordBufferSize, 0) {}
TQuattroPro::~TQuattroPro() = default;

void TQuattroPro::ResetData() {
  TSpreadSheetFile::ResetData();
  SummaryInformation.Clear();
  FStringTable.clear();
  FStyleFormats.clear();
  FModelFormats.clear();
}

void TQuattroPro::LoadFromFile(const std::string& fileName) {
  TSpreadSheetFile::LoadFromFile(fileName);
  std::unique_ptr<TStream> own;
  ParseStream(SourceFile(own));
}

void TQuattroPro::ParseStream(TStream& stream) {
  TSpreadSheetFile::ParseStream(stream);  // ResetData
  FVersion = qvUnknown;
  FCurrentSheet = 0;
  FCurrentColumn = -1;
  FSheetSeen = false;

  const int64_t start = stream.Position();
  uint8_t head[8] = {};
  const int64_t got = stream.Read(head, sizeof head);
  stream.SetPosition(start);
  if (got == int64_t(sizeof head) && std::memcmp(head, CompoundSignature, sizeof head) == 0) {
    ParseCompound(stream);
  } else {
    // A plain file opens with a classic BOF, else it is no Quattro Pro file.
    if (got < 6 || head[0] != 0 || head[1] != 0 || (head[2] | (head[3] << 8)) < 2)
      throw EQXIFileFormatException(SInvalidFileFormat);
    std::string cut;
    if (!ReadRecords(stream, cut))
      throw EQXIFileTruncatedException(StringReplaceAll(SFileTruncated, "%s", "it " + cut));
  }
  // Quattro Pro draws a column 9 characters wide unless the file says otherwise.
  SetDefaultColumnCharactersWhereUnset(LotusDefaultColumnCharacters);
}

void TQuattroPro::ParseCompound(TStream& stream) {
  std::unique_ptr<TOleStorage> root = StgOpenStorageOnStream(stream);
  if (root->PaddedBytes()) Warn(root->PaddingWarning());
  // The record stream is the last element named "..._MAIN" in any case
  // (NativeContent_MAIN, PerfectOffice_MAIN).
  std::u16string mainName;
  for (const TOleElement& el : root->EnumElements()) {
    if (el.Type != STGTY_STREAM) continue;
    if (UpperCase(Utf16ToUtf8(el.Name)).find("_MAIN") != std::string::npos) mainName = el.Name;
  }
  if (mainName.empty()) throw EQXIFileFormatException(SInvalidFileFormat);
  ReadSummaryStreams(*root);
  std::shared_ptr<TOleStorageStream> main = root->OpenStream(mainName);
  if (!main) throw EQXIFileFormatException(SInvalidFileFormat);
  TOleStream records(main);
  // A notebook until a classic BOF says otherwise (.wb3 keeps classic records).
  FVersion = qvQP9;
  std::string cut;
  if (!ReadRecords(records, cut))
    throw EQXIFileTruncatedException(StringReplaceAll(SFileTruncated, "%s", "the notebook stream " + cut));
}

void TQuattroPro::ReadSummaryStreams(const TOleStorage& root) {
  for (const char* name : {"\x05SummaryInformation", "\x05" "DocumentSummaryInformation"}) {
    // Document properties never fail a conversion: a damaged set keeps what
    // was read before the damage.
    try {
      if (auto s = root.OpenStream(std::string(name))) {
        TOleStream os(s);
        SummaryInformation.ReadPropertySet(os, name[1] == 'D');
      }
    } catch (const Exception&) {
    }
  }
  Sheets.Properties = SummaryInformation.DocumentProperties();
}

bool TQuattroPro::ReadRecords(TStream& stream, std::string& cut) {
  if (FRecordBuffer.size() != RecordBufferSize) FRecordBuffer.assign(RecordBufferSize, 0);
  TRecordCursor cursor(*this, stream, TRecordHeaderKind::Word, FRecordBuffer, RecordBufferSize);
  FCursor = &cursor;
  struct Restore {
    TRecordCursor*& Slot;
    ~Restore() { Slot = nullptr; }
  } restore{FCursor};
  const int64_t size = stream.Size();
  bool first = true;
  while (cursor.Next()) {
    FRecord.Opcode = uint16_t(cursor.Type());
    FRecord.Length = uint16_t(cursor.Length());
    FRecord.Offset = cursor.Offset();
    // The first record must be a BOF of either kind.
    if (first && FRecord.Opcode != recBOF && !(FVersion == qvQP9 && FRecord.Opcode == recNotebookBOF))
      throw EQXIFileFormatException(SInvalidFileFormat);
    first = false;
    const bool notebook = FVersion == qvQP9 && FRecord.Opcode != recBOF;
    if (notebook ? FRecord.Opcode == recNotebookEOF : FRecord.Opcode == recEOF) {
      DoLoadProgress(size, size);
      return true;
    }
    HandleRecord(FRecord);
    if (LoadProgressDue()) DoLoadProgress(cursor.Position(), size);
  }
  // Not even a whole first record: no Quattro Pro data at all.
  if (first) throw EQXIFileFormatException(SInvalidFileFormat);
  cut = cursor.End() == TRecordEnd::Clean
            ? "ends at byte " + std::to_string(size) + " without its end-of-file record"
            : cursor.EndText();
  return false;
}

void TQuattroPro::HandleRecord(const TRecord& rec) {
  if (OnRecord) {
    TBIFFRecordHeader header;
    header.RecNo = rec.Opcode;
    header.RecLen = rec.Length;
    OnRecord(this, header, FRecordBuffer);
  }
  const TByteReader r = FCursor->View();
  FCursor->Sheet = FCurrentSheet;
  FCursor->Dispatch([&] {
    // A classic BOF inside a compound document (.wb3) is read as such.
    if (FVersion == qvQP9 && rec.Opcode != recBOF)
      DispatchNotebook(r);
    else
      DispatchClassic(r);
  });
}

void TQuattroPro::Damaged(const std::string& what) const { FCursor->Damaged(what); }

// What each generation addresses: the DOS files and the Windows files up to
// version 8 have 8,192 rows of 256 columns (the latter on 256 sheets);
// notebooks from version 9 on reach column ZZZ on as many sheets.
TQuattroPro::TGrid TQuattroPro::Grid() const {
  switch (FVersion) {
    case qvWQ1: return {8192, 256, 1, "Quattro Pro WQ1"};
    case qvWQ2: return {8192, 256, 1, "Quattro Pro WQ2"};
    case qvWKQ: return {8192, 256, 1, "Quattro WKQ"};
    case qvWB1: return {8192, 256, 256, "Quattro Pro WB1"};
    case qvWB2: return {8192, 256, 256, "Quattro Pro WB2"};
    case qvWB3: return {8192, 256, 256, "Quattro Pro WB3"};
    case qvQP9: return {1048576, 18278, 18278, "Quattro Pro notebook"};
    case qvUnknown: break;
  }
  return {8192, 256, 1, "Quattro Pro"};
}

void TQuattroPro::CheckGrid(int32_t sheet, int64_t row, int64_t column) const {
  const TGrid g = Grid();
  if (sheet >= 0 && sheet < g.Sheets && row >= 0 && row < g.Rows && column >= 0 && column < g.Cols) return;
  if (sheet < 0 || sheet >= g.Sheets)
    Damaged("sheet " + std::to_string(int64_t(sheet) + 1) + " lies outside the " + g.Name + " grid of " +
            FormatThousands(g.Sheets) + " sheets");
  const std::string cell = column >= 0 && column < INT32_MAX ? ColumnNumberToLetters(int32_t(column + 1))
                                                             : "column " + std::to_string(column + 1) + " ";
  Damaged("cell " + cell + std::to_string(row + 1) + " lies outside the " + g.Name + " grid of " +
          FormatThousands(g.Rows) + " rows by " + FormatThousands(g.Cols) + " columns");
}

void TQuattroPro::Deliver(const TCellHead& h, TVariant value, TAlignment alignment, TQXICellType cellType) {
  if (!OnCellValue) return;
  CheckGrid(h.Sheet, h.Row, h.Column);
  OnCellValue(this, h.Sheet, h.Row, h.Column, h.Format, value, alignment, cellType);
}

void TQuattroPro::DeliverNumber(const TCellHead& h, const TVariant& value, TAlignment alignment) {
  PublishNumber(h.Format, value, value.Type() == TVarType::Integer ? ictInteger : ictDecimal, 0, false,
                [&](TVariant&& v, TQXICellType type) { Deliver(h, std::move(v), alignment, type); });
}

// A cached result whose upper half is a NaN pattern is no number: a text
// result (its text record follows and replaces this) or an error.
void TQuattroPro::DeliverFormulaResult(const TCellHead& h, uint64_t bits, TAlignment alignment) {
  if (LotusSpecialValue(bits) || ((bits >> 52) & 0x7FF) == 0x7FF) {
    Deliver(h, TVariant(std::string(ErrorText)), taLeftJustify, ictUnknown);
    return;
  }
  double v;
  std::memcpy(&v, &bits, 8);
  DeliverNumber(h, TVariant(v), alignment);
}

// ------------------------------------------------------------ classic records

void TQuattroPro::DispatchClassic(const TByteReader& r) {
  switch (FRecord.Opcode) {
    case recBOF: ReadBof(r); break;
    case recDimensions:
      if (OnDimensions) ReadClassicDimensions(r);
      break;
    case recWindow1:
      if ((FVersion == qvWQ1 || FVersion == qvWQ2) && r.Fits(6, 2)) SetDefaultColumnCharacters(FCurrentSheet, r.U16(6));
      break;
    case recColumnWidth:
      if (OnColumnWidth) ReadClassicColumnWidth(r);
      break;
    case recColumnWidth2:
      // In the notebooks' classic records the number holds something else.
      if (FVersion == qvWQ2 && OnColumnWidth && r.Fits(0, 3)) ReadClassicColumnWidth(r);
      break;
    case recBlank:
    case recInteger:
    case recNumber:
    case recLabel:
    case recFormula:
    case recFormulaText:
      if (OnCellValue) ReadClassicCell(r);
      break;
    case recSheet: ReadClassicSheet(r); break;
    case recSheetEnd: break;
    case recSheetName: ReadClassicSheetName(r); break;
    case recStyle: ReadClassicStyle(r); break;
    case recPageDefaultWidth:
      if ((FVersion == qvWB1 || FVersion == qvWB2 || FVersion == qvWB3) && r.Fits(0, 2) && (r.U16(0) & 0x7FFF) > 0)
        SetDefaultColumnWidth(FCurrentSheet, ColumnWidthFromTwips(r.U16(0) & 0x7FFF));
      break;
    case recDosStyle:
      // The same number is a column's width in the pages of .wb1 and .wb2.
      if (FVersion == qvWB1 || FVersion == qvWB2) {
        if (OnColumnWidth) ReadPageColumnWidth(r);
      } else {
        ReadClassicStyle(r);
      }
      break;
    default: break;
  }
}

void TQuattroPro::ReadBof(const TByteReader& r) {
  switch (r.U16(0)) {
    case 0x0101:
    case 0x5120: FVersion = qvWQ1; break;
    case 0x0102:
    case 0x5121: FVersion = qvWQ2; break;
    case 0x0A0B: FVersion = qvWKQ; break;
    // Quattro Pro for Windows 1 and 5 write the .wb1 layout, not the DOS one.
    case 0x1001: FVersion = qvWB1; break;
    case 0x1002: FVersion = qvWB2; break;
    case 0x1007: FVersion = qvWB3; break;
    case 0x0017: break;
    default: throw EQXIFileFormatException(SInvalidFileFormat);
  }
}

// Cell heads by generation: the DOS files keep the Lotus layout (format
// byte, column word, row word; .wq2 column word, row word, style word); the
// Windows files a column byte, a sheet byte, a row word and an attribute
// word whose bits 3 and up number the style.
TQuattroPro::TCellHead TQuattroPro::ClassicHead(const TByteReader& r) {
  TCellHead h;
  h.Sheet = FCurrentSheet;
  switch (FVersion) {
    case qvWQ1:
    case qvWKQ:
    case qvUnknown:
      h.Style = r.U8(0);
      h.Column = r.U16(1);
      h.Row = r.U16(3);
      h.Payload = 5;
      h.Format = ModelFormat(0, uint16_t(h.Style));
      break;
    case qvWQ2:
      h.Column = r.U16(0);
      h.Row = r.U16(2);
      h.Style = r.U8(5);
      h.Payload = 6;
      h.Format = ClassicStyleFormat(h.Style);
      break;
    default:
      h.Column = r.U8(0);
      h.Row = r.U16(2);
      h.Style = r.U16(4) >> 3;
      h.Payload = 6;
      h.Format = ClassicStyleFormat(h.Style);
      break;
  }
  return h;
}

int32_t TQuattroPro::ClassicStyleFormat(int32_t style) {
  if (FVersion == qvWQ2) {
    // Style 0xFF is the default format.
    if (style < 0 || size_t(style) >= FStyleFormats.size()) return 0;
    return ModelFormat(0, uint8_t(FStyleFormats[size_t(style)]));
  }
  // Windows styles count from 1; 0 is the notebook's default.
  if (style <= 0 || size_t(style) > FStyleFormats.size()) return 0;
  return ModelFormat(1, uint8_t(FStyleFormats[size_t(style) - 1]));
}

// Label texts: the DOS files keep a length byte before the text, the others
// end it with a NUL (and may leave stray bytes after it).
std::string TQuattroPro::ClassicText(const TByteReader& r, size_t offset, bool pascal) const {
  if (!pascal) {
    r.Need(offset, 0);
    const char* p = reinterpret_cast<const char*>(r.Data() + offset);
    return BytesToAnsi(p, strnlen(p, r.Size() - offset), CP_WINDOWS_1252);
  }
  const size_t n = r.U8(offset);
  if (!r.Fits(offset + 1, n))
    Damaged("the text at byte " + std::to_string(offset) + " claims " + std::to_string(n) + " bytes, " +
            std::to_string(r.Size() - offset - 1) + " are there");
  std::string bytes = r.Bytes(offset + 1, n);
  std::replace(bytes.begin(), bytes.end(), '\0', ' ');
  return BytesToAnsi(bytes, CP_WINDOWS_1252);
}

void TQuattroPro::ReadClassicCell(const TByteReader& r) {
  const TCellHead h = ClassicHead(r);
  const size_t p = h.Payload;
  // Texts: the DOS files keep a length byte before them; the others (and the
  // Lotus-like .wkq) end them with a NUL. A formula's text result has no
  // prefix byte in the Lotus layouts.
  const bool pascal = FVersion == qvWQ1 || FVersion == qvWQ2;
  const bool resultPrefix = !pascal && FVersion != qvWKQ && FVersion != qvUnknown;
  switch (FRecord.Opcode) {
    case recBlank:
      Deliver(h, TVariant::Null(), taLeftJustify, ictEmpty);
      break;
    case recInteger:
      // Signed, as in Lotus: -1 is stored as 0xFFFF.
      DeliverNumber(h, TVariant(int32_t(r.I16(p))), taRightJustify);
      break;
    case recNumber: {
      // Some writers store infinity in a constant for a value they lacked:
      // no number to keep, as in Lotus files.
      const double v = r.F64(p);
      if (std::isfinite(v)) DeliverNumber(h, TVariant(v), taRightJustify);
      break;
    }
    case recLabel:
      // The prefix byte stands before the text (and before its length byte).
      Deliver(h, TVariant(ClassicText(r, p + 1, pascal)), LotusPrefixAlignment(r.U8(p)), ictString);
      break;
    case recFormula:
      DeliverFormulaResult(h, r.U64(p), taRightJustify);
      break;
    case recFormulaText:
      Deliver(h, TVariant(ClassicText(r, resultPrefix ? p + 1 : p, pascal)), taLeftJustify, ictString);
      break;
    default: break;
  }
}

void TQuattroPro::ReadClassicDimensions(const TByteReader& r) {
  const int32_t firstColumn = r.U16(0), firstRow = r.U16(2), lastColumn = r.U16(4), lastRow = r.U16(6);
  // An empty sheet declares nothing.
  if (lastRow < firstRow || lastColumn < firstColumn) return;
  OnDimensions(this, FCurrentSheet, firstRow, lastRow, firstColumn, lastColumn);
}

// The Lotus layout: a column word and its width in characters.
void TQuattroPro::ReadClassicColumnWidth(const TByteReader& r) {
  const int32_t column = r.U16(0);
  if (column >= Grid().Cols) return;
  OnColumnWidth(this, FCurrentSheet, column, r.U8(2) * 256);  // characters
}

// A column word and its width in twips (bit 15: set by hand).
void TQuattroPro::ReadPageColumnWidth(const TByteReader& r) {
  const int32_t column = r.U16(0);
  if (column >= Grid().Cols || !r.Fits(2, 2)) return;
  OnColumnWidth(this, FCurrentSheet, column, ColumnWidthFromTwips(r.U16(2) & 0x7FFF));
}

void TQuattroPro::ReadClassicSheet(const TByteReader& r) {
  FCurrentSheet = r.U8(0);
  FSheetSeen = true;
  if (!OnSheet || FCurrentSheet < Sheets.Count()) return;
  // Sheets without a record before this one are made first, so the sheet
  // keeps its number.
  if (FCurrentSheet > 0) Sheets.GetSheet(FCurrentSheet - 1);
  bool skip = false;
  OnSheet(this, Utf8ToUtf16(std::string(SDefaultSheetName) + std::to_string(FCurrentSheet + 1)), FCurrentSheet, skip);
}

void TQuattroPro::ReadClassicSheetName(const TByteReader& r) {
  // The DOS files use this record for something else before any sheet.
  if (!FSheetSeen || FCurrentSheet >= Sheets.Count()) return;
  const char* p = reinterpret_cast<const char*>(r.Data());
  std::u16string name = DecodeBytes(p, strnlen(p, r.Size()), CP_WINDOWS_1252);
  if (!name.empty()) Sheets[FCurrentSheet].Caption = name;
}

// .wb1 to .wb3 number their styles by order, the format byte first; .wq2
// numbers them by byte 3 and keeps the Lotus format byte at 19.
void TQuattroPro::ReadClassicStyle(const TByteReader& r) {
  if (FRecord.Opcode == recStyle) {
    if (FVersion == qvWQ1 || FVersion == qvWQ2 || FVersion == qvWKQ) return;
    FStyleFormats.push_back(r.U8(0));
    return;
  }
  if (FVersion != qvWQ2) return;
  const size_t index = r.U8(3);
  const uint8_t format = r.U8(19);
  if (FStyleFormats.size() <= index) FStyleFormats.resize(index + 1, 0xFF);
  FStyleFormats[index] = format;
}
