#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "history/hstore.h"

namespace {

struct Sample {
  u16 levels[6];
  u32 receive, send;
  u16 power;
  u8 power_flags;
};

std::vector<u8> summary(const Sample& s) {
  std::vector<u8> b(64, 0);
  for (u32 m = 0; m < 6; ++m) store::put16(b.data() + 8 + 2 * m, s.levels[m]);
  store::put32(b.data() + 48, s.receive);
  store::put32(b.data() + 52, s.send);
  store::put16(b.data() + 60, s.power);
  b[62] = s.power_flags;
  return b;
}

Sample flat(u16 level, u32 rate, u16 power = 0, u8 flags = 0) {
  return Sample{{level, level, level, level, level, level}, rate, rate, power, flags};
}

std::unique_ptr<hstore::Store> fresh() {
  auto s = std::make_unique<hstore::Store>();
  hstore::init(s.get());
  return s;
}

void add(hstore::Store* s, u32 i, const Sample& x, u32 now) { hstore::add(s, i, summary(x).data(), now); }

TEST(HstoreCodes, RateCodeTable) {
  struct Case {
    u64 value;
    u16 code;
    u32 back;
  } cases[] = {{0, 0, 0},           {4095, 4095, 4095},        {4096, 0x1000, 4096},  {8191, 0x1FFF, 8191},
               {8192, 0x2000, 8192}, {8193, 0x2000, 8192},    {(1u << 27) - 1, 0xFFFF, 134201344},
               {1u << 27, 0xFFFF, 134201344}, {~u64{0}, 0xFFFF, 134201344}};
  for (const Case& c : cases) {
    EXPECT_EQ(hstore::rate_code(c.value), c.code) << c.value;
    EXPECT_EQ(hstore::rate_of(c.code), c.back) << c.value;
  }
  // Codes keep the order of values and lose less than one part in 4096.
  u16 last = 0;
  for (u64 v = 1; v < (u64{1} << 27); v = v * 3 / 2 + 1) {
    u16 code = hstore::rate_code(v);
    EXPECT_GE(code, last);
    last = code;
    u32 back = hstore::rate_of(code);
    EXPECT_LE(back, v);
    EXPECT_LT(v - back, v / 4096 + 1) << v;
  }
}

TEST(HstoreCodes, TiersAndSaturation) {
  EXPECT_EQ(hstore::interval(0), 10u);
  EXPECT_EQ(hstore::interval(1), 300u);
  EXPECT_EQ(hstore::interval(2), 3600u);
  EXPECT_EQ(hstore::interval(3), 0u);
  EXPECT_EQ(hstore::slot_time(3599, 2), 0u);
  EXPECT_EQ(hstore::slot_time(3600, 2), 3600u);
  EXPECT_EQ(hstore::slot_time(0xFFFFFFFF, 0), 0xFFFFFFFAu);
  EXPECT_EQ(hstore::slot_time(1234, 7), 0u);
  EXPECT_EQ(hstore::upper_index(0), 0u);
  EXPECT_EQ(hstore::upper_index(1), 0u);
  EXPECT_EQ(hstore::upper_index(2), 1u);
  EXPECT_EQ(hstore::upper_index(9), 1u);
  EXPECT_EQ(hstore::add_sat(0xFFFFFFF0, 0x10), 0xFFFFFFFFu);
  EXPECT_EQ(hstore::add_sat(1, ~u64{0}), 0xFFFFFFFFu);
  EXPECT_EQ(hstore::add_sat(1, 2), 3u);
}

TEST(HstoreBuckets, SamplesOfOneSlotFoldAndALaterSlotClosesThem) {
  auto s = fresh();
  add(s.get(), 5, flat(1000, 100), 1000);
  add(s.get(), 5, flat(2001, 20000), 1009);  // same 10-second slot
  EXPECT_EQ(s->open, u64{1} << 5);
  EXPECT_EQ(s->count[5], 2);
  EXPECT_EQ(s->bucket_pending, 0u);
  add(s.get(), 5, flat(7, 50), 1010);  // next slot: the first closes
  EXPECT_EQ(s->bucket_pending, u64{1} << 5);
  const store::Bucket& b = s->closed[5];
  EXPECT_EQ(b.slot, 1000u);
  EXPECT_EQ(b.min[0], 1000);
  EXPECT_EQ(b.max[0], 2001);
  EXPECT_EQ(b.mean[0], 1501);  // 1500.5 rounds up
  EXPECT_EQ(b.min[6], 100);
  EXPECT_EQ(b.max[6], hstore::rate_code(20000));
  EXPECT_EQ(b.mean[6], hstore::rate_code(10050));  // the mean of raw rates, coded once
  EXPECT_EQ(s->count[5], 1);
  EXPECT_EQ(s->slot_number[5], 101u);

  // A closed bucket that the writer did not take is replaced and counted.
  hstore::close_due(s.get(), 1019);  // slot 101 has not passed yet
  EXPECT_EQ(s->overwritten, 0);
  hstore::close_due(s.get(), 1020);
  EXPECT_EQ(s->overwritten, 1);
  EXPECT_EQ(s->open, 0u);
  EXPECT_EQ(s->closed[5].slot, 1010u);
  EXPECT_EQ(s->closed[5].mean[0], 7);
}

TEST(HstoreBuckets, AFullBucketKeepsMinMaxButDropsFromCountAndSums) {
  auto s = fresh();
  for (u32 k = 0; k < 65535; ++k) add(s.get(), 0, flat(100, 1000, 50, 1), 500);
  EXPECT_EQ(s->count[0], 65535);
  EXPECT_EQ(s->full, 0);
  add(s.get(), 0, flat(9000, 1 << 20, 60000, 1), 500);
  add(s.get(), 0, flat(5, 0, 60000, 1), 500);
  EXPECT_EQ(s->full, 2);
  EXPECT_EQ(s->count[0], 65535);
  EXPECT_EQ(s->power_seconds[0], 65535);
  hstore::close_all(s.get());
  const store::Bucket& b = s->closed[0];
  EXPECT_EQ(b.mean[0], 100);  // the dropped samples did not reach the sums
  EXPECT_EQ(b.min[0], 5);
  EXPECT_EQ(b.max[0], 9000);
  EXPECT_EQ(b.max[6], hstore::rate_code(1 << 20));
  EXPECT_EQ(b.min[7], 0);
}

TEST(HstoreEnergy, ReadingsCountOnlyWithPowerParts) {
  struct Case {
    std::vector<std::pair<u16, u8>> readings;  // power, flags; one summary a second in one slot
    u32 energy;
    u16 seconds;
    u8 flag;
  } cases[] = {
      {{{100, 1}, {200, 2}, {300, 0}}, 300, 2, 0},     // a summary without parts carries no reading
      {{{100, 1}, {200, 0x21}}, 300, 2, 1},            // an uncertain reading marks the sum
      {{{100, 0x20}}, 0, 0, 0},                        // marked, but no parts: not a reading
      {{}, 0, 0, 0},
  };
  for (const Case& c : cases) {
    auto s = fresh();
    add(s.get(), 1, flat(1, 1), 95);  // opens the slot without a reading
    for (auto [power, flags] : c.readings) add(s.get(), 1, flat(1, 1, power, flags), 96);
    hstore::close(s.get(), 1);
    EXPECT_EQ(s->closed_energy[1].slot, 90u);
    EXPECT_EQ(s->closed_energy[1].energy, c.energy);
    EXPECT_EQ(s->closed_energy[1].seconds, c.seconds);
    EXPECT_EQ(s->closed_energy[1].flags, c.flag);
  }
}

TEST(HstoreEnergy, ABurstIsScaledToTheSlotAndLongGapsAddNothing) {
  auto s = fresh();
  // 25 readings queued after a reconnect land in one slot: the record keeps ten seconds at their mean power.
  for (u32 k = 0; k < 25; ++k) add(s.get(), 2, flat(1, 1, static_cast<u16>(k < 20 ? 100 : 200), 1), 7200);
  hstore::close(s.get(), 2);
  EXPECT_EQ(s->closed_energy[2].seconds, 10);
  EXPECT_EQ(s->closed_energy[2].energy, 1200u);  // 10 x mean 120

  // A two-hour gap: the next sample opens new tier slots; the old ones go to close-pending only when unwritten.
  const hstore::Upper& t1 = s->upper[0];
  const hstore::Upper& t2 = s->upper[1];
  EXPECT_EQ(t2.energy[2], 1200u);
  EXPECT_EQ(t2.seconds[2], 10);
  add(s.get(), 2, flat(1, 1, 500, 1), 7200 + 7200 + 5);
  hstore::close_all(s.get());
  EXPECT_EQ(t1.start[2], 14400u);
  EXPECT_EQ(t2.start[2], 14400u);
  EXPECT_EQ(t2.energy[2], 500u);
  EXPECT_EQ(t2.seconds[2], 1);
  EXPECT_EQ(t2.previous[2], 7200u);
  EXPECT_NE(t2.close_pending & (u64{1} << 2), 0u);
  store::Energy e;
  ASSERT_TRUE(hstore::tier_energy(s.get(), 2, 2, &e));
  EXPECT_EQ(e.slot, 14400u);
  EXPECT_EQ(e.energy, 500u);
  EXPECT_FALSE(hstore::tier_energy(s.get(), 2, 3, &e));
  EXPECT_FALSE(hstore::tier_energy(s.get(), 64, 1, &e));

  // Tier sums stop at the top and are marked; seeding notes that the share was asked.
  auto big = fresh();
  add(big.get(), 0, flat(1, 1, 100, 1), 3600);
  hstore::close_all(big.get());
  store::Energy held{3600, 1, 0xFFFFFFF0, 100, 0};
  hstore::energy_seed(big.get(), 0, 2, &held);
  ASSERT_TRUE(hstore::tier_energy(big.get(), 0, 2, &e));
  EXPECT_EQ(e.energy, 0xFFFFFFFFu);
  EXPECT_EQ(e.seconds, 101);
  EXPECT_EQ(e.flags, 1);
  EXPECT_EQ(big->upper[1].energy_looked_up, 1u);
  EXPECT_EQ(big->upper[0].energy_looked_up, 0u);
}

TEST(HstoreTiers, BoundariesStartSlotsAndKeepUnwrittenOnes) {
  auto s = fresh();
  hstore::Upper& t1 = s->upper[0];
  const u64 bit = u64{1} << 3;
  add(s.get(), 3, flat(1000, 0), 290);
  add(s.get(), 3, flat(3000, 0), 295);  // same bucket
  add(s.get(), 3, flat(2000, 0), 299);
  hstore::close_due(s.get(), 300);
  EXPECT_EQ(t1.start[3], 290u);
  EXPECT_EQ(t1.started & bit, bit);
  EXPECT_EQ(t1.count[3], 1);
  store::Bucket b;
  ASSERT_TRUE(hstore::tier_bucket(s.get(), 3, 1, &b));
  EXPECT_EQ(b.slot, 0u);
  EXPECT_EQ(b.mean[0], 2000);
  EXPECT_EQ(b.min[0], 1000);
  EXPECT_EQ(b.max[0], 3000);

  // The writer takes it: started and unwritten clear. The next tier-1 slot opens without close-pending.
  t1.started &= ~bit;
  t1.unwritten &= ~bit;
  add(s.get(), 3, flat(10, 0), 300);
  hstore::close_all(s.get());
  EXPECT_EQ(t1.start[3], 300u);
  EXPECT_EQ(t1.close_pending & bit, 0u);
  // Not written this time: the following slot leaves it close-pending, with its slot kept.
  add(s.get(), 3, flat(10, 0), 600);
  hstore::close_all(s.get());
  EXPECT_EQ(t1.close_pending & bit, bit);
  EXPECT_EQ(t1.previous[3], 300u);
  // Tier 2 still holds all three buckets of its hour.
  ASSERT_TRUE(hstore::tier_bucket(s.get(), 3, 2, &b));
  EXPECT_EQ(b.slot, 0u);
  EXPECT_EQ(s->upper[1].count[3], 3);
  EXPECT_EQ(b.mean[0], 673);  // (2000 + 10 + 10) / 3 rounded

  // Seeding: an empty sum only marks the slot; a stored bucket of the slot joins the accumulator.
  hstore::BucketSum sum;
  hstore::sum_clear(&sum);
  hstore::seed(s.get(), 3, 2, &sum);
  EXPECT_EQ(s->upper[1].seeded & bit, bit);
  EXPECT_EQ(s->upper[1].count[3], 3);
  store::Bucket stored{0, 1, {}, {}, {}};
  for (u32 m = 0; m < 8; ++m) stored.min[m] = stored.mean[m] = stored.max[m] = 5000;
  hstore::part_add(&sum, &stored);
  hstore::seed(s.get(), 3, 2, &sum);
  ASSERT_TRUE(hstore::tier_bucket(s.get(), 3, 2, &b));
  EXPECT_EQ(b.mean[0], 1755);  // (2020 + 5000) / 4 rounded
  EXPECT_EQ(b.max[0], 5000);
  EXPECT_EQ(b.mean[6], hstore::rate_code(1250));
  EXPECT_FALSE(hstore::tier_bucket(s.get(), 3, 0, &b));
}

TEST(HstoreMachines, AFullTableTakesSixtyFourAndIgnoresTheRest) {
  auto s = fresh();
  for (u32 i = 0; i < 64; ++i) add(s.get(), i, flat(static_cast<u16>(i), i), 100);
  EXPECT_EQ(s->open, ~u64{0});
  auto before = std::make_unique<hstore::Store>(*s);
  add(s.get(), 64, flat(1, 1), 100);
  add(s.get(), 0xFFFFFFFF, flat(1, 1), 110);
  hstore::close(s.get(), 64);
  hstore::count_failure(s->failures, 64, 1);
  hstore::move_row(s.get(), 64, 0);
  EXPECT_EQ(__builtin_memcmp(before.get(), s.get(), sizeof *s), 0);
  hstore::close_due(s.get(), 110);
  EXPECT_EQ(s->bucket_pending, ~u64{0});
  EXPECT_EQ(s->closed[63].mean[6], 63);
}

TEST(HstoreMachines, MoveRowCarriesEverything) {
  auto s = fresh();
  add(s.get(), 7, flat(4000, 9000, 30, 1), 100);
  hstore::close_all(s.get());
  add(s.get(), 7, flat(5000, 9000, 30, 1), 110);
  hstore::count_failure(s->failures, 7, 70000);
  EXPECT_EQ(s->failures[7], 65535);
  hstore::move_row(s.get(), 2, 7);
  EXPECT_EQ(s->open, u64{1} << 2);
  EXPECT_EQ(s->bucket_pending, u64{1} << 2);
  EXPECT_EQ(s->upper[1].open, u64{1} << 2);
  EXPECT_EQ(s->closed[2].mean[0], 4000);
  EXPECT_EQ(s->closed[7].slot, 0u);
  EXPECT_EQ(s->failures[2], 65535);
  EXPECT_EQ(s->failures[7], 0);
  hstore::close_all(s.get());
  EXPECT_EQ(s->closed[2].mean[0], 5000);
  EXPECT_EQ(s->upper[1].count[2], 2);

  EXPECT_EQ(hstore::swap_bit(0b1000, 1, 3), 0b0010u);
  EXPECT_EQ(hstore::swap_bit(0b1010, 1, 3), 0b0010u);
  EXPECT_EQ(hstore::swap_bit(0b0010, 1, 3), 0b0000u);
  EXPECT_EQ(hstore::swap_bit(0b0010, 1, 1), 0b0010u);
}

TEST(HstorePick, FairPickingWraps) {
  struct Case {
    u64 mask;
    u32 n, start;
    u64 picked;
    u32 next;
  } cases[] = {
      {0b1011'0110, 2, 0, 0b0000'0110, 4},
      {0b1011'0110, 2, 3, 0b0011'0000, 7},
      {0b1011'0110, 9, 3, 0b1011'0110, 3},  // everything picked: the start stays
      {0, 16, 5, 0, 5},
      {(u64{1} << 63) | 1, 1, 63, u64{1} << 63, 0},
      {(u64{1} << 63) | 1, 1, 0, 1, 63},
      {~u64{0}, 16, 60, 0xFFFull | (0xFull << 60), 12},
      {~u64{0}, 100, 7, ~u64{0}, 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.mask << " " << c.n << " " << c.start);
    EXPECT_EQ(hstore::pick_from(c.mask, c.n, c.start), c.picked);
    EXPECT_EQ(hstore::start_after(c.mask, c.n, c.start), c.next);
  }
  EXPECT_EQ(hstore::pick(0b1011'0110, 3), 0b0001'0110u);
  EXPECT_EQ(hstore::pick(~u64{0}, 64), ~u64{0});
  EXPECT_EQ(hstore::pick(~u64{0}, 0), 0u);
}

TEST(HstoreRequests, HistoryAndBackfillAreCounted) {
  auto s = fresh();
  std::vector<u8> ask(40, 0);
  for (u32 i = 0; i < 16; ++i) ask[i] = static_cast<u8>(0xA0 + i);
  ask[16] = 2;
  ask[17] = 1;
  hstore::AnswerHead head{77, 9, 9, {}};
  ASSERT_TRUE(hstore::history(&s->history_requests, mem::Bytes(ask.data(), ask.size()), &head));
  EXPECT_EQ(s->history_requests, 1u);
  EXPECT_EQ(head.rows, 0u);
  EXPECT_EQ(head.tier, 2);
  EXPECT_EQ(head.scope, 1);
  EXPECT_EQ(head.id[15], 0xAF);
  EXPECT_FALSE(hstore::history(&s->history_requests, mem::Bytes(ask.data(), 17), &head));
  EXPECT_EQ(s->history_requests, 1u);

  EXPECT_TRUE(hstore::backfill(s.get(), 16, 60));
  EXPECT_FALSE(hstore::backfill(s.get(), 16, 61));
  EXPECT_FALSE(hstore::backfill(s.get(), 15, 1));
  EXPECT_EQ(s->backfill_requests, 1u);
}

}  // namespace
