#pragma once
// Shared by the export tests: sheets built in memory, a writer that records
// every hook call, and the independent readers (xlrd, LibreOffice, ssconvert)
// run once over many files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "CodePage.h"
#include "ConversionFrontEnd.h"
#include "QXCells.h"
#include "QXE2Cell.h"
#include "QXEEngQXI.h"
#include "SysUtils.h"

// A sheet from rows of values (empty variants leave the cell out).
inline void FillSheet(TSpreadSheet& sheet, const std::vector<std::vector<TVariant>>& rows,
                      TQXICellType textType = ictString) {
  for (size_t r = 0; r < rows.size(); ++r)
    for (size_t c = 0; c < rows[r].size(); ++c) {
      const TVariant& v = rows[r][c];
      if (v.IsEmpty()) continue;
      TQXICellType t = textType;
      switch (v.Type()) {
        case TVarType::Integer: t = ictInteger; break;
        case TVarType::Float: t = ictDecimal; break;
        case TVarType::DateTime: t = ictDateTime; break;
        case TVarType::Boolean: t = ictBoolean; break;
        default: break;
      }
      sheet.Cells.SetCell(int32_t(c), int32_t(r), t, 0, taLeftJustify, v);
    }
}

// The component with the settings of a batch run (no message box, no
// progress window, an engine over the sheet, the file name), then whatever
// configure sets, then Execute.
inline TQXEResult ExecuteOver(TQXExportBaseComponent& w, const std::string& fileName, const TSpreadSheet& sheet,
                              const std::function<void()>& configure = {}) {
  TQXESpreadsheetDataEngine engine;
  engine.SetSpreadSheet(&sheet);
  w.SetOption(soShowMessage, false);
  w.AnimatedStatus = false;
  w.FileName = fileName;
  w.ColumnSource = csDataEngine;
  w.SetDataEngine(&engine);
  if (configure) configure();
  w.Execute();
  return w.Statistic.Result;
}

// Every workbook of the corpus that a reader loads, written by the batch
// with destination format index into dir (as <folder>/<name><ext>): each
// sheet file written, with the sheet of the model it came from.
struct TCorpusOutput {
  std::string Path;
  const TSpreadSheet* Sheet;
};
struct TCorpusConversion {
  std::vector<std::unique_ptr<TSpreadSheetFile>> Loaded;
  std::vector<TCorpusOutput> Outputs;
  size_t Converted = 0, LoadErrors = 0, WriteErrors = 0;
};
// onError sees each workbook the writer refused.
inline TCorpusConversion ConvertCorpus(const std::filesystem::path& corpus, const std::string& dir, int index,
                                       const std::string& ext,
                                       const std::function<void(const std::string&, const Exception&)>& onError) {
  namespace fs = std::filesystem;
  TCorpusConversion run;
  for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
    if (!entry.is_regular_file() || entry.path().parent_path().filename() == "expected") continue;
    const std::string source = entry.path().string();
    const std::string name = entry.path().filename().string();
    if (!TSpreadsheetConversion().IsFileAccepted(name)) continue;
    // a.wk3 and a.wk4 may stand side by side.
    const fs::path dest = fs::path(dir) / entry.path().parent_path().filename() / (name + ext);
    fs::create_directories(dest.parent_path());
    auto reader = TSpreadsheetConversion::CreateReader(TSpreadsheetConversion::ChooseReader(source));
    try {
      if (!reader) throw Exception("no reader");
      reader->LoadFromFile(source);
    } catch (const std::exception&) {
      ++run.LoadErrors;  // the readers' business, the same for every format
      continue;
    }
    try {
      TSpreadsheetConversion::WriteWorkbook(reader->Sheets, dest.string(), index);
    } catch (const Exception& e) {
      ++run.WriteErrors;
      onError(source, e);
      continue;
    }
    ++run.Converted;
    for (int32_t n = 0; n < reader->Sheets.Count(); ++n) {
      const TSpreadSheet& sheet = reader->Sheets[n];
      if (n > 0 && sheet.Cells.Count() == 0) continue;
      const std::string path = n == 0 ? dest.string() : TSpreadsheetConversion::SheetOutputPath(dest.string(), n);
      run.Outputs.push_back({path, &sheet});
    }
    run.Loaded.push_back(std::move(reader));
  }
  return run;
}

// What a reader of the written file must show for a model cell, as
// "kind:value" ("" for none; kind p: a number in a percent format); nonFinite
// is what stands for NaN and infinity.
inline std::string ExpectedReadBack(const TQXICell& c, const std::string& nonFinite) {
  // Error values go out as errors.
  static const std::set<std::string> errors = {"#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A"};
  const std::string text = c.ValueType() == TVarType::String       ? AnsiToUtf8(c.StringValue())
                           : c.ValueType() == TVarType::WideString ? Utf16ToUtf8(c.WideValue())
                                                                   : std::string();
  if (c.CellType() == ictUnknown && errors.count(text)) return "e:" + text;
  switch (c.ValueType()) {
    case TVarType::String: return c.StringValue().empty() ? "" : "s:" + AnsiToUtf8(c.StringValue());
    case TVarType::WideString: return c.WideValue().empty() ? "" : "s:" + Utf16ToUtf8(c.WideValue());
    case TVarType::Boolean: return c.NumberValue() != 0 ? "b:1" : "b:0";
    case TVarType::Integer:
    case TVarType::Float:
    case TVarType::DateTime: {
      const double d = c.NumberValue();
      if (!std::isfinite(d)) return nonFinite;
      const TQXICellType t = c.CellType();
      if (t == ictBoolean) return d != 0 ? "b:1" : "b:0";
      const bool date = t == ictDateTime || t == ictDate || t == ictTime || c.ValueType() == TVarType::DateTime;
      // A percent cell goes out as the file's fraction, in a percent format.
      if (!date && c.PercentFormatted()) return "p:" + Format("%.17g", c.StoredNumber());
      return (date ? "d:" : "n:") + Format("%.17g", d);
    }
    default: return "";
  }
}

// The sheet's cells as "row,col" -> ExpectedReadBack.
inline std::map<std::string, std::string> ExpectedCells(const TSpreadSheet& sheet, const std::string& nonFinite) {
  std::map<std::string, std::string> want;
  const TSpreadSheetCells& c = sheet.Cells;
  for (int32_t r = 0; r < c.Count(); ++r) {
    const TSpreadSheetCols* row = c.RowCells(r);
    if (!row) continue;
    for (int32_t k = 0; k < row->Count(); ++k)
      if (const TQXICell* cell = row->Cell(k)) {
        std::string e = ExpectedReadBack(*cell, nonFinite);
        if (!e.empty()) want[std::to_string(r) + "," + std::to_string(k)] = e;
      }
  }
  return want;
}

// Writes "row,col,type:text" lines and records the hooks in Log.
class TRecordingWriter : public TQXExportToCellFile {
 public:
  std::vector<std::string> Log;
  std::vector<std::string> Cells;  // "row,col=text"
  int FailAtRow = -1;              // WriteCell raises on this row

  TRecordingWriter() { SetTableType(teText); }

  std::string Joined() const {
    std::string s;
    for (const auto& l : Log) s += l + "\n";
    return s;
  }

 protected:
  void StartFile() override {
    TQXExportToCellFile::StartFile();
    Log.push_back("StartFile");
  }
  void SetDimensions(int32_t rows, int32_t cols) override { Log.push_back(Format("Dims %d %d", rows, cols)); }
  void SetColumnWidth(int32_t c, int32_t w) override { Log.push_back(Format("Width %d %d", c, w)); }
  void BeginRow() override {
    TQXExportToCellFile::BeginRow();
    Log.push_back("BeginRow");
  }
  void EndRow() override {
    TQXExportToCellFile::EndRow();
    Log.push_back("EndRow");
  }
  void WriteCell(TQXEField* field, TCellType type, int32_t row, int32_t col, const std::string& text, TAlignment a,
                 const TQXEFont& font, TColor color) override {
    TQXExportToCellFile::WriteCell(field, type, row, col, text, a, font, color);
    if (row == FailAtRow) throw Exception("disk on fire");
    std::string shown = text;
    if (HasCellValue() && text.empty()) shown = "=" + VarToStr(CellValue());
    Cells.push_back(Format("%d,%d=", row, col) + shown);
    Log.push_back(Format("Cell %d %d %d ", row, col, int(type)) + shown);
    WriteString(Format("%d,%d,%d:", row, col, int(type)) + shown + "\n");
  }
  void WriteMergedCell(TCellType type, int32_t row, int32_t col, int32_t span, const std::string& text, TAlignment a,
                       const TQXEFont& font, TColor color) override {
    Log.push_back(Format("Merged %d %d %d ", row, col, span) + text);
    TQXExportToCellFile::WriteMergedCell(type, row, col, span, text, a, font, color);
  }
  void EndOfFile() override { Log.push_back("EndOfFile"); }
};

inline std::string ReadFileText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// The sanitizer stage (VARNOWE_READBACKS=off in its test preset) checks our
// code; what other programs make of our files is the default stage's
// business, and they take most of its time.
inline bool ReadBacksOff() {
  const char* v = std::getenv("VARNOWE_READBACKS");
  return v && std::string(v) == "off";
}

inline bool HaveProgram(const std::string& name) {
  if ((name == "soffice" || name == "ssconvert") && ReadBacksOff()) return false;
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

inline bool HavePythonModule(const std::string& module) {
  return std::system(("/usr/bin/python3 -c 'import " + module + "' >/dev/null 2>&1").c_str()) == 0;
}

// Runs a command, returning its standard output (empty on failure).
inline std::string RunCapture(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

inline std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') q += "'\\''";
    else q += c;
  }
  return q + "'";
}

// What an independent reader found in one file: cells as "r,c" ->
// "kind:value" with kind n (number, printed "%.17g"), s (text, UTF-8),
// b (boolean), d (date serial), e (error); or the reader's error.
struct TReadBack {
  std::string Error;
  std::string Encoding;
  std::map<std::string, std::string> Cells;
};

// The checker script: "xls" files through xlrd, "xlsx" files through openpyxl.
inline const char* ReadBackScript() {
  return R"PY(
import sys, json, datetime
def out(rec): print(json.dumps(rec, ensure_ascii=False)); sys.stdout.flush()
def num(v): return '%.17g' % float(v)
EPOCH = datetime.datetime(1899, 12, 30)
# With --all-sheets first, every sheet is read: keys "<sheet>!r,c", and
# "<sheet>!name" holds the sheet's name.
paths = sys.argv[1:]
every = bool(paths) and paths[0] == "--all-sheets"
if every: paths = paths[1:]
def key(i, r, c): return ("%d!" % i if every else "") + "%d,%d" % (r, c)
for path in paths:
    rec = {"file": path, "cells": {}}
    try:
        if path.lower().endswith(".xls"):
            import xlrd
            book = xlrd.open_workbook(path, formatting_info=True)
            rec["encoding"] = book.encoding
            def percent(cell):
                xf = book.xf_list[cell.xf_index]
                f = book.format_map.get(xf.format_key)
                return f is not None and '%' in f.format_str
            for i, sh in enumerate(book.sheets() if every else [book.sheet_by_index(0)]):
              if every: rec["cells"]["%d!name" % i] = sh.name
              for r in range(sh.nrows):
                for c in range(sh.ncols):
                    cell = sh.cell(r, c)
                    t = cell.ctype
                    if t in (0, 6): continue
                    kind = {1: "s", 2: "n", 3: "d", 4: "b", 5: "e"}[t]
                    if t == 2 and percent(cell): kind = "p"
                    v = cell.value
                    val = v if t == 1 else (str(int(v)) if t == 4 else xlrd.error_text_from_code.get(v, str(v)) if t == 5 else num(v))
                    rec["cells"][key(i, r, c)] = kind + ":" + val
        else:
            import openpyxl
            book = openpyxl.load_workbook(path, data_only=True)
            for i, sh in enumerate(book.worksheets if every else book.worksheets[:1]):
              if every: rec["cells"]["%d!name" % i] = sh.title
              for row in sh.iter_rows():
                for cell in row:
                    v = cell.value
                    if v is None: continue
                    k = key(i, cell.row - 1, cell.column - 1)
                    if cell.data_type == "e": s = "e:" + str(v)
                    elif isinstance(v, bool): s = "b:" + str(int(v))
                    elif isinstance(v, datetime.datetime): s = "d:" + num((v - EPOCH).total_seconds() / 86400)
                    elif isinstance(v, datetime.date): s = "d:" + num((datetime.datetime(v.year, v.month, v.day) - EPOCH).days)
                    elif isinstance(v, datetime.time): s = "d:" + num((v.hour * 3600 + v.minute * 60 + v.second + v.microsecond / 1e6) / 86400)
                    elif isinstance(v, datetime.timedelta): s = "d:" + num(v.total_seconds() / 86400)
                    elif isinstance(v, (int, float)): s = ("p:" if '%' in cell.number_format else "n:") + num(v)
                    else: s = "s:" + str(v)
                    rec["cells"][k] = s
    except Exception as e:
        rec["error"] = type(e).__name__ + ": " + str(e)
    out(rec)
)PY";
}

// Minimal reader of the checker's JSON lines (flat objects, string values).
inline std::map<std::string, TReadBack> ParseReadBack(const std::string& output);

inline std::string JsonUnescape(const std::string& s, size_t& i) {
  std::string out;
  ++i;  // opening quote
  while (i < s.size() && s[i] != '"') {
    if (s[i] == '\\' && i + 1 < s.size()) {
      const char e = s[++i];
      switch (e) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'u': {
          unsigned cp = std::stoul(s.substr(i + 1, 4), nullptr, 16);
          i += 4;
          if (cp >= 0xD800 && cp <= 0xDBFF && s.compare(i + 1, 2, "\\u") == 0) {
            unsigned lo = std::stoul(s.substr(i + 3, 4), nullptr, 16);
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            i += 6;
          }
          if (cp < 0x80) out += char(cp);
          else if (cp < 0x800) { out += char(0xC0 | (cp >> 6)); out += char(0x80 | (cp & 63)); }
          else if (cp < 0x10000) { out += char(0xE0 | (cp >> 12)); out += char(0x80 | ((cp >> 6) & 63)); out += char(0x80 | (cp & 63)); }
          else { out += char(0xF0 | (cp >> 18)); out += char(0x80 | ((cp >> 12) & 63)); out += char(0x80 | ((cp >> 6) & 63)); out += char(0x80 | (cp & 63)); }
          break;
        }
        default: out += e; break;
      }
      ++i;
    } else {
      out += s[i++];
    }
  }
  ++i;
  return out;
}

inline std::map<std::string, TReadBack> ParseReadBack(const std::string& output) {
  std::map<std::string, TReadBack> result;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    TReadBack rb;
    std::string file;
    size_t i = 0;
    std::string currentKey;
    bool inCells = false;
    while (i < line.size()) {
      if (line[i] == '"') {
        std::string s = JsonUnescape(line, i);
        while (i < line.size() && (line[i] == ' ')) ++i;
        if (i < line.size() && line[i] == ':') {
          ++i;
          currentKey = s;
          if (currentKey == "cells") inCells = true;
          continue;
        }
        if (inCells) rb.Cells[currentKey] = s;
        else if (currentKey == "file") file = s;
        else if (currentKey == "error") rb.Error = s;
        else if (currentKey == "encoding") rb.Encoding = s;
        continue;
      }
      if (line[i] == '}' && inCells) inCells = false;
      ++i;
    }
    if (!file.empty()) result[file] = rb;
  }
  return result;
}

// The cells of the sheets, in this order, as ReadBack keys them
// ("<sheet>!r,c"); nonFinite stands for NaN and infinity.
inline std::map<std::string, std::string> AllSheetCells(const std::vector<const TSpreadSheet*>& sheets,
                                                        const std::string& nonFinite = "e:#NUM!") {
  std::map<std::string, std::string> want;
  for (size_t s = 0; s < sheets.size(); ++s) {
    const TSpreadSheetCells& cells = sheets[s]->Cells;
    for (int32_t r = 0; r < cells.Count(); ++r) {
      const TSpreadSheetCols* row = cells.RowCells(r);
      if (!row) continue;
      for (int32_t k = 0; k < row->Count(); ++k)
        if (const TQXICell* cell = row->Cell(k)) {
          const std::string e = ExpectedReadBack(*cell, nonFinite);
          if (!e.empty()) want[Format("%d!%d,%d", int(s), r, k)] = e;
        }
    }
  }
  return want;
}
inline std::map<std::string, std::string> AllSheetCells(const TSpreadSheets& sheets) {
  std::vector<const TSpreadSheet*> list;
  for (int32_t s = 0; s < sheets.Count(); ++s) list.push_back(&sheets[s]);
  return AllSheetCells(list);
}

// Numbers and dates alike by value (a program converting the file may
// show a date as a number or round it to the millisecond).
inline bool SameCell(const std::string& want, const std::string& got, bool loose) {
  if (want == got) return true;
  if (!loose || want.size() < 2 || got.size() < 2) return false;
  auto number = [](char k) { return k == 'n' || k == 'd' || k == 'p'; };
  const bool wn = number(want[0]), gn = number(got[0]) || got[0] == 'b';
  if (!wn || !gn) return false;
  const double w = std::atof(want.c_str() + 2), g = std::atof(got.c_str() + 2);
  return std::fabs(w - g) <= 2e-8 * std::max(1.0, std::fabs(w));
}

// Mismatches between the model and what a reader found (names too), cells
// compared by same(want, got).
inline std::vector<std::string> CompareSheets(const std::map<std::string, std::string>& want, const TReadBack& rb,
                                              const std::vector<std::string>& names,
                                              const std::function<bool(const std::string&, const std::string&)>& same) {
  std::vector<std::string> bad;
  if (!rb.Error.empty()) return {rb.Error};
  for (size_t i = 0; i < names.size(); ++i) {
    auto it = rb.Cells.find(Format("%d!name", int(i)));
    if (it == rb.Cells.end() || it->second != names[i])
      bad.push_back(Format("sheet %d named ", int(i)) + (it == rb.Cells.end() ? "(none)" : it->second));
  }
  if (rb.Cells.count(Format("%d!name", int(names.size()))))
    bad.push_back(Format("more than %d sheets", int(names.size())));
  for (const auto& [key, value] : want) {
    auto it = rb.Cells.find(key);
    const std::string got = it == rb.Cells.end() ? "(none)" : it->second;
    if (!same(value, got)) bad.push_back(key + ": want " + value.substr(0, 40) + " got " + got.substr(0, 40));
  }
  for (const auto& [key, value] : rb.Cells)
    if (key.find("name") == std::string::npos && !want.count(key)) bad.push_back(key + ": extra " + value);
  if (bad.size() > 20) bad.resize(20);
  return bad;
}
inline std::vector<std::string> CompareSheets(const std::map<std::string, std::string>& want, const TReadBack& rb,
                                              const std::vector<std::string>& names, bool loose) {
  return CompareSheets(want, rb, names,
                       [loose](const std::string& w, const std::string& g) { return SameCell(w, g, loose); });
}

// xlrd for .xls, openpyxl for .xlsx, all files in one process; the first
// sheet of each, or with allSheets every sheet (keys "<sheet>!r,c", and
// "<sheet>!name" for its name).
inline std::map<std::string, TReadBack> ReadBack(const std::vector<std::string>& files, const std::string& workDir,
                                                 bool allSheets = false) {
  const std::string script = workDir + "/readback.py";
  std::ofstream(script) << ReadBackScript();
  std::string cmd = "/usr/bin/python3 " + ShellQuote(script) + (allSheets ? " --all-sheets" : "");
  for (const auto& f : files) cmd += " " + ShellQuote(f);
  return ParseReadBack(RunCapture(cmd + " 2>/dev/null"));
}

// LibreOffice converts the files to .xlsx in as few calls as it takes (it
// starts slowly), with a profile of its own so runs beside other soffice users do not clash.
// More than 40 files to one call make soffice skip some without a word.
inline std::vector<std::string> ConvertWithLibreOffice(const std::vector<std::string>& files, const std::string& outDir) {
  std::filesystem::create_directories(outDir);
  for (size_t first = 0; first < files.size(); first += 40) {
    std::string cmd = "cd " + ShellQuote(outDir) + " && timeout 300 soffice -env:UserInstallation=file://" + outDir +
                      "/profile --headless --norestore --convert-to xlsx --outdir " + ShellQuote(outDir);
    for (size_t i = first; i < files.size() && i < first + 40; ++i) cmd += " " + ShellQuote(files[i]);
    RunCapture(cmd + " >/dev/null 2>&1");
  }
  std::vector<std::string> out;
  for (const auto& f : files)
    out.push_back(outDir + "/" + std::filesystem::path(f).stem().string() + ".xlsx");
  return out;
}

// Gnumeric: one ssconvert per file (it takes one input); warnings kept in
// warnings[i] (Gnumeric says "most likely corrupted" for records it rejects).
inline std::vector<std::string> ConvertWithGnumeric(const std::vector<std::string>& files, const std::string& outDir,
                                                    std::vector<std::string>* warnings = nullptr) {
  std::filesystem::create_directories(outDir);
  std::vector<std::string> out;
  for (const auto& f : files) {
    const std::string target = outDir + "/" + std::filesystem::path(f).stem().string() + ".xlsx";
    const std::string w = RunCapture("timeout 120 ssconvert " + ShellQuote(f) + " " + ShellQuote(target) + " 2>&1");
    if (warnings) warnings->push_back(w);
    out.push_back(target);
  }
  return out;
}

// Document properties as other programs read them, keyed "title",
// "subject", "author", "keywords" and "created" (ISO time to the second, in
// UTC): pdfinfo for a PDF, Python's zipfile and XML modules for the core
// properties of .xlsx packages, all packages in one process.
// The file as a word of the shell (quoted, or "$f" in a loop).
inline std::string PdfInfoCommand(const std::string& fileWord) {
  return "TZ=UTC pdfinfo -enc UTF-8 -isodates " + fileWord + " 2>/dev/null";
}
// What PdfInfoCommand printed.
inline std::map<std::string, std::string> ParsePdfInfo(const std::string& text) {
  static const std::map<std::string, std::string> keys = {
      {"Title", "title"}, {"Subject", "subject"}, {"Author", "author"}, {"Keywords", "keywords"}, {"CreationDate", "created"}};
  std::map<std::string, std::string> info;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const size_t colon = line.find(':');
    const auto key = keys.find(line.substr(0, colon));
    const size_t value = line.find_first_not_of(' ', colon + 1);
    if (colon == std::string::npos || key == keys.end() || value == std::string::npos) continue;
    info[key->second] = key->second == "created" ? line.substr(value, 19) : line.substr(value);
  }
  return info;
}
inline std::map<std::string, std::string> PdfInfo(const std::string& path) {
  return ParsePdfInfo(RunCapture(PdfInfoCommand(ShellQuote(path))));
}
inline std::map<std::string, TReadBack> ReadCoreProperties(const std::vector<std::string>& files,
                                                           const std::string& workDir) {
  const std::string script = workDir + "/coreprops.py";
  std::ofstream(script) << R"PY(
import sys, json, zipfile, xml.etree.ElementTree as ET
NS = {"dc": "http://purl.org/dc/elements/1.1/", "dcterms": "http://purl.org/dc/terms/",
      "cp": "http://schemas.openxmlformats.org/package/2006/metadata/core-properties"}
TAGS = (("title", "dc:title"), ("subject", "dc:subject"), ("author", "dc:creator"),
        ("keywords", "cp:keywords"), ("created", "dcterms:created"))
for path in sys.argv[1:]:
    rec = {"file": path, "cells": {}}
    try:
        root = ET.fromstring(zipfile.ZipFile(path).read("docProps/core.xml"))
        for key, tag in TAGS:
            e = root.find(tag, NS)
            if e is not None and e.text: rec["cells"][key] = e.text[:19] if key == "created" else e.text
    except Exception as e:
        rec["error"] = type(e).__name__ + ": " + str(e)
    print(json.dumps(rec, ensure_ascii=False))
)PY";
  std::string cmd = "/usr/bin/python3 " + ShellQuote(script);
  for (const auto& f : files) cmd += " " + ShellQuote(f);
  return ParseReadBack(RunCapture(cmd + " 2>/dev/null"));
}

// What is wrong with the properties an output was read back with (empty:
// nothing): its title is the source's, else its own file name; its author
// the source's where the source names one. source is 8-bit text, got UTF-8.
inline std::string PropertyMismatch(const std::string& path, const TDocumentProperties& source,
                                    const std::map<std::string, std::string>& got) {
  auto field = [&](const char* key) { return got.count(key) ? got.at(key) : std::string(); };
  const std::string title = AnsiToUtf8(source.TitleOr(path)), author = AnsiToUtf8(source.Author);
  // An output shows a title with its blanks at the ends trimmed (pdfinfo).
  if (Trim(field("title")) != Trim(title)) return path + ": title " + field("title") + ", want " + title;
  if (!author.empty() && Trim(field("author")) != Trim(author)) return path + ": author " + field("author") + ", want " + author;
  return "";
}
