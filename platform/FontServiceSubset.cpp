// TrueType subsetting for embedded PDF fonts. The font file is read as
// hostile: every table lies inside the file, every read is checked, and a
// composite glyph can neither loop nor make the glyph list grow beyond the
// font's own glyph count.
#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "FontService.h"

namespace {

constexpr uint32_t Tag(const char (&s)[5]) {
  return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 | uint32_t(uint8_t(s[2])) << 8 |
         uint32_t(uint8_t(s[3]));
}

// Big-endian reads inside one block.
class TBigEndian {
 public:
  TBigEndian(const uint8_t* data, size_t size) : FData(data), FSize(size) {}
  bool Fits(size_t off, size_t len) const { return off <= FSize && len <= FSize - off; }
  void Need(size_t off, size_t len) const {
    if (!Fits(off, len)) throw EFontError("The font file is damaged: a table reaches past its end.");
  }
  uint16_t U16(size_t off) const {
    Need(off, 2);
    return uint16_t(FData[off] << 8 | FData[off + 1]);
  }
  int16_t I16(size_t off) const { return int16_t(U16(off)); }
  uint32_t U32(size_t off) const { return uint32_t(U16(off)) << 16 | U16(off + 2); }
  const uint8_t* At(size_t off) const { return FData + off; }
  size_t Size() const { return FSize; }

 private:
  const uint8_t* FData;
  size_t FSize;
};

void Put16(std::vector<uint8_t>& v, size_t off, uint32_t x) {
  v[off] = uint8_t(x >> 8);
  v[off + 1] = uint8_t(x);
}
void Put32(std::vector<uint8_t>& v, size_t off, uint32_t x) {
  Put16(v, off, x >> 16);
  Put16(v, off + 2, x & 0xFFFF);
}
void Append16(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back(uint8_t(x >> 8));
  v.push_back(uint8_t(x));
}
void Append32(std::vector<uint8_t>& v, uint32_t x) {
  Append16(v, x >> 16);
  Append16(v, x & 0xFFFF);
}

uint32_t CheckSum(const std::vector<uint8_t>& t) {
  uint32_t sum = 0;
  for (size_t i = 0; i < t.size(); i += 4) {
    uint32_t w = 0;
    for (size_t k = 0; k < 4; ++k) w = w << 8 | (i + k < t.size() ? t[i + k] : 0);
    sum += w;
  }
  return sum;
}

struct TSource {
  TBigEndian File;
  struct TTable {
    size_t Offset = 0, Length = 0;
    bool Present = false;
  };
  std::unordered_map<uint32_t, TTable> Tables;

  TSource(const uint8_t* data, size_t size, int faceIndex) : File(data, size) {
    size_t base = 0;
    if (File.U32(0) == Tag("ttcf")) {
      const uint32_t count = File.U32(8);
      if (faceIndex < 0 || uint32_t(faceIndex) >= count)
        throw EFontError("The font collection has no face " + std::to_string(faceIndex) + ".");
      base = File.U32(12 + 4 * size_t(faceIndex));
    }
    const uint32_t version = File.U32(base);
    if (version == Tag("OTTO")) throw EFontError("The font has no TrueType outlines.");
    if (version != 0x00010000 && version != Tag("true")) throw EFontError("The file is not a TrueType font.");
    const uint16_t n = File.U16(base + 4);
    for (size_t i = 0; i < n; ++i) {
      const size_t rec = base + 12 + 16 * i;
      const uint32_t tag = File.U32(rec);
      TTable t;
      t.Offset = File.U32(rec + 8);
      t.Length = File.U32(rec + 12);
      if (!File.Fits(t.Offset, t.Length)) throw EFontError("The font file is damaged: a table lies outside it.");
      t.Present = true;
      Tables.emplace(tag, t);
    }
  }

  bool Has(uint32_t tag) const { return Tables.count(tag) != 0; }
  TBigEndian Table(uint32_t tag, size_t minLength, const char* name) const {
    auto it = Tables.find(tag);
    if (it == Tables.end() || it->second.Length < minLength)
      throw EFontError(std::string("The font has no usable ") + name + " table.");
    return TBigEndian(File.At(it->second.Offset), it->second.Length);
  }
  std::vector<uint8_t> Copy(uint32_t tag) const {
    auto it = Tables.find(tag);
    if (it == Tables.end()) return {};
    const uint8_t* p = File.At(it->second.Offset);
    return std::vector<uint8_t>(p, p + it->second.Length);
  }
};

// Component glyph numbers of a composite glyph, with the offset of each
// number in the glyph data; empty for a simple glyph.
std::vector<std::pair<size_t, uint16_t>> Components(const TBigEndian& g) {
  std::vector<std::pair<size_t, uint16_t>> out;
  if (g.Size() < 10 || g.I16(0) >= 0) return out;
  size_t p = 10;
  for (;;) {
    const uint16_t flags = g.U16(p);
    out.emplace_back(p + 2, g.U16(p + 2));
    p += 4 + ((flags & 0x0001) ? 4 : 2);
    if (flags & 0x0008) p += 2;
    else if (flags & 0x0040) p += 4;
    else if (flags & 0x0080) p += 8;
    if (!(flags & 0x0020)) break;
    g.Need(p, 4);
  }
  return out;
}

// The largest power of two not above n, and its exponent: the search
// fields of the table directory and of a format 4 cmap.
std::pair<uint16_t, uint16_t> BinarySearchParams(size_t n) {
  uint16_t search = 1, selector = 0;
  while (search * 2u <= n) {
    search = uint16_t(search * 2);
    ++selector;
  }
  return {search, selector};
}

std::vector<uint8_t> Cmap4(std::vector<std::pair<char32_t, uint16_t>> map) {
  std::sort(map.begin(), map.end());
  map.erase(std::remove_if(map.begin(), map.end(), [](const auto& e) { return e.first >= 0xFFFF; }), map.end());
  map.erase(std::unique(map.begin(), map.end(), [](const auto& a, const auto& b) { return a.first == b.first; }),
            map.end());
  struct TSeg {
    uint32_t Start, End;
    uint16_t Delta;
  };
  std::vector<TSeg> segs;
  for (const auto& [code, gid] : map) {
    const uint16_t delta = uint16_t(gid - code);
    if (!segs.empty() && segs.back().End + 1 == code && segs.back().Delta == delta) segs.back().End = code;
    else segs.push_back({code, code, delta});
  }
  segs.push_back({0xFFFF, 0xFFFF, 1});
  const size_t n = segs.size();
  const auto [search, selector] = BinarySearchParams(n);
  std::vector<uint8_t> t;
  Append16(t, 0);   // version
  Append16(t, 1);   // one subtable
  Append16(t, 3);   // Windows
  Append16(t, 1);   // Unicode BMP
  Append32(t, 12);
  Append16(t, 4);
  Append16(t, uint32_t(16 + 8 * n));
  Append16(t, 0);  // language
  Append16(t, uint32_t(2 * n));
  Append16(t, 2u * search);
  Append16(t, selector);
  Append16(t, uint32_t(2 * n - 2u * search));
  for (const auto& s : segs) Append16(t, s.End);
  Append16(t, 0);
  for (const auto& s : segs) Append16(t, s.Start);
  for (const auto& s : segs) Append16(t, s.Delta);
  for (size_t i = 0; i < n; ++i) Append16(t, 0);
  return t;
}

}  // namespace

std::vector<uint8_t> SubsetTrueType(const uint8_t* data, size_t size, int faceIndex,
                                    const std::vector<uint32_t>& glyphs,
                                    const std::vector<std::pair<char32_t, uint16_t>>& cmap) {
  const TSource src(data, size, faceIndex);
  const TBigEndian head = src.Table(Tag("head"), 54, "head");
  const TBigEndian hhea = src.Table(Tag("hhea"), 36, "hhea");
  const TBigEndian maxp = src.Table(Tag("maxp"), 6, "maxp");
  const TBigEndian hmtx = src.Table(Tag("hmtx"), 4, "hmtx");
  const TBigEndian loca = src.Table(Tag("loca"), 0, "loca");
  const TBigEndian glyf = src.Table(Tag("glyf"), 0, "glyf");
  const bool longLoca = head.I16(50) != 0;
  const uint32_t numGlyphs = maxp.U16(4);
  if (numGlyphs == 0) throw EFontError("The font has no glyphs.");
  const uint32_t numMetrics = std::min<uint32_t>(hhea.U16(34), numGlyphs);
  if (numMetrics == 0) throw EFontError("The font has no glyph widths.");

  // The bytes of a glyph; an entry that points outside glyf is an empty glyph.
  auto glyphData = [&](uint32_t g) -> TBigEndian {
    size_t start, end;
    if (longLoca) {
      if (!loca.Fits(4 * size_t(g), 8)) return TBigEndian(nullptr, 0);
      start = loca.U32(4 * size_t(g));
      end = loca.U32(4 * size_t(g) + 4);
    } else {
      if (!loca.Fits(2 * size_t(g), 4)) return TBigEndian(nullptr, 0);
      start = 2 * size_t(loca.U16(2 * size_t(g)));
      end = 2 * size_t(loca.U16(2 * size_t(g) + 2));
    }
    if (start >= end || !glyf.Fits(start, end - start)) return TBigEndian(nullptr, 0);
    return TBigEndian(glyf.At(start), end - start);
  };

  // New glyph order: .notdef, the glyphs asked for, then components.
  std::vector<uint32_t> order;
  order.reserve(glyphs.size() + 1);
  order.push_back(0);
  for (uint32_t g : glyphs) order.push_back(g < numGlyphs ? g : 0);
  if (order.size() > 0xFFFF) throw EFontError("Too many glyphs for one font.");
  std::unordered_map<uint32_t, uint16_t> newIndex;
  for (size_t i = 0; i < order.size(); ++i) newIndex.emplace(order[i], uint16_t(i));
  for (size_t i = 0; i < order.size(); ++i) {
    for (const auto& [at, c] : Components(glyphData(order[i]))) {
      (void)at;
      if (c >= numGlyphs || newIndex.count(c)) continue;
      if (order.size() >= 0xFFFF) throw EFontError("Too many glyphs for one font.");
      newIndex.emplace(c, uint16_t(order.size()));
      order.push_back(c);
    }
  }

  // Distinct glyphs of a sound font do not overlap, so their copies stay
  // within the table; loca entries sharing bytes could multiply it.
  const size_t glyfBudget = 2 * glyf.Size() + 4 * order.size();
  std::vector<uint8_t> newGlyf, newLoca, newHmtx;
  newLoca.reserve(4 * (order.size() + 1));
  newHmtx.reserve(4 * order.size());
  for (uint32_t g : order) {
    Append32(newLoca, uint32_t(newGlyf.size()));
    const TBigEndian gd = glyphData(g);
    const size_t at = newGlyf.size();
    if (newGlyf.size() + gd.Size() > glyfBudget)
      throw EFontError("The font file is damaged: its glyphs overlap.");
    if (gd.Size()) newGlyf.insert(newGlyf.end(), gd.At(0), gd.At(0) + gd.Size());
    for (const auto& [off, c] : Components(gd)) {
      auto it = newIndex.find(c);
      Put16(newGlyf, at + off, it == newIndex.end() ? 0 : it->second);
    }
    while (newGlyf.size() % 4) newGlyf.push_back(0);
    const uint32_t m = std::min(g, numMetrics - 1);
    const uint16_t advance = hmtx.Fits(4 * size_t(m), 2) ? hmtx.U16(4 * size_t(m)) : 0;
    const size_t lsbAt = g < numMetrics ? 4 * size_t(g) + 2 : 4 * size_t(numMetrics) + 2 * size_t(g - numMetrics);
    Append16(newHmtx, advance);
    Append16(newHmtx, hmtx.Fits(lsbAt, 2) ? hmtx.U16(lsbAt) : 0);
  }
  Append32(newLoca, uint32_t(newGlyf.size()));

  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> tables;
  std::vector<uint8_t> newHead(head.At(0), head.At(0) + 54);
  Put32(newHead, 8, 0);   // checkSumAdjustment, set below
  Put16(newHead, 50, 1);  // long loca
  std::vector<uint8_t> newHhea(hhea.At(0), hhea.At(0) + 36);
  Put16(newHhea, 34, uint32_t(order.size()));
  std::vector<uint8_t> newMaxp(maxp.At(0), maxp.At(0) + maxp.Size());
  Put16(newMaxp, 4, uint32_t(order.size()));
  tables.emplace_back(Tag("head"), std::move(newHead));
  tables.emplace_back(Tag("hhea"), std::move(newHhea));
  tables.emplace_back(Tag("maxp"), std::move(newMaxp));
  tables.emplace_back(Tag("hmtx"), std::move(newHmtx));
  tables.emplace_back(Tag("loca"), std::move(newLoca));
  tables.emplace_back(Tag("glyf"), std::move(newGlyf));
  for (const uint32_t tag : {Tag("cvt "), Tag("fpgm"), Tag("prep"), Tag("OS/2")}) {
    if (src.Has(tag)) tables.emplace_back(tag, src.Copy(tag));
  }
  if (src.Has(Tag("post"))) {
    // Glyph names follow the old numbering: keep the header only (format 3).
    std::vector<uint8_t> post = src.Copy(Tag("post"));
    if (post.size() >= 32) {
      post.resize(32);
      Put32(post, 0, 0x00030000);
      tables.emplace_back(Tag("post"), std::move(post));
    }
  }
  if (!cmap.empty()) tables.emplace_back(Tag("cmap"), Cmap4(cmap));
  std::sort(tables.begin(), tables.end(), [](const auto& a, const auto& b) { return a.first < b.first; });

  const size_t n = tables.size();
  const auto [search, selector] = BinarySearchParams(n);
  std::vector<uint8_t> out;
  Append32(out, 0x00010000);
  Append16(out, uint32_t(n));
  Append16(out, 16u * search);
  Append16(out, selector);
  Append16(out, uint32_t(16 * n - 16u * search));
  size_t offset = 12 + 16 * n;
  size_t headAt = 0;
  for (const auto& [tag, t] : tables) {
    Append32(out, tag);
    Append32(out, CheckSum(t));
    Append32(out, uint32_t(offset));
    Append32(out, uint32_t(t.size()));
    if (tag == Tag("head")) headAt = offset;
    offset += (t.size() + 3) & ~size_t(3);
  }
  for (const auto& [tag, t] : tables) {
    out.insert(out.end(), t.begin(), t.end());
    while (out.size() % 4) out.push_back(0);
  }
  Put32(out, headAt + 8, 0xB1B0AFBA - CheckSum(out));
  return out;
}
