// TQXIOpenOfficeSpreadsheet: the package, the manifest's encryption marks,
// meta.xml and the one streaming pass over content.xml (QXIOOContent.cpp).
#include "QXIOO.h"

#include <charconv>

#include "CodePage.h"
#include "DateTime.h"
#include "QXICrypt.h"
#include "QXIXML.h"
#include "QXIZipFile.h"
#include "QXXLSX.h"
#include "SysUtils.h"

namespace {

const char* const ContentPart = "content.xml";
const char* const MetaPart = "meta.xml";
const char* const StylesPart = "styles.xml";
const char* const ManifestPart = "META-INF/manifest.xml";

std::u16string Attr(const std::u16string& attrs, const char* name) {
  std::u16string v;
  if (FindXMLAttribute(attrs, name, v)) DecodeXMLEntitiesInPlace(v);
  return v;
}

}  // namespace

// ---------------------------------------------------------------------------
// Styles

TQXIOOStyle* TQXIOOStyles::Add(std::unique_ptr<TQXIOOStyle> style) {
  if (Count() >= MaxStyles) return nullptr;
  FItems.push_back(std::move(style));
  TQXIOOStyle* s = FItems.back().get();
  FByName.emplace(s->StyleName, s);  // the first of a name wins
  return s;
}

TQXIOOStyle* TQXIOOStyles::Find(const std::string& name) const {
  auto it = FByName.find(name);
  return it == FByName.end() ? nullptr : it->second;
}

void TQXIOOStyles::Clear() {
  FByName.clear();
  FItems.clear();
}

// ---------------------------------------------------------------------------
// Value attributes

bool TQXIOpenOfficeSpreadsheet::ParseDateValue(const std::u16string& text, double& value) {
  return TMSExcelX::ParseISODateTime(text, value);
}

bool TQXIOpenOfficeSpreadsheet::ParseTimeValue(const std::u16string& text, double& value) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && text[i] == u' ') ++i;
  bool negative = false;
  if (i < n && text[i] == u'-') {
    negative = true;
    ++i;
  }
  if (i >= n || (text[i] != u'P' && text[i] != u'p')) return false;
  ++i;
  bool inTime = false, any = false;
  double days = 0;
  while (i < n && text[i] != u' ') {
    if (text[i] == u'T' || text[i] == u't') {
      inTime = true;
      ++i;
      continue;
    }
    char buf[40];
    size_t k = 0;
    while (i < n && k < sizeof buf && ((text[i] >= u'0' && text[i] <= u'9') || text[i] == u'.' || text[i] == u',')) {
      buf[k++] = text[i] == u',' ? '.' : char(text[i]);
      ++i;
    }
    if (k == 0 || k == sizeof buf || i >= n) return false;
    double v = 0;
    auto r = std::from_chars(buf, buf + k, v);
    if (r.ec != std::errc() || r.ptr != buf + k) return false;
    const char16_t unit = text[i++];
    if (!inTime && (unit == u'D' || unit == u'd')) days += v;
    else if (!inTime && (unit == u'W' || unit == u'w')) days += v * 7;
    else if (inTime && (unit == u'H' || unit == u'h')) days += v / 24;
    else if (inTime && (unit == u'M' || unit == u'm')) days += v / 1440;
    else if (inTime && (unit == u'S' || unit == u's')) days += v / 86400;
    else return false;  // years and months have no fixed length
    any = true;
  }
  // Beyond the last day a date-time can show (31 December 9999).
  if (!any || days > 2958465) return false;
  value = negative ? -days : days;
  return true;
}

// ---------------------------------------------------------------------------
// Loading

TQXIOpenOfficeSpreadsheet::TQXIOpenOfficeSpreadsheet() = default;
TQXIOpenOfficeSpreadsheet::~TQXIOpenOfficeSpreadsheet() = default;

void TQXIOpenOfficeSpreadsheet::ResetData() {
  TSpreadSheetFile::ResetData();
  SummaryInformation.Clear();
  FStyles.Clear();
  SheetIndex = -1;
  FEncrypted = false;
  FScannedRows = 0;
}

void TQXIOpenOfficeSpreadsheet::LoadFromFile(const std::string& fileName) {
  TSpreadSheetFile::LoadFromFile(fileName);
  std::unique_ptr<TStream> own;
  TStream& fs = SourceFile(own);
  FSourceName = ExtractFileName(FileName);
  try {
    ParseStream(fs);
  } catch (...) {
    FSourceName.clear();
    throw;
  }
  FSourceName.clear();
}

void TQXIOpenOfficeSpreadsheet::ParseStream(TStream& stream) {
  TSpreadSheetFile::ParseStream(stream);  // ResetData
  Sheets.Formats.GregorianDates = true;
  FZip = std::make_unique<TZipArchive>();
  FZip->MaxInflatedBytes = MaxInflatedBytes;
  FZip->CancelToken = CancelToken;
  try {
    FZip->Open(stream);
    if (!FZip->IsZip() || FZip->IndexOfFile(ContentPart) < 0) throw EQXIFileFormatException(SInvalidFileFormat);
    bool metaEncrypted = false;
    ReadManifest(metaEncrypted);
    // The properties are a bonus: a damaged meta.xml does not cost the cells.
    try {
      if (!metaEncrypted) ReadMeta();
    } catch (const EZipFileError&) {
    }
    ReadContent();
  } catch (...) {
    FZip.reset();
    throw;
  }
  FZip.reset();
}

void TQXIOpenOfficeSpreadsheet::ReadManifest(bool& metaEncrypted) {
  auto s = FZip->GetFileStreamByName(ManifestPart);
  if (!s) return;
  const std::vector<TOdfEncryption> entries = ParseOdfManifestEncryption(*s);
  auto find = [&](const char* part) -> const TOdfEncryption* {
    for (const TOdfEncryption& e : entries)
      if (SameText(e.Path, part) && FZip->IndexOfFile(part) >= 0) return &e;
    return nullptr;
  };
  const TOdfEncryption* content = find(ContentPart);
  if (!content) {
    metaEncrypted = find(MetaPart) != nullptr;
    return;
  }
  FEncrypted = true;
  for (const char* part : {ContentPart, StylesPart})
    if (const TOdfEncryption* e = find(part); e && !e->Problem.empty()) throw EQXIUnknownEncryptionException(e->Problem);
  // The password is tried on the cells' part; the others have keys of their own.
  std::string password, deflated;
  const std::string& stored = FZip->Files()[FZip->IndexOfFile(ContentPart)].CompressedData;
  if (!TryPasswords({}, [&](const std::string& p) {
        password = p;
        return DecryptOdfEntry(*content, OdfEntryKey(*content, p), stored, deflated);
      })) {
    std::string message = ProtectedFileMessage("OpenDocument encryption");
    if (!FSourceName.empty()) message = "\"" + FSourceName + "\"" + message.substr(8);
    throw EQXICryptException(message);
  }
  for (const char* part : {ContentPart, StylesPart, MetaPart}) {
    const TOdfEncryption* e = find(part);
    if (!e) continue;
    const int32_t index = FZip->IndexOfFile(part);
    if (e != content && (!e->Problem.empty() ||
        !DecryptOdfEntry(*e, OdfEntryKey(*e, password), FZip->Files()[index].CompressedData, deflated))) {
      // The properties are a bonus; the styles decide how cells show.
      if (e->Path == MetaPart) {
        metaEncrypted = true;
        continue;
      }
      throw EQXICryptException("\"" + e->Path + "\" does not open with the password of the cells' part.");
    }
    FZip->SetDecryptedData(index, std::move(deflated), uint32_t(e->Size));
  }
}

void TQXIOpenOfficeSpreadsheet::ReadMeta() {
  auto s = FZip->GetFileStreamByName(MetaPart);
  if (!s) return;
  // The package's own names for the properties the summary knows.
  static const struct {
    const char* Element;
    const char* Property;
  } names[] = {
      {"dc:title", "dc:title"},
      {"dc:subject", "dc:subject"},
      {"dc:description", "dc:description"},
      {"meta:initial-creator", "dc:creator"},
      {"dc:creator", "cp:lastModifiedBy"},
      {"meta:creation-date", "dcterms:created"},
      {"dc:date", "dcterms:modified"},
      {"meta:generator", "Application"},
      {"meta:editing-cycles", "cp:revision"},
  };
  std::string author, lastAuthor, keywords;
  TQXXMLEngine e;
  e.OnTag = [&](TQXXMLEngine*, TQXXMLItem* parent, const std::string& name, const std::u16string& value,
                const std::u16string& attrs, bool& accept) {
    accept = name == "office:document-meta" || name == "office:meta";
    if (accept || !parent || parent->TagName != "office:meta") return;
    const std::string text = WideToAnsi(DecodeXMLEntities(value));
    if (name == "meta:keyword") {
      if (!keywords.empty()) keywords += ", ";
      keywords += text;
      return;
    }
    if (name == "meta:initial-creator") author = text;
    if (name == "dc:creator") lastAuthor = text;
    if (name == "meta:document-statistic") {
      std::u16string pages = Attr(attrs, "meta:page-count");
      if (!pages.empty()) SummaryInformation.SetXMLProperty("Pages", WideToAnsi(pages));
      return;
    }
    if (name == "meta:editing-duration") {
      double days;
      if (ParseTimeValue(DecodeXMLEntities(value), days) && days >= 0 && days * 1440 < 2147483647.0)
        SummaryInformation.EditTime = int32_t(days * 1440);
      return;
    }
    for (const auto& n : names)
      if (name == n.Element) SummaryInformation.SetXMLProperty(n.Property, text);
  };
  e.LoadFromStream(s.get());
  if (!keywords.empty()) SummaryInformation.Keywords = keywords;
  // The initial creator is the author; dc:creator the last one to save.
  if (author.empty() && !lastAuthor.empty()) SummaryInformation.Author = lastAuthor;
  Sheets.Properties = SummaryInformation.DocumentProperties();
}
