// Heap allocations per cell while a reader loads a workbook: a counting
// operator new around the load only (building the input is not counted).
//   bench_alloc [cells] [file...]   default: 200000 cells per generated book
// Generated books: one sheet of numbers and one of shared-string cells
// (texts from a pool of 1,000), as .xlsx and as BIFF8 .xls. Each file named
// on the command line is loaded too and reported per stored cell.
// The replaced operators below pair malloc with free; GCC cannot see that.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "BiffBuilder.h"
#include "CfbBuilder.h"
#include "ConversionFrontEnd.h"
#include "QXXLS.h"
#include "QXXLSX.h"
#include "ZipBuilder.h"

namespace {
std::atomic<bool> Counting{false};
std::atomic<uint64_t> Allocations{0};
}  // namespace

void* operator new(size_t n) {
  if (Counting.load(std::memory_order_relaxed)) Allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace {

constexpr int kColumns = 10;
constexpr int kPool = 1000;

std::string PoolText(int i) { return "text number " + std::to_string(i % kPool); }

std::string Xlsx(int cells, bool texts) {
  const char* rels =
      "<?xml version=\"1.0\"?><Relationships><Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/"
      "officeDocument/2006/relationships/officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>";
  std::string sheet = "<?xml version=\"1.0\"?><worksheet><sheetData>";
  for (int i = 0; i < cells; ++i) {
    const int row = i / kColumns;
    if (i % kColumns == 0) sheet += (row ? "</row><row r=\"" : "<row r=\"") + std::to_string(row + 1) + "\">";
    if (texts)
      sheet += "<c t=\"s\"><v>" + std::to_string((i * 7) % kPool) + "</v></c>";
    else
      sheet += "<c><v>" + std::to_string(i * 0.25) + "</v></c>";
  }
  sheet += "</row></sheetData></worksheet>";
  std::string sst = "<?xml version=\"1.0\"?><sst>";
  for (int i = 0; i < kPool; ++i) sst += "<si><t>" + PoolText(i) + "</t></si>";
  sst += "</sst>";
  ZipBuilder z;
  z.Add("_rels/.rels", rels);
  z.Add("xl/workbook.xml", "<?xml version=\"1.0\"?><workbook><sheets><sheet name=\"S\" r:id=\"rId1\"/></sheets></workbook>");
  z.Add("xl/_rels/workbook.xml.rels",
        "<?xml version=\"1.0\"?><Relationships><Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/"
        "officeDocument/2006/relationships/worksheet\" Target=\"worksheets/sheet1.xml\"/></Relationships>");
  z.Add("xl/sharedStrings.xml", sst);
  z.Add("xl/worksheets/sheet1.xml", sheet);
  return z.Build();
}

std::string Xls(int cells, bool texts) {
  biff::Workbook wb;
  biff::Body sst;
  sst.u32(kPool).u32(kPool);
  for (int i = 0; i < kPool; ++i) {
    const std::string t = PoolText(i);
    sst.str16(std::u16string(t.begin(), t.end()));
  }
  wb.globals.rec(0x00FC, sst);
  biff::Stream s;
  for (int i = 0; i < cells; ++i) {
    const uint16_t row = uint16_t(i / kColumns), col = uint16_t(i % kColumns);
    if (texts)
      s.rec(0x00FD, biff::LabelSst(row, col, 0, uint32_t((i * 7) % kPool)));
    else
      s.rec(0x0203, biff::Number(row, col, 0, i * 0.25));
  }
  wb.sheets.push_back({u"S", s});
  CfbBuilder cfb;
  cfb.AddStream("Workbook", wb.Build());
  const std::vector<uint8_t> bytes = cfb.Build();
  return std::string(bytes.begin(), bytes.end());
}

int64_t StoredCells(const TSpreadSheets& sheets) {
  int64_t n = 0;
  for (int32_t s = 0; s < sheets.Count(); ++s) {
    const TSpreadSheetCells& cells = sheets[s].Cells;
    for (int32_t r = 0; r < cells.Count(); ++r)
      if (const TSpreadSheetCols* row = cells.RowCells(r))
        for (int32_t c = 0; c < row->Count(); ++c) n += row->Cell(c) != nullptr;
  }
  return n;
}

void Report(const char* what, TSpreadSheetFile& reader, TStream& input) {
  Allocations = 0;
  Counting = true;
  reader.LoadFromStream(input);
  Counting = false;
  const int64_t cells = StoredCells(reader.Sheets);
  std::printf("%-32s %10lld cells %12llu allocations %8.3f per cell\n", what, (long long)cells,
              (unsigned long long)Allocations.load(), cells ? double(Allocations.load()) / double(cells) : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  const int cells = argc > 1 ? std::atoi(argv[1]) : 200000;
  for (bool texts : {false, true}) {
    const std::string x = Xlsx(cells, texts);
    TCustomMemoryStream xs(x.data(), int64_t(x.size()));
    TMSExcelX xlsx;
    Report(texts ? ".xlsx shared-string cells" : ".xlsx numeric cells", xlsx, xs);
    const std::string b = Xls(cells, texts);
    TCustomMemoryStream bs(b.data(), int64_t(b.size()));
    TMSExcel xls;
    Report(texts ? ".xls shared-string cells" : ".xls numeric cells", xls, bs);
  }
  for (int i = 2; i < argc; ++i) {
    std::unique_ptr<TSpreadSheetFile> reader =
        TSpreadsheetConversion::CreateReader(TSpreadsheetConversion::ChooseReader(argv[i]));
    if (!reader) {
      std::fprintf(stderr, "%s: no reader\n", argv[i]);
      continue;
    }
    TFileStream f(argv[i], fmOpenRead);
    Report(argv[i], *reader, f);
  }
  return 0;
}
