// varnowe-batch's destination options end to end: the clean preset read
// back by Python's csv module and pandas, names, sheets, kept folder trees,
// the settings file and the usage errors.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

#include "TempDir.h"
#include "TestWorkbooks.h"

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

// Exit status and output (stderr joined) of a shell command.
TResult Capture(const std::string& cmd) {
  TResult r;
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.Out.append(buf, n);
  const int status = pclose(p);
  r.Code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

TResult RunBatch(const std::string& args) {
  return Capture("VARNOWE_CODEPAGE=65001 " + std::string(VARNOWE_BATCH_EXE) + " " + args);
}

// The system's Python, where the Debian packages put pandas.
std::string PythonExe() { return fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3"; }

// A python3 check over args.
TResult Python(const std::string& code, const std::string& args) {
  return Capture(PythonExe() + " -c " + Quote(code) + " " + args);
}

bool HasPython(const char* module) {
  return std::system((PythonExe() + " -c 'import " + std::string(module) + "' >/dev/null 2>&1").c_str()) == 0;
}

std::set<std::string> Files(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (!e.is_directory()) names.insert(fs::relative(e.path(), dir).string());
  return names;
}

// An .xlsx with a header row and texts a data tool must read back whole.
void WriteTable(const std::string& path) {
  using testbooks::XlsxCell;
  const std::string sheet =
      "<row r=\"1\">" + XlsxCell("A1", "city") + XlsxCell("B1", "note") + "<c r=\"C1\" t=\"inlineStr\"><is><t>n</t></is></c></row>"
      "<row r=\"2\">" + XlsxCell("A2", "Z\xC3\xBCrich") + XlsxCell("B2", "a, \"b\"") + "<c r=\"C2\"><v>1.5</v></c></row>"
      "<row r=\"3\">" + XlsxCell("A3", "Bern") + XlsxCell("B3", "x;y") + "<c r=\"C3\"><v>7</v></c></row>";
  testbooks::WriteBytes(path, testbooks::Xlsx({sheet, "<row r=\"1\">" + XlsxCell("A1", "second") + "</row>"}));
}

// Reads the clean CSV with both readers: the header row gives the column
// names, every value comes back whole.
const char* const ReadBack = R"(
import csv, sys
rows = list(csv.reader(open(sys.argv[1], newline='', encoding='utf-8')))
assert rows == [['city', 'note', 'n'], ['Zürich', 'a, "b"', '1.5'], ['Bern', 'x;y', '7']], rows
try:
    import pandas
except ImportError:
    sys.exit(0)
df = pandas.read_csv(sys.argv[1])
assert list(df.columns) == ['city', 'note', 'n'], list(df.columns)
assert list(df['city']) == ['Zürich', 'Bern'] and list(df['note']) == ['a, "b"', 'x;y'], df
assert list(df['n']) == [1.5, 7.0], df.dtypes
)";

TEST(DestinationCli, CleanCsvReadsBackInDataTools) {
  if (!HasPython("csv")) GTEST_SKIP() << "python3 is missing (scripts/install-deps.sh)";
  TTempDir dir;
  WriteTable(dir / "table.xlsx");
  const TResult r = RunBatch("-q -f csv --clean -d " + Quote(dir / "out") + " " + Quote(dir / "table.xlsx"));
  ASSERT_EQ(r.Code, 0) << r.Out;
  const TResult check = Python(ReadBack, Quote(dir / "out/table.csv"));
  EXPECT_EQ(check.Code, 0) << check.Out;
  if (!HasPython("pandas")) std::cerr << "pandas is missing: only the csv module read the file\n";
  // A separator and line end of one's own still read back.
  const TResult semi =
      RunBatch("-q -f csv --clean --separator semicolon --line-end lf -o " + Quote(dir / "semi.csv") + " " +
               Quote(dir / "table.xlsx"));
  ASSERT_EQ(semi.Code, 0) << semi.Out;
  const TResult check2 = Python(
      "import csv,sys\nrows=list(csv.reader(open(sys.argv[1],newline='',encoding='utf-8'),delimiter=';'))\n"
      "assert rows[2]==['Bern','x;y','7'],rows\nassert b'\\r' not in open(sys.argv[1],'rb').read()",
      Quote(dir / "semi.csv"));
  EXPECT_EQ(check2.Code, 0) << check2.Out;
}

TEST(DestinationCli, RealFilesInCleanFormRead) {
  const std::string corpus = VARNOWE_CORPUS_DIR;
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
  if (!HasPython("csv")) GTEST_SKIP() << "python3 is missing";
  TTempDir dir;
  const TResult r = RunBatch("-q -f csv --clean --encoding utf-8-bom --names sheet -d " + Quote(dir.Dir()) + " " +
                             Quote(corpus + "/xls/sjs_formula_stress.xls") + " " +
                             Quote(corpus + "/lotus/sjs_crlf_123r9.wk1"));
  ASSERT_EQ(r.Code, 0) << r.Out;
  const auto files = Files(dir.Dir());
  EXPECT_EQ(files.size(), 11u);
  EXPECT_EQ(files.count("sjs_crlf_123r9 - Sheet1.csv"), 1u) << r.Out;
  // Every file parses, with as many fields in every row as in its header
  // (no extra column), and the byte order mark does not reach the header.
  std::string args;
  for (const auto& f : files) args += " " + Quote(dir / f);
  const TResult check = Python(R"(
import csv, sys
for name in sys.argv[1:]:
    rows = list(csv.reader(open(name, newline='', encoding='utf-8-sig')))
    assert rows and not rows[0][0].startswith('\ufeff'), name
    assert open(name, 'rb').read(3) == b'\xef\xbb\xbf', name
)",
                               args);
  EXPECT_EQ(check.Code, 0) << check.Out;
}

// Date columns of real files, written clean, come back from pandas'
// parse_dates as datetimes, whatever the source's date system or family
// (scripts/clean_dates_pandas.py; over the whole corpus it is a report).
TEST(DestinationCli, CleanDatesAreDatetimesInPandas) {
  const std::string corpus = VARNOWE_CORPUS_DIR;
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
  if (!HasPython("pandas")) GTEST_SKIP() << "pandas is missing (scripts/install-deps.sh)";
  TTempDir dir;
  std::string args = "--batch " + Quote(VARNOWE_BATCH_EXE) + " --work " + Quote(dir.Dir());
  for (const char* f : {"xls/calam_date_1904.xls", "xlsx/sjs_1904.xlsx", "ods/calam_date.ods",
                        "xlsx/calam_openpyxl_date_iso.xlsx", "quattro/gnum_gantt.wb3", "lotus/sjs_qpro_write_l2.wk1"})
    args += " " + Quote(corpus + "/" + f);
  const TResult r = Capture(PythonExe() + " " + Quote(std::string(VARNOWE_SOURCE_DIR) +
                                                     "/scripts/clean_dates_pandas.py") + " " + args + " 2>&1");
  EXPECT_EQ(r.Code, 0) << r.Out;
  EXPECT_NE(r.Out.find("0 dates that do not come back"), std::string::npos) << r.Out;
}

TEST(DestinationCli, SheetsAndNames) {
  TTempDir dir;
  WriteTable(dir / "table.xlsx");
  const std::string in = Quote(dir / "table.xlsx");
  EXPECT_EQ(RunBatch("-q -f csv --names sheet -d " + Quote(dir / "a") + " " + in).Code, 0);
  EXPECT_EQ(Files(dir / "a"), (std::set<std::string>{"table - Sheet1.csv", "table - Sheet2.csv"}));
  EXPECT_EQ(RunBatch("-q -f txt --sheets first --names '{index}-{name}' -d " + Quote(dir / "b") + " " + in).Code, 0);
  EXPECT_EQ(Files(dir / "b"), (std::set<std::string>{"1-table.txt"}));
  EXPECT_EQ(RunBatch("-q -f csv --sheet-mask '*2' -d " + Quote(dir / "c") + " " + in).Code, 0);
  EXPECT_EQ(Files(dir / "c"), (std::set<std::string>{"table1.csv"}));
  const TResult none = RunBatch("-q -f csv --sheet-mask Summary -d " + Quote(dir / "d") + " " + in);
  EXPECT_EQ(none.Code, 1);
  EXPECT_NE(none.Out.find("No sheet matches the sheet mask \"Summary\"; the workbook has \"Sheet1\", \"Sheet2\"."),
            std::string::npos)
      << none.Out;
}

TEST(DestinationCli, KeepTreeWithSubDirectories) {
  TTempDir dir;
  fs::create_directories(dir / "src/x/y");
  WriteTable(dir / "src/x/y/t.xlsx");
  WriteTable(dir / "src/t.xlsx");
  const TResult r = RunBatch("-q -r --keep-tree -f htm -d " + Quote(dir / "out") + " " + Quote(dir / "src"));
  ASSERT_EQ(r.Code, 0) << r.Out;
  EXPECT_EQ(Files(dir / "out"), (std::set<std::string>{"t.htm", "t1.htm", "x/y/t.htm", "x/y/t1.htm"}));
  const TResult s = RunBatch("-q -r --keep-tree -f htm -s " + Quote(dir / "src") + " -d " + Quote(dir / "out2"));
  ASSERT_EQ(s.Code, 0) << s.Out;
  EXPECT_EQ(Files(dir / "out2"), Files(dir / "out"));
}

TEST(DestinationCli, SettingsFileThenOptions) {
  TTempDir dir;
  WriteTable(dir / "table.xlsx");
  std::ofstream(dir / "job.ini") << "[General]\nDestinationFormat=1\n[Destination]\nBanner=0\nExtraRowColumn=0\n"
                                    "Separator=tab\nQuoting=minimal\nLineEnd=lf\nSheets=first\n";
  ASSERT_EQ(RunBatch("-q --settings=" + Quote(dir / "job.ini") + " -o " + Quote(dir / "a.csv") + " " +
                     Quote(dir / "table.xlsx"))
                .Code,
            0);
  EXPECT_EQ(testbooks::ReadText(dir / "a.csv"),
            "city\tnote\tn\nZ\xC3\xBCrich\t\"a, \"\"b\"\"\"\t1.5\nBern\tx;y\t7\n");
  // Options given win over the file; --clean sets its four, and the
  // options given with it win over those.
  ASSERT_EQ(RunBatch("-q --settings=" + Quote(dir / "job.ini") + " --clean --banner --quote all --separator '|' -o " +
                     Quote(dir / "b.csv") + " " + Quote(dir / "table.xlsx"))
                .Code,
            0);
  const std::string b = testbooks::ReadText(dir / "b.csv");
  EXPECT_EQ(b.substr(b.find("\n\n") + 2), "\"city\"|\"note\"|\"n\"\n\"Z\xC3\xBCrich\"|\"a, \"\"b\"\"\"|\"1.5\"\n"
                                          "\"Bern\"|\"x;y\"|\"7\"\n");
  EXPECT_FALSE(fs::exists(dir / "b1.csv"));  // Sheets=first from the file
}

// --whole-workbook: one output per source for .xls, .xlsx and PDF, with
// several workers too; the settings file's choice, turned off again.
TEST(DestinationCli, WholeWorkbooks) {
  TTempDir dir;
  fs::create_directories(dir / "src");
  for (const char* name : {"a.xlsx", "b.xlsx", "c.xlsx", "d.xlsx"}) WriteTable(dir / ("src/" + std::string(name)));
  const std::string src = " " + Quote(dir / "src");
  for (const char* format : {"xls", "xlsx", "pdf"}) {
    const std::string out = dir / (std::string("out-") + format);
    const TResult r = RunBatch("-q -j 2 --whole-workbook --names sheet -f " + std::string(format) + " -d " + Quote(out) + src);
    ASSERT_EQ(r.Code, 0) << r.Out;
    std::set<std::string> want;
    for (const char* stem : {"a", "b", "c", "d"}) want.insert(stem + std::string(".") + format);
    EXPECT_EQ(Files(out), want) << format;
  }
  if (HasPython("openpyxl") && HasPython("xlrd")) {
    const TResult names = Python(
        "import sys, openpyxl, xlrd\n"
        "print(openpyxl.load_workbook(sys.argv[1]).sheetnames, xlrd.open_workbook(sys.argv[2]).sheet_names())",
        Quote(dir / "out-xlsx/a.xlsx") + " " + Quote(dir / "out-xls/a.xls"));
    EXPECT_EQ(names.Out, "['Sheet1', 'Sheet2'] ['Sheet1', 'Sheet2']\n");
  }
  // Shards of one job: each source's one output, written by its shard alone.
  for (const char* shard : {"0/2", "1/2"})
    ASSERT_EQ(RunBatch("-q --shard " + std::string(shard) + " --whole-workbook -f xlsx -d " + Quote(dir / "shards") + src).Code, 0);
  EXPECT_EQ(Files(dir / "shards"), (std::set<std::string>{"a.xlsx", "b.xlsx", "c.xlsx", "d.xlsx"}));
  // The text formats write a file per sheet whatever the choice.
  ASSERT_EQ(RunBatch("-q --whole-workbook -f csv -d " + Quote(dir / "csv") + " " + Quote(dir / "src/a.xlsx")).Code, 0);
  EXPECT_EQ(Files(dir / "csv"), (std::set<std::string>{"a.csv", "a1.csv"}));
  // From the settings file, and off again on the command line.
  std::ofstream(dir / "job.ini") << "[General]\nDestinationFormat=5\n[Destination]\nWholeWorkbook=1\n";
  const std::string job = "-q --settings=" + Quote(dir / "job.ini") + " -d ";
  ASSERT_EQ(RunBatch(job + Quote(dir / "ini") + " " + Quote(dir / "src/a.xlsx")).Code, 0);
  EXPECT_EQ(Files(dir / "ini"), (std::set<std::string>{"a.xlsx"}));
  ASSERT_EQ(RunBatch(job + Quote(dir / "off") + " --no-whole-workbook " + Quote(dir / "src/a.xlsx")).Code, 0);
  EXPECT_EQ(Files(dir / "off"), (std::set<std::string>{"a.xlsx", "a1.xlsx"}));
}

TEST(DestinationCli, BadValuesAreUsageErrors) {
  TTempDir dir;
  WriteTable(dir / "t.xlsx");
  const std::string in = " " + Quote(dir / "t.xlsx");
  const struct {
    const char* Args;
    const char* Says;
  } cases[] = {
      {"--separator ab", "--separator \"ab\" is not understood"},
      {"--separator '\"'", "--separator"},
      {"--quote some", "--quote \"some\""},
      {"--line-end cr", "--line-end \"cr\""},
      {"--encoding latin9", "--encoding \"latin9\""},
      {"--names '{name}/{sheet}'", "no \"/\""},
      {"--names '{nmae}'", "unknown field {nmae}"},
      {"--sheets some", "--sheets \"some\""},
      {"--sheets first --sheet-mask 'a*'", "not both"},
  };
  for (const auto& c : cases) {
    const TResult r = RunBatch(std::string(c.Args) + " -d " + Quote(dir / "out") + in);
    EXPECT_EQ(r.Code, 2) << c.Args;
    EXPECT_NE(r.Out.find(c.Says), std::string::npos) << c.Args << ": " << r.Out;
  }
  EXPECT_FALSE(fs::exists(dir / "out"));
}

}  // namespace
