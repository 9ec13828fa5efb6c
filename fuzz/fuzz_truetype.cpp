// TrueType subsetting: table directories (plain and collections), loca and
// glyf, composite glyphs, metrics, read from a hostile font file.
#include <cstddef>
#include <cstdint>

#include "FontService.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Glyphs as the writer asks for them: a run, repeats, .notdef and one
  // beyond any font's count.
  std::vector<uint32_t> glyphs;
  for (uint32_t g = 1; g <= 48; ++g) glyphs.push_back(g);
  glyphs.insert(glyphs.end(), {3, 3, 0, 70000});
  std::vector<std::pair<char32_t, uint16_t>> cmap;
  for (char32_t c = U'A'; c <= U'Z'; ++c) cmap.emplace_back(c, uint16_t(c - U'A' + 1));
  cmap.emplace_back(U'\U0001F600', 30);
  for (int face = 0; face < 2; ++face) {
    try {
      SubsetTrueType(data, size, face, glyphs, face ? std::vector<std::pair<char32_t, uint16_t>>{} : cmap);
    } catch (const EFontError&) {
    }
  }
  return 0;
}
