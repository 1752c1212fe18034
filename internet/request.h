#pragma once
// The probe's requests run outside the window, in the `--internet <section>` child of the same executable: the
// window writes a request into a 256-byte block "VBIN" of a section that both map, the child serves it with its HTTP
// client (a kept-alive connection to the speed-test service) and writes the answer back. The window never waits for
// a request; `--internet-check` runs the same client once in the foreground and prints what it measured.
#include "base/mem.h"
#include "base/words.h"
#include "internet/internet.h"
#include "platform/http.h"

namespace internet {

// ---- The block: little-endian u32 words, zero-filled by the window before the child starts.

inline constexpr u32 block_size = 256;
inline constexpr u32 block_magic = u32('V') | u32('B') << 8 | u32('I') << 16 | u32('N') << 24;
enum : u32 {
  magic_at = 0,
  window_pid_at = 12,
  stop_at = 40,             // window: 1 ends the child
  round_at = 44,            // child: one per round
  sequence_at = 64,         // window: the request's sequence number
  kind_at = 68,             // window: request_latency or request_speed
  answered_at = 72,         // child: the sequence number last answered
  port_at = 76,
  secure_at = 80,
  host_length_at = 84,
  host_at = 96,             // 64 bytes
  probe_status_at = 160,    // child: the latency probe's status and microseconds
  probe_micros_at = 164,
  error_at = 168,           // child: the client's last error word
  down_at = 172,            // child: the download's status, bytes and microseconds
  up_at = 184,              // child: the upload's
};
inline constexpr u32 host_capacity = 64;

// A host longer than 64 bytes leaves the endpoint's host empty.
void set_endpoint(Endpoint* endpoint, mem::Bytes host, u32 port, u32 secure);
// Zeroes the block, then writes the magic, the window's process id and the endpoint.
void put_request(u8* view, u64 view_size, const Endpoint* endpoint, u32 window_pid);
// The view holds a whole block with the magic and a host of at most 64 bytes.
bool block_ok(const u8* view, u64 view_size);
Endpoint child_endpoint(const u8* view, u64 view_size);

// ---- The client (the child's and the check's).

// Request statuses: the probe statuses 0 to 4 of internet.h.
struct HttpState {
  http::Client client;  // its state is null while closed
  u32 error;            // the last error word: the failure's, or the HTTP status of the last answer read
};

// Time-outs of each step, and the limits of one speed test.
inline constexpr u32 step_ms = 2000;
inline constexpr u32 down_bytes = 25000000;
inline constexpr u32 up_bytes = 10000000;
inline constexpr u32 direction_us = 10000000;

// Failure word to status: 1 a time-out, 2 no connection or no such name, 4 anything else.
u32 error_kind(u32 error);
bool http_is_open(const HttpState* state);
// Opens the client for the endpoint; false with the error word set (the caller closes).
bool http_open(HttpState* state, const Endpoint* endpoint);
void http_close(HttpState* state);
// One GET of "/__down?bytes=0", its empty body read: the request's status.
u32 get_empty(HttpState* state);
// One timed empty GET, after an untimed one when warm_up is set; opens the client when it is closed.
u32 probe_latency(HttpState* state, const Endpoint* endpoint, bool warm_up, u32* micros);
// 25,000,000 bytes down, 10,000,000 up, each direction cut after 10 s.
Transfer download(HttpState* state, const Endpoint* endpoint);
Transfer upload(HttpState* state, const Endpoint* endpoint);

// Microseconds of the monotonic counter.
u64 clock_us(u64 counter, u64 frequency);
u64 clock_now();

// ---- The child.

// Serves the block once: a new request is measured and answered.
void serve_request(u8* view, u64 view_size, HttpState* state, const Endpoint* endpoint);
// 3 when the section cannot be opened or its block is not valid, else 0 once asked to stop or the window has ended.
u32 child_main(mem::Bytes section_name);

// ---- The check mode.

// "12 Kbps", "25.0 Mbps", "1.2 Gbps".
void put_kbps(words::Text* line, u32 kbps);
// "download Reachable, 25000000 bytes in 2000 ms: 100.0 Mbps".
void print_transfer(words::Text* line, mem::Bytes name, Transfer t);
// "probe Reachable, latency 12.3 ms".
void probe_line(words::Text* line, u32 status, u32 micros);
// Probes the endpoint once, prints three lines: 0 when all three measurements succeeded, else 1.
u32 check(const Endpoint* endpoint);

}  // namespace internet
