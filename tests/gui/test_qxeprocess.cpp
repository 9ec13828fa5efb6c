// The export progress window: its controls, Cancel and closing, waiting for
// OK at the end, and an export that drives it through the Qt UiServices.
#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <filesystem>

#include "GuiTestSupport.h"
#include "QXE2Cell.h"
#include "QXEEngQXI.h"
#include "QXEProcess.h"
#include "QtUiServices.h"

namespace {

// Looks for the progress window while the rows are written.
class TExportProbe : public TQXExportToCellFile {
 public:
  bool SawWindow = false;

 protected:
  void WriteCell(TQXEField* f, TCellType t, int32_t r, int32_t c, const std::string& text, TAlignment a,
                 const TQXEFont& font, TColor color) override {
    TQXExportToCellFile::WriteCell(f, t, r, c, text, a, font, color);
    for (QWidget* w : QApplication::topLevelWidgets())
      if (qobject_cast<QDialog*>(w) && w->objectName() == "frmQXEProcess" && w->isVisible()) SawWindow = true;
  }
};

TEST(ExportProgress, ControlsAndCancel) {
  TestApp();
  QWidget owner;
  TfrmQXEProcess w(&owner);
  EXPECT_EQ(w.size(), QSize(442, 87));
  // A dialog of the application's window: above it, not above other applications.
  EXPECT_FALSE(w.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(w.isWindow());
  EXPECT_EQ(w.parentWidget(), &owner);
  ASSERT_NE(w.findChild<QPushButton*>("btnCancel"), nullptr);
  ASSERT_NE(w.findChild<QLabel*>("lblStatus"), nullptr);
  ASSERT_NE(w.findChild<QProgressBar*>("ProgressBar"), nullptr);
  w.SetCaption("QXExport 4.99");
  w.SetStatus("Exporting...");
  w.SetButtonCaption("&Cancel");
  w.SetRange(0, 0);
  EXPECT_TRUE(w.ProgressBar->isHidden());
  w.SetRange(0, 50);
  w.SetPosition(20);
  w.StartAnimation();
  w.Show();
  EXPECT_EQ(w.windowTitle(), "QXExport 4.99");
  EXPECT_EQ(w.Max(), 50);
  EXPECT_EQ(w.Position(), 20);
  EXPECT_FALSE(w.ProgressBar->isHidden());
  EXPECT_TRUE(w.Animation->Playing());
  EXPECT_FALSE(w.CancelRequested());
  w.btnCancel->click();
  EXPECT_TRUE(w.CancelRequested());
  w.StopAnimation();
  EXPECT_EQ(w.Animation->Frame(), TQXECopyAnimation::StopFrame);

  TfrmQXEProcess closed;
  closed.Show();
  closed.close();
  EXPECT_TRUE(closed.CancelRequested());
}

TEST(ExportProgress, WaitsForOkWithoutCancelling) {
  TestApp();
  TfrmQXEProcess w;
  w.Show();
  w.SetButtonCaption("&OK");
  QTimer::singleShot(20, [&] { w.btnCancel->click(); });
  w.WaitForButton();
  EXPECT_FALSE(w.CancelRequested());
}

TEST(ExportProgress, AnExportOpensAndClosesIt) {
  TestApp();
  TQtUiServices ui;
  SetUiServices(&ui);
  auto window = ui.CreateProgressWindow();
  EXPECT_NE(dynamic_cast<TfrmQXEProcess*>(window.get()), nullptr);
  window.reset();

  TSpreadSheet sheet;
  for (int r = 0; r < 50; ++r) sheet.Cells.SetCell(0, r, ictInteger, 0, taLeftJustify, TVariant(int64_t(r)));
  TQXESpreadsheetDataEngine engine;
  engine.SetSpreadSheet(&sheet);
  TExportProbe probe;
  probe.SetOption(soShowMessage, false);
  probe.ColumnSource = csDataEngine;
  probe.SetDataEngine(&engine);
  probe.FileName = (std::filesystem::temp_directory_path() / "varnowe-progress-probe.txt").string();
  probe.Execute();
  SetUiServices(nullptr);
  EXPECT_EQ(probe.Statistic.Result, erCompleted);
  EXPECT_TRUE(probe.SawWindow);
  std::filesystem::remove(probe.FileName);
}

}  // namespace
