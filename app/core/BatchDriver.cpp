#include "BatchDriver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <new>
#include <thread>

#include "CodePage.h"
#include "DateTime.h"
#include "Exception.h"
#include "FileSystem.h"
#include "IniFile.h"
#include "ProductInfo.h"
#include "SysUtils.h"
#include "UiServices.h"

namespace {

// Mask matching works on characters, so "?" takes a whole multi-byte character.
std::u16string MaskChars(const std::string& s) {
  try {
    return AnsiToWide(s);
  } catch (const Exception&) {
    // Bytes that are no text in the code page still match themselves.
    return std::u16string(s.begin(), s.end());
  }
}

bool SameChar(char16_t maskChar, char16_t nameChar) { return maskChar == u'?' || maskChar == nameChar; }

// seg matches name at pos, "?" matching any one character.
bool SegmentAt(const std::u16string& name, size_t pos, const std::u16string& seg) {
  if (pos > name.size() || seg.size() > name.size() - pos) return false;
  for (size_t k = 0; k < seg.size(); ++k)
    if (!SameChar(seg[k], name[pos + k])) return false;
  return true;
}

bool MatchChars(const std::u16string& name, const std::u16string& mask) {
  size_t i = 0, j = 0;
  while (i < name.size() && j < mask.size()) {
    if (mask[j] == u'*') {
      size_t next = mask.find(u'*', j + 1);
      std::u16string seg = mask.substr(j + 1, next == std::u16string::npos ? std::u16string::npos : next - j - 1);
      if (next == std::u16string::npos) {
        // The last segment must fit in what is left of the name: comparing it
        // with the whole name would let "ab*bc" match "abc".
        if (seg.empty()) return true;
        if (seg.size() > name.size() - i) return false;
        return SegmentAt(name, name.size() - seg.size(), seg);
      }
      // The first occurrence is always the best one: later segments only
      // need to fit after it.
      size_t pos = i;
      while (pos + seg.size() <= name.size() && !SegmentAt(name, pos, seg)) ++pos;
      if (pos + seg.size() > name.size()) return false;
      i = pos + seg.size();
      j = next;
    } else if (SameChar(mask[j], name[i])) {
      ++i;
      ++j;
    } else {
      return false;
    }
  }
  if (i < name.size()) return false;
  // Name used up: only stars may be left ("ab*x*" does not match "ab").
  for (; j < mask.size(); ++j)
    if (mask[j] != u'*') return false;
  return true;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

// The name part on this file system: only "/" separates, so a file named
// "a:b.xls" keeps its whole name.
std::string NamePart(const std::string& path) {
  size_t p = path.rfind('/');
  return p == std::string::npos ? path : path.substr(p + 1);
}

std::string ReplaceExt(const std::string& name, const std::string& ext) {
  size_t dot = name.rfind('.');
  return (dot == std::string::npos ? name : name.substr(0, dot)) + ext;
}

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  return std::filesystem::equivalent(a, b, ec) && !ec;
}

// The folder part on this file system ("" for a bare name).
std::string FolderPart(const std::string& path) {
  size_t p = path.rfind('/');
  return p == std::string::npos ? std::string() : path.substr(0, p);
}

// The part of directory below root ("" for root itself or a folder elsewhere).
std::string RelativeFolder(const std::string& directory, std::string root) {
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (directory.compare(0, root.size(), root) != 0) return std::string();
  size_t rest = root.size();
  if (rest == directory.size()) return std::string();
  if (directory[rest] != '/' && root != "/") return std::string();
  while (rest < directory.size() && directory[rest] == '/') ++rest;
  return directory.substr(rest);
}

// An output's folder may have gone since the list was built, or never have
// been made: try again and say why it cannot be. A kept folder tree is
// made below the destination without following any link in it.
void EnsureFolder(const std::string& path, const TJobSettings& settings) {
  const std::string dir = FolderPart(path);
  std::string reason;
  const std::string& base = settings.edDestinationName;
  const std::string below = settings.Destination.KeepFolderTree ? RelativeFolder(dir, base) : std::string();
  if (!below.empty()) {
    if ((DirectoryExists(base) || ForceDirectories(base, &reason)) && ForceDirectoriesBelow(base, below, &reason))
      return;
    throw EInOutError("Cannot create the destination directory \"" + dir + "\". " + reason);
  }
  if (dir.empty() || DirectoryExists(dir)) return;
  if (!ForceDirectories(dir, &reason))
    throw EInOutError("Cannot create the destination directory \"" + dir + "\". " + reason);
}

bool SameInode(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// "existing output kept: book1.csv, book2.csv"
std::string KeptNote(const std::vector<std::string>& kept) {
  if (kept.empty()) return std::string();
  std::string note = kept.size() == 1 ? "existing output kept: " : "existing outputs kept: ";
  for (size_t i = 0; i < kept.size(); ++i) note += (i ? ", " : "") + NamePart(kept[i]);
  return note;
}

void AppendEscape(std::string& out, unsigned char c) {
  static const char hex[] = "0123456789abcdef";
  switch (c) {
    case '\t': out += "\\t"; break;
    case '\n': out += "\\n"; break;
    case '\r': out += "\\r"; break;
    default:
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
  }
}

}  // namespace

std::string StatusText(const TWorkItem& item) {
  const std::string status = ItemStatusText(item.Status);
  return item.Note.empty() ? status : status + " (" + item.Note + ")";
}

// ---- run-wide output record ----

void TOutputRegistry::Clear() {
  std::lock_guard<std::mutex> lock(FLock);
  FPaths.clear();
  FFolders.clear();
}

std::string TOutputRegistry::KeyOf(const std::string& path) const {
  // The folder is resolved once per folder text; the name is taken as it is.
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  if (name.empty() || name == "." || name == "..") return path;
  auto it = FFolders.find(folder);
  if (it == FFolders.end()) {
    std::error_code ec;
    const std::filesystem::path full =
        std::filesystem::absolute(folder.empty() ? std::string(".") : folder, ec).lexically_normal();
    std::string resolved = ec ? folder : std::filesystem::weakly_canonical(full, ec).string();
    if (ec) resolved = full.string();
    while (resolved.size() > 1 && resolved.back() == '/') resolved.pop_back();
    it = FFolders.emplace(folder, resolved).first;
  }
  return it->second == "/" ? "/" + name : it->second + "/" + name;
}

std::string TOutputRegistry::FirstFree(const std::string& path, const std::string& tag,
                                       const std::function<bool(const std::string&)>& take) const {
  if (take(KeyOf(path))) return path;
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  const std::string stem = (hasExt ? path.substr(0, dot) : path) + (tag.empty() ? std::string() : "_" + tag);
  const std::string ext = hasExt ? path.substr(dot) : std::string();
  std::string candidate = stem + ext;
  for (int n = 2; !take(KeyOf(candidate)); ++n) candidate = stem + "_" + std::to_string(n) + ext;
  return candidate;
}

void TOutputRegistry::AddSource(const std::string& path) {
  std::lock_guard<std::mutex> lock(FLock);
  FPaths[KeyOf(path)] = TUse::Source;
}

bool TOutputRegistry::Taken(const std::string& path) const {
  std::lock_guard<std::mutex> lock(FLock);
  return FPaths.count(KeyOf(path)) != 0;
}

bool TOutputRegistry::Reserve(const std::string& path) {
  std::lock_guard<std::mutex> lock(FLock);
  return FPaths.emplace(KeyOf(path), TUse::Destination).second;
}

std::string TOutputRegistry::ReserveUnique(const std::string& path, const std::string& tag) {
  std::lock_guard<std::mutex> lock(FLock);
  return FirstFree(path, tag, [this](const std::string& key) { return FPaths.emplace(key, TUse::Destination).second; });
}

std::string TOutputRegistry::Claim(const std::string& path, const std::string& tag, const std::string& own) {
  std::lock_guard<std::mutex> lock(FLock);
  const std::string ownKey = own.empty() ? std::string() : KeyOf(own);
  return FirstFree(path, tag, [&](const std::string& key) {
    auto [it, added] = FPaths.emplace(key, TUse::Output);
    if (added) return true;
    // The item's own destination, reserved with the work list: its first
    // output may have it, and no other.
    if (key != ownKey || it->second != TUse::Destination) return false;
    it->second = TUse::Output;
    return true;
  });
}

void TOutputRegistry::Release(const std::string& path) {
  std::lock_guard<std::mutex> lock(FLock);
  FPaths.erase(KeyOf(path));
}

// ---- naming turn ----

TNamingTurn::TNamingTurn(std::vector<bool> settled) : FSettled(std::move(settled)) {
  while (FFront < FSettled.size() && FSettled[FFront]) ++FFront;
}

uint32_t TNamingTurn::Await(size_t index, const TCancelToken& cancel) {
  const uint32_t started = GetTickCount();
  std::unique_lock<std::mutex> lock(FLock);
  // A signal sets the token without notifying: look again now and then.
  while (FFront < index) {
    cancel.Poll();
    FChanged.wait_for(lock, std::chrono::milliseconds(20));
  }
  return GetTickCount() - started;
}

void TNamingTurn::Settle(size_t index) {
  {
    std::lock_guard<std::mutex> lock(FLock);
    if (index >= FSettled.size() || FSettled[index]) return;
    FSettled[index] = true;
    while (FFront < FSettled.size() && FSettled[FFront]) ++FFront;
  }
  FChanged.notify_all();
}

// ---- shared cell memory ----

void TWorkbookMemory::Start(int64_t limit, const TCancelToken* cancel) {
  std::lock_guard<std::mutex> lock(FLock);
  FLimit = limit;
  FCancel = cancel;
  FPeak = FUsed;
}

void TWorkbookMemory::Enter(size_t index, uint32_t* waited) {
  std::lock_guard<std::mutex> lock(FLock);
  FLoading.push_back({std::this_thread::get_id(), index, waited});
}

void TWorkbookMemory::Leave() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    const auto me = std::this_thread::get_id();
    for (auto it = FLoading.begin(); it != FLoading.end(); ++it)
      if (it->Thread == me) {
        FLoading.erase(it);
        break;
      }
  }
  FFreed.notify_all();  // the earliest may be another now
}

bool TWorkbookMemory::Earliest() const {
  const auto me = std::this_thread::get_id();
  size_t mine = SIZE_MAX, first = SIZE_MAX;
  for (const TLoading& l : FLoading) {
    if (l.Thread == me) mine = l.Index;
    first = std::min(first, l.Index);
  }
  return mine == first;
}

void TWorkbookMemory::Take(int64_t bytes) {
  std::unique_lock<std::mutex> lock(FLock);
  const uint32_t started = GetTickCount();
  bool waited = false;
  while (FLimit > 0 && FUsed + bytes > FLimit && !Earliest()) {
    if (FCancel && FCancel->Canceled()) {
      lock.unlock();
      TCancelToken::Throw();
    }
    waited = true;
    FFreed.wait_for(lock, std::chrono::milliseconds(20));
  }
  if (waited) {
    const auto me = std::this_thread::get_id();
    for (const TLoading& l : FLoading)
      if (l.Thread == me && l.Waited) *l.Waited += GetTickCount() - started;
  }
  FUsed += bytes;
  FPeak = std::max(FPeak, FUsed);
}

void TWorkbookMemory::Give(int64_t bytes) {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FUsed -= bytes;
  }
  FFreed.notify_all();
}

int64_t TWorkbookMemory::Used() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FUsed;
}

int64_t TWorkbookMemory::Peak() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FPeak;
}

// ---- one item's outputs ----

TItemContext::TItemContext(const TJobSettings& settings, const TCancelToken& cancel, TOutputRegistry& outputs,
                           std::string source, std::string destination)
    : Settings(settings),
      Cancel(cancel),
      Outputs(outputs),
      Source(std::move(source)),
      Destination(std::move(destination)) {}

void TItemContext::ReportProgress(double fraction) {
  if (!Progress || !(fraction >= 0)) return;
  const int permille = int(std::min(fraction, 1.0) * 1000);
  // Never back: a second sheet's reading does not undo the first's writing.
  int seen = Progress->load(std::memory_order_relaxed);
  while (permille > seen && !Progress->compare_exchange_weak(seen, permille, std::memory_order_relaxed)) {
  }
}

TItemContext::~TItemContext() {
  if (!FCommitted) Rollback();
  NamesSettled();
}

bool TItemContext::BeginOutput(const std::string& path) {
  Cancel.Poll();
  struct stat st;
  const bool exists = ::lstat(path.c_str(), &st) == 0;
  if (exists && !Settings.chkOverwrite) {
    OutputKept(path);
    return false;
  }
  TOutput out;
  out.Path = path;
  if (exists && !S_ISDIR(st.st_mode)) {
    // A second link to the file the output replaces: if the item fails, it
    // goes back under its name. link() does not follow a planted symlink.
    // A plain file is held in use first, so no other run clears the link
    // as a leftover while this one lives.
    bool aside = false;
    for (const TOutput& o : FOutputs) aside = aside || (o.Path == path && !o.Aside.empty());
    if (!aside) {
      std::string name = HiddenSiblingName(path, ".keep");
      const int held = S_ISREG(st.st_mode) ? ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC) : -1;
      struct stat heldSt, linked;
      if (held >= 0 && (::fstat(held, &heldSt) != 0 || !SameInode(heldSt, st))) {
        ::close(held);  // replaced under us: nothing to keep aside
      } else {
        MarkInUse(held);
        if (::link(path.c_str(), name.c_str()) != 0) {
          if (held >= 0) ::close(held);
        } else if (held < 0 || (::lstat(name.c_str(), &linked) == 0 && SameInode(linked, heldSt))) {
          out.Aside = std::move(name);
          out.AsideHandle = held;
        } else {
          ::unlink(name.c_str());  // not the file we hold
          ::close(held);
        }
      }
    }
  }
  FOutputs.push_back(std::move(out));
  return true;
}

void TItemContext::ReleaseAside(TOutput& output) {
  if (output.AsideHandle >= 0) ::close(output.AsideHandle);
  output.AsideHandle = -1;
}

void TItemContext::OutputWritten(const std::string& path) {
  for (auto it = FOutputs.rbegin(); it != FOutputs.rend(); ++it) {
    if (it->Path != path || it->Written) continue;
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
      it->Device = uint64_t(st.st_dev);
      it->Inode = uint64_t(st.st_ino);
      it->Written = true;
    }
    break;
  }
  FWritten.push_back(path);
}

void TItemContext::OutputKept(const std::string& path) { FKept.push_back(path); }

void TItemContext::SetNaming(TNamingTurn* turn, size_t index) {
  FTurn = turn;
  FIndex = index;
}

std::string TItemContext::ReserveOutput(const std::string& path, const std::string& tag) {
  if (FTurn && !FHasTurn) {
    Waited += FTurn->Await(FIndex, Cancel);
    FHasTurn = true;
  }
  return Outputs.Claim(path, tag, Destination);
}

void TItemContext::NamesSettled() {
  if (FTurn) FTurn->Settle(FIndex);
}

void TItemContext::Commit() {
  if (FCommitted) return;
  FCommitted = true;
  for (TOutput& o : FOutputs) {
    if (!o.Aside.empty()) ::unlink(o.Aside.c_str());
    ReleaseAside(o);
  }
}

void TItemContext::Rollback() {
  if (FCommitted || FRolledBack) return;
  FRolledBack = true;
  for (auto it = FOutputs.rbegin(); it != FOutputs.rend(); ++it) {
    const char* path = it->Path.c_str();
    struct stat now, kept;
    const bool present = ::lstat(path, &now) == 0;
    if (!it->Aside.empty()) {
      // Renaming a link over another link of the same file does nothing, so
      // an output that was never replaced only loses its extra link.
      if (present && ::lstat(it->Aside.c_str(), &kept) == 0 && SameInode(now, kept))
        ::unlink(it->Aside.c_str());
      else if (::rename(it->Aside.c_str(), path) != 0)
        ::unlink(it->Aside.c_str());
    } else if (it->Written && present && uint64_t(now.st_dev) == it->Device && uint64_t(now.st_ino) == it->Inode) {
      ::unlink(path);  // ours, and nothing was there before
    }
    ReleaseAside(*it);
  }
  FWritten.clear();
}

std::string PrintableText(const std::string& text) {
  const bool utf8 = GetACP() == CP_UTF8;
  std::string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const uint8_t c = *p;
    if (c == '\\') {
      // Doubled: a name holding a backslash and an "n" must not read as one
      // holding a line break.
      out += "\\\\";
      ++p;
    } else if (c < 0x20 || c == 0x7F) {
      AppendEscape(out, c);
      ++p;
    } else if (c < 0x80 || !utf8) {
      out += char(c);
      ++p;
    } else {
      const uint8_t* start = p;
      const char32_t cp = NextUtf8CodePoint(p, end);
      // U+FFFD comes back for a broken sequence, and for itself written whole.
      const bool malformed =
          cp == 0xFFFD && !(p - start == 3 && start[0] == 0xEF && start[1] == 0xBF && start[2] == 0xBD);
      if (malformed) {
        // Each byte of a broken sequence shows as itself.
        for (const uint8_t* b = start; b < p; ++b) AppendEscape(out, *b);
      } else if (cp >= 0x80 && cp < 0xA0) {
        out += Format("\\u%04x", unsigned(cp));
      } else {
        out.append(reinterpret_cast<const char*>(start), size_t(p - start));
      }
    }
  }
  return out;
}

TWorkCounts CountWorkItems(const std::vector<TWorkItem>& items) {
  TWorkCounts n;
  for (const TWorkItem& item : items) {
    if (item.Status == TItemState::Finished) ++n.Converted;
    else if (item.Status == TItemState::Skipped) ++n.Skipped;
    else if (item.Status == TItemState::Error) ++n.Failed;
    else ++n.Left;
  }
  return n;
}

std::string LogLine(const TWorkItem& item) {
  // Five tab-separated columns on every line, so cut and awk find each:
  // status, time, source, outputs ("; " between them, a ";" of a name as
  // "\;"), message (the error, or the warnings and notes).
  std::string outputs;
  for (const std::string& output : item.Outputs.empty() ? std::vector<std::string>{item.Destination} : item.Outputs) {
    if (!outputs.empty()) outputs += "; ";
    for (char c : PrintableText(output)) outputs += c == ';' ? std::string("\\;") : std::string(1, c);
  }
  std::string message;
  const auto add = [&message](const std::string& text) { message += (message.empty() ? "" : "; ") + text; };
  if (item.Status == TItemState::Error) add(PrintableText(item.Status.Message));
  for (const std::string& warning : item.Warnings.Texts) add("warning: " + PrintableText(warning));
  if (item.Status == TItemState::Finished && item.Note.find(NoteOpenedWithPassword) != std::string::npos)
    add(NoteOpenedWithPassword);
  return PrintableText(ItemStateWord(item.Status.State)) + '\t' + PrintableText(item.Time) + '\t' +
         PrintableText(item.Caption) + '\t' + outputs + '\t' + message;
}

TJobSettings::TJobSettings()
    : edSourceName(ProgramDir()),
      edDestinationName(ProgramDir()),
      edLogProcessed(ProgramDir() + "processed.log") {}

bool MatchesMask(const std::string& name, const std::string& mask, bool ignoreCase) {
  if (mask == name) return true;
  std::string m;
  m.reserve(mask.size());
  for (char c : mask)
    if (!(c == '*' && !m.empty() && m.back() == '*')) m += c;
  if (m == "*" || m == "*.*") return true;
  std::string n = name;
  if (ignoreCase) {
    n = AnsiUpperCase(n);
    m = AnsiUpperCase(m);
  }
  if (n.empty() || m.empty()) return false;
  return MatchChars(MaskChars(n), MaskChars(m));
}

std::string EffectiveMask(const std::string& wildcard) {
  std::string mask = Trim(ExtractFileName(wildcard));
  return mask.empty() ? std::string("*.*") : mask;
}

void IBatchView::ProcessMessages() { Ui().ProcessMessages(); }

TBatchDriver::TBatchDriver() = default;
TBatchDriver::~TBatchDriver() = default;

void TBatchDriver::ProcessMessages() {
  if (FView)
    FView->ProcessMessages();
  else
    Ui().ProcessMessages();
}

// ---- candidate list ----

void TBatchDriver::SetCandidateChecked(size_t index, bool checked) {
  if (index < FCandidates.size()) FCandidates[index].Checked = checked;
}

void TBatchDriver::SetAllCandidatesChecked(bool checked) {
  for (auto& c : FCandidates) c.Checked = checked;
}

void TBatchDriver::InvertCandidates() {
  for (auto& c : FCandidates) c.Checked = !c.Checked;
}

void TBatchDriver::ClearCandidates() {
  FCandidates.clear();
  if (FView) FView->CandidatesCleared();
}

void TBatchDriver::BuildCandidateList() {
  ClearCandidates();
  CollectFiles(Settings.edSourceName, EffectiveMask(Settings.edSourceWildcard));
}

void TBatchDriver::CollectFiles(const std::string& directory, const std::string& mask) {
  std::set<TDirKey> visited;
  CollectFilesIn(directory, mask, visited);
}

void TBatchDriver::CollectFilesIn(const std::string& directory, const std::string& mask,
                                  std::set<TDirKey>& visited) {
  // A link back up the tree would otherwise recurse for ever.
  struct stat st {};
  if (::stat(directory.empty() ? "." : directory.c_str(), &st) == 0) {
    if (!visited.insert({static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)}).second) return;
  }
  for (const TDirEntry& e : EnumerateDirectory(directory)) {
    if (CancelToken().Canceled()) return;  // an interrupt while a huge tree is listed
    if (e.Name == "." || e.Name == "..") continue;
    if (e.IsDirectory) {
      if (Settings.chkSubFolders) CollectFilesIn(JoinPath(directory, e.Name), mask, visited);
      continue;
    }
    if (!MatchesMask(e.Name, mask, true)) continue;
    TCandidateItem item;
    item.Caption = e.Name;
    item.Directory = directory;
    item.Checked = IsFileAccepted(e.Name);
    FCandidates.push_back(std::move(item));
    if (FView) FView->CandidateAdded(FCandidates.size() - 1);
  }
}

// ---- work list ----

// The work list is left alone while a run walks it (a view processing
// messages could otherwise pull it away under the loop).
void TBatchDriver::ClearWorkList() {
  if (FRunning) return;
  FWorkItems.clear();
  FOutputs.Clear();
  if (FView) FView->WorkListCleared();
}

void TBatchDriver::BuildWorkList() {
  if (FRunning) return;
  ClearWorkList();
  // AddToProgressList may call into the view; iterate over a copy of the ticks.
  const std::vector<TCandidateItem> candidates = FCandidates;
  std::vector<std::string> sources;
  for (const auto& c : candidates)
    if (IsSourceName(c.Caption)) sources.push_back(JoinPath(c.Directory, c.Caption));
  ReserveSources(sources);
  for (const auto& c : candidates)
    if (c.Checked) AddToProgressList(c.Directory, JoinPath(c.Directory, c.Caption));
}

void TBatchDriver::ReserveSources(const std::vector<std::string>& paths) {
  if (FRunning) return;
  for (const std::string& path : paths) FOutputs.AddSource(path);
}

void TBatchDriver::AddToProgressList(const std::string& directory, const std::string& sourcePath) {
  if (FRunning || !IsFileAccepted(sourcePath)) return;

  // Directly in the destination directory, or in the source's own place under it.
  const std::string below =
      Settings.Destination.KeepFolderTree ? RelativeFolder(directory, Settings.edSourceName) : std::string();
  const std::string destDir = below.empty() ? Settings.edDestinationName : JoinPath(Settings.edDestinationName, below);
  // Outputs of several sources share a directory, so a.wk1 and a.wk3 (or
  // x/r.xls and y/r.xls) would write the same file and the later one would
  // silently replace the earlier, and report.ods's output would be
  // report.xlsx, a source itself. Such an output gets its source's
  // extension folded into the name instead (a_wk3.csv, report_ods.xlsx),
  // then a number (a_wk3_2.csv).
  const std::string name = NamePart(sourcePath);
  const size_t dot = name.rfind('.');
  const std::string destination = FOutputs.ReserveUnique(
      JoinPath(destDir, ReplaceExt(name, GetDestinationExt())), dot == std::string::npos ? "" : name.substr(dot + 1));
  // Created at once; a failure shows later as the file's error. Only an
  // empty path raises ("Unable to create directory").
  if (!CreateFoldersWhenListing) {
    // The run creates them.
  } else if (!below.empty()) {
    if (DirectoryExists(Settings.edDestinationName) || ForceDirectories(Settings.edDestinationName))
      ForceDirectoriesBelow(Settings.edDestinationName, below);
  } else if (destDir.empty() || !DirectoryExists(destDir)) {
    ForceDirectories(destDir);
  }

  AddWorkItem(sourcePath, destination);
}

void TBatchDriver::AddWorkItem(const std::string& sourcePath, const std::string& destination) {
  if (FRunning) return;
  FOutputs.AddSource(sourcePath);
  FOutputs.Reserve(destination);  // a named output too: no sheet output of another item takes it
  TWorkItem item;
  item.Caption = sourcePath;
  // Skipped up front only when the destination is sure to be an output;
  // under a name template or a sheet mask each output is checked as it comes.
  const TDestinationOptions& d = Settings.Destination;
  const bool sure = d.NameTemplate.empty() && d.Sheets != ssMask;
  item.Status = (Settings.chkOverwrite || !sure || !FileExists(destination)) ? TItemState::Waiting : TItemState::Skipped;
  item.Destination = destination;
  FWorkItems.push_back(std::move(item));
  if (FView) FView->WorkItemAdded(FWorkItems.size() - 1);
  ProcessMessages();
}

void TBatchDriver::FilterWorkList(const std::function<bool(size_t, const TWorkItem&)>& keep) {
  if (FRunning) return;
  std::vector<TWorkItem> kept;
  for (size_t i = 0; i < FWorkItems.size(); ++i)
    if (keep(i, FWorkItems[i])) kept.push_back(std::move(FWorkItems[i]));
  FWorkItems = std::move(kept);
  if (FView) {
    FView->WorkListCleared();
    for (size_t i = 0; i < FWorkItems.size(); ++i) FView->WorkItemAdded(i);
  }
}

// ---- run ----

void TBatchDriver::Stop() {
  if (!FRunning) return;
  FStopRequested = true;
  MutableCancelToken().Cancel(TCancelToken::StopByUser);
}

void TBatchDriver::NoteOutput(const std::string& path) {
  if (FCurrentItem < FWorkItems.size()) FWorkItems[FCurrentItem].Outputs.push_back(path);
}

void TBatchDriver::SetItemState(size_t index, const TItemStatus& status, const std::string& time, int image,
                                const std::string& note) {
  TWorkItem& item = FWorkItems[index];
  item.Status = status;
  item.Time = time;
  item.ImageIndex = image;
  item.Note = note;
  if (FView) FView->WorkItemChanged(index);
}

// Work-list destinations are distinct already (UniqueDestination); what
// is left is an output that would overwrite its own source.
std::string TBatchDriver::DestinationConflict(size_t index) const {
  const TWorkItem& item = FWorkItems[index];
  if (item.Destination == item.Caption || SameFile(item.Caption, item.Destination))
    return "The destination file is the source file itself";
  return std::string();
}

TBatchDriver::TItemResult TBatchDriver::ConvertOne(size_t index, const std::function<void(TItemContext&)>& convert,
                                                   TNamingTurn* turn, std::vector<std::string>* outputs) {
  const uint32_t started = GetTickCount();
  // Helper threads of the conversion borrow only processors no other job holds.
  TProcessorClaim processor;
  TItemContext item(Settings, CancelToken(), FOutputs, FWorkItems[index].Caption, FWorkItems[index].Destination);
  item.SetNaming(turn, index);
  struct TProgressSpan {
    std::atomic<int>* Progress;
    ~TProgressSpan() {
      if (Progress) Progress->store(-1, std::memory_order_relaxed);
    }
  } span{index < FProgressCount ? &FProgress[index] : nullptr};
  if (span.Progress) {
    FProgressStart[index].store(started, std::memory_order_relaxed);
    span.Progress->store(0, std::memory_order_relaxed);
    item.Progress = span.Progress;
  }
  std::string error;
  bool failed = false;
  bool canceled = false;
  try {
    error = DestinationConflict(index);
    if (!error.empty()) {
      failed = true;
    } else {
      EnsureFolder(item.Destination, Settings);
      convert(item);
    }
  } catch (const EOperationCanceled&) {
    canceled = true;
  } catch (const Exception& e) {
    failed = true;
    error = e.Message();
  } catch (const std::bad_alloc&) {
    failed = true;
    error = "Out of memory: the workbook is too large for this machine.";
  } catch (const std::exception& e) {
    failed = true;
    error = e.what();
  }
  // An error raised because the stop cut something short is a stop too.
  if (failed && CancelToken().Canceled()) canceled = true;
  TItemResult r;
  r.Note = KeptNote(item.Kept());
  if (!item.Note.empty()) r.Note = r.Note.empty() ? item.Note : item.Note + "; " + r.Note;
  r.Warnings = item.Warnings;
  if (const size_t n = item.Warnings.Count) {
    const std::string warned = std::to_string(n) + (n == 1 ? " warning" : " warnings");
    r.Note = r.Note.empty() ? warned : warned + "; " + r.Note;
  }
  r.Reader = item.Reader;
  r.Version = item.Version;
  r.Sheets = item.Sheets;
  r.Cells = item.Cells;
  if (canceled || failed) {
    // The log lists what stays on disk.
    item.Rollback();
    if (!item.Committed() && outputs) outputs->clear();
  }
  if (canceled) {
    r.Status = TItemState::Canceled;
  } else if (failed) {
    // A conversion that kept its outputs (a truncated file) committed them.
    r.Status = TItemStatus::Failed(error);
    r.Image = ImageError;
  } else {
    item.Commit();
    // Its own time: waits for other items' names or memory do not count.
    // Unsigned: survives the tick count wrapping.
    const uint32_t elapsed = GetTickCount() - started;
    r.Milliseconds = elapsed - std::min(elapsed, item.Waited) + 1;
    r.Status = TItemState::Finished;
    r.Time = Format("%u msec", r.Milliseconds);
    r.Image = ImageFinished;
  }
  if (!outputs) r.Outputs = item.Written();
  return r;
}

void TBatchDriver::ApplyResult(size_t index, TItemResult&& r) {
  TWorkItem& w = FWorkItems[index];
  w.Outputs = std::move(r.Outputs);
  w.Reader = std::move(r.Reader);
  w.Version = std::move(r.Version);
  w.Sheets = r.Sheets;
  w.Cells = r.Cells;
  w.Milliseconds = r.Milliseconds;
  w.Warnings = std::move(r.Warnings);
  SetItemState(index, r.Status, r.Time, r.Image, r.Note);
}

void TBatchDriver::RunItem(size_t index) {
  FWorkItems[index].Outputs.clear();
  FCurrentItem = index;
  SetItemState(index, TItemState::InProgress, std::string(), ImageInProgress);
  ProcessMessages();
  TItemResult r = ConvertOne(index, [this](TItemContext& item) { ConvertItem(item); }, nullptr,
                             &FWorkItems[index].Outputs);
  FCurrentItem = SIZE_MAX;
  r.Outputs = FWorkItems[index].Outputs;
  ApplyResult(index, std::move(r));
  ProcessMessages();
}

void TBatchDriver::RunSerial() {
  size_t i = 0;
  for (; i < FWorkItems.size() && !StopRequested(); ++i) {
    if (FWorkItems[i].Status == TItemState::Waiting) {
      RunItem(i);
      LogItem(i);
    } else if (FWorkItems[i].Status == TItemState::Skipped) {
      LogItem(i);
    }
  }
  // After Stop the log still accounts for the items not converted.
  for (; i < FWorkItems.size(); ++i)
    if (FWorkItems[i].Status == TItemState::Waiting || FWorkItems[i].Status == TItemState::Skipped) LogItem(i);
}

// Workers take the waiting items in order; this thread hands their results
// to the view and the log in work-list order, so what is shown and logged
// is what a serial run shows. The work list itself is only touched here:
// workers read the captions and destinations, which do not change while
// the run goes on, and return what they found.
void TBatchDriver::RunParallel(std::vector<std::unique_ptr<IBatchWorker>>& workers) {
  const size_t count = FWorkItems.size();
  std::vector<bool> waiting(count);
  for (size_t i = 0; i < count; ++i) waiting[i] = FWorkItems[i].Status == TItemState::Waiting;
  std::vector<bool> settled(count);
  for (size_t i = 0; i < count; ++i) settled[i] = !waiting[i];
  TNamingTurn turn(std::move(settled));

  struct TSlot {
    bool Taken = false;
    bool Ready = false;
    TItemResult Result;
  };
  std::vector<TSlot> slots(count);
  std::mutex lock;
  std::condition_variable done;
  size_t next = 0;         // the next item a worker looks at
  size_t running = workers.size();

  auto work = [&](IBatchWorker& worker) {
    for (;;) {
      size_t index;
      {
        std::lock_guard<std::mutex> g(lock);
        while (next < count && !waiting[next]) ++next;
        // After a stop no new item starts.
        if (next >= count || CancelToken().Canceled()) break;
        index = next++;
        slots[index].Taken = true;
      }
      TItemResult r;
      try {
        r = ConvertOne(
            index,
            [&](TItemContext& item) {
              if (Settings.MaxWorkbookMemory > 0) item.MemoryPool = &FWorkbookMemory;
              FWorkbookMemory.Enter(index, &item.Waited);
              struct TLeave {
                TWorkbookMemory& Memory;
                ~TLeave() { Memory.Leave(); }
              } leave{FWorkbookMemory};
              worker.ConvertItem(item);
            },
            &turn, nullptr);
      } catch (...) {
        // Not even an exception's message: the item fails, the run goes on.
        r.Status = TItemStatus::Failed(std::string());
        r.Image = ImageError;
      }
      {
        std::lock_guard<std::mutex> g(lock);
        slots[index].Result = std::move(r);
        slots[index].Ready = true;
      }
      done.notify_all();
    }
    {
      std::lock_guard<std::mutex> g(lock);
      --running;
    }
    done.notify_all();
  };

  FWorkbookMemory.Start(Settings.MaxWorkbookMemory, &CancelToken());
  std::vector<std::thread> threads;
  threads.reserve(workers.size());
  struct TJoin {
    std::vector<std::thread>& Threads;
    TCancelToken& Cancel;
    ~TJoin() {
      // Leaving early (the view or the log raised): stop the workers first.
      bool any = false;
      for (auto& t : Threads) any = any || t.joinable();
      if (!any) return;
      Cancel.Cancel(TCancelToken::StopByUser);
      for (auto& t : Threads)
        if (t.joinable()) t.join();
    }
  } join{threads, MutableCancelToken()};
  for (auto& w : workers) threads.emplace_back(work, std::ref(*w));

  for (size_t i = 0; i < count; ++i) {
    const TItemStatus& status = FWorkItems[i].Status;
    if (status == TItemState::Skipped) {
      LogItem(i);
      continue;
    }
    if (status != TItemState::Waiting) continue;
    bool shown = false;
    std::unique_lock<std::mutex> g(lock);
    for (;;) {
      if (slots[i].Ready) break;
      if (!slots[i].Taken && (running == 0 || CancelToken().Canceled())) break;  // never to start
      if (slots[i].Taken && !shown) {
        shown = true;
        g.unlock();
        FWorkItems[i].Outputs.clear();
        SetItemState(i, TItemState::InProgress, std::string(), ImageInProgress);
        g.lock();
        continue;
      }
      done.wait_for(g, std::chrono::milliseconds(50));
      g.unlock();
      ProcessMessages();  // e.g. tell of a signal
      g.lock();
    }
    if (!slots[i].Ready) {
      g.unlock();
      LogItem(i);  // left waiting, as after a serial run's stop
      continue;
    }
    TItemResult r = std::move(slots[i].Result);
    g.unlock();
    if (!shown) SetItemState(i, TItemState::InProgress, std::string(), ImageInProgress);
    ApplyResult(i, std::move(r));
    ProcessMessages();
    LogItem(i);
  }
  for (auto& t : threads) t.join();
}

std::vector<TBatchDriver::TRunningItem> TBatchDriver::RunningItems() const {
  std::vector<TRunningItem> running;
  const uint32_t now = GetTickCount();
  for (size_t i = 0; i < FProgressCount; ++i)
    if (const int permille = FProgress[i].load(std::memory_order_relaxed); permille >= 0)
      running.push_back({i, permille, now - FProgressStart[i].load(std::memory_order_relaxed)});
  return running;
}

TRunOutcome TBatchDriver::ExecuteConversion() {
  if (FRunning) return TRunOutcome::roFinished;  // re-entered from ProcessMessages
  FRunning = true;
  FStopRequested = false;
  // Our own token is armed again; a given one keeps a stop that came before the run.
  if (!FExternalCancel) FCancel.Reset();
  // Long conversions poll the token; on this thread that keeps the window
  // painted and its Stop button alive.
  MutableCancelToken().SetKeepAlive([this] { ProcessMessages(); });
  FLogError.clear();
  FProgressCount = FWorkItems.size();
  FProgress = std::make_unique<std::atomic<int>[]>(FProgressCount);
  FProgressStart = std::make_unique<std::atomic<uint32_t>[]>(FProgressCount);
  for (size_t i = 0; i < FProgressCount; ++i) FProgress[i].store(-1, std::memory_order_relaxed);
  if (FView) FView->RunStarted();

  // Whatever leaves the run, the converters are freed and the view restored.
  struct TRunGuard {
    TBatchDriver& Driver;
    bool Ended = false;
    void End(TRunOutcome outcome) {
      if (Ended) return;
      Ended = true;
      Driver.FRunning = false;
      Driver.MutableCancelToken().SetKeepAlive(nullptr);
      if (Driver.FView) Driver.FView->RunEnded(outcome);
    }
    ~TRunGuard() { End(TRunOutcome::roNotStarted); }
  } guard{*this};

  try {
    CreateConverters();
    WriteLog(RunHeader());
    RemoveLeftovers();
  } catch (...) {
    // Not swallowed: the caller shows it and the run does not start.
    FreeConverters();
    throw;
  }

  try {
    std::vector<std::unique_ptr<IBatchWorker>> workers;
    size_t waiting = 0;
    for (const TWorkItem& w : FWorkItems) waiting += w.Status == TItemState::Waiting;
    for (size_t n = 0; n < std::min<size_t>(FJobs, waiting) && FJobs > 1; ++n) {
      std::unique_ptr<IBatchWorker> worker = CreateWorker();
      if (!worker) break;
      workers.push_back(std::move(worker));
    }
    if (workers.size() > 1)
      RunParallel(workers);
    else
      RunSerial();
  } catch (...) {
    FreeConverters();
    throw;
  }
  FreeConverters();

  TRunOutcome outcome;
  if (StopRequested())
    outcome = TRunOutcome::roCanceled;
  else if (!FWorkItems.empty())
    outcome = TRunOutcome::roFinished;
  else
    outcome = TRunOutcome::roNoDocuments;
  guard.End(outcome);
  ShowClosingMessage(outcome, ClosingMessage(outcome));
  return outcome;
}

// Hidden ".part" and ".keep" files that killed runs left where this run
// writes; those of runs still alive are left alone.
void TBatchDriver::RemoveLeftovers() {
  std::set<std::string> folders;
  for (const TWorkItem& item : FWorkItems)
    if (item.Status == TItemState::Waiting) folders.insert(FolderPart(item.Destination));
  for (const std::string& folder : folders) ::RemoveLeftovers(folder.empty() ? "." : folder);
}

std::string TBatchDriver::ClosingMessage(TRunOutcome outcome) const {
  switch (outcome) {
    case TRunOutcome::roCanceled: return MsgConversionCanceled;
    case TRunOutcome::roNoDocuments: return MsgNoDocuments;
    case TRunOutcome::roFinished:
    case TRunOutcome::roNotStarted: break;
  }
  // "Finished" over a list of errors would report failure as success.
  const TWorkCounts n = CountWorkItems(FWorkItems);
  if (n.Failed == 0) return MsgConversionFinished;
  return Format(MsgConversionFinishedCounts, n.Converted, n.Failed);
}

void TBatchDriver::ShowClosingMessage(TRunOutcome, const std::string& text) { Ui().ShowMessage(text); }

void TBatchDriver::WriteLog(const std::string& text) {
  if (Settings.chkLogProcessed) AppendToFile(Settings.edLogProcessed, text, "\n");
}

void TBatchDriver::LogItem(size_t index) {
  if (!Settings.chkLogProcessed) return;
  try {
    WriteLog(LogLine(FWorkItems[index]));
  } catch (const std::exception& e) {
    // The conversions matter more than their log: go on, and tell at the end.
    if (FLogError.empty()) FLogError = e.what();
  }
}

std::string TBatchDriver::RunHeader() { return std::string(ProductName) + " " + DateTimeToStr(Now()) + "\n"; }

// ---- hooks: the format-neutral base accepts and converts nothing ----

bool TBatchDriver::IsFileAccepted(const std::string&) { return false; }
bool TBatchDriver::IsSourceName(const std::string& name) { return IsFileAccepted(name); }
std::string TBatchDriver::GetDestinationExt() { return std::string(); }
void TBatchDriver::CreateConverters() {}
void TBatchDriver::FreeConverters() {}
void TBatchDriver::ConvertFile(const std::string&, const std::string&) {}
std::unique_ptr<IBatchWorker> TBatchDriver::CreateWorker() { return nullptr; }
void TBatchDriver::ConvertItem(TItemContext& item) {
  struct TReset {
    TItemContext*& Current;
    ~TReset() { Current = nullptr; }
  } reset{FItemContext};
  FItemContext = &item;
  ConvertFile(item.Source, item.Destination);
}
