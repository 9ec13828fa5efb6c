// The notebook records of Quattro Pro 9 and later (.qpw): strings, styles,
// sheets, columns and the cell blocks that hold a column's cells.
#include <cmath>
#include <cstring>

#include "CodePage.h"
#include "QXWQ.h"
#include "QXXLS.h"
#include "SysUtils.h"

namespace {

enum : uint16_t {
  nbBOF = 0x0001,
  nbAuthors = 0x0005,
  nbStyles = 0x000A,
  nbStringTable = 0x0407,
  nbSheet = 0x0601,
  nbSheetEnd = 0x0602,
  nbColumnWidth = 0x0634,
  nbColumn = 0x0A01,
  nbColumnEnd = 0x0A02,
  nbColumnWidths = 0x0A04,
  nbCellBlock = 0x0C01,
  nbFormulaText = 0x0C02,  // the text result of a formula of the block before
  nbBlank = 0x0C70,
  nbLabel = 0x0C72,
  nbInteger = 0x0C73,
  nbNumber = 0x0C74,
  nbNumber2 = 0x0C75,
  nbFormula = 0x0C76,
  nbSheetOptions = 0x0C80,
};

// Cell-block entry kinds (the low five bits of the entry's flag byte).
enum : uint8_t {
  ckBlank = 1,
  ckWord = 2,          // 0 .. 65535
  ckNegativeWord = 3,  // the word less 65536: -65536 .. -1
  ckRK = 4,
  ckDouble = 5,
  ckString16 = 6,      // string table number, 16 bits
  ckString32 = 7,      // string table number, 32 bits
  ckFormula = 8,       // cached result (a double), 2 flag bytes, formula number
  ckError = 30,
  ckUnknown = 31,
};

size_t KindSize(uint8_t kind) {
  switch (kind) {
    case ckBlank: case ckUnknown: return 0;
    case ckWord: case ckNegativeWord: case ckString16: case ckError: return 2;
    case ckRK: case ckString32: return 4;
    case ckDouble: return 8;
    case ckFormula: return 14;
    default: return SIZE_MAX;
  }
}

}  // namespace

// A notebook string: a length word, a flag byte (bit 0: 16-bit characters),
// the characters and a terminating NUL, which the last string of a record
// may lack. next receives where the following string starts.
static std::u16string NotebookString(const TByteReader& r, size_t offset, size_t* next) {
  const size_t n = r.U16(offset);
  const bool wide = (r.U8(offset + 2) & 1) != 0;
  const size_t start = offset + 3;
  std::u16string s;
  size_t end;
  if (wide) {
    s = r.Utf16(start, n);
    end = start + 2 * n + 2;
  } else {
    r.Need(start, n);
    s = DecodeBytes(r.Data() + start, n, CP_WINDOWS_1252);
    end = start + n + 1;
  }
  if (next) *next = end;
  return s;
}

void TQuattroPro::DispatchNotebook(const TByteReader& r) {
  switch (FRecord.Opcode) {
    case nbBOF: FVersion = qvQP9; break;
    case nbAuthors: ReadAuthors(r); break;
    case nbStyles: ReadNotebookStyles(r); break;
    case nbStringTable: ReadStringTable(r); break;
    case nbSheet: ReadNotebookSheet(r); break;
    case nbSheetEnd:
    case nbSheetOptions: break;
    case nbColumnWidth:
    case nbColumnWidths:
      if (OnColumnWidth) ReadNotebookColumnWidth(r);
      break;
    case nbColumn: FCurrentColumn = r.U16(0); break;
    case nbColumnEnd: FCurrentColumn = -1; break;
    case nbCellBlock:
      if (OnCellValue) ReadCellBlock(r);
      break;
    case nbFormulaText:
      if (OnCellValue) ReadFormulaText(r);
      break;
    case nbBlank:
    case nbLabel:
    case nbInteger:
    case nbNumber:
    case nbNumber2:
    case nbFormula:
      if (OnCellValue) ReadNotebookCell(r);
      break;
    // The opcodes below 0x0100 mean other things here than in the classic
    // files, so nothing else is read as a classic record.
    default: break;
  }
}

void TQuattroPro::ReadAuthors(const TByteReader& r) {
  size_t next = 0;
  SummaryInformation.Author = WideToAnsi(NotebookString(r, 0, &next));
  if (r.Fits(next, 3)) SummaryInformation.LastAuthor = WideToAnsi(NotebookString(r, next, nullptr));
  Sheets.Properties = SummaryInformation.DocumentProperties();
}

// The count, two more words, then the strings one after another. Records
// append, so a table split over several stays in order.
void TQuattroPro::ReadStringTable(const TByteReader& r) {
  const uint32_t count = r.U32(0);
  size_t p = 12;
  for (uint32_t i = 0; i < count && p < r.Size(); ++i) {
    if (!r.Fits(p, 3))
      Damaged("string " + std::to_string(i + 1) + " at byte " + std::to_string(p) + " is cut off");
    const size_t n = r.U16(p);
    const size_t bytes = (r.U8(p + 2) & 1) ? 2 * n : n;
    if (!r.Fits(p + 3, bytes))
      Damaged("string " + std::to_string(i + 1) + " at byte " + std::to_string(p) + " claims " +
              std::to_string(bytes) + " bytes, " + std::to_string(r.Size() - p - 3) + " are there");
    FStringTable.emplace_back(NotebookString(r, p, &p));
  }
}

// A count word, a word more, then the styles at equal strides (the stride
// grew with later versions); each style's format word is its second word.
void TQuattroPro::ReadNotebookStyles(const TByteReader& r) {
  const size_t count = r.U16(0);
  if (count == 0 || r.Size() < 4) return;
  const size_t stride = (r.Size() - 4) / count;
  if (stride < 4) Damaged(std::to_string(count) + " styles do not fit in " + std::to_string(r.Size()) + " bytes");
  FStyleFormats.clear();
  for (size_t i = 0; i < count; ++i) FStyleFormats.push_back(r.U16(4 + i * stride + 2));
}

// Sheet number, first and last column words, first and last row (32 bits),
// two more words, then the name (empty: the default name).
void TQuattroPro::ReadNotebookSheet(const TByteReader& r) {
  FCurrentSheet = r.U16(0);
  FCurrentColumn = -1;
  FSheetSeen = true;
  const int32_t firstColumn = r.U16(2), lastColumn = r.U16(4);
  const uint32_t firstRow = r.U32(6), lastRow = r.U32(10);
  std::u16string name = NotebookString(r, 18, nullptr);
  CheckGrid(FCurrentSheet, 0, 0);
  if (name.empty()) name = Utf8ToUtf16(std::string(SDefaultSheetName) + std::to_string(FCurrentSheet + 1));
  if (OnSheet && FCurrentSheet >= Sheets.Count()) {
    // Sheets without a record (empty ones) are made first, so this one keeps its number.
    if (FCurrentSheet > 0) Sheets.GetSheet(FCurrentSheet - 1);
    bool skip = false;
    OnSheet(this, name, FCurrentSheet, skip);
  }
  // Empty sheets carry leftovers here, with the first column beyond the last.
  const TGrid g = Grid();
  if (!OnDimensions || lastColumn < firstColumn || lastRow < firstRow || lastRow >= g.Rows || lastColumn >= g.Cols)
    return;
  OnDimensions(this, FCurrentSheet, int32_t(firstRow), int32_t(lastRow), firstColumn, lastColumn);
}

void TQuattroPro::ReadNotebookColumnWidth(const TByteReader& r) {
  if (FRecord.Opcode == nbColumnWidths) {
    const int32_t first = r.U8(0), last = r.U8(1), width = r.U16(2);  // 1/256 of a character
    for (int32_t c = first; c <= last; ++c) OnColumnWidth(this, FCurrentSheet, c, width);
    return;
  }
  const int32_t column = r.U16(0);
  const int32_t twips = r.U16(4) & 0x7FFF;  // bit 15: set by hand
  if (column >= Grid().Cols) return;
  OnColumnWidth(this, FCurrentSheet, column, ColumnWidthFromTwips(twips));
}

TQuattroPro::TCellHead TQuattroPro::NotebookHead(int32_t row, int32_t column, int32_t style) {
  TCellHead h;
  h.Sheet = FCurrentSheet;
  h.Row = row;
  h.Column = column;
  h.Style = style;
  // Styles count from 1; 0 is the default.
  if (style > 0 && size_t(style) <= FStyleFormats.size()) h.Format = ModelFormat(2, FStyleFormats[size_t(style) - 1]);
  return h;
}

// A column's cells from row R on: entries of a flag byte (bit 7: a style
// word follows, bit 6: a repeat count follows, bit 5: the repeated values
// step from the first by the second, the low five bits the kind) and their
// values, until the block's N rows are covered.
void TQuattroPro::ReadCellBlock(const TByteReader& r) {
  const uint32_t firstRow = r.U32(0);
  const uint32_t rows = r.U32(4);
  if (FCurrentColumn < 0) Damaged("a cell block stands outside a column");
  size_t p = 8;
  uint64_t covered = 0;
  while (covered < rows && p < r.Size()) {
    const size_t entry = p;
    const uint8_t flags = r.U8(p++);
    int32_t style = 0;
    uint32_t repeat = 1;
    if (flags & 0x80) {
      style = r.U16(p);
      p += 2;
    }
    if (flags & 0x40) {
      repeat = r.U16(p);
      p += 2;
    }
    const uint8_t kind = flags & 0x1F;
    const size_t size = KindSize(kind);
    if (size == SIZE_MAX)
      Damaged("the cell-block entry at byte " + std::to_string(entry) + " has the unknown kind " + std::to_string(kind));
    // The block says how many rows it covers; a run never reaches past them.
    repeat = uint32_t(std::min<uint64_t>(repeat, rows - covered));
    const bool stepping = (flags & 0x20) && repeat > 1 && size > 0;
    const size_t need = stepping ? 2 * size : size * repeat;
    if (!r.Fits(p, need))
      Damaged("the cell-block entry at byte " + std::to_string(entry) + " needs " + std::to_string(need) +
              " bytes, " + std::to_string(r.Size() - p) + " are there");
    const uint64_t row = uint64_t(firstRow) + covered;
    covered += repeat;
    // Empty cells are only reported when asked for: runs of them are how a
    // block skips rows, and the model keeps none.
    if (kind == ckBlank && !LoadNULLs) continue;
    if (repeat > 0) CheckGrid(FCurrentSheet, row + repeat - 1, FCurrentColumn);
    const TCellHead first = NotebookHead(int32_t(row), FCurrentColumn, style);
    for (uint32_t k = 0; k < repeat; ++k) {
      TCellHead h = first;
      h.Row = int32_t(row + k);
      const size_t at = stepping ? p : p + k * size;
      switch (kind) {
        case ckBlank: Deliver(h, TVariant::Null(), taLeftJustify, ictEmpty); break;
        case ckWord:
        case ckNegativeWord: {
          const int32_t base = kind == ckWord ? 0 : -65536;
          int64_t v = int64_t(r.U16(at)) + base;
          if (stepping) v += int64_t(k) * (int64_t(r.U16(at + 2)) + base);
          DeliverNumber(h, TVariant(v), taRightJustify);
          break;
        }
        case ckRK: {
          double v = TCustomMSExcel::RKToDouble(r.U32(at));
          if (stepping) v += double(k) * TCustomMSExcel::RKToDouble(r.U32(at + 4));
          DeliverNumber(h, TVariant(v), taRightJustify);
          break;
        }
        case ckDouble: {
          double v = r.F64(at);
          if (stepping) v += double(k) * r.F64(at + 8);
          if (std::isfinite(v))
            DeliverNumber(h, TVariant(v), taRightJustify);
          else
            DeliverFormulaResult(h, r.U64(at), taRightJustify);
          break;
        }
        case ckString16:
        case ckString32: {
          int64_t index = kind == ckString16 ? r.U16(at) : r.U32(at);
          if (stepping) index += int64_t(k) * (kind == ckString16 ? r.U16(at + 2) : r.U32(at + 4));
          if (index >= 1 && index <= int64_t(FStringTable.size())) {
            CheckGrid(h.Sheet, h.Row, h.Column);
            DeliverSharedText(h.Sheet, h.Row, h.Column, h.Format, taLeftJustify, ictString,
                              FStringTable[size_t(index - 1)]);
          } else {
            Deliver(h, TVariant(std::string("#") + IntToHex(uint64_t(index) & 0xFFFFFFFFu, 8)), taLeftJustify,
                    ictString);
          }
          break;
        }
        case ckFormula: DeliverFormulaResult(h, r.U64(at), taRightJustify); break;
        case ckError:
          Deliver(h, TVariant("#ERR" + std::to_string(r.U16(at))), taLeftJustify, ictString);
          break;
        case ckUnknown: Deliver(h, TVariant(std::string("#unknown#")), taLeftJustify, ictString); break;
        default: break;
      }
    }
    p += need;
  }
}

// Column word, row (32 bits), style word, then the value.
void TQuattroPro::ReadNotebookCell(const TByteReader& r) {
  const TCellHead h = NotebookHead(int32_t(std::min<uint32_t>(r.U32(2), INT32_MAX)), r.U16(0), r.U16(6));
  switch (FRecord.Opcode) {
    case nbBlank: Deliver(h, TVariant::Null(), taLeftJustify, ictEmpty); break;
    case nbLabel: Deliver(h, TVariant(NotebookString(r, 8, nullptr)), taLeftJustify, ictString); break;
    case nbInteger: DeliverNumber(h, TVariant(int32_t(r.U16(8))), taRightJustify); break;
    case nbNumber:
    case nbNumber2:
    case nbFormula: DeliverFormulaResult(h, r.U64(8), taRightJustify); break;
    default: break;
  }
}

// Column word, row (32 bits), then the text; it replaces the error the
// formula's cached value gave.
void TQuattroPro::ReadFormulaText(const TByteReader& r) {
  TCellHead h = NotebookHead(int32_t(std::min<uint32_t>(r.U32(2), INT32_MAX)), r.U16(0), 0);
  h.Style = -1;
  Deliver(h, TVariant(NotebookString(r, 6, nullptr)), taLeftJustify, ictString);
}
