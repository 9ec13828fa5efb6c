// The settings file: read when the window is first shown, written when it
// closes, with the sections, keys and defaults the program has always used.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>

#include "FakeUi.h"
#include "GuiTestSupport.h"
#include "Main.h"
#include "SettingsSamples.h"
#include "Utils.h"

namespace {

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { TestApp(); }
  TScratch Scratch;
  TFakeUi Fake;
};

TEST_F(SettingsTest, LivesUnderTheConfigFolderNamedAfterTheProgram) {
  EXPECT_EQ(TScratch::Settings(), Scratch.Path("config/Kestra/varnowe/varnowe.ini"));
}

TEST_F(SettingsTest, DestinationFormatThreeSelectsXml) {
  TScratch::WriteSettings("[General]\r\nDestinationFormat=3\r\n");
  TfrmMain w;
  EXPECT_EQ(w.rgDestination->ItemIndex(), 0);  // not read before the window is shown
  w.show();
  EXPECT_EQ(w.rgDestination->ItemIndex(), 3);
  EXPECT_EQ(w.rgDestination->Item(3), "XML (*.xml)");
  EXPECT_TRUE(w.rgDestination->Button(3)->isChecked());
  EXPECT_EQ(w.GetDestinationExt(), ".xml");
}

TEST_F(SettingsTest, NumbersAreDecimalOrHexAndAnythingElseGivesTheDefault) {
  TScratch::WriteSettings(
      "[General]\nDestinationFormat=0x5\n"
      "[Log]\nSubFolders=yes\nOverwrite=0\nLogProcessed=7\n"
      "[SourceFormat]\nexcel=0\nlotus=\nquattro=0x0\n");
  TfrmMain w;
  w.show();
  EXPECT_EQ(w.rgDestination->ItemIndex(), 5);
  EXPECT_FALSE(w.chkSubFolders->isChecked());  // "yes" is no number
  EXPECT_FALSE(w.chkOverwrite->isChecked());
  EXPECT_TRUE(w.chkLogProcessed->isChecked());  // any non-zero number
  EXPECT_TRUE(w.edLogProcessed->isEnabled());
  EXPECT_FALSE(w.chkMSExcel->isChecked());
  EXPECT_TRUE(w.chkLotus->isChecked());
  EXPECT_FALSE(w.chkQuattroPro->isChecked());
  EXPECT_TRUE(w.chkOpenOffice->isChecked());
}

TEST_F(SettingsTest, AFormatIndexNoItemHasKeepsTheDefault) {
  // Otherwise every file would end "Finished" with nothing written.
  for (const char* value : {"7", "-1", "99"}) {
    TScratch::WriteSettings(std::string("[General]\nDestinationFormat=") + value + "\n");
    TfrmMain w;
    w.show();
    EXPECT_EQ(w.rgDestination->ItemIndex(), 0) << value;
  }
}

TEST_F(SettingsTest, RoundTripThroughTheFile) {
  Scratch.MakeDir("data");
  TScratch::WriteSettings(
      "; kept\r\n[Other]\r\nKey=Value\r\n[SourceFormat]\r\nstale=1\r\nexcel=1\r\n");
  {
    TfrmMain w;
    w.show();
    w.edSourceName->setText(QString::fromStdString(Scratch.Path("data")));
    w.edDestinationName->setText(QStringLiteral("/tmp/out dir/\u00e9t\u00e9"));
    w.rgDestination->SetItemIndex(6);
    w.chkSubFolders->setChecked(true);
    w.chkOverwrite->setChecked(false);
    w.chkLogProcessed->setChecked(true);
    w.edLogProcessed->setText(QStringLiteral("/tmp/run.log"));
    w.chkQuattroPro->setChecked(false);
    w.chkOpenOffice->setChecked(false);
    Fake.Answers = {IDYES};
    ASSERT_TRUE(w.close());
  }
  TIniFile ini(TScratch::Settings());
  EXPECT_EQ(ini.ReadString("General", "Source", ""), Scratch.Path("data"));
  EXPECT_EQ(ini.ReadString("General", "Destination", ""), "/tmp/out dir/\xc3\xa9t\xc3\xa9");
  EXPECT_EQ(ini.ReadString("General", "DestinationFormat", ""), "6");
  EXPECT_EQ(ini.ReadString("Log", "SubFolders", ""), "1");
  EXPECT_EQ(ini.ReadString("Log", "Overwrite", ""), "0");
  EXPECT_EQ(ini.ReadString("Log", "LogProcessed", ""), "1");
  EXPECT_EQ(ini.ReadString("Log", "LogProcessedFile", ""), "/tmp/run.log");
  // TfrmMain rewrites its section whole; other sections stay.
  EXPECT_EQ(ini.ReadSection("SourceFormat"), (std::vector<std::string>{"excel", "lotus", "quattro", "ods"}));
  EXPECT_EQ(ini.ReadString("SourceFormat", "quattro", ""), "0");
  EXPECT_EQ(ini.ReadString("SourceFormat", "excel", ""), "1");
  EXPECT_EQ(ini.ReadString("Other", "Key", ""), "Value");

  TfrmMain again;
  again.show();
  EXPECT_EQ(ToAnsi(again.edSourceName->text()), Scratch.Path("data"));
  EXPECT_EQ(again.edDestinationName->text(), QStringLiteral("/tmp/out dir/\u00e9t\u00e9"));
  EXPECT_EQ(again.rgDestination->ItemIndex(), 6);
  EXPECT_TRUE(again.chkSubFolders->isChecked());
  EXPECT_FALSE(again.chkOverwrite->isChecked());
  EXPECT_TRUE(again.chkLogProcessed->isChecked());
  EXPECT_EQ(again.edLogProcessed->text(), "/tmp/run.log");
  EXPECT_TRUE(again.chkMSExcel->isChecked());
  EXPECT_TRUE(again.chkLotus->isChecked());
  EXPECT_FALSE(again.chkQuattroPro->isChecked());
  EXPECT_FALSE(again.chkOpenOffice->isChecked());
}

TEST_F(SettingsTest, AWindowNeverShownLeavesTheFileAlone) {
  TScratch::WriteSettings("[General]\r\nDestinationFormat=4\r\n");
  {
    TfrmMain w;
    Fake.Answers = {IDYES};
    w.close();
  }
  TIniFile ini(TScratch::Settings());
  EXPECT_EQ(ini.ReadInteger("General", "DestinationFormat", -1), 4);
  EXPECT_FALSE(ini.ValueExists("General", "Source"));
}

TEST_F(SettingsTest, AnUncreatableFolderLosesTheSettingsSilently) {
  Scratch.Write("config/Kestra");  // a file where the folder chain should go
  TfrmMain w;
  w.show();
  Fake.Answers = {IDYES};
  EXPECT_TRUE(w.close());
  EXPECT_EQ(Fake.Messages.size(), 1u);  // only the closing question
}

}  // namespace

namespace {

// A settings file with every key the window writes, holding values other
// than the defaults, plus sections and keys it only reads or never knew.
const char* const PriorSettings =
    "; kept\r\n[Other]\r\nKey=Value\r\n[Options]\r\nMaxOutputSize=4G\r\nMaxWorkbookMemory=512M\r\n"
    "[SourceFormat]\r\nstale=1\r\nexcel=1\r\n";

std::string GoldenSettingsPath() { return std::string(VARNOWE_SOURCE_DIR) + "/tests/app/golden/settings.ini"; }

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TEST_F(SettingsTest, AFullFileIsWrittenByteForByteAsBefore) {
  TScratch::WriteSettings(PriorSettings);
  {
    TfrmMain w;
    w.show();
    w.edSourceName->setText(QStringLiteral("/data/in \u00e9t\u00e9"));
    w.edDestinationName->setText(QStringLiteral("/data/out"));
    w.rgDestination->SetItemIndex(1);
    w.chkSubFolders->setChecked(true);
    w.chkOverwrite->setChecked(false);
    w.chkLogProcessed->setChecked(true);
    w.edLogProcessed->setText(QStringLiteral("/data/run.log"));
    w.chkLotus->setChecked(false);
    w.chkOpenOffice->setChecked(false);
    TDestinationOptions o;
    o.Text.Banner = false;
    o.Text.ExtraRowColumn = false;
    o.Text.Separator = "\t";
    o.Text.Quoting = cqMinimal;
    o.Text.LineBreak = lbLF;
    o.Text.Encoding = encUtf8Bom;
    o.Text.HtmlTitle = true;
    o.Text.Values = cvDisplayed;
    o.NameTemplate = SheetNameTemplate;
    o.KeepFolderTree = true;
    o.Sheets = ssMask;
    o.SheetMask = "Data*";
    o.WholeWorkbook = true;
    TQXEPageSetup& p = o.Page.Setup;
    p.PaperSize = epsA3;
    p.Orientation = emLandscape;
    ApplyFit("60", p);
    ApplyMargins("10pt,20pt,30pt,40pt", p);
    p.PageOrder = epoAcrossThenDown;
    p.RepeatRows = 2;
    o.Page.HeaderLine = false;
    o.ExportSpec = "/data/monthly.spec";
    w.SetDestinationOptions(o);
    Fake.Answers = {IDYES};
    ASSERT_TRUE(w.close());
  }
  const std::string written = ReadAll(TScratch::Settings());
  EXPECT_EQ(written, ReadAll(GoldenSettingsPath()));

  // Read and written again unchanged, the file stays as it is.
  {
    TfrmMain w;
    w.show();
    Fake.Answers = {IDYES};
    ASSERT_TRUE(w.close());
  }
  EXPECT_EQ(ReadAll(TScratch::Settings()), written);
}

namespace {

TStoredSettings WindowSettings(const TfrmMain& w) {
  TStoredSettings values;
  values.Job = w.CurrentSettings();
  values.Formats = w.SourceFormats();
  return values;
}

}  // namespace

// The window reads every key of the settings file as the table does (and so
// as varnowe-batch's --settings does).
TEST_F(SettingsTest, TheWindowReadsEachKeyAsTheTable) {
  TScratch::WriteSettings("");
  TStoredSettings defaults;
  {
    TfrmMain w;
    w.show();
    defaults = WindowSettings(w);
    w.hide();
  }
  for (const TSettingKey& k : SettingKeys()) {
    const std::string text = "[" + std::string(k.Section) + "]\n" + k.Key + "=" + NonDefaultValue(k) + "\n";
    TScratch::WriteSettings(text);
    TfrmMain w;
    w.show();
    TStoredSettings expected = defaults;
    TIniFile ini(TScratch::Settings());
    ReadStoredSettings(ini, expected);
    EXPECT_EQ(SettingsText(WindowSettings(w)), SettingsText(expected)) << k.Key;
    EXPECT_NE(SettingsText(WindowSettings(w)), SettingsText(defaults)) << k.Key << " was not read";
    w.hide();
  }
}
