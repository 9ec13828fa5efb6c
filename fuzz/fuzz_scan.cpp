// The row scanners against the general XML engine: the same part loaded
// with the scanners and without them gives the same workbook, or the same
// failure. The first byte picks the reader (even: .xlsx, odd: .ods); the
// rest is the sheet part, up to a "<sst" that starts the shared strings,
// or the content.xml, in a package built around it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "../tests/support/ZipBuilder.h"
#include "QXIOO.h"
#include "QXXLSX.h"
#include "WorkbookDump.h"

namespace {

std::string Package(bool ods, const std::string& xml) {
  ZipBuilder b;
  if (ods) {
    b.Add("mimetype", "application/vnd.oasis.opendocument.spreadsheet", 0);
    b.Add("content.xml", xml, 0);
    return b.Build();
  }
  const size_t sst = xml.find("<sst");
  const char* rel = "<Relationship Id=\"rId%\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
                    "relationships/";
  auto relation = [&](const char* id, const char* type, const char* target) {
    std::string r = rel;
    r.replace(r.find('%'), 1, id);
    return r + type + "\" Target=\"" + target + "\"/>";
  };
  b.Add("_rels/.rels", "<Relationships>" + relation("1", "officeDocument", "xl/workbook.xml") + "</Relationships>");
  b.Add("xl/workbook.xml", "<workbook xmlns:r=\"r\"><sheets><sheet name=\"S\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>");
  b.Add("xl/_rels/workbook.xml.rels", "<Relationships>" + relation("1", "worksheet", "worksheets/sheet1.xml") +
                                          relation("2", "sharedStrings", "sharedStrings.xml") + "</Relationships>");
  b.Add("xl/worksheets/sheet1.xml", xml.substr(0, sst), 0);
  if (sst != std::string::npos) b.Add("xl/sharedStrings.xml", xml.substr(sst), 0);
  return b.Build();
}

// The workbook as JSON, or the failure's message.
template <class Reader>
std::string Load(const std::string& package, bool scan) {
  TCustomMemoryStream s(package.data(), int64_t(package.size()));
  Reader reader;
  reader.ScanRows = scan;
  std::ostringstream out;
  try {
    reader.LoadFromStream(s);
  } catch (const std::exception& e) {
    return std::string("failed: ") + e.what();
  }
  WriteWorkbookJson(out, "f", "r", "", reader.Sheets);
  return out.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool ods = data[0] & 1;
  const std::string package = Package(ods, std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  const std::string scanned = ods ? Load<TQXIOpenOfficeSpreadsheet>(package, true) : Load<TMSExcelX>(package, true);
  const std::string general = ods ? Load<TQXIOpenOfficeSpreadsheet>(package, false) : Load<TMSExcelX>(package, false);
  if (scanned != general) std::abort();
  return 0;
}
