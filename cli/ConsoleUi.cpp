#include "ConsoleUi.h"

#include <signal.h>

#include <csignal>
#include <ostream>

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

volatile std::sig_atomic_t GInterrupted = 0;
void OnInterrupt(int) { GInterrupted = 1; }
struct sigaction GOldInterrupt {};

}  // namespace

TConsoleInterrupt::TConsoleInterrupt() {
  GInterrupted = 0;
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, &GOldInterrupt);
}

TConsoleInterrupt::~TConsoleInterrupt() { sigaction(SIGINT, &GOldInterrupt, nullptr); }

bool TConsoleInterrupt::Requested() { return GInterrupted != 0; }
