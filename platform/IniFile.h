#pragma once
// Settings in a Windows profile (INI) file: sections and keys without regard
// to case, lines we do not understand kept as they are. Like the profile API,
// every write goes to the file at once; a write that fails is silent (the
// change stays in memory and the next write, UpdateFile() or the destructor
// tries again). The folder chain of the file is created when missing.
#include <cstdint>
#include <string>
#include <vector>

class TIniFile {
 public:
  explicit TIniFile(std::string fileName);
  ~TIniFile();  // retries changes a failed write left behind
  TIniFile(const TIniFile&) = delete;
  TIniFile& operator=(const TIniFile&) = delete;

  const std::string& FileName() const { return FFileName; }

  std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  // Decimal or "0x" hexadecimal; def when absent or not a number.
  int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def) const;
  void WriteInteger(const std::string& section, const std::string& key, int32_t value);
  // Stored as "0"/"1"; any other number counts as true.
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;
  void WriteBool(const std::string& section, const std::string& key, bool value);
  // "." as decimal separator whatever the region, so files travel.
  double ReadFloat(const std::string& section, const std::string& key, double def) const;
  void WriteFloat(const std::string& section, const std::string& key, double value);

  bool SectionExists(const std::string& section) const;
  bool ValueExists(const std::string& section, const std::string& key) const;
  std::vector<std::string> ReadSection(const std::string& section) const;  // key names
  std::vector<std::string> ReadSections() const;
  void EraseSection(const std::string& section);
  void DeleteKey(const std::string& section, const std::string& key);

  // Writes pending changes; raises EFCreateError/EWriteError when it cannot.
  void UpdateFile();
  // Drops unsaved changes and reads the file again.
  void Reload();
  // Parses INI text (for tests and for reading from memory).
  void LoadFromString(const std::string& text);
  std::string SaveToString() const;

 private:
  struct TLine {
    std::string Text;     // as read (comments, blanks, unknown lines)
    std::string Key;      // empty for non key lines
    std::string Value;
  };
  struct TSection {
    std::string Name;
    std::string Header;   // original header line; empty for the part before any section
    std::vector<TLine> Lines;
  };
  TSection* FindSection(const std::string& name);
  const TSection* FindSection(const std::string& name) const;
  static const TLine* FindKey(const TSection& sec, const std::string& key);

  std::string FFileName;
  std::vector<TSection> FSections;
  bool FDirty = false;
  std::string FLineEnd = "\n";
  bool FBom = false;
  void Changed();
};
