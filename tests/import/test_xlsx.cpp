#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <cstring>
#include <map>
#include <thread>

#include "CodePage.h"
#include "DateTime.h"
#include "QXXLSX.h"
#include "ZipBuilder.h"

namespace {

const char* const kRootRels =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/"
    "relationships\"><Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
    "relationships/officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>";

std::string Rel(const std::string& id, const std::string& type, const std::string& target) {
  return "<Relationship Id=\"" + id + "\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/" +
         type + "\" Target=\"" + target + "\"/>";
}

std::string Rels(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Relationships>" + body + "</Relationships>";
}

std::string Sheet(const std::string& rows) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<worksheet xmlns=\"x\"><dimension "
         "ref=\"A1\"/><sheetData>" +
         rows + "</sheetData></worksheet>";
}

struct Loaded {
  TMSExcelX Reader;
  std::string Bytes;
  explicit Loaded(const std::map<std::string, std::string>& parts) {
    ZipBuilder b;
    for (const auto& [name, data] : parts) b.Add(name, data);
    Bytes = b.Build();
    TCustomMemoryStream s(Bytes.data(), int64_t(Bytes.size()));
    Reader.LoadFromStream(s);
  }
  const TQXICell* Cell(int sheet, int row, int col) { return Reader.Sheets[sheet].Cells.GetCell(col, row); }
  std::string Text(int sheet, int row, int col) {
    const TQXICell* c = Cell(sheet, row, col);
    if (!c) return "<none>";
    TVariant v = c->Value();
    return v.Type() == TVarType::WideString ? Utf16ToUtf8(v.AsWide()) : v.IsText() ? AnsiToUtf8(v.AsString()) : "<not text>";
  }
  std::string Caption(int sheet) { return Utf16ToUtf8(Reader.Sheets[sheet].Caption); }
};

std::map<std::string, std::string> Workbook(const std::string& sheets, const std::string& wbRels,
                                            const std::string& extraWorkbook = "") {
  return {{"_rels/.rels", kRootRels},
          {"xl/workbook.xml", "<?xml version=\"1.0\"?><workbook xmlns:r=\"r\">" + extraWorkbook + "<sheets>" + sheets +
                                  "</sheets></workbook>"},
          {"xl/_rels/workbook.xml.rels", Rels(wbRels)}};
}

std::string ExpectLoadError(const std::string& bytes) {
  TMSExcelX r;
  TCustomMemoryStream s(bytes.data(), int64_t(bytes.size()));
  try {
    r.LoadFromStream(s);
  } catch (const Exception& e) {
    return e.Message();
  }
  return "<no error>";
}

}  // namespace

TEST(XLSXReader, SheetsFollowTheRelationshipsInWorkbookOrder) {
  auto parts = Workbook(
      "<sheet name=\"First &amp; Co\" sheetId=\"1\" r:id=\"rId7\"/><sheet name=\"Chart\" sheetId=\"2\" r:id=\"rId2\"/>"
      "<sheet name=\"Third\" sheetId=\"3\" r:id=\"rId1\"/>",
      Rel("rId1", "worksheet", "worksheets/sheet1.xml") + Rel("rId2", "chartsheet", "chartsheets/sheet1.xml") +
          Rel("rId7", "worksheet", "/xl/worksheets/sheet3.xml"));
  parts["xl/worksheets/sheet1.xml"] = Sheet("<row r=\"1\"><c r=\"A1\"><v>3</v></c></row>");
  parts["xl/worksheets/sheet3.xml"] = Sheet("<row r=\"1\"><c r=\"A1\"><v>1</v></c></row>");
  parts["xl/chartsheets/sheet1.xml"] = "<chartsheet/>";
  Loaded l(parts);
  ASSERT_EQ(l.Reader.Sheets.Count(), 3);
  EXPECT_EQ(l.Caption(0), "First & Co");
  EXPECT_EQ(l.Caption(1), "Chart");
  EXPECT_EQ(l.Caption(2), "Third");
  EXPECT_EQ(l.Cell(0, 0, 0)->Value().ToDouble(), 1);
  EXPECT_EQ(l.Reader.Sheets[1].Cells.Count(), 0);
  EXPECT_EQ(l.Cell(2, 0, 0)->Value().ToDouble(), 3);
  EXPECT_EQ(l.Reader.Version, evExcel12);
}

TEST(XLSXReader, SkippedSheetsAreAnnouncedButNotRead) {
  auto parts = Workbook("<sheet name=\"a\" r:id=\"rId1\"/><sheet name=\"b\" r:id=\"rId2\"/>",
                        Rel("rId1", "worksheet", "worksheets/sheet1.xml") + Rel("rId2", "worksheet", "worksheets/sheet2.xml"));
  // The unread sheet is damaged: reading it would fail the load.
  parts["xl/worksheets/sheet1.xml"] = Sheet("<row><c t=\"s\"><v>99</v></c></row>");
  parts["xl/worksheets/sheet2.xml"] = Sheet("<row><c><v>2</v></c></row>");
  ZipBuilder b;
  for (const auto& [n, d] : parts) b.Add(n, d);
  std::string bytes = b.Build();
  TMSExcelX r;
  r.SelectedSheet = 1;
  TCustomMemoryStream s(bytes.data(), int64_t(bytes.size()));
  r.LoadFromStream(s);
  ASSERT_EQ(r.Sheets.Count(), 2);
  EXPECT_EQ(r.Sheets[0].Cells.Count(), 0);
  EXPECT_EQ(r.Sheets[1].Cells.GetCell(0, 0)->Value().ToDouble(), 2);
}

TEST(XLSXReader, NumberedPartsWhenRelationshipsAreMissing) {
  auto parts = Workbook("<sheet name=\"a\" sheetId=\"1\" r:id=\"rId1\"/><sheet name=\"b\" sheetId=\"2\" r:id=\"rId2\"/>",
                        "");
  parts.erase("xl/_rels/workbook.xml.rels");
  parts.erase("_rels/.rels");
  parts["xl/worksheets/sheet2.xml"] = Sheet("<row r=\"2\"><c r=\"B2\"><v>5</v></c></row>");
  Loaded l(parts);
  ASSERT_EQ(l.Reader.Sheets.Count(), 2);
  EXPECT_EQ(l.Reader.Sheets[0].Cells.Count(), 0);
  EXPECT_EQ(l.Cell(1, 1, 1)->Value().ToDouble(), 5);
}

TEST(XLSXReader, EveryCellTypeWithoutFailingTheFile) {
  auto parts = Workbook("<sheet name=\"S\" sheetId=\"1\" r:id=\"rId1\"/>",
                        Rel("rId1", "worksheet", "worksheets/sheet1.xml") +
                            Rel("rId2", "sharedStrings", "sharedStrings.xml") + Rel("rId3", "styles", "styles.xml"));
  parts["xl/sharedStrings.xml"] =
      "<?xml version=\"1.0\"?><sst><si><t>plain</t></si>"
      "<si><r><rPr><b/></rPr><t xml:space=\"preserve\">Hello </t></r><r><t>World</t></r><rPh><t>ph</t></rPh></si>"
      "<si><t>a &amp;amp; b_x000D_&#10;c</t></si></sst>";
  parts["xl/styles.xml"] =
      "<?xml version=\"1.0\"?><styleSheet><numFmts><numFmt numFmtId=\"164\" formatCode=\"[=0]?;[h]:mm\"/></numFmts>"
      "<cellStyleXfs><xf numFmtId=\"14\"/></cellStyleXfs>"
      "<cellXfs><xf numFmtId=\"0\"/><xf numFmtId=\"14\"/><xf numFmtId=\"10\"/><xf numFmtId=\"164\"/></cellXfs>"
      "</styleSheet>";
  parts["xl/worksheets/sheet1.xml"] = Sheet(
      "<row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" t=\"s\"><v>1</v></c><c r=\"C1\" t=\"s\"><v>2</v></c></row>"
      "<row r=\"2\"><c r=\"A2\" t=\"str\"><f>A1&amp;\"x\"</f><v>p&lt;x</v></c>"
      "<c r=\"B2\" t=\"inlineStr\"><is><r><t>in</t></r><r><t>line</t></r></is></c>"
      "<c r=\"C2\" t=\"b\"><v>1</v></c><c r=\"D2\" t=\"e\"><v>#DIV/0!</v></c>"
      "<c r=\"E2\" t=\"d\"><v>2024-03-01T12:00:00Z</v></c><c r=\"F2\" t=\"n\"><v>not a number</v></c>"
      "<c r=\"G2\"><f>1+1</f></c></row>"
      "<row r=\"3\"><c r=\"A3\" s=\"1\"><v>45000</v></c><c r=\"B3\" s=\"2\"><v>0.25</v></c>"
      "<c r=\"C3\" s=\"3\"><v>0.5</v></c><c r=\"aa10\"><v>7</v></c></row>");
  Loaded l(parts);
  EXPECT_EQ(l.Text(0, 0, 0), "plain");
  EXPECT_EQ(l.Text(0, 0, 1), "Hello World");
  EXPECT_EQ(l.Text(0, 0, 2), "a &amp; b\r\nc");
  EXPECT_EQ(l.Text(0, 1, 0), "p<x");
  EXPECT_EQ(l.Cell(0, 1, 0)->CellType(), ictString);
  EXPECT_EQ(l.Text(0, 1, 1), "inline");
  EXPECT_EQ(l.Cell(0, 1, 2)->CellType(), ictBoolean);
  EXPECT_EQ(l.Cell(0, 1, 2)->Value(), TVariant(true));
  EXPECT_EQ(l.Cell(0, 1, 3)->CellType(), ictUnknown);
  EXPECT_EQ(l.Text(0, 1, 3), "#DIV/0!");
  EXPECT_EQ(l.Cell(0, 1, 4)->CellType(), ictDateTime);
  EXPECT_DOUBLE_EQ(l.Cell(0, 1, 4)->Value().AsDateTime(), 45352.5);
  EXPECT_EQ(l.Text(0, 1, 5), "not a number");  // kept as text rather than failing the file
  EXPECT_EQ(l.Cell(0, 1, 6), nullptr);          // a formula without a cached value
  EXPECT_EQ(l.Cell(0, 2, 0)->CellType(), ictDateTime);
  EXPECT_DOUBLE_EQ(l.Cell(0, 2, 0)->Value().AsDateTime(), 45000);
  EXPECT_EQ(l.Cell(0, 2, 1)->CellType(), ictDecimal);
  EXPECT_DOUBLE_EQ(l.Cell(0, 2, 1)->Value().ToDouble(), 25);
  EXPECT_EQ(l.Cell(0, 2, 2)->CellType(), ictDecimal);  // conditional format, number first
  EXPECT_EQ(l.Cell(0, 9, 26)->Value().ToDouble(), 7);
}

TEST(XLSXReader, ImplicitCoordinatesAndDate1904) {
  auto parts = Workbook("<sheet name=\"S\" sheetId=\"1\" r:id=\"rId1\"/>",
                        Rel("rId1", "worksheet", "worksheets/sheet1.xml") + Rel("rId3", "styles", "styles.xml"),
                        "<workbookPr date1904=\"1\"/>");
  parts["xl/styles.xml"] = "<styleSheet><cellXfs><xf numFmtId=\"0\"/><xf numFmtId=\"14\"/></cellXfs></styleSheet>";
  parts["xl/worksheets/sheet1.xml"] =
      Sheet("<row><c><v>1</v></c><c><v>2</v></c><c r=\"E1\"><v>3</v></c><c><v>4</v></c></row>"
            "<row><c s=\"1\"><v>0</v></c></row><row r=\"7\"><c><v>5</v></c></row><row><c><v>6</v></c></row>");
  Loaded l(parts);
  EXPECT_EQ(l.Cell(0, 0, 0)->Value().ToDouble(), 1);
  EXPECT_EQ(l.Cell(0, 0, 1)->Value().ToDouble(), 2);
  EXPECT_EQ(l.Cell(0, 0, 4)->Value().ToDouble(), 3);
  EXPECT_EQ(l.Cell(0, 0, 5)->Value().ToDouble(), 4);
  EXPECT_DOUBLE_EQ(l.Cell(0, 1, 0)->Value().AsDateTime(), 1462);  // 1 January 1904
  EXPECT_EQ(l.Cell(0, 6, 0)->Value().ToDouble(), 5);
  EXPECT_EQ(l.Cell(0, 7, 0)->Value().ToDouble(), 6);
}

// The declared extent and the column widths reach the model, the widths in
// 1/256 of a character and only as far as the cells reach.
TEST(XLSXReader, DimensionAndColumnWidths) {
  auto parts = Workbook("<sheet name=\"S\" r:id=\"rId1\"/><sheet name=\"T\" r:id=\"rId2\"/>",
                        Rel("rId1", "worksheet", "worksheets/sheet1.xml") + Rel("rId2", "worksheet", "worksheets/sheet2.xml"));
  parts["xl/worksheets/sheet1.xml"] =
      "<worksheet><dimension ref=\"B2:d10\"/><cols><col min=\"1\" max=\"2\" width=\"10.7109375\" customWidth=\"1\"/>"
      "<col min=\"4\" max=\"16384\" width=\"5\"/><col min=\"2\" max=\"2\" width=\"0\" hidden=\"1\"/>"
      "<col min=\"7\" max=\"3\"/><col min=\"0\" max=\"1\" width=\"9\"/></cols>"
      "<sheetData><row r=\"2\"><c r=\"B2\"><v>1</v></c><c r=\"E2\"><v>2</v></c></row></sheetData></worksheet>";
  // No dimension, and cells beyond what it would say: the cells' extent.
  parts["xl/worksheets/sheet2.xml"] =
      "<worksheet><sheetData><row r=\"3\"><c r=\"E3\"><v>1</v></c></row></sheetData><cols><col min=\"1\" max=\"1\" "
      "width=\"1e300\"/></cols></worksheet>";
  Loaded l(parts);
  const TSpreadSheet& s = l.Reader.Sheets[0];
  EXPECT_EQ(s.Cells.DimRowCount, 10);
  EXPECT_EQ(s.Cells.DimColCount, 5);  // the cells reach beyond the declared D
  EXPECT_EQ(s.ColumnWidths, (std::vector<int32_t>{2742, 0, 0, 1280, 1280}));
  const TSpreadSheet& t = l.Reader.Sheets[1];
  EXPECT_EQ(t.Cells.DimRowCount, 3);
  EXPECT_EQ(t.Cells.DimColCount, 5);
  EXPECT_TRUE(t.ColumnWidths.empty());  // a width no column can have is not kept
}

// workbook.xml names no sheet: the names docProps/app.xml lists, as many as
// its heading pairs count worksheets, then numbered ones.
TEST(XLSXReader, SheetNamesFromTheApplicationProperties) {
  const std::string app =
      "<?xml version=\"1.0\"?><Properties xmlns:vt=\"v\"><Application>Writer</Application><HeadingPairs>"
      "<vt:vector size=\"4\" baseType=\"variant\"><vt:variant><vt:lpstr>Worksheets</vt:lpstr></vt:variant>"
      "<vt:variant><vt:i4>3</vt:i4></vt:variant><vt:variant><vt:lpstr>Named Ranges</vt:lpstr></vt:variant>"
      "<vt:variant><vt:i4>1</vt:i4></vt:variant></vt:vector></HeadingPairs><TitlesOfParts><vt:vector size=\"4\" "
      "baseType=\"lpstr\"><vt:lpstr>Alpha &amp; Co</vt:lpstr><vt:lpstr>Beta</vt:lpstr><vt:lpstr>Gamma</vt:lpstr>"
      "<vt:lpstr>Print_Area</vt:lpstr></vt:vector></TitlesOfParts></Properties>";
  auto parts = Workbook("", "");
  parts.erase("xl/_rels/workbook.xml.rels");
  parts["docProps/app.xml"] = app;
  parts["docProps/core.xml"] =
      "<cp:coreProperties><dc:title>Q &amp; A</dc:title><dc:creator>Ann</dc:creator>"
      "<dcterms:created>2009-05-12T10:20:30Z</dcterms:created></cp:coreProperties>";
  parts["xl/worksheets/sheet1.xml"] = Sheet("<row><c><v>1</v></c></row>");
  parts["xl/worksheets/sheet2.xml"] = Sheet("<row><c><v>2</v></c></row>");
  Loaded l(parts);
  ASSERT_EQ(l.Reader.Sheets.Count(), 3);  // the third part is missing: an empty sheet
  EXPECT_EQ(l.Caption(0), "Alpha & Co");
  EXPECT_EQ(l.Caption(1), "Beta");
  EXPECT_EQ(l.Caption(2), "Gamma");
  EXPECT_EQ(l.Cell(1, 0, 0)->Value().ToDouble(), 2);
  EXPECT_EQ(l.Reader.SummaryInformation.AppName, "Writer");
  const TDocumentProperties& props = l.Reader.Sheets[2].DocumentProperties();
  EXPECT_EQ(props.Title + "|" + props.Author, "Q & A|Ann");
  EXPECT_NEAR(props.Created, EncodeDate(2009, 5, 12) + EncodeTime(10, 20, 30, 0), 1e-6);

  // Sheet entries without names take the listed names by position.
  parts = Workbook("<sheet r:id=\"rId1\"/><sheet r:id=\"rId2\"/><sheet r:id=\"rId3\"/><sheet r:id=\"rId4\"/>",
                   Rel("rId1", "worksheet", "worksheets/sheet1.xml") + Rel("rId2", "worksheet", "worksheets/sheet2.xml"));
  parts["docProps/app.xml"] = app;
  Loaded m(parts);
  ASSERT_EQ(m.Reader.Sheets.Count(), 4);
  EXPECT_EQ(m.Caption(0), "Alpha & Co");
  EXPECT_EQ(m.Caption(3), "Sheet4");
}

TEST(XLSXReader, WhatIsNotAWorkbookFailsClearly) {
  const std::string invalid = "Invalid file version or file format.";
  EXPECT_EQ(ExpectLoadError("plain text, not a package"), invalid);
  EXPECT_EQ(ExpectLoadError(""), invalid);
  ZipBuilder odf;
  odf.Add("mimetype", "application/vnd.oasis.opendocument.spreadsheet", 0);
  odf.Add("content.xml", "<office:document-content/>");
  EXPECT_EQ(ExpectLoadError(odf.Build()), invalid);
  ZipBuilder pptx;
  pptx.Add("_rels/.rels", Rels(Rel("rId1", "officeDocument", "ppt/presentation.xml")));
  pptx.Add("ppt/presentation.xml", "<?xml version=\"1.0\"?><p:presentation/>");
  EXPECT_EQ(ExpectLoadError(pptx.Build()), invalid);
  // A damaged part names itself.
  ZipBuilder bad;
  bad.Add("xl/workbook.xml", "<workbook><sheets><sheet name=\"a\" r:id=\"rId1\"/></sheets></workbook>");
  bad.Add("xl/worksheets/sheet1.xml", Sheet("<row><c><v>1</v></c></row>")).CrcOverride = 1;
  EXPECT_EQ(ExpectLoadError(bad.Build()), "CRC Error in \"xl/worksheets/sheet1.xml\".");
  ZipBuilder sst;
  sst.Add("xl/workbook.xml", "<workbook><sheets><sheet name=\"Data\" r:id=\"rId1\"/></sheets></workbook>");
  sst.Add("xl/worksheets/sheet1.xml", Sheet("<row r=\"3\"><c r=\"B3\" t=\"s\"><v>4</v></c></row>"));
  EXPECT_EQ(ExpectLoadError(sst.Build()), "The shared string 4 does not exist (sheet \"Data\", cell B3).");
}

TEST(XLSXReader, Utf16PartsAndPrefixedNames) {
  auto toUtf16 = [](const std::u16string& s) {
    std::string b = "\xFF\xFE";
    for (char16_t c : s) {
      b += char(c & 0xFF);
      b += char(c >> 8);
    }
    return b;
  };
  std::map<std::string, std::string> parts = {
      {"xl/workbook.xml",
       toUtf16(u"<?xml version=\"1.0\" encoding=\"utf-16\"?><x:workbook xmlns:x=\"m\"><x:sheets><x:sheet "
               u"name=\"\u00DCbersicht\" sheetId=\"1\"/></x:sheets></x:workbook>")},
      {"xl/worksheets/sheet1.xml",
       toUtf16(u"<?xml version=\"1.0\" encoding=\"utf-16\"?><x:worksheet><x:sheetData><x:row r=\"1\"><x:c r=\"A1\" "
               u"t=\"inlineStr\"><x:is><x:t>\u20AC 5</x:t></x:is></x:c></x:row></x:sheetData></x:worksheet>")}};
  Loaded l(parts);
  ASSERT_EQ(l.Reader.Sheets.Count(), 1);
  EXPECT_EQ(l.Caption(0), "\xC3\x9C" "bersicht");
  EXPECT_EQ(l.Text(0, 0, 0), "\xE2\x82\xAC 5");
}

TEST(XLSXReader, HelpersDecodeWhatFilesHold) {
  int32_t c = 0, r = 0;
  EXPECT_TRUE(TMSExcelX::DecodeCellRef(u"AA10", 4, c, r));
  EXPECT_EQ(c, 26);
  EXPECT_EQ(r, 9);
  EXPECT_TRUE(TMSExcelX::DecodeCellRef(u"$B$2", 4, c, r));
  EXPECT_EQ(c, 1);
  EXPECT_EQ(r, 1);
  EXPECT_FALSE(TMSExcelX::DecodeCellRef(u"12", 2, c, r));
  // An address past any grid saturates instead of failing, so the cell reaches the grid check.
  EXPECT_TRUE(TMSExcelX::DecodeCellRef(u"ZZZZZZZ1", 8, c, r));
  EXPECT_EQ(c, INT32_MAX - 1);
  double d = 0;
  EXPECT_TRUE(TMSExcelX::ParseISODateTime(u"1899-12-31", d));
  EXPECT_DOUBLE_EQ(d, 1);
  EXPECT_TRUE(TMSExcelX::ParseISODateTime(u"10:10:10", d));
  EXPECT_NEAR(d, (10 * 3600 + 610) / 86400.0, 1e-12);
  EXPECT_FALSE(TMSExcelX::ParseISODateTime(u"2024-02-30", d));
  EXPECT_FALSE(TMSExcelX::ParseISODateTime(u"soon", d));
  EXPECT_EQ(TMSExcelX::ResolvePartName("xl/workbook.xml", "worksheets/sheet1.xml"), "xl/worksheets/sheet1.xml");
  EXPECT_EQ(TMSExcelX::ResolvePartName("xl/workbook.xml", "/xl/a.xml"), "xl/a.xml");
  EXPECT_EQ(TMSExcelX::ResolvePartName("xl/workbook.xml", "..\\b\\c.xml"), "b/c.xml");
  EXPECT_EQ(TMSExcelX::ResolvePartName("", "xl/workbook.xml"), "xl/workbook.xml");
  std::u16string t = u"a_x000D_b_x005F_x000D_c_xZZZZ_";
  TMSExcelX::DecodeXStringEscapes(t);
  EXPECT_EQ(t, u"a\rb_x000D_c_xZZZZ_");
}

// ---------------------------------------------------------------------------
// The binary variant

namespace {

std::string Rec(uint32_t type, const std::string& data) {
  std::string r;
  do {
    uint8_t b = type & 0x7F;
    type >>= 7;
    r += char(b | (type ? 0x80 : 0));
  } while (type);
  uint32_t n = uint32_t(data.size());
  do {
    uint8_t b = n & 0x7F;
    n >>= 7;
    r += char(b | (n ? 0x80 : 0));
  } while (n);
  return r + data;
}
std::string U32(uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
std::string U16(uint16_t v) { return std::string{char(v), char(v >> 8)}; }
std::string WStr(const std::u16string& s) {
  std::string r = U32(uint32_t(s.size()));
  for (char16_t c : s) r += U16(c);
  return r;
}
std::string F64(double d) {
  std::string r(8, '\0');
  std::memcpy(r.data(), &d, 8);
  return r;
}
std::string CellHead(uint32_t col, uint32_t xf) { return U32(col) + U32(xf); }

}  // namespace

TEST(XLSBReader, PublishedRecordLayouts) {
  std::map<std::string, std::string> parts;
  parts["_rels/.rels"] = Rels(Rel("rId1", "officeDocument", "xl/workbook.bin"));
  parts["xl/workbook.bin"] = Rec(0x83, "") + Rec(0x99, U32(1)) +
                             Rec(0x9C, U32(0) + U32(1) + WStr(u"rId2") + WStr(u"Numbers")) +
                             Rec(0x9C, U32(0) + U32(0) + U32(2) + WStr(u"rId1") + WStr(u"Old layout")) + Rec(0x84, "");
  parts["xl/_rels/workbook.bin.rels"] =
      Rels(Rel("rId1", "worksheet", "worksheets/sheet1.bin") + Rel("rId2", "worksheet", "worksheets/sheet2.bin"));
  parts["xl/styles.bin"] = Rec(0x2C, U16(164) + WStr(u"yyyy-mm-dd")) + Rec(0x272, "") +
                           Rec(0x2F, U16(0xFFFF) + U16(14) + U16(0) + std::string(10, '\0')) + Rec(0x273, "") +
                           Rec(0x269, "") + Rec(0x2F, U16(0) + U16(0) + U16(0) + std::string(10, '\0')) +
                           Rec(0x2F, U16(0) + U16(164) + U16(0) + std::string(10, '\0')) +
                           Rec(0x2F, U16(0) + U16(9) + U16(0) + std::string(10, '\0')) + Rec(0x26A, "");
  parts["xl/sharedStrings.bin"] = Rec(0x9F, U32(2) + U32(2)) + Rec(0x13, std::string(1, '\0') + WStr(u"first")) +
                                  Rec(0x13, std::string(1, '\1') + WStr(u"rich") + U32(0)) + Rec(0xA0, "");
  parts["xl/worksheets/sheet2.bin"] =
      Rec(0x81, "") + Rec(0x00, U32(0) + std::string(20, '\0')) +
      Rec(0x02, CellHead(0, 0) + U32(0x3FF80000)) +   // RK 1.5
      Rec(0x02, CellHead(1, 0) + U32((123 << 2) | 2 | 1)) +  // RK integer 123 / 100
      Rec(0x05, CellHead(2, 1) + F64(45000)) +               // date
      Rec(0x05, CellHead(3, 2) + F64(0.5)) +                 // percent
      Rec(0x00, U32(1) + std::string(20, '\0')) + Rec(0x01, CellHead(0, 0)) +
      Rec(0x03, CellHead(1, 0) + std::string(1, '\x07')) + Rec(0x04, CellHead(2, 0) + std::string(1, '\1')) +
      Rec(0x06, CellHead(3, 0) + WStr(u"inline")) + Rec(0x07, CellHead(4, 0) + U32(1)) +
      Rec(0x08, CellHead(5, 0) + WStr(u"formula text") + U16(0)) + Rec(0x09, CellHead(6, 0) + F64(2.5) + U16(0)) +
      Rec(0x0A, CellHead(7, 0) + std::string(1, '\0') + U16(0)) +
      Rec(0x0B, CellHead(8, 0) + std::string(1, '\x2A') + U16(0)) + Rec(0x82, "");
  parts["xl/worksheets/sheet1.bin"] = Rec(0x81, "") + Rec(0x00, U32(4)) + Rec(0x07, CellHead(2, 0) + U32(0)) + Rec(0x82, "");
  Loaded l(parts);
  EXPECT_EQ(l.Reader.Version, evExcel12Bin);
  ASSERT_EQ(l.Reader.Sheets.Count(), 2);
  EXPECT_EQ(l.Caption(0), "Numbers");
  EXPECT_EQ(l.Caption(1), "Old layout");
  EXPECT_DOUBLE_EQ(l.Cell(0, 0, 0)->Value().ToDouble(), 1.5);
  EXPECT_DOUBLE_EQ(l.Cell(0, 0, 1)->Value().ToDouble(), 1.23);
  EXPECT_EQ(l.Cell(0, 0, 2)->CellType(), ictDateTime);
  EXPECT_DOUBLE_EQ(l.Cell(0, 0, 2)->Value().AsDateTime(), 45000 + 1462);
  EXPECT_DOUBLE_EQ(l.Cell(0, 0, 3)->Value().ToDouble(), 50);
  EXPECT_EQ(l.Cell(0, 1, 0), nullptr);
  EXPECT_EQ(l.Text(0, 1, 1), "#DIV/0!");
  EXPECT_EQ(l.Cell(0, 1, 1)->CellType(), ictUnknown);
  EXPECT_EQ(l.Cell(0, 1, 2)->Value(), TVariant(true));
  EXPECT_EQ(l.Text(0, 1, 3), "inline");
  EXPECT_EQ(l.Text(0, 1, 4), "rich");
  EXPECT_EQ(l.Text(0, 1, 5), "formula text");
  EXPECT_DOUBLE_EQ(l.Cell(0, 1, 6)->Value().ToDouble(), 2.5);
  EXPECT_EQ(l.Cell(0, 1, 7)->Value(), TVariant(false));
  EXPECT_EQ(l.Text(0, 1, 8), "#N/A");
  EXPECT_EQ(l.Text(1, 4, 2), "first");
}

// The short cell records carry no column: each takes the one after the
// previous cell of its row, the first column when it opens the row.
TEST(XLSBReader, ShortCellRecordsAndSheetGeometry) {
  std::map<std::string, std::string> parts;
  parts["xl/workbook.bin"] = Rec(0x9C, U32(0) + U32(1) + WStr(u"rId1") + WStr(u"Short"));
  parts["xl/sharedStrings.bin"] = Rec(0x13, std::string(1, '\0') + WStr(u"shared"));
  const std::string rowHeader = std::string(13, '\0') + U32(1) + U32(0) + U32(20);  // spans name a block, not a row
  parts["xl/worksheets/sheet1.bin"] =
      Rec(0x81, "") + Rec(0x94, U32(0) + U32(9) + U32(0) + U32(12)) +  // A1:M10
      Rec(0x186, "") + Rec(0x3C, U32(0) + U32(1) + U32(2742) + U32(0) + U16(0)) +
      Rec(0x3C, U32(3) + U32(16383) + U32(512) + U32(0) + U16(0)) + Rec(0x187, "") + Rec(0x91, "") +
      Rec(0x00, U32(0) + rowHeader.substr(4)) + Rec(0x05, CellHead(0, 0) + F64(1)) +  // long form at A1
      Rec(0x0C, U32(0)) +                                        // B1 blank
      Rec(0x0D, U32(0) + U32(0x3FF80000)) +                      // C1 RK 1.5
      Rec(0x0E, U32(0) + std::string(1, '\x07')) +               // D1 #DIV/0!
      Rec(0x0F, U32(0) + std::string(1, '\1')) +                 // E1 true
      Rec(0x10, U32(0) + F64(-2.25)) +                           // F1
      Rec(0x11, U32(0) + WStr(u"short text")) +                  // G1
      Rec(0x12, U32(0) + U32(0)) +                               // H1 shared string
      Rec(0x00, U32(1) + rowHeader.substr(4)) + Rec(0x10, U32(0) + F64(3)) +  // A2: first in its row
      Rec(0x09, CellHead(10, 0) + F64(4) + U16(0)) + Rec(0x10, U32(0) + F64(5)) +  // K2, then L2
      Rec(0x10, U32(0)) +                                        // M2: too short for its value
      Rec(0x10, U32(0) + F64(7)) +                               // N2
      Rec(0x92, "") + Rec(0x82, "");
  ZipBuilder b;
  for (const auto& [n, d] : parts) b.Add(n, d);
  const std::string bytes = b.Build();
  // A short record too short for its value fails like a long one...
  EXPECT_EQ(ExpectLoadError(bytes),
            "Record 0x0010 (part \"xl/worksheets/sheet1.bin\", sheet 1, stream offset 275) is too short for its data.");
  // ... and OnErrorProcess may let the part go on.
  TMSExcelX r;
  r.OnErrorProcess = [](TCustomSpreadSheetFile*, const std::exception&, bool& abort) { abort = false; };
  TCustomMemoryStream s(bytes.data(), int64_t(bytes.size()));
  r.LoadFromStream(s);
  const TSpreadSheetCells& c = r.Sheets[0].Cells;
  auto num = [&](int row, int col) { return c.GetCell(col, row) ? c.GetCell(col, row)->Value().ToDouble() : -999; };
  EXPECT_EQ(num(0, 0), 1);
  EXPECT_EQ(c.GetCell(1, 0), nullptr);
  EXPECT_EQ(num(0, 2), 1.5);
  EXPECT_EQ(VarToStr(c.GetCell(3, 0)->Value()), "#DIV/0!");
  EXPECT_EQ(c.GetCell(4, 0)->Value(), TVariant(true));
  EXPECT_EQ(num(0, 5), -2.25);
  EXPECT_EQ(VarToStr(c.GetCell(6, 0)->Value()), "short text");
  EXPECT_EQ(VarToStr(c.GetCell(7, 0)->Value()), "shared");
  EXPECT_EQ(num(1, 0), 3);
  EXPECT_EQ(num(1, 10), 4);
  EXPECT_EQ(num(1, 11), 5);
  EXPECT_EQ(c.GetCell(12, 1), nullptr);
  EXPECT_EQ(num(1, 13), 7);
  EXPECT_EQ(c.DimRowCount, 10);
  EXPECT_EQ(c.DimColCount, 14);  // the cells reach beyond the declared M
  std::vector<int32_t> widths{2742, 2742, 0};
  widths.resize(14, 512);
  EXPECT_EQ(r.Sheets[0].ColumnWidths, widths);
}

TEST(XLSBReader, MessagesNameTheLargestAddresses) {
  // Row and column 0xFFFFFFFF are held as INT32_MAX; the message counts from 1 without overflowing.
  std::map<std::string, std::string> parts;
  parts["xl/workbook.bin"] = Rec(0x9C, U32(0) + U32(1) + WStr(u"rId1") + WStr(u"S"));
  parts["xl/worksheets/sheet1.bin"] = Rec(0x00, U32(0xFFFFFFFFu)) + Rec(0x07, CellHead(0xFFFFFFFFu, 0) + U32(5));
  ZipBuilder b;
  for (const auto& [n, d] : parts) b.Add(n, d);
  EXPECT_EQ(ExpectLoadError(b.Build()),
            "The shared string 5 does not exist (sheet \"S\", cell column 2147483648 2147483648).");
}

TEST(XLSBReader, TruncatedRecordNamesThePart) {
  std::map<std::string, std::string> parts;
  parts["xl/workbook.bin"] = Rec(0x9C, U32(0) + U32(1) + WStr(u"rId1") + WStr(u"S"));
  parts["xl/worksheets/sheet1.bin"] = Rec(0x00, U32(0)) + Rec(0x05, CellHead(0, 0) + F64(1)).substr(0, 8);
  ZipBuilder b;
  for (const auto& [n, d] : parts) b.Add(n, d);
  std::string m = ExpectLoadError(b.Build());
  EXPECT_EQ(m, "The part \"xl/worksheets/sheet1.bin\" is damaged: it ends at byte 14 inside record 0x0005 of 16 bytes "
               "at stream offset 6.");
  // A record too short for its layout is offered to OnErrorProcess, which may let the load go on.
  parts["xl/worksheets/sheet1.bin"] = Rec(0x00, U32(0)) + Rec(0x05, CellHead(0, 0)) + Rec(0x05, CellHead(1, 0) + F64(2));
  ZipBuilder c;
  for (const auto& [n, d] : parts) c.Add(n, d);
  std::string bytes = c.Build();
  TMSExcelX r;
  int offered = 0;
  r.OnErrorProcess = [&](TCustomSpreadSheetFile*, const std::exception&, bool& abort) {
    ++offered;
    abort = false;
  };
  TCustomMemoryStream s(bytes.data(), int64_t(bytes.size()));
  r.LoadFromStream(s);
  EXPECT_EQ(offered, 1);
  EXPECT_DOUBLE_EQ(r.Sheets[0].Cells.GetCell(1, 0)->Value().ToDouble(), 2);
}

TEST(XLSBReader, RichTextCellsAreRead) {
  std::map<std::string, std::string> parts;
  parts["xl/workbook.bin"] = Rec(0x9C, U32(0) + U32(1) + WStr(u"rId1") + WStr(u"Rich"));
  // BrtCellRString: the cell, a flags byte (runs follow), the text, the runs.
  parts["xl/worksheets/sheet1.bin"] = Rec(0x00, U32(0) + std::string(20, '\0')) +
                                      Rec(0x3E, CellHead(0, 0) + std::string(1, '\1') + WStr(u"bold start") + U32(1) +
                                                    U16(0) + U16(1)) +
                                      Rec(0x10, U32(0) + F64(2)) +  // B1: short form after the rich cell
                                      Rec(0x3E, CellHead(3, 0) + std::string(1, '\0') + WStr(u"plain"));
  Loaded l(parts);
  EXPECT_EQ(l.Text(0, 0, 0), "bold start");
  EXPECT_DOUBLE_EQ(l.Cell(0, 0, 1)->Value().ToDouble(), 2);
  EXPECT_EQ(l.Text(0, 0, 3), "plain");
}

TEST(XLSXReader, EmptySharedStringReferenceIsAnEmptyCell) {
  auto parts = Workbook("<sheet name=\"S\" r:id=\"rId1\"/>", Rel("rId1", "worksheet", "worksheets/sheet1.xml"));
  parts["xl/sharedStrings.xml"] = "<?xml version=\"1.0\"?><sst><si><t>one</t></si></sst>";
  parts["xl/worksheets/sheet1.xml"] =
      Sheet("<row r=\"1\"><c r=\"A1\" t=\"s\"><v></v></c><c r=\"B1\" t=\"s\"><v>0</v></c></row>");
  Loaded l(parts);
  EXPECT_EQ(l.Cell(0, 0, 0), nullptr);
  EXPECT_EQ(l.Text(0, 0, 1), "one");
}

TEST(XLSXReader, PartsCutShortEndTruncatedAndKeepWhatWasRead) {
  auto parts = Workbook("<sheet name=\"S\" r:id=\"rId1\"/><sheet name=\"T\" r:id=\"rId2\"/>",
                        Rel("rId1", "worksheet", "worksheets/sheet1.xml") +
                            Rel("rId2", "worksheet", "worksheets/sheet2.xml"));
  const std::string whole = Sheet("<row r=\"1\"><c r=\"A1\"><v>1</v></c></row><row r=\"2\"><c r=\"A2\"><v>2</v></c></row>");
  parts["xl/worksheets/sheet1.xml"] = whole.substr(0, whole.find("<row r=\"2\"") + 12);
  parts["xl/worksheets/sheet2.xml"] = Sheet("<row r=\"1\"><c r=\"A1\"><v>3</v></c></row>");
  ZipBuilder b;
  for (const auto& [n, d] : parts) b.Add(n, d);
  const std::string bytes = b.Build();
  TMSExcelX r;
  TCustomMemoryStream s(bytes.data(), int64_t(bytes.size()));
  try {
    r.LoadFromStream(s);
    FAIL() << "a part cut short loaded as complete";
  } catch (const EQXIFileTruncatedException& e) {
    EXPECT_EQ(e.Message(), "The file is truncated: \"xl/worksheets/sheet1.xml\" ends inside the element <row> at byte " +
                               std::to_string(whole.find("<row r=\"2\"") + 12));
  }
  // Every sheet was read all the same.
  EXPECT_EQ(r.Sheets[0].Cells.GetCell(0, 0)->Value().ToDouble(), 1);
  EXPECT_EQ(r.Sheets[1].Cells.GetCell(0, 0)->Value().ToDouble(), 3);
}

TEST(XLSXReader, SheetDataAndSstCountOnlyUnderTheirParents) {
  auto parts = Workbook("<sheet name=\"S\" r:id=\"rId1\"/>", Rel("rId1", "worksheet", "worksheets/sheet1.xml"));
  parts["xl/sharedStrings.xml"] =
      "<?xml version=\"1.0\"?><sst><si><t>real</t><sst><si><t>stray</t></si></sst></si></sst>";
  std::string stray;
  for (int i = 0; i < 2000; ++i) stray += "<sheetData/>";
  parts["xl/worksheets/sheet1.xml"] =
      "<?xml version=\"1.0\"?><worksheet>" + stray +
      "<sheetData><row r=\"1\"><sheetData><row r=\"5\"><c r=\"A5\"><v>9</v></c></row></sheetData>"
      "<c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" t=\"s\"><v>1</v></c></row></sheetData></worksheet>";
  ZipBuilder b;
  for (const auto& [n, d] : parts) b.Add(n, d);
  const std::string bytes = b.Build();
  TMSExcelX r;
  std::vector<std::string> warnings;
  r.OnErrorProcess = [&](TCustomSpreadSheetFile*, const std::exception& e, bool& abort) {
    warnings.push_back(e.what());
    abort = false;
  };
  TCustomMemoryStream s(bytes.data(), int64_t(bytes.size()));
  r.LoadFromStream(s);
  ASSERT_EQ(r.SharedStrings.size(), 1u);
  EXPECT_EQ(VarToStr(r.Sheets[0].Cells.GetCell(0, 0)->Value()), "real");
  // B1 refers past the table: the cell is dropped with a warning, the rest stays.
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("The shared string 1 does not exist"), std::string::npos) << warnings[0];
  EXPECT_EQ(r.Sheets[0].Cells.Count(), 1);
}

TEST(XLSXReader, SharedTextIsStoredOnceHoweverManyCellsShowIt) {
  // 12,000 cells showing one 1 MB string: 12 GB as copies, 1 MB as references.
  auto parts = Workbook("<sheet name=\"S\" r:id=\"rId1\"/>", Rel("rId1", "worksheet", "worksheets/sheet1.xml"));
  parts["xl/sharedStrings.xml"] = "<?xml version=\"1.0\"?><sst><si><t>" + std::string(1 << 20, 'x') + "</t></si></sst>";
  std::string rows;
  for (int r = 1; r <= 1200; ++r) {
    rows += "<row r=\"" + std::to_string(r) + "\">";
    for (int c = 0; c < 10; ++c) rows += "<c t=\"s\"><v>0</v></c>";
    rows += "</row>";
  }
  parts["xl/worksheets/sheet1.xml"] = Sheet(rows);
  ZipBuilder b;
  for (const auto& [n, d] : parts) b.Add(n, d);
  const std::string bytes = b.Build();
  TMSExcelX r;
  r.MaxCellMemory = 64 << 20;
  TCustomMemoryStream s(bytes.data(), int64_t(bytes.size()));
  r.LoadFromStream(s);
  const TSpreadSheetCells& cells = r.Sheets[0].Cells;
  ASSERT_EQ(cells.RowCount, 1200);
  const TQXICell* first = cells.GetCell(0, 0);
  const TQXICell* last = cells.GetCell(9, 1199);
  ASSERT_TRUE(first && last);
  EXPECT_EQ(first->StringValue().size(), size_t(1) << 20);
  EXPECT_EQ(&first->StringValue(), &last->StringValue());
  EXPECT_LT(r.Sheets.MemoryBudget().Used(), 4 << 20);
}

namespace {

// A sheet of rows × 10 numbers, large enough to be inflated on a second thread.
std::map<std::string, std::string> LargeBook(int rows) {
  auto parts = Workbook("<sheet name=\"S\" r:id=\"rId1\"/>", Rel("rId1", "worksheet", "worksheets/sheet1.xml"));
  std::string data;
  for (int r = 1; r <= rows; ++r) {
    data += "<row r=\"" + std::to_string(r) + "\">";
    for (int c = 0; c < 10; ++c)
      data += "<c r=\"" + std::string(1, char('A' + c)) + std::to_string(r) + "\"><v>" + std::to_string(r * 10 + c) +
              "</v></c>";
    data += "</row>";
  }
  parts["xl/worksheets/sheet1.xml"] = Sheet(data);
  return parts;
}

}  // namespace

TEST(XLSXReader, TwoSheetsNamingOnePartBothHaveItsCells) {
  // The part's memory goes back only after the last sheet that names it.
  auto parts = LargeBook(6000);
  parts["xl/workbook.xml"] = "<?xml version=\"1.0\"?><workbook xmlns:r=\"r\"><sheets><sheet name=\"S\" r:id=\"rId1\"/>"
                             "<sheet name=\"T\" r:id=\"rId1\"/></sheets></workbook>";
  Loaded l(parts);
  ASSERT_EQ(l.Reader.Sheets.Count(), 2);
  for (int32_t s : {0, 1}) EXPECT_EQ(l.Cell(s, 5999, 9)->Value().ToDouble(), 60009) << s;
}

TEST(XLSXReader, LargeSheetReadAheadLoadsWholeAndFailsCleanly) {
  auto parts = LargeBook(6000);
  ASSERT_GT(parts["xl/worksheets/sheet1.xml"].size(), size_t(1) << 20);
  {
    Loaded l(parts);
    EXPECT_EQ(l.Cell(0, 5999, 9)->Value().ToDouble(), 60009);
    EXPECT_EQ(l.Reader.Sheets[0].Cells.GetCell(0, 0)->Value().ToDouble(), 10);
  }
  // A checksum that does not match: the error names the part, after the
  // thread that inflated it has ended.
  ZipBuilder b;
  for (const auto& [n, d] : parts) b.Add(n, d).CrcOverride = n == "xl/worksheets/sheet1.xml" ? 1234 : -1;
  const std::string bytes = b.Build();
  TMSExcelX r;
  TCustomMemoryStream s(bytes.data(), int64_t(bytes.size()));
  try {
    r.LoadFromStream(s);
    FAIL() << "a damaged part loaded";
  } catch (const EZipFileCRCError& e) {
    EXPECT_NE(std::string(e.what()).find("sheet1.xml"), std::string::npos) << e.what();
  }
}

TEST(XLSXReader, AStopMidSheetEndsTheLoad) {
  ZipBuilder b;
  for (const auto& [n, d] : LargeBook(20000)) b.Add(n, d);
  const std::string bytes = b.Build();
  // The load polls the stop once per cell; the keep-alive runs on this
  // thread while the sheet is parsed (by the row scanner or the engine),
  // and stops the load there.
  for (bool scan : {true, false}) {
    SCOPED_TRACE(scan);
    TCancelToken cancel;
    int64_t polls = 0;
    cancel.SetKeepAlive([&] {
      ++polls;
      cancel.Cancel();
    });
    // The keep-alive is due once its interval has passed: a fast load
    // would otherwise end before it.
    std::this_thread::sleep_for(std::chrono::milliseconds(TCancelToken::KeepAliveMs + 10));
    TMSExcelX r;
    r.ScanRows = scan;
    r.CancelToken = &cancel;
    TCustomMemoryStream s(bytes.data(), int64_t(bytes.size()));
    EXPECT_THROW(r.LoadFromStream(s), EOperationCanceled);
    EXPECT_EQ(polls, 1);
  }
}
