#pragma once
// The process's own facilities: console, command line, memory pages and exit. Clocks, random bytes and the small
// system queries join this module as they are built.
#include "base/mem.h"

namespace os {

// Standard handles by number: 0 input, 1 output, 2 error.
enum : u32 { std_input = 0, std_output = 1, std_error = 2 };

// Writes all bytes, in chunks of at most 1 GiB; stops silently at the first failed or empty write.
void write_std(u32 handle_id, mem::Bytes bytes);
void write_out(mem::Bytes bytes);
// The bytes and a bare line feed.
void write_line(mem::Bytes bytes);
// Decimal digits only, no line end.
void write_number(u64 value);
// Diagnostics that are not part of a mode's output.
void write_err(mem::Bytes bytes);

// Arguments including the program name (at least 1).
u64 arg_count();
// Argument i as bytes that live as long as the process; a null pointer when there are fewer arguments.
mem::Bytes arg(u64 i);

// Reserves and commits size zeroed bytes at once; null on failure.
void* pages_reserve(u64 size);
// Returns nonzero on success.
u32 pages_release(void* block, u64 size);

// Ends the process with the exit code.
[[noreturn]] void exit_process(u32 code);

}  // namespace os
