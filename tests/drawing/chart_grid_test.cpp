#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drawing/chart.h"
#include "tests/drawing/surface.h"

namespace {

mem::Bytes bytes(const std::string& s) { return mem::Bytes{reinterpret_cast<const u8*>(s.data()), s.size()}; }

TEST(ChartGrid, PxStepsAndPlacing) {
  struct Case {
    i32 step;
    u32 dpi, px_step;
  } cases[] = {{5, 96, 5}, {5, 120, 0}, {7, 120, 8}, {4, 120, 5}, {1, 144, 0}, {2, 144, 3}, {20, 144, 30}};
  for (const Case& c : cases) EXPECT_EQ(chart::fair_step(c.step, c.dpi), c.px_step) << c.step << "@" << c.dpi;

  chart::Grid g;
  chart::init(&g);
  EXPECT_EQ(chart::place(&g, 3, 10, 20, 0, 40, 5), 0u);
  EXPECT_EQ(chart::place(&g, 3, 10, 20, 300, 0, 5), 0u);
  EXPECT_EQ(chart::place(&g, 3, 10, 20, 300, 40, 0), 0u);
  EXPECT_FALSE(chart::has_row(g.bound, 3));

  ASSERT_EQ(chart::place(&g, 0, 10, 20, 300, 40, 5), 1u);
  EXPECT_EQ(g.x[0], 10);
  EXPECT_EQ(g.width[0], 300);
  EXPECT_EQ(g.height[0], 40);
  EXPECT_EQ(chart::columns(g, 0), 300);
  EXPECT_EQ(chart::col(g, 0, 7), 35);

  // At 120 DPI a step of 7 is 8.75 px: columns of 8 px, and the slot is as wide as its 60 columns. Anchored at the
  // end, the slot keeps the right edge its logical rectangle has.
  g.dpi = 120;
  ASSERT_EQ(chart::place(&g, 1, 10, 0, 420, 40, 7), 1u);
  EXPECT_EQ(g.px_step[1], 8);
  EXPECT_EQ(g.x[1], 13);
  EXPECT_EQ(g.width[1], 480);
  ASSERT_EQ(chart::place_end(&g, 2, 10, 0, 420, 40, 7), 1u);
  EXPECT_EQ(g.x[2] + g.width[2], draw::to_px(430, 120));
  EXPECT_EQ(g.width[2], 480);
  // A step of 5 at 120 DPI is not whole: the columns fall on rounded positions.
  ASSERT_EQ(chart::place(&g, 4, 10, 0, 300, 40, 5), 1u);
  EXPECT_EQ(g.px_step[4], 0);
  for (i32 i = 0; i <= 60; i++) EXPECT_EQ(chart::col(g, 4, i), draw::to_px(10 + 5 * i, 120) - 13) << i;
  EXPECT_EQ(chart::span_end(g, 4), 311);  // px 388 back to logical, rounded up
}

TEST(ChartGrid, PointerLookupOfColumnsAndCells) {
  chart::Grid g;
  chart::init(&g);
  ASSERT_EQ(chart::place(&g, 0, 10, 0, 300, 40, 5), 1u);
  struct Case {
    i32 x, index, cell;
  } cases[] = {{10, 0, 1}, {12, 0, 1}, {13, 1, 1}, {22, 2, 3}, {309, 60, 60}, {400, 60, 60}, {14, 1, 1}};
  for (const Case& c : cases) {
    EXPECT_EQ(chart::index_at(g, 0, c.x, false), c.index) << c.x;
    EXPECT_EQ(chart::cell_at(g, 0, c.x, false), c.cell) << c.x;
  }
  EXPECT_EQ(chart::index_at(g, 0, 400, true), 299);
  EXPECT_EQ(chart::cell_at(g, 0, 0, true), 0);
  EXPECT_EQ(chart::boundary_x(g, 0, 3, false), 25);
  EXPECT_EQ(chart::cell_x(g, 0, 3, false), 22);

  // The same lookups without a px step use the logical step.
  g.dpi = 120;
  ASSERT_EQ(chart::place(&g, 1, 10, 0, 300, 40, 5), 1u);
  EXPECT_EQ(chart::index_at(g, 1, 22, false), 2);
  EXPECT_EQ(chart::cell_at(g, 1, 22, false), 3);
  EXPECT_EQ(chart::boundary_x(g, 1, 2, false), 20);
}

TEST(ChartGrid, NinetySevenChartsPackWithoutOverlap) {
  chart::Grid g;
  chart::init(&g);
  // Three widths and heights in turn, as a page of processor, disk and adapter charts has.
  for (u32 i = 0; i < chart::slots; i++) {
    i32 step = 1 + static_cast<i32>(i % 3);
    ASSERT_EQ(chart::place(&g, i, 0, static_cast<i32>(i) * 50, 60 * step, 20 + 10 * static_cast<i32>(i % 4), step),
              1u);
  }
  draw::Size size = chart::pack(&g);
  // Each slot owns its width and room for 12 scrolled columns.
  EXPECT_EQ(size.width, 216);
  for (u32 i = 0; i < chart::slots; i++) {
    ASSERT_TRUE(chart::has_row(g.bound, i));
    EXPECT_GE(g.canvas_x[i], 0);
    EXPECT_LE(g.canvas_x[i] + chart::canvas_width(g, i), size.width);
    EXPECT_LE(g.canvas_y[i] + g.height[i], size.height);
    for (u32 j = 0; j < i; j++) {
      bool apart = g.canvas_x[i] >= g.canvas_x[j] + chart::canvas_width(g, j) ||
                   g.canvas_x[j] >= g.canvas_x[i] + chart::canvas_width(g, i) ||
                   g.canvas_y[i] >= g.canvas_y[j] + g.height[j] || g.canvas_y[j] >= g.canvas_y[i] + g.height[i];
      EXPECT_TRUE(apart) << i << " overlaps " << j;
    }
  }
  // Shelves: 72 + 144 fill the first one, the 216-px slot gets its own.
  EXPECT_EQ(g.canvas_x[1], 72);
  EXPECT_EQ(g.canvas_y[2], 30);
  // The first slots got span-cache columns, later ones (past 16,384 columns in all) none.
  EXPECT_EQ(g.span_at[0], 0);
  EXPECT_EQ(g.span_at[1], 60);

  chart::Grid wide;
  chart::init(&wide);
  for (u32 i = 0; i < chart::slots; i++) ASSERT_EQ(chart::place(&wide, i, 0, 0, 300, 20, 5), 1u);
  EXPECT_EQ(wide.span_at[53], 53 * 300);
  EXPECT_EQ(wide.span_at[54], chart::no_span);
  EXPECT_EQ(wide.span_at[96], chart::no_span);
  // Relayouts do not use the span cache up: packing hands it out again.
  for (u32 pass = 0; pass < 5; pass++) {
    for (u32 i = 0; i < chart::slots; i++) ASSERT_EQ(chart::place(&wide, i, 0, 0, 300, 20, 5), 1u);
    chart::pack(&wide);
  }
  EXPECT_EQ(wide.span_at[0], 0);
  EXPECT_EQ(wide.span_at[53], 53 * 300);
  EXPECT_EQ(wide.span_at[54], chart::no_span);
  // A slot that packing moves is no longer drawn; one that stays keeps its drawing.
  wide.drawn[0] = wide.drawn[1] = ~u64{0};
  ASSERT_EQ(chart::place(&wide, 96, 0, 0, 300, 30, 5), 1u);
  chart::pack(&wide);
  EXPECT_FALSE(chart::has_row(wide.drawn, 96));
  EXPECT_TRUE(chart::has_row(wide.drawn, 95));
  ASSERT_EQ(chart::place(&wide, 1, 0, 0, 0, 30, 5), 0u);
  chart::pack(&wide);
  EXPECT_TRUE(chart::has_row(wide.drawn, 0));
  EXPECT_FALSE(chart::has_row(wide.drawn, 2));  // moved up into slot 1's place

  // Slots so tall that their canvas places no longer fit stay unbound instead of overlapping.
  chart::Grid tall;
  chart::init(&tall);
  for (u32 i = 0; i < 5; i++) ASSERT_EQ(chart::place(&tall, i, 0, 0, 60, 10000, 1), 1u);
  chart::pack(&tall);
  EXPECT_TRUE(chart::has_row(tall.bound, 2));
  EXPECT_FALSE(chart::has_row(tall.bound, 3));
}

TEST(ChartTrack, ReadsTheNewestRowsOfAWrappedRing) {
  static ring::Ring r;
  ring::init(&r, 8);
  chart::Source load{reinterpret_cast<const u8*>(r.load), 2, 0, 2};
  chart::Source core{&r.core_load[0][0], 64, 1, 1};
  u32 out[chart::gathered];
  chart::gather(load, chart::track_of(r, 0), 0, out);
  for (u32 v : out) EXPECT_EQ(v, 0u);

  for (u32 i = 0; i < 11; i++) {
    ring::Row row{};
    row.load = static_cast<u16>(i * 100);
    row.core_load[5] = static_cast<u8>(i);
    ring::push(&r, &row);
  }
  chart::Track t = chart::track_of(r, 11);
  EXPECT_EQ(t.available, 8u);
  EXPECT_EQ(t.total, 11u);
  EXPECT_EQ(chart::track_value(load, t, 0, 0), 1000u);
  EXPECT_EQ(chart::track_value(load, t, 7, 0), 300u);
  EXPECT_EQ(chart::track_value(load, t, 30, 0), 300u);  // beyond the oldest: the oldest
  EXPECT_EQ(chart::value_at(core, r, 2, 5), 8u);
  chart::gather(load, t, 0, out);
  EXPECT_EQ(out[61], 1000u);
  EXPECT_EQ(out[62], 1000u);
  EXPECT_EQ(out[60], 900u);
  EXPECT_EQ(out[54], 300u);
  EXPECT_EQ(out[0], 300u);
}

TEST(ChartText, Utf8UnitsAreCutOnCharacters) {
  u16 u[chart::text_most];
  EXPECT_EQ(chart::units_of(bytes("CPU 5%"), u), 6u);
  EXPECT_EQ(u[4], '5');
  ASSERT_EQ(chart::units_of(bytes("\xC3\xA9t\xE2\x82\xAC\xF0\x9F\x98\x80"), u), 5u);  // é, t, €, one emoji
  EXPECT_EQ(u[0], 0xE9);
  EXPECT_EQ(u[2], 0x20AC);
  EXPECT_EQ(u[3], 0xD83D);
  EXPECT_EQ(u[4], 0xDE00);
  ASSERT_EQ(chart::units_of(bytes("a\xFF\xC3"), u), 3u);  // bad and cut sequences are U+FFFD
  EXPECT_EQ(u[1], 0xFFFD);
  EXPECT_EQ(u[2], 0xFFFD);
  EXPECT_EQ(chart::units_of(bytes(std::string(95, 'x') + "\xF0\x9F\x98\x80"), u), 95u);  // no half pair
  EXPECT_EQ(chart::units_of(bytes(std::string(200, 'x')), u), 96u);
}

TEST(ChartText, PlacesTextAndFramesOnTheSurface) {
  surface::Window w;
  ASSERT_EQ(w.start(200, 100), 0u);
  i32 width = 0, measured = 0;
  w.paint([&] {
    draw::fill(&w.s, draw::Rect{0, 0, 200, 100}, 0xFFFFFF);
    measured = chart::measure(&w.s, 0, bytes("Memory"));
    width = chart::text(&w.s, 0, bytes("Memory"), 10, 10, 100, 30, 0x000000, 1);
    chart::frame(&w.s, 120, 60, 1, 5, 0x0000FF);
    chart::frame(&w.s, 140, 60, 20, 10, 0x00FF00);
  });
  EXPECT_EQ(width, measured);
  EXPECT_GT(width, 20);
  std::vector<u32> px = w.kept();
  auto at = [&](i32 x, i32 y) { return px[u64(y) * 200 + x] & 0xFFFFFF; };
  // Right-aligned: ink ends near the box's right edge, nothing left of the text's start.
  bool ink_right = false, ink_left = false;
  for (i32 y = 10; y < 40; y++) {
    for (i32 x = 100; x < 110; x++) ink_right |= at(x, y) != 0xFFFFFF;
    for (i32 x = 0; x < 110 - width - 1; x++) ink_left |= at(x, y) != 0xFFFFFF;
  }
  EXPECT_TRUE(ink_right);
  EXPECT_FALSE(ink_left);
  // In place: empty text needs nothing; text whose glyphs the frame already drew goes straight into the kept frame.
  EXPECT_EQ(chart::ink(&w.s, 0, bytes(""), 10, 50, 100, 30, 0x000000, 0), 1u);
  EXPECT_NE(chart::ink(&w.s, 0, bytes("Memory"), 10, 50, 100, 30, 0x000000, 0), 0u);
  px = w.kept();
  bool inked = false;
  for (i32 y = 50; y < 80; y++)
    for (i32 x = 10; x < 10 + width; x++) inked |= at(x, y) != 0xFFFFFF;
  EXPECT_TRUE(inked);
  // A frame of width 1 is one column; a wider frame leaves its inside alone.
  EXPECT_EQ(at(120, 62), 0xFF0000u);
  EXPECT_EQ(at(121, 62), 0xFFFFFFu);
  EXPECT_EQ(at(140, 65), 0x00FF00u);
  EXPECT_EQ(at(159, 65), 0x00FF00u);
  EXPECT_EQ(at(150, 60), 0x00FF00u);
  EXPECT_EQ(at(150, 69), 0x00FF00u);
  EXPECT_EQ(at(150, 65), 0xFFFFFFu);
}

}  // namespace
