// The .xlsx writer and the zip writer, round trip: cells built from the
// input (texts of any UTF-16, numbers, booleans) are exported and read back
// by the program's own reader; every text and number must come back as it
// was, so escaping, shared strings and the package are checked together.
// An input that starts further sheets (with names of any UTF-16) is written
// as one workbook: every sheet must come back under a valid, unique name.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "CodePage.h"
#include "ConversionFrontEnd.h"
#include "QXE2XLS.h"
#include "QXE2XLS8.h"
#include "QXEEngQXI.h"

namespace {

// The text as a workbook can hold it: unpaired surrogates become U+FFFD.
std::u16string Holdable(std::u16string s) {
  for (size_t i = 0; i < s.size(); ++i) {
    const char16_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) ++i;
    else if (c >= 0xD800 && c <= 0xDFFF) s[i] = 0xFFFD;
  }
  return s;
}

[[noreturn]] void Fail(const char* what, int32_t row, int32_t column) {
  std::fprintf(stderr, "%s at row %d, column %d\n", what, row, column);
  std::abort();
}

// Every cell of want must be in got as it was.
void CompareCells(const TSpreadSheetCells& want, const TSpreadSheetCells& got) {
  for (int32_t r = 0; r < want.Count(); ++r) {
    const TSpreadSheetCols* cols = want.RowCells(r);
    if (!cols) continue;
    for (int32_t c = 0; c < cols->Count(); ++c) {
      const TQXICell* w = cols->Cell(c);
      if (!w) continue;
      const TQXICell* back = got.GetCell(c, r);
      switch (w->ValueType()) {
        case TVarType::WideString:
          if (w->WideValue().empty()) break;
          if (!back) Fail("text missing", r, c);
          if ((back->ValueType() == TVarType::WideString ? back->WideValue() : AnsiToWide(back->StringValue())) !=
              Holdable(w->WideValue()))
            Fail("text differs", r, c);
          break;
        case TVarType::String:
          if (!w->StringValue().empty() && !back) Fail("text missing", r, c);
          break;
        case TVarType::Float:
        case TVarType::Integer:
          if (std::isfinite(w->NumberValue()) && (!back || back->NumberValue() != w->NumberValue()))
            Fail("number differs", r, c);
          break;
        case TVarType::Boolean:
          if (!back || (back->NumberValue() != 0) != (w->NumberValue() != 0)) Fail("boolean differs", r, c);
          break;
        default: break;
      }
    }
  }
}

// What a workbook may call a sheet: 1 to 31 characters, none of "[]:*?/\\"
// or a control character, no apostrophe at either end.
bool ValidName(const std::u16string& name) {
  if (name.empty() || name.size() > 31 || name.front() == u'\'' || name.back() == u'\'') return false;
  for (char16_t c : name)
    if (c < 0x20 || std::u16string_view(u"[]:*?/\\").find(c) != std::u16string_view::npos) return false;
  return true;
}

// A name as a reader that decodes SpreadsheetML's "_xHHHH_" shows it (the
// writer escapes a literal "_x0041_" so; this reader keeps it as written).
std::u16string Unescaped(const std::u16string& s) {
  auto hex = [](char16_t c) { return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F') || (c >= u'a' && c <= u'f'); };
  std::u16string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == u'_' && i + 6 < s.size() && s[i + 1] == u'x' && hex(s[i + 2]) && hex(s[i + 3]) && hex(s[i + 4]) &&
        hex(s[i + 5]) && s[i + 6] == u'_') {
      out += char16_t(std::stoul(std::string(s.begin() + long(i) + 2, s.begin() + long(i) + 6), nullptr, 16));
      i += 6;
      continue;
    }
    out += s[i];
  }
  return out;
}

void Prepare(TQXExportToXLSX& writer, TQXESpreadsheetDataEngine& engine, const TSpreadSheet& sheet) {
  engine.SetSpreadSheet(&sheet);
  writer.SetOption(soShowMessage, false);
  writer.AnimatedStatus = false;
  writer.ColumnSource = csDataEngine;
  writer.SetDataEngine(&engine);
  writer.DocumentTime = 1717245296;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::unique_ptr<TSpreadSheet>> sheets;
  sheets.push_back(std::make_unique<TSpreadSheet>());
  int32_t row = 0, column = 0;
  size_t p = 0;
  auto take = [&](void* out, size_t n) {
    if (p + n > size) return false;
    std::memcpy(out, data + p, n);
    p += n;
    return true;
  };
  while (p < size && row < 64) {
    const uint8_t kind = data[p++];
    TVariant v;
    TQXICellType type = ictString;
    switch (kind % 6) {
      case 0: {
        uint8_t n = 0;
        if (!take(&n, 1)) break;
        std::u16string s(n, u'\0');
        if (!take(s.data(), size_t(n) * 2)) break;
        v = TVariant(s);
        break;
      }
      case 1: {
        double d;
        if (!take(&d, 8)) break;
        v = TVariant(d);
        type = ictDecimal;
        break;
      }
      case 2: {
        int64_t i;
        if (!take(&i, 8)) break;
        v = TVariant(i);
        type = ictInteger;
        break;
      }
      case 3: v = TVariant((kind & 0x80) != 0); type = ictBoolean; break;
      case 4: {
        uint8_t n = 0;
        if (!take(&n, 1)) break;
        std::string s(n, '\0');
        if (!take(s.data(), n)) break;
        v = TVariant(s);
        break;
      }
      default:
        if ((kind & 0x80) && sheets.size() < 8) {
          // A further sheet, named by the next units.
          uint8_t n = 0;
          std::u16string name;
          if (take(&n, 1)) {
            name.assign(n % 48, u'\0');
            if (!take(name.data(), name.size() * 2)) name.clear();
          }
          sheets.push_back(std::make_unique<TSpreadSheet>());
          sheets.back()->Caption = name;
          row = column = 0;
          continue;
        }
        ++row;
        column = 0;
        continue;
    }
    if (!v.IsEmpty()) sheets.back()->Cells.SetCell(column, row, type, 0, taLeftJustify, v);
    if (++column == 16) {
      column = 0;
      ++row;
    }
  }

  TQXExportToXLSX writer;
  TMemoryStream out;
  if (sheets.size() == 1) {
    TQXESpreadsheetDataEngine engine;
    Prepare(writer, engine, *sheets[0]);
    writer.ExportToStream(out);
    if (writer.Statistic.Result != erCompleted) Fail(writer.FailureText().c_str(), 0, 0);
  } else {
    std::vector<std::u16string> names;
    for (const auto& sheet : sheets) names.push_back(sheet->Caption);
    writer.OpenWorkbook(out, names);
    for (const auto& sheet : sheets) {
      TQXESpreadsheetDataEngine engine;
      Prepare(writer, engine, *sheet);
      writer.ExportIfEmpty = true;
      writer.ExportToStream(out);
      if (writer.Statistic.Result != erCompleted) Fail(writer.FailureText().c_str(), 0, 0);
    }
    writer.CloseWorkbook();
  }

  TCustomMemoryStream in(out.Memory(), out.Size());
  auto reader = TSpreadsheetConversion::CreateReader(rkMSExcelX);
  reader->LoadFromStream(in);  // a failure here is a fault of the writer
  if (sheets.size() == 1) {
    CompareCells(sheets[0]->Cells, reader->Sheets[0].Cells);
    return 0;
  }
  if (reader->Sheets.Count() != int32_t(sheets.size())) Fail("sheets lost", 0, 0);
  std::unordered_set<std::u16string> seen;
  for (size_t i = 0; i < sheets.size(); ++i) {
    const std::u16string name = Unescaped(reader->Sheets[int32_t(i)].Caption);
    if (!ValidName(name)) Fail("sheet name not valid", 0, int32_t(i));
    if (!seen.insert(TQXEXLS8Book::FoldedName(name)).second) Fail("sheet name twice", 0, int32_t(i));
    CompareCells(sheets[i]->Cells, reader->Sheets[int32_t(i)].Cells);
  }
  return 0;
}
