#include "QXE2PDF.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>

#include "CodePage.h"
#include "DateTime.h"
#include "SysUtils.h"

namespace {

// The maker's address in the document information.
constexpr const char* ProducerWebAddress = "https://www.morvell.example/";

void AppendInt(std::string& s, int64_t v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  s.append(buf, r.ptr);
}

std::string Ref(int32_t number) { return std::to_string(number) + " 0 R"; }

// System colours as the window colours they stand for.
TColor RealColor(TColor c) {
  if (c >= 0) return c & 0xFFFFFF;
  switch (uint32_t(c) & 0xFF) {
    case 0x05: return clWhite;             // window
    case 0x0F: case 0x16: return 0xE3E3E3;  // button face, 3-D light
    case 0x10: return 0xA0A0A0;             // button shadow
    default: return clBlack;                // window text and the rest
  }
}

// A length in 1/1000 point as a PDF number ("12.5").
void AppendMilli(std::string& s, int64_t milli) {
  if (milli < 0) {
    s += '-';
    milli = -milli;
  }
  AppendInt(s, milli / 1000);
  if (const int64_t frac = milli % 1000) {
    // Once per cell: no formatting machinery.
    const char digits[4] = {'.', char('0' + frac / 100), char('0' + frac / 10 % 10), char('0' + frac % 10)};
    size_t n = 4;
    while (digits[n - 1] == '0') --n;
    s.append(digits, n);
  }
}

void AppendColor(std::string& s, TColor c, const char* op) {
  const TColor rgb = RealColor(c);
  for (int shift = 0; shift <= 16; shift += 8) {
    // component / 255 as "0.000"
    const int milli = ((rgb >> shift) & 0xFF) * 1000 / 255;
    const char digits[6] = {char('0' + milli / 1000), '.', char('0' + milli / 100 % 10), char('0' + milli / 10 % 10),
                            char('0' + milli % 10), ' '};
    s.append(digits, sizeof digits);
  }
  s += op;
  s += "\r\n";
}

// A PDF text string for the document information: literal when ASCII, else
// UTF-16 with its byte-order mark.
std::string InfoString(const std::string& ansi) {
  const bool ascii = std::all_of(ansi.begin(), ansi.end(), [](char c) { return uint8_t(c) < 0x80; });
  if (ascii) {
    std::string s = "(";
    AppendPDFStringBody(s, ansi);
    return s + ")";
  }
  std::string s = "<FEFF";
  for (char16_t u : AnsiToWide(ansi)) s += IntToHex(u, 4);
  return s + ">";
}

}  // namespace

// The code points of 8-bit text of the system code page, at most maxChars.
void CellTextToCodePoints(std::string_view text, std::u32string& out, size_t maxChars) {
  out.clear();
  const std::string_view shown = text.substr(0, 4 * maxChars);
  if (std::all_of(shown.begin(), shown.end(), [](char ch) { return uint8_t(ch) < 0x80; })) {
    out.assign(shown.begin(), shown.begin() + std::ptrdiff_t(std::min(shown.size(), maxChars)));
    return;
  }
  const std::string utf8 = AnsiToUtf8(std::string(shown));
  const uint8_t* p = reinterpret_cast<const uint8_t*>(utf8.data());
  const uint8_t* end = p + utf8.size();
  while (p < end && out.size() < maxChars) out.push_back(NextUtf8CodePoint(p, end));
}

void TQXExportToPDF::Assign(const TQXECustomBaseComponent& source) {
  TQXExportToCellFile::Assign(source);
  if (auto* pdf = dynamic_cast<const TQXExportToPDF*>(&source)) {
    ViewerPreferences = pdf->ViewerPreferences;
    PageLayout = pdf->PageLayout;
    CompressionMethod = pdf->CompressionMethod;
    FontDecode = pdf->FontDecode;
    ImageDecode = pdf->ImageDecode;
  }
}

void TQXExportToPDF::LoadSpecification(const std::vector<std::string>& lines) {
  TQXExportToCellFile::LoadSpecification(lines);
  const TSpecValues v(lines);
  v.Enum("ViewerPreferences", ViewerPreferences, 31);
  v.Enum("PageLayout", PageLayout, eplTwoPageRight);
  v.Enum("CompressionMethod", CompressionMethod, cmMaxCompress);
  v.Enum("FontDecode", FontDecode, fdFlate);
  v.Enum("ImageDecode", ImageDecode, fdFlate);
}

void TQXExportToPDF::SaveSpecification(TStream& stream, const std::string& specificationName) {
  TQXExportToCellFile::SaveSpecification(stream, specificationName);
  stream.WriteString("[PDF]\r\nViewerPreferences=" + std::to_string(ViewerPreferences) + "\r\nPageLayout=" +
                     std::to_string(PageLayout) + "\r\nCompressionMethod=" + std::to_string(CompressionMethod) +
                     "\r\nFontDecode=" + std::to_string(FontDecode) + "\r\nImageDecode=" +
                     std::to_string(ImageDecode) + "\r\n");
}

// --- file output --------------------------------------------------------

TStream* TQXExportToPDF::Output() const { return Stream() ? Stream() : FBookStream; }

void TQXExportToPDF::RawWrite(const std::string& bytes) {
  if (Output() && !bytes.empty()) Output()->WriteBuffer(bytes.data(), int64_t(bytes.size()));
  FFilePos += int64_t(bytes.size());
}

// The file's own text, never converted: offsets count exactly these bytes.
void TQXExportToPDF::WriteString(const std::string& text) {
  if (TStream* out = Output()) {
    if (!text.empty()) out->WriteBuffer(text.data(), int64_t(text.size()));
    out->WriteBuffer("\r\n", 2);
  }
  FFilePos += int64_t(text.size()) + 2;
}

void TQXExportToPDF::RegisterObject(int32_t number) {
  if (number <= 0) throw Exception("PDF object number " + std::to_string(number) + " is not valid.");
  if (size_t(number) >= FOffsets.size()) FOffsets.resize(size_t(number) + 1, -1);
  if (FOffsets[size_t(number)] >= 0)
    throw Exception("PDF object " + std::to_string(number) + " was written twice.");
  FOffsets[size_t(number)] = FFilePos;
}

void TQXExportToPDF::BeginObject(int32_t number) {
  RegisterObject(number);
  Line(std::to_string(number) + " 0 obj");
}

void TQXExportToPDF::WriteStreamObject(int32_t number, const std::string& dictionaryExtra, const TPDFEncoded& data,
                                       int64_t length1) {
  BeginObject(number);
  std::string dict = "<< ";
  if (!data.Filter.empty()) dict += "/Filter /" + data.Filter + " ";
  dict += "/Length " + std::to_string(data.Data.size());
  if (length1 >= 0) dict += " /Length1 " + std::to_string(length1);
  dict += dictionaryExtra + " >>";
  Line(dict);
  Line("stream");
  RawWrite(data.Data);
  // The end-of-line before "endstream" is not part of the data.
  Line("");
  Line("endstream");
  Line("endobj");
}

// --- the document ---------------------------------------------------------

void TQXExportToPDF::OpenWorkbook(TStream& out) {
  FBookStream = &out;
  FWorkbook = true;
  FDocumentStarted = false;
}

void TQXExportToPDF::CloseWorkbook() {
  if (!FWorkbook) return;
  FWorkbook = false;
  if (!FDocumentStarted) throw Exception("The PDF workbook was closed before any sheet was exported.");
  FDocumentStarted = false;
  WriteFrames();
  WriteFonts();
  WriteOutline();
  WriteDocumentEnd();
  ReleaseFontContexts();
  FBookStream = nullptr;
}

void TQXExportToPDF::StartFile() {
  TQXExportToCellFile::StartFile();
  // A workbook's later sheets go on in the same document, on a new page.
  if (FWorkbook && FDocumentStarted) {
    StartSheet();
    return;
  }
  FDocumentStarted = true;
  FFonts.Clear();
  FContexts.clear();
  FLastContext = -1;
  FUnicodeFonts.clear();
  FUnicodeDefaults = {};
  FUnicodeDefaultsKnown = {};
  FFilePos = 0;
  FNextObject = 4;
  FOffsets.assign(4, -1);
  FGroups.clear();
  FPageCount = 0;
  FImageCount = 0;
  FFrames.clear();
  FFrameLines.clear();
  FOutline.clear();
  // A workbook's sheets get an outline entry each.
  FOutlineRoot = FWorkbook ? NewObject() : 0;
  StartSheet();

  // CIDFontType2 fonts and ToUnicode maps need version 1.3; the comment of
  // high bytes tells transfer programs that the file is binary.
  Line("%PDF-1.3");
  Line("%\xE2\xE3\xCF\xD3");
  BeginObject(1);
  Line("<< /Type /Catalog ");
  Line("/Pages 3 0 R");
  if (FOutlineRoot) Line("/Outlines " + Ref(FOutlineRoot) + " /PageMode /UseOutlines");
  static const char* const Layouts[] = {"", "SinglePage", "OneColumn", "TwoColumnLeft", "TwoColumnRight",
                                        "TwoPageLeft", "TwoPageRight"};
  if (PageLayout != eplDefault && PageLayout <= eplTwoPageRight)
    Line(std::string("/PageLayout /") + Layouts[PageLayout]);
  if (ViewerPreferences) {
    static const char* const Names[] = {"/HideToolbar true", "/HideMenubar true", "/HideWindowUI true",
                                        "/FitWindow true", "/CenterWindow true"};
    Line("/ViewerPreferences <<");
    for (int p = evpHideToolBar; p <= evpCenterWindow; ++p)
      if (ViewerPreferences & ViewerPreferenceBit(TQXEViewerPreference(p))) Line(Names[p]);
    Line(">>");
  }
  Line(">>");
  Line("endobj");
}

void TQXExportToPDF::StartSheet() {
  FWidths.clear();
  FLeft.clear();
  FBand.clear();
  FBandEnds.clear();
  FLayoutDone = false;
  FPages.clear();
  FSheetPages.clear();
  FBlock = 0;
  FRowsDone = 0;
  FRepeatPages.clear();
  FRepeatGrid.clear();
  FRepeatBottom = 0;
  FRepeating = false;
  FFrameLines.push_back({Header, Footer});
  FBandLines.clear();
  FPageRows.clear();
  FHidden.clear();
  FPending = TPendingText();
  FY = 15;
  FRowHeight = 20;
  FMergeSpan = -1;
  FSheetFirstPage = FPageCount;
}

void TQXExportToPDF::SetDimensions(int32_t /*rowCount*/, int32_t colCount) {
  FWidths.assign(size_t(std::max(colCount, 0)), -1);
}

void TQXExportToPDF::SetColumnWidth(int32_t column, int32_t width) {
  if (column < 0 || size_t(column) >= FWidths.size()) return;
  FWidths[size_t(column)] = int32_t(std::clamp<int64_t>(int64_t(width) * 8, 0, PDFMaxPageSize - 20));
  FLayoutDone = false;
}

// The bands whole columns need on pages layoutWidth wide.
int32_t TQXExportToPDF::BandsAt(int32_t layoutWidth) const {
  int32_t bands = 1, x = 0;
  for (const int32_t w : FWidths) {
    if (w < 0) continue;
    if (x > 0 && x + w > layoutWidth) {
      ++bands;
      x = 0;
    }
    x += w;
  }
  return bands;
}

void TQXExportToPDF::ChoosePageGeometry() {
  const TQXEPageSetup& ps = PageSetup;
  int64_t used = 0;
  for (const int32_t w : FWidths) used += std::max(w, 0);
  if (ps.UseDefault) {
    FMarginLeft = FMarginRight = 36;
    FMarginTop = FMarginBottom = 54;
  } else {
    auto margin = [&](float v) { return std::clamp(MarginPoints(v, ps.Measure), 0.0, 1000.0); };
    FMarginLeft = margin(ps.LeftMargin), FMarginRight = margin(ps.RightMargin);
    FMarginTop = margin(ps.TopMargin), FMarginBottom = margin(ps.BottomMargin);
  }
  int32_t paperW = 612, paperH = 792;
  PaperPoints(ps.PaperSize, paperW, paperH);
  // The scale and the layout size on paper of this width and height.
  struct TFit {
    int32_t PaperW, PaperH, LayoutW, LayoutH, Bands;
    double Scale;
  };
  auto fit = [&](int32_t w, int32_t h) {
    TFit f{w, h, 0, 0, 1, 1};
    // Margins that leave no room give way to a printable area of an inch.
    const double printW = std::max(w - FMarginLeft - FMarginRight, 72.0);
    const double printH = std::max(h - FMarginTop - FMarginBottom, 72.0);
    const double minScale = std::clamp(ps.MinZoom, 10, 400) / 100.0;
    f.Scale = std::clamp(ps.Zoom, 10, 400) / 100.0;
    if (ps.FitToPage && used > 0)
      f.Scale = std::clamp(printW * std::max(ps.FitToPagesWide, 1) / double(used), std::min(minScale, 1.0), 1.0);
    f.LayoutW = int32_t(std::min(printW / f.Scale, double(PDFMaxPageSize)));
    f.LayoutH = int32_t(std::min(printH / f.Scale, double(PDFMaxPageSize)));
    f.Bands = BandsAt(f.LayoutW);
    return f;
  };
  TFit chosen = fit(paperW, paperH);
  if (ps.Orientation == emLandscape) {
    chosen = fit(paperH, paperW);
  } else if (ps.Orientation == emAutomatic && used > chosen.LayoutW) {
    const TFit landscape = fit(paperH, paperW);
    if (landscape.Bands < chosen.Bands) chosen = landscape;
  }
  FPaperWidth = chosen.PaperW;
  FPaperHeight = chosen.PaperH;
  FScale = chosen.Scale;
  FLayoutWidth = chosen.LayoutW;
  FLayoutHeight = chosen.LayoutH;
}

// Left edges from the widths, and the column bands: a band takes whole
// columns while they fit the printable width (a wider column alone).
void TQXExportToPDF::ComputeLayout() {
  ChoosePageGeometry();
  const size_t n = FWidths.size();
  FLeft.assign(n, 0);
  FBand.assign(n, 0);
  FBandEnds.clear();
  int32_t x = 0, band = 0;
  for (size_t k = 0; k < n; ++k) {
    const int32_t w = FWidths[k];
    if (w < 0) continue;
    if (x > 0 && x + w > FLayoutWidth) {
      FBandEnds.push_back(x);
      ++band;
      x = 0;
    }
    FLeft[k] = x;
    FBand[k] = band;
    x += w;
  }
  FBandEnds.push_back(std::min(x, FLayoutWidth));
  FPages.resize(FBandEnds.size());
  FBandLines.assign(FBandEnds.size(), {});
  for (size_t k = 0; k < n; ++k)
    if (FWidths[k] >= 0) FBandLines[size_t(FBand[k])].push_back(FLeft[k]);
  for (size_t b = 0; b < FBandEnds.size(); ++b) FBandLines[b].push_back(FBandEnds[b]);
  FLayoutDone = true;
}

TQXExportToPDF::TCellPlace TQXExportToPDF::Place(int32_t column, int32_t span) const {
  const int64_t n = int64_t(FWidths.size());
  if (column < 0 || column >= n || FWidths[size_t(column)] < 0) return {0, 0, FLayoutWidth};
  const int32_t band = FBand[size_t(column)];
  const int32_t left = FLeft[size_t(column)];
  const int64_t next = int64_t(column) + (span >= 2 ? span : 1);
  int32_t right = FBandEnds[size_t(band)];
  if (next < n && FWidths[size_t(next)] >= 0 && FBand[size_t(next)] == band) right = FLeft[size_t(next)];
  return {band, left, std::max(std::min(right, FLayoutWidth), left + 1)};
}

// Header and footer lines are drawn on every page, not as rows.
void TQXExportToPDF::WriteHeader() { ComputeLayout(); }
void TQXExportToPDF::WriteFooter() { EndOfFile(); }

TQXExportToPDF::TPage& TQXExportToPDF::PageFor(int32_t band) {
  if (!FLayoutDone) ComputeLayout();
  if (band < 0 || size_t(band) >= FPages.size()) band = 0;
  if (!FPages[size_t(band)]) OpenPage(band);
  return *FPages[size_t(band)];
}

void TQXExportToPDF::OpenPage(int32_t band) {
  auto page = std::make_unique<TPage>();
  size_t drawn = 0;
  if (FRepeating && size_t(band) < FRepeatPages.size() && FRepeatPages[size_t(band)]) {
    // The repeated rows as the first page left them, grid included.
    *page = *FRepeatPages[size_t(band)];
    drawn = FRepeatGrid.size();
  } else {
    page->Content.reserve(64 * 1024);
    // The grid in its own units, scaled onto the printable area.
    std::string& c = page->Content;
    c += "q ";
    AppendMilli(c, std::llround(FScale * 1000));
    c += " 0 0 ";
    AppendMilli(c, std::llround(FScale * 1000));
    c += ' ';
    AppendMilli(c, std::llround(FMarginLeft * 1000));
    c += ' ';
    AppendMilli(c, std::llround((FPaperHeight - FMarginTop - FLayoutHeight * FScale) * 1000));
    c += " cm\r\n";
  }
  TPage& p = *page;
  FPages[size_t(band)] = std::move(page);
  // A page opened below the first rows gets their grid lines too.
  for (size_t i = drawn; i < FPageRows.size(); ++i) DrawGridRow(p, band, FPageRows[i]);
}

void TQXExportToPDF::ClosePage(int32_t band) {
  std::unique_ptr<TPage> page = std::move(FPages[size_t(band)]);
  if (!page) return;
  const int32_t pageObject = NewObject();
  const int32_t contents = NewObject(), length = NewObject(), procSet = NewObject(), resources = NewObject();
  const bool framed = !Header.empty() || !Footer.empty();
  const int32_t frame = framed ? NewObject() : 0;
  FSheetPages.push_back({band, FBlock, pageObject, resources, contents, frame});
  page->Content += "Q\r\n";
  if (framed) page->Content += "/HF Do\r\n";

  BeginObject(resources);
  Line("<<");
  std::string fonts;
  for (size_t i = 0; i < page->FontsUsed.size(); ++i)
    if (page->FontsUsed[i])
      fonts += "/F" + std::to_string(i) + " " + Ref(FFonts.Items(int32_t(i))->ObjectNumber) + " ";
  if (!fonts.empty()) Line("/Font << " + fonts + ">>");
  if (!page->Images.empty() || framed) {
    std::string images;
    for (size_t i = 0; i + 1 < page->Images.size(); i += 2)
      images += "/Im" + std::to_string(page->Images[i]) + " " + Ref(page->Images[i + 1]) + " ";
    if (framed) images += "/HF " + Ref(frame) + " ";
    Line("/XObject << " + images + ">>");
  }
  Line("/ProcSet " + Ref(procSet));
  Line(">>");
  Line("endobj");

  // Every content line ends in CR LF; the last one is the end-of-line
  // before "endstream", not data.
  std::string& content = page->Content;
  if (content.size() >= 2 && content.compare(content.size() - 2, 2, "\r\n") == 0) content.resize(content.size() - 2);
  BeginObject(contents);
  Line("<< /Length " + Ref(length) + " >> ");
  Line("stream");
  RawWrite(content);
  Line("");
  Line("endstream");
  Line("endobj");
  BeginObject(length);
  Line(std::to_string(content.size()));
  Line("endobj");
  BeginObject(procSet);
  Line(page->Images.empty() ? "[ /PDF /Text ] " : "[ /PDF /Text /ImageC ] ");
  Line("endobj");
}

void TQXExportToPDF::ClosePages() {
  for (size_t band = 0; band < FPages.size(); ++band)
    if (FPages[band]) ClosePage(int32_t(band));
  FPageRows.clear();
  if (FRepeating) FPageRows = FRepeatGrid;
  ++FBlock;
}

void TQXExportToPDF::PlaceSheetPages() {
  if (PageSetup.PageOrder == epoDownThenAcross)
    std::stable_sort(FSheetPages.begin(), FSheetPages.end(),
                     [](const TPageRecord& a, const TPageRecord& b) { return a.Band < b.Band; });
  for (const TPageRecord& p : FSheetPages) {
    if (FPageCount % 10 == 0) FGroups.push_back({NewObject(), {}});
    ++FPageCount;
    FGroups.back().Pages.push_back(p.Object);
    FFrames.emplace_back(p.Frame, int32_t(FFrameLines.size()) - 1);
    BeginObject(p.Object);
    Line("<< /Type /Page ");
    Line("/Parent " + Ref(FGroups.back().Node));
    Line("/MediaBox [0 0 " + std::to_string(FPaperWidth) + " " + std::to_string(FPaperHeight) + "] ");
    Line("/Resources " + Ref(p.Resources));
    Line("/Contents " + Ref(p.Contents) + " >> ");
    Line("endobj");
  }
  if (FOutlineRoot && !FSheetPages.empty()) FOutline.push_back({SheetName, FSheetPages.front().Object});
  FSheetPages.clear();
}

// --- drawing -------------------------------------------------------------

void TQXExportToPDF::SetFill(TPage& page, TColor color) {
  color = RealColor(color);
  if (page.Fill == color) return;
  AppendColor(page.Content, color, "rg");
  page.Fill = color;
}

void TQXExportToPDF::SetStroke(TPage& page, TColor color) {
  color = RealColor(color);
  if (page.Stroke == color) return;
  AppendColor(page.Content, color, "RG");
  page.Stroke = color;
}

void TQXExportToPDF::DrawLine(TPage& page, const TGridLine& line) {
  SetStroke(page, clSilver);
  std::string& c = page.Content;
  AppendInt(c, line.X);
  c += ' ';
  AppendInt(c, line.Bottom);
  c += ' ';
  AppendInt(c, line.Width);
  c += ' ';
  AppendInt(c, line.Height);
  c += " re S\r\n";
}

void TQXExportToPDF::DrawGridRow(TPage& page, int32_t band, const TGridRow& row) {
  if (HasOption(soColLines) && size_t(band) < FBandLines.size()) {
    for (const int32_t x : FBandLines[size_t(band)]) {
      bool hidden = false;
      for (const THidden& h : row.Hidden) hidden = hidden || (h.Band == band && x > h.Left && x < h.Right);
      if (!hidden) DrawLine(page, {x, row.Bottom + 1, 0, row.Height});
    }
  }
  if (row.RowLine && size_t(band) < FBandEnds.size()) DrawLine(page, {0, row.Bottom, FBandEnds[size_t(band)], 0});
}

void TQXExportToPDF::BeginRow() {
  TQXExportToCellFile::BeginRow();
  FRowHeight = 20;
}

void TQXExportToPDF::WriteMergedCell(TCellType cellType, int32_t row, int32_t column, int32_t span,
                                     const std::string& text, TAlignment alignment, const TQXEFont& font,
                                     TColor color) {
  FMergeSpan = span >= 2 ? span : -1;
  TQXExportToCellFile::WriteMergedCell(cellType, row, column, span, text, alignment, font, color);
}

void TQXExportToPDF::FlushPendingText(int32_t limit) {
  if (!FPending.Active) return;
  FPending.Active = false;
  TPage& page = PageFor(FPending.Band);
  std::string& c = page.Content;
  const int32_t x = FPending.Left + 1;
  // A text that fits its cell sits as its alignment says, a point from the
  // edge; a wider one starts at the left and runs on over empty cells.
  const int64_t room = int64_t(FPending.Right - FPending.Left - 2) * 1000;
  int64_t xMilli = int64_t(x) * 1000;
  if (FPending.Width >= 0 && FPending.Width <= room && FPending.Align != taLeftJustify)
    xMilli += FPending.Align == taRightJustify ? room - FPending.Width : (room - FPending.Width) / 2;
  const bool clip = FPending.Width < 0 || FPending.Width > int64_t(limit - x - 1) * 1000;
  // The grid lines of the empty cells the text runs over are hidden under it.
  const int64_t end = clip ? limit : x + FPending.Width / 1000;
  if (end > FPending.Right) FHidden.push_back({FPending.Band, FPending.Left, int32_t(std::min<int64_t>(end, INT32_MAX))});
  const TColor fill = page.Fill;
  if (clip) {
    c += "q ";
    AppendInt(c, FPending.Left);
    c += ' ';
    AppendInt(c, FPending.Bottom);
    c += ' ';
    AppendInt(c, std::max(limit - 1 - FPending.Left, 0));
    c += ' ';
    AppendInt(c, FPending.Height);
    c += " re W n\r\n";
  }
  SetFill(page, FPending.Color);
  c += "BT ";
  AppendMilli(c, xMilli);
  c += ' ';
  AppendInt(c, FPending.Baseline);
  c += " Td ";
  c += FPending.Ops;
  c += " ET\r\n";
  if (clip) {
    c += "Q\r\n";
    page.Fill = fill;
  }
  FPending.Ops.clear();
}

void TQXExportToPDF::WriteCell(TQXEField* field, TCellType cellType, int32_t row, int32_t column,
                               const std::string& text, TAlignment alignment, const TQXEFont& font, TColor color) {
  TQXExportToCellFile::WriteCell(field, cellType, row, column, text, alignment, font, color);
  if (!FLayoutDone) ComputeLayout();
  const int32_t span = FMergeSpan;
  FMergeSpan = -1;
  const TCellPlace at = Place(column, span);
  const int32_t y = Layout == elReversedColumnar ? int32_t(std::min<int64_t>(20LL * row + 15, INT32_MAX / 2)) : FY;

  // The picture's bytes: the field's value, else the cell's own.
  std::string picture;
  if (cellType == ctGraphic) {
    TVariant v = field ? field->Value() : HasCellValue() ? CellValue() : TVariant(text);
    if (v.Type() == TVarType::String) picture = v.AsString();
  }
  const bool hasText = cellType != ctGraphic && !text.empty();
  const bool background = HasOption(soColorsFonts) && RealColor(color) != clWhite;
  if (hasText || !picture.empty())
    FlushPendingText(FPending.Active && FPending.Band == at.Band ? at.Left : FLayoutWidth);
  if (!hasText && picture.empty() && !background) return;

  TPage& page = PageFor(at.Band);
  const int32_t top = FLayoutHeight - y + 15;
  if (background) {
    SetFill(page, color);
    SetStroke(page, color);
    std::string& c = page.Content;
    AppendInt(c, at.Left);
    c += ' ';
    AppendInt(c, top - FRowHeight);
    c += ' ';
    AppendInt(c, at.Right - at.Left);
    c += ' ';
    AppendInt(c, FRowHeight - 1);
    c += " re B\r\n";
  }
  if (!picture.empty()) WritePicture(picture, page, at.Band, at.Left, at.Right);
  if (!hasText) return;

  // The text in Unicode: 8-bit text through the system code page; plain
  // ASCII needs no conversion. A wide cell value the code page cannot hold
  // is taken as it stands (its format's text section, if any, is lost
  // there); UTF-8 holds the text as shown.
  const TVariant* wide = nullptr;
  if (HasCellValue() && CellValue().Type() == TVarType::WideString && GetACP() != CP_UTF8 &&
      (CharacterSet == csANSI_WINDOWS || CharacterSet == csUnicode))
    wide = &CellValue();
  // Only what can show is converted, measured and kept: the characters
  // that could fit from the cell's left edge to the page's (no glyph of a
  // run is narrower than a tenth of the font size on average), so a long
  // text costs its visible part in every cell that shows it.
  const size_t maxChars = size_t(std::clamp<int64_t>(
      int64_t(FLayoutWidth - at.Left) * 10 / std::clamp(font.Size, 1, 1600) + 16, 16, 32767));
  FText.clear();
  if (wide) {
    const std::u16string& w = wide->AsWide();
    for (size_t i = 0; i < w.size() && FText.size() < maxChars; ++i) {
      char32_t c = w[i];
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < w.size() && w[i + 1] >= 0xDC00 && w[i + 1] <= 0xDFFF)
        c = 0x10000 + ((c - 0xD800) << 10) + (w[++i] - 0xDC00);
      FText.push_back(c);
    }
  } else {
    CellTextToCodePoints(text, FText, maxChars);
  }

  FPending.Active = true;
  FPending.Band = at.Band;
  FPending.Left = at.Left;
  FPending.Right = at.Right;
  FPending.Baseline = FLayoutHeight - y;
  FPending.Bottom = top - FRowHeight;
  FPending.Height = FRowHeight;
  FPending.Align = HasCellValue() ? TypedCell()->Alignment : alignment;
  FPending.Color = HasOption(soColorsFonts) ? font.Color : clBlack;
  FPending.Ops.clear();
  // Nothing shows beyond the band's margin.
  const int64_t visible = int64_t(FLayoutWidth - at.Left) * 1000;
  FPending.Width = int32_t(std::clamp<int64_t>(TextOps(FText, font, FPending.Ops, page, std::max<int64_t>(visible, 0)),
                                               -1, INT32_MAX));
  // A cell at the edge of its band runs no further than the margin.
  if (at.Right >= FLayoutWidth) FlushPendingText(at.Right);
}

void TQXExportToPDF::EndRow() {
  if (FPending.Active) FlushPendingText(FLayoutWidth);
  if (!FLayoutDone) ComputeLayout();
  TGridRow row{FLayoutHeight - FY + 15 - FRowHeight, FRowHeight,
               HasOption(soRowLines) && (Layout != elReversedColumnar || Statistic.CurrentRow < int32_t(FWidths.size())),
               std::move(FHidden)};
  FHidden.clear();
  for (size_t band = 0; band < FPages.size(); ++band)
    if (FPages[band]) DrawGridRow(*FPages[band], int32_t(band), row);
  if (HasOption(soColLines) || row.RowLine) FPageRows.push_back(std::move(row));
  FY += FRowHeight;
  ++FRowsDone;
  // The repeated rows, once they are on the first page: every page of the
  // sheet begins with them (unless they fill it).
  if (FRowsDone == PageSetup.RepeatRows && FBlock == 0 && Layout == elColumnar && FY + 25 <= FLayoutHeight) {
    FRepeating = true;
    FRepeatPages.clear();
    for (const auto& page : FPages) FRepeatPages.push_back(page ? std::make_unique<TPage>(*page) : nullptr);
    FRepeatGrid = FPageRows;
    FRepeatBottom = FY;
  }
  // A row ends 5 units below its baseline: the next must fit the page.
  if (FY + 5 > FLayoutHeight) {
    ClosePages();
    FY = FRepeating ? FRepeatBottom : 15;
  }
  TQXExportToCellFile::EndRow();
}

void TQXExportToPDF::EndOfFile() {
  if (FPending.Active) FlushPendingText(FLayoutWidth);
  FRepeating = false;
  ClosePages();
  if (FSheetPages.empty()) {
    // Nothing was drawn: one empty page, so the document is still valid
    // (and a workbook's empty sheet still has its page).
    if (!FLayoutDone) ComputeLayout();
    OpenPage(0);
    ClosePage(0);
  }
  PlaceSheetPages();
  if (FWorkbook) return;  // the document ends with CloseWorkbook
  WriteFrames();
  WriteFonts();
  WriteDocumentEnd();
}

void TQXExportToPDF::WriteDocumentEnd() {
  // The source's own properties (the time of writing when it gives none).
  const TDocumentProperties info = OutputProperties();
  BeginObject(2);
  Line("<< /Creator (Morvell QXExport suite)");
  Line("/CreationDate (D:" + FormatDateTime("yyyymmddhhnnss", info.Created > 0 ? info.Created : Now()) + ")");
  Line("/Title " + InfoString(info.Title));
  if (!info.Author.empty()) Line("/Author " + InfoString(info.Author));
  Line(std::string("/Producer (Morvell QXExport suite, ") + ProducerWebAddress + ")");
  Line("/Keywords " + InfoString(info.Keywords));
  Line("/Subject " + InfoString(info.Subject) + " >>");
  Line("endobj");

  BeginObject(3);
  Line("<< /Type /Pages ");
  std::string kids = "/Kids [ ";
  for (const auto& g : FGroups) kids += Ref(g.Node) + " ";
  Line(kids + " ] ");
  Line("/Count " + std::to_string(FPageCount) + " >> ");
  Line("endobj");
  for (const auto& g : FGroups) {
    BeginObject(g.Node);
    Line("<< /Type /Pages ");
    std::string pages = "/Kids [ ";
    for (int32_t p : g.Pages) pages += Ref(p) + " ";
    Line(pages + " ]");
    Line("/Count " + std::to_string(g.Pages.size()));
    Line("/Parent 3 0 R >> ");
    Line("endobj");
  }

  // Every number handed out must have been written exactly once.
  const int32_t size = FNextObject;
  FOffsets.resize(size_t(size), -1);
  for (int32_t i = 1; i < size; ++i)
    if (FOffsets[size_t(i)] < 0) throw Exception("PDF object " + std::to_string(i) + " was never written.");
  const int64_t xref = FFilePos;
  Line("xref");
  Line("0 " + std::to_string(size));
  Line("0000000000 65535 f");
  std::string table;
  table.reserve(size_t(size) * 20);
  for (int32_t i = 1; i < size; ++i) {
    char entry[24];
    std::snprintf(entry, sizeof entry, "%010lld 00000 n\r\n", static_cast<long long>(FOffsets[size_t(i)]));
    table += entry;
  }
  RawWrite(table);
  Line("trailer");
  Line("<< /Root 1 0 R ");
  Line("/Info 2 0 R ");
  Line("/Size " + std::to_string(size) + " >> ");
  Line("startxref");
  Line(std::to_string(xref));
  Line("%%EOF");
}

// A header or footer line with its fields filled in.
static std::string FrameText(const std::string& line, int32_t page, int32_t pages) {
  std::string out;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] != '&' || i + 1 >= line.size()) {
      out += line[i];
      continue;
    }
    const char f = char(std::toupper(uint8_t(line[++i])));
    if (f == 'P') out += std::to_string(page);
    else if (f == 'N') out += std::to_string(pages);
    else if (f == '&') out += '&';
    else out += line.substr(i - 1, 2);
  }
  return out;
}

void TQXExportToPDF::WriteFrames() {
  TQXEFont font;
  font.Size = 9;
  for (size_t i = 0; i < FFrames.size(); ++i) {
    const auto [object, sheet] = FFrames[i];
    if (!object) continue;
    const TFrameLines& lines = FFrameLines[size_t(sheet)];
    TPage frame;
    // Header lines above the grid, footer lines below it, centred.
    auto draw = [&](const std::string& line, double baseline) {
      std::string ops;
      CellTextToCodePoints(FrameText(line, int32_t(i) + 1, FPageCount), FText);
      const int64_t width = TextOps(FText, font, ops, frame);
      const double x = width >= 0 ? std::max(FMarginLeft, (FPaperWidth - width / 1000.0) / 2) : FMarginLeft;
      frame.Content += "BT ";
      AppendMilli(frame.Content, std::llround(x * 1000));
      frame.Content += ' ';
      AppendMilli(frame.Content, std::llround(baseline * 1000));
      frame.Content += " Td " + ops + " ET\r\n";
    };
    const size_t nh = lines.Header.size(), nf = lines.Footer.size();
    for (size_t k = 0; k < nh; ++k)
      draw(lines.Header[k], std::min(FPaperHeight - FMarginTop + 8 + 11.0 * double(nh - 1 - k), FPaperHeight - 12.0));
    for (size_t k = 0; k < nf; ++k) draw(lines.Footer[k], std::max(FMarginBottom - 17 - 11.0 * double(k), 6.0));
    std::string fonts;
    for (size_t f = 0; f < frame.FontsUsed.size(); ++f)
      if (frame.FontsUsed[f]) fonts += "/F" + std::to_string(f) + " " + Ref(FFonts.Items(int32_t(f))->ObjectNumber) + " ";
    WriteStreamObject(object,
                      " /Type /XObject /Subtype /Form /BBox [0 0 " + std::to_string(FPaperWidth) + " " +
                          std::to_string(FPaperHeight) + "] /Resources << /Font << " + fonts + ">> >>",
                      TPDFEncoded{std::string(), frame.Content});
  }
}

void TQXExportToPDF::WriteOutline() {
  if (!FOutlineRoot) return;
  std::vector<int32_t> items;
  for (size_t i = 0; i < FOutline.size(); ++i) items.push_back(NewObject());
  BeginObject(FOutlineRoot);
  if (items.empty()) {
    Line("<< /Type /Outlines /Count 0 >>");
  } else {
    Line("<< /Type /Outlines /First " + Ref(items.front()) + " /Last " + Ref(items.back()) + " /Count " +
         std::to_string(items.size()) + " >>");
  }
  Line("endobj");
  for (size_t i = 0; i < items.size(); ++i) {
    BeginObject(items[i]);
    std::string entry = "<< /Title " + InfoString(FOutline[i].Title) + " /Parent " + Ref(FOutlineRoot);
    if (i > 0) entry += " /Prev " + Ref(items[i - 1]);
    if (i + 1 < items.size()) entry += " /Next " + Ref(items[i + 1]);
    Line(entry + " /Dest [" + Ref(FOutline[i].Page) + " /Fit] >>");
    Line("endobj");
  }
}

void TQXExportToPDF::FinishExport() {
  // A workbook's fonts serve its later sheets too.
  if (!FWorkbook) ReleaseFontContexts();
  FPages.clear();
  TQXExportToCellFile::FinishExport();
}
