#pragma once
// The Excel writers. TQXExportToCustomXLS holds what the .xls and .xlsx
// writers share (fonts, cell formats, the string table, pictures, the row
// limit, the built-in number formats); TQXExportToXLS writes one worksheet
// as a stand-alone BIFF4 record stream.
//
// The .xls file: BOF, CODEPAGE, COUNTRY, FONT, FORMAT and XF records before
// any cell (other readers refuse cells whose formats come later), a
// DIMENSIONS that tells the real extent, COLINFO widths, the cells as BIFF4
// BLANK, RK, NUMBER, LABEL and BOOLERR records, and EOF. A BIFF4 sheet holds
// 16,384 rows (the most that xlrd and Gnumeric read) and 256 columns; more
// fails the export with a message naming the limit.
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "QXE2Cell.h"

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

// The shared-string table of the Open XML writer.
class TQXEXLSSST {
 public:
  int32_t Add(const std::string& text);
  int32_t Count() const { return int32_t(FStrings.size()); }
  const std::vector<std::string>& Strings() const { return FStrings; }
  std::vector<int32_t> RecordSizes;
  void Clear();

 private:
  std::vector<std::string> FStrings;
  std::unordered_map<std::string, int32_t> FIndex;
};

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
  // regional settings, in Excel's language.
  std::string BuiltInFormat(int32_t index) const;

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
  int32_t GridRowLimit() const override { return MaxRows(); }
  int32_t GridColLimit() const override { return MaxCols(); }

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
