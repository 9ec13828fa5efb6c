// The record cursor shared by the binary readers: header layouts, the end
// of the stream inside a record, look-ahead, seeking and the error path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QXIRecords.h"
#include "Streams.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Word(uint16_t type, const Bytes& data) {
  Bytes b{uint8_t(type), uint8_t(type >> 8), uint8_t(data.size()), uint8_t(data.size() >> 8)};
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A stream that hands out at most a few bytes per read, as inflating and
// storage streams may.
class TDribbleStream : public TCustomMemoryStream {
 public:
  using TCustomMemoryStream::TCustomMemoryStream;
  int64_t Read(void* buffer, int64_t count) override { return TCustomMemoryStream::Read(buffer, std::min<int64_t>(count, 3)); }
};

struct Cursor {
  explicit Cursor(const Bytes& data, TRecordHeaderKind kind = TRecordHeaderKind::Word, size_t bufferSize = 64,
                  size_t maxLength = 64)
      : Data(data), Stream(Data.data(), int64_t(Data.size())), Buffer(bufferSize, 0),
        C(Reader, Stream, kind, Buffer, maxLength) {}
  Bytes Data;
  TCustomMemoryStream Stream;
  TSpreadSheetFile Reader;
  TByteArray Buffer;
  TRecordCursor C;
};

TEST(RecordCursor, WordRecordsWithTheirOffsetsAndACleanEnd) {
  Cursor c(Word(0x0809, {1, 2}) + Word(0x0203, {}) + Word(0x000A, {9}));
  ASSERT_TRUE(c.C.Next());
  EXPECT_EQ(c.C.Type(), 0x0809u);
  EXPECT_EQ(c.C.Length(), 2u);
  EXPECT_EQ(c.C.Offset(), 0);
  EXPECT_EQ(c.C.View().U16(0), 0x0201);
  ASSERT_TRUE(c.C.Next());
  EXPECT_EQ(c.C.Offset(), 6);
  EXPECT_EQ(c.C.View().Size(), 0u);
  ASSERT_TRUE(c.C.Next());
  EXPECT_EQ(c.C.Offset(), 10);
  EXPECT_EQ(c.C.Position(), 15);
  EXPECT_FALSE(c.C.Next());
  EXPECT_EQ(c.C.End(), TRecordEnd::Clean);
  EXPECT_EQ(c.C.EndText(), "");
  EXPECT_FALSE(c.C.Next());  // stays at the end
}

TEST(RecordCursor, TheStreamEndingInsideARecordIsNamed) {
  Cursor header(Word(0x0001, {}) + Bytes{0x03, 0x02});
  ASSERT_TRUE(header.C.Next());
  EXPECT_FALSE(header.C.Next());
  EXPECT_EQ(header.C.End(), TRecordEnd::InHeader);
  EXPECT_EQ(header.C.EndText(), "ends at byte 6 inside a record header");

  Bytes cut = Word(0x0001, {}) + Word(0x0203, Bytes(14, 0));
  cut.resize(cut.size() - 5);
  Cursor data(cut);
  ASSERT_TRUE(data.C.Next());
  EXPECT_FALSE(data.C.Next());
  EXPECT_EQ(data.C.End(), TRecordEnd::InData);
  EXPECT_EQ(data.C.EndText(), "ends at byte 17 inside record 0x0203 of 14 bytes at stream offset 4");

  // A record longer than the reader takes is passed over, and still seen to be cut.
  Bytes over = Word(0x00FC, Bytes(100, 7)) + Word(0x0001, {5}) + Word(0x00FC, Bytes(90, 7));
  over.resize(over.size() - 1);
  Cursor o(over);
  ASSERT_TRUE(o.C.Next());
  EXPECT_TRUE(o.C.Oversized());
  EXPECT_EQ(o.C.View().Size(), 0u);
  ASSERT_TRUE(o.C.Next());
  EXPECT_FALSE(o.C.Oversized());
  EXPECT_EQ(o.C.View().U8(0), 5);
  EXPECT_FALSE(o.C.Next());
  EXPECT_EQ(o.C.End(), TRecordEnd::InData);
}

TEST(RecordCursor, RecordsLargerThanTheInputBlockAndShortReads) {
  // Records spanning several input blocks, read from a stream that gives
  // three bytes at a time.
  Bytes data;
  for (int i = 0; i < 12; ++i) data = data + Word(uint16_t(i), Bytes(30000, uint8_t(i)));
  TDribbleStream s(data.data(), int64_t(data.size()));
  TSpreadSheetFile reader;
  TByteArray buffer(32768, 0);
  TRecordCursor c(reader, s, TRecordHeaderKind::Word, buffer, 32768);
  for (int i = 0; i < 12; ++i) {
    ASSERT_TRUE(c.Next()) << i;
    EXPECT_EQ(c.Type(), uint32_t(i));
    EXPECT_EQ(c.Offset(), int64_t(i) * 30004);
    EXPECT_EQ(c.View().U8(0), i);
    EXPECT_EQ(c.View().U8(29999), i);
  }
  EXPECT_FALSE(c.Next());
  EXPECT_EQ(c.End(), TRecordEnd::Clean);
}

TEST(RecordCursor, AListenerThatResizedTheBufferGetsItsSizeBack) {
  Cursor c(Word(0x0001, {1}) + Word(0x0002, {2, 3}));
  ASSERT_TRUE(c.C.Next());
  c.Buffer.clear();
  EXPECT_EQ(c.C.View().Size(), 0u);  // never past what is there
  ASSERT_TRUE(c.C.Next());
  EXPECT_EQ(c.Buffer.size(), 64u);
  EXPECT_EQ(c.C.View().U16(0), 0x0302);
}

TEST(RecordCursor, LookAheadTakesOnlyTheWantedType) {
  Cursor c(Word(0x00FC, {1}) + Word(0x003C, {2}) + Word(0x003C, Bytes(65, 0)) + Word(0x0203, {3}));
  ASSERT_TRUE(c.C.Next());
  ASSERT_TRUE(c.C.NextIf(0x003C));
  EXPECT_EQ(c.C.Offset(), 5);
  EXPECT_EQ(c.C.View().U8(0), 2);
  // Too long for the buffer: left for the loop, the current record kept.
  EXPECT_FALSE(c.C.NextIf(0x003C));
  EXPECT_EQ(c.C.Offset(), 5);
  EXPECT_EQ(c.C.Type(), 0x003Cu);
  ASSERT_TRUE(c.C.Next());
  EXPECT_TRUE(c.C.Oversized());
  EXPECT_FALSE(c.C.NextIf(0x003C));
  ASSERT_TRUE(c.C.Next());
  EXPECT_EQ(c.C.Type(), 0x0203u);
  EXPECT_FALSE(c.C.NextIf(0x003C));
  EXPECT_FALSE(c.C.Next());
  EXPECT_EQ(c.C.End(), TRecordEnd::Clean);
}

TEST(RecordCursor, SeekGoesBackAndForward) {
  Bytes data = Word(0x0001, {1});
  for (int i = 0; i < 5; ++i) data = data + Word(0x0002, Bytes(30000, uint8_t(i)));
  data = data + Word(0x0003, {3});
  TCustomMemoryStream s(data.data(), int64_t(data.size()));
  TSpreadSheetFile reader;
  TByteArray buffer(32768, 0);
  TRecordCursor c(reader, s, TRecordHeaderKind::Word, buffer, 32768);
  ASSERT_TRUE(c.Next());
  const int64_t last = int64_t(data.size()) - 5;
  c.Seek(last);  // beyond what is buffered
  ASSERT_TRUE(c.Next());
  EXPECT_EQ(c.Type(), 0x0003u);
  EXPECT_FALSE(c.Next());
  c.Seek(0);  // the end is forgotten
  ASSERT_TRUE(c.Next());
  EXPECT_EQ(c.Type(), 0x0001u);
  ASSERT_TRUE(c.Next());
  EXPECT_EQ(c.View().U8(0), 0);
}

TEST(RecordCursor, VarintHeaders) {
  // Type 0x269 in two groups, size 200 in two groups; then type 0x13, size 1.
  Bytes data{0xE9, 0x04, 0xC8, 0x01};
  data.resize(data.size() + 200, 0xAB);
  data = data + Bytes{0x13, 0x01, 0x07};
  Cursor c(data, TRecordHeaderKind::Varint, 0, 0);
  ASSERT_TRUE(c.C.Next());
  EXPECT_EQ(c.C.Type(), 0x269u);
  EXPECT_EQ(c.C.Length(), 200u);
  EXPECT_EQ(c.Buffer.size(), 200u);  // grown to the record
  ASSERT_TRUE(c.C.Next());
  EXPECT_EQ(c.C.Type(), 0x13u);
  EXPECT_EQ(c.C.Offset(), 204);
  EXPECT_EQ(c.C.View().U8(0), 7);
  EXPECT_FALSE(c.C.Next());
  EXPECT_EQ(c.C.End(), TRecordEnd::Clean);

  // A size of five groups is no header; a size that promises more than
  // there is ends inside the record without allocating it.
  Cursor bad(Bytes{0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, TRecordHeaderKind::Varint, 0, 0);
  EXPECT_FALSE(bad.C.Next());
  EXPECT_EQ(bad.C.End(), TRecordEnd::BadHeader);
  EXPECT_EQ(bad.C.EndText(), "has a malformed record header at stream offset 0");
  Cursor huge(Bytes{0x05, 0xFF, 0xFF, 0xFF, 0x7F, 1, 2}, TRecordHeaderKind::Varint, 0, 0);
  EXPECT_FALSE(huge.C.Next());
  EXPECT_EQ(huge.C.End(), TRecordEnd::InData);
  EXPECT_LT(huge.Buffer.capacity(), 1024u);
  Cursor head(Bytes{0x85}, TRecordHeaderKind::Varint, 0, 0);
  EXPECT_FALSE(head.C.Next());
  EXPECT_EQ(head.C.End(), TRecordEnd::InHeader);
}

TEST(RecordCursor, DamagedRecordsTakeOnePath) {
  Cursor c(Word(0x0001, {}) + Word(0x0203, {1, 2}));
  c.C.Next();
  c.C.Next();
  c.C.Sheet = 1;
  auto shortRead = [&] { c.C.View().U32(0); };
  // Without a handler the error ends the load, in the reader's class.
  try {
    c.C.Dispatch<EQXIExcelException>(shortRead);
    FAIL();
  } catch (const EQXIExcelException& e) {
    EXPECT_STREQ(e.what(), "Record 0x0203 (sheet 2, stream offset 4) is too short for its data.");
  }
  std::vector<std::string> offered;
  c.Reader.OnErrorProcess = [&](TCustomSpreadSheetFile*, const std::exception& e, bool& abort) {
    offered.push_back(e.what());
    abort = false;
  };
  c.C.Part = "xl/worksheets/sheet2.bin";
  c.C.Dispatch(shortRead);
  c.C.Dispatch([&] { c.C.Damaged("cell A0 is no cell"); });
  ASSERT_EQ(offered.size(), 2u);
  EXPECT_EQ(offered[0],
            "Record 0x0203 (part \"xl/worksheets/sheet2.bin\", sheet 2, stream offset 4) is too short for its data.");
  EXPECT_EQ(offered[1], "Record 0x0203 (part \"xl/worksheets/sheet2.bin\", sheet 2, stream offset 4): cell A0 is no cell.");
  // Errors that end every load are not offered.
  EXPECT_THROW(c.C.Dispatch([] { throw EQXIFileTruncatedException("cut"); }), EQXIFileTruncatedException);
  EXPECT_EQ(offered.size(), 2u);
}

}  // namespace
