#pragma once
// The collector feed: the block through which the `--collector` child samples this machine for its parent, and the
// slot mechanism that every worker block shares (names, common words, sequence-locked slots).
//
// The feed block is a 128-byte header of u32 words and three regions of slots: four usage frames (so a parent may
// lag three frames without loss), two hardware frames and two process tables. The parent writes the header once and
// afterwards only the request words and the stop word; the child writes everything else. The child samples only
// when asked: a usage frame at most every 250 ms, a process table at most once a second. Between requests it
// sleeps on the block's request event (child::ask sets it), so an idle child costs next to nothing.
#include <stddef.h>

#include "base/mem.h"
#include "platform/os.h"
#include "sampling/collect.h"
#include "sampling/hw.h"
#include "sampling/model.h"
#include "sampling/ring.h"
#include "sampling/usage.h"

namespace child {
struct Section;
}

namespace feed {

// "Local\Vimbrel-feed-" and 32 lower-case hexadecimal digits of 16 random bytes: 51 bytes.
inline constexpr u64 name_prefix_length = 19;
inline constexpr u64 name_length = name_prefix_length + 32;
mem::Bytes name_prefix();
// Builds the name from 16 random bytes into 64 bytes: its length, or 0 (and nothing usable) when the source fails.
u64 name_make(os::RandomSource source, u8* buffer64);
// Exactly the prefix followed by 32 characters each in 0-9 or a-f.
bool name_ok(mem::Bytes name);

// The words every block has at the same place (u32, little-endian).
enum : u32 { magic_at = 0, parent_pid_at = 12, stop_at = 40, heartbeat_at = 44 };

// A region of slots: each slot is a u64 sequence word and the record, one stride apart.
struct Region {
  u32 first;
  u32 stride;
  u32 slots;
  u32 record_size;
};
// ((record size + 71) / 64) x 64: the sequence word and the record, rounded up to whole cache lines.
u32 slot_stride(u32 record_size);
// Where the slot of frame n (n >= 1) begins.
u64 slot_offset(const Region& region, u32 n);
// n is not 0, the region has slots, the record is the region's size and the slot lies inside the view.
bool slot_fits(u64 view_size, const Region& region, u32 n, u64 record_size);
// The copy is good only when the sequence word read before and after it were both 2n.
inline bool read_agrees(u64 before, u64 after, u32 n) { return before == after && before == 2 * u64{n}; }
// The first frame worth reading after frame last when newest is published: never more than slots - 1 back, as
// the oldest slot may already be under rewrite (with one slot the newest frame is still tried).
u32 first_unread(u32 last, u32 newest, u32 slots);

// Bounded access to the view: a read whose bytes are not all inside the view yields 0, a write outside is skipped
// and answers false. Aligned words are read and written whole.
u32 get32(const u8* view, u64 view_size, u64 offset);
bool put32(u8* view, u64 view_size, u64 offset, u32 value);
u64 get64(const u8* view, u64 view_size, u64 offset);
bool put64(u8* view, u64 view_size, u64 offset, u64 value);

// Writes frame n into its slot under the sequence lock; false (nothing touched) when the slot does not fit.
bool slot_write(u8* view, u64 view_size, const Region& region, u32 n, mem::Bytes record);
// Copies frame n out of its slot into record; false when the slot does not fit or the copy was torn or stale (the
// copy must then not be used).
bool slot_read(const u8* view, u64 view_size, const Region& region, u32 n, mem::Slice record);
// Makes n the region's newest frame in the header word at offset.
bool publish_seq(u8* view, u64 view_size, u64 offset, u32 n);
// slot_write, then publish_seq.
bool frame_put(u8* view, u64 view_size, const Region& region, u64 published_at, u32 n, mem::Bytes record);

// ---- The feed block.

enum : u32 {
  feed_version = 1,
  version_at = 4,
  size_at = 8,
  state_at = 16,
  usage_request_at = 20,
  usage_published_at = 24,
  table_request_at = 28,
  table_published_at = 32,
  hardware_published_at = 36,
  usage_size_at = 48,
  hardware_size_at = 52,
  table_size_at = 56,
  child_pid_at = 60,
  epoch_at = 64,
  header_bytes = 128,
};
// Child states.
enum : u32 { state_starting = 0, state_running = 1, state_failed = 2, state_stopped = 3 };
// Exit codes of the child.
enum : u32 { exit_done = 0, exit_block = 3, exit_collector = 4 };
// The magic "VBFD" as the little-endian word at offset 0.
inline constexpr u32 magic = 0x44464256u;

// A usage frame: the usage record with its temperatures, the sample row that goes with it, and the collector's
// processor performance (thousandths of a percent of the base clock).
struct UsageFrame {
  usage::Usage usage;
  ring::Row row;
  u32 performance;
  u32 zero;
};
static_assert(sizeof(UsageFrame) == 4256 && offsetof(UsageFrame, performance) == 4248);

// A hardware frame: both decoded records and the collector's hardware change count they came from.
struct HardwareFrame {
  hw::Hardware hardware;
  hw::Adapters adapters;
  u32 changes;
  u32 zero;
};
static_assert(sizeof(HardwareFrame) == 11080 && offsetof(HardwareFrame, changes) == 11072);

struct Layout {
  u32 size;  // of the whole block
  Region usage;
  Region hardware;
  Region table;
};
// The regions one after another behind the header: 4 usage, 2 hardware and 2 table slots of the given sizes.
Layout layout_of(u32 usage_size, u32 hardware_size, u32 table_size);
// The layout of this build's records: 326,784 bytes.
void layout_init(Layout* layout);

// The parent's one write of the header: zeroes the block, then magic, version, size, its process id, state 0,
// usage request 1 and the record sizes.
void header_init(u8* view, u64 view_size, const Layout& layout, u32 parent_pid);
// Magic, version, size word equal to the layout's, and a view at least that large.
bool header_ok(const u8* view, u64 view_size, const Layout& layout);
// header_ok and the three record sizes equal to the layout's.
bool header_matches(const u8* view, u64 view_size, const Layout& layout);

// ---- Reader checks: a frame copied out of the block is used only when it passes.

// Every one of the n bytes is at most limit.
bool bytes_ok(const u8* bytes, u32 n, u32 limit);
// Every one of the n u16 values is at most 10,000.
bool percents_ok(const u16* values, u32 n);
// Every one of the n u16 values is below bound.
bool all_below(const u16* values, u32 n, u32 bound);
bool usage_ok(const usage::Usage* u);
bool extra_ok(const ring::Row* row);
bool usage_frame_ok(const UsageFrame* frame);
bool hardware_frame_ok(const HardwareFrame* frame);
bool table_frame_ok(const model::ProcTable* table);

// ---- The collector child.

// The child's working memory (one arena) and what it keeps between rounds.
struct Child {
  child::Section* section;
  u64 parent;  // handle on the parent's process
  Layout layout;
  mem::Arena arena;
  collect::State* collector;
  collect::Sample* sample;
  collect::ProcSample* procs;
  usage::ProcWalk* walk;
  model::ProcTable* table;
  usage::ProcCounters* counters;
  UsageFrame* usage;
  HardwareFrame* hardware;
  usage::RateState rates;
  usage::ProcRateState proc_rates;
  u32 usage_count;
  u32 table_count;
  u32 hardware_count;
  u32 hardware_changes;  // the collector's change count last published
  u32 rounds;
  u32 collector_open;
  u64 last_sample_ms;
  u64 last_table_ms;
  u32 tables_taken;  // 0 until the first table
  u32 zero;
};
inline constexpr u64 child_arena_bytes = 2500272;

// The `--collector` mode on the named section; its result is the exit code: 0 after a stop or when the parent
// ended, 3 when the block cannot be used or its parent cannot be watched, 4 when the collector cannot be opened or
// its first sample fails.
u32 main(mem::Bytes section_name);
// Checks the header, carves the arena (reserved by the caller) and clears the rate state; false leaves nothing
// written to the block.
bool child_init(Child* c, child::Section* section);
// Opens the collector and publishes the first usage frame: state 1; else state 2 and false.
bool child_start(Child* c, u64 now);
// One round: 0 to go on, 1 when the stop word is set, 2 when the parent has ended.
u32 child_step(Child* c, u64 now);
// Closes the collector and releases the process buffer: state 3.
void child_close(Child* c);
// A usage frame from the newest system sample (and a hardware frame first when the hardware changed).
void put_usage(Child* c);
void put_hardware(Child* c, u32 changes);
void put_procs(Child* c, u64 now);
// No table taken yet, or the last one is at least 5,000 ms old: the next table restarts the rates.
bool procs_stale(const Child* c, u64 now);
// The request is one or two above the tables published, and the rates are stale or a second has passed.
bool procs_due(const Child* c, u64 now);
// A child that sleeps on its request event wakes at least this often: its heartbeat still moves and an ended
// parent is seen within it.
inline constexpr u32 idle_wait_ms = 500;
// A child without a request event looks at the request words this often.
inline constexpr u32 round_ms = 50;
// How long the child may sleep on its request event: until a request it holds can be served (the 250 ms between
// usage samples, the second between tables), else idle_wait_ms.
u32 next_wait(const Child* c, u64 now);

// True when the argument is the collector child's mode word, "--collector".
bool is_option(mem::Bytes word);

}  // namespace feed
