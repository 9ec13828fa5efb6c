#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "FileSystem.h"
#include "IniFile.h"
#include "TempDir.h"

namespace {
std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}
void Write(const std::string& path, const std::string& content) { std::ofstream(path, std::ios::binary) << content; }
}  // namespace

TEST(IniFile, RoundTripThroughTheFile) {
  TTempDir dir;
  std::string name = dir / "cfg/sub/Varnowe.ini";  // folders are created
  {
    TIniFile ini(name);
    ini.WriteString("General", "Source", "/data/in/");
    ini.WriteInteger("General", "DestinationFormat", 3);
    ini.WriteBool("Log", "SubFolders", true);
    ini.WriteBool("Log", "Overwrite", false);
    ini.WriteFloat("Log", "Ratio", 0.25);
    ini.WriteString("Log", "Padded", "  spaced  ");
    ini.WriteString("Log", "Quoted", "\"q\"");
    // Written at once, as the profile API does.
    EXPECT_NE(ReadAll(name).find("Source=/data/in/"), std::string::npos);
  }
  EXPECT_EQ(ReadAll(name),
            "[General]\nSource=/data/in/\nDestinationFormat=3\n\n[Log]\nSubFolders=1\nOverwrite=0\nRatio=0.25\n"
            "Padded=\"  spaced  \"\nQuoted=\"\"q\"\"\n");
  TIniFile ini(name);
  EXPECT_EQ(ini.ReadString("general", "SOURCE", "x"), "/data/in/");
  EXPECT_EQ(ini.ReadInteger("General", "DestinationFormat", 0), 3);
  EXPECT_TRUE(ini.ReadBool("Log", "SubFolders", false));
  EXPECT_FALSE(ini.ReadBool("Log", "Overwrite", true));
  EXPECT_EQ(ini.ReadFloat("Log", "Ratio", 0), 0.25);
  EXPECT_EQ(ini.ReadString("Log", "Padded", ""), "  spaced  ");
  EXPECT_EQ(ini.ReadString("Log", "Quoted", ""), "\"q\"");
}

TEST(IniFile, DefaultsWhenAbsentOrNotANumber) {
  TIniFile ini("/nonexistent/none.ini");
  ini.LoadFromString(
      "[A]\nHex=0x1F\nNeg=-4\nText=abc\nEmpty=\nBool=2\nDollar=$10\nTrail=12abc\n Spaced =  7  \nQ=\"5\"\n");
  EXPECT_EQ(ini.ReadInteger("A", "Hex", 0), 31);
  EXPECT_EQ(ini.ReadInteger("A", "Neg", 0), -4);
  EXPECT_EQ(ini.ReadInteger("A", "Text", 9), 9);
  EXPECT_EQ(ini.ReadInteger("A", "Empty", 9), 9);
  EXPECT_EQ(ini.ReadInteger("A", "Dollar", 9), 9);
  EXPECT_EQ(ini.ReadInteger("A", "Trail", 9), 9);
  EXPECT_EQ(ini.ReadInteger("A", "Spaced", 0), 7);
  EXPECT_EQ(ini.ReadInteger("A", "Q", 0), 5);
  EXPECT_EQ(ini.ReadInteger("A", "Missing", 9), 9);
  EXPECT_EQ(ini.ReadInteger("B", "Hex", 9), 9);
  EXPECT_TRUE(ini.ReadBool("A", "Bool", false));  // any non-zero number
  EXPECT_TRUE(ini.ReadBool("A", "Text", true));
  EXPECT_FALSE(ini.ReadBool("A", "Text", false));
  EXPECT_EQ(ini.ReadString("A", "Empty", "def"), "");  // present but empty is not absent
  EXPECT_EQ(ini.ReadString("A", "Missing", "def"), "def");
  EXPECT_EQ(ini.ReadFloat("A", "Text", 1.5), 1.5);
}

TEST(IniFile, UnknownContentIsKeptOnWrite) {
  TTempDir dir;
  std::string name = dir / "keep.ini";
  Write(name,
        "; written by hand\r\n"
        "[General]\r\n"
        "Source=/old\r\n"
        "odd line without equals\r\n"
        "Other = kept \r\n"
        "\r\n"
        "[SourceFormat]\r\n"
        "excel=1\r\n"
        "[general]\r\n"
        "Source=second section is ignored\r\n");
  {
    TIniFile ini(name);
    EXPECT_EQ(ini.ReadString("GENERAL", "source", ""), "/old");
    ini.WriteString("General", "SOURCE", "/new");
    ini.WriteString("General", "Added", "v");
    ini.EraseSection("sourceformat");
    ini.WriteBool("SourceFormat", "lotus", false);
  }
  EXPECT_EQ(ReadAll(name),
            "; written by hand\r\n"
            "[General]\r\n"
            "Source=/new\r\n"
            "odd line without equals\r\n"
            "Other = kept \r\n"
            "Added=v\r\n"
            "\r\n"
            "[general]\r\n"
            "Source=second section is ignored\r\n"
            "\r\n"
            "[SourceFormat]\r\n"
            "lotus=0\r\n");
}

TEST(IniFile, SectionsKeysAndDeletion) {
  TIniFile ini("/nonexistent/none.ini");
  ini.LoadFromString("\xEF\xBB\xBF[One]\na=1\nB=2\n;c=3\n[Two]\n[ Three ]\nx=y\n");
  EXPECT_EQ(ini.ReadSections(), std::vector<std::string>({"One", "Two", "Three"}));
  EXPECT_EQ(ini.ReadSection("one"), std::vector<std::string>({"a", "B"}));
  EXPECT_TRUE(ini.SectionExists("three"));
  EXPECT_TRUE(ini.ValueExists("One", "b"));
  EXPECT_FALSE(ini.ValueExists("One", "c"));
  ini.DeleteKey("ONE", "A");
  EXPECT_FALSE(ini.ValueExists("One", "a"));
  ini.EraseSection("Two");
  EXPECT_FALSE(ini.SectionExists("Two"));
  EXPECT_EQ(ini.SaveToString(), "\xEF\xBB\xBF[One]\nB=2\n;c=3\n[ Three ]\nx=y\n");
  ini.WriteString("One", "Multi", "line1\nline2");  // a line break would split the entry
  EXPECT_EQ(ini.ReadString("One", "Multi", ""), "line1 line2");
}

TEST(IniFile, UnwritableFileFailsSilentlyButUpdateFileReports) {
  TTempDir dir;
  Write(dir / "blocker", "a file where the folder should be");
  {
    TIniFile ini(dir / "blocker/x.ini");
    EXPECT_NO_THROW(ini.WriteString("S", "K", "V"));
    EXPECT_EQ(ini.ReadString("S", "K", ""), "V");  // still there for this session
    EXPECT_ANY_THROW(ini.UpdateFile());
  }  // the destructor swallows the failure
  EXPECT_EQ(ReadAll(dir / "blocker"), "a file where the folder should be");
}

TEST(IniFile, RewriteKeepsPermissionsAndLeavesNoTemporaryFile) {
  TTempDir dir;
  std::string name = dir / "private.ini";
  Write(name, "[S]\nK=1\n");
  chmod(name.c_str(), 0600);
  {
    TIniFile ini(name);
    ini.WriteInteger("S", "K", 2);
  }
  struct stat st;
  ASSERT_EQ(stat(name.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(FileExists(name + ".tmp"));
  EXPECT_EQ(ReadAll(name), "[S]\nK=2\n");
}
