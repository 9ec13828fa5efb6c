#pragma once
// The command line of varnowe-batch, parsed but not yet judged against the
// file system: that is the job builder's part (BatchCli.cpp).
#include <optional>
#include <string>
#include <vector>

#include "DestinationOptions.h"
#include "Exception.h"

// Bad usage; the message says what and main() adds where to find help.
VARNOWE_EXCEPTION(EUsageError, Exception);

struct TBatchOptions {
  std::vector<std::string> Inputs;  // positional files and directories
  std::optional<std::string> Source, Mask, Dest, Output, Format, Log, Dump;
  std::optional<std::string> InputFormat;  // standard input's file extension
  std::optional<std::string> MaxOutput;  // largest output file ("4G"), judged by the job builder
  std::optional<std::string> Compression;  // fast, default or small (.xlsx outputs)
  std::optional<std::string> MaxMemory;  // cell memory of one workbook ("2G"), likewise
  std::optional<std::string> Settings;  // "" for the wizard's own file
  std::optional<std::vector<std::string>> Formats;
  std::optional<bool> SubDirs, NoOverwrite;
  // Destination options: the clean preset first, then each one given.
  bool Clean = false;
  bool Classic = false;  // the window's text layout instead of the clean one
  std::optional<bool> Banner, Extra, HtmlTitle, KeepTree, WholeWorkbook;
  std::optional<std::string> Separator, Quote, LineEnd, Encoding, Values, Names, Sheets, SheetMask;
  // PDF pages: paper, orientation, scaling, margins, page order, rows repeated.
  std::optional<std::string> PageSize, Orientation, Fit, Margins, PageOrder, RepeatRows;
  std::optional<bool> PageHeader, PageFooter;
  // A specification file of the export components (xls, xlsx, pdf).
  std::optional<std::string> ExportSpec;
  // Scale: workers in this process, this process's shard of the job, the
  // report to write and the report whose failures to convert again.
  std::optional<std::string> Jobs, Shard, Report, RetryFrom;
  // Passwords for protected files (--password, each given), and a file of
  // them, one per line, read by the job builder.
  std::vector<std::string> Passwords;
  std::optional<std::string> PasswordFile;
  bool List = false;
  bool Quiet = false;
  bool Verbose = false;
  bool Help = false;
  bool Version = false;
};

// Raises EUsageError for unknown options, missing values and options that
// exclude each other (-q with -v).
TBatchOptions ParseBatchOptions(int argc, const char* const* argv);

// The passwords of --password-file, one per line (UTF-8; a byte order mark,
// CR line ends and empty lines are dropped), after those of --password.
// Raises EUsageError when the file cannot be read.
void ReadPasswordFile(TBatchOptions& o);
// Overwrites the values of --password in argv, so that the process's
// command line does not show them.
void HidePasswordArguments(int argc, char** argv);

// Puts the destination options given into options (over what the settings
// file gave): --clean first, then each option. Raises EUsageError for a value
// that is not understood.
void ApplyDestinationOptions(const TBatchOptions& o, TDestinationOptions& options);

// The destination format index of a -f value ("csv", ".csv", "html", "1"),
// or of an output file name's extension; nullopt when none fits.
std::optional<int> DestinationFormatByName(const std::string& name);
std::optional<int> DestinationFormatOfFile(const std::string& path);
