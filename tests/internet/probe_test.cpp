// The probe's decisions over simulated clocks: the schedule, the day's data budget, back-off after failures, the
// latency ring, and the settings file. No test sleeps: every function takes the time it decides on.
#include <gtest/gtest.h>

#include <string>

#include "internet/internet.h"
#include "tests/platform/harness.h"
#include "tests/support/testutil.h"

namespace {

mem::Bytes b(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }
std::string str(mem::Bytes x) { return std::string(reinterpret_cast<const char*>(x.ptr), x.len); }

const internet::Transfer down_ok{0, 25000000, 2000000}, up_ok{0, 10000000, 4000000};

struct World {
  internet::Schedule s;
  internet::LatencyRing ring;
  internet::TestTable table;
  World(u32 now) {
    internet::schedule_init(&s, now);
    internet::ring_clear(&ring);
    internet::table_clear(&table);
  }
};

TEST(Probe, SchedulesAndTheirBudgets) {
  struct Case {
    u32 schedule;
    const char* word;
    const char* label;
    u32 seconds, budget;
    const char* daily;
  } cases[] = {
      {0, "off", "Off", 0, 0, "About 17 MB a day"},
      {1, "hourly", "Every hour", 3600, 841200000, "About 858 MB a day"},
      {2, "3h", "Every 3 hours", 10800, 280400000, "About 298 MB a day"},
      {3, "6h", "Every 6 hours", 21600, 140200000, "About 157 MB a day"},
      {4, "daily", "Once a day", 86400, 35050000, "About 52 MB a day"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(str(internet::schedule_word(c.schedule)), c.word);
    EXPECT_EQ(str(internet::schedule_label(c.schedule)), c.label);
    EXPECT_EQ(internet::schedule_seconds(c.schedule), c.seconds);
    EXPECT_EQ(internet::daily_bytes(c.schedule), c.budget);
    words::Text line{};
    internet::put_daily(&line, c.schedule);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(line.bytes), line.len), c.daily);
    EXPECT_EQ(internet::next_schedule(c.schedule), (c.schedule + 1) % 5);
  }
}

// One simulated day on the daily schedule: the first test after 60 s, then the budget (one test) is used up, so a
// due test waits for the next day window even while the network is busy; the new day lets it run.
TEST(Probe, BudgetHoldsTestsUntilTheNextDay) {
  const u32 t0 = 1000000, sched = internet::schedule_daily;
  World w(t0);
  EXPECT_EQ(internet::due(&w.s, t0, sched, false), internet::request_latency);
  EXPECT_EQ(internet::due(&w.s, t0 + 1, sched, false), internet::request_none);  // one request at a time
  internet::latency_done(&w.s, &w.ring, 0, 20000, 0, t0 + 1);
  EXPECT_EQ(internet::due(&w.s, t0 + 5, sched, false), internet::request_none);
  EXPECT_EQ(internet::due(&w.s, t0 + 60, sched, false), internet::request_speed);  // takes the probe's place
  internet::test_done(&w.s, &w.table, down_ok, up_ok, 0, t0 + 70, sched);
  EXPECT_EQ(w.s.test_status, internet::test_done_ok);
  EXPECT_EQ(w.s.day_bytes, 35050000u);
  EXPECT_EQ(w.s.next_test, t0 + 70 + 86400);
  EXPECT_EQ(internet::newest_down(&w.table), 100000u);
  EXPECT_EQ(w.table.up[0], 20000u);
  EXPECT_EQ(w.s.next_probe, t0 + 70);  // the probe follows at once

  // Pretend the clock jumped to the test's time while the budget stands used and the network is busy.
  internet::latency_done(&w.s, &w.ring, 0, 20000, 0, t0 + 70);
  w.s.next_test = t0 + 1000;
  EXPECT_EQ(internet::due(&w.s, t0 + 1000, sched, true), internet::request_latency);  // the probe goes on
  EXPECT_EQ(w.s.test_status, internet::test_budget);
  EXPECT_EQ(w.s.next_test, t0 + 86400);  // day start + a day, not 300 s
  internet::latency_done(&w.s, &w.ring, 0, 20000, 0, t0 + 1000);
  w.s.next_probe = t0 + 200000;
  EXPECT_EQ(internet::due(&w.s, t0 + 86399, sched, false), internet::request_none);
  EXPECT_EQ(internet::due(&w.s, t0 + 86400, sched, false), internet::request_speed);
  internet::test_done(&w.s, &w.table, down_ok, up_ok, 0, t0 + 86410, sched);
  EXPECT_EQ(w.s.day_start, t0 + 86410);  // the day window rolled before counting
  EXPECT_EQ(w.s.day_bytes, 35050000u);
}

TEST(Probe, BusyNetworkDelaysFiveMinutes) {
  World w(5000);
  w.s.next_probe = 9000;
  EXPECT_EQ(internet::due(&w.s, 5060, internet::schedule_hourly, true), internet::request_none);
  EXPECT_EQ(w.s.test_status, internet::test_busy);
  EXPECT_EQ(w.s.next_test, 5360u);
  struct Case {
    u32 traffic, newest;
    bool busy;
  } cases[] = {{20000, 0, false}, {20001, 0, true}, {25000, 100000, false}, {25001, 100000, true},
               {0xFFFFFFFF, 0xFFFFFFFF, true}};
  for (const Case& c : cases) EXPECT_EQ(internet::is_busy(c.traffic, c.newest), c.busy) << c.traffic;
}

TEST(Probe, OffNeverTestsAndItsBackOffIsUncapped) {
  World w(100);
  w.s.next_probe = 1u << 31;  // far away: only a test could be due
  for (u32 now = 100; now < 100 + 3 * 86400; now += 600)
    EXPECT_EQ(internet::due(&w.s, now, internet::schedule_off, false), internet::request_none) << now;
  const u32 off[11] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 76800, 76800, 76800};
  const u32 hourly[11] = {300, 600, 1200, 2400, 3600, 3600, 3600, 3600, 3600, 3600, 3600};
  for (u32 n = 1; n <= 11; n++) {
    EXPECT_EQ(internet::backoff(n, internet::schedule_off), off[n - 1]) << n;
    EXPECT_EQ(internet::backoff(n, internet::schedule_hourly), hourly[n - 1]) << n;
  }
}

// Failures in a row on the hourly schedule: the waits double up to the interval and the count stops at 16; the
// first success resets them.
TEST(Probe, BackOffAfterFailuresInARow) {
  u32 now = 50000;
  World w(now);
  const internet::Transfer refused{3, 0, 0}, too_short{0, 25000000, 99999};
  const u32 waits[20] = {300, 600, 1200, 2400, 3600, 3600, 3600, 3600, 3600, 3600,
                         3600, 3600, 3600, 3600, 3600, 3600, 3600, 3600, 3600, 3600};
  for (u32 i = 0; i < 20; i++) {
    w.s.pending = internet::request_speed;
    if (i % 3 == 2) {
      internet::abort(&w.s, now, internet::schedule_hourly);  // no answer: costs a whole test
    } else {
      internet::test_done(&w.s, &w.table, i % 2 ? too_short : down_ok, refused, 404, now,
                          internet::schedule_hourly);
      EXPECT_EQ(w.s.last_error, 404u);
    }
    EXPECT_EQ(w.s.failures, i + 1 < 16 ? i + 1 : 16) << i;
    EXPECT_EQ(w.s.test_status, internet::test_failed);
    EXPECT_EQ(w.s.next_test, now + waits[i]) << i;
    EXPECT_EQ(w.s.pending, internet::request_none);
    now = w.s.next_test;
  }
  EXPECT_EQ(w.table.filled, 0u);
  w.s.pending = internet::request_speed;
  internet::test_done(&w.s, &w.table, down_ok, up_ok, 0, now, internet::schedule_hourly);
  EXPECT_EQ(w.s.failures, 0);
  EXPECT_EQ(w.s.next_test, now + 3600);
}

TEST(Probe, BytesCountAgainstTheDayWindow) {
  struct Case {
    u32 day_start, day_bytes, now, add;
    u32 start_after, bytes_after;
  } cases[] = {
      {1000, 5, 1000 + 86399, 10, 1000, 15},
      {1000, 5, 1000 + 86400, 10, 1000 + 86400, 10},
      {1000, 5, 999, 10, 999, 10},  // a clock moved back: a new window at once
      {1000, 0xFFFFFFF0u, 2000, 0x100, 1000, 0xFFFFFFFFu},
  };
  for (const Case& c : cases) {
    internet::Schedule s{};
    s.day_start = c.day_start, s.day_bytes = c.day_bytes;
    internet::count_bytes(&s, c.now, c.add);
    EXPECT_EQ(s.day_start, c.start_after) << c.now;
    EXPECT_EQ(s.day_bytes, c.bytes_after) << c.now;
  }
  internet::Schedule s{};
  s.day_start = 0, s.day_bytes = 841200000 - 1;
  EXPECT_FALSE(internet::budget_used(&s, 10, internet::schedule_hourly));
  s.day_bytes++;
  EXPECT_TRUE(internet::budget_used(&s, 10, internet::schedule_hourly));
  EXPECT_FALSE(internet::budget_used(&s, 86400, internet::schedule_hourly));  // that window has passed

  // A speed test that ends without counting still costs its bytes.
  World w(0);
  w.s.pending = internet::request_speed;
  internet::test_done(&w.s, &w.table, internet::Transfer{1, 7, 5}, up_ok, 0, 10, internet::schedule_hourly);
  EXPECT_EQ(w.s.day_bytes, 7u + 10000000 + 50000);
}

TEST(Probe, AbortedLatencyProbe) {
  World w(700);
  EXPECT_EQ(internet::due(&w.s, 700, internet::schedule_hourly, false), internet::request_latency);
  EXPECT_FALSE(internet::request_stale(&w.s, 759));
  EXPECT_TRUE(internet::request_stale(&w.s, 760));
  internet::abort(&w.s, 760, internet::schedule_hourly);
  EXPECT_EQ(w.s.probe_status, internet::probe_failed);
  EXPECT_EQ(w.s.next_probe, 770u);
  EXPECT_EQ(w.s.day_bytes, 0u);
  EXPECT_EQ(w.s.failures, 0);
}

TEST(Probe, StoredLastTestSetsTheFirstTest) {
  struct Case {
    u32 last, schedule, now, next;
  } cases[] = {
      {0, 1, 10000, 10060},           // none stored
      {9000, 1, 10000, 10000 + 2600}, // 2,600 s left of the hour
      {9990, 1, 10000, 10000 + 3590},
      {5000, 1, 10000, 10060},        // overdue: no earlier than 60 s
      {9990, 0, 10000, 10060},        // off
      {20000, 1, 10000, 10000 + 3600},  // a last test in the future waits one interval at most
  };
  for (const Case& c : cases) {
    internet::Schedule s;
    internet::schedule_init(&s, c.now);
    internet::Settings st{c.last, c.now - 10, 123, 1, u8(c.schedule)};
    internet::schedule_load(&s, &st, c.now);
    EXPECT_EQ(s.next_test, c.next) << c.last;
    EXPECT_EQ(s.flags & internet::flag_last_test_known, c.last ? 1 : 0) << c.last;
    EXPECT_EQ(s.day_bytes, 123u);
  }
}

TEST(Probe, LatencyRing) {
  internet::LatencyRing r;
  internet::ring_clear(&r);
  internet::put_latency(&r, 1, 30000);  // lost before any success
  EXPECT_EQ(r.latency[0], 0);
  internet::put_latency(&r, 0, 20000);
  EXPECT_EQ(r.latency[1], 200);
  EXPECT_EQ(r.jitters[1], 0);  // the first success leaves the jitter at 0
  EXPECT_EQ(r.loss[1], 50);
  internet::put_latency(&r, 0, 36000);  // |360 - 200| / 16 = 10
  EXPECT_EQ(r.jitters[2], 10);
  EXPECT_EQ(r.loss[2], 33);
  internet::put_latency(&r, 0, 20000);  // 10 + (160 - 10) / 16 = 19
  EXPECT_EQ(r.jitters[3], 19);
  internet::put_latency(&r, 2, 0);  // lost: repeats latency and jitter, sets only its lost bit
  EXPECT_EQ(r.latency[4], 200);
  EXPECT_EQ(r.jitters[4], 19);
  EXPECT_TRUE(internet::is_lost(&r, 4));
  EXPECT_FALSE(internet::is_slow(&r, 4));
  internet::put_latency(&r, 0, 20200);  // 19 + (2 - 19) / 16 = 18 (toward zero)
  EXPECT_EQ(r.jitters[5], 18);
  EXPECT_EQ(r.loss[5], 33);  // 2 of 6
  internet::put_latency(&r, 0, 7000000);
  EXPECT_EQ(r.latency[6], 65535);
  EXPECT_TRUE(internet::is_slow(&r, 6));
  EXPECT_EQ(r.loss[6], 17);  // 1 of the newest 6
  for (u32 i = 0; i < 600; i++) internet::put_latency(&r, 0, 10000);
  EXPECT_EQ(r.filled, 600u);
  EXPECT_EQ(r.total, 607u);
  EXPECT_EQ(r.next, 7u);
  EXPECT_FALSE(internet::is_lost(&r, 4));  // overwritten
  EXPECT_FALSE(internet::is_slow(&r, 6));
}

TEST(Probe, Texts) {
  EXPECT_EQ(str(internet::status_text(0)), "Reachable");
  EXPECT_EQ(str(internet::status_text(9)), "Waiting for the first probe");
  EXPECT_EQ(str(internet::test_status_text(4)), "Skipped: the day's data budget for speed tests is used up");
  EXPECT_EQ(str(internet::test_status_text(7)), "No test yet");
}

TEST(Probe, DemoAnswers) {
  u32 status = 9;
  EXPECT_EQ(internet::demo_latency(0, &status), 11000u);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(internet::demo_latency(12, &status), (84 % 9) * 900 + 49000u);
  EXPECT_EQ(internet::demo_latency(16, &status), (112 % 9) * 900 + 11000u);
  EXPECT_EQ(status, 1u);
  World w(100000);
  internet::demo_fill(&w.ring, &w.table, 100000);
  EXPECT_EQ(w.ring.filled, 360u);
  EXPECT_EQ(w.table.filled, 24u);
  EXPECT_EQ(w.table.down[0], 100000u);
  EXPECT_EQ(w.table.time[23], 100000u - 3600);
  w.s.pending = internet::request_speed;
  internet::demo_request(&w.s, &w.ring, &w.table, 1, 100000, internet::schedule_hourly);
  EXPECT_EQ(w.table.filled, 25u);
  EXPECT_EQ(internet::newest_down(&w.table), 88888u);
  EXPECT_EQ(w.s.day_bytes, 35050000u);
}

TEST(Probe, SettingsFileReading) {
  struct Case {
    const char* text;
    u32 result;
    u8 on, schedule;
    u32 last_test;
  } cases[] = {
      {"vimbrel-internet 1", 0, 0, 1, 0},
      {"vimbrel-internet 1\n", 1, 0, 1, 0},
      {"vimbrel-internet 2\ninternet on\n", 0, 0, 1, 0},
      {"vimbrel-internet 1x\ninternet on\n", 0, 0, 1, 0},
      {"vimbrel-internet 1\r\ninternet on\r\nspeed 6h\r\nlast-test 77\r\n", 1, 1, 3, 77},
      {"vimbrel-internet 1\ninternet on \nspeed daily\n", 1, 0, 4, 0},
      {"vimbrel-internet 1\ninternet On\nspeed Daily\n", 1, 0, 1, 0},
      {"vimbrel-internet 1\nspeed off\nspeed daily\n", 1, 0, 0, 0},
      {"vimbrel-internet 1\nspeed \nlast-test 12a\n", 1, 0, 1, 0},
      {"vimbrel-internet 1\nlast-test 99999999999999999999\n", 1, 0, 1, 0xFFFFFFFF},
      {"vimbrel-internet 1\n internet on\n", 1, 0, 1, 0},
  };
  for (const Case& c : cases) {
    internet::Settings s;
    EXPECT_EQ(internet::parse_settings(mem::cstr(c.text), &s), c.result) << c.text;
    EXPECT_EQ(s.on, c.on) << c.text;
    EXPECT_EQ(s.schedule, c.schedule) << c.text;
    EXPECT_EQ(s.last_test, c.last_test) << c.text;
  }
  internet::TestTable t;
  internet::table_clear(&t);
  internet::parse_tests(mem::cstr("vimbrel-internet 1\ntest 5 10 20\ntest 6 0 20\ntest 0 1 2\r\ntest \ntest 8 3\n"
                                  "test 9 4 5 6\nxtest 1 1 1\ntest 7 1 2x\n"),
                        &t);
  ASSERT_EQ(t.filled, 3u);
  EXPECT_EQ(t.time[0], 5u);
  EXPECT_EQ(t.time[1], 0u);  // a time of 0 is taken
  EXPECT_EQ(t.up[1], 2u);
  EXPECT_EQ(t.time[2], 9u);
}

TEST(Probe, SettingsFileRoundTripOnDisk) {
  testutil::TempDir dir;
  std::string path = dir.path + "/Vimbrel/internet.txt";
  internet::Settings s{1234, 5000, 70000000, 1, internet::schedule_3h};
  internet::TestTable t;
  internet::table_clear(&t);
  for (u32 i = 0; i < 70; i++) internet::put_test(&t, 4000000000u + i, 4294967295u, 100 + i);
  ASSERT_EQ(internet::save(b(path), &s, &t), 0u);
  std::string text = testutil::read_file(path);
  EXPECT_LE(text.size(), 1088u);
  std::string head =
      "vimbrel-internet 1\ninternet on\nspeed 3h\nlast-test 1234\nday-start 5000\nday-bytes 70000000\ntest ";
  EXPECT_EQ(text.substr(0, head.size()), head);
  EXPECT_EQ(text.substr(text.size() - 31), "test 4000000069 4294967295 169\n");  // the newest, last

  u8 buf[2000];
  u32 n = internet::read_file(b(path), mem::Slice{buf, sizeof buf});
  internet::Settings back;
  ASSERT_EQ(internet::parse_settings(mem::Bytes(buf, n), &back), 1u);
  EXPECT_EQ(back.last_test, 1234u);
  EXPECT_EQ(back.day_bytes, 70000000u);
  EXPECT_EQ(back.schedule, internet::schedule_3h);
  internet::TestTable t2;
  internet::table_clear(&t2);
  internet::parse_tests(mem::Bytes(buf, n), &t2);
  u32 kept = t2.filled;
  EXPECT_GE(kept, 20u);  // as many of the newest 24 as 1,088 bytes hold
  EXPECT_LE(kept, 24u);
  EXPECT_EQ(t2.time[kept - 1], 4000000069u);

  // Only the first 1,088 bytes are read; a line cut there is read with what is left of it.
  std::string big = "vimbrel-internet 1\n" + std::string(1088 - 19 - 12, '#') + "\ntest 1 22 33\n";
  testutil::write_file(path, big);
  n = internet::read_file(b(path), mem::Slice{buf, sizeof buf});
  EXPECT_EQ(n, 1088u);
  internet::table_clear(&t2);
  internet::parse_tests(mem::Bytes(buf, n), &t2);
  ASSERT_EQ(t2.filled, 1u);
  EXPECT_EQ(t2.up[0], 3u);
  EXPECT_EQ(internet::read_file(b(dir.path + "/missing"), mem::Slice{buf, sizeof buf}), 0u);

  // A save that cannot create its folder reports the failure and leaves what stood there.
  testutil::write_file(dir.path + "/blocked", "x");
  EXPECT_NE(internet::save(b(dir.path + "/blocked/internet.txt"), &s, &t), 0u);
  EXPECT_EQ(testutil::read_file(dir.path + "/blocked"), "x");
}

TEST(Probe, Paths) {
  u8 buf[2000];
  u32 n = internet::test_path(mem::lit("/tmp/t"), mem::Slice{buf, sizeof buf});
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n), "/tmp/t.internet");
  EXPECT_EQ(internet::test_path(mem::lit(""), mem::Slice{buf, sizeof buf}), 0u);
  std::string folder(1024 - 9, 'a');
  EXPECT_EQ(internet::test_path(b(folder), mem::Slice{buf, sizeof buf}), 1024u);
  EXPECT_EQ(internet::test_path(b(folder + "a"), mem::Slice{buf, sizeof buf}), 0u);
  EXPECT_TRUE(internet::is_child(mem::lit("--internet")));
  EXPECT_TRUE(internet::is_check(mem::lit("--internet-check")));
  EXPECT_FALSE(internet::is_check(mem::lit("--internet")));
}

}  // namespace

namespace {

struct Window {
  testutil::TempDir dir;
  mem::Arena shell{};
  internet::Probe p{};
  std::string path;
  Window() : path(dir.path + "/Vimbrel/internet.txt") { EXPECT_EQ(mem::arena_init(&shell, 4096), 1u); }
  ~Window() {
    internet::stop(&p);
    mem::release(&shell);
  }
  void load(bool live, u32 now) {
    internet::Endpoint e = internet::default_endpoint();
    internet::load(&p, &shell, b(path), &e, live, now);
  }
};

// The window's probe under --test: synthetic answers drive the same schedule, and the file follows every change of
// the day's bytes or the last test.
TEST(ProbeWindow, TicksSaveWhatTheScheduleChanges) {
  const u32 t0 = 3000000;
  Window w;
  w.load(false, t0);
  EXPECT_EQ(w.p.data, nullptr);  // off by default: nothing runs
  EXPECT_FALSE(internet::tick(&w.p, t0, 0));
  internet::toggle(&w.p, t0);
  ASSERT_NE(w.p.data, nullptr);
  EXPECT_EQ(w.p.data->ring.filled, 360u);
  EXPECT_EQ(w.p.data->tests.filled, 24u);
  EXPECT_NE(testutil::read_file(w.path).find("internet on\n"), std::string::npos);

  EXPECT_TRUE(internet::tick(&w.p, t0, 0));  // the first probe at once
  EXPECT_EQ(w.p.data->ring.filled, 361u);
  EXPECT_EQ(w.p.data->sequence, 1u);
  for (u32 now = t0 + 1; now < t0 + 60; now++) internet::tick(&w.p, now, 0);
  EXPECT_EQ(w.p.data->tests.filled, 24u);
  EXPECT_TRUE(internet::tick(&w.p, t0 + 60, 0));  // the first test, 60 s after the start
  EXPECT_EQ(w.p.data->tests.filled, 25u);
  std::string text = testutil::read_file(w.path);
  EXPECT_NE(text.find("last-test " + std::to_string(t0 + 60) + "\n"), std::string::npos) << text;
  EXPECT_NE(text.find("day-bytes 35050000\n"), std::string::npos) << text;

  // Off and on again: the stored tests come back and the next test keeps its hour.
  internet::toggle(&w.p, t0 + 100);
  EXPECT_EQ(w.p.data, nullptr);
  std::string off = testutil::read_file(w.path);
  EXPECT_NE(off.find("internet off\n"), std::string::npos);
  EXPECT_NE(off.find("test " + std::to_string(t0 + 60) + " "), std::string::npos);  // the tests stay in the file
  internet::toggle(&w.p, t0 + 200);
  ASSERT_NE(w.p.data, nullptr);
  EXPECT_EQ(w.p.data->tests.filled, 24u);
  EXPECT_EQ(w.p.data->schedule.next_test, t0 + 60 + 3600);
  EXPECT_EQ(w.p.data->schedule.day_bytes, 35050000u);

  internet::cycle_schedule(&w.p, t0 + 300);
  EXPECT_EQ(w.p.settings.schedule, internet::schedule_3h);
  EXPECT_EQ(w.p.data->schedule.next_test, t0 + 360);
  EXPECT_NE(testutil::read_file(w.path).find("speed 3h\n"), std::string::npos);
  EXPECT_EQ(w.p.save_failed, 0);

  // A reload reads back what was saved.
  Window again;
  again.path = w.path;
  again.load(false, t0 + 400);
  EXPECT_EQ(again.p.settings.on, 1);
  EXPECT_EQ(again.p.settings.day_bytes, 35050000u);
  ASSERT_NE(again.p.data, nullptr);
}

// A child that cannot start (here: no section, as the runtime folder cannot be made) gives the request up.
TEST(ProbeWindow, LiveRequestWithoutAChildIsGivenUp) {
  Window w;
  testutil::write_file(w.dir.path + "/file", "");
  harness::EnvVar runtime("XDG_RUNTIME_DIR", w.dir.path + "/file");
  w.load(true, 500);
  internet::toggle(&w.p, 500);
  ASSERT_NE(w.p.data, nullptr);
  EXPECT_EQ(w.p.data->ring.filled, 0u);  // no synthetic data when live
  EXPECT_TRUE(internet::tick(&w.p, 500, 0));
  EXPECT_EQ(w.p.data->start_failed, 1);
  EXPECT_EQ(w.p.data->schedule.probe_status, internet::probe_failed);
  EXPECT_EQ(w.p.data->schedule.pending, internet::request_none);
  EXPECT_EQ(w.p.data->schedule.next_probe, 510u);
}

TEST(ProbeWindow, FailedSaveIsFlaggedAndTheProbeGoesOn) {
  Window w;
  testutil::write_file(w.dir.path + "/Vimbrel", "a file where the folder should be");
  w.load(false, 100);
  internet::toggle(&w.p, 100);
  EXPECT_EQ(w.p.save_failed, 1);
  ASSERT_NE(w.p.data, nullptr);
  EXPECT_TRUE(internet::tick(&w.p, 100, 0));

  Window none;  // no path: runs, reads and writes nothing
  internet::Endpoint e = internet::default_endpoint();
  internet::load(&none.p, &none.shell, mem::Bytes(), &e, false, 100);
  internet::toggle(&none.p, 100);
  EXPECT_EQ(none.p.save_failed, 0);
  EXPECT_NE(none.p.data, nullptr);
}

}  // namespace
