#pragma once
// What the window tests share: one QApplication, a scratch directory that
// also holds the settings file (XDG_CONFIG_HOME points into it), and files.
#include <QApplication>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "FileSystem.h"
#include "IniFile.h"
#include "MainBasic.h"

inline QApplication& TestApp() {
  // Leaked on purpose: Qt must outlive every static the tests leave behind.
  static QApplication* app = [] {
    static int argc = 1;
    static char name[] = "gui_test";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return *app;
}

class TScratch {
 public:
  TScratch() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "varnowe-gui-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
    FDir = tmpl + "/";
    std::filesystem::create_directories(FDir + "config");
    ::setenv("XDG_CONFIG_HOME", (FDir + "config").c_str(), 1);
  }
  ~TScratch() {
    std::error_code ec;
    std::filesystem::remove_all(FDir, ec);
  }
  TScratch(const TScratch&) = delete;
  TScratch& operator=(const TScratch&) = delete;

  const std::string& Dir() const { return FDir; }
  std::string Path(const std::string& rel) const { return FDir + rel; }
  std::string MakeDir(const std::string& rel) const {
    std::filesystem::create_directories(FDir + rel);
    return FDir + rel;
  }
  void Write(const std::string& rel, const std::string& content = "x") const {
    std::filesystem::create_directories(std::filesystem::path(FDir + rel).parent_path());
    std::ofstream(FDir + rel, std::ios::binary) << content;
  }
  // The window's settings file (inside this scratch directory).
  static std::string Settings() { return TfrmMainBasic::SettingsFileName(); }
  static void WriteSettings(const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(Settings()).parent_path());
    std::ofstream(Settings(), std::ios::binary) << text;
  }

 private:
  std::string FDir;
};
