// The window's pure rules: which options act outside the test mode, the warm-up rows, and the geometry of a DPI
// change (rescaling, centring, keeping the window on its work area).
#include <gtest/gtest.h>

#include "history/hist.h"
#include "shell/app.h"
#include "shell/loop.h"
#include "shell/dpi.h"
#include "shell/rules.h"
#include "shell/title.h"
#include "tests/shell/shell_window.h"

namespace {

TEST(App, OptionsOutsideTheTestMode) {
  using namespace app;
  // Outside --test only --gdi, --view, --unattended and --minimized act; words that act only with --test may stay.
  EXPECT_EQ(keep_flags(opt_gdi | opt_view | opt_unattended | opt_minimized),
            opt_gdi | opt_view | opt_unattended | opt_minimized);
  EXPECT_EQ(keep_flags(opt_churn | opt_dpi | opt_feed | opt_no_gpu | opt_settings | opt_tops), 0u);
  EXPECT_EQ(keep_flags(opt_live | opt_as_shipped), opt_live | opt_as_shipped);
  const u32 all = 0x3FFFFFF;
  EXPECT_EQ(keep_flags(all), all) << "--test keeps every word";
  EXPECT_EQ(keep_flags(all & ~opt_test) & ~kept_outside_test, 0u);
}

TEST(App, WarmUpRows) {
  using namespace app;
  const struct {
    u32 options, rows;
  } cases[] = {{0, 120},
               {opt_short_ring, 10},
               {opt_empty_ring, 0},
               {opt_full_ring, 600},
               {opt_short_ring | opt_empty_ring, 0},
               {opt_full_ring | opt_empty_ring | opt_short_ring, 600}};
  for (const auto& c : cases) EXPECT_EQ(warm_rows(c.options), c.rows) << c.options;
}

TEST(App, ModelIsCarvedWhole) {
  EXPECT_EQ(sizeof(app::Model), 757512u);
  EXPECT_GE(app::arena_bytes, sizeof(app::Model) + 63);
  EXPECT_EQ(app::test_arena_bytes - app::arena_bytes, 2048u);
}

TEST(App, DpiGeometry) {
  EXPECT_EQ(app::rescale(1280, 96, 144), 1920);
  EXPECT_EQ(app::rescale(1001, 96, 144), 1502) << "half rounds up";
  EXPECT_EQ(app::rescale(1920, 144, 96), 1280);
  const win::Rect c = app::center_in(win::Rect{100, 100, 1380, 900}, 1920, 1200);
  EXPECT_EQ(c.left, -220);
  EXPECT_EQ(c.top, -100);
  EXPECT_EQ(c.right - c.left, 1920);

  // A window rescaled around its centre is kept on the work area: its title strip never above the top, at least
  // the visible width and half of it inside horizontally, half of its height inside vertically.
  const win::Rect area{0, 0, 1920, 1040};
  const struct {
    win::Rect r;
    win::Rect kept;
  } cases[] = {
      {{-220, -100, 1700, 1100}, {-220, 0, 1700, 1200}},     // top clamped to the area's top
      {{1800, 100, 3720, 1300}, {960, 100, 2880, 1300}},     // half the width back inside
      {{-1800, 100, 120, 1300}, {-960, 100, 960, 1300}},
      {{100, 1000, 740, 1400}, {100, 840, 740, 1240}},       // half the height back inside
      {{100, 100, 740, 500}, {100, 100, 740, 500}},          // inside: unchanged
  };
  for (const auto& k : cases) {
    const win::Rect got = app::keep_on_monitor(k.r, area, 60, 207);
    EXPECT_EQ(got.left, k.kept.left) << k.r.left << "," << k.r.top;
    EXPECT_EQ(got.top, k.kept.top) << k.r.left << "," << k.r.top;
    EXPECT_EQ(got.right - got.left, k.r.right - k.r.left);
    EXPECT_EQ(got.bottom - got.top, k.r.bottom - k.r.top);
  }
}

// The window opens at (120, 80) with 1280 x 800 logical px, but never larger than the work area of its screen, nor
// partly off it.
TEST(App, StartRectFitsTheWorkArea) {
  const struct {
    u32 dpi;
    bool area_known;
    win::Rect area, opened;
  } cases[] = {
      {96, false, {}, {120, 80, 1400, 880}},                                   // no work area known (headless)
      {96, true, {0, 0, 3840, 2160}, {120, 80, 1400, 880}},                    // room enough: as asked
      {100, true, {0, 0, 1280, 800}, {0, 0, 1280, 800}},                       // 1334 x 834 cut to the screen
      {96, true, {0, 0, 1280, 800}, {0, 0, 1280, 800}},                        // as large as the screen: moved in
      {144, true, {0, 32, 1920, 1040}, {0, 32, 1920, 1040}},                   // 1920 x 1200 at 144 DPI
      {96, true, {1920, 0, 3840, 1080}, {1920, 80, 3200, 880}},                // a second monitor: moved onto it
  };
  for (const auto& c : cases) {
    const win::Rect got = app::start_rect(c.dpi, c.area_known ? &c.area : nullptr);
    EXPECT_EQ(got.left, c.opened.left) << c.dpi << " " << c.area.right;
    EXPECT_EQ(got.top, c.opened.top) << c.dpi << " " << c.area.right;
    EXPECT_EQ(got.right, c.opened.right) << c.dpi << " " << c.area.right;
    EXPECT_EQ(got.bottom, c.opened.bottom) << c.dpi << " " << c.area.right;
  }
}

// The show command at start, and the scroll arithmetic of the tall pages.
TEST(App, ShowCommandAndScrollArithmetic) {
  EXPECT_EQ(app::show_command(false, false), 10u);
  EXPECT_EQ(app::show_command(true, false), 4u);
  EXPECT_EQ(app::show_command(true, true), 7u);
  EXPECT_EQ(app::show_command(false, true), 7u);
  EXPECT_EQ(app::minus_or_zero(5, 7), 0);
  EXPECT_EQ(app::minus_or_zero(7, 5), 2);
  EXPECT_EQ(app::clamp_to(-3, 10), 0);
  EXPECT_EQ(app::clamp_to(12, 10), 10);
  EXPECT_EQ(app::page_step(800), 728);
  EXPECT_EQ(app::page_step(90), 32);
  const struct {
    i64 scroll, top, bottom, height, want;
  } rows[] = {
      {0, 512, 544, 400, 164},    // below the view: scrolled until its bottom + 20 shows
      {500, 512, 544, 400, 452},  // above it: until 60 px above its top show
      {300, 512, 544, 400, 300},  // in view: unchanged
  };
  for (const auto& r : rows) EXPECT_EQ(app::keep_visible_scroll(r.scroll, r.top, r.bottom, r.height), r.want);
}

}  // namespace

namespace {

// Outside the test mode the 100 ms link timer runs only while something it steps is open (a viewer link, the
// stored-history source, the publisher): a window with none wakes for the second's tick alone, and the timer comes
// back as soon as one opens and goes again when it closes. The tick keeps running throughout.
TEST(App, LinkTimerRunsOnlyWhileALinkIsOpen) {
  shelltest::ShellWindow w(false);
  ASSERT_TRUE(w.made);
  auto live = [&](u32 id) {
    for (const win::Timer& t : w.thread.timers)
      if (t.live && t.window == w.s.window && t.id == id) return t.period_ms;
    return u32{0};
  };
  EXPECT_EQ(live(app::timer_link), app::link_ms);  // as the window starts
  app::pace_links(&w.s);
  EXPECT_EQ(live(app::timer_link), 0u);
  EXPECT_EQ(live(app::timer_tick), app::tick_ms);
  hist::Table table{};
  w.s.model->chart_source.table = &table;
  app::pace_links(&w.s);
  EXPECT_EQ(live(app::timer_link), app::link_ms);
  w.s.model->chart_source.table = nullptr;
  app::pace_links(&w.s);
  EXPECT_EQ(live(app::timer_link), 0u);
  EXPECT_EQ(live(app::timer_tick), app::tick_ms);
}

// One paint draws one frame: the record's frame counter moves by one, whether the frame is whole or partial and
// whatever page it shows.
TEST(AppPaint, OnePaintIsOneFrame) {
  shelltest::ShellWindow w;
  ASSERT_TRUE(w.made);
  const auto frames = [&] { return *reinterpret_cast<const u32*>(w.s.surface.record.view + draw::word_frames); };
  ASSERT_NE(w.s.surface.record.view, nullptr);
  app::paint(&w.s);
  for (u32 round = 0; round < 3; ++round) {
    const u32 before = frames();
    // A change under a small area (a partial frame), then a change of everything (a whole frame).
    draw::redo(&w.s.surface, draw::Rect{300, 60, 400, 100});
    draw::show(&w.s.surface, draw::Rect{300, 60, 400, 100});
    draw::changed(&w.s.surface);
    const win::Rect small{300, 60, 400, 100};
    win::invalidate(&w.thread, w.s.window, &small);
    app::paint(&w.s);
    EXPECT_EQ(frames() - before, 1u) << "partial, round " << round;
    app::redraw_all(&w.s);
    app::paint(&w.s);
    EXPECT_EQ(frames() - before, 2u) << "whole, round " << round;
  }
}

}  // namespace
