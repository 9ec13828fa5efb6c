#include "BatchCli.h"

#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <ostream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "BatchDriver.h"
#include "BatchHelp.h"
#include "BatchOptions.h"
#include "ConsoleUi.h"
#include "ConversionFrontEnd.h"
#include "Exception.h"
#include "FileSystem.h"
#include "IniFile.h"
#include "JobSettingsFile.h"
#include "JobReport.h"
#include "PipedFiles.h"
#include "Sharding.h"
#include "SysUtils.h"
#include "WorkbookDump.h"

namespace fs = std::filesystem;

namespace {

constexpr int ExitOk = 0;
constexpr int ExitItemError = 1;
constexpr int ExitUsage = 2;

// The wizard's settings file is named after its program, "varnowe".
constexpr const char* WizardProgramName = "varnowe";
constexpr const char* Me = "varnowe-batch: ";

// A job that cannot start (missing source, unusable settings or log): exit 2
// like bad usage, but the user typed nothing wrong.
VARNOWE_EXCEPTION(EJobError, Exception);

int64_t CountCells(const TSpreadSheets& sheets) {
  int64_t n = 0;
  for (int32_t s = 0; s < sheets.Count(); ++s) {
    const TSpreadSheetCells& cells = sheets[s].Cells;
    for (int32_t r = 0; r < cells.Count(); ++r)
      if (const TSpreadSheetCols* row = cells.RowCells(r))
        for (int32_t c = 0; c < row->Count(); ++c) n += row->Cell(c) != nullptr;
  }
  return n;
}

// What the item's conversion found, for -v and the report; the workbook is
// freed at once rather than when the next file is read.
void NoteFacts(TSpreadsheetConversion& conversion, TItemContext& item) {
  TSpreadSheetFile* reader = conversion.LastReader();
  if (!reader) return;
  item.Reader = ReaderKindName(conversion.LastReaderKind());
  item.Version = FileFormatVersion(*reader);
  item.Sheets = reader->Sheets.Count();
  item.Cells = CountCells(reader->Sheets);
  reader->Sheets.Clear();
}

template <class F>
void ConvertNotingFacts(TSpreadsheetConversion& conversion, TItemContext& item, F&& convert) {
  try {
    convert();
  } catch (const EQXIFileFormatException& e) {
    // The reader the name chose did not recognise the file: none identified it.
    if (!std::string_view(e.what()).ends_with(SInvalidFileFormat)) NoteFacts(conversion, item);
    throw;
  } catch (...) {
    NoteFacts(conversion, item);
    throw;
  }
  NoteFacts(conversion, item);
}

// A worker of a parallel run: readers of its own, ticked like the job's.
class TCliWorker : public IBatchWorker {
 public:
  TCliWorker(const TSpreadsheetConversion& job, int format) : FFormat(format) {
    FConversion.chkMSExcel = job.chkMSExcel;
    FConversion.chkLotus = job.chkLotus;
    FConversion.chkQuattroPro = job.chkQuattroPro;
    FConversion.chkOpenOffice = job.chkOpenOffice;
    FConversion.Passwords = job.Passwords;
    FConversion.CreateConverters();
  }
  ~TCliWorker() override { FConversion.FreeConverters(); }
  void ConvertItem(TItemContext& item) override {
    ConvertNotingFacts(FConversion, item,
                       [&] { FConversion.ConvertFile(item.Source, item.Destination, FFormat, &item); });
  }

 private:
  TSpreadsheetConversion FConversion;
  int FFormat;
};

// The batch job as varnowe-batch runs it: files named on the command line
// are taken whatever their names (the reader goes by content then), and
// the closing message is left to the summary.
class TCliBatch : public TSpreadsheetBatch {
 public:
  TCliBatch() { CreateFoldersWhenListing = false; }  // --list creates nothing; the run makes what it needs
  std::function<void(TRunOutcome)> OnRunClosed;

  // A named file: its output in edDestinationName, or exactly output when given.
  void AddNamedFile(const std::string& path, const std::string& output) {
    if (!output.empty()) {
      AddWorkItem(path, output);
      return;
    }
    FAcceptAll = true;
    AddToProgressList(Settings.edDestinationName, path);
    FAcceptAll = false;
  }
  bool IsFileAccepted(const std::string& name) override {
    return FAcceptAll || TSpreadsheetBatch::IsFileAccepted(name);
  }
  // Files a report (--retry-from) names for another try that this job does not list.
  std::vector<std::string> RetriesNotListed;
  void ConvertItem(TItemContext& item) override {
    ConvertNotingFacts(Conversion, item, [&] { TSpreadsheetBatch::ConvertItem(item); });
  }
  std::unique_ptr<IBatchWorker> CreateWorker() override {
    return std::make_unique<TCliWorker>(Conversion, Settings.rgDestination);
  }

 protected:
  void ShowClosingMessage(TRunOutcome outcome, const std::string&) override {
    if (OnRunClosed) OnRunClosed(outcome);
  }

 private:
  bool FAcceptAll = false;
};

// "Finished      12 msec  in/a.xls -> out/a.csv, out/a1.csv": the outputs
// written (the destination when none was). A failed item says only "Error"
// here: its message goes to stderr.
std::string ItemLine(const TWorkItem& item) {
  const std::string status =
      item.Status == TItemState::Error ? ItemStateWord(TItemState::Error) : PrintableText(StatusText(item));
  std::string outputs;
  for (const std::string& output : item.Outputs.empty() ? std::vector<std::string>{item.Destination} : item.Outputs)
    outputs += (outputs.empty() ? "" : ", ") + PrintableText(output);
  return Format("%-11s %10s  %s -> %s", status.c_str(), item.Time.c_str(), PrintableText(item.Caption).c_str(),
                outputs.c_str());
}

std::string Summary(const TWorkCounts& n) {
  std::string s = Format("%zu converted, %zu failed, %zu skipped", n.Converted, n.Failed, n.Skipped);
  if (n.Left) s += Format(", %zu not converted", n.Left);
  return s;
}

// Prints the work list as the Log page shows it, one line per item once its
// status is final, in list order, on out; failures also on err, so they show
// when out goes to a file or -q silences it. A progress bar while out is a
// terminal.
class TConsoleView : public IBatchView {
 public:
  TConsoleView(TCliBatch& batch, TCancelToken& stop, std::ostream& out, std::ostream& err,
               const TBatchOptions& options, bool terminal, TJobReport* report)
      : FBatch(batch), FStop(stop), FOut(out), FErr(err), FQuiet(options.Quiet), FVerbose(options.Verbose),
        FTerminal(terminal && !options.Quiet), FReport(report) {}

  void RunStarted() override {
    FPrinted = 0;
    FDone = 0;
    FTotal = 0;
    for (const auto& item : FBatch.WorkItems())
      if (item.Status == TItemState::Waiting) ++FTotal;
  }
  void WorkItemChanged(size_t index) override {
    const TWorkItem& item = FBatch.WorkItems()[index];
    if (item.Status == TItemState::InProgress) {
      DrawBar();
      return;
    }
    ++FDone;
    ClearBar();
    PrintUpTo(index + 1);
    if (item.Warnings.Count && item.Status != TItemState::Error) {
      const size_t n = item.Warnings.Count;
      const char* how = item.Status == TItemState::Canceled ? ": canceled after " : ": finished with ";
      FErr << Me << PrintableText(item.Caption) << how << n << (n == 1 ? " warning\n" : " warnings\n");
      for (const std::string& w : item.Warnings.Texts) FErr << "  " << PrintableText(w) << '\n';
      FErr.flush();
    }
    if (item.Status == TItemState::Error) {
      // Load errors already name the file; others get its path in front.
      const std::string& message = item.Status.Message;
      const std::string quoted = "\"" + ExtractFileName(item.Caption) + "\"";
      FErr << Me;
      if (message.find(quoted) == std::string::npos) FErr << PrintableText(item.Caption) << ": ";
      FErr << PrintableText(message) << '\n';
      FErr.flush();
    }
  }
  void RunEnded(TRunOutcome) override {
    ClearBar();
    PrintUpTo(FBatch.WorkItems().size());
  }
  void ProcessMessages() override {
    // The signal handler set the run's stop; say so once.
    if (FStop.Reason() > 0 && !FToldStop) {
      FToldStop = true;
      ClearBar();
      FErr << Me << "interrupted: stopping\n";
      FErr.flush();
    }
    // How far the files in progress have come, ten times a second at most.
    if (FTerminal && !FToldStop && GetTickCount() - FBarDrawn >= 100) DrawBar();
  }

 private:
  void PrintUpTo(size_t end) {
    const auto& items = FBatch.WorkItems();
    for (; FPrinted < end && FPrinted < items.size(); ++FPrinted) {
      const TWorkItem& item = items[FPrinted];
      if (FReport) FReport->Write(item);
      if (FQuiet) continue;
      FOut << ItemLine(item) << '\n';
      if (FVerbose) PrintDetails(item);
    }
    FOut.flush();
    CheckOut();
  }
  // Standard output closed (a pipe whose reader is gone, "| head -1"): what
  // is printed is lost, so the run stops as for a signal, and says why.
  void CheckOut() {
    if (FOut || FStop.Reason() > 0) return;
    FStop.Cancel(SIGPIPE);
    FToldStop = true;
    FErr << Me << "standard output is closed: stopping\n";
    FErr.flush();
  }
  void PrintDetails(const TWorkItem& item) {
    if (!item.Reader.empty())
      FOut << "    reader: " << item.Reader << (item.Version.empty() ? "" : " (" + item.Version + ")") << '\n';
    for (const std::string& output : item.Outputs) FOut << "    output: " << PrintableText(output) << '\n';
  }
  // "[#####-----] 3/10 book.xlsx 45% 12 s, other.ods 10% 3 s": the files
  // done and each file converting, with how far it has come and its time.
  void DrawBar() {
    if (!FTerminal || FTotal == 0) return;
    FBarDrawn = GetTickCount();
    const auto running = FBatch.RunningItems();
    double done = double(FDone);
    for (const auto& r : running) done += r.Permille / 1000.0;
    constexpr size_t Width = 30;
    const size_t filled = std::min(Width, size_t(Width * done / double(FTotal)));
    std::string bar = "\r[" + std::string(filled, '#') + std::string(Width - filled, '-') + "] " +
                      std::to_string(std::min(FDone + 1, FTotal)) + "/" + std::to_string(FTotal);
    // Shorter names the more files run, so the line stays one line.
    const size_t room = running.size() > 1 ? 24 : 40;
    for (size_t i = 0; i < running.size(); ++i) {
      std::string shown = PrintableText(fs::path(FBatch.WorkItems()[running[i].Index].Caption).filename().string());
      if (shown.size() > room) shown = "..." + shown.substr(shown.size() - (room - 3));
      bar += (i ? ", " : " ") + shown + Format(" %d%% %u s", running[i].Permille / 10, running[i].Milliseconds / 1000);
    }
    FOut << bar << "\x1b[K";
    FOut.flush();
    FBarShown = true;
    CheckOut();
  }
  void ClearBar() {
    if (!FBarShown) return;
    FOut << "\r\x1b[K";
    FBarShown = false;
  }

  TCliBatch& FBatch;
  TCancelToken& FStop;
  std::ostream& FOut;
  std::ostream& FErr;
  bool FQuiet, FVerbose, FTerminal;
  TJobReport* FReport;
  bool FBarShown = false;
  uint32_t FBarDrawn = 0;  // tick count of the last drawing
  bool FToldStop = false;
  size_t FPrinted = 0, FDone = 0, FTotal = 0;
};

}  // namespace

void LoadSettingsFile(const std::string& path, TSpreadsheetBatch& batch) {
  TIniFile ini(path);
  TStoredSettings values;
  values.Job = batch.Settings;
  TSpreadsheetConversion& c = batch.Conversion;
  values.Formats = {c.chkMSExcel, c.chkLotus, c.chkQuattroPro, c.chkOpenOffice};
  ReadStoredSettings(ini, values);
  batch.Settings = values.Job;
  c.chkMSExcel = values.Formats.chkMSExcel;
  c.chkLotus = values.Formats.chkLotus;
  c.chkQuattroPro = values.Formats.chkQuattroPro;
  c.chkOpenOffice = values.Formats.chkOpenOffice;
}

namespace {

void PrintLists(std::ostream& out, const TBatchDriver& batch) {
  out << "Candidates (" << batch.Candidates().size() << "):\n";
  for (const auto& c : batch.Candidates())
    out << "  [" << (c.Checked ? 'x' : ' ') << "] " << PrintableText(IncludeTrailingPathDelimiter(c.Directory))
        << PrintableText(c.Caption) << '\n';
  out << "Work list (" << batch.WorkItems().size() << "):\n";
  for (const auto& item : batch.WorkItems()) out << "  " << ItemLine(item) << '\n';
}

// Why the log cannot be appended to (empty when it can). Checked before
// anything is listed or created, so a typo costs nothing.
std::string LogFileProblem(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return "it is a directory";
    if (!S_ISREG(st.st_mode)) return "it is not a regular file";
    if (::access(path.c_str(), W_OK) != 0) return std::strerror(errno);
    return std::string();
  }
  if (errno != ENOENT) return std::strerror(errno);
  std::string dir = fs::path(path).parent_path().string();
  if (dir.empty()) dir = ".";
  if (::access(dir.c_str(), W_OK | X_OK) != 0)
    return errno == ENOENT ? "its folder " + dir + " does not exist" : std::string(std::strerror(errno));
  return std::string();
}

bool IsDirectory(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

// The job settings and the two lists from the command line. Raises
// EUsageError for bad usage and EJobError for a job that cannot start.
// The part of path below root ("sub/book.xls"); the file name when path is
// not below it.
std::string RelativeTo(const std::string& root, const std::string& path) {
  if (!root.empty()) {
    const std::string prefix = IncludeTrailingPathDelimiter(root);
    if (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0) return path.substr(prefix.size());
  }
  return fs::path(path).filename().string();
}

// The number of processors this process may run on (a job scheduler's
// affinity mask included).
unsigned ProcessorCount() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return unsigned(CPU_COUNT(&set));
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? unsigned(n) : 1;
}

constexpr unsigned MaxJobs = 256;

unsigned ParseJobs(const std::string& text) {
  const std::string t = Trim(text);
  unsigned n = 0;
  const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), n);
  if (t.empty() || ec != std::errc() || end != t.data() + t.size() || n == 0 || n > MaxJobs)
    throw EUsageError("--jobs \"" + text + "\" is not a number of workers from 1 to " + std::to_string(MaxJobs));
  return n;
}

// Shards list the folders at different times: an output that one writes
// where the job finds its sources, in a format it reads, would be a source
// (and a name taken) for the shards that list after it, and their jobs
// would differ.
void CheckShardOutputs(TCliBatch& batch, const std::vector<std::string>& searched) {
  const TJobSettings& s = batch.Settings;
  const std::string mask = EffectiveMask(s.edSourceWildcard);
  auto folder = [](const fs::path& dir) {
    std::error_code ec;
    const fs::path full = fs::weakly_canonical(fs::absolute(dir.empty() ? fs::path(".") : dir, ec), ec);
    return full.string();
  };
  std::vector<std::string> roots;
  for (const std::string& dir : searched) roots.push_back(folder(dir));
  for (const TWorkItem& item : batch.WorkItems()) {
    const fs::path dest(item.Destination);
    const std::string name = dest.filename().string();
    if (!batch.IsSourceName(name) || (s.Destination.NameTemplate.empty() && !MatchesMask(name, mask, true)))
      continue;
    const std::string at = folder(dest.parent_path());
    for (const std::string& root : roots)
      if (at == root || (s.chkSubFolders && at.rfind(IncludeTrailingPathDelimiter(root), 0) == 0))
        throw EUsageError("--shard with outputs where the job finds its sources: " + item.Destination +
                          " would be read as a source by the shards that list its folder later; give -d a "
                          "folder outside the sources, or a format the job does not read");
  }
}

// Keeps the items of this shard and, with --retry-from, those the report
// names as failed. Items whose outputs could take each other's names go
// to one shard together (NamingGroups), and a retry converts such a
// group whole, so every name is the one the whole job's single run gives;
// the outputs of items left out stay reserved.
void SelectItems(TCliBatch& batch, const TBatchOptions& o, const std::vector<std::string>& keys,
                 const std::vector<TReportEntry>* retry, const std::vector<std::string>& searched) {
  if (!o.Shard && !retry) return;
  const TShard shard = o.Shard ? ParseShard(*o.Shard) : TShard{};
  if (shard.Count > 1) CheckShardOutputs(batch, searched);
  std::unordered_set<std::string> again;
  if (retry)
    for (const TReportEntry& e : *retry) again.insert(e.Source);
  const auto& items = batch.WorkItems();
  std::vector<std::string> destinations;
  for (const TWorkItem& item : items) destinations.push_back(item.Destination);
  const std::vector<size_t> group = NamingGroups(destinations, batch.Settings.Destination, batch.Settings.rgDestination);
  std::vector<bool> retried(items.size(), !retry);
  if (retry)
    for (size_t i = 0; i < items.size(); ++i)
      if (again.count(items[i].Caption)) retried[group[i]] = true;
  std::vector<bool> ours(items.size());
  for (size_t i = 0; i < items.size(); ++i) ours[i] = InShard(keys[group[i]], shard) && retried[group[i]];
  if (retry) {
    std::unordered_set<std::string> listed;
    for (const TWorkItem& item : items) listed.insert(item.Caption);
    for (const TReportEntry& e : *retry)
      if (!listed.count(e.Source)) batch.RetriesNotListed.push_back(e.Source);
  }
  batch.FilterWorkList([&](size_t i, const TWorkItem&) { return bool(ours[i]); });
}

// Shards cannot keep apart outputs whose names no file's name decides.
void CheckShardNaming(const TBatchOptions& o, const TJobSettings& s) {
  if (!o.Shard || ParseShard(*o.Shard).Count < 2) return;
  const TDestinationOptions& d = s.Destination;
  if (d.NameTemplate.empty() || WritesWholeWorkbook(d, s.rgDestination) || NameTemplateStartsWithName(d.NameTemplate))
    return;
  throw EUsageError("--shard with the name template \"" + d.NameTemplate +
                    "\": outputs of different files could get one name, which only reading the other shards' "
                    "files would decide; put {name} before {sheet} and {index} in the template, or run without "
                    "--shard");
}

// The failed items of a report as the work list, each with the output it had.
void BuildRetryJob(TCliBatch& batch, const TBatchOptions& o, const std::vector<TReportEntry>& retry) {
  TJobSettings& s = batch.Settings;
  if (!o.Format) {
    for (const TReportEntry& e : retry) {
      if (e.Destination.empty()) continue;
      if (const auto index = DestinationFormatOfFile(e.Destination)) s.rgDestination = *index;
      break;
    }
  }
  batch.ClearCandidates();
  batch.ClearWorkList();
  for (const TReportEntry& e : retry) {
    if (e.Destination.empty())
      throw EJobError(*o.RetryFrom + ": the record of " + e.Source + " names no destination; give the job's sources");
    batch.AddWorkItem(e.Source, e.Destination);
  }
}

void BuildJob(TCliBatch& batch, const TBatchOptions& o) {
  TJobSettings& s = batch.Settings;
  batch.SetJobs(o.Jobs ? ParseJobs(*o.Jobs) : ProcessorCount());
  if (o.Shard) ParseShard(*o.Shard);  // bad usage before anything is listed
  std::optional<std::vector<TReportEntry>> retry;
  if (o.RetryFrom) retry = ItemsToRetry(ReadReport(*o.RetryFrom));
  if (o.Settings) {
    const std::string path = o.Settings->empty() ? SettingsFilePath(WizardProgramName) : *o.Settings;
    if (!FileExists(path)) throw EJobError("settings file " + path + " does not exist");
    LoadSettingsFile(path, batch);
  }

  // What to convert: named files and directories, or one source directory.
  std::vector<std::string> inputs = o.Inputs;
  std::optional<std::string> sourceDir;
  if (o.Source) {
    std::error_code ec;
    if (fs::exists(*o.Source, ec) && !IsDirectory(*o.Source))
      inputs.insert(inputs.begin(), *o.Source);
    else
      sourceDir = *o.Source;
  }
  if (sourceDir && !o.Inputs.empty())
    throw EUsageError("give the files to convert or a source directory (-s), not both");
  const bool retryOnly = retry && inputs.empty() && !sourceDir && !o.Settings;
  if (inputs.empty() && !sourceDir && !retryOnly) {
    if (!o.Settings) throw EUsageError("nothing to convert: name files or directories, or give -s DIR");
    sourceDir = s.edSourceName;
  }
  if (o.Output && (sourceDir || inputs.size() != 1 || IsDirectory(inputs[0])))
    throw EUsageError("-o names the output of one input file; use -d for several");

  batch.Conversion.Passwords = o.Passwords;
  if (o.Mask) s.edSourceWildcard = *o.Mask;
  if (o.SubDirs) s.chkSubFolders = *o.SubDirs;
  if (o.NoOverwrite) s.chkOverwrite = !*o.NoOverwrite;
  if (o.Log) {
    s.chkLogProcessed = !o.Log->empty();
    s.edLogProcessed = *o.Log;
  }
  ApplyDestinationOptions(o, s.Destination);
  if (o.MaxOutput && !TryParseByteSize(*o.MaxOutput, s.MaxOutputSize))
    throw EUsageError("--max-output \"" + *o.MaxOutput + "\" is no size (e.g. 4294967296, 500M, 4G)");
  if (o.Compression) {
    const auto c = ParseCompression(*o.Compression);
    if (!c) throw EUsageError("--compression \"" + *o.Compression + "\" is not fast, default or small");
    s.Compression = *c;
  }
  if (o.MaxMemory && !TryParseByteSize(*o.MaxMemory, s.MaxWorkbookMemory))
    throw EUsageError("--max-memory \"" + *o.MaxMemory + "\" is no size (e.g. 2G, 512M; 0 for no limit)");
  if (o.Format) {
    const auto index = DestinationFormatByName(*o.Format);
    if (!index)
      throw EUsageError("unknown destination format \"" + *o.Format + "\" (txt, csv, htm, xml, xls, xlsx, pdf or 0-6)");
    s.rgDestination = *index;
  } else if (o.Output) {
    const auto index = DestinationFormatOfFile(*o.Output);
    if (!index) throw EUsageError("cannot tell the destination format from the name " + *o.Output + "; give -f");
    s.rgDestination = *index;
  }
  if (s.rgDestination < 0 || s.rgDestination >= DestinationFormatCount)
    throw EJobError(Format("destination format %d is not one of 0 to %d", s.rgDestination, DestinationFormatCount - 1));
  if (o.ExportSpec && !OffersWholeWorkbook(s.rgDestination))
    throw EUsageError("--export-spec sets the xls, xlsx and pdf writers; it does nothing for " +
                      std::string(DestinationFormats[s.rgDestination].Extension + 1) + " outputs");
  // A bad specification file stops the job before anything is converted.
  try {
    LoadExportSpec(s.Destination);
  } catch (const Exception& e) {
    throw EUsageError("--export-spec: " + std::string(e.what()));
  }
  CheckShardNaming(o, s);
  if (o.Formats) {
    TSpreadsheetConversion& c = batch.Conversion;
    c.chkMSExcel = c.chkLotus = c.chkQuattroPro = c.chkOpenOffice = false;
    for (const std::string& f : *o.Formats) {
      const std::string name = Trim(f);
      if (SameText(name, "excel")) c.chkMSExcel = true;
      else if (SameText(name, "lotus")) c.chkLotus = true;
      else if (SameText(name, "quattro")) c.chkQuattroPro = true;
      else if (SameText(name, "ods")) c.chkOpenOffice = true;
      else throw EUsageError("unknown source format \"" + name + "\" (excel, lotus, quattro, ods)");
    }
  }

  if (sourceDir && !DirectoryExists(*sourceDir)) {
    // A link loop or a folder without access is no missing folder: the system's reason.
    const int why = PathStatError(*sourceDir);
    if (why != 0 && why != ENOENT) throw EJobError("source directory " + *sourceDir + ": " + std::strerror(why));
    throw EJobError("source directory " + *sourceDir + " does not exist");
  }
  for (const std::string& input : inputs) {
    std::error_code ec;
    if (!fs::exists(input, ec)) throw EJobError(input + ": no such file or directory");
  }
  // Outputs go beside the sources unless -d (or the settings file) says otherwise.
  if (o.Dest) s.edDestinationName = *o.Dest;
  else if (sourceDir && !o.Settings) s.edDestinationName = *sourceDir;
  if (s.edDestinationName.empty() && (sourceDir || o.Dest)) throw EJobError("no destination directory");
  if (s.chkLogProcessed) {
    const std::string problem = LogFileProblem(s.edLogProcessed);
    if (!problem.empty()) throw EJobError("cannot write the log file " + s.edLogProcessed + ": " + problem);
  }

  std::vector<std::string> keys;  // per work item: the path that picks its shard
  auto keyItemsFrom = [&](size_t first, const std::string& root) {
    for (size_t i = first; i < batch.WorkItems().size(); ++i) keys.push_back(RelativeTo(root, batch.WorkItems()[i].Caption));
  };
  if (retryOnly) {
    BuildRetryJob(batch, o, *retry);
    keyItemsFrom(0, std::string());
    SelectItems(batch, o, keys, nullptr, {});
    return;
  }
  if (sourceDir) {
    s.edSourceName = *sourceDir;
    batch.BuildCandidateList();
    batch.BuildWorkList();
    keyItemsFrom(0, *sourceDir);
    SelectItems(batch, o, keys, retry ? &*retry : nullptr, {*sourceDir});
    return;
  }
  batch.ClearCandidates();
  batch.ClearWorkList();
  const std::string fixedDest = (o.Dest || o.Settings) ? s.edDestinationName : std::string();
  const std::string mask = EffectiveMask(s.edSourceWildcard);
  // Every file the run reads first, so that no output is named as one of
  // them: the named files and what the named directories hold.
  std::vector<std::string> sources;
  std::vector<std::pair<size_t, size_t>> found;  // per input: its candidates
  for (const std::string& input : inputs) {
    const size_t first = batch.Candidates().size();
    if (IsDirectory(input)) batch.CollectFiles(input, mask);
    else sources.push_back(input);
    found.emplace_back(first, batch.Candidates().size());
  }
  for (const TCandidateItem& c : batch.Candidates())
    if (batch.IsSourceName(c.Caption)) sources.push_back(IncludeTrailingPathDelimiter(c.Directory) + c.Caption);
  batch.ReserveSources(sources);
  for (size_t k = 0; k < inputs.size(); ++k) {
    const std::string& input = inputs[k];
    std::string dest = fixedDest;
    if (dest.empty()) {
      dest = IsDirectory(input) ? input : fs::path(input).parent_path().string();
      if (dest.empty()) dest = ".";
    }
    s.edDestinationName = dest;
    s.edSourceName = input;  // the root of a kept folder tree
    const size_t first = batch.WorkItems().size();
    if (IsDirectory(input)) {
      for (size_t i = found[k].first; i < found[k].second; ++i) {
        const TCandidateItem c = batch.Candidates()[i];
        if (c.Checked) batch.AddToProgressList(c.Directory, IncludeTrailingPathDelimiter(c.Directory) + c.Caption);
      }
    } else {
      batch.AddNamedFile(input, o.Output ? *o.Output : std::string());
    }
    keyItemsFrom(first, IsDirectory(input) ? input : std::string());
  }
  s.edDestinationName = fixedDest;
  std::vector<std::string> searched;
  for (const std::string& input : inputs)
    if (IsDirectory(input)) searched.push_back(input);
  SelectItems(batch, o, keys, retry ? &*retry : nullptr, searched);
}

int RunJob(const TBatchOptions& o, const TPipedFiles& pipes, std::ostream& stdOut, std::ostream& err) {
  // Standard output carrying the output: the lines and the summary go with the messages.
  std::ostream& out = pipes.ToStandardOutput() ? err : stdOut;
  TCliBatch batch;
  // From here SIGINT and SIGTERM stop: the listing of a huge tree, then the run.
  TCancelToken stop;
  batch.SetCancelToken(&stop);
  TConsoleInterrupt interrupt(stop);
  BuildJob(batch, o);
  if (!batch.RetriesNotListed.empty())
    err << Me << "warning: " << batch.RetriesNotListed.size() << " file(s) of " << PrintableText(*o.RetryFrom)
        << " are not in this job, e.g. " << PrintableText(batch.RetriesNotListed[0])
        << " (give the sources as the run that wrote it did, or --retry-from alone)\n";
  if (o.List) {
    PrintLists(out, batch);
    return stop.Reason() > 0 ? 128 + stop.Reason() : ExitOk;
  }

  std::unique_ptr<TJobReport> report;
  if (o.Report) report = std::make_unique<TJobReport>(*o.Report);
  TConsoleView view(batch, stop, out, err, o,
                    (&out == &std::cout && isatty(STDOUT_FILENO)) || (&out == &std::cerr && isatty(STDERR_FILENO)),
                    report.get());
  batch.SetView(&view);
  batch.OnRunClosed = [&](TRunOutcome outcome) {
    if (outcome == TRunOutcome::roCanceled) err << Me << MsgConversionCanceled << '\n';
    if (outcome == TRunOutcome::roNoDocuments) err << Me << MsgNoDocuments << '\n';
    out << Summary(CountWorkItems(batch.WorkItems())) << '\n';
    out.flush();
  };
  struct TViewReset {
    TCliBatch& Batch;
    ~TViewReset() { Batch.SetView(nullptr); }
  } viewReset{batch};

  TRunOutcome outcome;
  try {
    outcome = batch.ExecuteConversion();
  } catch (const std::exception& e) {
    // Nothing was converted: the log header could not be written.
    throw EJobError(e.what());
  }
  if (!batch.LogError().empty())
    err << Me << "warning: the log " << PrintableText(batch.Settings.edLogProcessed)
        << " misses lines: " << PrintableText(batch.LogError()) << '\n';

  if (report && !report->Error().empty())
    err << Me << "warning: the report " << PrintableText(*o.Report)
        << " misses records: " << PrintableText(report->Error()) << '\n';

  // Stopped by a signal: the shell's convention, 128 + its number (130, 143).
  if (stop.Reason() > 0) return 128 + stop.Reason();
  if (batch.WorkItems().size() == 1) {
    std::ostringstream quiet;
    const std::string problem = pipes.Deliver(batch.WorkItems()[0], stdOut, o.Verbose ? err : quiet);
    if (!problem.empty()) {
      err << Me << PrintableText(problem) << '\n';
      return ExitItemError;
    }
  }
  const TWorkCounts n = CountWorkItems(batch.WorkItems());
  return (n.Failed || n.Left || outcome == TRunOutcome::roCanceled) ? ExitItemError : ExitOk;
}

}  // namespace

int RunBatchCli(int argc, char** argv, std::ostream& out, std::ostream& err) {
  TBatchOptions o;
  try {
    o = ParseBatchOptions(argc, argv);
    HidePasswordArguments(argc, argv);
    ReadPasswordFile(o);
  } catch (const EUsageError& e) {
    err << Me << e.Message() << "\nTry 'varnowe-batch --help' for more information.\n";
    return ExitUsage;
  }
  if (o.Help) {
    out << BatchHelpText;
    return ExitOk;
  }
  if (o.Version) {
    out << BatchVersionText;
    return ExitOk;
  }

  TConsoleUi ui(out, err);
  SetUiServices(&ui);
  struct TUiReset {
    ~TUiReset() { SetUiServices(nullptr); }
  } uiReset;

  try {
    TPipedFiles pipes(o);
    if (o.Dump) {
      try {
        DumpWorkbook(out, *o.Dump, o.Passwords);
        return ExitOk;
      } catch (const std::exception& e) {
        err << Me << PrintableText(*o.Dump) << ": " << PrintableText(e.what()) << '\n';
        return ExitItemError;
      }
    }
    return RunJob(o, pipes, out, err);
  } catch (const EUsageError& e) {
    err << Me << PrintableText(e.Message()) << "\nTry 'varnowe-batch --help' for more information.\n";
    return ExitUsage;
  } catch (const std::exception& e) {
    // A job that cannot start: settings, source or destination that cannot be
    // used (e.g. "Unable to create directory").
    err << Me << PrintableText(e.what()) << '\n';
    return ExitUsage;
  }
}
