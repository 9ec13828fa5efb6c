// The workbook's cell memory budget: what storing charges, that the charge
// tracks what the cells really take, and that the reader base lets the
// budget end a load where other storing errors only drop a cell.
#include <gtest/gtest.h>

#include "QXCells.h"

namespace {

// Reports cells through the model's handlers, as a reader does.
class TFakeReader : public TSpreadSheetFile {
 public:
  void Begin() { ResetData(); }
  void Cell(int32_t sheet, int32_t row, int32_t col, TVariant v) {
    OnCellValue(this, sheet, row, col, 0, v, taLeftJustify, ictDecimal);
  }
};

}  // namespace

TEST(CellBudget, ChargesFollowWhatTheCellsTake) {
  TSpreadSheets sheets;
  TSpreadSheetCells& cells = sheets.GetSheet(0).Cells;
  for (int32_t r = 0; r < 10000; ++r)
    for (int32_t c = 0; c < 10; ++c) cells.SetCell(c, r, ictDecimal, 0, taLeftJustify, TVariant(double(r)));
  const int64_t numbers = sheets.MemoryBudget().Used();
  // 100,000 cells of 16 bytes, rows in pages: a few MB, not far off.
  EXPECT_GE(numbers, 100000 * 16);
  EXPECT_LE(numbers, 100000 * 64);

  // Long texts charge their characters; a repeated short text is held once.
  for (int32_t r = 0; r < 100; ++r) cells.SetCell(20, r, ictString, 0, taLeftJustify, TVariant(std::string(1000, 'x')));
  EXPECT_GE(sheets.MemoryBudget().Used() - numbers, 100 * 1000);
  const int64_t beforeRepeats = sheets.MemoryBudget().Used();
  for (int32_t i = 0; i < 5000; ++i) cells.SetCell(21, i % 100, ictString, 0, taLeftJustify, TVariant(std::string("same")));
  EXPECT_LE(sheets.MemoryBudget().Used() - beforeRepeats, 5000 * 40);

  // Sheets share the workbook's budget; clearing starts it again.
  const int64_t one = sheets.MemoryBudget().Used();
  sheets.GetSheet(1).Cells.SetCell(0, 0, ictDecimal, 0, taLeftJustify, TVariant(1.0));
  EXPECT_GT(sheets.MemoryBudget().Used(), one);
  sheets.Clear();
  EXPECT_EQ(sheets.MemoryBudget().Used(), 0);
}

TEST(CellBudget, PastTheLimitEveryStoreFailsAndTheLoadEnds) {
  TFakeReader r;
  r.MaxCellMemory = 200000;
  r.Begin();
  int32_t stored = 0;
  try {
    for (int32_t row = 0; row < 1000000; ++row, ++stored) r.Cell(0, row, 0, TVariant(1.0));
    FAIL() << "a million cells fitted in 200,000 bytes";
  } catch (const EBudgetExceeded& e) {
    EXPECT_EQ(e.Message(),
              "The workbook is too large for the memory budget: its cells need more than 195.3 KiB (setting "
              "MaxWorkbookMemory, section Options).");
  }
  EXPECT_LT(stored, 10000);
  EXPECT_THROW(r.Cell(0, 0, 5, TVariant(1.0)), EBudgetExceeded);
  // Other storing errors still only drop the cell.
  r.MaxCellMemory = 0;
  r.Begin();
  EXPECT_NO_THROW(r.Cell(0, TSpreadSheetCells::MaxRows, 0, TVariant(1.0)));
  EXPECT_EQ(r.Sheets.Count(), 1);
  EXPECT_EQ(r.Sheets[0].Cells.RowCount, 0);
}

TEST(CellBudget, TheStopIsPolledPerCell) {
  TFakeReader r;
  TCancelToken stop;
  r.CancelToken = &stop;
  r.Begin();
  r.Cell(0, 0, 0, TVariant(1.0));
  stop.Cancel();
  EXPECT_THROW(r.Cell(0, 1, 0, TVariant(1.0)), EOperationCanceled);
  EXPECT_THROW(r.DoLoadProgress(1, 2), EOperationCanceled);
  EXPECT_EQ(r.Sheets[0].Cells.RowCount, 1);
}

TEST(SheetGrid, SaysWhichCellLiesOutside) {
  constexpr TSheetGrid grid{1048576, 16384, "Open XML"};
  EXPECT_TRUE(grid.Contains(1048575, 16383));
  EXPECT_FALSE(grid.Contains(1048576, 0));
  EXPECT_FALSE(grid.Contains(0, 16384));
  EXPECT_FALSE(grid.Contains(-1, 0));
  EXPECT_EQ(grid.Outside(0, 16384), "cell XFE1 lies outside the Open XML grid of 1,048,576 rows by 16,384 columns");
  EXPECT_EQ(grid.Outside(16777215, 65535), "cell CRXP16777216 lies outside the Open XML grid of 1,048,576 rows by 16,384 columns");
}
