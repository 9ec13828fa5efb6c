#include <gtest/gtest.h>

#include <cstdlib>

#include "BiffBuilder.h"
#include "CodePage.h"
#include "DateTime.h"
#include "QXI_Sum.h"

namespace {

struct Prop {
  uint32_t id;
  biff::Body value;  // type and payload
};

// A property set with one section holding the given properties.
std::vector<uint8_t> PropertySet(const std::vector<Prop>& props) {
  biff::Body b;
  b.u16(0xFFFE).u16(0).u32(0x00020005);
  for (int i = 0; i < 16; ++i) b.u8(0);  // class id
  b.u32(1);
  for (int i = 0; i < 16; ++i) b.u8(0);  // format id
  b.u32(48);                             // section offset
  biff::Body sec;
  size_t offset = 8 + props.size() * 8;
  biff::Body table, values;
  for (const Prop& p : props) {
    table.u32(p.id).u32(uint32_t(offset + values.d.size()));
    values.d.insert(values.d.end(), p.value.d.begin(), p.value.d.end());
    while (values.d.size() % 4) values.u8(0);
  }
  sec.u32(uint32_t(8 + table.d.size() + values.d.size())).u32(uint32_t(props.size()));
  sec.d.insert(sec.d.end(), table.d.begin(), table.d.end());
  sec.d.insert(sec.d.end(), values.d.begin(), values.d.end());
  b.d.insert(b.d.end(), sec.d.begin(), sec.d.end());
  return b.d;
}

biff::Body Lpstr(const std::string& bytes) {
  biff::Body b;
  b.u32(30).u32(uint32_t(bytes.size())).bytes(bytes);
  return b;
}
biff::Body I4(int32_t v) { return biff::Body().u32(3).u32(uint32_t(v)); }
biff::Body I2(int16_t v) { return biff::Body().u32(2).u16(uint16_t(v)).u16(0); }
biff::Body FileTime(uint64_t ft) { return biff::Body().u32(64).u32(uint32_t(ft)).u32(uint32_t(ft >> 32)); }

class SummaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
};

}  // namespace

TEST_F(SummaryTest, ReadsSummaryAndDocumentSets) {
  TQXISummaryInformation si;
  // 2009-05-12 10:20:31 UTC as a file time; the odd second drops to the 2-second step.
  const uint64_t ft = (uint64_t(1242123631) * 10000000ull) + 116444736000000000ull;
  auto sum = PropertySet({{2, Lpstr(std::string("Sales\0", 6))},
                          {4, Lpstr("Ann")},
                          {14, I4(7)},
                          {12, FileTime(ft)},
                          {10, FileTime(600000000ull)},  // an editing time of one minute
                          {99, I4(5)}});
  si.ReadPropertySet(sum.data(), sum.size(), false);
  EXPECT_EQ(si.Title, "Sales");  // the counted terminator is not kept
  EXPECT_EQ(si.Author, "Ann");
  EXPECT_EQ(si.PageCount, 7);
  EXPECT_DOUBLE_EQ(si.Created, EncodeDate(2009, 5, 12) + EncodeTime(10, 20, 30, 0));
  EXPECT_EQ(si.EditTime, 0);

  auto doc = PropertySet({{15, Lpstr("Kestra")}, {5, I4(12)}, {2, Lpstr("Cat")}});
  si.ReadPropertySet(doc.data(), doc.size(), true);
  EXPECT_EQ(si.Company, "Kestra");
  EXPECT_EQ(si.LineCount, 12);
  EXPECT_EQ(si.Category, "Cat");
  EXPECT_EQ(si.Title, "Sales");  // the document set has its own identifiers

  TQXISummaryInformation copy;
  copy.Assign(si);
  EXPECT_EQ(copy.Company, "Kestra");
  si.Clear();
  EXPECT_EQ(si.Title, "");
  EXPECT_EQ(si.PageCount, 0);
  EXPECT_EQ(si.Created, 0);
}

TEST_F(SummaryTest, StringsFollowTheSetsCodePage) {
  SetACPOverride(CP_UTF8);
  TQXISummaryInformation si;
  // The code page entry comes after the string it governs.
  auto set = PropertySet({{2, Lpstr("\xC4\xE8\xEC\x00")}, {1, I2(1251)}, {4, Lpstr("\xE9")}});
  si.ReadPropertySet(set.data(), set.size(), false);
  EXPECT_EQ(si.Title, "\xD0\x94\xD0\xB8\xD0\xBC");  // "Дим"
  EXPECT_EQ(si.Author, "\xD0\xB9");
  TQXISummaryInformation latin;
  auto plain = PropertySet({{4, Lpstr("Jos\xE9")}});
  latin.ReadPropertySet(plain.data(), plain.size(), false);
  EXPECT_EQ(latin.Author, "Jos\xC3\xA9");  // Windows-1252 without a code page
  SetACPOverride(0);
}

TEST_F(SummaryTest, DamagedSetsRaiseAndKeepWhatWasRead) {
  auto set = PropertySet({{2, Lpstr("Title")}, {4, Lpstr("Someone")}});
  // Point the second property beyond the stream.
  auto bad = set;
  bad[48 + 8 + 12] = 0xF0;
  bad[48 + 8 + 13] = 0xFF;
  TQXISummaryInformation si;
  EXPECT_THROW(si.ReadPropertySet(bad.data(), bad.size(), false), EQXIFileFormatException);
  EXPECT_EQ(si.Title, "Title");
  // A huge property count and a string longer than the stream.
  auto many = set;
  many[48 + 4] = 0xFF;
  many[48 + 7] = 0x7F;
  EXPECT_THROW(si.ReadPropertySet(many.data(), many.size(), false), EQXIFileFormatException);
  auto longStr = PropertySet({{2, biff::Body().u32(30).u32(0x7FFFFFF0)}});
  EXPECT_THROW(si.ReadPropertySet(longStr.data(), longStr.size(), false), EQXIFileFormatException);
  std::vector<uint8_t> tiny(10, 0);
  EXPECT_THROW(si.ReadPropertySet(tiny.data(), tiny.size(), false), EQXIFileFormatException);
}

TEST_F(SummaryTest, XmlPropertiesAndDates) {
  TQXISummaryInformation si;
  si.SetXMLProperty("dc:title", "Budget");
  si.SetXMLProperty("Pages", "abc");
  si.SetXMLProperty("Words", "42");
  si.SetXMLProperty("DC:TITLE", "ignored");  // names compare with case
  si.SetXMLProperty("dcterms:created", "2009-05-12T10:20:30Z");
  si.SetXMLProperty("dcterms:modified", "2009-13-12T10:20:30Z");
  EXPECT_EQ(si.Title, "Budget");
  EXPECT_EQ(si.PageCount, 0);
  EXPECT_EQ(si.WordCount, 42);
  EXPECT_DOUBLE_EQ(si.Created, EncodeDate(2009, 5, 12) + EncodeTime(10, 20, 30, 0));
  EXPECT_DOUBLE_EQ(si.LastSaved, EncodeTime(10, 20, 30, 0));  // month 13: the time only
  // Impossible dates give 0 instead of failing the load.
  si.SetXMLProperty("dcterms:created", "2009-02-30T10:20:30Z");
  EXPECT_EQ(si.Created, 0);
  si.SetXMLProperty("dcterms:created", "2009-02-03T25:20:30Z");
  EXPECT_EQ(si.Created, 0);
  si.SetXMLProperty("dcterms:created", "");
  EXPECT_EQ(si.Created, 0);
}

TEST_F(SummaryTest, FileTimeRange) {
  EXPECT_EQ(TQXISummaryInformation::FileTimeToDateTime(0), 0);
  // 1979-12-31 is before the packed range, 2108 after it.
  const uint64_t base = 116444736000000000ull;
  EXPECT_EQ(TQXISummaryInformation::FileTimeToDateTime(base + uint64_t(315446400) * 10000000ull), 0);
  EXPECT_GT(TQXISummaryInformation::FileTimeToDateTime(base + uint64_t(315532800) * 10000000ull), 0);
  EXPECT_EQ(TQXISummaryInformation::FileTimeToDateTime(base + uint64_t(4355222400) * 10000000ull), 0);
  EXPECT_EQ(TQXISummaryInformation::FileTimeToDateTime(UINT64_MAX), 0);
}
