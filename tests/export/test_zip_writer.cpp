// The zip writer: entries read back by the program's own reader, Python's
// zipfile and unzip; headers exact (no data descriptors, no directory
// entries); placeholders patched into the deflate data; the 4 GiB limit;
// data reaching the sink while an entry is still being written.
#include <gtest/gtest.h>

#include <random>

#include "ExportTestSupport.h"
#include "QXEZipFile.h"
#include "QXIZipFile.h"
#include "TempDir.h"

namespace {

using QXEZipFile::EZipWriteError;
using Writer = QXEZipFile::TZipArchive;

std::string Bytes(const TMemoryStream& s) { return std::string(s.Bytes().begin(), s.Bytes().end()); }

// The program's reader over the bytes (CRC-checked on every read).
struct TReadBack {
  explicit TReadBack(const std::string& bytes) : Data(bytes), Stream(Data.data(), int64_t(Data.size())) {
    Zip.Open(Stream);
  }
  std::string Data;
  TCustomMemoryStream Stream;
  TZipArchive Zip;
};

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = char(rng());
  return s;
}

TEST(ZipWriter, EmptyArchiveIsTheEndRecordAlone) {
  TMemoryStream sink;
  Writer zip(sink);
  zip.Close();
  EXPECT_EQ(Bytes(sink), std::string("PK\x05\x06", 4) + std::string(18, '\0'));
  EXPECT_TRUE(zip.Closed());
  EXPECT_THROW(zip.AddFile("late.xml"), EZipWriteError);
}

TEST(ZipWriter, EntriesComeBackWhateverTheirSizeAndWrites) {
  TMemoryStream sink;
  Writer zip(sink);
  zip.Time = 1717245296;  // 2024-06-01, about noon
  const std::string text = "<row r=\"1\"><c r=\"A1\"><v>1</v></c></row>";
  std::string repeated;
  for (int i = 0; i < 20000; ++i) repeated += text;
  const std::string noise = RandomBytes(200000, 7);  // incompressible: stored blocks inside the deflate data

  zip.AddFileData("a/small.xml", "abc");
  zip.AddFileData("a/empty.xml", "");
  TStream& s = zip.AddFile("b\\many-writes.xml");
  // Writes of every size: single bytes, buffer-filling runs, long blocks.
  size_t at = 0;
  for (size_t step = 1; at < repeated.size(); step = step * 3 % 70001 + 1) {
    const size_t n = std::min(step, repeated.size() - at);
    s.WriteBuffer(repeated.data() + at, int64_t(n));
    at += n;
  }
  EXPECT_EQ(s.Position(), int64_t(repeated.size()));
  zip.AddFileData("noise.bin", noise);
  zip.AddFileData("\xD0\xB4\xD0\xB0.xml", "utf-8 name");
  zip.Close();

  ASSERT_EQ(zip.FileCount(), 5);
  EXPECT_EQ(zip.Files(0).Crc32, 0x352441C2u);
  EXPECT_EQ(zip.Files(2).FileName, "b/many-writes.xml");
  EXPECT_EQ(zip.Files(2).UncompressedSize, repeated.size());
  EXPECT_LT(zip.Files(2).CompressedSize, repeated.size() / 50);
  EXPECT_EQ(zip.Files(4).GeneralPurposeBitFlag, 0x0800);
  EXPECT_THROW(zip.Files(5), EZipWriteError);
  try {
    zip.Files(-1);
  } catch (const EZipWriteError& e) {
    EXPECT_EQ(e.Message(), "Index out of bounds");
  }

  TReadBack rb(Bytes(sink));
  ASSERT_TRUE(rb.Zip.IsZip());
  ASSERT_EQ(rb.Zip.Count(), 5);
  EXPECT_EQ(rb.Zip.GetFileDataByName("a/small.xml"), "abc");
  EXPECT_EQ(rb.Zip.GetFileDataByName("a/empty.xml"), "");
  EXPECT_EQ(rb.Zip.GetFileDataByName("b/many-writes.xml"), repeated);
  EXPECT_EQ(rb.Zip.GetFileDataByName("noise.bin"), noise);
  for (int32_t i = 0; i < rb.Zip.Count(); ++i) {
    const TLocalFile& f = rb.Zip.Files()[i];
    // Exact local headers: sizes and CRC there too, no data descriptor.
    rb.Zip.GetFileData(i);
    EXPECT_EQ(f.LocalHeader.GeneralPurposeBitFlag & 8, 0) << f.Name();
    EXPECT_EQ(f.LocalHeader.Crc32, f.CentralHeader.Crc32) << f.Name();
    EXPECT_EQ(f.LocalHeader.CompressedSize, f.CentralHeader.CompressedSize) << f.Name();
    EXPECT_EQ(f.LocalHeader.UncompressedSize, f.CentralHeader.UncompressedSize) << f.Name();
    EXPECT_EQ(f.CentralHeader.CompressionMethod, 8) << f.Name();
    EXPECT_EQ(f.CentralHeader.VersionNeededToExtract, 20) << f.Name();
    uint16_t date, time;
    Writer::DosDateTime(1717245296, date, time);
    EXPECT_EQ(f.CentralHeader.LastModFileDate, date);
    EXPECT_EQ(f.CentralHeader.LastModFileTime, time);
    EXPECT_EQ(date >> 9, 2024 - 1980);
    EXPECT_EQ((date >> 5) & 15, 6);
  }

  // Two independent readers check every CRC.
  TTempDir tmp;
  const std::string path = tmp / "a.zip";
  sink.SaveToFile(path);
  if (HaveProgram("unzip")) {
    const std::string out = RunCapture("unzip -t " + ShellQuote(path) + " 2>&1; echo rc=$?");
    EXPECT_NE(out.find("No errors detected"), std::string::npos) << out;
    EXPECT_NE(out.find("rc=0"), std::string::npos) << out;
  }
  const std::string py = RunCapture(
      "/usr/bin/python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
      "print(z.testzip(), [i.filename for i in z.infolist() if i.is_dir()], len(z.read(\"noise.bin\")))' " +
      ShellQuote(path));
  EXPECT_EQ(py, "None [] 200000\n");
}

TEST(ZipWriter, NamesThatNoEntryMayTake) {
  TMemoryStream sink;
  Writer zip(sink);
  zip.AddFileData("xl/workbook.xml", "x");
  EXPECT_THROW(zip.AddFile("xl/"), EZipWriteError);   // a directory entry
  EXPECT_THROW(zip.AddFile(""), EZipWriteError);
  EXPECT_THROW(zip.AddFile("/abs.xml"), EZipWriteError);
  try {
    zip.AddFile("XL/Workbook.xml");  // package part names ignore case
    FAIL();
  } catch (const EZipWriteError& e) {
    EXPECT_EQ(e.Message(), "The zip archive already holds \"XL/Workbook.xml\".");
  }
  zip.Close();
  EXPECT_EQ(TReadBack(Bytes(sink)).Zip.Count(), 1);
}

TEST(ZipWriter, DosTimesOutsideTheirRangeAreZero) {
  uint16_t date = 1, time = 1;
  Writer::DosDateTime(100000000, date, time);  // 1973
  EXPECT_EQ(date, 0);
  EXPECT_EQ(time, 0);
  Writer::DosDateTime(4200000000, date, time);  // 2103
  EXPECT_EQ(date, 0);
  struct tm t {};
  t.tm_year = 2020 - 1900;
  t.tm_mon = 1;
  t.tm_mday = 29;
  t.tm_hour = 23;
  t.tm_min = 59;
  t.tm_sec = 58;
  t.tm_isdst = -1;
  Writer::DosDateTime(mktime(&t), date, time);
  EXPECT_EQ(date, 29 + 2 * 32 + 40 * 512);
  EXPECT_EQ(time, 29 + 59 * 32 + 23 * 2048);
}

TEST(ZipWriter, PlaceholdersArePatchedWithTheirCrc) {
  const std::string before(100000, 'a');  // deflated before the placeholder
  const std::string after = RandomBytes(5000, 3) + std::string(70000, 'z');
  for (bool atStart : {false, true}) {
    TMemoryStream sink;
    Writer zip(sink);
    TStream& s = zip.AddFile("p.xml");
    if (!atStart) s.WriteBuffer(before.data(), int64_t(before.size()));
    zip.WritePlaceholder("<dimension ref=\"A1\"           />");
    EXPECT_THROW(zip.WritePlaceholder("again"), EZipWriteError);
    s.WriteBuffer(after.data(), int64_t(after.size()));
    EXPECT_THROW(zip.ReplacePlaceholder("<dimension ref=\"A1:B2\"/>"), EZipWriteError);  // other length
    zip.ReplacePlaceholder("<dimension ref=\"A1:XFD1048576\"/>");
    zip.Close();
    const std::string want = (atStart ? "" : before) + "<dimension ref=\"A1:XFD1048576\"/>" + after;
    TReadBack rb(Bytes(sink));
    EXPECT_EQ(rb.Zip.GetFileDataByName("p.xml"), want);  // CRC-checked
    EXPECT_EQ(zip.Files(0).Crc32, Writer::Crc32(want.data(), want.size()));
  }
}

TEST(ZipWriter, BeyondTheSizeLimitFailsNamingTheEntry) {
  TMemoryStream sink;
  Writer zip(sink);
  zip.SizeLimit = 10000;  // 4 GiB in real use
  zip.AddFileData("fits.bin", RandomBytes(5000, 1));
  TStream& s = zip.AddFile("xl/worksheets/sheet1.xml");
  const std::string big(20000, 'x');
  try {
    s.WriteBuffer(big.data(), int64_t(big.size()));
    zip.Close();
    FAIL() << "no error";
  } catch (const EZipWriteError& e) {
    EXPECT_EQ(e.Message(),
              "The zip entry \"xl/worksheets/sheet1.xml\" goes beyond 4 GiB, the most a zip archive without "
              "Zip64 extensions holds.");
  }
  // An archive whose entries start beyond the limit.
  TMemoryStream sink2;
  Writer zip2(sink2);
  zip2.SizeLimit = 8000;
  zip2.AddFileData("a.bin", RandomBytes(5000, 2));
  zip2.AddFileData("b.bin", RandomBytes(5000, 3));
  EXPECT_THROW(zip2.Close(), EZipWriteError);
}

TEST(ZipWriter, DataReachesTheSinkWhileTheEntryIsWritten) {
  TMemoryStream sink;
  Writer zip(sink);
  TStream& s = zip.AddFile("big.bin");
  const std::string block = RandomBytes(1 << 20, 9);
  for (int i = 0; i < 4; ++i) s.WriteBuffer(block.data(), int64_t(block.size()));
  // At most a block per deflating thread, and the one being filled, wait in the writer.
  EXPECT_GT(sink.Size(), int64_t(4 << 20) - int64_t((zip.MaxHelpers + 2) * zip.BlockSize));
  zip.Close();
  EXPECT_EQ(TReadBack(Bytes(sink)).Zip.GetFileDataByName("big.bin").size(), size_t(4) << 20);
}

}  // namespace

namespace {

// Each level, with blocks small enough that large entries are shared out
// among helper threads, and with the usual block size: empty, tiny and
// large entries, a size that ends exactly on a block, text and noise.
TEST(ZipWriter, EveryLevelJoinsItsBlocksIntoOneValidStream) {
  std::string xml;
  for (int i = 0; xml.size() < (3u << 20); ++i)
    xml += "<row r=\"" + std::to_string(i) + "\"><c r=\"A" + std::to_string(i) + "\" t=\"s\"><v>" +
           std::to_string(i % 977) + "</v></c></row>";
  const std::string contents[] = {"", "a", std::string(4096, 'q'), std::string(4097, 'q'), xml,
                                  RandomBytes(300000, 5) + xml.substr(0, 100000)};
  TTempDir tmp;
  std::string expected, paths;
  size_t sizes[3] = {};
  for (TZipCompression level : {zcFast, zcDefault, zcSmall})
    for (size_t blockSize : {size_t(4096), Writer::DefaultBlockSize}) {
      SCOPED_TRACE(std::string(CompressionWord(level)) + " " + std::to_string(blockSize));
      TMemoryStream sink;
      Writer zip(sink);
      zip.Compression = level;
      zip.BlockSize = blockSize;
      for (size_t k = 0; k < std::size(contents); ++k) {
        TStream& s = zip.AddFile("e" + std::to_string(k));
        // In pieces that straddle the blocks.
        for (size_t at = 0; at < contents[k].size(); at += 10007)
          s.WriteBuffer(contents[k].data() + at, int64_t(std::min<size_t>(10007, contents[k].size() - at)));
      }
      zip.Close();
      if (blockSize != Writer::DefaultBlockSize) sizes[level] = size_t(zip.Files(4).CompressedSize);
      TReadBack rb(Bytes(sink));
      for (size_t k = 0; k < std::size(contents); ++k) {
        EXPECT_EQ(rb.Zip.GetFileData(int32_t(k)), contents[k]) << k;  // CRC-checked
        expected += std::to_string(contents[k].size()) + " " +
                    std::to_string(Writer::Crc32(contents[k].data(), contents[k].size())) + "\n";
      }
      const std::string path = tmp / (std::string(CompressionWord(level)) + std::to_string(blockSize) + ".zip");
      sink.SaveToFile(path);
      paths += " " + ShellQuote(path);
    }
  // Python's zipfile checks every entry's CRC; zlib inflates each raw
  // stream on its own, which must end exactly where the entry does.
  const char* const script = R"(import struct, sys, zipfile, zlib
for p in sys.argv[1:]:
    raw = open(p, "rb").read()
    z = zipfile.ZipFile(p)
    assert z.testzip() is None
    for i in z.infolist():
        n, e = struct.unpack("<HH", raw[i.header_offset + 26:i.header_offset + 30])
        at = i.header_offset + 30 + n + e
        d = zlib.decompressobj(-15)
        out = d.decompress(raw[at:at + i.compress_size])
        assert d.eof and not d.unused_data and out == z.read(i)
        print(len(out), zlib.crc32(out)))";
  const std::string py = RunCapture("/usr/bin/python3 -c " + ShellQuote(script) + paths + " 2>&1");
  EXPECT_EQ(py, expected);
  // ISA-L's fast level gives the most bytes (zlib's levels 4 and 6 come
  // close to each other, either way round).
  EXPECT_LT(sizes[zcSmall], sizes[zcFast]);
  EXPECT_LT(sizes[zcDefault], sizes[zcFast]);
}

TEST(ZipWriter, CompressionWordsReadBack) {
  for (TZipCompression c : {zcFast, zcDefault, zcSmall}) EXPECT_EQ(ParseCompression(CompressionWord(c)), c);
  EXPECT_EQ(ParseCompression("SMALL"), zcSmall);
  EXPECT_EQ(ParseCompression("best"), std::nullopt);
  EXPECT_EQ(ParseCompression(""), std::nullopt);
}

}  // namespace
