#pragma once
// Quattro Pro spreadsheets: the plain record files of the DOS and early
// Windows generations (.wq1, .wq2, .wkq, .wb1, .wb2) and the notebooks kept
// in a compound document (.wb3 with the classic records, .qpw with the
// notebook records of version 9 and later).
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "ByteReader.h"
#include "QXCells.h"
#include "QXIUtils.h"
#include "QXIRecords.h"
#include "QXI_Sum.h"
#include "Streams.h"

class TOleStorage;

// qvWB1 came last: the first seven keep the ordinal values callers know.
enum TWQVersion : uint8_t { qvUnknown, qvWQ1, qvWQ2, qvWKQ, qvWB2, qvWB3, qvQP9, qvWB1 };

const char* WQVersionName(TWQVersion v);  // "qvWB2"

class TQuattroPro : public TSpreadSheetFile {
 public:
  // Every length a record head can declare fits, so no record is cut short
  // or dropped for its size.
  static constexpr size_t RecordBufferSize = 65535;

  TQuattroPro();
  ~TQuattroPro() override;

  // Published
  TQXISummaryInformation SummaryInformation;
  void SetSummaryInformation(const TQXISummaryInformation& value) { SummaryInformation.Assign(value); }
  TWQVersion Version() const { return FVersion; }

  void ResetData() override;
  void LoadFromFile(const std::string& fileName) override;
  // A plain record stream, or a compound document holding a notebook,
  // whichever the data begins with. A stream that ends before its end
  // record raises EQXIFileTruncatedException once the rest is read.
  void ParseStream(TStream& stream) override;

  // The shared strings of a notebook; cells refer to them from 1.
  // Cells that show an entry refer to it; it is stored once.
  const std::vector<TSharedText>& StringTable() const { return FStringTable; }

 private:
  // The record being handled: where it starts in its stream and its data.
  struct TRecord {
    uint16_t Opcode = 0;
    uint16_t Length = 0;
    int64_t Offset = 0;
  };
  // Where a cell goes, and the style its format comes from.
  struct TCellHead {
    int32_t Sheet = 0;
    int32_t Row = 0;
    int32_t Column = 0;
    int32_t Style = 0;     // the file's style number
    size_t Payload = 0;    // offset of the value in the record
    int32_t Format = 0;    // entry of the workbook's number formats
  };
  struct TGrid {
    int64_t Rows;
    int64_t Cols;
    int64_t Sheets;
    const char* Name;
  };

  // The record loop over one stream: classic records, or notebook records
  // while Version says so. Returns false when the data ended before the end
  // record; cut then says how.
  bool ReadRecords(TStream& stream, std::string& cut);
  void ParseCompound(TStream& stream);
  void ReadSummaryStreams(const TOleStorage& root);
  void HandleRecord(const TRecord& rec);
  [[noreturn]] void Damaged(const std::string& what) const;
  TGrid Grid() const;
  // Raises for a cell outside the generation's grid (the error path decides).
  void CheckGrid(int32_t sheet, int64_t row, int64_t column) const;
  void Deliver(const TCellHead& h, TVariant value, TAlignment alignment, TQXICellType cellType);
  // Integers and decimals typed by the cell's format.
  void DeliverNumber(const TCellHead& h, const TVariant& value, TAlignment alignment);
  void DeliverFormulaResult(const TCellHead& h, uint64_t bits, TAlignment alignment);

  // Classic records (QXWQ.cpp).
  void DispatchClassic(const TByteReader& r);
  void ReadBof(const TByteReader& r);
  TCellHead ClassicHead(const TByteReader& r);
  // The workbook's entry for a classic style number (a Lotus format byte
  // in the DOS files).
  int32_t ClassicStyleFormat(int32_t style);
  // The entry of a format code, by the generation's kind of format (0: a
  // Lotus format byte, 1: a Windows format byte, 2: a notebook format word).
  int32_t ModelFormat(int kind, uint16_t format);
  void ReadClassicCell(const TByteReader& r);
  std::string ClassicText(const TByteReader& r, size_t offset, bool pascal) const;
  void ReadClassicDimensions(const TByteReader& r);
  void ReadClassicColumnWidth(const TByteReader& r);
  void ReadPageColumnWidth(const TByteReader& r);
  void ReadClassicSheet(const TByteReader& r);
  void ReadClassicSheetName(const TByteReader& r);
  void ReadClassicStyle(const TByteReader& r);

  // Notebook records (QXWQNotebook.cpp).
  void DispatchNotebook(const TByteReader& r);
  void ReadAuthors(const TByteReader& r);
  void ReadStringTable(const TByteReader& r);
  void ReadNotebookStyles(const TByteReader& r);
  void ReadNotebookSheet(const TByteReader& r);
  void ReadNotebookColumnWidth(const TByteReader& r);
  void ReadCellBlock(const TByteReader& r);
  void ReadNotebookCell(const TByteReader& r);
  void ReadFormulaText(const TByteReader& r);
  TCellHead NotebookHead(int32_t row, int32_t column, int32_t style);

  TWQVersion FVersion = qvUnknown;
  TRecord FRecord;
  TRecordCursor* FCursor = nullptr;  // while a record loop runs
  TByteArray FRecordBuffer;
  int32_t FCurrentSheet = 0;
  int32_t FCurrentColumn = -1;
  bool FSheetSeen = false;  // a sheet record announced CurrentSheet
  std::vector<TSharedText> FStringTable;
  // Format of each style: Lotus format bytes (.wq2), Windows format bytes
  // (.wb1 to .wb3) or notebook format words (.qpw), by style number.
  std::vector<uint16_t> FStyleFormats;
  std::unordered_map<uint32_t, int32_t> FModelFormats;  // (kind, format) -> entry
};

// Format codes that show dates or times (D1 to D5, D6 to D9). The DOS
// generations use the Lotus format byte (LotusFormatIsDateTime, QXWKS.h).
// A Windows-generation format byte (.wb1 to .wb3): special types 0 and 6, codes 5 to 13.
bool QuattroFormatIsDateTime(uint8_t format);
// A notebook format word: type 0 in bits 5 and up, codes 5 to 13 in the low five bits.
bool QuattroNotebookFormatIsDateTime(uint16_t format);
// The Excel format code of a Windows-generation format byte: bits 4-6 the
// type (1 fixed, 2 scientific, 3 currency, 4 percent, 5 comma; 0 and 6 the
// special ones), bits 0-3 the decimals or the special code (2 general, 5-9
// the dates D1-D5, 10-13 the times D6-D9); General for anything else.
std::string QuattroFormatCode(uint8_t format);
// The same for a notebook format word (the type from bit 5 on, the code in
// the low five bits).
std::string QuattroNotebookFormatCode(uint16_t format);
