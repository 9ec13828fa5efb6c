#pragma once
// A workbook's document properties as its source file gives them.
#include <string>

struct TDocumentProperties {
  // 8-bit text in the system code page; empty where the file has none.
  std::string Title, Subject, Author, Keywords;
  // Local date-time the document was created (0: unknown).
  double Created = 0;

  // The title, or fileName without folder and extension when the title is
  // blank: what an output calls itself when its source has no name for it.
  std::string TitleOr(const std::string& fileName) const;
};
