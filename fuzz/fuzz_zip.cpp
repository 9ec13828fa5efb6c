// The zip reader: directory parsing, lookups and inflating every entry.
#include <cstddef>
#include <cstdint>

#include "QXIZipFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TCustomMemoryStream s(data, int64_t(size));
  TZipArchive zip;
  try {
    zip.Open(s);
  } catch (const Exception&) {
    return 0;
  }
  for (int32_t i = 0; i < zip.Count() && i < 64; ++i) {
    zip.IndexOfFile(zip.Files()[i].Name());
    try {
      auto stream = zip.GetFileStream(i);
      char buf[4096];
      while (stream->Read(buf, sizeof buf) > 0) {
      }
    } catch (const Exception&) {
    }
    try {
      zip.GetFileData(i);
    } catch (const Exception&) {
    }
  }
  return 0;
}
