#pragma once
// One HTTP GET, made by the process that calls it (the children that do network work for the window or the host:
// the update worker, the release-notes child, the Linux build fetch, the internet probe's child). It follows no
// redirect (a 3xx answer comes back with its own status), sends no cookie and no credentials, accepts no compressed
// body (a hash must cover the bytes as served), checks the server's certificate and name, and reports how far it got
// in failure stages. The caller has checked the URL's form; the client reads the scheme, host and port from it.
//
// On Linux the transfer is libcurl's, loaded with dlopen on first use, so only the processes that make requests need
// the library. The host name is resolved first (getaddrinfo, in this thread) and the address handed to libcurl, so
// libcurl starts no resolver thread: no process of the program runs a second thread.
#include "base/mem.h"

namespace http {

// Failure stages, in the order a transfer meets them.
enum : u32 {
  stage_none = 0,
  stage_url = 1,      // the URL has no scheme, host or path the client can use
  stage_session = 2,  // the HTTP library is missing or refused its settings
  stage_request = 3,  // the request could not be made (no such host name, no usable address)
  stage_send = 4,     // connecting, the TLS handshake, sending, or waiting for the status line failed or timed out
  stage_read = 5,     // reading the body failed or stalled
  stage_limit = 6,    // the body is longer than the limit
  stage_write = 7,    // the body could not be written to the file
};

struct Request {
  mem::Bytes url;         // "https://host[:port]/path", or "http://" when the caller allows it
  mem::Bytes user_agent;  // sent as User-Agent
  mem::Bytes ca_file;     // a file of trusted certificates instead of the system's; empty for the system's
  u32 resolve_ms;         // time-outs: the name lookup (advisory: the system resolver has its own), connecting,
  u32 connect_ms;         // sending, and any wait for bytes of the answer while receiving
  u32 send_ms;
  u32 receive_ms;
  u64 limit;              // the most body bytes accepted; one more is stage_limit
  // Where the body goes: an open file (fs::File-style handle, written from the file's current end), or, when file
  // is 0, the buffer (at most its length and the limit).
  u64 file;
  mem::Slice buffer;
};

struct Result {
  u32 status;     // the HTTP status, 0 when none came
  u32 stage;      // 0 when the transfer succeeded
  u32 error;      // the library's or the system's code of the failure, 0 when none
  u64 received;   // body bytes received (and, for a file, written)
};

// Makes the GET: 1 when the transfer succeeded (whatever the status), 0 with the stage set.
u32 get(const Request* request, Result* result);

// 1 when the HTTP library can be loaded in this process.
u32 available();
// What a mode that can talk says when the library is missing: it names the package that brings it.
mem::Bytes missing_library_text();  // "the HTTP library libcurl.so.4 is missing (Debian package libcurl4)"

}  // namespace http
