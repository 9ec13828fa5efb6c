#include "IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "Exception.h"
#include "FileSystem.h"
#include "Streams.h"
#include "SysUtils.h"

namespace {

bool SameName(const std::string& a, const std::string& b) { return SameText(a, b) || AnsiSameText(a, b); }

// The profile API drops one pair of quotes around a value.
std::string Unquote(const std::string& v) {
  if (v.size() >= 2 && ((v.front() == '"' && v.back() == '"') || (v.front() == '\'' && v.back() == '\'')))
    return v.substr(1, v.size() - 2);
  return v;
}

// A value that would not read back as written (blanks at either end, its own
// quotes, line breaks) is quoted or flattened so it survives the round trip.
std::string EncodeValue(const std::string& value) {
  std::string v = value;
  for (char& c : v)
    if (c == '\r' || c == '\n') c = ' ';
  bool needQuotes = !v.empty() && ((unsigned char)v.front() <= ' ' || (unsigned char)v.back() <= ' ' ||
                                   (v.size() >= 2 && v.front() == v.back() && (v.front() == '"' || v.front() == '\'')));
  return needQuotes ? "\"" + v + "\"" : v;
}

int32_t ParseIniInteger(const std::string& text, int32_t def) {
  // Decimal or 0x hexadecimal only; "$" is no prefix in a profile.
  std::string t = Trim(text);
  if (!t.empty() && t[0] == '$') return def;
  if (t.size() > 1 && (t[0] == '-' || t[0] == '+') && t[1] == '$') return def;
  return StrToIntDef(t, def);
}

}  // namespace

TIniFile::TIniFile(std::string fileName) : FFileName(std::move(fileName)) { Reload(); }

TIniFile::~TIniFile() {
  if (!FDirty) return;
  try {
    UpdateFile();
  } catch (const std::exception&) {
    // Settings that cannot be written are lost silently, as with the profile API.
  }
}

void TIniFile::Reload() {
  FSections.clear();
  FDirty = false;
  FBom = false;
  std::string text;
  try {
    if (FileExists(FFileName)) {
      TMemoryStream m;
      m.LoadFromFile(FFileName);
      text.assign(reinterpret_cast<const char*>(m.Bytes().data()), m.Bytes().size());
    }
  } catch (const Exception&) {
    text.clear();  // unreadable reads as empty
  }
  LoadFromString(text);
}

void TIniFile::LoadFromString(const std::string& input) {
  FSections.clear();
  FSections.push_back(TSection{});  // lines before the first section
  std::string text = input;
  FBom = text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0;
  if (FBom) text.erase(0, 3);
  size_t firstNl = text.find('\n');
  if (firstNl != std::string::npos) FLineEnd = firstNl > 0 && text[firstNl - 1] == '\r' ? "\r\n" : "\n";
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    size_t end = nl == std::string::npos ? text.size() : nl;
    std::string line = text.substr(pos, end - pos);
    while (!line.empty() && line.back() == '\r') line.pop_back();
    pos = nl == std::string::npos ? text.size() : nl + 1;

    std::string t = Trim(line);
    if (!t.empty() && t[0] == '[') {
      size_t close = t.find(']');
      TSection sec;
      sec.Name = Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      sec.Header = line;
      FSections.push_back(std::move(sec));
      continue;
    }
    TLine l;
    l.Text = line;
    if (!t.empty() && t[0] != ';') {
      size_t eq = t.find('=');
      if (eq != std::string::npos && eq > 0) {
        l.Key = Trim(t.substr(0, eq));
        l.Value = Trim(t.substr(eq + 1));
      }
    }
    FSections.back().Lines.push_back(std::move(l));
  }
}

std::string TIniFile::SaveToString() const {
  std::string out;
  if (FBom) out = "\xEF\xBB\xBF";
  for (size_t i = 0; i < FSections.size(); ++i) {
    const TSection& s = FSections[i];
    if (i > 0) out += s.Header + FLineEnd;
    for (const TLine& l : s.Lines) out += l.Text + FLineEnd;
  }
  return out;
}

TIniFile::TSection* TIniFile::FindSection(const std::string& name) {
  for (size_t i = 1; i < FSections.size(); ++i)
    if (SameName(FSections[i].Name, name)) return &FSections[i];
  return nullptr;
}

const TIniFile::TSection* TIniFile::FindSection(const std::string& name) const {
  return const_cast<TIniFile*>(this)->FindSection(name);
}

const TIniFile::TLine* TIniFile::FindKey(const TSection& sec, const std::string& key) {
  for (const TLine& l : sec.Lines)
    if (!l.Key.empty() && SameName(l.Key, key)) return &l;
  return nullptr;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const {
  const TSection* s = FindSection(section);
  if (!s) return def;
  const TLine* l = FindKey(*s, Trim(key));
  return l ? Unquote(l->Value) : def;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  std::string k = Trim(key);
  std::string sname = Trim(section);
  if (k.empty() || sname.empty()) return;
  std::string v = EncodeValue(value);
  TSection* s = FindSection(sname);
  if (!s) {
    // A blank line before a new section, unless the file is empty.
    bool any = !FSections[0].Lines.empty() || FSections.size() > 1;
    if (any) {
      TSection& last = FSections.back();
      if (last.Lines.empty() || !Trim(last.Lines.back().Text).empty()) last.Lines.push_back(TLine{});
    }
    TSection ns;
    ns.Name = sname;
    ns.Header = "[" + sname + "]";
    FSections.push_back(std::move(ns));
    s = &FSections.back();
  }
  for (TLine& l : s->Lines) {
    if (!l.Key.empty() && SameName(l.Key, k)) {
      if (l.Value == v) return;
      l.Value = v;
      l.Text = l.Key + "=" + v;
      Changed();
      return;
    }
  }
  // New keys go after the last non-blank line of the section.
  size_t at = s->Lines.size();
  while (at > 0 && Trim(s->Lines[at - 1].Text).empty()) --at;
  TLine nl;
  nl.Key = k;
  nl.Value = v;
  nl.Text = k + "=" + v;
  s->Lines.insert(s->Lines.begin() + long(at), std::move(nl));
  Changed();
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key, int32_t def) const {
  const TSection* s = FindSection(section);
  if (!s) return def;
  const TLine* l = FindKey(*s, Trim(key));
  return l ? ParseIniInteger(Unquote(l->Value), def) : def;
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
  WriteString(section, key, IntToStr(value));
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

double TIniFile::ReadFloat(const std::string& section, const std::string& key, double def) const {
  std::string s = ReadString(section, key, "");
  TFormatSettings fs = TFormatSettings::UnitedStates();
  double v;
  if (TryStrToFloat(s, v, fs)) return v;
  fs.DecimalSeparator = ',';  // files written with a regional comma
  return TryStrToFloat(s, v, fs) ? v : def;
}

void TIniFile::WriteFloat(const std::string& section, const std::string& key, double value) {
  WriteString(section, key, FloatToStr(value, TFormatSettings::UnitedStates()));
}

bool TIniFile::SectionExists(const std::string& section) const { return FindSection(Trim(section)) != nullptr; }

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
  const TSection* s = FindSection(Trim(section));
  return s && FindKey(*s, Trim(key));
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
  std::vector<std::string> keys;
  const TSection* s = FindSection(Trim(section));
  if (!s) return keys;
  for (const TLine& l : s->Lines)
    if (!l.Key.empty()) keys.push_back(l.Key);
  return keys;
}

std::vector<std::string> TIniFile::ReadSections() const {
  std::vector<std::string> names;
  for (size_t i = 1; i < FSections.size(); ++i) names.push_back(FSections[i].Name);
  return names;
}

void TIniFile::EraseSection(const std::string& section) {
  std::string name = Trim(section);
  bool erased = false;
  for (size_t i = FSections.size(); i > 1; --i)
    if (SameName(FSections[i - 1].Name, name)) {
      FSections.erase(FSections.begin() + long(i - 1));
      erased = true;
    }
  if (erased) Changed();
}

void TIniFile::DeleteKey(const std::string& section, const std::string& key) {
  TSection* s = FindSection(Trim(section));
  if (!s) return;
  std::string k = Trim(key);
  for (size_t i = 0; i < s->Lines.size(); ++i)
    if (!s->Lines[i].Key.empty() && SameName(s->Lines[i].Key, k)) {
      s->Lines.erase(s->Lines.begin() + long(i));
      Changed();
      return;
    }
}

void TIniFile::Changed() {
  FDirty = true;
  try {
    UpdateFile();
  } catch (const std::exception&) {
    // Silent, as WritePrivateProfileString; FDirty keeps the change for a retry.
  }
}

void TIniFile::UpdateFile() {
  if (!FDirty) return;
  std::string dir = ExtractFileDir(FFileName);
  if (!dir.empty() && !DirectoryExists(dir)) ForceDirectories(dir);
  std::string text = SaveToString();
  struct stat old;
  bool existed = ::stat(FFileName.c_str(), &old) == 0;
  // Written beside the file and renamed over it, so a failure never leaves
  // half a file; where the folder refuses a new file, written in place.
  std::string temp = FFileName + ".tmp";
  bool viaTemp = true;
  try {
    TFileStream f(temp, fmCreate);
    try {
      if (existed) ::fchmod(f.Handle(), old.st_mode & 07777);
      f.WriteString(text);
      f.Flush();
    } catch (...) {
      ::unlink(temp.c_str());
      throw;
    }
  } catch (const EFCreateError&) {
    if (!existed) throw;
    viaTemp = false;
  }
  if (viaTemp) {
    if (::rename(temp.c_str(), FFileName.c_str()) != 0) {
      ::unlink(temp.c_str());
      throw EWriteError("Cannot write settings file \"" + FFileName + "\"");
    }
  } else {
    TFileStream f(FFileName, fmCreate);
    f.WriteString(text);
    f.Flush();
  }
  FDirty = false;
}
