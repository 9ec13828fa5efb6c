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

bool IsDateType(TQXICellType t) { return t == ictDateTime || t == ictDate || t == ictTime; }

// What openpyxl must show for a model cell ("" for no cell).
std::string Expected(const TQXICell& c) {
  switch (c.ValueType()) {
    case TVarType::String: return c.StringValue().empty() ? "" : "s:" + AnsiToUtf8(c.StringValue());
    case TVarType::WideString: return c.WideValue().empty() ? "" : "s:" + Utf16ToUtf8(c.WideValue());
    case TVarType::Boolean: return c.NumberValue() != 0 ? "b:1" : "b:0";
    case TVarType::Integer:
    case TVarType::Float:
    case TVarType::DateTime: {
      const double d = c.NumberValue();
      if (!std::isfinite(d)) return "s:#NUM!";
      if (c.CellType() == ictBoolean) return d != 0 ? "b:1" : "b:0";
      const bool date = IsDateType(c.CellType()) || c.ValueType() == TVarType::DateTime;
      return (date ? "d:" : "n:") + Format("%.17g", d);
    }
    default: return "";
  }
}

TEST(XlsxCorpus, EveryWorkbookConvertsWithItsValues) {
  const fs::path corpus = VARNOWE_CORPUS_DIR;
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
  if (!HavePythonModule("openpyxl")) GTEST_SKIP() << "openpyxl is missing (scripts/install-deps.sh installs python3-openpyxl)";
  TTempDir tmp;
  TFakeUi ui;

  struct TOutput {
    std::string Path;
    const TSpreadSheet* Sheet;
  };
  std::vector<std::unique_ptr<TSpreadSheetFile>> loaded;
  std::vector<TOutput> outputs;
  size_t converted = 0, loadErrors = 0;
  for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
    if (!entry.is_regular_file() || entry.path().parent_path().filename() == "expected") continue;
    const std::string source = entry.path().string();
    const std::string name = entry.path().filename().string();
    if (!TSpreadsheetConversion().IsFileAccepted(name)) continue;
    const fs::path dest = fs::path(tmp.Dir()) / entry.path().parent_path().filename() / (name + ".xlsx");
    fs::create_directories(dest.parent_path());
    auto reader = TSpreadsheetConversion::CreateReader(TSpreadsheetConversion::ChooseReader(source));
    try {
      if (!reader) throw Exception("no reader");
      reader->LoadFromFile(source);
    } catch (const std::exception&) {
      ++loadErrors;  // the readers' business, the same for every format
      continue;
    }
    // Every sheet of the corpus fits the grid: no failure at all.
    try {
      TSpreadsheetConversion::WriteWorkbook(reader->Sheets, dest.string(), 5);
    } catch (const Exception& e) {
      ADD_FAILURE() << source << ": " << e.Message();
      continue;
    }
    ++converted;
    for (int32_t n = 0; n < reader->Sheets.Count(); ++n) {
      const TSpreadSheet& sheet = reader->Sheets[n];
      if (n > 0 && sheet.Cells.Count() == 0) continue;
      const std::string path = n == 0 ? dest.string() : TSpreadsheetConversion::SheetOutputPath(dest.string(), n);
      outputs.push_back({path, &sheet});
    }
    loaded.push_back(std::move(reader));
  }
  ASSERT_GT(converted, 200u);

  // openpyxl takes most of the time: two processes, one per core.
  std::vector<std::string> halves[2];
  for (size_t i = 0; i < outputs.size(); ++i) halves[i % 2].push_back(outputs[i].Path);
  fs::create_directories(tmp / "a");
  fs::create_directories(tmp / "b");
  auto second = std::async(std::launch::async, [&] { return ReadBack(halves[1], tmp / "b"); });
  auto back = ReadBack(halves[0], tmp / "a");
  back.merge(second.get());

  size_t cells = 0, equal = 0;
  std::vector<std::string> mismatches;
  for (const auto& o : outputs) {
    auto it = back.find(o.Path);
    ASSERT_NE(it, back.end()) << o.Path;
    const TReadBack& rb = it->second;
    ASSERT_EQ(rb.Error, "") << o.Path;
    std::map<std::string, std::string> want;
    const TSpreadSheetCells& c = o.Sheet->Cells;
    for (int32_t r = 0; r < c.Count(); ++r) {
      const TSpreadSheetCols* row = c.RowCells(r);
      if (!row) continue;
      for (int32_t k = 0; k < row->Count(); ++k)
        if (const TQXICell* cell = row->Cell(k)) {
          std::string e = Expected(*cell);
          if (!e.empty()) want[std::to_string(r) + "," + std::to_string(k)] = e;
        }
    }
    for (const auto& [key, value] : want) {
      ++cells;
      auto got = rb.Cells.find(key);
      const std::string g = got == rb.Cells.end() ? "(none)" : got->second;
      if (SameAsOpenpyxl(value, g)) ++equal;
      else if (mismatches.size() < 40) mismatches.push_back(o.Path + " " + key + ": want " + value + " got " + g);
    }
    for (const auto& [key, value] : rb.Cells)
      if (!want.count(key) && mismatches.size() < 40) mismatches.push_back(o.Path + " " + key + ": extra " + value);
  }
  std::cout << converted << " workbooks converted, " << outputs.size() << " sheets, " << loadErrors
            << " failed to load; " << equal << " of " << cells << " cells equal\n";
  for (const auto& m : mismatches) ADD_FAILURE() << m;
  EXPECT_EQ(equal, cells);
}

}  // namespace
