// Every .xls file of the shared corpus: loaded in process, and converted to
// CSV end to end through varnowe-batch when it is built.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>

#include "CodePage.h"
#include "QXXLS.h"

namespace fs = std::filesystem;

namespace {

fs::path CorpusXls() { return fs::path(VARNOWE_CORPUS_DIR) / "xls"; }

// File name -> whether MANIFEST.tsv calls it encrypted.
std::map<std::string, bool> Manifest() {
  std::map<std::string, bool> out;
  std::ifstream f(fs::path(VARNOWE_CORPUS_DIR) / "MANIFEST.tsv");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("xls/", 0) != 0) continue;
    std::string name = line.substr(4, line.find('\t') - 4);
    out[name] = line.find("(encrypted)") != std::string::npos;
  }
  return out;
}

// The scheme MANIFEST.tsv gives an encrypted file ("FILEPASS-RC4-CryptoAPI").
std::string ManifestScheme(const std::string& name) {
  std::ifstream f(fs::path(VARNOWE_CORPUS_DIR) / "MANIFEST.tsv");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("xls/" + name + "\t", 0) != 0) continue;
    if (line.find("FILEPASS-RC4-CryptoAPI") != std::string::npos) return "RC4 CryptoAPI";
    if (line.find("FILEPASS-RC4") != std::string::npos) return "RC4";
    if (line.find("FILEPASS-XOR") != std::string::npos) return "XOR";
  }
  return "?";
}

std::string ProtectedMessage(const std::string& who, const std::string& scheme) {
  return who + " is password-protected (" + scheme + "); this program cannot open protected files.";
}

size_t CellCount(TMSExcel& x) {
  size_t n = 0;
  for (int s = 0; s < x.Sheets.Count(); ++s) {
    const auto& cells = x.Sheets[s].Cells;
    for (int r = 0; r < cells.Count(); ++r)
      for (int c = 0; c < cells.Row(r).Cells.Count(); ++c) n += cells.Row(r).Cells.Cell(c) != nullptr;
  }
  return n;
}

}  // namespace

TEST(BiffCorpus, EveryFileLoadsExceptEncryptedOnes) {
  if (!fs::is_directory(CorpusXls())) GTEST_SKIP() << "no corpus at " << CorpusXls();
  SetACPOverride(CP_UTF8);
  auto manifest = Manifest();
  ASSERT_FALSE(manifest.empty());
  TMSExcel x;  // one reader for every file, as in a run
  size_t files = 0, cells = 0;
  for (const auto& [name, encrypted] : manifest) {
    std::string path = (CorpusXls() / name).string();
    SCOPED_TRACE(name);
    try {
      x.LoadFromFile(path);
      // An encrypted file loads only with the default password.
      EXPECT_EQ(x.PasswordProtected(), encrypted);
      EXPECT_FALSE(x.OpenedWithPassword());
      cells += CellCount(x);
    } catch (const EQXIUnknownEncryptionException& e) {
      EXPECT_TRUE(encrypted);
      EXPECT_EQ(e.what(), ProtectedMessage("The file", ManifestScheme(name)));
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
    }
    ++files;
  }
  EXPECT_GT(files, 90u);
  EXPECT_GT(cells, 28000u);
  SetACPOverride(0);
}

TEST(BiffCorpus, KnownCells) {
  if (!fs::is_directory(CorpusXls())) GTEST_SKIP() << "no corpus at " << CorpusXls();
  SetACPOverride(CP_UTF8);
  TMSExcel x;
  // 1904 date system
  x.LoadFromFile((CorpusXls() / "sjs_1904.xls").string());
  const TQXICell* c = x.Sheets[0].Cells.GetCell(1, 0);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->CellType(), ictDateTime);
  EXPECT_DOUBLE_EQ(c->Value().ToDouble(), 1463);
  // BIFF4: formats numbered by order, so this percent cell is no date.
  x.LoadFromFile((CorpusXls() / "b4_edr_as3xls.xls").string());
  c = x.Sheets[0].Cells.GetCell(2, 4);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->CellType(), ictDecimal);
  // Text that already holds CR LF keeps it as it is.
  x.LoadFromFile((CorpusXls() / "b4_sjs_123r9_as_40.xls").string());
  c = x.Sheets[0].Cells.GetCell(1, 0);
  ASSERT_TRUE(c);
  EXPECT_EQ(VarToStr(c->Value()), "abc\r\ndef");
  SetACPOverride(0);
}

TEST(BiffCorpus, EndToEndThroughVarnoweBatch) {
  fs::path exe = fs::path(VARNOWE_BINARY_DIR) / "varnowe-batch";
  if (!fs::is_directory(CorpusXls())) GTEST_SKIP() << "no corpus at " << CorpusXls();
  if (!fs::exists(exe)) GTEST_SKIP() << "varnowe-batch is not built";
  fs::path work = fs::temp_directory_path() / ("varnowe_biff_e2e_" + std::to_string(::getpid()));
  fs::remove_all(work);
  fs::create_directories(work / "src");
  fs::create_directories(work / "out");
  auto manifest = Manifest();
  size_t plain = 0;
  for (auto& [name, encrypted] : manifest) {
    fs::copy_file(CorpusXls() / name, work / "src" / name);
    // Those the default password opens convert as plain ones.
    if (encrypted) try {
        TMSExcel x;
        x.LoadFromFile((CorpusXls() / name).string());
        encrypted = false;
      } catch (const EQXIUnknownEncryptionException&) {
      }
    plain += !encrypted;
  }
  // Not a workbook at all: its status names it in front of the reader's words.
  std::ofstream(work / "src" / "garbage.xls") << "no records here";
  std::string cmd = "\"" + exe.string() + "\" --source \"" + (work / "src").string() + "\" --dest \"" +
                    (work / "out").string() + "\" --format csv 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_TRUE(p);
  std::string output;
  char buf[4096];
  while (size_t n = fread(buf, 1, sizeof buf, p)) output.append(buf, n);
  pclose(p);
  std::istringstream lines(output);
  std::string line;
  size_t errors = 0;
  // "Error" lines on stdout, the reasons on stderr.
  while (std::getline(lines, line)) {
    if (line.rfind("Error", 0) == 0) {
      ++errors;
    } else if (line.rfind("varnowe-batch: ", 0) == 0) {
      // The reason names the file, once, and its scheme.
      bool named = line.find("\"garbage.xls\": Invalid file version or file format.") != std::string::npos;
      for (const auto& [name, encrypted] : manifest)
        if (encrypted && line.find(ProtectedMessage("\"" + name + "\"", ManifestScheme(name))) != std::string::npos)
          named = true;
      EXPECT_TRUE(named) << line;
    }
  }
  EXPECT_EQ(errors, manifest.size() - plain + 1) << output;
  // --dump says the same.
  const std::string dump = "\"" + exe.string() + "\" --dump \"" + (work / "src" / "sjs_enc_xor.xls").string() + "\" 2>&1";
  p = popen(dump.c_str(), "r");
  ASSERT_TRUE(p);
  output.clear();
  while (size_t n = fread(buf, 1, sizeof buf, p)) output.append(buf, n);
  pclose(p);
  EXPECT_NE(output.find(ProtectedMessage("\"sjs_enc_xor.xls\"", "XOR")), std::string::npos) << output;
  for (const auto& [name, encrypted] : manifest) {
    if (encrypted) continue;
    std::string base = name.substr(0, name.size() - 4);
    EXPECT_TRUE(fs::exists(work / "out" / (base + ".csv"))) << name;
  }
  fs::remove_all(work);
}
