// Quattro Pro files reach their reader by name and by content, and convert.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "CodePage.h"
#include "ConversionFrontEnd.h"
#include "QuattroBuilder.h"
#include "ReaderSniffing.h"
#include "TempDir.h"

namespace {

using QB = QuattroBuilder;

std::string Write(const TTempDir& dir, const std::string& name, const QB::Bytes& data) {
  std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  return dir / name;
}

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

QB::Bytes Wq1() { return QB().Bof(0x5120).PascalLabel(QB::Wq1(0, 0), '\'', "quattro").Eof().Data(); }
QB::Bytes Wk1() {
  LotusBuilder b;
  return b.Bof(0x0406).Label1(0, 0, '\'', "lotus").Eof().Data();
}
QB::Bytes Notebook() {
  QB b;
  b.NotebookBof().StringTable({QB::String("notebook")}).NotebookSheet(0, "N");
  b.Column(0).CellBlock(0, 1, QB::Entry(7, QB::Dword(1))).ColumnEnd().NotebookSheetEnd().NotebookEof();
  return QB::Compound(b.Data());
}

TEST(QuattroRouting, ExtensionsOfTheFamily) {
  for (const char* ext : {".WQ1", ".WQ2", ".WKQ", ".WQ!", ".WB1", ".WB2", ".WB3", ".QPW"})
    EXPECT_EQ(ReaderKindByExtension(ext), rkQuattroPro) << ext;
  EXPECT_TRUE(TSpreadsheetConversion::HasReader(rkQuattroPro));
  EXPECT_TRUE(TSpreadsheetConversion::CreateReader(rkQuattroPro));
  TSpreadsheetConversion c;
  c.chkMSExcel = c.chkLotus = c.chkOpenOffice = false;
  for (const char* name : {"a.wq1", "a.WB1", "a.wb2", "a.wb3", "a.qpw", "a.wkq"}) EXPECT_TRUE(c.IsFileAccepted(name)) << name;
  EXPECT_FALSE(c.IsFileAccepted("a.wk1"));
}

TEST(QuattroRouting, ContentDecidesBetweenTheFamilies) {
  TTempDir dir;
  // A Quattro file under a Lotus name and the other way round.
  EXPECT_EQ(TSpreadsheetConversion::ChooseReader(Write(dir, "q.wk1", Wq1())), rkQuattroPro);
  EXPECT_EQ(TSpreadsheetConversion::ChooseReader(Write(dir, "l.wq1", Wk1())), rkLotus123);
  // A notebook under an Excel name or none.
  EXPECT_EQ(TSpreadsheetConversion::ChooseReader(Write(dir, "n.xls", Notebook())), rkQuattroPro);
  EXPECT_EQ(TSpreadsheetConversion::ChooseReader(Write(dir, "n.dat", Notebook())), rkQuattroPro);
  EXPECT_EQ(SniffFileReaderKind(Write(dir, "w.bin", QB::Compound(QB().Bof(0x1007).Eof().Data(), "PerfectOffice_MAIN"))),
            rkQuattroPro);
  // A compound document with a workbook stays Excel's.
  CfbBuilder excel;
  excel.AddStream("Workbook", std::vector<uint8_t>(64, 0));
  excel.AddStream("Quattro_MAIN", std::vector<uint8_t>(64, 0));
  EXPECT_EQ(SniffFileReaderKind(Write(dir, "e.bin", excel.Build())), rkMSExcel);
}

TEST(QuattroRouting, ConvertsToCsv) {
  SetACPOverride(CP_UTF8);
  TTempDir dir;
  TSpreadsheetConversion c;
  c.ConvertFile(Write(dir, "a.wq1", Wq1()), dir / "a.csv", 1);
  EXPECT_NE(Read(dir / "a.csv").find("quattro"), std::string::npos);
  c.ConvertFile(Write(dir, "b.qpw", Notebook()), dir / "b.csv", 1);
  EXPECT_NE(Read(dir / "b.csv").find("notebook"), std::string::npos);
  SetACPOverride(0);
}

}  // namespace
