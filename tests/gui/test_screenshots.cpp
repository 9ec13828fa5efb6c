// Renders the six pages (lists filled) and the About box to PNG files so the
// window can be looked at without a display, and checks the layout while at
// it: nothing clipped, nothing overlapping.
//   QT_QPA_PLATFORM=offscreen build/default/tests/gui_test_screenshots
// writes into $VARNOWE_SCREENSHOT_DIR, else build/default/screenshots/. Under
// Xvfb with QT_QPA_PLATFORM=xcb it adds *-screen.png, grabbed from the server.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStackedWidget>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <functional>

#include "About.h"
#include "Exception.h"
#include "FakeUi.h"
#include "GuiTestSupport.h"
#include "Main.h"

namespace {

constexpr int ScreenWidth = 1024, ScreenHeight = 768, TitleBar = 32, TaskBar = 40;

// Offscreen, the pictures are taken on a 1024 x 768 screen less a task bar
// (the platform's own default is 800 x 600). Set before the application starts.
const bool GSmallScreen = [] {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (!platform || std::string(platform) != "offscreen") return false;
  const std::string config = (std::filesystem::temp_directory_path() / "varnowe-offscreen-1024x768.json").string();
  std::ofstream(config) << "{\"screens\": [{\"name\": \"screen\", \"x\": 0, \"y\": 0, \"width\": " << ScreenWidth
                        << ", \"height\": " << ScreenHeight - TaskBar
                        << ", \"logicalDpi\": 96, \"logicalBase\": 96, \"dpr\": 1}]}\n";
  ::setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + config).c_str(), 1);
  return true;
}();

std::string ShotDir() {
  const char* env = std::getenv("VARNOWE_SCREENSHOT_DIR");
  std::string dir = env && *env ? env : std::string(VARNOWE_BINARY_DIR) + "/screenshots";
  std::filesystem::create_directories(dir);
  return dir + "/";
}

void Save(QWidget& w, const std::string& name) {
  const QPixmap shot = w.grab();
  ASSERT_FALSE(shot.isNull());
  ASSERT_TRUE(shot.save(QString::fromStdString(ShotDir() + name + ".png"))) << name;
  // On a real display (Xvfb) also what the X server shows of the window.
  if (QGuiApplication::platformName() == u"xcb" && w.isWindow() && w.screen()) {
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    QTest::qWait(100);
    const QRect g = w.geometry();
    const QPixmap screen = w.screen()->grabWindow(0, g.x(), g.y(), g.width(), g.height());
    ASSERT_TRUE(screen.save(QString::fromStdString(ShotDir() + name + "-screen.png"))) << name;
  }
}

// Decorations that overlap by design.
bool Decorative(const QWidget* w) {
  const QString n = w->objectName();
  return n == "imgBackground" || n == "imgDescription" || n == "lblLogoShadow" || n == "lblLogo";
}

// Every visible widget inside its parent, wide enough for its text, and not
// covering a visible sibling.
void CheckLayout(QWidget* root, const std::string& where) {
  for (QWidget* w : root->findChildren<QWidget*>()) {
    if (!w->isVisible() || !w->parentWidget() || w->isWindow()) continue;
    const std::string name = where + "/" + w->metaObject()->className() + ":" + w->objectName().toStdString();
    const QRect inParent = w->geometry();
    // Scroll area insides move by design.
    if (!qobject_cast<QAbstractScrollArea*>(w->parentWidget()->parentWidget())) {
      EXPECT_TRUE(w->parentWidget()->rect().contains(inParent)) << name << " sticks out of its parent";
    }
    if (auto* label = qobject_cast<QLabel*>(w); label && !label->text().isEmpty()) {
      if (label->wordWrap())
        EXPECT_LE(label->heightForWidth(label->width()), label->height()) << name << " text clipped";
      else
        EXPECT_LE(label->sizeHint().width(), label->width()) << name << " text clipped";
    }
    if (auto* button = qobject_cast<QAbstractButton*>(w)) {
      QString caption = button->text();
      caption.remove(u'&');
      const int room = qobject_cast<QPushButton*>(w) ? button->width() - 8 : button->width() - 20;
      EXPECT_LE(button->fontMetrics().horizontalAdvance(caption), room) << name << " caption clipped";
    }
    if (auto* box = qobject_cast<QGroupBox*>(w)) {
      EXPECT_LE(box->sizeHint().height(), box->height()) << name << " contents clipped";
    }
    if (Decorative(w)) continue;
    for (QObject* o : w->parentWidget()->children()) {
      auto* sibling = qobject_cast<QWidget*>(o);
      if (!sibling || sibling == w || !sibling->isVisible() || sibling->isWindow() || Decorative(sibling)) continue;
      EXPECT_FALSE(inParent.intersects(sibling->geometry()))
          << name << " overlaps " << sibling->objectName().toStdString();
    }
  }
}

// A window whose conversion is a callback, over a folder of sample names.
struct TShotWindow : TfrmMain {
  std::function<void(int)> OnConvert;
  int Calls = 0;
  void CreateConverters() override {}
  void FreeConverters() override {}
  void ConvertFile(const std::string&, const std::string&) override {
    if (OnConvert) OnConvert(++Calls);
  }
};

// Pages 1 to 5, checked and saved as <prefix>1-info.png ...; ends on page 6.
void ShootPagesOneToFive(TfrmMainBasic& w, const std::string& prefix) {
  const char* names[] = {"1-info", "2-source", "3-destination", "4-options", "5-filelist"};
  for (int page = 1; page <= 5; ++page) {
    ASSERT_EQ(w.CurrentPage(), page);
    CheckLayout(&w, prefix + names[page - 1]);
    Save(w, prefix + names[page - 1]);
    w.btnNext->click();
  }
}

void WriteSamples(const TScratch& scratch) {
  for (const char* n : {"budget-2024.xls", "customers.xlsx", "inventory.wk1", "ledger.123", "legacy.wq1",
                        "quarterly report.ods", "readme.txt", "sales-by-region.xlsm", "archive/2019/old-ledger.wk3",
                        "archive/2019/regional sales with a rather long name.xls"})
    scratch.Write(std::string("Documents/Spreadsheets/") + n);
  scratch.MakeDir("Documents/Converted");
}

TEST(Screenshots, EveryPageAndTheAboutBox) {
  TestApp();
  TScratch scratch;
  TFakeUi fake;
  WriteSamples(scratch);
  TShotWindow w;
  w.show();
  w.edSourceName->setText(QString::fromStdString(scratch.Path("Documents/Spreadsheets")));
  w.edDestinationName->setText(QString::fromStdString(scratch.Path("Documents/Converted")));
  w.chkLogProcessed->setChecked(true);
  w.edLogProcessed->setText(QString::fromStdString(scratch.Path("Documents/Converted/processed.log")));

  ASSERT_NO_FATAL_FAILURE(ShootPagesOneToFive(w, ""));
  ASSERT_EQ(w.CurrentPage(), 6);
  ASSERT_GT(w.lvProgress->topLevelItemCount(), 4);
  CheckLayout(&w, "6-summary");
  Save(w, "6-summary");
  // Mid-run: progress bar, Stop, one of each status image.
  w.OnConvert = [&](int call) {
    if (call == 2) throw EReadError("Unknown record 0x00FF at offset 512");
    if (call == 4) {
      CheckLayout(&w, "6-running");
      Save(w, "6-running");
      w.btnStop->click();
    }
  };
  w.btnCancel->click();
  CheckLayout(&w, "6-done");
  Save(w, "6-done");

  TfrmAbout about(&w);
  about.show();
  CheckLayout(&about, "about");
  Save(about, "about");
  fake.Answers = {IDYES};
  w.close();
}

// Page 4 as each kind of format shows it: every text option (CSV), the
// HTML ones, and for .xls, .xlsx and PDF the whole-workbook choice with the
// output files.
TEST(Screenshots, OptionsPageOfEachFormat) {
  TestApp();
  TScratch scratch;
  TFakeUi fake;
  TShotWindow w;
  w.show();
  w.chkSubFolders->setChecked(true);
  const struct {
    int Format;
    const char* Name;
    bool WholeWorkbook;
  } shots[] = {{1, "4-options-csv", false}, {2, "4-options-html", false}, {4, "4-options-xls", false},
               {4, "4-options-xls-workbook", true}, {5, "4-options-xlsx-workbook", true},
               {6, "4-options-pdf-workbook", true}};
  for (const auto& shot : shots) {
    w.GoToPage(3);
    w.rgDestination->SetItemIndex(shot.Format);
    (shot.WholeWorkbook ? w.rbWholeWorkbook : w.rbSheetFiles)->setChecked(true);
    w.GoToPage(4);
    ASSERT_EQ(w.CurrentPage(), 4);
    CheckLayout(&w, shot.Name);
    Save(w, shot.Name);
  }
  fake.Answers = {IDYES};
  w.close();
}

// With a 150 % font the window grows to fit its contents, and still fits a
// 1024 x 768 screen with a title bar and a task bar.
TEST(Screenshots, LargeFontFitsA1024By768Screen) {
  TestApp();
  TScratch scratch;
  TFakeUi fake;
  WriteSamples(scratch);
  const QFont normal = QApplication::font();
  QFont large = normal;
  if (normal.pointSizeF() > 0)
    large.setPointSizeF(normal.pointSizeF() * 1.5);
  else
    large.setPixelSize(normal.pixelSize() * 3 / 2);
  QApplication::setFont(large);
  struct TRestore {
    QFont Font;
    ~TRestore() { QApplication::setFont(Font); }
  } restore{normal};

  TShotWindow w;
  w.show();
  if (GSmallScreen) {
    EXPECT_EQ(w.screen()->availableGeometry().size(), QSize(ScreenWidth, ScreenHeight - TaskBar));
  }
  EXPECT_LE(w.width(), ScreenWidth);
  EXPECT_LE(w.height() + TitleBar + TaskBar, ScreenHeight);
  EXPECT_GE(w.centralWidget()->width(), TfrmMainBasic::ClientWidth);
  EXPECT_GE(w.centralWidget()->height(), TfrmMainBasic::ClientHeight);
  w.edSourceName->setText(QString::fromStdString(scratch.Path("Documents/Spreadsheets")));
  w.edDestinationName->setText(QString::fromStdString(scratch.Path("Documents/Converted")));
  w.chkSubFolders->setChecked(true);

  ASSERT_NO_FATAL_FAILURE(ShootPagesOneToFive(w, "150-"));
  w.OnConvert = [&](int call) {
    if (call == 3)
      throw EReadError("The file is truncated: the record at offset 48,211 of sheet \"Regional totals\" ends "
                       "before its declared length");
  };
  w.btnCancel->click();
  CheckLayout(&w, "150-6-done");
  Save(w, "150-6-done");

  // The window as it stands on such a screen.
  QImage screen(ScreenWidth, ScreenHeight, QImage::Format_RGB32);
  screen.fill(QColor(58, 110, 165));
  {
    QPainter p(&screen);
    const QPixmap shot = w.grab();
    const int top = (ScreenHeight - TaskBar - TitleBar - shot.height()) / 2 + TitleBar;
    const int left = (ScreenWidth - shot.width()) / 2;
    p.fillRect(0, ScreenHeight - TaskBar, ScreenWidth, TaskBar, QColor(40, 40, 48));
    p.fillRect(left, top - TitleBar, shot.width(), TitleBar, QColor(30, 60, 110));
    p.setPen(Qt::white);
    p.drawText(QRect(left + 10, top - TitleBar, shot.width() - 20, TitleBar), Qt::AlignVCenter, w.windowTitle());
    p.drawPixmap(left, top, shot);
  }
  ASSERT_TRUE(screen.save(QString::fromStdString(ShotDir() + "150-screen-1024x768.png")));
  fake.Answers = {IDYES};
  w.close();
}

}  // namespace
