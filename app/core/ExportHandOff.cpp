#include "ExportHandOff.h"

#include <algorithm>
#include <memory>

#include "Budgets.h"
#include "CodePage.h"
#include "ExportDS.h"
#include "FileSystem.h"
#include "QXE2PDF.h"
#include "QXE2XLS.h"
#include "QXE2XLS8.h"
#include "QXEEngQXI.h"
#include "SysUtils.h"

namespace {

// A failed export raises naming the sheet; a stopped one raises the cancel
// text. A budget or a file that may not be replaced keeps its kind, so the
// run can tell them.
void RaiseExportOutcome(const TQXExportBaseComponent& component, const TSpreadSheet& sheet,
                        const TOutputPolicy& output) {
  switch (component.Statistic.Result) {
    case erFailed:
      if (const std::exception_ptr failure = component.FailureError()) {
        try {
          std::rethrow_exception(failure);
        } catch (const EOutputBudgetExceeded&) {
          throw EOutputBudgetExceeded("Sheet \"" + SheetCaptionText(sheet) + "\" is too large to write: " +
                                      OutputBudgetText(output.MaxBytes));
        } catch (const EFileExistsError&) {
          throw;
        } catch (...) {
          // Any other failure: by its text, below.
        }
      }
      throw Exception("Sheet \"" + SheetCaptionText(sheet) + "\": " + component.FailureText());
    case erCanceled:
      throw EQXEExportCanceled(component.FinalText());
    default:
      break;
  }
}

// The settings every batch export shares: no message boxes, no progress
// window, the engine over the sheet, the run's stop, the properties of the
// sheet's workbook.
void PrepareBatchExport(TQXExportToCellFile& component, TQXESpreadsheetDataEngine& engine,
                        const TSpreadSheet& sheet, const TExportStopQuery& stop, TCellValues values,
                        const TExportSpecLines* spec) {
  component.DocumentProperties = sheet.DocumentProperties();
  engine.SetSpreadSheet(&sheet);
  engine.SetCellValues(values);
  ConfigureBatchExport(component, spec);
  component.ColumnSource = csDataEngine;
  component.SetDataEngine(&engine);
  component.StopRequested = stop.Stop;
  component.FileNameAsGiven = true;  // the run's naming claimed exactly this name
  component.OnProgress = nullptr;
  if (stop.Progress)
    component.OnProgress = [progress = stop.Progress](TQXECustomBaseComponent*, int32_t row, int32_t rows, bool&) {
      if ((row & 4095) == 0 && rows > 0) progress(double(row) / double(rows));
    };
}

// A sheet's pages: the page setup, its name above and "Page N of M" below.
void SetUpPages(TQXExportToPDF& pdf, const TSpreadSheet& sheet, const TPageOptions& page) {
  pdf.PageSetup = page.Setup;
  pdf.SheetName = SheetCaptionText(sheet);
  pdf.Header.clear();
  pdf.Footer.clear();
  std::string name;
  for (const char c : pdf.SheetName) name += c == '&' ? std::string("&&") : std::string(1, c);
  if (page.HeaderLine && !name.empty()) pdf.Header.push_back(name);
  if (page.FooterLine) pdf.Footer.push_back("Page &P of &N");
}

// A whole-workbook output: the atomic file at path, opened by start, each
// sheet exported into it by exportSheet (an empty sheet when there are
// none), then finish; the file is put in place only when all of it
// succeeded, as output says.
// Each sheet gets stop with its progress made a share of the whole output,
// the sheets weighted by their rows.
using TBookSheetExport = std::function<void(TStream& out, const TSpreadSheet& sheet, const TExportStopQuery& stop)>;
void ExportBook(const std::string& path, const TSheetList& sheets, const TExportStopQuery& stop,
                const TOutputPolicy& output, const std::function<void(TStream& out)>& start,
                const TBookSheetExport& exportSheet, const std::function<void(TStream& out)>& finish) {
  const std::string dir = ExtractFileDir(path);
  if (!dir.empty() && !DirectoryExists(dir)) ForceDirectories(dir);
  TAtomicFileStream out(path, output);
  start(out);
  const TSpreadSheet empty;
  if (sheets.empty()) exportSheet(out, empty, stop);
  double rows = 0, done = 0;
  for (const TSpreadSheet* sheet : sheets) rows += sheet->Cells.Count() + 1;
  for (const TSpreadSheet* sheet : sheets) {
    const double sheetRows = sheet->Cells.Count() + 1;
    TExportStopQuery sheetStop = stop;
    if (stop.Progress)
      sheetStop.Progress = [&, sheetRows](double share) { stop.Progress((done + share * sheetRows) / rows); };
    exportSheet(out, *sheet, sheetStop);
    done += sheetRows;
  }
  finish(out);
  out.Commit();
}

// A whole-workbook output's properties: those of the workbook its sheets come from.
TDocumentProperties PropertiesOf(const TSheetList& sheets) {
  return sheets.empty() ? TDocumentProperties() : sheets.front()->DocumentProperties();
}

std::vector<std::u16string> CaptionsOf(const TSheetList& sheets) {
  std::vector<std::u16string> names;
  for (const TSpreadSheet* sheet : sheets) names.push_back(sheet->Caption);
  return names;
}

// What an Excel writer changed in a sheet, for the item's warnings.
void PassWarnings(const TQXExportBaseComponent& component, const TSpreadSheet& sheet, TLoadWarnings* warnings) {
  const auto* excel = dynamic_cast<const TQXExportToCustomXLS*>(&component);
  if (!excel || !warnings) return;
  for (const std::string& w : excel->Warnings) warnings->Add("Sheet \"" + SheetCaptionText(sheet) + "\": " + w);
}

// One sheet of a component that gathers a workbook, into out.
void ExportBookSheet(TQXExportToCellFile& component, TStream& out, const TSpreadSheet& sheet,
                     const TExportStopQuery& stop, const TOutputPolicy& output, TLoadWarnings* warnings,
                     TCellValues values, const TExportSpecLines* spec) {
  TQXESpreadsheetDataEngine engine;
  PrepareBatchExport(component, engine, sheet, stop, values, spec);
  component.ExportIfEmpty = true;
  component.ExportToStream(out);
  RaiseExportOutcome(component, sheet, output);
  PassWarnings(component, sheet, warnings);
}

}  // namespace

std::string SheetCaptionText(const TSpreadSheet& sheet) {
  try {
    return WideToAnsi(sheet.Caption);
  } catch (const Exception&) {
    return Utf16ToUtf8(sheet.Caption);
  }
}

void ConfigureBatchExport(TQXExportBaseComponent& component, const TExportSpecLines* spec) {
  if (spec && !spec->empty()) {
    const TTableTypeExport type = component.TableType();
    component.MergeSpecification(*spec);
    component.SetTableType(type);
  }
  component.SetOption(soShowMessage, false);
  component.AnimatedStatus = false;
  component.ActionAfterExport = aeNone;
  component.RowsPerFile = 0;
}

void RunExport(TQXExportToCellFile& component, const std::string& path, const TSpreadSheet& sheet,
               const TExportStopQuery& stop, const TOutputPolicy& output, TLoadWarnings* warnings,
               TCellValues values, const TExportSpecLines* spec) {
  TQXESpreadsheetDataEngine engine;
  PrepareBatchExport(component, engine, sheet, stop, values, spec);
  component.FileName = path;
  component.Output = output;
  component.Execute();
  RaiseExportOutcome(component, sheet, output);
  PassWarnings(component, sheet, warnings);
}

void ExportXLS(const std::string& path, const TSpreadSheet& sheet, const TExportStopQuery& stop,
               const TOutputPolicy& output, TLoadWarnings* warnings, const TExportSpecLines* spec) {
  const std::string misfit = XLSWorksheetMisfit(sheet);
  if (misfit.empty()) {
    TQXExportToXLS component;
    RunExport(component, path, sheet, stop, output, warnings, cvAuto, spec);
    return;
  }
  // Nothing is lost in an Excel 97-2003 workbook of the one sheet (BIFF8, Unicode).
  if (warnings)
    warnings->Add("Sheet \"" + SheetCaptionText(sheet) + "\" was written as an Excel 97-2003 workbook: " + misfit + ".");
  TQXExportToXLS8 component;
  component.SheetName = sheet.Caption;
  RunExport(component, path, sheet, stop, output, warnings, cvAuto, spec);
}

void ExportXLSX(const std::string& path, const TSpreadSheet& sheet, const TExportStopQuery& stop,
                const TOutputPolicy& output, TLoadWarnings* warnings, TZipCompression compression,
                const TExportSpecLines* spec) {
  TQXExportToXLSX component;
  component.Compression = compression;
  component.SheetName = sheet.Caption;
  RunExport(component, path, sheet, stop, output, warnings, cvAuto, spec);
}

void ExportPDF(const std::string& path, const TSpreadSheet& sheet, const TExportStopQuery& stop,
               const TOutputPolicy& output, TCellValues values, const TPageOptions& page,
               const TExportSpecLines* spec) {
  TQXExportToPDF component;
  SetUpPages(component, sheet, page);
  RunExport(component, path, sheet, stop, output, nullptr, ResolveCellValues(values, true), spec);
}

void ExportXLSWorkbook(const std::string& path, const TSheetList& sheets, const TExportStopQuery& stop,
                       const TOutputPolicy& output, TLoadWarnings* warnings, const TExportSpecLines* spec) {
  TQXEXLS8Book book(ExtractFileDir(path));
  book.SpoolBudget = output.MaxBytes;  // the sheets wait there before the output gets them
  ExportBook(
      path, sheets, stop, output, [](TStream&) {},
      [&](TStream&, const TSpreadSheet& sheet, const TExportStopQuery& sheetStop) {
        TQXExportToXLS8 component;  // one per sheet: the book holds what they share
        component.Book = &book;
        component.FileName = path;  // the workbook's title when the source gives none
        component.SheetName = sheet.Caption;
        ExportBookSheet(component, book.Spool(), sheet, sheetStop, output, warnings, cvAuto, spec);
      },
      [&](TStream& out) { book.WriteTo(out); });
}

void ExportXLSWorkbook(const std::string& path, const TSpreadSheets& sheets, const TExportStopQuery& stop,
                       const TOutputPolicy& output, TLoadWarnings* warnings, const TExportSpecLines* spec) {
  TSheetList list;
  for (int32_t i = 0; i < sheets.Count(); ++i) list.push_back(&sheets[i]);
  ExportXLSWorkbook(path, list, stop, output, warnings, spec);
}

void ExportXLSXWorkbook(const std::string& path, const TSheetList& sheets, const TExportStopQuery& stop,
                        const TOutputPolicy& output, TLoadWarnings* warnings, TZipCompression compression,
                        const TExportSpecLines* spec) {
  TQXExportToXLSX component;
  component.Compression = compression;
  // The package's properties are written when it opens, before any sheet.
  component.FileName = path;
  component.DocumentProperties = PropertiesOf(sheets);
  ExportBook(
      path, sheets, stop, output, [&](TStream& out) { component.OpenWorkbook(out, CaptionsOf(sheets)); },
      [&](TStream& out, const TSpreadSheet& sheet, const TExportStopQuery& sheetStop) {
        ExportBookSheet(component, out, sheet, sheetStop, output, warnings, cvAuto, spec);
      },
      [&](TStream&) { component.CloseWorkbook(); });
}

void ExportPDFWorkbook(const std::string& path, const TSheetList& sheets, const TExportStopQuery& stop,
                       const TOutputPolicy& output, TCellValues values, const TPageOptions& page,
                       const TExportSpecLines* spec) {
  TQXExportToPDF component;
  component.FileName = path;  // the document's title when the source gives none
  values = ResolveCellValues(values, true);
  ExportBook(
      path, sheets, stop, output, [&](TStream& out) { component.OpenWorkbook(out); },
      [&](TStream& out, const TSpreadSheet& sheet, const TExportStopQuery& sheetStop) {
        SetUpPages(component, sheet, page);
        ExportBookSheet(component, out, sheet, sheetStop, output, nullptr, values, spec);
      },
      [&](TStream&) { component.CloseWorkbook(); });
}
