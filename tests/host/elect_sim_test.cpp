// The election's lease and term rules, simulated: three candidates in one process on one share folder and real
// loopback sockets, stepped in turn on one virtual clock of 100 ms rounds. Seeded schedules pause candidates (as
// SIGSTOP would) for random spans, the host among them, and resume them. After every round no two candidates may
// serve with a lease they may still write under, and no term is ever won twice; once everyone runs again, one host
// serves within the lease's bounds.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>

#include "host/elect.h"
#include "tests/host/net.h"
#include "tests/support/testutil.h"

namespace {

void silent(mem::Bytes) {}

struct Sim {
  static constexpr u32 n = 3;
  testutil::TempDir dir;
  std::string share = dir.path + "/share";
  auth::KeyState key;
  std::unique_ptr<elect::Election> e[n];
  u32 paused_until[n] = {};  // round numbers
  u64 tick = 1000000;        // ms, the same clock for all
  u32 round = 0;
  std::map<u32, u32> winner;  // term -> candidate
  std::string failure;

  Sim() {
    net::key_state(&key, 0x61);
    for (u32 i = 0; i < n; ++i) {
      e[i] = std::make_unique<elect::Election>();
      elect::Config c = {};
      c.listen = 0x7F000001;
      c.announce = 0x7F000001;
      c.priority = static_cast<u8>(250 - 60 * i);
      c.start_attempts = 1;
      const u8 id[16] = {static_cast<u8>(0xE0 + i), 0x5A};
      elect::init(e[i].get(), mem::Bytes(reinterpret_cast<const u8*>(share.data()), share.size()), &key, id, &c, tick);
      e[i]->writer = silent;
      EXPECT_EQ(elect::start(e[i].get()), 0u);
      // No beacons here (they are a shortcut, not a safety rule): every candidate follows the lease alone.
      if (e[i]->udp != sock::invalid_socket) sock::close(e[i]->udp);
      e[i]->udp = sock::invalid_socket;
    }
  }
  ~Sim() {
    for (auto& c : e) elect::close(c.get());
  }
  bool serving(u32 i) const {
    const elect::Election* c = e[i].get();
    return c->role == 1 && c->share_state != nullptr && (c->share_state->flags & share::leased) &&
           share::may_write(c->share_state, hub::elapsed_units(c->start_tick, tick));
  }
  u32 hosts() const {
    u32 h = 0;
    for (u32 i = 0; i < n; ++i) h += e[i]->role == 1 ? 1 : 0;
    return h;
  }
  void step() {
    ++round;
    tick += 100;
    for (u32 i = 0; i < n; ++i) {
      if (round < paused_until[i]) continue;
      u8 was = e[i]->role;
      elect::step(e[i].get(), tick, 2000000 + static_cast<u32>(tick / 1000), 0);
      if (e[i]->role == 1 && was == 0) {
        u32 term = e[i]->term;
        if (winner.count(term) != 0 && failure.empty()) {
          failure = "term " + std::to_string(term) + " won twice, round " + std::to_string(round);
        }
        winner[term] = i;
      }
    }
    // Judged at this moment for everyone, the paused too: a paused host would write as soon as it ran again.
    u32 writers = 0;
    for (u32 i = 0; i < n; ++i) writers += serving(i) ? 1 : 0;
    if (writers > 1 && failure.empty()) {
      failure = "two writers in round " + std::to_string(round);
      for (u32 i = 0; i < n; ++i) {
        const elect::Election* c = e[i].get();
        failure += "\n  " + std::to_string(i) + ": role " + std::to_string(c->role) + " term " + std::to_string(c->term) +
                   " now " + std::to_string(c->now) + " paused_until " + std::to_string(paused_until[i]) +
                   (c->share_state ? " renewed " + std::to_string(c->share_state->renewed) + " flags " +
                                         std::to_string(c->share_state->flags) + " sterm " +
                                         std::to_string(c->share_state->term)
                                   : std::string()) +
                   " seen " + std::to_string(c->seen.term) + "/" + std::to_string(c->seen.counter) + "@" +
                   std::to_string(c->seen.time);
      }
    }
  }
  // Rounds until one candidate serves and the rest are candidates that know its term; false after the limit.
  bool settle(u32 limit) {
    for (u32 r = 0; r < limit; ++r) {
      step();
      if (hosts() != 1) continue;
      u32 h = 0;
      while (e[h]->role != 1) ++h;
      bool known = true;
      for (u32 i = 0; i < n; ++i) known = known && (i == h || e[i]->seen.term >= e[h]->term);
      if (known) return true;
    }
    return false;
  }
};

TEST(ElectSimulation, PausedCandidatesAndHostsNeverLeaveTwoWritersAndOneHostReturns) {
  for (u32 seed = 1; seed <= 4; ++seed) {
    Sim sim;
    // An empty share: 15 s without a host, at most 7 rank steps of 2 s and a probe: one host within 40 s.
    ASSERT_TRUE(sim.settle(400)) << "seed " << seed;
    ASSERT_EQ(sim.winner.size(), 1u);
    std::mt19937 random(seed);
    for (u32 fault = 0; fault < 6; ++fault) {
      // Pause the host half of the time, else any candidate, for 0.5 to 40 s.
      u32 victim = random() % Sim::n;
      if (random() % 2 == 0) {
        for (u32 i = 0; i < Sim::n; ++i) {
          if (sim.e[i]->role == 1) victim = i;
        }
      }
      sim.paused_until[victim] = sim.round + 5 + random() % 400;
      while (sim.round < sim.paused_until[victim]) sim.step();
      // Everyone runs again: one host serves within the missing-host wait, the ranks and a claim retry.
      ASSERT_TRUE(sim.settle(600)) << "seed " << seed << ", fault " << fault;
      ASSERT_TRUE(sim.failure.empty()) << sim.failure << ", seed " << seed;
    }
    EXPECT_GT(sim.winner.size(), 1u) << "no fault made another candidate take over, seed " << seed;
    // Terms only grow: every win took a term of its own.
    u32 last = 0;
    for (auto& [term, who] : sim.winner) {
      EXPECT_GT(term, last);
      last = term;
      (void)who;
    }
  }
}

TEST(ElectSimulation, AStrayFileUnderTheNextClaimsNameDoesNotStopTheElection) {
  Sim sim;
  ASSERT_TRUE(sim.settle(400));
  u32 host = 0;
  while (sim.e[host]->role != 1) ++host;
  u32 term = sim.e[host]->term;
  // Whatever left it there, no cluster key sealed it: the next claim goes past it.
  char name[16];
  snprintf(name, sizeof name, "%08x", term + 1);
  testutil::write_file(sim.share + "/claims/" + name, std::string(64, 'x'));
  sim.paused_until[host] = sim.round + 300;
  while (sim.round < sim.paused_until[host]) sim.step();
  ASSERT_TRUE(sim.settle(600));
  ASSERT_TRUE(sim.failure.empty()) << sim.failure;
  u32 now_serving = 0;
  while (sim.e[now_serving]->role != 1) ++now_serving;
  EXPECT_NE(now_serving, host);
  EXPECT_EQ(sim.e[now_serving]->term, term + 2);
}

}  // namespace
