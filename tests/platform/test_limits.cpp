// The run-wide stop and the budgets: what every long loop polls and what
// bounds a hostile file's cost.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <thread>

#include "Budgets.h"
#include "CancelToken.h"
#include "FileSystem.h"

TEST(CancelToken, ASignalHandlerStopsEveryPollerAndTheFirstReasonStays) {
  static TCancelToken token;
  token.Reset();
  struct sigaction sa {}, old {};
  sa.sa_handler = [](int sig) { token.Cancel(sig); };
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);

  std::atomic<bool> started{false};
  std::atomic<int> polls{0};
  bool workerStopped = false;
  std::thread worker([&] {
    // A second worker of the run sees the same stop.
    try {
      for (;;) {
        token.Poll();
        started = true;
        ++polls;
      }
    } catch (const EOperationCanceled& e) {
      workerStopped = e.Message() == SOperationCanceled;
    }
  });
  while (!started) std::this_thread::yield();
  raise(SIGUSR1);
  worker.join();
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_TRUE(workerStopped);
  EXPECT_EQ(token.Reason(), SIGUSR1);
  token.Cancel(TCancelToken::StopByUser);
  EXPECT_EQ(token.Reason(), SIGUSR1);
  token.Reset();
  EXPECT_FALSE(token.Canceled());
  EXPECT_NO_THROW(token.Poll());
  EXPECT_NO_THROW(PollCancel(nullptr));
}

TEST(CancelToken, TheKeepAliveRunsOnItsOwnThreadOnlyAndNotTooOften) {
  TCancelToken token;
  int calls = 0;
  token.SetKeepAlive([&] {
    ++calls;
    if (calls == 3) token.Cancel();  // a Stop button pressed while messages are processed
  });
  // Other threads never run it.
  std::thread([&] {
    for (int i = 0; i < 100000; ++i) token.Poll();
  }).join();
  EXPECT_EQ(calls, 0);
  const uint32_t start = GetTickCount();
  EXPECT_THROW(
      for (;;) token.Poll(), EOperationCanceled);
  EXPECT_EQ(calls, 3);
  // At most one call per KeepAliveMs, so a tight loop does not drown in it.
  EXPECT_GE(GetTickCount() - start, 2 * TCancelToken::KeepAliveMs);
}

TEST(Budgets, SizesReadAndShownInBinaryUnits) {
  int64_t v = 0;
  EXPECT_TRUE(TryParseByteSize("4294967296", v));
  EXPECT_EQ(v, 4 * GiB);
  EXPECT_TRUE(TryParseByteSize("4G", v));
  EXPECT_EQ(v, 4 * GiB);
  EXPECT_TRUE(TryParseByteSize(" 500 MiB ", v));
  EXPECT_EQ(v, 500 << 20);
  EXPECT_TRUE(TryParseByteSize("64k", v));
  EXPECT_EQ(v, 64 << 10);
  EXPECT_TRUE(TryParseByteSize("0", v));
  EXPECT_EQ(v, 0);
  for (const char* bad : {"", "G", "-1", "4X", "1.5G", "4 G B", "99999999999999999999", "9999999999T"})
    EXPECT_FALSE(TryParseByteSize(bad, v)) << bad;

  EXPECT_EQ(FormatByteSize(4 * GiB), "4 GiB");
  EXPECT_EQ(FormatByteSize(1536 << 10), "1.5 MiB");
  EXPECT_EQ(FormatByteSize(1000), "1000 bytes");
  EXPECT_EQ(FormatByteSize(INT64_MAX), "8 EiB");

  EXPECT_GT(PhysicalMemory(), 0);
  EXPECT_EQ(DefaultWorkbookMemoryBudget(), PhysicalMemory() / 2);
  EXPECT_EQ(PackageInflateBudget(INT64_MAX), INT64_MAX);
}

// Conversions hold a processor each, even beyond the machine's count;
// helpers borrow only what is left, and give it back.
TEST(Budgets, HelpersBorrowOnlyTheProcessorsNoConversionHolds) {
  TProcessorBudget budget(2);
  {
    TProcessorClaim one(budget);
    TProcessorLoan helpers(3, budget);
    EXPECT_EQ(helpers.Count(), 1);
    EXPECT_EQ(TProcessorLoan(1, budget).Count(), 0);
    TProcessorClaim two(budget);  // a second job while the helper runs
    EXPECT_EQ(budget.Free(), -1);
  }
  EXPECT_EQ(budget.Free(), 2);
  {
    TProcessorClaim a(budget), b(budget), c(budget);  // -j 3 on two processors
    EXPECT_EQ(TProcessorLoan(1, budget).Count(), 0);
  }
  EXPECT_EQ(TProcessorLoan(0, budget).Count(), 0);
  EXPECT_EQ(TProcessorLoan(5, budget).Count(), 2);
  EXPECT_EQ(budget.Free(), 2);
}
