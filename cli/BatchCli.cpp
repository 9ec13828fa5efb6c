#include "BatchCli.h"

#include <CLI/CLI.hpp>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "BatchDriver.h"
#include "ConsoleUi.h"
#include "ConversionFrontEnd.h"
#include "Exception.h"
#include "FileSystem.h"
#include "IniFile.h"
#include "SysUtils.h"
#include "WorkbookDump.h"

namespace {

constexpr int ExitOk = 0;
constexpr int ExitItemError = 1;
constexpr int ExitUsage = 2;

// The wizard's settings file is named after its program, "varnowe".
constexpr const char* WizardProgramName = "varnowe";

// The run's stop, set by the signal handlers (one lock-free atomic store).
std::atomic<TCancelToken*> GSignalToken{nullptr};
void OnStopSignal(int sig) {
  if (TCancelToken* token = GSignalToken.load()) token->Cancel(sig);
}

// SIGINT and SIGTERM stop the run: the file in progress is interrupted
// between rows and its outputs taken back. The handlers reset themselves, so
// a second signal ends the program at once.
class TSignalsStop {
 public:
  explicit TSignalsStop(TCancelToken& token) {
    GSignalToken.store(&token);
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sa.sa_flags = SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &FOldInt);
    sigaction(SIGTERM, &sa, &FOldTerm);
  }
  ~TSignalsStop() {
    sigaction(SIGINT, &FOldInt, nullptr);
    sigaction(SIGTERM, &FOldTerm, nullptr);
    GSignalToken.store(nullptr);
  }
  TSignalsStop(const TSignalsStop&) = delete;
  TSignalsStop& operator=(const TSignalsStop&) = delete;

 private:
  struct sigaction FOldInt {};
  struct sigaction FOldTerm {};
};

std::string ItemLine(const TWorkItem& item) {
  return Format("%-11s %10s  %s -> %s", StatusText(item).c_str(), item.Time.c_str(), item.Caption.c_str(),
                item.Destination.c_str());
}

// Prints the work list as the Log page shows it, one line per item once its
// status is final, in list order; a progress bar while stdout is a terminal.
class TConsoleView : public IBatchView {
 public:
  TConsoleView(TBatchDriver& driver, std::ostream& out, bool terminal)
      : FDriver(driver), FOut(out), FTerminal(terminal) {}

  void RunStarted() override {
    FPrinted = 0;
    FDone = 0;
    FTotal = 0;
    for (const auto& item : FDriver.WorkItems())
      if (item.Status == StatusWaiting) ++FTotal;
  }
  void WorkItemChanged(size_t index) override {
    const TWorkItem& item = FDriver.WorkItems()[index];
    if (item.Status == StatusInProgress) {
      DrawBar(item.Caption);
      return;
    }
    ++FDone;
    ClearBar();
    PrintUpTo(index + 1);
  }
  void RunEnded(TRunOutcome) override {
    ClearBar();
    PrintUpTo(FDriver.WorkItems().size());
  }
  void ProcessMessages() override {
    if (FDriver.CancelToken().Reason() > 0 && !FToldStop) {
      FToldStop = true;
      ClearBar();
      FOut << "Interrupted: stopping.\n";
      FOut.flush();
    }
  }

 private:
  void PrintUpTo(size_t end) {
    const auto& items = FDriver.WorkItems();
    for (; FPrinted < end && FPrinted < items.size(); ++FPrinted) FOut << ItemLine(items[FPrinted]) << '\n';
    FOut.flush();
  }
  void DrawBar(const std::string& name) {
    if (!FTerminal || FTotal == 0) return;
    constexpr size_t Width = 30;
    const size_t filled = Width * FDone / FTotal;
    std::string bar = "\r[" + std::string(filled, '#') + std::string(Width - filled, '-') + "] " +
                      std::to_string(FDone + 1) + "/" + std::to_string(FTotal) + " ";
    std::string shown = ExtractFileName(name);
    if (shown.size() > 40) shown = "..." + shown.substr(shown.size() - 37);
    FOut << bar << shown << "\x1b[K";
    FOut.flush();
    FBarShown = true;
  }
  void ClearBar() {
    if (!FBarShown) return;
    FOut << "\r\x1b[K";
    FBarShown = false;
  }

  TBatchDriver& FDriver;
  std::ostream& FOut;
  bool FTerminal;
  bool FBarShown = false;
  bool FToldStop = false;
  size_t FPrinted = 0, FDone = 0, FTotal = 0;
};

std::optional<int> ParseDestinationFormat(const std::string& text) {
  static const char* const names[] = {"txt", "csv", "htm", "xml", "xls", "xlsx", "pdf"};
  for (int i = 0; i < DestinationFormatCount; ++i)
    if (SameText(text, names[i]) || SameText(text, std::string(".") + names[i]) || text == std::to_string(i))
      return i;
  if (SameText(text, "html")) return 2;
  return std::nullopt;
}

// The wizard's sections and keys; what the file lacks keeps its current value.
void LoadSettingsFile(const std::string& path, TSpreadsheetBatch& batch) {
  TIniFile ini(path);
  TJobSettings& s = batch.Settings;
  s.edSourceName = ini.ReadString("General", "Source", s.edSourceName);
  s.edDestinationName = ini.ReadString("General", "Destination", s.edDestinationName);
  s.rgDestination = ini.ReadInteger("General", "DestinationFormat", s.rgDestination);
  s.chkSubFolders = ini.ReadBool("Log", "SubFolders", s.chkSubFolders);
  s.chkOverwrite = ini.ReadBool("Log", "Overwrite", s.chkOverwrite);
  s.chkLogProcessed = ini.ReadBool("Log", "LogProcessed", s.chkLogProcessed);
  s.edLogProcessed = ini.ReadString("Log", "LogProcessedFile", s.edLogProcessed);
  TSpreadsheetConversion& c = batch.Conversion;
  c.chkMSExcel = ini.ReadBool("SourceFormat", "excel", c.chkMSExcel);
  c.chkLotus = ini.ReadBool("SourceFormat", "lotus", c.chkLotus);
  c.chkQuattroPro = ini.ReadBool("SourceFormat", "quattro", c.chkQuattroPro);
  c.chkOpenOffice = ini.ReadBool("SourceFormat", "ods", c.chkOpenOffice);
  ReadBudgetSettings(ini, s);
}

void PrintLists(std::ostream& out, const TBatchDriver& batch) {
  out << "Candidates (" << batch.Candidates().size() << "):\n";
  for (const auto& c : batch.Candidates()) {
    const std::string& d = c.Directory;
    out << "  [" << (c.Checked ? 'x' : ' ') << "] " << d << (d.empty() || d.back() == '/' ? "" : "/") << c.Caption
        << '\n';
  }
  out << "Work list (" << batch.WorkItems().size() << "):\n";
  for (const auto& item : batch.WorkItems()) out << "  " << ItemLine(item) << '\n';
}

struct TOptions {
  std::string Source, Mask, Dest, Format, Log, Settings, Dump, MaxOutput;
  std::vector<std::string> Formats;
  bool SubDirs = false, NoOverwrite = false, List = false;
};

}  // namespace

int RunBatchCli(int argc, char** argv, std::ostream& out, std::ostream& err) {
  CLI::App app{"Converts the spreadsheet documents of a directory, as the Varnowe wizard does.", "varnowe-batch"};
  TOptions o;
  auto* optSource = app.add_option("--source", o.Source, "Source directory");
  auto* optMask = app.add_option("--mask", o.Mask, "File mask/wildcard (default *.*)");
  auto* optSubDirs = app.add_flag("--subdirs", o.SubDirs, "Process sub-directories");
  auto* optFormats = app.add_option("--formats", o.Formats, "Source formats: excel,lotus,quattro,ods (default all)")
                         ->delimiter(',');
  auto* optDest = app.add_option("--dest", o.Dest, "Destination directory (default: the source directory)");
  auto* optFormat = app.add_option("--format", o.Format, "Destination format: txt|csv|htm|xml|xls|xlsx|pdf or 0-6");
  auto* optNoOverwrite = app.add_flag("--no-overwrite", o.NoOverwrite, "Skip files whose output exists");
  auto* optLog = app.add_option("--log", o.Log, "Append a run header to this log file");
  auto* optSettings =
      app.add_option("--settings", o.Settings, "Load the job from an INI file (none given: the wizard's settings)")
          ->expected(0, 1);
  app.add_flag("--list", o.List, "Print the candidate and work lists without converting");
  auto* optMaxOutput = app.add_option("--max-output", o.MaxOutput,
                                      "Largest output file, in bytes or with K, M, G, T (default 4G; 0: no limit)");
  auto* optDump = app.add_option("--dump", o.Dump, "Print the workbook model of one file as JSON");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e, out, err);
    return code == 0 ? ExitOk : ExitUsage;
  }

  TConsoleUi ui(out, err);
  SetUiServices(&ui);
  struct TUiReset {
    ~TUiReset() { SetUiServices(nullptr); }
  } uiReset;

  try {
    if (optDump->count()) {
      try {
        DumpWorkbook(out, o.Dump);
        return ExitOk;
      } catch (const std::exception& e) {
        err << "varnowe-batch: " << e.what() << '\n';
        return ExitItemError;
      }
    }

    TSpreadsheetBatch batch;
    TJobSettings& s = batch.Settings;
    if (optSettings->count()) {
      const std::string path = o.Settings.empty() ? SettingsFilePath(WizardProgramName) : o.Settings;
      if (!FileExists(path)) {
        err << "varnowe-batch: settings file " << path << " does not exist\n";
        return ExitUsage;
      }
      LoadSettingsFile(path, batch);
    } else {
      if (!optSource->count()) {
        err << "varnowe-batch: no source directory; give --source DIR or --settings [FILE]\n";
        return ExitUsage;
      }
      // Without a settings file outputs go beside the sources unless --dest says otherwise.
      s.edDestinationName = o.Source;
    }
    if (optSource->count()) s.edSourceName = o.Source;
    if (optMask->count()) s.edSourceWildcard = o.Mask;
    if (optSubDirs->count()) s.chkSubFolders = o.SubDirs;
    if (optDest->count()) s.edDestinationName = o.Dest;
    if (optNoOverwrite->count()) s.chkOverwrite = !o.NoOverwrite;
    if (optLog->count()) {
      s.chkLogProcessed = !o.Log.empty();
      s.edLogProcessed = o.Log;
    }
    if (optMaxOutput->count() && !TryParseByteSize(o.MaxOutput, s.MaxOutputSize)) {
      err << "varnowe-batch: --max-output \"" << o.MaxOutput << "\" is no size (e.g. 4294967296, 500M, 4G)\n";
      return ExitUsage;
    }
    if (optFormat->count()) {
      const auto index = ParseDestinationFormat(o.Format);
      if (!index) {
        err << "varnowe-batch: unknown destination format \"" << o.Format << "\" (txt, csv, htm, xml, xls, xlsx, pdf or 0-6)\n";
        return ExitUsage;
      }
      s.rgDestination = *index;
    }
    if (s.rgDestination < 0 || s.rgDestination >= DestinationFormatCount) {
      err << "varnowe-batch: destination format " << s.rgDestination << " is not one of 0 to "
          << DestinationFormatCount - 1 << '\n';
      return ExitUsage;
    }
    if (optFormats->count()) {
      TSpreadsheetConversion& c = batch.Conversion;
      c.chkMSExcel = c.chkLotus = c.chkQuattroPro = c.chkOpenOffice = false;
      for (const std::string& f : o.Formats) {
        const std::string name = Trim(f);
        if (SameText(name, "excel")) c.chkMSExcel = true;
        else if (SameText(name, "lotus")) c.chkLotus = true;
        else if (SameText(name, "quattro")) c.chkQuattroPro = true;
        else if (SameText(name, "ods")) c.chkOpenOffice = true;
        else {
          err << "varnowe-batch: unknown source format \"" << name << "\" (excel, lotus, quattro, ods)\n";
          return ExitUsage;
        }
      }
    }

    if (!DirectoryExists(s.edSourceName)) {
      const int why = PathStatError(s.edSourceName);
      if (why != 0 && why != ENOENT)  // a link loop, no permission: the system's reason
        err << "varnowe-batch: source directory " << s.edSourceName << ": " << std::strerror(why) << '\n';
      else
        err << "varnowe-batch: source directory " << s.edSourceName << " does not exist\n";
      return ExitUsage;
    }
    if (s.edDestinationName.empty()) {
      err << "varnowe-batch: no destination directory\n";
      return ExitUsage;
    }

    // From here a signal stops: the listing of a huge tree, then the run.
    TCancelToken stop;
    batch.SetCancelToken(&stop);
    TSignalsStop signals(stop);

    batch.BuildCandidateList();
    batch.BuildWorkList();
    if (o.List) {
      PrintLists(out, batch);
      return stop.Reason() > 0 ? 128 + stop.Reason() : ExitOk;
    }

    TConsoleView view(batch, out, &out == &std::cout && isatty(STDOUT_FILENO));
    batch.SetView(&view);
    TRunOutcome outcome;
    try {
      outcome = batch.ExecuteConversion();
    } catch (const std::exception& e) {
      batch.SetView(nullptr);
      err << "varnowe-batch: " << e.what() << '\n';
      return ExitUsage;
    }
    batch.SetView(nullptr);

    size_t finished = 0, skipped = 0, errors = 0, left = 0;
    for (const auto& item : batch.WorkItems()) {
      if (item.Status == StatusFinished) ++finished;
      else if (item.Status == StatusSkipped) ++skipped;
      else if (item.ImageIndex == ImageError) ++errors;
      else ++left;
    }
    out << batch.WorkItems().size() << " file(s): " << finished << " finished, " << skipped << " skipped, " << errors
        << " error(s)";
    if (left) out << ", " << left << " not converted";
    out << '\n';
    // Stopped by a signal: the shell's convention, 128 + its number (130, 143).
    if (stop.Reason() > 0) return 128 + stop.Reason();
    return (errors || left || outcome == TRunOutcome::roCanceled) ? ExitItemError : ExitOk;
  } catch (const std::exception& e) {
    // Settings or destination that cannot be used (e.g. "Unable to create directory").
    err << "varnowe-batch: " << e.what() << '\n';
    return ExitUsage;
  }
}
