#include "drawing/pie.h"

#include <gtest/gtest.h>

#include <vector>

#include "drawing/curve.h"

namespace {

constexpr u32 used_c[5] = {0xFF0000F0, 0xFF00F000, 0xFFF00000, 0xFF101010, 0xFF202020};
constexpr u32 free_c[5] = {0xFF000080, 0xFF008000, 0xFF800000, 0xFF111111, 0xFF212121};
constexpr u32 empty_c = 0xFF404040;
constexpr u32 bg = 0xFFFFFFFF;

pie::Table build(std::vector<u64> totals, std::vector<u64> used) {
  pie::Table t;
  pie::build(&t, totals.data(), static_cast<u32>(totals.size()), used.data(), used_c, free_c, empty_c);
  return t;
}

TEST(Pie, AnglesFromTwelveOclockClockwise) {
  EXPECT_EQ(pie::atan_unit(0), 0u);
  EXPECT_EQ(pie::atan_unit(65536), 8192u);
  struct Case {
    i32 x, y;
    u32 angle;
  } cases[] = {{0, -5, 0},     {5, 0, 16384},      {0, 5, 32768},     {-5, 0, 49152},
               {0, 0, 0},      {5, -5, 8192},      {-5, -5, 57344},   {5, 5, 24576},
               {-5, 5, 40960}, {-1000000, -1, 49152 + 0}};
  for (const Case& c : cases) EXPECT_EQ(pie::angle_of(c.x, c.y), c.angle) << c.x << "," << c.y;
  // Angles grow clockwise all the way round.
  u32 last = 0;
  for (i32 step = 1; step < 64; step++) {
    double a = step * 6.283185307179586 / 64;
    u32 now = pie::angle_of(static_cast<i32>(__builtin_sin(a) * 100000), static_cast<i32>(-__builtin_cos(a) * 100000));
    EXPECT_GT(now, last) << step;
    last = now;
  }
}

TEST(Pie, BuildsGroupsWithEasedShares) {
  // All totals 0: one sector over the whole turn in the empty colour, starting no group (so no gap).
  pie::Table t = build({0, 0}, {0, 0});
  EXPECT_EQ(t.count, 1u);
  EXPECT_EQ(t.bounds[0], 0u);
  EXPECT_EQ(t.bounds[1], 65536u);
  EXPECT_EQ(t.colours[0], empty_c);
  EXPECT_EQ(t.series[0], pie::no_series);
  EXPECT_EQ(t.group_starts, 0u);

  // One group fully used: one sector; with nothing used its free sector starts the group.
  t = build({100}, {100});
  EXPECT_EQ(t.count, 1u);
  EXPECT_EQ(t.colours[0], used_c[0]);
  EXPECT_EQ(t.used_starts, 1u);
  EXPECT_EQ(t.group_starts, 1u);
  t = build({100}, {0});
  EXPECT_EQ(t.count, 1u);
  EXPECT_EQ(t.colours[0], free_c[0]);
  EXPECT_EQ(t.used_starts, 0u);
  EXPECT_EQ(t.group_starts, 1u);

  // Shares 65470 and 65: the small group is raised to 2048, the large one lowered by the deficit 1983 to 63487.
  EXPECT_EQ(pie::ease(65470, 1983, 65470 - 2048), 63487u);
  EXPECT_EQ(pie::ease(65, 1983, 65470 - 2048), 2048u);
  t = build({1000, 1}, {500, 1});
  ASSERT_EQ(t.count, 3u);
  EXPECT_EQ(t.bounds[1], 63487u / 2 & ~31u);  // used half of the first group
  EXPECT_EQ(t.bounds[2], 63487u & ~31u);      // the second group, fully used
  EXPECT_EQ(t.bounds[3], 65536u);
  EXPECT_EQ(t.group_starts, 0b101u);
  EXPECT_EQ(t.used_starts, 0b101u);
  EXPECT_EQ(t.series[1], 0);
  EXPECT_EQ(t.series[2], 1);

  // Used above the total counts as the total; items from the fifth on join group 4.
  t = build({1, 1, 1, 1, 1, 1, 1, 1}, {0, 0, 0, 0, 9, 0, 0, 1});
  ASSERT_EQ(t.count, 6u);
  EXPECT_EQ(t.series[5], 4);
  EXPECT_EQ(t.colours[4], used_c[4]);
  EXPECT_EQ(t.colours[5], free_c[4]);
  // Group 4 holds 4 of 8 parts (a half turn from 4 * 8192) and 2 of its 4 are used.
  EXPECT_EQ(t.bounds[4], 32768u);
  EXPECT_EQ(t.bounds[5], 32768u + 16384u);

  // Byte-sized totals of petabytes keep exact shares.
  u64 big = u64{1} << 60;
  t = build({big, big}, {big / 2, big});
  ASSERT_EQ(t.count, 3u);
  EXPECT_EQ(t.bounds[1], 16384u);
  EXPECT_EQ(t.bounds[2], 32768u);
}

TEST(Pie, SectorLookupAndTableEquality) {
  pie::Table t = build({1, 1}, {1, 0});  // [0, 32768) used of group 0, [32768, 65536) free of group 1
  ASSERT_EQ(t.count, 2u);
  EXPECT_EQ(pie::sector_at(t, 0), 0u);
  EXPECT_EQ(pie::sector_at(t, 32767), 0u);
  EXPECT_EQ(pie::sector_at(t, 32768), 1u);
  i32 outer = 40 * 256, inner = 25 * 256;
  EXPECT_EQ(pie::sector_of_point(t, 30 * 256, 0, outer, inner), 0);
  EXPECT_EQ(pie::sector_of_point(t, -30 * 256, 0, outer, inner), 1);
  EXPECT_EQ(pie::sector_of_point(t, 10 * 256, 0, outer, inner), -1);  // in the hole
  EXPECT_EQ(pie::sector_of_point(t, 41 * 256, 0, outer, inner), -1);  // outside
  EXPECT_EQ(pie::sector_of_point(t, outer, 0, outer, inner), 0);      // the edges belong to the ring
  EXPECT_EQ(pie::sector_of_point(t, 0, -inner, outer, inner), 0);

  pie::Table same = build({1, 1}, {1, 0});
  EXPECT_TRUE(pie::same_table(t, same));
  same.colours[1] ^= 1;
  EXPECT_FALSE(pie::same_table(t, same));
  EXPECT_FALSE(pie::same_table(t, build({1, 1}, {1, 1})));
}

TEST(Pie, PixelsAtRingAndSectorEdges) {
  i32 outer = 40 * 256, inner = 25 * 256;
  pie::Table t = build({1, 1}, {1, 0});
  // Deep inside a sector: its own colour, opaque.
  EXPECT_EQ(pie::pixel(t, 32 * 256, 0, bg, outer, inner), used_c[0]);
  EXPECT_EQ(pie::pixel(t, -32 * 256, 0, bg, outer, inner), free_c[1]);
  // Hole and outside are background; on a group boundary the gap is background too.
  EXPECT_EQ(pie::pixel(t, 0, 0, bg, outer, inner), bg);
  EXPECT_EQ(pie::pixel(t, 50 * 256, 0, bg, outer, inner), bg);
  EXPECT_EQ(pie::pixel(t, 0, -32 * 256, bg, outer, inner), bg);
  EXPECT_EQ(pie::pixel(t, 0, 32 * 256, bg, outer, inner), bg);
  // Exactly on the outer edge half the pixel is covered: 128 of 255 of the colour over white.
  EXPECT_EQ(pie::pixel(t, outer, 0, bg, outer, inner), curve::blend(bg, used_c[0], 128));
  EXPECT_EQ(pie::pixel(t, outer + 128, 0, bg, outer, inner), bg);
  EXPECT_EQ(pie::pixel(t, outer - 128, 0, bg, outer, inner), used_c[0]);

  // Between the used and the free sector of one group the colours meet half and half, with no gap.
  t = build({2}, {1});
  ASSERT_EQ(t.count, 2u);
  ASSERT_EQ(t.bounds[1], 32768u);
  u32 meet = pie::pixel(t, 0, 32 * 256, bg, outer, inner);
  EXPECT_EQ(meet, curve::blend(free_c[0], used_c[0], 128));
  EXPECT_EQ(pie::pixel(t, 0, 32 * 256, bg, outer, inner), pie::pixel(t, 0, 32 * 256, 0xFF000000, outer, inner));
}

TEST(Pie, RenderedRingIsSymmetricAndAntiAliasedWithinBounds) {
  constexpr u32 n = 48;
  std::vector<u32> px(n * n);
  i32 outer = 23 * 256, inner = outer * 62 / 100;
  pie::Table t = build({1, 1}, {1, 1});
  // One colour for both groups, so only geometry tells the halves apart.
  t.colours[1] = t.colours[0];
  pie::render(px.data(), n, n, t, bg, outer, inner);
  u32 edge = 0, full = 0;
  for (u32 i = 0; i < n; i++) {
    for (u32 j = 0; j < n; j++) {
      u32 p = px[i * n + j];
      EXPECT_EQ(p, px[i * n + (n - 1 - j)]) << i << "," << j;  // left and right halves mirror
      EXPECT_EQ(p >> 24, 0xFFu);
      // Every channel lies between the background's and the sector's.
      EXPECT_LE(p & 0xFF, 0xFFu);
      EXPECT_GE(p & 0xFF, 0xF0u);
      EXPECT_LE((p >> 8) & 0xFF, 0xFFu);
      EXPECT_LE((p >> 16) & 0xFF, 0xFFu);
      if (p == used_c[0]) full++;
      else if (p != bg) edge++;
    }
  }
  EXPECT_GT(full, 500u);
  EXPECT_GT(edge, 100u);
  // Pixels half a pixel beside the gaps at 12 and 6 o'clock are all but background (their centres lie just past
  // the half pixel where coverage starts).
  for (u32 p : {px[4 * n + n / 2], px[(n - 5) * n + n / 2 - 1]}) {
    EXPECT_GE((p >> 8) & 0xFF, 0xF8u);
    EXPECT_GE((p >> 16) & 0xFF, 0xF8u);
  }
}

}  // namespace
