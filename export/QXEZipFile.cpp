#include "QXEZipFile.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace QXEZipFile {

namespace {

constexpr uint32_t LocalFileHeaderSignature = 0x04034B50;
constexpr uint32_t CentralFileHeaderSignature = 0x02014B50;
constexpr uint32_t EndOfCentralDirSignature = 0x06054B50;
constexpr uint16_t VersionMadeBy = 20;
constexpr uint16_t Utf8NameFlag = 0x0800;
constexpr size_t BufferSize = 64 * 1024;
// Writes at least this long skip the input buffer.
constexpr size_t DirectWrite = 4 * 1024;

void Put16(std::string& out, uint16_t v) {
  out += char(v & 0xFF);
  out += char(v >> 8);
}
void Put32(std::string& out, uint32_t v) {
  Put16(out, uint16_t(v & 0xFFFF));
  Put16(out, uint16_t(v >> 16));
}

// The 26 bytes the local and the central header share.
void PutCommonHeader(std::string& out, const TLocalFile& f) {
  Put16(out, f.VersionNeededToExtract);
  Put16(out, f.GeneralPurposeBitFlag);
  Put16(out, f.CompressionMethod);
  Put16(out, f.LastModFileTime);
  Put16(out, f.LastModFileDate);
  Put32(out, f.Crc32);
  Put32(out, uint32_t(f.CompressedSize));
  Put32(out, uint32_t(f.UncompressedSize));
  Put16(out, uint16_t(f.FileName.size()));
  Put16(out, 0);  // extra field length
}

std::string LowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

}  // namespace

// The open entry: input gathered into blocks, deflated, the output passed on
// to the sink in blocks; the CRC and sizes counted on the way.
class TZipEntryWriter : public TStream {
 public:
  TZipEntryWriter(TZipArchive& archive, z_stream& z) : FArchive(archive), FZ(z) {
    FIn.reserve(BufferSize);
    FOut.resize(BufferSize);
  }

  int64_t Read(void*, int64_t) override { throw EZipWriteError("A zip entry being written cannot be read."); }
  int64_t Write(const void* buffer, int64_t count) override {
    if (count <= 0) return 0;
    const auto* p = static_cast<const uint8_t*>(buffer);
    if (size_t(count) >= DirectWrite) {
      Deflate(FIn.data(), FIn.size(), Z_NO_FLUSH);
      FIn.clear();
      Deflate(p, size_t(count), Z_NO_FLUSH);
    } else {
      if (FIn.size() + size_t(count) > BufferSize) {
        Deflate(FIn.data(), FIn.size(), Z_NO_FLUSH);
        FIn.clear();
      }
      FIn.insert(FIn.end(), p, p + count);
    }
    return count;
  }
  // The count of bytes written so far; no other moves.
  int64_t Seek(int64_t offset, int origin) override {
    const int64_t pos = int64_t(FUncompressed + FIn.size());
    if ((origin == soCurrent && offset == 0) || (origin == soBeginning && offset == pos) ||
        (origin == soEnd && offset == 0))
      return pos;
    throw EZipWriteError("A zip entry being written cannot seek.");
  }
  int64_t Size() override { return int64_t(FUncompressed + FIn.size()); }

  void WritePlaceholder(std::string_view text) {
    if (FHasPlaceholder) throw EZipWriteError("A zip entry takes one placeholder.");
    if (text.size() > 0xFFFF) throw EZipWriteError("A zip placeholder holds at most 65,535 bytes.");
    // Everything so far ends on a byte boundary with no reference into what
    // follows; the placeholder is a stored block of its own.
    if (FStarted || !FIn.empty()) {
      Deflate(FIn.data(), FIn.size(), Z_FULL_FLUSH);
      FIn.clear();
    }
    std::string block;
    block += '\0';  // not the last block, stored
    Put16(block, uint16_t(text.size()));
    Put16(block, uint16_t(~text.size()));
    Emit(block.data(), block.size());
    FPlaceholderAt = FArchive.FSink.Position();
    Emit(text.data(), text.size());
    FCrcBefore = FCrc;
    FCrc = 0;
    FLengthAfter = 0;
    FPlaceholder.assign(text);
    FUncompressed += text.size();
    FHasPlaceholder = true;
  }

  void ReplacePlaceholder(std::string_view text) {
    if (!FHasPlaceholder) throw EZipWriteError("This zip entry has no placeholder.");
    if (text.size() != FPlaceholder.size())
      throw EZipWriteError("A zip placeholder must be replaced by a text of its own length.");
    FPlaceholder.assign(text);
  }

  // Ends the deflate data; the CRC, sizes and placeholder are final.
  void Finish(TLocalFile& f) {
    Deflate(FIn.data(), FIn.size(), Z_FINISH);
    FIn.clear();
    TStream& sink = FArchive.FSink;
    uint32_t crc = FCrc;
    if (FHasPlaceholder) {
      const uint32_t middle = TZipArchive::Crc32(FPlaceholder.data(), FPlaceholder.size());
      crc = uint32_t(crc32_combine(crc32_combine(FCrcBefore, middle, z_off_t(FPlaceholder.size())), FCrc,
                                   z_off_t(FLengthAfter)));
      const int64_t end = sink.Position();
      sink.SetPosition(FPlaceholderAt);
      sink.WriteBuffer(FPlaceholder.data(), int64_t(FPlaceholder.size()));
      sink.SetPosition(end);
    }
    f.Crc32 = crc;
    f.CompressedSize = FCompressed;
    f.UncompressedSize = FUncompressed;
  }

 private:
  void Emit(const void* data, size_t size) {
    FArchive.FSink.WriteBuffer(data, int64_t(size));
    FCompressed += size;
    FArchive.CheckSize(FCompressed, FArchive.FFiles.back().FileName);
  }

  void Deflate(const uint8_t* data, size_t size, int flush) {
    if (size == 0 && flush == Z_NO_FLUSH) return;
    FStarted = true;
    FCrc = TZipArchive::Crc32(data, size, FCrc);
    FUncompressed += size;
    FLengthAfter += size;
    FArchive.CheckSize(FUncompressed, FArchive.FFiles.back().FileName);
    FZ.next_in = const_cast<Bytef*>(data);
    for (;;) {
      // zlib takes at most 4 GiB a call.
      const size_t chunk = std::min<size_t>(size, 1u << 30);
      FZ.avail_in = uInt(chunk);
      const int f = chunk == size ? flush : Z_NO_FLUSH;
      do {
        FZ.next_out = FOut.data();
        FZ.avail_out = uInt(FOut.size());
        const int rc = ::deflate(&FZ, f);
        if (rc == Z_STREAM_ERROR) throw EZipWriteError("Deflating a zip entry failed.");
        Emit(FOut.data(), FOut.size() - FZ.avail_out);
      } while (FZ.avail_out == 0 || FZ.avail_in > 0);
      size -= chunk;
      if (size == 0) break;
    }
  }

  TZipArchive& FArchive;
  z_stream& FZ;
  std::vector<uint8_t> FIn;
  std::vector<uint8_t> FOut;
  uint32_t FCrc = 0;
  uint64_t FCompressed = 0;
  uint64_t FUncompressed = 0;
  bool FStarted = false;
  // The placeholder: where it lies in the sink, the CRC before it and the
  // length after it (FCrc restarts behind it).
  bool FHasPlaceholder = false;
  std::string FPlaceholder;
  int64_t FPlaceholderAt = 0;
  uint32_t FCrcBefore = 0;
  uint64_t FLengthAfter = 0;
};

// Raw deflate at zlib's default level, reset between entries.
struct TZipDeflater {
  z_stream Z{};
  bool Ready = false;
  void Start() {
    if (Ready) {
      deflateReset(&Z);
      return;
    }
    if (deflateInit2(&Z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
      throw EZipWriteError("The zip writer could not start its compressor.");
    Ready = true;
  }
  ~TZipDeflater() {
    if (Ready) deflateEnd(&Z);
  }
};

TZipArchive::TZipArchive(TStream& sink) : FSink(sink) {}

TZipArchive::~TZipArchive() = default;

uint32_t TZipArchive::Crc32(const void* data, size_t size, uint32_t crc) {
  const auto* p = static_cast<const Bytef*>(data);
  while (size > 0) {
    const uInt n = uInt(std::min<size_t>(size, 1u << 30));
    crc = uint32_t(::crc32(crc, p, n));
    p += n;
    size -= n;
  }
  return crc;
}

void TZipArchive::DosDateTime(std::time_t time, uint16_t& dosDate, uint16_t& dosTime) {
  dosDate = dosTime = 0;
  struct tm t;
  if (!localtime_r(&time, &t)) return;
  const int year = t.tm_year + 1900;
  if (year < 1980 || year > 2099) return;
  dosTime = uint16_t(std::min(t.tm_sec, 59) / 2 + t.tm_min * 32 + t.tm_hour * 2048);
  dosDate = uint16_t(t.tm_mday + (t.tm_mon + 1) * 32 + (year - 1980) * 512);
}

const TLocalFile& TZipArchive::Files(int32_t index) const {
  if (index < 0 || size_t(index) >= FFiles.size()) throw EZipWriteError("Index out of bounds");
  return FFiles[size_t(index)];
}

void TZipArchive::CheckSize(uint64_t value, const std::string& name) const {
  if (value > SizeLimit)
    throw EZipWriteError("The zip entry \"" + name +
                         "\" goes beyond 4 GiB, the most a zip archive without Zip64 extensions holds.");
}

void TZipArchive::WriteLocalHeader(const TLocalFile& f) {
  std::string h;
  h.reserve(30 + f.FileName.size());
  Put32(h, LocalFileHeaderSignature);
  PutCommonHeader(h, f);
  h += f.FileName;
  FSink.WriteBuffer(h.data(), int64_t(h.size()));
}

TStream& TZipArchive::AddFile(const std::string& name, uint32_t externalAttributes) {
  if (FClosed) throw EZipWriteError("The zip archive is closed; \"" + name + "\" cannot be added.");
  FinishEntry();
  std::string n = name;
  std::replace(n.begin(), n.end(), '\\', '/');
  if (n.empty() || n.back() == '/' || n.front() == '/')
    throw EZipWriteError("\"" + name + "\" is not a file name a zip entry can take.");
  if (n.size() > 0xFFFF) throw EZipWriteError("The zip entry name \"" + n.substr(0, 64) + "...\" is too long.");
  std::string key = LowerAscii(n);
  if (std::find(FKeys.begin(), FKeys.end(), key) != FKeys.end())
    throw EZipWriteError("The zip archive already holds \"" + n + "\".");

  TLocalFile f;
  f.FileName = std::move(n);
  if (std::any_of(f.FileName.begin(), f.FileName.end(), [](char c) { return uint8_t(c) >= 0x80; }))
    f.GeneralPurposeBitFlag |= Utf8NameFlag;
  DosDateTime(Time ? Time : std::time(nullptr), f.LastModFileDate, f.LastModFileTime);
  f.CentralExternalFileAttributes = externalAttributes;
  const int64_t at = FSink.Position();
  CheckSize(uint64_t(at), f.FileName);
  f.CentralRelativeOffsetOfLocalHeader = uint64_t(at);
  WriteLocalHeader(f);
  FFiles.push_back(std::move(f));
  FKeys.push_back(std::move(key));

  if (!FDeflater) FDeflater = std::make_unique<TZipDeflater>();
  FDeflater->Start();
  FEntry = std::make_unique<TZipEntryWriter>(*this, FDeflater->Z);
  return *FEntry;
}

void TZipArchive::AddFileData(const std::string& name, std::string_view data, uint32_t externalAttributes) {
  TStream& s = AddFile(name, externalAttributes);
  s.WriteBuffer(data.data(), int64_t(data.size()));
  CloseFile();
}

void TZipArchive::WritePlaceholder(std::string_view text) {
  if (!FEntry) throw EZipWriteError("A zip placeholder needs an open entry.");
  FEntry->WritePlaceholder(text);
}

void TZipArchive::ReplacePlaceholder(std::string_view text) {
  if (!FEntry) throw EZipWriteError("A zip placeholder needs an open entry.");
  FEntry->ReplacePlaceholder(text);
}

void TZipArchive::CloseFile() { FinishEntry(); }

void TZipArchive::FinishEntry() {
  if (!FEntry) return;
  std::unique_ptr<TZipEntryWriter> entry = std::move(FEntry);
  TLocalFile& f = FFiles.back();
  entry->Finish(f);
  CheckSize(f.CompressedSize, f.FileName);
  CheckSize(f.UncompressedSize, f.FileName);
  std::string fields;
  Put32(fields, f.Crc32);
  Put32(fields, uint32_t(f.CompressedSize));
  Put32(fields, uint32_t(f.UncompressedSize));
  const int64_t end = FSink.Position();
  FSink.SetPosition(int64_t(f.CentralRelativeOffsetOfLocalHeader) + 14);
  FSink.WriteBuffer(fields.data(), int64_t(fields.size()));
  FSink.SetPosition(end);
}

void TZipArchive::Close() {
  if (FClosed) return;
  FinishEntry();
  if (FFiles.size() > 0xFFFF) throw EZipWriteError("A zip archive without Zip64 extensions holds at most 65,535 entries.");
  const int64_t start = FSink.Position();
  std::string d;
  for (const TLocalFile& f : FFiles) {
    Put32(d, CentralFileHeaderSignature);
    Put16(d, VersionMadeBy);
    PutCommonHeader(d, f);
    Put16(d, 0);  // comment length
    Put16(d, 0);  // disk number start
    Put16(d, 0);  // internal attributes
    Put32(d, f.CentralExternalFileAttributes);
    Put32(d, uint32_t(f.CentralRelativeOffsetOfLocalHeader));
    d += f.FileName;
  }
  const uint64_t size = d.size();
  CheckSize(uint64_t(start), "central directory");
  CheckSize(uint64_t(start) + size, "central directory");
  Put32(d, EndOfCentralDirSignature);
  Put16(d, 0);
  Put16(d, 0);
  Put16(d, uint16_t(FFiles.size()));
  Put16(d, uint16_t(FFiles.size()));
  Put32(d, uint32_t(size));
  Put32(d, uint32_t(start));
  Put16(d, 0);  // comment length
  FSink.WriteBuffer(d.data(), int64_t(d.size()));
  FClosed = true;
}

}  // namespace QXEZipFile
