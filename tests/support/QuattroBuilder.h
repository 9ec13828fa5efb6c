#pragma once
// Writes Quattro Pro record streams for tests. The framing (opcode word,
// length word, data) is Lotus's, so the records go through LotusBuilder;
// this adds the cell heads of each generation and the notebook records, and
// wraps a notebook stream in a compound document.
#include <cstdint>
#include <string>
#include <vector>

#include "CfbBuilder.h"
#include "LotusBuilder.h"

class QuattroBuilder {
 public:
  using Bytes = LotusBuilder::Bytes;

  QuattroBuilder& Record(uint16_t opcode, const Bytes& data) {
    FOut.Record(opcode, data);
    return *this;
  }
  QuattroBuilder& RecordWithLength(uint16_t opcode, uint16_t length, const Bytes& data) {
    FOut.RecordWithLength(opcode, length, data);
    return *this;
  }
  QuattroBuilder& Raw(const Bytes& data) {
    FOut.Raw(data);
    return *this;
  }
  const Bytes& Data() const { return FOut.Data(); }

  // ---- classic records

  QuattroBuilder& Bof(uint16_t version) { return Record(0x00, Word(version)); }
  QuattroBuilder& Eof() { return Record(0x01, {}); }
  QuattroBuilder& Sheet(uint8_t n) { return Record(0xCA, {n}); }
  QuattroBuilder& SheetEnd(uint8_t n) { return Record(0xCB, {n}); }
  QuattroBuilder& SheetName(const std::string& name) { return Record(0xCC, Cat({Text(name), {0}})); }
  // .wb1 to .wb3: a style whose format byte is format (numbered from 1 in order).
  QuattroBuilder& WinStyle(uint8_t format) {
    return Record(0xCE, Cat({{format, 0, 0, 0x30, 1, 0, 2, 0}, Bytes(8, 0)}));
  }
  // .wq2: style index with the Lotus format byte at 19.
  QuattroBuilder& DosStyle(uint8_t index, uint8_t format) {
    Bytes d(22, 0);
    d[0] = 0x0F;
    d[1] = 0xFF;
    d[3] = index;
    d[19] = format;
    return Record(0xD8, d);
  }

  // Cell heads: .wq1 (format byte, column word, row word), .wq2 (column
  // word, row word, attribute word with the style in its high byte) and the
  // Windows files (column byte, sheet byte, row word, style << 3 | kind).
  static Bytes Wq1(uint16_t col, uint16_t row, uint8_t format = 0xFF) { return Cat({{format}, Word(col), Word(row)}); }
  static Bytes Wq2(uint16_t col, uint16_t row, uint8_t style = 0xFF) { return Cat({Word(col), Word(row), {0x0F, style}}); }
  static Bytes Win(uint8_t col, uint8_t sheet, uint16_t row, uint16_t style = 0, uint8_t kind = 2) {
    return Cat({{col, sheet}, Word(row), Word(uint16_t(style << 3 | kind))});
  }

  QuattroBuilder& Integer(const Bytes& head, int16_t v) { return Record(0x0D, Cat({head, Word(uint16_t(v))})); }
  QuattroBuilder& Number(const Bytes& head, double v) { return Record(0x0E, Cat({head, Double(v)})); }
  QuattroBuilder& NumberBits(const Bytes& head, uint64_t bits) { return Record(0x0E, Cat({head, Qword(bits)})); }
  // .wq1/.wq2: prefix, length byte, text; the others: prefix, text, NUL.
  QuattroBuilder& PascalLabel(const Bytes& head, char prefix, const std::string& text) {
    return Record(0x0F, Cat({head, {uint8_t(prefix), uint8_t(text.size())}, Text(text)}));
  }
  QuattroBuilder& Label(const Bytes& head, char prefix, const std::string& text, const Bytes& trailer = {}) {
    return Record(0x0F, Cat({head, {uint8_t(prefix)}, Text(text), {0}, trailer}));
  }
  QuattroBuilder& Formula(const Bytes& head, uint64_t resultBits) {
    return Record(0x10, Cat({head, Qword(resultBits), {0x08, 0x00, 0x02, 0x00, 0x02, 0x00, 0x34, 0x03}}));
  }
  // The text result: .wq1/.wq2 a length byte and the text; the others prefix, text, NUL.
  QuattroBuilder& PascalFormulaText(const Bytes& head, const std::string& text) {
    return Record(0x33, Cat({head, {uint8_t(text.size())}, Text(text)}));
  }
  QuattroBuilder& FormulaText(const Bytes& head, const std::string& text) {
    return Record(0x33, Cat({head, {0x27}, Text(text), {0}}));
  }

  // ---- notebook records (.qpw)

  QuattroBuilder& NotebookBof() { return Record(0x0001, Cat({Text("QPW9"), {0, 0, 0x10, 0x02, 1, 0, 0, 0, 0, 1}})); }
  QuattroBuilder& NotebookEof() { return Record(0x0002, Bytes(8, 0)); }
  // A length word, a flag byte (bit 0: UTF-16), the characters, a NUL.
  static Bytes String(const std::string& s) { return Cat({Word(uint16_t(s.size())), {0}, Text(s), {0}}); }
  static Bytes WideString(const std::u16string& s) {
    Bytes out = Cat({Word(uint16_t(s.size())), {1}});
    for (char16_t c : s) {
      out.push_back(uint8_t(c));
      out.push_back(uint8_t(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
  }
  QuattroBuilder& Authors(const std::string& author, const std::string& last) {
    return Record(0x0005, Cat({String(author), String(last)}));
  }
  QuattroBuilder& StringTable(const std::vector<Bytes>& strings) {
    Bytes d = Cat({Dword(uint32_t(strings.size())), Dword(0), Dword(0)});
    for (const Bytes& s : strings) d = Cat({d, s});
    return Record(0x0407, d);
  }
  // Styles of 30 bytes, the format word second.
  QuattroBuilder& NotebookStyles(const std::vector<uint16_t>& formats) {
    Bytes d = Cat({Word(uint16_t(formats.size())), Word(0)});
    for (uint16_t f : formats) d = Cat({d, Word(1), Word(f), Bytes(26, 0)});
    return Record(0x000A, d);
  }
  QuattroBuilder& NotebookSheet(uint16_t n, const std::string& name, uint16_t lastCol = 0, uint32_t lastRow = 0) {
    return Record(0x0601, Cat({Word(n), Word(0), Word(lastCol), Dword(0), Dword(lastRow), Word(0xFFFF), Word(0),
                               String(name)}));
  }
  QuattroBuilder& NotebookSheetEnd() { return Record(0x0602, Bytes(8, 0)); }
  QuattroBuilder& Column(uint16_t col) { return Record(0x0A01, Cat({Word(col), Dword(0), Dword(31)})); }
  QuattroBuilder& ColumnEnd() { return Record(0x0A02, Bytes(8, 0)); }
  QuattroBuilder& CellBlock(uint32_t firstRow, uint32_t rows, const Bytes& entries) {
    return Record(0x0C01, Cat({Dword(firstRow), Dword(rows), entries}));
  }
  // One cell-block entry: flag byte (style, repeat, step bits and kind), then
  // the style and repeat words when given, then the values.
  static Bytes Entry(uint8_t kind, const Bytes& values, int repeat = -1, int style = -1, bool step = false) {
    uint8_t flags = kind;
    Bytes head;
    if (style >= 0) {
      flags |= 0x80;
      head = Cat({head, Word(uint16_t(style))});
    }
    if (repeat >= 0) {
      flags |= 0x40;
      head = Cat({head, Word(uint16_t(repeat))});
    }
    if (step) flags |= 0x20;
    return Cat({{flags}, head, values});
  }
  // Kind 8: the cached result, two flag bytes and a formula number.
  static Bytes FormulaValue(uint64_t bits) { return Cat({Qword(bits), Word(0), Dword(9)}); }
  QuattroBuilder& NotebookFormulaText(uint16_t col, uint32_t row, const std::string& text) {
    return Record(0x0C02, Cat({Word(col), Dword(row), String(text)}));
  }

  // The notebook stream in a compound document.
  static Bytes Compound(const Bytes& stream, const std::string& name = "NativeContent_MAIN") {
    CfbBuilder cfb;
    cfb.AddStream(name, stream);
    return cfb.Build();
  }

  static Bytes Word(uint16_t v) { return LotusBuilder::Word(v); }
  static Bytes Dword(uint32_t v) { return LotusBuilder::Dword(v); }
  static Bytes Qword(uint64_t v) { return LotusBuilder::Qword(v); }
  static Bytes Double(double d) { return LotusBuilder::Double(d); }
  static Bytes Text(const std::string& s) { return LotusBuilder::Text(s); }
  static Bytes Cat(std::initializer_list<Bytes> parts) { return LotusBuilder::Cat(parts); }

 private:
  LotusBuilder FOut;
};
