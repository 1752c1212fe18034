#pragma once
// Integer rate arithmetic: an interval becomes fixed-point reciprocals once per sample, so that each of up to 1,024
// process rows costs one subtraction, one multiplication and one shift, with limits that keep every product inside
// 64 bits and saturation of every result. Processor times are 100 ns ticks, intervals milliseconds, shares
// hundredths of a percent (10,000 = 100 %), I/O rates KiB/s.
#include "base/bits.h"
#include "base/mem.h"
#include "sampling/model.h"

namespace rate {

constexpr u32 cpu_bits = 40;
constexpr u32 io_bits = 30;

struct Tick {
  u64 cpu_recip;  // 40 fraction bits
  u64 cpu_limit;  // largest CPU delta the reciprocal may multiply
  u64 io_recip;   // 30 fraction bits
  u64 io_limit;
};

// The current counters of each table row, written by the process pass and read by update: 1,025 positions, the
// last one catching rows that could not be placed.
constexpr u32 positions = model::rows + 1;
struct ProcCounters {
  u64 cpu_time[positions];
  u64 bytes_read[positions];     // sysrec::io_unreported when the I/O was not reported
  u64 bytes_written[positions];  // likewise
  u64 working_set[positions];
  u64 private_bytes[positions];
  u64 gpu_memory[positions];
  u32 threads[positions];
  u32 tcp[positions];
  u32 gpu[positions];  // hundredths of a percent
  u32 handles[positions];
};
static_assert(sizeof(ProcCounters) == 65600);

// a - b, or 0 when the counter went back.
u64 delta(u64 a, u64 b);
// ms limited to 1..60,000.
u32 clamp_interval(u64 ms);
u64 cpu_recip(u64 ticks_per_second, u64 interval_ms, u32 processors);
u64 io_recip(u64 interval_ms);
// The largest delta whose product with the reciprocal plus the rounding half stays within 64 bits.
u64 ceil_of(u64 recip, u32 bits);
// Reciprocal for shares of a processor-time span (100 ns units).
u64 span_recip(u64 span);
u16 sat16(u64 x);
using bits::sat32;
void tick_make(u64 ticks_per_second, u64 interval_ms, u32 processors, Tick* tick);
// (recip x min(delta, limit) + half) >> bits.
u64 apply(u64 recip, u64 limit, u64 d, u32 bits);
// The CPU, I/O and size passes over the table's live rows; clears the table's clipped set first and its fresh set
// last.
void update(model::ProcTable* table, const ProcCounters* columns, const Tick* tick);
// Per-processor shares (hundredths) into half-percent steps (p + 25) / 50, capped at 200; bit i of the result is
// set when processor i's step exceeded 200.
u64 cores_pass(const u16* percents, u8* out, u32 count);

}  // namespace rate
