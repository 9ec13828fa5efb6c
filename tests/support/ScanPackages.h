#pragma once
// Packages around one sheet part (with shared strings) or one content.xml,
// loaded with the row scanners and without them: the differential test and
// the fuzz target compare the two dumps.
#include <cstdint>
#include <sstream>
#include <string>

#include "QXIOO.h"
#include "QXXLSX.h"
#include "WorkbookDump.h"
#include "ZipBuilder.h"

namespace scanpackages {

// ods: xml is content.xml. Otherwise xml is the sheet part, up to a "<sst"
// that starts the shared-strings part.
inline std::string Package(bool ods, const std::string& xml) {
  ZipBuilder b;
  if (ods) {
    b.Add("mimetype", "application/vnd.oasis.opendocument.spreadsheet", 0);
    b.Add("content.xml", xml, 0);
    return b.Build();
  }
  const size_t sst = xml.find("<sst");
  auto relation = [](const char* id, const char* type, const char* target) {
    return std::string("<Relationship Id=\"rId") + id +
           "\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/" + type + "\" Target=\"" +
           target + "\"/>";
  };
  b.Add("_rels/.rels", "<Relationships>" + relation("1", "officeDocument", "xl/workbook.xml") + "</Relationships>");
  b.Add("xl/workbook.xml", "<workbook xmlns:r=\"r\"><sheets><sheet name=\"S\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>");
  b.Add("xl/_rels/workbook.xml.rels", "<Relationships>" + relation("1", "worksheet", "worksheets/sheet1.xml") +
                                          relation("2", "sharedStrings", "sharedStrings.xml") + "</Relationships>");
  b.Add("xl/worksheets/sheet1.xml", xml.substr(0, sst), 0);
  if (sst != std::string::npos) b.Add("xl/sharedStrings.xml", xml.substr(sst), 0);
  return b.Build();
}

// The workbook as the dump writes it, or the failure's message; scanned:
// the rows the scanner took.
template <class Reader>
std::string Load(const std::string& package, bool scan, int64_t* scanned = nullptr) {
  TCustomMemoryStream s(package.data(), int64_t(package.size()));
  Reader reader;
  reader.ScanRows = scan;
  std::ostringstream out;
  try {
    reader.LoadFromStream(s);
  } catch (const std::exception& e) {
    return std::string("failed: ") + e.what();
  }
  if (scanned) *scanned = reader.ScannedRows();
  WriteWorkbookJson(out, "f", "r", "", reader.Sheets);
  return out.str();
}

}  // namespace scanpackages
