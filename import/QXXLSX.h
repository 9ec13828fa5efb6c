#pragma once
// Excel Open XML workbooks (.xlsx, .xlsm, .xltx, ...) and their binary-record
// variant (.xlsb): the package is found through its relationships, the
// workbook, shared strings and styles are read into TCustomMSExcel's tables,
// and each sheet part is streamed from its zip entry cell by cell.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "QXIXML.h"
#include "QXIZipFile.h"
#include "QXXLS.h"

class TOleStorage;
class TQXXMLEngine;
class TQXXMLItem;
class TQXXMLRawText;

class TMSExcelX : public TCustomMSExcel {
 public:
  TMSExcelX();
  ~TMSExcelX() override;

  // 0-based index of the sheet being read.
  int32_t CurrentSheet = 0;
  // Rows of sheet parts are taken by a dedicated scanner where they have
  // the usual shape, by the general XML engine otherwise; both give the same
  // cells. Off: the engine alone (tests and fuzzing compare the two).
  bool ScanRows = true;
  // Rows the scanner took in the last load (the engine read the others).
  int64_t ScannedRows() const { return FScannedRows; }
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
  static bool DecodeCellRef(const char* text, size_t length, int32_t& column, int32_t& row);
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
  // last: no later sheet reads the part, which gives its memory back as it
  // is read (SheetPartStream).
  void ReadSheetXml(const std::string& part, bool last);
  std::unique_ptr<TZipEntryStream> SheetPartStream(const std::string& part, bool last);

  // Binary parts (QXXLSXBinary.cpp)
  void ReadWorkbookBin();
  void ReadSharedStringsBin(const std::string& part);
  void ReadStylesBin(const std::string& part);
  void ReadSheetBin(const std::string& part, bool last);

  // One <c> element of a sheet part, as the XML engine's handler and the row
  // scanner both take it; DeliverSheetCell types it and delivers it.
  struct TSheetCell {
    int32_t Row = -1, Column = -1;
    int64_t Style = -1;   // s=; -1 when missing or not a number
    std::u16string Type;  // t=
    std::u16string Value, InlineText;
    bool HasValue = false, HasInline = false;
  };
  // Where the rows and cells of a sheet part go, from their r= (or after
  // the one before); attribute text wide or as the document's bytes.
  struct TSheetCursor {
    int32_t Row = -1, LastCol = -1;
    int64_t Misnumbered = 1;  // an r= below 1 the last row gave (1: none)
    template <class Ch>
    void StartRow(std::basic_string_view<Ch> attrs);
    // The cell's address and s=; type is a view of its t=. The attributes
    // as text, or already split (in the order of the text).
    template <class Ch>
    void StartCell(std::basic_string_view<Ch> attrs, int32_t& row, int32_t& column, int64_t& style,
                   std::basic_string_view<Ch>& type);
    void StartCell(const TXMLAttributeView<char>* attrs, size_t count, int32_t& row, int32_t& column,
                   int64_t& style, std::string_view& type);

   private:
    template <class Ch, class ForEach>
    void StartCellWith(ForEach&& forEach, int32_t& row, int32_t& column, int64_t& style,
                       std::basic_string_view<Ch>& type);
  };
  // A cell error the handler lets pass costs that cell only.
  void DeliverSheetCell(TSheetCell& cell);
  // Whole rows of sheetData straight from the bytes, as long as they have
  // the usual shape (QXXLSXSheetScan.cpp). A row's cells are delivered once
  // its end tag is read: any other row is left to the engine whole.
  // With a processor lent for it (FRowLoan) and much of the part to come,
  // the rows are scanned on a thread of its own, which inflates the part
  // too, while this one delivers their cells.
  void ScanSheetRows(TQXXMLEngine& engine, TQXXMLRawText& text, TSheetCursor& cursor, TSheetCell& cell);
  void ScanSheetRowsBeside(TQXXMLRawText& text, TSheetCursor& cursor, TSheetCell& cell);
  class TSheetRowScan;
  struct TScannedCell;
  // The next row of the usual shape, its cells appended (offsets from row),
  // the cursor past it; false where the engine must read on (the cursor and
  // cells as they were) or the part has ended. The row stays in text.
  static bool NextRow(TQXXMLRawText& text, TSheetCursor& cursor, std::vector<TScannedCell>& cells,
                      const char*& row, const char*& end);
  void DeliverScannedCell(const char* row, const TScannedCell& c, TSheetCell& cell);
  // Below this a part is scanned before a thread would have started.
  static constexpr int64_t MinRowThreadBytes = int64_t(1) << 20;
  std::unique_ptr<TProcessorLoan> FRowLoan;
  int FRowThreads = 0;  // started for the part being read
  // The same for the strings (<si>) of the shared-strings part.
  void ScanSharedStrings(TQXXMLEngine& engine, TQXXMLRawText& text);
  // A shared string as the part holds it: entities and escapes decoded.
  void AddSharedStringXml(std::u16string& text);
  struct TScannedCell {  // offsets into the row's bytes
    int32_t Row, Column;
    int64_t Style;
    uint32_t Type, TypeLength, Value, ValueLength, Inline, InlineLength;
    bool HasValue, HasInline;
  };
  std::vector<TScannedCell> FScannedCells;
  // Progress: every part counts for its bytes in the package (the shared
  // strings first, then each sheet), reported within the part being read
  // at every row or string (every LoadProgressStep of them) while a
  // TPartProgressScope of it lives.
  void PlanProgress(const std::string& sharedStrings);
  int64_t PartBytes(const std::string& part) const;
  int64_t SheetBytes(const TSheetEntry& sheet) const;
  // position: how far into the part's stream (-1: where it is now).
  void NotePartProgress(int64_t position = -1);
  void EndProgressPart(int64_t bytes);
  struct TPartProgressScope {
    TPartProgressScope(TMSExcelX& reader, TStream& part, int64_t bytes) : Reader(reader) {
      Reader.FSheetStream = &part;
      Reader.FProgressPart = bytes;
    }
    ~TPartProgressScope() { Reader.FSheetStream = nullptr; }
    TPartProgressScope(const TPartProgressScope&) = delete;
    TPartProgressScope& operator=(const TPartProgressScope&) = delete;
    TMSExcelX& Reader;
  };
  TStream* FSheetStream = nullptr;
  int64_t FProgressDone = 0, FProgressPart = 0, FProgressTotal = 0;
  int64_t FScannedRows = 0;

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
