#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <numeric>

#include "CfbBuilder.h"
#include "QXIOleStorage.h"

namespace {

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 7 + i / 251);
  return v;
}

std::vector<uint8_t> ReadAll(TOleStorageStream& s) {
  std::vector<uint8_t> out(size_t(s.Size()));
  s.Seek(0, soBeginning);
  EXPECT_EQ(s.Read(out.data(), int64_t(out.size())), int64_t(out.size()));
  return out;
}

void ExpectDamaged(const std::vector<uint8_t>& file, bool openStreams = true, const char* word = "damaged") {
  try {
    auto root = StgOpenStorageOnMemory(file.data(), file.size());
    if (openStreams)
      for (const TOleElement& e : root->EnumElements())
        if (e.Type == STGTY_STREAM) root->OpenStream(e.Name);
    FAIL() << "damaged container was accepted";
  } catch (const EOleError& e) {
    EXPECT_NE(std::string(e.what()).find(word), std::string::npos) << e.what();
  }
}

class OleSectorSize : public ::testing::TestWithParam<uint32_t> {};

}  // namespace

TEST_P(OleSectorSize, ListsOpensAndReadsStreams) {
  CfbBuilder b(GetParam());
  auto small = Pattern(100, 1), big = Pattern(10000, 2), sub = Pattern(5000, 3);
  b.AddStream("Workbook", big);
  b.AddStream(u"\005SummaryInformation", small);
  b.AddStream("Empty", {});
  uint32_t st = b.AddStorage("_VBA_PROJECT_CUR");
  b.AddStream("dir", sub, st);
  auto file = b.Build();

  auto root = StgOpenStorageOnMemory(file.data(), file.size());
  auto els = root->EnumElements();
  ASSERT_EQ(els.size(), 4u);
  EXPECT_EQ(els[0].Name, u"Workbook");
  EXPECT_EQ(els[0].Type, STGTY_STREAM);
  EXPECT_EQ(els[1].Name, u"\005SummaryInformation");
  EXPECT_EQ(els[3].Type, STGTY_STORAGE);

  auto wb = root->OpenStream("WORKBOOK");  // names compare without case
  ASSERT_TRUE(wb);
  EXPECT_EQ(ReadAll(*wb), big);
  auto si = root->OpenStream(u"\005SummaryInformation");
  ASSERT_TRUE(si);
  EXPECT_EQ(ReadAll(*si), small);  // from the mini stream
  auto empty = root->OpenStream("Empty");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->Size(), 0u);
  EXPECT_EQ(root->OpenStream("Missing"), nullptr);
  EXPECT_EQ(root->OpenStorage(u"Workbook"), nullptr);  // a stream is no storage

  auto vba = root->OpenStorage(u"_VBA_PROJECT_CUR");
  ASSERT_TRUE(vba);
  auto dir = vba->OpenStream("dir");
  ASSERT_TRUE(dir);
  EXPECT_EQ(ReadAll(*dir), sub);
}

INSTANTIATE_TEST_SUITE_P(Sectors, OleSectorSize, ::testing::Values(512u, 4096u));

TEST(OleStream, SeeksAcrossSectorsAndBackwards) {
  CfbBuilder b;
  auto big = Pattern(9000, 9);
  b.AddStream("Book", big);
  auto file = b.Build();
  auto root = StgOpenStorageOnMemory(file.data(), file.size());
  TOleStream s(root->OpenStream("Book"));
  EXPECT_EQ(s.Size(), 9000);
  EXPECT_EQ(s.Seek(510, soBeginning), 510);
  uint8_t buf[8];
  ASSERT_EQ(s.Read(buf, 8), 8);  // crosses the first sector boundary
  EXPECT_TRUE(std::equal(buf, buf + 8, big.begin() + 510));
  EXPECT_EQ(s.Seek(-18, soCurrent), 500);
  ASSERT_EQ(s.Read(buf, 1), 1);
  EXPECT_EQ(buf[0], big[500]);
  EXPECT_EQ(s.Seek(-4, soEnd), 8996);
  EXPECT_EQ(s.Read(buf, 8), 4);  // only what is left
  EXPECT_EQ(s.Read(buf, 8), 0);
  EXPECT_THROW(s.Seek(-1, soBeginning), EOleError);
  EXPECT_THROW(s.Write(buf, 1), EWriteError);
}

TEST(OleStorage, DifatSectorsAndMemoryOpeningFromPosition) {
  CfbBuilder b;
  b.SetHeaderDifatLimit(0);  // every allocation-table sector listed in the DIFAT chain
  auto big = Pattern(80000, 5);
  b.AddStream("Workbook", big);
  auto file = b.Build();
  // A source stream positioned past a prefix is copied from there on.
  std::vector<uint8_t> prefixed(13, 0x55);
  prefixed.insert(prefixed.end(), file.begin(), file.end());
  TCustomMemoryStream src(prefixed.data(), int64_t(prefixed.size()));
  src.Seek(13, soBeginning);
  auto root = StgOpenStorageOnStream(src);
  auto wb = root->OpenStream("Workbook");
  ASSERT_TRUE(wb);
  EXPECT_EQ(ReadAll(*wb), big);
}

TEST(OleStorage, StgIsStorageFile) {
  CfbBuilder b;
  b.AddStream("Workbook", Pattern(10, 1));
  auto file = b.Build();
  std::string ole = testing::TempDir() + "varnowe_ole_test.bin";
  std::string plain = testing::TempDir() + "varnowe_plain_test.bin";
  std::ofstream(ole, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
  std::ofstream(plain, std::ios::binary) << "\x09\x00\x04\x00plain";
  EXPECT_EQ(StgIsStorageFile(ole), STG_S_OK);
  EXPECT_EQ(StgIsStorageFile(plain), STG_S_FALSE);
  EXPECT_EQ(StgIsStorageFile(testing::TempDir() + "no_such_file.bin"), STG_E_FILENOTFOUND);
  EXPECT_EQ(StgOpenStorage(ole)->EnumElements().size(), 1u);
  EXPECT_THROW(StgOpenStorage(plain), EOleError);
  std::remove(ole.c_str());
  std::remove(plain.c_str());
}

TEST(OleDamage, EveryKindEndsWithDamagedMessage) {
  CfbBuilder b;
  b.AddStream("Workbook", Pattern(6000, 1));
  b.AddStream("Small", Pattern(300, 2));
  const auto good = b.Build();
  const size_t fat = b.FatOffset, dir = b.DirectoryOffset;
  auto u32 = [&](const std::vector<uint8_t>& f, size_t off) {
    return uint32_t(f[off] | (f[off + 1] << 8) | (f[off + 2] << 16) | (uint32_t(f[off + 3]) << 24));
  };
  const uint32_t wbStart = u32(good, dir + 128 + 0x74);

  {  // unknown sector shift
    auto f = good;
    CfbBuilder::Set16(f, 0x1E, 10);
    ExpectDamaged(f);
  }
  {  // directory start beyond the file
    auto f = good;
    CfbBuilder::Set32(f, 0x30, 100000);
    ExpectDamaged(f);
  }
  {  // the stream's chain loops back on itself
    auto f = good;
    CfbBuilder::Set32(f, fat + 4 * (wbStart + 2), wbStart);
    ExpectDamaged(f);
  }
  {  // the chain is cut short
    auto f = good;
    CfbBuilder::Set32(f, fat + 4 * (wbStart + 2), 0xFFFFFFFE);
    ExpectDamaged(f);
  }
  {  // a sector number out of range inside the chain
    auto f = good;
    CfbBuilder::Set32(f, fat + 4 * wbStart, 0x00FFFFFF);
    ExpectDamaged(f);
  }
  {  // a stream claims more than its chain
    auto f = good;
    CfbBuilder::Set32(f, dir + 128 + 0x78, 600000);
    ExpectDamaged(f);
  }
  {  // the file is cut before the directory, which lies after the stream data
    auto f = good;
    f.resize(f.size() - 3000);
    ExpectDamaged(f, true, "The compound document is truncated: part of its directory lies past the end of the file.");
  }
  {  // a directory tree that points back at itself
    auto f = good;
    CfbBuilder::Set32(f, dir + 128 + 0x48, 1);
    ExpectDamaged(f);
  }
  {  // a 64-bit stream size near the top of the range (version 4 keeps all 64 bits)
    CfbBuilder b4(4096);
    b4.AddStream("Workbook", Pattern(5000, 1));
    auto f = b4.Build();
    CfbBuilder::Set32(f, b4.DirectoryOffset + 128 + 0x78, 0xFFFFFFF0);  // size + sector size wraps around
    CfbBuilder::Set32(f, b4.DirectoryOffset + 128 + 0x7C, 0xFFFFFFFF);
    ExpectDamaged(f);
  }
  {  // not a compound document at all
    std::vector<uint8_t> f(600, 0);
    EXPECT_THROW(StgOpenStorageOnMemory(f.data(), f.size()), EOleError);
  }
}
