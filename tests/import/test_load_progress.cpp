// How far a load has come: every reader tells OnLoadProgress the share of
// its source consumed, within a large sheet too, every few thousand rows or
// records (not at every cell), never going back, and ends at the whole.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "QXIOO.h"
#include "QXWKS.h"
#include "QXWQ.h"
#include "QXXLS.h"
#include "QXXLSX.h"
#include "SourceBooks.h"
#include "TempDir.h"

namespace {

struct TProgressCase {
  const char* Ext;
  std::function<std::unique_ptr<TSpreadSheetFile>()> Reader;
  size_t Rows;  // within the format's grid
  int Width;
};

template <class R>
std::unique_ptr<TSpreadSheetFile> Make() {
  return std::make_unique<R>();
}

TEST(LoadProgress, EveryReaderTellsTheShareConsumedWithinALargeSheet) {
  const TProgressCase cases[] = {
      {".xls", Make<TMSExcel>, 30000, 1},
      {".xlsx", Make<TMSExcelX>, 30000, 1},
      {".xlsb", Make<TMSExcelX>, 30000, 1},
      {".ods", Make<TQXIOpenOfficeSpreadsheet>, 30000, 1},
      {".wk1", Make<TLotus123>, 8000, 4},
      {".wq1", Make<TQuattroPro>, 8000, 4},
      {".wb1", Make<TQuattroPro>, 8000, 4},
  };
  TTempDir dir;
  for (const TProgressCase& c : cases) {
    SCOPED_TRACE(c.Ext);
    const size_t rows = c.Rows;
    const std::string path = dir / (std::string("big") + c.Ext);
    testbooks::WriteBytes(path, sourcebooks::Build(c.Ext, sourcebooks::TSheets(2, std::vector<double>(rows, 1.5)), c.Width));
    const size_t sheetCount = sourcebooks::HoldsSeveralSheets(c.Ext) ? 2 : 1;
    std::vector<std::pair<int64_t, int64_t>> reports;
    auto reader = c.Reader();
    reader->OnLoadProgress = [&](TCustomSpreadSheetFile*, int64_t position, int64_t total) {
      reports.emplace_back(position, total);
    };
    reader->LoadFromFile(path);
    ASSERT_EQ(reader->Sheets[int32_t(sheetCount) - 1].Cells.RowCount, int32_t(rows));

    ASSERT_FALSE(reports.empty());
    std::vector<double> shares;
    for (auto [position, total] : reports) {
      ASSERT_GT(total, 0);
      shares.push_back(double(position) / double(total));
    }
    EXPECT_TRUE(std::is_sorted(shares.begin(), shares.end()));
    EXPECT_EQ(reports.back().first, reports.back().second);
    // Within the first sheet, not only at its end; and no report per cell.
    const auto inFirstSheet = std::count_if(shares.begin(), shares.end(),
                                            [&](double s) { return s > 0 && s < 0.95 / double(sheetCount); });
    EXPECT_GE(inFirstSheet, 3);
    EXPECT_LE(reports.size(), sheetCount * (rows * size_t(c.Width) / TSpreadSheetFile::LoadProgressStep + 3));
  }
}

// A workbook whose shared strings are most of the package: the bar moves
// while they are read, before any sheet.
TEST(LoadProgress, AnXlsxTellsItsProgressThroughTheSharedStrings) {
  std::vector<std::string> shared;
  for (int i = 0; i < 30000; ++i) shared.push_back("text number " + std::to_string(i));
  TTempDir dir;
  const std::string path = dir / "strings.xlsx";
  testbooks::WriteBytes(path, testbooks::XlsxNamed({{"S", "<row r=\"1\"><c r=\"A1\" t=\"s\"><v>29999</v></c></row>"}}, shared));
  std::vector<double> shares;
  TMSExcelX reader;
  reader.OnLoadProgress = [&](TCustomSpreadSheetFile*, int64_t position, int64_t total) {
    shares.push_back(double(position) / double(total));
  };
  reader.LoadFromFile(path);
  ASSERT_FALSE(shares.empty());
  EXPECT_TRUE(std::is_sorted(shares.begin(), shares.end()));
  EXPECT_EQ(shares.back(), 1.0);
  EXPECT_GE(std::count_if(shares.begin(), shares.end(), [](double s) { return s > 0 && s < 0.9; }), 3);
}

}  // namespace
