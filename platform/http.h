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
  u32 total_ms;           // the whole transfer from its start, however lively (0: no bound); past it the stage
                          // the transfer was in fails with a time-out, like a wait that ran out
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

// ---- A kept-alive client: a series of timed requests to one service over one connection (the internet probe's
// child). The connection stays open between requests until the client is closed or a request breaks it, so a request
// on an open client pays neither the connection nor the TLS handshake. It follows no redirect, sends no cookie or
// credentials, asks for no compressed body, checks the certificate and name of a secure service, and uses HTTP/1.1.

// Error words of a failed call: the three failures a caller tells apart carry the numbers the system's own HTTP
// service gives them; any other failure carries the library's own code (below 1,000), or no_library.
enum : u32 {
  error_timeout = 12002,     // a step took longer than its time-out, or the answer stalled
  error_name = 12007,        // the host name does not resolve
  error_connect = 12029,     // no connection could be made
  error_no_library = 126,    // the HTTP library cannot be loaded
};

struct Client {
  void* state;  // the backend's, null while closed
  u32 error;    // the last failure's error word
};

struct Service {
  mem::Bytes host;  // a name or a numeric address, at most 255 bytes
  u32 port;
  u32 secure;       // 1: https, 0: http
  mem::Bytes user_agent;
  u32 timeout_ms;   // each step (resolve, connect, send, and any wait for bytes of the answer)
};

// Opens the client: loads the library, resolves the host (advisory time-out: the system resolver has its own) and
// prepares the connection, which is made by the first request. 1, or 0 with client->error set.
u32 client_open(Client* client, const Service* service);

// One request. A GET reads the body until it ends, or until read_limit bytes came; a POST sends send_bytes zero bytes
// as its body. Either stops moving the body once time_limit_us have passed since the request was sent (0: no limit);
// a POST stopped so awaits no answer. A transfer stopped by a limit has not failed, but leaves the connection
// closed for the next request.
struct Exchange {
  u32 post;
  mem::Bytes path;  // "/..." as sent
  u64 send_bytes;
  u64 read_limit;   // 0: no limit
  u64 time_limit_us;
};
struct Answer {
  u32 status;  // the HTTP status, 0 when none was read
  u32 cut;     // 1 when a limit stopped the body
  u64 moved;   // body bytes received (GET) or sent (POST)
};
// 1 when the exchange completed (or a limit stopped it), whatever the status; 0 with client->error set.
u32 client_exchange(Client* client, const Exchange* exchange, Answer* answer);
// Closes the connection and frees the client; nothing for a closed one. The error word stays.
void client_close(Client* client);

}  // namespace http
