// Fonts of the PDF writer: which PDF font shows a cell's text, the font
// objects with their widths, descriptors, subset font files and ToUnicode
// maps, and the stream encodings.
#include <zlib.h>

#include <algorithm>
#include <charconv>
#include <cmath>

#include "CodePage.h"
#include "QXE2PDF.h"
#include "SysUtils.h"

namespace {

// Windows-1252 codes 0x80 to 0x9F; 0 where the code page has no character.
const char16_t WinAnsiHigh[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                  0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

const char HexDigits[] = "0123456789ABCDEF";

void AppendHex4(std::string& s, uint32_t v) {
  s += HexDigits[(v >> 12) & 15];
  s += HexDigits[(v >> 8) & 15];
  s += HexDigits[(v >> 4) & 15];
  s += HexDigits[v & 15];
}

void AppendInt(std::string& s, int64_t v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  s.append(buf, r.ptr);
}

// The character set a font stands for; the default one is the system's.
uint8_t EffectiveCharset(uint8_t charset) {
  if (charset != 1) return charset;
  switch (GetACP()) {
    case 874: return 222;
    case 932: return 128;
    case 936: return 134;
    case 950: return 136;
    case 1250: return 238;
    case 1251: return 204;
    case 1253: return 161;
    case 1254: return 162;
    case 1255: return 177;
    case 1256: return 178;
    case 1257: return 186;
    case 1258: return 163;
    default: return 0;
  }
}

std::string StyledName(const char* family, bool bold, bool italic, const char* slant) {
  std::string s = family;
  if (bold) {
    s += "-Bold";
    if (italic) s += slant;
  } else if (italic) {
    s += std::string("-") + slant;
  }
  return s;
}

std::string TimesName(bool bold, bool italic) {
  if (bold) return italic ? "Times-BoldItalic" : "Times-Bold";
  return italic ? "Times-Italic" : "Times-Roman";
}

// The standard font a Windows font name stands for ("Times-Roman" when
// none does; matched tells).
std::string StandardFontName(const std::string& windowsName, bool bold, bool italic, bool& matched) {
  const std::string up = UpperCase(windowsName);
  auto has = [&](const char* s) { return up.find(s) != std::string::npos; };
  std::string base = "Times-Roman";
  matched = false;
  if (has("ARIAL") || has("MS SANS SERIF")) {
    base = StyledName("Helvetica", bold, italic, "Oblique");
    matched = true;
  }
  if (has("COURIER")) {
    base = StyledName("Courier", bold, italic, "Oblique");
    matched = true;
  }
  if (has("TIMES")) {
    base = TimesName(bold, italic);
    matched = true;
  }
  if (has("SYMBOL")) {
    base = "Symbol";
    matched = true;
  } else if (has("ZAPFDINGBATS") || has("WINGDINGS")) {
    base = "ZapfDingbats";
    matched = true;
  }
  return base;
}

// The standard font whose metrics come nearest a face's.
std::string StandardFontFor(const TFontFace& face, bool bold, bool italic) {
  if (face.IsFixedPitch()) return StyledName("Courier", bold, italic, "Oblique");
  if (face.IsSerif()) return TimesName(bold, italic);
  return StyledName("Helvetica", bold, italic, "Oblique");
}

// The family that measures a standard font; empty for the symbol fonts.
std::string MetricFamily(const std::string& standardName) {
  if (standardName.rfind("Helvetica", 0) == 0) return "Helvetica";
  if (standardName.rfind("Courier", 0) == 0) return "Courier";
  if (standardName.rfind("Times", 0) == 0) return "Times";
  return std::string();
}

bool IsSymbolFont(const std::string& base) { return base == "Symbol" || base == "ZapfDingbats"; }

int32_t FaceFlags(const TFontFace* face, bool italic, bool symbolic) {
  int32_t flags = symbolic ? 4 : 32;
  if (face && face->IsFixedPitch()) flags |= 1;
  if (face && face->IsSerif()) flags |= 2;
  if (italic || (face && face->IsItalic())) flags |= 64;
  return flags;
}

char32_t Shown(char32_t c) { return c < 0x20 || c == 0x7F ? U' ' : c; }

}  // namespace

// --- helpers shared with the writer -----------------------------------------

int32_t WinAnsiCode(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return int32_t(c);
  if (c > 0xFFFF) return -1;
  for (int i = 0; i < 32; ++i)
    if (WinAnsiHigh[i] == c) return 0x80 + i;
  return -1;
}

char32_t WinAnsiChar(uint8_t code) { return code >= 0x80 && code < 0xA0 ? WinAnsiHigh[code - 0x80] : code; }

void AppendPDFStringBody(std::string& out, const std::string& bytes) {
  for (char ch : bytes) {
    const uint8_t b = uint8_t(ch);
    if (ch == '\\' || ch == '(' || ch == ')') {
      out += '\\';
      out += ch;
    } else if (b < 0x20 || b == 0x7F) {
      out += ' ';
    } else {
      out += ch;
    }
  }
}

TPDFEncoded PDFEncode(TPDFFilterDecode decode, TPDFCompressionMethod compression, const std::string& data) {
  TPDFEncoded out;
  switch (decode) {
    case fdASCIIHex: {
      out.Filter = "ASCIIHexDecode";
      out.Data.reserve(data.size() * 2 + data.size() / 32 + 4);
      for (size_t i = 0; i < data.size(); ++i) {
        const uint8_t b = uint8_t(data[i]);
        out.Data += HexDigits[b >> 4];
        out.Data += HexDigits[b & 15];
        if (i % 64 == 63) out.Data += "\r\n";
      }
      out.Data += '>';
      break;
    }
    case fdASCII85: {
      out.Filter = "ASCII85Decode";
      size_t column = 0;
      for (size_t i = 0; i < data.size(); i += 4) {
        const size_t n = std::min<size_t>(4, data.size() - i);
        uint32_t v = 0;
        for (size_t k = 0; k < 4; ++k) v = v << 8 | (k < n ? uint8_t(data[i + k]) : 0);
        if (n == 4 && v == 0) {
          out.Data += 'z';
          ++column;
        } else {
          char group[5];
          for (int k = 4; k >= 0; --k) {
            group[k] = char('!' + v % 85);
            v /= 85;
          }
          out.Data.append(group, n + 1);
          column += n + 1;
        }
        if (column >= 75) {
          out.Data += "\r\n";
          column = 0;
        }
      }
      out.Data += "~>";
      break;
    }
    case fdFlate: {
      // zlib's levels in the order none, fastest, default, maximum, taken
      // by the method's ordinal: cmFastest stores.
      static const int ByOrdinal[] = {Z_NO_COMPRESSION, Z_BEST_SPEED, Z_DEFAULT_COMPRESSION};
      const int level = ByOrdinal[std::min<int>(compression, 2)];
      uLongf size = compressBound(uLong(data.size()));
      out.Data.resize(size);
      if (compress2(reinterpret_cast<Bytef*>(out.Data.data()), &size, reinterpret_cast<const Bytef*>(data.data()),
                    uLong(data.size()), level) != Z_OK)
        throw Exception("PDF stream compression failed.");
      out.Data.resize(size);
      out.Filter = "FlateDecode";
      break;
    }
    default:
      out.Data = data;  // no encoder: the data as it is, named by no filter
      break;
  }
  return out;
}

// --- font lists -------------------------------------------------------------

uint16_t TPDFFont::Cid(uint32_t glyph, const std::u32string& text) {
  std::u32string key(1, char32_t(glyph));
  key += text;
  auto it = FCidOf.find(key);
  if (it != FCidOf.end()) return it->second;
  if (Glyphs.size() >= 0xFFFE) return 0;
  Texts.push_back(text);
  Glyphs.push_back(glyph);
  Widths.push_back(int16_t(Face ? Face->GlyphWidth(glyph) : 1000));
  const uint16_t cid = uint16_t(Glyphs.size());
  FCidOf.emplace(std::move(key), cid);
  return cid;
}

int32_t TPDFFonts::IndexOf(const std::string& baseFontName, uint8_t charset) const {
  for (size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i]->Kind != pfkUnicode && FItems[i]->BaseFontName == baseFontName && FItems[i]->Charset == charset)
      return int32_t(i);
  return -1;
}

int32_t TPDFFonts::Add(std::unique_ptr<TPDFFont> font) {
  FItems.push_back(std::move(font));
  return int32_t(FItems.size() - 1);
}

// --- choosing fonts -----------------------------------------------------------

TQXExportToPDF::TFontContext& TQXExportToPDF::ContextFor(const TQXEFont& font) {
  if (FLastContext >= 0 && FContexts[size_t(FLastContext)].Font == font) return FContexts[size_t(FLastContext)];
  for (size_t i = 0; i < FContexts.size(); ++i)
    if (FContexts[i].Font == font) {
      FLastContext = int32_t(i);
      return FContexts[i];
    }
  FContexts.emplace_back();
  FContexts.back().Font = font;
  FLastContext = int32_t(FContexts.size() - 1);
  return FContexts.back();
}

int32_t TQXExportToPDF::RegisterFont(const TQXEFont& font) {
  const bool bold = font.Style & fsBold, italic = font.Style & fsItalic;
  const uint8_t charset = EffectiveCharset(font.Charset);
  bool standard = false;
  std::string base = StandardFontName(font.Name, bold, italic, standard);
  TFontFacePtr face;
  TPDFFontKind kind = pfkStandard;
  if (!standard) {
    // Another font: embedded when it is TrueType and its licence allows,
    // else the standard font that comes nearest.
    face = FontService::MatchFont(font.Name, bold, italic);
    if (face && face->IsTrueType() && face->IsEmbeddable()) {
      kind = pfkTrueType;
      base = face->PostScriptName();
    } else if (face) {
      base = StandardFontFor(*face, bold, italic);
    }
  }
  const int32_t existing = FFonts.IndexOf(base, charset);
  if (existing >= 0) return existing;

  if (kind == pfkStandard) {
    const std::string family = MetricFamily(base);
    face = family.empty() ? nullptr : FontService::MatchFont(family, bold, italic);
  }
  auto f = std::make_unique<TPDFFont>();
  f->ObjectNumber = NewObject();
  f->BaseFontName = base;
  f->WindowsName = font.Name;
  f->Charset = charset;
  f->Style = font.Style;
  f->TrueType = face && face->IsTrueType();
  f->Embeddable = face && face->IsEmbeddable();
  f->Kind = kind;
  f->Flags = IsSymbolFont(base) ? 4 : FaceFlags(face.get(), italic, false);
  f->Face = face;
  for (int c = 0; c < 256; ++c) {
    const char32_t u = WinAnsiChar(uint8_t(c));
    f->CodeWidths[size_t(c)] = int16_t(!face || IsSymbolFont(base) ? -1 : u ? face->CharWidth(u) : 0);
  }
  return FFonts.Add(std::move(f));
}

int32_t TQXExportToPDF::UnicodeFontOfFace(const TFontFacePtr& face) {
  auto it = FUnicodeFonts.find(face.get());
  if (it != FUnicodeFonts.end() && FFonts.Items(it->second)->Glyphs.size() < 0xFFFE) return it->second;
  auto f = std::make_unique<TPDFFont>();
  f->ObjectNumber = NewObject();
  f->BaseFontName = face ? face->PostScriptName() : std::string("DejaVuSans");
  f->WindowsName = face ? face->FamilyName() : std::string(FontService::UnicodeFamily);
  f->Style = TFontStyles((face && face->IsBold() ? fsBold : 0) | (face && face->IsItalic() ? fsItalic : 0));
  f->TrueType = face && face->IsTrueType();
  f->Embeddable = face && face->IsEmbeddable();
  f->Kind = pfkUnicode;
  f->Flags = FaceFlags(face.get(), false, true);
  f->Face = face;
  f->CodeWidths.fill(-1);
  const int32_t index = FFonts.Add(std::move(f));
  FUnicodeFonts[face.get()] = index;
  return index;
}

int32_t TQXExportToPDF::UnicodeFontFor(TFontContext& context, char32_t c) {
  auto it = context.UnicodeFontOf.find(c);
  if (it != context.UnicodeFontOf.end() && FFonts.Items(it->second)->Glyphs.size() < 0xFFFE) return it->second;
  const bool bold = context.Font.Style & fsBold, italic = context.Font.Style & fsItalic;
  if (!context.PrimaryKnown) {
    // The cell's own font when it can be embedded (Liberation Sans for
    // Arial holds Greek and Cyrillic too).
    context.PrimaryKnown = true;
    bool standard = false;
    const std::string base = StandardFontName(context.Font.Name, bold, italic, standard);
    const std::string family = standard ? MetricFamily(base) : context.Font.Name;
    TFontFacePtr face = family.empty() ? nullptr : FontService::MatchFont(family, bold, italic);
    if (face && face->IsTrueType() && face->IsEmbeddable()) context.Primary = face;
  }
  const size_t style = size_t(bold) + 2 * size_t(italic);
  if (!FUnicodeDefaultsKnown[style]) {
    FUnicodeDefaultsKnown[style] = true;
    TFontFacePtr face = FontService::MatchFont(FontService::UnicodeFamily, bold, italic);
    if (face && face->IsTrueType() && face->IsEmbeddable()) FUnicodeDefaults[style] = face;
  }
  TFontFacePtr face;
  if (context.Primary && context.Primary->HasChar(c)) face = context.Primary;
  else if (FUnicodeDefaults[style] && FUnicodeDefaults[style]->HasChar(c)) face = FUnicodeDefaults[style];
  else face = FontService::FallbackFont(c, FontService::UnicodeFamily, bold, italic);
  // No font has it: the default font's empty glyph, still mapped to the
  // character so the text reads back.
  if (!face) face = FUnicodeDefaults[style] ? FUnicodeDefaults[style] : context.Primary;
  const int32_t index = UnicodeFontOfFace(face);
  context.UnicodeFontOf[c] = index;
  return index;
}

int64_t TQXExportToPDF::TextOps(const std::u32string& text, const TQXEFont& font, std::string& ops, TPage& page,
                                int64_t visible) {
  TFontContext& context = ContextFor(font);
  const int32_t size = std::clamp(font.Size, 1, 1600);
  auto use = [&](int32_t index) {
    if (page.FontsUsed.size() <= size_t(index)) page.FontsUsed.resize(size_t(index) + 1, false);
    page.FontsUsed[size_t(index)] = true;
  };
  auto select = [&](int32_t index) {
    ops += "/F";
    AppendInt(ops, index);
    ops += ' ';
    AppendInt(ops, size);
    ops += " Tf ";
  };
  const bool winAnsi = std::all_of(text.begin(), text.end(), [](char32_t c) { return WinAnsiCode(Shown(c)) >= 0; });
  int64_t width = 0;
  if (winAnsi) {
    if (context.Standard < 0) context.Standard = RegisterFont(font);
    TPDFFont& f = *FFonts.Items(context.Standard);
    use(context.Standard);
    select(context.Standard);
    ops += '(';
    for (char32_t c : text) {
      if (visible >= 0 && width * size > visible) break;
      const int32_t code = WinAnsiCode(Shown(c));
      const char ch = char(code);
      if (ch == '\\' || ch == '(' || ch == ')') ops += '\\';
      ops += ch;
      f.UsedCodes.set(size_t(code));
      const int16_t w = f.CodeWidths[size_t(code)];
      if (w < 0 || width < 0) width = -1;
      else width += w;
    }
    ops += ") Tj";
  } else {
    return ShapedTextOps(text, context, size, ops, page, visible);
  }
  return width < 0 ? -1 : width * size;
}

// --- font objects -----------------------------------------------------------

std::string TQXExportToPDF::SubsetTag(const TPDFFont& font) const {
  // From the font and the glyphs it holds, so equal content gives an equal file.
  uint64_t h = 1469598103934665603ull;
  auto mix = [&](uint64_t v) {
    for (int i = 0; i < 8; ++i) {
      h ^= (v >> (8 * i)) & 0xFF;
      h *= 1099511628211ull;
    }
  };
  for (char c : font.BaseFontName) mix(uint8_t(c));
  for (uint32_t g : font.Glyphs) mix(g);
  for (size_t i = 0; i < 256; ++i)
    if (font.UsedCodes.test(i)) mix(i);
  std::string tag;
  for (int i = 0; i < 6; ++i) {
    tag += char('A' + h % 26);
    h /= 26;
  }
  return tag;
}

void TQXExportToPDF::WriteFonts() {
  for (int32_t i = 0; i < FFonts.Count(); ++i) WriteFont(i);
}

void TQXExportToPDF::WriteFont(int32_t index) {
  const TPDFFont& f = *FFonts.Items(index);
  const std::string resource = "/Name /F" + std::to_string(index) + " ";
  if (f.Kind == pfkStandard) {
    BeginObject(f.ObjectNumber);
    Line("<< /Type /Font ");
    Line(resource);
    Line("/BaseFont /" + f.BaseFontName + " ");
    // The symbol fonts keep their own encoding.
    if (!IsSymbolFont(f.BaseFontName)) Line("/Encoding /WinAnsiEncoding");
    Line("/Subtype /Type1 >>");
    Line("endobj");
    return;
  }

  // The subset: WinAnsi codes in use (TrueType) or the CIDs in order (Unicode).
  std::vector<uint32_t> glyphs;
  std::vector<std::pair<char32_t, uint16_t>> cmap;
  if (f.Kind == pfkTrueType) {
    for (size_t c = 0; c < 256; ++c) {
      const char32_t u = WinAnsiChar(uint8_t(c));
      if (!f.UsedCodes.test(c) || !u) continue;
      glyphs.push_back(f.Face->GlyphIndex(u));
      cmap.emplace_back(u, uint16_t(glyphs.size()));
    }
  } else {
    glyphs = f.Glyphs;
  }
  std::string fontFile;
  if (f.Face && f.Face->IsTrueType() && f.Face->IsEmbeddable()) {
    try {
      const std::vector<uint8_t> file = f.Face->FontFile();
      const std::vector<uint8_t> subset = SubsetTrueType(file.data(), file.size(), f.Face->FaceIndex(), glyphs, cmap);
      fontFile.assign(subset.begin(), subset.end());
    } catch (const EFontError&) {
      // Written without its outlines; viewers show a font of their own.
    }
  }
  const std::string name = (fontFile.empty() ? std::string() : SubsetTag(f) + "+") + f.BaseFontName;
  const TFontFace* face = f.Face.get();

  auto widthLines = [&](const std::vector<int32_t>& widths, const std::string& close) {
    std::string line;
    for (int32_t w : widths) {
      AppendInt(line, w);
      line += ' ';
      if (line.size() > 80) {
        Line(line);
        line.clear();
      }
    }
    Line(line + close);
  };

  int32_t descendant = 0, toUnicode = 0;
  BeginObject(f.ObjectNumber);
  Line("<< /Type /Font ");
  Line(resource);
  Line("/BaseFont /" + name + " ");
  if (f.Kind == pfkTrueType) {
    Line("/Subtype /TrueType ");
    Line("/FirstChar 0");
    Line("/LastChar 255");
    Line("/Widths [");
    std::vector<int32_t> widths(f.CodeWidths.begin(), f.CodeWidths.end());
    for (int32_t& w : widths) w = std::max(w, 0);
    widthLines(widths, "]");
    Line("/Encoding /WinAnsiEncoding");
  } else {
    descendant = NewObject();
    toUnicode = NewObject();
    Line("/Subtype /Type0 ");
    Line("/Encoding /Identity-H ");
    Line("/DescendantFonts [ " + std::to_string(descendant) + " 0 R ] ");
    Line("/ToUnicode " + std::to_string(toUnicode) + " 0 R");
  }
  const int32_t descriptor = NewObject();
  if (f.Kind == pfkTrueType) {
    Line("/FontDescriptor " + std::to_string(descriptor) + " 0 R >>");
    Line("endobj");
  } else {
    Line(">>");
    Line("endobj");
    BeginObject(descendant);
    Line("<< /Type /Font ");
    Line("/Subtype /CIDFontType2 ");
    Line("/BaseFont /" + name + " ");
    Line("/CIDSystemInfo << /Registry (Adobe) /Ordering (Identity) /Supplement 0 >> ");
    Line("/FontDescriptor " + std::to_string(descriptor) + " 0 R");
    if (!fontFile.empty()) Line("/CIDToGIDMap /Identity");
    Line("/DW 1000");
    Line("/W [ 1 [");
    widthLines(std::vector<int32_t>(f.Widths.begin(), f.Widths.end()), "] ]");
    Line(">>");
    Line("endobj");
  }

  const int32_t file = fontFile.empty() ? 0 : NewObject();
  BeginObject(descriptor);
  Line("<< /Type /FontDescriptor ");
  Line("/FontName /" + name);
  if (face)
    Line("/FontBBox [ " + std::to_string(face->BBox()[0]) + " " + std::to_string(face->BBox()[1]) + " " +
         std::to_string(face->BBox()[2]) + " " + std::to_string(face->BBox()[3]) + " ] ");
  else
    Line("/FontBBox [ 0 -250 1000 1000 ] ");
  Line("/Flags " + std::to_string(f.Flags));
  const double stem = (face ? face->Weight() : 400) / 65.0;
  Line("/StemV " + std::to_string(std::lround(stem * stem) + 50));
  Line("/ItalicAngle " + std::to_string(face ? std::lround(face->ItalicAngle()) : 0));
  Line("/CapHeight " + std::to_string(face ? face->CapHeight() : 700));
  Line("/Ascent " + std::to_string(face ? face->Ascent() : 1000));
  Line("/Descent " + std::to_string(face ? face->Descent() : -250));
  if (file) Line("/FontFile2 " + std::to_string(file) + " 0 R");
  Line(">>");
  Line("endobj");
  if (file) WriteStreamObject(file, "", PDFEncode(FontDecode, CompressionMethod, fontFile), int64_t(fontFile.size()));

  if (toUnicode) {
    std::string cmap =
        "/CIDInit /ProcSet findresource begin\r\n12 dict begin\r\nbegincmap\r\n"
        "/CIDSystemInfo << /Registry (Adobe) /Ordering (UCS) /Supplement 0 >> def\r\n"
        "/CMapName /Adobe-Identity-UCS def\r\n/CMapType 2 def\r\n"
        "1 begincodespacerange\r\n<0000> <FFFF>\r\nendcodespacerange\r\n";
    // Glyphs that stand for no text of their own (the further glyphs of a
    // cluster) are left out.
    std::vector<size_t> mapped;
    for (size_t i = 0; i < f.Texts.size(); ++i)
      if (!f.Texts[i].empty()) mapped.push_back(i);
    for (size_t first = 0; first < mapped.size(); first += 100) {
      const size_t n = std::min<size_t>(100, mapped.size() - first);
      AppendInt(cmap, int64_t(n));
      cmap += " beginbfchar\r\n";
      for (size_t k = first; k < first + n; ++k) {
        cmap += '<';
        AppendHex4(cmap, uint32_t(mapped[k] + 1));
        cmap += "> <";
        for (const char32_t c : f.Texts[mapped[k]]) {
          if (c >= 0x10000) {
            AppendHex4(cmap, 0xD800 + ((c - 0x10000) >> 10));
            AppendHex4(cmap, 0xDC00 + ((c - 0x10000) & 0x3FF));
          } else {
            AppendHex4(cmap, c);
          }
        }
        cmap += ">\r\n";
      }
      cmap += "endbfchar\r\n";
    }
    cmap += "endcmap\r\nCMapName currentdict /CMap defineresource pop\r\nend\r\nend";
    WriteStreamObject(toUnicode, "", TPDFEncoded{std::string(), cmap});
  }
}
