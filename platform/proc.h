#pragma once
// Child processes. The program starts no threads: work beside a mode runs in a child process, usually of the same
// executable. Children start in three ways:
// - bound to a job: the child and whatever it starts in turn are ended when the job is closed, and the child ends
//   with its parent however the parent ends (on Linux: the child leads a process group of its own, which closing
//   ends, and gets a kill signal when its parent ends);
// - piped: bound to a job as well, with standard output and error into one pipe that the parent drains;
// - detached: outlives its parent, with nothing of the parent's but its environment.
// Every start reports whether the program could be started before it returns (a missing or refused executable is
// a failed start, never a child that ends at once), and no descriptor of the parent reaches a child except the
// standard three. Every child that is closed after it ended, or bound to a job, is reaped.
//
// Linux keeps only 8 bits of an exit code. A child of this program started here also gets a channel on which its
// exit (os::exit_process) passes the full 32-bit code; exit_code prefers that word, and any other child's code
// reads as it is.
//
// Arguments are one text, split into words by os::next_token's rules, so a child sees the words a command line of
// the same text gives it on any system.
#include "base/mem.h"

namespace proc {

// Paths and command lines in 16-bit units (the system's own wide text).
inline constexpr u32 path_units = 1100;
inline constexpr u32 command_line_units = 1700;
// Arguments of the first family (wide path) and of the second (UTF-8 path) at most.
inline constexpr u32 arguments_max = 256;
inline constexpr u32 piped_arguments_max = 512;

// The executable to start: NUL-terminated units and their count.
struct ExePath {
  u16 units[path_units];
  u64 length;
};

// A started child; all zero when none. Handles are 0 when not set.
struct Child {
  u64 process;      // the process (on Linux a process descriptor, so a reused process id is never mistaken for it)
  u64 job;          // the job, 0 when started without one (on Linux the child's process group)
  u32 process_id;
  u32 ended;        // 1 once the end was seen; exit_code then holds the code
  u32 exit_code;
  u32 terminated;   // ended by kill or terminate: a child killed so reads exit code 1
  u64 exit_word;    // the channel of the full exit code
};

struct PipedChild {
  Child child;
  u64 output;  // read end of the output pipe
};

// Creation and start-up words of `create` (the values the system's own process API uses). A suspended start is
// one that is put in a job before it runs: on Linux the child is bound to its job before its program starts.
// A new process group keeps the starter's console out of the child: a Ctrl-C or a hang-up at the terminal the
// starter runs in does not reach it (on Linux: the child leads a session of its own, with no controlling terminal).
enum : u32 { create_suspended = 0x4, create_new_process_group = 0x200, create_no_window = 0x08000000 };
enum : u32 { use_show_window = 0x1, force_off_feedback = 0x80, use_std_handles = 0x100 };
enum : u32 { show_hide = 0, show_no_activate = 4 };
// The start-up flags of a hidden child: shown hidden, no busy cursor.
inline constexpr u32 hidden_startup_flags = use_show_window | force_off_feedback;

// The exit code that piped_exit_code gives while the child runs.
inline constexpr u32 still_active = 259;

// ---- The start routine that every child goes through (also the worker children of shared sections).

// How a child starts: bits of `spawn`.
enum : u32 {
  spawn_job = 1,       // bound to a job; standard input from nothing
  spawn_piped = 2,     // standard output and error into a pipe whose read end comes back; standard input from nothing
  spawn_detached = 4,  // a session of its own, outliving the parent; standard input, output and error to nothing
  spawn_own_session = 8,  // a session (and process group) of its own, away from the starter's terminal
};
// Starts the program at path (UTF-8) with the argument text: 1 with the child filled (and, for a piped start, the
// pipe's read end in *output), or 0 with nothing running and the record cleared. A detached child is forgotten at
// once: the record stays clear.
u32 spawn(mem::Bytes path, mem::Bytes arguments, u32 how, Child* child, u64* output);

// ---- First family: the executable as wide text.

// Starts the program with the creation flags; 0 for arguments longer than 256 bytes or a command line (the path in
// double quotes, a blank and the arguments) longer than 1,099 units. The start-up flags and show command only
// choose how a window would show.
u32 create(const ExePath* path, mem::Bytes arguments, u32 creation_flags, u32 startup_flags, u32 show, Child* out);
// A start without a job (the relaunch after an update). A child that is still running when it is closed is left
// running: the system takes it over when this process ends.
u32 start(const ExePath* path, mem::Bytes arguments, u32 show_normally, Child* out);
// A hidden start bound to a new job.
u32 start_in_job(const ExePath* path, mem::Bytes arguments, Child* out);
// 1 while the child has not ended.
u32 is_running(Child* child);
// 1 with the exit code when the child has ended; 0 (and code 0) while it runs or when there is none.
u32 exit_code(Child* child, u32* code);
// Waits up to the time-out for the child to end: 1 when it has.
u32 wait_end(Child* child, u32 timeout_ms);
// Ends the child, and with a job everything in it, at once; its exit code reads 1.
void kill(Child* child);
// The window of the class (below 128 bytes) that the child's process shows, or 0. Windows are found through the
// runtime folder (kobj.h), where the window layer keeps one file per window, "windows/<class>.<process id>"
// (decimal), holding the window's handle as hexadecimal digits (a line end may follow).
u64 find_window(mem::Bytes class_name, Child* child);
// Looks for the window every 20 ms until it is found, the time-out passes or the child has ended: the window or 0.
u64 wait_window(mem::Bytes class_name, Child* child, u32 timeout_ms);
// Closes the child: one bound to a job is ended with its job and reaped; one that has ended is reaped. The record is
// cleared.
void close(Child* child);

// ---- Second family: the executable as UTF-8 bytes.

// This program's own path into 1,024 bytes: its length, 0 when it cannot be read or does not fit.
u32 own_path(u8* buffer1024);
// The file version of this program's own version resource (the fixed file information's two 32-bit halves), as the
// system reads it from the program file: false when the program carries none (Linux builds never do) or it cannot be
// read whole within 16,384 bytes.
bool own_file_version(u32* ms, u32* ls);
// A double quote, the path (at most 1,099 units), a double quote, a blank (also when there are no arguments), the
// argument bytes one unit each, a terminating 0 unit, into 1,700 units; the length without the 0, or 0 when the
// path is empty or too long, or the line does not fit.
u32 command_line(mem::Bytes path, mem::Bytes arguments, u16* destination1700);
// A hidden start bound to a new job with standard output and error into one 64 KiB pipe; 0 for an empty path, a
// path of 1,100 bytes or more, or arguments of 513 bytes or more.
u32 start_piped(PipedChild* out, mem::Bytes path, mem::Bytes arguments);
// A detached start (same limits): the child outlives this process. 1 when it started.
u32 start_detached(mem::Bytes path, mem::Bytes arguments);
u32 piped_running(PipedChild* child);
// The exit code, or still_active while the child runs (decide on piped_running: a child may end with 259 itself).
u32 piped_exit_code(PipedChild* child);
// What the collector of drain receives: its own state and the bytes read.
using Collector = void (*)(void* state, mem::Bytes bytes);
// Hands what waits in the pipe to the collector without blocking, at most 128 reads of 512 bytes (64 KiB) per
// call. 0 when the pipe is closed and empty (the child ended and all was taken) or a read fails, else 1.
u32 drain(PipedChild* child, Collector collector, void* state);
// Ends the child and its job (exit code 1) and waits up to 10 s for the end.
void terminate(PipedChild* child);
// Closes the pipe and the child as close does.
void piped_close(PipedChild* child);

// ---- Watching a process that is not a child of this one (a worker watches its parent).

// A handle that can only tell whether the process has ended; 0 when no such process runs or it cannot be opened.
u64 open_process(u32 process_id);
// 1 when the handle is set and its process has ended.
u32 process_ended(u64 handle);
// Closes the handle; nothing for 0.
void close_process(u64 handle);

// ---- The exit channel, child side.

// Hands the full exit code to the parent that gave this process a channel for it; nothing otherwise. Called by
// os::exit_process just before the process ends.
void put_exit_word(u32 code);

}  // namespace proc
