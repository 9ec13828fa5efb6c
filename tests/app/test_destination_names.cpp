// Which sheets are written and under what names, kept folder trees, the
// settings file's keys, and today's outputs of real files unchanged by
// default.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "CodePage.h"
#include "ConversionFrontEnd.h"
#include "Exception.h"
#include "FakeUi.h"
#include "IniFile.h"
#include "TempDir.h"
#include "TestWorkbooks.h"
#include "Variant.h"

namespace fs = std::filesystem;

namespace {

void Put(TSpreadSheet& s, int col, int row, const TVariant& v) {
  s.Cells.SetCell(col, row, ictString, 0, taLeftJustify, v);
}

// Sheets "Data", "Empty" (no cells), "Notes/2024", "data2".
void FillBook(TSpreadSheets& book) {
  const char16_t* names[] = {u"Data", u"Empty", u"Notes/2024", u"data2"};
  for (int i = 0; i < 4; ++i) {
    TSpreadSheet& s = book.GetSheet(i);
    s.Caption = names[i];
    if (i != 1) Put(s, 0, 0, "x" + std::to_string(i));
  }
}

std::set<std::string> Files(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (!e.is_directory()) names.insert(fs::relative(e.path(), dir).string());
  return names;
}

std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

TEST(NameTemplate, ExpandsFieldsAndKeepsNamesSafe) {
  EXPECT_EQ(ExpandNameTemplate(SheetNameTemplate, "book", "Sheet1", 1, ".csv"), "book - Sheet1.csv");
  EXPECT_EQ(ExpandNameTemplate("{index}_{name}", "book", "S", 3, ".txt"), "3_book.txt");  // {ext} added
  EXPECT_EQ(ExpandNameTemplate("{{{sheet}}}{ext}", "b", "S", 1, ".htm"), "{S}.htm");
  EXPECT_EQ(ExpandNameTemplate("{sheet}{ext}", "b", "a/b\\c:d*e?\"<>|\x01", 1, ".csv"), "a_b_c_d_e______.csv");
  // Nothing left of a caption but dots and blanks: the sheet's number.
  EXPECT_EQ(ExpandNameTemplate("{sheet}{ext}", "b", " .. ", 4, ".csv"), "Sheet4.csv");
  EXPECT_EQ(ExpandNameTemplate("{sheet}{ext}", "b", "", 2, ".csv"), "Sheet2.csv");
  // A long caption is cut at a whole character; a long name keeps its extension.
  std::string longCaption;
  for (int i = 0; i < 100; ++i) longCaption += "\u00E9";  // 200 bytes
  const std::string cut = SafeSheetFileName(longCaption, 1);
  EXPECT_EQ(cut.size(), 120u);
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(cut)), cut);
  const std::string name = ExpandNameTemplate("{name}{sheet}{ext}", std::string(200, 'n'), longCaption, 1, ".xlsx");
  EXPECT_LE(name.size(), 255u);
  EXPECT_EQ(name.substr(name.size() - 5), ".xlsx");
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(name)), name);
}

TEST(NameTemplate, ProblemsAreNamed) {
  EXPECT_EQ(NameTemplateProblem(SheetNameTemplate), "");
  EXPECT_EQ(NameTemplateProblem("{name}_{index}"), "");
  EXPECT_NE(NameTemplateProblem("{name}/{sheet}").find("\"/\""), std::string::npos);
  EXPECT_NE(NameTemplateProblem("{nmae}").find("{nmae}"), std::string::npos);
  EXPECT_NE(NameTemplateProblem("{name").find("not closed"), std::string::npos);
  EXPECT_NE(NameTemplateProblem("x}").find("\"}\""), std::string::npos);
  EXPECT_NE(NameTemplateProblem("{ext}"), "");
  EXPECT_NE(NameTemplateProblem(".{ext}"), "");
  EXPECT_NE(NameTemplateProblem(""), "");
}

TEST(SheetSelection, AllFirstAndMask) {
  SetACPOverride(CP_UTF8);
  TSpreadSheets book;
  FillBook(book);
  TDestinationOptions o;
  EXPECT_EQ(TSpreadsheetConversion::SelectSheets(book, o), (std::vector<int32_t>{0, 2, 3}));
  o.Sheets = ssFirst;
  EXPECT_EQ(TSpreadsheetConversion::SelectSheets(book, o), (std::vector<int32_t>{0}));
  o.Sheets = ssMask;
  o.SheetMask = "DATA*";  // case ignored
  EXPECT_EQ(TSpreadsheetConversion::SelectSheets(book, o), (std::vector<int32_t>{0, 3}));
  o.SheetMask = "Emp*";  // matches only a sheet without cells: still written
  EXPECT_EQ(TSpreadsheetConversion::SelectSheets(book, o), (std::vector<int32_t>{1}));
  o.SheetMask = "Summary";
  try {
    TSpreadsheetConversion::SelectSheets(book, o);
    FAIL() << "no sheet matches";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "No sheet matches the sheet mask \"Summary\"; the workbook has \"Data\", \"Empty\", "
                           "\"Notes/2024\", \"data2\".");
  }
  SetACPOverride(0);
}

TEST(SheetOutputs, TemplateNamesStayUniqueInTheRun) {
  SetACPOverride(CP_UTF8);
  TTempDir dir;
  TSpreadSheets book;
  FillBook(book);
  book.GetSheet(3).Caption = u"Notes:2024";  // the same safe name as sheet 2
  TJobSettings settings;
  settings.Destination.NameTemplate = SheetNameTemplate;
  TCancelToken cancel;
  TOutputRegistry registry;
  const std::string dest = dir / "book.csv";
  registry.Reserve(dest);
  {
    TItemContext item(settings, cancel, registry, "/src/book.xls", dest);
    TSpreadsheetConversion::WriteWorkbook(book, dest, 1, &item);
    item.Commit();
    EXPECT_EQ(item.Written(), (std::vector<std::string>{dir / "book - Data.csv", dir / "book - Notes_2024.csv",
                                                        dir / "book - Notes_2024_xls.csv"}));
  }
  const std::string third = Slurp(dir / "book - Notes_2024_xls.csv");
  EXPECT_EQ(third.substr(third.find("\r\n\r\n") + 4), "\"x3\",\r\n,\r\n");
  // The template may give sheet 0 the item's own name, reserved already.
  settings.Destination.NameTemplate = "{name}{ext}";
  settings.Destination.Sheets = ssFirst;
  TItemContext item(settings, cancel, registry, "/src/book.xls", dest);
  TSpreadsheetConversion::WriteWorkbook(book, dest, 1, &item);
  item.Commit();
  EXPECT_EQ(item.Written(), (std::vector<std::string>{dest}));
  SetACPOverride(0);
}

TEST(SheetOutputs, DefaultNamesOfSelectedSheetsKeepTheirPosition) {
  TTempDir dir;
  TSpreadSheets book;
  FillBook(book);
  TDestinationOptions o;
  o.Sheets = ssMask;
  o.SheetMask = "*2*";
  TSpreadsheetConversion::WriteWorkbook(book, dir / "book.csv", 1, nullptr, nullptr, &o);
  EXPECT_EQ(Files(dir.Dir()), (std::set<std::string>{"book2.csv", "book3.csv"}));
}

// One output per source for .xls, .xlsx and PDF: the chosen sheets under
// their names, the item's own name whatever the template says; the text
// formats go on writing a file per sheet.
TEST(SheetOutputs, WholeWorkbookIsOneOutputNamedAsTheSource) {
  TTempDir dir;
  TSpreadSheets book;
  FillBook(book);
  TJobSettings settings;
  settings.Destination.WholeWorkbook = true;
  settings.Destination.NameTemplate = SheetNameTemplate;
  settings.Destination.Sheets = ssMask;
  settings.Destination.SheetMask = "*2*";
  TCancelToken cancel;
  TOutputRegistry registry;
  const std::string dest = dir / "book.xlsx";
  registry.Reserve(dest);
  {
    TItemContext item(settings, cancel, registry, "/src/book.xls", dest);
    TSpreadsheetConversion::WriteWorkbook(book, dest, 5, &item);
    item.Commit();
    EXPECT_EQ(item.Written(), (std::vector<std::string>{dest}));
  }
  EXPECT_EQ(Files(dir.Dir()), (std::set<std::string>{"book.xlsx"}));
  auto reader = TSpreadsheetConversion::CreateReader(rkMSExcelX);
  reader->LoadFromFile(dest);
  ASSERT_EQ(reader->Sheets.Count(), 2);
  EXPECT_EQ(reader->Sheets[0].Caption, u"Notes_2024");  // "/" has no place in a sheet name
  EXPECT_EQ(reader->Sheets[1].Caption, u"data2");
  EXPECT_EQ(VarToStr(reader->Sheets[1].Cells.GetCellValue(0, 0)), "x3");

  // Overwriting off: the file there is kept and noted.
  settings.chkOverwrite = false;
  std::ofstream(dir / "book.pdf") << "mine";
  {
    TItemContext item(settings, cancel, registry, "/src/book.xls", dir / "book.pdf");
    TSpreadsheetConversion::WriteWorkbook(book, dir / "book.pdf", 6, &item);
    item.Commit();
    EXPECT_TRUE(item.Written().empty());
    EXPECT_EQ(item.Kept(), (std::vector<std::string>{dir / "book.pdf"}));
  }
  EXPECT_EQ(Slurp(dir / "book.pdf"), "mine");

  // CSV has no whole workbook: a file per sheet as always.
  TTempDir csv;
  TDestinationOptions o;
  o.WholeWorkbook = true;
  TSpreadsheetConversion::WriteWorkbook(book, csv / "book.csv", 1, nullptr, nullptr, &o);
  EXPECT_EQ(Files(csv.Dir()), (std::set<std::string>{"book.csv", "book2.csv", "book3.csv"}));
}

// The outputs of a few real files, as the program wrote them before these
// options existed: the defaults must give them byte for byte (but HTML
// shows dates as the source does, and a time of day has no date of 1899).
TEST(DefaultOutputs, RealFilesUnchanged) {
  const std::string corpus = VARNOWE_CORPUS_DIR;
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "no corpus at " << corpus << " (set VARNOWE_CORPUS_DIR)";
  SetACPOverride(CP_UTF8);
  const std::string golden = std::string(VARNOWE_SOURCE_DIR) + "/tests/app/golden/today/";
  const struct {
    const char* Source;
    std::vector<int> Formats;
  } cases[] = {{"xls/sjs_1900.xls", {0, 1, 2, 3}},
               {"ods/sjs_excel_merge_cells.ods", {0, 1, 2, 3}},
               {"lotus/sjs_crlf_123r9.wk1", {0, 1, 2, 3}},
               {"xls/sjs_formula_stress.xls", {1}}};
  TTempDir out;
  TSpreadsheetConversion conversion;
  size_t compared = 0;
  for (const auto& c : cases) {
    const std::string stem = fs::path(c.Source).stem().string();
    for (int format : c.Formats) {
      conversion.ConvertFile(corpus + "/" + c.Source, out / (stem + DestinationFormats[format].Extension), format);
    }
  }
  for (const auto& e : fs::directory_iterator(golden)) {
    const std::string name = e.path().filename().string();
    EXPECT_EQ(Slurp(out / name), Slurp(e.path().string())) << name;
    ++compared;
  }
  EXPECT_EQ(Files(out.Dir()).size(), compared);
  SetACPOverride(0);
}

// A batch over a source tree with the folder tree kept.
class KeptTree : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(Src / "a/b");
    fs::create_directories(Src / "c");
    const auto xls = testbooks::Xls(testbooks::NumberBook({{{0, 0, 1}}}));
    using testbooks::WriteBytes;
    WriteBytes(Src / "top.xls", xls);
    WriteBytes(Src / "a/b/deep.xls", xls);
    WriteBytes(Src / "c/top.xls", xls);
    Batch.Settings.edSourceName = Src.Dir();
    Batch.Settings.edDestinationName = Dest.Dir();
    Batch.Settings.chkSubFolders = true;
    Batch.Settings.rgDestination = 1;
    Batch.Settings.Destination.KeepFolderTree = true;
  }
  TFakeUi Ui;
  TTempDir Src, Dest;
  TSpreadsheetBatch Batch;
};

TEST_F(KeptTree, OutputsFollowTheSourceFolders) {
  Batch.BuildCandidateList();
  Batch.BuildWorkList();
  ASSERT_EQ(Batch.ExecuteConversion(), TRunOutcome::roFinished);
  EXPECT_EQ(Files(Dest.Dir()), (std::set<std::string>{"top.csv", "a/b/deep.csv", "c/top.csv"}));
  // Off: one folder, the second top.xls folded to a name of its own.
  TTempDir flat;
  Batch.Settings.edDestinationName = flat.Dir();
  Batch.Settings.Destination.KeepFolderTree = false;
  Batch.BuildWorkList();
  Batch.ExecuteConversion();
  EXPECT_EQ(Files(flat.Dir()).size(), 3u);
  EXPECT_EQ(Files(flat.Dir()).count("deep.csv"), 1u);
}

TEST_F(KeptTree, APlantedLinkIsNotFollowed) {
  TTempDir elsewhere;
  fs::create_directory_symlink(elsewhere.Dir(), Dest / "a");
  Batch.BuildCandidateList();
  Batch.BuildWorkList();
  Batch.ExecuteConversion();
  EXPECT_TRUE(Files(elsewhere.Dir()).empty());
  bool refused = false;
  for (const TWorkItem& item : Batch.WorkItems()) {
    if (item.Caption.find("deep.xls") == std::string::npos) continue;
    refused = item.ImageIndex == ImageError && ItemStatusText(item.Status).find("symbolic link") != std::string::npos;
    EXPECT_TRUE(refused) << ItemStatusText(item.Status);
  }
  EXPECT_TRUE(refused);
  EXPECT_EQ(Files(Dest.Dir()).count("top.csv"), 1u);
}

TEST_F(KeptTree, NamedOutputsAreCheckedOneByOne) {
  // Overwriting off: book.csv standing there says nothing about the
  // template's outputs, so the item is not skipped for it.
  Batch.Settings.chkOverwrite = false;
  Batch.Settings.chkSubFolders = false;
  Batch.Settings.Destination.NameTemplate = SheetNameTemplate;
  std::ofstream(Dest / "top.csv") << "mine";
  std::ofstream(Dest / "top - Sheet1.csv") << "mine too";
  Batch.BuildCandidateList();
  Batch.BuildWorkList();
  ASSERT_EQ(Batch.WorkItems().size(), 1u);
  EXPECT_EQ(Batch.WorkItems()[0].Status, TItemState::Waiting);
  Batch.ExecuteConversion();
  EXPECT_EQ(StatusText(Batch.WorkItems()[0]), "Finished (existing output kept: top - Sheet1.csv)");
  EXPECT_EQ(Slurp(Dest / "top.csv"), "mine");
  EXPECT_EQ(Slurp(Dest / "top - Sheet1.csv"), "mine too");
  // The usual names: skipped before anything is read.
  Batch.Settings.Destination.NameTemplate.clear();
  Batch.BuildWorkList();
  EXPECT_EQ(Batch.WorkItems()[0].Status, TItemState::Skipped);
}

TEST(DestinationSettings, RoundTripAndTolerance) {
  TTempDir dir;
  TIniFile ini(dir / "a.ini");
  TDestinationOptions o;
  // Absent keys keep what is there: today's outputs.
  ReadDestinationSettings(ini, o);
  EXPECT_EQ(o, TDestinationOptions());
  o.Text.Banner = false;
  o.Text.ExtraRowColumn = false;
  o.Text.Separator = "\t";
  o.Text.Quoting = cqMinimal;
  o.Text.LineBreak = lbLF;
  o.Text.Encoding = encUtf16LE;
  o.Text.HtmlTitle = true;
  o.NameTemplate = "{sheet} ({name}){ext}";
  o.KeepFolderTree = true;
  o.Sheets = ssMask;
  o.SheetMask = "Data*";
  o.WholeWorkbook = true;
  WriteDestinationSettings(ini, o);
  const std::string text = ini.SaveToString();
  EXPECT_NE(text.find("Separator=tab"), std::string::npos) << text;
  EXPECT_NE(text.find("WholeWorkbook=1"), std::string::npos) << text;
  TIniFile again(dir / "b.ini");
  again.LoadFromString(text);
  TDestinationOptions back;
  ReadDestinationSettings(again, back);
  EXPECT_EQ(back, o);
  for (const char* sep : {";", "|", ",", " "}) {
    o.Text.Separator = sep;
    WriteDestinationSettings(ini, o);
    TIniFile one(dir / "c.ini");
    one.LoadFromString(ini.SaveToString());
    ReadDestinationSettings(one, back);
    EXPECT_EQ(back.Text.Separator, sep);
  }
  // Values not understood leave the option alone.
  TIniFile bad(dir / "d.ini");
  bad.LoadFromString("[Destination]\nSeparator=ab\nQuoting=some\nEncoding=ebcdic\nSheets=9\nNameTemplate={x}\n"
                     "LineEnd=cr\n");
  TDestinationOptions kept = o;
  ReadDestinationSettings(bad, kept);
  EXPECT_EQ(kept, o);
}

}  // namespace
