#pragma once
// Code pages: the system (ANSI) code page of this process, the OEM code page,
// and conversions between 8-bit text of any code page and UTF-16.
#include <cstddef>
#include <cstdint>
#include <string>

constexpr int CP_UTF8 = 65001;
constexpr int CP_WINDOWS_1252 = 1252;
constexpr int CP_LATIN1 = 28591;  // ISO-8859-1: each byte is the character with that code

// VARNOWE_CODEPAGE when set, else the locale's character set mapped to its
// Windows number; the C locale counts as 65001. Read once.
int GetACP();
// The Windows number for a locale character set name ("UTF-8", "ISO-8859-1",
// "KOI8-R", ...); unknown names and the C locale's ASCII give 65001.
int CodePageFromCharset(const std::string& charset);
// VARNOWE_OEMCP when set, else 437.
int GetOEMCP();
// Tests pin the system code page; 0 returns to the environment's choice.
void SetACPOverride(int codePage);

// Wide <-> 8-bit text in the given code page (system code page by default).
// Characters the target cannot hold become "?". Invalid input bytes become U+FFFD.
std::string WideToAnsi(const std::u16string& s, int codePage);
std::string WideToAnsi(const std::u16string& s);
std::u16string AnsiToWide(const std::string& s, int codePage);
std::u16string AnsiToWide(const std::string& s);

// Bytes written in codePage, decoded to wide text.
std::u16string DecodeBytes(const void* data, size_t size, int codePage);
// Bytes written in codePage, held as 8-bit text in the system code page
// (no conversion when the two agree).
std::string BytesToAnsi(const void* data, size_t size, int codePage);
inline std::string BytesToAnsi(const std::string& s, int codePage) { return BytesToAnsi(s.data(), s.size(), codePage); }

// Plain UTF-8 <-> UTF-16 (lenient: bad sequences become U+FFFD).
std::string Utf16ToUtf8(const std::u16string& s);
std::u16string Utf8ToUtf16(const std::string& s);
void AppendUtf8AsUtf16(const char* data, size_t size, std::u16string& out);
// Decodes one code point at p (p < end) and advances p. A malformed sequence
// (bad lead, overlong form, surrogate, beyond U+10FFFF, missing or wrong
// continuation) gives U+FFFD and p moves past its longest valid prefix only,
// so the byte that broke the sequence is read again as a new start.
char32_t NextUtf8CodePoint(const uint8_t*& p, const uint8_t* end);
// Whether s is well-formed UTF-8 (a U+FFFD counts only where s spells it),
// so that decoding and encoding it again gives the same bytes.
bool IsValidUtf8(std::string_view s);
// System code page text to UTF-8 and back (identity when the ACP is 65001).
std::string AnsiToUtf8(const std::string& s);
std::string Utf8ToAnsi(const std::string& s);

// The IANA name for a header: "windows-1252", "utf-8", "shift_jis", ...
std::string CodePageName(int codePage);
// Number of characters (not bytes) in 8-bit text of the system code page.
size_t AnsiCharCount(const std::string& s);
