#pragma once
// Named events and mutexes between processes of one user that are not parent and child: stop and wake requests,
// and roles that only one process may hold. Names are ASCII: "Local\" and a name of printable characters without
// "/", "\" or "..", at most 99 bytes in all. On Linux the objects are files in the user's runtime folder,
// $XDG_RUNTIME_DIR/vimbrel (else /tmp/vimbrel-<uid>), which is made private (0700) and refused when another user
// owns it, when group or others have any access to it, or when it is not a plain folder; each object is removed
// by its owner when the owner lets it go.
#include "base/mem.h"

namespace store {
struct Path;
}

namespace kobj {

// An open object; 0 is none.
using Handle = u64;

inline constexpr u32 name_max = 99;

// The name widened one unit per byte, with a terminating 0 unit, into 100 units: the units written, 0 for a name
// that is empty, longer than 99 bytes or not ASCII.
u32 wide_name(mem::Bytes name, u16* buffer100);
// "Local\Vimbrel-quit-" and the process id as 8 lower-case hex digits, into 96 bytes; the length.
u32 quit_event_name(u32 process_id, u8* buffer96);

// The quit event of this process: manual reset, not set. Whoever wants the process to stop sets it by name; once
// set it stays set. 0 on failure, also when a live process already owns an event of that name.
Handle create_quit_event();
// Makes SIGTERM and SIGINT set this process's quit event (a stop asked by a signal is a stop asked by the event), so
// that the loop waiting on it ends in order. 1 when the handlers are in place; a later call moves them to the new
// event; 0 for a handle that is not a manual event.
u32 stop_on_signals(Handle quit_event);
// An auto-reset event, not set: one wait consumes one wake, however many sets came before it.
Handle create_event(mem::Bytes name);
// Opens another process's auto-reset event to wait on it (the owner keeps the name): 0 when no process owns one
// of that name. Closing this handle leaves the event and its name to the owner.
Handle open_event(mem::Bytes name);
// Sets the event of that name: 1, or 0 when no process owns one (nothing is created).
u32 signal_event(mem::Bytes name);
// Sets an event this process holds (created or opened): 1, or 0 for 0 or a handle that is no event. A caller that
// sets the same event again and again keeps it open and sets it this way, without finding it by name each time.
u32 set(Handle event);
inline u32 wake(mem::Bytes name) { return signal_event(name); }
// Waits up to the time-out for the event to be set: 1 when it is (an auto-reset event is reset again), else 0.
u32 wait(Handle event, u32 timeout_ms);
// A descriptor that reads as readable while the event is set, for a loop that waits on sockets and events at once
// (a poll set entry asking for reading); invalid for other handles.
u64 pollable(Handle event);

// Takes the mutex, waiting up to the time-out: its handle, or 0 on time-out or failure. A mutex whose holder ended
// without letting go is free, so it is taken (what it guarded may be half done). A process takes a name once.
Handle take_mutex(mem::Bytes name, u32 timeout_ms);
// 1 when a process holds the mutex (without taking it).
u32 mutex_exists(mem::Bytes name);
// Lets go of a taken mutex and closes it; nothing for 0.
void release_mutex(Handle mutex);
// Closes any handle (an event is removed; a mutex closed without release_mutex is let go as by a process that
// ended); nothing for 0.
void close(Handle handle);

// The runtime folder, made when missing: 1 with its path, 0 when it cannot be made, is refused or does not fit.
u32 runtime_folder(store::Path* out);
// Why runtime_folder refuses, naming the folder, into out; 0 when it takes it.
u64 runtime_refusal(mem::Slice out);
// The file of a named object in the runtime folder: "Local\" dropped, then the name and the suffix (which may be
// empty). 0 for a refused name or folder.
u32 object_path(mem::Bytes name, mem::Bytes suffix, store::Path* out);

}  // namespace kobj
