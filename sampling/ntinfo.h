#pragma once
// Pure readers of the operating system's answers (layouts in platform/sysrec.h): processor times, interface rows,
// counter arrays and their instance names, energy and power meters, battery state, TCP tables and the process
// chain. They take bytes and a length and never call the system, so the collector, the usage passes and the
// snapshot code share them. Every read is little-endian, unaligned and bounded by the given length: a short, cut or
// hostile buffer yields zeros, "none" or a malformed flag, never a read outside it.
#include "base/mem.h"

namespace ntinfo {

constexpr u64 none = ~0ull;  // "no value" of the meter and battery readers

// -- Readers. A field that does not lie wholly inside the bytes reads as 0.
u32 rd32(mem::Bytes b, u64 position);
u64 rd64(mem::Bytes b, u64 position);
// UTF-16 unit i of the string at offset; 0 when offset + 2i + 2 exceeds the length.
u16 unit_at(mem::Bytes b, u64 offset, u64 i);
// A signed value with negatives as 0.
u64 nonneg(i64 x);
// a + (b - a) / 2, with b - a taken as 0 when b < a.
u64 midpoint(u64 a, u64 b);

// -- Processor times (48-byte entries).
constexpr u32 max_cpus = 64;
struct CpuColumns {
  u64 idle[max_cpus];
  u64 kernel[max_cpus];  // includes idle time
  u64 user[max_cpus];
  u64 interrupt[max_cpus];
};
// min(bytes / 48, 64)
u32 cpu_count(u64 bytes);
// Decodes cpu_count entries into the columns; returns that count.
u32 cpu_decode(mem::Bytes b, CpuColumns* out);

// -- Sizes.
// b >> 20 saturated to u32; mib_over: b > 2^52 - 1.
u32 mib_of_bytes(u64 b);
bool mib_over(u64 b);
// MiB of min(pages, 2^48 - 1) x min(page size, 65,535); pages_over the same test as mib_over on that product.
u32 mib_of_pages(u64 pages, u64 page_size);
bool pages_over(u64 pages, u64 page_size);

// -- Interface rows (1,352 bytes each).
constexpr u32 max_nics = 8;
struct Nics {
  u32 count;
  u32 virtual_mask;  // bit i: row i is a tunnel, proprietary virtual or PPP interface without hardware
  u64 luid[max_nics];
  u64 received[max_nics];
  u64 sent[max_nics];
  u32 link_mbps[max_nics];  // receive link speed, Mbit/s
  u8 name[max_nics][32];     // ASCII alias, zero-filled
};
bool nic_pass(u32 type, u8 flags, u32 oper_status, u32 media_state);
bool nic_wanted(mem::Bytes row);
bool nic_tunnel(u32 type);
u32 nic_table_count(mem::Bytes table);
u32 nic_kept(u32 n);
// Decodes min(count, 8, bytes / 1,352) rows; returns that count (also in out->count).
u32 nic_decode(mem::Bytes rows, u32 count, Nics* out);
// Zeroes, in each of min(count, bytes / 1,352) rows, the GUIDs, the description and the physical addresses.
void nic_scrub(mem::Slice rows, u32 count);

// -- Names. ASCII texts as bytes; the "spaces" are 0x20 only.
bool tag_at(mem::Bytes text, u64 position, mem::Bytes tag);
bool ends_with(mem::Bytes text, mem::Bytes suffix);
u64 trim_start(mem::Bytes text);  // index of the first byte that is not a space
u64 trim_end(mem::Bytes text);    // length without the trailing spaces
// Removes every "(R)" and "(TM)" in one left-to-right pass, in place; returns the new length.
u64 strip_tags(u8* text, u64 length);
// Up to 64 UTF-16 units of the name at offset (stopping at a 0 unit) as ASCII: units outside 32..126 become '?',
// tags removed, both ends trimmed; out is zeroed and gets the first min(length, out.len) bytes. Returns the count.
u64 name_ascii(mem::Bytes b, u64 offset, mem::Slice out);
// The number of the leading decimal digits (at most 64 units, saturating at 4,294,967,294); 4,294,967,295 when the
// name does not start with a digit. Disk instances begin with the disk number and then list their drive letters.
constexpr u32 no_key = 0xFFFFFFFFu;
u32 digits_key(mem::Bytes b, u64 offset);
// Bit (letter - 'A') for each letter A..Z (either case) followed by ':' within the first 64 units of the name.
u32 letters_mask(mem::Bytes b, u64 offset);

// -- Counter arrays. `items` is the array as stored (items, then names) and must be bounded by the caller to the
// bytes actually kept (the stored byte count never trusted beyond the slot). `base` is the array's address as its
// producer saw it: a name's offset is its address minus base, and it must lie inside the items bytes.
constexpr u32 max_items = 17;
struct Items {
  u32 count;   // items decoded, at most 17
  u32 listed;  // item count the array claimed (more than 17 means some were dropped)
  u32 status[max_items];
  u32 key[max_items];      // digits_key of the name
  u32 letters[max_items];  // letters_mask of the name
  u32 pad;
  u64 value[max_items];  // negatives as 0
  u8 name[max_items][32];
};
// Formatted 24-byte items; decodes min(count, 17, bytes / 24) items; returns that count.
u32 pdh_decode(mem::Bytes items, u64 base, u32 count, Items* out);
// Energy meter parts by name suffix: "_PKG" 0, "_DRAM" 1, "_PSYS" 3; anything else no part (part 2 never comes
// from a name).
constexpr u32 no_part = 0xFFFFFFFFu;
u32 meter_part(mem::Bytes name);
// Raw 48-byte items, min(count, bytes / 48): each good item with a part adds its first value (negatives as 0,
// saturating) to parts[part] and stores its stamp; returns the mask of parts seen. parts and stamps are zeroed first.
u32 energy_decode(mem::Bytes items, u64 base, u32 count, u64 parts[4], u64 stamps[4]);
// The same items' second values as wrap values: the value at which a counter wraps back to 0, 0 when unknown. A
// part whose counters do not all share one known wrap value gets 0 (a sum of counters with different wraps has no
// single one). wraps are zeroed first; returns the mask of parts with a wrap value.
u32 energy_wraps(mem::Bytes items, u64 base, u32 count, u64 wraps[4]);
// Formatted items: the sum (saturating) of the values (negatives as 0) of every good item whose name is not
// "_Total"; none when no item counted.
u64 meter_milliwatt(mem::Bytes items, u64 base, u32 count);
// The battery's drain in mW when it is present, discharging and its rate is negative; else none. The rate's
// "unknown" value 0x80000000 is none, not 2.1 MW.
u64 battery_drain(mem::Bytes state);

// -- TCP tables: a u32 row count, then rows.
u32 tcp_listed(mem::Bytes table);
u32 tcp_rows(mem::Bytes table, u32 row_size);
u32 tcp_bytes(u32 rows, u32 row_size);
u32 tcp_needed(u32 asked, u32 row_size);
u32 tcp_used(u32 rows, u32 row_size, bool short_buffer, u32 asked);
// Appends the u32 at row start + pid_offset of each row (tcp_rows of them) while n < cap; returns the new n.
u32 tcp_take(mem::Bytes table, u32 row_size, u32 pid_offset, u32* list, u32 cap, u32 n);

// -- The process chain.
constexpr u32 max_procs = 1024;
constexpr u32 walk_slots = max_procs + 1;  // entries past 1,024 all land in the scratch slot 1,024
constexpr u32 max_tcp_pids = 4096;
enum : u32 { walk_more = 1, walk_malformed = 2 };  // walk flags
constexpr u32 memo_slots = 4096;  // the left-out set holds at most three quarters of this
constexpr u32 memo_most = memo_slots / 4 * 3;

// A process left out of the table: its counters at that pass.
struct LeftOut {
  u32 pid;
  u32 start;
  u64 cpu;
  u64 read;
  u64 written;
};
static_assert(sizeof(LeftOut) == 32);

// The walk area: per entry (up to 1,025 slots) the fields the process pass needs, plus room for sorting the TCP
// owner pids. The process usage pass owns it; the walk fills everything but the tcp column and the pid area.
struct ProcWalk {
  u32 stored;   // min(entries, 1,024)
  u32 entries;  // all entries walked, also beyond 1,024
  u32 threads;  // saturating sum
  u32 flags;    // walk_more, walk_malformed
  u32 pid[walk_slots];
  u32 parent[walk_slots];
  u32 start[walk_slots];  // seconds after boot, saturated
  u32 thread_count[walk_slots];
  u32 handles[walk_slots];
  u32 tcp[walk_slots];         // 0 here; TCP connections, filled by the process pass
  u32 name_units[walk_slots];  // image name length in UTF-16 units
  u32 pad;
  u64 name_offset[walk_slots];  // image name address minus the buffer's address
  u64 cpu[walk_slots];          // user + kernel time, saturating
  u64 working_set[walk_slots];
  u64 private_bytes[walk_slots];
  u64 read_bytes[walk_slots];  // sysrec::io_unreported passes through
  u64 write_bytes[walk_slots];
  u32 tcp_pids[max_tcp_pids];
  u32 tcp_scratch[max_tcp_pids];
  // When the chain holds more processes than the table, the busiest are kept (usage::keep_busiest). The processes
  // left out of the last pass stay in an open-addressing set by pid, so that the next pass measures them too.
  u64 memo_ms;  // time of the pass the set belongs to; 0 none
  u32 memo_count;
  u32 memo_pad;
  u64 memo_used[memo_slots / 64];
  LeftOut memo[memo_slots];
  u64 rank_cpu[max_procs];  // the kept slots' CPU use (100 ns per second) and working set, while choosing
  u64 rank_memory[max_procs];
  u16 heap[max_procs];  // slots, least busy first
};
static_assert(sizeof(ProcWalk) == 260720);

u32 proc_slot(u32 n);
// (now - created, 0 when negative) / 10,000,000, saturated to u32.
u32 start_of(u64 now, u64 created);
// min(units, 256) when all the name's bytes lie inside size bytes, else 0.
u32 name_inside(u64 offset, u32 units, u64 size);
// The name's last component (after the last '\'), at most out.len bytes, units outside 32..126 as '?'; "Idle"
// when is_idle. Returns the length written. A '/' is part of the name: image paths use '\', and Linux process names
// such as "kworker/0:1" hold slashes.
u64 name_take(mem::Bytes b, u64 offset, u32 units, bool is_idle, mem::Slice out);
void proc_walk(mem::Bytes b, u64 buffer_address, u64 boot_time, ProcWalk* out);
// Fills slot s of the walk from the entry at pos; the walk's counts are left alone. Returns the entry's threads.
u32 proc_fill(mem::Bytes b, u64 pos, u64 buffer_address, u64 boot_time, ProcWalk* out, u32 s);
// Steps *pos to the next entry of the chain (the first one when *pos is ~0); false where the walk ends.
bool proc_next(mem::Bytes b, u64* pos);
// Zeroes every byte of the chain that the walk does not read, keeping the walk's fields and each entry's name.
void proc_scrub(mem::Slice b, u64 buffer_address);

}  // namespace ntinfo
