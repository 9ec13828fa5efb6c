// Document properties travel from the workbook model into every output that
// carries them (PDF Info, .xlsx core properties, the summary information of
// an Excel 97-2003 workbook), read back by other programs: pdfinfo, Python's
// zipfile and XML modules, and LibreOffice for .xls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "CodePage.h"
#include "DateTime.h"
#include "ExportHandOff.h"
#include "ExportTestSupport.h"
#include "FakeUi.h"
#include "QXXLS.h"
#include "TempDir.h"

namespace fs = std::filesystem;

namespace {

struct TWriter {
  const char* Name;
  const char* Ext;
  void (*Write)(const std::string& path, const TSpreadSheets& book);
};

// Per-sheet outputs of the second sheet take the workbook's properties too.
const TWriter Writers[] = {
    {"pdf-sheet", ".pdf", [](const std::string& p, const TSpreadSheets& b) { ExportPDF(p, b[1]); }},
    {"pdf-book", ".pdf", [](const std::string& p, const TSpreadSheets& b) { ExportPDFWorkbook(p, {&b[0], &b[1]}); }},
    {"xlsx-sheet", ".xlsx", [](const std::string& p, const TSpreadSheets& b) { ExportXLSX(p, b[1]); }},
    {"xlsx-book", ".xlsx", [](const std::string& p, const TSpreadSheets& b) { ExportXLSXWorkbook(p, {&b[0], &b[1]}); }},
    {"xls-book", ".xls", [](const std::string& p, const TSpreadSheets& b) { ExportXLSWorkbook(p, b); }},
    // A text past 255 bytes makes the sheet's .xls a one-sheet workbook.
    {"xls-sheet", ".xls", [](const std::string& p, const TSpreadSheets& b) { ExportXLS(p, b[1]); }},
};

struct TCase {
  const char* Name;
  TDocumentProperties Source;
};

}  // namespace

TEST(DocumentProperties, EveryWriterCarriesTheSourcesPropertiesOrTheFileNameAsTitle) {
  if (!HaveProgram("pdfinfo")) GTEST_SKIP() << "pdfinfo is missing (scripts/install-deps.sh installs poppler-utils)";
  // Local time is UTC here and in the programs run, so times read back as
  // written (each test runs in a process of its own).
  setenv("TZ", "UTC", 1);
  tzset();
  SetACPOverride(CP_UTF8);
  TTempDir tmp;
  TFakeUi ui;
  const TCase cases[] = {
      {"rich",
       {"Q1 & Q2 <draft> \"\xC3\x9Cn\xC3\xAF\" \xD0\x9F\xD1\x80\xD0\xBE\xD0\xB4\xD0\xB0\xD0\xB6\xD0\xB8 \xE5\xA3\xB2\xE4\xB8\x8A",
        "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82: a_x0041_b & </subject>",
        "\xD9\x85\xD8\xAD\xD9\x85\xD8\xAF O'Brien", "a, b & c; \xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87",
        EncodeDate(2021, 3, 4) + EncodeTime(5, 6, 7, 0)}},
      {"bare", {}},
  };
  struct TOutput {
    const TCase* Case;
    const TWriter* Writer;
    std::string Path;
  };
  std::vector<TOutput> outputs;
  std::vector<std::string> xlsx, xls;
  for (const TCase& c : cases) {
    TSpreadSheets book;
    book.Properties = c.Source;
    FillSheet(book.GetSheet(0), {{"a", int64_t(1)}});
    FillSheet(book.GetSheet(1), {{std::string(300, 'x'), 2.5}});
    for (const TWriter& w : Writers) {
      const std::string path = tmp / (std::string(c.Name) + "-" + w.Name + w.Ext);
      ASSERT_NO_THROW(w.Write(path, book)) << path;
      outputs.push_back({&c, &w, path});
      (std::string(w.Ext) == ".xls" ? xls : xlsx).push_back(path);
    }
  }
  auto back = ReadCoreProperties(xlsx, tmp.Dir());
  const bool office = HaveProgram("soffice");
  if (office) {
    const std::vector<std::string> converted = ConvertWithLibreOffice(xls, tmp / "lo");
    const auto fromXls = ReadCoreProperties(converted, tmp.Dir());
    for (size_t i = 0; i < xls.size(); ++i)
      if (fromXls.count(converted[i])) back[xls[i]] = fromXls.at(converted[i]);
  }

  for (const TOutput& o : outputs) {
    const std::string ext = o.Writer->Ext;
    const TDocumentProperties& s = o.Case->Source;
    if (ext == ".xls") {
      // This program's own reader gets every property back as it was.
      TMSExcel own;
      ASSERT_NO_THROW(own.LoadFromFile(o.Path)) << o.Path;
      const TDocumentProperties& p = own.Sheets.Properties;
      EXPECT_EQ(p.Title + "|" + p.Subject + "|" + p.Author + "|" + p.Keywords,
                s.TitleOr(o.Path) + "|" + s.Subject + "|" + s.Author + "|" + s.Keywords);
      EXPECT_NEAR(p.Created, s.Created, 1.0 / 86400);
      if (!office) continue;
    }
    std::map<std::string, std::string> got;
    if (ext == ".pdf") {
      got = PdfInfo(o.Path);
    } else {
      ASSERT_TRUE(back.count(o.Path)) << o.Path << ": not read back";
      EXPECT_EQ(back.at(o.Path).Error, "") << o.Path;
      got = back.at(o.Path).Cells;
    }
    auto field = [&](const char* key) { return got.count(key) ? got.at(key) : std::string("(none)"); };
    // LibreOffice's own .xlsx escapes an underscore as SpreadsheetML does
    // and lists keywords without commas.
    auto want = [&](std::string text, bool keywords = false) {
      if (ext == ".xls") text = StringReplaceAll(text, "_x", keywords ? "_x" : "_x005F_x");
      if (ext == ".xls" && keywords) text.erase(std::remove(text.begin(), text.end(), ','), text.end());
      return text.empty() ? std::string("(none)") : text;
    };
    SCOPED_TRACE(o.Path);
    EXPECT_EQ(field("title"), s.TitleOr(o.Path));
    EXPECT_EQ(field("subject"), want(s.Subject));
    EXPECT_EQ(field("keywords"), want(s.Keywords, true));
    // Without an author of its own an .xlsx names the writer; PDF and .xls
    // name none.
    if (ext == ".xlsx" && s.Author.empty()) {
      EXPECT_EQ(field("author"), "QXExport suite");
    } else if (ext != ".xls" || !s.Author.empty()) {
      EXPECT_EQ(field("author"), want(s.Author));
    }
    // Without a time of its own a PDF or .xlsx records the time of writing;
    // an .xls records none, so that it stays the same from run to run.
    const std::string created = field("created");
    if (s.Created > 0) {
      EXPECT_EQ(created, "2021-03-04T05:06:07");
    } else {
      EXPECT_EQ(ext == ".xls" ? created : created.substr(0, 4), ext == ".xls" ? "(none)" : FormatDateTime("yyyy", Now()));
    }
  }
  SetACPOverride(0);
}
