// The Excel BIFF writer: the records it writes (formats before cells, the
// real extent, compact numbers, labels cut on a character boundary, the
// grid's limits), the code page it picks, and its files read back by xlrd,
// LibreOffice and Gnumeric.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>

#include "CodePage.h"
#include "DateTime.h"
#include "ExportTestSupport.h"
#include "FakeUi.h"
#include "QXE2XLS.h"
#include "QXEEngQXI.h"
#include "TempDir.h"

namespace fs = std::filesystem;

namespace {

struct TRecord {
  uint16_t Number;
  std::string Data;
  uint16_t U16(size_t at) const { return uint16_t(uint8_t(Data[at]) | uint8_t(Data[at + 1]) << 8); }
};

std::vector<TRecord> Records(const std::string& file) {
  std::vector<TRecord> out;
  for (size_t p = 0; p + 4 <= file.size();) {
    const uint16_t n = uint16_t(uint8_t(file[p]) | uint8_t(file[p + 1]) << 8);
    const uint16_t len = uint16_t(uint8_t(file[p + 2]) | uint8_t(file[p + 3]) << 8);
    out.push_back({n, file.substr(p + 4, len)});
    p += 4 + len;
  }
  return out;
}

const TRecord* Find(const std::vector<TRecord>& recs, uint16_t number, size_t nth = 0) {
  for (const auto& r : recs)
    if (r.Number == number && nth-- == 0) return &r;
  return nullptr;
}

// The cell records of a file, by "row,col".
std::map<std::string, TRecord> CellRecords(const std::vector<TRecord>& recs) {
  std::map<std::string, TRecord> cells;
  for (const auto& r : recs)
    if (r.Number == 0x0201 || r.Number == 0x0203 || r.Number == 0x0204 || r.Number == 0x0205 || r.Number == 0x027E)
      cells[std::to_string(r.U16(0)) + "," + std::to_string(r.U16(2))] = r;
  return cells;
}

class XlsTest : public ::testing::Test {
 protected:
  // Writes sheet to name with the batch settings; the writer is returned for inspection.
  TQXEResult Export(const std::string& name, const TSpreadSheet& sheet,
                    const std::function<void(TQXExportToXLS&)>& configure = {}) {
    W = std::make_unique<TQXExportToXLS>();
    return ExecuteOver(*W, Tmp / name, sheet, [&] {
      if (configure) configure(*W);
    });
  }
  TTempDir Tmp;
  TFakeUi Ui;
  std::unique_ptr<TQXExportToXLS> W;
};

TEST_F(XlsTest, FormatsComeBeforeCellsAndDimensionsTellTheExtent) {
  TSpreadSheet sheet;
  FillSheet(sheet, {{"name", "when", "n"}, {"a", TVariant::DateTime(45000), 1.25}, {"b", TVariant(), int64_t(-3)}});
  sheet.ColumnWidths = {12 * 256, 0, 3000};
  ASSERT_EQ(Export("a.xls", sheet), erCompleted) << W->FailureText();
  const auto recs = Records(ReadFileText(Tmp / "a.xls"));
  ASSERT_FALSE(recs.empty());
  EXPECT_EQ(recs[0].Number, 0x0409);
  EXPECT_EQ(recs[0].U16(2), 0x0010);
  EXPECT_EQ(recs.back().Number, 0x000A);
  size_t firstCell = recs.size(), lastXF = 0, fonts = 0, formats = 0;
  for (size_t i = 0; i < recs.size(); ++i) {
    const uint16_t n = recs[i].Number;
    if ((n == 0x0203 || n == 0x0204 || n == 0x027E) && firstCell == recs.size()) firstCell = i;
    if (n == 0x0443) lastXF = i;
    if (n == 0x0231) ++fonts;
    if (n == 0x041E) ++formats;
    EXPECT_NE(n, 0x00E0) << "a BIFF5 XF in a BIFF4 sheet";
  }
  EXPECT_LT(lastXF, firstCell);
  EXPECT_EQ(fonts, 1u);
  EXPECT_EQ(formats, 50u);
  const TRecord* dims = Find(recs, 0x0200);
  ASSERT_NE(dims, nullptr);
  EXPECT_EQ(dims->U16(2), 3);  // rows 0 to 2
  EXPECT_EQ(dims->U16(6), 3);
  // Widths as the source has them (1/256 of a character); none for a
  // column without one, which then shows the readers' default.
  const TRecord* w0 = Find(recs, 0x007D, 0);
  const TRecord* w2 = Find(recs, 0x007D, 1);
  ASSERT_TRUE(w0 && w2);
  EXPECT_EQ(w0->U16(4), 12 * 256);
  EXPECT_EQ(w2->U16(0), 2);
  EXPECT_EQ(w2->U16(4), 3000);
  // The empty cell at (2,1) writes nothing without soExportBlankValues.
  const auto cells = CellRecords(recs);
  EXPECT_EQ(cells.count("2,1"), 0u);
  EXPECT_EQ(cells.at("1,2").Number, 0x027E);  // 1.25 fits an RK
  EXPECT_EQ(cells.at("2,2").Number, 0x027E);
  EXPECT_EQ(cells.at("0,0").Number, 0x0204);

  ASSERT_EQ(Export("b.xls", sheet, [](TQXExportToXLS& w) { w.SetOption(soExportBlankValues, true); }), erCompleted);
  EXPECT_EQ(CellRecords(Records(ReadFileText(Tmp / "b.xls"))).at("2,1").Number, 0x0201);
}

TEST_F(XlsTest, NumberFormatsInExcelsLanguage) {
  TSpreadSheet sheet;
  FillSheet(sheet, {{"x"}});
  TFormatSettings fs = TFormatSettings::UnitedStates();
  fs.CurrencyString = "EUR";
  fs.CurrencyFormat = 3;
  fs.ShortDateFormat = "dd/MM/yyyy";
  fs.ShortTimeFormat = "HH:nn";
  fs.DateSeparator = '.';
  SetDefaultFormatSettings(fs);
  ASSERT_EQ(Export("f.xls", sheet, [](TQXExportToXLS& w) {
              w.DataFormats.LoadRegionalSettings();
              w.DataFormats.DecimalSeparator = ',';
              w.DataFormats.ThousandSeparator = '.';
            }),
            erCompleted);
  SetDefaultFormatSettings(TFormatSettings::UnitedStates());
  const auto recs = Records(ReadFileText(Tmp / "f.xls"));
  auto format = [&](int i) {
    const TRecord* r = Find(recs, 0x041E, size_t(i));
    return r ? r->Data.substr(3) : std::string("?");
  };
  EXPECT_EQ(format(7), "00.00 \"EUR\"");
  EXPECT_EQ(format(14), "dd\\.mm\\.yyyy");
  EXPECT_EQ(format(18), "hh:mm");
  EXPECT_EQ(format(22), "dd\\.mm\\.yyyy hh:mm");
  // Localised once: "." and "," swap without running into each other.
  EXPECT_EQ(format(39), "(#.##0,00_);(#.##0,00)");
  EXPECT_EQ(format(4), "#,##0.00");

  const TFormatSettings us = TFormatSettings::UnitedStates();
  EXPECT_EQ(ExcelDateTimeFormat(us.ShortDateFormat, us), "m/d/yyyy");
  EXPECT_EQ(ExcelDateTimeFormat(us.LongTimeFormat, us), "h:mm:ss AM/PM");
  EXPECT_EQ(ExcelDateTimeFormat("yyyy'г.' d/m", us), "yyyy\"г.\" d/m");
  EXPECT_EQ(ExcelDateTimeFormat("c", us), "m/d/yyyy h:mm:ss AM/PM");
  EXPECT_EQ(ExcelDateTimeFormat("hh:nn:ss.zzz", us), "hh:mm:ss\\.000");
}

TEST_F(XlsTest, LabelsAreCutAt255BytesOnACharacterBoundary) {
  TSpreadSheet sheet;
  const std::string kana = "\xE3\x83\x86";  // KATAKANA TE
  FillSheet(sheet, {{std::string(300, 'a')}, {std::string(254, 'b') + kana}, {std::string(200, 'c') + kana + kana}});
  ASSERT_EQ(Export("l.xls", sheet), erCompleted) << W->FailureText();
  EXPECT_EQ(W->CodePage(), 932);
  const auto cells = CellRecords(Records(ReadFileText(Tmp / "l.xls")));
  EXPECT_EQ(cells.at("0,0").U16(6), 255);
  EXPECT_EQ(cells.at("1,0").U16(6), 254);  // the two-byte character would end at 256
  EXPECT_EQ(cells.at("2,0").U16(6), 204);
  EXPECT_EQ(cells.at("2,0").Data.substr(8 + 200), "\x83\x65\x83\x65");

  // Scripts no listed code page holds together: UTF-8, cut before a lead byte.
  TSpreadSheet mixed;
  FillSheet(mixed, {{std::string(253, 'd') + "\xD7\xA9" + "\xED\x95\x9C"}});
  ASSERT_EQ(Export("m.xls", mixed), erCompleted);
  EXPECT_EQ(W->CodePage(), 65001);
  const auto m = CellRecords(Records(ReadFileText(Tmp / "m.xls")));
  EXPECT_EQ(m.at("0,0").U16(6), 255);
  EXPECT_EQ(m.at("0,0").Data.substr(8 + 253), "\xD7\xA9");
}

TEST_F(XlsTest, CodePageIsTheFirstThatHoldsEveryText) {
  const std::pair<int, const char*> cases[] = {
      {1252, "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC"}, {1250, "\xC5\xBDlu\xC5\xA5ou\xC4\x8Dk\xC3\xBD"},
      {1251, "\xD0\x9F\xD1\x80\xD0\xB8"},           {1253, "\xCE\x9A\xCE\xB1\xCE\xBB"},
      {1254, "\xC4\x9F\xC4\xB1\xC5\x9F"},           {1255, "\xD7\xA9\xD7\x9C"},
      {1256, "\xD9\x85\xD8\xB1"},                   {1257, "\xC4\x97\xC4\x99"},
      {1258, "\xC6\xA1\xC6\xB0"},                   {932, "\xE3\x83\x86\xE3\x82\xAD"},
      {936, "\xE7\xAE\x80\xE4\xBD\x93"},            {949, "\xED\x95\x9C\xEA\xB5\xAD"},
      {950, "\xE4\xB8\xAD\xE2\x80\xA7"},            {874, "\xE0\xB8\xA0\xE0\xB8\xB2"},
  };
  for (const auto& [cp, text] : cases) {
    TSpreadSheet sheet;
    FillSheet(sheet, {{"plain", text}});
    ASSERT_EQ(Export("c.xls", sheet), erCompleted);
    EXPECT_EQ(W->CodePage(), cp) << text;
    const auto recs = Records(ReadFileText(Tmp / "c.xls"));
    EXPECT_EQ(Find(recs, 0x0042)->U16(0), cp);
    const std::string bytes = CellRecords(recs).at("0,1").Data.substr(8);
    EXPECT_EQ(AnsiToUtf8(BytesToAnsi(bytes, cp)), text) << cp;
    EXPECT_EQ(bytes.find('?'), std::string::npos) << cp;
  }
  // With a listed system code page that one is used as it stands.
  SetACPOverride(1251);
  TSpreadSheet sheet;
  FillSheet(sheet, {{"\xCF\xF0\xE8"}});  // in 1251
  ASSERT_EQ(Export("s.xls", sheet), erCompleted);
  SetACPOverride(0);
  EXPECT_EQ(W->CodePage(), 1251);
  EXPECT_EQ(CellRecords(Records(ReadFileText(Tmp / "s.xls"))).at("0,0").Data.substr(8), "\xCF\xF0\xE8");
}

TEST_F(XlsTest, GridLimitsFailWithTheirNumberAndLeaveNoFile) {
  TSpreadSheet rows;
  FillSheet(rows, std::vector<std::vector<TVariant>>(16385, {int64_t(1)}));
  std::ofstream(Tmp / "r.xls") << "older";
  EXPECT_EQ(Export("r.xls", rows), erFailed);
  EXPECT_EQ(W->FailureText(), "MS Excel spreadsheet can not contain more than 16384 rows");
  EXPECT_EQ(ReadFileText(Tmp / "r.xls"), "older");

  rows.Cells.DeleteRow(16384);
  rows.Cells.RowCount = 16384;
  ASSERT_EQ(Export("r.xls", rows), erCompleted) << W->FailureText();
  const auto full = Records(ReadFileText(Tmp / "r.xls"));
  const TRecord* dims = Find(full, 0x0200);
  EXPECT_EQ(dims->U16(2), 16384);

  // Declared rows beyond the grid hold nothing: no failure, no wrap.
  TSpreadSheet declared;
  FillSheet(declared, {{"a"}});
  declared.Cells.DimRowCount = 1048576;
  declared.Cells.DimColCount = 16384;
  ASSERT_EQ(Export("d.xls", declared), erCompleted) << W->FailureText();
  const auto declaredRecs = Records(ReadFileText(Tmp / "d.xls"));
  const TRecord* d = Find(declaredRecs, 0x0200);
  EXPECT_EQ(d->U16(2), 1);
  EXPECT_EQ(d->U16(6), 1);

  // Column 255 is the last; data further right fails.
  TSpreadSheet wide;
  wide.Cells.SetCell(255, 0, ictString, 0, taLeftJustify, TVariant("last"));
  ASSERT_EQ(Export("w.xls", wide), erCompleted) << W->FailureText();
  EXPECT_EQ(CellRecords(Records(ReadFileText(Tmp / "w.xls"))).count("0,255"), 1u);
  wide.Cells.SetCell(256, 3, ictString, 0, taLeftJustify, TVariant("beyond"));
  EXPECT_EQ(Export("w.xls", wide), erFailed);
  EXPECT_EQ(W->FailureText(), "MS Excel spreadsheet can not contain more than 256 columns");
}

TEST_F(XlsTest, ValuesComeFromTheCellNotFromText) {
  TSpreadSheet sheet;
  FillSheet(sheet, {{1e300, -0.0, 65535.5, int64_t(1) << 40, std::nan(""), true, TVariant::DateTime(70000.5)}});
  // A decimal comma must not matter to numbers.
  ASSERT_EQ(Export("v.xls", sheet, [](TQXExportToXLS& w) { w.DataFormats.DecimalSeparator = ','; }), erCompleted);
  const auto cells = CellRecords(Records(ReadFileText(Tmp / "v.xls")));
  auto number = [&](const char* at) {
    const TRecord* r = &cells.at(at);
    if (r->Number == 0x0203) {
      double d;
      std::memcpy(&d, r->Data.data() + 6, 8);
      return d;
    }
    const uint32_t rk = uint32_t(r->U16(6)) | uint32_t(r->U16(8)) << 16;
    if (rk & 2) return double(int32_t(rk) >> 2);
    const uint64_t bits = uint64_t(rk & ~3u) << 32;
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
  };
  EXPECT_EQ(number("0,0"), 1e300);
  EXPECT_TRUE(std::signbit(number("0,1")));
  EXPECT_EQ(number("0,2"), 65535.5);
  EXPECT_EQ(number("0,3"), double(int64_t(1) << 40));
  EXPECT_EQ(cells.at("0,4").Number, 0x0205);  // not a number: #NUM!
  EXPECT_EQ(cells.at("0,4").Data.substr(6), std::string("\x24\x01", 2));
  EXPECT_EQ(cells.at("0,5").Data.substr(6), std::string("\x01\x00", 2));
  EXPECT_EQ(number("0,6"), 70000.5);  // beyond 16-bit day numbers

  // A number a reader typed as boolean is a boolean cell.
  TSpreadSheet flags;
  flags.Cells.SetCell(0, 0, ictBoolean, 0, taLeftJustify, TVariant(int64_t(1)));
  flags.Cells.SetCell(1, 0, ictBoolean, 0, taLeftJustify, TVariant(0.0));
  ASSERT_EQ(Export("b.xls", flags), erCompleted);
  const auto b = CellRecords(Records(ReadFileText(Tmp / "b.xls")));
  EXPECT_EQ(b.at("0,0").Data.substr(6), std::string("\x01\x00", 2));
  EXPECT_EQ(b.at("0,1").Data.substr(6), std::string("\x00\x00", 2));
}

TEST_F(XlsTest, ColoursAndFontsWaitForTheirFormats) {
  TSpreadSheet sheet;
  FillSheet(sheet, {{"a", 1.5}, {"b", 2.5}, {"c", 3.5}});
  ASSERT_EQ(Export("k.xls", sheet, [](TQXExportToXLS& w) {
              w.SetOption(soColorsFonts, true);
              w.ExportStyle.SetStyle(esBrick);
              w.Columns.Add()->FieldName = "Field0";
              TQXEColumn* c = w.Columns.Add();
              c->FieldName = "Field1";
              c->Font.Name = "Courier New";
              c->Font.Style = fsBold;
              c->Font.Color = clBlack + 0xFF;  // red
              c->Alignment = taRightJustify;
            }),
            erCompleted)
      << W->FailureText();
  const auto recs = Records(ReadFileText(Tmp / "k.xls"));
  size_t firstCell = recs.size(), lastXF = 0, lastFont = 0, fonts = 0, xfs = 0;
  for (size_t i = 0; i < recs.size(); ++i) {
    const uint16_t n = recs[i].Number;
    if ((n == 0x0204 || n == 0x027E) && firstCell == recs.size()) firstCell = i;
    if (n == 0x0443) lastXF = i, ++xfs;
    if (n == 0x0231) lastFont = i, ++fonts;
  }
  EXPECT_LT(lastFont, lastXF);
  EXPECT_LT(lastXF, firstCell);
  EXPECT_EQ(fonts, 3u);  // the default and the two column fonts
  EXPECT_GT(xfs, 16u);
  const TRecord* courier = Find(recs, 0x0231, 2);
  ASSERT_NE(courier, nullptr);
  EXPECT_EQ(courier->U16(2), 1);   // bold
  EXPECT_EQ(courier->U16(4), 10);  // red in the palette
  EXPECT_EQ(courier->Data.substr(7), "Courier New");
  const TRecord* dims = Find(recs, 0x0200);
  EXPECT_EQ(dims->U16(2), 3);
  if (HavePythonModule("xlrd")) {
    const auto back = ReadBack({Tmp / "k.xls"}, Tmp.Dir());
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back.begin()->second.Error, "");
    EXPECT_EQ(back.begin()->second.Cells.at("2,1"), "n:3.5");
  }
}

// Every file above read back by three other programs.
TEST_F(XlsTest, OtherProgramsReadTheFiles) {
  if (!HavePythonModule("xlrd") || !HavePythonModule("openpyxl")) GTEST_SKIP() << "xlrd or openpyxl missing";
  struct TCase {
    std::string Name;
    std::vector<std::vector<TVariant>> Rows;
    bool GnumericText;  // Gnumeric reads this script in a BIFF4 sheet
  };
  std::vector<TCase> cases = {
      {"types", {{"name", "value"}, {"pi", 3.14159265358979}, {"big", 123456789.125}, {"neg", int64_t(-123456789)},
                 {"tiny", 1e-300}, {"yes", true}, {"no", false}, {"day", TVariant::DateTime(45000)},
                 {"moment", TVariant::DateTime(45000.75)}},
       true},
      {"cp1252", {{"Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC"}}, true},
      {"cp1250", {{"\xC5\xBDlu\xC5\xA5ou\xC4\x8Dk\xC3\xBD"}}, false},
      {"cp1251", {{"\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"}}, true},
      {"cp1253", {{"\xCE\x9A\xCE\xB1\xCE\xBB\xCE\xB7"}}, true},
      {"cp1254", {{"T\xC3\xBCrk\xC3\xA7" "e \xC4\x9F\xC4\xB1\xC5\x9F"}}, true},
      {"cp1255", {{"\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D"}}, false},
      {"cp1256", {{"\xD9\x85\xD8\xB1\xD8\xAD\xD8\xA8\xD8\xA7"}}, false},
      {"cp1257", {{"\xC4\x84\xC5\xBEuolas \xC4\x97\xC4\x99"}}, true},
      {"cp1258", {{"ch\xC3\xA0o \xC6\xA1\xC6\xB0"}}, false},
      {"cp932", {{"\xE3\x83\x86\xE3\x82\xAD\xE3\x82\xB9\xE3\x83\x88"}}, false},
      {"cp936", {{"\xE7\xAE\x80\xE4\xBD\x93\xE4\xB8\xAD\xE6\x96\x87"}}, false},
      {"cp949", {{"\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4"}}, false},
      {"cp950", {{"\xE4\xB8\xAD\xE6\x96\x87\xE2\x80\xA7"}}, false},
      {"cp874", {{"\xE0\xB8\xA0\xE0\xB8\xB2\xE0\xB8\xA9\xE0\xB8\xB2"}}, false},
      {"cut", {{std::string(254, 'b') + "\xE3\x83\x86"}}, false},
  };
  std::vector<std::string> files;
  for (const auto& c : cases) {
    TSpreadSheet sheet;
    FillSheet(sheet, c.Rows);
    ASSERT_EQ(Export(c.Name + ".xls", sheet), erCompleted) << c.Name << ": " << W->FailureText();
    files.push_back(Tmp / (c.Name + ".xls"));
  }
  // The largest sheet the format holds.
  TSpreadSheet full;
  FillSheet(full, std::vector<std::vector<TVariant>>(16384, {int64_t(7), "x"}));
  ASSERT_EQ(Export("full.xls", full), erCompleted);
  files.push_back(Tmp / "full.xls");

  // What each cell must read back as.
  auto expected = [&](const TCase& c, int r, int col) -> std::string {
    const TVariant& v = c.Rows[size_t(r)][size_t(col)];
    switch (v.Type()) {
      case TVarType::Boolean: return std::string("b:") + (v.AsBoolean() ? "1" : "0");
      case TVarType::DateTime: return "d:" + Format("%.17g", v.AsDateTime());
      case TVarType::Integer:
      case TVarType::Float: return "n:" + Format("%.17g", v.ToDouble());
      default: {
        std::string s = v.AsString();
        if (c.Name == "cut") s.resize(254);
        return "s:" + s;
      }
    }
  };
  auto check = [&](const std::string& reader, const std::map<std::string, TReadBack>& got,
                   const std::vector<std::string>& paths, bool gnumeric) {
    for (size_t i = 0; i < cases.size(); ++i) {
      const TCase& c = cases[i];
      if (gnumeric && !c.GnumericText) continue;
      auto it = got.find(paths[i]);
      ASSERT_NE(it, got.end()) << reader << " gave nothing for " << c.Name;
      ASSERT_EQ(it->second.Error, "") << reader << ": " << c.Name;
      for (size_t r = 0; r < c.Rows.size(); ++r)
        for (size_t col = 0; col < c.Rows[r].size(); ++col) {
          const std::string key = std::to_string(r) + "," + std::to_string(col);
          auto cell = it->second.Cells.find(key);
          ASSERT_NE(cell, it->second.Cells.end()) << reader << " " << c.Name << " " << key;
          std::string want = expected(c, int(r), int(col));
          // LibreOffice and Gnumeric keep booleans as numbers 1 and 0 from BIFF4.
          if (reader != "xlrd" && want[0] == 'b' && cell->second[0] == 'n')
            want = want == "b:1" ? "n:1" : "n:0";
          EXPECT_EQ(cell->second, want) << reader << " " << c.Name << " " << key;
        }
    }
    auto full = got.find(paths.back());
    ASSERT_NE(full, got.end());
    EXPECT_EQ(full->second.Cells.count("16383,1"), 1u) << reader << " lost the last row";
  };

  check("xlrd", ReadBack(files, Tmp.Dir()), files, false);

  if (HaveProgram("soffice")) {
    const auto converted = ConvertWithLibreOffice(files, Tmp / "lo");
    check("LibreOffice", ReadBack(converted, Tmp.Dir()), converted, false);
  } else if (!ReadBacksOff()) {
    ADD_FAILURE() << "soffice is not installed (scripts/install-deps.sh installs it)";
  }
  if (HaveProgram("ssconvert")) {
    std::vector<std::string> warnings;
    const auto converted = ConvertWithGnumeric(files, Tmp / "gnm", &warnings);
    for (size_t i = 0; i < warnings.size(); ++i)
      EXPECT_EQ(warnings[i].find("corrupted"), std::string::npos) << files[i] << ": " << warnings[i];
    check("Gnumeric", ReadBack(converted, Tmp.Dir()), converted, true);
  } else if (!ReadBacksOff()) {
    ADD_FAILURE() << "ssconvert is not installed (scripts/install-deps.sh installs it)";
  }
}

}  // namespace
