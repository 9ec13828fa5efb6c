#pragma once
// Destination formats 4 to 6: one sheet handed to an export component
// through a spreadsheet data engine. Each call makes a fresh engine and
// component for the one sheet and frees both, whatever happens.
#include <functional>
#include <string>

#include "Exception.h"
#include "QXCells.h"

// An export stopped from outside (or with the progress window's Cancel):
// the output was not written. Its message is the family's cancel text.
VARNOWE_EXCEPTION(EQXEExportCanceled, Exception);

// Polled between rows; answering true stops the export. The run's stop
// (Stop button, Ctrl-C, a signal) is passed on through this.
using TExportStopQuery = std::function<bool()>;

// The sheet as an Excel BIFF worksheet at path. Raises when the export
// fails (the message names the sheet and what went wrong, e.g. the row
// limit) and EQXEExportCanceled when it was stopped; either way no file is
// left at path and an older file of that name is kept.
void ExportXLS(const std::string& path, const TSpreadSheet& sheet, const TExportStopQuery& stop = {});
// The sheet as an Office Open XML workbook at path; failures and stops as ExportXLS.
void ExportXLSX(const std::string& path, const TSpreadSheet& sheet, const TExportStopQuery& stop = {});

// The sheet as a PDF document at path, under the same rules as ExportXLS.
void ExportPDF(const std::string& path, const TSpreadSheet& sheet, const TExportStopQuery& stop = {});

class TQXExportBaseComponent;
// The shape every hand-off shares: settings of a batch run (no message
// boxes, no progress window, the file name, the engine over the sheet),
// Execute, and the outcome turned into an exception.
void RunExport(TQXExportBaseComponent& component, const std::string& path, const TSpreadSheet& sheet,
               const TExportStopQuery& stop);
