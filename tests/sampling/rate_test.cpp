#include "sampling/rate.h"

#include <gtest/gtest.h>

#include <memory>

#include "sampling/model.h"
#include "platform/sysrec.h"

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

namespace {

struct Passes : ::testing::Test {
  std::unique_ptr<model::ProcTable> t = std::make_unique<model::ProcTable>();
  std::unique_ptr<rate::ProcCounters> c = std::make_unique<rate::ProcCounters>();
  rate::Tick tick{};
  void SetUp() override {
    model::table_init(t.get());
    for (u32 pid = 1; pid <= 3; ++pid) model::proc_upsert(t.get(), pid, 0, 0, mem::lit("p"));
    rate::tick_make(10000000, 1000, 1, &tick);
    // Beyond the live rows every counter is huge: it must change nothing.
    for (u32 r = 3; r < rate::positions; ++r) {
      c->cpu_time[r] = c->bytes_read[r] = c->working_set[r] = ~0ull;
      c->threads[r] = c->gpu[r] = ~0u;
    }
  }
  bool clipped(u32 r) const { return (t->clipped[0] >> r) & 1; }
};

TEST_F(Passes, FreshRowsStartAtZeroThenShowRates) {
  c->cpu_time[0] = 50000000;
  c->bytes_read[0] = 1 << 30;
  c->bytes_written[1] = 5000;
  rate::update(t.get(), c.get(), &tick);
  EXPECT_EQ(t->cpu[0], 0);
  EXPECT_EQ(t->read_rate[0], 0u);
  EXPECT_EQ(t->fresh[0], 0u);
  EXPECT_EQ(t->clipped[0], 0u);
  c->cpu_time[0] += 5000000;      // half a processor
  c->cpu_time[1] = 0;             // went back: 0
  c->bytes_read[0] += 1048576;    // 1,024 KiB/s
  c->bytes_written[1] = 1000;     // went back: 0
  c->cpu_time[2] = 20000000;      // twice the wall time: capped and clipped
  rate::update(t.get(), c.get(), &tick);
  EXPECT_EQ(t->cpu[0], 5000);
  EXPECT_EQ(t->read_rate[0], 1024u);
  EXPECT_EQ(t->write_rate[1], 0u);
  EXPECT_EQ(t->cpu[1], 0);
  EXPECT_EQ(t->cpu[2], 10000);
  EXPECT_EQ(t->clipped[0], 1ull << 2);
  for (u32 w = 1; w < model::words; ++w) EXPECT_EQ(t->clipped[w], 0u);
  EXPECT_EQ(t->prev_cpu[0], 55000000u);
}

TEST_F(Passes, SizesSaturateAndMark) {
  struct Case { u64 ws, priv, vram; u32 threads, tcp, gpu; bool clip; };
  const Case cases[] = {
      {8192, 4096, 4u << 20, 12, 3, 2500, false},
      {1ull << 44, 0, 0, 0, 0, 0, true},
      {0, 0, (1ull << 38) - 1, 0, 0, 0, false},
      {0, 0, 1ull << 38, 0, 0, 0, true},
      {0, 0, 0, 70000, 0, 0, true},
      {0, 0, 0, 0, 65536, 0, true},
      {0, 0, 0, 0, 0, 10001, true},
  };
  for (const Case& k : cases) {
    c->working_set[0] = k.ws;
    c->private_bytes[0] = k.priv;
    c->gpu_memory[0] = k.vram;
    c->threads[0] = k.threads;
    c->tcp[0] = k.tcp;
    c->gpu[0] = k.gpu;
    c->handles[0] = 77;
    rate::update(t.get(), c.get(), &tick);
    EXPECT_EQ(clipped(0), k.clip) << k.ws << " " << k.vram << " " << k.threads;
    EXPECT_EQ(t->working_set[0], rate::sat32(k.ws >> 12));
    EXPECT_EQ(t->private_bytes[0], k.priv >> 12);
    EXPECT_EQ(t->gpu_memory[0], rate::sat16(k.vram >> 22));
    EXPECT_EQ(t->thread_count[0], rate::sat16(k.threads));
    EXPECT_EQ(t->tcp[0], rate::sat16(k.tcp));
    EXPECT_EQ(t->gpu[0], k.gpu > 10000 ? 10000 : k.gpu);
    EXPECT_EQ(t->handles[0], 77u);
  }
}

TEST_F(Passes, UnreportedDiskIsMarkedNotZeroed) {
  c->bytes_read[2] = c->bytes_written[2] = sysrec::io_unreported;
  rate::update(t.get(), c.get(), &tick);
  rate::update(t.get(), c.get(), &tick);
  EXPECT_TRUE(model::disk_unreported(t.get(), 2));
  EXPECT_FALSE(model::disk_unreported(t.get(), 0));
  EXPECT_EQ(t->read_rate[2], 0u);
  EXPECT_EQ(t->write_rate[2], 0u);
  EXPECT_FALSE(clipped(2));
  // The mark moves with its row: the last row fills the hole.
  model::remove_row(t.get(), 0);
  EXPECT_TRUE(model::disk_unreported(t.get(), 0));
  // Reported again: a zero first interval, then real rates.
  c->bytes_read[0] = 1 << 20;
  c->bytes_written[0] = 0;
  rate::update(t.get(), c.get(), &tick);
  EXPECT_FALSE(model::disk_unreported(t.get(), 0));
  EXPECT_EQ(t->read_rate[0], 0u);
  c->bytes_read[0] += 2 << 20;
  rate::update(t.get(), c.get(), &tick);
  EXPECT_EQ(t->read_rate[0], 2048u);
}

}  // namespace
