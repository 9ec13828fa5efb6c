// The .xls writer alone: a sheet of 655,360 cells (16,384 rows, the most a
// BIFF4 sheet holds, by 40 columns of numbers, dates, booleans and texts)
// exported to .xls, against the CSV writer on the same sheet (the peer
// measured in the same run). The workbook is built in memory, so no reader
// time is in either figure.
//   bench_export [rows=16384] [directory=$TMPDIR or /tmp]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "CodePage.h"
#include "ExportHandOff.h"
#include "BenchTiming.h"
#include "PlainWriters.h"

namespace {

constexpr int Columns = 40;

void Fill(TSpreadSheet& sheet, int rows) {
  for (int r = 0; r < rows; ++r)
    for (int k = 0; k < Columns; ++k) {
      switch (k % 8) {
        case 0: sheet.Cells.SetCell(k, r, ictInteger, 0, taLeftJustify, TVariant(int64_t(r))); break;
        case 1: sheet.Cells.SetCell(k, r, ictDecimal, 0, taLeftJustify, TVariant(r * 1.37 - 500)); break;
        case 2: sheet.Cells.SetCell(k, r, ictDecimal, 0, taLeftJustify, TVariant(1.0 / (r + k + 1))); break;
        case 3: sheet.Cells.SetCell(k, r, ictString, 0, taLeftJustify, TVariant(std::string(r % 3 ? "North" : "South-east"))); break;
        case 4: sheet.Cells.SetCell(k, r, ictString, 0, taLeftJustify, TVariant("SKU-" + std::to_string(r * 31 + k))); break;
        case 5: sheet.Cells.SetCell(k, r, ictDateTime, 0, taLeftJustify, TVariant::DateTime(36526 + r % 11000)); break;
        case 6: sheet.Cells.SetCell(k, r, ictDateTime, 0, taLeftJustify, TVariant::DateTime(36526 + r * 0.37)); break;
        default: sheet.Cells.SetCell(k, r, ictBoolean, 0, taLeftJustify, TVariant(r % 2 == 0)); break;
      }
    }
}

}  // namespace

int main(int argc, char** argv) {
  const int rows = argc > 1 ? std::atoi(argv[1]) : 16384;
  const char* tmp = std::getenv("TMPDIR");
  const std::string dir = argc > 2 ? argv[2] : (tmp ? tmp : "/tmp");
  TSpreadSheet sheet;
  Fill(sheet, rows);
  const double cells = double(rows) * Columns;
  const std::string xls = dir + "/bench_export.xls", csv = dir + "/bench_export.csv";
  const double tx = BestSeconds([&] { ExportXLS(xls, sheet); }, 5);
  const double tc = BestSeconds([&] { WriteCSV(csv, sheet); }, 5);
  std::printf("%d cells (%d rows x %d columns), system code page %d\n", int(cells), rows, Columns, GetACP());
  std::printf(".xls export %7.1f ms  %6.2f M cells/s\n", tx * 1e3, cells / tx / 1e6);
  std::printf("CSV writer  %7.1f ms  %6.2f M cells/s\n", tc * 1e3, cells / tc / 1e6);
  std::printf("ratio .xls / CSV: %.2f\n", tx / tc);
  std::remove(xls.c_str());
  std::remove(csv.c_str());
  return 0;
}
