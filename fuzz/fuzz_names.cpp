// Output names from hostile sheet captions and templates, and the
// destination section of a settings file: a name never leaves its folder
// and never exceeds one file name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "DestinationOptions.h"
#include "IniFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  // "template\ncaption": the template as a user may type it, the caption as
  // a file may hold it.
  const size_t cut = text.find('\n');
  const std::string tmpl = cut == std::string::npos ? text : text.substr(0, cut);
  const std::string caption = cut == std::string::npos ? std::string() : text.substr(cut + 1);
  const std::string ext = ".csv";
  for (const std::string& t : {tmpl, std::string(SheetNameTemplate)}) {
    if (!NameTemplateProblem(t).empty()) continue;
    const std::string name = ExpandNameTemplate(t, "book", caption, int32_t(size), ext);
    if (name.empty() || name.size() > 255 || name.find('/') != std::string::npos || name == "." || name == "..")
      std::abort();
  }
  const std::string part = SafeSheetFileName(caption, 1);
  if (part.empty() || part.size() > 120 || part.find('/') != std::string::npos) std::abort();

  TIniFile ini("");
  ini.LoadFromString(text);
  TDestinationOptions options;
  ReadDestinationSettings(ini, options);
  if (!options.NameTemplate.empty() && !NameTemplateProblem(options.NameTemplate).empty()) std::abort();
  if (!ParseSeparator(options.Text.Separator)) std::abort();
  return 0;
}
