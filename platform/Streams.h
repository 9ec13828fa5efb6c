#pragma once
// The old stream model: read, write, seek with origin 0/1/2, size, position.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum TSeekOrigin : int { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class TStream {
 public:
  virtual ~TStream() = default;
  // Return the count really transferred (0 at the end).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Returns the new position.
  virtual int64_t Seek(int64_t offset, int origin) = 0;
  virtual int64_t Size();
  virtual void SetSize(int64_t newSize);

  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t pos) { Seek(pos, soBeginning); }
  // Raise EReadError "Stream read error" / EWriteError "Stream write error"
  // when fewer bytes move than asked.
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  void WriteString(const std::string& s) { WriteBuffer(s.data(), int64_t(s.size())); }
  // Copies count bytes from source (the whole source from position 0 when count is 0).
  int64_t CopyFrom(TStream& source, int64_t count);
};

// File access modes and the share-mode intent (kept for callers; Linux does
// not enforce share modes, but fmShareDenyWrite on a read opens read-only).
enum : uint32_t {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmShareCompat = 0x0000,
  fmShareExclusive = 0x0010,
  fmShareDenyWrite = 0x0020,
  fmShareDenyRead = 0x0030,
  fmShareDenyNone = 0x0040,
  fmCreate = 0xFF00,
};

// A file stream with an internal buffer, so record-by-record readers do not
// pay a system call per record. Buffered writes reach the file on Flush(),
// a seek or a read; a writer calls Flush() before it reports success, since
// the destructor cannot report a failure. Opening failures raise EFOpenError
// "Cannot open file \"<name>\". <reason>" (EFCreateError "Cannot create file ..." for fmCreate).
// Opened for reading it is the one way sources are opened: anything but a
// regular file (a named pipe, a device, a socket) is refused at once with
// EFOpenError "\"<name>\" is not a regular file (it is a named pipe).", so no
// source can block the run. Write failures raise EWriteError with the
// system's reason.
class TFileStream : public TStream {
 public:
  TFileStream(const std::string& fileName, uint32_t mode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  int64_t Size() override;
  void SetSize(int64_t newSize) override;
  // Pushes buffered writes to the file; raises EWriteError on failure.
  void Flush();
  const std::string& FileName() const { return FFileName; }
  int Handle() const { return FHandle; }

 protected:
  // Adopts a descriptor opened for writing; the stream closes it.
  TFileStream(int handle, std::string fileName);

 private:
  void FlushWrite();
  // EWriteError "Cannot write file "<name>". <the system's reason>".
  [[noreturn]] void WriteFailed(int err) const;
  std::string FFileName;
  int FHandle = -1;
  int64_t FFilePos = 0;     // position of the OS handle
  std::vector<uint8_t> FBuf;
  int64_t FBufStart = 0;    // file offset of FBuf[0]
  size_t FBufLen = 0;       // valid bytes in FBuf (read mode)
  size_t FBufPos = 0;       // cursor inside FBuf
  bool FWriting = false;    // FBuf holds unwritten data
  bool FCanWrite = true;    // false when opened for reading only
};

// What writing one output file may do: the bytes it may take (0: no limit)
// and whether it may replace a file of its name.
struct TOutputPolicy {
  int64_t MaxBytes = 0;
  bool Replace = true;
};

// An output file that appears under its name only when it is complete. The
// bytes go to a temporary file in the destination's folder (an unnamed one
// where the file system allows, so even a killed process leaves nothing
// behind; else a hidden name created exclusively, never through a link).
// Commit() puts it in place with one rename, replacing a file or a planted
// symlink of that name, never writing through it; without Commit() the
// destructor removes it, so a failure or a stop leaves an earlier output of
// the same name untouched.
//
// Every output of the program is written through one: the policy's budget
// is counted as bytes are written (the file's size, rewritten bytes count
// once), and Commit() follows its overwrite choice. A file it replaces
// keeps its permissions (and owner, where the system lets us).
class TAtomicFileStream : public TFileStream {
 public:
  // Raises EFCreateError naming the destination when no temporary file can
  // be made there (missing folder, no permission).
  explicit TAtomicFileStream(const std::string& destination, const TOutputPolicy& policy = {});
  ~TAtomicFileStream() override;

  // A write that would take the file past the budget writes nothing and
  // raises EOutputBudgetExceeded (OutputBudgetText).
  int64_t Write(const void* buffer, int64_t count) override;
  // Flushes (write errors raise EWriteError) and renames into place by the
  // policy: without Replace an existing destination is kept and
  // EFileExistsError raised.
  void Commit();
  void Commit(bool replace);
  const std::string& Destination() const { return FDestination; }
  bool Committed() const { return FCommitted; }
  // The file's size so far.
  int64_t Written() const { return FHigh; }

 private:
  TAtomicFileStream(std::pair<int, std::string> opened, std::string destination, const TOutputPolicy& policy);
  std::string FTemporary;  // empty while the file has no name
  std::string FDestination;
  TOutputPolicy FPolicy;
  int64_t FHigh = 0;  // the furthest byte written
  bool FCommitted = false;
};

// Read-only stream over memory it does not own (fuzzers, memory-backed
// containers, tests).
class TCustomMemoryStream : public TStream {
 public:
  TCustomMemoryStream() = default;
  TCustomMemoryStream(const void* data, int64_t size) { SetPointer(data, size); }
  void SetPointer(const void* data, int64_t size) { FData = static_cast<const uint8_t*>(data); FSize = size; FPos = 0; }
  const uint8_t* Memory() const { return FData; }
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;  // raises EWriteError
  int64_t Seek(int64_t offset, int origin) override;
  int64_t Size() override { return FSize; }

 protected:
  const uint8_t* FData = nullptr;
  int64_t FSize = 0;
  int64_t FPos = 0;
};

// Growable stream that owns its bytes.
class TMemoryStream : public TStream {
 public:
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  int64_t Size() override { return int64_t(FData.size()); }
  void SetSize(int64_t newSize) override;
  void Clear() { FData.clear(); FPos = 0; }
  void LoadFromStream(TStream& source);
  void LoadFromFile(const std::string& fileName);
  void SaveToFile(const std::string& fileName);
  uint8_t* Memory() { return FData.data(); }
  const std::vector<uint8_t>& Bytes() const { return FData; }
  std::vector<uint8_t>& Bytes() { return FData; }

 private:
  std::vector<uint8_t> FData;
  int64_t FPos = 0;
};
