// The host's share duties in one process, on a temporary folder, with the round's clock given by the test: the
// term claimed on the first tick, the lease watch against a live host, history written through the share's rings
// and answered from them in order, and a slow member whose answer is cut short without holding it or the others up.
#include <gtest/gtest.h>

#include <string>

#include "tests/host/rig.h"
#include "tests/support/testutil.h"

namespace {

using rig::Bytes;

std::string printed;
void capture(mem::Bytes b) { printed.append(reinterpret_cast<const char*>(b.ptr), b.len); }

const u8 id_a[16] = {0xA1, 0x11};

struct Duty {
  testutil::TempDir dir;
  mem::Arena arena{};
  hub::Host* host = nullptr;
  u64 tick = 0;
  u32 wall = 2000000;

  explicit Duty(u32 flags = 0) {
    printed.clear();
    EXPECT_TRUE(mem::arena_init(&arena, hub::arena_size()));
    host = mem::alloc_of<hub::Host>(&arena);
    auth::KeyState key;
    rig::key_of(&key, "cluster secret");
    hub::Options o = {};
    o.port = 7420;
    o.flags = flags;
    o.version[1] = 1;
    o.version[2] = 81;
    EXPECT_TRUE(hub::create(host, &arena, &key, &o, 0));
    host->writer = capture;
    host->port = 7420;
    EXPECT_EQ(hub::register_share(host, &arena, share(), 0x7F000001, 0), hub::stop_none);
  }
  ~Duty() {
    hub::close(host);
    mem::release(&arena);
  }
  mem::Bytes share() const { return mem::Bytes(reinterpret_cast<const u8*>(dir.path.data()), dir.path.size()); }
  u32 now() const { return static_cast<u32>(tick / 100); }
  // One round; a second of rounds when whole is set.
  void round(u64 ms = 100) {
    tick += ms;
    if (tick % 1000 == 0) ++wall;
    hub::step(host, 0, tick, wall);
  }
  void seconds(u32 n) {
    for (u32 i = 0; i < n * 10; ++i) round();
  }
};

// The hub of a Duty seen as a rig, so the link helpers can feed it.
struct HubRig : rig::Rig {
  explicit HubRig(hub::Host* host) : rig::Rig(0) { h.reset(host->hub); }
  ~HubRig() { (void)h.release(); }
};

TEST(HostDuty, ClaimsOnTheFirstTickWhenNoLeaseExists) {
  Duty d;
  EXPECT_FALSE(d.host->hub->flags & hub::hub_serving);
  d.seconds(1);
  // A test build has no release key of its own: the host says it updates no agents.
  EXPECT_EQ(printed,
            "vimbrel host: listening on port 7420, term 1, share self-test not a share\n"
            "vimbrel host: no release key: this build does not update its agents\n");
  EXPECT_TRUE(d.host->hub->flags & hub::hub_serving);
  EXPECT_EQ(d.host->hub->term, 1u);
  EXPECT_EQ(testutil::read_file(d.dir.path + "/lease").size(), 64u);
}

TEST(HostDuty, LiveLeaseMeansWaitingOnceAndRefuseIfLiveStops) {
  for (u32 flags : {0u, hub::flag_refuse_if_live}) {
    Duty live;  // a host that holds the folder's lease and renews it
    live.seconds(1);
    ASSERT_EQ(live.host->hub->term, 1u);
    auto other = std::make_unique<Duty>(flags);
    // Point the second host at the first one's folder.
    share::init(other->host->share, live.share(), &other->host->hub->key, other->host->share->id, 0x7F000001, 7421, 1);
    printed.clear();
    for (u32 s = 0; s < 20 && other->host->stop_reason == hub::stop_none; ++s) {
      live.seconds(1);
      other->seconds(1);
    }
    if (flags == 0) {
      EXPECT_EQ(printed, "vimbrel host: waiting: a host of term 1 is live\n");
      EXPECT_EQ(other->host->stop_reason, hub::stop_none);
      EXPECT_FALSE(other->host->hub->flags & hub::hub_serving);
      EXPECT_EQ(other->host->hub->moved_term, 1u);
    } else {
      EXPECT_EQ(other->host->stop_reason, hub::stop_live);
    }
    // Once the first host is silent for 15 s the second takes the next term.
    if (flags == 0) {
      printed.clear();
      other->seconds(17);
      EXPECT_EQ(other->host->hub->term, 2u);
      EXPECT_NE(printed.find("term 2"), std::string::npos);
    }
  }
}

// Feeds a publisher for n seconds: a sample each second, a process table now and then (whose processes work a
// little harder each time, unless steady).
void publish(Duty* d, HubRig* r, rig::Link* pub, u32 n, bool steady = false) {
  for (u32 s = 0; s < n; ++s) {
    ring::Row row = {};
    row.seconds = s;
    row.load = static_cast<u16>(100 * (s % 50));
    row.memory_mib = 2000;
    row.power = 150;
    row.power_flags = 1;
    Bytes f(600);
    f.resize(proto::encode_sample(reinterpret_cast<const u8*>(&row), mem::Slice{f.data(), f.size()}));
    pub->send(r, f, d->now(), d->wall);
    if (s % 5 == 0) {
      auto t = std::make_unique<proto::ProcRecord>();
      t->count = 3;
      for (u32 i = 0; i < 3; ++i) {
        t->rows[i].pid = 100 + i;
        t->rows[i].cpu = static_cast<u16>(1000 * (i + 1) + (steady ? 0 : s));
        t->rows[i].memory = 5000 * (i + 1);
        snprintf(reinterpret_cast<char*>(t->rows[i].name), 32, "worker-%u", i);
      }
      Bytes p(8192);
      p.resize(proto::encode_procs(t.get(), nullptr, 1, mem::Slice{p.data(), p.size()}));
      pub->send(r, p, d->now(), d->wall);
    }
    d->seconds(1);
  }
}

// A 5-minute or 1-hour top row goes to the share again only when a merge changed it: the same processes at the same
// values leave the record the share holds as it is, and what the share holds is the book's row either way.
TEST(HostDuty, UpperTopRowsAreWrittenAgainOnlyWhenTheyChange) {
  for (bool steady : {true, false}) {
    Duty d;
    d.seconds(1);
    HubRig r(d.host);
    rig::Link pub;
    ASSERT_TRUE(pub.join(&r, proto::role_publisher, 0, id_a, 0x0A000001, d.now()));
    pub.send(&r, rig::inventory_frame(id_a, "alpha"), d.now(), d.wall);
    publish(&d, &r, &pub, 65, steady);
    // Six closed rows, each merged into both upper rows; steady, only the first changed them.
    if (steady) {
      EXPECT_EQ(d.host->written.tops, 2u);
    } else {
      EXPECT_GE(d.host->written.tops, 10u);
    }
    const ptop::Book* b = &d.host->hub->tops;
    for (u32 tier = 1; tier <= 2; ++tier) {
      std::string ring = testutil::read_file(d.dir.path + "/terms/00000001/machines/a1110000000000000000000000000000/p" +
                                             std::to_string(tier) + ".ring");
      ASSERT_GE(ring.size(), 64u + ptop::row_bytes) << tier;
      ptop::Row stored;
      ASSERT_TRUE(ptop::decode(mem::Bytes(reinterpret_cast<const u8*>(ring.data()), ring.size()), 64, &stored));
      const ptop::Row& row = b->tier_row[tier - 1][0];
      EXPECT_EQ(stored.slot, row.slot) << tier;
      for (u32 k = 0; k < ptop::top; ++k) {
        EXPECT_EQ(stored.a.pid[k], row.a.pid[k]) << tier << " " << k;
        EXPECT_EQ(stored.a.value[k], row.a.value[k]) << tier << " " << k;
        EXPECT_EQ(stored.b.value[k], row.b.value[k]) << tier << " " << k;
      }
    }
  }
}

Bytes ask(const u8* id, u8 tier, u8 scope, u8 options) {
  proto::HistoryAsk a = {};
  memcpy(a.id, id, 16);
  a.tier = tier;
  a.scope = scope;
  a.options = options;
  a.last = 0xFFFFFFF0;
  Bytes f(64);
  f.resize(proto::encode_history(&a, mem::Slice{f.data(), f.size()}));
  return f;
}

// Frames of one history answer: rounds until the final buckets part.
std::vector<Bytes> answer(Duty* d, HubRig* r, rig::Link* v) {
  std::vector<Bytes> all;
  for (u32 i = 0; i < 400; ++i) {
    d->round();
    for (Bytes& f : v->take(r)) {
      u32 kind = proto::frame_kind(mem::Bytes(f.data(), f.size()));
      if (kind == proto::kind_list || kind == proto::kind_peers) continue;
      all.push_back(f);
      if (kind == proto::kind_buckets && !(proto::frame_flags(mem::Bytes(f.data(), f.size())) & proto::flag_more)) {
        return all;
      }
    }
  }
  ADD_FAILURE() << "no final part";
  return all;
}

TEST(HostDuty, HistoryIsWrittenAndAnsweredNamesTopsEnergyThenBuckets) {
  Duty d;
  d.seconds(1);
  HubRig r(d.host);
  rig::Link pub, view;
  ASSERT_TRUE(pub.join(&r, proto::role_publisher, 0, id_a, 0x0A000001, d.now()));
  pub.send(&r, rig::inventory_frame(id_a, "alpha"), d.now(), d.wall);
  publish(&d, &r, &pub, 45);
  EXPECT_GT(d.host->written.inventories, 0u);
  EXPECT_GE(d.host->written.buckets, 3u);
  ASSERT_TRUE(view.join(&r, proto::role_viewer, 0, nullptr, 0x0A000002, d.now()));
  view.send(&r, ask(id_a, 0, 0, 3), d.now(), d.wall);
  std::vector<Bytes> got = answer(&d, &r, &view);
  std::vector<u32> kinds = rig::kinds_of(got);
  // Names, then top rows, then energy, then buckets: each kind in one run, in that order.
  std::vector<u32> runs;
  for (u32 k : kinds) {
    if (runs.empty() || runs.back() != k) runs.push_back(k);
  }
  EXPECT_EQ(runs, (std::vector<u32>{proto::kind_names, proto::kind_tops, proto::kind_energy, proto::kind_buckets}));
  u32 buckets = 0;
  for (const Bytes& f : got) {
    u32 count = 0, more = 0;
    if (proto::frame_kind(mem::Bytes(f.data(), f.size())) != proto::kind_buckets) continue;
    ASSERT_EQ(proto::check_buckets(mem::Bytes(f.data(), f.size()), &count, &more), proto::ok);
    buckets += count;
  }
  EXPECT_GE(buckets, 3u);
  // An unknown machine: one empty final part.
  const u8 unknown[16] = {0x77};
  view.send(&r, ask(unknown, 0, 0, 3), d.now(), d.wall);
  got = answer(&d, &r, &view);
  ASSERT_EQ(got.size(), 1u);
  u32 count = 9, more = 9;
  ASSERT_EQ(proto::check_buckets(mem::Bytes(got[0].data(), got[0].size()), &count, &more), proto::ok);
  EXPECT_EQ(count, 0u);
  // A tier the wire does not know is a message that does not decode: the member is closed.
  Bytes bad = ask(id_a, 0, 0, 0);
  bad[16 + 16] = 3;
  view.send(&r, bad, d.now(), d.wall);
  EXPECT_TRUE(r.closing(view.slot));
}

TEST(HostDuty, AnAnswerWithoutRoomIsCutShortAndItsMemberGoesOn) {
  Duty d;
  d.seconds(1);
  HubRig r(d.host);
  rig::Link pub, slow, other;
  ASSERT_TRUE(pub.join(&r, proto::role_publisher, 0, id_a, 0x0A000001, d.now()));
  publish(&d, &r, &pub, 12);
  ASSERT_TRUE(slow.join(&r, proto::role_viewer, 0, nullptr, 0x0A000002, d.now()));
  ASSERT_TRUE(other.join(&r, proto::role_viewer, 0, nullptr, 0x0A000003, d.now()));
  slow.take(&r);
  // The slow member's out-buffer is nearly full and nobody drains it; behind its ask waits a ping.
  hub::Slot* sl = &d.host->hub->slot[slow.slot];
  Bytes both = slow.seal(ask(id_a, 0, 0, 0));
  Bytes ping = slow.seal(rig::encoded(proto::encode_ping));
  both.insert(both.end(), ping.begin(), ping.end());
  sl->out_fill = hub::buffer_size - 2000;
  r.feed(slow.slot, both, d.now(), d.wall);
  other.send(&r, ask(id_a, 0, 0, 0), d.now(), d.wall);
  EXPECT_GT(sl->in_fill, 0u);
  for (u32 i = 0; i < 30 && hub::is_in(d.host->hub, hub::set_history, slow.slot); ++i) {
    u32 keep = sl->out_fill;
    d.round();
    sl->out_fill = keep > hub::buffer_size - 2000 ? keep : hub::buffer_size - 2000;
  }
  EXPECT_FALSE(hub::is_in(d.host->hub, hub::set_history, slow.slot));
  EXPECT_EQ(d.host->written.cut_short, 1u);
  EXPECT_EQ(sl->in_fill, 0u);  // the held-back ping ran
  EXPECT_FALSE(r.closing(slow.slot));
  // The other member gets its whole answer.
  sl->out_fill = hub::buffer_size - 2000;
  std::vector<Bytes> got = answer(&d, &r, &other);
  EXPECT_FALSE(got.empty());
}

}  // namespace

namespace {

TEST(HostDuty, TheLoopSleepsUntilItsNextDutyOrWorkThatCanGoOnNow) {
  Duty d;
  d.seconds(8);
  hub::Host* host = d.host;
  hub::Hub* h = host->hub;
  host->share->flags |= share::complete;  // nothing left to carry over
  u64 due = host->start_tick + u64{host->next_tick} * 100;
  struct Case {
    const char* what;
    u64 at;
    u32 wait;
  };
  const Case idle[] = {
      {"most of a second before the tick", due - 700, 700},
      {"long before it: a second at most", due - 5000, 1000},
      {"the tick is due", due, 0},
      {"the tick is late", due + 30, 0},
  };
  for (const Case& c : idle) EXPECT_EQ(hub::wait_ms(host, c.at), c.wait) << c.what;

  u8 challenge[32] = {7};
  u32 s = hub::admit(h, mem::Bytes(challenge, 32), 0x7F000001, d.now());
  ASSERT_NE(s, hub::none);
  hub::put_in(h, hub::set_history, s, true);
  EXPECT_EQ(hub::wait_ms(host, due - 700), 0u) << "a history answer can go on";
  h->slot[s].out_fill = hub::buffer_size - 100;
  EXPECT_EQ(hub::wait_ms(host, due - 700), 700u) << "its member has no room: the socket wakes the loop";
  hub::put_in(h, hub::set_history, s, false);
  h->slot[s].out_fill = 0;
  hub::put_in(h, hub::set_chunk_asked, s, true);
  EXPECT_EQ(hub::wait_ms(host, due - 700), 0u) << "an update chunk can go out";
  h->slot[s].out_fill = 100;
  EXPECT_EQ(hub::wait_ms(host, due - 700), 700u) << "the chunk waits for room";
  hub::put_in(h, hub::set_chunk_asked, s, false);
  host->share->flags &= ~share::complete;
  EXPECT_EQ(hub::wait_ms(host, due - 700), hub::carry_wait) << "an older term is being carried over";
}

// The loop's round that sleeps until the once-a-second duties are due runs them when it wakes: no second round only
// to find that they are due (each round is a poll and the loop's own work, every second).
TEST(HostDuty, TheRoundThatSleptUntilTheTickRunsIt) {
  Duty d;
  d.seconds(3);
  hub::Host* host = d.host;
  ASSERT_EQ(sock::listen(0x7F000001, 0, &host->listener), sock::done);  // something for the poll to wait on
  const u32 next = host->next_tick;
  const u64 rounds = host->rounds;
  host->share->flags |= share::complete;  // nothing left to carry over
  // The host's clock moved so that its next tick is due 50 ms from now on the real clock.
  host->start_tick = os::clock_ms() + 50 - u64{next} * 100;
  hub::run(host, rounds + 1);
  EXPECT_EQ(host->rounds, rounds + 1);
  EXPECT_EQ(host->next_tick, next + 10) << "the round that slept until the tick did not run it";
  EXPECT_EQ(host->stop_reason, hub::stop_none);
}

}  // namespace
