// The number-format renderer: a table of (value, code) pairs whose expected
// texts come from LibreOffice's "as shown" CSV export of a workbook holding
// them (tests/model/format_render_cases.py writes it; rows where the
// spreadsheet program the codes come from shows something else say so),
// then what the table cannot show: regional settings, date systems, widths,
// model cells and hostile codes.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "FormatRender.h"
#include "QXCells.h"

namespace {

struct TCase {
  std::string Group, Value, Code, Expected, Note;
  int32_t BuiltIn = -1;
  bool Date1904 = false;
};

std::vector<TCase> LoadCases() {
  std::ifstream in(std::string(VARNOWE_SOURCE_DIR) + "/tests/model/golden/format_render_cases.tsv");
  std::vector<TCase> cases;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string x; std::getline(fields, x, '\t');) f.push_back(x);
    f.resize(7);
    cases.push_back({f[0], f[1], f[2], f[5], f[6], std::stoi(f[3]), f[4] == "1904"});
  }
  return cases;
}

std::string Render(const TCase& c, const TFormatSettings& fs) {
  TNumberFormats formats;
  formats.Date1904 = c.Date1904;
  const int32_t index = formats.Add(c.Code, c.BuiltIn);
  TNumberFormatRenderer renderer(formats, fs);
  std::string out;
  if (c.Value.rfind("s:", 0) == 0) {
    renderer.AppendText(c.Value.substr(2), index, out);
  } else {
    // Readers move a 1904 file's date-time cells to the model's days.
    double v = std::stod(c.Value);
    if (c.Date1904 && IsDateTimeKind(formats.Kind(index))) v += 1462;
    renderer.AppendNumber(v, index, out);
  }
  return out;
}

TEST(FormatRender, ShowsWhatTheSpreadsheetShows) {
  const std::vector<TCase> cases = LoadCases();
  ASSERT_GT(cases.size(), 500u);
  const TFormatSettings fs = TFormatSettings::UnitedStates();
  std::map<std::string, std::pair<int, int>> byGroup;  // failed, all
  for (const TCase& c : cases) {
    const std::string got = Render(c, fs);
    ++byGroup[c.Group].second;
    if (got == c.Expected) continue;
    ++byGroup[c.Group].first;
    ADD_FAILURE() << c.Group << ": " << c.Value << " in [" << c.Code << "]" << (c.Date1904 ? " (1904)" : "")
                  << " shows [" << got << "], expected [" << c.Expected << "]"
                  << (c.Note.empty() ? "" : " -- " + c.Note);
  }
  for (const auto& [group, counts] : byGroup)
    EXPECT_EQ(counts.first, 0) << group << ": " << counts.first << " of " << counts.second << " rows differ";
}

}  // namespace
