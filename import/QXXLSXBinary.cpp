// TMSExcelX: the binary parts of .xlsb packages. Each part is a sequence of
// records (a 7-bit-group type and size, then the data), read straight from
// the inflating zip entry.
#include <algorithm>
#include <cstring>

#include "ByteReader.h"
#include "CodePage.h"
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
  BrtWbProp = 0x99,
  BrtBundleSh = 0x9C,
  BrtBeginCellXFs = 0x269,
  BrtEndCellXFs = 0x26A,
};

class TBinRecords {
 public:
  TBinRecords(TStream& s, const std::string& part) : FStream(s), FPart(part) {}

  uint32_t Type = 0;
  std::vector<uint8_t> Data;
  int64_t Offset = 0;  // of the current record in the part

  // False at the end of the part.
  bool Next() {
    Offset = FConsumed;
    int b = Byte();
    if (b < 0) return false;
    // Type and size: groups of 7 bits, low group first, top bit = more follows.
    uint32_t type = 0;
    for (int i = 0;; ++i) {
      type |= uint32_t(b & 0x7F) << (7 * i);
      if (!(b & 0x80)) break;
      if (i == 3 || (b = Byte()) < 0) Damaged("its record header is cut short");
    }
    uint32_t size = 0;
    for (int i = 0;; ++i) {
      if ((b = Byte()) < 0) Damaged("its record header is cut short");
      size |= uint32_t(b & 0x7F) << (7 * i);
      if (!(b & 0x80)) break;
      if (i == 3) Damaged("a record size is malformed");
    }
    Type = type;
    // Filled as the bytes arrive: a false size cannot make us allocate.
    Data.clear();
    while (Data.size() < size) {
      if (FPos == FLen && !Fill()) Damaged("record 0x" + IntToHex(type, 4) + " is cut short");
      size_t take = std::min<size_t>(size - Data.size(), FLen - FPos);
      Data.insert(Data.end(), FBuf + FPos, FBuf + FPos + take);
      FPos += take;
      FConsumed += int64_t(take);
    }
    return true;
  }

  [[noreturn]] void Damaged(const std::string& what) const {
    throw EQXIFileFormatException("The part \"" + FPart + "\" is damaged: " + what + " (offset " +
                                  std::to_string(Offset) + ").");
  }

 private:
  int Byte() {
    if (FPos == FLen && !Fill()) return -1;
    ++FConsumed;
    return FBuf[FPos++];
  }
  bool Fill() {
    int64_t n = FStream.Read(FBuf, sizeof FBuf);
    FPos = 0;
    FLen = n > 0 ? size_t(n) : 0;
    return FLen > 0;
  }

  TStream& FStream;
  std::string FPart;
  uint8_t FBuf[65536];
  size_t FPos = 0;
  size_t FLen = 0;
  int64_t FConsumed = 0;
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

// Runs the handler on every record; a damaged record is offered to
// OnErrorProcess, which may let the part go on.
template <class Handler>
void ForEachRecord(TMSExcelX& reader, TStream& s, const std::string& part, Handler&& handle) {
  TBinRecords rec(s, part);
  while (rec.Next()) {
    try {
      TByteReader r(rec.Data.data(), rec.Data.size());
      if (!handle(rec.Type, r)) return;
    } catch (const EBoundsError&) {
      try {
        rec.Damaged("record 0x" + IntToHex(rec.Type, 4) + " is too short");
      } catch (const Exception& e) {
        if (!reader.ContinueAfterError(e)) throw;
      }
    } catch (const std::exception& e) {
      if (!reader.ContinueAfterError(e)) throw;
    }
  }
}

}  // namespace

void TMSExcelX::ReadWorkbookBin() {
  auto s = FZip->GetFileStreamByName(FWorkbookPart);
  if (!s) return;
  FWorkbookSeen = true;
  ForEachRecord(*this, *s, FWorkbookPart, [&](uint32_t type, const TByteReader& r) {
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
        break;
      default:
        break;
    }
    return true;
  });
}

void TMSExcelX::ReadSharedStringsBin(const std::string& part) {
  auto s = FZip->GetFileStreamByName(part);
  if (!s) return;
  ForEachRecord(*this, *s, part, [&](uint32_t type, const TByteReader& r) {
    // RichStr: a flags byte, then the text; runs and phonetics follow and are not wanted.
    if (type == BrtSSTItem) AddSharedString(WideString(r, 1));
    return true;
  });
}

void TMSExcelX::ReadStylesBin(const std::string& part) {
  auto s = FZip->GetFileStreamByName(part);
  if (!s) return;
  bool cellXfs = false;
  ForEachRecord(*this, *s, part, [&](uint32_t type, const TByteReader& r) {
    switch (type) {
      case BrtFmt:
        AddFormat(true, WideToAnsi(WideString(r, 2)), -1, -1, -1, r.U16(0));
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
    return true;
  });
}

void TMSExcelX::ReadSheetBin(const std::string& part) {
  auto s = FZip->GetFileStreamByName(part);
  if (!s) return;
  BeginSheetGeometry();
  int32_t row = 0;
  // Column of the previous cell of the row: a short cell record is the next
  // column, the first column when it opens the row.
  int64_t previous = -1;
  ForEachRecord(*this, *s, part, [&](uint32_t type, const TByteReader& r) {
    switch (type) {
      case BrtRowHdr: {
        uint32_t rw = r.U32(0);
        // Addresses past the grid go on to Deliver, which reports them.
        row = int32_t(std::min<uint32_t>(rw, INT32_MAX));
        previous = -1;
        return true;
      }
      case BrtWsDim:
        DeclareDimension(r.U32(0), r.U32(4), r.U32(8), r.U32(12));
        return true;
      case BrtColInfo:
        AddColumnWidths(r.U32(0), r.U32(4), r.U32(8));
        return true;
      case BrtCellRString: {
        // A rich-text cell: the cell, then a RichStr (flags byte, text; runs follow).
        const int32_t column = int32_t(std::min<uint32_t>(r.U32(0), INT32_MAX));
        previous = column;
        DeliverText(row, column, WideString(r, 9));
        return true;
      }
      default:
        if (type > BrtShortIsst) return true;
        break;
    }
    // Long forms: the column, a 24-bit style index, the value from byte 8.
    // Short forms: the style index, the value from byte 4.
    const bool isShort = type >= BrtShortBlank;
    const int64_t col = isShort ? previous + 1 : int64_t(r.U32(0));
    const int32_t xf = int32_t(r.U32(isShort ? 0 : 4) & 0xFFFFFF);
    const size_t at = isShort ? 4 : 8;
    previous = col;
    const int32_t column = int32_t(std::min<int64_t>(col, INT32_MAX));
    switch (isShort ? type - BrtShortBlank + BrtCellBlank : type) {
      case BrtCellBlank:
        if (LoadNULLs) Deliver(row, column, xf, TVariant::Null(), ictEmpty);
        break;
      case BrtCellRk:
        DeliverNumber(row, column, xf, RKToDouble(r.U32(at)));
        break;
      case BrtCellReal:
      case BrtFmlaNum:
        DeliverNumber(row, column, xf, r.F64(at));
        break;
      case BrtCellError:
      case BrtFmlaError: {
        std::string text = ErrorCodeText(r.U8(at));
        if (r.U8(at) == 0x2B) text = "#GETTING_DATA";
        Deliver(row, column, -1, TVariant(text), ictUnknown);
        break;
      }
      case BrtCellBool:
      case BrtFmlaBool:
        Deliver(row, column, -1, TVariant(r.U8(at) != 0), ictBoolean);
        break;
      case BrtCellSt:
      case BrtFmlaString:
        DeliverText(row, column, WideString(r, at));
        break;
      case BrtCellIsst:
        DeliverSharedString(row, column, r.U32(at));
        break;
      default:
        break;
    }
    return true;
  });
  EndSheetGeometry();
}
