// Loads a workbook with the reader the batch would choose and writes every
// sheet into one Excel 97-2003 workbook; bench_export_xls8.sh times it.
//
// Usage: bench_export_xls8 SOURCE DEST.xls
#include <chrono>
#include <cstdio>

#include "ConversionFrontEnd.h"
#include "ExportHandOff.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s SOURCE DEST.xls\n", argv[0]);
    return 2;
  }
  try {
    const auto t0 = std::chrono::steady_clock::now();
    auto reader = TSpreadsheetConversion::CreateReader(TSpreadsheetConversion::ChooseReader(argv[1]));
    if (!reader) throw Exception("no reader for " + std::string(argv[1]));
    TSpreadsheetConversion::LoadSource(*reader, argv[1]);
    const auto t1 = std::chrono::steady_clock::now();
    ExportXLSWorkbook(argv[2], reader->Sheets);
    const auto t2 = std::chrono::steady_clock::now();
    std::printf("load %.2f s, write %.2f s\n", std::chrono::duration<double>(t1 - t0).count(),
                std::chrono::duration<double>(t2 - t1).count());
  } catch (const std::exception& e) {
    std::printf("Error: %s\n", e.what());
    return 1;
  }
  return 0;
}
