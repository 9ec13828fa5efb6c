#pragma once
// Small shared pieces of the reading side: a wide-text list, UTF-8 decoding,
// the reader exceptions and the reader-side message texts.
#include <cstdint>
#include <string>
#include <vector>

#include "Exception.h"

VARNOWE_EXCEPTION(EQXIFileException, Exception);
VARNOWE_EXCEPTION(EQXICryptException, Exception);
VARNOWE_EXCEPTION(EQXIFileFormatException, Exception);
VARNOWE_EXCEPTION(EQXIUnknownEncryptionException, Exception);
VARNOWE_EXCEPTION(EQXIExcelException, Exception);
// The file ends before its end marker (or a stream before its declared
// size). Readers raise it when parsing is over, so the cells read so far
// stay in the model and the caller may still write them.
VARNOWE_EXCEPTION(EQXIFileTruncatedException, EQXIFileFormatException);

// Reader-side message texts.
extern const char* const SFileIsNotDefined;          // "File is not defined."
extern const char* const SFileDoesNotExist;          // "File %s does not exist."
extern const char* const SInvalidFileFormat;         // "Invalid file version or file format."
extern const char* const SPasswordProtectedFile;     // "Password protected file is not supported."
extern const char* const SUnknownEncryption;         // "Unknown encryption for data file."
extern const char* const SContinueNotFound;          // "CONTINUE record is not found in the stream"
extern const char* const SSSTStringOptions;          // "String in SST (Options byte is 0x%.2x) can not be processed."
extern const char* const SCMONotSupported;           // "CMO object type is not supported."
extern const char* const SFileTruncated;             // "The file is truncated: %s"
extern const char* const SDefaultSheetName;          // "Sheet"
extern const char* const SWideStringsIndexOutOfBounds;  // "WideStrings index out of bounds"

// The errors a load let pass (an OnErrorProcess handler that went on), in
// order: the first MaxKept texts are kept, Count counts them all.
struct TLoadWarnings {
  static constexpr size_t MaxKept = 100;
  std::vector<std::string> Texts;
  size_t Count = 0;
  void Add(const std::string& text) {
    ++Count;
    if (Texts.size() < MaxKept) Texts.push_back(text);
  }
  void Clear() {
    Texts.clear();
    Count = 0;
  }
};

class TWideStrings {
 public:
  ~TWideStrings() { Clear(); }
  int32_t Count() const { return int32_t(FItems.size()); }
  int32_t Add(const std::u16string& text);
  int32_t AddObject(const std::u16string& text, int32_t value);
  std::u16string Get(int32_t index) const;
  void Put(int32_t index, const std::u16string& text);
  void PutWithObject(int32_t index, const std::u16string& text, int32_t value);
  int32_t GetObject(int32_t index) const;
  void SetObject(int32_t index, int32_t value);
  void Delete(int32_t index);
  void Clear();

 private:
  struct Entry {
    std::u16string Text;
    int32_t Object = 0;
  };
  std::vector<Entry> FItems;
};

// UTF-8 to UTF-16. Four-byte sequences give surrogate pairs; an invalid or
// truncated sequence gives U+FFFD for that sequence only. With dest, at most
// maxDestChars - 1 units are stored plus a terminating 0, and the result
// counts the terminator; without dest the same count is returned.
int32_t Utf8ToWideBuffer(char16_t* dest, int32_t maxDestChars, const char* source, int32_t sourceBytes);
std::u16string Utf8ToWide(const std::string& text);
