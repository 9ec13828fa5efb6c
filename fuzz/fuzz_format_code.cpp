// Number-format codes as files hold them: every code renders numbers,
// texts and widths in every date system without reading outside a buffer,
// and what it writes stays bounded by the code's size.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FormatRender.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const std::string code(reinterpret_cast<const char*>(data), size);
  static const TFormatSettings settings = TFormatSettings::UnitedStates();
  const TNumberFormatCode compiled(code, settings, size % 3 == 0 ? 14 : -1);
  const double values[] = {0, -0.5, 1, 59.75, 61, 45000.123456, -45000.5, 1e15, 9.99999999e-5, 1e308, -1e-308,
                           std::nan(""), HUGE_VAL};
  std::string out;
  for (TDateSystem dates : {dsExcel1900, dsExcel1904, dsGregorian}) {
    for (double v : values) {
      out.clear();
      compiled.AppendNumber(v, dates, out);
      if (out.size() > 4 * size + 1024) std::abort();
      out.clear();
      compiled.AppendNumberInWidth(v, dates, 9, out);
      if (TextWidth(out) > 9) std::abort();
      compiled.Colour(v, dates);
    }
  }
  out.clear();
  compiled.AppendText("text", out);
  if (out.size() > 5 * size + 16) std::abort();
  return 0;
}
