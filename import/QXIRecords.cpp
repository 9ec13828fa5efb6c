#include "QXIRecords.h"

#include <algorithm>
#include <cstring>

#include "SysUtils.h"

TRecordCursor::TRecordCursor(TCustomSpreadSheetFile& reader, TStream& stream, TRecordHeaderKind kind,
                             TByteArray& buffer, size_t maxLength)
    : FReader(reader),
      FStream(stream),
      FKind(kind),
      FBuffer(buffer),
      FCapacity(buffer.size()),
      FMaxLength(kind == TRecordHeaderKind::Varint ? SIZE_MAX : std::min(maxLength, buffer.size())),
      FIn(new uint8_t[kInput]),
      FInBase(stream.Position()) {}

bool TRecordCursor::Available(size_t n) {
  if (FInLen - FInPos >= n) return true;
  // Unread bytes move to the front so a header never straddles a refill.
  std::memmove(FIn.get(), FIn.get() + FInPos, FInLen - FInPos);
  FInBase += int64_t(FInPos);
  FInLen -= FInPos;
  FInPos = 0;
  while (FInLen < n) {
    const int64_t got = FStream.Read(FIn.get() + FInLen, int64_t(kInput - FInLen));
    if (got <= 0) return false;
    FInLen += size_t(got);
  }
  return true;
}

bool TRecordCursor::ReadHeader() {
  if (!Available(1)) {
    FEnd = TRecordEnd::Clean;
    return false;
  }
  if (FKind == TRecordHeaderKind::Word) {
    if (!Available(4)) {
      FEnd = TRecordEnd::InHeader;
      return false;
    }
    const uint8_t* p = FIn.get() + FInPos;
    FType = uint32_t(p[0] | (p[1] << 8));
    FLength = size_t(p[2] | (p[3] << 8));
    FInPos += 4;
    return true;
  }
  // Type (at most four groups here, though two suffice) and size (at most four).
  size_t k = 0;
  auto group = [&](uint32_t& value, size_t maxGroups) -> int {
    value = 0;
    for (size_t i = 0;; ++i) {
      if (!Available(k + 1)) return -1;
      const uint8_t b = FIn[FInPos + k++];
      value |= uint32_t(b & 0x7F) << (7 * i);
      if (!(b & 0x80)) return 1;
      if (i + 1 == maxGroups) return 0;
    }
  };
  uint32_t type = 0, size = 0;
  int got = group(type, 4);
  if (got > 0) got = group(size, 4);
  FType = type;
  if (got < 0) {
    FInPos = FInLen;
    FEnd = TRecordEnd::InHeader;
    return false;
  }
  if (got == 0) {
    FEnd = TRecordEnd::BadHeader;
    return false;
  }
  FInPos += k;
  FLength = size;
  return true;
}

bool TRecordCursor::Take(size_t left, TByteArray* out) {
  while (left > 0) {
    if (!Available(1)) {
      FInPos = FInLen;
      FEnd = TRecordEnd::InData;
      return false;
    }
    const size_t take = std::min(left, FInLen - FInPos);
    if (out) out->insert(out->end(), FIn.get() + FInPos, FIn.get() + FInPos + take);
    FInPos += take;
    left -= take;
  }
  return true;
}

bool TRecordCursor::ReadData() {
  size_t left = FLength;
  if (FLength > FMaxLength) {
    // Passed over without being kept; read rather than sought, so a length
    // beyond the end is seen as the stream ending inside the record.
    FOversized = true;
    return Take(left, nullptr);
  }
  if (FKind == TRecordHeaderKind::Varint) {
    FBuffer.clear();
    return Take(left, &FBuffer);
  }
  // A listener may have resized the buffer: it gets its size back.
  if (FBuffer.size() != FCapacity) FBuffer.assign(FCapacity, 0);
  // A 16-bit length always fits the input block.
  if (!Available(left)) {
    FInPos = FInLen;
    FEnd = TRecordEnd::InData;
    return false;
  }
  if (left) std::memcpy(FBuffer.data(), FIn.get() + FInPos, left);
  FInPos += left;
  return true;
}

bool TRecordCursor::Next() {
  if (FEnd != TRecordEnd::None) return false;
  FOffset = Position();
  FOversized = false;
  FLength = 0;
  return ReadHeader() && ReadData();
}

bool TRecordCursor::NextIf(uint32_t type) {
  if (FEnd != TRecordEnd::None) return false;
  const uint32_t savedType = FType;
  const size_t savedLength = FLength;
  const int64_t savedOffset = FOffset;
  const int64_t at = Position();
  if (ReadHeader() && FType == type && FLength <= FMaxLength) {
    FOffset = at;
    FOversized = false;
    return ReadData();
  }
  // Not taken: Available only drops bytes before FInPos, so `at` is still buffered.
  FInPos = size_t(at - FInBase);
  FEnd = TRecordEnd::None;
  FType = savedType;
  FLength = savedLength;
  FOffset = savedOffset;
  return false;
}

void TRecordCursor::Seek(int64_t position) {
  FEnd = TRecordEnd::None;
  if (position >= FInBase && position <= FInBase + int64_t(FInLen)) {
    FInPos = size_t(position - FInBase);
    return;
  }
  FInBase = FStream.Seek(position, soBeginning);
  FInPos = FInLen = 0;
}

std::string TRecordCursor::EndText() const {
  const std::string at = std::to_string(FInBase + int64_t(FInLen));
  switch (FEnd) {
    case TRecordEnd::InHeader:
      return "ends at byte " + at + " inside a record header";
    case TRecordEnd::InData:
      return "ends at byte " + at + " inside record 0x" + IntToHex(FType, 4) + " of " + std::to_string(FLength) +
             " bytes at stream offset " + std::to_string(FOffset);
    case TRecordEnd::BadHeader:
      return "has a malformed record header at stream offset " + std::to_string(FOffset);
    case TRecordEnd::None:
    case TRecordEnd::Clean:
      break;
  }
  return std::string();
}

std::string TRecordCursor::Describe() const {
  std::string where;
  if (!Part.empty()) where += "part \"" + Part + "\", ";
  if (Sheet >= 0) where += "sheet " + std::to_string(int64_t(Sheet) + 1) + ", ";
  return "Record 0x" + IntToHex(FType, 4) + " (" + where + "stream offset " + std::to_string(FOffset) + ")";
}

void TRecordCursor::Damaged(const std::string& what) const {
  throw EQXIFileFormatException(Describe() + ": " + what + ".");
}
