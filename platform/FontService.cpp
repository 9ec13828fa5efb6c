#include "FontService.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_ADVANCES_H
#include FT_TRUETYPE_TABLES_H
#include FT_TRUETYPE_TAGS_H
#include FT_TYPE1_TABLES_H

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "SysUtils.h"

namespace {

// Font files larger than this are not read into memory for embedding.
constexpr long MaxFontFileSize = 64L * 1024 * 1024;

int To1000(long v, int unitsPerEm) { return int(std::lround(double(v) * 1000.0 / unitsPerEm)); }

}  // namespace

struct TFontFace::TImpl {
  FT_Library Library = nullptr;
  FT_Face Face = nullptr;
  ~TImpl() {
    if (Face) FT_Done_Face(Face);
    if (Library) FT_Done_FreeType(Library);
  }
};

TFontFace::TFontFace(const std::string& fileName, int faceIndex)
    : FImpl(std::make_unique<TImpl>()), FFileName(fileName), FFaceIndex(faceIndex) {
  // A library per face: FreeType objects are not shared between threads.
  if (FT_Init_FreeType(&FImpl->Library) != 0) throw EFontError("The font library cannot be started.");
  if (FT_New_Face(FImpl->Library, fileName.c_str(), faceIndex, &FImpl->Face) != 0)
    throw EFontError("The font file \"" + fileName + "\" cannot be read.");
  FT_Face f = FImpl->Face;
  FT_Select_Charmap(f, FT_ENCODING_UNICODE);
  FUnitsPerEm = f->units_per_EM > 0 ? f->units_per_EM : 1000;
  FFamilyName = f->family_name ? f->family_name : "";
  const char* ps = FT_Get_Postscript_Name(f);
  FPostScriptName = ps ? ps : FFamilyName;
  FPostScriptName.erase(std::remove_if(FPostScriptName.begin(), FPostScriptName.end(),
                                       [](char c) { return uint8_t(c) <= ' ' || uint8_t(c) >= 0x7F || std::string("()<>[]{}/%#").find(c) != std::string::npos; }),
                        FPostScriptName.end());
  if (FPostScriptName.empty()) FPostScriptName = "Font";
  FGlyphCount = int(f->num_glyphs);
  FBold = (f->style_flags & FT_STYLE_FLAG_BOLD) != 0;
  FItalic = (f->style_flags & FT_STYLE_FLAG_ITALIC) != 0;
  FFixedPitch = FT_IS_FIXED_WIDTH(f);
  FFsType = FT_Get_FSType_Flags(f);
  FT_ULong glyfLength = 0;
  FTrueType = FT_IS_SFNT(f) && FT_Load_Sfnt_Table(f, TTAG_glyf, 0, nullptr, &glyfLength) == 0 && glyfLength > 0;

  FAscent = To1000(f->ascender, FUnitsPerEm);
  FDescent = To1000(f->descender, FUnitsPerEm);
  FBBox[0] = To1000(f->bbox.xMin, FUnitsPerEm);
  FBBox[1] = To1000(f->bbox.yMin, FUnitsPerEm);
  FBBox[2] = To1000(f->bbox.xMax, FUnitsPerEm);
  FBBox[3] = To1000(f->bbox.yMax, FUnitsPerEm);
  FCapHeight = FAscent * 7 / 10;
  FSerif = FFamilyName.find("Serif") != std::string::npos && FFamilyName.find("Sans") == std::string::npos;
  if (auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(f, FT_SFNT_OS2)); os2 && os2->version != 0xFFFF) {
    FWeight = os2->usWeightClass;
    if (os2->version >= 2 && os2->sCapHeight > 0) FCapHeight = To1000(os2->sCapHeight, FUnitsPerEm);
    FFirstChar = os2->usFirstCharIndex;
    FLastChar = os2->usLastCharIndex;
    // PANOSE: family 2 is Latin text; serif styles 11 to 13 are sans serif.
    if (os2->panose[0] == 2 && os2->panose[1] >= 2) FSerif = os2->panose[1] < 11;
    if (os2->fsSelection & 0x20) FBold = true;
  } else {
    FWeight = FBold ? 700 : 400;
  }
  if (auto* post = static_cast<TT_Postscript*>(FT_Get_Sfnt_Table(f, FT_SFNT_POST)))
    FItalicAngle = double(post->italicAngle) / 65536.0;
  if (FLastChar == 0) {
    FT_UInt g = 0;
    FFirstChar = uint32_t(FT_Get_First_Char(f, &g));
    FLastChar = FFirstChar;
    for (FT_ULong c = FFirstChar; g != 0; c = FT_Get_Next_Char(f, c, &g)) FLastChar = uint32_t(c);
  }
}

TFontFace::~TFontFace() = default;

bool TFontFace::FsTypeAllowsEmbedding(uint16_t fsType) {
  if ((fsType & 0x000F) == 0x0002) return false;  // restricted licence
  if (fsType & 0x0200) return false;              // bitmaps only
  return true;
}

bool TFontFace::IsEmbeddable() const { return FsTypeAllowsEmbedding(FFsType); }

uint32_t TFontFace::GlyphIndex(char32_t c) const {
  std::lock_guard<std::mutex> lock(FLock);
  return FT_Get_Char_Index(FImpl->Face, FT_ULong(c));
}

int TFontFace::GlyphWidth(uint32_t glyph) const {
  std::lock_guard<std::mutex> lock(FLock);
  if (FWidths.empty() && FGlyphCount > 0) {
    std::vector<FT_Fixed> adv(size_t(FGlyphCount), 0);
    if (FT_Get_Advances(FImpl->Face, 0, FT_UInt(FGlyphCount), FT_LOAD_NO_SCALE, adv.data()) != 0)
      std::fill(adv.begin(), adv.end(), 0);
    FWidths.resize(adv.size());
    for (size_t i = 0; i < adv.size(); ++i)
      FWidths[i] = int16_t(std::clamp(To1000(long(adv[i]), FUnitsPerEm), -32768, 32767));
  }
  return glyph < FWidths.size() ? FWidths[glyph] : 0;
}

int TFontFace::CharWidth(char32_t c) const {
  const uint32_t g = GlyphIndex(c);
  return g ? GlyphWidth(g) : 0;
}

std::vector<uint8_t> TFontFace::FontFile() const {
  FILE* f = std::fopen(FFileName.c_str(), "rb");
  if (!f) throw EFontError("The font file \"" + FFileName + "\" cannot be opened.");
  std::vector<uint8_t> data;
  if (std::fseek(f, 0, SEEK_END) == 0) {
    const long size = std::ftell(f);
    if (size > 0 && size <= MaxFontFileSize && std::fseek(f, 0, SEEK_SET) == 0) {
      data.resize(size_t(size));
      if (std::fread(data.data(), 1, data.size(), f) != data.size()) data.clear();
    }
  }
  std::fclose(f);
  if (data.empty()) throw EFontError("The font file \"" + FFileName + "\" cannot be read.");
  return data;
}

// --- fontconfig -----------------------------------------------------------

namespace {

std::mutex ServiceLock;  // fontconfig and the face cache

FcConfig* Config() {
  static FcConfig* config = FcInitLoadConfigAndFonts();
  return config;
}

// The usual Windows names and the PDF standard families, by the
// metric-compatible fonts Debian installs.
struct TNameMap {
  const char* Windows;
  const char* Family;
};
const TNameMap NameMap[] = {
    {"Arial", "Liberation Sans"},        {"Helvetica", "Liberation Sans"},
    {"MS Sans Serif", "Liberation Sans"}, {"Microsoft Sans Serif", "Liberation Sans"},
    {"Arial Narrow", "Liberation Sans Narrow"},
    {"Times New Roman", "Liberation Serif"}, {"Times", "Liberation Serif"}, {"Times-Roman", "Liberation Serif"},
    {"MS Serif", "Liberation Serif"},
    {"Courier New", "Liberation Mono"}, {"Courier", "Liberation Mono"},
};
// Charset variants of Windows names ("Arial Cyr", "Times New Roman CE").
const char* const CharsetSuffixes[] = {" CE", " Cyr", " Greek", " Tur", " Baltic", " (Hebrew)", " (Arabic)"};

std::map<std::pair<std::string, int>, TFontFacePtr>& FaceCache() {
  static std::map<std::pair<std::string, int>, TFontFacePtr> cache;
  return cache;
}

TFontFacePtr OpenFaceLocked(const std::string& fileName, int faceIndex) {
  auto& cache = FaceCache();
  const auto key = std::make_pair(fileName, faceIndex);
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  TFontFacePtr face;
  try {
    face = std::make_shared<TFontFace>(fileName, faceIndex);
  } catch (const EFontError&) {
    // Remembered as unusable, so it is not tried again.
  }
  cache.emplace(key, face);
  return face;
}

FcPattern* StylePattern(const std::string& family, bool bold, bool italic) {
  FcPattern* p = FcPatternCreate();
  if (!family.empty()) FcPatternAddString(p, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
  FcPatternAddInteger(p, FC_WEIGHT, bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
  FcPatternAddInteger(p, FC_SLANT, italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
  FcPatternAddBool(p, FC_SCALABLE, FcTrue);
  return p;
}

// The file and index of a fontconfig result.
TFontFacePtr FaceOf(FcPattern* font) {
  FcChar8* file = nullptr;
  int index = 0;
  if (FcPatternGetString(font, FC_FILE, 0, &file) != FcResultMatch || !file) return nullptr;
  FcPatternGetInteger(font, FC_INDEX, 0, &index);
  return OpenFaceLocked(reinterpret_cast<const char*>(file), index);
}

bool Embeddable(const TFontFacePtr& face) { return face && face->IsTrueType() && face->IsEmbeddable(); }

}  // namespace

namespace FontService {

std::string MapWindowsFontName(const std::string& windowsName) {
  std::string name = Trim(windowsName);
  for (const char* suffix : CharsetSuffixes)
    if (EndsText(suffix, name) && name.size() > std::char_traits<char>::length(suffix)) {
      name.resize(name.size() - std::char_traits<char>::length(suffix));
      break;
    }
  for (const TNameMap& m : NameMap)
    if (SameText(name, m.Windows)) return m.Family;
  return name;
}

TFontFacePtr MatchFont(const std::string& windowsName, bool bold, bool italic) {
  std::lock_guard<std::mutex> lock(ServiceLock);
  FcConfig* config = Config();
  if (!config) return nullptr;
  FcPattern* p = StylePattern(MapWindowsFontName(windowsName), bold, italic);
  FcConfigSubstitute(config, p, FcMatchPattern);
  FcDefaultSubstitute(p);
  FcResult result = FcResultNoMatch;
  FcPattern* match = FcFontMatch(config, p, &result);
  TFontFacePtr face = match ? FaceOf(match) : nullptr;
  if (match) FcPatternDestroy(match);
  FcPatternDestroy(p);
  return face;
}

TFontFacePtr FallbackFont(char32_t c, const std::string& preferredFamily, bool bold, bool italic) {
  std::lock_guard<std::mutex> lock(ServiceLock);
  FcConfig* config = Config();
  if (!config) return nullptr;
  FcPattern* p = StylePattern(preferredFamily, bold, italic);
  FcCharSet* cs = FcCharSetCreate();
  FcCharSetAddChar(cs, FcChar32(c));
  FcPatternAddCharSet(p, FC_CHARSET, cs);
  FcCharSetDestroy(cs);
  FcConfigSubstitute(config, p, FcMatchPattern);
  FcDefaultSubstitute(p);
  FcResult result = FcResultNoMatch;
  FcFontSet* set = FcFontSort(config, p, FcFalse, nullptr, &result);
  TFontFacePtr found;
  for (int i = 0; set && i < set->nfont && !found; ++i) {
    FcCharSet* has = nullptr;
    if (FcPatternGetCharSet(set->fonts[i], FC_CHARSET, 0, &has) != FcResultMatch || !has ||
        !FcCharSetHasChar(has, FcChar32(c)))
      continue;
    TFontFacePtr face = FaceOf(set->fonts[i]);
    if (Embeddable(face) && face->HasChar(c)) found = face;
  }
  if (set) FcFontSetDestroy(set);
  FcPatternDestroy(p);
  return found;
}

bool AddFontFile(const std::string& fileName) {
  std::lock_guard<std::mutex> lock(ServiceLock);
  FcConfig* config = Config();
  return config && FcConfigAppFontAddFile(config, reinterpret_cast<const FcChar8*>(fileName.c_str())) == FcTrue;
}

TFontFacePtr OpenFace(const std::string& fileName, int faceIndex) {
  std::lock_guard<std::mutex> lock(ServiceLock);
  return OpenFaceLocked(fileName, faceIndex);
}

}  // namespace FontService
