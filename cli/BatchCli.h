#pragma once
// varnowe-batch: the wizard's batch job without a window. main() only hands
// over its arguments and streams.
#include <iosfwd>
#include <string>

class TSpreadsheetBatch;

// Per-item lines and the summary go to out, errors and warnings to err.
// Exit status: 0 every item finished or was skipped, 1 an item ended in
// error (or the run was stopped, or a --dump file could not be read),
// 2 bad usage, a missing source or an unusable settings/log file,
// 130 after SIGINT and 143 after SIGTERM (128 + the signal's number).
int RunBatchCli(int argc, char** argv, std::ostream& out, std::ostream& err);

// Reads the wizard's settings file at path (--settings) into batch: the job
// and the source families; what the file lacks keeps its current value.
void LoadSettingsFile(const std::string& path, TSpreadsheetBatch& batch);
