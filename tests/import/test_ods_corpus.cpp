// Every OpenDocument spreadsheet of the shared corpus, through the reader and
// through varnowe-batch.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "BatchRun.h"
#include "CodePage.h"
#include "DateTime.h"
#include "QXIOO.h"

namespace fs = std::filesystem;

namespace {

fs::path Corpus(const char* rel) { return fs::path(VARNOWE_CORPUS_DIR) / rel; }

// The .ods folder, and the OpenDocument content saved under an Excel name.
std::vector<fs::path> CorpusSpreadsheets() {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(Corpus("ods"), ec))
    if (e.is_regular_file()) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  if (fs::exists(Corpus("odd/roo_ods_named_xlsx.xlsx"))) files.push_back(Corpus("odd/roo_ods_named_xlsx.xlsx"));
  return files;
}

bool Encrypted(const fs::path& p) { return p.filename() == "calam_enc.ods"; }

int64_t CellCount(const TSpreadSheet& sheet) {
  int64_t n = 0;
  for (int32_t r = 0; r < sheet.Cells.Count(); ++r)
    if (const TSpreadSheetCols* row = sheet.Cells.RowCells(r))
      for (int32_t c = 0; c < row->Count(); ++c) n += row->Cell(c) != nullptr;
  return n;
}

class OdsCorpus : public ::testing::Test {
 protected:
  void SetUp() override {
    SetACPOverride(CP_UTF8);
    if (!fs::is_directory(Corpus("ods"))) GTEST_SKIP() << "no corpus at " << VARNOWE_CORPUS_DIR;
  }
  void TearDown() override { SetACPOverride(0); }

  void Load(const char* rel) { R.LoadFromFile(Corpus(rel).string()); }
  const TQXICell* Cell(int sheet, int row, int col) { return R.Sheets[sheet].Cells.GetCell(col, row); }
  std::string Text(int sheet, int row, int col) {
    const TQXICell* c = Cell(sheet, row, col);
    return c && c->ValueType() == TVarType::String ? c->StringValue() : "<no text>";
  }

  TQXIOpenOfficeSpreadsheet R;
};

}  // namespace

TEST_F(OdsCorpus, EveryFileLoadsAndTheEncryptedOneSaysSo) {
  auto files = CorpusSpreadsheets();
  ASSERT_GE(files.size(), 20u);
  for (const auto& f : files) {  // one reader serves every file, as in a run
    SCOPED_TRACE(f.filename().string());
    if (Encrypted(f)) {
      try {
        R.LoadFromFile(f.string());
        ADD_FAILURE() << "an encrypted package loaded";
      } catch (const EQXICryptException& e) {
        EXPECT_EQ(e.Message(), "\"calam_enc.ods\" is password-protected (OpenDocument encryption); this program "
                               "cannot open protected files.");
      }
      EXPECT_TRUE(R.PasswordProtected());
      continue;
    }
    EXPECT_NO_THROW(R.LoadFromFile(f.string()));
    ASSERT_GE(R.Sheets.Count(), 1);
    // Files that hold many cells (both references agree on every one).
    static const std::map<std::string, int64_t> counts = {
        {"lo_multiline.ods", 10530}, {"roo_ooo20_bibelbund.ods", 26985},
        {"phpss_untermstrich.ods", 16}};  // the last one's mimetype is not its first entry
    auto it = counts.find(f.filename().string());
    if (it != counts.end()) {
      EXPECT_EQ(CellCount(R.Sheets[0]), it->second);
    }
    EXPECT_FALSE(R.PasswordProtected());
    EXPECT_GT(R.SummaryInformation.Created + R.SummaryInformation.LastSaved, 0) << "no dates from meta.xml";
  }
}

TEST_F(OdsCorpus, KnownContents) {
  Load("ods/phpss_data.ods");
  ASSERT_EQ(R.Sheets.Count(), 2);
  EXPECT_EQ(Utf16ToUtf8(R.Sheets[1].Caption), "Second Sheet");
  EXPECT_EQ(Cell(0, 0, 0)->CellType(), ictDecimal);
  EXPECT_DOUBLE_EQ(Cell(0, 0, 0)->NumberValue(), 0.1);  // 10 %, kept as stored
  EXPECT_DOUBLE_EQ(Cell(0, 3, 2)->NumberValue(), 10.12);
  EXPECT_EQ(Text(0, 7, 0), "This has    4 spaces before and 2 after  ");
  EXPECT_EQ(Text(0, 9, 0), "Test with DIFFERENT styles     and multiple spaces:  ");
  EXPECT_EQ(Text(0, 10, 0), "test with new \nLines");
  EXPECT_EQ(Text(0, 11, 0), "merged cells");
  EXPECT_EQ(Cell(0, 11, 0)->Alignment(), taCenter);
  EXPECT_EQ(Text(1, 1, 1), "Data on second sheet");

  // Three sheets that each fill the whole grid with repeats, holding ten cells.
  Load("ods/calam_excel_online_repeat.ods");
  ASSERT_EQ(R.Sheets.Count(), 3);
  for (int s = 0; s < 3; ++s) {
    EXPECT_EQ(CellCount(R.Sheets[s]), 10);
    EXPECT_LT(R.Sheets[s].Cells.RowCount, 20);
  }

  Load("ods/calam_date.ods");
  int dates = 0;
  for (int r = 0; r < R.Sheets[0].Cells.Count(); ++r)
    for (int c = 0; c < 4; ++c)
      if (const TQXICell* x = Cell(0, r, c); x && x->CellType() == ictDateTime) ++dates;
  EXPECT_EQ(dates, 4);  // a date, a date-time and two times

  Load("ods/roo_ooo23_time.ods");
  EXPECT_EQ(Cell(0, 0, 1)->CellType(), ictDateTime);
  EXPECT_NEAR(Cell(0, 0, 1)->NumberValue(), EncodeTime(12, 13, 14, 0), 1e-9);

  Load("ods/calam_covered.ods");
  EXPECT_EQ(Text(0, 2, 0), "a3");  // the content of a covered cell is kept


  Load("ods/lo_staroffice8_errors.ods");
  EXPECT_EQ(Cell(0, 2, 1)->CellType(), ictUnknown);
  EXPECT_EQ(Text(0, 2, 1), "#N/A");

  Load("ods/phpss_untermstrich.ods");
  EXPECT_FALSE(R.SummaryInformation.Author.empty());
}

TEST_F(OdsCorpus, EveryFileConvertsThroughVarnoweBatch) {
  if (!TBatchRun::Built()) GTEST_SKIP() << "no varnowe-batch at " << TBatchRun::Exe();
  auto files = CorpusSpreadsheets();
  TBatchRun run;
  const std::string log = run.Run(files, "--format csv --formats ods,excel");
  for (const auto& f : files) {
    SCOPED_TRACE(f.filename().string());
    const fs::path csv = run.Out() / (f.stem().string() + ".csv");
    if (Encrypted(f)) {
      EXPECT_FALSE(fs::exists(csv));
      EXPECT_NE(log.find("is password-protected (OpenDocument encryption)"), std::string::npos) << log;
    } else {
      EXPECT_TRUE(fs::exists(csv)) << log;
    }
  }
  EXPECT_NE(log.find(std::to_string(files.size() - 1) + " converted, 1 failed, 0 skipped"), std::string::npos) << log;
  // A later sheet with content gets its own file.
  std::ifstream second(run.Out() / "phpss_data1.csv");
  std::string all((std::istreambuf_iterator<char>(second)), std::istreambuf_iterator<char>());
  EXPECT_NE(all.find("Data on second sheet"), std::string::npos) << all;
}

// Column widths are lengths: they reach the model as characters of 105
// twips (a 7-pixel "0" at 96 dpi), so Excel draws them as wide as the file.
TEST_F(OdsCorpus, ColumnWidthsKeepTheirLength) {
  const struct {
    const char* File;
    int32_t Column, Width256;  // 1/256 of a character
  } cases[] = {{"ods/lo_multiline.ods", 0, 3121},                // 0.889 in, LibreOffice's default
               {"ods/calam_excel_online_repeat.ods", 0, 2340}};  // 1.693 cm, Excel's default (9.14)
  for (const auto& c : cases) {
    SCOPED_TRACE(c.File);
    Load(c.File);
    ASSERT_GT(R.Sheets[0].ColumnWidths.size(), size_t(c.Column));
    EXPECT_NEAR(R.Sheets[0].ColumnWidths[size_t(c.Column)], c.Width256, 2);
  }
}
