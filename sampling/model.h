#pragma once
// The process table: up to 1,024 processes as dense rows in column arrays, found by process id through an
// open-addressing hash, and addressed from outside by handles (slot and generation) that survive the reordering of
// rows. It is one flat record without pointers: the collector child copies it whole through its shared feed and the
// cluster link sends rows of it, so its byte layout is fixed and checked below.
#include <stddef.h>

#include "base/mem.h"

namespace model {

constexpr u32 rows = 1024;
constexpr u32 words = rows / 64;
constexpr u32 hash_size = 2048;
constexpr u32 long_slots = 64;
constexpr u32 short_name = 32;
constexpr u32 tail_max = 228;
constexpr u32 name_max = short_name + tail_max;  // 260
constexpr u32 no_row = 0xFFFFFFFFu;
constexpr u64 no_handle = ~0ull;

// Table flags.
enum : u32 {
  flag_truncated = 1,  // more than 1,024 processes, or a row could not be added
  flag_malformed = 2,  // the process list ended on a malformed entry
  flag_stale = 4,      // the last process sample failed; the rows are the previous ones
  flag_tcp_truncated = 8,
  flag_tcp_missing = 16,
};

struct ProcTable {
  u32 count;        // live rows 0 .. count-1, always dense
  u32 free_count;   // slots in the free ring
  u32 take_pos;     // free-ring take position
  u32 return_pos;   // free-ring return position
  u32 retired;      // slots whose generation is exhausted, never handed out again
  u32 processes;    // entries in the last sample, also beyond 1,024
  u32 threads;      // saturating sum
  u32 tcp_total;    // TCP connections in all
  u32 flags;
  u32 reserved;

  // Row columns.
  u32 pid[rows];
  u32 parent[rows];
  u32 start_key[rows];  // seconds after boot of the process's creation; tells a reused pid from the old process
  // Counters of the last rate pass. A previous read or write count of all ones marks a row whose disk I/O was not
  // reported (see disk_unreported); its rates are then 0.
  u64 prev_cpu[rows];
  u64 prev_read[rows];
  u64 prev_written[rows];
  u16 cpu[rows];  // hundredths of a percent of the whole machine
  u16 gpu[rows];  // hundredths of a percent, busiest engine
  u32 working_set[rows];    // 4 KiB units
  u32 private_bytes[rows];  // 4 KiB units
  u32 read_rate[rows];      // KiB/s
  u32 write_rate[rows];     // KiB/s
  u16 gpu_memory[rows];     // 4 MiB units
  u16 thread_count[rows];
  u16 tcp[rows];
  u32 handles[rows];
  u16 slot[rows];  // slot that owns the row

  // Row bitsets, bit r = row r.
  u64 seen[words];
  u64 fresh[words];
  u64 gpu_present[words];
  u64 critical[words];
  u64 clipped[words];

  // Slot arrays.
  u64 in_use[words];
  u16 row_of[rows];
  u32 generation[rows];
  u16 free_ring[rows];
  u64 hash[hash_size];  // pid | (row + 1) << 32; 0 = empty
  u8 names[rows][short_name];
  u64 long_in_use;
  u64 name_cut[words];
  u8 long_of[rows];  // long-name slot + 1, 0 = none
  u8 tail_len[long_slots];
  u8 tails[long_slots][tail_max];
};

static_assert(sizeof(ProcTable) == 143600);
static_assert(offsetof(ProcTable, reserved) == 36 && offsetof(ProcTable, pid) == 40);
static_assert(offsetof(ProcTable, parent) == 4136 && offsetof(ProcTable, start_key) == 8232);
static_assert(offsetof(ProcTable, prev_cpu) == 12328 && offsetof(ProcTable, prev_read) == 20520);
static_assert(offsetof(ProcTable, prev_written) == 28712 && offsetof(ProcTable, cpu) == 36904);
static_assert(offsetof(ProcTable, gpu) == 38952 && offsetof(ProcTable, working_set) == 41000);
static_assert(offsetof(ProcTable, private_bytes) == 45096 && offsetof(ProcTable, read_rate) == 49192);
static_assert(offsetof(ProcTable, write_rate) == 53288 && offsetof(ProcTable, gpu_memory) == 57384);
static_assert(offsetof(ProcTable, thread_count) == 59432 && offsetof(ProcTable, tcp) == 61480);
static_assert(offsetof(ProcTable, handles) == 63528 && offsetof(ProcTable, slot) == 67624);
static_assert(offsetof(ProcTable, seen) == 69672 && offsetof(ProcTable, fresh) == 69800);
static_assert(offsetof(ProcTable, gpu_present) == 69928 && offsetof(ProcTable, critical) == 70056);
static_assert(offsetof(ProcTable, clipped) == 70184 && offsetof(ProcTable, in_use) == 70312);
static_assert(offsetof(ProcTable, row_of) == 70440 && offsetof(ProcTable, generation) == 72488);
static_assert(offsetof(ProcTable, free_ring) == 76584 && offsetof(ProcTable, hash) == 78632);
static_assert(offsetof(ProcTable, names) == 95016 && offsetof(ProcTable, long_in_use) == 127784);
static_assert(offsetof(ProcTable, name_cut) == 127792 && offsetof(ProcTable, long_of) == 127920);
static_assert(offsetof(ProcTable, tail_len) == 128944 && offsetof(ProcTable, tails) == 129008);

// Handles: slot in the low 16 bits, the slot's generation from bit 16 up; all ones is none.
u64 handle_make(u32 slot, u32 generation);
u32 handle_index(u64 handle);
u64 handle_gen(u64 handle);
bool handle_ok(const ProcTable* t, u64 handle);

void table_init(ProcTable* t);
u32 proc_find_row(const ProcTable* t, u32 pid);
u64 proc_find(const ProcTable* t, u32 pid);
u32 proc_row(const ProcTable* t, u64 handle);
// Handle of the row for this process: the existing one when pid and start key match (only marked seen), else the
// old row goes and a fresh one is added; no_handle when the table is full.
u64 proc_upsert(ProcTable* t, u32 pid, u32 parent, u32 start_key, mem::Bytes name);
// Marks the row seen when the pid is present with the same start key.
void proc_keep(ProcTable* t, u32 pid, u32 start_key);
// Removes every live row not seen since the last sweep, clears all seen marks; returns the number removed.
u32 proc_sweep(ProcTable* t);
u64 proc_add(ProcTable* t, u32 pid, u32 parent, u32 start_key, mem::Bytes name);
void remove_row(ProcTable* t, u32 row);

// The row's short name (at most 32 bytes); empty for a row that is not live.
mem::Bytes proc_name(const ProcTable* t, u32 row);
// The short name followed by the long-name tail: at most 260 bytes into out; returns the length.
u64 proc_full_name(const ProcTable* t, u32 row, mem::Slice out);
bool proc_name_cut(const ProcTable* t, u32 row);
// Bytes before the first zero, at most bound.
u64 name_end(const u8* text, u64 bound);
// True when the row's disk I/O was not reported (shown as "not reported", not as 0).
bool disk_unreported(const ProcTable* t, u32 row);

// Pid hash: 2,048 entries, linear probing, backward-shift removal.
u32 hash_slot(u32 pid);
u32 slot_next(u32 index);
// Index of the pid's entry or of the empty entry where it would go; hash_size when neither exists (a table that
// did not come from these functions).
u32 hash_probe(const ProcTable* t, u32 pid);
bool hash_put(ProcTable* t, u32 pid, u32 row);
void hash_remove(ProcTable* t, u32 pid);
bool must_move(u32 home, u32 index, u32 hole);

// Names by slot.
void name_set(ProcTable* t, u32 slot, mem::Bytes name);
u32 tail_bytes(u64 length);
void name_drop(ProcTable* t, u32 slot);

u32 next_generation(u32 generation);
bool reusable(u32 generation);

}  // namespace model
