#pragma once
// Usage from two samples: the one place where system and process rates are computed. The system pass turns the
// newest system sample plus what it kept of the previous one into the usage record (sizes, shares, names, missing
// and saturated bits) and the 512-byte sample row; the process pass refreshes the process table from a process
// sample. The usage record is copied whole between processes, so its layout is exact and checked below.
#include <stddef.h>

#include "base/mem.h"
#include "sampling/collect.h"
#include "sampling/heat.h"
#include "sampling/model.h"
#include "sampling/ntinfo.h"
#include "sampling/rate.h"
#include "sampling/ring.h"

namespace usage {

constexpr u32 max_cpus = 64;
constexpr u32 max_disks = 16;
constexpr u32 max_nics = 8;
constexpr u32 max_gpus = 4;
constexpr u32 max_batteries = 4;
constexpr u32 max_zones = 64;
constexpr u32 name_slots = 64;
constexpr u32 name_bytes = 32;
constexpr u32 letters = 26;
constexpr u32 parts = 4;  // power parts: cpu, dram, gpu, system

// What the system pass keeps between two samples.
struct RateState {
  u32 has_previous;
  u32 nics;  // interfaces kept
  u64 first_ms;
  u64 previous_ms;
  u64 total[max_cpus];  // kernel + user
  u64 idle[max_cpus];
  u64 busy_kernel[max_cpus];  // kernel - idle
  u64 interrupt[max_cpus];
  u64 nic_id[max_nics];
  u64 received[max_nics];
  u64 sent[max_nics];
  u32 energy_mask;
  u32 zero;
  u64 energy[parts];
  u64 stamps[parts];
};
static_assert(sizeof(RateState) == 2336);
static_assert(offsetof(RateState, total) == 24 && offsetof(RateState, idle) == 536);
static_assert(offsetof(RateState, busy_kernel) == 1048 && offsetof(RateState, interrupt) == 1560);
static_assert(offsetof(RateState, nic_id) == 2072 && offsetof(RateState, received) == 2136);
static_assert(offsetof(RateState, sent) == 2200 && offsetof(RateState, energy_mask) == 2264);
static_assert(offsetof(RateState, energy) == 2272 && offsetof(RateState, stamps) == 2304);

// Truncated bits.
enum : u32 {
  cut_cpus = 1,
  cut_disks = 2,
  cut_nics = 4,
  cut_gpus = 8,
  cut_batteries = 16,
  cut_zones = 32,
};
// Saturated and missing bits.
enum : u32 {
  memory_saturated = 8,
  modified_missing = 16,
  standby_missing = 32,
  processes_over = 64,
  thermal_over = 128,
  battery_over = 256,
};
// Power flags: bits 0..3 the valid parts.
enum : u8 { power_battery = 16, power_saturated = 32 };

// The usage record; every byte not named is zero.
struct Usage {
  u32 cpus;
  u32 disks;
  u32 nics;
  u32 uptime;  // seconds
  u32 truncated;
  u32 names;  // name slots used, 1..64
  u32 flags;  // saturated and missing bits
  u32 zero_28;
  u16 kernel;     // hundredths of a percent
  u16 interrupt;  // hundredths of a percent
  u32 memory_total;  // MiB, as every size below
  u32 memory_available;
  u32 commit_limit;
  u32 system_cache;
  u32 modified;
  u32 standby;
  u32 paged_pool;
  u32 nonpaged_pool;
  u8 core_kernel[max_cpus];  // half-percent steps
  u32 zero_132;
  u64 volume_present;  // bit = letter, A = bit 0
  u64 volume_removable;
  u64 volume_saturated;
  u64 disk_missing;  // bit = disk index
  u64 disk_saturated;
  u64 nic_up;
  u64 nic_saturated;
  u64 nic_virtual;
  u32 volume_total[letters];
  u32 volume_free[letters];
  u32 volume_used[letters];
  u16 volume_label[letters];  // name slot
  u32 disk_number[max_disks];
  u32 disk_letters[max_disks];  // bit = letter
  u16 disk_name[max_disks];
  u8 disk_level[max_disks];  // active time, half-percent steps
  u32 zero_740;
  u64 nic_id[max_nics];
  u32 nic_mbps[max_nics];
  u16 nic_name[max_nics];
  u64 received[max_nics];  // cumulative bytes
  u64 sent[max_nics];
  u32 gpus;
  u32 gpu_flags;  // of the sample's graphics section
  u64 gpu_saturated;
  u64 gpu_id[max_gpus];
  u32 gpu_dedicated[max_gpus];     // size
  u32 gpu_shared_limit[max_gpus];  // half the memory total
  u32 gpu_shared_used[max_gpus];
  u16 gpu_class[max_gpus][gpu::classes];  // busiest engine of each class, hundredths
  u16 gpu_name[max_gpus];
  u8 gpu_classes[max_gpus];  // bit = class present
  u32 batteries;
  u32 zones;
  u8 battery_state[3];  // bit slices: state of battery i = bit i of [0] + 2 x bit i of [1] + 4 x bit i of [2]
  u8 battery_charge[max_batteries];  // percent
  u8 zero_1155;
  u16 zone_number[max_zones];
  i16 zone_temp[max_zones];  // tenths of a degree
  u16 power[parts];          // tenths of a watt
  u8 power_flags;
  u8 zero_1421[3];
  heat::Block temps;  // placed by the temperature readings after the system pass
  u8 name[name_slots][name_bytes];  // ASCII; slot 0 is the processor name
  u32 zero_3732;
};
static_assert(sizeof(Usage) == 3736);
static_assert(offsetof(Usage, kernel) == 32 && offsetof(Usage, memory_total) == 36);
static_assert(offsetof(Usage, nonpaged_pool) == 64 && offsetof(Usage, core_kernel) == 68);
static_assert(offsetof(Usage, volume_present) == 136 && offsetof(Usage, nic_virtual) == 192);
static_assert(offsetof(Usage, volume_total) == 200 && offsetof(Usage, volume_free) == 304);
static_assert(offsetof(Usage, volume_used) == 408 && offsetof(Usage, volume_label) == 512);
static_assert(offsetof(Usage, disk_number) == 564 && offsetof(Usage, disk_letters) == 628);
static_assert(offsetof(Usage, disk_name) == 692 && offsetof(Usage, disk_level) == 724);
static_assert(offsetof(Usage, nic_id) == 744 && offsetof(Usage, nic_mbps) == 808);
static_assert(offsetof(Usage, nic_name) == 840 && offsetof(Usage, received) == 856 && offsetof(Usage, sent) == 920);
static_assert(offsetof(Usage, gpus) == 984 && offsetof(Usage, gpu_flags) == 988);
static_assert(offsetof(Usage, gpu_saturated) == 992 && offsetof(Usage, gpu_id) == 1000);
static_assert(offsetof(Usage, gpu_dedicated) == 1032 && offsetof(Usage, gpu_shared_limit) == 1048);
static_assert(offsetof(Usage, gpu_shared_used) == 1064 && offsetof(Usage, gpu_class) == 1080);
static_assert(offsetof(Usage, gpu_name) == 1128 && offsetof(Usage, gpu_classes) == 1136);
static_assert(offsetof(Usage, batteries) == 1140 && offsetof(Usage, zones) == 1144);
static_assert(offsetof(Usage, battery_state) == 1148 && offsetof(Usage, battery_charge) == 1151);
static_assert(offsetof(Usage, zone_number) == 1156 && offsetof(Usage, zone_temp) == 1284);
static_assert(offsetof(Usage, power) == 1412 && offsetof(Usage, power_flags) == 1420);
static_assert(offsetof(Usage, temps) == 1424 && sizeof(heat::Block) == 260 && offsetof(Usage, name) == 1684);

static_assert(max_batteries == sysrec::block_batteries && max_zones == sysrec::block_zones);

void reset(RateState* state);
// Fills the usage record and the row from the sample and updates the rate state. The first pass after a reset
// gives zero rates and shares with valid sizes, counts and names.
void system(RateState* state, const collect::Sample* sample, Usage* out, ring::Row* row);
// 1,000 ms without a previous sample, else now - previous clamped to 1..60,000 ms.
u32 interval(u32 has_previous, u64 now, u64 previous);
// Hundredths of a percent of part / whole, rounded, with part capped at whole; 0 when whole is 0.
u16 percent_of(u64 part, u64 whole);

// The passes of the system pass, in its order.
void cpu_pass(RateState* state, const collect::Sample* sample, Usage* out, ring::Row* row);
void memory_pass(const collect::Sample* sample, Usage* out, ring::Row* row);
void volumes_pass(const collect::Sample* sample, Usage* out);
void disks_pass(const collect::Sample* sample, Usage* out, ring::Row* row);
void nics_pass(RateState* state, const collect::Sample* sample, const rate::Tick* tick, Usage* out, ring::Row* row);
void gpu_pass(const collect::Sample* sample, Usage* out, ring::Row* row);
void batteries_pass(const collect::Sample* sample, Usage* out);
void power_pass(RateState* state, const collect::Sample* sample, Usage* out, ring::Row* row);
// The next name slot for a name: min(count, 63), the count growing to at most 64. The name is written there.
u16 name_put(Usage* out, mem::Bytes utf16, u64 offset);
u16 name_put_ascii(Usage* out, mem::Bytes text);
// factor x energy delta / max(time delta, 1), factor 36 when the meter reads in its first way; false when the
// power cannot be computed (no energy delta, time that did not advance, a counter that went back with no wrap
// value or by more than its wrap value).
bool meter_power(u64 now, u64 previous, u64 wrap, u64 now_stamp, u64 previous_stamp, u32 power_read, u64* mw);
// clamp((mW + 50) / 100, 1, 65,535) tenths of a watt.
u16 meter_units(u64 mw);

// ---- Process usage.

// The process pass's own state: whether a previous process sample exists, and its time.
struct ProcRateState {
  u32 has_previous;
  u32 zero;
  u64 previous_ms;
};
static_assert(sizeof(ProcRateState) == 16);
using ProcWalk = ntinfo::ProcWalk;
using ProcCounters = rate::ProcCounters;

// Refreshes the table from the process sample; false when the sample was unusable (the table is then only marked
// stale, and truncated too when the buffer was too small).
bool procs(ProcRateState* state, const collect::ProcSample* sample, const gpu::Section* section,
           const gpu::AdapterList* adapters, ProcWalk* walk, model::ProcTable* table, ProcCounters* counters);
// When the walk found more processes than the table holds: keeps in the walk's slots the busiest ones, by CPU use
// since the last pass (over the process's life for one not seen then) and then by working set.
void keep_busiest(mem::Bytes buffer, u64 address, u64 boot_time, u64 now_ms, const ProcRateState* state,
                  const model::ProcTable* table, ProcWalk* walk);
// Remembers the counters of the processes that got no row, for the next pass's choice and carry_left_out.
void remember_left_out(mem::Bytes buffer, u64 address, u64 boot_time, u64 now_ms, const model::ProcTable* table,
                       ProcWalk* walk);
// A row new in the table whose process was left out of the last pass takes its counters from then, so that it
// shows its rates at once instead of a first pass of zeroes.
void carry_left_out(const ProcWalk* walk, const ProcRateState* state, model::ProcTable* table);
// TCP connections per walk entry from the sample's owner pids.
void tcp_counts(const collect::ProcSample* sample, ProcWalk* walk);
// Interning of the walk's entries; true when some process could not get a row.
bool proc_rows(mem::Bytes buffer, ProcWalk* walk, model::ProcTable* table, ProcCounters* counters);
// GPU utilisation (busiest engine on a kept adapter) and local memory per row.
void proc_gpu(const gpu::Section* section, const gpu::AdapterList* adapters, model::ProcTable* table,
              ProcCounters* counters);
// Saturating sum of the live rows' CPU time deltas (fresh rows and counters that went back count 0).
u64 cpu_total(const model::ProcTable* table, const ProcCounters* counters);
// max(sum, interval x min(max(processors, 1), 4,096) x 10,000) in 100 ns units.
u64 cpu_span(u64 sum, u64 interval_ms, u32 processors);
u32 tcp_flags(i32 rows, u32 pids_stored, u32 missing);

}  // namespace usage
