#pragma once
// The text an output of text gives a cell, in the form the user chose: the
// value as stored, as the source shows it (through its number format), or
// as data tools read it. One place decides it for every text output (TXT,
// CSV, HTML, XML and PDF).
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "FormatRender.h"
#include "FormatSettings.h"
#include "QXCells.h"

enum TCellValues : uint8_t {
  cvAuto,       // as the output suits: as displayed in PDF and HTML, as stored in the others
  cvStored,     // the value's own text: 15 significant digits, the regional short date and long time
  cvDisplayed,  // as the source shows it: its number format, its date system
  cvData,       // for data tools: ISO 8601 dates and times, the stored fraction of a percentage,
                // the shortest text that reads back as the same number (outputs for people: as displayed)
};

// The form an output gets. Outputs read by people (PDF, HTML) show cells
// as displayed unless as stored was asked for; the others as stored unless
// another form was.
inline TCellValues ResolveCellValues(TCellValues values, bool forPeople) {
  if (forPeople) return values == cvStored ? cvStored : cvDisplayed;
  return values == cvAuto ? cvStored : values;
}

// What a cell holds, as the General alignment sees it.
enum TValueKind : uint8_t { vkText, vkNumber, vkBoolean, vkError };
// Where a cell's text sits in its column: the source's own alignment when
// it set one (right or centre; the model keeps no other mark, so left
// counts as unset), else a spreadsheet's General rule: numbers, dates and
// times right, booleans and errors centred, text left.
TAlignment GeneralAlignment(TAlignment stored, TValueKind kind);
TAlignment DisplayAlignment(const TQXICell& cell);
// The error values a spreadsheet cell can hold ("#N/A", "#DIV/0!").
bool IsErrorValue(std::string_view text);
bool IsErrorValue(const TQXICell& cell);

class TCellTexts {
 public:
  // values: the resolved form (cvAuto counts as cvStored). Texts come out
  // in the system code page, as the program's 8-bit text. The formats and
  // settings are borrowed.
  TCellTexts(const TNumberFormats& formats, TCellValues values,
             const TFormatSettings& settings = DefaultFormatSettings());
  ~TCellTexts();
  TCellTexts(const TCellTexts&) = delete;
  TCellTexts& operator=(const TCellTexts&) = delete;

  TCellValues Values() const { return FValues; }
  // The cell's text: a view of its own text or of scratch. width > 0 (as
  // displayed): a number whose text is wider than width characters shows as
  // width "#" marks, as a spreadsheet shows it in a column that narrow.
  // Texts are never cut. Booleans: "True"/"False" (as displayed as
  // TNumberFormatRenderer::AppendBoolean). Time-only cells never show a date.
  std::string_view Text(const TQXICell* cell, std::string& scratch, int32_t width = 0);
  // Whether the cell is a text that shows as it stands: its own text, which
  // Text gives (in the system code page), so callers may keep a conversion of it.
  bool ShowsOwnText(const TQXICell& cell);

 private:
  std::string_view Displayed(const TQXICell& cell, std::string& scratch, int32_t width);
  std::string_view Data(const TQXICell& cell, std::string& scratch);
  std::string_view Own(const TQXICell& cell, std::string& scratch) const;
  // A date-time cell that shows only a time of day (or an elapsed time).
  bool TimeOnly(const TQXICell& cell) const;
  const TNumberFormats& FFormats;
  const TFormatSettings& FSettings;
  TCellValues FValues;
  bool FConvert;  // rendered UTF-8 must become system code page text
  TDateSystem FDates;
  std::unique_ptr<TNumberFormatRenderer> FRenderer;  // as displayed
  std::string FWork;
};
