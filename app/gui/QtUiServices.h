#pragma once
// The window's answers to platform/UiServices: Qt message boxes and file
// dialogs, the desktop's browser and mail program, and the event pump.
#include <QPointer>
#include <QString>
#include <QWidget>

#include "UiServices.h"

class TQtUiServices : public TUiServices {
 public:
  // Dialogs are centred on parent (may be null); it is watched, not owned.
  explicit TQtUiServices(QWidget* parent = nullptr) : FParent(parent) {}
  void SetParent(QWidget* parent) { FParent = parent; }

  int MessageBox(const std::string& text, const std::string& caption, uint32_t flags) override;
  void ShowMessage(const std::string& text) override;
  void ProcessMessages() override;
  bool BrowseForFolder(const std::string& title, std::string& folder) override;
  bool OpenFileDialog(const std::string& title, const std::string& filter, std::string& fileName) override;
  bool SaveFileDialog(const std::string& title, const std::string& filter, const std::string& defaultExt,
                      std::string& fileName) override;
  bool OpenURL(const std::string& url) override;
  std::unique_ptr<TProgressWindow> CreateProgressWindow() override;
  void SetBusyCursor(bool busy) override;
  TPasswordAnswer AskPassword(const std::string& fileName, std::string& password) override;

 private:
  QPointer<QWidget> FParent;
};

// "Log files (*.log)|*.log|All files (*.*)|*.*" as a Qt name filter list
// ("Log files (*.log);;All files (*)"); "*.*" means every file, as on Windows.
QString QtNameFilters(const std::string& windowsFilter);
