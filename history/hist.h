#pragma once
// History ranges and the chart table of one stored range. A chart shows a measure over one of six ranges; the two
// short ones come from the live sample ring alone, the four stored ones from history buckets merged with live
// samples as they arrive. The table is a ring of columns of fixed length holding minimum, mean and maximum of up to
// two measures (or energy and power) per column. It asks for buckets chunk by chunk from the coarsest tier down,
// folds the answers in, and scrolls as time passes. Column times are u32 seconds and the first column of a long
// range can lie before the epoch, so every comparison with it is a modular difference.
#include "base/bits.h"
#include "base/mem.h"
#include "history/store.h"

namespace ring {
struct Ring;
struct Row;
}

namespace hist {

constexpr u8 no_measure = 255;
constexpr u8 energy_measure = 8;
constexpr u32 no_sequence = 0xFFFFFFFFu;

// Table states.
enum State : u8 { state_asking = 0, state_data = 1, state_empty = 2, state_no_source = 3, state_unreachable = 4 };

// r when below 6, else 0.
u32 clamp_range(u32 range);
u32 range_seconds(u32 range);
// Columns of a range; 0 for the live-only ranges.
u32 range_rows(u32 range);
u32 row_seconds(u32 range);
// The tier a range asks first.
u32 first_tier(u32 range);
u32 range_of_seconds(u32 seconds);

struct Table {
  u32 first;           // start of the first column (may have wrapped below the epoch)
  u32 column_seconds;
  u32 columns;
  u32 start;           // physical index of logical column 0
  u32 changes;         // raised by every change a chart must redraw for
  u32 folded;          // buckets folded
  u32 newest;          // newest time seen
  u32 earliest;        // earliest time the current tier still keeps
  u32 range_end;
  u32 next_start;      // next request start
  u32 ask_start, ask_end, ask_count;
  u32 answered_rows;   // saturating
  u8 range, tier, state, asking;
  u8 sent;             // the open request went out; a source clears it to send it again after a reconnect
  u8 measure[2];       // 255 = none
  u8 energy;           // bound for energy (measure 8)
  u8 id[16];
  u16* count;          // per column, saturating
  u64* sum[2];
  u32* min[2];         // empty 0xFFFFFFFF
  u32* mean[2];
  u32* max[2];
  u64* energy_sum;     // energy tables: tenths of a joule
  u32* seconds;
  u32* watts;          // mean power, tenths of a watt
  u32 live_sequence;   // of the live ring; no_sequence for none
};

// Arena bytes for a range's columns and the number of measures (1 for an energy table); 0 without columns.
u64 table_bytes(u32 range, u32 measures);
// n bytes from the arena aligned to 64; null when it is full.
void* take(mem::Arena* arena, u64 n);
// Sets the table up for a range and measures and restarts it at now; false for a range without columns or an arena
// too small. Measure 0 of 8 makes an energy table; a measure of 8 or more in slot 1 is none.
bool bind(Table* table, mem::Arena* arena, u32 range, u8 measure0, u8 measure1, const u8* id16, u32 now);
void restart(Table* table, u32 now);

// Requests.
bool ask(Table* table, u32 bucket_count);
u32 chunk_end(u32 start, u32 range_end, u32 count, u32 tier);
bool wants(const Table* table, u32 tier, u32 scope, const u8* id16);
void answered(Table* table, u32 rows);
bool fold(Table* table, const store::Bucket* bucket);
bool fold_energy(Table* table, const store::Energy* energy);
// Buckets per request that fit a frame buffer of this many bytes, at most 768.
u32 chunk_buckets(u32 frame_bytes);

// Live samples.
// What the measures of a live sample are taken relative to: the machine's memory and its GPUs' memory.
struct Totals {
  u32 memory_mib;
  u32 gpu_count;
  u32 dedicated_mib[4];
  u32 shared_mib[4];
};
// The eight measure values of a sample row, as the machine summary takes them: levels in hundredths of a percent,
// rates raw (not coded). Video memory counts shared memory when every GPU has at most 512 MiB dedicated and some
// shared memory, as the summary does, so live and stored parts of a chart agree.
void values_of(const ring::Row* row, const Totals* totals, u32 (&values)[store::measures]);
bool live(Table* table, u32 now, const u32 (&values)[store::measures]);
bool live_energy(Table* table, u32 now, u64 energy, u32 seconds);
// Takes the rows of the sample ring pushed since the last call (energy tables only); returns how many.
u32 live_ring(Table* table, u32 now, const ring::Ring* samples, u32 sequence);
u32 fresh_count(u32 sequence, u32 last, u32 limit);
void advance(Table* table, u32 now);

// Reading.
bool row_values(const Table* table, u32 logical, u32 slot, u32* min, u32* mean, u32* max);
bool row_energy(const Table* table, u32 logical, u64* energy, u32* seconds);
u64 energy_total(const Table* table, u32* seconds);
u32 most_watts(const Table* table);
u32 most_avg(const Table* table, u32 slot);

// Arithmetic.
u32 percent(u64 a, u64 b);
inline u32 add_sat(u32 a, u32 b) { return bits::add_sat32(a, b); }
u32 mean(u64 sum, u64 count);
inline u32 row_watts(u64 energy, u64 seconds) { return mean(energy, seconds); }
// Energy for display from tenths of a joule: hundredths of a watt-hour below 10 Wh, tenths below 1,000 Wh, else
// hundredths of a kilowatt-hour; rounded half up.
u64 energy_shown(u64 energy);
// Seconds a tier's bucket ring keeps.
u32 kept_seconds(u32 tier);

// Column arithmetic.
u32 first_row(u32 time, u32 column_seconds, u32 n);
i32 row_at(u32 time, u32 first, u32 column_seconds, u32 n);
u32 physical(const Table* table, u32 logical);
// The physical column of the time, with its sample count raised; false outside the table.
bool row_for(Table* table, u32 time, u32* column);
u32 clip_from(u32 first, u32 end, u32 tier);
void clear_row(Table* table, u32 column);
void put(Table* table, u32 column, u32 slot, u32 min, u64 addend, u32 max);

}  // namespace hist
