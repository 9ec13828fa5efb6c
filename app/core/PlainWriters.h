#pragma once
// The four plain text outputs of one sheet: fixed-width text, comma-delimited
// text, an HTML table and an XML data packet. Text is written in the system
// code page, one write per CR LF-terminated line.
#include <string>

#include "QXCells.h"
#include "Streams.h"

// Each creates the file anew (replacing one that exists); a file that
// cannot be created or written raises an exception naming it.
void WriteTXT(const std::string& path, const TSpreadSheet& sheet);
void WriteCSV(const std::string& path, const TSpreadSheet& sheet);
void WriteHTML(const std::string& path, const TSpreadSheet& sheet);
void WriteXML(const std::string& path, const TSpreadSheet& sheet);

// The same into any stream.
void WriteTXT(TStream& stream, const TSpreadSheet& sheet);
void WriteCSV(TStream& stream, const TSpreadSheet& sheet);
void WriteHTML(TStream& stream, const TSpreadSheet& sheet);
void WriteXML(TStream& stream, const TSpreadSheet& sheet);

// The text every writer gives a cell (column, row 0-based): "True"/"False"
// for booleans, else the value's default text form; "" for no cell.
std::string CellText(const TSpreadSheetCells& cells, int32_t column, int32_t row);

// Character width of a fixed-width text field from a stored column width:
// a quarter of it, or its upper bits when it is in 1/256 of a character
// (at most 255); 16 where the sheet stores none.
int32_t FixedFieldWidth(const std::vector<int32_t>& columnWidths, int64_t column);
