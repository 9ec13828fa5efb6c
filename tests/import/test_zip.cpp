#include <gtest/gtest.h>

#include "QXIZipFile.h"
#include "ZipBuilder.h"

namespace {

struct Opened {
  std::string Bytes;
  TCustomMemoryStream Stream;
  TZipArchive Zip;
  explicit Opened(std::string bytes) : Bytes(std::move(bytes)) {
    Stream.SetPointer(Bytes.data(), int64_t(Bytes.size()));
    Zip.Open(Stream);
  }
};

std::string Repeat(const std::string& s, size_t n) {
  std::string r;
  r.reserve(s.size() * n);
  for (size_t i = 0; i < n; ++i) r += s;
  return r;
}

}  // namespace

TEST(ZipArchive, StoredAndDeflatedEntriesAndCaseFreeLookup) {
  ZipBuilder b;
  b.Add("xl/workbook.xml", "<workbook/>", 8);
  b.Add("mimetype", "application/x-test", 0);
  b.Add("xl\\worksheets\\sheet1.xml", "<worksheet/>", 8);  // written with backslashes
  Opened o(b.Build());
  ASSERT_TRUE(o.Zip.IsZip());
  ASSERT_EQ(o.Zip.Count(), 3);
  EXPECT_EQ(o.Zip.IndexOfFile("XL/WORKBOOK.XML"), 0);
  EXPECT_EQ(o.Zip.GetFileDataByName("XL/WORKBOOK.XML"), "<workbook/>");
  EXPECT_EQ(o.Zip.GetFileDataByName("mimetype"), "application/x-test");
  EXPECT_EQ(o.Zip.GetFileDataByName("xl/worksheets/sheet1.xml"), "<worksheet/>");
  EXPECT_EQ(o.Zip.GetFileDataByName("/xl/workbook.xml"), "<workbook/>");
  EXPECT_EQ(o.Zip.IndexOfFile("xl/missing.xml"), -1);
  EXPECT_EQ(o.Zip.GetFileDataByName("xl/missing.xml"), "");
  EXPECT_EQ(o.Zip.GetFileStreamByName("xl/missing.xml"), nullptr);
  EXPECT_THROW(o.Zip.GetFileData(3), Exception);
  EXPECT_THROW(o.Zip.GetFileData(-1), Exception);
}

TEST(ZipArchive, CommentPrefixAndDataDescriptors) {
  ZipBuilder b;
  b.Add("a.txt", Repeat("hello ", 100)).DataDescriptor = true;
  b.Add("empty.txt", "", 8);
  b.Add("empty-stored.txt", "", 0);
  b.Comment = std::string(300, 'c') + "PK\x05\x06";  // a comment that even holds a fake signature
  b.Prefix = "#!/bin/sh\nexit 0\n";
  Opened o(b.Build());
  ASSERT_EQ(o.Zip.Count(), 3);
  EXPECT_EQ(o.Zip.GetFileData(0), Repeat("hello ", 100));
  EXPECT_EQ(o.Zip.GetFileData(1), "");
  EXPECT_EQ(o.Zip.GetFileData(2), "");
}

TEST(ZipArchive, NotAZipIsEmpty) {
  Opened o("this is not a zip package at all, just some text that is long enough");
  EXPECT_FALSE(o.Zip.IsZip());
  EXPECT_EQ(o.Zip.Count(), 0);
  Opened tiny("PK");
  EXPECT_FALSE(tiny.Zip.IsZip());
}

TEST(ZipArchive, CrcMismatchNamesThePart) {
  ZipBuilder b;
  b.Add("xl/styles.xml", "<styleSheet/>").CrcOverride = 0x12345678;
  Opened o(b.Build());
  try {
    o.Zip.GetFileData(0);
    FAIL() << "no CRC error";
  } catch (const EZipFileCRCError& e) {
    EXPECT_STREQ(e.what(), "CRC Error in \"xl/styles.xml\".");
  }
  // The streaming path checks too, once the last byte is read.
  auto s = o.Zip.GetFileStream(0);
  char buf[64];
  EXPECT_THROW(while (s->Read(buf, sizeof buf) > 0){}, EZipFileCRCError);
}

TEST(ZipArchive, UnknownMethodIsNamed) {
  ZipBuilder b;
  b.Add("xl/sheet.xml", "abc", 12);  // bzip2
  Opened o(b.Build());
  try {
    o.Zip.GetFileData(0);
    FAIL();
  } catch (const EZipFileError& e) {
    std::string m = e.what();
    EXPECT_NE(m.find("xl/sheet.xml"), std::string::npos) << m;
    EXPECT_NE(m.find("compression method 12"), std::string::npos) << m;
  }
}

TEST(ZipArchive, PartThatInflatesPastItsDeclaredSizeIsRefused) {
  ZipBuilder b;
  b.Add("bomb.xml", std::string(100000, 'a')).DeclaredSize = 1000;
  Opened o(b.Build());
  EXPECT_THROW(o.Zip.GetFileData(0), EZipFileError);
  try {
    o.Zip.GetFileData(0);
  } catch (const EZipFileError& e) {
    EXPECT_NE(std::string(e.what()).find("bomb.xml"), std::string::npos);
  }
}

TEST(ZipArchive, ShortPartIsAnError) {
  ZipBuilder b;
  b.Add("short.xml", "abc").DeclaredSize = 10;
  b.Add("short-stored.xml", "abc", 0).DeclaredSize = 10;
  Opened o(b.Build());
  EXPECT_THROW(o.Zip.GetFileData(0), EZipFileError);
  EXPECT_THROW(o.Zip.GetFileData(1), EZipFileError);
}

TEST(ZipArchive, HugeDeclaredSizeFromTinyDataIsRefusedUpFront) {
  ZipBuilder b;
  b.Add("huge.xml", "abc").DeclaredSize = 0xF0000000;
  Opened o(b.Build());
  EXPECT_THROW(o.Zip.GetFileStream(0), EZipFileError);
}

TEST(ZipArchive, PartReadInOddPiecesComesOutWhole) {
  std::string text;
  text.reserve(3u << 20);
  for (int i = 0; text.size() < (3u << 20); ++i) text += "<c r=\"A" + std::to_string(i) + "\"><v>" + std::to_string(i * 7) + "</v></c>";
  ZipBuilder b;
  b.Add("sheet.xml", text);
  Opened o(b.Build());
  auto s = o.Zip.GetFileStream(0);
  EXPECT_EQ(s->Size(), int64_t(text.size()));
  std::string back;
  char buf[7000];
  for (int64_t n; (n = s->Read(buf, sizeof buf)) > 0;) back.append(buf, size_t(n));
  EXPECT_EQ(back, text);
}

TEST(ZipArchive, DamagedDirectoryRaisesNotCrashes) {
  ZipBuilder b;
  b.Add("a.xml", "<a/>");
  std::string z = b.Build();
  // Local header offset pointing past the end.
  std::string bad = z;
  size_t cd = bad.find("PK\x01\x02");
  ASSERT_NE(cd, std::string::npos);
  bad[cd + 42] = char(0xFF);
  bad[cd + 43] = char(0xFF);
  EXPECT_THROW(Opened{bad}, EZipFileError);
  // Compressed size beyond the package.
  bad = z;
  bad[cd + 20] = char(0x7F);
  EXPECT_THROW(Opened{bad}, EZipFileError);
}

TEST(ZipArchive, Crc32OfTheZipFormat) {
  EXPECT_EQ(TZipArchive::Crc32("", 0), 0u);
  EXPECT_EQ(TZipArchive::Crc32("123456789", 9), 0xCBF43926u);
}

// ---- parts read ahead on a second thread ----

namespace {

std::string SheetText(size_t bytes) {
  std::string text;
  text.reserve(bytes + 64);
  for (int i = 0; text.size() < bytes; ++i)
    text += "<c r=\"A" + std::to_string(i) + "\"><v>" + std::to_string(i * 7) + "</v></c>";
  return text;
}

// Reads s to its end in pieces of size piece; what came before an error is
// in got.
void ReadAll(TStream& s, std::string& got, size_t piece = 5000) {
  std::vector<char> buf(piece);
  for (int64_t n; (n = s.Read(buf.data(), int64_t(buf.size()))) > 0;) got.append(buf.data(), size_t(n));
}

}  // namespace

TEST(ReadAhead, GivesThePartWholeInAnyPieces) {
  const std::string text = SheetText(3u << 20);
  ZipBuilder b;
  b.Add("sheet.xml", text);
  Opened o(b.Build());
  // One byte per block hands over every byte between the threads: a part
  // of its own, small enough to take a moment.
  ZipBuilder small;
  small.Add("sheet.xml", text.substr(0, 50000));
  Opened o1(small.Build());
  for (size_t block : {size_t(1), size_t(4096), TReadAheadStream::DefaultBlockSize}) {
    TZipArchive& zip = block == 1 ? o1.Zip : o.Zip;
    const std::string want = block == 1 ? text.substr(0, 50000) : text;
    TReadAheadStream s(zip.GetFileStream(0), block, 3);
    EXPECT_EQ(s.Size(), int64_t(want.size()));
    std::string got;
    ReadAll(s, got, block == 1 ? 7000 : 777);
    EXPECT_EQ(got, want) << block;
    EXPECT_EQ(s.Position(), int64_t(want.size()));
    char c;
    EXPECT_EQ(s.Read(&c, 1), 0);  // and stays at the end
  }
  // The archive's own choice: large parts are read ahead, all come out whole.
  auto chosen = ReadAheadWhenUseful(o.Zip.GetFileStream(0));
  std::string got;
  ReadAll(*chosen, got);
  EXPECT_EQ(got, text);
}

TEST(ReadAhead, DamagedDataIsRaisedAfterTheBytesBeforeIt) {
  const std::string text = SheetText(2u << 20);
  ZipBuilder good;
  good.Add("sheet.xml", text);
  const std::string package = good.Build();
  const std::string deflated = ZipBuilder::RawDeflate(text);
  // Flip bytes in the middle of the deflate data (it starts after the
  // 30-byte local header and the name).
  std::string damaged = package;
  const size_t middle = 30 + 9 + deflated.size() / 2;
  for (size_t i = middle; i < middle + 64; ++i) damaged[i] = char(damaged[i] ^ 0x5A);
  Opened o(damaged);
  TReadAheadStream s(o.Zip.GetFileStream(0), 8192, 2);
  std::string got;
  EXPECT_THROW(ReadAll(s, got), EZipFileError);
  // What came before the damage arrives first (after it, inflate may give
  // garbage until it notices).
  ASSERT_GE(got.size(), size_t(65536));
  EXPECT_EQ(got.substr(0, 65536), text.substr(0, 65536));
}

TEST(ReadAhead, ACutShortPartIsAnErrorNotAnEnd) {
  const std::string text = SheetText(2u << 20);
  ZipBuilder b;
  b.Add("sheet.xml", text).DeclaredSize = int64_t(text.size()) + 100;  // declares more than it holds
  Opened o(b.Build());
  TReadAheadStream s(o.Zip.GetFileStream(0));
  std::string got;
  EXPECT_THROW(ReadAll(s, got), EZipFileError);
  EXPECT_EQ(got, text);
}

TEST(ReadAhead, AStopMidPartEndsTheThreadAndIsRaised) {
  const std::string text = SheetText(4u << 20);
  ZipBuilder b;
  b.Add("sheet.xml", text);
  const std::string package = b.Build();
  TCustomMemoryStream stream;
  stream.SetPointer(package.data(), int64_t(package.size()));
  TCancelToken cancel;
  TZipArchive zip;
  zip.CancelToken = &cancel;
  zip.Open(stream);
  TReadAheadStream s(zip.GetFileStream(0), 4096, 2);
  char buf[1000];
  ASSERT_GT(s.Read(buf, sizeof buf), 0);
  cancel.Cancel(TCancelToken::StopByUser);
  std::string got;
  EXPECT_THROW(ReadAll(s, got), EOperationCanceled);
  EXPECT_LT(got.size(), text.size());
}

TEST(ReadAhead, DroppedMidPartWithoutWaitingForTheRest) {
  const std::string text = SheetText(8u << 20);
  ZipBuilder b;
  b.Add("sheet.xml", text);
  Opened o(b.Build());
  for (int i = 0; i < 20; ++i) {
    TReadAheadStream s(o.Zip.GetFileStream(0), 4096, 2);
    char buf[100];
    ASSERT_EQ(s.Read(buf, sizeof buf), int64_t(sizeof buf));
    // Destroyed here with most of the part unread: the thread ends and is joined.
  }
  // Never read at all.
  TReadAheadStream idle(o.Zip.GetFileStream(0));
}

// Deflate data of every kind a producer may write (stored, fixed and
// dynamic blocks, every level and strategy) inflates to the same bytes,
// CRC-checked, whole or read in pieces; damaged data is an error naming the
// part and what is wrong, never a short or wrong result.
TEST(ZipArchive, EveryKindOfDeflateDataInflatesToTheCheckedBytes) {
  std::string noise(200000, '\0');
  uint32_t x = 12345;
  for (char& c : noise) c = char((x = x * 1103515245 + 12345) >> 24);
  const std::string texts[] = {"", "x", Repeat("<c r=\"A1\"><v>12.5</v></c>", 40000), noise,
                               Repeat("ab", 70000) + noise.substr(0, 5000) + Repeat("\xC3\xA9", 3000)};
  const struct {
    int Level, Strategy;
  } kinds[] = {{0, Z_DEFAULT_STRATEGY}, {1, Z_DEFAULT_STRATEGY}, {6, Z_DEFAULT_STRATEGY}, {9, Z_DEFAULT_STRATEGY},
               {6, Z_FIXED},            {6, Z_HUFFMAN_ONLY},      {6, Z_RLE},              {9, Z_FILTERED}};
  ZipBuilder b;
  int n = 0;
  for (const auto& k : kinds)
    for (const std::string& t : texts) {
      auto& e = b.Add("p" + std::to_string(n++) + ".xml", t);
      e.Level = k.Level;
      e.Strategy = k.Strategy;
    }
  Opened o(b.Build());
  ASSERT_EQ(o.Zip.Count(), n);
  for (int i = 0; i < n; ++i) {
    SCOPED_TRACE(i);
    const std::string& want = texts[size_t(i) % std::size(texts)];
    EXPECT_EQ(o.Zip.GetFileData(i), want);
    auto s = o.Zip.GetFileStream(i);
    std::string got;
    char buf[7919];
    for (int64_t r; (r = s->Read(buf, 1 + int64_t(got.size() % sizeof buf))) > 0;) got.append(buf, size_t(r));
    EXPECT_EQ(got, want);
  }
}

TEST(ZipArchive, ATakenPartGivesBackItsMemoryAndIsReadOnce) {
  // Noise does not compress: megabytes of data to give back as it is read.
  std::string noise(size_t(3) << 20, '\0');
  uint32_t x = 99;
  for (char& c : noise) c = char((x = x * 1103515245 + 12345) >> 24);
  ZipBuilder b;
  b.Add("stored.bin", noise, 0);
  b.Add("deflated.bin", noise, 8);
  Opened o(b.Build());
  for (int32_t i : {0, 1}) {
    SCOPED_TRACE(i);
    auto s = o.Zip.TakeFileStream(i);
    std::string got;
    char buf[65521];
    for (int64_t r; (r = s->Read(buf, sizeof buf)) > 0;) got.append(buf, size_t(r));
    EXPECT_TRUE(got == noise);  // checked against the CRC at the end too
    EXPECT_THROW(o.Zip.GetFileStream(i), EZipFileError);
    EXPECT_THROW(o.Zip.TakeFileStream(i), EZipFileError);
  }
}

TEST(ZipArchive, DamagedDeflateDataIsNamed) {
  const struct {
    const char* Name;
    std::string Deflated;
    size_t Size;
    const char* Says;
  } cases[] = {
      {"block-type.xml", std::string("\x07\x00\x00", 3), 3, "is damaged: invalid block."},
      {"stored-lengths.xml", std::string("\x01\x03\x00\x12\x34" "abc", 8), 3, "is damaged: invalid block."},
      {"symbol.xml", std::string("\x4b\x1c\x03\x00", 4), 2, "is damaged: invalid code."},
      {"distance.xml", std::string("\x4b\x04\x62\x00", 4), 4, "is damaged: invalid distance too far back."},
      {"cut.xml", ZipBuilder::RawDeflate(Repeat("<row r=\"1\"/>", 5000)).substr(0, 40), 60000,
       "is damaged: its data ends too early."},
  };
  ZipBuilder b;
  for (const auto& c : cases) {
    auto& e = b.Add(c.Name, std::string(c.Size, 'a'));
    e.Deflated = c.Deflated;
  }
  Opened o(b.Build());
  for (int i = 0; i < int(std::size(cases)); ++i) {
    SCOPED_TRACE(cases[i].Name);
    try {
      o.Zip.GetFileData(i);
      ADD_FAILURE() << "no error";
    } catch (const EZipFileError& e) {
      const std::string m = e.what();
      EXPECT_NE(m.find(cases[i].Name), std::string::npos) << m;
      EXPECT_NE(m.find(cases[i].Says), std::string::npos) << m;
    }
  }
}
