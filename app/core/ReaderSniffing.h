#pragma once
// Which reader a source file goes to: by its extension first, by its first
// bytes when the extension is not one the readers are known by.
#include <cstddef>
#include <cstdint>
#include <string>

enum TReaderKind : uint8_t { rkNone, rkMSExcel, rkMSExcelX, rkLotus123, rkQuattroPro, rkOpenOffice };
inline constexpr int ReaderKindCount = 5;  // rkMSExcel .. rkOpenOffice

// "Excel BIFF", "Excel Open XML", "Lotus 1-2-3", "Quattro Pro", "OpenDocument".
const char* ReaderKindName(TReaderKind kind);

// By the upper-cased extension (".XLS"); rkNone for any extension the
// reader table does not name.
TReaderKind ReaderKindByExtension(const std::string& upperExt);

// By content: a compound document or a BIFF BOF is Excel BIFF, a zip package
// Open XML (OpenDocument when its leading mimetype entry says so), a Lotus
// BOF Lotus 1-2-3 (Quattro Pro for its own version words). rkNone otherwise.
TReaderKind SniffReaderKind(const uint8_t* data, size_t size);
// The same on the first bytes of a file, and a compound document whose
// directory names a notebook stream is Quattro Pro; raises when the file
// cannot be opened.
TReaderKind SniffFileReaderKind(const std::string& path);
class TStream;
// The same on a file opened already, read from its start (left at 0).
TReaderKind SniffStreamReaderKind(TStream& stream);
// Bytes SniffReaderKind needs at most.
inline constexpr size_t SniffHeaderSize = 512;
