// The OpenDocument reader. Input that is a zip package is loaded as it is;
// anything else becomes the content.xml of a package built around it, so
// the fuzzer spends its time in the XML and not in CRCs and deflate data.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "../tests/support/ZipBuilder.h"
#include "QXIOO.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  if (size < 4 || std::memcmp(data, "PK\x03\x04", 4) != 0) {
    ZipBuilder b;
    b.Add("mimetype", "application/vnd.oasis.opendocument.spreadsheet", 0);
    b.Add("content.xml", bytes, 0);
    bytes = b.Build();
  }
  TCustomMemoryStream s(bytes.data(), int64_t(bytes.size()));
  TQXIOpenOfficeSpreadsheet reader;
  try {
    reader.LoadFromStream(s);
  } catch (const std::exception&) {
  }
  return 0;
}
