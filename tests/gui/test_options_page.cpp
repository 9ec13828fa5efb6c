// Page 4: the destination options of the chosen format, the clean data
// button, what a run gets from the controls, checks on leaving the page,
// and the settings file's section "Destination".
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <fstream>

#include "ExportDS.h"
#include "FakeUi.h"
#include "GuiTestSupport.h"
#include "Main.h"

namespace {

class OptionsPage : public ::testing::Test {
 protected:
  void SetUp() override { TestApp(); }
  // The window shown on page 4 with format index chosen.
  void ShowFormat(TfrmMain& w, int format) {
    w.show();
    w.edSourceName->setText(QString::fromStdString(Scratch.Dir()));
    w.GoToPage(3);
    w.rgDestination->SetItemIndex(format);
    w.GoToPage(4);
    ASSERT_EQ(w.CurrentPage(), 4);
  }
  TScratch Scratch;
  TFakeUi Fake;
};

TEST_F(OptionsPage, ShowsWhatTheChosenFormatUses) {
  TfrmMain w;
  ShowFormat(w, 1);  // CSV: everything but the HTML title
  EXPECT_TRUE(w.gbTextOptions->isVisible());
  EXPECT_TRUE(w.cbSeparator->isVisible());
  EXPECT_TRUE(w.cbQuoting->isVisible());
  EXPECT_FALSE(w.chkHtmlTitle->isVisible());
  EXPECT_EQ(w.cbNames->itemText(1), "book - Sheet1.csv");
  w.GoToPage(3);
  w.rgDestination->SetItemIndex(2);  // HTML: the title, no separator
  w.GoToPage(4);
  EXPECT_TRUE(w.chkHtmlTitle->isVisible());
  EXPECT_FALSE(w.cbSeparator->isVisible());
  EXPECT_TRUE(w.chkBanner->text().startsWith("Footer"));
  EXPECT_EQ(w.cbNames->itemText(0), "book.htm, book1.htm, ...");
  w.GoToPage(3);
  w.rgDestination->SetItemIndex(4);  // .xls: no text options, but names and sheets
  w.GoToPage(4);
  EXPECT_FALSE(w.gbTextOptions->isVisible());
  EXPECT_TRUE(w.gbOutputFiles->isVisible());
  Fake.Answers = {IDYES};
}

TEST_F(OptionsPage, WholeWorkbookChoiceOfTheFormatsThatHoldSheets) {
  TfrmMain w;
  ShowFormat(w, 1);
  EXPECT_FALSE(w.gbWorkbook->isVisible());  // text formats: one file per sheet, always
  const struct {
    int Format;
    const char* PerSheet;
    const char* Whole;
  } formats[] = {{4, "Excel worksheet (one file per sheet)", "Excel 97–2003 workbook (all sheets)"},
                 {5, "One workbook per sheet", "One workbook with all sheets"},
                 {6, "One document per sheet", "One document, all sheets"}};
  for (const auto& f : formats) {
    w.GoToPage(3);
    w.rgDestination->SetItemIndex(f.Format);
    w.GoToPage(4);
    EXPECT_TRUE(w.gbWorkbook->isVisible()) << f.Format;
    EXPECT_EQ(w.rbSheetFiles->text().toStdString(), f.PerSheet);
    EXPECT_EQ(w.rbWholeWorkbook->text().toStdString(), f.Whole);
  }
  // Default: one file per sheet, as always.
  EXPECT_TRUE(w.rbSheetFiles->isChecked());
  EXPECT_FALSE(w.CurrentSettings().Destination.WholeWorkbook);
  w.cbNames->setCurrentIndex(2);
  w.rbWholeWorkbook->setChecked(true);
  EXPECT_TRUE(w.CurrentSettings().Destination.WholeWorkbook);
  // A workbook output is named as its source: the template cannot be chosen.
  EXPECT_FALSE(w.cbNames->isEnabled());
  EXPECT_FALSE(w.edNameTemplate->isEnabled());
  EXPECT_EQ(w.cbNames->itemText(0), "book.pdf");
  w.rbSheetFiles->setChecked(true);
  EXPECT_TRUE(w.edNameTemplate->isEnabled());
  EXPECT_EQ(w.cbNames->itemText(0), "book.pdf, book1.pdf, ...");
  Fake.Answers = {IDYES};
}

TEST_F(OptionsPage, ExportSettingsAreLoadedCheckedAndSaved) {
  TfrmMain w;
  ShowFormat(w, 6);
  EXPECT_TRUE(w.btnLoadExportSpec->isVisible());
  EXPECT_EQ(w.lblExportSpec->text(), "Export settings: defaults");
  const std::string bad = Scratch.Dir() + "bad.spec", good = Scratch.Dir() + "good.spec",
                    saved = Scratch.Dir() + "saved.spec";
  std::ofstream(bad) << "[PDF]\nPageLayout=9\n";
  std::ofstream(good) << "[Header]\nHeader0=Top\nHeader1=\n[PDF]\nViewerPreferences=2\n";
  // A bad file is refused naming its line; nothing changes.
  Fake.OpenNames = {bad};
  w.LoadExportSettings();
  ASSERT_EQ(Fake.Messages.size(), 1u);
  EXPECT_NE(Fake.Messages[0].Text.find("bad.spec\" line 2: PageLayout must be a whole number from 0 to 6"),
            std::string::npos) << Fake.Messages[0].Text;
  EXPECT_TRUE(w.CurrentSettings().Destination.ExportSpec.empty());
  Fake.OpenNames = {good};
  w.LoadExportSettings();
  EXPECT_EQ(w.lblExportSpec->text(), "Export settings: good.spec");
  EXPECT_EQ(w.CurrentSettings().Destination.ExportSpec, good);
  EXPECT_EQ(w.CurrentSettings().Destination.ExportSpecLines.size(), 6u);
  // Saved: what a run's PDF writer gets, which loads again.
  Fake.SaveNames = {saved};
  w.SaveExportSettings();
  const std::vector<std::string> lines = ReadSpecificationFile(saved);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Header1="), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "ViewerPreferences=2"), lines.end());
  w.ClearExportSettings();
  EXPECT_TRUE(w.CurrentSettings().Destination.ExportSpec.empty());
  EXPECT_FALSE(w.btnClearExportSpec->isEnabled());
  Fake.Answers = {IDYES};
}

TEST_F(OptionsPage, ControlsMakeTheJobSettings) {
  TfrmMain w;
  ShowFormat(w, 1);
  // Defaults: today's outputs.
  EXPECT_EQ(w.CurrentSettings().Destination, TDestinationOptions());
  EXPECT_FALSE(w.edNameTemplate->isEnabled());
  EXPECT_FALSE(w.edSheetMask->isEnabled());
  EXPECT_FALSE(w.chkKeepFolderTree->isEnabled());  // sub-directories are not searched
  w.btnCleanData->click();
  TDestinationOptions clean;
  ApplyCleanPreset(clean);
  EXPECT_EQ(w.CurrentSettings().Destination, clean);
  w.cbSeparator->setEditText("#");
  w.cbLineEnd->setCurrentIndex(lbLF);
  w.cbNames->setCurrentIndex(1);
  w.cbSheets->setCurrentIndex(ssMask);
  w.edSheetMask->setText("Data*");
  w.chkSubFolders->setChecked(true);
  w.chkKeepFolderTree->setChecked(true);
  const TDestinationOptions o = w.CurrentSettings().Destination;
  EXPECT_EQ(o.Text.Separator, "#");
  EXPECT_EQ(o.Text.LineBreak, lbLF);
  EXPECT_EQ(o.NameTemplate, SheetNameTemplate);
  EXPECT_EQ(o.Sheets, ssMask);
  EXPECT_EQ(o.SheetMask, "Data*");
  EXPECT_TRUE(o.KeepFolderTree);
  EXPECT_TRUE(w.edSheetMask->isEnabled());
  w.cbSeparator->setCurrentIndex(2);
  EXPECT_EQ(w.CurrentSettings().Destination.Text.Separator, "\t");
  Fake.Answers = {IDYES};
}

TEST_F(OptionsPage, UnusableChoicesKeepThePage) {
  TfrmMain w;
  ShowFormat(w, 1);
  w.cbSeparator->setEditText("ab");
  w.btnNext->click();
  EXPECT_EQ(w.CurrentPage(), 4);
  ASSERT_EQ(Fake.Messages.size(), 1u);
  EXPECT_NE(Fake.Messages[0].Text.find("The separator \"ab\" cannot be used"), std::string::npos);
  w.cbSeparator->setCurrentIndex(1);
  w.cbNames->setCurrentIndex(2);
  w.edNameTemplate->setText("{name}/{sheet}");
  w.btnLast->click();
  EXPECT_EQ(w.CurrentPage(), 4);
  ASSERT_EQ(Fake.Messages.size(), 2u);
  EXPECT_NE(Fake.Messages[1].Text.find("The file name template \"{name}/{sheet}\" cannot be used"),
            std::string::npos);
  w.edNameTemplate->setText("{sheet}");
  w.btnNext->click();
  EXPECT_EQ(w.CurrentPage(), 5);
  Fake.Answers = {IDYES};
}

TEST_F(OptionsPage, SettingsFileRoundTrip) {
  TScratch::WriteSettings(
      "[General]\nDestinationFormat=1\n[Destination]\nBanner=0\nExtraRowColumn=0\nSeparator=;\nQuoting=minimal\n"
      "LineEnd=lf\nEncoding=utf-8-bom\nHtmlTitle=1\nNameTemplate={sheet}{ext}\nKeepFolderTree=1\nSheets=mask\n"
      "SheetMask=Q*\nWholeWorkbook=1\n");
  TDestinationOptions expected;
  expected.Text = {false, false, ";", cqMinimal, lbLF, encUtf8Bom, true};
  expected.NameTemplate = "{sheet}{ext}";
  expected.KeepFolderTree = true;
  expected.Sheets = ssMask;
  expected.SheetMask = "Q*";
  expected.WholeWorkbook = true;
  {
    TfrmMain w;
    w.show();
    EXPECT_EQ(w.CurrentSettings().Destination, expected);
    EXPECT_EQ(w.cbNames->currentIndex(), 2);
    EXPECT_EQ(w.cbSeparator->currentIndex(), 1);
    EXPECT_TRUE(w.rbWholeWorkbook->isChecked());
    w.cbSeparator->setCurrentIndex(2);  // tab
    Fake.Answers = {IDYES};
    w.close();
  }
  expected.Text.Separator = "\t";
  TIniFile ini(TScratch::Settings());
  EXPECT_EQ(ini.ReadString("Destination", "Separator", ""), "tab");
  EXPECT_EQ(ini.ReadString("Destination", "WholeWorkbook", ""), "1");
  TfrmMain again;
  again.show();
  EXPECT_EQ(again.CurrentSettings().Destination, expected);
  Fake.Answers = {IDYES};
}

}  // namespace
