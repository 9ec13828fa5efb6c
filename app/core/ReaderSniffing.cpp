#include "ReaderSniffing.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "ByteReader.h"
#include "Streams.h"

const char* ReaderKindName(TReaderKind kind) {
  switch (kind) {
    case rkMSExcel: return "Excel BIFF";
    case rkMSExcelX: return "Excel Open XML";
    case rkLotus123: return "Lotus 1-2-3";
    case rkQuattroPro: return "Quattro Pro";
    case rkOpenOffice: return "OpenDocument";
    case rkNone: break;
  }
  return "unknown";
}

TReaderKind ReaderKindByExtension(const std::string& upperExt) {
  struct Entry {
    const char* Ext;
    TReaderKind Kind;
  };
  static const Entry table[] = {
      {".XLS", rkMSExcel},     {".XLW", rkMSExcel},     {".XLSX", rkMSExcelX},   {".XLSM", rkMSExcelX},
      {".XLTX", rkMSExcelX},   {".XLTM", rkMSExcelX},   {".XLAX", rkMSExcelX},   {".XLAM", rkMSExcelX},
      {".XLSB", rkMSExcelX},   {".XLTB", rkMSExcelX},   {".XLAB", rkMSExcelX},   {".WK1", rkLotus123},
      {".WK2", rkLotus123},    {".WK3", rkLotus123},    {".WK4", rkLotus123},    {".WR1", rkLotus123},
      {".123", rkLotus123},    {".WQ1", rkQuattroPro},  {".WQ2", rkQuattroPro},  {".WKQ", rkQuattroPro},
      {".WB3", rkQuattroPro},  {".WQ!", rkQuattroPro},  {".QPW", rkQuattroPro},  {".ODS", rkOpenOffice},
      {".WB1", rkQuattroPro},  {".WB2", rkQuattroPro},
  };
  for (const Entry& e : table)
    if (upperExt == e.Ext) return e.Kind;
  return rkNone;
}

namespace {

constexpr uint8_t CompoundSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr char OdsMimeType[] = "application/vnd.oasis.opendocument.spreadsheet";

// A zip package: OpenDocument keeps its mimetype as the first entry, stored.
TReaderKind SniffZip(const TByteReader& r) {
  constexpr size_t headerSize = 30;
  if (!r.Fits(0, headerSize)) return rkMSExcelX;
  uint16_t method = r.U16(8);
  uint32_t storedSize = r.U32(18);
  uint16_t nameLength = r.U16(26);
  uint16_t extraLength = r.U16(28);
  if (nameLength != 8 || !r.Fits(headerSize, 8) || r.Bytes(headerSize, 8) != "mimetype") return rkMSExcelX;
  size_t dataStart = headerSize + nameLength + extraLength;
  size_t mimeLength = sizeof(OdsMimeType) - 1;
  // The spreadsheet type and its template ("...spreadsheet-template") both qualify.
  if (method == 0 && storedSize >= mimeLength && r.Fits(dataStart, mimeLength) &&
      r.Bytes(dataStart, mimeLength) == OdsMimeType)
    return rkOpenOffice;
  // Another OpenDocument kind (text, drawing): no reader of ours.
  return rkNone;
}

// Lotus and Quattro Pro share the BOF record; the version word tells them
// apart. (Works files begin with opcode 0xFF and are neither.)
TReaderKind SniffLotusBof(const TByteReader& r) {
  if (!r.Fits(0, 6)) return rkNone;
  uint16_t opcode = r.U16(0);
  uint16_t length = r.U16(2);
  uint16_t version = r.U16(4);
  if (opcode != 0x0000 || length < 2) return rkNone;
  switch (version) {
    case 0x0404: case 0x0405: case 0x0406:
    case 0x1000: case 0x1003: case 0x1004: case 0x1005: case 0x8007:
      return rkLotus123;
    case 0x1002:
      // Lotus WK4 has a long BOF; the Quattro Pro WB2 one carries only the word.
      return length == 2 ? rkQuattroPro : rkLotus123;
    case 0x0101: case 0x1001: case 0x5120: case 0x0102: case 0x5121: case 0x0A0B: case 0x1007:
      return rkQuattroPro;
    default:
      return rkNone;
  }
}

bool IsBiffBof(const TByteReader& r) {
  if (!r.Fits(0, 4)) return false;
  uint16_t id = r.U16(0);
  uint16_t length = r.U16(2);
  if (id != 0x0009 && id != 0x0209 && id != 0x0409 && id != 0x0809) return false;
  // BOF records carry 4 (BIFF2) to 16 (BIFF8) bytes; anything else is not a BOF.
  return length >= 4 && length <= 32;
}

// A compound document whose first directory sector names a "..._MAIN"
// stream and no workbook stream holds a Quattro Pro notebook.
bool HoldsQuattroNotebook(TStream& stream, const TByteReader& header) {
  if (!header.Fits(0, 52)) return false;
  const uint16_t shift = header.U16(30);
  if (shift != 9 && shift != 12) return false;
  const uint64_t offset = (uint64_t(header.U32(48)) + 1) << shift;
  if (offset > uint64_t(stream.Size())) return false;
  stream.SetPosition(int64_t(offset));
  uint8_t sector[4096];
  const int64_t got = stream.Read(sector, int64_t(size_t(1) << shift));
  bool notebook = false;
  for (int64_t e = 0; e + 128 <= got; e += 128) {
    const TByteReader entry(sector + e, 128);
    const size_t chars = std::min<size_t>(entry.U16(64) / 2, 32);
    if (entry.U8(66) != 2 || chars < 2) continue;  // streams only
    std::string name;
    for (size_t i = 0; i + 1 < chars; ++i) {
      const char16_t c = entry.U16(2 * i);
      name += c < 0x80 ? char(std::toupper(int(c))) : '?';
    }
    if (name == "WORKBOOK" || name == "BOOK") return false;
    if (name.find("_MAIN") != std::string::npos) notebook = true;
  }
  return notebook;
}

}  // namespace

TReaderKind SniffReaderKind(const uint8_t* data, size_t size) {
  TByteReader r(data, size);
  if (r.Fits(0, 8) && std::memcmp(data, CompoundSignature, 8) == 0) return rkMSExcel;
  if (r.Fits(0, 4) && std::memcmp(data, "PK\x03\x04", 4) == 0) return SniffZip(r);
  if (IsBiffBof(r)) return rkMSExcel;
  return SniffLotusBof(r);
}

TReaderKind SniffFileReaderKind(const std::string& path) {
  TFileStream stream(path, fmOpenRead | fmShareDenyNone);
  return SniffStreamReaderKind(stream);
}

TReaderKind SniffStreamReaderKind(TStream& stream) {
  struct TRewind {
    TStream& Stream;
    ~TRewind() { Stream.SetPosition(0); }
  } rewind{stream};
  stream.SetPosition(0);
  uint8_t header[SniffHeaderSize];
  int64_t got = stream.Read(header, int64_t(sizeof(header)));
  const size_t size = got > 0 ? size_t(got) : 0;
  TReaderKind kind = SniffReaderKind(header, size);
  if (kind == rkMSExcel && size >= 8 && std::memcmp(header, CompoundSignature, 8) == 0 &&
      HoldsQuattroNotebook(stream, TByteReader(header, size)))
    return rkQuattroPro;
  return kind;
}
