// Fills one sheet through the model's cell handler the way a reader does
// (row by row) and reads every cell back with GetCellValue; prints the rates
// and the peak resident memory.
//   bench_model [cells] [columns] [bycolumn]   defaults: 10000000 cells, 10 columns, row by row
// ("bycolumn" reports the cells column by column, as Lotus files store them.)
// Mix: 60 % numbers (integers and floats), 30 % short texts from a pool of
// 50, 10 % unique texts of about 20 characters.
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "QXCells.h"

namespace {

long PeakRssKiB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

// Process CPU time: on a busy machine wall time says more about the neighbours.
double CpuNow() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

struct TTimer {
  std::chrono::steady_clock::time_point Wall = std::chrono::steady_clock::now();
  double Cpu = CpuNow();
  double WallSec() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - Wall).count(); }
  double CpuSec() const { return CpuNow() - Cpu; }
};

TVariant MakeValue(int64_t i, const std::vector<std::string>& pool) {
  const int kind = int(i % 10);
  if (kind < 3) return TVariant(int64_t(i));
  if (kind < 6) return TVariant(double(i) * 0.25);
  if (kind < 9) return TVariant(pool[size_t(i * 31 % 50)]);
  return TVariant("Unique text " + std::to_string(i));
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t total = argc > 1 ? std::atoll(argv[1]) : 10000000;
  const int32_t columns = argc > 2 ? std::atoi(argv[2]) : 10;
  const bool byColumn = argc > 3 && std::string(argv[3]) == "bycolumn";
  if (total <= 0 || columns <= 0) {
    std::fprintf(stderr, "usage: bench_model [cells] [columns]\n");
    return 2;
  }
  std::vector<std::string> pool;
  for (int i = 0; i < 50; ++i) pool.push_back("Item " + std::to_string(i * 7919 % 1000));

  TSpreadSheetFile file;
  file.ResetData();
  bool skip = false;
  file.OnSheet(&file, u"Bench", 0, skip);
  const long rssBefore = PeakRssKiB();

  // The same values made without storing them: what a reader pays anyway.
  TTimer t;
  size_t dryCheck = 0;
  for (int64_t i = 0; i < total; ++i) {
    TVariant v = MakeValue(i, pool);
    dryCheck += size_t(v.Type());
  }
  const double dryWall = t.WallSec(), dryCpu = t.CpuSec();

  t = TTimer();
  const int64_t rowsNeeded = (total + columns - 1) / columns;
  for (int64_t i = 0; i < total; ++i) {
    const int32_t row = int32_t(byColumn ? i % rowsNeeded : i / columns);
    const int32_t col = int32_t(byColumn ? i / rowsNeeded : i % columns);
    TVariant v = MakeValue(i, pool);
    const TQXICellType type = v.Type() == TVarType::String ? ictString
                              : v.Type() == TVarType::Integer ? ictInteger : ictDecimal;
    file.OnCellValue(&file, 0, row, col, 0, v, taLeftJustify, type);
  }
  const double fillWall = t.WallSec(), fillCpu = t.CpuSec();
  const long rssFilled = PeakRssKiB();

  const TSpreadSheetCells& cells = file.Sheets[0].Cells;
  t = TTimer();
  double numbers = 0;
  size_t textBytes = 0;
  int64_t seen = 0;
  for (int32_t r = 0; r < cells.RowCount; ++r)
    for (int32_t c = 0; c < cells.ColCount; ++c) {
      TVariant v = cells.GetCellValue(c, r);
      if (v.IsNull()) continue;
      ++seen;
      if (v.Type() == TVarType::String) textBytes += v.AsString().size();
      else numbers += v.ToDouble();
    }
  const double readWall = t.WallSec(), readCpu = t.CpuSec();
  const int32_t rows = cells.RowCount;

  t = TTimer();
  file.Sheets.Clear();
  const double freeWall = t.WallSec(), freeCpu = t.CpuSec();

  const double n = double(total) / 1e6;
  std::printf("cells            %lld (%d columns, %d rows, %s)\n", (long long)total, columns, rows,
              byColumn ? "column by column" : "row by row");
  std::printf("                 wall s   cpu s   M cells/s (cpu)\n");
  std::printf("make values      %6.3f  %6.3f   %6.1f   (check %zu)\n", dryWall, dryCpu, n / dryCpu, dryCheck);
  std::printf("fill             %6.3f  %6.3f   %6.1f   store alone %.1f\n", fillWall, fillCpu, n / fillCpu,
              n / std::max(fillCpu - dryCpu, 1e-9));
  std::printf("read back        %6.3f  %6.3f   %6.1f   (%lld cells, checksum %.0f/%zu)\n", readWall, readCpu,
              double(seen) / 1e6 / readCpu, (long long)seen, numbers, textBytes);
  std::printf("free             %6.3f  %6.3f\n", freeWall, freeCpu);
  std::printf("peak RSS         %.1f MiB (model %.1f MiB, %.1f bytes/cell)\n", rssFilled / 1024.0,
              (rssFilled - rssBefore) / 1024.0, (rssFilled - rssBefore) * 1024.0 / double(total));
  return seen == total ? 0 : 1;
}
