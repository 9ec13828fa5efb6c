// Every workbook of the real-file corpus through the three Excel writers -
// each sheet as a worksheet file (.xls, destination format 4: a one-sheet
// Excel 97-2003 workbook where a worksheet cannot hold it), the whole
// workbook as Excel 97-2003 and as Office Open XML - read back by xlrd
// (formatting_info) and openpyxl: every cell's value and kind (errors as
// errors), its number format (the source's code, or the built-in id that
// code has), every column's width and hidden mark, each sheet's name.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <filesystem>
#include <future>

#include <zlib.h>

#include "CodePage.h"
#include "ConversionFrontEnd.h"
#include "ExportTestSupport.h"
#include "FakeUi.h"
#include "QXE2XLS.h"
#include "QXE2XLS8.h"
#include "TempDir.h"
#include "XlsxTestSupport.h"

namespace fs = std::filesystem;

namespace {

// Flat keys: "<sheet>!name", "<sheet>!r,c" -> "kind:value", "<sheet>!f:r,c"
// -> "<format id>|<code>", "<sheet>!w:c" -> width in 1/256 of a character,
// "<sheet>!h:c" -> "1" for a hidden column.
const char* const Script = R"PY(
import sys, json, datetime, zlib
EPOCH = datetime.datetime(1899, 12, 30)
def num(v): return '%.17g' % float(v)
def text(v):
    # A long text as its head, its length in UTF-16 units and their CRC-32.
    units = v.encode("utf-16-le")
    n = len(units) // 2
    if n <= 200: return v
    return v[:50] + "\u2026#%d#%08x" % (n, zlib.crc32(units))
for path in sys.argv[1:]:
    rec = {"file": path, "cells": {}}
    out = rec["cells"]
    try:
        if path.endswith(".xls"):
            import xlrd
            book = xlrd.open_workbook(path, formatting_info=True)
            for i, sh in enumerate(book.sheets()):
                out["%d!name" % i] = sh.name
                for r in range(sh.nrows):
                    for c in range(sh.ncols):
                        cell = sh.cell(r, c)
                        t = cell.ctype
                        if t in (0, 6): continue
                        v = cell.value
                        kind = {1: "s", 2: "n", 3: "d", 4: "b", 5: "e"}[t]
                        val = text(v) if t == 1 else str(int(v)) if t == 4 else xlrd.error_text_from_code.get(v, "?") if t == 5 else num(v)
                        out["%d!%d,%d" % (i, r, c)] = kind + ":" + val
                        xf = book.xf_list[cell.xf_index]
                        f = book.format_map.get(xf.format_key)
                        out["%d!f:%d,%d" % (i, r, c)] = "%d|%s" % (xf.format_key, f.format_str if f else "General")
                for c, info in sh.colinfo_map.items():
                    if c <= 1024:
                        out["%d!w:%d" % (i, c)] = str(info.width)
                        if info.hidden: out["%d!h:%d" % (i, c)] = "1"
        else:
            import openpyxl
            book = openpyxl.load_workbook(path, data_only=True)
            for i, sh in enumerate(book.worksheets):
                out["%d!name" % i] = sh.title
                for row in sh.iter_rows():
                    for cell in row:
                        v = cell.value
                        if v is None: continue
                        if cell.data_type == "e": s = "e:" + str(v)
                        elif isinstance(v, bool): s = "b:" + str(int(v))
                        elif isinstance(v, datetime.datetime): s = "d:" + num((v - EPOCH).total_seconds() / 86400)
                        elif isinstance(v, datetime.date): s = "d:" + num((datetime.datetime(v.year, v.month, v.day) - EPOCH).days)
                        elif isinstance(v, datetime.time): s = "d:" + num((v.hour * 3600 + v.minute * 60 + v.second + v.microsecond / 1e6) / 86400)
                        elif isinstance(v, datetime.timedelta): s = "d:" + num(v.total_seconds() / 86400)
                        elif isinstance(v, (int, float)): s = "n:" + num(v)
                        else: s = "s:" + text(str(v))
                        key = "%d!%d,%d" % (i, cell.row - 1, cell.column - 1)
                        out[key] = s
                        out["%d!f:%d,%d" % (i, cell.row - 1, cell.column - 1)] = "%d|%s" % (cell._style.numFmtId, cell.number_format)
                for dim in sh.column_dimensions.values():
                    if not dim.customWidth and not dim.hidden: continue
                    for c in range(dim.min - 1, min(dim.max, 1025)):
                        if dim.customWidth: out["%d!w:%d" % (i, c)] = str(round(dim.width * 256))
                        if dim.hidden: out["%d!h:%d" % (i, c)] = "1"
    except Exception as e:
        rec["error"] = type(e).__name__ + ": " + str(e)
    print(json.dumps(rec, ensure_ascii=False)); sys.stdout.flush()
)PY";

// A text as the script gives it: long ones as their head, length in UTF-16
// units and CRC-32 of those units.
std::string Condensed(const std::string& kindValue) {
  if (kindValue.size() < 200 || kindValue[0] != 's') return kindValue;
  const std::u16string units = Utf8ToUtf16(kindValue.substr(2));
  if (units.size() <= 200) return kindValue;
  // The units as UTF-16LE are their bytes in memory here.
  static_assert(std::endian::native == std::endian::little);
  const uint32_t h = uint32_t(::crc32(0, reinterpret_cast<const Bytef*>(units.data()), uInt(units.size() * 2)));
  size_t head = 50;  // code points, not units
  std::u16string first;
  for (size_t i = 0; i < units.size() && head > 0; ++i, --head) {
    first += units[i];
    if (units[i] >= 0xD800 && units[i] <= 0xDBFF && i + 1 < units.size()) first += units[++i];
  }
  return "s:" + Utf16ToUtf8(first) + "\xE2\x80\xA6" + Format("#%d#%08x", int(units.size()), h);
}

struct TOutput {
  std::string Path;
  std::vector<const TSpreadSheet*> Sheets;  // in the file's order
  bool Worksheet = false;                   // a BIFF4 worksheet: no sheet name
  bool PerSheet = false;                    // one sheet's own .xls (a worksheet or its fallback)
};

std::map<std::string, TReadBack> ReadAll(const std::vector<TOutput>& outputs, const fs::path& dir) {
  const std::string script = (dir / "excel_readback.py").string();
  std::ofstream(script) << Script;
  // Two processes, one per core: openpyxl takes most of the time.
  std::string cmd[2];
  for (int k = 0; k < 2; ++k) cmd[k] = "/usr/bin/python3 " + ShellQuote(script);
  for (size_t i = 0; i < outputs.size(); ++i) cmd[i % 2] += " " + ShellQuote(outputs[i].Path);
  auto second = std::async(std::launch::async, [&] { return ParseReadBack(RunCapture(cmd[1] + " 2>/dev/null")); });
  auto all = ParseReadBack(RunCapture(cmd[0] + " 2>/dev/null"));
  all.merge(second.get());
  return all;
}

// The format a reader names for a cell matches what the model asks for:
// the same code (date letters in lower case, as the writers put them), or
// the built-in id of that code (readers name those in their own words).
bool SameFormat(const TQXECellValue& want, const std::string& got) {
  const size_t bar = got.find('|');
  const int32_t id = std::atoi(got.c_str());
  const std::string code = got.substr(bar + 1);
  const std::string expected = DateCodesInLowerCase(want.FormatCode.empty() ? "General" : want.FormatCode);
  if (code == expected || (id == 0 && expected == "General")) return true;
  return id > 0 && id < 164 && (want.BuiltInFormat == id || BuiltInNumberFormat(id) == want.FormatCode);
}

// Numbers and dates alike where the readers type by a test of their own
// (openpyxl takes no one-letter code for a date, xlrd and openpyxl take a
// code whose later section shows a date for one); kinds otherwise.
bool SameValue(std::string want, const std::string& got) {
  if (want[0] == 'p') want[0] = 'n';  // a percentage: its number, the format checked apart
  if (SameAsOpenpyxl(want, got)) return true;
  const bool numbers = (want[0] == 'd' && got[0] == 'n') || (want[0] == 'n' && got[0] == 'd');
  return numbers && SameCell(want, got, true);
}

// Per-sheet .xls files with texts beyond ASCII (with VARNOWE_FULL_CHECKS:
// every one with a text), as LibreOffice and Gnumeric read them: every text
// as the model holds it (a file naming a code page its bytes are not in
// shows mojibake there, though xlrd may cope).
void CheckTextsInOtherReaders(const std::vector<TOutput>& outputs, const std::string& dir) {
  if (!HaveProgram("soffice") || !HaveProgram("ssconvert")) {
    std::cout << "LibreOffice or Gnumeric is missing: per-sheet texts not read by them\n";
    return;
  }
  std::vector<std::string> files, origins;
  std::vector<std::map<std::string, std::string>> wanted;
  fs::create_directories(dir + "/texts");
  for (const TOutput& o : outputs) {
    // A sample in CI; VARNOWE_FULL_CHECKS=1 takes every per-sheet file.
    if (!o.PerSheet || (files.size() >= 24 && !std::getenv("VARNOWE_FULL_CHECKS"))) continue;
    std::map<std::string, std::string> want;
    for (const auto& [at, value] : ExpectedCells(*o.Sheets[0], "e:#NUM!")) {
      const bool beyondAscii = std::any_of(value.begin(), value.end(), [](char c) { return uint8_t(c) >= 0x80; });
      // Control characters aside: LibreOffice escapes them as _x0007_ in what it writes.
      const bool control = std::any_of(value.begin(), value.end(), [](char c) { return uint8_t(c) < 0x20; });
      if (value[0] == 's' && !control && Utf8ToUtf16(value.substr(2)).size() <= 255) want[at] = value;
      if (value[0] == 's' && (beyondAscii || std::getenv("VARNOWE_FULL_CHECKS"))) want["any"] = "";
    }
    if (!want.erase("any")) continue;
    files.push_back(dir + "/texts/" + std::to_string(files.size()) + ".xls");
    fs::copy_file(o.Path, files.back());
    origins.push_back(o.Path);
    wanted.push_back(want);
  }
  std::vector<std::string> converted = ConvertWithLibreOffice(files, dir + "/texts/lo");
  for (const auto& g : ConvertWithGnumeric(files, dir + "/texts/gnumeric")) converted.push_back(g);
  const auto back = ReadBack(converted, dir);
  size_t texts = 0, equal = 0;
  for (size_t i = 0; i < converted.size(); ++i) {
    auto it = back.find(converted[i]);
    if (it == back.end() || !it->second.Error.empty()) {
      ADD_FAILURE() << converted[i] << " (from " << files[i % files.size()] << ") was not read";
      continue;
    }
    for (const auto& [at, want] : wanted[i % files.size()]) {
      auto got = it->second.Cells.find(at);
      ++texts;
      if (got != it->second.Cells.end() && got->second == want) ++equal;
      else ADD_FAILURE() << converted[i] << " (" << fs::path(origins[i % files.size()]).filename().string() << ") " << at << ": want " << want.substr(0, 60) << " got "
                         << (got == it->second.Cells.end() ? "(none)" : got->second.substr(0, 60));
    }
  }
  std::cout << files.size() << " per-sheet files with texts beyond ASCII, read by LibreOffice and Gnumeric: "
            << equal << " of " << texts << " texts equal\n";
}

TEST(ExcelCorpus, EveryWriterKeepsValuesFormatsAndColumns) {
  const fs::path corpus = VARNOWE_CORPUS_DIR;
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
  if (!HavePythonModule("xlrd") || !HavePythonModule("openpyxl"))
    GTEST_SKIP() << "xlrd or openpyxl is missing (scripts/install-deps.sh installs them)";
  SetACPOverride(CP_UTF8);
  TTempDir tmp;
  TFakeUi ui;
  std::vector<std::unique_ptr<TSpreadSheetFile>> loaded;
  std::vector<TOutput> outputs;
  size_t limitErrors = 0, fallbacks = 0;
  for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
    if (!entry.is_regular_file() || entry.path().parent_path().filename() == "expected") continue;
    const std::string source = entry.path().string(), name = entry.path().filename().string();
    if (!TSpreadsheetConversion().IsFileAccepted(name)) continue;
    auto reader = TSpreadsheetConversion::CreateReader(TSpreadsheetConversion::ChooseReader(source));
    try {
      if (!reader) throw Exception("no reader");
      reader->LoadFromFile(source);
    } catch (const std::exception&) {
      continue;  // the readers' business
    }
    const fs::path base = fs::path(tmp.Dir()) / entry.path().parent_path().filename() / name;
    fs::create_directories(base.parent_path());
    const TSpreadSheets& sheets = reader->Sheets;
    // The sheets a whole-workbook conversion writes: the first and every one with cells.
    TSheetList all;
    for (int32_t n = 0; n < sheets.Count(); ++n)
      if (n == 0 || sheets[n].Cells.Count() != 0) all.push_back(&sheets[n]);
    static const TSpreadSheet empty;
    auto write = [&](const std::string& path, std::vector<const TSpreadSheet*> list, bool worksheet, bool perSheet,
                     const std::function<void()>& run) {
      try {
        run();
      } catch (const Exception& e) {
        // Only a sheet beyond the grid may fail, by name.
        EXPECT_NE(e.Message().find("can not contain more than"), std::string::npos) << path << ": " << e.Message();
        ++limitErrors;
        return;
      }
      if (list.empty()) list.push_back(&empty);
      outputs.push_back({path, list, worksheet, perSheet});
    };
    write(base.string() + ".xlsx", all, false, false, [&] { ExportXLSXWorkbook(base.string() + ".xlsx", all); });
    write(base.string() + ".xls", all, false, false, [&] { ExportXLSWorkbook(base.string() + ".xls", all); });
    for (int32_t n = 0; n < sheets.Count(); ++n) {
      if (n > 0 && sheets[n].Cells.Count() == 0) continue;
      const std::string path = base.string() + "-" + std::to_string(n) + ".xls";
      TLoadWarnings warnings;
      const bool fits = XLSWorksheetMisfit(sheets[n]).empty();
      fallbacks += !fits;
      write(path, {&sheets[n]}, fits, true, [&] { ExportXLS(path, sheets[n], {}, {}, &warnings); });
      // A sheet that does not fit says so (and what else was changed).
      EXPECT_EQ(warnings.Count == 0, fits) << path;
    }
    loaded.push_back(std::move(reader));
  }
  ASSERT_GT(outputs.size(), 500u);
  // No file names code page 65001 (a CODEPAGE record holding 0xFDE9): no
  // reader of .xls takes UTF-8 bytes for text.
  for (const TOutput& o : outputs) {
    if (o.Path.size() > 4 && o.Path.substr(o.Path.size() - 4) == ".xls") {
      EXPECT_EQ(ReadFileText(o.Path).find(std::string("\x42\x00\x02\x00\xE9\xFD", 6)), std::string::npos) << o.Path;
    }
  }
  const auto back = ReadAll(outputs, tmp.Dir());
  size_t cells = 0, equal = 0, formats = 0, columns = 0, widths = 0, errors = 0;
  std::vector<std::string> problems;
  auto problem = [&](const std::string& text) {
    if (problems.size() < 400) problems.push_back(text);
  };
  for (const TOutput& o : outputs) {
    auto it = back.find(o.Path);
    ASSERT_NE(it, back.end()) << o.Path;
    const TReadBack& rb = it->second;
    if (!rb.Error.empty()) {
      problem(o.Path + ": " + rb.Error);
      continue;
    }
    std::unordered_set<std::u16string> taken;
    for (size_t s = 0; s < o.Sheets.size(); ++s) {
      const TSpreadSheet& sheet = *o.Sheets[s];
      const std::string prefix = std::to_string(s) + "!";
      auto got = [&](const std::string& key) {
        auto g = rb.Cells.find(prefix + key);
        return g == rb.Cells.end() ? std::string() : g->second;
      };
      if (!o.Worksheet) {
        const std::string name = Utf16ToUtf8(TQXEXLS8Book::ValidSheetName(sheet.Caption, int32_t(s) + 1, taken));
        if (got("name") != name) problem(o.Path + " sheet " + std::to_string(s) + " named " + got("name"));
      }
      const TSpreadSheetCells& c = sheet.Cells;
      for (int32_t r = 0; r < c.Count(); ++r) {
        const TSpreadSheetCols* row = c.RowCells(r);
        for (int32_t k = 0; row && k < row->Count(); ++k) {
          const TQXICell* cell = row->Cell(k);
          if (!cell) continue;
          const std::string want = ExpectedReadBack(*cell, "e:#NUM!");
          if (want.empty()) continue;
          const std::string at = std::to_string(r) + "," + std::to_string(k);
          ++cells;
          errors += want[0] == 'e';
          std::string value = got(at);
          // A text beyond a cell's 32,767 characters is cut there.
          std::string expect = Condensed(want);
          if (want[0] == 's' && Utf8ToUtf16(want.substr(2)).size() > TQXEXLS8Book::MaxTextLength) {
            std::u16string cut = Utf8ToUtf16(want.substr(2)).substr(0, TQXEXLS8Book::MaxTextLength);
            if (cut.back() >= 0xD800 && cut.back() <= 0xDBFF) cut.pop_back();
            expect = Condensed("s:" + Utf16ToUtf8(cut));
          }
          if (SameValue(expect, value)) ++equal;
          else problem(o.Path + " " + prefix + at + ": want " + want.substr(0, 60) + " got " + value.substr(0, 60));
          TQXECellValue typed;
          TQXESpreadsheetDataEngine::TypeCell(*cell, sheet.Formats(), typed, false);
          const std::string format = got("f:" + at);
          if (SameFormat(typed, format)) ++formats;
          else problem(o.Path + " " + prefix + at + ": format " + std::string(typed.FormatCode) + " written as " + format);
        }
      }
      for (int32_t k = 0; k < c.ColCount; ++k) {
        ++columns;
        const int32_t width = size_t(k) < sheet.ColumnWidths.size() ? sheet.ColumnWidths[size_t(k)] : 0;
        const std::string w = got("w:" + std::to_string(k));
        // No width of its own: the sheet's default, else none (the readers' default shows).
        const int32_t expected = width > 0 ? std::min(width, 255 * 256) : sheet.DefaultColumnWidth;
        const bool sameWidth = expected <= 0 ? w.empty() || sheet.ColumnHidden(k) : w == std::to_string(expected);
        if (sameWidth && (got("h:" + std::to_string(k)) == "1") == sheet.ColumnHidden(k)) ++widths;
        else problem(o.Path + " " + prefix + "column " + std::to_string(k) + ": width " + std::to_string(width) +
                     (sheet.ColumnHidden(k) ? " hidden" : "") + " written as " + w + " " + got("h:" + std::to_string(k)));
      }
    }
  }
  std::cout << outputs.size() << " files (" << fallbacks << " sheets as one-sheet workbooks, " << limitErrors
            << " beyond a grid); " << equal << " of " << cells << " cells equal (" << errors << " errors), " << formats
            << " with their format; " << widths << " of " << columns << " columns with their width\n";
  for (const auto& p : problems) ADD_FAILURE() << p;
  EXPECT_EQ(equal, cells);
  EXPECT_EQ(formats, cells);
  EXPECT_EQ(widths, columns);
  // Each whole-workbook .xlsx carries its source's title and author, else its name as title.
  std::vector<std::string> packages;
  for (const TOutput& o : outputs)
    if (fs::path(o.Path).extension() == ".xlsx") packages.push_back(o.Path);
  const auto described = ReadCoreProperties(packages, tmp.Dir());
  for (const TOutput& o : outputs) {
    const auto it = described.find(o.Path);
    if (fs::path(o.Path).extension() != ".xlsx") continue;
    ASSERT_NE(it, described.end()) << o.Path;
    EXPECT_EQ(PropertyMismatch(o.Path, o.Sheets.front()->DocumentProperties(), it->second.Cells), "");
  }
  CheckTextsInOtherReaders(outputs, tmp.Dir());
  SetACPOverride(0);
}

}  // namespace
