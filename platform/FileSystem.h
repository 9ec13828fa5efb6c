#pragma once
// Files and folders, the tick count, and where the program and its settings live.
#include <cstdint>
#include <string>
#include <vector>

#include "DateTime.h"

bool FileExists(const std::string& path);       // a file (not a folder)
bool DirectoryExists(const std::string& path);
// Creates every missing folder; raises EInOutError "Unable to create directory"
// for an empty path; false when it cannot be created, with the system's
// reason ("Permission denied", "Not a directory") in *reason when given.
bool ForceDirectories(const std::string& path, std::string* reason = nullptr);
// Creates the folders of relative ("a/b") one by one inside base (which must
// exist), never through a symbolic link: a link (or a file) in the way fails
// with the reason in *reason, so outputs cannot be steered out of base by a
// link planted in it. Empty steps and "." are passed over; ".." fails.
bool ForceDirectoriesBelow(const std::string& base, const std::string& relative, std::string* reason = nullptr);
// The errno with which stat fails for path (ENOENT, ELOOP, EACCES ...), 0 when it succeeds.
int PathStatError(const std::string& path);
bool CreateDir(const std::string& path);
bool RemoveDir(const std::string& path);
bool DeleteFile(const std::string& path);
// Fails when newName exists, as the old call did (nothing is replaced by accident).
bool RenameFile(const std::string& oldName, const std::string& newName);
// "<folder>/.<name>.<16 random hex digits><suffix>": a hidden name beside
// path that no other writer picks (a long name lends only its start, so the
// result stays within the 255 bytes a name may have).
std::string HiddenSiblingName(const std::string& path, const std::string& suffix);
// Marks an open file as in use by this process for as long as it stays
// open (a shared lock): a hidden sibling so marked is no leftover.
void MarkInUse(int handle);
// Removes from folder the hidden siblings (HiddenSiblingName) that ".part"
// and ".keep" name and that no living process holds in use: the temporary
// file of an output never finished, the second link to a file an output
// was to replace. A ".keep" whose name is free again goes back under it
// instead, so a file is never lost. Returns how many were cleared.
size_t RemoveLeftovers(const std::string& folder);
// -1 when the file does not exist.
int64_t FileSize(const std::string& path);
// Modification time as local date-time; 0 when absent.
TDateTime FileAge(const std::string& path);

struct TDirEntry {
  std::string Name;
  bool IsDirectory = false;
  bool IsHidden = false;  // name starting with "."
  int64_t Size = 0;
  TDateTime Time = 0;     // modification, local time
};
// Every entry including hidden ones and "." / "..", sorted by name without
// regard to case; a missing or unreadable folder gives an empty list.
std::vector<TDirEntry> EnumerateDirectory(const std::string& dir);

// Milliseconds from a monotonic clock; wraps after 49.7 days.
uint32_t GetTickCount();

// Does nothing when path or text is empty; otherwise appends text and the
// line end (CR LF unless given) to the file, creating it when missing. Raises EFOpenError/EFCreateError or
// EWriteError when it cannot (the caller shows it and does not start the run).
void AppendToFile(const std::string& path, const std::string& text, const char* lineEnd = "\r\n");

std::string ProgramFileName();
std::string ProgramDir();  // with trailing "/"
// $XDG_CONFIG_HOME (else ~/.config)/Kestra/<base>/<base>.ini; beside the program without a home.
std::string SettingsFilePath(const std::string& programBaseName);
std::string GetTempDir();  // with trailing "/"
