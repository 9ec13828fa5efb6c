// The workbook model: cells, rows, cell lists and sheets.
#include <gtest/gtest.h>

#include <thread>

#include "QXCells.h"

namespace {

void Put(TSpreadSheetCells& cells, int32_t col, int32_t row, const TVariant& v, TQXICellType t = ictString,
         int32_t fmt = 0, TAlignment a = taLeftJustify) {
  cells.SetCell(col, row, t, fmt, a, v);
}

TEST(QXICell, ValueKindsRoundTripAndCopiesAreIndependent) {
  const TVariant values[] = {TVariant("abc"), TVariant(u"w\u00e9"), TVariant(int64_t(1) << 40),
                             TVariant(2.5),   TVariant::DateTime(45000.25), TVariant(true)};
  for (const TVariant& v : values) {
    TQXICell c;
    c.SetValue(v);
    EXPECT_TRUE(c.Present());
    EXPECT_EQ(c.ValueType(), v.Type());
    EXPECT_EQ(c.Value(), v);
    TQXICell copy(c);
    c.SetValue(TVariant(7));
    EXPECT_EQ(copy.Value(), v) << "a copy must not follow its source";
  }
  static_assert(sizeof(TQXICell) <= 16, "cells must stay compact");
}

TEST(QXICell, AssignCopiesAllFourPropertiesAndPeeksAreSafe) {
  TQXICell a;
  a.SetValue(TVariant("x"));
  a.SetAlignment(taCenter);
  a.SetFormatIndex(14);
  a.SetCellType(ictMemo);
  TQXICell b;
  b.SetValue(TVariant(1.0));
  b.Assign(a);
  EXPECT_EQ(b.Value(), TVariant("x"));
  EXPECT_EQ(b.Alignment(), taCenter);
  EXPECT_EQ(b.FormatIndex(), 14);
  EXPECT_EQ(b.CellType(), ictMemo);
  b.Assign(b);  // self-assignment keeps the text alive
  EXPECT_EQ(b.StringValue(), "x");
  // Typed peeks on the wrong kind answer neutral values instead of crashing.
  EXPECT_EQ(b.WideValue(), u"");
  EXPECT_EQ(b.NumberValue(), 0.0);
  TQXICell moved(std::move(b));
  EXPECT_EQ(moved.StringValue(), "x");
  EXPECT_FALSE(b.Present());  // NOLINT(bugprone-use-after-move)
  TQXICell flag;
  flag.SetValue(TVariant(true));
  EXPECT_EQ(flag.NumberValue(), 1.0);
}

TEST(SpreadSheetCells, SetCellCreatesContiguousRowsAndTracksExtent) {
  TSpreadSheetCells cells;
  Put(cells, 4, 9, TVariant("x"));
  EXPECT_EQ(cells.Count(), 10);
  EXPECT_EQ(cells.RowCount, 10);
  EXPECT_EQ(cells.ColCount, 5);
  EXPECT_EQ(cells.Row(9).Cells.Count(), 5);
  EXPECT_EQ(cells.Row(9).Index(), 9);
  EXPECT_EQ(cells.Row(9).RowNo(), 9);
  EXPECT_EQ(cells.Row(3).Cells.Count(), 0);
  EXPECT_EQ(cells.Row(3).Index(), 3);
  EXPECT_EQ(cells.Row(3).Status, rsNormal);
  EXPECT_TRUE(cells.Row(3).Visible);
  EXPECT_EQ(cells.Row(9).Cells.Cell(3), nullptr);
  EXPECT_THROW(cells.Row(10), Exception);
  EXPECT_THROW(cells.Row(-1), Exception);
}

TEST(SpreadSheetCells, NullAndEmptyValuesAreNotStored) {
  TSpreadSheetCells cells;
  Put(cells, 2, 3, TVariant::Null());
  Put(cells, 2, 3, TVariant());
  Put(cells, -1, 0, TVariant("neg column"));
  EXPECT_EQ(cells.Count(), 0);
  EXPECT_EQ(cells.RowCount, 0);
  EXPECT_EQ(cells.ColCount, 0);
  Put(cells, 0, 0, TVariant(""));  // the empty text is a value
  EXPECT_EQ(cells.GetCellValue(0, 0), TVariant(""));
}

TEST(SpreadSheetCells, LaterReportWins) {
  TSpreadSheetCells cells;
  Put(cells, 1, 1, TVariant("first"), ictString, 3, taCenter);
  Put(cells, 1, 1, TVariant(42), ictInteger, 7, taRightJustify);
  const TQXICell* c = cells.GetCell(1, 1);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->Value(), TVariant(42));
  EXPECT_EQ(c->CellType(), ictInteger);
  EXPECT_EQ(c->FormatIndex(), 7);
  EXPECT_EQ(c->Alignment(), taRightJustify);
}

TEST(SpreadSheetCells, GetCellValueAnswersNullOutsideAndRefusesNegativeRow) {
  TSpreadSheetCells cells;
  Put(cells, 1, 1, TVariant(2.5), ictDecimal);
  EXPECT_EQ(cells.GetCellValue(1, 1), TVariant(2.5));
  EXPECT_TRUE(cells.GetCellValue(0, 1).IsNull());
  EXPECT_TRUE(cells.GetCellValue(5, 1).IsNull());
  EXPECT_TRUE(cells.GetCellValue(-3, 1).IsNull());
  EXPECT_TRUE(cells.GetCellValue(1, 0).IsNull());
  EXPECT_TRUE(cells.GetCellValue(1, 100).IsNull());
  try {
    cells.GetCellValue(0, -1);
    FAIL() << "negative row accepted";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (-1)");
  }
  EXPECT_EQ(cells.GetCell(0, -1), nullptr);
}

TEST(SpreadSheetCells, TrackExtentOffLeavesCountersAlone) {
  TSpreadSheetCells cells;
  cells.TrackExtent = false;
  Put(cells, 3, 3, TVariant("x"));
  EXPECT_EQ(cells.RowCount, 0);
  EXPECT_EQ(cells.ColCount, 0);
  EXPECT_EQ(cells.Count(), 4);
}

TEST(SpreadSheetCells, AbsurdAddressesAreRefusedWithoutHugeAllocation) {
  TSpreadSheetCells cells;
  EXPECT_THROW(Put(cells, 0, 2000000000, TVariant("x")), Exception);
  EXPECT_THROW(Put(cells, 70000, 0, TVariant("x")), Exception);
  EXPECT_THROW(Put(cells, 0, -5, TVariant("x")), Exception);
  EXPECT_EQ(cells.Count(), 0);
  // The last allowed row and column are fine and cheap.
  Put(cells, TSpreadSheetCells::MaxCols - 1, TSpreadSheetCells::MaxRows - 1, TVariant(1));
  EXPECT_EQ(cells.Count(), TSpreadSheetCells::MaxRows);
  EXPECT_EQ(cells.ColCount, TSpreadSheetCells::MaxCols);
  EXPECT_EQ(cells.RowCells(5), nullptr);
  EXPECT_EQ(cells.GetCellValue(TSpreadSheetCells::MaxCols - 1, TSpreadSheetCells::MaxRows - 1), TVariant(1));
}

TEST(SpreadSheetCols, SparseRowsKeepEveryCellAndTheirSlotCount) {
  TSpreadSheetCells cells;
  // Far-apart columns, out of order: the row goes sparse.
  const int32_t cols[] = {0, 60000, 5, 30000, 65535, 7};
  for (int32_t c : cols) Put(cells, c, 0, TVariant(c));
  const TSpreadSheetCols& row = cells.Row(0).Cells;
  EXPECT_EQ(row.Count(), 65536);
  for (int32_t c : cols) {
    ASSERT_NE(row.Cell(c), nullptr) << c;
    EXPECT_EQ(row.Cell(c)->Value(), TVariant(c));
  }
  int present = 0;
  for (int32_t c = 0; c < row.Count(); ++c) present += row.Cell(c) != nullptr;
  EXPECT_EQ(present, 6);
  Put(cells, 5, 0, TVariant("again"));
  EXPECT_EQ(cells.GetCellValue(5, 0), TVariant("again"));

  // Filled in from the right, a row turns dense again once it is full enough.
  for (int32_t c = 4999; c >= 0; --c) Put(cells, c, 2, TVariant(c + 1));
  EXPECT_EQ(cells.Row(2).Cells.Count(), 5000);
  for (int32_t c = 0; c < 5000; ++c) ASSERT_EQ(cells.GetCellValue(c, 2), TVariant(c + 1));

  // A dense row filled left to right stays indexable the same way.
  for (int32_t c = 0; c < 300; ++c) Put(cells, c, 1, TVariant(c * 2));
  for (int32_t c = 0; c < 300; ++c) ASSERT_EQ(cells.GetCellValue(c, 1), TVariant(c * 2));
  EXPECT_EQ(cells.Row(1).Cells.Count(), 300);
}

TEST(SpreadSheetCells, RepeatedTextsStayDistinctValues) {
  TSpreadSheetCells cells;
  for (int r = 0; r < 10000; ++r) {
    Put(cells, 0, r, TVariant("item " + std::to_string(r % 7)));
    Put(cells, 1, r, TVariant(u"w" + std::u16string(size_t(r % 3), u'\u00e9')));
    Put(cells, 2, r, TVariant(std::string(100, char('a' + r % 26))));
  }
  for (int r = 0; r < 10000; ++r) {
    ASSERT_EQ(cells.GetCell(0, r)->StringValue(), "item " + std::to_string(r % 7));
    ASSERT_EQ(cells.GetCell(1, r)->WideValue(), u"w" + std::u16string(size_t(r % 3), u'\u00e9'));
    ASSERT_EQ(cells.GetCell(2, r)->StringValue(), std::string(100, char('a' + r % 26)));
  }
  // Overwriting one shared text leaves the others untouched.
  Put(cells, 0, 0, TVariant("changed"));
  EXPECT_EQ(cells.GetCellValue(0, 7), TVariant("item 0"));
  TSpreadSheetCells moved;
  moved.SetCell(0, 0, ictString, 0, taLeftJustify, TVariant(std::string(200, 'z')));
  EXPECT_EQ(moved.GetCell(0, 0)->StringValue().size(), 200u);
}

TEST(SpreadSheetCells, DeleteRowAndClear) {
  TSpreadSheetCells cells;
  for (int r = 0; r < 5000; ++r) Put(cells, 0, r, TVariant(r));
  cells.DeleteRow(1);
  EXPECT_EQ(cells.Count(), 4999);
  EXPECT_EQ(cells.GetCellValue(0, 1), TVariant(2));
  EXPECT_EQ(cells.GetCellValue(0, 4095), TVariant(4096));  // across a page boundary
  EXPECT_EQ(cells.GetCellValue(0, 4998), TVariant(4999));
  EXPECT_EQ(cells.Row(1).Index(), 2);  // rows keep their own position fields
  EXPECT_THROW(cells.DeleteRow(4999), Exception);

  // Deleting near the top of a sheet with one far-away row stays cheap.
  TSpreadSheetCells far;
  Put(far, 0, 0, TVariant("top"));
  Put(far, 0, 1, TVariant("second"));
  Put(far, 1, TSpreadSheetCells::MaxRows - 1, TVariant("bottom"));
  far.DeleteRow(0);
  EXPECT_EQ(far.Count(), TSpreadSheetCells::MaxRows - 1);
  EXPECT_EQ(far.GetCellValue(0, 0), TVariant("second"));
  EXPECT_TRUE(far.GetCellValue(0, 1).IsNull());
  EXPECT_EQ(far.GetCellValue(1, TSpreadSheetCells::MaxRows - 2), TVariant("bottom"));
  EXPECT_EQ(far.RowCells(TSpreadSheetCells::MaxRows / 2), nullptr);
  // Reading every row, as the writers do, builds nothing for the empty stretch.
  const TSpreadSheetCells& view = far;
  int32_t cellsSeen = 0;
  for (int32_t r = 0; r < view.Count(); ++r) cellsSeen += view.Row(r).Cells.Count() > 0;
  EXPECT_EQ(cellsSeen, 2);
  EXPECT_EQ(view.Row(12345).Index(), 12345);
  EXPECT_EQ(far.RowCells(TSpreadSheetCells::MaxRows / 2), nullptr);
  cells.DimRowCount = 3;
  cells.Clear();
  EXPECT_EQ(cells.Count(), 0);
  EXPECT_EQ(cells.RowCount, 0);
  EXPECT_EQ(cells.ColCount, 0);
  EXPECT_EQ(cells.DimRowCount, 0);
  EXPECT_TRUE(cells.GetCellValue(0, 0).IsNull());
  Put(cells, 0, 0, TVariant("after clear"));
  EXPECT_EQ(cells.GetCellValue(0, 0), TVariant("after clear"));
}

TEST(SpreadSheets, AddGetDeleteClear) {
  TSpreadSheets sheets;
  EXPECT_EQ(sheets.AddSheet(), 0);
  EXPECT_EQ(sheets[0].Caption, u"Sheet1");
  TSpreadSheet& s3 = sheets.GetSheet(3);
  EXPECT_EQ(sheets.Count(), 4);
  EXPECT_EQ(sheets[1].Caption, u"Sheet2");
  EXPECT_EQ(s3.Caption, u"Sheet4");
  EXPECT_EQ(&sheets.GetSheet(-7), &sheets[0]);
  EXPECT_THROW(sheets.GetSheet(TSpreadSheets::MaxSheets), Exception);
  EXPECT_EQ(sheets.Count(), 4);
  sheets.DeleteSheet(1);
  EXPECT_EQ(sheets.Count(), 3);
  EXPECT_EQ(sheets[1].Caption, u"Sheet3");
  EXPECT_THROW(sheets.DeleteSheet(3), Exception);
  std::weak_ptr<const void> token = sheets[0].AliveToken();
  EXPECT_FALSE(token.expired());
  // Every sheet reaches its workbook's properties; a loose sheet has none.
  sheets.Properties.Title = "Q3";
  EXPECT_EQ(sheets[2].DocumentProperties().Title, "Q3");
  EXPECT_EQ(TSpreadSheet().DocumentProperties().TitleOr("/out/book.pdf"), "book");
  EXPECT_EQ(sheets[2].DocumentProperties().TitleOr("/out/book.pdf"), "Q3");
  sheets.Clear();
  EXPECT_EQ(sheets.Count(), 0);
  EXPECT_TRUE(token.expired()) << "no sheet may outlive Clear";
  EXPECT_EQ(sheets.Properties.Title, "");
}

TEST(ColumnLetters, NumbersLettersAndNameLists) {
  EXPECT_EQ(ColumnNumberToLetters(1), "A");
  EXPECT_EQ(ColumnNumberToLetters(26), "Z");
  EXPECT_EQ(ColumnNumberToLetters(27), "AA");
  EXPECT_EQ(ColumnNumberToLetters(52), "AZ");
  EXPECT_EQ(ColumnNumberToLetters(53), "BA");
  EXPECT_EQ(ColumnNumberToLetters(702), "ZZ");
  EXPECT_EQ(ColumnNumberToLetters(703), "AAA");
  EXPECT_EQ(ColumnNumberToLetters(0), "");
  EXPECT_EQ(ColumnNumberToLetters(-4), "");
  EXPECT_EQ(ColumnLettersToIndex("ab", 30), 27);
  EXPECT_EQ(ColumnLettersToIndex("AE", 30), -1);
  EXPECT_EQ(ColumnLettersToIndex("AD", 30), 29);
  EXPECT_EQ(ColumnLettersToIndex("A1", 30), -1);
  EXPECT_EQ(ColumnLettersToIndex("", 30), -1);
  EXPECT_EQ(ColumnLettersToIndex(std::string(40, 'Z'), 2147483647), -1);  // no overflow

  std::vector<std::pair<std::string, int32_t>> list;
  FillColumnNameList(list, "", 3);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[2], (std::pair<std::string, int32_t>("C", 3)));
  list.clear();
  FillColumnNameList(list, "b; c;x1;", 5);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0], (std::pair<std::string, int32_t>("b", 1)));
  EXPECT_EQ(list[1], (std::pair<std::string, int32_t>(" c", -1)));
  EXPECT_EQ(list[2].second, -1);
}

TEST(Names, EnumerationNames) {
  EXPECT_STREQ(CellTypeName(ictDecimal), "ictDecimal");
  EXPECT_STREQ(CellTypeName(ictTime), "ictTime");
  EXPECT_STREQ(CellTypeName(TQXICellType(200)), "");
  EXPECT_STREQ(AlignmentName(taRightJustify), "taRightJustify");
  EXPECT_STREQ(AlignmentName(taCenter), "taCenter");
}

}  // namespace

TEST(SharedText, CellsReferToOneCopyChargedOnceAndListenersGetTheText) {
  TSpreadSheetFile book;
  book.MaxCellMemory = 1 << 20;
  book.ResetData();
  const TSharedText big(std::string(200000, 'a'));
  const TSharedText wide(std::u16string(u"\u00E9t\u00E9"));
  for (int r = 0; r < 100; ++r) book.DeliverSharedText(0, r, 0, 0, taLeftJustify, ictString, big);
  book.DeliverSharedText(0, 0, 1, 3, taCenter, ictString, wide);
  const TSpreadSheetCells& cells = book.Sheets[0].Cells;
  EXPECT_EQ(&cells.GetCell(0, 0)->StringValue(), &cells.GetCell(0, 99)->StringValue());
  EXPECT_EQ(cells.GetCell(1, 0)->WideValue(), u"\u00E9t\u00E9");
  EXPECT_EQ(cells.GetCell(1, 0)->Alignment(), taCenter);
  EXPECT_LT(book.Sheets.MemoryBudget().Used(), 300000);
  // The copy outlives the table that made it.
  const std::string* text = &cells.GetCell(0, 5)->StringValue();
  { TSharedText gone = big; }
  EXPECT_EQ(text->size(), 200000u);

  // Another listener gets the text as a variant.
  std::vector<TVariant> heard;
  book.OnCellValue = [&](TCustomSpreadSheetFile*, int32_t, int32_t, int32_t, int32_t, TVariant& value, TAlignment,
                         TQXICellType) { heard.push_back(value); };
  book.DeliverSharedText(0, 0, 2, 0, taLeftJustify, ictString, wide);
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].AsWide(), u"\u00E9t\u00E9");
  EXPECT_EQ(cells.GetCell(2, 0), nullptr);
}

TEST(SpreadSheetCells, EmptyRowsOfTwoThreadsAreTheirOwn) {
  TSpreadSheetCells cells;
  cells.SetCell(0, 5000, ictInteger, 0, taLeftJustify, TVariant(int64_t(1)));
  const TSpreadSheetCells& c = cells;
  const TSpreadSheetRow& mine = c.Row(10);
  std::thread other([&] {
    for (int32_t i = 0; i < 4000; ++i) EXPECT_EQ(c.Row(i).Index(), i);
  });
  other.join();
  EXPECT_EQ(mine.Index(), 10);
}
