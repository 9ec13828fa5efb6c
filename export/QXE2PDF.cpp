#include "QXE2PDF.h"

#include <algorithm>
#include <charconv>
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

void AppendColor(std::string& s, TColor c, const char* op) {
  const TColor rgb = RealColor(c);
  for (int shift = 0; shift <= 16; shift += 8) {
    // component / 255 as "0.000"
    const int milli = ((rgb >> shift) & 0xFF) * 1000 / 255;
    char buf[8];
    std::snprintf(buf, sizeof buf, "%d.%03d ", milli / 1000, milli % 1000);
    s += buf;
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
  WriteFonts();
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
  StartSheet();

  // CIDFontType2 fonts and ToUnicode maps need version 1.3; the comment of
  // high bytes tells transfer programs that the file is binary.
  Line("%PDF-1.3");
  Line("%\xE2\xE3\xCF\xD3");
  BeginObject(1);
  Line("<< /Type /Catalog ");
  Line("/Pages 3 0 R");
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
  FBandWidths.clear();
  FLayoutDone = false;
  FPages.clear();
  FBandLines.clear();
  FPageRows.clear();
  FHidden.clear();
  FPending = TPendingText();
  FY = 10;
  FRowHeight = 20;
  FMergeSpan = -1;
  FBaseWidth = 612;
  FPageHeight = 792;
  FSheetFirstPage = FPageCount;
}

void TQXExportToPDF::SetDimensions(int32_t /*rowCount*/, int32_t colCount) {
  FWidths.assign(size_t(std::max(colCount, 0)), -1);
  // No printer to ask: the default orientation is portrait.
  if (PageSetup.Orientation == emLandscape) {
    FBaseWidth = 792;
    FPageHeight = 612;
  } else {
    FBaseWidth = 612;
    FPageHeight = 792;
  }
}

void TQXExportToPDF::SetColumnWidth(int32_t column, int32_t width) {
  if (column < 0 || size_t(column) >= FWidths.size()) return;
  FWidths[size_t(column)] = int32_t(std::clamp<int64_t>(int64_t(width) * 8, 0, PDFMaxPageSize - 20));
  FLayoutDone = false;
}

// Left edges from the widths, and the column bands: a band takes whole
// columns while its page stays within the PDF limit.
void TQXExportToPDF::ComputeLayout() {
  const size_t n = FWidths.size();
  FLeft.assign(n, 10);
  FBand.assign(n, 0);
  std::vector<int32_t> ends;
  int32_t x = 10, band = 0;
  for (size_t k = 0; k < n; ++k) {
    const int32_t w = FWidths[k];
    if (w < 0) continue;
    if (x > 10 && x + w > PDFMaxPageSize - 10) {
      ends.push_back(x);
      ++band;
      x = 10;
    }
    FLeft[k] = x;
    FBand[k] = band;
    x += w;
  }
  ends.push_back(x);
  FBandWidths.clear();
  for (int32_t end : ends) {
    int32_t w = FBaseWidth;
    while (w < end && w < PDFMaxPageSize) w += FBaseWidth;
    FBandWidths.push_back(std::min(w, PDFMaxPageSize));
  }
  FPages.resize(FBandWidths.size());
  FBandLines.assign(FBandWidths.size(), {});
  for (size_t k = 0; k < n; ++k)
    if (FWidths[k] >= 0) FBandLines[size_t(FBand[k])].push_back(FLeft[k]);
  FLayoutDone = true;
}

TQXExportToPDF::TCellPlace TQXExportToPDF::Place(int32_t column, int32_t span) const {
  const int64_t n = int64_t(FWidths.size());
  if (column < 0 || column >= n || FWidths[size_t(column)] < 0) return {0, 10, FBandWidths[0] - 10};
  const int32_t band = FBand[size_t(column)];
  const int32_t left = FLeft[size_t(column)];
  const int64_t next = int64_t(column) + (span >= 2 ? span : 1);
  int32_t right = FBandWidths[size_t(band)] - 10;
  if (next < n && FWidths[size_t(next)] >= 0 && FBand[size_t(next)] == band) right = FLeft[size_t(next)];
  return {band, left, std::max(right, left + 1)};
}

void TQXExportToPDF::WriteHeader() {
  ComputeLayout();
  TQXExportToCellFile::WriteHeader();
}

TQXExportToPDF::TPage& TQXExportToPDF::PageFor(int32_t band) {
  if (!FLayoutDone) ComputeLayout();
  if (band < 0 || size_t(band) >= FPages.size()) band = 0;
  if (!FPages[size_t(band)]) OpenPage(band);
  return *FPages[size_t(band)];
}

void TQXExportToPDF::OpenPage(int32_t band) {
  auto page = std::make_unique<TPage>();
  page->Content.reserve(64 * 1024);
  TPage& p = *page;
  FPages[size_t(band)] = std::move(page);
  // A page opened below the first rows gets their grid lines too.
  for (const TGridRow& row : FPageRows) DrawGridRow(p, band, row);
}

void TQXExportToPDF::ClosePage(int32_t band) {
  std::unique_ptr<TPage> page = std::move(FPages[size_t(band)]);
  if (!page) return;
  if (FPageCount % 10 == 0) FGroups.push_back({NewObject(), {}});
  ++FPageCount;
  const int32_t pageObject = NewObject();
  FGroups.back().Pages.push_back(pageObject);
  const int32_t contents = NewObject(), length = NewObject(), procSet = NewObject(), resources = NewObject();

  BeginObject(pageObject);
  Line("<< /Type /Page ");
  Line("/Parent " + Ref(FGroups.back().Node));
  Line("/MediaBox [0 0 " + std::to_string(FBandWidths[size_t(band)]) + " " + std::to_string(FPageHeight) + "] ");
  Line("/Resources " + Ref(resources));
  Line("/Contents " + Ref(contents) + " >> ");
  Line("endobj");

  BeginObject(resources);
  Line("<<");
  std::string fonts;
  for (size_t i = 0; i < page->FontsUsed.size(); ++i)
    if (page->FontsUsed[i])
      fonts += "/F" + std::to_string(i) + " " + Ref(FFonts.Items(int32_t(i))->ObjectNumber) + " ";
  if (!fonts.empty()) Line("/Font << " + fonts + ">>");
  if (!page->Images.empty()) {
    std::string images;
    for (size_t i = 0; i + 1 < page->Images.size(); i += 2)
      images += "/Im" + std::to_string(page->Images[i]) + " " + Ref(page->Images[i + 1]) + " ";
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
  if (row.RowLine) DrawLine(page, {10, row.Bottom, FBandWidths[size_t(band)] - 21, 0});
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
  const bool clip = FPending.Width < 0 || FPending.Width > int64_t(limit - x - 1) * 1000;
  // The grid lines of the empty cells the text runs over are hidden under it.
  const int64_t end = clip ? limit : x + FPending.Width / 1000;
  FHidden.push_back({FPending.Band, FPending.Left, int32_t(std::min<int64_t>(end, INT32_MAX))});
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
  AppendInt(c, x);
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
  const int32_t y = Layout == elReversedColumnar ? int32_t(std::min<int64_t>(20LL * row + 10, INT32_MAX / 2)) : FY;

  // The picture's bytes: the field's value, else the cell's own.
  std::string picture;
  if (cellType == ctGraphic) {
    TVariant v = field ? field->Value() : HasCellValue() ? CellValue() : TVariant(text);
    if (v.Type() == TVarType::String) picture = v.AsString();
  }
  const bool hasText = cellType != ctGraphic && !text.empty();
  const bool background = HasOption(soColorsFonts) && RealColor(color) != clWhite;
  if (hasText || !picture.empty())
    FlushPendingText(FPending.Active && FPending.Band == at.Band ? at.Left
                                                                 : FBandWidths[size_t(FPending.Band)] - 10);
  if (!hasText && picture.empty() && !background) return;

  TPage& page = PageFor(at.Band);
  const int32_t top = FPageHeight - y + 15;
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

  // The text in Unicode: a wide cell value as it stands, 8-bit text through
  // the system code page; plain ASCII needs neither.
  const TVariant* wide = nullptr;
  if (HasCellValue() && CellValue().Type() == TVarType::WideString &&
      (CharacterSet == csANSI_WINDOWS || CharacterSet == csUnicode))
    wide = &CellValue();
  // A spreadsheet cell holds at most 32,767 characters, and no page shows
  // more: a longer text is not converted whole for every cell showing it.
  constexpr size_t MaxCellChars = 32767;
  FText.clear();
  if (wide) {
    const std::u16string& w = wide->AsWide();
    for (size_t i = 0; i < w.size() && FText.size() < MaxCellChars; ++i) {
      char32_t c = w[i];
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < w.size() && w[i + 1] >= 0xDC00 && w[i + 1] <= 0xDFFF)
        c = 0x10000 + ((c - 0xD800) << 10) + (w[++i] - 0xDC00);
      FText.push_back(c);
    }
  } else {
    const std::string_view shown = std::string_view(text).substr(0, 4 * MaxCellChars);
    if (std::all_of(shown.begin(), shown.end(), [](char ch) { return uint8_t(ch) < 0x80; })) {
      FText.assign(shown.begin(), shown.begin() + std::ptrdiff_t(std::min(shown.size(), MaxCellChars)));
    } else {
      const std::string utf8 = AnsiToUtf8(std::string(shown));
      const uint8_t* p = reinterpret_cast<const uint8_t*>(utf8.data());
      const uint8_t* end = p + utf8.size();
      while (p < end && FText.size() < MaxCellChars) FText.push_back(NextUtf8CodePoint(p, end));
    }
  }

  FPending.Active = true;
  FPending.Band = at.Band;
  FPending.Left = at.Left;
  FPending.Right = at.Right;
  FPending.Baseline = FPageHeight - y;
  FPending.Bottom = top - FRowHeight;
  FPending.Height = FRowHeight;
  FPending.Color = HasOption(soColorsFonts) ? font.Color : clBlack;
  FPending.Ops.clear();
  // Nothing shows beyond the band's margin.
  const int64_t visible = int64_t(FBandWidths[size_t(at.Band)] - 10 - at.Left) * 1000;
  FPending.Width = int32_t(std::clamp<int64_t>(TextOps(FText, font, FPending.Ops, page, std::max<int64_t>(visible, 0)),
                                               -1, INT32_MAX));
  // A cell at the edge of its band runs no further than the margin.
  if (at.Right >= FBandWidths[size_t(at.Band)] - 10) FlushPendingText(at.Right);
}

void TQXExportToPDF::EndRow() {
  if (FPending.Active) FlushPendingText(FBandWidths[size_t(FPending.Band)] - 10);
  if (!FLayoutDone) ComputeLayout();
  TGridRow row{FPageHeight - FY + 15 - FRowHeight, FRowHeight,
               HasOption(soRowLines) && (Layout != elReversedColumnar || Statistic.CurrentRow < int32_t(FWidths.size())),
               std::move(FHidden)};
  FHidden.clear();
  for (size_t band = 0; band < FPages.size(); ++band)
    if (FPages[band]) DrawGridRow(*FPages[band], int32_t(band), row);
  if (HasOption(soColLines) || row.RowLine) FPageRows.push_back(std::move(row));
  FY += FRowHeight;
  if (FY >= FPageHeight) {
    ClosePages();
    FY = 10;
  }
  TQXExportToCellFile::EndRow();
}

void TQXExportToPDF::EndOfFile() {
  if (FPending.Active) FlushPendingText(FBandWidths[size_t(FPending.Band)] - 10);
  ClosePages();
  if (FPageCount == FSheetFirstPage) {
    // Nothing was drawn: one empty page, so the document is still valid
    // (and a workbook's empty sheet still has its page).
    if (!FLayoutDone) ComputeLayout();
    OpenPage(0);
    ClosePage(0);
  }
  if (FWorkbook) return;  // the document ends with CloseWorkbook
  WriteFonts();
  WriteDocumentEnd();
}

void TQXExportToPDF::WriteDocumentEnd() {
  BeginObject(2);
  Line("<< /Creator (Morvell QXExport suite)");
  Line("/CreationDate (D:" + FormatDateTime("yyyymmddhhnnss", Now()) + ")");
  Line("/Title " + InfoString(KeyGenerator));
  Line("/Author (QXExport)");
  Line(std::string("/Producer (Morvell QXExport suite, ") + ProducerWebAddress + ")");
  Line("/Keywords ()");
  Line("/Subject () >>");
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

void TQXExportToPDF::FinishExport() {
  // A workbook's fonts serve its later sheets too.
  if (!FWorkbook) ReleaseFontContexts();
  FPages.clear();
  TQXExportToCellFile::FinishExport();
}
