#pragma once
// The cluster host's in-memory history of up to 64 member machines. Each member's summary, about once a second, is
// folded into its open ten-second bucket (tier 0); a closed bucket waits for the host's writer and is also folded
// into five-minute (tier 1) and hourly (tier 2) accumulators, each with an energy record beside it. Bit masks tell
// the writer which machines have something pending, so the per-sample work is a handful of array updates and
// machines are found by their lowest set bit. This module also owns the tier intervals, the 16-bit rate code that
// every history record uses for byte rates, and the fair picking of machines for writing.
#include "base/bits.h"
#include "base/mem.h"
#include "base/rates.h"
#include "history/store.h"

namespace hstore {

constexpr u32 machines = 64;
constexpr u32 summary_bytes = 64;
constexpr u16 count_max = 0xFFFF;

// Seconds per record of a tier: 10, 300, 3600; 0 for any other tier.
u32 interval(u32 tier);
// Start of the tier's slot that holds time t; 0 for an unknown tier.
u32 slot_time(u32 t, u32 tier);
// Index of a tier among the upper accumulators: 0 for tiers 0 and 1, 1 from tier 2 on.
u32 upper_index(u32 tier);


// min(a + min(b, 0xFFFFFFFF), 0xFFFFFFFF).
inline u32 add_sat(u32 a, u64 b) { return bits::add_sat32(a, b); }
inline u32 energy_add(u32 a, u64 b) { return add_sat(a, b); }

// The accumulator of one bucket's worth of buckets: minima and maxima as stored (rate codes for measures 6-7) and
// the sums of the means as raw values.
struct BucketSum {
  u32 count;
  u16 min[store::measures];  // start 0xFFFF
  u16 max[store::measures];  // start 0
  u64 sum[store::measures];
};
void sum_clear(BucketSum* sum);
// Folds one bucket in: count + 1 (saturating), minima and maxima, the means decoded and added.
void part_add(BucketSum* sum, const store::Bucket* bucket);
// The bucket of the sum at a slot, term 0: rounded means, capped at 65,535 for levels and rate-coded for rates.
void part_bucket(const BucketSum* sum, u32 slot, store::Bucket* bucket);

// One upper tier's accumulators.
struct Upper {
  u64 open;
  u64 started;        // a new slot began and its bucket was not written yet
  u64 seeded;         // the slot was seeded from the share
  u64 unwritten;      // data came in since the last successful write
  u64 close_pending;  // the previous slot still had unwritten data when this one began
  u32 start[machines];
  u32 previous[machines];  // the previous slot, waiting to be written
  u16 count[machines];
  u16 min[machines][store::measures];
  u16 max[machines][store::measures];
  u32 level_sum[machines][6];  // measures 0-5, saturating
  u64 rate_sum[machines][2];   // measures 6-7, raw
  u32 energy[machines];        // saturating
  u16 seconds[machines];       // saturating
  u64 energy_flag;
  u64 energy_looked_up;  // the share was asked for the slot's energy
};

struct Store {
  u32 history_requests;
  u32 backfill_requests;
  u64 open;            // machines with an open tier-0 bucket
  u64 bucket_pending;  // machines whose closed tier-0 bucket waits for the writer
  i32 overwritten;     // closed buckets that replaced one not yet written
  i32 full;            // samples dropped because the open bucket already held 65,535
  u32 slot_number[machines];  // open bucket's slot: seconds / 10
  u16 count[machines];
  u16 min[machines][store::measures];  // as stored: rate codes for measures 6-7
  u16 max[machines][store::measures];
  u64 sum[machines][store::measures];  // raw values
  store::Bucket closed[machines];
  u64 upper_changed;  // upper tiers took a closed bucket since the writer last wrote them
  Upper upper[2];     // tiers 1 and 2
  u16 failures[machines];
  u32 energy[machines];          // open bucket: power readings summed, tenths of a joule
  u16 power_seconds[machines];   // open bucket: readings summed
  u64 energy_flag;               // open bucket: the sum is uncertain
  store::Energy closed_energy[machines];
};

void init(Store* store);
// Takes one 64-byte summary of the machine at index (ignored above 63) at wall time now (seconds).
void add(Store* store, u32 index, const u8* summary, u32 now);
// Closes the machine's open bucket: it becomes pending for the writer and goes into the upper tiers.
void close(Store* store, u32 index);
// Closes every open bucket whose slot has passed (once per host tick).
void close_due(Store* store, u32 now);
// Closes every open bucket (host shutdown).
void close_all(Store* store);

// Upper tiers (tier 1 or 2).
void tiers_add(Store* store, u32 index, const store::Bucket* bucket, const store::Energy* energy);
void tier_start(Store* store, u32 tier, u32 index, u32 time);
void tier_fold(Store* store, u32 tier, u32 index, const BucketSum* sum);
// The current content of an accumulator for writing; false (output zeroed) for a bad index or tier.
bool tier_bucket(const Store* store, u32 index, u32 tier, store::Bucket* bucket);
bool tier_energy(const Store* store, u32 index, u32 tier, store::Energy* energy);
// Takes what the share already holds for the current slot into the accumulator.
void seed(Store* store, u32 index, u32 tier, const BucketSum* sum);
void energy_seed(Store* store, u32 index, u32 tier, const store::Energy* energy);

// Adds n to a machine's failure count, saturating at 65,535.
void count_failure(u16* failures, u32 index, u32 n);
// Moves a machine's whole state when the host moves a member; the from slot is left empty.
void move_row(Store* store, u32 to, u32 from);
// The mask with bits to and from cleared and bit to set to the old bit from.
u64 swap_bit(u64 mask, u32 to, u32 from);

// The head of a history answer: row count, tier, scope and machine id.
struct AnswerHead {
  u32 rows;
  u8 tier;
  u8 scope;  // 0 one machine, 1 the cluster
  u8 id[16];
};
// Counts a history request (its payload: machine id at 0, tier at 16, scope at 17) and starts its answer; false with
// nothing counted when the request is shorter than 18 bytes.
bool history(u32* counter, mem::Bytes request, AnswerHead* answer);
// Counts a backfill request when its id has 16 bytes and it holds at most 60 rows.
bool backfill(Store* store, u64 id_length, u32 rows);

// Picking machines for the writer.
// The lowest min(n, 64) set bits of the mask.
u64 pick(u64 mask, u32 n);
// The same, counted from bit start onwards (wrapping).
u64 pick_from(u64 mask, u32 n, u32 start);
// Where the next pick begins: the first set bit left over after pick_from, or start when none is left.
u32 start_after(u64 mask, u32 n, u32 start);

// The host's verdicts around the share: the lease watch before it holds a term, its stop reasons and their words.

struct Watch {
  u32 term;
  u32 counter;
  u32 changed;  // share time of the last change
  u8 seen;
};
void watch_init(Watch* watch);
// What one look at the lease says: 0 keep watching, 1 a live host holds the share, 2 claim now.
u32 turn(const Watch* watch, bool missing, bool valid, u32 term, u32 counter, bool released, u32 now);
// turn, then the watch takes the look in.
u32 observe(Watch* watch, bool missing, bool valid, u32 term, u32 counter, bool released, u32 now);
u32 stop_of(bool stopped, u32 result, u32 lease_failures, u32 flags);
u32 refusal(bool have_id, u32 selftest_verdict, bool force_share);
bool yields_on(u32 reason);
u32 exit_of(u32 reason);
mem::Bytes stop_word(u32 reason);
mem::Bytes verdict_word(u32 verdict);

}  // namespace hstore
