// Numbers in a percent format: readers publish some of them × 100 (text
// outputs show 50 for 50 %), while the typed writers must give back the
// file's own fraction with a percent format.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "BiffBuilder.h"
#include "CfbBuilder.h"
#include "ExportTestSupport.h"
#include "FakeUi.h"
#include "TempDir.h"
#include "ZipBuilder.h"

namespace {

// The file's fractions; 0.07 × 100 is not exact in binary, so dividing the
// published value by 100 would not give the file's number back.
const double kFractions[] = {0.5, 0.125, -0.03, 0.07};
const double kFormulaResult = 0.375;

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

// Row 0: the four percent numbers (whole ones in "0%", the others in
// "0.00%"), a percent formula result, and a plain 7 for contrast.
std::string XlsxBook() {
  auto num = [](const char* ref, int style, double v) {
    return std::string("<c r=\"") + ref + "\" s=\"" + std::to_string(style) + "\"><v>" + Format("%.17g", v) + "</v></c>";
  };
  const std::string rows = "<row r=\"1\">" + num("A1", 1, kFractions[0]) + num("B1", 2, kFractions[1]) +
                           num("C1", 1, kFractions[2]) + num("D1", 1, kFractions[3]) +
                           "<c r=\"E1\" s=\"2\"><f>A1*0.75</f><v>0.375</v></c>" + num("F1", 0, 7) + "</row>";
  ZipBuilder z;
  z.Add("[Content_Types].xml",
        "<?xml version=\"1.0\"?><Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
        "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
        "<Default Extension=\"xml\" ContentType=\"application/xml\"/></Types>");
  z.Add("_rels/.rels",
        "<?xml version=\"1.0\"?><Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
        "<Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/"
        "officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>");
  z.Add("xl/workbook.xml",
        "<?xml version=\"1.0\"?><workbook xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/"
        "relationships\"><sheets><sheet name=\"P\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>");
  z.Add("xl/_rels/workbook.xml.rels",
        "<?xml version=\"1.0\"?><Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
        "<Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/"
        "worksheet\" Target=\"worksheets/sheet1.xml\"/><Relationship Id=\"rId2\" Type=\"http://schemas."
        "openxmlformats.org/officeDocument/2006/relationships/styles\" Target=\"styles.xml\"/></Relationships>");
  z.Add("xl/styles.xml",
        "<?xml version=\"1.0\"?><styleSheet><cellXfs><xf numFmtId=\"0\"/><xf numFmtId=\"9\"/><xf numFmtId=\"10\"/>"
        "</cellXfs></styleSheet>");
  z.Add("xl/worksheets/sheet1.xml", "<?xml version=\"1.0\"?><worksheet><sheetData>" + rows + "</sheetData></worksheet>");
  return z.Build();
}

// The same row as a BIFF8 workbook: XF 1 "0%", XF 2 "0.00%", the formula
// result in a FORMULA record.
std::string XlsBook() {
  biff::Workbook wb;
  for (uint16_t f : {0, 9, 10}) wb.globals.rec(0x00E0, biff::Xf8(f));
  biff::Stream s;
  s.rec(0x0203, biff::Number(0, 0, 1, kFractions[0]));
  s.rec(0x0203, biff::Number(0, 1, 2, kFractions[1]));
  s.rec(0x0203, biff::Number(0, 2, 1, kFractions[2]));
  s.rec(0x0203, biff::Number(0, 3, 1, kFractions[3]));
  s.rec(0x0006, biff::FormulaNum(0, 4, 2, kFormulaResult));
  s.rec(0x0203, biff::Number(0, 5, 0, 7));
  wb.sheets.push_back({u"P", s});
  CfbBuilder b;
  b.AddStream("Workbook", wb.Build());
  const std::vector<uint8_t> bytes = b.Build();
  return std::string(bytes.begin(), bytes.end());
}

std::unique_ptr<TSpreadSheetFile> Load(const std::string& path) {
  auto reader = TSpreadsheetConversion::CreateReader(TSpreadsheetConversion::ChooseReader(path));
  reader->LoadFromFile(path);
  return reader;
}

// Each numeric cell of row 0 of the first sheet as "value|format" (%.17g;
// the format as the reading library reports it).
std::map<std::string, std::string> ReadRow(const std::vector<std::string>& files) {
  std::string cmd = "/usr/bin/python3 - <<'PY'\n"
                    "import sys\n"
                    "for path in " ;
  cmd += "[";
  for (const auto& f : files) cmd += "'" + f + "',";
  cmd += "]:\n"
         "    if path.endswith('.xls'):\n"
         "        import xlrd\n"
         "        b = xlrd.open_workbook(path, formatting_info=True); sh = b.sheet_by_index(0)\n"
         "        for c in range(sh.ncols):\n"
         "            cell = sh.cell(0, c)\n"
         "            if cell.ctype != 2: continue\n"
         "            fmt = b.format_map[b.xf_list[cell.xf_index].format_key].format_str\n"
         "            print('%s %d %.17g|%s' % (path, c, cell.value, fmt))\n"
         "    else:\n"
         "        import openpyxl\n"
         "        sh = openpyxl.load_workbook(path).worksheets[0]\n"
         "        for cell in sh[1]:\n"
         "            if isinstance(cell.value, (int, float)):\n"
         "                print('%s %d %.17g|%s' % (path, cell.column - 1, cell.value, cell.number_format))\n"
         "PY\n";
  std::map<std::string, std::string> out;
  std::istringstream lines(RunCapture(cmd));
  for (std::string line; std::getline(lines, line);) {
    const size_t a = line.find(' '), b = line.find(' ', a + 1);
    if (a == std::string::npos || b == std::string::npos) continue;
    out[line.substr(0, b)] = line.substr(b + 1);
  }
  return out;
}

class PercentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(Tmp / "book.xlsx", XlsxBook());
    WriteFile(Tmp / "book.xls", XlsBook());
  }
  TTempDir Tmp;
  TFakeUi Ui;
};

TEST_F(PercentTest, ReadersPublishTheScaledValueAndKeepTheFraction) {
  for (const char* name : {"book.xlsx", "book.xls"}) {
    SCOPED_TRACE(name);
    auto r = Load(Tmp / name);
    const TSpreadSheetCells& cells = r->Sheets[0].Cells;
    for (int k = 0; k < 4; ++k) {
      const TQXICell* c = cells.GetCell(k, 0);
      ASSERT_NE(c, nullptr);
      EXPECT_TRUE(c->PercentScaled());
      EXPECT_TRUE(SameBits(c->StoredNumber(), kFractions[k]));
      // What every consumer saw before: the reader's own product.
      EXPECT_TRUE(SameBits(c->Value().AsFloat(), kFractions[k] * 100));
      EXPECT_TRUE(SameBits(c->NumberValue(), kFractions[k] * 100));
      // Copies and moves keep the flag and the file's number.
      TQXICell copy(*c);
      TQXICell moved(std::move(copy));
      EXPECT_TRUE(moved.PercentScaled());
      EXPECT_TRUE(SameBits(moved.StoredNumber(), kFractions[k]));
      // A new value drops it.
      moved.SetValue(TVariant(2.0));
      EXPECT_FALSE(moved.PercentFormatted());
      EXPECT_EQ(moved.NumberValue(), 2.0);
    }
    const TQXICell* plain = cells.GetCell(5, 0);
    EXPECT_FALSE(plain->PercentFormatted());
    EXPECT_EQ(plain->NumberValue(), 7);
  }
  // The formula result: the .xlsx reader scales it like any number, the
  // BIFF reader publishes it as it stands; both keep it a percent cell.
  auto x = Load(Tmp / "book.xlsx");
  EXPECT_TRUE(x->Sheets[0].Cells.GetCell(4, 0)->PercentScaled());
  auto b = Load(Tmp / "book.xls");
  const TQXICell* f = b->Sheets[0].Cells.GetCell(4, 0);
  EXPECT_TRUE(f->PercentFormatted());
  EXPECT_FALSE(f->PercentScaled());
  EXPECT_EQ(f->NumberValue(), kFormulaResult);
}

TEST_F(PercentTest, TypedWritersGiveBackTheFractionWithAPercentFormat) {
  if (!HavePythonModule("openpyxl") || !HavePythonModule("xlrd"))
    GTEST_SKIP() << "openpyxl or xlrd is missing (scripts/install-deps.sh installs them)";
  std::vector<std::string> outputs;
  for (const char* source : {"book.xlsx", "book.xls"}) {
    auto r = Load(Tmp / source);
    for (const char* ext : {".xls", ".xlsx"}) {
      const std::string out = Tmp / (std::string(source) + ext);
      TSpreadsheetConversion::WriteWorkbook(r->Sheets, out, std::string(ext) == ".xls" ? 4 : 5);
      outputs.push_back(out);
    }
  }
  const auto got = ReadRow(outputs);
  for (const auto& out : outputs) {
    SCOPED_TRACE(out);
    auto cell = [&](int c) {
      auto it = got.find(out + " " + std::to_string(c));
      return it == got.end() ? std::string("(none)") : it->second;
    };
    EXPECT_EQ(cell(0), "0.5|0%");
    EXPECT_EQ(cell(1), "0.125|0.00%");
    EXPECT_EQ(cell(2), "-0.029999999999999999|0%");
    EXPECT_EQ(cell(3), "0.070000000000000007|0%");  // bit for bit, in "0%" despite 7.000000000000001
    EXPECT_EQ(cell(4), "0.375|0.00%");
    EXPECT_EQ(cell(5), "7|General");
  }
}

TEST_F(PercentTest, TextOutputsKeepThePublishedValues) {
  // The CSV of the loaded workbook equals that of a sheet holding the
  // published numbers with no percent mark at all.
  for (const char* source : {"book.xlsx", "book.xls"}) {
    SCOPED_TRACE(source);
    auto r = Load(Tmp / source);
    TSpreadSheets plain;
    TSpreadSheet& sheet = plain.GetSheet(0);
    const TSpreadSheetCells& cells = r->Sheets[0].Cells;
    for (int k = 0; k < 6; ++k) {
      const TQXICell* c = cells.GetCell(k, 0);
      sheet.Cells.SetCell(k, 0, c->CellType(), c->FormatIndex(), c->Alignment(), c->Value());
      EXPECT_FALSE(sheet.Cells.GetCell(k, 0)->PercentFormatted());
    }
    TSpreadsheetConversion::WriteWorkbook(r->Sheets, Tmp / "percent.csv", 1);
    TSpreadsheetConversion::WriteWorkbook(plain, Tmp / "plain.csv", 1);
    const std::string csv = ReadFileText(Tmp / "percent.csv");
    EXPECT_EQ(csv, ReadFileText(Tmp / "plain.csv"));
    EXPECT_NE(csv.find("50"), std::string::npos) << csv;
  }
}

}  // namespace
