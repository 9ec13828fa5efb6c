// Hostile sizes and shapes, per reader: cells beyond the format's grid,
// files that end early, packages that inflate past their budget, workbooks
// past the cell memory budget, sources that are no regular files, and a stop
// that arrives while a file loads.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>

#include "LotusBuilder.h"
#include "QXIOleStorage.h"
#include "QXIZipFile.h"
#include "QXWKS.h"
#include "QXXLS.h"
#include "QXXLSX.h"
#include "TempDir.h"
#include "TestWorkbooks.h"

namespace {

using Bytes = std::vector<uint8_t>;

template <class Reader, class Data>
std::string LoadError(Reader& reader, const Data& data) {
  TCustomMemoryStream s(data.data(), int64_t(data.size()));
  try {
    reader.LoadFromStream(s);
  } catch (const Exception& e) {
    return e.Message();
  }
  return "<no error>";
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

const TQXICell* Cell(TSpreadSheetFile& r, int sheet, int row, int col) {
  return sheet < r.Sheets.Count() ? r.Sheets[sheet].Cells.GetCell(col, row) : nullptr;
}

// A plain BIFF2 worksheet: BOF, INTEGER cells, and EOF unless cut.
Bytes Biff2(const std::vector<std::pair<uint16_t, uint16_t>>& cells, bool eof = true) {
  biff::Stream s;
  s.rec(0x0009, biff::Body().u16(2).u16(0x10));
  for (auto [row, col] : cells) s.rec(0x0002, biff::Body().u16(row).u16(col).u8(0).u8(0).u8(0).u16(7));
  if (eof) s.rec(0x000A);
  return s.d;
}

// A compound document cut off inside its Workbook stream: the directory and
// allocation table are whole, but the stream's last sectors lie past the
// end of the file (as when a download or a copy stopped early).
Bytes CutInsideWorkbookStream(const biff::Workbook& book, uint32_t missingSectors) {
  std::vector<uint8_t> stream = book.Build();
  stream.resize(std::max<size_t>(stream.size(), 4096), 0);  // a regular-sector stream
  CfbBuilder cfb;
  cfb.AddStream("Workbook", stream);
  Bytes file = cfb.Build();
  auto u32 = [&](size_t off) { uint32_t v; std::memcpy(&v, &file[off], 4); return v; };
  const size_t entry = cfb.DirectoryOffset + 128;  // entry 1: Workbook
  uint32_t s = u32(entry + 0x74);
  const uint32_t sectors = uint32_t((file.size() - 512) / 512);
  while (u32(cfb.FatOffset + 4 * s) != 0xFFFFFFFEu) s = u32(cfb.FatOffset + 4 * s);
  for (uint32_t k = 0; k < missingSectors; ++k) {
    CfbBuilder::Set32(file, cfb.FatOffset + 4 * s, sectors + k);
    s = sectors + k;
  }
  CfbBuilder::Set32(file, cfb.FatOffset + 4 * s, 0xFFFFFFFEu);
  CfbBuilder::Set32(file, entry + 0x78, u32(entry + 0x78) + 512 * missingSectors);
  return file;
}

}  // namespace

// ---- cells beyond the format's grid ----

TEST(FarCorner, Biff8RefusesColumn256AndKeepsTheLastCell) {
  TMSExcel r;
  EXPECT_EQ(LoadError(r, testbooks::Xls(testbooks::NumberBook({{{65535, 255, 1}}}))), "<no error>");
  EXPECT_TRUE(Cell(r, 0, 65535, 255));

  std::string e = LoadError(r, testbooks::Xls(testbooks::NumberBook({{{0, 0, 1}, {0, 256, 2}}})));
  EXPECT_TRUE(Contains(e, "cell IW1 lies outside the BIFF8 grid of 65,536 rows by 256 columns")) << e;
  EXPECT_TRUE(Contains(e, "Record 0x0203")) << e;
  EXPECT_FALSE(Cell(r, 0, 0, 256));

  // The error path lets a listener drop the cell and go on.
  r.OnErrorProcess = [](TCustomSpreadSheetFile*, const std::exception&, bool& abort) { abort = false; };
  EXPECT_EQ(LoadError(r, testbooks::Xls(testbooks::NumberBook({{{0, 256, 2}, {1, 1, 3}}}))), "<no error>");
  EXPECT_FALSE(Cell(r, 0, 0, 256));
  EXPECT_TRUE(Cell(r, 0, 1, 1));
  EXPECT_EQ(r.Sheets[0].Cells.ColCount, 2);
}

TEST(FarCorner, EarlierGenerationsStopAtRow16384) {
  biff::Workbook book = testbooks::NumberBook({{{16384, 0, 1}}});
  book.biff8 = false;
  CfbBuilder cfb;
  cfb.AddStream("Book", book.Build());
  TMSExcel r;
  std::string e = LoadError(r, cfb.Build());
  EXPECT_TRUE(Contains(e, "cell A16385 lies outside the BIFF2 to BIFF7 grid of 16,384 rows")) << e;

  TMSExcel plain;
  EXPECT_EQ(LoadError(plain, Biff2({{16383, 255}})), "<no error>");
  EXPECT_TRUE(Contains(LoadError(plain, Biff2({{16384, 0}})), "outside the BIFF2 to BIFF7 grid"));
}

TEST(FarCorner, OpenXmlRefusesWhatLiesPastXFD1048576) {
  TMSExcelX r;
  EXPECT_EQ(LoadError(r, testbooks::Xlsx({testbooks::XlsxRowCell("XFD1048576", "1")})), "<no error>");
  EXPECT_TRUE(Cell(r, 0, 1048575, 16383));
  for (const char* ref : {"XFE1", "A1048577", "CRXP16777216", "A99999999999"}) {
    std::string e = LoadError(r, testbooks::Xlsx({testbooks::XlsxRowCell(ref, "1")}));
    EXPECT_TRUE(Contains(e, "lies outside the Open XML grid of 1,048,576 rows by 16,384 columns")) << ref << ": " << e;
    EXPECT_TRUE(Contains(e, "Sheet \"Sheet1\"")) << e;
    EXPECT_EQ(r.Sheets[0].Cells.RowCount, 0) << ref;
  }
}

TEST(FarCorner, XlsbRowsPastTheGridGoThroughTheErrorPath) {
  // BrtRowHdr (0) with row 1048576, then BrtCellReal (5) in column 0.
  auto record = [](uint8_t type, const Bytes& data) {
    Bytes out{type, uint8_t(data.size())};
    out.insert(out.end(), data.begin(), data.end());
    return out;
  };
  Bytes bin;
  for (const Bytes& rec : {record(0x00, {0x00, 0x00, 0x10, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
                           record(0x05, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F})})
    bin.insert(bin.end(), rec.begin(), rec.end());
  ZipBuilder z;
  z.Add("_rels/.rels",
        "<Relationships><Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
        "relationships/officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>");
  z.Add("xl/workbook.xml", "<workbook xmlns:r=\"r\"><sheets><sheet name=\"S\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>");
  z.Add("xl/_rels/workbook.xml.rels",
        "<Relationships><Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
        "relationships/worksheet\" Target=\"worksheets/sheet1.bin\"/></Relationships>");
  z.Add("xl/worksheets/sheet1.bin", std::string(bin.begin(), bin.end()));
  TMSExcelX r;
  std::string e = LoadError(r, z.Build());
  EXPECT_TRUE(Contains(e, "cell A1048577 lies outside the Open XML grid")) << e;
}

TEST(FarCorner, LotusGridsFollowTheGeneration) {
  TLotus123 r;
  LotusBuilder wk1;
  wk1.Bof(0x0406).Integer1(0, 8191, 1).Integer1(256, 0, 2).Eof();
  std::string e = LoadError(r, wk1.Data());
  EXPECT_TRUE(Contains(e, "cell IW1 lies outside the WK1 grid of 8,192 rows by 256 columns")) << e;
  EXPECT_TRUE(Cell(r, 0, 8191, 0));  // the cell before the damage stays

  LotusBuilder wk3;
  wk3.Bof(0x1000).Label3(8192, 0, 0, '\'', "far").Eof();
  EXPECT_TRUE(Contains(LoadError(r, wk3.Data()), "outside the WK3 grid of 8,192 rows"));

  // 1-2-3 97 and later address 65,536 rows: the last one is a cell.
  LotusBuilder r97;
  r97.Bof(0x1005).Label3(65535, 0, 255, '\'', "corner").Eof();
  EXPECT_EQ(LoadError(r, r97.Data()), "<no error>");
  EXPECT_TRUE(Cell(r, 0, 65535, 255));

  r.OnErrorProcess = [](TCustomSpreadSheetFile*, const std::exception&, bool& abort) { abort = false; };
  EXPECT_EQ(LoadError(r, wk1.Data()), "<no error>");
  EXPECT_EQ(r.Sheets[0].Cells.ColCount, 1);
}

// ---- files that end early ----

TEST(Truncated, LotusWithoutItsEndRecordKeepsWhatWasRead) {
  LotusBuilder b;
  b.Bof(0x0406).Integer1(0, 0, 1).Integer1(1, 0, 2);
  TLotus123 r;
  std::string e = LoadError(r, b.Data());
  EXPECT_EQ(e, "The file is truncated: it ends at byte " + std::to_string(b.Data().size()) +
                   " without its end-of-file record");
  EXPECT_TRUE(Cell(r, 0, 0, 1));

  Bytes cut = b.Eof().Data();
  cut.resize(cut.size() - 2);  // inside the last record's header
  EXPECT_TRUE(Contains(LoadError(r, cut), "inside a record header"));
}

TEST(Truncated, PlainBiffWithoutItsEofKeepsTheCells) {
  TMSExcel r;
  std::string e = LoadError(r, Biff2({{0, 0}, {3, 2}}, false));
  EXPECT_TRUE(Contains(e, "The file is truncated: it ends at byte")) << e;
  EXPECT_TRUE(Cell(r, 0, 3, 2));
  Bytes half = Biff2({{0, 0}, {3, 2}});
  half.resize(half.size() - 7);  // inside the last cell record
  EXPECT_EQ(LoadError(r, half), "The file is truncated: it ends at byte 31 inside record 0x0002 of 9 bytes at stream offset 21");
  EXPECT_TRUE(Cell(r, 0, 0, 0));
  EXPECT_EQ(LoadError(r, Biff2({{0, 0}})), "<no error>");
}

TEST(Truncated, CompoundDocumentStreamShorterThanDeclared) {
  biff::Workbook book = testbooks::NumberBook({{{0, 0, 1}, {1, 1, 2}}});
  Bytes file = CutInsideWorkbookStream(book, 3);
  TMSExcel r;
  std::string e = LoadError(r, file);
  EXPECT_TRUE(Contains(e, "The file is truncated: its Workbook stream holds")) << e;
  EXPECT_TRUE(Cell(r, 0, 1, 1));

  // The stream itself says so; its bytes end where the file ends.
  std::unique_ptr<TOleStorage> root = StgOpenStorageOnMemory(file.data(), file.size());
  auto s = root->OpenStream("Workbook");
  ASSERT_TRUE(s);
  EXPECT_TRUE(s->Truncated());
  EXPECT_EQ(s->DeclaredSize(), s->Size() + 3 * 512);
  std::vector<uint8_t> buf(size_t(s->DeclaredSize()));
  EXPECT_EQ(uint64_t(s->Read(buf.data(), int64_t(buf.size()))), s->Size());
}

// ---- budgets ----

TEST(Budgets, PackagesInflateWithinTheirBudget) {
  ZipBuilder z;
  const std::string mb(1 << 20, 'x');
  for (int i = 0; i < 3; ++i) z.Add("part" + std::to_string(i), mb);
  const std::string zip = z.Build();
  TCustomMemoryStream s(zip.data(), int64_t(zip.size()));
  TZipArchive a;
  a.MaxInflatedBytes = 2 * (1 << 20) + 100;
  a.Open(s);
  EXPECT_EQ(a.GetFileData(0).size(), mb.size());
  EXPECT_EQ(a.GetFileData(1).size(), mb.size());
  try {
    a.GetFileData(2);  // each part is small, together they are too much
    FAIL();
  } catch (const EBudgetExceeded& e) {
    EXPECT_EQ(e.Message(), "The workbook is too large for the budget: its package inflates to more than 2 MiB.");
  }
  // The default: 4 GiB, or 1,000 times a package larger than 4 MiB.
  EXPECT_EQ(PackageInflateBudget(1000), 4 * GiB);
  EXPECT_EQ(PackageInflateBudget(10 * GiB), 10000 * GiB);
}

TEST(Budgets, ReadersStopAtTheBudgetsNotAtBadAlloc) {
  std::string rows;
  for (int i = 1; i <= 2000; ++i) rows += "<row r=\"" + std::to_string(i) + "\">" + testbooks::XlsxCell("A" + std::to_string(i), "1") + "</row>";
  const std::string xlsx = testbooks::Xlsx({rows});
  TMSExcelX r;
  r.MaxInflatedBytes = 1000;
  EXPECT_TRUE(Contains(LoadError(r, xlsx), "too large for the budget: its package inflates to more than 1000 bytes"));
  r.MaxInflatedBytes = 0;
  r.MaxCellMemory = 20000;  // 2,000 rows take pages and slots past it
  EXPECT_TRUE(Contains(LoadError(r, xlsx), "The workbook is too large for the memory budget"));
  r.MaxCellMemory = 0;
  EXPECT_EQ(LoadError(r, xlsx), "<no error>");
  EXPECT_EQ(r.Sheets[0].Cells.RowCount, 2000);
}

// ---- sources that are no regular files, and the stop ----

TEST(Sources, NamedPipesAreRefusedWithoutWaiting) {
  TTempDir dir;
  const std::string pipe = dir / "book.xls";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  EXPECT_EQ(StgIsStorageFile(pipe), STG_E_FILENOTFOUND);  // once blocked for ever
  TMSExcel xls;
  try {
    xls.LoadFromFile(pipe);
    FAIL();
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "\"" + pipe + "\" is not a regular file (it is a named pipe).");
  }
  TLotus123 wk;
  EXPECT_THROW(wk.LoadFromFile(pipe), EFOpenError);
  TMSExcelX x;
  EXPECT_THROW(x.LoadFromFile(pipe), EFOpenError);
}

TEST(Sources, ALinkLoopIsNoMissingFile) {
  TTempDir dir;
  ASSERT_EQ(symlink("loop.xls", (dir / "loop.xls").c_str()), 0);
  TMSExcel r;
  try {
    r.LoadFromFile(dir / "loop.xls");
    FAIL();
  } catch (const EQXIFileException& e) {
    EXPECT_EQ(e.Message(), "Cannot open file \"" + (dir / "loop.xls") + "\". Too many levels of symbolic links");
  }
  try {
    r.LoadFromFile(dir / "missing.xls");
    FAIL();
  } catch (const EQXIFileException& e) {
    EXPECT_TRUE(Contains(e.Message(), "does not exist"));
  }
}

TEST(Stop, ALoadEndsAtTheNextCellOrPart) {
  TCancelToken stop;
  stop.Cancel();
  TMSExcel xls;
  xls.CancelToken = &stop;
  EXPECT_EQ(LoadError(xls, testbooks::Xls(testbooks::NumberBook({{{0, 0, 1}}}))), SOperationCanceled);
  TMSExcelX xlsx;
  xlsx.CancelToken = &stop;
  EXPECT_EQ(LoadError(xlsx, testbooks::Xlsx({testbooks::XlsxRowCell("A1", "1")})), SOperationCanceled);
  TLotus123 wk;
  wk.CancelToken = &stop;
  LotusBuilder b;
  b.Bof(0x1000).Label3(0, 0, 0, '\'', "x").Eof();
  EXPECT_EQ(LoadError(wk, b.Data()), SOperationCanceled);
}

TEST(Budgets, LotusFormulaCellsNoLongerSwallowTheBudget) {
  // Formula results were delivered inside a catch-all: past the budget
  // every cell was still allocated and the error dropped.
  LotusBuilder b;
  b.Bof(0x1000);
  for (uint16_t row = 0; row < 3000; ++row) b.Formula3(row, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F});
  b.Eof();
  TLotus123 r;
  r.MaxCellMemory = 100000;
  EXPECT_TRUE(Contains(LoadError(r, b.Data()), "too large for the memory budget"));
  EXPECT_LT(r.Sheets[0].Cells.RowCount, 3000);
}

// Real files cut off where a copy or a download might stop: each says it is
// truncated and keeps cells read before the cut.
TEST(Truncated, RealFilesCutOffKeepTheirFirstCells) {
  const std::string corpus = VARNOWE_CORPUS_DIR;
  auto load = [](const std::string& file, const Bytes& b, int64_t& cells) {
    std::unique_ptr<TSpreadSheetFile> r;
    if (file.find(".xls") != std::string::npos) r = std::make_unique<TMSExcel>();
    else r = std::make_unique<TLotus123>();
    std::string e = LoadError(*r, b);
    cells = 0;
    for (int32_t s = 0; s < r->Sheets.Count(); ++s)
      for (int32_t row = 0; row < r->Sheets[s].Cells.Count(); ++row)
        if (const TSpreadSheetCols* c = r->Sheets[s].Cells.RowCells(row))
          for (int32_t col = 0; col < c->Count(); ++col) cells += c->Cell(col) != nullptr;
    return e;
  };
  // The cut, in percent of the file: the compound document keeps its cells near its end.
  const std::pair<const char*, size_t> files[] = {
      {"lotus/opf_ksbase.wk1", 60}, {"lotus/opf_peytrend.wk3", 60}, {"xls/b3_edr_biff3.xls", 60}, {"xls/sjs_crlf_123r9.xls", 98}};
  for (const auto& [file, percent] : files) {
    Bytes whole;
    {
      std::ifstream f(corpus + "/" + file, std::ios::binary);
      if (!f) GTEST_SKIP() << "corpus file " << file << " not found under " << corpus;
      whole.assign(std::istreambuf_iterator<char>(f), {});
    }
    int64_t all = 0, kept = 0;
    EXPECT_EQ(load(file, whole, all), "<no error>") << file;
    Bytes cut(whole.begin(), whole.begin() + std::ptrdiff_t(whole.size() * percent / 100));
    std::string e = load(file, cut, kept);
    EXPECT_EQ(e.rfind("The file is truncated: ", 0), 0u) << file << ": " << e;
    EXPECT_GT(kept, 0) << file;
    EXPECT_LT(kept, all) << file;
  }
}
