#include "Budgets.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>
#include <string>
#include <thread>

int64_t PackageInflateBudget(int64_t packageSize) {
  if (packageSize <= 0) return DefaultPackageInflateBudget;
  if (packageSize > std::numeric_limits<int64_t>::max() / PackageInflateRatio)
    return std::numeric_limits<int64_t>::max();
  return std::max(DefaultPackageInflateBudget, packageSize * PackageInflateRatio);
}

int64_t PhysicalMemory() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  return int64_t(pages) * int64_t(pageSize);
}

void GiveBackPages(const void* data, size_t size) {
  static const uintptr_t page = uintptr_t(std::max(::sysconf(_SC_PAGESIZE), 4096L));
  const uintptr_t begin = (uintptr_t(data) + page - 1) & ~(page - 1);
  const uintptr_t end = (uintptr_t(data) + size) & ~(page - 1);
  // Advice only: where it is refused the pages simply stay.
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
}

int64_t DefaultWorkbookMemoryBudget() {
  static const int64_t budget = [] {
    const int64_t total = PhysicalMemory();
    // Unknown memory: a budget that still stops a runaway load.
    return total > 0 ? total / 2 : 4 * GiB;
  }();
  return budget;
}

TProcessorBudget& TProcessorBudget::Shared() {
  static TProcessorBudget budget(std::max(1, int(std::thread::hardware_concurrency())));
  return budget;
}

int TProcessorBudget::TryBorrow(int n) {
  int free = FFree.load();
  for (;;) {
    const int take = std::min(n, free);
    if (take <= 0) return 0;
    if (FFree.compare_exchange_weak(free, free - take)) return take;
  }
}

std::string OutputBudgetText(int64_t budget) {
  return "its output grows past the budget of " + FormatByteSize(budget) +
         " per file (--max-output, setting MaxOutputSize).";
}

std::string FormatByteSize(int64_t bytes) {
  static const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  double v = double(bytes);
  int u = -1;
  while (v >= 1024 && u < 5) {
    v /= 1024;
    ++u;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  std::string text = buf;
  // Whole values without ".0": "4 GiB".
  if (text.size() > 2 && text.compare(text.size() - 2, 2, ".0") == 0) text.resize(text.size() - 2);
  return text + " " + units[u];
}

bool TryParseByteSize(const std::string& text, int64_t& bytes) {
  size_t i = 0;
  while (i < text.size() && std::isspace(uint8_t(text[i]))) ++i;
  uint64_t value = 0;
  size_t digits = 0;
  for (; i < text.size() && std::isdigit(uint8_t(text[i])); ++i, ++digits) {
    value = value * 10 + uint64_t(text[i] - '0');
    if (value > uint64_t(std::numeric_limits<int64_t>::max())) return false;
  }
  if (digits == 0) return false;
  while (i < text.size() && std::isspace(uint8_t(text[i]))) ++i;
  std::string unit;
  for (; i < text.size() && !std::isspace(uint8_t(text[i])); ++i) unit += char(std::toupper(uint8_t(text[i])));
  while (i < text.size() && std::isspace(uint8_t(text[i]))) ++i;
  if (i != text.size()) return false;
  int shift = 0;
  if (unit.empty() || unit == "B") shift = 0;
  else if (unit == "K" || unit == "KB" || unit == "KIB") shift = 10;
  else if (unit == "M" || unit == "MB" || unit == "MIB") shift = 20;
  else if (unit == "G" || unit == "GB" || unit == "GIB") shift = 30;
  else if (unit == "T" || unit == "TB" || unit == "TIB") shift = 40;
  else return false;
  if (shift && value > (uint64_t(std::numeric_limits<int64_t>::max()) >> shift)) return false;
  bytes = int64_t(value << shift);
  return true;
}
