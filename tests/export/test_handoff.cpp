// The hand-off of destination format 4: one engine and one component per
// sheet, and a failed or stopped export reaching the caller as an error
// with nothing written.
#include <gtest/gtest.h>

#include <filesystem>

#include "ConversionFrontEnd.h"
#include "ExportHandOff.h"
#include "ExportTestSupport.h"
#include "FakeUi.h"
#include "TempDir.h"

namespace fs = std::filesystem;

namespace {

bool IsBiffSheet(const std::string& path) {
  const std::string data = ReadFileText(path);
  return data.size() >= 8 && data.compare(0, 2, "\x09\x04", 2) == 0 && data.compare(data.size() - 4, 4, "\x0A\0\0\0", 4) == 0;
}

TEST(HandOff, EverySheetWithCellsGetsItsOwnFile) {
  TTempDir tmp;
  TFakeUi ui;
  TSpreadSheets sheets;
  FillSheet(sheets.GetSheet(0), {{"a", int64_t(1)}});
  sheets.GetSheet(1);  // empty: left out
  FillSheet(sheets.GetSheet(2), {{"c"}});
  TSpreadsheetConversion::WriteWorkbook(sheets, tmp / "book.xls", 4);
  EXPECT_TRUE(IsBiffSheet(tmp / "book.xls"));
  EXPECT_FALSE(fs::exists(tmp / "book1.xls"));
  EXPECT_TRUE(IsBiffSheet(tmp / "book2.xls"));
  EXPECT_TRUE(ui.Messages.empty());  // no message box in a batch run

  // A workbook without sheets still gives its one (empty) sheet.
  TSpreadSheets none;
  TSpreadsheetConversion::WriteWorkbook(none, tmp / "none.xls", 4);
  EXPECT_TRUE(IsBiffSheet(tmp / "none.xls"));
}

TEST(HandOff, AFailedSheetRaisesWithItsNameAndLeavesNoFile) {
  TTempDir tmp;
  TFakeUi ui;
  // Beyond a worksheet's 16,384 rows the sheet goes out as an Excel
  // 97-2003 workbook; beyond that one's 65,536 it fails.
  TSpreadSheet big;
  big.Caption = u"Big";
  FillSheet(big, std::vector<std::vector<TVariant>>(65537, {int64_t(1)}));
  std::ofstream(tmp / "big.xls") << "older";
  try {
    ExportXLS(tmp / "big.xls", big);
    FAIL() << "no error";
  } catch (const EQXEExportCanceled&) {
    FAIL() << "a failure is not a cancel";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Sheet \"Big\": MS Excel spreadsheet can not contain more than 65536 rows");
  }
  EXPECT_EQ(ReadFileText(tmp / "big.xls"), "older");
  size_t files = 0;
  for ([[maybe_unused]] auto& e : fs::directory_iterator(tmp.Dir())) ++files;
  EXPECT_EQ(files, 1u);
}

TEST(HandOff, AStopFromOutsideCancels) {
  TTempDir tmp;
  TSpreadSheet sheet;
  FillSheet(sheet, std::vector<std::vector<TVariant>>(100, {"x"}));
  int rows = 0;
  EXPECT_THROW(ExportXLS(tmp / "s.xls", sheet, [&] { return ++rows > 10; }), EQXEExportCanceled);
  EXPECT_FALSE(fs::exists(tmp / "s.xls"));
  try {
    ExportXLS(tmp / "s.xls", sheet, [] { return true; });
  } catch (const EQXEExportCanceled& e) {
    EXPECT_EQ(e.Message(), "Data export was canceled by user.");
  }
  ExportXLS(tmp / "s.xls", sheet, [] { return false; });
  EXPECT_TRUE(IsBiffSheet(tmp / "s.xls"));
}

TEST(HandOff, TheBatchWritesXlsForIndexFour) {
  TTempDir tmp;
  TFakeUi ui;
  const fs::path book = fs::path(VARNOWE_CORPUS_DIR) / "xls" / "sjs_1900.xls";
  if (!fs::exists(book)) GTEST_SKIP() << "no corpus file " << book;
  fs::create_directories(tmp / "src");
  fs::copy_file(book, tmp / "src/a.xls");
  TSpreadsheetBatch batch;
  batch.Settings.edSourceName = tmp / "src";
  batch.Settings.edDestinationName = tmp / "out";
  batch.Settings.rgDestination = 4;
  batch.BuildCandidateList();
  batch.BuildWorkList();
  ASSERT_EQ(batch.WorkItems().size(), 1u);
  EXPECT_EQ(batch.WorkItems()[0].Destination, tmp / "out/a.xls");
  batch.ExecuteConversion();
  EXPECT_EQ(batch.WorkItems()[0].Status, TItemState::Finished);
  EXPECT_TRUE(IsBiffSheet(tmp / "out/a.xls"));
}

}  // namespace
