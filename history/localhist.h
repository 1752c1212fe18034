#pragma once
// This machine's own history. A desktop window that does not publish to a cluster host folds each tick's summary of
// this machine into ten-second buckets and writes them, with their five-minute and hourly roll-ups, into three ring
// files under the per-user data folder: "<LOCALAPPDATA>/Vimbrel/history/<machine id>/t0.ring", "t1.ring" and
// "t2.ring". The charts of stored ranges read them back. A machine that publishes keeps its history on the host.
//
// Crash safety: every record is written before the head that counts it, and heads are sealed. On opening, a head
// that checks is taken and up to 8 records written after it are adopted (a writer that ended between a record and
// its head loses nothing); a head that does not check (torn, another key, another type) is rebuilt from the records
// and rewritten, so the records are kept. A failed write changes nothing in memory: the next append goes to the
// same index, and what was written stays.
//
// The other half of the same namespace, the source that fills the charts' table, is views/histsource.
#include "base/mem.h"
#include "history/hstore.h"
#include "history/store.h"

namespace cluster {
struct PublishSettings;
}
namespace hub {
struct SummaryInputs;
}
namespace ring {
struct Row;
}

namespace localhist {

// Results.
enum : u32 { ok = 0, in_use = 1, not_found = 2, failed = 3 };
// How a head was loaded.
enum : u32 { head_accepted = 0, head_adopted = 1, head_rebuilt = 2, head_empty = 3 };

inline constexpr u32 rings = 3;
// Ticks before the next open after a failed one: files in use by another process, or any other failure.
inline constexpr u8 retry_in_use = 60;
inline constexpr u8 retry_other = 10;
// Records adopted after an accepted head at the most.
inline constexpr u32 adopt_max = 8;

// The fixed text whose key seals the heads of these files.
mem::Bytes key_text();

struct Ring {
  u64 file;         // share-layer handle slot, 0 when closed
  store::Place at;  // next index, filled count, newest slot and runs, as the head keeps them
};

// Flags of the writer.
enum : u8 { base_open = 1, tier1_started = 2, tier2_started = 4 };

struct Writer {
  u8 flags;
  // The open ten-second bucket: minima and maxima as stored (rate codes for measures 6-7), sums of the raw values.
  u32 slot_number;  // seconds / 10
  u32 not_summed;   // samples that came while the count was full (saturating)
  hstore::BucketSum base;
  // Tiers 1 and 2: the start time of the accumulated bucket and the sums of the base buckets' means.
  u32 tier_start[2];
  hstore::BucketSum tier[2];
  Ring ring[rings];
  u32 last_sequence;  // sample sequence number last taken
  // Saturating counters.
  u32 appended;
  u32 write_failures;
  u32 rebuilt;    // heads rebuilt from records
  u32 rewritten;  // newest records rewritten in place
  u32 stepped;  // records written at their own time below a ring's newest slot (the ring stepped back)
  u8 open;
  u8 full;  // a write failed for want of space and it was said; a write that works again ends it (kept by open)
  u8 ahead_said;  // the line on history stored ahead of this computer's clock was written (kept by open)
};

// The result of a share-layer code: 0 ok, in use 1, not found 2, any other 3.
u32 file_code(u32 io_code);
// Seconds since 2025-01-01 00:00 UTC by the wall clock (0 before it).
u32 now();
// History is kept only outside the test mode, while publishing is off or names no target.
bool wanted(bool test_mode, const cluster::PublishSettings* settings);

// "<folder>/history/<32 hex digits of the id>", each folder made in turn when create is set (the folder itself with
// whatever is missing above it). 2 for an id shorter than 16 bytes, 3 when the path does not fit.
u32 path(mem::Bytes folder, mem::Bytes id, bool create, store::Path* out);

// "<LOCALAPPDATA>/Vimbrel"; false when LOCALAPPDATA is unset, empty or too long.
bool data_folder(store::Path* out);
// Opens (creating when missing) the three ring files for this machine id; on failure nothing stays open.
u32 open(Writer* writer, mem::Bytes folder, mem::Bytes id);
// Writes the open base bucket, then closes the files. Nothing for a closed writer.
void close(Writer* writer);
// When the countdown allows: opens under LOCALAPPDATA's "Vimbrel" folder with the machine id of the settings, and
// sets the countdown after a failure. Missing settings, id or LOCALAPPDATA (or one too long) set no countdown.
u32 start(Writer* writer, u8* countdown, const cluster::PublishSettings* settings);
// The window's 1-second tick: opens, closes or feeds the writer with this machine's summary of its newest sample
// row (null while its sample ring is empty); sequence is the machine's sample count.
void drive(Writer* writer, u8* countdown, bool test_mode, const cluster::PublishSettings* settings, u32 sequence,
           const ring::Row* newest, const hub::SummaryInputs* inputs);

// One tick: writes the base bucket when its ten seconds have passed, then takes the sample when its sequence number
// is new (no summary: no sample yet, as when the sample ring is empty after its source restarted). 3 when the
// writer is not open.
u32 tick(Writer* writer, u32 sequence, const u8* summary, u32 now);
void add(Writer* writer, const u8* summary, u32 now);
// Writes the base bucket when it is open and now lies in another ten-second slot.
void flush_due(Writer* writer, u32 now);
// Closes the base bucket and writes it with the tiers' current buckets; nothing when none is open.
void put(Writer* writer);

// The bucket of the open base bucket (term 1), folded into both tiers; the answer has bit t set when tier t began a
// new bucket with it.
u32 close_base(Writer* writer, store::Bucket* bucket);
// After a restart within a tier's period: folds the tier-0 records of [period start, time) into the tier.
void roll_up(Writer* writer, u32 tier, u32 time);
// The tier's current bucket (term 1).
void tier_bucket(const Writer* writer, u32 tier, store::Bucket* bucket);
u32 append(Writer* writer, u32 ring, store::Bucket* bucket);
u32 rewrite_last(Writer* writer, u32 ring, store::Bucket* bucket);

// Reads the ring's head, or rebuilds it from the records; state is one of head_*. 3 when the file cannot be read.
// A head whose newest slot lies ahead of the clock is taken as it is: the next record steps the ring back and is
// stored at its own time, so the slot ahead never becomes the floor of later ones, and what lies ahead is kept.
// Records written after the head are adopted only up to latest (a day past the wall clock).
u32 load_head(u64 file, u32 type, u32 latest, store::Place* at, u32* state);
// The write position follows the last record of a ring that never went round; in a full ring it is where the slots
// go down after the newest record not beyond latest, when the clock (a day before latest) leaves time for the
// records between to have been written after it; else it follows that newest record. Every place where the slots
// go down, in write order from there, begins a run (the last two named, more make the first run mixed), so readers
// take every record.
u32 rebuild_head(u64 file, u32 type, u32 latest, store::Place* at, u32* state);
u32 write_head(Writer* writer, u32 ring);

}  // namespace localhist
