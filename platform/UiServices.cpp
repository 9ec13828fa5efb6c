#include "UiServices.h"

#include <atomic>

int DefaultMessageBoxResult(uint32_t flags) {
  int button = int((flags & MB_DEFMASK) >> 8);  // 0, 1 or 2
  switch (flags & MB_TYPEMASK) {
    case MB_OKCANCEL: return button == 0 ? IDOK : IDCANCEL;
    case MB_YESNO: return button == 0 ? IDYES : IDNO;
    case MB_YESNOCANCEL: return button == 0 ? IDYES : (button == 1 ? IDNO : IDCANCEL);
    default: return IDOK;
  }
}

int TUiServices::MessageBox(const std::string&, const std::string&, uint32_t flags) {
  return DefaultMessageBoxResult(flags);
}
void TUiServices::ShowMessage(const std::string&) {}
void TUiServices::ProcessMessages() {}
bool TUiServices::BrowseForFolder(const std::string&, std::string&) { return false; }
bool TUiServices::SaveFileDialog(const std::string&, const std::string&, const std::string&, std::string&) {
  return false;
}
bool TUiServices::OpenFileDialog(const std::string&, const std::string&, std::string&) { return false; }
bool TUiServices::OpenURL(const std::string&) { return false; }
std::unique_ptr<TProgressWindow> TUiServices::CreateProgressWindow() { return nullptr; }
void TUiServices::SetBusyCursor(bool) {}
TPasswordAnswer TUiServices::AskPassword(const std::string&, std::string&) { return TPasswordAnswer::paSkipFile; }

namespace {
TUiServices gSilent;
std::atomic<TUiServices*> gCurrent{nullptr};
}  // namespace

TUiServices& Ui() {
  TUiServices* p = gCurrent.load(std::memory_order_acquire);
  return p ? *p : gSilent;
}

void SetUiServices(TUiServices* services) { gCurrent.store(services, std::memory_order_release); }
