#pragma once
// Writing zip packages. Each entry is deflated while its contents are
// written and goes straight to the sink, so no part is ever held whole in
// memory; the central directory and the end record follow at Close. Entries
// are files only: no directory entries, names with "/".
//
// The deflate data of an entry is made of blocks of BlockSize input bytes,
// each deflated on its own and ending on a byte boundary (a sync flush), so
// that a large entry's blocks are deflated side by side on processors the
// run leaves free (TProcessorBudget) and joined, in order, into one valid
// deflate stream.
//
// The sink must allow seeking back (a file or memory stream): an entry's
// local header gets its CRC-32 and sizes once the entry is complete, so
// every header is exact and no data descriptors are needed.
//
// No Zip64: an entry, an offset or the directory beyond 4 GiB, or more than
// 65,535 entries, raise EZipWriteError naming the entry, and the archive is
// unusable (the caller drops its output).
//
// The reader's classes of the same names live in import/QXIZipFile.h; these
// are in namespace QXEZipFile so that a test can use both.
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Exception.h"
#include "Streams.h"

// How entries are deflated: ISA-L's fastest level (about a sixth larger
// than small), zlib's level 4 (the default: about a twentieth larger than
// small, about three times faster), or zlib's default level 6 (what this
// writer always wrote).
enum TZipCompression : uint8_t { zcFast, zcDefault, zcSmall };
// "fast", "default", "small" (and back, letter case ignored; nullopt for any
// other word).
const char* CompressionWord(TZipCompression c);
std::optional<TZipCompression> ParseCompression(const std::string& word);

namespace QXEZipFile {

VARNOWE_EXCEPTION(EZipWriteError, Exception);

// The header fields of one entry, as its local and central headers carry them.
struct TLocalFile {
  std::string FileName;
  uint16_t VersionNeededToExtract = 20;
  uint16_t GeneralPurposeBitFlag = 0;
  uint16_t CompressionMethod = 8;  // deflate
  uint16_t LastModFileTime = 0;
  uint16_t LastModFileDate = 0;
  uint32_t Crc32 = 0;
  uint64_t CompressedSize = 0;
  uint64_t UncompressedSize = 0;
  uint32_t CentralExternalFileAttributes = 0;
  uint64_t CentralRelativeOffsetOfLocalHeader = 0;
};

class TZipEntryWriter;
class TBlockDeflater;

class TZipArchive {
 public:
  // Entries start at the sink's current position.
  explicit TZipArchive(TStream& sink);
  ~TZipArchive();
  TZipArchive(const TZipArchive&) = delete;
  TZipArchive& operator=(const TZipArchive&) = delete;

  // The modification time entries record (as local DOS time); 0: the moment
  // each entry is added.
  std::time_t Time = 0;
  // The largest size or offset the archive may hold; tests lower it.
  uint64_t SizeLimit = 0xFFFFFFFFu;
  // For the entries added from now on.
  TZipCompression Compression = zcDefault;
  // Input bytes per deflate block (tests lower it).
  size_t BlockSize = DefaultBlockSize;
  static constexpr size_t DefaultBlockSize = size_t(256) << 10;
  // Helper threads an entry may use at most, when processors are free.
  int MaxHelpers = 3;

  // Starts an entry (finishing the one before) and returns the stream its
  // contents are written to; the stream is valid until the entry is
  // finished. "\" in the name becomes "/"; an empty name, a directory name
  // (ending in "/") or a name already in the archive (letter case ignored,
  // as in package part names) raises EZipWriteError.
  TStream& AddFile(const std::string& name, uint32_t externalAttributes = 0);
  // An entry with the whole contents at once.
  void AddFileData(const std::string& name, std::string_view data, uint32_t externalAttributes = 0);
  // Finishes the entry being written: the rest of its deflate data, then its
  // header filled in. Nothing happens without an open entry.
  void CloseFile();

  // Writes text uncompressed into the open entry, to be replaced before the
  // entry closes by a text of the same length (a value known only at the end
  // that readers want near the start). One per entry; at most 65,535 bytes.
  void WritePlaceholder(std::string_view text);
  void ReplacePlaceholder(std::string_view text);

  // Finishes the open entry, then writes the central directory and the end
  // record. The archive takes no entry after that.
  void Close();
  bool Closed() const { return FClosed; }

  int32_t FileCount() const { return int32_t(FFiles.size()); }
  // "Index out of bounds" outside 0 .. FileCount() - 1.
  const TLocalFile& Files(int32_t index) const;

  // CRC-32 of the zip format (reflected EDB88320).
  static uint32_t Crc32(const void* data, size_t size, uint32_t crc = 0);
  // MS-DOS date and time of a local time; both 0 outside 1980 to 2099.
  static void DosDateTime(std::time_t time, uint16_t& dosDate, uint16_t& dosTime);

 private:
  friend class TZipEntryWriter;
  void CheckSize(uint64_t value, const std::string& name) const;
  void WriteLocalHeader(const TLocalFile& f);
  void FinishEntry();

  TStream& FSink;
  std::vector<TLocalFile> FFiles;
  std::vector<std::string> FKeys;  // lower-case names, for duplicates
  std::unique_ptr<TBlockDeflater> FDeflater;  // one for every entry
  std::unique_ptr<TZipEntryWriter> FEntry;
  bool FClosed = false;
};

}  // namespace QXEZipFile
