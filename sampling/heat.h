#pragma once
// One vocabulary for temperatures: every reading is an i16 of tenths of a degree Celsius, -32,768 meaning none.
// Every source (GPU adapters, NVMe health logs, storage answers, thermal zones) is converted into it here; the
// collector's record keeps the readings, names the sensors and notices sensors that stopped changing, and place()
// puts the readings into the usage record's block by adapter and disk identity.
#include <stddef.h>

#include "base/mem.h"

namespace heat {

constexpr i16 no_reading = -32768;
constexpr u32 gpu_slots = 4;
constexpr u32 disk_slots = 16;
constexpr u32 sensors = 8;
constexpr u32 name_bytes = 24;
constexpr u8 frozen_turns = 12;

// The collector's temperature record.
struct Readings {
  u32 turn;
  i16 cpu;      // left 0 by the Windows collector
  u8 cpu_kind;  // 0 none, at most 3
  u8 named;     // named sensors, at most 8
  u8 gpu_mask;
  u8 frozen_mask;
  u16 disk_mask;
  u32 zero;
  u64 gpu_luid[gpu_slots];
  i16 gpu[gpu_slots];
  u32 disk_id[disk_slots];  // physical drive number
  i16 disk[disk_slots];
  i16 sensor[sensors];
  u8 unchanged[sensors];  // turns without change, 0..12
  u8 name[sensors][name_bytes];
};
static_assert(sizeof(Readings) == 368);
static_assert(offsetof(Readings, gpu_mask) == 8 && offsetof(Readings, disk_mask) == 10);
static_assert(offsetof(Readings, gpu_luid) == 16 && offsetof(Readings, gpu) == 48);
static_assert(offsetof(Readings, disk_id) == 56 && offsetof(Readings, disk) == 120);
static_assert(offsetof(Readings, sensor) == 152 && offsetof(Readings, unchanged) == 168);
static_assert(offsetof(Readings, name) == 176);

// The temperature block of the usage record: GPU and disk readings by the usage record's own indexes.
struct Block {
  u32 turn;
  i16 cpu;
  u8 cpu_kind;
  u8 named;
  u8 gpu_mask;
  u8 frozen_mask;
  u16 disk_mask;
  i16 gpu[gpu_slots];
  i16 disk[disk_slots];
  i16 sensor[sensors];
  u8 name[sensors][name_bytes];
};
static_assert(sizeof(Block) == 260);
static_assert(offsetof(Block, gpu) == 12 && offsetof(Block, disk) == 20 && offsetof(Block, sensor) == 52);
static_assert(offsetof(Block, name) == 68);

bool usable(i32 t, bool allow_zero);
// 10 x k - 2,731, saturated at 32,767 (a reading that high is not usable).
i16 deci_of_kelvin(u32 k);
i16 from_adapter(u32 t);
// The temperature of an adapter's performance data record (sysrec::AdapterPerf) of `record.len` bytes: no reading
// when the record is shorter than 64 bytes.
i16 from_perf(mem::Bytes record);
i16 from_health(mem::Bytes log);
i16 from_storage(mem::Bytes answer);
u32 adapter_field(mem::Bytes b, u64 position);

// Thresholds by sensor kind (0 CPU, 1 GPU, 2 disk, 3 and others).
i16 warm_at(u32 kind);
i16 hot_at(u32 kind);
// 0 normal, 1 warm, 2 hot.
u32 level(u32 kind, i32 t);

void take_gpu(Readings* r, u32 slot, u64 luid, i32 t);
void take_disk(Readings* r, u32 slot, u32 id, i32 t);
void take_sensor(Readings* r, mem::Bytes first, mem::Bytes second, i32 t, bool allow_zero);
void put_name(u8* out24, mem::Bytes first, mem::Bytes second);
u64 short_at(mem::Bytes name);
// Counts unchanged turns against the previous record and returns (and stores) the frozen mask.
u8 same_turn(Readings* r, const Readings* previous);
// Fills the block from the record; GPUs and disks go to the usage record's indexes by LUID and by disk number.
void place(Block* out, const Readings* r, const u64* gpu_luids, u32 gpus, const u32* disk_numbers, u32 disks);
// Thermal zones from a long-format counter array (value in tenths of kelvin); names "ACPI zone <short name>".
void zone_decode(mem::Bytes items, u64 base, u32 count, Readings* r);

bool any(const Block* b);
bool ok(const Block* b);
bool has_gpu(const Block* b, u32 i);
bool has_disk(const Block* b, u32 i);
u64 le64(mem::Bytes b, u64 position);

}  // namespace heat
