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
#include "platform/kobj.h"
#include "platform/os.h"
#include "platform/proc.h"
#include "platform/section.h"
#include "sampling/feed.h"


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
  kobj::Handle requests;    // the request event (see make_requests), 0 when none
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
// Unmaps and closes the section and the request event.
void unmap(Section* section);

// ---- Requests. A child that only works when its parent asks sleeps on the block's request event instead of
// waking every round to look at the request words. The event is named after the section (request_name); the
// parent makes it and sets it after each request word it writes, the child opens it and waits on it.

// The request event's name into 64 bytes: the section's name and "-ask" (sections and events share one namespace
// on Windows, so the event cannot have the section's own name). Its length, 0 when the section has no name.
u64 request_name(const Section& section, u8* out64);

// Makes the request event of a created section; false when it cannot be made (a child then looks at the words
// every round, as it does without one).
bool make_requests(Section* section);
// Writes a request word and sets the request event; a word that holds the value already is left alone.
void ask(Section* section, u64 at, u32 value);
// Child side: opens the parent's request event; false when the parent made none.
bool open_requests(Section* section);
// Waits until the parent asks or the time passes: true when it asked. Without an event it only sleeps.
bool wait_request(Section* section, u32 milliseconds);

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
