// The Office Open XML writer of unit QXE2XLS: the package parts, the sheet
// part with its rows, the shared strings and the styles.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <unordered_set>

#include "CodePage.h"
#include "DateTime.h"
#include "QXE2XLS.h"
#include "QXE2XLS8.h"
#include "QXEStat.h"
#include "QXEZipFile.h"
#include "SysUtils.h"

namespace {

const char* const XmlDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n";
const char* const NsMain = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
const char* const NsRelationships = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
const char* const NsPackageRelationships = "http://schemas.openxmlformats.org/package/2006/relationships";
const char* const ContentTypeWorksheet = "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml";

// The package relationships (QXE_RELS).
const char* const QXE_RELS =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
    "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
    "<Relationship Id=\"rId3\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/"
    "extended-properties\" Target=\"docProps/app.xml\"/>"
    "<Relationship Id=\"rId2\" Type=\"http://schemas.openxmlformats.org/package/2006/relationships/metadata/"
    "core-properties\" Target=\"docProps/core.xml\"/>"
    "<Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/"
    "officeDocument\" Target=\"xl/workbook.xml\"/>"
    "</Relationships>";

// The default theme (QXE_THEME1).
const char* const QXE_THEME1 =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
    "<a:theme xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" name=\"Тема Office\">"
    "<a:themeElements>"
    "<a:clrScheme name=\"Стандартная\">"
    "<a:dk1><a:sysClr val=\"windowText\" lastClr=\"000000\"/></a:dk1>"
    "<a:lt1><a:sysClr val=\"window\" lastClr=\"FFFFFF\"/></a:lt1>"
    "<a:dk2><a:srgbClr val=\"1F497D\"/></a:dk2>"
    "<a:lt2><a:srgbClr val=\"EEECE1\"/></a:lt2>"
    "<a:accent1><a:srgbClr val=\"4F81BD\"/></a:accent1>"
    "<a:accent2><a:srgbClr val=\"C0504D\"/></a:accent2>"
    "<a:accent3><a:srgbClr val=\"9BBB59\"/></a:accent3>"
    "<a:accent4><a:srgbClr val=\"8064A2\"/></a:accent4>"
    "<a:accent5><a:srgbClr val=\"4BACC6\"/></a:accent5>"
    "<a:accent6><a:srgbClr val=\"F79646\"/></a:accent6>"
    "<a:hlink><a:srgbClr val=\"0000FF\"/></a:hlink>"
    "<a:folHlink><a:srgbClr val=\"800080\"/></a:folHlink>"
    "</a:clrScheme>"
    "<a:fontScheme name=\"Стандартная\">"
    "<a:majorFont><a:latin typeface=\"Cambria\"/><a:ea typeface=\"\"/><a:cs typeface=\"\"/>"
    "<a:font script=\"Jpan\" typeface=\"ＭＳ Ｐゴシック\"/><a:font script=\"Hang\" typeface=\"맑은 고딕\"/>"
    "<a:font script=\"Hans\" typeface=\"宋体\"/><a:font script=\"Hant\" typeface=\"新細明體\"/>"
    "<a:font script=\"Arab\" typeface=\"Times New Roman\"/><a:font script=\"Hebr\" typeface=\"Times New Roman\"/>"
    "<a:font script=\"Thai\" typeface=\"Tahoma\"/><a:font script=\"Ethi\" typeface=\"Nyala\"/>"
    "<a:font script=\"Beng\" typeface=\"Vrinda\"/><a:font script=\"Gujr\" typeface=\"Shruti\"/>"
    "<a:font script=\"Khmr\" typeface=\"MoolBoran\"/><a:font script=\"Knda\" typeface=\"Tunga\"/>"
    "<a:font script=\"Guru\" typeface=\"Raavi\"/><a:font script=\"Cans\" typeface=\"Euphemia\"/>"
    "<a:font script=\"Cher\" typeface=\"Plantagenet Cherokee\"/><a:font script=\"Yiii\" typeface=\"Microsoft Yi Baiti\"/>"
    "<a:font script=\"Tibt\" typeface=\"Microsoft Himalaya\"/><a:font script=\"Thaa\" typeface=\"MV Boli\"/>"
    "<a:font script=\"Deva\" typeface=\"Mangal\"/><a:font script=\"Telu\" typeface=\"Gautami\"/>"
    "<a:font script=\"Taml\" typeface=\"Latha\"/><a:font script=\"Syrc\" typeface=\"Estrangelo Edessa\"/>"
    "<a:font script=\"Orya\" typeface=\"Kalinga\"/><a:font script=\"Mlym\" typeface=\"Kartika\"/>"
    "<a:font script=\"Laoo\" typeface=\"DokChampa\"/><a:font script=\"Sinh\" typeface=\"Iskoola Pota\"/>"
    "<a:font script=\"Mong\" typeface=\"Mongolian Baiti\"/><a:font script=\"Viet\" typeface=\"Times New Roman\"/>"
    "<a:font script=\"Uigh\" typeface=\"Microsoft Uighur\"/></a:majorFont>"
    "<a:minorFont><a:latin typeface=\"Calibri\"/><a:ea typeface=\"\"/><a:cs typeface=\"\"/>"
    "<a:font script=\"Jpan\" typeface=\"ＭＳ Ｐゴシック\"/><a:font script=\"Hang\" typeface=\"맑은 고딕\"/>"
    "<a:font script=\"Hans\" typeface=\"宋体\"/><a:font script=\"Hant\" typeface=\"新細明體\"/>"
    "<a:font script=\"Arab\" typeface=\"Arial\"/><a:font script=\"Hebr\" typeface=\"Arial\"/>"
    "<a:font script=\"Thai\" typeface=\"Tahoma\"/><a:font script=\"Ethi\" typeface=\"Nyala\"/>"
    "<a:font script=\"Beng\" typeface=\"Vrinda\"/><a:font script=\"Gujr\" typeface=\"Shruti\"/>"
    "<a:font script=\"Khmr\" typeface=\"DaunPenh\"/><a:font script=\"Knda\" typeface=\"Tunga\"/>"
    "<a:font script=\"Guru\" typeface=\"Raavi\"/><a:font script=\"Cans\" typeface=\"Euphemia\"/>"
    "<a:font script=\"Cher\" typeface=\"Plantagenet Cherokee\"/><a:font script=\"Yiii\" typeface=\"Microsoft Yi Baiti\"/>"
    "<a:font script=\"Tibt\" typeface=\"Microsoft Himalaya\"/><a:font script=\"Thaa\" typeface=\"MV Boli\"/>"
    "<a:font script=\"Deva\" typeface=\"Mangal\"/><a:font script=\"Telu\" typeface=\"Gautami\"/>"
    "<a:font script=\"Taml\" typeface=\"Latha\"/><a:font script=\"Syrc\" typeface=\"Estrangelo Edessa\"/>"
    "<a:font script=\"Orya\" typeface=\"Kalinga\"/><a:font script=\"Mlym\" typeface=\"Kartika\"/>"
    "<a:font script=\"Laoo\" typeface=\"DokChampa\"/><a:font script=\"Sinh\" typeface=\"Iskoola Pota\"/>"
    "<a:font script=\"Mong\" typeface=\"Mongolian Baiti\"/><a:font script=\"Viet\" typeface=\"Arial\"/>"
    "<a:font script=\"Uigh\" typeface=\"Microsoft Uighur\"/></a:minorFont>"
    "</a:fontScheme>"
    "<a:fmtScheme name=\"Стандартная\">"
    "<a:fillStyleLst>"
    "<a:solidFill><a:schemeClr val=\"phClr\"/></a:solidFill>"
    "<a:gradFill rotWithShape=\"1\"><a:gsLst>"
    "<a:gs pos=\"0\"><a:schemeClr val=\"phClr\"><a:tint val=\"50000\"/><a:satMod val=\"300000\"/></a:schemeClr></a:gs>"
    "<a:gs pos=\"35000\"><a:schemeClr val=\"phClr\"><a:tint val=\"37000\"/><a:satMod val=\"300000\"/></a:schemeClr></a:gs>"
    "<a:gs pos=\"100000\"><a:schemeClr val=\"phClr\"><a:tint val=\"15000\"/><a:satMod val=\"350000\"/></a:schemeClr></a:gs>"
    "</a:gsLst><a:lin ang=\"16200000\" scaled=\"1\"/></a:gradFill>"
    "<a:gradFill rotWithShape=\"1\"><a:gsLst>"
    "<a:gs pos=\"0\"><a:schemeClr val=\"phClr\"><a:shade val=\"51000\"/><a:satMod val=\"130000\"/></a:schemeClr></a:gs>"
    "<a:gs pos=\"80000\"><a:schemeClr val=\"phClr\"><a:shade val=\"93000\"/><a:satMod val=\"130000\"/></a:schemeClr></a:gs>"
    "<a:gs pos=\"100000\"><a:schemeClr val=\"phClr\"><a:shade val=\"94000\"/><a:satMod val=\"135000\"/></a:schemeClr></a:gs>"
    "</a:gsLst><a:lin ang=\"16200000\" scaled=\"0\"/></a:gradFill>"
    "</a:fillStyleLst>"
    "<a:lnStyleLst>"
    "<a:ln w=\"9525\" cap=\"flat\" cmpd=\"sng\" algn=\"ctr\"><a:solidFill><a:schemeClr val=\"phClr\">"
    "<a:shade val=\"95000\"/><a:satMod val=\"105000\"/></a:schemeClr></a:solidFill><a:prstDash val=\"solid\"/></a:ln>"
    "<a:ln w=\"25400\" cap=\"flat\" cmpd=\"sng\" algn=\"ctr\"><a:solidFill><a:schemeClr val=\"phClr\"/></a:solidFill>"
    "<a:prstDash val=\"solid\"/></a:ln>"
    "<a:ln w=\"38100\" cap=\"flat\" cmpd=\"sng\" algn=\"ctr\"><a:solidFill><a:schemeClr val=\"phClr\"/></a:solidFill>"
    "<a:prstDash val=\"solid\"/></a:ln>"
    "</a:lnStyleLst>"
    "<a:effectStyleLst>"
    "<a:effectStyle><a:effectLst><a:outerShdw blurRad=\"40000\" dist=\"20000\" dir=\"5400000\" rotWithShape=\"0\">"
    "<a:srgbClr val=\"000000\"><a:alpha val=\"38000\"/></a:srgbClr></a:outerShdw></a:effectLst></a:effectStyle>"
    "<a:effectStyle><a:effectLst><a:outerShdw blurRad=\"40000\" dist=\"23000\" dir=\"5400000\" rotWithShape=\"0\">"
    "<a:srgbClr val=\"000000\"><a:alpha val=\"35000\"/></a:srgbClr></a:outerShdw></a:effectLst></a:effectStyle>"
    "<a:effectStyle><a:effectLst><a:outerShdw blurRad=\"40000\" dist=\"23000\" dir=\"5400000\" rotWithShape=\"0\">"
    "<a:srgbClr val=\"000000\"><a:alpha val=\"35000\"/></a:srgbClr></a:outerShdw></a:effectLst>"
    "<a:scene3d><a:camera prst=\"orthographicFront\"><a:rot lat=\"0\" lon=\"0\" rev=\"0\"/></a:camera>"
    "<a:lightRig rig=\"threePt\" dir=\"t\"><a:rot lat=\"0\" lon=\"0\" rev=\"1200000\"/></a:lightRig></a:scene3d>"
    "<a:sp3d><a:bevelT w=\"63500\" h=\"25400\"/></a:sp3d></a:effectStyle>"
    "</a:effectStyleLst>"
    "<a:bgFillStyleLst>"
    "<a:solidFill><a:schemeClr val=\"phClr\"/></a:solidFill>"
    "<a:gradFill rotWithShape=\"1\"><a:gsLst>"
    "<a:gs pos=\"0\"><a:schemeClr val=\"phClr\"><a:tint val=\"40000\"/><a:satMod val=\"350000\"/></a:schemeClr></a:gs>"
    "<a:gs pos=\"40000\"><a:schemeClr val=\"phClr\"><a:tint val=\"45000\"/><a:shade val=\"99000\"/>"
    "<a:satMod val=\"350000\"/></a:schemeClr></a:gs>"
    "<a:gs pos=\"100000\"><a:schemeClr val=\"phClr\"><a:shade val=\"20000\"/><a:satMod val=\"255000\"/></a:schemeClr></a:gs>"
    "</a:gsLst><a:path path=\"circle\"><a:fillToRect l=\"50000\" t=\"-80000\" r=\"50000\" b=\"180000\"/></a:path></a:gradFill>"
    "<a:gradFill rotWithShape=\"1\"><a:gsLst>"
    "<a:gs pos=\"0\"><a:schemeClr val=\"phClr\"><a:tint val=\"80000\"/><a:satMod val=\"300000\"/></a:schemeClr></a:gs>"
    "<a:gs pos=\"100000\"><a:schemeClr val=\"phClr\"><a:shade val=\"30000\"/><a:satMod val=\"200000\"/></a:schemeClr></a:gs>"
    "</a:gsLst><a:path path=\"circle\"><a:fillToRect l=\"50000\" t=\"50000\" r=\"50000\" b=\"50000\"/></a:path></a:gradFill>"
    "</a:bgFillStyleLst>"
    "</a:fmtScheme>"
    "</a:themeElements>"
    "<a:objectDefaults/><a:extraClrSchemeLst/>"
    "</a:theme>";

// The default font of every package, as the theme names it.
const char* const DefaultFontElement =
    "<font><sz val=\"11\"/><color theme=\"1\"/><name val=\"Calibri\"/><family val=\"2\"/><scheme val=\"minor\"/></font>";

constexpr int32_t CurrencyFormatId = 164;
// "A1:XFD1048576", or a range between two cells as far apart as that.
constexpr size_t MaxReferenceLength = 21;

// --- text ------------------------------------------------------------------

bool IsHexDigit(char32_t c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

// "_x" and four hex digits and "_" at i: what a reader decodes as one character.
template <class C>
bool LooksEscaped(const C* p, size_t n, size_t i) {
  if (i + 7 > n || p[i + 1] != 'x' || p[i + 6] != '_') return false;
  for (size_t k = 2; k < 6; ++k)
    if (!IsHexDigit(char32_t(p[i + k]))) return false;
  return true;
}

void AppendEscape(std::string& out, char32_t c) {
  static const char Hex[] = "0123456789ABCDEF";
  out += "_x";
  for (int shift = 12; shift >= 0; shift -= 4) out += Hex[(c >> shift) & 15];
  out += '_';
}

// One character that is not plain ASCII text.
void AppendCharacter(std::string& out, char32_t c, bool attribute) {
  switch (c) {
    case '&': out += "&amp;"; return;
    case '<': out += "&lt;"; return;
    case '>': out += "&gt;"; return;
    case '"': out += attribute ? "&quot;" : "\""; return;
    case '\r': out += "&#13;"; return;
    case '\t': out += attribute ? "&#9;" : "\t"; return;
    case '\n': out += attribute ? "&#10;" : "\n"; return;
    default: break;
  }
  if (c < 0x20 || c == 0xFFFE || c == 0xFFFF) {
    AppendEscape(out, c);
  } else if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | (c >> 6));
    out += char(0x80 | (c & 63));
  } else if (c < 0x10000) {
    out += char(0xE0 | (c >> 12));
    out += char(0x80 | ((c >> 6) & 63));
    out += char(0x80 | (c & 63));
  } else {
    out += char(0xF0 | (c >> 18));
    out += char(0x80 | ((c >> 12) & 63));
    out += char(0x80 | ((c >> 6) & 63));
    out += char(0x80 | (c & 63));
  }
}

bool IsPlainAscii(char32_t c) {
  return c >= 0x20 && c < 0x80 && c != '&' && c != '<' && c != '>' && c != '"' && c != '_';
}

// Text in UTF-8, checked: malformed sequences become U+FFFD.
void AppendUtf8Text(std::string& out, std::string_view text, bool attribute) {
  const auto* begin = reinterpret_cast<const uint8_t*>(text.data());
  const uint8_t* end = begin + text.size();
  for (const uint8_t* p = begin; p < end;) {
    const uint8_t b = *p;
    if (b < 0x80) {
      if (IsPlainAscii(b)) {
        const uint8_t* run = p;
        while (p < end && IsPlainAscii(*p)) ++p;
        out.append(reinterpret_cast<const char*>(run), size_t(p - run));
        continue;
      }
      if (b == '_') out += LooksEscaped(text.data(), text.size(), size_t(p - begin)) ? "_x005F_" : "_";
      else AppendCharacter(out, b, attribute);
      ++p;
      continue;
    }
    const uint8_t* start = p;
    const char32_t c = NextUtf8CodePoint(p, end);
    if (c == 0xFFFD || c == 0xFFFE || c == 0xFFFF) AppendCharacter(out, c, attribute);
    else out.append(reinterpret_cast<const char*>(start), size_t(p - start));
  }
}

void AppendInt(std::string& out, int64_t v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void AppendCellReference(std::string& out, int32_t row, int32_t column) {
  char letters[8];
  int n = 0;
  for (int64_t c = int64_t(column) + 1; c > 0 && n < 8; c = (c - 1) / 26) letters[n++] = char('A' + (c - 1) % 26);
  while (n > 0) out += letters[--n];
  AppendInt(out, int64_t(row) + 1);
}

std::string Attribute(const std::string& ansiText) {
  std::string out;
  AppendSpreadsheetMLText(out, std::string_view(ansiText), true);
  return out;
}

// "FF" and the colour's red, green and blue; empty for a system colour.
std::string Argb(TColor color) {
  if (color < 0) return std::string();
  return Format("FF%.2X%.2X%.2X", color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF);
}

bool HasFill(TColor color) { return color >= 0 && (color & 0xFFFFFF) != clWhite; }

// --- fixed and generated parts -----------------------------------------------

std::string ContentTypes(size_t sheets) {
  std::string s = XmlDeclaration;
  s += "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
       "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
       "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
       "<Default Extension=\"png\" ContentType=\"image/png\"/><Default Extension=\"jpeg\" ContentType=\"image/jpeg\"/>"
       "<Default Extension=\"gif\" ContentType=\"image/gif\"/>"
       // Drawing parts by their extension: a sheet's pictures are known
       // only after this first part is written.
       "<Default Extension=\"drawing\" ContentType=\"application/vnd.openxmlformats-officedocument.drawing+xml\"/>"
       "<Override PartName=\"/xl/workbook.xml\" "
       "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>";
  for (size_t i = 1; i <= sheets; ++i)
    s += "<Override PartName=\"/xl/worksheets/sheet" + std::to_string(i) + ".xml\" ContentType=\"" +
         ContentTypeWorksheet + "\"/>";
  s += "<Override PartName=\"/xl/theme/theme1.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.theme+xml\"/>"
       "<Override PartName=\"/xl/styles.xml\" "
       "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml\"/>"
       "<Override PartName=\"/xl/sharedStrings.xml\" "
       "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml\"/>"
       "<Override PartName=\"/docProps/core.xml\" ContentType=\"application/vnd.openxmlformats-package.core-properties+xml\"/>"
       "<Override PartName=\"/docProps/app.xml\" "
       "ContentType=\"application/vnd.openxmlformats-officedocument.extended-properties+xml\"/>"
       "</Types>";
  return s;
}

std::string Workbook(const std::vector<std::u16string>& names) {
  std::string s = XmlDeclaration;
  s += std::string("<workbook xmlns=\"") + NsMain + "\" xmlns:r=\"" + NsRelationships + "\">" +
       "<fileVersion appName=\"xl\" lastEdited=\"4\" lowestEdited=\"4\" rupBuild=\"4505\"/>"
       "<workbookPr defaultThemeVersion=\"124226\"/>"
       "<bookViews><workbookView xWindow=\"120\" yWindow=\"45\" windowWidth=\"15135\" windowHeight=\"8130\"/></bookViews>"
       "<sheets>";
  for (size_t i = 0; i < names.size(); ++i) {
    s += "<sheet name=\"";
    AppendSpreadsheetMLText(s, std::u16string_view(names[i]), true);
    s += "\" sheetId=\"" + std::to_string(i + 1) + "\" r:id=\"rId" + std::to_string(i + 1) + "\"/>";
  }
  s += "</sheets><calcPr calcId=\"124519\"/></workbook>";
  return s;
}

std::string WorkbookRelationships(size_t sheets) {
  const std::string type = std::string("http://schemas.openxmlformats.org/officeDocument/2006/relationships/");
  auto rel = [&](size_t id, const char* kind, const std::string& target) {
    return "<Relationship Id=\"rId" + std::to_string(id) + "\" Type=\"" + type + kind + "\" Target=\"" + target + "\"/>";
  };
  std::string s = XmlDeclaration;
  s += std::string("<Relationships xmlns=\"") + NsPackageRelationships + "\">";
  for (size_t i = 1; i <= sheets; ++i) s += rel(i, "worksheet", "worksheets/sheet" + std::to_string(i) + ".xml");
  s += rel(sheets + 1, "theme", "theme/theme1.xml");
  s += rel(sheets + 2, "styles", "styles.xml");
  s += rel(sheets + 3, "sharedStrings", "sharedStrings.xml");
  s += "</Relationships>";
  return s;
}

std::string AppProperties(const std::vector<std::u16string>& names) {
  std::string s = XmlDeclaration;
  s += "<Properties xmlns=\"http://schemas.openxmlformats.org/officeDocument/2006/extended-properties\" "
       "xmlns:vt=\"http://schemas.openxmlformats.org/officeDocument/2006/docPropsVTypes\">"
       "<Application>Microsoft Excel</Application><DocSecurity>0</DocSecurity><ScaleCrop>false</ScaleCrop>"
       "<HeadingPairs><vt:vector size=\"2\" baseType=\"variant\"><vt:variant><vt:lpstr>Worksheets</vt:lpstr></vt:variant>"
       "<vt:variant><vt:i4>" +
       std::to_string(names.size()) +
       "</vt:i4></vt:variant></vt:vector></HeadingPairs>"
       "<TitlesOfParts><vt:vector size=\"" +
       std::to_string(names.size()) + "\" baseType=\"lpstr\">";
  for (const std::u16string& n : names) {
    s += "<vt:lpstr>";
    AppendSpreadsheetMLText(s, std::u16string_view(n));
    s += "</vt:lpstr>";
  }
  s += "</vt:vector></TitlesOfParts><Company>Morvell Software</Company><LinksUpToDate>false</LinksUpToDate>"
       "<SharedDoc>false</SharedDoc><HyperlinksChanged>false</HyperlinksChanged><AppVersion>12.0000</AppVersion>"
       "</Properties>";
  return s;
}

// A W3CDTF moment in UTC, marked so.
std::string W3CDTF(std::time_t moment) {
  struct tm t {};
  gmtime_r(&moment, &t);
  return Format("%04d-%02d-%02dT%02d:%02d:%02dZ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                t.tm_sec);
}

// Dublin Core elements are plain XML, not SpreadsheetML: no "_xHHHH_"
// escapes, and the characters XML cannot hold are left out.
void AppendPropertyElement(std::string& out, const char* element, const std::string& ansi) {
  if (ansi.empty()) return;
  const std::string utf8 = AnsiToUtf8(ansi);
  out += std::string("<") + element + ">";
  const auto* p = reinterpret_cast<const uint8_t*>(utf8.data());
  const uint8_t* end = p + utf8.size();
  while (p < end) {
    const uint8_t* start = p;
    const char32_t c = NextUtf8CodePoint(p, end);
    if ((c < 0x20 && c != '\t' && c != '\n') || c == 0xFFFE || c == 0xFFFF) continue;
    if (c == '&' || c == '<' || c == '>' || c == '\r' || c == 0xFFFD) AppendCharacter(out, c, false);
    else out.append(reinterpret_cast<const char*>(start), size_t(p - start));
  }
  out += std::string("</") + element + ">";
}

// The source's properties; this program is the one that last saved it, and
// the author too when the source names none. Created: the source's moment,
// else the package's, as modified.
std::string CoreProperties(std::time_t moment, const TDocumentProperties& props) {
  int64_t created = moment;
  if (props.Created <= 0 || !TryDateTimeToUnix(props.Created, created)) created = moment;
  std::string s = XmlDeclaration;
  s += "<cp:coreProperties xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/metadata/core-properties\" "
       "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:dcterms=\"http://purl.org/dc/terms/\" "
       "xmlns:dcmitype=\"http://purl.org/dc/dcmitype/\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">";
  AppendPropertyElement(s, "dc:title", props.Title);
  AppendPropertyElement(s, "dc:subject", props.Subject);
  AppendPropertyElement(s, "dc:creator", props.Author.empty() ? std::string("QXExport suite") : props.Author);
  AppendPropertyElement(s, "cp:keywords", props.Keywords);
  s += "<cp:lastModifiedBy>QXExport suite</cp:lastModifiedBy>"
       "<dcterms:created xsi:type=\"dcterms:W3CDTF\">" +
       W3CDTF(std::time_t(created)) + "</dcterms:created><dcterms:modified xsi:type=\"dcterms:W3CDTF\">" +
       W3CDTF(moment) + "</dcterms:modified></cp:coreProperties>";
  return s;
}

std::string DimensionElement(const std::string& reference) {
  // Padded inside the tag, so that any range fits when it is patched.
  std::string s = "<dimension ref=\"" + reference + "\"";
  s.append(MaxReferenceLength - reference.size(), ' ');
  return s + "/>";
}

}  // namespace

// --- text for parts ------------------------------------------------------------

const char* XlsxDeclaration() { return XmlDeclaration; }

void AppendSpreadsheetMLText(std::string& out, std::u16string_view text, bool attribute) {
  const size_t n = text.size();
  for (size_t i = 0; i < n; ++i) {
    char32_t c = text[i];
    if (IsPlainAscii(c)) {
      out += char(c);
      continue;
    }
    if (c == '_') {
      out += LooksEscaped(text.data(), n, i) ? "_x005F_" : "_";
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendCharacter(out, c, attribute);
  }
}

void AppendSpreadsheetMLText(std::string& out, std::string_view text, bool attribute) {
  if (GetACP() != CP_UTF8 &&
      std::any_of(text.begin(), text.end(), [](char c) { return uint8_t(c) >= 0x80; })) {
    AppendSpreadsheetMLText(out, std::u16string_view(AnsiToWide(std::string(text))), attribute);
    return;
  }
  AppendUtf8Text(out, text, attribute);
}

void AppendShortestDouble(std::string& out, double value) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}

// --- the sheet part --------------------------------------------------------------

// One worksheet part: the head (with the dimension as a placeholder), the
// rows, the tail. Cells normally arrive in row order and stream into the
// part; layouts that put them out of order (reversed columns, detail
// levels) gather them and sort them at the end.
class TXLSXSheetPart {
 public:
  TXLSXSheetPart(QXEZipFile::TZipArchive& zip, const std::string& name, bool selected, bool gather)
      : FZip(zip), FStream(zip.AddFile(name)), FSelected(selected), FGather(gather) {}

  // Column widths (1/256 of a character) come before the first cell, in
  // ascending order; neighbours alike share one element.
  void AddColumn(int32_t column, int32_t width256, bool hidden) {
    if (FHeadWritten || column <= FColMax) return;
    if (FColMax >= 0 && column == FColMax + 1 && width256 == FColWidth && hidden == FColHidden) {
      FColMax = column;
      return;
    }
    FlushColumns();
    FColMin = FColMax = column;
    FColWidth = width256;
    FColHidden = hidden;
  }

  // A cell: BeginCell opens its element at its position and gives the
  // buffer the rest of it (after the reference) goes on; EndCell closes it.
  // The element is written in place, not built and copied.
  std::string& BeginCell(int32_t row, int32_t column) {
    if (!FHeadWritten) WriteHead();
    if (FGather) {
      FGathered.push_back({row, column, FGatheredText.size(), 0});
      return FGatheredText;
    }
    if (row != FOpenRow) {
      if (row < FOpenRow) OutOfOrder(row, column);
      OpenRow(row);
    } else if (column <= FLastColumn) {
      OutOfOrder(row, column);
    }
    PutReference(row, column);
    return FBuffer;
  }

  void EndCell() {
    if (FGather) {
      FGathered.back().Length = uint32_t(FGatheredText.size() - FGathered.back().At);
      return;
    }
    if (FBuffer.size() >= 256 * 1024) Flush();
  }

  void EndRow() {
    if (FBuffer.size() >= 32 * 1024) Flush();
  }

  // drawing: the sheet has pictures (its relationship rId1).
  void Finish(bool drawing) {
    if (!FHeadWritten) WriteHead();
    if (FGather) WriteGathered();
    if (FOpenRow >= 0) FBuffer += "</row>";
    FBuffer += "</sheetData><pageMargins left=\"0.7\" right=\"0.7\" top=\"0.75\" bottom=\"0.75\" header=\"0.3\" "
               "footer=\"0.3\"/>";
    if (drawing) FBuffer += "<drawing r:id=\"rId1\"/>";
    FBuffer += "</worksheet>";
    Flush();
    std::string reference;
    if (FMaxRow < 0) {
      reference = "A1";
    } else {
      AppendCellReference(reference, FMinRow, FMinColumn);
      if (FMaxRow != FMinRow || FMaxColumn != FMinColumn) {
        reference += ':';
        AppendCellReference(reference, FMaxRow, FMaxColumn);
      }
    }
    FZip.ReplacePlaceholder(DimensionElement(reference));
    FZip.CloseFile();
  }

 private:
  void WriteHead() {
    FHeadWritten = true;
    FStream.WriteString(std::string(XmlDeclaration) + "<worksheet xmlns=\"" + NsMain + "\" xmlns:r=\"" +
                        NsRelationships + "\">");
    FZip.WritePlaceholder(DimensionElement("A1"));
    FBuffer = "<sheetViews><sheetView";
    if (FSelected) FBuffer += " tabSelected=\"1\"";
    FBuffer += " workbookViewId=\"0\"><selection activeCell=\"A1\" sqref=\"A1\"/></sheetView></sheetViews>"
               "<sheetFormatPr defaultRowHeight=\"15\"/>";
    FlushColumns();
    if (!FColumns.empty()) FBuffer += "<cols>" + FColumns + "</cols>";
    FColumns.clear();
    FColumns.shrink_to_fit();
    FBuffer += "<sheetData>";
  }

  void FlushColumns() {
    if (FColMax < 0) return;
    FColumns += "<col min=\"";
    AppendInt(FColumns, int64_t(FColMin) + 1);
    FColumns += "\" max=\"";
    AppendInt(FColumns, int64_t(FColMax) + 1);
    FColumns += "\" width=\"";
    AppendShortestDouble(FColumns, FColWidth / 256.0);
    FColumns += FColHidden ? "\" hidden=\"1\" customWidth=\"1\"/>" : "\" customWidth=\"1\"/>";
    FColMin = -1;
  }

  void OpenRow(int32_t row) {
    if (FOpenRow >= 0) FBuffer += "</row>";
    FBuffer += "<row r=\"";
    AppendInt(FBuffer, int64_t(row) + 1);
    FBuffer += "\">";
    FOpenRow = row;
    FLastColumn = -1;
  }

  void PutReference(int32_t row, int32_t column) {
    FBuffer += "<c r=\"";
    AppendCellReference(FBuffer, row, column);
    FBuffer += '"';
    FLastColumn = column;
    FMinRow = std::min(FMinRow, row);
    FMaxRow = std::max(FMaxRow, row);
    FMinColumn = std::min(FMinColumn, column);
    FMaxColumn = std::max(FMaxColumn, column);
  }

  void WriteGathered() {
    std::stable_sort(FGathered.begin(), FGathered.end(), [](const TGathered& a, const TGathered& b) {
      return a.Row != b.Row ? a.Row < b.Row : a.Column < b.Column;
    });
    for (size_t i = 0; i < FGathered.size(); ++i) {
      const TGathered& g = FGathered[i];
      // A place written twice keeps the later cell.
      if (i + 1 < FGathered.size() && FGathered[i + 1].Row == g.Row && FGathered[i + 1].Column == g.Column) continue;
      if (g.Row != FOpenRow) OpenRow(g.Row);
      PutReference(g.Row, g.Column);
      FBuffer.append(std::string_view(FGatheredText).substr(g.At, g.Length));
      if (FBuffer.size() >= 256 * 1024) Flush();
    }
    FGathered = {};
    FGatheredText = {};
  }

  [[noreturn]] void OutOfOrder(int32_t row, int32_t column) {
    std::string at, last;
    AppendCellReference(at, row, column);
    AppendCellReference(last, FOpenRow, FLastColumn);
    throw Exception("The cells of this export come out of row order (" + at + " after " + last +
                    "); the workbook cannot be written.");
  }

  void Flush() {
    if (FBuffer.empty()) return;
    FStream.WriteBuffer(FBuffer.data(), int64_t(FBuffer.size()));
    FBuffer.clear();
  }

  struct TGathered {
    int32_t Row, Column;
    uint64_t At;
    uint32_t Length;
  };

  QXEZipFile::TZipArchive& FZip;
  TStream& FStream;
  bool FSelected;
  bool FGather;
  bool FHeadWritten = false;
  std::string FBuffer;
  std::string FColumns;
  int32_t FColMin = -1, FColMax = -1, FColWidth = 0;
  bool FColHidden = false;
  int32_t FOpenRow = -1, FLastColumn = -1;
  int32_t FMinRow = INT32_MAX, FMinColumn = INT32_MAX, FMaxRow = -1, FMaxColumn = -1;
  std::vector<TGathered> FGathered;
  std::string FGatheredText;
};

// --- TQXExportToXLSX -------------------------------------------------------------

TQXExportToXLSX::TQXExportToXLSX() { SetTableType(teExcel2007); }

TQXExportToXLSX::~TQXExportToXLSX() = default;

int32_t TQXExportToXLSX::NumberFormatOf(TCellType cellType) const {
  switch (cellType) {
    case ctCurrency: return CurrencyFormatId;
    default: return TQXExportToCustomXLS::NumberFormatOf(cellType);
  }
}

std::string TQXExportToXLSX::NumberFormatCode(int32_t index) const {
  if (index == CurrencyFormatId) return CurrencyFormatCode();
  return index >= 0 && index < 50 ? BuiltInFormat(index, false) : TQXExportToCustomXLS::NumberFormatCode(index);
}

void TQXExportToXLSX::InitDefaultFont(TQXEFont& font) const {
  font = TQXEFont();
  font.Name = "Calibri";
  font.Size = 11;
  font.Color = clWindowText;
}

std::string TQXExportToXLSX::CurrencyFormatCode() const {
  const std::string c = "\"" + StringReplaceAll(DataFormats.CurrencyString, "\"", "") + "\"";
  switch (FFormatSettings.CurrencyFormat) {
    case 1: return "#,##0.00" + c;
    case 2: return c + " #,##0.00";
    case 3: return "#,##0.00 " + c;
    default: return c + "#,##0.00";
  }
}

void TQXExportToXLSX::DropPackage() {
  FPart = nullptr;
  FSheet.reset();
  FZip.reset();
}

void TQXExportToXLSX::FinishExport() {
  // After a failure the package is left unfinished; its output is gone. A
  // workbook's package stays open for its next sheet.
  if (!FWorkbook) DropPackage();
  TQXExportToCustomXLS::FinishExport();
}

void TQXExportToXLSX::OpenWorkbook(TStream& out, const std::vector<std::u16string>& sheetNames) {
  std::vector<std::u16string> names;
  std::unordered_set<std::u16string> taken;
  for (const std::u16string& wanted : sheetNames)
    names.push_back(TQXEXLS8Book::ValidSheetName(wanted, int32_t(names.size()) + 1, taken));
  if (names.empty()) names.push_back(u"Sheet1");  // a workbook holds at least one sheet
  FWorkbook = false;
  ClearRegistries();
  RegisterPackageDefaults();
  OpenPackage(out, names);
  FWorkbook = true;
  FNextSheet = 0;
}

void TQXExportToXLSX::CloseWorkbook() {
  if (!FWorkbook) return;
  FWorkbook = false;
  // Sheets named but never exported stay empty.
  for (; FNextSheet < int32_t(FSheetNames.size()); ++FNextSheet) {
    BeginSheet(FNextSheet);
    EndSheet();
  }
  ClosePackage();
}

void TQXExportToXLSX::RegisterPackageDefaults() {
  FFills.clear();
  TQXEFont font;
  InitDefaultFont(font);
  RegisterFont(font);
  TXLSFormat general;
  general.NumberFormat = 0;
  general.Alignment = 0;
  RegisterFormat(general);
}

void TQXExportToXLSX::OpenPackage(TStream& out, const std::vector<std::u16string>& sheetNames) {
  DropPackage();
  FSheetNames = sheetNames;
  FMoment = DocumentTime ? DocumentTime : std::time(nullptr);
  FMediaCount = 0;
  FZip = std::make_unique<QXEZipFile::TZipArchive>(out);
  FZip->Time = FMoment;
  FZip->Compression = Compression;
  // The content types first and the workbook within the first entries:
  // that is how file-type sniffers know a workbook.
  FZip->AddFileData("[Content_Types].xml", ContentTypes(sheetNames.size()));
  FZip->AddFileData("_rels/.rels", QXE_RELS);
  FZip->AddFileData("xl/workbook.xml", Workbook(sheetNames));
  FZip->AddFileData("xl/_rels/workbook.xml.rels", WorkbookRelationships(sheetNames.size()));
  FZip->AddFileData("xl/theme/theme1.xml", QXE_THEME1);
  FZip->AddFileData("docProps/app.xml", AppProperties(sheetNames));
  FZip->AddFileData("docProps/core.xml", CoreProperties(FMoment, OutputProperties()));
}

void TQXExportToXLSX::BeginSheet(int32_t index) {
  const bool gather = Layout == elReversedColumnar || DetailSources.Count() > 0;
  FSheetIndex = index;
  FSheetPictures.clear();
  FSheet = std::make_unique<TXLSXSheetPart>(*FZip, "xl/worksheets/sheet" + std::to_string(index + 1) + ".xml",
                                            index == 0, gather);
}

void TQXExportToXLSX::EndSheet() {
  if (!FSheet) return;
  FSheet->Finish(!FSheetPictures.empty());
  FSheet.reset();
  WriteDrawing(FSheetIndex);
}

void TQXExportToXLSX::ClosePackage() {
  WriteSharedStrings();
  WriteStyles();
  ClearRegistries();
  FZip->Close();
  FZip.reset();
}

// --- hooks ---------------------------------------------------------------------

void TQXExportToXLSX::StartFile() {
  TQXExportToCustomXLS::StartFile();
  if (FWorkbook) {
    if (!FZip || FNextSheet >= int32_t(FSheetNames.size()))
      throw Exception("More sheets were exported than the workbook was opened with.");
    BeginSheet(FNextSheet++);
    return;
  }
  DropPackage();
  ClearRegistries();
  RegisterPackageDefaults();
  // One sheet, under the source sheet's name made valid.
  std::unordered_set<std::u16string> taken;
  OpenPackage(*Stream(), {TQXEXLS8Book::ValidSheetName(SheetName, 1, taken)});
  BeginSheet(0);
}

void TQXExportToXLSX::SetDimensions(int32_t rowCount, int32_t colCount) {
  GatherColumnLooks();
  // Known too large before anything is written.
  if (RowsPerFile == 0 &&
      int64_t(rowCount) + int64_t(Header.size()) + int64_t(Footer.size()) > int64_t(MaxRows()))
    throw EQXEMaxRowCountException(Format(QXEMaxRowCountText, MaxRows()));
  if (int64_t(colCount) - 1 > MaxCols()) throw EQXEMaxColCountException(Format(QXEMaxColCountText, MaxCols()));
}

void TQXExportToXLSX::SetColumnWidth(int32_t column, int32_t width) {
  if (!FSheet || column < 0 || column >= MaxCols()) return;
  if (const TColumnLook* look = ColumnLook(column)) {
    // The source's width; none given: the reader's default.
    if (look->Width256 <= 0 && !look->Hidden) return;
    FSheet->AddColumn(column, look->Width256 > 0 ? std::min(look->Width256, 255 * 256) : DefaultWidth256,
                      look->Hidden);
    return;
  }
  if (width < 1) return;
  if (width == 10) width = 12;
  FSheet->AddColumn(column, std::min(width, 255) * 256, false);
}

void TQXExportToXLSX::BeginRow() {
  TQXExportToCustomXLS::BeginRow();
  if (Statistic.CurrentRow > MaxRows() - 1) throw EQXEMaxRowCountException(Format(QXEMaxRowCountText, MaxRows()));
}

void TQXExportToXLSX::EndRow() {
  if (FSheet) FSheet->EndRow();
  TQXExportToCustomXLS::EndRow();
}

int32_t TQXExportToXLSX::CellXF(int32_t numberFormat, TAlignment alignment, const TQXEFont& font, TColor color) {
  TXLSFormat f;
  f.NumberFormat = numberFormat;
  f.Alignment = alignment == taCenter ? 2 : alignment == taRightJustify ? 3 : 0;
  if (HasOption(soColorsFonts)) {
    f.FontIndex = std::max(RegisterFont(font), 0);
    f.Color = color;
  }
  return RegisterFormat(f);
}

void TQXExportToXLSX::WriteCell(TQXEField* field, TCellType cellType, int32_t row, int32_t column,
                                const std::string& text, TAlignment alignment, const TQXEFont& font, TColor color) {
  TExcelCell cell;
  if (!ClassifyCell(cellType, row, column, text, cell)) return;
  TQXExportToCustomXLS::WriteCell(field, cellType, row, column, text, alignment, font, color);
  if (!FSheet) return;
  if (cell.Kind == TExcelCell::ecPicture) {
    GatherPicture(field, row, column, text);
    return;
  }
  const int32_t xf = CellXF(FNumberFormatIds.Id(cell.FormatCode, cell.BuiltIn), alignment, font, color);
  switch (cell.Kind) {
    case TExcelCell::ecBlank:
      if (HasOption(soExportBlankValues)) PutBlank(row, column, xf);
      break;
    case TExcelCell::ecNumber:
      if (cell.IsInteger) PutInteger(row, column, xf, cell.Integer);
      else PutNumber(row, column, xf, cell.Number);
      break;
    case TExcelCell::ecBoolean: PutBoolean(row, column, xf, cell.Boolean); break;
    case TExcelCell::ecError: PutError(row, column, xf, cell.Error); break;
    case TExcelCell::ecText: PutString(row, column, xf, cell); break;
    default: break;
  }
}

std::string& TQXExportToXLSX::StartCell(int32_t row, int32_t column, int32_t xf) {
  std::string& out = FSheet->BeginCell(row, column);
  if (xf > 0) {
    out += " s=\"";
    AppendInt(out, xf);
    out += '"';
  }
  return out;
}

void TQXExportToXLSX::PutNumber(int32_t row, int32_t column, int32_t xf, double value) {
  std::string& out = StartCell(row, column, xf);
  if (!std::isfinite(value)) {
    out += " t=\"e\"><v>#NUM!</v></c>";
  } else {
    out += "><v>";
    AppendShortestDouble(out, value);
    out += "</v></c>";
  }
  FSheet->EndCell();
}

void TQXExportToXLSX::PutInteger(int32_t row, int32_t column, int32_t xf, int64_t value) {
  std::string& out = StartCell(row, column, xf);
  out += "><v>";
  AppendInt(out, value);
  out += "</v></c>";
  FSheet->EndCell();
}

void TQXExportToXLSX::PutBoolean(int32_t row, int32_t column, int32_t xf, bool value) {
  StartCell(row, column, xf) += value ? " t=\"b\"><v>1</v></c>" : " t=\"b\"><v>0</v></c>";
  FSheet->EndCell();
}

void TQXExportToXLSX::PutBlank(int32_t row, int32_t column, int32_t xf) {
  StartCell(row, column, xf) += "/>";
  FSheet->EndCell();
}

void TQXExportToXLSX::PutError(int32_t row, int32_t column, int32_t xf, std::string_view error) {
  std::string& out = StartCell(row, column, xf);
  out += " t=\"e\"><v>";
  AppendUtf8Text(out, error, false);
  out += "</v></c>";
  FSheet->EndCell();
}

void TQXExportToXLSX::PutString(int32_t row, int32_t column, int32_t xf, const TExcelCell& cell) {
  int32_t index = -1;
  // A text the model holds once (a shared string) is escaped and hashed
  // once, however many cells show it.
  if (cell.TextKey && (index = FSST.Find(cell.TextKey)) >= 0) FSST.Reuse(index);
  if (index < 0) {
    FText.clear();
    std::u16string wide;
    const TVariant* value = cell.TextValue;
    // Excel's cell limit, in UTF-16 units; longer texts are cut at a character boundary.
    auto tooLong = [&](size_t units) { return units > TQXEXLS8Book::MaxTextLength; };
    if ((value && value->Type() == TVarType::WideString && tooLong(value->AsWide().size())) ||
        (value && value->Type() == TVarType::String && tooLong(value->AsString().size())) ||
        (!value && cell.Text && tooLong(cell.Text->size()))) {
      wide = CellWideText(cell);
      if (tooLong(wide.size())) {
        size_t n = TQXEXLS8Book::MaxTextLength;
        if (wide[n - 1] >= 0xD800 && wide[n - 1] <= 0xDBFF) --n;
        wide.resize(n);
        NoteCutText(row, column, "32,767 characters");
      }
      AppendSpreadsheetMLText(FText, std::u16string_view(wide));
    } else if (value && value->Type() == TVarType::WideString) {
      AppendSpreadsheetMLText(FText, std::u16string_view(value->AsWide()));
    } else if (value && value->Type() == TVarType::String) {
      AppendSpreadsheetMLText(FText, std::string_view(value->AsString()));
    } else if (cell.Text) {
      switch (CharacterSet) {
        case csUTF8: AppendUtf8Text(FText, *cell.Text, false); break;
        case csASCII_MSDOS: AppendSpreadsheetMLText(FText, std::u16string_view(AnsiToWide(*cell.Text, GetOEMCP()))); break;
        default: AppendSpreadsheetMLText(FText, std::string_view(*cell.Text)); break;
      }
    }
    index = FSST.Add(FText);
    if (cell.TextKey) FSST.Remember(cell.TextKey, index);
  }
  std::string& out = StartCell(row, column, xf);
  out += " t=\"s\"><v>";
  AppendInt(out, index);
  out += "</v></c>";
  FSheet->EndCell();
}

void TQXExportToXLSX::EndOfFile() {
  TQXExportToCustomXLS::EndOfFile();
  if (!FZip) return;
  EndSheet();
  if (FWorkbook) return;
  for (size_t i = 1; i < FSheetNames.size(); ++i) {
    BeginSheet(int32_t(i));
    EndSheet();
  }
  ClosePackage();
}

// --- shared strings and styles ------------------------------------------------------

void TQXExportToXLSX::WriteSharedStrings() {
  TStream& s = FZip->AddFile("xl/sharedStrings.xml");
  std::string b = XmlDeclaration;
  b += std::string("<sst xmlns=\"") + NsMain + "\" count=\"";
  AppendInt(b, FSST.References());
  b += "\" uniqueCount=\"";
  AppendInt(b, FSST.Count());
  b += "\">";
  auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n'; };
  for (int32_t i = 0; i < FSST.Count(); ++i) {
    const std::string_view t = FSST[i];
    // Readers trim other texts at both ends.
    const bool preserve = !t.empty() && (isSpace(t.front()) || isSpace(t.back()) || t.substr(0, 5) == "&#13;" ||
                                         (t.size() >= 5 && t.substr(t.size() - 5) == "&#13;"));
    b += preserve ? "<si><t xml:space=\"preserve\">" : "<si><t>";
    b.append(t);
    b += "</t></si>";
    if (b.size() >= 64 * 1024) {
      s.WriteBuffer(b.data(), int64_t(b.size()));
      b.clear();
    }
  }
  b += "</sst>";
  s.WriteBuffer(b.data(), int64_t(b.size()));
  FZip->CloseFile();
  FSST.Clear();
}

void TQXExportToXLSX::WriteData(const void* data, size_t size) {
  if (FPart) FPart->WriteBuffer(data, int64_t(size));
}

void TQXExportToXLSX::WriteFont(const TQXEFont& font) {
  TQXEFont standard;
  InitDefaultFont(standard);
  std::string s;
  if (font == standard) {
    s = DefaultFontElement;
  } else {
    s = "<font>";
    if (font.Style & fsBold) s += "<b/>";
    if (font.Style & fsItalic) s += "<i/>";
    if (font.Style & fsStrikeOut) s += "<strike/>";
    if (font.Style & fsUnderline) s += "<u/>";
    s += "<sz val=\"" + std::to_string(std::clamp(font.Size, 1, 409)) + "\"/>";
    const std::string argb = Argb(font.Color);
    if (!argb.empty()) s += "<color rgb=\"" + argb + "\"/>";
    s += "<name val=\"" + Attribute(font.Name) + "\"/>";
    if (font.Charset != 1) s += "<charset val=\"" + std::to_string(font.Charset) + "\"/>";
    s += "</font>";
  }
  WriteData(s.data(), s.size());
}

void TQXExportToXLSX::WriteFormat(int32_t index, const std::string& format, bool) {
  const std::string s = "<numFmt numFmtId=\"" + std::to_string(index) + "\" formatCode=\"" + Attribute(format) + "\"/>";
  WriteData(s.data(), s.size());
}

void TQXExportToXLSX::WriteXF(const TXLSFormat& format, int32_t) {
  int32_t fill = 0;
  if (HasFill(format.Color))
    fill = int32_t(std::find(FFills.begin(), FFills.end(), format.Color & 0xFFFFFF) - FFills.begin()) + 2;
  const int32_t numberFormat = std::max(format.NumberFormat, 0);
  std::string s = "<xf numFmtId=\"" + std::to_string(numberFormat) + "\" fontId=\"" +
                  std::to_string(std::max(format.FontIndex, 0)) + "\" fillId=\"" + std::to_string(fill) +
                  "\" borderId=\"0\" xfId=\"0\"";
  if (numberFormat > 0) s += " applyNumberFormat=\"1\"";
  if (format.FontIndex > 0) s += " applyFont=\"1\"";
  if (fill > 0) s += " applyFill=\"1\"";
  if (format.Alignment == 2 || format.Alignment == 3) {
    s += " applyAlignment=\"1\"><alignment horizontal=\"";
    s += format.Alignment == 2 ? "center" : "right";
    s += "\"/></xf>";
  } else {
    s += "/>";
  }
  WriteData(s.data(), s.size());
}

void TQXExportToXLSX::WriteStyles() {
  FPart = &FZip->AddFile("xl/styles.xml");
  auto put = [this](const std::string& s) { WriteData(s.data(), s.size()); };
  put(std::string(XmlDeclaration) + "<styleSheet xmlns=\"" + NsMain + "\">");

  const auto& defined = FNumberFormatIds.Written();
  if (!defined.empty()) {
    put("<numFmts count=\"" + std::to_string(defined.size()) + "\">");
    for (const auto& [id, code] : defined) {
      std::string s = "<numFmt numFmtId=\"" + std::to_string(id) + "\" formatCode=\"";
      AppendUtf8Text(s, code, true);
      put(s + "\"/>");
    }
    put("</numFmts>");
  }

  put("<fonts count=\"" + std::to_string(FFonts.size()) + "\">");
  for (const TQXEFont& f : FFonts) WriteFont(f);
  put("</fonts>");

  FFills.clear();
  for (const TXLSFormat& f : FFormats)
    if (HasFill(f.Color) && std::find(FFills.begin(), FFills.end(), f.Color & 0xFFFFFF) == FFills.end())
      FFills.push_back(f.Color & 0xFFFFFF);
  put("<fills count=\"" + std::to_string(FFills.size() + 2) +
      "\"><fill><patternFill patternType=\"none\"/></fill><fill><patternFill patternType=\"gray125\"/></fill>");
  for (TColor c : FFills)
    put("<fill><patternFill patternType=\"solid\"><fgColor rgb=\"" + Argb(c) +
        "\"/><bgColor indexed=\"64\"/></patternFill></fill>");
  put("</fills>");

  put("<borders count=\"1\"><border><left/><right/><top/><bottom/><diagonal/></border></borders>"
      "<cellStyleXfs count=\"1\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\"/></cellStyleXfs>");
  put("<cellXfs count=\"" + std::to_string(FFormats.size()) + "\">");
  for (size_t i = 0; i < FFormats.size(); ++i) WriteXF(FFormats[i], int32_t(i));
  put("</cellXfs>");
  put("<cellStyles count=\"1\"><cellStyle name=\"Normal\" xfId=\"0\" builtinId=\"0\"/></cellStyles>"
      "<dxfs count=\"0\"/><tableStyles count=\"0\" defaultTableStyle=\"TableStyleMedium9\" "
      "defaultPivotStyle=\"PivotStyleLight16\"/></styleSheet>");
  FZip->CloseFile();
  FPart = nullptr;
}
