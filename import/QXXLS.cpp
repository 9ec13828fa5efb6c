// TCustomMSExcel tables and classification; TMSExcel containers, record
// loops, dispatcher and workbook-global records. Cell records live in
// QXXLSCells.cpp.
#include "QXXLS.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "CodePage.h"
#include "QXICrypt.h"
#include "QXIOleStorage.h"
#include "SysUtils.h"

namespace {

constexpr uint32_t kRecordBufferSize = 32768;

// Default colours by index (0x00BBGGRR): the eight basic colours twice, the
// 56-colour default palette, then the window-text black.
const uint32_t kDefaultColors[65] = {
    0x000000, 0xFFFFFF, 0x0000FF, 0x00FF00, 0xFF0000, 0x00FFFF, 0xFF00FF, 0xFFFF00,
    0x000000, 0xFFFFFF, 0x0000FF, 0x00FF00, 0xFF0000, 0x00FFFF, 0xFF00FF, 0xFFFF00,
    0x000080, 0x008000, 0x800000, 0x008080, 0x800080, 0x808000, 0xC0C0C0, 0x808080,
    0xFF9999, 0x663399, 0xCCFFFF, 0xFFFFCC, 0x660066, 0x8080FF, 0xCC6600, 0xFFCCCC,
    0x800000, 0xFF00FF, 0x00FFFF, 0xFFFF00, 0x800080, 0x000080, 0x808000, 0xFF0000,
    0xFFCC00, 0xFFFFCC, 0xCCFFCC, 0x99FFFF, 0xFFCC99, 0xCC99FF, 0xFF99CC, 0x99CCFF,
    0xFF6633, 0xCCCC33, 0x00CC99, 0x00CCFF, 0x0099FF, 0x0066FF, 0x996666, 0x969696,
    0x663300, 0x669933, 0x003300, 0x003333, 0x003399, 0x663399, 0x993333, 0x333333,
    0x000000,
};

std::string Hex4(uint32_t v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04X", v & 0xFFFFu);
  return buf;
}

}  // namespace

// ---------------------------------------------------------------------------
// TCustomMSExcel

TCustomMSExcel::TCustomMSExcel() : RecordData(kRecordBufferSize, 0) {}
TCustomMSExcel::~TCustomMSExcel() = default;

void TCustomMSExcel::ResetData() {
  TSpreadSheetFile::ResetData();
  DimensionsSeen = false;
  DimLastRow = 0;
  DimLastColumn = 0;
  MaxRow = 0;
  MaxColumn = 0;
  SharedStrings.clear();
  FModelByXF.clear();
  FModelByNumber.clear();
  FFormatCodes.clear();
  SummaryInformation.Clear();
  PaletteCount = 0;
  Palette.clear();
  XFList.clear();
  NumberFormats.clear();
  MacroProjectText.clear();
  MacroText.clear();
  Fonts.clear();
  SheetIndex = -1;
  SheetNames.clear();
  EncryptionInfo.clear();
  StreamPosition = 0;
  RecordHeader = TBIFFRecordHeader();
}

void TCustomMSExcel::LoadBuiltInFormats() {
  for (int32_t n = 0; n < 50; ++n) {
    const std::string_view code = BuiltInNumberFormat(n);
    if (!code.empty()) AddFormat(true, std::string(code), -1, -1, -1, n);
  }
}

void TCustomMSExcel::AddFormatCode(int32_t index, const std::u16string& code) {
  if (index < 0 || index > 0xFFFF) return;
  AddFormat(true, WideToAnsi(code), -1, -1, -1, index);
  if (FFormatCodes.size() <= size_t(index)) FFormatCodes.resize(size_t(index) + 1);
  FFormatCodes[size_t(index)] = Utf16ToUtf8(code);
}

void TCustomMSExcel::AddFormat(bool isText, const std::string& text, int32_t fillColor, int32_t align,
                               int32_t fontIndex, int32_t index) {
  // What cells are shown with may change.
  FModelByXF.clear();
  FModelByNumber.clear();
  if (isText) {
    // Number-format numbers are 16-bit in every record that carries them.
    if (index < 0 || index > 0xFFFF) return;
    if (NumberFormats.size() <= size_t(index)) NumberFormats.resize(size_t(index) + 1);
    NumberFormats[size_t(index)] = text;
    if (size_t(index) < FFormatCodes.size()) FFormatCodes[size_t(index)].clear();
    return;
  }
  TXLSFormat* entry = nullptr;
  std::unique_ptr<TXLSFormat> created;
  if (!text.empty()) {
    for (auto& f : XFList)
      if (f && f->FormatText == text) {
        entry = f.get();
        break;
      }
  }
  if (!entry) {
    created = std::make_unique<TXLSFormat>();
    entry = created.get();
    entry->FormatText = text;
  }
  if (!text.empty()) {
    auto it = std::find(NumberFormats.begin(), NumberFormats.end(), text);
    if (it == NumberFormats.end()) {
      NumberFormats.push_back(text);
      it = NumberFormats.end() - 1;
    }
    entry->NumberFormat = int32_t(it - NumberFormats.begin());
    entry->IsDate = IsDateTimeKind(ClassifyNumberFormat(AnsiToUtf8(text)));
  } else {
    entry->NumberFormat = index;
  }
  entry->FontIndex = fontIndex;
  if (align != -1) {
    entry->HorzAlign = uint8_t(align & 7);
    entry->VertAlign = 0;
  }
  entry->FillColor = fillColor;
  if (created) XFList.push_back(std::move(created));
}

int TCustomMSExcel::BuiltInFormatCodePage() const {
  // The fonts' character sets tell which edition wrote the workbook.
  for (const TXLSFont& f : Fonts) {
    switch (f.Charset) {
      case 128: return 932;
      case 129: return 949;
      case 134: return 936;
      case 136: return 950;
      case 222: return 874;
      default: break;
    }
  }
  return 0;
}

int32_t TCustomMSExcel::ModelNumberFormat(int32_t n) {
  if (n < 0 || n > 0xFFFF) return 0;
  if (FModelByNumber.size() <= size_t(n)) FModelByNumber.resize(size_t(n) + 1, -1);
  int32_t& model = FModelByNumber[size_t(n)];
  if (model >= 0) return model;
  std::string code;
  if (size_t(n) < FFormatCodes.size() && !FFormatCodes[size_t(n)].empty()) code = FFormatCodes[size_t(n)];
  else if (size_t(n) < NumberFormats.size() && !NumberFormats[size_t(n)].empty()) code = AnsiToUtf8(NumberFormats[size_t(n)]);
  const bool builtIn = BuiltInFormatIds() && n < 164;
  // An id the file does not spell out means what its edition of Excel shows.
  if (code.empty() && builtIn) code = BuiltInNumberFormat(n, BuiltInFormatCodePage());
  model = Sheets.Formats.Add(code, builtIn ? n : -1);
  return model;
}

int32_t TCustomMSExcel::ModelFormat(int32_t xf) {
  if (xf < 0 || xf > 0xFFFFFF) return 0;
  if (FModelByXF.size() <= size_t(xf)) {
    // XFs are at most a few thousand; a stray large number gets no cache slot.
    if (size_t(xf) >= std::max<size_t>(XFList.size(), 4096)) {
      const int32_t n = size_t(xf) < XFList.size() && XFList[size_t(xf)] ? XFList[size_t(xf)]->NumberFormat : xf;
      return ModelNumberFormat(n);
    }
    FModelByXF.resize(size_t(xf) + 1, -1);
  }
  int32_t& model = FModelByXF[size_t(xf)];
  if (model < 0) {
    // Without an XF entry the number itself is the number-format number.
    const int32_t n = size_t(xf) < XFList.size() && XFList[size_t(xf)] ? XFList[size_t(xf)]->NumberFormat : xf;
    model = ModelNumberFormat(n);
  }
  return model;
}

bool TCustomMSExcel::IsDateNumberFormat(int32_t n) const {
  if (n < 0 || size_t(n) >= NumberFormats.size()) return false;
  return IsDateTimeKind(ClassifyNumberFormat(AnsiToUtf8(NumberFormats[size_t(n)])));
}

bool TCustomMSExcel::IsPercentNumberFormat(int32_t n) const {
  if (n < 1 || size_t(n) >= NumberFormats.size()) return false;
  return ClassifyNumberFormat(AnsiToUtf8(NumberFormats[size_t(n)])) == nfPercent;
}

bool TCustomMSExcel::IsDateFormat(int32_t xf) const {
  int32_t n = xf;
  if (xf >= 0 && size_t(xf) < XFList.size() && XFList[size_t(xf)]) {
    n = XFList[size_t(xf)]->NumberFormat;
    if (n <= 0) return false;
  }
  return IsDateNumberFormat(n);
}

bool TCustomMSExcel::IsPercentFormat(int32_t xf) const {
  int32_t n = xf;
  if (xf >= 0 && size_t(xf) < XFList.size() && XFList[size_t(xf)]) n = XFList[size_t(xf)]->NumberFormat;
  return IsPercentNumberFormat(n);
}

int32_t TCustomMSExcel::ResolveColor(int32_t index) const {
  if (PaletteCount > 0) {
    if (index >= 0 && index < int32_t(PaletteCount) && size_t(index) < Palette.size())
      return int32_t(Palette[size_t(index)]);
    return 0;
  }
  if (index < 0 || index > 64) return 0;
  return int32_t(kDefaultColors[index]);
}

std::string TCustomMSExcel::ErrorCodeText(int32_t code) {
  switch (code) {
    case 0x00: return "#NULL!";
    case 0x07: return "#DIV/0!";
    case 0x0F: return "#VALUE!";
    case 0x17: return "#REF!";
    case 0x1D: return "#NAME?";
    case 0x24: return "#NUM!";
    case 0x2A: return "#N/A";
    default: return "Unknown error code " + std::to_string(code);
  }
}

std::u16string TCustomMSExcel::UnicodeText(const TByteReader& data, size_t offset, size_t byteCount, uint8_t flags) {
  if (flags & 1) return data.Utf16(offset, byteCount / 2);
  data.Need(offset, byteCount);
  std::u16string s(byteCount, u'\0');
  const uint8_t* p = data.Data() + offset;
  for (size_t i = 0; i < byteCount; ++i) s[i] = char16_t(p[i]);
  return s;
}

double TCustomMSExcel::RKToDouble(uint32_t rk) {
  double v;
  if (rk & 2) {
    v = double(int32_t(rk & ~3u) / 4);
  } else {
    uint64_t bits = uint64_t(rk & ~3u) << 32;
    std::memcpy(&v, &bits, 8);
  }
  if (rk & 1) v /= 100;
  return v;
}

bool TCustomMSExcel::ReadEncryptionInfo(const TOleStorage& root) {
  auto info = root.OpenStream("EncryptionInfo");
  if (!info) return false;
  // A header is a few kilobytes; a larger stream is no header.
  const uint64_t n = std::min<uint64_t>(info->Size(), 1u << 20);
  EncryptionInfo.resize(size_t(n));
  info->Seek(0, soBeginning);
  int64_t got = n ? info->Read(EncryptionInfo.data(), int64_t(n)) : 0;
  EncryptionInfo.resize(size_t(std::max<int64_t>(got, 0)));
  Encrypted = true;
  return true;
}

void TCustomMSExcel::RefuseEncryptedPackage(const TOleStorage& root) {
  if (!ReadEncryptionInfo(root)) return;
  throw EQXIUnknownEncryptionException(
      ProtectedFileMessage(EncryptionInfoSchemeName(EncryptionInfo.data(), EncryptionInfo.size())));
}

TAlignment TCustomMSExcel::AlignmentOfCode(uint32_t code) {
  if ((code & 3) == 3) return taRightJustify;
  if (code & 2) return taCenter;
  return taLeftJustify;
}

void TCustomMSExcel::ResolveFontColors() {
  for (TXLSFont& f : Fonts) f.Color = ResolveColor(f.Color);
}

// ---------------------------------------------------------------------------
// TMSExcel: loading

TMSExcel::TMSExcel() = default;
TMSExcel::~TMSExcel() = default;

void TMSExcel::ResetData() {
  TCustomMSExcel::ResetData();
  // A listener may have resized the buffer during an earlier load.
  if (RecordData.size() != kRecordBufferSize) RecordData.assign(kRecordBufferSize, 0);
  Encrypted = false;
  DateBase = 0;
  MaxRecordLength = 0;
  BuildNumber = 0;
  BuildYear = 0;
  Names.clear();
  SharedFormulas.clear();
  SharedObjects.clear();
  ObjectsInSheet.clear();
  MacroItems.clear();
  LoadBuiltInFormats();
  FBiff = 0;
  FCodePage = CP_WINDOWS_1252;
  FSkipping = false;
  FDecrypting = false;
  FBiff2FormatCount = 0;
  FPendingString = false;
}

void TMSExcel::LoadFromFile(const std::string& fileName) {
  TSpreadSheetFile::LoadFromFile(fileName);
  std::unique_ptr<TStream> own;
  TStream& f = SourceFile(own);
  uint8_t head[8] = {};
  const int64_t got = f.Read(head, sizeof head);
  f.SetPosition(0);
  if (got == int64_t(sizeof head) && StgIsStorageData(head, sizeof head)) {
    std::unique_ptr<TOleStorage> root = StgOpenStorageOnFile(f, FileName);
    ParseStorage(*root);
  } else {
    ParsePlainStream(f);
  }
}

void TMSExcel::ParseStream(TStream& stream) {
  TSpreadSheetFile::ParseStream(stream);
  int64_t start = stream.Position();
  uint8_t sig[8] = {};
  int64_t got = stream.Read(sig, 8);
  stream.Seek(start, soBeginning);
  if (got == 8 && StgIsStorageData(sig, 8)) {
    std::unique_ptr<TOleStorage> root = StgOpenStorageOnStream(stream);
    ParseStorage(*root);
    return;
  }
  // A bare record stream: parse it from where the caller left the stream.
  TMemoryStream copy;
  int64_t size = stream.Size();
  if (size > start) {
    copy.SetSize(size - start);
    stream.ReadBuffer(copy.Memory(), size - start);
  }
  copy.SetPosition(0);
  ParsePlainStream(copy);
}

std::unique_ptr<TStream> TMSExcel::OpenEncrypted(TStream& stream) {
  // FILEPASS follows the globals BOF (and at most a few records a writer
  // may put first); records before it are never encrypted.
  constexpr int Lookahead = 32;
  bool biff8 = false;
  stream.Seek(0, soBeginning);
  std::vector<uint8_t> data;
  for (int i = 0; i < Lookahead; ++i) {
    uint8_t h[4];
    if (stream.Read(h, 4) < 4) break;
    const uint16_t type = uint16_t(h[0] | h[1] << 8), length = uint16_t(h[2] | h[3] << 8);
    const bool bof = (type & 0xFF) == 0x09;
    if (type == 0x000A || type == 0x0085 || (bof && i > 0) || (!bof && i == 0)) break;
    data.resize(length);
    if (length && stream.Read(data.data(), length) < length) break;
    if (bof) biff8 = type == 0x0809 && length >= 2 && (data[0] | data[1] << 8) == 0x0600;
    if (type != 0x002F) continue;
    const uint64_t from = uint64_t(stream.Position());
    Encrypted = true;
    const TFilePass filePass = ParseFilePass(data.data(), data.size(), biff8);
    std::unique_ptr<TBiffCipher> cipher;
    TryPasswords({ExcelDefaultPassword}, [&](const std::string& password) {
      cipher = OpenFilePass(filePass, password);
      return cipher != nullptr;
    });
    if (!cipher) throw EQXIUnknownEncryptionException(ProtectedFileMessage(filePass.SchemeName()));
    FDecrypting = true;
    stream.Seek(0, soBeginning);
    return std::make_unique<TBiffDecryptStream>(stream, std::move(cipher), from);
  }
  stream.Seek(0, soBeginning);
  return nullptr;
}

uint32_t TMSExcel::RecordLimit() const {
  // Records up to the BIFF8 limit are read in every generation: writers other
  // than Excel exceed 2080 bytes in BIFF5, and BIFF8 may sit in a "Book" stream.
  uint32_t limit = MaxRecordLength ? MaxRecordLength : (Version < evExcel8 ? 2080u : 8224u);
  return std::max<uint32_t>(limit, 8224u);
}

namespace {
// The cursor of one record loop, known to the record handlers (CONTINUE
// look-ahead, messages) while the loop runs.
struct TCursorScope {
  TCursorScope(TRecordCursor*& slot, TRecordCursor& cursor) : Slot(slot), Saved(slot) { slot = &cursor; }
  ~TCursorScope() { Slot = Saved; }
  TRecordCursor*& Slot;
  TRecordCursor* Saved;
};
}  // namespace

bool TMSExcel::NextRecord() {
  const bool got = FCursor->Next();
  RecordHeader.RecNo = uint16_t(FCursor->Type());
  RecordHeader.RecLen = uint16_t(FCursor->Length());
  StreamPosition = uint64_t(FCursor->Position());
  if (!got || LoadProgressDue()) DoLoadProgress(int64_t(StreamPosition), FStreamSize);
  return got;
}

void TMSExcel::ParsePlainStream(TStream& plain) {
  ResetData();
  std::unique_ptr<TStream> decrypted = OpenEncrypted(plain);
  TStream& stream = decrypted ? *decrypted : plain;
  stream.Seek(0, soBeginning);
  TRecordCursor cursor(*this, stream, TRecordHeaderKind::Word, RecordData, RecordLimit());
  TCursorScope scope(FCursor, cursor);
  FStreamSize = stream.Size();
  // The first header decides whether this is a record stream at all.
  const bool got = NextRecord();
  if ((!got && cursor.End() != TRecordEnd::InData) || (RecordHeader.RecNo & 0xFF) != 0x09 ||
      !DecodeBof(RecordHeader.RecNo, TByteReader(nullptr, 0)))
    throw EQXIFileFormatException(SInvalidFileFormat);
  cursor.Seek(0);
  int depth = 0;  // substreams begun (BOF) and not yet ended (EOF)
  while (NextRecord()) {
    if (cursor.Oversized()) continue;
    const uint16_t recNo = RecordHeader.RecNo;
    if (recNo == 0x0009 || recNo == 0x0209 || recNo == 0x0409 || recNo == 0x0809) ++depth;
    else if (recNo == 0x000A && depth > 0) --depth;
    if (OnRecord) OnRecord(this, RecordHeader, RecordData);
    // Records that continue in CONTINUE records (SST, STRING) read them from
    // the cursor here too.
    if (!DispatchSafely() && (RecordHeader.RecNo & 0xFF) == 0x09) {
      if (!DecodeBof(RecordHeader.RecNo, cursor.View())) throw EQXIFileFormatException(SInvalidFileFormat);
    }
  }
  FinishLoad();
  // Raised once the cells are in the model, so what was read can still be written.
  if (cursor.End() != TRecordEnd::Clean)
    throw EQXIFileTruncatedException(StringReplaceAll(SFileTruncated, "%s", "it " + cursor.EndText()));
  if (depth > 0)
    throw EQXIFileTruncatedException(StringReplaceAll(
        SFileTruncated, "%s",
        "it ends at byte " + std::to_string(FStreamSize) + " without the end-of-file record of its last sheet"));
}

void TMSExcel::ParseStorage(const TOleStorage& root) {
  ResetData();
  if (root.PaddedBytes()) Warn(root.PaddingWarning());
  std::u16string bookName;
  std::u16string vbaName;
  for (const TOleElement& el : root.EnumElements()) {
    std::string upper = UpperCase(Utf16ToUtf8(el.Name));
    if (upper == "WORKBOOK")
      bookName = el.Name;
    else if (upper == "BOOK" && bookName.empty())
      bookName = el.Name;
    else if (upper == "_VBA_PROJECT_CUR") {
      if (ParseVBA) vbaName = el.Name;
    } else if (!el.Name.empty() && el.Name[0] == 5 && el.Type == STGTY_STREAM) {
      std::u16string rest = el.Name.substr(1);
      bool doc = rest == u"DocumentSummaryInformation";
      if (doc || rest == u"SummaryInformation") {
        // Document properties never fail a conversion: a damaged set keeps
        // what was read before the damage.
        try {
          auto s = root.OpenStream(el.Name);
          if (s) {
            TOleStream os(s);
            SummaryInformation.ReadPropertySet(os, doc);
          }
        } catch (const Exception&) {
        }
      }
    }
  }
  Sheets.Properties = SummaryInformation.DocumentProperties();
  if (bookName.empty()) bookName = u"Workbook";
  if (bookName == u"Book") {
    Version = evExcel7;
    MaxRecordLength = 2080;
  } else {
    Version = evExcel8;
    MaxRecordLength = 8224;
  }
  FBiff = Version == evExcel7 ? 5 : 8;
  std::shared_ptr<TOleStorageStream> s = root.OpenStream(bookName);
  if (!s) {
    // An encrypted Open XML package under a BIFF name.
    RefuseEncryptedPackage(root);
    throw EQXIFileFormatException(SInvalidFileFormat);
  }
  TOleStream stream(s);
  std::unique_ptr<TStream> decrypted = OpenEncrypted(stream);
  const bool unended = StorageLoop(decrypted ? *decrypted : stream);
  // The loop ends at the last sheet's end-of-file record: what follows is no sheet's.
  DoLoadProgress(FStreamSize, FStreamSize);
  ResolveFontColors();
  if (s->Truncated())
    throw EQXIFileTruncatedException(StringReplaceAll(
        SFileTruncated, "%s",
        "its " + Utf16ToUtf8(bookName) + " stream holds " + std::to_string(s->Size()) + " of its " +
            std::to_string(s->DeclaredSize()) + " bytes"));
  // The zeros that completed the last sector stood for records of the stream.
  if (unended && root.PaddedBytes())
    throw EQXIFileTruncatedException(StringReplaceAll(
        SFileTruncated, "%s",
        "it ends inside its last sector, where its " + Utf16ToUtf8(bookName) +
            " stream lost the end-of-file record of its last sheet"));
  // Macro extraction (ParseVBA) is not carried out: nothing in this program reads it.
}

bool TMSExcel::StorageLoop(TStream& stream) {
  TRecordCursor cursor(*this, stream, TRecordHeaderKind::Word, RecordData, RecordLimit());
  TCursorScope scope(FCursor, cursor);
  FStreamSize = stream.Size();
  StreamPosition = 0;
  FSkipping = false;
  size_t nextEntry = 0;      // SheetNames entry expected for the next substream
  int32_t currentEntry = -1;
  bool open = false;         // inside a globals or sheet substream
  for (;;) {
    if (!NextRecord()) return open;
    if (cursor.Oversized()) continue;
    const uint64_t recordStart = uint64_t(cursor.Offset());
    if (OnRecord) OnRecord(this, RecordHeader, RecordData);
    const uint16_t recNo = RecordHeader.RecNo;
    if (!FSkipping && (recNo & 0xFF) != 0x09 && recNo != 0x000A) {
      DispatchSafely();
      continue;
    }
    if (recNo == 0x000A) {
      open = false;
      if (SheetIndex >= 0 && currentEntry >= 0 && size_t(currentEntry) + 1 >= SheetNames.size()) return false;
      continue;
    }
    if ((recNo & 0xFF) != 0x09) continue;  // a record of a skipped substream
    const TByteReader r = cursor.View();
    uint16_t type = r.Fits(2, 2) ? r.U16(2) : 0x0010;
    if (type == 0x0005) {
      open = true;
      OnBof(r, recNo);
      continue;
    }
    if (type == 0x0010 || type == 0x0040) {
      int32_t e = EntryAt(recordStart, nextEntry);
      currentEntry = e;
      nextEntry = size_t(e) + 1;
      open = true;
      ++SheetIndex;
      FSkipping = false;
      std::u16string caption;
      if (size_t(e) < SheetNames.size())
        caption = AnsiToWide(SheetNames[size_t(e)].Name);
      else
        caption = AnsiToWide(std::string(SDefaultSheetName) + std::to_string(SheetIndex + 1));
      if (OnSheet) OnSheet(this, caption, SheetIndex, FSkipping);
      if (FSkipping) {
        if (size_t(e) + 1 >= SheetNames.size()) return false;
        // A skipped sheet is not read at all: straight to the next sheet's BOF.
        uint64_t target = SheetNames[size_t(e) + 1].Position;
        if (target > recordStart && target + 4 <= uint64_t(FStreamSize)) {
          cursor.Seek(int64_t(target));
          StreamPosition = target;
          open = false;
        }
      }
      continue;
    }
    if (type == 0x0020 || type == 0x0000) {
      // A chart (or untyped) substream is passed over to its own EOF; inside
      // a sheet it is an embedded chart and the sheet goes on after it.
      bool topLevel = !open || NamedEntryAt(recordStart) >= 0;
      if (topLevel) {
        currentEntry = EntryAt(recordStart, nextEntry);
        nextEntry = size_t(currentEntry) + 1;
      }
      SkipSubstream();
      if (topLevel && SheetIndex >= 0 && size_t(currentEntry) + 1 >= SheetNames.size()) return false;
      continue;
    }
    // Any other substream (modules, dialogs, workspaces): its records are
    // passed over until a worksheet begins.
    if (!open) {
      currentEntry = EntryAt(recordStart, nextEntry);
      nextEntry = size_t(currentEntry) + 1;
    }
    open = true;
    FSkipping = true;
  }
}

void TMSExcel::SkipSubstream() {
  int depth = 1;
  while (depth > 0 && NextRecord()) {
    const uint16_t recNo = RecordHeader.RecNo;
    if (recNo == 0x0809 || recNo == 0x0409 || recNo == 0x0209 || recNo == 0x0009)
      ++depth;
    else if (recNo == 0x000A)
      --depth;
  }
}

// The SheetNames entry of a substream whose BOF starts at position: the entry
// that names that position, else the one expected in order.
int32_t TMSExcel::EntryAt(uint64_t position, size_t expected) const {
  int32_t named = NamedEntryAt(position);
  return named >= 0 ? named : int32_t(expected);
}

int32_t TMSExcel::NamedEntryAt(uint64_t position) const {
  for (size_t i = 0; i < SheetNames.size(); ++i)
    if (SheetNames[i].Position == position) return int32_t(i);
  return -1;
}

bool TMSExcel::DecodeBof(uint16_t recNo, const TByteReader& r) {
  switch (recNo >> 8) {
    case 0x00: Version = evExcel2; FBiff = 2; return true;
    case 0x02: Version = evExcel3; FBiff = 3; return true;
    case 0x04: Version = evExcel4; FBiff = 4; return true;
    case 0x08: {
      Version = evExcel5;
      FBiff = 5;
      const uint16_t vers = r.Fits(0, 2) ? r.U16(0) : 0;
      if (vers == 0x0600) {
        Version = evExcel7;
        FBiff = 8;
        MaxRecordLength = 8224;
      }
      return true;
    }
    default:
      return false;
  }
}

void TMSExcel::OnBof(const TByteReader& r, uint16_t recNo) {
  BuildNumber = 0;
  BuildYear = 0;
  DecodeBof(recNo, r);
  if ((recNo >> 8) == 0x08 && r.Fits(4, 4)) {
    BuildNumber = r.U16(4);
    BuildYear = r.U16(6);
  }
}

void TMSExcel::FinishLoad() {
  ResolveFontColors();
  if (DimensionsSeen && DimLastRow >= MaxRow && DimLastColumn >= MaxColumn) return;
  if (OnDimensions) OnDimensions(this, SheetIndex, 0, MaxRow + 1, 0, MaxColumn + 1);
}

// ---------------------------------------------------------------------------
// Dispatcher

bool TMSExcel::DispatchSafely() {
  bool handled = true;  // a record that failed was handled
  FCursor->Sheet = SheetIndex;
  FCursor->Dispatch<EQXIExcelException>([&] { handled = DispatchRecord(); });
  return handled;
}

std::string TMSExcel::RecordDescription() const {
  return FCursor ? FCursor->Describe() : "Record 0x" + Hex4(RecordHeader.RecNo);
}

namespace {
// Global records whose damage costs no cell: a short one is dropped quietly.
template <class F>
void Quietly(F&& f) {
  try {
    f();
  } catch (const EBoundsError&) {
  }
}
}  // namespace

bool TMSExcel::DispatchRecord() {
  const TByteReader r = FCursor->View();
  switch (RecordHeader.RecNo) {
    case 0x0007:
    case 0x0207:  // STRING: the text result of the FORMULA before it
      ReadString(r);
      return true;
    case 0x00BC:
    case 0x04BC:  // SHRFMLA
      Quietly([&] { ReadSharedFormula(r); });
      return true;
    case 0x0021:
    case 0x0221:
    case 0x0036:
    case 0x0236:  // ARRAY, TABLE: may stand between a FORMULA and its STRING
      return false;
    default:
      FPendingString = false;
      break;
  }
  switch (RecordHeader.RecNo) {
    // Workbook globals
    case 0x0018:
    case 0x0218:  // NAME
      Quietly([&] { ReadName(r); });
      return true;
    case 0x001E:  // FORMAT (BIFF2/3)
      Quietly([&] { ReadFormatBiff23(r); });
      return true;
    case 0x0022:  // DATEMODE
      DateBase = (r.Fits(0, 2) && r.U16(0) == 1) ? 1462 : 0;
      Sheets.Formats.Date1904 = DateBase != 0;
      return true;
    case 0x002F:  // FILEPASS
      ReadFilePass(r);
      return true;
    case 0x0031:
    case 0x0231:  // FONT
      Quietly([&] { ReadFont(r); });
      return true;
    case 0x0042:  // CODEPAGE
      Quietly([&] { ReadCodePage(r); });
      return true;
    case 0x0043:
    case 0x00E0:
    case 0x0243:
    case 0x0443:  // XF
      Quietly([&] { ReadXF(r); });
      return true;
    case 0x005D:  // OBJ
      // Drawing objects carry no cell values; refusing the whole workbook
      // over one of them would lose every cell.
      return true;
    case 0x0085:  // BOUNDSHEET
      Quietly([&] { ReadBoundSheet(r); });
      return true;
    case 0x0092:  // PALETTE
      Quietly([&] { ReadPalette(r); });
      return true;
    case 0x00EB:
    case 0x00EC:  // MSODRAWINGGROUP, MSODRAWING
      return true;
    case 0x00FC:  // SST
      if (FCursor) ReadSST(r);
      return true;
    case 0x01C0:  // EXCEL9FILE
      Version = evExcel9;
      return true;
    case 0x041E:  // FORMAT
      Quietly([&] { ReadFormat(r); });
      return true;

    // Cells and sheet geometry
    case 0x0044:  // IXFE: the XF of the BIFF2 cell that follows
      if (r.Fits(0, 2)) FBiff2Ixfe = r.U16(0);
      return true;
    case 0x0001:
    case 0x0002:
    case 0x0003:
    case 0x0004:
    case 0x0005:  // BIFF2 BLANK, INTEGER, NUMBER, LABEL, BOOLERR
      if (OnCellValue) ReadBiff2Cell(r);
      return true;
    case 0x0006:
    case 0x0206:
    case 0x0406:  // FORMULA
      if (OnCellValue) ReadFormula(r);
      return true;
    case 0x0024:
    case 0x007D:  // COLWIDTH, COLINFO
      Quietly([&] { ReadColumnWidths(r); });
      return true;
    case 0x007E:
    case 0x027E:  // RK
      if (OnCellValue) ReadRK(r);
      return true;
    case 0x00BD:  // MULRK
      if (OnCellValue) ReadMulRK(r);
      return true;
    case 0x00BE:  // MULBLANK
      if (OnCellValue) ReadMulBlank(r);
      return true;
    case 0x00D6:  // RSTRING (BIFF5 rich text label): a LABEL followed by runs
    case 0x0204:  // LABEL
      if (OnCellValue) ReadLabel(r);
      return true;
    case 0x00FD:  // LABELSST
      if (OnCellValue) ReadLabelSST(r);
      return true;
    case 0x0000:
      // DIMENSIONS of BIFF2 only; later generations pad with empty 0x0000
      // records, and any other 0x0000 is no record this reader knows.
      if (FBiff == 2) {
        ReadDimensions(r);
        return true;
      }
      return RecordHeader.RecLen == 0;
    case 0x0200:  // DIMENSIONS
      ReadDimensions(r);
      return true;
    case 0x0203:  // NUMBER
      if (OnCellValue) ReadNumber(r);
      return true;
    case 0x0205:  // BOOLERR
      if (OnCellValue) ReadBoolErr(r);
      return true;
    case 0x0208:  // ROW
      Quietly([&] { ReadRow(r); });
      return true;
    case 0x0055:  // DEFCOLWIDTH: characters, without the cell margin
      if (r.Fits(0, 2)) SetDefaultColumnBase(std::max(SheetIndex, 0), r.U16(0));
      return true;
    case 0x0099:  // STANDARDWIDTH: 1/256 of a character
      if (r.Fits(0, 2)) SetDefaultColumnWidth(std::max(SheetIndex, 0), r.U16(0));
      return true;
    default:
      return false;
  }
}
