#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "BiffBuilder.h"
#include "CfbBuilder.h"
#include "CodePage.h"
#include "QXIOleStorage.h"
#include "QXXLS.h"

using biff::Body;
using biff::Stream;

namespace {

std::vector<uint8_t> Container(const std::vector<std::pair<std::string, std::vector<uint8_t>>>& streams) {
  CfbBuilder b;
  for (const auto& [name, data] : streams) b.AddStream(name, data);
  return b.Build();
}

void Parse(TMSExcel& x, const std::vector<uint8_t>& file) {
  TCustomMemoryStream s(file.data(), int64_t(file.size()));
  x.ParseStream(s);
}

const TQXICell* Cell(TMSExcel& x, int sheet, int row, int col) {
  if (sheet >= x.Sheets.Count()) return nullptr;
  return x.Sheets[sheet].Cells.GetCell(col, row);
}

std::u16string U16(const TQXICell* c) {
  if (!c) return u"<none>";
  TVariant v = c->Value();
  return v.Type() == TVarType::WideString ? v.AsWide() : Utf8ToUtf16(VarToStr(v));
}

// Globals shared by most tests: formats and cell formats
//   XF 0 General, 1 m/d/yy, 2 0%, 3 h:mm, 4 right-aligned, 5 custom "0.0%", 6 custom "[h]:mm"
Stream StandardGlobals(bool excel9 = false) {
  Stream g;
  if (excel9) g.rec(0x01C0);
  g.rec(0x041E, Body().u16(164).str16(u"0.0%"));
  g.rec(0x041E, Body().u16(165).str16(u"[h]:mm"));
  for (uint16_t f : {0, 14, 9, 20}) g.rec(0x00E0, biff::Xf8(f));
  g.rec(0x00E0, biff::Xf8(0, 3));
  g.rec(0x00E0, biff::Xf8(164));
  g.rec(0x00E0, biff::Xf8(165));
  return g;
}

class BiffTest : public ::testing::Test {
 protected:
  void SetUp() override { SetACPOverride(CP_UTF8); }
  void TearDown() override { SetACPOverride(0); }
};

}  // namespace

TEST(BiffNumbers, RkValues) {
  EXPECT_EQ(TCustomMSExcel::RKToDouble(0x3FF00000), 1.0);
  EXPECT_EQ(TCustomMSExcel::RKToDouble(0x3FF00001), 0.01);
  EXPECT_EQ(TCustomMSExcel::RKToDouble(0x0000000A), 2.0);
  EXPECT_EQ(TCustomMSExcel::RKToDouble(0x0000000B), 0.02);
  EXPECT_EQ(TCustomMSExcel::RKToDouble(0xFFFFFFFE), -1.0);
  EXPECT_EQ(TCustomMSExcel::RKToDouble(0x405EC000), 123.0);
  EXPECT_EQ(TCustomMSExcel::ErrorCodeText(0x2A), "#N/A");
  EXPECT_EQ(TCustomMSExcel::ErrorCodeText(0x2B), "Unknown error code 43");
}

TEST(BiffNumbers, DateAndPercentClassification) {
  TMSExcel x;
  x.ResetData();
  for (const char* f : {"m/d/yy", "h:mm", "[h]:mm:ss", "d", "m/d;@", "AM/PM", "yyyy\\-mm\\-dd;@", "[$-409]mmm"})
    EXPECT_TRUE(x.IsDateNumberFormat((x.AddFormat(true, f, -1, -1, -1, 200), 200))) << f;
  for (const char* f : {"General", "0.00", "[Red]0.00", "0.00\" days\"", "#,##0_);(#,##0)", "0.00E+00", "\\d0"})
    EXPECT_FALSE(x.IsDateNumberFormat((x.AddFormat(true, f, -1, -1, -1, 200), 200))) << f;
  // An XF whose number format is 0 is never a date, whatever entry 0 says.
  x.AddFormat(false, "", -1, -1, 0, 0);
  EXPECT_FALSE(x.IsDateFormat(0));
  EXPECT_TRUE(x.IsDateFormat(14));  // no XF 14: the number itself is the format
  EXPECT_TRUE(x.IsPercentFormat(9));
}

TEST_F(BiffTest, Biff8WithoutExcel9FileDecodesBiff8Texts) {
  biff::Workbook wb;
  wb.globals = StandardGlobals();
  // SST: a plain string, one with a line feed, one whose characters start
  // compressed and go on as 16-bit units in a CONTINUE record, and one after it.
  Body sst;
  sst.u32(4).u32(4).str16(u"plain").str16(u"line\nfeed");
  sst.u16(6).u8(0).bytes("abc");
  Body cont;
  cont.u8(1).utf16(u"d\u20ACf").str16(u"xyz");
  wb.globals.rec(0x00FC, sst).rec(0x003C, cont);
  Stream s;
  s.rec(0x0200, Body().u32(0).u32(9).u16(0).u16(8).u16(0));
  s.rec(0x0203, biff::Number(0, 0, 1, 36526));      // date
  s.rec(0x0203, biff::Number(0, 1, 2, 0.25));       // percent, scaled
  s.rec(0x0006, biff::FormulaNum(0, 2, 2, 0.25));   // formula result, not scaled
  s.rec(0x0203, biff::Number(0, 3, 3, 0.5));        // time counts as date
  s.rec(0x0203, biff::Number(0, 4, 5, 0.125));      // custom percent
  s.rec(0x0203, biff::Number(0, 5, 6, 1.5));        // elapsed hours
  s.rec(0x00FD, biff::LabelSst(1, 0, 4, 0));
  s.rec(0x00FD, biff::LabelSst(1, 1, 0, 1));
  s.rec(0x00FD, biff::LabelSst(1, 2, 0, 2));
  s.rec(0x00FD, biff::LabelSst(1, 3, 0, 3));
  s.rec(0x00BD, Body().u16(2).u16(1).u16(0).u32(0x3FF00000).u16(2).u32(0x0000000B).u16(2));
  s.rec(0x0205, Body().u16(3).u16(0).u16(0).u8(1).u8(0));
  s.rec(0x0205, Body().u16(3).u16(1).u16(0).u8(0x2A).u8(1));
  s.rec(0x0205, Body().u16(3).u16(2).u16(0).u8(0x2B).u8(1));
  s.rec(0x0006, biff::FormulaSpecial(4, 0, 0, 0, 0)).rec(0x0207, Body().str16(u"r\u00E9sultat"));
  s.rec(0x0006, biff::FormulaSpecial(4, 1, 0, 1, 1));
  s.rec(0x0006, biff::FormulaSpecial(4, 2, 0, 2, 0x07));
  s.rec(0x0006, biff::FormulaSpecial(4, 3, 0, 3, 0));  // empty result: no cell
  // A text formula whose STRING comes after a shared-formula record.
  s.rec(0x0006, biff::FormulaSpecial(4, 4, 0, 0, 0)).rec(0x04BC, Body().u16(4).u16(4).u8(4).u8(4).u16(0).u16(0));
  s.rec(0x0207, Body().str16(u"shared"));
  s.rec(0x0204, Body().u16(5).u16(0).u16(0).str16(u"\u0416\u0438\u0432"));
  wb.sheets.push_back({u"Donn\u00E9es", s});
  wb.sheets.push_back({u"\u03A3heet", Stream()});

  TMSExcel x;
  Parse(x, Container({{"Workbook", wb.Build()}}));
  EXPECT_EQ(x.Version, evExcel7);
  EXPECT_EQ(x.BiffGeneration(), 8);
  ASSERT_EQ(x.Sheets.Count(), 2);
  EXPECT_EQ(x.Sheets[0].Caption, u"Donn\u00E9es");
  EXPECT_EQ(x.Sheets[1].Caption, u"\u03A3heet");
  ASSERT_EQ(x.SharedStrings.size(), 4u);
  EXPECT_EQ(Utf8ToUtf16(x.SharedStrings[2].Text()), u"abcd\u20ACf");
  EXPECT_EQ(x.SharedStrings[3], "xyz");

  auto c = Cell(x, 0, 0, 0);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->CellType(), ictDateTime);
  EXPECT_EQ(c->Value().ToDouble(), 36526);
  EXPECT_EQ(Cell(x, 0, 0, 1)->Value().ToDouble(), 25);
  EXPECT_EQ(Cell(x, 0, 0, 1)->CellType(), ictDecimal);
  EXPECT_EQ(Cell(x, 0, 0, 2)->Value().ToDouble(), 0.25);
  EXPECT_EQ(Cell(x, 0, 0, 3)->CellType(), ictDateTime);
  EXPECT_EQ(Cell(x, 0, 0, 4)->Value().ToDouble(), 12.5);
  EXPECT_EQ(Cell(x, 0, 0, 5)->CellType(), ictDateTime);

  EXPECT_EQ(U16(Cell(x, 0, 1, 0)), u"plain");
  EXPECT_EQ(Cell(x, 0, 1, 0)->Alignment(), taRightJustify);
  EXPECT_EQ(U16(Cell(x, 0, 1, 1)), u"line\r\nfeed");
  EXPECT_EQ(U16(Cell(x, 0, 1, 2)), u"abcd\u20ACf");

  EXPECT_EQ(Cell(x, 0, 2, 0), nullptr);
  EXPECT_EQ(Cell(x, 0, 2, 1)->Value().ToDouble(), 1.0);
  EXPECT_EQ(Cell(x, 0, 2, 2)->Value().ToDouble(), 2);  // MULRK values are percent-scaled too

  EXPECT_EQ(Cell(x, 0, 3, 0)->CellType(), ictBoolean);
  EXPECT_TRUE(Cell(x, 0, 3, 0)->Value().AsBoolean());
  EXPECT_EQ(U16(Cell(x, 0, 3, 1)), u"#N/A");
  EXPECT_EQ(Cell(x, 0, 3, 1)->CellType(), ictUnknown);
  EXPECT_EQ(U16(Cell(x, 0, 3, 2)), u"Unknown error code 43");

  EXPECT_EQ(U16(Cell(x, 0, 4, 0)), u"r\u00E9sultat");
  EXPECT_EQ(Cell(x, 0, 4, 0)->CellType(), ictString);
  EXPECT_EQ(Cell(x, 0, 4, 1)->CellType(), ictBoolean);
  EXPECT_EQ(U16(Cell(x, 0, 4, 2)), u"#DIV/0!");
  EXPECT_EQ(Cell(x, 0, 4, 3), nullptr);
  EXPECT_EQ(U16(Cell(x, 0, 4, 4)), u"shared");
  EXPECT_EQ(x.SharedFormulas.size(), 1u);
  EXPECT_EQ(U16(Cell(x, 0, 5, 0)), u"\u0416\u0438\u0432");
  EXPECT_EQ(x.Sheets[0].Cells.DimRowCount, 9);
}

TEST_F(BiffTest, VersionsAndStreamChoice) {
  biff::Workbook nine;
  nine.globals = StandardGlobals(true);
  nine.sheets.push_back({u"A", Stream().rec(0x0203, biff::Number(0, 0, 0, 8))});
  TMSExcel x;
  Parse(x, Container({{"Workbook", nine.Build()}}));
  EXPECT_EQ(x.Version, evExcel9);

  // BIFF5 in "Book", text in the workbook's code page.
  biff::Workbook five;
  five.biff8 = false;
  five.globals.rec(0x0042, Body().u16(1251));
  five.sheets.push_back({u"B", Stream().rec(0x0204, Body().u16(0).u16(0).u16(0).u16(3).bytes("\xC4\xE8\xEC"))});
  Parse(x, Container({{"Book", five.Build()}}));
  EXPECT_EQ(x.Version, evExcel5);
  EXPECT_EQ(U16(Cell(x, 0, 0, 0)), u"\u0414\u0438\u043C");

  // Both streams: "WORKBOOK" wins, wherever it stands.
  Parse(x, Container({{"WORKBOOK", nine.Build()}, {"Book", five.Build()}}));
  EXPECT_EQ(x.Sheets[0].Caption, u"A");
  Parse(x, Container({{"Book", five.Build()}, {"Workbook", nine.Build()}}));
  EXPECT_EQ(x.Sheets[0].Caption, u"A");

  // No workbook stream at all.
  try {
    Parse(x, Container({{"Other", {1, 2, 3}}}));
    FAIL();
  } catch (const EQXIFileFormatException& e) {
    EXPECT_STREQ(e.what(), "Invalid file version or file format.");
  }
}

TEST_F(BiffTest, DateModeShiftsDates) {
  biff::Workbook wb;
  wb.globals = StandardGlobals();
  wb.globals.rec(0x0022, Body().u16(1));
  wb.sheets.push_back({u"S", Stream().rec(0x0203, biff::Number(0, 0, 1, 36526))});
  TMSExcel x;
  Parse(x, Container({{"Workbook", wb.Build()}}));
  EXPECT_EQ(Cell(x, 0, 0, 0)->Value().ToDouble(), 37988);
  // The next load starts from the 1900 system again.
  wb.globals = StandardGlobals();
  Parse(x, Container({{"Workbook", wb.Build()}}));
  EXPECT_EQ(Cell(x, 0, 0, 0)->Value().ToDouble(), 36526);
}

TEST_F(BiffTest, SelectedSheetSkipsByStreamPosition) {
  biff::Workbook wb;
  wb.globals = StandardGlobals();
  for (int i = 0; i < 3; ++i)
    wb.sheets.push_back({std::u16string(u"S") + char16_t(u'0' + i), Stream().rec(0x0203, biff::Number(0, 0, 0, i))});
  // A chart sheet between the worksheets takes its BOUNDSHEET entry.
  wb.sheets.insert(wb.sheets.begin() + 1, {u"Chart", Stream().rec(0x0203, biff::Number(0, 0, 0, 99))});
  wb.sheetTypes = {0x0010, 0x0020, 0x0010, 0x0010};
  TMSExcel x;
  x.SelectedSheet = 1;
  int numbers = 0;
  x.OnRecord = [&](TCustomSpreadSheetFile*, const TBIFFRecordHeader& h, TByteArray&) { numbers += h.RecNo == 0x0203; };
  Parse(x, Container({{"Workbook", wb.Build()}}));
  ASSERT_EQ(x.Sheets.Count(), 3);
  EXPECT_EQ(x.Sheets[0].Caption, u"S0");
  EXPECT_EQ(x.Sheets[1].Caption, u"S1");
  EXPECT_EQ(x.Sheets[2].Caption, u"S2");
  EXPECT_EQ(Cell(x, 0, 0, 0), nullptr);
  ASSERT_TRUE(Cell(x, 1, 0, 0));
  EXPECT_EQ(Cell(x, 1, 0, 0)->Value().ToDouble(), 1);
  EXPECT_EQ(Cell(x, 2, 0, 0), nullptr);
  EXPECT_EQ(numbers, 1);  // neither skipped sheet nor the chart was read
  EXPECT_EQ(x.SheetIndex, 2);
}

TEST_F(BiffTest, EmbeddedChartDoesNotEndItsSheet) {
  biff::Workbook wb;
  wb.globals = StandardGlobals();
  Stream s;
  s.rec(0x0203, biff::Number(0, 0, 0, 1));
  s.rec(0x0809, biff::Bof(0x0600, 0x0020)).rec(0x0203, biff::Number(5, 5, 0, 9)).rec(0x000A);
  s.rec(0x0203, biff::Number(1, 0, 0, 2));
  wb.sheets.push_back({u"S", s});
  TMSExcel x;
  Parse(x, Container({{"Workbook", wb.Build()}}));
  EXPECT_EQ(Cell(x, 0, 1, 0)->Value().ToDouble(), 2);
  EXPECT_EQ(Cell(x, 0, 5, 5), nullptr);
}

TEST_F(BiffTest, DrawingObjectsDoNotFailTheWorkbook) {
  biff::Workbook wb;
  wb.globals = StandardGlobals();
  Stream s;
  s.rec(0x005D, Body().u16(0x0015).u16(0x0012).u16(0x0015).u16(1).u16(0));
  s.rec(0x0203, biff::Number(0, 0, 0, 7));
  wb.sheets.push_back({u"S", s});
  TMSExcel x;
  Parse(x, Container({{"Workbook", wb.Build()}}));
  EXPECT_EQ(Cell(x, 0, 0, 0)->Value().ToDouble(), 7);
}

TEST_F(BiffTest, SstErrorsGoThroughOnErrorProcess) {
  biff::Workbook wb;
  wb.globals = StandardGlobals();
  wb.globals.rec(0x00FC, Body().u32(1).u32(1).u16(1).u8(0x02).bytes("a"));
  wb.sheets.push_back({u"S", Stream().rec(0x0203, biff::Number(0, 0, 0, 5))});
  auto file = Container({{"Workbook", wb.Build()}});
  TMSExcel x;
  try {
    Parse(x, file);
    FAIL();
  } catch (const EQXIExcelException& e) {
    EXPECT_STREQ(e.what(), "String in SST (Options byte is 0x02) can not be processed.");
  }
  int errors = 0;
  x.OnErrorProcess = [&](TCustomSpreadSheetFile*, const std::exception&, bool& abort) {
    ++errors;
    abort = false;
  };
  Parse(x, file);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(Cell(x, 0, 0, 0)->Value().ToDouble(), 5);

}

// A table that claims more strings than its chain holds keeps what is
// there; the workbook's cells all load.
TEST_F(BiffTest, SstWithInflatedCountKeepsWhatItHolds) {
  biff::Workbook wb;
  // Six strings claimed; the record ends inside the third, and the next
  // record is no CONTINUE.
  wb.globals.rec(0x00FC, Body().u32(6).u32(6).str16(u"one").str16(u"two").u16(9).u8(0).bytes("thr"));
  wb.globals.rec(0x00FF, Body().u16(8));  // EXTSST
  Stream s;
  for (uint16_t i = 0; i < 5; ++i) s.rec(0x00FD, biff::LabelSst(0, i, 0, i == 4 ? 70000 : i));
  s.rec(0x0203, biff::Number(1, 0, 0, 25000));
  wb.sheets.push_back({u"S", s});
  TMSExcel x;
  Parse(x, Container({{"Workbook", wb.Build()}}));
  ASSERT_EQ(x.SharedStrings.size(), 3u);
  EXPECT_EQ(U16(Cell(x, 0, 0, 0)), u"one");
  EXPECT_EQ(U16(Cell(x, 0, 0, 1)), u"two");
  EXPECT_EQ(U16(Cell(x, 0, 0, 2)), u"thr");  // cut where the chain ends
  for (int col : {3, 4}) {  // beyond the table: an empty text
    const TQXICell* c = Cell(x, 0, 0, col);
    EXPECT_TRUE(!c || VarToStr(c->Value()).empty()) << col;
  }
  EXPECT_EQ(Cell(x, 0, 1, 0)->Value().ToDouble(), 25000);
  EXPECT_EQ(x.Sheets[0].Caption, u"S");

  // The count runs on past a CONTINUE and the end of the stream.
  biff::Workbook cont;
  cont.globals.rec(0x00FC, Body().u32(4).u32(4).str16(u"a")).rec(0x003C, Body().str16(u"b").u16(5).u8(1).utf16(u"c"));
  cont.sheets.push_back({u"S", Stream().rec(0x00FD, biff::LabelSst(0, 0, 0, 2))});
  Parse(x, Container({{"Workbook", cont.Build()}}));
  ASSERT_EQ(x.SharedStrings.size(), 3u);
  EXPECT_EQ(x.SharedStrings[1], "b");
  EXPECT_EQ(U16(Cell(x, 0, 0, 0)), u"c");
  // A stream that ends with the chain.
  Stream bare;
  bare.rec(0x0809, biff::Bof(0x0600, 0x0005)).rec(0x00FC, Body().u32(9).u32(9).str16(u"x").u16(4).u8(0).bytes("y"));
  EXPECT_NO_THROW(Parse(x, Container({{"Workbook", bare.d}})));
  ASSERT_EQ(x.SharedStrings.size(), 2u);
  EXPECT_EQ(x.SharedStrings[1], "y");
}

TEST_F(BiffTest, ShortOrWrongRecordsAreDroppedThroughTheErrorPath) {
  biff::Workbook wb;
  wb.globals = StandardGlobals();
  wb.globals.rec(0x00E0, Body().u16(1));                      // short XF: dropped quietly
  wb.globals.rec(0x0085, Body().u32(5).u8(0).u8(0).u8(200));  // BOUNDSHEET claiming 200 characters
  Stream s;
  s.rec(0x0203, Body().u16(0).u16(0).u16(0).u16(1));  // NUMBER without its value
  s.rec(0x00FD, biff::LabelSst(0, 1, 0, 7));         // no shared strings at all
  s.rec(0x00BD, Body().u16(0).u16(2));                // MULRK without cells
  s.rec(0x0204, Body().u16(0).u16(3).u16(0).u16(50).u8(0).bytes("short"));
  s.rec(0x0203, biff::Number(1, 0, 0, 42));
  wb.sheets.push_back({u"S", s});
  auto file = Container({{"Workbook", wb.Build()}});
  TMSExcel x;
  try {
    Parse(x, file);
    FAIL();
  } catch (const EQXIExcelException& e) {
    EXPECT_NE(std::string(e.what()).find("Record 0x0203"), std::string::npos) << e.what();
  }
  std::vector<std::string> messages;
  x.OnErrorProcess = [&](TCustomSpreadSheetFile*, const std::exception& e, bool& abort) {
    messages.push_back(e.what());
    abort = false;
  };
  Parse(x, file);
  EXPECT_EQ(messages.size(), 2u);
  EXPECT_EQ(Cell(x, 0, 1, 0)->Value().ToDouble(), 42);
  // A label shorter than its length says keeps the text that is there.
  EXPECT_EQ(U16(Cell(x, 0, 0, 3)), u"short");
}

TEST_F(BiffTest, PaddingRecordsAndBiff2DimensionsShareNumberZero) {
  // BIFF8: empty 0x0000 records pad the stream; one with data is no DIMENSIONS.
  biff::Workbook wb;
  Stream s;
  s.rec(0x0000).rec(0x0203, biff::Number(0, 0, 0, 1)).rec(0x0000);
  s.rec(0x0000, Body().u16(0).u16(900).u16(0).u16(90).u16(0));
  s.rec(0x0203, biff::Number(1, 1, 0, 2));
  wb.sheets.push_back({u"S", s});
  TMSExcel x;
  Parse(x, Container({{"Workbook", wb.Build()}}));
  EXPECT_EQ(Cell(x, 0, 1, 1)->Value().ToDouble(), 2);
  EXPECT_LT(x.Sheets[0].Cells.DimRowCount, 900);
  // BIFF2: 0x0000 is DIMENSIONS.
  Stream b2;
  b2.rec(0x0009, Body().u16(2).u16(0x10));
  b2.rec(0x0000, Body().u16(0).u16(40).u16(0).u16(6));
  b2.rec(0x0003, Body().u16(0).u16(0).u8(0).u8(0).u8(0).f64(1));
  b2.rec(0x000A);
  TCustomMemoryStream m(b2.d.data(), int64_t(b2.d.size()));
  x.ParsePlainStream(m);
  EXPECT_EQ(x.Sheets[0].Cells.DimRowCount, 40);
  EXPECT_EQ(x.Sheets[0].Cells.DimColCount, 6);
}

TEST_F(BiffTest, FormulaTextResultsContinueInContinueRecords) {
  // 12 characters: 5 compressed in STRING, 4 wide and 3 compressed in two CONTINUEs.
  auto sheet = [] {
    Stream s;
    s.rec(0x0006, biff::FormulaSpecial(0, 0, 0, 0, 0));
    s.rec(0x0207, Body().u16(12).u8(0).bytes("Hello"));
    s.rec(0x003C, Body().u8(1).utf16(u" wör"));
    s.rec(0x003C, Body().u8(0).bytes("ld!"));
    s.rec(0x0203, biff::Number(1, 0, 0, 7));
    return s;
  };
  biff::Workbook wb;
  wb.sheets.push_back({u"S", sheet()});
  TMSExcel x;
  Parse(x, Container({{"Workbook", wb.Build()}}));
  EXPECT_EQ(U16(Cell(x, 0, 0, 0)), u"Hello wörld!");
  EXPECT_EQ(Cell(x, 0, 1, 0)->Value().ToDouble(), 7);
  // A plain BIFF8 stream reads the chain too.
  Stream plain;
  plain.rec(0x0809, biff::Bof(0x0600, 0x0010)).append(sheet()).rec(0x000A);
  TCustomMemoryStream m(plain.d.data(), int64_t(plain.d.size()));
  x.ParsePlainStream(m);
  EXPECT_EQ(U16(Cell(x, 0, 0, 0)), u"Hello wörld!");
  EXPECT_EQ(Cell(x, 0, 1, 0)->Value().ToDouble(), 7);
}

TEST_F(BiffTest, Biff3And4AlignmentIsNotTheFillPattern) {
  for (uint16_t bof : {0x0209, 0x0409}) {
    Stream b;
    b.rec(bof, Body().u16(0).u16(0x10).u16(0));
    // Font, format, then alignment at byte 4 (left / right), fill pattern 3 at bytes 6-7.
    const uint16_t xf = bof == 0x0209 ? 0x0243 : 0x0443;
    b.rec(xf, Body().u8(0).u8(0).u16(0).u16(1).u16(0x0003).u16(0).u16(0));
    b.rec(xf, Body().u8(0).u8(0).u16(0).u16(3).u16(0x0000).u16(0).u16(0));
    b.rec(0x0203, biff::Number(0, 0, 0, 1));
    b.rec(0x0203, biff::Number(0, 1, 1, 2));
    b.rec(0x000A);
    TMSExcel x;
    TCustomMemoryStream m(b.d.data(), int64_t(b.d.size()));
    x.ParsePlainStream(m);
    EXPECT_EQ(Cell(x, 0, 0, 0)->Alignment(), taLeftJustify) << bof;
    EXPECT_EQ(Cell(x, 0, 0, 1)->Alignment(), taRightJustify) << bof;
  }
}

TEST_F(BiffTest, ErrorsInPlainStreamsNameTheirStreamOffset) {
  Stream b;
  b.rec(0x0809, biff::Bof(0x0500, 0x0010));                  // 4 + 8 bytes
  b.rec(0x0203, biff::Number(0, 0, 0, 1));                    // at 12, 4 + 14 bytes
  b.rec(0x0203, Body().u16(1).u16(0).u16(0).u16(0));          // at 30: no value
  b.rec(0x0203, biff::Number(2, 0, 0, 3));
  b.rec(0x000A);
  TMSExcel x;
  std::vector<std::string> messages;
  x.OnErrorProcess = [&](TCustomSpreadSheetFile*, const std::exception& e, bool& abort) {
    messages.push_back(e.what());
    abort = false;
  };
  TCustomMemoryStream m(b.d.data(), int64_t(b.d.size()));
  x.ParsePlainStream(m);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "Record 0x0203 (stream offset 30) is too short for its data.");
  EXPECT_EQ(Cell(x, 0, 2, 0)->Value().ToDouble(), 3);
}

TEST_F(BiffTest, StopsAndBudgetsAreNeverLetThroughByTheErrorHandler) {
  biff::Workbook wb;
  Stream s;
  for (int r = 0; r < 50; ++r) s.rec(0x0203, biff::Number(uint16_t(r), 0, 0, r));
  wb.sheets.push_back({u"S", s});
  auto file = Container({{"Workbook", wb.Build()}});
  TMSExcel x;
  x.OnErrorProcess = [](TCustomSpreadSheetFile*, const std::exception&, bool& abort) { abort = false; };
  x.MaxCellMemory = 1;
  EXPECT_THROW(Parse(x, file), EBudgetExceeded);
  x.MaxCellMemory = 0;
  TCancelToken stop;
  stop.Cancel();
  x.CancelToken = &stop;
  EXPECT_THROW(Parse(x, file), EOperationCanceled);
}

TEST_F(BiffTest, FilePassAsksForPasswordThenFails) {
  biff::Workbook wb;
  wb.globals.rec(0x002F, Body().u16(0).u16(0x1234).u16(0x5678));
  wb.sheets.push_back({u"S", Stream()});
  auto file = Container({{"Workbook", wb.Build()}});
  TMSExcel x;
  try {
    Parse(x, file);
    FAIL();
  } catch (const EQXIUnknownEncryptionException& e) {
    EXPECT_STREQ(e.what(), "The file is password-protected (XOR); this program cannot open protected files.");
  }
  EXPECT_TRUE(x.PasswordProtected());
  int asked = 0;
  x.Password = "first";
  x.OnPassword = [&](TCustomSpreadSheetFile*, std::string& pw, bool& more) {
    if (asked == 0) {
      EXPECT_EQ(pw, "first");
    }
    more = ++asked < 3;
  };
  EXPECT_THROW(Parse(x, file), EQXIUnknownEncryptionException);
  EXPECT_EQ(asked, 3);
}

// The scheme named by FILEPASS (and by the EncryptionInfo of an encrypted
// Open XML package met under a BIFF name).
TEST_F(BiffTest, ProtectedFilesNameTheirScheme) {
  auto messageOf = [](const std::vector<uint8_t>& file) {
    TMSExcel x;
    try {
      Parse(x, file);
    } catch (const EQXIUnknownEncryptionException& e) {
      EXPECT_TRUE(x.PasswordProtected());
      std::string m = e.what();
      size_t open = m.find('('), close = m.find(')');
      return open == std::string::npos || close == std::string::npos ? m : m.substr(open + 1, close - open - 1);
    }
    return std::string("<loaded>");
  };
  auto withFilePass = [](const Body& filePass, bool biff8 = true) {
    biff::Workbook wb;
    wb.biff8 = biff8;
    wb.globals.rec(0x002F, filePass);
    wb.sheets.push_back({u"S", Stream()});
    return Container({{biff8 ? "Workbook" : "Book", wb.Build()}});
  };
  const Body salt = Body().u32(1).u32(2).u32(3).u32(4);
  EXPECT_EQ(messageOf(withFilePass(Body().u16(1).u16(1).u16(1).append(salt).append(salt).append(salt))), "RC4");
  EXPECT_EQ(messageOf(withFilePass(Body().u16(1).u16(2).u16(2).u32(4).append(salt))), "RC4 CryptoAPI");
  EXPECT_EQ(messageOf(withFilePass(Body().u16(1).u16(4).u16(2).u32(4).append(salt))), "RC4 CryptoAPI");
  EXPECT_EQ(messageOf(withFilePass(Body().u16(0x1234).u16(0x5678), false)), "XOR");  // BIFF5
  EXPECT_EQ(messageOf(withFilePass(Body().u16(7).u16(1).u16(1))), "unknown encryption");
  EXPECT_EQ(messageOf(Container({{"EncryptionInfo", {4, 0, 4, 0, 0x40, 0, 0, 0}}, {"EncryptedPackage", {1, 2}}})),
            "Agile encryption");
  EXPECT_EQ(messageOf(Container({{"EncryptionInfo", {3, 0, 2, 0, 0x24, 0, 0, 0}}, {"EncryptedPackage", {1, 2}}})),
            "Standard encryption");
}

TEST_F(BiffTest, PlainBiff2AndBiff4Files) {
  // BIFF2: formats numbered by order, alignment from the third attribute byte.
  Stream b2;
  b2.rec(0x0009, Body().u16(2).u16(0x10));
  b2.rec(0x001E, Body().u8(7).bytes("General"));
  b2.rec(0x001E, Body().u8(6).bytes("d-mmm."));
  b2.rec(0x0002, Body().u16(0).u16(0).u8(0).u8(0).u8(3).u16(100));
  b2.rec(0x0002, Body().u16(0).u16(1).u8(0).u8(0).u8(2).u16(100));
  b2.rec(0x0002, Body().u16(1).u16(0).u8(0).u8(1).u8(1).u16(36526));
  b2.rec(0x0004, Body().u16(2).u16(3).u8(0).u8(0).u8(0).u8(3).bytes("a\xE9\n"));
  b2.rec(0x0006, Body().u16(3).u16(0).u8(0).u8(0).u8(0).f64(2.5).u8(0).u8(0));
  // XF 63 in the attributes: the XF is the one the IXFE before names (its
  // format and alignment), whatever the other attribute bytes say.
  b2.rec(0x0043, Body().u8(0).u8(0).u8(0).u8(1));
  b2.rec(0x0043, Body().u8(0).u8(0).u8(1).u8(2));
  b2.rec(0x0044, Body().u16(1));
  b2.rec(0x0003, Body().u16(4).u16(0).u8(63).u8(0).u8(0).f64(36526.5));
  b2.rec(0x0002, Body().u16(4).u16(1).u8(63).u8(0).u8(0).u16(7));  // the last IXFE holds
  b2.rec(0x0044, Body().u16(9));
  b2.rec(0x0002, Body().u16(4).u16(2).u8(63).u8(0).u8(0).u16(7));  // no such XF: the attributes
  b2.rec(0x000A);
  TMSExcel x;
  TCustomMemoryStream s2(b2.d.data(), int64_t(b2.d.size()));
  x.ParsePlainStream(s2);
  EXPECT_EQ(x.Version, evExcel2);
  EXPECT_EQ(Cell(x, 0, 0, 0)->CellType(), ictInteger);
  EXPECT_EQ(Cell(x, 0, 0, 0)->Alignment(), taRightJustify);
  EXPECT_EQ(Cell(x, 0, 0, 1)->Alignment(), taCenter);
  EXPECT_EQ(Cell(x, 0, 1, 0)->CellType(), ictDateTime);
  EXPECT_EQ(Cell(x, 0, 1, 0)->Alignment(), taLeftJustify);
  EXPECT_EQ(U16(Cell(x, 0, 2, 3)), u"a\u00E9\r\n");
  EXPECT_EQ(Cell(x, 0, 3, 0)->Value().ToDouble(), 2.5);
  const struct { int32_t Col; const char* Code; TAlignment Align; } ixfe[] = {
      {0, "d-mmm.", taCenter}, {1, "d-mmm.", taCenter}, {2, "General", taLeftJustify}};
  for (const auto& t : ixfe) {
    EXPECT_EQ(x.Sheets[0].Formats().Code(Cell(x, 0, 4, t.Col)->FormatIndex()), t.Code) << t.Col;
    EXPECT_EQ(Cell(x, 0, 4, t.Col)->Alignment(), t.Align) << t.Col;
  }
  // No DIMENSIONS: the extent comes from the cells.
  EXPECT_EQ(x.Sheets[0].Cells.DimRowCount, 5);
  EXPECT_EQ(x.Sheets[0].Cells.DimColCount, 4);

  // BIFF4: FORMAT records numbered by order; the XF picks the second one.
  Stream b4;
  b4.rec(0x0409, Body().u16(0).u16(0x10).u16(0));
  b4.rec(0x041E, Body().u16(0).u8(7).bytes("General"));
  b4.rec(0x041E, Body().u16(0).u8(4).bytes("0.0%"));
  b4.rec(0x041E, Body().u16(0).u8(10).bytes("yyyy-mm-dd"));
  b4.rec(0x0443, Body().u8(0).u8(0).u16(0).u16(0).u16(0).u16(0).u16(0));
  b4.rec(0x0443, Body().u8(0).u8(2).u16(0).u16(0).u16(0).u16(0).u16(0));
  b4.rec(0x0443, Body().u8(0).u8(1).u16(0).u16(0).u16(0).u16(0).u16(0));
  b4.rec(0x0203, biff::Number(0, 0, 1, 40000));
  b4.rec(0x0203, biff::Number(0, 1, 2, 0.5));
  b4.rec(0x0206, biff::FormulaSpecial(0, 2, 0, 0, 0));
  b4.rec(0x0207, Body().u16(2).bytes("ok"));
  b4.rec(0x000A);
  TCustomMemoryStream s4(b4.d.data(), int64_t(b4.d.size()));
  x.ParsePlainStream(s4);
  EXPECT_EQ(x.Version, evExcel4);
  EXPECT_EQ(Cell(x, 0, 0, 0)->CellType(), ictDateTime);
  EXPECT_EQ(Cell(x, 0, 0, 1)->Value().ToDouble(), 50);
  EXPECT_EQ(U16(Cell(x, 0, 0, 2)), u"ok");  // text results also in a plain file

  Stream bad;
  bad.rec(0x0105, Body().u16(0));
  TCustomMemoryStream sb(bad.d.data(), int64_t(bad.d.size()));
  EXPECT_THROW(x.ParsePlainStream(sb), EQXIFileFormatException);
}

TEST_F(BiffTest, SummaryStreamsFillPropertiesAndNeverFailTheLoad) {
  // A property set with one section holding Title (VT_LPSTR "Q3").
  Body ps;
  ps.u16(0xFFFE).u16(0).u32(0x00020005);
  for (int i = 0; i < 16; ++i) ps.u8(0);
  ps.u32(1);
  for (int i = 0; i < 16; ++i) ps.u8(0);
  ps.u32(48).u32(28).u32(1).u32(2).u32(16).u32(30).u32(3).bytes(std::string("Q3\0", 3)).u8(0);
  biff::Workbook wb;
  wb.sheets.push_back({u"S", Stream().rec(0x0203, biff::Number(0, 0, 0, 1))});
  TMSExcel x;
  Parse(x, Container({{"\005SummaryInformation", ps.d}, {"Workbook", wb.Build()}}));
  EXPECT_EQ(x.SummaryInformation.Title, "Q3");
  EXPECT_EQ(x.Sheets[0].DocumentProperties().Title, "Q3");  // the model has it for the writers
  // A damaged set costs the properties, not the workbook.
  auto damaged = ps.d;
  damaged.resize(60);
  Parse(x, Container({{"\005SummaryInformation", damaged}, {"Workbook", wb.Build()}}));
  EXPECT_EQ(x.SummaryInformation.Title, "");
  EXPECT_EQ(x.Sheets[0].DocumentProperties().Title, "");
  EXPECT_EQ(Cell(x, 0, 0, 0)->Value().ToDouble(), 1);
}

TEST_F(BiffTest, DamagedContainerNamesTheFile) {
  biff::Workbook wb;
  wb.sheets.push_back({u"S", Stream().rec(0x0203, biff::Number(0, 0, 0, 1))});
  CfbBuilder b;
  b.AddStream("Workbook", wb.Build());
  auto file = b.Build();
  CfbBuilder::Set32(file, 0x30, 0x7FFFFFF0);  // directory start far beyond the file
  std::string path = testing::TempDir() + "varnowe_damaged.xls";
  {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
  }
  TMSExcel x;
  try {
    x.LoadFromFile(path);
    FAIL();
  } catch (const EOleError& e) {
    std::string msg = e.what();
    EXPECT_NE(msg.find(path), std::string::npos) << msg;
    EXPECT_NE(msg.find("damaged"), std::string::npos) << msg;
  }
  std::remove(path.c_str());
}

TEST_F(BiffTest, ACutShortLastSectorReadsAsZerosWithAWarning) {
  biff::Workbook wb;
  wb.sheets.push_back({u"S", Stream().rec(0x0203, biff::Number(0, 0, 0, 5))});
  std::vector<uint8_t> file = Container({{"Workbook", wb.Build()}});
  file.resize(file.size() - 8);
  TMSExcel x;
  // Without a handler the load goes on: the bytes are only slack.
  Parse(x, file);
  EXPECT_EQ(Cell(x, 0, 0, 0)->Value().ToDouble(), 5);
  std::vector<std::string> warnings;
  x.OnErrorProcess = [&](TCustomSpreadSheetFile*, const std::exception& e, bool& abort) {
    EXPECT_FALSE(abort);
    warnings.push_back(e.what());
  };
  Parse(x, file);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0], "The compound document ends inside its last sector: the 8 missing bytes were read as zeros.");
  EXPECT_EQ(Cell(x, 0, 0, 0)->Value().ToDouble(), 5);
}
