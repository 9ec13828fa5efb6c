// The wizard driven as a user drives it: buttons, menus and the two lists,
// with dialogs answered by the recording fake.
// The model headers before Qt's: they use a name Qt defines as a macro.
#include "ConversionFrontEnd.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "About.h"
#include "Exception.h"
#include "FakeUi.h"
#include "GuiTestSupport.h"
#include "Main.h"
#include "Pictures.h"
#include "ProductInfo.h"
#include "QtUiServices.h"
#include "Utils.h"

namespace {

// A window whose conversion is a test callback instead of the readers.
class TFakeConvertWindow : public TfrmMain {
 public:
  std::function<void(const std::string&, const std::string&)> OnConvert;
  std::vector<int> ProgressSeen;
  int Created = 0, Freed = 0;
  void CreateConverters() override { ++Created; }
  void FreeConverters() override { ++Freed; }
  void ConvertFile(const std::string& source, const std::string& dest) override {
    ProgressSeen.push_back(pbProcess->value());
    if (OnConvert) OnConvert(source, dest);
  }
};

std::string Ansi(const QString& s) { return ToAnsi(s); }

class WizardTest : public ::testing::Test {
 protected:
  void SetUp() override { TestApp(); }
  TScratch Scratch;
  TFakeUi Fake;

  // Source with five Lotus-named files and one other, destination beside it.
  void FillSource() {
    for (const char* n : {"a1.wk1", "a2.wk1", "a3.wk1", "a4.wk1", "a5.wk1", "notes.txt"})
      Scratch.Write(std::string("src/") + n);
    Scratch.MakeDir("out");
  }
  void PointAt(TfrmMainBasic& w) {
    w.edSourceName->setText(QString::fromStdString(Scratch.Path("src")));
    w.edDestinationName->setText(QString::fromStdString(Scratch.Path("out")));
  }
  // A finished run's closing message: its first paragraph; the rest names
  // the destination and offers to open it.
  std::string Closing() const {
    if (Fake.Messages.empty()) return {};
    const std::string& text = Fake.Messages.back().Text;
    EXPECT_NE(text.find("\n\nThe converted files are in "), std::string::npos) << text;
    return text.substr(0, text.find("\n\n"));
  }
  static std::vector<std::string> Statuses(TfrmMainBasic& w) {
    std::vector<std::string> s;
    for (int i = 0; i < w.lvProgress->topLevelItemCount(); ++i) s.push_back(Ansi(w.lvProgress->topLevelItem(i)->text(1)));
    return s;
  }
};

TEST_F(WizardTest, FirstStartShowsDefaultsAndEveryPublishedControl) {
  // The first start offers the documents folder, or home without one; never
  // the program's folder, which is read-only once installed.
  const char* oldHome = std::getenv("HOME");
  const std::string savedHome = oldHome ? oldHome : "";
  ::setenv("HOME", Scratch.MakeDir("home").c_str(), 1);
  std::string offered = Scratch.Path("home/");
  {
    TfrmMain w;
    EXPECT_EQ(Ansi(w.edSourceName->text()), offered);
  }
  Scratch.MakeDir("home/Documents");
  offered = Scratch.Path("home/Documents/");
  TfrmMain w;
  ::setenv("HOME", savedHome.c_str(), 1);
  w.show();
  EXPECT_EQ(w.windowTitle(), "Convert the Excel documents");
  EXPECT_EQ(w.centralWidget()->size(), QSize(540, 504));
  EXPECT_EQ(Ansi(w.edSourceName->text()), offered);
  EXPECT_EQ(Ansi(w.edDestinationName->text()), offered);
  EXPECT_EQ(Ansi(w.edLogProcessed->text()), offered + "processed.log");
  EXPECT_EQ(w.edSourceWildcard->text(), "*.*");
  EXPECT_TRUE(w.chkMSExcel->isChecked() && w.chkLotus->isChecked() && w.chkQuattroPro->isChecked() &&
              w.chkOpenOffice->isChecked());
  EXPECT_EQ(w.rgDestination->ItemIndex(), 0);
  EXPECT_EQ(w.rgDestination->Count(), 7);
  EXPECT_TRUE(w.chkOverwrite->isChecked());
  EXPECT_FALSE(w.chkSubFolders->isChecked());
  EXPECT_FALSE(w.chkLogProcessed->isChecked());
  EXPECT_FALSE(w.edLogProcessed->isEnabled());
  EXPECT_FALSE(w.btnLogProcessed->isEnabled());
  EXPECT_FALSE(w.btnStop->isVisible());
  EXPECT_FALSE(w.pbProcess->isVisible());
  EXPECT_FALSE(w.miFileExecute->isEnabled());
  EXPECT_EQ(w.CurrentPage(), 1);
  EXPECT_EQ(w.lblCaption->text(), "General information");
  EXPECT_EQ(w.lblProductURL->text(), "Morvell Software");
  EXPECT_EQ(w.lblProductURL->toolTip(), QString::fromUtf8(CompanyWebAddress));
  for (const char* name :
       {"pnlDescription", "lblCaption", "lblDescription", "imgBackground", "imgDescription", "pcWizard", "tsInfo",
        "tsSource", "tsDestination", "tsOptions", "tsFileList", "tsLog", "lblGeneralInfo", "edSourceName",
        "btnSourceName", "edSourceWildcard", "chkSubFolders", "gbSource", "chkMSExcel", "chkLotus", "chkQuattroPro",
        "chkOpenOffice", "edDestinationName", "btnDestinationName", "chkOverwrite", "rgDestination",
        "chkLogProcessed", "edLogProcessed", "btnLogProcessed", "lvFileName", "pbProcess", "lvProgress", "pbLogo",
        "lblProductURL", "btnFirst", "btnPrev", "btnNext", "btnLast", "btnCancel", "btnStop", "miFileExecute"})
    EXPECT_NE(w.findChild<QObject*>(QString::fromLatin1(name)), nullptr) << name;
  // The description picture keeps 86 pixels from the background picture's left edge.
  EXPECT_EQ(w.imgDescription->x() - w.imgBackground->x(), 86);
  EXPECT_EQ(w.imgBackground->geometry().right(), w.pnlDescription->width() - 1);
}

TEST_F(WizardTest, PagesButtonsAndCaptionsFollowTheCurrentPage) {
  FillSource();
  TfrmMain w;
  w.show();
  PointAt(w);
  EXPECT_FALSE(w.btnPrev->isEnabled());
  EXPECT_FALSE(w.btnFirst->isEnabled());
  EXPECT_TRUE(w.btnNext->isDefault());
  const char* titles[] = {"General information", "Source", "Destination", "Options", "File list", "Summary"};
  for (int page = 1; page <= 6; ++page) {
    EXPECT_EQ(w.CurrentPage(), page);
    EXPECT_EQ(w.pcWizard->currentIndex(), page - 1);
    EXPECT_EQ(w.lblCaption->text(), titles[page - 1]);
    EXPECT_EQ(w.btnCancel->text(), page < 6 ? "&Cancel" : "Execute");
    if (page < 6) w.btnNext->click();
  }
  EXPECT_FALSE(w.btnNext->isEnabled());
  EXPECT_FALSE(w.btnLast->isEnabled());
  EXPECT_TRUE(w.btnCancel->isDefault());
  w.btnFirst->click();
  EXPECT_EQ(w.CurrentPage(), 1);
  w.btnLast->click();  // passes 5 and 6 forward: both lists are built
  EXPECT_EQ(w.CurrentPage(), 6);
  EXPECT_EQ(w.lvFileName->topLevelItemCount(), 6);
  EXPECT_EQ(w.lvProgress->topLevelItemCount(), 5);
  // Escape answers Cancel only while Next is enabled.
  Fake.Answers = {IDNO};
  QTest::keyClick(&w, Qt::Key_Escape);
  EXPECT_TRUE(Fake.Messages.empty());
  w.btnPrev->click();
  QTest::keyClick(&w, Qt::Key_Escape);
  ASSERT_EQ(Fake.Messages.size(), 1u);
  EXPECT_TRUE(w.isVisible());
}

TEST_F(WizardTest, WindowMayGrowButNotShrinkAndItsListsGrowWithIt) {
  FillSource();
  TfrmMain w;
  w.show();
  PointAt(w);
  w.btnLast->click();
  const QSize list = w.lvProgress->size();
  const int nameColumn = w.lvProgress->columnWidth(0), statusColumn = w.lvProgress->columnWidth(1);
  w.resize(w.width() + 300, w.height() + 200);
  QApplication::processEvents();
  EXPECT_EQ(w.lvProgress->width(), list.width() + 300);
  EXPECT_EQ(w.lvProgress->height(), list.height() + 200);
  // The names and the statuses share the room.
  EXPECT_EQ(w.lvProgress->columnWidth(0) + w.lvProgress->columnWidth(1), nameColumn + statusColumn + 300);
  EXPECT_GT(w.lvProgress->columnWidth(1), statusColumn + 100);
  // The header pictures keep to the right edge.
  EXPECT_EQ(w.imgBackground->geometry().right(), w.pnlDescription->width() - 1);
  EXPECT_EQ(w.imgDescription->x() - w.imgBackground->x(), 86);
  w.resize(300, 200);
  QApplication::processEvents();
  EXPECT_GE(w.centralWidget()->width(), 540);
  EXPECT_GE(w.centralWidget()->height(), 504);
  // A long status ends in "..."; a double-click shows it in full.
  EXPECT_EQ(w.lvProgress->header()->sectionResizeMode(1), QHeaderView::Stretch);
  EXPECT_NE(w.lvProgress->itemDelegateForColumn(1), nullptr);
}

TEST_F(WizardTest, ListsShowNamesFromTheSourceFolderAndWholePathsInTooltips) {
  Scratch.Write("src/top.wk1");
  Scratch.Write("src/2024/q1/deep.wk1");
  Scratch.MakeDir("out");
  TfrmMain w;
  w.show();
  PointAt(w);
  w.chkSubFolders->setChecked(true);
  w.btnLast->click();
  ASSERT_EQ(w.lvFileName->topLevelItemCount(), 2);
  const QTreeWidgetItem* deep = w.lvFileName->topLevelItem(0);
  EXPECT_EQ(deep->text(0), "deep.wk1");
  EXPECT_EQ(deep->text(1), "2024/q1");
  EXPECT_EQ(Ansi(deep->toolTip(1)), Scratch.Path("src/2024/q1"));
  EXPECT_EQ(Ansi(deep->toolTip(0)), Scratch.Path("src/2024/q1/deep.wk1"));
  EXPECT_EQ(w.lvFileName->topLevelItem(1)->text(1), ".");
  ASSERT_EQ(w.lvProgress->topLevelItemCount(), 2);
  EXPECT_EQ(w.lvProgress->topLevelItem(0)->text(0), "2024/q1/deep.wk1");
  EXPECT_EQ(Ansi(w.lvProgress->topLevelItem(0)->toolTip(0)), Scratch.Path("src/2024/q1/deep.wk1"));
  EXPECT_EQ(w.lvProgress->topLevelItem(1)->text(0), "top.wk1");
  // The core keeps whole paths.
  EXPECT_EQ(w.Driver().WorkItems()[1].Caption, Scratch.Path("src/top.wk1"));
}

TEST_F(WizardTest, NextOnTheSourcePageSaysTheFolderIsMissingAndStays) {
  FillSource();
  TfrmMain w;
  w.show();
  PointAt(w);
  w.btnNext->click();
  ASSERT_EQ(w.CurrentPage(), 2);
  w.edSourceName->setText(QString::fromStdString(Scratch.Path("typo")));
  w.btnNext->click();
  EXPECT_EQ(w.CurrentPage(), 2);
  EXPECT_EQ(w.pcWizard->currentWidget(), w.tsSource);
  ASSERT_EQ(Fake.Messages.size(), 1u);
  EXPECT_EQ(Fake.Messages[0].Text, "The source directory \"" + Scratch.Path("typo") +
                                       "\" does not exist. Please choose an existing directory.");
  EXPECT_EQ(Fake.Messages[0].Flags & MB_ICONMASK, uint32_t(MB_ICONWARNING));
  w.btnLast->click();  // ">>" is Next repeated: the same
  EXPECT_EQ(w.CurrentPage(), 2);
  EXPECT_EQ(Fake.Messages.size(), 2u);
  w.edSourceName->clear();
  QTest::keyClick(&w, Qt::Key_Return);
  EXPECT_EQ(w.CurrentPage(), 2);
  ASSERT_EQ(Fake.Messages.size(), 3u);
  EXPECT_EQ(Fake.Messages[2].Text, "Please enter the source directory.");
  PointAt(w);
  w.btnNext->click();
  EXPECT_EQ(w.CurrentPage(), 3);
  EXPECT_EQ(Fake.Messages.size(), 3u);
}

TEST_F(WizardTest, MissingSourceDirectorySkipsThePageBothWays) {
  TScratch::WriteSettings("[General]\r\nSource=" + Scratch.Path("gone/") + "\r\n");
  TfrmMain w;
  w.show();
  EXPECT_EQ(Ansi(w.edSourceName->text()), Scratch.Path("gone/"));
  w.btnNext->click();
  EXPECT_EQ(w.CurrentPage(), 3);
  EXPECT_EQ(w.pcWizard->currentWidget(), w.tsDestination);
  EXPECT_EQ(w.lblCaption->text(), "Destination");
  w.btnPrev->click();
  EXPECT_EQ(w.CurrentPage(), 1);
  EXPECT_EQ(w.pcWizard->currentWidget(), w.tsInfo);
  // The File menu can still name the directory; then the page is there.
  Scratch.MakeDir("here");
  Fake.Folders = {Scratch.Path("here")};
  w.miFileSource->trigger();
  ASSERT_EQ(Fake.DialogTitles.size(), 1u);
  EXPECT_EQ(Fake.DialogTitles[0], "Select the folder");
  EXPECT_EQ(Ansi(w.edSourceName->text()), Scratch.Path("here"));
  w.btnNext->click();
  EXPECT_EQ(w.CurrentPage(), 2);
}

TEST_F(WizardTest, ClosingAsksUnlessTheWizardCompleted) {
  FillSource();
  {
    TfrmMain w;
    w.show();
    w.btnNext->click();
    w.btnNext->click();
    Fake.Answers = {IDNO};
    EXPECT_FALSE(w.close());
    EXPECT_TRUE(w.isVisible());
    ASSERT_EQ(Fake.Messages.size(), 1u);
    EXPECT_EQ(Fake.Messages[0].Text,
              "The wizard has not completed. If you quit the wizard now, the conversion will not complete. "
              "Do you want to quit the application?");
    EXPECT_EQ(Fake.Messages[0].Flags & MB_TYPEMASK, uint32_t(MB_YESNO));
    EXPECT_FALSE(FileExists(TScratch::Settings()));
    Fake.Answers = {IDYES};
    EXPECT_TRUE(w.close());
    EXPECT_TRUE(FileExists(TScratch::Settings()));  // saved also after Yes
  }
  Fake.Messages.clear();
  TFakeConvertWindow w;
  w.show();
  PointAt(w);
  w.btnLast->click();
  w.btnCancel->click();  // Execute
  EXPECT_TRUE(w.WizardCompleted());
  EXPECT_TRUE(w.close());
  ASSERT_EQ(Fake.Messages.size(), 1u);  // only the closing message: no question before quitting
  EXPECT_EQ(Closing(), "Document conversion finished.");
}

TEST_F(WizardTest, ForwardMovesRebuildTheListsAndTicksReachTheCore) {
  FillSource();
  Scratch.Write("src/book.XLS");
  TfrmMain w;
  w.show();
  PointAt(w);
  w.chkMSExcel->setChecked(false);
  w.btnLast->click();
  ASSERT_EQ(w.lvFileName->topLevelItemCount(), 7);
  // Sorted without regard to case; unaccepted names listed unticked.
  EXPECT_EQ(w.lvFileName->topLevelItem(5)->text(0), "book.XLS");
  EXPECT_EQ(w.lvFileName->topLevelItem(5)->checkState(0), Qt::Unchecked);
  EXPECT_EQ(w.lvFileName->topLevelItem(6)->text(0), "notes.txt");
  EXPECT_EQ(w.lvFileName->topLevelItem(0)->checkState(0), Qt::Checked);
  EXPECT_EQ(Ansi(w.lvFileName->topLevelItem(0)->toolTip(1)), Scratch.Path("src"));
  ASSERT_EQ(w.lvProgress->topLevelItemCount(), 5);
  EXPECT_EQ(Ansi(w.lvProgress->topLevelItem(0)->toolTip(0)), Scratch.Path("src") + "/a1.wk1");
  EXPECT_EQ(Ansi(w.lvProgress->topLevelItem(0)->text(3)), Scratch.Path("out") + "/a1.txt");
  EXPECT_EQ(w.lvProgress->topLevelItem(0)->text(1), "Waiting");

  w.btnPrev->click();  // back to 5: the ticks stay as they were
  w.lvFileName->topLevelItem(1)->setCheckState(0, Qt::Unchecked);
  EXPECT_FALSE(w.Driver().Candidates()[1].Checked);
  w.btnNext->click();
  EXPECT_EQ(w.lvProgress->topLevelItemCount(), 4);
  w.btnPrev->click();
  w.btnPrev->click();
  w.rgDestination->SetItemIndex(1);
  w.btnNext->click();  // onto 5 again: a fresh candidate list
  EXPECT_EQ(w.lvFileName->topLevelItem(1)->checkState(0), Qt::Checked);
  w.btnNext->click();
  ASSERT_EQ(w.lvProgress->topLevelItemCount(), 5);
  EXPECT_EQ(Ansi(w.lvProgress->topLevelItem(0)->text(3)), Scratch.Path("out") + "/a1.csv");
}

TEST_F(WizardTest, AFolderOrFilesGivenAtStartFillTheSourceAndTheTicks) {
  FillSource();
  Scratch.Write("src/deep/b.wk1");
  const auto canon = [](const std::string& p) { return std::filesystem::weakly_canonical(p).string(); };
  const struct {
    std::vector<std::string> Given;  // below the scratch folder
    std::string Folder;
    bool Subfolders;
    std::set<std::string> Ticked;  // "" for every accepted file
  } cases[] = {
      {{"src"}, "src", false, {}},
      {{"src/a2.wk1", "src/a4.wk1"}, "src", false, {"a2.wk1", "a4.wk1"}},
      {{"src/a1.wk1", "src/deep/b.wk1"}, "src", true, {"a1.wk1", "b.wk1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Given.back());
    TfrmMain w;
    std::vector<std::string> paths;
    for (const std::string& g : c.Given) paths.push_back(Scratch.Path(g));
    w.OpenWith(paths);
    w.show();
    EXPECT_EQ(w.CurrentPage(), 2);
    EXPECT_EQ(Ansi(w.edSourceName->text()), canon(Scratch.Path(c.Folder)));
    EXPECT_EQ(w.chkSubFolders->isChecked(), c.Subfolders);
    w.edDestinationName->setText(QString::fromStdString(Scratch.Path("out")));
    w.btnLast->click();
    std::set<std::string> ticked;
    for (int i = 0; i < w.lvFileName->topLevelItemCount(); ++i)
      if (w.lvFileName->topLevelItem(i)->checkState(0) == Qt::Checked) ticked.insert(Ansi(w.lvFileName->topLevelItem(i)->text(0)));
    if (c.Ticked.empty())
      EXPECT_EQ(ticked.size(), 5u + c.Subfolders);
    else
      EXPECT_EQ(ticked, c.Ticked);
  }
}

TEST_F(WizardTest, SelectionCommandsActOnEveryItemInTheCoreToo) {
  FillSource();
  TfrmMain w;
  w.show();
  PointAt(w);
  for (int i = 0; i < 4; ++i) w.btnNext->click();
  ASSERT_EQ(w.CurrentPage(), 5);
  ASSERT_EQ(w.GetFileListView(), w.lvFileName);
  auto ticks = [&] {
    std::string s;
    for (int i = 0; i < w.lvFileName->topLevelItemCount(); ++i) {
      const bool view = w.lvFileName->topLevelItem(i)->checkState(0) == Qt::Checked;
      EXPECT_EQ(view, w.Driver().Candidates()[size_t(i)].Checked) << i;
      s += view ? '1' : '0';
    }
    return s;
  };
  EXPECT_EQ(ticks(), "111110");
  w.lvFileName->topLevelItem(0)->setCheckState(0, Qt::Unchecked);
  w.miRevert->trigger();
  EXPECT_EQ(ticks(), "100001");
  w.miSelectAll->trigger();
  EXPECT_EQ(ticks(), "111111");
  w.miUnselectAll->trigger();
  EXPECT_EQ(ticks(), "000000");
  EXPECT_EQ(w.miSelectAll->text(), "&Select all");
  EXPECT_EQ(w.miRevert->toolTip(), "Revert selections for all items");
  w.btnNext->click();
  EXPECT_EQ(w.lvProgress->topLevelItemCount(), 0);
  w.btnCancel->click();
  ASSERT_FALSE(Fake.Shown.empty());
  EXPECT_EQ(Fake.Shown.back(), "No documents found in source directory.");
}

TEST_F(WizardTest, StopDuringTheThirdOfFiveLeavesTheRestWaiting) {
  FillSource();
  TFakeConvertWindow w;
  w.show();
  PointAt(w);
  w.btnLast->click();
  ASSERT_EQ(w.lvProgress->topLevelItemCount(), 5);
  int calls = 0;
  w.OnConvert = [&](const std::string&, const std::string&) {
    ++calls;
    EXPECT_TRUE(w.btnStop->isVisible());
    EXPECT_FALSE(w.btnCancel->isVisible());
    EXPECT_TRUE(w.pbProcess->isVisible());
    EXPECT_FALSE(w.btnPrev->isEnabled());  // no navigating away mid-run
    EXPECT_FALSE(w.miFileExecute->isEnabled());
    EXPECT_EQ(w.lvProgress->topLevelItem(calls - 1)->text(1), "In progress");
    if (calls == 3) QTest::mouseClick(w.btnStop, Qt::LeftButton);
  };
  w.btnCancel->click();
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(Statuses(w), (std::vector<std::string>{"Finished", "Finished", "Finished", "Waiting", "Waiting"}));
  EXPECT_TRUE(w.lvProgress->topLevelItem(3)->text(2).isEmpty());
  EXPECT_TRUE(w.lvProgress->topLevelItem(2)->text(2).endsWith(" msec"));
  ASSERT_FALSE(Fake.Shown.empty());
  EXPECT_EQ(Fake.Shown.back(), "Conversion canceled.");
  EXPECT_EQ(w.Created, 1);
  EXPECT_EQ(w.Freed, 1);
  EXPECT_FALSE(w.btnStop->isVisible());
  EXPECT_TRUE(w.btnCancel->isVisible() && w.btnCancel->isEnabled());
  EXPECT_FALSE(w.pbProcess->isVisible());
  EXPECT_TRUE(w.miFileExecute->isEnabled());
  EXPECT_TRUE(w.btnPrev->isEnabled());

  // File > Execute runs the rest; the bar steps once per item passed.
  w.ProgressSeen.clear();
  w.OnConvert = nullptr;
  w.miFileExecute->trigger();
  EXPECT_EQ(w.ProgressSeen, (std::vector<int>{300, 400}));  // hundredths of items
  EXPECT_EQ(w.pbProcess->maximum(), 500);
  EXPECT_EQ(w.pbProcess->value(), 500);
  EXPECT_EQ(Statuses(w), std::vector<std::string>(5, "Finished"));
  EXPECT_EQ(Closing(), "Document conversion finished.");
}

TEST_F(WizardTest, ErrorsShowInTheStatusAndTheClosingMessageCountsThem) {
  FillSource();
  TFakeConvertWindow w;
  w.show();
  PointAt(w);
  w.btnLast->click();
  w.OnConvert = [](const std::string& source, const std::string&) {
    if (source.ends_with("a2.wk1")) throw EReadError("broken record");
  };
  w.btnCancel->click();
  EXPECT_EQ(Statuses(w)[1], "Error broken record");
  EXPECT_EQ(Statuses(w)[2], "Finished");
  EXPECT_TRUE(w.lvProgress->topLevelItem(1)->text(2).isEmpty());
  EXPECT_FALSE(w.lvProgress->topLevelItem(1)->icon(0).isNull());
  // Not "finished" over a list of errors; the folder offered is opened.
  ASSERT_EQ(Fake.Messages.size(), 1u);
  EXPECT_EQ(Closing(), "Document conversion finished: 4 converted, 1 failed.");
  EXPECT_EQ(Fake.URLs.back(), "file://" + Ansi(w.edDestinationName->text()));
  // Execute again converts the checked files again, with one log header.
  w.OnConvert = nullptr;
  w.miFileExecute->trigger();
  EXPECT_EQ(Statuses(w)[1], "Finished");
  EXPECT_EQ(Closing(), "Document conversion finished.");
}

TEST_F(WizardTest, ProcessedFilesLogHasALinePerItemAfterTheHeader) {
  FillSource();
  Scratch.Write("out/a3.txt", "exists");
  TFakeConvertWindow w;
  w.show();
  PointAt(w);
  w.chkOverwrite->setChecked(false);
  w.chkLogProcessed->setChecked(true);
  w.edLogProcessed->setText(QString::fromStdString(Scratch.Path("run.log")));
  w.btnLast->click();
  w.OnConvert = [&](const std::string& source, const std::string& dest) {
    if (source.ends_with("a2.wk1")) throw EReadError("broken\trecord");
    w.Driver().NoteOutput(dest);
    if (source.ends_with("a4.wk1")) w.Driver().NoteOutput(Scratch.Path("out/a41.txt"));
    if (source.ends_with("a4.wk1")) w.btnStop->click();
  };
  w.btnCancel->click();
  EXPECT_EQ(Fake.Shown.back(), "Conversion canceled.");
  std::ifstream in(Scratch.Path("run.log"), std::ios::binary);
  const std::string log((std::istreambuf_iterator<char>(in)), {});
  const size_t body = log.find("\n\n");
  ASSERT_TRUE(log.starts_with("Varnowe ") && body != std::string::npos) << log;
  std::vector<std::string> lines;
  std::istringstream rest(log.substr(body + 2));
  for (std::string line; std::getline(rest, line);) lines.push_back(line);
  const std::string src = Scratch.Path("src/"), out = Scratch.Path("out/");
  ASSERT_EQ(lines.size(), 5u) << log;
  EXPECT_TRUE(lines[0].starts_with("Finished\t")) << lines[0];
  EXPECT_TRUE(lines[0].ends_with(" msec\t" + src + "a1.wk1\t" + out + "a1.txt\t")) << lines[0];
  EXPECT_EQ(lines[1], "Error\t\t" + src + "a2.wk1\t" + out + "a2.txt\tbroken\\trecord");
  EXPECT_EQ(lines[2], "Skipped\t\t" + src + "a3.wk1\t" + out + "a3.txt\t");
  EXPECT_TRUE(lines[3].ends_with("\t" + src + "a4.wk1\t" + out + "a4.txt; " + out + "a41.txt\t")) << lines[3];
  EXPECT_EQ(lines[4], "Waiting\t\t" + src + "a5.wk1\t" + out + "a5.txt\t");
}

TEST_F(WizardTest, ALogLostDuringTheRunDoesNotStopItButIsReported) {
  FillSource();
  TFakeConvertWindow w;
  w.show();
  PointAt(w);
  w.chkLogProcessed->setChecked(true);
  w.edLogProcessed->setText(QString::fromStdString(Scratch.Path("run.log")));
  w.btnLast->click();
  w.OnConvert = [&](const std::string& source, const std::string&) {
    if (!source.ends_with("a2.wk1")) return;
    // The log turns into a folder under our feet.
    std::filesystem::remove(Scratch.Path("run.log"));
    std::filesystem::create_directory(Scratch.Path("run.log"));
  };
  w.btnCancel->click();
  EXPECT_EQ(Statuses(w), std::vector<std::string>(5, "Finished"));
  ASSERT_EQ(Fake.Messages.size(), 2u);  // the closing message, then this
  EXPECT_TRUE(Fake.Messages[1].Text.starts_with("The list of processed files could not be written completely to \"" +
                                                Scratch.Path("run.log") + "\": "))
      << Fake.Messages[1].Text;
  EXPECT_EQ(Fake.Messages[1].Flags & MB_ICONMASK, uint32_t(MB_ICONWARNING));
}

TEST_F(WizardTest, UnwritableLogStopsTheRunBeforeAnyFileWithAMessage) {
  FillSource();
  TFakeConvertWindow w;
  w.show();
  PointAt(w);
  w.chkLogProcessed->setChecked(true);
  Scratch.Write("blocker");  // a file where the log's folder should be
  w.edLogProcessed->setText(QString::fromStdString(Scratch.Path("blocker/run.log")));
  w.btnLast->click();
  int calls = 0;
  w.OnConvert = [&](const std::string&, const std::string&) { ++calls; };
  w.btnCancel->click();
  EXPECT_EQ(calls, 0);
  ASSERT_FALSE(Fake.Messages.empty());
  EXPECT_NE(Fake.Messages.back().Flags & MB_ICONERROR, 0u);
  EXPECT_EQ(Statuses(w), std::vector<std::string>(5, "Waiting"));
  EXPECT_TRUE(w.btnCancel->isVisible() && w.btnCancel->isEnabled());
  EXPECT_FALSE(w.btnStop->isVisible());
}

TEST_F(WizardTest, AListThatCannotBeBuiltIsReportedNotThrownIntoQt) {
  FillSource();
  TfrmMain w;
  w.show();
  PointAt(w);
  w.edDestinationName->clear();  // no folder to create the outputs in
  w.btnLast->click();
  EXPECT_EQ(w.CurrentPage(), 6);
  ASSERT_EQ(Fake.Messages.size(), 1u);
  EXPECT_NE(Fake.Messages[0].Flags & MB_ICONERROR, 0u);
  EXPECT_TRUE(w.btnPrev->isEnabled());  // navigation is free again
}

TEST_F(WizardTest, ClosingDuringARunFinishesTheFileThenCloses) {
  FillSource();
  TFakeConvertWindow w;
  w.show();
  PointAt(w);
  w.btnLast->click();
  int calls = 0;
  w.OnConvert = [&](const std::string&, const std::string&) {
    if (++calls == 2) {
      EXPECT_FALSE(w.close());
    }
  };
  w.btnCancel->click();
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(Statuses(w)[2], "Waiting");
  EXPECT_EQ(w.Freed, 1);
  EXPECT_FALSE(w.isVisible());
  EXPECT_TRUE(Fake.Messages.empty());  // completed from the last page: no question
}

TEST_F(WizardTest, DialogsAndLinksGoThroughUiServices) {
  TfrmMain w;
  w.show();
  w.chkLogProcessed->setChecked(true);
  EXPECT_TRUE(w.edLogProcessed->isEnabled());
  EXPECT_TRUE(w.btnLogProcessed->isEnabled());
  Fake.SaveNames = {"/tmp/chosen.log"};
  w.btnLogProcessed->click();
  ASSERT_EQ(Fake.SaveFilters.size(), 1u);
  EXPECT_EQ(Fake.SaveFilters[0], "Log files (*.log)|*.log|All files (*.*)|*.*");
  EXPECT_EQ(w.edLogProcessed->text(), "/tmp/chosen.log");
  Fake.SaveNames = {""};  // cancelled: unchanged
  w.btnLogProcessed->click();
  EXPECT_EQ(w.edLogProcessed->text(), "/tmp/chosen.log");

  Fake.Folders = {"/tmp/dest"};
  w.btnDestinationName->click();
  EXPECT_EQ(w.edDestinationName->text(), "/tmp/dest");
  Fake.Folders = {""};
  w.miFileDestination->trigger();
  EXPECT_EQ(w.edDestinationName->text(), "/tmp/dest");

  w.miHelpMail->trigger();
  w.miHelpHomepage->trigger();
  QTest::mouseClick(w.lblProductURL, Qt::LeftButton);
  w.miHelpContents->trigger();  // the README beside the program, else the manual page
  ASSERT_EQ(Fake.URLs.size(), 4u);
  EXPECT_TRUE(Fake.URLs[3] == "man:varnowe(1)" || (Fake.URLs[3].starts_with("file:///") && Fake.URLs[3].ends_with("/README.md")))
      << Fake.URLs[3];
  Fake.URLs.pop_back();
  EXPECT_EQ(Fake.URLs, (std::vector<std::string>{"mailto:support@morvell.example?subject=Varnowe:%20support%20needed",
                                                  ProductWebAddress, ProductWebAddress}));
}

TEST_F(WizardTest, AboutBoxShowsProductAndOpensItsLinks) {
  TfrmAbout about;
  EXPECT_EQ(about.windowTitle(), "About Varnowe");
  EXPECT_EQ(about.size(), QSize(422, 296));
  EXPECT_EQ(about.lblLogo->text(), "Varnowe");
  EXPECT_EQ(about.lblLogoShadow->text(), "Varnowe");
  EXPECT_EQ(about.lblVersion->text(), "v1.8 (build 5.43)");
  EXPECT_EQ(about.lblHomepage->toolTip(), "Go to Morvell homepage");
  EXPECT_EQ(about.lblMail->toolTip(), "Send feedback by e-mail");
  EXPECT_EQ(about.btnOK->text(), "&OK");
  about.show();
  QTest::mouseClick(about.lblHomepage, Qt::LeftButton);
  QTest::mouseClick(about.lblMail, Qt::LeftButton);
  EXPECT_EQ(Fake.URLs, (std::vector<std::string>{CompanyWebAddress,
                                                  "mailto:support@morvell.example?subject=Varnowe:%20support%20needed"}));
  about.btnOK->click();
  EXPECT_EQ(about.result(), QDialog::Accepted);
}

TEST(GuiHelpers, LogoStripBandsRunFromTopToBottomColour) {
  TestApp();
  int r, g, b;
  LogoBandColor(0, r, g, b);
  EXPECT_EQ(QColor(r, g, b), QColor(233, 99, 0));
  LogoBandColor(255, r, g, b);
  EXPECT_EQ(QColor(r, g, b), QColor(255, 148, 0));
  LogoBandColor(127, r, g, b);
  EXPECT_EQ(QColor(r, g, b), QColor(244, 123, 0));
  // Painted: orange at the top, light orange at the bottom, grey lettering between.
  QImage strip(28, 256, QImage::Format_ARGB32);
  strip.fill(Qt::transparent);
  {
    QPainter p(&strip);
    PaintLogoStrip(p, strip.rect(), QStringLiteral(" VARNOWE"));
  }
  EXPECT_EQ(strip.pixelColor(0, 0), QColor(233, 99, 0));
  EXPECT_EQ(strip.pixelColor(27, 255), QColor(255, 148, 0));
  bool grey = false;
  for (int y = 0; y < 256 && !grey; ++y)
    for (int x = 0; x < 28 && !grey; ++x) grey = strip.pixelColor(x, y) == QColor(128, 128, 128);
  EXPECT_TRUE(grey);
  EXPECT_EQ(MailToLink("a@b.example", "x y  z"), "mailto:a@b.example?subject=x%20y%20%20z");
}

TEST_F(WizardTest, LotusDirectoryConvertsEndToEndByClicking) {
  const std::string corpus = std::string(VARNOWE_CORPUS_DIR) + "/lotus";
  if (!DirectoryExists(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
  if (!TSpreadsheetConversion::HasReader(rkLotus123)) GTEST_SKIP() << "the Lotus reader is not in yet";
  // The ones the extension table sends to the Lotus reader, one per name
  // (two sources may not write the same output).
  int copied = 0;
  Scratch.MakeDir("src");
  std::set<std::string> stems;
  for (const auto& e : std::filesystem::directory_iterator(corpus)) {
    const std::string ext = e.path().extension().string();
    if ((ext == ".wk1" || ext == ".wk3" || ext == ".wk4" || ext == ".123") && stems.insert(e.path().stem()).second) {
      std::filesystem::copy_file(e.path(), Scratch.Path("src/") + e.path().filename().string());
      ++copied;
    }
  }
  ASSERT_GT(copied, 3);
  Scratch.MakeDir("out");
  TfrmMain w;
  w.show();
  PointAt(w);
  w.rgDestination->SetItemIndex(1);
  w.btnLast->click();
  ASSERT_EQ(w.lvProgress->topLevelItemCount(), copied);
  w.btnCancel->click();
  for (int i = 0; i < copied; ++i) {
    const QTreeWidgetItem* item = w.lvProgress->topLevelItem(i);
    EXPECT_EQ(Ansi(item->text(1)), "Finished") << Ansi(item->text(0));
    EXPECT_TRUE(item->text(2).endsWith(" msec")) << Ansi(item->text(2));
    EXPECT_TRUE(FileExists(Ansi(item->text(3)))) << Ansi(item->text(3));
  }
  EXPECT_EQ(Closing(), "Document conversion finished.");
}

}  // namespace
