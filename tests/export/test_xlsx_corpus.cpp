// Every workbook of the real-file corpus written with destination format 5
// (what varnowe-batch --format xlsx does with each file), each sheet's
// .xlsx read back by openpyxl and compared cell by cell with the model the
// readers loaded (what varnowe-batch --dump prints).
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <future>

#include "CodePage.h"
#include "ConversionFrontEnd.h"
#include "ExportTestSupport.h"
#include "FakeUi.h"
#include "TempDir.h"
#include "XlsxTestSupport.h"

namespace fs = std::filesystem;

namespace {

TEST(XlsxCorpus, EveryWorkbookConvertsWithItsValues) {
  const fs::path corpus = VARNOWE_CORPUS_DIR;
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
  if (!HavePythonModule("openpyxl")) GTEST_SKIP() << "openpyxl is missing (scripts/install-deps.sh installs python3-openpyxl)";
  TTempDir tmp;
  TFakeUi ui;
  // Every sheet of the corpus fits the grid: no failure at all.
  const TCorpusConversion run = ConvertCorpus(corpus, tmp.Dir(), 5, ".xlsx", [](const std::string& source, const Exception& e) {
    ADD_FAILURE() << source << ": " << e.Message();
  });
  const std::vector<TCorpusOutput>& outputs = run.Outputs;
  ASSERT_GT(run.Converted, 200u);

  // openpyxl takes most of the time: two processes, one per core.
  std::vector<std::string> halves[2];
  for (size_t i = 0; i < outputs.size(); ++i) halves[i % 2].push_back(outputs[i].Path);
  fs::create_directories(tmp / "a");
  fs::create_directories(tmp / "b");
  auto second = std::async(std::launch::async, [&] { return ReadBack(halves[1], tmp / "b"); });
  auto back = ReadBack(halves[0], tmp / "a");
  back.merge(second.get());

  size_t cells = 0, equal = 0, percent = 0;
  std::vector<std::string> mismatches;
  for (const auto& o : outputs) {
    auto it = back.find(o.Path);
    ASSERT_NE(it, back.end()) << o.Path;
    const TReadBack& rb = it->second;
    ASSERT_EQ(rb.Error, "") << o.Path;
    const auto want = ExpectedCells(*o.Sheet, "s:#NUM!");
    for (const auto& [key, value] : want) {
      ++cells;
      if (value[0] == 'p') ++percent;
      auto got = rb.Cells.find(key);
      const std::string g = got == rb.Cells.end() ? "(none)" : got->second;
      if (SameAsOpenpyxl(value, g)) ++equal;
      else if (mismatches.size() < 40) mismatches.push_back(o.Path + " " + key + ": want " + value + " got " + g);
    }
    for (const auto& [key, value] : rb.Cells)
      if (!want.count(key) && mismatches.size() < 40) mismatches.push_back(o.Path + " " + key + ": extra " + value);
  }
  std::cout << run.Converted << " workbooks converted, " << outputs.size() << " sheets, " << run.LoadErrors
            << " failed to load; " << equal << " of " << cells << " cells equal (" << percent << " of them percentages)\n";
  for (const auto& m : mismatches) ADD_FAILURE() << m;
  EXPECT_EQ(equal, cells);
}

}  // namespace
