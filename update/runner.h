#pragma once
// The sandboxed runner: runs another program with its standard handles on files inside a job with limits of time,
// memory, process count and output size, kills the whole job when it overruns, and hands back the exit code, the
// times, the peak memory and the output. Its one user is the version probe, which runs an executable with
// "--version" and reads the version it prints; the background copy asks it whether the program it was copied from
// is newer than itself.
#include "base/mem.h"

namespace runner {

struct Request {
  mem::Bytes application;   // the executable's path; empty: the first word of the command line
  mem::Bytes command_line;  // the whole command line, program name first
  mem::Bytes environment;   // entries each ended by a 0 byte; empty: inherited
  mem::Bytes folder;        // current folder; empty: inherited
  mem::Bytes input;         // file given as standard input; empty: nothing
  mem::Bytes output;        // file for standard output; empty: a private temporary file
  mem::Bytes error_output;  // file for standard error; empty: a private temporary file, or the output when merged
  u8 merge;                 // standard error goes to standard output
  u64 cpu_ms;               // processor time of the whole job; 0 none
  u64 wall_ms;              // elapsed time; 0 none
  u64 process_memory;       // bytes of address space per process; 0 none
  u64 job_memory;           // bytes for the job; 0 none
  u32 process_limit;        // processes the job may have seen in all; 0 none
  u64 output_limit;         // largest file a process of the job may write; 0 none
};

void init_request(Request* request);

// status of a Result.
enum : u32 { ended = 0, cpu_limit = 1, wall_limit = 2, process_limit_reached = 3 };
// The exit code of a job that was killed for overrunning a limit.
inline constexpr u32 killed_code = 258;

struct Result {
  u32 status;
  u32 exit_code;
  u64 user_ms, kernel_ms;
  u64 peak_memory;     // bytes
  u32 processes;       // processes the job has seen
  mem::Bytes output;   // in the caller's arena; empty when the caller named the output file
  mem::Bytes error_output;
};

// Runs the request to its end: 0, or the fs error class of what failed (1 a text that cannot be passed, 2 a missing
// folder or program, 10 lack of resources, 12 a folder that is a file, 7 an output larger than the arena). The
// temporary files are deleted in every case.
u32 run(const Request* request, mem::Arena* arena, Result* result);

// The packed version (a << 16 | b << 8 | c) that the program prints for "--version", or 0 when it cannot be run,
// overruns its limits (10 s of processor time, 10 s elapsed, 16 processes, 32 KiB of output), ends with another
// code than 0, or prints anything else.
u32 probe_version(mem::Bytes program);

// The probe's command line: the path in double quotes, one more backslash for each that ends it, then
// " --version". 0 when the path holds a double quote (it could not be passed as one word) or the line would pass
// 512 bytes; else its length.
u32 probe_command(mem::Bytes program, u8* out512);

// Deletes an output file: done when it is gone or was never there; else tried again every 30 ms, 10 tries in all.
u32 delete_output(mem::Bytes path);

}  // namespace runner
