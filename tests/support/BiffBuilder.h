#pragma once
// Writes BIFF records for tests: a record body builder and a workbook
// builder that lays out globals, BOUNDSHEET positions and sheet substreams.
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace biff {

struct Body {
  std::vector<uint8_t> d;
  Body& u8(uint32_t v) { d.push_back(uint8_t(v)); return *this; }
  Body& u16(uint32_t v) { u8(v & 0xFF); return u8((v >> 8) & 0xFF); }
  Body& u32(uint32_t v) { u16(v & 0xFFFF); return u16(v >> 16); }
  Body& f64(double v) {
    uint64_t b;
    std::memcpy(&b, &v, 8);
    u32(uint32_t(b));
    return u32(uint32_t(b >> 32));
  }
  Body& bytes(const std::string& s) { d.insert(d.end(), s.begin(), s.end()); return *this; }
  Body& append(const Body& b) { d.insert(d.end(), b.d.begin(), b.d.end()); return *this; }
  Body& utf16(const std::u16string& s) {
    for (char16_t c : s) u16(c);
    return *this;
  }
  // BIFF8 string with a 16-bit length, compressed when every character fits in a byte.
  Body& str16(const std::u16string& s) {
    bool wide = false;
    for (char16_t c : s) wide = wide || c > 0xFF;
    u16(uint32_t(s.size())).u8(wide ? 1 : 0);
    for (char16_t c : s) wide ? u16(c) : u8(c);
    return *this;
  }
  Body& str8(const std::u16string& s) {
    bool wide = false;
    for (char16_t c : s) wide = wide || c > 0xFF;
    u8(uint32_t(s.size())).u8(wide ? 1 : 0);
    for (char16_t c : s) wide ? u16(c) : u8(c);
    return *this;
  }
};

struct Stream {
  std::vector<uint8_t> d;
  Stream& rec(uint16_t no, const Body& b) { return rec(no, b.d); }
  Stream& rec(uint16_t no, const std::vector<uint8_t>& data = {}) {
    Body h;
    h.u16(no).u16(uint32_t(data.size()));
    d.insert(d.end(), h.d.begin(), h.d.end());
    d.insert(d.end(), data.begin(), data.end());
    return *this;
  }
  Stream& append(const Stream& o) { d.insert(d.end(), o.d.begin(), o.d.end()); return *this; }
};

inline Body Bof(uint16_t vers, uint16_t type, uint16_t build = 0, uint16_t year = 0) {
  Body b;
  b.u16(vers).u16(type).u16(build).u16(year);
  if (vers == 0x0600) b.u32(0).u32(0);
  return b;
}
// BIFF8 XF with a number format and alignment code.
inline Body Xf8(uint16_t numFmt, uint8_t align = 0) {
  Body b;
  b.u16(0).u16(numFmt).u16(0).u8(align).u8(0).u32(0).u32(0).u32(0).u16(0x40);
  return b;
}
inline Body Number(uint16_t row, uint16_t col, uint16_t xf, double v) {
  return Body().u16(row).u16(col).u16(xf).f64(v);
}
inline Body Rk(uint16_t row, uint16_t col, uint16_t xf, uint32_t rk) {
  return Body().u16(row).u16(col).u16(xf).u32(rk);
}
inline Body LabelSst(uint16_t row, uint16_t col, uint16_t xf, uint32_t index) {
  return Body().u16(row).u16(col).u16(xf).u32(index);
}
// FORMULA (BIFF5+ 0x0006) with a double result or a special result (type, value byte).
inline Body FormulaNum(uint16_t row, uint16_t col, uint16_t xf, double v) {
  return Body().u16(row).u16(col).u16(xf).f64(v).u16(0).u32(0).u16(0);
}
inline Body FormulaSpecial(uint16_t row, uint16_t col, uint16_t xf, uint8_t kind, uint8_t value) {
  return Body().u16(row).u16(col).u16(xf).u8(kind).u8(0).u8(value).u8(0).u8(0).u8(0).u8(0xFF).u8(0xFF).u16(0).u32(0).u16(0);
}

// A BIFF5/BIFF8 workbook stream: globals, one BOUNDSHEET per sheet with its
// real position, then the sheets.
struct Workbook {
  bool biff8 = true;
  Stream globals;  // records after the globals BOF and before BOUNDSHEETs
  std::vector<std::pair<std::u16string, Stream>> sheets;  // records between a sheet's BOF and EOF
  std::vector<uint16_t> sheetTypes;  // BOF substream type per sheet (default 0x0010)

  std::vector<uint8_t> Build() const {
    uint16_t vers = biff8 ? 0x0600 : 0x0500;
    auto boundSheet = [&](size_t i, uint32_t pos) {
      Body b;
      b.u32(pos).u8(0).u8(0);
      if (biff8) {
        b.str8(sheets[i].first);
      } else {
        b.u8(uint32_t(sheets[i].first.size()));
        for (char16_t c : sheets[i].first) b.u8(c);
      }
      return b;
    };
    Stream head;
    head.rec(0x0809, Bof(vers, 0x0005, 0x1234, 1997)).append(globals);
    size_t bsLen = 0;
    for (size_t i = 0; i < sheets.size(); ++i) bsLen += 4 + boundSheet(i, 0).d.size();
    uint32_t pos = uint32_t(head.d.size() + bsLen + 4);
    std::vector<Stream> bodies;
    std::vector<uint32_t> positions;
    for (size_t i = 0; i < sheets.size(); ++i) {
      Stream s;
      uint16_t type = i < sheetTypes.size() ? sheetTypes[i] : 0x0010;
      s.rec(0x0809, Bof(vers, type)).append(sheets[i].second).rec(0x000A);
      positions.push_back(pos);
      pos += uint32_t(s.d.size());
      bodies.push_back(std::move(s));
    }
    for (size_t i = 0; i < sheets.size(); ++i) head.rec(0x0085, boundSheet(i, positions[i]));
    head.rec(0x000A);
    for (auto& b : bodies) head.append(b);
    return head.d;
  }
};

}  // namespace biff
