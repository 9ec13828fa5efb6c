// Cells as stored, as displayed and as data, through every output of text:
// one table of cells and the text each form gives them, checked in TXT,
// CSV, HTML and XML and, read back by pdftotext, in PDF.
#include <gtest/gtest.h>

#include <filesystem>

#include "ExportHandOff.h"
#include "ExportTestSupport.h"
#include "FormatSettings.h"
#include "PlainWriters.h"
#include "TempDir.h"

namespace {

struct TCase {
  const char* Code;
  TVariant Value;
  TQXICellType Type;
  bool Percent;  // the reader published the fraction × 100
  const char* Stored;
  const char* Displayed;
  const char* Data;
};

const TCase Cases[] = {
    {"#,##0.00", 12345.6789, ictDecimal, false, "12345.6789", "12,345.68", "12345.6789"},
    {"d-mmm-yy", TVariant::DateTime(44197), ictDateTime, false, "1/1/2021", "1-Jan-21", "2021-01-01"},
    {"yyyy-mm-dd hh:mm", TVariant::DateTime(44197.423726851852), ictDateTime, false, "1/1/2021 10:10:10 AM",
     "2021-01-01 10:10", "2021-01-01T10:10:10"},
    // Time-only cells never show a day of 1899, in any form.
    {"hh:mm", TVariant::DateTime(0.2708333333333333), ictTime, false, "6:30:00 AM", "06:30", "06:30:00"},
    {"[h]:mm", TVariant::DateTime(1.0625), ictTime, false, "25:30:00", "25:30", "25:30:00"},
    {"0.0%", 0.652027, ictDecimal, true, "65.2027", "65.2%", "0.652027"},
    {"$#,##0.00", TVariant(int64_t(1234)), ictInteger, false, "1234", "$1,234.00", "1234"},
    {"General", 0.1 + 0.2, ictDecimal, false, "0.3", "0.3", "0.30000000000000004"},
    {"General", true, ictBoolean, false, "True", "TRUE", "True"},
    {"@\" kg\"", "flour", ictString, false, "flour", "flour kg", "flour"},
};

// One row per case: the case's cell in column 0, its stored text as a label in column 1.
void Fill(TSpreadSheets& book) {
  TSpreadSheet& s = book.GetSheet(0);
  for (int32_t r = 0; r < int32_t(std::size(Cases)); ++r) {
    const TCase& c = Cases[r];
    s.Cells.SetCell(0, r, c.Type, book.Formats.Add(c.Code), taRightJustify, c.Value);
    if (c.Percent) s.Cells.GetCell(0, r)->SetPercent(c.Value.AsFloat(), true);
  }
  s.ColumnWidths = {30 * 256};
}

struct TWriter {
  const char* Name;
  TCellValues Default;  // what cvAuto gives
  std::function<std::string(const std::string& dir, const TSpreadSheet&, TCellValues)> Write;
};

std::string Plain(void (*write)(TStream&, const TSpreadSheet&, const TSheetWriteOptions&), const TSpreadSheet& s,
                  TCellValues values) {
  TSheetWriteOptions o;
  o.Text.Values = values;
  TMemoryStream m;
  write(m, s, o);
  return std::string(m.Bytes().begin(), m.Bytes().end());
}

const TWriter Writers[] = {
    {"txt", cvStored, [](const std::string&, const TSpreadSheet& s, TCellValues v) { return Plain(WriteTXT, s, v); }},
    {"csv", cvStored, [](const std::string&, const TSpreadSheet& s, TCellValues v) { return Plain(WriteCSV, s, v); }},
    {"html", cvDisplayed,
     [](const std::string&, const TSpreadSheet& s, TCellValues v) { return Plain(WriteHTML, s, v); }},
    {"xml", cvStored, [](const std::string&, const TSpreadSheet& s, TCellValues v) { return Plain(WriteXML, s, v); }},
    {"pdf", cvDisplayed,
     [](const std::string& dir, const TSpreadSheet& s, TCellValues v) {
       const std::string path = dir + "cells.pdf";
       ExportPDF(path, s, {}, {}, v);
       return RunCapture("pdftotext -enc UTF-8 -layout " + ShellQuote(path) + " - 2>/dev/null");
     }},
};

class CellValues : public ::testing::Test {
 protected:
  void SetUp() override { SetDefaultFormatSettings(TFormatSettings::UnitedStates()); }
  void TearDown() override { SetDefaultFormatSettings(TFormatSettings::FromLocale()); }
};

TEST_F(CellValues, EveryTextOutputShowsTheChosenForm) {
  TSpreadSheets book;
  Fill(book);
  TTempDir tmp;
  for (const TWriter& w : Writers) {
    if (std::string(w.Name) == "pdf" && !HaveProgram("pdftotext")) continue;
    for (TCellValues values : {cvAuto, cvStored, cvDisplayed, cvData}) {
      const std::string out = w.Write(tmp.Path(), book[0], values);
      // HTML and PDF are for people: data shows as displayed there.
      const TCellValues form = values == cvAuto ? w.Default : w.Default == cvDisplayed && values == cvData ? cvDisplayed : values;
      for (const TCase& c : Cases) {
        const std::string expected = form == cvStored ? c.Stored : form == cvDisplayed ? c.Displayed : c.Data;
        EXPECT_NE(out.find(expected), std::string::npos)
            << w.Name << " " << CellValuesWord(values) << " " << c.Code << ": " << expected << "\n" << out;
      }
      EXPECT_EQ(out.find("1899"), std::string::npos) << w.Name << " " << CellValuesWord(values);
    }
  }
}

// A number wider than its column shows as "#" marks filling it in the
// fixed-width text and the PDF, General first giving up digits (a text runs
// on as it always did); 0.5 in the next column stays apart.
TEST_F(CellValues, WideNumbersFillTheirColumnWithHashMarks) {
  TSpreadSheets book;
  TSpreadSheet& s = book.GetSheet(0);
  s.Cells.SetCell(0, 0, ictDecimal, book.Formats.Add("0"), taRightJustify, 2147483648.0);
  s.Cells.SetCell(1, 0, ictDecimal, 0, taRightJustify, 0.5);
  s.Cells.SetCell(0, 1, ictString, 0, taLeftJustify, TVariant("a text wider than five"));
  s.Cells.SetCell(0, 2, ictDecimal, 0, taRightJustify, 2147483648.0);
  s.ColumnWidths = {5 * 256, 5 * 256};
  TTempDir tmp;
  for (const TWriter& w : Writers) {
    if (std::string(w.Name) != "txt" && std::string(w.Name) != "pdf") continue;
    if (std::string(w.Name) == "pdf" && !HaveProgram("pdftotext")) continue;
    const std::string out = w.Write(tmp.Path(), s, cvDisplayed);
    EXPECT_NE(out.find("#####"), std::string::npos) << w.Name << "\n" << out;
    EXPECT_EQ(out.find("######"), std::string::npos) << w.Name << "\n" << out;
    EXPECT_EQ(out.find("21474"), std::string::npos) << w.Name << "\n" << out;
    EXPECT_NE(out.find("2E+09"), std::string::npos) << w.Name << "\n" << out;
    EXPECT_NE(out.find("0.5"), std::string::npos) << w.Name << "\n" << out;
    EXPECT_NE(out.find("a text wider than five"), std::string::npos) << w.Name << "\n" << out;
  }
}

// The clean preset writes data: ISO dates a data tool parses as dates.
TEST_F(CellValues, TheCleanPresetWritesData) {
  TDestinationOptions o;
  ApplyCleanPreset(o);
  EXPECT_EQ(o.Text.Values, cvData);
  EXPECT_TRUE(IsCleanPreset(o));
  o.Text.Values = cvStored;
  EXPECT_FALSE(IsCleanPreset(o));
  for (TCellValues v : {cvAuto, cvStored, cvDisplayed, cvData}) EXPECT_EQ(ParseCellValues(CellValuesWord(v)), v);
  EXPECT_FALSE(ParseCellValues("shown"));
}

}  // namespace
