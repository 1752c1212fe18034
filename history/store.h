#pragma once
// History storage formats. History lives in ring files: one file per kind of record and tier, a 64-byte sealed head
// followed by a fixed number of fixed-size records that are overwritten oldest first. The same files serve this
// machine's own history and every machine's history on a cluster share, where Windows and Linux hosts take turns
// and carry each other's files byte for byte, so every record here is encoded field by field, little-endian. This
// module also holds the share's registry and inventory files, the text forms of terms and machine ids, the path
// steps that name terms and machines, and the small pure rules the share code decides by. It does no file input or output itself.
#include "base/mem.h"
#include "base/path.h"

namespace auth {
struct KeyState;
}
namespace proto {
struct Inventory;
}

namespace store {

// Little-endian field access at a byte offset; callers check the bounds once for the whole record.
inline void put16(u8* p, u16 v) {
  p[0] = static_cast<u8>(v);
  p[1] = static_cast<u8>(v >> 8);
}
inline void put32(u8* p, u32 v) {
  put16(p, static_cast<u16>(v));
  put16(p + 2, static_cast<u16>(v >> 16));
}
inline u16 get16(const u8* p) { return static_cast<u16>(p[0] | p[1] << 8); }
inline u32 get32(const u8* p) { return get16(p) | static_cast<u32>(get16(p + 2)) << 16; }
// True when length bytes starting at offset lie inside a buffer of size bytes.
inline bool fits(u64 size, u64 offset, u64 length) { return offset <= size && length <= size - offset; }

// Ring types: buckets, top-process rows and energy records per tier, and the process names.
enum RingType : u32 {
  ring_t0 = 0,
  ring_t1 = 1,
  ring_t2 = 2,
  ring_p0 = 3,
  ring_p1 = 4,
  ring_p2 = 5,
  ring_names = 6,
  ring_e0 = 7,
  ring_e1 = 8,
  ring_e2 = 9,
};
constexpr u32 head_bytes = 64;
constexpr u32 bucket_bytes = 56;
constexpr u32 energy_bytes = 16;
constexpr u32 top_bytes = 112;
constexpr u32 name_bytes = 40;
constexpr u32 measures = 8;

// Records of a ring of this type; 0 for an unknown type.
u32 capacity(u32 type);
// Bytes of one record; 0 for an unknown type.
u32 record_bytes(u32 type);
// Byte offset of record index in the file: 64 + index x record bytes.
u64 record_at(u32 type, u32 index);
// Whole file size, 64 + capacity x record bytes; 0 for an unknown type.
u64 ring_bytes(u32 type);
// The file name ("t0.ring" ...); "names.ring" for every type that is not 0-5 or 7-9.
mem::Bytes ring_name(u32 type);
// The capacity, or 1 for a type without one, so that it can divide.
u32 modulus(u32 type);

// Ring index arithmetic.
u32 next_index(u32 index, u32 type);
u32 filled(u32 filled, u32 type);
// Index of the oldest record.
u32 oldest(u32 next, u32 filled, u32 type);
// Index n records after start, wrapping at the capacity.
u32 slot_of(u32 start, u32 n, u32 type);
// Index of the newest record; 0 for a type without capacity.
u32 prev_index(u32 next, u32 type);
// A record's time slot is never stored below the ring's last slot.
inline u32 clamp_time(u32 slot, u32 last_slot) { return slot > last_slot ? slot : last_slot; }
// How far below the ring's last slot a record may come and still be raised to it: a clock that is behind by more
// (stepped back, or the ring was written by a clock that ran ahead) writes at its own time instead, so the records
// of a wrong clock never become the floor of every later one. Two buckets of the ring's tier, at least a minute.
u32 step_tolerance(u32 type);
// True when a record of this slot goes below the ring's last slot by more than the tolerance: the ring steps back.
bool steps_back(u32 slot, u32 last_slot, u32 type);
// Where a run named by a step mark (1 + the index of its first record) begins, counted from the oldest record: 0
// when the mark names no record of the ring or names the oldest (the run is then all there is before it).
u32 step_position(u32 step, u32 next, u32 filled, u32 type);

// Where a ring stands, as its head keeps it. Records are written in order and their slots never go down, except
// where a clock far behind the newest slot stepped them back: each such record begins a run, and the runs are each
// in time order. The head names the newest run (step) and the one before it (older) while they are in the ring;
// mixed says that the first run (the records before the first named run, or the whole ring when none is named) may
// hold steps of its own, which a clock that stepped back three times within the ring leaves.
struct Place {
  u32 next;
  u32 filled;
  u32 last_slot;
  u32 step;   // 0, or 1 + the index of the first record of the newest run
  u32 older;  // 0, or 1 + the index of the first record of the run before it
  u32 mixed;  // 0 or 1
};
// A record of slot written at the ring's next index: the slot it is stamped with (raised to the last slot when a
// little behind, its own when far behind: back is then 1) and where the ring stands after it.
struct Placed {
  u32 slot;
  u32 back;
  Place after;
};
Placed place(const Place& at, u32 slot, u32 type);
// The runs of a ring in time order, as positions from the oldest record: 1 to 3 starts, the first 0. scan is 1 when
// the first run is not known to be in time order: it is read whole and each record filtered, never searched.
struct Runs {
  u32 start[3];
  u32 count;
  u32 scan;
};
Runs runs_of(const Place& at, u32 type);

// A place in a ring file where a record does not follow the one before it (in term, or in time): its index
// (no_index for none), the slot and term of the record before it, and its own slot. When it is where the ring was
// last written, the record before it is the newest and the record at it the oldest.
constexpr u32 no_index = 0xFFFFFFFFu;
struct Break {
  u32 at;
  u32 newest_slot, newest_term;
  u32 oldest_slot;
};
constexpr Break no_break{no_index, 0, 0, 0};
// What a pass over a ring's records in file order found: the first and last record's slots and the last one's term;
// how often the slots went down from one record to the next, the first place they did, and the first after the
// newest plausible record (no_break for none: whoever finds a newer one sets it so).
struct Downs {
  u32 first_slot, last_slot, last_term;
  u32 count;
  Break first, after_newest;
};
// Takes the record at index into the pass, after the records before it in the file (first: there are none).
void take_down(Downs* downs, u32 index, u32 slot, u32 term, bool first);
// The plausible records (not beyond a day past the clock): how many, and the newest one's index and slot (of
// equals, the last in the file).
struct Newest {
  u32 count, index, slot;
};
// Where a full ring of one term whose head was lost was written last, going round from its last record to its first
// too: where the slots go down. With plausible records, the first such place after the newest of them, when the
// records between (stamped ahead) can have been written after it in the time the clock (wall) gives since it, at
// least seconds apart; with none, the only such place. no_break when it is not known that way: a ring in order
// then goes on after its newest plausible record.
Break last_written(const Downs& downs, const Newest& newest, u32 type, u32 seconds, u32 wall);

// The head of a ring file, in memory.
struct RingHead {
  u32 type;
  u32 capacity;
  u32 next;
  u32 filled;
  u32 term;       // 1 for this machine's own files
  u32 last_slot;  // time slot of the newest record
  // The runs as Place names them: step in bytes 28-31, older in bytes 32-35, mixed in bit 0 of byte 36; heads of
  // rings that never stepped back hold zero there.
  u32 step;
  u32 older;
  u32 mixed;
};
Place place_of(const RingHead& head);
void head_place(RingHead* head, const Place& at);

void head_init(RingHead* head, u32 type, u32 term);
// Number of faults: a capacity that differs from the type's or is 0, next at or beyond a nonzero capacity, filled
// beyond the capacity.
u32 head_bad(u32 type, u32 capacity, u32 next, u32 filled);
// 64 bytes written and sealed with the key, or 0 (nothing written) when the buffer is shorter.
u32 encode_head(const auth::KeyState* key, const RingHead* head, mem::Slice buffer);
// 1 with the head filled when the magic, version, soundness and tag hold; 0 with the head untouched otherwise.
// Callers that expect a certain type compare it themselves.
u32 decode_head(const auth::KeyState* key, mem::Bytes bytes, RingHead* head);

// Minimum, mean and maximum of the eight measures over a bucket's interval. Measures 0-5 are levels in hundredths of
// a percent (0-10,000); measures 6-7 (receive and send, KiB/s) are rate codes. The in-memory layout is the 56-byte
// stored one.
struct Bucket {
  u32 slot;  // start of the interval, seconds since 2025-01-01
  u32 term;
  u16 min[measures];
  u16 mean[measures];
  u16 max[measures];
};
static_assert(sizeof(Bucket) == bucket_bytes);

// Energy over a record's interval: the sum of the power readings (tenths of a watt) taken once a second, so the
// unit is a tenth of a joule, and the seconds that had a reading; the sum over the seconds is the mean power in
// tenths of a watt.
struct Energy {
  u32 slot;
  u32 term;
  u32 energy;
  u16 seconds;
  u8 flags;  // bit 0: the sum is uncertain (saturated, or a reading was)
};

// Record codecs at a byte offset of a buffer: encoders answer the bytes written (0, nothing written, when the record
// does not fit); decoders answer 1, or 0 with the output untouched when the record does not fit.
u32 encode_bucket(const Bucket* bucket, mem::Slice buffer, u64 offset);
// Levels of measures 0-5 are clamped to 10,000; measures 6-7 stay codes.
u32 decode_bucket(mem::Bytes buffer, u64 offset, Bucket* bucket);
u32 encode_energy(const Energy* energy, mem::Slice buffer, u64 offset);
// Keeps only bit 0 of the flags.
u32 decode_energy(mem::Bytes buffer, u64 offset, Energy* energy);
// The time slot and term that begin every record; 0 when the first eight bytes are not inside the buffer.
u32 bucket_time(mem::Bytes buffer, u64 offset);
u32 bucket_term(mem::Bytes buffer, u64 offset);

// The registry of a term on the share: the machines of the term, by row.
constexpr u32 registry_rows = 64;
constexpr u32 registry_file_bytes = 4160;
struct Registry {
  u32 count;
  u32 term;
  u8 ids[registry_rows][16];
  u8 names[registry_rows][32];
  u8 flags[registry_rows];  // bit 0: the machine's inventory file is written
};
void registry_clear(Registry* registry, u32 term);
// Number of used rows (of count) whose flag byte has a bit other than bit 0.
u32 registry_flags_bad(mem::Bytes file, u32 count);
// Index of the first row below count whose id repeats an earlier row's; count when every id is distinct.
u32 registry_repeat(mem::Bytes file, u32 count);
// 4160 bytes written and sealed, or 0 when the buffer is shorter.
u32 encode_registry(const auth::KeyState* key, const Registry* registry, mem::Slice buffer);
// 1 with the registry filled, or 0 with it untouched.
u32 decode_registry(const auth::KeyState* key, mem::Bytes bytes, Registry* registry);

// A machine's inventory file on the share: the kind-6 inventory frame, sealed.
constexpr u32 inventory_file_bytes = 2048;
constexpr u32 inventory_frame_bytes = 1808;
u32 encode_inventory_file(const auth::KeyState* key, u32 term, const proto::Inventory* inventory, mem::Slice buffer);
bool decode_inventory_file(const auth::KeyState* key, mem::Bytes bytes, proto::Inventory* inventory);

// Text forms. A term is exactly 8 lower-case hex digits, most significant first; term 0 is invalid.
void term_name(u32 term, u8 (&out)[8]);
// A 16-byte machine id as 32 lower-case hex digits, byte 0 first, high nibble first.
void id_name(const u8* id16, u8 (&out)[32]);
// The term of an 8-digit hex text (either case); 0 for anything else. A caller that scans folders on a
// case-sensitive file system also requires the text to equal term_name of the result, because every path is
// rebuilt in lower case.
u32 term_of_name(mem::Bytes text);

// Joins a term's folder name.
void path_term(Path* path, u32 term);
// Joins a machine id's folder name.
void path_id(Path* path, const u8* id16);

// Pure rules of the share code.

// The next term to claim: term + 1; 0 when the term is the last one.
u32 next_claim(u32 term);
// What a lease record means to a host of own_term: 0 keep, 1 a newer term holds the share, 2 another machine holds
// the same term.
u32 lease_action(bool valid, u32 lease_term, bool same_machine, u32 own_term);
// The newest complete older term to carry over: the candidate when it beats best, its registry was read whole and it
// lies below limit; else best.
u32 newer_complete(u32 best, u32 candidate, bool registry_whole, u32 limit);
// Copy allowance in bytes at 16 MiB a second, capped at 16 MiB.
u64 budget(u64 budget, u64 elapsed_ms);
u64 chunk_len(u64 offset, u64 size, u64 budget);
// Bytes to copy next: the head alone at offset 0, elsewhere whole records only.
u64 copy_len(u64 offset, u64 size, u64 budget, u32 record_bytes);
// The latest plausible time slot of a record when the wall clock reads slot: one day ahead.
u32 latest_time(u32 slot);
u32 wrap_top(u32 index, u32 first, u32 capacity);
u32 run_after(u32 index, u32 run_start, bool reset, bool continues);
// The share's caching flags are safe: offline caching off, client buffering disabled, continuous availability off.
bool flags_ok(u32 share_flags);
// a x c / b with b and c at least 1, saturating instead of wrapping.
u64 scaled_base(u64 a, u64 b, u64 c);
u64 scaled_result(u64 a, u64 b);
// Verdicts of the share self-test.
enum Verdict : u32 { verdict_pass = 0, verdict_fail = 1, verdict_inconclusive = 2, verdict_not_share = 3 };
u32 result_verdict(u64 first_count, u64 second_count, u64 bytes_written);
u32 verdict(bool network_path, bool flags_read, u32 flags, u32 first, u32 second);
// Windows-style share texts: end of the server name of "\\server\share...", and end of the share name; 0 when the
// text is not of that form.
u32 unc_server_end(mem::Bytes text);
u32 unc_share_end(mem::Bytes text);

}  // namespace store
