// The Quattro Pro reader on arbitrary bytes: a plain record file or a
// compound document as given, or, after a leading 'N', a notebook record
// stream that is wrapped in a compound document first (so the notebook
// records are fuzzed directly, not through the container).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../tests/support/CfbBuilder.h"
#include "QXWQ.h"

namespace {

void LoadAll(TQuattroPro& reader, const std::vector<uint8_t>& bytes) {
  TCustomMemoryStream stream(bytes.data(), int64_t(bytes.size()));
  try {
    reader.LoadFromStream(stream);
  } catch (const Exception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  if (size > 0 && data[0] == 'N') {
    CfbBuilder cfb;
    cfb.AddStream("NativeContent_MAIN", std::vector<uint8_t>(data + 1, data + size));
    bytes = cfb.Build();
  }
  TQuattroPro reader;
  reader.LoadNULLs = (size & 1) != 0;
  LoadAll(reader, bytes);
  // Again with a listener that lets every damaged record pass.
  reader.OnErrorProcess = [](TCustomSpreadSheetFile*, const std::exception&, bool& abort) { abort = false; };
  LoadAll(reader, bytes);
  return 0;
}
