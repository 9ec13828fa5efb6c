// Writes a workbook as one Excel 97-2003 workbook: a file loaded with the
// reader the batch would choose, or a generated one of SHEETS sheets of
// ROWS x COLS numbers (for files of hundreds of megabytes). Prints the
// load (or build) and write times; bench_export_xls8.sh runs it.
//
// Usage: bench_export_xls8 SOURCE DEST.xls
//        bench_export_xls8 --generate SHEETS ROWS COLS DEST.xls
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ConversionFrontEnd.h"
#include "ExportHandOff.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

}  // namespace

int main(int argc, char** argv) {
  const bool generate = argc == 6 && std::strcmp(argv[1], "--generate") == 0;
  if (argc != 3 && !generate) {
    std::fprintf(stderr, "usage: %s SOURCE DEST.xls\n       %s --generate SHEETS ROWS COLS DEST.xls\n", argv[0],
                 argv[0]);
    return 2;
  }
  try {
    const auto t0 = std::chrono::steady_clock::now();
    std::unique_ptr<TSpreadSheetFile> reader;
    TSpreadSheets generated;
    const TSpreadSheets* sheets = &generated;
    if (generate) {
      const int sheetCount = std::atoi(argv[2]), rows = std::atoi(argv[3]), cols = std::atoi(argv[4]);
      for (int s = 0; s < sheetCount; ++s) {
        TSpreadSheet& sheet = generated.GetSheet(s);
        for (int r = 0; r < rows; ++r)
          for (int c = 0; c < cols; ++c)
            sheet.Cells.SetCell(c, r, ictDecimal, 0, taLeftJustify, TVariant(r * 0.37 + c * 1.0001 + s));
      }
    } else {
      reader = TSpreadsheetConversion::CreateReader(TSpreadsheetConversion::ChooseReader(argv[1]));
      if (!reader) throw Exception("no reader for " + std::string(argv[1]));
      TSpreadsheetConversion::LoadSource(*reader, argv[1]);
      sheets = &reader->Sheets;
    }
    const auto t1 = std::chrono::steady_clock::now();
    ExportXLSWorkbook(argv[argc - 1], *sheets);
    const auto t2 = std::chrono::steady_clock::now();
    std::printf("%s %.2f s, write %.2f s\n", generate ? "build" : "load", Seconds(t0, t1), Seconds(t1, t2));
  } catch (const std::exception& e) {
    std::printf("Error: %s\n", e.what());
    return 1;
  }
  return 0;
}
