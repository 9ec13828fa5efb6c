// Whole-workbook outputs: every chosen sheet of a source in one .xls
// (BIFF8), .xlsx or PDF, read back by the program's own readers, xlrd,
// openpyxl, LibreOffice and Gnumeric with each sheet's values and name as
// the model has them; a PDF starts each sheet on a new page.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <unordered_set>

#include "ConversionFrontEnd.h"
#include "ExportHandOff.h"
#include "ExportTestSupport.h"
#include "FakeUi.h"
#include "QXE2XLS8.h"
#include "TempDir.h"
#include "XlsxTestSupport.h"

namespace fs = std::filesystem;

namespace {

// Sheets whose names no workbook may hold as they are: characters sheet
// names forbid, more than 31 characters, the same name but for case, none
// at all, apostrophes at the ends; the same texts on several sheets (one
// string table for the package).
void BuildAwkwardBook(TSpreadSheets& book) {
  TSpreadSheet& a = book.GetSheet(0);
  a.Caption = u"Data";
  FillSheet(a, {{"name", "value", "when", "flag"},
                {std::u16string(u"\x0416\x0443\x0440\x043D\x0430\x043B"), int64_t(42), TVariant::DateTime(45000), true},
                {std::u16string(u"\x6F22\x5B57"), 0.1, TVariant::DateTime(45000.75), false},
                {"shared", -5.25e300, TVariant(), TVariant()}});
  TSpreadSheet& b = book.GetSheet(1);
  b.Caption = u"Q1/Q2: [draft]*?";
  std::vector<std::vector<TVariant>> rows;
  for (int i = 0; i < 1500; ++i) rows.push_back({Format("row %04d", i), int64_t(i), "shared"});
  FillSheet(b, rows);
  book.GetSheet(2).Caption = u"A sheet name far longer than thirty-one characters";
  FillSheet(book.GetSheet(2), {{"long"}});
  book.GetSheet(3).Caption = u"DATA";
  FillSheet(book.GetSheet(3), {{"upper", "shared"}});
  book.GetSheet(4).Caption = u"";
  FillSheet(book.GetSheet(4), {{TVariant(), 7.5}});
  book.GetSheet(5).Caption = u"'quoted'";
  FillSheet(book.GetSheet(5), {{"q"}});
}
const std::vector<std::string> AwkwardNames = {"Data",     "Q1_Q2_ _draft___", "A sheet name far longer than th",
                                               "DATA (2)", "Sheet5",           "quoted"};

std::vector<const TSpreadSheet*> Chosen(TSpreadSheets& book, const TDestinationOptions& options = {}) {
  std::vector<const TSpreadSheet*> list;
  for (int32_t n : TSpreadsheetConversion::SelectSheets(book, options)) list.push_back(&book.GetSheet(n));
  return list;
}

// Sheet names a workbook gets for these captions.
std::vector<std::string> ValidNames(const std::vector<const TSpreadSheet*>& sheets) {
  std::vector<std::string> names;
  std::unordered_set<std::u16string> taken;
  for (const TSpreadSheet* s : sheets)
    names.push_back(Utf16ToUtf8(TQXEXLS8Book::ValidSheetName(s->Caption, int32_t(names.size()) + 1, taken)));
  return names;
}

// Texts, numbers and dates as a program that converted the file shows them.
bool SameConverted(const std::string& want, const std::string& got) {
  return SameCell(want, got, true) || SameAsOpenpyxl(want, got);
}

// One workbook to check: its file, the cells and names it must hold, and
// how exactly a reader of it must agree.
struct TBookCheck {
  std::string Path;
  std::map<std::string, std::string> Want;
  std::vector<std::string> Names;
  bool Converted = false;  // written by LibreOffice or Gnumeric from ours
};

// openpyxl and xlrd over every file at once; each workbook as it must be.
void CheckAll(const std::vector<TBookCheck>& books, const std::string& workDir) {
  std::vector<std::string> files;
  for (const TBookCheck& b : books) files.push_back(b.Path);
  const auto back = ReadBack(files, workDir, true);
  for (const TBookCheck& b : books) {
    auto it = back.find(b.Path);
    ASSERT_NE(it, back.end()) << b.Path << " was not read";
    const bool ooxml = b.Path.size() > 5 && b.Path.substr(b.Path.size() - 5) == ".xlsx" && !b.Converted;
    const auto same = [&](const std::string& w, const std::string& g) {
      // xlrd calls a number a date when a later section of its format shows one;
      // a number with a percent format reads back as a percentage of that number.
      const bool percent = g[0] == 'p' && w[0] == 'n' && g.substr(1) == w.substr(1);
      return b.Converted ? SameConverted(w, g) : ooxml ? SameAsOpenpyxl(w, g) || percent : w == g || SameCell(w, g, true);
    };
    for (const auto& m : CompareSheets(b.Want, it->second, b.Names, same)) ADD_FAILURE() << b.Path << ": " << m;
  }
}

// Our files and what LibreOffice (one call for all) and Gnumeric make of them.
std::vector<TBookCheck> WithConversions(const std::vector<TBookCheck>& ours, const std::string& dir) {
  std::vector<TBookCheck> all = ours;
  std::vector<std::string> files;
  for (const TBookCheck& b : ours) files.push_back(b.Path);
  if (HaveProgram("soffice")) {
    const auto converted = ConvertWithLibreOffice(files, dir + "/lo");
    for (size_t i = 0; i < ours.size(); ++i) all.push_back({converted[i], ours[i].Want, ours[i].Names, true});
  }
  if (HaveProgram("ssconvert")) {
    const auto converted = ConvertWithGnumeric(files, dir + "/gnumeric");
    for (size_t i = 0; i < ours.size(); ++i) all.push_back({converted[i], ours[i].Want, ours[i].Names, true});
  }
  return all;
}

bool HaveReaders() { return HavePythonModule("xlrd") && HavePythonModule("openpyxl"); }

// A built workbook with awkward sheet names and a handful of real workbooks
// with several sheets (one per source family), each as .xls and .xlsx
// through the front end's whole-workbook choice.
TEST(WholeWorkbooks, EveryReaderSeesEverySheetWithItsName) {
  if (!HaveReaders()) GTEST_SKIP() << "xlrd or openpyxl is missing (scripts/install-deps.sh installs them)";
  TFakeUi ui;
  TTempDir tmp;
  TDestinationOptions whole;
  whole.WholeWorkbook = true;
  std::vector<TBookCheck> ours;
  std::vector<std::unique_ptr<TSpreadSheetFile>> loaded;
  auto write = [&](TSpreadSheets& book, const std::string& stem, const std::vector<std::string>* names) {
    const auto sheets = Chosen(book, whole);
    for (int index : {4, 5}) {
      const std::string path = tmp / (stem + (index == 4 ? "-biff8.xls" : "-ooxml.xlsx"));
      TSpreadsheetConversion::WriteWorkbook(book, path, index, nullptr, nullptr, &whole);
      ours.push_back({path, AllSheetCells(sheets, "e:#NUM!"), names ? *names : ValidNames(sheets)});
    }
  };
  TSpreadSheets awkward;
  BuildAwkwardBook(awkward);
  write(awkward, "awkward", &AwkwardNames);

  const fs::path corpus = VARNOWE_CORPUS_DIR;
  size_t real = 0;
  std::string names;
  if (fs::is_directory(corpus)) {
    std::vector<fs::path> sources;
    for (const auto& e : fs::recursive_directory_iterator(corpus))
      if (e.is_regular_file() && e.path().parent_path().filename() != "expected") sources.push_back(e.path());
    std::sort(sources.begin(), sources.end());
    std::set<std::string> families;
    for (const fs::path& source : sources) {
      const std::string family = source.parent_path().filename().string();
      if (families.count(family) || !TSpreadsheetConversion().IsFileAccepted(source.filename().string())) continue;
      auto reader = TSpreadsheetConversion::CreateReader(TSpreadsheetConversion::ChooseReader(source.string()));
      try {
        if (!reader) continue;
        reader->LoadFromFile(source.string());
      } catch (const std::exception&) {
        continue;
      }
      // Several sheets with cells, small enough for the grid of .xls and a quick check.
      const auto sheets = Chosen(reader->Sheets, whole);
      size_t cells = 0;
      bool fits = true;
      for (const TSpreadSheet* s : sheets) {
        cells += ExpectedCells(*s, "").size();
        fits = fits && s->Cells.Count() <= 65536;
        for (int32_t r = 0; r < s->Cells.Count(); ++r)
          if (const TSpreadSheetCols* row = s->Cells.RowCells(r)) fits = fits && row->Count() <= 256;
      }
      if (sheets.size() < 2 || cells == 0 || cells > 20000 || !fits) continue;
      families.insert(family);
      write(reader->Sheets, family + "-" + source.stem().string(), nullptr);
      names += " " + family + "/" + source.filename().string() + Format(" (%d sheets)", int(sheets.size()));
      loaded.push_back(std::move(reader));
      ++real;
    }
  }
  std::cout << ours.size() << " workbooks written, " << real << " of them from real files:" << names << "\n";
  CheckAll(WithConversions(ours, tmp.Dir()), tmp.Dir());
  if (real == 0) GTEST_SKIP() << "no corpus at " << corpus << " (set VARNOWE_CORPUS_DIR): the built workbook alone";
  if (!ReadBacksOff() && (!HaveProgram("soffice") || !HaveProgram("ssconvert")))
    GTEST_SKIP() << "LibreOffice or Gnumeric is missing; xlrd and openpyxl alone checked the files";
}

// The package holds its own parts once, whatever the number of sheets, and
// the program's own reader finds every sheet again.
TEST(WholeWorkbooks, XlsxPackageReadsBackWithOwnReader) {
  TTempDir tmp;
  TSpreadSheets book;
  BuildAwkwardBook(book);
  const std::string path = tmp / "book.xlsx";
  ExportXLSXWorkbook(path, Chosen(book));
  auto reader = TSpreadsheetConversion::CreateReader(TSpreadsheetConversion::ChooseReader(path));
  reader->LoadFromFile(path);
  ASSERT_EQ(reader->Sheets.Count(), int32_t(AwkwardNames.size()));
  for (int32_t s = 0; s < reader->Sheets.Count(); ++s)
    EXPECT_EQ(Utf16ToUtf8(reader->Sheets[s].Caption), AwkwardNames[size_t(s)]);
  EXPECT_EQ(reader->Sheets[1].Cells.Count(), 1500);
  EXPECT_EQ(VarToStr(reader->Sheets[3].Cells.GetCellValue(1, 0)), "shared");
  // No sheet at all: a workbook of one empty sheet.
  ExportXLSXWorkbook(tmp / "empty.xlsx", {});
  reader->LoadFromFile(tmp / "empty.xlsx");
  ASSERT_EQ(reader->Sheets.Count(), 1);
  EXPECT_EQ(Utf16ToUtf8(reader->Sheets[0].Caption), "Sheet1");
}

int PdfPages(const std::string& path) {
  const std::string info = RunCapture("pdfinfo " + ShellQuote(path) + " 2>/dev/null");
  const size_t at = info.find("Pages:");
  return at == std::string::npos ? -1 : std::atoi(info.c_str() + at + 6);
}

std::string PdfPageText(const std::string& path, int page) {
  return RunCapture("pdftotext -layout -f " + std::to_string(page) + " -l " + std::to_string(page) + " " +
                    ShellQuote(path) + " - 2>/dev/null");
}

TEST(WholeWorkbooks, PdfStartsEachSheetOnANewPage) {
  if (!HaveProgram("pdfinfo") || !HaveProgram("pdftotext") || !HaveProgram("qpdf"))
    GTEST_SKIP() << "poppler-utils or qpdf is missing (scripts/install-deps.sh installs them)";
  TFakeUi ui;
  TTempDir tmp;
  TSpreadSheets book;
  // Three pages of rows, one row with text only an embedded font shows
  // (the same font serves the next sheet), an empty sheet.
  std::vector<std::vector<TVariant>> rows;
  for (int i = 0; i < 100; ++i) rows.push_back({Format("alpha %03d", i), int64_t(i)});
  FillSheet(book.GetSheet(0), rows);
  book.GetSheet(0).Caption = u"Alpha";
  FillSheet(book.GetSheet(1), {{"beta only", std::u16string(u"\x0416\x0443\x0440\x043D\x0430\x043B")}});
  book.GetSheet(1).Caption = u"Beta";
  FillSheet(book.GetSheet(2), {{std::u16string(u"\x0416\x0443\x0440 gamma")}});
  book.GetSheet(2).Caption = u"Gamma";
  book.GetSheet(3).Caption = u"Empty";
  std::vector<const TSpreadSheet*> all;
  for (int32_t s = 0; s < book.Count(); ++s) all.push_back(&book.GetSheet(s));

  const std::string path = tmp / "book.pdf";
  ExportPDFWorkbook(path, all);
  const std::string check = RunCapture("qpdf --check " + ShellQuote(path) + " 2>&1");
  EXPECT_NE(check.find("No syntax or stream encoding errors"), std::string::npos) << check;
  EXPECT_EQ(check.find("WARNING"), std::string::npos) << check;
  // As many pages as the sheets take one by one, each sheet from its own first page.
  std::vector<int> first;
  int pages = 0;
  for (size_t s = 0; s < all.size(); ++s) {
    const std::string one = tmp / ("sheet" + std::to_string(s) + ".pdf");
    ExportPDF(one, *all[s]);
    first.push_back(pages + 1);
    pages += PdfPages(one);
  }
  EXPECT_EQ(pages, 3 + 1 + 1 + 1);
  EXPECT_EQ(PdfPages(path), pages);
  EXPECT_NE(PdfPageText(path, first[0]).find("alpha 000"), std::string::npos);
  EXPECT_NE(PdfPageText(path, first[1] - 1).find("alpha 099"), std::string::npos);
  const std::string beta = PdfPageText(path, first[1]);
  EXPECT_NE(beta.find("beta only"), std::string::npos) << beta;
  EXPECT_NE(beta.find("\xD0\x96\xD1\x83\xD1\x80\xD0\xBD\xD0\xB0\xD0\xBB"), std::string::npos) << beta;
  EXPECT_EQ(beta.find("alpha"), std::string::npos);
  EXPECT_NE(PdfPageText(path, first[2]).find("\xD0\x96\xD1\x83\xD1\x80 gamma"), std::string::npos);
  // An empty sheet's page: its name above, its number below, nothing between.
  EXPECT_EQ(Trim(PdfPageText(path, first[3])), "Empty\n\n\n\n\nPage 6 of 6");
  // Each sheet has an outline entry leading to its first page.
  const std::string pdf = ReadFileText(path);
  EXPECT_NE(pdf.find("/PageMode /UseOutlines"), std::string::npos);
  EXPECT_NE(pdf.find("/Type /Outlines /First"), std::string::npos);
  EXPECT_NE(pdf.find("/Count 4 >>"), std::string::npos);
  // The embedded font is in the document once, for both sheets.
  const std::string fonts = RunCapture("pdffonts " + ShellQuote(path) + " 2>/dev/null");
  EXPECT_EQ(std::count(fonts.begin(), fonts.end(), '\n'), 2 + 2) << fonts;  // header lines, Helvetica, one CID font
}

// A stop or a failing sheet leaves no file behind and an older one as it was.
TEST(WholeWorkbooks, StopAndFailureKeepTheOlderFile) {
  TTempDir tmp;
  TSpreadSheets book;
  BuildAwkwardBook(book);
  const auto sheets = Chosen(book);
  const struct {
    const char* Name;
    std::function<void(const std::string&, const TSheetList&, const TExportStopQuery&, const TOutputPolicy&)> Export;
  } writers[] = {{"book.xls", [](auto& p, auto& s, auto& q, auto& o) { ExportXLSWorkbook(p, s, q, o); }},
                 {"book.xlsx", [](auto& p, auto& s, auto& q, auto& o) { ExportXLSXWorkbook(p, s, q, o); }},
                 {"book.pdf", [](auto& p, auto& s, auto& q, auto& o) { ExportPDFWorkbook(p, s, q, o); }}};
  for (const auto& w : writers) {
    const std::string path = tmp / w.Name;
    std::ofstream(path) << "older";
    int polls = 0;
    // Stopped while the second sheet is written.
    EXPECT_THROW(w.Export(path, sheets, [&] { return ++polls > 100; }, {}), EQXEExportCanceled) << w.Name;
    EXPECT_EQ(ReadFileText(path), "older") << w.Name;
    // Past the output budget, and where nothing may be replaced.
    EXPECT_THROW(w.Export(path, sheets, {}, {1000, true}), EBudgetExceeded) << w.Name;
    EXPECT_THROW(w.Export(path, sheets, {}, {0, false}), EFileExistsError) << w.Name;
    EXPECT_EQ(ReadFileText(path), "older") << w.Name;
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp.Dir()), fs::directory_iterator()),
              std::ptrdiff_t(&w - writers + 1))
        << "a temporary file was left by " << w.Name;
  }
  // A sheet beyond the .xls grid fails by its name; nothing is written.
  TSpreadSheets wide;
  FillSheet(wide.GetSheet(0), {{"fine"}});
  wide.GetSheet(1).Caption = u"Wide";
  std::vector<TVariant> row(300, TVariant("x"));
  FillSheet(wide.GetSheet(1), {row});
  try {
    ExportXLSWorkbook(tmp / "wide.xls", Chosen(wide));
    ADD_FAILURE() << "a sheet of 300 columns was written";
  } catch (const Exception& e) {
    EXPECT_NE(e.Message().find("Sheet \"Wide\""), std::string::npos) << e.Message();
  }
  EXPECT_FALSE(fs::exists(tmp / "wide.xls"));
}

}  // namespace
