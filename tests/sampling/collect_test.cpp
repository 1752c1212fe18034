// The collector on fixture trees of /proc and /sys files: exact bytes of the samples, the staggered refresh and
// the retained-buffer rules.
#include "sampling/collect.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>

#include "platform/net.h"
#include "sampling/model.h"
#include "sampling/ntinfo.h"
#include "sampling/snap.h"
#include "tests/sampling/machines.h"
#include "tests/support/testutil.h"

namespace {

namespace fsys = std::filesystem;

using machines::ascii;
using machines::bytes;
using machines::fixture;

struct Collector {
  std::unique_ptr<collect::State> state = std::make_unique<collect::State>();
  std::unique_ptr<collect::Sample> sample = std::make_unique<collect::Sample>();
  std::unique_ptr<collect::ProcSample> procs = std::make_unique<collect::ProcSample>();
  explicit Collector(const std::string& root) {
    *procs = collect::ProcSample{};
    EXPECT_TRUE(collect::open_at(state.get(), 10000, bytes(root)));
  }
  ~Collector() {
    collect::buffer_fit(&procs->buffer, 0);
    collect::close(state.get());
  }
  bool take() { return collect::sample(state.get(), sample.get()); }
};

// The items of one counter slot, decoded.
std::unique_ptr<ntinfo::Items> decoded(const sysrec::CounterSlot& slot) {
  auto items = std::make_unique<ntinfo::Items>();
  ntinfo::pdh_decode(sysrec::items_of(slot), slot.address, slot.count, items.get());
  return items;
}
std::string name_of(const ntinfo::Items& items, u32 k) {
  return std::string(reinterpret_cast<const char*>(items.name[k]), strnlen(reinterpret_cast<const char*>(items.name[k]), 32));
}

// ---- Retained buffers.

TEST(CollectBuffer, RoundingAndGrowth) {
  struct Case {
    u64 need, cap, rounded;
  } cases[] = {
      {0, collect::proc_cap, 0},          {1, collect::proc_cap, 4096},       {3855, collect::proc_cap, 4096},
      {3856, collect::proc_cap, 8192},    {4097, collect::proc_cap, 8192},    {100000, collect::proc_cap, 106496},
      {~0ull, collect::proc_cap, collect::proc_cap}, {50000, 20000, 20000},
  };
  for (const Case& c : cases) EXPECT_EQ(collect::rounded(c.need, c.cap), c.rounded) << c.need;

  collect::Buffer b{};
  EXPECT_FALSE(collect::grow(&b, 0, 0));  // nothing may be had under a cap of 0
  EXPECT_TRUE(collect::grow(&b, 100, 65536));
  EXPECT_EQ(b.size, 4096u);
  EXPECT_TRUE(collect::grow(&b, 100, 65536));  // a too-small answer always gains at least a page
  EXPECT_EQ(b.size, 8192u);
  EXPECT_TRUE(collect::grow(&b, 40000, 65536));
  EXPECT_EQ(b.size, 45056u);
  b.data[b.size - 1] = 1;  // the whole block is there to write
  EXPECT_TRUE(collect::grow(&b, 1000000, 65536));
  EXPECT_EQ(b.size, 65536u);
  EXPECT_FALSE(collect::grow(&b, 1000000, 65536));  // at the cap
  collect::buffer_fit(&b, 0);
  EXPECT_EQ(b.size, 0u);
  EXPECT_EQ(b.data, nullptr);
  collect::buffer_fit(&b, 0);  // releasing nothing twice is fine
}

TEST(CollectBuffer, ShrinksAfterThirtySamplesUnderHalf) {
  collect::Buffer b{};
  collect::buffer_fit(&b, 65536);
  for (int i = 0; i < 29; ++i) collect::note_use(&b, 1000);
  EXPECT_EQ(b.strikes, 29);
  collect::note_use(&b, 40000);  // half or more: the count starts over
  EXPECT_EQ(b.strikes, 0);
  for (int i = 0; i < 29; ++i) collect::note_use(&b, 1000);
  collect::buffer_trim(&b, collect::proc_cap);
  EXPECT_EQ(b.size, 65536u);  // 29 are not enough
  collect::note_use(&b, 1000);
  EXPECT_EQ(b.strikes, 30);
  collect::note_use(&b, 1000);
  EXPECT_EQ(b.strikes, 30);  // saturates
  collect::buffer_trim(&b, collect::proc_cap);
  EXPECT_EQ(b.size, 4096u);  // fitted to the last use with its headroom
  collect::note_use(&b, 1000);
  EXPECT_EQ(b.strikes, 0);
  collect::buffer_fit(&b, 0);
}

// ---- Lifecycle and refresh.

TEST(CollectRefresh, SpreadsOverFiveSamplesAndWaitsForTheLastStep) {
  Collector c(fixture("bare"));
  collect::State* s = c.state.get();
  u64 due = s->next_refresh;
  ASSERT_NE(s->disk_query[0], 0u);
  EXPECT_EQ(s->disk_query[1], 0u);
  collect::refresh_step(s, due - 1);
  EXPECT_EQ(s->step, 0u);

  collect::refresh_step(s, due);  // step 1: the spare sets open
  EXPECT_EQ(s->step, 2u);
  EXPECT_EQ(s->spare_open, 1);
  EXPECT_NE(s->disk_query[1], 0u);
  EXPECT_EQ(s->next_refresh, due + 10000);
  u64 old_active = s->disk_query[0];

  collect::refresh_step(s, due + 50000);  // step 2: swap, whatever the time
  EXPECT_EQ(s->active_set, 1u);
  EXPECT_EQ(s->disk_query[0], 0u);
  EXPECT_NE(s->disk_query[1], old_active);
  EXPECT_EQ(s->spare_open, 0);
  EXPECT_EQ(s->step, 3u);
  collect::refresh_step(s, due + 50000);  // interfaces
  collect::refresh_step(s, due + 50000);  // volumes
  EXPECT_EQ(s->step, 5u);
  collect::refresh_step(s, due + 50000);  // adapters
  EXPECT_EQ(s->step, 0u);
  EXPECT_EQ(s->next_refresh, due + 10000);  // a refresh that fell due meanwhile was not started
  collect::refresh_step(s, due + 50000);
  EXPECT_EQ(s->step, 2u);
  EXPECT_EQ(s->next_refresh, due + 60000);
  EXPECT_EQ(s->active_set, 1u);
}

TEST(CollectRefresh, CloseTwiceAndOnAMissingRoot) {
  auto s = std::make_unique<collect::State>();
  // A root that is not there still opens: every source is simply missing.
  ASSERT_TRUE(collect::open_at(s.get(), 10000, bytes("/nonexistent/vimbrel-root")));
  auto sample = std::make_unique<collect::Sample>();
  EXPECT_FALSE(collect::sample(s.get(), sample.get()));
  EXPECT_EQ(sample->cpu_bytes, 0u);
  EXPECT_EQ(sample->drive_mask, 0u);
  EXPECT_EQ(sample->power_read, 1u);
  collect::close(s.get());
  collect::close(s.get());
  EXPECT_EQ(s->disk_query[0], 0u);
  EXPECT_EQ(s->reader, nullptr);
}

// ---- One system sample on each fixture machine.

TEST(CollectSample, LaptopFillsEveryPart) {
  Collector c(fixture("laptop"));
  ASSERT_TRUE(c.take());
  const collect::Sample& s = *c.sample;
  const u64 page = static_cast<u64>(sysconf(_SC_PAGESIZE));
  EXPECT_EQ(c.state->processors, 4u);
  EXPECT_EQ(c.state->boot_time, (1700000000ull + 11644473600ull) * 10000000ull);

  // Processor times: 100 ns ticks from jiffies; idle counts I/O wait, kernel time includes idle.
  ASSERT_EQ(s.cpu_bytes, 4 * sizeof(sysrec::CpuEntry));
  sysrec::CpuEntry e0;
  memcpy(&e0, s.cpus, sizeof e0);
  EXPECT_EQ(e0.idle, 50500ull * 100000);
  EXPECT_EQ(e0.kernel, (3000ull + 200 + 300 + 50000 + 500) * 100000);
  EXPECT_EQ(e0.user, 10100ull * 100000);
  EXPECT_EQ(e0.dpc, 300ull * 100000);
  EXPECT_EQ(e0.interrupt, 200ull * 100000);
  EXPECT_EQ(e0.interrupt_count, 0u);

  EXPECT_EQ(s.memory.length, 64u);
  EXPECT_EQ(s.memory.load, 25u);
  EXPECT_EQ(s.memory.total_physical, 16000000ull * 1024);
  EXPECT_EQ(s.memory.available_physical, 12000000ull * 1024);
  EXPECT_EQ(s.memory.total_page_file, 24000000ull * 1024);
  EXPECT_EQ(s.memory.available_page_file, 15000000ull * 1024);
  EXPECT_EQ(s.performance.cb, 104u);
  EXPECT_EQ(s.performance.commit_total, 9000000ull * 1024 / page);
  EXPECT_EQ(s.performance.commit_limit, 24000000ull * 1024 / page);
  EXPECT_EQ(s.performance.commit_peak, s.performance.commit_total);
  EXPECT_EQ(s.performance.system_cache, 4200000ull * 1024 / page);
  EXPECT_EQ(s.performance.kernel_paged, 250000ull * 1024 / page);
  EXPECT_EQ(s.performance.kernel_nonpaged, 160000ull * 1024 / page);
  EXPECT_EQ(s.performance.handle_count, 9120u);
  EXPECT_EQ(s.performance.process_count, 6u);
  EXPECT_EQ(s.performance.thread_count, 912u);
  EXPECT_EQ(ascii(s.cpu_name, 64), "Intel(R) Core(TM) i7-8650U CPU @ 1.90GHz");
  EXPECT_EQ(s.cpu_name_bytes, (40u + 1) * 2);

  // Volumes: "/" is C:, then D: and E: in mount-point order; the USB stick is removable and not sized.
  EXPECT_EQ(s.drive_mask, 0b11100u);
  EXPECT_EQ(s.drive_flag[2], 1);
  EXPECT_EQ(s.drive_flag[3], 1);
  EXPECT_EQ(s.drive_flag[4], 0);
  EXPECT_GT(s.total[2], 0u);
  EXPECT_EQ(s.total[4], 0u);
  EXPECT_EQ(ascii(s.labels[2], 32), "/");
  EXPECT_EQ(ascii(s.labels[3], 32), "EFI");
  EXPECT_EQ(ascii(c.state->labels[4], 32), "");  // not a fixed drive: no label read

  // Interfaces: only the wireless one is up with hardware behind it.
  EXPECT_EQ(s.nic_rows, 1u);
  EXPECT_EQ(s.nic_passing, 1u);
  const sysrec::IfRow& row = s.nics[0];
  EXPECT_EQ(row.luid, (71ull << 48) | (3ull << 24));
  EXPECT_EQ(row.index, 3u);
  EXPECT_EQ(ascii(row.alias, 257), "wlp2s0");
  EXPECT_EQ(ascii(row.description, 257), "iwlwifi");
  EXPECT_EQ(row.type, 71u);
  EXPECT_EQ(row.flags, sysrec::if_hardware);
  EXPECT_EQ(row.oper_status, 1u);
  EXPECT_EQ(row.media_connect, 1u);
  EXPECT_EQ(row.physical_length, 6u);
  EXPECT_EQ(row.physical[0], 0xa4);
  EXPECT_EQ(row.in_octets, 123456789u);
  EXPECT_EQ(row.out_octets, 23456789u);
  EXPECT_EQ(row.receive_speed, 0u);
  EXPECT_EQ(s.nics[1].luid, 0u);

  // Disks: the open collected the set once, the sample once more, so the rates are there (no I/O in between).
  auto reads = decoded(s.counters[0]);
  ASSERT_EQ(reads->count, 3u);
  EXPECT_EQ(name_of(*reads, 0), "0 C: D:");
  EXPECT_EQ(name_of(*reads, 1), "1 E:");
  EXPECT_EQ(name_of(*reads, 2), "_Total");
  EXPECT_EQ(reads->key[1], 1u);
  EXPECT_EQ(reads->letters[0], 0b1100u);
  EXPECT_EQ(reads->status[0], sysrec::counter_valid);
  EXPECT_EQ(reads->value[0], 0u);
  auto idle = decoded(s.counters[2]);
  EXPECT_EQ(idle->value[0], 100000u);  // thousandths of a percent
  // Memory lists.
  EXPECT_EQ(decoded(s.counters[3])->value[0], 1200ull * 1024);
  EXPECT_EQ(decoded(s.counters[4])->value[0], (4000000ull + 200000 + 250000 - 300000 - 1200) * 1024);
  EXPECT_EQ(decoded(s.counters[5])->count, 1u);
  EXPECT_EQ(decoded(s.counters[6])->status[0], sysrec::counter_valid);
  // Processor performance: current over base frequency, above 100 % with turbo.
  EXPECT_EQ(c.state->performance, 125000u);

  // Energy in picowatt-hours by part (package, DRAM, platform); the core zone is no part.
  EXPECT_EQ(s.energy_mask, 0b1011u);
  EXPECT_EQ(s.energy[0], 27000000000ull * 2500 / 9);
  EXPECT_EQ(s.energy[1], 1800000000ull * 2500 / 9);
  EXPECT_EQ(s.energy[3], 36000000000ull * 2500 / 9);
  EXPECT_NE(s.stamps[0], 0u);
  // The package counter wraps at its range; the others do not say, so their wrap is not known.
  EXPECT_EQ(s.wraps[0], 262143328850ull * 2500 / 9);
  EXPECT_EQ(s.wraps[1], 0u);
  EXPECT_EQ(s.wraps[3], 0u);
  // The system's battery, three quarters full and discharging (the mouse's is not counted); both thermal zones.
  EXPECT_EQ(s.batteries.batteries, 1u);
  EXPECT_EQ(s.batteries.battery[0].charge, 75);
  EXPECT_EQ(s.batteries.battery[0].state, sysrec::battery_discharging);
  ASSERT_EQ(s.batteries.zones, 2u);
  EXPECT_EQ(s.batteries.zone[0].number, 0u);
  EXPECT_EQ(s.batteries.zone[0].value, 45000);
  EXPECT_EQ(s.batteries.zone[1].number, 1u);
  EXPECT_EQ(s.batteries.zone[1].value, 52500);
  // No power meter: the battery's drain, 12.5 W; the mouse's battery is not the system's.
  EXPECT_EQ(s.power_read, 1u);
  EXPECT_EQ(s.power_flags, collect::power_valid);
  EXPECT_EQ(s.battery_alone, 1u);
  EXPECT_EQ(s.power, 12500u);

  // Memory compression from the compressed-RAM device; every graphics array was read.
  EXPECT_EQ(c.state->hardware.compressed, 14680064u);
  EXPECT_NE(c.state->hardware.flags & collect::hw_compression, 0u);
  EXPECT_EQ(s.gpu.flags, 0u);
}

TEST(CollectSample, DesktopVolumesThroughAMapperAndAPowerMeter) {
  Collector c(fixture("desktop"));
  ASSERT_TRUE(c.take());
  const collect::Sample& s = *c.sample;
  EXPECT_EQ(s.drive_mask, 0b11100u);
  EXPECT_EQ(ascii(s.labels[4], 32), "/data");
  auto reads = decoded(s.counters[1]);
  ASSERT_EQ(reads->count, 3u);
  EXPECT_EQ(name_of(*reads, 0), "0 C: D:");  // the NVMe disk
  EXPECT_EQ(name_of(*reads, 1), "1 E:");     // the hard disk below the encrypted volume
  // Two interfaces pass: Ethernet with its link speed, and a tunnel without hardware (marked virtual).
  ASSERT_EQ(s.nic_rows, 2u);
  EXPECT_EQ(ascii(s.nics[0].alias, 257), "enp5s0");
  EXPECT_EQ(s.nics[0].receive_speed, 1000000000u);
  EXPECT_EQ(s.nics[1].type, 53u);
  EXPECT_EQ(s.nics[1].flags, 0);
  // The power meter wins; the graphics card's sensor is no system meter; energy needs the super-user here.
  EXPECT_EQ(s.power, 187500u);
  EXPECT_EQ(s.power_flags, collect::power_valid);
  EXPECT_EQ(s.battery_alone, 0u);
  EXPECT_EQ(s.energy_mask, 0u);
  EXPECT_EQ(c.state->performance, 100000u);
  EXPECT_EQ(c.state->hardware.flags & collect::hw_compression, 0u);
  EXPECT_EQ(s.performance.commit_limit, s.performance.physical_total);  // no swap

  // Without swap in use the private bytes are the resident anonymous pages alone.
  ASSERT_TRUE(collect::sample_procs(c.state.get(), c.procs.get()));
  auto walk = std::make_unique<ntinfo::ProcWalk>();
  ntinfo::proc_walk(mem::Bytes(c.procs->buffer.data, collect::procs_used(c.procs.get())), c.procs->head.address,
                    c.procs->head.boot_time, walk.get());
  ASSERT_EQ(walk->entries, 2u);
  EXPECT_EQ(walk->pid[1], 4000u);
  EXPECT_EQ(walk->working_set[1], 50000ull * 1024);
  EXPECT_EQ(walk->private_bytes[1], 40000ull * 1024);
  EXPECT_EQ(c.procs->head.pids[0], 4000u);
}

TEST(CollectSample, BareMachineAnswersNotAvailable) {
  Collector c(fixture("bare"));
  ASSERT_TRUE(c.take());
  const collect::Sample& s = *c.sample;
  EXPECT_EQ(s.cpu_bytes, sizeof(sysrec::CpuEntry));
  EXPECT_EQ(s.drive_mask, 0b100u);
  EXPECT_EQ(s.nic_rows, 1u);
  EXPECT_EQ(s.nics[0].receive_speed, 0u);  // the driver does not know its speed
  EXPECT_EQ(c.state->performance, 0u);     // no frequency scaling
  EXPECT_EQ(s.power_read, 1u);
  EXPECT_EQ(s.power_flags, 0u);
  EXPECT_EQ(s.power, 0u);
  EXPECT_EQ(s.battery_alone, 0u);
  EXPECT_EQ(s.energy_mask, 0u);
  EXPECT_EQ(c.state->hardware.compressed, 0u);
  EXPECT_EQ(c.state->hardware.changes, 1u);
  // No thermal zone: reading the zones adds no sensor.
  collect::read_zones(c.state.get());
  EXPECT_EQ(c.state->readings.named, 0);
  // No battery, no zone, no energy counter to wrap; every byte that no step writes stays zero.
  EXPECT_EQ(s.batteries.batteries, 0u);
  EXPECT_EQ(s.batteries.zones, 0u);
  for (u64 w : s.wraps) EXPECT_EQ(w, 0u);
  for (u8 b : s.zero_146456) ASSERT_EQ(b, 0);
  for (u8 b : s.zero_146600) ASSERT_EQ(b, 0);
}

TEST(CollectSample, ThermalZonesInTenthsOfADegree) {
  Collector c(fixture("laptop"));
  collect::read_zones(c.state.get());
  const heat::Readings& r = c.state->readings;
  ASSERT_EQ(r.named, 2);
  EXPECT_EQ(r.sensor[0], 450);
  EXPECT_EQ(r.sensor[1], 525);
  EXPECT_NE(std::string(reinterpret_cast<const char*>(r.name[1]), 24).find("x86_pkg_temp"), std::string::npos);
}

// Disk rates come from the last two collects of the same query, in bytes per second.
TEST(CollectSample, DiskRatesBetweenTwoCollects) {
  testutil::TempDir dir;
  fsys::copy(fixture("bare"), dir.path, fsys::copy_options::recursive | fsys::copy_options::copy_symlinks);
  Collector c(dir.path);
  const u64 t0 = collect::qpc();
  ASSERT_TRUE(c.take());
  const u64 t1 = collect::qpc();
  {
    std::ofstream out(dir.path + "/proc/diskstats");
    // 2,000 more sectors read, 1,000 more written, 250 ms more busy.
    out << "  254       0 vda 400 0 42000 100 300 0 31000 200 0 750 300 0 0 0 0 0 0\n";
  }
  usleep(200000);
  const u64 t2 = collect::qpc();
  ASSERT_TRUE(c.take());
  const u64 t3 = collect::qpc();
  auto reads = decoded(c.sample->counters[0]);
  auto writes = decoded(c.sample->counters[1]);
  auto idle = decoded(c.sample->counters[2]);
  ASSERT_EQ(reads->count, 2u);
  EXPECT_EQ(reads->status[0], sysrec::counter_valid);
  // The collects' own interval lies between the pause between the takes and the whole of both, however long a busy
  // machine makes a take: the rate lies between the bytes over the one and over the other.
  const double longest = static_cast<double>(t3 - t0) / 1e7, shortest = static_cast<double>(t2 - t1) / 1e7;
  for (const auto& [value, bytes] : {std::pair{reads->value[0], 2000.0 * 512}, std::pair{writes->value[0], 1000.0 * 512}}) {
    EXPECT_GE(static_cast<double>(value) + 1, bytes / longest);
    EXPECT_LE(static_cast<double>(value) - 1, bytes / shortest);
  }
  EXPECT_EQ(reads->value[1], reads->value[0]);  // _Total
  EXPECT_LT(idle->value[0], 100000u - 20000);
}

// ---- The process sample.

TEST(CollectProcs, LaptopChainWithUnreadableColumnsAndTcpOwners) {
  Collector c(fixture("laptop"));
  ASSERT_TRUE(collect::sample_procs(c.state.get(), c.procs.get()));
  const collect::ProcHeader& h = c.procs->head;
  EXPECT_EQ(h.status, collect::status_success);
  EXPECT_EQ(h.boot_time, c.state->boot_time);
  EXPECT_EQ(h.processors, 4u);
  EXPECT_EQ(h.address, reinterpret_cast<u64>(c.procs->buffer.data));
  EXPECT_GT(c.procs->buffer.size, h.used);  // grown on the first answer, with headroom

  auto walk = std::make_unique<ntinfo::ProcWalk>();
  mem::Bytes chain(c.procs->buffer.data, collect::procs_used(c.procs.get()));
  ntinfo::proc_walk(chain, h.address, h.boot_time, walk.get());
  ASSERT_EQ(walk->entries, 6u);
  EXPECT_EQ(walk->flags, 0u);
  EXPECT_EQ(walk->threads, 1u + 1 + 1 + 5 + 80 + 1);
  auto name = [&](u32 i) {
    u8 out[64];
    u64 n = ntinfo::name_take(chain, walk->name_offset[i], walk->name_units[i], false, mem::Slice{out, sizeof out});
    return std::string(reinterpret_cast<char*>(out), n);
  };
  struct Want {
    u32 pid, parent, start, handles;
    u64 cpu, working_set, private_bytes, read, write;
    const char* name;
  } wants[] = {
      {1, 0, 0, 3, 450ull * 100000, 12000ull * 1024, 4000ull * 1024, 900000000, 400000000, "systemd"},
      {2, 0, 0, 1, 5ull * 100000, 0, 0, 0, 0, "kthreadd"},
      {812, 1, 40, 3, 42ull * 100000, 30000ull * 1024, 10000ull * 1024, 4096, 0, "gnome-shell-calendar-server"},
      {1500, 1, 60, 6, 59000ull * 100000, 900000ull * 1024, 720000ull * 1024, 300000000, 120000000, "firefox"},
      // Another user's process: still listed, its I/O not reported and its open files unknown.
      {2001, 1, 30, 0, 30ull * 100000, 8000ull * 1024, 2000ull * 1024, sysrec::io_unreported, sysrec::io_unreported,
       "sshd"},
  };
  for (const Want& w : wants) {
    u32 i = 0;
    while (i < walk->stored && walk->pid[i] != w.pid) ++i;
    ASSERT_LT(i, walk->stored) << w.pid;
    EXPECT_EQ(walk->parent[i], w.parent) << w.pid;
    EXPECT_EQ(walk->start[i], w.start) << w.pid;
    EXPECT_EQ(walk->handles[i], w.handles) << w.pid;
    EXPECT_EQ(walk->cpu[i], w.cpu) << w.pid;
    EXPECT_EQ(walk->working_set[i], w.working_set) << w.pid;
    EXPECT_EQ(walk->private_bytes[i], w.private_bytes) << w.pid;
    EXPECT_EQ(walk->read_bytes[i], w.read) << w.pid;
    EXPECT_EQ(walk->write_bytes[i], w.write) << w.pid;
    EXPECT_EQ(name(i), w.name) << w.pid;
  }

  // TCP: three IPv4 rows (two of firefox, one in time-wait without owner) and one IPv6 row of pid 1.
  EXPECT_EQ(h.tcp_rows, 4);
  EXPECT_EQ(h.tcp_missing, 0u);
  ASSERT_EQ(h.tcp_pids, 4u);
  EXPECT_EQ(h.pids[0], 1500u);
  EXPECT_EQ(h.pids[1], 1500u);
  EXPECT_EQ(h.pids[2], 0u);
  EXPECT_EQ(h.pids[3], 1u);
  // Next time the holders known from before are confirmed, not searched again: the same owners.
  ASSERT_TRUE(collect::sample_procs(c.state.get(), c.procs.get()));
  EXPECT_EQ(h.tcp_pids, 4u);
  EXPECT_EQ(h.pids[0], 1500u);
  EXPECT_EQ(h.pids[3], 1u);
}

TEST(CollectProcs, ChainLargerThanTheCapFailsAndGrowsForNextTime) {
  Collector c(fixture("laptop"));
  c.state->proc_cap = 1024;
  EXPECT_FALSE(collect::sample_procs(c.state.get(), c.procs.get()));
  EXPECT_EQ(c.procs->head.status, collect::status_length_mismatch);
  EXPECT_EQ(c.procs->head.used, 0u);
  EXPECT_EQ(c.procs->buffer.size, 1024u);
  c.state->proc_cap = collect::proc_cap;
  EXPECT_TRUE(collect::sample_procs(c.state.get(), c.procs.get()));
  collect::procs_reset(c.procs.get());
  EXPECT_EQ(collect::procs_used(c.procs.get()), 0u);
}

TEST(CollectProcs, MoreTcpRowsThanThePidList) {
  testutil::TempDir dir;
  fsys::copy(fixture("bare"), dir.path, fsys::copy_options::recursive | fsys::copy_options::copy_symlinks);
  {
    std::ofstream out(dir.path + "/proc/net/tcp");
    out << "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
    for (int i = 0; i < 5000; ++i) {
      out << "   " << i << ": 0100007F:1F90 0100007F:" << std::hex << (10000 + i) << std::dec
          << " 01 00000000:00000000 00:00000000 00000000     0        0 " << (700000 + i) << " 1 0 20 4 30 10 -1\n";
    }
  }
  Collector c(dir.path);
  ASSERT_TRUE(collect::sample_procs(c.state.get(), c.procs.get()));
  EXPECT_EQ(c.procs->head.tcp_rows, 5000);
  EXPECT_EQ(c.procs->head.tcp_pids, 4096u);
  EXPECT_EQ(c.procs->head.tcp_missing, 0u);
  EXPECT_GE(c.state->tcp.size, 4u + 5000 * sizeof(sysrec::TcpRow));
}

// A live report whose pair carries no TCP owners counts the connections of the ten processes it lists, and only
// theirs: on the fixture machine pid 1500 holds two IPv4 rows and pid 1 one IPv6 row.
TEST(SnapReport, CountsTheConnectionsOfTheListedProcesses) {
  sysinfo::Reader* r = sysinfo::open(machines::bytes(machines::fixture("laptop")));
  ASSERT_NE(r, nullptr);
  ASSERT_TRUE(net::defer_owners(r));
  std::vector<u8> buffer(1 << 14);
  u32 size = 0;
  ASSERT_EQ(net::tcp_table(r, net::family_ipv4, mem::Slice{buffer.data(), buffer.size()}, &size), 0u);
  ASSERT_EQ(net::tcp_table(r, net::family_ipv6, mem::Slice{buffer.data(), buffer.size()}, &size), 0u);
  auto t = std::make_unique<model::ProcTable>();
  model::table_init(t.get());
  // (pid, cpu, tcp before): 1500 and 812 rank first, nine more follow, pid 1 ranks twelfth and is not listed.
  std::vector<std::array<u32, 3>> rows = {{1, 10, 0}, {1500, 900, 0}, {812, 800, 7}};
  for (u32 pid = 3001; pid <= 3009; ++pid) rows.push_back({pid, 500, 0});
  for (const auto& [pid, cpu, tcp] : rows) {
    const std::string name = "p" + std::to_string(pid);
    const u32 row = model::proc_row(t.get(), model::proc_upsert(t.get(), pid, 0, 1, machines::bytes(name)));
    t->cpu[row] = static_cast<u16>(cpu);
    t->tcp[row] = static_cast<u16>(tcp);
  }
  snap::count_listed_connections(r, t.get());
  EXPECT_EQ(t->tcp[model::proc_find_row(t.get(), 1500)], 2u);
  EXPECT_EQ(t->tcp[model::proc_find_row(t.get(), 812)], 0u) << "its socket is in neither table";
  EXPECT_EQ(t->tcp[model::proc_find_row(t.get(), 3001)], 0u);
  EXPECT_EQ(t->tcp[model::proc_find_row(t.get(), 1)], 0u) << "a process the report does not list was looked into";
  sysinfo::close(r);
}

}  // namespace
