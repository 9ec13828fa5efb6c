// The content check that routes files with unfamiliar extensions to a reader.
#include <cstddef>
#include <cstdint>

#include "ReaderSniffing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  volatile TReaderKind kind = SniffReaderKind(data, size);
  (void)kind;
  return 0;
}
