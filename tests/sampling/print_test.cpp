// The plain-text report: its value forms, and each section from fixture records against byte-exact texts.
#include "sampling/print.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

void capture(void* context, mem::Bytes bytes) {
  static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(bytes.ptr), bytes.len);
}

struct Capture {
  std::string text;
  print::Out out() { return print::Out{capture, &text}; }
};

TEST(PrintForms, NumbersInTheirUnits) {
  struct Case {
    void (*form)(print::Out, i64);
    i64 value;
    const char* text;
  };
  auto f2 = [](print::Out o, i64 v) { print::hundredths(o, static_cast<u64>(v)); };
  auto f1 = [](print::Out o, i64 v) { print::tenths(o, static_cast<u64>(v)); };
  auto lv = [](print::Out o, i64 v) { print::level(o, static_cast<u32>(v)); };
  auto t = [](print::Out o, i64 v) { print::temp(o, static_cast<i32>(v)); };
  const Case cases[] = {
      {f2, 1234, "12.34"}, {f2, 5, "0.05"},   {f2, 0, "0.00"},   {f2, 10000, "100.00"}, {f2, 10, "0.10"},
      {f1, 0, "0.0"},      {f1, 1234, "123.4"}, {lv, 1, "0.5"},   {lv, 200, "100.0"},   {lv, 0, "0.0"},
      {t, 215, "21.5"},    {t, -5, "-0.5"},   {t, 0, "0.0"},     {t, -32768, "-3276.8"},
  };
  for (const Case& c : cases) {
    Capture cap;
    c.form(cap.out(), c.value);
    EXPECT_EQ(cap.text, c.text) << c.value;
  }
  const char* engines[] = {"", "3D", "Copy", "Video Decode", "Video Encode", "Compute", ""};
  for (u32 i = 0; i < 7; ++i) EXPECT_TRUE(mem::eq(print::engine_name(i), mem::cstr(engines[i]))) << i;
}

void name(usage::Usage* u, u32 slot, const char* text) {
  std::memcpy(u->name[slot], text, std::strlen(text));
  if (slot + 1 > u->names) u->names = slot + 1;
}

// A machine with something of everything: two cores, a volume, three disks, two interfaces, a GPU, the system
// power meter only, a battery, a thermal zone and temperatures.
struct Machine {
  std::unique_ptr<usage::Usage> u = std::make_unique<usage::Usage>();
  std::unique_ptr<ring::Row> row = std::make_unique<ring::Row>();

  Machine() {
    usage::Usage* x = u.get();
    ring::Row* r = row.get();
    name(x, 0, "Test CPU 3000");
    x->cpus = 2;
    r->load = 4321;
    x->kernel = 1205;
    x->interrupt = 5;
    r->core_load[0] = 200;
    r->core_load[1] = 1;
    x->core_kernel[0] = 3;
    r->core_saturated = 2;
    x->memory_total = 16000;
    r->memory_mib = 4000;
    x->memory_available = 12000;
    x->system_cache = 900;
    x->modified = 7;
    x->flags = usage::modified_missing;
    x->standby = 2048;
    r->commit_mib = 5000;
    x->commit_limit = 20000;
    x->paged_pool = 300;
    x->nonpaged_pool = 100;
    x->volume_present = 1u << 2 | 1u << 3;
    x->volume_removable = 1u << 3;
    x->volume_saturated = 1u << 3;
    x->volume_total[2] = 1000;
    x->volume_used[2] = 600;
    x->volume_free[2] = 400;
    x->volume_label[2] = 1;
    name(x, 1, "System");
    x->volume_label[3] = 2;  // an empty label
    x->disks = 3;
    name(x, 3, "0 C:");
    name(x, 4, "1 D:");
    name(x, 5, "2");
    x->disk_name[0] = 3;
    x->disk_name[1] = 4;
    x->disk_name[2] = 5;
    x->disk_letters[0] = 1u << 2;
    x->disk_missing = 2;
    x->disk_saturated = 1;
    r->disk_read[0] = 10;
    r->disk_write[0] = 20;
    x->disk_level[0] = 101;
    r->disk_figure[0] = 600;
    r->disk_read[2] = 1;
    x->nics = 2;
    name(x, 6, "eth0");
    name(x, 7, "tun0");
    x->nic_name[0] = 6;
    x->nic_name[1] = 7;
    x->nic_mbps[0] = 1000;
    r->receive[0] = 100;
    r->send[0] = 50;
    r->receive[1] = 7;
    r->send[1] = 8;
    x->received[0] = 123456789;
    x->sent[0] = 42;
    x->nic_up = 1;
    x->nic_virtual = 2;
    x->nic_saturated = 2;
    x->gpus = 1;
    name(x, 8, "Test GPU");
    x->gpu_name[0] = 8;
    r->gpu_load[0] = 5000;
    x->gpu_classes[0] = 1u << 1 | 1u << 3 | 1u << 0;
    x->gpu_class[0][1] = 5000;
    x->gpu_class[0][3] = 25;
    r->gpu_dedicated_mib[0] = 512;
    x->gpu_dedicated[0] = 8192;
    x->gpu_shared_used[0] = 64;
    x->gpu_shared_limit[0] = 8000;
    x->power[3] = 155;
    r->power = 155;
    x->power_flags = 8 | usage::power_battery;
    x->batteries = 1;
    x->battery_charge[0] = 80;
    x->battery_state[1] = 1;  // state 2
    x->zones = 1;
    x->zone_number[0] = 7;
    x->zone_temp[0] = -15;
    x->temps.cpu_kind = 2;
    x->temps.cpu = 512;
    x->temps.gpu_mask = 1;
    x->temps.gpu[0] = 600;
    x->temps.disk_mask = 1u << 1;
    x->temps.disk[1] = 355;
    x->temps.named = 2;
    std::memcpy(x->temps.name[0], "board", 5);
    x->temps.sensor[0] = 300;
    std::memcpy(x->temps.name[1], "vrm", 3);
    x->temps.sensor[1] = 450;
    x->temps.frozen_mask = 2;
    x->uptime = 3600;
    r->processes = 3;
    r->threads = 40;
    r->handles = 500;
    x->truncated = usage::cut_disks | usage::cut_zones;
  }
};

const char* machine_text =
    "Vimbrel snapshot\n"
    "cpu: Test CPU 3000\n"
    "cores: 2 logical processors\n"
    "cpu total: 43.21 %\n"
    "cpu kernel: 12.05 %\n"
    "cpu interrupt: 0.05 %\n"
    "core 0: 100.0 % kernel 1.5 %\n"
    "core 1: 0.5 % kernel 0.0 % saturated\n"
    "memory total: 16000 MiB\n"
    "memory used: 4000 MiB\n"
    "memory available: 12000 MiB\n"
    "memory cache: 900 MiB\n"
    "memory modified: n/a\n"
    "memory standby: 2048 MiB\n"
    "commit used: 5000 MiB\n"
    "commit limit: 20000 MiB\n"
    "memory paged pool: 300 MiB\n"
    "memory non-paged pool: 100 MiB\n"
    "volume C: \"System\" total 1000 MiB used 600 MiB free 400 MiB\n"
    "volume D: \"\" total 0 MiB used 0 MiB free 0 MiB removable saturated\n"
    "disk 0 C: read 10 KiB/s write 20 KiB/s active 50.5 % used 600 MiB saturated\n"
    "disk 1 D: counters missing\n"
    "disk 2 read 1 KiB/s write 0 KiB/s active 0.0 % used -\n"
    "interface eth0 link 1000 Mbit/s rx 100 KiB/s tx 50 KiB/s total rx 123456789 bytes tx 42 bytes\n"
    "interface tun0 link 0 Mbit/s rx 7 KiB/s tx 8 KiB/s total rx 0 bytes tx 0 bytes down virtual saturated\n"
    "network total: rx 100 KiB/s tx 50 KiB/s (virtual interfaces not counted)\n"
    "gpus: 1\n"
    "gpu 0: \"Test GPU\" utilisation 50.00 % 3D 50.00 % Video Decode 0.25 %\n"
    "gpu 0 memory: dedicated 512 / 8192 MiB shared 64 / 8000 MiB\n"
    "power: 15.5 W (system 15.5 W) on battery\n"
    "battery 0: 80 % discharging\n"
    "thermal zone 7: -1.5 C\n"
    "temperature cpu (hottest core): 51.2 C\n"
    "temperature gpu 0: 60.0 C\n"
    "temperature disk 1: 35.5 C\n"
    "temperature sensor board: 30.0 C\n"
    "temperature sensor vrm: 45.0 C (fixed)\n"
    "uptime: 3600 s\n"
    "processes: 3\n"
    "threads: 40\n"
    "handles: 500\n"
    "truncated: disks thermal-zones\n";

TEST(PrintSystem, EveryKindOfLine) {
  Machine m;
  Capture cap;
  print::system(cap.out(), m.u.get(), m.row.get());
  EXPECT_EQ(cap.text, machine_text);
}

TEST(PrintSystem, WhatIsAbsentPrintsNoLine) {
  // No GPU, no power part, no battery, no temperatures, nothing cut; a saturated memory value.
  auto u = std::make_unique<usage::Usage>();
  auto row = std::make_unique<ring::Row>();
  name(u.get(), 0, "X");
  u->cpus = 1;
  u->flags = usage::memory_saturated | usage::standby_missing;
  u->power[0] = 99;  // a value without its valid bit
  Capture cap;
  print::system(cap.out(), u.get(), row.get());
  const std::string want =
      "Vimbrel snapshot\ncpu: X\ncores: 1 logical processors\ncpu total: 0.00 %\ncpu kernel: 0.00 %\n"
      "cpu interrupt: 0.00 %\ncore 0: 0.0 % kernel 0.0 %\nmemory total: 0 MiB\nmemory used: 0 MiB\n"
      "memory available: 0 MiB\nmemory cache: 0 MiB\nmemory modified: 0 MiB\nmemory standby: n/a\n"
      "commit used: 0 MiB\ncommit limit: 0 MiB\nmemory paged pool: 0 MiB\nmemory non-paged pool: 0 MiB\n"
      "network total: rx 0 KiB/s tx 0 KiB/s (virtual interfaces not counted)\ngpus: 0 (no GPU reported)\n"
      "uptime: 0 s\nprocesses: 0\nthreads: 0\nhandles: 0\nsaturated: values at the limit of their type\n";
  EXPECT_EQ(cap.text, want);
  // Power with several parts lists them in order with one blank between.
  u->power_flags = 1 | 4;
  u->power[2] = 20;
  u->flags = 0;
  Capture power;
  print::system(power.out(), u.get(), row.get());
  EXPECT_NE(power.text.find("\npower: 0.0 W (cpu 9.9 W gpu 2.0 W)\n"), std::string::npos) << power.text;
}

TEST(PrintHardware, MatchedAndUnmatchedDevices) {
  Machine m;
  hw::Hardware h{};
  hw::Adapters a{};
  h.vendor = hw::vendor_amd;
  h.family = 25;
  h.model = 33;
  h.stepping = 2;
  h.sockets = 1;
  h.cores = 8;
  h.logical = 16;
  h.base_mhz = 3000;
  h.l1_kib = 512;
  h.l2_kib = 4096;
  h.l3_kib = 0;
  h.known = hw::features_known;
  h.features = 1u << hw::f_sse2 | 1u << hw::f_avx2 | 1u << hw::f_virt | 1u << hw::f_slat;
  h.memory = {32768, 0, 3200, 2, 4, hw::mem_ddr4, hw::form_dimm, {}};
  h.status = hw::smbios_missing;
  h.drive_mask = 1;  // drive 0 only
  hw::plane_set(h.media, 2, 0, hw::media_ssd);
  hw::plane_set(h.bus, 3, 0, hw::bus_nvme);
  std::memcpy(h.drive_model[0], "Fast SSD", 8);
  std::memcpy(h.host, "box", 3);
  m.u->disk_number[0] = 0;
  m.u->disk_number[1] = 1;
  m.u->disk_number[2] = 99;
  m.u->nic_id[0] = 0x1234;
  m.u->nic_id[1] = 0x9999;
  a.count = 1;
  a.id[0] = 0x1234;
  a.mac[0] = 0x0011223344AAull;
  hw::plane_set(a.conn, 2, 0, hw::conn_ethernet);
  a.ipv4_count[0] = 2;
  a.ipv4[0][0] = 0xC0A80001;
  a.ipv4[0][1] = 0x0A000002;
  std::memcpy(a.description[0], "Test NIC", 8);
  a.flags = hw::adapters_truncated;
  Capture cap;
  print::hardware(cap.out(), &h, &a, m.u.get(), 50000);
  const std::string want =
      "hardware (read now, not recorded):\n"
      "host: box\n"
      "cpu vendor: AMD\n"
      "cpu identity: family 25 model 33 stepping 2\n"
      "cpu sockets: 1\n"
      "cpu cores: 8\n"
      "cpu logical processors: 16\n"
      "cpu base speed: 3000 MHz\n"
      "cpu speed: 1500 MHz\n"
      "cpu L1 cache: 512 KiB\n"
      "cpu L2 cache: 4096 KiB\n"
      "cpu L3 cache: -\n"
      "cpu instruction sets: SSE2 AVX2, AES/SHA unknown (no CPUID)\n"
      "cpu virtualisation: Enabled\n"
      "memory type: DDR4 form factor: DIMM\n"
      "memory speed: 3200 MT/s\n"
      "memory slots used: 2 of 4\n"
      "memory installed: 32768 MiB\n"
      "memory hardware reserved: 16768 MiB\n"
      "memory compressed: -\n"
      "disk \"0 C:\" type: SSD (NVMe) model: Fast SSD\n"
      "disk \"1 D:\" type: - model: -\n"
      "disk \"2\" type: - model: -\n"
      "interface \"eth0\" adapter: Test NIC type: Ethernet\n"
      "interface \"eth0\" mac: 00-11-22-33-44-AA\n"
      "interface \"eth0\" ipv4: 192.168.0.1 10.0.0.2\n"
      "interface \"eth0\" ipv6: -\n"
      "interface \"eth0\" dns suffix: -\n"
      "interface \"tun0\" adapter: - type: -\n"
      "interface \"tun0\" mac: -\n"
      "interface \"tun0\" ipv4: -\n"
      "interface \"tun0\" ipv6: -\n"
      "interface \"tun0\" dns suffix: -\n"
      "hardware flags: smbios-missing adapters-truncated\n";
  EXPECT_EQ(cap.text, want);
}

// A table with the given (pid, cpu) rows in order.
std::unique_ptr<model::ProcTable> table_of(const std::vector<std::pair<u32, u16>>& rows) {
  auto t = std::make_unique<model::ProcTable>();
  model::table_init(t.get());
  for (const auto& [pid, cpu] : rows) {
    std::string n = pid == 0 ? "Idle" : "p" + std::to_string(pid);
    u64 handle = model::proc_upsert(t.get(), pid, 0, 1, mem::Bytes(reinterpret_cast<const u8*>(n.data()), n.size()));
    u32 r = model::proc_row(t.get(), handle);
    t->cpu[r] = cpu;
  }
  t->processes = static_cast<u32>(rows.size());
  return t;
}

TEST(PrintProcs, RankedByCpuThenRow) {
  // The idle process ranks as 0 %; equal shares keep their row order.
  auto t = table_of({{0, 9000}, {10, 5}, {11, 700}, {12, 5}});
  t->threads = 9;
  t->tcp_total = 2;
  const u32 r11 = model::proc_find_row(t.get(), 11);
  t->working_set[r11] = 2560;  // 10 MiB
  t->read_rate[r11] = 3;
  t->write_rate[r11] = 4;
  t->thread_count[r11] = 6;
  t->tcp[r11] = 2;
  t->gpu[r11] = 1250;
  t->gpu_memory[r11] = 3;
  t->clipped[r11 / 64] |= 1ull << (r11 % 64);
  const u32 r12 = model::proc_find_row(t.get(), 12);
  t->prev_read[r12] = ~0ull;  // disk I/O this user may not read
  t->prev_written[r12] = ~0ull;
  t->flags = model::flag_stale | model::flag_tcp_missing;
  Capture cap;
  print::procs(cap.out(), t.get());
  const std::string want =
      "process table: 4 processes 9 threads 2 tcp connections\n"
      "top 4 by cpu (Idle not ranked):\n"
      "pid 11 \"p11\" cpu 7.00 % memory 10 MiB io 7 KiB/s threads 6 tcp 2 gpu 12.50 % vram 12 MiB saturated\n"
      "pid 10 \"p10\" cpu 0.05 % memory 0 MiB io 0 KiB/s threads 0 tcp 0 gpu 0.00 % vram 0 MiB\n"
      "pid 12 \"p12\" cpu 0.05 % memory 0 MiB io not reported threads 0 tcp 0 gpu 0.00 % vram 0 MiB\n"
      "pid 0 \"Idle\" cpu 90.00 % memory 0 MiB io 0 KiB/s threads 0 tcp 0 gpu 0.00 % vram 0 MiB\n"
      "process table flags: stale tcp-missing\n";
  EXPECT_EQ(cap.text, want);
}

TEST(PrintProcs, TopTenOfMany) {
  std::vector<std::pair<u32, u16>> rows;
  for (u32 i = 0; i < 30; ++i) rows.push_back({100 + i, static_cast<u16>(i * 10)});
  auto t = table_of(rows);
  Capture cap;
  print::procs(cap.out(), t.get());
  EXPECT_NE(cap.text.find("top 10 by cpu (Idle not ranked):\npid 129 \"p129\" cpu 2.90 %"), std::string::npos);
  EXPECT_EQ(std::count(cap.text.begin(), cap.text.end(), '\n'), 12);
  EXPECT_NE(cap.text.find("pid 120 \"p120\" cpu 2.00 %"), std::string::npos);
  EXPECT_EQ(cap.text.find("pid 119 "), std::string::npos);
  // An empty table: the totals and a ranking of none.
  auto empty = table_of({});
  Capture none;
  print::procs(none.out(), empty.get());
  EXPECT_EQ(none.text, "process table: 0 processes 0 threads 0 tcp connections\ntop 0 by cpu (Idle not ranked):\n");
}

}  // namespace
