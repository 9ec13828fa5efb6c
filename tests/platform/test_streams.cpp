#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "Budgets.h"
#include "Exception.h"
#include "FileSystem.h"
#include "SmallDisk.h"
#include "Streams.h"
#include "TempDir.h"

namespace {
std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}
}  // namespace

TEST(FileStream, BufferedWritesReadsAndSeeksAgree) {
  TTempDir dir;
  std::string name = dir / "data.bin";
  {
    TFileStream f(name, fmCreate);
    for (int i = 0; i < 100000; ++i) f.WriteBuffer(&i, 4);
    EXPECT_EQ(f.Size(), 400000);
    EXPECT_EQ(f.Position(), 400000);
    // Overwrite in the middle, then read around it while writes are buffered.
    f.Seek(40, soBeginning);
    int marker = -7;
    f.WriteBuffer(&marker, 4);
    f.Seek(-8, soCurrent);
    int a, b, c;
    f.ReadBuffer(&a, 4);
    f.ReadBuffer(&b, 4);
    f.ReadBuffer(&c, 4);
    EXPECT_EQ(a, 9);
    EXPECT_EQ(b, -7);
    EXPECT_EQ(c, 11);
    // Writing after a read lands where the read stopped.
    f.WriteBuffer(&marker, 4);
    f.Seek(0, soEnd);
    f.WriteString("tail");
    EXPECT_EQ(f.Size(), 400004);
  }
  std::string bytes = ReadAll(name);
  ASSERT_EQ(bytes.size(), 400004u);
  int v;
  memcpy(&v, bytes.data() + 48, 4);
  EXPECT_EQ(v, -7);
  memcpy(&v, bytes.data() + 399996, 4);
  EXPECT_EQ(v, 99999);
  EXPECT_EQ(bytes.substr(400000), "tail");

  TFileStream r(name, fmOpenRead | fmShareDenyWrite);
  std::vector<char> big(300000);
  r.Seek(100, soBeginning);
  EXPECT_EQ(r.Read(big.data(), 300000), 300000);  // larger than the buffer
  EXPECT_EQ(memcmp(big.data(), bytes.data() + 100, 300000), 0);
  r.Seek(-4, soEnd);
  char tail[8];
  EXPECT_EQ(r.Read(tail, 8), 4);  // short read at the end
  EXPECT_EQ(r.Read(tail, 8), 0);
  EXPECT_THROW(r.ReadBuffer(tail, 1), EReadError);
  EXPECT_THROW(r.Seek(-1, soBeginning), EStreamError);
  EXPECT_THROW(r.WriteBuffer("x", 1), EWriteError);  // opened for reading
}

TEST(FileStream, OpenErrorsNameTheFile) {
  TTempDir dir;
  try {
    TFileStream f(dir / "missing.xls", fmOpenRead);
    FAIL();
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message().rfind("Cannot open file \"" + (dir / "missing.xls") + "\". ", 0), 0u) << e.Message();
  }
  EXPECT_THROW(TFileStream(dir / "no/such/dir.txt", fmCreate), EFCreateError);
  EXPECT_THROW(TFileStream(dir.Path(), fmOpenRead), EFOpenError);  // a folder is no file
  // A named pipe is refused at once instead of waiting for a writer.
  ASSERT_EQ(mkfifo((dir / "pipe.xls").c_str(), 0600), 0);
  try {
    TFileStream f(dir / "pipe.xls", fmOpenRead | fmShareDenyWrite);
    FAIL();
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "\"" + (dir / "pipe.xls") + "\" is not a regular file (it is a named pipe).");
  }
}

TEST(Streams, SeeksThatWouldOverflowAreRefused) {
  const char data[] = "abc";
  TCustomMemoryStream c(data, 3);
  c.Seek(2, soBeginning);
  EXPECT_THROW(c.Seek(INT64_MAX, soCurrent), EStreamError);
  EXPECT_EQ(c.Position(), 2);
  TMemoryStream m;
  m.WriteString("abc");
  EXPECT_THROW(m.Seek(INT64_MAX, soEnd), EStreamError);
  TTempDir dir;
  TFileStream f(dir / "f", fmCreate);
  f.WriteString("abc");
  EXPECT_THROW(f.Seek(INT64_MAX, soCurrent), EStreamError);
  EXPECT_EQ(f.Position(), 3);
}

TEST(FileStream, AFullDiskIsReportedByFlush) {
  if (!std::ifstream("/dev/full")) GTEST_SKIP() << "no /dev/full";
  TFileStream f("/dev/full", fmOpenWrite);
  f.WriteString("buffered");  // held in the buffer so far
  EXPECT_THROW(f.Flush(), EWriteError);
  std::string big(200000, 'x');  // larger than the buffer: written at once
  EXPECT_THROW(f.WriteBuffer(big.data(), int64_t(big.size())), EWriteError);
}

TEST(FileStream, SetSizeTruncatesAndExtends) {
  TTempDir dir;
  TFileStream f(dir / "s.bin", fmCreate);
  f.WriteString("0123456789");
  f.SetSize(4);
  EXPECT_EQ(f.Size(), 4);
  EXPECT_EQ(f.Position(), 4);
  f.SetSize(6);
  f.Seek(0, soBeginning);
  char buf[6];
  f.ReadBuffer(buf, 6);
  EXPECT_EQ(std::string(buf, 6), std::string("0123\0\0", 6));
}

TEST(MemoryStream, GrowsSeeksAndCopies) {
  TMemoryStream m;
  m.WriteString("hello");
  m.Seek(10, soBeginning);
  m.WriteString("!");  // past the end: the gap is zero-filled
  EXPECT_EQ(m.Size(), 11);
  EXPECT_EQ(m.Bytes()[7], 0);
  m.SetPosition(1);
  char buf[4];
  EXPECT_EQ(m.Read(buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "ello");
  m.Seek(100, soBeginning);
  EXPECT_EQ(m.Read(buf, 4), 0);

  TMemoryStream copy;
  EXPECT_EQ(copy.CopyFrom(m, 0), 11);
  EXPECT_EQ(copy.Bytes(), m.Bytes());
  m.SetPosition(1);
  TMemoryStream part;
  part.CopyFrom(m, 3);
  EXPECT_EQ(std::string(part.Bytes().begin(), part.Bytes().end()), "ell");
  m.SetPosition(9);
  EXPECT_THROW(part.CopyFrom(m, 5), EReadError);

  TTempDir dir;
  m.SaveToFile(dir / "m.bin");
  TMemoryStream loaded;
  loaded.LoadFromFile(dir / "m.bin");
  EXPECT_EQ(loaded.Bytes(), m.Bytes());
  EXPECT_EQ(loaded.Position(), 0);
}

TEST(CustomMemoryStream, ReadsBorrowedBytesOnly) {
  const char data[] = "abcdef";
  TCustomMemoryStream s(data, 6);
  char buf[10];
  s.Seek(-2, soEnd);
  EXPECT_EQ(s.Read(buf, 10), 2);
  EXPECT_EQ(std::string(buf, 2), "ef");
  EXPECT_THROW(s.WriteBuffer("x", 1), EWriteError);
  EXPECT_THROW(s.Seek(-10, soCurrent), EStreamError);
  s.Seek(1 << 30, soBeginning);
  EXPECT_EQ(s.Read(buf, 10), 0);
}

namespace {
size_t EntriesIn(const std::string& dir) {
  size_t n = 0;
  for (auto& e : std::filesystem::directory_iterator(dir)) (void)e, ++n;
  return n;
}
}  // namespace

TEST(AtomicFileStream, AppearsOnlyWhenCommitted) {
  TTempDir dir;
  std::string out = dir / "data.csv";
  {
    std::ofstream(out) << "good old output";
    TAtomicFileStream f(out);
    f.WriteString("new");
    EXPECT_EQ(ReadAll(out), "good old output");  // still the old one mid-write
    f.Commit();
    EXPECT_EQ(ReadAll(out), "new");
  }
  {
    TAtomicFileStream f(out);
    f.WriteString("abandoned");
  }  // no Commit: a failed or stopped write
  EXPECT_EQ(ReadAll(out), "new");
  EXPECT_EQ(EntriesIn(dir.Dir()), 1u);  // no temporary left behind
}

TEST(AtomicFileStream, ReplacesAPlantedSymlinkInsteadOfWritingThroughIt) {
  TTempDir dir;
  std::string victim = dir / "victim.txt";
  std::ofstream(victim) << "precious";
  std::filesystem::create_symlink(victim, dir / "out.csv");
  TAtomicFileStream f(dir / "out.csv");
  f.WriteString("output");
  f.Commit();
  EXPECT_EQ(ReadAll(victim), "precious");
  EXPECT_FALSE(std::filesystem::is_symlink(dir / "out.csv"));
  EXPECT_EQ(ReadAll(dir / "out.csv"), "output");
}

TEST(AtomicFileStream, KeepsAnExistingFileWhenReplacingIsOff) {
  TTempDir dir;
  std::string out = dir / "r.csv";
  {
    TAtomicFileStream f(out);
    f.WriteString("first");
    f.Commit(false);  // nothing there yet
  }
  {
    TAtomicFileStream f(out);
    f.WriteString("second");
    EXPECT_THROW(f.Commit(false), EFCreateError);
  }
  EXPECT_EQ(ReadAll(out), "first");
  EXPECT_EQ(EntriesIn(dir.Dir()), 1u);
}

TEST(AtomicFileStream, ErrorsNameTheDestination) {
  TTempDir dir;
  try {
    TAtomicFileStream f(dir / "no/such/folder/out.csv");
    FAIL();
  } catch (const EFCreateError& e) {
    EXPECT_NE(e.Message().find("no/such/folder/out.csv"), std::string::npos);
  }
  std::filesystem::create_directory(dir / "taken");
  TAtomicFileStream f(dir / "taken");
  f.WriteString("x");
  EXPECT_THROW(f.Commit(), EFCreateError);  // a folder is not replaced
  EXPECT_TRUE(std::filesystem::is_directory(dir / "taken"));
}

TEST(AtomicFileStream, TwoWritersOfOneNameLeaveOneCompleteFile) {
  TTempDir dir;
  std::string out = dir / "same.csv";
  TAtomicFileStream a(out), b(out);
  std::string bigA(300000, 'a'), bigB(200000, 'b');
  a.WriteString(bigA.substr(0, 1000));
  b.WriteString(bigB);
  a.WriteString(bigA.substr(1000));
  b.Commit();
  a.Commit();
  EXPECT_EQ(ReadAll(out), bigA);
  EXPECT_EQ(EntriesIn(dir.Dir()), 1u);
}

TEST(AtomicFileStream, AFullDiskKeepsThePreviousOutputAndLeavesNoTemporary) {
  TSmallDisk disk(64 * 1024);
  if (!disk.Mounted()) GTEST_SKIP() << disk.SkipReason();
  const std::string out = disk / "data.csv";
  std::ofstream(out) << "good old output";
  try {
    TAtomicFileStream f(out);
    std::string row(1000, 'x');
    for (int i = 0; i < 200; ++i) f.WriteString(row);
    f.Commit();
    FAIL() << "200 kB fitted on a 64 kB disk";
  } catch (const EWriteError& e) {
    EXPECT_EQ(e.Message(), "Cannot write file \"" + out + "\". No space left on device");
  }
  EXPECT_EQ(ReadAll(out), "good old output");
  EXPECT_EQ(EntriesIn(disk.Dir()), 1u);
}

TEST(AtomicFileStream, AFullDiskNamesItsReasonForLargeWritesToo) {
  TSmallDisk disk(64 * 1024);
  if (!disk.Mounted()) GTEST_SKIP() << disk.SkipReason();
  const std::string out = disk / "big.csv";
  for (size_t size : {size_t(64 * 1024), size_t(300 * 1024)}) {
    try {
      TAtomicFileStream f(out);
      const std::string block(size, 'x');
      f.WriteBuffer(block.data(), int64_t(block.size()));
      f.WriteBuffer(block.data(), int64_t(block.size()));
      f.Commit();
      FAIL() << "two blocks of " << size << " bytes fitted on a 64 kB disk";
    } catch (const EWriteError& e) {
      EXPECT_EQ(e.Message(), "Cannot write file \"" + out + "\". No space left on device") << size;
    }
  }
}

TEST(AtomicFileStream, CountsTheBudgetAsItWritesAndKeepsPermissions) {
  TTempDir dir;
  const std::string out = dir / "b.csv";
  {
    TAtomicFileStream f(out, {10, true});
    f.WriteString("0123456789");
    f.SetPosition(2);
    f.WriteString("ab");  // rewriting counts once
    EXPECT_EQ(f.Written(), 10);
    f.Seek(0, soEnd);
    EXPECT_THROW(f.WriteString("!"), EOutputBudgetExceeded);
  }
  EXPECT_FALSE(std::filesystem::exists(out));
  std::ofstream(out) << "private";
  ::chmod(out.c_str(), 0600);
  TAtomicFileStream f(out, {0, true});
  f.WriteString("still private");
  f.Commit();
  EXPECT_EQ(ReadAll(out), "still private");
  EXPECT_EQ(std::filesystem::status(out).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST(Leftovers, OnlyThoseOfRunsNoLongerAliveAreCleared) {
  TTempDir dir;
  // A run still writing: its temporary file is held in use.
  TAtomicFileStream live(dir / "live.csv");
  const std::string held = dir / ".held.csv.00000000000000aa.keep";
  std::ofstream(held) << "held";
  const int h = ::open(held.c_str(), O_RDONLY);
  MarkInUse(h);
  std::ofstream(dir / ".dead.csv.00000000000000bb.part") << "half";
  std::ofstream(dir / ".back.csv.00000000000000cc.keep") << "kept aside";
  std::ofstream(dir / ".other.csv.00000000000000dd.keep") << "older";
  std::ofstream(dir / "other.csv") << "newer";
  std::ofstream(dir / ".x.00000000000000EE.part") << "not ours: upper-case hex";
  EXPECT_EQ(RemoveLeftovers(dir.Dir()), 3u);
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.Dir())) names.insert(e.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{".held.csv.00000000000000aa.keep", ".x.00000000000000EE.part", "back.csv",
                                          "other.csv"}));
  EXPECT_EQ(ReadAll(dir / "back.csv"), "kept aside");
  EXPECT_EQ(ReadAll(dir / "other.csv"), "newer");
  ::close(h);
  live.WriteString("done");
  live.Commit();
}

TEST(AtomicFileStream, LongOutputNamesStillGetATemporaryName) {
  TTempDir dir;
  const std::string out = dir / (std::string(250, 'n') + ".csv");  // 254 bytes: the limit is 255
  TAtomicFileStream f(out);
  f.WriteString("long");
  f.Commit();
  EXPECT_EQ(ReadAll(out), "long");
}

TEST(FileStream, DevicesAreNoSources) {
  try {
    TFileStream f("/dev/null", fmOpenRead);
    FAIL();
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "\"/dev/null\" is not a regular file (it is a character device).");
  }
}
