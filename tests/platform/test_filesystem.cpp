#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <functional>
#include <sstream>

#include "Exception.h"
#include "FileSystem.h"
#include "TempDir.h"

namespace {
void Touch(const std::string& path, const std::string& content = "") { std::ofstream(path, std::ios::binary) << content; }
std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}
std::vector<std::string> Names(const std::vector<TDirEntry>& list) {
  std::vector<std::string> n;
  for (const auto& e : list) n.push_back(e.Name);
  return n;
}
}  // namespace

TEST(FileSystem, EnumerationIsSortedWithoutRegardToCase) {
  TTempDir dir;
  Touch(dir / "b.xls", "12345");
  Touch(dir / "A.xls");
  Touch(dir / "a2.csv");
  Touch(dir / ".hidden");
  Touch(dir / "C.txt");
  ASSERT_TRUE(CreateDir(dir / "Sub"));
  auto list = EnumerateDirectory(dir.Path());
  EXPECT_EQ(Names(list), std::vector<std::string>({".", "..", ".hidden", "A.xls", "a2.csv", "b.xls", "C.txt", "Sub"}));
  EXPECT_TRUE(list[0].IsDirectory);
  EXPECT_FALSE(list[0].IsHidden);
  EXPECT_TRUE(list[2].IsHidden);
  EXPECT_EQ(list[5].Size, 5);
  EXPECT_FALSE(list[5].IsDirectory);
  EXPECT_TRUE(list[7].IsDirectory);
  EXPECT_GT(list[5].Time, 40000);  // this century
  // Same list without the trailing separator; nothing for a missing folder.
  EXPECT_EQ(Names(EnumerateDirectory(dir.Path().substr(0, dir.Path().size() - 1))), Names(list));
  EXPECT_TRUE(EnumerateDirectory(dir / "nope").empty());
  EXPECT_TRUE(EnumerateDirectory(dir / "b.xls").empty());
}

TEST(FileSystem, NonAsciiNamesSortWithoutRegardToCase) {
  TTempDir dir;
  for (const char* n : {"\xC3\xA9t\xC3\xA9.xls", "\xC3\x89TA.xls", "zeta.xls", "Eta.xls", "_x.xls"}) Touch(dir / n);
  auto names = Names(EnumerateDirectory(dir.Path()));
  // Upper-cased UTF-16 order: E (0x45) < Z (0x5A) < _ (0x5F) < \u00C9.
  EXPECT_EQ(names, std::vector<std::string>({".", "..", "Eta.xls", "zeta.xls", "_x.xls", "\xC3\x89TA.xls",
                                             "\xC3\xA9t\xC3\xA9.xls"}));
}

TEST(FileSystem, RecursiveWalkOverATree) {
  TTempDir dir;
  ASSERT_TRUE(ForceDirectories(dir / "x/y/z"));
  Touch(dir / "x/1.xls");
  Touch(dir / "x/y/2.xls");
  Touch(dir / "x/y/z/3.xls");
  Touch(dir / "x/Y.xls");
  std::vector<std::string> found;
  std::function<void(const std::string&)> walk = [&](const std::string& d) {
    for (const auto& e : EnumerateDirectory(d)) {
      if (e.Name == "." || e.Name == "..") continue;
      if (e.IsDirectory) walk(d + e.Name + "/");
      else found.push_back((d + e.Name).substr(dir.Path().size()));
    }
  };
  walk(dir.Path());
  EXPECT_EQ(found, std::vector<std::string>({"x/1.xls", "x/y/2.xls", "x/y/z/3.xls", "x/Y.xls"}));
}

TEST(FileSystem, ExistenceAndDirectories) {
  TTempDir dir;
  Touch(dir / "f");
  EXPECT_TRUE(FileExists(dir / "f"));
  EXPECT_FALSE(FileExists(dir.Path()));
  EXPECT_TRUE(DirectoryExists(dir.Path()));
  EXPECT_FALSE(DirectoryExists(dir / "f"));
  EXPECT_FALSE(FileExists(""));
  EXPECT_EQ(FileSize(dir / "f"), 0);
  EXPECT_EQ(FileSize(dir / "missing"), -1);

  EXPECT_THROW(ForceDirectories(""), EInOutError);
  EXPECT_TRUE(ForceDirectories(dir / "a//b/c/"));  // doubled separators are harmless
  EXPECT_TRUE(DirectoryExists(dir / "a/b/c"));
  EXPECT_TRUE(ForceDirectories(dir / "a/b"));      // exists already
  EXPECT_FALSE(ForceDirectories(dir / "f/sub"));   // a file is in the way
  std::string why;
  EXPECT_FALSE(ForceDirectories(dir / "f/sub/deeper", &why));
  EXPECT_EQ(why, "Not a directory");
  ASSERT_EQ(symlink("loop", (dir / "loop").c_str()), 0);
  EXPECT_FALSE(ForceDirectories(dir / "loop", &why));
  EXPECT_EQ(why, "Too many levels of symbolic links");
  EXPECT_EQ(PathStatError(dir / "loop"), ELOOP);
  EXPECT_EQ(PathStatError(dir / "none"), ENOENT);
  EXPECT_EQ(PathStatError(dir / "f"), 0);
  if (geteuid() != 0) {  // root may create anywhere
    ASSERT_EQ(chmod(dir.Dir().c_str(), 0500), 0);
    EXPECT_FALSE(ForceDirectories(dir / "x/y", &why));
    EXPECT_EQ(why, "Permission denied");
    chmod(dir.Dir().c_str(), 0700);
  }
  EXPECT_FALSE(CreateDir(dir / "a"));

  Touch(dir / "g");
  EXPECT_FALSE(RenameFile(dir / "f", dir / "g"));  // never replaces
  EXPECT_TRUE(RenameFile(dir / "f", dir / "h"));
  EXPECT_TRUE(DeleteFile(dir / "h"));
  EXPECT_FALSE(DeleteFile(dir / "h"));
  EXPECT_FALSE(DeleteFile(dir / "a"));
}

TEST(FileSystem, AppendToFileAddsCrLfAndKeepsContent) {
  TTempDir dir;
  std::string log = dir / "processed.log";
  AppendToFile(log, "Varnowe 3/5/2024 2:07:09 PM\r\n");
  AppendToFile(log, "second");
  AppendToFile(log, "");  // nothing
  AppendToFile("", "text");
  EXPECT_EQ(ReadAll(log), "Varnowe 3/5/2024 2:07:09 PM\r\n\r\nsecond\r\n");
  EXPECT_THROW(AppendToFile(dir / "missing/dir/x.log", "t"), EFCreateError);
  EXPECT_THROW(AppendToFile(dir.Path(), "t"), EFCreateError);  // a folder
  if (geteuid() != 0) {
    chmod(log.c_str(), 0444);
    EXPECT_THROW(AppendToFile(log, "t"), EFOpenError);
  }
}

TEST(FileSystem, TickCountAndProgramPaths) {
  uint32_t t0 = GetTickCount();
  usleep(20000);
  uint32_t dt = GetTickCount() - t0;
  EXPECT_GE(dt, 15u);
  EXPECT_LT(dt, 5000u);
  EXPECT_TRUE(FileExists(ProgramFileName()));
  EXPECT_EQ(ProgramDir().back(), '/');
  EXPECT_TRUE(DirectoryExists(ProgramDir()));
  EXPECT_EQ(GetTempDir().back(), '/');
}

TEST(FileSystem, SettingsFileLocation) {
  std::string oldXdg = getenv("XDG_CONFIG_HOME") ? getenv("XDG_CONFIG_HOME") : "";
  std::string oldHome = getenv("HOME") ? getenv("HOME") : "";
  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  EXPECT_EQ(SettingsFilePath("Varnowe"), "/cfg/Kestra/Varnowe/Varnowe.ini");
  unsetenv("XDG_CONFIG_HOME");
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(SettingsFilePath("Varnowe"), "/home/u/.config/Kestra/Varnowe/Varnowe.ini");
  if (oldXdg.empty()) unsetenv("XDG_CONFIG_HOME");
  else setenv("XDG_CONFIG_HOME", oldXdg.c_str(), 1);
  if (oldHome.empty()) unsetenv("HOME");
  else setenv("HOME", oldHome.c_str(), 1);
}

TEST(FileSystem, HiddenSiblingNamesStayShortAndDiffer) {
  const std::string a = HiddenSiblingName("/out/" + std::string(255, 'x'), ".part");
  const std::string b = HiddenSiblingName("/out/" + std::string(255, 'x'), ".part");
  EXPECT_NE(a, b);
  EXPECT_EQ(a.rfind("/out/.xxx", 0), 0u);
  EXPECT_LE(a.size() - 5, 255u);
  EXPECT_EQ(a.substr(a.size() - 5), ".part");
  EXPECT_EQ(HiddenSiblingName("book.csv", ".keep").rfind(".book.csv.", 0), 0u);
}
