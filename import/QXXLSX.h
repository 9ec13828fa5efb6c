#pragma once
// Excel Open XML workbooks (.xlsx, .xlsm, .xltx, ...) and their binary-record
// variant (.xlsb): the package is found through its relationships, the
// workbook, shared strings and styles are read into TCustomMSExcel's tables,
// and each sheet part is streamed from its zip entry cell by cell.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "QXIZipFile.h"
#include "QXXLS.h"

class TOleStorage;
class TQXXMLEngine;
class TQXXMLItem;

class TMSExcelX : public TCustomMSExcel {
 public:
  TMSExcelX();
  ~TMSExcelX() override;

  // 0-based index of the sheet being read.
  int32_t CurrentSheet = 0;
  // 1462 in workbooks that count dates from 1904, else 0.
  double DateBase = 0;

  bool PasswordProtected() override { return Encrypted; }
  void ResetData() override;
  // Version from the extension (.xlsb/.xltb/.xlab: evExcel12Bin), then the
  // file is parsed; the parts found decide the variant in the end.
  void LoadFromFile(const std::string& fileName) override;
  void LoadFromStream(TStream& stream) override;
  // A zip package, or a compound document holding an encrypted package
  // ("Unknown encryption for data file.") or a plain one in a "Package"
  // stream. Anything else fails with "Invalid file version or file format.".
  void ParseStream(TStream& stream) override;
  void ParseStorage(const TOleStorage& root);

  // One relationship of a part, its target resolved to a package part name.
  struct TRelationship {
    std::string Type;    // the type URI's last segment ("worksheet", "styles", ...)
    std::string Target;  // part name, without leading "/"
  };
  // Sheets as the workbook lists them.
  struct TSheetEntry {
    std::u16string Name;
    std::string RelId;
    std::string Part;  // resolved part name; empty when none was found
    std::string Type;  // relationship type ("worksheet", "chartsheet", ...)
  };
  const std::vector<TSheetEntry>& SheetEntries() const { return FSheets; }

  // Helpers shared by the XML and binary halves (public for tests).
  // "AA10" -> column 26, row 9; small letters are accepted; false when the
  // reference holds no column.
  static bool DecodeCellRef(const char16_t* text, size_t length, int32_t& column, int32_t& row);
  // "2024-03-01T12:30:00Z" (date, time or both) -> date-time.
  static bool ParseISODateTime(const std::u16string& text, double& value);
  // Resolves a relationship target against the part that holds it.
  static std::string ResolvePartName(const std::string& sourcePart, const std::string& target);
  // Excel's escapes of characters XML cannot hold: "_x000D_" -> CR, "_x005F_" -> "_".
  static void DecodeXStringEscapes(std::u16string& text);

 private:
  void ParsePackage();
  // Decrypts the package of root (which holds EncryptionInfo) with the
  // default or a given password and reads it.
  void OpenEncryptedPackage(const TOleStorage& root);
  std::map<std::string, TRelationship> ReadRelationships(const std::string& part);
  void ReadDocumentProperties();
  void FindSheets();
  void AnnounceAndReadSheets();
  void AddSharedString(std::u16string&& text);

  // XML parts (QXXLSX.cpp)
  void ReadWorkbookXml();
  void ReadSharedStringsXml(const std::string& part);
  void ReadStylesXml(const std::string& part);
  void ReadSheetXml(const std::string& part);

  // Binary parts (QXXLSXBinary.cpp)
  void ReadWorkbookBin();
  void ReadSharedStringsBin(const std::string& part);
  void ReadStylesBin(const std::string& part);
  void ReadSheetBin(const std::string& part);

  // Cell delivery shared by both variants. The one mapping of a cell's
  // style index (the s attribute; -1 when it has none) to the entry of the
  // workbook's number formats every cell is delivered with.
  int32_t CellFormat(int64_t style);
  void DeliverNumber(int32_t row, int32_t column, int32_t format, double value);
  void DeliverText(int32_t row, int32_t column, int32_t format, std::u16string&& text);
  void DeliverSharedString(int32_t row, int32_t column, int32_t format, int64_t index);
  void Deliver(int32_t row, int32_t column, int32_t format, TVariant&& value, TQXICellType type);
  // Checks the address against the grid (raising outside it) and notes the
  // cell in the extent; false for a negative address, which is dropped.
  bool Deliverable(int32_t row, int32_t column);
  std::string Where(int32_t row, int32_t column) const;
  // After an XML part: a part cut short is remembered (the load ends
  // "truncated" once every part was read), other damage is a warning.
  void CheckPart(const TQXXMLEngine& e, const std::string& part);
  std::string FTruncated;

  // Sheet geometry, gathered while a sheet part is read: the declared
  // extent is reported at once, the column widths when the part ends (only
  // for columns up to the last cell, so a default width for every column of
  // the grid costs nothing).
  void BeginSheetGeometry();
  // Rows and columns 0-based, inclusive, as both variants store them.
  void DeclareDimension(int64_t firstRow, int64_t lastRow, int64_t firstCol, int64_t lastCol);
  // Width in 1/256 of a character.
  void AddColumnWidths(int64_t firstCol, int64_t lastCol, int64_t width, bool hidden);
  void EndSheetGeometry();
  struct TColumnRange {
    int32_t First, Last, Width;
    bool Hidden;
  };
  std::vector<TColumnRange> FColumnRanges;
  bool FDimensionSeen = false;
  int32_t FDimRows = 0, FDimCols = 0;
  int32_t FSheetMaxRow = -1, FSheetMaxCol = -1;

  std::unique_ptr<TZipArchive> FZip;
  std::string FWorkbookPart;
  std::map<std::string, TRelationship> FWorkbookRels;
  std::vector<TSheetEntry> FSheets;
  std::vector<std::u16string> FPartTitles;  // sheet names of docProps/app.xml
  bool FWorkbookSeen = false;
  // Texts stay wide when the system code page cannot hold them.
  bool FWideCells = false;
  int FNesting = 0;               // packages opened inside compound documents
};
