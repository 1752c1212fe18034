// The HTTP GET over libcurl, loaded with dlopen. Only the calls below are used; their addresses are looked up for
// each transfer, so nothing of the library is kept in this module between calls.
#include "platform/http.h"

#include <curl/curl.h>
#include <dlfcn.h>
#include <errno.h>
#include <netdb.h>
#include <stdio.h>
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

// Called while the transfer waits: ends it when nothing has come for longer than the wait allowed.
int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  Transfer* t = static_cast<Transfer*>(user);
  u64 now = now_ms();
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
  t.request = r, t.curl = c, t.easy = easy, t.last_ms = now_ms();
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
