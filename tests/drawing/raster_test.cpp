#include "drawing/raster.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sfnt_builder.h"
#include "tests/support/testutil.h"

namespace {

using sfnt::Buf;

struct P {
  int32_t x, y;  // 1/256 px
};

struct RasterTest : ::testing::Test {
  mem::Arena arena{};
  raster::Canvas canvas{};
  void SetUp() override {
    ASSERT_EQ(mem::arena_init(&arena, 96 << 20), 1u);
    ASSERT_EQ(raster::canvas_init(&canvas, &arena, 64, 64), 1u);
  }
  void TearDown() override { mem::release(&arena); }

  // Fills closed polygons (each a list of vertices) and returns the coverage rows.
  std::vector<std::vector<int>> fill(raster::Canvas* c, u32 w, u32 h, const std::vector<std::vector<P>>& polys) {
    EXPECT_EQ(raster::begin(c, w, h), 1u);
    for (const auto& poly : polys)
      for (size_t i = 0; i < poly.size(); ++i) {
        const P& a = poly[i];
        const P& b = poly[(i + 1) % poly.size()];
        raster::line(c, a.x, a.y, b.x, b.y);
      }
    raster::finish(c);
    return rows(*c);
  }
  std::vector<std::vector<int>> fill(u32 w, u32 h, const std::vector<std::vector<P>>& polys) {
    return fill(&canvas, w, h, polys);
  }
  static std::vector<std::vector<int>> rows(const raster::Canvas& c) {
    std::vector<std::vector<int>> out(c.height, std::vector<int>(c.width));
    for (u32 r = 0; r < c.height; ++r)
      for (u32 x = 0; x < c.width; ++x) out[r][x] = c.coverage[r * c.width + x];
    return out;
  }
  static bool cells_clear(const raster::Canvas& c) {
    for (u64 i = 0; i < static_cast<u64>(c.max_height) * (c.max_width + 2); ++i)
      if (c.cells[i] != 0) return false;
    return true;
  }
};

std::vector<P> square(int32_t x0, int32_t y0, int32_t x1, int32_t y1) { return {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}}; }

// The coverage a 10 px square gives, edges on pixel boundaries or moved by half a pixel.
TEST_F(RasterTest, SquaresOnAndOffPixelBoundaries) {
  auto aligned = fill(12, 12, {square(256, 256, 11 * 256, 11 * 256)});
  for (int r = 0; r < 12; ++r)
    for (int x = 0; x < 12; ++x) {
      bool inside = r >= 1 && r < 11 && x >= 1 && x < 11;
      ASSERT_EQ(aligned[r][x], inside ? 255 : 0) << r << "," << x;
    }
  auto half = fill(12, 12, {square(256 + 128, 256 + 128, 11 * 256 + 128, 11 * 256 + 128)});
  auto level = [](int i) { return i == 1 || i == 11 ? 1 : (i > 1 && i < 11 ? 2 : 0); };  // 0 out, 1 half, 2 full
  for (int r = 0; r < 12; ++r)
    for (int x = 0; x < 12; ++x) {
      int lr = level(r), lx = level(x);
      int want = lr == 0 || lx == 0 ? 0 : lr == 2 && lx == 2 ? 255 : lr == 1 && lx == 1 ? 64 : 128;
      ASSERT_EQ(half[r][x], want) << r << "," << x;
    }
  EXPECT_TRUE(cells_clear(canvas));
}

TEST_F(RasterTest, TrianglesByHand) {
  // x + y = 3 px: whole pixels below the diagonal, halves on it.
  EXPECT_EQ(fill(4, 4, {{{0, 0}, {768, 0}, {0, 768}}}),
            (std::vector<std::vector<int>>{{255, 255, 128, 0}, {255, 128, 0, 0}, {128, 0, 0, 0}, {0, 0, 0, 0}}));
  // x = 1 - y/2 px: three quarters of the first pixel, a quarter of the one below.
  // (0.75 * 131072 * 255 + 65536) >> 17 = 191 and (0.25 * 131072 * 255 + 65536) >> 17 = 64.
  EXPECT_EQ(fill(2, 2, {{{0, 0}, {256, 0}, {0, 512}}}), (std::vector<std::vector<int>>{{191, 0}, {64, 0}}));
  // The same triangle drawn the other way round covers the same.
  EXPECT_EQ(fill(2, 2, {{{0, 512}, {256, 0}, {0, 0}}}), (std::vector<std::vector<int>>{{191, 0}, {64, 0}}));
}

TEST_F(RasterTest, OverlapsFollowDirection) {
  std::vector<P> a = square(0, 0, 768, 768), b = square(256, 256, 1024, 1024);
  auto same = fill(4, 4, {a, b});
  EXPECT_EQ(same[1][1], 255);
  EXPECT_EQ(same[2][2], 255);
  std::vector<P> b_reversed(b.rbegin(), b.rend());
  auto opposite = fill(4, 4, {a, b_reversed});
  EXPECT_EQ(opposite[1][1], 0);
  EXPECT_EQ(opposite[0][0], 255);
  EXPECT_EQ(opposite[3][3], 255);
}

TEST_F(RasterTest, EdgesOutsideTheCanvas) {
  // An edge wholly left of the canvas covers every pixel to its right in the rows it spans.
  ASSERT_EQ(raster::begin(&canvas, 4, 4), 1u);
  raster::line(&canvas, -1000, 256, -500, 3 * 256);
  raster::line(&canvas, 5, 100, 900, 100);  // horizontal: nothing
  raster::finish(&canvas);
  EXPECT_EQ(rows(canvas), (std::vector<std::vector<int>>{
                              {0, 0, 0, 0}, {255, 255, 255, 255}, {255, 255, 255, 255}, {0, 0, 0, 0}}));
  // A diamond that reaches past every border covers inside an 8 x 8 canvas exactly what it covers in that window
  // of a larger canvas: the parts outside are cut or projected, not bent.
  std::vector<P> diamond = {{1024, -512}, {2560, 1024}, {1024, 2560}, {-512, 1024}};
  auto clipped = fill(8, 8, {diamond});
  std::vector<P> moved;
  for (P p : diamond) moved.push_back({p.x + 2048, p.y + 2048});
  auto whole = fill(24, 24, {moved});
  for (int r = 0; r < 8; ++r)
    for (int x = 0; x < 8; ++x) ASSERT_EQ(clipped[r][x], whole[r + 8][x + 8]) << r << "," << x;
  EXPECT_TRUE(cells_clear(canvas));
}

TEST_F(RasterTest, BeginRefusesBoxesLargerThanTheCanvas) {
  ASSERT_EQ(raster::begin(&canvas, 7, 5), 1u);
  EXPECT_EQ(raster::begin(&canvas, 65, 5), 0u);
  EXPECT_EQ(raster::begin(&canvas, 5, 65), 0u);
  // Drawing a box that does not fit draws nothing, rather than filling with the last glyph's size.
  font::Outline empty{};
  EXPECT_EQ(raster::draw(&canvas, empty, raster::GlyphBox{65, 5, 0, 0, 0}), 0u);
  EXPECT_EQ(canvas.width, 7u);
  EXPECT_EQ(canvas.stride, 9u);
  raster::Canvas big;
  EXPECT_EQ(raster::canvas_init(&big, &arena, 65536, 1), 0u);
  EXPECT_EQ(raster::canvas_init(&big, &arena, 1, 0), 0u);
}

// ---- curves

TEST(RasterCurves, StepCounts) {
  struct Case { int64_t d; u32 n; };
  for (Case c : {Case{0, 1}, Case{32, 1}, Case{33, 2}, Case{128, 2}, Case{129, 3}, Case{32 * 63 * 63, 63},
                 Case{32 * 63 * 63 + 1, 64}, Case{131072, 64}, Case{INT64_MAX, 64}})
    EXPECT_EQ(raster::steps(c.d), c.n) << c.d;
}

// floor(B(k/n) + 1/2) in exact integers.
int64_t bezier_rounded(int64_t p0, int64_t p1, int64_t p2, int64_t k, int64_t n) {
  int64_t num = 2 * (p0 * (n - k) * (n - k) + 2 * p1 * k * (n - k) + p2 * k * k) + n * n;
  return raster::floor_div(num, 2 * n * n);
}

TEST(RasterCurves, StepsHitTheRoundedCurveExactly) {
  std::mt19937 rng(11);
  for (int round = 0; round < 3000; ++round) {
    int64_t p[3];
    for (int64_t& v : p) v = static_cast<int32_t>(rng() % 2000000) - 1000000;
    u32 n = 2 + rng() % 63;
    raster::Stepper s = raster::curve_start(p[0], p[1], p[2], n);
    for (u32 k = 1; k <= n; ++k) {
      raster::curve_step(&s);
      ASSERT_EQ(s.value, bezier_rounded(p[0], p[1], p[2], k, n)) << k << " of " << n;
    }
    ASSERT_EQ(s.value, p[2]);
  }
}

TEST(RasterArithmetic, FloorsAndScales) {
  int64_t rest;
  EXPECT_EQ(raster::divide_floor(-7, 2, &rest), -4);
  EXPECT_EQ(rest, 1);
  EXPECT_EQ(raster::divide_floor(7, 2, &rest), 3);
  EXPECT_EQ(rest, 1);
  EXPECT_EQ(raster::floor_div(-256, 256), -1);
  EXPECT_EQ(raster::floor_div(-257, 256), -2);
  // v * px * 256 / units per em, rounded half up.
  EXPECT_EQ(raster::scale_units(1000, 12, 2000), 1536);
  EXPECT_EQ(raster::scale_units(1, 1, 512), 1);       // exactly one half rounds up
  EXPECT_EQ(raster::scale_units(-1, 1, 512), 0);      // minus one half rounds up too
  EXPECT_EQ(raster::scale_units(-3, 1, 1024), -1);    // -0.75
  EXPECT_EQ(raster::scale_units(65535, 2048, 16), 2147450880);
}

TEST_F(RasterTest, CurvesOnTheirChordAreOneLine) {
  // Control point on the chord: D = 0, so the curve is the straight edge and fills like the triangle.
  ASSERT_EQ(raster::begin(&canvas, 2, 2), 1u);
  raster::line(&canvas, 0, 0, 256, 0);
  raster::quad(&canvas, 256, 0, 128, 256, 0, 512);
  raster::line(&canvas, 0, 512, 0, 0);
  raster::finish(&canvas);
  EXPECT_EQ(rows(canvas), (std::vector<std::vector<int>>{{191, 0}, {64, 0}}));
}

// ---- real glyphs against the rules written out directly (one division per crossing, exact Bezier points)

struct Reference {
  int64_t w, h;
  std::vector<int64_t> cells;
  int64_t shoelace = 0;   // twice the signed area of the lines drawn, in (1/256 px)^2
  int64_t crossings = 0;  // pixel boundaries the lines cross, each rounded down by less than 1/256 px
  Reference(int64_t width, int64_t height) : w(width), h(height), cells(height * (width + 2)) {}

  void add(int64_t r, int64_t xe, int64_t ye, int64_t xx, int64_t yx, int64_t d) {
    int64_t c = raster::floor_div(std::min(xe, xx), 256);
    int64_t q = (xe - 256 * c) + (xx - 256 * c);
    cells[r * (w + 2) + c] += d * (yx - ye) * (512 - q);
    cells[r * (w + 2) + c + 1] += d * (yx - ye) * q;
  }
  void line(int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
    shoelace += x0 * y1 - x1 * y0;
    if (y0 == y1) return;
    int64_t d = 1;
    if (y1 < y0) {
      std::swap(x0, x1);
      std::swap(y0, y1);
      d = -1;
    }
    int64_t dy = y1 - y0, s = x1 < x0 ? -1 : 1, adx = std::llabs(x1 - x0);
    auto cross_x = [&](int64_t y) { return x0 + s * raster::floor_div(adx * (y - y0), dy); };
    int64_t r0 = raster::floor_div(y0, 256), r1 = raster::floor_div(y1 - 1, 256);
    for (int64_t r = r0; r <= r1; ++r) {
      int64_t yin = std::max(y0, 256 * r), yout = std::min(y1, 256 * r + 256);
      int64_t xin = r == r0 ? x0 : cross_x(256 * r), xout = r == r1 ? x1 : cross_x(256 * r + 256);
      std::vector<std::pair<int64_t, int64_t>> pts = {{xin, yin}};
      int64_t lo = std::min(xin, xout), hi = std::max(xin, xout);
      std::vector<int64_t> cuts;
      for (int64_t X = raster::floor_div(lo, 256) * 256 + 256; X < hi; X += 256) cuts.push_back(X);
      if (s < 0) std::reverse(cuts.begin(), cuts.end());
      crossings += static_cast<int64_t>(cuts.size()) + (r > r0);
      for (int64_t X : cuts) pts.push_back({X, y0 + raster::floor_div(dy * std::llabs(X - x0), adx)});
      pts.push_back({xout, yout});
      for (size_t i = 0; i + 1 < pts.size(); ++i)
        add(r, pts[i].first, pts[i].second, pts[i + 1].first, pts[i + 1].second, d);
    }
  }
  void quad(int64_t x0, int64_t y0, int64_t cx, int64_t cy, int64_t x1, int64_t y1) {
    int64_t dd = std::llabs(x0 - 2 * cx + x1) + std::llabs(y0 - 2 * cy + y1);
    int64_t n = 1;
    while (n < 64 && 32 * n * n < dd) ++n;
    int64_t px = x0, py = y0;
    for (int64_t k = 1; k <= n; ++k) {
      int64_t x = bezier_rounded(x0, cx, x1, k, n), y = bezier_rounded(y0, cy, y1, k, n);
      line(px, py, x, y);
      px = x, py = y;
    }
  }
  void outline(const font::Outline& o) {
    u32 first = 0;
    for (u32 c = 0; c < o.contour_count; ++c) {
      u32 last = o.ends[c];
      std::vector<std::array<int64_t, 3>> p;
      for (u32 i = first; i <= last; ++i) p.push_back({o.x[i], o.y[i], o.flags[i]});
      first = last + 1;
      if (p.size() < 2) continue;
      // Start on an on-curve point, or between two off-curve ones; an implied point between two off-curve points.
      int64_t sx, sy;
      if (p.front()[2]) {
        sx = p.front()[0], sy = p.front()[1];
      } else if (p.back()[2]) {
        sx = p.back()[0], sy = p.back()[1];
      } else {
        sx = (p.front()[0] + p.back()[0]) >> 1, sy = (p.front()[1] + p.back()[1]) >> 1;
      }
      int64_t x = sx, y = sy;
      std::optional<std::pair<int64_t, int64_t>> control;
      for (auto& q : p) {
        if (q[2]) {
          control ? quad(x, y, control->first, control->second, q[0], q[1]) : line(x, y, q[0], q[1]);
          x = q[0], y = q[1];
          control.reset();
        } else if (control) {
          int64_t mx = (control->first + q[0]) >> 1, my = (control->second + q[1]) >> 1;
          quad(x, y, control->first, control->second, mx, my);
          x = mx, y = my;
          control = {{q[0], q[1]}};
        } else {
          control = {{q[0], q[1]}};
        }
      }
      control ? quad(x, y, control->first, control->second, sx, sy) : line(x, y, sx, sy);
    }
  }
  std::vector<uint8_t> coverage() const {
    std::vector<uint8_t> out(w * h);
    for (int64_t r = 0; r < h; ++r) {
      int64_t sum = 0;
      for (int64_t x = 0; x < w; ++x) {
        sum += cells[r * (w + 2) + x];
        out[r * w + x] = static_cast<uint8_t>((std::min<int64_t>(std::llabs(sum), 131072) * 255 + 65536) >> 17);
      }
    }
    return out;
  }
  // The area the lines enclose in px^2 (the shoelace formula: no cells involved).
  double area_px() const { return std::abs(static_cast<double>(shoelace)) / 2 / 65536.0; }
};

Buf file_bytes(const char* path) {
  std::string s = testutil::read_file(path);
  return Buf(s.begin(), s.end());
}

TEST_F(RasterTest, RealGlyphsFollowTheRulesAtEverySize) {
  raster::Canvas big;
  ASSERT_EQ(raster::canvas_init(&big, &arena, 2048 + 8, 2048 + 8), 1u);
  font::Outline out;
  ASSERT_EQ(font::outline_init(&out, &arena, 4096, 512), 1u);
  struct Font { const char* path; const char* text; };
  for (Font f : {Font{"/usr/share/fonts/truetype/lato/Lato-Regular.ttf", "ag@W\xE9"},
                 Font{"/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", "8&Q%\xE5"}}) {
    Buf bytes = file_bytes(f.path);
    font::Face face;
    ASSERT_EQ(font::parse(&face, bytes.data(), bytes.size(), &arena), font::ok);
    for (u32 px : {1u, 2u, 3u, 5u, 8u, 12u, 16u, 24u, 48u, 100u, 333u, 2048u}) {
      for (const char* t = f.text; *t; ++t) {
        if (px == 2048 && t != f.text) continue;  // the largest size once per font
        u32 cp = static_cast<uint8_t>(*t);
        SCOPED_TRACE(std::string(f.path) + " U+" + std::to_string(cp) + " at " + std::to_string(px) + " px");
        raster::GlyphBox box;
        ASSERT_EQ(raster::measure(face, font::glyph_of(face, cp), px, &out, &box), font::ok);
        ASSERT_GT(box.width * box.height, 0);
        EXPECT_EQ(box.advance, raster::scale_units(font::advance(face, font::glyph_of(face, cp)), px, face.units_per_em));
        // Two spare pixels on every side must stay empty: nothing spills out of the measured box.
        for (u32 i = 0; i < out.point_count; ++i) out.x[i] += 512, out.y[i] += 512;
        raster::GlyphBox padded = box;
        padded.width += 4;
        padded.height += 4;
        ASSERT_EQ(raster::draw(&big, out, padded), 1u);
        Reference ref(padded.width, padded.height);
        ref.outline(out);
        std::vector<uint8_t> want = ref.coverage();
        double sum = 0;
        for (u32 r = 0; r < padded.height; ++r)
          for (u32 x = 0; x < padded.width; ++x) {
            u8 got = big.coverage[r * padded.width + x];
            ASSERT_EQ(got, want[r * padded.width + x]) << "pixel " << x << "," << r;
            bool inside = r >= 2 && r < padded.height - 2u && x >= 2 && x < padded.width - 2u;
            ASSERT_TRUE(inside || got == 0) << "spill at " << x << "," << r;
            sum += got;
          }
        // Coverage adds up to the area the flattened outline encloses (these glyphs have no overlapping contours):
        // each pixel is off by at most half a level, each crossing by less than 1/512 px^2.
        double pixels = static_cast<double>(box.width) * box.height;
        EXPECT_NEAR(sum / 255.0, ref.area_px(), pixels * 0.5 / 255.0 + ref.crossings / 512.0 + 0.01);
        EXPECT_TRUE(cells_clear(big));
      }
    }
  }
}

// ---- measuring

TEST_F(RasterTest, MeasuresBoxesAndRefusesSizes) {
  const sfnt::Contour square_units = {{0, 0, true}, {0, 700, true}, {500, 700, true}, {500, 0, true}};
  const sfnt::Contour far_right = {{9000, 0, true}, {9000, 1, true}, {9001, 1, true}, {9001, 0, true}};
  const sfnt::Contour wide = {{-500, 0, true}, {-500, 1, true}, {1500, 1, true}, {1500, 0, true}};
  std::vector<Buf> glyphs = {sfnt::simple_glyph({square_units}), Buf{}, sfnt::simple_glyph({far_right}),
                             sfnt::simple_glyph({wide})};
  std::vector<sfnt::Metric> metrics = {{500, 0}, {250, 0}, {0, 0}, {0, 0}};
  Buf cmap = sfnt::cmap({{3, 1, sfnt::cmap_format4({{0xFFFF, 0xFFFF, 1, {}}})}});
  Buf file1000 = sfnt::assemble(sfnt::tables(glyphs, metrics, 4, cmap, 1000));
  Buf file16 = sfnt::assemble(sfnt::tables(glyphs, metrics, 4, cmap, 16));
  font::Face em1000, em16;
  ASSERT_EQ(font::parse(&em1000, file1000.data(), file1000.size(), &arena), font::ok);
  ASSERT_EQ(font::parse(&em16, file16.data(), file16.size(), &arena), font::ok);
  font::Outline out;
  ASSERT_EQ(font::outline_init(&out, &arena, 64, 8), 1u);
  raster::GlyphBox box;

  ASSERT_EQ(raster::measure(em1000, 0, 10, &out, &box), font::ok);
  EXPECT_EQ(box.width, 5);
  EXPECT_EQ(box.height, 7);
  EXPECT_EQ(box.left, 0);
  EXPECT_EQ(box.top, -7);
  EXPECT_EQ(box.advance, 5 * 256);
  // The outline now lies in the box, y down, corner at the origin.
  EXPECT_EQ(out.x[1], 0);
  EXPECT_EQ(out.y[1], 0);
  EXPECT_EQ(out.x[3], 5 * 256);
  EXPECT_EQ(out.y[3], 7 * 256);

  // A space: no pixels, but its advance.
  ASSERT_EQ(raster::measure(em1000, 1, 10, &out, &box), font::ok);
  EXPECT_EQ(box.width + box.height, 0);
  EXPECT_EQ(box.advance, 640);

  struct Case { const font::Face* face; u32 glyph, px, code; };
  for (Case c : {Case{&em1000, 0, 0, font::too_long}, Case{&em1000, 0, 2049, font::too_long},
                 Case{&em1000, 0, 2048, font::ok}, Case{&em1000, 7, 12, font::bad_glyph},
                 Case{&em16, 3, 520, font::ok} /* 65,000 px wide */,
                 Case{&em16, 3, 600, font::too_long} /* 75,000 px wide */,
                 Case{&em16, 2, 64, font::too_long} /* left at 36,000 px */, Case{&em16, 2, 32, font::ok},
                 Case{&em16, 0, 1000, font::too_long} /* top at -43,750 px */}) {
    EXPECT_EQ(raster::measure(*c.face, c.glyph, c.px, &out, &box), c.code) << c.glyph << " at " << c.px;
  }
}

}  // namespace
