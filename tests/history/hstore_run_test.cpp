// Two years and ten days of one machine in compressed time: six summaries an hour (one every 600 s), each closing
// a ten-second bucket, folded by the store and written by a writer that follows the host's rules into in-memory ring
// files, which wrap. The writer now and then misses an upper-tier write, so slots left unwritten are rebuilt from
// the tier-0 ring as the host does. At the end the hourly ring must hold exactly the last 17,520 hours, each once,
// with the minimum, mean, maximum and energy of its own six summaries.
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "history/hstore.h"

namespace {

struct Ring {
  u32 type;
  std::vector<u8> bytes;
  store::RingHead head;
  explicit Ring(u32 t) : type(t), bytes(store::ring_bytes(t)) { store::head_init(&head, t, 1); }
  mem::Slice all() { return mem::Slice{bytes.data(), bytes.size()}; }
  mem::Bytes view() const { return mem::Bytes(bytes.data(), bytes.size()); }
  u64 newest_at() const { return store::record_at(type, store::prev_index(head.next, type)); }
  u32 newest_slot() const { return head.filled == 0 ? 0xFFFFFFFF : store::bucket_time(view(), newest_at()); }
  // Appends a record after the ring's rule: the slot never below the last one.
  template <typename Record, typename Encode>
  void append(Record r, Encode encode) {
    r.slot = store::clamp_time(r.slot, head.last_slot);
    ASSERT_NE(encode(&r, all(), store::record_at(type, head.next)), 0u);
    head.next = store::next_index(head.next, type);
    head.filled = store::filled(head.filled, type);
    head.last_slot = r.slot;
  }
  // Writes the record over the newest when that one holds the same slot, else appends it.
  template <typename Record, typename Encode>
  void put(Record r, Encode encode) {
    if (newest_slot() == r.slot) {
      ASSERT_NE(encode(&r, all(), newest_at()), 0u);
    } else {
      append(r, encode);
    }
  }
};

struct Writer {
  Ring t[3] = {Ring(store::ring_t0), Ring(store::ring_t1), Ring(store::ring_t2)};
  Ring e[3] = {Ring(store::ring_e0), Ring(store::ring_e1), Ring(store::ring_e2)};
  u32 rolled = 0;

  // Rebuilds a tier slot from the tier-0 rings, newest first, as the host does for a close-pending slot.
  void roll_up(u32 tier, u32 slot) {
    hstore::BucketSum sum;
    hstore::sum_clear(&sum);
    store::Energy energy{slot, 0, 0, 0, 0};
    u32 end = slot + hstore::interval(tier);
    u32 at = store::prev_index(t[0].head.next, store::ring_t0);
    for (u32 k = 0; k < t[0].head.filled; ++k, at = store::prev_index(at, store::ring_t0)) {
      store::Bucket b;
      store::decode_bucket(t[0].view(), store::record_at(store::ring_t0, at), &b);
      store::Energy r;
      store::decode_energy(e[0].view(), store::record_at(store::ring_e0, at), &r);
      if (b.slot < slot) break;
      if (b.slot >= end) continue;
      hstore::part_add(&sum, &b);
      energy.energy = hstore::energy_add(energy.energy, r.energy);
      energy.seconds = static_cast<u16>(energy.seconds + r.seconds);
    }
    store::Bucket b;
    hstore::part_bucket(&sum, slot, &b);
    t[tier].put(b, store::encode_bucket);
    e[tier].put(energy, store::encode_energy);
    ++rolled;
  }

  void write(hstore::Store* s, bool skip_upper) {
    const u32 i = 0;
    const u64 bit = 1;
    if (s->bucket_pending & bit) {
      t[0].append(s->closed[i], store::encode_bucket);
      e[0].append(s->closed_energy[i], store::encode_energy);
      s->bucket_pending &= ~bit;
    }
    if (skip_upper || !(s->upper_changed & bit)) return;
    for (u32 tier = 1; tier <= 2; ++tier) {
      hstore::Upper& u = s->upper[tier - 1];
      if (u.close_pending & bit) {
        roll_up(tier, u.previous[i]);
        u.close_pending &= ~bit;
      }
      if ((u.started & bit) && !(u.seeded & bit)) {
        hstore::BucketSum none;
        hstore::sum_clear(&none);
        hstore::seed(s, i, tier, &none);  // a fresh share holds nothing for the slot
      }
      store::Energy energy;
      hstore::tier_energy(s, i, tier, &energy);
      if (energy.seconds != 0) e[tier].put(energy, store::encode_energy);
      store::Bucket b;
      hstore::tier_bucket(s, i, tier, &b);
      if (u.started & bit) {
        t[tier].append(b, store::encode_bucket);
      } else {
        t[tier].put(b, store::encode_bucket);
      }
      u.started &= ~bit;
      u.unwritten &= ~bit;
    }
    s->upper_changed &= ~bit;
  }
};

u16 level_of(u32 hour, u32 k) { return static_cast<u16>((hour * 37) % 9990 + k); }
u32 rate_of_hour(u32 hour, u32 k) { return (hour * 7919) % 5000000 + 1000 * k; }
u16 power_of(u32 hour, u32 k) { return static_cast<u16>(100 + hour % 50 + k); }

TEST(HstoreRun, TwoYearsOfHoursAreKeptOnceEach) {
  auto s = std::make_unique<hstore::Store>();
  hstore::init(s.get());
  auto w = std::make_unique<Writer>();
  const u32 hours = (730 + 10) * 24;
  const u32 start = 86400 * 3;
  u64 fed_energy_kept = 0;
  for (u32 h = 0; h < hours; ++h) {
    for (u32 k = 0; k < 6; ++k) {
      std::vector<u8> sum(64, 0);
      for (u32 m = 0; m < 6; ++m) store::put16(sum.data() + 8 + 2 * m, level_of(h, k));
      store::put32(sum.data() + 48, rate_of_hour(h, k));
      store::put16(sum.data() + 60, power_of(h, k));
      sum[62] = 1;
      hstore::add(s.get(), 0, sum.data(), start + h * 3600 + k * 600 + 5);
      // The writer misses the upper tiers now and then; the next pass rolls the missed slots up.
      w->write(s.get(), (h % 97 == 13 && k == 5) || (h % 89 == 2 && k == 0));
      if (h >= hours - 17520) fed_energy_kept += power_of(h, k);
    }
  }
  hstore::close_all(s.get());
  w->write(s.get(), false);
  EXPECT_GT(w->rolled, 100u);
  EXPECT_EQ(s->overwritten, 0);
  EXPECT_EQ(s->full, 0);

  // Tier 2: full, wrapped, one record per hour in order, ending with the last hour.
  const Ring& t2 = w->t[2];
  const Ring& e2 = w->e[2];
  ASSERT_EQ(t2.head.filled, 17520u);
  ASSERT_EQ(e2.head.filled, 17520u);
  u32 at = store::oldest(t2.head.next, t2.head.filled, store::ring_t2);
  EXPECT_EQ(at, t2.head.next);
  u64 kept_energy = 0;
  for (u32 n = 0; n < 17520; ++n, at = store::next_index(at, store::ring_t2)) {
    u32 h = hours - 17520 + n;
    store::Bucket b;
    ASSERT_EQ(store::decode_bucket(t2.view(), store::record_at(store::ring_t2, at), &b), 1u);
    ASSERT_EQ(b.slot, start + h * 3600) << n;
    ASSERT_EQ(b.min[0], level_of(h, 0)) << n;
    ASSERT_EQ(b.max[0], level_of(h, 5)) << n;
    ASSERT_EQ(b.mean[0], level_of(h, 0) + 3) << n;  // 2.5 above the lowest, rounded up
    ASSERT_EQ(b.min[6], hstore::rate_code(rate_of_hour(h, 0))) << n;
    ASSERT_EQ(b.max[6], hstore::rate_code(rate_of_hour(h, 5))) << n;
    store::Energy e;
    ASSERT_EQ(store::decode_energy(e2.view(), store::record_at(store::ring_e2, at), &e), 1u);
    ASSERT_EQ(e.slot, b.slot) << n;
    ASSERT_EQ(e.seconds, 6) << n;
    u32 hour_energy = 0;
    for (u32 k = 0; k < 6; ++k) hour_energy += power_of(h, k);
    ASSERT_EQ(e.energy, hour_energy) << n;
    kept_energy += e.energy;
  }
  EXPECT_EQ(kept_energy, fed_energy_kept);

  // Tier 1: twelve slots an hour, one summary in every other one; the last 30 days, in order.
  const Ring& t1 = w->t[1];
  ASSERT_EQ(t1.head.filled, 8640u);
  at = store::oldest(t1.head.next, t1.head.filled, store::ring_t1);
  u32 last = 0;
  for (u32 n = 0; n < 8640; ++n, at = store::next_index(at, store::ring_t1)) {
    u32 slot = store::bucket_time(t1.view(), store::record_at(store::ring_t1, at));
    if (n > 0) {
      ASSERT_EQ(slot, last + 600) << n;
    }
    last = slot;
  }
  EXPECT_EQ(last, start + (hours - 1) * 3600 + 3000);
  // Tier 0: the newest day, one bucket per summary.
  EXPECT_EQ(w->t[0].head.filled, 8640u);
  EXPECT_EQ(w->t[0].newest_slot(), start + (hours - 1) * 3600 + 3000);
}

}  // namespace
