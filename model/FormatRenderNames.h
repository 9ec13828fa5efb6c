#pragma once
// Month and day names for the renderer: the regional settings' and those of
// the languages a format code's locale tag ([$-407]) may ask for.
#include <cstdint>
#include <string_view>

#include "FormatSettings.h"

namespace format_render_detail {

struct TDateNames {
  std::string_view ShortMonths[12], LongMonths[12], ShortDays[7], LongDays[7];  // Sunday first
  std::string_view Am, Pm;
};

// The names of a Windows locale id's language; nullptr for a language we
// hold no names of (the settings' are used then).
const TDateNames* DateNamesOfLanguage(uint32_t lcid);
// Views into fs, which must outlive them.
TDateNames SettingsDateNames(const TFormatSettings& fs);

}  // namespace format_render_detail
