// The OpenDocument reader on packages built in the test.
#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "CodePage.h"
#include "DateTime.h"
#include "QXIOO.h"
#include "ZipBuilder.h"

namespace {

const char* const kMime = "application/vnd.oasis.opendocument.spreadsheet";

std::string Content(const std::string& tables, const std::string& styles = "") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<office:document-content xmlns:office=\"o\" "
         "xmlns:table=\"t\" xmlns:text=\"x\" office:version=\"1.3\"><office:automatic-styles>" +
         styles + "</office:automatic-styles><office:body><office:spreadsheet>" + tables +
         "</office:spreadsheet></office:body></office:document-content>";
}

std::string Table(const std::string& name, const std::string& rows) {
  return "<table:table table:name=\"" + name + "\"><table:table-column table:number-columns-repeated=\"3\"/>" +
         rows + "</table:table>";
}

std::string Row(const std::string& cells, const std::string& attrs = "") {
  return "<table:table-row" + attrs + ">" + cells + "</table:table-row>";
}

std::string TextCell(const std::string& paragraphs, const std::string& attrs = "") {
  return "<table:table-cell office:value-type=\"string\"" + attrs + ">" + paragraphs + "</table:table-cell>";
}

std::string P(const std::string& text) { return "<text:p>" + text + "</text:p>"; }

std::string Package(const std::map<std::string, std::string>& parts) {
  ZipBuilder b;
  b.Add("mimetype", kMime, 0);
  for (const auto& [name, data] : parts) b.Add(name, data);
  return b.Build();
}

class OdsTest : public ::testing::Test {
 protected:
  void SetUp() override { SetACPOverride(CP_UTF8); }
  void TearDown() override { SetACPOverride(0); }

  void Load(const std::string& content, std::map<std::string, std::string> parts = {}) {
    parts["content.xml"] = content;
    LoadBytes(Package(parts));
  }
  void LoadBytes(const std::string& bytes) {
    FBytes = bytes;
    TCustomMemoryStream s(FBytes.data(), int64_t(FBytes.size()));
    R.LoadFromStream(s);
  }
  // The message of the load's error, "<no error>" when it succeeded.
  std::string LoadError(const std::string& bytes) {
    try {
      LoadBytes(bytes);
    } catch (const Exception& e) {
      return e.Message();
    }
    return "<no error>";
  }
  const TQXICell* Cell(int row, int col, int sheet = 0) {
    return sheet < R.Sheets.Count() ? R.Sheets[sheet].Cells.GetCell(col, row) : nullptr;
  }
  std::string Text(int row, int col, int sheet = 0) {
    const TQXICell* c = Cell(row, col, sheet);
    if (!c) return "<none>";
    TVariant v = c->Value();
    if (v.Type() == TVarType::WideString) return Utf16ToUtf8(v.AsWide());
    if (v.Type() == TVarType::String) return v.AsString();
    return "<not text>";
  }
  int64_t CellCount(int sheet = 0) {
    int64_t n = 0;
    const auto& cells = R.Sheets[sheet].Cells;
    for (int32_t r = 0; r < cells.Count(); ++r)
      if (const TSpreadSheetCols* row = cells.RowCells(r))
        for (int32_t c = 0; c < row->Count(); ++c) n += row->Cell(c) != nullptr;
    return n;
  }

  TQXIOpenOfficeSpreadsheet R;
  std::string FBytes;
};

}  // namespace

TEST_F(OdsTest, CellsRowsAndSheetNames) {
  Load(Content(Table("First &amp; Co", Row(TextCell(P("a")) + TextCell(P("b"))) + Row(TextCell(P("c")) + TextCell(P("d")))) +
               "<table:table>" + Row(TextCell(P("e"))) + "</table:table>"));
  ASSERT_EQ(R.Sheets.Count(), 2);
  EXPECT_EQ(Utf16ToUtf8(R.Sheets[0].Caption), "First & Co");
  EXPECT_EQ(Utf16ToUtf8(R.Sheets[1].Caption), "Sheet1");  // unnamed: "Sheet" and its 0-based number
  EXPECT_EQ(Text(0, 0), "a");
  EXPECT_EQ(Text(0, 1), "b");
  EXPECT_EQ(Text(1, 0), "c");
  EXPECT_EQ(Text(1, 1), "d");
  EXPECT_EQ(Text(0, 0, 1), "e");
  EXPECT_EQ(Cell(0, 0)->CellType(), ictString);
  EXPECT_EQ(Cell(0, 0)->FormatIndex(), 0);  // General
  EXPECT_EQ(R.SheetIndex, 1);
}

TEST_F(OdsTest, TypedValuesComeFromTheValueAttributes) {
  auto cell = [](const std::string& attrs, const std::string& shown) {
    return "<table:table-cell " + attrs + ">" + P(shown) + "</table:table-cell>";
  };
  Load(Content(Table(
      "T", Row(cell("office:value-type=\"float\" office:value=\"1234.5\"", "1,234.50") +
               cell("office:value-type=\"percentage\" office:value=\"0.125\"", "12.5%") +
               cell("office:value-type=\"currency\" office:currency=\"EUR\" office:value=\"-3\"", "-3.00 EUR") +
               cell("office:value-type=\"date\" office:date-value=\"2024-03-01\"", "01/03/24") +
               cell("office:value-type=\"date\" office:date-value=\"2024-03-01T18:00:00.5\"", "x") +
               cell("office:value-type=\"time\" office:time-value=\"PT36H30M00S\"", "36:30") +
               cell("office:value-type=\"boolean\" office:boolean-value=\"true\"", "TRUE") +
               cell("office:value-type=\"string\" office:string-value=\"stored\"", "shown") +
               cell("", "plain") +
               // A value attribute that is missing or damaged: the displayed text.
               cell("office:value-type=\"float\"", "12") + cell("office:value-type=\"date\" office:date-value=\"soon\"", "soon") +
               // Raw line ends in an attribute are blanks; references keep theirs.
               cell("office:value-type=\"string\" office:string-value=\"a&#10;b\nc\"", "x")))));
  EXPECT_EQ(Cell(0, 0)->CellType(), ictDecimal);
  EXPECT_DOUBLE_EQ(Cell(0, 0)->Value().AsFloat(), 1234.5);
  EXPECT_DOUBLE_EQ(Cell(0, 1)->Value().AsFloat(), 0.125);  // the stored fraction, not the percentage shown
  EXPECT_DOUBLE_EQ(Cell(0, 2)->Value().AsFloat(), -3);
  EXPECT_EQ(Cell(0, 3)->CellType(), ictDateTime);
  EXPECT_DOUBLE_EQ(Cell(0, 3)->NumberValue(), EncodeDate(2024, 3, 1));
  EXPECT_NEAR(Cell(0, 4)->NumberValue(), EncodeDate(2024, 3, 1) + 0.75 + 0.5 / 86400, 1e-9);
  EXPECT_EQ(Cell(0, 5)->CellType(), ictDateTime);
  EXPECT_DOUBLE_EQ(Cell(0, 5)->NumberValue(), 1.5 + 0.5 / 24);
  EXPECT_EQ(Cell(0, 6)->CellType(), ictBoolean);
  EXPECT_TRUE(Cell(0, 6)->Value().AsBoolean());
  EXPECT_EQ(Text(0, 7), "stored");
  EXPECT_EQ(Text(0, 8), "plain");
  EXPECT_EQ(Text(0, 9), "12");
  EXPECT_EQ(Cell(0, 9)->CellType(), ictString);
  EXPECT_EQ(Text(0, 10), "soon");
  EXPECT_EQ(Text(0, 11), "a\nb c");
}

TEST_F(OdsTest, DurationsAndDates) {
  double v = 0;
  EXPECT_TRUE(TQXIOpenOfficeSpreadsheet::ParseTimeValue(u"PT12H30M05S", v));
  EXPECT_NEAR(v, (12 * 3600 + 30 * 60 + 5) / 86400.0, 1e-12);
  EXPECT_TRUE(TQXIOpenOfficeSpreadsheet::ParseTimeValue(u"P1DT6H", v));
  EXPECT_DOUBLE_EQ(v, 1.25);
  EXPECT_TRUE(TQXIOpenOfficeSpreadsheet::ParseTimeValue(u"-PT1H", v));
  EXPECT_DOUBLE_EQ(v, -1.0 / 24);
  EXPECT_TRUE(TQXIOpenOfficeSpreadsheet::ParseTimeValue(u"PT0.5S", v));
  for (const char16_t* bad : {u"", u"P", u"12:30", u"PT5X", u"P1Y", u"PTH", u"PT1.2.3S", u"PT99999999999H"})
    EXPECT_FALSE(TQXIOpenOfficeSpreadsheet::ParseTimeValue(bad, v)) << Utf16ToUtf8(bad);
  EXPECT_TRUE(TQXIOpenOfficeSpreadsheet::ParseDateValue(u"1899-12-30", v));
  EXPECT_EQ(v, 0);
  EXPECT_FALSE(TQXIOpenOfficeSpreadsheet::ParseDateValue(u"2024-02-30", v));
}

TEST_F(OdsTest, ErrorResultsAreErrorsNotTheirStoredNumbers) {
  Load(Content(Table(
      "T", Row("<table:table-cell table:formula=\"of:=1/0\" office:value-type=\"float\" office:value=\"0\" "
               "calcext:value-type=\"error\">" + P("#DIV/0!") + "</table:table-cell>" +
               "<table:table-cell table:formula=\"oooc:=SQRT(-1)\" office:value-type=\"float\" office:value=\"0\">" +
               P("Err:502") + "</table:table-cell>" +
               "<table:table-cell table:formula=\"of:=2\" office:value-type=\"float\" office:value=\"2\">" + P("2") +
               "</table:table-cell>" + TextCell(P("#N/A"))))));
  EXPECT_EQ(Cell(0, 0)->CellType(), ictUnknown);
  EXPECT_EQ(Text(0, 0), "#DIV/0!");
  EXPECT_EQ(Cell(0, 1)->CellType(), ictUnknown);
  EXPECT_EQ(Text(0, 1), "Err:502");
  EXPECT_EQ(Cell(0, 2)->CellType(), ictDecimal);
  EXPECT_EQ(Cell(0, 3)->CellType(), ictString);  // typed text, not a result
}

TEST_F(OdsTest, RepeatedCellsAndRows) {
  Load(Content(Table(
      "T",
      Row(TextCell(P("x"), " table:number-columns-repeated=\"3\"") + "<table:table-cell/>" + TextCell(P("y"))) +
          Row("<table:table-cell table:number-columns-repeated=\"2\"/>" + TextCell(P("z")),
              " table:number-rows-repeated=\"2\"") +
          Row("<table:table-cell table:number-columns-repeated=\"16384\"/>", " table:number-rows-repeated=\"5\"") +
          Row(TextCell(P("after"))) +
          // What producers write to fill the sheet: never materialised.
          Row("<table:table-cell table:number-columns-repeated=\"16384\"/>",
              " table:number-rows-repeated=\"1048000\""))));
  EXPECT_EQ(Text(0, 0), "x");
  EXPECT_EQ(Text(0, 1), "x");
  EXPECT_EQ(Text(0, 2), "x");
  EXPECT_EQ(Cell(0, 3), nullptr);
  EXPECT_EQ(Text(0, 4), "y");
  EXPECT_EQ(Text(1, 2), "z");
  EXPECT_EQ(Text(2, 2), "z");
  EXPECT_EQ(Text(8, 0), "after");
  EXPECT_EQ(CellCount(), 7);
  EXPECT_EQ(R.Sheets[0].Cells.RowCount, 9);
  EXPECT_EQ(R.Sheets[0].Cells.ColCount, 5);
}

TEST_F(OdsTest, ALastRowRepeatedAMillionTimesStopsAtTheGrid) {
  // 576 rows fit under the grid; the rest of the repeat and the row after
  // it never reach the model.
  Load(Content(Table("T", Row("<table:table-cell/>", " table:number-rows-repeated=\"1048000\"") +
                              Row(TextCell(P("r"), " table:number-columns-repeated=\"2\""),
                                  " table:number-rows-repeated=\"1000\"") +
                              Row(TextCell(P("beyond"))))));
  EXPECT_EQ(R.Sheets[0].Cells.RowCount, TQXIOpenOfficeSpreadsheet::MaxRows);
  EXPECT_EQ(CellCount(), 576 * 2);
  EXPECT_EQ(Text(TQXIOpenOfficeSpreadsheet::MaxRows - 1, 1), "r");
}

TEST_F(OdsTest, CellsBeyondTheLastColumnAreDropped) {
  Load(Content(Table("T", Row("<table:table-cell table:number-columns-repeated=\"16382\"/>" +
                              TextCell(P("in"), " table:number-columns-repeated=\"5\"") + TextCell(P("out"))))));
  EXPECT_EQ(CellCount(), 2);
  EXPECT_EQ(Text(0, 16383), "in");
  EXPECT_EQ(R.Sheets[0].Cells.ColCount, TQXIOpenOfficeSpreadsheet::MaxColumns);
}

TEST_F(OdsTest, RepeatsThatWouldFloodMemoryAreRefused) {
  std::string row;
  row = Row(TextCell(P("v"), " table:number-columns-repeated=\"16384\""), " table:number-rows-repeated=\"1048576\"");
  std::string msg = LoadError(Package({{"content.xml", Content(Table("Big", row))}}));
  EXPECT_NE(msg.find("the table \"Big\" repeats cells with content more than 16777216 times"), std::string::npos)
      << msg;
}

TEST_F(OdsTest, CoveredCellsAdvanceAndKeepTheirContent) {
  Load(Content(Table("T", Row(TextCell(P("merged"), " table:number-columns-spanned=\"2\"") +
                              "<table:covered-table-cell/>" + TextCell(P("next"))) +
                              Row(std::string("<table:covered-table-cell table:number-columns-repeated=\"2\"/>") +
                                  "<table:covered-table-cell office:value-type=\"string\">" + P("hidden") +
                                  "</table:covered-table-cell>"))));
  EXPECT_EQ(Text(0, 0), "merged");
  EXPECT_EQ(Cell(0, 1), nullptr);
  EXPECT_EQ(Text(0, 2), "next");
  EXPECT_EQ(Text(1, 2), "hidden");
}

TEST_F(OdsTest, RichTextInDocumentOrder) {
  Load(Content(Table(
      "T",
      Row(TextCell(P("This has <text:s text:c=\"3\"/>4 spaces<text:s/>") + P("second line")) +
          TextCell("<office:annotation><text:p>a note</text:p></office:annotation>" +
                   P("<text:span text:style-name=\"T1\">Bold</text:span> and <text:a xlink:href=\"u\">link "
                     "<text:span>nested</text:span> end</text:a>, tab<text:tab/>break<text:line-break/>x")) +
          TextCell(P("Tom &amp;amp; Jerry &lt;3 &#x263A;")) + TextCell(P("") + P("")) +
          TextCell(P("a<draw:frame><draw:text-box><text:p>shape</text:p></draw:text-box></draw:frame>b")) +
          TextCell("<text:list><text:list-item>" + P("item") + "</text:list-item></text:list>" + P("after")) +
          TextCell(P("line\r\nend"))))));
  EXPECT_EQ(Text(0, 0), "This has    4 spaces \nsecond line");
  EXPECT_EQ(Text(0, 1), "Bold and link nested end, tab\tbreak\nx");
  EXPECT_EQ(Text(0, 2), "Tom &amp; Jerry <3 \u263A");
  EXPECT_EQ(Text(0, 3), "\n");  // two empty paragraphs are one line break
  EXPECT_EQ(Text(0, 4), "ab");
  EXPECT_EQ(Text(0, 5), "item\nafter");
  EXPECT_EQ(Text(0, 6), "line\nend");
}

TEST_F(OdsTest, SpacesFromTextSAreBudgeted) {
  std::string cells;
  for (int i = 0; i < 6; ++i) cells += TextCell(P("<text:s text:c=\"99999999999\"/>x"));
  Load(Content(Table("T", Row(cells))));
  // Each cell stops at the per-cell limit until the load's budget is spent;
  // after that every text:s is one blank.
  size_t total = 0;
  for (int c = 0; c < 6; ++c) total += Text(0, c).size();
  EXPECT_LE(total, size_t(TQXIOpenOfficeSpreadsheet::MaxExpandedSpaces) + 12);
  EXPECT_GT(total, size_t(TQXIOpenOfficeSpreadsheet::MaxExpandedSpaces) - 12);
  EXPECT_EQ(Text(0, 0).size(), size_t(1) << 20);
  EXPECT_EQ(Text(0, 5), " x");
}

TEST_F(OdsTest, StylesGiveAlignmentAndProperties) {
  const std::string styles =
      "<style:style style:name=\"ce1\" style:family=\"table-cell\" style:parent-style-name=\"Default\">"
      "<style:table-cell-properties fo:background-color=\"#ff8000\"/>"
      "<style:paragraph-properties fo:text-align=\"center\"/></style:style>"
      "<style:style style:name=\"ce2\" style:family=\"table-cell\"><style:paragraph-properties fo:text-align=\"end\"/>"
      "</style:style>"
      "<style:style style:name=\"T1\" style:family=\"text\" style:parent-style-name=\"ce1\"><style:text-properties "
      "fo:font-weight=\"bold\" fo:font-style=\"italic\" style:text-underline-style=\"solid\" fo:color=\"#102030\" "
      "fo:font-size=\"12.5pt\" style:font-name=\"Liberation Sans\"/></style:style>"
      "<style:style style:name=\"T2\" style:family=\"text\"><style:text-properties fo:font-size=\"large\" "
      "style:text-underline-style=\"none\"/></style:style>"
      "<style:style style:name=\"gr1\" style:family=\"graphic\"><style:graphic-properties "
      "fo:clip=\"rect(1cm, 22mm, 3in, 4pt)\"/></style:style>"
      "<text:list-style style:name=\"L1\"><text:list-level-style-number text:level=\"1\" style:num-prefix=\"(\" "
      "style:num-suffix=\")\" style:num-format=\"1\"><style:list-level-properties text:space-before=\"5mm\"/>"
      "</text:list-level-style-number><text:list-level-style-bullet text:level=\"2\" text:bullet-char=\"*\"/>"
      "</text:list-style>"
      "<number:date-style style:name=\"N37\"><number:day/></number:date-style>"
      "<style:style style:name=\"ce1\" style:family=\"table-cell\"/>"
      "<style:style style:name=\"ce3\" style:family=\"table-cell\" style:data-style-name=\"N37\"/>";
  const std::string number = "<table:table-cell office:value-type=\"float\" office:value=\"45000.5\" ";
  Load(Content(Table("T", Row(TextCell(P("c"), " table:style-name=\"ce1\"") + TextCell(P("r"), " table:style-name=\"ce2\"") +
                              TextCell(P("l"), " table:style-name=\"gr1\"") + TextCell(P("n"), " table:style-name=\"nope\"") +
                              number + "table:style-name=\"ce3\"/>" + number + "table:style-name=\"ce1\"/>")),
               styles));
  EXPECT_EQ(Cell(0, 0)->Alignment(), taCenter);
  EXPECT_EQ(Cell(0, 1)->Alignment(), taRightJustify);
  EXPECT_EQ(Cell(0, 2)->Alignment(), taLeftJustify);
  EXPECT_EQ(Cell(0, 3)->Alignment(), taLeftJustify);
  // A number shown through a date style is a date, as with a date number format.
  EXPECT_EQ(Cell(0, 4)->CellType(), ictDateTime);
  EXPECT_EQ(Cell(0, 4)->NumberValue(), 45000.5);
  EXPECT_EQ(Cell(0, 5)->CellType(), ictDecimal);

  const TQXIOOStyles& s = R.Styles();
  ASSERT_EQ(s.Count(), 9);
  auto* ce1 = dynamic_cast<TQXIOOStyleText*>(s.Find("ce1"));
  ASSERT_NE(ce1, nullptr);
  EXPECT_EQ(ce1, s[0]);  // the first of a name
  EXPECT_EQ(ce1->StyleFamily, "table-cell");
  EXPECT_EQ(ce1->Color, 0x0080FF);
  EXPECT_EQ(ce1->StyleParent, nullptr);  // "Default" lives in styles.xml
  auto* t1 = dynamic_cast<TQXIOOStyleText*>(s.Find("T1"));
  ASSERT_NE(t1, nullptr);
  EXPECT_EQ(t1->StyleParent, ce1);
  EXPECT_TRUE(t1->TextFont.Bold);
  EXPECT_TRUE(t1->TextFont.Italic);
  EXPECT_TRUE(t1->TextFont.Underline);
  EXPECT_EQ(t1->TextFont.Color, 0x302010);
  EXPECT_EQ(t1->TextFont.Size, 12);
  EXPECT_EQ(t1->TextFont.Name, "Liberation Sans");
  EXPECT_EQ(t1->Color, 16777215);
  auto* t2 = dynamic_cast<TQXIOOStyleText*>(s.Find("T2"));
  ASSERT_NE(t2, nullptr);
  EXPECT_EQ(t2->TextFont.Size, 10);  // a size without digits is ignored
  EXPECT_FALSE(t2->TextFont.Underline);
  auto* gr = dynamic_cast<TQXIOOStyleGraphic*>(s.Find("gr1"));
  ASSERT_NE(gr, nullptr);
  EXPECT_EQ(gr->ClipTop, 1);
  EXPECT_EQ(gr->ClipRight, 22);
  EXPECT_EQ(gr->ClipBottom, 3);
  EXPECT_EQ(gr->ClipLeft, 4);
  auto* l1 = dynamic_cast<TQXIOOStyleNumList*>(s.Find("L1"));
  ASSERT_NE(l1, nullptr);
  EXPECT_EQ(l1->NumPrefix, "(");
  EXPECT_EQ(l1->NumSufix, ")");
  EXPECT_EQ(l1->NumFormat, "1");
  EXPECT_EQ(l1->BulletChar, "\x07");
  EXPECT_EQ(l1->SpaceBefore, 5);
  ASSERT_NE(s.Find("N37"), nullptr);
  EXPECT_EQ(typeid(*s.Find("N37")), typeid(TQXIOOStyle));
}

TEST_F(OdsTest, DocumentPropertiesFromMeta) {
  const std::string meta =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><office:document-meta><office:meta>"
      "<meta:generator>Calc/7.4</meta:generator><dc:title>Q1 &amp; Q2</dc:title><dc:subject>Sales</dc:subject>"
      "<dc:description>Notes</dc:description><meta:keyword>a</meta:keyword><meta:keyword>b</meta:keyword>"
      "<meta:initial-creator>Ann</meta:initial-creator><dc:creator>Bob</dc:creator>"
      "<meta:creation-date>2009-05-12T10:20:30.12</meta:creation-date><dc:date>2010-01-02T03:04:05</dc:date>"
      "<meta:editing-cycles>7</meta:editing-cycles><meta:editing-duration>PT1H30M</meta:editing-duration>"
      "<meta:document-statistic meta:table-count=\"1\" meta:page-count=\"3\"/></office:meta></office:document-meta>";
  Load(Content(Table("T", "")), {{"meta.xml", meta}});
  const TQXISummaryInformation& s = R.SummaryInformation;
  EXPECT_EQ(s.Title, "Q1 & Q2");
  EXPECT_EQ(s.Subject, "Sales");
  EXPECT_EQ(s.Comments, "Notes");
  EXPECT_EQ(s.Keywords, "a, b");
  EXPECT_EQ(s.Author, "Ann");
  EXPECT_EQ(s.LastAuthor, "Bob");
  EXPECT_EQ(s.AppName, "Calc/7.4");
  EXPECT_EQ(s.RevNumber, "7");
  EXPECT_EQ(s.EditTime, 90);
  EXPECT_EQ(s.PageCount, 3);
  EXPECT_NEAR(s.Created, EncodeDate(2009, 5, 12) + EncodeTime(10, 20, 30, 0), 1e-6);
  EXPECT_NEAR(s.LastSaved, EncodeDate(2010, 1, 2) + EncodeTime(3, 4, 5, 0), 1e-6);
  // What the writers take, from the model.
  const TDocumentProperties& m = R.Sheets[0].DocumentProperties();
  EXPECT_EQ(m.Title + "|" + m.Subject + "|" + m.Author + "|" + m.Keywords, "Q1 & Q2|Sales|Ann|a, b");
  EXPECT_EQ(m.Created, s.Created);

  // The next load starts clean.
  Load(Content(Table("T", "")));
  EXPECT_EQ(R.SummaryInformation.Title, "");
  EXPECT_EQ(R.Sheets.Properties.Title, "");
  EXPECT_EQ(R.Styles().Count(), 0);

  // Damaged side parts do not cost the cells.
  ZipBuilder b;
  b.Add("mimetype", kMime, 0);
  b.Add("meta.xml", meta).CrcOverride = 1;
  b.Add("styles.xml", "<office:document-styles/>").CrcOverride = 1;
  b.Add("content.xml", Content(Table("T", Row(TextCell(P("kept"))))));
  LoadBytes(b.Build());
  EXPECT_EQ(Text(0, 0), "kept");
}

TEST_F(OdsTest, NotAPackageOrNoContentIsNoSpreadsheet) {
  EXPECT_EQ(LoadError("not a zip at all"), "Invalid file version or file format.");
  EXPECT_EQ(LoadError(Package({{"styles.xml", "<x/>"}})), "Invalid file version or file format.");
  EXPECT_EQ(R.Sheets.Count(), 0);
}

TEST_F(OdsTest, EncryptedPackageSaysSo) {
  const std::string manifest =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><manifest:manifest>"
      "<manifest:file-entry manifest:full-path=\"/\" manifest:media-type=\"x\"/>"
      "<manifest:file-entry manifest:full-path=\"content.xml\" manifest:media-type=\"text/xml\">"
      "<manifest:encryption-data manifest:checksum-type=\"x\"><manifest:algorithm/></manifest:encryption-data>"
      "</manifest:file-entry></manifest:manifest>";
  EXPECT_EQ(LoadError(Package({{"content.xml", "\x01\x02garbage"}, {"META-INF/manifest.xml", manifest}})),
            "The file is password-protected (OpenDocument encryption), but the encryption data of \"content.xml\" "
            "has a size out of bounds.");
  EXPECT_TRUE(R.PasswordProtected());
  Load(Content(Table("T", "")));
  EXPECT_FALSE(R.PasswordProtected());
}

TEST_F(OdsTest, ContentCutShortKeepsTheCellsBeforeTheCut) {
  std::string full = Content(Table("T", Row(TextCell(P("one")) + TextCell(P("two"))) + Row(TextCell(P("three")))));
  std::string cut = full.substr(0, full.find("three") + 2);
  try {
    Load(cut);
    ADD_FAILURE() << "no error";
  } catch (const EQXIFileTruncatedException& e) {
    EXPECT_NE(e.Message().find("The file is truncated: \"content.xml\" ends inside the element <text:p>"),
              std::string::npos)
        << e.Message();
  }
  EXPECT_EQ(Text(0, 0), "one");
  EXPECT_EQ(Text(0, 1), "two");
  EXPECT_EQ(Cell(1, 0), nullptr);
  // A complete part with text after the document element is no cut.
  EXPECT_NO_THROW(Load(full + "\n"));
}

TEST_F(OdsTest, SelectedSheetSkipsTheOthers) {
  R.SelectedSheet = 1;
  Load(Content(Table("A", Row(TextCell(P("a")))) + Table("B", Row(TextCell(P("b"))))));
  ASSERT_EQ(R.Sheets.Count(), 2);
  EXPECT_EQ(R.Sheets[0].Cells.Count(), 0);
  EXPECT_EQ(Text(0, 0, 1), "b");
}

TEST_F(OdsTest, WideCellsWhenTheSystemCodePageCannotHoldThem) {
  SetACPOverride(1252);
  Load(Content(Table("\xD0\xA2", Row(TextCell(P("\xE2\x82\xAC \xD0\xA2"))))));
  const TQXICell* c = Cell(0, 0);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->ValueType(), TVarType::WideString);
  EXPECT_EQ(Utf16ToUtf8(c->WideValue()), "\xE2\x82\xAC \xD0\xA2");
  EXPECT_EQ(Utf16ToUtf8(R.Sheets[0].Caption), "\xD0\xA2");
}

namespace {

// A one-cell sheet whose cell shows value (of valueType) with dataStyle;
// calculation settings (a null date) before the table when given.
std::string StyledCell(const std::string& dataStyle, const std::string& value, const std::string& settings = "") {
  const std::string styles = "<number:number-style style:name=\"Z\"/>" + dataStyle +
                             "<style:style style:name=\"ce1\" style:family=\"table-cell\" style:data-style-name=\"D\"/>";
  return Content(settings + Table("S", Row("<table:table-cell table:style-name=\"ce1\" " + value + "/>")), styles);
}

}  // namespace

TEST_F(OdsTest, DataStylesBecomeFormatCodes) {
  SetDefaultFormatSettings(TFormatSettings::UnitedStates());
  const char* number = "office:value-type=\"float\" office:value=\"45000\"";
  const char* boolean = "office:value-type=\"boolean\" office:boolean-value=\"true\"";
  const struct {
    const char* Style;
    const char* Value;
    const char* Code;
    TQXICellType Type;
  } cases[] = {
      {"<number:number-style style:name=\"D\"><number:number number:decimal-places=\"2\" number:grouping=\"true\"/>"
       "</number:number-style>", number, "#,##0.00", ictDecimal},
      // The producer's own order of day, month and year.
      {"<number:date-style style:name=\"D\"><number:day number:style=\"long\"/><number:text>.</number:text>"
       "<number:month number:style=\"long\"/><number:text>.</number:text><number:year/></number:date-style>",
       number, "dd\".\"mm\".\"yy", ictDateTime},
      // Automatic order: the reader's (month first here), with its separator.
      {"<number:date-style style:name=\"D\" number:automatic-order=\"true\"><number:day number:style=\"long\"/>"
       "<number:text>.</number:text><number:month number:style=\"long\"/><number:text>.</number:text><number:year/>"
       "</number:date-style>", number, "mm/dd/yy", ictDateTime},
      // ... unless a time is part of it.
      {"<number:date-style style:name=\"D\" number:automatic-order=\"true\"><number:day/><number:text>.</number:text>"
       "<number:month/><number:text> </number:text><number:hours/></number:date-style>", number, "d\".\"m h",
       ictDateTime},
      // Boolean words in the style's language.
      {"<number:boolean-style style:name=\"D\"><number:boolean/></number:boolean-style>", boolean,
       "\"TRUE\";\"TRUE\";\"FALSE\"", ictBoolean},
      {"<number:boolean-style style:name=\"D\" number:language=\"fr\" number:country=\"BE\"><number:boolean/>"
       "</number:boolean-style>", boolean, "\"VRAI\";\"VRAI\";\"FAUX\"", ictBoolean},
  };
  for (const auto& c : cases) {
    Load(StyledCell(c.Style, c.Value));
    ASSERT_NE(Cell(0, 0), nullptr) << c.Code;
    EXPECT_EQ(R.Sheets[0].Formats().Code(Cell(0, 0)->FormatIndex()), c.Code);
    EXPECT_EQ(Cell(0, 0)->CellType(), c.Type) << c.Code;
  }
  SetDefaultFormatSettings(TFormatSettings::FromLocale());
}

TEST_F(OdsTest, NumbersShownAsDatesCountFromTheNullDate) {
  const std::string date = "<number:date-style style:name=\"D\"><number:year/></number:date-style>";
  const struct {
    const char* NullDate;
    double Value;  // the cell's 1000 as days since 30 December 1899
    bool Date1904, Warned;
  } cases[] = {{nullptr, 1000, false, false},
               {"1899-12-30", 1000, false, false},
               {"1904-01-01", 2462, true, false},
               {"1900-01-01", 1002, false, true}};
  for (const auto& c : cases) {
    const std::string settings = c.NullDate ? std::string("<table:calculation-settings><table:null-date "
                                                          "table:date-value=\"") + c.NullDate +
                                                  "\"/></table:calculation-settings>"
                                            : std::string();
    int warnings = 0;
    R.OnErrorProcess = [&](TCustomSpreadSheetFile*, const std::exception&, bool&) { ++warnings; };
    Load(StyledCell(date, "office:value-type=\"float\" office:value=\"1000\"", settings));
    R.OnErrorProcess = nullptr;
    ASSERT_NE(Cell(0, 0), nullptr);
    EXPECT_EQ(Cell(0, 0)->Value().ToDouble(), c.Value) << (c.NullDate ? c.NullDate : "none");
    EXPECT_EQ(R.Sheets.Formats.Date1904, c.Date1904);
    EXPECT_EQ(warnings > 0, c.Warned);
  }
}
