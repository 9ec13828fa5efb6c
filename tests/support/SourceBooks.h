#pragma once
// One small workbook of each source family, holding given numbers: cell
// A<r+1> of sheet s holds sheets[s][r]. Families with one sheet a file
// (Lotus .wk1, Quattro Pro .wq1 and .wb1) take the first sheet only.
#include <string>
#include <vector>

#include "QuattroBuilder.h"
#include "TestWorkbooks.h"

namespace sourcebooks {

using TSheets = std::vector<std::vector<double>>;

inline bool HoldsSeveralSheets(const std::string& ext) {
  return ext == ".xlsx" || ext == ".xlsm" || ext == ".xls" || ext == ".ods";
}

inline std::string Num(double v) {
  std::string s = std::to_string(v);
  s.erase(s.find_last_not_of('0') + 1);
  if (s.back() == '.') s.pop_back();
  return s;
}

inline std::string Ods(const TSheets& sheets) {
  std::string tables;
  for (size_t s = 0; s < sheets.size(); ++s) {
    tables += "<table:table table:name=\"Sheet" + std::to_string(s + 1) + "\">";
    for (double v : sheets[s])
      tables += "<table:table-row><table:table-cell office:value-type=\"float\" office:value=\"" + Num(v) +
                "\"/></table:table-row>";
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

// The file's bytes for a source named with ext (".xlsx", ".xlsm", ".xls",
// ".ods", ".wk1", ".wq1", ".wb1").
inline std::string Build(const std::string& ext, const TSheets& sheets) {
  auto bytes = [](const auto& data) { return std::string(data.begin(), data.end()); };
  if (ext == ".xlsx" || ext == ".xlsm") {
    std::vector<std::string> data;
    for (const auto& sheet : sheets) {
      std::string rows;
      for (size_t r = 0; r < sheet.size(); ++r)
        rows += testbooks::XlsxRowCell("A" + std::to_string(r + 1), Num(sheet[r]));
      data.push_back(rows);
    }
    return testbooks::Xlsx(data);
  }
  if (ext == ".xls") {
    std::vector<std::vector<testbooks::TNumber>> numbers;
    for (const auto& sheet : sheets) {
      numbers.emplace_back();
      for (size_t r = 0; r < sheet.size(); ++r) numbers.back().push_back({uint16_t(r), 0, sheet[r]});
    }
    return bytes(testbooks::Xls(testbooks::NumberBook(numbers)));
  }
  if (ext == ".ods") return Ods(sheets);
  const std::vector<double> first = sheets.empty() ? std::vector<double>{} : sheets[0];
  if (ext == ".wk1") {
    LotusBuilder b;
    b.Bof(0x0406);
    for (size_t r = 0; r < first.size(); ++r) b.Number1(0, uint16_t(r), first[r]);
    return bytes(b.Eof().Data());
  }
  QuattroBuilder q;
  if (ext == ".wb1") {
    q.Bof(0x1001).Sheet(0);
    for (size_t r = 0; r < first.size(); ++r) q.Number(QuattroBuilder::Win(0, 0, uint16_t(r)), first[r]);
  } else {
    q.Bof(0x5120);
    for (size_t r = 0; r < first.size(); ++r) q.Number(QuattroBuilder::Wq1(0, uint16_t(r)), first[r]);
  }
  return bytes(q.Eof().Data());
}

}  // namespace sourcebooks
