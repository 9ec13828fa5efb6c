// varnowe-batch in-process: the command line, what goes to which stream, and
// the documents that describe it (golden --help, man page, completion).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "BatchCli.h"
#include "CliRun.h"
#include "BatchOptions.h"
#include "BiffBuilder.h"
#include "CfbBuilder.h"
#include "ConversionFrontEnd.h"
#include "LotusBuilder.h"
#include "SettingsSamples.h"
#include "TempDir.h"

namespace fs = std::filesystem;

namespace {

using TRun = TCliRun;

TRun Batch(std::vector<std::string> args) { return RunCli(std::move(args)); }

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), {});
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A one-sheet worksheet with a label and a number.
void WriteWorksheet(const std::string& path, const std::string& label = "hello") {
  LotusBuilder b;
  b.Bof(0x0406).Label1(0, 0, '\'', label).Integer1(1, 0, 42).Eof();
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.Data().data()),
                                              std::streamsize(b.Data().size()));
}

// Three sheets, the middle one empty: outputs for sheets 0 and 2.
void WriteThreeSheets(const std::string& path) {
  LotusBuilder b;
  b.Bof(0x1000).Label3(0, 0, 0, '\'', "first").Label3(0, 2, 0, '\'', "third").Eof();
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.Data().data()),
                                              std::streamsize(b.Data().size()));
}

class CliTest : public ::testing::Test {
 protected:
  TTempDir Tmp;
};

TEST_F(CliTest, HelpMatchesTheGoldenTextAndVersionNamesTheRelease) {
  const TRun help = Batch({"--help"});
  EXPECT_EQ(help.Code, 0);
  EXPECT_EQ(help.Err, "");
  EXPECT_EQ(help.Out, ReadFile(std::string(VARNOWE_SOURCE_DIR) + "/tests/cli/golden/help.txt"));
  EXPECT_EQ(Batch({"-h"}).Out, help.Out);
  // Help wins over everything else on the line.
  EXPECT_EQ(Batch({"-f", "csv", "--help", "missing.xls"}).Code, 0);

  const TRun version = Batch({"--version"});
  EXPECT_EQ(version.Code, 0);
  EXPECT_EQ(version.Out, std::string("varnowe-batch ") + VARNOWE_VERSION + "\n");
}

TEST_F(CliTest, ManPageAndCompletionKnowEveryOptionOfTheHelp) {
  const std::string help = Batch({"--help"}).Out;
  const std::string man = ReadFile(std::string(VARNOWE_SOURCE_DIR) + "/dist/varnowe-batch.1");
  const std::string completion = ReadFile(std::string(VARNOWE_SOURCE_DIR) + "/dist/varnowe-batch.bash-completion");
  const std::string zsh = ReadFile(std::string(VARNOWE_SOURCE_DIR) + "/dist/_varnowe-batch");
  ASSERT_FALSE(man.empty());
  ASSERT_FALSE(completion.empty());
  ASSERT_FALSE(zsh.empty());
  std::istringstream lines(help);
  int options = 0;
  for (std::string line; std::getline(lines, line);) {
    // "  -s, --source PATH ..." and "      --formats LIST ...": the long name.
    const size_t dashes = line.find("--");
    if (line.rfind("  ", 0) != 0 || dashes == std::string::npos || dashes > 8) continue;
    size_t end = line.find_first_of(" =[", dashes);
    const std::string option = line.substr(dashes, end - dashes);
    ++options;
    // troff writes a dash as \-.
    std::string troff;
    for (char c : option) troff += c == '-' ? std::string("\\-") : std::string(1, c);
    EXPECT_TRUE(Contains(man, troff)) << option << " is not in the man page";
    EXPECT_TRUE(Contains(completion, option)) << option << " is not in the completion";
    EXPECT_TRUE(Contains(zsh, option)) << option << " is not in the zsh completion";
  }
  EXPECT_GE(options, 16);
  // Each completion offers every extension the help names as read.
  const std::string named = help.substr(help.find("Source formats:"), help.find("Per-file lines") - help.find("Source formats:"));
  for (size_t dot = named.find('.'); dot != std::string::npos; dot = named.find('.', dot + 1)) {
    if (!std::isalnum(static_cast<unsigned char>(named[dot + 1])) || std::isalpha(static_cast<unsigned char>(named[dot - 1]))) continue;
    const std::string ext = named.substr(dot + 1, named.find_first_of(" )\n", dot + 1) - dot - 1);
    for (const std::string* glob : {&completion, &zsh}) {
      // The glob's alternatives (a|b[12]|c) read the same as a regular expression.
      const size_t open = glob->find("(xls|");
      ASSERT_NE(open, std::string::npos);
      const bool found = std::regex_match(ext, std::regex(glob->substr(open, glob->find(')', open) - open + 1)));
      EXPECT_TRUE(found) << "." << ext << " is not offered by " << (glob == &zsh ? "zsh" : "bash");
    }
  }
}

TEST_F(CliTest, PositionalFilesConvertBesideTheirSources) {
  WriteWorksheet(Tmp / "a.wk1");
  fs::create_directories(Tmp / "sub");
  WriteWorksheet(Tmp / "sub/b.wk1");
  // A named file is taken whatever its name; the reader goes by content.
  WriteWorksheet(Tmp / "c.data");
  const TRun r = Batch({"-f", "csv", Tmp / "a.wk1", Tmp / "sub/b.wk1", Tmp / "c.data"});
  EXPECT_EQ(r.Code, 0) << r.Out << r.Err;
  EXPECT_EQ(r.Err, "");
  EXPECT_TRUE(fs::exists(Tmp / "a.csv"));
  EXPECT_TRUE(fs::exists(Tmp / "sub/b.csv"));
  EXPECT_TRUE(fs::exists(Tmp / "c.csv"));
  // Clean data unless asked for the window's layout.
  EXPECT_EQ(ReadFile(Tmp / "a.csv"), "hello,42\n");
  EXPECT_EQ(Batch({"-f", "csv", "--classic", "-o", Tmp / "classic.csv", Tmp / "a.wk1"}).Code, 0);
  EXPECT_TRUE(Contains(ReadFile(Tmp / "classic.csv"), "\"hello\",\"42\",\r\n"));
  EXPECT_EQ(Batch({"-f", "csv", "--classic", "--clean", Tmp / "a.wk1"}).Code, 2);
  EXPECT_TRUE(Contains(r.Out, Tmp / "sub/b.wk1 -> " + Tmp / "sub/b.csv")) << r.Out;
  EXPECT_TRUE(r.Out.ends_with("\n3 converted, 0 failed, 0 skipped\n")) << r.Out;

  // With -d they all go there; a directory among them is searched like -s.
  const TRun d = Batch({"-d", Tmp / "out", "--format", "xml", Tmp / "a.wk1", Tmp / "sub"});
  EXPECT_EQ(d.Code, 0) << d.Out << d.Err;
  EXPECT_TRUE(fs::exists(Tmp / "out/a.xml"));
  EXPECT_TRUE(fs::exists(Tmp / "out/b.xml"));
}

TEST_F(CliTest, OutputNameGivesFileAndFormat) {
  WriteWorksheet(Tmp / "book.wk1");
  TRun r = Batch({Tmp / "book.wk1", "-o", Tmp / "result/named.htm"});
  EXPECT_EQ(r.Code, 0) << r.Out << r.Err;
  EXPECT_TRUE(Contains(ReadFile(Tmp / "result/named.htm"), "<td>hello</td>"));
  // -f wins over the extension; the name stays as given.
  r = Batch({"-s", Tmp / "book.wk1", "-o", Tmp / "plain.out", "-f", "txt"});
  EXPECT_EQ(r.Code, 0) << r.Out << r.Err;
  EXPECT_TRUE(Contains(ReadFile(Tmp / "plain.out"), "hello"));
  // Later sheets take their number before the extension.
  WriteThreeSheets(Tmp / "three.wk3");
  r = Batch({Tmp / "three.wk3", "-o", Tmp / "t.csv", "-v"});
  EXPECT_EQ(r.Code, 0) << r.Out << r.Err;
  EXPECT_TRUE(fs::exists(Tmp / "t.csv"));
  EXPECT_FALSE(fs::exists(Tmp / "t1.csv"));
  EXPECT_TRUE(fs::exists(Tmp / "t2.csv"));
  EXPECT_TRUE(Contains(r.Out, "    reader: Lotus 1-2-3 (wvWKS3)\n")) << r.Out;
  EXPECT_TRUE(Contains(r.Out, "    output: " + Tmp / "t.csv\n    output: " + Tmp / "t2.csv\n")) << r.Out;

  // What -o cannot mean.
  for (const TRun& bad : {Batch({Tmp / "book.wk1", Tmp / "three.wk3", "-o", Tmp / "x.csv"}),
                          Batch({"-s", Tmp.Dir(), "-o", Tmp / "x.csv"}), Batch({Tmp / "book.wk1", "-o", Tmp / "x.zzz"}),
                          Batch({Tmp / "book.wk1", "-o", Tmp / "x.1"})}) {
    EXPECT_EQ(bad.Code, 2) << bad.Err;
    EXPECT_EQ(bad.Out, "");
    EXPECT_TRUE(Contains(bad.Err, "Try 'varnowe-batch --help'")) << bad.Err;
  }
  EXPECT_FALSE(fs::exists(Tmp / "x.csv"));
}

TEST_F(CliTest, ErrorsGoToStderrItemLinesAndSummaryToStdout) {
  fs::create_directories(Tmp / "in");
  WriteWorksheet(Tmp / "in/good.wk1");
  std::ofstream(Tmp / "in/broken.wk1") << "not a worksheet";
  std::ofstream(Tmp / "in/kept.wk1") << "not converted at all";
  fs::create_directories(Tmp / "out");
  std::ofstream(Tmp / "out/kept.txt") << "older output";

  TRun r = Batch({"-s", Tmp / "in", "-d", Tmp / "out", "--no-overwrite"});
  EXPECT_EQ(r.Code, 1);
  std::vector<std::string> lines;
  std::istringstream in(r.Out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 4u) << r.Out;
  // Status, time, source -> destination; a failed item says only "Error" here.
  EXPECT_EQ(lines[0], "Error" + std::string(19, ' ') + Tmp / "in/broken.wk1 -> " + Tmp / "out/broken.txt");
  EXPECT_TRUE(lines[1].starts_with("Finished ")) << lines[1];
  EXPECT_TRUE(lines[1].ends_with(" msec  " + Tmp / "in/good.wk1 -> " + Tmp / "out/good.txt")) << lines[1];
  EXPECT_EQ(lines[2], "Skipped" + std::string(17, ' ') + Tmp / "in/kept.wk1 -> " + Tmp / "out/kept.txt");
  EXPECT_EQ(lines[3], "1 converted, 1 failed, 1 skipped");
  EXPECT_EQ(r.Err, "varnowe-batch: \"broken.wk1\": Invalid file version or file format.\n");
  EXPECT_EQ(ReadFile(Tmp / "out/kept.txt"), "older output");

  // -q: the summary only; the error is still said.
  r = Batch({"-q", "-s", Tmp / "in", "-d", Tmp / "out"});
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Out, "1 converted, 2 failed, 0 skipped\n");
  EXPECT_TRUE(Contains(r.Err, "broken.wk1\": Invalid file version")) << r.Err;

  // Nothing to do is no error, but worth a word.
  fs::create_directories(Tmp / "empty");
  r = Batch({"-s", Tmp / "empty"});
  EXPECT_EQ(r.Code, 0);
  EXPECT_EQ(r.Out, "0 converted, 0 failed, 0 skipped\n");
  EXPECT_EQ(r.Err, "varnowe-batch: No documents found in source directory.\n");
}

TEST_F(CliTest, UsageAndJobErrorsExitTwoBeforeAnythingIsTouched) {
  WriteWorksheet(Tmp / "a.wk1");
  struct TCase {
    std::vector<std::string> Args;
    std::string Says;
  };
  const std::vector<TCase> cases = {
      {{}, "nothing to convert"},
      {{"--bogus"}, "--bogus"},
      {{"-q", "-v", Tmp / "a.wk1"}, "excludes"},
      {{"-f", "bmp", Tmp / "a.wk1"}, "unknown destination format \"bmp\""},
      {{"--formats", "excel,dbase", "-s", Tmp.Dir()}, "unknown source format \"dbase\""},
      {{"-s", Tmp.Dir(), Tmp / "a.wk1"}, "not both"},
      {{Tmp / "missing.wk1"}, "missing.wk1: no such file or directory"},
      {{"-s", Tmp / "nowhere"}, "source directory " + Tmp / "nowhere does not exist"},
      {{"--settings=" + Tmp / "none.ini"}, "settings file " + Tmp / "none.ini does not exist"},
  };
  for (const TCase& c : cases) {
    std::vector<std::string> storage{"varnowe-batch"};
    storage.insert(storage.end(), c.Args.begin(), c.Args.end());
    std::vector<char*> argv;
    for (std::string& a : storage) argv.push_back(a.data());
    std::ostringstream out, err;
    EXPECT_EQ(RunBatchCli(int(argv.size()), argv.data(), out, err), 2) << c.Says;
    EXPECT_EQ(out.str(), "") << c.Says;
    EXPECT_TRUE(Contains(err.str(), c.Says)) << err.str();
  }

  // A log that cannot be written stops the job before the lists exist:
  // no destination folder is made, nothing is printed on stdout.
  std::ofstream(Tmp / "blocker") << "a file where a folder should be";
  for (const std::string& log : {Tmp / "blocker/run.log", Tmp / "nofolder/run.log", Tmp.Dir()}) {
    const TRun r = Batch({"-s", Tmp.Dir(), "-d", Tmp / "made-too-early", "--log", log});
    EXPECT_EQ(r.Code, 2) << log;
    EXPECT_EQ(r.Out, "") << log;
    EXPECT_TRUE(Contains(r.Err, "cannot write the log file " + log)) << r.Err;
    EXPECT_FALSE(fs::exists(Tmp / "made-too-early"));
  }
}

TEST_F(CliTest, LogGetsOneLineOfFiveColumnsPerItem) {
  fs::create_directories(Tmp / "in");
  WriteThreeSheets(Tmp / "in/multi.wk3");
  std::ofstream(Tmp / "in/zbroken.wk1") << "not a worksheet";
  const TRun r = Batch({"-s", Tmp / "in", "-d", Tmp / "out", "-f", "csv", "--log", Tmp / "run.log"});
  EXPECT_EQ(r.Code, 1) << r.Out << r.Err;
  const std::string log = ReadFile(Tmp / "run.log");
  // The header and an empty line, then the items; LF only.
  ASSERT_TRUE(log.starts_with("Varnowe ")) << log;
  EXPECT_EQ(log.find('\r'), std::string::npos) << log;
  const size_t body = log.find("\n\n");
  ASSERT_NE(body, std::string::npos) << log;
  std::istringstream lines(log.substr(body + 2));
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::istringstream f(line + "\t");
    for (std::string field; std::getline(f, field, '\t');) fields.push_back(field);
    rows.push_back(fields);
  }
  ASSERT_EQ(rows.size(), 2u) << log;
  EXPECT_TRUE(rows[0][1].ends_with(" msec"));
  EXPECT_EQ(rows[0], (std::vector<std::string>{"Finished", rows[0][1], Tmp / "in/multi.wk3",
                                               Tmp / "out/multi.csv; " + Tmp / "out/multi2.csv", ""}));
  EXPECT_EQ(rows[1], (std::vector<std::string>{"Error", "", Tmp / "in/zbroken.wk1", Tmp / "out/zbroken.csv",
                                               "\"zbroken.wk1\": Invalid file version or file format."}));
  // The per-file line names what was written.
  EXPECT_TRUE(Contains(r.Out, "multi.wk3 -> " + Tmp / "out/multi.csv, " + Tmp / "out/multi2.csv\n")) << r.Out;
  const TRun masked = Batch({"-s", Tmp / "in", "-m", "*.wk3", "-d", Tmp / "masked", "-f", "csv", "--sheet-mask", "Sheet3"});
  EXPECT_TRUE(Contains(masked.Out, "multi.wk3 -> " + Tmp / "masked/multi2.csv\n")) << masked.Out;
}

TEST_F(CliTest, ADamagedRecordCostsItsCellAndIsReportedAsAWarning) {
  fs::create_directories(Tmp / "in");
  biff::Workbook wb;
  biff::Stream sheet;
  sheet.rec(0x0203, biff::Body().u16(0).u16(0).u16(0).u16(1));  // NUMBER without its value
  sheet.rec(0x0203, biff::Number(1, 0, 0, 42));
  wb.sheets.push_back({u"S", sheet});
  CfbBuilder cfb;
  cfb.AddStream("Workbook", wb.Build());
  const std::vector<uint8_t> file = cfb.Build();
  std::ofstream(Tmp / "in/damaged.xls", std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));

  const TRun r = Batch({"-s", Tmp / "in", "-d", Tmp / "out", "-f", "csv", "--log", Tmp / "run.log"});
  EXPECT_EQ(r.Code, 0) << r.Out << r.Err;
  EXPECT_TRUE(r.Out.starts_with("Finished (1 warning) ")) << r.Out;
  EXPECT_TRUE(r.Err.starts_with("varnowe-batch: " + Tmp / "in/damaged.xls" + ": finished with 1 warning\n  Record 0x0203 (sheet 1, stream offset ")) << r.Err;
  EXPECT_TRUE(Contains(ReadFile(Tmp / "out/damaged.csv"), "42")) << ReadFile(Tmp / "out/damaged.csv");
  EXPECT_TRUE(Contains(ReadFile(Tmp / "run.log"), "\twarning: Record 0x0203 (sheet 1, stream offset "));

  const TRun dump = Batch({"--dump", Tmp / "in/damaged.xls"});
  EXPECT_EQ(dump.Code, 0) << dump.Err;
  EXPECT_TRUE(Contains(dump.Out, "\n \"warnings\": [\"Record 0x0203 (sheet 1, stream offset ")) << dump.Out;
  EXPECT_TRUE(Contains(dump.Out, "\"value\": 42")) << dump.Out;
}

TEST_F(CliTest, ControlCharactersInNamesAreEscapedWhenPrinted) {
  const std::string name = "red\x1b[31m\tname\n.wk1";
  WriteWorksheet(Tmp / name);
  const TRun r = Batch({"-f", "csv", Tmp / name, "--log", Tmp / "run.log"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_TRUE(fs::exists(Tmp / "red\x1b[31m\tname\n.csv"));
  for (const std::string& text : {r.Out, r.Err, ReadFile(Tmp / "run.log")}) {
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  }
  EXPECT_TRUE(Contains(r.Out, "red\\x1b[31m\\tname\\n.wk1 -> ")) << r.Out;
  EXPECT_TRUE(Contains(ReadFile(Tmp / "run.log"), "\t" + Tmp / "red\\x1b[31m\\tname\\n.csv\t\n"));
  const TRun missing = Batch({Tmp / "gone\x07.wk1"});
  EXPECT_TRUE(Contains(missing.Err, "gone\\x07.wk1: no such file")) << missing.Err;
}

// Real pipes and nodes: the program as a shell runs it.
TEST_F(CliTest, StandardStreamsLinksAndFifosAsInputAndOutput) {
  WriteWorksheet(Tmp / "book.wk1");
  WriteThreeSheets(Tmp / "multi.wk3");
  ASSERT_EQ(Batch({Tmp / "book.wk1", "-o", Tmp / "ref.csv"}).Code, 0);
  const std::string ref = ReadFile(Tmp / "ref.csv");
  ASSERT_TRUE(Contains(ref, "hello")) << ref;
  fs::create_symlink("target.csv", Tmp / "link.csv");
  ASSERT_EQ(mkfifo((Tmp / "fifo.csv").c_str(), 0600), 0);
  const std::string exe = std::string("'") + VARNOWE_BATCH_EXE + "'", book = "'" + Tmp / "book.wk1" + "'";
  const struct {
    std::string Command;  // run in Tmp
    int Code;
    std::string Out, ErrHas;  // standard output exactly; a part of standard error
  } cases[] = {
      {"cat " + book + " | " + exe + " - -f csv", 0, ref, "Finished"},
      {exe + " " + book + " -f csv -o -", 0, ref, " converted, 0 failed"},
      {exe + " - --input-format wk1 -f csv -o - < " + book, 0, ref, ""},
      {exe + " " + book + " -o link.csv >/dev/null && test -L link.csv && cat target.csv", 0, ref, ""},
      {"(cat fifo.csv > got.csv &) ; " + exe + " " + book + " -o fifo.csv -v >/dev/null && test -p fifo.csv && sleep 0.2 && cat got.csv",
       0, ref, "not atomically"},
      {exe + " multi.wk3 -f csv -o -", 1, "", "--sheets first or --sheet-mask"},
      {exe + " multi.wk3 -f csv --sheets first -o - | head -c 5", 0, "first", ""},
      {exe + " " + book + " -o -", 2, "", "-o - needs the format"},
      {"cat " + book + " | " + exe + " - " + book + " -f csv", 2, "", "converted alone"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Command);
    const std::string cmd = "cd '" + Tmp.Dir() + "' && { " + c.Command + " ; } 2>err.txt";
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int status = pclose(p);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.Code);
    EXPECT_EQ(out, c.Out);
    EXPECT_TRUE(Contains(ReadFile(Tmp / "err.txt"), c.ErrHas)) << ReadFile(Tmp / "err.txt");
  }
}

// On a terminal the line shows how far the file in progress has come, while it converts.
TEST_F(CliTest, ProgressInsideOneLargeFileAdvancesOnATerminal) {
  if (std::system("command -v script >/dev/null") != 0) GTEST_SKIP() << "script(1) is not installed";
  LotusBuilder b;
  b.Bof(0x0406);
  for (uint16_t r = 0; r < 30000; ++r)
    for (uint16_t c = 0; c < 16; ++c) b.Integer1(c, r, int16_t(r + c));
  b.Eof();
  std::ofstream(Tmp / "big.wk1", std::ios::binary)
      .write(reinterpret_cast<const char*>(b.Data().data()), std::streamsize(b.Data().size()));
  // script(1) gives the program a terminal and keeps what it printed.
  const std::string cmd = "cd '" + Tmp.Dir() + "' && script -qec \"'" + std::string(VARNOWE_BATCH_EXE) +
                          "' big.wk1 -f txt -d out\" typescript >/dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  const std::string typed = ReadFile(Tmp / "typescript");
  std::set<int> percents;
  const std::regex shown("big\\.wk1 ([0-9]+)% [0-9]+ s");
  for (std::sregex_iterator it(typed.begin(), typed.end(), shown), end; it != end; ++it)
    percents.insert(std::stoi((*it)[1]));
  EXPECT_GE(percents.size(), 2u) << typed;
  EXPECT_TRUE(Contains(typed, "1 converted, 0 failed")) << typed;
}

TEST(CliOptions, FormatsByNameAndByOutputName) {
  EXPECT_EQ(DestinationFormatByName("csv"), 1);
  EXPECT_EQ(DestinationFormatByName(".XLSX"), 5);
  EXPECT_EQ(DestinationFormatByName("html"), 2);
  EXPECT_EQ(DestinationFormatByName("6"), 6);
  EXPECT_EQ(DestinationFormatByName("7"), std::nullopt);
  EXPECT_EQ(DestinationFormatByName("doc"), std::nullopt);
  EXPECT_EQ(DestinationFormatOfFile("out/book.PDF"), 6);
  EXPECT_EQ(DestinationFormatOfFile("book.html"), 2);
  EXPECT_EQ(DestinationFormatOfFile("book.3"), std::nullopt);
  EXPECT_EQ(DestinationFormatOfFile("book"), std::nullopt);
  EXPECT_EQ(DestinationFormatOfFile("dir.csv/book"), std::nullopt);

  const char* argv[] = {"varnowe-batch", "-s", "in", "-m", "*.wk?", "-r", "-d", "out", "-f", "xml", "x.wk1", nullptr};
  const TBatchOptions o = ParseBatchOptions(11, argv);
  EXPECT_EQ(o.Source, "in");
  EXPECT_EQ(o.Mask, "*.wk?");
  EXPECT_EQ(o.SubDirs, true);
  EXPECT_EQ(o.Dest, "out");
  EXPECT_EQ(o.Format, "xml");
  EXPECT_EQ(o.Inputs, std::vector<std::string>{"x.wk1"});
  EXPECT_FALSE(o.NoOverwrite.has_value());
  const char* settings[] = {"varnowe-batch", "--settings", nullptr};
  EXPECT_EQ(ParseBatchOptions(2, settings).Settings, "");
}

// --settings reads every key of the settings file as the table does,
// starting from the batch's own defaults.
TEST(BatchSettings, ReadsEachKeyAsTheTable) {
  TTempDir dir;
  for (const TSettingKey& k : SettingKeys()) {
    const std::string path = dir / "job.ini";
    std::ofstream(path, std::ios::binary) << "[" << k.Section << "]\n" << k.Key << "=" << NonDefaultValue(k) << "\n";
    TSpreadsheetBatch batch;
    LoadSettingsFile(path, batch);
    TStoredSettings loaded;
    loaded.Job = batch.Settings;
    const TSpreadsheetConversion& c = batch.Conversion;
    loaded.Formats = {c.chkMSExcel, c.chkLotus, c.chkQuattroPro, c.chkOpenOffice};

    const TSpreadsheetBatch fresh;
    TStoredSettings expected;
    expected.Job = fresh.Settings;
    TIniFile ini(path);
    ReadStoredSettings(ini, expected);
    EXPECT_EQ(SettingsText(loaded), SettingsText(expected)) << k.Key;
    TStoredSettings defaults;
    defaults.Job = fresh.Settings;
    EXPECT_NE(SettingsText(loaded), SettingsText(defaults)) << k.Key << " was not read";
  }
}

}  // namespace
