#include "ConsoleUi.h"

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
