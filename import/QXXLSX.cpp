// TMSExcelX: the package, relationships, document properties and the XML
// parts (workbook, shared strings, styles, sheets). The binary parts of .xlsb
// packages live in QXXLSXBinary.cpp.
#include "QXXLSX.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "CodePage.h"
#include "DateTime.h"
#include "QXICrypt.h"
#include "QXIOleStorage.h"
#include "QXIXML.h"
#include "SysUtils.h"

namespace {

std::string_view Local(const TQXXMLItem* node);

std::string Ansi(const std::u16string& w) { return WideToAnsi(w); }

// Attribute value from the raw attribute text, entity-decoded.
std::u16string Attr(const std::u16string& attrs, const char* name, bool matchLocal = false) {
  std::u16string v;
  if (FindXMLAttribute(attrs, name, v, matchLocal)) DecodeXMLEntitiesInPlace(v);
  return v;
}

// A whole decimal number; blanks are ignored.
template <class Ch>
bool ParseWholeInt(std::basic_string_view<Ch> v, int64_t& out) {
  char buf[24];
  size_t n = 0;
  for (Ch c : v) {
    if (c == Ch(' ')) continue;
    if (uint32_t(c) > 127 || n >= sizeof buf) return false;
    buf[n++] = char(c);
  }
  auto r = std::from_chars(buf, buf + n, out);
  return r.ec == std::errc() && r.ptr == buf + n && n > 0;
}

bool AttrInt(const std::u16string& attrs, const char* name, int64_t& out) {
  std::u16string v;
  return FindXMLAttribute(attrs, name, v) && ParseWholeInt(std::u16string_view(v), out);
}

bool ParseInt64(const std::u16string& text, int64_t& value) {
  char buf[24] = {};
  size_t n = 0;
  for (char16_t c : text) {
    if (c == u' ' || c == u'\t' || c == u'\n' || c == u'\r') continue;
    if (c > 127 || n >= sizeof buf) return false;
    buf[n++] = char(c);
  }
  auto r = std::from_chars(buf, buf + n, value);
  return n > 0 && r.ec == std::errc() && r.ptr == buf + n;
}

bool ParseDouble(const std::u16string& text, double& value) {
  char buf[64];
  size_t n = 0;
  size_t b = 0, e = text.size();
  while (b < e && (text[b] == u' ' || text[b] == u'\t' || text[b] == u'\n' || text[b] == u'\r')) ++b;
  while (e > b && (text[e - 1] == u' ' || text[e - 1] == u'\t' || text[e - 1] == u'\n' || text[e - 1] == u'\r')) --e;
  if (b == e || e - b >= sizeof buf) return false;
  for (size_t i = b; i < e; ++i) {
    if (text[i] > 127) return false;
    buf[n++] = char(text[i]);
  }
  const char* start = buf;
  if (*start == '+') ++start;
  auto r = std::from_chars(start, buf + n, value);
  return r.ec == std::errc() && r.ptr == buf + n;
}

bool ParentIs(const TQXXMLItem* parent, const char* name) { return parent && Local(parent) == name; }

std::string_view Local(const TQXXMLItem* node) { return XMLLocalName(node->TagName); }

// The document element of a part with an XML declaration is the
// declaration's child.
bool IsDocumentLevel(const TQXXMLItem* parent) {
  return parent && !parent->Parent() && !parent->TagName.empty() && parent->TagName[0] == '?';
}

}  // namespace

// ---------------------------------------------------------------------------

TMSExcelX::TMSExcelX() { Version = evExcel12; }
TMSExcelX::~TMSExcelX() = default;

void TMSExcelX::ResetData() {
  TCustomMSExcel::ResetData();
  FTruncated.clear();
  FScannedRows = 0;
  Encrypted = false;
  DateBase = 0;
  CurrentSheet = 0;
  FWorkbookPart.clear();
  FWorkbookRels.clear();
  FSheets.clear();
  FWorkbookSeen = false;
  FPartTitles.clear();
  FWideCells = GetACP() != CP_UTF8;
  LoadBuiltInFormats();
}

void TMSExcelX::LoadFromFile(const std::string& fileName) {
  TSpreadSheetFile::LoadFromFile(fileName);
  const std::string ext = UpperCase(ExtractFileExt(FileName));
  Version = (ext == ".XLSB" || ext == ".XLTB" || ext == ".XLAB") ? evExcel12Bin : evExcel12;
  std::unique_ptr<TStream> own;
  ParseStream(SourceFile(own));
}

void TMSExcelX::LoadFromStream(TStream& stream) { ParseStream(stream); }

void TMSExcelX::ParseStream(TStream& stream) {
  TSpreadSheetFile::ParseStream(stream);  // ResetData
  const int64_t start = stream.Position();
  uint8_t head[8] = {};
  int64_t got = stream.Read(head, sizeof head);
  stream.Seek(start, soBeginning);
  if (got == int64_t(sizeof head) && StgIsStorageData(head, sizeof head)) {
    std::unique_ptr<TOleStorage> root = StgOpenStorageOnStream(stream);
    if (root->PaddedBytes()) Warn(root->PaddingWarning());
    ParseStorage(*root);
    return;
  }
  FZip = std::make_unique<TZipArchive>();
  FZip->MaxInflatedBytes = MaxInflatedBytes;
  FZip->CancelToken = CancelToken;
  try {
    FZip->Open(stream);
    if (!FZip->IsZip()) throw EQXIFileFormatException(SInvalidFileFormat);
    ParsePackage();
  } catch (...) {
    FZip.reset();
    throw;
  }
  FZip.reset();
}

void TMSExcelX::ParseStorage(const TOleStorage& root) {
  if (ReadEncryptionInfo(root)) {
    OpenEncryptedPackage(root);
    return;
  }
  if (auto package = root.OpenStream("Package")) {
    // A package wrapped in a package wrapped in ... is refused, not followed down.
    if (FNesting >= 2) throw EQXIFileFormatException(SInvalidFileFormat);
    ++FNesting;
    TOleStream s(package);
    try {
      ParseStream(s);
    } catch (...) {
      --FNesting;
      throw;
    }
    --FNesting;
    return;
  }
  throw EQXIFileFormatException(SInvalidFileFormat);
}

void TMSExcelX::OpenEncryptedPackage(const TOleStorage& root) {
  const TPackageEncryption info = ParseEncryptionInfo(EncryptionInfo.data(), EncryptionInfo.size());
  TCryptBytes key;
  TryPasswords({ExcelDefaultPassword}, [&](const std::string& password) {
    key = PackageKey(info, password);
    return !key.empty();
  });
  if (key.empty()) throw EQXIUnknownEncryptionException(ProtectedFileMessage(info.SchemeName()));
  auto stream = root.OpenStream("EncryptedPackage");
  if (!stream)
    throw EQXICryptException(std::string("The file is password-protected (") + info.SchemeName() +
                             "), but it holds no encrypted package.");
  TMemoryStream package;
  TCryptBytes& data = package.Bytes();
  data.resize(size_t(stream->Size()));
  stream->Seek(0, soBeginning);
  data.resize(size_t(std::max<int64_t>(0, stream->Read(data.data(), int64_t(data.size())))));
  DecryptPackage(info, key, data);
  if (FNesting >= 2) throw EQXIFileFormatException(SInvalidFileFormat);
  // The package is read as any other; the load stays that of a protected file.
  struct TKeep {
    TMSExcelX& X;
    std::vector<uint8_t> Info;
    bool Given, Opened;
    ~TKeep() {
      --X.FNesting;
      X.Encrypted = true;
      X.EncryptionInfo = std::move(Info);
      X.FPasswordsGiven = Given;
      X.FOpenedWithPassword = Opened;
    }
  } keep{*this, EncryptionInfo, FPasswordsGiven, FOpenedWithPassword};
  ++FNesting;
  ParseStream(package);
}

// ---------------------------------------------------------------------------
// Package

std::string TMSExcelX::ResolvePartName(const std::string& sourcePart, const std::string& target) {
  std::string t = target;
  std::replace(t.begin(), t.end(), '\\', '/');
  std::string path;
  if (!t.empty() && t[0] == '/') {
    path = t.substr(1);
  } else {
    std::string src = sourcePart;
    std::replace(src.begin(), src.end(), '\\', '/');
    size_t slash = src.rfind('/');
    path = (slash == std::string::npos ? std::string() : src.substr(0, slash + 1)) + t;
  }
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    std::string seg = path.substr(i, j - i);
    if (seg == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!seg.empty() && seg != ".") {
      parts.push_back(seg);
    }
    i = j + 1;
  }
  std::string out;
  for (const auto& p : parts) {
    if (!out.empty()) out += '/';
    out += p;
  }
  return out;
}

std::map<std::string, TMSExcelX::TRelationship> TMSExcelX::ReadRelationships(const std::string& part) {
  std::map<std::string, TRelationship> rels;
  std::string relsPart;
  size_t slash = part.rfind('/');
  if (slash == std::string::npos) relsPart = "_rels/" + part + ".rels";
  else relsPart = part.substr(0, slash + 1) + "_rels/" + part.substr(slash + 1) + ".rels";
  auto s = FZip->GetFileStreamByName(relsPart);
  if (!s) return rels;
  TQXXMLEngine e;
  e.OnTag = [&](TQXXMLEngine*, TQXXMLItem* parent, const std::string& name, const std::u16string&,
                const std::u16string& attrs, bool& accept) {
    std::string_view n = XMLLocalName(name);
    if (n == "Relationship") {
      accept = false;
      if (Ansi(Attr(attrs, "TargetMode")) == "External") return;
      std::string id = Ansi(Attr(attrs, "Id"));
      std::string type = Ansi(Attr(attrs, "Type"));
      size_t cut = type.rfind('/');
      if (cut != std::string::npos) type = type.substr(cut + 1);
      std::string target = Utf16ToUtf8(Attr(attrs, "Target"));
      if (!id.empty() && !rels.count(id)) rels[id] = TRelationship{type, ResolvePartName(part, target)};
      return;
    }
    accept = n == "Relationships" && (IsDocumentLevel(parent));
  };
  e.LoadFromStream(s.get());
  return rels;
}

void TMSExcelX::ParsePackage() {
  // The workbook part: the package's officeDocument relationship, else the usual names.
  for (const auto& [id, rel] : ReadRelationships("")) {
    (void)id;
    if (rel.Type == "officeDocument" && FZip->IndexOfFile(rel.Target) >= 0) {
      FWorkbookPart = rel.Target;
      break;
    }
  }
  if (FWorkbookPart.empty()) {
    for (const char* n : {"xl/workbook.xml", "xl/workbook.bin", "workbook.xml"})
      if (FZip->IndexOfFile(n) >= 0) {
        FWorkbookPart = n;
        break;
      }
  }
  if (FWorkbookPart.empty()) throw EQXIFileFormatException(SInvalidFileFormat);
  // The parts decide the variant, whatever the file is called.
  Version = EndsText(".bin", FWorkbookPart) ? evExcel12Bin : evExcel12;

  ReadDocumentProperties();
  FWorkbookRels = ReadRelationships(FWorkbookPart);
  if (Version == evExcel12Bin) ReadWorkbookBin();
  else ReadWorkbookXml();
  if (!FWorkbookSeen) throw EQXIFileFormatException(SInvalidFileFormat);

  std::string sst, styles;
  for (const auto& [id, rel] : FWorkbookRels) {
    (void)id;
    if (rel.Type == "sharedStrings" && sst.empty()) sst = rel.Target;
    if (rel.Type == "styles" && styles.empty()) styles = rel.Target;
  }
  const std::string dir = FWorkbookPart.substr(0, FWorkbookPart.rfind('/') + 1);
  const char* ext = Version == evExcel12Bin ? ".bin" : ".xml";
  if (sst.empty()) sst = dir + "sharedStrings" + ext;
  if (styles.empty()) styles = dir + "styles" + ext;
  FindSheets();
  PlanProgress(sst);
  if (Version == evExcel12Bin) {
    ReadSharedStringsBin(sst);
    ReadStylesBin(styles);
  } else {
    ReadSharedStringsXml(sst);
    ReadStylesXml(styles);
  }
  EndProgressPart(PartBytes(sst));
  AnnounceAndReadSheets();
  // Raised once every part was read, so what could be read stays.
  if (!FTruncated.empty()) throw EQXIFileTruncatedException(StringReplaceAll(SFileTruncated, "%s", FTruncated));
}

void TMSExcelX::ReadDocumentProperties() {
  std::string app = "docProps/app.xml", core = "docProps/core.xml";
  for (const auto& [id, rel] : ReadRelationships("")) {
    (void)id;
    if (rel.Type == "extended-properties") app = rel.Target;
    if (rel.Type == "core-properties") core = rel.Target;
  }
  // The sheet names the application listed (TitlesOfParts), and how many
  // of them are worksheets (the first count of HeadingPairs): the names of
  // last resort for a workbook part that names no sheet.
  int64_t worksheets = -1;
  for (const std::string& part : {app, core}) {
    auto s = FZip->GetFileStreamByName(part);
    if (!s) continue;
    const bool isApp = part == app;
    TQXXMLEngine e;
    // Properties sit right under the document element; of the vectors below
    // them only the list of parts is wanted.
    e.OnTag = [&](TQXXMLEngine*, TQXXMLItem* parent, const std::string& name, const std::u16string& value,
                  const std::u16string&, bool& accept) {
      accept = IsDocumentLevel(parent);
      if (accept || !parent) return;
      const std::string_view n = XMLLocalName(name);
      if (!parent->Parent() || IsDocumentLevel(parent->Parent())) {
        SummaryInformation.SetXMLProperty(name, Ansi(DecodeXMLEntities(value)));
        accept = isApp && (n == "TitlesOfParts" || n == "HeadingPairs");
      } else if (n == "vector") {
        accept = ParentIs(parent, "TitlesOfParts") || ParentIs(parent, "HeadingPairs");
      } else if (n == "variant") {
        accept = ParentIs(parent, "vector") && ParentIs(parent->Parent(), "HeadingPairs");
      } else if ((n == "lpstr" || n == "lpwstr") && ParentIs(parent, "vector") &&
                 ParentIs(parent->Parent(), "TitlesOfParts")) {
        if (FPartTitles.size() < size_t(TSpreadSheets::MaxSheets)) FPartTitles.push_back(DecodeXMLEntities(value));
      } else if (n == "i4" && worksheets < 0 && ParentIs(parent, "variant")) {
        int64_t count;
        if (ParseInt64(value, count) && count >= 0) worksheets = count;
      }
    };
    e.LoadFromStream(s.get());
  }
  if (worksheets >= 0 && FPartTitles.size() > size_t(worksheets)) FPartTitles.resize(size_t(worksheets));
  Sheets.Properties = SummaryInformation.DocumentProperties();
}

void TMSExcelX::FindSheets() {
  const bool bin = Version == evExcel12Bin;
  const std::string dir = FWorkbookPart.substr(0, FWorkbookPart.rfind('/') + 1);
  // A workbook part that names no sheet takes the names the application
  // listed, then numbered ones.
  const bool named = std::any_of(FSheets.begin(), FSheets.end(), [](const TSheetEntry& sh) { return !sh.Name.empty(); });
  auto fallbackName = [&](size_t i) {
    if (!named && i < FPartTitles.size() && !FPartTitles[i].empty()) return FPartTitles[i];
    return AnsiToWide(SDefaultSheetName + std::to_string(i + 1));
  };
  int32_t n = 0;
  for (auto& sh : FSheets) {
    if (sh.Name.empty()) sh.Name = fallbackName(size_t(n));
    ++n;
    auto it = FWorkbookRels.find(sh.RelId);
    if (it != FWorkbookRels.end()) {
      sh.Part = it->second.Target;
      sh.Type = it->second.Type;
    } else if (FWorkbookRels.empty()) {
      // Without relationships the parts are numbered in workbook order.
      sh.Part = dir + "worksheets/sheet" + std::to_string(n) + (bin ? ".bin" : ".xml");
      sh.Type = "worksheet";
    }
  }
  if (FSheets.empty()) {
    // Every listed sheet, its part found by number (a missing one reads as
    // empty), and any further numbered part.
    for (int i = 1; i <= TSpreadSheets::MaxSheets; ++i) {
      std::string part = dir + "worksheets/sheet" + std::to_string(i) + (bin ? ".bin" : ".xml");
      const bool exists = FZip->IndexOfFile(part) >= 0;
      if (!exists && size_t(i) > FPartTitles.size()) break;
      FSheets.push_back(TSheetEntry{fallbackName(size_t(i - 1)), "", exists ? part : std::string(), "worksheet"});
    }
  }
  if (FSheets.empty()) FSheets.push_back(TSheetEntry{AnsiToWide(std::string(SDefaultSheetName) + "1"), "", "", ""});
  for (const auto& sh : FSheets) SheetNames.push_back(TXLSSheetName{Ansi(sh.Name), 0});
}

void TMSExcelX::AnnounceAndReadSheets() {
  const int32_t count = int32_t(FSheets.size());
  // Whether a later sheet names the same part (a damaged workbook may).
  auto readAgain = [&](int32_t i) {
    for (int32_t j = i + 1; j < count; ++j)
      if (FZip->IndexOfFile(FSheets[size_t(j)].Part) == FZip->IndexOfFile(FSheets[size_t(i)].Part)) return true;
    return false;
  };
  for (int32_t i = 0; i < count; ++i) {
    const TSheetEntry& sh = FSheets[size_t(i)];
    bool skip = false;
    if (OnSheet) OnSheet(this, sh.Name, i, skip);
    if (!skip) {
      CurrentSheet = i;
      SheetIndex = i;
      // Chart sheets hold no cells.
      if (!sh.Part.empty() && sh.Type != "chartsheet" && FZip->IndexOfFile(sh.Part) >= 0) {
        if (EndsText(".bin", sh.Part)) ReadSheetBin(sh.Part, !readAgain(i));
        else ReadSheetXml(sh.Part, !readAgain(i));
      }
    }
    // Every sheet, read or passed over, ends its share: the last ends the whole.
    if (FProgressTotal > 0) EndProgressPart(SheetBytes(sh));
    else DoLoadProgress(i + 1, count);
  }
}

// ---------------------------------------------------------------------------
// Cells

std::string TMSExcelX::Where(int32_t row, int32_t column) const {
  std::string sheet = size_t(CurrentSheet) < FSheets.size() ? Ansi(FSheets[size_t(CurrentSheet)].Name) : "";
  // Addresses reach INT32_MAX here (clamped from the file): no + 1 in 32 bits.
  const std::string letters = column >= 0 && column < INT32_MAX ? ColumnNumberToLetters(column + 1)
                                                                 : "column " + std::to_string(int64_t(column) + 1) + " ";
  return "sheet \"" + sheet + "\", cell " + letters + std::to_string(int64_t(row) + 1);
}

bool TMSExcelX::Deliverable(int32_t row, int32_t column) {
  if (row < 0 || column < 0) return false;
  static constexpr TSheetGrid OpenXmlGrid{1048576, 16384, "Open XML"};
  if (!OpenXmlGrid.Contains(row, column)) {
    std::string sheet = size_t(CurrentSheet) < FSheets.size() ? Ansi(FSheets[size_t(CurrentSheet)].Name) : "";
    throw EQXIFileFormatException("Sheet \"" + sheet + "\": " + OpenXmlGrid.Outside(row, column) + ".");
  }
  NoteCell(row, column);
  if (row > FSheetMaxRow) FSheetMaxRow = row;
  if (column > FSheetMaxCol) FSheetMaxCol = column;
  return true;
}

void TMSExcelX::Deliver(int32_t row, int32_t column, int32_t format, TVariant&& value, TQXICellType type) {
  if (!Deliverable(row, column)) return;
  if (OnCellValue) OnCellValue(this, CurrentSheet, row, column, format, value, taLeftJustify, type);
}

void TMSExcelX::BeginSheetGeometry() {
  FColumnRanges.clear();
  FDimensionSeen = false;
  FDimRows = FDimCols = 0;
  FSheetMaxRow = FSheetMaxCol = -1;
}

void TMSExcelX::DeclareDimension(int64_t firstRow, int64_t lastRow, int64_t firstCol, int64_t lastCol) {
  auto within = [](int64_t v, int32_t limit) { return int32_t(std::clamp<int64_t>(v, 0, limit)); };
  // Counts, as BIFF's DIMENSIONS gives them: one past the last row and column.
  FDimRows = within(lastRow + 1, TSpreadSheetCells::MaxRows);
  FDimCols = within(lastCol + 1, TSpreadSheetCells::MaxCols);
  FDimensionSeen = true;
  if (OnDimensions)
    OnDimensions(this, CurrentSheet, within(firstRow, TSpreadSheetCells::MaxRows), FDimRows,
                 within(firstCol, TSpreadSheetCells::MaxCols), FDimCols);
}

void TMSExcelX::AddColumnWidths(int64_t firstCol, int64_t lastCol, int64_t width, bool hidden) {
  // Widths are cosmetic: a part with more ranges than a grid has columns
  // gets no more of them kept.
  if (firstCol < 0 || lastCol < firstCol || firstCol >= TSpreadSheetCells::MaxCols || width < 0 ||
      FColumnRanges.size() >= size_t(TSpreadSheetCells::MaxCols))
    return;
  const int32_t last = int32_t(std::min<int64_t>(lastCol, TSpreadSheetCells::MaxCols - 1));
  FColumnRanges.push_back({int32_t(firstCol), last, int32_t(std::min<int64_t>(width, 255 * 256)), hidden});
}

void TMSExcelX::EndSheetGeometry() {
  const int32_t rows = FSheetMaxRow + 1, cols = FSheetMaxCol + 1;
  // Cells beyond the declared extent (or no declaration): the extent that
  // holds both.
  if (OnDimensions && rows > 0 && (!FDimensionSeen || rows > FDimRows || cols > FDimCols))
    OnDimensions(this, CurrentSheet, 0, std::max(rows, FDimRows), 0, std::max(cols, FDimCols));
  // Widths as far as the cells reach: declared extents are often the whole
  // grid, and no output has a column beyond the last cell.
  const int32_t extent = cols;
  if (FColumnRanges.empty() || extent == 0) return;
  // The later range wins where ranges overlap: walk them backwards and give
  // each column its range once, skipping filled runs through next[].
  std::vector<int32_t> range(size_t(extent), -1), next(size_t(extent) + 1);
  for (int32_t c = 0; c <= extent; ++c) next[size_t(c)] = c;
  auto unfilled = [&](int32_t c) {
    int32_t root = c;
    while (next[size_t(root)] != root) root = next[size_t(root)];
    while (next[size_t(c)] != root) {
      const int32_t up = next[size_t(c)];
      next[size_t(c)] = root;
      c = up;
    }
    return root;
  };
  for (size_t k = FColumnRanges.size(); k-- > 0;) {
    const TColumnRange& it = FColumnRanges[k];
    if (it.First >= extent) continue;
    const int32_t last = std::min(it.Last, extent - 1);
    for (int32_t c = unfilled(it.First); c <= last; c = unfilled(c)) {
      range[size_t(c)] = int32_t(k);
      next[size_t(c)] = c + 1;
    }
  }
  for (int32_t c = 0; c < extent; ++c) {
    if (range[size_t(c)] < 0) continue;
    const TColumnRange& r = FColumnRanges[size_t(range[size_t(c)])];
    if (OnColumnWidth) OnColumnWidth(this, CurrentSheet, c, r.Width);
    if (r.Hidden) HideColumn(CurrentSheet, c);
  }
}

int32_t TMSExcelX::CellFormat(int64_t style) {
  // A cell without a style takes the first cell format, as it shows.
  return ModelFormat(style < 0 ? 0 : int32_t(std::min<int64_t>(style, INT32_MAX)));
}

void TMSExcelX::DeliverNumber(int32_t row, int32_t column, int32_t format, double value) {
  PublishNumber(format, TVariant(value), ictDecimal, DateBase, true, [&](TVariant&& v, TQXICellType type) {
    Deliver(row, column, format, std::move(v), type);
  });
}

void TMSExcelX::DeliverText(int32_t row, int32_t column, int32_t format, std::u16string&& text) {
  if (text.empty()) return;
  if (FWideCells) Deliver(row, column, format, TVariant(std::move(text)), ictString);
  else Deliver(row, column, format, TVariant(Utf16ToUtf8(text)), ictString);
}

void TMSExcelX::DeliverSharedString(int32_t row, int32_t column, int32_t format, int64_t index) {
  if (index < 0 || index >= int64_t(SharedStrings.size()))
    throw EQXIFileFormatException("The shared string " + std::to_string(index) + " does not exist (" +
                                  Where(row, column) + ").");
  const TSharedText& text = SharedStrings[size_t(index)];
  if (text.Empty()) return;
  // The cell refers to the table's copy.
  if (!Deliverable(row, column)) return;
  DeliverSharedText(CurrentSheet, row, column, format, taLeftJustify, ictString, text);
}

void TMSExcelX::AddSharedStringXml(std::u16string& text) {
  DecodeXMLEntitiesInPlace(text);
  DecodeXStringEscapes(text);
  AddSharedString(std::move(text));
}

void TMSExcelX::AddSharedString(std::u16string&& text) {
  if (FWideCells) SharedStrings.emplace_back(std::move(text));
  else SharedStrings.emplace_back(Ansi(text));
}

namespace {

template <class Ch>
bool DecodeCellRefIn(const Ch* t, size_t n, int32_t& column, int32_t& row) {
  size_t i = 0;
  while (i < n && (t[i] == Ch('$') || t[i] == Ch('"') || t[i] == Ch('\''))) ++i;
  const size_t first = i;
  int64_t col = 0;
  for (; i < n; ++i) {
    // Either case: small letters are made capital.
    const uint32_t letter = (uint32_t(t[i]) | 0x20u) - uint32_t('a');
    if (letter >= 26 || uint32_t(t[i]) > 'z') break;
    // Saturates: an address past any grid still reaches Deliver, which reports it.
    col = col * 26 + letter + 1;
    if (col > INT32_MAX) col = INT32_MAX;
  }
  if (i == first) return false;
  column = int32_t(col - 1);
  if (i < n && t[i] == Ch('$')) ++i;
  const size_t digits = i;
  int64_t r = 0;
  for (; i < n && t[i] >= Ch('0') && t[i] <= Ch('9'); ++i) {
    r = r * 10 + (t[i] - Ch('0'));
    if (r > INT32_MAX) r = INT32_MAX;
  }
  row = i > digits ? int32_t(r - 1) : -1;
  return true;
}

}  // namespace

bool TMSExcelX::DecodeCellRef(const char16_t* t, size_t n, int32_t& column, int32_t& row) {
  return DecodeCellRefIn(t, n, column, row);
}
bool TMSExcelX::DecodeCellRef(const char* t, size_t n, int32_t& column, int32_t& row) {
  return DecodeCellRefIn(reinterpret_cast<const unsigned char*>(t), n, column, row);
}

bool TMSExcelX::ParseISODateTime(const std::u16string& text, double& value) {
  // Narrowed and trimmed into a local buffer: no allocation per cell.
  size_t from = 0, to = text.size();
  while (from < to && text[from] <= u' ') ++from;
  while (to > from && text[to - 1] <= u' ') --to;
  char buf[64];
  std::string longer;
  char* out = to - from <= sizeof(buf) ? buf : (longer.resize(to - from), longer.data());
  for (size_t i = from; i < to; ++i) {
    if (text[i] > 127) return false;
    out[i - from] = char(text[i]);
  }
  const std::string_view s(out, to - from);
  auto num = [&](size_t at, size_t len, int& out) {
    if (at + len > s.size()) return false;
    out = 0;
    for (size_t k = at; k < at + len; ++k) {
      if (s[k] < '0' || s[k] > '9') return false;
      out = out * 10 + (s[k] - '0');
    }
    return true;
  };
  size_t p = 0;
  double result = 0;
  int y, m, d;
  bool haveDate = false;
  if (num(0, 4, y) && s.size() >= 10 && s[4] == '-' && num(5, 2, m) && s[7] == '-' && num(8, 2, d)) {
    TDateTime dt;
    if (!TryEncodeDate(y, m, d, dt)) return false;
    result = dt;
    haveDate = true;
    p = 10;
    if (p < s.size() && (s[p] == 'T' || s[p] == 't' || s[p] == ' ')) ++p;
  }
  int hh, mm, ss = 0;
  if (num(p, 2, hh) && p + 5 <= s.size() && s[p + 2] == ':' && num(p + 3, 2, mm)) {
    p += 5;
    double frac = 0;
    if (p < s.size() && s[p] == ':') {
      if (!num(p + 1, 2, ss)) return false;
      p += 3;
      if (p < s.size() && (s[p] == '.' || s[p] == ',')) {
        double scale = 0.1;
        ++p;
        while (p < s.size() && s[p] >= '0' && s[p] <= '9') {
          frac += (s[p] - '0') * scale;
          scale /= 10;
          ++p;
        }
      }
    }
    if (hh > 24 || mm > 59 || ss > 60) return false;
    result += (hh * 3600.0 + mm * 60.0 + ss + frac) / 86400.0;
  } else if (!haveDate) {
    return false;
  }
  // A zone suffix (Z, +hh:mm) is accepted and ignored: cells hold local time.
  if (p < s.size() && s[p] != 'Z' && s[p] != 'z' && s[p] != '+' && s[p] != '-') return false;
  value = result;
  return true;
}

void TMSExcelX::DecodeXStringEscapes(std::u16string& t) {
  size_t at = t.find(u"_x");
  if (at == std::u16string::npos) return;
  std::u16string out;
  out.reserve(t.size());
  size_t i = 0;
  while (i < t.size()) {
    if (t[i] == u'_' && i + 6 < t.size() && t[i + 1] == u'x' && t[i + 6] == u'_') {
      uint32_t v = 0;
      bool ok = true;
      for (size_t k = i + 2; k < i + 6 && ok; ++k) {
        char16_t c = t[k];
        int d = c >= u'0' && c <= u'9' ? c - u'0' : c >= u'a' && c <= u'f' ? c - u'a' + 10
                : c >= u'A' && c <= u'F' ? c - u'A' + 10 : -1;
        if (d < 0) ok = false;
        else v = v * 16 + uint32_t(d);
      }
      if (ok) {
        out.push_back(char16_t(v));
        i += 7;
        continue;
      }
    }
    out.push_back(t[i++]);
  }
  t.swap(out);
}

// ---------------------------------------------------------------------------
// XML parts

void TMSExcelX::ReadWorkbookXml() {
  auto s = FZip->GetFileStreamByName(FWorkbookPart);
  if (!s) return;
  TQXXMLEngine e;
  e.OnTag = [&](TQXXMLEngine*, TQXXMLItem* parent, const std::string& name, const std::u16string&,
                const std::u16string& attrs, bool& accept) {
    std::string_view n = XMLLocalName(name);
    accept = false;
    if (IsDocumentLevel(parent)) {
      accept = true;
      FWorkbookSeen = n == "workbook";
    } else if (n == "sheets" && parent && Local(parent) == "workbook") {
      accept = true;
    } else if (n == "sheet" && ParentIs(parent, "sheets")) {
      TSheetEntry sh;
      sh.Name = Attr(attrs, "name");
      sh.RelId = Ansi(Attr(attrs, "id", true));
      FSheets.push_back(std::move(sh));
    } else if (n == "workbookPr" && ParentIs(parent, "workbook")) {
      std::u16string v = Attr(attrs, "date1904");
      if (v == u"1" || v == u"true") DateBase = 1462;
      Sheets.Formats.Date1904 = DateBase != 0;
    }
  };
  e.LoadFromStream(s.get());
  // A document without declaration makes its element the root itself.
  if (!FWorkbookSeen && XMLLocalName(e.RootItem()->TagName) == "workbook") FWorkbookSeen = true;
  if (FSheets.size() > size_t(TSpreadSheets::MaxSheets)) FSheets.resize(size_t(TSpreadSheets::MaxSheets));
}

void TMSExcelX::ReadSharedStringsXml(const std::string& part) {
  // Inflated on a second thread while this one parses.
  auto s = ReadAheadWhenUseful(FZip->GetFileStreamByName(part));
  if (!s) return;
  TPartProgressScope progress(*this, *s, PartBytes(part));
  std::u16string current;
  TQXXMLEngine e;
  e.OnTag = [&](TQXXMLEngine* engine, TQXXMLItem* parent, const std::string& name, const std::u16string& value,
                const std::u16string&, bool& accept) {
    std::string_view n = XMLLocalName(name);
    accept = false;
    if (n == "t") {
      if (ParentIs(parent, "si") || (ParentIs(parent, "r") && ParentIs(parent->Parent(), "si"))) current += value;
    } else if (n == "si") {
      current.clear();
      accept = true;
    } else if (n == "r") {
      accept = ParentIs(parent, "si");
    } else if (n == "sst") {
      accept = IsDocumentLevel(parent);
      if (accept && ScanRows) engine->TakeRawContent();
    }
  };
  e.OnRawContent = [&](TQXXMLEngine* engine, TQXXMLItem*, TQXXMLRawText& text) { ScanSharedStrings(*engine, text); };
  e.OnAfterTag = [&](TQXXMLEngine*, TQXXMLItem*& node, bool&) {
    if (Local(node) == "si" && ParentIs(node->Parent(), "sst")) {
      NotePartProgress();
      AddSharedStringXml(current);
      current.clear();
    }
    // Nothing is looked at once it is closed.
    node->Free();
    node = nullptr;
  };
  e.LoadFromStream(s.get());
  CheckPart(e, part);
}

void TMSExcelX::ReadStylesXml(const std::string& part) {
  auto s = FZip->GetFileStreamByName(part);
  if (!s) return;
  TQXXMLEngine e;
  e.OnTag = [&](TQXXMLEngine*, TQXXMLItem* parent, const std::string& name, const std::u16string&,
                const std::u16string& attrs, bool& accept) {
    std::string_view n = XMLLocalName(name);
    accept = false;
    int64_t v = 0;
    if (IsDocumentLevel(parent)) {
      accept = true;
    } else if (n == "numFmts" || n == "cellXfs" || n == "fonts") {
      accept = ParentIs(parent, "styleSheet");
    } else if (n == "numFmt" && ParentIs(parent, "numFmts")) {
      if (AttrInt(attrs, "numFmtId", v) && v >= 0 && v <= 0xFFFF)
        AddFormatCode(int32_t(v), Attr(attrs, "formatCode"));
    } else if (n == "xf" && ParentIs(parent, "cellXfs")) {
      int64_t fmt = 0, font = 0;
      if (!AttrInt(attrs, "numFmtId", fmt) || fmt < 0 || fmt > 0xFFFF) fmt = 0;
      if (!AttrInt(attrs, "fontId", font) || font < 0 || font > 0xFFFF) font = 0;
      AddFormat(false, "", -1, -1, int32_t(font), int32_t(fmt));
    } else if (n == "font" && ParentIs(parent, "fonts")) {
      Fonts.emplace_back();
      accept = true;
    } else if (ParentIs(parent, "font") && !Fonts.empty()) {
      TXLSFont& f = Fonts.back();
      if (n == "b") f.Bold = true;
      else if (n == "i") f.Italic = true;
      else if (n == "u") f.Underline = true;
      else if (n == "strike") f.StrikeOut = true;
      else if (n == "name") f.Name = Ansi(Attr(attrs, "val"));
      else if (n == "sz" && AttrInt(attrs, "val", v) && v > 0 && v < 10000) f.Size = int32_t(v);
    }
  };
  e.OnAfterTag = [&](TQXXMLEngine*, TQXXMLItem*& node, bool&) {
    if (Local(node) == "font") {
      node->Free();
      node = nullptr;
    }
  };
  e.LoadFromStream(s.get());
}

template <class Ch>
void TMSExcelX::TSheetCursor::StartRow(std::basic_string_view<Ch> attrs) {
  int64_t r = 0;
  bool given = false;
  ForEachXMLAttribute(attrs, [&](std::basic_string_view<Ch> n, std::basic_string_view<Ch> v) {
    if (n.size() != 1 || n[0] != Ch('r')) return true;
    given = ParseWholeInt(v, r);
    return false;
  });
  if (given && r >= 1) {
    Row = int32_t(std::min<int64_t>(r - 1, INT32_MAX));
  } else {
    if (given) Misnumbered = r;
    if (Row < INT32_MAX) ++Row;
  }
  LastCol = -1;
}

template <class Ch, class ForEach>
void TMSExcelX::TSheetCursor::StartCellWith(ForEach&& forEach, int32_t& row, int32_t& column, int64_t& style,
                                            std::basic_string_view<Ch>& type) {
  const int32_t next = LastCol < INT32_MAX ? LastCol + 1 : INT32_MAX;
  int32_t c = next, rr = Row;
  type = {};
  style = -1;
  forEach([&](std::basic_string_view<Ch> an, std::basic_string_view<Ch> av) {
    if (an.size() != 1) return true;
    if (an[0] == Ch('r')) {
      if (DecodeCellRef(av.data(), av.size(), c, rr)) {
        if (rr < 0) rr = Row;
      } else {
        c = next;
        rr = Row;
      }
    } else if (an[0] == Ch('t')) {
      type = av;
    } else if (an[0] == Ch('s')) {
      int64_t v = 0;
      size_t k = 0;
      for (; k < av.size() && av[k] >= Ch('0') && av[k] <= Ch('9') && v < INT32_MAX; ++k) v = v * 10 + (av[k] - Ch('0'));
      style = k == av.size() && k > 0 && v <= INT32_MAX ? v : -1;
    }
    return true;
  });
  row = rr;
  column = c;
  LastCol = c;
}

template <class Ch>
void TMSExcelX::TSheetCursor::StartCell(std::basic_string_view<Ch> attrs, int32_t& row, int32_t& column,
                                        int64_t& style, std::basic_string_view<Ch>& type) {
  // One pass over the attributes: this runs once per cell.
  StartCellWith<Ch>([&](auto&& visit) { ForEachXMLAttribute(attrs, visit); }, row, column, style, type);
}

void TMSExcelX::TSheetCursor::StartCell(const TXMLAttributeView<char>* attrs, size_t count, int32_t& row,
                                        int32_t& column, int64_t& style, std::string_view& type) {
  StartCellWith<char>(
      [&](auto&& visit) {
        for (size_t k = 0; k < count && visit(attrs[k].Name, attrs[k].Value); ++k) {
        }
      },
      row, column, style, type);
}

template void TMSExcelX::TSheetCursor::StartRow(std::basic_string_view<char> attrs);
template void TMSExcelX::TSheetCursor::StartRow(std::basic_string_view<char16_t> attrs);
template void TMSExcelX::TSheetCursor::StartCell(std::basic_string_view<char>, int32_t&, int32_t&, int64_t&,
                                                 std::basic_string_view<char>&);
template void TMSExcelX::TSheetCursor::StartCell(std::basic_string_view<char16_t>, int32_t&, int32_t&, int64_t&,
                                                 std::basic_string_view<char16_t>&);

void TMSExcelX::DeliverSheetCell(TSheetCell& cell) {
  try {
    const int32_t row = cell.Row, column = cell.Column;
    if (row < 0 || column < 0) return;
    const std::u16string& type = cell.Type;
    std::u16string& value = cell.Value;
    const int32_t format = CellFormat(cell.Style);
    if (type.empty() || type == u"n") {
      if (!cell.HasValue) return;
      double d;
      if (ParseDouble(value, d)) DeliverNumber(row, column, format, d);
      else DeliverText(row, column, format, std::move(value));
    } else if (type == u"s") {
      // An empty reference (<v></v>) is an empty cell.
      if (!cell.HasValue || value.empty()) return;
      int64_t index;
      if (!ParseInt64(value, index))
        throw EQXIFileFormatException("The shared string number \"" + Ansi(value) + "\" is not valid (" +
                                      Where(row, column) + ").");
      DeliverSharedString(row, column, format, index);
    } else if (type == u"inlineStr") {
      std::u16string t = cell.HasInline ? std::move(cell.InlineText) : std::move(value);
      DecodeXMLEntitiesInPlace(t);
      DecodeXStringEscapes(t);
      DeliverText(row, column, format, std::move(t));
    } else if (type == u"str") {
      DecodeXMLEntitiesInPlace(value);
      DecodeXStringEscapes(value);
      DeliverText(row, column, format, std::move(value));
    } else if (type == u"b") {
      if (!cell.HasValue) return;
      double d = 0;
      bool b = ParseDouble(value, d) ? d != 0 : (value == u"true" || value == u"TRUE");
      Deliver(row, column, format, TVariant(b), ictBoolean);
    } else if (type == u"e") {
      DecodeXMLEntitiesInPlace(value);
      if (value.empty()) return;
      Deliver(row, column, format, FWideCells ? TVariant(value) : TVariant(Utf16ToUtf8(value)), ictUnknown);
    } else if (type == u"d") {
      if (!cell.HasValue) return;
      double dt;
      if (ParseISODateTime(value, dt)) Deliver(row, column, format, TVariant::DateTime(dt), ictDateTime);
      else DeliverText(row, column, format, std::move(value));
    } else {
      DecodeXMLEntitiesInPlace(value);
      DeliverText(row, column, format, std::move(value));
    }
  } catch (const std::exception& error) {
    if (!ContinueAfterError(error)) throw;
  }
}

std::unique_ptr<TZipEntryStream> TMSExcelX::SheetPartStream(const std::string& part, bool last) {
  const int32_t i = FZip->IndexOfFile(part);
  if (i < 0) return nullptr;
  return last ? FZip->TakeFileStream(i) : FZip->GetFileStream(i);
}

void TMSExcelX::ReadSheetXml(const std::string& part, bool last) {
  std::unique_ptr<TZipEntryStream> entry = SheetPartStream(part, last);
  if (!entry) return;
  // A second processor scans the rows (and inflates them) while this one
  // delivers their cells; else it only inflates the part ahead of this one.
  FRowThreads = 0;
  FRowLoan.reset();
  if (ScanRows && ReadAheadUseful() && entry->Size() >= MinRowThreadBytes) {
    FRowLoan = std::make_unique<TProcessorLoan>(1);
    if (FRowLoan->Count() == 0) FRowLoan.reset();
  }
  std::unique_ptr<TStream> s;
  if (FRowLoan) s = std::move(entry);
  else s = ReadAheadWhenUseful(std::move(entry));
  struct TGiveBack {
    std::unique_ptr<TProcessorLoan>& Loan;
    ~TGiveBack() { Loan.reset(); }
  } giveBack{FRowLoan};
  TSheetCursor cursor;
  TSheetCell cell;
  TPartProgressScope progress(*this, *s, PartBytes(part));
  bool rowZeroTold = false;

  TQXXMLEngine e;
  e.OnTag = [&](TQXXMLEngine* engine, TQXXMLItem* parent, const std::string& name, const std::u16string& text,
                const std::u16string& attrs, bool& accept) {
    std::string_view n = XMLLocalName(name);
    accept = false;
    if (n == "v") {
      if (ParentIs(parent, "c")) {
        cell.Value += text;
        cell.HasValue = true;
      }
    } else if (n == "c") {
      if (!ParentIs(parent, "row")) return;
      accept = true;
      std::u16string_view type;
      cursor.StartCell(std::u16string_view(attrs), cell.Row, cell.Column, cell.Style, type);
      cell.Type.assign(type);
      cell.Value.clear();
      cell.InlineText.clear();
      cell.HasValue = cell.HasInline = false;
    } else if (n == "row") {
      if (!ParentIs(parent, "sheetData")) return;
      accept = true;
      NotePartProgress();
      cursor.StartRow(std::u16string_view(attrs));
      if (cursor.Misnumbered < 1) {
        if (!rowZeroTold)
          Warn("The part \"" + part + "\" numbers a row r=\"" + std::to_string(cursor.Misnumbered) +
               "\" (rows count from 1): its cells are read into the row after the one before it.");
        rowZeroTold = true;
        cursor.Misnumbered = 1;
      }
    } else if (n == "is") {
      accept = ParentIs(parent, "c");
    } else if (n == "t") {
      if (ParentIs(parent, "is") || (ParentIs(parent, "r") && ParentIs(parent->Parent(), "is"))) {
        cell.InlineText += text;
        cell.HasInline = true;
      }
    } else if (n == "r") {
      accept = ParentIs(parent, "is");
    } else if (n == "sheetData") {
      accept = ParentIs(parent, "worksheet");
      if (accept && ScanRows) engine->TakeRawContent();
    } else if (n == "dimension" && ParentIs(parent, "worksheet")) {
      std::u16string ref = Attr(attrs, "ref");
      const size_t colon = ref.find(u':');
      int32_t c1, r1, c2, r2;
      if (DecodeCellRef(ref.data(), std::min(colon, ref.size()), c1, r1) && r1 >= 0) {
        if (colon == std::u16string::npos ||
            !DecodeCellRef(ref.data() + colon + 1, ref.size() - colon - 1, c2, r2) || r2 < 0) {
          c2 = c1;
          r2 = r1;
        }
        DeclareDimension(std::min(r1, r2), std::max(r1, r2), std::min(c1, c2), std::max(c1, c2));
      }
    } else if (n == "sheetFormatPr" && ParentIs(parent, "worksheet")) {
      double width = 0;
      int64_t base = 0;
      if (ParseDouble(Attr(attrs, "defaultColWidth"), width) && width > 0 && width < 256)
        SetDefaultColumnWidth(CurrentSheet, int32_t(width * 256 + 0.5));
      else if (AttrInt(attrs, "baseColWidth", base) && base > 0 && base < 256)
        SetDefaultColumnBase(CurrentSheet, int32_t(base));
    } else if (n == "cols" && ParentIs(parent, "worksheet")) {
      accept = true;
    } else if (n == "col" && ParentIs(parent, "cols")) {
      int64_t first = 0, last = 0;
      double width = 0;
      const std::u16string hiddenText = Attr(attrs, "hidden");
      const bool hidden = hiddenText == u"1" || hiddenText == u"true";
      // A width no column can have is not kept (a hidden column keeps its mark).
      if (!ParseDouble(Attr(attrs, "width"), width) || width < 0 || width >= 65536) width = -1;
      if (AttrInt(attrs, "min", first) && AttrInt(attrs, "max", last) && (width >= 0 || hidden))
        AddColumnWidths(first - 1, last - 1, width < 0 ? 0 : int64_t(width * 256 + 0.5), hidden);
    } else if (IsDocumentLevel(parent)) {
      accept = true;
    }
  };
  e.OnRawContent = [&](TQXXMLEngine* engine, TQXXMLItem*, TQXXMLRawText& text) {
    ScanSheetRows(*engine, text, cursor, cell);
  };
  e.OnAfterTag = [&](TQXXMLEngine*, TQXXMLItem*& node, bool&) {
    const bool isCell = Local(node) == "c";
    // Nothing is looked at once it is closed: a part of a million rows (or
    // of a million stray elements) never becomes a tree.
    node->Free();
    node = nullptr;
    if (isCell) DeliverSheetCell(cell);
  };
  BeginSheetGeometry();
  e.LoadFromStream(s.get());
  EndSheetGeometry();
  CheckPart(e, part);
}

int64_t TMSExcelX::PartBytes(const std::string& part) const {
  const int32_t i = part.empty() ? -1 : FZip->IndexOfFile(part);
  return i < 0 ? 0 : std::max<int64_t>(1, int64_t(FZip->Files()[i].CompressedData.size()));
}

// Chart sheets hold no cells and are not read.
int64_t TMSExcelX::SheetBytes(const TSheetEntry& sheet) const {
  return sheet.Type == "chartsheet" ? 0 : PartBytes(sheet.Part);
}

void TMSExcelX::PlanProgress(const std::string& sharedStrings) {
  FProgressDone = 0;
  FProgressTotal = PartBytes(sharedStrings);
  for (const TSheetEntry& sh : FSheets) FProgressTotal += SheetBytes(sh);
}

void TMSExcelX::EndProgressPart(int64_t bytes) {
  FProgressDone = std::min(FProgressDone + bytes, FProgressTotal);
  if (FProgressTotal > 0 && bytes > 0) DoLoadProgress(FProgressDone, FProgressTotal);
}

void TMSExcelX::NotePartProgress(int64_t position) {
  if (!LoadProgressDue() || !FSheetStream || FProgressTotal <= 0) return;
  // How far into the part, as its share of the package's bytes.
  const int64_t partSize = FSheetStream->Size();
  if (partSize > 0) {
    if (position < 0) position = FSheetStream->Position();
    const double within = double(std::min(position, partSize)) / double(partSize);
    DoLoadProgress(std::min(FProgressDone + int64_t(within * double(FProgressPart)), FProgressTotal), FProgressTotal);
  }
}

void TMSExcelX::CheckPart(const TQXXMLEngine& e, const std::string& part) {
  const TQXXMLParseResult& r = e.ParseResult();
  const std::string where = "\"" + part + "\" ";
  switch (r.Status) {
    case psUnclosed:
      // The cells before the cut stay; the rest of the package is still read.
      if (FTruncated.empty())
        FTruncated = where + "ends inside the element <" + r.Element + "> at byte " + std::to_string(r.Offset);
      break;
    case psStrayEndTag:
      Warn("The part " + where + "has an end tag </" + r.Element + "> that closes no open element (byte " +
           std::to_string(r.Offset) + ").");
      break;
    case psOverflowed:
      Warn("The part " + where + "holds too many elements: from <" + r.Element + "> at byte " +
           std::to_string(r.Offset) + " on, elements were skipped.");
      break;
    default:
      break;
  }
}
