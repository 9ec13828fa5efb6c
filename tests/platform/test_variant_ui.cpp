#include <gtest/gtest.h>

#include "CodePage.h"
#include "DateTime.h"
#include "FakeUi.h"
#include "UiServices.h"
#include "Variant.h"

TEST(Variant, DefaultTextForm) {
  TFormatSettings us = TFormatSettings::UnitedStates();
  TFormatSettings de = us;
  de.DecimalSeparator = ',';
  EXPECT_EQ(VarToStr(TVariant(), us), "");
  EXPECT_EQ(VarToStr(TVariant::Null(), us), "");
  EXPECT_EQ(VarToStr(TVariant("text"), us), "text");
  EXPECT_EQ(VarToStr(TVariant(int64_t(-12345678901)), us), "-12345678901");
  EXPECT_EQ(VarToStr(TVariant(1.5), us), "1.5");
  EXPECT_EQ(VarToStr(TVariant(1.5), de), "1,5");
  EXPECT_EQ(VarToStr(TVariant(1e20), us), "1E20");
  EXPECT_EQ(VarToStr(TVariant(true), us), "True");
  EXPECT_EQ(VarToStr(TVariant(false), us), "False");
  EXPECT_EQ(VarToStr(TVariant::DateTime(EncodeDate(2024, 3, 5)), us), "3/5/2024");
  EXPECT_EQ(VarToStr(TVariant::DateTime(EncodeDate(2024, 3, 5) + 0.75), us), "3/5/2024 6:00:00 PM");
  SetACPOverride(1252);
  EXPECT_EQ(VarToStr(TVariant(std::u16string(u"café€Ж")), us), "caf\xE9\x80?");
  SetACPOverride(0);
  EXPECT_EQ(VarToWideStr(TVariant(std::string("café")), us), u"café");

  EXPECT_EQ(TVariant(int32_t(3)).ToDouble(), 3);
  EXPECT_EQ(TVariant(true).ToDouble(), 1);
  EXPECT_EQ(TVariant::DateTime(2.5).ToDouble(), 2.5);
  EXPECT_EQ(TVariant("7").ToDouble(), 0);
  EXPECT_FALSE(TVariant() == TVariant::Null());
  EXPECT_FALSE(TVariant("") == TVariant());
  EXPECT_FALSE(TVariant(2.0) == TVariant::DateTime(2.0));
}

TEST(UiServices, SilentDefaultAnswersTheDefaultButton) {
  TUiServices& ui = Ui();
  EXPECT_EQ(ui.MessageBox("t", "c", MB_OK | MB_ICONERROR), IDOK);
  EXPECT_EQ(ui.MessageBox("t", "c", MB_YESNO | MB_ICONQUESTION), IDYES);
  EXPECT_EQ(ui.MessageBox("t", "c", MB_YESNO | MB_DEFBUTTON2), IDNO);
  EXPECT_EQ(ui.MessageBox("t", "c", MB_YESNOCANCEL | MB_DEFBUTTON3), IDCANCEL);
  EXPECT_EQ(ui.MessageBox("t", "c", MB_OKCANCEL | MB_DEFBUTTON2), IDCANCEL);
  std::string folder = "/keep";
  EXPECT_FALSE(ui.BrowseForFolder("Select the folder", folder));
  EXPECT_EQ(folder, "/keep");
  EXPECT_FALSE(ui.SaveFileDialog("t", "Log files (*.log)|*.log", "log", folder));
  EXPECT_FALSE(ui.OpenURL("https://example.invalid/"));
}

TEST(UiServices, FakeRecordsAndIsRemovedAfterwards) {
  {
    TFakeUi fake;
    fake.Answers = {IDNO};
    fake.Folders = {"/picked"};
    EXPECT_EQ(&Ui(), &fake);
    EXPECT_EQ(Ui().MessageBox("Quit?", "Varnowe", MB_YESNO), IDNO);
    EXPECT_EQ(Ui().MessageBox("Again?", "Varnowe", MB_YESNO), IDYES);
    std::string f;
    EXPECT_TRUE(Ui().BrowseForFolder("Select the folder", f));
    EXPECT_EQ(f, "/picked");
    Ui().ShowMessage("done");
    Ui().ProcessMessages();
    ASSERT_EQ(fake.Messages.size(), 2u);
    EXPECT_EQ(fake.Messages[0].Text, "Quit?");
    EXPECT_EQ(fake.Shown, std::vector<std::string>({"done"}));
    EXPECT_EQ(fake.ProcessMessagesCalls, 1);
  }
  TFakeUi* none = nullptr;
  EXPECT_NE(&Ui(), static_cast<TUiServices*>(none));
  EXPECT_EQ(Ui().MessageBox("t", "c", MB_OK), IDOK);
}
