#include "PlainWriters.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "CodePage.h"
#include "Exception.h"
#include "ProductInfo.h"
#include "SysUtils.h"
#include "Variant.h"

namespace {

std::string SheetName(const TSpreadSheet& sheet) {
  try {
    return WideToAnsi(sheet.Caption);
  } catch (const Exception&) {
    return Utf16ToUtf8(sheet.Caption);
  }
}

// Saturating arithmetic for size estimates of absurd grids.
int64_t SatMul(int64_t a, int64_t b) {
  int64_t r;
  return __builtin_mul_overflow(a, b, &r) ? INT64_MAX : r;
}
int64_t SatAdd(int64_t a, int64_t b) {
  int64_t r;
  return __builtin_add_overflow(a, b, &r) ? INT64_MAX : r;
}

// A grid whose empty cells alone (fixedPerRow + perCell per cell, per row)
// need more than the budget is refused before a byte is written: one cell
// at XFD1048576 would otherwise be 17 GB of CSV.
void CheckGridBudget(const TSpreadSheet& sheet, const char* format, int64_t fixedPerRow, int64_t perCell,
                     const TSheetWriteOptions& options) {
  if (options.MaxOutputSize <= 0) return;
  // The grid a text writer covers: every used row and column and one more.
  const int64_t rows = int64_t(sheet.Cells.RowCount) + 1, cols = int64_t(sheet.Cells.ColCount) + 1;
  const int64_t need = SatMul(rows, SatAdd(fixedPerRow, SatMul(cols, perCell)));
  if (need <= options.MaxOutputSize) return;
  throw EBudgetExceeded("Sheet \"" + SheetName(sheet) + "\" is too large to write: its grid of " +
                        std::to_string(rows) + " rows by " + std::to_string(cols) + " columns needs at least " +
                        FormatByteSize(need) + " as " + format + ", more than the output budget of " +
                        FormatByteSize(options.MaxOutputSize) + " per file (--max-output, setting MaxOutputSize).");
}

// Whether the lines are built in UTF-8 (every Unicode encoding) rather than
// in the system code page, and how a system code page text becomes that.
struct TTextForm {
  explicit TTextForm(const TTextOptions& text)
      : Utf8(text.Encoding != encSystem), Convert(Utf8 && GetACP() != CP_UTF8) {}
  bool Utf8;
  bool Convert;  // system code page text must be converted
  // Whether s (system code page) differs in the working form. A file that
  // says it is UTF-8 holds nothing else: bytes that are no UTF-8 become U+FFFD.
  bool Changes(std::string_view s) const {
    if (!Utf8) return false;
    if (!Convert) return !IsValidUtf8(s);
    for (char c : s)
      if (uint8_t(c) >= 0x80) return true;
    return false;
  }
  std::string Converted(std::string_view s) const {
    return Convert ? AnsiToUtf8(std::string(s)) : Utf16ToUtf8(Utf8ToUtf16(std::string(s)));
  }
  // s in the working form: s itself, or scratch holding its conversion.
  std::string_view Work(std::string_view s, std::string& scratch) const {
    if (!Changes(s)) return s;
    scratch = Converted(s);
    return scratch;
  }
  std::string Work(const std::string& s) const { return Changes(s) ? Converted(s) : s; }
};

// Builds one line and hands it to the stream with its line end in one
// write, encoded as chosen, and polls the stop per row. (The output file's
// stream keeps the budget.)
class TLineWriter {
 public:
  TLineWriter(TStream& stream, const TSheetWriteOptions& options)
      : FStream(stream), FOptions(options),
        FEol(options.Text.LineBreak == lbLF ? "\n" : "\r\n"),
        FUtf16(options.Text.Encoding == encUtf16LE) {
    FLine.reserve(256);
    if (options.Text.Encoding == encUtf8Bom) Write("\xEF\xBB\xBF", 3);
    if (FUtf16) Write("\xFF\xFE", 2);
  }
  std::string& Line() { return FLine; }
  const char* Eol() const { return FEol; }
  void Emit() {
    FLine += FEol;
    if (FUtf16) {
      FWide.clear();
      AppendUtf8AsUtf16(FLine.data(), FLine.size(), FWide);
      FBytes.resize(FWide.size() * 2);
      for (size_t i = 0; i < FWide.size(); ++i) {
        FBytes[2 * i] = char(FWide[i] & 0xFF);
        FBytes[2 * i + 1] = char(FWide[i] >> 8);
      }
      Write(FBytes.data(), FBytes.size());
    } else {
      Write(FLine.data(), FLine.size());
    }
    FLine.clear();
  }
  void Emit(std::string_view text) {
    FLine.append(text);
    Emit();
  }
  // Whole lines with their ends, already in the output's form (not UTF-16).
  void Write(const std::string& lines) { Write(lines.data(), lines.size()); }
  // Between rows: a stop, and now and then how far the sheet has come.
  void Poll(int64_t row, int64_t rows) const {
    PollCancel(FOptions.Cancel);
    if (FOptions.Progress && (row & 4095) == 0 && rows > 0) FOptions.Progress(double(row) / double(rows));
  }

 private:
  void Write(const char* data, size_t size) { FStream.WriteBuffer(data, int64_t(size)); }
  TStream& FStream;
  const TSheetWriteOptions& FOptions;
  const char* FEol;
  bool FUtf16;
  std::string FLine;
  std::u16string FWide;
  std::string FBytes;
};

// The banner line of TXT and CSV; it ends with a line end of its own, so an
// empty line follows it.
void EmitBanner(TLineWriter& out) {
  out.Line() = std::string("Generated by ") + ProductName + " (" + CompanyName + ", " + ProductWebAddress + ")";
  out.Line() += out.Eol();
  out.Emit();
}

// The grid a writer covers: every used row and column, and one more of
// each unless that was turned off.
struct TGrid {
  TGrid(const TSpreadSheetCells& cells, const TTextOptions& text) {
    const int64_t extra = text.ExtraRowColumn ? 1 : 0;
    Rows = int64_t(cells.RowCount) + extra;
    Cols = int64_t(cells.ColCount) + extra;
  }
  int64_t Rows, Cols;
};

// The charset name of the headers of HTML and XML outputs.
std::string CharsetName(TTextEncoding encoding) {
  switch (encoding) {
    case encSystem: break;
    case encUtf8:
    case encUtf8Bom: return "utf-8";
    case encUtf16LE: return "utf-16";
  }
  return CodePageName(GetACP());
}

// The sheet's caption in the working form.
std::string SheetCaption(const TSpreadSheet& sheet, const TTextForm& form) {
  return form.Utf8 ? Utf16ToUtf8(sheet.Caption) : SheetName(sheet);
}

// The texts of one sheet's cells in the form the output takes. A stored
// text that shows as it stands but has to be converted is converted once
// per stored copy, not once per cell showing it: a shared-string entry is
// remembered by its address in a small table, so memory does not grow with
// the sheet.
class TSheetTexts : public TCellTexts {
 public:
  TSheetTexts(const TSpreadSheet& sheet, const TTextOptions& text, bool forPeople)
      : TCellTexts(sheet.Formats(), ResolveCellValues(text.Values, forPeople)) {}

  // A text cell's own text (ShowsOwnText) in the working form.
  std::string_view Own(const TQXICell& cell, const TTextForm& form) {
    if (cell.ValueType() == TVarType::String) {
      const std::string& s = cell.StringValue();
      if (!form.Changes(s)) return s;
      return Remembered(&s, [&] { return form.Converted(s); });
    }
    // Wide text straight into UTF-8, nothing lost on the way.
    const std::u16string& w = cell.WideValue();
    return Remembered(&w, [&] { return form.Utf8 ? Utf16ToUtf8(w) : WideToAnsi(w); });
  }

 private:
  template <class Make>
  std::string_view Remembered(const void* stored, Make make) {
    if (FSlots.empty()) FSlots.resize(4096);
    TSlot& slot = FSlots[(uintptr_t(stored) >> 4) * 0x9E3779B97F4A7C15ull >> 52];
    if (slot.Stored != stored) {
      slot.Text = make();
      slot.Stored = stored;
    }
    return slot.Text;
  }
  struct TSlot {
    const void* Stored = nullptr;
    std::string Text;
  };
  std::vector<TSlot> FSlots;
};

// The cell text in the working form: a view of the cell's own text, of a
// remembered conversion or of scratch. width > 0: the column's characters,
// which a number shown as displayed does not exceed.
std::string_view CellView(const TQXICell* cell, std::string& scratch, TSheetTexts& texts, const TTextForm& form,
                          int32_t width = 0) {
  if (!cell) return {};
  if (texts.ShowsOwnText(*cell)) return texts.Own(*cell, form);
  return form.Work(texts.Text(cell, scratch, width), scratch);
}

// Whether a number's text is certainly shorter than width characters, told
// without formatting it, so the width pass formats only what could widen a
// field. A float fits when a decimal with few enough fraction digits reads
// back as the same double: its shortest text (and so the 15-digit one) has
// no more fraction digits than that.
bool NumberShorterThan(const TQXICell& cell, size_t width) {
  if (cell.ValueType() == TVarType::Integer) return width > 20;
  const double d = cell.NumberValue();
  const double a = std::fabs(d);
  const size_t sign = std::signbit(d) ? 1 : 0;
  if (!(a >= 1e-4 && a < 1e15)) return a == 0 ? width > 1 : width > sign + 21;
  // 15 significant digits and a "."; below 1 also "0." and up to three zeros.
  const size_t bound = sign + (a >= 1 ? 16 : a >= 0.1 ? 17 : a >= 0.01 ? 18 : a >= 0.001 ? 19 : 20);
  if (bound < width) return true;
  size_t intDigits = 1;
  for (double p = 10; intDigits < 15 && a >= p; p *= 10) ++intDigits;
  if (sign + intDigits >= width) return false;
  // Room left for "." and k fraction digits ("0." counts as the integer part below 1).
  const size_t room = width - 1 - sign - intDigits;
  if (room == 0) return a == std::trunc(a);
  const int k = int(std::min<size_t>(room - 1, 15));
  static const double Pow10[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  const double scaled = std::nearbyint(a * Pow10[k]);
  return scaled < 9007199254740992.0 && scaled / Pow10[k] == a;
}

// Characters (not bytes) of 8-bit text in the system code page.
class TCharCounter {
 public:
  explicit TCharCounter(bool utf8) : FUtf8(utf8 || GetACP() == CP_UTF8) {}
  size_t operator()(std::string_view s) const {
    size_t n = 0;
    if (FUtf8) {
      for (char c : s) n += (uint8_t(c) & 0xC0) != 0x80;
      return n;
    }
    for (char c : s) n += uint8_t(c) < 0x80;
    return n == s.size() ? n : AnsiCharCount(std::string(s));
  }

 private:
  bool FUtf8;
};

void EscapeHtml(std::string& out, std::string_view s) {
  size_t start = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const char* rep;
    switch (s[i]) {
      case '&': rep = "&amp;"; break;
      case '<': rep = "&lt;"; break;
      case '>': rep = "&gt;"; break;
      case '"': rep = "&quot;"; break;
      default: continue;
    }
    out.append(s.data() + start, i - start);
    out += rep;
    start = i + 1;
  }
  out.append(s.data() + start, s.size() - start);
}

// Length of a valid UTF-8 sequence at s[i] that XML 1.0 allows, else 0.
size_t ValidXmlUtf8(std::string_view s, size_t i) {
  auto b = [&](size_t k) { return uint8_t(s[i + k]); };
  auto cont = [&](size_t k) { return i + k < s.size() && (b(k) & 0xC0) == 0x80; };
  uint8_t c = b(0);
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (!cont(1) || !cont(2)) return 0;
    uint32_t cp = (uint32_t(c & 0x0F) << 12) | (uint32_t(b(1) & 0x3F) << 6) | (b(2) & 0x3F);
    if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF) return 0;
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    uint32_t cp = (uint32_t(c & 0x07) << 18) | (uint32_t(b(1) & 0x3F) << 12) | (uint32_t(b(2) & 0x3F) << 6) |
                  (b(3) & 0x3F);
    return cp >= 0x10000 && cp <= 0x10FFFF ? 4 : 0;
  }
  return 0;
}

// Attribute value: markup characters as entities, tab and line breaks as
// character references (so attribute normalisation keeps them); the other
// control characters have no XML 1.0 form and become "?", as do broken
// UTF-8 sequences.
void EscapeXml(std::string& out, std::string_view s, bool utf8) {
  size_t start = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    uint8_t c = uint8_t(s[i]);
    const char* rep;
    if (c >= 0x80) {
      if (!utf8) continue;
      size_t n = ValidXmlUtf8(s, i);
      if (n) {
        i += n - 1;
        continue;
      }
      rep = "\xEF\xBF\xBD";
    } else {
      switch (c) {
        case '&': rep = "&amp;"; break;
        case '<': rep = "&lt;"; break;
        case '>': rep = "&gt;"; break;
        case '"': rep = "&quot;"; break;
        case '\t': rep = "&#9;"; break;
        case '\n': rep = "&#10;"; break;
        case '\r': rep = "&#13;"; break;
        default:
          if (c >= 0x20) continue;
          rep = "?";
      }
    }
    out.append(s.data() + start, i - start);
    out += rep;
    start = i + 1;
  }
  out.append(s.data() + start, s.size() - start);
}

void AppendInt(std::string& out, int64_t v) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof(buf), v);
  out.append(buf, res.ptr);
}

// Runs the writer into the output's counted stream, which replaces the
// output only when complete and as the options allow (write errors name
// the output already).
template <class Body>
void WriteFile(const std::string& path, const TSpreadSheet& sheet, const TSheetWriteOptions& options, Body body) {
  TAtomicFileStream stream(path, {options.MaxOutputSize, options.Replace});
  try {
    body(stream);
  } catch (const EOutputBudgetExceeded&) {
    throw EOutputBudgetExceeded("Sheet \"" + SheetName(sheet) + "\" is too large to write: " +
                          OutputBudgetText(options.MaxOutputSize));
  }
  stream.Commit();
}

}  // namespace

std::string CellText(const TSpreadSheetCells& cells, int32_t column, int32_t row) {
  std::string scratch;
  if (row < 0) return scratch;
  static const TNumberFormats General;
  TCellTexts texts(General, cvStored);
  return std::string(texts.Text(cells.GetCell(column, row), scratch));
}

int32_t FixedFieldWidth(const std::vector<int32_t>& columnWidths, int64_t column) {
  if (column < 0 || column >= int64_t(columnWidths.size())) return 64 / 4;
  int32_t stored = columnWidths[size_t(column)];
  if (stored < 0) return 0;
  // Whole characters never exceed 255; larger values count 1/256 of a
  // character. No column is wider than 255 characters, so no stored value
  // makes every line balloon.
  return stored > 255 ? std::min(stored >> 8, 255) : stored / 4;
}

void WriteTXT(TStream& stream, const TSpreadSheet& sheet, const TSheetWriteOptions& options) {
  const TSpreadSheetCells& cells = sheet.Cells;
  TSheetTexts texts(sheet, options.Text, false);
  const bool stored = texts.Values() == cvStored;
  const TGrid grid(cells, options.Text);
  const int64_t rows = grid.Rows, cols = grid.Cols;
  const TTextForm form(options.Text);
  const TCharCounter charCount(form.Utf8);

  // Field widths: the stored width, widened to the longest text of the
  // column plus a blank so that fields never run together. A number shown
  // as displayed keeps to the stored width ("#" marks where it is wider),
  // as in the source.
  std::vector<int32_t> widths(static_cast<size_t>(cols));
  for (int64_t k = 0; k < cols; ++k) widths[size_t(k)] = FixedFieldWidth(sheet.ColumnWidths, k);
  const std::vector<int32_t> columnWidths = widths;
  std::string scratch;
  for (int32_t r = 0; r < cells.Count(); ++r) {
    const TSpreadSheetCols& row = cells.Row(r).Cells;
    for (int32_t k = 0; k < row.Count() && k < cols; ++k) {
      const TQXICell* cell = row.Cell(k);
      if (!cell) continue;
      size_t width = size_t(widths[size_t(k)]);
      // Skip what cannot widen the field: a text has no more characters
      // than bytes, and a number's text has a bound.
      TVarType type = cell->ValueType();
      if (type == TVarType::String ? texts.ShowsOwnText(*cell) && cell->StringValue().size() < width
                                   : stored && (type == TVarType::Float || type == TVarType::Integer) &&
                                         NumberShorterThan(*cell, width))
        continue;
      size_t need = charCount(CellView(cell, scratch, texts, form, columnWidths[size_t(k)])) + 1;
      if (need > width) widths[size_t(k)] = int32_t(std::min<size_t>(need, INT32_MAX));
    }
  }

  int64_t lineWidth = 0;
  for (int32_t w : widths) lineWidth = SatAdd(lineWidth, w);
  CheckGridBudget(sheet, "text", SatAdd(lineWidth, 2), 0, options);

  TLineWriter out(stream, options);
  if (options.Text.Banner) EmitBanner(out);
  for (int64_t r = 0; r < rows; ++r) {
    out.Poll(r, rows);
    std::string& line = out.Line();
    const TSpreadSheetCols* row = r < cells.Count() ? &cells.Row(int32_t(r)).Cells : nullptr;
    for (int64_t k = 0; k < cols; ++k) {
      const TQXICell* cell = row ? row->Cell(int32_t(k)) : nullptr;
      std::string_view text = CellView(cell, scratch, texts, form, columnWidths[size_t(k)]);
      // Each field keeps a blank before its text; the rest of the width
      // goes where the cell's alignment leaves it.
      const size_t chars = charCount(text);
      const size_t pad = chars < size_t(widths[size_t(k)]) ? size_t(widths[size_t(k)]) - chars : 0;
      const TAlignment align = cell && pad > 1 ? DisplayAlignment(*cell) : taRightJustify;
      const size_t before = align == taRightJustify ? pad : align == taCenter ? 1 + (pad - 1) / 2 : 1;
      line.append(before, ' ');
      // A line break or tab inside a cell would break the row's line and
      // its columns; here each control character is a blank.
      size_t start = line.size();
      line += text;
      for (size_t i = start; i < line.size(); ++i)
        if (uint8_t(line[i]) < 0x20) line[i] = ' ';
      line.append(pad - before, ' ');
    }
    out.Emit();
  }
}

namespace {

// The lines of a CSV output, row by row. Each thread that makes lines has
// its own (the texts' conversions and scratch are per maker).
class TCsvLines {
 public:
  TCsvLines(const TSpreadSheet& sheet, const TSheetWriteOptions& options, const TGrid& grid)
      : FCells(sheet.Cells), FTexts(sheet, options.Text, false), FGrid(grid), FForm(options.Text),
        FSeparator(FForm.Work(options.Text.Separator.empty() ? std::string(",") : options.Text.Separator)),
        FMinimal(options.Text.Quoting == cqMinimal) {}

  // Row r's fields on line (its end not included).
  void Append(int64_t r, std::string& line) {
    const TSpreadSheetCols* row = r < FCells.Count() ? &FCells.Row(int32_t(r)).Cells : nullptr;
    for (int64_t k = 0; k < FGrid.Cols; ++k) {
      if (k) line += FSeparator;
      const TQXICell* cell = row ? row->Cell(int32_t(k)) : nullptr;
      std::string_view text = CellView(cell, FScratch, FTexts, FForm);
      if (text.empty()) continue;
      // Minimal quoting (RFC 4180): only a field that holds the separator,
      // a quote or a line break needs its quotes.
      if (FMinimal && text.find_first_of("\"\r\n") == std::string_view::npos &&
          text.find(FSeparator) == std::string_view::npos) {
        line.append(text);
        continue;
      }
      // Quotes inside are doubled so the field reads back whole.
      line += '"';
      for (size_t q = text.find('"'); q != std::string_view::npos; q = text.find('"')) {
        line.append(text.substr(0, q + 1));
        line += '"';
        text.remove_prefix(q + 1);
      }
      line.append(text);
      line += '"';
    }
  }

 private:
  const TSpreadSheetCells& FCells;
  TSheetTexts FTexts;
  const TGrid& FGrid;
  const TTextForm FForm;
  const std::string FSeparator;
  const bool FMinimal;
  std::string FScratch;
};

// Rows [first, last) with their line ends; a stop is noticed at every row.
void AppendCsvBlock(TCsvLines& lines, int64_t first, int64_t last, const char* eol, const TCancelToken* cancel,
                    std::string& out) {
  out.clear();
  for (int64_t r = first; r < last; ++r) {
    PollCancel(cancel);
    lines.Append(r, out);
    out += eol;
  }
}

// A large sheet with a processor to spare: a helper makes every other block
// of rows while this thread makes the others and writes all in order. A
// block holds about 64 K fields (4,096 rows at most), however wide the grid.
constexpr int64_t CsvBlockFields = 65536, CsvBlockMaxRows = 4096;

int64_t CsvBlockRows(const TGrid& grid) {
  return std::clamp<int64_t>(CsvBlockFields / std::max<int64_t>(grid.Cols, 1), 1, CsvBlockMaxRows);
}

void WriteCsvInParallel(TLineWriter& out, const TSpreadSheet& sheet, const TSheetWriteOptions& options,
                        const TGrid& grid) {
  const int64_t blockRows = CsvBlockRows(grid);
  const int64_t blocks = (grid.Rows + blockRows - 1) / blockRows;
  auto rowsOf = [&](int64_t b) { return std::pair(b * blockRows, std::min(grid.Rows, (b + 1) * blockRows)); };
  std::mutex lock;
  std::condition_variable changed;
  int64_t ready = -1, taken = -1;  // the helper's block in hand, and the last one written
  bool stop = false;
  std::exception_ptr failure;
  std::string helped;
  std::thread helper([&] {
    try {
      TCsvLines lines(sheet, options, grid);
      std::string block;
      for (int64_t b = 1; b < blocks; b += 2) {
        const auto [first, last] = rowsOf(b);
        AppendCsvBlock(lines, first, last, out.Eol(), options.Cancel, block);
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [&] { return stop || taken == ready; });
        if (stop) return;
        helped.swap(block);
        ready = b;
        changed.notify_all();
      }
    } catch (...) {
      std::lock_guard<std::mutex> hold(lock);
      failure = std::current_exception();
      changed.notify_all();
    }
  });
  auto finish = [&] {
    {
      std::lock_guard<std::mutex> hold(lock);
      stop = true;
    }
    changed.notify_all();
    helper.join();
  };
  try {
    TCsvLines lines(sheet, options, grid);
    std::string block;
    for (int64_t b = 0; b < blocks; ++b) {
      const auto [first, last] = rowsOf(b);
      for (int64_t r = first; r < last; ++r) out.Poll(r, grid.Rows);
      if (b % 2 == 0) {
        AppendCsvBlock(lines, first, last, out.Eol(), options.Cancel, block);
        out.Write(block);
        continue;
      }
      std::unique_lock<std::mutex> hold(lock);
      changed.wait(hold, [&] { return ready == b || failure; });
      if (ready != b) std::rethrow_exception(failure);
      block.swap(helped);
      taken = b;
      changed.notify_all();
      hold.unlock();
      out.Write(block);
    }
  } catch (...) {
    finish();
    throw;
  }
  finish();
}

}  // namespace

void WriteCSV(TStream& stream, const TSpreadSheet& sheet, const TSheetWriteOptions& options) {
  const TGrid grid(sheet.Cells, options.Text);
  CheckGridBudget(sheet, "CSV", 1, 1, options);  // a separator per cell but the first, the line end
  TLineWriter out(stream, options);
  if (options.Text.Banner) EmitBanner(out);
  // UTF-16 goes line by line through the writer's conversion.
  const int64_t fields = grid.Rows * std::max<int64_t>(grid.Cols, 1);
  const bool large = grid.Rows >= 4 * CsvBlockRows(grid) && fields >= 4 * CsvBlockFields;
  TProcessorLoan loan(large && options.Text.Encoding != encUtf16LE ? 1 : 0);
  if (loan.Count() > 0) {
    WriteCsvInParallel(out, sheet, options, grid);
    return;
  }
  TCsvLines lines(sheet, options, grid);
  for (int64_t r = 0; r < grid.Rows; ++r) {
    out.Poll(r, grid.Rows);
    lines.Append(r, out.Line());
    out.Emit();
  }
}

void WriteHTML(TStream& stream, const TSpreadSheet& sheet, const TSheetWriteOptions& options) {
  const TSpreadSheetCells& cells = sheet.Cells;
  TSheetTexts texts(sheet, options.Text, true);
  const TGrid grid(cells, options.Text);
  const TTextForm form(options.Text);
  CheckGridBudget(sheet, "HTML", 17, 21, options);  // <tr> and </tr> lines, a <td>&nbsp;</td> line per cell
  TLineWriter out(stream, options);
  out.Emit("<html>");
  out.Emit("<head>");
  out.Emit("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=" + CharsetName(options.Text.Encoding) +
           "\">");
  out.Emit(std::string("<meta name=\"GENERATOR\" content=\"") + ProductName + "\">");
  const std::string caption = options.Text.HtmlTitle ? SheetCaption(sheet, form) : std::string();
  if (options.Text.HtmlTitle) {
    // "book.xls - Sheet1": which file and which sheet this page shows.
    std::string title = form.Work(options.SourceName);
    if (!title.empty() && !caption.empty()) title += " - ";
    title += caption;
    out.Line() += "<title>";
    EscapeHtml(out.Line(), title.empty() ? std::string(ProductName) : title);
    out.Emit("</title>");
  } else {
    out.Emit(std::string("<title>") + ProductName + "</title>");
  }
  out.Emit("</head>");
  out.Emit("");
  out.Emit("<body>");
  out.Emit("");
  out.Emit("<table border=\"1\">");
  if (options.Text.HtmlTitle && !caption.empty()) {
    out.Line() += "  <caption>";
    EscapeHtml(out.Line(), caption);
    out.Emit("</caption>");
  }
  std::string scratch;
  for (int64_t r = 0; r < grid.Rows; ++r) {
    out.Poll(r, grid.Rows);
    const TSpreadSheetCols* row = r < cells.Count() ? &cells.Row(int32_t(r)).Cells : nullptr;
    out.Emit("  <tr>");
    for (int64_t k = 0; k < grid.Cols; ++k) {
      const TQXICell* cell = row ? row->Cell(int32_t(k)) : nullptr;
      std::string_view text = CellView(cell, scratch, texts, form);
      std::string& line = out.Line();
      if (text.empty()) {
        line += "    <td>&nbsp;</td>";
      } else {
        line += "    <td>";
        EscapeHtml(line, text);
        line += "</td>";
      }
      out.Emit();
    }
    out.Emit("  </tr>");
  }
  out.Emit("</table>");
  if (options.Text.Banner) {
    out.Emit("");
    out.Emit(std::string("<p>Generated by <a href=\"") + ProductWebAddress + "\">" + ProductName + "</a> <a href=\"" +
             CompanyWebAddress + "\">(" + CompanyName + ")</a></p>");
  }
  out.Emit("</body>");
  out.Emit("</html>");
}

void WriteXML(TStream& stream, const TSpreadSheet& sheet, const TSheetWriteOptions& options) {
  const TSpreadSheetCells& cells = sheet.Cells;
  TSheetTexts texts(sheet, options.Text, false);
  const TGrid grid(cells, options.Text);
  const TTextForm form(options.Text);
  const bool utf8 = form.Utf8 || GetACP() == CP_UTF8;
  CheckGridBudget(sheet, "XML", 10, 10, options);  // <ROW and />, a ' COLn=""' line per cell
  TLineWriter out(stream, options);
  out.Emit("<?xml version=\"1.0\" encoding=\"" + CharsetName(options.Text.Encoding) + "\" standalone=\"yes\"?>");
  if (options.Text.Banner) out.Emit(std::string("<!-- Generated by ") + ProductName + " (" + ProductWebAddress + ") -->");
  out.Emit("<DATAPACKET Version=\"2.0\">");
  out.Emit("<ROWDATA>");
  std::string scratch;
  for (int64_t r = 0; r < grid.Rows; ++r) {
    out.Poll(r, grid.Rows);
    const TSpreadSheetCols* row = r < cells.Count() ? &cells.Row(int32_t(r)).Cells : nullptr;
    out.Emit("<ROW");
    for (int64_t k = 0; k < grid.Cols; ++k) {
      const TQXICell* cell = row ? row->Cell(int32_t(k)) : nullptr;
      std::string_view text = CellView(cell, scratch, texts, form);
      std::string& line = out.Line();
      line += " COL";
      AppendInt(line, k + 2);  // 1-based column plus one: the first column is COL2
      line += "=\"";
      EscapeXml(line, text, utf8);
      line += '"';
      out.Emit();
    }
    out.Emit("/>");
  }
  out.Emit("</ROWDATA></DATAPACKET>");
}

void WriteTXT(const std::string& path, const TSpreadSheet& sheet, const TSheetWriteOptions& options) {
  WriteFile(path, sheet, options, [&](TStream& s) { WriteTXT(s, sheet, options); });
}
void WriteCSV(const std::string& path, const TSpreadSheet& sheet, const TSheetWriteOptions& options) {
  WriteFile(path, sheet, options, [&](TStream& s) { WriteCSV(s, sheet, options); });
}
void WriteHTML(const std::string& path, const TSpreadSheet& sheet, const TSheetWriteOptions& options) {
  WriteFile(path, sheet, options, [&](TStream& s) { WriteHTML(s, sheet, options); });
}
void WriteXML(const std::string& path, const TSpreadSheet& sheet, const TSheetWriteOptions& options) {
  WriteFile(path, sheet, options, [&](TStream& s) { WriteXML(s, sheet, options); });
}
