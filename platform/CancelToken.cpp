#include "CancelToken.h"

#include "FileSystem.h"

const char* const SOperationCanceled = "The conversion was stopped.";

void TCancelToken::Throw() { throw EOperationCanceled(SOperationCanceled); }

void TCancelToken::SetKeepAlive(std::function<void()> fn) {
  FKeepAlive = std::move(fn);
  FKeepAliveThread = std::this_thread::get_id();
  FLastKeepAlive = GetTickCount();
}

void TCancelToken::KeepAliveIfDue() const {
  // A keep-alive that processes window messages may run code that polls.
  if (FInKeepAlive) return;
  const uint32_t now = GetTickCount();
  if (now - FLastKeepAlive < KeepAliveMs) return;
  FLastKeepAlive = now;
  FInKeepAlive = true;
  struct TReset {
    bool& Flag;
    ~TReset() { Flag = false; }
  } reset{FInKeepAlive};
  FKeepAlive();
}
