#include "QXEZipFile.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>

#include "Budgets.h"

const char* CompressionWord(TZipCompression c) {
  switch (c) {
    case zcFast: return "fast";
    case zcSmall: return "small";
    case zcDefault: break;
  }
  return "default";
}

std::optional<TZipCompression> ParseCompression(const std::string& word) {
  std::string w = word;
  for (char& c : w)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  for (TZipCompression c : {zcFast, zcDefault, zcSmall})
    if (w == CompressionWord(c)) return c;
  return std::nullopt;
}

namespace QXEZipFile {

namespace {

constexpr uint32_t LocalFileHeaderSignature = 0x04034B50;
constexpr uint32_t CentralFileHeaderSignature = 0x02014B50;
constexpr uint32_t EndOfCentralDirSignature = 0x06054B50;
constexpr uint16_t VersionMadeBy = 20;
constexpr uint16_t Utf8NameFlag = 0x0800;

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

// One deflater per thread, at the entry's level: each block's input becomes
// raw deflate data that ends on a byte boundary (a sync flush), or ends the
// stream (the last block). ISA-L's level 1 for fast; zlib for the others,
// at level 4 (default: within a twentieth of level 6's size on sheet parts,
// about three times faster) or 6 (small).
class TBlockCompressor {
 public:
  explicit TBlockCompressor(TZipCompression level) : FLevel(level) {
    if (level == zcFast) {
      FIsal = std::make_unique<isal_zstream>();
      FLevelBuffer.resize(ISAL_DEF_LVL1_DEFAULT);
    }
  }
  ~TBlockCompressor() {
    if (FZReady) deflateEnd(&FZ);
  }
  TBlockCompressor(const TBlockCompressor&) = delete;
  TBlockCompressor& operator=(const TBlockCompressor&) = delete;
  TZipCompression Level() const { return FLevel; }

  // dict: the input before this block, which zlib's matches may reach into.
  void Deflate(const std::vector<uint8_t>& in, const std::vector<uint8_t>& dict, bool last, std::string& out) {
    out.resize(in.size() + in.size() / 8 + 1024);
    size_t used = 0;
    if (FIsal) {
      isal_zstream& z = *FIsal;
      isal_deflate_init(&z);
      z.level = 1;
      z.level_buf = FLevelBuffer.data();
      z.level_buf_size = uint32_t(FLevelBuffer.size());
      z.end_of_stream = last ? 1 : 0;
      z.flush = last ? NO_FLUSH : SYNC_FLUSH;
      z.next_in = const_cast<uint8_t*>(in.data());
      z.avail_in = uint32_t(in.size());
      for (;;) {
        z.next_out = reinterpret_cast<uint8_t*>(out.data()) + used;
        z.avail_out = uint32_t(out.size() - used);
        if (isal_deflate(&z) != COMP_OK) throw EZipWriteError("Deflating a zip entry failed.");
        used = out.size() - z.avail_out;
        if (z.avail_in == 0 && z.avail_out > 0 && (!last || z.internal_state.state == ZSTATE_END)) break;
        out.resize(out.size() * 2);
      }
    } else {
      if (!FZReady) {
        if (deflateInit2(&FZ, FLevel == zcSmall ? 6 : 4, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
          throw EZipWriteError("The zip writer could not start its compressor.");
        FZReady = true;
      } else {
        deflateReset(&FZ);
      }
      if (!dict.empty()) deflateSetDictionary(&FZ, dict.data(), uInt(dict.size()));
      FZ.next_in = const_cast<Bytef*>(in.data());
      FZ.avail_in = uInt(in.size());
      for (;;) {
        FZ.next_out = reinterpret_cast<Bytef*>(out.data()) + used;
        FZ.avail_out = uInt(out.size() - used);
        const int rc = ::deflate(&FZ, last ? Z_FINISH : Z_SYNC_FLUSH);
        if (rc == Z_STREAM_ERROR) throw EZipWriteError("Deflating a zip entry failed.");
        used = out.size() - FZ.avail_out;
        if (last ? rc == Z_STREAM_END : FZ.avail_out > 0) break;
        out.resize(out.size() * 2);
      }
    }
    out.resize(used);
  }

 private:
  TZipCompression FLevel;
  std::unique_ptr<isal_zstream> FIsal;
  std::vector<uint8_t> FLevelBuffer;
  z_stream FZ{};
  bool FZReady = false;
};

// The blocks of the entry being written, deflated by the writing thread and
// by helper threads on processors no other job holds, and written to the
// sink in order. At most one block per thread, and the one being filled,
// wait in memory.
class TBlockDeflater {
 public:
  struct TBlock {
    std::vector<uint8_t> In, Dict;
    bool Last = false;
    bool Taken = false, Done = false;
    std::string Out;
    std::exception_ptr Error;
  };
  using TEmit = std::function<void(const std::string&)>;

  ~TBlockDeflater() { StopHelpers(); }

  // Starts an entry at this level.
  void Start(TZipCompression level, int maxHelpers) {
    if (!FOwn || FOwn->Level() != level) FOwn = std::make_unique<TBlockCompressor>(level);
    FLevel = level;
    FMaxHelpers = maxHelpers;
  }
  // Deflates the block here or hands it to a helper, then writes what is
  // done in order; a block that failed raises its error here.
  void Submit(std::unique_ptr<TBlock> block, const TEmit& emit) {
    // A second block: the entry is large enough to share out.
    if (!FHelpers.empty() || (FSubmitted++ > 0 && FMaxHelpers > 0 && !FTriedHelpers)) StartHelpers();
    if (FHelpers.empty()) {
      FOwn->Deflate(block->In, block->Dict, block->Last, block->Out);
      emit(block->Out);
      return;
    }
    {
      std::lock_guard<std::mutex> g(FLock);
      FBlocks.push_back(std::move(block));
    }
    FWork.notify_one();
    Drain(emit, FHelpers.size() + 1);
  }
  // Writes every block submitted; helpers stop.
  void Finish(const TEmit& emit) {
    Drain(emit, 0);
    StopHelpers();
    FSubmitted = 0;
    FTriedHelpers = false;
  }

 private:
  // Writes the leading blocks that are done until at most keep wait,
  // deflating waiting ones here rather than idling.
  void Drain(const TEmit& emit, size_t keep) {
    std::unique_lock<std::mutex> g(FLock);
    for (;;) {
      while (!FBlocks.empty() && FBlocks.front()->Done) {
        std::unique_ptr<TBlock> b = std::move(FBlocks.front());
        FBlocks.pop_front();
        g.unlock();
        if (b->Error) std::rethrow_exception(b->Error);
        emit(b->Out);
        g.lock();
      }
      if (FBlocks.size() <= keep) return;
      TBlock* mine = nullptr;
      for (auto& b : FBlocks)
        if (!b->Taken) {
          mine = b.get();
          break;
        }
      if (!mine) {
        FDone.wait(g);
        continue;
      }
      mine->Taken = true;
      g.unlock();
      Run(*FOwn, *mine);
      g.lock();
    }
  }

  static void Run(TBlockCompressor& c, TBlock& b) {
    try {
      c.Deflate(b.In, b.Dict, b.Last, b.Out);
    } catch (...) {
      b.Error = std::current_exception();
    }
    b.Done = true;
  }

  void StartHelpers() {
    if (!FHelpers.empty() || FTriedHelpers) return;
    FTriedHelpers = true;
    FLoan = std::make_unique<TProcessorLoan>(FMaxHelpers);
    FStop = false;
    for (int k = 0; k < FLoan->Count(); ++k) {
      try {
        FHelpers.emplace_back([this] { Help(); });
      } catch (const std::system_error&) {
        break;  // no thread to be had: fewer helpers
      }
    }
  }

  void StopHelpers() {
    {
      std::lock_guard<std::mutex> g(FLock);
      FStop = true;
    }
    FWork.notify_all();
    for (auto& t : FHelpers) t.join();
    FHelpers.clear();
    FLoan.reset();
    // A failure left blocks behind: they are not written.
    FBlocks.clear();
  }

  void Help() {
    TBlockCompressor own(FLevel);
    std::unique_lock<std::mutex> g(FLock);
    for (;;) {
      TBlock* mine = nullptr;
      FWork.wait(g, [&] {
        if (FStop) return true;
        for (auto& b : FBlocks)
          if (!b->Taken) {
            mine = b.get();
            return true;
          }
        return false;
      });
      if (!mine) return;
      mine->Taken = true;
      g.unlock();
      Run(own, *mine);
      g.lock();
      FDone.notify_all();
    }
  }

  TZipCompression FLevel = zcDefault;
  int FMaxHelpers = 0;
  std::unique_ptr<TBlockCompressor> FOwn;
  size_t FSubmitted = 0;
  bool FTriedHelpers = false;
  std::mutex FLock;
  std::condition_variable FWork, FDone;
  std::deque<std::unique_ptr<TBlock>> FBlocks;
  bool FStop = false;
  std::unique_ptr<TProcessorLoan> FLoan;
  std::vector<std::thread> FHelpers;
};

// The open entry: input gathered into blocks and deflated, the output
// passed on to the sink in order; the CRC and sizes counted on the way.
class TZipEntryWriter : public TStream {
 public:
  TZipEntryWriter(TZipArchive& archive, TBlockDeflater& deflater)
      : FArchive(archive), FDeflater(deflater), FBlockSize(std::max<size_t>(archive.BlockSize, 64)) {
    FIn.reserve(FBlockSize);
    FEmit = [this](const std::string& out) { Emit(out.data(), out.size()); };
  }

  int64_t Read(void*, int64_t) override { throw EZipWriteError("A zip entry being written cannot be read."); }
  int64_t Write(const void* buffer, int64_t count) override {
    if (count <= 0) return 0;
    const auto* p = static_cast<const uint8_t*>(buffer);
    size_t left = size_t(count);
    while (left > 0) {
      const size_t n = std::min(left, FBlockSize - FIn.size());
      FIn.insert(FIn.end(), p, p + n);
      p += n;
      left -= n;
      // A full block waits for the next byte: the last block ends the stream.
      if (FIn.size() == FBlockSize && left > 0) SubmitBlock(false);
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
    // Everything so far ends on a byte boundary; the placeholder is a stored
    // block of its own, and nothing after it refers to what came before.
    if (!FIn.empty()) SubmitBlock(false);
    FDeflater.Finish(FEmit);
    FDictionary.clear();
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
    SubmitBlock(true);
    FDeflater.Finish(FEmit);
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

  void SubmitBlock(bool last) {
    FCrc = TZipArchive::Crc32(FIn.data(), FIn.size(), FCrc);
    FUncompressed += FIn.size();
    FLengthAfter += FIn.size();
    FArchive.CheckSize(FUncompressed, FArchive.FFiles.back().FileName);
    auto block = std::make_unique<TBlockDeflater::TBlock>();
    block->Last = last;
    block->Dict = std::move(FDictionary);
    // zlib's matches reach 32 KiB back: the next block may refer into this one.
    if (FArchive.Compression != zcFast && !last) {
      const size_t keep = std::min<size_t>(FIn.size(), 32768);
      FDictionary.assign(FIn.end() - ptrdiff_t(keep), FIn.end());
    }
    block->In.swap(FIn);
    FIn.clear();
    FIn.reserve(FBlockSize);
    FDeflater.Submit(std::move(block), FEmit);
  }

  TZipArchive& FArchive;
  TBlockDeflater& FDeflater;
  const size_t FBlockSize;
  TBlockDeflater::TEmit FEmit;
  std::vector<uint8_t> FIn;
  std::vector<uint8_t> FDictionary;
  uint32_t FCrc = 0;
  uint64_t FCompressed = 0;
  uint64_t FUncompressed = 0;
  // The placeholder: where it lies in the sink, the CRC before it and the
  // length after it (FCrc restarts behind it).
  bool FHasPlaceholder = false;
  std::string FPlaceholder;
  int64_t FPlaceholderAt = 0;
  uint32_t FCrcBefore = 0;
  uint64_t FLengthAfter = 0;
};

TZipArchive::TZipArchive(TStream& sink) : FSink(sink) {}

TZipArchive::~TZipArchive() = default;

uint32_t TZipArchive::Crc32(const void* data, size_t size, uint32_t crc) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const uint64_t n = std::min<size_t>(size, size_t(1) << 30);
    crc = crc32_gzip_refl(crc, p, n);
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

  if (!FDeflater) FDeflater = std::make_unique<TBlockDeflater>();
  FDeflater->Start(Compression, MaxHelpers);
  FEntry = std::make_unique<TZipEntryWriter>(*this, *FDeflater);
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
