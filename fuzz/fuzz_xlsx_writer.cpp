// The .xlsx writer and the zip writer, round trip: cells built from the
// input (texts of any UTF-16, numbers, booleans) are exported and read back
// by the program's own reader; every text and number must come back as it
// was, so escaping, shared strings and the package are checked together.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "CodePage.h"
#include "ConversionFrontEnd.h"
#include "QXE2XLS.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TSpreadSheet sheet;
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
        ++row;
        column = 0;
        continue;
    }
    if (!v.IsEmpty()) sheet.Cells.SetCell(column, row, type, 0, taLeftJustify, v);
    if (++column == 16) {
      column = 0;
      ++row;
    }
  }

  TQXExportToXLSX writer;
  TQXESpreadsheetDataEngine engine;
  engine.SetSpreadSheet(&sheet);
  writer.SetOption(soShowMessage, false);
  writer.AnimatedStatus = false;
  writer.ColumnSource = csDataEngine;
  writer.SetDataEngine(&engine);
  writer.DocumentTime = 1717245296;
  TMemoryStream out;
  writer.ExportToStream(out);
  if (writer.Statistic.Result != erCompleted) Fail(writer.FailureText().c_str(), 0, 0);

  TCustomMemoryStream in(out.Memory(), out.Size());
  auto reader = TSpreadsheetConversion::CreateReader(rkMSExcelX);
  reader->LoadFromStream(in);  // a failure here is a fault of the writer
  const TSpreadSheetCells& got = reader->Sheets[0].Cells;
  for (int32_t r = 0; r < sheet.Cells.Count(); ++r) {
    const TSpreadSheetCols* cols = sheet.Cells.RowCells(r);
    if (!cols) continue;
    for (int32_t c = 0; c < cols->Count(); ++c) {
      const TQXICell* want = cols->Cell(c);
      if (!want) continue;
      const TQXICell* back = got.GetCell(c, r);
      switch (want->ValueType()) {
        case TVarType::WideString:
          if (want->WideValue().empty()) break;
          if (!back) Fail("text missing", r, c);
          if ((back->ValueType() == TVarType::WideString ? back->WideValue() : AnsiToWide(back->StringValue())) !=
              Holdable(want->WideValue()))
            Fail("text differs", r, c);
          break;
        case TVarType::String:
          if (!want->StringValue().empty() && !back) Fail("text missing", r, c);
          break;
        case TVarType::Float:
        case TVarType::Integer:
          if (std::isfinite(want->NumberValue()) && (!back || back->NumberValue() != want->NumberValue()))
            Fail("number differs", r, c);
          break;
        case TVarType::Boolean:
          if (!back || (back->NumberValue() != 0) != (want->NumberValue() != 0)) Fail("boolean differs", r, c);
          break;
        default: break;
      }
    }
  }
  return 0;
}
