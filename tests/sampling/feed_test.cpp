#include "sampling/feed.h"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/os.h"
#include "platform/proc.h"
#include "sampling/child.h"
#include "tests/platform/forked.h"
#include "tests/platform/harness.h"
#include "tests/support/testutil.h"

namespace {

using harness::bytes;

TEST(FeedLayout, RegionsAndSizes) {
  feed::Layout l;
  feed::layout_init(&l);
  EXPECT_EQ(l.size, 326784u);
  struct Case {
    feed::Region got, want;
  } cases[] = {
      {l.usage, {128, 4288, 4, 4256}},
      {l.hardware, {17280, 11136, 2, 11080}},
      {l.table, {39552, 143616, 2, 143600}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.got.first, c.want.first);
    EXPECT_EQ(c.got.stride, c.want.stride);
    EXPECT_EQ(c.got.slots, c.want.slots);
    EXPECT_EQ(c.got.record_size, c.want.record_size);
  }
}

TEST(FeedLayout, HeaderInitAndMatch) {
  feed::Layout l;
  feed::layout_init(&l);
  std::vector<u8> block(l.size + 100, 0xAB);
  feed::header_init(block.data(), block.size(), l, 4242);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(block.data()), 4), "VBFD");
  struct Word {
    u64 at;
    u32 value;
  } words[] = {{4, 1},  {8, 326784}, {12, 4242}, {16, 0},     {20, 1},     {24, 0},      {40, 0},
               {44, 0}, {48, 4256},  {52, 11080}, {56, 143600}, {60, 0}, {64, 0}, {124, 0}};
  for (const Word& w : words) EXPECT_EQ(feed::get32(block.data(), block.size(), w.at), w.value) << w.at;
  // The block is zeroed up to its size, and nothing beyond it is touched.
  EXPECT_EQ(block[l.size - 1], 0);
  EXPECT_EQ(block[l.size], 0xAB);
  EXPECT_TRUE(feed::header_matches(block.data(), block.size(), l));
  EXPECT_FALSE(feed::header_matches(block.data(), l.size - 1, l));
  for (u64 at : {0u, 4u, 8u, 48u, 52u, 56u}) {
    std::vector<u8> bad = block;
    feed::put32(bad.data(), bad.size(), at, feed::get32(bad.data(), bad.size(), at) + 1);
    EXPECT_FALSE(feed::header_matches(bad.data(), bad.size(), l)) << at;
  }
}

// Each reader check refuses a frame with one value out of its range, and accepts the zero frame.
TEST(FeedChecks, OneBadValueDropsTheFrame) {
  auto usage_bad = [](void (*spoil)(feed::UsageFrame*)) {
    std::vector<u8> bytes(sizeof(feed::UsageFrame), 0);
    auto* f = reinterpret_cast<feed::UsageFrame*>(bytes.data());
    if (!feed::usage_frame_ok(f)) return false;
    spoil(f);
    return !feed::usage_frame_ok(f);
  };
  EXPECT_TRUE(usage_bad([](feed::UsageFrame* f) { f->usage.cpus = 65; }));
  EXPECT_TRUE(usage_bad([](feed::UsageFrame* f) { f->usage.disks = 17; }));
  EXPECT_TRUE(usage_bad([](feed::UsageFrame* f) { f->usage.nics = 9; }));
  EXPECT_TRUE(usage_bad([](feed::UsageFrame* f) { f->usage.gpus = 5; }));
  EXPECT_TRUE(usage_bad([](feed::UsageFrame* f) { f->usage.names = 65; }));
  EXPECT_TRUE(usage_bad([](feed::UsageFrame* f) { f->usage.kernel = 10001; }));
  EXPECT_TRUE(usage_bad([](feed::UsageFrame* f) { f->usage.core_kernel[63] = 201; }));
  EXPECT_TRUE(usage_bad([](feed::UsageFrame* f) { f->usage.disk_level[15] = 201; }));
  EXPECT_TRUE(usage_bad([](feed::UsageFrame* f) { f->usage.gpu_class[3][5] = 10001; }));
  EXPECT_TRUE(usage_bad([](feed::UsageFrame* f) { f->usage.volume_label[25] = 64; }));
  EXPECT_TRUE(usage_bad([](feed::UsageFrame* f) { f->usage.gpu_name[3] = 64; }));
  EXPECT_TRUE(usage_bad([](feed::UsageFrame* f) { f->usage.gpu_classes[0] = 64; }));
  EXPECT_TRUE(usage_bad([](feed::UsageFrame* f) { f->usage.power_flags = 64; }));
  EXPECT_TRUE(usage_bad([](feed::UsageFrame* f) { f->row.load = 10001; }));
  EXPECT_TRUE(usage_bad([](feed::UsageFrame* f) { f->row.gpu_load[3] = 10001; }));
  EXPECT_TRUE(usage_bad([](feed::UsageFrame* f) { f->row.core_load[0] = 201; }));
  EXPECT_TRUE(usage_bad([](feed::UsageFrame* f) { f->row.gpu_engines[3][4] = 201; }));
  EXPECT_TRUE(usage_bad([](feed::UsageFrame* f) { f->row.power_flags = 64; }));

  std::vector<u8> hw_bytes(sizeof(feed::HardwareFrame), 0);
  auto* h = reinterpret_cast<feed::HardwareFrame*>(hw_bytes.data());
  EXPECT_TRUE(feed::hardware_frame_ok(h));
  h->adapters.ipv6_count[63] = 5;
  EXPECT_FALSE(feed::hardware_frame_ok(h));
  h->adapters.ipv6_count[63] = 4;
  h->hardware.vendor = 4;
  EXPECT_FALSE(feed::hardware_frame_ok(h));

  std::vector<u8> table_bytes(sizeof(model::ProcTable), 0);
  auto* t = reinterpret_cast<model::ProcTable*>(table_bytes.data());
  model::table_init(t);
  model::proc_upsert(t, 77, 1, 5, mem::lit("a.exe"));
  EXPECT_TRUE(feed::table_frame_ok(t));
  t->row_of[1023] = 1024;
  EXPECT_FALSE(feed::table_frame_ok(t));
  t->row_of[1023] = 0;
  t->cpu[0] = 10001;
  EXPECT_FALSE(feed::table_frame_ok(t));
  t->cpu[0] = 0;
  // A full hash table would make a probe for a missing pid loop forever.
  for (u32 i = 0; i < model::hash_size; ++i) t->hash[i] = (u64{1} << 32) | (i + 1000);
  EXPECT_FALSE(feed::table_frame_ok(t));
}

// The child's decisions without a collector: a block in plain memory, no parent to watch.
struct FakeChild {
  std::vector<u8> block;
  child::Section section{};
  feed::Child c{};
  FakeChild() {
    feed::layout_init(&c.layout);
    block.assign(c.layout.size, 0);
    feed::header_init(block.data(), block.size(), c.layout, 1);
    section.view = block.data();
    section.view_size = block.size();
    c.section = &section;
  }
  void put(u64 at, u32 value) { feed::put32(block.data(), block.size(), at, value); }
};

TEST(FeedChild, UsageIsSampledOnlyWhenAskedAndDue) {
  FakeChild f;
  f.c.usage_count = 1;
  f.c.last_sample_ms = 1000;
  // Asked, but within 250 ms of the last sample: nothing is sampled (no collector is there to ask).
  f.put(feed::usage_request_at, 5);
  EXPECT_EQ(feed::child_step(&f.c, 1249), 0u);
  EXPECT_EQ(f.c.last_sample_ms, 1000u);
  // Not asked (request equal to what is published): nothing either, however late.
  f.put(feed::usage_request_at, 1);
  EXPECT_EQ(feed::child_step(&f.c, 90000), 0u);
  EXPECT_EQ(f.c.last_sample_ms, 1000u);
  EXPECT_EQ(feed::get32(f.block.data(), f.block.size(), feed::heartbeat_at), 2u);
  f.put(feed::stop_at, 1);
  EXPECT_EQ(feed::child_step(&f.c, 90000), 1u);
}

TEST(FeedChild, TablesAreDueOnlyOneOrTwoAhead) {
  struct Case {
    u32 published, request, taken;
    u64 last, now;
    bool due, stale;
  } cases[] = {
      {0, 0, 0, 0, 10, false, true},         // not asked
      {0, 1, 0, 0, 10, true, true},          // the first table
      {3, 4, 1, 10000, 10999, false, false}, // within a second
      {3, 4, 1, 10000, 11000, true, false},  // a second later
      {3, 5, 1, 10000, 11000, true, false},  // two ahead
      {3, 6, 1, 10000, 20000, false, true},  // three ahead: a stale request is ignored
      {3, 3, 1, 10000, 20000, false, true},  // served already
      {3, 4, 1, 10000, 15000, true, true},   // five seconds without a table: the rates restart
  };
  for (const Case& k : cases) {
    FakeChild f;
    f.c.table_count = k.published;
    f.c.tables_taken = k.taken;
    f.c.last_table_ms = k.last;
    f.put(feed::table_request_at, k.request);
    EXPECT_EQ(feed::procs_due(&f.c, k.now), k.due) << k.request << " " << k.now;
    EXPECT_EQ(feed::procs_stale(&f.c, k.now), k.stale) << k.request << " " << k.now;
  }
}

// How long a child on its request event may sleep: until a request it holds can be served, else the idle limit.
TEST(FeedChild, SleepsUntilARequestCanBeServed) {
  struct Case {
    u32 usage_published, usage_request, tables, table_request, taken;
    u64 last_sample, last_table, now, wait;
  } cases[] = {
      {1, 1, 0, 0, 0, 1000, 0, 5000, feed::idle_wait_ms},  // nothing asked
      {1, 2, 0, 0, 0, 1000, 0, 1100, 150},                 // a usage frame, 250 ms after the last sample
      {1, 2, 0, 0, 0, 1000, 0, 1300, 0},                   // due already
      {1, 1, 3, 4, 1, 1000, 10000, 10700, 300},            // the next table, a second after the last
      {1, 1, 3, 4, 1, 1000, 10000, 10100, feed::idle_wait_ms},
      {1, 1, 0, 1, 0, 1000, 0, 50, 0},                     // the first table: due at once
      {1, 1, 3, 6, 1, 1000, 10000, 10700, feed::idle_wait_ms},  // three ahead: ignored
      {1, 2, 3, 4, 1, 10800, 10000, 10900, 100},           // both: the sooner one
  };
  for (const Case& k : cases) {
    FakeChild f;
    f.c.usage_count = k.usage_published;
    f.c.last_sample_ms = k.last_sample;
    f.c.table_count = k.tables;
    f.c.tables_taken = k.taken;
    f.c.last_table_ms = k.last_table;
    f.put(feed::usage_request_at, k.usage_request);
    f.put(feed::table_request_at, k.table_request);
    EXPECT_EQ(feed::next_wait(&f.c, k.now), k.wait) << k.usage_request << " " << k.table_request << " " << k.now;
  }
}

// ---- The real `--collector` child of the built executable.

struct CollectorTest : ::testing::Test {
  testutil::TempDir dir;
  harness::EnvVar runtime{"XDG_RUNTIME_DIR", dir.path};
  feed::Layout layout;
  child::Section s;

  void SetUp() override {
    feed::layout_init(&layout);
    ASSERT_TRUE(child::create_section(&s, layout.size));
    feed::header_init(s.view, s.view_size, layout, os::process_id());
  }
  void TearDown() override { child::stop(&s); }

  void launch() {
    std::string words = "--collector " + std::string(reinterpret_cast<char*>(s.name), s.name_length);
    ASSERT_EQ(proc::spawn(bytes(VIMBREL_EXE), bytes(words), proc::spawn_job, &s.process, nullptr), 1u);
  }
  u32 word(u64 at) { return feed::get32(s.view, s.view_size, at); }
  void put(u64 at, u32 value) { feed::put32(s.view, s.view_size, at, value); }

  // Waits (60 s at most, only as a guard) for the word to reach the value.
  bool reaches(u64 at, u32 value) {
    long long deadline = forked::now_ms() + 60000;
    while (word(at) < value) {
      if (forked::now_ms() > deadline || !child::is_running(&s)) return word(at) >= value;
      usleep(2000);
    }
    return true;
  }
  // Lets the child run the given number of rounds.
  bool rounds(u32 n) { return reaches(feed::heartbeat_at, word(feed::heartbeat_at) + n); }
  u32 exit_code() {
    u32 code = 999;
    if (proc::wait_end(&s.process, 60000)) proc::exit_code(&s.process, &code);
    return code;
  }
};

TEST_F(CollectorTest, AnswersRequestsWithFramesOfThisMachine) {
  launch();
  ASSERT_TRUE(reaches(feed::usage_published_at, 1));
  EXPECT_EQ(word(feed::state_at), feed::state_running);
  EXPECT_EQ(word(feed::child_pid_at), s.process.process_id);
  EXPECT_EQ(word(feed::hardware_published_at), 1u);

  std::vector<u8> bytes_out(sizeof(feed::UsageFrame));
  auto* frame = reinterpret_cast<feed::UsageFrame*>(bytes_out.data());
  ASSERT_TRUE(feed::slot_read(s.view, s.view_size, layout.usage, 1, mem::Slice{bytes_out.data(), bytes_out.size()}));
  EXPECT_TRUE(feed::usage_frame_ok(frame));
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  EXPECT_EQ(frame->usage.cpus, static_cast<u32>(online < 64 ? online : 64));
  EXPECT_GT(frame->usage.memory_total, 0u);

  std::vector<u8> hw_out(sizeof(feed::HardwareFrame));
  ASSERT_TRUE(feed::slot_read(s.view, s.view_size, layout.hardware, 1, mem::Slice{hw_out.data(), hw_out.size()}));
  EXPECT_TRUE(feed::hardware_frame_ok(reinterpret_cast<feed::HardwareFrame*>(hw_out.data())));

  // A request equal to what is published produces nothing; one more produces exactly one frame.
  ASSERT_TRUE(rounds(10));
  EXPECT_EQ(word(feed::usage_published_at), 1u);
  put(feed::usage_request_at, 2);
  ASSERT_TRUE(reaches(feed::usage_published_at, 2));
  ASSERT_TRUE(rounds(10));
  EXPECT_EQ(word(feed::usage_published_at), 2u);
  ASSERT_TRUE(feed::slot_read(s.view, s.view_size, layout.usage, 2, mem::Slice{bytes_out.data(), bytes_out.size()}));
  EXPECT_TRUE(feed::usage_frame_ok(frame));

  // A process table on request: this test process is in it, and the first table starts the rates (epoch 1).
  EXPECT_EQ(word(feed::table_published_at), 0u);
  put(feed::table_request_at, 1);
  ASSERT_TRUE(reaches(feed::table_published_at, 1));
  EXPECT_EQ(word(feed::epoch_at), 1u);
  std::vector<u8> table_out(sizeof(model::ProcTable));
  auto* table = reinterpret_cast<model::ProcTable*>(table_out.data());
  ASSERT_TRUE(feed::slot_read(s.view, s.view_size, layout.table, 1, mem::Slice{table_out.data(), table_out.size()}));
  EXPECT_TRUE(feed::table_frame_ok(table));
  EXPECT_NE(model::proc_find_row(table, os::process_id()), model::no_row);
  EXPECT_NE(model::proc_find_row(table, s.process.process_id), model::no_row);

  // A table request three ahead is stale and ignored.
  put(feed::table_request_at, 4);
  ASSERT_TRUE(rounds(30));
  EXPECT_EQ(word(feed::table_published_at), 1u);

  put(feed::stop_at, 1);
  EXPECT_EQ(exit_code(), 0u);
  EXPECT_EQ(word(feed::state_at), feed::state_stopped);
}

// The number of the system call a process is blocked in ("7" for poll on x86-64), or empty.
std::string blocked_in(u32 pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
  std::string number;
  in >> number;
  return number;
}

// The process holds a descriptor of the file whose path ends so.
bool holds(u32 pid, const std::string& ending) {
  std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(folder.c_str());
  bool found = false;
  while (dirent* e = d ? readdir(d) : nullptr) {
    char target[512] = {};
    ssize_t n = readlink((folder + "/" + e->d_name).c_str(), target, sizeof target - 1);
    std::string t(target, n > 0 ? static_cast<size_t>(n) : 0);
    found = found || (t.size() >= ending.size() && t.compare(t.size() - ending.size(), ending.size(), ending) == 0);
  }
  if (d) closedir(d);
  return found;
}

// With a request event the child sleeps on it between requests: it wakes only when asked or at its idle limit
// (its heartbeat still moves), answers what it is asked, and still ends soon after its parent.
TEST_F(CollectorTest, SleepsOnItsRequestEventUntilAsked) {
  // A stand-in parent whose end the child must notice (this process stays the child's real parent).
  pid_t parent = fork();
  if (parent == 0) {
    pause();
    _exit(0);
  }
  put(feed::parent_pid_at, static_cast<u32>(parent));
  ASSERT_TRUE(child::make_requests(&s));
  launch();
  ASSERT_TRUE(reaches(feed::usage_published_at, 1));
  ASSERT_TRUE(rounds(1));

  // Idle, it holds the block's event open and waits in poll (x86-64 poll or ppoll).
  u8 event_name[child::name_capacity];
  const u64 event_length = child::request_name(s, event_name);
  ASSERT_GT(event_length, s.name_length);
  std::string event_file = "/" + std::string(reinterpret_cast<char*>(event_name) + 6, event_length - 6) + ".event";
  EXPECT_TRUE(holds(s.process.process_id, event_file));
  bool waits_on_event = false;
  for (int tries = 0; tries < 200 && !waits_on_event; ++tries) {
    std::string call = blocked_in(s.process.process_id);
    waits_on_event = call == "7" || call == "271";
    if (!waits_on_event) usleep(10000);
  }
  EXPECT_TRUE(waits_on_event);
  // Two idle seconds are at most five rounds (a child on 50 ms rounds makes forty).
  u32 beats = word(feed::heartbeat_at);
  usleep(2000000);
  EXPECT_LE(word(feed::heartbeat_at) - beats, 5u);

  // Asked through the event, it answers.
  child::ask(&s, feed::usage_request_at, 2);
  child::ask(&s, feed::table_request_at, 1);
  ASSERT_TRUE(reaches(feed::usage_published_at, 2));
  ASSERT_TRUE(reaches(feed::table_published_at, 1));

  // The parent's end is seen at the next wake: within two rounds of at most idle_wait_ms each.
  ASSERT_TRUE(rounds(1));
  beats = word(feed::heartbeat_at);
  kill(parent, SIGKILL);
  waitpid(parent, nullptr, 0);
  EXPECT_EQ(exit_code(), 0u);
  EXPECT_LE(word(feed::heartbeat_at) - beats, 2u);
  EXPECT_EQ(word(feed::state_at), feed::state_stopped);
}

TEST_F(CollectorTest, EndsWhenItsParentEnds) {
  // A stand-in parent whose end the child must notice.
  pid_t parent = fork();
  if (parent == 0) {
    pause();
    _exit(0);
  }
  put(feed::parent_pid_at, static_cast<u32>(parent));
  launch();
  ASSERT_TRUE(reaches(feed::usage_published_at, 1));
  kill(parent, SIGKILL);
  waitpid(parent, nullptr, 0);
  EXPECT_EQ(exit_code(), 0u);
  EXPECT_EQ(word(feed::state_at), feed::state_stopped);
}

// A block of another version, size or record size, or of a parent that cannot be watched: the child ends with code
// 3 before it writes anything.
TEST_F(CollectorTest, RefusesAForeignHeader) {
  for (u64 at : {u64{feed::version_at}, u64{feed::size_at}, u64{feed::usage_size_at}, u64{feed::table_size_at}}) {
    feed::header_init(s.view, s.view_size, layout, os::process_id());
    put(at, word(at) + 1);
    launch();
    EXPECT_EQ(exit_code(), 3u) << at;
    proc::close(&s.process);
    EXPECT_EQ(word(feed::heartbeat_at), 0u);
    EXPECT_EQ(word(feed::child_pid_at), 0u);
    EXPECT_EQ(word(feed::state_at), 0u);
  }
  // A parent that cannot be watched (here: a process id no process has) would leave the child running forever.
  feed::header_init(s.view, s.view_size, layout, 0x7FFFFFF0u);
  launch();
  EXPECT_EQ(exit_code(), 3u);
  EXPECT_EQ(word(feed::heartbeat_at), 0u);
}

// A slot caught under rewrite (odd sequence) or rewritten with a later frame is not handed out.
TEST_F(CollectorTest, TornFramesAreDropped) {
  std::vector<u8> frame(sizeof(feed::UsageFrame), 0);
  ASSERT_TRUE(feed::frame_put(s.view, s.view_size, layout.usage, feed::usage_published_at, 1,
                              mem::Bytes{frame.data(), frame.size()}));
  mem::Slice out{frame.data(), frame.size()};
  EXPECT_TRUE(feed::slot_read(s.view, s.view_size, layout.usage, 1, out));
  u64 at = feed::slot_offset(layout.usage, 1);
  feed::put64(s.view, s.view_size, at, 1);  // the writer is inside the copy
  EXPECT_FALSE(feed::slot_read(s.view, s.view_size, layout.usage, 1, out));
  feed::put64(s.view, s.view_size, at, 10);  // frame 5 took the slot
  EXPECT_FALSE(feed::slot_read(s.view, s.view_size, layout.usage, 1, out));
}

}  // namespace
