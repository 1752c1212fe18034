#include "sampling/model.h"

#include "platform/sysrec.h"

namespace model {
namespace {

constexpr u32 hash_mask = hash_size - 1;

bool bit(const u64* set, u32 i) { return (set[i / 64] >> (i % 64)) & 1; }
void set_bit(u64* set, u32 i) { set[i / 64] |= 1ull << (i % 64); }
void clear_bit(u64* set, u32 i) { set[i / 64] &= ~(1ull << (i % 64)); }
void put_bit(u64* set, u32 i, bool on) { on ? set_bit(set, i) : clear_bit(set, i); }

u32 entry_pid(u64 entry) { return static_cast<u32>(entry); }
u32 entry_row(u64 entry) { return static_cast<u32>(entry >> 32) - 1; }
u64 entry_make(u32 pid, u32 row) { return pid | (static_cast<u64>(row) + 1) << 32; }

// The five row bitsets, which move with their rows.
u64* row_set(ProcTable* t, u32 k) {
  u64* sets[5] = {t->seen, t->fresh, t->gpu_present, t->critical, t->clipped};
  return sets[k];
}

void zero_values(ProcTable* t, u32 r) {
  t->prev_cpu[r] = t->prev_read[r] = t->prev_written[r] = 0;
  t->cpu[r] = t->gpu[r] = t->gpu_memory[r] = t->thread_count[r] = t->tcp[r] = 0;
  t->working_set[r] = t->private_bytes[r] = t->read_rate[r] = t->write_rate[r] = t->handles[r] = 0;
}

void zero_row(ProcTable* t, u32 r) {
  zero_values(t, r);
  t->pid[r] = t->parent[r] = t->start_key[r] = 0;
  t->slot[r] = 0;
}

void copy_row(ProcTable* t, u32 to, u32 from) {
  t->pid[to] = t->pid[from];
  t->parent[to] = t->parent[from];
  t->start_key[to] = t->start_key[from];
  t->prev_cpu[to] = t->prev_cpu[from];
  t->prev_read[to] = t->prev_read[from];
  t->prev_written[to] = t->prev_written[from];
  t->cpu[to] = t->cpu[from];
  t->gpu[to] = t->gpu[from];
  t->working_set[to] = t->working_set[from];
  t->private_bytes[to] = t->private_bytes[from];
  t->read_rate[to] = t->read_rate[from];
  t->write_rate[to] = t->write_rate[from];
  t->gpu_memory[to] = t->gpu_memory[from];
  t->thread_count[to] = t->thread_count[from];
  t->tcp[to] = t->tcp[from];
  t->handles[to] = t->handles[from];
  t->slot[to] = t->slot[from];
}

u32 live_count(const ProcTable* t) { return t->count < rows ? t->count : rows; }

}  // namespace

// -- Handles.

u64 handle_make(u32 slot, u32 generation) { return slot | static_cast<u64>(generation) << 16; }
u32 handle_index(u64 handle) { return static_cast<u32>(handle & 0xFFFF); }
u64 handle_gen(u64 handle) { return handle >> 16; }

bool handle_ok(const ProcTable* t, u64 handle) {
  u32 slot = handle_index(handle);
  return slot < rows && handle_gen(handle) == t->generation[slot] && bit(t->in_use, slot);
}

// -- Pid hash.

u32 hash_slot(u32 pid) { return (pid * 0x9E3779B1u) >> 21; }
u32 slot_next(u32 index) { return (index + 1) & hash_mask; }

u32 hash_probe(const ProcTable* t, u32 pid) {
  u32 i = hash_slot(pid);
  for (u32 n = 0; n < hash_size; ++n, i = slot_next(i)) {
    u64 e = t->hash[i];
    // Emptiness is the whole entry being 0: pid 0 has a zero low half but a non-zero row part.
    if (e == 0 || entry_pid(e) == pid) return i;
  }
  return hash_size;
}

bool hash_put(ProcTable* t, u32 pid, u32 row) {
  u32 i = hash_probe(t, pid);
  if (i == hash_size) return false;
  t->hash[i] = entry_make(pid, row);
  return true;
}

bool must_move(u32 home, u32 index, u32 hole) {
  return ((index - home) & hash_mask) >= ((index - hole) & hash_mask);
}

void hash_remove(ProcTable* t, u32 pid) {
  u32 hole = hash_probe(t, pid);
  if (hole == hash_size || t->hash[hole] == 0) return;
  u32 j = slot_next(hole);
  for (u32 n = 0; n < hash_size && t->hash[j] != 0; ++n, j = slot_next(j)) {
    if (must_move(hash_slot(entry_pid(t->hash[j])), j, hole)) {
      t->hash[hole] = t->hash[j];
      hole = j;
    }
  }
  t->hash[hole] = 0;
}

// -- Names.

u32 tail_bytes(u64 length) {
  u64 kept = length < name_max ? length : name_max;
  return kept > short_name ? static_cast<u32>(kept - short_name) : 0;
}

void name_drop(ProcTable* t, u32 slot) {
  u32 long_no = t->long_of[slot];
  if (long_no != 0 && long_no <= long_slots) t->long_in_use &= ~(1ull << (long_no - 1));
  t->long_of[slot] = 0;
  clear_bit(t->name_cut, slot);
}

void name_set(ProcTable* t, u32 slot, mem::Bytes name) {
  name_drop(t, slot);
  u8* short_part = t->names[slot];
  __builtin_memset(short_part, 0, short_name);
  u64 first = name.len < short_name ? name.len : short_name;
  if (first) __builtin_memcpy(short_part, name.ptr, first);
  bool cut = name.len > name_max;
  u32 tail = tail_bytes(name.len);
  if (tail != 0) {
    if (t->long_in_use == ~0ull) {
      cut = true;
    } else {
      u32 k = static_cast<u32>(__builtin_ctzll(~t->long_in_use));
      t->long_in_use |= 1ull << k;
      t->long_of[slot] = static_cast<u8>(k + 1);
      t->tail_len[k] = static_cast<u8>(tail);
      __builtin_memset(t->tails[k], 0, tail_max);
      __builtin_memcpy(t->tails[k], name.ptr + short_name, tail);
    }
  }
  put_bit(t->name_cut, slot, cut);
}

u64 name_end(const u8* text, u64 bound) {
  u64 n = 0;
  while (n < bound && text[n] != 0) ++n;
  return n;
}

mem::Bytes proc_name(const ProcTable* t, u32 row) {
  if (row >= live_count(t) || t->slot[row] >= rows) return mem::Bytes();
  const u8* n = t->names[t->slot[row]];
  return mem::Bytes(n, name_end(n, short_name));
}

u64 proc_full_name(const ProcTable* t, u32 row, mem::Slice out) {
  if (row >= live_count(t) || t->slot[row] >= rows) return 0;
  u32 slot = t->slot[row];
  u32 long_no = t->long_of[slot];
  bool has_tail = long_no != 0 && long_no <= long_slots;
  // With a tail the short part is all 32 bytes; without one it ends at its first zero.
  u64 first = has_tail ? short_name : name_end(t->names[slot], short_name);
  u64 tail = has_tail ? t->tail_len[long_no - 1] : 0;
  if (tail > tail_max) tail = tail_max;
  mem::copy(out, mem::Bytes(t->names[slot], first));
  if (out.len <= first) return out.len;
  mem::copy(mem::Slice{out.ptr + first, out.len - first}, mem::Bytes(t->tails[long_no - 1], tail));
  u64 total = first + tail;
  return total < out.len ? total : out.len;
}

bool proc_name_cut(const ProcTable* t, u32 row) {
  return row < live_count(t) && t->slot[row] < rows && bit(t->name_cut, t->slot[row]);
}

bool disk_unreported(const ProcTable* t, u32 row) {
  return row < live_count(t) && t->prev_read[row] == sysrec::io_unreported;
}

// -- Generations.

u32 next_generation(u32 generation) { return generation == 0xFFFFFFFFu ? generation : generation + 1; }
bool reusable(u32 generation) { return generation < 0xFFFFFFFFu; }

// -- Rows.

void table_init(ProcTable* t) {
  __builtin_memset(t, 0, sizeof *t);
  for (u32 i = 0; i < rows; ++i) t->free_ring[i] = static_cast<u16>(i);
  t->free_count = rows;
}

u32 proc_find_row(const ProcTable* t, u32 pid) {
  u32 i = hash_probe(t, pid);
  if (i == hash_size || t->hash[i] == 0) return no_row;
  u32 row = entry_row(t->hash[i]);
  return row < live_count(t) ? row : no_row;
}

u64 proc_find(const ProcTable* t, u32 pid) {
  u32 row = proc_find_row(t, pid);
  if (row == no_row) return no_handle;
  u32 slot = t->slot[row];
  return slot < rows ? handle_make(slot, t->generation[slot]) : no_handle;
}

u32 proc_row(const ProcTable* t, u64 handle) {
  if (!handle_ok(t, handle)) return no_row;
  u32 row = t->row_of[handle_index(handle)];
  return row < live_count(t) ? row : no_row;
}

u64 proc_add(ProcTable* t, u32 pid, u32 parent, u32 start_key, mem::Bytes name) {
  if (t->free_count == 0 || t->count >= rows) return no_handle;
  u32 at = hash_probe(t, pid);
  if (at == hash_size || t->hash[at] != 0) return no_handle;
  u32 slot = t->free_ring[t->take_pos % rows];
  if (slot >= rows) return no_handle;
  t->take_pos = (t->take_pos + 1) % rows;
  --t->free_count;
  u32 row = t->count++;
  zero_values(t, row);
  t->pid[row] = pid;
  t->parent[row] = parent;
  t->start_key[row] = start_key;
  t->slot[row] = static_cast<u16>(slot);
  t->row_of[slot] = static_cast<u16>(row);
  set_bit(t->in_use, slot);
  set_bit(t->seen, row);
  set_bit(t->fresh, row);
  clear_bit(t->gpu_present, row);
  clear_bit(t->critical, row);
  clear_bit(t->clipped, row);
  name_set(t, slot, name);
  t->hash[at] = entry_make(pid, row);
  return handle_make(slot, t->generation[slot]);
}

void remove_row(ProcTable* t, u32 row) {
  u32 count = live_count(t);
  if (row >= count) return;
  u32 last = count - 1;
  u32 slot = t->slot[row];
  hash_remove(t, t->pid[row]);
  if (row != last) {
    copy_row(t, row, last);
    t->row_of[t->slot[row] % rows] = static_cast<u16>(row);
    hash_put(t, t->pid[row], row);
  }
  for (u32 k = 0; k < 5; ++k) {
    u64* set = row_set(t, k);
    put_bit(set, row, bit(set, last));
    clear_bit(set, last);
  }
  zero_row(t, last);
  t->count = last;
  if (slot >= rows) return;
  clear_bit(t->in_use, slot);
  name_drop(t, slot);
  t->generation[slot] = next_generation(t->generation[slot]);
  if (reusable(t->generation[slot])) {
    t->free_ring[t->return_pos % rows] = static_cast<u16>(slot);
    t->return_pos = (t->return_pos + 1) % rows;
    ++t->free_count;
  } else {
    ++t->retired;
  }
}

void proc_keep(ProcTable* t, u32 pid, u32 start_key) {
  u32 row = proc_find_row(t, pid);
  if (row != no_row && t->start_key[row] == start_key) set_bit(t->seen, row);
}

u32 proc_sweep(ProcTable* t) {
  u32 count = live_count(t);
  u64 gone[words];
  for (u32 w = 0; w < words; ++w) {
    u32 below = count > w * 64 ? count - w * 64 : 0;
    u64 live = below >= 64 ? ~0ull : (1ull << below) - 1;
    gone[w] = live & ~t->seen[w];
  }
  // Highest first, so that the last row moving into a removed one's place is always one that stays.
  u32 removed = 0;
  for (u32 w = words; w-- > 0;) {
    while (gone[w] != 0) {
      u32 b = 63 - static_cast<u32>(__builtin_clzll(gone[w]));
      gone[w] &= ~(1ull << b);
      remove_row(t, w * 64 + b);
      ++removed;
    }
  }
  for (u64& w : t->seen) w = 0;
  return removed;
}

u64 proc_upsert(ProcTable* t, u32 pid, u32 parent, u32 start_key, mem::Bytes name) {
  u32 row = proc_find_row(t, pid);
  if (row != no_row && t->start_key[row] == start_key) {
    set_bit(t->seen, row);
    u32 slot = t->slot[row];
    return slot < rows ? handle_make(slot, t->generation[slot]) : no_handle;
  }
  if (row != no_row) remove_row(t, row);
  return proc_add(t, pid, parent, start_key, name);
}

}  // namespace model
