// varnowe-batch at scale: workers, shards, the report and retries. A parallel
// run and the shards of a job must leave exactly what one serial run leaves.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BatchCli.h"
#include "CliRun.h"
#include "BatchOptions.h"
#include "JobReport.h"
#include "Sharding.h"
#include "TempDir.h"
#include "TestWorkbooks.h"
#include "WorkbookDump.h"

namespace fs = std::filesystem;
using testbooks::ReadText;

namespace {

using TRun = TCliRun;

TRun Batch(std::vector<std::string> args) { return RunCli(std::move(args)); }

std::map<std::string, std::string> Tree(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) files[fs::relative(e.path(), dir).string()] = ReadText(e.path());
  return files;
}

// Times differ from run to run, and so does the destination folder.
std::string Normalized(std::string text, const std::string& dest) {
  for (size_t p; (p = text.find(dest)) != std::string::npos;) text.replace(p, dest.size(), "OUT/");
  text = std::regex_replace(text, std::regex("[ \t]+[0-9]+ msec"), " N msec");
  return std::regex_replace(text, std::regex("\"milliseconds\":[0-9]+"), "\"milliseconds\":N");
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Small files of every format from the corpus (every third one, to stay
// fast), with their folders, plus names that collide: two book.xls in
// different folders, book.xlsx, and book1.xlsx whose output is the name of
// book.xlsx's second sheet.
bool CopyCorpusSample(const fs::path& in) {
  const fs::path corpus = VARNOWE_CORPUS_DIR;
  if (!fs::is_directory(corpus / "xls")) return false;
  std::vector<fs::path> files;
  for (const char* dir : {"xls", "xlsx", "xlsb", "ods", "lotus", "quattro", "odd"})
    for (const auto& e : fs::directory_iterator(corpus / dir))
      if (e.is_regular_file() && e.file_size() < 30000) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  for (size_t i = 0; i < files.size(); i += 3) {
    fs::create_directories(in / files[i].parent_path().filename());
    fs::copy_file(files[i], in / files[i].parent_path().filename() / files[i].filename());
  }
  fs::create_directories(in / "x");
  fs::create_directories(in / "y");
  fs::copy_file(corpus / "xls/xlrd_ragged.xls", in / "x/book.xls");
  fs::copy_file(corpus / "xls/sjs_gnumeric_a4x.xls", in / "y/book.xls");
  fs::copy_file(corpus / "xlsx/roo_numbers_export.xlsx", in / "book.xlsx");
  fs::copy_file(corpus / "xlsx/roo_numbers_export.xlsx", in / "book1.xlsx");
  return true;
}

class ScaleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!CopyCorpusSample(Tmp / "in")) GTEST_SKIP() << "the corpus is not at " << VARNOWE_CORPUS_DIR;
  }
  // The job over the sample into dest.
  TRun Job(const std::string& dest, std::vector<std::string> more) {
    std::vector<std::string> args{"-s", Tmp / "in", "-r", "-d", dest, "-f", "csv"};
    args.insert(args.end(), more.begin(), more.end());
    return Batch(args);
  }
  TTempDir Tmp;
};

}  // namespace

TEST_F(ScaleTest, AParallelRunLeavesAndPrintsWhatASerialRunDoes) {
  const TRun serial = Job(Tmp / "one/", {"-j", "1", "-v", "--log", Tmp / "one.log", "--report", Tmp / "one.jsonl"});
  const TRun parallel = Job(Tmp / "par/", {"-j", "3", "-v", "--log", Tmp / "par.log", "--report", Tmp / "par.jsonl"});
  ASSERT_EQ(serial.Code, 1) << serial.Out << serial.Err;  // the odd files fail
  EXPECT_EQ(parallel.Code, serial.Code);
  const auto one = Tree(Tmp / "one");
  EXPECT_GT(one.size(), 60u);
  EXPECT_EQ(Tree(Tmp / "par"), one);
  // The colliding names, decided as the work list orders them.
  for (const char* name : {"book.csv", "book1_xlsx.csv", "book1.csv", "book11.csv", "book_xls.csv", "book_xls_2.csv"})
    EXPECT_EQ(one.count(name), 1u) << name;
  EXPECT_EQ(Normalized(parallel.Out, Tmp / "par/"), Normalized(serial.Out, Tmp / "one/"));
  EXPECT_EQ(Normalized(parallel.Err, Tmp / "par/"), Normalized(serial.Err, Tmp / "one/"));
  // The log after its header line (which holds the time of the run).
  auto body = [&](const std::string& log, const std::string& dest) {
    const std::string text = ReadText(log);
    return Normalized(text.substr(text.find('\n') + 1), dest);
  };
  EXPECT_EQ(body(Tmp / "par.log", Tmp / "par/"), body(Tmp / "one.log", Tmp / "one/"));
  EXPECT_EQ(Normalized(ReadText(Tmp / "par.jsonl"), Tmp / "par/"),
            Normalized(ReadText(Tmp / "one.jsonl"), Tmp / "one/"));
}

TEST_F(ScaleTest, ShardsRunOneAfterAnotherAddUpToTheSingleRun) {
  const TRun whole = Job(Tmp / "one/", {"-j", "2", "--report", Tmp / "one.jsonl"});
  std::multiset<std::string> sources;
  std::vector<std::string> itemLines;
  for (int k = 0; k < 3; ++k) {
    const std::string report = Tmp / ("s" + std::to_string(k) + ".jsonl");
    const TRun shard = Job(Tmp / "sh/", {"-j", "2", "--shard", std::to_string(k) + "/3", "--report", report});
    EXPECT_LE(shard.Code, 1) << shard.Err;
    for (const TReportEntry& e : ReadReport(report)) sources.insert(e.Source);
    for (const std::string& line : Lines(Normalized(shard.Out, Tmp / "sh/")))
      if (line.find(" -> ") != std::string::npos) itemLines.push_back(line);
  }
  EXPECT_EQ(Tree(Tmp / "sh"), Tree(Tmp / "one"));
  // Every item in exactly one shard.
  std::multiset<std::string> all;
  for (const TReportEntry& e : ReadReport(Tmp / "one.jsonl")) all.insert(e.Source);
  EXPECT_EQ(sources, all);
  std::vector<std::string> wholeLines;
  for (const std::string& line : Lines(Normalized(whole.Out, Tmp / "one/")))
    if (line.find(" -> ") != std::string::npos) wholeLines.push_back(line);
  std::sort(itemLines.begin(), itemLines.end());
  std::sort(wholeLines.begin(), wholeLines.end());
  EXPECT_EQ(itemLines, wholeLines);
}

TEST(Report, RecordsAreJsonWithTheirFieldsAndFailuresAreRetried) {
  TTempDir tmp;
  fs::create_directories(tmp / "in");
  testbooks::WriteBytes(tmp / "in/good.xlsx", testbooks::Xlsx({testbooks::XlsxRowCell("A1", "1")}));
  testbooks::WriteBytes(tmp / "in/two.xlsx", testbooks::Xlsx({testbooks::XlsxRowCell("A1", "1") +
                                                               testbooks::XlsxRowCell("B2", "2")}));
  testbooks::WriteBytes(tmp / "in/bad.xlsx", std::string("no workbook"));
  // A name with a quote, a tab and a byte that is no UTF-8.
  const std::string odd = std::string("q\"t\tx\xff") + ".xlsx";
  testbooks::WriteBytes(tmp / ("in/" + odd), std::string("no workbook either"));
  const TRun first = Batch({"-s", tmp / "in", "-d", tmp / "out", "-f", "csv", "--report", tmp / "r.jsonl", "-j", "2"});
  EXPECT_EQ(first.Code, 1);

  // Any JSON reader takes each line: checked by Python's where it is installed.
  const std::string check = tmp / "check.py";
  std::ofstream(check) << "import json,sys\n"
                          "for line in open(sys.argv[1], encoding='utf-8', errors='surrogatepass'):\n"
                          "  r = json.loads(line)\n"
                          "  assert set(r) == {'source','destination','outputs','status','message','milliseconds',"
                          "'sheets','cells','reader','version'}, r\n"
                          "  print(r['status'], r['sheets'], r['cells'], r['reader'] is not None, len(r['outputs']),"
                          " r['source'].encode('utf-8','surrogateescape') == "
                          "(sys.argv[2] + r['source'].split('/')[-1]).encode('utf-8','surrogateescape'))\n";
  if (std::system("python3 -c 'import json' 2>/dev/null") == 0) {
    std::string out;
    const std::string cmd = "python3 " + check + " " + tmp / "r.jsonl" + " " + tmp / "in/";
    if (FILE* p = popen(cmd.c_str(), "r")) {
      char buf[512];
      while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
      EXPECT_EQ(pclose(p), 0) << out;
    }
    // Sorted work list: bad, good, the odd name, two. A file no reader
    // recognised names none, and nothing read.
    EXPECT_EQ(out,
              "Error None None False 0 True\n"
              "Finished 1 1 True 1 True\n"
              "Error None None False 0 True\n"
              "Finished 1 2 True 1 True\n");
  }
  // Our own reader gets every name back byte for byte.
  const auto entries = ReadReport(tmp / "r.jsonl");
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[2].Source, tmp / ("in/" + odd));
  const auto retry = ItemsToRetry(entries);
  ASSERT_EQ(retry.size(), 2u);

  // Sources given otherwise than in the run that wrote the report match nothing: said.
  fs::create_directory_symlink(tmp / "in", tmp / "link");
  const TRun other = Batch({"-s", tmp / "link", "-d", tmp / "out", "--retry-from", tmp / "r.jsonl", "--list"});
  EXPECT_NE(other.Err.find("warning: 2 file(s) of"), std::string::npos) << other.Err;
  EXPECT_NE(other.Out.find("Work list (0)"), std::string::npos) << other.Out;

  // Mend one, convert again: with the job's sources only the failed run ...
  testbooks::WriteBytes(tmp / "in/bad.xlsx", testbooks::Xlsx({testbooks::XlsxRowCell("C3", "3")}));
  fs::remove(tmp / "out/good.csv");
  const TRun again = Batch({"-s", tmp / "in", "-d", tmp / "out", "-f", "csv", "--retry-from", tmp / "r.jsonl",
                            "--report", tmp / "r2.jsonl"});
  EXPECT_EQ(again.Code, 1);
  EXPECT_TRUE(fs::exists(tmp / "out/bad.csv"));
  EXPECT_FALSE(fs::exists(tmp / "out/good.csv"));
  EXPECT_TRUE(again.Out.ends_with("1 converted, 1 failed, 0 skipped\n")) << again.Out;
  // ... and alone, from the joined reports, into the outputs they name.
  fs::remove(tmp / "out/bad.csv");
  std::ofstream(tmp / "all.jsonl") << ReadText(tmp / "r.jsonl") << ReadText(tmp / "r2.jsonl");
  fs::remove(tmp / ("in/" + odd));
  const TRun alone = Batch({"--retry-from", tmp / "all.jsonl"});
  EXPECT_EQ(alone.Code, 1) << alone.Out << alone.Err;
  EXPECT_TRUE(alone.Out.ends_with("0 converted, 1 failed, 0 skipped\n")) << alone.Out;
}

TEST(Report, ReadingNamesTheLineOfABadRecordAndBoundsNesting) {
  const std::string good = "{\"source\":\"a\\u00e9\\udcff\\ud83d\\ude00\",\"status\":\"Error\",\"x\":[1,{\"y\":null}]}";
  const auto entries = ParseReport("\n" + good + "\n", "r.jsonl");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Source, "a\xc3\xa9\xff\xf0\x9f\x98\x80");
  EXPECT_EQ(JsonString(entries[0].Source, true), "\"a\xc3\xa9\\udcff\xf0\x9f\x98\x80\"");
  for (const std::string& bad : {std::string("{\"source\":\"a\"}"), std::string("{\"source\":\"a\",\"status\":1"),
                                std::string("[") + std::string(100000, '[') + "]", std::string("{\"source\":\"\\ud800\"}"),
                                std::string("{\"source\":\"a\",\"status\":\"x\"} trailing")}) {
    try {
      ParseReport(good + "\n" + bad + "\n", "r.jsonl");
      ADD_FAILURE() << bad;
    } catch (const EReportError& e) {
      EXPECT_EQ(std::string(e.what()).rfind("r.jsonl:2: ", 0), 0u) << e.what();
    }
  }
  // The last record of a source counts.
  const auto retry = ItemsToRetry(ParseReport(
      "{\"source\":\"a\",\"status\":\"Error\"}\n{\"source\":\"b\",\"status\":\"Canceled\"}\n"
      "{\"source\":\"a\",\"status\":\"Finished\"}\n{\"source\":\"c\",\"status\":\"Waiting\"}\n",
      "r"));
  ASSERT_EQ(retry.size(), 2u);
  EXPECT_EQ(retry[0].Source, "b");
  EXPECT_EQ(retry[1].Source, "c");
}

TEST(Shards, NumberingHashAndPartition) {
  EXPECT_EQ(ParseShard("0/1").Count, 1u);
  EXPECT_EQ(ParseShard(" 2 / 3 ").Index, 2u);
  for (const char* bad : {"3/3", "1", "-1/3", "0/0", "a/b", "1/2/3", "", "99999999999/3"})
    EXPECT_THROW(ParseShard(bad), EUsageError) << bad;
  // FNV-1a as published: any machine and build agree.
  EXPECT_EQ(StableHash(""), 0xcbf29ce484222325ull);
  EXPECT_EQ(StableHash("a"), 0xaf63dc4c8601ec8cull);
  EXPECT_EQ(ShardKey("./sub//book.xls"), "sub/book.xls");
  // Each file in exactly one shard, and the shards are not lopsided.
  int counts[4] = {};
  for (int i = 0; i < 4000; ++i) {
    int in = 0;
    for (uint32_t k = 0; k < 4; ++k)
      if (InShard("dir/file" + std::to_string(i) + ".xls", TShard{k, 4})) {
        ++in;
        ++counts[k];
      }
    EXPECT_EQ(in, 1);
  }
  for (int c : counts) EXPECT_GT(c, 850);
}

TEST(Shards, ItemsWhoseOutputsCouldMeetGoToOneShard) {
  // c.xls's sheet 11 (c11.csv, fallback c11_xls.csv) is c1.xls's sheet 1;
  // c_x and c0 never meet c (sheet numbers start 1 to 9), nor does another folder.
  const std::vector<std::string> dests{"out/c.csv", "out/c1.csv", "out/d_x.csv", "out/c_x.csv", "other/c11.csv",
                                       "out/c0.csv", "out/c12.csv"};
  TDestinationOptions d;
  EXPECT_EQ(NamingGroups(dests, d, 1), (std::vector<size_t>{0, 0, 2, 3, 4, 5, 0}));
  // Only destinations written: nobody meets.
  d.Sheets = ssFirst;
  EXPECT_EQ(NamingGroups(dests, d, 1), (std::vector<size_t>{0, 1, 2, 3, 4, 5, 6}));
  d.Sheets = ssAll;
  d.WholeWorkbook = true;
  EXPECT_EQ(NamingGroups(dests, d, 5), (std::vector<size_t>{0, 1, 2, 3, 4, 5, 6}));
  // A template: any sheet name may follow {name}.
  d.WholeWorkbook = false;
  d.NameTemplate = "{name}{sheet}{ext}";
  EXPECT_EQ(NamingGroups(dests, d, 1), (std::vector<size_t>{0, 0, 2, 0, 4, 0, 0}));
  d.NameTemplate = "{name} - {sheet}{ext}";  // "c - " begins none of the others'
  EXPECT_EQ(NamingGroups(dests, d, 1), (std::vector<size_t>{0, 1, 2, 3, 4, 5, 6}));
  d.NameTemplate = "{name}{ext}";  // one name per item, fallbacks before the extension
  EXPECT_EQ(NamingGroups(dests, d, 1), (std::vector<size_t>{0, 0, 2, 0, 4, 0, 0}));
}

TEST(Usage, BadScaleOptionsAreUsageErrors) {
  TTempDir tmp;
  fs::create_directories(tmp / "in");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-j", "0"}, {"-j", "x"}, {"--jobs", "1000"}, {"--shard", "3/3"}, {"--shard", "2"}}) {
    std::vector<std::string> all{"-s", tmp / "in"};
    all.insert(all.end(), args.begin(), args.end());
    const TRun r = Batch(all);
    EXPECT_EQ(r.Code, 2) << args[0] << " " << args[1];
    EXPECT_NE(r.Err.find(args[0]), std::string::npos) << r.Err;
  }
  const TRun report = Batch({"-s", tmp / "in", "--report", tmp / "no/such/dir/r.jsonl"});
  EXPECT_EQ(report.Code, 2);
  EXPECT_NE(report.Err.find("cannot write the report"), std::string::npos) << report.Err;
  const TRun retry = Batch({"--retry-from", tmp / "missing.jsonl"});
  EXPECT_EQ(retry.Code, 2);
  EXPECT_NE(retry.Err.find("missing.jsonl"), std::string::npos) << retry.Err;
}

TEST(Signals, SigintStopsEveryWorkerAndTakesBackTheirOutputs) {
  TTempDir dir;
  fs::create_directories(dir / "in");
  // Far cells: outputs of gigabytes, written until the signal comes.
  for (const char* name : {"a.xlsx", "b.xlsx", "c.xlsx"})
    testbooks::WriteBytes(dir / ("in/" + std::string(name)), testbooks::Xlsx({testbooks::XlsxRowCell("XFD1048576", "1")}));
  const std::string log = dir / "log.txt";
  const pid_t pid = fork();
  if (pid == 0) {
    FILE* f = std::fopen(log.c_str(), "w");
    if (f) {
      dup2(fileno(f), 1);
      dup2(fileno(f), 2);
    }
    const std::string in = dir / "in", out = dir / "out";
    execl(VARNOWE_BATCH_EXE, VARNOWE_BATCH_EXE, "-s", in.c_str(), "-d", out.c_str(), "-f", "csv", "--max-output",
          "0", "-j", "2", static_cast<char*>(nullptr));
    _exit(127);
  }
  // Both workers have a temporary output open.
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  for (int i = 0; i < 4000; ++i) {
    std::error_code ec;
    int open = 0;
    for (const auto& e : fs::directory_iterator(fds, ec)) {
      std::error_code lec;
      open += fs::read_symlink(e.path(), lec).string().rfind(dir / "out/", 0) == 0;
    }
    if (open >= 2) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const auto sent = std::chrono::steady_clock::now();
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << ReadText(log);
  EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(5));
  const std::string text = ReadText(log);
  size_t canceled = 0;
  for (size_t p = 0; (p = text.find("Canceled ", p)) != std::string::npos; ++p) ++canceled;
  EXPECT_EQ(canceled, 2u) << text;
  EXPECT_NE(text.find("Waiting"), std::string::npos) << text;
  EXPECT_TRUE(fs::is_empty(dir / "out")) << text;
}

TEST_F(ScaleTest, TheGnuParallelRecipeConvertsTheWholeJob) {
  if (std::system("parallel --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "GNU parallel is not installed";
  Job(Tmp / "one/", {"-j", "1"});
  // As in the README, with this machine (":") as the only host.
  const std::string cmd = "parallel -S : --jobs 1 --will-cite " VARNOWE_BATCH_EXE " -q -s " + Tmp / "in" +
                          " -r -d " + Tmp / "par" + " -f csv --shard {}/3 --report " + Tmp / "r-{}.jsonl" +
                          " ::: 0 1 2 >/dev/null 2>&1";
  // GNU parallel exits with the number of shards that failed: the odd files fail.
  EXPECT_LE(WEXITSTATUS(std::system(cmd.c_str())), 3);
  EXPECT_EQ(Tree(Tmp / "par"), Tree(Tmp / "one"));
  size_t records = 0;
  for (int k = 0; k < 3; ++k) records += ReadReport(Tmp / ("r-" + std::to_string(k) + ".jsonl")).size();
  EXPECT_EQ(records, size_t(std::count_if(fs::recursive_directory_iterator(Tmp / "in"), {},
                                          [](const fs::directory_entry& e) { return e.is_regular_file(); })));
}
