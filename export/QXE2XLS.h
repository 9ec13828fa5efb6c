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
  // One more reference to an entry already there.
  int32_t Reuse(int32_t index) {
    ++FReferences;
    return index;
  }
  // The entry a text key (a text block cells share) was given; -1 for none.
  int32_t Find(const void* key) const {
    auto it = FKeys.find(key);
    return it == FKeys.end() ? -1 : it->second;
  }
  void Remember(const void* key, int32_t index) { FKeys.emplace(key, index); }
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
  std::unordered_map<const void*, int32_t> FKeys;
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

// The width of a column whose source gives none, in 1/256 of a character:
// 8.43 characters and the cell margin, as readers show such a column.
inline constexpr int32_t DefaultWidth256 = 2340;

// Why a sheet does not fit the worksheet format of TQXExportToXLS without
// loss ("" when it does): more than 16,384 rows or 256 columns, texts that
// no single code page of XLSCodePages holds (the system code page, when it
// is one of them, must hold them), a text longer than 255 bytes in that
// code page, more number formats than its cell formats can name.
std::string XLSWorksheetMisfit(const TSpreadSheet& sheet);

// A date or time code with its date and time letters in lower case (which
// Excel reads as the same format and other readers more readily as a date);
// any other code as it stands.
std::string DateCodesInLowerCase(std::string_view code);

// BIFF's code of an error value ("#N/A" -> 0x2A); -1 for any other text.
int32_t ExcelErrorCode(std::string_view text);

// The number formats of one output file: each code gets an id, Excel's
// built-in id where every reader knows the code by it (or where the source
// referred to that id, so it keeps showing as the reader's locale shows
// it), else one of the file's own from firstCustom on. Codes are UTF-8.
class TXLSNumberFormats {
 public:
  // builtInsWritten: the file writes every id below firstCustom itself
  // (a worksheet numbers its formats by position), so no record is asked
  // for one.
  explicit TXLSNumberFormats(int32_t firstCustom = 164, int32_t maxId = 0xFFFF, bool builtInsWritten = false)
      : FFirstCustom(firstCustom), FMaxId(maxId), FBuiltInsWritten(builtInsWritten) {}
  // General once the file holds as many as it can.
  int32_t Id(std::string_view code, int32_t builtIn = -1);
  // The ids that need a format record of their own, with their codes, in
  // the order they were given.
  const std::vector<std::pair<int32_t, std::string>>& Written() const { return FWritten; }
  void Clear();
  // Ids whose code every reader knows without a record.
  static bool IsImplicit(int32_t id);

 private:
  int32_t FFirstCustom, FMaxId;
  bool FBuiltInsWritten;
  int32_t Find(std::string_view code, int32_t builtIn);
  std::unordered_map<std::string, int32_t> FIds;  // code + "\x1F" + built-in id
  std::vector<std::pair<int32_t, std::string>> FWritten;
  // Recent answers: a sheet's cells mostly use a handful of codes, met
  // column after column along each row.
  struct TRecent {
    std::string Code;
    int32_t BuiltIn, Id;
  };
  std::vector<TRecent> FRecent;
  size_t FRecentNext = 0;
};

class TQXExportToCustomXLS : public TQXExportToCellFile {
 public:
  TQXExportToCustomXLS();
  ~TQXExportToCustomXLS() override;

  // The user's login name, read at creation; no writer stores it.
  std::string UserName;
  // What the last export changed to make the cells fit (texts cut), one
  // sentence each; empty when nothing was.
  std::vector<std::string> Warnings;

  std::string GetDefaultExt() override { return ".XLS"; }
  // Selects record forms: 2 for .xls, 7 for .xlsx.
  virtual int32_t FormatLevel() const = 0;
  // The rows and columns a sheet of this format holds.
  virtual int32_t MaxRows() const { return 16384; }
  virtual int32_t MaxCols() const { return 256; }
  // The built-in number format a cell type is shown with.
  virtual int32_t NumberFormatOf(TCellType cellType) const;
  // The code of a format index NumberFormatOf gives (Excel's built-in
  // codes; the Open XML writer's currency format of its own).
  virtual std::string NumberFormatCode(int32_t index) const;
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
  // The number a typed text (title, header, constant) stands for: false
  // for a type that is not a number or date, or a text that is none.
  bool TextNumber(TCellType type, const std::string& text, double& number) const;

  // One cell as every Excel writer takes it, decided here once: what is
  // written (and the text it is written from) and the number format it is
  // shown with; the writers only put it in their records.
  struct TExcelCell {
    enum TKind : uint8_t { ecNone, ecBlank, ecNumber, ecBoolean, ecError, ecText, ecPicture };
    TKind Kind = ecNone;
    double Number = 0;
    bool IsInteger = false;       // Integer holds the number exactly
    int64_t Integer = 0;
    bool Boolean = false;
    std::string_view Error;       // "#N/A"
    // The text: a typed value (8-bit or wide) when there is one, else Text.
    const TVariant* TextValue = nullptr;
    const std::string* Text = nullptr;
    const void* TextKey = nullptr;  // the model's text block, for the string tables
    std::string_view FormatCode;    // Excel's language, UTF-8
    int32_t BuiltIn = -1;           // the built-in id it stands for, -1: none
  };
  // False when there is nothing to write (an empty cell beyond the grid);
  // raises the grid limits as AcceptCell does.
  bool ClassifyCell(TCellType cellType, int32_t row, int32_t column, const std::string& text, TExcelCell& cell);
  // The BIFF records of a classified cell (both BIFF writers, their friend
  // this class); a text, or an error BIFF has no code for, through writeText.
  template <class Biff, class WriteText>
  void EmitBiffCell(Biff& w, const TExcelCell& cell, int32_t row, int32_t column, int32_t xf, WriteText&& writeText) {
    switch (cell.Kind) {
      case TExcelCell::ecPicture: FPictures.push_back(TXLSPicture{}); break;  // BIFF holds no pictures here
      case TExcelCell::ecBlank:
        if (HasOption(soExportBlankValues)) w.WriteBlank(row, column, xf);
        break;
      case TExcelCell::ecNumber: w.WriteNumber(row, column, xf, cell.Number); break;
      case TExcelCell::ecBoolean: w.WriteBoolErr(row, column, xf, cell.Boolean ? 1 : 0, false); break;
      case TExcelCell::ecError:
        if (ExcelErrorCode(cell.Error) >= 0) {
          w.WriteBoolErr(row, column, xf, uint8_t(ExcelErrorCode(cell.Error)), true);
          break;
        }
        [[fallthrough]];
      case TExcelCell::ecText: writeText(); break;
      case TExcelCell::ecNone: break;
    }
  }
  // The cell's text as UTF-16, as the string tables hold it.
  std::u16string CellWideText(const TExcelCell& cell) const;

  // The one text-length rule of the workbook writers: text longer than the
  // format's cell holds is cut (on a character boundary, by the writer),
  // and the first such cell is told once per export as a warning.
  void NoteCutText(int32_t row, int32_t column, const std::string& limit);

  // Source column looks of the output's columns, in order (columnar
  // layout; empty otherwise): width in 1/256 of a character (0: the
  // reader's default width) and hidden.
  struct TColumnLook {
    int32_t Width256 = 0;
    bool Hidden = false;
  };
  const TColumnLook* ColumnLook(int32_t column) const {
    return column >= 0 && size_t(column) < FColumnLooks.size() ? &FColumnLooks[size_t(column)] : nullptr;
  }
  // Fills the looks from the columns (call from SetDimensions).
  void GatherColumnLooks();
  // What a column's COLINFO holds: the source's width (its reader's default
  // when it gave none) and hidden mark, else width characters. False: no
  // record (no source width and not hidden, or no width).
  bool ColumnInfo(int32_t column, int32_t width, int32_t& width256, bool& hidden) const;
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
  TXLSNumberFormats FNumberFormatIds;  // of the Open XML writer
  std::unique_ptr<TMemoryStream> FGathered;
  std::vector<TColumnLook> FColumnLooks;

 private:
  std::string FFallbackCode;  // a code ClassifyCell made
  int64_t FCutTexts = 0;
  std::string FFirstCut, FCutLimit;
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
  friend class TQXExportToCustomXLS;
  void Record(uint16_t number, const void* data, size_t size);
  // Cell attributes: the XF index a cell with this look takes.
  int32_t CellXF(int32_t numberFormat, TAlignment alignment, const TQXEFont& font, TColor color);
  void WriteNumber(int32_t row, int32_t column, int32_t xf, double value);
  void WriteLabel(int32_t row, int32_t column, int32_t xf, const std::string& text);
  void WriteBlank(int32_t row, int32_t column, int32_t xf);
  void WriteBoolErr(int32_t row, int32_t column, int32_t xf, uint8_t value, bool isError);
  void Touch(int32_t row, int32_t column);
  void WriteFormatsAndXFs();
  // A cell's text as bytes of the file's code page, cut at 255 bytes on a
  // character boundary (and told).
  std::string LabelBytes(const TExcelCell& cell, int32_t row, int32_t column);
  // The position of a number format in the file (General when it came too
  // late for cells that stream).
  int32_t FormatPosition(std::string_view code, int32_t builtIn);
  TXLSNumberFormats FNumberFormats{50, 255, true};
  int32_t FFormatsWritten = 0;

  int FCodePage = 1252;
  bool FConvert = false;     // file code page differs from the system one
  bool FGather = false;      // cell records wait for the formats (soColorsFonts)
  std::string FDefaultFontName = "Arial";
  int64_t FDimensionsPos = -1;
  int32_t FLastRow = -1;     // extent actually written
  int32_t FLastCol = -1;
};

class TXLSXSheetPart;

// The XML declaration every part of a written workbook starts with.
const char* XlsxDeclaration();

// A picture cell's image as the Open XML writer keeps it for its sheet.
struct TXLSXPicture {
  int32_t Row = 0, Column = 0;
  std::string Data;       // the image part's bytes
  std::string Extension;  // "png", "jpeg", "gif"
  int32_t Width = 0, Height = 0;  // pixels
};

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
  std::string NumberFormatCode(int32_t index) const override;
  std::string GetDefaultExt() override { return ".XLSX"; }
  // The name of the one sheet of a single-sheet package (made valid as
  // OpenWorkbook's are; empty: "Sheet1").
  std::u16string SheetName;

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
  // Opens a cell element with its style attribute; the rest goes on the
  // buffer returned, then the sheet part's EndCell.
  std::string& StartCell(int32_t row, int32_t column, int32_t xf);
  void PutNumber(int32_t row, int32_t column, int32_t xf, double value);
  void PutInteger(int32_t row, int32_t column, int32_t xf, int64_t value);
  void PutBoolean(int32_t row, int32_t column, int32_t xf, bool value);
  void PutString(int32_t row, int32_t column, int32_t xf, const TExcelCell& cell);
  void PutError(int32_t row, int32_t column, int32_t xf, std::string_view error);
  // A picture cell's image, kept for the drawing part (QXE2XLSXDrawing.cpp).
  void GatherPicture(TQXEField* field, int32_t row, int32_t column, const std::string& text);
  // The image part of picture data (PNG, JPEG and GIF as they are, bitmaps
  // as PNG); false for data that is no picture.
  static bool MakePicture(const std::string& data, TXLSXPicture& picture);
  // The sheet's drawing part, its image parts and relationships.
  void WriteDrawing(int32_t sheet);
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
  std::vector<TXLSXPicture> FSheetPictures;  // of the sheet being written
  int32_t FSheetIndex = 0;
  int32_t FMediaCount = 0;
  std::string FText;           // scratch: a text as the string table holds it
};
