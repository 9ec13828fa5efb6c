// Every workbook of the real-file corpus written with destination format 6
// (what varnowe-batch --format pdf does with each file): every PDF passes
// qpdf --check, and the texts of each sheet come back from pdftotext.
#include <gtest/gtest.h>

#include <filesystem>

#include "CodePage.h"
#include "ConversionFrontEnd.h"
#include "ExportTestSupport.h"
#include "FakeUi.h"
#include "TempDir.h"

namespace fs = std::filesystem;

namespace {

// Text without white space (pdftotext lays words out its own way).
std::string Squeezed(const std::string& utf8) {
  std::string out;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(utf8.data());
  const uint8_t* end = p + utf8.size();
  while (p < end) {
    const uint8_t* start = p;
    const char32_t c = NextUtf8CodePoint(p, end);
    if (c <= 0x20 || c == 0x7F || c == 0xA0 || c == 0x3000 || (c >= 0x2000 && c <= 0x200B)) continue;
    out.append(reinterpret_cast<const char*>(start), size_t(p - start));
  }
  return out;
}

// The first texts of a sheet, as UTF-8, each cut to its first 24
// characters: what lies beyond the page's edge is not on the page.
std::vector<std::string> SampleTexts(const TSpreadSheet& sheet, size_t most) {
  std::vector<std::string> out;
  const TSpreadSheetCells& cells = sheet.Cells;
  for (int32_t r = 0; r < cells.Count() && out.size() < most; ++r) {
    const TSpreadSheetCols* row = cells.RowCells(r);
    if (!row) continue;
    for (int32_t c = 0; c < 256 && out.size() < most; ++c) {
      const TQXICell* cell = row->Cell(c);
      if (!cell) continue;
      std::string s;
      if (cell->ValueType() == TVarType::WideString) s = Utf16ToUtf8(cell->WideValue());
      else if (cell->ValueType() == TVarType::String) s = AnsiToUtf8(cell->StringValue());
      s = Squeezed(s);
      size_t end = 0;
      for (int n = 0; n < 24 && end < s.size(); ++n) {
        ++end;
        while (end < s.size() && (uint8_t(s[end]) & 0xC0) == 0x80) ++end;
      }
      if (!s.empty()) out.push_back(s.substr(0, end));
    }
  }
  return out;
}

}  // namespace

TEST(PdfCorpus, EveryWorkbookGivesValidPdfsWithItsTexts) {
  const fs::path corpus = VARNOWE_CORPUS_DIR;
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
  if (!HaveProgram("qpdf") || !HaveProgram("pdftotext"))
    GTEST_SKIP() << "qpdf or pdftotext is missing (scripts/install-deps.sh installs qpdf and poppler-utils)";
  SetACPOverride(CP_UTF8);
  TTempDir tmp;
  TFakeUi ui;

  struct TOutput {
    std::string Source, Path;
    std::vector<std::string> Texts;
    TDocumentProperties Properties;
  };
  std::vector<TOutput> outputs;
  size_t converted = 0, unreadable = 0;
  for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
    if (!entry.is_regular_file() || entry.path().parent_path().filename() == "expected") continue;
    const std::string source = entry.path().string();
    const std::string name = entry.path().filename().string();
    if (!TSpreadsheetConversion().IsFileAccepted(name)) continue;
    const fs::path dest = fs::path(tmp.Dir()) / entry.path().parent_path().filename() / (name + ".pdf");
    fs::create_directories(dest.parent_path());
    auto reader = TSpreadsheetConversion::CreateReader(TSpreadsheetConversion::ChooseReader(source));
    try {
      if (!reader) throw Exception("no reader");
      reader->LoadFromFile(source);
    } catch (const std::exception&) {
      ++unreadable;  // the readers' business, the same for every format
      continue;
    }
    try {
      TSpreadsheetConversion::WriteWorkbook(reader->Sheets, dest.string(), 6);
    } catch (const Exception& e) {
      ADD_FAILURE() << source << ": " << e.Message();
      continue;
    }
    ++converted;
    for (int32_t n = 0; n < reader->Sheets.Count(); ++n) {
      const TSpreadSheet& sheet = reader->Sheets[n];
      if (n > 0 && sheet.Cells.Count() == 0) continue;
      const std::string path = n == 0 ? dest.string() : TSpreadsheetConversion::SheetOutputPath(dest.string(), n);
      outputs.push_back({source, path, SampleTexts(sheet, 40), sheet.DocumentProperties()});
    }
  }
  SetACPOverride(0);
  ASSERT_GT(converted, 100u);
  if (ReadBacksOff()) return;  // the sanitizer stage: the writing was the point

  // One shell for all files: qpdf's verdict, then the text next to each PDF
  // in the order it is drawn (a text cut at its neighbour does not mix with it).
  std::string script = "for f in";
  for (const auto& o : outputs) script += " " + ShellQuote(o.Path);
  script +=
      "; do qpdf --check \"$f\" >\"$f.qpdf\" 2>&1; echo \"exit $?\" >>\"$f.qpdf\";"
      " pdftotext -raw -enc UTF-8 \"$f\" \"$f.txt\" 2>/dev/null; " + PdfInfoCommand("\"$f\"") + " >\"$f.info\"; done";
  RunCapture("sh -c " + ShellQuote(script));

  size_t texts = 0, found = 0, described = 0;
  for (const auto& o : outputs) {
    // The source's title and author, else the file's name as title.
    EXPECT_EQ(PropertyMismatch(o.Path, o.Properties, ParsePdfInfo(ReadFileText(o.Path + ".info"))), "");
    described += !o.Properties.Title.empty() || !o.Properties.Author.empty();
    const std::string report = ReadFileText(o.Path + ".qpdf");
    EXPECT_TRUE(report.find("No syntax or stream encoding errors") != std::string::npos &&
                report.find("WARNING") == std::string::npos && report.find("exit 0") != std::string::npos)
        << o.Path << ":\n" << report;
    const std::string text = Squeezed(ReadFileText(o.Path + ".txt"));
    for (const auto& t : o.Texts) {
      ++texts;
      if (text.find(t) != std::string::npos) ++found;
      else if (texts - found <= 20) std::cout << "  not found in " << o.Path << ": " << t << "\n";
    }
  }
  std::cout << converted << " workbooks, " << outputs.size() << " PDFs, " << unreadable
            << " not readable; texts found " << found << " of " << texts << "; " << described
            << " PDFs with their source's title or author\n";
  EXPECT_GE(double(found), 0.99 * double(texts));
}
