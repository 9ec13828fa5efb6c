// The binary parts of an .xlsb package straight to the record readers: the
// input is the first sheet, the shared strings and the styles, split at
// "|||", stored without compression in a package whose workbook names one
// sheet, so mutations reach the records rather than the zip layer.
#include <cstddef>
#include <cstdint>
#include <string>

#include "../tests/support/ZipBuilder.h"
#include "QXXLSX.h"

namespace {

std::string Workbook() {
  // BrtBundleSh: state, tab id, relationship id "r1" and name "S".
  const std::string body = std::string("\0\0\0\0\1\0\0\0", 8) + std::string("\2\0\0\0r\0001\0", 8) +
                           std::string("\1\0\0\0S\0", 6);
  return std::string("\x9C\x01", 2) + char(body.size()) + body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string in(reinterpret_cast<const char*>(data), size);
  std::string parts[3];
  size_t at = 0;
  for (int i = 0; i < 3; ++i) {
    const size_t end = i < 2 ? in.find("|||", at) : std::string::npos;
    parts[i] = in.substr(std::min(at, in.size()), end == std::string::npos ? std::string::npos : end - at);
    if (end == std::string::npos) break;
    at = end + 3;
  }
  ZipBuilder zip;
  zip.Add("xl/workbook.bin", Workbook(), 0);
  zip.Add("xl/_rels/workbook.bin.rels",
          "<Relationships><Relationship Id=\"r1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
          "relationships/worksheet\" Target=\"worksheets/sheet1.bin\"/></Relationships>",
          0);
  zip.Add("xl/worksheets/sheet1.bin", parts[0], 0);
  zip.Add("xl/sharedStrings.bin", parts[1], 0);
  zip.Add("xl/styles.bin", parts[2], 0);
  const std::string package = zip.Build();
  TCustomMemoryStream s(package.data(), int64_t(package.size()));
  TMSExcelX reader;
  // Damaged records go on, so the records after them are reached too.
  reader.OnErrorProcess = [](TCustomSpreadSheetFile*, const std::exception&, bool& abort) { abort = false; };
  try {
    reader.LoadFromStream(s);
  } catch (const std::exception&) {
  }
  return 0;
}
