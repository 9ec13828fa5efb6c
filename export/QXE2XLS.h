#pragma once
// The Excel writers. TQXExportToCustomXLS holds what the .xls and .xlsx
// writers share (fonts, cell formats, the string table, pictures, the row
// limit, the built-in number formats); TQXExportToXLS writes one worksheet
// as a stand-alone BIFF4 record stream, TQXExportToXLSX one worksheet as an
// Office Open XML workbook.
//
// The .xls file: BOF, CODEPAGE, COUNTRY, FONT, FORMAT and XF records before
// any cell (other readers refuse cells whose formats come later), a
// DIMENSIONS that tells the real extent, COLINFO widths, the cells as BIFF4
// BLANK, RK, NUMBER, LABEL and BOOLERR records, and EOF. A BIFF4 sheet holds
// 16,384 rows (the most that xlrd and Gnumeric read) and 256 columns; more
// fails the export with a message naming the limit.
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "QXE2Cell.h"
#include "QXEZipFile.h"

namespace QXEZipFile {
class TZipArchive;
}

VARNOWE_EXCEPTION(EQXEMaxRowCountException, Exception);
VARNOWE_EXCEPTION(EQXEMaxColCountException, Exception);

// One registered cell format: font, background colour, number format and
// horizontal alignment (-1 where a writer does not use the part).
struct TXLSFormat {
  int32_t FontIndex = 0;
  TColor Color = clWhite;
  int32_t NumberFormat = -1;
  int32_t Alignment = -1;
  bool operator==(const TXLSFormat&) const = default;
};

struct TXLSPicture {
  std::vector<uint8_t> Data;
  int64_t Size = 0;
};

// The shared-string table of the Open XML writer: each text once, found
// through a hash index. The texts lie end to end in one buffer, so an entry
// costs a few bytes beside its text even with a million different strings.
class TQXEXLSSST {
 public:
  // The index of the text (compared exactly, letter case included), added
  // when new. Every call counts as one reference.
  int32_t Add(std::string_view text);
  int32_t Count() const { return int32_t(FHashes.size()); }
  int64_t References() const { return FReferences; }
  std::string_view operator[](int32_t index) const {
    return std::string_view(FText).substr(FStarts[size_t(index)], FStarts[size_t(index) + 1] - FStarts[size_t(index)]);
  }
  std::vector<int32_t> RecordSizes;
  void Clear();

 private:
  void Rehash(size_t slots);
  std::string FText;
  std::vector<uint64_t> FStarts{0};  // text i is FText[FStarts[i], FStarts[i + 1])
  std::vector<uint32_t> FHashes;
  std::vector<int32_t> FSlots;       // index + 1; 0 is a free slot
  int64_t FReferences = 0;
};

// Text for an XML part of a workbook, appended to out as UTF-8: "&", "<",
// ">" as entities ('"' too in attributes), CR as a character reference (XML
// parsers would turn it into LF), the characters XML 1.0 cannot carry
// (other controls, U+FFFE, U+FFFF) as SpreadsheetML's "_xHHHH_", and a
// literal "_xHHHH_" in the text protected as "_x005F_xHHHH_", so that every
// text reads back as it was. Unpaired surrogates and malformed UTF-8 become
// U+FFFD. In attributes tab and LF are character references as well.
void AppendSpreadsheetMLText(std::string& out, std::u16string_view text, bool attribute = false);
// 8-bit text of the system code page.
void AppendSpreadsheetMLText(std::string& out, std::string_view text, bool attribute = false);
// The shortest text that reads back as the same double ("0.1", "1e+300").
void AppendShortestDouble(std::string& out, double value);

// The Windows code pages a .xls may name, in the order they are tried when
// the system code page is one that other readers cannot read (UTF-8). Thai
// comes last: it holds nothing the others lack but Thai.
inline constexpr int XLSCodePages[] = {1252, 1250, 1251, 1253, 1254, 1255, 1256, 1257, 1258, 932, 936, 949, 950, 874};

// An Excel number-format code for a date or time format of the old
// runtime's language ("M/d/yyyy", "h:mm AMPM" -> "m/d/yyyy", "h:mm AM/PM");
// "/" and ":" stand for the separators of fs.
std::string ExcelDateTimeFormat(const std::string& runtimeFormat, const TFormatSettings& fs);
// "." to the decimal and "," to the thousand separator, in one pass.
std::string LocaliseNumberFormat(const std::string& format, char decimalSeparator, char thousandSeparator);
// The first code page of XLSCodePages that holds every character; 65001 when none does.
int ChooseXLSCodePage(const std::vector<char32_t>& characters);

class TQXExportToCustomXLS : public TQXExportToCellFile {
 public:
  TQXExportToCustomXLS();
  ~TQXExportToCustomXLS() override;

  // The user's login name, read at creation; no writer stores it.
  std::string UserName;

  std::string GetDefaultExt() override { return ".XLS"; }
  // Selects record forms: 2 for .xls, 7 for .xlsx.
  virtual int32_t FormatLevel() const = 0;
  // The rows and columns a sheet of this format holds.
  virtual int32_t MaxRows() const { return 16384; }
  virtual int32_t MaxCols() const { return 256; }
  // The built-in number format a cell type is shown with.
  virtual int32_t NumberFormatOf(TCellType cellType) const;
  // The format code of built-in format index (0 to 49) with this export's
  // regional settings, in Excel's language; without localised, "." and ","
  // keep their meaning in the code as Open XML parts want them.
  std::string BuiltInFormat(int32_t index, bool localised = true) const;

 protected:
  virtual void WriteData(const void* data, size_t size) = 0;
  // At most 255 bytes, with a one-byte length before them when asked.
  virtual void WriteText(const std::string& text, bool lengthPrefix);
  virtual void InitDefaultFont(TQXEFont& font) const;
  virtual void WriteRecordHeader(TStream& stream, uint16_t recordNumber, uint16_t dataLength);
  // The records gathered for the end of the file, then empty.
  virtual void FlushGathered();
  virtual void WriteFont(const TQXEFont& font) = 0;
  virtual void WriteFormat(int32_t index, const std::string& format, bool localised) = 0;
  virtual void WriteXF(const TXLSFormat& format, int32_t index) = 0;

  void PrepareExport() override;
  void FinishExport() override;
  // True while fonts, formats and strings gather over several exports.
  virtual bool KeepsRegistries() const { return false; }
  int32_t GridRowLimit() const override { return MaxRows(); }
  int32_t GridColLimit() const override { return MaxCols(); }
  // An empty cell is written only as a blank.
  bool SkipsEmptyCells() const override { return !HasOption(soExportBlankValues); }

  // A cell as both writers take it: typed when its value (not its text) is
  // written, empty when there is nothing to write. An empty cell beyond the
  // grid answers false (it is dropped); any other cell beyond it raises the
  // limit's error.
  bool AcceptCell(TCellType cellType, int32_t row, int32_t column, const std::string& text, bool& typed, bool& empty);
  // The number a typed text (title, header, constant) stands for in the
  // .xls formats: false for a type that is not a number or date.
  bool TextNumber(TCellType type, const std::string& text, double& number) const;
  // The font's index in the list (same name, style, size and colour); a new
  // one is added while the list holds fewer than 4, else -1.
  int32_t RegisterFont(const TQXEFont& font);
  // The cell format's index, added when missing.
  int32_t RegisterFormat(const TXLSFormat& format);
  void ClearRegistries();

  std::vector<TQXEFont> FFonts;
  std::vector<TXLSFormat> FFormats;
  std::vector<TXLSPicture> FPictures;
  TQXEXLSSST FSST;
  std::unique_ptr<TMemoryStream> FGathered;

 private:
  struct TFormatHash {
    size_t operator()(const TXLSFormat& f) const;
  };
  std::unordered_map<TXLSFormat, int32_t, TFormatHash> FFormatIndex;
};

class TQXExportToXLS : public TQXExportToCustomXLS {
 public:
  TQXExportToXLS();
  int32_t FormatLevel() const override { return 2; }
  // The code page the last file named in its CODEPAGE record.
  int CodePage() const { return FCodePage; }

 protected:
  void PrepareOutput() override;
  bool WantsValueText() const override { return HasOption(soFieldMask); }
  void StartFile() override;
  void SetDimensions(int32_t rowCount, int32_t colCount) override;
  void SetColumnWidth(int32_t column, int32_t width) override;
  void BeginRow() override;
  void WriteCell(TQXEField* field, TCellType cellType, int32_t row, int32_t column, const std::string& text,
                 TAlignment alignment, const TQXEFont& font, TColor color) override;
  void EndOfFile() override;

  void WriteData(const void* data, size_t size) override;
  void WriteFont(const TQXEFont& font) override;
  void WriteFormat(int32_t index, const std::string& format, bool localised) override;
  void WriteXF(const TXLSFormat& format, int32_t index) override;

 private:
  void Record(uint16_t number, const void* data, size_t size);
  // Cell attributes: the XF index a cell with this look takes.
  int32_t CellXF(int32_t numberFormat, TAlignment alignment, const TQXEFont& font, TColor color);
  void WriteNumber(int32_t row, int32_t column, int32_t xf, double value);
  void WriteLabel(int32_t row, int32_t column, int32_t xf, const std::string& text);
  void WriteBlank(int32_t row, int32_t column, int32_t xf);
  void WriteBoolErr(int32_t row, int32_t column, int32_t xf, uint8_t value, bool isError);
  void Touch(int32_t row, int32_t column);
  void WriteFormatsAndXFs();
  // Text of the system code page as bytes of the file's code page, cut at
  // 255 bytes on a character boundary.
  std::string LabelBytes(const std::string& text) const;

  int FCodePage = 1252;
  bool FConvert = false;     // file code page differs from the system one
  bool FGather = false;      // cell records wait for the formats (soColorsFonts)
  std::string FDefaultFontName = "Arial";
  int64_t FDimensionsPos = -1;
  int32_t FLastRow = -1;     // extent actually written
  int32_t FLastCol = -1;
};

class TXLSXSheetPart;

// One worksheet as an Office Open XML workbook ("Sheet1", with the empty
// "Sheet2" and "Sheet3"). The package streams into the output: the fixed
// parts first, then the sheet part, its rows deflated as they are made, then
// the shared strings and the styles. Numbers, dates and booleans are written
// from the cell's value (the shortest text that reads back as the same
// double), texts as shared strings. The sheet's dimension is the extent of
// the cells really written: a placeholder near the start of the part,
// patched in place when the sheet ends. 1,048,576 rows and 16,384 columns;
// more fails the export with a message naming the limit.
//
// The package and its sheets are opened and closed apart (OpenPackage,
// BeginSheet, EndSheet, ClosePackage), so that one package can take several
// sheets; the shared strings and styles belong to the package.
class TQXExportToXLSX : public TQXExportToCustomXLS {
 public:
  TQXExportToXLSX();
  ~TQXExportToXLSX() override;

  int32_t FormatLevel() const override { return 7; }
  int32_t MaxRows() const override { return 1048576; }
  int32_t MaxCols() const override { return 16384; }
  int32_t NumberFormatOf(TCellType cellType) const override;
  std::string GetDefaultExt() override { return ".XLSX"; }

  // The moment the package records (document properties in UTC, entry
  // times), in seconds since 1970; 0: the time of the export.
  std::time_t DocumentTime = 0;
  // How the package's parts are deflated.
  TZipCompression Compression = zcDefault;
  // The custom number format of currency cells (id 164), from the
  // currency string and its position in the regional settings.
  std::string CurrencyFormatCode() const;

  // Several sheets in one package: OpenWorkbook names them all (each name
  // made valid and unique as TQXEXLS8Book::ValidSheetName does), then one
  // ExportToStream(out) per sheet, in that order, each over its own data
  // engine, then CloseWorkbook. Shared strings and styles gather over every
  // sheet. After a failed sheet the package is unusable: drop out and the
  // component without closing.
  void OpenWorkbook(TStream& out, const std::vector<std::u16string>& sheetNames);
  void CloseWorkbook();
  // The names OpenWorkbook gave the sheets.
  const std::vector<std::u16string>& SheetNames() const { return FSheetNames; }

 protected:
  void OpenPackage(TStream& out, const std::vector<std::u16string>& sheetNames);
  // Sheet index (from 0) of the names given to OpenPackage.
  void BeginSheet(int32_t index);
  void EndSheet();
  void ClosePackage();

  bool WantsValueText() const override { return HasOption(soFieldMask); }
  void InitDefaultFont(TQXEFont& font) const override;
  // Declared rows and columns beyond the used ones hold nothing a workbook
  // keeps, and walking them up to this grid could take billions of cells.
  int32_t RecordCountLimit() const override { return 0; }
  int32_t ColumnCountLimit() const override { return 0; }
  void FinishExport() override;
  bool KeepsRegistries() const override { return FWorkbook; }

  void StartFile() override;
  void SetDimensions(int32_t rowCount, int32_t colCount) override;
  void SetColumnWidth(int32_t column, int32_t width) override;
  void BeginRow() override;
  void EndRow() override;
  void WriteCell(TQXEField* field, TCellType cellType, int32_t row, int32_t column, const std::string& text,
                 TAlignment alignment, const TQXEFont& font, TColor color) override;
  void EndOfFile() override;

  // Into the package part being written (the styles).
  void WriteData(const void* data, size_t size) override;
  void WriteFont(const TQXEFont& font) override;
  void WriteFormat(int32_t index, const std::string& format, bool localised) override;
  void WriteXF(const TXLSFormat& format, int32_t index) override;

 private:
  int32_t CellXF(int32_t numberFormat, TAlignment alignment, const TQXEFont& font, TColor color);
  // FCell := the style attribute of a cell element.
  void StartCell(int32_t xf);
  void PutNumber(int32_t row, int32_t column, int32_t xf, double value);
  void PutInteger(int32_t row, int32_t column, int32_t xf, int64_t value);
  void PutBoolean(int32_t row, int32_t column, int32_t xf, bool value);
  void PutString(int32_t row, int32_t column, int32_t xf, const TVariant* value, const std::string& text);
  void PutBlank(int32_t row, int32_t column, int32_t xf);
  void WriteSharedStrings();
  void WriteStyles();
  void DropPackage();
  // The default font and the General cell format every package starts with.
  void RegisterPackageDefaults();

  std::unique_ptr<QXEZipFile::TZipArchive> FZip;
  std::unique_ptr<TXLSXSheetPart> FSheet;
  std::vector<std::u16string> FSheetNames;
  bool FWorkbook = false;  // between OpenWorkbook and CloseWorkbook
  int32_t FNextSheet = 0;
  TStream* FPart = nullptr;  // the part WriteData writes to
  std::time_t FMoment = 0;
  std::vector<TColor> FFills;  // solid fills, from fill index 2
  std::string FCell;           // scratch: the cell element after its reference
  std::string FText;           // scratch: a text as the string table holds it
};
