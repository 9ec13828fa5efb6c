// The font service: Windows names to the installed metric-compatible
// fonts, the measurements the PDF writer takes from them, the embedding
// bits, and TrueType subsets read back by FreeType.
#include <gtest/gtest.h>


#include "FontFiles.h"
#include "FontService.h"
#include "TempDir.h"

namespace {

// Skips a test when the fonts the install script provides are missing.
#define NEED_FONT(face, family)                                                                  \
  if (!(face) || (face)->FamilyName() != (family))                                               \
  GTEST_SKIP() << family << " is not installed (scripts/install-deps.sh installs it)"

}  // namespace

TEST(FontService, WindowsNamesMapToMetricCompatibleFamilies) {
  EXPECT_EQ(FontService::MapWindowsFontName("Arial"), "Liberation Sans");
  EXPECT_EQ(FontService::MapWindowsFontName("arial cyr"), "Liberation Sans");
  EXPECT_EQ(FontService::MapWindowsFontName("Times New Roman CE"), "Liberation Serif");
  EXPECT_EQ(FontService::MapWindowsFontName("Courier New"), "Liberation Mono");
  EXPECT_EQ(FontService::MapWindowsFontName("MS Sans Serif"), "Liberation Sans");
  EXPECT_EQ(FontService::MapWindowsFontName(" Helvetica "), "Liberation Sans");
  EXPECT_EQ(FontService::MapWindowsFontName("Verdana"), "Verdana");

  auto arial = FontService::MatchFont("Arial", false, false);
  NEED_FONT(arial, "Liberation Sans");
  EXPECT_FALSE(arial->IsBold());
  auto bold = FontService::MatchFont("Arial", true, false);
  ASSERT_TRUE(bold);
  EXPECT_TRUE(bold->IsBold());
  EXPECT_GE(bold->Weight(), 700);
  auto times = FontService::MatchFont("Times New Roman", false, true);
  ASSERT_TRUE(times);
  EXPECT_EQ(times->FamilyName(), "Liberation Serif");
  EXPECT_TRUE(times->IsItalic());
  EXPECT_TRUE(times->IsSerif());
  auto courier = FontService::MatchFont("Courier New", false, false);
  ASSERT_TRUE(courier);
  EXPECT_EQ(courier->FamilyName(), "Liberation Mono");
  EXPECT_TRUE(courier->IsFixedPitch());
  EXPECT_FALSE(arial->IsSerif());
}

TEST(FontService, MetricsAreThoseOfTheStandardFontsAtAThousandUnits) {
  auto arial = FontService::MatchFont("Arial", false, false);
  NEED_FONT(arial, "Liberation Sans");
  // Helvetica's widths: Liberation Sans is metric-compatible with it.
  EXPECT_EQ(arial->CharWidth(U'A'), 667);
  EXPECT_EQ(arial->CharWidth(U' '), 278);
  EXPECT_EQ(arial->CharWidth(U'W'), 944);
  EXPECT_EQ(arial->CharWidth(U'\u20AC'), 556);  // the euro sign
  EXPECT_EQ(arial->CharWidth(U'\U0001F600'), 0);  // no glyph
  EXPECT_EQ(arial->Weight(), 400);
  EXPECT_GT(arial->CapHeight(), 650);
  EXPECT_LT(arial->CapHeight(), 750);
  EXPECT_GT(arial->Ascent(), 800);
  EXPECT_LT(arial->Descent(), -150);
  EXPECT_EQ(arial->FirstChar(), 0x20u);
  EXPECT_GE(arial->LastChar(), 0xFFFCu);
  EXPECT_TRUE(arial->IsTrueType());
  EXPECT_TRUE(arial->IsEmbeddable());
  EXPECT_EQ(arial->GlyphIndex(U'\U0001F600'), 0u);

  auto courier = FontService::MatchFont("Courier New", true, false);
  ASSERT_TRUE(courier);
  for (char32_t c : {U'i', U'W', U'0', U' '}) EXPECT_EQ(courier->CharWidth(c), 600) << char(c);
  EXPECT_FALSE(courier->FontFile().empty());
}

TEST(FontService, FallbackFindsAnEmbeddableFontForEachScript) {
  auto cyrillic = FontService::FallbackFont(U'Ж', FontService::UnicodeFamily, false, false);
  ASSERT_TRUE(cyrillic) << "no font with Cyrillic";
  EXPECT_TRUE(cyrillic->HasChar(U'Ж'));
  EXPECT_TRUE(cyrillic->IsEmbeddable());
  // CJK and emoji need the fonts the install script adds; without them
  // there is simply no face.
  for (char32_t c : {U'中', U'\U0001F600'}) {
    auto face = FontService::FallbackFont(c, FontService::UnicodeFamily, false, false);
    if (!face) continue;
    EXPECT_TRUE(face->HasChar(c));
    EXPECT_TRUE(face->IsTrueType());
    EXPECT_TRUE(face->IsEmbeddable());
  }
  // A code point no font has.
  EXPECT_FALSE(FontService::FallbackFont(0x10FFFD, FontService::UnicodeFamily, false, false));
}

TEST(FontService, EmbeddingFollowsTheLicenceBits) {
  EXPECT_TRUE(TFontFace::FsTypeAllowsEmbedding(0x0000));   // installable
  EXPECT_FALSE(TFontFace::FsTypeAllowsEmbedding(0x0002));  // restricted licence
  EXPECT_TRUE(TFontFace::FsTypeAllowsEmbedding(0x0004));   // preview and print
  EXPECT_TRUE(TFontFace::FsTypeAllowsEmbedding(0x0008));   // editable
  EXPECT_TRUE(TFontFace::FsTypeAllowsEmbedding(0x0108));   // no subsetting is still embedding
  EXPECT_FALSE(TFontFace::FsTypeAllowsEmbedding(0x0204));  // bitmaps only

  auto dejavu = FontService::MatchFont(FontService::UnicodeFamily, false, false);
  NEED_FONT(dejavu, "DejaVu Sans");
  std::vector<uint8_t> font = ReadFontBytes(dejavu->FileName());
  ASSERT_TRUE(SetFsType(font, 0x0002));
  TTempDir tmp;
  WriteFontBytes(tmp / "restricted.ttf", font);
  TFontFace restricted(tmp / "restricted.ttf", 0);
  EXPECT_EQ(restricted.FsType(), 0x0002);
  EXPECT_FALSE(restricted.IsEmbeddable());
  EXPECT_TRUE(restricted.IsTrueType());
  EXPECT_THROW(TFontFace(tmp / "missing.ttf", 0), EFontError);
}

TEST(FontSubset, KeepsTheGlyphsAskedForWithTheirWidthsAndComponents) {
  auto dejavu = FontService::MatchFont(FontService::UnicodeFamily, false, false);
  NEED_FONT(dejavu, "DejaVu Sans");
  const std::vector<uint8_t> file = dejavu->FontFile();
  // Å is a composite of A and the ring in DejaVu Sans.
  const std::u32string chars = U"AЖÅ";
  std::vector<uint32_t> glyphs;
  std::vector<std::pair<char32_t, uint16_t>> cmap;
  for (char32_t c : chars) {
    glyphs.push_back(dejavu->GlyphIndex(c));
    cmap.emplace_back(c, uint16_t(glyphs.size()));
  }
  const std::vector<uint8_t> subset = SubsetTrueType(file.data(), file.size(), 0, glyphs, cmap);
  EXPECT_LT(subset.size(), 20000u);
  TTempDir tmp;
  WriteFontBytes(tmp / "subset.ttf", subset);
  TFontFace face(tmp / "subset.ttf", 0);
  EXPECT_TRUE(face.IsTrueType());
  EXPECT_GE(face.GlyphCount(), 4);  // .notdef, the three, and components of Å
  for (size_t i = 0; i < chars.size(); ++i) {
    EXPECT_EQ(face.GlyphIndex(chars[i]), i + 1) << i;
    EXPECT_EQ(face.GlyphWidth(uint32_t(i + 1)), dejavu->CharWidth(chars[i])) << i;
  }
  EXPECT_EQ(face.GlyphWidth(0), dejavu->GlyphWidth(0));

  // A repeated glyph and a glyph number beyond the font are still a valid font.
  const std::vector<uint8_t> again = SubsetTrueType(file.data(), file.size(), 0, {glyphs[0], glyphs[0], 999999});
  WriteFontBytes(tmp / "again.ttf", again);
  EXPECT_EQ(TFontFace(tmp / "again.ttf", 0).GlyphCount(), 4);
}

TEST(FontSubset, RefusesWhatIsNoTrueTypeFont) {
  auto dejavu = FontService::MatchFont(FontService::UnicodeFamily, false, false);
  NEED_FONT(dejavu, "DejaVu Sans");
  const std::vector<uint8_t> file = dejavu->FontFile();
  const std::vector<uint32_t> some = {36, 37};

  std::vector<uint8_t> otto(file.begin(), file.begin() + 64);
  otto[0] = 'O', otto[1] = 'T', otto[2] = 'T', otto[3] = 'O';
  EXPECT_THROW(SubsetTrueType(otto.data(), otto.size(), 0, some), EFontError);
  // Cut inside its table directory, then inside its tables.
  EXPECT_THROW(SubsetTrueType(file.data(), 40, 0, some), EFontError);
  EXPECT_THROW(SubsetTrueType(file.data(), file.size() / 2, 0, some), EFontError);
  EXPECT_THROW(SubsetTrueType(file.data(), 0, 0, some), EFontError);
  // A collection without the face asked for.
  std::vector<uint8_t> ttc = {'t', 't', 'c', 'f', 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 16};
  ttc.insert(ttc.end(), file.begin(), file.begin() + 1024);
  EXPECT_THROW(SubsetTrueType(ttc.data(), ttc.size(), 3, some), EFontError);

  // A composite glyph naming itself as its component ends.
  std::vector<uint8_t> loop = file;
  const size_t head = FontTableOffset(loop, "head"), loca = FontTableOffset(loop, "loca"), glyf = FontTableOffset(loop, "glyf");
  ASSERT_TRUE(head && loca && glyf);
  const bool longLoca = loop[head + 51] != 0;
  const uint32_t g = 36;
  const size_t start = longLoca ? FontBE32(loop, loca + 4 * g) : 2 * (size_t(loop[loca + 2 * g]) << 8 | loop[loca + 2 * g + 1]);
  uint8_t* p = loop.data() + glyf + start;
  const uint8_t composite[] = {0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x20, 0, uint8_t(g), 0, 0,
                               0x00, 0x00, 0, uint8_t(g), 0, 0};
  std::copy(std::begin(composite), std::end(composite), p);
  const std::vector<uint8_t> out = SubsetTrueType(loop.data(), loop.size(), 0, {g});
  EXPECT_GT(out.size(), 100u);
}
