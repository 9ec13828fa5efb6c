#pragma once
// The user-interface services of varnowe-batch: messages are printed, questions
// get their default answer, dialogs are never shown. And what a signal does.
#include <iosfwd>

#include "UiServices.h"

class TConsoleUi : public TUiServices {
 public:
  // Messages go to out, errors and warnings to err.
  TConsoleUi(std::ostream& out, std::ostream& err) : FOut(out), FErr(err) {}
  int MessageBox(const std::string& text, const std::string& caption, uint32_t flags) override;
  void ShowMessage(const std::string& text) override;
  void ProcessMessages() override {}
  bool BrowseForFolder(const std::string& title, std::string& folder) override;
  bool SaveFileDialog(const std::string& title, const std::string& filter, const std::string& defaultExt,
                      std::string& fileName) override;
  bool OpenURL(const std::string& url) override;

 private:
  std::ostream& FOut;
  std::ostream& FErr;
};

class TCancelToken;

// While one exists, SIGINT (Ctrl-C), SIGTERM and SIGHUP (the terminal went
// away) set the run's stop token: the file in progress is interrupted
// between rows and its outputs taken back. The handlers reset themselves,
// so a second signal ends the program. SIGPIPE is ignored meanwhile: a
// closed standard output shows as a failed write, which the console view
// turns into a stop of its own (reason SIGPIPE) with a message.
class TConsoleInterrupt {
 public:
  explicit TConsoleInterrupt(TCancelToken& token);
  ~TConsoleInterrupt();
  TConsoleInterrupt(const TConsoleInterrupt&) = delete;
  TConsoleInterrupt& operator=(const TConsoleInterrupt&) = delete;
};
