#pragma once
// How code without a window asks the user something. The application installs
// a real implementation; the default shows nothing and answers with the
// default button (the first one: IDOK, IDYES; MB_DEFBUTTON2/3 move it).
#include <cstdint>
#include <memory>
#include <string>

enum : uint32_t {
  MB_OK = 0x00000000,
  MB_OKCANCEL = 0x00000001,
  MB_YESNOCANCEL = 0x00000003,
  MB_YESNO = 0x00000004,
  MB_ICONERROR = 0x00000010,
  MB_ICONQUESTION = 0x00000020,
  MB_ICONWARNING = 0x00000030,
  MB_ICONINFORMATION = 0x00000040,
  MB_DEFBUTTON1 = 0x00000000,
  MB_DEFBUTTON2 = 0x00000100,
  MB_DEFBUTTON3 = 0x00000200,
  MB_TYPEMASK = 0x0000000F,
  MB_ICONMASK = 0x000000F0,
  MB_DEFMASK = 0x00000F00,
};
enum : int { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7 };

// Answers of the password question for a protected file.
enum class TPasswordAnswer { paOK, paSkipFile, paSkipAll };

// The export family's progress window: a caption, a status line, a bar and
// one button (Cancel while the export runs, OK at its end). The window shows
// a real dialog; elsewhere there is none.
class TProgressWindow {
 public:
  virtual ~TProgressWindow() = default;
  virtual void SetCaption(const std::string& text) = 0;
  virtual void SetStatus(const std::string& text) = 0;
  virtual void SetButtonCaption(const std::string& text) = 0;
  // The bar is shown only when min or max is not 0.
  virtual void SetRange(int32_t min, int32_t max) = 0;
  virtual void SetPosition(int32_t position) = 0;
  virtual int32_t Position() const = 0;
  virtual int32_t Max() const = 0;
  virtual void StartAnimation() = 0;
  virtual void StopAnimation() = 0;
  // Shows the window without making it modal.
  virtual void Show() = 0;
  virtual void Repaint() = 0;
  // Set by the button (while it cancels) or by closing the window.
  virtual bool CancelRequested() const = 0;
  virtual void SetCancelRequested(bool value) = 0;
  // Processes window messages until the button is pressed or the window closed.
  virtual void WaitForButton() = 0;
};

class TUiServices {
 public:
  virtual ~TUiServices() = default;
  virtual int MessageBox(const std::string& text, const std::string& caption, uint32_t flags);
  virtual void ShowMessage(const std::string& text);
  virtual void ProcessMessages();
  virtual bool BrowseForFolder(const std::string& title, std::string& folder);
  virtual bool SaveFileDialog(const std::string& title, const std::string& filter, const std::string& defaultExt,
                              std::string& fileName);
  // An existing file to read; false when none was chosen.
  virtual bool OpenFileDialog(const std::string& title, const std::string& filter, std::string& fileName);
  virtual bool OpenURL(const std::string& url);
  // A new progress window, not yet shown; nullptr where there is none (the
  // default). Raises when the window cannot be made.
  virtual std::unique_ptr<TProgressWindow> CreateProgressWindow();
  // The hourglass cursor on (true) and back off; nested calls pair up.
  virtual void SetBusyCursor(bool busy);
  // "Password for budget.xls:" with OK, Skip this file and Skip all
  // protected files; the password typed comes back in password. The silent
  // default skips the file.
  virtual TPasswordAnswer AskPassword(const std::string& fileName, std::string& password);
};

// The button a box with these flags has as default (what the silent default answers).
int DefaultMessageBoxResult(uint32_t flags);

TUiServices& Ui();
// Not owned; nullptr restores the silent default.
void SetUiServices(TUiServices* services);
