#include "DocumentProperties.h"

#include "SysUtils.h"

std::string TDocumentProperties::TitleOr(const std::string& fileName) const {
  if (!Trim(Title).empty()) return Title;
  return ChangeFileExt(ExtractFileName(fileName), "");
}
