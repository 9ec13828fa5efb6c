// varnowe-batch --export-spec: a specification file of the export components
// reaches every .xls, .xlsx and PDF writer of the run; a bad file stops the
// job before anything is converted; saving the run's settings and loading
// them again gives the same outputs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "CliRun.h"
#include "DestinationOptions.h"
#include "QXIZipFile.h"
#include "../export/ExportTestSupport.h"
#include "SourceBooks.h"
#include "TempDir.h"

namespace fs = std::filesystem;

namespace {

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// What the clock writes, not the settings: the PDF's creation time; in a
// package each part's time and the modified time of its properties, so a
// package compares by its parts.
std::string WithoutCreationTime(const std::string& bytes) {
  std::string out = std::regex_replace(bytes, std::regex("/CreationDate \\(D:[0-9]{14}\\)"), "/CreationDate (D:0)");
  TCustomMemoryStream stream(out.data(), int64_t(out.size()));
  TZipArchive zip;
  zip.Open(stream);
  if (!zip.IsZip()) return out;
  std::string parts;
  for (int32_t i = 0; i < zip.Count(); ++i)
    parts += zip.Files()[i].Name() + "\n" + std::regex_replace(zip.GetFileData(i), std::regex("<dcterms:modified[^<]*<"), "") + "\n";
  return parts;
}

class ExportSpecCli : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(Tmp / "in");
    WriteText(Tmp / "in/book.xlsx", sourcebooks::Build(".xlsx", {{1, 2, 3}, {4}}));
  }
  TCliRun Run(const std::string& format, const std::string& spec, const std::string& out) {
    return RunCli({"-q", "-f", format, "--export-spec", spec, "-d", out, Tmp / "in/book.xlsx"});
  }
  TTempDir Tmp;
};

TEST_F(ExportSpecCli, ABadFileStopsTheJobNamingTheLine) {
  WriteText(Tmp / "bad.spec", "[Header]\nHeader0=Report\nHeadr1=typo\n");
  TCliRun r = Run("pdf", Tmp / "bad.spec", Tmp / "out");
  EXPECT_EQ(r.Code, 2);
  EXPECT_NE(r.Err.find("bad.spec\" line 3: \"Headr1\" is not a setting of export specification files."),
            std::string::npos) << r.Err;
  EXPECT_FALSE(fs::exists(Tmp / "out/book.pdf"));
  r = Run("pdf", Tmp / "missing.spec", Tmp / "out");
  EXPECT_EQ(r.Code, 2);
  EXPECT_NE(r.Err.find("missing.spec"), std::string::npos) << r.Err;
  // The text writers are no export components.
  WriteText(Tmp / "good.spec", "[Header]\nHeader0=Report\n");
  r = Run("csv", Tmp / "good.spec", Tmp / "out");
  EXPECT_EQ(r.Code, 2);
  EXPECT_NE(r.Err.find("does nothing for csv"), std::string::npos) << r.Err;
}

TEST_F(ExportSpecCli, SavedSettingsLoadBackToTheSameOutputs) {
  // Header lines with an empty one between, a footer, no grid lines, a
  // colour style, viewer preferences.
  const TQXOptions options = TQXOptions((DefaultQXOptions | OptionBit(soColorsFonts)) & ~OptionBit(soColLines));
  WriteText(Tmp / "mine.spec", "; quarterly\n[Common]\nOptions=" + std::to_string(options) +
                                   "\n[ExportStyle]\nStyle=7\n[Header]\nCount=3\nHeader0=Quarterly report\nHeader1=\n"
                                   "Header2=second part\n[Footer]\nFooter0=the end\n[PDF]\nViewerPreferences=1\n"
                                   "PageLayout=2\n");
  const bool pdfTools = HaveProgram("pdftotext") && HaveProgram("qpdf");
  for (const char* format : {"pdf", "xlsx", "xls"}) {
    SCOPED_TRACE(format);
    const std::string name = std::string("book.") + format;
    ASSERT_EQ(Run(format, Tmp / "mine.spec", Tmp / "a").Code, 0);
    TDestinationOptions o;
    o.ExportSpec = Tmp / "mine.spec";
    LoadExportSpec(o);
    SaveExportSpec(Tmp / (std::string("saved-") + format + ".spec"), o, format == std::string("pdf") ? 6 : format == std::string("xlsx") ? 5 : 4);
    ASSERT_EQ(Run(format, Tmp / (std::string("saved-") + format + ".spec"), Tmp / "b").Code, 0);
    const std::string a = ReadFileText(Tmp / ("a/" + name)), b = ReadFileText(Tmp / ("b/" + name));
    ASSERT_FALSE(a.empty());
    EXPECT_TRUE(WithoutCreationTime(a) == WithoutCreationTime(b));
    if (format != std::string("pdf") || !pdfTools) continue;
    EXPECT_NE(a.find("/ViewerPreferences <<\r\n/HideToolbar true\r\n>>"), std::string::npos);
    EXPECT_NE(a.find("/PageLayout /OneColumn"), std::string::npos);
    const std::string check = RunCapture("qpdf --check " + ShellQuote(Tmp / ("a/" + name)) + " 2>&1");
    EXPECT_NE(check.find("No syntax or stream encoding errors"), std::string::npos) << check;
    const std::string text = RunCapture("pdftotext -layout " + ShellQuote(Tmp / ("a/" + name)) + " - 2>/dev/null");
    for (const char* line : {"Quarterly report", "second part", "the end"})
      EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    // The empty header line is a row of its own: "second part" is two rows below the first.
    const size_t first = text.find("Quarterly report"), second = text.find("second part");
    EXPECT_EQ(std::count(text.begin() + std::ptrdiff_t(first), text.begin() + std::ptrdiff_t(second), '\n') >= 2, true);
  }
}

}  // namespace
