#include "history/hstore.h"

#include "base/bits.h"
#include "history/share.h"

namespace hstore {
namespace {

constexpr u32 tier0_seconds = 10;
constexpr u32 u32_max = 0xFFFFFFFFu;

// Offsets in the 64-byte machine summary.
constexpr u32 summary_levels = 8;  // six u16 levels
constexpr u32 summary_receive = 48;
constexpr u32 summary_send = 52;
constexpr u32 summary_power = 60;
constexpr u32 summary_power_flags = 62;
constexpr u8 power_parts = 0x0F;
constexpr u8 power_uncertain = 0x20;

u16 sat16(u64 v) { return static_cast<u16>(v < count_max ? v : count_max); }
i32 bump(i32 n) { return n == 0x7FFFFFFF ? n : n + 1; }
bool has(u64 mask, u32 i) { return bits::word_test(mask, i) != 0; }

// The raw value of measure m from a summary.
u32 measure_of(const u8* summary, u32 m) {
  if (m < 6) return store::get16(summary + summary_levels + 2 * m);
  return store::get32(summary + (m == 6 ? summary_receive : summary_send));
}

// A measure as a bucket stores it: levels capped at 65,535, rates as codes.
u16 stored(u64 raw, u32 m) { return m < 6 ? sat16(raw) : rate_code(raw); }
// A stored value back to a raw one.
u64 raw_of(u16 v, u32 m) { return m < 6 ? v : rate_of(v); }
// The stored mean of a sum over count samples.
u16 stored_mean(u64 sum, u64 count, u32 m) {
  return count == 0 ? 0 : stored((sum + count / 2) / count, m);
}

void fold_range(u16* min, u16* max, const u16* lo, const u16* hi) {
  for (u32 m = 0; m < store::measures; ++m) {
    if (lo[m] < min[m]) min[m] = lo[m];
    if (hi[m] > max[m]) max[m] = hi[m];
  }
}

void range_clear(u16* min, u16* max) {
  for (u32 m = 0; m < store::measures; ++m) {
    min[m] = 0xFFFF;
    max[m] = 0;
  }
}

Upper* upper_of(Store* s, u32 tier) { return tier == 1 || tier == 2 ? &s->upper[tier - 1] : nullptr; }
const Upper* upper_of(const Store* s, u32 tier) { return tier == 1 || tier == 2 ? &s->upper[tier - 1] : nullptr; }

void open_bucket(Store* s, u32 i, u32 slot_number) {
  s->slot_number[i] = slot_number;
  s->count[i] = 0;
  s->energy[i] = 0;
  s->power_seconds[i] = 0;
  s->energy_flag = bits::word_clear(s->energy_flag, i);
  range_clear(s->min[i], s->max[i]);
  for (u32 m = 0; m < store::measures; ++m) s->sum[i][m] = 0;
  s->open = bits::word_set(s->open, i);
}

// The tier-0 energy record. Seconds are capped at the bucket's ten; when more readings than that came in one slot
// (samples queued during a reconnect arrive together) the sum is scaled to ten seconds' worth, so the record's mean
// power stays the mean of the readings instead of growing with the backlog.
store::Energy closed_energy_of(const Store* s, u32 i, u32 slot) {
  u64 energy = s->energy[i];
  u32 seconds = s->power_seconds[i];
  if (seconds > tier0_seconds) energy = (energy * tier0_seconds + seconds / 2) / seconds;
  u16 kept = static_cast<u16>(seconds < tier0_seconds ? seconds : tier0_seconds);
  return store::Energy{slot, 0, static_cast<u32>(energy), kept, static_cast<u8>(bits::word_test(s->energy_flag, i))};
}

// Adds an energy record to an upper tier's sums; the flag marks an overflow or an uncertain record.
void energy_fold(Upper* u, u32 i, const store::Energy* energy) {
  bool overflow = u64{u->energy[i]} + energy->energy > u32_max;
  u->energy[i] = energy_add(u->energy[i], energy->energy);
  u->seconds[i] = sat16(u64{u->seconds[i]} + energy->seconds);
  if (overflow || (energy->flags & 1) != 0) u->energy_flag = bits::word_set(u->energy_flag, i);
}

u64 rotate_right(u64 x, u32 s) {
  s &= 63;
  return s == 0 ? x : x >> s | x << (64 - s);
}

// Moves element from to to in an array of per-machine entries and clears from.
template <typename T>
void move_entry(T (&array)[machines], u32 to, u32 from) {
  __builtin_memcpy(&array[to], &array[from], sizeof(T));
  __builtin_memset(&array[from], 0, sizeof(T));
}

}  // namespace

u32 interval(u32 tier) {
  switch (tier) {
    case 0: return tier0_seconds;
    case 1: return 300;
    case 2: return 3600;
    default: return 0;
  }
}

u32 slot_time(u32 t, u32 tier) {
  u32 n = interval(tier);
  return n == 0 ? 0 : t - t % n;
}

u32 upper_index(u32 tier) { return tier >= 2 ? 1 : 0; }

void sum_clear(BucketSum* sum) {
  sum->count = 0;
  range_clear(sum->min, sum->max);
  for (u32 m = 0; m < store::measures; ++m) sum->sum[m] = 0;
}

void part_add(BucketSum* sum, const store::Bucket* bucket) {
  if (sum->count != u32_max) ++sum->count;
  fold_range(sum->min, sum->max, bucket->min, bucket->max);
  for (u32 m = 0; m < store::measures; ++m) sum->sum[m] += raw_of(bucket->mean[m], m);
}

void part_bucket(const BucketSum* sum, u32 slot, store::Bucket* bucket) {
  bucket->slot = slot;
  bucket->term = 0;
  for (u32 m = 0; m < store::measures; ++m) {
    bucket->min[m] = sum->min[m];
    bucket->max[m] = sum->max[m];
    bucket->mean[m] = stored_mean(sum->sum[m], sum->count, m);
  }
}

void init(Store* store) { __builtin_memset(store, 0, sizeof *store); }

void add(Store* s, u32 i, const u8* summary, u32 now) {
  if (i >= machines) return;
  u32 slot_number = now / tier0_seconds;
  if (has(s->open, i) && s->slot_number[i] != slot_number) close(s, i);
  if (!has(s->open, i)) open_bucket(s, i, slot_number);

  bool room = s->count[i] < count_max;
  if (!room) s->full = bump(s->full);
  u8 power_flags = summary[summary_power_flags];
  if ((power_flags & power_parts) != 0 && room) {
    u32 power = store::get16(summary + summary_power);
    bool overflow = u64{s->energy[i]} + power > u32_max;
    s->energy[i] = add_sat(s->energy[i], power);
    ++s->power_seconds[i];
    if (overflow || (power_flags & power_uncertain) != 0) s->energy_flag = bits::word_set(s->energy_flag, i);
  }
  for (u32 m = 0; m < store::measures; ++m) {
    u32 raw = measure_of(summary, m);
    u16 v = stored(raw, m);
    if (v < s->min[i][m]) s->min[i][m] = v;
    if (v > s->max[i][m]) s->max[i][m] = v;
    if (room) s->sum[i][m] += raw;
  }
  if (room) ++s->count[i];
}

void close(Store* s, u32 i) {
  if (i >= machines || !has(s->open, i)) return;
  store::Bucket* b = &s->closed[i];
  b->slot = s->slot_number[i] * tier0_seconds;
  b->term = 0;
  for (u32 m = 0; m < store::measures; ++m) {
    b->min[m] = s->min[i][m];
    b->max[m] = s->max[i][m];
    b->mean[m] = stored_mean(s->sum[i][m], s->count[i], m);
  }
  s->closed_energy[i] = closed_energy_of(s, i, b->slot);
  tiers_add(s, i, b, &s->closed_energy[i]);
  if (has(s->bucket_pending, i)) s->overwritten = bump(s->overwritten);
  s->bucket_pending = bits::word_set(s->bucket_pending, i);
  s->open = bits::word_clear(s->open, i);
}

void close_due(Store* s, u32 now) {
  u32 slot_number = now / tier0_seconds;
  for (u64 m = s->open; m != 0; m &= m - 1) {
    u32 i = bits::word_first(m);
    if (s->slot_number[i] < slot_number) close(s, i);
  }
}

void close_all(Store* s) {
  for (u64 m = s->open; m != 0; m &= m - 1) close(s, bits::word_first(m));
}

void tiers_add(Store* s, u32 i, const store::Bucket* bucket, const store::Energy* energy) {
  if (i >= machines) return;
  BucketSum one;
  one.count = 1;
  for (u32 m = 0; m < store::measures; ++m) {
    one.min[m] = bucket->min[m];
    one.max[m] = bucket->max[m];
    one.sum[m] = raw_of(bucket->mean[m], m);
  }
  for (u32 tier = 1; tier <= 2; ++tier) {
    Upper* u = upper_of(s, tier);
    u32 n = interval(tier);
    if (!has(u->open, i) || u->start[i] / n != bucket->slot / n) tier_start(s, tier, i, bucket->slot);
    tier_fold(s, tier, i, &one);
  }
  for (Upper& u : s->upper) energy_fold(&u, i, energy);
  s->upper_changed = bits::word_set(s->upper_changed, i);
}

void tier_start(Store* s, u32 tier, u32 i, u32 time) {
  Upper* u = upper_of(s, tier);
  if (u == nullptr || i >= machines) return;
  if (has(u->open, i) && has(u->unwritten, i)) {
    u->close_pending = bits::word_set(u->close_pending, i);
    u->previous[i] = slot_time(u->start[i], tier);
  }
  u->start[i] = time;
  u->count[i] = 0;
  range_clear(u->min[i], u->max[i]);
  for (u32& v : u->level_sum[i]) v = 0;
  for (u64& v : u->rate_sum[i]) v = 0;
  u->energy[i] = 0;
  u->seconds[i] = 0;
  u->energy_flag = bits::word_clear(u->energy_flag, i);
  u->energy_looked_up = bits::word_clear(u->energy_looked_up, i);
  u->unwritten = bits::word_clear(u->unwritten, i);
  u->seeded = bits::word_clear(u->seeded, i);
  u->open = bits::word_set(u->open, i);
  u->started = bits::word_set(u->started, i);
}

void tier_fold(Store* s, u32 tier, u32 i, const BucketSum* sum) {
  Upper* u = upper_of(s, tier);
  if (u == nullptr || i >= machines) return;
  u->unwritten = bits::word_set(u->unwritten, i);
  u->count[i] = sat16(u64{u->count[i]} + sum->count);
  fold_range(u->min[i], u->max[i], sum->min, sum->max);
  for (u32 m = 0; m < 6; ++m) u->level_sum[i][m] = add_sat(u->level_sum[i][m], sum->sum[m]);
  for (u32 m = 0; m < 2; ++m) u->rate_sum[i][m] += sum->sum[6 + m];
}

bool tier_bucket(const Store* s, u32 i, u32 tier, store::Bucket* bucket) {
  __builtin_memset(bucket, 0, sizeof *bucket);
  const Upper* u = upper_of(s, tier);
  if (u == nullptr || i >= machines) return false;
  bucket->slot = slot_time(u->start[i], tier);
  for (u32 m = 0; m < store::measures; ++m) {
    bucket->min[m] = u->min[i][m];
    bucket->max[m] = u->max[i][m];
    u64 sum = m < 6 ? u->level_sum[i][m] : u->rate_sum[i][m - 6];
    bucket->mean[m] = stored_mean(sum, u->count[i], m);
  }
  return true;
}

bool tier_energy(const Store* s, u32 i, u32 tier, store::Energy* energy) {
  *energy = store::Energy{};
  const Upper* u = upper_of(s, tier);
  if (u == nullptr || i >= machines) return false;
  u32 n = interval(tier);
  *energy = store::Energy{slot_time(u->start[i], tier), 0, u->energy[i],
                          static_cast<u16>(u->seconds[i] < n ? u->seconds[i] : n),
                          static_cast<u8>(bits::word_test(u->energy_flag, i))};
  return true;
}

void seed(Store* s, u32 i, u32 tier, const BucketSum* sum) {
  Upper* u = upper_of(s, tier);
  if (u == nullptr || i >= machines) return;
  u->seeded = bits::word_set(u->seeded, i);
  if (sum->count != 0) tier_fold(s, tier, i, sum);
}

void energy_seed(Store* s, u32 i, u32 tier, const store::Energy* energy) {
  Upper* u = upper_of(s, tier);
  if (u == nullptr || i >= machines) return;
  energy_fold(u, i, energy);
  u->energy_looked_up = bits::word_set(u->energy_looked_up, i);
}

void count_failure(u16* failures, u32 i, u32 n) {
  if (i < machines) failures[i] = sat16(u64{failures[i]} + n);
}

u64 swap_bit(u64 mask, u32 to, u32 from) {
  if (to == from) return mask;
  u64 bit = bits::word_test(mask, from);
  return bits::word_put(bits::word_clear(mask, from), to, bit);
}

void move_row(Store* s, u32 to, u32 from) {
  if (to >= machines || from >= machines || to == from) return;
  s->open = swap_bit(s->open, to, from);
  s->bucket_pending = swap_bit(s->bucket_pending, to, from);
  s->upper_changed = swap_bit(s->upper_changed, to, from);
  s->energy_flag = swap_bit(s->energy_flag, to, from);
  move_entry(s->slot_number, to, from);
  move_entry(s->count, to, from);
  move_entry(s->min, to, from);
  move_entry(s->max, to, from);
  move_entry(s->sum, to, from);
  move_entry(s->closed, to, from);
  move_entry(s->energy, to, from);
  move_entry(s->power_seconds, to, from);
  move_entry(s->closed_energy, to, from);
  for (Upper& u : s->upper) {
    u64* masks[] = {&u.open, &u.started, &u.seeded, &u.unwritten, &u.close_pending, &u.energy_flag,
                    &u.energy_looked_up};
    for (u64* mask : masks) *mask = swap_bit(*mask, to, from);
    move_entry(u.start, to, from);
    move_entry(u.previous, to, from);
    move_entry(u.count, to, from);
    move_entry(u.min, to, from);
    move_entry(u.max, to, from);
    move_entry(u.level_sum, to, from);
    move_entry(u.rate_sum, to, from);
    move_entry(u.energy, to, from);
    move_entry(u.seconds, to, from);
  }
  s->failures[to] = s->failures[from];
  s->failures[from] = 0;
}

bool history(u32* counter, mem::Bytes request, AnswerHead* answer) {
  if (request.len < 18) return false;
  if (*counter != u32_max) ++*counter;
  answer->rows = 0;
  __builtin_memcpy(answer->id, request.ptr, 16);
  answer->tier = request.ptr[16];
  answer->scope = request.ptr[17];
  return true;
}

bool backfill(Store* s, u64 id_length, u32 rows) {
  if (id_length != 16 || rows > 60) return false;
  if (s->backfill_requests != u32_max) ++s->backfill_requests;
  return true;
}

u64 pick(u64 mask, u32 n) {
  u64 picked = 0;
  for (u32 k = 0; k < n && mask != 0; ++k) {
    u64 low = mask & (0 - mask);
    picked |= low;
    mask ^= low;
  }
  return picked;
}

u64 pick_from(u64 mask, u32 n, u32 start) {
  u64 picked = pick(rotate_right(mask, start), n);
  return rotate_right(picked, 64 - (start & 63));
}

u32 start_after(u64 mask, u32 n, u32 start) {
  u64 rotated = rotate_right(mask, start);
  u64 left = rotated & ~pick(rotated, n);
  return left == 0 ? start : (bits::word_first(left) + start) & 63;
}

}  // namespace hstore

// ---- The host's verdicts around the share.

namespace hstore {
namespace {

const char* const stop_words[] = {
    "serving",
    "a host of a newer term took the share",
    "another machine holds the same term",
    "the lease was not renewed within 10 s",
    "the term could not be set up on the share",
    "the registry of an older term cannot be read",
    "the machine folders of the term cannot be created",
    "another host is live on the share (--refuse-if-live)",
    "no term could be claimed on the share or folder",
    "the share self-test failed: the share caches reads or writes (--force-share to serve anyway)",
    "the random source gave no host id",
};
const char* const verdict_words[] = {"pass", "fail", "inconclusive", "not a share"};

u64 pair(u32 term, u32 counter) { return u64{term} << 32 | counter; }

}  // namespace

void watch_init(Watch* w) { *w = Watch{}; }

u32 turn(const Watch* w, bool missing, bool valid, u32 term, u32 counter, bool released, u32 now) {
  bool progress = valid && pair(term, counter) > pair(w->term, w->counter);
  bool first = !w->seen;
  if (missing || (valid && released && (first || progress))) return 2;
  if (valid && progress && !first) return 1;
  if (first || u64{now} < u64{w->changed} + share::lease_period) return 0;
  return 2;
}

u32 observe(Watch* w, bool missing, bool valid, u32 term, u32 counter, bool released, u32 now) {
  u32 verdict = turn(w, missing, valid, term, counter, released, now);
  bool progress = valid && pair(term, counter) > pair(w->term, w->counter);
  if (!w->seen || progress) w->changed = now;
  if (progress) {
    w->term = term;
    w->counter = counter;
  }
  w->seen = 1;
  return verdict;
}

u32 stop_of(bool stopped, u32 result, u32 lease_failures, u32 flags) {
  stopped = stopped || result == share::too_late;
  if (stopped) {
    if (result == share::same_term) return 2;
    if (result == share::too_late) return 3;
    if (lease_failures > 2) return 4;
    return 1;
  }
  if (flags & share::lost_registry) return 5;
  if (flags & share::lost_folders) return 6;
  return 0;
}

u32 refusal(bool have_id, u32 selftest_verdict, bool force_share) {
  if (!have_id) return 10;
  if (selftest_verdict == store::verdict_fail && !force_share) return 9;
  return 0;
}

bool yields_on(u32 reason) { return reason == 0 || reason == 5 || reason == 6; }

u32 exit_of(u32 reason) {
  if (reason == 0) return 0;
  return reason >= 7 && reason <= 10 ? 5 : 6;
}

mem::Bytes stop_word(u32 reason) { return mem::cstr(stop_words[reason <= 10 ? reason : 0]); }

mem::Bytes verdict_word(u32 verdict) { return mem::cstr(verdict_words[verdict <= 3 ? verdict : 1]); }

}  // namespace hstore
