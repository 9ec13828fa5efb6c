// The reader base: loading steps, the model's five handlers and the
// column-name helpers, driven by a small fake reader.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>

#include "QXCells.h"
#include "QXIUtils.h"

namespace {

// Reports what a test script asks, the way a real reader does from its parser.
class TFakeReader : public TSpreadSheetFile {
 public:
  std::function<void(TFakeReader&)> Script;
  int Resets = 0;
  std::string ParsedBytes;

  void ResetData() override {
    TSpreadSheetFile::ResetData();
    ++Resets;
  }
  void ParseStream(TStream& stream) override {
    TSpreadSheetFile::ParseStream(stream);
    char buf[64];
    int64_t n;
    while ((n = stream.Read(buf, sizeof buf)) > 0) ParsedBytes.append(buf, size_t(n));
    if (Script) Script(*this);
  }
  void LoadFromFile(const std::string& fileName) override {
    TSpreadSheetFile::LoadFromFile(fileName);
    TFileStream s(FileName, fmOpenRead | fmShareDenyWrite);
    ParseStream(s);
  }

  bool Sheet(const std::u16string& caption, int32_t index) {
    bool skip = false;
    if (OnSheet) OnSheet(this, caption, index, skip);
    return skip;
  }
  void Cell(int32_t sheet, int32_t row, int32_t col, TVariant v, TQXICellType t = ictString) {
    if (OnCellValue) OnCellValue(this, sheet, row, col, 0, v, taLeftJustify, t);
  }
};

std::string TempFile(const std::string& content) {
  char name[] = "/tmp/varnowe_model_XXXXXX";
  int fd = mkstemp(name);
  EXPECT_GE(fd, 0);
  close(fd);
  std::ofstream(name, std::ios::binary) << content;
  return name;
}

TEST(ReaderBase, LoadFromFileChecksTheNameBeforeTouchingTheWorkbook) {
  TFakeReader r;
  r.Script = [](TFakeReader& f) { f.Cell(0, 0, 0, TVariant("kept")); };
  std::string path = TempFile("data");
  r.LoadFromFile("  " + path + "  ");  // the name is trimmed
  EXPECT_EQ(r.FileName, path);
  EXPECT_EQ(r.ParsedBytes, "data");
  ASSERT_EQ(r.Sheets.Count(), 1);

  try {
    r.LoadFromFile(" \t ");
    FAIL();
  } catch (const EQXIFileException& e) {
    EXPECT_STREQ(e.what(), "File is not defined.");
  }
  try {
    r.LoadFromFile("/nonexistent/dir/a%sb.xls");
    FAIL();
  } catch (const EQXIFileException& e) {
    EXPECT_STREQ(e.what(), "File /nonexistent/dir/a%sb.xls does not exist.");
  }
  // A folder is not a file either.
  EXPECT_THROW(r.LoadFromFile("/tmp"), EQXIFileException);
  // The previous workbook survives failed checks.
  EXPECT_EQ(r.Sheets[0].Cells.GetCellValue(0, 0), TVariant("kept"));
  std::remove(path.c_str());
}

TEST(ReaderBase, ResetDataClearsSheetsAndReinstallsTheHandlers) {
  TFakeReader r;
  bool foreignCalled = false;
  r.OnCellValue = [&](TCustomSpreadSheetFile*, int32_t, int32_t, int32_t, int32_t, TVariant&, TAlignment,
                      TQXICellType) { foreignCalled = true; };
  int heights = 0;
  r.OnRowHeight = [&](TCustomSpreadSheetFile*, int32_t, int32_t, int32_t) { ++heights; };
  r.Sheets.AddSheet();
  TMemoryStream empty;
  r.LoadFromStream(empty);
  EXPECT_EQ(r.Sheets.Count(), 0);
  r.Cell(0, 1, 1, TVariant(3));
  EXPECT_FALSE(foreignCalled);
  EXPECT_EQ(r.Sheets.Count(), 1);
  ASSERT_TRUE(r.OnRowHeight);  // listeners' own events are left alone
  r.OnRowHeight(&r, 0, 0, 0);
  EXPECT_EQ(heights, 1);
  EXPECT_TRUE(r.OnDimensions && r.OnGetCellValue && r.OnSheet && r.OnColumnWidth);
}

TEST(ReaderBase, SheetHandlerCreatesEverySheetAndSetsSkip) {
  TFakeReader r;
  r.SelectedSheet = 1;
  std::vector<bool> skips;
  r.Script = [&](TFakeReader& f) {
    for (int i = 0; i < 3; ++i) skips.push_back(f.Sheet(u"S" + std::u16string(1, char16_t(u'a' + i)), i));
  };
  TMemoryStream s;
  r.ParseStream(s);
  EXPECT_EQ(skips, (std::vector<bool>{true, false, true}));
  ASSERT_EQ(r.Sheets.Count(), 3);
  EXPECT_EQ(r.Sheets[2].Caption, u"Sc");

  // Without a selection the reader's own Skip stands.
  TFakeReader all;
  all.ResetData();
  bool skip = true;
  all.OnSheet(&all, u"x", 0, skip);
  EXPECT_TRUE(skip);
}

TEST(ReaderBase, CellHandlerHonoursRangeAndDropsUnstorableCells) {
  TFakeReader r;
  r.Range.LastRow = 4;
  r.Range.LastCol = 2;
  r.Script = [](TFakeReader& f) {
    f.Sheet(u"only", 0);
    f.Cell(0, 4, 2, TVariant("edge"));
    f.Cell(0, 5, 0, TVariant("below range"));
    f.Cell(0, 0, 3, TVariant("right of range"));
    f.Cell(0, -1, 0, TVariant("negative row"));
    f.Cell(3, 0, 0, TVariant(1.5), ictDecimal);  // creates sheets up to 3
    f.Cell(100000, 0, 0, TVariant("absurd sheet"));
    f.Cell(0, 0, 0, TVariant::Null());
  };
  TMemoryStream s;
  r.ParseStream(s);
  ASSERT_EQ(r.Sheets.Count(), 4);
  EXPECT_EQ(r.Sheets[0].Caption, u"only");
  EXPECT_EQ(r.Sheets[1].Caption, u"Sheet2");
  EXPECT_EQ(r.Sheets[3].Caption, u"Sheet4");
  const TSpreadSheetCells& c = r.Sheets[0].Cells;
  EXPECT_EQ(c.GetCellValue(2, 4), TVariant("edge"));
  EXPECT_EQ(c.RowCount, 5);
  EXPECT_EQ(c.ColCount, 3);
  EXPECT_EQ(r.Sheets[3].Cells.GetCellValue(0, 0), TVariant(1.5));
}

TEST(ReaderBase, DimensionsValueQueryAndColumnWidths) {
  TFakeReader r;
  r.Range.LastCol = 10;
  r.ResetData();
  r.OnDimensions(&r, 0, 0, 20, 0, 50);
  TSpreadSheetCells& c = r.Sheets[0].Cells;
  EXPECT_EQ(c.DimRowCount, 20);
  EXPECT_EQ(c.DimColCount, 10);
  EXPECT_EQ(c.RowCount, 0);  // extent still tracked from cells
  r.Sheets.GetSheet(1).Cells.TrackExtent = false;
  r.OnDimensions(&r, 1, 0, 7, 0, 3);
  EXPECT_EQ(r.Sheets[1].Cells.RowCount, 7);
  EXPECT_EQ(r.Sheets[1].Cells.ColCount, 3);
  r.OnDimensions(&r, 1, 0, 2000000000, 0, -4);  // corrupt declaration
  EXPECT_EQ(r.Sheets[1].Cells.RowCount, TSpreadSheetCells::MaxRows);
  EXPECT_EQ(r.Sheets[1].Cells.ColCount, 0);

  r.Cell(0, 2, 1, TVariant(int64_t(99)), ictInteger);
  TVariant v;
  r.OnGetCellValue(&r, 0, 2, 1, v);
  EXPECT_EQ(v, TVariant(int64_t(99)));
  r.OnGetCellValue(&r, 0, 3, 1, v);
  EXPECT_TRUE(v.IsNull());
  v = TVariant(1);
  r.OnGetCellValue(&r, 0, -1, 1, v);  // a corrupt reference is no crash
  EXPECT_TRUE(v.IsNull());

  r.OnColumnWidth(&r, 0, 3, 2560);
  r.OnColumnWidth(&r, 0, 1, 12);
  EXPECT_EQ(r.Sheets[0].ColumnWidths, (std::vector<int32_t>{0, 12, 0, 2560}));
  r.OnColumnWidth(&r, 0, -1, 5);
  r.OnColumnWidth(&r, 0, 2000000000, 5);
  EXPECT_EQ(r.Sheets[0].ColumnWidths.size(), 4u);
}

TEST(ReaderBase, BlobStreamSkipsOnlyAMarkedHeader) {
  TFakeReader r;
  std::string marked = std::string("BDOC") + std::string(8, 'h') + "payload";
  TCustomMemoryStream m(marked.data(), int64_t(marked.size()));
  r.LoadFromBlobStream(m);
  EXPECT_EQ(r.ParsedBytes, "payload");

  TFakeReader plain;
  std::string body = "0123456789abcdef";
  TCustomMemoryStream p(body.data(), int64_t(body.size()));
  plain.LoadFromBlobStream(p);
  EXPECT_EQ(plain.ParsedBytes, body);

  TFakeReader tiny;  // shorter than the header: nothing lost, no seek before the start
  TCustomMemoryStream t("xyz", 3);
  tiny.LoadFromBlobStream(t);
  EXPECT_EQ(tiny.ParsedBytes, "xyz");
}

TEST(ReaderBase, ColumnNamesFollowTheSelectedSheet) {
  TFakeReader r;
  r.ResetData();
  r.Cell(0, 0, 2, TVariant("c"));
  std::vector<std::pair<std::string, int32_t>> list{{"old", 0}};
  r.GetColumnNames(list, "");
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].first, "A");
  EXPECT_EQ(r.ColumnIndexByName("c"), 2);
  EXPECT_EQ(r.ColumnIndexByName("d"), -1);
  r.NameKind = nkFieldName;
  EXPECT_EQ(r.ColumnIndexByName("a"), -1);
  r.GetColumnNames(list, "");
  EXPECT_TRUE(list.empty());
}

}  // namespace
