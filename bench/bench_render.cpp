// What showing cells through their number formats costs: a workbook loaded
// with our readers, every cell once as the text writers put it today (the
// stored value's text) and once as the renderer shows it; ns per cell, the
// ratio, and both against the load.
//   bench_render [book=../shared/bench-data/book-M.xlsx]
// With --cells it prints every cell of each file as shown instead: a line
// "#file, path, 1 for a 1904 file" per file, then one line per cell (sheet,
// caption, row, column, type, value, format code, text; tab, newline and
// backslash escaped) for scripts/shown_cells_compare.py.
//   bench_render --cells FILE...
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "BenchTiming.h"
#include "CodePage.h"
#include "ConversionFrontEnd.h"
#include "FormatRender.h"

namespace {

std::unique_ptr<TSpreadSheetFile> Load(const std::string& path) {
  const TReaderKind kind = TSpreadsheetConversion::ChooseReader(path);
  std::unique_ptr<TSpreadSheetFile> reader = TSpreadsheetConversion::CreateReader(kind);
  if (!reader) throw Exception(path + ": no reader");
  TLoadWarnings warnings;
  reader->OnErrorProcess = TSpreadsheetConversion::RecordWarnings(warnings);
  TSpreadsheetConversion::LoadSource(*reader, path);
  return reader;
}

template <class F>
void EachCell(const TSpreadSheet& sheet, F&& f) {
  const TSpreadSheetCells& cells = sheet.Cells;
  for (int32_t r = 0; r < cells.Count(); ++r)
    if (const TSpreadSheetCols* row = cells.RowCells(r))
      for (int32_t c = 0; c < row->Count(); ++c)
        if (const TQXICell* cell = row->Cell(c)) f(r, c, *cell);
}

std::string Escaped(const std::string& s) {
  std::string out;
  for (char ch : s) {
    switch (ch) {
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\\': out += "\\\\"; break;
      default: out += ch;
    }
  }
  return out;
}

int PrintCells(int argc, char** argv) {
  const TFormatSettings fs = TFormatSettings::UnitedStates();
  for (int k = 2; k < argc; ++k) {
    try {
      std::unique_ptr<TSpreadSheetFile> reader = Load(argv[k]);
      TSpreadSheets& sheets = reader->Sheets;
      std::cout << "#file\t" << argv[k] << '\t' << (sheets.Formats.Date1904 ? 1 : 0) << "\n";
      TNumberFormatRenderer renderer(sheets.Formats, fs);
      for (int32_t s = 0; s < sheets.Count(); ++s) {
        const std::string caption = Escaped(Utf16ToUtf8(sheets[s].Caption));
        EachCell(sheets[s], [&](int32_t r, int32_t c, const TQXICell& cell) {
          std::string text;
          renderer.AppendCell(cell, text);
          std::string value;
          if (cell.ValueType() == TVarType::String) value = AnsiToUtf8(cell.StringValue());
          else if (cell.ValueType() == TVarType::WideString) value = Utf16ToUtf8(cell.WideValue());
          else {
            char buf[32];
            auto res = std::to_chars(buf, buf + sizeof buf, cell.StoredNumber());
            value.assign(buf, res.ptr);
          }
          std::cout << s << '\t' << caption << '\t' << r << '\t' << c << '\t' << CellTypeName(cell.CellType()) << '\t'
                    << Escaped(value) << '\t' << Escaped(sheets.Formats.Code(cell.FormatIndex())) << '\t'
                    << Escaped(text) << '\n';
        });
      }
    } catch (const std::exception& e) {
      std::cout << "#file\t" << argv[k] << "\t0\n#error\t" << Escaped(e.what()) << "\n";
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--cells") == 0) return PrintCells(argc, argv);
  const std::string path = argc > 1 ? argv[1] : "../shared/bench-data/book-M.xlsx";
  std::unique_ptr<TSpreadSheetFile> reader;
  const double load = BestSeconds([&] { reader = Load(path); }, 1);
  TSpreadSheets& sheets = reader->Sheets;
  const TFormatSettings fs = TFormatSettings::UnitedStates();
  size_t cells = 0, bytes = 0;
  for (int32_t s = 0; s < sheets.Count(); ++s) EachCell(sheets[s], [&](int32_t, int32_t, const TQXICell&) { ++cells; });

  // Today's text: what the plain writers give a number, a date-time and a text.
  const double stored = BestSeconds([&] {
    std::string line;
    for (int32_t s = 0; s < sheets.Count(); ++s)
      EachCell(sheets[s], [&](int32_t, int32_t, const TQXICell& cell) {
        line.clear();
        if (cell.ValueType() == TVarType::String) line = cell.StringValue();
        else line = VarToStr(cell.Value(), fs);
        bytes += line.size();
      });
  });
  const double shown = BestSeconds([&] {
    TNumberFormatRenderer renderer(sheets.Formats, fs);
    std::string line;
    for (int32_t s = 0; s < sheets.Count(); ++s)
      EachCell(sheets[s], [&](int32_t, int32_t, const TQXICell& cell) {
        line.clear();
        renderer.AppendCell(cell, line);
        bytes += line.size();
      });
  });
  std::printf("%s: %zu cells, %d formats, load %.3f s\n", path.c_str(), cells, sheets.Formats.Count(), load);
  std::printf("stored text  %7.1f ns/cell  %.3f s\n", stored / double(cells) * 1e9, stored);
  std::printf("as shown     %7.1f ns/cell  %.3f s  (%.2fx the stored text)\n", shown / double(cells) * 1e9, shown,
              shown / stored);
  std::printf("load + shown is %.2fx load + stored (%zu bytes)\n", (load + shown) / (load + stored), bytes);

  // The cost by kind of code, on a million values each.
  TNumberFormats formats;
  TNumberFormatRenderer renderer(formats, fs);
  const char* const codes[] = {"General", "#,##0.00", "0.0%", "0.00E+00", "# ?/?", "yyyy-mm-dd hh:mm:ss",
                               "[$-409]d-mmm-yy;@", "_($* #,##0.00_);_($* (#,##0.00);_($* \"-\"??_);_(@_)"};
  std::string line;
  for (const char* code : codes) {
    const int32_t index = formats.Add(code);
    const int n = 1000000;
    const double t = BestSeconds([&] {
      for (int k = 0; k < n; ++k) {
        line.clear();
        renderer.AppendNumber(k * 0.37 + 40000.123, index, line);
        bytes += line.size();
      }
    });
    std::printf("  %-60s %6.1f ns/value\n", code, t / n * 1e9);
  }
  return 0;
}
