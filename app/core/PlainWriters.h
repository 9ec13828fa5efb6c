#pragma once
// The four plain text outputs of one sheet: fixed-width text, comma-delimited
// text, an HTML table and an XML data packet. By default text is written in
// the system code page, one write per CR LF-terminated line; TTextOptions
// chooses otherwise.
#include <functional>
#include <string>

#include "Budgets.h"
#include "CancelToken.h"
#include "DestinationOptions.h"
#include "QXCells.h"
#include "QXEZipFile.h"
#include "QXIUtils.h"
#include "Streams.h"

// What writing one sheet may do (the export hand-off takes the same).
struct TSheetWriteOptions {
  // Polled between rows (nullptr: never stopped); a stop raises EOperationCanceled.
  const TCancelToken* Cancel = nullptr;
  // Bytes the output may take (0: no limit). A sheet whose grid alone needs
  // more is refused before anything is written, and an output that grows
  // past it is abandoned; both raise EBudgetExceeded naming grid and budget.
  int64_t MaxOutputSize = DefaultOutputBudget;
  // False: an existing file of the output's name is never replaced
  // (EFileExistsError, the file untouched).
  bool Replace = true;
  // Banner, extra row and column, separator, quoting, line ends, encoding.
  TTextOptions Text;
  // PDF pages.
  TPageOptions Page;
  // The source file's name, for the HTML title.
  std::string SourceName;
  // How .xlsx packages are deflated.
  TZipCompression Compression = zcDefault;
  // Told now and then the share of the sheet's rows written (0 to 1).
  std::function<void(double)> Progress;
  // Where the workbook writers tell what they changed (nullptr: nowhere).
  TLoadWarnings* Warnings = nullptr;
  // The export components' specification lines (nullptr or empty: none).
  const std::vector<std::string>* ExportSpec = nullptr;
};

// Each writes a temporary file beside path that replaces path only when
// complete, so a failure or a stop leaves an earlier file of that name as it
// was; a file that cannot be created or written raises an exception naming it.
void WriteTXT(const std::string& path, const TSpreadSheet& sheet, const TSheetWriteOptions& options = {});
void WriteCSV(const std::string& path, const TSpreadSheet& sheet, const TSheetWriteOptions& options = {});
void WriteHTML(const std::string& path, const TSpreadSheet& sheet, const TSheetWriteOptions& options = {});
void WriteXML(const std::string& path, const TSpreadSheet& sheet, const TSheetWriteOptions& options = {});

// The same into any stream (Replace does not apply, nor the budget past the
// grid's check: the output file's stream keeps it).
void WriteTXT(TStream& stream, const TSpreadSheet& sheet, const TSheetWriteOptions& options = {});
void WriteCSV(TStream& stream, const TSpreadSheet& sheet, const TSheetWriteOptions& options = {});
void WriteHTML(TStream& stream, const TSpreadSheet& sheet, const TSheetWriteOptions& options = {});
void WriteXML(TStream& stream, const TSpreadSheet& sheet, const TSheetWriteOptions& options = {});

// The text every writer gives a cell (column, row 0-based): "True"/"False"
// for booleans, else the value's default text form; "" for no cell.
std::string CellText(const TSpreadSheetCells& cells, int32_t column, int32_t row);

// Character width of a fixed-width text field from a stored column width:
// a quarter of it, or its upper bits when it is in 1/256 of a character
// (at most 255); 16 where the sheet stores none.
int32_t FixedFieldWidth(const std::vector<int32_t>& columnWidths, int64_t column);
