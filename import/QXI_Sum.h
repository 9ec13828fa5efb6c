#pragma once
// Document properties: title, author, dates and counts, filled from the
// property-set streams of a compound document or from the XML
// document-property parts of an Open XML package.
#include <cstdint>
#include <string>

#include "DocumentProperties.h"
#include "QXIUtils.h"
#include "Streams.h"
#include "Variant.h"

class TQXISummaryInformation {
 public:
  // Published, in this order.
  std::string AppName;
  std::string Author;
  int32_t CharCount = 0;
  std::string Comments;
  double Created = 0;
  int32_t EditTime = 0;
  std::string Keywords;
  std::string LastAuthor;
  double LastPrinted = 0;
  double LastSaved = 0;
  int32_t PageCount = 0;
  std::string RevNumber;
  std::string Subject;
  std::string Template;
  std::string Title;
  int32_t WordCount = 0;
  std::string Category;
  std::string PresentationTarget;
  int32_t ByteCount = 0;
  int32_t LineCount = 0;
  int32_t ParagraphCount = 0;
  int32_t SlideCount = 0;
  int32_t NoteCount = 0;
  int32_t HiddenSlideCount = 0;
  int32_t MMClipCount = 0;
  std::string Manager;
  std::string Company;
  int32_t CharCount2 = 0;

  void Assign(const TQXISummaryInformation& source) { *this = source; }
  // What the workbook model keeps of them (readers hand it to Sheets).
  TDocumentProperties DocumentProperties() const { return {Title, Subject, Author, Keywords, Created}; }
  void Clear() { *this = TQXISummaryInformation(); }

  // Stores Value into the property of the identifier in the summary set
  // (IsDocumentSet false) or the document summary set; other identifiers
  // do nothing.
  void SetProperty(int32_t identifier, const TVariant& value, bool isDocumentSet);
  // Exact, case-sensitive element names ("dc:title", "Pages", ...); Text is
  // 8-bit text in the system code page. Never raises: numbers that are not
  // integers give 0, impossible dates give 0.
  void SetXMLProperty(const std::string& elementName, const std::string& text);

  // 100-ns units since 1601-01-01 UTC -> local date-time with 2-second
  // resolution; 0 outside 1980..2107.
  static double FileTimeToDateTime(uint64_t fileTime);
  // "yyyy-mm-ddThh:nn:ss..." -> date-time; 0 when impossible.
  static double XMLDateToDateTime(const std::string& text);

  // Reads the first section of a property-set stream (the whole stream from
  // position 0). A damaged or truncated set raises EQXIFileFormatException
  // naming what is wrong; properties read before the damage are kept.
  void ReadPropertySet(TStream& stream, bool isDocumentSet);
  // The same over a byte block.
  void ReadPropertySet(const void* data, size_t size, bool isDocumentSet);
};
