// Table rows of content.xml straight from the inflated bytes: <table:table-row>
// with its cells (<table:table-cell>, <table:table-covered-cell>) and their
// paragraphs (<text:p>, <text:h>) of plain text; other elements of a row or
// cell are skipped whole, as the content reader refuses them. A row of any
// other shape (spans, spaces, links or lists in a paragraph, comments, CDATA,
// end tags that do not match, a row larger than MaxRowBytes, the end of the
// part) is left to the XML engine, so the reader takes the same cells either
// way.
#include "QXIOO.h"
#include "QXIXML.h"

namespace {

// A row is read whole before its cells are taken: larger ones go to the
// engine, which streams them.
constexpr size_t MaxRowBytes = size_t(256) << 10;
// Attributes of a cell split on the fly; a cell with more takes the slow path.
constexpr size_t MaxSplit = 12;

bool IsCell(std::string_view name) { return name == "table:table-cell" || name == "table:covered-table-cell"; }
bool IsParagraph(std::string_view name) { return name == "text:p" || name == "text:h"; }
bool IsList(std::string_view name) {
  return name == "text:list" || name == "text:list-item" || name == "text:list-header";
}

bool ReadRow(TQXXMLScan& s, TQXIOORowScan& row) {
  const char* p = s.Begin;
  TQXXMLTag tag;
  if (p == s.End || *p != '<' || !s.StartTag(p, tag) || tag.Name != "table:table-row") return false;
  row.Attrs = tag.Attrs;
  if (!tag.Empty) {
    for (;;) {
      // Text between elements is the row's value, which nobody reads.
      const TQXXMLScan::TStep step = s.Next(p, tag.Name);
      if (step == TQXXMLScan::stFail) return false;
      if (step == TQXXMLScan::stEnd) break;
      TQXXMLTag cell;
      TXMLAttributeView<char> split[MaxSplit];
      size_t count;
      if (!s.StartTag(p, cell, split, MaxSplit, &count)) return false;
      if (!IsCell(cell.Name)) {
        if (!cell.Empty && !s.SkipContent(p)) return false;
        continue;
      }
      TQXIOORowScan::TCell c;
      c.Attrs = cell.Attrs;
      c.FirstParagraph = uint32_t(row.Paragraphs.size());
      c.FirstAttribute = uint32_t(row.Attributes.size());
      c.Split = count != size_t(-1);
      if (c.Split) {
        c.Attributes = uint32_t(count);
        row.Attributes.insert(row.Attributes.end(), split, split + count);
      }
      while (!cell.Empty) {
        const TQXXMLScan::TStep step = s.Next(p, cell.Name);
        if (step == TQXXMLScan::stFail) return false;
        if (step == TQXXMLScan::stEnd) break;
        TQXXMLTag child;
        if (!s.StartTag(p, child)) return false;
        if (IsParagraph(child.Name)) {
          std::string_view text(p, 0);
          if (!child.Empty) {
            const char* start = p;
            p = s.Find(p, '<');
            if (p == s.End) return false;
            text = std::string_view(start, size_t(p - start));
            // Plain text only: the paragraph's own end tag follows.
            if (!s.EndTag(p, child.Name)) return false;
          }
          row.Paragraphs.push_back(text);
          ++c.Paragraphs;
        } else if (IsList(child.Name)) {
          return false;  // paragraphs in lists: the engine's
        } else if (!child.Empty && !s.SkipContent(p)) {
          return false;
        }
      }
      row.Cells.push_back(c);
    }
  }
  row.End = size_t(p - s.Begin);
  return true;
}

}  // namespace

bool TQXIOORowScan::Read(TQXXMLRawText& text) {
  for (;;) {
    if (text.Size() == 0 && !text.More()) return false;
    TQXXMLScan s(text.Data(), text.Data() + text.Size());
    Cells.clear();
    Attributes.clear();
    Paragraphs.clear();
    if (ReadRow(s, *this)) return true;
    if (!s.Short || text.Size() >= MaxRowBytes || !text.More()) return false;
  }
}
