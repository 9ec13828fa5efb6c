#pragma once
// Whole small workbooks for tests that go through files: an .xlsx package
// with given sheet rows, a BIFF8 .xls in a compound document, and writing
// bytes to a path.
#include <cstdint>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "BiffBuilder.h"
#include "CfbBuilder.h"
#include "ZipBuilder.h"

namespace testbooks {

// An Open XML package of named sheets whose parts hold the given bytes,
// named with ext (".xml", or ".bin" for the binary form), and a
// shared-string table when shared is not empty.
inline std::string XlsxParts(const std::vector<std::pair<std::string, std::string>>& sheetParts, const std::string& ext,
                             const std::vector<std::string>& shared = {}) {
  ZipBuilder b;
  b.Add("_rels/.rels",
        "<?xml version=\"1.0\"?><Relationships><Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/"
        "officeDocument/2006/relationships/officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>");
  std::string sheets, rels;
  for (size_t i = 0; i < sheetParts.size(); ++i) {
    const std::string n = std::to_string(i + 1);
    sheets += "<sheet name=\"" + sheetParts[i].first + "\" sheetId=\"" + n + "\" r:id=\"rId" + n + "\"/>";
    rels += "<Relationship Id=\"rId" + n +
            "\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" "
            "Target=\"worksheets/sheet" + n + ext + "\"/>";
    b.Add("xl/worksheets/sheet" + n + ext, sheetParts[i].second);
  }
  if (!shared.empty()) {
    std::string sst = "<?xml version=\"1.0\"?><sst>";
    for (const auto& t : shared) sst += "<si><t>" + t + "</t></si>";
    b.Add("xl/sharedStrings.xml", sst + "</sst>");
    rels += "<Relationship Id=\"rIdS\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/"
            "sharedStrings\" Target=\"sharedStrings.xml\"/>";
  }
  b.Add("xl/workbook.xml", "<?xml version=\"1.0\"?><workbook xmlns:r=\"r\"><sheets>" + sheets + "</sheets></workbook>");
  b.Add("xl/_rels/workbook.xml.rels", "<?xml version=\"1.0\"?><Relationships>" + rels + "</Relationships>");
  return b.Build();
}

// An .xlsx of named sheets holding the given <sheetData> contents (rows of
// <c> cells with inline values), and a shared-string table when shared is
// not empty (cells refer to its entries with t="s").
inline std::string XlsxNamed(const std::vector<std::pair<std::string, std::string>>& sheetData,
                             const std::vector<std::string>& shared = {}) {
  std::vector<std::pair<std::string, std::string>> parts;
  for (const auto& [name, data] : sheetData)
    parts.emplace_back(name, "<?xml version=\"1.0\"?><worksheet><sheetData>" + data + "</sheetData></worksheet>");
  return XlsxParts(parts, ".xml", shared);
}

// The same with the sheets named Sheet1, Sheet2, ...
inline std::string Xlsx(const std::vector<std::string>& sheetData) {
  std::vector<std::pair<std::string, std::string>> named;
  for (size_t i = 0; i < sheetData.size(); ++i) named.emplace_back("Sheet" + std::to_string(i + 1), sheetData[i]);
  return XlsxNamed(named);
}

// One numeric cell: <c r="B3"><v>1</v></c>.
inline std::string XlsxCell(const std::string& ref, const std::string& value) {
  return "<c r=\"" + ref + "\"><v>" + value + "</v></c>";
}
// A row holding one such cell (the row takes the cell's number).
inline std::string XlsxRowCell(const std::string& ref, const std::string& value) {
  return "<row>" + XlsxCell(ref, value) + "</row>";
}

// A BIFF8 workbook stream in a compound document's "Workbook" stream.
inline std::vector<uint8_t> Xls(const biff::Workbook& book) {
  CfbBuilder cfb;
  cfb.AddStream("Workbook", book.Build());
  return cfb.Build();
}

// A BIFF8 workbook of sheets holding NUMBER cells (row, column, value).
struct TNumber {
  uint16_t Row, Col;
  double Value;
};
inline biff::Workbook NumberBook(const std::vector<std::vector<TNumber>>& sheets) {
  biff::Workbook book;
  book.globals.rec(0x00E0, biff::Xf8(0));
  for (size_t i = 0; i < sheets.size(); ++i) {
    biff::Stream s;
    for (const TNumber& n : sheets[i]) s.rec(0x0203, biff::Number(n.Row, n.Col, 0, n.Value));
    const std::string name = "Sheet" + std::to_string(i + 1);
    book.sheets.emplace_back(std::u16string(name.begin(), name.end()), s);
  }
  return book;
}

template <class Bytes>
inline void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline std::string ReadText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

}  // namespace testbooks
