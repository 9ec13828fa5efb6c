#pragma once
// Reading zip packages: the central directory, entries by index or by name
// (letter case ignored), the contents inflated and CRC-checked, or handed
// out as a stream that inflates as it is read.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "Budgets.h"
#include "CancelToken.h"
#include "Exception.h"
#include "HandOver.h"
#include "Streams.h"

// A damaged, unsupported or oversized package entry; the message names the part.
VARNOWE_EXCEPTION(EZipFileError, Exception);
// "CRC Error in "<part>"."
VARNOWE_EXCEPTION(EZipFileCRCError, EZipFileError);

// The 26 bytes shared by the local and the central file header.
struct TZipCommonHeader {
  uint16_t VersionNeededToExtract = 0;
  uint16_t GeneralPurposeBitFlag = 0;
  uint16_t CompressionMethod = 0;
  uint16_t LastModFileTime = 0;
  uint16_t LastModFileDate = 0;
  uint32_t Crc32 = 0;
  uint32_t CompressedSize = 0;
  uint32_t UncompressedSize = 0;
  uint16_t FileNameLength = 0;
  uint16_t ExtraFieldLength = 0;
};

struct TZipEndOfCentralDir {
  uint32_t EndOfCentralDirSignature = 0;
  uint16_t NumberOfThisDisk = 0;
  uint16_t NumberOfTheDiskWithTheStart = 0;
  uint16_t TotalNumberOfEntriesOnThisDisk = 0;
  uint16_t TotalNumberOfEntries = 0;
  uint32_t SizeOfTheCentralDirectory = 0;
  uint32_t OffsetOfStartOfCentralDirectory = 0;
  uint16_t ZipfileCommentLength = 0;
};

constexpr uint32_t ZipLocalFileHeaderSignature = 0x04034B50;
constexpr uint32_t ZipCentralFileHeaderSignature = 0x02014B50;
constexpr uint32_t ZipEndOfCentralDirSignature = 0x06054B50;

// Compression methods the reader handles.
constexpr uint16_t ZipMethodStored = 0;
constexpr uint16_t ZipMethodDeflated = 8;

// A part that inflates to more than this may not exceed RatioLimit times
// its compressed size (zip bombs); smaller parts are only held to their
// declared size. Real sheets reach 140:1 (long runs of similar binary
// records); deflate's own maximum is about 1032:1, where bombs sit.
constexpr uint64_t ZipBombThreshold = uint64_t(100) << 20;
constexpr uint64_t ZipBombRatioLimit = 500;

class TLocalFile {
 public:
  uint32_t LocalFileHeaderSignature = 0;
  std::string FileName;
  std::string ExtraField;
  std::string CompressedData;
  uint32_t CentralFileHeaderSignature = 0;
  uint16_t CentralVersionMadeBy = 0;
  uint16_t CentralFileCommentLength = 0;
  uint16_t CentralDiskNumberStart = 0;
  uint16_t CentralInternalFileAttributes = 0;
  uint32_t CentralExternalFileAttributes = 0;
  uint32_t CentralRelativeOffsetOfLocalHeader = 0;
  std::string CentralFileName;
  std::string CentralExtraField;
  std::string CentralFileComment;

  TZipCommonHeader LocalHeader;
  TZipCommonHeader CentralHeader;
  bool LocalLoaded = false;
  // The data was decrypted after the package was read: the stored CRC is
  // that of the encrypted bytes, so none is checked.
  bool Decrypted = false;
  // Its data was taken by its last reader (TZipArchive::TakeFileStream).
  bool Taken = false;

  void Assign(const TLocalFile& source) { *this = source; }

  // The central directory's values win: local headers of entries written
  // with data descriptors hold zeros.
  uint16_t CompressionMethod() const { return CentralHeader.CompressionMethod; }
  uint32_t UncompressedSize() const {
    return CentralHeader.UncompressedSize ? CentralHeader.UncompressedSize : LocalHeader.UncompressedSize;
  }
  // The name as lookups see it (central name, else local name).
  const std::string& Name() const { return CentralFileName.empty() ? FileName : CentralFileName; }
};

class TZipArchive;

// The bytes all parts of one package have given so far, against the
// package's budget: a package of many parts each just under the bomb ratio
// must not inflate without end. Shared by the archive's entry streams, which
// also poll the stop here.
// An entry read ahead (TReadAheadStream) charges from its own thread.
struct TZipInflateBudget {
  int64_t Limit = 0;  // 0: none
  std::atomic<int64_t> Used = 0;
  const TCancelToken* CancelToken = nullptr;
  // Raises EBudgetExceeded past the limit.
  void Charge(int64_t bytes) {
    PollCancel(CancelToken);
    const int64_t used = Used += bytes;
    if (Limit > 0 && used > Limit) Exceeded();
  }
  [[noreturn]] void Exceeded() const;
};

class TLocalFiles {
 public:
  explicit TLocalFiles(TZipArchive* owner) : FOwner(owner) {}
  int32_t Count() const { return int32_t(FItems.size()); }
  TLocalFile& operator[](int32_t index) { return *FItems.at(size_t(index)); }
  const TLocalFile& operator[](int32_t index) const { return *FItems.at(size_t(index)); }
  TLocalFile& Add();
  void Clear() { FItems.clear(); }
  TZipArchive* Owner() const { return FOwner; }

 private:
  TZipArchive* FOwner;
  std::vector<std::unique_ptr<TLocalFile>> FItems;
};

// A stream that yields the contents of one entry: stored bytes as they are,
// deflated ones inflated. It refuses to yield more than the entry declares
// (or the zip-bomb ratio allows), and checks the CRC-32 once the last byte
// has been read. It reads the archive's copy of the entry: the archive must
// outlive it.
class TZipEntryStream : public TStream {
 public:
  // budget (not owned, may be nullptr) counts what this stream gives.
  // giveBack: the entry is read this once (TZipArchive::TakeFileStream), so
  // its data's pages go back to the system as they are consumed.
  explicit TZipEntryStream(const TLocalFile& entry, TZipInflateBudget* budget = nullptr, bool giveBack = false);
  ~TZipEntryStream() override;
  TZipEntryStream(const TZipEntryStream&) = delete;
  TZipEntryStream& operator=(const TZipEntryStream&) = delete;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  // Only forward moves and position queries; a forward move reads and drops.
  int64_t Seek(int64_t offset, int origin) override;
  // The declared uncompressed size.
  int64_t Size() override { return int64_t(FDeclared); }

 private:
  void Fail(const std::string& what) const;
  void Finish();
  void GiveBack(size_t consumed);
  const TLocalFile& FEntry;
  TZipInflateBudget* FBudget;
  const uint8_t* FIn;
  size_t FInSize;
  uint64_t FDeclared;
  uint64_t FLimit;
  uint64_t FOut = 0;
  uint32_t FCrc = 0;
  bool FDeflated;
  bool FGiveBack;
  size_t FGivenBack = 0;  // bytes of the data before this are given back
  bool FEnded = false;
  bool FChecked = false;
  struct Inflater;
  std::unique_ptr<Inflater> FZ;
};

// Reads another stream on a thread of its own, a few blocks ahead of the
// caller, so that inflating a part and parsing it share two processors. At
// most Blocks blocks of BlockSize bytes wait at once. An error the source
// raises is raised again by Read once the bytes before it are taken. The
// destructor stops the thread (it ends after the block in hand) and waits
// for it. Read only forwards: Seek answers the position and moves forward
// by reading.
class TReadAheadStream : public TStream {
 public:
  static constexpr size_t DefaultBlockSize = size_t(1) << 17;
  static constexpr size_t DefaultBlocks = 4;
  // loan: the processor the thread runs on (held until the stream is freed).
  explicit TReadAheadStream(std::unique_ptr<TStream> source, size_t blockSize = DefaultBlockSize,
                            size_t blocks = DefaultBlocks, std::unique_ptr<TProcessorLoan> loan = nullptr);
  ~TReadAheadStream() override;
  TReadAheadStream(const TReadAheadStream&) = delete;
  TReadAheadStream& operator=(const TReadAheadStream&) = delete;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  int64_t Size() override { return FSize; }

 private:
  void Produce();
  bool NextBlock();  // false at the end
  std::unique_ptr<TStream> FSource;
  const size_t FBlockSize, FBlocks;
  int64_t FSize = 0;
  int64_t FPos = 0;
  std::vector<char> FCur;
  size_t FCurPos = 0;
  THandOver<std::vector<char>> FFull;
  bool FEnded = false;  // read without a thread: the source has ended
  std::unique_ptr<TProcessorLoan> FLoan;
  std::thread FThread;  // last: started once the rest is ready
};

// Whether a large part is worth a second thread here (read ahead, or a
// sheet's rows scanned beside their delivery): two processors or more (and
// VARNOWE_READ_AHEAD not "0", for measuring).
bool ReadAheadUseful();
// The entry's stream, read ahead when that is useful, the part is large
// enough to pay for a thread and a processor is free (TProcessorBudget);
// the stream as it is otherwise.
std::unique_ptr<TStream> ReadAheadWhenUseful(std::unique_ptr<TZipEntryStream> stream);

class TZipArchive {
 public:
  TZipArchive() : FFiles(this) {}
  TZipArchive(const TZipArchive&) = delete;
  TZipArchive& operator=(const TZipArchive&) = delete;

  // Bytes all parts together may inflate to; 0 takes PackageInflateBudget of
  // the package's size (4 GiB, or 1,000 times the package when larger).
  // Read at Open.
  int64_t MaxInflatedBytes = 0;
  // Not owned: polled while parts inflate (nullptr: never stopped).
  const TCancelToken* CancelToken = nullptr;

  TLocalFiles& Files() { return FFiles; }
  const TLocalFiles& Files() const { return FFiles; }
  int32_t Count() const { return FFiles.Count(); }
  const TZipEndOfCentralDir& EndOfCentralDir() const { return FEnd; }

  // Reads the directory of the package in the stream, from its current
  // position, and the compressed data of every entry. A stream without an
  // end record gives an empty archive (IsZip() false); a damaged directory
  // raises EZipFileError.
  void Open(TStream& stream);
  bool IsZip() const { return FIsZip; }

  // First entry whose name equals name without regard to ASCII case; "\"
  // and "/" count as the same separator. -1 when none.
  int32_t IndexOfFile(const std::string& name) const;
  // The contents, CRC-checked. "Index out of bounds" outside the list.
  std::string GetFileData(int32_t index) const;
  // Empty when no entry has the name.
  std::string GetFileDataByName(const std::string& name) const;
  // An inflating stream over the entry; nullptr when no entry has the name.
  std::unique_ptr<TZipEntryStream> GetFileStream(int32_t index) const;
  std::unique_ptr<TZipEntryStream> GetFileStreamByName(const std::string& name) const;
  // The same for the last reading of the entry: the memory of its data goes
  // back as the stream reads it (a large sheet's compressed bytes would
  // otherwise stay for as long as the workbook). Reading the entry again
  // raises EZipFileError.
  std::unique_ptr<TZipEntryStream> TakeFileStream(int32_t index);

  // Puts an encrypted entry's decrypted data (deflate data that inflates to
  // size bytes) in place of its stored bytes, which CompressedData holds.
  void SetDecryptedData(int32_t index, std::string deflated, uint32_t size);

  // CRC-32 of the zip format.
  static uint32_t Crc32(const void* data, size_t size, uint32_t crc = 0);

 private:
  static std::string LookupKey(const std::string& name);
  std::unique_ptr<TZipEntryStream> Stream(int32_t index, bool last) const;
  TLocalFiles FFiles;
  TZipEndOfCentralDir FEnd;
  bool FIsZip = false;
  mutable TZipInflateBudget FBudget;
  std::unordered_map<std::string, int32_t> FIndex;
};
