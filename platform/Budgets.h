#pragma once
// Limits on what one hostile or oversized source may cost: bytes written per
// output file, bytes inflated per zip package and bytes of cells per loaded
// workbook. Past a budget the work stops with EBudgetExceeded, whose message
// names what was too large and the budget, instead of filling the disk or
// ending in std::bad_alloc.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "Exception.h"

VARNOWE_EXCEPTION(EBudgetExceeded, Exception);
// An output file's stream reached the output budget.
VARNOWE_EXCEPTION(EOutputBudgetExceeded, EBudgetExceeded);

inline constexpr int64_t GiB = int64_t(1) << 30;

// Bytes per output file (setting "MaxOutputSize" in section "Options",
// varnowe-batch --max-output). 0 means no limit.
inline constexpr int64_t DefaultOutputBudget = 4 * GiB;
// "its output grows past the budget of 1 KiB per file (--max-output, setting MaxOutputSize)."
std::string OutputBudgetText(int64_t budget);
// Inflated bytes per zip package: this, or PackageInflateRatio times the
// package's size when that is more.
inline constexpr int64_t DefaultPackageInflateBudget = 4 * GiB;
inline constexpr int64_t PackageInflateRatio = 1000;
int64_t PackageInflateBudget(int64_t packageSize);

// Bytes of cells one workbook may hold (setting "MaxWorkbookMemory" in
// section "Options", varnowe-batch --max-memory): by default half of the
// machine's physical memory. 0 means no limit.
int64_t PhysicalMemory();
int64_t DefaultWorkbookMemoryBudget();
// Lets the system take back the whole pages inside [data, data + size), of
// memory this process owns and will not read again: they read as zeros
// afterwards. What a large buffer consumed front to back no longer needs.
void GiveBackPages(const void* data, size_t size);

// Memory that loads running at the same time draw from together (the
// workers of a parallel run share one). Take may wait until others give
// back, or raise to end the load.
class IMemoryPool {
 public:
  virtual ~IMemoryPool() = default;
  virtual void Take(int64_t bytes) = 0;
  virtual void Give(int64_t bytes) = 0;
};

// The processors the process keeps busy. Every conversion holds one while
// it runs (TProcessorClaim); work inside a conversion that can use more
// (deflating a large part, inflating one ahead of its parser) borrows what
// is free (TProcessorLoan), so that -j N conversions and their helper
// threads never outnumber the processors.
class TProcessorBudget {
 public:
  explicit TProcessorBudget(int processors) : FFree(processors) {}
  // One per processor of the machine.
  static TProcessorBudget& Shared();
  // Up to n processors, as many as are free; the count granted.
  int TryBorrow(int n);
  void GiveBack(int n) { FFree += n; }
  // A conversion holds its processor even when none is free (more jobs
  // than processors): helpers then get nothing.
  void Hold() { --FFree; }
  int Free() const { return FFree; }

 private:
  std::atomic<int> FFree;
};

class TProcessorClaim {
 public:
  explicit TProcessorClaim(TProcessorBudget& budget = TProcessorBudget::Shared()) : FBudget(budget) { budget.Hold(); }
  ~TProcessorClaim() { FBudget.GiveBack(1); }
  TProcessorClaim(const TProcessorClaim&) = delete;
  TProcessorClaim& operator=(const TProcessorClaim&) = delete;

 private:
  TProcessorBudget& FBudget;
};

class TProcessorLoan {
 public:
  explicit TProcessorLoan(int wanted, TProcessorBudget& budget = TProcessorBudget::Shared())
      : FBudget(budget), FCount(wanted > 0 ? budget.TryBorrow(wanted) : 0) {}
  ~TProcessorLoan() { FBudget.GiveBack(FCount); }
  TProcessorLoan(const TProcessorLoan&) = delete;
  TProcessorLoan& operator=(const TProcessorLoan&) = delete;
  int Count() const { return FCount; }

 private:
  TProcessorBudget& FBudget;
  int FCount;
};

// "4 GiB", "1.5 MiB", "512 bytes".
std::string FormatByteSize(int64_t bytes);
// "4294967296", "4G", "4 GiB", "500M", "64k", "0" (case ignored; K, M, G, T
// count 1024s). False for anything else, negative or overflowing values.
bool TryParseByteSize(const std::string& text, int64_t& bytes);
