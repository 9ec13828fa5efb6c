#pragma once
// varnowe-batch --report: one JSON object per work item, one per line, in
// work-list order as the items end, so a scheduler or a person can collect
// the results of many runs, total them and retry the failures
// (--retry-from reads them back).
#include <string>
#include <vector>

#include "BatchDriver.h"
#include "Exception.h"

// A report that cannot be written or read; the message names the file (and
// the line).
VARNOWE_EXCEPTION(EReportError, Exception);

// Status of a record: "Finished", "Error", "Canceled", "Skipped", or
// "Waiting" for an item a stopped run did not reach.
std::string ReportStatus(const TWorkItem& item);

// The item's record without the line end: source, destination, outputs,
// status, message, milliseconds, sheets, cells (null when not known), reader
// and version. Texts are UTF-8; a byte that is no UTF-8 is written "\udcXX".
std::string ReportRecord(const TWorkItem& item);

// The report file of one run, created anew. Each record goes to the file
// whole with one write, so a crash leaves whole lines only.
class TJobReport {
 public:
  explicit TJobReport(const std::string& path);  // raises EReportError
  ~TJobReport();
  TJobReport(const TJobReport&) = delete;
  TJobReport& operator=(const TJobReport&) = delete;
  // False (and the reason in Error()) when the line could not be written.
  bool Write(const TWorkItem& item);
  const std::string& Error() const { return FError; }

 private:
  std::string FPath;
  std::string FError;
  int FFd = -1;
};

struct TReportEntry {
  std::string Source, Destination, Status;
};

// The records of a report in their order. Raises EReportError, naming the
// line, for a line that is no JSON object with a string "source" and
// "status"; blank lines are skipped.
std::vector<TReportEntry> ParseReport(const std::string& text, const std::string& fileName);
std::vector<TReportEntry> ReadReport(const std::string& path);

// The items to convert again: those whose last record (reports of several
// runs may be joined) says Error, Canceled or Waiting, in first-seen order.
std::vector<TReportEntry> ItemsToRetry(const std::vector<TReportEntry>& entries);
