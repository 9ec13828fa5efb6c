#pragma once
// A number as a spreadsheet shows it: the value, a format code of the
// workbook's table (Excel's format-code language), the date system the file
// counted in and the regional settings give the text of the cell. Codes are
// parsed once into a compiled form; the renderer keeps one per table entry.
// Texts are UTF-8 in and out.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FormatSettings.h"
#include "NumberFormats.h"

class TQXICell;

enum TDateSystem : uint8_t {
  dsExcel1900,  // serial 1 is 1 January 1900 and 60 the 29 February 1900 that never was (Excel, Lotus, Quattro Pro)
  dsExcel1904,  // the file counted from 1 January 1904; its dates and times came in 1462 days later
  dsGregorian,  // every serial a real day after 30 December 1899 (OpenDocument)
};

// dsExcel1904 for a table from a 1904 file, dsExcel1900 otherwise.
TDateSystem DateSystemOf(const TNumberFormats& formats);

namespace format_render_detail {
struct TSection;
struct TDateNames;
}

// One format code, parsed.
class TNumberFormatCode {
 public:
  // builtIn: the Excel built-in id the code stands for (TNumberFormats::
  // BuiltIn); 14 and 22 show the regional short date as Excel does. The
  // settings' texts must be UTF-8 and outlive the code.
  TNumberFormatCode(std::string_view code, const TFormatSettings& settings, int32_t builtIn = -1);
  ~TNumberFormatCode();
  TNumberFormatCode(const TNumberFormatCode&) = delete;
  TNumberFormatCode& operator=(const TNumberFormatCode&) = delete;

  // value as the model holds it: date-time cells in days since 30 December
  // 1899 whatever the date system, a percent cell by its stored fraction.
  void AppendNumber(double value, TDateSystem dates, std::string& out) const;
  // A text through the code's text section ("@"); as it stands without one.
  void AppendText(std::string_view text, std::string& out) const;
  // The text in a column that holds width characters (TextWidth units): a
  // fill (*x) widened to it, General rounded to fit, any other number too
  // wide for it as width "#" marks.
  void AppendNumberInWidth(double value, TDateSystem dates, int32_t width, std::string& out) const;
  // The colour of the section that shows value, 0xRRGGBB; -1 when none.
  int32_t Colour(double value, TDateSystem dates) const;
  // The code shows dates or times (in its first section, as the model types cells).
  bool DateTime() const { return FDateTime; }
  // The code has a text section ("@"): texts in it show decorated.
  bool TextSection() const { return FTextSection >= 0; }

 private:
  struct TChoice;
  TChoice Choose(double value, TDateSystem dates) const;
  // Appends the chosen section; returns where a fill goes in out (npos: none).
  size_t Render(const TChoice& choice, TDateSystem dates, int generalChars, std::string& out) const;
  std::vector<format_render_detail::TSection> FSections;
  int FNumberSections = 0;
  int FTextSection = -1;
  bool FConditional = false;
  bool FDateTime = false;
  const TFormatSettings& FSettings;
  std::unique_ptr<const format_render_detail::TDateNames> FNames;  // the settings'
};

// The renderer of one workbook's formats: each table entry is compiled on
// first use. Not shared between threads.
class TNumberFormatRenderer {
 public:
  // settings' texts in the system code page (as FormatSettings gives them).
  TNumberFormatRenderer(const TNumberFormats& formats, const TFormatSettings& settings, TDateSystem dates);
  TNumberFormatRenderer(const TNumberFormats& formats, const TFormatSettings& settings)
      : TNumberFormatRenderer(formats, settings, DateSystemOf(formats)) {}
  ~TNumberFormatRenderer();
  // Its compiled codes refer to its settings.
  TNumberFormatRenderer(const TNumberFormatRenderer&) = delete;
  TNumberFormatRenderer& operator=(const TNumberFormatRenderer&) = delete;

  std::string Number(double value, int32_t format);
  void AppendNumber(double value, int32_t format, std::string& out) { Code(format).AppendNumber(value, FDates, out); }
  void AppendText(std::string_view text, int32_t format, std::string& out) { Code(format).AppendText(text, out); }
  // A logical value. Spreadsheets show TRUE or FALSE whatever the cell's
  // number format; an OpenDocument boolean is the number 1 or 0 its style
  // shows (its language's words, or digits through a number style).
  void AppendBoolean(bool value, int32_t format, std::string& out);
  // A model cell as shown (UTF-8): numbers and date-times through their
  // format (percent cells by the stored fraction), texts through its text
  // section, error values as they stand, booleans as AppendBoolean.
  void AppendCell(const TQXICell& cell, std::string& out);
  std::string NumberInWidth(double value, int32_t format, int32_t width);
  int32_t Colour(double value, int32_t format) { return Code(format).Colour(value, FDates); }
  const TNumberFormatCode& Code(int32_t format);
  TDateSystem Dates() const { return FDates; }

 private:
  const TNumberFormats& FFormats;
  TFormatSettings FSettings;  // texts in UTF-8
  TDateSystem FDates;
  std::vector<std::unique_ptr<TNumberFormatCode>> FCodes;
};

// Columns a UTF-8 text takes: one per character, two for East Asian wide ones.
int32_t TextWidth(std::string_view utf8);
