#pragma once
// Worker children. No process of the system starts a thread: work that must run beside a waiting loop runs in a
// child process of the same executable, and parent and child talk only through one private named section that the
// parent creates. The parent draws a new random name for every start, creates the section, starts its own
// executable bound to a job (the child dies with the parent however the parent ends) with the child's option and
// the name, and finishes it by the stop word or ends it at once.
//
// Every block begins with the same words (below). Records pass through regions of sequence-locked slots: the
// writer makes the slot's sequence word odd, copies the record, and makes it even again, with full fences between;
// a reader that sees the word change or odd around its copy drops the copy. Exactly one process writes each word
// and each region, so readers never lock.
#include "base/mem.h"
#include "platform/os.h"
#include "platform/proc.h"
#include "platform/section.h"

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

}  // namespace feed

namespace child {

inline constexpr u64 name_capacity = 64;

// One child and its section (the parent's), or the child's view of its parent's section.
struct Section {
  section::Section shared;  // the section itself
  u8* view;
  u64 view_size;            // the section size rounded up to whole 4 KiB pages; every access is bounded by it
  proc::Child process;      // the child's process, its job and its id (parent side)
  u8 name[name_capacity];
  u64 name_length;
};

// ---- Parent side.

// Draws a new name and creates a section of that name and at least size bytes, mapped for reading and writing.
// False, with the record cleared, when random bytes are missing or the section cannot be made (a name that a live
// section holds is never shared).
bool create_section(Section* section, u64 size);
// Starts this executable with "<option> <name>" bound to a job. False with no child running.
bool start(Section* section, mem::Bytes option);
bool start_collector(Section* section);
bool is_running(Section* section);
// Ends the child at once, reaps it, and unmaps and closes the section.
void stop(Section* section);
// Asks the child to end through the stop word, waits up to the time, ends it when it has not ended (waiting up to
// 5,000 ms more), and unmaps and closes the section.
void finish(Section* section, u32 milliseconds);
void unmap(Section* section);

// ---- Child side.

// Opens the parent's section by a name that name_ok accepts and maps all of it; false with the record cleared.
bool open_section(mem::Bytes name, Section* section);
// A handle to watch the process (0 when it is gone or cannot be opened).
u64 open_parent(u32 process_id);
// The handle is set and its process has ended.
bool process_ended(u64 handle);
void close_handle(u64 handle);

// One round of a child's loop on its view: the heartbeat goes up by one; answers 0 to go on, 1 when the stop word
// is set, 2 when the parent has ended.
u32 round(Section* section, u64 parent);

}  // namespace child
