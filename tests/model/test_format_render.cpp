// The number-format renderer: a table of (value, code) pairs whose expected
// texts come from LibreOffice's "as shown" CSV export of a workbook holding
// them (tests/model/format_render_cases.py writes it; rows where the
// spreadsheet program the codes come from shows something else say so),
// then what the table cannot show: regional settings, date systems, widths,
// model cells and hostile codes.
#include <gtest/gtest.h>

#include <cmath>
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

namespace {

struct TRow {
  double Value;
  const char* Code;
  const char* Expected;
};

void ExpectRows(TNumberFormatRenderer& r, TNumberFormats& formats, std::initializer_list<TRow> rows,
                int32_t builtIn = -1) {
  for (const TRow& row : rows)
    EXPECT_EQ(r.Number(row.Value, formats.Add(row.Code, builtIn)), row.Expected) << row.Value << " in " << row.Code;
}

TFormatSettings German() {
  TFormatSettings fs = TFormatSettings::UnitedStates();
  fs.DecimalSeparator = ',';
  fs.ThousandSeparator = '.';
  fs.DateSeparator = '.';
  fs.ShortDateFormat = "dd.MM.yyyy";
  fs.LongMonthNames[2] = "M\xE4rz";  // system code page text: Latin-1 "ä" when the code page is 1252
  return fs;
}

TEST(FormatRender, RegionalSeparatorsShortDateAndNames) {
  TNumberFormats formats;
  TFormatSettings fs = German();
  fs.LongMonthNames[2] = "Maerz";
  TNumberFormatRenderer r(formats, fs);
  ExpectRows(r, formats,
             {{1234.5, "#,##0.00", "1.234,50"},
              {0.5, "General", "0,5"},
              {0.652, "0.0%", "65,2%"},
              {1234.5, "0.00E+00", "1,23E+03"},
              {45000, "dd/mm/yyyy", "15.03.2023"},
              {45000.25, "hh:mm:ss.00", "06:00:00,00"},
              {45000, "mmmm", "Maerz"},
              {45000, "[$-409]mmmm", "March"},
              {45000, "[$-407]mmm", "M\xC3\xA4r"}});
  // Built-in 14 and 22 follow the regional short date, whatever code the file gave.
  ExpectRows(r, formats, {{45000.75, "m/d/yy", "15.03.2023"}}, 14);
  ExpectRows(r, formats, {{45000.75, "m/d/yy h:mm", "15.03.2023 18:00"}}, 22);
}

TEST(FormatRender, DateSystems) {
  TNumberFormats formats;
  const TFormatSettings fs = TFormatSettings::UnitedStates();
  const int32_t date = formats.Add("yyyy-mm-dd"), elapsed = formats.Add("[h]:mm"), plain = formats.Add("0.00");
  struct {
    TDateSystem Dates;
    double Value;
    int32_t Format;
    const char* Expected;
  } rows[] = {
      {dsExcel1900, 1, date, "1900-01-01"},      {dsGregorian, 1, date, "1899-12-31"},
      {dsExcel1900, 60, date, "1900-02-29"},     {dsGregorian, 60, date, "1900-02-28"},
      {dsExcel1900, -1, date, "1899-12-29"},     {dsExcel1904, 1462, date, "1904-01-01"},
      {dsExcel1904, 1462.75, elapsed, "18:00"},  {dsExcel1900, 1462.75, elapsed, "35106:00"},
      {dsExcel1904, 1462.75, plain, "1462.75"},  {dsGregorian, 2958466, date, "2958466"},
  };
  for (const auto& row : rows) {
    TNumberFormatRenderer r(formats, fs, row.Dates);
    EXPECT_EQ(r.Number(row.Value, row.Format), row.Expected) << row.Value << " system " << int(row.Dates);
  }
}

TEST(FormatRender, WidthFillsOrGivesWayToHashes) {
  TNumberFormats formats;
  TNumberFormatRenderer r(formats, TFormatSettings::UnitedStates());
  struct {
    double Value;
    const char* Code;
    int32_t Width;
    const char* Expected;
  } rows[] = {
      {1234, "* #,##0", 8, "   1,234"},  {1234, "$* #,##0_)", 9, "$  1,234 "}, {5, "0**", 4, "5***"},
      {123456789, "0", 5, "#####"},     {1234.5678, "General", 6, "1234.6"},     {123456789, "General", 6, "1E+08"},
      {-0.5, "General", 3, "-1"},      {45000, "yyyy-mm-dd", 6, "######"},      {12, "0", 2, "12"},
      {1e100, "General", 3, "###"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(r.NumberInWidth(row.Value, formats.Add(row.Code), row.Width), row.Expected)
        << row.Value << " in " << row.Code << " width " << row.Width;
  EXPECT_EQ(TextWidth("12\xE6\x97\xA5"), 4);  // a CJK ideograph takes two columns
}

TEST(FormatRender, ModelCellsAndColours) {
  TSpreadSheets sheets;
  TSpreadSheetCells& cells = sheets.GetSheet(0).Cells;
  const int32_t percent = sheets.Formats.Add("0.0%"), text = sheets.Formats.Add("0;-0;0;\"<\"@\">\"");
  const int32_t colours = sheets.Formats.Add("[Red]0;[Color5]-0;0");
  cells.SetCell(0, 0, ictDecimal, percent, taRightJustify, TVariant(65.2));
  cells.GetCell(0, 0)->SetPercent(0.652, true);  // a reader that publishes percent cells × 100
  cells.SetCell(1, 0, ictString, text, taLeftJustify, TVariant(std::u16string(u"\u00e9t\u00e9")));
  cells.SetCell(2, 0, ictBoolean, percent, taLeftJustify, TVariant(true));
  cells.SetCell(3, 0, ictDateTime, 0, taLeftJustify, TVariant::DateTime(45000.5));
  cells.SetCell(4, 0, ictUnknown, text, taLeftJustify, TVariant(std::string("#N/A")));
  TNumberFormatRenderer r(sheets.Formats, TFormatSettings::UnitedStates());
  const char* const expected[] = {"65.2%", "<\xC3\xA9t\xC3\xA9>", "TRUE", "45000.5", "#N/A"};
  for (int32_t c = 0; c < 5; ++c) {
    std::string out;
    r.AppendCell(*cells.GetCell(c, 0), out);
    EXPECT_EQ(out, expected[c]) << "column " << c;
  }
  EXPECT_EQ(r.Colour(5, colours), 0xFF0000);
  EXPECT_EQ(r.Colour(-5, colours), 0x0000FF);
  EXPECT_EQ(r.Colour(0, colours), -1);
}

// Logical values: the spreadsheet programs of Excel, Lotus and Quattro Pro
// files show TRUE or FALSE whatever the cell's format; OpenDocument ones show
// the boolean as the number its style gives.
TEST(FormatRender, BooleansAsTheirSourceShowsThem) {
  TNumberFormats formats;
  const TFormatSettings fs = TFormatSettings::UnitedStates();
  const int32_t words = formats.Add("\"VRAI\";\"VRAI\";\"FAUX\""), places = formats.Add("0.00"),
                date = formats.Add("m/d/yy");
  struct {
    TDateSystem Dates;
    bool Value;
    int32_t Format;
    const char* Expected;
  } rows[] = {
      {dsExcel1900, true, 0, "TRUE"},        {dsExcel1900, false, date, "FALSE"},    {dsExcel1904, true, places, "TRUE"},
      {dsExcel1900, false, words, "FALSE"},  {dsGregorian, true, 0, "TRUE"},        {dsGregorian, false, words, "FAUX"},
      {dsGregorian, true, words, "VRAI"},    {dsGregorian, true, places, "1.00"},   {dsGregorian, false, date, "12/30/99"},
  };
  for (const auto& row : rows) {
    TNumberFormatRenderer r(formats, fs, row.Dates);
    std::string out;
    r.AppendBoolean(row.Value, row.Format, out);
    EXPECT_EQ(out, row.Expected) << row.Value << " in " << formats.Code(row.Format) << " system " << int(row.Dates);
  }
}

// Codes come from files: broken, huge or absurd ones render something bounded and never fail.
TEST(FormatRender, HostileCodesStayBounded) {
  const std::string zeros(500, '0');
  const std::string codes[] = {"[", "\"", "\\", "_", "*", "[$", "[>", "[<=abc]0", "E+", "0/0", "# ?/0", "[h",
                               "0." + zeros, zeros + "E+0", "?/" + std::string(40, '?'),
                               "#,##0" + std::string(300, ','),
                               "[hhhhhhhhhhhhhhhhhhhhhhhhhhhhhh]:mm:ss.0000000000", "yyyy;;;;;;;;@", "%%%%%%%%%%0",
                               "\xE2\x82", "0_\xE2", "*\xE2\x82", "General General General", ";", "[Red];[Blue]"};
  const double values[] = {0, -1.5, 45000.123, 1e308, -1e308, 5e-324, std::nan(""), HUGE_VAL, 1e15 + 0.5};
  TNumberFormats formats;
  TNumberFormatRenderer r(formats, TFormatSettings::UnitedStates());
  for (const std::string& code : codes) {
    const int32_t f = formats.Add(code);
    for (double v : values) {
      EXPECT_LE(r.Number(v, f).size(), code.size() * 4 + 700) << code;
      EXPECT_LE(TextWidth(r.NumberInWidth(v, f, 7)), 7) << code;
    }
    std::string text;
    r.AppendText("x", f, text);
  }
}

}  // namespace
