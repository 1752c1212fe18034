#include "history/hist.h"

#include "base/bits.h"
#include "history/hstore.h"
#include "sampling/ring.h"

namespace hist {
namespace {

constexpr u32 u32_max = 0xFFFFFFFFu;
constexpr u32 range_count = 6;
constexpr u32 seconds_of[range_count] = {60, 600, 3600, 86400, 2592000, 63072000};
constexpr u32 rows_of[range_count] = {0, 0, 360, 288, 720, 730};
constexpr u32 column_of[range_count] = {10, 10, 10, 300, 3600, 86400};
constexpr u8 power_parts = 0x0F;

bool has_slot(const Table* t, u32 slot) { return slot < 2 && t->measure[slot] != no_measure && t->sum[slot]; }

template <typename T>
T* take_of(mem::Arena* arena, u32 n) {
  return static_cast<T*>(take(arena, u64{n} * sizeof(T)));
}

u32 max_of(const u8* v, u32 n) {
  u32 m = 0;
  for (u32 i = 0; i < n; ++i) m = v[i] > m ? v[i] : m;
  return m;
}

u32 sum_sat(const u32* v, u32 n) {
  u64 s = 0;
  for (u32 i = 0; i < n; ++i) s += v[i];
  return bits::sat32(s);
}

// Video memory in use and its total, in MiB, as the machine summary takes them.
void video_of(const ring::Row* row, const Totals* t, u32* used, u32* total) {
  u32 n = t->gpu_count < 4 ? t->gpu_count : 4;
  bool shared = n > 0;
  for (u32 i = 0; i < n; ++i) shared = shared && t->dedicated_mib[i] <= 512 && t->shared_mib[i] != 0;
  u64 u = 0, whole = 0;
  for (u32 i = 0; i < n; ++i) {
    u += shared ? row->gpu_shared_mib[i] : row->gpu_dedicated_mib[i];
    whole = shared ? (t->shared_mib[i] > whole ? t->shared_mib[i] : whole) : whole + t->dedicated_mib[i];
  }
  *used = bits::sat32(u);
  *total = bits::sat32(whole);
}

void add_energy(Table* t, u32 column, u64 energy, u32 seconds) {
  t->energy_sum[column] += energy;
  t->seconds[column] = add_sat(t->seconds[column], seconds);
  t->watts[column] = mean(t->energy_sum[column], t->seconds[column]);
}

}  // namespace

u32 clamp_range(u32 range) { return range < range_count ? range : 0; }
u32 range_seconds(u32 range) { return seconds_of[clamp_range(range)]; }
u32 range_rows(u32 range) { return rows_of[clamp_range(range)]; }
u32 row_seconds(u32 range) { return column_of[clamp_range(range)]; }
u32 first_tier(u32 range) { return (range > 2) + (range > 3); }

u32 range_of_seconds(u32 seconds) {
  for (u32 r = 1; r < range_count; ++r)
    if (seconds_of[r] == seconds) return r;
  return 0;
}

u64 table_bytes(u32 range, u32 measures) {
  u64 n = range_rows(range);
  if (n == 0) return 0;
  return n * 2 + (measures < 2 ? measures : 2) * (n * 20 + 256) + 64;
}

void* take(mem::Arena* arena, u64 n) { return mem::alloc(arena, n, 64).ptr; }

bool bind(Table* t, mem::Arena* arena, u32 range, u8 measure0, u8 measure1, const u8* id16, u32 now) {
  __builtin_memset(t, 0, sizeof *t);
  t->measure[0] = t->measure[1] = no_measure;
  range = clamp_range(range);
  u32 n = range_rows(range);
  if (n == 0) return false;
  t->energy = measure0 == energy_measure;
  u8 wanted[2] = {measure0 < energy_measure ? measure0 : no_measure, measure1 < energy_measure ? measure1 : no_measure};
  u16* count = take_of<u16>(arena, n);
  bool ok = count != nullptr;
  for (u32 s = 0; s < 2 && ok; ++s) {
    if (wanted[s] == no_measure) continue;
    t->sum[s] = take_of<u64>(arena, n);
    t->min[s] = take_of<u32>(arena, n);
    t->mean[s] = take_of<u32>(arena, n);
    t->max[s] = take_of<u32>(arena, n);
    ok = t->sum[s] && t->min[s] && t->mean[s] && t->max[s];
  }
  if (ok && t->energy) {
    t->energy_sum = take_of<u64>(arena, n);
    t->seconds = take_of<u32>(arena, n);
    t->watts = take_of<u32>(arena, n);
    ok = t->energy_sum && t->seconds && t->watts;
  }
  if (!ok) {
    __builtin_memset(t, 0, sizeof *t);
    t->measure[0] = t->measure[1] = no_measure;
    return false;
  }
  t->count = count;
  t->measure[0] = wanted[0];
  t->measure[1] = wanted[1];
  t->range = static_cast<u8>(range);
  t->columns = n;
  t->column_seconds = row_seconds(range);
  __builtin_memcpy(t->id, id16, 16);
  restart(t, now);
  return true;
}

void restart(Table* t, u32 now) {
  t->newest = now;
  t->first = first_row(now, t->column_seconds, t->columns);
  t->start = 0;
  t->folded = 0;
  for (u32 c = 0; c < t->columns; ++c) clear_row(t, c);
  t->state = state_asking;
  t->asking = 0;
  t->sent = 0;
  t->tier = static_cast<u8>(first_tier(t->range));
  t->range_end = now;
  t->earliest = t->next_start = clip_from(t->first, now, t->tier);
  t->answered_rows = 0;
  t->live_sequence = no_sequence;
  ++t->changes;
}

bool ask(Table* t, u32 bucket_count) {
  if (t->state != state_asking || t->asking || bucket_count == 0 || t->columns == 0) return false;
  t->ask_start = t->next_start;
  t->ask_end = chunk_end(t->ask_start, t->range_end, bucket_count, t->tier);
  t->ask_count = bucket_count;
  t->asking = 1;
  t->sent = 0;
  return true;
}

// In 64 bits, so a long chunk near the end of time cannot wrap below its start.
u32 chunk_end(u32 start, u32 range_end, u32 count, u32 tier) {
  u64 end = u64{start} + u64{count} * hstore::interval(tier);
  end = end == 0 ? 0 : end - 1;
  return static_cast<u32>(end < range_end ? end : range_end);
}

bool wants(const Table* t, u32 tier, u32 scope, const u8* id16) {
  return t->asking && tier == t->tier && scope == 0 && __builtin_memcmp(id16, t->id, 16) == 0;
}

void answered(Table* t, u32 rows) {
  if (!t->asking) return;
  t->answered_rows = add_sat(t->answered_rows, rows);
  t->asking = 0;
  t->next_start = t->ask_end + 1;
  if (t->ask_end < t->range_end) return;
  if (t->answered_rows == 0 && t->tier > 0) {
    --t->tier;
    t->earliest = t->next_start = clip_from(t->first, t->range_end, t->tier);
    return;
  }
  t->state = t->folded > 0 ? state_data : state_empty;
  ++t->changes;
}

bool fold(Table* t, const store::Bucket* bucket) {
  u32 c;
  if (t->energy || !row_for(t, bucket->slot, &c)) return false;
  for (u32 s = 0; s < 2; ++s) {
    if (!has_slot(t, s)) continue;
    u32 m = t->measure[s];
    bool rate = m >= 6;
    u32 lo = rate ? hstore::rate_of(bucket->min[m]) : bucket->min[m];
    u32 mid = rate ? hstore::rate_of(bucket->mean[m]) : bucket->mean[m];
    u32 hi = rate ? hstore::rate_of(bucket->max[m]) : bucket->max[m];
    put(t, c, s, lo, mid, hi);
  }
  ++t->folded;
  ++t->changes;
  return true;
}

bool fold_energy(Table* t, const store::Energy* energy) {
  u32 c;
  if (!t->energy || !row_for(t, energy->slot, &c)) return false;
  add_energy(t, c, energy->energy, energy->seconds);
  ++t->folded;
  ++t->changes;
  return true;
}

u32 chunk_buckets(u32 frame_bytes) {
  u32 n = (frame_bytes - (frame_bytes < 48 ? frame_bytes : 48)) / 56 * 3 / 4;
  return n < 768 ? n : 768;
}

void values_of(const ring::Row* row, const Totals* totals, u32 (&values)[store::measures]) {
  u32 used, whole;
  video_of(row, totals, &used, &whole);
  u32 gpu = 0;
  for (u16 g : row->gpu_load) gpu = g > gpu ? g : gpu;
  values[0] = row->load;
  values[1] = row->kernel;
  values[2] = percent(row->memory_mib, totals->memory_mib);
  values[3] = max_of(row->disk_busy, 16) * 50;
  values[4] = gpu;
  values[5] = percent(used, whole);
  values[6] = sum_sat(row->receive, 8);
  values[7] = sum_sat(row->send, 8);
}

bool live(Table* t, u32 now, const u32 (&values)[store::measures]) {
  advance(t, now);
  u32 c;
  if (!row_for(t, now, &c)) return false;
  for (u32 s = 0; s < 2; ++s) {
    if (!has_slot(t, s)) continue;
    u32 v = values[t->measure[s]];
    put(t, c, s, v, v, v);
  }
  ++t->changes;
  if (t->state == state_empty) t->state = state_data;
  return true;
}

bool live_energy(Table* t, u32 now, u64 energy, u32 seconds) {
  advance(t, now);
  u32 c;
  if (!t->energy || seconds == 0 || !row_for(t, now, &c)) return false;
  add_energy(t, c, energy, seconds);
  ++t->changes;
  if (t->state == state_empty) t->state = state_data;
  return true;
}

u32 live_ring(Table* t, u32 now, const ring::Ring* samples, u32 sequence) {
  u32 n = fresh_count(sequence, t->live_sequence, t->energy ? samples->count : 0);
  t->live_sequence = sequence;
  advance(t, now);
  for (u32 k = 0; k < n; ++k) {
    u32 at = ring::back_row(samples->next, samples->capacity, k);
    if ((samples->power_flags[at] & power_parts) != 0) live_energy(t, now, samples->power[at], 1);
  }
  return n;
}

u32 fresh_count(u32 sequence, u32 last, u32 limit) {
  u32 n = last != no_sequence && sequence >= last ? sequence - last : (sequence < 1 ? sequence : 1);
  return n < limit ? n : limit;
}

void advance(Table* t, u32 now) {
  if (now > t->newest) t->newest = now;
  u32 cs = t->column_seconds, n = t->columns;
  if (n == 0 || cs == 0) return;
  // The last column's start is a true time even when the first column's has wrapped below the epoch.
  u32 last_start = t->first + (n - 1) * cs;
  u32 newest_start = t->newest - t->newest % cs;
  if (last_start >= newest_start) return;
  u32 k = (newest_start - last_start) / cs;
  if (k < n) {
    for (u32 i = 0; i < k; ++i) {
      clear_row(t, t->start);
      t->start = (t->start + 1) % n;
      t->first += cs;
    }
  } else {
    t->first = first_row(t->newest, cs, n);
    t->start = 0;
    for (u32 c = 0; c < n; ++c) clear_row(t, c);
  }
  ++t->changes;
}

bool row_values(const Table* t, u32 logical, u32 slot, u32* min, u32* mean_out, u32* max) {
  *min = *mean_out = *max = 0;
  if (logical >= t->columns || !has_slot(t, slot)) return false;
  u32 p = physical(t, logical);
  if (t->count[p] == 0) return false;
  *min = t->min[slot][p];
  *mean_out = t->mean[slot][p];
  *max = t->max[slot][p];
  return true;
}

bool row_energy(const Table* t, u32 logical, u64* energy, u32* seconds) {
  *energy = 0;
  *seconds = 0;
  if (!t->energy || logical >= t->columns) return false;
  u32 p = physical(t, logical);
  if (t->seconds[p] == 0) return false;
  *energy = t->energy_sum[p];
  *seconds = t->seconds[p];
  return true;
}

u64 energy_total(const Table* t, u32* seconds) {
  u64 energy = 0, s = 0;
  for (u32 c = 0; t->energy && c < t->columns; ++c) {
    energy += t->energy_sum[c];
    s += t->seconds[c];
  }
  *seconds = bits::sat32(s);
  return energy;
}

u32 most_watts(const Table* t) {
  u32 most = 0;
  for (u32 c = 0; t->energy && c < t->columns; ++c) most = t->watts[c] > most ? t->watts[c] : most;
  return most;
}

u32 most_avg(const Table* t, u32 slot) {
  u32 most = 0;
  if (!has_slot(t, slot)) return 0;
  for (u32 c = 0; c < t->columns; ++c)
    if (t->count[c] != 0 && t->mean[slot][c] > most) most = t->mean[slot][c];
  return most;
}

u32 percent(u64 a, u64 b) {
  if (b == 0) return 0;
  u64 p = a >= b ? 10000 : a * 10000 / b;  // a below b keeps a x 10000 inside 64 bits for 32-bit inputs
  return static_cast<u32>(p);
}


u32 mean(u64 sum, u64 count) {
  if (count == 0) return 0;
  u64 m = sum / count + (sum % count >= count - count / 2 ? 1 : 0);  // (sum + count / 2) / count without wrapping
  return bits::sat32(m);
}

u64 energy_shown(u64 energy) {
  if (energy < 360000) return (energy + 180) / 360;
  if (energy < 36000000) return (energy + 1800) / 3600;
  return energy / 360000 + (energy % 360000 >= 180000 ? 1 : 0);
}

u32 kept_seconds(u32 tier) { return tier > 2 ? 0 : store::capacity(tier) * hstore::interval(tier); }

u32 first_row(u32 time, u32 column_seconds, u32 n) {
  if (column_seconds == 0 || n == 0) return 0;
  return column_seconds * (time / column_seconds + 1 - n);
}

i32 row_at(u32 time, u32 first, u32 column_seconds, u32 n) {
  if (column_seconds == 0) return -1;
  u32 k = (time - first) / column_seconds;
  return k < n ? static_cast<i32>(k) : -1;
}

u32 physical(const Table* t, u32 logical) { return (logical + t->start) % (t->columns > 0 ? t->columns : 1); }

bool row_for(Table* t, u32 time, u32* column) {
  i32 k = row_at(time, t->first, t->column_seconds, t->columns);
  if (k < 0) return false;
  *column = physical(t, static_cast<u32>(k));
  if (t->count[*column] != 0xFFFF) ++t->count[*column];
  return true;
}

u32 clip_from(u32 first, u32 end, u32 tier) {
  u32 from = end < first ? 0 : first;
  u64 kept = kept_seconds(tier);
  u64 oldest = u64{end} + 1 >= kept ? u64{end} + 1 - kept : 0;
  return from > oldest ? from : static_cast<u32>(oldest);
}

void clear_row(Table* t, u32 c) {
  t->count[c] = 0;
  for (u32 s = 0; s < 2; ++s) {
    if (!has_slot(t, s)) continue;
    t->sum[s][c] = 0;
    t->min[s][c] = u32_max;
    t->mean[s][c] = 0;
    t->max[s][c] = 0;
  }
  if (t->energy) t->energy_sum[c] = t->seconds[c] = t->watts[c] = 0;
}

void put(Table* t, u32 c, u32 s, u32 min, u64 addend, u32 max) {
  if (t->min[s][c] > min) t->min[s][c] = min;
  if (t->max[s][c] < max) t->max[s][c] = max;
  t->sum[s][c] += addend;
  t->mean[s][c] = mean(t->sum[s][c], t->count[c]);
}

}  // namespace hist
