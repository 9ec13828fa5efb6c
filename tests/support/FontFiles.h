#pragma once
// Font files changed for tests: a table found in a TrueType file, the
// embedding bits set, a family renamed so fontconfig sees another font.
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

inline std::vector<uint8_t> ReadFontBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline void WriteFontBytes(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

inline uint32_t FontBE32(const std::vector<uint8_t>& d, size_t at) {
  return uint32_t(d[at]) << 24 | uint32_t(d[at + 1]) << 16 | uint32_t(d[at + 2]) << 8 | d[at + 3];
}

// Offset of a table in a plain TrueType file; 0 when missing.
inline size_t FontTableOffset(const std::vector<uint8_t>& font, const char* tag) {
  const size_t n = size_t(font[4]) << 8 | font[5];
  for (size_t i = 0; i < n; ++i) {
    const size_t rec = 12 + 16 * i;
    if (std::equal(tag, tag + 4, font.begin() + long(rec))) return FontBE32(font, rec + 8);
  }
  return 0;
}

// The OS/2 embedding bits; false when the font has no OS/2 table.
inline bool SetFsType(std::vector<uint8_t>& font, uint16_t fsType) {
  const size_t os2 = FontTableOffset(font, "OS/2");
  if (!os2) return false;
  font[os2 + 8] = uint8_t(fsType >> 8);
  font[os2 + 9] = uint8_t(fsType);
  return true;
}

// Every occurrence of from, as ASCII and as UTF-16BE (the name table's
// forms), replaced by to of the same length.
inline void RenameFont(std::vector<uint8_t>& font, const std::string& from, const std::string& to) {
  auto replace = [&](const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    for (auto it = std::search(font.begin(), font.end(), a.begin(), a.end()); it != font.end();
         it = std::search(it + 1, font.end(), a.begin(), a.end()))
      std::copy(b.begin(), b.end(), it);
  };
  std::vector<uint8_t> a(from.begin(), from.end()), b(to.begin(), to.end()), a16, b16;
  for (char c : from) a16.insert(a16.end(), {0, uint8_t(c)});
  for (char c : to) b16.insert(b16.end(), {0, uint8_t(c)});
  replace(a, b);
  replace(a16, b16);
}
