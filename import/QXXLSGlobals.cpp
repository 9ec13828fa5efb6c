// Workbook-global records of the BIFF reader and the text layouts of each
// BIFF generation.
#include <algorithm>
#include <cstdio>

#include "CodePage.h"
#include "QXICrypt.h"
#include "QXXLS.h"

namespace {

// BIFF code-page numbers that are not Windows code pages.
int WindowsCodePage(uint16_t biff) {
  switch (biff) {
    case 367: return 20127;
    case 0x8000: return 10000;
    case 0x8001: return 1252;
    case 1200: return 1252;  // BIFF8 marker; 8-bit text there is ISO-8859-1 anyway
    default: return biff;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Texts

std::string TMSExcel::CodePageText(const std::string& bytes) const { return BytesToAnsi(bytes, FCodePage); }

std::u16string TMSExcel::CodePageWide(const std::string& bytes) const {
  return DecodeBytes(bytes.data(), bytes.size(), FCodePage);
}

// BIFF8 strings: length (8 or 16 bits), option flags, then (when flagged) the
// rich-text run count and the extension size, then the characters.
std::u16string TMSExcel::ReadBiff8String(const TByteReader& r, size_t off, bool longLength, size_t* next) const {
  size_t len = longLength ? r.U16(off) : r.U8(off);
  size_t p = off + (longLength ? 2 : 1);
  uint8_t flags = r.U8(p++);
  size_t runs = 0, ext = 0;
  if (flags & 0x08) {
    runs = r.U16(p);
    p += 2;
  }
  if (flags & 0x04) {
    ext = r.U32(p);
    p += 4;
  }
  size_t bytes = (flags & 1) ? len * 2 : len;
  std::u16string s = UnicodeText(r, p, bytes, flags & 1);
  if (next) *next = p + bytes + runs * 4 + ext;
  return s;
}

// 8-bit text of BIFF2..BIFF7 in the workbook's code page; in BIFF8 records
// that carry such a length the BIFF8 layout is used by the callers.
std::u16string TMSExcel::ReadByteString(const TByteReader& r, size_t textOffset, size_t length) const {
  return CodePageWide(r.Bytes(textOffset, length));
}

// ---------------------------------------------------------------------------
// Workbook-global records

void TMSExcel::ReadCodePage(const TByteReader& r) { FCodePage = WindowsCodePage(r.U16(0)); }

void TMSExcel::ReadBoundSheet(const TByteReader& r) {
  TXLSSheetName s;
  s.Position = r.U32(0);
  std::u16string name;
  if (FBiff >= 8)
    name = ReadBiff8String(r, 6, false);
  else
    name = ReadByteString(r, 7, r.U8(6));
  s.Name = WideToAnsi(name);
  SheetNames.push_back(std::move(s));
}

void TMSExcel::ReadFormat(const TByteReader& r) {
  // BIFF4 numbers its formats by their order in the file, as BIFF2/3 do;
  // the first two bytes carry no index there.
  int32_t index = FBiff == 4 ? FBiff2FormatCount++ : int32_t(r.U16(0));
  std::u16string text;
  if (FBiff >= 8)
    text = ReadBiff8String(r, 2, true);
  else
    text = ReadByteString(r, 3, r.U8(2));
  AddFormatCode(index, text);
}

void TMSExcel::ReadFormatBiff23(const TByteReader& r) {
  // BIFF2/3 formats are numbered by their order in the file.
  std::u16string text = ReadByteString(r, 1, r.U8(0));
  AddFormatCode(FBiff2FormatCount++, text);
}

int TMSExcel::BuiltInFormatCodePage() const {
  switch (FCodePage) {
    case 932: case 936: case 949: case 950: case 874: return FCodePage;
    default: return TCustomMSExcel::BuiltInFormatCodePage();
  }
}

void TMSExcel::ReadFont(const TByteReader& r) {
  TXLSFont f;
  f.Size = r.U16(0) / 20;
  uint16_t opts = r.U16(2);
  f.Italic = opts & 0x02;
  f.Underline = opts & 0x04;
  f.StrikeOut = opts & 0x08;
  if (RecordHeader.RecNo == 0x0031 && FBiff <= 2) {
    // BIFF2: height, options, name.
    f.Bold = opts & 0x01;
    f.Name = WideToAnsi(ReadByteString(r, 5, r.U8(4)));
  } else if (RecordHeader.RecNo == 0x0231) {
    f.Color = r.U16(4);
    f.Bold = opts & 0x01;
    f.Name = WideToAnsi(ReadByteString(r, 7, r.U8(6)));
  } else {
    f.Color = r.U8(5) != 0 ? -1 : r.U8(4);
    f.Bold = r.U16(6) > 699;
    f.Underline = f.Underline || r.U8(10) != 0;
    f.Charset = r.U8(12);
    if (FBiff >= 8)
      f.Name = WideToAnsi(ReadBiff8String(r, 14, false));
    else
      f.Name = WideToAnsi(ReadByteString(r, 15, r.U8(14)));
  }
  Fonts.push_back(std::move(f));
}

void TMSExcel::ReadXF(const TByteReader& r) {
  switch (RecordHeader.RecNo) {
    case 0x0043:  // BIFF2
      AddFormat(false, "", -1, r.U8(3) & 7, r.U8(0), r.U8(2) & 0x3F);
      break;
    case 0x0243:  // BIFF3 and BIFF4: font, number format, then alignment in
    case 0x0443:  // the low bits of byte 4 (bytes 6-7 hold the fill pattern)
      AddFormat(false, "", -1, r.U8(4) & 7, r.U8(0), r.U8(1));
      break;
    default: {  // 0x00E0, BIFF5 to BIFF8
      uint16_t k = RecordHeader.RecLen > 16 ? r.U16(18) : r.U16(8);
      AddFormat(false, "", ResolveColor(k & 0x7F), r.U16(6), r.U16(0), r.U16(2));
      break;
    }
  }
}

void TMSExcel::ReadPalette(const TByteReader& r) {
  uint16_t count = r.U16(0);
  // Only the colours the record really holds.
  size_t have = (r.Size() - 2) / 4;
  if (count > have) count = uint16_t(have);
  Palette.assign(count, 0);
  for (size_t i = 0; i < count; ++i) Palette[i] = r.U32(2 + 4 * i);
  PaletteCount = count;
}

void TMSExcel::ReadName(const TByteReader& r) {
  TXLSName n;
  if (FBiff <= 4 && RecordHeader.RecNo == 0x0018) {
    // BIFF2: flags, key, name length, definition length, name, definition.
    n.Options = r.U16(0);
    size_t nameLen = r.U8(3), defLen = r.U8(4);
    n.Name = r.Bytes(5, nameLen);
    n.Definition = r.Bytes(5 + nameLen, defLen);
  } else {
    n.Options = r.U16(0);
    size_t nameLen = r.U8(3);
    size_t defLen = r.U16(4);
    size_t p = FBiff >= 5 ? 14 : 6;
    if (FBiff >= 8) {
      uint8_t flags = r.U8(p++);
      n.Name = WideToAnsi(UnicodeText(r, p, (flags & 1) ? nameLen * 2 : nameLen, flags));
      p += (flags & 1) ? nameLen * 2 : nameLen;
    } else {
      n.Name = r.Bytes(p, nameLen);
      p += nameLen;
    }
    n.Definition = r.Bytes(p, std::min(defLen, r.Size() - std::min(p, r.Size())));
  }
  Names.push_back(std::move(n));
}

void TMSExcel::ReadFilePass(const TByteReader& r) {
  Encrypted = true;
  if (FDecrypting) return;
  // A FILEPASS later than where encryption can begin: nothing after it can be read.
  throw EQXIUnknownEncryptionException(ProtectedFileMessage(FilePassSchemeName(r.Data(), r.Size(), FBiff >= 8)));
}

// The next record of a CONTINUE chain into RecordData; false where the
// chain ends (another record, which is left for the main loop, or the end
// of the stream). len and p then describe the new record.
bool TMSExcel::NextContinue(size_t& len, size_t& p) {
  if (!FCursor || !FCursor->NextIf(0x003C)) return false;
  RecordHeader.RecNo = 0x003C;
  RecordHeader.RecLen = uint16_t(FCursor->Length());
  StreamPosition = uint64_t(FCursor->Position());
  len = FCursor->Length();
  p = 0;
  return true;
}

// chars characters of a BIFF8 string from p on, running on into CONTINUE
// records, each of which starts with a new width byte. A string that runs
// past the chain's end is cut there (chainEnds).
std::u16string TMSExcel::ReadContinuedChars(size_t& len, size_t& p, uint8_t flags, size_t chars, bool& chainEnds) {
  std::u16string text;
  text.reserve(std::min<size_t>(chars, 8224));
  chainEnds = false;
  for (;;) {
    TByteReader cur(RecordData.data(), len);
    const size_t width = (flags & 1) ? 2 : 1;
    const size_t avail = len > p ? (len - p) / width : 0;
    if (chars <= avail) {
      text += UnicodeText(cur, p, chars * width, flags & 1);
      p += chars * width;
      return text;
    }
    text += UnicodeText(cur, p, avail * width, flags & 1);
    chars -= avail;
    if (!NextContinue(len, p)) {
      chainEnds = true;
      return text;
    }
    if (len == 0) continue;
    flags = uint8_t((flags & ~1) | (RecordData[0] & 1));
    p = 1;
  }
}

// Shared strings, continued over CONTINUE records.
void TMSExcel::ReadSST(const TByteReader& first) {
  uint32_t count = first.U32(4);
  size_t p = 8;
  size_t len = RecordHeader.RecLen;
  // Each string takes at least 3 bytes, so a count larger than the data
  // could hold is not believed for the reservation.
  int64_t left = std::max<int64_t>(0, FStreamSize - FCursor->Position());
  SharedStrings.reserve(std::min<size_t>(count, size_t(left) / 3 + len / 3 + 1));
  for (uint32_t i = 0; i < count; ++i) {
    while (len < p + 3)
      if (!NextContinue(len, p)) return;
    TByteReader r(RecordData.data(), len);
    size_t length = r.U16(p);
    uint8_t flags = r.U8(p + 2);
    p += 3;
    if (!(flags == 0 || flags == 1 || (flags & 0x04) || (flags & 0x08))) {
      char msg[128];
      std::snprintf(msg, sizeof msg, SSSTStringOptions, unsigned(flags));
      throw EQXIExcelException(msg);
    }
    size_t runs = 0, ext = 0;
    if (flags & 0x08) {
      if (!r.Fits(p, 2)) return;  // a damaged string ends the table
      runs = r.U16(p);
      p += 2;
    }
    if (flags & 0x04) {
      if (!r.Fits(p, 4)) return;
      ext = r.U32(p);
      p += 4;
    }
    bool chainEnds = false;
    std::u16string text = ReadContinuedChars(len, p, flags, length, chainEnds);
    std::string entry = WideToAnsi(text);
    ExpandLineFeeds(entry);
    SharedStrings.emplace_back(std::move(entry));
    if (chainEnds) return;
    // Formatting runs and the extension block may spill into a CONTINUE
    // record (without a width byte there).
    size_t skip = runs * 4 + ext;
    while (skip > 0) {
      size_t here = std::min(skip, len > p ? len - p : 0);
      p += here;
      skip -= here;
      if (skip > 0 && !NextContinue(len, p)) return;
    }
  }
}
