#include "ConversionFrontEnd.h"

#include <new>

#include "CodePage.h"
#include "Exception.h"
#include "ExportHandOff.h"
#include "PlainWriters.h"
#include "QXIOO.h"
#include "QXIOleStorage.h"
#include "QXIUtils.h"
#include "QXWKS.h"
#include "QXWQ.h"
#include "QXXLS.h"
#include "QXXLSX.h"
#include "SysUtils.h"

const TDestinationFormat DestinationFormats[DestinationFormatCount] = {
    {"Text (*.txt)", ".txt"},
    {"Comma-delimited (*.csv)", ".csv"},
    {"HTML (*.htm)", ".htm"},
    {"XML (*.xml)", ".xml"},
    {"MS Excel 95/97 (*.xls)", ".xls"},
    {"MS Excel 2007/2010 (*.xlsx)", ".xlsx"},
    {"Acrobat Reader document (*.pdf)", ".pdf"},
};

const char* const SourceFormatsCaption = " Source formats ";
const char* const MSExcelCaption = "MS Excel (*.xls, *.xlsx)";
const char* const LotusCaption = "Lotus 1-2-3 (*.wk?, *.123, *.wr1)";
const char* const QuattroProCaption = "Quattro Pro (*.wq?, *.wkq, *.wb3, *.qpw)";
const char* const OpenOfficeCaption = "Open Office spreadsheet (*.ods)";

namespace {

const char* const ExcelMasks[] = {"**.xls", "*.xls*", "*.xlw", "*.xlt*", "*.xla*"};
const char* const LotusMasks[] = {"**.wk?", "*.wr1", "*.123"};
const char* const QuattroProMasks[] = {"**.wq?", "*.wkq", "*.wb1", "*.wb2", "*.wb3", "*.qpw"};
const char* const OpenOfficeMasks[] = {"**.ods"};

// A BIFF workbook under an Open XML name: a plain BIFF stream, or a compound
// document with a workbook stream and no encrypted package in it.
bool IsBiffWorkbook(const std::string& path, TStream* opened) {
  try {
    std::unique_ptr<TStream> own;
    if (!opened) {
      own = std::make_unique<TFileStream>(path, fmOpenRead | fmShareDenyNone);
      opened = own.get();
    }
    struct TRewind {
      TStream& Stream;
      ~TRewind() { Stream.SetPosition(0); }
    } rewind{*opened};
    uint8_t head[8] = {};
    opened->SetPosition(0);
    if (opened->Read(head, sizeof head) != int64_t(sizeof head) || !StgIsStorageData(head, sizeof head))
      return true;  // a BIFF BOF without container
    opened->SetPosition(0);
    std::unique_ptr<TOleStorage> root = StgOpenStorageOnFile(*opened, path);
    if (root->OpenStream("EncryptionInfo")) return false;
    return root->OpenStream("Workbook") || root->OpenStream("Book");
  } catch (const Exception&) {
    return false;  // the Open XML reader reports a damaged file in its own words
  }
}

// The export components poll the run's stop through their own stop query.
TExportStopQuery ExportStop(const TSheetWriteOptions& options) {
  const TCancelToken* cancel = options.Cancel;
  TExportStopQuery stop;
  if (cancel) stop.Stop = [cancel] { return cancel->Stopping(); };
  stop.Progress = options.Progress;
  return stop;
}

// Every writer's file goes through the same counted stream and commit.
TOutputPolicy OutputPolicy(const TSheetWriteOptions& options) { return {options.MaxOutputSize, options.Replace}; }

template <size_t N>
bool MatchesAny(const std::string& name, const char* const (&masks)[N]) {
  for (const char* mask : masks)
    if (MatchesMask(name, mask, true)) return true;
  return false;
}

}  // namespace

TSpreadsheetConversion::TSpreadsheetConversion() = default;
TSpreadsheetConversion::~TSpreadsheetConversion() = default;

bool TSpreadsheetConversion::IsSpreadsheetName(const std::string& name) {
  const std::string n = ExtractFileName(name);
  return MatchesAny(n, ExcelMasks) || MatchesAny(n, LotusMasks) || MatchesAny(n, QuattroProMasks) ||
         MatchesAny(n, OpenOfficeMasks);
}

bool TSpreadsheetConversion::IsFileAccepted(const std::string& name) const {
  const std::string n = ExtractFileName(name);
  return (chkMSExcel && MatchesAny(n, ExcelMasks)) || (chkLotus && MatchesAny(n, LotusMasks)) ||
         (chkQuattroPro && MatchesAny(n, QuattroProMasks)) || (chkOpenOffice && MatchesAny(n, OpenOfficeMasks));
}

std::string TSpreadsheetConversion::GetDestinationExt(int index) const {
  if (index < 0 || index >= DestinationFormatCount) return std::string();
  return DestinationFormats[index].Extension;
}

std::unique_ptr<TSpreadSheetFile> TSpreadsheetConversion::CreateReader(TReaderKind kind) {
  switch (kind) {
    case rkMSExcel: return std::make_unique<TMSExcel>();
    case rkMSExcelX: return std::make_unique<TMSExcelX>();
    case rkLotus123: return std::make_unique<TLotus123>();
    case rkQuattroPro: return std::make_unique<TQuattroPro>();
    case rkOpenOffice: return std::make_unique<TQXIOpenOfficeSpreadsheet>();
    default: return nullptr;
  }
}

bool TSpreadsheetConversion::HasReader(TReaderKind kind) {
  switch (kind) {
    case rkMSExcel:
    case rkMSExcelX:
    case rkLotus123:
    case rkQuattroPro:
    case rkOpenOffice: return true;
    case rkNone: break;
  }
  return false;
}

// Created in the order Excel BIFF, Excel Open XML, Lotus, Quattro Pro, OpenDocument.
void TSpreadsheetConversion::CreateConverters() {
  for (int i = 0; i < ReaderKindCount; ++i) FReaders[i] = CreateReader(TReaderKind(rkMSExcel + i));
  FCreated = true;
}

void TSpreadsheetConversion::FreeConverters() {
  FLastReader = nullptr;
  for (auto& reader : FReaders) reader.reset();
  FCreated = false;
}

TSpreadSheetFile* TSpreadsheetConversion::Reader(TReaderKind kind) {
  if (kind == rkNone) return nullptr;
  auto& slot = FReaders[kind - rkMSExcel];
  // Outside a run (a single conversion) the reader is made on demand.
  if (!slot && !FCreated) slot = CreateReader(kind);
  return slot.get();
}

TReaderKind TSpreadsheetConversion::ChooseReader(const std::string& sourcePath) {
  return ChooseReader(sourcePath, nullptr);
}

TReaderKind TSpreadsheetConversion::ChooseReader(const std::string& sourcePath, TStream* opened) {
  auto sniff = [&] { return opened ? SniffStreamReaderKind(*opened) : SniffFileReaderKind(sourcePath); };
  TReaderKind kind = ReaderKindByExtension(UpperCase(ExtractFileExt(sourcePath)));
  if (kind == rkNone) return sniff();
  if (kind == rkMSExcel || kind == rkMSExcelX) {
    // A zip package under an Excel name (a renamed workbook, or OpenDocument)
    // goes by its content. Compound documents stay with the Open XML reader
    // when it is named so: encrypted packages are compound documents.
    TReaderKind content = rkNone;
    try {
      content = sniff();
    } catch (const Exception&) {
      // The reader reports a missing or unreadable file in its own words.
    }
    if (content == rkMSExcelX || content == rkOpenOffice || content == rkQuattroPro) return content;
    if (kind == rkMSExcelX && content == rkMSExcel && IsBiffWorkbook(sourcePath, opened)) return rkMSExcel;
  }
  if (kind == rkLotus123 || kind == rkQuattroPro) {
    // The two families share their record framing: a file saved under the
    // other's name goes by the version word of its BOF.
    TReaderKind content = rkNone;
    try {
      content = sniff();
    } catch (const Exception&) {
    }
    if (content == rkLotus123 || content == rkQuattroPro) return content;
  }
  return kind;
}

std::string TSpreadsheetConversion::SheetOutputPath(const std::string& destinationPath, int32_t n) {
  std::string ext = ExtractFileExt(destinationPath);
  return ChangeFileExt(destinationPath, "") + std::to_string(n) + ext;
}

void TSpreadsheetConversion::WriteSheet(const std::string& path, const TSpreadSheet& sheet, int index,
                                        const TSheetWriteOptions& options) {
  switch (index) {
    case 0: WriteTXT(path, sheet, options); break;
    case 1: WriteCSV(path, sheet, options); break;
    case 2: WriteHTML(path, sheet, options); break;
    case 3: WriteXML(path, sheet, options); break;
    case 4: ExportXLS(path, sheet, ExportStop(options), OutputPolicy(options), options.Warnings, options.ExportSpec); break;
    case 5:
      ExportXLSX(path, sheet, ExportStop(options), OutputPolicy(options), options.Warnings, options.Compression,
                 options.ExportSpec);
      break;
    case 6:
      ExportPDF(path, sheet, ExportStop(options), OutputPolicy(options), options.Text.Values, options.Page,
                options.ExportSpec);
      break;
    default: break;
  }
}

void TSpreadsheetConversion::WriteBook(const std::string& path, const TSheetList& sheets, int index,
                                       const TSheetWriteOptions& options) {
  switch (index) {
    case 4:
      ExportXLSWorkbook(path, sheets, ExportStop(options), OutputPolicy(options), options.Warnings, options.ExportSpec);
      break;
    case 5:
      ExportXLSXWorkbook(path, sheets, ExportStop(options), OutputPolicy(options), options.Warnings, options.Compression,
                         options.ExportSpec);
      break;
    case 6:
      ExportPDFWorkbook(path, sheets, ExportStop(options), OutputPolicy(options), options.Text.Values, options.Page,
                        options.ExportSpec);
      break;
    default: break;
  }
}

void TSpreadsheetConversion::ConvertFile(const std::string& sourcePath, const std::string& destinationPath,
                                         int index, TItemContext* item) {
  FLastReader = nullptr;
  // One open per source: the sniffing, the storage check and the reader
  // read this one file (and its first block once). A file that cannot be
  // opened goes the usual way, and the reader says why in its own words.
  std::unique_ptr<TFileStream> opened;
  try {
    opened = std::make_unique<TFileStream>(sourcePath, fmOpenRead | fmShareDenyWrite);
  } catch (const EStreamError&) {
  }
  // Nothing is read when the output cannot be written anyway.
  TReaderKind kind = ChooseReader(sourcePath, opened.get());
  std::string ext = ExtractFileExt(sourcePath);
  std::string extText = ext.empty() ? std::string("file without extension") : "\"" + ext + "\" file";
  if (kind == rkNone)
    throw Exception("Unknown file format: the content of this " + extText +
                    " matches no supported spreadsheet format.");
  TSpreadSheetFile* reader = Reader(kind);
  if (!reader)
    throw Exception(std::string("The ") + ReaderKindName(kind) + " format of this " + extText +
                    " is not supported yet.");

  // The run's stop and budgets reach the reader; a reader used outside a
  // run keeps its own defaults.
  reader->CancelToken = item ? &item->Cancel : nullptr;
  if (item) reader->MaxCellMemory = item->Settings.MaxWorkbookMemory;
  reader->CellMemoryPool = item ? item->MemoryPool : nullptr;
  // A damaged record costs its cells, not the workbook: the load goes on
  // and the item lists what was let pass.
  TLoadWarnings* warnings = item ? &item->Warnings : &FWarnings;
  warnings->Clear();
  reader->OnErrorProcess = RecordWarnings(*warnings);
  std::function<bool(std::string&)> ask;
  if (OnAskPassword) ask = [this, sourcePath](std::string& password) { return OnAskPassword(sourcePath, password); };
  reader->OnPassword = PasswordSource(Passwords, std::move(ask));
  FLastReader = reader;
  FLastKind = kind;
  reader->OpenedFile = opened.get();
  struct TForget {
    TSpreadSheetFile* Reader;
    ~TForget() {
      Reader->OnErrorProcess = nullptr;  // the warnings may not outlive the item
      Reader->OpenedFile = nullptr;
      Reader->OnPassword = nullptr;
      Reader->OnLoadProgress = nullptr;
    }
  } forget{reader};
  // Reading is the first share of the item's progress.
  reader->OnLoadProgress = [item](TCustomSpreadSheetFile*, int64_t position, int64_t size) {
    if (item && size > 0) item->ReportProgress(TItemContext::ReadShare * double(position) / double(size));
  };
  std::string truncated;
  try {
    LoadSource(*reader, sourcePath);
  } catch (const EQXIFileTruncatedException& e) {
    // The cells before the cut are in the model: they are written all the same.
    truncated = e.Message();
  }
  if (item && reader->OpenedWithPassword()) item->Note = NoteOpenedWithPassword;
  WriteWorkbook(reader->Sheets, destinationPath, index, item, OnOutputWritten);
  if (!truncated.empty()) {
    if (item) item->Commit();  // what was read stays, though the item ends in error
    throw EQXIFileTruncatedException(truncated + (truncated.back() == '.' ? "" : ".") +
                                     " What could be read was written.");
  }
}

std::string TSpreadsheetConversion::MessageNamingFile(const std::string& message, const std::string& sourcePath) {
  const std::string name = ExtractFileName(sourcePath);
  const std::string quoted = "\"" + name + "\"";
  if (name.empty() || message.find(quoted) != std::string::npos || message.find(sourcePath) != std::string::npos)
    return message;
  static const std::string TheFile = "The file ";
  if (message.compare(0, TheFile.size(), TheFile) == 0) return quoted + message.substr(TheFile.size() - 1);
  return quoted + ": " + (message.empty() ? std::string("unknown error") : message);
}

TPasswordEvent TSpreadsheetConversion::PasswordSource(std::vector<std::string> passwords,
                                                      std::function<bool(std::string&)> ask) {
  size_t next = 0;
  bool asked = false;
  return [passwords = std::move(passwords), ask = std::move(ask), next, asked](
             TCustomSpreadSheetFile*, std::string& password, bool& more) mutable {
    more = true;
    if (next < passwords.size()) {
      password = passwords[next++];
      return;
    }
    more = ask && !asked && ask(password);
    asked = true;
  };
}

TErrorProcessEvent TSpreadsheetConversion::RecordWarnings(TLoadWarnings& warnings) {
  return [&warnings](TCustomSpreadSheetFile*, const std::exception& error, bool& abort) {
    warnings.Add(error.what());
    abort = false;
  };
}

void TSpreadsheetConversion::LoadSource(TSpreadSheetFile& reader, const std::string& sourcePath) {
  try {
    reader.LoadFromFile(sourcePath);
  } catch (Exception& e) {
    e.SetMessage(MessageNamingFile(e.Message(), sourcePath));
    throw;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    throw Exception(MessageNamingFile(e.what(), sourcePath));
  }
}

std::vector<int32_t> TSpreadsheetConversion::SelectSheets(TSpreadSheets& sheets, const TDestinationOptions& options) {
  std::vector<int32_t> chosen;
  const int32_t count = sheets.Count();
  if (count == 0) return chosen;
  switch (options.Sheets) {
    case ssFirst:
      chosen.push_back(0);
      break;
    case ssMask: {
      const std::string mask = Trim(options.SheetMask).empty() ? std::string("*") : options.SheetMask;
      int32_t firstMatch = -1;
      for (int32_t n = 0; n < count; ++n) {
        TSpreadSheet& sheet = sheets.GetSheet(n);
        if (!MatchesMask(SheetCaptionText(sheet), mask, true)) continue;
        if (firstMatch < 0) firstMatch = n;
        if (sheet.Cells.Count() != 0) chosen.push_back(n);
      }
      if (chosen.empty() && firstMatch >= 0) chosen.push_back(firstMatch);
      if (chosen.empty()) {
        std::string names;
        constexpr int32_t Shown = 8;
        for (int32_t n = 0; n < count && n < Shown; ++n)
          names += (n ? ", \"" : "\"") + SheetCaptionText(sheets.GetSheet(n)) + "\"";
        if (count > Shown) names += Format(" and %d more", int(count - Shown));
        throw Exception("No sheet matches the sheet mask \"" + mask + "\"; the workbook has " + names + ".");
      }
      break;
    }
    case ssAll:
      for (int32_t n = 0; n < count; ++n)
        if (n == 0 || sheets.GetSheet(n).Cells.Count() != 0) chosen.push_back(n);
      break;
  }
  return chosen;
}

void TSpreadsheetConversion::WriteWorkbook(TSpreadSheets& sheets, const std::string& destinationPath, int index,
                                           TItemContext* item,
                                           const std::function<void(const std::string&)>& written,
                                           const TDestinationOptions* destination) {
  static const TDestinationOptions Defaults;
  const TDestinationOptions& dest = item ? item->Settings.Destination : destination ? *destination : Defaults;
  TSheetWriteOptions options;
  options.Text = dest.Text;
  options.Page = dest.Page;
  options.ExportSpec = &dest.ExportSpecLines;
  options.SourceName = ExtractFileName(item ? item->Source : destinationPath);
  if (item) {
    options.Warnings = &item->Warnings;
    options.Cancel = &item->Cancel;
    options.MaxOutputSize = item->Settings.MaxOutputSize;
    options.Compression = item->Settings.Compression;
    options.Replace = item->Settings.chkOverwrite;
  }
  // Writes one output (a sheet's, or the whole workbook's); a file that
  // appears while it is written is kept when overwriting is off.
  auto write = [&](const std::string& path, const std::function<void()>& body) {
    if (item && !item->BeginOutput(path)) return;  // an existing file, overwriting off
    try {
      body();
    } catch (const EFileExistsError&) {
      if (!item) throw;
      item->OutputKept(path);
      return;
    }
    if (item) item->OutputWritten(path);
    if (written && index >= 0 && index < DestinationFormatCount) written(path);
  };
  // The source's extension tells apart an output whose name another file
  // of the run has (book.xls's second sheet and book1.xls's output).
  const std::string ext = item ? ExtractFileExt(item->Source) : std::string();
  const std::string tag = ext.size() > 1 ? ext.substr(1) : std::string();
  // Every output is named by the run's registry, the item's own
  // destination included: a template that gives two sheets one name gives
  // the second a name of its own.
  auto named = [&](const std::string& path) { return item ? item->ReserveOutput(path, tag) : path; };
  if (WritesWholeWorkbook(dest, index)) {
    // One output holding every selected sheet, under the item's own name.
    TSheetList chosen;
    for (int32_t n : SelectSheets(sheets, dest)) chosen.push_back(&sheets.GetSheet(n));
    const std::string path = named(destinationPath);
    if (item) item->NamesSettled();
    if (item)
      options.Progress = [&](double share) {
        item->ReportProgress(TItemContext::ReadShare + (1 - TItemContext::ReadShare) * share);
      };
    write(path, [&] { WriteBook(path, chosen, index, options); });
    return;
  }
  // Sheet n's output: the template's name in the destination's folder, or
  // the destination itself for sheet 0 and the numbered name after it.
  auto pathOf = [&](int32_t n, const TSpreadSheet& sheet) {
    if (dest.NameTemplate.empty()) return n == 0 ? destinationPath : SheetOutputPath(destinationPath, n);
    return ExtractFilePath(destinationPath) + ExpandNameTemplate(dest.NameTemplate,
                                                                 ChangeFileExt(ExtractFileName(destinationPath), ""),
                                                                 SheetCaptionText(sheet), n + 1,
                                                                 ExtractFileExt(destinationPath));
  };
  // A file without sheets still gets its output, as an empty sheet 0 would.
  TSpreadSheet empty;
  std::vector<std::pair<const TSpreadSheet*, std::string>> outputs;
  if (sheets.Count() == 0) outputs.emplace_back(&empty, named(pathOf(0, empty)));
  for (int32_t n : SelectSheets(sheets, dest)) {
    const TSpreadSheet& sheet = sheets.GetSheet(n);
    outputs.emplace_back(&sheet, named(pathOf(n, sheet)));
  }
  // Named up front: later items need not wait while these are written.
  if (item) item->NamesSettled();
  // Writing is the rest of the item's progress, sheet by sheet by their rows.
  double rows = 0, rowsDone = 0;
  for (const auto& output : outputs) rows += output.first->Cells.Count() + 1;
  for (const auto& output : outputs) {
    const auto& [sheet, path] = output;
    const double sheetRows = sheet->Cells.Count() + 1;
    if (item)
      options.Progress = [&, sheetRows](double share) {
        item->ReportProgress(TItemContext::ReadShare + (1 - TItemContext::ReadShare) * (rowsDone + share * sheetRows) / rows);
      };
    write(path, [&] { WriteSheet(output.second, *output.first, index, options); });
    rowsDone += sheetRows;
    if (item) item->ReportProgress(TItemContext::ReadShare + (1 - TItemContext::ReadShare) * rowsDone / rows);
  }
}

bool TSpreadsheetBatch::IsFileAccepted(const std::string& name) {
  return TBatchDriver::IsFileAccepted(name) || Conversion.IsFileAccepted(name);
}

bool TSpreadsheetBatch::IsSourceName(const std::string& name) {
  return TBatchDriver::IsSourceName(name) || TSpreadsheetConversion::IsSpreadsheetName(name);
}

std::string TSpreadsheetBatch::GetDestinationExt() {
  std::string ext = Conversion.GetDestinationExt(Settings.rgDestination);
  return ext.empty() ? TBatchDriver::GetDestinationExt() : ext;
}

void TSpreadsheetBatch::CreateConverters() {
  TBatchDriver::CreateConverters();
  Conversion.CreateConverters();
}

void TSpreadsheetBatch::FreeConverters() {
  Conversion.FreeConverters();
  TBatchDriver::FreeConverters();
}

void TSpreadsheetBatch::ConvertFile(const std::string& sourcePath, const std::string& destinationPath) {
  TBatchDriver::ConvertFile(sourcePath, destinationPath);
  Conversion.ConvertFile(sourcePath, destinationPath, Settings.rgDestination, CurrentItem());
}
