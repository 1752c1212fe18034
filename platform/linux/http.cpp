// The HTTP GET over libcurl, loaded with dlopen. Only the calls below are used; their addresses are looked up for
// each transfer, so nothing of the library is kept in this module between calls.
#include "platform/http.h"

#include <curl/curl.h>
#include <dlfcn.h>
#include <errno.h>
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <arpa/inet.h>
#include <time.h>
#include <unistd.h>

namespace http {
namespace {

struct Curl {
  void* library;
  CURL* (*easy_init)();
  CURLcode (*easy_setopt)(CURL*, CURLoption, ...);
  CURLcode (*easy_perform)(CURL*);
  CURLcode (*easy_getinfo)(CURL*, CURLINFO, ...);
  void (*easy_cleanup)(CURL*);
  curl_slist* (*slist_append)(curl_slist*, const char*);
  void (*slist_free_all)(curl_slist*);
};

template <typename F>
bool find(void* library, const char* name, F* out) {
  *out = reinterpret_cast<F>(dlsym(library, name));
  return *out != nullptr;
}

bool load(Curl* c) {
  *c = Curl{};
  // NODELETE: the TLS library libcurl brings in stays mapped after the last close, as it expects.
  c->library = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!c->library) return false;
  bool ok = find(c->library, "curl_easy_init", &c->easy_init) &&
            find(c->library, "curl_easy_setopt", &c->easy_setopt) &&
            find(c->library, "curl_easy_perform", &c->easy_perform) &&
            find(c->library, "curl_easy_getinfo", &c->easy_getinfo) &&
            find(c->library, "curl_easy_cleanup", &c->easy_cleanup) &&
            find(c->library, "curl_slist_append", &c->slist_append) &&
            find(c->library, "curl_slist_free_all", &c->slist_free_all);
  if (!ok) {
    dlclose(c->library);
    *c = Curl{};
  }
  return ok;
}

u64 now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return u64(t.tv_sec) * 1000 + u64(t.tv_nsec) / 1000000;
}

// What the callbacks share with the transfer.
struct Transfer {
  const Request* request;
  Curl* curl;
  CURL* easy;
  u64 received;
  u64 start_ms;
  u64 last_ms;       // the last sign of life: connected, a header or body byte
  bool connected;
  bool answered;     // the status line has come
  u32 own_stage;     // a stage the callbacks decided (limit, write, stall)
  u32 own_error;
};

size_t on_header(char*, size_t size, size_t count, void* user) {
  Transfer* t = static_cast<Transfer*>(user);
  t->answered = true;
  t->last_ms = now_ms();
  return size * count;
}

bool write_fd(int fd, const u8* bytes, u64 length, u32* error) {
  u64 done = 0;
  while (done < length) {
    ssize_t w = write(fd, bytes + done, length - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      *error = w < 0 ? u32(errno) : u32(EIO);
      return false;
    }
    done += u64(w);
  }
  return true;
}

size_t on_body(char* bytes, size_t size, size_t count, void* user) {
  Transfer* t = static_cast<Transfer*>(user);
  const Request* r = t->request;
  u64 n = u64(size) * count;
  t->last_ms = now_ms();
  u64 room = r->limit;
  if (r->file == 0 && r->buffer.len < room) room = r->buffer.len;
  if (n > room - t->received) {
    t->own_stage = stage_limit;
    return 0;
  }
  if (r->file != 0) {
    if (!write_fd(int(r->file - 1), reinterpret_cast<const u8*>(bytes), n, &t->own_error)) {
      t->own_stage = stage_write;
      return 0;
    }
  } else {
    memcpy(r->buffer.ptr + t->received, bytes, n);
  }
  t->received += n;
  return n;
}

// Called while the transfer runs: ends it when nothing has come for longer than the wait allowed, or when the whole
// transfer has run past its bound (a server that sends a byte now and then never lets the wait run out).
int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  Transfer* t = static_cast<Transfer*>(user);
  u64 now = now_ms();
  if (t->request->total_ms != 0 && now - t->start_ms > t->request->total_ms) {
    t->own_stage = t->answered ? stage_read : stage_send;
    t->own_error = u32(CURLE_OPERATION_TIMEDOUT);
    return 1;
  }
  if (!t->connected) {
    curl_off_t connect_us = 0;
    t->curl->easy_getinfo(t->easy, CURLINFO_CONNECT_TIME_T, &connect_us);
    if (connect_us == 0) return 0;  // connecting: the connect time-out governs
    t->connected = true;
    t->last_ms = now;
  }
  u32 wait = t->answered ? t->request->receive_ms : t->request->send_ms + t->request->receive_ms;
  if (now - t->last_ms <= wait) return 0;
  t->own_stage = t->answered ? stage_read : stage_send;
  t->own_error = u32(CURLE_OPERATION_TIMEDOUT);
  return 1;
}

// The scheme, host and port of a URL the caller has checked: false when they cannot be found.
struct Target {
  bool secure;
  char host[256];
  u32 port;
};

bool target_of(mem::Bytes url, Target* out) {
  *out = Target{};
  u64 at;
  if (url.len > 8 && memcmp(url.ptr, "https://", 8) == 0) {
    out->secure = true, out->port = 443, at = 8;
  } else if (url.len > 7 && memcmp(url.ptr, "http://", 7) == 0) {
    out->port = 80, at = 7;
  } else {
    return false;
  }
  u64 start = at;
  while (at < url.len && url.ptr[at] != ':' && url.ptr[at] != '/') at++;
  if (at == start || at - start >= sizeof out->host || at == url.len) return false;
  memcpy(out->host, url.ptr + start, at - start);
  for (u64 i = start; i < at; i++)
    if (url.ptr[i] == '@' || url.ptr[i] == '[') return false;  // no credentials, no literal forms to misread
  if (url.ptr[at] == ':') {
    u32 port = 0;
    u64 digits = 0;
    for (at++; at < url.len && url.ptr[at] >= '0' && url.ptr[at] <= '9' && digits < 6; at++, digits++)
      port = port * 10 + (url.ptr[at] - '0');
    if (digits == 0 || port == 0 || port > 65535) return false;
    out->port = port;
  }
  return at < url.len && url.ptr[at] == '/';
}

// The host's first address as text ("1.2.3.4" or "[::1]"), looked up here so libcurl has nothing to resolve.
u32 resolve(const Target& target, char* address, u64 capacity) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int e = getaddrinfo(target.host, nullptr, &hints, &found);
  if (e != 0 || !found) return e != 0 ? u32(e < 0 ? -e : e) : u32(EAI_NONAME < 0 ? -EAI_NONAME : EAI_NONAME);
  char text[INET6_ADDRSTRLEN] = {};
  u32 result = 0;
  if (found->ai_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, text, sizeof text);
    snprintf(address, capacity, "%s", text);
  } else if (found->ai_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(found->ai_addr)->sin6_addr, text, sizeof text);
    snprintf(address, capacity, "[%s]", text);
  } else {
    result = u32(EAI_FAMILY < 0 ? -EAI_FAMILY : EAI_FAMILY);
  }
  freeaddrinfo(found);
  return result;
}

bool set_options(Curl* c, CURL* easy, const Request* r, const Target& target, const char* url, const char* agent,
                 const char* ca_file, curl_slist* resolved, Transfer* t) {
  bool ok = c->easy_setopt(easy, CURLOPT_URL, url) == CURLE_OK &&
            c->easy_setopt(easy, CURLOPT_PROTOCOLS_STR, target.secure ? "https" : "http") == CURLE_OK &&
            c->easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
            c->easy_setopt(easy, CURLOPT_MAXREDIRS, 0L) == CURLE_OK &&
            c->easy_setopt(easy, CURLOPT_NETRC, long(CURL_NETRC_IGNORED)) == CURLE_OK &&
            c->easy_setopt(easy, CURLOPT_PROXY, "") == CURLE_OK &&
            c->easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
            c->easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1)) == CURLE_OK &&
            c->easy_setopt(easy, CURLOPT_RESOLVE, resolved) == CURLE_OK &&
            c->easy_setopt(easy, CURLOPT_USERAGENT, agent) == CURLE_OK &&
            c->easy_setopt(easy, CURLOPT_BUFFERSIZE, 65536L) == CURLE_OK &&  // the body in pieces of 64 KiB
            c->easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(r->connect_ms)) == CURLE_OK &&
            c->easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
            c->easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
            c->easy_setopt(easy, CURLOPT_HEADERFUNCTION, on_header) == CURLE_OK &&
            c->easy_setopt(easy, CURLOPT_HEADERDATA, t) == CURLE_OK &&
            c->easy_setopt(easy, CURLOPT_WRITEFUNCTION, on_body) == CURLE_OK &&
            c->easy_setopt(easy, CURLOPT_WRITEDATA, t) == CURLE_OK &&
            c->easy_setopt(easy, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
            c->easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, on_progress) == CURLE_OK &&
            c->easy_setopt(easy, CURLOPT_XFERINFODATA, t) == CURLE_OK;
  if (ok && ca_file[0] != 0) ok = c->easy_setopt(easy, CURLOPT_CAINFO, ca_file) == CURLE_OK;
  return ok;
}

// A NUL-terminated copy of the bytes; false when they do not fit or hold a NUL.
bool c_text(mem::Bytes bytes, char* out, u64 capacity) {
  if (bytes.len >= capacity || (bytes.len && memchr(bytes.ptr, 0, bytes.len))) return false;
  if (bytes.len) memcpy(out, bytes.ptr, bytes.len);
  out[bytes.len] = 0;
  return true;
}

u32 fail(Result* result, u32 stage, u32 error) {
  result->stage = stage;
  result->error = error;
  return 0;
}

u32 perform(Curl* c, const Request* r, const Target& target, const char* address, Result* result) {
  char url[2100], agent[128], ca_file[1024], entry[400];
  if (!c_text(r->url, url, sizeof url) || !c_text(r->ca_file, ca_file, sizeof ca_file)) return fail(result, 1, 0);
  if (!c_text(r->user_agent, agent, sizeof agent)) return fail(result, stage_session, 0);
  snprintf(entry, sizeof entry, "%s:%u:%s", target.host, target.port, address);
  curl_slist* resolved = c->slist_append(nullptr, entry);
  CURL* easy = resolved ? c->easy_init() : nullptr;
  if (!easy) {
    if (resolved) c->slist_free_all(resolved);
    return fail(result, stage_session, 0);
  }
  Transfer t{};
  t.request = r, t.curl = c, t.easy = easy, t.last_ms = t.start_ms = now_ms();
  if (!set_options(c, easy, r, target, url, agent, ca_file, resolved, &t)) {
    c->easy_cleanup(easy);
    c->slist_free_all(resolved);
    return fail(result, stage_session, 0);
  }
  CURLcode code = c->easy_perform(easy);
  long status = 0;
  c->easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  c->easy_cleanup(easy);
  c->slist_free_all(resolved);
  result->received = t.received;
  result->status = u32(status);
  if (t.own_stage != 0) return fail(result, t.own_stage, t.own_error);
  if (code != CURLE_OK) return fail(result, t.answered ? stage_read : stage_send, u32(code));
  if (status <= 0) return fail(result, stage_send, 0);
  return 1;
}

}  // namespace

mem::Bytes missing_library_text() {
  return mem::lit("the HTTP library libcurl.so.4 is missing (Debian package libcurl4)");
}

u32 available() {
  Curl c;
  if (!load(&c)) return 0;
  dlclose(c.library);
  return 1;
}

u32 get(const Request* request, Result* result) {
  *result = Result{};
  Target target;
  if (!target_of(request->url, &target)) return fail(result, stage_url, 0);
  Curl c;
  if (!load(&c)) return fail(result, stage_session, 0);
  char address[INET6_ADDRSTRLEN + 2] = {};
  u32 error = resolve(target, address, sizeof address);
  u32 ok = error != 0 ? fail(result, stage_request, error) : perform(&c, request, target, address, result);
  dlclose(c.library);
  return ok;
}

}  // namespace http

// ---- The kept-alive client: one easy handle whose connection libcurl keeps between requests.
namespace http {
namespace {

struct ClientState {
  Curl curl;
  CURL* easy;
  curl_slist* resolved;
  curl_slist* headers;
  char base[300];  // "scheme://host:port"
  u32 timeout_ms;
};

// What the callbacks of one exchange share.
struct Flow {
  const Exchange* exchange;
  Curl* curl;
  CURL* easy;
  u64 start_us;
  u64 last_ms;   // the last sign of life: a header, body bytes taken or given
  u64 moved;
  u32 timeout_ms;
  bool answered;
  bool cut;
  bool stalled;
};

u64 now_us() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return u64(t.tv_sec) * 1000000 + u64(t.tv_nsec) / 1000;
}

bool time_up(const Flow* f) { return f->exchange->time_limit_us != 0 && now_us() - f->start_us >= f->exchange->time_limit_us; }

size_t flow_header(char*, size_t size, size_t count, void* user) {
  Flow* f = static_cast<Flow*>(user);
  f->answered = true;
  f->last_ms = now_ms();
  return size * count;
}

size_t flow_body(char*, size_t size, size_t count, void* user) {
  Flow* f = static_cast<Flow*>(user);
  u64 n = u64(size) * count;
  f->last_ms = now_ms();
  u64 limit = f->exchange->read_limit;
  if (limit != 0 && n > limit - f->moved) {
    f->moved = limit;
    f->cut = true;
    return 0;
  }
  f->moved += n;
  if (time_up(f)) {
    f->cut = true;
    return 0;
  }
  return n;
}

size_t flow_zeros(char* buffer, size_t size, size_t count, void* user) {
  Flow* f = static_cast<Flow*>(user);
  f->last_ms = now_ms();
  if (time_up(f)) {
    f->cut = true;
    return CURL_READFUNC_ABORT;
  }
  u64 n = u64(size) * count, left = f->exchange->send_bytes - f->moved;
  if (n > left) n = left;
  memset(buffer, 0, n);
  f->moved += n;
  return n;
}

// Ends the exchange when a limit has passed or nothing has moved for too long: before the answer's first byte the
// connection, the send and the wait each get their time-out; once bytes flow, one time-out between any two.
int flow_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  Flow* f = static_cast<Flow*>(user);
  bool body_moving = f->exchange->post ? f->moved < f->exchange->send_bytes && !f->answered : f->answered;
  if (body_moving && time_up(f)) {
    f->cut = true;
    return 1;
  }
  u64 wait = f->answered || f->moved != 0 ? f->timeout_ms : u64(f->timeout_ms) * 3;
  if (now_ms() - f->last_ms <= wait) return 0;
  f->stalled = true;
  return 1;
}

u32 error_word(CURLcode code) {
  if (code == CURLE_OPERATION_TIMEDOUT) return error_timeout;
  if (code == CURLE_COULDNT_RESOLVE_HOST) return error_name;
  if (code == CURLE_COULDNT_CONNECT) return error_connect;
  return u32(code);
}

bool client_options(ClientState* c, const Service* service, const char* agent) {
  Curl* k = &c->curl;
  CURL* e = c->easy;
  return k->easy_setopt(e, CURLOPT_PROTOCOLS_STR, service->secure ? "https" : "http") == CURLE_OK &&
         k->easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
         k->easy_setopt(e, CURLOPT_MAXREDIRS, 0L) == CURLE_OK &&
         k->easy_setopt(e, CURLOPT_NETRC, long(CURL_NETRC_IGNORED)) == CURLE_OK &&
         k->easy_setopt(e, CURLOPT_PROXY, "") == CURLE_OK &&
         k->easy_setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
         k->easy_setopt(e, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1)) == CURLE_OK &&
         k->easy_setopt(e, CURLOPT_RESOLVE, c->resolved) == CURLE_OK &&
         k->easy_setopt(e, CURLOPT_HTTPHEADER, c->headers) == CURLE_OK &&
         k->easy_setopt(e, CURLOPT_USERAGENT, agent) == CURLE_OK &&
         k->easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, long(c->timeout_ms)) == CURLE_OK &&
         k->easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
         k->easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
         k->easy_setopt(e, CURLOPT_HEADERFUNCTION, flow_header) == CURLE_OK &&
         k->easy_setopt(e, CURLOPT_WRITEFUNCTION, flow_body) == CURLE_OK &&
         k->easy_setopt(e, CURLOPT_READFUNCTION, flow_zeros) == CURLE_OK &&
         k->easy_setopt(e, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
         k->easy_setopt(e, CURLOPT_XFERINFOFUNCTION, flow_progress) == CURLE_OK;
}

void free_state(ClientState* c) {
  if (c->easy) c->curl.easy_cleanup(c->easy);
  if (c->resolved) c->curl.slist_free_all(c->resolved);
  if (c->headers) c->curl.slist_free_all(c->headers);
  if (c->curl.library) dlclose(c->curl.library);
  free(c);
}

}  // namespace

u32 client_open(Client* client, const Service* service) {
  client_close(client);
  client->error = 0;
  Target target{};
  char agent[128];
  if (service->host.len == 0 || service->host.len >= sizeof target.host || service->port == 0 ||
      service->port > 65535 || !c_text(service->host, target.host, sizeof target.host) ||
      !c_text(service->user_agent, agent, sizeof agent)) {
    client->error = error_name;
    return 0;
  }
  target.port = service->port;
  target.secure = service->secure != 0;
  ClientState* c = static_cast<ClientState*>(calloc(1, sizeof(ClientState)));
  if (!c) {
    client->error = u32(CURLE_OUT_OF_MEMORY);
    return 0;
  }
  if (!load(&c->curl)) {
    free(c);
    client->error = error_no_library;
    return 0;
  }
  char address[INET6_ADDRSTRLEN + 2] = {}, entry[400];
  if (resolve(target, address, sizeof address) != 0) {
    free_state(c);
    client->error = error_name;
    return 0;
  }
  snprintf(entry, sizeof entry, "%s:%u:%s", target.host, target.port, address);
  snprintf(c->base, sizeof c->base, "%s://%s:%u", target.secure ? "https" : "http", target.host, target.port);
  c->timeout_ms = service->timeout_ms;
  c->resolved = c->curl.slist_append(nullptr, entry);
  // No "Expect: 100-continue" before an upload: the body goes at once, as the service expects.
  c->headers = c->resolved ? c->curl.slist_append(nullptr, "Expect:") : nullptr;
  c->easy = c->headers ? c->curl.easy_init() : nullptr;
  if (!c->easy || !client_options(c, service, agent)) {
    free_state(c);
    client->error = u32(CURLE_FAILED_INIT);
    return 0;
  }
  client->state = c;
  return 1;
}

u32 client_exchange(Client* client, const Exchange* x, Answer* answer) {
  *answer = Answer{};
  ClientState* c = static_cast<ClientState*>(client->state);
  char url[600];
  if (!c || x->path.len == 0 || x->path.ptr[0] != '/' || x->path.len >= sizeof url - strlen(c->base) ||
      memchr(x->path.ptr, 0, x->path.len)) {
    client->error = u32(CURLE_URL_MALFORMAT);
    return 0;
  }
  snprintf(url, sizeof url, "%s%.*s", c->base, int(x->path.len), reinterpret_cast<const char*>(x->path.ptr));
  Flow f{};
  f.exchange = x, f.curl = &c->curl, f.easy = c->easy, f.timeout_ms = c->timeout_ms;
  Curl* k = &c->curl;
  CURL* e = c->easy;
  bool ok = k->easy_setopt(e, CURLOPT_URL, url) == CURLE_OK &&
            k->easy_setopt(e, CURLOPT_HEADERDATA, &f) == CURLE_OK &&
            k->easy_setopt(e, CURLOPT_WRITEDATA, &f) == CURLE_OK &&
            k->easy_setopt(e, CURLOPT_READDATA, &f) == CURLE_OK &&
            k->easy_setopt(e, CURLOPT_XFERINFODATA, &f) == CURLE_OK;
  if (ok && x->post) {
    ok = k->easy_setopt(e, CURLOPT_POST, 1L) == CURLE_OK &&
         k->easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(x->send_bytes)) == CURLE_OK;
  } else if (ok) {
    ok = k->easy_setopt(e, CURLOPT_HTTPGET, 1L) == CURLE_OK;
  }
  if (!ok) {
    client->error = u32(CURLE_FAILED_INIT);
    return 0;
  }
  f.start_us = now_us();
  f.last_ms = now_ms();
  CURLcode code = k->easy_perform(e);
  long status = 0;
  if (f.answered) k->easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
  answer->status = u32(status);
  answer->moved = f.moved;
  answer->cut = f.cut ? 1 : 0;
  if (f.cut) return 1;
  if (f.stalled) {
    client->error = error_timeout;
    return 0;
  }
  if (code != CURLE_OK) {
    client->error = error_word(code);
    return 0;
  }
  if (status <= 0) {
    client->error = u32(CURLE_WEIRD_SERVER_REPLY);
    return 0;
  }
  return 1;
}

void client_close(Client* client) {
  if (client->state) free_state(static_cast<ClientState*>(client->state));
  client->state = nullptr;
}

}  // namespace http
