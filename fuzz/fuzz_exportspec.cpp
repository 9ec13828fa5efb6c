// Export specification files: the check the batch makes, the loader, a save
// and load of what it read, and an export into memory with the settings the
// file gave.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "QXCells.h"
#include "QXE2PDF.h"
#include "QXE2XLS.h"
#include "QXEEngQXI.h"
#include "Streams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const std::vector<std::string> lines =
        CheckSpecification(std::string(reinterpret_cast<const char*>(data), size), "fuzz");
    TQXExportToPDF checked;
    checked.MergeSpecification(lines);
  } catch (const EQXESpecificationError&) {
    // Refused, with its line named: what the batch does with it.
  }

  TQXExportToXLS spec;
  TCustomMemoryStream in(data, int64_t(size));
  spec.LoadSpecificationFromStream(in);

  TMemoryStream saved;
  spec.SaveSpecification(saved, "fuzz");
  saved.SetPosition(0);
  TQXExportToXLS again;
  again.LoadSpecificationFromStream(saved);

  // Nothing may leave the process: no mail, no viewer, no file.
  again.ActionAfterExport = aeNone;
  again.RowsPerFile = 0;
  TSpreadSheet sheet;
  sheet.Cells.SetCell(0, 0, ictString, 0, taLeftJustify, TVariant("name"));
  sheet.Cells.SetCell(1, 0, ictInteger, 0, taLeftJustify, TVariant(int64_t(7)));
  sheet.Cells.SetCell(0, 1, ictDateTime, 0, taCenter, TVariant::DateTime(45000.5));
  sheet.Cells.SetCell(1, 1, ictBoolean, 0, taRightJustify, TVariant(true));
  TQXESpreadsheetDataEngine engine;
  engine.SetSpreadSheet(&sheet);
  again.ColumnSource = csDataEngine;
  again.SetDataEngine(&engine);
  TMemoryStream out;
  again.ExportToStream(out);
  return 0;
}
