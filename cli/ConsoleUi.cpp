#include "ConsoleUi.h"

#include <signal.h>

#include <atomic>
#include <csignal>
#include <ostream>

#include "CancelToken.h"

int TConsoleUi::MessageBox(const std::string& text, const std::string& caption, uint32_t flags) {
  const uint32_t icon = flags & MB_ICONMASK;
  std::ostream& os = (icon == MB_ICONERROR || icon == MB_ICONWARNING) ? FErr : FOut;
  if (!caption.empty()) os << caption << ": ";
  os << text << '\n';
  os.flush();
  return DefaultMessageBoxResult(flags);
}

void TConsoleUi::ShowMessage(const std::string& text) {
  FOut << text << '\n';
  FOut.flush();
}

bool TConsoleUi::BrowseForFolder(const std::string&, std::string&) { return false; }

bool TConsoleUi::SaveFileDialog(const std::string&, const std::string&, const std::string&, std::string&) {
  return false;
}

bool TConsoleUi::OpenURL(const std::string&) { return false; }

namespace {

// The signal handlers' only work: one lock-free atomic store.
std::atomic<TCancelToken*> GSignalToken{nullptr};
void OnStopSignal(int sig) {
  if (TCancelToken* token = GSignalToken.load()) token->Cancel(sig);
}
struct sigaction GOldInt {}, GOldTerm {}, GOldHup {}, GOldPipe {};

}  // namespace

TConsoleInterrupt::TConsoleInterrupt(TCancelToken& token) {
  GSignalToken.store(&token);
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sa.sa_flags = SA_RESETHAND;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, &GOldInt);
  sigaction(SIGTERM, &sa, &GOldTerm);
  sigaction(SIGHUP, &sa, &GOldHup);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &GOldPipe);
}

TConsoleInterrupt::~TConsoleInterrupt() {
  sigaction(SIGINT, &GOldInt, nullptr);
  sigaction(SIGTERM, &GOldTerm, nullptr);
  sigaction(SIGHUP, &GOldHup, nullptr);
  sigaction(SIGPIPE, &GOldPipe, nullptr);
  GSignalToken.store(nullptr);
}
