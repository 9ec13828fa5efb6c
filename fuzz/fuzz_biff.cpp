// The Excel BIFF reader. An input whose first byte is odd is taken as a
// bare workbook stream and wrapped in a compound document, so the record
// loop of the storage parse is reached without the container in the way;
// other inputs go in as they are (compound document or plain file). Each is
// read once with errors ending the load and once with every failing record
// dropped.
#include <cstddef>
#include <cstdint>

#include "../tests/support/CfbBuilder.h"
#include "QXXLS.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> input;
  if (size > 0 && (data[0] & 1)) {
    CfbBuilder b;
    b.AddStream((data[0] & 2) ? "Book" : "Workbook", std::vector<uint8_t>(data + 1, data + size));
    input = b.Build();
  } else {
    input.assign(data, data + size);
  }
  for (int pass = 0; pass < 2; ++pass) {
    TMSExcel x;
    x.LoadNULLs = pass == 1;
    if (pass == 1) x.OnErrorProcess = [](TCustomSpreadSheetFile*, const std::exception&, bool& abort) { abort = false; };
    TCustomMemoryStream s(input.data(), int64_t(input.size()));
    try {
      x.ParseStream(s);
    } catch (const std::exception&) {
    }
  }
  return 0;
}
