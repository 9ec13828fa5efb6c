#pragma once
// The spreadsheet side of the batch job: which source files are accepted,
// which reader loads each one, and how every sheet is written in the chosen
// destination format. The wizard window and varnowe-batch share it.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BatchDriver.h"
#include "ExportHandOff.h"
#include "PlainWriters.h"
#include "QXCells.h"
#include "QXIUtils.h"
#include "ReaderSniffing.h"

struct TDestinationFormat {
  const char* ItemText;   // "Comma-delimited (*.csv)"
  const char* Extension;  // ".csv"
};
inline constexpr int DestinationFormatCount = 7;
// The items of rgDestination, by index.
extern const TDestinationFormat DestinationFormats[DestinationFormatCount];

// Group box and check box captions of the source-format choice.
extern const char* const SourceFormatsCaption;  // " Source formats "
extern const char* const MSExcelCaption;        // "MS Excel (*.xls, *.xlsx)"
extern const char* const LotusCaption;          // "Lotus 1-2-3 (*.wk?, *.123, *.wr1)"
extern const char* const QuattroProCaption;     // "Quattro Pro (*.wq?, *.wkq, *.wb3, *.qpw)"
extern const char* const OpenOfficeCaption;     // "Open Office spreadsheet (*.ods)"

class TSpreadsheetConversion {
 public:
  TSpreadsheetConversion();
  ~TSpreadsheetConversion();
  TSpreadsheetConversion(const TSpreadsheetConversion&) = delete;
  TSpreadsheetConversion& operator=(const TSpreadsheetConversion&) = delete;

  // The source families the user ticked.
  bool chkMSExcel = true;
  bool chkLotus = true;
  bool chkQuattroPro = true;
  bool chkOpenOffice = true;

  // Passwords tried on protected files, in order, after the one their format
  // uses when none was given (UTF-8; never shown or logged).
  std::vector<std::string> Passwords;
  // Asked once for a protected file none of Passwords opens (the window's
  // dialog): true with a password to try, false to leave the file.
  std::function<bool(const std::string& sourcePath, std::string& password)> OnAskPassword;
  // A reader's OnPassword: each of passwords, then ask's answer (once).
  static TPasswordEvent PasswordSource(std::vector<std::string> passwords,
                                       std::function<bool(std::string& password)> ask = nullptr);

  // Name is a bare file name or a full path; only its name part is tested.
  bool IsFileAccepted(const std::string& name) const;
  // The same with every family ticked: a file some reader takes.
  static bool IsSpreadsheetName(const std::string& name);
  // ".txt" .. ".pdf" for 0 to 6, else "".
  std::string GetDestinationExt(int index) const;
  // The readers live from CreateConverters to FreeConverters (one run).
  void CreateConverters();
  void FreeConverters();
  // Loads sourcePath with the reader its extension (or, for an extension no
  // reader is known by, its content) selects and writes sheet 0 to
  // destinationPath and every later sheet with cells to destinationPath
  // with the sheet position before the extension. Raises on any failure.
  // With a run's item: the load and the writers poll its stop and keep its
  // budgets, sheet outputs get names no other output of the run has, and an
  // existing file is never replaced while overwriting is off. A truncated
  // file still has what was read written; its error says so.
  void ConvertFile(const std::string& sourcePath, const std::string& destinationPath, int index,
                   TItemContext* item = nullptr);
  // Told of every output file ConvertFile has written, in order.
  std::function<void(const std::string& path)> OnOutputWritten;
  // The reader ConvertFile chose for the file it was last given (nullptr when
  // none fitted); it stays valid until FreeConverters.
  TSpreadSheetFile* LastReader() const { return FLastReader; }
  TReaderKind LastReaderKind() const { return FLastReader ? FLastKind : rkNone; }

  // Which reader ConvertFile uses for a file: by extension, by content for
  // an extension no reader is known by; a zip package under an Excel name,
  // or a BIFF workbook under an Open XML name, by its content too.
  static TReaderKind ChooseReader(const std::string& sourcePath);
  // The same over the source opened already (nullptr: opened here as needed).
  static TReaderKind ChooseReader(const std::string& sourcePath, TStream* opened);
  // Output path of sheet n: "out/book.csv" gives "out/book2.csv" for n = 2.
  static std::string SheetOutputPath(const std::string& destinationPath, int32_t n);
  // The sheets written, by position: all (sheet 0 always, every later one
  // that holds cells), the first only, or those whose caption matches the
  // mask and hold cells (the first match when none holds any). Raises when
  // the mask matches no sheet, naming the sheets there are.
  static std::vector<int32_t> SelectSheets(TSpreadSheets& sheets, const TDestinationOptions& options);
  // Writes the selected sheets, each under its output name (the name
  // template's, or the destination for sheet 0 and SheetOutputPath after);
  // a workbook without sheets writes one empty output. With the whole
  // workbook chosen for a format that offers it, all of them go into one
  // output at destinationPath instead (the name template does not apply). The options are the
  // item's settings', else destination's, else the defaults. written (when
  // set) hears of each file written.
  static void WriteWorkbook(TSpreadSheets& sheets, const std::string& destinationPath, int index,
                            TItemContext* item = nullptr,
                            const std::function<void(const std::string&)>& written = nullptr,
                            const TDestinationOptions* destination = nullptr);
  // Writes one sheet in destination format index (0 to 6; others write nothing).
  static void WriteSheet(const std::string& path, const TSpreadSheet& sheet, int index,
                         const TSheetWriteOptions& options = {});
  // Writes the sheets as one output in destination format index (4 to 6,
  // the formats that hold several sheets; others write nothing).
  static void WriteBook(const std::string& path, const TSheetList& sheets, int index,
                        const TSheetWriteOptions& options = {});
  // Whether this build has a reader for the kind.
  static bool HasReader(TReaderKind kind);
  // A new reader of that kind with its default properties; nullptr when
  // this build has none.
  static std::unique_ptr<TSpreadSheetFile> CreateReader(TReaderKind kind);
  // An OnErrorProcess handler that adds each error to warnings and lets the
  // load go on (warnings must outlive the load).
  static TErrorProcessEvent RecordWarnings(TLoadWarnings& warnings);
  // What the last ConvertFile without a run's item let pass.
  const TLoadWarnings& LastWarnings() const { return FWarnings; }
  // reader.LoadFromFile(sourcePath); an error that ends the load is rethrown
  // (same type) with its message naming the file.
  static void LoadSource(TSpreadSheetFile& reader, const std::string& sourcePath);
  // The message of an error met while reading sourcePath, naming the file
  // once: "The file is ..." becomes "\"book.xls\" is ...", a message that
  // holds the quoted name or the path already stays, any other gets
  // "\"book.xls\": " in front.
  static std::string MessageNamingFile(const std::string& message, const std::string& sourcePath);

 private:
  TSpreadSheetFile* Reader(TReaderKind kind);
  std::unique_ptr<TSpreadSheetFile> FReaders[ReaderKindCount];
  bool FCreated = false;
  TSpreadSheetFile* FLastReader = nullptr;
  TReaderKind FLastKind = rkNone;
  TLoadWarnings FWarnings;
};

// The batch job over spreadsheets: the driver's hooks answered by a
// TSpreadsheetConversion with the destination index of the job settings.
// This is what varnowe-batch runs.
class TSpreadsheetBatch : public TBatchDriver {
 public:
  TSpreadsheetBatch() {
    Conversion.OnOutputWritten = [this](const std::string& path) { NoteOutput(path); };
  }
  TSpreadsheetConversion Conversion;

  bool IsFileAccepted(const std::string& name) override;
  bool IsSourceName(const std::string& name) override;
  std::string GetDestinationExt() override;
  void CreateConverters() override;
  void FreeConverters() override;
  void ConvertFile(const std::string& sourcePath, const std::string& destinationPath) override;
};
