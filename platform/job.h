#pragma once
// Limited children: a program started with its standard handles on files, inside a job that holds it and whatever
// it starts under limits of processor time, memory, process count and output size, and that is ended as a whole.
// On Linux the job is a session of its own led by the child (so a descendant that only changes its process group
// stays in it), the child gets a kill signal when its parent ends, and the limits are resource limits of each
// process (memory, file size, processor time as a backstop) plus what the parent measures by scanning the session.
// Nothing of the parent reaches the child but the three standard handles.
#include "base/mem.h"

namespace job {

struct Spec {
  mem::Bytes application;   // the program's path; empty: the first word of the command line
  mem::Bytes command_line;  // the whole line, split by os::next_token's rules (the first word is the program name)
  mem::Bytes environment;   // entries each ended by a 0 byte; empty: this process's environment
  mem::Bytes folder;        // the current folder; empty: this process's
  mem::Bytes input;         // file read as standard input; empty: nothing
  mem::Bytes output;        // file written as standard output (made anew); empty: nothing
  mem::Bytes error_output;  // the same for standard error; ignored when merged
  u32 merge;                // standard error goes where standard output goes
};

struct Limits {
  u64 process_memory;  // bytes of address space a process may hold; 0 none
  u64 job_memory;      // the same for the job (held per process where the system has no job-wide count); 0 none
  u64 output_bytes;    // largest file a process may write; 0 none
  u64 cpu_ms;          // processor time at which the system ends the job (Windows: the whole job's user time;
                       // Linux: each process's, a backstop); 0 none
};

// A started job; all zero when none.
struct Job {
  u64 process;      // the leader (a process descriptor on Linux)
  u32 process_id;
  u32 ended;        // the leader's end was seen; code holds its exit code
  u32 exit_code;    // 128 + the signal when a signal ended it
  u32 processes;    // distinct processes seen in the job so far
  u64 cpu_ms;       // user and kernel time of the job seen so far (ended and reaped descendants included)
  u64 user_ms, kernel_ms;
  u64 peak_bytes;   // the largest resident set of the leader and its reaped descendants, once it ended
  u32 seen[64];     // process ids already counted
};

// Starts the job: 0 with *out filled, or the fs error class (1 a text that cannot be passed, 2 a missing folder or
// program, 12 a folder that is a file, 10 lack of resources, else the system error's class).
u32 start(const Spec* spec, const Limits* limits, Job* out);
// Waits up to the time for the leader to end: 1 when it has (exit code and peak memory then read).
u32 wait(Job* job, u32 timeout_ms);
// Looks at every process of the job once: adds new ones to the count and takes the job's processor time.
void scan(Job* job);
// Ends every process of the job at once (on Windows with exit code 258).
void kill(Job* job);
// Ends what is left of the job, reaps the leader and clears the record.
void close(Job* job);

// A new private file for a child's output: "<runtime folder>/vimb-run-<process id>-<8 hex>" and the suffix, made
// exclusively (no link followed) and readable by this user only. 0 with its path in out (the length in *length),
// or the error class.
u32 private_file(mem::Bytes suffix, mem::Slice out, u64* length);

}  // namespace job
