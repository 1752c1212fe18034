#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "history/hist.h"
#include "history/hstore.h"
#include "sampling/ring.h"

namespace {

const u8 id[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

struct Bound {
  std::vector<u8> block;
  mem::Arena arena;
  hist::Table t;
  Bound(u32 range, u8 m0, u8 m1, u32 now, u64 bytes = 0) {
    block.resize(bytes ? bytes : hist::table_bytes(range, (m0 <= 8) + (m1 < 8)));
    arena = mem::Arena{block.data() + 1, 0, block.size() - 1};  // a base that is not aligned costs padding
    ok = hist::bind(&t, &arena, range, m0, m1, id, now);
  }
  bool ok;
};

store::Bucket bucket(u32 slot, u32 m, u16 lo, u16 mid, u16 hi) {
  store::Bucket b{slot, 0, {}, {}, {}};
  b.min[m] = lo;
  b.mean[m] = mid;
  b.max[m] = hi;
  return b;
}

TEST(HistRanges, RangesAndSizes) {
  struct Case {
    u32 range, seconds, rows, column, tier;
  } cases[] = {{0, 60, 0, 10, 0},         {1, 600, 0, 10, 0},         {2, 3600, 360, 10, 0},
               {3, 86400, 288, 300, 1},   {4, 2592000, 720, 3600, 2}, {5, 63072000, 730, 86400, 2},
               {6, 60, 0, 10, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.range);
    EXPECT_EQ(hist::range_seconds(c.range), c.seconds);
    EXPECT_EQ(hist::range_rows(c.range), c.rows);
    EXPECT_EQ(hist::row_seconds(c.range), c.column);
    if (c.range < 6) {
      EXPECT_EQ(hist::first_tier(c.range), c.tier);
      EXPECT_EQ(hist::range_of_seconds(c.seconds), c.range == 0 ? 0u : c.range);
    }
  }
  EXPECT_EQ(hist::range_of_seconds(7), 0u);
  EXPECT_EQ(hist::table_bytes(2, 2), 15696u);
  EXPECT_EQ(hist::table_bytes(5, 2), 31236u);
  EXPECT_EQ(hist::table_bytes(5, 3), 31236u);
  EXPECT_EQ(hist::table_bytes(0, 2), 0u);
  EXPECT_EQ(hist::table_bytes(1, 1), 0u);
  EXPECT_EQ(hist::kept_seconds(0), 86400u);
  EXPECT_EQ(hist::kept_seconds(1), 2592000u);
  EXPECT_EQ(hist::kept_seconds(2), 63072000u);
  EXPECT_EQ(hist::kept_seconds(3), 0u);
  EXPECT_EQ(hist::chunk_buckets(65536), 768u);
  EXPECT_EQ(hist::chunk_buckets(1000), 12u);
  EXPECT_EQ(hist::chunk_buckets(10), 0u);

  // Every size is enough from an unaligned arena, and one byte less is not.
  for (u32 range = 2; range < 6; ++range) {
    EXPECT_TRUE(Bound(range, 2, 6, 1000000).ok) << range;
    EXPECT_TRUE(Bound(range, 8, 255, 1000000).ok) << range;
  }
  EXPECT_FALSE(Bound(2, 2, 6, 1000000, 1000).ok);
  EXPECT_FALSE(Bound(0, 2, 6, 1000000, 100000).ok);
  EXPECT_FALSE(Bound(1, 2, 6, 1000000, 100000).ok);
  Bound b(3, 8, 2, 1000000);
  EXPECT_EQ(b.t.energy, 1);
  EXPECT_EQ(b.t.measure[0], hist::no_measure);
  EXPECT_EQ(b.t.measure[1], 2);
  Bound c(3, 255, 9, 1000000);
  EXPECT_EQ(c.t.measure[1], hist::no_measure);
}

TEST(HistRequests, ChunksThenTiersDownThenDone) {
  const u32 now = 70000000;
  Bound b(5, 0, 255, now);
  hist::Table& t = b.t;
  ASSERT_TRUE(b.ok);
  EXPECT_EQ(t.tier, 2);
  EXPECT_EQ(t.first, 86400u * (now / 86400 + 1 - 730));
  EXPECT_EQ(t.earliest, t.first);  // tier 2 keeps more than the range shows
  EXPECT_FALSE(hist::ask(&t, 0));
  ASSERT_TRUE(hist::ask(&t, 768));
  EXPECT_FALSE(hist::ask(&t, 768));  // one request at a time
  EXPECT_EQ(t.ask_start, t.earliest);
  EXPECT_EQ(t.ask_end, t.earliest + 768 * 3600 - 1);
  EXPECT_FALSE(hist::wants(&t, 1, 0, id));
  EXPECT_FALSE(hist::wants(&t, 2, 1, id));
  u8 other[16] = {};
  EXPECT_FALSE(hist::wants(&t, 2, 0, other));
  EXPECT_TRUE(hist::wants(&t, 2, 0, id));
  u32 asks = 1;
  for (hist::answered(&t, 0); t.tier == 2 && t.state == 0; hist::answered(&t, 0)) {
    ASSERT_TRUE(hist::ask(&t, 768));
    ++asks;
  }
  EXPECT_EQ(asks, 23u);  // 17,520 hours in chunks of 768
  // Nothing answered: tier 1 from the earliest time it keeps, then tier 0, then done without data.
  EXPECT_EQ(t.tier, 1);
  EXPECT_EQ(t.next_start, now + 1 - 2592000);
  while (t.tier == 1) {
    ASSERT_TRUE(hist::ask(&t, 100000));
    hist::answered(&t, 0);
  }
  EXPECT_EQ(t.tier, 0);
  EXPECT_EQ(t.next_start, now + 1 - 86400);
  ASSERT_TRUE(hist::ask(&t, 100000));
  u32 changes = t.changes;
  hist::answered(&t, 0);
  EXPECT_EQ(t.state, hist::state_empty);
  EXPECT_GT(t.changes, changes);
  EXPECT_FALSE(hist::ask(&t, 10));
  hist::answered(&t, 5);  // no request open: nothing happens
  EXPECT_EQ(t.answered_rows, 0u);

  // Rows answered at the first tier finish the table there.
  Bound d(3, 0, 255, now);
  ASSERT_TRUE(hist::ask(&d.t, 1000));
  store::Bucket x = bucket(now - 600, 0, 10, 20, 30);
  EXPECT_TRUE(hist::fold(&d.t, &x));
  hist::answered(&d.t, 1);
  EXPECT_EQ(d.t.state, hist::state_data);
  EXPECT_EQ(d.t.tier, 1);

  EXPECT_EQ(hist::chunk_end(5000, 0xFFFFFFFF, 768, 0), 5000u + 7679u);
  EXPECT_EQ(hist::chunk_end(5000, 6000, 768, 0), 6000u);
  EXPECT_EQ(hist::chunk_end(0xFFFFFF00, 0xFFFFFFFF, 768, 2), 0xFFFFFFFFu);  // no wrap below the start
}

TEST(HistColumns, FoldsRoundAndDecodeRates) {
  const u32 now = 1000000;
  Bound b(3, 2, 6, now);
  hist::Table& t = b.t;
  u32 column = now - now % 300 - 300;
  store::Bucket a = bucket(column, 2, 900, 1000, 1100), c = bucket(column + 10, 2, 1500, 2000, 2500);
  store::Bucket d = bucket(column + 290, 2, 3000, 4000, 5000);
  d.min[6] = 0x1000, d.mean[6] = 0x2388, d.max[6] = 0xFFFF;
  for (const store::Bucket* x : {&a, &c, &d}) EXPECT_TRUE(hist::fold(&t, x));
  u32 lo, mid, hi;
  ASSERT_TRUE(hist::row_values(&t, 286, 0, &lo, &mid, &hi));
  EXPECT_EQ(mid, 2333u);
  EXPECT_EQ(lo, 900u);
  EXPECT_EQ(hi, 5000u);
  ASSERT_TRUE(hist::row_values(&t, 286, 1, &lo, &mid, &hi));
  EXPECT_EQ(hi, 134201344u);
  EXPECT_EQ(t.count[hist::physical(&t, 286)], 3);
  EXPECT_EQ(t.folded, 3u);
  EXPECT_FALSE(hist::row_values(&t, 285, 0, &lo, &mid, &hi));
  EXPECT_FALSE(hist::row_values(&t, 288, 0, &lo, &mid, &hi));
  EXPECT_FALSE(hist::row_values(&t, 286, 2, &lo, &mid, &hi));

  // One column before the first, or past the last: not folded, not counted.
  store::Bucket early = bucket(t.first - 1, 2, 1, 1, 1), late = bucket(t.first + 288 * 300, 2, 1, 1, 1);
  EXPECT_FALSE(hist::fold(&t, &early));
  EXPECT_FALSE(hist::fold(&t, &late));
  EXPECT_EQ(t.folded, 3u);
  store::Energy e{column, 0, 100, 10, 0};
  EXPECT_FALSE(hist::fold_energy(&t, &e));  // not an energy table

  // A single bucket folds as itself: the rate code 0x2388 is 10,000 KiB/s.
  Bound r(3, 6, 255, now);
  store::Bucket one = bucket(column, 6, 0x2388, 0x2388, 0x2388);
  ASSERT_TRUE(hist::fold(&r.t, &one));
  ASSERT_TRUE(hist::row_values(&r.t, 286, 0, &lo, &mid, &hi));
  EXPECT_EQ(mid, 10000u);
  EXPECT_EQ(hist::most_avg(&r.t, 0), 10000u);
  EXPECT_EQ(hist::most_avg(&r.t, 1), 0u);
}

TEST(HistColumns, ScrollsByFewOrRebasesByMany) {
  const u32 now = 1000005;
  Bound b(2, 0, 255, now);
  hist::Table& t = b.t;
  u32 v[8] = {4000, 0, 0, 0, 0, 0, 0, 0};
  t.state = hist::state_empty;
  ASSERT_TRUE(hist::live(&t, now, v));
  EXPECT_EQ(t.state, hist::state_data);
  u32 lo, mid, hi, first = t.first;
  ASSERT_TRUE(hist::row_values(&t, 359, 0, &lo, &mid, &hi));
  EXPECT_EQ(mid, 4000u);
  v[0] = 2000;
  ASSERT_TRUE(hist::live(&t, now + 30, v));  // three columns on
  EXPECT_EQ(t.first, first + 30);
  ASSERT_TRUE(hist::row_values(&t, 356, 0, &lo, &mid, &hi));  // the old column moved left
  EXPECT_EQ(mid, 4000u);
  ASSERT_TRUE(hist::row_values(&t, 359, 0, &lo, &mid, &hi));
  EXPECT_EQ(mid, 2000u);
  EXPECT_FALSE(hist::row_values(&t, 358, 0, &lo, &mid, &hi));
  ASSERT_TRUE(hist::live(&t, now + 34, v));
  ASSERT_TRUE(hist::row_values(&t, 359, 0, &lo, &mid, &hi));
  EXPECT_EQ(hi, 2000u);
  EXPECT_EQ(t.count[hist::physical(&t, 359)], 2);
  EXPECT_FALSE(hist::live(&t, first - 10, v));  // before the table

  u32 changes = t.changes;
  hist::advance(&t, now + 34);  // nothing new
  EXPECT_EQ(t.changes, changes);
  hist::advance(&t, now + 30 + 3600);  // exactly n columns on: everything goes, the table rebases
  EXPECT_EQ(t.start, 0u);
  EXPECT_EQ(t.first, hist::first_row(now + 30 + 3600, 10, 360));
  for (u32 c = 0; c < 360; ++c) EXPECT_FALSE(hist::row_values(&t, c, 0, &lo, &mid, &hi)) << c;
  hist::advance(&t, now + 30 + 3600 + 3590);  // n - 1 columns on: scrolls
  EXPECT_EQ(t.start, 359u);
}

TEST(HistColumns, TimesBeforeTheFirstColumnWrapSafely) {
  // Two years of daily columns asked less than two years after the epoch: the first column lies before it.
  const u32 now = 1000000;
  Bound b(5, 0, 255, now);
  hist::Table& t = b.t;
  EXPECT_GT(t.first, now);  // wrapped
  EXPECT_EQ(t.earliest, 0u);
  EXPECT_EQ(t.first + 729u * 86400u, now - now % 86400);
  u32 v[8] = {1234};
  ASSERT_TRUE(hist::live(&t, now, v));
  store::Bucket zero = bucket(0, 0, 7, 7, 7);
  ASSERT_TRUE(hist::fold(&t, &zero));
  u32 lo, mid, hi;
  ASSERT_TRUE(hist::row_values(&t, 729 - now / 86400, 0, &lo, &mid, &hi));
  EXPECT_EQ(lo, 7u);
  ASSERT_TRUE(hist::row_values(&t, 729, 0, &lo, &mid, &hi));
  EXPECT_EQ(mid, 1234u);
  hist::advance(&t, now + 86400);
  EXPECT_EQ(t.start, 1u);
  ASSERT_TRUE(hist::row_values(&t, 728 - now / 86400, 0, &lo, &mid, &hi));
  ASSERT_TRUE(hist::ask(&t, 768));
  EXPECT_EQ(t.ask_start, 0u);
  EXPECT_EQ(hist::row_at(5, 10, 10, 360), -1);
  EXPECT_EQ(hist::row_at(5, 0xFFFFFFF6, 10, 360), 1);
  EXPECT_EQ(hist::row_at(5, 0, 0, 360), -1);
  EXPECT_EQ(hist::clip_from(0xFFFF0000, 100, 0), 0u);
  EXPECT_EQ(hist::clip_from(50, 100, 0), 50u);
  EXPECT_EQ(hist::clip_from(50, 100000, 0), 100001u - 86400u);
}

TEST(HistEnergy, FoldsLiveRowsAndShowsUnits) {
  const u32 now = 2000000;
  Bound b(3, 8, 255, now);
  hist::Table& t = b.t;
  u32 column = now - now % 300;
  store::Energy e{column - 300, 0, 3000, 10, 0};
  ASSERT_TRUE(hist::fold_energy(&t, &e));
  store::Bucket x = bucket(column, 0, 1, 1, 1);
  EXPECT_FALSE(hist::fold(&t, &x));
  u64 energy;
  u32 seconds;
  ASSERT_TRUE(hist::row_energy(&t, 286, &energy, &seconds));
  EXPECT_EQ(energy, 3000u);
  EXPECT_EQ(seconds, 10u);
  EXPECT_FALSE(hist::row_energy(&t, 287, &energy, &seconds));
  EXPECT_FALSE(hist::live_energy(&t, now, 500, 0));

  // The live ring: rows since the last call, those with a power reading, one second each.
  auto samples = std::make_unique<ring::Ring>();
  ring::init(samples.get(), 600);
  for (u32 k = 0; k < 5; ++k) {
    ring::Row row{};
    row.power = static_cast<u16>(1000 + k);
    row.power_flags = k == 2 ? 0x10 : 1;  // row 2 holds an old reading, not a new one
    ring::push(samples.get(), &row);
  }
  EXPECT_EQ(hist::live_ring(&t, now, samples.get(), 5), 1u);  // no sequence yet: only the newest
  EXPECT_EQ(hist::live_ring(&t, now, samples.get(), 5), 0u);
  ring::Row more{};
  more.power = 2000;
  more.power_flags = 1;
  ring::push(samples.get(), &more);
  EXPECT_EQ(hist::live_ring(&t, now + 1, samples.get(), 20), 6u);  // limited to the rows present
  ASSERT_TRUE(hist::row_energy(&t, 287, &energy, &seconds));
  EXPECT_EQ(energy, 1004u + 2000 + 1004 + 1003 + 1001 + 1000);
  EXPECT_EQ(seconds, 6u);
  EXPECT_EQ(hist::energy_total(&t, &seconds), 3000u + energy);
  EXPECT_EQ(seconds, 16u);
  EXPECT_EQ(hist::most_watts(&t), 1169u);  // 7012 / 6 rounded
  EXPECT_EQ(hist::fresh_count(3, 7, 100), 1u);  // the sequence went back: a restart
  EXPECT_EQ(hist::fresh_count(0, hist::no_sequence, 100), 0u);

  Bound m(3, 0, 255, now);
  EXPECT_EQ(hist::live_ring(&m.t, now, samples.get(), 20), 0u);  // not an energy table
  EXPECT_EQ(hist::energy_total(&m.t, &seconds), 0u);
  EXPECT_EQ(hist::most_watts(&m.t), 0u);

  struct Shown {
    u64 energy, shown;
  } shown[] = {{0, 0},           {179, 0},         {180, 1},         {359999, 1000}, {360000, 100},
               {35999999, 10000}, {36000000, 100}, {36180000, 101},  {~u64{0} / 2, (~u64{0} / 2 + 180000) / 360000}};
  for (const Shown& s : shown) EXPECT_EQ(hist::energy_shown(s.energy), s.shown) << s.energy;
}

TEST(HistArithmetic, MeansAndPercents) {
  EXPECT_EQ(hist::mean(7000, 3), 2333u);
  EXPECT_EQ(hist::mean(5, 2), 3u);
  EXPECT_EQ(hist::mean(5, 0), 0u);
  EXPECT_EQ(hist::mean(~u64{0}, 1), 0xFFFFFFFFu);
  EXPECT_EQ(hist::mean(~u64{0}, ~u64{0}), 1u);
  EXPECT_EQ(hist::percent(1, 3), 3333u);
  EXPECT_EQ(hist::percent(5, 3), 10000u);
  EXPECT_EQ(hist::percent(5, 0), 0u);
  EXPECT_EQ(hist::add_sat(0xFFFFFFFF, 1), 0xFFFFFFFFu);
  EXPECT_EQ(hist::first_row(100, 0, 5), 0u);
  EXPECT_EQ(hist::first_row(100, 10, 0), 0u);

  ring::Row row{};
  row.load = 5000;
  row.kernel = 1000;
  row.memory_mib = 4096;
  row.disk_busy[9] = 150;
  row.gpu_load[3] = 7000;
  row.gpu_dedicated_mib[0] = 1024;
  row.gpu_shared_mib[0] = 300;
  row.receive[7] = 0xFFFFFFF0;
  row.receive[0] = 100;
  row.send[1] = 5;
  hist::Totals dedicated{16384, 1, {8192}, {16000}};
  u32 v[8];
  hist::values_of(&row, &dedicated, v);
  EXPECT_EQ(v[0], 5000u);
  EXPECT_EQ(v[1], 1000u);
  EXPECT_EQ(v[2], 2500u);
  EXPECT_EQ(v[3], 7500u);
  EXPECT_EQ(v[4], 7000u);
  EXPECT_EQ(v[5], 1250u);
  EXPECT_EQ(v[6], 0xFFFFFFFFu);
  EXPECT_EQ(v[7], 5u);
  hist::Totals integrated{16384, 1, {512}, {8000}};  // small dedicated and some shared: shared memory counts
  hist::values_of(&row, &integrated, v);
  EXPECT_EQ(v[5], 375u);
  hist::Totals none{0, 0, {}, {}};
  hist::values_of(&row, &none, v);
  EXPECT_EQ(v[2], 0u);
  EXPECT_EQ(v[5], 0u);
}

}  // namespace
