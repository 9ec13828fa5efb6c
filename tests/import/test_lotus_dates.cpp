// Lotus numbers whose format is a date or a time arrive as date-times.
#include <gtest/gtest.h>

#include "LotusBuilder.h"
#include "QXWKS.h"

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

}  // namespace
