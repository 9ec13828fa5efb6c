#pragma once
// Little-endian reads from a byte block, each checked against its end.
// A read past the end raises EBoundsError, so a record parser can be
// written straight and a short record is dropped by whoever catches.
#include <cstdint>
#include <cstring>
#include <string>

#include "Exception.h"

class TByteReader {
 public:
  TByteReader(const void* data, size_t size) : FData(static_cast<const uint8_t*>(data)), FSize(size) {}

  size_t Size() const { return FSize; }
  const uint8_t* Data() const { return FData; }
  bool Fits(size_t offset, size_t length) const { return offset <= FSize && length <= FSize - offset; }
  void Need(size_t offset, size_t length) const {
    if (!Fits(offset, length)) throw EBoundsError("Record is too short");
  }

  uint8_t U8(size_t off) const { Need(off, 1); return FData[off]; }
  uint16_t U16(size_t off) const { Need(off, 2); return uint16_t(FData[off] | (FData[off + 1] << 8)); }
  uint32_t U32(size_t off) const {
    Need(off, 4);
    return uint32_t(FData[off]) | (uint32_t(FData[off + 1]) << 8) | (uint32_t(FData[off + 2]) << 16) |
           (uint32_t(FData[off + 3]) << 24);
  }
  uint64_t U64(size_t off) const { return uint64_t(U32(off)) | (uint64_t(U32(off + 4)) << 32); }
  int16_t I16(size_t off) const { return int16_t(U16(off)); }
  int32_t I32(size_t off) const { return int32_t(U32(off)); }
  double F64(size_t off) const {
    uint64_t bits = U64(off);
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
  }
  // length bytes starting at off, as they stand.
  std::string Bytes(size_t off, size_t length) const {
    Need(off, length);
    return std::string(reinterpret_cast<const char*>(FData + off), length);
  }
  // Bytes from off up to (not including) the first NUL or the end.
  std::string ZString(size_t off) const {
    Need(off, 0);
    size_t end = off;
    while (end < FSize && FData[end] != 0) ++end;
    return std::string(reinterpret_cast<const char*>(FData + off), end - off);
  }
  // count UTF-16LE units starting at off.
  std::u16string Utf16(size_t off, size_t count) const {
    if (count > FSize) throw EBoundsError("Record is too short");
    Need(off, count * 2);
    std::u16string s(count, u'\0');
    const uint8_t* p = FData + off;
    char16_t* d = s.data();
    for (size_t i = 0; i < count; ++i, p += 2) d[i] = char16_t(p[0] | (p[1] << 8));
    return s;
  }

 private:
  const uint8_t* FData;
  size_t FSize;
};
