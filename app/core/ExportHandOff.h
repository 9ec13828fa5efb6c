#pragma once
// Destination formats 4 to 6: one sheet handed to an export component
// through a spreadsheet data engine. Each call makes a fresh engine and
// component for the one sheet and frees both, whatever happens.
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "CellTexts.h"
#include "DestinationOptions.h"
#include "Exception.h"
#include "QXCells.h"
#include "QXEZipFile.h"
#include "QXIUtils.h"
#include "Streams.h"

// An export stopped from outside (or with the progress window's Cancel):
// the output was not written. Its message is the family's cancel text.
VARNOWE_EXCEPTION(EQXEExportCanceled, Exception);

// Polled between rows; answering true stops the export. The run's stop
// (Stop button, Ctrl-C, a signal) is passed on through this. Progress,
// when set, hears now and then the share of the output's rows written
// (0 to 1, never going back).
struct TExportStopQuery {
  TExportStopQuery() = default;
  template <class F, class = std::enable_if_t<std::is_invocable_r_v<bool, F&>>>
  TExportStopQuery(F stop) : Stop(std::move(stop)) {}
  std::function<bool()> Stop;
  std::function<void(double)> Progress;
};

// The lines of an export specification file, checked (ReadSpecificationFile).
using TExportSpecLines = std::vector<std::string>;

// The sheet as an Excel BIFF worksheet at path. A sheet the worksheet
// format cannot hold without loss (XLSWorksheetMisfit: rows, columns, texts
// of several code pages or longer than 255 bytes) is written as an Excel
// 97-2003 workbook of its one sheet instead, with a warning saying why.
// Raises when the export fails (the message names the sheet and what went
// wrong, e.g. the row limit) and EQXEExportCanceled when it was stopped;
// either way no file is left at path and an older file of that name is
// kept. The file is written under output (TOutputPolicy): past its budget
// the export fails with EBudgetExceeded, and without Replace an existing
// file of the name raises EFileExistsError and is kept. What the writer
// changed (texts cut) is added to warnings when given, each naming the sheet.
void ExportXLS(const std::string& path, const TSpreadSheet& sheet, const TExportStopQuery& stop = {},
               const TOutputPolicy& output = {}, TLoadWarnings* warnings = nullptr,
               const TExportSpecLines* spec = nullptr);
// The sheet as an Office Open XML workbook of one sheet, named after the
// sheet, at path; failures, stops and warnings as ExportXLS.
void ExportXLSX(const std::string& path, const TSpreadSheet& sheet, const TExportStopQuery& stop = {},
                const TOutputPolicy& output = {}, TLoadWarnings* warnings = nullptr,
                TZipCompression compression = zcDefault, const TExportSpecLines* spec = nullptr);

// The sheet as a PDF document at path, under the same rules as ExportXLS;
// cells as values says (cvAuto: as displayed), pages as page says (the
// sheet's name above every page and its number below unless switched off).
void ExportPDF(const std::string& path, const TSpreadSheet& sheet, const TExportStopQuery& stop = {},
               const TOutputPolicy& output = {}, TCellValues values = cvAuto, const TPageOptions& page = {},
               const TExportSpecLines* spec = nullptr);

// The sheets of one whole-workbook output, in order (borrowed).
using TSheetList = std::vector<const TSpreadSheet*>;

// The sheets as one Excel 97-2003 workbook (BIFF8) at path, each under its
// caption made into a valid sheet name (at most 31 characters, none of
// "[]:*?/\", unique ignoring case, "Sheet<n>" for an empty one). Raises
// like ExportXLS (a sheet beyond 65,536 rows or 256 columns fails by name);
// no file is left at path unless every sheet was written. An empty list
// writes a workbook of one empty sheet.
void ExportXLSWorkbook(const std::string& path, const TSheetList& sheets, const TExportStopQuery& stop = {},
                       const TOutputPolicy& output = {}, TLoadWarnings* warnings = nullptr,
                       const TExportSpecLines* spec = nullptr);
// Every sheet of a loaded workbook, as above.
void ExportXLSWorkbook(const std::string& path, const TSpreadSheets& sheets, const TExportStopQuery& stop = {},
                       const TOutputPolicy& output = {}, TLoadWarnings* warnings = nullptr,
                       const TExportSpecLines* spec = nullptr);
// The sheets as one Office Open XML workbook, named as ExportXLSWorkbook
// names them; 1,048,576 rows and 16,384 columns a sheet.
void ExportXLSXWorkbook(const std::string& path, const TSheetList& sheets, const TExportStopQuery& stop = {},
                        const TOutputPolicy& output = {}, TLoadWarnings* warnings = nullptr,
                        TZipCompression compression = zcDefault, const TExportSpecLines* spec = nullptr);
// The sheets as one PDF document, each sheet starting on a new page (an
// empty sheet gets one empty page).
// Each sheet has an entry in the document's outline, leading to its first page.
void ExportPDFWorkbook(const std::string& path, const TSheetList& sheets, const TExportStopQuery& stop = {},
                       const TOutputPolicy& output = {}, TCellValues values = cvAuto, const TPageOptions& page = {},
                       const TExportSpecLines* spec = nullptr);

// A sheet's caption as 8-bit text (UTF-8 where the code page has no such
// characters), for messages and names.
std::string SheetCaptionText(const TSpreadSheet& sheet);

class TQXExportToCellFile;
// The shape every hand-off shares: settings of a batch run (no message
// boxes, no progress window, the file name and output policy, the engine
// over the sheet giving cells their texts as values says, cvAuto: none),
// Execute, and the outcome turned into an exception.
void RunExport(TQXExportToCellFile& component, const std::string& path, const TSpreadSheet& sheet,
               const TExportStopQuery& stop, const TOutputPolicy& output = {}, TLoadWarnings* warnings = nullptr,
               TCellValues values = cvAuto, const TExportSpecLines* spec = nullptr);

class TQXExportBaseComponent;
// The settings a batch run gives every export component: the specification
// lines over its defaults (what they leave out keeps its default), then
// what a batch needs whatever they say: no message boxes, no progress
// window, no action after the export, one file per output (no rows-per-file
// split), the component's own table type.
void ConfigureBatchExport(TQXExportBaseComponent& component, const TExportSpecLines* spec);
