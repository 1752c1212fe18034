// This machine's own history files: buckets and their roll-ups, restarts that pick up where the files say, heads
// that do not check, files in use, and a full disk that loses nothing already written.
#include "history/localhist.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>

#include <gtest/gtest.h>

#include "history/hist.h"
#include "wire/cluster.h"
#include "host/hub.h"
#include "tests/history/share_support.h"
#include "tests/platform/harness.h"

using namespace sharetest;

namespace {

// A summary of this machine: the six levels at 8..18, receive and send at 48 and 52.
struct Summary {
  u8 b[64] = {};
  Summary(u16 cpu, u32 receive = 0, u32 send = 0) {
    for (u32 m = 0; m < 6; ++m) store::put16(b + 8 + 2 * m, static_cast<u16>(cpu + m));
    store::put32(b + 48, receive);
    store::put32(b + 52, send);
  }
};

auth::KeyState local_key() {
  auth::KeyState k;
  auth::key_init(&k, localhist::key_text());
  return k;
}

struct LocalHist : ::testing::Test {
  testutil::TempDir dir;
  std::string folder = dir.path + "/Vimbrel";
  Id id{0x40};
  auth::KeyState key = local_key();
  std::unique_ptr<localhist::Writer> w = std::make_unique<localhist::Writer>();
  u32 sequence = 0;

  mem::Bytes id_bytes() const { return mem::Bytes(id.b, 16); }
  std::string ring(u32 type) const { return folder + "/history/" + id_text(0x40) + "/t" + std::to_string(type) + ".ring"; }
  u32 open(localhist::Writer* writer) { return localhist::open(writer, bytes(folder), id_bytes()); }
  void open() { ASSERT_EQ(open(w.get()), localhist::ok); }
  // One new sample at the time.
  void sample(u32 now, const Summary& s) { localhist::tick(w.get(), ++sequence, s.b, now); }
  store::RingHead head(u32 type) {
    store::RingHead h{};
    EXPECT_TRUE(head_of(ring(type), key, &h)) << type;
    return h;
  }
  store::Bucket newest(u32 type) {
    store::RingHead h = head(type);
    std::vector<u8> b = read_all(ring(type));
    store::Bucket out{};
    store::decode_bucket(mem::Bytes(b.data(), b.size()), store::record_at(type, store::prev_index(h.next, type)), &out);
    return out;
  }
};

TEST(LocalHistRules, CodesWantedAndPaths) {
  struct {
    u32 io, code;
  } codes[] = {{fs::io_ok, 0}, {fs::io_in_use, 1}, {fs::io_not_found, 2}, {fs::io_exists, 3}, {fs::io_failed, 3}};
  for (auto& c : codes) EXPECT_EQ(localhist::file_code(c.io), c.code);

  cluster::PublishSettings settings{};
  EXPECT_TRUE(localhist::wanted(false, &settings));
  EXPECT_FALSE(localhist::wanted(true, &settings));
  settings.publish = 1;
  EXPECT_TRUE(localhist::wanted(false, &settings));  // publishing, but to no target
  settings.target_kind = 2;
  EXPECT_FALSE(localhist::wanted(false, &settings));
  settings.publish = 0;
  EXPECT_TRUE(localhist::wanted(false, &settings));

  Id id(0);
  store::Path p;
  EXPECT_EQ(localhist::path(mem::lit("/x/Vimbrel"), mem::Bytes(id.b, 16), false, &p), localhist::ok);
  EXPECT_EQ(harness::text(store::path_of(&p)), "/x/Vimbrel/history/000102030405060708090a0b0c0d0e0f");
  EXPECT_EQ(localhist::path(mem::lit("/x/Vimbrel"), mem::Bytes(id.b, 15), false, &p), localhist::not_found);
  std::string deep = "/" + std::string(230, 'd');
  EXPECT_EQ(localhist::path(bytes(deep), mem::Bytes(id.b, 16), false, &p), localhist::failed);

  // The wall clock in seconds since 2025 is past the day this was written and fits 32 bits for a long while.
  EXPECT_GT(localhist::now(), 60000000u);
}

TEST_F(LocalHist, BucketsAndTheirRollUps) {
  open();
  for (u32 type = 0; type < 3; ++type) {
    store::RingHead h = head(type);
    EXPECT_EQ(h.type, type);
    EXPECT_EQ(h.term, 1u);
    EXPECT_EQ(h.filled, 0u);
  }

  const u32 t = 3600 * 1000;  // the start of an hour
  // Three samples, one of them seen twice: two are summed.
  sample(t + 1, Summary(1000, 10000, 4095));
  localhist::tick(w.get(), sequence, Summary(9999).b, t + 2);
  sample(t + 3, Summary(2001, 10000, 4095));
  EXPECT_EQ(head(0).filled, 0u);
  // Ten seconds on, the bucket is written though no sample came.
  localhist::tick(w.get(), sequence, nullptr, t + 10);
  store::Bucket b = newest(0);
  EXPECT_EQ(b.slot, t);
  EXPECT_EQ(b.term, 1u);
  EXPECT_EQ(b.min[0], 1000);
  EXPECT_EQ(b.max[0], 2001);
  EXPECT_EQ(b.mean[0], 1501);  // (3001 + 1) / 2
  EXPECT_EQ(b.mean[5], 1506);
  for (u16 v : {b.min[6], b.mean[6], b.max[6]}) EXPECT_EQ(v, 0x2388);  // a rate of 10,000 KiB/s
  for (u16 v : {b.min[7], b.mean[7], b.max[7]}) EXPECT_EQ(v, 4095);
  EXPECT_EQ(newest(1).slot, t);
  EXPECT_EQ(newest(2).slot, t);
  EXPECT_EQ(newest(1).mean[0], 1501);
  // A new sequence number without a summary (an empty sample ring) is no sample.
  localhist::tick(w.get(), sequence + 7, nullptr, t + 12);
  EXPECT_FALSE(w->flags & localhist::base_open);

  // A second bucket in the same five minutes rewrites the tier records in place.
  sample(t + 15, Summary(3001));
  localhist::flush_due(w.get(), t + 20);
  EXPECT_EQ(head(0).filled, 2u);
  EXPECT_EQ(head(1).filled, 1u);
  EXPECT_EQ(head(2).filled, 1u);
  store::Bucket t1 = newest(1);
  EXPECT_EQ(t1.slot, t);
  EXPECT_EQ(t1.min[0], 1000);
  EXPECT_EQ(t1.max[0], 3001);
  EXPECT_EQ(t1.mean[0], 2251);  // the mean of the two bucket means
  EXPECT_EQ(w->rewritten, 2u);

  // The next five minutes start a new tier-1 record; the hour goes on in place.
  sample(t + 300, Summary(500));
  localhist::close(w.get());
  EXPECT_EQ(head(1).filled, 2u);
  EXPECT_EQ(newest(1).slot, t + 300);
  EXPECT_EQ(head(2).filled, 1u);
  EXPECT_EQ(newest(2).min[0], 500);
  EXPECT_EQ(w->write_failures, 0u);
}

// A full bucket keeps its count and sums but still widens its range; the samples it could not sum are counted.
TEST_F(LocalHist, FullBucketKeepsItsMean) {
  const u32 t = 3600 * 1500;
  for (u32 k = 0; k < 0xFFFF; ++k) localhist::add(w.get(), Summary(100, 5000).b, t);
  localhist::add(w.get(), Summary(9000, 0).b, t + 1);
  localhist::add(w.get(), Summary(1, 100000).b, t + 2);
  EXPECT_EQ(w->base.count, 0xFFFFu);
  EXPECT_EQ(w->not_summed, 2u);
  store::Bucket b;
  localhist::close_base(w.get(), &b);
  EXPECT_EQ(b.slot, t);
  EXPECT_EQ(b.min[0], 1);
  EXPECT_EQ(b.mean[0], 100);
  EXPECT_EQ(b.max[0], 9000);
  EXPECT_EQ(b.min[6], 0);
  EXPECT_EQ(hstore::rate_of(b.mean[6]), 5000u);
  EXPECT_EQ(b.max[6], hstore::rate_code(100000));
}

// A restart within the same five minutes: the period's tier records hold the buckets from before and after it and
// are replaced in place.
TEST_F(LocalHist, RestartPicksUpWhereTheFilesSay) {
  open();
  const u32 t = 3600 * 2000;
  for (u32 k = 0; k < 3; ++k) sample(t + 10 * k, Summary(static_cast<u16>(1000 * (k + 1))));
  localhist::close(w.get());
  EXPECT_EQ(head(0).filled, 3u);

  auto again = std::make_unique<localhist::Writer>();
  ASSERT_EQ(open(again.get()), localhist::ok);
  EXPECT_EQ(again->ring[0].at.next, 3u);
  EXPECT_EQ(again->ring[0].at.last_slot, t + 20);
  EXPECT_EQ(again->rebuilt, 0u);
  localhist::tick(again.get(), 1, Summary(6000).b, t + 40);
  localhist::close(again.get());

  EXPECT_EQ(head(0).filled, 4u);
  for (u32 type : {1u, 2u}) {
    EXPECT_EQ(head(type).filled, 1u) << type;
    store::Bucket b = newest(type);
    EXPECT_EQ(b.min[0], 1000) << type;
    EXPECT_EQ(b.max[0], 6000) << type;
    EXPECT_EQ(b.mean[0], 3000) << type;  // (1000 + 2000 + 3000 + 6000) / 4
  }
}

// Records written after the last head (a writer that ended between the two) are adopted, at most eight.
TEST_F(LocalHist, RecordsAfterTheHeadAreAdopted) {
  open();
  const u32 t = 3600 * 3000;
  for (u32 k = 0; k < 2; ++k) sample(t + 10 * k, Summary(100));
  localhist::close(w.get());
  std::vector<u8> file = read_all(ring(0));
  file.resize(store::record_at(0, 12));
  for (u32 k = 0; k < 10; ++k) {
    store::Bucket b = bucket(t + 100 + 10 * k, 7);
    b.term = 1;
    store::encode_bucket(&b, mem::Slice{file.data(), file.size()}, store::record_at(0, 2 + k));
  }
  write_all(ring(0), file);

  ASSERT_EQ(open(w.get()), localhist::ok);
  EXPECT_EQ(w->ring[0].at.next, 10u);
  EXPECT_EQ(w->ring[0].at.filled, 10u);
  EXPECT_EQ(w->ring[0].at.last_slot, t + 170);
  localhist::close(w.get());
  EXPECT_EQ(head(0).next, 10u);  // the head was written at once
  // The short file (as an older version left it) now has its whole length, its records kept.
  std::vector<u8> grown = read_all(ring(0));
  ASSERT_EQ(grown.size(), store::ring_bytes(0));
  EXPECT_TRUE(std::equal(file.begin() + 64, file.end(), grown.begin() + 64));
  for (u32 type : {1u, 2u}) EXPECT_EQ(read_all(ring(type)).size(), store::ring_bytes(type)) << type;
}

// A head that does not check is rebuilt from the records, which are kept; the other rings are not touched.
TEST_F(LocalHist, HeadsThatDoNotCheckAreRebuilt) {
  const u32 t = 3600 * 4000;
  auto damages = std::vector<std::pair<const char*, void (*)(std::vector<u8>&, const std::vector<u8>&)>>{
      {"torn", [](std::vector<u8>& f, const std::vector<u8>&) { std::fill(f.begin() + 20, f.begin() + 40, 0); }},
      {"another key",
       [](std::vector<u8>& f, const std::vector<u8>&) {
         store::RingHead h{};
         store::head_init(&h, 0, 1);
         auth::KeyState other = key_of(9);
         store::encode_head(&other, &h, mem::Slice{f.data(), 64});
       }},
      {"another ring's head", [](std::vector<u8>& f, const std::vector<u8>& t1) { std::copy_n(t1.begin(), 64, f.begin()); }},
      {"cut short", [](std::vector<u8>& f, const std::vector<u8>&) { f.resize(30); }},
  };
  for (auto& [what, damage] : damages) {
    std::filesystem::remove_all(folder);
    sequence = 0;
    open();
    for (u32 k = 0; k < 5; ++k) sample(t + 10 * k, Summary(static_cast<u16>(100 + k)));
    localhist::close(w.get());
    std::vector<u8> t1 = read_all(ring(1)), t2 = read_all(ring(2));
    std::vector<u8> f = read_all(ring(0));
    damage(f, t1);
    write_all(ring(0), f);

    ASSERT_EQ(open(w.get()), localhist::ok) << what;
    bool cut = f.size() < 64;
    EXPECT_EQ(w->rebuilt, cut ? 0u : 1u) << what;
    EXPECT_EQ(w->ring[0].at.next, cut ? 0u : 5u) << what;
    EXPECT_EQ(w->ring[0].at.filled, cut ? 0u : 5u) << what;
    EXPECT_EQ(head(0).filled, cut ? 0u : 5u) << what;
    EXPECT_EQ(read_all(ring(1)), t1) << what;
    EXPECT_EQ(read_all(ring(2)), t2) << what;
    if (!cut) {
      EXPECT_EQ(slots_of(ring(0), key), (std::vector<u32>{t, t + 10, t + 20, t + 30, t + 40})) << what;
    }
    localhist::close(w.get());
  }
}

// A clock that ran a day ahead and was set right, twice: every bucket and every roll-up is stored at its own time
// (the period behind the newest slot gets a record of its own instead of rewriting the one ahead), the head names
// the runs across a restart and a rebuild, and the last hour by the true clock reads every bucket it holds.
TEST_F(LocalHist, AClockBehindTheStoredHistoryWritesAtItsOwnTime) {
  const u32 t = 3600 * 5000, day = 86400;
  std::vector<u32> ahead0 = {t + day, t + day + 10, t + day + 20}, back0 = {t, t + 10, t + 20, t + 30},
                   ahead1 = {t + 2 * day, t + 2 * day + 10}, back1 = {t + 100, t + 110, t + 120};
  auto samples = [&](const std::vector<u32>& slots, u16 level) {
    for (u32 slot : slots) sample(slot, Summary(level));
  };
  open();
  samples(ahead0, 100);
  localhist::close(w.get());
  open();  // on the true clock: the head a day ahead is taken as it is
  EXPECT_EQ(w->ring[0].at.last_slot, t + day + 20);
  samples(back0, 200);
  samples(ahead1, 300);
  samples(back1, 400);
  localhist::close(w.get());
  EXPECT_EQ(w->stepped, 6u);  // each ring twice
  EXPECT_EQ(w->ahead_said, 1);

  std::vector<u32> all = ahead0;
  for (const auto* run : {&back0, &ahead1, &back1}) all.insert(all.end(), run->begin(), run->end());
  EXPECT_EQ(slots_of(ring(0), key), all);
  EXPECT_EQ(head(0).step, 1 + 9u);
  EXPECT_EQ(head(0).older, 1 + 3u);
  for (u32 tier : {1u, 2u}) {
    auto at = [&](u32 slot) { return hstore::slot_time(slot, tier); };
    EXPECT_EQ(slots_of(ring(tier), key), (std::vector<u32>{at(t + day), at(t), at(t + 2 * day), at(t + 100)}))
        << tier;
    EXPECT_EQ(head(tier).step, 1 + 3u) << tier;
  }
  // The newest t1 record holds the buckets of its own run, not those of the period ahead.
  EXPECT_EQ(newest(1).min[0], 400);

  auto last_hour = [&]() {
    share::FolderRing r;
    std::string history = folder + "/history/" + id_text(0x40);
    EXPECT_TRUE(share::open_folder_ring(&r, bytes(history), store::ring_t0, &key));
    std::vector<u8> block(hist::table_bytes(2, 1));
    mem::Arena arena{block.data(), 0, block.size()};
    hist::Table table;
    u8 id16[16] = {};
    EXPECT_TRUE(hist::bind(&table, &arena, 2, 0, 255, id16, t + 200));
    share::folder_range(&r, t - 3000, t + 200);
    std::vector<u8> buffer(4096);
    for (u32 calls = 0; calls < 100 && !share::read_folder_buckets(&r, buffer.data(), 4096, &table, 2048);) ++calls;
    share::close_folder_ring(&r);
    return table.folded;
  };
  EXPECT_EQ(last_hour(), back0.size() + back1.size());

  // A head that does not check is rebuilt with the same runs, so nothing after it is overwritten or left unread.
  std::vector<u8> f = read_all(ring(0));
  std::fill(f.begin() + 20, f.begin() + 40, 0);
  write_all(ring(0), f);
  open();
  EXPECT_EQ(w->rebuilt, 1u);
  EXPECT_EQ(w->ring[0].at.next, all.size());
  EXPECT_EQ(w->ring[0].at.step, 1 + 9u);
  EXPECT_EQ(w->ring[0].at.older, 1 + 3u);
  localhist::close(w.get());
  EXPECT_EQ(last_hour(), back0.size() + back1.size());
}

TEST_F(LocalHist, NewestRecordDecidesTheRebuiltHead) {
  open();
  localhist::close(w.get());
  // A wrapped ring: the newest record sits in the middle, and empty records are not counted.
  std::vector<u8> f(store::record_at(0, 6), 0);
  u32 slots[] = {500, 510, 520, 0, 480, 490};
  for (u32 i = 0; i < 6; ++i) {
    if (slots[i] == 0) continue;
    store::Bucket b = bucket(slots[i], 1);
    b.term = 1;
    store::encode_bucket(&b, mem::Slice{f.data(), f.size()}, store::record_at(0, i));
  }
  store::Place at{};
  u32 state = 0;
  write_all(ring(0), f);
  u64 handle = 0;
  ASSERT_EQ(fs::io_open_read(bytes(ring(0)), &handle), fs::io_ok);
  EXPECT_EQ(localhist::load_head(handle, 0, 0xFFFFFFFF, &at, &state), localhist::ok);
  EXPECT_EQ(state, localhist::head_rebuilt);
  EXPECT_EQ(at.next, 3u);
  EXPECT_EQ(at.filled, 5u);
  EXPECT_EQ(at.last_slot, 520u);
  EXPECT_EQ(at.step, 0u);  // 480, 490, 500, 510, 520 in write order: one run
  // A slot beyond the latest plausible time is never taken for the newest when the ring went round.
  EXPECT_EQ(localhist::load_head(handle, 0, 515, &at, &state), localhist::ok);
  EXPECT_EQ(at.next, 2u);
  EXPECT_EQ(at.filled, 5u);
  EXPECT_EQ(at.last_slot, 510u);
  fs::io_close(&handle);
  // A sealed head whose newest slot lies far ahead is kept: the next record steps the ring back instead of taking
  // that slot.
  store::RingHead future{};
  store::head_init(&future, 0, 1);
  future.next = 1;
  future.filled = 5;
  future.last_slot = 0xFFFFFF00;
  store::encode_head(&key, &future, mem::Slice{f.data(), 64});
  write_all(ring(0), f);
  ASSERT_EQ(fs::io_open_read(bytes(ring(0)), &handle), fs::io_ok);
  EXPECT_EQ(localhist::load_head(handle, 0, 600, &at, &state), localhist::ok);
  EXPECT_EQ(state, localhist::head_accepted);
  EXPECT_EQ(at.last_slot, 0xFFFFFF00u);
  EXPECT_EQ(store::place(at, 590, 0).slot, 590u);
  fs::io_close(&handle);

  write_all(ring(0), std::vector<u8>(64, 0));
  ASSERT_EQ(fs::io_open_read(bytes(ring(0)), &handle), fs::io_ok);
  EXPECT_EQ(localhist::load_head(handle, 0, 0xFFFFFFFF, &at, &state), localhist::ok);
  EXPECT_EQ(state, localhist::head_empty);
  EXPECT_EQ(at.next, 0u);
  EXPECT_EQ(at.filled, 0u);
  fs::io_close(&handle);
}

// Full rings whose head does not check, written from index 500 round to 499: the rebuilt head's next write goes
// where the slots stop following each other, so records stamped far ahead of the clock (one that ran ahead and was
// set right) are kept and the oldest is overwritten first. Records ahead that follow the newest plausible record in
// the file but cannot have been written after it, by the time since, are the oldest and go first.
TEST_F(LocalHist, RebuiltHeadOfAFullRingIsWhereItsSlotsStopFollowingEachOther) {
  open();
  localhist::close(w.get());
  const u32 cap = store::capacity(store::ring_t0), first = 500, year = 365 * 86400;
  struct Case {
    const char* name;
    u32 (*slot)(u32 k);  // of the k-th record written, oldest first
    u32 wall, step;
  } cases[] = {
      {"in order", [](u32 k) { return 1000 + 10 * k; }, 200000, 0},
      {"the newest five a year ahead", [](u32 k) { return 1000 + 10 * k + (k >= 8635 ? year : 0); }, 200000, 0},
      {"a year ahead, back, and ahead again",
       [](u32 k) { return 1000 + 10 * k + ((k >= 3000 && k < 3100) || k >= 8635 ? year : 0); }, 200000,
       1 + (first + 3100) % cap},
      {"the oldest hundred a year ahead, the newest a minute ago",
       [](u32 k) { return 1000 + 10 * k + (k < 100 ? year : 0); }, 87450, 1 + first + 100},
  };
  for (const Case& c : cases) {
    std::vector<u8> f(store::ring_bytes(store::ring_t0));
    std::fill(f.begin(), f.begin() + 64, 0xEE);
    for (u32 k = 0; k < cap; ++k) {
      store::Bucket b = bucket(c.slot(k), 1);
      b.term = 1;
      store::encode_bucket(&b, mem::Slice{f.data(), f.size()}, store::record_at(0, (first + k) % cap));
    }
    write_all(ring(0), f);
    u64 handle = 0;
    ASSERT_EQ(fs::io_open_read(bytes(ring(0)), &handle), fs::io_ok);
    store::Place at{};
    u32 state = 0;
    EXPECT_EQ(localhist::load_head(handle, 0, store::latest_time(c.wall), &at, &state), localhist::ok) << c.name;
    fs::io_close(&handle);
    EXPECT_EQ(state, localhist::head_rebuilt) << c.name;
    EXPECT_EQ(at.next, first) << c.name;
    EXPECT_EQ(at.filled, cap) << c.name;
    EXPECT_EQ(at.last_slot, c.slot(cap - 1)) << c.name;
    EXPECT_EQ(at.step, c.step) << c.name;
    EXPECT_EQ(at.older, 0u) << c.name;
    EXPECT_EQ(at.mixed, 0u) << c.name;
  }
}

// Starting from the window: the countdown, the machine id, LOCALAPPDATA, and files another process holds.
TEST_F(LocalHist, StartsUnderTheDataFolder) {
  harness::EnvVar data("XDG_DATA_HOME", dir.path);
  cluster::PublishSettings settings{};
  u8 countdown = 2;
  ring::Row row{};
  row.load = 4321;
  hub::SummaryInputs inputs{};
  const ring::Row* s = &row;
  localhist::drive(w.get(), &countdown, false, &settings, 1, s, &inputs);
  EXPECT_EQ(countdown, 1);
  EXPECT_FALSE(w->open);
  countdown = 0;
  localhist::drive(w.get(), &countdown, false, &settings, 1, s, &inputs);  // no machine id yet
  EXPECT_FALSE(w->open);
  EXPECT_FALSE(std::filesystem::exists(folder));

  // Under the test mode nothing is made at all.
  settings.id_present = 1;
  std::copy_n(id.b, 16, settings.id);
  localhist::drive(w.get(), &countdown, true, &settings, 1, s, &inputs);
  EXPECT_FALSE(std::filesystem::exists(folder));

  localhist::drive(w.get(), &countdown, false, &settings, 1, s, &inputs);
  EXPECT_TRUE(w->open);
  EXPECT_TRUE(std::filesystem::exists(ring(2)));

  // A second writer finds the files in use and waits a minute of ticks.
  auto other = std::make_unique<localhist::Writer>();
  u8 other_countdown = 0;
  EXPECT_EQ(localhist::start(other.get(), &other_countdown, &settings), localhist::in_use);
  EXPECT_EQ(other_countdown, localhist::retry_in_use);
  EXPECT_FALSE(other->open);

  // Publishing to a target closes the files, writing the open bucket.
  settings.publish = 1;
  settings.target_kind = 1;
  localhist::drive(w.get(), &countdown, false, &settings, 2, s, &inputs);
  EXPECT_FALSE(w->open);
  EXPECT_EQ(head(0).filled, 1u);
  EXPECT_EQ(newest(0).min[0], 4321);  // the processor load of the newest row
  EXPECT_EQ(localhist::start(other.get(), &other_countdown, &settings), localhist::failed);  // counting down
  other_countdown = 0;
  EXPECT_EQ(localhist::start(other.get(), &other_countdown, &settings), localhist::ok);
  localhist::close(other.get());

  // A folder named in UTF-8 holds the history as any other; a value that is no UTF-8 keeps history off.
  harness::EnvVar utf8("XDG_DATA_HOME", dir.path + "/d\xc3\xa9j\xc3\xa0");
  ASSERT_EQ(localhist::start(other.get(), &other_countdown, &settings), localhist::ok);
  localhist::close(other.get());
  EXPECT_EQ(std::filesystem::file_size(dir.path + "/d\xc3\xa9j\xc3\xa0/Vimbrel/history/" + id_text(0x40) + "/t2.ring"),
            store::ring_bytes(2));
  harness::EnvVar odd("XDG_DATA_HOME", dir.path + "/d\xe9");
  EXPECT_EQ(localhist::start(other.get(), &other_countdown, &settings), localhist::not_found);
  EXPECT_EQ(other_countdown, 0);
}

// A disk that fills up: the rings made before keep their space, so every bucket is written; rings that find no
// space are not made, and the window says so once while it lasts.
TEST_F(LocalHist, FullDiskIsMetWhenRingsAreMadeAndSaidOnce) {
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  std::string said = dir.path + "/stderr";
  int code = harness::in_child([&] {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=5m") != 0) {  // room for two machines' rings
      return 77;
    }
    int err = ::open(said.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (err < 0 || dup2(err, 2) < 0) return 1;
    if (open(w.get()) != localhist::ok) return 2;
    std::string filler = folder + "/filler";
    FILE* fp = fopen(filler.c_str(), "wb");
    std::vector<char> block(4096, 'f');
    while (fp && fwrite(block.data(), 1, block.size(), fp) == block.size() && fflush(fp) == 0) {
    }
    if (fp) fclose(fp);
    const u32 t = 3600 * 5000;
    u32 k = 0;
    for (; k < 200; ++k) sample(t + 10 * k, Summary(static_cast<u16>(k)));
    localhist::flush_due(w.get(), t + 10 * k);
    if (w->write_failures != 0 || w->ring[0].at.filled != 200) return 3;

    // Another machine's history on the same disk: its rings find no space, at every try.
    auto other = std::make_unique<localhist::Writer>();
    Id id2(0x50);
    for (u32 tries = 0; tries < 3; ++tries) {
      if (localhist::open(other.get(), bytes(folder), mem::Bytes(id2.b, 16)) == localhist::ok) return 4;
    }
    unlink(filler.c_str());
    if (localhist::open(other.get(), bytes(folder), mem::Bytes(id2.b, 16)) != localhist::ok) return 5;
    localhist::close(other.get());
    localhist::close(w.get());
    return 0;
  });
  if (code == 77) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(code, 0);
  EXPECT_EQ(testutil::read_file(said), "vimbrel: history cannot be written: no space\n");
}

}  // namespace
