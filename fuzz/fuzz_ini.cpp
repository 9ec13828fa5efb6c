// Settings files and the texts read from them: the INI parser, then every
// key's value through the number and date parsers the settings use.
#include <cstddef>
#include <cstdint>
#include <string>

#include "DateTime.h"
#include "IniFile.h"
#include "SysUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  TIniFile ini("");
  ini.LoadFromString(text);
  for (const auto& section : ini.ReadSections()) {
    for (const auto& key : ini.ReadSection(section)) {
      const std::string value = ini.ReadString(section, key, "");
      (void)ini.ReadInteger(section, key, -1);
      (void)ini.ReadBool(section, key, false);
      double d;
      (void)TryStrToFloat(value, d);
      TDateTime dt;
      (void)TryStrToDateTime(value, dt);
    }
  }
  return 0;
}
