// Every workbook of the real-file corpus written with destination format 4
// (what varnowe-batch --format xls does with each file), each sheet's .xls
// read back by xlrd and compared cell by cell with the model the readers
// loaded (what varnowe-batch --dump prints).
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "CodePage.h"
#include "ConversionFrontEnd.h"
#include "ExportTestSupport.h"
#include "FakeUi.h"
#include "TempDir.h"

namespace fs = std::filesystem;

namespace {

int CodePageOf(const std::string& encoding) {
  if (encoding.rfind("cp", 0) == 0) return std::atoi(encoding.c_str() + 2);
  return 0;
}

TEST(XlsCorpus, EveryWorkbookConvertsWithItsValues) {
  const fs::path corpus = VARNOWE_CORPUS_DIR;
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
  if (!HavePythonModule("xlrd")) GTEST_SKIP() << "xlrd is missing (scripts/install-deps.sh installs python3-xlrd)";
  TTempDir tmp;
  TFakeUi ui;
  size_t limitErrors = 0;
  const TCorpusConversion run = ConvertCorpus(corpus, tmp.Dir(), 4, ".xls", [&](const std::string& source, const Exception& e) {
    // A sheet beyond the BIFF4 grid fails by name; nothing else may.
    EXPECT_NE(e.Message().find("can not contain more than"), std::string::npos) << source << ": " << e.Message();
    ++limitErrors;
  });
  const size_t converted = run.Converted, otherErrors = run.LoadErrors;
  const std::vector<TCorpusOutput>& outputs = run.Outputs;
  ASSERT_GT(converted, 100u);

  std::vector<std::string> paths;
  for (const auto& o : outputs) paths.push_back(o.Path);
  const auto back = ReadBack(paths, tmp.Dir());

  size_t cells = 0, equal = 0, unreadable = 0, percent = 0;
  std::vector<std::string> mismatches;
  for (const auto& o : outputs) {
    auto it = back.find(o.Path);
    ASSERT_NE(it, back.end()) << o.Path;
    const TReadBack& rb = it->second;
    if (!rb.Error.empty()) {
      // Texts that no Windows code page holds together go out as UTF-8,
      // which xlrd does not decode.
      EXPECT_NE(rb.Error.find("65001"), std::string::npos) << o.Path << ": " << rb.Error;
      std::cout << "  UTF-8: " << o.Path << "\n";
      ++unreadable;
      continue;
    }
    const int cp = CodePageOf(rb.Encoding);
    const auto want = ExpectedCells(*o.Sheet, "e:36");
    for (const auto& [key, value] : want) {
      ++cells;
      if (value[0] == 'p') ++percent;
      auto got = rb.Cells.find(key);
      std::string g = got == rb.Cells.end() ? "(none)" : got->second;
      bool ok = g == value;
      // A label longer than 255 bytes in the file's code page is cut.
      if (!ok && value[0] == 's' && g[0] == 's' && value.compare(0, g.size(), g) == 0 && cp > 0)
        ok = WideToAnsi(Utf8ToUtf16(value.substr(2)), cp).size() > 255;
      if (ok) ++equal;
      else if (mismatches.size() < 40) mismatches.push_back(o.Path + " " + key + ": want " + value + " got " + g);
    }
    for (const auto& [key, value] : rb.Cells)
      if (!want.count(key) && mismatches.size() < 40)
        mismatches.push_back(o.Path + " " + key + ": extra " + value);
  }
  std::cout << converted << " workbooks converted, " << outputs.size() << " sheets, " << limitErrors
            << " beyond the BIFF4 grid, " << otherErrors << " failed to load; " << equal << " of " << cells
            << " cells equal (" << percent << " of them percentages); " << unreadable << " sheets in UTF-8\n";
  for (const auto& m : mismatches) ADD_FAILURE() << m;
  EXPECT_EQ(equal, cells);
}

}  // namespace
