// The batch driver core: mask test, candidate search, work list and run loop.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <atomic>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "BatchDriver.h"
#include "DateTime.h"
#include "Exception.h"
#include "FakeUi.h"
#include "FileSystem.h"
#include "Streams.h"
#include "TempDir.h"

namespace fs = std::filesystem;

namespace {


void Touch(const std::string& path, const std::string& text = "x") {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// Accepts *.xls, writes ".csv" outputs, and fails or stops as scripted.
class TFakeBatch : public TBatchDriver {
 public:
  std::set<std::string> FailNames;  // source names whose conversion raises
  int StopDuringCall = 0;           // presses Stop inside this call (1-based)
  std::vector<std::string> Converted;
  std::vector<std::string> Events;

  bool IsFileAccepted(const std::string& name) override { return MatchesMask(name, "*.xls", true); }
  std::string GetDestinationExt() override { return ".csv"; }
  void CreateConverters() override { Events.push_back("create"); }
  void FreeConverters() override { Events.push_back("free"); }
  void ConvertFile(const std::string& source, const std::string& dest) override {
    Converted.push_back(source);
    if (int(Converted.size()) == StopDuringCall) Stop();
    if (FailNames.count(fs::path(source).filename().string())) throw EConvertError("cannot read " + source);
    Touch(dest, "converted from " + source);
  }
};

class TRecordingView : public IBatchView {
 public:
  std::vector<std::string> Events;
  void CandidatesCleared() override { Events.push_back("candidates cleared"); }
  void CandidateAdded(size_t i) override { Events.push_back("candidate " + std::to_string(i)); }
  void WorkListCleared() override { Events.push_back("work cleared"); }
  void WorkItemAdded(size_t i) override { Events.push_back("item " + std::to_string(i)); }
  void WorkItemChanged(size_t i) override { Events.push_back("changed " + std::to_string(i)); }
  void RunStarted() override { Events.push_back("started"); }
  void RunEnded(TRunOutcome o) override { Events.push_back("ended " + std::to_string(int(o))); }
};

std::vector<std::string> Captions(const TBatchDriver& d) {
  std::vector<std::string> out;
  for (const auto& c : d.Candidates()) out.push_back(c.Caption);
  return out;
}

}  // namespace

TEST(MatchesMask, WildcardCases) {
  EXPECT_TRUE(MatchesMask("README", "*.*"));
  EXPECT_TRUE(MatchesMask("README", "*"));
  EXPECT_TRUE(MatchesMask("report01.xls", "report??.xls"));
  EXPECT_FALSE(MatchesMask("report1.xls", "report??.xls"));
  EXPECT_TRUE(MatchesMask("A.XLS", "*.xls*"));
  EXPECT_TRUE(MatchesMask("a.xlsx", "*.xls*"));
  EXPECT_TRUE(MatchesMask("a.xls.bak", "*.xls*"));
  EXPECT_FALSE(MatchesMask("a.xl", "*.xls*"));
  EXPECT_TRUE(MatchesMask("axbyc", "a*b*c"));
  EXPECT_TRUE(MatchesMask("abc", "a*b*c"));
  EXPECT_FALSE(MatchesMask("axcyb", "a*b*c"));
  EXPECT_TRUE(MatchesMask("book.xls", "**.xls"));
  EXPECT_TRUE(MatchesMask("a.wk1", "**.wk?"));
  EXPECT_FALSE(MatchesMask("a.wk12", "*.wk?"));
  EXPECT_TRUE(MatchesMask("x.XLS", "*.xls", true));
  EXPECT_FALSE(MatchesMask("x.XLS", "*.xls", false));
  EXPECT_TRUE(MatchesMask("a[1].xls", "a[1].xls", false));  // exact equality first
  EXPECT_FALSE(MatchesMask("", "*.xls"));
  EXPECT_FALSE(MatchesMask("a.xls", ""));
  EXPECT_TRUE(MatchesMask("anything", "*thing"));
  EXPECT_FALSE(MatchesMask("thing", "*anything"));
}

TEST(MatchesMask, NoOverlapOrLeftoverMatches) {
  // The tail after the last "*" must fit in what the walk left of the name.
  EXPECT_FALSE(MatchesMask("abc", "ab*bc"));
  EXPECT_TRUE(MatchesMask("abxbc", "ab*bc"));
  EXPECT_TRUE(MatchesMask("abbc", "ab*bc"));
  // A name used up leaves only stars to match.
  EXPECT_FALSE(MatchesMask("ab", "ab*x*"));
  EXPECT_TRUE(MatchesMask("ab", "ab*"));
  EXPECT_FALSE(MatchesMask("ab", "ab?"));
}

TEST(MatchesMask, QuestionMarkTakesWholeCharacter) {
  // Tests run with the system code page 65001: "é" is two bytes.
  EXPECT_TRUE(MatchesMask("r\xC3\xA9.xls", "r?.xls"));
  EXPECT_FALSE(MatchesMask("r\xC3\xA9.xls", "r??.xls"));
  EXPECT_TRUE(MatchesMask("\xC3\x89T\xC3\x89.XLS", "\xC3\xA9t\xC3\xA9.xls"));  // upper-cased by character
}

TEST(EffectiveMask, DirectoryPartDroppedEmptyMeansAll) {
  EXPECT_EQ(EffectiveMask(""), "*.*");
  EXPECT_EQ(EffectiveMask("  "), "*.*");
  EXPECT_EQ(EffectiveMask("C:\\data\\*.csv"), "*.csv");
  EXPECT_EQ(EffectiveMask("/srv/in/*.wk1"), "*.wk1");
  EXPECT_EQ(EffectiveMask("C:*.xls"), "*.xls");
  EXPECT_EQ(EffectiveMask("report??.xls"), "report??.xls");
}

// Each state as the list, the log and the report show it.
TEST(ItemStatus, RenderedToThePublishedTexts) {
  const std::pair<TItemState, const char*> texts[] = {
      {TItemState::Waiting, "Waiting"},   {TItemState::Skipped, "Skipped"},   {TItemState::InProgress, "In progress"},
      {TItemState::Finished, "Finished"}, {TItemState::Canceled, "Canceled"},
  };
  for (const auto& [state, text] : texts) {
    EXPECT_EQ(ItemStatusText(state), text);
    EXPECT_STREQ(ItemStateWord(state), text);
  }
  EXPECT_EQ(ItemStatusText(TItemStatus::Failed("Disk full")), "Error Disk full");
  EXPECT_STREQ(ItemStateWord(TItemState::Error), "Error");
  // Nothing said why; a message of several lines stays one line of the list.
  EXPECT_EQ(ItemStatusText(TItemStatus::Failed("")), "Error Unknown error");
  EXPECT_EQ(TItemStatus::Failed("a\r\nb").Message, "a  b");
  // State alone decides: two errors with different messages are both errors.
  EXPECT_EQ(TItemStatus::Failed("x"), TItemState::Error);
  EXPECT_NE(TItemStatus::Failed("x"), TItemStatus::Failed("y"));

  TWorkItem item;
  item.Caption = "in/a.xls";
  item.Destination = "out/a.csv";
  item.Status = TItemState::Finished;
  item.Time = "12 msec";
  item.Note = "2 warnings";
  EXPECT_EQ(StatusText(item), "Finished (2 warnings)");
  // Five columns whatever the item: status, time, source, outputs, message.
  EXPECT_EQ(LogLine(item), "Finished\t12 msec\tin/a.xls\tout/a.csv\t");
  item.Outputs = {"out/a.csv", "out/a;1.csv"};
  item.Warnings.Texts = {"cut", "odd"};
  EXPECT_EQ(LogLine(item), "Finished\t12 msec\tin/a.xls\tout/a.csv; out/a\\;1.csv\twarning: cut; warning: odd");
  item.Status = TItemStatus::Failed("broken\trecord");
  item.Note.clear();
  item.Outputs.clear();
  item.Warnings.Texts.clear();
  EXPECT_EQ(LogLine(item), "Error\t12 msec\tin/a.xls\tout/a.csv\tbroken\\trecord");
  const std::vector<TWorkItem> list{item};
  EXPECT_EQ(CountWorkItems(list).Failed, 1u);
}

TEST(JobSettings, StartUpDefaults) {
  TJobSettings s;
  EXPECT_EQ(s.edSourceWildcard, "*.*");
  EXPECT_FALSE(s.chkSubFolders);
  EXPECT_TRUE(s.chkOverwrite);
  EXPECT_FALSE(s.chkLogProcessed);
  EXPECT_EQ(s.rgDestination, 0);
  ASSERT_FALSE(s.edSourceName.empty());
  EXPECT_EQ(s.edSourceName, s.edDestinationName);
  EXPECT_EQ(s.edLogProcessed, s.edSourceName + "processed.log");
}

TEST(CandidateList, SortedWithoutRegardToCaseTickedByAcceptance) {
  TFakeUi ui;
  TTempDir tmp;
  for (const char* n : {"b.xls", "A.xls", "c.txt", "README", ".hidden.xls", "sub/d.xls"}) Touch(tmp / n);
  TFakeBatch batch;
  TRecordingView view;
  batch.SetView(&view);
  batch.Settings.edSourceName = tmp.Dir();
  batch.Settings.edSourceWildcard = "";
  batch.BuildCandidateList();
  EXPECT_EQ(Captions(batch), (std::vector<std::string>{".hidden.xls", "A.xls", "b.xls", "c.txt", "README"}));
  for (const auto& c : batch.Candidates()) {
    EXPECT_EQ(c.Directory, tmp.Dir());
    EXPECT_EQ(c.Checked, c.Caption.ends_with(".xls")) << c.Caption;
  }
  EXPECT_EQ(view.Events.front(), "candidates cleared");
  EXPECT_EQ(view.Events.size(), 6u);

  batch.Settings.edSourceWildcard = "C:\\somewhere\\*.XLS";
  batch.BuildCandidateList();  // rebuilt from scratch
  EXPECT_EQ(Captions(batch), (std::vector<std::string>{".hidden.xls", "A.xls", "b.xls"}));
}

TEST(CandidateList, RecursionDepthFirstAndLinkLoopsEnteredOnce) {
  TFakeUi ui;
  TTempDir tmp;
  for (const char* n : {"a.xls", "m/x.xls", "m/deeper/y.xls", "Z.xls", "n/z.xls"}) Touch(tmp / n);
  fs::create_directory_symlink(tmp.Dir(), tmp / "m/loop");  // back to the top
  TFakeBatch batch;
  batch.Settings.edSourceName = tmp.Dir();
  batch.Settings.edSourceWildcard = "*.xls";
  batch.BuildCandidateList();
  EXPECT_EQ(Captions(batch), (std::vector<std::string>{"a.xls", "Z.xls"}));

  batch.Settings.chkSubFolders = true;
  batch.BuildCandidateList();
  ASSERT_EQ(Captions(batch), (std::vector<std::string>{"a.xls", "y.xls", "x.xls", "z.xls", "Z.xls"}));
  EXPECT_EQ(batch.Candidates()[1].Directory, tmp / "m/deeper");
  EXPECT_EQ(batch.Candidates()[2].Directory, tmp / "m");
  EXPECT_EQ(batch.Candidates()[3].Directory, tmp / "n");
}

TEST(CandidateList, MissingDirectoryYieldsNothing) {
  TFakeUi ui;
  TFakeBatch batch;
  batch.Settings.edSourceName = "/nonexistent/varnowe/dir";
  batch.BuildCandidateList();
  EXPECT_TRUE(batch.Candidates().empty());
  EXPECT_TRUE(ui.Messages.empty());
}

TEST(WorkList, DestinationsStatusesAndDirectoryCreation) {
  TFakeUi ui;
  TTempDir tmp;
  for (const char* n : {"in/a.xls", "in/b.xls", "in/c.txt", "in/noext"}) Touch(tmp / n);
  TFakeBatch batch;
  batch.Settings.edSourceName = tmp / "in/";  // trailing separator: no doubled one in paths
  batch.Settings.edDestinationName = tmp / "out/new/deep";
  batch.BuildCandidateList();
  ASSERT_EQ(batch.Candidates().size(), 4u);
  batch.SetAllCandidatesChecked(true);  // c.txt and noext ticked but not accepted
  batch.SetCandidateChecked(1, false);  // b.xls unticked
  batch.BuildWorkList();
  ASSERT_EQ(batch.WorkItems().size(), 1u);
  const TWorkItem& a = batch.WorkItems()[0];
  EXPECT_EQ(a.Caption, tmp / "in/a.xls");
  EXPECT_EQ(a.Destination, tmp / "out/new/deep/a.csv");
  EXPECT_EQ(a.Status, TItemState::Waiting);
  EXPECT_EQ(a.Time, "");
  EXPECT_EQ(a.ImageIndex, ImageNone);
  EXPECT_TRUE(fs::is_directory(tmp / "out/new/deep"));  // created at listing time

  // Overwrite off: an existing output is skipped; on: waiting again.
  Touch(tmp / "out/new/deep/a.csv", "old");
  batch.SetCandidateChecked(1, true);
  batch.Settings.chkOverwrite = false;
  batch.BuildWorkList();
  ASSERT_EQ(batch.WorkItems().size(), 2u);
  EXPECT_EQ(batch.WorkItems()[0].Status, TItemState::Skipped);
  EXPECT_EQ(batch.WorkItems()[1].Status, TItemState::Waiting);
  batch.Settings.chkOverwrite = true;
  batch.BuildWorkList();
  EXPECT_EQ(batch.WorkItems()[0].Status, TItemState::Waiting);

  // An extension is appended to a name without one.
  batch.ClearWorkList();
  struct TAll : TFakeBatch {
    bool IsFileAccepted(const std::string&) override { return true; }
  } all;
  all.Settings = batch.Settings;
  all.AddToProgressList(tmp / "in", tmp / "in/noext");
  EXPECT_EQ(all.WorkItems().at(0).Destination, tmp / "out/new/deep/noext.csv");
}

TEST(WorkList, EmptyDestinationRaises) {
  TFakeUi ui;
  TFakeBatch batch;
  batch.Settings.edDestinationName = "";
  EXPECT_THROW(batch.AddToProgressList("/x", "/x/a.xls"), Exception);
}

TEST(Run, StatusesTimesImagesErrorsAndClosingMessage) {
  TFakeUi ui;
  TTempDir tmp;
  for (const char* n : {"a.xls", "b.xls", "c.xls", "d.xls"}) Touch(tmp / ("in/" + std::string(n)));
  Touch(tmp / "out/d.csv", "keep me");
  TFakeBatch batch;
  TRecordingView view;
  batch.SetView(&view);
  batch.FailNames = {"b.xls"};
  batch.Settings.edSourceName = tmp / "in";
  batch.Settings.edDestinationName = tmp / "out";
  batch.Settings.chkOverwrite = false;
  batch.BuildCandidateList();
  batch.BuildWorkList();
  view.Events.clear();

  EXPECT_EQ(batch.ExecuteConversion(), TRunOutcome::roFinished);
  const auto& items = batch.WorkItems();
  ASSERT_EQ(items.size(), 4u);
  const std::regex msec("[0-9]+ msec");
  EXPECT_EQ(items[0].Status, TItemState::Finished);
  EXPECT_TRUE(std::regex_match(items[0].Time, msec)) << items[0].Time;
  EXPECT_EQ(items[0].ImageIndex, ImageFinished);
  EXPECT_EQ(ItemStatusText(items[1].Status), "Error cannot read " + (tmp / "in/b.xls"));
  EXPECT_EQ(items[1].Time, "");
  EXPECT_EQ(items[1].ImageIndex, ImageError);
  EXPECT_EQ(items[2].Status, TItemState::Finished);
  EXPECT_EQ(items[3].Status, TItemState::Skipped);
  EXPECT_EQ(items[3].ImageIndex, ImageNone);
  EXPECT_EQ(ReadAll(tmp / "out/d.csv"), "keep me");
  EXPECT_EQ(batch.Converted.size(), 3u);
  EXPECT_EQ(batch.Events, (std::vector<std::string>{"create", "free"}));
  EXPECT_EQ(ui.Shown, (std::vector<std::string>{"Document conversion finished: 2 converted, 1 failed."}));
  EXPECT_FALSE(batch.Running());
  EXPECT_EQ(view.Events.front(), "started");
  EXPECT_EQ(view.Events.back(), "ended 0");
  EXPECT_EQ(std::count(view.Events.begin(), view.Events.end(), "changed 0"), 2);  // in progress, finished

  // A second run finds nothing waiting and converts nothing.
  EXPECT_EQ(batch.ExecuteConversion(), TRunOutcome::roFinished);
  EXPECT_EQ(batch.Converted.size(), 3u);
  EXPECT_EQ(ui.Shown.back(), "Document conversion finished: 2 converted, 1 failed.");

  batch.ClearWorkList();
  EXPECT_EQ(batch.ExecuteConversion(), TRunOutcome::roNoDocuments);
  EXPECT_EQ(ui.Shown.back(), MsgNoDocuments);
}

TEST(Run, StopDuringThirdOfFive) {
  TFakeUi ui;
  TTempDir tmp;
  for (char c = 'a'; c <= 'e'; ++c) Touch(tmp / (std::string("in/") + c + ".xls"));
  TFakeBatch batch;
  batch.StopDuringCall = 3;
  batch.Settings.edSourceName = tmp / "in";
  batch.Settings.edDestinationName = tmp / "out";
  batch.BuildCandidateList();
  batch.BuildWorkList();
  EXPECT_EQ(batch.ExecuteConversion(), TRunOutcome::roCanceled);
  const auto& items = batch.WorkItems();
  ASSERT_EQ(items.size(), 5u);
  EXPECT_EQ(items[2].Status, TItemState::Finished);  // the file in progress is finished first
  EXPECT_TRUE(fs::exists(tmp / "out/c.csv"));
  EXPECT_EQ(items[3].Status, TItemState::Waiting);
  EXPECT_EQ(items[4].Status, TItemState::Waiting);
  EXPECT_EQ(ui.Shown, (std::vector<std::string>{MsgConversionCanceled}));
  EXPECT_EQ(batch.Events.back(), "free");

  // Stop does not stick to the next run.
  EXPECT_EQ(batch.ExecuteConversion(), TRunOutcome::roFinished);
  EXPECT_EQ(items[4].Status, TItemState::Finished);
}

TEST(Run, SharedOutputNamesAreMadeUniqueAndSourceAsOutputIsAnError) {
  TFakeUi ui;
  TTempDir tmp;
  Touch(tmp / "data/x/r.xls");
  Touch(tmp / "data/y/r.xls");
  TFakeBatch batch;
  batch.Settings.edSourceName = tmp / "data";
  batch.Settings.chkSubFolders = true;
  batch.Settings.edDestinationName = tmp / "out";
  batch.BuildCandidateList();
  batch.BuildWorkList();
  ASSERT_EQ(batch.WorkItems().size(), 2u);
  EXPECT_EQ(batch.WorkItems()[0].Destination, tmp / "out/r.csv");
  EXPECT_EQ(batch.WorkItems()[1].Destination, tmp / "out/r_xls.csv");
  batch.ExecuteConversion();
  for (const auto& item : batch.WorkItems()) EXPECT_EQ(item.Status, TItemState::Finished);
  EXPECT_EQ(ReadAll(tmp / "out/r.csv"), "converted from " + (tmp / "data/x/r.xls"));
  EXPECT_EQ(ReadAll(tmp / "out/r_xls.csv"), "converted from " + (tmp / "data/y/r.xls"));

  // A third r.xls gets a number.
  Touch(tmp / "data/z/r.xls");
  batch.BuildCandidateList();
  batch.BuildWorkList();
  ASSERT_EQ(batch.WorkItems().size(), 3u);
  EXPECT_EQ(batch.WorkItems()[2].Destination, tmp / "out/r_xls_2.csv");

  // Converting into the source file itself would destroy it: the output
  // takes its own name, as one that another output has.
  struct TSameExt : TFakeBatch {
    std::string GetDestinationExt() override { return ".xls"; }
  } same;
  Touch(tmp / "self/s.xls", "original");
  same.Settings.edSourceName = tmp / "self";
  same.Settings.edDestinationName = tmp / "self/";
  same.BuildCandidateList();
  same.BuildWorkList();
  same.ExecuteConversion();
  ASSERT_EQ(same.WorkItems().size(), 1u);
  EXPECT_EQ(same.WorkItems()[0].Destination, tmp / "self/s_xls.xls");
  EXPECT_EQ(ItemStatusText(same.WorkItems()[0].Status), "Finished");
  EXPECT_EQ(ReadAll(tmp / "self/s.xls"), "original");
  // A destination given as the source itself is refused.
  same.ClearWorkList();
  same.AddWorkItem(tmp / "self/s.xls", tmp / "self//s.xls");
  same.ExecuteConversion();
  EXPECT_EQ(ItemStatusText(same.WorkItems()[0].Status), "Error The destination file is the source file itself");
  EXPECT_EQ(ReadAll(tmp / "self/s.xls"), "original");
}

TEST(Log, RunHeaderAppendedOncePerRun) {
  TFakeUi ui;
  TTempDir tmp;
  Touch(tmp / "in/a.xls");
  TFakeBatch batch;
  batch.Settings.edSourceName = tmp / "in";
  batch.Settings.edDestinationName = tmp / "out";
  batch.Settings.edLogProcessed = tmp / "run.log";
  batch.BuildCandidateList();
  batch.BuildWorkList();
  batch.ExecuteConversion();
  EXPECT_FALSE(fs::exists(tmp / "run.log"));  // logging off

  batch.Settings.chkLogProcessed = true;
  batch.ExecuteConversion();
  batch.ExecuteConversion();
  const std::string log = ReadAll(tmp / "run.log");
  const std::string header = TBatchDriver::RunHeader();
  ASSERT_TRUE(header.starts_with("Varnowe ")) << header;
  ASSERT_TRUE(header.ends_with("\n"));
  // Each run leaves its line and an empty line.
  const std::regex line("Varnowe ([^\r\n]+)\n\n");
  std::smatch m;
  const std::string first = log.substr(0, log.size() / 2);
  ASSERT_TRUE(std::regex_match(first, m, line)) << log;
  TDateTime when;
  EXPECT_TRUE(TryStrToDateTime(m[1].str(), when)) << m[1].str();
  EXPECT_LT(std::abs(when - Now()), 1.0 / 24);
  EXPECT_TRUE(std::regex_match(log.substr(log.size() / 2), line)) << log;
}

TEST(Log, UnwritableLogStopsRunBeforeAnyItem) {
  TFakeUi ui;
  TTempDir tmp;
  Touch(tmp / "in/a.xls");
  fs::create_directories(tmp / "log-is-a-dir");
  TFakeBatch batch;
  TRecordingView view;
  batch.SetView(&view);
  batch.Settings.edSourceName = tmp / "in";
  batch.Settings.edDestinationName = tmp / "out";
  batch.Settings.chkLogProcessed = true;
  batch.Settings.edLogProcessed = tmp / "log-is-a-dir";
  batch.BuildCandidateList();
  batch.BuildWorkList();
  EXPECT_THROW(batch.ExecuteConversion(), Exception);
  EXPECT_EQ(batch.WorkItems()[0].Status, TItemState::Waiting);
  EXPECT_TRUE(batch.Converted.empty());
  EXPECT_EQ(batch.Events, (std::vector<std::string>{"create", "free"}));
  EXPECT_FALSE(batch.Running());
  EXPECT_EQ(view.Events.back(), "ended " + std::to_string(int(TRunOutcome::roNotStarted)));
  EXPECT_TRUE(ui.Shown.empty());
}

TEST(Candidates, SelectionMenuActions) {
  TFakeUi ui;
  TTempDir tmp;
  for (const char* n : {"a.xls", "b.txt", "c.xls"}) Touch(tmp / n);
  TFakeBatch batch;
  batch.Settings.edSourceName = tmp.Dir();
  batch.BuildCandidateList();
  batch.InvertCandidates();
  EXPECT_FALSE(batch.Candidates()[0].Checked);
  EXPECT_TRUE(batch.Candidates()[1].Checked);
  batch.SetAllCandidatesChecked(false);
  batch.BuildWorkList();
  EXPECT_TRUE(batch.WorkItems().empty());
  batch.SetCandidateChecked(99, true);  // out of range is ignored
}

TEST(Run, ReentryFromProcessMessagesLeavesTheRunAlone) {
  TFakeUi ui;
  TTempDir tmp;
  for (const char* n : {"a.xls", "b.xls"}) Touch(tmp / ("in/" + std::string(n)));
  TFakeBatch batch;
  // A window whose Next or Execute is pressed while files are converted.
  struct TMeddlingView : IBatchView {
    TFakeBatch* Batch = nullptr;
    int Calls = 0;
    void ProcessMessages() override {
      ++Calls;
      Batch->BuildWorkList();
      Batch->ClearWorkList();
      Batch->ExecuteConversion();
    }
  } view;
  view.Batch = &batch;
  batch.Settings.edSourceName = tmp / "in";
  batch.Settings.edDestinationName = tmp / "out";
  batch.BuildCandidateList();
  batch.BuildWorkList();
  batch.SetView(&view);
  EXPECT_EQ(batch.ExecuteConversion(), TRunOutcome::roFinished);
  EXPECT_GT(view.Calls, 0);
  ASSERT_EQ(batch.WorkItems().size(), 2u);
  EXPECT_EQ(batch.WorkItems()[1].Status, TItemState::Finished);
  EXPECT_EQ(batch.Converted.size(), 2u);
  EXPECT_EQ(ui.Shown.size(), 1u);
}

// ---- outputs of an item as a unit, the stop inside a file, names ----

namespace {

// Writes two outputs per file (as a workbook of two sheets does), the way
// the front end does: announced to the item, written atomically, recorded.
// Then it polls the stop for a while, or fails, as scripted.
class TOutputBatch : public TBatchDriver {
 public:
  std::set<std::string> FailNames;
  std::set<std::string> KeepOnFailure;  // committed before failing (a truncated file)
  uint32_t PollMs = 0;

  bool IsFileAccepted(const std::string& name) override { return MatchesMask(name, "*.xls", true); }
  std::string GetDestinationExt() override { return ".csv"; }
  void ConvertFile(const std::string& source, const std::string& dest) override {
    TItemContext* item = CurrentItem();
    ASSERT_NE(item, nullptr);
    const std::string name = fs::path(source).filename().string();
    Write(*item, dest, "sheet 0 of " + name);
    Write(*item, item->Outputs.ReserveUnique(SecondSheet(dest), "xls"), "sheet 1 of " + name);
    for (uint32_t start = GetTickCount(); GetTickCount() - start < PollMs;) item->Cancel.Poll();
    if (KeepOnFailure.count(name)) item->Commit();
    if (FailNames.count(name) || KeepOnFailure.count(name)) throw EConvertError("cannot finish " + name);
  }
  static std::string SecondSheet(const std::string& dest) { return dest.substr(0, dest.size() - 4) + "1.csv"; }

 private:
  void Write(TItemContext& item, const std::string& path, const std::string& text) {
    if (!item.BeginOutput(path)) return;
    TAtomicFileStream f(path);
    f.WriteString(text);
    f.Commit(Settings.chkOverwrite);
    item.OutputWritten(path);
  }
};

// Lists tmp/in into the work list, outputs going to tmp/out.
void ListSources(TBatchDriver& batch, const TTempDir& tmp) {
  batch.Settings.edSourceName = tmp / "in";
  batch.Settings.edDestinationName = tmp / "out";
  batch.BuildCandidateList();
  batch.BuildWorkList();
}

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST(ItemOutputs, AStopPressedInsideAFileCancelsItAndPutsBackWhatItReplaced) {
  TFakeUi ui;
  TTempDir tmp;
  for (const char* n : {"a.xls", "b.xls", "c.xls"}) Touch(tmp / ("in/" + std::string(n)));
  Touch(tmp / "out/b.csv", "b from last week");
  TOutputBatch batch;
  batch.PollMs = 400;
  // The window: Stop is pressed while b.xls is converted, during one of the
  // message rounds the conversion's polling gives it.
  struct TStopView : IBatchView {
    TOutputBatch* Batch = nullptr;
    int Rounds = 0;
    void ProcessMessages() override {
      const auto& items = Batch->WorkItems();
      if (items.size() > 1 && items[1].Status == TItemState::InProgress && ++Rounds == 2) Batch->Stop();
    }
  } view;
  view.Batch = &batch;
  batch.SetView(&view);
  ListSources(batch, tmp);
  const uint32_t start = GetTickCount();
  EXPECT_EQ(batch.ExecuteConversion(), TRunOutcome::roCanceled);
  EXPECT_LT(GetTickCount() - start, 1200u);  // a, then b stopped, not finished
  const auto& items = batch.WorkItems();
  EXPECT_EQ(items[0].Status, TItemState::Finished);
  EXPECT_EQ(items[1].Status, TItemState::Canceled);
  EXPECT_EQ(items[1].ImageIndex, ImageNone);
  EXPECT_EQ(items[2].Status, TItemState::Waiting);
  EXPECT_EQ(ui.Shown.back(), MsgConversionCanceled);
  // b's outputs are taken back: its first output as it was before the run,
  // its second gone; nothing hidden is left behind.
  EXPECT_EQ(ReadAll(tmp / "out/b.csv"), "b from last week");
  EXPECT_EQ(Entries(tmp / "out"), (std::vector<std::string>{"a.csv", "a1.csv", "b.csv"}));
}

TEST(ItemOutputs, AFailedItemTakesBackItsOutputsUnlessItKeptThem) {
  TFakeUi ui;
  TTempDir tmp;
  for (const char* n : {"a.xls", "b.xls", "c.xls"}) Touch(tmp / ("in/" + std::string(n)));
  Touch(tmp / "out/a1.csv", "a1 before");
  TOutputBatch batch;
  batch.FailNames = {"a.xls"};
  batch.KeepOnFailure = {"b.xls"};
  ListSources(batch, tmp);
  EXPECT_EQ(batch.ExecuteConversion(), TRunOutcome::roFinished);
  const auto& items = batch.WorkItems();
  EXPECT_EQ(ItemStatusText(items[0].Status), "Error cannot finish a.xls");
  EXPECT_EQ(ItemStatusText(items[1].Status), "Error cannot finish b.xls");
  EXPECT_EQ(items[2].Status, TItemState::Finished);
  EXPECT_EQ(ReadAll(tmp / "out/a1.csv"), "a1 before");
  EXPECT_EQ(ReadAll(tmp / "out/b1.csv"), "sheet 1 of b.xls");
  EXPECT_EQ(Entries(tmp / "out"), (std::vector<std::string>{"a1.csv", "b.csv", "b1.csv", "c.csv", "c1.csv"}));
}

TEST(ItemOutputs, SheetOutputsNeverTakeAnotherItemsNameAndOverwriteOffKeepsFiles) {
  TFakeUi ui;
  TTempDir tmp;
  // report.xls's second output would be report1.csv, which is report1.xls's.
  for (const char* n : {"report.xls", "report1.xls"}) Touch(tmp / ("in/" + std::string(n)));
  Touch(tmp / "out/report11.csv", "made by hand");
  TOutputBatch batch;
  batch.Settings.chkOverwrite = false;
  ListSources(batch, tmp);
  batch.ExecuteConversion();
  const auto& items = batch.WorkItems();
  EXPECT_EQ(items[0].Status, TItemState::Finished);
  EXPECT_EQ(items[0].Note, "");
  EXPECT_EQ(ReadAll(tmp / "out/report.csv"), "sheet 0 of report.xls");
  EXPECT_EQ(ReadAll(tmp / "out/report1_xls.csv"), "sheet 1 of report.xls");
  EXPECT_EQ(ReadAll(tmp / "out/report1.csv"), "sheet 0 of report1.xls");
  // Overwriting is off: the hand-made file stays, and the item says so.
  EXPECT_EQ(ReadAll(tmp / "out/report11.csv"), "made by hand");
  EXPECT_EQ(items[1].Status, TItemState::Finished);
  EXPECT_EQ(items[1].Note, "existing output kept: report11.csv");
  EXPECT_EQ(StatusText(items[1]), "Finished (existing output kept: report11.csv)");
}

TEST(ItemOutputs, TheRegistryNamesLikeTheWorkList) {
  TOutputRegistry r;
  EXPECT_EQ(r.ReserveUnique("out/r.csv", "xls"), "out/r.csv");
  EXPECT_EQ(r.ReserveUnique("out/r.csv", "xls"), "out/r_xls.csv");
  EXPECT_EQ(r.ReserveUnique("out/r.csv", "xls"), "out/r_xls_2.csv");
  EXPECT_EQ(r.ReserveUnique("out.d/noext", "wk1"), "out.d/noext");
  EXPECT_EQ(r.ReserveUnique("out.d/noext", "wk1"), "out.d/noext_wk1");
  EXPECT_TRUE(r.Taken("out/r_xls.csv"));
  EXPECT_FALSE(r.Reserve("out/r_xls.csv"));
  EXPECT_TRUE(r.Reserve("out/named.csv"));
  r.Release("out/r_xls.csv");
  EXPECT_FALSE(r.Taken("out/r_xls.csv"));
}

TEST(Run, ADestinationThatCannotBeCreatedGivesTheSystemsReason) {
  TFakeUi ui;
  TTempDir tmp;
  Touch(tmp / "in/a.xls");
  Touch(tmp / "file", "in the way");
  TOutputBatch batch;
  batch.Settings.edSourceName = tmp / "in";
  batch.Settings.edDestinationName = tmp / "file/out";
  batch.BuildCandidateList();
  batch.BuildWorkList();  // the failure is not reported while listing
  batch.ExecuteConversion();
  EXPECT_EQ(ItemStatusText(batch.WorkItems()[0].Status), "Error Cannot create the destination directory \"" + (tmp / "file/out") + "\". Not a directory");
}

// ---- parallel runs ----

namespace {

// Writes one output per sheet (sheet counts by source name), naming later
// sheets through the item, after a scripted delay that polls the stop. Runs
// on the calling thread or on workers alike.
class TParallelBatch : public TBatchDriver {
 public:
  std::map<std::string, int> Sheets;
  std::map<std::string, uint32_t> DelayMs;
  std::set<std::string> FailNames;
  std::function<void()> OnIdle;  // the run's thread between items

  bool IsFileAccepted(const std::string& name) override { return MatchesMask(name, "*.xls", true); }
  std::string GetDestinationExt() override { return ".csv"; }
  void ConvertFile(const std::string&, const std::string&) override { Convert(*CurrentItem(), true); }
  std::unique_ptr<IBatchWorker> CreateWorker() override {
    struct TWorker : IBatchWorker {
      TParallelBatch& Batch;
      explicit TWorker(TParallelBatch& b) : Batch(b) {}
      void ConvertItem(TItemContext& item) override { Batch.Convert(item, false); }
    };
    return std::make_unique<TWorker>(*this);
  }
  void Convert(TItemContext& item, bool note) {
    const std::string name = fs::path(item.Source).filename().string();
    const auto delay = DelayMs.find(name);
    for (uint32_t start = GetTickCount(); delay != DelayMs.end() && GetTickCount() - start < delay->second;)
      item.Cancel.Poll();
    const auto count = Sheets.find(name);
    for (int n = 0; n < (count == Sheets.end() ? 1 : count->second); ++n) {
      const std::string dest = item.Destination;
      const std::string path =
          n == 0 ? dest : item.ReserveOutput(dest.substr(0, dest.size() - 4) + std::to_string(n) + ".csv", "xls");
      if (!item.BeginOutput(path)) continue;
      Touch(path, name + " sheet " + std::to_string(n));
      item.OutputWritten(path);
      if (note) NoteOutput(path);
    }
    if (FailNames.count(name)) throw EConvertError("cannot finish " + name);
  }
};

class TIdleView : public TRecordingView {
 public:
  TParallelBatch* Batch = nullptr;
  std::vector<std::string> States;
  void WorkItemChanged(size_t i) override {
    States.push_back(std::to_string(i) + " " + ItemStatusText(Batch->WorkItems()[i].Status));
  }
  void ProcessMessages() override {
    if (Batch->OnIdle) Batch->OnIdle();
  }
};

std::map<std::string, std::string> Tree(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) files[fs::relative(e.path(), dir).string()] = ReadAll(e.path());
  return files;
}

// c.xls names sheet 11 "c11.csv", which c1.xls's sheet 1 wants too: the
// earlier item must get it although it is the slower one.
void ScriptCollidingSheets(TParallelBatch& b, const TTempDir& tmp) {
  for (const char* n : {"c.xls", "c1.xls", "d.xls", "e.xls", "f.xls", "g.xls"}) Touch(tmp / ("in/" + std::string(n)));
  b.Sheets = {{"c.xls", 12}, {"c1.xls", 2}, {"e.xls", 3}};
  b.DelayMs = {{"c.xls", 150}, {"d.xls", 60}};
  b.FailNames = {"f.xls"};
}

}  // namespace

TEST(Parallel, WorkersGiveTheSerialRunsNamesStatesAndOutputs) {
  std::map<std::string, std::string> trees[2];
  std::vector<std::string> states[2];
  std::vector<std::vector<std::string>> outputs[2];
  for (unsigned jobs : {1u, 3u}) {
    TTempDir tmp;
    TParallelBatch b;
    ScriptCollidingSheets(b, tmp);
    TIdleView view;
    view.Batch = &b;
    b.SetView(&view);
    ListSources(b, tmp);
    b.SetJobs(jobs);
    TFakeUi ui;
    EXPECT_EQ(b.ExecuteConversion(), TRunOutcome::roFinished);
    const int k = jobs == 1 ? 0 : 1;
    trees[k] = Tree(tmp / "out");
    states[k] = view.States;
    for (const auto& item : b.WorkItems()) {
      outputs[k].emplace_back();
      for (const std::string& o : item.Outputs) outputs[k].back().push_back(fs::path(o).filename());
    }
  }
  EXPECT_EQ(trees[0], trees[1]);
  EXPECT_EQ(trees[1].count("c11.csv"), 1u);
  EXPECT_EQ(trees[1]["c11.csv"], "c.xls sheet 11");
  EXPECT_EQ(trees[1]["c11_xls.csv"], "c1.xls sheet 1");
  EXPECT_EQ(trees[1].count("f.csv"), 0u);  // the failed item's output was taken back
  // Every item in progress, then done, in work-list order.
  EXPECT_EQ(states[0], states[1]);
  EXPECT_EQ(outputs[0], outputs[1]);
}

TEST(Parallel, StopCancelsEveryItemInProgressAndStartsNoMore) {
  TTempDir tmp;
  TParallelBatch b;
  for (const char* n : {"a.xls", "b.xls", "c.xls", "d.xls"}) {
    Touch(tmp / ("in/" + std::string(n)));
    b.DelayMs[n] = 20000;
  }
  TIdleView view;
  view.Batch = &b;
  b.SetView(&view);
  ListSources(b, tmp);
  Touch(tmp / "out/a.csv", "the previous output");
  b.SetJobs(2);
  const uint32_t start = GetTickCount();
  b.OnIdle = [&] {
    if (GetTickCount() - start > 100) b.Stop();
  };
  TFakeUi ui;
  EXPECT_EQ(b.ExecuteConversion(), TRunOutcome::roCanceled);
  EXPECT_LT(GetTickCount() - start, 5000u);
  const auto& items = b.WorkItems();
  EXPECT_EQ(items[0].Status, TItemState::Canceled);
  EXPECT_EQ(items[1].Status, TItemState::Canceled);
  EXPECT_EQ(items[2].Status, TItemState::Waiting);
  EXPECT_EQ(items[3].Status, TItemState::Waiting);
  EXPECT_EQ(Tree(tmp / "out"), (std::map<std::string, std::string>{{"a.csv", "the previous output"}}));
}

TEST(Parallel, SharedCellMemoryMakesLaterItemsWaitButNeverTheEarliest) {
  TWorkbookMemory pool;
  TCancelToken cancel;
  pool.Start(100, &cancel);
  std::atomic<bool> laterGot{false};
  std::atomic<int> step{0};
  std::thread earliest([&] {
    pool.Enter(0);
    pool.Take(80);
    step = 1;
    while (step < 2) std::this_thread::yield();
    pool.Take(60);  // past the limit, but the earliest goes on
    EXPECT_FALSE(laterGot);
    pool.Give(140);
    pool.Leave();
  });
  std::thread later([&] {
    while (step < 1) std::this_thread::yield();
    pool.Enter(1);
    step = 2;
    pool.Take(50);  // waits until the earliest gives back
    laterGot = true;
    pool.Give(50);
    pool.Leave();
  });
  earliest.join();
  later.join();
  EXPECT_TRUE(laterGot);
  EXPECT_EQ(pool.Used(), 0);
  EXPECT_EQ(pool.Peak(), 140);

  // A waiting worker hears the stop.
  pool.Start(10, &cancel);
  std::thread holder([&] {
    pool.Enter(0);
    pool.Take(10);
    step = 3;
    while (step < 4) std::this_thread::yield();
    pool.Give(10);
    pool.Leave();
  });
  while (step < 3) std::this_thread::yield();
  pool.Enter(1);
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    cancel.Cancel();
  });
  EXPECT_THROW(pool.Take(5), EOperationCanceled);
  step = 4;
  pool.Leave();
  stopper.join();
  holder.join();
}
