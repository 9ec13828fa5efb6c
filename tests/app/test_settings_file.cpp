// The settings file's table of keys: a file written by earlier versions
// reads and writes back byte for byte, defaults and words are what the
// table says, and values not understood keep the current ones.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "IniFile.h"
#include "JobSettingsFile.h"
#include "TempDir.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string GoldenPath() { return std::string(VARNOWE_SOURCE_DIR) + "/tests/app/golden/settings.ini"; }

std::vector<std::string> Words(const char* list) {
  std::istringstream in(list);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

TEST(SettingsFile, AStoredFileReadsAndWritesBackByteForByte) {
  const std::string golden = ReadAll(GoldenPath());
  ASSERT_FALSE(golden.empty()) << GoldenPath();
  TTempDir dir;
  std::ofstream(dir / "job.ini", std::ios::binary) << golden;
  TStoredSettings values;
  {
    TIniFile ini(dir / "job.ini");
    ReadStoredSettings(ini, values);
    WriteStoredSettings(ini, values);
    ini.UpdateFile();
  }
  EXPECT_EQ(ReadAll(dir / "job.ini"), golden);

  const TJobSettings& j = values.Job;
  EXPECT_EQ(j.edSourceName, "/data/in \xc3\xa9t\xc3\xa9");
  EXPECT_EQ(j.edDestinationName, "/data/out");
  EXPECT_EQ(j.rgDestination, 1);
  EXPECT_TRUE(j.chkSubFolders);
  EXPECT_FALSE(j.chkOverwrite);
  EXPECT_TRUE(j.chkLogProcessed);
  EXPECT_EQ(j.edLogProcessed, "/data/run.log");
  EXPECT_EQ(j.MaxOutputSize, int64_t(4) << 30);
  EXPECT_EQ(j.MaxWorkbookMemory, int64_t(512) << 20);
  const TDestinationOptions& d = j.Destination;
  EXPECT_FALSE(d.Text.Banner);
  EXPECT_FALSE(d.Text.ExtraRowColumn);
  EXPECT_EQ(d.Text.Separator, "\t");
  EXPECT_EQ(d.Text.Quoting, cqMinimal);
  EXPECT_EQ(d.Text.LineBreak, lbLF);
  EXPECT_EQ(d.Text.Encoding, encUtf8Bom);
  EXPECT_TRUE(d.Text.HtmlTitle);
  EXPECT_EQ(d.Text.Values, cvDisplayed);
  EXPECT_EQ(d.NameTemplate, SheetNameTemplate);
  EXPECT_TRUE(d.KeepFolderTree);
  EXPECT_EQ(d.Sheets, ssMask);
  EXPECT_EQ(d.SheetMask, "Data*");
  EXPECT_TRUE(d.WholeWorkbook);
  const TQXEPageSetup& p = d.Page.Setup;
  EXPECT_EQ(p.PaperSize, epsA3);
  EXPECT_EQ(p.Orientation, emLandscape);
  EXPECT_FALSE(p.FitToPage);
  EXPECT_EQ(p.Zoom, 60);
  EXPECT_FALSE(p.UseDefault);
  EXPECT_EQ(std::vector<float>({p.TopMargin, p.RightMargin, p.BottomMargin, p.LeftMargin}),
            std::vector<float>({10, 20, 30, 40}));
  EXPECT_EQ(p.PageOrder, epoAcrossThenDown);
  EXPECT_EQ(p.RepeatRows, 2);
  EXPECT_FALSE(d.Page.HeaderLine);
  EXPECT_TRUE(d.Page.FooterLine);
  EXPECT_EQ(values.Formats, (TSourceFormats{true, false, true, false}));

  // Written into an empty file, the same keys come out in the same order.
  TIniFile fresh(dir / "fresh.ini");
  WriteStoredSettings(fresh, values);
  TIniFile stored(dir / "job.ini");
  for (const char* section : {"General", "Log", "Destination", "SourceFormat"}) {
    EXPECT_EQ(fresh.ReadSection(section), stored.ReadSection(section)) << section;
    for (const std::string& key : stored.ReadSection(section))
      EXPECT_EQ(fresh.ReadString(section, key, "?"), stored.ReadString(section, key, "!")) << key;
  }
  // The budgets are only read: they follow this machine unless set by hand.
  EXPECT_FALSE(fresh.SectionExists("Options"));
}

TEST(SettingsFile, TheTableNamesEachKeyOnceWithItsDefault) {
  std::set<std::string> seen;
  TTempDir dir;
  TIniFile ini(dir / "defaults.ini");
  const TStoredSettings defaults;
  WriteStoredSettings(ini, defaults);
  for (const TSettingKey& k : SettingKeys()) {
    EXPECT_TRUE(seen.insert(std::string(k.Section) + "/" + k.Key).second) << k.Key;
    EXPECT_EQ(k.Kind == TSettingKind::skWord, k.Words != nullptr) << k.Key;
    if (!k.Write) {
      EXPECT_FALSE(ini.ValueExists(k.Section, k.Key)) << k.Key;
      continue;
    }
    ASSERT_TRUE(ini.ValueExists(k.Section, k.Key)) << k.Key;
    if (k.Default) {
      EXPECT_EQ(ini.ReadString(k.Section, k.Key, "?"), k.Default) << k.Key;
    }
    // The default of a word is one of its words (a separator is written as itself).
    if (k.Words && std::string(k.Key) != "Separator") {
      const std::vector<std::string> words = Words(k.Words);
      EXPECT_NE(std::find(words.begin(), words.end(), k.Default), words.end()) << k.Key;
    }
  }
  EXPECT_EQ(seen.size(), 36u);
}

TEST(SettingsFile, EveryWordReadsBackAsItself) {
  TTempDir dir;
  for (const TSettingKey& k : SettingKeys()) {
    if (!k.Words || !k.Write) continue;  // words only read are set by hand
    for (const std::string& word : Words(k.Words)) {
      // Case is ignored on reading; the word is written in lower case.
      std::string upper = word;
      for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
      TIniFile in(dir / "in.ini");
      in.LoadFromString("[" + std::string(k.Section) + "]\n" + k.Key + "=" + upper + "\n");
      TStoredSettings values;
      k.Read(in, k, values);
      TIniFile out(dir / "out.ini");
      k.Write(out, k, values);
      // A separator written as a word ("tab", "space") or as itself (",").
      TStoredSettings again;
      k.Read(out, k, again);
      TIniFile twice(dir / "twice.ini");
      k.Write(twice, k, again);
      EXPECT_EQ(twice.ReadString(k.Section, k.Key, "?"), out.ReadString(k.Section, k.Key, "!")) << k.Key << word;
      if (std::string(k.Key) != "Separator") {
        EXPECT_EQ(out.ReadString(k.Section, k.Key, "?"), word) << k.Key;
      }
    }
  }
}

TEST(SettingsFile, ValuesNotUnderstoodKeepTheCurrentOnes) {
  TTempDir dir;
  TIniFile bad(dir / "bad.ini");
  bad.LoadFromString(
      "[General]\nDestinationFormat=two\n[Log]\nSubFolders=yes\nOverwrite=\n"
      "[Options]\nMaxOutputSize=lots\nMaxWorkbookMemory=-3\n"
      "[Destination]\nBanner=no\nSeparator=ab\nQuoting=some\nLineEnd=cr\nEncoding=ebcdic\nNameTemplate={x}\n"
      "Sheets=9\n[SourceFormat]\nexcel=maybe\n");
  TStoredSettings values;
  values.Job.rgDestination = 4;
  values.Job.chkSubFolders = true;
  values.Job.MaxOutputSize = 12345;
  values.Job.Destination.Text.Banner = false;
  values.Job.Destination.Text.Separator = ";";
  values.Job.Destination.NameTemplate = "{name}{ext}";
  values.Job.Destination.Sheets = ssFirst;
  values.Formats.chkMSExcel = false;
  const TStoredSettings before = values;
  ReadStoredSettings(bad, values);
  TIniFile a(dir / "a.ini"), b(dir / "b.ini");
  WriteStoredSettings(a, before);
  WriteStoredSettings(b, values);
  EXPECT_EQ(a.SaveToString(), b.SaveToString());
  EXPECT_EQ(values.Job.MaxOutputSize, 12345);
  EXPECT_EQ(values.Job.MaxWorkbookMemory, before.Job.MaxWorkbookMemory);
}

TEST(SettingsFile, GroupsReadAndWriteOnlyTheirSections) {
  TTempDir dir;
  TIniFile ini(dir / "g.ini");
  ini.LoadFromString("[SourceFormat]\nstale=1\n[General]\nDestinationFormat=3\n");
  TStoredSettings values;
  values.Formats.chkLotus = false;
  ReadStoredSettings(ini, values, sgSourceFormats);
  EXPECT_EQ(values.Job.rgDestination, 0);
  WriteStoredSettings(ini, values, sgSourceFormats);
  // The source families' section is written whole; the others stay.
  EXPECT_EQ(ini.ReadSection("SourceFormat"), (std::vector<std::string>{"excel", "lotus", "quattro", "ods"}));
  EXPECT_EQ(ini.ReadSection("General"), std::vector<std::string>{"DestinationFormat"});
  EXPECT_FALSE(ini.SectionExists("Destination"));
}

}  // namespace
