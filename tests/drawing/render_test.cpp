#include "drawing/render.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "drawing/cpu.h"
#include "scene.h"

namespace {

using scene::Frame;

struct RenderTest : ::testing::Test {
  Frame f;
  void SetUp() override {
    ASSERT_TRUE(f.open(scene::small_limits(), 100, 70));
    ASSERT_TRUE(f.begin());
  }
  render::Renderer& r() { return *f.r; }
};

// ---- Set-up

TEST(RenderInit, RefusesLimitsOutOfRange) {
  mem::Arena arena{};
  ASSERT_EQ(mem::arena_init(&arena, 128 << 20), 1u);
  auto* r = mem::alloc_of<render::Renderer>(&arena);
  std::vector<std::function<void(render::Limits&)>> breaks = {
      [](render::Limits& l) { l.slices = 17; },        [](render::Limits& l) { l.slices = 0; },
      [](render::Limits& l) { l.workers = 0; },        [](render::Limits& l) { l.workers = 17; },
      [](render::Limits& l) { l.canvas = 2049; },      [](render::Limits& l) { l.max_width = 16385; },
      [](render::Limits& l) { l.max_height = 0; },     [](render::Limits& l) { l.groups = 65537; },
      [](render::Limits& l) { l.atlas_bytes = 0; },    [](render::Limits& l) { l.points = 65536; },
      [](render::Limits& l) { l.glyphs = 268435457; }, [](render::Limits& l) { l.image_bytes = (1ull << 40) + 1; },
  };
  const u64 used = arena.used;
  for (size_t i = 0; i < breaks.size(); ++i) {
    render::Limits l = render::defaults();
    breaks[i](l);
    EXPECT_EQ(render::init(r, &arena, l), 0u) << "case " << i;
    EXPECT_EQ(arena.used, used) << "nothing is taken for refused limits, case " << i;
  }
  // The defaults fit in this arena, with two glyph workers whose blocks carry their tag.
  render::Limits l = render::defaults();
  l.workers = 2;
  ASSERT_EQ(render::init(r, &arena, l), 1u);
  EXPECT_EQ(r->failed, 0);
  EXPECT_EQ(r->all_changed, 1);
  u32 worker_blocks = 0;
  for (u32 i = 0; i < r->block_count; ++i) {
    worker_blocks += r->blocks[i].tag == render::tag_worker;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(r->blocks[i].ptr) % 64, 0u) << i;
  }
  EXPECT_EQ(worker_blocks, 12u);
  EXPECT_EQ(r->row_length, 240u * 135);
  EXPECT_EQ(render::kind_base(*r, render::kind_glyph), 4096u);
  EXPECT_EQ(render::kind_base(*r, render::kind_image), 4096u + 65536);
  EXPECT_EQ(r->gamma[0], 0);
  EXPECT_EQ(r->gamma[128], 160);
  EXPECT_EQ(r->gamma[255], 255);

  // An arena too small for the set-up refuses it.
  mem::Arena tiny{};
  ASSERT_EQ(mem::arena_init(&tiny, 1 << 20), 1u);
  auto* t = mem::alloc_of<render::Renderer>(&tiny);
  EXPECT_EQ(render::init(t, &tiny, render::defaults()), 0u);
  EXPECT_EQ(t->failed, 1);
  mem::release(&tiny);
  mem::release(&arena);
}

TEST(RenderGamma, Levels) {
  // c * (765 - c) / 510 rounded down after adding 255: lifts light coverage, keeps 0 and 255.
  struct Case { u32 c, level; };
  for (Case k : {Case{0, 0}, Case{1, 1}, Case{2, 3}, Case{64, 88}, Case{128, 160}, Case{192, 216}, Case{255, 255}})
    EXPECT_EQ(render::gamma_level(k.c), k.level) << k.c;
  for (u32 c = 1; c < 256; ++c) ASSERT_GE(render::gamma_level(c), render::gamma_level(c - 1));
}

TEST(RenderScale, ScaledClampsAndRounds) {
  EXPECT_EQ(render::scaled(1000, 256), 1000);
  EXPECT_EQ(render::scaled(1000, 512), 2000);
  EXPECT_EQ(render::scaled(-3, 128), -2);  // floor of -1.5
  EXPECT_EQ(render::scaled(INT32_MAX, 512), INT32_MAX);
  EXPECT_EQ(render::scaled(static_cast<i64>(INT32_MIN) * 4, 256), INT32_MIN);
  EXPECT_EQ(render::scaled(static_cast<i64>(INT32_MAX) * 2, 128), INT32_MAX);
}

// ---- Faces and images

TEST_F(RenderTest, FacesAreHeldUpToSixteen) {
  EXPECT_EQ(r().face_count, 1u);
  const u8 junk[20] = {};
  EXPECT_EQ(render::face_add(&r(), &f.arena, junk, sizeof junk), -1);
  for (i32 i = 1; i < 16; ++i) EXPECT_EQ(render::face_add(&r(), &f.arena, f.font.data(), f.font.size()), i);
  EXPECT_EQ(render::face_add(&r(), &f.arena, f.font.data(), f.font.size()), -1);
}

TEST_F(RenderTest, ImagesArePaddedToWholeRowsOfSixteen) {
  std::vector<u32> px(17, 0xFF112233);
  u32 used = static_cast<u32>(r().store_used);
  u32 index = render::image_add(&r(), px.data(), px.size(), 17, 1);
  ASSERT_EQ(index, 0u);
  EXPECT_EQ(r().store_used - used, 32u);
  const render::Image& im = r().images[index];
  EXPECT_EQ(im.stride, 32u);
  EXPECT_EQ(im.version, 1u);
  for (u32 x = 0; x < 32; ++x) EXPECT_EQ(im.pixels[x], x < 17 ? 0xFF112233u : 0u) << x;

  struct Case { u64 count; u32 w, h; };
  for (Case c : {Case{17, 0, 1}, Case{17, 17, 0}, Case{16, 17, 1}, Case{16385, 16385, 1}, Case{300000, 1, 300000}})
    EXPECT_EQ(render::image_add(&r(), px.data(), c.count, c.w, c.h), render::none) << c.w << "x" << c.h;
  // The store holds 262,144 pixels: a 512 x 512 image does not fit.
  std::vector<u32> big(512 * 512);
  EXPECT_EQ(render::image_add(&r(), big.data(), big.size(), 512, 512), render::none);

  std::vector<u32> next(17, 0xFF445566);
  EXPECT_EQ(render::image_update(&r(), index, next.data(), 16), 0u);
  EXPECT_EQ(render::image_update(&r(), 1, next.data(), 17), 0u);
  ASSERT_EQ(render::image_update(&r(), index, next.data(), 17), 1u);
  EXPECT_EQ(im.version, 2u);
  EXPECT_EQ(im.pixels[16], 0xFF445566u);
  EXPECT_EQ(im.pixels[17], 0u);
}

TEST_F(RenderTest, AtMost256Images) {
  u32 one = 0xFFFFFFFF;
  for (u32 i = 0; i < render::max_images; ++i) ASSERT_EQ(render::image_add(&r(), &one, 1, 1, 1), i);
  EXPECT_EQ(render::image_add(&r(), &one, 1, 1, 1), render::none);
}

// ---- Frame start

TEST_F(RenderTest, BeginChecksTheTarget) {
  render::Target t = f.target;
  struct Case { const char* what; std::function<void(render::Target&)> change; i32 scale; };
  std::vector<Case> cases = {
      {"stride not a multiple of 16", [](render::Target& x) { x.stride = 1000; x.count = 1u << 20; }, 256},
      {"stride below width", [](render::Target& x) { x.width = 113; }, 256},
      {"pixels not 64-aligned", [](render::Target& x) { x.pixels += 4; x.count -= 4; }, 256},
      {"too few pixels for rows rounded to 16", [](render::Target& x) { x.count = 112 * 79; }, 256},
      {"wider than the largest frame", [](render::Target& x) { x.width = 257; x.stride = 272; }, 256},
      {"no height", [](render::Target& x) { x.height = 0; }, 256},
      {"scale 0", [](render::Target&) {}, 0},
  };
  for (const Case& c : cases) {
    render::Target bad = t;
    c.change(bad);
    EXPECT_EQ(render::begin(&r(), bad, c.scale), 0u) << c.what;
    // A refused frame is closed: nothing can be recorded into it.
    render::fill_rect(&r(), 0, 0, 256, 256, 0xFFFFFFFF);
    EXPECT_EQ(r().rect_count, 0u) << c.what;
  }
  ASSERT_EQ(render::begin(&r(), t, 256), 1u);
  EXPECT_EQ(r().tile_columns, 7u);
  EXPECT_EQ(r().tile_rows, 5u);
  EXPECT_EQ(r().tile_count, 35u);
  ASSERT_EQ(f.finish(), 35);
  EXPECT_EQ(r().all_changed, 0);
  // The same target again is not a new one; another size is.
  ASSERT_EQ(render::begin(&r(), t, 256), 1u);
  EXPECT_EQ(r().all_changed, 0);
  render::Target smaller = t;
  smaller.height = 69;
  ASSERT_EQ(render::begin(&r(), smaller, 256), 1u);
  EXPECT_EQ(r().all_changed, 1);
}

// ---- Clip stack and recording

TEST_F(RenderTest, ClipsIntersectAndOverflowUndoesFirst) {
  render::push_clip(&r(), 10 * 256 + 100, 5 * 256 + 128, 500 * 256, 40 * 256);  // x0 rounds down, y0 up
  EXPECT_EQ(r().depth, 2u);
  const render::Clip& c = r().clips[1];
  EXPECT_EQ((std::vector<i32>{c.x0, c.y0, c.x1, c.y1}), (std::vector<i32>{10, 6, 100, 40}));
  // A clip wholly right of the current one is empty, not inverted.
  render::push_clip(&r(), 200 * 256, 0, 300 * 256, 10 * 256);
  EXPECT_EQ(r().clips[2].x0, 200);
  EXPECT_EQ(r().clips[2].x1, 200);
  render::pop_clip(&r());

  while (r().depth < render::clip_depth) render::push_clip(&r(), 20 * 256, 0, 30 * 256, 256 * 256);
  const render::Clip before = r().clips[render::clip_depth - 1];
  render::push_clip(&r(), 0, 0, 256, 256);  // the 33rd
  EXPECT_EQ(r().depth, render::clip_depth);
  EXPECT_EQ(r().overflow, 1u);
  render::fill_rect(&r(), 0, 0, 100 * 256, 100 * 256, 0xFF0000FF);  // drawn under the 32nd entry
  EXPECT_EQ(r().rects[0].x0, before.x0 * 256);
  render::pop_clip(&r());
  EXPECT_EQ(r().overflow, 0u);
  EXPECT_EQ(r().depth, render::clip_depth);
  for (u32 i = 0; i < 40; ++i) render::pop_clip(&r());
  EXPECT_EQ(r().depth, 1u);  // the frame's own clip stays
}

TEST_F(RenderTest, RectanglesAreCutToTheClip) {
  render::push_clip(&r(), 8 * 256, 8 * 256, 40 * 256, 40 * 256);
  render::fill_rect(&r(), 50 * 256, 0, 60 * 256, 60 * 256, 0xFFFFFFFF);  // wholly outside: nothing, no count
  render::fill_rect(&r(), 0, 0, 0, 30 * 256, 0xFFFFFFFF);                // empty
  EXPECT_EQ(r().rect_count + r().dropped + r().refused + r().command_count, 0u);
  render::fill_rect(&r(), 0, 10 * 256 + 64, 20 * 256 + 1, 90 * 256, 0x80402010);
  ASSERT_EQ(r().rect_count, 1u);
  const render::Rect& q = r().rects[0];
  EXPECT_EQ((std::vector<i32>{q.x0, q.y0, q.x1, q.y1}), (std::vector<i32>{2048, 2624, 5121, 10240}));
  EXPECT_EQ(q.colour, 0x80402010u);
  render::pop_clip(&r());
  render::prepare(&r());
  render::fill_rect(&r(), 0, 0, 256, 256, 0xFFFFFFFF);  // frame closed
  EXPECT_EQ(r().rect_count, 1u);
  EXPECT_EQ(r().refused, 1u);
}

TEST_F(RenderTest, LayersFollowKindChanges) {
  u32 px = 0xFFFFFFFF;
  ASSERT_EQ(render::image_add(&r(), &px, 1, 1, 1), 0u);
  for (u32 i = 0; i < 3; ++i) {
    render::fill_rect(&r(), 0, 0, 256, 256, 0xFF000000);
    render::image(&r(), 0, 0, 0, 1, 1, 0, 0, 512, 512);
  }
  EXPECT_EQ(r().command_count, 6u);
  EXPECT_EQ(r().layer_count, 6u);
  for (u32 i = 0; i < 3; ++i) render::fill_rect(&r(), 0, 0, 256, 256, 0xFF000000);
  EXPECT_EQ(r().command_count, 9u);
  EXPECT_EQ(r().layer_count, 7u);
  EXPECT_EQ(r().item_layers[render::kind_base(r(), render::kind_rect) + 5], 6u);
  EXPECT_EQ(r().layer_kinds[5], render::kind_image);
}

TEST(RenderLimits, FullListsCountDroppedItems) {
  render::Limits l = scene::small_limits();
  l.commands = 3;
  l.layers = 2;
  l.rects = 3;
  Frame f;
  ASSERT_TRUE(f.open(l, 64, 64));
  ASSERT_TRUE(f.begin());
  render::fill_rect(f.r, 0, 0, 256, 256, 0xFF000000);
  f.glyphs(16, 0, 4096, {1, 1}, 0xFFFFFFFF);
  EXPECT_EQ(f.r->layer_count, 2u);
  render::fill_rect(f.r, 0, 0, 256, 256, 0xFF000000);  // needs a third layer
  EXPECT_EQ(f.r->dropped, 1u);
  f.glyphs(16, 0, 4096, {1, 1, 1}, 0xFFFFFFFF);        // same layer, third command
  EXPECT_EQ(f.r->command_count, 3u);
  f.glyphs(16, 0, 4096, {2, 2}, 0xFFFFFFFF);           // command list full
  EXPECT_EQ(f.r->dropped, 3u);
  EXPECT_EQ(f.r->glyph_count, 5u);
}

TEST_F(RenderTest, GlyphRunsAreRefusedWholeOrCut) {
  std::vector<u32> ids = {1, 2, 0x10000};
  std::vector<i32> xs = {0, 256, 512}, ys = {0, 0, 0};
  EXPECT_EQ(render::glyph_run(&r(), 0, 16, 0, 0, ids.data(), 3, xs.data(), 3, ys.data(), 3, 0xFFFFFFFF), 0u);
  EXPECT_EQ(r().refused, 3u);
  ids[2] = 0xFFFF;
  EXPECT_EQ(render::glyph_run(&r(), 1, 16, 0, 0, ids.data(), 3, xs.data(), 3, ys.data(), 3, 0), 0u);  // no face 1
  EXPECT_EQ(render::glyph_run(&r(), 0, 16, 0, 0, ids.data(), 3, xs.data(), 2, ys.data(), 3, 0), 0u);
  EXPECT_EQ(render::glyph_run(&r(), 0, 0, 0, 0, ids.data(), 3, xs.data(), 3, ys.data(), 3, 0), 0u);
  EXPECT_EQ(render::glyph_run(&r(), 0, 2049, 0, 0, ids.data(), 3, xs.data(), 3, ys.data(), 3, 0), 0u);
  EXPECT_EQ(r().refused, 15u);
  EXPECT_EQ(r().glyph_count, 0u);

  // Pen plus offsets, scaled with 64-bit sums; the size scales too.
  ASSERT_EQ(render::begin(&r(), f.target, 512), 1u);
  render::push_clip(&r(), 0, 0, 40 * 256, 30 * 256);
  std::vector<i32> far = {INT32_MAX, -256, 0};
  EXPECT_EQ(render::glyph_run(&r(), 0, 12, INT32_MAX, 300, ids.data(), 3, far.data(), 3, ys.data(), 3, 7), 3u);
  const render::Glyph& g0 = r().glyphs[0];
  const render::Glyph& g1 = r().glyphs[1];
  EXPECT_EQ(g0.x, INT32_MAX);
  EXPECT_EQ(g1.x, INT32_MAX);  // (2^31 - 1 - 256) * 2 still clamps
  EXPECT_EQ(g0.y, 600);
  EXPECT_EQ(g0.px, 24u);
  EXPECT_EQ(g0.clip.x1, 80);  // the clip scales too
  EXPECT_EQ(g1.glyph, 2u);
  EXPECT_EQ(g0.colour, 7u);
}

TEST(RenderLimits, GlyphRunCutToWhatIsLeft) {
  render::Limits l = scene::small_limits();
  l.glyphs = 10;
  Frame f;
  ASSERT_TRUE(f.open(l, 64, 64));
  ASSERT_TRUE(f.begin());
  f.glyphs(16, 0, 0, {1, 1, 1, 1, 1}, 0xFFFFFFFF);
  f.glyphs(16, 0, 0, {2, 2, 2, 2, 2, 2, 2, 2}, 0xFFFFFFFF);
  EXPECT_EQ(f.r->glyph_count, 10u);
  EXPECT_EQ(f.r->dropped, 3u);
  EXPECT_EQ(f.r->commands[1].count, 5u);
  f.glyphs(16, 0, 0, {1}, 0xFFFFFFFF);
  EXPECT_EQ(f.r->dropped, 4u);
  EXPECT_EQ(f.r->command_count, 2u);
}

TEST_F(RenderTest, ImageDrawsCheckTheirSource) {
  std::vector<u32> px(6, 0xFF00FF00);
  ASSERT_EQ(render::image_add(&r(), px.data(), 6, 3, 2), 0u);
  struct Case { i32 sx, sy, sw, sh; };
  for (Case c : {Case{-1, 0, 1, 1}, Case{0, 0, 4, 1}, Case{2, 1, 2, 1}, Case{0, 0, 0, 1}, Case{1, 1, 2, 2},
                 Case{INT32_MAX, 0, 2, 1}, Case{1, 0, INT32_MAX, 1}})
    render::image(&r(), 0, c.sx, c.sy, c.sw, c.sh, 0, 0, 2560, 2560);
  render::image(&r(), 1, 0, 0, 1, 1, 0, 0, 2560, 2560);
  EXPECT_EQ(r().refused, 8u);
  render::image(&r(), 0, 0, 0, 3, 2, 2560, 2560, 2560, 5120);  // empty destination
  render::push_clip(&r(), 0, 0, 10 * 256, 10 * 256);
  render::image(&r(), 0, 0, 0, 3, 2, 10 * 256, 0, 20 * 256, 5 * 256);  // no common columns with the clip
  EXPECT_EQ(r().draw_count, 0u);
  render::image(&r(), 0, 1, 0, 2, 2, -5 * 256, 2 * 256 + 127, 20 * 256, 5 * 256);
  ASSERT_EQ(r().draw_count, 1u);
  const render::ImageDraw& d = r().draws[0];
  EXPECT_EQ((std::vector<i32>{d.x0, d.y0, d.x1, d.y1}), (std::vector<i32>{-5, 2, 20, 5}));  // not clipped
  EXPECT_EQ(d.clip.x1, 10);
  EXPECT_EQ(d.sx, 1);
}

// ---- Preparation, binning, hashing

TEST_F(RenderTest, SpansWidenToWholeTiles) {
  render::fill_rect(&r(), 15 * 256 + 255, 0, 16 * 256 + 1, 256, 0xFF000000);  // a sliver across a tile edge
  render::fill_rect(&r(), 17 * 256, 17 * 256, 18 * 256, 18 * 256, 0xFF000000);
  ASSERT_EQ(render::end(&r()), 1u);
  const render::Span& a = r().spans[0];
  const render::Span& b = r().spans[1];
  EXPECT_EQ((std::vector<u32>{a.tx0, a.ty0, a.tx1, a.ty1}), (std::vector<u32>{0, 0, 2, 1}));
  EXPECT_EQ((std::vector<u32>{b.tx0, b.ty0, b.tx1, b.ty1}), (std::vector<u32>{1, 1, 2, 2}));
  EXPECT_EQ(render::area(r()), 3u);
  // With two slices the first rectangle is binned in slice 0, the second in slice 1.
  EXPECT_EQ(r().counts[0], 1u);                                       // tile 0, rectangles slice 0
  EXPECT_EQ(r().counts[r().tile_columns + 1], 0u);                    // tile (1, 1), slice 0
  EXPECT_EQ(r().counts[r().row_length + r().tile_columns + 1], 1u);  // tile (1, 1), slice 1
  EXPECT_EQ(r().starts[r().row_length], 16u);  // slice 1 of tile 0 starts after the padded list of slice 0
  EXPECT_EQ(r().entries_used, 48u);
  render::Span s;
  render::span(&s, 0, 5, 5, 5, 9);
  EXPECT_EQ(s.tx1 + s.ty1, 0u);
}

TEST_F(RenderTest, WalkGivesRecordingOrderAcrossKindsAndSlices) {
  u32 px = 0xFFFFFFFF;
  ASSERT_EQ(render::image_add(&r(), &px, 1, 1, 1), 0u);
  // Every item covers tile 0; slices 2 split each kind's items in halves.
  std::vector<std::pair<u32, u32>> order;  // (kind, index within kind)
  for (u32 i = 0; i < 5; ++i) {
    render::fill_rect(&r(), 0, 0, 256, 256, 0xFF000000 + i);
    order.push_back({render::kind_rect, i});
    if (i % 2 == 0) {
      f.glyphs(16, 256, 13 * 256, {1, 2}, 0xFFFFFFFF);
      order.push_back({render::kind_glyph, r().glyph_count - 2});
      order.push_back({render::kind_glyph, r().glyph_count - 1});
    }
    render::image(&r(), 0, 0, 0, 1, 1, 0, 0, 512, 512);
    order.push_back({render::kind_image, r().draw_count - 1});
  }
  ASSERT_EQ(render::end(&r()), 1u);
  render::TileWalk w;
  render::walk_start(r(), 0, &w);
  std::vector<std::pair<u32, u32>> seen;
  for (u32 layer = render::walk_layer(r(), &w); layer != render::none; layer = render::walk_layer(r(), &w)) {
    u32 kind = r().layer_kinds[layer];
    for (u32 item = render::walk_next(r(), &w, kind, layer); item != render::none;
         item = render::walk_next(r(), &w, kind, layer))
      seen.push_back({kind, item - render::kind_base(r(), kind)});
  }
  EXPECT_EQ(seen, order);
  // A tile with no items has none.
  render::walk_start(r(), 34, &w);
  EXPECT_EQ(render::walk_layer(r(), &w), render::none);
}

TEST_F(RenderTest, ChangedTilesFollowTheItems) {
  auto frame = [&](u32 colour, bool swap) {
    EXPECT_TRUE(f.begin());
    render::fill_rect(&r(), 0, 0, 100 * 256, 70 * 256, 0xFF202020);
    if (swap) render::fill_rect(&r(), 30 * 256, 30 * 256, 50 * 256, 40 * 256, 0xFF00FF00);
    render::fill_rect(&r(), 20 * 256, 20 * 256, 40 * 256, 36 * 256 + 10, colour);  // tiles x 1-2, y 1-2
    if (!swap) render::fill_rect(&r(), 30 * 256, 30 * 256, 50 * 256, 40 * 256, 0xFF00FF00);
    return f.finish();
  };
  EXPECT_EQ(frame(0xFF0000FF, false), 35);
  EXPECT_EQ(frame(0xFF0000FF, false), 0);  // identical frame
  EXPECT_EQ(frame(0xFFFF0000, false), 4);  // one colour: exactly the tiles of its span
  for (u32 t : {8u, 9u, 15u, 16u}) EXPECT_EQ(r().changed[t], 1u) << t;
  // Reordering two overlapping rectangles changes the tiles where both lie (x 1-3 meets x 1-2, y 1-2 meets y 1-2).
  EXPECT_EQ(frame(0xFFFF0000, true), 4);
  EXPECT_EQ(frame(0xFFFF0000, true), 0);
}

TEST(RenderLimits, TileEntryOverflowSkipsTheFrameAndRedrawsAllNext) {
  render::Limits l = scene::small_limits();
  l.tile_entries = 20 * 16;
  Frame f;
  ASSERT_TRUE(f.open(l, 64, 64));
  ASSERT_TRUE(f.begin());
  render::fill_rect(f.r, 0, 0, 64 * 256, 64 * 256, 0xFF000000);
  ASSERT_EQ(f.finish(), 16);
  ASSERT_TRUE(f.begin());
  for (u32 i = 0; i < 21; ++i) render::fill_rect(f.r, 0, 0, 64 * 256, 64 * 256, 0xFF000000);  // 336 entries
  EXPECT_EQ(render::end(f.r), 0u);
  EXPECT_EQ(f.r->all_changed, 1);
  EXPECT_EQ(cpu::draw(f.r), 0u);
  ASSERT_TRUE(f.begin());
  // 32 entries, but two slices give every tile two lists, each padded to 16: 512.
  render::fill_rect(f.r, 0, 0, 64 * 256, 64 * 256, 0xFF000000);
  render::fill_rect(f.r, 0, 0, 64 * 256, 64 * 256, 0xFF000001);
  EXPECT_EQ(render::area(*f.r), 32u);
  EXPECT_EQ(render::end(f.r), 0u);
  ASSERT_TRUE(f.begin());
  render::fill_rect(f.r, 0, 0, 64 * 256, 64 * 256, 0xFF000000);
  EXPECT_EQ(f.finish(), 16);  // the same scene as drawn before, yet every tile is drawn again
}

TEST_F(RenderTest, AGlyphUsedOftenIsRasterisedOnce) {
  std::vector<u32> ids(100, 2);
  f.glyphs(16, 0, 14 * 256, ids, 0xFFFFFFFF, 256);
  ASSERT_EQ(render::end(&r()), 1u);
  EXPECT_EQ(r().claim_count, 1u);
  EXPECT_EQ(r().atlas.key_count, 1u);
  const u64 used = r().atlas.used;
  const render::Glyph& g = r().glyphs[0];
  EXPECT_EQ(g.width, 8u);  // 500 units at 16 px, from x = 0
  EXPECT_EQ(g.pixel_x, 0);
  EXPECT_EQ(g.pixel_y, 14 - 12);
  EXPECT_EQ(r().glyphs[5].pixel_x, 5);
  ASSERT_EQ(cpu::draw(&r()), 1u);
  ASSERT_TRUE(f.begin());
  f.glyphs(16, 0, 14 * 256, ids, 0xFFFFFFFF, 256);
  ASSERT_EQ(render::end(&r()), 1u);
  EXPECT_EQ(r().claim_count, 0u);
  EXPECT_EQ(r().atlas.used, used);
  EXPECT_EQ(r().changed_count, 0u);
}

TEST(RenderGlyphs, GlyphsThatCannotBeHeldAreLeftOut) {
  render::Limits l = scene::small_limits();
  l.canvas = 40;
  Frame f;
  ASSERT_TRUE(f.open(l, 64, 64));
  ASSERT_TRUE(f.begin());
  f.glyphs(48, 0, 40 * 256, {3, 1, 0}, 0xFFFFFFFF, 20 * 256);  // 72 px wide: more than the canvas; a box; nothing
  ASSERT_EQ(render::end(f.r), 1u);
  EXPECT_EQ(f.r->claim_count, 3u);
  EXPECT_EQ(f.r->claimed[0].failed, 1u);
  EXPECT_EQ(f.r->atlas.offsets[f.r->glyphs[0].atlas], atlas::no_slot);
  const render::Span& wide = f.r->spans[render::kind_base(*f.r, render::kind_glyph)];
  EXPECT_EQ(wide.tx1, 0u);
  EXPECT_GT(f.r->glyphs[1].width, 0u);
  EXPECT_EQ(f.r->glyphs[2].width, 0u);  // the empty glyph has a slot but covers no tile
  EXPECT_EQ(f.r->spans[render::kind_base(*f.r, render::kind_glyph) + 2].tx1, 0u);
  ASSERT_EQ(cpu::draw(f.r), 1u);
  // The failed key is not tried again.
  ASSERT_TRUE(f.begin());
  f.glyphs(48, 0, 40 * 256, {3}, 0xFFFFFFFF);
  ASSERT_EQ(render::end(f.r), 1u);
  EXPECT_EQ(f.r->claim_count, 0u);
}

TEST_F(RenderTest, ImageUpdatesRedrawTheirDraws) {
  std::vector<u32> px(4, 0xFF0000FF), other(4, 0xFF00FF00);
  ASSERT_EQ(render::image_add(&r(), px.data(), 4, 2, 2), 0u);
  ASSERT_EQ(render::image_add(&r(), px.data(), 4, 2, 2), 1u);
  auto frame = [&] {
    EXPECT_TRUE(f.begin());
    render::image(&r(), 0, 0, 0, 2, 2, 0, 0, 20 * 256, 10 * 256);          // tiles 0, 1
    render::image(&r(), 1, 0, 0, 2, 2, 40 * 256, 40 * 256, 50 * 256, 50 * 256);  // tiles 16, 17, 23, 24
    render::image(&r(), 0, 0, 0, 1, 1, 60 * 256, 60 * 256, 70 * 256, 70 * 256);  // tiles 24, 25, 31, 32
    return f.finish();
  };
  EXPECT_EQ(frame(), 35);
  EXPECT_EQ(frame(), 0);
  ASSERT_EQ(render::image_update(&r(), 0, other.data(), 4), 1u);
  EXPECT_EQ(frame(), 6);  // tiles 0 and 1 of the first draw, 24, 25, 31 and 32 of the third
  for (u32 t : {0u, 1u, 24u, 25u, 31u, 32u}) EXPECT_EQ(r().changed[t], 1u) << t;
  EXPECT_EQ(f.at(1, 1), 0xFF00FF00u);
  EXPECT_EQ(f.at(45, 45), 0xFF0000FFu);
}

TEST(RenderGroups, CutAtSixteenTilesAndBalanced) {
  render::Limits l = scene::small_limits();
  l.groups = 4;
  Frame f;
  ASSERT_TRUE(f.open(l, 256, 256));  // 256 tiles
  ASSERT_TRUE(f.begin());
  // All items in the top rows: groups there are short.
  for (u32 i = 0; i < 64; ++i) render::fill_rect(f.r, 0, 0, 256 * 256, 32 * 256, 0xFF000000 + i);
  ASSERT_EQ(render::end(f.r), 1u);
  ASSERT_EQ(f.r->group_count, 4u);
  std::vector<u32> bounds(f.r->group_bounds, f.r->group_bounds + 5);
  // Cost: 256 tiles + 64 x 32 entries = 2,304. A group closes at the first multiple of 16 tiles where the running
  // cost reaches its share: 1,040 >= 576 after 16 tiles, 2,080 >= 1,152 after 32, 2,096 >= 1,728 after 48.
  EXPECT_EQ(bounds, (std::vector<u32>{0, 16, 32, 48, 256}));
  ASSERT_EQ(cpu::draw(f.r), 1u);
  EXPECT_EQ(f.at(255, 31), 0xFF00003Fu);
  EXPECT_EQ(f.at(255, 32), 0u);
}

}  // namespace
