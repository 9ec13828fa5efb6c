#pragma once
// The PDF writer: one worksheet as a grid of text cells on pages of the
// paper size PageSetup names, rows top-down, a new page when a page is full.
//
// The file is written as it goes: a page's content is gathered in memory
// while its rows are written and the page's objects go to the file when it
// is full, so memory holds one page (one per column band, below) whatever
// the sheet's size. Fonts, the document information, the page tree, the
// cross-reference table (offsets taken from the bytes really written) and
// the trailer follow at the end.
//
// Every page is the paper (PageSetup: size, orientation, margins, a zoom or
// fitting the columns to the width). Columns that do not fit are cut into
// bands of whole columns: each band gets its own pages for the same rows,
// in the order PageSetup.PageOrder says. The grid is drawn in its own
// units, scaled onto the printable area; the first PageSetup.RepeatRows
// rows are drawn again at the top of every later page. Header and Footer
// lines are drawn above and below the grid of every page, centred, with
// "&P" the page's number, "&N" the number of pages and "&&" an "&".
//
// Fonts: Arial (and MS Sans Serif), Courier, Times, Symbol and Wingdings
// are the standard Type 1 fonts, not embedded, in WinAnsiEncoding. Other
// fonts are found through fontconfig and embedded as a TrueType subset
// when their licence bits allow it (else the nearest standard font stands
// in). A cell with a character that Windows-1252 does not hold is written
// with a Type0 font (Identity-H) over an embedded CIDFontType2 subset,
// taking each character from the first installed font that has it, with a
// ToUnicode map so the text can be searched and copied.
//
// A text wider than its cell runs on over empty cells to its right and is
// clipped at the next cell that holds something (or the page margin).
#include <array>
#include <bitset>
#include <functional>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "FontService.h"
#include "QXE2Cell.h"

enum TQXEViewerPreference : uint8_t { evpHideToolBar, evpHideMenuBar, evpHideWindowUI, evpFitWindow, evpCenterWindow };
using TQXEViewerPreferences = uint8_t;  // bit set of TQXEViewerPreference
constexpr TQXEViewerPreferences ViewerPreferenceBit(TQXEViewerPreference p) {
  return TQXEViewerPreferences(1u << p);
}
enum TQXEPDFPageLayout : uint8_t {
  eplDefault, eplSinglePage, eplOneColumn, eplTwoColumnLeft, eplTwoColumnRight, eplTwoPageLeft, eplTwoPageRight
};
enum TPDFCompressionMethod : uint8_t { cmFastest, cmNormal, cmMaxCompress };
// fdLZW and fdDCT have no encoder: data given them is written unfiltered.
enum TPDFFilterDecode : uint8_t { fdASCIIHex, fdASCII85, fdLZW, fdDCT, fdFlate };

// The largest page side a PDF may have, in points.
inline constexpr int32_t PDFMaxPageSize = 14400;

// Data encoded for a stream: the filter's name ("" for none) and the bytes.
struct TPDFEncoded {
  std::string Filter;
  std::string Data;
};
TPDFEncoded PDFEncode(TPDFFilterDecode decode, TPDFCompressionMethod compression, const std::string& data);
// A PDF literal string's body: backslash, parentheses escaped; control
// characters become blanks.
void AppendPDFStringBody(std::string& out, const std::string& bytes);
// The code points of 8-bit text of the system code page, at most maxChars.
void CellTextToCodePoints(std::string_view text, std::u32string& out, size_t maxChars = 32767);

// A cell text as runs in drawing order, by the Unicode bidirectional
// algorithm (the paragraph's direction from its first strong character):
// each run is [Start, End) of the logical text at one embedding level
// (odd: right to left), split further where split(i) differs from
// split(i - 1).
struct TBidiRun {
  size_t Start, End;
  uint8_t Level;
};
std::vector<TBidiRun> VisualRuns(const std::u32string& text, const std::function<bool(size_t)>& split = {});
// Windows-1252 code of a character; -1 when the code page has none.
int32_t WinAnsiCode(char32_t c);
// The character of a Windows-1252 code; 0 for the five unassigned codes.
char32_t WinAnsiChar(uint8_t code);

// A Windows bitmap (a .bmp file, or a device-independent bitmap without its
// file header) of 1, 4, 8, 24 or 32 bits per pixel, uncompressed, as rows of
// RGB bytes from the top. False when the data is not such a bitmap or
// declares more than it holds; images are limited to 16,384 pixels a side.
bool DecodeBitmap(const uint8_t* data, size_t size, int32_t& width, int32_t& height, std::string& rgb);

// How a font reaches the document.
enum TPDFFontKind : uint8_t {
  pfkStandard,  // one of the 14 standard Type 1 fonts, WinAnsiEncoding, not embedded
  pfkTrueType,  // a TrueType font, WinAnsiEncoding, an embedded subset
  pfkUnicode    // Type0, Identity-H, over an embedded CIDFontType2 subset
};

class TPDFFont {
 public:
  int32_t ObjectNumber = 0;
  std::string BaseFontName;  // the standard name, or the face's PostScript name
  std::string WindowsName;
  uint8_t Charset = 0;
  TFontStyles Style = 0;
  bool TrueType = false;
  bool Embeddable = false;
  int32_t Flags = 32;
  TPDFFontKind Kind = pfkStandard;
  // Measures the font (and is embedded for pfkTrueType and pfkUnicode);
  // null when no installed font stands for it.
  TFontFacePtr Face;

  // Width of each WinAnsiEncoding code in 1/1000 em; -1 when not known.
  std::array<int16_t, 256> CodeWidths{};
  std::bitset<256> UsedCodes;

  // pfkUnicode: CID i + 1 shows glyph Glyphs[i] of Face, Widths[i] wide,
  // and stands for Texts[i] in the ToUnicode map (a ligature for several
  // characters; empty for the further glyphs of a cluster whose text the
  // first one carries).
  std::vector<std::u32string> Texts;
  std::vector<uint32_t> Glyphs;
  std::vector<int16_t> Widths;
  // The CID of a glyph standing for text, added when new; 0 when the font
  // holds no more.
  uint16_t Cid(uint32_t glyph, const std::u32string& text);

 private:
  std::unordered_map<std::u32string, uint16_t> FCidOf;  // glyph, then its text
};

class TPDFFonts {
 public:
  int32_t Count() const { return int32_t(FItems.size()); }
  TPDFFont* Items(int32_t index) const { return FItems.at(size_t(index)).get(); }
  // The index of the font with this base name and character set; -1 when none.
  int32_t IndexOf(const std::string& baseFontName, uint8_t charset) const;
  int32_t Add(std::unique_ptr<TPDFFont> font);
  void Clear() { FItems.clear(); }

 private:
  std::vector<std::unique_ptr<TPDFFont>> FItems;
};

class TQXExportToPDF : public TQXExportToCellFile {
 public:
  TQXExportToPDF();
  ~TQXExportToPDF() override;

  TQXEViewerPreferences ViewerPreferences = 0;
  TQXEPDFPageLayout PageLayout = eplDefault;
  TPDFCompressionMethod CompressionMethod = cmNormal;
  TPDFFilterDecode FontDecode = fdASCIIHex;
  TPDFFilterDecode ImageDecode = fdFlate;

  std::string GetDefaultExt() override { return ".PDF"; }
  void Assign(const TQXECustomBaseComponent& source) override;
  // Specification files: section [PDF] holds the five settings above.
  void LoadSpecification(const std::vector<std::string>& lines) override;
  void SaveSpecification(TStream& stream, const std::string& specificationName) override;

  // Several sheets in one document: OpenWorkbook(out), one
  // ExportToStream(out) per sheet, each sheet starting on a new page, then
  // CloseWorkbook (the fonts and the document's end into out). After a
  // failed sheet the document is unusable: drop out and the component.
  void OpenWorkbook(TStream& out);
  void CloseWorkbook();

  // The sheet's name: its entry in a workbook's outline.
  std::string SheetName;

  // The fonts of the last document.
  const TPDFFonts& Fonts() const { return FFonts; }
  int32_t PageCount() const { return FPageCount; }
  // Paper size, scale and number of column bands of the last sheet.
  int32_t BasePageWidth() const { return FPaperWidth; }
  int32_t PageHeight() const { return FPaperHeight; }
  double Scale() const { return FScale; }
  int32_t BandCount() const { return int32_t(FBandEnds.size()); }
  int32_t BandPageWidth(int32_t) const { return FPaperWidth; }

 protected:
  // Opens the page of a column band for the current rows (its content is
  // gathered in memory) and closes it (its objects written to the file).
  virtual void OpenPage(int32_t band);
  virtual void ClosePage(int32_t band);

  bool CanAppend() const override { return false; }
  // An empty cell draws only its grid line, which the row's grid draws anyway.
  bool SkipsEmptyCells() const override { return !HasOption(soColorsFonts); }
  // Rows and columns a source declares beyond those in use draw nothing on
  // a page: only the used extent is visited (a sheet declaring the whole
  // grid would otherwise cost billions of empty cells and pages at the
  // widest limit).
  int32_t RecordCountLimit() const override { return 0; }
  int32_t ColumnCountLimit() const override { return 0; }
  void WriteString(const std::string& text) override;
  void StartFile() override;
  void SetDimensions(int32_t rowCount, int32_t colCount) override;
  void SetColumnWidth(int32_t column, int32_t width) override;
  void WriteHeader() override;
  void WriteFooter() override;
  void BeginRow() override;
  void EndRow() override;
  void WriteCell(TQXEField* field, TCellType cellType, int32_t row, int32_t column, const std::string& text,
                 TAlignment alignment, const TQXEFont& font, TColor color) override;
  void WriteMergedCell(TCellType cellType, int32_t row, int32_t column, int32_t span, const std::string& text,
                       TAlignment alignment, const TQXEFont& font, TColor color) override;
  void EndOfFile() override;
  void FinishExport() override;

 private:
  struct TPage {
    std::string Content;
    std::vector<bool> FontsUsed;
    std::vector<int32_t> Images;
    TColor Fill = clBlack;  // graphics state as the content leaves it
    TColor Stroke = clBlack;
  };
  // A text waiting to learn how far it may run.
  struct TPendingText {
    bool Active = false;
    int32_t Band = 0, Left = 0, Right = 0, Baseline = 0, Bottom = 0, Height = 0;
    int32_t Width = 0;  // in 1/1000 point; -1 when not known
    TAlignment Align = taLeftJustify;
    TColor Color = clBlack;
    std::string Ops;  // font selections and show operators
  };
  struct TPageGroup {
    int32_t Node = 0;
    std::vector<int32_t> Pages;
  };
  // A page whose content is written; its page object follows when the
  // sheet's page order is known.
  struct TPageRecord {
    int32_t Band, Block, Object, Resources, Contents, Frame;
  };
  // A sheet's header and footer lines, drawn on its pages at the end.
  struct TFrameLines {
    std::vector<std::string> Header, Footer;
  };
  struct TOutlineEntry {
    std::string Title;
    int32_t Page;
  };
  struct TCellPlace {
    int32_t Band, Left, Right;
  };
  // A grid line, drawn as "X Bottom Width Height re S".
  struct TGridLine {
    int32_t X, Bottom, Width, Height;
  };
  // Column lines a text that runs over empty cells hides: Left < x < Right.
  struct THidden {
    int32_t Band, Left, Right;
  };
  // A row of the pages in hand, as its grid lines need it.
  struct TGridRow {
    int32_t Bottom, Height;
    bool RowLine;
    std::vector<THidden> Hidden;
  };
  // The font context of a cell font: its PDF font and, for text the font
  // cannot show, the faces tried per character.
  struct TFontContext {
    TQXEFont Font;
    int32_t Standard = -1;  // the font for WinAnsi text, registered when first needed
    bool PrimaryKnown = false;
    TFontFacePtr Primary;  // first face for other text
    std::unordered_map<char32_t, int32_t> UnicodeFontOf;
  };

  // File output.
  void Line(const std::string& text) { WriteString(text); }
  void RawWrite(const std::string& bytes);
  int32_t NewObject() { return FNextObject++; }
  void RegisterObject(int32_t number);
  void BeginObject(int32_t number);
  void WriteStreamObject(int32_t number, const std::string& dictionaryExtra, const TPDFEncoded& data,
                         int64_t length1 = -1);

  // Pages and layout.
  void ComputeLayout();
  TCellPlace Place(int32_t column, int32_t span) const;
  TPage& PageFor(int32_t band);
  void ClosePages();
  void FlushPendingText(int32_t limit);
  // The grid of a row on a band's page: a line left of every column, with
  // those a text runs over left out, and the row's line. Drawn when the
  // row ends on the pages that are open, and on a page that opens later for
  // these rows; grid lines alone never make a page, so the work is that of
  // the pages written.
  void DrawGridRow(TPage& page, int32_t band, const TGridRow& row);
  static void DrawLine(TPage& page, const TGridLine& line);
  static void SetFill(TPage& page, TColor color);
  static void SetStroke(TPage& page, TColor color);

  // Fonts (QXE2PDFFonts.cpp).
  TFontContext& ContextFor(const TQXEFont& font);
  int32_t RegisterFont(const TQXEFont& font);
  int32_t UnicodeFontFor(TFontContext& context, char32_t c);
  int32_t UnicodeFontOfFace(const TFontFacePtr& face);
  // Appends the operators that show the text (font selections included)
  // and returns its width in 1/1000 point (-1 when not known). Glyphs that
  // would start beyond visible (1/1000 point from the text's start; -1: no
  // limit) are left out: they could never show.
  int64_t TextOps(const std::u32string& text, const TQXEFont& font, std::string& ops, TPage& page,
                  int64_t visible = -1);
  // The same for text the Unicode fonts show (QXE2PDFText.cpp): ordered by
  // VisualRuns, each run shaped with its font's file.
  int64_t ShapedTextOps(const std::u32string& text, TFontContext& context, int32_t size, std::string& ops,
                        TPage& page, int64_t visible);
  void WriteFonts();
  void WriteFont(int32_t index);
  std::string SubsetTag(const TPDFFont& font) const;

  // Pictures (QXE2PDFImage.cpp): an image object for a picture cell; the
  // row grows to its height. False when the data is no picture.
  bool WritePicture(const std::string& data, TPage& page, int32_t band, int32_t left, int32_t right);

  void WriteDocumentEnd();
  // The page objects of the sheet's pages, in page order.
  void PlaceSheetPages();
  // The header and footer of every page, once the page count is known.
  void WriteFrames();
  void WriteOutline();
  // Paper, margins, scale and orientation from PageSetup and the widths.
  void ChoosePageGeometry();
  int32_t BandsAt(int32_t layoutWidth) const;
  // The page and layout state a sheet starts with.
  void StartSheet();
  void ReleaseFontContexts();

  // Where the document goes: the export's stream, else the workbook's.
  TStream* Output() const;
  TStream* FBookStream = nullptr;
  bool FWorkbook = false;         // between OpenWorkbook and CloseWorkbook
  bool FDocumentStarted = false;  // the workbook's header is written
  int32_t FSheetFirstPage = 0;    // pages before the current sheet's

  TPDFFonts FFonts;
  std::vector<TFontContext> FContexts;
  int32_t FLastContext = -1;
  std::unordered_map<const TFontFace*, int32_t> FUnicodeFonts;
  // The Unicode family by style (bold + 2 * italic), looked up once.
  std::array<TFontFacePtr, 4> FUnicodeDefaults;
  std::array<bool, 4> FUnicodeDefaultsKnown{};
  // Shaping state of the faces in use (QXE2PDFText.cpp).
  struct TShaping;
  std::unique_ptr<TShaping> FShaping;

  int64_t FFilePos = 0;
  int32_t FNextObject = 4;
  std::vector<int64_t> FOffsets;  // by object number; -1 until written
  std::vector<TPageGroup> FGroups;
  int32_t FPageCount = 0;
  int32_t FImageCount = 0;
  std::vector<TPageRecord> FSheetPages;
  // Per page of the document: its frame object (0: none) and its sheet's lines.
  std::vector<std::pair<int32_t, int32_t>> FFrames;
  std::vector<TFrameLines> FFrameLines;
  int32_t FOutlineRoot = 0;
  std::vector<TOutlineEntry> FOutline;

  // The paper and the printable area in points; the grid is laid out in
  // units of 1/FScale point, FLayoutWidth by FLayoutHeight of them a page.
  int32_t FPaperWidth = 612, FPaperHeight = 792;
  double FMarginLeft = 36, FMarginRight = 36, FMarginTop = 54, FMarginBottom = 54;
  double FScale = 1;
  int32_t FLayoutWidth = 540, FLayoutHeight = 684;
  std::vector<int32_t> FWidths;  // points per column; -1 where none was set
  std::vector<int32_t> FLeft, FBand;
  std::vector<int32_t> FBandEnds;  // the right edge of each band's last column
  bool FLayoutDone = false;
  int32_t FBlock = 0;     // row ranges closed so far in the sheet
  int32_t FRowsDone = 0;  // rows ended in the sheet
  // The repeated rows: each band's page as they leave it, their grid rows
  // and where the next row starts below them.
  std::vector<std::unique_ptr<TPage>> FRepeatPages;
  std::vector<TGridRow> FRepeatGrid;
  int32_t FRepeatBottom = 0;
  bool FRepeating = false;

  std::vector<std::unique_ptr<TPage>> FPages;  // the open page of each band
  std::vector<std::vector<int32_t>> FBandLines;  // per band: the x of each column's left line
  std::vector<TGridRow> FPageRows;  // the rows of the pages in hand, for pages that open later
  std::vector<THidden> FHidden;     // this row's

  TPendingText FPending;
  int32_t FY = 10;
  int32_t FRowHeight = 20;
  int32_t FMergeSpan = -1;
  std::u32string FText;  // scratch
};
