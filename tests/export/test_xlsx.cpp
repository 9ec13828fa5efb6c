// The Open XML writer: the package (parts, order, content types, document
// properties), texts escaped so that every one comes back, numbers at full
// precision, the shared-string table, styles, the grid's limits, the
// dimension, the layouts that put cells out of order, rows streamed into the
// output; and its files read back by the program's own reader, openpyxl,
// LibreOffice and Gnumeric.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>
#include <set>

#include "BatchRun.h"
#include "CodePage.h"
#include "ConversionFrontEnd.h"
#include "ExportHandOff.h"
#include "ExportTestSupport.h"
#include "FakeUi.h"
#include "QXE2XLS.h"
#include "QXEEngQXI.h"
#include "QXIZipFile.h"
#include "TempDir.h"
#include "XlsxTestSupport.h"

namespace fs = std::filesystem;

namespace {

const std::time_t FixedTime = 1717245296;  // 2024-06-01T12:34:56Z

// The parts of a package in archive order.
std::vector<std::pair<std::string, std::string>> PackageParts(const std::string& path) {
  TFileStream file(path, fmOpenRead);
  TZipArchive zip;
  zip.Open(file);
  std::vector<std::pair<std::string, std::string>> parts;
  for (int32_t i = 0; i < zip.Count(); ++i) parts.emplace_back(zip.Files()[i].Name(), zip.GetFileData(i));
  return parts;
}

std::string PartOf(const std::string& path, const std::string& name) {
  for (auto& [n, data] : PackageParts(path))
    if (n == name) return data;
  return "(missing " + name + ")";
}

// The element of cell ref ("B2") in a sheet part; empty when there is none.
std::string CellElement(const std::string& sheetXml, const std::string& ref) {
  const size_t at = sheetXml.find("<c r=\"" + ref + "\"");
  if (at == std::string::npos) return "";
  const size_t selfClosed = sheetXml.find("/>", at), closed = sheetXml.find("</c>", at);
  const size_t tagEnd = sheetXml.find('>', at);
  if (selfClosed != std::string::npos && selfClosed + 1 == tagEnd) return sheetXml.substr(at, tagEnd + 1 - at);
  return sheetXml.substr(at, closed + 4 - at);
}

// The <si> entries of a shared-string part.
std::vector<std::string> SharedStrings(const std::string& sst) {
  std::vector<std::string> out;
  for (size_t at = sst.find("<si>"); at != std::string::npos; at = sst.find("<si>", at + 1))
    out.push_back(sst.substr(at + 4, sst.find("</si>", at) - at - 4));
  return out;
}

// A workbook as the program's own reader loads it.
std::unique_ptr<TSpreadSheetFile> LoadWorkbook(const std::string& path) {
  auto reader = TSpreadsheetConversion::CreateReader(TSpreadsheetConversion::ChooseReader(path));
  reader->LoadFromFile(path);
  return reader;
}

class XlsxTest : public ::testing::Test {
 protected:
  TQXEResult Export(const std::string& name, const TSpreadSheet& sheet,
                    const std::function<void(TQXExportToXLSX&)>& configure = {}) {
    W = std::make_unique<TQXExportToXLSX>();
    return ExecuteOver(*W, Tmp / name, sheet, [&] {
      W->DocumentTime = FixedTime;
      if (configure) configure(*W);
    });
  }
  std::string Sheet(const std::string& name) { return PartOf(Tmp / name, "xl/worksheets/sheet1.xml"); }
  // The first sheet as the program's own reader loads it.
  const TSpreadSheet& Load(const std::string& name) {
    R = LoadWorkbook(Tmp / name);
    return R->Sheets[0];
  }
  TTempDir Tmp;
  TFakeUi Ui;
  std::unique_ptr<TQXExportToXLSX> W;
  std::unique_ptr<TSpreadSheetFile> R;
};

TEST_F(XlsxTest, PackageHoldsItsPartsInOrderWithoutDirectories) {
  TSpreadSheet sheet;
  FillSheet(sheet, {{"name", "n"}, {"a", 1.5}});
  sheet.ColumnWidths = {12 * 256, 10 * 256};
  ASSERT_EQ(Export("p.xlsx", sheet), erCompleted) << W->FailureText();
  const auto parts = PackageParts(Tmp / "p.xlsx");
  std::vector<std::string> names;
  for (const auto& [n, data] : parts) {
    names.push_back(n);
    EXPECT_EQ(data.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n<", 0), 0u) << n;
  }
  // Content types first and the workbook among the first entries: what
  // file-type sniffers look for.
  // One sheet: the source's.
  EXPECT_EQ(names, (std::vector<std::string>{"[Content_Types].xml", "_rels/.rels", "xl/workbook.xml",
                                             "xl/_rels/workbook.xml.rels", "xl/theme/theme1.xml", "docProps/app.xml",
                                             "docProps/core.xml", "xl/worksheets/sheet1.xml",
                                             "xl/sharedStrings.xml", "xl/styles.xml"}));
  // Every part the content types and relationships name is there.
  const std::string types = parts[0].second;
  for (const auto& n : names) {
    if (n != "[Content_Types].xml" && n.find(".rels") == std::string::npos) {
      EXPECT_NE(types.find("PartName=\"/" + n + "\""), std::string::npos) << n;
    }
  }
  const std::string rels = PartOf(Tmp / "p.xlsx", "xl/_rels/workbook.xml.rels");
  for (const char* target : {"worksheets/sheet1.xml", "sharedStrings.xml", "styles.xml", "theme/theme1.xml"})
    EXPECT_NE(rels.find(std::string("Target=\"") + target + "\""), std::string::npos) << target;

  const std::string core = PartOf(Tmp / "p.xlsx", "docProps/core.xml");
  EXPECT_NE(core.find("<dcterms:created xsi:type=\"dcterms:W3CDTF\">2024-06-01T12:34:56Z</dcterms:created>"),
            std::string::npos) << core;
  EXPECT_NE(core.find("<dcterms:modified xsi:type=\"dcterms:W3CDTF\">2024-06-01T12:34:56Z</dcterms:modified>"),
            std::string::npos);
  // The sheet's own name ("Sheet1" when it has none to give).
  EXPECT_NE(PartOf(Tmp / "p.xlsx", "xl/workbook.xml").find("<sheets><sheet name=\"Sheet1\" sheetId=\"1\" r:id=\"rId1\"/></sheets>"),
            std::string::npos);
  EXPECT_NE(PartOf(Tmp / "p.xlsx", "xl/theme/theme1.xml").find("name=\"Тема Office\""), std::string::npos);

  // The sheet part as a whole: the dimension patched to the cells written.
  EXPECT_EQ(Sheet("p.xlsx"),
            "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
            "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
            "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
            "<dimension ref=\"A1:B2\"                />"
            "<sheetViews><sheetView tabSelected=\"1\" workbookViewId=\"0\"><selection activeCell=\"A1\" sqref=\"A1\"/>"
            "</sheetView></sheetViews><sheetFormatPr defaultRowHeight=\"15\"/>"
            // The widths as the source has them (1/256 of a character).
            "<cols><col min=\"1\" max=\"1\" width=\"12\" customWidth=\"1\"/>"
            "<col min=\"2\" max=\"2\" width=\"10\" customWidth=\"1\"/></cols>"
            "<sheetData><row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" t=\"s\"><v>1</v></c></row>"
            "<row r=\"2\"><c r=\"A2\" t=\"s\"><v>2</v></c><c r=\"B2\"><v>1.5</v></c></row></sheetData>"
            "<pageMargins left=\"0.7\" right=\"0.7\" top=\"0.75\" bottom=\"0.75\" header=\"0.3\" footer=\"0.3\"/>"
            "</worksheet>");
  EXPECT_NE(PartOf(Tmp / "p.xlsx", "xl/sharedStrings.xml").find("count=\"3\" uniqueCount=\"3\""), std::string::npos);

  // Without a string, the string table is there all the same (the content
  // types name it) and empty.
  TSpreadSheet numbers;
  FillSheet(numbers, {{int64_t(1)}});
  ASSERT_EQ(Export("n.xlsx", numbers), erCompleted);
  EXPECT_NE(PartOf(Tmp / "n.xlsx", "xl/sharedStrings.xml").find("count=\"0\" uniqueCount=\"0\"></sst>"),
            std::string::npos);
  // A name without an extension gets the workbook's.
  ASSERT_EQ(Export("", numbers, [&](TQXExportToXLSX& w) { w.FileName = Tmp / "noext"; }), erCompleted);
  EXPECT_TRUE(fs::exists(Tmp / "noext.XLSX"));
}

TEST_F(XlsxTest, EveryTextComesBackAsItWas) {
  const std::vector<std::u16string> texts = {
      u"Привет, мир",
      u"漢字かな交じり文",
      u"emoji \U0001F600 and \U0001D11E",
      u"\u00A9 & < > \" ' done",
      std::u16string(u"bell\u0007 nul\u0000 esc\u001B us\u001F end", 23),
      u"_x0041_ stays, _x00e9_ too, _X0041_ and _x004_ and _x004G_",
      u"_x005F_ already protected",
      u"line\r\nbreaks\rand\nfeeds\tand tabs",
      u"  leading and trailing  ",
      u"\r",
      u"non-characters \uFFFE \uFFFF",
      u"lone \xD800 surrogate \xDC00",
      u"Case",
      u"case",
  };
  TSpreadSheet sheet;
  for (size_t i = 0; i < texts.size(); ++i) sheet.Cells.SetCell(0, int32_t(i), ictString, 0, taLeftJustify, TVariant(texts[i]));
  ASSERT_EQ(Export("t.xlsx", sheet), erCompleted) << W->FailureText();

  const auto si = SharedStrings(PartOf(Tmp / "t.xlsx", "xl/sharedStrings.xml"));
  ASSERT_EQ(si.size(), texts.size());
  EXPECT_EQ(si[3], "<t>\xC2\xA9 &amp; &lt; &gt; \" ' done</t>");
  EXPECT_EQ(si[4], "<t>bell_x0007_ nul_x0000_ esc_x001B_ us_x001F_ end</t>");
  EXPECT_EQ(si[5], "<t>_x005F_x0041_ stays, _x005F_x00e9_ too, _X0041_ and _x004_ and _x004G_</t>");
  EXPECT_EQ(si[6], "<t>_x005F_x005F_ already protected</t>");
  EXPECT_EQ(si[7], "<t>line&#13;\nbreaks&#13;and\nfeeds\tand tabs</t>");
  EXPECT_EQ(si[8], "<t xml:space=\"preserve\">  leading and trailing  </t>");
  EXPECT_EQ(si[9], "<t xml:space=\"preserve\">&#13;</t>");
  EXPECT_EQ(si[10], "<t>non-characters _xFFFE_ _xFFFF_</t>");
  EXPECT_EQ(si[11], "<t>lone \xEF\xBF\xBD surrogate \xEF\xBF\xBD</t>");
  EXPECT_EQ(si[2], "<t>emoji \xF0\x9F\x98\x80 and \xF0\x9D\x84\x9E</t>");

  // The program's own reader decodes what was written.
  const TSpreadSheet& back = Load("t.xlsx");
  for (size_t i = 0; i < texts.size(); ++i) {
    std::u16string want = texts[i];
    if (i == 11) want = u"lone \uFFFD surrogate \uFFFD";
    const TQXICell* c = back.Cells.GetCell(0, int32_t(i));
    ASSERT_NE(c, nullptr) << i;
    EXPECT_EQ(Utf16ToUtf8(c->WideValue().empty() ? AnsiToWide(c->StringValue()) : c->WideValue()), Utf16ToUtf8(want))
        << i;
  }
}

TEST_F(XlsxTest, EightBitTextIsReadInTheSystemCodePage) {
  TSpreadSheet sheet;
  // Under UTF-8 a malformed byte becomes U+FFFD and never breaks the part.
  FillSheet(sheet, {{"\xD0\x94\xD0\xB0"}, {"bad \xFF\xC3 byte"}, {"a & b"}});
  ASSERT_EQ(Export("u.xlsx", sheet), erCompleted) << W->FailureText();
  auto si = SharedStrings(PartOf(Tmp / "u.xlsx", "xl/sharedStrings.xml"));
  ASSERT_EQ(si.size(), 3u);
  EXPECT_EQ(si[0], "<t>\xD0\x94\xD0\xB0</t>");
  EXPECT_EQ(si[1], "<t>bad \xEF\xBF\xBD\xEF\xBF\xBD byte</t>");
  EXPECT_EQ(si[2], "<t>a &amp; b</t>");

  // Windows-1251: the same word from its own bytes; "©" of 1252 likewise.
  SetACPOverride(1251);
  TSpreadSheet cyr;
  FillSheet(cyr, {{"\xC4\xE0"}});
  const TQXEResult r = Export("c.xlsx", cyr, [](TQXExportToXLSX& w) {
    w.Header = {"\xC4\xE0 header"};
  });
  SetACPOverride(1252);
  TSpreadSheet copyright;
  FillSheet(copyright, {{"\xA9 1999"}});
  const TQXEResult r2 = Export("w.xlsx", copyright);
  SetACPOverride(0);
  ASSERT_EQ(r, erCompleted);
  ASSERT_EQ(r2, erCompleted);
  si = SharedStrings(PartOf(Tmp / "c.xlsx", "xl/sharedStrings.xml"));
  ASSERT_EQ(si.size(), 2u);
  EXPECT_EQ(si[0], "<t>\xD0\x94\xD0\xB0 header</t>");
  EXPECT_EQ(si[1], "<t>\xD0\x94\xD0\xB0</t>");
  EXPECT_EQ(SharedStrings(PartOf(Tmp / "w.xlsx", "xl/sharedStrings.xml"))[0], "<t>\xC2\xA9 1999</t>");
}

TEST_F(XlsxTest, NumbersKeepFullPrecisionAndTheirKind) {
  TSpreadSheet sheet;
  FillSheet(sheet, {{0.1, 1.0 / 3, 1e300, 1e-300, -0.0, int64_t(9007199254740993), std::nan(""), INFINITY},
                    {true, false, TVariant::DateTime(45000), TVariant::DateTime(45000.75), 65535.5, int64_t(-12)}});
  // A decimal comma must not reach the numbers.
  ASSERT_EQ(Export("v.xlsx", sheet, [](TQXExportToXLSX& w) { w.DataFormats.DecimalSeparator = ','; }), erCompleted)
      << W->FailureText();
  const std::string x = Sheet("v.xlsx");
  EXPECT_EQ(CellElement(x, "A1"), "<c r=\"A1\"><v>0.1</v></c>");
  EXPECT_EQ(CellElement(x, "B1"), "<c r=\"B1\"><v>0.3333333333333333</v></c>");
  EXPECT_EQ(CellElement(x, "C1"), "<c r=\"C1\"><v>1e+300</v></c>");
  EXPECT_EQ(CellElement(x, "D1"), "<c r=\"D1\"><v>1e-300</v></c>");
  EXPECT_EQ(CellElement(x, "E1"), "<c r=\"E1\"><v>-0</v></c>");
  EXPECT_EQ(CellElement(x, "F1"), "<c r=\"F1\"><v>9007199254740993</v></c>");  // an integer, exactly, in General
  EXPECT_EQ(CellElement(x, "G1"), "<c r=\"G1\" t=\"e\"><v>#NUM!</v></c>");
  EXPECT_EQ(CellElement(x, "H1"), "<c r=\"H1\" t=\"e\"><v>#NUM!</v></c>");
  EXPECT_EQ(CellElement(x, "A2"), "<c r=\"A2\" t=\"b\"><v>1</v></c>");
  EXPECT_EQ(CellElement(x, "B2"), "<c r=\"B2\" t=\"b\"><v>0</v></c>");
  // Date-times the source shows in General: a date at midnight, else date and time.
  EXPECT_EQ(CellElement(x, "C2"), "<c r=\"C2\" s=\"1\"><v>45000</v></c>");
  EXPECT_EQ(CellElement(x, "D2"), "<c r=\"D2\" s=\"2\"><v>45000.75</v></c>");
  EXPECT_EQ(CellElement(x, "F2"), "<c r=\"F2\"><v>-12</v></c>");
  const std::string styles = PartOf(Tmp / "v.xlsx", "xl/styles.xml");
  EXPECT_NE(styles.find("<cellXfs count=\"3\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"/>"
                        "<xf numFmtId=\"14\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyNumberFormat=\"1\"/>"
                        "<xf numFmtId=\"22\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyNumberFormat=\"1\"/>"
                        "</cellXfs>"),
            std::string::npos)
      << styles;
  // Every number reads back as the same double.
  const TSpreadSheet& back = Load("v.xlsx");
  EXPECT_EQ(back.Cells.GetCell(1, 0)->NumberValue(), 1.0 / 3);
  EXPECT_EQ(back.Cells.GetCell(3, 0)->NumberValue(), 1e-300);
  EXPECT_EQ(back.Cells.GetCell(3, 1)->NumberValue(), 45000.75);
}

TEST_F(XlsxTest, TextsWithATypeBecomeValues) {
  TSpreadSheet sheet;
  FillSheet(sheet, {{"x"}});
  auto constant = [](TQXExportToXLSX& w, TCellType type, const std::string& text) {
    TQXEColumn* c = w.Columns.Add();
    c->ColumnKind = ckConstant;
    c->DataType = type;
    c->FieldName = text;
  };
  ASSERT_EQ(Export("k.xlsx", sheet, [&](TQXExportToXLSX& w) {
              w.DataFormats.CurrencyString = "\xE2\x82\xAC";  // €
              w.DataFormats.ThousandSeparator = '.';
              w.DataFormats.DecimalSeparator = ',';
              constant(w, ctCurrency, "1.234,50 \xE2\x82\xAC");
              constant(w, ctCurrency, "(12,00)");
              constant(w, ctInteger, "42");
              constant(w, ctDouble, "2,5");
              constant(w, ctBoolean, "True");
              constant(w, ctBoolean, "maybe");
            }),
            erCompleted)
      << W->FailureText();
  const std::string x = Sheet("k.xlsx");
  EXPECT_EQ(CellElement(x, "A1"), "<c r=\"A1\" s=\"1\"><v>1234.5</v></c>");  // never "$1.234.50"
  EXPECT_EQ(CellElement(x, "B1"), "<c r=\"B1\" s=\"1\"><v>-12</v></c>");
  EXPECT_EQ(CellElement(x, "C1"), "<c r=\"C1\" s=\"2\"><v>42</v></c>");
  EXPECT_EQ(CellElement(x, "D1"), "<c r=\"D1\" s=\"3\"><v>2.5</v></c>");
  EXPECT_EQ(CellElement(x, "E1"), "<c r=\"E1\" t=\"b\"><v>1</v></c>");
  EXPECT_EQ(CellElement(x, "F1"), "<c r=\"F1\" t=\"s\"><v>0</v></c>");
  const std::string styles = PartOf(Tmp / "k.xlsx", "xl/styles.xml");
  EXPECT_NE(styles.find("<numFmts count=\"1\"><numFmt numFmtId=\"164\" formatCode=\"&quot;\xE2\x82\xAC&quot;#,##0.00\"/>"),
            std::string::npos)
      << styles;

  // A number column whose text is no number keeps the text (every Excel
  // writer alike: nothing fails, nothing becomes 0).
  ASSERT_EQ(Export("text.xlsx", sheet, [&](TQXExportToXLSX& w) { constant(w, ctDouble, "abc"); }), erCompleted);
  EXPECT_EQ(CellElement(Sheet("text.xlsx"), "A1"), "<c r=\"A1\" t=\"s\"><v>0</v></c>");
}

TEST(XlsxSharedStrings, OneEntryPerTextFoundByHash) {
  TQXEXLSSST sst;
  EXPECT_EQ(sst.Add("a"), 0);
  EXPECT_EQ(sst.Add("A"), 1);  // letter case counts
  EXPECT_EQ(sst.Add("a"), 0);
  EXPECT_EQ(sst.Add(""), 2);
  // Far past the first table size: every text keeps its index.
  for (int i = 0; i < 300000; ++i) ASSERT_EQ(sst.Add("text " + std::to_string(i)), i + 3);
  for (int i = 0; i < 300000; i += 7) ASSERT_EQ(sst.Add("text " + std::to_string(i)), i + 3);
  EXPECT_EQ(sst.Count(), 300003);
  EXPECT_EQ(sst[4], "text 1");
  EXPECT_EQ(sst[2], "");
  EXPECT_EQ(sst.References(), 4 + 300000 + 42858);
  sst.Clear();
  EXPECT_EQ(sst.Count(), 0);
  EXPECT_EQ(sst.Add("A"), 0);
}

TEST_F(XlsxTest, GridLimitsFailWithTheirNumberAndLeaveNoFile) {
  TSpreadSheet rows;
  rows.Cells.SetCell(0, 1048576, ictInteger, 0, taLeftJustify, TVariant(int64_t(1)));
  std::ofstream(Tmp / "r.xlsx") << "older";
  EXPECT_EQ(Export("r.xlsx", rows), erFailed);
  EXPECT_EQ(W->FailureText(), "MS Excel spreadsheet can not contain more than 1048576 rows");
  EXPECT_EQ(ReadFileText(Tmp / "r.xlsx"), "older");

  TSpreadSheet wide;
  wide.Cells.SetCell(16384, 0, ictString, 0, taLeftJustify, TVariant("beyond"));
  EXPECT_EQ(Export("w.xlsx", wide), erFailed);
  EXPECT_EQ(W->FailureText(), "MS Excel spreadsheet can not contain more than 16384 columns");

  // The last row and the last column are written.
  TSpreadSheet right, bottom;
  right.Cells.SetCell(16383, 0, ictString, 0, taLeftJustify, TVariant("right"));
  bottom.Cells.SetCell(0, 1048575, ictString, 0, taLeftJustify, TVariant("bottom"));
  ASSERT_EQ(Export("r.xlsx", right), erCompleted) << W->FailureText();
  EXPECT_NE(CellElement(Sheet("r.xlsx"), "XFD1"), "");
  EXPECT_NE(Sheet("r.xlsx").find("<dimension ref=\"XFD1\""), std::string::npos);
  ASSERT_EQ(Export("b.xlsx", bottom), erCompleted) << W->FailureText();
  EXPECT_NE(CellElement(Sheet("b.xlsx"), "A1048576"), "");

  // Header and footer lines count against the rows.
  EXPECT_EQ(Export("h.xlsx", bottom, [](TQXExportToXLSX& w) { w.Header = {"h"}; }), erFailed);

  // Declared rows and columns beyond the used ones cost nothing.
  TSpreadSheet declared;
  FillSheet(declared, {{"a"}});
  declared.Cells.DimRowCount = 1 << 24;
  declared.Cells.DimColCount = 1 << 16;
  ASSERT_EQ(Export("d.xlsx", declared), erCompleted) << W->FailureText();
  EXPECT_NE(Sheet("d.xlsx").find("<dimension ref=\"A1\""), std::string::npos);
}

TEST_F(XlsxTest, DimensionIsWhatWasWritten) {
  TSpreadSheet sheet;
  sheet.Cells.SetCell(2, 1, ictString, 0, taLeftJustify, TVariant("c2"));
  sheet.Cells.SetCell(3, 4, ictString, 0, taLeftJustify, TVariant("d5"));
  ASSERT_EQ(Export("a.xlsx", sheet), erCompleted);
  EXPECT_NE(Sheet("a.xlsx").find("<dimension ref=\"C2:D5\"                /><sheetViews>"), std::string::npos);
  // Header and footer lines go to column B, around the data.
  ASSERT_EQ(Export("b.xlsx", sheet, [](TQXExportToXLSX& w) {
              w.Header = {"top"};
              w.Footer = {"end"};
            }),
            erCompleted);
  const std::string b = Sheet("b.xlsx");
  EXPECT_NE(b.find("<dimension ref=\"B1:D7\""), std::string::npos) << b;
  EXPECT_NE(CellElement(b, "B7"), "");  // the footer is in the sheet
  // Blank cells with soExportBlankValues, and each file of a split export
  // a package of its own.
  TSpreadSheet gaps;
  FillSheet(gaps, {{"a", TVariant(), "c"}, {"d"}, {"e"}, {"f"}, {"g"}});
  ASSERT_EQ(Export("g.xlsx", gaps, [](TQXExportToXLSX& w) {
              w.SetOption(soExportBlankValues, true);
              w.RowsPerFile = 2;
            }),
            erCompleted);
  EXPECT_EQ(CellElement(Sheet("g.xlsx"), "B1"), "<c r=\"B1\"/>");
  EXPECT_NE(Sheet("g.xlsx").find("<dimension ref=\"A1:C2\""), std::string::npos);
  for (const char* name : {"g001.xlsx", "g002.xlsx"}) {
    const auto parts = PackageParts(Tmp / name);
    ASSERT_EQ(parts.size(), 10u) << name;
    EXPECT_EQ(SharedStrings(PartOf(Tmp / name, "xl/sharedStrings.xml")).size(), name[3] == '1' ? 2u : 1u) << name;
  }
  EXPECT_NE(CellElement(Sheet("g002.xlsx"), "A1"), "");
  // No cell at all.
  TSpreadSheet empty;
  ASSERT_EQ(Export("e.xlsx", empty), erCompleted);
  EXPECT_NE(Sheet("e.xlsx").find("<dimension ref=\"A1\""), std::string::npos);
  EXPECT_NE(Sheet("e.xlsx").find("<sheetData></sheetData>"), std::string::npos);
}

TEST_F(XlsxTest, LayoutsThatPutCellsOutOfOrderAreSorted) {
  TSpreadSheet sheet;
  FillSheet(sheet, {{"a", "b", "c"}, {int64_t(1), int64_t(2), int64_t(3)}});
  ASSERT_EQ(Export("rev.xlsx", sheet, [](TQXExportToXLSX& w) {
              w.Layout = elReversedColumnar;
              w.Header = {"head"};
            }),
            erCompleted)
      << W->FailureText();
  const TSpreadSheet& back = Load("rev.xlsx");
  // Records become columns after the header line's row... column B, where
  // the first record's first cell takes the header's place (the later cell
  // stays).
  EXPECT_EQ(VarToStr(back.Cells.GetCellValue(1, 0)), "a");
  EXPECT_EQ(VarToStr(back.Cells.GetCellValue(1, 2)), "c");
  EXPECT_EQ(VarToStr(back.Cells.GetCellValue(2, 2)), "3");
  const std::string x = Sheet("rev.xlsx");
  EXPECT_LT(x.find("r=\"B1\""), x.find("r=\"C1\""));
  EXPECT_LT(x.find("r=\"C1\""), x.find("r=\"B2\""));
  EXPECT_EQ(x.find("r=\"A1\""), std::string::npos);

  ASSERT_EQ(Export("tab.xlsx", sheet, [](TQXExportToXLSX& w) {
              w.Layout = elTabularForm;
              w.AddTitle = true;
            }),
            erCompleted)
      << W->FailureText();
  const TSpreadSheet& tab = Load("tab.xlsx");
  EXPECT_EQ(VarToStr(tab.Cells.GetCellValue(0, 0)), "a");  // label, value
  EXPECT_EQ(VarToStr(tab.Cells.GetCellValue(1, 0)), "a");
  EXPECT_EQ(VarToStr(tab.Cells.GetCellValue(1, 5)), "3");
}

TEST_F(XlsxTest, ColoursFontsAndAlignment) {
  TSpreadSheet sheet;
  FillSheet(sheet, {{"a", 1.5}, {"b", 2.5}});
  ASSERT_EQ(Export("k.xlsx", sheet, [](TQXExportToXLSX& w) {
              w.SetOption(soColorsFonts, true);
              w.ExportStyle.SetStyle(esBrick);
              w.Columns.Add()->FieldName = "Field0";
              TQXEColumn* c = w.Columns.Add();
              c->FieldName = "Field1";
              c->Font.Name = "Sans & \"Serif\"";
              c->Font.Style = fsBold | fsItalic;
              c->Font.Color = RGBColor(255, 0, 0);
              c->Alignment = taCenter;
            }),
            erCompleted)
      << W->FailureText();
  const std::string styles = PartOf(Tmp / "k.xlsx", "xl/styles.xml");
  EXPECT_NE(styles.find("<font><b/><i/><sz val=\"8\"/><color rgb=\"FFFF0000\"/>"
                        "<name val=\"Sans &amp; &quot;Serif&quot;\"/></font>"),
            std::string::npos)
      << styles;
  // esBrick: odd rows CFDFDF, even rows A0BFBF (stored blue-green-red).
  EXPECT_NE(styles.find("<fgColor rgb=\"FFDFDFCF\"/>"), std::string::npos) << styles;
  EXPECT_NE(styles.find("<fgColor rgb=\"FFBFBFA0\"/>"), std::string::npos) << styles;
  EXPECT_NE(styles.find("applyAlignment=\"1\"><alignment horizontal=\"center\"/></xf>"), std::string::npos);
  const std::string x = Sheet("k.xlsx");
  EXPECT_NE(CellElement(x, "A1"), CellElement(x, "A2").replace(7, 1, "1"));  // rows differ in colour
}

TEST_F(XlsxTest, RowsReachTheOutputWhileTheExportRuns) {
  TSpreadSheet sheet;
  std::mt19937 rng(5);
  for (int32_t r = 0; r < 40000; ++r)
    for (int32_t c = 0; c < 5; ++c) sheet.Cells.SetCell(c, r, ictDecimal, 0, taLeftJustify, TVariant(double(rng())));
  TQXExportToXLSX w;
  TQXESpreadsheetDataEngine engine;
  engine.SetSpreadSheet(&sheet);
  w.SetOption(soShowMessage, false);
  w.AnimatedStatus = false;
  w.ColumnSource = csDataEngine;
  w.SetDataEngine(&engine);
  TMemoryStream out;
  int64_t seenAtRow30000 = 0;
  int records = 0;
  w.OnAfterRecord = [&](TQXECustomBaseComponent*, bool&) {
    if (++records == 30000) seenAtRow30000 = out.Size();
  };
  w.ExportToStream(out);
  ASSERT_EQ(w.Statistic.Result, erCompleted) << w.FailureText();
  // 30,000 of 40,000 rows are in the output (deflated) before the end.
  EXPECT_GT(seenAtRow30000, out.Size() * 6 / 10);
  TTempDir tmp;
  out.SaveToFile(tmp / "s.xlsx");
  EXPECT_EQ(LoadWorkbook(tmp / "s.xlsx")->Sheets[0].Cells.RowCount, 40000);
}

// Every file above read back by other programs: the package checked by
// Python's zipfile and XML parser and by unzip, the cells by openpyxl, by
// LibreOffice and by Gnumeric, with the source's values and types.
TEST_F(XlsxTest, OtherProgramsReadTheFiles) {
  if (!HavePythonModule("openpyxl")) GTEST_SKIP() << "openpyxl missing (scripts/install-deps.sh installs it)";
  struct TCase {
    std::string Name;
    std::vector<std::vector<TVariant>> Rows;
  };
  std::vector<TCase> cases = {
      {"types", {{"name", "value"}, {"pi", 3.14159265358979}, {"third", 1.0 / 3}, {"big", 123456789.125},
                 {"neg", int64_t(-123456789)}, {"tiny", 1e-300}, {"huge", 1e300}, {"yes", true}, {"no", false},
                 {"day", TVariant::DateTime(45000)}, {"moment", TVariant::DateTime(45000.75)}}},
      {"texts", {{std::u16string(u"Привет, мир")}, {std::u16string(u"漢字かな交じり文")},
                 {std::u16string(u"emoji \U0001F600 \U0001D11E")}, {std::u16string(u"\u00A9 & < > \" '")},
                 {std::u16string(u"bell\u0007 esc\u001B end")}, {std::u16string(u"_x0041_ literally")},
                 {std::u16string(u"  spaced  ")}, {std::u16string(u"two\nlines")}, {"Case"}, {"case"}}},
  };
  std::vector<std::string> files;
  for (const auto& c : cases) {
    TSpreadSheet sheet;
    FillSheet(sheet, c.Rows);
    ASSERT_EQ(Export(c.Name + ".xlsx", sheet), erCompleted) << c.Name << ": " << W->FailureText();
    files.push_back(Tmp / (c.Name + ".xlsx"));
  }
  // Time of day, texts in the header and footer, colours and fonts, a
  // currency constant, many rows.
  TSpreadSheet more;
  more.Cells.SetCell(0, 0, ictTime, 0, taLeftJustify, TVariant::DateTime(0.5));
  for (int32_t r = 1; r < 5000; ++r) {
    more.Cells.SetCell(0, r, ictInteger, 0, taRightJustify, TVariant(int64_t(r)));
    more.Cells.SetCell(1, r, ictString, 0, taCenter, TVariant("row " + std::to_string(r % 50)));
  }
  ASSERT_EQ(Export("more.xlsx", more, [](TQXExportToXLSX& w) {
              w.SetOption(soColorsFonts, true);
              w.ExportStyle.SetStyle(esMaple);
              w.Header = {"Report & <totals>"};
              w.Footer = {"\xC2\xA9 2024"};
              w.Columns.Add()->FieldName = "Field0";
              w.Columns.Add()->FieldName = "Field1";
              TQXEColumn* c = w.Columns.Add();
              c->ColumnKind = ckConstant;
              c->DataType = ctCurrency;
              c->FieldName = "$1,234.50";
            }),
            erCompleted)
      << W->FailureText();
  files.push_back(Tmp / "more.xlsx");

  // What each cell must read back as.
  auto expected = [&](size_t file, const std::string& key) -> std::string {
    if (file == cases.size()) {
      const int r = std::stoi(key), c = std::stoi(key.substr(key.find(',') + 1));
      if (key == "0,1") return "s:Report & <totals>";
      if (key == "1,0") return "d:0.5";
      if (key == "5001,1") return "s:\xC2\xA9 2024";
      if (c == 2 && r >= 1 && r <= 5000) return "n:1234.5";
      if (r >= 2 && r <= 5000 && c == 0) return "n:" + std::to_string(r - 1);
      if (r >= 2 && r <= 5000 && c == 1) return "s:row " + std::to_string((r - 1) % 50);
      return "(none)";
    }
    const TCase& c = cases[file];
    const size_t r = size_t(std::stoi(key)), col = size_t(std::stoi(key.substr(key.find(',') + 1)));
    if (r >= c.Rows.size() || col >= c.Rows[r].size()) return "(none)";
    const TVariant& v = c.Rows[r][col];
    switch (v.Type()) {
      case TVarType::Boolean: return std::string("b:") + (v.AsBoolean() ? "1" : "0");
      case TVarType::DateTime: return "d:" + Format("%.17g", v.AsDateTime());
      case TVarType::Integer:
      case TVarType::Float: return "n:" + Format("%.17g", v.ToDouble());
      case TVarType::WideString: return "s:" + Utf16ToUtf8(v.AsWide());
      default: return "s:" + v.AsString();
    }
  };
  auto check = [&](const std::string& reader, const std::map<std::string, TReadBack>& got,
                   const std::vector<std::string>& paths) {
    for (size_t i = 0; i < paths.size(); ++i) {
      auto it = got.find(paths[i]);
      ASSERT_NE(it, got.end()) << reader << " gave nothing for " << paths[i];
      ASSERT_EQ(it->second.Error, "") << reader << ": " << paths[i];
      std::set<std::string> keys;
      for (const auto& [k, v] : it->second.Cells) keys.insert(k);
      if (i < cases.size())
        for (size_t r = 0; r < cases[i].Rows.size(); ++r)
          for (size_t c = 0; c < cases[i].Rows[r].size(); ++c) keys.insert(std::to_string(r) + "," + std::to_string(c));
      for (const auto& k : keys) {
        auto cell = it->second.Cells.find(k);
        std::string g = cell == it->second.Cells.end() ? "(none)" : cell->second;
        const std::string want = expected(i, k);
        if (SameAsOpenpyxl(want, g)) g = want;
        // LibreOffice writes 15 significant digits, whatever it read.
        if (reader == "LibreOffice" && g[0] == 'n' && want[0] == 'n' && g != want)
          g = "n:" + Format("%.15g", std::stod(g.substr(2))) == "n:" + Format("%.15g", std::stod(want.substr(2))) ? want : g;
        EXPECT_EQ(g, want) << reader << " " << paths[i] << " " << k;
      }
    }
  };

  // The package: zip entries, every part well-formed XML, no directories.
  std::string script = Tmp / "parts.py";
  std::ofstream(script) << R"PY(
import sys, zipfile, xml.dom.minidom
for path in sys.argv[1:]:
    z = zipfile.ZipFile(path)
    bad = z.testzip()
    if bad: print(path, "bad CRC", bad)
    for i in z.infolist():
        if i.is_dir(): print(path, "directory entry", i.filename)
        try: xml.dom.minidom.parseString(z.read(i.filename))
        except Exception as e: print(path, i.filename, e)
print("checked")
)PY";
  std::string cmd = "/usr/bin/python3 " + ShellQuote(script);
  for (const auto& f : files) cmd += " " + ShellQuote(f);
  EXPECT_EQ(RunCapture(cmd + " 2>&1"), "checked\n");
  if (HaveProgram("unzip")) {
    for (const auto& f : files) {
      const std::string out = RunCapture("unzip -t " + ShellQuote(f) + " 2>&1");
      EXPECT_NE(out.find("No errors detected"), std::string::npos) << out;
    }
  }

  check("openpyxl", ReadBack(files, Tmp.Dir()), files);
  if (HaveProgram("soffice")) {
    const auto converted = ConvertWithLibreOffice(files, Tmp / "lo");
    check("LibreOffice", ReadBack(converted, Tmp.Dir()), converted);
  } else if (!ReadBacksOff()) {
    ADD_FAILURE() << "soffice is not installed (scripts/install-deps.sh installs it)";
  }
  if (HaveProgram("ssconvert")) {
    std::vector<std::string> warnings;
    const auto converted = ConvertWithGnumeric(files, Tmp / "gnm", &warnings);
    for (size_t i = 0; i < warnings.size(); ++i) EXPECT_EQ(warnings[i], "") << files[i];
    check("Gnumeric", ReadBack(converted, Tmp.Dir()), converted);
  } else if (!ReadBacksOff()) {
    ADD_FAILURE() << "ssconvert is not installed (scripts/install-deps.sh installs it)";
  }
}

TEST(XlsxHandOff, IndexFiveWritesWorkbooksAndFailuresRaise) {
  TTempDir tmp;
  TFakeUi ui;
  TSpreadSheets sheets;
  FillSheet(sheets.GetSheet(0), {{"a", int64_t(1)}});
  sheets.GetSheet(1);  // empty: left out
  FillSheet(sheets.GetSheet(2), {{"c"}});
  TSpreadsheetConversion::WriteWorkbook(sheets, tmp / "book.xlsx", 5);
  EXPECT_EQ(ReadFileText(tmp / "book.xlsx").substr(0, 2), "PK");
  EXPECT_FALSE(fs::exists(tmp / "book1.xlsx"));
  EXPECT_EQ(ReadFileText(tmp / "book2.xlsx").substr(0, 2), "PK");
  EXPECT_TRUE(ui.Messages.empty());

  TSpreadSheet big;
  big.Caption = u"Big";
  big.Cells.SetCell(0, 1048576, ictInteger, 0, taLeftJustify, TVariant(int64_t(1)));
  try {
    ExportXLSX(tmp / "big.xlsx", big);
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Sheet \"Big\": MS Excel spreadsheet can not contain more than 1048576 rows");
  }
  EXPECT_FALSE(fs::exists(tmp / "big.xlsx"));

  // varnowe-batch --format xlsx.
  const fs::path book = fs::path(VARNOWE_CORPUS_DIR) / "xls" / "sjs_1900.xls";
  if (TBatchRun::Built() && fs::exists(book)) {
    TBatchRun run;
    const std::string out = run.Run({book}, "--format xlsx");
    EXPECT_NE(out.find("1 converted, 0 failed"), std::string::npos) << out;
    EXPECT_EQ(PackageParts(run.Out() / "sjs_1900.xlsx").size(), 10u);  // one sheet
  }

  TSpreadSheet sheet;
  FillSheet(sheet, std::vector<std::vector<TVariant>>(100, {"x"}));
  int polls = 0;
  EXPECT_THROW(ExportXLSX(tmp / "s.xlsx", sheet, [&] { return ++polls > 10; }), EQXEExportCanceled);
  EXPECT_FALSE(fs::exists(tmp / "s.xlsx"));
}

}  // namespace
