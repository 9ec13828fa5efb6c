#pragma once
// The record cursor of the binary readers (BIFF, XLSB, Lotus 1-2-3, Quattro
// Pro): one record at a time with its type, data, offset and sheet. Lengths
// are checked against what the stream holds in one place, and a record that
// fails while it is handled goes to the reader's OnErrorProcess in one way,
// naming the record and where it stands.
#include <cstdint>
#include <memory>
#include <string>

#include "ByteReader.h"
#include "QXCells.h"
#include "QXIUtils.h"
#include "Streams.h"

// How a record header is laid out.
enum class TRecordHeaderKind : uint8_t {
  Word,    // 16-bit type, 16-bit length (BIFF, Lotus 1-2-3, Quattro Pro)
  Varint,  // type and size in groups of 7 bits, low group first (XLSB)
};

// Why Next returned false.
enum class TRecordEnd : uint8_t {
  None,       // not at the end
  Clean,      // the stream ended between records
  InHeader,   // the stream ended inside a record header
  InData,     // the stream ended inside a record's data
  BadHeader,  // a header that no record has (an overlong size)
};

class TRecordCursor {
 public:
  // buffer receives each record's data. With maxLength at most the buffer's
  // size, a longer record is passed over (Oversized) and the buffer keeps its
  // size, which is restored when a listener changed it; with kind Varint the
  // buffer holds exactly the record and grows as its bytes arrive, so a false
  // size cannot make the reader allocate.
  TRecordCursor(TCustomSpreadSheetFile& reader, TStream& stream, TRecordHeaderKind kind, TByteArray& buffer,
                size_t maxLength);
  TRecordCursor(const TRecordCursor&) = delete;
  TRecordCursor& operator=(const TRecordCursor&) = delete;

  // Named in messages: the part of a package, the 0-based sheet (none below 0).
  std::string Part;
  int32_t Sheet = -1;

  // Reads the next record; false at the end of the stream, and where the
  // stream ends inside a record (End says which).
  bool Next();
  // Reads the next record only when it has this type and fits the buffer;
  // otherwise it stays for Next and the current record is kept.
  bool NextIf(uint32_t type);
  // The next record is read from this stream position.
  void Seek(int64_t position);

  uint32_t Type() const { return FType; }
  size_t Length() const { return FLength; }
  // Where the current record's header starts in the stream.
  int64_t Offset() const { return FOffset; }
  // The stream position after what was read.
  int64_t Position() const { return FInBase + int64_t(FInPos); }
  // The record was longer than the reader takes: its data was passed over.
  bool Oversized() const { return FOversized; }
  TRecordEnd End() const { return FEnd; }
  // The current record's data; never more than the buffer holds.
  TByteReader View() const {
    return TByteReader(FBuffer.data(), FOversized ? 0 : std::min(FLength, FBuffer.size()));
  }

  // "ends at byte 120 inside record 0x0203 of 14 bytes at stream offset 110";
  // empty when the stream ended cleanly.
  std::string EndText() const;
  // "Record 0x0203 (sheet 2, stream offset 1234)"
  std::string Describe() const;
  // Raises EQXIFileFormatException "<Describe>: <what>."
  [[noreturn]] void Damaged(const std::string& what) const;

  // Runs the handling of the current record. A record too short for the
  // fields read from it, and any other error, is offered to the reader's
  // OnErrorProcess naming the record; without a handler that lets it pass,
  // the error ends the load. E is the reader's exception class for it.
  template <class E = EQXIFileFormatException, class F>
  void Dispatch(F&& handle) {
    try {
      handle();
    } catch (const EBoundsError&) {
      E e(Describe() + " is too short for its data.");
      if (!FReader.ContinueAfterError(e)) throw e;
    } catch (const std::exception& e) {
      if (!FReader.ContinueAfterError(e)) throw;
    }
  }

 private:
  static constexpr size_t kInput = 65536;

  // At least n bytes from FInPos on in FIn; false when the stream ends first.
  bool Available(size_t n);
  bool ReadHeader();
  bool ReadData();
  // Passes over left bytes of the current record, appending them to out
  // when given; false when the stream ends first.
  bool Take(size_t left, TByteArray* out);

  TCustomSpreadSheetFile& FReader;
  TStream& FStream;
  TRecordHeaderKind FKind;
  TByteArray& FBuffer;
  size_t FCapacity;
  size_t FMaxLength;
  std::unique_ptr<uint8_t[]> FIn;
  size_t FInPos = 0;
  size_t FInLen = 0;
  int64_t FInBase = 0;  // stream position of FIn[0]
  uint32_t FType = 0;
  size_t FLength = 0;
  int64_t FOffset = 0;
  bool FOversized = false;
  TRecordEnd FEnd = TRecordEnd::None;
};
