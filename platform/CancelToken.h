#pragma once
// A run-wide stop request. The run owns one token; the Stop button, SIGINT
// and SIGTERM set it, and everything doing long work (readers between cells
// and records, writers between rows, every worker of a run alike) polls it.
//
// Passing it on: hand a `const TCancelToken*` (nullptr: never stopped) to
// whatever loops; call Poll() once per row or record. Poll() raises
// EOperationCanceled when the token is set, so a loop needs no code of its
// own to end; a loop that must end by its own path (an export component
// ending erCanceled) asks Stopping() instead. Both cost a relaxed atomic load
// and are safe to call from any thread.
#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

#include "Exception.h"

// Raised by TCancelToken::Poll: the work was stopped on request.
VARNOWE_EXCEPTION(EOperationCanceled, Exception);
extern const char* const SOperationCanceled;  // "The conversion was stopped."

class TCancelToken {
 public:
  // Why the token was set: the user's Stop, or the number of the signal.
  static constexpr int StopByUser = -1;

  TCancelToken() = default;
  TCancelToken(const TCancelToken&) = delete;
  TCancelToken& operator=(const TCancelToken&) = delete;

  // Safe in a signal handler: one lock-free atomic store, nothing else.
  // The first reason given is kept.
  void Cancel(int reason = StopByUser) noexcept {
    int none = 0;
    FReason.compare_exchange_strong(none, reason == 0 ? StopByUser : reason, std::memory_order_relaxed);
  }
  bool Canceled() const noexcept { return FReason.load(std::memory_order_relaxed) != 0; }
  // 0 while not canceled, StopByUser, or a signal number.
  int Reason() const noexcept { return FReason.load(std::memory_order_relaxed); }
  // Arms the token for the next run.
  void Reset() noexcept { FReason.store(0, std::memory_order_relaxed); }

  // Raises EOperationCanceled when canceled. On the thread that installed
  // the keep-alive, runs it now and then (at most every KeepAliveMs), so a
  // window stays painted and its Stop button can be pressed during a long
  // conversion on its own thread.
  void Poll() const {
    if (Stopping()) Throw();
  }
  // The same without raising, for loops that end by their own path (an
  // export component's stop query): true when the work should stop.
  bool Stopping() const {
    if (Canceled()) return true;
    if (FKeepAlive && std::this_thread::get_id() == FKeepAliveThread && ++FPolls % 256 == 0) KeepAliveIfDue();
    return Canceled();
  }
  [[noreturn]] static void Throw();

  // fn runs inside Poll() on the calling thread only; nullptr removes it.
  void SetKeepAlive(std::function<void()> fn);
  static constexpr uint32_t KeepAliveMs = 50;

 private:
  void KeepAliveIfDue() const;
  std::atomic<int> FReason{0};
  std::function<void()> FKeepAlive;
  std::thread::id FKeepAliveThread;
  // Touched only on the keep-alive thread, so they need no lock. The
  // keep-alive is installed before the run's workers start.
  mutable uint32_t FPolls = 0;
  mutable uint32_t FLastKeepAlive = 0;
  mutable bool FInKeepAlive = false;
};
static_assert(std::atomic<int>::is_always_lock_free, "the token is set from signal handlers");

// Polls a token that may be absent.
inline void PollCancel(const TCancelToken* token) {
  if (token) token->Poll();
}
