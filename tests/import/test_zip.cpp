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
