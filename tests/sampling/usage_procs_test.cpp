// The process pass: synthetic process chains through the table, with process ends, pid reuse, unreported I/O,
// TCP owners, GPU engines and the CPU scaling that keeps the total at most 100 %.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/bits.h"
#include "sampling/usage.h"
#include "tests/sampling/builders.h"

namespace {

constexpr u64 second = 10000000;  // 100 ns ticks

struct Procs {
  usage::ProcRateState state{};
  std::unique_ptr<usage::ProcWalk> walk = std::make_unique<usage::ProcWalk>();
  std::unique_ptr<model::ProcTable> table = std::make_unique<model::ProcTable>();
  std::unique_ptr<usage::ProcCounters> counters = std::make_unique<usage::ProcCounters>();
  std::unique_ptr<gpu::Section> section = std::make_unique<gpu::Section>();
  std::unique_ptr<gpu::AdapterList> adapters = std::make_unique<gpu::AdapterList>();
  build::Chain chain;
  collect::ProcSample sample{};

  Procs() {
    model::table_init(table.get());
    std::memset(section.get(), 0, sizeof *section);
    std::memset(adapters.get(), 0, sizeof *adapters);
  }
  // A sample of these processes at time_ms on `processors` processors.
  bool run(u64 time_ms, u32 processors, const std::vector<build::Proc>& list) {
    chain = build::Chain{};
    for (const build::Proc& p : list) chain.add(p);
    sample.head.time_ms = time_ms;
    sample.head.address = build::base_address;
    sample.head.processors = processors;
    sample.head.status = collect::status_success;
    sample.head.used = static_cast<u32>(chain.bytes.size());
    sample.buffer.data = chain.bytes.data();
    sample.buffer.size = chain.bytes.size();
    return usage::procs(&state, &sample, section.get(), adapters.get(), walk.get(), table.get(), counters.get());
  }
  u32 row(u32 pid) const { return model::proc_find_row(table.get(), pid); }
  std::string name(u32 pid) const {
    mem::Bytes n = model::proc_name(table.get(), row(pid));
    return std::string(reinterpret_cast<const char*>(n.ptr), n.len);
  }
};

build::Proc proc(u32 pid, u64 start_s, u64 cpu, u64 read, const std::string& name) {
  build::Proc p;
  p.pid = pid;
  p.create_time = start_s * second;
  p.user_time = cpu;
  p.read_bytes = read;
  p.name = name;
  return p;
}

TEST(UsageProcs, RatesEndsReuseAndUnreportedIo) {
  Procs p;
  ASSERT_TRUE(p.run(1000, 2,
                    {proc(0, 0, 0, 0, ""), proc(4, 1, 0, 0, "System"), proc(100, 5, 0, 1000, "C:\\apps\\app.exe"),
                     proc(150, 6, 0, 0, "old.exe"), proc(300, 7, 0, sysrec::io_unreported, "secret")}));
  EXPECT_EQ(p.table->count, 5u);
  EXPECT_EQ(p.name(0), "Idle");
  EXPECT_EQ(p.name(100), "app.exe");
  EXPECT_EQ(p.state.has_previous, 1u);
  // One second later: 4 ended, 150 is a new process under the same pid, 200 is new.
  ASSERT_TRUE(p.run(2000, 2,
                    {proc(0, 0, 0, 0, ""), proc(100, 5, second / 2, 1000 + 1024000, "C:\\apps\\app.exe"),
                     proc(150, 60, 9 * second, 0, "reused.exe"), proc(200, 61, 3 * second, 0, "new.exe"),
                     proc(300, 7, second, sysrec::io_unreported, "secret")}));
  EXPECT_EQ(p.table->count, 5u);
  EXPECT_EQ(p.row(4), model::no_row);
  u32 app = p.row(100), reused = p.row(150), fresh = p.row(200), hidden = p.row(300);
  EXPECT_EQ(p.table->cpu[app], 2500);  // half a second of one of two processors
  EXPECT_EQ(p.table->read_rate[app], 1000u);
  EXPECT_EQ(p.name(150), "reused.exe");
  EXPECT_EQ(p.table->cpu[reused], 0);
  EXPECT_EQ(p.table->cpu[fresh], 0);
  EXPECT_EQ(p.table->cpu[hidden], 5000);
  EXPECT_TRUE(model::disk_unreported(p.table.get(), hidden));
  EXPECT_FALSE(model::disk_unreported(p.table.get(), app));
  EXPECT_EQ(p.table->read_rate[hidden], 0u);
  EXPECT_EQ(p.table->processes, 5u);
  EXPECT_EQ(p.table->flags, 0u);
  // The next interval: the reused pid now shows its rate.
  ASSERT_TRUE(p.run(3000, 2, {proc(150, 60, 10 * second, 0, "reused.exe")}));
  EXPECT_EQ(p.table->count, 1u);
  EXPECT_EQ(p.table->cpu[p.row(150)], 5000);
}

TEST(UsageProcs, SharesAreScaledWhenDeltasExceedTheInterval) {
  struct Case {
    u64 a, b;  // CPU time deltas
    u16 share_a, share_b;
  } cases[] = {
      {second, second, 5000, 5000},            // 2 s of CPU in 1 s on one processor
      {second / 4, second / 4, 2500, 2500},    // below the interval: plain shares
      {3 * second, second, 7500, 2500},
  };
  for (const Case& c : cases) {
    Procs p;
    p.run(1000, 1, {proc(10, 1, 0, 0, "a"), proc(11, 1, 0, 0, "b")});
    p.run(2000, 1, {proc(10, 1, c.a, 0, "a"), proc(11, 1, c.b, 0, "b")});
    EXPECT_EQ(p.table->cpu[p.row(10)], c.share_a);
    EXPECT_EQ(p.table->cpu[p.row(11)], c.share_b);
    EXPECT_LE(p.table->cpu[p.row(10)] + p.table->cpu[p.row(11)], 10000);
  }
  EXPECT_EQ(usage::cpu_span(5, 1000, 0), 10000000u);
  EXPECT_EQ(usage::cpu_span(5, 1000, 9000), 1000ull * 4096 * 10000);
  EXPECT_EQ(usage::cpu_span(~0ull, 1000, 4), ~0ull);
}

TEST(UsageProcs, MoreProcessesThanRows) {
  Procs p;
  std::vector<build::Proc> list;
  for (u32 i = 0; i < 1100; ++i) list.push_back(proc(8 + 4 * i, 1, 0, 0, "p" + std::to_string(i)));
  ASSERT_TRUE(p.run(1000, 4, list));
  EXPECT_EQ(p.table->count, 1024u);
  EXPECT_EQ(p.table->processes, 1100u);
  EXPECT_EQ(p.table->flags & model::flag_truncated, model::flag_truncated);
}

// Beyond the table's rows the busiest processes stay, wherever the chain lists them: by CPU (over their life on a
// first pass, since the last pass afterwards, also for a process left out then) and then by working set.
TEST(UsageProcs, BusiestKeptBeyondTheRows) {
  Procs p;
  auto pass = [&](u64 time_ms, u64 busy_cpu, u64 waker_cpu) {
    std::vector<build::Proc> list;
    for (u32 i = 0; i < 1100; ++i) {
      list.push_back(proc(8 + 4 * i, 1, 0, 0, "sleeper"));
      list.back().working_set = 4096ull * (i + 1);
    }
    list.push_back(proc(9000, 1, waker_cpu, 0, "waker"));  // long idle, no memory
    list.push_back(proc(10000, 90, busy_cpu, 0, "busy"));
    list.push_back(proc(10004, 90, busy_cpu, 0, "busy"));
    return p.run(time_ms, 4, list);
  };
  ASSERT_TRUE(pass(100000, 10 * second, 0));  // the busy two have run a full core each since they started
  EXPECT_NE(p.row(10000), model::no_row);
  EXPECT_NE(p.row(10004), model::no_row);
  EXPECT_EQ(p.row(9000), model::no_row);
  EXPECT_EQ(p.row(8 + 4 * 77), model::no_row);  // the least memory goes first
  EXPECT_NE(p.row(8 + 4 * 78), model::no_row);
  ASSERT_TRUE(pass(101000, 11 * second, second));  // the waker now takes a full core too
  const struct {
    u32 pid;
    bool kept;
    u16 cpu;
  } cases[] = {{10000, true, 2500}, {10004, true, 2500}, {9000, true, 2500}, {8 + 4 * 78, false, 0},
               {8 + 4 * 79, true, 0}, {8 + 4 * 1099, true, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pid);
    u32 row = p.row(c.pid);
    ASSERT_EQ(row != model::no_row, c.kept);
    if (c.kept) {
      EXPECT_EQ(p.table->cpu[row], c.cpu);
    }
  }
  EXPECT_EQ(p.table->count, 1024u);
  EXPECT_EQ(p.table->processes, 1103u);
  EXPECT_EQ(p.table->flags & model::flag_truncated, model::flag_truncated);
}

TEST(UsageProcs, TcpOwnersCountedPerProcess) {
  struct Case {
    std::vector<u32> pids;
    i32 rows;
    u32 missing;
    u32 flags;
  } cases[] = {
      {{200, 100, 5, 100}, 4, 0, 0},
      {{200, 100, 5, 100}, 5, 0, model::flag_tcp_truncated},
      {{200, 100, 5, 100}, 4, 2, model::flag_tcp_missing},
  };
  for (const Case& c : cases) {
    Procs p;
    p.sample.head.tcp_pids = static_cast<u32>(c.pids.size());
    for (size_t i = 0; i < c.pids.size(); ++i) p.sample.head.pids[i] = c.pids[i];
    p.sample.head.tcp_rows = c.rows;
    p.sample.head.tcp_missing = c.missing;
    ASSERT_TRUE(p.run(1000, 1, {proc(100, 1, 0, 0, "a"), proc(200, 1, 0, 0, "b"), proc(300, 1, 0, 0, "c")}));
    EXPECT_EQ(p.table->tcp[p.row(100)], 2);
    EXPECT_EQ(p.table->tcp[p.row(200)], 1);
    EXPECT_EQ(p.table->tcp[p.row(300)], 0);
    EXPECT_EQ(p.table->tcp_total, static_cast<u32>(c.rows));
    EXPECT_EQ(p.table->flags, c.flags);
  }
}

TEST(UsageProcs, GraphicsPerProcessOnKeptAdapters) {
  Procs p;
  gpu::Section& s = *p.section;
  s.adapters = 2;
  s.luid[0] = 0x100;
  s.luid[1] = 0x200;
  p.adapters->listed = 2;
  p.adapters->luid[0] = 0x100;
  p.adapters->luid[1] = 0x200;
  p.adapters->type[1] = gpu::software_device;
  struct Engine {
    u32 pid;
    i16 util;
    u8 adapter;
  } engines[] = {{100, 3000, 0}, {100, 5000, 0}, {200, 9000, 1}, {999, 7000, 0}};
  s.engine_rows = 4;
  for (u32 r = 0; r < 4; ++r) {
    s.engine_pid[r] = engines[r].pid;
    s.util[r] = engines[r].util;
    s.engine_adapter[r] = engines[r].adapter;
  }
  s.memory_rows = 2;
  s.memory_pid[0] = 100;
  s.memory_bytes[0] = 64ull << 20;
  s.memory_pid[1] = 200;
  s.memory_bytes[1] = 64ull << 20;
  s.memory_adapter[1] = 1;
  ASSERT_TRUE(p.run(1000, 1, {proc(100, 1, 0, 0, "game"), proc(200, 1, 0, 0, "soft")}));
  u32 game = p.row(100), soft = p.row(200);
  EXPECT_EQ(p.table->gpu[game], 5000);
  EXPECT_EQ(p.table->gpu_memory[game], 16);  // 4 MiB units
  EXPECT_EQ(p.table->gpu[soft], 0);
  EXPECT_EQ(p.table->gpu_memory[soft], 0);
  EXPECT_TRUE(bits::is_set(p.table->gpu_present, game));
  EXPECT_FALSE(bits::is_set(p.table->gpu_present, soft));
}

TEST(UsageProcs, FailedSamplesKeepTheRows) {
  struct Case {
    u32 status;
    bool empty;
    u32 flags;
  } cases[] = {
      {collect::status_length_mismatch, false, model::flag_stale | model::flag_truncated},
      {0xC0000022u, false, model::flag_stale},
      {collect::status_success, true, model::flag_stale},
  };
  for (const Case& c : cases) {
    Procs p;
    ASSERT_TRUE(p.run(1000, 1, {proc(100, 1, 0, 0, "a")}));
    p.sample.head.status = c.status;
    p.sample.head.used = c.empty ? 0 : p.sample.head.used;
    EXPECT_FALSE(usage::procs(&p.state, &p.sample, p.section.get(), p.adapters.get(), p.walk.get(), p.table.get(),
                              p.counters.get()));
    EXPECT_EQ(p.table->flags, c.flags);
    EXPECT_EQ(p.table->count, 1u);
    EXPECT_EQ(p.state.previous_ms, 1000u);
    ASSERT_TRUE(p.run(2000, 1, {proc(100, 1, second / 10, 0, "a")}));
    EXPECT_EQ(p.table->flags, 0u);
    EXPECT_EQ(p.table->cpu[p.row(100)], 1000);
  }
}

// A graphics section from a file or another process may hold any bytes: the process pass stays inside its arrays.
TEST(UsageProcs, RandomGraphicsSectionStaysBounded) {
  u64 seed = 0x2545F4914F6CDD1Dull;
  for (int round = 0; round < 8; ++round) {
    Procs p;
    for (auto* target : {reinterpret_cast<u8*>(p.section.get()), reinterpret_cast<u8*>(p.adapters.get())}) {
      size_t size = target == reinterpret_cast<u8*>(p.section.get()) ? sizeof(gpu::Section) : sizeof(gpu::AdapterList);
      for (size_t i = 0; i < size; ++i) {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        target[i] = static_cast<u8>(seed);
      }
    }
    if (round % 2) {
      p.section->engine_rows %= 500;
      p.section->memory_rows %= 500;
      for (u32 r = 0; r < 500; ++r) p.section->engine_pid[r] %= 4;
      for (u32 r = 0; r < 500; ++r) p.section->memory_pid[r] %= 4;
    }
    ASSERT_TRUE(p.run(1000, 1, {proc(0, 0, 0, 0, ""), proc(1, 1, 0, 0, "a"), proc(2, 1, 0, 0, "b")}));
    for (u32 r = 0; r < p.table->count; ++r) ASSERT_LE(p.table->gpu[r], 10000);
  }
}

}  // namespace
