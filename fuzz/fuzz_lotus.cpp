// The Lotus 1-2-3 record loop on arbitrary bytes, with every event listened to.
#include <cstddef>
#include <cstdint>

#include "QXWKS.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TLotus123 reader;
  reader.LoadNULLs = (size & 1) != 0;
  TCustomMemoryStream stream(data, int64_t(size));
  try {
    reader.LoadFromStream(stream);
  } catch (const Exception&) {
  }
  // Row heights are not stored by the model; listen to them on a second pass.
  reader.OnRowHeight = [](TCustomSpreadSheetFile*, int32_t, int32_t, int32_t) {};
  stream.SetPointer(data, int64_t(size));
  try {
    reader.LoadFromStream(stream);
  } catch (const Exception&) {
  }
  return 0;
}
