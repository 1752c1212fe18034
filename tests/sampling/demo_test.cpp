#include "sampling/demo.h"

#include <string.h>

#include <algorithm>
#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace {

struct Demo {
  demo::State state;
  std::unique_ptr<machine::Machine> m = std::make_unique<machine::Machine>();
  std::unique_ptr<model::ProcTable> table = std::make_unique<model::ProcTable>();
  explicit Demo(u32 gpus) {
    demo::machine_init(&state, m.get(), gpus);
    model::table_init(table.get());
  }
  ring::Row newest() const {
    ring::Row r;
    memset(&r, 0, sizeof r);
    EXPECT_TRUE(ring::at(&m->ring, 0, &r));
    return r;
  }
};

std::string name_of(const machine::Machine* m, u32 slot) {
  mem::Bytes b = machine::name(m, slot);
  return std::string(reinterpret_cast<const char*>(b.ptr), b.len);
}

TEST(DemoValues, SmallFunctions) {
  struct {
    u32 got, want;
  } cases[] = {
      {demo::wave(0, 20, 480), 0},     {demo::wave(5, 20, 480), 240},  {demo::wave(10, 20, 480), 480},
      {demo::wave(15, 20, 480), 240},  // Periods below 2 stand at the amplitude (r = 0, up = p - r = 1, divided by 1).
      {demo::wave(7, 0, 50), 50},     {demo::wave(3, 1, 50), 50},
      {demo::pct(0, 16), 0},           {demo::pct(100, 1), 5000},       {demo::pct(3200, 16), 10000},
      {demo::pct(9999, 0), 10000},     {demo::hash(1, 2, 3, 0), 0},     {demo::window_value(5, 0, 10, 6, 9), 9},
      {demo::window_value(6, 0, 10, 6, 9), 0}, {demo::in_window(3, 4, 0, 0, 1), 1},
      // ((1 ^ 2) x 1664525 + 1013904223) >> 24
      {demo::mix(1, 2), ((3u * 1664525u + 1013904223u) >> 24)},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
  for (u32 t = 0; t < 500; ++t) EXPECT_LE(demo::hash(19533, t, 128, 24), 24u);
  // The widest range is all 256 values, not a division by zero.
  EXPECT_EQ(demo::hash(1, 2, 3, 0xFFFFFFFFu), demo::hash(1, 2, 3, 255));
}

TEST(DemoMachine, InitialRecordAndHardware) {
  Demo d(2);
  const machine::Machine* m = d.m.get();
  EXPECT_EQ(m->cpus, 16);
  EXPECT_EQ(m->disks, 2);
  EXPECT_EQ(m->nics, 2);
  EXPECT_EQ(m->gpus, 2);
  EXPECT_EQ(m->gpu_dedicated[1], 8192u);
  EXPECT_EQ(m->gpu_shared[1], 32768u);
  EXPECT_EQ(m->gpu_classes[0], 30);
  EXPECT_EQ(m->base_mhz, 4200);
  EXPECT_EQ(m->memory_total, 65536u);
  EXPECT_EQ(m->disk_capacity[0], 953869u);
  EXPECT_EQ(m->disk_capacity[1], 1907729u);
  EXPECT_EQ(m->commit_limit, 73728u);
  EXPECT_EQ(m->received[0], 9999220736ull);
  EXPECT_EQ(m->sent[1], 209715200ull);
  EXPECT_EQ(m->link_mbps[1], 1200u);
  EXPECT_EQ(name_of(m, 0), "Demo CPU");
  EXPECT_EQ(name_of(m, 2), "Disk 1 (D:)");
  EXPECT_EQ(name_of(m, 18), "Wi-Fi");
  EXPECT_EQ(name_of(m, 25), "Demo GPU");
  EXPECT_EQ(d.state.seed, 19533u);
  EXPECT_EQ(d.state.clock, 0u);

  hw::Hardware h;
  hw::Adapters a;
  demo::hardware(&h, &a);
  EXPECT_EQ(h.vendor, hw::vendor_amd);
  EXPECT_EQ(h.logical, 16);
  EXPECT_EQ(h.memory.installed_mib, 65728u);
  EXPECT_EQ(h.memory.kind, hw::mem_ddr5);
  EXPECT_STREQ(reinterpret_cast<const char*>(h.drive_model[1]), "Demo SATA HDD 2TB");
  EXPECT_EQ(a.count, 2u);
  EXPECT_EQ(a.ipv4[0][0], 0xC000020Au);
  EXPECT_EQ(a.mac[1] >> 40, 0x02u);
  EXPECT_EQ(a.mac[1] & 0xFF, 0x02u);
  // The hardware view of the record carries the drives' and adapters' details.
  EXPECT_EQ(m->details.ipv4[1][0], 0xC6336407u);

  // More than 4 GPUs asked: 4.
  Demo many(9);
  EXPECT_EQ(many.m->gpus, 4);
}

TEST(DemoMachine, SameSeedAndClockGiveTheSameRows) {
  Demo a(1), b(1);
  demo::ticks(&a.state, a.m.get(), 130);
  demo::ticks(&b.state, b.m.get(), 130);
  EXPECT_EQ(a.state.clock, 130u);
  EXPECT_EQ(memcmp(&a.m->ring, &b.m->ring, sizeof a.m->ring), 0);
  EXPECT_EQ(a.m->received[0], b.m->received[0]);
  ring::Row r = a.newest();
  EXPECT_EQ(r.seconds, 129u);
  EXPECT_EQ(r.uptime, 129u + 93784);
  EXPECT_EQ(r.disk_figure[1], 1210000u);
  EXPECT_EQ(r.clock_mhz, demo::wave(129, 20, 480) + 4200);
  // Rows are recomputed from the clock alone.
  ring::Row again;
  memset(&again, 0, sizeof again);
  demo::row(19533, 129, 16, 1, 30, &again);
  EXPECT_EQ(again.load, r.load);
  EXPECT_EQ(memcmp(again.core_load, r.core_load, 64), 0);
  EXPECT_EQ(memcmp(again.gpu_engines, r.gpu_engines, sizeof again.gpu_engines), 0);
}

TEST(DemoMachine, PinnedCoresAndBounds) {
  for (u32 t = 0; t < 400; ++t) {
    ring::Row r;
    memset(&r, 0, sizeof r);
    demo::row(19533, t, 16, 4, 62, &r);
    if (t % 50 >= 20 && t % 50 < 35) {
      EXPECT_EQ(r.core_load[2], 200) << t;
    }
    if (t % 40 < 25) {
      EXPECT_EQ(r.core_load[5], 0) << t;
    }
    EXPECT_EQ(r.core_load[16], 0);
    EXPECT_LE(r.load, 10000);
    for (u32 i = 0; i < 16; ++i) EXPECT_LE(r.core_kernel[i], r.core_load[i]);
    EXPECT_LE(r.disk_busy[0], 200);
    EXPECT_EQ(r.gpu_load[0], 50 * *std::max_element(r.gpu_engines[0], r.gpu_engines[0] + 5));
  }
}

TEST(DemoMachine, NoGpuMeansNoGpuFigures) {
  Demo d(0);
  d.state.power_mode = 1;
  d.state.temps_mode = 1;
  demo::ticks(&d.state, d.m.get(), 60);
  ring::Row r = d.newest();
  for (u32 i = 0; i < 4; ++i) {
    EXPECT_EQ(r.gpu_load[i], 0);
    EXPECT_EQ(r.gpu_dedicated_mib[i], 0u);
    EXPECT_EQ(r.gpu_shared_mib[i], 0u);
  }
  EXPECT_EQ(r.power_flags, 1);
  EXPECT_EQ(d.m->power[2], 0);
  EXPECT_EQ(r.power, 180 + 770 * r.load / 10000);
  EXPECT_EQ(d.m->temps.gpu_mask, 0);
  EXPECT_EQ(d.m->temps.cpu, static_cast<i16>(400 + 450 * r.load / 10000));
}

TEST(DemoMachine, PowerAndSensorModes) {
  Demo d(1);
  d.state.power_mode = 2;
  d.state.temps_mode = 2;
  demo::tick(&d.state, d.m.get());
  ring::Row r = d.newest();
  EXPECT_EQ(r.power, 90u);  // clock 0: the wave starts at 0
  EXPECT_EQ(r.power_flags, (1 << 3) | (1 << 4));
  EXPECT_EQ(d.m->power[3], 90);
  EXPECT_EQ(d.m->temps.cpu_kind, 0);
  EXPECT_EQ(d.m->temps.turn, 1u);
  EXPECT_EQ(d.m->temps.sensor[1], 912);
  EXPECT_STREQ(reinterpret_cast<const char*>(d.m->temps.name[1]), "Demo VRM");
  EXPECT_TRUE(heat::ok(&d.m->temps));
  d.state.temps_mode = 0;
  demo::sensors(&d.state, d.m.get(), &r);
  EXPECT_FALSE(heat::any(&d.m->temps));
}

TEST(DemoMachine, IntegratedGpuHasOnlySharedMemory) {
  Demo d(2);
  demo::add_igpu(&d.state, d.m.get());
  EXPECT_EQ(d.m->gpu_dedicated[0], 128u);
  EXPECT_EQ(name_of(d.m.get(), 25), "Demo iGPU");
  demo::ticks(&d.state, d.m.get(), 3);
  ring::Row r = d.newest();
  u32 t = 2, s = 19533;
  u32 dedicated = demo::wave(t + 5, 80, 1200) + demo::hash(s, t, 184, 64) + 2400;
  for (u32 i = 0; i < 2; ++i) {
    EXPECT_EQ(r.gpu_dedicated_mib[i], 0u);
    EXPECT_EQ(r.gpu_shared_mib[i], demo::wave(t, 110, 160) + demo::hash(s, t, 185, 16) + 280 + dedicated);
  }
  demo::compute_gpu(&d.state, d.m.get());
  EXPECT_EQ(d.state.engines, 62u | 0x100u);
}

TEST(DemoProcs, FillsShowRemovalAdditionAndPidReuse) {
  Demo d(1);
  model::ProcTable* t = d.table.get();
  EXPECT_EQ(demo::pid_of(42), demo::pid_of(43));
  const u32 reused = demo::pid_of(42);
  for (u32 v = 0; v < 4; ++v) {
    demo::take_procs(&d.state, t);
    u32 present = 0;
    for (u32 i = 0; i < demo::procs; ++i) present += demo::row_present(i, v);
    EXPECT_EQ(t->count, present) << v;
    EXPECT_EQ(t->processes, present);
    u32 row = model::proc_find_row(t, reused);
    ASSERT_NE(row, model::no_row);
    mem::Bytes n = model::proc_name(t, row);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(n.ptr), n.len), v < 3 ? "setup.exe" : "installer.exe");
    EXPECT_EQ(t->start_key[row], v < 3 ? 42u * 7 + 10 : 5000u);
    EXPECT_EQ(demo::proc_value(v, reused), v < 3 ? 304u : 5000u);
    EXPECT_EQ(model::proc_find_row(t, demo::pid_of(40)) != model::no_row, v < 2);
    EXPECT_EQ(model::proc_find_row(t, demo::pid_of(41)) != model::no_row, v >= 2);
  }
  EXPECT_EQ(d.state.calls, 4u);
  EXPECT_EQ(demo::proc_value(0, 12345), 0xFFFFFFFFu);

  u32 idle = model::proc_find_row(t, 0);
  ASSERT_NE(idle, model::no_row);
  EXPECT_EQ(t->thread_count[idle], 24);
  EXPECT_GE(t->cpu[idle], 6000);
  u32 game = model::proc_find_row(t, demo::pid_of(32));
  EXPECT_EQ(t->working_set[game], t->private_bytes[game]);
  EXPECT_GE(t->gpu[game], 6500);
  EXPECT_TRUE((t->gpu_present[game / 64] >> (game % 64)) & 1);
  u32 lsass = model::proc_find_row(t, demo::pid_of(7));
  EXPECT_TRUE((t->critical[lsass / 64] >> (lsass % 64)) & 1);
  EXPECT_TRUE(demo::is_critical(demo::pid_of(14)));
  EXPECT_FALSE(demo::is_critical(demo::pid_of(13)));
  EXPECT_EQ(demo::proc_flags(demo::pid_of(33)), 4u | 8u);
  EXPECT_EQ(demo::proc_flags(demo::pid_of(14)), 1u);
}

TEST(DemoProcs, SameCallsGiveTheSameTable) {
  Demo a(1), b(1);
  for (u32 v = 0; v < 5; ++v) {
    demo::take_procs(&a.state, a.table.get());
    demo::take_procs(&b.state, b.table.get());
  }
  EXPECT_EQ(memcmp(a.table.get(), b.table.get(), sizeof(model::ProcTable)), 0);
}

TEST(DemoProcs, LongestNameIsKeptWhole) {
  Demo d(1);
  d.state.longest = 1;
  demo::take_procs(&d.state, d.table.get());
  u32 row = model::proc_find_row(d.table.get(), demo::pid_of(37));
  u8 full[300];
  u64 n = model::proc_full_name(d.table.get(), row, mem::Slice{full, sizeof full});
  EXPECT_EQ(n, 255u);
  std::string name(reinterpret_cast<char*>(full), n);
  EXPECT_EQ(name.substr(name.size() - 4), ".exe");
  EXPECT_EQ(name.find(' '), std::string::npos);
}

}  // namespace
