// TMSExcelX: the binary parts of .xlsb packages. Each part is a sequence of
// records (a 7-bit-group type and size, then the data), read straight from
// the inflating zip entry.
#include <algorithm>
#include <cstring>

#include "ByteReader.h"
#include "CodePage.h"
#include "QXIRecords.h"
#include "QXXLSX.h"
#include "SysUtils.h"

namespace {

// Record types.
enum : uint32_t {
  BrtRowHdr = 0x00,
  BrtCellBlank = 0x01,
  BrtCellRk = 0x02,
  BrtCellError = 0x03,
  BrtCellBool = 0x04,
  BrtCellReal = 0x05,
  BrtCellSt = 0x06,
  BrtCellIsst = 0x07,
  BrtFmlaString = 0x08,
  BrtFmlaNum = 0x09,
  BrtFmlaBool = 0x0A,
  BrtFmlaError = 0x0B,
  BrtShortBlank = 0x0C,  // the short forms, 0x0C to 0x12, hold no column
  BrtShortIsst = 0x12,
  BrtSSTItem = 0x13,
  BrtCellRString = 0x3E,
  BrtColInfo = 0x3C,
  BrtFont = 0x2B,
  BrtFmt = 0x2C,
  BrtXF = 0x2F,
  BrtWsDim = 0x94,
  BrtWsFmtInfo = 0x1E5,
  BrtWbProp = 0x99,
  BrtBundleSh = 0x9C,
  BrtBeginCellXFs = 0x269,
  BrtEndCellXFs = 0x26A,
};

// XLWideString: a 32-bit character count, then UTF-16LE.
std::u16string WideString(const TByteReader& r, size_t off, size_t* next = nullptr) {
  uint32_t n = r.U32(off);
  if (n == 0xFFFFFFFFu) {  // the nullable form's "no string"
    if (next) *next = off + 4;
    return std::u16string();
  }
  std::u16string s = r.Utf16(off + 4, n);
  if (next) *next = off + 4 + size_t(n) * 2;
  return s;
}

// Runs the handler on every record of a part; a damaged record is offered
// to OnErrorProcess, which may let the part go on.
template <class Handler>
void ForEachRecord(TMSExcelX& reader, TStream& s, const std::string& part, int32_t sheet, Handler&& handle) {
  TByteArray data;
  TRecordCursor cursor(reader, s, TRecordHeaderKind::Varint, data, SIZE_MAX);
  cursor.Part = part;
  cursor.Sheet = sheet;
  while (cursor.Next()) cursor.Dispatch([&] { handle(cursor.Type(), cursor.View()); });
  if (cursor.End() != TRecordEnd::Clean)
    throw EQXIFileFormatException("The part \"" + part + "\" is damaged: it " + cursor.EndText() + ".");
}

}  // namespace

void TMSExcelX::ReadWorkbookBin() {
  auto s = FZip->GetFileStreamByName(FWorkbookPart);
  if (!s) return;
  FWorkbookSeen = true;
  ForEachRecord(*this, *s, FWorkbookPart, -1, [&](uint32_t type, const TByteReader& r) {
    switch (type) {
      case BrtBundleSh: {
        // State and tab id, then the relationship id and the name; Excel 2007
        // writes four more bytes before the strings. The name ends the record.
        TSheetEntry sh;
        bool found = false;
        for (size_t at : {size_t(8), size_t(12)}) {
          size_t next = 0, end = 0;
          if (!r.Fits(at, 4)) break;
          try {
            std::u16string relId = WideString(r, at, &next);
            std::u16string name = WideString(r, next, &end);
            if (end != r.Size() && found) continue;
            sh.RelId = Utf16ToUtf8(relId);
            sh.Name = std::move(name);
            found = true;
            if (end == r.Size()) break;
          } catch (const EBoundsError&) {
          }
        }
        if (!found) WideString(r, r.Size());  // reports the short record
        if (FSheets.size() < size_t(TSpreadSheets::MaxSheets)) FSheets.push_back(std::move(sh));
        break;
      }
      case BrtWbProp:
        if (r.U32(0) & 1) DateBase = 1462;
        Sheets.Formats.Date1904 = DateBase != 0;
        break;
      default:
        break;
    }
    return;
  });
}

void TMSExcelX::ReadSharedStringsBin(const std::string& part) {
  auto s = FZip->GetFileStreamByName(part);
  if (!s) return;
  TPartProgressScope progress(*this, *s, PartBytes(part));
  ForEachRecord(*this, *s, part, -1, [&](uint32_t type, const TByteReader& r) {
    // RichStr: a flags byte, then the text; runs and phonetics follow and are not wanted.
    if (type != BrtSSTItem) return;
    NotePartProgress();
    AddSharedString(WideString(r, 1));
    return;
  });
}

void TMSExcelX::ReadStylesBin(const std::string& part) {
  auto s = FZip->GetFileStreamByName(part);
  if (!s) return;
  bool cellXfs = false;
  ForEachRecord(*this, *s, part, -1, [&](uint32_t type, const TByteReader& r) {
    switch (type) {
      case BrtFmt:
        AddFormatCode(r.U16(0), WideString(r, 2));
        break;
      case BrtBeginCellXFs:
        cellXfs = true;
        break;
      case BrtEndCellXFs:
        cellXfs = false;
        break;
      case BrtXF:
        if (cellXfs) AddFormat(false, "", -1, -1, r.U16(4), r.U16(2));
        break;
      case BrtFont: {
        TXLSFont f;
        f.Size = r.U16(0) / 20;
        f.Italic = (r.U16(2) & 0x02) != 0;
        f.StrikeOut = (r.U16(2) & 0x08) != 0;
        f.Bold = r.U16(4) >= 700;
        f.Underline = r.U8(8) != 0;
        f.Charset = r.U8(10);
        f.Name = WideToAnsi(WideString(r, 21));
        Fonts.push_back(std::move(f));
        break;
      }
      default:
        break;
    }
    return;
  });
}

void TMSExcelX::ReadSheetBin(const std::string& part, bool last) {
  auto s = SheetPartStream(part, last);
  if (!s) return;
  TPartProgressScope progress(*this, *s, PartBytes(part));
  BeginSheetGeometry();
  int32_t row = 0;
  // Column of the previous cell of the row: a short cell record is the next
  // column, the first column when it opens the row.
  int64_t previous = -1;
  ForEachRecord(*this, *s, part, SheetIndex, [&](uint32_t type, const TByteReader& r) {
    switch (type) {
      case BrtRowHdr: {
        uint32_t rw = r.U32(0);
        // Addresses past the grid go on to Deliver, which reports them.
        row = int32_t(std::min<uint32_t>(rw, INT32_MAX));
        previous = -1;
        NotePartProgress();
        return;
      }
      case BrtWsDim:
        DeclareDimension(r.U32(0), r.U32(4), r.U32(8), r.U32(12));
        return;
      case BrtWsFmtInfo:
        // The default width in 1/256 of a character, else its base in characters.
        if (r.U32(0) != 0xFFFFFFFFu && r.U32(0) > 0) SetDefaultColumnWidth(SheetIndex, int32_t(std::min<uint32_t>(r.U32(0), 255 * 256)));
        else SetDefaultColumnBase(SheetIndex, r.U16(4));
        return;
      case BrtColInfo:
        AddColumnWidths(r.U32(0), r.U32(4), r.U32(8), r.Fits(16, 2) && (r.U16(16) & 1));
        return;
      case BrtCellRString: {
        // A rich-text cell: the cell, then a RichStr (flags byte, text; runs follow).
        const int32_t column = int32_t(std::min<uint32_t>(r.U32(0), INT32_MAX));
        previous = column;
        DeliverText(row, column, CellFormat(r.U32(4) & 0xFFFFFF), WideString(r, 9));
        return;
      }
      default:
        if (type > BrtShortIsst) return;
        break;
    }
    // Long forms: the column, a 24-bit style index, the value from byte 8.
    // Short forms: the style index, the value from byte 4.
    const bool isShort = type >= BrtShortBlank;
    const int64_t col = isShort ? previous + 1 : int64_t(r.U32(0));
    const int32_t format = CellFormat(int32_t(r.U32(isShort ? 0 : 4) & 0xFFFFFF));
    const size_t at = isShort ? 4 : 8;
    previous = col;
    const int32_t column = int32_t(std::min<int64_t>(col, INT32_MAX));
    switch (isShort ? type - BrtShortBlank + BrtCellBlank : type) {
      case BrtCellBlank:
        if (LoadNULLs) Deliver(row, column, format, TVariant::Null(), ictEmpty);
        break;
      case BrtCellRk:
        DeliverNumber(row, column, format, RKToDouble(r.U32(at)));
        break;
      case BrtCellReal:
      case BrtFmlaNum:
        DeliverNumber(row, column, format, r.F64(at));
        break;
      case BrtCellError:
      case BrtFmlaError: {
        std::string text = ErrorCodeText(r.U8(at));
        if (r.U8(at) == 0x2B) text = "#GETTING_DATA";
        Deliver(row, column, format, TVariant(text), ictUnknown);
        break;
      }
      case BrtCellBool:
      case BrtFmlaBool:
        Deliver(row, column, format, TVariant(r.U8(at) != 0), ictBoolean);
        break;
      case BrtCellSt:
      case BrtFmlaString:
        DeliverText(row, column, format, WideString(r, at));
        break;
      case BrtCellIsst:
        DeliverSharedString(row, column, format, r.U32(at));
        break;
      default:
        break;
    }
    return;
  });
  EndSheetGeometry();
}
