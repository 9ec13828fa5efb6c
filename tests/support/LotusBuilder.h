#pragma once
// Writes Lotus 1-2-3 record streams for tests: a header word pair per
// record, then its data, all little-endian.
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

class LotusBuilder {
 public:
  using Bytes = std::vector<uint8_t>;

  // Raw record; the length word may be forced to lie about the data.
  LotusBuilder& Record(uint16_t opcode, const Bytes& data) { return RecordWithLength(opcode, uint16_t(data.size()), data); }
  LotusBuilder& RecordWithLength(uint16_t opcode, uint16_t length, const Bytes& data) {
    Word(FOut, opcode);
    Word(FOut, length);
    FOut.insert(FOut.end(), data.begin(), data.end());
    return *this;
  }
  LotusBuilder& Raw(const Bytes& data) {
    FOut.insert(FOut.end(), data.begin(), data.end());
    return *this;
  }

  LotusBuilder& Bof(uint16_t version) { return Record(0x00, Cat({Word(version)})); }
  LotusBuilder& Eof() { return Record(0x01, {}); }

  // One-sheet family: format byte, column word, row word, payload.
  static Bytes Old(uint16_t col, uint16_t row, const Bytes& payload, uint8_t format = 0xFF) {
    return Cat({{format}, Word(col), Word(row), payload});
  }
  // Multi-sheet family: row word, sheet byte, column byte, payload.
  static Bytes New(uint16_t row, uint8_t sheet, uint8_t col, const Bytes& payload) {
    return Cat({Word(row), {sheet, col}, payload});
  }

  LotusBuilder& Integer1(uint16_t col, uint16_t row, int16_t v) { return Record(0x0D, Old(col, row, Word(uint16_t(v)))); }
  LotusBuilder& Number1(uint16_t col, uint16_t row, double v) { return Record(0x0E, Old(col, row, Double(v))); }
  LotusBuilder& Label1(uint16_t col, uint16_t row, char prefix, const std::string& text) {
    return Record(0x0F, Old(col, row, Cat({{uint8_t(prefix)}, Text(text), {0}})));
  }
  LotusBuilder& Formula1(uint16_t col, uint16_t row, uint64_t resultBits) {
    return Record(0x10, Old(col, row, Cat({Qword(resultBits), {0x02, 0x00, 0x03}})));
  }
  LotusBuilder& String1(uint16_t col, uint16_t row, const std::string& text) {
    return Record(0x33, Old(col, row, Cat({Text(text), {0}})));
  }

  LotusBuilder& Label3(uint16_t row, uint8_t sheet, uint8_t col, char prefix, const std::string& text) {
    return Record(0x16, New(row, sheet, col, Cat({{uint8_t(prefix)}, Text(text), {0}})));
  }
  LotusBuilder& Number3(uint16_t row, uint8_t sheet, uint8_t col, const Bytes& extended10) {
    return Record(0x17, New(row, sheet, col, extended10));
  }
  LotusBuilder& SmallNumber(uint16_t row, uint8_t sheet, uint8_t col, uint16_t w) {
    return Record(0x18, New(row, sheet, col, Word(w)));
  }
  LotusBuilder& Formula3(uint16_t row, uint8_t sheet, uint8_t col, const Bytes& extended10) {
    return Record(0x19, New(row, sheet, col, Cat({extended10, {0x00, 0x03}})));
  }
  LotusBuilder& FormulaString(uint16_t row, uint8_t sheet, uint8_t col, const std::string& text) {
    return Record(0x1A, New(row, sheet, col, Cat({Text(text), {0}})));
  }
  LotusBuilder& Packed(uint16_t row, uint8_t sheet, uint8_t col, uint32_t w) {
    return Record(0x25, New(row, sheet, col, Dword(w)));
  }
  LotusBuilder& DoubleNumber(uint16_t row, uint8_t sheet, uint8_t col, uint64_t bits) {
    return Record(0x27, New(row, sheet, col, Qword(bits)));
  }
  LotusBuilder& SheetName(uint8_t sheet, const std::string& name) {
    return Record(0x23, Cat({{0, 0, sheet, 0}, Text(name), {0}}));
  }

  const Bytes& Data() const { return FOut; }

  static Bytes Word(uint16_t v) { return {uint8_t(v), uint8_t(v >> 8)}; }
  static Bytes Dword(uint32_t v) { return Cat({Word(uint16_t(v)), Word(uint16_t(v >> 16))}); }
  static Bytes Qword(uint64_t v) { return Cat({Dword(uint32_t(v)), Dword(uint32_t(v >> 32))}); }
  static Bytes Double(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    return Qword(bits);
  }
  // 80-bit extended: 64-bit mantissa with explicit integer bit, then sign and exponent.
  static Bytes Extended(uint64_t mantissa, uint16_t signExponent) { return Cat({Qword(mantissa), Word(signExponent)}); }
  static Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
  static Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  }

 private:
  static void Word(Bytes& out, uint16_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
  }
  Bytes FOut;
};
