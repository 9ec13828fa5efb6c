// Lotus numbers whose format is a date or a time arrive as date-times.
#include <gtest/gtest.h>

#include "LotusBuilder.h"
#include "QXWKS.h"
#include "QXWQ.h"

namespace {

using LB = LotusBuilder;

const TQXICell* Load(TLotus123& r, const LB& b, int32_t row, int32_t col) {
  TCustomMemoryStream stream(b.Data().data(), int64_t(b.Data().size()));
  r.LoadFromStream(stream);
  return r.Sheets.Count() ? r.Sheets[0].Cells.GetCell(col, row) : nullptr;
}

TEST(LotusDates, SpecialFormatCodes) {
  for (uint8_t code : {2, 3, 4, 9, 10, 7, 8, 11, 12}) {
    EXPECT_TRUE(LotusFormatIsDateTime(uint8_t(0x70 | code))) << int(code);
    EXPECT_TRUE(LotusFormatIsDateTime(uint8_t(0xF0 | code))) << int(code);  // protected
  }
  for (uint8_t f : {0x70, 0x71, 0x75, 0x76, 0x7D, 0x7F, 0xFF, 0x02, 0x12, 0x22, 0x39, 0x42, 0x09})
    EXPECT_FALSE(LotusFormatIsDateTime(f)) << int(f);
}

TEST(LotusDates, OneSheetFamilyByTheCellsFormatByte) {
  LB b;
  b.Bof(0x0406)
      .Record(0x0E, LB::Old(0, 0, LB::Double(41689), 0xF9))        // D4
      .Record(0x0D, LB::Old(1, 0, LB::Word(30000), 0x72))          // D1, an integer
      .Record(0x0E, LB::Old(2, 0, LB::Double(0.5), 0x77))          // D6, a time
      .Record(0x10, LB::Old(3, 0, LB::Cat({LB::Double(41690), {2, 0, 3}}), 0xFA))  // D5, a formula
      .Record(0x0E, LB::Old(4, 0, LB::Double(12.5), 0x82))         // fixed, two decimals
      .Number1(5, 0, 41689)                                        // default format
      .Label1(6, 0, '\'', "x")
      .Eof();
  TLotus123 r;
  Load(r, b, 0, 0);
  const std::pair<int, double> dates[] = {{0, 41689}, {1, 30000}, {2, 0.5}, {3, 41690}};
  for (const auto& [col, serial] : dates) {
    const TQXICell* c = r.Sheets[0].Cells.GetCell(col, 0);
    ASSERT_TRUE(c) << col;
    EXPECT_EQ(c->CellType(), ictDateTime) << col;
    EXPECT_EQ(c->Value().AsDateTime(), serial) << col;
  }
  EXPECT_EQ(r.Sheets[0].Cells.GetCell(4, 0)->CellType(), ictDecimal);
  EXPECT_EQ(r.Sheets[0].Cells.GetCell(5, 0)->CellType(), ictDecimal);
  EXPECT_EQ(r.Sheets[0].Cells.GetCell(6, 0)->CellType(), ictString);
}

// Record 0x13 lists a row's formats column by column; an entry whose fourth
// byte has bit 7 set covers one more column per count.
TEST(LotusDates, MultiSheetFamilyByTheRowFormats) {
  LB b;
  b.Bof(0x1000)
      .Record(0x13, {0, 1, 0, 0, 0x71, 0, 0, 0, 0xF9, 0, 0, 0})     // byte 1 set: not cell formats
      .Record(0x13, {0, 0, 2, 0, 0xFF, 0, 0, 0x80, 1, 0xF9, 0, 0, 0, 0x77, 0, 0, 0x40})
      .DoubleNumber(0, 0, 1, 0x40E45B2000000000ull)  // 41689, row 0
      .DoubleNumber(2, 0, 0, 0x40E45B2000000000ull)
      .DoubleNumber(2, 0, 1, 0x40E45B2000000000ull)
      .DoubleNumber(2, 0, 2, 0x40E45B2000000000ull)
      .DoubleNumber(2, 0, 3, 0x3FE0000000000000ull)  // 0.5
      .Eof();
  TLotus123 r;
  Load(r, b, 0, 0);
  auto type = [&](int row, int col) {
    const TQXICell* c = r.Sheets[0].Cells.GetCell(col, row);
    return c ? c->CellType() : ictUnknown;
  };
  EXPECT_EQ(type(0, 1), ictDecimal);
  EXPECT_EQ(type(2, 0), ictDecimal);
  EXPECT_EQ(type(2, 1), ictDecimal);
  EXPECT_EQ(type(2, 2), ictDateTime);
  EXPECT_EQ(type(2, 3), ictDateTime);
  EXPECT_EQ(r.Sheets[0].Cells.GetCell(2, 2)->Value().AsDateTime(), 41689);
}

// Format bytes as the workbook's format codes: the Lotus byte (bits 4-6
// the type, 0-3 the places or the special code) and the Quattro Pro for
// Windows byte, whose types count from 1 and whose special codes differ.
TEST(LotusFormats, FormatBytesAsCodes) {
  const struct {
    uint8_t Byte;
    const char* Lotus;
    const char* Quattro;
  } cases[] = {
      {0x00, "0", "General"},
      {0x02, "0.00", "General"},
      {0x12, "0.00E+00", "0.00"},
      {0x22, "$#,##0.00_);($#,##0.00)", "0.00E+00"},
      {0x31, "0.0%", "$#,##0.0_);($#,##0.0)"},
      {0x43, "#,##0.000_);(#,##0.000)", "0.000%"},
      {0x50, "General", "#,##0_);(#,##0)"},
      {0x71, "General", "General"},
      {0x72, "d-mmm-yy", "General"},
      {0x73, "d-mmm", "General"},
      {0x74, "mmm-yy", "General"},
      {0x76, ";;;", "General"},
      {0x77, "h:mm:ss AM/PM", "General"},
      {0x78, "h:mm AM/PM", "General"},
      {0xF9, "m/d/yy", "General"},
      {0x7A, "m/d", "General"},
      {0x7B, "h:mm:ss", "General"},
      {0x7C, "h:mm", "General"},
      {0x7D, "General", "General"},
      {0xFF, "General", "General"},
      {0x08, "0.00000000", "m/d/yy"},
      {0x65, "General", "d-mmm-yy"},
      {0x09, "0.000000000", "m/d"},
      {0x0A, "0.0000000000", "h:mm:ss AM/PM"},
      {0x0D, "0.0000000000000", "h:mm"},
      {0x6B, "General", "h:mm AM/PM"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LotusFormatCode(c.Byte), c.Lotus) << int(c.Byte);
    EXPECT_EQ(QuattroFormatCode(c.Byte), c.Quattro) << int(c.Byte);
    // The date test and the code agree.
    EXPECT_EQ(LotusFormatIsDateTime(c.Byte), IsDateTimeKind(ClassifyNumberFormat(c.Lotus))) << int(c.Byte);
  }
  EXPECT_EQ(QuattroNotebookFormatCode(0x0008), "m/d/yy");
  EXPECT_EQ(QuattroNotebookFormatCode(0x0028), "General");
}

// Every generation: a date, a time and a fixed column, four rows. The
// one-sheet family carries the format in each cell; the multi-sheet ones
// give row 0 its formats and make each later row the same as the one
// before (as 1-2-3 saves a formatted column).
TEST(LotusFormats, EveryGenerationTypesDatesAndTimes) {
  for (const uint16_t version : {0x0406, 0x1000, 0x1002, 0x1005}) {
    LB b;
    b.Bof(version);
    const bool oneSheet = version == 0x0406;
    if (!oneSheet) b.Record(0x13, {0, 0, 0, 0, 0xF9, 0, 0, 0, 0x7C, 0, 0, 0, 0x02, 0, 0, 0});
    for (uint16_t row = 0; row < 4; ++row) {
      if (!oneSheet && row > 0) b.Record(0x13, LB::Cat({{0, 2}, LB::Word(row), {0, 0}, LB::Word(uint16_t(row - 1))}));
      if (oneSheet) {
        b.Record(0x0E, LB::Old(0, row, LB::Double(41689 + row), 0xF9));
        b.Record(0x0E, LB::Old(1, row, LB::Double(0.25), 0x7C));
        b.Record(0x0D, LB::Old(2, row, LB::Word(row), 0x02));
      } else {
        double d = 41689 + row, t = 0.25;
        uint64_t bd, bt;
        std::memcpy(&bd, &d, 8);
        std::memcpy(&bt, &t, 8);
        b.DoubleNumber(row, 0, 0, bd).DoubleNumber(row, 0, 1, bt).Packed(row, 0, 2, uint32_t(row) << 6);
      }
    }
    b.Eof();
    TLotus123 r;
    Load(r, b, 0, 0);
    ASSERT_EQ(r.Sheets.Count(), 1) << version;
    const TSpreadSheet& s = r.Sheets[0];
    for (int32_t row = 0; row < 4; ++row) {
      const struct {
        int32_t Col;
        TQXICellType Type;
        const char* Code;
      } want[] = {{0, ictDateTime, "m/d/yy"}, {1, ictDateTime, "h:mm"}, {2, ictInteger, "0.00"}};
      for (const auto& w : want) {
        const TQXICell* c = s.Cells.GetCell(w.Col, row);
        ASSERT_TRUE(c) << version << " " << row << "," << w.Col;
        EXPECT_EQ(c->CellType(), w.Type) << version << " " << row << "," << w.Col;
        EXPECT_EQ(s.Formats().Code(c->FormatIndex()), w.Code) << version << " " << row << "," << w.Col;
      }
      EXPECT_EQ(s.Cells.GetCell(0, row)->Value().AsDateTime(), 41689 + row);
    }
  }
}

// 1-2-3 97 writes the cells first and their formats after them: between two
// records 0x0293, runs of sheets holding runs of columns holding runs of
// rows (0x0106/0x0107 around each level), a format word on a row run
// (0x0801), and runs shared by id (0x0802 names the level that opens next,
// 0x0803 reuses it).
TEST(LotusFormats, OneTwoThree97FormatsFollowTheCells) {
  using Bytes = LB::Bytes;
  const Bytes open = {0x06, 0x01, 0, 0}, close = {0x07, 0x01, 0, 0};
  auto rec = [](uint16_t type, const Bytes& data) {
    return LB::Cat({LB::Word(type), LB::Word(uint16_t(data.size())), data});
  };
  auto run = [&](uint32_t n) { return rec(0x0800, LB::Dword(n)); };
  auto value = [&](uint32_t word) { return rec(0x0801, LB::Dword(word)); };
  const uint32_t date = 0x806F0080, time = 0x807B0080, fixed2 = 0x82;
  const Bytes good = LB::Cat({
      open, run(1), open,                                                     // sheet 0
      run(1), rec(0x0802, LB::Word(1)), open, run(1), value(date), run(0xFFFF), close,  // A: A1
      run(1), open, run(1), run(2), value(time), run(0xFFFD), close,         // B: B2:B3
      run(1), open, run(4), value(fixed2), close,                            // C
      run(0xFD), rec(0x0803, LB::Word(1)),                                   // D.. as A
      close, run(0xFF), open, run(0x100), rec(0x0803, LB::Word(1)), close,    // sheets 1.. as A
      close});
  const struct {
    const char* What;
    Bytes Layer;
    bool Formatted;
  } layers[] = {
      {"the layer", good, true},
      {"a run before any level", LB::Cat({run(1), good}), false},
      {"a fourth level", LB::Cat({open, run(1), open, run(1), open, run(1), open, run(1), close, close, close, close}),
       false},
      {"a short format word", LB::Cat({open, run(1), open, run(1), open, run(1), rec(0x0801, {0x80, 0}), close, close,
                                       close}),
       false},
  };
  for (const auto& l : layers) {
    SCOPED_TRACE(l.What);
    LB b;
    b.Bof(0x1005);
    for (uint8_t sheet = 0; sheet < 2; ++sheet)
      for (uint8_t col = 0; col < 4; ++col)
        for (uint16_t row = 0; row < 4; ++row) b.DoubleNumber(row, sheet, col, 0x40E45B2800000000ull);  // 41689.25
    b.Record(0x0293, {}).Record(0x029A, Bytes(10, 0)).Record(0x0804, {3, 0, 3, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 1, 0, 0});
    b.Raw(l.Layer).Record(0x0293, {}).Eof();
    TLotus123 r;
    Load(r, b, 0, 0);
    ASSERT_EQ(r.Sheets.Count(), 2);
    const struct {
      int32_t Sheet, Row, Col;
      const char* Code;
    } want[] = {{0, 0, 0, "m/d/yy"}, {0, 1, 0, "General"},       {0, 0, 1, "General"},
                {0, 1, 1, "h:mm:ss AM/PM"}, {0, 2, 1, "h:mm:ss AM/PM"}, {0, 3, 1, "General"},
                {0, 3, 2, "0.00"},   {0, 0, 3, "m/d/yy"},        {0, 1, 3, "General"},
                {1, 0, 0, "m/d/yy"}, {1, 0, 2, "m/d/yy"},        {1, 1, 0, "General"}};
    for (const auto& w : want) {
      const TSpreadSheet& s = r.Sheets[w.Sheet];
      const TQXICell* c = s.Cells.GetCell(w.Col, w.Row);
      ASSERT_TRUE(c) << w.Sheet << " " << w.Row << "," << w.Col;
      const std::string code = l.Formatted ? w.Code : "General";
      EXPECT_EQ(s.Formats().Code(c->FormatIndex()), code) << w.Sheet << " " << w.Row << "," << w.Col;
      EXPECT_EQ(c->CellType(), code == "General" || code == "0.00" ? ictDecimal : ictDateTime);
      EXPECT_EQ(c->Value().ToDouble(), 41689.25);
    }
  }
  // Words of the longer lists: a currency, the first and last date, a time;
  // other types keep their byte.
  const std::pair<uint32_t, const char*> words[] = {
      {0x80360082, "$#,##0.00_);($#,##0.00)"}, {0x80630080, "m/d/yy"}, {0x80790080, "m/d/yy"},
      {0x807A0080, "h:mm:ss AM/PM"},           {0x006F0080, "0"},      {0x806F00C2, "#,##0.00_);(#,##0.00)"},
      {0x806F00F1, "General"}};
  for (const auto& [word, code] : words) EXPECT_EQ(Lotus97FormatCode(word), code) << std::hex << word;
}

}  // namespace
