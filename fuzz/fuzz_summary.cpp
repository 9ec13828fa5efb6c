// Property-set streams (document summary information).
#include <cstddef>
#include <cstdint>

#include "QXI_Sum.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TQXISummaryInformation si;
  try {
    si.ReadPropertySet(data, size, size > 0 && (data[size - 1] & 1));
  } catch (const std::exception&) {
  }
  // The XML properties take any text.
  std::string text(reinterpret_cast<const char*>(data), size);
  si.SetXMLProperty("dcterms:created", text);
  si.SetXMLProperty("Pages", text);
  return 0;
}
