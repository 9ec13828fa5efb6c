#pragma once
// One small workbook of each source family, holding given numbers: cell
// A<r+1> of sheet s holds sheets[s][r], and so do the next width - 1 cells
// of its row (width at most 26). Families with one sheet a file (Lotus
// .wk1, Quattro Pro .wq1 and .wb1) take the first sheet only.
#include <string>
#include <vector>

#include "QuattroBuilder.h"
#include "TestWorkbooks.h"

namespace sourcebooks {

using TSheets = std::vector<std::vector<double>>;

inline bool HoldsSeveralSheets(const std::string& ext) {
  return ext == ".xlsx" || ext == ".xlsm" || ext == ".xlsb" || ext == ".xls" || ext == ".ods";
}

inline std::string Num(double v) {
  std::string s = std::to_string(v);
  s.erase(s.find_last_not_of('0') + 1);
  if (s.back() == '.') s.pop_back();
  return s;
}

inline std::string Ods(const TSheets& sheets, int width) {
  std::string tables;
  for (size_t s = 0; s < sheets.size(); ++s) {
    tables += "<table:table table:name=\"Sheet" + std::to_string(s + 1) + "\">";
    for (double v : sheets[s]) {
      tables += "<table:table-row>";
      for (int c = 0; c < width; ++c)
        tables += "<table:table-cell office:value-type=\"float\" office:value=\"" + Num(v) + "\"/>";
      tables += "</table:table-row>";
    }
    tables += "</table:table>";
  }
  ZipBuilder b;
  b.Add("mimetype", "application/vnd.oasis.opendocument.spreadsheet", 0);
  b.Add("content.xml",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><office:document-content xmlns:office=\"o\" xmlns:table=\"t\" "
        "xmlns:text=\"x\" office:version=\"1.3\"><office:body><office:spreadsheet>" +
            tables + "</office:spreadsheet></office:body></office:document-content>");
  return b.Build();
}

// Binary sheet parts: each row a row header record, then its real-number
// cell records (the workbook part itself stays XML, which the reader takes
// as well).
inline std::string Xlsb(const TSheets& sheets, int width) {
  auto record = [](std::string& out, uint8_t type, std::string data) {
    out += char(type);
    out += char(data.size());  // below 128: one byte
    out += data;
  };
  auto le = [](const void* p, size_t n) { return std::string(static_cast<const char*>(p), n); };
  std::vector<std::pair<std::string, std::string>> parts;
  for (size_t s = 0; s < sheets.size(); ++s) {
    std::string bin;
    for (uint32_t r = 0; r < sheets[s].size(); ++r) {
      record(bin, 0x00, le(&r, 4) + std::string(9, '\0'));
      for (uint32_t c = 0; c < uint32_t(width); ++c)
        record(bin, 0x05, le(&c, 4) + std::string(4, '\0') + le(&sheets[s][r], 8));
    }
    parts.emplace_back("Sheet" + std::to_string(s + 1), bin);
  }
  return testbooks::XlsxParts(parts, ".bin");
}

// The file's bytes for a source named with ext (".xlsx", ".xlsm", ".xlsb",
// ".xls", ".ods", ".wk1", ".wq1", ".wb1").
inline std::string Build(const std::string& ext, const TSheets& sheets, int width = 1) {
  auto bytes = [](const auto& data) { return std::string(data.begin(), data.end()); };
  if (ext == ".xlsx" || ext == ".xlsm") {
    std::vector<std::string> data;
    for (const auto& sheet : sheets) {
      std::string rows;
      for (size_t r = 0; r < sheet.size(); ++r) {
        rows += "<row>";
        for (int c = 0; c < width; ++c) rows += testbooks::XlsxCell(char('A' + c) + std::to_string(r + 1), Num(sheet[r]));
        rows += "</row>";
      }
      data.push_back(rows);
    }
    return testbooks::Xlsx(data);
  }
  if (ext == ".xls") {
    std::vector<std::vector<testbooks::TNumber>> numbers;
    for (const auto& sheet : sheets) {
      numbers.emplace_back();
      for (size_t r = 0; r < sheet.size(); ++r)
        for (int c = 0; c < width; ++c) numbers.back().push_back({uint16_t(r), uint16_t(c), sheet[r]});
    }
    return bytes(testbooks::Xls(testbooks::NumberBook(numbers)));
  }
  if (ext == ".ods") return Ods(sheets, width);
  if (ext == ".xlsb") return Xlsb(sheets, width);
  const std::vector<double> first = sheets.empty() ? std::vector<double>{} : sheets[0];
  if (ext == ".wk1") {
    LotusBuilder b;
    b.Bof(0x0406);
    for (size_t r = 0; r < first.size(); ++r)
      for (int c = 0; c < width; ++c) b.Number1(uint16_t(c), uint16_t(r), first[r]);
    return bytes(b.Eof().Data());
  }
  QuattroBuilder q;
  if (ext == ".wb1") {
    q.Bof(0x1001).Sheet(0);
    for (size_t r = 0; r < first.size(); ++r)
      for (int c = 0; c < width; ++c) q.Number(QuattroBuilder::Win(uint8_t(c), 0, uint16_t(r)), first[r]);
  } else {
    q.Bof(0x5120);
    for (size_t r = 0; r < first.size(); ++r)
      for (int c = 0; c < width; ++c) q.Number(QuattroBuilder::Wq1(uint16_t(c), uint16_t(r)), first[r]);
  }
  return bytes(q.Eof().Data());
}

}  // namespace sourcebooks
