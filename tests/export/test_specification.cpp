// Specification files: what is written, that a load gives the same settings
// back, and how a load treats keys that are missing or damaged.
#include <gtest/gtest.h>

#include "ExportTestSupport.h"
#include "QXE2PDF.h"
#include "QXE2XLS.h"
#include "TempDir.h"

namespace {

std::string Save(TQXExportBaseComponent& c, const std::string& name = "spec") {
  TMemoryStream s;
  c.SaveSpecification(s, name);
  return std::string(s.Bytes().begin(), s.Bytes().end());
}

void Load(TQXExportBaseComponent& c, const std::string& text) {
  TCustomMemoryStream s(text.data(), int64_t(text.size()));
  c.LoadSpecificationFromStream(s);
}

void Configure(TQXExportToXLS& a) {
  a.AddTitle = true;
  a.BlankIfZero = true;
  a.FileName = "/data/out file.xls";
  a.TableName = "T1";
  a.CharacterSet = csUTF8;
  a.Options = TQXOptions(a.Options | OptionBit(soColorsFonts));
  a.ExportIfEmpty = false;
  a.RowsPerFile = 12;
  a.ActionAfterExport = aeOpenView;
  a.ExportStyle.SetStyle(esMaple);
  a.Layout = elReversedColumnar;
  a.PageSetup.Measure = emCentimeters;
  a.PageSetup.UseDefault = false;
  a.PageSetup.TopMargin = 1.5f;
  a.PageSetup.LeftMargin = 0.25f;
  a.PageSetup.TableWidth = 18;
  a.PageSetup.Orientation = emLandscape;
  a.SendTo.EMailRecipient = "a@b.example; c@d.example";
  a.SendTo.EMailSubject = "Sheet";
  a.SendTo.EMailOpenBeforeSend = false;
  TQXEColumn* c = a.Columns.Add();
  c->FieldName = "Field0";
  c->Title.Caption = "Name, first";
  c->Alignment = taCenter;
  c->Color = 0x123456;
  c->Font.Name = "Times, Roman";
  c->Font.Size = 12;
  c->Font.Style = fsBold | fsItalic;
  c->Width = 17;
  TQXEColumn* hidden = a.Columns.Add();
  hidden->FieldName = "Field1";
  hidden->Visible = false;
  a.Header = {"Top line", "second = line"};
  a.Footer = {"bottom"};
  a.FieldDelimiter = ';';
  a.TextQualifier = '"';
  a.RecordSeparator = "\n";
  a.FixedWidth = true;
  a.AutoFitColumns = true;
  a.RowFirst = 2;
  a.RowLast = 9;
  a.DataFormats.DateOrder = doYMD;
  a.DataFormats.DateSeparator = '-';
  a.DataFormats.DecimalSeparator = ',';
  a.DataFormats.ThousandSeparator = '.';
  a.DataFormats.CurrencyString = "EUR";
  a.DataFormats.FourDigitYear = false;
  a.DataFormats.CustomDateTimeFormat = "yyyy-mm-dd";
  a.DataFormats.BooleanTrue = "yes";
  a.DataFormats.BooleanFalse = "no";
  a.DataFormats.UseRegionalSettings = true;
}

TEST(Specification, WritesTheKnownKeys) {
  TQXExportToXLS a;
  Configure(a);
  const std::string text = Save(a, "Monthly");
  for (const char* expected :
       {"[Common]\r\n", "Description=QXExport: specification\r\n", "Specification=Monthly\r\n", "TableType=XLS\r\n",
        "SourceFileName=/data/out file.xls\r\n", "Options=" /* number */, "RowsPerFile=12\r\n",
        "[ExportStyle]\r\nStyle=7\r\n", "[PageSetup]\r\nMeasure=2\r\nUseDefault=0\r\nTopMargin=1.5\r\n",
        "[Mappings]\r\nCount=2\r\nMap0=Name, first = Field0\r\nMap1= = Field1\r\n",
        "[COLUMNS]\r\nCol0=2,1193046,Times, Roman,1,", "Width0=17\r\n", "[Header]\r\nCount=2\r\nHeader0=Top line\r\n",
        "Header1=second = line\r\n", "[Footer]\r\nCount=1\r\nFooter0=bottom\r\n",
        "[Text]\r\nFieldDelimiter=3B\r\nTextQualifier=22\r\nRecordSeparator=0A\r\nFixed=1\r\n",
        "[DataFormat]\r\nDateOrder=2\r\nDateSeparator=-\r\n", "BooleanTrue=yes\r\n", "UseRegionalSettings=1\r\n"})
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
}

TEST(Specification, RoundTripGivesTheSameSettings) {
  TQXExportToXLS a, b;
  Configure(a);
  const std::string first = Save(a);
  Load(b, first);
  EXPECT_EQ(Save(b), first);
  EXPECT_EQ(b.Columns.Count(), 2);
  EXPECT_EQ(b.Columns[0]->Title.Caption, "Name, first");
  EXPECT_EQ(b.Columns[0]->Font.Name, "Times, Roman");
  EXPECT_EQ(b.Columns[0]->Font.Style, fsBold | fsItalic);
  // A mapped column without a title is a hidden one named after its field.
  EXPECT_FALSE(b.Columns[1]->Visible);
  EXPECT_EQ(b.Columns[1]->Title.Caption, "Field1");
  EXPECT_EQ(b.Header, a.Header);
  EXPECT_EQ(b.PageSetup.TopMargin, 1.5f);
  EXPECT_EQ(b.ExportStyle.Style(), esMaple);
  EXPECT_EQ(b.RecordSeparator, "\n");

  TQXExportToXLS c;
  a.CopySpecificationTo(c, "copy");
  EXPECT_EQ(Save(c), first);
}

TEST(Specification, MissingKeysKeepNumbersAndClearTextAndFlags) {
  TQXExportToXLS a;
  Configure(a);
  Load(a,
       "[Common]\nRowsPerFile=oops\nTopMargin= 2,5 \nMap3=Shown = Field3\nMap149=Late = Field9\nMap200=Gone = F\n"
       "Header0=only\nHeader2=skipped\nLayout=9\nOptions=65535\n");
  EXPECT_EQ(a.RowsPerFile, 12);              // a number that does not parse keeps its value
  EXPECT_EQ(a.PageSetup.TopMargin, 2.5f);    // margins take either separator
  EXPECT_EQ(a.Layout, elReversedColumnar);   // out of range: kept
  EXPECT_EQ(a.Options, (1u << 14) - 1);      // only the defined options
  EXPECT_EQ(a.TableName, "");
  EXPECT_FALSE(a.AddTitle);
  EXPECT_EQ(a.DataFormats.BooleanTrue, "");
  EXPECT_EQ(a.Header, (std::vector<std::string>{"only"}));
  ASSERT_EQ(a.Columns.Count(), 2);  // gaps are skipped up to 150, then reading stops
  EXPECT_EQ(a.Columns[0]->FieldName, "Field3");
  EXPECT_EQ(a.Columns[1]->Title.Caption, "Late");
  EXPECT_EQ(a.DataFormats.DateSeparator, '-');  // a separator never becomes empty
}

TEST(Specification, FilesRelativeToTheSpecificationFolder) {
  TTempDir tmp;
  TQXExportToXLS a, b;
  Configure(a);
  a.SetSpecificationDir(tmp.Path());
  std::vector<std::string> names;
  a.OnBeforeSaveSpecification = [&](auto*, std::string& n) { names.push_back(n); };
  a.SaveSpecificationToFile("one.spec", "one");
  b.SetSpecificationDir(tmp.Path());
  b.OnAfterLoadSpecification = [&](auto*, std::string& n) { names.push_back(n); };
  b.LoadSpecificationFromFile("one.spec");
  EXPECT_EQ(names, (std::vector<std::string>{tmp / "one.spec", tmp / "one.spec"}));
  EXPECT_EQ(b.RowsPerFile, 12);
  EXPECT_THROW(b.LoadSpecificationFromFile("missing.spec"), Exception);
}

TEST(Specification, EmptyHeaderAndFooterLinesSurviveARoundTrip) {
  TQXExportToXLS a, b;
  a.Header = {"Report", "", "after the gap", ""};
  a.Footer = {"", "page end"};
  Load(b, Save(a));
  EXPECT_EQ(b.Header, a.Header);
  EXPECT_EQ(b.Footer, a.Footer);
}

TEST(Specification, PdfSettingsAndLoadingOverSettings) {
  TQXExportToPDF a, b;
  a.ViewerPreferences = ViewerPreferenceBit(evpHideToolBar) | ViewerPreferenceBit(evpFitWindow);
  a.PageLayout = eplTwoColumnLeft;
  a.FontDecode = fdFlate;
  a.CompressionMethod = cmMaxCompress;
  const std::string text = Save(a);
  EXPECT_NE(text.find("[PDF]\r\nViewerPreferences=9\r\nPageLayout=3\r\nCompressionMethod=2\r\nFontDecode=4\r\n"),
            std::string::npos) << text;
  Load(b, text);
  EXPECT_EQ(Save(b), text);
  // Merged lines set what they name; everything else keeps its value.
  TQXExportToPDF c;
  c.Footer = {"kept"};
  c.DataFormats.BooleanTrue = "Yes";
  c.MergeSpecification({"[Header]", "Header0=Top", "[PDF]", "PageLayout=1"});
  EXPECT_EQ(c.Header, std::vector<std::string>{"Top"});
  EXPECT_EQ(c.Footer, std::vector<std::string>{"kept"});
  EXPECT_EQ(c.DataFormats.BooleanTrue, "Yes");
  EXPECT_EQ(c.PageLayout, eplSinglePage);
  EXPECT_TRUE(c.ExportIfEmpty);
}

TEST(Specification, ACheckNamesTheLineOfEveryFault) {
  TQXExportToPDF a;
  a.Header = {"a", ""};
  EXPECT_NO_THROW(CheckSpecification(Save(a), "saved.spec"));  // what the family writes passes
  EXPECT_EQ(CheckSpecification("; mine\n\n[pdf]\r\nViewerPreferences=31\n[Header]\nHeader0=x\n", "s").size(), 7u);
  const std::pair<const char*, const char*> bad[] = {
      {"[Common]\nAddTitle=yes\n", "\"s\" line 2: AddTitle must be 0 or 1, not \"yes\"."},
      {"Optoins=1\n", "\"s\" line 1: \"Optoins\" is not a setting of export specification files."},
      {"[Common]\n\nOptions=70000", "line 3: Options must be a whole number from 0 to 16383"},
      {"[Commn]\n", "line 1: unknown section [Commn]; the sections are [Common], "},
      {"[Header]\nHeader0=a\nHeader0=b\n", "line 3: Header0 is set twice (first on line 2)."},
      {"[Common]\nplain words\n", "line 2: \"plain words\" is neither a section"},
      {"TopMargin=wide\n", "line 1: TopMargin must be a number"},
      {"TableType=Paper\n", "line 1: TableType names no table type"},
      {"Col0=2,3\n", "line 1: Col0 must be \"alignment,colour,font name,charset,font colour,size,style\""},
      {"FieldDelimiter=3\n", "line 1: FieldDelimiter must be hexadecimal character codes"},
      {"DateSeparator=ab\n", "line 1: DateSeparator must be one character"},
      {"HeaderX=1\n", "\"HeaderX\" is not a setting"},
      {"[Common\n", "line 1: a section line must end with \"]\""},
      {"; nothing\n\n", "\"s\" holds no export settings."},
  };
  for (const auto& [text, message] : bad) {
    try {
      CheckSpecification(text, "s");
      ADD_FAILURE() << "accepted: " << text;
    } catch (const EQXESpecificationError& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(CheckSpecification(std::string("Header0=a\0b\n", 12), "s"), EQXESpecificationError);
  TTempDir tmp;
  EXPECT_THROW(ReadSpecificationFile(tmp / "missing.spec"), Exception);
}

}  // namespace
