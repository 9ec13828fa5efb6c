// The export pipeline with a writer that records its hooks: statistic and
// events, the failure and cancel paths (no output left behind), the row
// loop's layouts, titles, detail levels and files, and the progress window.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>

#include "ExportDS.h"
#include "ExportTestSupport.h"
#include "FakeUi.h"
#include "QXE2Cell.h"
#include "QXE2PDF.h"
#include "QXE2XLS.h"
#include "QXE2XLS8.h"
#include "QXEEngQXI.h"
#include "QXEStat.h"
#include "TempDir.h"

namespace fs = std::filesystem;

namespace {

class PipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FillSheet(Sheet, {{"name", "qty"}, {"apple", int64_t(3)}, {"pear", int64_t(5)}, {"plum", int64_t(7)}});
    Engine.SetSpreadSheet(&Sheet);
    W.AnimatedStatus = false;
    W.SetOption(soShowMessage, false);
    W.ColumnSource = csDataEngine;
    W.SetDataEngine(&Engine);
    W.FileName = Tmp / "out.txt";
  }
  TTempDir Tmp;
  TFakeUi Ui;
  TSpreadSheet Sheet;
  TQXESpreadsheetDataEngine Engine;
  TRecordingWriter W;
};

TEST_F(PipelineTest, RunsEveryHookInOrderAndCompletes) {
  W.Header = {"Report"};
  W.Footer = {"End"};
  std::vector<std::string> events;
  W.OnBeforeExecute = [&](auto*) { events.push_back("before"); };
  W.OnAfterExecute = [&](auto*) { events.push_back("after"); };
  W.OnProgress = [&](auto*, int32_t cur, int32_t max, bool&) { events.push_back(Format("progress %d/%d", cur, max)); };
  W.Execute();

  EXPECT_EQ(W.Statistic.Result, erCompleted) << W.FailureText();
  EXPECT_EQ(W.FinalText(), "The " + (Tmp / "out.txt") + " file was successfully generated.");
  // 1 header + 0 title rows + 4 records + 1 footer.
  EXPECT_EQ(W.Statistic.TotalCount, 6);
  EXPECT_EQ(W.Joined(),
            "StartFile\nDims 4 3\nWidth 0 5\nWidth 1 5\n"
            "BeginRow\nCell 0 1 3 Report\nEndRow\n"
            "BeginRow\nCell 1 0 3 name\nCell 1 1 3 qty\nEndRow\n"
            "BeginRow\nCell 2 0 3 apple\nCell 2 1 1 3\nEndRow\n"
            "BeginRow\nCell 3 0 3 pear\nCell 3 1 1 5\nEndRow\n"
            "BeginRow\nCell 4 0 3 plum\nCell 4 1 1 7\nEndRow\n"
            "BeginRow\nCell 5 1 3 End\nEndRow\nEndOfFile\n");
  EXPECT_EQ(events, (std::vector<std::string>{"before", "progress 0/4", "progress 1/4", "progress 2/4",
                                              "progress 3/4", "progress 4/4", "after"}));
  // The columns the engine made live for the export only.
  EXPECT_EQ(W.Columns.Count(), 0);
  EXPECT_EQ(W.WorkingEngine(), nullptr);
  EXPECT_TRUE(fs::exists(Tmp / "out.txt"));
  EXPECT_NE(ReadFileText(Tmp / "out.txt").find("4,1,1:7"), std::string::npos);
}

TEST_F(PipelineTest, MissingOrForeignDataSourceFails) {
  W.SetDataEngine(nullptr);
  W.Execute();
  EXPECT_EQ(W.Statistic.Result, erFailed);
  EXPECT_EQ(W.FailureText(), "Property DataEngine is not specified.");

  W.ColumnSource = csDBGrid;
  W.Execute();
  EXPECT_EQ(W.FailureText(), "Property DBGrid is not specified.");

  int dataset = 0;
  W.ColumnSource = csDataSet;
  W.DataSet = &dataset;
  W.Execute();
  EXPECT_EQ(W.FailureText(), "This data source is not available in this program.");
  EXPECT_FALSE(fs::exists(Tmp / "out.txt"));
}

TEST_F(PipelineTest, FailureLeavesNoFileAndKeepsTheOlderOne) {
  std::ofstream(Tmp / "out.txt") << "previous";
  W.SetOption(soShowMessage, true);
  bool afterFired = false;
  W.OnAfterExecute = [&](auto*) { afterFired = true; };
  W.FailAtRow = 2;
  W.Execute();
  EXPECT_EQ(W.Statistic.Result, erFailed);
  EXPECT_EQ(W.FailureText(), "disk on fire");
  EXPECT_TRUE(afterFired);
  EXPECT_EQ(W.WorkingEngine(), nullptr);
  EXPECT_EQ(W.Columns.Count(), 0);
  EXPECT_EQ(ReadFileText(Tmp / "out.txt"), "previous");
  EXPECT_EQ(fs::directory_iterator(Tmp.Dir()) == fs::directory_iterator(), false);
  size_t files = 0;
  for ([[maybe_unused]] auto& e : fs::directory_iterator(Tmp.Dir())) ++files;
  EXPECT_EQ(files, 1u) << "a temporary file was left behind";
  // One box, with the family's error text.
  ASSERT_EQ(Ui.Messages.size(), 1u);
  EXPECT_EQ(Ui.Messages[0].Text, "Error in data export.: disk on fire");
}

TEST_F(PipelineTest, CancelAndOutsideStopEndCanceledWithoutOutput) {
  std::ofstream(Tmp / "out.txt") << "previous";
  W.OnAfterRecord = [&](auto*, bool& abort) { abort = W.Statistic.CurrentRow >= 2; };
  W.Execute();
  EXPECT_EQ(W.Statistic.Result, erCanceled);
  EXPECT_EQ(W.FinalText(), "Data export was canceled by user.");
  EXPECT_EQ(ReadFileText(Tmp / "out.txt"), "previous");

  W.OnAfterRecord = nullptr;
  W.Cells.clear();
  int polls = 0;
  W.StopRequested = [&] { return ++polls > 2; };
  W.Execute();
  EXPECT_EQ(W.Statistic.Result, erCanceled);
  EXPECT_EQ(W.Cells.size(), 4u);  // two records, then the stop between rows
  EXPECT_EQ(ReadFileText(Tmp / "out.txt"), "previous");

  // A stop asked for after the last row changes nothing written.
  W.StopRequested = [&] { return false; };
  W.OnAfterExecute = [&](auto*) {};
  W.Execute();
  EXPECT_EQ(W.Statistic.Result, erCompleted);
  EXPECT_NE(ReadFileText(Tmp / "out.txt"), "previous");
}

TEST_F(PipelineTest, RecordsRefusedByOnBeforeRecordAreLeftOut) {
  int n = 0;
  W.OnBeforeRecord = [&](auto*, bool& accept) { accept = (n++ % 2) == 0; };
  W.Execute();
  EXPECT_EQ(W.Cells, (std::vector<std::string>{"0,0=name", "0,1=qty", "1,0=pear", "1,1=5"}));
}

TEST_F(PipelineTest, EmptySourceWritesNothingOrOnlyTheFixedLines) {
  TSpreadSheet empty;
  Engine.SetSpreadSheet(&empty);
  W.Header = {"H"};
  W.Footer = {"F"};
  W.ExportIfEmpty = false;
  W.Execute();
  EXPECT_EQ(W.Statistic.Result, erCompleted);
  EXPECT_TRUE(W.Log.empty());
  EXPECT_FALSE(fs::exists(Tmp / "out.txt"));

  W.ExportIfEmpty = true;
  W.Execute();
  EXPECT_EQ(W.Cells, (std::vector<std::string>{"0,1=H", "1,1=F"}));
  EXPECT_TRUE(fs::exists(Tmp / "out.txt"));
}

TEST_F(PipelineTest, RowsPerFileSplitsIntoNumberedFiles) {
  W.FileName = Tmp / "Sheet.txt";
  W.RowsPerFile = 2;
  std::vector<std::string> names;
  W.OnGetFileName = [&](auto*, int32_t, std::string& name) { names.push_back(ExtractFileName(name)); };
  W.Execute();
  ASSERT_EQ(W.Statistic.Result, erCompleted) << W.FailureText();
  EXPECT_EQ(names, (std::vector<std::string>{"Sheet.txt", "Sheet001.txt"}));
  EXPECT_TRUE(fs::exists(Tmp / "Sheet.txt"));
  EXPECT_TRUE(fs::exists(Tmp / "Sheet001.txt"));
  EXPECT_FALSE(fs::exists(Tmp / "Sheet002.txt"));
}

TEST_F(PipelineTest, TitlesBandsAndBlankRowInColumnarLayout) {
  W.AddTitle = true;
  W.SetOption(soBlankRowAfterCaptions, true);
  W.SetOption(soExportBands, true);
  W.Columns.Add()->FieldName = "Field0";
  W.Columns.Add()->FieldName = "Field1";
  W.Columns.Add()->FieldName = "Field1";
  W.Columns[0]->Title.Caption = "Fruit";
  W.Columns[1]->Title.Caption = "Qty";
  W.Columns[2]->Title.Caption = "Again";
  W.Columns[1]->BandIndex = W.Columns[2]->BandIndex = 0;
  W.Bands.Add()->Caption = "Numbers";
  W.Execute();
  ASSERT_EQ(W.Statistic.Result, erCompleted) << W.FailureText();
  const std::string log = W.Joined();
  // Band row: an empty cell outside any band, then one merged cell over two columns.
  EXPECT_NE(log.find("Cell 0 0 0 \nMerged 0 1 2 Numbers\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Cell 1 0 3 Fruit\nCell 1 1 3 Qty\nCell 1 2 3 Again\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Cell 2 0 0 \nCell 2 1 0 \nCell 2 2 0 \n"), std::string::npos) << log;
  EXPECT_NE(log.find("Cell 3 0 3 name"), std::string::npos) << log;
  EXPECT_EQ(W.Statistic.TotalCount, 3 + 4);
  // Columns the caller gave are the caller's.
  EXPECT_EQ(W.Columns.Count(), 3);
}

TEST_F(PipelineTest, ReversedAndTabularLayoutsPlaceCellsElsewhere) {
  W.Layout = elReversedColumnar;
  W.Execute();
  ASSERT_EQ(W.Statistic.Result, erCompleted) << W.FailureText();
  EXPECT_EQ(W.Log[1], "Dims 2 5");
  EXPECT_EQ(W.Cells[0], "0,0=name");
  EXPECT_EQ(W.Cells[1], "1,0=qty");
  EXPECT_EQ(W.Cells[3], "1,1=3");

  W.Log.clear();
  W.Cells.clear();
  W.Layout = elTabularForm;
  W.AddTitle = true;
  W.Execute();
  ASSERT_EQ(W.Statistic.Result, erCompleted) << W.FailureText();
  EXPECT_EQ(W.Log[1], "Dims 10 3");
  // Each column its own row: the label in column 0, the value in column 1.
  EXPECT_EQ(std::vector<std::string>(W.Cells.begin(), W.Cells.begin() + 4),
            (std::vector<std::string>{"0,0=name", "0,1=name", "1,0=qty", "1,1=qty"}));
  EXPECT_EQ(W.Cells[6], "3,0=qty");
  EXPECT_EQ(W.Cells[7], "3,1=3");
}

// The detail rows of the master's current record: one sheet per master row.
class TDetailRows : public TQXESpreadsheetDataEngine {
 public:
  const TQXESpreadsheetDataEngine* Master = nullptr;
  std::vector<TSpreadSheet>* Sheets = nullptr;
  void First() override {
    SetSpreadSheet(&(*Sheets)[size_t(Master ? Master->RecNo() : 0)]);
    TQXESpreadsheetDataEngine::First();
  }
};

// Master rows, each followed by its detail level (titles, then its rows),
// through every writer of a grid, read back by other programs: every master
// and detail row on a row of its own with its own values, none written over
// (or, in a PDF, drawn over) another.
TEST(DetailLevels, EveryMasterAndDetailRowHasItsOwnRow) {
  constexpr int masters = 3, details = 2;
  TSpreadSheet master;
  std::vector<TSpreadSheet> detailSheets(masters);
  // Every row in order, its cells joined by "|": titles, master row, the
  // detail level's titles and rows.
  std::vector<std::string> want{"Name|Qty"};
  for (int m = 1; m <= masters; ++m) {
    master.Cells.SetCell(0, m - 1, ictString, 0, taLeftJustify, TVariant(Format("Master %d", m)));
    master.Cells.SetCell(1, m - 1, ictInteger, 0, taLeftJustify, TVariant(int64_t(100 + m)));
    want.push_back(Format("Master %d|%d", m, 100 + m));
    want.push_back("Item|First|Second");
    std::vector<std::vector<TVariant>> rows;
    for (int d = 1; d <= details; ++d) {
      rows.push_back({Format("Detail %d.%d", m, d), int64_t(10 * m + d), int64_t(1000 * m + d)});
      want.push_back(Format("Detail %d.%d|%d|%d", m, d, 10 * m + d, 1000 * m + d));
    }
    FillSheet(detailSheets[size_t(m - 1)], rows);
  }
  auto addColumns = [](TQXEColumns& columns, std::initializer_list<const char*> captions) {
    for (const char* caption : captions) {
      TQXEColumn* c = columns.Add();
      c->FieldName = "Field" + std::to_string(columns.Count() - 1);
      c->Title.Caption = caption;
      c->Width = 12;
    }
  };

  TTempDir tmp;
  struct TWriterCase {
    const char* Name;
    std::function<std::unique_ptr<TQXExportToCellFile>()> Make;
  };
  const TWriterCase writers[] = {
      {"k.xls", [] { return std::make_unique<TQXExportToXLS>(); }},
      {"k8.xls", [] { return std::make_unique<TQXExportToXLS8>(); }},
      {"k.xlsx", [] { return std::make_unique<TQXExportToXLSX>(); }},
      {"k.pdf", [] { return std::make_unique<TQXExportToPDF>(); }},
  };
  std::vector<std::string> workbooks;
  for (const TWriterCase& c : writers) {
    SCOPED_TRACE(c.Name);
    auto w = c.Make();
    TDetailRows detail;
    detail.Sheets = &detailSheets;
    ASSERT_EQ(ExecuteOver(*w, tmp / c.Name, master, [&] {
                w->AddTitle = true;
                addColumns(w->Columns, {"Name", "Qty"});
                TQXEDataLevel* level = w->DetailSources.Add();
                level->ColumnSource = csDataEngine;
                level->DataEngine = &detail;
                addColumns(level->Columns, {"Item", "First", "Second"});
                detail.Master = static_cast<const TQXESpreadsheetDataEngine*>(w->DataEngine());
              }),
              erCompleted)
        << w->FailureText();
    if (!EndsText(".pdf", c.Name)) {
      workbooks.push_back(tmp / c.Name);
      continue;
    }
    if (!HaveProgram("pdftotext")) continue;
    // Each line of the page's text as its words joined by "|".
    std::vector<std::string> lines;
    std::istringstream text(RunCapture("pdftotext -layout " + ShellQuote(tmp / c.Name) + " - 2>/dev/null"));
    for (std::string line, word; std::getline(text, line);) {
      std::istringstream words(line);
      std::string joined;
      while (words >> word) joined += (joined.empty() ? "" : "|") + word;
      // "Master 1" is one cell: its two words join with a space again.
      for (const char* label : {"Master|", "Detail|"})
        if (joined.rfind(label, 0) == 0) joined[6] = ' ';
      if (!joined.empty()) lines.push_back(joined);
    }
    EXPECT_EQ(lines, want);
  }

  if (!HavePythonModule("xlrd") || !HavePythonModule("openpyxl")) GTEST_SKIP() << "xlrd or openpyxl is missing";
  const auto readBack = ReadBack(workbooks, tmp.Dir());
  EXPECT_EQ(readBack.size(), workbooks.size());
  for (const auto& [file, back] : readBack) {
    SCOPED_TRACE(file);
    ASSERT_TRUE(back.Error.empty()) << back.Error;
    std::map<int, std::string> byRow;  // the row's values ("kind:value" less the kind), in column order
    for (const auto& [key, value] : back.Cells) {
      const int row = std::stoi(key), column = std::stoi(key.substr(key.find(',') + 1));
      std::string& r = byRow[row];
      ASSERT_EQ(std::count(r.begin(), r.end(), '|') + !r.empty(), column) << key;
      r += (r.empty() ? "" : "|") + value.substr(2);
    }
    std::vector<std::string> rows;
    for (int r = 0; !byRow.empty() && r <= byRow.rbegin()->first; ++r)
      rows.push_back(byRow.count(r) ? byRow[r] : "(no row)");
    EXPECT_EQ(rows, want);
  }
}

TEST_F(PipelineTest, InvisibleColumnsAndSystemVariables) {
  W.Columns.Add()->FieldName = "Field0";
  TQXEColumn* hidden = W.Columns.Add();
  hidden->FieldName = "Field1";
  hidden->Visible = false;
  TQXEColumn* row = W.Columns.Add();
  row->FieldName = "ROWNO";
  row->ColumnKind = ckSysVar;
  TQXEColumn* col = W.Columns.Add();
  col->FieldName = "colno";
  col->ColumnKind = ckSysVar;
  TQXEColumn* constant = W.Columns.Add();
  constant->FieldName = "fixed";
  constant->ColumnKind = ckConstant;
  W.Header = {"h"};
  W.Execute();
  ASSERT_EQ(W.Statistic.Result, erCompleted) << W.FailureText();
  EXPECT_EQ(W.Log[1], "Dims 4 5");
  EXPECT_EQ(std::vector<std::string>(W.Cells.begin() + 1, W.Cells.begin() + 9),
            (std::vector<std::string>{"1,0=name", "1,1=1", "1,2=2", "1,3=fixed", "2,0=apple", "2,1=2", "2,2=2",
                                      "2,3=fixed"}));

  W.Cells.clear();
  W.SetOption(soExportInvisibleFields, true);
  W.Execute();
  EXPECT_EQ(W.Cells[2], "1,1=qty");
}

TEST_F(PipelineTest, FileNameExtensionFollowsTableType) {
  W.FileName = Tmp / "plain";
  W.Execute();
  EXPECT_EQ(W.FileName, Tmp / "plain.TXT");
  EXPECT_TRUE(fs::exists(Tmp / "plain.TXT"));
  W.SetTableType(tePDF);
  EXPECT_EQ(W.FileName, Tmp / "plain.PDF");
  W.SetTableType(teADO);
  EXPECT_EQ(W.FileName, Tmp / "plain.PDF");
  W.SetTableType(teClipboard);
  EXPECT_EQ(W.FileName, Tmp / "plain");
}

TEST_F(PipelineTest, WriteErrorAtTheLastBufferFails) {
  // A disk that fills up: writes beyond the size limit fail (EFBIG).
  FillSheet(Sheet, std::vector<std::vector<TVariant>>(3000, {std::string(40, 'x'), std::string(40, 'y')}));
  std::ofstream(Tmp / "out.txt") << "previous";
  struct rlimit old;
  getrlimit(RLIMIT_FSIZE, &old);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 100000;
  setrlimit(RLIMIT_FSIZE, &small);
  W.Execute();
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(W.Statistic.Result, erFailed);
  EXPECT_NE(W.FailureText().find("write"), std::string::npos) << W.FailureText();
  EXPECT_EQ(ReadFileText(Tmp / "out.txt"), "previous");
}

// A progress window that remembers what the export asked of it.
class TFakeProgress : public TProgressWindow {
 public:
  explicit TFakeProgress(std::vector<std::string>& log) : FLog(log) {}
  void SetCaption(const std::string& t) override { FLog.push_back("caption " + t); }
  void SetStatus(const std::string& t) override { FLog.push_back("status " + t); }
  void SetButtonCaption(const std::string& t) override { FLog.push_back("button " + t); }
  void SetRange(int32_t a, int32_t b) override {
    FMax = b;
    FLog.push_back(Format("range %d %d", a, b));
  }
  void SetPosition(int32_t p) override { FPos = p; }
  int32_t Position() const override { return FPos; }
  int32_t Max() const override { return FMax; }
  void StartAnimation() override { FLog.push_back("play"); }
  void StopAnimation() override { FLog.push_back("stop"); }
  void Show() override { FLog.push_back("show"); }
  void Repaint() override {}
  bool CancelRequested() const override { return FCancel; }
  void SetCancelRequested(bool v) override { FCancel = v; }
  void WaitForButton() override { FLog.push_back("wait"); }
  ~TFakeProgress() override { FLog.push_back("closed"); }
  bool FCancel = false;

 private:
  std::vector<std::string>& FLog;
  int32_t FPos = 0, FMax = 0;
};

class TProgressUi : public TFakeUi {
 public:
  std::vector<std::string> Log;
  bool Fail = false;
  int CancelAfterUpdates = -1;
  TFakeProgress* Window = nullptr;
  std::unique_ptr<TProgressWindow> CreateProgressWindow() override {
    if (Fail) throw Exception("no display");
    auto w = std::make_unique<TFakeProgress>(Log);
    Window = w.get();
    return w;
  }
  void ProcessMessages() override {
    TFakeUi::ProcessMessages();
    if (Window && CancelAfterUpdates >= 0 && ProcessMessagesCalls > CancelAfterUpdates) Window->FCancel = true;
  }
};

TEST(ProgressWindow, ShowsProgressAndHonoursItsCancelButton) {
  TTempDir tmp;
  TSpreadSheet sheet;
  FillSheet(sheet, std::vector<std::vector<TVariant>>(300, {int64_t(1)}));
  TQXESpreadsheetDataEngine engine;
  engine.SetSpreadSheet(&sheet);
  TRecordingWriter w;
  w.SetOption(soShowMessage, false);
  w.ColumnSource = csDataEngine;
  w.SetDataEngine(&engine);
  w.FileName = tmp / "p.txt";
  w.KeyGenerator = "Gen";
  {
    TProgressUi ui;
    w.Execute();
    EXPECT_EQ(w.Statistic.Result, erCompleted);
    ASSERT_GE(ui.Log.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(ui.Log.begin(), ui.Log.begin() + 6),
              (std::vector<std::string>{"caption Gen", "status Exporting...", "button &Cancel", "range 0 300", "play",
                                        "show"}));
    EXPECT_EQ(ui.Log.back(), "closed");  // soAutoCloseStatistic: no wait
  }
  {
    TProgressUi ui;
    w.SetOption(soAutoCloseStatistic, false);
    w.Execute();
    const std::string log = [&] {
      std::string s;
      for (auto& l : ui.Log) s += l + ";";
      return s;
    }();
    EXPECT_NE(log.find("stop;button &OK;wait;closed;"), std::string::npos) << log;
  }
  {
    TProgressUi ui;
    ui.CancelAfterUpdates = 3;
    w.Execute();
    EXPECT_EQ(w.Statistic.Result, erCanceled);
    EXPECT_FALSE(fs::exists(tmp / "p.txt.tmp"));
  }
  {
    TProgressUi ui;
    ui.Fail = true;
    w.SetOption(soAutoCloseStatistic, true);
    w.Execute();
    EXPECT_EQ(w.Statistic.Result, erCompleted);
    ASSERT_EQ(ui.Messages.size(), 1u);
    EXPECT_EQ(ui.Messages[0].Text, "Can't create a process dialog");
  }
}

TEST(Messages, TableAndLanguageHandler) {
  TRecordingWriter w;
  EXPECT_EQ(w.GetLanguageString(0), "Property %s is not specified.");
  EXPECT_EQ(w.GetLanguageString(16), "Data export was canceled by user.");
  EXPECT_EQ(w.GetLanguageString(172), "Proper");
  EXPECT_EQ(w.GetLanguageString(55), "");
  EXPECT_EQ(w.GetLanguageString(200), "");
  w.OnGetLanguageString = [](auto*, int32_t id, std::string& text) {
    if (id == 55) text = "mine";
  };
  EXPECT_EQ(w.GetLanguageString(55), "mine");
}

TEST(Companions, StylesDataFormatsAndAssign) {
  TQXExportStyle style;
  style.SetStyle(esBrick);
  EXPECT_EQ(style.OddColor, 0x00CFDFDF);
  EXPECT_EQ(style.EvenColor, 0x00A0BFBF);
  style.OddColor = 1;
  style.SetStyle(esBrick);  // the same style keeps the colours
  EXPECT_EQ(style.OddColor, 1);
  TColor c = 7;
  style.ApplyRowColor(2, c);
  EXPECT_EQ(c, 0x00A0BFBF);
  TQXExportStyle normal;
  normal.ApplyRowColor(1, c);
  EXPECT_EQ(c, 0x00A0BFBF);

  TFormatSettings fs = TFormatSettings::UnitedStates();
  TQXEDataFormats f;
  fs.ShortDateFormat = "dd/MM/yyyy";
  fs.DateSeparator = '.';
  fs.CurrencyString = "EUR";
  f.LoadRegionalSettings(fs);
  EXPECT_EQ(f.DateOrder, doDMY);
  EXPECT_TRUE(f.FourDigitYear);
  EXPECT_TRUE(f.LeadingZerosInDate);
  EXPECT_EQ(f.DateSeparator, '.');
  EXPECT_EQ(f.CurrencyString, "EUR");
  fs.ShortDateFormat = "yy-M-d";
  fs.DateSeparator = '-';
  f.LoadRegionalSettings(fs);
  EXPECT_EQ(f.DateOrder, doYMD);
  EXPECT_FALSE(f.FourDigitYear);
  fs.ShortDateFormat = "d MMMM";
  f.LoadRegionalSettings(fs);
  EXPECT_EQ(f.DateOrder, doMDY);

  TRecordingWriter a, b;
  a.Header = {"x"};
  a.KeyGenerator = "K";
  a.Layout = elTabularForm;
  a.Columns.Add()->FieldName = "F";
  a.OnBeforeRecord = [](auto*, bool&) {};
  b.Assign(a);
  EXPECT_EQ(b.Header, a.Header);
  EXPECT_EQ(b.KeyGenerator, "K");
  EXPECT_EQ(b.Layout, elTabularForm);
  EXPECT_EQ(b.Columns.Count(), 1);
  EXPECT_TRUE(bool(b.OnBeforeRecord));
}

TEST(Components, ForgetAnEngineThatIsDestroyed) {
  TRecordingWriter w;
  {
    TQXESpreadsheetDataEngine engine;
    w.SetDataEngine(&engine);
    EXPECT_EQ(w.DataEngine(), &engine);
  }
  EXPECT_EQ(w.DataEngine(), nullptr);
  w.SetSpecificationDir("  specs ");
  EXPECT_EQ(w.SpecificationDir(), "specs/");
  w.SetAbout("anything");
  EXPECT_EQ(w.About(), "");
}

TEST(Components, EbcdicTable) {
  EXPECT_EQ(AnsiToEbcdic("Az09 .~\x01\x7F\xE9"), "\xC1\xA9\xF0\xF9\x40\x4B\xA1\x01\x4B\x4B");
}

}  // namespace
