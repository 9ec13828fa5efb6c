// varnowe-batch over every Quattro Pro file of the corpus, to CSV.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

#include "TempDir.h"

namespace fs = std::filesystem;

namespace {

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string RunBatch(const std::string& args, int& code) {
  std::string out;
  FILE* p = popen((std::string(VARNOWE_BATCH_EXE) + " " + args + " 2>&1").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int status = pclose(p);
  code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

}  // namespace

TEST(QuattroBatch, EveryCorpusFileConvertsToCsv) {
  const fs::path corpus = fs::path(VARNOWE_CORPUS_DIR) / "quattro";
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
  TTempDir tmp;
  int code = -1;
  const std::string out = RunBatch("--source " + Quote(corpus.string()) + " --dest " + Quote(tmp / "out") +
                                  " --formats quattro --format csv",
                              code);
  EXPECT_EQ(code, 0) << out;
  EXPECT_NE(out.find(" 0 failed"), std::string::npos) << out;

  size_t sources = 0;
  for (const auto& e : fs::directory_iterator(corpus))
    if (e.is_regular_file()) {
      ++sources;
      EXPECT_NE(out.find(e.path().filename().string() + " -> "), std::string::npos) << e.path() << "\n" << out;
    }
  // Every output is CSV that reads back; each source left at least one.
  std::map<std::string, std::string> outputs;
  for (const auto& e : fs::directory_iterator(tmp / "out")) outputs[e.path().filename().string()] = Read(e.path());
  EXPECT_GE(outputs.size(), sources);
  std::string files;
  for (const auto& [name, text] : outputs) files += " " + Quote(tmp / ("out/" + name));
  const std::string check =
      "import csv,sys\n"
      "for f in sys.argv[1:]:\n"
      "  list(csv.reader(open(f,newline='',encoding='utf-8',errors='strict')))\n";
  EXPECT_EQ(WEXITSTATUS(system(("python3 -c " + Quote(check) + files).c_str())), 0);

  // A few cells from each generation, as the CSV shows them.
  const std::pair<const char*, const char*> samples[] = {
      {"opf_tika.csv", "This is an example spreadsheet made with Quattro Pro X3."},
      {"sjs_q9test255.csv", "IV is oh so close to JS :("},
      {"sjs_q10test18277.csv", "QP10 Supports ZZZ!!!"},
      {"gnum_poker2.csv", "No. of hands: 5. Average per hand: +0.00 coins"},
      {"gnum_gantt.csv", "Distribute Draft Report"},
      {"opf_ks4000.csv", "SATURATED HYDRAULIC CONDUCTIVITY"},
      {"sjs_qpro_write.csv", "sheetjs"}};
  for (const auto& [name, text] : samples) {
    ASSERT_TRUE(outputs.count(name)) << name;
    EXPECT_NE(outputs[name].find(text), std::string::npos) << name;
  }
}
