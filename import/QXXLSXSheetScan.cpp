// The rows of a sheet part's sheetData, and the strings of the shared-strings
// part, straight from the inflated bytes: one forward pass that knows <row>,
// <c r= t= s=>, <v> and inline strings (<is>, <t>, <r>), or <si> with its
// <t> and <r>, and skips the other elements inside them whole, as the
// engine's handlers refuse them. An element of any other shape (comments,
// CDATA, processing instructions, a second <v> or text in a cell, end tags
// that do not match, one larger than MaxElementBytes, the end of the part)
// is left to the XML engine from its start tag on, so both give the same
// cells: the scanner takes what the handlers would, and hands it to the same
// attribute and cell functions. Bytes of multi-byte characters never look
// like markup or like the ASCII those functions compare with, so they see the
// same in the bytes as in the decoded text.
#include <array>
#include <cstring>

#include "CodePage.h"
#include "QXIXML.h"
#include "QXXLSX.h"

namespace {

// An element is read whole before its cells or string are delivered:
// larger ones go to the engine, which streams them.
constexpr size_t MaxElementBytes = size_t(256) << 10;
// Attributes of a cell split on the fly; a cell with more takes the slow path.
constexpr size_t MaxFastAttributes = 8;

// The engine's name characters.
constexpr std::array<bool, 256> NameChars = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 256; ++c)
    t[size_t(c)] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                   c == ':' || c == '-' || c == '!' || c == '?' || c == '.' || c >= 0x80;
  return t;
}();
bool NameChar(char c) { return NameChars[uint8_t(c)]; }
bool Blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Whether name's local part (after the last ":") is local.
bool LocalIs(std::string_view name, std::string_view local) {
  if (name.size() == local.size()) return name == local;
  return name.size() > local.size() && name[name.size() - local.size() - 1] == ':' && XMLLocalName(name) == local;
}

// A start tag as the engine reads it: the name and the attribute text up
// to the ">" outside quotes (without the "/" of an empty element).
struct TTag {
  std::string_view Name, Attrs;
  bool Empty = false;
};

// The bytes in hand, [Begin, End), read by the element functions below.
// Each fails where the engine would read differently, or where the bytes in
// hand end (Short: more of the part may make it succeed).
class TSpan {
 public:
  TSpan(const char* begin, const char* end) : Begin(begin), End(end) {}
  const char* const Begin;
  const char* const End;
  bool Short = false;

  // The first c at or after p; End (and Short) when there is none.
  const char* Find(const char* p, char c) {
    // Text between tags is short: a plain loop beats a call for the first bytes.
    for (int k = 0; k < 16 && p < End; ++k, ++p)
      if (*p == c) return p;
    const void* hit = p < End ? std::memchr(p, c, size_t(End - p)) : nullptr;
    if (hit) return static_cast<const char*>(hit);
    Short = true;
    return End;
  }

  // The start tag at p (a "<"); p ends past its ">". False for an end tag,
  // "<!", "<?" or a stray "<". Attributes of the usual form ( name="value")*
  // are split too when split is given (count is npos when they are not).
  bool StartTag(const char*& p, TTag& tag, TXMLAttributeView<char>* split = nullptr, size_t* count = nullptr) {
    const char* q = p + 1;
    const char* name = q;
    while (q < End && NameChar(*q)) ++q;
    if (q == End) return Short = true, false;
    if (q == name || *name == '!' || *name == '?') return false;
    tag.Name = std::string_view(name, size_t(q - name));
    const char* attrs = q;
    if (split) {
      const char* r = q;
      if (Split(r, split, *count, tag.Empty)) {
        tag.Attrs = std::string_view(attrs, size_t(r - attrs) - (tag.Empty ? 2 : 1));
        p = r;
        return true;
      }
      *count = size_t(-1);
    }
    if (!TagEnd(q)) return false;
    tag.Empty = q - 1 > attrs && q[-2] == '/';
    tag.Attrs = std::string_view(attrs, size_t(q - 1 - attrs) - (tag.Empty ? 1 : 0));
    p = q;
    return true;
  }

  // "</name" then anything up to ">" at p (the engine looks no further).
  bool EndTag(const char*& p, std::string_view name) {
    const char* q = p;
    if (End - q < ptrdiff_t(name.size()) + 3) return Short = true, false;
    if (q[0] != '<' || q[1] != '/') return false;
    q += 2;
    for (char c : name)
      if (*q++ != c) return false;
    if (*q != '>') {
      if (NameChar(*q)) return false;
      q = Find(q, '>');
      if (q == End) return false;
    }
    p = q + 1;
    return true;
  }

  // The rest of an element whose start tag ended before p, as the engine
  // skips a refused one.
  bool SkipContent(const char*& p) {
    int64_t depth = 1;
    while (depth > 0) {
      p = Find(p, '<');
      if (End - p < 2) return Short = true, false;
      if (p[1] == '!' || p[1] == '?') return false;
      if (p[1] == '/') {
        p = Find(p, '>');
        if (p == End) return false;
        ++p;
        --depth;
        continue;
      }
      const char* q = p + 1;
      if (!TagEnd(q)) return false;
      if (!(q - 1 > p + 1 && q[-2] == '/')) ++depth;
      p = q;
    }
    return true;
  }

  // The text of a <v> or <t> up to its first child; the rest is skipped.
  bool ElementText(const char*& p, const TTag& tag, std::string_view& text) {
    text = std::string_view(p, 0);
    if (tag.Empty) return true;
    const char* start = p;
    p = Find(p, '<');
    if (p == End) return false;
    text = std::string_view(start, size_t(p - start));
    // Mostly its own end tag follows at once.
    const char* q = p;
    if (EndTag(q, tag.Name)) {
      p = q;
      return true;
    }
    return !Short && SkipContent(p);
  }

 private:
  // Past the ">" that ends a start tag, from inside it.
  bool TagEnd(const char*& q) {
    char quote = 0;
    for (; q < End; ++q) {
      const char c = *q;
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '>') {
        ++q;
        return true;
      } else if (c == '"' || c == '\'') {
        quote = c;
      }
    }
    Short = true;
    return false;
  }

  // ( name="value")* up to ">" or "/>"; q ends past it.
  bool Split(const char*& q, TXMLAttributeView<char>* out, size_t& count, bool& empty) {
    count = 0;
    for (;;) {
      if (End - q < 2) return false;
      if (*q == '>') {
        empty = false;
        ++q;
        return true;
      }
      if (*q == '/') {
        if (q[1] != '>') return false;
        empty = true;
        q += 2;
        return true;
      }
      if (!Blank(*q)) return false;
      while (++q < End && Blank(*q)) {
      }
      if (q < End && (*q == '>' || *q == '/')) continue;
      const char* name = q;
      while (q < End && NameChar(*q)) ++q;
      if (q == name || End - q < 2 || q[0] != '=' || (q[1] != '"' && q[1] != '\'') || count == MaxFastAttributes)
        return false;
      const char quote = q[1];
      const char* value = q + 2;
      const char* close = value;
      while (close < End && *close != quote) ++close;
      if (close == End) return false;
      out[count++] = {std::string_view(name, size_t(q - name)), std::string_view(value, size_t(close - value))};
      q = close + 1;
    }
  }
};

// Bytes in hand: the element functions run over them again, from the
// element's start, when they ran short.
bool MoreInHand(TQXXMLRawText& text) { return text.Size() < MaxElementBytes && text.More(); }

}  // namespace

// One row, held whole: its cells are noted as positions in its bytes and
// delivered, with the cell function the engine's handler calls, once the
// row has been read to its end tag.
class TMSExcelX::TSheetRowScan {
 public:
  TSheetRowScan(TSpan& span, TSheetCursor& cursor, std::vector<TScannedCell>& cells)
      : S(span), FCursor(cursor), FCells(cells) {}

  // The row at the span's start; end is past its end tag.
  bool Row(const char*& end) {
    const char* p = S.Begin;
    TTag row;
    if (p == S.End || *p != '<' || !S.StartTag(p, row) || !LocalIs(row.Name, "row")) return false;
    FCursor.StartRow(row.Attrs);
    if (!row.Empty) {
      for (;;) {
        // Text between elements is the row's value, which nobody reads.
        p = S.Find(p, '<');
        if (p == S.End) return false;
        if (S.End - p >= 2 && p[1] == '/') {
          if (!S.EndTag(p, row.Name)) return false;
          break;
        }
        TTag tag;
        size_t count;
        if (!S.StartTag(p, tag, FSplit, &count)) return false;
        if (LocalIs(tag.Name, "c")) {
          if (!Cell(p, tag, count)) return false;
        } else if (!tag.Empty && !S.SkipContent(p)) {
          return false;
        }
      }
    }
    end = p;
    return true;
  }

 private:
  uint32_t Offset(const char* p) const { return uint32_t(p - S.Begin); }

  bool Cell(const char*& p, const TTag& tag, size_t count) {
    TScannedCell c{};
    std::string_view type;
    if (count != size_t(-1)) FCursor.StartCell(FSplit, count, c.Row, c.Column, c.Style, type);
    else FCursor.StartCell(tag.Attrs, c.Row, c.Column, c.Style, type);
    if (!type.empty()) {
      c.Type = Offset(type.data());
      c.TypeLength = uint32_t(type.size());
    }
    if (!tag.Empty) {
      // The cell's children: <v>, <is>, and others skipped whole.
      for (;;) {
        p = S.Find(p, '<');
        if (S.End - p < 2) return S.Short = true, false;
        if (p[1] == '/') {
          if (!S.EndTag(p, tag.Name)) return false;
          break;
        }
        TTag child;
        if (!S.StartTag(p, child)) return false;
        if (LocalIs(child.Name, "v")) {
          if (c.HasValue) return false;  // a second value: the engine joins them
          c.HasValue = true;
          std::string_view text;
          if (!S.ElementText(p, child, text)) return false;
          c.Value = Offset(text.data());
          c.ValueLength = uint32_t(text.size());
        } else if (LocalIs(child.Name, "is")) {
          if (!child.Empty && !Inline(p, child, c, false)) return false;
        } else if (!child.Empty && !S.SkipContent(p)) {
          return false;
        }
      }
    }
    FCells.push_back(c);
    return true;
  }

  // <is>: <t> directly or in runs <r>; anything else is skipped whole.
  bool Inline(const char*& p, const TTag& tag, TScannedCell& c, bool inRun) {
    for (;;) {
      p = S.Find(p, '<');
      if (S.End - p < 2) return S.Short = true, false;
      if (p[1] == '/') return S.EndTag(p, tag.Name);
      TTag child;
      if (!S.StartTag(p, child)) return false;
      if (LocalIs(child.Name, "t")) {
        if (c.HasInline) return false;  // several runs: the engine joins them
        c.HasInline = true;
        std::string_view text;
        if (!S.ElementText(p, child, text)) return false;
        c.Inline = Offset(text.data());
        c.InlineLength = uint32_t(text.size());
      } else if (!inRun && LocalIs(child.Name, "r")) {
        if (!child.Empty && !Inline(p, child, c, true)) return false;
      } else if (!child.Empty && !S.SkipContent(p)) {
        return false;
      }
    }
  }

  TSpan& S;
  TSheetCursor& FCursor;
  std::vector<TScannedCell>& FCells;
  TXMLAttributeView<char> FSplit[MaxFastAttributes];
};

namespace {

// The text pieces of the shared string <si> at the span's start: <t>
// directly or in runs <r>; anything else but another <si> is skipped whole.
bool SharedString(TSpan& s, const char*& end, std::vector<std::string_view>& pieces) {
  const char* p = s.Begin;
  TTag si;
  if (p == s.End || *p != '<' || !s.StartTag(p, si) || !LocalIs(si.Name, "si")) return false;
  std::string_view open[2] = {si.Name};  // <si>, and the run inside it
  int depth = si.Empty ? 0 : 1;
  while (depth > 0) {
    p = s.Find(p, '<');
    if (s.End - p < 2) return s.Short = true, false;
    if (p[1] == '/') {
      if (!s.EndTag(p, open[depth - 1])) return false;
      --depth;
      continue;
    }
    TTag tag;
    if (!s.StartTag(p, tag)) return false;
    if (LocalIs(tag.Name, "t")) {
      std::string_view text;
      if (!s.ElementText(p, tag, text)) return false;
      pieces.push_back(text);
    } else if (depth == 1 && LocalIs(tag.Name, "r")) {
      if (!tag.Empty) open[depth++] = tag.Name;
    } else if (LocalIs(tag.Name, "si")) {
      return false;  // the engine takes it as a string of its own
    } else if (!tag.Empty && !s.SkipContent(p)) {
      return false;
    }
  }
  end = p;
  return true;
}

}  // namespace

void TMSExcelX::ScanSharedStrings(TQXXMLEngine& engine, TQXXMLRawText& text) {
  if (engine.CodePage() != CP_UTF8) return;
  std::vector<std::string_view> pieces;
  std::u16string piece, string;
  while (text.Size() > 0 || text.More()) {
    TSpan span(text.Data(), text.Data() + text.Size());
    const char* end;
    pieces.clear();
    if (!SharedString(span, end, pieces)) {
      if (span.Short && MoreInHand(text)) continue;
      return;
    }
    string.clear();
    for (std::string_view t : pieces) {
      engine.Decode(t.data(), t.size(), piece);
      string += piece;
    }
    AddSharedStringXml(string);
    text.Consume(size_t(end - span.Begin));
  }
}

void TMSExcelX::ScanSheetRows(TQXXMLEngine& engine, TQXXMLRawText& text, TSheetCursor& cursor, TSheetCell& cell) {
  // The cell functions see the attribute bytes as the handler sees the
  // decoded text: UTF-8 (and UTF-16 input, which arrives as UTF-8) only.
  if (engine.CodePage() != CP_UTF8) return;
  // Rows follow each other without text between them in the files of every
  // program; where text stands, the engine takes it and calls again.
  while (text.Size() > 0 || text.More()) {
    TSpan span(text.Data(), text.Data() + text.Size());
    const TSheetCursor before = cursor;
    FScannedCells.clear();
    const char* end;
    if (!TSheetRowScan(span, cursor, FScannedCells).Row(end)) {
      cursor = before;
      if (span.Short && MoreInHand(text)) continue;
      return;  // not a row of the usual shape: the engine reads it from its start
    }
    const char* row = span.Begin;
    for (const TScannedCell& c : FScannedCells) {
      cell.Row = c.Row;
      cell.Column = c.Column;
      cell.Style = c.Style;
      cell.Type.assign(row + c.Type, row + c.Type + c.TypeLength);
      cell.HasValue = c.HasValue;
      cell.HasInline = c.HasInline;
      engine.Decode(row + c.Value, c.ValueLength, cell.Value);
      if (c.InlineLength) engine.Decode(row + c.Inline, c.InlineLength, cell.InlineText);
      else cell.InlineText.clear();
      DeliverSheetCell(cell);
    }
    text.Consume(size_t(end - row));
  }
}
