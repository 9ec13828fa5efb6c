// The workbook model fed with whatever a corrupt file could make a reader
// report: any sheet, row and column numbers, widths and dimensions. It must
// neither crash nor grow beyond what the stored cells need.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "QXCells.h"

namespace {

int32_t Take32(const uint8_t*& p, const uint8_t* end) {
  uint32_t v = 0;
  size_t n = std::min<size_t>(4, size_t(end - p));
  std::memcpy(&v, p, n);
  p += n;
  return int32_t(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TSpreadSheetFile file;
  file.ResetData();
  const uint8_t* p = data;
  const uint8_t* end = data + size;
  while (p < end) {
    const uint8_t op = *p++;
    // Keep sheet numbers small mostly: each sheet is a real object.
    int32_t sheet = Take32(p, end);
    if ((op & 0xC0) != 0xC0) sheet &= 7;
    const int32_t a = Take32(p, end);
    const int32_t b = Take32(p, end);
    TVariant v;
    switch (op & 0x07) {
      case 0: v = TVariant(int64_t(a)); break;
      case 1: v = TVariant(std::string(size_t(uint8_t(b)) % 40, 'x')); break;
      case 2: v = TVariant(std::u16string(size_t(uint8_t(b)) % 3, u'y')); break;
      case 3: v = TVariant::Null(); break;
      default: v = TVariant(double(b)); break;
    }
    bool skip = false;
    try {
      switch ((op >> 3) & 0x07) {
        case 0:
        case 1:
        case 2: file.OnCellValue(&file, sheet, a, b, 0, v, taLeftJustify, ictString); break;
        case 3: file.OnDimensions(&file, sheet, 0, a, 0, b); break;
        case 4: file.OnColumnWidth(&file, sheet, a, b); break;
        case 5: file.OnGetCellValue(&file, sheet, a, b, v); break;
        case 6: file.OnSheet(&file, u"s", a, skip); break;
        default:
          if (file.Sheets.Count() > 0 && a >= 0 && a < file.Sheets[0].Cells.Count()) file.Sheets[0].Cells.DeleteRow(a);
          break;
      }
    } catch (const Exception&) {
      // Refusals are fine; crashes and runaway memory are not.
    }
  }
  // Read everything back the way the writers do.
  for (int32_t s = 0; s < file.Sheets.Count(); ++s) {
    const TSpreadSheetCells& cells = file.Sheets[s].Cells;
    for (int32_t r = 0; r < cells.Count() && r < 5000; ++r) {
      const TSpreadSheetCols* row = cells.RowCells(r);
      for (int32_t c = 0; row && c < row->Count() && c < 5000; ++c) (void)cells.GetCellValue(c, r);
    }
  }
  return 0;
}
