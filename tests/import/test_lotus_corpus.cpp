// The Lotus 1-2-3 reader on the real files of the shared corpus.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iostream>

#include "CodePage.h"
#include "QXWKS.h"

namespace fs = std::filesystem;

namespace {

fs::path LotusDir() { return fs::path(VARNOWE_CORPUS_DIR) / "lotus"; }

std::vector<fs::path> LotusFiles() {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(LotusDir(), ec))
    if (e.is_regular_file()) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  return files;
}

std::string Show(const TQXICell& c) {
  return std::string(CellTypeName(c.CellType())) + " " + AnsiToUtf8(VarToStr(c.Value()));
}

class LotusCorpus : public ::testing::Test {
 protected:
  void SetUp() override {
    SetACPOverride(CP_UTF8);
    if (!fs::is_directory(LotusDir())) GTEST_SKIP() << "no corpus at " << LotusDir();
  }
  void TearDown() override { SetACPOverride(0); }
};

const TQXICell* Cell(TLotus123& r, int32_t row, int32_t col) {
  return r.Sheets.Count() ? r.Sheets[0].Cells.GetCell(col, row) : nullptr;
}

}  // namespace

TEST_F(LotusCorpus, EveryFileLoads) {
  auto files = LotusFiles();
  ASSERT_GE(files.size(), 18u);
  TLotus123 reader;  // one reader serves every file, as in a run
  for (const auto& path : files) {
    const std::string name = path.filename().string();
    SCOPED_TRACE(name);
    if (name == "sjs_works4_works3.wks") {
      try {
        reader.LoadFromFile(path.string());
        ADD_FAILURE() << "a Works file loaded";
      } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Invalid file version or file format.");
      }
      continue;
    }
    ASSERT_NO_THROW(reader.LoadFromFile(path.string()));
    ASSERT_GE(reader.Sheets.Count(), 1);
    int32_t cells = 0;
    std::cout << name << " " << WKSVersionName(reader.Version()) << ", " << reader.Sheets.Count() << " sheet(s)\n";
    for (int32_t s = 0; s < reader.Sheets.Count(); ++s) {
      const TSpreadSheet& sheet = reader.Sheets[s];
      std::cout << "  " << Utf16ToUtf8(sheet.Caption) << ": " << sheet.Cells.RowCount << " x " << sheet.Cells.ColCount
                << "\n";
      int shown = 0;
      for (int32_t row = 0; row < sheet.Cells.Count(); ++row) {
        for (int32_t col = 0; col < sheet.Cells.Row(row).Cells.Count(); ++col) {
          const TQXICell* c = sheet.Cells.Row(row).Cells.Cell(col);
          if (!c) continue;
          ++cells;
          if (c->CellType() == ictDecimal || c->CellType() == ictInteger) {
            double v = c->Value().ToDouble();
            EXPECT_TRUE(std::isfinite(v)) << row << "," << col;
          }
          if (shown++ < 6) std::cout << "    " << ColumnNumberToLetters(col + 1) << row + 1 << " " << Show(*c) << "\n";
        }
      }
    }
    EXPECT_GT(cells, 0);
  }
}

// The same small sheet saved by one program in every Lotus generation.
TEST_F(LotusCorpus, SameContentInEveryGeneration) {
  for (const char* name : {"sjs_qpro_write_l1.wks", "sjs_qpro_write_l2.wk1", "sjs_qpro_write_led.wke",
                           "sjs_qpro_write_l3.wk3", "sjs_qpro_write_l45.wk4", "sjs_qpro_write_l9.123"}) {
    SCOPED_TRACE(name);
    TLotus123 r;
    r.LoadFromFile((LotusDir() / name).string());
    ASSERT_EQ(r.Sheets.Count(), 1);
    const double numbers[][3] = {{0, 0, 1}, {0, 1, 2}, {0, 2, 3}, {1, 0, 1}, {1, 1, 0}, {2, 2, 41689}, {2, 3, 0.3}};
    for (const auto& n : numbers) {
      const TQXICell* c = Cell(r, int32_t(n[0]), int32_t(n[1]));
      ASSERT_TRUE(c) << n[0] << "," << n[1];
      EXPECT_TRUE(c->Value().IsNumeric());
      EXPECT_NEAR(c->Value().ToDouble(), n[2], 1e-12);
      EXPECT_EQ(c->Alignment(), taRightJustify);
    }
    const std::tuple<int, int, const char*> texts[] = {
        {1, 3, "sheetjs"}, {2, 0, "foo"}, {2, 1, "bar"}, {3, 0, "baz"}, {3, 2, "qux"}};
    for (const auto& [row, col, text] : texts) {
      const TQXICell* c = Cell(r, row, col);
      ASSERT_TRUE(c) << row << "," << col;
      EXPECT_EQ(c->CellType(), ictString);
      EXPECT_EQ(c->Value().AsString(), text);
    }
    // C3 is a date in each (1-2-3 97 keeps its format in a layer after the cells).
    EXPECT_EQ(Cell(r, 2, 2)->CellType(), ictDateTime);
    EXPECT_EQ(r.Sheets[0].Formats().Code(Cell(r, 2, 2)->FormatIndex()), "m/d/yy");
    EXPECT_EQ(r.Sheets[0].Cells.RowCount, 4);
    EXPECT_EQ(r.Sheets[0].Cells.ColCount, 4);
  }
}

// Text and string-formula results of the line-break samples.
TEST_F(LotusCorpus, StringFormulaResults) {
  for (const char* name : {"sjs_crlf_123r9.wk1", "sjs_crlf_qpro9.wk1", "sjs_crlf_123r9.wk3", "sjs_crlf_qpro9.wk3",
                           "sjs_crlf_123r9.wk4", "sjs_crlf_qpro9.wk4", "sjs_crlf_123r9.123"}) {
    SCOPED_TRACE(name);
    TLotus123 r;
    r.LoadFromFile((LotusDir() / name).string());
    ASSERT_TRUE(Cell(r, 0, 0));
    EXPECT_EQ(Cell(r, 0, 0)->Value().AsString(), "Normal");
    EXPECT_EQ(Cell(r, 1, 0)->Value().AsString(), "Formula");
    const TQXICell* result = Cell(r, 1, 1);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->CellType(), ictString);
    std::string text = result->Value().AsString();
    EXPECT_EQ(text.rfind("abc", 0), 0u) << text;
    EXPECT_EQ(text.find('\0'), std::string::npos);
  }
}

// The one-sheet family keeps the sheet's default column width (characters)
// in its window record; columns without a width of their own take it.
TEST_F(LotusCorpus, TheWindowsDefaultColumnWidthIsKept) {
  // Files without a default of their own (no window record: WK3, WK4,
  // 1-2-3 97) have the program's 9 characters.
  const std::pair<const char*, int32_t> files[] = {
      {"opf_pfvalues.wk1", 10},       {"sjs_crlf_123r9.wk1", 9},    {"sjs_qpro_write_l1.wks", 9},
      {"sjs_works4_as_123.wks", 10},  {"opf_peytrend.wk3", 9},      {"sjs_crlf_123r9.wk4", 9},
      {"sjs_qpro_write_l9.123", 9}};
  for (const auto& [name, characters] : files) {
    SCOPED_TRACE(name);
    TLotus123 r;
    r.LoadFromFile((LotusDir() / name).string());
    ASSERT_GT(r.Sheets.Count(), 0);
    EXPECT_EQ(r.Sheets[0].DefaultColumnWidth, characters * 256);
  }
}
