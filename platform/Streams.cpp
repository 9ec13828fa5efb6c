#include "Streams.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "Budgets.h"
#include "Exception.h"
#include "FileSystem.h"
#include "SysUtils.h"

namespace {
constexpr size_t kFileBufSize = 64 * 1024;

// base + offset for a seek; offsets read from a file must not overflow.
int64_t SeekTarget(int64_t base, int64_t offset) {
  int64_t target;
  if (__builtin_add_overflow(base, offset, &target) || target < 0) throw EStreamError("Invalid stream position");
  return target;
}

std::string ErrnoText(int err) { return std::strerror(err); }

const char* FileKind(mode_t mode) {
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISDIR(mode)) return "a directory";
  return "not a plain file";
}
}  // namespace

// ---- TStream ----

int64_t TStream::Size() {
  int64_t pos = Seek(0, soCurrent);
  int64_t size = Seek(0, soEnd);
  Seek(pos, soBeginning);
  return size;
}

void TStream::SetSize(int64_t) { throw EStreamError("Stream does not support SetSize"); }

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count < 0) throw EReadError("Stream read error");
  if (count != 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count < 0) throw EWriteError("Stream write error");
  if (count != 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size() - source.Position();
  }
  if (count < 0) throw EReadError("Stream read error");
  int64_t result = count;
  std::vector<uint8_t> buf(size_t(std::min<int64_t>(count, 64 * 1024)) + 1);
  while (count > 0) {
    int64_t n = std::min<int64_t>(count, int64_t(buf.size()));
    source.ReadBuffer(buf.data(), n);
    WriteBuffer(buf.data(), n);
    count -= n;
  }
  return result;
}

// ---- TFileStream ----

TFileStream::TFileStream(const std::string& fileName, uint32_t mode) : FFileName(fileName) {
  int flags;
  if (mode == fmCreate || (mode & 0xFF00) == fmCreate) {
    flags = O_RDWR | O_CREAT | O_TRUNC;
  } else {
    switch (mode & 0x3) {
      case fmOpenWrite: flags = O_WRONLY; break;
      case fmOpenReadWrite: flags = O_RDWR; break;
      default: flags = O_RDONLY; break;
    }
  }
  FCanWrite = (flags & O_ACCMODE) != O_RDONLY;
  flags |= O_CLOEXEC;
  bool readOnly = !FCanWrite;
  int h;
  do {
    // Non-blocking open, so a named pipe among the sources cannot stall the run.
    h = ::open(fileName.c_str(), flags | (readOnly ? O_NONBLOCK : 0), 0666);
  } while (h < 0 && errno == EINTR);
  std::string reason;
  if (h >= 0) {
    struct stat st;
    if (::fstat(h, &st) != 0) {
      reason = ErrnoText(errno);
    } else if (S_ISDIR(st.st_mode)) {
      // A folder opens fine on Linux but cannot be read as a file.
      reason = ErrnoText(EISDIR);
    } else if (readOnly && !S_ISREG(st.st_mode)) {
      // Every source is read through here: a pipe, socket or device named
      // like a workbook would block the run or never end.
      ::close(h);
      throw EFOpenError("\"" + fileName + "\" is not a regular file (it is " + FileKind(st.st_mode) + ").");
    }
    if (!reason.empty()) {
      ::close(h);
      h = -1;
    } else if (readOnly) {
      ::fcntl(h, F_SETFL, ::fcntl(h, F_GETFL) & ~O_NONBLOCK);
    }
  } else {
    reason = ErrnoText(errno);
  }
  if (h < 0) {
    if (flags & O_CREAT) throw EFCreateError("Cannot create file \"" + fileName + "\". " + reason);
    throw EFOpenError("Cannot open file \"" + fileName + "\". " + reason);
  }
  FHandle = h;
}

TFileStream::TFileStream(int handle, std::string fileName) : FFileName(std::move(fileName)), FHandle(handle) {}

TFileStream::~TFileStream() {
  if (FHandle >= 0) {
    try {
      FlushWrite();
    } catch (...) {
      // A destructor cannot report; callers who care call Flush() first.
    }
    ::close(FHandle);
  }
}

void TFileStream::FlushWrite() {
  if (!FWriting) return;
  // FBuf[0..FBufLen) holds data to be written at FBufStart.
  if (FFilePos != FBufStart) {
    if (::lseek(FHandle, FBufStart, SEEK_SET) < 0) WriteFailed(errno);
    FFilePos = FBufStart;
  }
  size_t done = 0;
  while (done < FBufLen) {
    ssize_t n = ::write(FHandle, FBuf.data() + done, FBufLen - done);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      const int err = n < 0 ? errno : ENOSPC;
      FWriting = false;
      FBufLen = FBufPos = 0;
      FBufStart = FFilePos;
      WriteFailed(err);
    }
    done += size_t(n);
    FFilePos += n;
  }
  FWriting = false;
  FBufStart += int64_t(FBufPos);
  FBufLen = FBufPos = 0;
}

void TFileStream::Flush() { FlushWrite(); }

void TFileStream::WriteFailed(int err) const {
  // "No space left on device", "Disk quota exceeded": the system's own reason.
  throw EWriteError("Cannot write file \"" + FFileName + "\". " + ErrnoText(err));
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
  if (count <= 0) return 0;
  FlushWrite();
  uint8_t* out = static_cast<uint8_t*>(buffer);
  int64_t total = 0;
  while (count > 0) {
    if (FBufPos < FBufLen) {
      size_t n = size_t(std::min<int64_t>(count, int64_t(FBufLen - FBufPos)));
      std::memcpy(out + total, FBuf.data() + FBufPos, n);
      FBufPos += n;
      total += int64_t(n);
      count -= int64_t(n);
      continue;
    }
    // Buffer used up: move its start to the logical position.
    FBufStart += int64_t(FBufPos);
    FBufLen = FBufPos = 0;
    if (FFilePos != FBufStart) {
      if (::lseek(FHandle, FBufStart, SEEK_SET) < 0) break;
      FFilePos = FBufStart;
    }
    if (count >= int64_t(kFileBufSize)) {
      // Large reads go straight to the caller.
      ssize_t n;
      do {
        n = ::read(FHandle, out + total, size_t(std::min<int64_t>(count, 1 << 30)));
      } while (n < 0 && errno == EINTR);
      if (n <= 0) break;
      FFilePos += n;
      FBufStart += n;
      total += n;
      count -= n;
      continue;
    }
    if (FBuf.size() < kFileBufSize) FBuf.resize(kFileBufSize);
    ssize_t n;
    do {
      n = ::read(FHandle, FBuf.data(), kFileBufSize);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) break;
    FFilePos += n;
    FBufLen = size_t(n);
  }
  return total;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  if (count <= 0 || !FCanWrite) return 0;
  if (!FWriting) {
    // Drop read-ahead; writing starts at the logical position.
    FBufStart += int64_t(FBufPos);
    FBufLen = FBufPos = 0;
  }
  const uint8_t* in = static_cast<const uint8_t*>(buffer);
  if (count >= int64_t(kFileBufSize)) {
    FlushWrite();
    if (FFilePos != FBufStart) {
      if (::lseek(FHandle, FBufStart, SEEK_SET) < 0) WriteFailed(errno);
      FFilePos = FBufStart;
    }
    int64_t done = 0;
    while (done < count) {
      ssize_t n = ::write(FHandle, in + done, size_t(std::min<int64_t>(count - done, 1 << 30)));
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        // A write that stores nothing without an error has run out of room.
        const int err = n < 0 ? errno : ENOSPC;
        FBufStart = FFilePos;
        WriteFailed(err);
      }
      done += n;
      FFilePos += n;
    }
    FBufStart = FFilePos;
    return done;
  }
  if (FBuf.size() < kFileBufSize) FBuf.resize(kFileBufSize);
  if (FBufPos + size_t(count) > kFileBufSize) FlushWrite();
  std::memcpy(FBuf.data() + FBufPos, in, size_t(count));
  FBufPos += size_t(count);
  FBufLen = std::max(FBufLen, FBufPos);
  FWriting = true;
  return count;
}

int64_t TFileStream::Seek(int64_t offset, int origin) {
  int64_t cur = FBufStart + int64_t(FBufPos);
  int64_t target;
  switch (origin) {
    case soBeginning: target = offset; break;
    case soCurrent:
      if (offset == 0) return cur;
      target = SeekTarget(cur, offset);
      break;
    case soEnd: target = SeekTarget(Size(), offset); break;
    default: throw EStreamError("Invalid seek origin");
  }
  if (target < 0) throw EStreamError("Invalid stream position");
  if (FWriting) {
    FlushWrite();
  } else if (target >= FBufStart && target <= FBufStart + int64_t(FBufLen)) {
    // Inside the read-ahead: keep it.
    FBufPos = size_t(target - FBufStart);
    return target;
  }
  FBufStart = target;
  FBufLen = FBufPos = 0;
  return target;
}

int64_t TFileStream::Size() {
  struct stat st;
  if (::fstat(FHandle, &st) != 0) return 0;
  int64_t size = st.st_size;
  if (FWriting) size = std::max(size, FBufStart + int64_t(FBufLen));
  return size;
}

void TFileStream::SetSize(int64_t newSize) {
  if (newSize < 0) throw EStreamError("Invalid stream size");
  int64_t pos = Position();
  FlushWrite();
  FBufStart = pos;
  FBufLen = FBufPos = 0;
  if (::ftruncate(FHandle, newSize) != 0) WriteFailed(errno);
  if (FBufStart > newSize) FBufStart = newSize;
}

// ---- TAtomicFileStream ----

namespace {

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string TemporaryName(const std::string& destination) { return HiddenSiblingName(destination, ".part"); }

[[noreturn]] void CannotCreate(const std::string& destination, int err) {
  throw EFCreateError("Cannot create file \"" + destination + "\". " + ErrnoText(err));
}

bool ProcFdAvailable() { return ::access("/proc/self/fd", X_OK) == 0; }

// An unnamed file in the destination's folder where the file system has
// them (and /proc names it for linking); else an exclusive hidden name.
// Either is marked in use, so no later run takes it for a leftover while
// this one lives.
std::pair<int, std::string> OpenTemporary(const std::string& destination) {
  if (destination.empty() || destination.back() == '/') CannotCreate(destination, EISDIR);
  std::string dir = FolderOf(destination);
#ifdef O_TMPFILE
  if (ProcFdAvailable()) {
    int h;
    do {
      h = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    } while (h < 0 && errno == EINTR);
    if (h >= 0) {
      MarkInUse(h);
      return {h, std::string()};
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) CannotCreate(destination, errno);
  }
#endif
  for (int attempt = 0; attempt < 64; ++attempt) {
    std::string name = TemporaryName(destination);
    int h;
    do {
      h = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    } while (h < 0 && errno == EINTR);
    if (h >= 0) {
      MarkInUse(h);
      return {h, name};
    }
    if (errno != EEXIST) CannotCreate(destination, errno);
  }
  CannotCreate(destination, EEXIST);
}

// A file that is replaced hands its permissions (and, where the system
// allows, its owner) to the one that takes its place: a private output
// stays private. Set-id bits are not passed on.
void KeepPermissions(int handle, const std::string& destination) {
  struct stat st;
  if (::lstat(destination.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  if (::fchown(handle, st.st_uid, st.st_gid) != 0) {
    // Another owner: at least the group, if we are in it.
    [[maybe_unused]] int ignored = ::fchown(handle, uid_t(-1), st.st_gid);
  }
  [[maybe_unused]] int ignored = ::fchmod(handle, st.st_mode & 0777);
}

// Moves a named file onto target without replacing anything there.
int RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // File systems without the flag: a hard link fails when the name exists.
  if (::link(from.c_str(), to.c_str()) != 0) return errno;
  ::unlink(from.c_str());
  return 0;
}

}  // namespace

TAtomicFileStream::TAtomicFileStream(const std::string& destination, const TOutputPolicy& policy)
    : TAtomicFileStream(OpenTemporary(destination), destination, policy) {}

TAtomicFileStream::TAtomicFileStream(std::pair<int, std::string> opened, std::string destination,
                                     const TOutputPolicy& policy)
    : TFileStream(opened.first, destination),
      FTemporary(std::move(opened.second)),
      FDestination(std::move(destination)),
      FPolicy(policy) {}

TAtomicFileStream::~TAtomicFileStream() {
  if (!FCommitted && !FTemporary.empty()) ::unlink(FTemporary.c_str());
}

int64_t TAtomicFileStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  const int64_t at = TFileStream::Seek(0, soCurrent);
  int64_t end;
  if (FPolicy.MaxBytes > 0 && (__builtin_add_overflow(at, count, &end) || end > FPolicy.MaxBytes))
    throw EOutputBudgetExceeded("\"" + ExtractFileName(FDestination) + "\" is too large to write: " +
                          OutputBudgetText(FPolicy.MaxBytes));
  const int64_t n = TFileStream::Write(buffer, count);
  FHigh = std::max(FHigh, at + n);
  return n;
}

void TAtomicFileStream::Commit() { Commit(FPolicy.Replace); }

void TAtomicFileStream::Commit(bool replace) {
  if (FCommitted) return;
  Flush();
  if (replace) KeepPermissions(Handle(), FDestination);
  int err = 0;
  if (FTemporary.empty()) {
    // Give the unnamed file a name through /proc: straight at the
    // destination when nothing may be replaced (the link fails if the name
    // exists), else at a hidden name that one rename then moves into place.
    std::string proc = "/proc/self/fd/" + std::to_string(Handle());
    std::string target = replace ? TemporaryName(FDestination) : FDestination;
    if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      err = errno;
    } else if (replace) {
      FTemporary = target;
      if (::rename(FTemporary.c_str(), FDestination.c_str()) != 0) err = errno;
    }
  } else if (replace) {
    if (::rename(FTemporary.c_str(), FDestination.c_str()) != 0) err = errno;
  } else {
    err = RenameNoReplace(FTemporary, FDestination);
  }
  if (err != 0) {
    if (err == EEXIST && !replace)
      throw EFileExistsError("Cannot create file \"" + FDestination + "\". The file exists and overwriting is off.");
    CannotCreate(FDestination, err);
  }
  FCommitted = true;
}

// ---- TCustomMemoryStream ----

int64_t TCustomMemoryStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || FPos >= FSize) return 0;
  int64_t n = std::min(count, FSize - FPos);
  std::memcpy(buffer, FData + FPos, size_t(n));
  FPos += n;
  return n;
}

int64_t TCustomMemoryStream::Write(const void*, int64_t) { throw EWriteError("Stream write error"); }

int64_t TCustomMemoryStream::Seek(int64_t offset, int origin) {
  int64_t target;
  switch (origin) {
    case soBeginning: target = offset; break;
    case soCurrent: target = SeekTarget(FPos, offset); break;
    case soEnd: target = SeekTarget(FSize, offset); break;
    default: throw EStreamError("Invalid seek origin");
  }
  if (target < 0) throw EStreamError("Invalid stream position");
  FPos = target;
  return FPos;
}

// ---- TMemoryStream ----

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  int64_t size = int64_t(FData.size());
  if (count <= 0 || FPos >= size) return 0;
  int64_t n = std::min(count, size - FPos);
  std::memcpy(buffer, FData.data() + FPos, size_t(n));
  FPos += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  if (count > std::numeric_limits<int64_t>::max() - FPos) throw EWriteError("Stream write error");
  int64_t end = FPos + count;
  if (end > int64_t(FData.size())) {
    if (size_t(end) > FData.capacity()) FData.reserve(std::max(size_t(end), FData.capacity() * 2));
    FData.resize(size_t(end));
  }
  std::memcpy(FData.data() + FPos, buffer, size_t(count));
  FPos = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, int origin) {
  int64_t target;
  switch (origin) {
    case soBeginning: target = offset; break;
    case soCurrent: target = SeekTarget(FPos, offset); break;
    case soEnd: target = SeekTarget(int64_t(FData.size()), offset); break;
    default: throw EStreamError("Invalid seek origin");
  }
  if (target < 0) throw EStreamError("Invalid stream position");
  FPos = target;
  return FPos;
}

void TMemoryStream::SetSize(int64_t newSize) {
  if (newSize < 0) throw EStreamError("Invalid stream size");
  FData.resize(size_t(newSize));
  if (FPos > newSize) FPos = newSize;
}

void TMemoryStream::LoadFromStream(TStream& source) {
  source.SetPosition(0);
  int64_t size = source.Size();
  FData.clear();
  FPos = 0;
  if (size > 0) {
    FData.resize(size_t(size));
    source.ReadBuffer(FData.data(), size);
  }
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
  TFileStream f(fileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(f);
}

void TMemoryStream::SaveToFile(const std::string& fileName) {
  TFileStream f(fileName, fmCreate);
  if (!FData.empty()) f.WriteBuffer(FData.data(), int64_t(FData.size()));
  f.Flush();
}
