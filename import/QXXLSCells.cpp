// Cell records of a BIFF worksheet: values, formula results and geometry.
#include <algorithm>

#include "CodePage.h"
#include "QXXLS.h"

namespace {

// The grid each generation addresses; a cell beyond it is damage.
constexpr TSheetGrid Biff8Grid{65536, 256, "BIFF8"};
constexpr TSheetGrid Biff2to7Grid{16384, 256, "BIFF2 to BIFF7"};

// Up to length bytes from off: as many as the record holds.
std::string AvailableBytes(const TByteReader& r, size_t off, size_t length) {
  r.Need(off, 0);
  return r.Bytes(off, std::min(length, r.Size() - off));
}

}  // namespace

void TMSExcel::ReportCell(int32_t row, int32_t column, int32_t format, TAlignment alignment,
                          TQXICellType cellType, TVariant&& value) {
  const TSheetGrid& grid = FBiff >= 8 ? Biff8Grid : Biff2to7Grid;
  if (!grid.Contains(row, column)) throw EQXIExcelException(RecordDescription() + ": " + grid.Outside(row, column) + ".");
  if (cellType == ictString) {
    if (value.Type() == TVarType::String) {
      std::string s = value.AsString();
      if (s.find('\n') != std::string::npos) {
        ExpandLineFeeds(s);
        value = TVariant(std::move(s));
      }
    } else if (value.Type() == TVarType::WideString) {
      std::u16string s = value.AsWide();
      if (s.find(u'\n') != std::u16string::npos) {
        ExpandLineFeeds(s);
        value = TVariant(std::move(s));
      }
    }
  }
  if (OnCellValue) OnCellValue(this, SheetIndex, row, column, format, value, alignment, cellType);
  NoteCell(row, column);
}

TAlignment TMSExcel::XFAlignment(int32_t xf) const {
  if (xf >= 0 && size_t(xf) < XFList.size() && XFList[size_t(xf)]) return AlignmentOfCode(XFList[size_t(xf)]->HorzAlign);
  return taLeftJustify;
}

void TMSExcel::ReportNumber(int32_t row, int32_t column, int32_t format, TAlignment alignment, const TVariant& v,
                            bool percentScaled) {
  PublishNumber(format, v, v.Type() == TVarType::Integer ? ictInteger : ictDecimal, DateBase, percentScaled, [&](TVariant&& value, TQXICellType type) {
    ReportCell(row, column, format, alignment, type, std::move(value));
  });
}

void TMSExcel::Biff2CellLook(const TByteReader& r, int32_t& format, TAlignment& align) {
  const int32_t xf = r.U8(4) & 0x3F;
  if (xf == 63 && FBiff2Ixfe >= 0 && size_t(FBiff2Ixfe) < XFList.size() && XFList[size_t(FBiff2Ixfe)]) {
    format = ModelFormat(FBiff2Ixfe);
    align = XFAlignment(FBiff2Ixfe);
    return;
  }
  // Else the number format is the low 6 bits of the second attribute byte,
  // the alignment the third's low 3 bits.
  format = ModelNumberFormat(r.U8(5) & 0x3F);
  align = AlignmentOfCode(r.U8(6));
}

void TMSExcel::ReadBiff2Cell(const TByteReader& r) {
  const int32_t row = r.U16(0), col = r.U16(2);
  int32_t format = 0;
  TAlignment align = taLeftJustify;
  Biff2CellLook(r, format, align);
  switch (RecordHeader.RecNo) {
    case 0x0001:  // BLANK
      if (LoadNULLs) ReportCell(row, col, format, align, ictEmpty, TVariant::Null());
      break;
    case 0x0002:  // INTEGER
      ReportNumber(row, col, format, align, TVariant(int32_t(r.U16(7))), false);
      break;
    case 0x0003:  // NUMBER
      ReportNumber(row, col, format, align, TVariant(r.F64(7)), true);
      break;
    case 0x0004:  // LABEL
      ReportCell(row, col, format, align, ictString, TVariant(CodePageText(AvailableBytes(r, 8, r.U8(7)))));
      break;
    case 0x0005:  // BOOLERR
      if (r.U8(8) == 0)
        ReportCell(row, col, format, align, ictBoolean, TVariant(r.U8(7) != 0));
      else
        ReportCell(row, col, format, align, ictUnknown, TVariant(ErrorCodeText(r.U8(7))));
      break;
  }
}

void TMSExcel::ReadNumber(const TByteReader& r) {
  const int32_t xf = r.U16(4);
  ReportNumber(r.U16(0), r.U16(2), ModelFormat(xf), XFAlignment(xf), TVariant(r.F64(6)), true);
}

void TMSExcel::ReadRK(const TByteReader& r) {
  const int32_t xf = r.U16(4);
  ReportNumber(r.U16(0), r.U16(2), ModelFormat(xf), XFAlignment(xf), TVariant(RKToDouble(r.U32(6))), true);
}

void TMSExcel::ReadMulRK(const TByteReader& r) {
  const int32_t row = r.U16(0), col = r.U16(2);
  if (r.Size() < 6) r.Need(0, 6);
  size_t n = (r.Size() - 6) / 6;
  for (size_t i = 0; i < n; ++i) {
    const int32_t xf = r.U16(4 + 6 * i);
    ReportNumber(row, col + int32_t(i), ModelFormat(xf), XFAlignment(xf), TVariant(RKToDouble(r.U32(6 + 6 * i))),
                 true);
  }
}

void TMSExcel::ReadMulBlank(const TByteReader& r) {
  if (!LoadNULLs) return;
  const int32_t row = r.U16(0), col = r.U16(2);
  if (r.Size() < 6) r.Need(0, 6);
  size_t n = (r.Size() - 6) / 2;
  for (size_t i = 0; i < n; ++i) {
    int32_t xf = r.U16(4 + 2 * i);
    ReportCell(row, col + int32_t(i), ModelFormat(xf), XFAlignment(xf), ictEmpty, TVariant::Null());
  }
}

// A label whose text is shorter than its length says keeps the text that is there.
void TMSExcel::ReadLabel(const TByteReader& r) {
  const int32_t row = r.U16(0), col = r.U16(2), xf = r.U16(4);
  if (FBiff >= 8) {
    const size_t len = r.U16(6);
    const uint8_t flags = r.Fits(8, 1) ? r.U8(8) : 0;
    const size_t at = 9 + ((flags & 0x08) ? 2 : 0) + ((flags & 0x04) ? 4 : 0);
    const size_t width = (flags & 1) ? 2 : 1;
    const size_t avail = r.Size() > at ? (r.Size() - at) / width : 0;
    ReportCell(row, col, ModelFormat(xf), XFAlignment(xf), ictString,
               TVariant(UnicodeText(r, std::min(at, r.Size()), std::min(len, avail) * width, flags & 1)));
  } else {
    ReportCell(row, col, ModelFormat(xf), XFAlignment(xf), ictString,
               TVariant(CodePageText(AvailableBytes(r, 8, r.U16(6)))));
  }
}

void TMSExcel::ReadLabelSST(const TByteReader& r) {
  const int32_t row = r.U16(0), col = r.U16(2), xf = r.U16(4);
  uint32_t index = r.U32(6);
  // Beyond a damaged table the text is lost, not the workbook.
  if (index >= SharedStrings.size()) {
    ReportCell(row, col, ModelFormat(xf), XFAlignment(xf), ictString, TVariant(std::string()));
    return;
  }
  // The cell refers to the table's copy (line feeds were expanded there).
  const TSheetGrid& grid = FBiff >= 8 ? Biff8Grid : Biff2to7Grid;
  if (!grid.Contains(row, col)) throw EQXIExcelException(RecordDescription() + ": " + grid.Outside(row, col) + ".");
  DeliverSharedText(SheetIndex, row, col, ModelFormat(xf), XFAlignment(xf), ictString, SharedStrings[index]);
  NoteCell(row, col);
}

void TMSExcel::ReadBoolErr(const TByteReader& r) {
  const int32_t row = r.U16(0), col = r.U16(2), xf = r.U16(4);
  if (r.U8(7) == 0)
    ReportCell(row, col, ModelFormat(xf), XFAlignment(xf), ictBoolean, TVariant(r.U8(6) != 0));
  else
    ReportCell(row, col, ModelFormat(xf), XFAlignment(xf), ictUnknown, TVariant(ErrorCodeText(r.U8(6))));
}

void TMSExcel::ReadFormula(const TByteReader& r) {
  const int32_t row = r.U16(0), col = r.U16(2);
  const bool biff2 = FBiff == 2 || (FBiff == 0 && Version < evExcel3);
  const size_t res = biff2 ? 7 : 6;
  // BIFF2 carries the number format itself, the later generations an XF.
  int32_t format = 0;
  TAlignment align = taLeftJustify;
  if (biff2) Biff2CellLook(r, format, align);
  else format = ModelFormat(r.U16(4)), align = XFAlignment(r.U16(4));
  r.Need(res, 8);
  if (r.U8(res + 6) == 0xFF && r.U8(res + 7) == 0xFF) {
    switch (r.U8(res)) {
      case 0:  // text: the STRING record that follows carries it
        FPendingString = true;
        FPendingRow = row;
        FPendingCol = col;
        FPendingFormat = format;
        FPendingAlign = align;
        break;
      case 1:
        ReportCell(row, col, format, align, ictBoolean, TVariant(r.U8(res + 2) == 1));
        break;
      case 2:
        ReportCell(row, col, format, align, ictUnknown, TVariant(ErrorCodeText(r.U8(res + 2))));
        break;
      default:  // empty result
        break;
    }
    return;
  }
  // Formula results are published unscaled; the cell still keeps its percent format.
  ReportNumber(row, col, format, align, TVariant(r.F64(res)), false);
}

// The text result of the formula just read.
void TMSExcel::ReadString(const TByteReader& r) {
  if (!FPendingString) return;
  FPendingString = false;
  TVariant text;
  if (RecordHeader.RecNo == 0x0007) {
    text = TVariant(CodePageText(r.Bytes(1, r.U8(0))));
  } else if (FBiff >= 8) {
    // A long result runs on into CONTINUE records, like any BIFF8 string.
    const size_t chars = r.U16(0);
    const uint8_t flags = r.U8(2);
    size_t len = RecordHeader.RecLen, p = 3 + ((flags & 0x08) ? 2 : 0) + ((flags & 0x04) ? 4 : 0);
    bool chainEnds = false;
    text = TVariant(ReadContinuedChars(len, p, flags, chars, chainEnds));
  } else {
    text = TVariant(CodePageText(r.Bytes(2, r.U16(0))));
  }
  ReportCell(FPendingRow, FPendingCol, FPendingFormat, FPendingAlign, ictString, std::move(text));
}

void TMSExcel::ReadSharedFormula(const TByteReader& r) {
  TXLSSharedFormula f;
  f.SheetNo = SheetIndex;
  f.FirstRow = r.U16(0);
  f.LastRow = r.U16(2);
  f.FirstCol = r.U8(4);
  f.LastCol = r.U8(5);
  f.TokenLength = r.U16(8);
  std::string tokens = r.Bytes(10, std::min<size_t>(f.TokenLength, r.Size() > 10 ? r.Size() - 10 : 0));
  f.Tokens.assign(tokens.begin(), tokens.end());
  SharedFormulas.push_back(std::move(f));
}

void TMSExcel::ReadDimensions(const TByteReader& r) {
  int32_t firstRow, lastRow, firstCol, lastCol;
  if (FBiff >= 8) {
    firstRow = int32_t(std::min<uint32_t>(r.U32(0), INT32_MAX));
    lastRow = int32_t(std::min<uint32_t>(r.U32(4), INT32_MAX));
    firstCol = r.U16(8);
    lastCol = r.U16(10);
  } else {
    // The stored last row and column are already one past the last cell.
    firstRow = 0;
    firstCol = 0;
    lastRow = r.U16(2);
    lastCol = r.U16(6);
  }
  // A sheet holds at most 65536 rows and 256 columns; larger claims are not believed.
  lastRow = std::min(lastRow, 65536);
  lastCol = std::min(lastCol, 256);
  DimensionsSeen = true;
  DimLastRow = lastRow;
  DimLastColumn = lastCol;
  if (OnDimensions) OnDimensions(this, SheetIndex, firstRow, lastRow, firstCol, lastCol);
}

// Widths in 1/256 of a character in every generation; COLINFO also hides.
void TMSExcel::ReadColumnWidths(const TByteReader& r) {
  if (RecordHeader.RecNo == 0x0024) {
    if (!OnColumnWidth) return;
    int32_t first = r.U8(0), last = r.U8(1), width = r.U16(2);
    for (int32_t c = first; c <= last; ++c) OnColumnWidth(this, SheetIndex, c, width);
    return;
  }
  int32_t first = r.U16(0), last = r.U16(2), width = r.U16(4);
  const bool hidden = r.Fits(8, 2) && (r.U16(8) & 1);
  // A sheet has at most 256 columns in BIFF; ranges reaching beyond (whole-row
  // defaults) must not grow the width list to 65536 entries.
  last = std::min(last, 255);
  for (int32_t c = first; c <= last; ++c) {
    if (OnColumnWidth) OnColumnWidth(this, SheetIndex, c, width);
    if (hidden) HideColumn(std::max(SheetIndex, 0), c);
  }
}

void TMSExcel::ReadRow(const TByteReader& r) {
  if (OnRowHeight) OnRowHeight(this, SheetIndex, r.U16(0), r.U16(6));
}
