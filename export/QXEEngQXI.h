#pragma once
// The data engine over one sheet of the workbook model: the sheet's rows are
// the records, its columns the fields "Field0", "Field1", ...
#include <memory>

#include "CellTexts.h"
#include "QXCells.h"
#include "QXEEngine.h"

class TQXESpreadsheetDataEngine : public TQXECustomDataEngine {
 public:
  // The sheet is borrowed; the engine notices when it is destroyed and
  // then behaves as if it had none.
  const TSpreadSheet* SpreadSheet() const { return FAlive.expired() ? nullptr : FSheet; }
  void SetSpreadSheet(const TSpreadSheet* sheet);
  int32_t RecNo() const { return FRecNo; }
  // Data cells come with their text in this form; cvAuto (the default):
  // without, the writer formats the value itself. As displayed, a number
  // wider than its column shows as "#" marks.
  void SetCellValues(TCellValues values);

  void FillColumns(TQXEColumns& columns, TQXEColumnBands& bands, bool rightToLeft) override;
  bool Eof() override;
  void First() override;
  void Next() override;
  void GetValue(TQXEColumn& column, TVariant& value) override;
  // The larger of the declared and the used row count; declared rows beyond
  // the used ones count only up to MaxRecordCount. 0 without a sheet.
  int32_t GetRecordCount() override;
  // Each cell typed by the model: numbers, date-times, booleans, text.
  void GetCellValue(TQXEColumn& column, bool blankIfZero, TQXECellValue& cell) override;
  void ForEachText(const std::vector<TQXEColumn*>& columns, const std::function<void(const TVariant&)>& visit,
                   const std::function<bool()>& stop) override;
  void ForEachFormatCode(const std::vector<TQXEColumn*>& columns,
                         const std::function<void(std::string_view code, int32_t builtIn)>& visit) override;
  // How one stored cell reaches a writer: export type, number format (the
  // sheet's code, or one that shows a date, time or percentage the source
  // typed by value) and, with withValue, its value.
  static void TypeCell(const TQXICell& c, const TNumberFormats& formats, TQXECellValue& cell, bool withValue);
  // Visits the row's stored cells, not its width.
  bool StoredColumns(const TQXEColumns& columns, std::vector<int32_t>& positions) override;

  // The model column a "Field<n>" name reads; -1 for another name.
  static int32_t FieldColumn(const std::string& fieldName);
  // Characters of a stored column width: 1/256 of a character from 256 on,
  // whole characters below (some readers store those); 5 for none, 10
  // beyond 255 characters.
  static int32_t ColumnWidthChars(const std::vector<int32_t>& widths, int32_t column);

 private:
  const TQXICell* CellAt(const TQXEColumn& column) const;
  // Position in FMapped of each model column that has one (-1: none).
  const std::vector<int32_t>& PositionsOf(const TQXEColumns& columns);
  TCellTexts* Texts();
  const TSpreadSheet* FSheet = nullptr;
  TCellValues FValues = cvAuto;
  std::unique_ptr<TCellTexts> FTexts;  // for FSheet
  std::string FScratch;
  const TQXEColumns* FMapped = nullptr;
  int32_t FMappedCount = -1;
  std::vector<int32_t> FPositionOf;
  bool FEveryColumnOneCell = true;
  std::weak_ptr<const void> FAlive;
  int32_t FRecNo = 0;
};
