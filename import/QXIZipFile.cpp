#include "QXIZipFile.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Budgets.h"
#include "ByteReader.h"
#include "SysUtils.h"

namespace {

constexpr size_t EndRecordSize = 22;
constexpr size_t MaxCommentLength = 0xFFFF;
constexpr size_t LocalHeaderSize = 30;
constexpr size_t CentralHeaderSize = 46;

TZipCommonHeader ReadCommonHeader(const TByteReader& r, size_t off) {
  TZipCommonHeader h;
  h.VersionNeededToExtract = r.U16(off);
  h.GeneralPurposeBitFlag = r.U16(off + 2);
  h.CompressionMethod = r.U16(off + 4);
  h.LastModFileTime = r.U16(off + 6);
  h.LastModFileDate = r.U16(off + 8);
  h.Crc32 = r.U32(off + 10);
  h.CompressedSize = r.U32(off + 14);
  h.UncompressedSize = r.U32(off + 18);
  h.FileNameLength = r.U16(off + 22);
  h.ExtraFieldLength = r.U16(off + 24);
  return h;
}

bool ReadAt(TStream& s, int64_t pos, void* buf, int64_t n) {
  if (n == 0) return true;
  if (s.Seek(pos, soBeginning) != pos) return false;
  int64_t got = 0;
  auto* p = static_cast<uint8_t*>(buf);
  while (got < n) {
    int64_t k = s.Read(p + got, n - got);
    if (k <= 0) return false;
    got += k;
  }
  return true;
}

std::string PartError(const std::string& name, const std::string& what) {
  return "The part \"" + name + "\" of the package " + what;
}

}  // namespace

TLocalFile& TLocalFiles::Add() {
  FItems.push_back(std::make_unique<TLocalFile>());
  return *FItems.back();
}

uint32_t TZipArchive::Crc32(const void* data, size_t size, uint32_t crc) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const uint64_t n = std::min<size_t>(size, uint64_t(1) << 30);
    crc = crc32_gzip_refl(crc, p, n);
    p += n;
    size -= n;
  }
  return crc;
}

std::string TZipArchive::LookupKey(const std::string& name) {
  std::string k = name;
  for (char& c : k) {
    if (c == '\\') c = '/';
    else if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  return k;
}

void TZipArchive::Open(TStream& stream) {
  FFiles.Clear();
  FIndex.clear();
  FEnd = TZipEndOfCentralDir();
  FIsZip = false;

  const int64_t base = stream.Position();
  const int64_t size = stream.Size();
  FBudget.Used = 0;
  FBudget.Limit = MaxInflatedBytes > 0 ? MaxInflatedBytes : PackageInflateBudget(size - base);
  FBudget.CancelToken = CancelToken;
  if (size - base < int64_t(EndRecordSize)) return;

  // The end record sits before an archive comment of up to 65535 bytes.
  const int64_t tailLen = std::min<int64_t>(size - base, int64_t(EndRecordSize + MaxCommentLength));
  std::string tail(size_t(tailLen), '\0');
  if (!ReadAt(stream, size - tailLen, tail.data(), tailLen)) {
    stream.Seek(base, soBeginning);
    return;
  }
  TByteReader tr(tail.data(), tail.size());
  int64_t endPos = -1;
  for (int64_t i = tailLen - int64_t(EndRecordSize); i >= 0; --i) {
    if (tr.U32(size_t(i)) != ZipEndOfCentralDirSignature) continue;
    // A genuine end record's comment reaches no further than the stream.
    if (size_t(i) + EndRecordSize + tr.U16(size_t(i) + 20) > tail.size()) continue;
    endPos = i;
    break;
  }
  stream.Seek(base, soBeginning);
  if (endPos < 0) return;

  const size_t e = size_t(endPos);
  FEnd.EndOfCentralDirSignature = tr.U32(e);
  FEnd.NumberOfThisDisk = tr.U16(e + 4);
  FEnd.NumberOfTheDiskWithTheStart = tr.U16(e + 6);
  FEnd.TotalNumberOfEntriesOnThisDisk = tr.U16(e + 8);
  FEnd.TotalNumberOfEntries = tr.U16(e + 10);
  FEnd.SizeOfTheCentralDirectory = tr.U32(e + 12);
  FEnd.OffsetOfStartOfCentralDirectory = tr.U32(e + 16);
  FEnd.ZipfileCommentLength = tr.U16(e + 20);
  FIsZip = true;

  const int64_t endAbs = size - tailLen + endPos;
  const int64_t cdSize = FEnd.SizeOfTheCentralDirectory;
  if (cdSize > endAbs - base)
    throw EZipFileError("The package is damaged: its central directory is larger than the package.");
  // Offsets count from the start of the package; when the package was
  // prefixed with other data the directory still ends at the end record.
  int64_t cdPos = base + int64_t(FEnd.OffsetOfStartOfCentralDirectory);
  int64_t shift = 0;
  if (cdPos + cdSize != endAbs) {
    int64_t guess = endAbs - cdSize;
    shift = guess - cdPos;
    cdPos = guess;
  }
  std::string cd(size_t(cdSize), '\0');
  if (!ReadAt(stream, cdPos, cd.data(), cdSize)) {
    stream.Seek(base, soBeginning);
    throw EZipFileError("The package is damaged: its central directory cannot be read.");
  }
  TByteReader r(cd.data(), cd.size());

  uint64_t totalData = 0;
  size_t p = 0;
  std::string local(LocalHeaderSize, '\0');
  try {
    while (r.Fits(p, CentralHeaderSize) && r.U32(p) == ZipCentralFileHeaderSignature) {
      TLocalFile& f = FFiles.Add();
      f.CentralFileHeaderSignature = ZipCentralFileHeaderSignature;
      f.CentralVersionMadeBy = r.U16(p + 4);
      f.CentralHeader = ReadCommonHeader(r, p + 6);
      f.CentralFileCommentLength = r.U16(p + 32);
      f.CentralDiskNumberStart = r.U16(p + 34);
      f.CentralInternalFileAttributes = r.U16(p + 36);
      f.CentralExternalFileAttributes = r.U32(p + 38);
      f.CentralRelativeOffsetOfLocalHeader = r.U32(p + 42);
      size_t q = p + CentralHeaderSize;
      if (!r.Fits(q, size_t(f.CentralHeader.FileNameLength) + f.CentralHeader.ExtraFieldLength +
                         f.CentralFileCommentLength))
        throw EZipFileError("The package is damaged: its central directory is cut short.");
      f.CentralFileName = r.Bytes(q, f.CentralHeader.FileNameLength);
      q += f.CentralHeader.FileNameLength;
      f.CentralExtraField = r.Bytes(q, f.CentralHeader.ExtraFieldLength);
      q += f.CentralHeader.ExtraFieldLength;
      f.CentralFileComment = r.Bytes(q, f.CentralFileCommentLength);
      p = q + f.CentralFileCommentLength;

      // The local header and the data.
      const int64_t lh = base + int64_t(f.CentralRelativeOffsetOfLocalHeader) + shift;
      if (lh < 0 || lh + int64_t(LocalHeaderSize) > size || !ReadAt(stream, lh, local.data(), LocalHeaderSize))
        throw EZipFileError(PartError(f.CentralFileName, "is damaged: its local header lies outside the package."));
      TByteReader lr(local.data(), local.size());
      if (lr.U32(0) != ZipLocalFileHeaderSignature)
        throw EZipFileError(PartError(f.CentralFileName, "is damaged: its local header is missing."));
      f.LocalFileHeaderSignature = ZipLocalFileHeaderSignature;
      f.LocalHeader = ReadCommonHeader(lr, 4);
      int64_t at = lh + int64_t(LocalHeaderSize);
      const int64_t nameExtra = int64_t(f.LocalHeader.FileNameLength) + f.LocalHeader.ExtraFieldLength;
      if (at + nameExtra > size)
        throw EZipFileError(PartError(f.CentralFileName, "is damaged: its local header is cut short."));
      f.FileName.resize(f.LocalHeader.FileNameLength);
      f.ExtraField.resize(f.LocalHeader.ExtraFieldLength);
      ReadAt(stream, at, f.FileName.data(), int64_t(f.FileName.size()));
      ReadAt(stream, at + f.LocalHeader.FileNameLength, f.ExtraField.data(), int64_t(f.ExtraField.size()));
      at += nameExtra;
      uint32_t csize = f.CentralHeader.CompressedSize ? f.CentralHeader.CompressedSize : f.LocalHeader.CompressedSize;
      if (csize == 0xFFFFFFFFu || f.CentralHeader.UncompressedSize == 0xFFFFFFFFu)
        throw EZipFileError(PartError(f.Name(), "uses 64-bit sizes, which are not supported."));
      if (at + int64_t(csize) > size)
        throw EZipFileError(PartError(f.Name(), "is damaged: its data runs past the end of the package."));
      // Entries that share their data would multiply the memory held.
      totalData += csize;
      if (totalData > uint64_t(size))
        throw EZipFileError("The package is damaged: its entries overlap.");
      f.CompressedData.resize(csize);
      if (!ReadAt(stream, at, f.CompressedData.data(), csize))
        throw EZipFileError(PartError(f.Name(), "cannot be read."));
      f.LocalLoaded = true;
      FIndex.emplace(LookupKey(f.Name()), FFiles.Count() - 1);
    }
  } catch (...) {
    stream.Seek(base, soBeginning);
    throw;
  }
  stream.Seek(base, soBeginning);
}

int32_t TZipArchive::IndexOfFile(const std::string& name) const {
  std::string key = LookupKey(name);
  auto it = FIndex.find(key);
  if (it != FIndex.end()) return it->second;
  // A leading "/" (absolute part names) means the same part.
  size_t skip = key.find_first_not_of('/');
  if (skip == 0 || skip == std::string::npos) return -1;
  it = FIndex.find(key.substr(skip));
  return it == FIndex.end() ? -1 : it->second;
}

std::unique_ptr<TZipEntryStream> TZipArchive::Stream(int32_t index, bool last) const {
  if (index < 0 || index >= FFiles.Count()) throw Exception("Index out of bounds");
  if (FFiles[index].Taken) throw EZipFileError(PartError(FFiles[index].Name(), "was read once already."));
  return std::make_unique<TZipEntryStream>(FFiles[index], &FBudget, last);
}

std::unique_ptr<TZipEntryStream> TZipArchive::GetFileStream(int32_t index) const { return Stream(index, false); }

std::unique_ptr<TZipEntryStream> TZipArchive::TakeFileStream(int32_t index) {
  auto s = Stream(index, true);
  FFiles[index].Taken = true;
  return s;
}

std::unique_ptr<TZipEntryStream> TZipArchive::GetFileStreamByName(const std::string& name) const {
  int32_t i = IndexOfFile(name);
  return i < 0 ? nullptr : GetFileStream(i);
}

std::string TZipArchive::GetFileData(int32_t index) const {
  auto s = GetFileStream(index);
  std::string out;
  // The declared size is only a hint: never reserve more than a few times
  // what the compressed data could plausibly give.
  uint64_t hint = std::min<uint64_t>(s->Size(), uint64_t(FFiles[index].CompressedData.size()) * 8 + 4096);
  out.reserve(size_t(hint));
  char buf[65536];
  for (;;) {
    int64_t n = s->Read(buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, size_t(n));
  }
  return out;
}

void TZipArchive::SetDecryptedData(int32_t index, std::string deflated, uint32_t size) {
  TLocalFile& f = FFiles[index];
  f.CompressedData = std::move(deflated);
  for (TZipCommonHeader* h : {&f.LocalHeader, &f.CentralHeader}) {
    h->GeneralPurposeBitFlag &= uint16_t(~1u);
    h->CompressionMethod = ZipMethodDeflated;
    h->CompressedSize = uint32_t(f.CompressedData.size());
    h->UncompressedSize = size;
  }
  f.Decrypted = true;
}

std::string TZipArchive::GetFileDataByName(const std::string& name) const {
  int32_t i = IndexOfFile(name);
  return i < 0 ? std::string() : GetFileData(i);
}

// ---------------------------------------------------------------------------

// Raw deflate data, inflated by ISA-L (several times faster than zlib here).
struct TZipEntryStream::Inflater {
  inflate_state S;
  // One call: bytes produced, and whether the deflate data ended.
  int Run(uint8_t* out, uint32_t room, size_t& produced) {
    S.next_out = out;
    S.avail_out = room;
    const int rc = isal_inflate(&S);
    produced = room - S.avail_out;
    return rc;
  }
  bool Ended() const { return S.block_state == ISAL_BLOCK_FINISH; }
  static const char* Message(int rc) {
    switch (rc) {
      case ISAL_INVALID_BLOCK: return "invalid block";
      case ISAL_INVALID_SYMBOL: return "invalid code";
      case ISAL_INVALID_LOOKBACK: return "invalid distance too far back";
      default: return "bad deflate data";
    }
  }
};

void TZipInflateBudget::Exceeded() const {
  throw EBudgetExceeded("The workbook is too large for the budget: its package inflates to more than " +
                        FormatByteSize(Limit) + ".");
}

TZipEntryStream::TZipEntryStream(const TLocalFile& entry, TZipInflateBudget* budget, bool giveBack)
    : FEntry(entry),
      FBudget(budget),
      FIn(reinterpret_cast<const uint8_t*>(entry.CompressedData.data())),
      FInSize(entry.CompressedData.size()),
      FDeclared(entry.UncompressedSize()),
      FGiveBack(giveBack) {
  if (entry.CentralHeader.GeneralPurposeBitFlag & 1) Fail("is encrypted.");
  const uint16_t method = entry.CompressionMethod();
  if (method == ZipMethodDeflated) {
    FDeflated = true;
    // Not value-initialised: the state is tens of kilobytes, which
    // isal_inflate_init sets up itself (a cost per part of small files).
    FZ.reset(new Inflater);
    isal_inflate_init(&FZ->S);
    FZ->S.crc_flag = ISAL_DEFLATE;
    // Compressed sizes are 32-bit: the whole entry goes in at once.
    FZ->S.next_in = const_cast<uint8_t*>(FIn);
    FZ->S.avail_in = uint32_t(FInSize);
    if (FInSize == 0) FEnded = true;  // some writers deflate an empty part to nothing
  } else if (method == ZipMethodStored) {
    FDeflated = false;
  } else {
    Fail("uses compression method " + IntToStr(method) + ", which is not supported.");
  }
  FLimit = FDeclared;
  if (FLimit > ZipBombThreshold && FLimit / ZipBombRatioLimit > FInSize)
    Fail("declares " + IntToStr(int64_t(FDeclared)) + " bytes from " + IntToStr(int64_t(FInSize)) +
         " compressed ones; it is refused as a zip bomb.");
}

TZipEntryStream::~TZipEntryStream() = default;

void TZipEntryStream::GiveBack(size_t consumed) {
  // A megabyte at a time, a little behind what was consumed.
  constexpr size_t Step = size_t(1) << 20, Behind = size_t(64) << 10;
  if (!FGiveBack || consumed < FGivenBack + Step + Behind) return;
  const size_t upTo = consumed - Behind;
  GiveBackPages(FIn + FGivenBack, upTo - FGivenBack);
  FGivenBack = upTo;
}

void TZipEntryStream::Fail(const std::string& what) const { throw EZipFileError(PartError(FEntry.Name(), what)); }

void TZipEntryStream::Finish() {
  if (FChecked) return;
  FChecked = true;
  if (FOut != FDeclared)
    Fail("is damaged: it gives " + IntToStr(int64_t(FOut)) + " bytes instead of " + IntToStr(int64_t(FDeclared)) +
         ".");
  if (!FEntry.Decrypted && FCrc != FEntry.CentralHeader.Crc32 && FCrc != FEntry.LocalHeader.Crc32)
    throw EZipFileCRCError("CRC Error in \"" + FEntry.Name() + "\".");
}

int64_t TZipEntryStream::Read(void* buffer, int64_t count) {
  if (count <= 0) return 0;
  auto* out = static_cast<uint8_t*>(buffer);
  uint64_t room = FLimit - FOut;
  if (!FDeflated) {
    uint64_t avail = std::min<uint64_t>(FInSize, FDeclared) - FOut;
    uint64_t n = std::min<uint64_t>(uint64_t(count), avail);
    if (n == 0) {
      if (FInSize > FDeclared) Fail("holds more data than it declares.");
      Finish();
      return 0;
    }
    if (FBudget) FBudget->Charge(int64_t(n));
    std::memcpy(out, FIn + FOut, size_t(n));
    FCrc = TZipArchive::Crc32(out, size_t(n), FCrc);
    FOut += n;
    GiveBack(size_t(FOut));
    return int64_t(n);
  }
  if (FEnded || room == 0) {
    if (!FEnded) {
      // Declared size reached: the data must end here.
      uint8_t probe;
      size_t extra = 0;
      const int rc = FZ->Run(&probe, 1, extra);
      if (extra) Fail("inflates past its declared size; it is refused as a zip bomb.");
      if (rc < 0) Fail("is damaged: " + std::string(Inflater::Message(rc)) + ".");
      if (!FZ->Ended()) Fail("is damaged: its data ends too early.");
      FEnded = true;
    }
    Finish();
    return 0;
  }
  const uint64_t want = std::min<uint64_t>(uint64_t(count), room);
  size_t produced = 0;
  const int rc = FZ->Run(out, uint32_t(std::min<uint64_t>(want, uint64_t(1) << 30)), produced);
  if (rc < 0) Fail("is damaged: " + std::string(Inflater::Message(rc)) + ".");
  if (FZ->Ended()) FEnded = true;
  // With room for output, a call that gives nothing has run out of input.
  else if (produced == 0) Fail("is damaged: its data ends too early.");
  if (FBudget) FBudget->Charge(int64_t(produced));
  FCrc = TZipArchive::Crc32(out, produced, FCrc);
  FOut += produced;
  GiveBack(size_t(FZ->S.next_in - FIn));
  if (FOut > ZipBombThreshold && FOut / ZipBombRatioLimit > FInSize)
    Fail("inflates to more than " + IntToStr(int64_t(ZipBombRatioLimit)) +
         " times its compressed size; it is refused as a zip bomb.");
  if (produced == 0) return Read(buffer, count);  // ended exactly here: run the end checks
  return int64_t(produced);
}

int64_t TZipEntryStream::Write(const void*, int64_t) { throw EWriteError("Stream write error"); }

int64_t TZipEntryStream::Seek(int64_t offset, int origin) {
  int64_t target = origin == soBeginning ? offset : origin == soCurrent ? int64_t(FOut) + offset : int64_t(FDeclared) + offset;
  if (target < int64_t(FOut)) throw EReadError("An inflating stream cannot move backwards");
  char buf[4096];
  while (int64_t(FOut) < target) {
    int64_t n = Read(buf, std::min<int64_t>(sizeof buf, target - int64_t(FOut)));
    if (n <= 0) break;
  }
  return int64_t(FOut);
}

// ---------------------------------------------------------------------------

TReadAheadStream::TReadAheadStream(std::unique_ptr<TStream> source, size_t blockSize, size_t blocks,
                                   std::unique_ptr<TProcessorLoan> loan)
    : FSource(std::move(source)),
      FBlockSize(std::max<size_t>(blockSize, 1)),
      FBlocks(std::max<size_t>(blocks, 1)),
      FFull(FBlocks),
      FLoan(std::move(loan)) {
  FSize = FSource->Size();
  try {
    FThread = std::thread([this] { Produce(); });
  } catch (const std::system_error&) {
    // No thread to be had: the caller reads the source itself (see NextBlock).
  }
}

TReadAheadStream::~TReadAheadStream() {
  FFull.Stop();
  if (FThread.joinable()) FThread.join();
}

void TReadAheadStream::Produce() {
  for (;;) {
    std::vector<char> block;
    if (!FFull.WaitForRoom(block)) return;
    block.resize(FBlockSize);
    size_t n = 0;
    bool end = false;
    std::exception_ptr error;
    try {
      while (n < FBlockSize) {
        const int64_t k = FSource->Read(block.data() + n, int64_t(FBlockSize - n));
        if (k <= 0) {
          end = true;
          break;
        }
        n += size_t(k);
      }
    } catch (...) {
      error = std::current_exception();
      end = true;
    }
    block.resize(n);
    if (n) FFull.Give(std::move(block));
    if (end) {
      FFull.End(error);
      return;
    }
  }
}

bool TReadAheadStream::NextBlock() {
  if (!FThread.joinable()) {
    // Read directly, one block at a time.
    if (FEnded) return false;
    FCur.resize(FBlockSize);
    const int64_t k = FSource->Read(FCur.data(), int64_t(FBlockSize));
    FCur.resize(k > 0 ? size_t(k) : 0);
    FCurPos = 0;
    FEnded = k <= 0;
    return k > 0;
  }
  if (!FCur.empty()) FFull.GiveBack(std::move(FCur));
  FCur.clear();
  FCurPos = 0;
  return FFull.Take(FCur);
}

int64_t TReadAheadStream::Read(void* buffer, int64_t count) {
  auto* out = static_cast<char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    if (FCurPos == FCur.size() && !NextBlock()) break;
    const size_t n = std::min<size_t>(FCur.size() - FCurPos, size_t(count - done));
    std::memcpy(out + done, FCur.data() + FCurPos, n);
    FCurPos += n;
    done += int64_t(n);
    // Hand back what there is rather than wait for the next block.
    if (FCurPos == FCur.size()) break;
  }
  FPos += done;
  return done;
}

int64_t TReadAheadStream::Write(const void*, int64_t) { throw EWriteError("Stream write error"); }

int64_t TReadAheadStream::Seek(int64_t offset, int origin) {
  const int64_t target = origin == soBeginning ? offset : origin == soCurrent ? FPos + offset : FSize + offset;
  if (target < FPos) throw EReadError("A stream read ahead cannot move backwards");
  char buf[4096];
  while (FPos < target)
    if (Read(buf, std::min<int64_t>(sizeof buf, target - FPos)) <= 0) break;
  return FPos;
}

bool ReadAheadUseful() {
  static const bool useful = [] {
    const char* env = std::getenv("VARNOWE_READ_AHEAD");
    if (env && std::string(env) == "0") return false;
    return std::thread::hardware_concurrency() >= 2;
  }();
  return useful;
}

std::unique_ptr<TStream> ReadAheadWhenUseful(std::unique_ptr<TZipEntryStream> stream) {
  // Below this a part inflates in less time than a thread takes to start.
  constexpr int64_t MinReadAheadBytes = int64_t(1) << 20;
  if (!stream || !ReadAheadUseful() || stream->Size() < MinReadAheadBytes) return stream;
  auto loan = std::make_unique<TProcessorLoan>(1);
  if (loan->Count() == 0) return stream;
  return std::make_unique<TReadAheadStream>(std::move(stream), TReadAheadStream::DefaultBlockSize,
                                            TReadAheadStream::DefaultBlocks, std::move(loan));
}
