// The drawing surface: coordinates, the redo and show lists, and the paint pipeline with partial frames, re-shows
// and the fall-back to the GDI road.
#include <random>

#include "tests/drawing/surface.h"

namespace {

using draw::Rect;
using surface::Element;
using surface::Scene;

TEST(DrawCoordinates, ScaleAtCommonDpis) {
  struct Case {
    i32 x;
    u32 dpi;
    i32 px, logical, up;
  };
  const Case cases[] = {
      {1, 120, 2, 0, 1},     {-1, 120, -1, -1, 0},  {15, 144, 23, 10, 10},  {10, 192, 20, 5, 5},
      {15, 96, 15, 15, 15},  {5, 120, 7, 4, 4},     {7, 0, 7, 7, 7},        {7, 2000, 70, 0, 1},
      {-15, 144, -22, -10, -10}, {3, 144, 5, 2, 2},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(draw::to_px(c.x, c.dpi), c.px) << c.x << " at " << c.dpi;
    EXPECT_EQ(draw::to_logical(c.x, c.dpi), c.logical) << c.x << " at " << c.dpi;
    EXPECT_EQ(draw::logical_up(c.x, c.dpi), c.up) << c.x << " at " << c.dpi;
  }
  EXPECT_EQ(draw::dpi_of(0), 96);
  EXPECT_EQ(draw::dpi_of(2000), 960);
  EXPECT_EQ(draw::dpi_of(120), 120);
  EXPECT_TRUE(draw::rows_even(4, 120));
  EXPECT_FALSE(draw::rows_even(5, 120));
  EXPECT_TRUE(draw::rows_even(2, 144));
  // Role heights: 15 px at 144 DPI is 22.5 and rounds up.
  EXPECT_EQ(draw::font_px(0, 144), 23);
  EXPECT_EQ(draw::font_px(2, 144), 15);
  EXPECT_EQ(draw::font_px(1, 192), 32);
  EXPECT_EQ(draw::font_px(3, 120), 15);
  const Rect r = draw::scale_rect(120, Rect{1, 2, 3, 4});
  EXPECT_EQ(r.left, 2);
  EXPECT_EQ(r.top, 3);
  EXPECT_EQ(r.right, 4);
  EXPECT_EQ(r.bottom, 5);
  EXPECT_EQ(draw::tile_floor(-5), 0);
  EXPECT_EQ(draw::tile_ceil(17), 32);
  EXPECT_EQ(draw::band_top(100, 3), 48);
  EXPECT_EQ(draw::band_top(100, 1u << 28), 100);
  EXPECT_EQ(draw::band_bottom(20, 3, 1, 50), 50);
  EXPECT_EQ(draw::band_bottom(20, 3, 0, 50), 20);
}

TEST(DrawColours, ConversionsAndUnits) {
  EXPECT_EQ(draw::bgra(0x00112233), 0xFF332211u);
  EXPECT_EQ(draw::premultiply(0x80FF0000), 0x80800000u);
  EXPECT_EQ(draw::code_point(0xD83D, 0xDE00), 0x1F600u);
  EXPECT_EQ(draw::code_point(0xD83D, 0x0041), 0xD83Du);
  for (u32 a = 0; a < 256; a += 5)
    for (u32 b = 0; b < 256; b += 3) EXPECT_EQ(draw::div255(a * b), (a * b * 2 + 255) / 510) << a << " " << b;
}

struct Lists : ::testing::Test {
  draw::Surface s{};
  void SetUp() override { s.dpi = 96; }
};

TEST_F(Lists, RedoWidensToTilesAndMergesNearEntries) {
  draw::redo_px(&s, Rect{3, 5, 20, 6});
  ASSERT_EQ(s.redo_count, 1);
  EXPECT_EQ(s.redo.left[0], 0);
  EXPECT_EQ(s.redo.top[0], 0);
  EXPECT_EQ(s.redo.right[0], 32);
  EXPECT_EQ(s.redo.bottom[0], 16);
  draw::redo_px(&s, Rect{40, 0, 50, 10});  // tiles 32..64, within 32 px: merged
  ASSERT_EQ(s.redo_count, 1);
  EXPECT_EQ(s.redo.right[0], 64);
  draw::redo_px(&s, Rect{100, 0, 101, 1});  // tiles 96..112: 32 px from 64, merged
  EXPECT_EQ(s.redo_count, 1);
  draw::redo_px(&s, Rect{150, 0, 160, 1});  // tiles 144..160: 32 from 112, merged
  EXPECT_EQ(s.redo_count, 1);
  draw::redo_px(&s, Rect{0, 16, 10, 17});  // another row of tiles
  EXPECT_EQ(s.redo_count, 2);
  draw::redo_px(&s, Rect{5, 5, 5, 9});  // empty
  EXPECT_EQ(s.redo_count, 2);
}

// The same columns of rows that meet or touch become one entry (their union), also when widening one row made its
// columns those of its neighbours, and when one row bridges two entries.
TEST_F(Lists, SameColumnsOfTouchingRowsJoin) {
  draw::show_px(&s, Rect{0, 0, 10, 16});
  draw::show_px(&s, Rect{0, 16, 10, 32});
  ASSERT_EQ(s.show_count, 1);
  EXPECT_EQ(s.shows.top[0], 0);
  EXPECT_EQ(s.shows.bottom[0], 32);
  draw::show_px(&s, Rect{0, 40, 10, 50});  // a gap above: its own entry
  draw::show_px(&s, Rect{0, 32, 10, 40});  // bridges the two
  ASSERT_EQ(s.show_count, 1);
  EXPECT_EQ(s.shows.bottom[0], 50);
  draw::show_px(&s, Rect{0, 50, 5, 60});  // other columns
  EXPECT_EQ(s.show_count, 2);
  draw::show_px(&s, Rect{8, 50, 10, 60});  // widened to the columns above, then joined to them
  ASSERT_EQ(s.show_count, 1);
  EXPECT_EQ(s.shows.left[0], 0);
  EXPECT_EQ(s.shows.right[0], 10);
  EXPECT_EQ(s.shows.bottom[0], 60);
  draw::redo_px(&s, Rect{0, 150, 40, 167});  // tiles 144..176
  draw::redo_px(&s, Rect{0, 167, 40, 184});  // tiles 160..192, overlapping
  ASSERT_EQ(s.redo_count, 1);
  EXPECT_EQ(s.redo.top[0], 144);
  EXPECT_EQ(s.redo.bottom[0], 192);
}

TEST_F(Lists, ShowsMergeWithin32PxAndOverflowAt65) {
  draw::show_px(&s, Rect{0, 0, 10, 5});
  draw::show_px(&s, Rect{42, 0, 50, 5});
  ASSERT_EQ(s.show_count, 1);
  EXPECT_EQ(s.shows.right[0], 50);
  draw::show_px(&s, Rect{83, 0, 90, 5});  // 33 px away
  EXPECT_EQ(s.show_count, 2);
  draw::show_px(&s, Rect{0, 0, 100000, 70000});  // clamped to int16
  EXPECT_EQ(s.shows.right[2], 32767);
  for (i32 i = 3; i < 64; ++i) draw::show_px(&s, Rect{0, i * 10, 1, i * 10 + 1});
  EXPECT_EQ(s.show_count, 64);
  EXPECT_EQ(s.overflow, 0);
  draw::show_px(&s, Rect{0, 9000, 1, 9001});
  EXPECT_EQ(s.show_count, 64);
  EXPECT_EQ(s.overflow, 1);
  const Rect box = draw::shows_box(s);
  EXPECT_EQ(box.left, 0);
  EXPECT_EQ(box.right, 32767);
  draw::Surface none{};
  const Rect inverted = draw::shows_box(none);
  EXPECT_GT(inverted.left, inverted.right);
}

TEST_F(Lists, WantedOnlyUnderRedoInPartialFrames) {
  draw::redo_px(&s, Rect{16, 16, 32, 32});
  EXPECT_TRUE(draw::wanted_px(s, 100, 100, 110, 110));  // not partial: everything
  s.partial = 1;
  EXPECT_FALSE(draw::wanted_px(s, 100, 100, 110, 110));
  EXPECT_FALSE(draw::wanted_px(s, 0, 0, 16, 16));  // touching corners only
  EXPECT_TRUE(draw::wanted_px(s, 0, 0, 17, 17));
  s.dpi = 192;
  EXPECT_TRUE(draw::wanted(s, 10, 10, 12, 12));  // 20..24 px
  EXPECT_FALSE(draw::wanted(s, 0, 0, 8, 8));
}

TEST_F(Lists, CoveredTilesCutAtTheFrame) {
  draw::show_px(&s, Rect{0, 0, 40, 20});
  EXPECT_TRUE(draw::covered(s, 16, 0, 100, 100));
  EXPECT_FALSE(draw::covered(s, 32, 0, 100, 100));
  EXPECT_TRUE(draw::covered(s, 32, 0, 40, 100));  // the tile is cut at a frame 40 px wide
  EXPECT_FALSE(draw::covered(s, 0, 16, 100, 100));
  EXPECT_TRUE(draw::covered(s, 0, 16, 100, 20));
}

// ---- Paint pipeline

Scene panel(u32 shade) {
  Scene scene;
  scene.push_back(Element{Rect{0, 0, 200, 120}, 0x00302010, false, 0, ""});
  scene.push_back(Element{Rect{10, 10, 90, 40}, 0x00405060 + shade, false, 0, ""});
  scene.push_back(Element{Rect{12, 50, 190, 68}, 0x00E0E0E0, true, 0, "Processes 12.5 %"});
  scene.push_back(Element{Rect{12, 80, 190, 98}, 0x0080C0FF, true, 1, "chrome.exe 1,024 MiB"});
  return scene;
}

TEST(DrawPipeline, ReshowWhenNothingChanged) {
  surface::Window w;
  ASSERT_EQ(w.start(200, 120), 0u);
  ASSERT_TRUE(w.paint_scene(panel(0)));
  EXPECT_EQ(w.whole_frames, 1u);
  EXPECT_EQ(w.word(draw::word_frames), 1u);
  EXPECT_EQ(w.word(draw::word_mode), 1u);
  EXPECT_EQ(w.word(draw::word_width), 200u);
  EXPECT_EQ(w.word(draw::word_height), 120u);
  EXPECT_EQ(w.word(draw::word_status), 0u);
  EXPECT_EQ(w.word(draw::word_busy), 0u);
  const std::vector<u32> first = w.shown();
  EXPECT_EQ(first[5 * 200 + 5], 0xFF102030u);  // the background, red and blue swapped
  ASSERT_TRUE(w.paint_scene(panel(0)));
  EXPECT_EQ(w.reshows, 1u);
  EXPECT_EQ(w.word(draw::word_frames), 2u);
  draw::changed(&w.s);
  ASSERT_TRUE(w.paint_scene(panel(1)));
  EXPECT_EQ(w.whole_frames, 2u);
  EXPECT_EQ(w.reshows, 1u);
  EXPECT_NE(w.shown(), first);
}

TEST(DrawPipeline, WhichFramesArePartial) {
  surface::Window w;
  ASSERT_EQ(w.start(200, 120), 0u);
  ASSERT_TRUE(w.paint_scene(panel(0)));
  struct Case {
    const char* what;
    bool show, overflow, invalidate, mismatch;
    bool partial;
  };
  const Case cases[] = {
      {"redo without shows", false, false, false, false, false},
      {"redo and show", true, false, false, false, true},
      {"an overflowing list", true, true, false, false, false},
      {"the renderer's full-redraw flag", true, false, true, false, false},
      {"a failed hash check", true, false, false, true, false},
  };
  u32 shade = 1;
  for (const Case& c : cases) {
    const Rect box{10, 10, 90, 40};
    draw::redo(&w.s, box);
    if (c.show) draw::show(&w.s, box);
    for (i32 i = 0; c.overflow && i < 65; ++i) draw::show_px(&w.s, Rect{0, 2 * i, 1, 2 * i + 1});
    w.s.hash_mismatch = c.mismatch;
    c.invalidate ? draw::invalidate(&w.s) : draw::changed(&w.s);
    const u32 before = w.partial_frames;
    ASSERT_TRUE(w.paint_scene(panel(shade++)));
    EXPECT_EQ(w.partial_frames - before, c.partial ? 1u : 0u) << c.what;
    EXPECT_EQ(w.word(draw::word_status), c.mismatch ? u32{draw::hash_disagrees} : 0u) << c.what;
  }
}

// The window keeps what it was sent: a frame sends its show rectangles and the changed tiles no show covers, a
// re-show the paint box, and only a window that may show something else (after the GDI road) gets the whole frame.
// After each paint the window shows exactly the kept frame.
TEST(DrawPipeline, SendsOnlyWhatChanged) {
  surface::Window w;
  ASSERT_EQ(w.start(200, 120), 0u);
  ASSERT_TRUE(w.paint_scene(panel(0)));
  struct Case {
    const char* what;
    bool redo, show, dirty_only, gdi_before, reshow;
    u64 pixels;
  };
  const Case cases[] = {
      {"shows that cover the change, the paint box theirs", true, true, true, false, false, 96 * 48},
      {"shows that cover the change, a larger paint box", true, true, false, false, false, 96 * 48},
      {"a whole frame: the changed tiles only", false, false, false, false, false, 96 * 48},
      {"a re-show: the paint box only", false, false, false, false, true, 50 * 40},
      {"after a GDI frame: everything", false, false, false, true, false, 200 * 120},
  };
  u32 shade = 1;
  for (const Case& c : cases) {
    if (c.gdi_before) {
      // One frame down the GDI road (the own renderer failing once), then an own frame.
      w.s.vimb->renderer->failed = 1;
      draw::changed(&w.s);
      ASSERT_TRUE(w.paint_scene(panel(shade++)));
      w.s.vimb->renderer->failed = 0;
    }
    if (c.redo) draw::redo(&w.s, Rect{10, 10, 90, 40});
    if (c.show) draw::show(&w.s, Rect{0, 0, 96, 48});
    if (!c.reshow) draw::changed(&w.s);
    draw::limit_box(&w.s, c.reshow ? Rect{20, 30, 70, 70} : c.dirty_only ? Rect{0, 0, 96, 48} : Rect{0, 0, 200, 120},
                    c.dirty_only);
    u64 before = 0, after = 0;
    gdi::window_sends(w.window, &before);
    ASSERT_TRUE(w.paint_scene(panel(c.reshow ? shade - 1 : shade++))) << c.what;
    gdi::window_sends(w.window, &after);
    EXPECT_EQ(after - before, c.pixels) << c.what;
    EXPECT_EQ(surface::first_difference(w.shown(), w.kept()), -1) << c.what;
  }
}

TEST(DrawPipeline, FailedFrameGoesToGdiThenRetries) {
  surface::Window w;
  ASSERT_EQ(w.start(200, 120), 0u);
  ASSERT_TRUE(w.paint_scene(panel(0)));
  // A set-up failure of the renderer fails its frames; the same frame is drawn again on the GDI road.
  w.s.vimb->renderer->failed = 1;
  draw::changed(&w.s);
  ASSERT_TRUE(w.paint_scene(panel(1)));
  EXPECT_EQ(w.s.status, draw::frame_failed);
  EXPECT_EQ(w.word(draw::word_status), u32{draw::frame_failed});
  EXPECT_EQ(w.word(draw::word_mode), 0u);
  EXPECT_EQ(w.s.kept, 0);
  // Nothing changed since the failure: no second try on the own renderer.
  draw::begin(&w.s, w.window, 200, 120);
  EXPECT_EQ(w.s.mode, 0);
  draw::present(&w.s, w.window, 200, 120);
  w.s.vimb->renderer->failed = 0;
  draw::changed(&w.s);
  ASSERT_TRUE(w.paint_scene(panel(2)));
  EXPECT_EQ(w.word(draw::word_mode), 1u);
  EXPECT_EQ(w.word(draw::word_status), 0u);
}

// A partial frame whose tile lists do not fit fails like any own frame; the GDI road draws it instead, and the
// window shows the same pixels a whole frame would.
TEST(DrawPipeline, PartialListsThatDoNotFitFallBack) {
  surface::Window w, reference;
  ASSERT_EQ(w.start(200, 120), 0u);
  ASSERT_EQ(reference.start(200, 120), 0u);
  ASSERT_TRUE(w.paint_scene(panel(0)));
  w.s.vimb->renderer->limits.tile_entries = 1;
  draw::redo(&w.s, Rect{10, 10, 90, 40});
  draw::show(&w.s, Rect{10, 10, 90, 40});
  draw::changed(&w.s);
  ASSERT_TRUE(w.paint_scene(panel(9)));
  EXPECT_EQ(w.partial_frames, 1u);
  EXPECT_EQ(w.word(draw::word_mode), 0u);
  EXPECT_EQ(w.word(draw::word_status), u32{draw::frame_failed});
  ASSERT_TRUE(reference.paint_scene(panel(9)));
  EXPECT_EQ(surface::first_difference(w.shown(), reference.shown()), -1);
}

// ---- Partial frames against whole frames

Element random_element(std::mt19937* rng, i32 width, i32 height) {
  static const char* const words[] = {"cpu", "12.5 %", "Memory 8.1 GiB", "disk 0 (C:)", "Ethernet", "GPU 3D 45 %",
                                      "svchost.exe", "0.0 MiB/s"};
  auto pick = [&](i32 lo, i32 hi) { return std::uniform_int_distribution<i32>(lo, hi)(*rng); };
  Element e{};
  e.colour = static_cast<u32>(pick(0, 0xFFFFFF));
  e.is_text = pick(0, 2) != 0;
  i32 x = pick(-10, width - 10), y = pick(-10, height - 10);
  if (e.is_text) {
    e.role = static_cast<u32>(pick(0, 3));
    e.text = words[pick(0, 7)];
    e.box = Rect{x, y, x + pick(20, 160), y + pick(10, 24)};
  } else {
    e.box = Rect{x, y, x + pick(1, 90), y + pick(1, 60)};
  }
  return e;
}

// Changes a few elements between frames, naming their old and new boxes in the redo and show lists: the window of
// the partial frames must show what a window drawn whole every time shows.
TEST(DrawPartial, EqualsWholeFramesPixelForPixel) {
  for (u32 dpi : {96u, 120u, 144u}) {
    for (u32 seed : {1u, 2u, 3u}) {
      surface::Window part, whole;
      const i32 width = 240, height = 160;
      ASSERT_EQ(part.start(width, height, dpi), 0u);
      ASSERT_EQ(whole.start(width, height, dpi), 0u);
      whole.s.whole_only = 1;
      std::mt19937 rng(seed);
      const i32 lw = draw::to_logical(width, dpi), lh = draw::to_logical(height, dpi);
      Scene scene{Element{Rect{0, 0, lw, lh}, 0x00202020, false, 0, ""}};
      for (i32 i = 0; i < 40; ++i) scene.push_back(random_element(&rng, lw, lh));
      ASSERT_TRUE(part.paint_scene(scene));
      ASSERT_TRUE(whole.paint_scene(scene));
      for (u32 step = 0; step < 12; ++step) {
        draw::Rect all{32767, 32767, -32768, -32768};
        for (u32 k = 0; k < 3; ++k) {
          size_t i = 1 + rng() % (scene.size() - 1);
          for (const Rect& r : {scene[i].box, (scene[i] = random_element(&rng, lw, lh)).box}) {
            draw::redo(&part.s, r);
            draw::show(&part.s, r);
            const Rect p = draw::scale_rect(dpi, r);
            all = Rect{std::min(all.left, p.left), std::min(all.top, p.top), std::max(all.right, p.right),
                       std::max(all.bottom, p.bottom)};
          }
        }
        draw::changed(&part.s);
        draw::limit_box(&part.s, all, true);
        draw::changed(&whole.s);
        ASSERT_TRUE(part.paint_scene(scene));
        ASSERT_TRUE(whole.paint_scene(scene));
        ASSERT_EQ(surface::first_difference(part.kept(), whole.kept()), -1) << dpi << " " << seed << " " << step;
        ASSERT_EQ(surface::first_difference(part.shown(), whole.shown()), -1) << dpi << " " << seed << " " << step;
      }
      EXPECT_GE(part.partial_frames, 10u);
      EXPECT_EQ(whole.partial_frames, 0u);
      EXPECT_EQ(part.word(draw::word_status), 0u);
    }
  }
}

}  // namespace
