#pragma once
// The cluster share: the folder that every machine of a cluster reaches, where hosts take turns by terms. A host
// claims the next free term with a claim file that only one machine can create, takes the share's lease and renews
// it once a second, sets the term's folder up (carrying the newest complete older term's ring files over, a little
// at a time), writes every machine's history into ten ring files per machine, answers history requests from those
// rings a bounded piece at a time, and gives the share up when it stops or another host takes over.
//
// Safety between machines rests on three things only: the exclusive creation of claim files, the term and renewal
// counter in the sealed lease, and the writing limit of 10 s after the last renewal against the 15 s a watching
// host waits before it claims. Every record another machine could have written is sealed with the cluster key and
// refused when its length, magic or tag is wrong; a failed write leaves the ring's counters as they were.
//
// Share time ("now") is the host's clock in tenths of a second since it started; every operation that writes or
// checks the lease takes it.
//
// This module holds the share's records and the life of a term: claims, the lease, set-up, the registry and the
// inventories. The rings are written in sharering, read in shareread, and the self-test is in shareprobe.
#include "base/mem.h"
#include "wire/auth.h"
#include "wire/proto.h"
#include "history/hstore.h"
#include "history/store.h"
#include "platform/fs.h"

namespace share {

// Result codes of every operation.
enum Code : u32 {
  done = 0,
  taken = 1,      // the file exists (a claim already taken)
  no_term = 2,    // no next term
  too_late = 3,   // past the writing limit
  lost = 4,       // stopped, or a host of a newer term holds the lease
  same_term = 5,  // another machine holds the lease of the same term
  refused = 6,    // wrong state, bad path, index out of range, or a file that is not there
  failed = 7,
  too_large = 8,
};
mem::Bytes code_text(u32 code);
// The code of a share-layer file result: 0 → 0, 1 → 1, 2 → 6, 6 → 8, any other → 7.
u32 code_of(u32 io_code);

// State flags.
enum Flag : u32 {
  claimed = 0x001,
  leased = 0x002,
  stopped = 0x004,
  complete = 0x008,        // registry written, nothing left to carry
  setup_pending = 0x020,   // leased; set-up could not start yet
  set_up = 0x040,          // machines may be added; carry-over runs until complete
  lost_registry = 0x080,   // set-up given up: an older term's registry cannot be read
  lost_folders = 0x100,    // set-up given up: the term's machine folders cannot be created
};

constexpr u32 machines = 64;
constexpr u32 ring_types = 10;
constexpr u32 handles = machines * ring_types;
constexpr u32 write_limit = 100;     // tenths after the claim or the last renewal
constexpr u16 lease_period = 150;    // tenths; also what a watcher waits without progress
constexpr u32 folder_max = 160;      // bytes of the folder text
constexpr u32 copy_bytes = 65536;
constexpr u32 queue_size = 8;
constexpr u32 setup_tries = 30;
constexpr u32 max_answer_rows = 1024;

// A ring's next index, filled count, newest slot and runs, as its head keeps them.
using RingCounters = store::Place;

struct Queue {
  u8 start;
  u8 count;
};

struct Carry {
  u64 carrying;   // machines whose rings are still being copied
  u32 term;       // the term carried over
  u32 machine;    // cursor
  u32 type;
  u64 offset;
  u64 source;     // the carried term's ring file being copied
  u64 budget;
  u64 last_ms;
  // The plausibility run of the file being copied: the newest plausible record and the group of equal records
  // that starts at index 0 (0xFFFFFFFF when broken).
  u32 newest_index, newest_slot, newest_term, plausible, run;
  // Every record of a term up to the carried one, whatever its slot, in file order: how many, the last one's
  // index, where their slots went down, the first one's term, how often the terms went down and the last place
  // they did.
  u32 kept, last_index;
  store::Downs slots;
  u32 first_term, drops;
  store::Break drop;
  u64 copied;
};

struct Counters {
  u32 dropped;        // queue entries dropped
  u32 tops_skipped;   // top rows skipped while their machine is carried
  u32 tops_appended;  // upper-tier top rows appended for a new slot without the append flag
  u32 raised;         // time slots raised to keep a ring in order
  u32 stepped;        // records written at their own time below a ring's last slot (the ring stepped back)
  u32 ahead;          // how far the newest stored slot was ahead of the record that first stepped a ring back
  u32 carry_reads;
  u32 rollup_reads;
  u32 rebuilt;        // heads rebuilt from records
  u32 bytes;          // bytes copied in all
};

// What the share refused or could not do, kept for the owner's output: the cause and the file it concerns. The
// latest notes are kept in a ring, with a count of every note made, so the owner can say each new one; a cause at a
// file that one of the kept notes names already is no new note, so a write that fails every second is said once.
enum : u32 {
  trouble_none = 0,
  trouble_no_space = 1,  // the disk or the quota is full
  trouble_denied = 2,    // this user may not write there, or the share is read-only
  trouble_planted = 3,   // a link or something else than a plain file or folder stands there; it is left alone
  trouble_foreign = 4,   // a file under a claim's name that no key of this cluster sealed
};
constexpr u32 trouble_memory = 8;
struct Note {
  u32 kind;
  store::Path path;
};
struct Trouble {
  Note notes[trouble_memory];  // note n is at n mod trouble_memory
  u32 sequence;                // notes made
};
// The latest note (kind none when there is none).
const Note* last_note(const Trouble* trouble);
// The words of a cause: "no space on the share", "access denied", ...
mem::Bytes trouble_text(u32 kind);
// The cause of a share-layer file result (trouble_none for the others).
u32 trouble_of(u32 io_code);

// The host's handle on the share. Large (over 100 KiB with its copy buffer): the owner places it in an arena.
struct Share {
  store::Path folder;  // overflow also set for a folder text longer than 160 bytes
  auth::KeyState key;
  u8 id[16];
  u32 address;
  u16 port;
  u8 fixed;
  u32 term;
  u32 highest;         // highest term seen on the share
  u32 counter;         // renewal counter
  u32 renewed;         // share time of the claim or the last renewal
  u8 owner;            // owner byte of the lease
  u16 extra_flags;     // or-ed into the lease flags
  u8 always_keep;      // every lease check answers keep
  u32 flags;
  u64 lease;           // the open lease file
  fs::FileMark lease_mark;  // what it is, for the check that reads "lease" by its name each second
  u32 count;
  u8 ids[machines][16];
  u8 names[machines][32];
  u64 rings[handles];
  RingCounters counters[handles];
  Carry carry;
  store::Bucket bucket_queue[machines][queue_size];
  store::Energy energy_queue[machines][queue_size];
  Queue buckets_queued[machines];
  Queue energy_queued[machines];
  Counters stats;
  u64 inventory_written;
  u32 pause_ms;        // test pacing after each file operation
  u8 virtual_clock;
  u64 clock_ms;
  u8 lease_failures;
  u32 setup_failures;
  u32 wall;            // wall-clock seconds of the host's loop pass; 0xFFFFFFFF until set
  u32 older[64];       // older terms seen by the last scan
  u32 older_count;
  u32 unreadable;      // newest term whose registry could not be read
  store::Registry registry;
  fs::Listing listing;
  u64 setup_ms;        // when set-up was last tried from a carry-over step (at most once a second)
  u8 setup_tried;
  Trouble trouble;     // what was refused or failed at files of the share
  Note claim_trouble;  // why the last claim failed (kind none after a claim that worked)
  u8 full;             // a full disk was noted; the next machine whose rings could be reserved ends it
  alignas(8) u8 buffer[copy_bytes];
};

void init(Share* share, mem::Bytes folder, const auth::KeyState* key, const u8* id, u32 address, u16 port,
          u8 fixed);

// The term of listed name i in the exact lower-case form every path is rebuilt in; 0 for any other name (an
// upper-case name on a case-sensitive share would be read and deleted under another name).
u32 exact_term(const fs::Listing* listing, u32 i);
// Claims term seen + 1.
u32 claim_term(Share* share, u32 seen, u32 now);
// Claims the next free term after every term on the share. Only claims sealed by the key count, and a valid
// lease's term too: a file that merely bears a term's name holds nothing back, and is noted as foreign.
u32 claim_next(Share* share, u32 now);
// The newest claim of the folder that the key sealed: its term (0 when none) and the record. The names are listed
// in pages; up to the buffer's room the largest names are tried from the top. The largest name that is no such claim
// is noted as foreign in the trouble record when one is given.
u32 newest_claim(mem::Bytes folder, const auth::KeyState* key, fs::Listing* listing, u32* scratch, u32 room,
                 proto::Lease* claim, Trouble* trouble);
// Removes the files under claim names of terms below the given one (at most a listing page of them a call), so the
// claims folder stays small however many terms a share lives through; other names are left. The count removed.
u32 remove_old_claims(mem::Bytes folder, u32 below, fs::Listing* listing);
// Claim files kept below the newest one: candidates that saw a slightly older term still find its claimant.
constexpr u32 claims_kept = 16;
// Notes what went wrong at a file of the share (see Trouble); kind none notes nothing.
void note(Trouble* into, u32 kind, const store::Path& path);
// Notes it even when a kept note names the same cause at the same file: the cause came back after it had ended.
void note_anew(Trouble* into, u32 kind, const store::Path& path);
// True when "lease" holds a whole, sealed, valid lease record.
bool read_lease(Share* share, const auth::KeyState* key, proto::Lease* out);
// True when "claims/<term>" under the folder holds a valid claim of that very term.
bool read_claim(mem::Bytes folder, const auth::KeyState* key, u32 term, proto::Lease* out);
// 0 keep, 1 a newer term holds the share, 2 another machine holds the same term.
u32 check_lease(Share* share);
u32 take_lease(Share* share, u32 now, u64 now_ms);
u32 renew_lease(Share* share, u32 now);
// Gives the share up; with release a last lease record marked released is written when the lease is still ours.
void drop(Share* share, u32 now, bool release);
bool may_write(const Share* share, u32 now);
u64 now_ms(const Share* share);
void advance_clock(Share* share, u64 t);
void pause(Share* share);

u32 setup_term(Share* share, u32 now, u64 now_ms);
u32 write_registry(Share* share, u32 now);
u32 write_inventory(Share* share, u32 index, const proto::Inventory* inventory, u32 now);
u32 rename_machine(Share* share, u32 index, const proto::Inventory* inventory, u32 now);

}  // namespace share
