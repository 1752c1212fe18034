// The system pass: synthetic sample pairs with known counters against hand-computed usage records and rows, a
// fixture machine's samples, and two live samples of this machine.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sampling/collect.h"
#include "sampling/usage.h"
#include "tests/sampling/builders.h"
#include "tests/sampling/machines.h"

namespace {

using Sample = collect::Sample;

std::unique_ptr<Sample> blank(u64 time_ms) {
  auto s = std::make_unique<Sample>();
  std::memset(s.get(), 0, sizeof *s);
  s->time_ms = time_ms;
  return s;
}

struct Cpu {
  u64 idle, kernel, user, interrupt;
};
void set_cpu(Sample* s, u32 i, Cpu c) {
  sysrec::CpuEntry e{};
  e.idle = c.idle;
  e.kernel = c.kernel;
  e.user = c.user;
  e.interrupt = c.interrupt;
  std::memcpy(s->cpus + i * sizeof e, &e, sizeof e);
  s->cpu_bytes = std::max<u32>(s->cpu_bytes, (i + 1) * sizeof e);
}

void set_array(Sample* s, u32 a, const std::vector<build::Item>& items) {
  std::vector<u8> b = build::counter_array(items, false);
  ASSERT_LE(b.size(), sizeof s->counters[a].items);
  std::memcpy(s->counters[a].items, b.data(), b.size());
  s->counters[a].address = build::base_address;
  s->counters[a].count = static_cast<u32>(items.size());
  s->counters[a].bytes = static_cast<u32>(b.size());
}

void set_text(u16* units, const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) units[i] = static_cast<u8>(text[i]);
}

std::string name_of(const usage::Usage& u, u32 slot) {
  return std::string(reinterpret_cast<const char*>(u.name[slot]), strnlen(reinterpret_cast<const char*>(u.name[slot]), 32));
}

// Runs the pass over a pair and keeps the outputs of the second sample.
struct Pair {
  usage::RateState state{};
  std::unique_ptr<usage::Usage> out = std::make_unique<usage::Usage>();
  ring::Row row{};
  void run(const Sample* first, const Sample* second) {
    usage::reset(&state);
    usage::system(&state, first, out.get(), &row);
    usage::system(&state, second, out.get(), &row);
  }
};

constexpr u64 GiB = 1ull << 30, MiB = 1ull << 20;

TEST(Usage, PercentOfRoundsAndBoundsPartByWhole) {
  struct Case {
    u64 part, whole;
    u16 want;
  } cases[] = {
      {0, 0, 0},          {5, 0, 0},           {1, 3, 3333},       {2, 3, 6667},
      {7, 5, 10000},      {1, 20001, 0},       {1, 20000, 1},      {~0ull, ~0ull, 10000},
      {1ull << 62, 1ull << 63, 5000},
  };
  for (const Case& c : cases) EXPECT_EQ(usage::percent_of(c.part, c.whole), c.want) << c.part << "/" << c.whole;
}

TEST(Usage, IntervalStartsAtOneSecondAndClamps) {
  EXPECT_EQ(usage::interval(0, 5000, 0), 1000u);
  EXPECT_EQ(usage::interval(1, 5000, 5000), 1u);
  EXPECT_EQ(usage::interval(1, 5000, 7000), 1u);  // time that went back
  EXPECT_EQ(usage::interval(1, 5000, 4000), 1000u);
  EXPECT_EQ(usage::interval(1, 500000, 0), 60000u);
}

TEST(Usage, ProcessorSharesFromOneProcessor) {
  struct Case {
    Cpu before, after;
    u16 load;   // busy, hundredths
    u8 level;   // busy, half-percent steps
    u8 kernel;  // kernel level
  } cases[] = {
      // 1,000 ticks: 600 idle, 200 kernel busy, 200 user.
      {{100, 300, 100, 10}, {700, 1100, 300, 60}, 4000, 80, 40},
      // Idle grew more than kernel + user: 0 % busy, kernel time below idle counts 0.
      {{0, 0, 0, 0}, {2000, 500, 0, 0}, 0, 0, 0},
      // A counter that went back gives zero deltas.
      {{500, 900, 900, 0}, {100, 100, 100, 0}, 0, 0, 0},
      // Fully busy in user time.
      {{0, 0, 0, 0}, {0, 0, 3000, 0}, 10000, 200, 0},
  };
  for (const Case& c : cases) {
    auto a = blank(1000), b = blank(2000);
    set_cpu(a.get(), 0, c.before);
    set_cpu(b.get(), 0, c.after);
    Pair p;
    p.run(a.get(), b.get());
    EXPECT_EQ(p.row.load, c.load);
    EXPECT_EQ(p.row.core_load[0], c.level);
    EXPECT_EQ(p.out->core_kernel[0], c.kernel);
    EXPECT_EQ(p.out->cpus, 1u);
  }
}

TEST(Usage, ProcessorSumsOverAllProcessors) {
  auto a = blank(1000), b = blank(2000);
  set_cpu(a.get(), 0, {100, 300, 100, 10});
  set_cpu(b.get(), 0, {700, 1100, 300, 60});
  set_cpu(a.get(), 1, {0, 0, 0, 0});
  set_cpu(b.get(), 1, {1000, 1000, 0, 0});
  Pair p;
  p.run(a.get(), b.get());
  EXPECT_EQ(p.row.load, 2000);  // 400 busy of 2,000
  EXPECT_EQ(p.out->kernel, 1000);
  EXPECT_EQ(p.out->interrupt, 250);
  EXPECT_EQ(p.row.core_load[1], 0);
  EXPECT_EQ(p.row.core_saturated, 0u);
  EXPECT_EQ(p.out->truncated & usage::cut_cpus, 0u);
}

TEST(Usage, FirstPassGivesZeroRatesAndValidSizes) {
  auto a = blank(5000);
  set_cpu(a.get(), 0, {0, 0, 3000, 0});
  a->memory.total_physical = 8 * GiB;
  a->tick_ms = 3600500;
  set_text(a->cpu_name, "  Test(R) CPU(TM) 9000  ");
  usage::RateState st{};
  auto out = std::make_unique<usage::Usage>();
  ring::Row row;
  usage::system(&st, a.get(), out.get(), &row);
  EXPECT_EQ(row.load, 0);
  EXPECT_EQ(row.seconds, 0u);
  EXPECT_EQ(out->memory_total, 8192u);
  EXPECT_EQ(out->uptime, 3600u);
  EXPECT_EQ(out->names, 1u);
  EXPECT_EQ(name_of(*out, 0), "Test CPU 9000");
  EXPECT_EQ(st.has_previous, 1u);
  EXPECT_EQ(st.first_ms, 5000u);
  // 65 processors: 64 stored, truncated bit 0; the next sample 7 s later counts its seconds from the first.
  auto b = blank(12000);
  for (u32 i = 0; i < 65; ++i) set_cpu(b.get(), i, {0, 0, 0, 0});
  usage::system(&st, b.get(), out.get(), &row);
  EXPECT_EQ(out->cpus, 64u);
  EXPECT_EQ(out->truncated, usage::cut_cpus);
  EXPECT_EQ(row.seconds, 7u);
}

TEST(Usage, MemoryFiguresAndMissingLists) {
  auto s = blank(1000);
  s->memory.total_physical = 16 * GiB;
  s->memory.available_physical = 4 * GiB;
  sysrec::PerfInfo& p = s->performance;
  p.page_size = 4096;
  p.commit_total = 1000000;
  p.commit_limit = 2000000;
  p.system_cache = 262144;
  p.kernel_paged = 25600;
  p.kernel_nonpaged = 12800;
  p.process_count = 70000;
  p.thread_count = 1234;
  p.handle_count = 5678;
  set_array(s.get(), 3, {{"", 0, static_cast<i64>(512 * MiB)}});
  set_array(s.get(), 4, {{"", 0, static_cast<i64>(GiB)}});
  set_array(s.get(), 5, {{"", 1, static_cast<i64>(256 * MiB)}});
  set_array(s.get(), 6, {{"", 0, 0}});
  Pair pair;
  pair.run(s.get(), s.get());
  const usage::Usage& u = *pair.out;
  EXPECT_EQ(u.memory_total, 16384u);
  EXPECT_EQ(u.memory_available, 4096u);
  EXPECT_EQ(pair.row.memory_mib, 12288u);
  EXPECT_EQ(pair.row.commit_mib, 3906u);
  EXPECT_EQ(u.commit_limit, 7812u);
  EXPECT_EQ(u.system_cache, 1024u);
  EXPECT_EQ(u.paged_pool, 100u);
  EXPECT_EQ(u.nonpaged_pool, 50u);
  EXPECT_EQ(u.modified, 512u);
  EXPECT_EQ(u.standby, 1280u);
  EXPECT_EQ(pair.row.processes, 0xFFFF);
  EXPECT_EQ(pair.row.threads, 1234u);
  EXPECT_EQ(pair.row.handles, 5678u);
  EXPECT_EQ(u.flags, usage::processes_over);

  // A list array with a bad status, an empty modified array, and a size of 2^52 bytes.
  set_array(s.get(), 5, {{"", 3, static_cast<i64>(256 * MiB)}});
  s->counters[3] = {};
  s->memory.total_physical = 1ull << 52;
  pair.run(s.get(), s.get());
  EXPECT_EQ(pair.out->standby, 1024u);
  EXPECT_EQ(pair.out->modified, 0u);
  EXPECT_EQ(pair.out->memory_total, 0xFFFFFFFFu);
  EXPECT_EQ(pair.out->flags, usage::processes_over | usage::modified_missing | usage::standby_missing |
                                 usage::memory_saturated);
}

// Volumes C and D on disk 0, E (removable, 2^52 bytes) on disk 1 whose write counter is missing.
std::unique_ptr<Sample> drives() {
  auto s = blank(1000);
  s->drive_mask = 0b11100;
  s->drive_flag[2] = s->drive_flag[3] = 1;
  s->drive_flag[4] = 2;
  s->total[2] = 100 * GiB;
  s->free[2] = 40 * GiB;
  s->total[3] = 1024 * GiB;
  s->free[3] = 512 * GiB;
  s->total[4] = 1ull << 52;
  s->free[4] = 0;
  set_text(s->labels[2], "System");
  set_text(s->labels[3], "Data");
  set_array(s.get(), 0, {{"_Total", 0, 5000000}, {"0 C: D:", 0, 1048576}, {"1 E:", 0, 2047}});
  set_array(s.get(), 1, {{"_Total", 0, 0}, {"0 C: D:", 0, 10240}});
  set_array(s.get(), 2, {{"_Total", 0, 0}, {"0 C: D:", 0, 25000}, {"1 E:", 0, 100000}});
  return s;
}

TEST(Usage, VolumesAndDisks) {
  auto s = drives();
  Pair p;
  p.run(s.get(), s.get());
  const usage::Usage& u = *p.out;
  EXPECT_EQ(u.volume_present, 0b11100u);
  EXPECT_EQ(u.volume_removable, 0b10000u);
  EXPECT_EQ(u.volume_saturated, 0b10000u);
  EXPECT_EQ(u.volume_total[2], 102400u);
  EXPECT_EQ(u.volume_free[2], 40960u);
  EXPECT_EQ(u.volume_used[2], 61440u);
  EXPECT_EQ(u.volume_used[4], 0xFFFFFFFFu);
  EXPECT_EQ(name_of(u, u.volume_label[2]), "System");
  EXPECT_EQ(name_of(u, u.volume_label[3]), "Data");
  EXPECT_EQ(u.volume_label[4], 3);
  ASSERT_EQ(u.disks, 2u);
  EXPECT_EQ(u.disk_number[0], 0u);
  EXPECT_EQ(u.disk_letters[0], 0b1100u);
  EXPECT_EQ(name_of(u, u.disk_name[0]), "0 C: D:");
  EXPECT_EQ(name_of(u, u.disk_name[1]), "1 E:");
  EXPECT_EQ(p.row.disk_read[0], 1024u);
  EXPECT_EQ(p.row.disk_write[0], 10u);
  EXPECT_EQ(u.disk_level[0], 150);
  EXPECT_EQ(p.row.disk_figure[0], 61440u + 524288u);
  // Disk 1: no write counter, so no rates and no activity, but its name and sizes stand.
  EXPECT_EQ(u.disk_missing, 0b10u);
  EXPECT_EQ(p.row.disk_read[1], 0u);
  EXPECT_EQ(u.disk_level[1], 0);
  EXPECT_EQ(p.row.disk_figure[1], 0xFFFFFFFFu);
  EXPECT_EQ(u.disk_saturated, 0u);
  EXPECT_EQ(u.names, 6u);
  EXPECT_EQ(u.truncated, 0u);
}

TEST(Usage, DisksPastSixteenAreCut) {
  struct Case {
    u32 instances;
    u32 stored;
    u32 truncated;
  } cases[] = {{16, 16, 0}, {17, 16, usage::cut_disks}, {20, 16, usage::cut_disks}};
  for (const Case& c : cases) {
    auto s = blank(1000);
    std::vector<build::Item> items;
    for (u32 i = 0; i < c.instances; ++i) items.push_back({std::to_string(i), 0, 4096});
    set_array(s.get(), 0, items);
    set_array(s.get(), 1, items);
    set_array(s.get(), 2, items);
    Pair p;
    p.run(s.get(), s.get());
    EXPECT_EQ(p.out->disks, c.stored);
    EXPECT_EQ(p.out->truncated, c.truncated) << c.instances;
    EXPECT_EQ(p.out->disk_missing, 0u);
    EXPECT_EQ(p.row.disk_read[15], 4u);
  }
}

void set_nic(Sample* s, u32 i, u64 luid, const std::string& alias, u64 in, u64 out) {
  sysrec::IfRow r{};
  r.luid = luid;
  for (size_t k = 0; k < alias.size(); ++k) r.alias[k] = static_cast<u8>(alias[k]);
  r.in_octets = in;
  r.out_octets = out;
  r.receive_speed = 1000000000;
  r.flags = sysrec::if_hardware;
  s->nics[i] = r;
  s->nic_rows = std::max(s->nic_rows, i + 1);
  s->nic_passing = s->nic_rows;
}

TEST(Usage, InterfaceRatesMatchByIdentity) {
  struct Case {
    u64 ms;   // between the samples
    u64 in;   // bytes received in between
    u32 kib;  // KiB/s expected
  } cases[] = {{1000, 1024000, 1000}, {2000, 2048000, 1000}, {1000, 512, 1}, {0, 1024, 1000}, {1000, 0, 0}};
  for (const Case& c : cases) {
    auto a = blank(10000), b = blank(10000 + c.ms);
    set_nic(a.get(), 0, 11, "eth0", 1000, 0);
    set_nic(b.get(), 0, 22, "wlan0", 5000000, 5000000);  // new since the previous sample
    set_nic(b.get(), 1, 11, "eth0", 1000 + c.in, 0);
    Pair p;
    p.run(a.get(), b.get());
    ASSERT_EQ(p.out->nics, 2u);
    EXPECT_EQ(p.row.receive[0], 0u);
    EXPECT_EQ(p.row.send[0], 0u);
    EXPECT_EQ(p.row.receive[1], c.kib) << c.ms << " " << c.in;
    EXPECT_EQ(p.out->nic_up, 0b11u);
    EXPECT_EQ(p.out->nic_id[1], 11u);
    EXPECT_EQ(p.out->received[1], 1000 + c.in);
    EXPECT_EQ(p.out->nic_mbps[1], 1000u);
    EXPECT_EQ(name_of(*p.out, p.out->nic_name[0]), "wlan0");
    EXPECT_EQ(p.state.nics, 2u);
    EXPECT_EQ(p.state.nic_id[0], 22u);
  }
  // A counter that went back, and more wanted interfaces than rows.
  auto a = blank(1000), b = blank(2000);
  set_nic(a.get(), 0, 11, "eth0", 9000000, 0);
  set_nic(b.get(), 0, 11, "eth0", 100, 0);
  b->nic_passing = 9;
  Pair p;
  p.run(a.get(), b.get());
  EXPECT_EQ(p.row.receive[0], 0u);
  EXPECT_EQ(p.out->truncated, usage::cut_nics);
}

TEST(Usage, GraphicsFromKeptAdapters) {
  auto s = blank(1000);
  s->memory.total_physical = 16 * GiB;
  gpu::Section& g = s->gpu;
  g.adapters = 2;
  g.luid[0] = 0x100;
  g.luid[1] = 0x200;  // a software device
  g.dedicated[0] = 512 * MiB;
  g.shared[0] = 64 * MiB;
  struct Engine {
    i16 util;
    u8 cls, adapter, number;
  } engines[] = {{3000, gpu::class_3d, 0, 0}, {5000, gpu::class_3d, 0, 1}, {2000, gpu::class_copy, 0, 2},
                 {9000, gpu::class_3d, 1, 0}};
  g.engine_rows = 4;
  for (u32 r = 0; r < 4; ++r) {
    g.util[r] = engines[r].util;
    g.engine_adapter[r] = engines[r].adapter;
    g.engine_number[r] = engines[r].number;
    for (u32 k = 0; k < 3; ++k) g.class_bits[k][0] |= static_cast<u64>((engines[r].cls >> k) & 1) << r;
  }
  g.flags = gpu::process_failed;
  gpu::AdapterList& l = s->gpu_adapters;
  l.listed = 2;
  l.luid[0] = 0x100;
  l.dedicated[0] = 8 * GiB;
  set_text(l.description[0], "Test GPU");
  l.luid[1] = 0x200;
  l.type[1] = gpu::software_device;
  Pair p;
  p.run(s.get(), s.get());
  const usage::Usage& u = *p.out;
  ASSERT_EQ(u.gpus, 1u);
  EXPECT_EQ(u.gpu_id[0], 0x100u);
  EXPECT_EQ(u.gpu_flags, gpu::process_failed);
  EXPECT_EQ(u.gpu_class[0][gpu::class_3d], 5000);
  EXPECT_EQ(u.gpu_class[0][gpu::class_copy], 2000);
  EXPECT_EQ(u.gpu_classes[0], 0b110);
  EXPECT_EQ(p.row.gpu_load[0], 5000);
  EXPECT_EQ(p.row.gpu_engines[0][0], 100);
  EXPECT_EQ(p.row.gpu_engines[0][1], 40);
  EXPECT_EQ(p.row.gpu_dedicated_mib[0], 512u);
  EXPECT_EQ(p.row.gpu_shared_mib[0], 64u);
  EXPECT_EQ(u.gpu_shared_used[0], 64u);
  EXPECT_EQ(u.gpu_dedicated[0], 8192u);
  EXPECT_EQ(u.gpu_shared_limit[0], 8192u);
  EXPECT_EQ(name_of(u, u.gpu_name[0]), "Test GPU");
  EXPECT_EQ(u.gpu_saturated, 0u);
  EXPECT_EQ(u.truncated, 0u);
  // Two engines on one cell sum past 100 %: the load is capped and the GPU marked saturated.
  g.engine_number[1] = 0;
  g.util[1] = 8000;
  g.flags = gpu::adapters_over;
  p.run(s.get(), s.get());
  EXPECT_EQ(p.row.gpu_load[0], 10000);
  EXPECT_EQ(p.out->gpu_saturated, 1u);
  EXPECT_EQ(p.out->truncated, usage::cut_gpus);
}

TEST(Usage, BatteriesAndThermalZones) {
  auto s = blank(1000);
  sysrec::BatteryBlock& b = s->batteries;
  b.batteries = 5;
  b.zones = 3;
  const sysrec::BatteryEntry batteries[4] = {{50, 1}, {120, 2}, {30, 3}, {10, 7}};
  for (u32 i = 0; i < 4; ++i) b.battery[i] = batteries[i];
  b.zone[0] = {7, 45500};
  b.zone[1] = {8, -2147483647 - 1};
  b.zone[2] = {70000, -5250};  // a number beyond 16 bits is held at 65,535
  Pair p;
  p.run(s.get(), s.get());
  const usage::Usage& u = *p.out;
  EXPECT_EQ(u.batteries, 4u);
  EXPECT_EQ(u.truncated, usage::cut_batteries);
  EXPECT_EQ(u.battery_charge[0], 50);
  EXPECT_EQ(u.battery_charge[1], 100);
  EXPECT_EQ(u.battery_state[0], 0b0101);  // states 1, 2, 3, 0 (7 is no state)
  EXPECT_EQ(u.battery_state[1], 0b0110);
  EXPECT_EQ(u.battery_state[2], 0);
  EXPECT_EQ(u.zones, 3u);
  EXPECT_EQ(u.zone_number[0], 7);
  EXPECT_EQ(u.zone_temp[0], 455);
  EXPECT_EQ(u.zone_temp[1], -32768);
  EXPECT_EQ(u.zone_number[2], 0xFFFF);
  EXPECT_EQ(u.zone_temp[2], -52);
  EXPECT_EQ(u.flags, usage::battery_over | usage::thermal_over | usage::modified_missing | usage::standby_missing);
}

TEST(Usage, MeterPower) {
  struct Case {
    u64 now, previous, wrap, now_stamp, previous_stamp;
    u32 read;
    bool ok;
    u64 mw;
  } cases[] = {
      {4166666767, 100, 0, 10000000, 0, 1, true, 15000},
      {1000, 400, 0, 200, 100, 0, true, 6},
      {3166666667, 999000000000, 1000000000000, 10000000, 0, 1, true, 15000},  // wrapped
      {100, 400, 0, 200, 100, 1, false, 0},                                    // went back, no wrap
      {400, 400, 0, 200, 100, 1, false, 0},                                    // no energy
      {500, 400, 0, 100, 100, 1, false, 0},                                    // time stood still
      {1ull << 50, 0, 0, 1, 0, 0, true, 1ull << 40},                           // delta capped
      {100, 5000, 1000, 200, 100, 0, false, 0},  // went back by more than a wrap: reset, not wrapped
      {100, 1100, 1000, 200, 100, 0, false, 0},  // back by exactly the wrap: no energy
      {100, 1050, 1000, 1, 0, 0, true, 50},      // 950 up to the wrap point, then 100 more
  };
  for (const Case& c : cases) {
    u64 mw = 7;
    EXPECT_EQ(usage::meter_power(c.now, c.previous, c.wrap, c.now_stamp, c.previous_stamp, c.read, &mw), c.ok);
    EXPECT_EQ(mw, c.mw) << c.now;
  }
  EXPECT_EQ(usage::meter_units(0), 1);
  EXPECT_EQ(usage::meter_units(45678), 457);
  EXPECT_EQ(usage::meter_units(~0ull), 0xFFFF);
}

TEST(Usage, PowerPartsAndTotal) {
  auto a = blank(1000), b = blank(2000);
  for (Sample* s : {a.get(), b.get()}) {
    s->power_read = 1;
    s->energy_mask = 0b11;  // cpu and dram
  }
  a->energy[0] = 999000000000;
  b->energy[0] = 3166666667;  // wrapped at 10^12
  b->wraps[0] = 1000000000000;
  b->stamps[0] = 10000000;
  a->energy[1] = 1000;
  b->energy[1] = 500;  // went back without a wrap value: not computable
  b->stamps[1] = 10000000;
  Pair p;
  p.run(a.get(), b.get());
  EXPECT_EQ(p.out->power[0], 150);
  EXPECT_EQ(p.out->power[1], 0);
  EXPECT_EQ(p.row.power, 150);
  EXPECT_EQ(p.row.power_flags, 0b1);
  EXPECT_EQ(p.out->power_flags, 0b1);
  // The system part read directly wins the total; the battery bit follows it.
  b->power_flags = collect::power_valid;
  b->power = 70000000;  // 70 kW saturates
  b->battery_alone = 1;
  p.run(a.get(), b.get());
  EXPECT_EQ(p.out->power[3], 0xFFFF);
  EXPECT_EQ(p.row.power, 0xFFFF);
  EXPECT_EQ(p.row.power_flags, 0b1001 | usage::power_battery | usage::power_saturated);
  // Without a previous sample only the direct part counts.
  b->power = 45678;
  usage::reset(&p.state);
  usage::system(&p.state, b.get(), p.out.get(), &p.row);
  EXPECT_EQ(p.row.power, 457);
  EXPECT_EQ(p.row.power_flags, 0b1000 | usage::power_battery);
}

TEST(Usage, SurplusNamesShareTheLastSlot) {
  auto u = std::make_unique<usage::Usage>();
  std::memset(u.get(), 0, sizeof *u);
  u16 last = 0;
  for (u32 i = 0; i < 70; ++i) {
    std::string text = "name " + std::to_string(i);
    last = usage::name_put_ascii(u.get(), machines::bytes(text));
    if (i < 63) {
      EXPECT_EQ(last, i);
    }
  }
  EXPECT_EQ(last, 63);
  EXPECT_EQ(u->names, 64u);
  EXPECT_EQ(name_of(*u, 63), "name 69");
}

// Every byte the record does not name stays zero, whatever the sample holds.
TEST(Usage, UnnamedBytesStayZero) {
  auto s = drives();
  set_cpu(s.get(), 0, {1, 2, 3, 4});
  std::memset(&s->batteries, 0xFF, sizeof s->batteries);
  std::memset(s->zero_146456, 0xFF, sizeof s->zero_146456);
  std::memset(s->zero_146600, 0xFF, sizeof s->zero_146600);
  Pair p;
  p.run(s.get(), s.get());
  const usage::Usage& u = *p.out;
  EXPECT_EQ(u.zero_28, 0u);
  EXPECT_EQ(u.zero_132, 0u);
  EXPECT_EQ(u.zero_740, 0u);
  EXPECT_EQ(u.zero_1155, 0);
  EXPECT_EQ(u.zero_1421[0] | u.zero_1421[1] | u.zero_1421[2], 0);
  EXPECT_EQ(u.zero_3732, 0u);
  const u8* t = reinterpret_cast<const u8*>(&u.temps);
  for (u32 i = 0; i < sizeof u.temps; ++i) ASSERT_EQ(t[i], 0) << i;
  EXPECT_EQ(p.row.kernel, 0);
  EXPECT_EQ(p.row.uptime, 0u);
  EXPECT_EQ(p.row.unused, 0);
  EXPECT_EQ(u.batteries, 4u);  // a hostile block is capped
  EXPECT_EQ(u.zones, 64u);
}

TEST(Usage, FixtureMachineSamples) {
  for (const char* machine : {"desktop", "laptop", "bare"}) {
    auto state = std::make_unique<collect::State>();
    ASSERT_TRUE(collect::open_at(state.get(), 10000, machines::bytes(machines::fixture(machine))));
    auto a = blank(0), b = blank(0);
    collect::sample(state.get(), a.get());
    collect::sample(state.get(), b.get());
    Pair p;
    p.run(a.get(), b.get());
    EXPECT_GE(p.out->cpus, 1u) << machine;
    EXPECT_LE(p.row.load, 10000) << machine;
    EXPECT_GT(p.out->memory_total, 0u) << machine;
    EXPECT_LE(p.row.memory_mib, p.out->memory_total) << machine;
    EXPECT_GE(p.out->names, 1u) << machine;
    collect::close(state.get());
  }
}

TEST(Usage, LiveSamplesOneSecondApart) {
  auto state = std::make_unique<collect::State>();
  ASSERT_TRUE(collect::open(state.get(), 10000));
  auto a = blank(0), b = blank(0);
  ASSERT_TRUE(collect::sample(state.get(), a.get()));
  sleep(1);
  ASSERT_TRUE(collect::sample(state.get(), b.get()));
  Pair p;
  p.run(a.get(), b.get());
  EXPECT_EQ(p.out->cpus, std::min<u32>(64, static_cast<u32>(sysconf(_SC_NPROCESSORS_CONF))));
  EXPECT_LE(p.row.load, 10000);
  EXPECT_GT(p.out->memory_total, 0u);
  EXPECT_LT(p.row.memory_mib, p.out->memory_total);
  EXPECT_GT(p.row.processes, 0);
  EXPECT_GE(p.row.seconds, 0u);
  EXPECT_GE(p.out->uptime, 1u);
  EXPECT_NE(p.out->name[0][0], 0);
  for (u32 i = 0; i < p.out->cpus; ++i) EXPECT_LE(p.row.core_load[i], 200);
  // The process pass over two real process samples: every live process has a row, the shares total at most 100 %.
  auto procs = std::make_unique<collect::ProcSample>();
  *procs = collect::ProcSample{};
  usage::ProcRateState ps{};
  auto walk = std::make_unique<usage::ProcWalk>();
  auto table = std::make_unique<model::ProcTable>();
  auto counters = std::make_unique<usage::ProcCounters>();
  model::table_init(table.get());
  for (int round = 0; round < 2; ++round) {
    if (round) usleep(200000);
    ASSERT_TRUE(collect::sample_procs(state.get(), procs.get()));
    ASSERT_TRUE(usage::procs(&ps, procs.get(), &b->gpu, &b->gpu_adapters, walk.get(), table.get(), counters.get()));
  }
  EXPECT_GT(table->count, 1u);
  EXPECT_NE(model::proc_find_row(table.get(), static_cast<u32>(getpid())), model::no_row);
  u64 total = 0;
  for (u32 r = 0; r < table->count; ++r) total += table->cpu[r];
  EXPECT_LE(total, 10000u);
  collect::buffer_fit(&procs->buffer, 0);
  collect::close(state.get());
}

}  // namespace

namespace {

// Samples come from snapshot files and other processes: random bytes in every field must give bounded records and
// no read or write outside them (the sanitizers watch).
TEST(Usage, RandomSamplesStayBounded) {
  u64 seed = 0x9E3779B97F4A7C15ull;
  auto next = [&seed] {
    seed ^= seed << 13;
    seed ^= seed >> 7;
    seed ^= seed << 17;
    return seed;
  };
  auto s = blank(0);
  u8* bytes = reinterpret_cast<u8*>(s.get());
  Pair p;
  usage::reset(&p.state);
  for (int round = 0; round < 40; ++round) {
    for (size_t i = 0; i < sizeof *s; i += 8) {
      u64 v = next();
      std::memcpy(bytes + i, &v, std::min<size_t>(8, sizeof *s - i));
    }
    // Half the rounds keep the counts small, so that the passes walk their entries.
    if (round % 2) {
      s->cpu_bytes %= 4000;
      s->nic_rows %= 10;
      for (auto& c : s->counters) c.count %= 20;
      s->gpu.adapters %= 9;
      s->gpu.engine_rows %= 200;
      s->gpu_adapters.listed %= 33;
    }
    usage::system(&p.state, s.get(), p.out.get(), &p.row);
    const usage::Usage& u = *p.out;
    ASSERT_LE(u.cpus, 64u);
    ASSERT_LE(u.disks, 16u);
    ASSERT_LE(u.nics, 8u);
    ASSERT_LE(u.gpus, 4u);
    ASSERT_LE(u.batteries, 4u);
    ASSERT_LE(u.zones, 64u);
    ASSERT_GE(u.names, 1u);
    ASSERT_LE(u.names, 64u);
    ASSERT_LE(p.row.load, 10000);
    for (u32 g = 0; g < 4; ++g) ASSERT_LE(p.row.gpu_load[g], 10000);
    for (u32 i = 0; i < 64; ++i) ASSERT_LE(p.row.core_load[i], 200);
    for (u32 d = 0; d < 16; ++d) ASSERT_LE(u.disk_level[d], 200);
    ASSERT_EQ(u.zero_3732, 0u);
  }
}

}  // namespace
