// The Quattro Pro reader on record streams and notebooks built in the test.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "CodePage.h"
#include "QXWQ.h"
#include "QuattroBuilder.h"

namespace {

using Bytes = QuattroBuilder::Bytes;
using QB = QuattroBuilder;

constexpr uint64_t InfinityBits = 0x7FF0000000000000ull;
constexpr uint64_t TextResultBits = 0x7FF8000101E684CAull;  // what the writers leave for a text result

void Load(TQuattroPro& reader, const Bytes& data) {
  TCustomMemoryStream stream(data.data(), int64_t(data.size()));
  reader.LoadFromStream(stream);
}

const TQXICell* Cell(const TQuattroPro& reader, int32_t sheet, int32_t row, int32_t col) {
  if (sheet >= reader.Sheets.Count()) return nullptr;
  return reader.Sheets[sheet].Cells.GetCell(col, row);
}

std::string Text(const TQXICell* c) { return c ? AnsiToUtf8(VarToStr(c->Value())) : "(none)"; }

std::string LoadError(const Bytes& data, TQuattroPro* into = nullptr) {
  TQuattroPro own;
  TQuattroPro& reader = into ? *into : own;
  try {
    Load(reader, data);
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(no error)";
}

class QuattroTest : public ::testing::Test {
 protected:
  void SetUp() override { SetACPOverride(CP_UTF8); }
  void TearDown() override { SetACPOverride(0); }
};

// ------------------------------------------------------------ DOS files

TEST_F(QuattroTest, Wq1CellsInTheLotusLayout) {
  QB b;
  b.Bof(0x5120)
      .PascalLabel(QB::Wq1(0, 0), '^', "Total")
      .Integer(QB::Wq1(1, 0), -1)
      .Number(QB::Wq1(2, 300), 2.5)  // a row beyond 255 needs the whole row word
      .Integer(QB::Wq1(3, 4, 0xF9), 30000)  // D4, a date
      .Number(QB::Wq1(4, 4, 0x77), 0.75)    // D6, a time
      .Eof();
  TQuattroPro r;
  Load(r, b.Data());
  EXPECT_EQ(r.Version(), qvWQ1);
  const TQXICell* label = Cell(r, 0, 0, 0);
  ASSERT_TRUE(label);
  EXPECT_EQ(label->Value().AsString(), "Total");
  EXPECT_EQ(label->Alignment(), taCenter);
  EXPECT_EQ(label->CellType(), ictString);
  ASSERT_TRUE(Cell(r, 0, 0, 1));
  EXPECT_EQ(Cell(r, 0, 0, 1)->Value().AsInteger(), -1);
  ASSERT_TRUE(Cell(r, 0, 300, 2));
  EXPECT_EQ(Cell(r, 0, 300, 2)->Value().AsFloat(), 2.5);
  ASSERT_TRUE(Cell(r, 0, 4, 3));
  EXPECT_EQ(Cell(r, 0, 4, 3)->CellType(), ictDateTime);
  EXPECT_EQ(Cell(r, 0, 4, 3)->Value().AsDateTime(), 30000);
  ASSERT_TRUE(Cell(r, 0, 4, 4));
  EXPECT_EQ(Cell(r, 0, 4, 4)->CellType(), ictDateTime);
  EXPECT_EQ(Cell(r, 0, 4, 4)->Value().AsDateTime(), 0.75);
  // The format byte 0xF9 (D4) as the workbook's format code.
  EXPECT_EQ(r.Sheets[0].Formats().Code(Cell(r, 0, 4, 3)->FormatIndex()), "m/d/yy");
}

TEST_F(QuattroTest, Wq2StylesAndPascalTexts) {
  QB b;
  b.Bof(0x5121)
      .DosStyle(0, 0x82)
      .DosStyle(1, 0xF9)
      .PascalLabel(QB::Wq2(0, 0), '"', std::string("A\0B", 3))
      .Number(QB::Wq2(1, 0, 1), 35249)
      .Number(QB::Wq2(2, 0, 0), 1.25)
      .Number(QB::Wq2(3, 0), 7)  // 0xFF: the default format
      .Formula(QB::Wq2(4, 0), TextResultBits)
      .PascalFormulaText(QB::Wq2(4, 0), "abc\r\ndef")
      .Eof();
  TQuattroPro r;
  Load(r, b.Data());
  EXPECT_EQ(r.Version(), qvWQ2);
  ASSERT_TRUE(Cell(r, 0, 0, 0));
  EXPECT_EQ(Text(Cell(r, 0, 0, 0)), "A B");  // a NUL inside becomes a space
  EXPECT_EQ(Cell(r, 0, 0, 0)->Alignment(), taRightJustify);
  EXPECT_EQ(Cell(r, 0, 0, 1)->CellType(), ictDateTime);
  EXPECT_EQ(Cell(r, 0, 0, 2)->CellType(), ictDecimal);
  EXPECT_EQ(Cell(r, 0, 0, 3)->CellType(), ictDecimal);
  EXPECT_EQ(Cell(r, 0, 0, 4)->CellType(), ictString);
  EXPECT_EQ(Text(Cell(r, 0, 0, 4)), "abc\r\ndef");
}

TEST_F(QuattroTest, TextsAreWindows1252) {
  QB b;
  b.Bof(0x5120).PascalLabel(QB::Wq1(0, 0), '\'', "caf\xE9 \x80").Eof();
  TQuattroPro r;
  Load(r, b.Data());
  EXPECT_EQ(Text(Cell(r, 0, 0, 0)), "caf\xC3\xA9 \xE2\x82\xAC");
}

// ------------------------------------------------------------ Windows files

QB Wb2Sample() {
  QB b;
  b.Bof(0x1002).WinStyle(0x02).WinStyle(0x08);  // General, then D4
  b.Sheet(0).SheetName("Data");
  b.Integer(QB::Win(0, 0, 0), 1)
      .Number(QB::Win(1, 0, 0, 2, 3), 41689)  // style 2: a date
      .Label(QB::Win(2, 0, 0, 0, 1), '\'', "H_A", {0xFF})  // stray byte after the NUL
      .Formula(QB::Win(3, 0, 0, 0, 5), TextResultBits)
      .FormulaText(QB::Win(3, 0, 0, 0, 5), "Three of a Kind")
      .Formula(QB::Win(4, 0, 0, 0, 5), InfinityBits)
      .NumberBits(QB::Win(5, 0, 0), InfinityBits)  // a constant without a value
      .SheetEnd(0);
  b.Sheet(2).SheetName("Third").Integer(QB::Win(0, 2, 1), 7).SheetEnd(2);
  b.Eof();
  // What the writers put after the end: an extended-storage block whose
  // length word is a marker, not a length.
  b.Record(0x00, {}).RecordWithLength(0x00, 0x1234, QB::Text("QPW$ExtendedStorage$6.0"));
  return b;
}

TEST_F(QuattroTest, Wb2SheetsStylesAndFormulaResults) {
  TQuattroPro r;
  Load(r, Wb2Sample().Data());
  EXPECT_EQ(r.Version(), qvWB2);
  ASSERT_EQ(r.Sheets.Count(), 3);
  EXPECT_EQ(r.Sheets[0].Caption, u"Data");
  EXPECT_EQ(r.Sheets[1].Caption, u"Sheet2");  // no record named it
  EXPECT_EQ(r.Sheets[2].Caption, u"Third");
  EXPECT_EQ(Cell(r, 0, 0, 0)->Value().AsInteger(), 1);
  EXPECT_EQ(Cell(r, 0, 0, 1)->CellType(), ictDateTime);
  EXPECT_EQ(r.Sheets[0].Formats().Kind(Cell(r, 0, 0, 1)->FormatIndex()), nfDate);
  EXPECT_EQ(Text(Cell(r, 0, 0, 2)), "H_A");
  EXPECT_EQ(Cell(r, 0, 0, 3)->CellType(), ictString);
  EXPECT_EQ(Text(Cell(r, 0, 0, 3)), "Three of a Kind");
  ASSERT_TRUE(Cell(r, 0, 0, 4));
  EXPECT_EQ(Cell(r, 0, 0, 4)->CellType(), ictUnknown);
  EXPECT_EQ(Text(Cell(r, 0, 0, 4)), "#VALUE!");
  EXPECT_FALSE(Cell(r, 0, 0, 5));
  ASSERT_TRUE(Cell(r, 2, 1, 0));
  EXPECT_EQ(Cell(r, 2, 1, 0)->Value().AsInteger(), 7);
}

TEST_F(QuattroTest, Wb1IsTheWindowsLayout) {
  QB b;
  b.Bof(0x1001).Sheet(0).Integer(QB::Win(3, 0, 2), 5).Eof();
  TQuattroPro r;
  Load(r, b.Data());
  EXPECT_EQ(r.Version(), qvWB1);
  EXPECT_EQ(r.Sheets[0].Caption, u"Sheet1");
  ASSERT_TRUE(Cell(r, 0, 2, 3));
  EXPECT_EQ(Cell(r, 0, 2, 3)->Value().AsInteger(), 5);
}

// ------------------------------------------------------------ damage

TEST_F(QuattroTest, BadStartsAreNoQuattroFile) {
  EXPECT_EQ(LoadError(QB().Bof(0x7777).Eof().Data()), "Invalid file version or file format.");
  EXPECT_EQ(LoadError(QB().Record(0x0D, QB::Cat({QB::Wq1(0, 0), QB::Word(1)})).Data()),
            "Invalid file version or file format.");
  EXPECT_EQ(LoadError(Bytes{0, 0}), "Invalid file version or file format.");
  EXPECT_EQ(LoadError(QB().RecordWithLength(0x00, 9, QB::Word(0x5120)).Data()), "Invalid file version or file format.");
  EXPECT_EQ(LoadError(QB::Compound({})), "Invalid file version or file format.");
  EXPECT_EQ(LoadError(QB::Compound(QB().NotebookBof().NotebookEof().Data(), "Workbook")),
            "Invalid file version or file format.");
}

TEST_F(QuattroTest, TruncatedFilesKeepWhatWasRead) {
  QB b;
  b.Bof(0x5120).Integer(QB::Wq1(0, 0), 42);
  TQuattroPro r;
  EXPECT_EQ(LoadError(b.Data(), &r), "The file is truncated: it ends at byte 17 without its end-of-file record");
  ASSERT_TRUE(Cell(r, 0, 0, 0));
  EXPECT_EQ(Cell(r, 0, 0, 0)->Value().AsInteger(), 42);

  Bytes cut = QB().Bof(0x5120).Integer(QB::Wq1(0, 0), 42).Integer(QB::Wq1(0, 1), 43).Data();
  cut.resize(cut.size() - 3);
  EXPECT_EQ(LoadError(cut, &r),
            "The file is truncated: it ends at byte 25 inside record 0x000D of 7 bytes at stream offset 17");
  EXPECT_TRUE(Cell(r, 0, 0, 0));
  EXPECT_THROW(Load(r, cut), EQXIFileTruncatedException);
}

TEST_F(QuattroTest, ShortRecordsGoThroughTheErrorPath) {
  QB b;
  b.Bof(0x5120).Record(0x0E, QB::Cat({QB::Wq1(0, 0), QB::Word(1)})).Integer(QB::Wq1(0, 1), 9);
  b.PascalLabel(QB::Wq1(0, 2), '\'', "ok").Record(0x0F, QB::Cat({QB::Wq1(0, 3), {'\'', 200}, QB::Text("abc")}));
  b.Eof();
  EXPECT_EQ(LoadError(b.Data()), "Record 0x000E (sheet 1, stream offset 6) is too short for its data.");

  TQuattroPro r;
  std::vector<std::string> errors;
  r.OnErrorProcess = [&](TCustomSpreadSheetFile*, const std::exception& e, bool& abort) {
    errors.push_back(e.what());
    abort = false;
  };
  Load(r, b.Data());
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[1], "Record 0x000F (sheet 1, stream offset 41): the text at byte 6 claims 200 bytes, 3 are there.");
  EXPECT_FALSE(Cell(r, 0, 0, 0));
  EXPECT_EQ(Cell(r, 0, 1, 0)->Value().AsInteger(), 9);
  EXPECT_EQ(Text(Cell(r, 0, 2, 0)), "ok");
  EXPECT_FALSE(Cell(r, 0, 3, 0));
}

TEST_F(QuattroTest, CellsOutsideTheGridNeverReachTheModel) {
  QB b;
  b.Bof(0x5120).Integer(QB::Wq1(0, 8191), 1).Integer(QB::Wq1(0, 8192), 2).Integer(QB::Wq1(256, 0), 3).Eof();
  EXPECT_EQ(LoadError(b.Data()),
            "Record 0x000D (sheet 1, stream offset 17): cell A8193 lies outside the Quattro Pro WQ1 grid of 8,192 rows by 256 "
            "columns.");
  TQuattroPro r;
  int errors = 0;
  r.OnErrorProcess = [&](TCustomSpreadSheetFile*, const std::exception&, bool& abort) {
    ++errors;
    abort = false;
  };
  Load(r, b.Data());
  EXPECT_EQ(errors, 2);
  EXPECT_EQ(r.Sheets[0].Cells.Count(), 8192);
  EXPECT_EQ(r.Sheets[0].Cells.ColCount, 1);
}

// A record longer than any buffer the reader could have held is read whole,
// and the next record is found where its length says.
TEST_F(QuattroTest, LongRecordsAreReadWhole) {
  QB b;
  b.Bof(0x1002).Sheet(0).Label(QB::Win(0, 0, 0, 0, 1), '\'', std::string(40000, 'x')).Integer(QB::Win(1, 0, 0), 3);
  b.Eof();
  TQuattroPro r;
  Load(r, b.Data());
  EXPECT_EQ(Text(Cell(r, 0, 0, 0)).size(), 40000u);
  EXPECT_EQ(Cell(r, 0, 0, 1)->Value().AsInteger(), 3);
}

// ------------------------------------------------------------ notebooks

Bytes NotebookSample() {
  QB b;
  b.NotebookBof().Authors("Ann", "Bob");
  b.StringTable({QB::String("Normal"), QB::String("Formula"), QB::WideString(u"\u20AC uro")});
  b.NotebookStyles({0x0002, 0x0062, 0x0009, 0x000A});  // General, Comma, D5, D6
  // Notebook opcodes below 0x0100 that the classic files use for cells: no cells here.
  b.Record(0x000D, {9, 0, 9, 0, 0, 0, 77, 0});
  b.NotebookSheet(0, "Numbers", 1, 5);
  b.Column(0).CellBlock(0, 32,
                        QB::Cat({QB::Entry(7, QB::Cat({QB::Dword(1), QB::Dword(2), QB::Dword(3)}), 3),
                                 QB::Entry(2, QB::Word(12)), QB::Entry(5, QB::Double(1234543212345.0)),
                                 QB::Entry(8, QB::FormulaValue(0x4050000000000000ull)),  // 64
                                 QB::Entry(1, {}, 26)}));
  b.ColumnEnd();
  b.Column(1).CellBlock(0, 18,
                        QB::Cat({QB::Entry(2, QB::Cat({QB::Word(12), QB::Word(0xFFFF)}), 13, -1, true),
                                 QB::Entry(3, QB::Cat({QB::Word(0xFFFF), QB::Word(0xFFFF)}), 5, -1, true)}));
  b.ColumnEnd();
  b.Column(2).CellBlock(2, 4,
                        QB::Cat({QB::Entry(2, QB::Cat({QB::Word(5), QB::Word(6), QB::Word(7)}), 3),
                                 QB::Entry(6, QB::Word(10))}));
  b.ColumnEnd();
  b.Column(3).CellBlock(0, 3,
                        QB::Cat({QB::Entry(5, QB::Double(35871), -1, 3), QB::Entry(5, QB::Double(0.5), -1, 4),
                                 QB::Entry(8, QB::FormulaValue(0x7FF8000101E684CAull))}));
  b.NotebookFormulaText(3, 2, "abc\r\ndef");
  b.ColumnEnd().NotebookSheetEnd();
  b.NotebookSheet(3, "").Column(0).CellBlock(0, 1, QB::Entry(7, QB::Dword(3))).ColumnEnd().NotebookSheetEnd();
  b.NotebookEof();
  return b.Data();
}

TEST_F(QuattroTest, NotebookCellBlocks) {
  TQuattroPro r;
  Load(r, QB::Compound(NotebookSample()));
  EXPECT_EQ(r.Version(), qvQP9);
  EXPECT_EQ(r.StringTable().size(), 3u);
  EXPECT_EQ(r.SummaryInformation.Author, "Ann");
  EXPECT_EQ(r.SummaryInformation.LastAuthor, "Bob");
  ASSERT_EQ(r.Sheets.Count(), 4);
  EXPECT_EQ(r.Sheets[3].DocumentProperties().Author, "Ann");
  EXPECT_EQ(r.Sheets[0].Caption, u"Numbers");
  EXPECT_EQ(r.Sheets[3].Caption, u"Sheet4");
  // String numbers count from 1.
  EXPECT_EQ(Text(Cell(r, 0, 0, 0)), "Normal");
  EXPECT_EQ(Text(Cell(r, 0, 1, 0)), "Formula");
  EXPECT_EQ(Text(Cell(r, 0, 2, 0)), "\xE2\x82\xAC uro");
  EXPECT_EQ(Cell(r, 0, 3, 0)->Value().AsInteger(), 12);
  EXPECT_EQ(Cell(r, 0, 4, 0)->Value().AsFloat(), 1234543212345.0);  // kind 5: a double
  EXPECT_EQ(Cell(r, 0, 5, 0)->Value().AsFloat(), 64);               // kind 8: the cached double
  EXPECT_FALSE(Cell(r, 0, 6, 0));  // the blank run stores nothing
  EXPECT_FALSE(Cell(r, 0, 31, 0));
  // Stepped runs: 12 + 65535 k, then -1 - k.
  EXPECT_EQ(Cell(r, 0, 1, 1)->Value().AsInteger(), 65547);
  EXPECT_EQ(Cell(r, 0, 12, 1)->Value().AsInteger(), 786432);
  EXPECT_EQ(Cell(r, 0, 13, 1)->Value().AsInteger(), -1);
  EXPECT_EQ(Cell(r, 0, 17, 1)->Value().AsInteger(), -5);
  // A repeat count of 3 with kind 2: three integers down the column.
  EXPECT_EQ(Cell(r, 0, 2, 2)->Value().AsInteger(), 5);
  EXPECT_EQ(Cell(r, 0, 3, 2)->Value().AsInteger(), 6);
  EXPECT_EQ(Cell(r, 0, 4, 2)->Value().AsInteger(), 7);
  EXPECT_EQ(Text(Cell(r, 0, 5, 2)), "#0000000A");  // beyond the string table
  EXPECT_EQ(Cell(r, 0, 0, 3)->CellType(), ictDateTime);
  EXPECT_EQ(Cell(r, 0, 0, 3)->Value().AsDateTime(), 35871);
  EXPECT_EQ(Cell(r, 0, 1, 3)->CellType(), ictDateTime);
  EXPECT_EQ(Text(Cell(r, 0, 2, 3)), "abc\r\ndef");  // the text result replaces the error
  EXPECT_EQ(Text(Cell(r, 3, 0, 0)), "\xE2\x82\xAC uro");
  EXPECT_EQ(r.Sheets[0].Cells.GetCell(0, 0)->FormatIndex(), 0);
  // The classic-looking record 0x000D gave no cell.
  EXPECT_EQ(r.Sheets[0].Cells.ColCount, 4);
}

TEST_F(QuattroTest, NotebookStreamNameAnyCaseAndWb3ClassicRecords) {
  TQuattroPro r;
  Load(r, QB::Compound(NotebookSample(), "nativecontent_main"));
  EXPECT_EQ(r.Version(), qvQP9);
  EXPECT_EQ(Text(Cell(r, 0, 0, 0)), "Normal");

  QB wb3;
  wb3.Bof(0x1007).Sheet(0).Label(QB::Win(0, 0, 4, 0, 1), '\'', "Task").Eof();
  Load(r, QB::Compound(wb3.Data(), "PerfectOffice_MAIN"));
  EXPECT_EQ(r.Version(), qvWB3);
  EXPECT_EQ(Text(Cell(r, 0, 4, 0)), "Task");
}

TEST_F(QuattroTest, DamagedNotebooks) {
  auto notebook = [](const std::function<void(QB&)>& cells) {
    QB b;
    b.NotebookBof().StringTable({QB::String("a")}).NotebookSheet(0, "S");
    cells(b);
    b.NotebookSheetEnd().NotebookEof();
    return QB::Compound(b.Data());
  };
  EXPECT_EQ(LoadError(notebook([](QB& b) { b.CellBlock(0, 1, QB::Entry(2, QB::Word(1))); })),
            "Record 0x0C01 (sheet 1, stream offset 66): a cell block stands outside a column.");
  EXPECT_EQ(LoadError(notebook([](QB& b) { b.Column(0).CellBlock(0, 4, QB::Entry(2, QB::Word(1), 4)); })),
            "Record 0x0C01 (sheet 1, stream offset 80): the cell-block entry at byte 8 needs 8 bytes, 2 are there.");
  EXPECT_EQ(LoadError(notebook([](QB& b) { b.Column(0).CellBlock(0, 1, QB::Entry(12, QB::Word(1))); })),
            "Record 0x0C01 (sheet 1, stream offset 80): the cell-block entry at byte 8 has the unknown kind 12.");
  EXPECT_EQ(LoadError(notebook([](QB& b) { b.Column(0).CellBlock(1048575, 2, QB::Entry(2, QB::Cat({QB::Word(1), QB::Word(1)}), 2)); })),
            "Record 0x0C01 (sheet 1, stream offset 80): cell A1048577 lies outside the Quattro Pro notebook grid of 1,048,576 "
            "rows by 18,278 columns.");
  EXPECT_EQ(LoadError(notebook([](QB& b) { b.Record(0x0407, QB::Cat({QB::Dword(2), QB::Dword(0), QB::Dword(0),
                                                                       QB::Word(50), {0}, QB::Text("ab")})); })),
            "Record 0x0407 (sheet 1, stream offset 66): string 1 at byte 12 claims 50 bytes, 2 are there.");

  // A repeat count larger than the rows the block covers stops at them.
  TQuattroPro r;
  Load(r, notebook([](QB& b) {
    b.Column(0).CellBlock(0, 2, QB::Cat({QB::Entry(2, QB::Cat({QB::Word(1), QB::Word(1)}), 60000, -1, true)}));
  }));
  EXPECT_EQ(r.Sheets[0].Cells.Count(), 2);

  QB cut;
  cut.NotebookBof().NotebookSheet(0, "S").Column(0).CellBlock(0, 1, QB::Entry(2, QB::Word(9)));
  EXPECT_EQ(LoadError(QB::Compound(cut.Data()), &r),
            "The file is truncated: the notebook stream ends at byte 74 without its end-of-file record");
  EXPECT_EQ(Cell(r, 0, 0, 0)->Value().AsInteger(), 9);
}

TEST_F(QuattroTest, ListenersSeeEveryRecordAndDimensions) {
  QB b;
  b.Bof(0x1002).Record(0x06, QB::Cat({QB::Word(0), QB::Word(0), QB::Word(3), QB::Word(9)})).Sheet(0).Eof();
  TQuattroPro r;
  std::vector<uint16_t> seen;
  r.OnRecord = [&](TCustomSpreadSheetFile*, const TBIFFRecordHeader& h, TByteArray&) { seen.push_back(h.RecNo); };
  Load(r, b.Data());
  EXPECT_EQ(seen, (std::vector<uint16_t>{0x00, 0x06, 0xCA}));
  EXPECT_EQ(r.Sheets[0].Cells.DimRowCount, 9);
  EXPECT_EQ(r.Sheets[0].Cells.DimColCount, 3);
}

TEST(QuattroFormats, DateAndTimeCodes) {
  for (uint8_t code : {5, 6, 7, 8, 9, 10, 11, 12, 13}) {
    EXPECT_TRUE(QuattroFormatIsDateTime(code)) << int(code);
    EXPECT_TRUE(QuattroFormatIsDateTime(uint8_t(0x60 | code))) << int(code);
    EXPECT_TRUE(QuattroNotebookFormatIsDateTime(code)) << int(code);
  }
  for (uint8_t f : {0x02, 0x04, 0x0E, 0x12, 0x32, 0x42, 0x52, 0x78}) EXPECT_FALSE(QuattroFormatIsDateTime(f)) << int(f);
  for (uint16_t f : {0x0002, 0x0022, 0x0062, 0x00A9, 0x0122}) EXPECT_FALSE(QuattroNotebookFormatIsDateTime(f)) << f;
}

}  // namespace
