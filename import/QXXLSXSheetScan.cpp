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
#include <thread>

#include "CodePage.h"
#include "HandOver.h"
#include "QXIXML.h"
#include "QXXLSX.h"

namespace {

// An element is read whole before its cells or string are delivered:
// larger ones go to the engine, which streams them.
constexpr size_t MaxElementBytes = size_t(256) << 10;
// Attributes of a cell split on the fly; a cell with more takes the slow path.
constexpr size_t MaxFastAttributes = 8;

// More bytes in hand, for reading an element again from its start after it
// ran short.
bool MoreInHand(TQXXMLRawText& text) { return text.Size() < MaxElementBytes && text.More(); }

}  // namespace

// One row, held whole: its cells are noted as positions in its bytes and
// delivered, with the cell function the engine's handler calls, once the
// row has been read to its end tag.
class TMSExcelX::TSheetRowScan {
 public:
  TSheetRowScan(TQXXMLScan& span, TSheetCursor& cursor, std::vector<TScannedCell>& cells)
      : S(span), FCursor(cursor), FCells(cells) {}

  // The row at the span's start; end is past its end tag.
  bool Row(const char*& end) {
    const char* p = S.Begin;
    TQXXMLTag row;
    if (p == S.End || *p != '<' || !S.StartTag(p, row) || !XMLLocalNameIs(row.Name, "row")) return false;
    FCursor.StartRow(row.Attrs);
    if (FCursor.Misnumbered < 1) return false;  // the engine tells of it
    if (!row.Empty) {
      for (;;) {
        // Text between elements is the row's value, which nobody reads.
        const TQXXMLScan::TStep step = S.Next(p, row.Name);
        if (step == TQXXMLScan::stFail) return false;
        if (step == TQXXMLScan::stEnd) break;
        TQXXMLTag tag;
        size_t count;
        if (!S.StartTag(p, tag, FSplit, MaxFastAttributes, &count)) return false;
        if (XMLLocalNameIs(tag.Name, "c")) {
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

  bool Cell(const char*& p, const TQXXMLTag& tag, size_t count) {
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
        const TQXXMLScan::TStep step = S.Next(p, tag.Name);
        if (step == TQXXMLScan::stFail) return false;
        if (step == TQXXMLScan::stEnd) break;
        TQXXMLTag child;
        if (!S.StartTag(p, child)) return false;
        if (XMLLocalNameIs(child.Name, "v")) {
          if (c.HasValue) return false;  // a second value: the engine joins them
          c.HasValue = true;
          std::string_view text;
          if (!S.ElementText(p, child, text)) return false;
          c.Value = Offset(text.data());
          c.ValueLength = uint32_t(text.size());
        } else if (XMLLocalNameIs(child.Name, "is")) {
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
  bool Inline(const char*& p, const TQXXMLTag& tag, TScannedCell& c, bool inRun) {
    for (;;) {
      const TQXXMLScan::TStep step = S.Next(p, tag.Name);
      if (step != TQXXMLScan::stChild) return step == TQXXMLScan::stEnd;
      TQXXMLTag child;
      if (!S.StartTag(p, child)) return false;
      if (XMLLocalNameIs(child.Name, "t")) {
        if (c.HasInline) return false;  // several runs: the engine joins them
        c.HasInline = true;
        std::string_view text;
        if (!S.ElementText(p, child, text)) return false;
        c.Inline = Offset(text.data());
        c.InlineLength = uint32_t(text.size());
      } else if (!inRun && XMLLocalNameIs(child.Name, "r")) {
        if (!child.Empty && !Inline(p, child, c, true)) return false;
      } else if (!child.Empty && !S.SkipContent(p)) {
        return false;
      }
    }
  }

  TQXXMLScan& S;
  TSheetCursor& FCursor;
  std::vector<TScannedCell>& FCells;
  TXMLAttributeView<char> FSplit[MaxFastAttributes];
};

namespace {

// The text pieces of the shared string <si> at the span's start: <t>
// directly or in runs <r>; anything else but another <si> is skipped whole.
bool SharedString(TQXXMLScan& s, const char*& end, std::vector<std::string_view>& pieces) {
  const char* p = s.Begin;
  TQXXMLTag si;
  if (p == s.End || *p != '<' || !s.StartTag(p, si) || !XMLLocalNameIs(si.Name, "si")) return false;
  std::string_view open[2] = {si.Name};  // <si>, and the run inside it
  int depth = si.Empty ? 0 : 1;
  while (depth > 0) {
    const TQXXMLScan::TStep step = s.Next(p, open[depth - 1]);
    if (step == TQXXMLScan::stFail) return false;
    if (step == TQXXMLScan::stEnd) {
      --depth;
      continue;
    }
    TQXXMLTag tag;
    if (!s.StartTag(p, tag)) return false;
    if (XMLLocalNameIs(tag.Name, "t")) {
      std::string_view text;
      if (!s.ElementText(p, tag, text)) return false;
      pieces.push_back(text);
    } else if (depth == 1 && XMLLocalNameIs(tag.Name, "r")) {
      if (!tag.Empty) open[depth++] = tag.Name;
    } else if (XMLLocalNameIs(tag.Name, "si")) {
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
    TQXXMLScan span(text.Data(), text.Data() + text.Size());
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
    NotePartProgress();
    AddSharedStringXml(string);
    text.Consume(size_t(end - span.Begin));
  }
}

bool TMSExcelX::NextRow(TQXXMLRawText& text, TSheetCursor& cursor, std::vector<TScannedCell>& cells,
                        const char*& row, const char*& end) {
  // Rows follow each other without text between them in the files of every
  // program; where text stands, the engine takes it and calls again.
  while (text.Size() > 0 || text.More()) {
    TQXXMLScan span(text.Data(), text.Data() + text.Size());
    const TSheetCursor before = cursor;
    const size_t first = cells.size();
    if (TSheetRowScan(span, cursor, cells).Row(end)) {
      row = span.Begin;
      return true;
    }
    cursor = before;
    cells.resize(first);
    if (!span.Short || !MoreInHand(text)) break;
  }
  return false;
}

void TMSExcelX::DeliverScannedCell(const char* row, const TScannedCell& c, TSheetCell& cell) {
  cell.Row = c.Row;
  cell.Column = c.Column;
  cell.Style = c.Style;
  cell.Type.assign(row + c.Type, row + c.Type + c.TypeLength);
  cell.HasValue = c.HasValue;
  cell.HasInline = c.HasInline;
  DecodeXMLUtf8(row + c.Value, c.ValueLength, cell.Value);
  if (c.InlineLength) DecodeXMLUtf8(row + c.Inline, c.InlineLength, cell.InlineText);
  else cell.InlineText.clear();
  DeliverSheetCell(cell);
}

void TMSExcelX::ScanSheetRows(TQXXMLEngine& engine, TQXXMLRawText& text, TSheetCursor& cursor, TSheetCell& cell) {
  // The cell functions see the attribute bytes as the handler sees the
  // decoded text: UTF-8 (and UTF-16 input, which arrives as UTF-8) only.
  if (engine.CodePage() != CP_UTF8) return;
  // A part whose rows keep falling back to the engine is not worth a thread
  // for every stretch between them.
  constexpr int MaxRowThreads = 4;
  if (FRowLoan && FRowThreads < MaxRowThreads && FSheetStream &&
      FSheetStream->Size() - FSheetStream->Position() >= MinRowThreadBytes) {
    ++FRowThreads;
    ScanSheetRowsBeside(text, cursor, cell);
    return;
  }
  for (;;) {
    const char *row, *end;
    FScannedCells.clear();
    if (!NextRow(text, cursor, FScannedCells, row, end)) return;
    NotePartProgress();
    ++FScannedRows;
    for (const TScannedCell& c : FScannedCells) DeliverScannedCell(row, c, cell);
    text.Consume(size_t(end - row));
  }
}

void TMSExcelX::ScanSheetRowsBeside(TQXXMLRawText& text, TSheetCursor& cursor, TSheetCell& cell) {
  // Whole rows, copied out of the part with their cells (offsets into
  // Bytes), handed over a few at a time.
  struct TBatch {
    std::string Bytes;
    std::vector<TScannedCell> Cells;
    std::vector<uint32_t> RowCells;  // each row's count of Cells
    int64_t Position = 0;            // of the part's stream when it was full
  };
  constexpr size_t BatchBytes = size_t(32) << 10;
  constexpr size_t MaxBatches = 4;
  THandOver<std::unique_ptr<TBatch>> batches(MaxBatches);
  TSheetCursor scanned = cursor;
  TStream& stream = *FSheetStream;

  auto scan = [&] {
    try {
      for (bool more = true; more;) {
        std::unique_ptr<TBatch> b;
        if (!batches.WaitForRoom(b)) return;
        if (!b) b = std::make_unique<TBatch>();
        b->Bytes.clear();
        b->Cells.clear();
        b->RowCells.clear();
        while (b->Bytes.size() < BatchBytes) {
          const size_t first = b->Cells.size();
          const char *row, *end;
          if (!NextRow(text, scanned, b->Cells, row, end)) {
            more = false;
            break;
          }
          const uint32_t base = uint32_t(b->Bytes.size());
          b->Bytes.append(row, end);
          for (size_t k = first; k < b->Cells.size(); ++k) {
            TScannedCell& c = b->Cells[k];
            c.Type += base;
            c.Value += base;
            c.Inline += base;
          }
          b->RowCells.push_back(uint32_t(b->Cells.size() - first));
          text.Consume(size_t(end - row));
        }
        b->Position = stream.Position();
        batches.Give(std::move(b));
      }
      batches.End();
    } catch (...) {
      batches.End(std::current_exception());
    }
  };

  // Stops the scan and waits for it however this function is left.
  struct TJoin {
    std::thread Thread;
    THandOver<std::unique_ptr<TBatch>>& Batches;
    ~TJoin() {
      Batches.Stop();
      if (Thread.joinable()) Thread.join();
    }
  } join{std::thread(scan), batches};

  // The scan's error, if one ended it, is raised after the rows before it.
  std::unique_ptr<TBatch> b;
  while (batches.Take(b)) {
    const char* bytes = b->Bytes.data();
    const TScannedCell* c = b->Cells.data();
    for (uint32_t count : b->RowCells) {
      NotePartProgress(b->Position);
      ++FScannedRows;
      for (const TScannedCell* last = c + count; c < last; ++c) DeliverScannedCell(bytes, *c, cell);
    }
    batches.GiveBack(std::move(b));
  }
  join.Thread.join();
  cursor = scanned;
}
