// The one streaming pass over content.xml: automatic styles, then the tables.
// Every finished cell, paragraph and row node is dropped as soon as it has
// been used, so memory holds one row (plus the model), whatever the part's size.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>
#include <unordered_set>

#include "CodePage.h"
#include "FormatSettings.h"
#include "QXIOO.h"
#include "QXIXML.h"
#include "QXIZipFile.h"
#include "SysUtils.h"

namespace {

using std::u16string_view;

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// A decimal count attribute: 1 when missing, damaged or below 1; saturated at limit.
template <class Ch>
int64_t RepeatCount(std::basic_string_view<Ch> v, int64_t limit) {
  int64_t n = 0;
  size_t i = 0;
  while (i < v.size() && v[i] == Ch(' ')) ++i;
  const size_t start = i;
  for (; i < v.size() && v[i] >= Ch('0') && v[i] <= Ch('9'); ++i) n = std::min<int64_t>(n * 10 + (v[i] - Ch('0')), limit);
  if (i == start || n < 1) return 1;
  return n;
}

// Attribute names and values of content.xml, wide or as the document's
// UTF-8 bytes (the row scanner), against an ASCII name.
template <class Ch>
bool Is(std::basic_string_view<Ch> v, std::string_view ascii) {
  if (v.size() != ascii.size()) return false;
  for (size_t i = 0; i < v.size(); ++i)
    if (v[i] != Ch(ascii[i])) return false;
  return true;
}
void AssignText(std::u16string& out, u16string_view v) { out.assign(v); }
void AssignText(std::u16string& out, std::string_view v) { DecodeXMLUtf8(v.data(), v.size(), out); }

// The leading decimal digits of a value; false when it has none.
bool LeadingInteger(u16string_view v, int32_t& out) {
  size_t i = 0;
  while (i < v.size() && v[i] == u' ') ++i;
  int64_t n = 0;
  const size_t start = i;
  for (; i < v.size() && IsDigit(v[i]); ++i) n = std::min<int64_t>(n * 10 + (v[i] - u'0'), INT32_MAX);
  if (i == start) return false;
  out = int32_t(n);
  return true;
}

// office:value is written in the XML Schema form, whatever the locale.
bool ParseNumber(u16string_view v, double& out) {
  static const TFormatSettings schema = TFormatSettings::UnitedStates();
  std::string a(v.size(), ' ');
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] > 127 || v[i] == u',') return false;
    a[i] = char(v[i]);
  }
  return TryStrToFloat(a, out, schema);
}

// "#rrggbb" -> 0x00BBGGRR.
bool ParseColor(u16string_view v, int32_t& out) {
  if (v.size() != 7 || v[0] != u'#') return false;
  int32_t rgb = 0;
  for (size_t i = 1; i < 7; ++i) {
    char16_t c = v[i];
    int d = c >= u'0' && c <= u'9' ? c - u'0' : c >= u'a' && c <= u'f' ? c - u'a' + 10
            : c >= u'A' && c <= u'F' ? c - u'A' + 10 : -1;
    if (d < 0) return false;
    rgb = rgb * 16 + d;
  }
  out = ((rgb >> 16) & 0xFF) | (rgb & 0xFF00) | ((rgb & 0xFF) << 16);
  return true;
}

TAlignment ParseAlignment(u16string_view v) {
  if (v == u"center") return taCenter;
  if (v == u"end" || v == u"right") return taRightJustify;
  return taLeftJustify;
}

// The error texts that spreadsheet programs show in place of a formula result.
bool IsErrorText(u16string_view t) {
  static constexpr u16string_view codes[] = {u"#NULL!", u"#DIV/0!", u"#VALUE!", u"#REF!",
                                             u"#NAME?", u"#NUM!",   u"#N/A"};
  for (auto c : codes)
    if (t == c) return true;
  if (t.size() > 4 && t.substr(0, 4) == u"Err:")
    return std::all_of(t.begin() + 4, t.end(), [](char16_t c) { return IsDigit(c); });
  return false;
}

// An attribute value as an XML parser gives it: raw blanks and line ends
// are spaces, character references keep what they stand for.
std::u16string Decoded(u16string_view v) {
  std::u16string s(v);
  for (char16_t& c : s)
    if (c == u'\t' || c == u'\n' || c == u'\r') c = u' ';
  DecodeXMLEntitiesInPlace(s);
  return s;
}

// Raw XML text: line ends normalised as an XML parser does, then entities.
void NormaliseText(std::u16string& t) {
  if (t.find(u'\r') != std::u16string::npos) {
    size_t o = 0;
    for (size_t i = 0; i < t.size(); ++i) {
      if (t[i] == u'\r') {
        t[o++] = u'\n';
        if (i + 1 < t.size() && t[i + 1] == u'\n') ++i;
      } else {
        t[o++] = t[i];
      }
    }
    t.resize(o);
  }
  DecodeXMLEntitiesInPlace(t);
}

const std::string NoName;

// An ODF length ("2.258cm", "0.889in", "64pt") in points.
bool ParseLength(const std::u16string& text, double& points) {
  std::string a = Trim(Utf16ToUtf8(text));
  size_t unit = a.find_first_not_of("0123456789.+-");
  if (unit == 0 || unit == std::string::npos) return false;
  double v;
  if (!TryStrToFloat(a.substr(0, unit), v, TFormatSettings::UnitedStates()) || v < 0 || v > 1e6) return false;
  const std::string u = LowerCase(a.substr(unit));
  if (u == "pt") points = v;
  else if (u == "in") points = v * 72;
  else if (u == "cm") points = v * 72 / 2.54;
  else if (u == "mm") points = v * 72 / 25.4;
  else if (u == "pc") points = v * 12;
  else if (u == "px") points = v * 0.75;
  else return false;
  return true;
}

bool HasPrefix(const std::string& name, const char* prefix) {
  return name.compare(0, std::strlen(prefix), prefix) == 0;
}

}  // namespace

// styles.xml holds the data styles that Excel's exports and common cell
// styles refer to, and the cell styles with their parents.
void ReadSharedDataStyles(const TZipArchive& zip, TQXIOODataStyles& styles) {
  auto s = zip.GetFileStreamByName("styles.xml");
  if (!s) return;
  TQXXMLEngine e;
  e.OnTag = [&](TQXXMLEngine*, TQXXMLItem* parent, const std::string& name, const std::u16string& value,
                const std::u16string& attrs, bool& accept) {
    const std::string& p = parent ? parent->TagName : NoName;
    if (name == "office:document-styles" ||
        ((name == "office:styles" || name == "office:automatic-styles") && p == "office:document-styles")) {
      accept = true;
      return;
    }
    accept = (p == "office:styles" || p == "office:automatic-styles" || TQXIOODataStyles::IsDataStyle(p)) &&
             styles.Open(p, name, value, attrs);
  };
  e.OnAfterTag = [&](TQXXMLEngine*, TQXXMLItem*& node, bool&) {
    styles.Close(node->TagName);
    if (node->Parent() && node->Parent()->TagName != "office:document-styles") {
      node->Free();
      node = nullptr;
    }
  };
  e.LoadFromStream(s.get());
}

class TQXIOpenOfficeSpreadsheet::TContentReader {
 public:
  TContentReader(TQXIOpenOfficeSpreadsheet& owner, TQXIOODataStyles& dataStyles)
      : F(owner), FWideCells(GetACP() != CP_UTF8), FData(dataStyles) {}

  void Run(TStream& stream) {
    FStream = &stream;
    TQXXMLEngine e;
    e.KeepTailText = true;
    e.OnTag = [this](TQXXMLEngine* engine, TQXXMLItem* parent, const std::string& name, const std::u16string& value,
                     const std::u16string& attrs, bool& accept) {
      FRowsNext = false;
      accept = Open(parent, name, value, attrs);
      // Elements that hold rows: the scanner takes the rows of the usual shape.
      if (FRowsNext && F.ScanRows) engine->TakeRawContent();
    };
    e.OnRawContent = [this](TQXXMLEngine* engine, TQXXMLItem*, TQXXMLRawText& text) { ScannedRows(*engine, text); };
    e.OnAfterTag = [this](TQXXMLEngine*, TQXXMLItem*& node, bool&) {
      Close(node);
      node->Free();
      node = nullptr;
    };
    e.LoadFromStream(&stream);
    const TQXXMLParseResult& r = e.ParseResult();
    if (r.Status == psUnclosed) {
      // What was read before the cut stays: the open row is delivered too.
      if (FInRow) EndRow();
      throw EQXIFileTruncatedException(Format(SFileTruncated, ("\"" + std::string(ContentPartName) +
                                                               "\" ends inside the element <" + r.Element +
                                                               "> at byte " + IntToStr(r.Offset) + ".")
                                                                  .c_str()));
    }
    F.DoLoadProgress(stream.Size(), stream.Size());
  }

  static constexpr const char* ContentPartName = "content.xml";

 private:
  enum TValueKind : uint8_t { vkNone, vkNumber, vkDate, vkTime, vkBoolean, vkString, vkOther };

  struct TPendingCell {
    int32_t Column;
    int32_t Count;
    TVariant Value;
    TQXICellType Type;
    TAlignment Alignment;
    int32_t Format;
  };

  // ---- element starts; true accepts the element

  bool Open(TQXXMLItem* parent, const std::string& name, const std::u16string& value, const std::u16string& attrs) {
    if (FParagraphDepth > 0) return OpenInParagraph(parent, name, value, attrs);
    // Blanks between elements would pile up in the parent (tail text): drop them.
    if (parent) parent->Value = TVariant();
    const std::string& p = parent ? parent->TagName : NoName;

    if (FInCell) {
      if (name == "text:p" || name == "text:h") return BeginParagraph();
      // Lists hold paragraphs; notes, frames and shapes hold text that is not the cell's.
      return name == "text:list" || name == "text:list-item" || name == "text:list-header";
    }
    if (FInRow) {
      if (name == "table:table-cell" || name == "table:covered-table-cell") {
        StartCell(u16string_view(attrs));
        return true;
      }
      return false;
    }
    if (FInTable) {
      if (name == "table:table-row") {
        StartRow(u16string_view(attrs));
        return true;
      }
      if (name == "table:table-column") {
        AddColumns(attrs);
        return false;
      }
      FRowsNext = name == "table:table-header-rows" || name == "table:table-rows" || name == "table:table-row-group";
      return FRowsNext || name == "table:table-columns" || name == "table:table-header-columns" ||
             name == "table:table-column-group";
    }
    if (name == "table:table") {
      if (p != SpreadsheetElement) return false;
      FRowsNext = StartTable(attrs);
      return FRowsNext;
    }
    if (FInStyles) return OpenStyle(parent, name, value, attrs);
    if (name == "office:automatic-styles") {
      FInStyles = true;
      return true;
    }
    if (name == "table:calculation-settings" && p == SpreadsheetElement) return true;
    if (name == "table:null-date" && p == "table:calculation-settings") {
      NullDate(attrs);
      return false;
    }
    if (name == BodyElement || name == SpreadsheetElement || name == "office:document-content") return true;
    return false;
  }

  // The day numbers of the file count from its null date (30 December 1899
  // unless it says otherwise); the workbook's from 30 December 1899.
  void NullDate(const std::u16string& attrs) {
    std::u16string v;
    double day = 0;
    if (!FindXMLAttribute(attrs, "table:date-value", v) || !TQXIOpenOfficeSpreadsheet::ParseDateValue(Decoded(v), day))
      return;
    FDateBase = std::floor(day);
    F.Sheets.Formats.Date1904 = FDateBase == 1462;
    if (FDateBase != 0 && FDateBase != 1462)
      F.Warn("The file counts its dates from " + Utf16ToUtf8(Decoded(v)) +
             "; its numbers shown as dates were moved to count from 30 December 1899.");
  }

  bool OpenInParagraph(TQXXMLItem* parent, const std::string& name, const std::u16string&,
                       const std::u16string& attrs) {
    Drain(parent);
    if (name == "text:s") {
      int64_t c = 1;
      std::u16string v;
      if (FindXMLAttribute(attrs, "text:c", v)) c = RepeatCount(u16string_view(v), int64_t(MaxCellText));
      // Spaces beyond one per element come from a budget: a few bytes of
      // XML must not turn into gigabytes of text.
      c = std::min<int64_t>(c, int64_t(MaxCellText - std::min(MaxCellText, FText.size())));
      if (c > 1) {
        int64_t extra = std::min<int64_t>(c - 1, MaxExpandedSpaces - FExpandedSpaces);
        FExpandedSpaces += extra;
        c = 1 + extra;
      }
      if (c > 0) FText.append(size_t(c), u' ');
      return false;
    }
    if (name == "text:tab") {
      AppendCellText(u"\t");
      return false;
    }
    if (name == "text:line-break") {
      AppendCellText(u"\n");
      return false;
    }
    // Spans, links and fields carry text; annotations, notes' bodies and frames do not.
    if (!HasPrefix(name, "text:") || name == "text:note-body" || name == "text:note-citation") return false;
    ++FParagraphDepth;
    return true;
  }

  // A paragraph of the cell's text starts; false when the cell needs none.
  bool BeginParagraph() {
    if (!FCellNeedsText) return false;
    if (FParagraphs > 0) AppendCellText(u"\n");
    ++FParagraphs;
    FParagraphDepth = 1;
    return true;
  }

  // Rows the scanner read whole, taken as the elements would be.
  void ScannedRows(TQXXMLEngine& engine, TQXXMLRawText& text) {
    if (engine.CodePage() != CP_UTF8) return;
    std::u16string paragraph;
    while (FScan.Read(text)) {
      StartRow(FScan.Attrs);
      for (const TQXIOORowScan::TCell& c : FScan.Cells) {
        if (c.Split) StartCell(FScan.Attributes.data() + c.FirstAttribute, c.Attributes);
        else StartCell(c.Attrs);
        for (uint32_t k = 0; k < c.Paragraphs; ++k) {
          if (!BeginParagraph()) continue;
          const std::string_view t = FScan.Paragraphs[c.FirstParagraph + k];
          engine.Decode(t.data(), t.size(), paragraph);
          AppendCellText(paragraph);
          --FParagraphDepth;
        }
        EndCell();
      }
      EndRow();
      ++F.FScannedRows;
      text.Consume(FScan.End);
    }
  }

  // ---- element ends

  void Close(TQXXMLItem* node) {
    const std::string& name = node->TagName;
    if (FParagraphDepth > 0) {
      Drain(node);
      --FParagraphDepth;
      return;
    }
    if (node->Parent()) node->Parent()->Value = TVariant();
    if (FInCell) {
      if (name == "table:table-cell" || name == "table:covered-table-cell") EndCell();
      return;
    }
    if (FInRow) {
      if (name == "table:table-row") EndRow();
      return;
    }
    if (FInTable) {
      if (name == "table:table") EndTable();
      return;
    }
    if (FInStyles) {
      FData.Close(name);
      if (name == "office:automatic-styles") EndStyles();
      else if (node->Parent() && node->Parent()->TagName == "office:automatic-styles") FStyle = nullptr;
    }
  }

  // The text that reached an element since it was last drained, in document order.
  void Drain(TQXXMLItem* node) {
    if (!node || node->Value.Type() != TVarType::WideString) return;
    AppendCellText(node->Value.AsWide());
    node->Value = TVariant();
  }

  void AppendCellText(u16string_view t) {
    // Cells beyond any program's limit are cut, not grown without bound.
    size_t room = MaxCellText > FText.size() ? MaxCellText - FText.size() : 0;
    FText.append(t.substr(0, std::min(room, t.size())));
  }

  // ---- styles

  bool OpenStyle(TQXXMLItem* parent, const std::string& name, const std::u16string& value,
                 const std::u16string& attrs) {
    const std::string& p = parent ? parent->TagName : NoName;
    // Data styles and their parts, and which data style a cell style uses.
    const bool dataStyle = FData.Open(p, name, value, attrs);
    if (FColumnStyle && p == "style:style" && name == "style:table-column-properties") {
      double points;
      if (ParseLength(Decoded(Attribute(attrs, "style:column-width")), points))
        FColumnWidths[FColumnStyleName] = points;
      return false;
    }
    if (p == "office:automatic-styles") {
      FColumnStyle = false;
      std::string family = WideToAnsi(Decoded(Attribute(attrs, "style:family")));
      std::unique_ptr<TQXIOOStyle> s;
      // Only these kinds read their property elements.
      bool properties = true;
      if (family == "text" || family == "paragraph" || family == "table-cell")
        s = std::make_unique<TQXIOOStyleText>();
      else if (family == "graphic")
        s = std::make_unique<TQXIOOStyleGraphic>();
      else if (name == "text:list-style" && family.empty())
        s = std::make_unique<TQXIOOStyleNumList>();
      else {
        s = std::make_unique<TQXIOOStyle>();
        properties = false;
      }
      s->StyleFamily = family;
      s->StyleName = WideToAnsi(Decoded(Attribute(attrs, "style:name")));
      std::string parentName = WideToAnsi(Decoded(Attribute(attrs, "style:parent-style-name")));
      if (family == "table-column" && FColumnWidths.size() < TQXIOODataStyles::MaxStyles) {
        FColumnStyle = true;
        FColumnStyleName = Utf16ToUtf8(Decoded(Attribute(attrs, "style:name")));
        properties = true;
      }
      FStyle = F.FStyles.Add(std::move(s));
      FListLevelSeen = false;
      if (!FStyle) return false;
      if (!parentName.empty()) FParents.emplace_back(FStyle, std::move(parentName));
      return properties || dataStyle;
    }
    if (!FStyle) return false;
    if (auto* t = dynamic_cast<TQXIOOStyleText*>(FStyle)) {
      if (name == "style:text-properties") ReadTextProperties(*t, attrs);
      else if (name == "style:paragraph-properties") ReadParagraphProperties(*t, attrs);
      else if (name == "style:table-cell-properties") ReadBackground(*t, attrs);
      return false;
    }
    if (auto* g = dynamic_cast<TQXIOOStyleGraphic*>(FStyle)) {
      if (name == "style:graphic-properties") ReadClip(*g, attrs);
      return false;
    }
    if (auto* l = dynamic_cast<TQXIOOStyleNumList*>(FStyle)) {
      // The first level describes the list.
      if (p == "text:list-style" && !FListLevelSeen &&
          (name == "text:list-level-style-number" || name == "text:list-level-style-bullet")) {
        FListLevelSeen = true;
        l->NumPrefix = WideToAnsi(Decoded(Attribute(attrs, "style:num-prefix")));
        l->NumSufix = WideToAnsi(Decoded(Attribute(attrs, "style:num-suffix")));
        l->NumFormat = WideToAnsi(Decoded(Attribute(attrs, "style:num-format")));
        std::u16string bullet = Decoded(Attribute(attrs, "text:bullet-char"));
        if (!bullet.empty()) l->BulletChar = WideToAnsi(bullet);
        return true;
      }
      if (name == "style:list-level-properties" && p != "text:list-style") {
        int32_t v;
        if (LeadingInteger(Attribute(attrs, "text:space-before"), v)) l->SpaceBefore = v;
      }
    }
    return false;
  }

  void ReadTextProperties(TQXIOOStyleText& s, const std::u16string& attrs) {
    ForEachXMLAttribute(attrs, [&](u16string_view n, u16string_view v) {
      int32_t i;
      if (n == u"fo:text-align") s.Alignment = ParseAlignment(v);
      else if (n == u"fo:font-style") s.TextFont.Italic = s.TextFont.Italic || v == u"italic";
      else if (n == u"style:text-underline-style" || n == u"fo:text-underline-style")
        s.TextFont.Underline = s.TextFont.Underline || (!v.empty() && v != u"none");
      else if (n == u"fo:font-weight") s.TextFont.Bold = s.TextFont.Bold || v == u"bold";
      else if (n == u"fo:color") ParseColor(v, s.TextFont.Color);
      else if (n == u"fo:background-color") ParseColor(v, s.Color);
      else if (n == u"fo:font-size" && LeadingInteger(v, i)) s.TextFont.Size = i;  // "12pt"; "large" is ignored
      else if (n == u"style:font-name") s.TextFont.Name = WideToAnsi(Decoded(v));
      return true;
    });
  }

  void ReadParagraphProperties(TQXIOOStyleText& s, const std::u16string& attrs) {
    std::u16string v;
    if (FindXMLAttribute(attrs, "fo:text-align", v)) s.Alignment = ParseAlignment(v);
  }

  void ReadBackground(TQXIOOStyleText& s, const std::u16string& attrs) {
    std::u16string v;
    if (FindXMLAttribute(attrs, "fo:background-color", v)) ParseColor(v, s.Color);
  }

  void ReadClip(TQXIOOStyleGraphic& g, const std::u16string& attrs) {
    std::u16string v;
    if (!FindXMLAttribute(attrs, "fo:clip", v) || v.compare(0, 5, u"rect(") != 0) return;
    int32_t* fields[] = {&g.ClipTop, &g.ClipRight, &g.ClipBottom, &g.ClipLeft};
    size_t k = 0, i = 5;
    while (k < 4 && i < v.size()) {
      if (!IsDigit(v[i])) {
        ++i;
        continue;
      }
      int32_t n;
      LeadingInteger(u16string_view(v).substr(i), n);
      *fields[k++] = n;
      while (i < v.size() && IsDigit(v[i])) ++i;
    }
  }

  void EndStyles() {
    FInStyles = false;
    FStyle = nullptr;
    for (auto& [style, parentName] : FParents) style->StyleParent = F.FStyles.Find(parentName);
    FParents.clear();
  }

  // ---- tables

  bool StartTable(const std::u16string& attrs) {
    if (FTableCount >= TSpreadSheets::MaxSheets) return false;
    const int32_t index = FTableCount++;
    std::u16string caption = Decoded(Attribute(attrs, "table:name"));
    if (caption.empty()) caption = AnsiToWide(SDefaultSheetName + IntToStr(index));
    bool skip = false;
    if (F.OnSheet) F.OnSheet(&F, caption, index, skip);
    if (skip) return false;
    F.SheetIndex = index;
    FSheet = index;
    FCaption = std::move(caption);
    FRow = 0;
    FColumnCount = 0;
    FColumnStyles.clear();
    FInTable = true;
    return true;
  }

  // Columns: their width, whether they are hidden, and the cell style of
  // cells that name none (runs, so a repeat of 16,384 costs one entry).
  void AddColumns(const std::u16string& attrs) {
    if (FColumnCount >= MaxColumns) return;
    std::u16string v;
    const int64_t repeat = FindXMLAttribute(attrs, "table:number-columns-repeated", v)
                               ? RepeatCount(u16string_view(v), MaxColumns - FColumnCount) : 1;
    const int32_t first = FColumnCount;
    FColumnCount = int32_t(std::min<int64_t>(FColumnCount + repeat, MaxColumns));
    std::u16string cellStyle(Attribute(attrs, "table:default-cell-style-name"));
    if (!cellStyle.empty()) FColumnStyles.push_back({first, FColumnCount, std::move(cellStyle)});
    const std::u16string_view visibility = Attribute(attrs, "table:visibility");
    const bool hidden = visibility == u"collapse" || visibility == u"filter";
    auto width = FColumnWidths.find(Utf16ToUtf8(Decoded(Attribute(attrs, "table:style-name"))));
    // Only as far as the grid of a sheet that could hold cells there.
    const int32_t last = std::min(FColumnCount, first + 1024);
    for (int32_t c = first; c < last; ++c) {
      if (width != FColumnWidths.end() && F.OnColumnWidth)
        F.OnColumnWidth(&F, FSheet, c, TSpreadSheetFile::ColumnWidthFromTwips(width->second * 20));
      if (hidden) F.HideColumn(FSheet, c);
    }
  }

  // The cell style a cell without one of its own takes: its row's, else its column's.
  const std::u16string& DefaultCellStyle(int32_t column) {
    if (!FRowStyle.empty()) return FRowStyle;
    for (const TColumnStyle& run : FColumnStyles)
      if (column >= run.First && column < run.End) return run.Name;
    return FNoStyle;
  }

  void EndTable() {
    FInTable = false;
    F.DoLoadProgress(FStream->Position(), FStream->Size());
  }

  template <class Ch>
  void StartRow(std::basic_string_view<Ch> attrs) {
    FRowRepeat = 1;
    FRowStyle.clear();
    bool repeatSeen = false, styleSeen = false;  // the first of each counts
    ForEachXMLAttribute(attrs, [&](std::basic_string_view<Ch> n, std::basic_string_view<Ch> v) {
      if (!repeatSeen && Is(n, "table:number-rows-repeated")) {
        repeatSeen = true;
        FRowRepeat = RepeatCount(v, MaxRows);
      } else if (!styleSeen && Is(n, "table:default-cell-style-name")) {
        styleSeen = true;
        AssignText(FRowStyle, v);
      }
      return !(repeatSeen && styleSeen);
    });
    FColumn = 0;
    FPending.clear();
    FInRow = true;
  }

  void EndRow() {
    FInRow = false;
    const int64_t rows = std::min<int64_t>(FRowRepeat, MaxRows - FRow);
    if (rows > 1 && !FPending.empty()) {
      int64_t perRow = 0;
      for (const auto& c : FPending) perRow += c.Count;
      Spend((rows - 1) * perRow);
      for (int64_t r = 0; r < rows; ++r)
        for (auto& c : FPending) Deliver(FRow + int32_t(r), c, true);
    }
    FPending.clear();
    FRow = int32_t(std::min<int64_t>(FRow + FRowRepeat, MaxRows));
    if (F.LoadProgressDue()) F.DoLoadProgress(FStream->Position(), FStream->Size());
  }

  // ---- cells

  template <class Ch>
  void StartCell(std::basic_string_view<Ch> attrs) {
    StartCellWith<Ch>([&](auto&& visit) { ForEachXMLAttribute(attrs, visit); });
  }
  void StartCell(const TXMLAttributeView<char>* attrs, size_t count) {
    StartCellWith<char>([&](auto&& visit) {
      for (size_t k = 0; k < count && visit(attrs[k].Name, attrs[k].Value); ++k) {
      }
    });
  }
  // forEach(visit) gives the cell's attributes to visit one by one.
  template <class Ch, class ForEach>
  void StartCellWith(ForEach&& forEach) {
    FInCell = true;
    FRepeat = 1;
    FKind = vkNone;
    FHasValue = FHasStringValue = FFormula = FCalcError = FFloat = false;
    FText.clear();
    FParagraphs = 0;
    FStyleName.clear();
    forEach([&](std::basic_string_view<Ch> n, std::basic_string_view<Ch> v) {
      if (n.size() < 8) return true;
      if (Is(n, "office:value-type")) {
        FFloat = Is(v, "float");
        if (FFloat || Is(v, "percentage") || Is(v, "currency")) FKind = vkNumber;
        else if (Is(v, "date")) FKind = vkDate;
        else if (Is(v, "time")) FKind = vkTime;
        else if (Is(v, "boolean")) FKind = vkBoolean;
        else if (Is(v, "string")) FKind = vkString;
        else FKind = vkOther;
      } else if (Is(n, "office:value")) {
        AssignText(FNumber, v);
      } else if (Is(n, "office:date-value")) {
        AssignText(FDate, v);
      } else if (Is(n, "office:time-value")) {
        AssignText(FTime, v);
      } else if (Is(n, "office:boolean-value")) {
        AssignText(FBoolean, v);
      } else if (Is(n, "office:string-value")) {
        AssignText(FStringValue, v);
        FHasStringValue = true;
      } else if (Is(n, "table:number-columns-repeated")) {
        FRepeat = RepeatCount(v, MaxColumns);
      } else if (Is(n, "table:style-name")) {
        AssignText(FStyleName, v);
      } else if (Is(n, "table:formula")) {
        FFormula = true;
      } else if (Is(n, "calcext:value-type")) {
        FCalcError = Is(v, "error");
      }
      return true;
    });
    if (FStyleName.empty()) FStyleName = DefaultCellStyle(FColumn);
    // The typed value, from whichever attribute the type names.
    switch (FKind) {
      case vkNumber: FHasValue = ParseNumber(FNumber, FValue); break;
      case vkDate: FHasValue = ParseDateValue(Decoded(FDate), FValue); break;
      case vkTime: FHasValue = ParseTimeValue(Decoded(FTime), FValue); break;
      case vkBoolean:
        FHasValue = FBoolean == u"true" || FBoolean == u"false" || FBoolean == u"1" || FBoolean == u"0";
        FValue = FBoolean == u"true" || FBoolean == u"1";
        break;
      default: break;
    }
    if (FKind == vkNone || FKind == vkOther) FHasStringValue = false;
    // The displayed text is read only when the value needs it: a formula
    // cell's text may be an error code in place of its stored number.
    FCellNeedsText = FCalcError || (FKind == vkString ? !FHasStringValue : !FHasValue || FFormula);
    FNumber.clear();
    FDate.clear();
    FTime.clear();
    FBoolean.clear();
  }

  void EndCell() {
    FInCell = false;
    const int64_t count = std::min<int64_t>(FRepeat, MaxColumns - FColumn);
    const int32_t column = FColumn;
    FColumn = int32_t(std::min<int64_t>(FColumn + FRepeat, MaxColumns));
    if (count <= 0) return;

    TVariant value;
    TQXICellType type = ictString;
    NormaliseText(FText);
    if (FKind != vkString && (FCalcError || (FFormula && IsErrorText(FText)))) {
      if (FText.empty()) return;
      value = Text(std::move(FText));
      type = ictUnknown;
    } else if (FHasValue && FKind == vkNumber) {
      // Typed by the format as every reader's numbers are (a percentage as
      // the file's fraction); a currency or percentage stays a number.
      F.PublishNumber(FFloat ? CellStyle().Format : 0, TVariant(FValue), ictDecimal, FDateBase, false,
                      [&](TVariant&& v, TQXICellType t) {
                        value = std::move(v);
                        type = t;
                      });
      if (!FFloat && type == ictDateTime) {
        value = TVariant(FValue);
        type = ictDecimal;
      }
    } else if (FHasValue && (FKind == vkDate || FKind == vkTime)) {
      value = TVariant::DateTime(FValue);
      type = ictDateTime;
    } else if (FHasValue && FKind == vkBoolean) {
      value = TVariant(FValue != 0);
      type = ictBoolean;
    } else {
      std::u16string t = FHasStringValue ? Decoded(FStringValue) : std::move(FText);
      if (t.empty()) return;
      value = Text(std::move(t));
    }
    FText.clear();
    TPendingCell cell{column, int32_t(count), std::move(value), type, CellStyle().Alignment, CellStyle().Format};
    if (count > 1) Spend(count - 1);
    if (FRowRepeat == 1 || FRow + 1 >= MaxRows) Deliver(FRow, cell, count > 1);
    else FPending.push_back(std::move(cell));
  }

  TVariant Text(std::u16string&& t) {
    if (FWideCells) return TVariant(std::move(t));
    return TVariant(Utf16ToUtf8(t));
  }

  struct TCellStyle {
    TAlignment Alignment = taLeftJustify;
    int32_t Format = 0;  // entry of the workbook's number formats
  };

  // What the cell's style says; neighbouring cells mostly share a style.
  const TCellStyle& CellStyle() {
    if (FStyleName != FLastStyleName) {
      FLastStyleName = FStyleName;
      FLastStyle = TCellStyle();
      if (!FStyleName.empty()) {
        const std::string name = WideToAnsi(Decoded(FStyleName));
        if (auto* t = dynamic_cast<TQXIOOStyleText*>(F.FStyles.Find(name))) FLastStyle.Alignment = t->Alignment;
        const std::string code = FData.CellStyleCode(Utf16ToUtf8(Decoded(FStyleName)));
        if (!code.empty()) FLastStyle.Format = F.Sheets.Formats.Add(code);
      }
    }
    return FLastStyle;
  }

  void Deliver(int32_t row, TPendingCell& c, bool copies) {
    if (!F.OnCellValue || row >= MaxRows) return;
    for (int32_t k = 0; k < c.Count; ++k) {
      if (copies) {
        TVariant v = c.Value;
        F.OnCellValue(&F, FSheet, row, c.Column + k, c.Format, v, c.Alignment, c.Type);
      } else {
        F.OnCellValue(&F, FSheet, row, c.Column + k, c.Format, c.Value, c.Alignment, c.Type);
      }
    }
  }

  // Copies of cells with content made by repeats.
  void Spend(int64_t copies) {
    FCopies += copies;
    if (FCopies > MaxRepeatedCells)
      throw EQXIFileFormatException("\"" + std::string(ContentPartName) + "\": the table \"" +
                                    Utf16ToUtf8(FCaption) + "\" repeats cells with content more than " +
                                    IntToStr(MaxRepeatedCells) + " times (at row " + IntToStr(FRow + 1) +
                                    "); the file is refused.");
  }

  static u16string_view Attribute(const std::u16string& attrs, const char* name) {
    u16string_view out;
    const size_t len = std::strlen(name);
    ForEachXMLAttribute(attrs, [&](u16string_view n, u16string_view v) {
      if (n.size() != len) return true;
      for (size_t i = 0; i < len; ++i)
        if (n[i] != char16_t(uint8_t(name[i]))) return true;
      out = v;
      return false;
    });
    return out;
  }

  // Excel and the format's producers stop at this many characters per cell;
  // a larger value is cut rather than grown without bound.
  static constexpr size_t MaxCellText = size_t(1) << 20;

  TQXIOpenOfficeSpreadsheet& F;
  const bool FWideCells;
  TStream* FStream = nullptr;

  // Styles
  bool FInStyles = false;
  TQXIOOStyle* FStyle = nullptr;
  bool FListLevelSeen = false;
  std::vector<std::pair<TQXIOOStyle*, std::string>> FParents;
  // Data styles as format codes, and the cell styles that use them.
  TQXIOODataStyles& FData;
  // Column styles' widths in points; the style being read.
  std::unordered_map<std::string, double> FColumnWidths;
  bool FColumnStyle = false;
  std::string FColumnStyleName;

  // Tables
  bool FRowsNext = false;  // the element being opened holds rows
  TQXIOORowScan FScan;
  int32_t FTableCount = 0;
  int32_t FSheet = 0;
  std::u16string FCaption;
  double FDateBase = 0;  // days from 30 December 1899 to the null date
  bool FInTable = false, FInRow = false, FInCell = false;
  int32_t FRow = 0, FColumn = 0;
  int64_t FRowRepeat = 1;
  std::vector<TPendingCell> FPending;  // cells of a repeated row
  struct TColumnStyle {
    int32_t First, End;
    std::u16string Name;  // as the attribute stands
  };
  std::vector<TColumnStyle> FColumnStyles;  // default cell styles of the table's columns
  int32_t FColumnCount = 0;
  std::u16string FRowStyle;
  const std::u16string FNoStyle;
  int64_t FCopies = 0;
  int64_t FExpandedSpaces = 0;

  // The cell being read
  int64_t FRepeat = 1;
  TValueKind FKind = vkNone;
  bool FHasValue = false, FHasStringValue = false, FFormula = false, FCalcError = false, FCellNeedsText = true;
  bool FFloat = false;
  double FValue = 0;
  std::u16string FNumber, FDate, FTime, FBoolean, FStringValue, FStyleName;
  std::u16string FText;
  int32_t FParagraphs = 0;
  int32_t FParagraphDepth = 0;
  std::u16string FLastStyleName;
  TCellStyle FLastStyle;
};

void TQXIOpenOfficeSpreadsheet::ReadContent() {
  // The last reading of the part: its memory goes back as it is read.
  const int32_t part = FZip->IndexOfFile(TContentReader::ContentPartName);
  if (part < 0) throw EQXIFileFormatException(SInvalidFileFormat);
  auto s = FZip->TakeFileStream(part);
  FDataStyles.Clear();
  // Without them numbers shown by a shared style keep General: a damaged
  // styles.xml does not cost the cells.
  try {
    ReadSharedDataStyles(*FZip, FDataStyles);
  } catch (const EZipFileError&) {
  }
  TContentReader reader(*this, FDataStyles);
  // Inflated on a second thread while this one parses.
  reader.Run(*ReadAheadWhenUseful(std::move(s)));
}
