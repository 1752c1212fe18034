#pragma once
// The cluster wire: every frame that crosses between machines, and the sealed records on the share. The module is
// socket-free: every function takes a byte buffer with its length and returns a length or a result code. Integers are
// little-endian and read and written byte by byte, so alignment never matters. Every decoder runs the generic frame
// checks first and writes nothing to its output unless every check passed; every encoder builds in a zeroed area, so
// every byte that a layout does not name is 0.
#include <stddef.h>

#include "base/mem.h"

namespace proto {

// Result codes shared by every decoder.
enum Code : u32 {
  ok = 0,
  too_short = 1,     // below 16 bytes, or the payload is not all there
  bad_magic = 2,
  bad_version = 3,
  bad_kind = 4,      // out of range, or not the kind expected
  too_long = 5,      // payload above max_payload
  bad_length = 6,    // payload length not valid for the kind, or a row count that disagrees with it
  bad_flags = 7,
  bad_content = 8,   // a field outside its range, a non-printable text byte, a nonzero byte where zeros belong
  wrong_size = 9,    // a fixed payload of another length than the caller expects
};
// "good", "too short", ... for logs and status lines; "unknown" past the table.
mem::Bytes code_word(u32 code);

enum Kind : u16 {
  kind_hello = 1,
  kind_reply = 2,
  kind_proof = 3,
  kind_accept = 4,
  kind_refuse = 5,
  kind_inventory = 6,
  kind_sample = 7,
  kind_procs = 8,
  kind_list = 9,
  kind_watch = 10,
  kind_unwatch = 11,
  kind_history = 12,
  kind_buckets = 13,
  kind_forget = 14,
  kind_ping = 15,
  kind_moved = 16,
  kind_probe = 17,
  kind_probe_reply = 18,
  kind_probe_proof = 19,
  kind_backfill = 20,
  kind_names = 21,
  kind_tops = 22,
  kind_update_ask = 23,
  kind_update_chunk = 24,
  kind_peers = 25,
  kind_update_now = 26,
  kind_update_state = 27,
  kind_updates = 28,
  kind_temps = 29,
  kind_energy = 30,
};
constexpr u32 kind_last = 30;

constexpr u32 header_size = 16;
constexpr u32 tag_size = 16;
constexpr u32 max_payload = 65504;
constexpr u32 flag_more = 1;  // kind 13 only: more parts of the answer follow
constexpr u16 protocol_version = 1;

// The 16 bytes at the start of every frame, as they lie on the wire.
struct FrameHeader {
  u8 magic[4];  // "VBP1"
  u16 version;  // 1
  u16 kind;
  u32 length;   // payload bytes after the header
  u32 flags;
};
static_assert(sizeof(FrameHeader) == 16);
static_assert(offsetof(FrameHeader, kind) == 6 && offsetof(FrameHeader, length) == 8);

// Little-endian access with the buffer's length: a read out of range gives 0, a write out of range does nothing.
u8 get8(mem::Bytes b, u64 at);
u16 get16(mem::Bytes b, u64 at);
i16 geti16(mem::Bytes b, u64 at);
u32 get32(mem::Bytes b, u64 at);
u64 get64(mem::Bytes b, u64 at);
void put8(mem::Slice b, u64 at, u8 v);
void put16(mem::Slice b, u64 at, u16 v);
void put32(mem::Slice b, u64 at, u32 v);
void put64(mem::Slice b, u64 at, u64 v);
// Copies src to b[at..); nothing when it does not fit.
void put_bytes(mem::Slice b, u64 at, mem::Bytes src);
// Copies b[at .. at + out.len) to out; 1 when in range, else out is zeroed and the result is 0.
u32 get_bytes(mem::Bytes b, u64 at, mem::Slice out);
// 1 when n bytes from at lie inside a buffer of len bytes (no overflow for any values).
inline u32 fits(u64 len, u64 at, u64 n) { return at <= len && n <= len - at; }

// The kind table: a fixed head of H bytes, and for row kinds up to M rows of R bytes. Out-of-range kinds give 0.
u32 kind_head(u32 kind);
u32 kind_row(u32 kind);
u32 kind_rows_max(u32 kind);
// The flag bits a kind may carry (flag_more on kind 13, none elsewhere).
u32 kind_flags(u32 kind);
// H + rows x R, the row count clamped to the kind's maximum.
u32 payload_size(u32 kind, u32 rows);
// 1 when L is a valid payload length for the kind.
u32 length_fits(u32 kind, u64 length);
// (L - H) / R; 0 for kinds without rows.
u32 frame_rows(u32 kind, u64 length);

// Generic checks, in the order every decoder runs them.
// The header alone: short, magic, version, kind, flags, payload above the maximum, length for the kind.
u32 head_check(mem::Bytes b);
// head_check, then too_short when the payload is not all in the buffer.
u32 frame_check(mem::Bytes b);
// frame_check, then bad_kind when the frame is not of the expected kind.
u32 open_frame(mem::Bytes b, u32 kind);
// 16 + payload length when head_check passes, else 0 (where the tag of a sealed frame begins).
u32 frame_len(mem::Bytes b);
// The header fields of a frame that passed head_check.
u32 frame_kind(mem::Bytes b);
u32 frame_flags(mem::Bytes b);
// The payload of a frame that passed frame_check.
mem::Bytes payload_of(mem::Bytes frame);

// Builders return the frame length, 0 when out is too small.
// Zeroes 16 + payload bytes and writes the header; 1, or 0 when out is too small.
u32 begin(mem::Slice out, u32 kind, u32 payload_length, u32 flags);
u32 encode_ping(mem::Slice out);
// A frame whose whole payload is the given bytes: only kinds without rows, and only with exactly the kind's head.
u32 encode_bytes(u32 kind, mem::Bytes bytes, mem::Slice out);
// open_frame, then wrong_size when out.len is not the payload length, then copies the payload out.
u32 decode_bytes(mem::Bytes frame, u32 kind, mem::Slice out);
// Bytes of a text field that are neither 0 nor printable (32 to 126).
u32 text_bad(mem::Bytes b, u64 at, u64 count);
// Non-printable bytes before the first zero, and nonzero bytes after it.
u32 name_bad(mem::Bytes text);
// The u32 at the start of a record.
u32 ipv4_at(mem::Bytes record);

// Handshake and request kinds.

enum Role : u8 { role_publisher = 1, role_viewer = 2, role_update = 4 };
enum HelloFlag : u8 {
  hello_peers = 0x01,        // viewer: send the peers list
  hello_updates = 0x02,      // viewer: send the updates table
  hello_update_orders = 0x04,  // publisher: takes update orders
  hello_no_self_update = 0x08, // publisher: self-update is unavailable here
  hello_temps = 0x10,        // viewer: forward temperatures
};
enum Reason : u16 {
  reason_protocol = 1,
  reason_key = 2,
  reason_full = 3,
  reason_role = 4,
  reason_unexpected = 5,
  reason_same_id = 6,
};

constexpr u32 hello_size = 40;
constexpr u32 challenge_size = 32;
constexpr u32 id_size = 16;
constexpr u32 nonce_size = 16;

struct Hello {
  u8 role;
  u8 flags;
  u16 protocol;  // 1
  u32 term;      // the highest host term known, 0 when none
  u8 id[16];     // the publisher's machine id, zeros for a viewer
  u8 nonce[16];  // fresh for every connection
};
u32 encode_hello(const Hello* hello, mem::Slice out);
// Checks only the frame; the host judges role and protocol itself.
u32 decode_hello(mem::Bytes frame, Hello* out);

struct Accept {
  u32 term;
  u32 value;  // chosen by the host; link ends keep it and never test it
  u16 major, minor, patch;
  u8 tag[16];  // over payload bytes 0..15
};
u32 encode_accept(const Accept* accept, mem::Slice out);
// Checks only the frame; the tag is the caller's to check.
u32 decode_accept(mem::Bytes frame, Accept* out);

u32 encode_refuse(u16 reason, mem::Slice out);
// bad_content when the reason is not 1 to 6.
u32 decode_refuse(mem::Bytes frame, u16* reason);

struct Moved {
  u32 term;
  u32 address;  // IPv4, first octet in the most significant byte
  u16 port;
};
u32 encode_moved(const Moved* moved, mem::Slice out);
u32 decode_moved(mem::Bytes frame, Moved* out);

// Election probe (kind 17): two 16-byte values. Probe reply (kind 18): three, the last the reply tag.
struct Probe {
  u8 first[16];
  u8 second[16];
};
struct ProbeReply {
  u8 first[16];
  u8 second[16];
  u8 tag[16];
};
u32 encode_probe(const Probe* probe, mem::Slice out);
u32 decode_probe(mem::Bytes frame, Probe* out);
u32 encode_probe_reply(const ProbeReply* reply, mem::Slice out);
u32 decode_probe_reply(mem::Bytes frame, ProbeReply* out);

// Sealed share records and beacons: a magic, version 1, a u16 at 6, the body, and a 16-byte tag at the end.

constexpr u32 record_size = 64;
constexpr u32 roster_size = 1600;
constexpr u32 roster_rows = 64;

// Zeroes size bytes and writes magic (4 bytes), version 1, a zero byte and the u16 at 6; 1, or 0 when out is short.
u32 begin_record(mem::Slice out, mem::Bytes magic, u32 size, u16 word6);
// too_short below the size, bad_length above it, bad_magic, bad_version when the u16 at 4 is not 1; else ok.
u32 record_check(mem::Bytes record, mem::Bytes magic, u32 size);

// Claim ("VBC1") and lease ("VBL1") share one body.
struct Lease {
  u16 flags;    // below 32; bit 0 released (the last lease of an orderly give-up), bit 3 isolated
  u32 term;
  u32 counter;  // renewal counter
  u16 period;   // renewal period in tenths of a second, 10 to 600
  u16 port;
  u32 address;
  u8 writer;    // value set by the share writer
  u8 host_id[16];
};
constexpr u16 lease_released = 1;
u32 lease_bad(const Lease* lease);
// The body at its offsets into a record that begin_record opened.
void put_lease(mem::Slice record, const Lease* lease);
void get_lease(mem::Bytes record, Lease* out);
u32 encode_lease(const Lease* lease, mem::Slice out);
u32 decode_lease(mem::Bytes record, Lease* out);
u32 encode_claim(const Lease* claim, mem::Slice out);
u32 decode_claim(mem::Bytes record, Lease* out);

struct Beacon {
  u16 flags;    // at most 15; the election sets bit 3
  u32 term;
  u32 counter;  // the lease renewal counter the beacon carries
  u16 port;
  u16 members;  // at most 64
  u8 priority;
  u32 address;
  u8 host_id[16];
};
u32 encode_beacon(const Beacon* beacon, mem::Slice out);
u32 decode_beacon(mem::Bytes record, Beacon* out);

struct Member {
  u16 flags;  // below 64
  u32 term;
  u32 sequence;
  u8 priority;
  u16 port;
  u32 address;
  u16 reach;  // below 64
  u8 id[16];
};
u32 encode_member(const Member* member, mem::Slice out);
u32 decode_member(mem::Bytes record, Member* out);

struct RosterRow {
  u8 id[16];
  u8 priority;
  u8 flags;   // at most 15
  u16 reach;  // below 64
};
struct Roster {
  u16 count;  // rows in use, at most 64
  u32 term;
  u32 sequence;
  u16 flags;  // at most 3
  RosterRow rows[roster_rows];
};
// Clamps the count to 64; rows at and above it are written as zeros.
u32 encode_roster(const Roster* roster, mem::Slice out);
u32 decode_roster(mem::Bytes record, Roster* out);

// Machine data kinds.

constexpr u32 inventory_size = 1792;
constexpr u32 inventory_names = 47;
constexpr u32 name_size = 32;
constexpr u32 max_gpus = 4;
constexpr u32 max_disks = 16;
constexpr u32 max_adapters = 8;
// Name slots of the inventory.
enum InventoryName : u32 {
  name_computer = 0,
  name_os = 1,
  name_cpu = 2,
  name_gpu = 3,           // 3 + GPU i
  name_disk = 7,          // 7 + disk i
  name_disk_second = 23,  // 23 + disk i
  name_adapter = 39,      // 39 + adapter i
};

// Kind 6: what a machine is. The record has exactly the payload's layout; the hardware values keep the machine
// record's order and widths.
struct Inventory {
  u8 id[16];
  u16 version[3];        // program version major, minor, patch
  u16 hw_flags;          // at most 15
  u32 hw32[10];          // machine-wide values; [0] the memory total in MiB
  u16 hw16[4];           // [1] the logical processors
  u8 hw8[6];
  u16 hw16b[2];
  u8 gpu_count;          // at most 4
  u8 disk_count;         // at most 16
  u8 adapter_count;      // at most 8
  u8 os_family;          // 1 Windows, 2 Linux, 3 macOS
  u16 os_major;
  u16 os_minor;
  u8 os_value;           // at most 5
  u8 zero91;
  u32 os_build;
  u64 disk_bits[7];      // bit i belongs to disk i
  u32 gpu_dedicated[4];  // MiB
  u32 gpu_shared[4];     // MiB
  u32 disk_value[16];
  u32 adapter_value[8];
  u8 gpu_type[4];        // below 64
  u8 zero284[4];
  u8 names[inventory_names][name_size];
};
static_assert(sizeof(Inventory) == inventory_size);
static_assert(offsetof(Inventory, hw_flags) == 22 && offsetof(Inventory, hw16) == 64);
static_assert(offsetof(Inventory, hw8) == 72 && offsetof(Inventory, hw16b) == 78);
static_assert(offsetof(Inventory, gpu_count) == 82 && offsetof(Inventory, os_major) == 86);
static_assert(offsetof(Inventory, os_value) == 90 && offsetof(Inventory, os_build) == 92);
static_assert(offsetof(Inventory, disk_bits) == 96 && offsetof(Inventory, gpu_dedicated) == 152);
static_assert(offsetof(Inventory, disk_value) == 184 && offsetof(Inventory, adapter_value) == 248);
static_assert(offsetof(Inventory, gpu_type) == 280 && offsetof(Inventory, names) == 288);
// Whether name slot i is in use for the inventory's counts.
u32 name_used(const Inventory* inv, u32 slot);
u32 encode_inventory(const Inventory* inv, mem::Slice out);
u32 decode_inventory(mem::Bytes frame, Inventory* out);

// Kind 7: one 512-byte row of the sample ring, carried as the row's bytes.
constexpr u32 sample_size = 512;
u32 encode_sample(const u8* row, mem::Slice out);
u32 decode_sample(mem::Bytes frame, u8* row);

// The publisher's process record: what payload building fills, kind 8 carries as changed rows, and a viewer keeps.
constexpr u32 proc_rows_max = 256;
constexpr u32 proc_wire_row = 80;
constexpr u32 proc_head = 56;
struct ProcRow {
  u32 pid;
  u32 start[2];     // the start key as two u32
  u16 cpu;          // hundredths of a percent, at most 10,000
  u16 gpu;          // hundredths of a percent, at most 10,000
  u32 memory;       // 4 KiB units
  u32 value20;
  u32 disk_read;
  u32 disk_write;
  u32 value32;
  u16 vram;
  u16 threads;
  u16 tcp;
  u16 flags;        // at most 7
  u8 name[32];
};
static_assert(sizeof(ProcRow) == 76 && offsetof(ProcRow, name) == 44);
struct ProcRecord {
  u32 count;     // rows in the sender's table, at most 256
  u32 flags;     // bits 0..4 of the process table's flags
  u32 totals[3];
  ProcRow rows[proc_rows_max];
};
static_assert(sizeof(ProcRecord) == 19476);
constexpr u32 procs_full = 0x100;  // table flag on the wire: every row 0..T-1 is present
// Rows that differ from previous (null: nothing sent yet) or lie beyond its count; every row when full is set.
u32 encode_procs(const ProcRecord* table, const ProcRecord* previous, u32 full, mem::Slice out);
// Writes the rows at their numbers, leaves the others, stores the count, flags (without the full bit) and totals.
u32 decode_procs(mem::Bytes frame, ProcRecord* table);

// Kind 29: the 260-byte temperature block of the machine record on both sides; the wire has a zero word at 68 and the
// names at 72.
constexpr u32 temps_block_size = 260;
constexpr u32 temps_wire_size = 264;
constexpr i16 temp_min = -2729;
constexpr i16 temp_max = 1500;
u32 encode_temps(const u8* block, mem::Slice out);
u32 decode_temps(mem::Bytes frame, u8* block);
// Hosts above 0.1.80 take kind 29.
u32 knows_temps(u16 major, u16 minor, u16 patch);
// A present value lies in -2,729..1,500; an absent one is 0.
u32 temp_ok(i16 value, u32 present);

// List, history and update kinds.

// One machine's summary: the same layout in memory, on the wire and in history files.
struct Summary {
  u32 stamp;          // first field of the newest sample row
  u8 state;           // 0 online, 1 stale, 2 offline, 3 missing
  u8 flags;           // bit 0 from the builder's caller, bit 1 the sample's u64 at 24 is not 0
  u16 value;          // given by the builder's caller
  u16 cpu;            // hundredths of a percent
  u16 kernel;         // the sample's load at 376
  u16 memory;         // ratio of memory in use to the total, of 10,000
  u16 disk;           // busiest disk
  u16 gpu;            // busiest GPU
  u16 video;          // video memory in use to its capacity, of 10,000
  u16 processes;      // the sample's u16 at 6
  u8 shared_video;    // bit 0: offsets 32 and 36 count shared memory
  u8 os;              // 1 Windows, 2 Linux, 3 macOS, 4 Android, 5 iOS, 0 unknown
  u32 memory_used;    // MiB
  u32 memory_total;   // MiB
  u32 video_used;     // MiB
  u32 video_total;    // MiB
  u32 disk_read;      // KiB/s over all disks
  u32 disk_write;
  u32 receive;        // KiB/s over all adapters
  u32 send;
  u32 threads;        // the sample's u32 at 8
  u16 power;          // 0 unless the low 4 bits of power_flags are set
  u8 power_flags;     // low 6 bits
  u8 zero;
};
static_assert(sizeof(Summary) == 64 && offsetof(Summary, memory_used) == 24 && offsetof(Summary, power) == 60);
constexpr u32 summary_size = 64;
u32 summary_bad(mem::Bytes b, u64 at);
void put_summary(mem::Slice b, u64 at, const Summary* s);
void get_summary(mem::Bytes b, u64 at, Summary* out);

constexpr u32 list_rows = 64;
struct MachineList {
  u64 host_mask;  // one bit, the host's row; 0 when no listed machine is the host
  u32 count;
  u8 ids[list_rows][16];
  u8 names[list_rows][32];
  Summary summaries[list_rows];
};
// The head byte for a host mask: 1 + the lowest set bit among the first n rows, 0 when none.
u8 hostWire(u64 mask, u32 n);
// The head byte back to a mask: 0 gives 0, b gives bit b - 1 (no bit for b above 64).
u64 hostBits(u8 wire);
u32 encode_list(const MachineList* list, mem::Slice out);
u32 decode_list(mem::Bytes frame, MachineList* out);

struct Backfill {
  u8 count;
  u16 interval;  // at most 600
  Summary rows[60];
};
u32 decode_backfill(mem::Bytes frame, Backfill* out);

struct Peers {
  u32 count;
  u8 ids[list_rows][16];
  u8 address_kinds[list_rows];  // 1 IPv4, 2 IPv6, other none; at most 2 on the wire
  u8 addresses[list_rows][16];  // IPv4 as a little-endian u32 first octet high; IPv6 in network order
};
u32 encode_peers(const Peers* peers, mem::Slice out);
u32 decode_peers(mem::Bytes frame, Peers* out);

// Kind 27: phases 2..8 but 6 travel from a publisher.
u32 phase_reported(u8 phase);
u32 encode_update_state(u8 phase, u8 detail, mem::Slice out);
u32 decode_update_state(mem::Bytes frame, u8* phase, u8* detail);

struct Updates {
  u32 count;
  u8 ids[list_rows][16];
  u16 major[list_rows];
  u16 minor[list_rows];
  u16 patch[list_rows];
  u8 phases[list_rows];   // at most 8
  u8 details[list_rows];  // at most 32
};
u32 encode_updates(const Updates* updates, mem::Slice out);
u32 decode_updates(mem::Bytes frame, Updates* out);

struct HistoryAsk {
  u8 id[16];
  u8 tier;     // 0 ten-second, 1 five-minute, 2 hourly
  u8 scope;    // 0 one machine, 1 the cluster
  u8 options;  // bit 0 names and top rows, bit 1 energy rows
  u32 first;   // time slots, inclusive
  u32 last;
};
u32 encode_history(const HistoryAsk* ask, mem::Slice out);
u32 decode_history(mem::Bytes frame, HistoryAsk* out);

constexpr u32 bucket_size = 56;
// A buckets answer: rows of 56-byte history buckets.
struct BucketAnswer {
  u8 tier;
  u8 scope;
  u8 id[16];
  mem::Bytes buckets;  // count x 56 bytes
};
// Up to 1,024 whole buckets; flag_more when more parts follow.
u32 encode_buckets(const BucketAnswer* answer, u32 more, mem::Slice out);
u32 check_buckets(mem::Bytes frame, u32* count, u32* more);
// Copies bucket i of a checked frame; 0 when i is out of range.
u32 bucket_at(mem::Bytes frame, u32 i, u8* bucket);
// The 16-byte machine id of a checked buckets or rows frame.
const u8* buckets_id(mem::Bytes frame);

// Kinds 21 (process names), 22 (top processes) and 30 (energy): a 24-byte head and rows.
u32 rows_kind(u32 kind);
// Up to count whole rows of the kind's row size from rows, clamped to the kind's maximum.
u32 encode_rows(u32 kind, u8 tier, const u8* id, mem::Bytes rows, u32 count, mem::Slice out);
u32 check_rows(mem::Bytes frame, u32 kind, u32* count);

// An ask with ask_signature wants the build's release signature rather than its bytes; a host of an older version
// does not read that byte and answers with bytes, which tells the agent that no signature will come.
constexpr u8 ask_signature = 1;
struct UpdateAsk {
  u8 type;  // binary type, 1 or 2
  u16 major, minor, patch;
  u32 offset;
  u8 flag;  // ask_signature, or 0
};
u32 encode_update_ask(const UpdateAsk* ask, mem::Slice out);
u32 decode_update_ask(mem::Bytes frame, UpdateAsk* out);

constexpr u32 chunk_max = 16384;
constexpr u32 binary_max = 16777216;
// Chunk flags: no binary; or the answer to an ask for the signature, whose 64 bytes of data are the release key's
// signature over the build's version, architecture and SHA-256 (offset 0, total the build's size).
constexpr u8 chunk_no_binary = 1;
constexpr u8 chunk_signature = 2;
struct UpdateChunk {
  u8 type;   // 1 or 2
  u8 flag;   // chunk_no_binary (total, offset and length 0), chunk_signature, or 0
  u16 major, minor, patch;
  u32 total;
  u32 offset;
  u32 length;
  u8 value[32];  // the build's SHA-256, as the host gives it
};
// The chunk's data is data[0 .. chunk->length); 0 when the length is above 16,384 or data is shorter.
u32 encode_update_chunk(const UpdateChunk* chunk, mem::Bytes data, mem::Slice out);
u32 decode_update_chunk(mem::Bytes frame, UpdateChunk* out);
// The data of a decoded chunk frame.
mem::Bytes update_data(mem::Bytes frame);

}  // namespace proto
