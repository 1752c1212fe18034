#include "sampling/rate.h"

#include "base/bits.h"
#include "platform/sysrec.h"

namespace rate {
namespace {

using u128 = unsigned __int128;

// (x / 2 + numerator) / x, at least 1; x is at least 1.
u64 recip_of(u128 numerator, u128 x) {
  u128 r = (x / 2 + numerator) / x;
  if (r > ~0ull) return ~0ull;
  return r == 0 ? 1 : static_cast<u64>(r);
}

void set_bit(u64* set, u32 r) { set[r / 64] |= 1ull << (r % 64); }
bool has_bit(const u64* set, u32 r) { return (set[r / 64] >> (r % 64)) & 1; }

void cpu_pass(model::ProcTable* t, const ProcCounters* c, const Tick* tick, u32 top) {
  for (u32 r = 0; r < top; ++r) {
    u64 now = c->cpu_time[r];
    u64 d = has_bit(t->fresh, r) ? 0 : delta(now, t->prev_cpu[r]);
    u64 share = apply(tick->cpu_recip, tick->cpu_limit, d, cpu_bits);
    t->cpu[r] = static_cast<u16>(bits::min64(share, 10000));
    t->prev_cpu[r] = now;
    if (share > 10000) set_bit(t->clipped, r);
  }
}

// One I/O column; a count that was not reported gives rate 0 and stays as the previous value, so the row keeps its
// "not reported" mark and a later real count starts from a zero delta.
void io_column(model::ProcTable* t, const Tick* tick, u32 r, u64 now, u64* prev, u32* out) {
  u64 d = has_bit(t->fresh, r) || now == sysrec::io_unreported ? 0 : delta(now, *prev);
  u64 kib = apply(tick->io_recip, tick->io_limit, d, io_bits);
  *out = sat32(kib);
  *prev = now;
  if (kib > 0xFFFFFFFFull) set_bit(t->clipped, r);
}

void io_pass(model::ProcTable* t, const ProcCounters* c, const Tick* tick, u32 top) {
  for (u32 r = 0; r < top; ++r) {
    io_column(t, tick, r, c->bytes_read[r], &t->prev_read[r], &t->read_rate[r]);
    io_column(t, tick, r, c->bytes_written[r], &t->prev_written[r], &t->write_rate[r]);
  }
}

void size_pass(model::ProcTable* t, const ProcCounters* c, u32 top) {
  constexpr u64 page_limit = (1ull << 44) - 1;
  constexpr u64 vram_limit = 1ull << 38;
  for (u32 r = 0; r < top; ++r) {
    u64 ws = c->working_set[r], priv = c->private_bytes[r], vram = c->gpu_memory[r];
    t->working_set[r] = sat32(ws >> 12);
    t->private_bytes[r] = sat32(priv >> 12);
    t->gpu_memory[r] = sat16(vram >> 22);
    t->thread_count[r] = sat16(c->threads[r]);
    t->tcp[r] = sat16(c->tcp[r]);
    t->gpu[r] = static_cast<u16>(bits::min64(c->gpu[r], 10000));
    t->handles[r] = c->handles[r];
    bool over = ws > page_limit || priv > page_limit || vram >= vram_limit || c->threads[r] > 0xFFFF ||
                c->tcp[r] > 0xFFFF || c->gpu[r] > 10000;
    if (over) set_bit(t->clipped, r);
  }
}

}  // namespace

u64 delta(u64 a, u64 b) { return a < b ? 0 : a - b; }

u32 clamp_interval(u64 ms) { return static_cast<u32>(bits::min64(bits::max64(ms, 1), 60000)); }

u64 cpu_recip(u64 ticks_per_second, u64 interval_ms, u32 processors) {
  u128 x = static_cast<u128>(bits::max64(ticks_per_second, 1)) * clamp_interval(interval_ms) *
           bits::min64(bits::max64(processors, 1), 4096);
  return recip_of(static_cast<u128>(10000000) << cpu_bits, x);
}

u64 io_recip(u64 interval_ms) {
  u64 x = static_cast<u64>(clamp_interval(interval_ms)) * 1024;
  return recip_of(static_cast<u128>(1000) << io_bits, x);
}

u64 ceil_of(u64 recip, u32 bits) { return (~0ull - (1ull << (bits - 1))) / bits::max64(recip, 1); }

u64 span_recip(u64 span) { return bits::max64((10000ull << cpu_bits) / bits::max64(span, 1), 1); }

u16 sat16(u64 x) { return x > 0xFFFF ? 0xFFFF : static_cast<u16>(x); }

void tick_make(u64 ticks_per_second, u64 interval_ms, u32 processors, Tick* tick) {
  tick->cpu_recip = cpu_recip(ticks_per_second, interval_ms, processors);
  tick->cpu_limit = ceil_of(tick->cpu_recip, cpu_bits);
  tick->io_recip = io_recip(interval_ms);
  tick->io_limit = ceil_of(tick->io_recip, io_bits);
}

u64 apply(u64 recip, u64 limit, u64 d, u32 bits) {
  return (recip * bits::min64(d, limit) + (1ull << (bits - 1))) >> bits;
}

void update(model::ProcTable* table, const ProcCounters* columns, const Tick* tick) {
  u32 top = table->count < model::rows ? table->count : model::rows;
  for (u64& w : table->clipped) w = 0;
  cpu_pass(table, columns, tick, top);
  io_pass(table, columns, tick, top);
  size_pass(table, columns, top);
  for (u64& w : table->fresh) w = 0;
}

u64 cores_pass(const u16* percents, u8* out, u32 count) {
  u64 mask = 0;
  u32 n = count < 64 ? count : 64;
  for (u32 i = 0; i < n; ++i) {
    u32 step = (static_cast<u32>(percents[i]) + 25) / 50;
    out[i] = static_cast<u8>(step > 200 ? 200 : step);
    if (step > 200) mask |= 1ull << i;
  }
  return mask;
}

}  // namespace rate
