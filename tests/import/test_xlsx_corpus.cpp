// Every Open XML workbook of the shared corpus, through the reader and
// through varnowe-batch.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "CodePage.h"
#include "QXXLSX.h"

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> CorpusWorkbooks() {
  std::vector<fs::path> files;
  for (const char* dir : {"xlsx", "xlsm", "xlsb", "xltx"}) {
    fs::path d = fs::path(VARNOWE_CORPUS_DIR) / dir;
    if (!fs::is_directory(d)) continue;
    for (const auto& e : fs::directory_iterator(d))
      if (e.is_regular_file()) files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

bool Encrypted(const fs::path& p) { return p.filename().string().rfind("enc_", 0) == 0; }

int64_t CellCount(TMSExcelX& x) {
  int64_t n = 0;
  for (int32_t s = 0; s < x.Sheets.Count(); ++s) {
    const auto& cells = x.Sheets[s].Cells;
    for (int32_t r = 0; r < cells.Count(); ++r)
      if (const TSpreadSheetCols* row = cells.RowCells(r))
        for (int32_t c = 0; c < row->Count(); ++c) n += row->Cell(c) != nullptr;
  }
  return n;
}

fs::path Corpus(const char* rel) { return fs::path(VARNOWE_CORPUS_DIR) / rel; }

}  // namespace

TEST(XLSXCorpus, EveryWorkbookLoadsAndEncryptedOnesSaySo) {
  auto files = CorpusWorkbooks();
  if (files.empty()) GTEST_SKIP() << "no corpus at " << VARNOWE_CORPUS_DIR;
  TMSExcelX reader;  // one reader serves every file, as in a run
  for (const auto& f : files) {
    SCOPED_TRACE(f.string());
    if (Encrypted(f)) {
      try {
        reader.LoadFromFile(f.string());
        ADD_FAILURE() << "loaded";
      } catch (const EQXIUnknownEncryptionException& e) {
        const bool agile = f.filename().string().find("agile") != std::string::npos ||
                           f.filename().string().find("calam_pass") != std::string::npos;
        EXPECT_EQ(e.Message(), std::string("The file is password-protected (") +
                                   (agile ? "Agile" : "Standard") +
                                   " encryption); this program cannot open protected files.");
        EXPECT_TRUE(reader.PasswordProtected());
      }
      continue;
    }
    EXPECT_NO_THROW(reader.LoadFromFile(f.string()));
    EXPECT_GE(reader.Sheets.Count(), 1);
    EXPECT_FALSE(reader.PasswordProtected());
  }
}

TEST(XLSXCorpus, CompoundDocumentWithoutEncryptionInfoIsNoWorkbook) {
  fs::path xls = Corpus("xls/sjs_1900.xls");
  if (!fs::exists(xls)) GTEST_SKIP() << "no corpus file " << xls;
  TMSExcelX x;
  try {
    x.LoadFromFile(xls.string());
    ADD_FAILURE() << "loaded";
  } catch (const EQXIFileFormatException& e) {
    EXPECT_EQ(e.Message(), "Invalid file version or file format.");
  }
  EXPECT_EQ(x.Sheets.Count(), 0);
}

TEST(XLSXCorpus, KnownContents) {
  if (!fs::exists(Corpus("xlsx/opx_bigfoot_1024_sheets.xlsx")))
    GTEST_SKIP() << "no corpus file " << Corpus("xlsx/opx_bigfoot_1024_sheets.xlsx");
  TMSExcelX x;
  x.LoadFromFile(Corpus("xlsx/opx_bigfoot_1024_sheets.xlsx").string());
  EXPECT_EQ(x.Sheets.Count(), 1024);

  // Part names with backslashes; a workbook part at the package root.
  x.LoadFromFile(Corpus("xlsx/calam_backslash_paths.xlsx").string());
  EXPECT_GT(CellCount(x), 0);
  x.LoadFromFile(Corpus("xlsx/readxl_socrata_export.xlsx").string());
  EXPECT_EQ(CellCount(x), 6986);

  // The same workbook as .xlsx and .xlsb gives the same cells.
  x.LoadFromFile(Corpus("xlsx/sjs_large_strings.xlsx").string());
  const int64_t xml = CellCount(x);
  x.LoadFromFile(Corpus("xlsb/sjs_large_strings.xlsb").string());
  EXPECT_EQ(x.Version, evExcel12Bin);
  EXPECT_EQ(CellCount(x), xml);
  EXPECT_EQ(xml, 56913);

  // Dates of a 1904 workbook land on the same days in both variants.
  TMSExcelX a, b;
  a.LoadFromFile(Corpus("xlsx/sjs_1904.xlsx").string());
  b.LoadFromFile(Corpus("xlsb/sjs_1904.xlsb").string());
  EXPECT_EQ(a.DateBase, 1462);
  EXPECT_EQ(b.DateBase, 1462);
  ASSERT_EQ(a.Sheets.Count(), b.Sheets.Count());
  int dates = 0;
  const auto& ca = a.Sheets[0].Cells;
  const auto& cb = b.Sheets[0].Cells;
  for (int32_t r = 0; r < ca.Count(); ++r)
    for (int32_t c = 0; c < 10; ++c) {
      const TQXICell* x1 = ca.GetCell(c, r);
      const TQXICell* x2 = cb.GetCell(c, r);
      ASSERT_EQ(x1 == nullptr, x2 == nullptr) << r << "," << c;
      if (!x1 || x1->CellType() != ictDateTime) continue;
      ++dates;
      EXPECT_EQ(x2->CellType(), ictDateTime);
      EXPECT_NEAR(x1->Value().AsDateTime(), x2->Value().AsDateTime(), 1e-9);
    }
  EXPECT_GT(dates, 0);

  // Document properties reach the summary information.
  x.LoadFromFile(Corpus("xlsx/phpss_docprops.xlsx").string());
  EXPECT_FALSE(x.SummaryInformation.Title.empty());
  EXPECT_GT(x.SummaryInformation.Created, 0);
}

TEST(XLSXCorpus, EveryWorkbookConvertsThroughVarnoweBatch) {
  const fs::path exe = fs::path(VARNOWE_BINARY_DIR) / "varnowe-batch";
  auto files = CorpusWorkbooks();
  if (files.empty()) GTEST_SKIP() << "no corpus at " << VARNOWE_CORPUS_DIR;
  if (!fs::exists(exe)) GTEST_SKIP() << "varnowe-batch is not built";
  const fs::path work = fs::temp_directory_path() / ("varnowe_xlsx_e2e_" + std::to_string(::getpid()));
  fs::remove_all(work);
  fs::create_directories(work / "in");
  fs::create_directories(work / "out");
  for (const auto& f : files) fs::copy_file(f, work / "in" / f.filename());
  const std::string cmd = "\"" + exe.string() + "\" --source \"" + (work / "in").string() + "\" --dest \"" +
                          (work / "out").string() + "\" --format csv --formats excel > \"" +
                          (work / "log.txt").string() + "\" 2>&1";
  std::system(cmd.c_str());
  std::ifstream logFile(work / "log.txt");
  std::string log((std::istreambuf_iterator<char>(logFile)), std::istreambuf_iterator<char>());
  for (const auto& f : files) {
    SCOPED_TRACE(f.filename().string());
    const std::string stem = f.stem().string();
    bool produced = false;
    for (const auto& e : fs::directory_iterator(work / "out"))
      if (e.path().filename().string().rfind(stem, 0) == 0 && e.path().extension() == ".csv") produced = true;
    if (Encrypted(f)) {
      EXPECT_FALSE(produced);
      EXPECT_NE(log.find("\"" + f.filename().string() + "\" is password-protected ("), std::string::npos) << log;
    } else {
      EXPECT_TRUE(produced) << log;
    }
  }
  fs::remove_all(work);
}
