#include "FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>

#include "Exception.h"
#include "Streams.h"
#include "SysUtils.h"

namespace {

bool StatPath(const std::string& path, struct stat& st) { return !path.empty() && ::stat(path.c_str(), &st) == 0; }

TDateTime ModTime(const struct stat& st) { return UnixToDateTime(int64_t(st.st_mtime)); }

}  // namespace

bool FileExists(const std::string& path) {
  struct stat st;
  return StatPath(path, st) && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return StatPath(path, st) && S_ISDIR(st.st_mode);
}

bool CreateDir(const std::string& path) { return !path.empty() && ::mkdir(path.c_str(), 0777) == 0; }

bool RemoveDir(const std::string& path) { return !path.empty() && ::rmdir(path.c_str()) == 0; }

bool ForceDirectories(const std::string& path, std::string* reason) {
  if (path.empty()) throw EInOutError("Unable to create directory");
  std::string dir = ExcludeTrailingPathDelimiter(path);
  if (DirectoryExists(dir)) return true;
  std::string parent = ExcludeTrailingPathDelimiter(dir);
  size_t slash = parent.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    // Parents first; a doubled separator gives an empty step that exists.
    std::string up = parent.substr(0, slash);
    while (up.size() > 1 && up.back() == '/') up.pop_back();
    if (!up.empty() && !ForceDirectories(up, reason)) return false;
  }
  if (::mkdir(dir.c_str(), 0777) == 0) return true;
  int err = errno;
  if (err == EEXIST) {
    if (DirectoryExists(dir)) return true;
    // A file, or a link to nowhere or round in a loop, holds the name.
    err = PathStatError(dir);
    if (err == 0 || err == ENOENT) err = ENOTDIR;
  }
  if (reason) *reason = std::strerror(err);
  return false;
}

bool ForceDirectoriesBelow(const std::string& base, const std::string& relative, std::string* reason) {
  auto fail = [&](const std::string& why) {
    if (reason) *reason = why;
    return false;
  };
  int dir = ::open(base.empty() ? "." : base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return fail(std::strerror(errno));
  size_t pos = 0;
  bool ok = true;
  while (ok && pos <= relative.size()) {
    size_t slash = relative.find('/', pos);
    if (slash == std::string::npos) slash = relative.size();
    const std::string step = relative.substr(pos, slash - pos);
    pos = slash + 1;
    if (step.empty() || step == ".") continue;
    if (step == "..") {
      ok = fail("\"..\" leads out of the destination");
      break;
    }
    if (::mkdirat(dir, step.c_str(), 0777) != 0 && errno != EEXIST) {
      ok = fail(std::strerror(errno));
      break;
    }
    // O_NOFOLLOW: a link planted under the step's name is refused, not entered.
    const int next = ::openat(dir, step.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      const int err = errno;
      struct stat st;
      if (::fstatat(dir, step.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        ok = fail("\"" + step + "\" is a symbolic link");
      else
        ok = fail(std::strerror(err == ELOOP ? ENOTDIR : err));
      break;
    }
    ::close(dir);
    dir = next;
  }
  ::close(dir);
  return ok;
}

int PathStatError(const std::string& path) {
  struct stat st;
  if (path.empty()) return ENOENT;
  return ::stat(path.c_str(), &st) == 0 ? 0 : errno;
}

bool DeleteFile(const std::string& path) {
  struct stat st;
  if (!StatPath(path, st) || S_ISDIR(st.st_mode)) return false;
  return ::unlink(path.c_str()) == 0;
}

bool RenameFile(const std::string& oldName, const std::string& newName) {
  // The old call failed when the target existed; keep that, so nothing is replaced by accident.
  struct stat st;
  if (oldName.empty() || newName.empty() || ::lstat(newName.c_str(), &st) == 0) return false;
  return ::rename(oldName.c_str(), newName.c_str()) == 0;
}

std::string HiddenSiblingName(const std::string& path, const std::string& suffix) {
  uint64_t r = 0;
  if (::getrandom(&r, sizeof r, 0) != sizeof r)
    r = (uint64_t(::getpid()) * 0x9E3779B97F4A7C15ull) ^ uint64_t(time(nullptr)) ^ uint64_t(uintptr_t(&r));
  char hex[20];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(r));
  const size_t slash = path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = (slash == std::string::npos ? path : path.substr(slash + 1)).substr(0, 200);
  return dir + "." + name + "." + hex + suffix.substr(0, 32);
}

void MarkInUse(int handle) {
  // A file system without locks marks nothing; its leftovers stay.
  if (handle >= 0) ::flock(handle, LOCK_SH | LOCK_NB);
}

namespace {

// ".<name>.<16 hex digits><suffix>" as HiddenSiblingName makes them: the
// name they stand beside ("" when it was cut), or nullopt for anything else.
std::optional<std::string> LeftoverOf(const std::string& entry, const std::string& suffix) {
  constexpr size_t HexDigits = 16;
  if (entry.size() < 2 + 1 + HexDigits + suffix.size() || entry[0] != '.' ||
      entry.compare(entry.size() - suffix.size(), suffix.size(), suffix) != 0)
    return std::nullopt;
  const size_t hexAt = entry.size() - suffix.size() - HexDigits;
  if (entry[hexAt - 1] != '.') return std::nullopt;
  for (size_t i = hexAt; i < hexAt + HexDigits; ++i)
    if (!std::isxdigit(uint8_t(entry[i])) || std::isupper(uint8_t(entry[i]))) return std::nullopt;
  std::string name = entry.substr(1, hexAt - 2);
  // A long name lent only its start: not known whole.
  return name.size() >= 200 ? std::string() : name;
}

}  // namespace

size_t RemoveLeftovers(const std::string& folder) {
  const std::string dir = folder.empty() ? std::string(".") : ExcludeTrailingPathDelimiter(folder);
  size_t removed = 0;
  for (const TDirEntry& e : EnumerateDirectory(dir)) {
    if (e.IsDirectory || !e.IsHidden) continue;
    const auto part = LeftoverOf(e.Name, ".part");
    const auto keep = part ? std::nullopt : LeftoverOf(e.Name, ".keep");
    if (!part && !keep) continue;
    const std::string path = dir + "/" + e.Name;
    const int h = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (h < 0) continue;
    // A run that is still alive holds it: leave it to that run.
    if (::flock(h, LOCK_EX | LOCK_NB) == 0) {
      struct stat st;
      if (::fstat(h, &st) == 0 && S_ISREG(st.st_mode)) {
        const std::string original = keep && !keep->empty() ? dir + "/" + *keep : std::string();
        struct stat there;
        if (keep && keep->empty()) {
          // Where it belongs is not known: better kept than lost.
        } else if (keep && ::lstat(original.c_str(), &there) != 0 && errno == ENOENT) {
          removed += ::rename(path.c_str(), original.c_str()) == 0;
        } else {
          removed += ::unlink(path.c_str()) == 0;
        }
      }
    }
    ::close(h);
  }
  return removed;
}

int64_t FileSize(const std::string& path) {
  struct stat st;
  if (!StatPath(path, st) || S_ISDIR(st.st_mode)) return -1;
  return int64_t(st.st_size);
}

TDateTime FileAge(const std::string& path) {
  struct stat st;
  if (!StatPath(path, st)) return 0;
  return ModTime(st);
}

std::vector<TDirEntry> EnumerateDirectory(const std::string& dir) {
  std::vector<TDirEntry> result;
  std::string base = dir.empty() ? std::string("./") : IncludeTrailingPathDelimiter(dir);
  DIR* d = ::opendir(base.c_str());
  if (!d) return result;
  while (struct dirent* e = ::readdir(d)) {
    TDirEntry entry;
    entry.Name = e->d_name;
    struct stat st;
    if (::stat((base + entry.Name).c_str(), &st) == 0) {
      entry.IsDirectory = S_ISDIR(st.st_mode);
      entry.Size = entry.IsDirectory ? 0 : int64_t(st.st_size);
      entry.Time = ModTime(st);
    } else {
      // A dangling link: listed as a file of no size.
      entry.IsDirectory = e->d_type == DT_DIR;
    }
    entry.IsHidden = entry.Name.size() > 1 && entry.Name[0] == '.' && entry.Name != "..";
    result.push_back(std::move(entry));
  }
  ::closedir(d);
  // Case-blind order of the upper-cased UTF-16 names, as NTFS lists them;
  // ties by bytes so the order is the same on every machine.
  std::vector<std::pair<std::u16string, size_t>> keys;
  keys.reserve(result.size());
  for (size_t i = 0; i < result.size(); ++i) keys.emplace_back(NameSortKey(result[i].Name), i);
  std::sort(keys.begin(), keys.end(), [&](const auto& a, const auto& b) {
    if (a.first != b.first) return a.first < b.first;
    return result[a.second].Name < result[b.second].Name;
  });
  std::vector<TDirEntry> sorted;
  sorted.reserve(result.size());
  for (const auto& k : keys) sorted.push_back(std::move(result[k.second]));
  return sorted;
}

uint32_t GetTickCount() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint32_t(uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u);
}

void AppendToFile(const std::string& path, const std::string& text, const char* lineEnd) {
  if (path.empty() || text.empty()) return;
  std::unique_ptr<TFileStream> f;
  if (FileExists(path))
    f = std::make_unique<TFileStream>(path, fmOpenReadWrite | fmShareDenyWrite);
  else
    f = std::make_unique<TFileStream>(path, fmCreate);
  f->Seek(0, soEnd);
  f->WriteString(text);
  f->WriteString(lineEnd);
  f->Flush();
}

std::string ProgramFileName() {
  std::string buf(4096, '\0');
  ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return std::string();
  buf.resize(size_t(n));
  return buf;
}

std::string ProgramDir() {
  std::string exe = ProgramFileName();
  if (exe.empty()) {
    char cwd[4096];
    if (::getcwd(cwd, sizeof(cwd))) return IncludeTrailingPathDelimiter(cwd);
    return "./";
  }
  return exe.substr(0, exe.find_last_of('/') + 1);
}

std::string SettingsFilePath(const std::string& programBaseName) {
  std::string base = programBaseName;
  std::string configDir;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') {
    configDir = xdg;
  } else {
    const char* home = std::getenv("HOME");
    std::string h = home && *home ? home : "";
    if (h.empty()) {
      struct passwd* pw = ::getpwuid(::getuid());
      if (pw && pw->pw_dir && *pw->pw_dir) h = pw->pw_dir;
    }
    if (!h.empty() && h != "/nonexistent") configDir = IncludeTrailingPathDelimiter(h) + ".config";
  }
  if (configDir.empty()) return ProgramDir() + base + ".ini";
  return IncludeTrailingPathDelimiter(configDir) + "Kestra/" + base + "/" + base + ".ini";
}

std::string GetTempDir() {
  const char* t = std::getenv("TMPDIR");
  if (t && *t && DirectoryExists(t)) return IncludeTrailingPathDelimiter(t);
  return "/tmp/";
}
