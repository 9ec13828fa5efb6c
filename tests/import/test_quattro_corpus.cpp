// The Quattro Pro reader on the real files of the shared corpus.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "CodePage.h"
#include "QXWQ.h"

namespace fs = std::filesystem;

namespace {

fs::path QuattroDir() { return fs::path(VARNOWE_CORPUS_DIR) / "quattro"; }

class QuattroCorpus : public ::testing::Test {
 protected:
  void SetUp() override {
    SetACPOverride(CP_UTF8);
    if (!fs::is_directory(QuattroDir())) GTEST_SKIP() << "no corpus at " << QuattroDir();
  }
  void TearDown() override { SetACPOverride(0); }

  TQuattroPro& Load(const char* name) {
    FReader.LoadFromFile((QuattroDir() / name).string());
    return FReader;
  }
  const TQXICell* Cell(int32_t sheet, int32_t row, int32_t col) const {
    return sheet < FReader.Sheets.Count() ? FReader.Sheets[sheet].Cells.GetCell(col, row) : nullptr;
  }
  std::string Text(int32_t sheet, int32_t row, int32_t col) const {
    const TQXICell* c = Cell(sheet, row, col);
    return c ? AnsiToUtf8(VarToStr(c->Value())) : "(none)";
  }
  TQuattroPro FReader;  // one reader serves every file, as in a run
};

TEST_F(QuattroCorpus, EveryFileLoadsWithItsVersion) {
  const std::pair<const char*, TWQVersion> files[] = {
      {"opf_ksbase.wq1", qvWQ1},      {"sjs_crlf_qpro9.wq1", qvWQ1},   {"opf_ksbase.wq2", qvWQ2},
      {"opf_ks4000.wq2", qvWQ2},      {"opf_extref_source.wq2", qvWQ2}, {"opf_vlookup.wq2", qvWQ2},
      {"opf_qp6.wb1", qvWB1},         {"sjs_qpro_write.wb1", qvWB1},   {"opf_qp6.wb2", qvWB2},
      {"sjs_qpro_write6.wb2", qvWB2}, {"sjs_crlf_qpro9.wb2", qvWB2},   {"gnum_poker.wb2", qvWB2},
      {"gnum_gantt.wb3", qvWB3},      {"sjs_qpro_write8.wb3", qvWB3},  {"opf_tika.qpw", qvQP9},
      {"sjs_crlf_qpro9.qpw", qvQP9},  {"sjs_q9test.qpw", qvQP9},       {"sjs_q10test.qpw", qvQP9}};
  size_t seen = 0;
  for (const auto& e : fs::directory_iterator(QuattroDir())) seen += e.is_regular_file();
  EXPECT_EQ(seen, std::size(files)) << "a new corpus file wants a line here";
  for (const auto& [name, version] : files) {
    SCOPED_TRACE(name);
    int errors = 0;
    // Warnings (which do not ask to stop) are no errors: one notebook's
    // last sector is cut short.
    FReader.OnErrorProcess = [&](TCustomSpreadSheetFile*, const std::exception&, bool& abort) { errors += abort; };
    ASSERT_NO_THROW(Load(name));
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(FReader.Version(), version);
    int32_t cells = 0;
    for (int32_t s = 0; s < FReader.Sheets.Count(); ++s) {
      const TSpreadSheetCells& sheet = FReader.Sheets[s].Cells;
      for (int32_t row = 0; row < sheet.Count(); ++row) {
        const TSpreadSheetCols* cols = sheet.RowCells(row);
        for (int32_t col = 0; cols && col < cols->Count(); ++col) {
          const TQXICell* c = cols->Cell(col);
          if (!c) continue;
          ++cells;
          if (c->ValueType() == TVarType::Float) {
            EXPECT_TRUE(std::isfinite(c->NumberValue())) << row << "," << col;
          }
        }
      }
    }
    EXPECT_GT(cells, 0);
  }
}

// One small sheet saved by one program in three generations.
TEST_F(QuattroCorpus, SameContentInEveryWindowsGeneration) {
  for (const char* name : {"sjs_qpro_write.wb1", "sjs_qpro_write6.wb2", "sjs_qpro_write8.wb3"}) {
    SCOPED_TRACE(name);
    Load(name);
    ASSERT_EQ(FReader.Sheets.Count(), 1);
    const double numbers[][3] = {{0, 0, 1}, {0, 1, 2}, {0, 2, 3}, {1, 0, 1}, {1, 1, 0}, {2, 3, 0.3}};
    for (const auto& n : numbers) {
      const TQXICell* c = Cell(0, int32_t(n[0]), int32_t(n[1]));
      ASSERT_TRUE(c) << n[0] << "," << n[1];
      EXPECT_NEAR(c->NumberValue(), n[2], 1e-12);
      EXPECT_EQ(c->Alignment(), taRightJustify);
    }
    const TQXICell* date = Cell(0, 2, 2);
    ASSERT_TRUE(date);
    EXPECT_EQ(date->CellType(), ictDateTime);
    EXPECT_EQ(date->NumberValue(), 41689);
    const std::tuple<int, int, const char*> texts[] = {{1, 3, "sheetjs"}, {2, 0, "foo"}, {2, 1, "bar"},
                                                       {3, 0, "baz"},     {3, 2, "qux"}};
    for (const auto& [row, col, text] : texts) EXPECT_EQ(Text(0, row, col), text);
  }
}

TEST_F(QuattroCorpus, DosFilesKeepDatesAndLabels) {
  for (const char* name : {"opf_ksbase.wq1", "opf_ksbase.wq2"}) {
    SCOPED_TRACE(name);
    Load(name);
    const TQXICell* date = Cell(0, 2, 1);
    ASSERT_TRUE(date);
    EXPECT_EQ(date->CellType(), ictDateTime);
    EXPECT_EQ(date->NumberValue(), 35249);
    EXPECT_EQ(Text(0, 0, 0), "OBSERV");
    EXPECT_EQ(Cell(0, 0, 1)->Alignment(), taCenter);  // "^DATE"
    EXPECT_EQ(Text(0, 0, 1), "DATE");
    EXPECT_FALSE(Cell(0, 35, 6));  // a constant stored as infinity holds no value
  }
  Load("opf_ks4000.wq2");
  EXPECT_EQ(Text(0, 7, 4), "#VALUE!");  // ERR
  EXPECT_EQ(Cell(0, 7, 4)->CellType(), ictUnknown);
  EXPECT_EQ(Text(0, 3, 4), "sal");  // a text result
}

TEST_F(QuattroCorpus, NotebookSheetsAndFormulaTexts) {
  Load("gnum_poker.wb2");
  ASSERT_EQ(FReader.Sheets.Count(), 6);
  const char16_t* captions[] = {u"Opening", u"Cards", u"Macros", u"Decision", u"Decision2", u"Graph"};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(FReader.Sheets[i].Caption, captions[i]);
  EXPECT_EQ(Text(0, 3, 1), " Quattro Pro Video Poker");
  EXPECT_EQ(Text(2, 16, 1), "No. of hands: 5. Average per hand: +0.00 coins");

  Load("sjs_crlf_qpro9.qpw");
  EXPECT_EQ(Text(0, 0, 0), "Normal");
  EXPECT_EQ(Text(0, 0, 1), "abcdef");
  EXPECT_EQ(Text(0, 1, 1), "abc\r\ndef");

  Load("opf_tika.qpw");
  EXPECT_EQ(Text(0, 0, 0), "This is an example spreadsheet made with Quattro Pro X3.");
  EXPECT_EQ(FReader.SummaryInformation.Author, "Christiaan Fluit");
}

TEST_F(QuattroCorpus, NotebookCellBlockKinds) {
  for (const char* name : {"sjs_q9test.qpw", "sjs_q10test.qpw"}) {
    SCOPED_TRACE(name);
    Load(name);
    EXPECT_EQ(FReader.Sheets[0].Caption, u"Numbers");
    EXPECT_EQ(FReader.Sheets[255].Caption, u"SheetIV!");
    double expect = 1234543212345.0;
    for (int row = 0; row < 18; ++row, expect /= 10) EXPECT_NEAR(Cell(0, row, 0)->NumberValue(), expect, expect * 1e-15);
    for (int row = 0; row < 13; ++row) EXPECT_EQ(Cell(0, row, 1)->NumberValue(), 12 + 65535.0 * row) << row;
    for (int row = 13; row < 18; ++row) EXPECT_EQ(Cell(0, row, 1)->NumberValue(), 12 - row) << row;
    EXPECT_EQ(Text(1, 0, 0), "SheetJS");
    EXPECT_EQ(Text(1, 4, 1).size(), 62u);
    EXPECT_EQ(Text(3, 0, 1), "#VALUE!");
    EXPECT_EQ(Text(255, 2, 0), "IV is oh so close to JS :(");
  }
  EXPECT_EQ(Text(18277, 0, 0), "QP10 Supports ZZZ!!!");  // the last sheet a notebook can have
}

// Page column widths in twips (.wb2) reach the model as characters of 105
// twips: the width the file draws, as Excel draws it.
TEST_F(QuattroCorpus, NotebookPagesKeepTheirColumnWidths) {
  Load("gnum_poker.wb2");
  const std::vector<int32_t>& w = FReader.Sheets[0].ColumnWidths;
  ASSERT_GE(w.size(), 8u);
  // A 555, B 270, C 975, G 1125, H 180 twips; D to F keep the default.
  EXPECT_EQ(w[0], 1353);
  EXPECT_EQ(w[1], 658);
  EXPECT_EQ(w[2], 2377);
  EXPECT_EQ(w[3], 0);
  EXPECT_EQ(w[6], 2743);
  EXPECT_EQ(w[7], 439);
  // Pages without a default of their own have Quattro Pro's 9 characters;
  // a page's own default is in twips.
  EXPECT_EQ(FReader.Sheets[0].DefaultColumnWidth, 9 * 256);
  for (const char* name : {"sjs_qpro_write.wb1", "sjs_qpro_write6.wb2", "sjs_qpro_write8.wb3"}) {
    SCOPED_TRACE(name);
    Load(name);
    EXPECT_EQ(FReader.Sheets[0].DefaultColumnWidth, TSpreadSheetFile::ColumnWidthFromTwips(880));
  }
  // A .wq1 holds its default width (characters) in the window record.
  Load("opf_ksbase.wq1");
  EXPECT_EQ(FReader.Sheets[0].DefaultColumnWidth, 9 * 256);
  // The same workbook as .wq2 keeps its column widths (characters) in records of another number.
  for (const char* name : {"opf_ksbase.wq1", "opf_ksbase.wq2"}) {
    SCOPED_TRACE(name);
    Load(name);
    EXPECT_EQ(FReader.Sheets[0].ColumnWidths,
              (std::vector<int32_t>{5 * 256, 12 * 256, 7 * 256, 8 * 256, 2 * 256, 5 * 256, 6 * 256, 4 * 256, 5 * 256}));
  }
}

}  // namespace
