#pragma once
// Excel workbooks: TCustomMSExcel, the base shared by the BIFF reader
// (TMSExcel, here) and the Open XML reader, with the format tables, the
// number classification and the password request; and TMSExcel, which reads
// BIFF2 to BIFF8 record streams, plain or inside a compound document.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ByteReader.h"
#include "QXCells.h"
#include "QXIUtils.h"
#include "QXIRecords.h"
#include "QXI_Sum.h"
#include "Streams.h"

class TOleStorage;

enum TExcelVersion : uint8_t {
  evUnknown, evExcel2, evExcel3, evExcel4, evExcel5, evExcel7, evExcel8, evExcel9, evExcel12, evExcel12Bin
};

// One cell-format (XF) entry.
struct TXLSFormat {
  std::string FormatText;
  int32_t NumberFormat = -1;
  int32_t FontIndex = 0;
  bool IsDate = false;
  uint8_t HorzAlign = 0;
  uint8_t VertAlign = 0;
  int32_t FillColor = -1;
};

struct TXLSFont {
  std::string Name;
  int32_t Size = 0;  // points
  bool Bold = false;
  bool Italic = false;
  bool Underline = false;
  bool StrikeOut = false;
  uint8_t Charset = 0;
  int32_t Color = -1;
};

struct TXLSName {
  uint32_t Options = 0;
  std::string Name;
  std::string Definition;  // raw formula bytes
};

struct TXLSSharedFormula {
  int32_t SheetNo = 0;
  uint16_t FirstRow = 0;
  uint16_t LastRow = 0;
  uint8_t FirstCol = 0;
  uint8_t LastCol = 0;
  uint16_t TokenLength = 0;
  std::vector<uint8_t> Tokens;
};

struct TXLSSheetName {
  std::string Name;        // 8-bit text in the system code page
  uint32_t Position = 0;   // stream offset of the sheet's BOF
};

// Macro modules and drawing objects: kept for the published shape, never filled.
struct TVBAProjectItem {
  std::string Name;
  std::string StreamName;
  uint32_t Offset = 0;
};
using TVBAProjectItems = std::vector<TVBAProjectItem>;
struct TXLSSharedObject {
  int32_t Id = 0;
};
using TXLSSharedObjects = std::vector<TXLSSharedObject>;
struct TXLSObjectInSheet {
  int32_t SheetNo = 0;
  int32_t Id = 0;
};
using TXLSObjectsInSheet = std::vector<TXLSObjectInSheet>;

// LF becomes CR LF in cell texts; an LF that already follows a CR stays.
template <class S>
void ExpandLineFeeds(S& text) {
  using C = typename S::value_type;
  size_t lf = 0;
  for (C c : text) lf += c == C('\n');
  if (lf == 0) return;
  S out;
  out.reserve(text.size() + lf);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == C('\n') && (i == 0 || text[i - 1] != C('\r'))) out.push_back(C('\r'));
    out.push_back(text[i]);
  }
  text.swap(out);
}

class TCustomMSExcel : public TSpreadSheetFile {
 public:
  TCustomMSExcel();
  ~TCustomMSExcel() override;

  // Published
  TQXISummaryInformation SummaryInformation;
  TExcelVersion Version = evUnknown;
  int32_t SheetIndex = -1;
  bool ParseVBA = false;

  void SetSummaryInformation(const TQXISummaryInformation& value) { SummaryInformation.Assign(value); }

  // Clears the tables (after the model's part); Version is kept.
  void ResetData() override;

  // IsText: NumberFormats[Index] := Text. Otherwise a new (or, for a
  // non-empty Text, a reused) XFList entry.
  void AddFormat(bool isText, const std::string& text, int32_t fillColor, int32_t align, int32_t fontIndex,
                 int32_t index);
  // Number classification of a cell-format number (falls back to the number
  // itself as a number-format number when XFList has no entry for it), as
  // the workbook model decides it for every format (ClassifyNumberFormat).
  bool IsDateFormat(int32_t xf) const;
  bool IsPercentFormat(int32_t xf) const;
  // The same tests on a number-format number.
  bool IsDateNumberFormat(int32_t numberFormat) const;
  bool IsPercentNumberFormat(int32_t numberFormat) const;
  // The entry of the workbook's number formats (Sheets.Formats) that cells
  // of a cell format (XF) are shown with; General for an unknown XF.
  int32_t ModelFormat(int32_t xf);
  // The same for a number-format number (BIFF2 cells carry one).
  int32_t ModelNumberFormat(int32_t numberFormat);
  int32_t ResolveColor(int32_t index) const;
  static std::string ErrorCodeText(int32_t code);
  // The Unicode text rule: flags bit 0 set -> byteCount bytes of UTF-16LE;
  // otherwise each byte is the character with that code (ISO-8859-1).
  // Raises EBoundsError when the bytes are not all there.
  static std::u16string UnicodeText(const TByteReader& data, size_t offset, size_t byteCount, uint8_t flags);
  // RK number decoding.
  static double RKToDouble(uint32_t rk);
  // Horizontal alignment code (3 bits) to TAlignment.
  static TAlignment AlignmentOfCode(uint32_t code);

  // Reader tables (public so that tests and the Open XML reader use them).
  TBIFFRecordHeader RecordHeader;
  TByteArray RecordData;  // 32768 bytes
  uint64_t StreamPosition = 0;
  int32_t MaxRow = 0;
  int32_t MaxColumn = 0;
  bool DimensionsSeen = false;
  int32_t DimLastRow = 0;
  int32_t DimLastColumn = 0;
  std::vector<uint32_t> Palette;  // 32-bit colours, red in the low byte
  uint16_t PaletteCount = 0;
  std::vector<TXLSFont> Fonts;
  std::vector<std::unique_ptr<TXLSFormat>> XFList;
  std::vector<std::string> NumberFormats;
  std::vector<TXLSSheetName> SheetNames;
  // Cells that show an entry refer to it; it is stored once.
  std::vector<TSharedText> SharedStrings;
  bool Encrypted = false;
  TVBAProjectItems MacroItems;
  std::string MacroProjectText;
  std::string MacroText;
  // Encryption description of an encrypted package (Open XML reader).
  std::vector<uint8_t> EncryptionInfo;

 protected:
  // A number-format text as the file gives it: NumberFormats[index] holds
  // it in the system code page, the model gets it whole (UTF-8).
  void AddFormatCode(int32_t index, const std::u16string& code);
  // Whether number-format numbers below 164 are Excel's built-in ids (BIFF5
  // and later, Open XML) rather than positions in the file (BIFF2 to 4).
  virtual bool BuiltInFormatIds() const { return true; }
  // The code page that decides the East Asian and Thai built-in formats
  // (0: not known).
  virtual int BuiltInFormatCodePage() const;
  // Model entries by XF and by number-format number (-1: not yet known);
  // cleared whenever a format is added: a large sheet asks the same few
  // formats hundreds of thousands of times.
  std::vector<int32_t> FModelByXF, FModelByNumber;
  std::vector<std::string> FFormatCodes;  // UTF-8, by number-format number

  // Adds the built-in number formats 0..49.
  void LoadBuiltInFormats();
  // After the record loop: every font's colour through ResolveColor.
  void ResolveFontColors();
  // A compound document holding an encrypted Open XML package: its
  // EncryptionInfo is kept and the load refused. Returns when root holds no
  // EncryptionInfo stream.
  void RefuseEncryptedPackage(const TOleStorage& root);
  // Reads root's EncryptionInfo into EncryptionInfo; false when there is none.
  bool ReadEncryptionInfo(const TOleStorage& root);
  // Ensures MaxRow/MaxColumn cover a reported cell.
  void NoteCell(int32_t row, int32_t column) {
    if (row > MaxRow) MaxRow = row;
    if (column > MaxColumn) MaxColumn = column;
  }
};

class TMSExcel : public TCustomMSExcel {
 public:
  TMSExcel();
  ~TMSExcel() override;

  uint32_t MaxRecordLength = 0;
  double DateBase = 0;
  uint16_t BuildNumber = 0;
  uint16_t BuildYear = 0;
  std::vector<TXLSName> Names;
  std::vector<TXLSSharedFormula> SharedFormulas;
  TXLSSharedObjects SharedObjects;
  TXLSObjectsInSheet ObjectsInSheet;

  bool PasswordProtected() override { return Encrypted; }
  void ResetData() override;
  void LoadFromFile(const std::string& fileName) override;
  // The stream from its current position holds a compound document.
  void ParseStream(TStream& stream) override;

  // Parsers without the file adapter (tests, fuzzers, LoadFromFile); each
  // starts with ResetData. A record stream without container, from position 0.
  void ParsePlainStream(TStream& stream);
  void ParseStorage(const TOleStorage& root);

  // The BIFF generation of the record layout (2, 3, 4, 5 or 8), from the
  // BOF records; decides how texts and DIMENSIONS are laid out.
  int BiffGeneration() const { return FBiff; }

 protected:
  // Handles one record; false when the record is not one the dispatcher knows.
  bool DispatchRecord();
  // Global records
  void ReadBoundSheet(const TByteReader& r);
  void ReadFormat(const TByteReader& r);
  void ReadFormatBiff23(const TByteReader& r);
  void ReadFont(const TByteReader& r);
  void ReadXF(const TByteReader& r);
  void ReadPalette(const TByteReader& r);
  void ReadName(const TByteReader& r);
  void ReadSST(const TByteReader& r);
  void ReadFilePass(const TByteReader& r);
  void ReadCodePage(const TByteReader& r);
  bool BuiltInFormatIds() const override { return FBiff >= 5 || FBiff == 0; }
  int BuiltInFormatCodePage() const override;
  // Cell records
  // format is an entry of the workbook's number formats.
  void ReportCell(int32_t row, int32_t column, int32_t format, TAlignment alignment, TQXICellType cellType,
                  TVariant&& value);
  void ReportNumber(int32_t row, int32_t column, int32_t format, TAlignment alignment, const TVariant& v,
                    bool percentScaled);
  void ReadBiff2Cell(const TByteReader& r);
  // A BIFF2 cell's number format and alignment from its attribute bytes
  // at offset 4, or from the XF an IXFE record named when they say 63.
  void Biff2CellLook(const TByteReader& r, int32_t& format, TAlignment& align);
  void ReadNumber(const TByteReader& r);
  void ReadRK(const TByteReader& r);
  void ReadMulRK(const TByteReader& r);
  void ReadMulBlank(const TByteReader& r);
  void ReadLabel(const TByteReader& r);
  void ReadLabelSST(const TByteReader& r);
  void ReadBoolErr(const TByteReader& r);
  void ReadFormula(const TByteReader& r);
  void ReadString(const TByteReader& r);
  void ReadSharedFormula(const TByteReader& r);
  TAlignment XFAlignment(int32_t xf) const;
  void ReadDimensions(const TByteReader& r);
  void ReadColumnWidths(const TByteReader& r);
  void ReadRow(const TByteReader& r);

  // Texts by the generation's layout.
  // 8-bit text of BIFF2..BIFF7 in the workbook's code page.
  std::u16string ReadByteString(const TByteReader& r, size_t textOffset, size_t length) const;
  // BIFF8 string: length (8 or 16 bits) at off, flags, optional rich/ext
  // fields, characters; 'next' receives the offset after the string.
  std::u16string ReadBiff8String(const TByteReader& r, size_t off, bool longLength, size_t* next = nullptr) const;
  std::string CodePageText(const std::string& bytes) const;
  std::u16string CodePageWide(const std::string& bytes) const;

  // Record stream helpers.
  // The next record from the cursor into RecordHeader and RecordData.
  bool NextRecord();
  // The record loop over one stream; each record is handled by step, which
  // returns false to end the loop.
  template <class Step>
  void RecordLoop(TStream& stream, Step&& step);
  bool NextContinue(size_t& len, size_t& p);
  std::u16string ReadContinuedChars(size_t& len, size_t& p, uint8_t flags, size_t chars, bool& chainEnds);
  uint32_t RecordLimit() const;
  // A workbook whose FILEPASS record stands among the first records of the
  // stream: the stream seen through the cipher the default or a given
  // password opens (raising the protected-file error when none does);
  // nullptr for a workbook without FILEPASS there.
  std::unique_ptr<TStream> OpenEncrypted(TStream& stream);
  void OnBof(const TByteReader& r, uint16_t recNo);
  // Version and layout generation from a BOF record's number and data;
  // false for a number no generation uses.
  bool DecodeBof(uint16_t recNo, const TByteReader& r);
  // True when the stream ended inside a substream (before its EOF).
  bool StorageLoop(TStream& stream);
  void FinishLoad();
  // Dispatches through OnErrorProcess; false when the record is not handled.
  bool DispatchSafely();
  // "Record 0x0203 (sheet 2, stream offset 1234)" for messages.
  std::string RecordDescription() const;
  // The SheetNames entry whose position is that of a BOF, else expected / -1.
  int32_t EntryAt(uint64_t position, size_t expected) const;
  int32_t NamedEntryAt(uint64_t position) const;
  // Passes over a substream whose BOF was just read, up to its EOF.
  void SkipSubstream();

  TRecordCursor* FCursor = nullptr;  // the record stream being read
  int64_t FStreamSize = 0;
  int FBiff = 0;                // record layout generation
  int FCodePage = 1252;         // BIFF2..BIFF7 text
  bool FSkipping = false;
  bool FDecrypting = false;     // the record stream is read through a cipher
  int32_t FBiff2FormatCount = 0;
  int32_t FBiff2Ixfe = -1;  // the XF of the next BIFF2 cell whose attributes say 63
  // A formula with a text result waits for its STRING record.
  bool FPendingString = false;
  int32_t FPendingRow = 0;
  int32_t FPendingCol = 0;
  int32_t FPendingFormat = 0;
  TAlignment FPendingAlign = taLeftJustify;
};
