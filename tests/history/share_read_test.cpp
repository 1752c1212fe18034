// Reading the share's rings for history answers, a bounded piece at a time: one machine's buckets over a range,
// across a ring's wrap and while the ring moves on, raw records and names, the cluster-wide columns; the share
// self-test on this system, and the folder ring reader.
#include <unistd.h>

#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "history/hist.h"
#include "tests/history/share_support.h"

using namespace sharetest;

namespace {

struct ShareRead : ::testing::Test {
  testutil::TempDir dir;
  auth::KeyState key = key_of(1);
  u32 now = 0;
  std::unique_ptr<share::Answer> answer = std::make_unique<share::Answer>();

  std::unique_ptr<share::Share> serving(u8 id) {
    auto s = host(dir.path, id, key);
    EXPECT_EQ(share::claim_next(s.get(), now), share::done);
    EXPECT_EQ(serve(s.get(), &now), share::done);
    return s;
  }
  u32 add(share::Share* s, u8 id) {
    Id i(id);
    i32 index = share::add_machine(s, i.b, mem::lit("m"), now);
    EXPECT_GE(index, 0);
    return static_cast<u32>(index);
  }
  // Every row of a range, answer after answer; counts the answers that came back full.
  std::vector<u32> read_all_rows(share::Share* s, share::Cursor* c, u32 budget, u32* full_answers,
                                 std::vector<share::Answer>* kept = nullptr) {
    std::vector<u32> slots;
    *full_answers = 0;
    for (u32 calls = 0; calls < 10000; ++calls) {
      bool finished = share::read_range(s, c, answer.get(), budget);
      if (!finished) continue;
      for (u32 i = 0; i < answer->head.rows; ++i) slots.push_back(answer->rows[i].slot);
      if (kept) kept->push_back(*answer);
      if (c->done) break;
      ++*full_answers;
      answer->head.rows = 0;
    }
    return slots;
  }
  // The slots of a machine's tier-0 energy records over a range, read a buffer of the given records at a time.
  std::vector<u32> energy_slots(share::Share* s, u32 m, u32 start, u32 end, u32 records) {
    share::Cursor cur;
    share::open_energy_cursor(s, m, 0, start, end, &cur);
    std::vector<u8> buf(records * store::energy_bytes);
    std::vector<u32> got;
    for (u32 calls = 0; calls < 100; ++calls) {
      u32 count = 0;
      bool finished = share::read_records(s, &cur, buf.data(), static_cast<u32>(buf.size()), &count, 16384);
      for (u32 i = 0; i < count; ++i) got.push_back(store::get32(buf.data() + i * store::energy_bytes));
      if (finished) break;
    }
    return got;
  }
  // A full tier-0 ring of term 1 for machine 5 whose newest records sit at the start of the file: record i of the
  // history (slot 10 x i) at index i mod capacity, for i below total.
  void wrapped_ring(u32 total) {
    std::string path = ring_file(dir.path, 1, 5, store::ring_t0);
    const u32 cap = store::capacity(store::ring_t0);
    std::vector<u8> f(store::ring_bytes(store::ring_t0));
    for (u32 i = total - cap; i < total; ++i) {
      store::Bucket b = bucket(10 * i, static_cast<u16>(i % 10000));
      b.term = 1;
      store::encode_bucket(&b, mem::Slice{f.data(), f.size()}, store::record_at(0, i % cap));
    }
    store::RingHead h;
    store::head_init(&h, store::ring_t0, 1);
    h.next = total % cap;
    h.filled = cap;
    h.last_slot = 10 * (total - 1);
    store::encode_head(&key, &h, mem::Slice{f.data(), 64});
    write_all(path, f);
  }
};

std::vector<u32> steps(u32 from, u32 to, u32 step) {
  std::vector<u32> v;
  for (u32 s = from; s <= to; s += step) v.push_back(s);
  return v;
}

TEST_F(ShareRead, RangesOfOneMachineAcrossTheWrapInSeveralAnswers) {
  {
    auto a = serving(1);
    add(a.get(), 5);
    share::drop(a.get(), now, true);
  }
  wrapped_ring(9000);  // oldest record 360 (slot 3600) at index 360, newest 8999 at index 359
  auto b = host(dir.path, 2, key);
  ASSERT_EQ(share::claim_next(b.get(), now), share::done);
  ASSERT_EQ(serve(b.get(), &now), share::done);

  struct Case {
    const char* name;
    u32 start, end;
    std::vector<u32> want;
    u32 full;
  } cases[] = {
      {"across the wrap", 80000, 89990, steps(80000, 89990, 10), 0},
      {"before the oldest starts at the oldest", 0, 3650, steps(3600, 3650, 10), 0},
      {"after the newest is empty", 90000, 99999, {}, 0},
      {"between slots", 3605, 3625, {3610, 3620}, 0},
  };
  for (const Case& c : cases) {
    share::Cursor cur;
    share::open_reader(b.get(), 0, 0, c.start, c.end, &cur, &answer->head);
    EXPECT_EQ(answer->head.id[0], 5) << c.name;
    u32 full = 0;
    EXPECT_EQ(read_all_rows(b.get(), &cur, 16384, &full), c.want) << c.name;
    EXPECT_EQ(full, 0u) << c.name;
  }
  // More than 1,024 rows: every answer but the last is full.
  share::Cursor cur;
  share::open_reader(b.get(), 0, 0, 60000, 89990, &cur, &answer->head);
  u32 full = 0;
  std::vector<share::Answer> kept;
  EXPECT_EQ(read_all_rows(b.get(), &cur, 16384, &full, &kept), steps(60000, 89990, 10));
  EXPECT_EQ(full, 2u);
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[0].head.rows, 1024u);
  EXPECT_EQ(kept[2].head.rows, 3000u - 2048u);

  // The ring moves on while an answer is read: the answer still runs on from its start without a gap.
  share::open_reader(b.get(), 0, 0, 3600, 4000, &cur, &answer->head);
  answer->head.rows = 0;
  EXPECT_FALSE(share::read_range(b.get(), &cur, answer.get(), 4096));  // still searching
  for (u32 i = 0; i < 20; ++i) {
    store::Bucket nb = bucket(90000 + i * 10, 1);
    ASSERT_EQ(share::put_bucket(b.get(), 0, 0, &nb, now), share::done);
  }
  EXPECT_EQ(read_all_rows(b.get(), &cur, 4096, &full), steps(3800, 4000, 10));

  // Cursors over what does not exist are done at once.
  share::open_reader(b.get(), 9, 0, 0, 100, &cur, &answer->head);
  EXPECT_TRUE(cur.done);
  share::open_reader(b.get(), 0, 3, 0, 100, &cur, &answer->head);
  EXPECT_TRUE(cur.done);
}

TEST_F(ShareRead, RecordsAndNames) {
  auto a = serving(1);
  u32 m = add(a.get(), 5);
  for (u32 i = 0; i < 50; ++i) {
    store::Energy e{i * 10, 0, i, 10, 0};
    ASSERT_EQ(share::put_energy(a.get(), m, 0, &e, now), share::done);
  }
  EXPECT_EQ(energy_slots(a.get(), m, 95, 300, 10), steps(100, 300, 10));

  std::vector<u8> names(3 * 32, 0);
  __builtin_memcpy(names.data(), "init", 4);
  __builtin_memcpy(names.data() + 32, "bad\x01name\xff", 10);
  __builtin_memcpy(names.data() + 64, "sshd", 4);
  ASSERT_EQ(share::put_names(a.get(), m, names.data(), 3, 100, now), 3u);
  std::vector<u8> out(4 * 32, 0xAA);
  EXPECT_EQ(share::read_names(a.get(), m, 1, out.data(), static_cast<u32>(out.size()), 16384), 2u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data())), "bad?name?");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data() + 32)), "sshd");
  EXPECT_EQ(share::read_names(a.get(), m, 3, out.data(), 128, 16384), 0u);
  EXPECT_EQ(share::read_names(a.get(), 4, 0, out.data(), 128, 16384), 0u);
}

TEST_F(ShareRead, ClusterColumnsAverageLevelsAndAddRates) {
  auto a = serving(1);
  u32 m1 = add(a.get(), 5), m2 = add(a.get(), 6);
  auto put = [&](u32 m, u32 slot, u16 level, u16 rate) {
    store::Bucket b = bucket(slot, level);
    b.min[6] = b.mean[6] = b.max[6] = rate;
    b.min[7] = b.mean[7] = b.max[7] = rate;
    ASSERT_EQ(share::put_bucket(a.get(), m, 0, &b, now), share::done);
  };
  // Machine 1 every ten seconds for 400 s; machine 2 now and then, twice in one column (only the first counts).
  for (u32 i = 0; i < 40; ++i) put(m1, 1000 + i * 10, 1000, 100);
  put(m2, 1010, 3000, 200);
  put(m2, 1012, 9000, 900);
  put(m2, 1030, 3000, 200);
  put(m2, 1375, 5000, 4000);
  share::Cursor cur;
  share::open_cluster_reader(a.get(), 0, 1000, 2000, &cur, &answer->head);
  EXPECT_EQ(answer->head.scope, 1);
  std::vector<share::Answer> kept;
  u32 full = 0;
  std::vector<u32> slots = read_all_rows(a.get(), &cur, 16384, &full, &kept);
  EXPECT_EQ(slots, steps(1000, 1390, 10));
  auto row = [&](u32 slot) {
    for (const auto& k : kept) {
      for (u32 i = 0; i < k.head.rows; ++i) {
        if (k.rows[i].slot == slot) return k.rows[i];
      }
    }
    return store::Bucket{};
  };
  EXPECT_EQ(row(1000).mean[0], 1000);
  EXPECT_EQ(row(1000).mean[6], 100);
  EXPECT_EQ(row(1010).mean[0], 2000);
  EXPECT_EQ(row(1010).max[3], 2000);
  EXPECT_EQ(row(1010).mean[7], 300);
  EXPECT_EQ(row(1030).mean[0], 2000);
  EXPECT_EQ(row(1370).mean[0], 3000);  // 1375 lies in the column of 1370
  EXPECT_EQ(hstore::rate_of(row(1370).mean[6]), hstore::rate_of(hstore::rate_code(4100)));

  // Small budgets give the same rows over more calls.
  share::open_cluster_reader(a.get(), 0, 1000, 2000, &cur, &answer->head);
  answer->head.rows = 0;
  EXPECT_EQ(read_all_rows(a.get(), &cur, 2048, &full), slots);

  share::open_cluster_reader(a.get(), 3, 1000, 2000, &cur, &answer->head);
  EXPECT_TRUE(cur.done);
}

// A host whose clock is a day behind the history it took over (the host before it ran ahead) writes at its own
// time: the ring steps back once, nothing new lands on the future slot, and every range reads both runs.
TEST_F(ShareRead, AClockBehindTheNewestSlotWritesAtItsOwnTimeAndReadsBothRuns) {
  const u32 d = 3000000, ahead = d + 86400;  // d starts a five-minute period
  std::vector<u32> before = steps(d - 50, d - 10, 10), future = steps(ahead, ahead + 80, 10);
  {
    auto a = serving(1);
    u32 m = add(a.get(), 5);
    for (u32 slot : before) {
      store::Bucket b = bucket(slot, 1000);
      ASSERT_EQ(share::put_bucket(a.get(), m, 0, &b, now), share::done);
    }
    for (u32 slot : future) {
      store::Bucket b = bucket(slot, 9000);
      ASSERT_EQ(share::put_bucket(a.get(), m, 0, &b, now), share::done);
    }
    store::Bucket t1 = bucket(hstore::slot_time(ahead, 1), 9000);
    ASSERT_EQ(share::put_tier_bucket(a.get(), m, 1, &t1, true, now), share::done);
    share::drop(a.get(), now, false);  // killed: no orderly give-up
  }
  auto b = serving(2);
  ASSERT_EQ(b->term, 2u);
  u32 m5 = 0, m6 = add(b.get(), 6);
  std::vector<u32> after = steps(d, d + 90, 10);
  for (u32 slot : after) {
    store::Bucket x = bucket(slot, 3000);
    ASSERT_EQ(share::put_bucket(b.get(), m5, 0, &x, now), share::done);
    ASSERT_EQ(share::put_bucket(b.get(), m6, 0, &x, now), share::done);
  }
  std::string t0 = ring_file(dir.path, 2, 5, store::ring_t0);
  std::vector<u32> stored = before;
  stored.insert(stored.end(), future.begin(), future.end());
  stored.insert(stored.end(), after.begin(), after.end());
  EXPECT_EQ(slots_of(t0, key), stored);  // each record at its own time
  store::RingHead h{};
  ASSERT_TRUE(head_of(t0, key, &h));
  EXPECT_EQ(h.step, 1 + before.size() + future.size());
  EXPECT_EQ(h.last_slot, d + 90);
  EXPECT_EQ(b->stats.ahead, ahead + 80 - d);
  // A clock a little behind still raises the record to keep the order.
  store::Bucket late = bucket(d + 50, 3000);
  ASSERT_EQ(share::put_bucket(b.get(), m6, 0, &late, now), share::done);
  EXPECT_EQ(slots_of(ring_file(dir.path, 2, 6, store::ring_t0), key).back(), d + 90);

  std::vector<u32> hour = before;
  hour.insert(hour.end(), after.begin(), after.end());
  struct Case {
    const char* name;
    u32 start, end;
    std::vector<u32> want;
  } cases[] = {
      {"the last hour", d - 3600, d + 100, hour},
      {"everything, older run first", 0, 0xFFFFFFFF, stored},
      {"only what lies ahead", ahead, 0xFFFFFFFF, future},
      {"only the newest run", d, d + 100, after},
  };
  for (const Case& c : cases) {
    for (u32 budget : {16384u, 2048u}) {
      share::Cursor cur;
      share::open_reader(b.get(), m5, 0, c.start, c.end, &cur, &answer->head);
      answer->head.rows = 0;
      u32 full = 0;
      EXPECT_EQ(read_all_rows(b.get(), &cur, budget, &full), c.want) << c.name << " budget " << budget;
    }
  }
  // The cluster's columns over the last hour: the run before the step for machine 5, then both machines after it.
  share::Cursor cur;
  share::open_cluster_reader(b.get(), 0, d - 3600, d + 100, &cur, &answer->head);
  answer->head.rows = 0;
  u32 full = 0;
  std::vector<share::Answer> kept;
  EXPECT_EQ(read_all_rows(b.get(), &cur, 16384, &full, &kept), hour);
  EXPECT_EQ(kept.back().rows[kept.back().head.rows - 1].mean[0], 3000);

  // The five-minute roll-up of the period after the step is written, though the tier's newest slot lies ahead.
  ASSERT_EQ(share::roll_up(b.get(), m5, 1, d, now), share::done);
  EXPECT_EQ(slots_of(ring_file(dir.path, 2, 5, store::ring_t1), key),
            (std::vector<u32>{hstore::slot_time(ahead, 1), d}));

}

// A full ring whose older run is down to one record: the next write takes that record, and the ring is one run.
TEST_F(ShareRead, ARingThatWentRoundPastItsStepIsOneRunAgain) {
  {
    auto a = serving(1);
    add(a.get(), 5);
    share::drop(a.get(), now, true);
  }
  wrapped_ring(9000);  // slots 3600 .. 89990, oldest at index 360
  std::string path = ring_file(dir.path, 1, 5, store::ring_t0);
  std::vector<u8> f = read_all(path);
  store::Bucket ahead = bucket(900000, 1);
  ahead.term = 1;
  store::encode_bucket(&ahead, mem::Slice{f.data(), f.size()}, store::record_at(0, 360));
  store::RingHead h;
  ASSERT_TRUE(head_of(path, key, &h));
  h.step = 362;  // the newest run begins at index 361: the record ahead at 360 is all that is left of the older one
  store::encode_head(&key, &h, mem::Slice{f.data(), 64});
  write_all(path, f);
  auto b = host(dir.path, 2, key);
  b->wall = 100000;  // the record ahead is no record written after the head: it lies beyond a day from now
  ASSERT_EQ(share::claim_next(b.get(), now), share::done);
  ASSERT_EQ(serve(b.get(), &now), share::done);
  share::Cursor cur;
  u32 full = 0;
  std::vector<u32> want = steps(3610, 89990, 10);
  want.insert(want.begin(), 900000);
  share::open_reader(b.get(), 0, 0, 0, 0xFFFFFFFF, &cur, &answer->head);
  EXPECT_EQ(read_all_rows(b.get(), &cur, 16384, &full), want);
  for (u32 slot : {90000u, 90010u}) {
    store::Bucket x = bucket(slot, 1);
    ASSERT_EQ(share::put_bucket(b.get(), 0, 0, &x, now), share::done);
  }
  ASSERT_TRUE(head_of(ring_file(dir.path, 2, 5, store::ring_t0), key, &h));
  EXPECT_EQ(h.step, 0u);
  share::open_reader(b.get(), 0, 0, 0, 0xFFFFFFFF, &cur, &answer->head);
  answer->head.rows = 0;
  EXPECT_EQ(read_all_rows(b.get(), &cur, 16384, &full), steps(3620, 90010, 10));
}

// A clock that runs ahead and is set back again and again while the earlier steps are still in the ring: each
// record stays at its own time, the head names the newest two runs and then marks the first as mixed, and every
// range still reads every record it holds, one machine's rows and raw records, and the cluster's columns.
TEST_F(ShareRead, StepsBackWhileEarlierStepsAreInTheRingLoseNothing) {
  const u32 d = 3000000, day = 86400;
  auto a = serving(1);
  u32 m = add(a.get(), 5), other = add(a.get(), 6);
  std::vector<u32> written;
  auto put = [&](const std::vector<u32>& slots) {
    for (u32 slot : slots) {
      store::Bucket b = bucket(slot, 2000);
      ASSERT_EQ(share::put_bucket(a.get(), m, 0, &b, now), share::done);
      store::Energy e{slot, 0, 7, 10, 0};
      ASSERT_EQ(share::put_energy(a.get(), m, 0, &e, now), share::done);
      written.push_back(slot);
    }
  };
  std::vector<u32> runs[4] = {steps(d - 50, d - 10, 10), steps(d, d + 20, 10), steps(d + 30, d + 50, 10),
                              steps(d + 60, d + 70, 10)};
  std::vector<u32> ahead[3] = {steps(d + day, d + day + 20, 10), steps(d + 2 * day, d + 2 * day + 10, 10),
                               {d + 3 * day}};
  for (u32 slot : steps(d, d + 50, 10)) {
    store::Bucket b = bucket(slot, 4000);
    ASSERT_EQ(share::put_bucket(a.get(), other, 0, &b, now), share::done);
  }
  auto joined = [](std::initializer_list<std::vector<u32>> parts) {
    std::vector<u32> v;
    for (const auto& p : parts) v.insert(v.end(), p.begin(), p.end());
    return v;
  };
  auto machine_rows = [&](u32 start, u32 end) {
    std::vector<u32> got[2];
    u32 budgets[2] = {16384, 2048};
    for (u32 k = 0; k < 2; ++k) {
      share::Cursor cur;
      share::open_reader(a.get(), m, 0, start, end, &cur, &answer->head);
      answer->head.rows = 0;
      u32 full = 0;
      got[k] = read_all_rows(a.get(), &cur, budgets[k], &full);
    }
    EXPECT_EQ(got[0], got[1]) << "the budget changes nothing";
    return got[0];
  };
  auto cluster_rows = [&](u32 start, u32 end) {
    share::Cursor cur;
    share::open_cluster_reader(a.get(), 0, start, end, &cur, &answer->head);
    answer->head.rows = 0;
    u32 full = 0;
    return read_all_rows(a.get(), &cur, 16384, &full);
  };
  const std::string t0 = ring_file(dir.path, 1, 5, store::ring_t0);
  store::RingHead h{};

  put(runs[0]);
  put(ahead[0]);
  put(runs[1]);
  put(ahead[1]);
  put(runs[2]);  // the second step: the first is still in the ring
  EXPECT_EQ(slots_of(t0, key), written);
  ASSERT_TRUE(head_of(t0, key, &h));
  EXPECT_EQ(h.step, 1 + 13u);
  EXPECT_EQ(h.older, 1 + 8u);
  EXPECT_EQ(h.mixed, 0u);
  EXPECT_EQ(a->stats.stepped, 4u);  // twice in the buckets, twice in the energy
  std::vector<u32> hour = joined({runs[0], runs[1], runs[2]});
  EXPECT_EQ(machine_rows(d - 3600, d + 100), hour);
  EXPECT_EQ(machine_rows(0, 0xFFFFFFFF), written);
  EXPECT_EQ(machine_rows(d + day, 0xFFFFFFFF), joined({ahead[0], ahead[1]}));
  EXPECT_EQ(energy_slots(a.get(), m, d - 3600, d + 100, 4), hour);
  EXPECT_EQ(cluster_rows(d - 3600, d + 100), steps(d - 50, d + 50, 10));

  put(ahead[2]);
  put(runs[3]);  // a third: the first run now holds a step the head no longer names
  EXPECT_EQ(slots_of(t0, key), written);
  ASSERT_TRUE(head_of(t0, key, &h));
  EXPECT_EQ(h.step, 1 + 17u);
  EXPECT_EQ(h.older, 1 + 13u);
  EXPECT_EQ(h.mixed, 1u);
  hour.insert(hour.end(), runs[3].begin(), runs[3].end());
  EXPECT_EQ(machine_rows(d - 3600, d + 100), hour);
  EXPECT_EQ(machine_rows(0, 0xFFFFFFFF), written);
  EXPECT_EQ(machine_rows(d + day, 0xFFFFFFFF), joined({ahead[0], ahead[1], ahead[2]}));
  EXPECT_EQ(machine_rows(d + 10, d + 40), (std::vector<u32>{d + 10, d + 20, d + 30, d + 40}));
  EXPECT_EQ(energy_slots(a.get(), m, d - 3600, d + 100, 4), hour);
  EXPECT_EQ(cluster_rows(d - 3600, d + 100), steps(d - 50, d + 70, 10));
}

// A ring whose first run holds a step the head no longer names, where the records before that step span more than
// one window of the cluster's columns and the records after it lie below them: every record in the range is folded
// into its column once, beside a machine that has a record in every column.
TEST_F(ShareRead, ClusterColumnsTakeEveryRecordOfAnUnorderedFirstRun) {
  const u32 d = 3000000, day = 86400;
  auto a = serving(1);
  u32 m = add(a.get(), 5), other = add(a.get(), 6);
  std::map<u32, u16> level;  // machine 5's records by slot
  auto put = [&](std::vector<u32> slots, u16 lvl) {
    for (u32 slot : slots) {
      store::Bucket b = bucket(slot, lvl);
      ASSERT_EQ(share::put_bucket(a.get(), m, 0, &b, now), share::done);
      level[slot] = lvl;
    }
  };
  put(steps(d - 600, d - 10, 10), 1000);  // sixty columns
  put({d + day}, 9000);
  put(steps(d - 1000, d - 910, 10), 2000);  // below all of them
  put({d + 2 * day}, 9000);
  put(steps(d + 100, d + 120, 10), 3000);
  put({d + 3 * day}, 9000);
  put(steps(d + 200, d + 210, 10), 5000);  // the third step: the first run is unordered
  store::RingHead h{};
  ASSERT_TRUE(head_of(ring_file(dir.path, 1, 5, store::ring_t0), key, &h));
  ASSERT_EQ(h.mixed, 1u);
  for (u32 slot : steps(d - 1000, d + 300, 10)) {
    store::Bucket b = bucket(slot, 4000);
    ASSERT_EQ(share::put_bucket(a.get(), other, 0, &b, now), share::done);
  }
  for (u32 budget : {16384u, 2048u}) {
    share::Cursor cur;
    share::open_cluster_reader(a.get(), 0, d - 3600, d + 300, &cur, &answer->head);
    answer->head.rows = 0;
    u32 full = 0;
    std::vector<share::Answer> kept;
    EXPECT_EQ(read_all_rows(a.get(), &cur, budget, &full, &kept), steps(d - 1000, d + 300, 10)) << budget;
    std::vector<u32> wrong;
    for (const auto& k : kept) {
      for (u32 i = 0; i < k.head.rows; ++i) {
        auto it = level.find(k.rows[i].slot);
        u32 want = it == level.end() ? 4000 : (it->second + 4000 + 1) / 2;
        if (k.rows[i].mean[0] != want) wrong.push_back(k.rows[i].slot);
      }
    }
    EXPECT_EQ(wrong, std::vector<u32>{}) << "columns without machine 5's record, budget " << budget;
  }
}

TEST(ShareSelfTest, NoShareHereAndNoCountersHere) {
  testutil::TempDir dir;
  std::string base = dir.path + "/members/0123";
  EXPECT_EQ(share::selftest(bytes(dir.path), bytes(base)), store::verdict_not_share);
  EXPECT_FALSE(std::filesystem::exists(dir.path + "/members"));
  EXPECT_EQ(share::selftest(bytes("/mnt/cluster"), bytes("/mnt/cluster/members/x")), store::verdict_not_share);
  // A share path names a server this system cannot ask: the flags are not read and the probes have no counters.
  u32 flags = 1;
  EXPECT_FALSE(share::caching_flags(bytes("\\\\server\\share"), &flags));
  u64 v = 1;
  EXPECT_FALSE(share::smb_counters(bytes("\\\\server\\share"), 1, &v));
  EXPECT_EQ(share::probe(bytes("\\\\server\\share"), bytes(base + ".selftest"), true), store::verdict_fail);
  EXPECT_EQ(share::selftest(bytes("\\\\server\\share"), bytes(base)), store::verdict_fail);
}

TEST(ShareFolderRing, ReadsARangeIntoAChartTableAndRefusesForeignFiles) {
  testutil::TempDir dir;
  auth::KeyState key = key_of(1);
  const u32 now = 100000, first = now - 3590, n = 600;
  std::vector<u8> f(store::ring_bytes(0));
  for (u32 i = 0; i < n; ++i) {
    store::Bucket b = bucket(now - 5990 + i * 10, 500);  // the last 360 lie in the hour shown
    b.term = 1;
    store::encode_bucket(&b, mem::Slice{f.data(), f.size()}, store::record_at(0, i));
  }
  store::RingHead h;
  store::head_init(&h, store::ring_t0, 1);
  h.next = n;
  h.filled = n;
  h.last_slot = now;
  store::encode_head(&key, &h, mem::Slice{f.data(), 64});
  write_all(dir.path + "/t0.ring", f);
  write_all(dir.path + "/t1.ring", f);  // a tier-0 head under the tier-1 name

  share::FolderRing r;
  EXPECT_FALSE(share::open_folder_ring(&r, bytes(dir.path), store::ring_t1, &key));
  auth::KeyState other = key_of(2);
  EXPECT_FALSE(share::open_folder_ring(&r, bytes(dir.path), store::ring_t0, &other));
  EXPECT_FALSE(share::open_folder_ring(&r, bytes(dir.path), store::ring_t2, &key));  // missing
  // A file of any other length than the ring's is no ring file, whatever its head says.
  for (i64 change : {i64{-1}, i64{1}, -static_cast<i64>(store::record_bytes(0))}) {
    testutil::TempDir other_dir;
    std::vector<u8> g = f;
    g.resize(static_cast<u64>(static_cast<i64>(g.size()) + change));
    write_all(other_dir.path + "/t0.ring", g);
    EXPECT_FALSE(share::open_folder_ring(&r, bytes(other_dir.path), store::ring_t0, &key)) << change;
  }
  ASSERT_TRUE(share::open_folder_ring(&r, bytes(dir.path), store::ring_t0, &key));
  EXPECT_EQ(share::folder_time_at(&r, 0), now - 5990);

  std::vector<u8> block(hist::table_bytes(2, 1));
  mem::Arena arena{block.data(), 0, block.size()};
  hist::Table t;
  u8 id[16] = {};
  ASSERT_TRUE(hist::bind(&t, &arena, 2, 0, 255, id, now));
  share::folder_range(&r, first, now);
  std::vector<u8> buffer(4096);
  u32 calls = 0;
  while (!share::read_folder_buckets(&r, buffer.data(), static_cast<u32>(buffer.size()), &t, 2048)) {
    ASSERT_LT(++calls, 1000u);
  }
  EXPECT_GT(calls, 3u);
  EXPECT_EQ(t.folded, 360u);
  share::close_folder_ring(&r);
  EXPECT_TRUE(r.done);
}

}  // namespace
