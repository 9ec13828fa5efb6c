#pragma once
// Writes a compound document (version 3, 512-byte sectors) straight into a
// seekable sink: streams one after another at the root, each written in
// order. A stream's bytes go to the sink as soon as it passes the 4096-byte
// cut-off (its sectors lie one after another); a shorter stream waits in
// memory and goes into the mini stream at Finish. Finish appends the mini
// stream, the directory, the FAT and, beyond 109 FAT sectors, the DIFAT
// sectors, then writes the header at the start. Memory: 4 KB per open
// stream plus 4 bytes per sector of the file for the FAT.
#include <cstdint>
#include <string>
#include <vector>

#include "Exception.h"
#include "Streams.h"

VARNOWE_EXCEPTION(EOleWriteError, Exception);

class TQXEOleWriter {
 public:
  // The document starts at the sink's current position.
  explicit TQXEOleWriter(TStream& sink);
  TQXEOleWriter(const TQXEOleWriter&) = delete;
  TQXEOleWriter& operator=(const TQXEOleWriter&) = delete;

  // A new stream at the root; the previous one ends. Names hold 1 to 31
  // UTF-16 units, none of "/\:!", and differ from one another ignoring case.
  void BeginStream(const std::u16string& name);
  void Write(const void* data, size_t size);
  // Copies count bytes of source from its current position.
  void CopyFrom(TStream& source, int64_t count);
  void EndStream();
  // Ends the open stream and writes the tables and the header. The sink is
  // left at the end of the document.
  void Finish();

  static constexpr uint32_t SectorSize = 512;
  static constexpr uint32_t MiniSectorSize = 64;
  static constexpr uint32_t MiniStreamCutoff = 4096;
  // Version 3 records a stream's size in 32 bits.
  static constexpr uint64_t MaxStreamSize = 0xFFFFFFFFull;

 private:
  struct TEntry {
    std::u16string Name;
    uint64_t Size = 0;
    uint32_t Start = 0;                  // first sector, or mini sector for a small stream
    uint32_t SectorCount = 0;            // regular sectors, one run
    std::vector<uint8_t> Small;          // the bytes while below the cut-off
    bool Big = false;
  };
  void SpillSmall(TEntry& e);
  void WriteSectors(const void* data, size_t size);
  void PadSector();
  void WriteU32s(const std::vector<uint32_t>& values);

  TStream& FSink;
  int64_t FBase;
  uint32_t FNextSector = 0;     // sectors written after the header
  uint32_t FPending = 0;        // bytes of the current sector already written
  std::vector<TEntry> FEntries;
  bool FOpen = false;
  bool FFinished = false;
};
