// The Lotus 1-2-3 reader on small record streams built in the test.
#include <gtest/gtest.h>

#include <tuple>

#include "CodePage.h"
#include "LotusBuilder.h"
#include "QXWKS.h"

namespace {

using Bytes = LotusBuilder::Bytes;

struct DeliveredCell {
  int32_t Sheet, Row, Column, FormatIndex;
  TVariant Value;
  TAlignment Alignment;
  TQXICellType CellType;
};

// Listens to the events the model installs, then passes them on.
class RecordingLotus : public TLotus123 {
 public:
  std::vector<DeliveredCell> Delivered;
  void ResetData() override {
    TLotus123::ResetData();
    auto model = OnCellValue;
    OnCellValue = [this, model](TCustomSpreadSheetFile* s, int32_t sheet, int32_t row, int32_t col, int32_t fmt,
                                TVariant& v, TAlignment a, TQXICellType t) {
      Delivered.push_back({sheet, row, col, fmt, v, a, t});
      model(s, sheet, row, col, fmt, v, a, t);
    };
  }
};

void Load(TLotus123& reader, const Bytes& data) {
  TCustomMemoryStream stream(data.data(), int64_t(data.size()));
  reader.LoadFromStream(stream);
}

const TQXICell* Cell(TLotus123& reader, int32_t sheet, int32_t row, int32_t col) {
  if (sheet >= reader.Sheets.Count()) return nullptr;
  return reader.Sheets[sheet].Cells.GetCell(col, row);
}

std::string LoadError(const Bytes& data) {
  TLotus123 reader;
  try {
    Load(reader, data);
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(no error)";
}

class LotusTest : public ::testing::Test {
 protected:
  void SetUp() override { SetACPOverride(CP_UTF8); }
  void TearDown() override { SetACPOverride(0); }
};

uint64_t Bits(double d) {
  uint64_t b;
  std::memcpy(&b, &d, 8);
  return b;
}

}  // namespace

TEST_F(LotusTest, OneSheetFamilyCells) {
  LotusBuilder b;
  b.Bof(0x0406)
      .Label1(0, 0, '^', "Total")
      .Label1(1, 0, '"', "Right")
      .Label1(2, 0, '\'', "Left")
      .Label1(3, 0, '\\', "Rep")
      .Integer1(0, 1, -1)
      .Number1(1, 1, 2.5)
      .Label1(2, 1, '\'', "caf\xE9")  // Windows-1252 e-acute
      .Eof();
  TLotus123 r;
  Load(r, b.Data());
  EXPECT_EQ(r.Version(), wvWR1);
  ASSERT_EQ(r.Sheets.Count(), 1);
  const TQXICell* c = Cell(r, 0, 0, 0);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->Value().AsString(), "Total");
  EXPECT_EQ(c->Alignment(), taCenter);
  EXPECT_EQ(c->CellType(), ictString);
  EXPECT_EQ(Cell(r, 0, 0, 1)->Alignment(), taRightJustify);
  EXPECT_EQ(Cell(r, 0, 0, 2)->Alignment(), taLeftJustify);
  EXPECT_EQ(Cell(r, 0, 0, 3)->Alignment(), taLeftJustify);
  EXPECT_EQ(Cell(r, 0, 0, 3)->Value().AsString(), "Rep");
  c = Cell(r, 0, 1, 0);
  EXPECT_EQ(c->Value().AsInteger(), -1);
  EXPECT_EQ(c->CellType(), ictInteger);
  EXPECT_EQ(c->Alignment(), taRightJustify);
  EXPECT_EQ(Cell(r, 0, 1, 1)->Value().AsFloat(), 2.5);
  EXPECT_EQ(Cell(r, 0, 1, 1)->CellType(), ictDecimal);
  EXPECT_EQ(Cell(r, 0, 1, 2)->Value().AsString(), "caf\xC3\xA9");  // held as UTF-8 here
}

TEST_F(LotusTest, OneSheetFormulasAndTheirStrings) {
  LotusBuilder b;
  // Upper word 0x7FC00000: a single-precision quiet NaN pattern.
  b.Bof(0x0404)
      .Formula1(0, 0, 0x7FC0000000000000ull)
      .Formula1(1, 0, Bits(42.25))
      .Formula1(2, 0, 0xFFF0000100000000ull)  // upper word a NaN with the sign set
      .Formula1(3, 0, Bits(1e300))
      .Formula1(0, 1, 0x7FF0000000000000ull | 0x0000000A00000000ull)
      .String1(0, 1, "abc")
      .Eof();
  TLotus123 r;
  Load(r, b.Data());
  const TQXICell* c = Cell(r, 0, 0, 0);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->Value().Type(), TVarType::Integer);
  EXPECT_EQ(c->Value().AsInteger(), 0);
  EXPECT_EQ(c->CellType(), ictDecimal);
  EXPECT_EQ(Cell(r, 0, 0, 1)->Value().AsFloat(), 42.25);
  EXPECT_EQ(Cell(r, 0, 0, 2)->Value().Type(), TVarType::Integer);
  EXPECT_EQ(Cell(r, 0, 0, 3)->Value().AsFloat(), 1e300);
  // The cached text of a string formula replaces the placeholder.
  c = Cell(r, 0, 1, 0);
  EXPECT_EQ(c->Value().AsString(), "abc");
  EXPECT_EQ(c->CellType(), ictString);
  EXPECT_EQ(c->Alignment(), taLeftJustify);
}

TEST_F(LotusTest, OneSheetFamilyIgnoresMultiSheetRecords) {
  LotusBuilder b;
  b.Bof(0x0406)
      .Record(0x23, {0xFF, 0xFF, 0x00, 0x00, 'X', 'Y', 0})  // not a sheet name here
      .Record(0x24, {0x00, 0x05, 0x00, 0x0C})              // nor column widths
      .Record(0x08, Bytes{0x03, 0x00, 0x0E})                // column 3 is 14 wide
      .Record(0x18, Bytes(25, 0x00))                        // a range record, no small number
      .Record(0x27, Bytes(40, 0x00))
      .Label1(0, 0, '\'', "x")
      .Eof();
  TLotus123 r;
  Load(r, b.Data());
  ASSERT_EQ(r.Sheets.Count(), 1);
  EXPECT_EQ(r.Sheets[0].Caption, u"Sheet1");
  EXPECT_EQ(r.Sheets[0].ColumnWidths, (std::vector<int32_t>{0, 0, 0, 14 * 256}));  // 1/256 of a character
  EXPECT_EQ(r.Sheets[0].Cells.RowCount, 1);
  EXPECT_EQ(r.Sheets[0].Cells.ColCount, 1);
}

TEST_F(LotusTest, NoInfinityOrNaNEntersTheModel) {
  // Some WK1 writers store infinity in a NUMBER record for a cell in error.
  LotusBuilder b;
  b.Bof(0x0406)
      .Record(0x0E, LotusBuilder::Old(6, 35, LotusBuilder::Qword(0x7FF0000000000000ull)))
      .Record(0x0E, LotusBuilder::Old(7, 35, LotusBuilder::Qword(0xFFF8000000000000ull)))
      .Number1(8, 35, 1.25)
      .Eof();
  TLotus123 r;
  Load(r, b.Data());
  EXPECT_FALSE(Cell(r, 0, 35, 6));
  EXPECT_FALSE(Cell(r, 0, 35, 7));
  EXPECT_EQ(Cell(r, 0, 35, 8)->Value().AsFloat(), 1.25);
}

TEST_F(LotusTest, RecordListenerMayResizeTheBuffer) {
  LotusBuilder b;
  b.Bof(0x0406).Label1(0, 0, '\'', "one").Label1(0, 1, '\'', "two").Eof();
  TLotus123 r;
  int calls = 0;
  r.OnRecord = [&](TCustomSpreadSheetFile*, const TBIFFRecordHeader& h, TByteArray& d) {
    if (h.RecNo == 0x0F && calls++ == 0) d.clear();  // the first label is lost, not overread
  };
  std::vector<std::string> warnings;
  r.OnErrorProcess = [&](TCustomSpreadSheetFile*, const std::exception& e, bool& abort) {
    warnings.push_back(e.what());
    abort = false;
  };
  Load(r, b.Data());
  EXPECT_EQ(warnings, std::vector<std::string>{"Record 0x000F (sheet 1, stream offset 6) is too short for its data."});
  EXPECT_FALSE(Cell(r, 0, 0, 0));
  EXPECT_EQ(Cell(r, 0, 1, 0)->Value().AsString(), "two");
}

TEST_F(LotusTest, SymphonyVersionUsesTheOneSheetLayout) {
  LotusBuilder b;
  b.Bof(0x0405).Integer1(2, 7, 5).Eof();
  TLotus123 r;
  Load(r, b.Data());
  EXPECT_EQ(r.Version(), wvWKS2);
  ASSERT_TRUE(Cell(r, 0, 7, 2));
  EXPECT_EQ(Cell(r, 0, 7, 2)->Value().AsInteger(), 5);
}

TEST_F(LotusTest, MultiSheetNumbers) {
  LotusBuilder b;
  b.Bof(0x1000)
      .SmallNumber(0, 0, 0, 0x0011)   // code 1, n = 1: 5000
      .SmallNumber(0, 0, 1, 0x0010)   // even: 16 / 2
      .SmallNumber(0, 0, 2, 0xFFF5)   // code 5, n = -1: -1/20
      .SmallNumber(0, 0, 3, 0x002F)   // code 15, n = 2: 2/64
      .Packed(1, 0, 0, 3 << 6)        // integer 3
      .Packed(1, 0, 1, (25u << 6) | 0x10 | 2)  // 25 / 100
      .Packed(1, 0, 2, (7u << 6) | 1)          // 7 * 10
      .Number3(2, 0, 0, LotusBuilder::Extended(0xA2D9000000000000ull, 0x400E))  // 41689
      .Number3(2, 0, 1, LotusBuilder::Extended(0x8000000000000000ull, 0xBFFF))  // -1
      .Number3(2, 0, 2, LotusBuilder::Extended(0, 0))
      .Number3(2, 0, 3, LotusBuilder::Extended(0xC000000000000000ull, 0xFFFF))  // NaN: no cell
      .DoubleNumber(3, 0, 0, Bits(0.3))
      .DoubleNumber(3, 0, 1, 0x7FC0000000000000ull)
      .Eof();
  TLotus123 r;
  Load(r, b.Data());
  EXPECT_EQ(r.Version(), wvWKS3);
  EXPECT_EQ(Cell(r, 0, 0, 0)->Value().AsFloat(), 5000.0);
  EXPECT_EQ(Cell(r, 0, 0, 1)->Value().AsFloat(), 8.0);
  EXPECT_DOUBLE_EQ(Cell(r, 0, 0, 2)->Value().AsFloat(), -0.05);
  EXPECT_DOUBLE_EQ(Cell(r, 0, 0, 3)->Value().AsFloat(), 2.0 / 64);
  const std::pair<uint16_t, double> codes[] = {{0x13, 500}, {0x17, 1 / 200.0}, {0x19, 1 / 2000.0},
                                               {0x1B, 1 / 20000.0}, {0x1D, 1 / 16.0}, {0xFFE1, -10000}};
  for (auto [w, v] : codes) EXPECT_DOUBLE_EQ(LotusSmallNumber(int16_t(w)), v) << w;
  EXPECT_EQ(Cell(r, 0, 1, 0)->Value().AsInteger(), 3);
  EXPECT_EQ(Cell(r, 0, 1, 0)->CellType(), ictInteger);
  EXPECT_DOUBLE_EQ(Cell(r, 0, 1, 1)->Value().AsFloat(), 0.25);
  EXPECT_EQ(Cell(r, 0, 1, 1)->CellType(), ictDecimal);
  EXPECT_DOUBLE_EQ(Cell(r, 0, 1, 2)->Value().AsFloat(), 70.0);
  EXPECT_EQ(Cell(r, 0, 2, 0)->Value().AsFloat(), 41689.0);
  EXPECT_EQ(Cell(r, 0, 2, 1)->Value().AsFloat(), -1.0);
  EXPECT_EQ(Cell(r, 0, 2, 2)->Value().AsFloat(), 0.0);
  EXPECT_EQ(Cell(r, 0, 2, 3), nullptr);
  EXPECT_EQ(Cell(r, 0, 3, 0)->Value().AsFloat(), 0.3);
  EXPECT_EQ(Cell(r, 0, 3, 1)->Value().Type(), TVarType::Float);
  EXPECT_EQ(Cell(r, 0, 3, 1)->Value().AsFloat(), 0.0);
}

TEST_F(LotusTest, MultiSheetFormulaStringReplacesResult) {
  LotusBuilder b;
  b.Bof(0x1002)
      .Formula3(1, 0, 1, LotusBuilder::Extended(0xFF00580F88030000ull, 0xFFFF))  // text result
      .FormulaString(1, 0, 1, "abc")
      .Formula3(2, 0, 1, LotusBuilder::Extended(0xC000000000000000ull, 0x4000))  // 3
      .Label3(0, 1, 2, '^', "Mid")
      .Eof();
  TLotus123 r;
  Load(r, b.Data());
  EXPECT_EQ(r.Version(), wvWKS4);
  const TQXICell* c = Cell(r, 0, 1, 1);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->Value().AsString(), "abc");  // no trailing NUL
  EXPECT_EQ(c->CellType(), ictString);
  EXPECT_EQ(Cell(r, 0, 2, 1)->Value().AsFloat(), 3.0);
  ASSERT_EQ(r.Sheets.Count(), 2);
  EXPECT_EQ(Cell(r, 1, 0, 2)->Value().AsString(), "Mid");
  EXPECT_EQ(Cell(r, 1, 0, 2)->Alignment(), taCenter);
}

TEST_F(LotusTest, PackedNumbersCarryTheirSign) {
  LotusBuilder b;
  b.Bof(0x1000)
      .Packed(0, 0, 0, (35792u << 6) | 0x20)             // -35792
      .Packed(0, 0, 1, (6u << 6) | 0x20 | 0x10 | 1)      // -6 / 10
      .Packed(0, 0, 2, (125u << 6) | 0x20 | 0x10 | 2)    // -125 / 100
      .Packed(0, 0, 3, (3u << 6) | 0x20 | 2)             // -3 * 100
      .Packed(1, 0, 0, (5u << 6) | 0x10 | 9)             // 5 / 10^9: the power takes four bits
      .Packed(1, 0, 1, (7u << 6) | 12)                   // 7 * 10^12
      .Packed(1, 0, 2, 0xFFFFFFC0u)                      // the largest magnitude
      .Packed(1, 0, 3, 0x20)                             // minus zero
      .Eof();
  TLotus123 r;
  Load(r, b.Data());
  EXPECT_EQ(Cell(r, 0, 0, 0)->Value().AsInteger(), -35792);
  EXPECT_EQ(Cell(r, 0, 0, 0)->CellType(), ictInteger);
  EXPECT_EQ(Cell(r, 0, 0, 1)->Value().AsFloat(), -0.6);  // one division: exactly the double of -0.6
  EXPECT_EQ(Cell(r, 0, 0, 1)->CellType(), ictDecimal);
  EXPECT_EQ(Cell(r, 0, 0, 2)->Value().AsFloat(), -1.25);
  EXPECT_EQ(Cell(r, 0, 0, 3)->Value().AsFloat(), -300.0);
  EXPECT_EQ(Cell(r, 0, 1, 0)->Value().AsFloat(), 5e-9);
  EXPECT_EQ(Cell(r, 0, 1, 1)->Value().AsFloat(), 7e12);
  EXPECT_EQ(Cell(r, 0, 1, 2)->Value().AsInteger(), 67108863);
  EXPECT_EQ(Cell(r, 0, 1, 3)->Value().AsInteger(), 0);
}

// Texts of the multibyte set: every group, and what no character maps.
TEST_F(LotusTest, MultibyteTextHasNoStrayControlCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {"abc\x01\r\x01\ndef", "abc\r\ndef"},             // group-1 line break, as later releases store it
      {"abc\x0F-\x0F*def", "abc\r\ndef"},               // the same through the control group
      {"caf\x01\x82", "caf\xC3\xA9"},                   // e-acute from code page 850
      {"\x05\xC4\x05\xE0", "\xD0\x94\xD0\xB0"},         // Cyrillic (group 5, code page 1251)
      {"\x06\xA6", "\xC5\xBD"},                         // Latin 2 (group 6, code page 852)
      {"\x10\x82\xA0", "\xE3\x81\x82"},                 // Japanese double-byte
      {"\x10\x10\xB1", "\xEF\xBD\xB1"},                 // a single-byte character of the Japanese group
      {"\x14\x20\xAC", "\xE2\x82\xAC"},                 // a UTF-16 unit
      {"\x14\xF6\x41", "\xE4\x84\x80"},                 // F6 stands for a zero low byte
      {"\x14\xD8\x3D\x14\xF6\xDE", "\xF0\x9F\x98\x80"}, // a surrogate pair
      {"\x14\xD8\x3D!", "\xEF\xBF\xBD!"},               // an unpaired surrogate
      {"a\x07" "b\x1F" "c\x19" "d", "a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c\xEF\xBF\xBD" "d"},  // no such group
      {"a\x0F\x21" "b", "a\xEF\xBF\xBD" "b"},           // SOH through the control group
      {"a\x01\x05" "b", "a\xEF\xBF\xBD" "b"},           // a group-1 pair of another control
      {"a\x01" "Ab", "a\xEF\xBF\xBD" "b"},              // an exception pair the reader does not know
      {std::string("a\x14\x00\x05" "b", 5), "a\xEF\xBF\xBD"},  // the text ends at its NUL, inside the sequence
      {"tail\x01", "tail\xEF\xBF\xBD"},                 // a prefix cut off by the end
      {"tab\there", "tab\there"},
  };
  LotusBuilder b;
  b.Bof(0x1002).SheetName(0, "Q\x01\x84");
  uint16_t row = 0;
  for (const auto& c : cases) b.Label3(row++, 0, 0, '\'', c.first);
  b.Eof();
  TLotus123 r;
  Load(r, b.Data());
  for (size_t i = 0; i < std::size(cases); ++i) {
    const TQXICell* c = Cell(r, 0, int32_t(i), 0);
    ASSERT_TRUE(c) << i;
    EXPECT_EQ(c->Value().AsString(), cases[i].second) << i;
  }
  EXPECT_EQ(Utf16ToUtf8(r.Sheets[0].Caption), "Q\xC3\xA4");
}

TEST_F(LotusTest, MultiSheetFamilyIgnoresOneSheetCellOpcodes) {
  // In WK3 and later these opcodes hold settings; they must not plant cells.
  LotusBuilder b;
  b.Bof(0x1000)
      .Record(0x0E, Bytes(30, 0x00))
      .Record(0x0F, Bytes(86, 0x00))
      .Record(0x10, Bytes(3, 0x01))
      .Record(0x33, Bytes(8, 0x00))
      .Eof();
  TLotus123 r;
  Load(r, b.Data());
  EXPECT_EQ(r.Sheets.Count(), 0);
}

TEST_F(LotusTest, VersionWords) {
  const std::pair<uint16_t, TWKSVersion> words[] = {
      {0x0404, wvWKS1}, {0x0405, wvWKS2}, {0x0406, wvWR1}, {0x1000, wvWKS3}, {0x1002, wvWKS4},
      {0x8007, wvWKS4}, {0x1003, wv123},  {0x1004, wv123}, {0x1005, wv123}};
  for (auto [word, version] : words) {
    LotusBuilder b;
    b.Bof(word).Eof();
    TLotus123 r;
    Load(r, b.Data());
    EXPECT_EQ(r.Version(), version) << std::hex << word;
  }
  // A later BOF with a known word wins; an unknown one is ignored.
  LotusBuilder b;
  b.Bof(0x1000).Bof(0x1234).Bof(0x1005).Bof(0x4321).Eof();
  TLotus123 r;
  Load(r, b.Data());
  EXPECT_EQ(r.Version(), wv123);
}

TEST_F(LotusTest, EndingBofWords) {
  for (uint16_t word : {0x0101, 0xB200, 0xBFFF}) {
    LotusBuilder b;
    b.Bof(word).Label3(0, 0, 0, '\'', "never").Eof();
    TLotus123 r;
    Load(r, b.Data());
    EXPECT_EQ(r.Sheets.Count(), 0) << word;
  }
  // Mid-file, what came before stays.
  LotusBuilder b;
  b.Bof(0x1000).Label3(0, 0, 0, '\'', "kept").Bof(0xB200).Label3(1, 0, 0, '\'', "dropped");
  TLotus123 r;
  Load(r, b.Data());
  EXPECT_TRUE(Cell(r, 0, 0, 0));
  EXPECT_FALSE(Cell(r, 0, 1, 0));
}

TEST_F(LotusTest, NotALotusWorksheet) {
  const std::string invalid = "Invalid file version or file format.";
  EXPECT_EQ(LoadError({}), invalid);
  EXPECT_EQ(LoadError({0x00, 0x00}), invalid);
  EXPECT_EQ(LoadError(LotusBuilder().Record(0x0F, LotusBuilder::Old(0, 0, {'\'', 'a', 0})).Data()), invalid);
  // Works 3 files start with their own BOF opcode 0xFF.
  EXPECT_EQ(LoadError(LotusBuilder().Record(0xFF, {0x04, 0x04}).Label1(0, 0, '\'', "a").Data()), invalid);
  EXPECT_EQ(LoadError(LotusBuilder().Record(0x00, {}).Label1(0, 0, '\'', "a").Data()), invalid);
  EXPECT_EQ(LoadError(LotusBuilder().Bof(0x1234).Data()), invalid);
  EXPECT_EQ(LoadError(LotusBuilder().RecordWithLength(0x00, 26, {0x00, 0x10}).Data()), invalid);
  // An unknown version word is the crypt family's error, as callers expect.
  TLotus123 r;
  EXPECT_THROW(Load(r, LotusBuilder().Bof(0x1234).Data()), EQXICryptException);
}

TEST_F(LotusTest, PasswordRecord) {
  LotusBuilder b;
  b.Bof(0x1000).Label3(0, 0, 0, '\'', "before").Record(0x37, {1, 2, 3, 4}).Label3(1, 0, 0, '\'', "after");
  TLotus123 r;
  try {
    Load(r, b.Data());
    FAIL() << "no error";
  } catch (const EQXICryptException& e) {
    EXPECT_EQ(e.Message(), "Password protected file is not supported.");
  }
  EXPECT_TRUE(r.PasswordProtected());
  EXPECT_TRUE(Cell(r, 0, 0, 0));
  EXPECT_FALSE(Cell(r, 0, 1, 0));

  // Ignored for WR1, and the flag is cleared by the next load.
  LotusBuilder wr1;
  wr1.Bof(0x0406).Record(0x37, {1, 2, 3, 4}).Label1(0, 0, '\'', "x").Eof();
  Load(r, wr1.Data());
  EXPECT_FALSE(r.PasswordProtected());
  EXPECT_TRUE(Cell(r, 0, 0, 0));
}

TEST_F(LotusTest, ShortAndOversizedRecords) {
  LotusBuilder b;
  b.Bof(0x0406)
      .Record(0x0E, LotusBuilder::Old(0, 0, {1, 2, 3}))            // number without its 8 bytes
      .Record(0x0D, LotusBuilder::Old(1, 0, {}))                   // integer without its word
      .Record(0x0F, LotusBuilder::Old(2, 0, {}))                   // label without prefix
      .Record(0x0F, {0xFF, 0x03})                                  // label without its row
      .Record(0x33, LotusBuilder::Old(4, 0, {}))                   // string without text
      .Record(0x0F, LotusBuilder::Old(3, 0, {'\'', 0}))            // empty label is fine
      .Record(0x13, {0, 0})                                        // row formats without row
      .Record(0x0E, Bytes(40000, 0x00))                            // passed over
      .Integer1(0, 1, 7)
      .Eof();
  Bytes data = b.Data();
  TLotus123 r;
  int seenLong = 0;
  // A record of 32768 bytes or more is passed over; OnRecord sees zeros.
  LotusBuilder big;
  big.Bof(0x0406).Record(0x0E, Bytes(33000, 0x41)).Integer1(0, 1, 7).Eof();
  r.OnRecord = [&](TCustomSpreadSheetFile*, const TBIFFRecordHeader& h, TByteArray& d) {
    if (h.RecLen == 33000) seenLong += (d[0] == 0 && d.size() == TLotus123::RecordBufferSize);
  };
  Load(r, big.Data());
  EXPECT_EQ(seenLong, 1);
  EXPECT_EQ(Cell(r, 0, 1, 0)->Value().AsInteger(), 7);

  // A short record costs its cell, with a warning naming the record, the
  // sheet and the offset; without a handler it ends the load.
  r.OnRecord = nullptr;
  EXPECT_EQ(LoadError(data), "Record 0x000E (sheet 1, stream offset 6) is too short for its data.");
  std::vector<std::string> warnings;
  r.OnErrorProcess = [&](TCustomSpreadSheetFile*, const std::exception& e, bool& abort) {
    warnings.push_back(e.what());
    abort = false;
  };
  Load(r, data);
  ASSERT_EQ(warnings.size(), 6u);
  EXPECT_EQ(warnings[0], "Record 0x000E (sheet 1, stream offset 6) is too short for its data.");
  EXPECT_EQ(warnings[1], "Record 0x000D (sheet 1, stream offset 18) is too short for its data.");
  EXPECT_EQ(warnings[5].substr(0, 14), "Record 0x0013 ");
  ASSERT_EQ(r.Sheets.Count(), 1);
  for (int col : {0, 1, 2, 4}) EXPECT_FALSE(Cell(r, 0, 0, col)) << col;
  ASSERT_TRUE(Cell(r, 0, 0, 3));
  EXPECT_EQ(Cell(r, 0, 0, 3)->Value().AsString(), "");
  EXPECT_EQ(Cell(r, 0, 1, 0)->Value().AsInteger(), 7);
}

TEST_F(LotusTest, TruncatedAndTrailingData) {
  // A length word beyond the end: the data ends there, cells before stay,
  // and the load says the file is truncated.
  LotusBuilder b;
  b.Bof(0x1000).Label3(0, 0, 0, '\'', "kept").RecordWithLength(0x16, 200, {0, 0, 0, 1, '\'', 'x'});
  TLotus123 r;
  EXPECT_THROW(Load(r, b.Data()), EQXIFileTruncatedException);
  EXPECT_TRUE(Cell(r, 0, 0, 0));
  EXPECT_FALSE(Cell(r, 0, 0, 1));
  // The message names the record and where it starts.
  EXPECT_EQ(LoadError(b.Data()),
            "The file is truncated: it ends at byte 30 inside record 0x0016 of 200 bytes at stream offset 20");

  // After the last EOF only a new BOF goes on; anything else is no record stream.
  LotusBuilder wk4;
  wk4.Bof(0x1002)
      .Label3(0, 0, 0, '\'', "a")
      .Eof()
      .Bof(0x8007)
      .Label3(1, 0, 0, '\'', "b")
      .Eof()
      .Label3(2, 0, 0, '\'', "junk")
      .Raw({0x16, 0x00});
  Load(r, wk4.Data());
  EXPECT_TRUE(Cell(r, 0, 0, 0));
  EXPECT_TRUE(Cell(r, 0, 1, 0));
  EXPECT_FALSE(Cell(r, 0, 2, 0));
}

TEST_F(LotusTest, RecordEventAndBlanks) {
  LotusBuilder b;
  b.Bof(0x0406).Record(0x02, {}).Record(0x0C, LotusBuilder::Old(1, 1, {})).Eof();
  RecordingLotus r;
  std::vector<uint16_t> seen;
  r.OnRecord = [&](TCustomSpreadSheetFile*, const TBIFFRecordHeader& h, TByteArray&) { seen.push_back(h.RecNo); };
  Load(r, b.Data());
  EXPECT_EQ(seen, (std::vector<uint16_t>{0x00, 0x0C}));  // zero-length records are not reported
  EXPECT_TRUE(r.Delivered.empty());

  r.LoadNULLs = true;
  r.Delivered.clear();
  Load(r, b.Data());
  ASSERT_EQ(r.Delivered.size(), 1u);
  EXPECT_TRUE(r.Delivered[0].Value.IsNull());
  EXPECT_EQ(r.Delivered[0].CellType, ictEmpty);
  EXPECT_EQ(r.Delivered[0].Row, 1);
  ASSERT_EQ(r.Sheets.Count(), 1);  // the model stores no null
  EXPECT_EQ(r.Sheets[0].Cells.RowCount, 0);
}

TEST_F(LotusTest, RowFormatsGiveFormatIndex) {
  LotusBuilder b;
  b.Bof(0x1000)
      // Sheet 0, row 2: entry 0 (0x40: column 0), entry 1 (0xC0, run of 3), entry 2 (0x80, never matches).
      .Record(0x13, {0, 0, 2, 0, /*e0*/ 5, 0x40, 0x00, 0x40, /*e1*/ 6, 0x80, 0x00, 0xC0, 3, /*e2*/ 7, 0, 0, 0x80, 9,
                     /*partial*/ 1, 2})
      // Sheet 0, row 2 again: entry 3, run of 1, later so it wins for column 0.
      .Record(0x13, {0, 0, 2, 0, 8, 0, 0, 0xC0, 1})
      .Label3(2, 0, 0, '\'', "a")
      .Label3(2, 0, 2, '\'', "c")
      .Label3(2, 0, 3, '\'', "d")
      .Label3(2, 1, 0, '\'', "other sheet")
      .Label3(3, 0, 0, '\'', "other row")
      .Eof();
  TLotus123 r;
  Load(r, b.Data());
  const auto& list = r.FormatList();
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].FormatCode, 5);
  EXPECT_EQ(list[0].RunKind, 0x40);
  EXPECT_EQ(list[0].FormatValue, 1u);  // 0x000040 >> 6
  EXPECT_EQ(list[1].RunKind, 0xC0);
  EXPECT_EQ(list[1].RunCount, 3);
  EXPECT_EQ(list[1].FormatValue, 2u);  // 0x000080 >> 6
  EXPECT_EQ(list[2].RunCount, 9);
  EXPECT_EQ(list[3].Row, 2);
  // The later record for row 2 holds: format byte 8 (fixed, 8 places) for
  // columns 0 and 1, nothing beyond; other rows and sheets have none.
  auto code = [&](int sheet, int row, int col) { return r.Sheets[sheet].Formats().Code(Cell(r, sheet, row, col)->FormatIndex()); };
  EXPECT_EQ(code(0, 2, 0), "0.00000000");
  EXPECT_EQ(code(0, 2, 2), "General");
  EXPECT_EQ(code(0, 2, 3), "General");
  EXPECT_EQ(code(1, 2, 0), "General");
  EXPECT_EQ(code(0, 3, 0), "General");

  Load(r, LotusBuilder().Bof(0x1000).Eof().Data());
  EXPECT_TRUE(r.FormatList().empty());
}

TEST_F(LotusTest, SheetNamesAndWidths) {
  LotusBuilder b;
  b.Bof(0x1000)
      .SheetName(0, "First")
      .Record(0x1B, {0xB0, 0x36, 2, 0, 'T', 'h', 'i', 'r', 'd', 0})
      .SheetName(0, "Again")  // already there: ignored
      .Label3(0, 2, 0, '\'', "on third")
      .Record(0x24, {1, 3, 0, 12})
      .Record(0x24, {5, 4, 0, 12})
      .Eof();
  TLotus123 r;
  Load(r, b.Data());
  ASSERT_EQ(r.Sheets.Count(), 3);
  EXPECT_EQ(r.Sheets[0].Caption, u"First");
  EXPECT_EQ(r.Sheets[1].Caption, u"Sheet2");
  EXPECT_EQ(r.Sheets[2].Caption, u"Third");
  EXPECT_EQ(Cell(r, 2, 0, 0)->Value().AsString(), "on third");
  EXPECT_EQ(r.Sheets[0].ColumnWidths, (std::vector<int32_t>{0, 12 * 256, 12 * 256, 12 * 256}));

  // Row heights: 8-byte entries after the 4-byte head; only with a listener.
  LotusBuilder rh;
  rh.Bof(0x1002).Record(0x1B, {0xD7, 0x07, 1, 0, 4, 0, 0x80, 0x03, 0, 0, 0, 0, 9, 0, 0x40, 0x01, 0, 0, 0, 0, 1}).Eof();
  std::vector<std::tuple<int, int, int>> heights;
  TLotus123 r3;
  r3.OnRowHeight = [&](TCustomSpreadSheetFile*, int32_t s, int32_t row, int32_t h) { heights.emplace_back(s, row, h); };
  Load(r3, rh.Data());
  EXPECT_EQ(heights, (std::vector<std::tuple<int, int, int>>{{1, 4, 28}, {1, 9, 10}}));
}
