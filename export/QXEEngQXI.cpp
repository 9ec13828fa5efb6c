#include "QXEEngQXI.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>

#include "SysUtils.h"

namespace {

// Built-in 9 ("0%") for a whole percentage, 10 ("0.00%") otherwise. The
// product's last-bit noise (0.07 × 100 is 7.000000000000001) is no decimal.
int32_t PercentNumberFormat(double fraction) {
  const double percent = fraction * 100;
  if (!std::isfinite(percent)) return 10;
  return std::fabs(percent - std::round(percent)) <= 1e-9 * std::max(1.0, std::fabs(percent)) ? 9 : 10;
}

// The error values a spreadsheet cell can hold.
bool IsErrorValue(std::string_view text) {
  static constexpr std::string_view codes[] = {"#NULL!", "#DIV/0!", "#VALUE!", "#REF!",
                                               "#NAME?", "#NUM!",   "#N/A",    "#GETTING_DATA"};
  for (auto c : codes)
    if (text == c) return true;
  return false;
}

bool IsErrorValue(const TQXICell& c) {
  if (c.CellType() != ictUnknown) return false;
  if (c.ValueType() == TVarType::String) return IsErrorValue(c.StringValue());
  if (c.ValueType() == TVarType::WideString) {
    const std::u16string& w = c.WideValue();
    if (w.size() > 14) return false;
    return IsErrorValue(std::string(w.begin(), w.end()));
  }
  return false;
}

// The format a typed cell is written with: the source's code, or, for a
// date, time or percentage the source showed with General (a value type
// told it), a built-in one that shows it.
void SetFormatCode(const TQXICell& c, const TNumberFormats& formats, TQXECellValue& cell) {
  const int32_t f = c.FormatIndex();
  cell.FormatCode = formats.Code(f);
  cell.BuiltInFormat = formats.BuiltIn(f);
  const TNumberFormatKind kind = formats.Kind(f);
  const bool dateType = cell.CellType == ctDateTime || cell.CellType == ctDate || cell.CellType == ctTime;
  if (dateType && !IsDateTimeKind(kind) && kind == nfGeneral) {
    const double v = c.NumberValue();
    if (cell.CellType == ctDate || v == std::trunc(v)) cell.BuiltInFormat = 14;
    else if (cell.CellType == ctTime || (v > 0 && v < 1)) cell.BuiltInFormat = 21;
    else cell.BuiltInFormat = 22;
    // Seconds are kept: "m/d/yy h:mm" would drop them.
    if (cell.BuiltInFormat == 22 && std::fabs(v * 1440 - std::round(v * 1440)) > 1e-6) {
      cell.FormatCode = "m/d/yy h:mm:ss";
      cell.BuiltInFormat = -1;
    } else {
      cell.FormatCode = BuiltInNumberFormat(cell.BuiltInFormat);
    }
  } else if (cell.PercentFraction && kind != nfPercent) {
    cell.BuiltInFormat = cell.NumberFormat;
    cell.FormatCode = BuiltInNumberFormat(cell.NumberFormat);
  }
}

}  // namespace

void TQXESpreadsheetDataEngine::SetSpreadSheet(const TSpreadSheet* sheet) {
  FSheet = sheet;
  FTexts.reset();
  FAlive = sheet ? sheet->AliveToken() : std::weak_ptr<const void>();
}

int32_t TQXESpreadsheetDataEngine::ColumnWidthChars(const std::vector<int32_t>& widths, int32_t column) {
  int32_t w = column >= 0 && size_t(column) < widths.size() ? widths[size_t(column)] : 0;
  if (w >= 256) w >>= 8;
  if (w < 1) return 5;
  if (w > 255) return 10;
  return w;
}

void TQXESpreadsheetDataEngine::FillColumns(TQXEColumns& columns, TQXEColumnBands& bands, bool rightToLeft) {
  TQXECustomDataEngine::FillColumns(columns, bands, rightToLeft);
  const TSpreadSheet* sheet = SpreadSheet();
  if (!sheet || sheet->Cells.Count() == 0) return;
  const TSpreadSheetCells& cells = sheet->Cells;
  const TSpreadSheetCols* row0 = cells.RowCells(0);
  // Declared columns beyond the used ones count only up to the writer's grid.
  int32_t n = std::max(cells.ColCount, std::min(cells.DimColCount - 1, MaxColumnCount));
  n = std::max(n, 1);
  for (int32_t k = 0; k < n; ++k) {
    const int32_t j = rightToLeft ? n - 1 - k : k;
    TQXEColumn* c = columns.Add();
    c->FieldName = "Field" + std::to_string(j);
    c->Width = ColumnWidthChars(sheet->ColumnWidths, j);
    c->SourceWidth = size_t(j) < sheet->ColumnWidths.size() ? std::max(sheet->ColumnWidths[size_t(j)], 0) : 0;
    if (c->SourceWidth == 0) c->SourceWidth = sheet->DefaultColumnWidth;  // the sheet's own default
    c->SourceHidden = sheet->ColumnHidden(j);
    const TQXICell* title = row0 ? row0->Cell(j) : nullptr;
    if (title) {
      c->Alignment = title->Alignment();
      c->Title.Caption = VarToStr(title->Value());
    } else {
      c->Title.Caption = c->FieldName;
    }
    c->Visible = true;
    c->Title.Alignment = c->Alignment;
  }
}

void TQXESpreadsheetDataEngine::SetCellValues(TCellValues values) {
  FValues = values;
  FTexts.reset();
}

TCellTexts* TQXESpreadsheetDataEngine::Texts() {
  const TSpreadSheet* sheet = SpreadSheet();
  if (FValues == cvAuto || !sheet) return nullptr;
  if (!FTexts) FTexts = std::make_unique<TCellTexts>(sheet->Formats(), FValues);
  return FTexts.get();
}

int32_t TQXESpreadsheetDataEngine::GetRecordCount() {
  const TSpreadSheet* sheet = SpreadSheet();
  if (!sheet) return 0;
  const TSpreadSheetCells& cells = sheet->Cells;
  return std::max(cells.RowCount, std::min(cells.DimRowCount, MaxRecordCount));
}

void TQXESpreadsheetDataEngine::First() { FRecNo = 0; }
void TQXESpreadsheetDataEngine::Next() { ++FRecNo; }
bool TQXESpreadsheetDataEngine::Eof() { return FRecNo >= GetRecordCount(); }

int32_t TQXESpreadsheetDataEngine::FieldColumn(const std::string& fieldName) {
  if (fieldName.compare(0, 5, "Field") != 0) return -1;
  // Asked for every cell: plain digits are read here, anything else the long way.
  if (fieldName.size() > 5 && fieldName.size() <= 14) {
    int64_t j = 0;
    size_t i = 5;
    while (i < fieldName.size() && fieldName[i] >= '0' && fieldName[i] <= '9') j = j * 10 + (fieldName[i++] - '0');
    if (i == fieldName.size()) return j <= INT32_MAX ? int32_t(j) : 0;
  }
  int32_t j = 0;
  return TryStrToInt(fieldName.substr(5), j) && j >= 0 ? j : 0;
}

const TQXICell* TQXESpreadsheetDataEngine::CellAt(const TQXEColumn& column) const {
  const TSpreadSheet* sheet = SpreadSheet();
  if (!sheet) return nullptr;
  return sheet->Cells.GetCell(FieldColumn(column.FieldName), FRecNo);
}

void TQXESpreadsheetDataEngine::GetValue(TQXEColumn& column, TVariant& value) {
  if (FieldColumn(column.FieldName) < 0) {
    value = TVariant(column.FieldName);
    return;
  }
  const TQXICell* cell = CellAt(column);
  value = cell ? cell->Value() : TVariant::Null();
}

// How one stored cell reaches a writer: its export type, its number format
// and (when withValue) its value.
void TQXESpreadsheetDataEngine::TypeCell(const TQXICell& c, const TNumberFormats& formats, TQXECellValue& cell,
                                         bool withValue) {
  if (withValue) cell.Value = c.Value();
  const TVarType vt = c.ValueType();
  if (vt == TVarType::String || vt == TVarType::WideString) {
    cell.CellType = c.CellType() == ictMemo ? ctMEMO : ctString;
    cell.TextKey = c.TextIdentity();
    cell.Error = IsErrorValue(c);
  } else if (vt == TVarType::Boolean) {
    cell.CellType = ctBoolean;
  } else {
    switch (c.CellType()) {
      case ictDateTime: cell.CellType = ctDateTime; break;
      case ictDate: cell.CellType = ctDate; break;
      case ictTime: cell.CellType = ctTime; break;
      case ictBoolean: cell.CellType = ctBoolean; break;
      case ictInteger: cell.CellType = ctInteger; break;
      default:
        // Decimals, and numbers a reader did not type: a date-time value keeps
        // its kind. General shows every digit a fixed "0.00" would drop.
        if (vt == TVarType::DateTime) {
          cell.CellType = ctDateTime;
        } else {
          cell.CellType = ctDouble;
          cell.NumberFormat = 0;
          if (c.PercentFormatted()) {
            cell.PercentFraction = true;
            cell.Fraction = c.StoredNumber();
            cell.NumberFormat = PercentNumberFormat(cell.Fraction);
          }
        }
        break;
    }
    // A date-time at midnight is shown as a date (readers type both alike).
    if (cell.CellType == ctDateTime && c.NumberValue() == std::trunc(c.NumberValue())) cell.NumberFormat = 14;
  }
  SetFormatCode(c, formats, cell);
}

void TQXESpreadsheetDataEngine::GetCellValue(TQXEColumn& column, bool blankIfZero, TQXECellValue& cell) {
  cell.NumberFormat = -1;
  cell.PercentFraction = false;
  cell.FormatCode = std::string_view();
  cell.BuiltInFormat = -1;
  cell.Error = false;
  cell.TextKey = nullptr;
  cell.HasText = false;
  cell.Repeated = false;
  if (FieldColumn(column.FieldName) < 0) {
    cell.Value = TVariant(column.FieldName);
    cell.ValueKey = nullptr;
    cell.CellType = ctString;
    return;
  }
  const TQXICell* c = CellAt(column);
  const TSpreadSheet* sheet = SpreadSheet();
  if (!c) {
    cell.Value = TVariant::Null();
    cell.ValueKey = nullptr;
    cell.CellType = ctBlank;
    return;
  }
  const void* identity = c->TextIdentity();
  const bool again = identity && identity == cell.ValueKey;
  TypeCell(*c, SpreadSheet()->Formats(), cell, !again);
  cell.ValueKey = identity;
  if (TCellTexts* texts = Texts()) {
    if (again && cell.TextFormatIndex == c->FormatIndex()) {
      cell.Repeated = true;
    } else {
      // The source's own width (1/256 of a character), where it gives one.
      const int32_t j = FieldColumn(column.FieldName);
      const int32_t stored = size_t(j) < sheet->ColumnWidths.size() ? sheet->ColumnWidths[size_t(j)] : 0;
      cell.Text.assign(texts->Text(c, FScratch, stored >= 256 ? std::min(stored >> 8, 255) : 0));
      cell.TextFormatIndex = identity ? c->FormatIndex() : -1;
    }
    cell.HasText = true;
  } else {
    cell.TextFormatIndex = -1;
    cell.Repeated = again;
  }
  const TVarType vt = c->ValueType();
  const bool number = vt != TVarType::String && vt != TVarType::WideString && vt != TVarType::Boolean;
  if (blankIfZero && number && c->NumberValue() == 0) cell.CellType = ctBlank;
}

void TQXESpreadsheetDataEngine::ForEachFormatCode(const std::vector<TQXEColumn*>& columns,
                                                  const std::function<void(std::string_view, int32_t)>& visit) {
  const TSpreadSheet* sheet = SpreadSheet();
  if (!sheet) return;
  std::vector<int32_t> wanted;
  for (TQXEColumn* c : columns)
    if (c->ColumnKind == ckField && FieldColumn(c->FieldName) >= 0) wanted.push_back(FieldColumn(c->FieldName));
  const TSpreadSheetCells& cells = sheet->Cells;
  const TNumberFormats& formats = sheet->Formats();
  const int32_t rows = std::min(cells.Count(), GetRecordCount());
  // Each format once (a fallback code too), not once per cell.
  std::vector<bool> seen(size_t(formats.Count()), false);
  std::unordered_set<std::string_view> seenCodes;
  TQXECellValue cell;
  for (int32_t r = 0; r < rows; ++r) {
    const TSpreadSheetCols* row = cells.RowCells(r);
    if (!row) continue;
    for (int32_t j : wanted) {
      const TQXICell* c = row->Cell(j);
      if (!c) continue;
      const int32_t f = c->FormatIndex();
      if (f >= 0 && f < formats.Count() && seen[size_t(f)] && formats.Kind(f) != nfGeneral) continue;
      cell = TQXECellValue();
      TypeCell(*c, formats, cell, false);
      if (f >= 0 && f < formats.Count() && cell.FormatCode == formats.Code(f)) seen[size_t(f)] = true;
      if (seenCodes.insert(cell.FormatCode).second) visit(cell.FormatCode, cell.BuiltInFormat);
    }
  }
}

void TQXESpreadsheetDataEngine::ForEachText(const std::vector<TQXEColumn*>& columns,
                                            const std::function<void(const TVariant&)>& visit,
                                            const std::function<bool()>& stop) {
  const TSpreadSheet* sheet = SpreadSheet();
  if (!sheet) return;
  std::vector<bool> wanted;
  for (TQXEColumn* c : columns) {
    const int32_t j = c->ColumnKind == ckField ? FieldColumn(c->FieldName) : -1;
    if (j < 0) continue;
    if (size_t(j) >= wanted.size()) wanted.resize(size_t(j) + 1);
    wanted[size_t(j)] = true;
  }
  // Numbers shown through a code with letters beyond ASCII (currency signs,
  // month names, East Asian dates) are texts the fonts must hold too.
  TCellTexts* texts = Texts();
  std::vector<int8_t> wide;  // by format index: -1 unknown, 0 no, 1 yes
  auto ShowsNonAscii = [&](const TQXICell& c) {
    if (!texts || texts->Values() != cvDisplayed) return false;
    const int32_t f = c.FormatIndex();
    if (f <= 0) return false;
    if (size_t(f) >= wide.size()) wide.resize(size_t(f) + 1, -1);
    if (wide[size_t(f)] < 0) {
      const std::string& code = sheet->Formats().Code(f);
      wide[size_t(f)] = IsDateTimeKind(sheet->Formats().Kind(f)) ||
                        std::any_of(code.begin(), code.end(), [](char ch) { return uint8_t(ch) >= 0x80; });
    }
    return wide[size_t(f)] == 1;
  };
  const TSpreadSheetCells& cells = sheet->Cells;
  const int32_t rows = std::min(cells.Count(), GetRecordCount());
  std::unordered_set<const void*> seen;  // a shared text is visited once
  for (int32_t r = 0; r < rows; ++r) {
    if ((r & 255) == 0 && stop && stop()) return;
    const TSpreadSheetCols* row = cells.RowCells(r);
    if (!row) continue;
    row->ForEachCell([&](int32_t j, const TQXICell& c) {
      if (size_t(j) >= wanted.size() || !wanted[size_t(j)]) return;
      const TVarType vt = c.ValueType();
      if (vt == TVarType::String || vt == TVarType::WideString) {
        if (seen.insert(c.TextIdentity()).second) visit(c.Value());
      } else if (texts && ShowsNonAscii(c)) {
        visit(TVariant(std::string(texts->Text(&c, FScratch))));
      }
    });
  }
  FRecNo = rows;
}

const std::vector<int32_t>& TQXESpreadsheetDataEngine::PositionsOf(const TQXEColumns& columns) {
  if (FMapped == &columns && FMappedCount == columns.Count()) return FPositionOf;
  FMapped = &columns;
  FMappedCount = columns.Count();
  FPositionOf.clear();
  FEveryColumnOneCell = true;
  int32_t position = 0;
  for (const auto& c : columns) {
    const int32_t j = c->ColumnKind == ckField ? FieldColumn(c->FieldName) : -1;
    // A constant gives a value in every row, and a cell read by two columns
    // is written twice: such columns need the whole row.
    if (j < 0) {
      FEveryColumnOneCell = false;
    } else {
      if (size_t(j) >= FPositionOf.size()) FPositionOf.resize(size_t(j) + 1, -1);
      if (FPositionOf[size_t(j)] >= 0) FEveryColumnOneCell = false;
      else FPositionOf[size_t(j)] = position;
    }
    ++position;
  }
  return FPositionOf;
}

bool TQXESpreadsheetDataEngine::StoredColumns(const TQXEColumns& columns, std::vector<int32_t>& positions) {
  positions.clear();
  const TSpreadSheet* sheet = SpreadSheet();
  if (!sheet) return false;
  const std::vector<int32_t>& positionOf = PositionsOf(columns);
  if (!FEveryColumnOneCell) return false;
  const TSpreadSheetCols* row = sheet->Cells.RowCells(FRecNo);
  if (!row) return true;
  row->ForEachCell([&](int32_t j, const TQXICell&) {
    if (size_t(j) < positionOf.size() && positionOf[size_t(j)] >= 0) positions.push_back(positionOf[size_t(j)]);
  });
  if (!std::is_sorted(positions.begin(), positions.end())) std::sort(positions.begin(), positions.end());
  return true;
}
