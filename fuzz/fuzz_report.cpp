// Job reports read back by --retry-from: the JSON Lines reader, then the
// choice of items to retry, and every name written out again.
#include <cstddef>
#include <cstdint>
#include <string>

#include "JobReport.h"
#include "WorkbookDump.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    for (const TReportEntry& e : ItemsToRetry(ParseReport(text, "fuzz.jsonl"))) {
      // What is read back writes out as it came in.
      const std::string again = "{\"source\":" + JsonString(e.Source, true) + ",\"status\":\"Error\"}";
      if (ParseReport(again, "again").at(0).Source != e.Source) __builtin_trap();
    }
  } catch (const EReportError&) {
  }
  return 0;
}
