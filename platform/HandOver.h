#pragma once
// Items handed from one thread (the giver) to another (the taker) in order,
// at most a few waiting at once, so memory stays bounded whatever the
// giver's pace. Spent items come back for reuse. The giver ends the run,
// with the error that ended it if one did; the taker raises that error once
// it has taken the items before it. The taker may stop the giver early.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <mutex>
#include <utility>
#include <vector>

template <class T>
class THandOver {
 public:
  explicit THandOver(size_t capacity) : FCapacity(capacity > 0 ? capacity : 1) {}
  THandOver(const THandOver&) = delete;
  THandOver& operator=(const THandOver&) = delete;

  // Giver: waits for room; item becomes a spent one when there is one to
  // reuse (else it is left as it is). False once the taker has stopped.
  bool WaitForRoom(T& item) {
    std::unique_lock<std::mutex> g(FLock);
    FTaken.wait(g, [this] { return FStopped || FFull.size() < FCapacity; });
    if (FStopped) return false;
    if (!FSpare.empty()) {
      item = std::move(FSpare.back());
      FSpare.pop_back();
    }
    return true;
  }
  void Give(T item) {
    {
      std::lock_guard<std::mutex> g(FLock);
      FFull.push_back(std::move(item));
    }
    FFilled.notify_one();
  }
  // Giver: no more items; error (may be null) is raised by the taker after them.
  void End(std::exception_ptr error = nullptr) {
    {
      std::lock_guard<std::mutex> g(FLock);
      FEnded = true;
      FError = error;
    }
    FFilled.notify_one();
  }

  // Taker: the next item; false after the last (the giver's error raised then).
  bool Take(T& item) {
    std::unique_lock<std::mutex> g(FLock);
    FFilled.wait(g, [this] { return !FFull.empty() || FEnded; });
    if (FFull.empty()) {
      if (FError) std::rethrow_exception(FError);
      return false;
    }
    item = std::move(FFull.front());
    FFull.pop_front();
    g.unlock();
    FTaken.notify_one();
    return true;
  }
  // Taker: an item done with, for the giver to fill again.
  void GiveBack(T item) {
    std::lock_guard<std::mutex> g(FLock);
    FSpare.push_back(std::move(item));
  }
  // Taker: wants no more; a giver waiting for room gives up.
  void Stop() {
    {
      std::lock_guard<std::mutex> g(FLock);
      FStopped = true;
    }
    FTaken.notify_all();
  }

 private:
  const size_t FCapacity;
  std::mutex FLock;
  std::condition_variable FFilled, FTaken;
  std::deque<T> FFull;
  std::vector<T> FSpare;
  bool FEnded = false, FStopped = false;
  std::exception_ptr FError;
};
