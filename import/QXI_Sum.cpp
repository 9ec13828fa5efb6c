#include "QXI_Sum.h"

#include <cmath>
#include <ctime>
#include <vector>

#include "ByteReader.h"
#include "CodePage.h"
#include "DateTime.h"
#include "QXIUtils.h"
#include "SysUtils.h"

namespace {

enum class TPropKind { Text, Count, Date };

struct TPropSlot {
  TPropKind Kind;
  std::string* Text = nullptr;
  int32_t* Count = nullptr;
  double* Date = nullptr;
};

TPropSlot Text(std::string& s) { return {TPropKind::Text, &s, nullptr, nullptr}; }
TPropSlot Count(int32_t& c) { return {TPropKind::Count, nullptr, &c, nullptr}; }
TPropSlot Date(double& d) { return {TPropKind::Date, nullptr, nullptr, &d}; }

bool SlotOf(TQXISummaryInformation& si, int32_t id, bool doc, TPropSlot& out) {
  if (!doc) {
    switch (id) {
      case 2: out = Text(si.Title); return true;
      case 3: out = Text(si.Subject); return true;
      case 4: out = Text(si.Author); return true;
      case 5: out = Text(si.Keywords); return true;
      case 6: out = Text(si.Comments); return true;
      case 7: out = Text(si.Template); return true;
      case 8: out = Text(si.LastAuthor); return true;
      case 9: out = Text(si.RevNumber); return true;
      case 10: out = Count(si.EditTime); return true;
      case 11: out = Date(si.LastPrinted); return true;
      case 12: out = Date(si.Created); return true;
      case 13: out = Date(si.LastSaved); return true;
      case 14: out = Count(si.PageCount); return true;
      case 15: out = Count(si.WordCount); return true;
      case 16: out = Count(si.CharCount); return true;
      case 18: out = Text(si.AppName); return true;
      default: return false;
    }
  }
  switch (id) {
    case 2: out = Text(si.Category); return true;
    case 3: out = Text(si.PresentationTarget); return true;
    case 4: out = Count(si.ByteCount); return true;
    case 5: out = Count(si.LineCount); return true;
    case 6: out = Count(si.ParagraphCount); return true;
    case 7: out = Count(si.SlideCount); return true;
    case 8: out = Count(si.NoteCount); return true;
    case 9: out = Count(si.HiddenSlideCount); return true;
    case 10: out = Count(si.MMClipCount); return true;
    case 14: out = Text(si.Manager); return true;
    case 15: out = Text(si.Company); return true;
    case 17: out = Count(si.CharCount2); return true;
    default: return false;
  }
}

bool XmlSlotOf(TQXISummaryInformation& si, const std::string& name, TPropSlot& out) {
  struct Entry {
    const char* Name;
    int32_t Id;
    bool Doc;
  };
  static const Entry kTable[] = {
      {"Application", 18, false}, {"dc:creator", 4, false}, {"Characters", 16, false},
      {"dc:description", 6, false}, {"dcterms:created", 12, false}, {"TotalTime", 10, false},
      {"cp:keywords", 5, false}, {"cp:lastModifiedBy", 8, false}, {"dcterms:modified", 13, false},
      {"Pages", 14, false}, {"cp:revision", 9, false}, {"dc:subject", 3, false},
      {"Template", 7, false}, {"dc:title", 2, false}, {"Words", 15, false},
      {"Lines", 5, true}, {"Paragraphs", 6, true}, {"Company", 15, true},
      {"CharactersWithSpaces", 17, true},
  };
  for (const Entry& e : kTable)
    if (name == e.Name) return SlotOf(si, e.Id, e.Doc, out);
  return false;
}

int32_t ClampToInt32(double d) {
  if (!(d == d)) return 0;
  if (d >= 2147483647.0) return 2147483647;
  if (d <= -2147483648.0) return int32_t(-2147483647 - 1);
  return int32_t(std::trunc(d));
}

// The decimal integer at [from, from+len) of text, 0 when it is none.
int Field(const std::string& text, size_t from, size_t len) {
  if (from >= text.size()) return 0;
  int32_t v = 0;
  return TryStrToInt(text.substr(from, len), v) ? v : 0;
}

}  // namespace

void TQXISummaryInformation::SetProperty(int32_t identifier, const TVariant& value, bool isDocumentSet) {
  TPropSlot slot{TPropKind::Text};
  if (!SlotOf(*this, identifier, isDocumentSet, slot)) return;
  switch (slot.Kind) {
    case TPropKind::Text:
      *slot.Text = VarToStr(value);
      break;
    case TPropKind::Count:
      if (value.Type() == TVarType::Integer)
        *slot.Count = ClampToInt32(double(value.AsInteger()));
      else if (value.IsText()) {
        int32_t v = 0;
        *slot.Count = TryStrToInt(VarToStr(value), v) ? v : 0;
      } else
        *slot.Count = ClampToInt32(value.ToDouble());
      break;
    case TPropKind::Date:
      *slot.Date = value.ToDouble();
      break;
  }
}

void TQXISummaryInformation::SetXMLProperty(const std::string& elementName, const std::string& text) {
  TPropSlot slot{TPropKind::Text};
  if (!XmlSlotOf(*this, elementName, slot)) return;
  switch (slot.Kind) {
    case TPropKind::Text:
      *slot.Text = text;
      break;
    case TPropKind::Count: {
      int32_t v = 0;
      *slot.Count = TryStrToInt(Trim(text), v) ? v : 0;
      break;
    }
    case TPropKind::Date:
      *slot.Date = XMLDateToDateTime(text);
      break;
  }
}

double TQXISummaryInformation::XMLDateToDateTime(const std::string& text) {
  int year = Field(text, 0, 4), month = Field(text, 5, 2), day = Field(text, 8, 2);
  int hour = Field(text, 11, 2), minute = Field(text, 14, 2), second = Field(text, 17, 2);
  double date = 0;
  if (month >= 1 && month <= 12 && day >= 1 && day <= 31) {
    // A day the month lacks is an impossible date: metadata never fails a load.
    if (!TryEncodeDate(year, month, day, date)) return 0;
  }
  double time = 0;
  if (!TryEncodeTime(hour, minute, second, 0, time)) return 0;
  return date >= 0 ? date + time : date - time;
}

double TQXISummaryInformation::FileTimeToDateTime(uint64_t fileTime) {
  // 1601-01-01 to 1970-01-01 in 100-ns units.
  constexpr uint64_t kUnixEpoch = 116444736000000000ull;
  if (fileTime < kUnixEpoch) return 0;
  uint64_t secs = (fileTime - kUnixEpoch) / 10000000ull;
  if (secs > uint64_t(INT64_MAX / 2)) return 0;
  time_t t = time_t(secs);
  struct tm lt {};
  if (!localtime_r(&t, &lt)) return 0;
  int year = lt.tm_year + 1900;
  if (year < 1980 || year > 2107) return 0;
  double d = 0, tm = 0;
  if (!TryEncodeDate(year, lt.tm_mon + 1, lt.tm_mday, d)) return 0;
  // FAT packing keeps seconds in 2-second steps.
  if (!TryEncodeTime(lt.tm_hour, lt.tm_min, (lt.tm_sec / 2) * 2, 0, tm)) return 0;
  return d + tm;
}

void TQXISummaryInformation::ReadPropertySet(TStream& stream, bool isDocumentSet) {
  int64_t size = stream.Size();
  // Property sets are small; a huge one is not one we read.
  if (size < 0 || size > (64 << 20)) throw EQXIFileFormatException("The summary information stream is damaged: it is too large.");
  std::vector<uint8_t> data(static_cast<size_t>(size));
  stream.Seek(0, soBeginning);
  if (size > 0) stream.ReadBuffer(data.data(), size);
  ReadPropertySet(data.data(), data.size(), isDocumentSet);
}

void TQXISummaryInformation::ReadPropertySet(const void* data, size_t size, bool isDocumentSet) {
  TByteReader r(data, size);
  const char* setName = isDocumentSet ? "document summary information" : "summary information";
  try {
    uint32_t s = r.U32(44);
    uint32_t n = r.U32(size_t(s) + 4);
    // Each entry takes 8 bytes: a count the stream cannot hold is damage.
    if (!r.Fits(size_t(s) + 8, size_t(n) * 8)) throw EBoundsError("too many properties");
    // The code page (identifier 1) decides how 8-bit strings are decoded,
    // wherever it stands in the list.
    int codePage = CP_WINDOWS_1252;
    for (uint32_t i = 0; i < n; ++i) {
      size_t e = size_t(s) + 8 + size_t(i) * 8;
      if (r.U32(e) != 1) continue;
      size_t o = size_t(s) + r.U32(e + 4);
      if (r.Fits(o, 6) && r.U32(o) == 2) codePage = r.U16(o + 4);
    }
    for (uint32_t i = 0; i < n; ++i) {
      size_t e = size_t(s) + 8 + size_t(i) * 8;
      int32_t id = int32_t(r.U32(e));
      size_t o = size_t(s) + r.U32(e + 4);
      uint32_t type = r.U32(o);
      TVariant value;
      switch (type) {
        case 3:  // VT_I4
          value = TVariant(r.I32(o + 4));
          break;
        case 30: {  // VT_LPSTR
          uint32_t count = r.U32(o + 4);
          std::string bytes = r.Bytes(o + 8, count);
          if (codePage == 1200) {
            std::u16string w = r.Utf16(o + 8, count / 2);
            while (!w.empty() && w.back() == 0) w.pop_back();
            value = TVariant(WideToAnsi(w));
          } else {
            // The counted terminator is not part of the text.
            while (!bytes.empty() && bytes.back() == 0) bytes.pop_back();
            value = TVariant(BytesToAnsi(bytes, codePage));
          }
          break;
        }
        case 31: {  // VT_LPWSTR
          uint32_t count = r.U32(o + 4);
          std::u16string w = r.Utf16(o + 8, count);
          while (!w.empty() && w.back() == 0) w.pop_back();
          value = TVariant(WideToAnsi(w));
          break;
        }
        case 64:  // VT_FILETIME
          value = TVariant::DateTime(FileTimeToDateTime(r.U64(o + 4)));
          break;
        default:
          continue;
      }
      SetProperty(id, value, isDocumentSet);
    }
  } catch (const EBoundsError&) {
    throw EQXIFileFormatException(std::string("The ") + setName + " stream is damaged.");
  }
}
