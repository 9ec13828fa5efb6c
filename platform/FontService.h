#pragma once
// Fonts for PDF output: what the program once asked of the Windows font
// queries (text and outline metrics, character widths, the font file),
// answered by fontconfig (which file a font name means) and FreeType (what
// is in it). Measurements are in units of 1/1000 em, the PDF font unit.
//
// Faces are shared and may be used from several exports at once.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Exception.h"

// A font file that cannot be read or subset.
VARNOWE_EXCEPTION(EFontError, Exception);

// One face of a font file.
class TFontFace {
 public:
  // Raises EFontError when FreeType cannot open the face.
  TFontFace(const std::string& fileName, int faceIndex);
  ~TFontFace();
  TFontFace(const TFontFace&) = delete;
  TFontFace& operator=(const TFontFace&) = delete;

  const std::string& FileName() const { return FFileName; }
  int FaceIndex() const { return FFaceIndex; }
  const std::string& FamilyName() const { return FFamilyName; }
  // The PostScript name, or the family name without blanks.
  const std::string& PostScriptName() const { return FPostScriptName; }

  // TrueType outlines (a glyf table), the only kind embedded as FontFile2.
  bool IsTrueType() const { return FTrueType; }
  // The OS/2 embedding bits: restricted licence (0x0002 alone in the
  // usage nibble) and bitmap-only embedding (0x0200) forbid embedding.
  uint16_t FsType() const { return FFsType; }
  bool IsEmbeddable() const;
  static bool FsTypeAllowsEmbedding(uint16_t fsType);

  bool IsBold() const { return FBold; }
  bool IsItalic() const { return FItalic; }
  bool IsFixedPitch() const { return FFixedPitch; }
  // Serifs by the PANOSE class, else by the family name.
  bool IsSerif() const { return FSerif; }
  int Weight() const { return FWeight; }  // 100..900, 400 regular
  int CapHeight() const { return FCapHeight; }
  int Ascent() const { return FAscent; }
  int Descent() const { return FDescent; }  // negative
  double ItalicAngle() const { return FItalicAngle; }
  const int* BBox() const { return FBBox; }  // xMin, yMin, xMax, yMax
  // The first and last character the font maps (OS/2).
  uint32_t FirstChar() const { return FFirstChar; }
  uint32_t LastChar() const { return FLastChar; }
  int GlyphCount() const { return FGlyphCount; }

  // 0 when the font has no glyph for c.
  uint32_t GlyphIndex(char32_t c) const;
  bool HasChar(char32_t c) const { return GlyphIndex(c) != 0; }
  // Advance width of a glyph (A+B+C of the old query).
  int GlyphWidth(uint32_t glyph) const;
  // Advance width of a character's glyph; 0 when there is none.
  int CharWidth(char32_t c) const;

  // The whole font file (of a collection: the collection; SubsetTrueType
  // takes the face index). Raises EFontError when it cannot be read.
  std::vector<uint8_t> FontFile() const;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
  mutable std::mutex FLock;
  mutable std::vector<int16_t> FWidths;  // every glyph, measured once
  std::string FFileName;
  int FFaceIndex = 0;
  std::string FFamilyName;
  std::string FPostScriptName;
  bool FTrueType = false;
  uint16_t FFsType = 0;
  bool FBold = false, FItalic = false, FFixedPitch = false, FSerif = false;
  int FWeight = 400;
  int FCapHeight = 700;
  int FAscent = 800;
  int FDescent = -200;
  double FItalicAngle = 0;
  int FBBox[4] = {0, 0, 0, 0};
  uint32_t FFirstChar = 0, FLastChar = 0;
  int FGlyphCount = 0;
  int FUnitsPerEm = 1000;
};

using TFontFacePtr = std::shared_ptr<TFontFace>;

namespace FontService {

// The font family that stands for a Windows font name here: Arial (and its
// charset variants such as "Arial Cyr") is Liberation Sans, Times New Roman
// Liberation Serif, Courier New Liberation Mono, and the PDF standard
// families Helvetica, Times and Courier the same; other names are kept.
std::string MapWindowsFontName(const std::string& windowsName);

// The face fontconfig chooses for a Windows font name and style (the name
// mapped first); null when fontconfig finds no font at all.
TFontFacePtr MatchFont(const std::string& windowsName, bool bold, bool italic);

// The family used for text that the standard fonts cannot show.
inline constexpr const char* UnicodeFamily = "DejaVu Sans";

// The first face that can be embedded (TrueType outlines, embedding
// allowed) and has a glyph for c, preferring the given family; null when no
// installed font has one.
TFontFacePtr FallbackFont(char32_t c, const std::string& preferredFamily, bool bold, bool italic);

// Offers a font file that is not installed to the matching above (fonts
// that come with the program, test fonts). False when fontconfig refuses it.
bool AddFontFile(const std::string& fileName);

// A face of a file, opened once and shared.
TFontFacePtr OpenFace(const std::string& fileName, int faceIndex);

}  // namespace FontService

// A TrueType font holding only some glyphs of a font file (one face of a
// collection): glyph 0 stays .notdef, glyph i + 1 of the result is
// glyphs[i] of the source, and the components of composite glyphs follow
// them. Tables kept: head, hhea, maxp, hmtx, loca, glyf and the hinting
// programs (cvt, fpgm, prep); with cmap entries (code point, new glyph) a
// (3,1) cmap is added for the characters of the Basic Multilingual Plane.
// The file is read as hostile: raises EFontError when it is not a TrueType
// font whose tables lie inside it.
std::vector<uint8_t> SubsetTrueType(const uint8_t* data, size_t size, int faceIndex,
                                    const std::vector<uint32_t>& glyphs,
                                    const std::vector<std::pair<char32_t, uint16_t>>& cmap = {});
