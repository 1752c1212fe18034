#pragma once
// Which processes were the heaviest. Both keepers here rest on one small idea: a short list of (process, value)
// entries kept sorted by value, highest first, in which a process only ever rises. A process is its name hash
// together with its process id.
// - The host's book keeps, per member machine, a top row of the five heaviest processes by processor and by memory
//   for every ten-second slot, rolled up by process into five-minute and hourly rows, plus the names still to write.
// - The window's ring keeps 60 slots (one per ten rows of the live sample ring) with the three heaviest processes of
//   six measures each, and a pool of 64 names for the tooltips.
#include "base/mem.h"

namespace model {
struct ProcTable;
}

namespace ptop {

constexpr u32 top = 5;
constexpr u32 row_bytes = 112;
constexpr u32 name_bytes = 32;

// FNV-1a 32 over at most 32 bytes up to the first zero; 0 and the bare offset basis (the empty name) become 1, so 0
// always means an empty entry.
u32 name_hash(mem::Bytes name);

struct List {
  u32 hash[top];  // 0 = empty
  u32 pid[top];
  u16 value[top];
};

// One slot's top row: list A by processor load, list B by memory (rate codes of the working set in MiB).
struct Row {
  u32 slot;
  u32 term;
  List a;
  List b;
};

void clear(Row* row, u32 slot);
// value > 0 and (the last entry is empty or below the value).
bool enters(u32 last_hash, u16 last_value, u16 value);
// Offers a process to a list of five; true when the list changed. A value never goes down.
bool offer(List* list, u32 hash, u32 pid, u16 value);
bool wants(const Row* row, u16 cpu, u16 memory_code);
// Offers a process to both lists; a process id of 0 never enters.
bool offer_row(Row* row, u32 hash, u32 pid, u16 cpu, u16 memory_code);
// Offers every entry of the source's lists to the target's; true when either list changed.
bool merge(Row* target, const Row* source);
// The 112-byte stored form at a byte offset; 0 when it does not fit (nothing written or read).
u32 encode(const Row* row, mem::Slice buffer, u64 offset);
u32 decode(mem::Bytes buffer, u64 offset, Row* row);
// The memory value of a code, in MiB.
u32 mib_of(u16 code);

// The host's book.
constexpr u32 machines = 64;
constexpr u32 known_slots = 128;
constexpr u32 known_limit = 96;
constexpr u32 pending_max = 8;
constexpr u32 observe_rows = 256;

struct Book {
  u64 open;            // a ten-second row is open
  u64 closed_pending;  // a closed row waits for the writer
  u64 upper_changed;   // an upper row changed since it was written
  u64 tier_open[2];
  u64 tier_started[2];  // a new slot began
  u64 tier_unwritten[2];  // the row is not what the share holds: a new slot, or a merge changed it since its write
  i32 overwritten;      // closed rows that replaced one not yet written
  i32 name_overflow;    // names not noted because 8 were already pending
  u32 slot_number[machines];
  Row open_row[machines];
  Row closed[machines];
  Row tier_row[2][machines];  // 300 s and 3,600 s
  i32 resets;                 // known-name tables emptied
  u8 known_count[machines];
  u32 known[machines][known_slots];  // open addressing, 0 = empty
  u8 pending_count[machines];
  u8 pending[machines][pending_max][name_bytes];
};

void book_init(Book* book);
// Forgets a machine (a member left): its bits, known names and pending names.
void row_reset(Book* book, u32 index);
// Takes a member's process rows at wall time now: a u32 row count at byte 0 and rows of 76 bytes from byte 20 (process
// id at 0, processor value u16 at 12, memory in 4 KiB units u32 at 16, name at 44); at most 256 rows are looked at,
// and never beyond the bytes given.
void observe(Book* book, u32 index, mem::Bytes rows, u32 now);
// Notes a name to write unless it is known; false when it was dropped because 8 are already pending.
bool intern(Book* book, u32 index, u32 hash, mem::Bytes name);
void close(Book* book, u32 index);
void close_due(Book* book, u32 now);
void close_all(Book* book);
void tier_add(Book* book, u32 index);
void move_row(Book* book, u32 to, u32 from);
// Drops the first n pending names once the writer stored them.
void names_written(Book* book, u32 index, u32 n);

// The window's ring.
constexpr u32 ring_slots = 60;
constexpr u32 ring_measures = 6;
constexpr u32 ring_top = 3;
constexpr u32 pool_size = 64;

struct PoolEntry {
  u32 hash;
  u32 last_use;  // step + 1
  u8 name[name_bytes];
};

struct Ring {
  u64 filled;  // bits 0-59
  u32 step[ring_slots];
  u32 hash[ring_slots][ring_measures][ring_top];
  u32 pid[ring_slots][ring_measures][ring_top];
  u16 value[ring_slots][ring_measures][ring_top];
  PoolEntry pool[pool_size];
};

void ring_init(Ring* ring);
// Takes a process table into the slot of step (the machine's count of samples pushed / 10).
void ring_take(Ring* ring, u32 step, const model::ProcTable* table);
// Places a process in a list of three; a new one replaces the third entry. True when the list changed.
bool ring_place(u32* hash, u32* pid, u16* value, u32 h, u32 id, u16 v);
// The largest raw value that still codes to code: a value passes only when its code is higher.
u32 code_floor(u16 code);
void pool_add(Ring* ring, u32 hash, mem::Bytes name, u32 step);
// step mod 60 when that slot holds the step, else -1.
i32 ring_find(const Ring* ring, u32 step);
u32 ring_filled(const Ring* ring, u32 slot, u32 measure);
// The pool's name of a nonzero hash up to its first zero byte; empty when unknown.
mem::Bytes ring_name(const Ring* ring, u32 hash);

}  // namespace ptop
