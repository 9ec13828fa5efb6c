// The compound document writer, read back by the program's own container
// reader and by xlrd's independent one.
#include <gtest/gtest.h>

#include <fstream>

#include "ExportTestSupport.h"
#include "QXEOleWriter.h"
#include "QXIOleStorage.h"
#include "TempDir.h"

namespace {

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> v(size);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = uint8_t(x >> 16);
  }
  return v;
}

std::vector<uint8_t> ReadAll(const TOleStorage& storage, const std::u16string& name) {
  auto s = storage.OpenStream(name);
  if (!s) return {};
  std::vector<uint8_t> out(size_t(s->Size()));
  if (!out.empty()) s->Read(out.data(), int64_t(out.size()));
  return out;
}

uint32_t U32At(const TMemoryStream& m, size_t off) {
  const auto& b = m.Bytes();
  return uint32_t(b[off]) | uint32_t(b[off + 1]) << 8 | uint32_t(b[off + 2]) << 16 | uint32_t(b[off + 3]) << 24;
}

// Streams on both sides of the mini-stream cut-off, an empty one, and one
// written in pieces, come back byte for byte; the directory lists them all.
TEST(OleWriter, StreamsOfEverySizeComeBack) {
  const std::vector<std::pair<std::u16string, size_t>> streams = {
      {u"Workbook", 70000}, {u"small", 100}, {u"\x05SummaryInformation", 4095}, {u"exact", 4096},
      {u"empty", 0},        {u"one", 1},     {u"\x0416\x0443\x0440\x043D\x0430\x043B", 513}};
  TMemoryStream sink;
  TQXEOleWriter w(sink);
  for (size_t i = 0; i < streams.size(); ++i) {
    w.BeginStream(streams[i].first);
    const auto data = Pattern(streams[i].second, uint32_t(i));
    // Pieces of odd sizes, crossing sector and cut-off boundaries.
    for (size_t at = 0; at < data.size();) {
      const size_t n = std::min<size_t>(data.size() - at, 777 + i);
      w.Write(data.data() + at, n);
      at += n;
    }
  }
  w.Finish();
  ASSERT_EQ(sink.Size() % 512, 0);

  auto storage = StgOpenStorageOnMemory(sink.Memory(), size_t(sink.Size()));
  ASSERT_TRUE(storage);
  EXPECT_EQ(storage->EnumElements().size(), streams.size());
  for (size_t i = 0; i < streams.size(); ++i)
    EXPECT_EQ(ReadAll(*storage, streams[i].first), Pattern(streams[i].second, uint32_t(i)))
        << Utf16ToUtf8(streams[i].first);
}

TEST(OleWriter, RefusesNamesTheContainerCannotHold) {
  TMemoryStream sink;
  TQXEOleWriter w(sink);
  EXPECT_THROW(w.BeginStream(u""), EOleWriteError);
  EXPECT_THROW(w.BeginStream(std::u16string(32, u'a')), EOleWriteError);
  EXPECT_THROW(w.BeginStream(u"a/b"), EOleWriteError);
  w.BeginStream(u"Workbook");
  EXPECT_THROW(w.BeginStream(u"WORKBOOK"), EOleWriteError);  // names ignore case
  EXPECT_NO_THROW(w.BeginStream(std::u16string(31, u'x')));
}

// Past 109 FAT sectors (about 7 MB) the FAT's sector list continues in
// DIFAT sectors; xlrd reads the file through its own container code.
TEST(OleWriter, LargeStreamsUseDifatSectors) {
  TTempDir tmp;
  const size_t size = 15u << 20;
  const auto data = Pattern(size, 7);
  TMemoryStream sink;
  TQXEOleWriter w(sink);
  w.BeginStream(u"Workbook");
  w.Write(data.data(), data.size());
  w.BeginStream(u"tail");
  w.Write("abc", 3);
  w.Finish();
  EXPECT_GT(U32At(sink, 44), 109u);  // FAT sectors
  EXPECT_GE(U32At(sink, 72), 1u);    // DIFAT sectors

  auto storage = StgOpenStorageOnMemory(sink.Memory(), size_t(sink.Size()));
  EXPECT_TRUE(ReadAll(*storage, u"Workbook") == data);
  EXPECT_EQ(ReadAll(*storage, u"tail"), (std::vector<uint8_t>{'a', 'b', 'c'}));

  if (!HavePythonModule("xlrd")) GTEST_SKIP() << "xlrd is missing (scripts/install-deps.sh installs python3-xlrd)";
  const std::string path = tmp / "big.cfb";
  sink.SaveToFile(path);
  const std::string out = RunCapture(
      "/usr/bin/python3 -c 'import sys, hashlib, xlrd.compdoc as c\n"
      "d = c.CompDoc(open(sys.argv[1], \"rb\").read(), logfile=open(\"/dev/null\", \"w\"))\n"
      "print(hashlib.sha256(d.get_named_stream(\"Workbook\")).hexdigest(), d.get_named_stream(\"tail\"))' " +
      ShellQuote(path) + " 2>&1");
  std::ofstream(tmp / "expected.bin", std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
  const std::string want = RunCapture("sha256sum " + ShellQuote(tmp / "expected.bin") + " | cut -c1-64");
  EXPECT_EQ(out, want.substr(0, 64) + " b'abc'\n");
}

}  // namespace
