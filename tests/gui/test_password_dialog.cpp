// The window's password question: the dialog and its three answers, and a
// run that asks once per protected file until the user skips them all.
#include <gtest/gtest.h>

#include <QTimer>

#include "ConversionFrontEnd.h"
#include "CryptBuilder.h"
#include "FakeUi.h"
#include "GuiTestSupport.h"
#include "Main.h"
#include "PasswordDialog.h"
#include "TempDir.h"
#include "TestWorkbooks.h"

TEST(PasswordDialog, AsksForTheFileAndHidesWhatIsTyped) {
  TestApp();
  struct {
    const char* Button;
    TPasswordAnswer Answer;
  } cases[] = {{"btnOK", TPasswordAnswer::paOK},
               {"btnSkipFile", TPasswordAnswer::paSkipFile},
               {"btnSkipAll", TPasswordAnswer::paSkipAll}};
  for (const auto& c : cases) {
    TfrmPassword d("budget.xls");
    EXPECT_EQ(d.lblPassword->text(), "Password for budget.xls:");
    EXPECT_EQ(d.edPassword->echoMode(), QLineEdit::Password);
    QTimer::singleShot(0, &d, [&] {
      d.edPassword->setText("typed");
      d.findChild<QPushButton*>(c.Button)->click();
    });
    EXPECT_EQ(d.Ask(), c.Answer) << c.Button;
    EXPECT_EQ(d.Password(), "typed");
  }
}

namespace {
// The window with its conversion in reach.
class TWindow : public TfrmMain {
 public:
  using TfrmMain::Conversion;
};
}  // namespace

TEST(PasswordDialog, ARunAsksOncePerProtectedFileUntilAllAreSkipped) {
  TestApp();
  TTempDir dir;
  cryptbooks::TAgileWriter w;
  w.SpinCount = 10;
  for (const char* name : {"a.xlsx", "b.xlsx", "c.xlsx"})
    testbooks::WriteBytes(dir / name,
                          cryptbooks::Container(w.Streams("pw", testbooks::Xlsx({testbooks::XlsxRowCell("A1", "7")}))));
  TFakeUi ui;
  ui.PasswordAnswers = {{TPasswordAnswer::paOK, "pw"}, {TPasswordAnswer::paSkipAll, ""}};
  TWindow window;
  window.CreateConverters();
  TSpreadsheetConversion& c = window.Conversion();
  EXPECT_NO_THROW(c.ConvertFile(dir / "a.xlsx", dir / "a.csv", 1));
  EXPECT_NE(testbooks::ReadText(dir / "a.csv").find("7"), std::string::npos);
  for (const char* name : {"b.xlsx", "c.xlsx"})
    EXPECT_THROW(c.ConvertFile(dir / name, dir / "out.csv", 1), EQXIUnknownEncryptionException);
  EXPECT_EQ(ui.PasswordsAskedFor, (std::vector<std::string>{"a.xlsx", "b.xlsx"}));
  window.FreeConverters();
}
