#pragma once
// Acting on a process of the live process table: the facts the Processes page's context menu shows, the identity
// check that keeps an action from reaching a process whose id was reused, ending a process, reading its program's
// path and showing that program in the desktop's file browser.
//
// A process is always held by a handle that pins it (on Linux a process descriptor) and checked against the start
// key of its table row after the handle was opened, so a signal never goes to a process number that may have passed
// to another process. Codes are those of the page's rules (proclist): 0 same process, 1 done, 3 the id belongs to
// another process, 4 ended, 5 refused, 6 failure, 12 path too long, 13 program file gone, 15 exiting.
#include "base/mem.h"

namespace procact {

// A process that was opened and checked; fd is 0 when none.
struct Handle {
  u64 fd;  // descriptor + 1
  u32 pid;
};

inline constexpr u32 path_most = 4096;

// The start key of a live process (seconds after boot of its creation, the process table's rule): 0 with the key,
// 4 when the process is gone, 5 when its facts cannot be read.
u32 start_key(u32 pid, u32* key);
// Opens the process and checks that it is still the one with that start key: 0 with the handle, else 3, 4 or 5.
u32 open_checked(u32 pid, u32 start, Handle* out);
void close(Handle* h);
// open_checked without keeping the handle.
u32 check_alive(u32 pid, u32 start);
// The program file of the opened process (UTF-8): 0 with the length, 12 when it does not fit the capacity, 5 when
// it cannot be read (another user's process, a kernel thread).
u32 image_path(const Handle& h, u8* buffer, u32 capacity, u32* length);

// A process the system needs: on Linux the first process (ending it stops the system) or a kernel thread; on
// Windows one the system marked critical (ending it stops the system).
bool is_critical(u32 pid);
// A process no program may act on: on Linux a kernel thread; on Windows a protected process.
bool is_protected(u32 pid);
// This program may signal other users' processes.
bool elevated();
// The process is ending (a zombie, or the kernel is taking it down; on Windows, the system is deleting it).
bool exiting(u32 pid);
// Whether this program may end the process: 0 yes, 5 refused, 4 gone.
u32 end_access(u32 pid);

// The facts of a live process (bits of proclist's fact mask: ended, exiting, system, protected, elevated, query and
// end refused, path failed or too long).
u32 assess(u32 pid, u32 start);
// The checked process's program path: 0 with the length, else a code.
u32 path_of(u32 pid, u32 start, u8* buffer, u32 capacity, u32* length);
// The file browser's command line that selects one file (16-bit units, a terminating 0): the units written, 0 when
// the path cannot be put in it. The page's own rule; Windows starts its file browser with it.
using SelectLine = u32 (*)(const u16* path, u32 length, u16* buffer, u32 capacity);
// Shows the program of the checked process in the file browser: 1 done (when real; else only checked), 13 when the
// file is gone, 6 when no file browser could be started (or no line could be built), or the identity code.
u32 open_location(u32 pid, u32 start, bool real, SelectLine line = nullptr);
// Ends the checked process at once: 1 done, else 3, 4, 5, 15 or 6.
u32 end_process(u32 pid, u32 start);

// The file browser's request for one path: the path as a "file://" URI with every byte outside letters, digits and
// "-._~/" percent-encoded. The length, or 0 when it does not fit or the path is not absolute.
u32 file_uri(mem::Bytes path, u8* out, u32 capacity);
// The folder part of an absolute path (up to its last '/', which is kept only for "/").
mem::Bytes folder_of(mem::Bytes path);
// Shows the file in the desktop's file browser: asks the browser to select it, else opens its folder; programs are
// started with their arguments as a list, never through a shell. 1 when one of them took the request, else 6.
u32 show_file(mem::Bytes path);

}  // namespace procact
