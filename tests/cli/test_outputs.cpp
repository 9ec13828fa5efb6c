// What a run promises about its outputs, scenario by scenario, each with
// one worker, two workers and (where a job can be split) two shards run one
// after the other: no output replaces a source or another output, every
// sheet lands in exactly one file, and the budgets, the overwrite choice
// and the permissions of a replaced file hold for every format.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CliRun.h"
#include "ConversionFrontEnd.h"
#include "Sharding.h"
#include "SourceBooks.h"
#include "TempDir.h"
#include "TestWorkbooks.h"

namespace fs = std::filesystem;
using testbooks::ReadText;

namespace {

// Every file below dir, by path relative to it.
std::map<std::string, std::string> Tree(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) files[fs::relative(e.path(), dir).string()] = ReadText(e.path());
  return files;
}

// The numbers an output holds: read back by our readers, or from the text
// of a CSV file or a PDF page.
std::multiset<double> Numbers(const std::string& path) {
  std::multiset<double> numbers;
  const std::string ext = fs::path(path).extension().string();
  if (ext == ".csv" || ext == ".pdf") {
    const std::string text = ReadText(path);
    // A CSV line's first field, quoted or not; a PDF's shown texts.
    const std::regex number(ext == ".csv" ? "(^|\n)\"?(-?[0-9]+)" : "()\\((-?[0-9]+)\\) Tj");
    for (std::sregex_iterator it(text.begin(), text.end(), number), end; it != end; ++it)
      numbers.insert(std::stod((*it)[2]));
    return numbers;
  }
  auto reader = TSpreadsheetConversion::CreateReader(TSpreadsheetConversion::ChooseReader(path));
  if (!reader) return numbers;
  reader->LoadFromFile(path);
  for (int32_t s = 0; s < reader->Sheets.Count(); ++s) {
    const TSpreadSheetCells& cells = reader->Sheets[s].Cells;
    for (int32_t r = 0; r < cells.Count(); ++r)
      if (const TSpreadSheetCols* row = cells.RowCells(r))
        row->ForEachCell([&](int32_t, const TQXICell& c) { numbers.insert(c.NumberValue()); });
  }
  return numbers;
}

void Write(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  testbooks::WriteBytes(path, bytes);
}

// Sources: a workbook of one family holding numbers (see SourceBooks.h).
void Book(const fs::path& path, const sourcebooks::TSheets& sheets) {
  Write(path, sourcebooks::Build(path.extension().string(), sheets));
}

struct TOutcome {
  fs::path Base, In, Out;
  TCliRun Run;
  std::map<std::string, std::string> Before;  // every file before the run
  // The files the run made, with the numbers each holds.
  std::map<std::string, std::multiset<double>> Made;
  std::multiset<double> All;  // the numbers of every file made
};

struct TScenario {
  const char* Name;
  std::function<void(const fs::path& base)> Make;
  std::vector<std::string> Args;  // "IN" and "OUT" stand for base/in and base/out
  int Code;
  bool Shards;  // also as two shards, whose union must be the single run
  std::function<void(const TOutcome&)> Check;
};

// Each number of the sources in exactly one output, and nothing else made.
std::function<void(const TOutcome&)> EachOnce(std::multiset<double> numbers, size_t files) {
  return [numbers, files](const TOutcome& o) {
    EXPECT_EQ(o.All, numbers);
    EXPECT_EQ(o.Made.size(), files);
  };
}

// Standard error says text, and (made: false) no file was made.
std::function<void(const TOutcome&)> Says(std::string text, bool made = false) {
  return [text, made](const TOutcome& o) {
    EXPECT_NE(o.Run.Err.find(text), std::string::npos) << o.Run.Err;
    if (!made) {
      EXPECT_TRUE(o.Made.empty());
    }
  };
}

// Every source family beside each other, with an Excel name among them.
void SameNames(const fs::path& base) {
  Book(base / "in/report.xlsx", {{11}});
  Book(base / "in/report.ods", {{12}, {13}});
  Book(base / "in/report.xlsm", {{14}});
  Book(base / "in/report.xls", {{15}});
  Book(base / "in/report.wk1", {{16}});
  Book(base / "in/report.wb1", {{17}});
  Book(base / "in/report1.xls", {{18}});  // report.ods's second sheet would be report1.xls
}

// A sheet of 400 numbers: some kilobytes in every format.
void Wide(const fs::path& base) {
  std::vector<double> column(400);
  for (size_t i = 0; i < column.size(); ++i) column[i] = double(1000 + i);
  Book(base / "in/wide.xlsx", {column});
}

// Two cells at the ends of a sheet's grid.
std::function<void(const fs::path&)> Far(const std::string& ref) {
  return [ref](const fs::path& base) {
    Write(base / "in/far.xlsx",
          testbooks::Xlsx({testbooks::XlsxRowCell("A1", "5") + testbooks::XlsxRowCell(ref, "6")}));
  };
}

size_t PdfPages(const std::string& path) {
  const std::string pdf = ReadText(path);
  size_t pages = 0;
  for (size_t p = 0; (p = pdf.find("/Type /Page \r\n", p)) != std::string::npos; ++p) ++pages;
  return pages;
}

const std::vector<TScenario>& Scenarios() {
  static const std::vector<TScenario> scenarios = [] {
    std::vector<TScenario> t;
    // Outputs beside their sources: no source is replaced, whichever
    // format's extension the sources have, and none is lost to a race.
    for (const char* format : {"xlsx", "xls", "csv"})
      t.push_back({"SourcesStay", SameNames, {"-f", format, "IN"}, 0, format == std::string("csv"),
                   EachOnce({11, 12, 13, 14, 15, 16, 17, 18}, 8)});
    // Shards would read each other's outputs as sources: refused.
    t.push_back({"OutputsAmongSourcesRefusedForShards", SameNames, {"-f", "xlsx", "--shard", "1/2", "IN"}, 2, false,
                 Says("--shard with outputs where the job finds its sources")});
    // A template that does not vary by sheet: the second sheet gets a name of its own.
    t.push_back({"TemplateWithoutSheet", [](const fs::path& base) { Book(base / "in/book.xlsx", {{1}, {2}}); },
                 {"-f", "csv", "--names", "{name}{ext}", "-d", "OUT", "IN"}, 0, true, [](const TOutcome& o) {
                   EachOnce({1, 2}, 2)(o);
                   EXPECT_EQ(o.Made.count("out/book.csv") + o.Made.count("out/book_xlsx.csv"), 2u);
                 }});
    // Two files whose sheets a template names alike (acd.csv), in different shards.
    t.push_back({"TemplateAcrossShards",
                 [](const fs::path& base) {
                   ASSERT_NE(InShard("a.xlsx", {0, 2}), InShard("ac.xlsx", {0, 2}));
                   Write(base / "in/a.xlsx", testbooks::XlsxNamed({{"cd", testbooks::XlsxRowCell("A1", "3")}}));
                   Write(base / "in/ac.xlsx", testbooks::XlsxNamed({{"d", testbooks::XlsxRowCell("A1", "4")}}));
                 },
                 {"-f", "csv", "--names", "{name}{sheet}{ext}", "-d", "OUT", "IN"}, 0, true, EachOnce({3, 4}, 2)});
    // Names no file's name decides cannot be split over shards.
    t.push_back({"TemplateWithoutNameRefusedForShards", SameNames,
                 {"-f", "csv", "--names", "{sheet}{ext}", "--shard", "0/2", "-d", "OUT", "IN"}, 2, false,
                 Says("--shard with the name template")});
    // The output budget, for every writer and a whole workbook.
    for (const char* format : {"xls", "xlsx", "pdf", "csv", "xlsx --whole-workbook"}) {
      std::vector<std::string> args{"-f"};
      for (std::istringstream words(format); !words.eof();) words >> args.emplace_back();
      args.insert(args.end(), {"--max-output", "1K", "-d", "OUT", "IN"});
      t.push_back({"OutputBudget", Wide, args, 1, false, Says("budget of 1 KiB per file (--max-output")});
    }
    // A replaced output keeps its permissions.
    for (const std::string ext : {".csv", ".xls", ".xlsx", ".pdf"})
      t.push_back({"PermissionsKept",
                   [ext](const fs::path& base) {
                     Wide(base);
                     Write(base / ("out/wide" + ext), "old");
                     fs::permissions(base / ("out/wide" + ext), fs::perms::owner_read | fs::perms::owner_write);
                   },
                   {"-f", ext.substr(1), "-d", "OUT", "IN"}, 0, false, [ext](const TOutcome& o) {
                     EXPECT_NE(ReadText(o.Out / ("wide" + ext)), "old");
                     EXPECT_EQ(fs::status(o.Out / ("wide" + ext)).permissions() & fs::perms::all,
                               fs::perms::owner_read | fs::perms::owner_write);
                   }});
    // Writers visit the stored cells, not the grid they span; a PDF has the
    // first rows' page and the last band's last page.
    t.push_back({"StoredCellsOnly", Far("XFD1048576"), {"-f", "xlsx", "-d", "OUT", "IN"}, 0, false, EachOnce({5, 6}, 1)});
    t.push_back({"StoredCellsOnly", Far("XFD1048576"), {"-f", "pdf", "-d", "OUT", "IN"}, 0, false,
                 [](const TOutcome& o) {
                   EachOnce({5, 6}, 1)(o);
                   EXPECT_EQ(PdfPages(o.Out / "far.pdf"), 2u);
                 }});
    t.push_back({"StoredCellsOnly", Far("IV65536"), {"-f", "xls", "--whole-workbook", "-d", "OUT", "IN"}, 0, false,
                 EachOnce({5, 6}, 1)});
    // The workbook memory budget has an option.
    t.push_back({"MemoryBudget", Wide, {"--max-memory", "1K", "-f", "csv", "-d", "OUT", "IN"}, 1, false,
                 Says("memory budget")});
    t.push_back({"MemoryBudget", Wide, {"--max-memory", "lots", "-d", "OUT", "IN"}, 2, false, Says("--max-memory")});
    // Listing creates nothing.
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--list", "-d", "OUT/new/deep", "IN"}, {"--list", "IN/wide.xlsx", "-o", "OUT/x/y.csv"}})
      t.push_back({"ListCreatesNothing", Wide, args, 0, false,
                   [](const TOutcome& o) { EXPECT_FALSE(fs::exists(o.Out)); }});
    // A backslash in a name is shown as one, not as a line break.
    t.push_back({"NamesPrintedPlainly",
                 [](const fs::path& base) {
                   Book(base / "in/a\\nb.xlsx", {{21}});
                   Book(base / "in/c\nd.xlsx", {{22}});
                 },
                 {"-f", "csv", "-d", "OUT", "IN"}, 0, true, [](const TOutcome& o) {
                   EXPECT_NE(o.Run.Out.find("in/a\\\\nb.xlsx -> "), std::string::npos) << o.Run.Out;
                   EXPECT_NE(o.Run.Out.find("in/c\\nd.xlsx -> "), std::string::npos) << o.Run.Out;
                   EachOnce({21, 22}, 2)(o);
                 }});
    // Cells in a row numbered 0 are read, with a warning.
    t.push_back({"RowZeroWarned",
                 [](const fs::path& base) {
                   Write(base / "in/r0.xlsx", testbooks::Xlsx({"<row r=\"0\"><c><v>31</v></c></row>"}));
                 },
                 {"-f", "csv", "-d", "OUT", "IN"}, 0, false, [](const TOutcome& o) {
                   Says("finished with 1 warning", true)(o);
                   Says("numbers a row r=\"0\"", true)(o);
                   EachOnce({31}, 1)(o);
                 }});
    // What a killed run left is cleared; a file kept aside goes back.
    t.push_back({"LeftoversCleared",
                 [](const fs::path& base) {
                   Book(base / "in/book.xlsx", {{41}});
                   Write(base / "out/.gone.csv.0123456789abcdef.keep", "kept aside");
                   Write(base / "out/.book.csv.fedcba9876543210.part", "half");
                 },
                 {"-f", "csv", "-d", "OUT", "IN"}, 0, false, [](const TOutcome& o) {
                   std::set<std::string> names;
                   for (const auto& e : fs::directory_iterator(o.Out)) names.insert(e.path().filename().string());
                   EXPECT_EQ(names, (std::set<std::string>{"book.csv", "gone.csv"}));
                   EXPECT_EQ(ReadText(o.Out / "gone.csv"), "kept aside");
                 }});
    return t;
  }();
  return scenarios;
}

std::string Expand(const std::string& arg, const TOutcome& o) {
  std::string a = arg;
  for (const auto& [word, path] : {std::pair<std::string, fs::path>{"IN", o.In}, {"OUT", o.Out}})
    if (a.compare(0, word.size(), word) == 0) a = path.string() + a.substr(word.size());
  return a;
}

// Runs a scenario in a fresh folder: with `more` appended to its options,
// once per entry (shards run one after another into the same folders).
TOutcome Play(const TScenario& s, const std::vector<std::vector<std::string>>& runs, const TTempDir& tmp) {
  TOutcome o;
  o.Base = tmp.Dir();
  o.In = o.Base / "in";
  o.Out = o.Base / "out";
  s.Make(o.Base);
  o.Before = Tree(o.Base);
  for (const auto& more : runs) {
    std::vector<std::string> args;
    for (const std::string& a : s.Args) args.push_back(Expand(a, o));
    args.insert(args.begin(), more.begin(), more.end());
    const TCliRun r = RunCli(args);
    o.Run.Code = std::max(o.Run.Code, r.Code);
    o.Run.Out += r.Out;
    o.Run.Err += r.Err;
  }
  for (const auto& [name, bytes] : Tree(o.Base)) {
    if (o.Before.count(name) || fs::path(name).filename().string()[0] == '.') continue;
    o.Made[name] = Numbers(o.Base / name);
    o.All.insert(o.Made[name].begin(), o.Made[name].end());
  }
  return o;
}

}  // namespace

TEST(Outputs, ScenariosAtOneAndTwoWorkersAndAsShards) {
  for (const TScenario& s : Scenarios()) {
    std::map<std::string, std::multiset<double>> first;
    std::vector<std::pair<std::string, std::vector<std::vector<std::string>>>> configs{
        {"-j 1", {{"-j", "1"}}}, {"-j 2", {{"-j", "2"}}}};
    if (s.Shards) configs.push_back({"2 shards", {{"-j", "2", "--shard", "0/2"}, {"-j", "1", "--shard", "1/2"}}});
    for (const auto& [name, runs] : configs) {
      SCOPED_TRACE(std::string(s.Name) + " " + s.Args[1] + " at " + name);
      TTempDir tmp;
      const auto started = std::chrono::steady_clock::now();
      const TOutcome o = Play(s, runs, tmp);
      EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
      EXPECT_EQ(o.Run.Code, s.Code) << o.Run.Out << o.Run.Err;
      // No source touched, whatever the outputs were named.
      for (const auto& [path, bytes] : o.Before) {
        if (path.rfind("in/", 0) == 0) {
          EXPECT_EQ(ReadText(o.Base / path), bytes) << path;
        }
      }
      if (s.Check) s.Check(o);
      // The same outputs however the job ran.
      if (&name == &configs[0].first) {
        first = o.Made;
      } else {
        EXPECT_EQ(o.Made, first);
      }
    }
  }
}

// Random jobs: same-named sources of every family, name templates, sheet
// choices, whole workbooks, overwriting on or off, outputs beside the
// sources or apart, 1, 2 or 4 workers, 2 or 3 shards. Whatever the mix, no source changes, no output
// is written twice, every sheet's numbers are in exactly one output, and
// every way of running the job leaves the same files.
TEST(Outputs, GeneratedJobsKeepThePromises) {
  std::mt19937 rng(24);
  auto pick = [&](const auto& choices) { return choices[rng() % choices.size()]; };
  const std::vector<std::string> stems{"r", "r1", "r12", "s", "r_xls", "r_ods1"};  // some like fallback names
  const std::vector<std::string> exts{".xlsx", ".xlsm", ".xls", ".ods", ".wk1", ".wq1", ".wb1"};
  const std::vector<std::string> templates{"", "{name}{ext}", "{name}{sheet}{ext}", "{name}-{index}{ext}", "sheet"};
  for (int round = 0; round < 16; ++round) {
    // The job: its sources, with numbers no other sheet has.
    std::map<std::string, sourcebooks::TSheets> sources;
    std::multiset<double> numbers, firstSheets;
    for (const size_t files = 3 + rng() % 5; sources.size() < files;) {
      const std::string name = pick(stems) + pick(exts);
      if (sources.count(name)) continue;
      sourcebooks::TSheets sheets(sourcebooks::HoldsSeveralSheets(fs::path(name).extension()) ? 1 + rng() % 3 : 1);
      for (auto& sheet : sheets) {
        sheet = {double(100 + numbers.size())};
        numbers.insert(sheet[0]);
      }
      firstSheets.insert(sheets[0][0]);
      sources[name] = sheets;
    }
    const std::string format = pick(std::vector<std::string>{"csv", "xlsx", "xls"});
    std::vector<std::string> args{"-v", "-f", format};
    if (const std::string t = pick(templates); !t.empty()) args.insert(args.end(), {"--names", t});
    if (rng() % 2) args.push_back("--no-overwrite");
    if (rng() % 4 == 0) args.push_back("--whole-workbook");
    const bool first = rng() % 4 == 0;
    if (first) args.insert(args.end(), {"--sheets", "first"});
    const bool apart = rng() % 2;
    if (apart) args.insert(args.end(), {"-d", "OUT"});
    args.push_back("IN");
    // Shards must not find each other's outputs among their sources.
    const bool shardable = apart || format == "csv";
    const TScenario job{"Generated",
                        [&](const fs::path& base) {
                          for (const auto& [name, sheets] : sources) Book(base / ("in/" + name), sheets);
                        },
                        args, 0, false, nullptr};
    std::map<std::string, std::multiset<double>> reference;
    for (const std::vector<std::vector<std::string>>& runs : std::vector<std::vector<std::vector<std::string>>>{
             {{"-j", "1"}},
             {{"-j", "2"}},
             {{"-j", "4"}},
             {{"-j", "2", "--shard", "0/2"}, {"-j", "1", "--shard", "1/2"}},
             {{"--shard", "2/3"}, {"--shard", "0/3"}, {"-j", "2", "--shard", "1/3"}}}) {
      std::string trace = "round " + std::to_string(round) + ":";
      for (const auto& [name, sheets] : sources) trace += " " + name + "x" + std::to_string(sheets.size());
      for (const std::string& a : args) trace += " " + a;
      for (const auto& run : runs) trace += " [" + run.back() + "]";
      SCOPED_TRACE(trace);
      TTempDir tmp;
      const TOutcome o = Play(job, runs, tmp);
      if (runs.size() > 1 && !shardable) {
        EXPECT_EQ(o.Run.Code, 2) << o.Run.Err;
        continue;
      }
      ASSERT_EQ(o.Run.Code, 0) << o.Run.Out << o.Run.Err;
      for (const auto& [path, bytes] : o.Before) {
        EXPECT_EQ(ReadText(o.Base / path), bytes) << path;
      }
      EXPECT_EQ(o.All, first ? firstSheets : numbers);
      // Each output written once: -v lists every file each item wrote.
      std::multiset<std::string> written;
      std::istringstream lines(o.Run.Out);
      for (std::string line; std::getline(lines, line);)
        if (line.rfind("    output: ", 0) == 0) written.insert(line.substr(12));
      EXPECT_EQ(written.size(), o.Made.size());
      EXPECT_EQ(std::set<std::string>(written.begin(), written.end()).size(), written.size());
      if (reference.empty()) reference = o.Made;
      EXPECT_EQ(o.Made, reference);
    }
  }
}

// Overwriting off: a file that appears under an output's name while the
// output is written stays, in every format.
TEST(Outputs, AFileAppearingWhileAnOutputIsWrittenIsKeptWhenOverwritingIsOff) {
  for (const char* format : {"xls", "xlsx", "pdf", "csv"}) {
    SCOPED_TRACE(format);
    // Bigger sources until the file appears while the output is written.
    std::atomic<bool> caught{false};
    for (int rows = 1000; !caught && rows <= 16000; rows *= 2) {
      TTempDir tmp;
      std::string data;
      for (int r = 1; r <= rows; ++r) {
        data += "<row>";
        for (char c = 'A'; c < 'A' + 20; ++c) data += testbooks::XlsxCell(c + std::to_string(r), std::to_string(r));
        data += "</row>";
      }
      Write(tmp / "in/big.xlsx", testbooks::Xlsx({data}));
      fs::create_directories(tmp / "out");
      const std::string target = tmp / ("out/big." + std::string(format));
      // As soon as the run has its temporary output open, the file appears.
      std::atomic<bool> done{false};
      std::thread other([&] {
        while (!done && !caught) {
          std::error_code ec;
          for (const auto& e : fs::directory_iterator("/proc/self/fd", ec)) {
            std::error_code lec;
            // The temporary file, not the output once in place.
            const std::string open = fs::read_symlink(e.path(), lec).string();
            if (open.rfind(tmp / "out/", 0) != 0 || open == target) continue;
            // Made only where no output is yet: else the run was faster.
            const int h = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            caught = h >= 0 && ::write(h, "appeared", 8) == 8;
            if (h >= 0) ::close(h);
            return;
          }
        }
      });
      const TCliRun r = RunCli({"--no-overwrite", "-j", "1", "-f", format, "-d", tmp / "out", tmp / "in"});
      done = true;
      other.join();
      if (!caught) continue;  // too fast to catch: a bigger source
      EXPECT_EQ(r.Code, 0) << r.Out << r.Err;
      EXPECT_EQ(ReadText(target), "appeared");
      EXPECT_NE(r.Out.find("existing output kept: big."), std::string::npos) << r.Out;
    }
    EXPECT_TRUE(caught) << "the output was never seen while it was written";
  }
}

// With several workers an item's time is its own, not the wait for the
// names of the items before it.
TEST(Outputs, AnItemsTimeLeavesOutItsWaitForEarlierItems) {
  TTempDir tmp;
  std::string data;
  for (int r = 1; r <= 60000; ++r) data += "<row><c><v>1</v></c><c><v>2</v></c><c><v>3</v></c><c><v>4</v></c></row>";
  Write(tmp / "in/a.xlsx", testbooks::Xlsx({data}));
  Book(tmp / "in/b.xlsx", {{1}});
  const TCliRun r = RunCli({"-j", "2", "-f", "csv", "-d", tmp / "out", tmp / "in"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  std::map<std::string, int> ms;
  const std::regex line("Finished +([0-9]+) msec .*/in/([ab])\\.xlsx -> .*");
  std::istringstream lines(r.Out);
  for (std::string l; std::getline(lines, l);)
    if (std::smatch m; std::regex_match(l, m, line)) ms[m[2]] = std::stoi(m[1]);
  ASSERT_EQ(ms.size(), 2u) << r.Out;
  // b waiting for a would take longer than a; noise on a loaded machine is no fault.
  EXPECT_LT(ms["b"], ms["a"]) << r.Out;
}

// -o names the output exactly: no format adds its extension to a name
// without one (a source called t.XLSX was replaced by "-o t" before).
TEST(Outputs, AnOutputNameWithoutExtensionIsWrittenAsGiven) {
  for (const char* format : {"xlsx", "xls", "pdf", "csv"}) {
    SCOPED_TRACE(format);
    TTempDir tmp;
    const std::string source = tmp / "t.XLSX";
    Write(source, testbooks::Xlsx({testbooks::XlsxRowCell("A1", "1")}));
    const std::string before = ReadText(source);
    const TCliRun r = RunCli({"-f", format, "-o", tmp / "t", source});
    EXPECT_EQ(r.Code, 0) << r.Out << r.Err;
    EXPECT_EQ(ReadText(source), before);
    EXPECT_EQ(Tree(tmp.Dir()).size(), 2u);
    EXPECT_TRUE(fs::is_regular_file(tmp / "t"));
  }
}

// A text that 12,000 cells share (a 1 MB shared string) is handled once per
// output, not once per cell: each workbook output takes a fraction of a
// second here, where a copy per cell took minutes.
TEST(Outputs, AHugeSharedTextIsNotCopiedPerCell) {
  TTempDir tmp;
  std::string text;
  for (int i = 0; i < 100000; ++i) text += "абвгдежзиé";  // beyond one code page's worksheet
  std::string data;
  for (int r = 1; r <= 1200; ++r) {
    data += "<row>";
    for (char c = 'A'; c < 'K'; ++c) data += "<c r=\"" + (c + std::to_string(r)) + "\" t=\"s\"><v>0</v></c>";
    data += "</row>";
  }
  Write(tmp / "big.xlsx", testbooks::XlsxNamed({{"S", data}}, {text}));
  for (const char* format : {"xlsx", "xls"}) {
    SCOPED_TRACE(format);
    const auto start = std::chrono::steady_clock::now();
    const TCliRun r = RunCli({"-f", format, "-d", tmp / "out", tmp / "big.xlsx"});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.Code, 0) << r.Out << r.Err;
    EXPECT_LT(seconds, 30.0);
    EXPECT_TRUE(fs::is_regular_file(tmp / ("out/big." + std::string(format))));
  }
}
