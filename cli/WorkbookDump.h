#pragma once
// varnowe-batch --dump: the workbook model of one file as JSON, in the shape
// the corpus comparison reads (file, reader, version, sheets with cells).
#include <iosfwd>
#include <string>
#include <vector>

#include "QXCells.h"
#include "QXIUtils.h"

// Writes the loaded workbook; texts in UTF-8, numbers so they read back to
// the same double, booleans as JSON booleans, dates as day counts.
// warnings (when given) become a "warnings" array of texts.
void WriteWorkbookJson(std::ostream& os, const std::string& fileName, const std::string& readerName,
                       const std::string& version, const TSpreadSheets& sheets,
                       const TLoadWarnings* warnings = nullptr);

// The file format version the reader found ("evExcel8", "wvWKS3"); empty
// when the reader tells none.
std::string FileFormatVersion(TSpreadSheetFile& reader);

// Loads path with the reader its extension (or content) selects and writes
// the JSON. A damaged record costs its cells and is listed under
// "warnings". Raises when no reader fits or the file cannot be read (the
// message does not repeat the path). A protected file is opened with the
// passwords given, tried in order.
void DumpWorkbook(std::ostream& os, const std::string& path, const std::vector<std::string>& passwords = {});

// JSON string literal of UTF-8 text; bytes that are not UTF-8 become U+FFFD,
// or with keepBytes the escape "\udcXX" (a lone low surrogate, U+DC00 plus
// the byte), so a file name of any bytes reads back exactly.
std::string JsonString(const std::string& utf8, bool keepBytes = false);
// Shortest text that reads back to the same double; null for NaN and infinities.
std::string JsonNumber(double value);
