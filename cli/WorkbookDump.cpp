#include "WorkbookDump.h"

#include <charconv>
#include <cmath>
#include <memory>
#include <ostream>

#include "CodePage.h"
#include "DateTime.h"
#include "ConversionFrontEnd.h"
#include "QXWKS.h"
#include "QXWQ.h"
#include "QXXLS.h"
#include "Exception.h"
#include "ReaderSniffing.h"

namespace {

// Length of the valid UTF-8 sequence at s[i], 0 when it is not one.
size_t Utf8SequenceLength(const std::string& s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  size_t n;
  uint32_t cp;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) { n = 2; cp = c & 0x1F; }
  else if (c >= 0xE0 && c <= 0xEF) { n = 3; cp = c & 0x0F; }
  else if (c >= 0xF0 && c <= 0xF4) { n = 4; cp = c & 0x07; }
  else return 0;
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not text.
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return n;
}

std::string CellValueJson(const TQXICell& cell) {
  switch (cell.ValueType()) {
    case TVarType::String: return JsonString(AnsiToUtf8(cell.StringValue()));
    case TVarType::WideString: return JsonString(Utf16ToUtf8(cell.WideValue()));
    case TVarType::Integer: return std::to_string(cell.Value().AsInteger());
    case TVarType::Boolean: return cell.Value().AsBoolean() ? "true" : "false";
    case TVarType::Float:
    case TVarType::DateTime: return JsonNumber(cell.NumberValue());
    default: return "null";
  }
}

}  // namespace

std::string JsonString(const std::string& utf8, bool keepBytes) {
  static const char hex[] = "0123456789abcdef";
  std::string out = "\"";
  for (size_t i = 0; i < utf8.size();) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0x80) {
      const size_t n = Utf8SequenceLength(utf8, i);
      if (n == 0) {
        if (keepBytes) {
          out += "\\udc";
          out += hex[c >> 4];
          out += hex[c & 15];
        } else {
          out += "\xEF\xBF\xBD";
        }
        ++i;
      } else {
        out.append(utf8, i, n);
        i += n;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += "\\u00";
          out += hex[c >> 4];
          out += hex[c & 15];
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
  return out;
}

std::string JsonNumber(double value) {
  if (!std::isfinite(value)) return "null";
  char buf[32];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, res.ptr);
}

void WriteWorkbookJson(std::ostream& os, const std::string& fileName, const std::string& readerName,
                       const std::string& version, const TSpreadSheets& sheets, const TLoadWarnings* warnings) {
  os << "{\"file\": " << JsonString(AnsiToUtf8(fileName)) << ", \"reader\": " << JsonString(readerName)
     << ", \"version\": " << JsonString(version) << ", \"date1904\": " << (sheets.Formats.Date1904 ? "true" : "false")
     << ",";
  // The document properties the source has, when it has any.
  const TDocumentProperties& p = sheets.Properties;
  std::string props;
  for (const auto& [key, text] : {std::pair<const char*, const std::string*>{"title", &p.Title}, {"subject", &p.Subject},
                                  {"author", &p.Author}, {"keywords", &p.Keywords}})
    if (!text->empty()) props += std::string(props.empty() ? "" : ", ") + "\"" + key + "\": " + JsonString(AnsiToUtf8(*text));
  if (p.Created > 0)
    props += std::string(props.empty() ? "" : ", ") + "\"created\": " +
             JsonString(FormatDateTime("yyyy-mm-dd", p.Created) + "T" + FormatDateTime("hh:nn:ss", p.Created));
  if (!props.empty()) os << "\n \"properties\": {" << props << "},";
  if (warnings) {
    os << "\n \"warnings\": [";
    for (size_t i = 0; i < warnings->Texts.size(); ++i)
      os << (i ? ", " : "") << JsonString(AnsiToUtf8(warnings->Texts[i]));
    os << "],";
  }
  os << "\n \"sheets\": [";
  for (int32_t s = 0; s < sheets.Count(); ++s) {
    const TSpreadSheet& sheet = sheets[s];
    const TSpreadSheetCells& cells = sheet.Cells;
    const TNumberFormats& formats = sheet.Formats();
    os << (s ? ",\n" : "\n") << "  {\"index\": " << s << ", \"caption\": " << JsonString(Utf16ToUtf8(sheet.Caption))
       << ", \"rowCount\": " << cells.RowCount << ", \"colCount\": " << cells.ColCount
       << ", \"dimRowCount\": " << cells.DimRowCount << ", \"dimColCount\": " << cells.DimColCount
       << ", \"columnWidths\": [";
    for (size_t w = 0; w < sheet.ColumnWidths.size(); ++w) os << (w ? ", " : "") << sheet.ColumnWidths[w];
    os << "], \"defaultColumnWidth\": " << sheet.DefaultColumnWidth << ", \"hiddenColumns\": [";
    bool firstHidden = true;
    for (size_t h = 0; h < sheet.HiddenColumns.size(); ++h)
      if (sheet.HiddenColumns[h]) {
        os << (firstHidden ? "" : ", ") << h;
        firstHidden = false;
      }
    os << "], \"cells\": [";
    bool first = true;
    for (int32_t r = 0; r < cells.Count(); ++r) {
      const TSpreadSheetCols* row = cells.RowCells(r);
      if (!row) continue;
      row->ForEachCell([&](int32_t c, const TQXICell& cell) {
        os << (first ? "\n" : ",\n") << "   {\"r\": " << r << ", \"c\": " << c << ", \"type\": \""
           << CellTypeName(cell.CellType()) << "\", \"value\": " << CellValueJson(cell) << ", \"align\": \""
           << AlignmentName(cell.Alignment()) << "\", \"format\": " << JsonString(formats.Code(cell.FormatIndex()))
           << "}";
        first = false;
      });
    }
    os << (first ? "]}" : "\n  ]}");
  }
  os << (sheets.Count() ? "\n ]}\n" : "]}\n");
}

std::string FileFormatVersion(TSpreadSheetFile& reader) {
  static const char* const ExcelVersions[] = {"evUnknown", "evExcel2", "evExcel3", "evExcel4", "evExcel5",
                                              "evExcel7",  "evExcel8", "evExcel9", "evExcel12", "evExcel12Bin"};
  if (auto* excel = dynamic_cast<TCustomMSExcel*>(&reader)) {
    if (size_t(excel->Version) < std::size(ExcelVersions)) return ExcelVersions[excel->Version];
  } else if (auto* lotus = dynamic_cast<TLotus123*>(&reader)) {
    return WKSVersionName(lotus->Version());
  } else if (auto* quattro = dynamic_cast<TQuattroPro*>(&reader)) {
    return WQVersionName(quattro->Version());
  }
  return std::string();
}

// The program's version, then the file format version the reader detected.
static std::string DumpVersion(TSpreadSheetFile& reader) {
  std::string version = "varnowe-batch " VARNOWE_VERSION;
  const std::string format = FileFormatVersion(reader);
  if (!format.empty()) version += "; " + format;
  return version;
}

void DumpWorkbook(std::ostream& os, const std::string& path, const std::vector<std::string>& passwords) {
  const TReaderKind kind = TSpreadsheetConversion::ChooseReader(path);
  if (kind == rkNone) throw Exception("not a spreadsheet format this program reads");
  std::unique_ptr<TSpreadSheetFile> reader = TSpreadsheetConversion::CreateReader(kind);
  if (!reader) throw Exception(path + ": the " + ReaderKindName(kind) + " reader is not part of this build");
  TLoadWarnings warnings;
  reader->OnErrorProcess = TSpreadsheetConversion::RecordWarnings(warnings);
  reader->OnPassword = TSpreadsheetConversion::PasswordSource(passwords);
  TSpreadsheetConversion::LoadSource(*reader, path);
  const size_t slash = path.rfind('/');
  WriteWorkbookJson(os, slash == std::string::npos ? path : path.substr(slash + 1), ReaderKindName(kind),
                    DumpVersion(*reader), reader->Sheets, &warnings);
}
