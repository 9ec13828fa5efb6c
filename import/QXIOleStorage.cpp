// Compound-file container reader. The whole container is held in memory;
// the header, the allocation tables and the directory are checked once when
// it is opened, and every chain a stream uses is checked when it is opened.
#include "QXIOleStorage.h"

#include <algorithm>
#include <cstring>

#include "ByteReader.h"

namespace {

constexpr uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr uint32_t kMaxRegSect = 0xFFFFFFFAu;
constexpr uint32_t kEndOfChain = 0xFFFFFFFEu;
constexpr uint32_t kFreeSect = 0xFFFFFFFFu;
constexpr uint32_t kNoStream = 0xFFFFFFFFu;
constexpr uint32_t kDirEntrySize = 128;

[[noreturn]] void Damaged(const std::string& what) {
  throw EOleError("The compound document is damaged: " + what + ".");
}

// A structure the file needs lies past its end: the file was cut off.
[[noreturn]] void CutOff(const std::string& what) {
  throw EOleError("The compound document is truncated: " + what + " lies past the end of the file.");
}

char16_t FoldCase(char16_t c) {
  if (c >= u'a' && c <= u'z') return char16_t(c - 32);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return char16_t(c - 32);
  return c;
}

bool SameName(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  return true;
}

}  // namespace

struct TCompoundDirEntry {
  std::u16string Name;
  uint8_t Type = 0;  // 0 unused, 1 storage, 2 stream, 5 root
  uint32_t Left = kNoStream;
  uint32_t Right = kNoStream;
  uint32_t Child = kNoStream;
  uint32_t Start = 0;
  uint64_t Size = 0;
};

class TCompoundFile {
 public:
  explicit TCompoundFile(std::vector<uint8_t> data) : FData(std::move(data)) { Parse(); }

  const uint8_t* Data() const { return FData.data(); }
  uint64_t DataSize() const { return FData.size(); }
  const std::vector<TCompoundDirEntry>& Entries() const { return FEntries; }

  // The children of a storage entry, in tree order.
  std::vector<uint32_t> Children(uint32_t storage) const {
    std::vector<uint32_t> out;
    std::vector<bool> seen(FEntries.size(), false);
    std::vector<uint32_t> stack;
    uint32_t node = FEntries[storage].Child;
    // In-order walk with an explicit stack; a node met twice means the tree
    // is cyclic, which a sound file never is.
    while (node != kNoStream || !stack.empty()) {
      while (node != kNoStream) {
        if (node >= FEntries.size()) Damaged("directory entry number out of range");
        if (seen[node]) Damaged("directory tree loops");
        seen[node] = true;
        stack.push_back(node);
        node = FEntries[node].Left;
      }
      node = stack.back();
      stack.pop_back();
      out.push_back(node);
      node = FEntries[node].Right;
    }
    return out;
  }

  // A stream whose sectors run past the end of a cut file opens with the
  // bytes that are there; the stream tells it is truncated.
  std::shared_ptr<TOleStorageStream> OpenEntry(std::shared_ptr<const TCompoundFile> self, uint32_t entry) const {
    const TCompoundDirEntry& e = FEntries[entry];
    std::vector<uint64_t> offsets;
    uint64_t available = e.Size;
    if (e.Size < FMiniCutoff) {
      uint64_t count = (e.Size + 63) / 64;
      offsets.reserve(size_t(std::min<uint64_t>(count, FMiniFat.size())));
      std::vector<bool> seen(FMiniFat.size(), false);
      uint32_t s = e.Start;
      for (uint64_t i = 0; i < count; ++i) {
        if (s == kEndOfChain) Damaged("a stream is longer than its mini sector chain");
        if (s >= FMiniFat.size()) Damaged("mini sector number out of range");
        if (seen[s]) Damaged("a mini sector chain loops");
        seen[s] = true;
        uint64_t pos = uint64_t(s) * 64;
        uint64_t sector = pos / FSectorSize;
        uint64_t need = std::min<uint64_t>(64, e.Size - i * 64);
        if (sector >= FMiniStream.size()) {
          if (!FMiniStreamCut) Damaged("mini sector beyond the mini stream");
          available = i * 64;
          break;
        }
        uint64_t off = FMiniStream[size_t(sector)] + pos % FSectorSize;
        if (off + need > FData.size()) {
          available = i * 64 + (off < FData.size() ? FData.size() - off : 0);
          if (off < FData.size()) offsets.push_back(off);
          break;
        }
        offsets.push_back(off);
        s = FMiniFat[s];
      }
      return std::make_shared<TOleStorageStream>(std::move(self), std::move(offsets), 64, available, e.Size);
    }
    offsets = Chain(e.Start, e.Size, "stream", &available);
    return std::make_shared<TOleStorageStream>(std::move(self), std::move(offsets), FSectorSize, available, e.Size);
  }

 private:
  uint64_t SectorOffset(uint32_t s) const { return (uint64_t(s) + 1) * FSectorSize; }

  // File offsets of the sectors holding size bytes from sector start. With
  // available, a chain that runs past the end of the file (a cut file) ends
  // there and *available receives the bytes it holds; without, that is damage.
  std::vector<uint64_t> Chain(uint32_t start, uint64_t size, const char* what, uint64_t* available = nullptr) const {
    uint64_t count = size / FSectorSize + (size % FSectorSize != 0);
    if (!available && count > FSectorCount) Damaged(std::string("a ") + what + " is longer than the file");
    std::vector<uint64_t> out;
    out.reserve(size_t(std::min<uint64_t>(count, FSectorCount)));
    std::vector<bool> seen(size_t(FSectorCount), false);
    uint32_t s = start;
    for (uint64_t i = 0; i < count; ++i) {
      if (s == kEndOfChain) Damaged(std::string("a ") + what + " is longer than its sector chain");
      if (s >= FFat.size()) Damaged("sector number out of range");
      uint64_t off = SectorOffset(s);
      uint64_t need = std::min<uint64_t>(FSectorSize, size - i * FSectorSize);
      if (s >= FSectorCount || off + need > FData.size()) {
        if (!available) Damaged(std::string("a ") + what + " reaches beyond the end of the file");
        // The allocation table goes on where the file was cut off.
        *available = i * FSectorSize;
        if (off < FData.size()) {
          *available += FData.size() - off;
          out.push_back(off);
        }
        return out;
      }
      if (seen[s]) Damaged(std::string("the sector chain of a ") + what + " loops");
      seen[s] = true;
      out.push_back(off);
      s = FFat[s];
    }
    return out;
  }

  // Follows a chain to its end; a chain longer than the file has sectors loops.
  std::vector<uint32_t> WholeChain(uint32_t start, const char* what) const {
    std::vector<uint32_t> out;
    uint32_t s = start;
    while (s != kEndOfChain) {
      if (s >= FFat.size()) Damaged(std::string("sector number out of range in the ") + what);
      if (s >= FSectorCount) CutOff(std::string("part of its ") + what);
      if (out.size() >= FSectorCount) Damaged(std::string("the ") + what + " chain loops");
      out.push_back(s);
      s = FFat[s];
    }
    return out;
  }

  uint32_t U32(uint64_t off) const {
    TByteReader r(FData.data(), FData.size());
    return r.U32(size_t(off));
  }

  void Parse() {
    if (FData.size() < 512 || std::memcmp(FData.data(), kSignature, 8) != 0)
      throw EOleError("The file is not a compound document.");
    TByteReader h(FData.data(), 512);
    uint16_t major = h.U16(0x1A);
    uint16_t shift = h.U16(0x1E);
    if (shift != 9 && shift != 12) Damaged("unknown sector size");
    if (h.U16(0x20) != 6) Damaged("unknown mini sector size");
    FSectorSize = 1u << shift;
    FMajor = major;
    if (FData.size() <= FSectorSize) Damaged("no sectors after the header");
    // A file whose last sector is cut short (writers that trim it, copies
    // that lost a few bytes) reads the missing bytes as zeros.
    if (const uint64_t tail = (FData.size() - FSectorSize) % FSectorSize) {
      FPadded = uint32_t(FSectorSize - tail);
      FData.resize(FData.size() + FPadded, 0);
      h = TByteReader(FData.data(), 512);  // the block moved
    }
    FSectorCount = (FData.size() - FSectorSize + FSectorSize - 1) / FSectorSize;
    uint32_t numFat = h.U32(0x2C);
    uint32_t firstDir = h.U32(0x30);
    FMiniCutoff = h.U32(0x38);
    if (FMiniCutoff == 0) FMiniCutoff = 4096;
    uint32_t firstMiniFat = h.U32(0x3C);
    uint32_t numMiniFat = h.U32(0x40);
    uint32_t firstDifat = h.U32(0x44);
    uint32_t numDifat = h.U32(0x48);
    if (numFat > FSectorCount) Damaged("more allocation table sectors than the file holds");

    // The allocation table sectors: 109 in the header, the rest in the DIFAT chain.
    std::vector<uint32_t> fatSectors;
    fatSectors.reserve(numFat);
    for (uint32_t i = 0; i < 109 && fatSectors.size() < numFat; ++i) {
      uint32_t s = h.U32(0x4C + 4 * i);
      if (s == kFreeSect) break;
      fatSectors.push_back(s);
    }
    uint32_t d = firstDifat;
    uint64_t difatSeen = 0;
    const uint32_t perDifat = FSectorSize / 4 - 1;
    while (fatSectors.size() < numFat && d != kEndOfChain && d != kFreeSect) {
      if (d >= FSectorCount) Damaged("DIFAT sector number out of range");
      if (++difatSeen > FSectorCount || (numDifat && difatSeen > numDifat + 1)) Damaged("the DIFAT chain loops");
      uint64_t off = SectorOffset(d);
      if (off + FSectorSize > FData.size()) Damaged("a DIFAT sector lies beyond the end of the file");
      for (uint32_t i = 0; i < perDifat && fatSectors.size() < numFat; ++i) {
        uint32_t s = U32(off + 4 * i);
        if (s == kFreeSect) continue;
        fatSectors.push_back(s);
      }
      d = U32(off + 4 * perDifat);
    }
    if (fatSectors.empty()) Damaged("no allocation table");

    FFat.reserve(fatSectors.size() * (FSectorSize / 4));
    for (uint32_t s : fatSectors) {
      // A sector the table's own size could describe was cut off; any other number is damage.
      if (s >= FSectorCount && uint64_t(s) < uint64_t(numFat) * (FSectorSize / 4)) CutOff("part of its allocation table");
      if (s > kMaxRegSect || s >= FSectorCount) Damaged("allocation table sector number out of range");
      uint64_t off = SectorOffset(s);
      // The last sector may be cut short by writers that trim the file.
      uint64_t end = std::min<uint64_t>(off + FSectorSize, FData.size());
      for (uint64_t p = off; p + 4 <= end; p += 4) FFat.push_back(U32(p));
      for (uint64_t p = end; p < off + FSectorSize; p += 4) FFat.push_back(kFreeSect);
    }

    // Directory
    std::vector<uint32_t> dirChain = WholeChain(firstDir, "directory");
    if (dirChain.empty()) Damaged("empty directory");
    const uint32_t perSector = FSectorSize / kDirEntrySize;
    FEntries.reserve(dirChain.size() * perSector);
    for (uint32_t s : dirChain) {
      uint64_t off = SectorOffset(s);
      if (off + FSectorSize > FData.size()) Damaged("a directory sector lies beyond the end of the file");
      for (uint32_t i = 0; i < perSector; ++i) FEntries.push_back(ReadEntry(off + uint64_t(i) * kDirEntrySize));
    }
    if (FEntries[0].Type != 5) Damaged("the root entry is missing");

    // Mini allocation table and the mini stream (the root entry's data).
    if (numMiniFat > 0 && firstMiniFat != kEndOfChain) {
      std::vector<uint32_t> miniChain = WholeChain(firstMiniFat, "mini allocation table");
      for (uint32_t s : miniChain) {
        uint64_t off = SectorOffset(s);
        uint64_t end = std::min<uint64_t>(off + FSectorSize, FData.size());
        for (uint64_t p = off; p + 4 <= end; p += 4) FMiniFat.push_back(U32(p));
      }
    }
    const TCompoundDirEntry& root = FEntries[0];
    if (root.Size > 0 && root.Start != kEndOfChain) {
      uint64_t available = 0;
      FMiniStream = Chain(root.Start, root.Size, "mini stream", &available);
      FMiniStreamCut = available < root.Size;
    }
  }

  TCompoundDirEntry ReadEntry(uint64_t off) const {
    TByteReader r(FData.data() + off, kDirEntrySize);
    TCompoundDirEntry e;
    uint16_t nameLen = std::min<uint16_t>(r.U16(0x40), 64);
    e.Type = r.U8(0x42);
    if (e.Type != 1 && e.Type != 2 && e.Type != 5) {
      e.Type = 0;
      return e;
    }
    size_t units = nameLen / 2;
    e.Name = r.Utf16(0, units);
    size_t nul = e.Name.find(u'\0');
    if (nul != std::u16string::npos) e.Name.resize(nul);
    e.Left = r.U32(0x44);
    e.Right = r.U32(0x48);
    e.Child = r.U32(0x4C);
    e.Start = r.U32(0x74);
    e.Size = r.U64(0x78);
    // Version 3 files keep only 32 bits of the size; the rest may be garbage.
    if (FMajor != 4) e.Size &= 0xFFFFFFFFu;
    return e;
  }

  std::vector<uint8_t> FData;
  uint32_t FSectorSize = 512;
  uint16_t FMajor = 3;
  uint64_t FSectorCount = 0;
  uint32_t FMiniCutoff = 4096;
  std::vector<uint32_t> FFat;
  std::vector<uint32_t> FMiniFat;
  std::vector<uint64_t> FMiniStream;  // file offsets of the mini stream's sectors
  bool FMiniStreamCut = false;        // the file ends inside the mini stream
  uint32_t FPadded = 0;               // zeros added to complete the last sector
  std::vector<TCompoundDirEntry> FEntries;

  friend class TOleStorage;
};

// ---------------------------------------------------------------------------

TOleStorageStream::TOleStorageStream(std::shared_ptr<const TCompoundFile> file, std::vector<uint64_t> sectorOffsets,
                                     uint32_t sectorSize, uint64_t size, uint64_t declaredSize)
    : FFile(std::move(file)),
      FSectorOffsets(std::move(sectorOffsets)),
      FSectorSize(sectorSize),
      FSize(size),
      FDeclaredSize(std::max(size, declaredSize)) {}

int64_t TOleStorageStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || FPosition >= FSize) return 0;
  uint64_t todo = std::min<uint64_t>(uint64_t(count), FSize - FPosition);
  uint8_t* out = static_cast<uint8_t*>(buffer);
  uint64_t done = 0;
  const uint8_t* base = FFile->Data();
  while (done < todo) {
    uint64_t sector = FPosition / FSectorSize;
    uint64_t within = FPosition % FSectorSize;
    uint64_t n = std::min<uint64_t>(FSectorSize - within, todo - done);
    // Offsets and lengths were checked against the file when the stream was opened.
    std::memcpy(out + done, base + FSectorOffsets[size_t(sector)] + within, size_t(n));
    done += n;
    FPosition += n;
  }
  return int64_t(done);
}

int64_t TOleStorageStream::Seek(int64_t offset, int origin) {
  int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? int64_t(FPosition) : int64_t(FSize);
  int64_t target = base + offset;
  if (target < 0) throw EOleError("Seek before the start of a compound document stream.");
  FPosition = uint64_t(target);
  return target;
}

// ---------------------------------------------------------------------------

uint32_t TOleStorage::PaddedBytes() const { return FFile->FPadded; }

std::string TOleStorage::PaddingWarning() const {
  if (!FFile->FPadded) return std::string();
  return "The compound document ends inside its last sector: the " + std::to_string(FFile->FPadded) +
         " missing bytes were read as zeros.";
}

std::vector<TOleElement> TOleStorage::EnumElements() const {
  std::vector<TOleElement> out;
  for (uint32_t i : FFile->Children(FEntry)) {
    const TCompoundDirEntry& e = FFile->Entries()[i];
    if (e.Type == 0) continue;
    TOleElement el;
    el.Name = e.Name;
    el.Type = e.Type == 2 ? STGTY_STREAM : STGTY_STORAGE;
    el.Size = e.Type == 2 ? e.Size : 0;
    out.push_back(std::move(el));
  }
  return out;
}

int32_t TOleStorage::FindChild(const std::u16string& name, int32_t type) const {
  for (uint32_t i : FFile->Children(FEntry)) {
    const TCompoundDirEntry& e = FFile->Entries()[i];
    int32_t t = e.Type == 2 ? STGTY_STREAM : e.Type == 1 ? STGTY_STORAGE : 0;
    if (t == type && SameName(e.Name, name)) return int32_t(i);
  }
  return -1;
}

std::shared_ptr<TOleStorageStream> TOleStorage::OpenStream(const std::u16string& name) const {
  int32_t i = FindChild(name, STGTY_STREAM);
  if (i < 0) return nullptr;
  return FFile->OpenEntry(FFile, uint32_t(i));
}

std::shared_ptr<TOleStorageStream> TOleStorage::OpenStream(const std::string& asciiName) const {
  return OpenStream(std::u16string(asciiName.begin(), asciiName.end()));
}

std::unique_ptr<TOleStorage> TOleStorage::OpenStorage(const std::u16string& name) const {
  int32_t i = FindChild(name, STGTY_STORAGE);
  if (i < 0) return nullptr;
  return std::make_unique<TOleStorage>(FFile, uint32_t(i));
}

// ---------------------------------------------------------------------------

bool StgIsStorageData(const void* data, size_t size) {
  return size >= 8 && std::memcmp(data, kSignature, 8) == 0;
}

int32_t StgIsStorageFile(const std::string& fileName) {
  uint8_t head[8] = {};
  int64_t got = 0;
  try {
    // The platform's opener: a named pipe or device is refused, never waited on.
    TFileStream f(fileName, fmOpenRead | fmShareDenyNone);
    got = f.Read(head, 8);
  } catch (const EStreamError&) {
    return STG_E_FILENOTFOUND;
  }
  if (got == 8 && StgIsStorageData(head, 8)) return STG_S_OK;
  return STG_S_FALSE;
}

std::unique_ptr<TOleStorage> StgOpenStorageOnMemory(const void* data, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  auto file = std::make_shared<const TCompoundFile>(std::vector<uint8_t>(p, p + size));
  return std::make_unique<TOleStorage>(file, 0);
}

std::unique_ptr<TOleStorage> StgOpenStorageOnStream(TStream& source) {
  int64_t pos = source.Position();
  int64_t size = source.Size();
  std::vector<uint8_t> data;
  if (size > pos) {
    data.resize(size_t(size - pos));
    source.ReadBuffer(data.data(), int64_t(data.size()));
  }
  auto file = std::make_shared<const TCompoundFile>(std::move(data));
  return std::make_unique<TOleStorage>(file, 0);
}

std::unique_ptr<TOleStorage> StgOpenStorage(const std::string& fileName) {
  TFileStream f(fileName, fmOpenRead | fmShareDenyWrite);
  return StgOpenStorageOnFile(f, fileName);
}

std::unique_ptr<TOleStorage> StgOpenStorageOnFile(TStream& file, const std::string& fileName) {
  try {
    return StgOpenStorageOnStream(file);
  } catch (const EOleError& e) {
    throw EOleError(fileName + ": " + e.Message());
  }
}

int64_t TOleStream::Write(const void*, int64_t) {
  throw EWriteError("Stream write error");
}
