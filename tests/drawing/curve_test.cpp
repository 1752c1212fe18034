#include "drawing/curve.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

TEST(CurveArithmetic, FloorDivision) {
  struct Case { i64 a, b, q; };
  for (Case c : {Case{7, 2, 3}, Case{-7, 2, -4}, Case{7, -2, -4}, Case{-7, -2, 3}, Case{-8, 2, -4}, Case{5, -1, -5},
                 Case{INT64_MIN, -1, INT64_MAX}, Case{9, 0, 0}})
    EXPECT_EQ(curve::floor_div(c.a, c.b), c.q) << c.a << " / " << c.b;
}

TEST(CurveArithmetic, TangentsKeepTheCurveMonotone) {
  struct Case { i32 a, b, m; };
  for (Case c : {Case{3, -2, 0}, Case{4, 10, 7}, Case{1, 10, 2}, Case{0, 5, 0}, Case{-4, -10, -7}, Case{-10, -1, -2},
                 Case{INT32_MIN, INT32_MIN, INT32_MIN}})
    EXPECT_EQ(curve::tangent(c.a, c.b), c.m) << c.a << ", " << c.b;
}

TEST(CurveHermite, EndsMiddleAndRounding) {
  EXPECT_EQ(curve::hermite(0, 100, 0, 0, 1, 2), 50);
  EXPECT_EQ(curve::hermite(-30, 70, 5, -9, 0, 7), -30);
  EXPECT_EQ(curve::hermite(-30, 70, 5, -9, 7, 7), 70);
  // N / f^3 rounded half up: 0 to 1 with flat ends at step 1 of 2 is exactly one half.
  EXPECT_EQ(curve::hermite(0, 1, 0, 0, 1, 2), 1);
  EXPECT_EQ(curve::hermite(0, -1, 0, 0, 1, 2), 0);
  // A segment of no steps (a column of 0 px) is its start, not a division by zero.
  EXPECT_EQ(curve::hermite(10, 20, 1, 1, 0, 0), 10);
  EXPECT_EQ(curve::rise(10, 20, 1, 1, 0, 0), 0);
  // Linear data: tangents equal the slope, every step lies on the line and rises by the slope.
  for (i32 e = 0; e <= 8; ++e) {
    EXPECT_EQ(curve::curve_at(0, 800, 1600, 2400, e, 8), 800 + 100 * e) << e;
    EXPECT_EQ(curve::curve_rise(0, 800, 1600, 2400, e, 8), 100) << e;
  }
}

TEST(CurveHermite, AgreesWithTheCubicAndStaysBetweenMonotoneSamples) {
  std::mt19937 rng(5);
  for (int round = 0; round < 2000; ++round) {
    i32 s[4];
    for (i32& v : s) v = static_cast<i32>(rng() % 200000) - 100000;
    i32 f = 1 + static_cast<i32>(rng() % 64);
    i32 m0 = curve::tangent(s[1] - s[0], s[2] - s[1]), m1 = curve::tangent(s[2] - s[1], s[3] - s[2]);
    bool monotone = (s[0] <= s[1] && s[1] <= s[2] && s[2] <= s[3]) || (s[0] >= s[1] && s[1] >= s[2] && s[2] >= s[3]);
    for (i32 e = 0; e <= f; ++e) {
      double t = static_cast<double>(e) / f, d = s[2] - s[1];
      double h = s[1] + (m0 + m1 - 2 * d) * t * t * t + (3 * d - 2 * m0 - m1) * t * t + m0 * t;
      i32 v = curve::curve_at(s[0], s[1], s[2], s[3], e, f);
      ASSERT_NEAR(v, std::floor(h + 0.5), 1.0) << round << " step " << e;
      if (monotone) {
        ASSERT_GE(v, std::min(s[1], s[2]));
        ASSERT_LE(v, std::max(s[1], s[2]));
      }
    }
  }
}

TEST(CurveValues, LevelsCeilingsAndNearest) {
  EXPECT_EQ(curve::level(50, 100, 256), 128u);
  EXPECT_EQ(curve::level(150, 100, 256), 0u);
  EXPECT_EQ(curve::level(5, 0, 256), 256u);
  EXPECT_EQ(curve::level(0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFF), 0u);  // 64-bit product
  EXPECT_EQ(curve::stack_add(0xFFFFFFF0, 0x20), 0xFFFFFFFFu);
  EXPECT_EQ(curve::stack_add(3, 4), 7u);
  struct Ceil { u64 v, c; };
  for (Ceil c : {Ceil{0, 1}, Ceil{1, 1}, Ceil{2, 2}, Ceil{3, 5}, Ceil{7, 10}, Ceil{12, 20}, Ceil{45, 50},
                 Ceil{100, 100}, Ceil{101, 200}, Ceil{5000001, 10000000}, Ceil{UINT64_MAX, UINT64_MAX}})
    EXPECT_EQ(curve::nice_ceiling(c.v), c.c) << c.v;
  EXPECT_EQ(curve::nearest(5, 2, 100), 3);   // 2.5 rounds up
  EXPECT_EQ(curve::nearest(-5, 2, 100), 0);  // below 0
  EXPECT_EQ(curve::nearest(7, 0, 100), 7);   // a divisor of 0 counts as 1
  EXPECT_EQ(curve::nearest(1000, 3, 100), 100);
  EXPECT_EQ(curve::clamp16(40000), 32767);
  EXPECT_EQ(curve::clamp16(-40000), -32768);
  EXPECT_EQ(curve::clamp16(-5), -5);
}

TEST(CurveColour, MixingAndBlending) {
  EXPECT_EQ(curve::mix_channel(0, 255, 1, 2), 128u);
  EXPECT_EQ(curve::mix_channel(10, 20, 5, 0), 20u);   // d 0 counts as 1, c cut to it
  EXPECT_EQ(curve::mix_channel(10, 20, 0, 4), 10u);
  EXPECT_EQ(curve::mix_color(0xFF000000, 0x00FF8040, 1, 2), 0x00804020u);
  // Over 10 steps: 0..5 from a to b, 5..10 from b to c.
  EXPECT_EQ(curve::ramp(0x000000, 0x0000FF, 0x00FF00, 0, 10), 0x000000u);
  EXPECT_EQ(curve::ramp(0x000000, 0x0000FF, 0x00FF00, 5, 10), 0x0000FFu);
  EXPECT_EQ(curve::ramp(0x000000, 0x0000FF, 0x00FF00, 99, 10), 0x00FF00u);
  EXPECT_EQ(curve::ramp(0x000000, 0x0000FF, 0x00FF00, 7, 10), 0x006699u);
  EXPECT_EQ(curve::ramp(0x123456, 0x0000FF, 0x00FF00, 0, 0), 0x123456u);
  EXPECT_EQ(curve::blend(0x000000, 0xFFFFFF, 128), 0xFF808080u);
  EXPECT_EQ(curve::blend(0x102030, 0xFFFFFF, 0), 0xFF102030u);
  EXPECT_EQ(curve::blend(0x102030, 0xA0B0C0, 999), 0xFFA0B0C0u);
  // Each channel is its own rounded mix, whatever its neighbours hold (the channels are mixed side by side).
  auto mixed = [](u32 a, u32 b, u32 alpha) { return (2 * (a * (255 - alpha) + b * alpha) + 255) / 510; };
  for (u32 alpha = 0; alpha < 256; ++alpha)
    for (u32 a = 0; a < 256; ++a)
      for (u32 b = alpha % 3; b < 256; b += 3) {
        const u32 one = a | (255 - b) << 8 | (a ^ 0x5A) << 16, two = b | (255 - a) << 8 | (b ^ 0xA5) << 16;
        const u32 want = 0xFF000000u | mixed(a, b, alpha) | mixed(255 - b, 255 - a, alpha) << 8 |
                         mixed(a ^ 0x5A, b ^ 0xA5, alpha) << 16;
        ASSERT_EQ(curve::blend(one, two, alpha), want) << a << " " << b << " " << alpha;
      }
  for (u32 a = 0; a < 256; a += 5)
    for (u32 b = 0; b < 256; ++b) ASSERT_EQ(curve::scaled_alpha(a, b), (2 * a * b + 255) / 510);
}

TEST(CurveFloat, ThicknessAndDisc) {
  EXPECT_EQ(curve::thickness(2, 256), 3);
  EXPECT_EQ(curve::thickness(2, 0), 2);
  EXPECT_EQ(curve::thickness(10, 256), 14);   // 14.64
  EXPECT_EQ(curve::thickness(10, -512), 22);  // 22.86
  EXPECT_EQ(curve::thickness(INT32_MAX, INT32_MAX), INT32_MAX);
  EXPECT_EQ(curve::disc(0.0f, 0.0f), 128u);
  EXPECT_EQ(curve::disc(3.0f, 2.0f), 0u);
  EXPECT_EQ(curve::disc(1.0f, 2.0f), 255u);
  EXPECT_EQ(curve::disc(0.25f, 0.0f), 64u);  // 0.25 * 255 + 0.5 = 64.25
  EXPECT_EQ(curve::disc(0.0f, NAN), 0u);
}

TEST(CurvePlot, PositionsInTheBox) {
  // Height 100 px, margin 2: values fill 96 px from the bottom up.
  EXPECT_EQ(curve::plot_y(0, 0, 0, 100, 100, 2), 98 * 256);
  EXPECT_EQ(curve::plot_y(0, 0, 100, 100, 100, 2), 2 * 256);
  EXPECT_EQ(curve::plot_y(0, 0, 50, 100, 100, 2), 50 * 256);
  EXPECT_EQ(curve::base_y(0, 100, 2), 98 * 256);
  // Split: the upper series rises from the middle to the top, the lower one falls from the middle down.
  EXPECT_EQ(curve::base_y(1, 100, 2), 50 * 256);
  EXPECT_EQ(curve::plot_y(1, 0, 0, 100, 100, 2), 50 * 256);
  EXPECT_EQ(curve::plot_y(1, 0, 100, 100, 100, 2), 2 * 256);
  EXPECT_EQ(curve::plot_y(1, 1, 0, 100, 100, 2), 50 * 256);
  EXPECT_EQ(curve::plot_y(1, 1, 100, 100, 100, 2), 98 * 256);
  EXPECT_EQ(curve::plot_y(1, 1, 50, 100, 100, 2), 74 * 256);
  // Odd heights split at half a pixel.
  EXPECT_EQ(curve::plot_y(1, 0, 0, 10, 101, 0), 101 * 128);
  // Margins larger than the box leave no room instead of wrapping.
  EXPECT_EQ(curve::plot_y(0, 0, 5, 10, 10, 8), 8 * 256);
}

}  // namespace
