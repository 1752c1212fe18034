#pragma once
// The process's own facilities: console, command line, memory pages, exit, clocks, random bytes and the small
// system queries.
#include "base/mem.h"

namespace os {

// Standard handles by number: 0 input, 1 output, 2 error.
enum : u32 { std_input = 0, std_output = 1, std_error = 2 };

// Writes all bytes, in chunks of at most 1 GiB; stops at the first failed or empty write and answers its error
// class (fs scale: 21 a full disk, 18 a pipe whose reader has gone, 24 a closed descriptor), 0 when all was written.
u32 write_std(u32 handle_id, mem::Bytes bytes);
// The console writers below drop that answer: they serve messages whose own failure nobody could be told of. A mode
// whose output is its result writes through write_std (print::console does) and ends with exit code 1 when it fails.
void write_out(mem::Bytes bytes);
// The bytes and a bare line feed.
void write_line(mem::Bytes bytes);
// Decimal digits only, no line end.
void write_number(u64 value);
// Diagnostics that are not part of a mode's output.
void write_err(mem::Bytes bytes);

// Arguments including the program name (at least 1).
u64 arg_count();
// Argument i as bytes that live as long as the process; a null pointer when there are fewer arguments. On Linux
// the bytes of the argument vector as the process received them (UTF-8 stays UTF-8), on Windows the command line
// as UTF-8; no option word has a byte above 127, so a non-ASCII word never matches one.
mem::Bytes arg(u64 i);

// Standard input and output as handles, for the MCP server's transport. On Linux the descriptors 0 and 1.
u64 stdin_handle();
// Waits up to timeout_ms for the input handle (standard input: a pipe, a console or a file) to have bytes to read or
// to reach its end: 1 then, 0 when the time ran out first.
u32 input_ready(u64 handle, u32 timeout_ms);
u64 stdout_handle();
// Reads at most buffer.len bytes from a handle, waiting until some come: the count, 0 at the end of input or on a
// failure that retrying cannot mend. An interrupted read is retried and a handle left non-blocking by the process
// that started us is waited on, so neither looks like the end of input.
u64 read_handle(u64 handle, mem::Slice buffer);
// Writes all bytes to a handle, continuing after short and interrupted writes; false when a write failed (a
// vanished reader included: the entry ignores the broken-pipe signal, so such a write fails instead of killing).
bool write_handle(u64 handle, mem::Bytes bytes);

// The whole command line as one text, on the process heap; (null, 0) when the allocation fails. Linux hands the
// process its arguments already split, so the text is the arguments joined by blanks and quoted so that
// next_token gives each back byte for byte: the program name in double quotes (a double quote inside it cannot
// be written and is left out, as no Windows path holds one), every other argument bare when it has no blank, tab
// or double quote and is not empty, else in double quotes with its backslashes and quotes escaped.
mem::Slice command_line();
// Frees a command_line copy; nothing for null.
void free_command_line(u8* text);
// Frees a heap block, keeping the caller's last error value (errno on Linux).
void heap_free(void* block);

// Takes one argument from text at *position under the Windows quoting rules, for splitting argument text into
// words. The first argument (first = 1) is the program name: a double quote toggles quoting and is not copied,
// backslashes are ordinary, and it is always taken (perhaps empty). Later arguments follow blanks and tabs, which
// are skipped; in them n backslashes before a double quote give n / 2 backslashes and, for odd n, a literal
// quote; other backslashes are literal; "" inside quotes is a literal quote; any other quote toggles quoting; a
// blank or tab outside quotes ends the argument. Writes at most capacity bytes to destination (which may be null)
// but sets *length to the full length; leaves *position at the first byte not consumed. Returns 1 when an
// argument was taken (an empty one too), 0 at the end of the text.
u32 next_token(mem::Bytes text, u64* position, u32 first, u8* destination, u64 capacity, u64* length);

// pages_reserve and pages_release are declared in base/mem.h, whose arenas are their one user; each backend
// defines them.

// Ends the process with the exit code.
[[noreturn]] void exit_process(u32 code);

// Requests to stop from outside the program (on Linux SIGTERM and SIGINT, so that kill and Ctrl-C end a service
// mode cleanly instead of killing it), held for polling by a single-threaded loop. A handle, or 0 when they cannot
// be caught; from then on those requests no longer end the process by themselves. Children started afterwards
// get the default handling back.
u64 stop_requests_open();
// 1 when a request to stop came since the last look.
u32 stop_requested(u64 handle);
// Stops holding the requests' handle (they stay caught until the process ends).
void stop_requests_close(u64 handle);

}  // namespace os

// ---- Clocks, random bytes and small system queries. No function keeps state between calls.

namespace cluster {
struct PublishSettings;
}

namespace os {

// Milliseconds since the system started, sleep included. The other names are the same clock as the MCP server,
// the share and host code, and the collector feed call it.
u64 clock_ms();
inline u64 mcp_clock_ms() { return clock_ms(); }
inline u64 share_clock_ms() { return clock_ms(); }
inline u64 feed_clock_ms() { return clock_ms(); }

// A monotonic counter and its frequency (10 MHz on Linux).
u64 ticks();
u64 ticks_per_second();
// The counter in whole microseconds, exact for any frequency.
u64 micros();
// Wall-clock time in 100 ns units since 1601-01-01 00:00 UTC.
u64 filetime_now();
void sleep_ms(u32 ms);

// Fills the buffer from the system's generator: 1, or 0 with the whole buffer zeroed. Also the random-source
// callback that key, nonce, machine-id and section-name makers receive.
u32 random_bytes(mem::Slice buffer);
using RandomSource = u32 (*)(mem::Slice buffer);
// A predicate callback that always answers 1.
u32 always_yes();

// The operating-system record that the inventory carries: family (1 Windows, 2 Linux), a constant 1, then the
// kernel's major and minor version (low 16 bits) and build number.
struct WindowsVersion {
  u8 family;
  u8 value;
  u16 major;
  u16 minor;
  u32 build;
};
enum : u8 { family_windows = 1, family_linux = 2 };
// Fills the record (in any case) and answers 0, or a nonzero status when the system did not answer.
u32 windows_version(WindowsVersion* version);

// The machine's name into a 64-byte buffer: COMPUTERNAME when set, else the host name. Its length, or 0 when it
// is longer than 64 bytes or holds a byte that is not printable ASCII (32 to 126).
u32 computer_name(u8* buffer64);

// The machine's hardware name as the kernel reports it ("x86_64", "aarch64") into a 64-byte buffer: its length, 0
// when it cannot be read or does not fit.
u32 machine_word(u8* buffer64);

// Applies VIMBREL_BEACON (at most 24 bytes) through the setter: 1 stored, 0 refused (a value that is not ASCII is
// refused too), 2 unset, 6 longer than 24 bytes. Nothing changes unless the answer is 1.
using BeaconSetter = u32 (*)(cluster::PublishSettings* settings, mem::Bytes text);
u32 beacon_override(cluster::PublishSettings* settings, BeaconSetter set_beacon);

u32 process_id();

// UTF-8 to UTF-16 into capacity units; the answer is the units written. Nothing is converted for 0 bytes or for
// bytes >= capacity; invalid sequences become U+FFFD. A terminating 0 unit follows the answer (capacity >= 1).
u32 utf8_to_wide(mem::Bytes bytes, u16* buffer, u32 capacity);

// A full memory barrier (stores and loads), around sequence-locked copies of records shared with another process.
inline void fence() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }

}  // namespace os
