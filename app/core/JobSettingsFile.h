#pragma once
// The job's settings file: every section and key the window and
// varnowe-batch read and write, in one table. Load, save, --settings and the
// tests go through the table, so a key is named once and every side reads
// it the same way. Keys are written in table order, each section in place,
// so a stored file reads and writes as it always has.
#include <cstdint>
#include <span>
#include <string>

#include "BatchDriver.h"

class TIniFile;

// Which source families the job takes (the window's check boxes).
struct TSourceFormats {
  bool chkMSExcel = true;
  bool chkLotus = true;
  bool chkQuattroPro = true;
  bool chkOpenOffice = true;

  bool operator==(const TSourceFormats&) const = default;
};

// What the settings file holds.
struct TStoredSettings {
  TJobSettings Job;
  TSourceFormats Formats;
};

// The parts a caller reads or writes: the window's base keeps the job's
// keys, its subclass the source families; varnowe-batch reads all.
enum TSettingGroup : unsigned {
  sgJob = 1,           // General, Log, Options
  sgDestination = 2,   // Destination
  sgSourceFormats = 4, // SourceFormat
  sgAll = 7,
};

enum class TSettingKind : uint8_t {
  skText,      // the text as it stands
  skInteger,   // decimal or 0x hexadecimal
  skBool,      // a number, non-zero true; written 1 or 0
  skWord,      // one of Words, any case; anything else keeps the current value
  skByteSize,  // a byte count, K, M, G or T allowed ("4G")
};

struct TSettingKey {
  const char* Section;
  const char* Key;
  TSettingKind Kind;
  // skWord: the words understood, separated by blanks ("crlf lf"); nullptr
  // otherwise. Each is written as it stands (a separator: "tab", "space", or
  // the character itself).
  const char* Words;
  // The text a fresh job writes; nullptr when it depends on the machine
  // (folders) or the key is only read.
  const char* Default;
  TSettingGroup Group;
  // Reads the key into values; what the file lacks or holds in a form not
  // understood keeps the current value.
  void (*Read)(const TIniFile& ini, const TSettingKey& key, TStoredSettings& values);
  // nullptr: only read (the budgets follow this machine's defaults unless set by hand).
  void (*Write)(TIniFile& ini, const TSettingKey& key, const TStoredSettings& values);
  // Written whole: the section is emptied before its first key is written.
  bool WholeSection = false;
};

// Every key, in the order they are written.
std::span<const TSettingKey> SettingKeys();

// Reads the keys of the groups into values.
void ReadStoredSettings(const TIniFile& ini, TStoredSettings& values, unsigned groups = sgAll);
// Writes the keys of the groups (the read-only ones excepted).
void WriteStoredSettings(TIniFile& ini, const TStoredSettings& values, unsigned groups = sgAll);
