// The row scanners of the .xlsx and OpenDocument readers against the
// general XML engine: every part loads to the same workbook (the dump the
// command line writes, formats and warnings included) or fails the same way
// with the scanners and without them; the rows of the usual shape are taken
// by the scanner, anything unusual is left to the engine.
#include <gtest/gtest.h>

#include <string>

#include "ScanPackages.h"

namespace {

std::string Sheet(const std::string& rows, const std::string& sst = "") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<worksheet "
         "xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><sheetData>" +
         rows + "</sheetData></worksheet>" + (sst.empty() ? "" : "<sst>" + sst + "</sst>");
}

std::string Content(const std::string& rows, const std::string& styles = "") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<office:document-content xmlns:office=\"o\" xmlns:table=\"t\" "
         "xmlns:text=\"x\" xmlns:number=\"n\" xmlns:style=\"s\"><office:automatic-styles>" +
         styles + "</office:automatic-styles><office:body><office:spreadsheet><table:table table:name=\"T\">" + rows +
         "</table:table></office:spreadsheet></office:body></office:document-content>";
}

std::string Cell(const std::string& p, const std::string& attrs = " office:value-type=\"string\"") {
  return "<table:table-cell" + attrs + ">" + p + "</table:table-cell>";
}
std::string OdsRow(const std::string& cells, const std::string& attrs = "") {
  return "<table:table-row" + attrs + ">" + cells + "</table:table-row>";
}

struct TCase {
  const char* Name;
  bool Ods;
  std::string Xml;
  int64_t Scanned;     // rows the scanner takes (-1: a failure, not counted)
  const char* Shows;   // in the dump (or the failure), "" for nothing particular
};

const std::string Big = [] {
  std::string r = "<row r=\"1\">";
  for (int c = 0; c < 16000; ++c) r += "<c><v>" + std::to_string(c * 7) + "</v></c>";
  return r + "</row><row r=\"2\"><c r=\"A2\"><v>1</v></c></row>";
}();

// Rows enough for a part scanned on a thread of its own (over a megabyte),
// with rows of other shapes between them that each stop that thread and
// leave the row to the engine; cut: the part ends inside the last row.
std::string LongSheet(bool cut) {
  std::string rows;
  for (int r = 1; r <= 9000; ++r) {
    const std::string n = std::to_string(r);
    rows += "<row r=\"" + n + "\">";
    if (r % 2500 == 0) rows += "<!-- other -->";
    for (char c = 'A'; c <= 'H'; ++c) rows += "<c r=\"" + std::string(1, c) + n + "\" t=\"s\"><v>" + std::to_string(r % 3) + "</v></c>";
    rows += "<c r=\"I" + n + "\"><v>" + n + ".25</v></c></row>";
  }
  const std::string sheet = Sheet(rows, "<si><t>a</t></si><si><t>b</t></si><si><t>c</t></si>");
  return cut ? sheet.substr(0, sheet.find("<sst") - 300) + sheet.substr(sheet.find("<sst")) : sheet;
}

const TCase Cases[] = {
    // .xlsx sheet parts (and shared strings)
    {"a long part, rows of other shapes between", false, LongSheet(false), 9000 - 3, "9000.25"},
    {"a long part cut inside a row", false, LongSheet(true), -1, "truncated"},
    {"usual rows", false,
     Sheet("<row r=\"1\" spans=\"1:2\"><c r=\"A1\"><v>1.5</v></c><c r=\"B1\" t=\"s\"><v>0</v></c></row>"
           "<row r=\"2\"><c r=\"A2\" t=\"inlineStr\"><is><t>in</t></is></c></row>",
           "<si><t>zero</t></si>"),
     2, "zero"},
    {"attributes in any order and quotes", false,
     Sheet("<row spans='1:3' r='1'><c t=\"s\" s=\"0\" r=\"C1\"><v>0</v></c><c s = '0' r = 'A1'><v>2</v></c></row>",
           "<si><t>c</t></si>"),
     1, ""},
    {"prefixed elements", false,
     Sheet("<x:row xmlns:x=\"m\" r=\"1\"><x:c r=\"A1\" t=\"s\"><x:v>0</x:v></x:c><x:c r=\"B1\" t=\"inlineStr\">"
           "<x:is><x:t>i</x:t></x:is></x:c></x:row>",
           "<x:si xmlns:x=\"m\"><x:t>p</x:t></x:si>"),
     1, "\"p\""},
    {"entities and escapes", false,
     Sheet("<row r=\"1\"><c r=\"A1\" t=\"str\"><v>a &amp; b &lt;c&gt; &#x41;&#66;</v></c><c r=\"B1\" t=\"inlineStr\">"
           "<is><t>x&quot;y&apos;_x000A_z</t></is></c><c r=\"C1\" t=\"s\"><v>0</v></c></row>",
           "<si><t>1 &lt; 2 &amp;amp; _x0041_</t></si>"),
     1, "a & b <c> AB"},
    {"CDATA is the engine's", false,
     Sheet("<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t><![CDATA[<b>&amp;</b>]]></t></is></c></row>"
           "<row r=\"2\"><c r=\"A2\"><v>2</v></c></row>"),
     1, ""},
    {"rich text runs", false,
     Sheet("<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><r><rPr><b/></rPr><t>Hello</t></r><r><t xml:space=\"preserve\">"
           " World</t></r></is></c><c r=\"B1\" t=\"s\"><v>0</v></c></row><row r=\"2\"><c r=\"A2\" t=\"inlineStr\"><is>"
           "<r><t>one run</t></r></is></c></row>",
           "<si><r><t>a</t></r><r><rPr/><t>b</t></r><rPh sb=\"0\" eb=\"1\"><t>phonetic</t></rPh></si>"),
     1, "Hello"},
    {"missing and damaged references", false,
     Sheet("<row><c><v>1</v></c><c><v>2</v></c></row><row><c r=\"C2\"><v>3</v></c><c><v>4</v></c></row>"
           "<row r=\"5\"><c r=\"a5\"><v>5</v></c><c r=\"XFD5\"><v>6</v></c><c r=\"B\"><v>7</v></c></row>"),
     3, ""},
    {"a row numbered 0 is the engine's", false,
     Sheet("<row r=\"3\"><c r=\"A3\"><v>1</v></c></row><row r=\"0\"><c><v>2</v></c></row>"
           "<row r=\"9\"><c r=\"A9\"><v>3</v></c></row>"),
     2, ""},
    {"every cell type", false,
     Sheet("<row r=\"1\"><c r=\"A1\" t=\"b\"><v>1</v></c><c r=\"B1\" t=\"e\"><v>#DIV/0!</v></c><c r=\"C1\" t=\"d\">"
           "<v>2024-03-01T12:00:00</v></c><c r=\"D1\"><f>1+1</f><v>2</v></c><c r=\"E1\" t=\"str\"><f>\"x\"</f><v>x</v>"
           "</c><c r=\"F1\"><v>abc</v></c><c r=\"G1\" t=\"s\"><v></v></c><c r=\"H1\" t=\"n\"/><c r=\"I1\" t=\"zz\">"
           "<v>odd</v></c><c r=\"J1\" t=\"d\"><v>not a date</v></c></row>"),
     1, "#DIV/0!"},
    {"surprises inside a row", false,
     Sheet("<row r=\"1\"><c r=\"A1\"><v>1</v><v>2</v></c></row><row r=\"2\"><!-- note --><c r=\"A2\"><v>1</v></c></row>"
           "<row r=\"3\"><?pi x?><c r=\"A3\"><v>1</v></c></row><row r=\"4\"><c r=\"A4\">stray<v>4</v></c></row>"
           "<row r=\"5\"><c r=\"A5\"><v>5</v></c></row>"),
     2, ""},
    {"blanks between rows and cells, empty elements", false,
     Sheet("\n  <row r=\"1\">\n    <c r=\"A1\">\n      <v>1</v>\n    </c>\n  </row>\n<row r=\"2\"/><row r=\"3\">"
           "<c r=\"A3\"/><c r=\"B3\" s=\"0\"/><c r=\"C3\"><v>5</v></c></row>"),
     3, ""},
    {"multi-byte text", false,
     Sheet("<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>\xC3\x9Cn\xC3\xAF \xE6\x97\xA5\xE6\x9C\xAC</t></is></c>"
           "<c r=\"B1\" t=\"s\"><v>0</v></c></row>",
           "<si><t>\xF0\x9F\x98\x80 \xC3\xA9</t></si>"),
     1, "\xE6\x97\xA5"},
    {"a row of 16,000 cells", false, Sheet(Big), 2, "111993"},
    {"a cell beyond the grid", false, Sheet("<row r=\"1\"><c r=\"A1\"><v>1</v></c><c r=\"XFE1\"><v>2</v></c></row>"),
     -1, "outside the Open XML grid"},
    {"end tags that do not match", false, Sheet("<row r=\"1\"><c r=\"A1\"><v>1</c></row><row r=\"2\"><c><v>2</v></c></row>"),
     1, ""},
    {"a part cut short", false,
     "<worksheet><sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row><row r=\"2\"><c r=\"A2\"><v>2</v>", -1,
     "truncated"},
    {"a shared string that does not exist", false, Sheet("<row r=\"1\"><c r=\"A1\" t=\"s\"><v>7</v></c></row>",
                                                         "<si><t>only</t></si>"),
     -1, "does not exist"},

    // OpenDocument content
    {"usual table rows", true,
     Content(OdsRow(Cell("<text:p>a</text:p>") + Cell("<text:p>1.5</text:p>", " office:value-type=\"float\" office:value=\"1.5\"")) +
             OdsRow(Cell("<text:p>l1</text:p><text:p>l2</text:p>") + "<table:covered-table-cell/>" +
                    Cell("<text:h>head</text:h>"))),
     2, "l1\\nl2"},
    {"repeats", true,
     Content(OdsRow(Cell("<text:p>r</text:p>", " table:number-columns-repeated=\"3\" office:value-type=\"string\""),
                    " table:number-rows-repeated=\"2\"") +
             OdsRow("<table:table-cell table:number-columns-repeated=\"1024\"/>", " table:number-rows-repeated=\"1000\"") +
             OdsRow(Cell("<text:p>end</text:p>"))),
     3, "end"},
    {"default cell styles of rows and columns", true,
     Content("<table:table-column table:default-cell-style-name=\"ce1\"/><table:table-column/>" +
                 OdsRow(Cell("<text:p>x</text:p>", " office:value=\"0.25\" office:value-type=\"percentage\"") +
                        Cell("<text:p>y</text:p>", " office:value-type=\"percentage\" office:value=\"0.5\"")) +
                 OdsRow(Cell("", " office:value-type=\"percentage\" office:value=\"0.75\"") +
                            Cell("", " office:value-type=\"percentage\" office:value=\"1\""),
                        " table:default-cell-style-name=\"ce1\""),
             "<number:percentage-style style:name=\"N1\"><number:number number:decimal-places=\"1\" "
             "number:min-integer-digits=\"1\"/><number:text>%</number:text></number:percentage-style>"
             "<style:style style:name=\"ce1\" style:family=\"table-cell\" style:data-style-name=\"N1\"/>"),
     2, "0.0%"},
    {"entities and multi-byte text", true,
     Content(OdsRow(Cell("<text:p>a &amp; b &lt;c&gt; &#x41;</text:p>") + Cell("<text:p>\xC3\xA9\xE6\x97\xA5</text:p>"))), 1,
     "a & b <c>"},
    {"values of every type", true,
     Content(OdsRow(Cell("<text:p>TRUE</text:p>", " office:value-type=\"boolean\" office:boolean-value=\"true\"") +
                    Cell("<text:p>d</text:p>", " office:value-type=\"date\" office:date-value=\"2024-03-01T12:00:00\"") +
                    Cell("<text:p>t</text:p>", " office:value-type=\"time\" office:time-value=\"PT12H30M\"") +
                    Cell("<text:p>$1</text:p>", " office:value-type=\"currency\" office:currency=\"USD\" office:value=\"1\"") +
                    Cell("<text:p>#DIV/0!</text:p>", " table:formula=\"of:=1/0\" office:value-type=\"float\" "
                                                     "office:value=\"0\" calcext:value-type=\"error\"") +
                    Cell("<text:p>shown</text:p>", " office:value-type=\"string\" office:string-value=\"stored\""))),
     1, "#DIV/0!"},
    {"annotations and other children skipped whole", true,
     Content(OdsRow(Cell("<office:annotation><dc:date>2024</dc:date><text:p>note</text:p></office:annotation>"
                         "<text:p>cell</text:p>") +
                    Cell("<draw:frame><draw:image/></draw:frame><text:p>pic</text:p>"))),
     1, "cell"},
    {"paragraphs of another shape are the engine's", true,
     Content(OdsRow(Cell("<text:p>a<text:span>b</text:span>c</text:p>")) +
             OdsRow(Cell("<text:p>a<text:s text:c=\"3\"/>b</text:p>")) + OdsRow(Cell("<text:p><![CDATA[<x>]]></text:p>")) +
             OdsRow(Cell("<text:list><text:list-item><text:p>i</text:p></text:list-item></text:list>")) +
             OdsRow("<!-- c -->" + Cell("<text:p>k</text:p>")) + OdsRow(Cell("<text:p>plain</text:p>"))),
     1, "plain"},
    {"rows in groups and header rows", true,
     Content("<table:table-header-rows>" + OdsRow(Cell("<text:p>h</text:p>")) + "</table:table-header-rows>" +
             "<table:table-row-group>" + OdsRow(Cell("<text:p>g</text:p>")) + "</table:table-row-group>" +
             OdsRow(Cell("<text:p>r</text:p>"))),
     3, "\"g\""},
    {"content cut short", true,
     [] {
       const std::string c = Content(OdsRow(Cell("<text:p>a</text:p>")) + OdsRow(Cell("<text:p>b</text:p>")));
       return c.substr(0, c.find("<text:p>b") + 9);
     }(),
     -1, "truncated"},
};

TEST(RowScanners, TheSameWorkbookAsTheEngine) {
  for (const TCase& c : Cases) {
    SCOPED_TRACE(c.Name);
    const std::string package = scanpackages::Package(c.Ods, c.Xml);
    int64_t scanned = -1, engine = -1;
    const std::string fast = c.Ods ? scanpackages::Load<TQXIOpenOfficeSpreadsheet>(package, true, &scanned)
                                   : scanpackages::Load<TMSExcelX>(package, true, &scanned);
    const std::string slow = c.Ods ? scanpackages::Load<TQXIOpenOfficeSpreadsheet>(package, false, &engine)
                                   : scanpackages::Load<TMSExcelX>(package, false, &engine);
    EXPECT_EQ(fast, slow);
    EXPECT_EQ(scanned, c.Scanned);
    EXPECT_LE(engine, 0);
    EXPECT_NE(fast.find(c.Shows), std::string::npos) << fast;
    if (c.Scanned >= 0) {
      EXPECT_EQ(fast.rfind("failed", 0), std::string::npos) << fast;
    }
  }
}

}  // namespace
