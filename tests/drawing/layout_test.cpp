#include <gtest/gtest.h>

#include "drawing/layout.h"

namespace {

TEST(Layout, LiveColumns) {
  struct Case {
    u32 rows, cell, segment;
  } cases[] = {{0, 60, 60}, {1, 59, 60}, {60, 0, 1}, {61, 0, 0}, {600, 0, 0}, {0xFFFFFFFF, 0, 0}};
  for (const Case& c : cases) {
    EXPECT_EQ(layout::first_cell(c.rows), c.cell) << c.rows;
    EXPECT_EQ(layout::first_segment(c.rows), c.segment) << c.rows;
  }
  struct Redo {
    u32 delta, step, dot, from;
  } redo[] = {{0, 1, 0, 59}, {1, 1, 0, 58}, {1, 1, 1, 51}, {1, 0, 1, 51}, {1, 8, 1, 58},
              {2, 3, 1, 55}, {59, 1, 0, 0}, {60, 1, 0, 0}, {0xFFFFFFFF, 1, 1, 0}};
  for (const Redo& r : redo) EXPECT_EQ(layout::redo_from(r.delta, r.step, r.dot), r.from) << r.delta << " " << r.step;
}

TEST(Layout, SpansCoverEveryItemOnce) {
  EXPECT_EQ(layout::span_first(0, 0, 5), 0u);
  EXPECT_EQ(layout::span_last(0, 0, 5), 4u);  // b of 0 counts as 1: the one column covers all
  EXPECT_EQ(layout::span_first(3, 4, 0), 0u);
  EXPECT_EQ(layout::span_last(3, 4, 0), 0u);
  EXPECT_EQ(layout::span_first(9, 4, 10), 9u);  // a beyond the columns stays on the last item
  // More items than columns: the runs of consecutive columns leave no item out; neighbours share at most the item
  // on their border.
  for (u32 b : {1u, 7u, 730u}) {
    for (u32 c : {7u, 730u, 17520u}) {
      if (c < b) continue;
      EXPECT_EQ(layout::span_first(0, b, c), 0u);
      EXPECT_EQ(layout::span_last(b - 1, b, c), c - 1);
      for (u32 a = 0; a + 1 < b; ++a) {
        u32 last = layout::span_last(a, b, c), next = layout::span_first(a + 1, b, c);
        ASSERT_GE(last, layout::span_first(a, b, c));
        ASSERT_TRUE(next == last || next == last + 1) << a << " " << b << " " << c;
      }
    }
  }
}

TEST(Layout, PresentMaskAndRailOrder) {
  EXPECT_EQ(layout::present_of(0, 0, 0), 3u);
  u64 full = layout::present_of(16, 8, 4);
  EXPECT_EQ(full, (u64{1} << 30) - 1);
  EXPECT_EQ(layout::present_of(99, 99, 99), full);  // counts above the caps stay inside their id ranges
  u64 laptop = layout::present_of(1, 2, 1) | (u64{1} << layout::view_power);
  EXPECT_EQ(laptop, 0x4040C0007ull);
  struct Case {
    u32 view, order;
  } cases[] = {{0, 0}, {1, 1}, {2, 2}, {18, 3}, {19, 4}, {26, 5}, {34, 6}};
  for (const Case& c : cases) EXPECT_EQ(layout::order_of(laptop, c.view), c.order) << c.view;
}

TEST(Layout, VerticalBudget) {
  struct Case {
    i32 h;
    u32 per_core;
    i32 cores;
    u32 details;
    i32 plot;
  } cases[] = {{0, 0, 0, 0, 80},     {304, 0, 0, 0, 80},  {305, 0, 0, 0, 81},   {800, 0, 0, 1, 478},
               {800, 1, 96, 1, 342}, {5000, 0, 0, 0, 640}, {-40000, 1, 3000, 1, 80}};
  for (const Case& c : cases) EXPECT_EQ(layout::plot_height(c.h, c.per_core, c.cores, c.details), c.plot) << c.h;
  EXPECT_FALSE(layout::details_fit(401, 0, 500));
  EXPECT_TRUE(layout::details_fit(402, 0, 500));
  EXPECT_FALSE(layout::details_fit(537, 1, 96));
  EXPECT_TRUE(layout::details_fit(538, 1, 96));
  EXPECT_FALSE(layout::details_wide(539));
  EXPECT_TRUE(layout::details_wide(540));
  EXPECT_EQ(layout::detail_left(244, 1256, 4), 244);
  EXPECT_EQ(layout::detail_left(244, 1256, 5), 750);
  EXPECT_EQ(layout::detail_top(600, 7), 636);
}

TEST(Layout, StepsAndPerCoreCharts) {
  struct Step {
    i32 w, step;
  } steps[] = {{-5, 1}, {0, 1}, {119, 1}, {120, 2}, {2039, 33}, {2040, 34}, {100000, 34}};
  for (const Step& s : steps) EXPECT_EQ(layout::step_for(s.w), s.step) << s.w;
  EXPECT_EQ(layout::core_rows(0, 160), 12);
  EXPECT_EQ(layout::core_rows(8, 160), 12);
  EXPECT_EQ(layout::core_rows(16, 160), 10);
  EXPECT_EQ(layout::core_rows(64, 160), 2);
  EXPECT_EQ(layout::core_fit(800, 16, 10), 10);
  EXPECT_EQ(layout::core_fit(500, 16, 10), 9);
  EXPECT_EQ(layout::core_fit(100, 16, 10), 2);  // the page is full: the floor
  EXPECT_EQ(layout::multi_cols(16), 4u);
  EXPECT_EQ(layout::multi_cols(17), 8u);
  EXPECT_EQ(layout::multi_rows(0, 8), 1u);
  EXPECT_EQ(layout::multi_rows(17, 8), 3u);
  EXPECT_EQ(layout::multi_rows(64, 8), 8u);
  EXPECT_EQ(layout::multi_rows(5, 0), 5u);
}

TEST(Layout, AxisTopsSaturateInsteadOfWrapping) {
  struct Case {
    u64 v;
    u32 bytes, bits, watts;
  } cases[] = {
      {0, 1024, 123, 100},
      {122, 1024, 123, 200},
      {123, 1024, 245, 200},  // 123 KiB/s is 1,007,616 bit/s: the next 1-2-5 step is 2 Mbit/s
      {5000, 5120, 6104, 5000},
      {524287, 1024000, 610352, 1000000},
      {524288, 1024000, 610352, 1000000},  // 8192 x v leaves 32 bits here: 4.3 Gbit/s
      {700000, 1024000, 1220704, 1000000},
      {0xFFFFFFFFull, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu},
      {~u64{0}, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(layout::byte_scale(c.v), c.bytes) << c.v;
    EXPECT_EQ(layout::bit_scale(c.v), c.bits) << c.v;
    EXPECT_EQ(layout::watt_scale(c.v), c.watts) << c.v;
  }
  EXPECT_EQ(layout::saturate32(u64{1} << 32), 0xFFFFFFFFu);
  struct Dots {
    u32 view, mask;
  } dots[] = {{0, 2}, {1, 1}, {2, 2}, {17, 2}, {18, 3}, {25, 3}, {26, 3}, {29, 3}, {34, 1}};
  for (const Dots& d : dots) EXPECT_EQ(layout::dots_of(d.view), d.mask) << d.view;
}

TEST(Layout, LabelsAndTooltips) {
  EXPECT_EQ(layout::label_center(0, 1, 5, 100, 10), 5);
  EXPECT_EQ(layout::label_center(1, 1, 105, 100, 10), 110);
  EXPECT_EQ(layout::label_center(1, 1, 130, 100, 10), 130);
  EXPECT_EQ(layout::label_center(1, 0, 95, 100, 10), 90);
  EXPECT_EQ(layout::label_center(1, 0, 40, 100, 10), 40);
  EXPECT_EQ(layout::tip_top(200, 10, 3, 112), 116);
  EXPECT_EQ(layout::tip_top(200, 10, 4, 112), 224);  // 98 would cross the area top
}

TEST(Layout, TenMinuteFolding) {
  EXPECT_EQ(layout::bucket_first(0, 60), 0u);
  EXPECT_EQ(layout::bucket_last(0, 60), 9u);
  EXPECT_EQ(layout::bucket_first(59, 60), 590u);
  EXPECT_EQ(layout::bucket_last(59, 60), 599u);
  EXPECT_EQ(layout::long_back(59, 60), 0u);
  EXPECT_EQ(layout::long_back(0, 60), 590u);
  for (u32 a = 0; a < 60; ++a) EXPECT_EQ(layout::bucket_count(a, 60), 10u);
  for (u32 a = 0; a < 1000; ++a) ASSERT_GE(layout::bucket_count(a, 1000), 1u) << a;
  EXPECT_EQ(layout::long_back(999, 1000), 0u);
}

TEST(Layout, GpuPage) {
  EXPECT_EQ(layout::engine_cols(4), 2u);
  EXPECT_EQ(layout::engine_cols(5), 3u);
  EXPECT_EQ(layout::gpu_chart_h(596, 2), 116);
  EXPECT_EQ(layout::gpu_chart_h(100, 2), 16);
}

TEST(Layout, RailGeometry) {
  EXPECT_EQ(layout::rail_rows(31, 800, 4), 10u);
  EXPECT_EQ(layout::rail_rows(31, 100, 4), 1u);  // a short window still shows one row
  EXPECT_EQ(layout::rail_rows(3, 2000, 4), 3u);
  EXPECT_EQ(layout::rail_first(40, 31, 11), 20u);  // never past the last full window
  EXPECT_EQ(layout::rail_first(5, 31, 11), 5u);
  EXPECT_EQ(layout::rail_first(5, 3, 11), 0u);
  u64 mask = layout::present_of(2, 1, 0);
  EXPECT_EQ(layout::rail_at(mask, 18, 0), 48 + 4 * 56);
  EXPECT_EQ(layout::rail_at(mask, 18, 2), 48 + 2 * 56);
  EXPECT_EQ(layout::views_at(11), 680);
  struct Notch {
    i32 delta, notches;
  } notches[] = {{-240, 2}, {119, 0}, {120, -1}, {-119, 0}, {360, -3}};
  for (const Notch& n : notches) EXPECT_EQ(layout::rail_notches(n.delta), n.notches) << n.delta;
}

TEST(Layout, TilesAndMarks) {
  EXPECT_EQ(layout::tile_cols(50, 6), 1u);
  EXPECT_EQ(layout::tile_cols(450, 6), 4u);
  EXPECT_EQ(layout::tile_cols(5000, 6), 6u);
  EXPECT_EQ(layout::tiles_shown(3, 0x543210, 6), 0b000111u);
  EXPECT_EQ(layout::tiles_shown(6, 0x543210, 6), 0b111111u);
  EXPECT_EQ(layout::tiles_shown(2, 0x3310, 4), 0b0011u);
  EXPECT_EQ(layout::tile_slot(0b101101, 5), 3u);
  u64 widths = 10 | u64{20} << 16 | u64{30} << 32 | u64{40} << 48;
  EXPECT_EQ(layout::marks_fit(15, widths, 100, 0x3210), 15u);
  EXPECT_EQ(layout::marks_fit(15, widths, 99, 0x3210), 14u);
  EXPECT_EQ(layout::marks_fit(15, widths, 60, 0x0123), 7u);   // mark 3 (40 px) goes first
  EXPECT_EQ(layout::marks_fit(15, widths, 0, 0x3210), 0u);
  EXPECT_EQ(layout::marks_fit(0b0101, widths, 0, 0x0011), 0b0100u);  // only the named marks drop
  EXPECT_EQ(layout::marks_fit(15, widths, 0, 0x7654), 0u);  // only the low two bits of a nibble count
  EXPECT_TRUE(layout::has_flag(0x24, 0x20));
  EXPECT_FALSE(layout::has_flag(0x24, 0x10));
  EXPECT_EQ(layout::put_flag(0x24, 0x20, 0), 0x04);
  EXPECT_EQ(layout::put_flag(0x04, 0x80, 1), 0x84);
}

}  // namespace
