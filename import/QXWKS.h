#pragma once
// Lotus 1-2-3 worksheets: the one-sheet family (WKS, WK1, WR1) and the
// multi-sheet family (WK3, WK4, .123), read record by record into the model.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "ByteReader.h"
#include "QXCells.h"
#include "QXIRecords.h"
#include "QXIUtils.h"
#include "Streams.h"

enum TWKSVersion : uint8_t { wvUnknown, wvWKS1, wvWKS2, wvWR1, wv123, wvWKS3, wvWKS4 };

const char* WKSVersionName(TWKSVersion v);  // "wvWKS3"

// One row-format entry of record 0x13.
struct TWK4Format {
  int32_t SheetNo = 0;
  int32_t Row = 0;
  uint8_t FormatCode = 0;
  uint32_t FormatValue = 0;
  uint8_t RunKind = 0;   // 0x00, 0x40, 0x80 or 0xC0
  uint8_t RunCount = 0;  // only for 0x80 and 0xC0
};

// The cell formats of a 1-2-3 97 file: runs of sheets, each holding runs of
// columns, each holding runs of rows, a row run with or without a format
// word. Fed the map's records in file order; a map that breaks the shape
// holds nothing.
class TLotusRunMap {
 public:
  void Clear();
  bool Empty() const { return FLevels.empty() || FBroken; }
  void Open();                  // 0x0106: the last run's runs follow
  void Close();                 // 0x0107
  void Run(uint32_t count);     // 0x0800
  void Value(uint32_t word);    // 0x0801: the last row run's format word
  void Share(uint16_t id);      // 0x0802: the runs that open next are known by id
  void Same(uint16_t id);       // 0x0803: the last run holds the runs known by id
  void Break() { FBroken = true; }
  const uint32_t* Find(uint32_t sheet, uint32_t column, uint32_t row) const;

 private:
  static constexpr size_t Depth = 3;
  static constexpr size_t MaxRuns = size_t(1) << 20;
  struct TRun {
    uint64_t End = 0;  // one past the last sheet, column or row of the run
    int32_t Inner = -1;
    bool HasValue = false;
    uint32_t Value = 0;
  };
  TRun* LastRun();

  std::vector<std::vector<TRun>> FLevels;
  std::vector<int32_t> FOpen;  // the levels being filled, outermost first
  std::unordered_map<uint16_t, int32_t> FShared;
  int32_t FShareNext = -1;
  size_t FRuns = 0;
  bool FBroken = false;
};

class TLotus123 : public TSpreadSheetFile {
 public:
  static constexpr size_t RecordBufferSize = 32768;

  TLotus123();

  TWKSVersion Version() const { return FVersion; }
  bool PasswordProtected() override { return FPasswordProtected; }
  void ResetData() override;
  void LoadFromFile(const std::string& fileName) override;
  void ParseStream(TStream& stream) override;

  const std::vector<TWK4Format>& FormatList() const { return FFormatList; }

 private:
  struct TCellAddress {
    int32_t SheetNo = 0;
    int32_t Row = 0;
    int32_t Column = 0;
  };
  // A row's cell formats in column order: (end column, format byte).
  // Rows that repeat another row's formats share its list.
  using TRowFormats = std::shared_ptr<const std::vector<std::pair<int32_t, uint8_t>>>;

  // True when the record was a BOF that ends the load.
  bool DispatchRecord(const TByteReader& r);
  bool OneSheetFamily() const;
  int32_t RecordSheet(const TByteReader& r) const;
  TCellAddress ReadAddress(const TByteReader& r) const;
  // The entry of the workbook's number formats a cell is shown with.
  int32_t CellFormat(const TCellAddress& a);
  // Raises EQXIFileFormatException for a cell outside the generation's grid.
  void Deliver(const TCellAddress& a, TVariant value, TAlignment alignment, TQXICellType cellType);
  TSheetGrid Grid() const;

  void ReadBlank(const TByteReader& r);
  void ReadInteger(const TByteReader& r);
  void ReadNumber(const TByteReader& r);
  void ReadLabel(const TByteReader& r, size_t prefixOffset);
  void ReadFormula(const TByteReader& r);
  void ReadFormulaString(const TByteReader& r);
  void ReadOneSheetString(const TByteReader& r);
  void ReadRowFormats(const TByteReader& r);
  void ReadExtendedNumber(const TByteReader& r);
  void ReadExtendedFormula(const TByteReader& r);
  void ReadSmallNumber(const TByteReader& r);
  void ReadPackedNumber(const TByteReader& r);
  void ReadDoubleNumber(const TByteReader& r);
  void ReadExtendedRecord(const TByteReader& r);
  void ReadSheetName(const TByteReader& r);
  void ReadRowHeights(const TByteReader& r);
  void ReadColumnWidths(const TByteReader& r);
  void ReadOneSheetColumnWidth(const TByteReader& r);
  void ReadRowFormatBytes(const TByteReader& r);
  void ReadCellFormatLayer();

  TWKSVersion FVersion = wvUnknown;
  bool FPasswordProtected = false;
  TBIFFRecordHeader FHeader;
  TRecordCursor* FCursor = nullptr;  // while the record loop runs
  TByteArray FRecordBuffer;
  std::vector<TWK4Format> FFormatList;
  std::vector<std::string> FStrings;  // kept for the published shape; nothing fills it
  // Format bytes of the multi-sheet family by sheet and row.
  std::unordered_map<uint32_t, TRowFormats> FRowFormats;
  std::array<int32_t, 256> FModelFormat;  // by format byte; -1 until known
  TLotusRunMap FCellFormats;               // 1-2-3 97
  bool FCellFormatsRead = false;
  std::unordered_map<uint32_t, int32_t> FModelFormat97;  // by format word
};

// The width 1-2-3 and Quattro Pro give a column when the file sets no
// default, in characters.
constexpr int32_t LotusDefaultColumnCharacters = 9;

// Helpers shared with the tests.
// The 10-byte little-endian 80-bit extended float at data; raises
// EConvertError for infinities and NaNs, which Lotus uses for error results.
double LotusExtendedToDouble(const uint8_t* data);
// Record 0x18: a signed word encoding a small number.
double LotusSmallNumber(int16_t w);
// Record 0x25 and its kin: bits 6-31 the magnitude, bit 5 the sign, bit 4
// divide (else multiply) by ten to the power of bits 0-3. Integer without
// a power, float with one.
TVariant LotusPackedNumber(uint32_t w);
// Record 0x10/0x27/0x28: the upper 32 bits of the double form a single-precision NaN.
bool LotusSpecialValue(uint64_t bits);
// Label prefix: "^" centred, a double quote right, anything else left.
TAlignment LotusPrefixAlignment(uint8_t prefix);
// A format byte of the special type with a date (D1-D5) or time (D6-D9) code.
bool LotusFormatIsDateTime(uint8_t format);
// The Excel format code of a format byte (bits 4-6 the type, 0-3 the
// decimals or the special code): fixed, scientific, currency, percent,
// comma, and the special ones (general, the dates D1-D5, the times D6-D9,
// hidden); General for the default and anything else.
std::string LotusFormatCode(uint8_t format);
// The Excel format code of a 1-2-3 97 format word: the format byte first;
// with the fixed type and bit 31 set, byte 2 picks one of the longer lists
// (currencies below 0x63, then dates to 0x79, then times).
std::string Lotus97FormatCode(uint32_t word);
