#include "ExportHandOff.h"

#include <algorithm>
#include <memory>

#include "CodePage.h"
#include "ExportDS.h"
#include "FileSystem.h"
#include "QXE2PDF.h"
#include "QXE2XLS.h"
#include "QXE2XLS8.h"
#include "QXEEngQXI.h"
#include "SysUtils.h"

namespace {

// A failed export raises naming the sheet; a stopped one raises the cancel text.
void RaiseExportOutcome(const TQXExportBaseComponent& component, const TSpreadSheet& sheet) {
  switch (component.Statistic.Result) {
    case erFailed:
      throw Exception("Sheet \"" + SheetCaptionText(sheet) + "\": " + component.FailureText());
    case erCanceled:
      throw EQXEExportCanceled(component.FinalText());
    default:
      break;
  }
}

// The settings every batch export shares: no message boxes, no progress
// window, the engine over the sheet, the run's stop.
void PrepareBatchExport(TQXExportBaseComponent& component, TQXESpreadsheetDataEngine& engine,
                        const TSpreadSheet& sheet, const TExportStopQuery& stop) {
  engine.SetSpreadSheet(&sheet);
  component.SetOption(soShowMessage, false);
  component.AnimatedStatus = false;
  component.ColumnSource = csDataEngine;
  component.SetDataEngine(&engine);
  component.StopRequested = stop;
}

// A whole-workbook output: the atomic file at path, opened by start, each
// sheet exported into it by exportSheet (an empty sheet when there are
// none), then finish; the file is put in place only when all of it
// succeeded.
void ExportBook(const std::string& path, const TSheetList& sheets, const std::function<void(TStream& out)>& start,
                const std::function<void(TStream& out, const TSpreadSheet& sheet)>& exportSheet,
                const std::function<void(TStream& out)>& finish) {
  const std::string dir = ExtractFileDir(path);
  if (!dir.empty() && !DirectoryExists(dir)) ForceDirectories(dir);
  TAtomicFileStream out(path);
  start(out);
  const TSpreadSheet empty;
  if (sheets.empty()) exportSheet(out, empty);
  for (const TSpreadSheet* sheet : sheets) exportSheet(out, *sheet);
  finish(out);
  out.Commit();
}

std::vector<std::u16string> CaptionsOf(const TSheetList& sheets) {
  std::vector<std::u16string> names;
  for (const TSpreadSheet* sheet : sheets) names.push_back(sheet->Caption);
  return names;
}

// One sheet of a component that gathers a workbook, into out.
void ExportBookSheet(TQXExportToCellFile& component, TStream& out, const TSpreadSheet& sheet,
                     const TExportStopQuery& stop) {
  TQXESpreadsheetDataEngine engine;
  PrepareBatchExport(component, engine, sheet, stop);
  component.ExportIfEmpty = true;
  component.ExportToStream(out);
  RaiseExportOutcome(component, sheet);
}

}  // namespace

std::string SheetCaptionText(const TSpreadSheet& sheet) {
  try {
    return WideToAnsi(sheet.Caption);
  } catch (const Exception&) {
    return Utf16ToUtf8(sheet.Caption);
  }
}

void RunExport(TQXExportBaseComponent& component, const std::string& path, const TSpreadSheet& sheet,
               const TExportStopQuery& stop) {
  TQXESpreadsheetDataEngine engine;
  PrepareBatchExport(component, engine, sheet, stop);
  component.FileName = path;
  component.Execute();
  RaiseExportOutcome(component, sheet);
}

void ExportXLS(const std::string& path, const TSpreadSheet& sheet, const TExportStopQuery& stop) {
  TQXExportToXLS component;
  RunExport(component, path, sheet, stop);
}

void ExportXLSX(const std::string& path, const TSpreadSheet& sheet, const TExportStopQuery& stop,
                TZipCompression compression) {
  TQXExportToXLSX component;
  component.Compression = compression;
  RunExport(component, path, sheet, stop);
}

void ExportPDF(const std::string& path, const TSpreadSheet& sheet, const TExportStopQuery& stop) {
  TQXExportToPDF component;
  RunExport(component, path, sheet, stop);
}

void ExportXLSWorkbook(const std::string& path, const TSheetList& sheets, const TExportStopQuery& stop) {
  TQXEXLS8Book book(ExtractFileDir(path));
  ExportBook(
      path, sheets, [](TStream&) {},
      [&](TStream&, const TSpreadSheet& sheet) {
        TQXExportToXLS8 component;  // one per sheet: the book holds what they share
        component.Book = &book;
        component.SheetName = sheet.Caption;
        ExportBookSheet(component, book.Spool(), sheet, stop);
      },
      [&](TStream& out) { book.WriteTo(out); });
}

void ExportXLSWorkbook(const std::string& path, const TSpreadSheets& sheets, const TExportStopQuery& stop) {
  TSheetList list;
  for (int32_t i = 0; i < sheets.Count(); ++i) list.push_back(&sheets[i]);
  ExportXLSWorkbook(path, list, stop);
}

void ExportXLSXWorkbook(const std::string& path, const TSheetList& sheets, const TExportStopQuery& stop,
                        TZipCompression compression) {
  TQXExportToXLSX component;
  component.Compression = compression;
  ExportBook(
      path, sheets, [&](TStream& out) { component.OpenWorkbook(out, CaptionsOf(sheets)); },
      [&](TStream& out, const TSpreadSheet& sheet) { ExportBookSheet(component, out, sheet, stop); },
      [&](TStream&) { component.CloseWorkbook(); });
}

void ExportPDFWorkbook(const std::string& path, const TSheetList& sheets, const TExportStopQuery& stop) {
  TQXExportToPDF component;
  ExportBook(
      path, sheets, [&](TStream& out) { component.OpenWorkbook(out); },
      [&](TStream& out, const TSpreadSheet& sheet) { ExportBookSheet(component, out, sheet, stop); },
      [&](TStream&) { component.CloseWorkbook(); });
}
