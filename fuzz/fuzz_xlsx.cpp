// The Open XML reader over a whole package (.xlsx or .xlsb parts, or a
// compound document), as varnowe-batch would load it.
#include <cstddef>
#include <cstdint>

#include "QXXLSX.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TCustomMemoryStream s(data, int64_t(size));
  TMSExcelX reader;
  try {
    reader.LoadFromStream(s);
  } catch (const std::exception&) {
  }
  return 0;
}
