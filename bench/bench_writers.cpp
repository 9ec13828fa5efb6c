// Writes a 1-million-cell sheet (numbers and texts) with each text writer
// and compares the time with the floor: std::fwrite of the same bytes, one
// call per line as the writers do.
//   bench_writers [rows=100000] [directory=$TMPDIR or /tmp]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BenchTiming.h"
#include "PlainWriters.h"
#include "Streams.h"

namespace {

constexpr int Columns = 10;

void Fill(TSpreadSheet& sheet, int rows) {
  for (int r = 0; r < rows; ++r) {
    for (int k = 0; k < Columns; ++k) {
      TVariant v;
      TQXICellType t = ictString;
      switch (k % 5) {
        case 0: v = TVariant("Item " + std::to_string(r)); break;
        case 1: v = TVariant(int64_t(r * 7 - 300)); t = ictInteger; break;
        case 2: v = TVariant(r * 0.25 + k); t = ictDecimal; break;  // fractions and whole numbers
        case 3: v = TVariant(std::string(k % 3 == 0 ? "north" : "a longer \"quoted\" text, with comma")); break;
        default: v = TVariant(1000.0 / (r + 1)); t = ictDecimal; break;  // 15 significant digits
      }
      sheet.Cells.SetCell(k, r, t, 0, taLeftJustify, v);
    }
  }
  sheet.ColumnWidths = {2340, 40, 2560, 0};
}

}  // namespace

int main(int argc, char** argv) {
  int rows = argc > 1 ? std::atoi(argv[1]) : 100000;
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = argc > 2 ? argv[2] : (tmp ? tmp : "/tmp");
  TSpreadSheet sheet;
  Fill(sheet, rows);
  const double cells = double(rows) * Columns;

  struct Writer {
    const char* Name;
    void (*ToFile)(const std::string&, const TSpreadSheet&, const TSheetWriteOptions&);
    void (*ToStream)(TStream&, const TSpreadSheet&, const TSheetWriteOptions&);
  };
  const Writer writers[] = {
      {"txt", WriteTXT, WriteTXT}, {"csv", WriteCSV, WriteCSV}, {"htm", WriteHTML, WriteHTML}, {"xml", WriteXML, WriteXML}};
  std::printf("%d cells (%d rows x %d columns)\n", int(cells), rows, Columns);
  std::printf("%-4s %10s %12s %10s %10s %7s\n", "fmt", "MB", "cells/s", "writer ms", "fwrite ms", "ratio");
  int failures = 0;
  for (const Writer& w : writers) {
    std::string path = dir + "/bench_writers." + w.Name;
    double writer = BestSeconds([&] { w.ToFile(path, sheet, {}); });

    TMemoryStream bytes;
    w.ToStream(bytes, sheet, {});
    const char* data = reinterpret_cast<const char*>(bytes.Memory());
    size_t size = size_t(bytes.Size());
    std::vector<std::pair<size_t, size_t>> lines;
    for (size_t start = 0; start < size;) {
      const void* lf = std::memchr(data + start, '\n', size - start);
      size_t end = lf ? size_t(static_cast<const char*>(lf) - data) + 1 : size;
      lines.emplace_back(start, end - start);
      start = end;
    }
    double floor = BestSeconds([&] {
      FILE* f = std::fopen(path.c_str(), "wb");
      if (!f) std::abort();
      for (auto [start, length] : lines) std::fwrite(data + start, 1, length, f);
      std::fclose(f);
    });
    double ratio = writer / floor;
    std::printf("%-4s %10.1f %12.0f %10.1f %10.1f %7.2f%s\n", w.Name, double(size) / 1e6, cells / writer,
                writer * 1e3, floor * 1e3, ratio, ratio > 3 ? "  (over 3x)" : "");
    if (ratio > 3) ++failures;
    std::remove(path.c_str());
  }
  return failures ? 1 : 0;
}
