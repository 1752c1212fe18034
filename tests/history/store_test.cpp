#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "history/store.h"
#include "wire/auth.h"

namespace {

std::string str(mem::Bytes b) { return std::string(reinterpret_cast<const char*>(b.ptr), b.len); }
mem::Bytes bytes(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }
mem::Slice slice(std::vector<u8>& v) { return mem::Slice{v.data(), v.size()}; }
mem::Bytes view(const std::vector<u8>& v) { return mem::Bytes(v.data(), v.size()); }

TEST(StoreRing, TypesHaveTheirSizesAndNames) {
  struct Case {
    u32 type;
    const char* name;
    u32 capacity, record;
    u64 file;
  } cases[] = {
      {0, "t0.ring", 8640, 56, 483904},   {1, "t1.ring", 8640, 56, 483904},    {2, "t2.ring", 17520, 56, 981184},
      {3, "p0.ring", 8640, 112, 967744},  {4, "p1.ring", 8640, 112, 967744},   {5, "p2.ring", 17520, 112, 1962304},
      {6, "names.ring", 4096, 40, 163904}, {7, "e0.ring", 8640, 16, 138304},   {8, "e1.ring", 8640, 16, 138304},
      {9, "e2.ring", 17520, 16, 280384},  {10, "names.ring", 0, 0, 0},         {0xFFFFFFFF, "names.ring", 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    EXPECT_EQ(str(store::ring_name(c.type)), c.name);
    EXPECT_EQ(store::capacity(c.type), c.capacity);
    EXPECT_EQ(store::record_bytes(c.type), c.record);
    EXPECT_EQ(store::ring_bytes(c.type), c.file);
    EXPECT_EQ(store::modulus(c.type), c.capacity ? c.capacity : 1);
  }
  EXPECT_EQ(store::record_at(store::ring_t2, 17519), 64u + 17519u * 56u);
  EXPECT_EQ(store::record_at(store::ring_t2, 17520), store::ring_bytes(store::ring_t2));
}

TEST(StoreRing, IndexArithmeticWraps) {
  using store::ring_t0;
  EXPECT_EQ(store::next_index(8638, ring_t0), 8639u);
  EXPECT_EQ(store::next_index(8639, ring_t0), 0u);
  EXPECT_EQ(store::next_index(0xFFFFFFFF, 42), 0u);  // no capacity: modulus 1, and no overflow
  EXPECT_EQ(store::filled(8639, ring_t0), 8640u);
  EXPECT_EQ(store::filled(8640, ring_t0), 8640u);
  EXPECT_EQ(store::filled(0xFFFFFFFF, ring_t0), 8640u);
  EXPECT_EQ(store::prev_index(0, ring_t0), 8639u);
  EXPECT_EQ(store::prev_index(17, ring_t0), 16u);
  EXPECT_EQ(store::prev_index(0, 10), 0u);
  EXPECT_EQ(store::oldest(5, 5, ring_t0), 0u);        // fresh ring: the first record is the oldest
  EXPECT_EQ(store::oldest(123, 8640, ring_t0), 123u);  // full ring: the next record to go is the oldest
  EXPECT_EQ(store::oldest(3, 0xFFFFFFFF, ring_t0), 3u);
  EXPECT_EQ(store::oldest(3, 10, ring_t0), 8633u);     // wrapped but not full: should not happen, still in range
  EXPECT_EQ(store::slot_of(8630, 15, ring_t0), 5u);
  EXPECT_EQ(store::clamp_time(5, 9), 9u);
  EXPECT_EQ(store::clamp_time(10, 9), 10u);

  // Walking a wrapped ring oldest first visits every record once, ending at the newest.
  u32 next = 100, count = 8640, at = store::oldest(next, count, ring_t0);
  for (u32 i = 1; i < count; ++i) at = store::next_index(at, ring_t0);
  EXPECT_EQ(at, store::prev_index(next, ring_t0));
}

// A clock that steps back again and again while the earlier runs are still in the ring: each step begins a run,
// the newest two are named, a third makes the first run mixed, and the runs go as their first records are
// overwritten. A little behind, a record is raised instead.
TEST(StoreRing, StepsBackBeginRunsThatTheHeadNames) {
  using store::ring_t0;
  store::Place at{};
  auto write = [&](std::initializer_list<u32> slots) {
    for (u32 slot : slots) at = store::place(at, slot, ring_t0).after;
  };
  auto runs = [&]() {
    store::Runs r = store::runs_of(at, ring_t0);
    std::vector<u32> v(r.start, r.start + r.count);
    v.push_back(r.scan);
    return v;
  };
  write({1000, 1010, 1020, 900000, 900010});
  EXPECT_EQ(runs(), (std::vector<u32>{0, 0}));
  store::Placed raised = store::place(at, 900010 - 60, ring_t0);  // a minute behind: raised to keep the order
  EXPECT_EQ(raised.back, 0u);
  EXPECT_EQ(raised.slot, 900010u);
  store::Placed back = store::place(at, 1030, ring_t0);
  EXPECT_EQ(back.back, 1u);
  EXPECT_EQ(back.slot, 1030u);
  at = back.after;
  write({1040});
  EXPECT_EQ(at.step, 6u);
  EXPECT_EQ(runs(), (std::vector<u32>{0, 5, 0}));
  write({800000, 1050, 1060});  // ahead once more, then back: the first step is still in the ring
  EXPECT_EQ(at.step, 9u);
  EXPECT_EQ(at.older, 6u);
  EXPECT_EQ(runs(), (std::vector<u32>{0, 5, 8, 0}));
  write({700000, 1070});  // a third step: the run before the older one is no longer named
  EXPECT_EQ(at.mixed, 1u);
  EXPECT_EQ(at.last_slot, 1070u);
  EXPECT_EQ(runs(), (std::vector<u32>{0, 8, 11, 1}));

  // A full ring: overwriting the first record of a run leaves the runs after it, and the first is in order again.
  const u32 cap = store::capacity(ring_t0);
  struct Case {
    const char* name;
    store::Place at;
    u32 slot;
    u32 step, older, mixed;
  } cases[] = {
      {"the newest run's first record goes", {5, cap, 2000, 6, 0, 0}, 2010, 0, 0, 0},
      {"the older run's first record goes", {5, cap, 2000, 100, 6, 1}, 2010, 100, 0, 0},
      {"a record of the mixed first run goes", {5, cap, 2000, 100, 50, 1}, 2010, 100, 50, 1},
      {"the only record left before the step goes", {5, cap, 2000, 7, 0, 0}, 2010, 0, 0, 0},
      {"a step back when the older run is gone", {5, cap, 90000, 100, 6, 1}, 2010, 6, 100, 0},
  };
  for (const Case& c : cases) {
    store::Place a = store::place(c.at, c.slot, ring_t0).after;
    EXPECT_EQ(a.step, c.step) << c.name;
    EXPECT_EQ(a.older, c.older) << c.name;
    EXPECT_EQ(a.mixed, c.mixed) << c.name;
    EXPECT_EQ(a.next, 6u) << c.name;
  }

  // The head keeps the runs; marks that name no record are dropped.
  auth::KeyState key;
  auth::key_init(&key, mem::lit("k"));
  store::RingHead h;
  store::head_init(&h, ring_t0, 1);
  store::head_place(&h, at);
  u8 b[64];
  ASSERT_EQ(store::encode_head(&key, &h, mem::Slice{b, 64}), 64u);
  store::RingHead d{};
  ASSERT_EQ(store::decode_head(&key, mem::Bytes(b, 64), &d), 1u);
  EXPECT_EQ(store::runs_of(store::place_of(d), ring_t0).count, 3u);
  EXPECT_EQ(d.mixed, 1u);
  h.step = h.older = cap + 1;
  store::encode_head(&key, &h, mem::Slice{b, 64});
  ASSERT_EQ(store::decode_head(&key, mem::Bytes(b, 64), &d), 1u);
  EXPECT_EQ(d.step + d.older, 0u);
}

TEST(StoreRing, HeadSoundness) {
  struct Case {
    u32 type, capacity, next, filled, faults;
  } cases[] = {
      {0, 8640, 0, 0, 0},      {0, 8640, 8639, 8640, 0}, {0, 8640, 8640, 8640, 1},  // next = capacity
      {0, 8640, 0, 8641, 1},   {0, 17520, 0, 0, 1},      {2, 17520, 17519, 17520, 0},
      {10, 0, 0, 0, 1},        {10, 5, 6, 7, 3},          {0, 0, 0, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.type << " " << c.capacity << " " << c.next << " " << c.filled);
    EXPECT_EQ(store::head_bad(c.type, c.capacity, c.next, c.filled), c.faults);
  }
  store::RingHead head;
  store::head_init(&head, store::ring_e2, 7);
  EXPECT_EQ(head.capacity, 17520u);
  EXPECT_EQ(head.term, 7u);
  EXPECT_EQ(head.next + head.filled + head.last_slot, 0u);
}

TEST(StoreRecords, BucketIsByteExactAndClampsLevels) {
  store::Bucket b{};
  b.slot = 0x01020304;
  b.term = 0xA0B0C0D0;
  for (u32 m = 0; m < 8; ++m) {
    b.min[m] = static_cast<u16>(0x100 + m);
    b.mean[m] = static_cast<u16>(0x200 + m);
    b.max[m] = static_cast<u16>(0x300 + m);
  }
  std::vector<u8> buf(3 + 56, 0xEE);
  ASSERT_EQ(store::encode_bucket(&b, slice(buf), 3), 56u);
  EXPECT_EQ(buf[0], 0xEE);
  const u8 head[] = {0x04, 0x03, 0x02, 0x01, 0xD0, 0xC0, 0xB0, 0xA0, 0x00, 0x01, 0x01, 0x01};
  EXPECT_EQ(std::vector<u8>(buf.begin() + 3, buf.begin() + 15), std::vector<u8>(head, head + 12));
  EXPECT_EQ(buf[3 + 24], 0x00);  // mean of measure 0
  EXPECT_EQ(buf[3 + 25], 0x02);
  EXPECT_EQ(buf[3 + 54], 0x07);  // max of measure 7
  EXPECT_EQ(buf[3 + 55], 0x03);
  EXPECT_EQ(store::bucket_time(view(buf), 3), 0x01020304u);
  EXPECT_EQ(store::bucket_term(view(buf), 3), 0xA0B0C0D0u);
  EXPECT_EQ(store::bucket_time(view(buf), 56), 0u);  // record not inside the buffer

  store::Bucket back{};
  ASSERT_EQ(store::decode_bucket(view(buf), 3, &back), 1u);
  EXPECT_EQ(__builtin_memcmp(&back, &b, sizeof b), 0);

  // Levels above 100 % are clamped on reading; byte rates are codes and stay.
  store::put16(buf.data() + 3 + 8 + 2 * 2, 12000);
  store::put16(buf.data() + 3 + 40 + 2 * 5, 0xFFFF);
  store::put16(buf.data() + 3 + 8 + 2 * 7, 12000);
  ASSERT_EQ(store::decode_bucket(view(buf), 3, &back), 1u);
  EXPECT_EQ(back.min[2], 10000);
  EXPECT_EQ(back.max[5], 10000);
  EXPECT_EQ(back.min[7], 12000);

  // Too short: nothing written, nothing read.
  std::vector<u8> small(55, 0xEE);
  EXPECT_EQ(store::encode_bucket(&b, slice(small), 0), 0u);
  EXPECT_EQ(small, std::vector<u8>(55, 0xEE));
  store::Bucket untouched{};
  untouched.slot = 99;
  EXPECT_EQ(store::decode_bucket(view(buf), 4, &untouched), 0u);
  EXPECT_EQ(store::decode_bucket(view(buf), ~u64{0} - 10, &untouched), 0u);
  EXPECT_EQ(untouched.slot, 99u);
}

TEST(StoreRecords, EnergyKeepsOnlyItsFlagBit) {
  store::Energy e{0x11223344, 2, 0xDEADBEEF, 600, 0xFF};
  std::vector<u8> buf(16, 0xEE);
  ASSERT_EQ(store::encode_energy(&e, slice(buf), 0), 16u);
  const u8 want[16] = {0x44, 0x33, 0x22, 0x11, 2, 0, 0, 0, 0xEF, 0xBE, 0xAD, 0xDE, 0x58, 0x02, 0x01, 0x00};
  EXPECT_EQ(buf, std::vector<u8>(want, want + 16));
  buf[14] = 0xFE;
  store::Energy back{};
  ASSERT_EQ(store::decode_energy(view(buf), 0, &back), 1u);
  EXPECT_EQ(back.flags, 0);
  EXPECT_EQ(back.energy, 0xDEADBEEFu);
  EXPECT_EQ(back.seconds, 600);
  EXPECT_EQ(store::decode_energy(view(buf), 1, &back), 0u);
}

TEST(StoreNames, TermsAndIds) {
  struct Case {
    const char* text;
    u32 term;
  } cases[] = {{"0000000a", 10}, {"0000000A", 10}, {"ffffffff", 0xFFFFFFFF}, {"0000000g", 0},
               {"000000a", 0},   {"00000000a", 0}, {"00000000", 0},           {"", 0},
               {"0000 00a", 0},  {"1234abcd", 0x1234abcd}};
  for (const Case& c : cases) EXPECT_EQ(store::term_of_name(bytes(c.text)), c.term) << c.text;
  u8 name[8];
  store::term_name(0x00ABCDEF, name);
  EXPECT_EQ(std::string(name, name + 8), "00abcdef");
  const u8 id[16] = {0xF0, 0x0F, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 0xFF};
  u8 text[32];
  store::id_name(id, text);
  EXPECT_EQ(std::string(text, text + 32), "f00f0102030405060708090a0b0c0dff");
}

TEST(StoreShare, PureRules) {
  EXPECT_EQ(store::next_claim(7), 8u);
  EXPECT_EQ(store::next_claim(0xFFFFFFFF), 0u);

  struct Lease {
    bool valid;
    u32 lease_term;
    bool same;
    u32 own, action;
  } leases[] = {{false, 9, false, 1, 0}, {true, 9, false, 8, 1}, {true, 9, true, 8, 1},
                {true, 9, false, 9, 2},  {true, 9, true, 9, 0},  {true, 8, false, 9, 0}};
  for (const Lease& l : leases) EXPECT_EQ(store::lease_action(l.valid, l.lease_term, l.same, l.own), l.action);

  EXPECT_EQ(store::newer_complete(3, 5, true, 9), 5u);
  EXPECT_EQ(store::newer_complete(3, 5, false, 9), 3u);
  EXPECT_EQ(store::newer_complete(3, 9, true, 9), 3u);
  EXPECT_EQ(store::newer_complete(6, 5, true, 9), 6u);

  // The allowance grows by 16 MiB a second, from at most one second of elapsed time, and never beyond 16 MiB.
  EXPECT_EQ(store::budget(0, 500), 8388608u);
  EXPECT_EQ(store::budget(0, 5000), 16777216u);
  EXPECT_EQ(store::budget(16000000, 1000), 16777216u);
  EXPECT_EQ(store::budget(~u64{0}, 1000), 16777216u);
  EXPECT_EQ(store::budget(100, 0), 100u);

  EXPECT_EQ(store::chunk_len(0, 483904, 1 << 24), 65536u);
  EXPECT_EQ(store::chunk_len(483900, 483904, 1 << 24), 4u);
  EXPECT_EQ(store::chunk_len(483905, 483904, 1 << 24), 0u);
  EXPECT_EQ(store::chunk_len(0, 483904, 1000), 1000u);
  EXPECT_EQ(store::copy_len(0, 483904, 1000, 56), 64u);
  EXPECT_EQ(store::copy_len(0, 483904, 63, 56), 0u);
  EXPECT_EQ(store::copy_len(64, 483904, 1000, 56), 952u);
  EXPECT_EQ(store::copy_len(64, 483904, 1000, 0), 1000u);

  EXPECT_EQ(store::latest_time(100), 86500u);
  EXPECT_EQ(store::latest_time(0xFFFFFFFF - 86399), 0xFFFFFFFFu);
  EXPECT_EQ(store::wrap_top(8639, 5, 8640), 4u);
  EXPECT_EQ(store::wrap_top(8639, 8640, 8640), 8639u);
  EXPECT_EQ(store::wrap_top(7, 5, 8640), 7u);
  EXPECT_EQ(store::run_after(4, 0, true, false), 1u);
  EXPECT_EQ(store::run_after(4, 3, true, true), 0xFFFFFFFFu);
  EXPECT_EQ(store::run_after(4, 4, false, true), 5u);
  EXPECT_EQ(store::run_after(4, 4, false, false), 4u);
  EXPECT_EQ(store::run_after(4, 2, false, true), 4u);

  EXPECT_TRUE(store::flags_ok(0x30 | 0x20000));
  EXPECT_FALSE(store::flags_ok(0x20 | 0x20000));
  EXPECT_FALSE(store::flags_ok(0x30));
  EXPECT_FALSE(store::flags_ok(0x30 | 0x20000 | 0x4000));

  EXPECT_EQ(store::scaled_base(10, 0, 0), 10u);
  EXPECT_EQ(store::scaled_base(10, 4, 6), 15u);
  EXPECT_EQ(store::scaled_base(u64{1} << 40, u64{1} << 20, u64{1} << 30), u64{1} << 50);  // product passes 64 bits
  EXPECT_EQ(store::scaled_base(~u64{0}, 1, 2), ~u64{0});
  EXPECT_EQ(store::scaled_result(5, 7), 0u);
  EXPECT_EQ(store::scaled_result(7, 5), 2u);
}

TEST(StoreShare, SelfTestVerdicts) {
  struct Case {
    u64 first, second, written;
    u32 verdict;
  } cases[] = {
      {0, 800, 100, 2},  {2400, 0, 100, 0}, {2399, 0, 100, 2}, {800, 0, 100, 2},
      {799, 0, 100, 1},  {0, 0, 0, 2},      {~u64{0}, 0, ~u64{0}, 1},
  };
  for (const Case& c : cases) EXPECT_EQ(store::result_verdict(c.first, c.second, c.written), c.verdict) << c.first;

  const u32 good = 0x30 | 0x20000;
  EXPECT_EQ(store::verdict(false, true, good, 0, 0), 3u);
  EXPECT_EQ(store::verdict(true, false, good, 0, 0), 1u);
  EXPECT_EQ(store::verdict(true, true, 0x30, 0, 0), 1u);
  EXPECT_EQ(store::verdict(true, true, good, 2, 1), 1u);
  EXPECT_EQ(store::verdict(true, true, good, 0, 2), 2u);
  EXPECT_EQ(store::verdict(true, true, good, 0, 0), 0u);
  EXPECT_EQ(store::verdict(true, true, good, 0, 7), 1u);

  struct Unc {
    const char* text;
    u32 server, share;
  } uncs[] = {{"\\\\srv\\share\\x", 5, 11}, {"\\\\srv\\share", 5, 11}, {"\\\\s\\d", 3, 5},
              {"\\\\\\share", 0, 0},         {"\\\\srv", 0, 0},         {"\\\\srv\\", 5, 0},
              {"\\\\srv\\\\x", 5, 0},        {"//srv/share", 0, 0},     {"\\\\", 0, 0}};
  for (const Unc& u : uncs) {
    EXPECT_EQ(store::unc_server_end(bytes(u.text)), u.server) << u.text;
    EXPECT_EQ(store::unc_share_end(bytes(u.text)), u.share) << u.text;
  }
}

TEST(StoreRegistry, FlagAndRepeatChecksLookOnlyAtUsedRows) {
  std::vector<u8> file(store::registry_file_bytes, 0);
  for (u32 i = 0; i < 3; ++i) file[32 + 64 * i] = static_cast<u8>(i + 1);
  file[80 + 64 * 1] = 1;
  EXPECT_EQ(store::registry_flags_bad(view(file), 3), 0u);
  file[80 + 64 * 3] = 2;  // row 3 is beyond the count
  EXPECT_EQ(store::registry_flags_bad(view(file), 3), 0u);
  EXPECT_EQ(store::registry_flags_bad(view(file), 4), 1u);
  EXPECT_EQ(store::registry_repeat(view(file), 3), 3u);
  file[32 + 64 * 2] = 1;
  EXPECT_EQ(store::registry_repeat(view(file), 3), 2u);
  EXPECT_EQ(store::registry_repeat(view(file), 2), 2u);
}

}  // namespace
