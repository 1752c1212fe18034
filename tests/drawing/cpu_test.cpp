#include "drawing/cpu.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <variant>
#include <vector>

#include "scene.h"

namespace {

using scene::Frame;

struct CpuTest : ::testing::Test {
  Frame f;
  void SetUp() override {
    ASSERT_TRUE(f.open(scene::small_limits(), 64, 48));
    ASSERT_TRUE(f.begin());
  }
  render::Renderer& r() { return *f.r; }
  // Draws the frame and checks it against the rules applied pixel by pixel.
  void draw_checked() {
    ASSERT_GE(f.finish(), 0);
    EXPECT_EQ(scene::first_difference(f.all_pixels(), scene::reference(r()), f.target.stride), "");
  }
};

// ---- Pixel arithmetic

TEST(CpuArithmetic, Div255IsRoundedDivisionOfEveryByteProduct) {
  for (u32 a = 0; a < 256; ++a)
    for (u32 b = 0; b < 256; ++b) {
      u32 p = a * b;
      ASSERT_EQ(cpu::div255(p), (2 * p + 255) / 510) << a << " * " << b;
      cpu::u16x8 v = cpu::div255(cpu::u16x8{} + static_cast<u16>(p));
      ASSERT_EQ(v[3], cpu::div255(p));
    }
}

TEST(CpuArithmetic, OverAndPack) {
  EXPECT_EQ(cpu::over(0x80402010, 0xFFFFFFFF), 0xFFBF9F8Fu);  // C + div255(255 x 127)
  EXPECT_EQ(cpu::over(0, 0x12345678), 0x12345678u);
  EXPECT_EQ(cpu::over(0xFF010203, 0x12345678), 0xFF010203u);
  EXPECT_EQ(cpu::over(0x01FFFFFF, 0xFFFFFFFF), 0xFFFFFFFFu);  // not premultiplied: clamped, not wrapped
  u32 out[4];
  cpu::u8x16 packed = cpu::pack(cpu::u16x8{0, 1, 255, 256, 510, 300, 17, 255}, cpu::u16x8{} + 3);
  std::memcpy(out, &packed, 16);
  EXPECT_EQ(out[0], 0xFFFF0100u);
  EXPECT_EQ(out[1], 0xFF11FFFFu);
  EXPECT_EQ(out[2], 0x03030303u);
  cpu::u8x16 spread = cpu::expand(0x04030201);
  for (u32 i = 0; i < 16; ++i) EXPECT_EQ(spread[i], i / 4 + 1) << i;
  u32 row[16], source[16];
  for (u32 i = 0; i < 16; ++i) row[i] = 0xFF000000u | i * 0x0F0F0F, source[i] = i % 3 ? 0 : 0x7F102030u;
  u32 want[16];
  for (u32 i = 0; i < 16; ++i) want[i] = cpu::over(source[i], row[i]);
  cpu::over_row(row, source);
  EXPECT_EQ(std::vector<u32>(row, row + 16), std::vector<u32>(want, want + 16));
}

// ---- Rectangles

TEST_F(CpuTest, RectangleEdgesCoverFractions) {
  render::fill_rect(&r(), 128, 0, 384, 16 * 256, 0xFFFFFFFF);
  draw_checked();
  // (128 x 255 + 128) >> 8 = 128 in both columns, over transparent black.
  EXPECT_EQ(f.at(0, 5), 0x80808080u);
  EXPECT_EQ(f.at(1, 5), 0x80808080u);
  EXPECT_EQ(f.at(2, 5), 0u);
}

TEST_F(CpuTest, TranslucentColourOverWhite) {
  render::fill_rect(&r(), 0, 0, 64 * 256, 48 * 256, 0xFFFFFFFF);
  render::fill_rect(&r(), 256, 256, 40 * 256, 30 * 256, 0x80402010);
  draw_checked();
  EXPECT_EQ(f.at(20, 20), 0xFFBF9F8Fu);
  EXPECT_EQ(f.at(0, 0), 0xFFFFFFFFu);
}

TEST_F(CpuTest, OpaqueRectangleOverATileReplacesIt) {
  render::fill_rect(&r(), 0, 0, 64 * 256, 48 * 256, 0x80808080);
  f.glyphs(16, 20 * 256, 30 * 256, {1, 2}, 0xFF00FF00, 6 * 256);
  render::fill_rect(&r(), 16 * 256 - 1, 16 * 256, 32 * 256, 32 * 256 + 1, 0xFF123456);  // covers tile (1, 1)
  render::fill_rect(&r(), 0, 0, 16 * 256, 16 * 256, 0xFE123456);                      // covers tile 0, not opaque
  draw_checked();
  for (u32 y = 16; y < 32; ++y)
    for (u32 x = 16; x < 32; ++x) ASSERT_EQ(f.at(x, y), 0xFF123456u) << x << "," << y;
  EXPECT_NE(f.at(3, 3), 0xFE123456u);  // nearly opaque still blends
}

// ---- Glyphs and images

TEST_F(CpuTest, GlyphsStayInsideTheirClip) {
  render::push_clip(&r(), 0, 0, 24 * 256, 48 * 256);
  f.glyphs(32, 12 * 256, 30 * 256, {1}, 0xFFFFFFFF);  // the box spans x 13..27
  render::pop_clip(&r());
  draw_checked();
  EXPECT_EQ(f.at(20, 20), 0xFFFFFFFFu);
  EXPECT_EQ(f.at(23, 20), 0xFFFFFFFFu);
  for (u32 y = 0; y < 48; ++y)
    for (u32 x = 24; x < 64; ++x) ASSERT_EQ(f.at(x, y), 0u) << x << "," << y;
}

TEST_F(CpuTest, ImagesRepeatSourcePixels) {
  const std::vector<u32> px = {0xFF0000FF, 0xFF00FF00, 0xFFFF0000, 0x80000080};
  ASSERT_EQ(render::image_add(&r(), px.data(), 4, 2, 2), 0u);
  render::fill_rect(&r(), 0, 0, 64 * 256, 48 * 256, 0xFFFFFFFF);
  render::image(&r(), 0, 0, 0, 2, 2, 14 * 256, 14 * 256, 18 * 256, 18 * 256);  // across four tiles
  draw_checked();
  for (u32 y = 0; y < 4; ++y)
    for (u32 x = 0; x < 4; ++x) {
      u32 s = px[(y / 2) * 2 + x / 2];
      EXPECT_EQ(f.at(14 + x, 14 + y), cpu::over(s, 0xFFFFFFFF)) << x << "," << y;
    }
  EXPECT_EQ(f.at(13, 14), 0xFFFFFFFFu);
  EXPECT_EQ(f.at(18, 17), 0xFFFFFFFFu);
}

TEST_F(CpuTest, HugeImageDestinationsSampleInsideTheImage) {
  std::vector<u32> px(3 * 3);
  for (u32 i = 0; i < px.size(); ++i) px[i] = 0xFF000000u | i;
  ASSERT_EQ(render::image_add(&r(), px.data(), px.size(), 3, 3), 0u);
  // A destination millions of px wide and high: sw x (W - 1) needs 64 bits.
  render::image(&r(), 0, 1, 1, 2, 2, -(1 << 30), -(1 << 30), 1 << 30, 1 << 30);
  draw_checked();
  // Column and row 1 + 2 x 4,194,304 / 8,388,608 = 2 everywhere in the frame.
  EXPECT_EQ(f.at(0, 0), 0xFF000000u | 8);
  EXPECT_EQ(f.at(63, 47), 0xFF000000u | 8);
}

// ---- Frames

TEST_F(CpuTest, OnlyChangedTilesAreTouched) {
  auto record = [&](u32 colour) {
    EXPECT_TRUE(f.begin());
    render::fill_rect(&r(), 0, 0, 64 * 256, 48 * 256, 0xFF101010);
    render::fill_rect(&r(), 3 * 256, 3 * 256, 9 * 256, 9 * 256, colour);  // tile 0 only
    f.glyphs(16, 40 * 256, 40 * 256, {2, 1}, 0xFFFFFFFF, 8 * 256);
  };
  record(0xFF0000FF);
  ASSERT_EQ(f.finish(), 12);
  std::vector<u32> first = f.all_pixels();
  std::fill(f.target.pixels, f.target.pixels + first.size(), 0xDEADBEEF);
  record(0xFF0000FF);
  ASSERT_EQ(f.finish(), 0);
  for (u32 v : f.all_pixels()) ASSERT_EQ(v, 0xDEADBEEFu);  // an unchanged frame writes nothing
  record(0xFF00FF00);
  ASSERT_EQ(f.finish(), 1);
  EXPECT_EQ(f.at(5, 5), 0xFF00FF00u);
  EXPECT_EQ(f.at(0, 0), 0xFF101010u);
  EXPECT_EQ(f.at(16, 0), 0xDEADBEEFu);
  // Items that vanished leave their tiles cleared to transparent black.
  ASSERT_TRUE(f.begin());
  render::fill_rect(&r(), 0, 0, 64 * 256, 32 * 256, 0xFF101010);
  ASSERT_EQ(f.finish(), 12);
  EXPECT_EQ(f.at(45, 40), 0u);
  EXPECT_EQ(f.at(5, 5), 0xFF101010u);
  EXPECT_EQ(f.at(16, 40), 0u);
}

TEST_F(CpuTest, DrawNeedsAPreparedFrame) {
  render::fill_rect(&r(), 0, 0, 256, 256, 0xFFFFFFFF);
  EXPECT_EQ(cpu::draw(&r()), 0u);  // not ended
  ASSERT_EQ(render::end(&r()), 1u);
  EXPECT_EQ(cpu::draw(&r()), 1u);
  f.target.pixels[0] = 7;
  EXPECT_EQ(cpu::draw(&r()), 0u);
  EXPECT_EQ(f.at(0, 0), 7u);
}

// ---- Random scenes: the tiled, partial frames against the rules pixel by pixel and against frames drawn fresh

struct RectOp { i32 x0, y0, x1, y1; u32 colour; };
struct GlyphOp { u32 size; i32 x, y, step; std::vector<u32> ids; u32 colour; };
struct ImageOp { u32 image; i32 sx, sy, sw, sh, x0, y0, x1, y1; };
struct ClipOp { bool push; i32 x0, y0, x1, y1; };
using Op = std::variant<RectOp, GlyphOp, ImageOp, ClipOp>;

struct Generator {
  std::mt19937 rng;
  u32 width, height;
  std::vector<std::vector<u32>> images;  // 3 x 2, 5 x 5, 1 x 7

  Generator(u32 seed, u32 w, u32 h) : rng(seed), width(w), height(h) {
    for (auto [iw, ih] : {std::pair{3u, 2u}, std::pair{5u, 5u}, std::pair{1u, 7u}}) {
      std::vector<u32> px(iw * ih);
      for (u32& p : px) p = colour();
      images.push_back(px);
    }
  }
  i32 between(i32 lo, i32 hi) { return lo + static_cast<i32>(rng() % static_cast<u32>(hi - lo + 1)); }
  // Premultiplied: opaque, half or any alpha, channels never above it.
  u32 colour() {
    u32 pick = rng() % 4, a = pick < 2 ? 255 : pick == 2 ? 128 : rng() % 256;
    u32 c = a << 24;
    for (u32 s = 0; s < 24; s += 8) c |= (rng() % (a + 1)) << s;
    return c;
  }
  i32 fx() { return between(-20 * 256, static_cast<i32>(width + 20) * 256); }
  i32 fy() { return between(-20 * 256, static_cast<i32>(height + 20) * 256); }
  Op op() {
    switch (rng() % 8) {
      case 0: case 1: case 2: {
        i32 x = fx(), y = fy();
        return RectOp{x, y, x + between(1, 90 * 256), y + between(1, 60 * 256), colour()};
      }
      case 3: case 4: {
        GlyphOp g{static_cast<u32>(between(6, 40)), fx(), fy(), between(0, 30 * 256), {}, colour()};
        for (u32 n = rng() % 12 + 1; n > 0; --n) g.ids.push_back(rng() % 4);
        return g;
      }
      case 5: {
        u32 i = rng() % 3;
        i32 w = static_cast<i32>(i == 0 ? 3 : i == 1 ? 5 : 1), h = static_cast<i32>(i == 0 ? 2 : i == 1 ? 5 : 7);
        i32 sx = between(0, w - 1), sy = between(0, h - 1), x = fx(), y = fy();
        return ImageOp{i, sx, sy, between(1, w - sx), between(1, h - sy), x, y, x + between(1, 70 * 256),
                       y + between(1, 70 * 256)};
      }
      case 6: {
        i32 x = fx(), y = fy();
        return ClipOp{true, x, y, x + between(0, 120 * 256), y + between(0, 90 * 256)};
      }
      default:
        return ClipOp{false, 0, 0, 0, 0};
    }
  }
  // A few changes: a new colour, a move, an item fewer or more; sometimes none at all.
  void mutate(std::vector<Op>& ops) {
    for (u32 n = rng() % 4; n > 0 && !ops.empty(); --n) {
      size_t i = rng() % ops.size();
      switch (rng() % 4) {
        case 0:
          if (auto* q = std::get_if<RectOp>(&ops[i])) q->colour = colour();
          if (auto* g = std::get_if<GlyphOp>(&ops[i])) g->colour = colour();
          break;
        case 1:
          if (auto* q = std::get_if<RectOp>(&ops[i])) q->x0 += 300, q->x1 += 300;
          if (auto* g = std::get_if<GlyphOp>(&ops[i])) g->y += 100;
          if (auto* m = std::get_if<ImageOp>(&ops[i])) m->x1 += 700;
          break;
        case 2: ops.erase(ops.begin() + static_cast<long>(i)); break;
        default: ops.insert(ops.begin() + static_cast<long>(i), op()); break;
      }
    }
  }
};

void replay(Frame& f, const std::vector<Op>& ops) {
  for (const Op& op : ops) {
    if (auto* q = std::get_if<RectOp>(&op)) render::fill_rect(f.r, q->x0, q->y0, q->x1, q->y1, q->colour);
    if (auto* g = std::get_if<GlyphOp>(&op)) f.glyphs(g->size, g->x, g->y, g->ids, g->colour, g->step);
    if (auto* m = std::get_if<ImageOp>(&op))
      render::image(f.r, m->image, m->sx, m->sy, m->sw, m->sh, m->x0, m->y0, m->x1, m->y1);
    if (auto* c = std::get_if<ClipOp>(&op)) c->push ? render::push_clip(f.r, c->x0, c->y0, c->x1, c->y1)
                                                    : render::pop_clip(f.r);
  }
}

void add_images(Frame& f, const Generator& g) {
  const u32 sizes[3][2] = {{3, 2}, {5, 5}, {1, 7}};
  for (u32 i = 0; i < 3; ++i)
    ASSERT_EQ(render::image_add(f.r, g.images[i].data(), g.images[i].size(), sizes[i][0], sizes[i][1]), i);
}

TEST(CpuScenes, PartialFramesEqualFreshFramesAndTheRules) {
  const u32 w = 200, h = 150;
  for (u32 seed : {1u, 2u, 3u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Generator gen(seed, w, h);
    Frame kept;
    ASSERT_TRUE(kept.open(scene::small_limits(), w, h));
    add_images(kept, gen);
    std::vector<Op> ops;
    for (u32 i = 0; i < 40; ++i) ops.push_back(gen.op());
    u32 redrawn = 0, frames = 24;
    for (u32 frame = 0; frame < frames; ++frame) {
      if (frame > 0) gen.mutate(ops);
      if (frame % 7 == 3) {  // new pixels for one image
        u32 i = gen.rng() % 3;
        for (u32& p : gen.images[i]) p = gen.colour();
        ASSERT_EQ(render::image_update(kept.r, i, gen.images[i].data(), gen.images[i].size()), 1u);
      }
      ASSERT_TRUE(kept.begin());
      replay(kept, ops);
      int changed = kept.finish();
      ASSERT_GE(changed, 0);
      redrawn += static_cast<u32>(changed);
      ASSERT_EQ(scene::first_difference(kept.all_pixels(), scene::reference(*kept.r), w + 8), "") << "frame " << frame;

      Frame fresh;
      ASSERT_TRUE(fresh.open(scene::small_limits(), w, h, 16 << 20));
      add_images(fresh, gen);
      ASSERT_TRUE(fresh.begin());
      replay(fresh, ops);
      ASSERT_EQ(fresh.finish(), static_cast<int>(fresh.r->tile_count));
      ASSERT_EQ(scene::first_difference(kept.all_pixels(), fresh.all_pixels(), w + 8), "") << "frame " << frame;
    }
    // The scenes changed only in part, so most frames redrew only some tiles.
    EXPECT_LT(redrawn, frames * kept.r->tile_count / 2);
  }
}

// ---- Golden scenes: pixel hashes fixed once the scenes were checked by eye (VIMBREL_RENDER_DUMP=<folder> writes
// them as PPM files)

TEST(CpuGolden, Rectangles) {
  Frame f;
  ASSERT_TRUE(f.open(scene::small_limits(), 72, 40));
  ASSERT_TRUE(f.begin());
  render::fill_rect(f.r, 0, 0, 72 * 256, 40 * 256, 0xFF202830);
  render::fill_rect(f.r, 4 * 256 + 64, 4 * 256 + 192, 40 * 256 + 128, 20 * 256 + 32, 0xFFE0A040);
  render::fill_rect(f.r, 20 * 256 + 100, 10 * 256, 60 * 256 + 7, 34 * 256 + 200, 0x80206080);
  render::push_clip(f.r, 30 * 256, 0, 50 * 256, 40 * 256);
  render::fill_rect(f.r, 0, 24 * 256 + 128, 72 * 256, 28 * 256, 0xC0C0C0C0);
  render::pop_clip(f.r);
  render::fill_rect(f.r, 64 * 256 + 128, 2 * 256 + 128, 65 * 256, 38 * 256, 0xFFFFFFFF);  // a half-px line
  ASSERT_EQ(f.finish(), 15);
  scene::dump(f, "rectangles");
  EXPECT_EQ(f.hash(), 0x40BE97BAD62D6EA4ull);
}

TEST(CpuGolden, Glyphs) {
  Frame f;
  ASSERT_TRUE(f.open(scene::small_limits(), 96, 48));
  ASSERT_TRUE(f.begin());
  render::fill_rect(f.r, 0, 0, 96 * 256, 48 * 256, 0xFFFFFFFF);
  f.glyphs(11, 2 * 256 + 100, 12 * 256, {1, 2, 1, 2, 1, 2}, 0xFF000000, 6 * 256 + 50);
  f.glyphs(23, 40 * 256, 30 * 256 + 128, {2, 1, 2}, 0xFF1030A0, 13 * 256);
  render::push_clip(f.r, 10 * 256, 32 * 256, 60 * 256, 44 * 256);
  f.glyphs(16, 5 * 256 + 128, 46 * 256, {1, 2, 1, 2, 1, 2, 1, 2}, 0x80800000, 8 * 256);
  render::pop_clip(f.r);
  ASSERT_GE(f.finish(), 0);
  scene::dump(f, "glyphs");
  EXPECT_EQ(f.hash(), 0xF219AB0E2CE19FDFull);
}

TEST(CpuGolden, Images) {
  Frame f;
  ASSERT_TRUE(f.open(scene::small_limits(), 48, 32));
  const std::vector<u32> px = {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0x80800000, 0x00000000, 0x40404040};
  ASSERT_EQ(render::image_add(f.r, px.data(), px.size(), 3, 2), 0u);
  ASSERT_TRUE(f.begin());
  render::fill_rect(f.r, 0, 0, 48 * 256, 32 * 256, 0xFF808080);
  render::image(f.r, 0, 0, 0, 3, 2, 3 * 256 + 100, 2 * 256, 23 * 256 + 200, 15 * 256);
  render::image(f.r, 0, 1, 0, 2, 2, 20 * 256, 10 * 256, 44 * 256, 30 * 256);
  ASSERT_GE(f.finish(), 0);
  scene::dump(f, "images");
  EXPECT_EQ(f.hash(), 0xD169BBF3F3028E2Cull);
}

}  // namespace
