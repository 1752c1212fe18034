#pragma once
// The sample row and the ring of the last up to 600 rows of one machine. The row is the 512-byte unit that the usage
// pass produces, the collector feed carries and the cluster link sends field by field at these offsets, so its
// layout is fixed. The ring stores the row's fields in column arrays, so that a chart of one measure over 600
// samples reads one contiguous array. Byte 23 of the row is not stored and reads back as 0.
#include <stddef.h>

#include "base/mem.h"

namespace ring {

constexpr u32 max_rows = 600;

struct Row {
  u32 seconds;  // since the first sample of the producing rate state
  u16 load;     // hundredths of a percent
  u16 processes;
  u32 threads;
  u32 memory_mib;
  u32 commit_mib;
  u16 power;        // tenths of a watt, held from the previous row when this one has no power part
  u8 power_flags;   // bits 0..3 parts in the reading, bit 4 battery state, bit 5 saturated
  u8 unused;        // not stored
  u64 core_saturated;
  u8 core_load[64];  // half-percent steps
  u16 gpu_load[4];
  u32 gpu_dedicated_mib[4];
  u32 disk_read[16];   // KiB/s
  u32 disk_write[16];  // KiB/s
  u32 disk_figure[16];
  u32 receive[8];  // KiB/s
  u32 send[8];     // KiB/s
  u16 kernel;      // hundredths of a percent
  u16 clock_mhz;
  u32 handles;
  u32 uptime;
  u32 modified_mib;
  u32 standby_mib;
  u8 core_kernel[64];
  u8 disk_busy[16];
  u8 gpu_engines[4][5];  // 3D, Copy, Video Decode, Video Encode, Compute
  u32 gpu_shared_mib[4];
};
static_assert(sizeof(Row) == 512);
static_assert(offsetof(Row, load) == 4 && offsetof(Row, threads) == 8 && offsetof(Row, commit_mib) == 16);
static_assert(offsetof(Row, power) == 20 && offsetof(Row, power_flags) == 22 && offsetof(Row, unused) == 23);
static_assert(offsetof(Row, core_saturated) == 24 && offsetof(Row, core_load) == 32);
static_assert(offsetof(Row, gpu_load) == 96 && offsetof(Row, gpu_dedicated_mib) == 104);
static_assert(offsetof(Row, disk_read) == 120 && offsetof(Row, disk_write) == 184);
static_assert(offsetof(Row, disk_figure) == 248 && offsetof(Row, receive) == 312 && offsetof(Row, send) == 344);
static_assert(offsetof(Row, kernel) == 376 && offsetof(Row, clock_mhz) == 378 && offsetof(Row, handles) == 380);
static_assert(offsetof(Row, uptime) == 384 && offsetof(Row, modified_mib) == 388);
static_assert(offsetof(Row, standby_mib) == 392 && offsetof(Row, core_kernel) == 396);
static_assert(offsetof(Row, disk_busy) == 460 && offsetof(Row, gpu_engines) == 476);
static_assert(offsetof(Row, gpu_shared_mib) == 496);

struct Ring {
  u32 capacity;  // 1..600
  u32 next;      // where the next row goes
  u32 count;     // rows present, at most the capacity
  u32 seconds[max_rows];
  u16 load[max_rows];
  u16 processes[max_rows];
  u32 threads[max_rows];
  u32 memory_mib[max_rows];
  u32 commit_mib[max_rows];
  u16 power[max_rows];
  u8 power_flags[max_rows];
  u32 pad;
  u64 core_saturated[max_rows];
  u8 core_load[max_rows][64];
  u16 gpu_load[max_rows][4];
  u32 gpu_dedicated_mib[max_rows][4];
  u32 disk_read[max_rows][16];
  u32 disk_write[max_rows][16];
  u32 disk_figure[max_rows][16];
  u32 receive[max_rows][8];
  u32 send[max_rows][8];
  u16 kernel[max_rows];
  u16 clock_mhz[max_rows];
  u32 handles[max_rows];
  u32 uptime[max_rows];
  u32 modified_mib[max_rows];
  u32 standby_mib[max_rows];
  u8 core_kernel[max_rows][64];
  u8 disk_busy[max_rows][16];
  u8 gpu_engines[max_rows][4][5];
  u32 gpu_shared_mib[max_rows][4];
};
// 511 stored bytes per row, a 12-byte head and 4 bytes that align the saturation column.
static_assert(sizeof(Ring) == 12 + 4 + max_rows * 511);

u32 clamp_cap(u32 capacity);
void init(Ring* r, u32 capacity);
u32 wrap_next(u32 position, u32 capacity);
u32 count_after(u32 count, u32 capacity);
// Stores the row at the next position; returns the new row count.
u32 push(Ring* r, const Row* row);
// Index of the row n samples before the newest.
u32 back_row(u32 position, u32 capacity, u32 n);
// Assembles the row n samples back; false when n is not below the row count (the row is then to be ignored).
bool at(const Ring* r, u32 n, Row* row);

}  // namespace ring
