// Passwords on the command line: --password and --password-file open
// protected files, a file none opens fails (exit 1, nothing written), and
// the passwords appear in no output, log, report, dump or process title.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "BatchOptions.h"
#include "CliRun.h"
#include "CodePage.h"
#include "CryptBuilder.h"
#include "TempDir.h"
#include "TestWorkbooks.h"

extern char** environ;

namespace {

using namespace testbooks;

const std::string Secret = "s3cr\xC3\xAAt-Pa55";
const std::string Wrong = "n0t-it-Pa55";

}  // namespace

TEST(PasswordCli, PasswordsOpenProtectedFilesAndAreNeverShown) {
  SetACPOverride(CP_UTF8);
  TTempDir dir;
  cryptbooks::TAgileWriter w;
  WriteBytes(dir / "book.xlsx", cryptbooks::Container(w.Streams(Secret, Xlsx({XlsxRowCell("A1", "42")}))));
  std::ofstream(dir / "passwords.txt") << "\xEF\xBB\xBF" << Wrong << "\r\n\n" << Secret << "\n";
  const std::string book = dir / "book.xlsx", out = dir / "out", log = dir / "run.log", report = dir / "r.json";
  const std::string opened = "\"book.xlsx\" is password-protected (Agile encryption); ";
  struct {
    std::vector<std::string> Args;
    int Code;
    std::string Shown;  // in stdout or stderr
    bool Written;
  } cases[] = {
      {{"--password", Wrong, "--password=" + Secret}, 0, "Finished (opened with a password)", true},
      {{"--password-file", dir / "passwords.txt"}, 0, "Finished (opened with a password)", true},
      {{}, 1, opened + "this program cannot open protected files.", false},
      {{"--password", Wrong}, 1, opened + "the passwords given do not open it.", false},
      {{"--password-file", dir / "none.txt"}, 2, "--password-file " + (dir / "none.txt"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Shown);
    std::filesystem::remove_all(out);
    std::filesystem::remove(log);
    std::vector<std::string> args = {book, "-d", out, "-f", "csv", "-v", "--log", log, "--report", report};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    const TCliRun r = RunCli(args);
    EXPECT_EQ(r.Code, c.Code) << r.Err;
    EXPECT_NE((r.Out + r.Err).find(c.Shown), std::string::npos) << r.Out << r.Err;
    EXPECT_EQ(std::filesystem::exists(dir / "out/book.csv"), c.Written);
    const std::string all = r.Out + r.Err + ReadText(log) + ReadText(report);
    EXPECT_EQ(all.find(Secret), std::string::npos) << all;
    EXPECT_EQ(all.find(Wrong), std::string::npos) << all;
    if (c.Written) {
      EXPECT_NE(ReadText(log).find("\topened with a password"), std::string::npos);
    }
  }
  const TCliRun dump = RunCli({"--dump", book, "--password", Secret});
  EXPECT_EQ(dump.Code, 0) << dump.Err;
  EXPECT_NE(dump.Out.find("\"value\": 42"), std::string::npos) << dump.Out;
  EXPECT_EQ(dump.Out.find(Secret), std::string::npos);
}

TEST(PasswordCli, TheCommandLineLosesItsPasswords) {
  struct {
    std::vector<std::string> Args, Expected;
  } cases[] = {
      {{"--password", "abc", "-v"}, {"--password", "***", "-v"}},
      {{"--password=abc", "x.xls"}, {"--password=***", "x.xls"}},
      {{"--password"}, {"--password"}},
      {{"--", "--password", "abc"}, {"--", "--password", "abc"}},
      {{"--password-file", "abc"}, {"--password-file", "abc"}},
  };
  for (auto& c : cases) {
    std::vector<char*> argv = {const_cast<char*>("varnowe-batch")};
    for (std::string& a : c.Args) argv.push_back(a.data());
    HidePasswordArguments(int(argv.size()), argv.data());
    EXPECT_EQ(c.Args, c.Expected);
  }
}

// The program as others on the machine see it while it waits for its
// password file (a pipe nobody writes to yet).
TEST(PasswordCli, TheProcessTitleShowsNoPassword) {
  TTempDir dir;
  const std::string fifo = dir / "passwords";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::vector<std::string> args = {VARNOWE_BATCH_EXE, "--password", Secret, "--password-file", fifo, "--dump", "x"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, VARNOWE_BATCH_EXE, nullptr, nullptr, argv.data(), environ), 0);
  std::string cmdline;
  for (int i = 0; i < 200 && cmdline.find("****") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    cmdline = ReadText("/proc/" + std::to_string(pid) + "/cmdline");
  }
  std::ofstream(fifo) << Secret << "\n";  // lets it go on
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_NE(cmdline.find("--password"), std::string::npos);
  EXPECT_EQ(cmdline.find(Secret), std::string::npos) << cmdline;
}
