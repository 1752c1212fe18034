// Moving, sizing, maximizing and snapping the frameless window: the rectangles of the positions, the zones near the
// work area's edges, the Windows key + arrow table, dragging with its preview, and resizing.
#include <gtest/gtest.h>

#include "shell/dpi.h"
#include "shell/loop.h"
#include "shell/snap.h"
#include "widgets/texts.h"
#include "tests/shell/shell_window.h"

namespace {

using shelltest::same;
using shelltest::ShellWindow;
using shelltest::text;

constexpr u32 vk_left = 0x25, vk_up = 0x26, vk_right = 0x27, vk_down = 0x28;

TEST(Snap, RectanglesOfThePositions) {
  const win::Rect wide{0, 0, 1921, 1081}, narrow{100, 50, 1100, 650};
  const struct {
    u32 position, dpi;
    win::Rect area, want;
  } cases[] = {
      {1, 96, wide, {0, 0, 960, 1081}},        // the left half takes the smaller half of an odd width
      {2, 96, wide, {960, 0, 1921, 1081}},     // the right half the larger, starting at x 960
      {5, 96, wide, {0, 0, 960, 540}},
      {6, 96, wide, {960, 0, 1921, 540}},
      {9, 96, wide, {0, 540, 960, 1081}},      // the bottom quarter takes the larger half of an odd height
      {10, 96, wide, {960, 540, 1921, 1081}},
      {4, 96, wide, wide},                     // maximized: the whole work area
      {1, 96, narrow, {100, 50, 740, 650}},    // never narrower than 640 logical px: the halves overlap
      {2, 96, narrow, {460, 50, 1100, 650}},
      {5, 96, narrow, {100, 50, 740, 450}},    // nor lower than 400
      {10, 96, narrow, {460, 250, 1100, 650}},
      {1, 144, wide, {0, 0, 960, 1081}},       // 640 logical px at 144 DPI is 960
      {6, 144, wide, {960, 0, 1921, 600}},     // 400 logical px at 144 DPI is 600
  };
  for (const auto& c : cases) {
    const win::Rect got = app::snap_rect(c.position, c.area, c.dpi);
    EXPECT_TRUE(same(got, c.want)) << "position " << c.position << " at " << c.dpi << ": " << text(got);
  }
}

TEST(Snap, ZonesNearTheEdges) {
  const win::Rect area{0, 0, 1920, 1040};
  const struct {
    i32 x, y;
    u32 dpi, zone;
  } cases[] = {
      {500, 500, 96, 0},    // inside
      {7, 500, 96, 1},      // the left band (8 px)
      {8, 500, 96, 0},
      {1912, 500, 96, 2},   // the right band
      {1911, 500, 96, 0},
      {500, 3, 96, 4},      // the top edge alone: maximized
      {500, 1035, 96, 0},   // the bottom edge alone: nothing
      {3, 79, 96, 5},       // a side band reaching 80 px along the top: a quarter
      {3, 80, 96, 1},
      {79, 3, 96, 5},       // the top band reaching 80 px along the side
      {80, 3, 96, 4},
      {1900, 3, 96, 6},
      {3, 1000, 96, 9},
      {1850, 1035, 96, 10},
      {15, 500, 192, 1},    // the band is 8 logical px at the monitor's DPI
      {16, 500, 192, 0},
      {3, 159, 192, 5},
  };
  for (const auto& c : cases)
    EXPECT_EQ(app::snap_zone(c.x, c.y, area, c.dpi), c.zone) << c.x << "," << c.y << " at " << c.dpi;
}

// Win+arrows step through the table from the position the window is in; every arrow counts as handled.
TEST(Snap, WindowsKeyAndArrows) {
  ShellWindow w;
  ASSERT_TRUE(w.made);
  w.work_area(0, 0, 1920, 1040);
  const win::Rect floating = w.rect();
  ASSERT_TRUE(same(floating, win::Rect{120, 80, 1400, 880}));
  const win::Rect left{0, 0, 960, 1040}, right{960, 0, 1920, 1040}, area{0, 0, 1920, 1040};
  const struct {
    u32 key, state;
    bool maximized;
    win::Rect want;
  } steps[] = {
      {vk_left, 1, false, left},
      {vk_left, 1, false, left},                      // no change
      {vk_up, 5, false, {0, 0, 960, 520}},
      {vk_up, 5, false, {0, 0, 960, 520}},            // a top quarter: no change, still handled
      {vk_down, 1, false, left},
      {vk_down, 9, false, {0, 520, 960, 1040}},
      {vk_right, 0, false, floating},                 // back to the floating rectangle
      {vk_right, 2, false, right},
      {vk_down, 10, false, {960, 520, 1920, 1040}},
      {vk_up, 2, false, right},
      {vk_left, 0, false, floating},
      {vk_up, 0, true, area},
      {vk_left, 1, false, left},                      // from maximized to a half
      {vk_right, 0, false, floating},
      {vk_up, 0, true, area},
      {vk_down, 0, false, floating},                  // Win+Down on a maximized window restores it
  };
  for (const auto& step : steps) {
    EXPECT_TRUE(app::snap_key(&w.s, step.key));
    SCOPED_TRACE(text(w.rect()));
    EXPECT_TRUE(same(w.rect(), step.want));
    EXPECT_EQ(app::snap_state(w.s), step.state);
    EXPECT_EQ((w.s.flags & app::flag_maximized) != 0, step.maximized);
  }
  // Other keys are not the table's.
  EXPECT_FALSE(app::snap_key(&w.s, 0x41));
  EXPECT_FALSE(app::snap_key(&w.s, 0x24));
  // Win+Down on a floating window minimizes it.
  EXPECT_TRUE(app::snap_key(&w.s, vk_down));
  EXPECT_TRUE(win::is_iconic(w.thread, w.s.window));
  EXPECT_TRUE(same(w.rect(), floating));
}

// A DPI change keeps a snapped or maximized window in its place of the work area, at the sizes of the new DPI, and
// the floating rectangle it goes back to is rescaled with it.
TEST(Snap, ADpiChangeKeepsTheSnapPlace) {
  const win::Rect area{0, 0, 1920, 1040};
  for (const u32 position : {1u, 2u, 5u, 6u, 9u, 10u, u32{app::position_maximized}}) {
    SCOPED_TRACE(position);
    ShellWindow w;
    ASSERT_TRUE(w.made);
    w.work_area(0, 0, 1920, 1040);
    const win::Rect floating = w.rect();
    app::apply_snap(&w.s, position, area, 96, floating);
    ASSERT_TRUE(same(w.rect(), app::snap_rect(position, area, 96)));
    for (const u32 dpi : {144u, 120u, 96u}) {
      app::set_dpi(&w.s, dpi);
      EXPECT_TRUE(same(w.rect(), app::snap_rect(position, area, dpi))) << dpi << ": " << text(w.rect());
      EXPECT_EQ(app::snap_state(w.s), position == app::position_maximized ? 0u : position);
      EXPECT_EQ((w.s.flags & app::flag_maximized) != 0, position == app::position_maximized);
    }
    app::set_dpi(&w.s, 120);
    app::apply_snap(&w.s, 0, area, 120, w.rect());
    EXPECT_EQ(w.rect().right - w.rect().left, 1600) << "the floating width at 120 DPI";
    EXPECT_EQ(w.rect().bottom - w.rect().top, 1000);
  }
}

TEST(Snap, NothingSnapsWithoutAWorkArea) {
  ShellWindow w;
  ASSERT_TRUE(w.made);
  const win::Rect before = w.rect();
  EXPECT_TRUE(app::snap_key(&w.s, vk_left));
  EXPECT_TRUE(app::snap_key(&w.s, vk_up));
  EXPECT_TRUE(same(w.rect(), before));
  EXPECT_EQ(app::snap_state(w.s), 0u);
  app::toggle_maximize(&w.s);
  EXPECT_EQ(w.s.flags & app::flag_maximized, 0);
  // A move to the screen's edge moves the window and shows no preview.
  app::begin_drag(&w.s, app::drag_moving, 720, 100);
  app::drag_move(&w.s, 3, 500);
  EXPECT_EQ(w.s.snap_preview, 0u);
  app::end_drag_snap(&w.s, 3, 500);
  app::cancel_drag(&w.s);
  EXPECT_TRUE(same(w.rect(), win::Rect{-597, 480, 683, 1280}));
}

// A move to the left edge shows the translucent preview of the left half behind the window; away from the edges
// it goes; at the release there the window snaps, and the rectangle at the press becomes the floating one.
TEST(Snap, DragShowsThePreviewAndSnapsAtTheRelease) {
  ShellWindow w;
  ASSERT_TRUE(w.made);
  w.work_area(0, 0, 1920, 1040);
  const win::Rect floating = w.rect();
  app::begin_drag(&w.s, app::drag_moving, 720, 100);
  EXPECT_EQ(win::get_capture(w.thread), w.s.window);
  app::drag_move(&w.s, 730, 110);
  EXPECT_TRUE(same(w.rect(), win::Rect{130, 90, 1410, 890}));
  EXPECT_EQ(w.s.snap_preview, 0u) << "away from the edges";

  app::drag_move(&w.s, 3, 500);
  EXPECT_TRUE(same(w.rect(), win::Rect{-597, 480, 683, 1280})) << text(w.rect());
  const win::Handle preview = w.s.snap_preview;
  ASSERT_NE(preview, 0u);
  EXPECT_EQ(app::preview_state(w.s), 1u);
  const win::Window* p = w.record(preview);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(same(p->rect, win::Rect{0, 0, 960, 1040}));
  EXPECT_EQ(p->alpha, app::preview_alpha);
  EXPECT_EQ(p->below_of, w.s.window) << "directly behind the window";
  EXPECT_TRUE(p->visible);
  EXPECT_EQ(p->ex_style & (win::ws_ex_transparent | win::ws_ex_noactivate),
            win::ws_ex_transparent | win::ws_ex_noactivate);
  EXPECT_TRUE(mem::eq(mem::Bytes(w.thread.classes[p->class_index].name, w.thread.classes[p->class_index].name_length),
                      app::snap_class_name()));
  EXPECT_NE(w.thread.focus, preview);

  app::drag_move(&w.s, 3, 40);  // the top-left corner region
  EXPECT_EQ(w.s.snap_preview, preview) << "the same window, moved";
  EXPECT_TRUE(same(w.record(preview)->rect, win::Rect{0, 0, 960, 520}));
  app::drag_move(&w.s, 600, 500);
  EXPECT_EQ(w.s.snap_preview, 0u);
  EXPECT_EQ(w.record(preview), nullptr) << "the preview window is gone";
  EXPECT_EQ(app::preview_state(w.s), 0u);

  app::drag_move(&w.s, 3, 500);
  app::end_drag_snap(&w.s, 3, 500);
  app::cancel_drag(&w.s);
  EXPECT_EQ(w.s.snap_preview, 0u);
  EXPECT_EQ(w.s.drag, 0);
  EXPECT_EQ(win::get_capture(w.thread), 0u);
  EXPECT_TRUE(same(w.rect(), win::Rect{0, 0, 960, 1040})) << text(w.rect());
  EXPECT_EQ(app::snap_state(w.s), 1u);
  EXPECT_TRUE(same(w.s.saved_rect, floating)) << text(w.s.saved_rect);
}

// A snapped or maximized window stays until the pointer is 4 logical px from the press; then it takes its floating
// size under the pointer, at the same relative x.
TEST(Snap, DraggingASnappedWindowLoosensIt) {
  for (const u32 key : {vk_up, vk_left}) {
    SCOPED_TRACE(key);
    ShellWindow w;
    ASSERT_TRUE(w.made);
    w.work_area(0, 0, 1920, 1040);
    ASSERT_TRUE(app::snap_key(&w.s, key));
    const win::Rect snapped = w.rect();
    const i32 x = snapped.left + (snapped.right - snapped.left) / 2;  // half way across
    app::begin_drag(&w.s, app::drag_moving, x, 20);
    app::drag_move(&w.s, x + 2, 22);  // 8 < 16 squared px
    EXPECT_TRUE(same(w.rect(), snapped));
    EXPECT_FALSE(app::is_floating(w.s));
    app::drag_move(&w.s, x + 4, 20);
    EXPECT_TRUE(app::is_floating(w.s));
    const i32 left = x + 4 - (x + 4 - snapped.left) * 1280 / (snapped.right - snapped.left);
    EXPECT_TRUE(same(w.rect(), win::Rect{left, 0, left + 1280, 800})) << text(w.rect());
    app::drag_move(&w.s, x + 14, 30);  // from there it follows the pointer
    EXPECT_TRUE(same(w.rect(), win::Rect{left + 10, 10, left + 1290, 810})) << text(w.rect());
    app::cancel_drag(&w.s);
  }
}

TEST(Snap, ResizeKeepsTheMinimumAndLoosensASnap) {
  ShellWindow w;
  ASSERT_TRUE(w.made);
  w.work_area(0, 0, 1920, 1040);
  app::begin_drag(&w.s, app::edge_left | app::edge_top, 120, 80);
  app::drag_move(&w.s, 1000, 700);
  EXPECT_TRUE(same(w.rect(), win::Rect{760, 480, 1400, 880})) << text(w.rect());
  app::drag_move(&w.s, 20, 30);
  EXPECT_TRUE(same(w.rect(), win::Rect{20, 30, 1400, 880})) << text(w.rect());
  app::cancel_drag(&w.s);
  app::begin_drag(&w.s, app::edge_right | app::edge_bottom, 1400, 880);
  app::drag_move(&w.s, 1500, 930);
  EXPECT_TRUE(same(w.rect(), win::Rect{20, 30, 1500, 930})) << text(w.rect());
  // A resize never shows a preview, however near the edge.
  app::drag_move(&w.s, 1915, 1035);
  EXPECT_EQ(w.s.snap_preview, 0u);
  app::cancel_drag(&w.s);

  ASSERT_TRUE(app::snap_key(&w.s, vk_left));
  ASSERT_EQ(app::snap_state(w.s), 1u);
  app::begin_drag(&w.s, app::edge_right, 960, 500);
  EXPECT_EQ(app::snap_state(w.s), 0u) << "a resized window no longer counts as snapped";
  app::drag_move(&w.s, 1000, 500);
  EXPECT_TRUE(same(w.rect(), win::Rect{0, 0, 1000, 1040}));
  app::cancel_drag(&w.s);
}

// Under --test the driver's mouse messages carry client points: the screen point adds the window's corner.
TEST(Snap, MessagePointOfTheDriver) {
  ShellWindow w;
  ASSERT_TRUE(w.made);
  win::Msg m{};
  m.message = win::wm_mousemove;
  m.lparam = (i64{30} << 16) | 0xFFF6;  // (-10, 30)
  i32 x = 0, y = 0;
  app::message_point(w.s, m, &x, &y);
  EXPECT_EQ(x, 110);
  EXPECT_EQ(y, 110);
  EXPECT_TRUE(app::has_capture(w.s));
}

}  // namespace
