// The row scanners against the general XML engine: the same part loaded
// with the scanners and without them gives the same workbook, or the same
// failure. The first byte picks the reader (even: .xlsx, odd: .ods); the
// rest is the sheet part, up to a "<sst" that starts the shared strings,
// or the content.xml, in a package built around it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../tests/support/ScanPackages.h"

using scanpackages::Load;
using scanpackages::Package;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool ods = data[0] & 1;
  const std::string package = Package(ods, std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  const std::string scanned = ods ? Load<TQXIOpenOfficeSpreadsheet>(package, true) : Load<TMSExcelX>(package, true);
  const std::string general = ods ? Load<TQXIOpenOfficeSpreadsheet>(package, false) : Load<TMSExcelX>(package, false);
  if (scanned != general) std::abort();
  return 0;
}
