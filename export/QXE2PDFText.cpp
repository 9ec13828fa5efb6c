// Text of the PDF writer that the Unicode fonts show: ordered by FriBidi
// (the Unicode bidirectional algorithm) and shaped by HarfBuzz with the
// font file that is embedded, so joining scripts, clusters, combining marks
// and ligatures come out as the font means them. Glyphs are placed with TJ
// adjustments and text rise; where the glyphs no longer stand one for one
// for the characters in reading order, the cell's text travels along as
// ActualText, so extraction gives back the text as it was typed.
#include <fribidi.h>
#include <hb.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <unordered_map>

#include "QXE2PDF.h"

namespace {

void AppendInt(std::string& s, int64_t v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  s.append(buf, r.ptr);
}

void AppendHex4(std::string& s, uint32_t v) {
  static const char digits[] = "0123456789ABCDEF";
  for (int shift = 12; shift >= 0; shift -= 4) s += digits[(v >> shift) & 15];
}

void AppendUtf16Hex(std::string& s, char32_t c) {
  if (c >= 0x10000) {
    AppendHex4(s, 0xD800 + ((c - 0x10000) >> 10));
    AppendHex4(s, 0xDC00 + ((c - 0x10000) & 0x3FF));
  } else {
    AppendHex4(s, c);
  }
}

char32_t Shown(char32_t c) { return c < 0x20 || c == 0x7F ? U' ' : c; }

bool InheritsScript(hb_script_t s) {
  return s == HB_SCRIPT_COMMON || s == HB_SCRIPT_INHERITED || s == HB_SCRIPT_UNKNOWN;
}

struct THbFontDeleter {
  void operator()(hb_font_t* f) const { hb_font_destroy(f); }
};
struct THbBufferDeleter {
  void operator()(hb_buffer_t* b) const { hb_buffer_destroy(b); }
};

}  // namespace

std::vector<TBidiRun> VisualRuns(const std::u32string& text, const std::function<bool(size_t)>& split) {
  const size_t n = text.size();
  std::vector<TBidiRun> runs;
  if (n == 0) return runs;
  std::vector<FriBidiLevel> levels(n, 0);
  // Text without a right-to-left character is one left-to-right paragraph.
  const bool rtl = std::any_of(text.begin(), text.end(), [](char32_t c) {
    const FriBidiCharType t = fribidi_get_bidi_type(FriBidiChar(c));
    return FRIBIDI_IS_RTL(t) || FRIBIDI_IS_ARABIC(t) || FRIBIDI_IS_EXPLICIT(t) || FRIBIDI_IS_ISOLATE(t);
  });
  if (rtl && n < size_t(INT32_MAX)) {
    std::vector<FriBidiCharType> types(n);
    std::vector<FriBidiBracketType> brackets(n);
    const auto* str = reinterpret_cast<const FriBidiChar*>(text.data());
    static_assert(sizeof(FriBidiChar) == sizeof(char32_t));
    fribidi_get_bidi_types(str, FriBidiStrIndex(n), types.data());
    fribidi_get_bracket_types(str, FriBidiStrIndex(n), types.data(), brackets.data());
    FriBidiParType base = FRIBIDI_PAR_ON;
    if (fribidi_get_par_embedding_levels_ex(types.data(), brackets.data(), FriBidiStrIndex(n), &base,
                                            levels.data()) == 0 ||
        fribidi_reorder_line(FRIBIDI_FLAGS_DEFAULT, types.data(), FriBidiStrIndex(n), 0, base, levels.data(),
                             nullptr, nullptr) == 0)
      std::fill(levels.begin(), levels.end(), 0);  // out of memory: as written
  }
  for (size_t i = 0; i < n; ++i) {
    if (i > 0 && levels[i] == runs.back().Level && !(split && split(i))) {
      runs.back().End = i + 1;
      continue;
    }
    runs.push_back({i, i + 1, uint8_t(std::min<int>(levels[i], 125))});
  }
  // Rule L2: from the highest level down to the lowest odd one, every
  // sequence of runs at that level or above is reversed.
  uint8_t highest = 0, lowestOdd = 255;
  for (const TBidiRun& r : runs) {
    highest = std::max(highest, r.Level);
    if (r.Level % 2) lowestOdd = std::min(lowestOdd, r.Level);
  }
  for (int level = highest; level >= lowestOdd && level > 0; --level) {
    for (size_t i = 0; i < runs.size();) {
      if (runs[i].Level < level) {
        ++i;
        continue;
      }
      size_t end = i;
      while (end < runs.size() && runs[end].Level >= level) ++end;
      std::reverse(runs.begin() + std::ptrdiff_t(i), runs.begin() + std::ptrdiff_t(end));
      i = end;
    }
  }
  return runs;
}

// One HarfBuzz font per face in use, at its own units per em, and one buffer.
struct TQXExportToPDF::TShaping {
  struct TFace {
    std::unique_ptr<hb_font_t, THbFontDeleter> Font;
    unsigned Upem = 1000;
  };
  std::unordered_map<const TFontFace*, TFace> Faces;
  std::unique_ptr<hb_buffer_t, THbBufferDeleter> Buffer{hb_buffer_create()};

  // Null when the face's file cannot be shaped: its glyphs are then taken
  // one per character from its cmap.
  TFace* For(const TFontFace* face) {
    if (!face) return nullptr;
    auto it = Faces.find(face);
    if (it == Faces.end()) {
      TFace entry;
      if (hb_blob_t* blob = hb_blob_create_from_file_or_fail(face->FileName().c_str())) {
        hb_face_t* hbFace = hb_face_create(blob, unsigned(face->FaceIndex()));
        hb_blob_destroy(blob);
        if (hb_face_get_glyph_count(hbFace) > 0) {
          entry.Upem = std::max(1u, hb_face_get_upem(hbFace));
          entry.Font.reset(hb_font_create(hbFace));
          hb_font_set_scale(entry.Font.get(), int(entry.Upem), int(entry.Upem));
        }
        hb_face_destroy(hbFace);
      }
      it = Faces.emplace(face, std::move(entry)).first;
    }
    return it->second.Font ? &it->second : nullptr;
  }
};

TQXExportToPDF::TQXExportToPDF() { SetTableType(tePDF); }
TQXExportToPDF::~TQXExportToPDF() = default;

void TQXExportToPDF::ReleaseFontContexts() {
  FContexts.clear();
  FLastContext = -1;
  FUnicodeFonts.clear();
  FUnicodeDefaults = {};
  FShaping.reset();
}

int64_t TQXExportToPDF::ShapedTextOps(const std::u32string& rawText, TFontContext& context, int32_t size,
                                      std::string& ops, TPage& page, int64_t visible) {
  if (!FShaping) FShaping = std::make_unique<TShaping>();
  std::u32string text(rawText);
  for (char32_t& c : text) c = Shown(c);
  const size_t n = text.size();

  // The font of each character; marks, joiners and punctuation stay with
  // the font of the character before them when it has them.
  hb_unicode_funcs_t* unicode = hb_unicode_funcs_get_default();
  std::vector<int32_t> fontOf(n);
  std::vector<hb_script_t> scriptOf(n);
  for (size_t i = 0; i < n; ++i) {
    scriptOf[i] = hb_unicode_script(unicode, text[i]);
    const TFontFace* before = i ? FFonts.Items(fontOf[i - 1])->Face.get() : nullptr;
    fontOf[i] = InheritsScript(scriptOf[i]) && before && before->HasChar(text[i]) ? fontOf[i - 1]
                                                                                  : UnicodeFontFor(context, text[i]);
  }
  // Characters of no script of their own take that of their neighbours.
  hb_script_t script = HB_SCRIPT_COMMON;
  for (size_t i = 0; i < n && script == HB_SCRIPT_COMMON; ++i)
    if (!InheritsScript(scriptOf[i])) script = scriptOf[i];
  for (size_t i = 0; i < n; ++i) {
    if (InheritsScript(scriptOf[i])) scriptOf[i] = script;
    else script = scriptOf[i];
  }
  const std::vector<TBidiRun> runs = VisualRuns(text, [&](size_t i) {
    return fontOf[i] != fontOf[i - 1] || scriptOf[i] != scriptOf[i - 1];
  });

  int32_t selected = -1;  // the font of the text state
  bool open = false;      // a TJ array is open
  int64_t pen = 0, at = 0;  // where the glyphs should be and where the PDF has them, 1/1000 em
  int64_t rise = 0;         // text rise in 1/1000 em
  std::string body;
  auto closeArray = [&] {
    if (open) body += "] TJ ";
    open = false;
  };
  struct TGlyph {
    uint32_t Glyph, Cluster;
    int32_t Advance, XOffset, YOffset;
    int64_t X = 0;  // from the text's start
  };
  std::vector<TGlyph> glyphs;
  bool full = false;
  for (const TBidiRun& run : runs) {
    if (full) break;
    const bool rightToLeft = run.Level % 2;
    int32_t font = fontOf[run.Start];
    const TFontFacePtr face = FFonts.Items(font)->Face;
    glyphs.clear();
    if (TShaping::TFace* shaper = FShaping->For(face.get())) {
      hb_buffer_t* buffer = FShaping->Buffer.get();
      hb_buffer_clear_contents(buffer);
      hb_buffer_add_utf32(buffer, reinterpret_cast<const uint32_t*>(text.data()), int(n), unsigned(run.Start),
                          int(run.End - run.Start));
      hb_buffer_set_direction(buffer, rightToLeft ? HB_DIRECTION_RTL : HB_DIRECTION_LTR);
      hb_buffer_set_script(buffer, scriptOf[run.Start]);
      // A mark keeps its own cluster, so each glyph can name its character.
      hb_buffer_set_cluster_level(buffer, HB_BUFFER_CLUSTER_LEVEL_MONOTONE_CHARACTERS);
      hb_buffer_guess_segment_properties(buffer);
      hb_shape(shaper->Font.get(), buffer, nullptr, 0);
      unsigned count = 0;
      const hb_glyph_info_t* info = hb_buffer_get_glyph_infos(buffer, &count);
      const hb_glyph_position_t* pos = hb_buffer_get_glyph_positions(buffer, nullptr);
      const int64_t upem = shaper->Upem;
      auto em = [&](int32_t v) { return int32_t(int64_t(v) * 1000 / upem); };
      for (unsigned g = 0; g < count; ++g)
        glyphs.push_back({info[g].codepoint, info[g].cluster, em(pos[g].x_advance), em(pos[g].x_offset),
                          em(pos[g].y_offset), 0});
    } else {
      for (size_t i = run.Start; i < run.End; ++i) {
        const uint32_t glyph = face ? face->GlyphIndex(text[i]) : 0;
        glyphs.push_back({glyph, uint32_t(i), face ? face->GlyphWidth(glyph) : 1000, 0, 0, 0});
      }
      if (rightToLeft) std::reverse(glyphs.begin(), glyphs.end());
    }

    // Each cluster's text: from its start to the next cluster's start.
    std::vector<uint32_t> starts;
    for (const TGlyph& g : glyphs) starts.push_back(g.Cluster);
    std::sort(starts.begin(), starts.end());
    starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
    auto clusterEnd = [&](uint32_t cluster) {
      auto next = std::upper_bound(starts.begin(), starts.end(), cluster);
      return next == starts.end() ? run.End : size_t(*next);
    };
    // Glyphs that stand one for one for the characters in reading order
    // read back as they are; others (a conjunct, a vowel drawn before its
    // consonant) carry their text as ActualText. Right-to-left runs are
    // drawn in visual order, which readers turn back themselves.
    bool complex = false;
    for (size_t g = 0; g < glyphs.size() && !complex; ++g)
      complex = glyphs[g].Cluster != run.Start + g || clusterEnd(glyphs[g].Cluster) != run.Start + g + 1;
    complex = complex && !rightToLeft;
    if (complex) {
      closeArray();
      body += "/Span << /ActualText <FEFF";
      for (size_t i = run.Start; i < run.End; ++i) AppendUtf16Hex(body, rawText[i]);
      body += "> >> BDC ";
    }

    // Where each glyph goes; the run ends where the glyphs no longer show.
    size_t shown = 0;
    for (TGlyph& g : glyphs) {
      if (visible >= 0 && pen * size > visible) {
        full = true;
        break;
      }
      g.X = pen + g.XOffset;
      pen += g.Advance;
      ++shown;
    }
    glyphs.resize(shown);
    std::u32string clusterText;
    uint32_t lastCluster = UINT32_MAX;
    for (const TGlyph& g : glyphs) {
      const size_t end = clusterEnd(g.Cluster);
      if (g.Cluster != lastCluster) {
        clusterText.assign(text, g.Cluster, end - g.Cluster);
        // Readers turn a right-to-left run's glyphs back into reading
        // order character by character, a ligature's characters too.
        if (rightToLeft) std::reverse(clusterText.begin(), clusterText.end());
      } else {
        clusterText.clear();  // the cluster's first glyph carries its text
      }
      lastCluster = g.Cluster;
      uint16_t cid = FFonts.Items(font)->Cid(g.Glyph, clusterText);
      if (cid == 0) {
        // The font is full: a fresh one for the same face.
        FUnicodeFonts.erase(face.get());
        font = UnicodeFontOfFace(face);
        for (size_t i = run.Start; i < run.End; ++i) context.UnicodeFontOf[text[i]] = font;
        cid = FFonts.Items(font)->Cid(g.Glyph, clusterText);
      }
      if (g.YOffset != rise) {
        closeArray();
        rise = g.YOffset;
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.2f Ts ", double(rise) * size / 1000);
        body += buf;
      }
      if (font != selected) {
        closeArray();
        if (page.FontsUsed.size() <= size_t(font)) page.FontsUsed.resize(size_t(font) + 1, false);
        page.FontsUsed[size_t(font)] = true;
        body += "/F";
        AppendInt(body, font);
        body += ' ';
        AppendInt(body, size);
        body += " Tf ";
        selected = font;
      }
      if (!open) {
        body += '[';
        open = true;
      }
      // Widths and advances are rounded apart: a unit of difference is
      // left to the next glyph, so it never adds up.
      if (std::abs(g.X - at) > 1) {
        AppendInt(body, at - g.X);  // a positive number moves left
        body += ' ';
        at = g.X;
      }
      body += '<';
      AppendHex4(body, cid);
      body += '>';
      at += FFonts.Items(font)->Widths[cid - 1u];
    }
    if (complex) {
      closeArray();
      body += "EMC ";
    }
  }
  closeArray();
  if (rise) body += "0 Ts ";
  if (!body.empty()) body.pop_back();
  ops += body;
  return pen * size;
}
