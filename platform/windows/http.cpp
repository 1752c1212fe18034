// HTTP GETs and the kept-alive client over WinHTTP, in the calling thread (synchronous handles only). Redirects are
// never followed, cookies and authentication are switched off, and a secure URL gets the system's certificate and
// name checks. Each failing call keeps the system's error (GetLastError) and the stage it belongs to.
#include "platform/http.h"

#include <windows.h>
#include <winhttp.h>

#include "platform/windows/wide.h"

namespace http {
namespace {

// The texts handed to WinHTTP: the URL's parts widened byte by byte.
constexpr u32 url_units = 2100;
constexpr u32 host_units = 256;
constexpr u32 agent_units = 128;
constexpr DWORD piece = 65536;  // the body is read in pieces of at most 64 KiB

// The scheme, host, port and path of a URL the caller has checked.
struct Target {
  bool secure;
  wchar_t host[host_units];
  INTERNET_PORT port;
  mem::Bytes path;  // from the path's '/' to the end, query included
};

bool starts_with(mem::Bytes text, mem::Bytes head) {
  return text.len > head.len && mem::eq(mem::Bytes(text.ptr, head.len), head);
}

bool target_of(mem::Bytes url, Target* out) {
  *out = Target{};
  u64 at;
  if (starts_with(url, mem::lit("https://"))) {
    out->secure = true, out->port = INTERNET_DEFAULT_HTTPS_PORT, at = 8;
  } else if (starts_with(url, mem::lit("http://"))) {
    out->port = INTERNET_DEFAULT_HTTP_PORT, at = 7;
  } else {
    return false;
  }
  const u64 start = at;
  while (at < url.len && url.ptr[at] != ':' && url.ptr[at] != '/') {
    if (url.ptr[at] == '@' || url.ptr[at] == '[') return false;  // no credentials, no literal forms to misread
    at++;
  }
  if (at == start || at == url.len) return false;
  if (!winwide::ascii(mem::Bytes(url.ptr + start, at - start), out->host, host_units)) return false;
  if (url.ptr[at] == ':') {
    u32 port = 0, digits = 0;
    for (at++; at < url.len && url.ptr[at] >= '0' && url.ptr[at] <= '9' && digits < 6; at++, digits++)
      port = port * 10 + (url.ptr[at] - '0');
    if (digits == 0 || port == 0 || port > 65535) return false;
    out->port = static_cast<INTERNET_PORT>(port);
  }
  if (at >= url.len || url.ptr[at] != '/') return false;
  out->path = mem::Bytes(url.ptr + at, url.len - at);
  return true;
}

// The session: WinHttpOpen with the automatic proxy, or when that is refused with the default one.
HINTERNET open_session(const wchar_t* agent) {
  HINTERNET session = WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                  WINHTTP_NO_PROXY_BYPASS, 0);
  if (!session)
    session = WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  return session;
}

bool set_word(HINTERNET handle, DWORD option, DWORD value) {
  return WinHttpSetOption(handle, option, &value, sizeof value) != FALSE;
}

// A session that follows no redirect, with its time-outs set.
HINTERNET session_for(const wchar_t* agent, int resolve, int connect, int send, int receive) {
  HINTERNET session = open_session(agent);
  if (!session) return nullptr;
  // The wait for the answer's headers has a time-out of its own (90 s unless set): it gets the receive time-out, so a
  // server that never answers is given up as soon as one that stops sending.
  if (!WinHttpSetTimeouts(session, resolve, connect, send, receive) ||
      !set_word(session, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, DWORD(receive)) ||
      !set_word(session, WINHTTP_OPTION_REDIRECT_POLICY, WINHTTP_OPTION_REDIRECT_POLICY_NEVER)) {
    const DWORD error = GetLastError();
    WinHttpCloseHandle(session);
    SetLastError(error);
    return nullptr;
  }
  return session;
}

// A request on the connection: no version, referrer or accept types; no cookies and no authentication.
HINTERNET open_request(HINTERNET connection, const wchar_t* verb, const wchar_t* path, bool secure, bool* option_failed) {
  *option_failed = false;
  HINTERNET request = WinHttpOpenRequest(connection, verb, path, nullptr, WINHTTP_NO_REFERER,
                                         WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0);
  if (!request) return nullptr;
  if (!set_word(request, WINHTTP_OPTION_DISABLE_FEATURE, WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_AUTHENTICATION)) {
    const DWORD error = GetLastError();
    WinHttpCloseHandle(request);
    SetLastError(error);
    *option_failed = true;
    return nullptr;
  }
  return request;
}

// The answer's status as a number; false when it cannot be read.
bool status_of(HINTERNET request, u32* status) {
  DWORD value = 0, size = sizeof value;
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &value, &size, WINHTTP_NO_HEADER_INDEX))
    return false;
  *status = value;
  return true;
}

// Waits for body bytes and reads at most `want` of them: false with the error when the read failed; *got 0 at the
// body's end. Asking what is there first makes each call return as soon as any byte came, so the caller sees the
// clock between pieces however slowly they come. The end is read too (a read of nothing), which hands a kept-alive
// connection back for the next request.
bool read_some(HINTERNET request, u8* into, DWORD want, DWORD* got) {
  *got = 0;
  DWORD ready = 0;
  if (!WinHttpQueryDataAvailable(request, &ready)) return false;
  return WinHttpReadData(request, into, ready != 0 && ready < want ? ready : want, got) != FALSE;
}

// The error of the last failing call. A wait that ran out is ERROR_WINHTTP_TIMEOUT; wine's client reports the
// socket's own time-out (WSAETIMEDOUT) instead, which means the same.
DWORD last_error() {
  const DWORD error = GetLastError();
  return error == WSAETIMEDOUT ? ERROR_WINHTTP_TIMEOUT : error;
}

struct Handles {
  HINTERNET session, connection, request;
};

void close_all(Handles* h) {
  if (h->request) WinHttpCloseHandle(h->request);
  if (h->connection) WinHttpCloseHandle(h->connection);
  if (h->session) WinHttpCloseHandle(h->session);
  *h = Handles{};
}

u32 fail(Result* result, u32 stage, u32 error) {
  result->stage = stage;
  result->error = error;
  return 0;
}

// Opens the session, connection and request, sends it and reads the status: 1, or 0 with the stage and error.
u32 open_get(const Request* r, const Target& t, Handles* h, Result* result) {
  wchar_t agent[agent_units], path[url_units];
  if (!winwide::ascii(r->user_agent, agent, agent_units)) return fail(result, stage_session, ERROR_INVALID_PARAMETER);
  if (!winwide::ascii(t.path, path, url_units)) return fail(result, stage_url, 0);
  h->session = session_for(agent, int(r->resolve_ms), int(r->connect_ms), int(r->send_ms), int(r->receive_ms));
  if (!h->session) return fail(result, stage_session, last_error());
  h->connection = WinHttpConnect(h->session, t.host, t.port, 0);
  if (!h->connection) return fail(result, stage_request, last_error());
  bool option_failed = false;
  h->request = open_request(h->connection, L"GET", path, t.secure, &option_failed);
  if (!h->request) return fail(result, option_failed ? stage_session : stage_request, last_error());
  if (!WinHttpSendRequest(h->request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !WinHttpReceiveResponse(h->request, nullptr))
    return fail(result, stage_send, last_error());
  if (!status_of(h->request, &result->status)) return fail(result, stage_read, last_error());
  return 1;
}

bool past_bound(const Request* r, ULONGLONG start) { return r->total_ms != 0 && GetTickCount64() - start > r->total_ms; }

// The body into the caller's buffer; at the limit one more byte decides between the body's end and stage_limit.
u32 read_to_memory(const Request* r, HINTERNET request, ULONGLONG start, Result* result) {
  const u64 limit = r->buffer.len < r->limit ? r->buffer.len : r->limit;
  for (;;) {
    if (past_bound(r, start)) return fail(result, stage_read, ERROR_WINHTTP_TIMEOUT);
    u8 probe = 0;
    const u64 room = limit - result->received;
    const DWORD want = room == 0 ? 1 : room < piece ? DWORD(room) : piece;
    DWORD got = 0;
    if (!read_some(request, room == 0 ? &probe : r->buffer.ptr + result->received, want, &got))
      return fail(result, stage_read, last_error());
    if (got == 0) return 1;
    if (room == 0) return fail(result, stage_limit, 0);
    result->received += got;
  }
}

// The body into the open file, piece by piece: a count past the limit is stage_limit, a failed write stage_write.
u32 read_to_file(const Request* r, HINTERNET request, ULONGLONG start, Result* result) {
  u8 buffer[piece];
  for (;;) {
    if (past_bound(r, start)) return fail(result, stage_read, ERROR_WINHTTP_TIMEOUT);
    DWORD got = 0;
    if (!read_some(request, buffer, piece, &got)) return fail(result, stage_read, last_error());
    if (got == 0) return 1;
    result->received += got;
    if (result->received > r->limit) return fail(result, stage_limit, 0);
    DWORD wrote = 0;
    if (!WriteFile(winwide::handle(r->file), buffer, got, &wrote, nullptr)) return fail(result, stage_write, last_error());
    if (wrote != got) return fail(result, stage_write, ERROR_WRITE_FAULT);
  }
}

}  // namespace

u32 get(const Request* request, Result* result) {
  *result = Result{};
  Target target;
  if (!target_of(request->url, &target)) return fail(result, stage_url, 0);
  // WinHTTP trusts the system's certificate store only; a file of other trusted certificates cannot be honoured.
  if (request->ca_file.len != 0) return fail(result, stage_session, ERROR_NOT_SUPPORTED);
  const ULONGLONG start = GetTickCount64();
  Handles h{};
  u32 ok = open_get(request, target, &h, result);
  if (ok) {
    ok = request->file != 0 ? read_to_file(request, h.request, start, result)
                            : read_to_memory(request, h.request, start, result);
  }
  close_all(&h);
  return ok;
}

u32 available() { return 1; }

mem::Bytes missing_library_text() { return mem::lit("the system's HTTP service (winhttp.dll) cannot be used"); }

}  // namespace http

// ---- The kept-alive client: one session and one connection handle; WinHTTP keeps the connection itself open
// between the requests made on them.
namespace http {
namespace {

struct ClientState {
  HINTERNET session;
  HINTERNET connection;
  bool secure;
};

constexpr DWORD zeros_piece = 16384;  // an upload is written in pieces of 16 KiB of zero bytes

u64 now_us() {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  const u64 f = frequency.QuadPart ? u64(frequency.QuadPart) : 1, c = u64(count.QuadPart);
  return c / f * 1000000 + c % f * 1000000 / f;
}

bool time_up(const Exchange* x, u64 start) { return x->time_limit_us != 0 && now_us() - start >= x->time_limit_us; }

void free_state(ClientState* c) {
  if (c->connection) WinHttpCloseHandle(c->connection);
  if (c->session) WinHttpCloseHandle(c->session);
  HeapFree(GetProcessHeap(), 0, c);
}

u32 failed(Client* client, DWORD error) {
  client->error = error ? error : ERROR_WINHTTP_INTERNAL_ERROR;
  return 0;
}

// The POST's body: zero bytes until all are sent or the time limit passes (then *cut).
bool send_zeros(HINTERNET request, const Exchange* x, u64 start, Answer* answer) {
  static const u8 zeros[zeros_piece] = {};
  while (answer->moved < x->send_bytes) {
    if (time_up(x, start)) {
      answer->cut = 1;
      return true;
    }
    const u64 left = x->send_bytes - answer->moved;
    DWORD wrote = 0;
    if (!WinHttpWriteData(request, zeros, left < zeros_piece ? DWORD(left) : zeros_piece, &wrote)) return false;
    answer->moved += wrote;
  }
  return true;
}

// The GET's body until it ends, the read limit is reached or the time limit passes (the last two cut it).
bool read_body(HINTERNET request, const Exchange* x, u64 start, Answer* answer) {
  u8 buffer[zeros_piece];
  for (;;) {
    if (x->read_limit != 0 && answer->moved >= x->read_limit) {
      answer->cut = 1;
      return true;
    }
    const u64 left = x->read_limit ? x->read_limit - answer->moved : zeros_piece;
    DWORD got = 0;
    if (!read_some(request, buffer, left < zeros_piece ? DWORD(left) : zeros_piece, &got)) return false;
    if (got == 0) return true;
    answer->moved += got;
    if (time_up(x, start)) {
      answer->cut = 1;
      return true;
    }
  }
}

// Sends the request (and a POST's body), then reads the status and a GET's body. False with GetLastError's error.
bool run(HINTERNET request, const Exchange* x, Answer* answer) {
  const u64 start = now_us();
  const DWORD total = x->post ? (x->send_bytes < 0xFFFFFFFF ? DWORD(x->send_bytes) : 0xFFFFFFFF) : 0;
  if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, total, 0))
    return false;
  if (x->post && (!send_zeros(request, x, start, answer) || answer->cut)) return answer->cut != 0;
  if (!WinHttpReceiveResponse(request, nullptr) || !status_of(request, &answer->status)) return false;
  return x->post || read_body(request, x, start, answer);
}

}  // namespace

u32 client_open(Client* client, const Service* service) {
  client_close(client);
  client->error = 0;
  wchar_t host[host_units], agent[agent_units];
  if (service->host.len == 0 || service->port == 0 || service->port > 65535 ||
      !winwide::ascii(service->host, host, host_units) || !winwide::ascii(service->user_agent, agent, agent_units))
    return failed(client, error_name);
  auto* c = static_cast<ClientState*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(ClientState)));
  if (!c) return failed(client, ERROR_NOT_ENOUGH_MEMORY);
  const int step = int(service->timeout_ms);
  c->secure = service->secure != 0;
  c->session = session_for(agent, step, step, step, step);
  c->connection = c->session ? WinHttpConnect(c->session, host, INTERNET_PORT(service->port), 0) : nullptr;
  if (!c->connection) {
    const DWORD error = last_error();
    free_state(c);
    return failed(client, error);
  }
  client->state = c;
  return 1;
}

u32 client_exchange(Client* client, const Exchange* x, Answer* answer) {
  *answer = Answer{};
  auto* c = static_cast<ClientState*>(client->state);
  wchar_t path[url_units];
  if (!c || x->path.len == 0 || x->path.ptr[0] != '/' || !winwide::ascii(x->path, path, url_units))
    return failed(client, ERROR_WINHTTP_INVALID_URL);
  bool option_failed = false;
  HINTERNET request = open_request(c->connection, x->post ? L"POST" : L"GET", path, c->secure, &option_failed);
  if (!request) return failed(client, last_error());
  const bool ok = run(request, x, answer);
  const DWORD error = last_error();
  // A request cut short leaves its connection unusable; closing the request lets WinHTTP drop it.
  WinHttpCloseHandle(request);
  return ok ? 1 : failed(client, error);
}

void client_close(Client* client) {
  if (client->state) free_state(static_cast<ClientState*>(client->state));
  client->state = nullptr;
}

}  // namespace http
