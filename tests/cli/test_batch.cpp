// varnowe-batch end to end: the real executable over temporary directories.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "TempDir.h"

namespace fs = std::filesystem;

namespace {

struct TResult {
  int Code = -1;
  std::string Out;
};

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// stdout, with stderr redirected as given ("&1" joins it to stdout).
TResult RunBatch(const std::string& args, const std::string& stderrTo = "&1") {
  TResult r;
  std::string cmd = std::string(VARNOWE_BATCH_EXE) + " " + args + " 2>" + stderrTo;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.Out.append(buf, n);
  int status = pclose(p);
  r.Code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// Exit status of a python3 check over the files in args (0 = passed).
int Python(const std::string& code, const std::string& args) {
  std::string cmd = "python3 -c " + Quote(code) + " " + args + " 2>&1";
  return WEXITSTATUS(system(cmd.c_str()));
}


std::string LotusDir() { return std::string(VARNOWE_CORPUS_DIR) + "/lotus"; }

bool HasLotusBof(const fs::path& p) {
  char head[4] = {};
  std::ifstream(p, std::ios::binary).read(head, 4);
  return head[0] == 0 && head[1] == 0 && head[2] == 2 && head[3] == 0;
}

// One corpus file per stem, so no two sources share an output name; the
// folder also holds a Works sheet that no Lotus reader takes.
std::vector<fs::path> CopyLotusSamples(const std::string& dest) {
  std::vector<fs::path> all;
  for (const auto& e : fs::directory_iterator(LotusDir()))
    if (e.is_regular_file() && HasLotusBof(e.path())) all.push_back(e.path());
  std::sort(all.begin(), all.end());
  std::set<std::string> stems;
  std::vector<fs::path> copied;
  fs::create_directories(dest);
  for (const auto& p : all) {
    if (!stems.insert(p.stem().string()).second) continue;
    fs::copy_file(p, fs::path(dest) / p.filename());
    copied.push_back(p.filename());
  }
  return copied;
}

const char* const CsvCheck =
    "import csv,sys\n"
    "for f in sys.argv[1:]:\n"
    "  rows=list(csv.reader(open(f,newline='',encoding='utf-8',errors='strict')))\n"
    "  assert rows, f+': no rows'\n";
const char* const HtmlCheck =
    "import sys\nfrom html.parser import HTMLParser\n"
    "class P(HTMLParser):\n"
    "  def __init__(s): super().__init__(); s.stack=[]; s.tables=0\n"
    "  def handle_starttag(s,t,a):\n"
    "    if t=='table': s.tables+=1\n"
    "for f in sys.argv[1:]:\n"
    "  p=P(); p.feed(open(f,encoding='utf-8',errors='replace').read()); p.close()\n"
    "  assert p.tables>=1, f+': no table'\n";
const char* const XmlCheck = "import sys,xml.etree.ElementTree as E\nfor f in sys.argv[1:]: E.parse(f)\n";

}  // namespace

TEST(BatchCli, UsageErrorsExitTwo) {
  TTempDir tmp;
  EXPECT_EQ(RunBatch("").Code, 2);                                         // no source
  EXPECT_EQ(RunBatch("--source " + Quote(tmp / "missing")).Code, 2);       // missing source directory
  EXPECT_EQ(RunBatch("--source " + Quote(tmp.Dir()) + " --format bmp").Code, 2);
  EXPECT_EQ(RunBatch("--source " + Quote(tmp.Dir()) + " --format 7").Code, 2);
  EXPECT_EQ(RunBatch("--source " + Quote(tmp.Dir()) + " --formats excel,dbase").Code, 2);
  EXPECT_EQ(RunBatch("--bogus").Code, 2);
  EXPECT_EQ(RunBatch("--settings " + Quote(tmp / "none.ini")).Code, 2);
  TResult help = RunBatch("--help");
  EXPECT_EQ(help.Code, 0);
  EXPECT_NE(help.Out.find("--no-overwrite"), std::string::npos);
  // An empty source directory: nothing to do, which is no error.
  TResult empty = RunBatch("--source " + Quote(tmp.Dir()));
  EXPECT_EQ(empty.Code, 0) << empty.Out;
  EXPECT_NE(empty.Out.find("No documents found in source directory."), std::string::npos) << empty.Out;
}

// What a script sees: the streams apart, and the exit status.
TEST(BatchCli, StreamsAndExitStatusesOfTheRealProgram) {
  TTempDir tmp;
  fs::create_directories(tmp / "in");
  std::ofstream(tmp / "in/broken.wk1") << "not a worksheet";
  const std::string errFile = tmp / "stderr.txt";
  auto run = [&](const std::string& args) {
    TResult r = RunBatch(args, Quote(errFile));
    std::ifstream e(errFile);
    return std::make_pair(r, std::string((std::istreambuf_iterator<char>(e)), {}));
  };
  auto [failed, failedErr] = run("-f csv " + Quote(tmp / "in/broken.wk1"));
  EXPECT_EQ(failed.Code, 1);
  EXPECT_EQ(failed.Out.find("Invalid file version"), std::string::npos) << failed.Out;
  EXPECT_NE(failed.Out.find("0 converted, 1 failed, 0 skipped\n"), std::string::npos) << failed.Out;
  EXPECT_NE(failedErr.find("broken.wk1\": Invalid file version"), std::string::npos) << failedErr;

  auto [usage, usageErr] = run("--format");
  EXPECT_EQ(usage.Code, 2);
  EXPECT_EQ(usage.Out, "");
  EXPECT_NE(usageErr.find("--help"), std::string::npos) << usageErr;

  auto [version, versionErr] = run("--version");
  EXPECT_EQ(version.Code, 0);
  EXPECT_EQ(version.Out, std::string("varnowe-batch ") + VARNOWE_VERSION + "\n");
  EXPECT_EQ(versionErr, "");
}

TEST(BatchCli, ListShowsBothListsWithoutConverting) {
  TTempDir tmp;
  fs::create_directories(tmp / "in");
  for (const char* n : {"a.wk1", "B.xls", "c.txt"}) std::ofstream(tmp / ("in/" + std::string(n)));
  TResult r = RunBatch("--source " + Quote(tmp / "in") + " --dest " + Quote(tmp / "out") + " --formats lotus --format csv --list");
  ASSERT_EQ(r.Code, 0) << r.Out;
  EXPECT_NE(r.Out.find("[x] " + (tmp / "in/a.wk1")), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("[ ] " + (tmp / "in/B.xls")), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("[ ] " + (tmp / "in/c.txt")), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("Work list (1):"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("Waiting"), std::string::npos);
  EXPECT_NE(r.Out.find(tmp / "out/a.csv"), std::string::npos);
  EXPECT_FALSE(fs::exists(tmp / "out/a.csv"));
}

TEST(BatchCli, ConvertsLotusCorpusToEveryTextFormat) {
  if (!fs::is_directory(LotusDir())) GTEST_SKIP() << "no corpus at " << LotusDir() << " (VARNOWE_CORPUS_DIR)";
  TTempDir tmp;
  const auto files = CopyLotusSamples(tmp / "in");
  ASSERT_FALSE(files.empty());
  const std::map<std::string, const char*> checks = {{"csv", CsvCheck}, {"htm", HtmlCheck}, {"xml", XmlCheck},
                                                     {"txt", nullptr}};
  for (const auto& [format, check] : checks) {
    SCOPED_TRACE(format);
    const std::string out = tmp / ("out-" + format);
    TResult r = RunBatch("--source " + Quote(tmp / "in") + " --dest " + Quote(out) + " --format " + format +
                    " --log " + Quote(tmp / "run.log"));
    EXPECT_EQ(r.Code, 0) << r.Out;
    EXPECT_NE(r.Out.find(std::to_string(files.size()) + " converted, 0 failed, 0 skipped\n"), std::string::npos)
        << r.Out;
    std::string outputs;
    for (const auto& f : files) {
      const std::string output = out + "/" + f.stem().string() + "." + format;
      ASSERT_TRUE(fs::exists(output)) << output << "\n" << r.Out;
      // One status line per item: status, time, source and destination.
      EXPECT_NE(r.Out.find((tmp / "in/") + f.filename().string() + " -> " + output), std::string::npos) << r.Out;
      outputs += " " + Quote(output);
    }
    if (check) {
      EXPECT_EQ(Python(check, outputs), 0);
    }
  }
  // One header and one empty line per run.
  std::ifstream log(tmp / "run.log", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(log)), {});
  size_t headers = 0;
  for (size_t p = 0; (p = text.find("Varnowe ", p)) != std::string::npos; ++p) ++headers;
  EXPECT_EQ(headers, checks.size());
}

TEST(BatchCli, NoOverwriteSkipsAndErrorsExitOne) {
  TTempDir tmp;
  fs::create_directories(tmp / "in");
  fs::create_directories(tmp / "out");
  std::ofstream(tmp / "in/garbage.wk1") << "this is not a worksheet";
  std::ofstream(tmp / "in/done.wk1") << "neither is this";
  std::ofstream(tmp / "out/done.csv") << "kept";
  const std::string base = "--source " + Quote(tmp / "in") + " --dest " + Quote(tmp / "out") + " --format csv";

  TResult r = RunBatch(base + " --no-overwrite");
  EXPECT_EQ(r.Code, 1) << r.Out;
  EXPECT_NE(r.Out.find("Skipped"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("Error "), std::string::npos) << r.Out;
  std::ifstream kept(tmp / "out/done.csv");
  std::string k;
  kept >> k;
  EXPECT_EQ(k, "kept");

  // Only skipped items: success.
  fs::remove(tmp / "in/garbage.wk1");
  EXPECT_EQ(RunBatch(base + " --no-overwrite").Code, 0);
}

TEST(BatchCli, SharedOutputNamesGetDistinctFiles) {
  TTempDir tmp;
  fs::create_directories(tmp / "in/x");
  fs::create_directories(tmp / "in/y");
  std::ofstream(tmp / "in/x/r.wk1") << "not a worksheet";
  std::ofstream(tmp / "in/y/r.wk1") << "not a worksheet";
  TResult r = RunBatch("--source " + Quote(tmp / "in") + " --subdirs --dest " + Quote(tmp / "out") + " --list");
  EXPECT_EQ(r.Code, 0);
  EXPECT_NE(r.Out.find("Work list (2):"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find(tmp / "out/r_wk1.txt"), std::string::npos) << r.Out;
}

TEST(BatchCli, SettingsFileWithCommandLineOverrides) {
  if (!fs::is_directory(LotusDir())) GTEST_SKIP() << "no corpus at " << LotusDir() << " (VARNOWE_CORPUS_DIR)";
  TTempDir tmp;
  fs::create_directories(tmp / "in");
  fs::copy_file(LotusDir() + "/sjs_qpro_write_l2.wk1", tmp / "in/l2.wk1");
  std::ofstream(tmp / "job.ini") << "[General]\r\nSource=" << (tmp / "in") << "\r\nDestination=" << (tmp / "ini-out")
                                 << "\r\nDestinationFormat=3\r\n[Log]\r\nOverwrite=1\r\n[SourceFormat]\r\nlotus=1\r\n";
  TResult r = RunBatch("--settings " + Quote(tmp / "job.ini"));
  EXPECT_EQ(r.Code, 0) << r.Out;
  EXPECT_TRUE(fs::exists(tmp / "ini-out/l2.xml")) << r.Out;

  r = RunBatch("--settings " + Quote(tmp / "job.ini") + " --format csv --dest " + Quote(tmp / "cli-out"));
  EXPECT_EQ(r.Code, 0) << r.Out;
  EXPECT_TRUE(fs::exists(tmp / "cli-out/l2.csv")) << r.Out;

  // The Lotus family unticked in the file: nothing accepted.
  std::ofstream(tmp / "job2.ini") << "[General]\r\nSource=" << (tmp / "in") << "\r\n[SourceFormat]\r\nlotus=0\r\n";
  r = RunBatch("--settings " + Quote(tmp / "job2.ini") + " --list");
  EXPECT_NE(r.Out.find("[ ] "), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("Work list (0):"), std::string::npos) << r.Out;

  // The wizard's own file when --settings names none.
  fs::create_directories(tmp / "cfg/Kestra/varnowe");
  std::ofstream(tmp / "cfg/Kestra/varnowe/varnowe.ini")
      << "[General]\r\nSource=" << (tmp / "in") << "\r\nDestination=" << (tmp / "wiz-out")
      << "\r\nDestinationFormat=2\r\n";
  std::string cmd = "XDG_CONFIG_HOME=" + Quote(tmp / "cfg") + " " + VARNOWE_BATCH_EXE + " --settings >/dev/null 2>&1";
  EXPECT_EQ(WEXITSTATUS(system(cmd.c_str())), 0);
  EXPECT_TRUE(fs::exists(tmp / "wiz-out/l2.htm"));
}

TEST(BatchCli, DumpWritesWorkbookJson) {
  if (!fs::is_directory(LotusDir())) GTEST_SKIP() << "no corpus at " << LotusDir() << " (VARNOWE_CORPUS_DIR)";
  TTempDir tmp;
  const std::string json = tmp / "dump.json";
  const std::string cmd = std::string(VARNOWE_BATCH_EXE) + " --dump " + Quote(LotusDir() + "/sjs_crlf_123r9.wk1") +
                          " > " + Quote(json);
  ASSERT_EQ(WEXITSTATUS(system(cmd.c_str())), 0);
  EXPECT_EQ(Python("import json,sys\n"
                   "d=json.load(open(sys.argv[1],encoding='utf-8'))\n"
                   "assert d['file']=='sjs_crlf_123r9.wk1' and d['reader']\n"
                   "s=d['sheets'][0]\n"
                   "for k in ('index','caption','rowCount','colCount','dimRowCount','dimColCount','columnWidths','cells'):"
                   " assert k in s, k\n"
                   "assert s['cells'], 'no cells'\n"
                   "c=s['cells'][0]\n"
                   "assert c['type'].startswith('ict') and c['align'].startswith('ta') and isinstance(c['format'],str)\n"
                   "assert 'properties' not in d\n",
                   Quote(json)),
            0);
  // The source's document properties, where it has some.
  const std::string notebook = std::string(VARNOWE_CORPUS_DIR) + "/quattro/opf_tika.qpw";
  ASSERT_EQ(WEXITSTATUS(system(("TZ=UTC " + std::string(VARNOWE_BATCH_EXE) + " --dump " + Quote(notebook) + " > " + Quote(json)).c_str())), 0);
  EXPECT_EQ(Python("import json,sys\n"
                   "p=json.load(open(sys.argv[1],encoding='utf-8'))['properties']\n"
                   "assert p['title']=='Example Quattro Pro X3 Spreadsheet' and p['author']=='Christiaan Fluit', p\n"
                   "assert p['created']=='2006-02-13T11:47:42' and p['keywords']=='extractor, test, rdf', p\n",
                   Quote(json)),
            0);
  // A file no reader takes: error on stderr, exit 1, nothing on stdout.
  std::ofstream(tmp / "x.bin") << "plain bytes";
  TResult bad = RunBatch("--dump " + Quote(tmp / "x.bin"), "/dev/null");
  EXPECT_EQ(bad.Code, 1);
  EXPECT_EQ(bad.Out, "");
  // The message names the file.
  RunBatch("--dump " + Quote(tmp / "x.bin"), Quote(tmp / "err.txt"));
  std::ifstream errFile(tmp / "err.txt");
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(errFile)), {}),
            "varnowe-batch: " + (tmp / "x.bin") + ": not a spreadsheet format this program reads\n");
}
