#include "ExportHandOff.h"

#include <algorithm>

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
      throw Exception("Sheet \"" + WideToAnsi(sheet.Caption) + "\": " + component.FailureText());
    case erCanceled:
      throw EQXEExportCanceled(component.FinalText());
    default:
      break;
  }
}

}  // namespace

void RunExport(TQXExportBaseComponent& component, const std::string& path, const TSpreadSheet& sheet,
               const TExportStopQuery& stop) {
  TQXESpreadsheetDataEngine engine;
  engine.SetSpreadSheet(&sheet);
  component.SetOption(soShowMessage, false);
  component.AnimatedStatus = false;
  component.FileName = path;
  component.ColumnSource = csDataEngine;
  component.SetDataEngine(&engine);
  component.StopRequested = stop;
  component.Execute();
  RaiseExportOutcome(component, sheet);
}

void ExportXLS(const std::string& path, const TSpreadSheet& sheet, const TExportStopQuery& stop) {
  TQXExportToXLS component;
  RunExport(component, path, sheet, stop);
}

void ExportXLSX(const std::string& path, const TSpreadSheet& sheet, const TExportStopQuery& stop) {
  TQXExportToXLSX component;
  RunExport(component, path, sheet, stop);
}

void ExportPDF(const std::string& path, const TSpreadSheet& sheet, const TExportStopQuery& stop) {
  TQXExportToPDF component;
  RunExport(component, path, sheet, stop);
}

void ExportXLSWorkbook(const std::string& path, const TSpreadSheets& sheets, const TExportStopQuery& stop) {
  const std::string dir = ExtractFileDir(path);
  if (!dir.empty() && !DirectoryExists(dir)) ForceDirectories(dir);
  TAtomicFileStream out(path);
  TQXEXLS8Book book(dir);
  // A workbook holds at least one sheet.
  const TSpreadSheet empty;
  const int32_t count = std::max(sheets.Count(), 1);
  for (int32_t i = 0; i < count; ++i) {
    const TSpreadSheet& sheet = sheets.Count() ? sheets[i] : empty;
    TQXESpreadsheetDataEngine engine;
    engine.SetSpreadSheet(&sheet);
    TQXExportToXLS8 component;
    component.Book = &book;
    component.SheetName = sheet.Caption;
    component.ExportIfEmpty = true;
    component.SetOption(soShowMessage, false);
    component.AnimatedStatus = false;
    component.ColumnSource = csDataEngine;
    component.SetDataEngine(&engine);
    component.StopRequested = stop;
    component.ExportToStream(book.Spool());
    RaiseExportOutcome(component, sheet);
  }
  book.WriteTo(out);
  out.Commit();
}
