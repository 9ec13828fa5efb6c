// The Excel 97-2003 workbook writer: every sheet of a workbook in one
// file, read back by the program's own BIFF reader, xlrd, LibreOffice and
// Gnumeric, each sheet's values equal to the model's.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "ByteReader.h"
#include "ConversionFrontEnd.h"
#include "ExportHandOff.h"
#include "ExportTestSupport.h"
#include "QXE2XLS8.h"
#include "QXIOleStorage.h"
#include "TempDir.h"

namespace fs = std::filesystem;

namespace {

const std::u16string Emoji = u"\U0001F600";

std::u16string Repeat(const std::u16string& s, size_t n) {
  std::u16string out;
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

// Texts of every script, numbers of every kind, dates, booleans; long
// texts that run through CONTINUE records (some with a surrogate pair at
// the cut), and enough strings for a table of many records.
void BuildWorkbook(TSpreadSheets& sheets) {
  TSpreadSheet& a = sheets.GetSheet(0);
  a.Caption = u"Data";
  FillSheet(a, {{"name", "value", "when", "flag"},
                {std::u16string(u"\x0416\x0443\x0440\x043D\x0430\x043B"), int64_t(42), TVariant::DateTime(45000), true},
                {std::u16string(u"\x6F22\x5B57\x30C6\x30B9\x30C8"), 0.1, TVariant::DateTime(45000.75), false},
                {u"smile " + Emoji, -5.25e300, TVariant::DateTime(0.5), TVariant()},
                {"caf\xC3\xA9", int64_t(1) << 40, TVariant(), TVariant()},
                {"", -0.0, TVariant(), TVariant()}});
  a.ColumnWidths = {20 * 256, 12 * 256};

  TSpreadSheet& b = sheets.GetSheet(1);
  b.Caption = u"Long/Texts*?";
  std::vector<std::vector<TVariant>> rows;
  rows.push_back({std::u16string(20000, u'x')});                         // one byte a character
  rows.push_back({Repeat(u"\x6F22", 9000)});                             // two bytes, three records
  for (size_t k = 0; k < 6; ++k)                                        // pairs across record ends
    rows.push_back({std::u16string(k, u'\x044F') + Repeat(Emoji, 2500)});
  rows.push_back({std::u16string(32767, u'y')});
  FillSheet(b, rows);

  TSpreadSheet& c = sheets.GetSheet(2);
  c.Caption = u"data";  // the same name but for case
  rows.clear();
  for (int i = 0; i < 4000; ++i) rows.push_back({Format("item %05d", i), int64_t(i), Format("item %05d", i / 2)});
  FillSheet(c, rows);

  sheets.GetSheet(3).Caption = u"\x041B\x0438\x0441\x0442 \x8868";  // an empty sheet
}

// The workbook stream's records: (number, data).
std::vector<std::pair<uint16_t, std::string>> Records(const std::string& path, std::string* stream = nullptr) {
  auto storage = StgOpenStorage(path);
  auto s = storage->OpenStream(u"Workbook");
  std::string data(size_t(s->Size()), '\0');
  s->Read(data.data(), int64_t(data.size()));
  std::vector<std::pair<uint16_t, std::string>> out;
  TByteReader r(data.data(), data.size());
  for (size_t at = 0; at + 4 <= data.size();) {
    const uint16_t n = r.U16(at), len = r.U16(at + 2);
    out.emplace_back(n, r.Bytes(at + 4, len));
    at += 4 + len;
  }
  if (stream) *stream = data;
  return out;
}

TEST(Xls8, EveryReaderSeesEverySheetAsWritten) {
  TTempDir tmp;
  TSpreadSheets sheets;
  BuildWorkbook(sheets);
  const std::string path = tmp / "book.xls";
  ExportXLSWorkbook(path, sheets);
  const std::vector<std::string> names = {"Data", "Long_Texts__", "data (2)", "\xD0\x9B\xD0\xB8\xD1\x81\xD1\x82 \xE8\xA1\xA8"};
  const auto want = AllSheetCells(sheets);

  // The program's own reader.
  {
    auto reader = TSpreadsheetConversion::CreateReader(TSpreadsheetConversion::ChooseReader(path));
    reader->LoadFromFile(path);
    ASSERT_EQ(reader->Sheets.Count(), 4);
    TReadBack rb;
    for (int32_t s = 0; s < reader->Sheets.Count(); ++s) rb.Cells[Format("%d!name", s)] = Utf16ToUtf8(reader->Sheets[s].Caption);
    for (const auto& [key, value] : AllSheetCells(reader->Sheets)) rb.Cells[key] = value;
    for (const auto& m : CompareSheets(want, rb, names, false)) ADD_FAILURE() << "own reader: " << m;
  }

  // The structure other programs rely on: no record over 8,224 bytes, each
  // sheet offset at a worksheet BOF, the string table counted right.
  {
    std::string stream;
    const auto records = Records(path, &stream);
    size_t sheetsSeen = 0;
    for (const auto& [n, d] : records) {
      EXPECT_LE(d.size(), 8224u);
      if (n == 0x0085) {
        const uint32_t at = TByteReader(d.data(), d.size()).U32(0);
        ASSERT_LT(at + 8, stream.size());
        EXPECT_EQ(TByteReader(stream.data(), stream.size()).U16(at), 0x0809);
        EXPECT_EQ(TByteReader(stream.data(), stream.size()).U16(at + 6), 0x0010);
        ++sheetsSeen;
      }
      if (n == 0x00FC) {
        EXPECT_EQ(TByteReader(d.data(), d.size()).U32(0), 8u + 9u + 8000u);  // every use
      }
    }
    EXPECT_EQ(sheetsSeen, 4u);
    EXPECT_GT(std::count_if(records.begin(), records.end(), [](const auto& r) { return r.first == 0x003C; }), 5);
  }

  if (!HavePythonModule("xlrd") || !HavePythonModule("openpyxl"))
    GTEST_SKIP() << "xlrd or openpyxl is missing (scripts/install-deps.sh installs them)";
  std::vector<std::string> files = {path};
  const bool office = HaveProgram("soffice"), gnumeric = HaveProgram("ssconvert");
  std::string viaOffice, viaGnumeric;
  if (office) files.push_back(viaOffice = ConvertWithLibreOffice({path}, tmp / "lo")[0]);
  if (gnumeric) {
    viaGnumeric = tmp / "book-gnumeric.xlsx";
    RunCapture("timeout 120 ssconvert " + ShellQuote(path) + " " + ShellQuote(viaGnumeric) + " 2>&1");
    files.push_back(viaGnumeric);
  }
  const auto back = ReadBack(files, tmp.Dir(), true);
  for (const auto& f : files) {
    auto it = back.find(f);
    ASSERT_NE(it, back.end()) << f << " was not read";
    EXPECT_GE(it->second.Cells.size(), want.size()) << f;
    for (const auto& m : CompareSheets(want, it->second, names, f != path)) ADD_FAILURE() << f << ": " << m;
  }
  if (!ReadBacksOff() && (!office || !gnumeric))
    GTEST_SKIP() << "LibreOffice or Gnumeric is missing; xlrd alone checked the file";
}

TEST(Xls8, SheetNamesAreMadeValid) {
  auto valid = [](const std::u16string& n, const std::vector<std::u16string>& names = {}) {
    std::unordered_set<std::u16string> taken;
    for (const auto& t : names) taken.insert(TQXEXLS8Book::FoldedName(t));
    const std::u16string name = TQXEXLS8Book::ValidSheetName(n, 3, taken);
    EXPECT_EQ(taken.size(), names.size() + 1);  // the new name is taken now
    return Utf16ToUtf8(name);
  };
  EXPECT_EQ(valid(u"a[b]c:d*e?f/g\\h"), "a_b_c_d_e_f_g_h");
  EXPECT_EQ(valid(u""), "Sheet3");
  EXPECT_EQ(valid(u"''"), "Sheet3");
  EXPECT_EQ(valid(u"'quoted'"), "quoted");
  EXPECT_EQ(valid(std::u16string(40, u'z')), std::string(31, 'z'));
  // A cut never leaves half a surrogate pair.
  EXPECT_EQ(valid(std::u16string(30, u'z') + Emoji), std::string(30, 'z'));
  EXPECT_EQ(valid(u"Sheet", {u"SHEET"}), "Sheet (2)");
  EXPECT_EQ(valid(u"\x043B\x0438\x0441\x0442", {u"\x041B\x0418\x0421\x0422"}), "\xD0\xBB\xD0\xB8\xD1\x81\xD1\x82 (2)");
  EXPECT_EQ(valid(u"Sheet", {u"Sheet", u"Sheet (2)"}), "Sheet (3)");
  EXPECT_EQ(valid(std::u16string(31, u'q'), {std::u16string(31, u'q')}), std::string(27, 'q') + " (2)");
  EXPECT_EQ(valid(u"history"), "history (2)");
  // What no XML part can carry as a character (an .xlsx names sheets in
  // an attribute); a whole surrogate pair stays.
  EXPECT_EQ(valid(std::u16string(u"a\xFFFF\xFFFE" u"b\tc")), "a__b_c");
  EXPECT_EQ(valid(std::u16string(u"x\xD800y\xDC00z") + Emoji), "x_y_z\xF0\x9F\x98\x80");
}

TEST(Xls8, GridLimitsFailByNameAndLeaveNoFile) {
  TTempDir tmp;
  const std::string path = tmp / "grid.xls";
  {
    TSpreadSheets sheets;
    TSpreadSheet& s = sheets.GetSheet(0);
    for (int32_t r = 0; r < 65536; ++r) s.Cells.SetCell(0, r, ictInteger, 0, taLeftJustify, TVariant(int64_t(r)));
    ExportXLSWorkbook(path, sheets);  // exactly the grid
    const auto records = Records(path);
    const auto dims = std::find_if(records.begin(), records.end(), [](const auto& r) { return r.first == 0x0200; });
    ASSERT_NE(dims, records.end());
    EXPECT_EQ(TByteReader(dims->second.data(), 14).U32(4), 65536u);
    fs::remove(path);
    s.Cells.SetCell(0, 65536, ictInteger, 0, taLeftJustify, TVariant(int64_t(1)));
    sheets.GetSheet(1).Caption = u"second";
    try {
      ExportXLSWorkbook(path, sheets);
      ADD_FAILURE() << "65,537 rows were written";
    } catch (const Exception& e) {
      EXPECT_NE(e.Message().find("65536 rows"), std::string::npos) << e.Message();
    }
    EXPECT_FALSE(fs::exists(path));
  }
  {
    TSpreadSheets sheets;
    sheets.GetSheet(0).Caption = u"fine";
    FillSheet(sheets.GetSheet(0), {{"ok"}});
    TSpreadSheet& wide = sheets.GetSheet(1);
    wide.Caption = u"wide";
    wide.Cells.SetCell(256, 0, ictString, 0, taLeftJustify, TVariant("beyond"));
    try {
      ExportXLSWorkbook(path, sheets);
      ADD_FAILURE() << "a 257th column was written";
    } catch (const Exception& e) {
      EXPECT_NE(e.Message().find("\"wide\""), std::string::npos) << e.Message();
      EXPECT_NE(e.Message().find("256 columns"), std::string::npos) << e.Message();
    }
    EXPECT_FALSE(fs::exists(path));
  }
}

TEST(Xls8, StopKeepsTheOlderFile) {
  TTempDir tmp;
  const std::string path = tmp / "stop.xls";
  { std::ofstream(path) << "older"; }
  TSpreadSheets sheets;
  std::vector<std::vector<TVariant>> rows(3000, {TVariant(1.5)});
  FillSheet(sheets.GetSheet(0), rows);
  int polls = 0;
  EXPECT_THROW(ExportXLSWorkbook(path, sheets, [&] { return ++polls > 2; }), EQXEExportCanceled);
  EXPECT_EQ(ReadFileText(path), "older");
  EXPECT_EQ(fs::directory_iterator(tmp.Dir())->path().filename(), "stop.xls");  // no spool left behind
}

// Alone, the component writes each file as a workbook of its one sheet.
TEST(Xls8, ComponentAloneWritesOneSheetWorkbooks) {
  TTempDir tmp;
  TSpreadSheet sheet;
  sheet.Caption = u"Only";
  FillSheet(sheet, {{"a", int64_t(1)}, {std::u16string(u"\x0431"), 2.5}});
  TQXExportToXLS8 component;
  component.SheetName = sheet.Caption;
  const std::string path = tmp / "one.xls";
  RunExport(component, path, sheet, {});
  auto reader = TSpreadsheetConversion::CreateReader(TSpreadsheetConversion::ChooseReader(path));
  reader->LoadFromFile(path);
  ASSERT_EQ(reader->Sheets.Count(), 1);
  EXPECT_EQ(reader->Sheets[0].Caption, u"Only");
  const TQXICell* cell = reader->Sheets[0].Cells.GetCell(0, 1);
  ASSERT_NE(cell, nullptr);
  EXPECT_EQ(ExpectedReadBack(*cell, "e:#NUM!"), "s:\xD0\xB1");
}

// With colours and fonts, each cell's XF names its own font (past the
// missing font index 4) and fill; xlrd checks every index when it reads
// the formatting.
TEST(Xls8, FontsAndFillsReachTheirCells) {
  if (!HavePythonModule("xlrd")) GTEST_SKIP() << "xlrd is missing (scripts/install-deps.sh installs python3-xlrd)";
  TTempDir tmp;
  TSpreadSheet sheet;
  FillSheet(sheet, {{"a"}});
  TQXExportToXLS8 component;
  component.SetOption(soColorsFonts, true);
  for (int i = 0; i < 6; ++i) component.Header.push_back(Format("line %d", i));
  component.OnGetCellParams = [](TQXECustomBaseComponent*, TQXEField*, std::string& text, TQXEFont& font, TAlignment&,
                                 TColor& background, TCellType&) {
    if (text.rfind("line ", 0) != 0) return;
    const int k = text[5] - '0';
    font.Name = Format("Font%d", k);
    font.Size = 10 + k;
    if (k == 3) background = RGBColor(255, 0, 0);
  };
  const std::string path = tmp / "fonts.xls";
  RunExport(component, path, sheet, {});
  const std::string out = RunCapture(
      "/usr/bin/python3 -c 'import sys, xlrd\n"
      "b = xlrd.open_workbook(sys.argv[1], formatting_info=True); s = b.sheet_by_index(0)\n"
      "for r in range(6):\n"
      "  xf = b.xf_list[s.cell_xf_index(r, 1)]; f = b.font_list[xf.font_index]\n"
      "  print(s.cell_value(r, 1), f.name, f.height // 20, xf.background.pattern_colour_index if xf.background.fill_pattern else 0)' " +
      ShellQuote(path) + " 2>&1");
  EXPECT_EQ(out,
            "line 0 Font0 10 0\nline 1 Font1 11 0\nline 2 Font2 12 0\nline 3 Font3 13 10\nline 4 Font4 14 0\n"
            "line 5 Font5 15 0\n");
}

// Every workbook of the real-file corpus as one .xls workbook, every sheet
// read back by xlrd and compared with what the readers loaded.
}  // namespace
