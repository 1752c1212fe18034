#include "history/store.h"

#include "wire/auth.h"
#include "wire/proto.h"

namespace store {
namespace {

const u8 hex_digits[] = "0123456789abcdef";

struct RingKind {
  u32 capacity;
  u32 record;
};
constexpr RingKind kinds[10] = {
    {8640, bucket_bytes}, {8640, bucket_bytes}, {17520, bucket_bytes}, {8640, top_bytes},    {8640, top_bytes},
    {17520, top_bytes},   {4096, name_bytes},   {8640, energy_bytes},  {8640, energy_bytes}, {17520, energy_bytes},
};

constexpr u32 level_max = 10000;
constexpr u32 share_rate = u32{1} << 24;  // bytes a second the carry-over may copy

constexpr u8 head_magic[4] = {'V', 'B', 'H', '1'};
constexpr u8 registry_magic[4] = {'V', 'B', 'G', '1'};
constexpr u8 inventory_magic[4] = {'V', 'B', 'V', '1'};

bool magic_is(const u8* p, const u8 (&magic)[4]) {
  return p[0] == magic[0] && p[1] == magic[1] && p[2] == magic[2] && p[3] == magic[3];
}

// Zeroes the record, then writes the magic and the u16 version 1: the start every sealed file shares.
void begin_record(u8* p, u32 bytes, const u8 (&magic)[4]) {
  __builtin_memset(p, 0, bytes);
  __builtin_memcpy(p, magic, 4);
  put16(p + 4, 1);
}

bool record_start_ok(mem::Bytes bytes, const u8 (&magic)[4]) {
  return magic_is(bytes.ptr, magic) && get16(bytes.ptr + 4) == 1;
}

u16 level(u16 v) { return v > level_max ? level_max : v; }

void hex_of(const u8* bytes, u32 n, u8* out) {
  for (u32 i = 0; i < n; ++i) {
    out[2 * i] = hex_digits[bytes[i] >> 4];
    out[2 * i + 1] = hex_digits[bytes[i] & 0xF];
  }
}

u32 digit_of(u8 c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 16;
}

// First index at or after from whose byte is a backslash; the length when none.
u64 backslash_from(mem::Bytes text, u64 from) {
  for (u64 i = from; i < text.len; ++i)
    if (text.ptr[i] == '\\') return i;
  return text.len;
}

}  // namespace

u32 capacity(u32 type) { return type < 10 ? kinds[type].capacity : 0; }
u32 record_bytes(u32 type) { return type < 10 ? kinds[type].record : 0; }
u64 record_at(u32 type, u32 index) { return head_bytes + u64{index} * record_bytes(type); }
u64 ring_bytes(u32 type) { return type < 10 ? record_at(type, capacity(type)) : 0; }
u32 modulus(u32 type) { return type < 10 ? kinds[type].capacity : 1; }

mem::Bytes ring_name(u32 type) {
  switch (type) {
    case ring_t0: return mem::lit("t0.ring");
    case ring_t1: return mem::lit("t1.ring");
    case ring_t2: return mem::lit("t2.ring");
    case ring_p0: return mem::lit("p0.ring");
    case ring_p1: return mem::lit("p1.ring");
    case ring_p2: return mem::lit("p2.ring");
    case ring_e0: return mem::lit("e0.ring");
    case ring_e1: return mem::lit("e1.ring");
    case ring_e2: return mem::lit("e2.ring");
    default: return mem::lit("names.ring");
  }
}

u32 next_index(u32 index, u32 type) { return static_cast<u32>((u64{index} + 1) % modulus(type)); }

u32 filled(u32 filled, u32 type) {
  u64 n = u64{filled} + 1;
  return static_cast<u32>(n < capacity(type) ? n : capacity(type));
}

u32 oldest(u32 next, u32 filled, u32 type) {
  u32 cap = capacity(type);
  u32 held = filled < cap ? filled : cap;
  return static_cast<u32>((u64{next} + cap - held) % modulus(type));
}

u32 slot_of(u32 start, u32 n, u32 type) { return static_cast<u32>((u64{start} + n) % modulus(type)); }

u32 prev_index(u32 next, u32 type) {
  u32 cap = capacity(type);
  if (cap == 0) return 0;
  return next == 0 ? cap - 1 : next - 1;
}

void head_init(RingHead* head, u32 type, u32 term) {
  head->type = type;
  head->capacity = capacity(type);
  head->next = 0;
  head->filled = 0;
  head->term = term;
  head->last_slot = 0;
  head->step = 0;
  head->older = 0;
  head->mixed = 0;
}

Place place_of(const RingHead& h) { return Place{h.next, h.filled, h.last_slot, h.step, h.older, h.mixed}; }

void head_place(RingHead* h, const Place& at) {
  h->next = at.next;
  h->filled = at.filled;
  h->last_slot = at.last_slot;
  h->step = at.step;
  h->older = at.older;
  h->mixed = at.mixed;
}

u32 step_tolerance(u32 type) {
  u32 tier = type == ring_names ? 0 : type < ring_p0 ? type : type < ring_names ? type - ring_p0 : type - ring_e0;
  static constexpr u32 seconds[3] = {60, 600, 7200};
  return seconds[tier > 2 ? 0 : tier];
}

bool steps_back(u32 slot, u32 last_slot, u32 type) {
  return last_slot > slot && last_slot - slot > step_tolerance(type);
}

u32 step_position(u32 step, u32 next, u32 filled, u32 type) {
  u32 cap = capacity(type);
  if (step == 0 || step > cap || filled == 0) return 0;
  u32 k = static_cast<u32>((u64{step - 1} + cap - oldest(next, filled, type)) % cap);
  return k < filled ? k : 0;
}

namespace {

// A run's first record still divides the ring after a record was written at index written (the ring now at next
// and filled): it was not overwritten and it is not the oldest.
bool divides(u32 mark, u32 written, u32 next, u32 filled, u32 type) {
  return mark != 0 && mark != written + 1 && step_position(mark, next, filled, type) > 0;
}

}  // namespace

Placed place(const Place& at, u32 slot, u32 type) {
  Placed p{};
  p.back = at.filled > 0 && steps_back(slot, at.last_slot, type) ? 1 : 0;
  p.slot = p.back ? slot : clamp_time(slot, at.last_slot);
  Place* a = &p.after;
  a->next = next_index(at.next, type);
  a->filled = filled(at.filled, type);
  a->last_slot = p.slot;
  bool step_in = divides(at.step, at.next, a->next, a->filled, type);
  bool older_in = step_in && divides(at.older, at.next, a->next, a->filled, type);
  // When the first named run went, what is left before the next mark is one run in order.
  u32 mixed = (at.older != 0 && !older_in) || (at.older == 0 && at.step != 0 && !step_in) ? 0 : at.mixed;
  if (!p.back) {
    a->step = step_in ? at.step : 0;
    a->older = older_in ? at.older : 0;
    a->mixed = mixed;
    return p;
  }
  // A step back begins the newest run here; the run before it is remembered, and one before that makes the first
  // run hold a step the head no longer names.
  a->step = at.next + 1;
  a->older = step_in ? at.step : 0;
  a->mixed = older_in ? 1 : mixed;
  return p;
}

Runs runs_of(const Place& at, u32 type) {
  Runs r{{0, 0, 0}, 1, at.mixed != 0 ? 1u : 0u};
  u32 ks = step_position(at.step, at.next, at.filled, type);
  u32 ko = ks > 0 ? step_position(at.older, at.next, at.filled, type) : 0;
  if (ko > 0 && ko < ks) r.start[r.count++] = ko;
  if (ks > 0) r.start[r.count++] = ks;
  return r;
}

void take_down(Downs* d, u32 index, u32 slot, u32 term, bool first) {
  if (first) {
    *d = Downs{slot, slot, term, 0, no_break, no_break};
  } else if (slot < d->last_slot) {
    Break here{index, d->last_slot, d->last_term, slot};
    if (d->count != 0xFFFFFFFFu) ++d->count;
    if (d->first.at == no_index) d->first = here;
    if (d->after_newest.at == no_index) d->after_newest = here;
  }
  d->last_slot = slot;
  d->last_term = term;
}

Break last_written(const Downs& d, const Newest& n, u32 type, u32 seconds, u32 wall) {
  Break closure{0, d.last_slot, d.last_term, d.first_slot};
  bool closure_down = d.first_slot < d.last_slot;
  u64 downs = u64{d.count} + closure_down;
  if (downs == 0 || (n.count == 0 && downs > 1)) return no_break;
  Break first = closure_down ? closure : d.first;
  if (n.count == 0) return first;
  // What still goes up after the newest plausible record was written after it, unless the clock says there was no
  // time for it: then those records are the oldest, stamped ahead by a clock set right since.
  Break b = d.after_newest.at != no_index ? d.after_newest : first;
  u32 cap = modulus(type);
  u32 between = static_cast<u32>((u64{b.at} + cap - n.index - 1) % cap);
  u64 since = wall > n.slot ? wall - n.slot : 0;
  bool written_after = between == 0 || (seconds > 0 && since >= u64{between} * seconds);
  return written_after ? b : no_break;
}

u32 head_bad(u32 type, u32 cap, u32 next, u32 filled) {
  u32 faults = 0;
  if (cap != capacity(type) || cap == 0) ++faults;
  if (cap != 0 && next >= cap) ++faults;
  if (filled > cap) ++faults;
  return faults;
}

u32 encode_head(const auth::KeyState* key, const RingHead* head, mem::Slice buffer) {
  if (buffer.len < head_bytes) return 0;
  u8* p = buffer.ptr;
  begin_record(p, head_bytes, head_magic);
  p[6] = static_cast<u8>(head->type);
  put32(p + 8, head->capacity);
  put32(p + 12, head->next);
  put32(p + 16, head->filled);
  put32(p + 20, head->term);
  put32(p + 24, head->last_slot);
  put32(p + 28, head->step);
  put32(p + 32, head->older);
  p[36] = static_cast<u8>(head->mixed & 1);
  auth::seal(key, mem::Slice{p, head_bytes});
  return head_bytes;
}

u32 decode_head(const auth::KeyState* key, mem::Bytes bytes, RingHead* head) {
  if (bytes.len < head_bytes || !record_start_ok(bytes, head_magic)) return 0;
  const u8* p = bytes.ptr;
  RingHead h{p[6],           get32(p + 8),  get32(p + 12), get32(p + 16), get32(p + 20),
             get32(p + 24),  get32(p + 28), get32(p + 32), p[36] & 1u};
  if (h.step > h.capacity) h.step = 0;  // a mark that names no record is no mark
  if (h.older > h.capacity) h.older = 0;
  if (head_bad(h.type, h.capacity, h.next, h.filled) != 0) return 0;
  if (!auth::sealed(key, mem::Bytes(p, head_bytes))) return 0;
  *head = h;
  return 1;
}

u32 encode_bucket(const Bucket* bucket, mem::Slice buffer, u64 offset) {
  if (!fits(buffer.len, offset, bucket_bytes)) return 0;
  u8* p = buffer.ptr + offset;
  put32(p, bucket->slot);
  put32(p + 4, bucket->term);
  for (u32 m = 0; m < measures; ++m) {
    put16(p + 8 + 2 * m, bucket->min[m]);
    put16(p + 24 + 2 * m, bucket->mean[m]);
    put16(p + 40 + 2 * m, bucket->max[m]);
  }
  return bucket_bytes;
}

u32 decode_bucket(mem::Bytes buffer, u64 offset, Bucket* bucket) {
  if (!fits(buffer.len, offset, bucket_bytes)) return 0;
  const u8* p = buffer.ptr + offset;
  bucket->slot = get32(p);
  bucket->term = get32(p + 4);
  for (u32 m = 0; m < measures; ++m) {
    u16 lo = get16(p + 8 + 2 * m), mid = get16(p + 24 + 2 * m), hi = get16(p + 40 + 2 * m);
    bool is_level = m < 6;
    bucket->min[m] = is_level ? level(lo) : lo;
    bucket->mean[m] = is_level ? level(mid) : mid;
    bucket->max[m] = is_level ? level(hi) : hi;
  }
  return 1;
}

u32 encode_energy(const Energy* energy, mem::Slice buffer, u64 offset) {
  if (!fits(buffer.len, offset, energy_bytes)) return 0;
  u8* p = buffer.ptr + offset;
  put32(p, energy->slot);
  put32(p + 4, energy->term);
  put32(p + 8, energy->energy);
  put16(p + 12, energy->seconds);
  p[14] = energy->flags & 1;
  p[15] = 0;
  return energy_bytes;
}

u32 decode_energy(mem::Bytes buffer, u64 offset, Energy* energy) {
  if (!fits(buffer.len, offset, energy_bytes)) return 0;
  const u8* p = buffer.ptr + offset;
  *energy = Energy{get32(p), get32(p + 4), get32(p + 8), get16(p + 12), static_cast<u8>(p[14] & 1)};
  return 1;
}

u32 bucket_time(mem::Bytes buffer, u64 offset) {
  return fits(buffer.len, offset, 8) ? get32(buffer.ptr + offset) : 0;
}

u32 bucket_term(mem::Bytes buffer, u64 offset) {
  return fits(buffer.len, offset, 8) ? get32(buffer.ptr + offset + 4) : 0;
}

void registry_clear(Registry* registry, u32 term) {
  __builtin_memset(registry, 0, sizeof *registry);
  registry->term = term;
}

u32 registry_flags_bad(mem::Bytes file, u32 count) {
  u32 bad = 0;
  for (u32 i = 0; i < count && i < registry_rows; ++i) {
    u64 at = 80 + 64 * u64{i};
    if (at < file.len && (file.ptr[at] & ~1u) != 0) ++bad;
  }
  return bad;
}

u32 registry_repeat(mem::Bytes file, u32 count) {
  for (u32 i = 1; i < count && i < registry_rows; ++i) {
    for (u32 j = 0; j < i; ++j) {
      if (!fits(file.len, 32 + 64 * u64{i}, 16)) return count;
      if (__builtin_memcmp(file.ptr + 32 + 64 * i, file.ptr + 32 + 64 * j, 16) == 0) return i;
    }
  }
  return count;
}

u32 encode_registry(const auth::KeyState* key, const Registry* registry, mem::Slice buffer) {
  if (buffer.len < registry_file_bytes) return 0;
  u8* p = buffer.ptr;
  u32 count = registry->count < registry_rows ? registry->count : registry_rows;
  begin_record(p, registry_file_bytes, registry_magic);
  put16(p + 6, static_cast<u16>(count));
  put32(p + 8, registry->term);
  for (u32 i = 0; i < count; ++i) {
    u8* row = p + 32 + 64 * i;
    __builtin_memcpy(row, registry->ids[i], 16);
    __builtin_memcpy(row + 16, registry->names[i], 32);
    row[48] = registry->flags[i];
  }
  auth::seal(key, mem::Slice{p, registry_file_bytes});
  return registry_file_bytes;
}

// Two rows with one id would both write the same machine folder when the term is carried over, so such a registry
// is refused as damaged; no writer of this program produces one.
u32 decode_registry(const auth::KeyState* key, mem::Bytes bytes, Registry* registry) {
  if (bytes.len != registry_file_bytes || !record_start_ok(bytes, registry_magic)) return 0;
  const u8* p = bytes.ptr;
  u32 count = get16(p + 6);
  if (count > registry_rows || registry_flags_bad(bytes, count) != 0) return 0;
  if (registry_repeat(bytes, count) != count) return 0;
  if (!auth::sealed(key, bytes)) return 0;
  registry_clear(registry, get32(p + 8));
  registry->count = count;
  for (u32 i = 0; i < count; ++i) {
    const u8* row = p + 32 + 64 * i;
    __builtin_memcpy(registry->ids[i], row, 16);
    __builtin_memcpy(registry->names[i], row + 16, 32);
    registry->flags[i] = row[48];
  }
  return 1;
}

u32 encode_inventory_file(const auth::KeyState* key, u32 term, const proto::Inventory* inventory, mem::Slice buffer) {
  if (buffer.len < inventory_file_bytes) return 0;
  u8* p = buffer.ptr;
  begin_record(p, inventory_file_bytes, inventory_magic);
  put32(p + 8, term);
  put32(p + 12, inventory_frame_bytes);
  if (proto::encode_inventory(inventory, mem::Slice{p + 32, inventory_frame_bytes}) != inventory_frame_bytes) {
    __builtin_memset(p, 0, inventory_file_bytes);
    return 0;
  }
  auth::seal(key, mem::Slice{p, inventory_file_bytes});
  return inventory_file_bytes;
}

bool decode_inventory_file(const auth::KeyState* key, mem::Bytes bytes, proto::Inventory* inventory) {
  if (bytes.len != inventory_file_bytes || !record_start_ok(bytes, inventory_magic)) return false;
  if (get32(bytes.ptr + 12) != inventory_frame_bytes || !auth::sealed(key, bytes)) return false;
  return proto::decode_inventory(mem::Bytes(bytes.ptr + 32, inventory_frame_bytes), inventory) == 0;
}

void term_name(u32 term, u8 (&out)[8]) {
  u8 be[4] = {static_cast<u8>(term >> 24), static_cast<u8>(term >> 16), static_cast<u8>(term >> 8),
              static_cast<u8>(term)};
  hex_of(be, 4, out);
}

void id_name(const u8* id16, u8 (&out)[32]) { hex_of(id16, 16, out); }

u32 term_of_name(mem::Bytes text) {
  if (text.len != 8) return 0;
  u32 term = 0;
  for (u32 i = 0; i < 8; ++i) {
    u32 d = digit_of(text.ptr[i]);
    if (d > 15) return 0;
    term = term << 4 | d;
  }
  return term;
}

void path_term(Path* path, u32 term) {
  u8 name[8];
  term_name(term, name);
  path_join(path, mem::Bytes(name, 8));
}

void path_id(Path* path, const u8* id16) {
  u8 name[32];
  id_name(id16, name);
  path_join(path, mem::Bytes(name, 32));
}

u32 next_claim(u32 term) { return term == 0xFFFFFFFFu ? 0 : term + 1; }

u32 lease_action(bool valid, u32 lease_term, bool same_machine, u32 own_term) {
  if (!valid) return 0;
  if (own_term < lease_term) return 1;
  if (own_term == lease_term && !same_machine) return 2;
  return 0;
}

u32 newer_complete(u32 best, u32 candidate, bool registry_whole, u32 limit) {
  return best < candidate && registry_whole && candidate < limit ? candidate : best;
}

// In 64 bits: a second's worth times 2^24 does not fit 32.
u64 budget(u64 budget, u64 elapsed_ms) {
  u64 gained = (elapsed_ms < 1000 ? elapsed_ms : 1000) * share_rate / 1000;
  u64 sum = budget > share_rate ? share_rate : budget + gained;
  return sum < share_rate ? sum : share_rate;
}

u64 chunk_len(u64 offset, u64 size, u64 budget) {
  u64 rest = offset >= size ? 0 : size - offset;
  u64 n = rest < 65536 ? rest : 65536;
  return n < budget ? n : budget;
}

u64 copy_len(u64 offset, u64 size, u64 budget, u32 record_bytes) {
  u64 n = chunk_len(offset, size, budget);
  if (offset == 0) return n >= head_bytes ? head_bytes : 0;
  u64 unit = record_bytes > 1 ? record_bytes : 1;
  return n - n % unit;
}

u32 latest_time(u32 slot) { return slot > 0xFFFFFFFFu - 86400 ? 0xFFFFFFFFu : slot + 86400; }

u32 wrap_top(u32 index, u32 first, u32 capacity) {
  return u64{capacity} == u64{index} + 1 && first < capacity ? first - 1 : index;
}

u32 run_after(u32 index, u32 run_start, bool reset, bool continues) {
  if (reset) return run_start == 0 ? 1 : 0xFFFFFFFFu;
  return run_start == index && continues ? run_start + 1 : index;
}

bool flags_ok(u32 share_flags) {
  return (share_flags & 0x30) == 0x30 && (share_flags & 0x20000) != 0 && (share_flags & 0x4000) == 0;
}

// Counter deltas times microseconds can pass 64 bits before the division brings them back.
u64 scaled_base(u64 a, u64 b, u64 c) {
  unsigned __int128 r = static_cast<unsigned __int128>(a) * (c > 1 ? c : 1) / (b > 1 ? b : 1);
  return r > ~u64{0} ? ~u64{0} : static_cast<u64>(r);
}

u64 scaled_result(u64 a, u64 b) { return a > b ? a - b : 0; }

u32 result_verdict(u64 first_count, u64 second_count, u64 bytes_written) {
  // count >= k x written is tested as count / k >= written, which is the same for whole numbers and cannot wrap.
  if (second_count / 8 >= bytes_written) return verdict_inconclusive;
  if (first_count / 24 >= bytes_written) return verdict_pass;
  if (first_count / 8 < bytes_written) return verdict_fail;
  return verdict_inconclusive;
}

u32 verdict(bool network_path, bool flags_read, u32 flags, u32 first, u32 second) {
  if (!network_path) return verdict_not_share;
  if (!flags_read || !flags_ok(flags) || first == verdict_fail || second == verdict_fail) return verdict_fail;
  if (first == verdict_inconclusive || second == verdict_inconclusive) return verdict_inconclusive;
  if (first == verdict_pass && second == verdict_pass) return verdict_pass;
  return verdict_fail;
}

u32 unc_server_end(mem::Bytes text) {
  if (text.len <= 2 || text.ptr[0] != '\\' || text.ptr[1] != '\\') return 0;
  u64 end = backslash_from(text, 2);
  return end < text.len && end >= 3 ? static_cast<u32>(end) : 0;
}

u32 unc_share_end(mem::Bytes text) {
  u64 s = unc_server_end(text);
  if (s == 0) return 0;
  u64 end = backslash_from(text, s + 1);
  return end > s + 1 ? static_cast<u32>(end) : 0;
}

}  // namespace store
