// What a run promises about its outputs, scenario by scenario, each with
// one worker, two workers and (where a job can be split) two shards run one
// after the other: no output replaces a source or another output, every
// sheet lands in exactly one file, and the budgets, the overwrite choice
// and the permissions of a replaced file hold for every format.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
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
    const std::regex number(ext == ".csv" ? "\"(-?[0-9]+)\"" : "\\((-?[0-9]+)\\) Tj");
    for (std::sregex_iterator it(text.begin(), text.end(), number), end; it != end; ++it)
      numbers.insert(std::stod((*it)[1]));
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

void LeftOutputs(const fs::path& base, const std::string& ext) {
  Wide(base);
  Write(base / ("out/wide" + ext), "old");
  fs::permissions(base / ("out/wide" + ext), fs::perms::owner_read | fs::perms::owner_write);
}

const std::vector<TScenario>& Scenarios() {
  static const std::vector<TScenario> scenarios = [] {
    std::vector<TScenario> t;
    // Outputs beside their sources: no source is replaced, whichever
    // format's extension the sources have, and none is lost to a race.
    for (const char* format : {"xlsx", "xls", "csv"})
      t.push_back({"SourcesStay", SameNames, {"-f", format, "IN"}, 0, true,
                   EachOnce({11, 12, 13, 14, 15, 16, 17, 18}, 8)});
    // A template that does not vary by sheet: the second sheet gets a name of its own.
    t.push_back({"TemplateWithoutSheet",
                 [](const fs::path& base) { Book(base / "in/book.xlsx", {{1}, {2}}); },
                 {"-f", "csv", "--names", "{name}{ext}", "-d", "OUT", "IN"}, 0, true,
                 [](const TOutcome& o) {
                   EachOnce({1, 2}, 2)(o);
                   EXPECT_EQ(o.Made.count("out/book.csv") + o.Made.count("out/book_xlsx.csv"), 2u);
                 }});
    // Two files whose sheets a template names alike, in different shards.
    t.push_back({"TemplateAcrossShards",
                 [](const fs::path& base) {
                   // a.xlsx's sheet "cd" and ac.xlsx's "d": both acd.csv.
                   ASSERT_NE(InShard("a.xlsx", {0, 2}), InShard("ac.xlsx", {0, 2}));
                   Write(base / "in/a.xlsx", testbooks::XlsxNamed({{"cd", testbooks::XlsxRowCell("A1", "3")}}));
                   Write(base / "in/ac.xlsx", testbooks::XlsxNamed({{"d", testbooks::XlsxRowCell("A1", "4")}}));
                 },
                 {"-f", "csv", "--names", "{name}{sheet}{ext}", "-d", "OUT", "IN"}, 0, true, EachOnce({3, 4}, 2)});
    // Names no file's name decides cannot be split over shards.
    t.push_back({"TemplateWithoutNameRefusedForShards", SameNames,
                 {"-f", "csv", "--names", "{sheet}{ext}", "--shard", "0/2", "-d", "OUT", "IN"}, 2, false,
                 [](const TOutcome& o) {
                   EXPECT_NE(o.Run.Err.find("--shard with the name template"), std::string::npos) << o.Run.Err;
                   EXPECT_TRUE(o.Made.empty());
                 }});
    // The output budget, for every writer and a whole workbook.
    for (const std::vector<std::string>& format : std::vector<std::vector<std::string>>{
             {"-f", "xls"}, {"-f", "xlsx"}, {"-f", "pdf"}, {"-f", "csv"}, {"-f", "xlsx", "--whole-workbook"}}) {
      std::vector<std::string> args = format;
      for (const char* a : {"--max-output", "1K", "-d", "OUT", "IN"}) args.push_back(a);
      t.push_back({"OutputBudget", Wide, args, 1, false, [](const TOutcome& o) {
                     EXPECT_NE(o.Run.Err.find("budget of 1 KiB per file (--max-output"), std::string::npos)
                         << o.Run.Err;
                     EXPECT_TRUE(o.Made.empty());
                   }});
    }
    // A replaced output keeps its permissions.
    for (const char* ext : {".csv", ".xls", ".xlsx", ".pdf"})
      t.push_back({"PermissionsKept", [ext](const fs::path& base) { LeftOutputs(base, ext); },
                   {"-f", ext + 1, "-d", "OUT", "IN"}, 0, false, [ext](const TOutcome& o) {
                     const fs::path out = o.Out / ("wide" + std::string(ext));
                     EXPECT_NE(ReadText(out), "old");
                     EXPECT_EQ(fs::status(out).permissions() & fs::perms::all,
                               fs::perms::owner_read | fs::perms::owner_write);
                   }});
    // Writers visit the stored cells, not the grid they span.
    const auto far = [](const fs::path& base) {
      Write(base / "in/far.xlsx", testbooks::Xlsx({testbooks::XlsxRowCell("A1", "5") +
                                                   testbooks::XlsxRowCell("XFD1048576", "6")}));
    };
    for (const char* format : {"xlsx", "pdf"})
      t.push_back({"StoredCellsOnly", far, {"-f", format, "-d", "OUT", "IN"}, 0, false, [](const TOutcome& o) {
                     EachOnce({5, 6}, 1)(o);
                     for (const auto& [name, numbers] : o.Made)
                       if (name.ends_with(".pdf")) {
                         const std::string pdf = ReadText(o.Base / name);
                         size_t pages = 0;
                         for (size_t p = 0; (p = pdf.find("/Type /Page \r\n", p)) != std::string::npos; ++p) ++pages;
                         EXPECT_EQ(pages, 2u);  // the first rows' page and the last band's last page
                       }
                   }});
    t.push_back({"StoredCellsOnly",
                 [](const fs::path& base) {
                   Write(base / "in/tall.xlsx", testbooks::Xlsx({testbooks::XlsxRowCell("A1", "7") +
                                                                 testbooks::XlsxRowCell("IV65536", "8")}));
                 },
                 {"-f", "xls", "--whole-workbook", "-d", "OUT", "IN"}, 0, false, EachOnce({7, 8}, 1)});
    // The workbook memory budget has an option.
    t.push_back({"MemoryBudget", Wide, {"--max-memory", "1K", "-f", "csv", "-d", "OUT", "IN"}, 1, false,
                 [](const TOutcome& o) {
                   EXPECT_NE(o.Run.Err.find("memory budget"), std::string::npos) << o.Run.Err;
                   EXPECT_TRUE(o.Made.empty());
                 }});
    t.push_back({"MemoryBudget", Wide, {"--max-memory", "lots", "-d", "OUT", "IN"}, 2, false, nullptr});
    // Listing creates nothing.
    t.push_back({"ListCreatesNothing", Wide, {"--list", "-d", "OUT/new/deep", "IN"}, 0, false,
                 [](const TOutcome& o) { EXPECT_FALSE(fs::exists(o.Out)); }});
    t.push_back({"ListCreatesNothing", Wide, {"--list", "IN/wide.xlsx", "-o", "OUT/x/y.csv"}, 0, false,
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
                   EXPECT_NE(o.Run.Err.find("finished with 1 warning"), std::string::npos) << o.Run.Err;
                   EXPECT_NE(o.Run.Err.find("r=\"0\""), std::string::npos) << o.Run.Err;
                   EachOnce({31}, 1)(o);
                 }});
    // What killed runs left is cleared; a file kept aside goes back.
    t.push_back({"LeftoversCleared",
                 [](const fs::path& base) {
                   Book(base / "in/book.xlsx", {{41}});
                   Write(base / "out/gone.csv", "kept aside");
                   fs::create_hard_link(base / "out/gone.csv", base / "out/.gone.csv.0123456789abcdef.keep");
                   fs::remove(base / "out/gone.csv");
                   Write(base / "out/.book.csv.fedcba9876543210.part", "half");
                   Write(base / "out/.note.0123456789abcdef.txt", "not ours");
                 },
                 {"-f", "csv", "-d", "OUT", "IN"}, 0, false, [](const TOutcome& o) {
                   std::set<std::string> names;
                   for (const auto& e : fs::directory_iterator(o.Out)) names.insert(e.path().filename().string());
                   EXPECT_EQ(names, (std::set<std::string>{"book.csv", "gone.csv", ".note.0123456789abcdef.txt"}));
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
