#pragma once
// Compound documents (structured storage): a reader for the compound-file
// container that lists storages, opens streams and sub-storages by name, and
// TOleStream, which lets a contained stream serve as an ordinary TStream.
// The container is held in memory; every sector number, chain and size is
// checked, so a damaged file ends with EOleError and never reads outside the
// data or loops.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Exception.h"
#include "Streams.h"

// A damaged or unreadable compound document. The message says the file is
// damaged and what is wrong.
VARNOWE_EXCEPTION(EOleError, Exception);

// Status values as the storage service reports them.
constexpr int32_t STG_S_OK = 0;
constexpr int32_t STG_S_FALSE = 1;
constexpr int32_t STG_E_FILENOTFOUND = int32_t(0x80030002u);

// Element types as EnumElements reports them.
constexpr int32_t STGTY_STORAGE = 1;
constexpr int32_t STGTY_STREAM = 2;

struct TOleElement {
  std::u16string Name;
  int32_t Type = 0;  // STGTY_STORAGE or STGTY_STREAM
  uint64_t Size = 0;  // streams only
};

class TCompoundFile;  // the parsed container, shared by storages and streams

// A stream inside a compound document: Read, Seek, Stat. Read-only.
class TOleStorageStream {
 public:
  // size bytes are there; declaredSize is what the directory promised (more
  // when the file was cut off inside the stream).
  TOleStorageStream(std::shared_ptr<const TCompoundFile> file, std::vector<uint64_t> sectorOffsets,
                    uint32_t sectorSize, uint64_t size, uint64_t declaredSize = 0);
  int64_t Read(void* buffer, int64_t count);
  // Origin 0 (start), 1 (current), 2 (end); returns the new position.
  // Positions before 0 raise EOleError; beyond the end is allowed (reads give 0).
  int64_t Seek(int64_t offset, int origin);
  uint64_t Size() const { return FSize; }
  uint64_t Position() const { return FPosition; }
  // The file ends inside the stream: Size() is less than DeclaredSize().
  bool Truncated() const { return FSize < FDeclaredSize; }
  uint64_t DeclaredSize() const { return FDeclaredSize; }

 private:
  std::shared_ptr<const TCompoundFile> FFile;
  std::vector<uint64_t> FSectorOffsets;  // file offset of each sector of the chain
  uint32_t FSectorSize;
  uint64_t FSize;
  uint64_t FDeclaredSize;
  uint64_t FPosition = 0;
};

class TOleStorage {
 public:
  TOleStorage(std::shared_ptr<const TCompoundFile> file, uint32_t entry) : FFile(std::move(file)), FEntry(entry) {}

  // The storage's elements in the order a walk of its directory tree gives
  // (left subtree, entry, right subtree).
  std::vector<TOleElement> EnumElements() const;
  // nullptr when no stream of that name exists (the non-zero status of the
  // storage service). Names are compared without regard to case, as the
  // container does.
  std::shared_ptr<TOleStorageStream> OpenStream(const std::u16string& name) const;
  std::shared_ptr<TOleStorageStream> OpenStream(const std::string& asciiName) const;
  // nullptr when no storage of that name exists.
  std::unique_ptr<TOleStorage> OpenStorage(const std::u16string& name) const;
  // Zeros that completed a last sector the end of the file cut short, and
  // the warning that says so ("" when none were needed).
  uint32_t PaddedBytes() const;
  std::string PaddingWarning() const;

 private:
  int32_t FindChild(const std::u16string& name, int32_t type) const;
  std::shared_ptr<const TCompoundFile> FFile;
  uint32_t FEntry;
};

// STG_S_OK when the file begins with the compound-document signature,
// STG_S_FALSE when not, STG_E_FILENOTFOUND when it cannot be opened.
int32_t StgIsStorageFile(const std::string& fileName);
// Whether the bytes begin with the compound-document signature.
bool StgIsStorageData(const void* data, size_t size);
// Opens a compound document file read-only. Raises EFOpenError when the
// file cannot be opened, EOleError when it is no compound document or is damaged.
std::unique_ptr<TOleStorage> StgOpenStorage(const std::string& fileName);
// The same over the file opened already (from its position on); errors
// name the file as StgOpenStorage's do.
std::unique_ptr<TOleStorage> StgOpenStorageOnFile(TStream& file, const std::string& fileName);
// Opens a compound document from a copy of the bytes.
std::unique_ptr<TOleStorage> StgOpenStorageOnMemory(const void* data, size_t size);
// The memory-backed opening: copies the source stream from its current
// position to its end and opens the container on that copy.
std::unique_ptr<TOleStorage> StgOpenStorageOnStream(TStream& source);

// A contained stream seen through the ordinary stream interface. Write
// raises EWriteError: containers are only ever opened for reading.
class TOleStream : public TStream {
 public:
  explicit TOleStream(std::shared_ptr<TOleStorageStream> stream) : FStream(std::move(stream)) {}
  int64_t Read(void* buffer, int64_t count) override { return FStream->Read(buffer, count); }
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override { return FStream->Seek(offset, origin); }
  int64_t Size() override { return int64_t(FStream->Size()); }

 private:
  std::shared_ptr<TOleStorageStream> FStream;
};
