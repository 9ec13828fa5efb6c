#pragma once
// A fresh temporary folder per test, removed afterwards.
#include <cstdlib>
#include <filesystem>
#include <string>

class TTempDir {
 public:
  TTempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "varnowe-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) std::abort();
    FPath = tmpl + "/";
  }
  ~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  // With a trailing "/".
  const std::string& Path() const { return FPath; }
  // Without it.
  std::string Dir() const { return FPath.substr(0, FPath.size() - 1); }
  std::string operator/(const std::string& name) const { return FPath + name; }

 private:
  std::string FPath;
};
