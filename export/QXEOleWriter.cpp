#include "QXEOleWriter.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <numeric>

#include "ByteWriter.h"
#include "CodePage.h"

namespace {

constexpr uint32_t FREESECT = 0xFFFFFFFF, ENDOFCHAIN = 0xFFFFFFFE, FATSECT = 0xFFFFFFFD, DIFSECT = 0xFFFFFFFC,
                   NOSTREAM = 0xFFFFFFFF;
constexpr uint32_t HeaderDifatCount = 109;
constexpr uint32_t EntriesPerSector = TQXEOleWriter::SectorSize / 4;
constexpr uint32_t DirEntrySize = 128;

char16_t UpperUnit(char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; }

// The directory's order: shorter names first, then unit by unit ignoring case.
int CompareNames(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  for (size_t i = 0; i < a.size(); ++i) {
    const char16_t x = UpperUnit(a[i]), y = UpperUnit(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

uint32_t SectorsFor(uint64_t bytes, uint32_t size) { return uint32_t((bytes + size - 1) / size); }

}  // namespace

TQXEOleWriter::TQXEOleWriter(TStream& sink) : FSink(sink), FBase(sink.Position()) {
  // The header's place; it is written last.
  const uint8_t zero[SectorSize] = {};
  FSink.WriteBuffer(zero, SectorSize);
}

void TQXEOleWriter::BeginStream(const std::u16string& name) {
  if (FFinished) throw EOleWriteError("The compound document is already finished");
  EndStream();
  if (name.empty() || name.size() > 31)
    throw EOleWriteError("Stream name \"" + Utf16ToUtf8(name) + "\" must have 1 to 31 characters");
  if (name.find_first_of(u"/\\:!") != std::u16string::npos)
    throw EOleWriteError("Stream name \"" + Utf16ToUtf8(name) + "\" holds a character names cannot hold");
  for (const TEntry& e : FEntries)
    if (CompareNames(e.Name, name) == 0)
      throw EOleWriteError("Stream name \"" + Utf16ToUtf8(name) + "\" is used twice");
  FEntries.push_back(TEntry{});
  FEntries.back().Name = name;
  FOpen = true;
}

void TQXEOleWriter::WriteSectors(const void* data, size_t size) {
  if (size == 0) return;
  FSink.WriteBuffer(data, int64_t(size));
  const uint64_t total = uint64_t(FPending) + size;
  const uint64_t whole = total / SectorSize;
  if (whole > uint64_t(ENDOFCHAIN - 16) - FNextSector)
    throw EOleWriteError("The compound document has grown beyond its sector numbers");
  FNextSector += uint32_t(whole);
  FPending = uint32_t(total % SectorSize);
}

void TQXEOleWriter::PadSector() {
  if (FPending == 0) return;
  const uint8_t zero[SectorSize] = {};
  WriteSectors(zero, SectorSize - FPending);
}

void TQXEOleWriter::SpillSmall(TEntry& e) {
  e.Big = true;
  e.Start = FNextSector;
  WriteSectors(e.Small.data(), e.Small.size());
  std::vector<uint8_t>().swap(e.Small);
}

void TQXEOleWriter::Write(const void* data, size_t size) {
  if (!FOpen) throw EOleWriteError("No stream is open in the compound document");
  if (size == 0) return;
  TEntry& e = FEntries.back();
  if (size > MaxStreamSize - e.Size)
    throw EOleWriteError("Stream \"" + Utf16ToUtf8(e.Name) + "\" would exceed the 4 GB a compound document stream holds");
  e.Size += size;
  if (e.Big) {
    WriteSectors(data, size);
    return;
  }
  const uint8_t* p = static_cast<const uint8_t*>(data);
  e.Small.insert(e.Small.end(), p, p + size);
  if (e.Small.size() >= MiniStreamCutoff) SpillSmall(e);
}

void TQXEOleWriter::CopyFrom(TStream& source, int64_t count) {
  std::vector<uint8_t> buf(1 << 16);
  while (count > 0) {
    const int64_t n = std::min<int64_t>(count, int64_t(buf.size()));
    source.ReadBuffer(buf.data(), n);
    Write(buf.data(), size_t(n));
    count -= n;
  }
}

void TQXEOleWriter::EndStream() {
  if (!FOpen) return;
  FOpen = false;
  TEntry& e = FEntries.back();
  if (e.Big) {
    PadSector();
    e.SectorCount = SectorsFor(e.Size, SectorSize);
  }
}

void TQXEOleWriter::WriteU32s(const std::vector<uint32_t>& values) {
  std::vector<uint8_t> bytes(values.size() * 4);
  for (size_t i = 0; i < values.size(); ++i) PutU32(bytes.data() + 4 * i, values[i]);
  WriteSectors(bytes.data(), bytes.size());
  PadSector();
}

void TQXEOleWriter::Finish() {
  if (FFinished) return;
  EndStream();
  FFinished = true;

  // Runs of regular sectors, each (first, count), chained in the FAT.
  std::vector<std::pair<uint32_t, uint32_t>> runs;
  for (const TEntry& e : FEntries)
    if (e.Big) runs.emplace_back(e.Start, e.SectorCount);

  // The mini stream: the short streams one after another, each from a mini
  // sector boundary, with its own chain table.
  std::vector<uint32_t> miniFat;
  uint32_t miniStart = ENDOFCHAIN;
  uint64_t miniSize = 0;
  {
    std::vector<uint8_t> mini;
    for (TEntry& e : FEntries) {
      if (e.Big) continue;
      if (e.Size == 0) {
        e.Start = ENDOFCHAIN;
        continue;
      }
      const uint32_t first = uint32_t(miniFat.size());
      const uint32_t n = SectorsFor(e.Size, MiniSectorSize);
      e.Start = first;
      for (uint32_t i = 0; i < n; ++i) miniFat.push_back(i + 1 < n ? first + i + 1 : ENDOFCHAIN);
      mini.insert(mini.end(), e.Small.begin(), e.Small.end());
      mini.resize(size_t(miniFat.size()) * MiniSectorSize, 0);
    }
    if (!mini.empty()) {
      miniStart = FNextSector;
      miniSize = mini.size();
      WriteSectors(mini.data(), mini.size());
      PadSector();
      runs.emplace_back(miniStart, SectorsFor(miniSize, SectorSize));
    }
  }
  uint32_t miniFatStart = ENDOFCHAIN, miniFatSectors = 0;
  if (!miniFat.empty()) {
    miniFatStart = FNextSector;
    miniFat.resize(size_t(SectorsFor(miniFat.size(), EntriesPerSector)) * EntriesPerSector, FREESECT);
    WriteU32s(miniFat);
    miniFatSectors = uint32_t(miniFat.size() / EntriesPerSector);
    runs.emplace_back(miniFatStart, miniFatSectors);
  }

  // The directory: the root, then the streams, as a binary search tree in
  // the directory's order under the root (all black, which readers accept).
  const size_t entryCount = FEntries.size() + 1;
  const uint32_t dirSectors = SectorsFor(entryCount * DirEntrySize, SectorSize);
  std::vector<uint8_t> dir(size_t(dirSectors) * SectorSize, 0);
  std::vector<uint32_t> left(entryCount, NOSTREAM), right(entryCount, NOSTREAM);
  std::vector<uint32_t> order(FEntries.size());
  std::iota(order.begin(), order.end(), 1u);
  std::sort(order.begin(), order.end(),
            [&](uint32_t a, uint32_t b) { return CompareNames(FEntries[a - 1].Name, FEntries[b - 1].Name) < 0; });
  std::function<uint32_t(size_t, size_t)> build = [&](size_t lo, size_t hi) -> uint32_t {
    if (lo >= hi) return NOSTREAM;
    const size_t mid = lo + (hi - lo) / 2;
    const uint32_t id = order[mid];
    left[id] = build(lo, mid);
    right[id] = build(mid + 1, hi);
    return id;
  };
  const uint32_t top = build(0, order.size());
  auto putEntry = [&](size_t id, const std::u16string& name, uint8_t type, uint32_t child, uint32_t start,
                      uint64_t size) {
    uint8_t* p = dir.data() + id * DirEntrySize;
    for (size_t i = 0; i < name.size(); ++i) PutU16(p + 2 * i, name[i]);
    PutU16(p + 64, uint32_t(name.size() + 1) * 2);
    p[66] = type;
    p[67] = 1;  // black
    PutU32(p + 68, left[id]);
    PutU32(p + 72, right[id]);
    PutU32(p + 76, child);
    PutU32(p + 116, start);
    PutU32(p + 120, uint32_t(size));
  };
  putEntry(0, u"Root Entry", 5, top, miniStart, miniSize);
  for (size_t i = 0; i < FEntries.size(); ++i) {
    const TEntry& e = FEntries[i];
    putEntry(i + 1, e.Name, 2, NOSTREAM, e.Size == 0 ? ENDOFCHAIN : e.Start, e.Size);
  }
  for (size_t id = entryCount; id < dir.size() / DirEntrySize; ++id) {
    uint8_t* p = dir.data() + id * DirEntrySize;
    PutU32(p + 68, NOSTREAM);
    PutU32(p + 72, NOSTREAM);
    PutU32(p + 76, NOSTREAM);
  }
  const uint32_t dirStart = FNextSector;
  WriteSectors(dir.data(), dir.size());
  runs.emplace_back(dirStart, dirSectors);

  // FAT and DIFAT sectors must count themselves.
  const uint64_t dataSectors = FNextSector;
  uint32_t fatSectors = SectorsFor(dataSectors, EntriesPerSector), difatSectors = 0;
  for (;;) {
    difatSectors = fatSectors > HeaderDifatCount ? SectorsFor(fatSectors - HeaderDifatCount, EntriesPerSector - 1) : 0;
    if (uint64_t(fatSectors) * EntriesPerSector >= dataSectors + fatSectors + difatSectors) break;
    ++fatSectors;
  }
  const uint32_t fatStart = FNextSector;
  const uint32_t difatStart = fatStart + fatSectors;
  std::vector<uint32_t> fat(size_t(fatSectors) * EntriesPerSector, FREESECT);
  for (const auto& [first, count] : runs)
    for (uint32_t i = 0; i < count; ++i) fat[first + i] = i + 1 < count ? first + i + 1 : ENDOFCHAIN;
  for (uint32_t i = 0; i < fatSectors; ++i) fat[fatStart + i] = FATSECT;
  for (uint32_t i = 0; i < difatSectors; ++i) fat[difatStart + i] = DIFSECT;
  WriteU32s(fat);
  if (difatSectors > 0) {
    std::vector<uint32_t> difat(size_t(difatSectors) * EntriesPerSector, FREESECT);
    for (uint32_t i = HeaderDifatCount; i < fatSectors; ++i) {
      const uint32_t k = i - HeaderDifatCount;
      difat[(k / (EntriesPerSector - 1)) * EntriesPerSector + k % (EntriesPerSector - 1)] = fatStart + i;
    }
    for (uint32_t s = 0; s < difatSectors; ++s)
      difat[s * EntriesPerSector + EntriesPerSector - 1] = s + 1 < difatSectors ? difatStart + s + 1 : ENDOFCHAIN;
    WriteU32s(difat);
  }
  const int64_t end = FSink.Position();

  uint8_t h[SectorSize];
  std::memset(h, 0, sizeof h);
  const uint8_t signature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::memcpy(h, signature, 8);
  PutU16(h + 24, 0x003E);  // minor version
  PutU16(h + 26, 0x0003);  // major version: 512-byte sectors
  PutU16(h + 28, 0xFFFE);  // little-endian
  PutU16(h + 30, 9);       // sector shift
  PutU16(h + 32, 6);       // mini sector shift
  PutU32(h + 44, fatSectors);
  PutU32(h + 48, dirStart);
  PutU32(h + 56, MiniStreamCutoff);
  PutU32(h + 60, miniFatStart);
  PutU32(h + 64, miniFatSectors);
  PutU32(h + 68, difatSectors ? difatStart : ENDOFCHAIN);
  PutU32(h + 72, difatSectors);
  for (uint32_t i = 0; i < HeaderDifatCount; ++i) PutU32(h + 76 + 4 * i, i < fatSectors ? fatStart + i : FREESECT);
  FSink.SetPosition(FBase);
  FSink.WriteBuffer(h, SectorSize);
  FSink.SetPosition(end);
}
