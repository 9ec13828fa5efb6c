// The Qt answers to UiServices: message box buttons and results, and the
// Windows filter strings turned into Qt's.
#include <gtest/gtest.h>

#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "GuiTestSupport.h"
#include "QtUiServices.h"

namespace {

// Presses a button of the next message box once it is up.
int AnswerNextBox(TQtUiServices& ui, const std::string& text, uint32_t flags,
                  std::function<void(QMessageBox&)> press) {
  QTimer::singleShot(0, [press] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    press(*box);
  });
  return ui.MessageBox(text, "Varnowe", flags);
}

TEST(QtUiServices, MessageBoxButtonsMapToWindowsResults) {
  TestApp();
  TQtUiServices ui;
  EXPECT_EQ(AnswerNextBox(ui, "q", MB_YESNO | MB_ICONQUESTION,
                          [](QMessageBox& b) {
                            EXPECT_EQ(b.icon(), QMessageBox::Question);
                            EXPECT_EQ(b.defaultButton(), b.button(QMessageBox::Yes));
                            b.button(QMessageBox::No)->click();
                          }),
            IDNO);
  EXPECT_EQ(AnswerNextBox(ui, "q", MB_YESNO | MB_DEFBUTTON2,
                          [](QMessageBox& b) {
                            EXPECT_EQ(b.defaultButton(), b.button(QMessageBox::No));
                            b.defaultButton()->click();
                          }),
            IDNO);
  EXPECT_EQ(AnswerNextBox(ui, "q", MB_YESNOCANCEL, [](QMessageBox& b) { b.reject(); }), IDCANCEL);
  EXPECT_EQ(AnswerNextBox(ui, "q", MB_YESNO, [](QMessageBox& b) { b.reject(); }), IDNO);
  EXPECT_EQ(AnswerNextBox(ui, "e", MB_OK | MB_ICONERROR,
                          [](QMessageBox& b) {
                            EXPECT_EQ(b.icon(), QMessageBox::Critical);
                            EXPECT_EQ(b.text(), "e");
                            b.button(QMessageBox::Ok)->click();
                          }),
            IDOK);
}

TEST(QtUiServices, WindowsFiltersBecomeQtNameFilters) {
  EXPECT_EQ(QtNameFilters("Log files (*.log)|*.log|All files (*.*)|*.*"), "Log files (*.log);;All files (*)");
  EXPECT_EQ(QtNameFilters("Sheets|*.xls;*.xlsx"), "Sheets (*.xls *.xlsx)");
  EXPECT_EQ(QtNameFilters(""), "");
}

}  // namespace
