#include "history/ptop.h"

#include "base/bits.h"
#include "history/hstore.h"
#include "history/store.h"
#include "sampling/model.h"

namespace ptop {
namespace {

constexpr u32 fnv_basis = 0x811C9DC5u;
constexpr u32 fnv_prime = 16777619u;
constexpr u32 tier_seconds[2] = {300, 3600};

// The member's process rows as the host keeps them.
constexpr u32 rows_start = 20;
constexpr u32 row_stride = 76;
constexpr u32 row_pid = 0, row_cpu = 12, row_memory = 16, row_name = 44;

i32 bump(i32 n) { return n == 0x7FFFFFFF ? n : n + 1; }
bool has(u64 mask, u32 i) { return bits::word_test(mask, i) != 0; }

// Moves the entry at position k up while the entry above has a lower value (an equal one stays above).
void rise(u32* hash, u32* pid, u16* value, u32 k) {
  for (; k > 0 && value[k - 1] < value[k]; --k) {
    u32 h = hash[k - 1], p = pid[k - 1];
    u16 v = value[k - 1];
    hash[k - 1] = hash[k], pid[k - 1] = pid[k], value[k - 1] = value[k];
    hash[k] = h, pid[k] = p, value[k] = v;
  }
}

// Offers a process to a sorted list of n: an entry of the same process rises to the value, else a new one takes the
// last place when allowed. True when the list changed; a value never goes down.
bool place(u32* hash, u32* pid, u16* value, u32 n, u32 h, u32 id, u16 v, bool may_enter) {
  u32 k = 0;
  while (k < n && !(hash[k] == h && pid[k] == id)) ++k;
  if (k == n) {
    if (!may_enter) return false;
    k = n - 1;
    hash[k] = h;
    pid[k] = id;
    value[k] = 0;
  }
  if (value[k] >= v) return false;
  value[k] = v;
  rise(hash, pid, value, k);
  return true;
}

void put_list(u8* p, u32 hashes_at, u32 values_at, const List& list) {
  for (u32 k = 0; k < top; ++k) {
    store::put32(p + hashes_at + 4 * k, list.hash[k]);
    store::put32(p + hashes_at + 20 + 4 * k, list.pid[k]);
    store::put16(p + values_at + 2 * k, list.value[k]);
  }
}

void get_list(const u8* p, u32 hashes_at, u32 values_at, List* list) {
  for (u32 k = 0; k < top; ++k) {
    list->hash[k] = store::get32(p + hashes_at + 4 * k);
    list->pid[k] = store::get32(p + hashes_at + 20 + 4 * k);
    list->value[k] = store::get16(p + values_at + 2 * k);
  }
}

// Slot of a hash in a known-name table: where it is, or the first empty place from hash mod 128 on.
u32 known_probe(const u32* table, u32 hash) {
  u32 at = hash % known_slots;
  for (u32 n = 0; n < known_slots; ++n, at = (at + 1) % known_slots)
    if (table[at] == hash || table[at] == 0) return at;
  return known_slots;
}

// The six values of table row r, in the ring's units.
void ring_values(const model::ProcTable* t, u32 r, u32 (&v)[ring_measures]) {
  u64 io = u64{t->read_rate[r]} + t->write_rate[r];
  v[0] = t->cpu[r];
  v[1] = t->working_set[r] >> 8;
  v[2] = bits::is_set(t->critical, r) ? 0 : static_cast<u32>(io < 0xFFFFFFFFu ? io : 0xFFFFFFFFu);
  v[3] = t->gpu[r];
  v[4] = t->gpu_memory[r];
  v[5] = t->tcp[r];
}

bool coded(u32 measure) { return measure == 1 || measure == 2; }

void ring_floors(const Ring* ring, u32 slot, u32 (&floor)[ring_measures]) {
  for (u32 m = 0; m < ring_measures; ++m) {
    u16 third = ring->value[slot][m][ring_top - 1];
    floor[m] = coded(m) ? code_floor(third) : third;
  }
}

}  // namespace

u32 name_hash(mem::Bytes name) {
  u32 h = fnv_basis;
  for (u64 i = 0; i < name.len && i < name_bytes && name.ptr[i] != 0; ++i) h = (h ^ name.ptr[i]) * fnv_prime;
  return h == fnv_basis || h == 0 ? 1 : h;
}

void clear(Row* row, u32 slot) {
  __builtin_memset(row, 0, sizeof *row);
  row->slot = slot;
}

bool enters(u32 last_hash, u16 last_value, u16 value) { return value > 0 && (last_hash == 0 || last_value < value); }

bool offer(List* list, u32 hash, u32 pid, u16 value) {
  if (hash == 0) return false;
  bool may_enter = enters(list->hash[top - 1], list->value[top - 1], value);
  return place(list->hash, list->pid, list->value, top, hash, pid, value, may_enter);
}

bool wants(const Row* row, u16 cpu, u16 memory_code) {
  return enters(row->a.hash[top - 1], row->a.value[top - 1], cpu) ||
         enters(row->b.hash[top - 1], row->b.value[top - 1], memory_code);
}

bool offer_row(Row* row, u32 hash, u32 pid, u16 cpu, u16 memory_code) {
  if (pid == 0) return false;
  bool a = offer(&row->a, hash, pid, cpu);
  bool b = offer(&row->b, hash, pid, memory_code);
  return a || b;
}

bool merge(Row* target, const Row* source) {
  bool changed = false;
  for (u32 k = 0; k < top; ++k) {
    changed |= offer(&target->a, source->a.hash[k], source->a.pid[k], source->a.value[k]);
    changed |= offer(&target->b, source->b.hash[k], source->b.pid[k], source->b.value[k]);
  }
  return changed;
}

u32 encode(const Row* row, mem::Slice buffer, u64 offset) {
  if (!store::fits(buffer.len, offset, row_bytes)) return 0;
  u8* p = buffer.ptr + offset;
  store::put32(p, row->slot);
  store::put32(p + 4, row->term);
  put_list(p, 8, 88, row->a);
  put_list(p, 48, 98, row->b);
  store::put32(p + 108, 0);
  return row_bytes;
}

u32 decode(mem::Bytes buffer, u64 offset, Row* row) {
  if (!store::fits(buffer.len, offset, row_bytes)) return 0;
  const u8* p = buffer.ptr + offset;
  row->slot = store::get32(p);
  row->term = store::get32(p + 4);
  get_list(p, 8, 88, &row->a);
  get_list(p, 48, 98, &row->b);
  return 1;
}

u32 mib_of(u16 code) { return hstore::rate_of(code); }

void book_init(Book* book) { __builtin_memset(book, 0, sizeof *book); }

void row_reset(Book* book, u32 i) {
  if (i >= machines) return;
  u64* masks[] = {&book->open,           &book->closed_pending,    &book->upper_changed,
                  &book->tier_open[0],    &book->tier_open[1],      &book->tier_started[0],
                  &book->tier_started[1], &book->tier_unwritten[0], &book->tier_unwritten[1]};
  for (u64* mask : masks) *mask = bits::word_clear(*mask, i);
  book->known_count[i] = 0;
  __builtin_memset(book->known[i], 0, sizeof book->known[i]);
  book->pending_count[i] = 0;
  __builtin_memset(book->pending[i], 0, sizeof book->pending[i]);
}

void observe(Book* book, u32 i, mem::Bytes rows, u32 now) {
  if (i >= machines) return;
  u32 slot_number = now / 10;
  if (has(book->open, i) && book->slot_number[i] != slot_number) close(book, i);
  if (!has(book->open, i)) {
    book->slot_number[i] = slot_number;
    clear(&book->open_row[i], slot_number * 10);
    book->open = bits::word_set(book->open, i);
  }
  if (rows.len < 4) return;
  u32 count = store::get32(rows.ptr);
  Row* row = &book->open_row[i];
  for (u32 r = 0; r < count && r < observe_rows; ++r) {
    u64 at = rows_start + u64{r} * row_stride;
    if (!store::fits(rows.len, at, row_stride)) break;
    const u8* p = rows.ptr + at;
    u16 cpu = store::get16(p + row_cpu);
    u16 memory = hstore::rate_code(store::get32(p + row_memory) >> 8);
    if (!wants(row, cpu, memory)) continue;
    mem::Bytes name(p + row_name, name_bytes);
    u32 hash = name_hash(name);
    if (offer_row(row, hash, store::get32(p + row_pid), cpu, memory)) intern(book, i, hash, name);
  }
}

bool intern(Book* book, u32 i, u32 hash, mem::Bytes name) {
  if (i >= machines) return false;
  u32* table = book->known[i];
  u32 at = known_probe(table, hash);
  if (at < known_slots && table[at] == hash) return true;
  if (book->pending_count[i] >= pending_max) {
    book->name_overflow = bump(book->name_overflow);
    return false;
  }
  u8* slot = book->pending[i][book->pending_count[i]++];
  __builtin_memset(slot, 0, name_bytes);
  __builtin_memcpy(slot, name.ptr, name.len < name_bytes ? name.len : name_bytes);
  if (book->known_count[i] >= known_limit) {
    __builtin_memset(table, 0, sizeof book->known[i]);
    book->known_count[i] = 0;
    book->resets = bump(book->resets);
  }
  at = known_probe(table, hash);
  if (at < known_slots) {
    table[at] = hash;
    ++book->known_count[i];
  }
  return true;
}

void close(Book* book, u32 i) {
  if (i >= machines || !has(book->open, i)) return;
  book->closed[i] = book->open_row[i];
  book->closed[i].slot = book->slot_number[i] * 10;
  tier_add(book, i);
  if (has(book->closed_pending, i)) book->overwritten = bump(book->overwritten);
  book->closed_pending = bits::word_set(book->closed_pending, i);
  book->open = bits::word_clear(book->open, i);
}

void close_due(Book* book, u32 now) {
  u32 slot_number = now / 10;
  for (u64 m = book->open; m != 0; m &= m - 1) {
    u32 i = bits::word_first(m);
    if (book->slot_number[i] < slot_number) close(book, i);
  }
}

void close_all(Book* book) {
  for (u64 m = book->open; m != 0; m &= m - 1) close(book, bits::word_first(m));
}

void tier_add(Book* book, u32 i) {
  if (i >= machines) return;
  const Row* closed = &book->closed[i];
  for (u32 t = 0; t < 2; ++t) {
    u32 n = tier_seconds[t];
    Row* row = &book->tier_row[t][i];
    if (!has(book->tier_open[t], i) || row->slot / n != closed->slot / n) {
      clear(row, closed->slot - closed->slot % n);
      book->tier_open[t] = bits::word_set(book->tier_open[t], i);
      book->tier_started[t] = bits::word_set(book->tier_started[t], i);
      book->tier_unwritten[t] = bits::word_set(book->tier_unwritten[t], i);
    }
    if (merge(row, closed)) book->tier_unwritten[t] = bits::word_set(book->tier_unwritten[t], i);
  }
  book->upper_changed = bits::word_set(book->upper_changed, i);
}

void move_row(Book* book, u32 to, u32 from) {
  if (to >= machines || from >= machines || to == from) return;
  u64* masks[] = {&book->open,           &book->closed_pending,    &book->upper_changed,
                  &book->tier_open[0],    &book->tier_open[1],      &book->tier_started[0],
                  &book->tier_started[1], &book->tier_unwritten[0], &book->tier_unwritten[1]};
  for (u64* mask : masks) *mask = hstore::swap_bit(*mask, to, from);
  book->slot_number[to] = book->slot_number[from];
  book->open_row[to] = book->open_row[from];
  book->closed[to] = book->closed[from];
  for (u32 t = 0; t < 2; ++t) book->tier_row[t][to] = book->tier_row[t][from];
  book->known_count[to] = book->known_count[from];
  __builtin_memcpy(book->known[to], book->known[from], sizeof book->known[to]);
  book->pending_count[to] = book->pending_count[from];
  __builtin_memcpy(book->pending[to], book->pending[from], sizeof book->pending[to]);
  book->slot_number[from] = 0;
  clear(&book->open_row[from], 0);
  clear(&book->closed[from], 0);
  for (u32 t = 0; t < 2; ++t) clear(&book->tier_row[t][from], 0);
  row_reset(book, from);
}

void names_written(Book* book, u32 i, u32 n) {
  if (i >= machines) return;
  u32 count = book->pending_count[i];
  if (n >= count) n = count;
  u32 rest = count - n;
  if (rest != 0) __builtin_memmove(book->pending[i][0], book->pending[i][n], rest * name_bytes);
  __builtin_memset(book->pending[i][rest], 0, n * name_bytes);
  book->pending_count[i] = static_cast<u8>(rest);
}

void ring_init(Ring* ring) { __builtin_memset(ring, 0, sizeof *ring); }

u32 code_floor(u16 code) { return code == 0xFFFF ? 0xFFFFFFFFu : hstore::rate_of(static_cast<u16>(code + 1)) - 1; }

bool ring_place(u32* hash, u32* pid, u16* value, u32 h, u32 id, u16 v) {
  return place(hash, pid, value, ring_top, h, id, v, true);
}

void pool_add(Ring* ring, u32 hash, mem::Bytes name, u32 step) {
  u32 pick = 0;
  for (u32 k = 0; k < pool_size; ++k) {
    if (ring->pool[k].hash == hash) {
      pick = k;
      break;
    }
    if (ring->pool[k].last_use < ring->pool[pick].last_use) pick = k;
  }
  PoolEntry* e = &ring->pool[pick];
  e->last_use = step + 1;
  if (e->hash == hash) return;
  e->hash = hash;
  __builtin_memset(e->name, 0, name_bytes);
  __builtin_memcpy(e->name, name.ptr, name.len < name_bytes ? name.len : name_bytes);
}

void ring_take(Ring* ring, u32 step, const model::ProcTable* t) {
  u32 slot = step % ring_slots;
  if (!has(ring->filled, slot) || ring->step[slot] != step) {
    ring->step[slot] = step;
    ring->filled = bits::word_set(ring->filled, slot);
    __builtin_memset(ring->hash[slot], 0, sizeof ring->hash[slot]);
    __builtin_memset(ring->pid[slot], 0, sizeof ring->pid[slot]);
    __builtin_memset(ring->value[slot], 0, sizeof ring->value[slot]);
  }
  u32 floor[ring_measures];
  ring_floors(ring, slot, floor);
  u32 count = t->count < model::rows ? t->count : model::rows;
  for (u32 r = 0; r < count; ++r) {
    if (t->pid[r] == 0) continue;
    u32 v[ring_measures];
    ring_values(t, r, v);
    u32 passing = 0;
    for (u32 m = 0; m < ring_measures; ++m) passing |= static_cast<u32>(v[m] > floor[m]) << m;
    if (passing == 0) continue;
    mem::Bytes name = model::proc_name(t, r);
    u32 hash = name_hash(name);
    bool changed = false;
    for (u32 m = 0; m < ring_measures; ++m) {
      if ((passing >> m & 1) == 0) continue;
      u16 value = coded(m) ? hstore::rate_code(v[m]) : static_cast<u16>(v[m] < 0xFFFF ? v[m] : 0xFFFF);
      changed |= ring_place(ring->hash[slot][m], ring->pid[slot][m], ring->value[slot][m], hash, t->pid[r], value);
    }
    if (!changed) continue;
    ring_floors(ring, slot, floor);
    pool_add(ring, hash, name, step);
  }
}

i32 ring_find(const Ring* ring, u32 step) {
  u32 slot = step % ring_slots;
  return has(ring->filled, slot) && ring->step[slot] == step ? static_cast<i32>(slot) : -1;
}

u32 ring_filled(const Ring* ring, u32 slot, u32 measure) {
  if (slot >= ring_slots || measure >= ring_measures) return 0;
  u32 n = 0;
  for (u32 k = 0; k < ring_top; ++k) n += ring->hash[slot][measure][k] != 0;
  return n;
}

mem::Bytes ring_name(const Ring* ring, u32 hash) {
  if (hash == 0) return mem::Bytes();
  for (const PoolEntry& e : ring->pool)
    if (e.hash == hash) return mem::Bytes(e.name, model::name_end(e.name, name_bytes));
  return mem::Bytes();
}

}  // namespace ptop
