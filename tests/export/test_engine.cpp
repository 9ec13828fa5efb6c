// The column model and the data engines: columns and titles from a sheet,
// widths, record counts that a declared size cannot inflate, typed cell
// values, a sheet that dies before its engine, and the cell-type table.
#include <gtest/gtest.h>

#include <memory>

#include "DateTime.h"
#include "ExportTestSupport.h"
#include "QXEEngQXI.h"
#include "QXEEngine.h"

namespace {

std::vector<std::string> Names(const TQXEColumns& cols) {
  std::vector<std::string> out;
  for (const auto& c : cols) out.push_back(c->FieldName + ":" + c->Title.Caption);
  return out;
}

TEST(SpreadsheetEngine, ColumnsComeFromTheSheetWithRowZeroAsTitles) {
  TSpreadSheet sheet;
  FillSheet(sheet, {{"a", TVariant(), int64_t(3)}, {"x", "y", "z"}});
  sheet.Cells.SetCell(0, 0, ictString, 0, taCenter, TVariant("a"));
  TQXESpreadsheetDataEngine e;
  e.SetSpreadSheet(&sheet);
  TQXEColumns cols;
  TQXEColumnBands bands;
  bands.Add();
  e.FillColumns(cols, bands, false);
  EXPECT_EQ(bands.Count(), 0);
  EXPECT_EQ(Names(cols), (std::vector<std::string>{"Field0:a", "Field1:Field1", "Field2:3"}));
  EXPECT_EQ(cols[0]->Alignment, taCenter);
  EXPECT_EQ(cols[0]->Title.Alignment, taCenter);
  e.FillColumns(cols, bands, true);
  EXPECT_EQ(Names(cols), (std::vector<std::string>{"Field2:3", "Field1:Field1", "Field0:a"}));

  TSpreadSheet empty;
  e.SetSpreadSheet(&empty);
  e.FillColumns(cols, bands, false);
  EXPECT_EQ(cols.Count(), 0);
}

TEST(SpreadsheetEngine, WidthsInCharacters) {
  const std::vector<int32_t> w = {2560, 0, 70000, 9, 255 * 256 + 128};
  EXPECT_EQ(TQXESpreadsheetDataEngine::ColumnWidthChars(w, 0), 10);
  EXPECT_EQ(TQXESpreadsheetDataEngine::ColumnWidthChars(w, 1), 5);
  EXPECT_EQ(TQXESpreadsheetDataEngine::ColumnWidthChars(w, 2), 10);  // 273 characters is too wide
  EXPECT_EQ(TQXESpreadsheetDataEngine::ColumnWidthChars(w, 3), 9);   // readers that store whole characters
  EXPECT_EQ(TQXESpreadsheetDataEngine::ColumnWidthChars(w, 4), 255);
  EXPECT_EQ(TQXESpreadsheetDataEngine::ColumnWidthChars(w, 9), 5);   // never reported
}

TEST(SpreadsheetEngine, DeclaredRowsCountButCannotInflateTheWork) {
  TSpreadSheet sheet;
  FillSheet(sheet, {{"a"}, {"b"}, {"c"}, {"d"}});
  sheet.Cells.DimRowCount = 10;
  TQXESpreadsheetDataEngine e;
  e.SetSpreadSheet(&sheet);
  EXPECT_EQ(e.GetRecordCount(), 10);
  TQXEColumn col;
  col.FieldName = "Field0";
  TVariant v;
  int n = 0;
  for (e.First(); !e.Eof(); e.Next(), ++n) {
    e.GetValue(col, v);
    EXPECT_EQ(v.IsNull(), n >= 4) << n;
  }
  EXPECT_EQ(n, 10);

  // A file that declares two billion rows: only the writer's grid is walked,
  // and rows that hold data are never cut off.
  sheet.Cells.DimRowCount = 2000000000;
  sheet.Cells.DimColCount = 100000;
  e.MaxRecordCount = 16384;
  e.MaxColumnCount = 256;
  EXPECT_EQ(e.GetRecordCount(), 16384);
  e.MaxRecordCount = 2;
  EXPECT_EQ(e.GetRecordCount(), 4);
  TQXEColumns cols;
  TQXEColumnBands bands;
  e.FillColumns(cols, bands, false);
  EXPECT_EQ(cols.Count(), 256);
}

TEST(SpreadsheetEngine, ASheetThatDiesLeavesAnEmptyEngine) {
  TQXESpreadsheetDataEngine e;
  {
    auto sheet = std::make_unique<TSpreadSheet>();
    FillSheet(*sheet, {{"a"}, {"b"}});
    e.SetSpreadSheet(sheet.get());
    EXPECT_EQ(e.GetRecordCount(), 2);
  }
  EXPECT_EQ(e.SpreadSheet(), nullptr);
  EXPECT_EQ(e.GetRecordCount(), 0);
  e.First();
  EXPECT_TRUE(e.Eof());
  TQXEColumns cols;
  TQXEColumnBands bands;
  e.FillColumns(cols, bands, false);
  EXPECT_EQ(cols.Count(), 0);
}

TEST(SpreadsheetEngine, FieldNamesPickColumns) {
  TSpreadSheet sheet;
  FillSheet(sheet, {{"a", "b", "c"}});
  TQXESpreadsheetDataEngine e;
  e.SetSpreadSheet(&sheet);
  e.First();
  TQXEColumn col;
  TVariant v;
  col.FieldName = "Field2";
  e.GetValue(col, v);
  EXPECT_EQ(v, TVariant("c"));
  col.FieldName = "Fieldx";  // not a number: column 0
  e.GetValue(col, v);
  EXPECT_EQ(v, TVariant("a"));
  col.FieldName = "Total";  // another name yields itself
  e.GetValue(col, v);
  EXPECT_EQ(v, TVariant("Total"));
  col.FieldName = "field1";  // the prefix is compared with case
  e.GetValue(col, v);
  EXPECT_EQ(v, TVariant("field1"));
}

TEST(SpreadsheetEngine, EachCellKeepsItsOwnType) {
  TSpreadSheet sheet;
  TSpreadSheetCells& c = sheet.Cells;
  c.SetCell(0, 0, ictInteger, 0, taLeftJustify, TVariant(int64_t(42)));
  c.SetCell(1, 0, ictDecimal, 0, taLeftJustify, TVariant(0.1));
  c.SetCell(2, 0, ictDateTime, 0, taLeftJustify, TVariant::DateTime(45000.25));
  c.SetCell(3, 0, ictDateTime, 0, taLeftJustify, TVariant::DateTime(45000));
  c.SetCell(4, 0, ictDate, 0, taLeftJustify, TVariant(45001.0));
  c.SetCell(5, 0, ictTime, 0, taLeftJustify, TVariant(0.5));
  c.SetCell(6, 0, ictBoolean, 0, taLeftJustify, TVariant(true));
  c.SetCell(7, 0, ictString, 0, taLeftJustify, TVariant(std::u16string(u"wide")));
  c.SetCell(8, 0, ictDecimal, 0, taLeftJustify, TVariant("12"));  // a reader left a number as text
  c.SetCell(9, 0, ictUnknown, 0, taLeftJustify, TVariant(2.5));
  c.SetCell(10, 0, ictMemo, 0, taLeftJustify, TVariant("long"));
  c.SetCell(11, 0, ictDecimal, 0, taLeftJustify, TVariant(0.0));
  TQXESpreadsheetDataEngine e;
  e.SetSpreadSheet(&sheet);
  e.First();
  struct TExpect {
    TCellType Type;
    int32_t Format;
  };
  const TExpect expect[] = {{ctInteger, -1}, {ctDouble, 0},  {ctDateTime, -1}, {ctDateTime, 14},
                            {ctDate, -1},    {ctTime, -1},   {ctBoolean, -1},  {ctString, -1},
                            {ctString, -1},  {ctDouble, 0},  {ctMEMO, -1},     {ctDouble, 0},
                            {ctBlank, -1}};
  TQXEColumn col;
  TQXECellValue cell;
  for (int j = 0; j < 13; ++j) {
    col.FieldName = "Field" + std::to_string(j);
    e.GetCellValue(col, false, cell);
    EXPECT_EQ(cell.CellType, expect[j].Type) << j;
    EXPECT_EQ(cell.NumberFormat, expect[j].Format) << j;
  }
  col.FieldName = "Field0";
  e.GetCellValue(col, false, cell);
  EXPECT_EQ(cell.Value, TVariant(int64_t(42)));
  col.FieldName = "Field11";
  e.GetCellValue(col, true, cell);
  EXPECT_EQ(cell.CellType, ctBlank);
}

TEST(SpreadsheetEngine, TextsCanBeVisitedAhead) {
  TSpreadSheet sheet;
  FillSheet(sheet, {{"a", int64_t(1)}, {"b", TVariant(std::u16string(u"\u0416"))}});
  TQXESpreadsheetDataEngine e;
  e.SetSpreadSheet(&sheet);
  TQXEColumn c0, c1, c2;
  c0.FieldName = "Field0";
  c1.FieldName = "Field1";
  c2.FieldName = "Field5";
  std::vector<std::u16string> seen;
  e.ForEachText({&c0, &c1, &c2}, [&](const TVariant& v) { seen.push_back(VarToWideStr(v)); }, {});
  EXPECT_EQ(seen, (std::vector<std::u16string>{u"a", u"b", u"\u0416"}));
}

TEST(CellTypes, OfValueByFieldType) {
  EXPECT_EQ(CellTypeOfValue(ftDate, true, TVariant(45000.0)), ctDate);
  EXPECT_EQ(CellTypeOfValue(ftInteger, true, TVariant(int64_t(0))), ctBlank);
  EXPECT_EQ(CellTypeOfValue(ftInteger, false, TVariant(int64_t(0))), ctInteger);
  EXPECT_EQ(CellTypeOfValue(ftFloat, true, TVariant("0")), ctBlank);
  EXPECT_EQ(CellTypeOfValue(ftCurrency, true, TVariant::Null()), ctBlank);
  EXPECT_EQ(CellTypeOfValue(ftTime, false, TVariant()), ctTime);
  EXPECT_EQ(CellTypeOfValue(ftDateTime, false, TVariant()), ctDateTime);
  EXPECT_EQ(CellTypeOfValue(ftBoolean, true, TVariant(false)), ctBoolean);
  EXPECT_EQ(CellTypeOfValue(ftTypedBinary, false, TVariant()), ctMEMO);
  EXPECT_EQ(CellTypeOfValue(ftGraphic, false, TVariant()), ctGraphic);
  EXPECT_EQ(CellTypeOfValue(TFieldType(40), false, TVariant()), ctString);
  EXPECT_EQ(CellTypeOfValue(ftWideString, true, TVariant()), ctString);

  TQXECustomDataEngine base;
  TQXEColumn col;
  col.DataType = ctCurrency;
  EXPECT_EQ(base.GetCellType(col), ftCurrency);
  col.DataType = ctBlank;
  EXPECT_EQ(base.GetCellType(col), ftString);
  int32_t asked = 0;
  base.OnCount = [&](auto*, int32_t& n) {
    ++asked;
    n = 7;
  };
  EXPECT_EQ(base.GetRecordCount(), 7);
  EXPECT_EQ(asked, 1);
}

TEST(Columns, BandsAndAssign) {
  TQXEColumns cols;
  for (int b : {-1, 0, 0, 1, 0}) cols.Add()->BandIndex = b;
  cols[2]->Visible = false;
  EXPECT_EQ(cols.VisibleBandColumns(0, 1), 1);
  EXPECT_EQ(cols.VisibleBandColumns(1, 3), 1);
  EXPECT_EQ(cols.VisibleBandColumns(0, 9), 0);

  TQXEColumn a, b;
  a.FieldName = "F";
  a.Title.Caption = "T";
  a.Font.Size = 14;
  a.FieldObjectLooked = true;
  b.Assign(a);
  EXPECT_EQ(b.Title.Caption, "T");
  EXPECT_EQ(b.Font.Size, 14);
  EXPECT_FALSE(b.FieldObjectLooked);
  EXPECT_THROW(cols.Items(5), Exception);
}

}  // namespace
