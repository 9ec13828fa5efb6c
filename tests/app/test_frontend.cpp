// The conversion front end: which files are accepted, which reader gets
// them (by extension, else by content), per-sheet output names, and the
// errors for formats that have no reader or writer yet.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include <unistd.h>

#include "CodePage.h"
#include "ConversionFrontEnd.h"
#include "FakeUi.h"
#include "Exception.h"
#include "FormatSettings.h"
#include "QXWKS.h"
#include "ReaderSniffing.h"
#include "Streams.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes U16(uint16_t v) { return {uint8_t(v), uint8_t(v >> 8)}; }
Bytes U32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

// The local header of a stored zip entry followed by its data.
Bytes ZipEntry(const std::string& name, const std::string& data) {
  return Concat({Text("PK\x03\x04"), U16(20), U16(0), U16(0), U16(0), U16(0), U32(0), U32(uint32_t(data.size())),
                 U32(uint32_t(data.size())), U16(uint16_t(name.size())), U16(0), Text(name), Text(data)});
}

const Bytes CompoundFile = Concat({{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1}, Bytes(504, 0)});
const Bytes Biff8Bof = Concat({U16(0x0809), U16(16), U16(0x0600), U16(0x0005), Bytes(12, 0)});
const Bytes Biff2Bof = Concat({U16(0x0009), U16(4), U16(2), U16(0x10)});
const Bytes Wk1Bof = Concat({U16(0), U16(2), U16(0x0406)});
const Bytes WksBof = Concat({U16(0), U16(2), U16(0x0404)});
const Bytes WorksBof = Concat({U16(0xFF), U16(2), U16(0x0404)});  // Works, not Lotus
const Bytes Wk4Bof = Concat({U16(0), U16(26), U16(0x1002), Bytes(24, 0)});
const Bytes Wb2Bof = Concat({U16(0), U16(2), U16(0x1002)});
const Bytes Wq1Bof = Concat({U16(0), U16(2), U16(0x5120)});
const Bytes OdsZip = ZipEntry("mimetype", "application/vnd.oasis.opendocument.spreadsheet");
const Bytes OdtZip = ZipEntry("mimetype", "application/vnd.oasis.opendocument.text");
const Bytes XlsxZip = ZipEntry("[Content_Types].xml", "<Types/>");

TReaderKind Sniff(const Bytes& b) { return SniffReaderKind(b.data(), b.size()); }

// A WK1 sheet: a centred label, an integer, and an end record.
Bytes TinyWk1() {
  auto cell = [](uint16_t op, uint16_t col, uint16_t row, const Bytes& payload) {
    Bytes data = Concat({{0xFF}, U16(col), U16(row), payload});
    return Concat({U16(op), U16(uint16_t(data.size())), data});
  };
  return Concat({Wk1Bof, cell(0x0F, 0, 0, Concat({Text("^Total"), {0}})), cell(0x0D, 1, 0, U16(0xFFFF)),
                 U16(0x01), U16(0)});
}

class FrontEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetACPOverride(CP_UTF8);
    SetDefaultFormatSettings(TFormatSettings::UnitedStates());
    FDir = fs::temp_directory_path() / ("varnowe_fe_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(FDir);
    fs::create_directories(FDir);
  }
  void TearDown() override {
    fs::remove_all(FDir);
    SetACPOverride(0);
  }
  std::string File(const std::string& name, const Bytes& content) {
    std::string path = (FDir / name).string();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(content.data()),
                                                std::streamsize(content.size()));
    return path;
  }
  std::string Path(const std::string& name) const { return (FDir / name).string(); }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static std::string ErrorOf(TSpreadsheetConversion& c, const std::string& src, const std::string& dst, int index) {
    try {
      c.ConvertFile(src, dst, index);
    } catch (const Exception& e) {
      return e.Message();
    }
    return "(no error)";
  }
  fs::path FDir;
};

TEST(FrontEndAccept, FamiliesAndTheirMasks) {
  TSpreadsheetConversion c;
  for (const char* name : {"a.xls", "A.XLS", "a.xlsx", "a.xls.bak", "a.xlw", "a.xlt", "a.xltm", "a.xla", "a.xlam",
                           "a.wk1", "a.wks", "a.wke", "a.123", "a.wr1", "a.wq1", "a.wq!", "a.wkq", "a.wb1", "a.wb2", "a.wb3", "a.qpw",
                           "a.ods", "/data/sub/r.WK3"})
    EXPECT_TRUE(c.IsFileAccepted(name)) << name;
  for (const char* name : {"a.txt", "a.csv", "xls", "a.wb4", "a.od", "a.odsx", "/data.xls/readme"})
    EXPECT_FALSE(c.IsFileAccepted(name)) << name;

  c.chkMSExcel = c.chkQuattroPro = c.chkOpenOffice = false;  // only Lotus
  for (const char* name : {"a.wk1", "a.123", "a.wr1"}) EXPECT_TRUE(c.IsFileAccepted(name)) << name;
  for (const char* name : {"a.xls", "a.qpw", "a.ods"}) EXPECT_FALSE(c.IsFileAccepted(name)) << name;
  c.chkLotus = false;
  EXPECT_FALSE(c.IsFileAccepted("a.wk1"));
}

TEST(FrontEndAccept, CaptionsAndDestinationTable) {
  EXPECT_STREQ(QuattroProCaption, "Quattro Pro (*.wq?, *.wkq, *.wb3, *.qpw)");
  TSpreadsheetConversion c;
  const char* exts[] = {".txt", ".csv", ".htm", ".xml", ".xls", ".xlsx", ".pdf"};
  for (int i = 0; i < DestinationFormatCount; ++i) EXPECT_EQ(c.GetDestinationExt(i), exts[i]);
  EXPECT_EQ(c.GetDestinationExt(-1), "");
  EXPECT_EQ(c.GetDestinationExt(7), "");
  EXPECT_STREQ(DestinationFormats[4].ItemText, "MS Excel 95/97 (*.xls)");
}

TEST(ReaderChoice, ByExtensionWithoutRegardToCase) {
  EXPECT_EQ(ReaderKindByExtension(".XLS"), rkMSExcel);
  EXPECT_EQ(ReaderKindByExtension(".XLW"), rkMSExcel);
  EXPECT_EQ(ReaderKindByExtension(".XLSB"), rkMSExcelX);
  EXPECT_EQ(ReaderKindByExtension(".XLAM"), rkMSExcelX);
  EXPECT_EQ(ReaderKindByExtension(".123"), rkLotus123);
  EXPECT_EQ(ReaderKindByExtension(".WQ!"), rkQuattroPro);
  EXPECT_EQ(ReaderKindByExtension(".ODS"), rkOpenOffice);
  for (const char* ext : {".XLT", ".XLA", ".WKS", ".WKE", "", ".xls"}) EXPECT_EQ(ReaderKindByExtension(ext), rkNone);
  // Content is not consulted for a known extension, so no file is needed.
  EXPECT_EQ(TSpreadsheetConversion::ChooseReader("/nowhere/a.Xls"), rkMSExcel);
  EXPECT_EQ(TSpreadsheetConversion::ChooseReader("/nowhere/a.wk4"), rkLotus123);
}

TEST(ReaderChoice, ByContent) {
  EXPECT_EQ(Sniff(CompoundFile), rkMSExcel);
  EXPECT_EQ(Sniff(Biff8Bof), rkMSExcel);
  EXPECT_EQ(Sniff(Biff2Bof), rkMSExcel);
  EXPECT_EQ(Sniff(Wk1Bof), rkLotus123);
  EXPECT_EQ(Sniff(WksBof), rkLotus123);
  EXPECT_EQ(Sniff(WorksBof), rkNone);
  EXPECT_EQ(Sniff(Wk4Bof), rkLotus123);
  EXPECT_EQ(Sniff(Wb2Bof), rkQuattroPro);
  EXPECT_EQ(Sniff(Wq1Bof), rkQuattroPro);
  EXPECT_EQ(Sniff(OdsZip), rkOpenOffice);
  EXPECT_EQ(Sniff(XlsxZip), rkMSExcelX);
  EXPECT_EQ(Sniff(OdtZip), rkNone);
  EXPECT_EQ(Sniff(Text("Name,Qty\r\n")), rkNone);
  EXPECT_EQ(Sniff(Concat({U16(0), U16(2), U16(0x7777)})), rkNone);  // unknown version word
  EXPECT_EQ(Sniff(Concat({U16(0x0809), U16(0x4000)})), rkNone);       // no BOF is that long
  EXPECT_EQ(Sniff({}), rkNone);
  // Every truncation of every sample is answered without reading past it.
  for (const Bytes* b : {&CompoundFile, &Biff8Bof, &Wk4Bof, &Wb2Bof, &OdsZip, &XlsxZip}) {
    for (size_t n = 0; n <= b->size(); ++n) {
      Bytes cut(b->begin(), b->begin() + std::ptrdiff_t(n));
      (void)SniffReaderKind(cut.data(), cut.size());
    }
  }
}

TEST_F(FrontEndTest, ZipPackagesUnderAnExcelNameGoByContent) {
  const struct {
    const char* Name;
    const Bytes& Content;
    TReaderKind Kind;
  } cases[] = {
      {"renamed.xls", XlsxZip, rkMSExcelX},
      {"calc.xlsx", OdsZip, rkOpenOffice},
      // Encrypted packages are compound documents: they stay with the Open XML reader.
      {"locked.xlsx", CompoundFile, rkMSExcelX},
      {"plain.xls", Text("a,b\r\n"), rkMSExcel},
      {"old.wk1", XlsxZip, rkLotus123},
      {"biff.xlsx", Biff8Bof, rkMSExcel},
      {"noext", Wb2Bof, rkQuattroPro},
      {"short.xlsx", Bytes(3, 'P'), rkMSExcelX},
  };
  for (const auto& c : cases) {
    const std::string path = File(c.Name, c.Content);
    EXPECT_EQ(TSpreadsheetConversion::ChooseReader(path), c.Kind) << c.Name;
    // The same over the file opened once, from wherever it stands, handed back at its start.
    TFileStream opened(path, fmOpenRead | fmShareDenyWrite);
    opened.SetPosition(int64_t(c.Content.size() / 2));
    EXPECT_EQ(TSpreadsheetConversion::ChooseReader(path, &opened), c.Kind) << c.Name;
    EXPECT_EQ(opened.Position(), 0) << c.Name;
  }
  fs::path odd = fs::path(VARNOWE_CORPUS_DIR) / "odd";
  if (fs::is_directory(odd)) {
    EXPECT_EQ(TSpreadsheetConversion::ChooseReader((odd / "roo_biff8_named_xlsx.xlsx").string()), rkMSExcel);
    EXPECT_EQ(TSpreadsheetConversion::ChooseReader((odd / "roo_ods_named_xlsx.xlsx").string()), rkOpenOffice);
  }
  fs::path encrypted = fs::path(VARNOWE_CORPUS_DIR) / "xlsx" / "enc_xlnt_agile.xlsx";
  if (fs::exists(encrypted)) {
    EXPECT_EQ(TSpreadsheetConversion::ChooseReader(encrypted.string()), rkMSExcelX);
  }
}

TEST(SheetNames, OutputPathCarriesTheSheetPosition) {
  EXPECT_EQ(TSpreadsheetConversion::SheetOutputPath("out/book.csv", 2), "out/book2.csv");
  EXPECT_EQ(TSpreadsheetConversion::SheetOutputPath("out.d/book", 1), "out.d/book1");
  EXPECT_EQ(TSpreadsheetConversion::SheetOutputPath("out/a.b.xml", 10), "out/a.b10.xml");
}

TEST_F(FrontEndTest, EmptyMiddleSheetIsLeftOutWithoutRenumbering) {
  TSpreadSheets sheets;
  sheets.GetSheet(2);  // three sheets, all empty
  sheets.GetSheet(2).Cells.SetCell(0, 0, ictString, 0, taLeftJustify, TVariant("third"));
  std::string dest = Path("book.csv");
  TSpreadsheetConversion::WriteWorkbook(sheets, dest, 1);
  EXPECT_TRUE(fs::exists(dest));  // sheet 0 is written even when empty
  EXPECT_FALSE(fs::exists(Path("book1.csv")));
  ASSERT_TRUE(fs::exists(Path("book2.csv")));
  EXPECT_NE(Read(Path("book2.csv")).find("\"third\","), std::string::npos);
  EXPECT_EQ(Read(dest).size(), Read(dest).find("\r\n\r\n\r\n") + 6);  // banner, blank line, one empty row
}

TEST_F(FrontEndTest, WorkbookWithoutSheetsStillGetsItsOutput) {
  TSpreadSheets none;
  TSpreadsheetConversion::WriteWorkbook(none, Path("empty.htm"), 2);
  EXPECT_NE(Read(Path("empty.htm")).find("<td>&nbsp;</td>"), std::string::npos);
  TSpreadsheetConversion::WriteWorkbook(none, Path("nothing.out"), 9);  // no such format: nothing written
  EXPECT_FALSE(fs::exists(Path("nothing.out")));
}

TEST_F(FrontEndTest, ErrorsThatSayWhatIsMissing) {
  TSpreadsheetConversion c;
  std::string text = File("notes.xlt", Text("just some text\r\n"));
  std::string msg = ErrorOf(c, text, Path("notes.csv"), 1);
  EXPECT_NE(msg.find("\".xlt\""), std::string::npos) << msg;
  EXPECT_NE(msg.find("matches no supported spreadsheet format"), std::string::npos) << msg;
  EXPECT_FALSE(fs::exists(Path("notes.csv")));

  std::string wq1 = File("a.wq1", Wq1Bof);
  if (!TSpreadsheetConversion::HasReader(rkQuattroPro)) {
    msg = ErrorOf(c, wq1, Path("a.csv"), 1);
    EXPECT_NE(msg.find("Quattro Pro"), std::string::npos) << msg;
    EXPECT_NE(msg.find("not supported yet"), std::string::npos) << msg;
  }
  std::string odsNamedOdd = File("sheet.xla", OdsZip);  // routed by content
  if (!TSpreadsheetConversion::HasReader(rkOpenOffice)) {
    msg = ErrorOf(c, odsNamedOdd, Path("s.csv"), 1);
    EXPECT_NE(msg.find("OpenDocument"), std::string::npos) << msg;
  }
  EXPECT_NE(ErrorOf(c, Path("absent.wks"), Path("x.csv"), 1).find("absent.wks"), std::string::npos);
}

TEST_F(FrontEndTest, LotusFileUnderAnExtensionTheTableLacks) {
  TSpreadsheetConversion c;
  c.CreateConverters();
  std::string src = File("tiny.wks", TinyWk1());
  c.ConvertFile(src, Path("tiny.csv"), 1);
  c.FreeConverters();
  std::string csv = Read(Path("tiny.csv"));
  EXPECT_NE(csv.find("\r\n\r\n\"Total\",\"-1\",\r\n,,\r\n"), std::string::npos) << csv;
}

TEST_F(FrontEndTest, ReaderTakesTheFileOpenedByTheCaller) {
  // The opened file is read, not the name: the name holds other bytes.
  std::string named = File("named.wks", Text("not a worksheet"));
  std::string real = File("real.wks", TinyWk1());
  TFileStream opened(real, fmOpenRead | fmShareDenyWrite);
  opened.SetPosition(3);
  TLotus123 reader;
  reader.OpenedFile = &opened;
  reader.LoadFromFile(named);
  ASSERT_EQ(reader.Sheets.Count(), 1);
  EXPECT_NE(reader.Sheets[0].Cells.GetCell(0, 0), nullptr);
  EXPECT_NE(reader.Sheets[0].Cells.GetCell(1, 0), nullptr);
}

TEST_F(FrontEndTest, EveryCorpusLotusFileInEveryTextFormat) {
  fs::path corpus = fs::path(VARNOWE_CORPUS_DIR) / "lotus";
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
  TSpreadsheetConversion c;
  c.CreateConverters();
  int files = 0;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    std::string name = entry.path().filename().string();
    if (!c.IsFileAccepted(name)) continue;
    ++files;
    for (int index = 0; index < 4; ++index) {
      std::string dest = Path(entry.path().stem().string() + c.GetDestinationExt(index));
      try {
        c.ConvertFile(entry.path().string(), dest, index);
      } catch (const Exception& e) {
        // A Works file that only looks like a Lotus one fails by its content.
        if (name == "sjs_works4_works3.wks")
          EXPECT_NE(e.Message().find("\".wks\" file matches no supported"), std::string::npos) << e.Message();
        else
          ADD_FAILURE() << name << " as " << index << ": " << e.Message();
        continue;
      }
      EXPECT_NE(name, "sjs_works4_works3.wks");
      std::string out = Read(dest);
      EXPECT_GT(out.size(), 0u) << dest;
      EXPECT_EQ(out.substr(out.size() - 2), "\r\n") << dest;
    }
  }
  c.FreeConverters();
  EXPECT_GT(files, 15);
}

TEST_F(FrontEndTest, BatchRunsTheDriverWithTheSpreadsheetHooks) {
  TFakeUi ui;
  fs::create_directories(FDir / "src");
  File("src/tiny.wk1", TinyWk1());
  File("src/notes.xlt", Text("plain text"));
  File("src/b.wq1", Wq1Bof);
  File("src/readme.txt", Text("x"));
  TSpreadsheetBatch batch;
  batch.Settings.edSourceName = Path("src");
  batch.Settings.edDestinationName = Path("out");
  batch.Settings.rgDestination = 3;
  batch.BuildCandidateList();
  ASSERT_EQ(batch.Candidates().size(), 4u);
  EXPECT_FALSE(batch.Candidates()[2].Checked);  // readme.txt: listed, not ticked
  batch.BuildWorkList();
  ASSERT_EQ(batch.WorkItems().size(), 3u);
  EXPECT_EQ(batch.WorkItems()[2].Destination, Path("out") + "/tiny.xml");
  batch.ExecuteConversion();
  const auto& items = batch.WorkItems();
  EXPECT_EQ(items[2].Status, TItemState::Finished);
  EXPECT_NE(Read(Path("out/tiny.xml")).find(" COL2=\"Total\""), std::string::npos);
  EXPECT_EQ(ItemStatusText(items[1].Status).rfind("Error Unknown file format", 0), 0u) << ItemStatusText(items[1].Status);
  if (!TSpreadsheetConversion::HasReader(rkQuattroPro)) {
    EXPECT_NE(ItemStatusText(items[0].Status).find("not supported yet"), std::string::npos) << ItemStatusText(items[0].Status);
  }
  EXPECT_FALSE(fs::exists(Path("out/notes.xml")));
}

}  // namespace
