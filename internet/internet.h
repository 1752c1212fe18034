#pragma once
// The internet probe's state on the window's side: its settings file ("vimbrel-internet 1"), the speed-test schedule
// and the daily data budget with back-off, the due decision, the ring of latency probes and the table of speed
// tests, and the synthetic answers used under --test. Every decision takes the clock as an argument (wall seconds
// since 2025-01-01); nothing here waits or reads a clock. A stored time T has come when the signed 32-bit difference
// now - T is at least 0.
#include "base/mem.h"
#include "base/words.h"
#include "sampling/child.h"

namespace internet {

// ---- The command line's matchers.
bool is_child(mem::Bytes word);  // "--internet"
bool is_check(mem::Bytes word);  // "--internet-check"

// ---- Settings and schedules.

enum : u8 { schedule_off = 0, schedule_hourly = 1, schedule_3h = 2, schedule_6h = 3, schedule_daily = 4 };
inline constexpr u32 test_bytes = 35050000;     // one speed test: 25 MB down, 10 MB up, 50 kB around them
inline constexpr u32 probe_bytes_a_day = 17280000;  // 8,640 latency probes
inline constexpr u32 day_seconds = 86400;

struct Settings {
  u32 last_test;  // 0 none
  u32 day_start;
  u32 day_bytes;
  u8 on;
  u8 schedule;
};
void settings_reset(Settings* s);  // off, hourly, zeros

u32 schedule_seconds(u32 schedule);  // 0 when off or unknown
mem::Bytes schedule_word(u32 schedule);
mem::Bytes schedule_label(u32 schedule);
u32 daily_bytes(u32 schedule);  // the speed tests' budget a day
u64 daily_mb(u32 schedule);     // the estimate with the latency probes, in whole millions of bytes (half up)
void put_daily(words::Text* line, u32 schedule);  // "About N MB a day"
u8 next_schedule(u32 schedule);

// ---- Probes and tests.

inline constexpr u32 ring_capacity = 600;
inline constexpr u32 table_capacity = 64;

struct LatencyRing {
  u32 capacity;
  u32 next;
  u32 filled;
  u32 total;
  u16 last_latency;  // tenths of a millisecond
  u16 jitter;        // tenths of a millisecond
  u8 has_previous;
  u16 latency[ring_capacity];
  u16 jitters[ring_capacity];
  u8 loss[ring_capacity];  // percent of the newest (at most 6) probes lost
  u64 lost[10];
  u64 slow[10];
};

struct TestTable {
  u32 capacity;
  u32 next;
  u32 filled;
  u32 total;
  u32 down[table_capacity];  // kbit/s
  u32 up[table_capacity];
  u32 time[table_capacity];
};

// Probe status (the last latency answer) and test status (the fate of the last due speed test).
enum : u8 { probe_ok = 0, probe_timeout = 1, probe_no_connection = 2, probe_refused = 3, probe_failed = 4,
            probe_waiting = 5 };
enum : u8 { test_none = 0, test_done_ok = 1, test_busy = 2, test_failed = 3, test_budget = 4 };
enum : u8 { request_none = 0, request_latency = 1, request_speed = 2 };
enum : u8 { flag_last_test_known = 1 };

struct Schedule {
  u32 next_probe;
  u32 next_test;
  u32 sent;
  u32 last_test;
  u32 last_error;
  u32 day_start;
  u32 day_bytes;
  u8 pending;
  u8 test_status;
  u8 probe_status;
  u8 flags;
  u8 failures;  // 0..16
};

// The result of one timed transfer of the request child.
struct Transfer {
  u32 status;
  u32 bytes;
  u32 micros;
};

mem::Bytes status_text(u32 probe_status);
mem::Bytes test_status_text(u32 test_status);

void ring_clear(LatencyRing* ring);
void table_clear(TestTable* table);
void put_latency(LatencyRing* ring, u32 status, u32 micros);
bool is_lost(const LatencyRing* ring, u32 index);
bool is_slow(const LatencyRing* ring, u32 index);
void put_test(TestTable* table, u32 time, u32 down, u32 up);
u32 newest_down(const TestTable* table);  // 0 while empty

bool has_come(u32 now, u32 time);
void day_roll(Schedule* s, u32 now);
void count_bytes(Schedule* s, u32 now, u32 bytes);
bool budget_used(const Schedule* s, u32 now, u32 schedule);
bool is_busy(u32 traffic_kbps, u32 newest_down_kbps);
bool request_stale(const Schedule* s, u32 now);
u32 backoff(u32 failures, u32 schedule);
bool transfer_ok(Transfer t);
u32 kbps_of(u32 bytes, u32 micros);

// A fresh schedule at start, then the stored settings taken into it.
void schedule_init(Schedule* s, u32 now);
void schedule_load(Schedule* s, const Settings* settings, u32 now);
// The request to send now (request_none, request_latency or request_speed); a request becomes pending.
u8 due(Schedule* s, u32 now, u32 schedule, bool busy);
void latency_done(Schedule* s, LatencyRing* ring, u32 status, u32 micros, u32 error, u32 now);
void test_done(Schedule* s, TestTable* table, Transfer down, Transfer up, u32 error, u32 now, u32 schedule);
void fail_later(Schedule* s, u32 now, u32 schedule);
// Gives up the pending request (no answer in 60 s, or the child ended or did not start).
void abort(Schedule* s, u32 now, u32 schedule);

// ---- Synthetic answers under --test.

u32 demo_latency(u32 n, u32* status);  // microseconds of probe n; status 1 when it is lost
void demo_fill(LatencyRing* ring, TestTable* table, u32 now);  // 360 probes; 24 tests when the table is empty
void demo_request(Schedule* s, LatencyRing* ring, TestTable* table, u32 sequence, u32 now, u32 schedule);

// ---- The settings file.

inline constexpr u32 file_capacity = 1088;
inline constexpr u32 path_capacity = 1024;

// APPDATA and "\Vimbrel\internet.txt"; 0 when unset, empty or 1,025 bytes or more. The path's length.
u32 settings_path(mem::Slice buffer);
// Under --test: the test folder followed by ".internet"; 0 when the folder is empty or the whole is too long.
u32 test_path(mem::Bytes folder, mem::Slice buffer);
// Decimal digits saturating at 2^32-1; empty or any other byte gives 0.
u32 parse_number(mem::Bytes value);
// The rest of the first line (CR before its LF dropped) that begins with the key; empty when there is none.
mem::Bytes find_key(mem::Bytes text, mem::Bytes key);
// Resets the settings, then reads them; 0 when the header is wrong (the defaults stand).
u32 parse_settings(mem::Bytes text, Settings* s);
// Every "test <time> <down> <up>" line with both rates nonzero, in order, into the table.
void parse_tests(mem::Bytes text, TestTable* table);
// The six settings lines and the newest 24 tests, oldest first, in at most 1,088 bytes; the length.
u32 format_file(const Settings* s, const TestTable* table, mem::Slice buffer);
// At most the first 1,088 bytes; a file that cannot be read counts as empty. The length read.
u32 read_file(mem::Bytes path, mem::Slice buffer);
// Creates the folder chain and replaces the file whole. 0 or the file layer's error class.
u32 save(mem::Bytes path, const Settings* s, const TestTable* table);

// ---- The window's probe.

// The speed-test service to ask.
struct Endpoint {
  u8 host[64];
  u32 host_length;
  u32 port;
  u32 secure;
};
Endpoint default_endpoint();  // the public speed-test service, port 443, secure

// Present only while the probe is on; one allocation from an arena of its own.
struct ProbeData {
  LatencyRing ring;
  TestTable tests;
  Schedule schedule;
  child::Section child;  // the --internet request child and its block
  u32 sequence;          // incremented before each request: the first is 1
  u8 start_failed;
};

struct Probe {
  ProbeData* data;
  mem::Arena arena;
  mem::Bytes path;  // empty: the probe runs but nothing is read or written
  Endpoint endpoint;
  Settings settings;
  u8 live;  // 0 under --test: requests are answered here with synthetic results
  u8 save_failed;
};

// Start: copies the path into the shell's arena, reads the file and opens the data when the probe is on.
void load(Probe* p, mem::Arena* shell, mem::Bytes path, const Endpoint* endpoint, bool live, u32 now);
// The one-second tick; traffic is this machine's network traffic in kbit/s. True when the page must be drawn again.
bool tick(Probe* p, u32 now, u32 traffic);
bool step(Probe* p, u32 now, u32 traffic);
void toggle(Probe* p, u32 now);
void cycle_schedule(Probe* p, u32 now);
// Saves the settings and the tests (the file's own test lines when the data is absent).
void persist(Probe* p);
// Takes the schedule's day count and last test into the settings and saves them (the probe has its data).
void save_changed(Probe* p);
void apply_on(Probe* p, u32 now);
void open_data(Probe* p, u32 now);
void free_data(Probe* p);
inline void stop(Probe* p) { free_data(p); }

// The window's side of the --internet request child (internet/request.h). Start the child for the endpoint (false,
// with nothing running, when it cannot start); take its answer for the pending request (true when one was taken);
// write the pending request into its block; stop it (stop word, 200 ms, then ended) and clear its record.
bool start_child(ProbeData* data, const Endpoint* endpoint);
bool take_result(ProbeData* data, u32 now, u32 schedule);
void send_request(ProbeData* data);
void stop_child(ProbeData* data);

}  // namespace internet
