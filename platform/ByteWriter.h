#pragma once
// Little-endian writes into a byte block, the counterpart of ByteReader.h
// for writers that build records in place.
#include <cstdint>

inline void PutU16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

inline void PutU32(uint8_t* p, uint32_t v) {
  PutU16(p, v & 0xFFFF);
  PutU16(p + 2, v >> 16);
}
