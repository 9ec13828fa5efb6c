#pragma once
// The format-neutral batch job: job settings, the candidate list (files found
// by the mask), the work list (ticked files with destination and status) and
// the run loop. The wizard window and varnowe-batch both drive it; whatever
// shows the two lists listens through IBatchView. The core's lists are the
// authoritative ones: a view that lets the user tick candidates writes the
// tick back with SetCandidateChecked (or Candidates()[i].Checked).
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "Budgets.h"
#include "CancelToken.h"
#include "QXEZipFile.h"
#include "QXIUtils.h"
#include "DestinationOptions.h"
#include "ItemStatus.h"

class TIniFile;

// Small image indices of the work list.
inline constexpr int ImageNone = -1;  // waiting or skipped
inline constexpr int ImageInProgress = 0;
inline constexpr int ImageFinished = 1;
inline constexpr int ImageError = 2;

// Closing messages of a run.
inline constexpr const char* MsgConversionCanceled = "Conversion canceled.";
inline constexpr const char* MsgConversionFinished = "Document conversion finished.";
inline constexpr const char* MsgNoDocuments = "No documents found in source directory.";
// A finished run in which items failed says how many (converted, failed).
inline constexpr const char* MsgConversionFinishedCounts = "Document conversion finished: %zu converted, %zu failed.";

// The note of an item whose source opened with a password the user gave;
// the log line says it too.
inline constexpr const char* NoteOpenedWithPassword = "opened with a password";

// The job settings, named after the wizard's controls.
struct TJobSettings {
  TJobSettings();  // the start-up defaults (program directory, "*.*", ...)

  std::string edSourceName;              // source directory
  std::string edSourceWildcard = "*.*";  // one file mask; a directory part is ignored
  bool chkSubFolders = false;            // search sub-directories too
  std::string edDestinationName;         // destination directory
  bool chkOverwrite = true;              // overwrite existing outputs
  int rgDestination = 0;                 // destination format index
  bool chkLogProcessed = false;          // append a run header to the log
  std::string edLogProcessed;            // log file path
  // Budgets (section "Options" of the settings file; 0 means no limit).
  int64_t MaxOutputSize = DefaultOutputBudget;                        // bytes per output file
  int64_t MaxWorkbookMemory = DefaultWorkbookMemoryBudget();          // bytes of cells per workbook
  TZipCompression Compression = zcDefault;                            // how .xlsx outputs are deflated
  // Text shape, naming, sheets and folders of the outputs (section "Destination").
  TDestinationOptions Destination;
};

// The wildcard test: "*" any run, "?" any one character. IgnoreCase compares
// upper-cased. "*.*" (and "*") match every name, names without a dot too.
bool MatchesMask(const std::string& name, const std::string& mask, bool ignoreCase = true);

// The mask the candidate search uses for a typed wildcard: the name part
// only (a directory before the last "/", "\" or ":" is dropped), "*.*" when empty.
std::string EffectiveMask(const std::string& wildcard);

// One candidate (lvFileName): the file name, the directory it was found in
// (exactly as the search built it) and whether it is ticked.
struct TCandidateItem {
  std::string Caption;
  std::string Directory;
  bool Checked = false;
};

// One work item (lvProgress): full source path, status, time text
// ("12 msec" or empty), destination path and small image index.
struct TWorkItem {
  std::string Caption;
  TItemStatus Status;
  std::string Time;
  std::string Destination;
  int ImageIndex = ImageNone;
  // What the status alone does not say, e.g. which existing outputs were kept.
  std::string Note;
  // The files its last conversion wrote (one per sheet written), in order.
  std::vector<std::string> Outputs;
  // What its last conversion found, for reports: the reader ("Excel BIFF")
  // and the format version it saw ("evExcel8"), sheets and cells read (-1:
  // not known), milliseconds taken.
  std::string Reader, Version;
  int32_t Sheets = -1;
  int64_t Cells = -1;
  uint32_t Milliseconds = 0;
  // What its last load let pass (damaged records that cost a cell).
  TLoadWarnings Warnings;
};

// The status column's text: the status, and the note in brackets after it.
std::string StatusText(const TWorkItem& item);

// The one authority on output names in a run: every file the run reads
// (each source of the candidate list, ticked or not), every work-list
// destination and every sheet output named so far is taken, so no output
// ever replaces a source or another output of the run. Paths are compared
// as files: "in/a.csv", "./in/a.csv" and the same through a link to the
// folder are one name. Safe to share between the workers of a run.
class TOutputRegistry {
 public:
  void Clear();
  // A file the run reads: no output is given its name.
  void AddSource(const std::string& path);
  bool Taken(const std::string& path) const;
  // Reserves path as an item's destination; false when it was taken already.
  bool Reserve(const std::string& path);
  // Reserves path as a destination when free; otherwise the first free of
  // "<stem>_<tag><ext>", "<stem>_<tag>_2<ext>", ... (tag: the source's
  // extension, "xls").
  std::string ReserveUnique(const std::string& path, const std::string& tag);
  // Names an output of the item whose destination is own: path when it is
  // free, or when it is own and no output of the item has had it yet;
  // otherwise the first free fallback as ReserveUnique gives them.
  std::string Claim(const std::string& path, const std::string& tag, const std::string& own);
  void Release(const std::string& path);

 private:
  enum class TUse : uint8_t { Source, Destination, Output };
  // Under FLock.
  std::string KeyOf(const std::string& path) const;
  std::string FirstFree(const std::string& path, const std::string& tag,
                        const std::function<bool(const std::string& key)>& take) const;
  mutable std::mutex FLock;
  std::unordered_map<std::string, TUse> FPaths;  // by KeyOf
  mutable std::unordered_map<std::string, std::string> FFolders;  // folder as given -> as resolved
};

// Makes the items of a parallel run name their sheet outputs in work-list
// order, so every name is the one a serial run gives: an item names its
// outputs only once every earlier item has settled its names (has ended, or
// was never to be converted).
class TNamingTurn {
 public:
  // settled[i]: item i names nothing in this run (skipped).
  explicit TNamingTurn(std::vector<bool> settled);
  // Waits until every item before index has settled; polls cancel
  // meanwhile. Answers the milliseconds it waited.
  uint32_t Await(size_t index, const TCancelToken& cancel);
  void Settle(size_t index);

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<bool> FSettled;
  size_t FFront = 0;  // the first item not settled
};

// The cell memory the workers of a parallel run share: together they keep
// to the workbook budget, as one workbook at a time would. A worker that
// needs more than is free waits until others give back, except the one on
// the earliest item, which always goes on (so no two wait on each other,
// and an item fails for size exactly when it would in a serial run).
class TWorkbookMemory : public IMemoryPool {
 public:
  void Start(int64_t limit, const TCancelToken* cancel);
  // The calling thread now loads the item at index (Leave: it is done);
  // the milliseconds it waits for memory are added to *waited.
  void Enter(size_t index, uint32_t* waited = nullptr);
  void Leave();
  void Take(int64_t bytes) override;
  void Give(int64_t bytes) override;
  int64_t Used() const;
  int64_t Peak() const;

 private:
  bool Earliest() const;  // the calling thread's item is the earliest loading
  mutable std::mutex FLock;
  std::condition_variable FFreed;
  struct TLoading {
    std::thread::id Thread;
    size_t Index;
    uint32_t* Waited;
  };
  std::vector<TLoading> FLoading;
  int64_t FLimit = 0, FUsed = 0, FPeak = 0;
  const TCancelToken* FCancel = nullptr;
};

// One work item's conversion as the run sees it: the run's stop, budgets and
// output record, and what the item did with its outputs. The outputs are a
// unit: when the item fails or is stopped, Rollback takes back every output
// it wrote and puts back the files they replaced; Commit keeps them.
class TItemContext {
 public:
  TItemContext(const TJobSettings& settings, const TCancelToken& cancel, TOutputRegistry& outputs, std::string source,
               std::string destination);
  ~TItemContext();  // rolls back unless committed
  TItemContext(const TItemContext&) = delete;
  TItemContext& operator=(const TItemContext&) = delete;

  const TJobSettings& Settings;
  const TCancelToken& Cancel;
  TOutputRegistry& Outputs;
  const std::string Source;
  const std::string Destination;

  // Call before writing the output at path. False when it must be left
  // alone (overwriting is off and a file is there): it is noted as kept.
  // Otherwise an existing file is kept aside until the item ends.
  bool BeginOutput(const std::string& path);
  // The output at path is complete.
  void OutputWritten(const std::string& path);
  // An existing file at path was left alone.
  void OutputKept(const std::string& path);
  const std::vector<std::string>& Written() const { return FWritten; }
  const std::vector<std::string>& Kept() const { return FKept; }
  // What the load let pass; the item still ends "Finished".
  TLoadWarnings Warnings;
  // What the conversion adds to the item's status ("opened with a password").
  std::string Note;

  // Names an output of the item (each sheet's, the destination's too):
  // Claim on the run's record, in the item's turn when the run has one.
  std::string ReserveOutput(const std::string& path, const std::string& tag);
  // The item names no more outputs: later items may go on.
  void NamesSettled();
  // Set by the run: its naming turn (nullptr: none) and the item's position.
  void SetNaming(TNamingTurn* turn, size_t index);
  // Milliseconds the item spent waiting for other items (its naming turn,
  // memory they held): not its own time.
  uint32_t Waited = 0;

  // What the conversion found (see TWorkItem).
  std::string Reader, Version;
  // The run's shared cell memory for the item's load (nullptr: none).
  IMemoryPool* MemoryPool = nullptr;
  int32_t Sheets = -1;
  int64_t Cells = -1;

  // How far the conversion has come through the file, 0 to 1: reading up to
  // ReadShare, then writing. Any thread; the views show it while it runs.
  static constexpr double ReadShare = 0.5;
  void ReportProgress(double fraction);
  std::atomic<int>* Progress = nullptr;  // per mille, set by the run

  void Commit();
  void Rollback();
  bool Committed() const { return FCommitted; }

 private:
  struct TOutput {
    std::string Path;
    std::string Aside;  // hidden link to the file the output replaces; empty if none
    int AsideHandle = -1;  // holds Aside in use while the item runs
    uint64_t Device = 0, Inode = 0;  // of what was written, once complete
    bool Written = false;
  };
  std::vector<TOutput> FOutputs;
  std::vector<std::string> FWritten;
  std::vector<std::string> FKept;
  bool FCommitted = false;
  bool FRolledBack = false;
  void ReleaseAside(TOutput& output);
  TNamingTurn* FTurn = nullptr;
  size_t FIndex = 0;
  bool FHasTurn = false;
};

// One worker of a parallel run, with readers and writers of its own. It is
// made on the run's thread and converts on a thread of its own.
class IBatchWorker {
 public:
  virtual ~IBatchWorker() = default;
  // Converts the item; raises like TBatchDriver::ConvertItem.
  virtual void ConvertItem(TItemContext& item) = 0;
};

// The work list counted by outcome: Finished, an error, Skipped, and the
// rest (still waiting, or in progress).
struct TWorkCounts {
  size_t Converted = 0;
  size_t Failed = 0;
  size_t Skipped = 0;
  size_t Left = 0;
};
TWorkCounts CountWorkItems(const std::vector<TWorkItem>& items);

// One line of the processed-files log for an item: status, time, source,
// every output (the destination when it wrote none) and the message, five
// columns separated by tabs.
std::string LogLine(const TWorkItem& item);

// A file name or message made safe to print on one line of a terminal or a
// tab-separated log: control characters become escapes (\t, \n, \r, \x1b;
// C1 controls and bytes that are no UTF-8 too when the code page is UTF-8).
std::string PrintableText(const std::string& text);

// How a run ended: the closing message it showed, or roNotStarted when the
// log header could not be written (the error is raised to the caller).
enum class TRunOutcome { roFinished, roCanceled, roNoDocuments, roNotStarted };

// What displays the lists. Every method has an empty default, so a view
// overrides only what it shows. Indices are positions in the core's lists.
class IBatchView {
 public:
  virtual ~IBatchView() = default;
  virtual void CandidatesCleared() {}
  virtual void CandidateAdded(size_t /*index*/) {}
  virtual void WorkListCleared() {}
  virtual void WorkItemAdded(size_t /*index*/) {}
  virtual void WorkItemChanged(size_t /*index*/) {}
  // Show Stop, hide Cancel, disable Execute, progress bar at 0 ...
  virtual void RunStarted() {}
  // ... and the reverse. Called before the closing message.
  virtual void RunEnded(TRunOutcome /*outcome*/) {}
  // Keep the display alive between files; the default asks Ui().ProcessMessages().
  virtual void ProcessMessages();
};

class TBatchDriver {
 public:
  TBatchDriver();
  virtual ~TBatchDriver();
  TBatchDriver(const TBatchDriver&) = delete;
  TBatchDriver& operator=(const TBatchDriver&) = delete;

  TJobSettings Settings;

  // Not owned; nullptr for none.
  void SetView(IBatchView* view) { FView = view; }
  IBatchView* View() const { return FView; }

  // Candidate list (lvFileName).
  const std::vector<TCandidateItem>& Candidates() const { return FCandidates; }
  void SetCandidateChecked(size_t index, bool checked);
  void SetAllCandidatesChecked(bool checked);  // "Select all" / "Unselect all"
  void InvertCandidates();                     // "Revert"
  void ClearCandidates();
  // Empties the list, then CollectFiles(edSourceName, EffectiveMask(edSourceWildcard)).
  void BuildCandidateList();
  // Appends the files under directory that match mask, recursing when
  // chkSubFolders is on; entries come sorted by name without regard to
  // case. A missing or unreadable directory adds nothing. A directory
  // reached twice (a link loop) is not entered again.
  void CollectFiles(const std::string& directory, const std::string& mask);

  // Work list (lvProgress). ClearWorkList, BuildWorkList and
  // AddToProgressList do nothing while a run is going on.
  const std::vector<TWorkItem>& WorkItems() const { return FWorkItems; }
  void ClearWorkList();
  // Empties the list, then AddToProgressList for every ticked candidate in
  // order, every candidate the job could read (IsSourceName, ticked or not)
  // being a source no output takes.
  void BuildWorkList();
  // Files the run reads: no output is named as one of them.
  void ReserveSources(const std::vector<std::string>& paths);
  // Adds sourcePath (found in directory) when IsFileAccepted; its output
  // goes into edDestinationName with GetDestinationExt (with the folder
  // tree kept: into directory's place under it, relative to edSourceName),
  // under a name no source and no other output has, that directory is
  // created at once (CreateFoldersWhenListing), and the item is "Waiting",
  // or "Skipped" when the output exists and chkOverwrite is off. Call
  // ReserveSources first with every file the run reads.
  void AddToProgressList(const std::string& directory, const std::string& sourcePath);
  // Adds one item with the destination given as it is (a single file whose
  // output the user named); "Skipped" when it exists and chkOverwrite is off.
  void AddWorkItem(const std::string& sourcePath, const std::string& destination);

  // Runs every "Waiting" item: CreateConverters, the log header, ConvertItem
  // per item (errors become "Error " + message) and its log line (skipped
  // items and, after Stop, those left waiting get one too), FreeConverters,
  // then the closing message. An item whose output is its own source file
  // ends in error instead of being converted. A failed item's outputs are
  // taken back (a truncated file's, which the conversion keeps, stay). A log
  // that cannot be written raises before any item is touched (converters
  // freed, view told roNotStarted). Does nothing when called again while
  // running. Before the first item, the leftovers of runs that are no
  // longer alive are cleared from the destination folders (RemoveLeftovers).
  // With more than one job and a driver that makes workers, Jobs() items
  // are converted at once; the view hears of them in work-list order, and
  // outputs, names, log and messages are those of a serial run.
  TRunOutcome ExecuteConversion();
  // Items converted at once (1: one after another on the calling thread).
  void SetJobs(unsigned jobs) { FJobs = jobs ? jobs : 1; }
  unsigned Jobs() const { return FJobs; }
  // Whether listing creates the destination folders at once (the wizard
  // does, as it always has); a run creates what is missing in any case.
  bool CreateFoldersWhenListing = true;
  // The cell memory the workers of the last parallel run shared.
  const TWorkbookMemory& WorkbookMemory() const { return FWorkbookMemory; }
  // Keeps the work items keep answers true for, in order; the outputs
  // reserved for the others stay reserved. Nothing while running.
  void FilterWorkList(const std::function<bool(size_t index, const TWorkItem& item)>& keep);
  // The Stop button: the item in progress is interrupted between rows, ends
  // "Canceled" with its outputs taken back, and the run ends.
  void Stop();
  // Called by ConvertFile for every file it writes; recorded in the item in progress.
  void NoteOutput(const std::string& path);
  // The closing text of a run with that outcome, counting the work list.
  std::string ClosingMessage(TRunOutcome outcome) const;
  // Why the last run could not log every item (empty when it could).
  const std::string& LogError() const { return FLogError; }
  bool Running() const { return FRunning; }
  bool StopRequested() const { return FStopRequested || CancelToken().Canceled(); }
  // The run's stop, polled by readers and writers. The driver's own unless
  // one is given (varnowe-batch gives the one its signal handlers set, so a
  // signal before the run starts still counts); the driver's own is armed
  // again when a run starts.
  const TCancelToken& CancelToken() const { return FExternalCancel ? *FExternalCancel : FCancel; }
  void SetCancelToken(TCancelToken* token) { FExternalCancel = token; }
  // Outputs written or reserved in this run (reset when the work list is built).
  TOutputRegistry& Outputs() { return FOutputs; }

  // Appends text to edLogProcessed when chkLogProcessed is on.
  void WriteLog(const std::string& text);
  // "Varnowe 12/8/2026 2:05:00 AM" and LF; WriteLog adds another, so each
  // run's lines follow an empty one. Log lines end in LF, for line tools.
  static std::string RunHeader();

  // Hooks; the base accepts nothing, answers no extension and converts nothing.
  virtual bool IsFileAccepted(const std::string& name);
  // Whether a candidate is a file of a kind the job reads, whether or not
  // its format is ticked: such a file is never replaced by an output. A
  // file of another kind (a text output of an earlier run) is not.
  virtual bool IsSourceName(const std::string& name);
  virtual std::string GetDestinationExt();
  virtual void CreateConverters();
  virtual void FreeConverters();
  virtual void ConvertFile(const std::string& sourcePath, const std::string& destinationPath);
  // What the run calls per item: ConvertFile(item.Source, item.Destination)
  // with CurrentItem() answering item meanwhile.
  virtual void ConvertItem(TItemContext& item);
  // A worker for a parallel run; nullptr (the default) keeps the run on one thread.
  virtual std::unique_ptr<IBatchWorker> CreateWorker();
  // The item being converted, for a ConvertFile that polls the stop, keeps
  // the budgets and records its outputs; nullptr outside ConvertItem.
  TItemContext* CurrentItem() const { return FItemContext; }

  // The items converting now, with how far each has come: for a view's
  // progress, called on the run's thread.
  struct TRunningItem {
    size_t Index;
    int Permille;
    uint32_t Milliseconds;
  };
  std::vector<TRunningItem> RunningItems() const;

 protected:
  void ProcessMessages();
  // Shows the closing message of a run; varnowe-batch prints its summary instead.
  virtual void ShowClosingMessage(TRunOutcome outcome, const std::string& text);

 private:
  using TDirKey = std::pair<uint64_t, uint64_t>;  // device, inode
  void CollectFilesIn(const std::string& directory, const std::string& mask, std::set<TDirKey>& visited);
  void SetItemState(size_t index, const TItemStatus& status, const std::string& time, int image,
                    const std::string& note = std::string());
  void RunItem(size_t index);
  // What converting one item came to (any thread).
  struct TItemResult {
    TItemStatus Status;
    std::string Time, Note, Reader, Version;
    int Image = ImageNone;
    std::vector<std::string> Outputs;
    int32_t Sheets = -1;
    int64_t Cells = -1;
    uint32_t Milliseconds = 0;
    TLoadWarnings Warnings;
  };
  // Converts item index with convert; outputs is what it wrote as far as
  // the caller tracks them (cleared when taken back).
  TItemResult ConvertOne(size_t index, const std::function<void(TItemContext&)>& convert, TNamingTurn* turn,
                         std::vector<std::string>* outputs);
  void ApplyResult(size_t index, TItemResult&& result);
  void RunSerial();
  void RunParallel(std::vector<std::unique_ptr<IBatchWorker>>& workers);
  // The item's line in the log; a log that fails here is noted, not fatal.
  void LogItem(size_t index);
  void RemoveLeftovers();
  // Why an item must not be converted (output shared or the source itself); empty when fine.
  std::string DestinationConflict(size_t index) const;
  TCancelToken& MutableCancelToken() { return FExternalCancel ? *FExternalCancel : FCancel; }

  IBatchView* FView = nullptr;
  std::vector<TCandidateItem> FCandidates;
  std::vector<TWorkItem> FWorkItems;
  bool FRunning = false;
  bool FStopRequested = false;
  TCancelToken FCancel;
  TCancelToken* FExternalCancel = nullptr;
  TOutputRegistry FOutputs;
  TItemContext* FItemContext = nullptr;
  // Per work item while a run goes on: per mille done (-1: not converting)
  // and the tick count it started at.
  std::unique_ptr<std::atomic<int>[]> FProgress;
  std::unique_ptr<std::atomic<uint32_t>[]> FProgressStart;
  size_t FProgressCount = 0;
  size_t FCurrentItem = SIZE_MAX;  // the item being converted
  std::string FLogError;
  unsigned FJobs = 1;
  // Outlives the workers' readers, which give back to it when they go.
  TWorkbookMemory FWorkbookMemory;
};
