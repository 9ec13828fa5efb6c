#pragma once
// OpenDocument spreadsheets (.ods): the package's manifest (encryption),
// meta.xml (document properties) and content.xml, streamed once: the
// automatic styles first, then every table row by row, with typed values,
// repeated rows and columns, covered cells and rich paragraph text.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "QXCells.h"
#include "QXIXML.h"
#include "QXIUtils.h"
#include "QXI_Sum.h"
#include "Streams.h"

class TZipArchive;
class TQXXMLRawText;

// The font of a text style. Color is 0x00BBGGRR.
struct TQXIOOFont {
  std::string Name;
  int32_t Size = 10;
  int32_t Color = 0;
  bool Bold = false;
  bool Italic = false;
  bool Underline = false;
};

// One automatic style of content.xml.
class TQXIOOStyle {
 public:
  virtual ~TQXIOOStyle() = default;
  std::string StyleFamily;
  std::string StyleName;
  // The style named by style:parent-style-name when it is in the same list.
  TQXIOOStyle* StyleParent = nullptr;
};

// A text, paragraph or table-cell style. Color is the background, 0x00BBGGRR.
class TQXIOOStyleText : public TQXIOOStyle {
 public:
  TQXIOOFont TextFont;
  TAlignment Alignment = taLeftJustify;
  int32_t Color = 16777215;
};

class TQXIOOStyleGraphic : public TQXIOOStyle {
 public:
  // fo:clip="rect(top, right, bottom, left)": the first four runs of digits.
  int32_t ClipTop = 0, ClipRight = 0, ClipBottom = 0, ClipLeft = 0;
};

class TQXIOOStyleNumList : public TQXIOOStyle {
 public:
  std::string NumPrefix;
  std::string NumSufix;
  std::string NumFormat;
  std::string BulletChar = std::string(1, '\x07');
  int32_t SpaceBefore = 0;
};

// Owns its styles; Find gives the first one of a name.
class TQXIOOStyles {
 public:
  // A hostile part cannot make more styles than this; later ones are ignored.
  static constexpr int32_t MaxStyles = 1 << 20;

  int32_t Count() const { return int32_t(FItems.size()); }
  TQXIOOStyle* operator[](int32_t index) const { return FItems.at(size_t(index)).get(); }
  // nullptr once MaxStyles are held.
  TQXIOOStyle* Add(std::unique_ptr<TQXIOOStyle> style);
  TQXIOOStyle* Find(const std::string& name) const;
  void Clear();

 private:
  std::vector<std::unique_ptr<TQXIOOStyle>> FItems;
  std::unordered_map<std::string, TQXIOOStyle*> FByName;
};

// A table row of content.xml read straight from the bytes (QXIOOScan.cpp):
// its cells and their paragraphs of plain text, as positions in the bytes
// in hand, which the content reader takes as it takes the elements.
struct TQXIOORowScan {
  struct TCell {
    std::string_view Attrs;
    // Its attributes split (Split false: of another form than name="value").
    uint32_t FirstAttribute = 0, Attributes = 0;
    bool Split = false;
    uint32_t FirstParagraph = 0, Paragraphs = 0;
  };
  std::string_view Attrs;
  std::vector<TCell> Cells;
  std::vector<TXMLAttributeView<char>> Attributes;
  std::vector<std::string_view> Paragraphs;  // their text as the document has it
  size_t End = 0;                            // bytes the row takes
  // The row at the start of the text, when it has the usual shape: cells
  // holding paragraphs of plain text, and other elements (skipped whole).
  // False for anything else, which the XML engine then reads.
  bool Read(TQXXMLRawText& text);
};

// The data styles of a package (number, currency, percentage, date, time,
// boolean and text styles, with their conditional maps) as Excel format
// codes, and the cell styles that show numbers with them.
class TQXIOODataStyles {
 public:
  static constexpr size_t MaxStyles = 1 << 16;

  // An element below a style list (office:styles, office:automatic-styles)
  // or below a data style, with the name of its parent element; true when
  // its children are wanted.
  bool Open(const std::string& parent, const std::string& name, const std::u16string& value,
            const std::u16string& attrs);
  void Close(const std::string& name);
  // The code of a data style ("" when there is none of that name).
  std::string DataStyleCode(const std::string& name) const;
  // The code a cell style shows numbers with ("" for none); a cell style
  // without a data style takes its parent's.
  std::string CellStyleCode(const std::string& cellStyle) const;
  static bool IsDataStyle(const std::string& elementName);
  void Clear();

 private:
  struct TData {
    std::string Code;   // the style's own section
    std::string Color;  // "[Red]"
    std::vector<std::pair<std::string, std::string>> Maps;  // condition (">=0"), style
    bool Percent = false, Boolean = false, Elapsed = false, ElapsedDone = false;
    // A date style in the reader's order: its day, month and year parts
    // (while it has no other field).
    bool AutoOrder = false;
    std::string Day, Month, Year;
    std::string BooleanLanguage;  // "fr": the words TRUE and FALSE show in
  };
  struct TCellStyle {
    std::string DataStyle, Parent;
  };
  void Element(const std::string& name, const std::u16string& value, const std::u16string& attrs);
  std::string Section(const TData& d) const;

  std::unordered_map<std::string, TData> FData;
  std::unordered_map<std::string, TCellStyle> FCells;
  TData* FOpen = nullptr;
  std::string FOpenName;
  mutable std::unordered_map<std::string, std::string> FCodes;
};

class TQXIOpenOfficeSpreadsheet : public TSpreadSheetFile {
 public:
  // The grid of the format's producers: cells beyond it never reach the model,
  // and the row and column counters stop there.
  static constexpr int32_t MaxRows = 1048576;
  static constexpr int32_t MaxColumns = 16384;
  // Copies made from repeated rows and cells with content, per load; a file
  // asking for more fails instead of filling memory.
  static constexpr int64_t MaxRepeatedCells = int64_t(1) << 24;
  // Characters that text:s may add beyond one per element, per load.
  static constexpr int64_t MaxExpandedSpaces = int64_t(1) << 22;

  static constexpr const char* BodyElement = "office:body";
  static constexpr const char* SpreadsheetElement = "office:spreadsheet";

  TQXIOpenOfficeSpreadsheet();
  ~TQXIOpenOfficeSpreadsheet() override;

  // Published
  TQXISummaryInformation SummaryInformation;
  void SetSummaryInformation(const TQXISummaryInformation& value) { SummaryInformation.Assign(value); }
  int32_t SheetIndex = -1;
  // Table rows are taken by a dedicated scanner where they have the usual
  // shape, by the general XML engine otherwise; both give the same cells.
  // Off: the engine alone (tests and fuzzing compare the two).
  bool ScanRows = true;
  // Rows the scanner took in the last load (the engine read the others).
  int64_t ScannedRows() const { return FScannedRows; }

  const TQXIOOStyles& Styles() const { return FStyles; }

  // True after a load that met an encrypted package.
  bool PasswordProtected() override { return FEncrypted; }
  void ResetData() override;
  void LoadFromFile(const std::string& fileName) override;
  // A zip package with content.xml; anything else fails with "Invalid file
  // version or file format.", an encrypted package with a message that says
  // so, a content.xml cut short with EQXIFileTruncatedException after the
  // cells before the cut were delivered.
  void ParseStream(TStream& stream) override;

  // Value attributes (public for tests). "2024-03-01" or
  // "2024-03-01T12:30:00.5" -> date-time serial.
  static bool ParseDateValue(const std::u16string& text, double& value);
  // ISO 8601 duration "PT12H30M05S", "P1DT2H", "-PT1H" -> days.
  static bool ParseTimeValue(const std::u16string& text, double& value);

 private:
  int64_t FScannedRows = 0;
  class TContentReader;
  // Raises for an encrypted content.xml; tells whether meta.xml is encrypted.
  void ReadManifest(bool& metaEncrypted);
  void ReadMeta();
  void ReadContent();

  std::unique_ptr<TZipArchive> FZip;
  TQXIOOStyles FStyles;
  TQXIOODataStyles FDataStyles;
  bool FEncrypted = false;
  std::string FSourceName;  // the file's name while LoadFromFile runs
};
