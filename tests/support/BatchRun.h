#pragma once
// varnowe-batch over copies of some files: they go to a fresh source folder,
// the outputs to Out(); Run answers the console output (stdout and stderr).
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "TempDir.h"

class TBatchRun {
 public:
  static std::filesystem::path Exe() { return std::filesystem::path(VARNOWE_BINARY_DIR) / "varnowe-batch"; }
  static bool Built() { return std::filesystem::exists(Exe()); }

  // args are appended to --source and --dest, e.g. "--format csv --formats ods".
  std::string Run(const std::vector<std::filesystem::path>& files, const std::string& args) {
    namespace fs = std::filesystem;
    fs::create_directories(In());
    fs::create_directories(Out());
    for (const auto& f : files) fs::copy_file(f, In() / f.filename(), fs::copy_options::overwrite_existing);
    const std::string cmd = "\"" + Exe().string() + "\" --source \"" + In().string() + "\" --dest \"" +
                            Out().string() + "\" " + args + " 2>&1";
    std::string output;
    if (FILE* p = popen(cmd.c_str(), "r")) {
      char buf[4096];
      while (size_t n = fread(buf, 1, sizeof buf, p)) output.append(buf, n);
      pclose(p);
    }
    return output;
  }
  std::filesystem::path In() const { return FDir / "in"; }
  std::filesystem::path Out() const { return FDir / "out"; }

 private:
  TTempDir FDir;
};
