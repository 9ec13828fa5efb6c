#pragma once
// The Excel 97-2003 workbook writer: every sheet of a source in one
// compound document ("Workbook" stream, BIFF8 records), text as Unicode in
// a shared-string table, numbers, dates (numbers with a date format) and
// booleans as themselves.
//
// TQXEXLS8Book gathers a workbook: each sheet's substream (BOF, COLINFO,
// DIMENSIONS, the cells as RK, NUMBER, LABELSST, BOOLERR and BLANK records,
// WINDOW2, EOF) waits in an unnamed temporary file, because the globals
// that must come first (fonts, cell formats, the sheet list with each
// sheet's offset, the string table) are complete only after the last cell.
// WriteTo then writes the globals and copies the sheets behind them. It
// holds in memory the unique strings and the globals (about the size of
// the string table), nothing per cell. No ROW, INDEX or DBCELL records are
// written; readers do not need them.
//
// TQXExportToXLS8 is the export component that writes one sheet into a
// book. Without a book of its own, each file it writes is a workbook of its
// one sheet. A sheet holds 65,536 rows and 256 columns; more fails the
// export with a message naming the limit (nothing is cut silently).
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "QXE2XLS.h"

// One cell look in the workbook: font, number format, horizontal
// alignment code and fill palette index (-1: no fill).
struct TXLS8CellStyle {
  int32_t Font = 0;
  int32_t NumberFormat = 0;
  int32_t Alignment = 0;
  int32_t Fill = -1;
  bool operator==(const TXLS8CellStyle&) const = default;
};

class TQXEXLS8Book {
 public:
  // Sheets wait in an unnamed temporary file in spoolDir (the system's
  // temporary folder when empty); that file goes with the book.
  explicit TQXEXLS8Book(const std::string& spoolDir = {});
  ~TQXEXLS8Book();
  TQXEXLS8Book(const TQXEXLS8Book&) = delete;
  TQXEXLS8Book& operator=(const TQXEXLS8Book&) = delete;

  // Bytes the waiting sheets may take (0: no limit): the output's budget,
  // which they are part of.
  int64_t SpoolBudget = 0;

  // A new sheet; its name is made valid (see ValidSheetName). Its records
  // go to Spool() until EndSheet.
  void BeginSheet(const std::u16string& name);
  void EndSheet();
  TStream& Spool();
  // Position of the open sheet's next byte, counted from its BOF.
  int64_t SheetPosition();
  // Overwrites bytes already written to the open sheet.
  void PatchSheet(int64_t position, const void* data, size_t size);
  int32_t SheetCount() const { return int32_t(FSheets.size()); }
  const std::u16string& SheetName(int32_t index) const { return FSheets.at(size_t(index)).Name; }

  // Index of a text in the string table (added when new); every call
  // counts one use. A text with a key (the model's text block, which cells
  // showing one shared text have in common) is found by it without being
  // hashed again.
  uint32_t AddString(const std::u16string& text);
  bool FindString(const void* key, uint32_t& index);
  uint32_t AddString(const void* key, const std::u16string& text);
  // The font's index as cell formats refer to it; 0 (the default font)
  // once the workbook holds as many fonts as it can.
  int32_t AddFont(const TQXEFont& font);
  // The XF index of a cell look.
  int32_t CellXF(const TXLS8CellStyle& style);

  // Number formats 5 to 8 and 41 to 44 depend on regional settings (the
  // currency); the component gives their codes, with "." and "," in their
  // own meaning as the file format stores them. A source's own code for
  // one of them (in Formats) takes its place.
  std::vector<std::pair<int32_t, std::string>> RegionalFormats;
  // The cells' number formats (UTF-8 codes), ids as cell formats refer to them.
  TXLSNumberFormats Formats;
  // Written as they stand into the book's summary information (title,
  // subject, author, keywords, creation time).
  TDocumentProperties Properties;

  // Globals, then every sheet, as a compound document written to sink.
  void WriteTo(TStream& sink);

  // A name Excel accepts: "[]:*?/\", control characters, U+FFFE, U+FFFF
  // and unpaired surrogates as "_", no apostrophe at either end,
  // at most 31 characters (never half a surrogate pair), not empty
  // ("Sheet<n>" instead, n counted from 1), and unlike every name in
  // taken ignoring case (a " (2)" style suffix makes it so). taken holds
  // names as FoldedName gives them; the result is added.
  static std::u16string ValidSheetName(const std::u16string& wanted, int32_t index,
                                       std::unordered_set<std::u16string>& taken);
  // A name with case folded, as sheet names are compared.
  static std::u16string FoldedName(const std::u16string& name);

  static constexpr int32_t MaxRows = 65536;
  static constexpr int32_t MaxCols = 256;
  // Longest text of a cell, in UTF-16 units.
  static constexpr size_t MaxTextLength = 32767;

 private:
  struct TSheet {
    std::u16string Name;
    int64_t Offset = 0;  // in the spool
    int64_t Size = 0;
  };
  struct TStyleHash {
    size_t operator()(const TXLS8CellStyle& s) const;
  };
  void WriteGlobals(TMemoryStream& out, int64_t& sheetOffsetsAt);

  std::string FSpoolDir;
  std::unique_ptr<TFileStream> FSpool;
  std::vector<TSheet> FSheets;
  std::unordered_set<std::u16string> FSheetNames;  // folded
  bool FSheetOpen = false;
  std::unordered_map<std::u16string, uint32_t> FStringIndex;
  std::unordered_map<const void*, uint32_t> FKeyIndex;
  std::vector<const std::u16string*> FStrings;
  uint64_t FStringUses = 0;
  std::vector<TQXEFont> FFonts;
  std::vector<TXLS8CellStyle> FStyles;
  std::unordered_map<TXLS8CellStyle, int32_t, TStyleHash> FStyleIndex;
};

class TQXExportToXLS8 : public TQXExportToCustomXLS {
 public:
  TQXExportToXLS8();
  ~TQXExportToXLS8() override;
  int32_t FormatLevel() const override { return 8; }
  int32_t MaxRows() const override { return TQXEXLS8Book::MaxRows; }
  int32_t MaxCols() const override { return TQXEXLS8Book::MaxCols; }

  // The sheet's name in the workbook (made valid there).
  std::u16string SheetName;
  // The workbook the sheet joins (borrowed). Without one, every file is a
  // workbook of its one sheet.
  TQXEXLS8Book* Book = nullptr;

 protected:
  bool WantsValueText() const override { return HasOption(soFieldMask); }
  void StartFile() override;
  void SetDimensions(int32_t rowCount, int32_t colCount) override;
  std::string NumberFormatCode(int32_t index) const override;
  void SetColumnWidth(int32_t column, int32_t width) override;
  void BeginRow() override;
  void WriteCell(TQXEField* field, TCellType cellType, int32_t row, int32_t column, const std::string& text,
                 TAlignment alignment, const TQXEFont& font, TColor color) override;
  void EndOfFile() override;
  void FinishExport() override;

  void WriteData(const void* data, size_t size) override;
  // Fonts, formats and XFs belong to the book's globals; the book writes them.
  void WriteFont(const TQXEFont&) override {}
  void WriteFormat(int32_t, const std::string&, bool) override {}
  void WriteXF(const TXLSFormat&, int32_t) override {}

 private:
  friend class TQXExportToCustomXLS;
  TQXEXLS8Book& CurrentBook();
  void Record(uint16_t number, const void* data, size_t size);
  void EnsureDimensions();
  int32_t CellXF(int32_t numberFormat, TAlignment alignment, const TQXEFont& font, TColor color);
  void Touch(int32_t row, int32_t column);
  void WriteNumber(int32_t row, int32_t column, int32_t xf, double value);
  void WriteLabelSST(int32_t row, int32_t column, int32_t xf, const TExcelCell& cell);
  void WriteBlank(int32_t row, int32_t column, int32_t xf);
  void WriteBoolErr(int32_t row, int32_t column, int32_t xf, uint8_t value, bool isError);

  std::unique_ptr<TQXEXLS8Book> FOwnBook;
  TQXEFont FDefaultFont;
  int64_t FDimensionsPos = -1;
  int32_t FLastRow = -1;
  int32_t FLastCol = -1;
};
