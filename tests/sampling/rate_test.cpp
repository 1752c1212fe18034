#include "sampling/rate.h"

#include <gtest/gtest.h>

namespace {

TEST(Rate, IntervalsAndLimits) {
  EXPECT_EQ(rate::clamp_interval(0), 1u);
  EXPECT_EQ(rate::clamp_interval(90000), 60000u);
  EXPECT_EQ(rate::clamp_interval(1000), 1000u);
  EXPECT_EQ(rate::delta(5, 7), 0u);
  EXPECT_EQ(rate::delta(7, 5), 2u);
  EXPECT_EQ(rate::sat16(70000), 0xFFFF);
  EXPECT_EQ(rate::sat32(1ull << 40), 0xFFFFFFFFu);
  // A limit keeps the product plus the rounding half inside 64 bits, and one more would not.
  for (u64 recip : {1ull, 3ull, 1099511628ull, ~0ull}) {
    u64 limit = rate::ceil_of(recip, 40);
    unsigned __int128 top = static_cast<unsigned __int128>(recip) * limit + (1ull << 39);
    EXPECT_LE(top, static_cast<unsigned __int128>(~0ull)) << recip;
    EXPECT_GT(static_cast<unsigned __int128>(recip) * (limit + 1) + (1ull << 39),
              static_cast<unsigned __int128>(~0ull)) << recip;
  }
  EXPECT_EQ(rate::cpu_recip(~0ull, 60000, 100000), 1u);  // a product beyond 64 bits still gives a reciprocal
  EXPECT_GE(rate::span_recip(0), 1u);
  EXPECT_EQ(rate::span_recip(~0ull), 1u);
}

TEST(Rate, WorkedNumbers) {
  rate::Tick t{};
  rate::tick_make(10000000, 1000, 1, &t);
  struct Case { u64 recip, limit, delta; u32 bits; u64 want; };
  const Case cases[] = {
      {t.cpu_recip, t.cpu_limit, 10000000, 40, 10000},
      {t.cpu_recip, t.cpu_limit, 20000000, 40, 20000},
      {t.cpu_recip, t.cpu_limit, 5000000, 40, 5000},
      {t.io_recip, t.io_limit, 1048576, 30, 1024},
      {t.io_recip, t.io_limit, 1024000, 30, 1000},
      {t.io_recip, t.io_limit, ~0ull, 30, rate::apply(t.io_recip, t.io_limit, t.io_limit, 30)},
  };
  for (const Case& c : cases) EXPECT_EQ(rate::apply(c.recip, c.limit, c.delta, c.bits), c.want) << c.delta;
  // Four processors over two seconds: a full core is 25 %.
  rate::tick_make(10000000, 2000, 4, &t);
  EXPECT_EQ(rate::apply(t.cpu_recip, t.cpu_limit, 20000000, 40), 2500u);
  // A span of 2 s x 4 processors in ticks, and a delta of one processor's second.
  u64 span = 2000ull * 4 * 10000;
  EXPECT_EQ(rate::apply(rate::span_recip(span), rate::ceil_of(rate::span_recip(span), 40), 10000000, 40), 1250u);
}

TEST(Rate, CoreLevels) {
  const u16 shares[] = {10000, 9975, 9974, 10025, 10024, 0, 24, 25, 65535};
  u8 out[9] = {};
  u64 mask = rate::cores_pass(shares, out, 9);
  const u8 want[] = {200, 200, 199, 200, 200, 0, 0, 1, 200};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(out[i], want[i]) << i;
  EXPECT_EQ(mask, (1ull << 3) | (1ull << 8));
  u16 many[70];
  u8 levels[70] = {};
  for (u16& s : many) s = 20000;
  EXPECT_EQ(rate::cores_pass(many, levels, 70), ~0ull);
  EXPECT_EQ(levels[64], 0);
}

}  // namespace
