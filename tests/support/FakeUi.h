#pragma once
// A TUiServices that records every request and answers from a script, so no
// test ever waits on a dialog. Installs itself for its lifetime.
#include <deque>
#include <string>
#include <vector>

#include "UiServices.h"

class TFakeUi : public TUiServices {
 public:
  struct TMessage {
    std::string Text, Caption;
    uint32_t Flags;
  };

  TFakeUi() { SetUiServices(this); }
  ~TFakeUi() override { SetUiServices(nullptr); }
  TFakeUi(const TFakeUi&) = delete;
  TFakeUi& operator=(const TFakeUi&) = delete;

  // Answers for the next message boxes, in order; afterwards the default button.
  std::deque<int> Answers;
  // What folder / save dialogs return: empty means the user cancelled.
  std::deque<std::string> Folders;
  std::deque<std::string> SaveNames;
  std::deque<std::string> OpenNames;  // answers of OpenFileDialog, in order ("" cancels)
  bool OpenURLResult = true;

  std::vector<TMessage> Messages;      // MessageBox calls
  std::vector<std::string> Shown;      // ShowMessage calls
  std::vector<std::string> URLs;
  std::vector<std::string> DialogTitles;
  std::vector<std::string> SaveFilters;
  int ProcessMessagesCalls = 0;

  int MessageBox(const std::string& text, const std::string& caption, uint32_t flags) override {
    Messages.push_back({text, caption, flags});
    if (Answers.empty()) return DefaultMessageBoxResult(flags);
    int a = Answers.front();
    Answers.pop_front();
    return a;
  }
  void ShowMessage(const std::string& text) override { Shown.push_back(text); }
  // Password questions: the files asked about, and scripted answers with the
  // password each gives (afterwards: skip the file).
  std::vector<std::string> PasswordsAskedFor;
  std::deque<std::pair<TPasswordAnswer, std::string>> PasswordAnswers;
  TPasswordAnswer AskPassword(const std::string& fileName, std::string& password) override {
    PasswordsAskedFor.push_back(fileName);
    if (PasswordAnswers.empty()) return TPasswordAnswer::paSkipFile;
    const auto [answer, given] = PasswordAnswers.front();
    PasswordAnswers.pop_front();
    password = given;
    return answer;
  }
  void ProcessMessages() override { ++ProcessMessagesCalls; }
  bool BrowseForFolder(const std::string& title, std::string& folder) override {
    DialogTitles.push_back(title);
    if (Folders.empty()) return false;
    std::string f = Folders.front();
    Folders.pop_front();
    if (f.empty()) return false;
    folder = f;
    return true;
  }
  bool SaveFileDialog(const std::string& title, const std::string& filter, const std::string&,
                      std::string& fileName) override {
    DialogTitles.push_back(title);
    SaveFilters.push_back(filter);
    if (SaveNames.empty()) return false;
    std::string f = SaveNames.front();
    SaveNames.pop_front();
    if (f.empty()) return false;
    fileName = f;
    return true;
  }
  bool OpenFileDialog(const std::string& title, const std::string&, std::string& fileName) override {
    DialogTitles.push_back(title);
    if (OpenNames.empty()) return false;
    fileName = OpenNames.front();
    OpenNames.pop_front();
    return !fileName.empty();
  }
  bool OpenURL(const std::string& url) override {
    URLs.push_back(url);
    return OpenURLResult;
  }
};
