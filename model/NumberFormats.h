#pragma once
// The number formats of a workbook: one table of format codes in Excel's
// format-code language (UTF-8), filled by every reader from what its file
// says (translated where the file speaks another language); each cell's
// FormatIndex refers to it. Whether a number in a format is a date, a time
// or a percentage is decided here once, for every reader alike.
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

enum TNumberFormatKind : uint8_t {
  nfGeneral,   // "General" (or nothing)
  nfNumber,    // digits, currency, fractions, scientific, literal text
  nfPercent,   // a number section with an unquoted "%": shown × 100
  nfDate,      // days, months, years and nothing of the clock
  nfTime,      // hours, minutes, seconds (elapsed ones too) and no date
  nfDateTime,  // both
  nfText,      // "@": the value as text
};

// What the first section of a code shows (the sections after it only
// change how negatives, zeros and texts look).
TNumberFormatKind ClassifyNumberFormat(std::string_view code);
inline bool IsDateTimeKind(TNumberFormatKind k) { return k == nfDate || k == nfTime || k == nfDateTime; }

// Excel's built-in number format id (0 to 81) as the Excel of a code page
// shows it: 0 to 49 in every locale (the currency ones 5 to 8 as the United
// States have them), 27 to 36 and 50 to 58 in the Japanese (932), Chinese
// (936, 950) and Korean (949) editions, 59 to 81 in the Thai one (874).
// Empty for an id that edition does not define; codePage 0 stands for "not
// known" and then gives the Japanese forms of the East Asian ids.
std::string_view BuiltInNumberFormat(int32_t id, int codePage = 0);

// Reading format codes, for the classification here and the renderer.
namespace format_code {
char Lower(char c);  // ASCII
// s holds word (lower case) at at, without regard to case.
bool StartsNoCase(std::string_view s, size_t at, std::string_view word);
// The end of the section that starts at from: the next ";" outside quoted
// text, escapes and brackets.
size_t SectionEnd(std::string_view code, size_t from);
}  // namespace format_code

class TNumberFormats {
 public:
  // A hostile file cannot make more entries than this; later codes are General.
  static constexpr int32_t MaxFormats = 1 << 16;

  TNumberFormats();

  // The entry of a code, added when new. builtIn is the Excel built-in id
  // the file referred to (its meaning follows the reader's locale, so a
  // writer keeps the id where its format has one), -1 for a code of the
  // file's own; entries differ by both. Index 0 is always "General".
  int32_t Add(std::string_view code, int32_t builtIn = -1);
  int32_t Count() const { return int32_t(FItems.size()); }
  // "General" for an index outside the table.
  const std::string& Code(int32_t index) const { return Item(index).Code; }
  int32_t BuiltIn(int32_t index) const { return Item(index).BuiltIn; }
  TNumberFormatKind Kind(int32_t index) const { return Item(index).Kind; }

  // The file counts dates from 1 January 1904. Cell values are always days
  // since 30 December 1899 (readers add the difference); the flag tells
  // what the source said.
  bool Date1904 = false;
  // Every serial is a real day after 30 December 1899, with no 29 February
  // 1900 (OpenDocument counts so); Excel's 1900 rule does not apply.
  bool GregorianDates = false;

  // Back to "General" alone.
  void Clear();

 private:
  struct TEntry {
    std::string Code;
    int32_t BuiltIn = -1;
    TNumberFormatKind Kind = nfGeneral;
  };
  const TEntry& Item(int32_t index) const {
    return index > 0 && index < int32_t(FItems.size()) ? FItems[size_t(index)] : FItems[0];
  }
  std::vector<TEntry> FItems;
  std::unordered_map<std::string, int32_t> FIndex;  // code + "\x1F" + id
};
