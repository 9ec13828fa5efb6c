#pragma once
// Settings-file samples for the tests of the window, varnowe-batch and the
// table of keys: a value other than the default for each key, and settings
// as comparable text.
#include <string>

#include "IniFile.h"
#include "JobSettingsFile.h"
#include "TempDir.h"

// A value the key reads as something other than its default.
inline std::string NonDefaultValue(const TSettingKey& k) {
  const std::string key = k.Key;
  switch (k.Kind) {
    case TSettingKind::skBool: return k.Default && std::string(k.Default) == "1" ? "0" : "1";
    case TSettingKind::skInteger: return "2";
    case TSettingKind::skByteSize: return "3M";
    case TSettingKind::skWord: {
      std::string words = k.Words;
      const std::string last = words.substr(words.rfind(' ') + 1);
      return last == k.Default ? words.substr(0, words.find(' ')) : last;
    }
    case TSettingKind::skText:
      if (key == "NameTemplate") return "{index} {name}{ext}";
      if (key == "PaperSize") return "a3";
      if (key == "Fit") return "75";
      if (key == "Margins") return "10mm";
      if (key == "RepeatRows") return "2";
      return "/sample/" + key;
  }
  return "";
}

// Every value of the settings (the read-only ones too) as INI text.
inline std::string SettingsText(const TStoredSettings& values) {
  TTempDir dir;
  TIniFile ini(dir / "sample.ini");
  WriteStoredSettings(ini, values);
  ini.WriteString("Options", "MaxOutputSize", std::to_string(values.Job.MaxOutputSize));
  ini.WriteString("Options", "MaxWorkbookMemory", std::to_string(values.Job.MaxWorkbookMemory));
  ini.WriteString("Options", "Compression", CompressionWord(values.Job.Compression));
  return ini.SaveToString();
}
