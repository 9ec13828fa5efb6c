#pragma once
// Shared by the .xlsx tests: what openpyxl's reading of a cell means.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <string>

#include "CodePage.h"

// openpyxl undoes only the "_x005F_" protection of SpreadsheetML's
// "_xHHHH_" escapes and leaves the others as they are; a reader that
// honours them all decodes them like this.
inline std::string DecodeEscapes(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    if (s.compare(i, 2, "_x") == 0 && i + 7 <= s.size() && s[i + 6] == '_' &&
        std::all_of(s.begin() + long(i) + 2, s.begin() + long(i) + 6, [](char c) { return std::isxdigit(uint8_t(c)); })) {
      out += Utf16ToUtf8(std::u16string(1, char16_t(std::stoul(s.substr(i + 2, 4), nullptr, 16))));
      i += 7;
    } else {
      out += s[i++];
    }
  }
  return out;
}

// Whether openpyxl's "kind:value" got shows the cell want ("s:", "n:",
// "d:" with a serial, "b:"): texts with their escapes decoded, date-times
// to openpyxl's millisecond, and serials 1 to 60 a day later (openpyxl
// counts Excel's 29 February 1900).
inline bool SameAsOpenpyxl(const std::string& want, const std::string& got) {
  if (got == want) return true;
  if (want[0] == 's' && got[0] == 's') return DecodeEscapes(got) == want;
  if (want[0] == 'd' && got[0] == 'd') {
    double w = std::stod(want.substr(2)), g = std::stod(got.substr(2));
    if (w >= 1 && w < 60) w += 1;
    return std::fabs(w - g) <= 0.6 / 86400000;
  }
  return false;
}
