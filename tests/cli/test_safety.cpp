// varnowe-batch as a child process under signals, beside another run, and
// with budgets: the exit statuses and the files it leaves.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "LotusBuilder.h"
#include "TempDir.h"
#include "TestWorkbooks.h"

namespace fs = std::filesystem;
using testbooks::ReadText;

namespace {

struct TChild {
  pid_t Pid = -1;
  std::string OutFile;
};

// Starts varnowe-batch with args, stdout and stderr into outFile.
TChild Start(const std::vector<std::string>& args, const std::string& outFile) {
  TChild c;
  c.OutFile = outFile;
  c.Pid = fork();
  if (c.Pid == 0) {
    FILE* f = std::fopen(outFile.c_str(), "w");
    if (f) {
      dup2(fileno(f), 1);
      dup2(fileno(f), 2);
    }
    std::vector<char*> argv{const_cast<char*>(VARNOWE_BATCH_EXE)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(VARNOWE_BATCH_EXE, argv.data());
    _exit(127);
  }
  return c;
}

// The exit status, or 1000 + the signal that ended it.
int Wait(const TChild& c) {
  int status = 0;
  waitpid(c.Pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

// Waits (up to 20 s) until the child has a file open whose path starts with prefix.
bool WaitForOpenFile(pid_t pid, const std::string& prefix) {
  const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
  for (int i = 0; i < 20000; ++i) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(fdDir, ec)) {
      std::error_code lec;
      const std::string target = fs::read_symlink(e.path(), lec).string();
      if (!lec && target.rfind(prefix, 0) == 0) return true;
    }
    if (ec) return false;  // the child is gone
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A sheet of rows x cols numbers: some megabytes of XML that take a while to read.
std::string BigXlsx(int rows, int cols) {
  std::string data;
  data.reserve(size_t(rows) * size_t(cols) * 16);
  for (int r = 1; r <= rows; ++r) {
    data += "<row r=\"" + std::to_string(r) + "\">";
    for (int c = 0; c < cols; ++c) data += "<c><v>" + std::to_string(r * 7 + c) + "</v></c>";
    data += "</row>";
  }
  return testbooks::Xlsx({data});
}

}  // namespace

TEST(Signals, SigtermOrSighupStopsALargeConversionMidway) {
  // One cell at XFD1048576: with no output budget, gigabytes of CSV that
  // once ran to the end whatever the signals said. A stray end tag in the
  // sheet costs a warning first.
  for (const auto& [sig, code] : {std::pair{SIGTERM, 143}, std::pair{SIGHUP, 129}}) {
    SCOPED_TRACE(sig);
    TTempDir dir;
    fs::create_directories(dir / "in");
    testbooks::WriteBytes(dir / "in/far.xlsx",
                          testbooks::Xlsx({"</x>" + testbooks::XlsxRowCell("XFD1048576", "1")}));
    testbooks::WriteBytes(dir / "in/later.xlsx", testbooks::Xlsx({testbooks::XlsxRowCell("A1", "1")}));
    fs::create_directories(dir / "out");
    std::ofstream(dir / "out/far.csv") << "the previous output";
    // One worker: later.xlsx must wait behind far.xlsx (workers are tested in test_scale).
    TChild c = Start({"--source", dir / "in", "--dest", dir / "out", "--format", "csv", "--max-output", "0", "-j", "1"},
                     dir / "log.txt");
    // The writer has its temporary output open: the conversion is under way.
    ASSERT_TRUE(WaitForOpenFile(c.Pid, dir / "out/")) << ReadText(dir / "log.txt");
    const auto sent = std::chrono::steady_clock::now();
    kill(c.Pid, sig);
    EXPECT_EQ(Wait(c), code) << ReadText(dir / "log.txt");
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(5));
    const std::string log = ReadText(dir / "log.txt");
    EXPECT_NE(log.find("Canceled"), std::string::npos) << log;
    EXPECT_NE(log.find("far.xlsx: canceled after 1 warning"), std::string::npos) << log;
    EXPECT_NE(log.find("Waiting"), std::string::npos) << log;  // later.xlsx was not started
    EXPECT_EQ(ReadText(dir / "out/far.csv"), "the previous output");
    EXPECT_EQ(Entries(dir / "out"), std::vector<std::string>{"far.csv"});
  }
}

TEST(Signals, AClosedStandardOutputStopsTheRunWithAMessage) {
  TTempDir dir;
  fs::create_directories(dir / "in");
  for (int i = 0; i < 40; ++i)
    testbooks::WriteBytes(dir / ("in/b" + std::to_string(100 + i) + ".xlsx"), BigXlsx(300, 20));
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  const std::string err = dir / "err.txt";
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipeFds[0]);
    dup2(pipeFds[1], 1);
    if (FILE* f = std::fopen(err.c_str(), "w")) dup2(fileno(f), 2);
    const std::string in = dir / "in", out = dir / "out";
    execl(VARNOWE_BATCH_EXE, VARNOWE_BATCH_EXE, "-j", "1", "-s", in.c_str(), "-d", out.c_str(), "-f", "csv",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipeFds[1]);
  // As "| head -1": one line read, then the pipe closed.
  std::string line;
  for (char ch; read(pipeFds[0], &ch, 1) == 1 && ch != '\n';) line += ch;
  close(pipeFds[0]);
  EXPECT_NE(line.find("b100.xlsx"), std::string::npos) << line;
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 141) << status << ReadText(err);
  EXPECT_NE(ReadText(err).find("standard output is closed: stopping"), std::string::npos) << ReadText(err);
  // What was converted stays, the file in progress was taken back, nothing hidden is left.
  const auto outputs = Entries(dir / "out");
  EXPECT_GE(outputs.size(), 1u);
  EXPECT_LT(outputs.size(), 40u);
  for (const std::string& name : outputs) EXPECT_NE(name[0], '.') << name;
}

TEST(Signals, SigintWhileAWorkbookLoadsExits130WithoutOutputs) {
  TTempDir dir;
  fs::create_directories(dir / "in");
  testbooks::WriteBytes(dir / "in/big.xlsx", BigXlsx(4000, 100));
  TChild c = Start({"--source", dir / "in", "--dest", dir / "out", "--format", "csv"}, dir / "log.txt");
  ASSERT_TRUE(WaitForOpenFile(c.Pid, dir / "in/big.xlsx")) << ReadText(dir / "log.txt");
  kill(c.Pid, SIGINT);
  EXPECT_EQ(Wait(c), 130) << ReadText(dir / "log.txt");
  EXPECT_TRUE(Entries(dir / "out").empty());
}

TEST(Concurrency, TwoRunsIntoOneFolderLeaveCompleteFiles) {
  TTempDir dir;
  fs::create_directories(dir / "in");
  for (int i = 0; i < 3; ++i) testbooks::WriteBytes(dir / ("in/b" + std::to_string(i) + ".xlsx"), BigXlsx(300 + 100 * i, 40));
  // What one run alone writes.
  TChild ref = Start({"--source", dir / "in", "--dest", dir / "ref", "--format", "csv"}, dir / "ref.txt");
  ASSERT_EQ(Wait(ref), 0) << ReadText(dir / "ref.txt");
  TChild a = Start({"--source", dir / "in", "--dest", dir / "out", "--format", "csv"}, dir / "a.txt");
  TChild b = Start({"--source", dir / "in", "--dest", dir / "out", "--format", "csv"}, dir / "b.txt");
  EXPECT_EQ(Wait(a), 0) << ReadText(dir / "a.txt");
  EXPECT_EQ(Wait(b), 0) << ReadText(dir / "b.txt");
  EXPECT_EQ(Entries(dir / "out"), Entries(dir / "ref"));
  for (const std::string& name : Entries(dir / "ref"))
    EXPECT_TRUE(ReadText(dir / ("out/" + name)) == ReadText(dir / ("ref/" + name))) << name;
}

TEST(Budgets, MaxOutputAndTruncatedFilesGiveExitStatus1) {
  TTempDir dir;
  fs::create_directories(dir / "in");
  testbooks::WriteBytes(dir / "in/wide.xlsx", testbooks::Xlsx({testbooks::XlsxRowCell("Z100", "1")}));
  TChild c = Start({"--source", dir / "in", "--dest", dir / "out", "--format", "csv", "--max-output", "1K"},
                   dir / "log.txt");
  EXPECT_EQ(Wait(c), 1);
  const std::string log = ReadText(dir / "log.txt");
  EXPECT_NE(log.find("its grid of 101 rows by 27 columns needs at least 2.8 KiB as CSV, more than the output "
                     "budget of 1 KiB per file"),
            std::string::npos)
      << log;
  EXPECT_TRUE(Entries(dir / "out").empty());

  c = Start({"--source", dir / "in", "--max-output", "lots"}, dir / "log.txt");
  EXPECT_EQ(Wait(c), 2);
  EXPECT_NE(ReadText(dir / "log.txt").find("--max-output \"lots\" is no size"), std::string::npos);

  // A settings file sets the budgets too.
  std::ofstream(dir / "job.ini") << "[General]\nSource=" << (dir / "in") << "\nDestination=" << (dir / "out2")
                                 << "\nDestinationFormat=1\n[Options]\nMaxOutputSize=2K\n";
  c = Start({"--settings", dir / "job.ini"}, dir / "log.txt");
  EXPECT_EQ(Wait(c), 1);
  EXPECT_NE(ReadText(dir / "log.txt").find("output budget of 2 KiB"), std::string::npos) << ReadText(dir / "log.txt");

  fs::remove_all(dir / "in");
  fs::create_directories(dir / "in");
  LotusBuilder wk1;
  wk1.Bof(0x0406).Integer1(0, 0, 7);  // ends before its end-of-file record
  testbooks::WriteBytes(dir / "in/cut.wk1", wk1.Data());
  c = Start({"--source", dir / "in", "--dest", dir / "out", "--format", "csv"}, dir / "log.txt");
  EXPECT_EQ(Wait(c), 1);
  EXPECT_NE(ReadText(dir / "log.txt").find("\"cut.wk1\" is truncated: it ends at byte"), std::string::npos);
  EXPECT_EQ(ReadText(dir / "out/cut.csv"), "7\n");
}

TEST(Messages, ASourceFolderThatIsALinkLoopSaysSo) {
  TTempDir dir;
  ASSERT_EQ(symlink("loop", (dir / "loop").c_str()), 0);
  TChild c = Start({"--source", dir / "loop"}, dir / "log.txt");
  EXPECT_EQ(Wait(c), 2);
  EXPECT_EQ(ReadText(dir / "log.txt"),
            "varnowe-batch: source directory " + (dir / "loop") + ": Too many levels of symbolic links\n");
}
