#include "ExportHandOff.h"

#include "CodePage.h"
#include "ExportDS.h"
#include "QXE2PDF.h"
#include "QXE2XLS.h"
#include "QXEEngQXI.h"

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
  switch (component.Statistic.Result) {
    case erFailed:
      throw Exception("Sheet \"" + WideToAnsi(sheet.Caption) + "\": " + component.FailureText());
    case erCanceled:
      throw EQXEExportCanceled(component.FinalText());
    default:
      break;
  }
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
