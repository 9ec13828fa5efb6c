#include "QXEEngine.h"

#include "Exception.h"
#include "SysUtils.h"

namespace {

enum TFieldCategory { fcText, fcInteger, fcFloat, fcCurrency, fcDateTime, fcBoolean, fcMemo, fcGraphic };

TFieldCategory CategoryOf(TFieldType t) {
  switch (t) {
    case ftSmallint: case ftInteger: case ftWord: case ftAutoInc: case ftLargeint: return fcInteger;
    case ftFloat: case ftBCD: return fcFloat;
    case ftCurrency: return fcCurrency;
    case ftDate: case ftTime: case ftDateTime: return fcDateTime;
    case ftBoolean: return fcBoolean;
    case ftBlob: case ftMemo: case ftFmtMemo: case ftParadoxOle: case ftDBaseOle: case ftTypedBinary: return fcMemo;
    case ftGraphic: return fcGraphic;
    default: return fcText;
  }
}

// "compares equal to the text 0": a number 0, or a text that is "0".
bool IsZeroValue(const TVariant& v) {
  if (v.IsEmptyOrNull()) return true;
  if (v.IsNumeric() || v.Type() == TVarType::Boolean) return v.ToDouble() == 0;
  return VarToStr(v) == "0";
}

}  // namespace

TCellType CellTypeOfValue(TFieldType fieldType, bool blankIfZero, const TVariant& value) {
  TCellType result;
  switch (CategoryOf(fieldType)) {
    case fcInteger: result = ctInteger; break;
    case fcFloat: result = ctDouble; break;
    case fcCurrency: result = ctCurrency; break;
    case fcDateTime: result = fieldType == ftDate ? ctDate : fieldType == ftTime ? ctTime : ctDateTime; break;
    case fcBoolean: return ctBoolean;
    case fcMemo: return ctMEMO;
    case fcGraphic: return ctGraphic;
    default: return ctString;
  }
  if (blankIfZero && IsZeroValue(value)) return ctBlank;
  return result;
}

void TQXEColumn::Assign(const TQXEColumn& source) {
  if (&source == this) return;
  Alignment = source.Alignment;
  Color = source.Color;
  FieldName = source.FieldName;
  Font = source.Font;
  Width = source.Width;
  Precision = source.Precision;
  Visible = source.Visible;
  Title = source.Title;
  DataType = source.DataType;
  ColumnKind = source.ColumnKind;
  BandIndex = source.BandIndex;
}

template <class T>
T* TQXECollection<T>::Items(int32_t index) const {
  if (index < 0 || index >= Count()) throw Exception(Format("List index out of bounds (%d)", index));
  return FItems[size_t(index)].get();
}

template <class T>
void TQXECollection<T>::Delete(int32_t index) {
  Items(index);
  FItems.erase(FItems.begin() + index);
}

template class TQXECollection<TQXEColumn>;
template class TQXECollection<TQXEColumnBand>;
template class TQXECollection<TQXEGrouping>;

void TQXEColumns::ClearFieldObjects() {
  for (const auto& c : *this) {
    c->FieldObject = nullptr;
    c->FieldObjectLooked = false;
  }
}

int32_t TQXEColumns::VisibleBandColumns(int32_t bandIndex, int32_t start) const {
  int32_t n = 0;
  for (int32_t i = std::max(start, 0); i < Count(); ++i) {
    const TQXEColumn* c = Items(i);
    if (!c->Visible || c->BandIndex != bandIndex) break;
    ++n;
  }
  return n;
}

void TQXECustomDataEngine::BeforeExecute() {
  if (OnBeforeExecute) OnBeforeExecute(this);
}

void TQXECustomDataEngine::AfterExecute() {
  if (OnAfterExecute) OnAfterExecute(this);
}

void TQXECustomDataEngine::FillColumns(TQXEColumns& columns, TQXEColumnBands& bands, bool) {
  columns.Clear();
  bands.Clear();
  if (OnFillColumns) OnFillColumns(&columns);
}

void TQXECustomDataEngine::First() {
  if (OnFirst) OnFirst(this);
}

void TQXECustomDataEngine::Next() {
  if (OnNext) OnNext(this, Abort);
}

void TQXECustomDataEngine::GetValue(TQXEColumn&, TVariant& value) { value = TVariant::Null(); }

void TQXECustomDataEngine::GetCellParams(int32_t, int32_t, TColor&, TQXEFont&, TAlignment&) {}

int32_t TQXECustomDataEngine::GetRecordCount() {
  int32_t count = 0;
  if (OnCount) OnCount(this, count);
  return count;
}

TFieldType TQXECustomDataEngine::GetCellType(const TQXEColumn& column) {
  switch (column.DataType) {
    case ctInteger: return ftInteger;
    case ctDouble: return ftFloat;
    case ctDateTime: return ftDateTime;
    case ctDate: return ftDate;
    case ctCurrency: return ftCurrency;
    case ctTime: return ftTime;
    case ctMEMO: return ftMemo;
    case ctGraphic: return ftGraphic;
    case ctBoolean: return ftBoolean;
    default: return ftString;
  }
}

void TQXECustomDataEngine::GetCellValue(TQXEColumn& column, bool blankIfZero, TQXECellValue& cell) {
  GetValue(column, cell.Value);
  cell.ValueKey = nullptr;
  cell.Repeated = false;
  // The field type decides; a number that came as text is typed by its text.
  cell.CellType = CellTypeOfValue(GetCellType(column), blankIfZero, cell.Value);
  cell.NumberFormat = -1;
  cell.PercentFraction = false;
}

void TQXECustomDataEngine::ForEachText(const std::vector<TQXEColumn*>& columns,
                                       const std::function<void(const TVariant&)>& visit,
                                       const std::function<bool()>& stop) {
  First();
  TVariant value;
  for (int64_t n = 0; !Eof(); ++n) {
    if ((n & 255) == 0 && stop && stop()) return;
    for (TQXEColumn* c : columns) {
      if (c->ColumnKind != ckField) continue;
      GetValue(*c, value);
      if (value.IsText()) visit(value);
    }
    Next();
  }
}
