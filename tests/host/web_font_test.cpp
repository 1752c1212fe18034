// The Lato that the browser viewer embeds is cut down when the program is built: it keeps only what the renderer
// reads (outlines, metrics, the character map) and the glyphs of the ranges that the program's texts and the names
// of machines and processes reasonably need. Every glyph it keeps must draw exactly as in Debian's whole font, the
// box for a missing character included, and every range it promises must be there whole.
#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <iterator>
#include <vector>

#include "drawing/font.h"

namespace {

std::vector<u8> read_all(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<u8>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct WebFont : ::testing::Test {
  std::vector<u8> whole_bytes = read_all("/usr/share/fonts/truetype/lato/Lato-Regular.ttf");
  std::vector<u8> web_bytes = read_all(VIMBREL_WEB_FONT);
  mem::Arena arena{};
  font::Face whole{}, web{};
  font::Outline a{}, b{};

  void SetUp() override {
    ASSERT_FALSE(whole_bytes.empty());
    ASSERT_FALSE(web_bytes.empty()) << VIMBREL_WEB_FONT;
    ASSERT_EQ(mem::arena_init(&arena, 64 << 20), 1u);
    ASSERT_EQ(font::parse(&whole, whole_bytes.data(), whole_bytes.size(), &arena), font::ok);
    ASSERT_EQ(font::parse(&web, web_bytes.data(), web_bytes.size(), &arena), font::ok);
    ASSERT_EQ(font::outline_init(&a, &arena, 4096, 512), 1u);
    ASSERT_EQ(font::outline_init(&b, &arena, 4096, 512), 1u);
  }
  void TearDown() override { mem::release(&arena); }

  static std::vector<std::array<i32, 3>> points(const font::Outline& o) {
    std::vector<std::array<i32, 3>> p;
    for (u32 i = 0; i < o.point_count; ++i) p.push_back({o.x[i], o.y[i], o.flags[i]});
    for (u32 i = 0; i < o.contour_count; ++i) p.push_back({-1, o.ends[i], 0});
    return p;
  }
  // The glyph of the web font draws as the whole font's: the same advance, bearing and outline.
  void same_glyph(u32 web_glyph, u32 whole_glyph, u32 code_point) {
    EXPECT_EQ(font::advance(web, web_glyph), font::advance(whole, whole_glyph)) << std::hex << code_point;
    EXPECT_EQ(font::bearing(web, web_glyph), font::bearing(whole, whole_glyph)) << std::hex << code_point;
    ASSERT_EQ(font::outline(web, web_glyph, &a), font::ok) << std::hex << code_point;
    ASSERT_EQ(font::outline(whole, whole_glyph, &b), font::ok) << std::hex << code_point;
    EXPECT_EQ(points(a), points(b)) << std::hex << code_point;
  }
};

TEST_F(WebFont, EveryKeptGlyphDrawsAsInTheWholeFont) {
  EXPECT_EQ(web.units_per_em, whole.units_per_em);
  EXPECT_EQ(web.ascender, whole.ascender);
  EXPECT_EQ(web.descender, whole.descender);
  EXPECT_EQ(web.line_gap, whole.line_gap);
  // A character the font lacks shows the same box as before.
  same_glyph(0, 0, 0);
  EXPECT_GT(a.point_count, 0u);
  u32 kept = 0;
  for (u32 cp = 0; cp < 0x110000; ++cp) {
    const u32 g = font::glyph_of(web, cp);
    if (g == 0) continue;
    ++kept;
    const u32 w = font::glyph_of(whole, cp);
    ASSERT_NE(w, 0u) << std::hex << cp;
    same_glyph(g, w, cp);
  }
  EXPECT_GT(kept, 1000u);
}

TEST_F(WebFont, TheRangesThatNamesNeedAreKeptWhole) {
  struct Range {
    u32 first, last;
    const char* name;
  } ranges[] = {
      {0x20, 0x7E, "Basic Latin"},
      {0xA0, 0xFF, "Latin-1 Supplement (the degree sign among it)"},
      {0x100, 0x17F, "Latin Extended-A"},
      {0x180, 0x24F, "Latin Extended-B"},
      {0x300, 0x36F, "combining marks (names written decomposed)"},
      {0x370, 0x3FF, "Greek"},
      {0x400, 0x52F, "Cyrillic and its supplement"},
      {0x1E00, 0x1EFF, "Latin Extended Additional"},
      {0x2000, 0x206F, "General Punctuation"},
      {0x20A0, 0x20CF, "currency signs"},
  };
  for (const Range& r : ranges) {
    u32 missing = 0;
    for (u32 cp = r.first; cp <= r.last; ++cp)
      if (font::glyph_of(whole, cp) != 0 && font::glyph_of(web, cp) == 0) ++missing;
    EXPECT_EQ(missing, 0u) << r.name;
  }
}

}  // namespace
