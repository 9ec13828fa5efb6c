// Protected files of the shared corpus: each one PASSWORDS.tsv lists opens
// with its password (the default one with none) and reads the same cells as
// the file an independent tool (msoffcrypto-tool, when installed) decrypted;
// every other protected file fails saying so, unless the default password
// opens it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "CodePage.h"
#include "QXIOO.h"
#include "QXXLS.h"
#include "QXXLSX.h"
#include "TempDir.h"
#include "Variant.h"

namespace fs = std::filesystem;

namespace {

const fs::path Corpus = VARNOWE_CORPUS_DIR;

std::unique_ptr<TSpreadSheetFile> ReaderFor(const fs::path& file) {
  const std::string ext = file.extension().string();
  if (ext == ".xls") return std::make_unique<TMSExcel>();
  if (ext == ".ods") return std::make_unique<TQXIOpenOfficeSpreadsheet>();
  return std::make_unique<TMSExcelX>();
}

// Every stored cell as "sheet!row,column=value".
std::vector<std::string> Cells(TSpreadSheetFile& reader) {
  std::vector<std::string> out;
  for (int32_t s = 0; s < reader.Sheets.Count(); ++s) {
    const TSpreadSheetCells& cells = reader.Sheets[s].Cells;
    for (int32_t r = 0; r < cells.Count(); ++r)
      if (const TSpreadSheetCols* row = cells.RowCells(r))
        for (int32_t c = 0; c < row->Count(); ++c)
          if (const TQXICell* cell = row->Cell(c))
            out.push_back(std::to_string(s) + "!" + std::to_string(r) + "," + std::to_string(c) + "=" +
                          VarToStr(cell->Value()));
  }
  return out;
}

bool HaveTool() { return std::system("msoffcrypto-tool --help >/dev/null 2>&1") == 0; }

struct TListed {
  std::string File, Password;  // empty password: the default one
};

std::vector<TListed> Listed() {
  std::vector<TListed> out;
  std::ifstream f(Corpus / "PASSWORDS.tsv");
  std::string line;
  while (std::getline(f, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    TListed l;
    std::getline(fields, l.File, '\t');
    std::getline(fields, l.Password, '\t');
    if (l.Password == "(default)") l.Password.clear();
    out.push_back(l);
  }
  return out;
}

}  // namespace

TEST(CryptCorpus, ListedFilesOpenWithTheirPasswordsAsTheIndependentToolDecryptsThem) {
  const auto listed = Listed();
  if (listed.empty()) GTEST_SKIP() << "no PASSWORDS.tsv in " << Corpus;
  SetACPOverride(CP_UTF8);
  const bool tool = HaveTool();
  TTempDir tmp;
  size_t compared = 0;
  for (const TListed& l : listed) {
    SCOPED_TRACE(l.File);
    auto reader = ReaderFor(l.File);
    reader->Password = l.Password;
    ASSERT_NO_THROW(reader->LoadFromFile((Corpus / l.File).string()));
    EXPECT_TRUE(reader->PasswordProtected());
    EXPECT_EQ(reader->OpenedWithPassword(), !l.Password.empty());
    const auto ours = Cells(*reader);
    if (!tool) continue;
    const fs::path plain = tmp / fs::path(l.File).filename().string();
    const std::string cmd = "msoffcrypto-tool -p '" + (l.Password.empty() ? "VelvetSweatshop" : l.Password) + "' '" +
                            (Corpus / l.File).string() + "' '" + plain.string() + "' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) continue;  // a scheme or file the tool cannot open
    auto check = ReaderFor(l.File);
    ASSERT_NO_THROW(check->LoadFromFile(plain.string()));
    EXPECT_EQ(ours, Cells(*check));
    ++compared;
  }
  if (tool) {
    EXPECT_GE(compared, 6u) << "the tool decrypted fewer files than it did when this test was written";
  }
}

TEST(CryptCorpus, UnlistedProtectedFilesFailUnlessTheDefaultPasswordOpensThem) {
  const auto listed = Listed();
  if (listed.empty()) GTEST_SKIP() << "no PASSWORDS.tsv in " << Corpus;
  SetACPOverride(CP_UTF8);
  std::ifstream manifest(Corpus / "MANIFEST.tsv");
  std::string line;
  size_t refused = 0;
  while (std::getline(manifest, line)) {
    const std::string file = line.substr(0, line.find('\t'));
    const bool isProtected = line.find("(encrypted)") != std::string::npos ||
                             line.find("CFB-encrypted-OOXML") != std::string::npos || file == "ods/calam_enc.ods";
    if (!isProtected || std::any_of(listed.begin(), listed.end(), [&](const TListed& l) { return l.File == file; }))
      continue;
    SCOPED_TRACE(file);
    auto reader = ReaderFor(file);
    try {
      reader->LoadFromFile((Corpus / file).string());
      EXPECT_TRUE(reader->PasswordProtected());
      EXPECT_FALSE(reader->OpenedWithPassword());
    } catch (const Exception& e) {
      EXPECT_NE(std::string(e.what()).find("is password-protected ("), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("this program cannot open protected files."), std::string::npos);
      ++refused;
    }
  }
  EXPECT_GE(refused, 3u);
}
