// The PDF writer: the file's structure checked byte by byte (cross-reference
// offsets, stream lengths, the page tree), page breaks and page sizes, the
// fonts it chooses, and its files read back by qpdf, pdftotext and pdffonts.
#include <gtest/gtest.h>

#include <filesystem>
#include <chrono>
#include <map>
#include <regex>

#include "CancelToken.h"
#include "CodePage.h"
#include "ConversionFrontEnd.h"
#include "ExportHandOff.h"
#include "ExportTestSupport.h"
#include "FakeUi.h"
#include "FontFiles.h"
#include "QXE2PDF.h"
#include "QXEEngQXI.h"
#include "TempDir.h"

namespace fs = std::filesystem;

namespace {

// What a structural walk of a file found wrong; empty when nothing.
std::vector<std::string> StructureProblems(const std::string& pdf) {
  std::vector<std::string> problems;
  auto fail = [&](const std::string& p) { problems.push_back(p); };
  if (pdf.rfind("%PDF-1.", 0) != 0) fail("no header");
  const size_t sx = pdf.rfind("startxref\r\n");
  if (sx == std::string::npos) return {"no startxref"};
  const size_t xref = std::stoull(pdf.substr(sx + 11));
  if (pdf.compare(xref, 6, "xref\r\n") != 0) return {"startxref does not point at the table"};
  size_t p = xref + 6;
  const size_t lineEnd = pdf.find("\r\n", p);
  const std::string head = pdf.substr(p, lineEnd - p);
  if (head.rfind("0 ", 0) != 0) return {"table does not start at object 0"};
  const int count = std::stoi(head.substr(2));
  p = lineEnd + 2;
  if (pdf.compare(p, 20, "0000000000 65535 f\r\n") != 0) fail("entry 0");
  std::map<int, size_t> offsets;
  for (int i = 1; i < count; ++i) {
    const std::string entry = pdf.substr(p + 20 * size_t(i), 20);
    if (entry.size() != 20 || entry.compare(10, 10, " 00000 n\r\n") != 0) {
      fail("entry " + std::to_string(i) + " malformed");
      continue;
    }
    const size_t at = std::stoull(entry.substr(0, 10));
    offsets[i] = at;
    const std::string header = std::to_string(i) + " 0 obj\r\n";
    if (pdf.compare(at, header.size(), header) != 0) fail("entry " + std::to_string(i) + " misses its object");
  }
  const size_t trailer = p + 20 * size_t(count);
  if (pdf.compare(trailer, 9, "trailer\r\n") != 0) fail("no trailer after the table");
  if (pdf.find("/Size " + std::to_string(count) + " ", trailer) == std::string::npos) fail("trailer /Size");
  // Every object in the file is in the table, once.
  std::regex obj("(^|\n)([0-9]+) 0 obj\r\n");
  std::map<int, int> seen;
  for (auto it = std::sregex_iterator(pdf.begin(), pdf.end(), obj); it != std::sregex_iterator(); ++it) {
    const int n = std::stoi((*it)[2]);
    ++seen[n];
    const size_t at = size_t(it->position(2));
    if (!offsets.count(n) || offsets[n] != at) fail("object " + std::to_string(n) + " not at its table offset");
  }
  for (const auto& [n, times] : seen)
    if (times != 1) fail("object " + std::to_string(n) + " written " + std::to_string(times) + " times");
  if (int(seen.size()) != count - 1) fail("table has " + std::to_string(count - 1) + " entries for " +
                                          std::to_string(seen.size()) + " objects");
  // Stream lengths, direct or through a length object.
  for (size_t s = pdf.find("\r\nstream\r\n"); s != std::string::npos; s = pdf.find("\r\nstream\r\n", s + 1)) {
    const size_t dictStart = pdf.rfind(" 0 obj\r\n", s);
    const std::string dict = pdf.substr(dictStart, s - dictStart);
    std::smatch m;
    int64_t length = -1;
    if (std::regex_search(dict, m, std::regex("/Length ([0-9]+) 0 R"))) {
      const size_t at = offsets[std::stoi(m[1])];
      const size_t body = pdf.find("\r\n", at) + 2;
      length = std::stoll(pdf.substr(body));
    } else if (std::regex_search(dict, m, std::regex("/Length ([0-9]+)"))) {
      length = std::stoll(m[1]);
    }
    const size_t data = s + 10;
    if (length < 0 || pdf.compare(data + size_t(length), 11, "\r\nendstream") != 0)
      fail("stream at " + std::to_string(s) + " has a wrong /Length");
  }
  return problems;
}

std::string QpdfCheck(const std::string& path) {
  return RunCapture("qpdf --check " + ShellQuote(path) + " 2>&1; echo \"exit $?\"");
}

bool QpdfClean(const std::string& report) {
  return report.find("No syntax or stream encoding errors") != std::string::npos &&
         report.find("WARNING") == std::string::npos && report.find("exit 0") != std::string::npos;
}

std::string TextOf(const std::string& path, const std::string& options = "") {
  return RunCapture("pdftotext -enc UTF-8 " + options + " " + ShellQuote(path) + " - 2>/dev/null");
}

int Count(const std::string& s, const std::string& what) {
  int n = 0;
  for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
  return n;
}

// The MediaBox sizes of the pages, in file order.
std::vector<std::string> MediaBoxes(const std::string& pdf) {
  std::vector<std::string> out;
  std::regex box("/MediaBox \\[0 0 ([0-9]+ [0-9]+)\\]");
  for (auto it = std::sregex_iterator(pdf.begin(), pdf.end(), box); it != std::sregex_iterator(); ++it)
    out.push_back((*it)[1]);
  return out;
}

class PdfTest : public ::testing::Test {
 protected:
  void SetUp() override { SetACPOverride(CP_UTF8); }
  void TearDown() override { SetACPOverride(0); }

  // Writes sheet with the batch settings; returns the file's bytes.
  std::string Export(const std::string& name, const TSpreadSheet& sheet,
                     const std::function<void(TQXExportToPDF&)>& configure = {}) {
    W = std::make_unique<TQXExportToPDF>();
    TQXESpreadsheetDataEngine engine;
    engine.SetSpreadSheet(&sheet);
    engine.SetCellValues(Values);
    W->SetOption(soShowMessage, false);
    W->AnimatedStatus = false;
    W->FileName = Tmp / name;
    W->ColumnSource = csDataEngine;
    W->SetDataEngine(&engine);
    if (configure) configure(*W);
    W->Execute();
    EXPECT_EQ(W->Statistic.Result, erCompleted) << W->FailureText();
    Path = Tmp / name;
    const std::string pdf = ReadFileText(Path);
    EXPECT_EQ(StructureProblems(pdf), std::vector<std::string>()) << name;
    if (HaveProgram("qpdf")) {
      const std::string report = QpdfCheck(Path);
      EXPECT_TRUE(QpdfClean(report)) << name << ":\n" << report;
    }
    return pdf;
  }

  static void Rows(TSpreadSheet& sheet, int32_t rows, int32_t cols = 2) {
    for (int32_t r = 0; r < rows; ++r)
      for (int32_t c = 0; c < cols; ++c)
        sheet.Cells.SetCell(c, r, ictString, 0, taLeftJustify, TVariant("r" + std::to_string(r) + "c" + std::to_string(c)));
  }

  TCellValues Values = cvAuto;  // as the hand-off sets it
  TTempDir Tmp;
  TFakeUi Ui;
  std::unique_ptr<TQXExportToPDF> W;
  std::string Path;
};

}  // namespace

TEST_F(PdfTest, OffsetsAndLengthsAreThoseOfTheBytesWritten) {
  TSpreadSheet sheet;
  Rows(sheet, 95, 3);
  sheet.Cells.SetCell(0, 7, ictString, 0, taLeftJustify, TVariant(std::u16string(u"Grüße \u20AC")));  // two-byte UTF-8 in the pages
  const std::string pdf = Export("rows.pdf", sheet);
  EXPECT_EQ(W->PageCount(), 3);
  EXPECT_EQ(pdf.rfind("%PDF-1.3\r\n", 0), 0u);
  EXPECT_NE(pdf.find("<< /Type /Catalog \r\n/Pages 3 0 R\r\n>>\r\n"), std::string::npos);
  EXPECT_EQ(pdf.substr(pdf.size() - 7), "%%EOF\r\n");
  if (!HaveProgram("pdftotext")) GTEST_SKIP() << "pdftotext is missing (poppler-utils)";
  const std::string text = TextOf(Path);
  for (int r = 0; r < 95; ++r)
    if (r != 7) {
      EXPECT_NE(text.find("r" + std::to_string(r) + "c2"), std::string::npos) << r;
    }
  EXPECT_NE(text.find("Grüße €"), std::string::npos);
}

TEST_F(PdfTest, PagesAreOpenedOnlyForRowsThatNeedThem) {
  TSpreadSheet empty;
  Export("empty.pdf", empty);
  EXPECT_EQ(W->PageCount(), 1);

  // Letter less 0.75 in above and below leaves 684 points: 34 rows of 20.
  for (int rows : {33, 34, 35, 68, 69}) {
    TSpreadSheet sheet;
    Rows(sheet, rows);
    Export("rows" + std::to_string(rows) + ".pdf", sheet);
    EXPECT_EQ(W->PageCount(), (rows + 33) / 34) << rows;
  }
  // Without grid lines an empty row draws nothing, yet the page still ends after 40 rows.
  TSpreadSheet gaps;
  gaps.Cells.SetCell(0, 0, ictString, 0, taLeftJustify, TVariant("first"));
  gaps.Cells.SetCell(0, 85, ictString, 0, taLeftJustify, TVariant("last"));
  Export("gaps.pdf", gaps, [](TQXExportToPDF& w) {
    w.SetOption(soColLines, false);
    w.SetOption(soRowLines, false);
  });
  EXPECT_EQ(W->PageCount(), 2);
}

TEST_F(PdfTest, ElevenPagesMakeTwoPageGroups) {
  TSpreadSheet sheet;
  Rows(sheet, 11 * 34, 1);
  const std::string pdf = Export("eleven.pdf", sheet);
  ASSERT_EQ(W->PageCount(), 11);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(pdf, m, std::regex("3 0 obj\r\n<< /Type /Pages \r\n/Kids \\[ ([0-9]+) 0 R ([0-9]+) 0 R  \\] \r\n/Count 11 >> ")));
  for (auto [node, count] : {std::make_pair(std::string(m[1]), 10), std::make_pair(std::string(m[2]), 1)}) {
    const size_t at = pdf.find("\n" + node + " 0 obj\r\n<< /Type /Pages ");
    ASSERT_NE(at, std::string::npos) << node;
    const std::string group = pdf.substr(at, pdf.find("endobj", at) - at);
    EXPECT_NE(group.find("/Count " + std::to_string(count) + "\r\n/Parent 3 0 R"), std::string::npos) << group;
    EXPECT_EQ(Count(group, " 0 R "), count + 1) << group;  // the kids and the parent
  }
}

TEST_F(PdfTest, PageSizeFollowsTheColumnsAndTheOrientation) {
  TSpreadSheet one;
  one.Cells.SetCell(0, 0, ictString, 0, taLeftJustify, TVariant("x"));
  one.ColumnWidths = {100 * 256};
  // One column of width 100 (800 points): the page is still the paper.
  Export("wide1.pdf", one);
  EXPECT_EQ(MediaBoxes(ReadFileText(Path)), std::vector<std::string>{"612 792"});
  Export("landscape.pdf", one, [](TQXExportToPDF& w) { w.PageSetup.Orientation = emLandscape; });
  EXPECT_EQ(MediaBoxes(ReadFileText(Path)), std::vector<std::string>{"792 612"});
  Export("a4.pdf", one, [](TQXExportToPDF& w) { w.PageSetup.PaperSize = epsA4; });
  EXPECT_EQ(MediaBoxes(ReadFileText(Path)), std::vector<std::string>{"595 842"});
  TSpreadSheet narrow;
  narrow.Cells.SetCell(0, 0, ictString, 0, taLeftJustify, TVariant("x"));
  Export("default.pdf", narrow);  // emDefault is portrait
  EXPECT_EQ(MediaBoxes(ReadFileText(Path)), std::vector<std::string>{"612 792"});
  // A sheet declaring the whole grid around two cells: only the used
  // extent is laid out (and visited: 17 billion empty cells otherwise).
  narrow.Cells.SetCell(1, 1, ictString, 0, taLeftJustify, TVariant("y"));
  narrow.Cells.DimRowCount = 1048576;
  narrow.Cells.DimColCount = 16384;
  Export("declared.pdf", narrow);
  EXPECT_EQ(MediaBoxes(ReadFileText(Path)), std::vector<std::string>{"612 792"});
}

TEST_F(PdfTest, ColumnsBeyondThePageLimitContinueOnBandPages) {
  // 30 columns of 100 characters (800 points, wider than the page): one a page.
  TSpreadSheet sheet;
  Rows(sheet, 45, 30);
  sheet.ColumnWidths.assign(30, 100 * 256);
  const std::string pdf = Export("bands.pdf", sheet);
  ASSERT_EQ(W->BandCount(), 30);
  EXPECT_EQ(W->PageCount(), 60);  // each band: 34 rows, then 11
  for (const std::string& box : MediaBoxes(pdf)) EXPECT_EQ(box, "612 792");
  if (!HaveProgram("pdftotext")) GTEST_SKIP() << "pdftotext is missing (poppler-utils)";
  const std::string text = TextOf(Path);
  for (int r = 0; r < 45; ++r)
    for (int c = 0; c < 30; ++c)
      EXPECT_NE(text.find("r" + std::to_string(r) + "c" + std::to_string(c) + "\n"), std::string::npos) << r << "," << c;
}

TEST_F(PdfTest, TextIsEscapedAndClippedOnlyWhereANeighbourHoldsSomething) {
  const std::string longText = "a (long) text \\ that is much wider than its column";
  TSpreadSheet sheet;
  FillSheet(sheet, {{longText, "next"}, {longText}, {"short", "x"}});
  const std::string pdf = Export("clip.pdf", sheet);
  EXPECT_NE(pdf.find("(a \\(long\\) text \\\\ that"), std::string::npos);
  // Row 0's text is cut at the next cell; row 1's runs over the empty one; row 2's fits.
  EXPECT_EQ(Count(pdf, " re W n\r\n"), 1);
  EXPECT_EQ(Count(pdf, "\r\nQ\r\n"), 2);  // the clip's and the page's own
  if (!HaveProgram("pdftotext")) GTEST_SKIP() << "pdftotext is missing (poppler-utils)";
  EXPECT_EQ(Count(TextOf(Path), "that is much wider than its column"), 2);
}

TEST_F(PdfTest, WesternTextUsesOneStandardFont) {
  TSpreadSheet sheet;
  FillSheet(sheet, {{"plain", "Café à 5 €"}, {int64_t(42), 2.5}});
  const std::string pdf = Export("western.pdf", sheet);
  ASSERT_EQ(W->Fonts().Count(), 1);
  const TPDFFont& f = *W->Fonts().Items(0);
  EXPECT_EQ(f.BaseFontName, "Helvetica");  // the column font, MS Sans Serif
  EXPECT_EQ(f.Kind, pfkStandard);
  EXPECT_NE(pdf.find("/BaseFont /Helvetica \r\n/Encoding /WinAnsiEncoding\r\n/Subtype /Type1 >>"), std::string::npos);
  EXPECT_EQ(pdf.find("/FontDescriptor"), std::string::npos);
  EXPECT_EQ(pdf.find("FontFile"), std::string::npos);
  EXPECT_NE(pdf.find("(Caf\xE9 \xE0 5 \x80)"), std::string::npos);  // Windows-1252 bytes
  if (!HaveProgram("pdftotext")) GTEST_SKIP() << "pdftotext is missing (poppler-utils)";
  EXPECT_NE(TextOf(Path).find("Café à 5 €"), std::string::npos);
}

TEST_F(PdfTest, TextBeyondWindows1252IsEmbeddedWithAUnicodeFont) {
  const std::u16string texts[] = {u"Привет, мир", u"Καλημέρα", u"中文字符", u"日本語のテキスト", u"smile \U0001F600 ok",
                                  u"mixed Ωmega and Ж"};
  TSpreadSheet sheet;
  for (size_t i = 0; i < std::size(texts); ++i) sheet.Cells.SetCell(0, int32_t(i), ictString, 0, taLeftJustify, TVariant(texts[i]));
  sheet.Cells.SetCell(1, 0, ictString, 0, taLeftJustify, TVariant("western"));
  const std::string pdf = Export("unicode.pdf", sheet);
  EXPECT_NE(pdf.find("/Subtype /Type0 \r\n/Encoding /Identity-H "), std::string::npos);
  EXPECT_NE(pdf.find("/Subtype /CIDFontType2 "), std::string::npos);
  EXPECT_NE(pdf.find("/CIDToGIDMap /Identity"), std::string::npos);
  EXPECT_NE(pdf.find("/ToUnicode "), std::string::npos);
  EXPECT_EQ(pdf.find("JapanFont"), std::string::npos);
  EXPECT_EQ(pdf.find("ChineseSimplifiedFont"), std::string::npos);
  int unicodeFonts = 0;
  for (int32_t i = 0; i < W->Fonts().Count(); ++i) {
    const TPDFFont& f = *W->Fonts().Items(i);
    if (f.Kind != pfkUnicode) continue;
    ++unicodeFonts;
    EXPECT_EQ(f.Widths.size(), f.Texts.size());
  }
  EXPECT_GE(unicodeFonts, 1);
  if (!HaveProgram("pdftotext")) GTEST_SKIP() << "pdftotext is missing (poppler-utils)";
  const std::string text = TextOf(Path);
  for (const auto& t : texts) EXPECT_NE(text.find(Utf16ToUtf8(t)), std::string::npos) << Utf16ToUtf8(t) << "\n" << text;
  EXPECT_NE(text.find("western"), std::string::npos);
  // Embedded subsets: small, and named with a subset tag.
  const std::string fonts = RunCapture("pdffonts " + ShellQuote(Path) + " 2>&1");
  EXPECT_NE(fonts.find("CID TrueType"), std::string::npos) << fonts;
  std::regex embedded("[A-Z]{6}\\+\\S+\\s+CID TrueType\\s+Identity-H\\s+yes\\s+yes\\s+yes");
  EXPECT_TRUE(std::regex_search(fonts, embedded)) << fonts;
  EXPECT_LT(pdf.size(), 200000u);
}

TEST_F(PdfTest, AWideTextShowsThroughItsFormatsTextSection) {
  TSpreadSheets book;
  TSpreadSheet& sheet = book.GetSheet(0);
  sheet.Cells.SetCell(0, 0, ictString, book.Formats.Add("\"Name: \"@\"!\""), taLeftJustify, TVariant(std::u16string(u"Жанна")));
  Values = cvDisplayed;
  Export("decorated.pdf", sheet);
  if (!HaveProgram("pdftotext")) GTEST_SKIP() << "pdftotext is missing (poppler-utils)";
  const std::string text = TextOf(Path);
  EXPECT_NE(text.find("Name: Жанна!"), std::string::npos) << text;
}

TEST_F(PdfTest, OtherFontsAreEmbeddedTrueTypeWithWidthsForEveryCode) {
  TSpreadSheet sheet;
  FillSheet(sheet, {{"DejaVu text", "more"}});
  std::string pdf = Export("truetype.pdf", sheet, [](TQXExportToPDF& w) {
    w.SetOption(soColorsFonts, true);
    w.OnGetCellParams = [](TQXECustomBaseComponent*, TQXEField*, std::string&, TQXEFont& font, TAlignment&, TColor&,
                           TCellType&) {
      font.Name = "DejaVu Sans";
      font.Size = 10;
    };
  });
  const TPDFFont* f = W->Fonts().Count() ? W->Fonts().Items(0) : nullptr;
  ASSERT_TRUE(f);
  if (!f->Face || f->Face->FamilyName() != "DejaVu Sans") GTEST_SKIP() << "DejaVu Sans is not installed";
  EXPECT_EQ(f->Kind, pfkTrueType);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(pdf, m, std::regex("/Subtype /TrueType \r\n/FirstChar 0\r\n/LastChar 255\r\n/Widths \\[\r\n([^\\]]*)\\]")));
  std::istringstream widths(m[1].str());
  std::vector<int> w{std::istream_iterator<int>(widths), std::istream_iterator<int>()};
  ASSERT_EQ(w.size(), 256u);
  EXPECT_EQ(w['A'], f->Face->CharWidth(U'A'));
  EXPECT_EQ(w[0x80], f->Face->CharWidth(U'\u20AC'));
  EXPECT_NE(pdf.find("/FontFile2 "), std::string::npos);
  EXPECT_NE(pdf.find("/Filter /ASCIIHexDecode /Length "), std::string::npos);
  if (!HaveProgram("pdftotext")) GTEST_SKIP() << "pdftotext is missing (poppler-utils)";
  EXPECT_NE(TextOf(Path).find("DejaVu text"), std::string::npos);
}

TEST_F(PdfTest, FontFileEncodingsAreReadBack) {
  TSpreadSheet sheet;
  sheet.Cells.SetCell(0, 0, ictString, 0, taLeftJustify, TVariant(std::u16string(u"Кириллица и 中文")));
  for (TPDFFilterDecode decode : {fdASCII85, fdFlate, fdLZW}) {
    const std::string pdf = Export("enc" + std::to_string(decode) + ".pdf", sheet,
                                   [&](TQXExportToPDF& w) { w.FontDecode = decode; });
    if (decode == fdLZW) {
      EXPECT_EQ(pdf.find("LZWDecode"), std::string::npos);  // no encoder: no such filter named
    }
    if (HaveProgram("pdftotext")) {
      EXPECT_NE(TextOf(Path).find("Кириллица и 中文"), std::string::npos) << int(decode);
    }
  }
}

TEST_F(PdfTest, StreamEncodings) {
  EXPECT_EQ(PDFEncode(fdASCII85, cmNormal, "Man ").Data, "9jqo^~>");
  EXPECT_EQ(PDFEncode(fdASCII85, cmNormal, std::string(4, '\0') + "a").Data, "z@/~>");
  EXPECT_EQ(PDFEncode(fdASCII85, cmNormal, "").Data, "~>");
  EXPECT_EQ(PDFEncode(fdASCIIHex, cmNormal, "\x01\xAB").Data, "01AB>");
  EXPECT_EQ(PDFEncode(fdASCIIHex, cmNormal, "x").Filter, "ASCIIHexDecode");
  const TPDFEncoded flate = PDFEncode(fdFlate, cmMaxCompress, std::string(1000, 'a'));
  EXPECT_EQ(flate.Filter, "FlateDecode");
  EXPECT_LT(flate.Data.size(), 100u);
  EXPECT_EQ(uint8_t(flate.Data[0]), 0x78);  // the zlib header is kept
  EXPECT_EQ(PDFEncode(fdDCT, cmNormal, "raw").Filter, "");
  EXPECT_EQ(WinAnsiCode(U'€'), 0x80);
  EXPECT_EQ(WinAnsiCode(U'ÿ'), 0xFF);
  EXPECT_EQ(WinAnsiCode(U'Ж'), -1);
  EXPECT_EQ(WinAnsiChar(0x81), 0u);
  EXPECT_EQ(WinAnsiChar(0x9F), U'Ÿ');
}

TEST_F(PdfTest, CatalogCarriesViewerPreferencesAndLayout) {
  TSpreadSheet sheet;
  Rows(sheet, 2);
  const std::string pdf = Export("catalog.pdf", sheet, [](TQXExportToPDF& w) {
    w.PageLayout = eplTwoColumnLeft;
    w.ViewerPreferences = ViewerPreferenceBit(evpHideToolBar) | ViewerPreferenceBit(evpCenterWindow);
  });
  EXPECT_NE(pdf.find("/PageLayout /TwoColumnLeft\r\n/ViewerPreferences <<\r\n/HideToolbar true\r\n/CenterWindow true\r\n>>"),
            std::string::npos);
  EXPECT_NE(pdf.find("/Creator (Morvell QXExport suite)\r\n/CreationDate (D:"), std::string::npos);
  // The file's name, never the component's version text.
  EXPECT_NE(pdf.find("/Title (catalog)"), std::string::npos);
  EXPECT_EQ(pdf.find("QXExport 4.99"), std::string::npos);
}

TEST_F(PdfTest, PictureCellsBecomeImageObjects) {
  // A 2 x 2 24-bit bitmap: red, green / blue, white (rows stored bottom-up).
  std::string bmp = "BM";
  auto put32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) bmp += char(v >> (8 * i)); };
  auto put16 = [&](uint16_t v) { bmp += char(v); bmp += char(v >> 8); };
  put32(14 + 40 + 16); put32(0); put32(54);
  put32(40); put32(2); put32(2); put16(1); put16(24); put32(0); put32(16); put32(0); put32(0); put32(0); put32(0);
  bmp += std::string("\xFF\x00\x00\xFF\xFF\xFF\0\0", 8);  // bottom row: blue, white
  bmp += std::string("\x00\x00\xFF\x00\xFF\x00\0\0", 8);  // top row: red, green
  int32_t w = 0, h = 0;
  std::string rgb;
  ASSERT_TRUE(DecodeBitmap(reinterpret_cast<const uint8_t*>(bmp.data()), bmp.size(), w, h, rgb));
  EXPECT_EQ(rgb, std::string("\xFF\0\0\0\xFF\0\0\0\xFF\xFF\xFF\xFF", 12));
  EXPECT_FALSE(DecodeBitmap(reinterpret_cast<const uint8_t*>(bmp.data()), bmp.size() - 3, w, h, rgb));
  std::string huge = bmp;
  huge[18] = '\xFF', huge[19] = '\xFF', huge[20] = '\xFF';  // 16 million pixels wide
  EXPECT_FALSE(DecodeBitmap(reinterpret_cast<const uint8_t*>(huge.data()), huge.size(), w, h, rgb));

  TSpreadSheet sheet;
  FillSheet(sheet, {{"picture", "x"}});
  const std::string pdf = Export("picture.pdf", sheet, [&](TQXExportToPDF& w) {
    w.OnGetCellParams = [&](TQXECustomBaseComponent* s, TQXEField*, std::string& text, TQXEFont&, TAlignment&,
                            TColor&, TCellType& type) {
      if (static_cast<TQXExportToPDF*>(s)->Statistic.CurrentColumn == 1) {
        text = bmp;
        type = ctGraphic;
      }
    };
  });
  EXPECT_NE(pdf.find("/Subtype /Image /Name /Im1 /Width 2 /Height 2 /BitsPerComponent 8 /ColorSpace /DeviceRGB /Filter /FlateDecode"),
            std::string::npos);
  EXPECT_NE(pdf.find("/XObject << /Im1 "), std::string::npos);
  EXPECT_NE(pdf.find(" cm /Im1 Do Q"), std::string::npos);
  EXPECT_NE(pdf.find("[ /PDF /Text /ImageC ] "), std::string::npos);
}

TEST_F(PdfTest, AFailedFileLeavesNothing) {
  TSpreadSheet sheet;
  Rows(sheet, 50);
  std::ofstream(Tmp / "keep.pdf") << "older";
  W = std::make_unique<TQXExportToPDF>();
  TQXESpreadsheetDataEngine engine;
  engine.SetSpreadSheet(&sheet);
  W->SetOption(soShowMessage, false);
  W->AnimatedStatus = false;
  W->FileName = Tmp / "keep.pdf";
  W->ColumnSource = csDataEngine;
  W->SetDataEngine(&engine);
  W->OnAfterRecord = [](TQXECustomBaseComponent* s, bool&) {
    if (static_cast<TQXExportToPDF*>(s)->Statistic.CurrentRow == 45) throw Exception("disk on fire");
  };
  W->Execute();
  EXPECT_EQ(W->Statistic.Result, erFailed);
  EXPECT_EQ(ReadFileText(Tmp / "keep.pdf"), "older");
}

TEST_F(PdfTest, ARestrictedFontIsNotEmbedded) {
  auto dejavu = FontService::MatchFont(FontService::UnicodeFamily, false, false);
  if (!dejavu || dejavu->FamilyName() != "DejaVu Sans") GTEST_SKIP() << "DejaVu Sans is not installed";
  std::vector<uint8_t> font = ReadFontBytes(dejavu->FileName());
  RenameFont(font, "DejaVu Sans", "Varnowe Rst");
  ASSERT_TRUE(SetFsType(font, 0x0002));
  WriteFontBytes(Tmp / "restricted.ttf", font);
  ASSERT_TRUE(FontService::AddFontFile(Tmp / "restricted.ttf"));
  auto restricted = FontService::MatchFont("Varnowe Rst", false, false);
  ASSERT_TRUE(restricted && restricted->FamilyName() == "Varnowe Rst");
  ASSERT_FALSE(restricted->IsEmbeddable());

  TSpreadSheet sheet;
  sheet.Cells.SetCell(0, 0, ictString, 0, taLeftJustify, TVariant("latin"));
  sheet.Cells.SetCell(0, 1, ictString, 0, taLeftJustify, TVariant(std::u16string(u"кириллица")));
  Export("restricted.pdf", sheet, [](TQXExportToPDF& w) {
    w.OnGetCellParams = [](TQXECustomBaseComponent*, TQXEField*, std::string&, TQXEFont& f, TAlignment&, TColor&,
                           TCellType&) { f.Name = "Varnowe Rst"; };
  });
  ASSERT_EQ(W->Fonts().Count(), 2);
  // A sans-serif font that may not be embedded: Helvetica stands in.
  EXPECT_EQ(W->Fonts().Items(0)->BaseFontName, "Helvetica");
  EXPECT_EQ(W->Fonts().Items(0)->Kind, pfkStandard);
  const TPDFFont& unicode = *W->Fonts().Items(1);
  EXPECT_EQ(unicode.Kind, pfkUnicode);
  ASSERT_TRUE(unicode.Face);
  EXPECT_NE(unicode.Face->FamilyName(), "Varnowe Rst");
  EXPECT_TRUE(unicode.Face->IsEmbeddable());
}

TEST_F(PdfTest, TheHandOffHearsTheRunsStop) {
  TSpreadSheet sheet;
  Rows(sheet, 500);
  const std::string path = Tmp / "stop.pdf";
  std::ofstream(path) << "older";
  TCancelToken stop;
  stop.Cancel();
  TSheetWriteOptions options;
  options.Cancel = &stop;
  EXPECT_THROW(TSpreadsheetConversion::WriteSheet(path, sheet, 6, options), EQXEExportCanceled);
  EXPECT_EQ(ReadFileText(path), "older");
  stop.Reset();
  TSpreadsheetConversion::WriteSheet(path, sheet, 6, options);
  EXPECT_EQ(StructureProblems(ReadFileText(path)), std::vector<std::string>());
}

TEST(PdfText, RunsAreOrderedByTheBidirectionalAlgorithm) {
  // The runs drawn left to right, a right-to-left run's characters reversed.
  const std::pair<std::u32string, std::u32string> cases[] = {
      {U"plain 123", U"plain 123"},
      {U"שלום", U"םולש"},
      {U"Hebrew שלום עולם", U"Hebrew םלוע םולש"},
      {U"שלום 12.5 עולם", U"םלוע 12.5 םולש"},  // the number keeps its order
      {U"abc שלום, def", U"abc םולש, def"},     // a neutral between two letters of the paragraph's direction
      {U"مرحبا 7", U"7 ابحرم"},                 // a right-to-left paragraph: its number on the left
      {U"١٢٣ درهم", U"مهرد ١٢٣"},               // Arabic-Indic digits too
      {U"שלום abc 12 def", U"abc 12 def םולש"},  // a left-to-right run inside keeps its digits
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    std::u32string drawn;
    for (const TBidiRun& run : VisualRuns(cases[i].first)) {
      std::u32string part = cases[i].first.substr(run.Start, run.End - run.Start);
      if (run.Level % 2) std::reverse(part.begin(), part.end());
      drawn += part;
    }
    EXPECT_TRUE(drawn == cases[i].second) << "case " << i << ": " << Utf16ToUtf8(std::u16string(drawn.begin(), drawn.end()));
  }
  // Split points make runs of their own, in drawing order.
  const auto runs = VisualRuns(U"abcdef", [](size_t i) { return i == 3; });
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].End, 3u);
  EXPECT_EQ(runs[1].Start, 3u);
}

TEST_F(PdfTest, ScriptsAreShapedAndReadBackInTheirLogicalOrder) {
  struct TSample {
    const char16_t* Text;
    char32_t Letter;  // a letter whose shaped glyph is not its plain one (0: not checked)
  };
  // Right-to-left text on pages of its own: pdftotext writes a page's
  // lines in the direction most of its text has.
  const std::vector<std::vector<TSample>> documents = {
      {{u"مرحبا بالعالم ١٢٣ و 456", U'\u0645'},  // joining: the initial form of meem
       {u"لا إله", 0},                            // the lam-alef ligature
       {u"שלום עולם 2024", 0}},
      {{u"नमस्ते दुनिया", U'\u0938'},  // the conjunct of sa and ta
       {u"हिन्दी किताब", 0},          // a vowel sign drawn before its consonant
       {u"สวัสดีครับ ชาวโลก", 0},
       {u"e\u0301 a\u0308", 0}}};  // combining marks
  for (size_t d = 0; d < documents.size(); ++d) {
    TSpreadSheet sheet;
    for (size_t i = 0; i < documents[d].size(); ++i)
      sheet.Cells.SetCell(0, int32_t(i), ictString, 0, taLeftJustify, TVariant(std::u16string(documents[d][i].Text)));
    sheet.ColumnWidths = {40 * 256};
    Export("scripts" + std::to_string(d) + ".pdf", sheet);
    for (const TSample& s : documents[d]) {
      if (!s.Letter) continue;
      bool shaped = false, found = false;
      for (int32_t i = 0; i < W->Fonts().Count(); ++i) {
        const TPDFFont& f = *W->Fonts().Items(i);
        if (f.Kind != pfkUnicode || !f.Face || !f.Face->HasChar(s.Letter)) continue;
        found = true;
        for (size_t k = 0; k < f.Glyphs.size(); ++k)
          shaped = shaped || (f.Texts[k].find(s.Letter) != std::u32string::npos && f.Glyphs[k] != f.Face->GlyphIndex(s.Letter));
      }
      if (found) {
        EXPECT_TRUE(shaped) << Utf16ToUtf8(s.Text);
      }
    }
    if (!HaveProgram("pdftotext")) GTEST_SKIP() << "pdftotext is missing (poppler-utils)";
    // Without white space (pdftotext spaces mixed directions its own way)
    // and the embedding controls it marks right-to-left stretches with.
    auto bare = [](const std::string& s) { return std::regex_replace(s, std::regex("\\s|\\xE2\\x80[\\xAA-\\xAE]"), ""); };
    const std::string text = bare(TextOf(Path));
    for (const TSample& s : documents[d])
      EXPECT_NE(text.find(bare(Utf16ToUtf8(s.Text))), std::string::npos) << Utf16ToUtf8(s.Text) << "\n" << text;
  }
}

// The pages as a reader sees them: every page the paper, numbers ending at
// their column's right edge, the header row, the sheet name and "Page N of
// M" on each page, and fit to width holding every column.
TEST_F(PdfTest, PagesReadBackAsLaidOut) {
  if (!HaveProgram("pdftotext")) GTEST_SKIP() << "pdftotext is missing (poppler-utils)";
  TSpreadSheet sheet;
  sheet.Caption = u"Sales";
  const int rows = 120, cols = 14;
  for (int c = 0; c < cols; ++c) sheet.Cells.SetCell(c, 0, ictString, 0, taLeftJustify, TVariant("H" + std::to_string(c)));
  for (int r = 1; r < rows; ++r)
    for (int c = 0; c < cols; ++c) sheet.Cells.SetCell(c, r, ictInteger, 0, taLeftJustify, TVariant(int64_t(r * 100 + c)));
  const struct {
    const char* Fit;
    TQXEPaperSize Paper;
    int Pages;
  } cases[] = {{"width", epsA4, 4}, {"none", epsLetter, 0}};
  for (const auto& c : cases) {
    TPageOptions page;
    page.Setup.PaperSize = c.Paper;
    page.Setup.Orientation = emPortrait;
    page.Setup.RepeatRows = 1;
    ASSERT_TRUE(ApplyFit(c.Fit, page.Setup));
    const std::string path = Tmp / (std::string(c.Fit) + ".pdf");
    ExportPDF(path, sheet, {}, {}, cvAuto, page);
    EXPECT_TRUE(QpdfClean(QpdfCheck(path))) << c.Fit;
    const std::string bbox = TextOf(path, "-bbox");
    std::regex sizeRe("<page width=\"([0-9.]+)\" height=\"([0-9.]+)\">");
    std::regex wordRe("xMin=\"([0-9.]+)\" yMin=\"[0-9.]+\" xMax=\"([0-9.]+)\" yMax=\"[0-9.]+\">([^<]*)</word>");
    int32_t paperW = 0, paperH = 0;
    PaperPoints(c.Paper, paperW, paperH);
    std::vector<std::string> pages, heads;
    for (size_t at = bbox.find("<page "); at != std::string::npos; at = bbox.find("<page ", at + 1)) {
      const size_t body = bbox.find('>', at) + 1;
      heads.push_back(bbox.substr(at, body - at));
      pages.push_back(bbox.substr(body, bbox.find("</page>", body) - body));
    }
    if (c.Pages) {
      EXPECT_EQ(int(pages.size()), c.Pages) << c.Fit;
    }
    std::map<std::string, double> rightEdge;  // per column: where its numbers end
    for (size_t p = 0; p < pages.size(); ++p) {
      const int n = int(p) + 1;
      std::smatch m;
      ASSERT_TRUE(std::regex_search(heads[p], m, sizeRe));
      EXPECT_EQ(std::stod(m[1]), paperW) << c.Fit << n;
      EXPECT_EQ(std::stod(m[2]), paperH) << c.Fit << n;
      const std::string& body = pages[p];
      EXPECT_NE(body.find(">Sales</word>"), std::string::npos) << c.Fit << n;
      std::string all = " ";
      std::vector<std::string> words;
      std::vector<double> ends;
      for (auto w = std::sregex_iterator(body.begin(), body.end(), wordRe); w != std::sregex_iterator(); ++w) {
        words.push_back((*w)[3]);
        ends.push_back(std::stod((*w)[2]));
        all += words.back() + " ";
      }
      EXPECT_NE(all.find(" Page " + std::to_string(n) + " of " + std::to_string(pages.size()) + " "), std::string::npos)
          << c.Fit << n;
      // The header row on every page, and the numbers of a column all end at one x.
      EXPECT_NE(all.find(" H"), std::string::npos) << c.Fit << n;
      for (size_t i = 0; i < words.size(); ++i) {
        if (words[i].size() < 3 || !std::isdigit(uint8_t(words[i][0]))) continue;
        auto [at, fresh] = rightEdge.emplace(words[i].substr(words[i].size() - 2), ends[i]);
        if (!fresh) {
          EXPECT_NEAR(at->second, ends[i], 1.0) << words[i];
        }
      }
    }
    if (std::string(c.Fit) == "width") {
      // Every column on the first page, at a scale of at least 40 %.
      for (int k = 0; k < cols; ++k) EXPECT_NE(pages[0].find(">H" + std::to_string(k) + "</word>"), std::string::npos) << k;
    }
  }
}

// A long text shared by many cells costs only what can show of it.
TEST_F(PdfTest, ALongSharedTextIsLaidOutOnlyAsFarAsItShows) {
  TSpreadSheet sheet;
  const std::string big(1 << 20, 'x');
  for (int r = 0; r < 100; ++r)
    for (int c = 0; c < 12; ++c) sheet.Cells.SetCell(c, r, ictString, 0, taLeftJustify, TVariant(big));
  const auto start = std::chrono::steady_clock::now();
  const std::string path = Tmp / "big.pdf";
  ExportPDF(path, sheet);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 30.0);
  EXPECT_LT(fs::file_size(path), 64u << 20);
}
