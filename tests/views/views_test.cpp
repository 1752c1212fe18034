// The resource view state, its arrangement on the chart grid, the chart looks and the texts, over five machines
// built from machine records: a desktop, a laptop on battery with an integrated GPU, a 64-core server, a small
// machine without GPU and a workstation with four GPUs.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/words.h"
#include "sampling/hw.h"
#include "drawing/layout.h"
#include "views/views.h"
#include "views/plots.h"
#include "views/texts.h"
#include "tests/views/machines.h"

namespace {

using namespace fixtures;

// ---- State and arrangement

TEST(Views, PresentViewsOfTheFixtureMachines) {
  struct Case {
    const Spec* spec;
    u64 present;
  } cases[] = {
      {&desktop, 0x3 | 0x3 << 2 | u64{1} << 18 | u64{1} << 26},
      {&laptop, 0x3 | 0x1 << 2 | u64{3} << 18 | u64{1} << 26 | u64{1} << 34},
      {&server, 0x3 | 0xF << 2 | u64{3} << 18 | u64{1} << 34},
      {&small, 0x3 | 0x1 << 2 | u64{1} << 18},
      {&gpus4, 0x3 | 0x3 << 2 | u64{1} << 18 | u64{0xF} << 26},
  };
  for (const Case& c : cases) EXPECT_EQ(views::present(*make(*c.spec)), c.present) << c.spec->name;
  // Power shows only while one of the newest 5 rows carries a reading.
  auto m = make(laptop);
  ring::Row quiet = row_of(small, 0);
  for (u32 i = 0; i < 5; ++i) machine::push(m.get(), &quiet);
  EXPECT_FALSE(views::powered(*m));
}

TEST(Views, ArrangesTheCpuPageOnce) {
  auto m = make(desktop);
  State s;
  views::layout(s.get(), *m, 1280, 800);
  EXPECT_EQ(s->arrangements, 1);
  EXPECT_EQ(s->rail_rows, 7);
  EXPECT_EQ(s->plot_height, 278);
  EXPECT_EQ(s->step, 14);
  EXPECT_EQ(s->grid.lwidth[views::slot_main], 848);
  EXPECT_EQ(s->cores_height, 160);
  EXPECT_EQ(s->cores_heading_y, 426);
  EXPECT_EQ(s->cores_top, 450);
  EXPECT_EQ(s->tiles_top, 626);
  EXPECT_EQ(s->details_top, 686);
  EXPECT_EQ(views::details_shown(*s.get()), 10u);
  EXPECT_TRUE(chart::has_row(s->grid.bound, views::slot_heat));
  EXPECT_EQ(s->grid.lwidth[views::slot_heat], 840);
  // Sparklines of every present view at x 12, 10 px into their rail row.
  EXPECT_EQ(s->grid.lx[views::slot_rail + 2], 12);
  EXPECT_EQ(s->grid.ly[views::slot_rail + 2], 48 + 56 * 3 + 10);
  ASSERT_NE(s->sheet.pixels, nullptr);
  const i32 generation = s->sheet_generation;
  const u64 bytes = s->sheet_bytes;

  views::layout(s.get(), *m, 1280, 800);
  EXPECT_EQ(s->arrangements, 1);
  EXPECT_EQ(s->sheet_generation, generation);  // nothing refitted
  views::set_dpi(s.get(), 144);
  views::layout(s.get(), *m, 1280, 800);
  EXPECT_EQ(s->arrangements, 2);
  EXPECT_GT(s->sheet_bytes, bytes);
  EXPECT_NE(s->sheet.pixels, nullptr);
}

TEST(Views, SmallMultiplesNeverOverlap) {
  // 64 processors: 8 x 8 small charts; 16: 4 columns.
  auto big = make(server);
  State s;
  views::toggle(s.get());
  views::layout(s.get(), *big, 1280, 800);
  EXPECT_EQ(s->small_columns, 8);
  EXPECT_EQ(s->grid.ly[32 + 63], s->grid.ly[32 + 56]);
  EXPECT_EQ(s->grid.ly[32 + 56] - s->grid.ly[32], 7 * (s->small_height + 6));
  auto mid = make(desktop);
  State d;
  views::toggle(d.get());
  views::layout(d.get(), *mid, 1280, 800);
  EXPECT_EQ(d->small_columns, 4);
  // Narrow windows trade columns for rows, so that neighbours keep their own columns.
  for (const Spec* spec : {&desktop, &server}) {
    auto m = make(*spec);
    for (i32 w = 640; w <= 2000; w += 40) {
      State t;
      views::toggle(t.get());
      views::arrange(t.get(), *m, w, 900);
      const i32 columns = t->small_columns;
      for (u32 i = 0; i + 1 < spec->cpus; ++i) {
        if ((i + 1) % columns == 0) continue;
        ASSERT_GE(t->grid.lx[32 + i + 1], t->grid.lx[32 + i] + t->grid.lwidth[32 + i]) << spec->name << " " << w;
      }
      ASSERT_LE(t->grid.lx[32 + columns - 1] + t->grid.lwidth[32 + columns - 1], 316 + 60 * t->step + 8) << w;
    }
  }
}

TEST(Views, GpuPages) {
  struct Case {
    const Spec* spec;
    u32 engines;
    i32 first_x, engine_w, dedicated_y, shared_y;
  } cases[] = {
      {&desktop, 4, 288, 480, 428, 572},
      {&laptop, 5, 340, 300, 572, 428},  // unified: the shared chart comes first
  };
  for (const Case& c : cases) {
    auto m = make(*c.spec);
    State s;
    views::select(s.get(), layout::view_gpus);
    views::layout(s.get(), *m, 1280, 800);
    EXPECT_EQ(s->engines, c.engines) << c.spec->name;
    EXPECT_EQ(s->grid.lx[32], c.first_x) << c.spec->name;
    EXPECT_EQ(s->grid.lwidth[32], c.engine_w) << c.spec->name;
    EXPECT_EQ(chart::has_row(s->grid.bound, 36), c.engines == 5) << c.spec->name;
    EXPECT_EQ(s->grid.ly[views::slot_dedicated], c.dedicated_y) << c.spec->name;
    EXPECT_EQ(s->grid.ly[views::slot_shared], c.shared_y) << c.spec->name;
    EXPECT_EQ(s->plot_x, 244);
    EXPECT_FALSE(chart::has_row(s->grid.bound, views::slot_main));
    EXPECT_EQ(views::plot_rect(*s.get()).right, 1256);
  }
  // A compute engine that appears re-arranges the page even when nothing else changed.
  auto m = make(desktop);
  State s;
  views::select(s.get(), layout::view_gpus);
  views::layout(s.get(), *m, 1280, 800);
  m->gpu_classes[0] = engines5;
  EXPECT_TRUE(views::arrange(s.get(), *m, 1280, 800));
  EXPECT_EQ(s->engines, 5);
}

TEST(Views, OverviewPlacesOnlyTheRail) {
  auto m = make(gpus4);
  State s;
  views::set_overview(s.get(), true);
  EXPECT_FALSE(views::arrange(s.get(), *m, 1280, 800));
  EXPECT_FALSE(chart::has_row(s->grid.bound, views::slot_main));
  EXPECT_TRUE(chart::has_row(s->grid.bound, views::slot_rail + 0));
  EXPECT_EQ(s->arrangements, 1);
}

TEST(Views, MachineSwitchAndReset) {
  auto big = make(server);
  auto little = make(small);
  State s;
  views::select(s.get(), layout::view_disks + 3);
  views::set_dpi(s.get(), 192);
  views::set_ranges(s.get(), 6);
  views::set_range(s.get(), 1);
  views::layout(s.get(), *big, 1280, 800);
  EXPECT_EQ(s->view, layout::view_disks + 3);
  // The small machine has one disk: its page falls back to the CPU.
  views::layout(s.get(), *little, 1280, 800);
  EXPECT_EQ(s->view, layout::view_cpu);

  const u8* sheet = reinterpret_cast<const u8*>(s->sheet_arena.base);
  const u64 bytes = s->sheet_bytes;
  views::select(s.get(), layout::view_memory);
  s->hover_plot = 7;
  views::reset(s.get());
  EXPECT_EQ(s->view, layout::view_cpu);
  EXPECT_EQ(s->hover_plot, 255);
  EXPECT_EQ(s->grid.dpi, 192);
  EXPECT_EQ(s->ranges, 6);
  EXPECT_EQ(s->range, 1);
  EXPECT_TRUE(views::long_range(*s.get()));
  EXPECT_EQ(reinterpret_cast<const u8*>(s->sheet_arena.base), sheet);
  EXPECT_EQ(s->sheet_bytes, bytes);
  EXPECT_EQ(s->grid.drawn[0], 0u);
  EXPECT_TRUE(views::arrange(s.get(), *little, 1280, 800));
}

TEST(Views, Ranges) {
  State s;
  struct Case {
    u32 offered, asked, range;
    bool long_flag;
  } cases[] = {{2, 1, 1, true}, {2, 3, 0, false}, {6, 3, 3, false}, {6, 5, 5, false}, {6, 6, 0, false},
               {6, 200, 0, false}, {6, 1, 1, true}, {6, 0, 0, false}};
  for (const Case& c : cases) {
    views::set_ranges(s.get(), c.offered);
    views::set_range(s.get(), c.asked);
    EXPECT_EQ(s->range, c.range) << c.offered << " " << c.asked;
    EXPECT_EQ(views::long_range(*s.get()), c.long_flag) << c.asked;
  }
  EXPECT_TRUE(views::set_ranges(s.get(), 1));
  EXPECT_EQ(s->ranges, 2);
  EXPECT_FALSE(views::set_ranges(s.get(), 2));
  EXPECT_TRUE(views::set_ranges(s.get(), 3));
  EXPECT_EQ(s->ranges, 6);
  views::set_range(s.get(), 4);
  EXPECT_TRUE(views::stored(*s.get()));
  EXPECT_TRUE(views::set_ranges(s.get(), 2));  // the stored range is not offered any more
  EXPECT_EQ(s->range, 0);
  // Buttons: right-aligned, 4 px apart, 64 wide for two ranges and 48 for six; empty until arranged.
  auto m = make(desktop);
  EXPECT_EQ(views::range_rect(*s.get(), 0).right - views::range_rect(*s.get(), 0).left, 0);
  views::arrange(s.get(), *m, 1280, 800);
  draw::Rect b = views::range_rect(*s.get(), 0);
  EXPECT_EQ(b.left, 1256 - 68 - 64);
  EXPECT_EQ(b.right, 1256 - 68);
  EXPECT_EQ(b.top, 58);
  EXPECT_EQ(b.bottom, 82);
  views::set_ranges(s.get(), 6);
  views::arrange(s.get(), *m, 1280, 800);
  EXPECT_EQ(views::range_rect(*s.get(), 5).left, 1256 - 48);
  EXPECT_EQ(views::range_rect(*s.get(), 0).left, 1256 - 5 * 52 - 48);
}

TEST(Views, RailScrollAndReveal) {
  auto m = make(server);  // 9 views and the Overview item
  State s;
  views::arrange(s.get(), *m, 1280, 400);
  EXPECT_EQ(s->rail_rows, 3);
  EXPECT_TRUE(views::rail_scrolls(*s.get()));
  EXPECT_EQ(views::views_top(*s.get()), 64 + 168);
  draw::Rect board;
  EXPECT_TRUE(views::board_rect(*s.get(), &board));
  EXPECT_FALSE(views::rail_shows(*s.get(), layout::view_nics));

  EXPECT_TRUE(views::rail_scroll(s.get(), -1200));  // ten notches down stop at the last full window
  EXPECT_EQ(s->rail_first, 7);
  EXPECT_FALSE(views::board_rect(*s.get(), &board));
  EXPECT_EQ(board.right, 0);
  EXPECT_TRUE(views::rail_shows(*s.get(), layout::view_power));
  EXPECT_EQ(views::rail_rect(*s.get(), layout::view_power).top, 48 + 56 * 2);

  EXPECT_FALSE(views::rail_scroll(s.get(), 60));
  EXPECT_TRUE(views::rail_scroll(s.get(), 60));  // +60 and +60 make one notch up
  EXPECT_EQ(s->rail_first, 6);
  EXPECT_FALSE(views::rail_scroll(s.get(), 60));
  EXPECT_FALSE(views::rail_scroll(s.get(), -60));  // a turn the other way drops the rest
  EXPECT_EQ(s->wheel_rest, -60);

  EXPECT_TRUE(views::reveal(s.get(), layout::view_overview));
  EXPECT_EQ(s->rail_first, 0);
  EXPECT_TRUE(views::reveal(s.get(), layout::view_power));
  EXPECT_EQ(s->rail_first, 7);
  EXPECT_FALSE(views::reveal(s.get(), 29));  // not present
  EXPECT_FALSE(views::reveal(s.get(), layout::view_settings));

  // A taller window keeps the selected view in sight when the row count changes.
  views::select(s.get(), layout::view_disks + 3);
  views::arrange(s.get(), *m, 1280, 460);
  EXPECT_EQ(s->rail_rows, 4);
  EXPECT_TRUE(views::rail_shows(*s.get(), layout::view_disks + 3));
  // More fixed entries leave fewer rows; the count change re-arranges.
  EXPECT_TRUE(views::set_fixed(s.get(), 6));
  EXPECT_TRUE(views::arrange(s.get(), *m, 1280, 460));
  EXPECT_EQ(s->rail_rows, 3);
  EXPECT_LE(views::views_top(*s.get()) + 32 * 6, 460);
}

TEST(Views, HitRectangles) {
  auto m = make(desktop);
  State s;
  EXPECT_EQ(views::toggle_rect(*s.get()).right - views::toggle_rect(*s.get()).left, 0);
  views::layout(s.get(), *m, 1280, 800);
  draw::Rect t = views::toggle_rect(*s.get());
  EXPECT_EQ(t.left, 1016);
  EXPECT_EQ(t.right, 1256);
  EXPECT_EQ(t.top, 426);
  draw::Rect p = views::plot_rect(*s.get());
  EXPECT_EQ(p.left, 316);
  EXPECT_EQ(p.top, 112);
  EXPECT_EQ(p.right, 316 + 60 * 14 + 1);  // the end of the 60 columns, not of the dot margin
  EXPECT_EQ(p.bottom, 112 + 278);
  draw::Rect c = views::cores_rect(*s.get());
  EXPECT_EQ(c.top, 450);
  EXPECT_EQ(c.right, 316 + 840);
  views::select(s.get(), layout::view_memory);
  views::layout(s.get(), *m, 1280, 800);
  EXPECT_EQ(views::toggle_rect(*s.get()).right, views::toggle_rect(*s.get()).left);
  EXPECT_EQ(views::cores_rect(*s.get()).right, views::cores_rect(*s.get()).left);
}

TEST(Views, OversizedSheetDrawsNoCharts) {
  State s;
  views::set_dpi(s.get(), 960);
  // 1,600 logical px at 960 DPI is 16,000 px a side: a gigabyte of pixels.
  ASSERT_EQ(chart::place(&s->grid, views::slot_main, 0, 0, 1600, 1600, 20), 1u);
  views::fit(s.get());
  EXPECT_EQ(s->sheet.pixels, nullptr);
  EXPECT_EQ(s->sheet_bytes, 0u);
  EXPECT_EQ(s->sheet_arena.base, nullptr);
  EXPECT_EQ(views::sheet_bytes(16384, 32767, 16384), u64{16384} * 32767 * 4 + chart::scratch_bytes(16384, 16384) + 320);
}

// ---- Chart looks

TEST(Views, ScaleTops) {
  struct Case {
    const char* what;
    u32 rows, view;
    bool main;
    u32 max;
  } cases[] = {
      {"disk floor", 0, layout::view_disks, true, 1024},
      {"adapter floor", 0, layout::view_nics, true, 123},
      {"power floor", 0, layout::view_power, true, 100},
      {"disk 3000 + 2000", 3, layout::view_disks, true, 5120},
      {"adapter 5000 KiB/s", 3, layout::view_nics, true, 6104},
      {"power 12.7 W", 3, layout::view_power, true, 200},
      {"CPU", 3, layout::view_cpu, true, 10000},
      {"memory", 3, layout::view_memory, true, 32768},
  };
  for (const Case& c : cases) {
    auto m = make(laptop, c.rows);
    chart::Look look;
    views::resource_plot(&look, *m, c.view, 7, c.main, false);
    EXPECT_EQ(look.max, c.max) << c.what;
  }
  // The adapter sparkline is one area of send and receive: its top covers their sum.
  auto busy = make(laptop, 0);
  for (u32 i = 0; i < 3; ++i) {
    ring::Row r = row_of(laptop, i);
    r.send[0] = 4000;
    machine::push(busy.get(), &r);
  }
  chart::Look spark;
  views::resource_plot(&spark, *busy, layout::view_nics, 20, false, false);
  EXPECT_EQ(spark.max, 12208u);
  views::resource_plot(&spark, *busy, layout::view_nics, 0, true, false);
  EXPECT_EQ(spark.max, 6104u);
  // A machine whose memory total is not known yet still draws its in-use curve.
  auto m = make(laptop);
  m->memory_total = 0;
  chart::Look look;
  views::resource_plot(&look, *m, layout::view_memory, 0, true, false);
  EXPECT_EQ(look.max, 1u);
  // GPU memory of unknown size: the 1-2-5 ceiling of the largest use, 1 MiB on an empty ring.
  m->gpu_dedicated[0] = 0;
  views::memory_plot(&look, *m, 0, 0, false);
  EXPECT_EQ(look.max, 5000u);
  auto empty = make(laptop, 0);
  empty->gpu_dedicated[0] = 0;
  views::memory_plot(&look, *empty, 0, 0, false);
  EXPECT_EQ(look.max, 1u);
}

TEST(Views, MostOfRepeatsTheOldestRowOnly) {
  auto m = make(desktop, 0);
  chart::Look look;
  views::resource_plot(&look, *m, layout::view_disks, 0, true, false);
  EXPECT_EQ(views::most_of(look.sources[0], look.sources[1], true, *m, 62), 0u);
  ring::Row r = row_of(desktop, 0);
  r.disk_read[0] = 0xFFFFFFF0u;
  r.disk_write[0] = 100;
  machine::push(m.get(), &r);
  EXPECT_EQ(views::most_of(look.sources[0], look.sources[1], true, *m, 62), 0xFFFFFFFFu);  // saturated
  EXPECT_EQ(views::most_of(look.sources[0], look.sources[1], false, *m, 62), 0xFFFFFFF0u);
  // A peak older than the window does not count: the ten-minute window sees it, the minute does not.
  for (u32 i = 0; i < 100; ++i) {
    ring::Row q = row_of(desktop, i);
    machine::push(m.get(), &q);
  }
  EXPECT_EQ(views::most_of(look.sources[0], look.sources[1], true, *m, views::window_of(false)), 5000u);
  EXPECT_EQ(views::most_of(look.sources[0], look.sources[1], true, *m, views::window_of(true)), 0xFFFFFFFFu);
}

TEST(Views, LooksOfMainChartsAndSparklines) {
  auto m = make(laptop);
  chart::Look look;
  views::resource_plot(&look, *m, layout::view_cpu, 0, true, true);
  EXPECT_EQ(look.slot, 0u);
  EXPECT_EQ(look.count, 2u);
  EXPECT_EQ(look.flags, chart::flag_no_stack | chart::flag_grid | chart::flag_long);
  EXPECT_EQ(look.dot_mask, 2u);
  EXPECT_EQ(look.margin, 2);
  EXPECT_EQ(look.thick, 256);
  EXPECT_EQ(look.thin, 128);
  EXPECT_EQ(look.line[0], 0x959F0Fu);
  EXPECT_EQ(look.alpha[1], 38u);
  // The value a series reads is the ring's newest value of that device.
  const u32 newest = views::latest_row(*m);
  EXPECT_EQ(chart::cell(look.sources[1], newest, 0), 3700u);
  views::resource_plot(&look, *m, layout::view_nics, 0, true, false);
  EXPECT_EQ(look.kind, chart::kind_mirrored);
  EXPECT_EQ(chart::cell(look.sources[1], newest, 0), 5000u);

  views::resource_plot(&look, *m, layout::view_memory, views::spark_row(1), false, true);
  EXPECT_EQ(look.slot, 3u);
  EXPECT_EQ(look.count, 1u);
  EXPECT_EQ(look.flags, 0u);
  EXPECT_EQ(look.margin, 1);
  EXPECT_EQ(look.line[0], 0xFCD37Du);
  EXPECT_EQ(look.alpha[0], 51u);
  views::resource_plot(&look, *m, layout::view_nics + 1, views::spark_row(19), false, false);
  EXPECT_EQ(look.kind, 0u);
  EXPECT_EQ(look.line[1], 0x4DD3FCu);
  views::resource_plot(&look, *m, layout::view_power, views::spark_row(34), false, false);
  EXPECT_EQ(look.slot, 96u);

  views::engine_plot(&look, *m, 0, 0, false);
  EXPECT_EQ(look.slot, 32u);
  EXPECT_EQ(look.max, 200u);
  EXPECT_EQ(chart::cell(look.sources[0], newest, 0), 50u);
  views::memory_plot(&look, *m, 0, 1, true);
  EXPECT_EQ(look.slot, 38u);
  EXPECT_EQ(look.max, 8000u);
  EXPECT_EQ(chart::cell(look.sources[0], newest, 0), 300u);
  views::core_plot(&look, *m, 5, false);
  EXPECT_EQ(look.slot, 37u);
  EXPECT_EQ(chart::cell(look.sources[1], newest, 0), 45u);
  views::heat_plot(&look, *m, false);
  EXPECT_EQ(look.kind, chart::kind_heat);
  EXPECT_EQ(look.rows, 8u);
  EXPECT_EQ(chart::cell(look.sources[0], newest, 7), 47u);  // item rows are the processors
}

TEST(Views, SyncDrawsWhatChangedOnly) {
  auto m = make(server);
  State s;
  views::layout(s.get(), *m, 1280, 800);
  EXPECT_TRUE(views::sync_all(s.get(), *m, false));
  EXPECT_FALSE(views::sync_all(s.get(), *m, false));
  ring::Row r = row_of(server, 1000);
  machine::push(m.get(), &r);
  EXPECT_TRUE(views::sync_all(s.get(), *m, true));
  EXPECT_TRUE(views::sync_all(s.get(), *m, false));  // the main chart and heat strip still had to catch up
  // Small multiples on a stored range: the per-core part does not exist, nothing per core is drawn.
  views::toggle(s.get());
  views::set_ranges(s.get(), 6);
  views::set_range(s.get(), 3);
  views::layout(s.get(), *m, 1280, 800);
  EXPECT_FALSE(chart::has_row(s->grid.bound, 32));
  views::sync_all(s.get(), *m, false);
  EXPECT_FALSE(views::sync_all(s.get(), *m, false));
}

// ---- Texts

TEST(Views, FixedTexts) {
  EXPECT_EQ(str(views::engine_name(views::engine_kind(0))), "3D");
  EXPECT_EQ(str(views::engine_name(views::engine_kind(3))), "Video Encode");
  EXPECT_EQ(str(views::engine_name(views::engine_kind(4))), "Compute");
  EXPECT_EQ(str(views::range_name(1)), "10 min");
  EXPECT_EQ(str(views::range_name(9)), "60 s");
  EXPECT_EQ(str(views::stored_words(4)), "30 days");
  EXPECT_EQ(str(views::stored_words(0)), "2 years");
  EXPECT_EQ(str(views::layer_name(1, 2)), "Standby");
  EXPECT_EQ(str(views::layer_name(20, 1)), "Receive");
  EXPECT_EQ(str(views::caption_of(0)), "% utilisation, kernel under user, ");
  EXPECT_EQ(str(views::caption_of(27)), "Engines and memory, ");
  EXPECT_EQ(str(views::board_value(true)), "Back to this computer");
  State s;
  EXPECT_EQ(str(views::shown_words(*s.get())), "60 seconds");
  views::set_ranges(s.get(), 6);
  views::set_range(s.get(), 2);
  EXPECT_EQ(str(views::shown_words(*s.get())), "1 hour");
}

TEST(Views, NumbersAndTemperatures) {
  struct Watts {
    u32 tenths;
    bool always;
    const char* text;
  } watts[] = {{120, false, "12 W"}, {125, false, "12.5 W"}, {120, true, "12.0 W"}, {0, false, "0 W"}};
  for (const Watts& w : watts) {
    words::Text t{};
    views::watts(&t, w.tenths, w.always);
    EXPECT_EQ(str(t), w.text);
  }
  struct Heat {
    i32 tenths;
    const char* text;
  } heats[] = {{-5, "-0.5 \xC2\xB0" "C"}, {1234, "123.4 \xC2\xB0" "C"}, {-32768, "-3276.8 \xC2\xB0" "C"}, {0, "0.0 \xC2\xB0" "C"}};
  for (const Heat& h : heats) {
    words::Text t{};
    views::heat_text(&t, h.tenths);
    EXPECT_EQ(str(t), h.text);
  }
  EXPECT_EQ(views::heat_color(0, 799), 0xE8E8E8u);
  EXPECT_EQ(views::heat_color(0, 800), 0x24A5F5u);
  EXPECT_EQ(views::heat_color(2, 700), 0x4F5AFFu);
  auto m = make(desktop);
  m->gpu_dedicated[0] = 512;
  EXPECT_TRUE(views::unified(*m, 0));
  m->gpu_dedicated[0] = 513;
  EXPECT_FALSE(views::unified(*m, 0));
  m->gpu_shared[0] = 0;
  m->gpu_dedicated[0] = 0;
  EXPECT_FALSE(views::unified(*m, 0));
}

// Every rail value, title and heading text of each fixture's views.
TEST(Views, TitlesAndRailValues) {
  struct Case {
    const Spec* spec;
    u32 view;
    const char* title;
    const char* value;
  } cases[] = {
      {&desktop, 0, "CPU", "37 % - 3.40 GHz"},
      {&desktop, 1, "Memory", "12.0 / 32.0 GB"},
      {&desktop, 2, "Disk 0 (/)", "SSD (NVMe) - 15 %"},
      {&desktop, 3, "Disk 1 (/)", "15 % - 4.9 MB/s"},  // unknown type: the rate after the active time
      {&desktop, 18, "eth0", "up 0.8 down 41.0 Mbps"},
      {&desktop, 26, "GPU 0", "25 % - Radeon 0"},
      {&laptop, 34, "Power", "12.5 W"},
      {&gpus4, 29, "GPU 3", "25 % - Radeon 3"},
  };
  for (const Case& c : cases) {
    auto m = make(*c.spec);
    words::Text title{}, value{};
    views::title_of(*m, c.view, &title);
    EXPECT_EQ(str(title), c.title);
    EXPECT_FALSE(views::value_of(*m, c.view, &value));
    EXPECT_EQ(str(value), c.value) << c.spec->name << " " << c.view;
    // Before the first sample every value is the placeholder.
    auto empty = make(*c.spec, 0);
    words::Text blank{};
    EXPECT_TRUE(views::value_of(*empty, c.view, &blank));
    EXPECT_EQ(str(blank), "-");
    words::Text now{};
    views::now_text(*empty, c.view, 0, &now);
    EXPECT_EQ(str(now), "-");
  }
  auto m = make(laptop);
  words::Text t{};
  views::gpu_total(&t, *m, 0);
  EXPECT_EQ(str(t), "7.8 GB shared");
  t = {};
  views::disk_heading(&t, *m, 0);
  EXPECT_EQ(str(t), "Samsung SSD 980 - 931.5 GB");
  t = {};
  views::power_source(&t, *m);
  EXPECT_EQ(str(t), "Battery discharge");
  ring::Row r = row_of(laptop, 0);
  r.power_flags = 0x38;
  machine::push(m.get(), &r);
  t = {};
  views::power_source(&t, *m);
  EXPECT_EQ(str(t), "Battery discharge, saturated");
  auto big = make(server);
  t = {};
  views::power_source(&t, *big);
  EXPECT_EQ(str(t), "Energy meters");
}

TEST(Views, AxisAndEndLabels) {
  auto m = make(desktop);
  struct Case {
    u32 view, top, i;
    const char* text;
  } cases[] = {
      {0, 10000, 0, "100 %"},   {0, 10000, 1, "75 %"},       {0, 10000, 4, "0 %"},
      {1, 32768, 2, "16.0 GB"}, {2, 5120, 1, "3.8 MB/s"},    {18, 6104, 0, "50.0 Mbps"},
      {18, 6104, 1, "25.0 Mbps"}, {18, 6104, 2, "0 Kbps"},   {18, 6104, 4, "50.0 Mbps"},
      {34, 200, 1, "15 W"},     {34, 100, 3, "2.5 W"},
  };
  for (const Case& c : cases) {
    words::Text t{};
    views::axis_text(*m, c.view, c.top, c.i, &t);
    EXPECT_EQ(str(t), c.text) << c.view << " " << c.i;
  }
  words::Text t{};
  views::now_text(*m, 18, 1, &t);
  EXPECT_EQ(str(t), "41.0 Mbps");
}

TEST(Views, HeadingTemperature) {
  auto m = make(desktop);
  i32 t;
  EXPECT_EQ(views::heading_heat(*m, 0, &t), 255u);
  m->temps.cpu_kind = 2;
  m->temps.cpu = 654;
  EXPECT_EQ(views::heading_heat(*m, 0, &t), 0u);
  EXPECT_EQ(t, 654);
  m->temps.gpu_mask = 1;
  m->temps.gpu[0] = 700;
  EXPECT_EQ(views::heading_heat(*m, 26, &t), 1u);
  m->temps.disk_mask = 2;
  m->temps.disk[1] = 410;
  EXPECT_EQ(views::heading_heat(*m, 3, &t), 2u);
  EXPECT_EQ(t, 410);
  EXPECT_EQ(views::heading_heat(*m, 2, &t), 255u);
}

TEST(Views, DetailPanel) {
  struct Count {
    u32 view, rows;
  } counts[] = {{0, 10}, {1, 10}, {2, 3}, {18, 9}, {26, 0}, {34, 5}};
  for (const Count& c : counts) EXPECT_EQ(views::detail_count(c.view), c.rows) << c.view;

  auto m = make(laptop);
  m->power_flags = 0x3;
  m->power[0] = 85;
  m->power[1] = 12;
  m->sent[1] = u64{3} << 30;
  m->paged_pool = 0;
  struct Row {
    u32 view, row;
    const char* label;
    const char* value;
  } rows[] = {
      {1, 5, "Committed", "20.0 / 40.0 GB"},
      {1, 6, "Cached", "4.0 GB"},
      {1, 7, "Paged pool", "-"},
      {2, 0, "Type", "SSD (NVMe)"},
      {2, 1, "Model", "Samsung SSD 980"},
      {2, 2, "Capacity", "931.5 GB"},
      {19, 0, "Adapter", "-"},
      {19, 7, "Sent", "3.0 GB"},
      {34, 0, "CPU package", "8.5 W"},
      {34, 1, "DRAM", "1.2 W"},
      {34, 2, "GPU", "-"},
      {34, 4, "Source", "Battery discharge"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(str(views::detail_label(r.view, r.row)), r.label);
    words::Text t{};
    views::detail_value(*m, r.view, r.row, &t);
    EXPECT_EQ(str(t), r.value) << r.label;
  }
  auto empty = make(laptop, 0);
  for (u32 view : {1u, 18u, 34u}) {
    for (u32 row = 0; row < views::detail_count(view); ++row) {
      if (!views::detail_live(view, row)) continue;
      words::Text t{};
      views::detail_value(*empty, view, row, &t);
      EXPECT_EQ(str(t), "-") << view << " " << row;
    }
  }
  EXPECT_TRUE(views::detail_live(18, 7));
  EXPECT_FALSE(views::detail_live(18, 6));
  EXPECT_FALSE(views::detail_live(0, 0));

  State s;
  views::layout(s.get(), *m, 1280, 800);
  draw::Rect left = views::detail_rect(*s.get(), 4), right = views::detail_rect(*s.get(), 5);
  EXPECT_EQ(left.left, 244 + 150);
  EXPECT_EQ(left.right, 244 + 506 - 4);
  EXPECT_EQ(left.top, s->details_top + 72);
  EXPECT_EQ(right.left, 750 + 150);
  EXPECT_EQ(right.top, s->details_top);
  EXPECT_EQ(right.bottom, s->details_top + 18);
  // A short window has no panel.
  views::layout(s.get(), *m, 1280, 500);
  EXPECT_EQ(views::details_shown(*s.get()), 0u);
}

// A font of 4 px per byte: a cut inside a character would show here as a stray lead byte.
i32 four_per_byte(void*, u32, mem::Bytes text) { return static_cast<i32>(text.len) * 4; }

bool valid_utf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

TEST(Views, EllipsizeCutsWholeCharacters) {
  const views::Measure font{four_per_byte, nullptr};
  struct Case {
    const char* text;
    i32 width;
    const char* shown;
  } cases[] = {
      {"abcdef", 24, "abcdef"},
      {"abcdef", 23, "ab..."},
      {"abcdef", 5, "..."},
      {"a\xC3\xA4\xC3\xB6\xC3\xBC", 20, "a..."},  // two bytes of room end inside the "ä"
      {"\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC", 30, "\xE2\x82\xAC..."},
      {"", 0, ""},
  };
  for (const Case& c : cases) {
    words::Text t{};
    words::put(&t, mem::cstr(c.text));
    views::ellipsize(font, 3, &t, c.width);
    EXPECT_EQ(str(t), c.shown) << c.text << " " << c.width;
    EXPECT_TRUE(valid_utf8(str(t)));
  }
}

}  // namespace
