#pragma once
// The best of a few timed runs: on a shared machine the fastest run is the
// one least disturbed by others.
#include <algorithm>
#include <chrono>

template <class F>
double BestSeconds(F f, int runs = 3) {
  using Clock = std::chrono::steady_clock;
  double best = 1e100;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = Clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}
