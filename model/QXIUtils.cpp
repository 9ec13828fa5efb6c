#include "QXIUtils.h"

#include <algorithm>
#include <climits>

#include "CodePage.h"

const char* const SFileIsNotDefined = "File is not defined.";
const char* const SFileDoesNotExist = "File %s does not exist.";
const char* const SInvalidFileFormat = "Invalid file version or file format.";
const char* const SPasswordProtectedFile = "Password protected file is not supported.";
const char* const SUnknownEncryption = "Unknown encryption for data file.";
const char* const SContinueNotFound = "CONTINUE record is not found in the stream";
const char* const SSSTStringOptions = "String in SST (Options byte is 0x%.2x) can not be processed.";
const char* const SCMONotSupported = "CMO object type is not supported.";
const char* const SFileTruncated = "The file is truncated: %s";
const char* const SDefaultSheetName = "Sheet";
const char* const SWideStringsIndexOutOfBounds = "WideStrings index out of bounds";

// ------------------------------------------------------------ TWideStrings

namespace {
[[noreturn]] void IndexError() { throw Exception(SWideStringsIndexOutOfBounds); }
}  // namespace

int32_t TWideStrings::Add(const std::u16string& text) {
  FItems.push_back(Entry{text, 0});
  return Count() - 1;
}

int32_t TWideStrings::AddObject(const std::u16string& text, int32_t value) {
  int32_t i = Add(text);
  FItems[size_t(i)].Object = value;
  return i;
}

std::u16string TWideStrings::Get(int32_t index) const {
  return index >= 0 && index < Count() ? FItems[size_t(index)].Text : std::u16string();
}

void TWideStrings::Put(int32_t index, const std::u16string& text) {
  if (index == Count())
    Add(text);
  else if (index >= 0 && index < Count())
    FItems[size_t(index)].Text = text;
  else
    IndexError();
}

void TWideStrings::PutWithObject(int32_t index, const std::u16string& text, int32_t value) {
  Put(index, text);
  FItems[size_t(index)].Object = value;
}

int32_t TWideStrings::GetObject(int32_t index) const {
  return index >= 0 && index < Count() ? FItems[size_t(index)].Object : 0;
}

void TWideStrings::SetObject(int32_t index, int32_t value) {
  if (index < 0 || index >= Count()) IndexError();
  FItems[size_t(index)].Object = value;
}

void TWideStrings::Delete(int32_t index) {
  if (index < 0 || index >= Count()) IndexError();
  FItems.erase(FItems.begin() + index);
}

void TWideStrings::Clear() {
  while (!FItems.empty()) FItems.pop_back();
}

// ------------------------------------------------------------ UTF-8 decoding

namespace {

template <class Emit>
void DecodeUtf8(const char* source, int32_t sourceBytes, Emit&& emit) {
  const auto* p = reinterpret_cast<const uint8_t*>(source);
  const uint8_t* end = p + sourceBytes;
  while (p < end) {
    char32_t cp = NextUtf8CodePoint(p, end);
    bool more;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      more = emit(char16_t(0xD800 + (cp >> 10)), char16_t(0xDC00 + (cp & 0x3FF)));
    } else {
      more = emit(char16_t(cp), char16_t(0));
    }
    if (!more) return;
  }
}

}  // namespace

int32_t Utf8ToWideBuffer(char16_t* dest, int32_t maxDestChars, const char* source, int32_t sourceBytes) {
  if (!source) return 0;
  if (sourceBytes < 0) sourceBytes = 0;
  int32_t count = 0;
  if (!dest) {
    DecodeUtf8(source, sourceBytes, [&](char16_t, char16_t second) {
      count += second ? 2 : 1;
      return true;
    });
    return count + 1;
  }
  if (maxDestChars <= 0) return 0;
  const int32_t room = maxDestChars - 1;
  DecodeUtf8(source, sourceBytes, [&](char16_t first, char16_t second) {
    // A surrogate pair goes in whole or not at all.
    if (count + (second ? 2 : 1) > room) return false;
    dest[count++] = first;
    if (second) dest[count++] = second;
    return true;
  });
  dest[count] = 0;
  return count + 1;
}

std::u16string Utf8ToWide(const std::string& text) {
  std::u16string out;
  if (text.empty()) return out;
  out.reserve(text.size());
  // Plain ASCII runs are the common case in XML values.
  DecodeUtf8(text.data(), int32_t(std::min<size_t>(text.size(), INT32_MAX)), [&](char16_t first, char16_t second) {
    out.push_back(first);
    if (second) out.push_back(second);
    return true;
  });
  return out;
}
