#pragma once
// One machine's record: its counts and caps, the names of its parts, a digest of its hardware with a change
// counter, its power and temperature state, and the ring of its last 600 sample rows. The window's own machine is
// filled from usage frames; remote machines and the demo fill theirs the same way. Pages read counts, names, power
// statistics and ring rows from it.
#include <stddef.h>

#include "base/mem.h"
#include "sampling/heat.h"
#include "sampling/hw.h"
#include "sampling/ring.h"
#include "sampling/usage.h"

namespace machine {

constexpr u32 max_cpus = 64;
constexpr u32 max_disks = 16;
constexpr u32 max_nics = 8;
constexpr u32 max_gpus = 4;
constexpr u32 slots = 61;
constexpr u32 name_bytes = 32;
// First name slot of each group.
enum : u32 {
  slot_cpu = 0,
  slot_disks = 1,
  slot_nics = 17,
  slot_gpus = 25,
  slot_drive_models = 29,
  slot_descriptions = 45,
  slot_suffixes = 53,
  slot_last = 60,
};
// Count flags: more processors, disks, adapters or GPUs than the caps.
enum : u8 { more_cpus = 1, more_disks = 2, more_nics = 4, more_gpus = 8 };
// Hardware status bit added here: the current clock did not fit 16 bits.
constexpr u32 clock_over = 16;
constexpr u32 hardware_head = 52;  // bytes of hw::Hardware kept: processor and memory parts

// Drive and adapter details, bit-sliced as in the hardware records.
struct Details {
  u64 media[2];  // of the disks
  u64 bus[3];
  u64 conn[2];  // of the adapters
  u64 mac[max_nics];
  u8 ipv4_count[max_nics];
  u8 ipv6_count[max_nics];
  u32 ipv4[max_nics][hw::max_addresses];
  u8 ipv6[max_nics][hw::max_addresses][16];
};
static_assert(sizeof(Details) == 776);

struct Machine {
  u8 cpus;
  u8 disks;
  u8 nics;
  u8 count_flags;
  u16 base_mhz;
  u8 gpus;
  u8 zero_7;
  u32 memory_total;  // MiB
  u32 disk_capacity[max_disks];  // MiB, all ones when the sum does not fit
  u32 gpu_dedicated[max_gpus];   // MiB
  u32 gpu_shared[max_gpus];      // MiB
  u8 gpu_classes[max_gpus];
  u64 capacity_saturated;  // bit = disk
  u8 name[slots][name_bytes];  // zero-filled, not terminated when full
  u8 hardware[hardware_head];  // the first 52 bytes of hw::Hardware
  u32 status;                  // hardware status | adapter flags | clock_over
  u32 changes;                 // +1 whenever the hardware hash changed
  u32 zero_2132;
  u64 hash;
  u32 commit_limit;  // MiB
  u32 paged_pool;
  u32 nonpaged_pool;
  u32 zero_2156;
  u64 received[max_nics];  // running totals, bytes
  u64 sent[max_nics];
  u32 link_mbps[max_nics];
  u32 batteries;
  u32 zones;
  u8 battery_state[3];
  u8 battery_charge[4];
  u8 zero_2335;
  u16 zone_number[usage::max_zones];
  i16 zone_temp[usage::max_zones];
  i16 power[usage::parts];  // tenths of a watt
  u8 power_flags;
  u8 zero_2601[3];
  heat::Block temps;
  Details details;
  u32 pushed;  // rows pushed since the record was cleared
  u32 zero_3644;
  ring::Ring ring;
};
static_assert(sizeof(Machine) == 310264);
static_assert(offsetof(Machine, memory_total) == 8 && offsetof(Machine, capacity_saturated) == 112);
static_assert(offsetof(Machine, name) == 120 && offsetof(Machine, hardware) == 2072);
static_assert(offsetof(Machine, status) == 2124 && offsetof(Machine, hash) == 2136);
static_assert(offsetof(Machine, received) == 2160 && offsetof(Machine, link_mbps) == 2288);
static_assert(offsetof(Machine, battery_state) == 2328 && offsetof(Machine, zone_number) == 2336);
static_assert(offsetof(Machine, power) == 2592 && offsetof(Machine, temps) == 2604);
static_assert(offsetof(Machine, details) == 2864 && offsetof(Machine, pushed) == 3640);
static_assert(offsetof(Machine, ring) == 3648);

// Clears the head and starts the ring with 600 rows.
void init(Machine* m);
// min(value, cap); *over set when the value exceeded it.
u32 capped(u64 value, u32 cap, bool* over);
void set_counts(Machine* m, u32 processors, u32 disks, u32 adapters);
void set_gpu(Machine* m, u32 count, u32 dedicated_mib, u32 shared_mib, u8 classes);
void set_name(Machine* m, u32 slot, const u8* text, u64 length);
// The slot min(slot, 60) up to its first zero byte.
mem::Bytes name(const Machine* m, u32 slot);
// base + min(i, count - 1); base when count is 0.
u32 name_slot(u32 base, u32 i, u32 count);
// Name slot := the usage record's name at index (capped at 63).
void copy_name(Machine* m, u32 slot, const usage::Usage* u, u32 index);

// Folds one usage frame: counts, names, sizes, power, temperatures, hardware, and the completed row into the ring.
// performance is the processor performance in thousandths of a percent.
void take(Machine* m, const usage::Usage* u, const ring::Row* row, const hw::Hardware* hardware,
          const hw::Adapters* adapters, u64 performance);
void take_power(Machine* m, const usage::Usage* u);
// The hardware view: the processor and memory parts, and per disk below the count the drive it sits on (drives[i],
// 16 or more for none), per adapter below the count the adapter list's entry with ids[i]; then rehash.
void take_hardware(Machine* m, const hw::Hardware* hardware, const hw::Adapters* adapters, const u32* drives,
                   const u64* ids);
// Recomputes the hardware hash; +1 change when it differs from the stored one.
void rehash(Machine* m);
u64 hardware_hash_of(const Machine* m);
// FNV-1a 64 of the bytes, continuing from hash.
u64 bytes_of(u64 hash, const void* bytes, u64 length);
constexpr u64 fnv_basis = 0xcbf29ce484222325ull;

// Appends a row; a row without power parts carries the newest stored reading.
void push(Machine* m, const ring::Row* row);
// Ring index of the row n samples back, n clamped to (rows present, at least 1) - 1.
u32 back_row(const Machine* m, u32 n);
// 1 when any of the last min(5, rows present) rows has a power part.
u32 power_present(const Machine* m);
// Least and mean reading over the last min(n, rows present) rows that have a power part; 0 when none has.
u32 power_least(const Machine* m, u32 n);
u32 power_mean(const Machine* m, u32 n);

}  // namespace machine
