// History under a wrong wall clock, with the clocks moved by libfaketime as a wrong RTC or a hand-set clock would
// move them (the monotonic clock keeps running true): an elected pair whose first host runs a day ahead and is
// killed, and a fixed host restarted a year ahead and then back on the true clock. Each time the host that follows
// writes the minutes after its start where they belong, and the last hour of every machine holds them.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <random>

#include "tests/host/net.h"

namespace {

using net::Clock;

const char* const faketime_library = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";

// Seconds since 2025-01-01 00:00 UTC by the true clock: the slots of history.
u32 true_slot() { return static_cast<u32>(time(nullptr) - 1735689600); }

u8 random_key_first() {
  std::random_device device;
  return static_cast<u8>(0x20 + device() % 0xC0);
}

// The process's wall clock moved by the offset ("+1d", "+365d"); sanitizer builds accept the preload after them.
void fake_clock(net::Process* p, const std::string& offset) {
  const char* asan = getenv("ASAN_OPTIONS");
  p->env = {std::string("LD_PRELOAD=") + faketime_library, "FAKETIME=" + offset, "FAKETIME_DONT_FAKE_MONOTONIC=1",
            std::string("ASAN_OPTIONS=") + (asan != nullptr ? std::string(asan) + ":" : "") +
                "verify_asan_link_order=0"};
}

// The slots of the tier-0 buckets the host at the port answers for one machine (scope 0) or the cluster (scope 1)
// from first to last; empty when it cannot be asked.
std::vector<u32> slots_between(u16 port, const u8* id, u8 scope, u8 key, u32 first, u32 last) {
  std::vector<u32> slots;
  net::Member v(key);
  if (!v.join(port, proto::role_viewer, 0, nullptr)) return slots;
  proto::HistoryAsk ask = {};
  memcpy(ask.id, id, 16);
  ask.scope = scope;
  ask.first = first;
  ask.last = last;
  net::Bytes out(64);
  out.resize(proto::encode_history(&ask, mem::Slice{out.data(), out.size()}));
  v.send(out);
  for (;;) {
    net::Bytes f = v.next(5000);
    if (f.empty()) return slots;
    mem::Bytes frame(f.data(), f.size());
    if (proto::frame_kind(frame) != proto::kind_buckets) continue;
    u32 count = 0, more = 0;
    if (proto::check_buckets(frame, &count, &more) != proto::ok) return slots;
    for (u32 i = 0; i < count; ++i) {
      u8 b[proto::bucket_size];
      if (proto::bucket_at(frame, i, b) != 0) slots.push_back(store::get32(b));
    }
    if (!more) return slots;
  }
}

// The same over the last hour by the true clock.
std::vector<u32> last_hour(u16 port, const u8* id, u8 scope, u8 key) {
  return slots_between(port, id, scope, key, true_slot() - 3600, true_slot() + 60);
}

u32 count_from(const std::vector<u32>& slots, u32 from) {
  u32 n = 0;
  for (u32 s : slots) n += s >= from && s <= true_slot() + 60;
  return n;
}

// Waits until the host at the port holds at least n buckets of the machine from the slot on, and answers how many
// it holds. Counted by slot, never as a rise of the whole count: a host that has just taken a term answers a machine's
// history only once it has carried the older term's rings over, so a count read before that is too low.
u32 buckets_from(u16 port, const u8* id, u8 key, u32 from, u32 n) {
  auto end = Clock::now() + std::chrono::seconds(120);
  auto count = [&] { return static_cast<u32>(slots_between(port, id, 0, key, from, 0xFFFFFFF0).size()); };
  while (count() < n && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(500));
  return count();
}

// Waits until the last hour of the machine, and of the cluster, holds at least three buckets from the slot on.
bool holds_minutes_after(u16 port, const u8* id, u8 key, u32 from, std::string* seen) {
  auto end = Clock::now() + std::chrono::seconds(120);
  while (Clock::now() < end) {
    std::vector<u32> one = last_hour(port, id, 0, key), all = last_hour(port, id, 1, key);
    *seen = "machine " + std::to_string(count_from(one, from)) + " of " + std::to_string(one.size()) + ", cluster " +
            std::to_string(count_from(all, from)) + " of " + std::to_string(all.size());
    if (count_from(one, from) >= 3 && count_from(all, from) >= 3) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  }
  return false;
}

const std::string ahead_line = "vimbrel host: the newest stored history is ";

TEST(ElectionWrongClock, AHostThatTakesOverFromOneADayAheadKeepsTheMinutesAfterTheTakeover) {
  if (!std::filesystem::exists(faketime_library)) GTEST_SKIP() << "libfaketime is not installed";
  testutil::TempDir dir;
  std::string share = dir.path + "/share";
  u8 key = random_key_first();
  net::Agent ahead, right;
  u16 port_ahead = net::free_port(), port_right = net::free_port();
  fake_clock(&ahead.process, "+1d");
  ahead.start(dir.path + "/ahead", {"--elect", share, "--port", std::to_string(port_ahead), "--priority", "255"},
              key);
  ASSERT_TRUE(ahead.process.wait_output(", term 1, share self-test not a share\n", 90)) << ahead.process.out();
  right.start(dir.path + "/right", {"--elect", share, "--port", std::to_string(port_right), "--priority", "100"},
              key);
  ASSERT_TRUE(right.process.wait_output("; the host is 127.0.0.1:" + std::to_string(port_ahead) + ", term 1\n", 60))
      << right.process.out();

  net::Agent agent;
  agent.start(dir.path + "/agent", {"--agent", "--share", share}, key);
  std::string publishing = "vimbrel agent: publishing to 127.0.0.1:";
  ASSERT_TRUE(agent.process.wait_output(publishing + std::to_string(port_ahead) + ", term 1\n", 60))
      << agent.process.out();
  ASSERT_TRUE(agent.read_id());
  // A few buckets stamped a day ahead: the host under libfaketime does run ahead.
  ASSERT_GE(buckets_from(port_ahead, agent.id, key, true_slot() + 86400 - 600, 3), 3u) << ahead.process.out();

  ahead.process.stop(SIGKILL);
  ASSERT_TRUE(right.process.wait_output(", term 2, share self-test not a share\n", 90)) << right.process.out();
  u32 takeover = true_slot();
  ASSERT_TRUE(agent.process.wait_output(publishing + std::to_string(port_right) + ", term 2\n", 90))
      << agent.process.out();
  std::string seen;
  EXPECT_TRUE(holds_minutes_after(port_right, agent.id, key, takeover, &seen)) << seen;
  EXPECT_TRUE(right.process.wait_output(ahead_line, 10)) << right.process.out();
  EXPECT_EQ(net::count_of(right.process.out(), ahead_line), 1u) << right.process.out();
  size_t at = right.process.out().find(ahead_line);
  ASSERT_NE(at, std::string::npos);
  u64 seconds = std::stoull(right.process.out().substr(at + ahead_line.size()));
  EXPECT_GT(seconds, 86400u - 600u);
  EXPECT_LT(seconds, 86400u + 600u);

  EXPECT_EQ(agent.process.stop(SIGTERM), 0) << agent.process.out();
  EXPECT_EQ(right.process.stop(SIGTERM), 0) << right.process.out();
}

// A fixed host on the same share three times: on the true clock, a year ahead, and on the true clock again.
TEST(HostWrongClock, ARestartAYearAheadAndBackKeepsEveryRun) {
  if (!std::filesystem::exists(faketime_library)) GTEST_SKIP() << "libfaketime is not installed";
  testutil::TempDir dir;
  std::string share = dir.path + "/share";
  u16 port = net::port_pair();
  net::Agent agent;
  auto run_host = [&](net::Process* host, const std::string& offset, u32 term) {
    net::make_home(dir.path + "/host");
    if (!offset.empty()) fake_clock(host, offset);
    host->start({"--host", share, "--port", std::to_string(port), "--listen", "127.0.0.1"}, dir.path + "/host");
    return host->wait_output(", term " + std::to_string(term) + ", share self-test", 30);
  };
  const u32 year = 365 * 86400;
  {
    net::Process first;
    ASSERT_TRUE(run_host(&first, "", 1)) << first.out();
    agent.start(dir.path + "/agent", {"--agent", "--server", "127.0.0.1:" + std::to_string(port)});
    ASSERT_TRUE(agent.process.wait_output("vimbrel agent: publishing to ", 60)) << agent.process.out();
    ASSERT_TRUE(agent.read_id());
    ASSERT_GE(buckets_from(port, agent.id, 0x11, 0, 3), 3u);
    EXPECT_EQ(first.stop(SIGTERM), 0) << first.out();
  }
  u32 stored = 0;
  {
    net::Process ahead;
    ASSERT_TRUE(run_host(&ahead, "+365d", 2)) << ahead.out();
    // Its records stand a year ahead: the host under libfaketime does run a year ahead.
    ASSERT_GE(buckets_from(port, agent.id, 0x11, true_slot() + year - 86400, 3), 3u) << ahead.out();
    stored = net::stored_buckets(port, agent.id, 0x11);
    EXPECT_EQ(ahead.stop(SIGTERM), 0) << ahead.out();
  }
  net::Process back;
  ASSERT_TRUE(run_host(&back, "", 3)) << back.out();
  u32 restart = true_slot();
  std::string seen;
  EXPECT_TRUE(holds_minutes_after(port, agent.id, 0x11, restart, &seen)) << seen;
  // Every run stays readable, each at its own time: the first on the true clock, the year ahead, and the one after
  // the restart.
  EXPECT_GE(net::stored_buckets(port, agent.id, 0x11), stored + 3);
  std::vector<u32> all = slots_between(port, agent.id, 0, 0x11, 0, 0xFFFFFFF0);
  u32 runs[3] = {};
  for (u32 slot : all) runs[slot >= restart - 10 + year - 86400 ? 1 : slot >= restart - 10 ? 2 : 0]++;
  EXPECT_GE(runs[0], 3u) << "before the year ahead";
  EXPECT_GE(runs[1], 3u) << "the year ahead";
  EXPECT_GE(runs[2], 3u) << "after the restart";
  // The rings it carried over end a year ahead, so its first records step them back, and it says so once.
  EXPECT_TRUE(back.wait_output(ahead_line, 30)) << back.out();
  EXPECT_EQ(agent.process.stop(SIGTERM), 0) << agent.process.out();
  EXPECT_EQ(back.stop(SIGTERM), 0) << back.out();
  EXPECT_EQ(net::count_of(back.out(), ahead_line), 1u) << back.out();
  size_t at = back.out().find(ahead_line);
  ASSERT_NE(at, std::string::npos);
  u64 seconds = std::stoull(back.out().substr(at + ahead_line.size()));
  EXPECT_GT(seconds, 365u * 86400u - 3600u);
  EXPECT_LT(seconds, 365u * 86400u + 3600u);
}

}  // namespace
