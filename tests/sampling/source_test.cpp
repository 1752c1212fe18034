#include "sampling/source.h"

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/os.h"
#include "tests/platform/forked.h"
#include "tests/platform/harness.h"
#include "tests/support/testutil.h"

namespace {

using harness::bytes;

// With this variable set the child only beats and never publishes a frame.
constexpr char silent_variable[] = "VIMBREL_TEST_SILENT_COLLECTOR";

[[noreturn]] void silent(mem::Bytes name) {
  child::Section s;
  if (!child::open_section(name, &s)) _exit(3);
  u64 parent = child::open_parent(feed::get32(s.view, s.view_size, feed::parent_pid_at));
  while (child::round(&s, parent) == 0) os::sleep_ms(50);
  child::close_handle(parent);
  child::unmap(&s);
  _exit(0);
}

// ---- The source starts its own executable as the collector child; this test program is that executable, so
// started with "--collector <name>" it runs the collector's own mode and ends before any test runs.
struct CollectorMode {
  CollectorMode() {
    std::vector<std::string> args = testutil::own_arguments();
    if (args.size() != 3 || args[1] != "--collector") return;
    if (getenv(silent_variable)) silent(bytes(args[2]));
    _exit(static_cast<int>(feed::main(bytes(args[2]))));
  }
} collector_mode;

struct SourceTest : ::testing::Test {
  testutil::TempDir dir;
  harness::EnvVar runtime{"XDG_RUNTIME_DIR", dir.path};
  std::unique_ptr<source::Source> src = std::make_unique<source::Source>();
  std::unique_ptr<machine::Machine> m = std::make_unique<machine::Machine>();
  std::unique_ptr<model::ProcTable> table = std::make_unique<model::ProcTable>();

  SourceTest() {
    memset(src.get(), 0, sizeof *src);
    model::table_init(table.get());
  }
  ~SourceTest() override { source::stop(src.get()); }

  u32 word(u64 at) { return feed::get32(src->child.view, src->child.view_size, at); }
  void put(u64 at, u32 value) { feed::put32(src->child.view, src->child.view_size, at, value); }

  // Waits until the child has published its first frame, then lets the source read it the way the window does:
  // the start-up timer while a sample is due, else the one-second tick. A relaunched child can find the source
  // live already (the tick that saw the old child die folded its last frame), and then only the tick reads it.
  bool first_frame() {
    if (!published(1)) return false;
    if (src->mode == source::mode_due)
      source::sample_now(src.get(), m.get());
    else
      source::tick(src.get(), m.get());
    return src->phase == source::phase_running;
  }
  // Waits until the child has published frame n.
  bool published(u32 n) {
    long long deadline = forked::now_ms() + 60000;
    while (word(feed::usage_published_at) < n && forked::now_ms() < deadline) usleep(5000);
    return word(feed::usage_published_at) >= n;
  }
  void kill_child() {
    ASSERT_NE(src->child.process.process_id, 0u);
    kill(static_cast<pid_t>(src->child.process.process_id), SIGKILL);
    // Until the end is visible to the source.
    long long deadline = forked::now_ms() + 60000;
    while (child::is_running(&src->child) && forked::now_ms() < deadline) usleep(5000);
  }
};

u32 online_cpus() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return static_cast<u32>(n < 64 ? n : 64);
}

TEST_F(SourceTest, ChildFramesFillTheMachineAndTheRing) {
  source::start_child(src.get(), m.get(), false, 0);
  EXPECT_EQ(src->mode, source::mode_due);
  EXPECT_TRUE(source::waiting_first(src.get()));
  ASSERT_TRUE(first_frame());
  EXPECT_FALSE(source::waiting_first(src.get()));
  EXPECT_EQ(m->cpus, online_cpus());
  EXPECT_GT(m->memory_total, 0u);
  EXPECT_EQ(m->ring.count, 0u);  // the row of frame 1 has no rates
  EXPECT_EQ(word(feed::usage_request_at), 2u);

  ASSERT_TRUE(published(2));
  source::tick(src.get(), m.get());
  EXPECT_EQ(src->mode, source::mode_live);
  EXPECT_EQ(m->ring.count, 1u);
  EXPECT_EQ(src->misses, 0);

  // Frames published while the window was busy are folded, at most three back.
  put(feed::usage_request_at, 8);
  ASSERT_TRUE(published(7));
  source::tick(src.get(), m.get());
  EXPECT_EQ(src->last_usage, 7u);
  EXPECT_EQ(m->ring.count, 4u);
  EXPECT_EQ(word(feed::usage_request_at), 8u);
}

TEST_F(SourceTest, ChildProcessTablesOnRequest) {
  source::start_child(src.get(), m.get(), false, 0);
  ASSERT_TRUE(first_frame());
  // No table yet: the request clears the table and asks for number 1.
  EXPECT_EQ(source::procs_request(src.get(), table.get()), 1u);
  EXPECT_EQ(word(feed::table_request_at), 1u);
  long long deadline = forked::now_ms() + 60000;
  u32 got = 0;
  while (got == 0 && forked::now_ms() < deadline) {
    got = source::procs_tick(src.get(), table.get());
    usleep(20000);
  }
  ASSERT_EQ(got, 1u);
  EXPECT_EQ(src->rates_restart, 1);  // the first table restarts the rates
  EXPECT_NE(model::proc_find_row(table.get(), os::process_id()), model::no_row);
  EXPECT_EQ(word(feed::table_request_at), 2u);
  EXPECT_EQ(source::procs_request(src.get(), table.get()), 2u);  // fresh: kept
  EXPECT_GT(table->count, 0u);
}

TEST_F(SourceTest, RelaunchesOnceThenFallsBackInProcess) {
  source::start_child(src.get(), m.get(), false, 0);
  ASSERT_TRUE(first_frame());
  std::string first_name(reinterpret_cast<char*>(src->child.name), src->child.name_length);

  // The child's second frame lies unread when it dies: the tick folds it (the source is live) and relaunches.
  ASSERT_TRUE(published(2));
  kill_child();
  source::tick(src.get(), m.get());
  EXPECT_EQ(src->mode, source::mode_live);
  EXPECT_EQ(src->restarted, 1);
  EXPECT_EQ(src->phase, source::phase_launched);
  EXPECT_EQ(src->launches, 2);
  EXPECT_NE(std::string(reinterpret_cast<char*>(src->child.name), src->child.name_length), first_name);
  ASSERT_TRUE(first_frame());

  kill_child();
  source::tick(src.get(), m.get());
  EXPECT_EQ(src->phase, source::phase_none);
  EXPECT_EQ(src->local_present, 1);
  EXPECT_EQ(src->mode, source::mode_due);
  EXPECT_EQ(m->cpus, online_cpus());
  source::tick(src.get(), m.get());
  EXPECT_EQ(src->mode, source::mode_live);
  EXPECT_EQ(m->ring.count, 1u);
}

TEST_F(SourceTest, ChildWithoutFirstFrameIsReplaced) {
  harness::EnvVar quiet{silent_variable, std::string("1")};
  source::start_child(src.get(), m.get(), false, 0);
  // A child that beats but sends no first frame is relaunched on the tenth tick, and the relaunch likewise gives
  // way to the in-process collector.
  for (u8 launch = 1; launch <= 2; ++launch) {
    for (int i = 0; i < 9; ++i) source::tick(src.get(), m.get());
    EXPECT_EQ(src->phase, source::phase_launched);
    EXPECT_EQ(src->launches, launch);
    EXPECT_TRUE(source::failing(src.get()));
    source::tick(src.get(), m.get());
  }
  EXPECT_EQ(src->restarted, 1);
  EXPECT_EQ(src->phase, source::phase_none);
  EXPECT_EQ(src->local_present, 1);
  EXPECT_EQ(src->mode, source::mode_due);
  EXPECT_EQ(m->cpus, online_cpus());
}

TEST_F(SourceTest, SuspendAndResumeLaunchANewChild) {
  source::start_child(src.get(), m.get(), false, 0);
  ASSERT_TRUE(first_frame());
  std::string first_name(reinterpret_cast<char*>(src->child.name), src->child.name_length);
  source::suspend(src.get());
  EXPECT_EQ(src->suspended, 1);
  EXPECT_EQ(src->suspends, 1);
  EXPECT_EQ(src->mode, source::mode_demo);
  EXPECT_EQ(src->phase, source::phase_none);
  source::resume(src.get());
  EXPECT_EQ(src->phase, source::phase_launched);
  EXPECT_EQ(src->mode, source::mode_live);
  EXPECT_NE(std::string(reinterpret_cast<char*>(src->child.name), src->child.name_length), first_name);
  ASSERT_TRUE(published(1));
  source::tick(src.get(), m.get());
  EXPECT_EQ(src->phase, source::phase_running);
}

TEST_F(SourceTest, DemoDataUnderTheTestFlag) {
  source::start_child(src.get(), m.get(), true, 2);
  EXPECT_EQ(src->mode, source::mode_demo);
  EXPECT_EQ(src->phase, source::phase_none);
  EXPECT_EQ(m->cpus, 16);
  EXPECT_EQ(m->gpus, 2);
  for (int i = 0; i < 5; ++i) source::tick(src.get(), m.get());
  source::tick_missed(src.get());
  source::tick(src.get(), m.get());
  EXPECT_EQ(m->ring.count, 6u);
  EXPECT_EQ(src->demo.clock, 7u);  // the missed tick moved the clock on

  // The rows are the demo module's, clock by clock.
  auto same = std::make_unique<machine::Machine>();
  demo::State st;
  demo::machine_init(&st, same.get(), 2);
  demo::ticks(&st, same.get(), 5);
  ring::Row a, b;
  ASSERT_TRUE(ring::at(&m->ring, 1, &a));
  ASSERT_TRUE(ring::at(&same->ring, 0, &b));
  EXPECT_EQ(memcmp(&a, &b, sizeof a), 0);

  // Processes come from the demo table; a held request clears after more than 60 ticks without a table.
  EXPECT_EQ(source::procs_request(src.get(), table.get()), 0u);
  EXPECT_EQ(table->count, 42u);
  source::procs_hold(src.get(), 3, false);
  for (int i = 0; i < 61; ++i) source::tick(src.get(), m.get());
  EXPECT_EQ(source::procs_request(src.get(), table.get()), 1u);
  EXPECT_EQ(table->count, 0u);
  EXPECT_EQ(source::procs_tick(src.get(), table.get()), 0u);

  source::set_integrated(src.get(), m.get(), true);
  EXPECT_EQ(m->gpu_dedicated[0], 128u);
  source::set_temps_mode(src.get(), m.get(), 1);
  EXPECT_EQ(m->temps.named, 2);
}

}  // namespace

namespace {

// A collector lost outside the test mode leaves an empty, failing record and is retried every minute; only under
// the test mode does demo data stand in.
TEST_F(SourceTest, NoMadeUpFiguresOutsideTheTestMode) {
  source::start_local(src.get(), m.get(), false, 0);
  ASSERT_EQ(src->mode, source::mode_due);
  ASSERT_EQ(src->local_present, 1);
  source::close(src.get());  // the collector is gone
  src->mode = source::mode_due;
  source::sample_now(src.get(), m.get());
  EXPECT_EQ(src->mode, source::mode_live);
  EXPECT_EQ(m->cpus, 0);
  EXPECT_EQ(m->ring.count, 0u);
  while (src->ticks % source::retry_ticks != source::retry_ticks - 1) source::tick(src.get(), m.get());
  EXPECT_TRUE(source::failing(src.get()));
  EXPECT_EQ(m->ring.count, 0u);
  source::tick(src.get(), m.get());  // the retry
  EXPECT_EQ(src->mode, source::mode_due);
  EXPECT_EQ(m->cpus, online_cpus());

  src->demo_allowed = 1;
  source::close(src.get());
  source::sample_now(src.get(), m.get());
  EXPECT_EQ(src->mode, source::mode_demo);
  EXPECT_EQ(m->cpus, 16);
  EXPECT_EQ(m->ring.count, source::demo_warm_ticks);
}

}  // namespace

namespace {

// The source's reading rules on a block in plain memory, as a child would leave it.
struct FakeFeed : SourceTest {
  std::vector<u8> block;
  FakeFeed() {
    feed::layout_init(&src->layout);
    block.assign(src->layout.size, 0);
    feed::header_init(block.data(), block.size(), src->layout, 1);
    src->child.view = block.data();
    src->child.view_size = block.size();
    src->phase = source::phase_running;
    src->mode = source::mode_live;
    machine::init(m.get());
  }
  ~FakeFeed() override { src->child = child::Section{}; }
  void put_table(u32 n, const model::ProcTable* t) {
    ASSERT_TRUE(feed::frame_put(block.data(), block.size(), src->layout.table, feed::table_published_at, n,
                                mem::Bytes(reinterpret_cast<const u8*>(t), sizeof *t)));
  }
};

TEST_F(FakeFeed, TablesAreReadInOrderAndChecked) {
  auto sent = std::make_unique<model::ProcTable>();
  model::table_init(sent.get());
  model::proc_upsert(sent.get(), 321, 1, 9, mem::lit("one.exe"));
  model::proc_upsert(table.get(), 555, 1, 9, mem::lit("kept.exe"));
  src->last_table = 1;

  // Number 3 is not the next one: not read, and the request asks for 2 again.
  put_table(3, sent.get());
  EXPECT_EQ(source::child_procs(src.get(), table.get()), 0u);
  EXPECT_NE(model::proc_find_row(table.get(), 555), model::no_row);
  EXPECT_EQ(word(feed::table_request_at), 2u);

  // Number 2, the first of a new epoch.
  put(feed::epoch_at, 2);
  put_table(2, sent.get());
  EXPECT_EQ(source::child_procs(src.get(), table.get()), 1u);
  EXPECT_NE(model::proc_find_row(table.get(), 321), model::no_row);
  EXPECT_EQ(src->rates_restart, 1);
  EXPECT_EQ(word(feed::table_request_at), 3u);

  // Number 3 fails its check: the table is cleared.
  sent->cpu[0] = 10001;
  put_table(3, sent.get());
  EXPECT_EQ(source::child_procs(src.get(), table.get()), 2u);
  EXPECT_EQ(table->count, 0u);
  EXPECT_EQ(src->proc_flags & source::table_taken, 0);
}

TEST_F(FakeFeed, TornAndBadFramesAreNotFolded) {
  std::vector<u8> bytes(sizeof(feed::UsageFrame), 0);
  auto* f = reinterpret_cast<feed::UsageFrame*>(bytes.data());
  f->usage.cpus = 2;
  for (u32 n = 1; n <= 3; ++n) {
    if (n == 2) f->usage.cpus = 65;  // fails its check
    if (n == 3) f->usage.cpus = 2;
    ASSERT_TRUE(feed::frame_put(block.data(), block.size(), src->layout.usage, feed::usage_published_at, n,
                                mem::Bytes(bytes.data(), bytes.size())));
  }
  // Frame 3's slot caught under rewrite.
  feed::put64(block.data(), block.size(), feed::slot_offset(src->layout.usage, 3), 5);
  EXPECT_EQ(source::read_new(src.get(), m.get()), 1u);
  EXPECT_EQ(m->ring.count, 1u);
  EXPECT_EQ(src->last_usage, 3u);
}

TEST_F(FakeFeed, StallIsThreeTicksWithoutAHeartbeatOrWithAHalfWrittenSlot) {
  src->last_usage = 4;
  put(feed::heartbeat_at, 7);
  EXPECT_FALSE(source::child_stalled(src.get()));  // a new beat
  EXPECT_FALSE(source::child_stalled(src.get()));
  EXPECT_FALSE(source::child_stalled(src.get()));
  EXPECT_TRUE(source::child_stalled(src.get()));  // three ticks without one
  put(feed::heartbeat_at, 8);
  EXPECT_FALSE(source::child_stalled(src.get()));
  // The slot of frame 5 stays odd although the child beats.
  feed::put64(block.data(), block.size(), feed::slot_offset(src->layout.usage, 5), 9);
  for (u32 beat = 9; beat < 11; ++beat) {
    put(feed::heartbeat_at, beat);
    EXPECT_FALSE(source::child_stalled(src.get()));
  }
  put(feed::heartbeat_at, 11);
  EXPECT_TRUE(source::child_stalled(src.get()));
}

}  // namespace
