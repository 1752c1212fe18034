// Ring writing on the share and the carry-over of an older term's rings into a new term: appends and rewrites,
// roll-ups from tier 0, queues while a machine is carried, head repair from records, records written after the
// last head, and a full disk met when rings are made, never by their records.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>

#include <gtest/gtest.h>

#include "history/ptop.h"
#include "tests/history/share_support.h"
#include "tests/platform/harness.h"

using namespace sharetest;

namespace {

struct ShareRing : ::testing::Test {
  testutil::TempDir dir;
  auth::KeyState key = key_of(1);
  u32 now = 0;
  std::string at(const std::string& name) { return dir.path + "/" + name; }

  std::unique_ptr<share::Share> serving(u8 id) {
    auto s = host(dir.path, id, key);
    EXPECT_EQ(share::claim_next(s.get(), now), share::done);
    EXPECT_EQ(serve(s.get(), &now), share::done);
    return s;
  }
  u32 add(share::Share* s, u8 id, const char* name) {
    Id i(id);
    i32 index = share::add_machine(s, i.b, mem::Bytes(reinterpret_cast<const u8*>(name), strlen(name)), now);
    EXPECT_GE(index, 0);
    return static_cast<u32>(index);
  }
  std::vector<u8> record(u32 term, u8 id, u32 type, u32 index) {
    std::vector<u8> b = read_all(ring_file(dir.path, term, id, type));
    u64 off = store::record_at(type, index);
    return std::vector<u8>(b.begin() + off, b.begin() + off + store::record_bytes(type));
  }
};

TEST_F(ShareRing, AppendsRewritesAndRollUps) {
  auto a = serving(1);
  u32 m = add(a.get(), 5, "alpha");
  EXPECT_EQ(add(a.get(), 5, "again"), m);  // found, not added twice
  store::Registry reg{};
  std::vector<u8> rb = read_all(at("terms/00000001/registry"));
  ASSERT_EQ(store::decode_registry(&key, mem::Bytes(rb.data(), rb.size()), &reg), 1u);
  EXPECT_EQ(reg.count, 1u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reg.names[0])), "alpha");

  // Tier 0 inside the first five minutes; a bucket stamped below the last slot is written with the last slot.
  for (u32 slot : {0u, 10u, 30u, 20u, 290u, 300u}) {
    store::Bucket b = bucket(slot, static_cast<u16>(slot * 10));
    ASSERT_EQ(share::put_bucket(a.get(), m, 0, &b, now), share::done);
  }
  std::string t0 = ring_file(dir.path, 1, 5, store::ring_t0);
  EXPECT_EQ(slots_of(t0, key), (std::vector<u32>{0, 10, 30, 30, 290, 300}));
  EXPECT_EQ(a->stats.raised, 1u);
  store::RingHead h{};
  ASSERT_TRUE(head_of(t0, key, &h));
  EXPECT_EQ(h.term, 1u);
  EXPECT_EQ(h.last_slot, 300u);

  // Energy: tier 0 always appends; an upper tier rewrites its newest record for the same slot.
  for (u32 i = 0; i < 3; ++i) {
    store::Energy e{0, 0, 100, 10, 0};
    ASSERT_EQ(share::put_energy(a.get(), m, 0, &e, now), share::done);
    e.slot = 3600;
    e.energy = 1000 + i;
    ASSERT_EQ(share::put_energy(a.get(), m, 2, &e, now), share::done);
  }
  EXPECT_EQ(slots_of(ring_file(dir.path, 1, 5, store::ring_e0), key).size(), 3u);
  EXPECT_EQ(slots_of(ring_file(dir.path, 1, 5, store::ring_e2), key), std::vector<u32>{3600});
  std::vector<u8> e2 = record(1, 5, store::ring_e2, 0);
  EXPECT_EQ(store::get32(e2.data() + 8), 1002u);

  // Roll-up of tier 1 over [0, 300): the five buckets in it, energy capped at the interval.
  ASSERT_EQ(share::roll_up(a.get(), m, 1, 0, now), share::done);
  std::vector<u8> t1 = record(1, 5, store::ring_t1, 0);
  store::Bucket b1{};
  ASSERT_EQ(store::decode_bucket(mem::Bytes(t1.data(), t1.size()), 0, &b1), 1u);
  EXPECT_EQ(b1.slot, 0u);
  EXPECT_EQ(b1.min[0], 0);
  EXPECT_EQ(b1.max[0], 2900);
  EXPECT_EQ(b1.mean[0], (0 + 100 + 300 + 200 + 2900 + 2) / 5);  // the raised bucket keeps its values
  std::vector<u8> e1 = record(1, 5, store::ring_e1, 0);
  EXPECT_EQ(store::get32(e1.data() + 8), 300u);
  EXPECT_EQ(store::get16(e1.data() + 12), 30);
  hstore::BucketSum sum;
  EXPECT_TRUE(share::read_buckets(a.get(), m, 1, 0, &sum));
  EXPECT_EQ(sum.count, 5u);
  // A window without tier-0 buckets or energy writes nothing.
  ASSERT_EQ(share::roll_up(a.get(), m, 1, 6000, now), share::done);
  EXPECT_EQ(slots_of(ring_file(dir.path, 1, 5, store::ring_t1), key).size(), 1u);
  EXPECT_EQ(slots_of(ring_file(dir.path, 1, 5, store::ring_e1), key).size(), 1u);

  // Top rows: tier 0 always appends; an upper tier appends a new slot (counted without the flag), rewrites the same.
  ptop::Row row;
  ptop::clear(&row, 300);
  ASSERT_EQ(share::put_top(a.get(), m, 1, &row, false, now), share::done);
  ASSERT_EQ(share::put_top(a.get(), m, 1, &row, false, now), share::done);
  EXPECT_EQ(a->stats.tops_appended, 1u);
  EXPECT_EQ(slots_of(ring_file(dir.path, 1, 5, store::ring_p1), key).size(), 1u);

  // Names: at most eight per call.
  std::vector<u8> names(10 * 32, 'n');
  EXPECT_EQ(share::put_names(a.get(), m, names.data(), 10, 300, now), 8u);
  EXPECT_EQ(slots_of(ring_file(dir.path, 1, 5, store::ring_names), key).size(), 8u);

  // Range and state checks.
  store::Bucket b = bucket(400, 1);
  EXPECT_EQ(share::put_bucket(a.get(), 1, 0, &b, now), share::refused);
  EXPECT_EQ(share::put_bucket(a.get(), m, 3, &b, now), share::refused);
  EXPECT_EQ(share::put_tier_bucket(a.get(), m, 0, &b, true, now), share::refused);
  EXPECT_EQ(share::put_bucket(a.get(), m, 0, &b, now + 100), share::too_late);
  // Nothing here was carried over, so there is no upper-tier row to resume.
  store::Energy e{};
  EXPECT_FALSE(share::read_energy(a.get(), m, 2, 3600, &e));
}

TEST_F(ShareRing, CarryOverCopiesQueuesAndRepairs) {
  auto a = serving(1);
  u32 m5 = add(a.get(), 5, "five");
  u32 m6 = add(a.get(), 6, "six");
  proto::Inventory inv{};
  __builtin_memcpy(inv.id, Id(5).b, 16);
  __builtin_memcpy(inv.names[proto::name_computer], "five-renamed", 12);
  ASSERT_EQ(share::rename_machine(a.get(), m5, &inv, now), share::done);
  for (u32 i = 0; i < 40; ++i) {
    store::Bucket b = bucket(1000 + i * 10, static_cast<u16>(i));
    ASSERT_EQ(share::put_bucket(a.get(), m5, 0, &b, now), share::done);
    ASSERT_EQ(share::put_bucket(a.get(), m6, 0, &b, now), share::done);
  }
  store::Energy e{3600, 0, 500, 20, 0};
  ASSERT_EQ(share::put_energy(a.get(), m5, 2, &e, now), share::done);
  share::drop(a.get(), now, true);
  // An older host wrote three more records after its last head write, the third one implausibly far ahead.
  std::string old_t0 = ring_file(dir.path, 1, 5, store::ring_t0);
  {
    std::vector<u8> f = read_all(old_t0);
    f.resize(store::record_at(0, 43));
    for (u32 i = 0; i < 3; ++i) {
      store::Bucket b = bucket(i < 2 ? 1400 + i * 10 : 900000, 77);
      b.term = 1;
      store::encode_bucket(&b, mem::Slice{f.data(), f.size()}, store::record_at(0, 40 + i));
    }
    write_all(old_t0, f);
  }
  // Machine 6's t0 head is damaged: its head is rebuilt from the records.
  std::string old6 = ring_file(dir.path, 1, 6, store::ring_t0);
  {
    std::vector<u8> f = read_all(old6);
    f[20] ^= 1;
    write_all(old6, f);
  }

  // The older host was killed while it replaced files: its temporaries older than a minute go with the take-over, a
  // young one (a writer may still be at it) and files of other names stay.
  const std::string machine5 = std::filesystem::path(old_t0).parent_path().string();
  const struct {
    std::string path;
    bool old, kept;
  } leftovers[] = {
      {at("terms/00000001/registry.tmp-0123abcd"), true, false},
      {machine5 + "/inventory.tmp-89abcdef", true, false},
      {machine5 + "/inventory.tmp-fedcba98", false, true},
      {machine5 + "/inventory.tmp-notahex!", true, true},
  };
  const timespec old_times[2] = {{time(nullptr) - 120, 0}, {time(nullptr) - 120, 0}};
  for (const auto& l : leftovers) {
    write_all(l.path, std::vector<u8>(10, 7));
    if (l.old) {
      ASSERT_EQ(utimensat(AT_FDCWD, l.path.c_str(), old_times, 0), 0) << l.path;
    }
  }

  auto b = host(dir.path, 2, key);
  b->wall = 800000;
  b->pause_ms = 1;
  ASSERT_EQ(share::claim_next(b.get(), now), share::done);
  ASSERT_EQ(share::take_lease(b.get(), now, share::now_ms(b.get())), share::done);
  EXPECT_EQ(b->flags & (share::set_up | share::complete), share::set_up);
  for (const auto& l : leftovers) EXPECT_EQ(std::filesystem::exists(l.path), l.kept) << l.path;
  EXPECT_TRUE(share::is_carrying(b.get(), 0));
  EXPECT_TRUE(share::is_carrying(b.get(), 1));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b->names[0])), "five-renamed");
  EXPECT_EQ(b->inventory_written, 1u);

  // While carried: tier-0 buckets queue (nine: the oldest dropped), upper tiers and top rows are skipped.
  for (u32 i = 0; i < 9; ++i) {
    store::Bucket q = bucket(2000 + i * 10, 9);
    ASSERT_EQ(share::put_bucket(b.get(), 0, 0, &q, now), share::done);
  }
  EXPECT_EQ(b->stats.dropped, 1u);
  ptop::Row row;
  ptop::clear(&row, 2000);
  EXPECT_EQ(share::put_top(b.get(), 0, 0, &row, true, now), share::done);
  EXPECT_EQ(b->stats.tops_skipped, 1u);
  EXPECT_EQ(share::roll_up(b.get(), 0, 1, 0, now), share::refused);
  // A machine added now gets fresh rings and is written at once.
  u32 m7 = add(b.get(), 7, "seven");
  EXPECT_FALSE(share::is_carrying(b.get(), m7));
  store::Bucket direct = bucket(5000, 3);
  ASSERT_EQ(share::put_bucket(b.get(), m7, 0, &direct, now), share::done);

  // Steps, each bounded, until the term is complete.
  u32 steps = 0;
  while (!(b->flags & share::complete)) {
    ASSERT_LT(++steps, 1000u);
    share::advance_clock(b.get(), share::now_ms(b.get()) + 200);
    if (steps % 10 == 0) {
      ASSERT_EQ(share::renew_lease(b.get(), ++now), share::done);
    }
    u64 t = share::now_ms(b.get());
    u32 r = share::step(b.get(), now, t, t + 50);
    ASSERT_EQ(r, share::done);
  }
  EXPECT_GT(steps, 2u);  // 13 MiB of sparse files does not go in one step

  std::vector<u32> want;
  for (u32 i = 0; i < 40; ++i) want.push_back(1000 + i * 10);
  want.push_back(1400);
  want.push_back(1410);
  for (u32 i = 1; i < 9; ++i) want.push_back(2000 + i * 10);
  std::vector<u32> got5 = slots_of(ring_file(dir.path, 2, 5, store::ring_t0), key);
  EXPECT_EQ(got5, want) << got5.size() << " " << (got5.empty() ? 0 : got5.back());
  std::vector<u32> want6(want.begin(), want.begin() + 40);
  EXPECT_EQ(slots_of(ring_file(dir.path, 2, 6, store::ring_t0), key), want6);
  EXPECT_EQ(b->stats.rebuilt, 1u);
  store::RingHead h{};
  ASSERT_TRUE(head_of(ring_file(dir.path, 2, 6, store::ring_t0), key, &h));
  EXPECT_EQ(h.term, 2u);
  EXPECT_EQ(slots_of(ring_file(dir.path, 2, 7, store::ring_t0), key), std::vector<u32>{5000});
  // Every ring of the new term has its whole length: the fresh ones, and those carried from the short file the older
  // host left.
  for (u8 id : {5, 6, 7}) {
    for (u32 t = 0; t < share::ring_types; ++t) {
      EXPECT_EQ(std::filesystem::file_size(ring_file(dir.path, 2, id, t)), store::ring_bytes(t)) << int(id) << " " << t;
    }
  }

  // The registry lists all three; the carried upper-tier energy can be resumed.
  store::Registry reg{};
  std::vector<u8> rb = read_all(at("terms/00000002/registry"));
  ASSERT_EQ(store::decode_registry(&key, mem::Bytes(rb.data(), rb.size()), &reg), 1u);
  EXPECT_EQ(reg.count, 3u);
  EXPECT_EQ(reg.flags[0], 1);
  EXPECT_EQ(reg.flags[1], 0);
  store::Energy got{};
  ASSERT_TRUE(share::read_energy(b.get(), 0, 2, 3600, &got));
  EXPECT_EQ(got.energy, 500u);
  EXPECT_EQ(got.term, 1u);

  // A third host carries term 2 and deletes term 1, which lies below it.
  share::drop(b.get(), now, true);
  auto c = host(dir.path, 3, key);
  ASSERT_EQ(share::claim_next(c.get(), now), share::done);
  ASSERT_EQ(serve(c.get(), &now), share::done);
  EXPECT_TRUE(c->flags & share::complete);
  EXPECT_FALSE(std::filesystem::exists(at("terms/00000001")));
  EXPECT_TRUE(std::filesystem::exists(at("terms/00000002")));
  EXPECT_EQ(slots_of(ring_file(dir.path, 3, 5, store::ring_t0), key), want);
}

// An old ring with a broken head whose newest group of equal records runs from the end of the file into its start.
TEST_F(ShareRing, RebuiltHeadFollowsAGroupThatWraps) {
  auto a = serving(1);
  add(a.get(), 5, "five");
  share::drop(a.get(), now, true);
  std::string path = ring_file(dir.path, 1, 5, store::ring_t0);
  const u32 cap = store::capacity(store::ring_t0);
  std::vector<u8> f(store::ring_bytes(store::ring_t0), 0xEE);  // a head that does not decode
  for (u32 i = 0; i < cap; ++i) {
    bool group = i < 3 || i == cap - 1;
    store::Bucket b = bucket(group ? 900000 : 100 + i * 10, 1);
    b.term = 1;
    store::encode_bucket(&b, mem::Slice{f.data(), f.size()}, store::record_at(0, i));
  }
  write_all(path, f);
  auto b = host(dir.path, 2, key);
  ASSERT_EQ(share::claim_next(b.get(), now), share::done);
  ASSERT_EQ(serve(b.get(), &now), share::done);
  store::RingHead h{};
  ASSERT_TRUE(head_of(ring_file(dir.path, 2, 5, store::ring_t0), key, &h));
  EXPECT_EQ(h.next, 3u);
  EXPECT_EQ(h.filled, cap);
  EXPECT_EQ(h.last_slot, 900000u);
  EXPECT_EQ(b->stats.rebuilt, 1u);
}

// An old ring that never went round, whose head was lost after a clock ran a year ahead: the head is rebuilt after
// its last record, so the year ahead is kept rather than overwritten, and the next record steps back from it.
TEST_F(ShareRing, RebuiltHeadKeepsRecordsAheadOfTheClock) {
  auto a = serving(1);
  add(a.get(), 5, "five");
  share::drop(a.get(), now, true);
  std::string path = ring_file(dir.path, 1, 5, store::ring_t0);
  std::vector<u8> f(store::ring_bytes(store::ring_t0), 0);
  std::fill(f.begin(), f.begin() + 64, 0xEE);  // a head that does not decode
  const u32 year = 365 * 86400;
  std::vector<u32> slots = {1000, 1010, 1020, 1030, 1040, 1050 + year, 1060 + year, 1070 + year};
  for (u32 i = 0; i < slots.size(); ++i) {
    store::Bucket b = bucket(slots[i], 1);
    b.term = 1;
    store::encode_bucket(&b, mem::Slice{f.data(), f.size()}, store::record_at(0, i));
  }
  write_all(path, f);
  auto b = host(dir.path, 2, key);
  b->wall = 2000;
  ASSERT_EQ(share::claim_next(b.get(), now), share::done);
  ASSERT_EQ(serve(b.get(), &now), share::done);
  std::string carried = ring_file(dir.path, 2, 5, store::ring_t0);
  EXPECT_EQ(slots_of(carried, key), slots);
  EXPECT_EQ(b->stats.rebuilt, 1u);
  store::Bucket x = bucket(2000, 1);
  ASSERT_EQ(share::put_bucket(b.get(), 0, 0, &x, now), share::done);
  slots.push_back(2000);
  EXPECT_EQ(slots_of(carried, key), slots);
  store::RingHead h{};
  ASSERT_TRUE(head_of(carried, key, &h));
  EXPECT_EQ(h.step, 1 + 8u);
  EXPECT_EQ(b->stats.stepped, 1u);
}

// Full rings whose head was lost, written from index 500 round to 499: the rebuilt head's next write goes where the
// records stop following each other, so records stamped far ahead of the clock and records a newer term wrote below
// them are kept, and a ring whose slots went down inside it has its first run read whole. Records ahead that
// follow the newest plausible record in the file but cannot have been written after it, by the time since, are
// the oldest: the ring goes on after that record, as it did before, and leaves them out.
TEST_F(ShareRing, RebuiltHeadOfAFullRingIsWhereItsRecordsStopFollowingEachOther) {
  const u32 cap = store::capacity(store::ring_t0), first = 500;
  struct Case {
    const char* name;
    u32 (*slot)(u32 k);  // of the k-th record written, oldest first
    u32 (*term)(u32 k);
    u32 mixed, wall, hidden;
  } cases[] = {
      {"in order", [](u32 k) { return 1000 + 10 * k; }, [](u32) { return 1u; }, 0, 200000, 0},
      {"the newest five a year ahead",
       [](u32 k) { return 1000 + 10 * k + (k >= 8635 ? 365 * 86400 : 0); }, [](u32) { return 1u; }, 0, 200000, 0},
      {"a year ahead, back, and ahead again",
       [](u32 k) { return 1000 + 10 * k + ((k >= 3000 && k < 3100) || k >= 8635 ? 365 * 86400 : 0); },
       [](u32) { return 1u; }, 1, 200000, 0},
      {"a newer term below the older one",
       [](u32 k) { return k < 5000 ? 100000 + 10 * k : 10 * k - 40000; }, [](u32 k) { return k < 5000 ? 1u : 2u; },
       1, 200000, 0},
      {"the oldest hundred a year ahead, the newest a minute ago",
       [](u32 k) { return 1000 + 10 * k + (k < 100 ? 365 * 86400 : 0); }, [](u32) { return 1u; }, 0, 87450, 100},
  };
  for (u32 n = 0; n < sizeof cases / sizeof cases[0]; ++n) {
    const Case& c = cases[n];
    std::string folder = at("case" + std::to_string(n));
    std::filesystem::create_directories(folder);
    {
      auto a = host(folder, 1, key);
      ASSERT_EQ(share::claim_next(a.get(), now), share::done);
      ASSERT_EQ(serve(a.get(), &now), share::done);
      add(a.get(), 5, "five");
      share::drop(a.get(), now, true);
      auto b = host(folder, 2, key);
      ASSERT_EQ(share::claim_next(b.get(), now), share::done);
      ASSERT_EQ(serve(b.get(), &now), share::done);
      share::drop(b.get(), now, true);
    }
    std::vector<u8> f(store::ring_bytes(store::ring_t0));
    std::fill(f.begin(), f.begin() + 64, 0xEE);  // a head that does not decode
    std::vector<u32> written;
    for (u32 k = 0; k < cap; ++k) {
      store::Bucket b = bucket(c.slot(k), 1);
      b.term = c.term(k);
      store::encode_bucket(&b, mem::Slice{f.data(), f.size()}, store::record_at(0, (first + k) % cap));
      if (k >= c.hidden) written.push_back(b.slot);
    }
    write_all(ring_file(folder, 2, 5, store::ring_t0), f);
    auto h3 = host(folder, 3, key);
    h3->wall = c.wall;
    ASSERT_EQ(share::claim_next(h3.get(), now), share::done);
    ASSERT_EQ(serve(h3.get(), &now), share::done);
    EXPECT_EQ(h3->stats.rebuilt, 1u) << c.name;
    std::string carried = ring_file(folder, 3, 5, store::ring_t0);
    store::RingHead h{};
    ASSERT_TRUE(head_of(carried, key, &h)) << c.name;
    EXPECT_EQ(h.next, first) << c.name;
    EXPECT_EQ(h.filled, cap - c.hidden) << c.name;
    EXPECT_EQ(h.last_slot, written.back()) << c.name;
    EXPECT_EQ(h.mixed, c.mixed) << c.name;
    EXPECT_EQ(slots_of(carried, key), written) << c.name;
    // The next record takes the place of the oldest, and one machine's answer reads every record it holds.
    store::Bucket x = bucket(c.wall, 1);
    ASSERT_EQ(share::put_bucket(h3.get(), 0, 0, &x, now), share::done);
    if (c.hidden == 0) written.erase(written.begin());
    written.push_back(c.wall);
    EXPECT_EQ(slots_of(carried, key), written) << c.name;
    share::Cursor cur;
    auto answer = std::make_unique<share::Answer>();
    share::open_reader(h3.get(), 0, 0, 0, 0xFFFFFFFF, &cur, &answer->head);
    std::vector<u32> rows;
    for (u32 calls = 0; calls < 1000 && !cur.done; ++calls) {
      answer->head.rows = 0;
      share::read_range(h3.get(), &cur, answer.get(), 1 << 20);
      for (u32 i = 0; i < answer->head.rows; ++i) rows.push_back(answer->rows[i].slot);
    }
    std::vector<u32> sorted_rows = rows, sorted_written = written;
    std::sort(sorted_rows.begin(), sorted_rows.end());
    std::sort(sorted_written.begin(), sorted_written.end());
    EXPECT_EQ(sorted_rows, sorted_written) << c.name;
  }
}

// A disk that fills up: a machine's rings have their space from the start, so its records go on being written; a
// machine whose rings find no space is refused, and the full disk is noted once while it lasts.
TEST_F(ShareRing, AFullDiskIsMetWhenRingsAreMadeAndSaidOnce) {
  std::string folder = at("small");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  int code = harness::in_child([&] {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=14m") != 0) {  // room for two machines' rings
      return 77;
    }
    auto s = host(folder, 1, key);
    u32 t = 0;
    if (share::claim_next(s.get(), t) != 0 || serve(s.get(), &t) != 0) return 1;
    Id five(5), six(6), seven(7);
    if (share::add_machine(s.get(), five.b, mem::lit("five"), t) != 0) return 2;
    struct stat st {};
    if (stat(ring_file(folder, 1, 5, store::ring_p2).c_str(), &st) != 0 ||
        u64(st.st_blocks) * 512 < store::ring_bytes(store::ring_p2)) {
      return 3;  // the ring's blocks are there before any record
    }
    std::string filler = folder + "/filler";
    FILE* fp = fopen(filler.c_str(), "wb");
    std::vector<char> block(4096, 'f');
    while (fp && fwrite(block.data(), 1, block.size(), fp) == block.size() && fflush(fp) == 0) {
    }
    if (fp) fclose(fp);
    if (share::add_machine(s.get(), six.b, mem::lit("six"), t) != -1) return 4;
    if (s->trouble.sequence != 1 || share::last_note(&s->trouble)->kind != share::trouble_no_space) return 5;
    for (u32 k = 0; k < 2000; ++k) {  // far into the file: every record still has its place
      store::Bucket b = bucket(200 + k, 2);
      if (share::put_bucket(s.get(), 0, 0, &b, t) != 0) return 6;
    }
    if (share::add_machine(s.get(), seven.b, mem::lit("seven"), t) != -1) return 7;
    if (s->trouble.sequence != 1) return 8;  // said once while it lasts
    unlink(filler.c_str());
    if (share::add_machine(s.get(), six.b, mem::lit("six"), t) != 1) return 9;
    if (slots_of(ring_file(folder, 1, 5, 0), key).size() != 2000) return 10;
    return 0;
  });
  if (code == 77) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(code, 0);
}

// A folder where the machine folders cannot be made: set-up of the carry-over is retried, then given up.
TEST_F(ShareRing, MachineFoldersThatCannotBeCreatedStopTheSetUp) {
  auto a = serving(1);
  add(a.get(), 5, "five");
  share::drop(a.get(), now, true);
  auto b = host(dir.path, 2, key);
  ASSERT_EQ(share::claim_next(b.get(), now), share::done);
  // A plain file where term 2's machines folder belongs.
  ASSERT_EQ(mkdir(at("terms/00000002").c_str(), 0755), 0);
  write_all(at("terms/00000002/machines"), {1});
  EXPECT_NE(share::take_lease(b.get(), now, 0), share::done);
  EXPECT_FALSE(b->flags & share::set_up);
  std::filesystem::remove(at("terms/00000002/machines"));
  ASSERT_EQ(mkdir(at("terms/00000002/machines").c_str(), 0755), 0);
  write_all(at("terms/00000002/machines/" + id_text(5)), {1});  // a file in place of the machine's folder
  b->flags = share::claimed;
  ASSERT_EQ(share::take_lease(b.get(), now, 0), share::taken);  // a file holds the machine folder's name
  EXPECT_EQ(b->count, 0u);
  EXPECT_EQ(b->flags & (share::set_up | share::setup_pending), share::setup_pending);
  for (u64 ms = 1000; !(b->flags & share::lost_folders); ms += 1000) {
    ASSERT_LT(ms, 40000u);
    ASSERT_EQ(share::renew_lease(b.get(), ++now), share::done);
    share::step(b.get(), now, ms, ms + 50);
  }
  EXPECT_EQ(b->setup_failures, 30u);
  EXPECT_EQ(hstore::stop_of(false, share::done, 0, b->flags), 6u);
}

}  // namespace

