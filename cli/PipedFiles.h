#pragma once
// Standard input as a source and standard output, a FIFO or a device as
// the output: the readers seek and the writers commit by renaming, so both
// go through a private folder of temporary files.
#include <optional>
#include <ostream>
#include <string>

#include "BatchOptions.h"

struct TWorkItem;

class TPipedFiles {
 public:
  // Rewrites the options' "-" input and "--dump -" (spooled from file
  // descriptor 0 now) and
  // "-o -" or "-o NODE" output (written to a temporary file, delivered after
  // the run); "-o LINK" becomes the link's target. Raises EUsageError when
  // the combination cannot work.
  explicit TPipedFiles(TBatchOptions& o);
  ~TPipedFiles();
  TPipedFiles(const TPipedFiles&) = delete;
  TPipedFiles& operator=(const TPipedFiles&) = delete;

  // Whether the output goes to standard output: lines and messages go to
  // standard error then.
  bool ToStandardOutput() const { return FToStdout; }
  // After the run: the item's one output copied to out (standard output) or
  // to the node. Returns an error text, empty when delivered or when there
  // was nothing to deliver.
  std::string Deliver(const TWorkItem& item, std::ostream& out, std::ostream& verbose) const;

 private:
  std::string Folder();
  std::string Spool(const std::optional<std::string>& format);  // standard input into the folder

  std::string FFolder;  // the private folder, made when first needed
  bool FToStdout = false;
  std::string FNode;  // the FIFO or device written through
};
