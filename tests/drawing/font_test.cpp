#include "drawing/font.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "sfnt_builder.h"
#include "tests/support/testutil.h"
#include "tests/fuzz/font_exercise.h"

namespace {

using sfnt::Buf;

const char* const kLato = "/usr/share/fonts/truetype/lato/Lato-Regular.ttf";
const char* const kDejaVuSans = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
const char* const kDejaVuMono = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";

Buf file_bytes(const char* path) {
  std::string s = testutil::read_file(path);
  return Buf(s.begin(), s.end());
}

// Glyphs of the sample font:
//   0 a square (.notdef)       1 two contours, one with curves and long deltas       2 empty (a space)
//   3 composite: glyph 1 moved, glyph 0 at half size         4 composite: glyph 0 twice, joined by point matching
const sfnt::Contour kSquare = {{0, 0, true}, {0, 700, true}, {500, 700, true}, {500, 0, true}};
const std::vector<sfnt::Contour> kTwoContours = {
    {{0, 0, true}, {0, 1000, true}, {1000, 1000, true}, {1000, 0, true}},
    {{200, 200, true}, {500, 800, false}, {800, 200, true}, {500, 100, false}, {500, 100, false}}};

std::vector<Buf> sample_glyphs() {
  return {sfnt::simple_glyph({kSquare}, 3), sfnt::simple_glyph(kTwoContours), Buf{},
          sfnt::composite_glyph({{2, 1, 50, -20, {}}, {2, 0, -300, 0, {0x2000}}}),
          sfnt::composite_glyph({{2, 0, 0, 0, {}}, {0, 0, 2, 0, {}}})};
}

const std::vector<sfnt::Metric> kMetrics = {{500, 0}, {1100, 10}, {300, -5}, {1200, 7}, {1000, 0}};

Buf sample_cmap4() {
  return sfnt::cmap_format4({{0x20, 0x20, (2 - 0x20) & 0xFFFF, {}},
                             {0x41, 0x43, 0, {1, 0, 3}},
                             {0x44, 0x44, (4 - 0x44) & 0xFFFF, {}},
                             {0x45, 0x45, (9 - 0x45) & 0xFFFF, {}},
                             {0xFFFF, 0xFFFF, 1, {}}});
}

// Maps 0x41 to glyph 4, so a test can tell which subtable was chosen.
Buf sample_cmap12() { return sfnt::cmap_format12({{0x20, 0x20, 2}, {0x41, 0x41, 4}, {0x1F600, 0x1F601, 3}}); }

sfnt::Tables sample_tables(uint32_t loca_format = 1) {
  return sfnt::tables(sample_glyphs(), kMetrics, 5, sfnt::cmap({{3, 1, sample_cmap4()}}), 1000, loca_format);
}

struct FontTest : ::testing::Test {
  mem::Arena arena{};
  font::Outline out{};
  void SetUp() override {
    ASSERT_EQ(mem::arena_init(&arena, 64 << 20), 1u);
    ASSERT_EQ(font::outline_init(&out, &arena, 4096, 512), 1u);
  }
  void TearDown() override { mem::release(&arena); }
  // The file is kept alive by the test object, as the face only references it.
  Buf file;
  u32 parse(const Buf& bytes, font::Face* face) {
    file = bytes;
    return font::parse(face, file.data(), file.size(), &arena);
  }
  std::vector<std::array<int32_t, 3>> points() const {
    std::vector<std::array<int32_t, 3>> p;
    for (u32 i = 0; i < out.point_count; ++i) p.push_back({out.x[i], out.y[i], out.flags[i]});
    return p;
  }
};

TEST_F(FontTest, ReadsMetricsAndMapsCodePoints) {
  font::Face face;
  ASSERT_EQ(parse(sfnt::assemble(sample_tables()), &face), font::ok);
  EXPECT_EQ(face.glyph_count, 5u);
  EXPECT_EQ(face.units_per_em, 1000u);
  EXPECT_EQ(face.ascender, 800);
  EXPECT_EQ(face.descender, -200);
  EXPECT_EQ(face.line_gap, 90);
  EXPECT_EQ(face.glyph_mask, 0xFFFFu);
  struct Case { u32 code_point, glyph; };
  for (Case c : {Case{0x20, 2}, Case{0x41, 1}, Case{0x42, 0} /* glyph word 0, whatever the delta */, Case{0x43, 3},
                 Case{0x44, 4}, Case{0x45, 0} /* mapped past the glyph count */, Case{0x1F, 0},
                 Case{0x40, 0} /* below the range's first, which has a glyph array */, Case{0xFFFF, 0},
                 Case{0x10000, 0} /* above every range */, Case{0xFFFFFFFF, 0}})
    EXPECT_EQ(font::glyph_of(face, c.code_point), c.glyph) << std::hex << c.code_point;
  for (u32 g = 0; g < 5; ++g) {
    EXPECT_EQ(font::advance(face, g), kMetrics[g].advance);
    EXPECT_EQ(font::bearing(face, g), kMetrics[g].bearing);
  }
  EXPECT_EQ(font::advance(face, 5), 0u);
  EXPECT_EQ(font::bearing(face, 5), 0);
}

TEST_F(FontTest, ShortMetricsRepeatTheLastAdvance) {
  font::Face face;
  ASSERT_EQ(parse(sfnt::assemble(sfnt::tables(sample_glyphs(), kMetrics, 1, sfnt::cmap({{0, 3, sample_cmap4()}}))),
                  &face),
            font::ok);
  for (u32 g = 0; g < 5; ++g) {
    EXPECT_EQ(font::advance(face, g), 500u);
    EXPECT_EQ(font::bearing(face, g), kMetrics[g].bearing);
  }
}

TEST_F(FontTest, Format12WinsWhateverTheOrder) {
  for (bool twelve_first : {false, true}) {
    sfnt::Encoding four{3, 1, sample_cmap4()}, twelve{0, 4, sample_cmap12()};
    auto records = twelve_first ? std::vector<sfnt::Encoding>{twelve, four} : std::vector<sfnt::Encoding>{four, twelve};
    font::Face face;
    ASSERT_EQ(parse(sfnt::assemble(sfnt::tables(sample_glyphs(), kMetrics, 5, sfnt::cmap(records))), &face), 0u);
    EXPECT_EQ(face.glyph_mask, 0xFFFFFFFFu);
    EXPECT_EQ(font::glyph_of(face, 0x41), 4u);
    EXPECT_EQ(font::glyph_of(face, 0x1F600), 3u);
    EXPECT_EQ(font::glyph_of(face, 0x1F601), 4u);
    EXPECT_EQ(font::glyph_of(face, 0x1F602), 0u);
    EXPECT_EQ(font::glyph_of(face, 0x42), 0u);
  }
}

TEST_F(FontTest, DecodesSimpleGlyphsInBothLocaFormats) {
  for (uint32_t format : {0u, 1u}) {
    font::Face face;
    ASSERT_EQ(parse(sfnt::assemble(sample_tables(format)), &face), font::ok);
    EXPECT_EQ(face.loca_format, format);
    ASSERT_EQ(font::outline(face, 1, &out), font::ok);
    std::vector<std::array<int32_t, 3>> want;
    for (const auto& c : kTwoContours)
      for (const auto& p : c) want.push_back({p.x, p.y, p.on ? 1 : 0});
    EXPECT_EQ(points(), want);
    ASSERT_EQ(out.contour_count, 2u);
    EXPECT_EQ(out.ends[0], 3);
    EXPECT_EQ(out.ends[1], 8);
    EXPECT_EQ(out.component_count, 0u);
    // An empty glyph (equal loca offsets) succeeds with nothing in it.
    ASSERT_EQ(font::outline(face, 2, &out), font::ok);
    EXPECT_EQ(out.point_count + out.contour_count, 0u);
  }
}

TEST_F(FontTest, PlacesCompositeComponents) {
  font::Face face;
  ASSERT_EQ(parse(sfnt::assemble(sample_tables()), &face), font::ok);
  ASSERT_EQ(font::outline(face, 3, &out), font::ok);
  std::vector<std::array<int32_t, 3>> want;
  for (const auto& c : kTwoContours)
    for (const auto& p : c) want.push_back({p.x + 50, p.y - 20, p.on ? 1 : 0});
  for (const auto& p : kSquare) want.push_back({p.x / 2 - 300, p.y / 2, 1});
  EXPECT_EQ(points(), want);
  EXPECT_EQ(out.component_count, 2u);
  ASSERT_EQ(out.contour_count, 3u);
  EXPECT_EQ(out.ends[2], 12);  // absolute in the buffer

  // Point matching: the second square's point 0 lands on the first square's point 2.
  ASSERT_EQ(font::outline(face, 4, &out), font::ok);
  want.clear();
  for (const auto& p : kSquare) want.push_back({p.x, p.y, 1});
  for (const auto& p : kSquare) want.push_back({p.x + 500, p.y + 700, 1});
  EXPECT_EQ(points(), want);
}

TEST_F(FontTest, AppliesComponentTransforms) {
  struct Case {
    const char* name;
    sfnt::Component part;
    std::array<int32_t, 2> corner;  // where the square's corner (500, 700) goes
  };
  const Case cases[] = {
      {"offsets unscaled by default", {2, 0, 100, 60, {0x2000}}, {350, 410}},
      {"bit 11 scales the offsets", {0x802, 0, 100, 60, {0x2000}}, {300, 380}},
      {"bits 11 and 12 keep them", {0x1802, 0, 100, 60, {0x2000}}, {350, 410}},
      {"x and y scale", {2, 0, 0, 0, {-0x4000, 0x2000}}, {-500, 350}},
      {"two by two swaps the axes", {2, 0, 0, 0, {0, 0x4000, 0x4000, 0}}, {700, 500}},
  };
  for (const Case& c : cases) {
    auto glyphs = sample_glyphs();
    glyphs[3] = sfnt::composite_glyph({c.part});
    // Glyph 4 nests glyph 3 at half size, moved by (10, 10): the transforms compose.
    glyphs[4] = sfnt::composite_glyph({{2, 3, 10, 10, {0x2000}}});
    font::Face face;
    ASSERT_EQ(parse(sfnt::assemble(sfnt::tables(glyphs, kMetrics, 5, sfnt::cmap({{3, 1, sample_cmap4()}}))), &face),
              0u);
    ASSERT_EQ(font::outline(face, 3, &out), font::ok) << c.name;
    EXPECT_EQ(out.x[2], c.corner[0]) << c.name;
    EXPECT_EQ(out.y[2], c.corner[1]) << c.name;
    ASSERT_EQ(font::outline(face, 4, &out), font::ok) << c.name;
    EXPECT_EQ(out.x[2], c.corner[0] / 2 + 10) << c.name;
    EXPECT_EQ(out.y[2], c.corner[1] / 2 + 10) << c.name;
  }
}

TEST(FontTransform, RoundsAndComposes) {
  font::Transform half{0x2000, 0, 0, 0x2000, 3, -4};
  EXPECT_EQ(font::apply_x(half, 3, 0), 5);   // 1.5 rounds up, then + 3
  EXPECT_EQ(font::apply_y(half, 0, -3), -5);  // -1.5 rounds up to -1, then - 4
  font::Transform id = font::identity();
  for (i32 v : {0, 1, -1, 32767, -32768, 0x3FFFFFFF}) EXPECT_EQ(font::apply_x(id, v, 12345), v);
  font::Transform c = font::compose(half, font::Transform{0, 0x4000, 0x4000, 0, 10, 20});
  // The local swap first, then the parent's half size and offset.
  EXPECT_EQ(font::apply_x(c, 100, 200), (200 + 10) / 2 + 3);
  EXPECT_EQ(font::apply_y(c, 100, 200), (100 + 20) / 2 - 4);
  // Hostile matrices wrap instead of overflowing.
  font::Transform huge{INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX};
  font::apply_x(huge, INT32_MIN, INT32_MIN);
  font::compose(huge, huge);
}

TEST(FontSearch, FirstNotBelowMatchesLinearSearch) {
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    std::vector<u32> last(rng() % 20);
    u32 v = 0;
    for (u32& l : last) l = v += 1 + rng() % 5;
    for (u32 cp = 0; cp <= v + 2; ++cp) {
      u32 want = static_cast<u32>(std::lower_bound(last.begin(), last.end(), cp) - last.begin());
      ASSERT_EQ(font::first_not_below(last.data(), static_cast<u32>(last.size()), cp), want);
    }
  }
}

// ---- refused files

struct Refusal {
  const char* name;
  std::function<void(sfnt::Tables&)> edit;
  u32 code;
};

TEST_F(FontTest, RefusesBrokenTables) {
  auto cmap_of = [](Buf sub) { return sfnt::cmap({{3, 1, std::move(sub)}}); };
  const Refusal cases[] = {
      {"no hmtx", [](sfnt::Tables& t) { t.erase("hmtx"); }, font::missing_table},
      {"head shorter than 54", [](sfnt::Tables& t) { t["head"].resize(53); }, font::bad_head},
      {"head magic", [](sfnt::Tables& t) { sfnt::set32(t["head"], 12, 0x5F0F3CF4); }, font::bad_head},
      {"units per em 15", [](sfnt::Tables& t) { sfnt::set16(t["head"], 18, 15); }, font::bad_head},
      {"units per em 16384", [](sfnt::Tables& t) { sfnt::set16(t["head"], 18, 16384); }, font::ok},
      {"units per em 16385", [](sfnt::Tables& t) { sfnt::set16(t["head"], 18, 16385); }, font::bad_head},
      {"loca format 2", [](sfnt::Tables& t) { sfnt::set16(t["head"], 50, 2); }, font::bad_head},
      {"loca format read unsigned", [](sfnt::Tables& t) { sfnt::set16(t["head"], 50, 0xFFFF); }, font::bad_head},
      {"hhea shorter than 36", [](sfnt::Tables& t) { t["hhea"].resize(35); }, font::bad_hhea},
      {"no long metrics", [](sfnt::Tables& t) { sfnt::set16(t["hhea"], 34, 0); }, font::bad_hhea},
      {"more long metrics than glyphs", [](sfnt::Tables& t) { sfnt::set16(t["hhea"], 34, 6); }, font::bad_hhea},
      {"maxp shorter than 6", [](sfnt::Tables& t) { t["maxp"].resize(5); }, font::bad_maxp},
      {"no glyphs", [](sfnt::Tables& t) { sfnt::set16(t["maxp"], 4, 0); }, font::bad_maxp},
      {"hmtx short by one bearing", [](sfnt::Tables& t) { t["hmtx"].resize(18); }, font::bad_hmtx},
      {"loca offsets decrease", [](sfnt::Tables& t) { sfnt::set32(t["loca"], 8, 0); }, font::bad_loca},
      {"loca past glyf", [](sfnt::Tables& t) { sfnt::set32(t["loca"], 20, 0x10000); }, font::bad_loca},
      {"loca table short", [](sfnt::Tables& t) { t["loca"].resize(22); }, font::bad_loca},
      {"cmap shorter than 4", [](sfnt::Tables& t) { t["cmap"].resize(3); }, font::bad_cmap},
      {"only a Macintosh map", [&](sfnt::Tables& t) { t["cmap"] = sfnt::cmap({{1, 0, sample_cmap4()}}); },
       font::bad_cmap},
      {"symbol encoding", [&](sfnt::Tables& t) { t["cmap"] = sfnt::cmap({{3, 0, sample_cmap4()}}); }, font::bad_cmap},
      {"format 6 only", [&](sfnt::Tables& t) { Buf s = sample_cmap4(); sfnt::set16(s, 0, 6); t["cmap"] = cmap_of(s); },
       font::bad_cmap},
      {"subtable past the table",
       [](sfnt::Tables& t) { Buf& c = t["cmap"]; sfnt::set32(c, 8, static_cast<uint32_t>(c.size() - 1)); },
       font::bad_cmap},
      {"segCountX2 7", [&](sfnt::Tables& t) { Buf s = sample_cmap4(); sfnt::set16(s, 6, 7); t["cmap"] = cmap_of(s); },
       font::bad_cmap},
      {"segCountX2 0", [&](sfnt::Tables& t) { Buf s = sample_cmap4(); sfnt::set16(s, 6, 0); t["cmap"] = cmap_of(s); },
       font::bad_cmap},
      {"segment arrays past the table",
       [&](sfnt::Tables& t) { Buf s = sample_cmap4(); sfnt::set16(s, 6, 2000); t["cmap"] = cmap_of(s); },
       font::bad_cmap},
      {"segments out of order",
       [&](sfnt::Tables& t) { t["cmap"] = cmap_of(sfnt::cmap_format4({{0x41, 0x50, 0, {}}, {0x30, 0x40, 0, {}}})); },
       font::bad_cmap},
      {"segment last below first", [&](sfnt::Tables& t) { t["cmap"] = cmap_of(sfnt::cmap_format4({{0x41, 0x40, 0, {}}})); },
       font::bad_cmap},
      {"format 12 without groups", [&](sfnt::Tables& t) { t["cmap"] = cmap_of(sfnt::cmap_format12({})); }, font::bad_cmap},
      {"format 12 group count that wraps 32 bits",
       [&](sfnt::Tables& t) { Buf s = sample_cmap12(); sfnt::set32(s, 12, 0x15555556); t["cmap"] = cmap_of(s); },
       font::bad_cmap},
      {"format 12 header cut",
       [&](sfnt::Tables& t) { Buf s = sample_cmap12(); s.resize(15); t["cmap"] = cmap_of(s); }, font::bad_cmap},
      {"format 12 groups overlap",
       [&](sfnt::Tables& t) { t["cmap"] = cmap_of(sfnt::cmap_format12({{0x20, 0x41, 1}, {0x41, 0x42, 2}})); },
       font::bad_cmap},
      {"format 12 group last below first",
       [&](sfnt::Tables& t) { t["cmap"] = cmap_of(sfnt::cmap_format12({{0x42, 0x41, 1}})); }, font::bad_cmap},
  };
  for (const Refusal& c : cases) {
    sfnt::Tables t = sample_tables();
    c.edit(t);
    font::Face face;
    EXPECT_EQ(parse(sfnt::assemble(t), &face), c.code) << c.name;
    if (c.code != font::ok) {
      EXPECT_EQ(face.bytes, nullptr) << c.name << ": the face is zeroed";
    }
  }
}

TEST_F(FontTest, RefusesBrokenFiles) {
  const Buf good = sfnt::assemble(sample_tables());
  struct Case {
    const char* name;
    std::function<void(Buf&)> edit;
    u32 code;
  };
  // The directory record of loca (tables are sorted: cmap glyf head hhea hmtx loca maxp).
  const size_t loca_record = 12 + 16 * 5;
  const Case cases[] = {
      {"11 bytes", [](Buf& b) { b.resize(11); }, font::too_short},
      {"OpenType CFF", [](Buf& b) { sfnt::set32(b, 0, 0x4F54544F); }, font::bad_directory},
      {"Apple true", [](Buf& b) { sfnt::set32(b, 0, 0x74727565); }, font::ok},
      {"directory past the end", [](Buf& b) { sfnt::set16(b, 4, 0x4000); }, font::bad_directory},
      {"table past the end", [&](Buf& b) { sfnt::set32(b, loca_record + 12, static_cast<uint32_t>(b.size())); },
       font::table_past_end},
      {"offset plus length wraps 32 bits",
       [&](Buf& b) {
         sfnt::set32(b, loca_record + 8, 0xFFFFFF00);
         sfnt::set32(b, loca_record + 12, 0x200);
       },
       font::table_past_end},
  };
  for (const Case& c : cases) {
    Buf b = good;
    c.edit(b);
    font::Face face;
    EXPECT_EQ(parse(b, &face), c.code) << c.name;
  }
  // The length is refused before a byte is read.
  font::Face face;
  EXPECT_EQ(font::parse(&face, good.data(), 0x80000000ull, &arena), font::too_long);
  // An arena that cannot hold the arrays.
  mem::Arena small{};
  ASSERT_EQ(mem::arena_init(&small, 16), 1u);
  EXPECT_EQ(font::parse(&face, good.data(), good.size(), &small), font::no_memory);
  mem::release(&small);
}

TEST_F(FontTest, RefusesBrokenGlyphs) {
  struct Case {
    const char* name;
    Buf glyph3;
    u32 code;
  };
  Buf nine(9, 0);
  nine[1] = 1;
  Buf cut = sfnt::simple_glyph(kTwoContours);
  cut.resize(cut.size() - 2);  // glyphs are padded to even lengths
  Buf ends = sfnt::simple_glyph(kTwoContours);
  sfnt::set16(ends, 12, 3);  // second contour ends where the first does
  Buf flags_cut = sfnt::simple_glyph({kSquare});
  flags_cut.resize(10 + 2 + 2 + 1);  // the repeat byte of the flag run is missing
  Buf component_cut = sfnt::composite_glyph({{2, 0, 0, 0, {0x2000}}});
  component_cut.resize(component_cut.size() - 2);
  std::vector<sfnt::Component> many(1025, sfnt::Component{2, 2, 0, 0, {}});
  std::vector<sfnt::Component> enough(1024, sfnt::Component{2, 2, 0, 0, {}});
  const Case cases[] = {
      {"data shorter than the header", nine, font::bad_glyph},
      {"coordinates cut", cut, font::bad_glyph},
      {"flags cut", flags_cut, font::bad_glyph},
      {"contour ends not increasing", ends, font::bad_glyph},
      {"component cut", component_cut, font::bad_glyph},
      {"component glyph past the count", sfnt::composite_glyph({{2, 5, 0, 0, {}}}), font::bad_glyph},
      {"parent point out of range", sfnt::composite_glyph({{2, 0, 0, 0, {}}, {0, 0, 4, 0, {}}}), font::bad_glyph},
      {"child point out of range", sfnt::composite_glyph({{2, 0, 0, 0, {}}, {0, 0, 0, 4, {}}}), font::bad_glyph},
      {"refers to itself", sfnt::composite_glyph({{2, 3, 0, 0, {}}}), font::too_deep},
      {"1,025 components", sfnt::composite_glyph(many), font::too_many_components},
      {"1,024 components", sfnt::composite_glyph(enough), font::ok},
  };
  for (const Case& c : cases) {
    auto glyphs = sample_glyphs();
    glyphs[3] = c.glyph3;
    font::Face face;
    ASSERT_EQ(parse(sfnt::assemble(sfnt::tables(glyphs, kMetrics, 5, sfnt::cmap({{3, 1, sample_cmap4()}}))), &face),
              0u)
        << c.name;
    EXPECT_EQ(font::outline(face, 3, &out), c.code) << c.name;
  }
  font::Face face;
  ASSERT_EQ(parse(sfnt::assemble(sample_tables()), &face), font::ok);
  EXPECT_EQ(font::outline(face, 5, &out), font::bad_glyph);
}

TEST_F(FontTest, EnforcesOutlineCapacities) {
  font::Face face;
  ASSERT_EQ(parse(sfnt::assemble(sample_tables()), &face), font::ok);
  struct Case { u32 points, contours, glyph, code; };
  for (Case c : {Case{9, 2, 1, font::ok}, Case{8, 2, 1, font::outline_full}, Case{9, 1, 1, font::outline_full},
                 Case{13, 3, 3, font::ok}, Case{12, 3, 3, font::outline_full}, Case{13, 2, 3, font::outline_full}}) {
    font::Outline small;
    ASSERT_EQ(font::outline_init(&small, &arena, c.points, c.contours), 1u);
    EXPECT_EQ(font::outline(face, c.glyph, &small), c.code) << c.points << " points " << c.contours << " contours";
  }
  font::Outline refused;
  EXPECT_EQ(font::outline_init(&refused, &arena, 0, 1), 0u);
  EXPECT_EQ(font::outline_init(&refused, &arena, 65536, 1), 0u);
  EXPECT_EQ(font::outline_init(&refused, &arena, 1, 0), 0u);
  EXPECT_EQ(font::outline_init(&refused, &arena, 65535, 1), 1u);
}

// ---- the fonts the program draws with

struct RealFont {
  const char* path;
  u32 units_per_em, mask;
};

TEST_F(FontTest, ReadsInstalledFonts) {
  for (RealFont f : {RealFont{kLato, 2000, 0xFFFF}, RealFont{kDejaVuSans, 2048, 0xFFFFFFFF},
                     RealFont{kDejaVuMono, 2048, 0xFFFFFFFF}}) {
    SCOPED_TRACE(f.path);
    font::Face face;
    ASSERT_EQ(parse(file_bytes(f.path), &face), font::ok);
    EXPECT_EQ(face.units_per_em, f.units_per_em);
    EXPECT_EQ(face.glyph_mask, f.mask);
    EXPECT_GT(face.ascender, 0);
    EXPECT_LT(face.descender, 0);
    for (u32 cp = 0x20; cp <= 0x7E; ++cp) {
      u32 g = font::glyph_of(face, cp);
      ASSERT_NE(g, 0u) << cp;
      ASSERT_EQ(font::outline(face, g, &out), font::ok) << cp;
      EXPECT_EQ(out.point_count == 0, cp == 0x20) << cp;
      EXPECT_GT(font::advance(face, g), 0u) << cp;
    }
    EXPECT_NE(font::glyph_of(face, 0xE9), 0u);  // é
    u32 composites = 0;
    for (u32 g = 0; g < face.glyph_count; ++g) {
      ASSERT_EQ(font::outline(face, g, &out), font::ok) << "glyph " << g;
      composites += out.component_count > 0;
    }
    EXPECT_GT(composites, 100u);
  }
}

TEST_F(FontTest, MonospaceAdvancesComeFromShortMetrics) {
  font::Face face;
  ASSERT_EQ(parse(file_bytes(kDejaVuMono), &face), font::ok);
  ASSERT_LT(face.long_metrics, font::glyph_of(face, 'A'));
  for (u32 cp = 0x21; cp <= 0x7E; ++cp) EXPECT_EQ(font::advance(face, font::glyph_of(face, cp)), 1233u) << cp;
}

// ---- untrusted input: the same file with random damage, under the sanitizers

struct Mutator {
  std::mt19937_64 rng;
  u64 below(u64 n) { return n ? rng() % n : 0; }
  // Damage that reaches the parser's decisions: header words of the directory and of each table, lengths and
  // offsets set to edge values, random bytes anywhere, and cut files.
  void damage(Buf& b, const std::vector<std::pair<u32, u32>>& tables) {
    static const u32 edges[] = {0, 1, 2, 0x7F, 0x80, 0xFF, 0x7FFF, 0x8000, 0xFFFF, 0x10000, 0x7FFFFFFF, 0xFFFFFFFF};
    u32 count = 1 + static_cast<u32>(below(4));
    for (u32 i = 0; i < count; ++i) {
      u64 at;
      switch (below(4)) {
        case 0: at = below(12 + 16 * tables.size()); break;
        case 1: {
          auto t = tables[below(tables.size())];
          at = t.first + below(std::min<u32>(t.second, 64) + 1);
          break;
        }
        default: at = below(b.size()); break;
      }
      if (at + 4 > b.size()) continue;
      switch (below(4)) {
        case 0: b[at] ^= static_cast<u8>(1u << below(8)); break;
        case 1: sfnt::set16(b, at, edges[below(std::size(edges))]); break;
        case 2: sfnt::set32(b, at, edges[below(std::size(edges))]); break;
        default: b[at] = static_cast<u8>(rng()); break;
      }
    }
    if (below(16) == 0) b.resize(below(b.size()));
  }
};

TEST(FontMutation, DamagedFontsGiveResultCodes) {
  mem::Arena arena{};
  ASSERT_EQ(mem::arena_init(&arena, 16 << 20), 1u);
  Mutator m{std::mt19937_64(0x5EED)};
  u32 seen[18] = {};
  // The small seed (also the fuzzer's) holds both map formats and every composite form; the real fonts hold size.
  const std::string seed = std::string(VIMBREL_FIXTURES) + "/drawing/seed.ttf";
  for (const char* path : {seed.c_str(), kLato, kDejaVuMono}) {
    const Buf original = file_bytes(path);
    ASSERT_EQ(exercise::font_bytes(original.data(), original.size(), &arena), font::ok) << path;
    std::vector<std::pair<u32, u32>> tables;
    u32 n = static_cast<u32>(original[4]) << 8 | original[5];
    for (u32 i = 0; i < n; ++i) {
      size_t r = 12 + 16 * i;
      tables.push_back({static_cast<u32>(original[r + 8]) << 24 | original[r + 9] << 16 | original[r + 10] << 8 |
                            original[r + 11],
                        static_cast<u32>(original[r + 12]) << 24 | original[r + 13] << 16 | original[r + 14] << 8 |
                            original[r + 15]});
    }
    for (int round = 0; round < 400; ++round) {
      Buf b = original;
      m.damage(b, tables);
      u32 code = exercise::font_bytes(b.data(), b.size(), &arena);
      ASSERT_LE(code, 17u);
      seen[code]++;
    }
  }
  // The damage reaches more than the directory.
  u32 kinds = 0;
  for (u32 s : seen) kinds += s > 0;
  EXPECT_GE(kinds, 5u);
  mem::release(&arena);
}

}  // namespace
