#include "update/update.h"

#include "base/fmt.h"
#include "base/sha256.h"
#include "cluster/remote_update.h"
#include "platform/fs.h"
#include "platform/http.h"
#include "platform/kobj.h"
#include "platform/os.h"
#include "platform/proc.h"
#include "platform/sign.h"
#include "update/pe.h"

namespace update {

namespace {

bool is_digit(u8 c) { return c >= '0' && c <= '9'; }
bool is_letter(u8 c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_host_byte(u8 c) { return is_letter(c) || is_digit(c) || c == '.' || c == '-'; }
bool is_file_byte(u8 c) { return is_letter(c) || is_digit(c) || c == '.' || c == '-' || c == '_'; }

bool ends_with(mem::Bytes text, mem::Bytes tail) {
  return text.len >= tail.len && mem::eq(mem::Bytes(text.ptr + text.len - tail.len, tail.len), tail);
}
bool starts_with(mem::Bytes text, mem::Bytes head) {
  return text.len >= head.len && mem::eq(mem::Bytes(text.ptr, head.len), head);
}
mem::Bytes sub(mem::Bytes text, u64 start, u64 end) { return mem::Bytes(text.ptr + start, end - start); }

// A version number at *at: 1 to 9 digits, no leading zero unless it is "0" alone. false when bad.
bool version_number(mem::Bytes text, u64* at, u32* out) {
  u64 i = *at, v = 0;
  while (i < text.len && is_digit(text.ptr[i]) && i - *at < 10) v = v * 10 + (text.ptr[i++] - '0');
  u64 digits = i - *at;
  if (digits == 0 || digits > 9 || (digits > 1 && text.ptr[*at] == '0')) return false;
  *at = i;
  *out = u32(v);
  return true;
}

// 0..15 for a lower-case hex digit, 16 for every other byte.
u8 hex_value(u8 c) {
  if (is_digit(c)) return u8(c - '0');
  if (c >= 'a' && c <= 'f') return u8(c - 'a' + 10);
  return 16;
}

// 64 lower-case hex digits as the 32 bytes of a key; false (and nothing written) for anything else.
bool key_of_hex(mem::Bytes hex, u8 out[32]) {
  if (hex.len != 64) return false;
  for (u64 i = 0; i < 64; i++)
    if (hex_value(hex.ptr[i]) == 16) return false;
  for (u32 i = 0; i < 32; i++) out[i] = u8(hex_value(hex.ptr[2 * i]) << 4 | hex_value(hex.ptr[2 * i + 1]));
  return true;
}

u32 parse_any_manifest(mem::Bytes text, mem::Bytes short_name, bool local, bool beta, Manifest* out) {
  reset_manifest(out);
  u8 key_bytes[64];
  mem::Bytes key = manifest_key(short_name, mem::Slice{key_bytes, sizeof key_bytes});
  u64 start = 0, end = 0;
  if (key.len == 0) return 0;
  u64 at = key_line(text, 0, key, &start, &end);
  if (at == no_line || !mem::eq(sub(text, start, end), mem::lit("1"))) return 0;

  Manifest m;
  reset_manifest(&m);
  at = key_line(text, at, mem::lit("version"), &m.version_start, &m.version_end);
  if (at == no_line || !parse_version(sub(text, m.version_start, m.version_end), &m.version)) return 0;
  if (!beta && m.version.beta != -1) return 0;

  at = key_line(text, at, mem::lit("file"), &m.file_start, &m.file_end);
  if (at == no_line || m.file_end - m.file_start > 255) return 0;
  for (u64 i = m.file_start; i < m.file_end; i++)
    if (!is_file_byte(text.ptr[i])) return 0;

  at = key_line(text, at, mem::lit("sha256"), &start, &end);
  if (at == no_line || end - start != 64) return 0;
  for (u32 i = 0; i < 32; i++) {
    u8 hi = hex_value(text.ptr[start + 2 * i]), lo = hex_value(text.ptr[start + 2 * i + 1]);
    if (hi == 16 || lo == 16) return 0;
    m.sha256[i] = u8(hi << 4 | lo);
  }

  at = key_line(text, at, mem::lit("url"), &m.url_start, &m.url_end);
  if (at == no_line) return 0;
  mem::Bytes url = sub(text, m.url_start, m.url_end), file = sub(text, m.file_start, m.file_end);
  Url parsed;
  if (!parse_url(url, local, &parsed) || url.len <= file.len) return 0;
  if (url.ptr[url.len - file.len - 1] != '/' || !ends_with(url, file)) return 0;
  *out = m;
  return 1;
}

}  // namespace

bool is_worker_option(mem::Bytes word) { return mem::eq(word, mem::lit("--vimb-update")); }
mem::Bytes notes_option() { return mem::lit("--update-notes"); }
u32 parse_worker_mode(mem::Bytes word) {
  if (mem::eq(word, mem::lit("check"))) return 1;
  if (mem::eq(word, mem::lit("fetch"))) return 2;
  if (mem::eq(word, mem::lit("swap"))) return 3;
  return 0;
}

Version version_zero() { return Version{0, 0, 0, -1}; }

u32 parse_version(mem::Bytes text, Version* out) {
  *out = version_zero();
  Version v = version_zero();
  u64 at = 0;
  u32* parts[3] = {&v.major, &v.minor, &v.patch};
  for (u32 i = 0; i < 3; i++) {
    if (i > 0 && (at >= text.len || text.ptr[at++] != '.')) return 0;
    if (!version_number(text, &at, parts[i])) return 0;
  }
  if (at < text.len) {
    mem::Bytes mark = mem::lit("-beta.");
    u32 n = 0;
    if (!starts_with(sub(text, at, text.len), mark)) return 0;
    at += mark.len;
    if (!version_number(text, &at, &n)) return 0;
    v.beta = i32(n);  // at most 9 digits: always fits
  }
  if (at != text.len) return 0;
  *out = v;
  return 1;
}

u32 is_version_text(mem::Bytes text) {
  Version v;
  return parse_version(text, &v);
}

bool compare_versions(Version a, Version b) {
  u64 ka = u64(a.major) << 32 | a.minor, kb = u64(b.major) << 32 | b.minor;
  if (ka != kb) return ka > kb;
  return (u64(a.patch) << 32 | u32(a.beta)) > (u64(b.patch) << 32 | u32(b.beta));
}

mem::Bytes feed_tail() { return mem::lit("/latest.txt"); }
mem::Bytes beta_feed_tail() { return mem::lit("/latest-beta.txt"); }

bool is_plain_url(mem::Bytes url) {
  for (u64 i = 0; i < url.len; i++)
    if (url.ptr[i] == '?' || url.ptr[i] == '#') return false;
  return true;
}

u64 check_feed_url(mem::Bytes url) {
  u64 beta_len = url.len + (beta_feed_tail().len - feed_tail().len);
  if (!ends_with(url, feed_tail()) || !is_plain_url(url) || beta_len > max_feed_url) return 0;
  return beta_len;
}

mem::Bytes beta_feed_url(mem::Bytes url, mem::Slice buffer) {
  u64 len = check_feed_url(url);
  if (len == 0 || len > buffer.len) return mem::Bytes();
  u64 keep = url.len - feed_tail().len;
  mem::copy(mem::Slice{buffer.ptr, keep}, mem::Bytes(url.ptr, keep));
  mem::copy(mem::Slice{buffer.ptr + keep, beta_feed_tail().len}, beta_feed_tail());
  return mem::Bytes(buffer.ptr, len);
}

u32 parse_url(mem::Bytes url, bool local, Url* out) {
  *out = Url{};
  Url u{};
  u64 at = 0;
  if (url.len >= 9 && starts_with(url, mem::lit("https://"))) {
    u.secure = 1, u.port = 443, at = 8;
  } else if (local && url.len >= 8 && starts_with(url, mem::lit("http://"))) {
    u.secure = 0, u.port = 80, at = 7;
  } else {
    return 0;
  }
  u.host_start = at;
  while (at < url.len && is_host_byte(url.ptr[at])) at++;
  u.host_end = at;
  if (at == u.host_start || at == url.len) return 0;
  if (!u.secure && !mem::eq(sub(url, u.host_start, u.host_end), mem::lit("127.0.0.1"))) return 0;
  if (url.ptr[at] == ':') {
    u64 start = ++at;
    while (at < url.len && url.ptr[at] != '/') at++;
    if (at == url.len || at == start || at - start > 5 || url.ptr[start] == '0') return 0;
    u32 port = 0;
    for (u64 i = start; i < at; i++) {
      if (!is_digit(url.ptr[i])) return 0;
      port = port * 10 + (url.ptr[i] - '0');
    }
    if (port > 65535) return 0;
    u.port = port;
  }
  if (url.ptr[at] != '/') return 0;
  u.path_start = at;
  for (; at < url.len; at++)
    if (url.ptr[at] < 33 || url.ptr[at] > 126) return 0;
  *out = u;
  return 1;
}

bool same_origin(mem::Bytes a, mem::Bytes b, bool local) {
  Url ua, ub;
  if (!parse_url(a, local, &ua) || !parse_url(b, local, &ub)) return false;
  return ua.secure == ub.secure && ua.port == ub.port &&
         mem::eq(sub(a, ua.host_start, ua.host_end), sub(b, ub.host_start, ub.host_end));
}

void reset_manifest(Manifest* m) {
  mem::fill(mem::Slice{reinterpret_cast<u8*>(m), sizeof(Manifest)}, 0);
  m->version = version_zero();
}

mem::Bytes manifest_key(mem::Bytes short_name, mem::Slice buffer) {
  mem::Bytes tail = mem::lit("-latest");
  u64 len = short_name.len + tail.len;
  if (len > 64 || len > buffer.len) return mem::Bytes();
  mem::copy(buffer, short_name);
  mem::copy(mem::Slice{buffer.ptr + short_name.len, tail.len}, tail);
  return mem::Bytes(buffer.ptr, len);
}

u64 key_line(mem::Bytes text, u64 offset, mem::Bytes key, u64* start, u64* end) {
  *start = *end = 0;
  if (offset > text.len || !starts_with(sub(text, offset, text.len), key)) return no_line;
  u64 at = offset + key.len;
  if (at >= text.len || text.ptr[at] != ' ') return no_line;
  u64 value = ++at;
  while (at < text.len && text.ptr[at] != ' ' && text.ptr[at] != '\n') at++;
  if (at == value || at == text.len || text.ptr[at] != '\n') return no_line;
  *start = value;
  *end = at;
  return at + 1;
}

u32 parse_manifest(mem::Bytes text, mem::Bytes short_name, bool local, Manifest* out) {
  return parse_any_manifest(text, short_name, local, false, out);
}

u32 parse_beta_manifest(mem::Bytes text, mem::Bytes short_name, bool local, Manifest* out) {
  return parse_any_manifest(text, short_name, local, true, out);
}

u32 write_latest_file(mem::Bytes latest_path, mem::Bytes text) {
  if (fs::replace_file(latest_path, text) == fs::ok) return 1;
  fs::delete_file(latest_path);  // a copy that may be stale must not outlive a failed write
  return 0;
}

u32 read_latest_file(mem::Bytes latest_path, mem::Slice buffer, u64* length) {
  *length = 0;
  fs::File file{};
  if (fs::open_sized(latest_path, &file) != fs::ok) return 0;
  u64 got = 0, count = 0;
  u32 ok = 1;
  while (ok && got < buffer.len) {
    if (fs::read_at(&file, got, mem::Slice{buffer.ptr + got, buffer.len - got}, &count) != fs::ok) ok = 0;
    if (count == 0) break;
    got += count;
  }
  u8 extra = 0;
  // The whole file must fit: one more byte past the buffer's worth must not be there.
  if (ok && fs::read_at(&file, got, mem::Slice{&extra, 1}, &count) == fs::ok && count == 0) {
    *length = got;
  } else {
    ok = 0;
  }
  fs::close(&file);
  return ok;
}

// ---- The check step.

mem::Bytes server_host() {
  mem::Bytes origin = built_in_origin();
  // The origin has no path of its own: the host is what follows the scheme up to a port or the end.
  u64 start = starts_with(origin, mem::lit("https://")) ? 8 : 0, end = start;
  while (end < origin.len && is_host_byte(origin.ptr[end])) end++;
  return sub(origin, start, end);
}

mem::Bytes build_arch() { return mem::lit(VIMBREL_BUILD_ARCH); }
mem::Bytes feed_path() { return mem::lit(VIMBREL_FEED_PATH); }

Config fill_config(mem::Bytes short_name, mem::Bytes feed_url, mem::Bytes signer, mem::Bytes product,
                   mem::Bytes version_text, mem::Bytes folder, u64 limit, u32 flags) {
  Config c{};
  c.short_name = short_name;
  c.feed_url = feed_url;
  c.signer = signer;
  c.product = product;
  c.version_text = version_text;
  c.folder = folder;
  c.limit = limit;
  c.flags = flags;
  return c;
}

Config make_config(mem::Bytes version_text) {
  Config c = fill_config(mem::lit("vimbrel"), built_in_feed_url(), mem::lit("Quillmere Ltd"), mem::lit("Vimbrel"),
                         version_text, mem::lit("Vimbrel"), 0, VIMBREL_CONFIG_FLAGS);
  // A build without a release key has nothing to check a release with: it asks for none (the build inputs allow
  // only 64 lower-case hex digits or nothing).
  c.has_key = key_of_hex(built_in_key_hex(), c.public_key) ? 1 : 0;
  return c;
}

namespace {

}  // namespace

u32 transfer_bound_ms(const Config* config, bool to_file, u64 limit) {
  if (config->deadline_ms) return config->deadline_ms;
  if (!to_file) return small_transfer_ms;
  u64 ms = small_transfer_ms + limit / 64;  // 64 bytes a millisecond: 64 KiB a second
  return ms < 0xFFFFFFFF ? u32(ms) : 0xFFFFFFFF;
}

namespace {

http::Request request_of(const Config* config, mem::Bytes url, u64 limit) {
  http::Request r{};
  r.url = url;
  r.user_agent = config->product;
  r.ca_file = config->ca_file;
  r.resolve_ms = config->wait_ms ? config->wait_ms : resolve_ms;
  r.connect_ms = config->wait_ms ? config->wait_ms : connect_ms;
  r.send_ms = config->wait_ms ? config->wait_ms : send_ms;
  r.receive_ms = config->wait_ms ? config->wait_ms : receive_ms;
  r.limit = limit;
  return r;
}

u32 http_get(const Config* config, http::Request* request, HttpResult* out) {
  *out = HttpResult{};
  Url parsed;
  if (!parse_url(request->url, (config->flags & flag_local) != 0, &parsed)) {
    out->stage = http::stage_url;
    return 0;
  }
  http::Result r;
  u32 ok = http::get(request, &r);
  *out = HttpResult{r.status, r.stage, r.error, r.received};
  return ok;
}

}  // namespace

u32 http_get_to_memory(const Config* config, mem::Bytes url, mem::Slice buffer, u64 limit, HttpResult* out) {
  http::Request request = request_of(config, url, limit);
  request.buffer = buffer;
  request.total_ms = transfer_bound_ms(config, false, limit);
  return http_get(config, &request, out);
}

u32 http_get_to_file(const Config* config, mem::Bytes url, u64 file, u64 limit, HttpResult* out) {
  http::Request request = request_of(config, url, limit);
  request.file = file;
  request.total_ms = transfer_bound_ms(config, true, limit);
  return http_get(config, &request, out);
}

void reset_result(Result* r) {
  mem::fill(mem::Slice{reinterpret_cast<u8*>(r), sizeof(Result)}, 0);
  r->running = r->offered = version_zero();
  reset_manifest(&r->manifest);
}

void take_feed(const Config* config, mem::Bytes feed_url, bool beta, Result* r) {
  bool local = (config->flags & flag_local) != 0;
  if (r->http.stage != 0 || r->http.status != 200) {
    r->state = state_failed, r->reason = reason_unreachable;
    return;
  }
  mem::Bytes text(r->text, r->text_length);
  u32 ok = beta ? parse_beta_manifest(text, config->short_name, local, &r->manifest)
                : parse_manifest(text, config->short_name, local, &r->manifest);
  if (!ok) {
    r->state = state_failed, r->reason = reason_malformed;
    return;
  }
  r->offered = r->manifest.version;
  mem::Bytes url(r->text + r->manifest.url_start, r->manifest.url_end - r->manifest.url_start);
  if (!same_origin(url, feed_url, local)) {
    r->state = state_failed, r->reason = reason_foreign;
    return;
  }
  r->state = compare_versions(r->offered, r->running) ? state_available : state_up_to_date;
}

void fetch_beta_feed(const Config* config, Result* r) {
  if (r->state != state_none) {
    r->state = state_failed, r->reason = reason_order;
    return;
  }
  u8 url[max_feed_url];
  mem::Bytes beta_url = beta_feed_url(config->feed_url, mem::Slice{url, sizeof url});
  http_get_to_memory(config, beta_url, mem::Slice{r->text, sizeof r->text}, manifest_capacity, &r->http);
  r->text_length = r->http.received < manifest_capacity ? r->http.received : manifest_capacity;
  take_feed(config, config->feed_url, true, r);
}

void fetch_feed(const Config* config, Result* r) {
  if (config->flags & flag_beta) return fetch_beta_feed(config, r);
  if (r->state != state_none) {
    r->state = state_failed, r->reason = reason_order;
    return;
  }
  http_get_to_memory(config, config->feed_url, mem::Slice{r->text, sizeof r->text}, manifest_capacity, &r->http);
  r->text_length = r->http.received < manifest_capacity ? r->http.received : manifest_capacity;
  take_feed(config, config->feed_url, false, r);
}

u32 save_manifest(const Result* r, mem::Bytes latest_path) {
  return write_latest_file(latest_path, mem::Bytes(r->text, r->text_length));
}

namespace {

// The file is read and judged in a buffer of its own: a refused file leaves the result as it was, text included.
u32 load_saved(const Config* config, mem::Bytes latest_path, bool beta, Result* r) {
  u8 saved[sizeof r->text];
  u64 length = 0;
  if (!read_latest_file(latest_path, mem::Slice{saved, sizeof saved}, &length)) return 0;
  Manifest m;
  bool local = (config->flags & flag_local) != 0;
  mem::Bytes text(saved, length);
  u32 ok = beta ? parse_beta_manifest(text, config->short_name, local, &m)
                : parse_manifest(text, config->short_name, local, &m);
  if (!ok) return 0;
  __builtin_memcpy(r->text, saved, length);
  r->manifest = m;
  r->text_length = length;
  r->offered = m.version;
  return 1;
}

}  // namespace

u32 load_saved_beta_manifest(const Config* config, mem::Bytes latest_path, Result* r) {
  return load_saved(config, latest_path, true, r);
}

u32 load_saved_manifest(const Config* config, mem::Bytes latest_path, Result* r) {
  if (config->flags & flag_beta) return load_saved_beta_manifest(config, latest_path, r);
  return load_saved(config, latest_path, false, r);
}

// ---- Update files.

namespace {

void path_set(Path* p, mem::Bytes a, mem::Bytes b = mem::Bytes()) {
  p->len = 0;
  const mem::Bytes parts[] = {a, b};
  for (mem::Bytes part : parts)
    for (u64 i = 0; i < part.len && p->len < path_capacity - 1; i++) p->bytes[p->len++] = part.ptr[i];
  p->bytes[p->len] = 0;
}

// The system's error numbers read through the file layer's classes, so each system's own numbers count: a file in
// use (or an operation that would have to wait) is busy; access denied is refused, but a file in use, a
// write-protected medium or a folder in place of a file is not.
bool is_busy(u32 error) {
  return fs::io_error_class(error) == fs::io_in_use || fs::error_class(error) == fs::would_block;
}
bool is_refused(u32 error) {
  return fs::error_class(error) == fs::denied && fs::io_error_class(error) == fs::io_denied;
}

// The retry rule around one file operation that answers an error number.
template <typename Op>
u32 with_retry(Op op) {
  u32 error = 0;
  for (u32 attempt = 1;; attempt++) {
    error = op();
    if (error == 0) return 0;
    bool again = (is_busy(error) && attempt < 20) || (is_refused(error) && attempt < 10);
    if (!again) return error;
    os::sleep_ms(100);
  }
}

}  // namespace

u32 module_path(Path* out) {
  u8 buffer[1024];
  u32 len = proc::own_path(buffer);
  path_set(out, mem::Bytes());
  if (len == 0 || len > program_path_max) return 0;
  path_set(out, mem::Bytes(buffer, len));
  return 1;
}

u32 make_paths(mem::Bytes program, Paths* out) {
  mem::fill(mem::Slice{reinterpret_cast<u8*>(out), sizeof(Paths)}, 0);
  if (program.len == 0 || program.len > program_path_max) return 0;
  path_set(&out->program, program);
  path_set(&out->old, program, mem::lit(".old"));
  path_set(&out->fresh, program, mem::lit(".new"));
  path_set(&out->download, program, mem::lit(".download"));
  path_set(&out->latest, program, mem::lit(".latest"));
  path_set(&out->signature, program, mem::lit(".new.sig"));
  fs::identity(program, &out->device, &out->inode);
  return 1;
}

u32 own_paths(Paths* out) {
  Path p;
  if (!module_path(&p)) {
    make_paths(mem::Bytes(), out);
    return 0;
  }
  return make_paths(view(p), out);
}

// A path that is not absolute on this system is refused: the update files must sit beside the program, wherever
// the caller runs.
u32 paths_for(mem::Bytes program, Paths* out) {
  if (!fs::absolute(program)) {
    make_paths(mem::Bytes(), out);
    return 0;
  }
  return make_paths(program, out);
}

void numbered_old_path(const Paths* paths, u32 n, Path* out) {
  if (n == 0) {
    *out = paths->old;
    return;
  }
  u8 digits[fmt::dec_size];
  u8 suffix[8] = {'-'};
  mem::Slice d = fmt::dec(n, digits);
  mem::copy(mem::Slice{suffix + 1, 7}, d);
  path_set(out, view(paths->old), mem::Bytes(suffix, 1 + d.len));
}

u64 mutex_name_hash(mem::Bytes program) {
  u8 digest[32];
  u8 key[2 * path_capacity];
  sha256::sha256(mem::Bytes(key, fs::path_lock_key(program, mem::Slice{key, sizeof key})), digest);
  u64 v = 0;
  for (u32 i = 0; i < 8; i++) v = v << 8 | digest[i];
  return v;
}

u32 lock(const Config* config, const Paths* paths, u64* handle) {
  *handle = 0;
  u8 name[kobj::name_max];
  u64 len = 0;
  u8 digits[fmt::hex_size];
  const mem::Bytes parts[] = {mem::lit("Local\\"), config->short_name, mem::lit("Update-"),
                              mem::Bytes(fmt::hex(mutex_name_hash(view(paths->program)), digits))};
  for (mem::Bytes part : parts) {
    if (len + part.len > sizeof name) return 0;
    mem::copy(mem::Slice{name + len, part.len}, part);
    len += part.len;
  }
  *handle = kobj::take_mutex(mem::Bytes(name, len), 0);
  return *handle != 0 ? 1 : 0;
}

void unlock(u64* handle) {
  if (*handle) kobj::release_mutex(*handle);
  *handle = 0;
}

bool file_exists(mem::Bytes path) { return fs::present(path) != 0; }

bool delete_file(mem::Bytes path, u32* error) {
  *error = fs::delete_unused(path);
  return !file_exists(path);
}

bool move_file_retry(mem::Bytes from, mem::Bytes to, bool replace, u32* error) {
  *error = with_retry([&] { return fs::rename_path(from, to, replace ? 1 : 0); });
  return *error == 0;
}

bool park_retry(mem::Bytes from, mem::Bytes to, u32* error) {
  *error = with_retry([&] { return fs::park_path(from, to); });
  return *error == 0;
}

bool rename_by_handle(u64 handle, mem::Bytes from, mem::Bytes to, u32* error) {
  *error = with_retry([&] { return fs::rename_open(handle, from, to); });
  return *error == 0;
}

bool open_exclusive(const Paths* paths, u64* handle, u32* error) {
  *error = with_retry([&] { return fs::open_plain_read(view(paths->fresh), handle); });
  return *error == 0;
}

void delete_latest(const Paths* paths) { fs::delete_unused(view(paths->latest)); }

// ---- Download and verification.

u32 result_reason(u32 v) {
  switch (v) {
    case 0: return 0;
    case verdict_digest: return reason_digest;
    case verdict_not_signed: return reason_not_signed;
    case verdict_other_signer: return reason_other_signer;
    case verdict_version: return reason_wrong_version;
    case install_no_new: return reason_no_new;
    case install_intact: return reason_not_replaced;
    default: return reason_program_missing;
  }
}

u32 hash_file(u64 handle, u8 digest[32]) {
  fs::File file{handle, 0};
  if (fs::handle_size(handle, &file.size) != 0) return 0;
  sha256::Context ctx;
  sha256::init(&ctx);
  u8 piece[65536];
  u64 at = 0, count = 0;
  while (at < file.size) {
    if (fs::read_at(&file, at, mem::Slice{piece, sizeof piece}, &count) != fs::ok || count == 0) return 0;
    sha256::update(&ctx, mem::Bytes(piece, count));
    at += count;
  }
  sha256::finish(&ctx, digest);
  return 1;
}

namespace {

// The version of a fixed file information's halves: major, minor, patch; the build number is not part of it.
Version fixed_file_version(u32 ms, u32 ls) { return Version{ms >> 16, ms & 0xFFFF, ls >> 16, -1}; }

}  // namespace

u32 read_pe_version(u64 handle, Version* out) {
  *out = version_zero();
  fs::File file{handle, 0};
  u8 head[pe::head_bytes];
  u64 count = 0;
  u32 offset = 0, size = 0;
  if (fs::handle_size(handle, &file.size) != 0 || fs::read_at(&file, 0, mem::Slice{head, sizeof head}, &count) != 0 ||
      !pe::find_rsrc(mem::Bytes(head, count), &offset, &size) || size == 0 || size > pe::section_most) {
    return 0;
  }
  mem::Arena arena;
  if (!mem::arena_init(&arena, size)) return 0;
  u8* section = mem::alloc_of<u8>(&arena, size);
  u32 ms = 0, ls = 0;
  bool found = section && fs::read_at(&file, offset, mem::Slice{section, size}, &count) == 0 &&
               pe::fixed_version(mem::Bytes(section, count), &ms, &ls);
  mem::release(&arena);
  if (!found) return 0;
  *out = fixed_file_version(ms, ls);
  return 1;
}

u32 file_version(Version* out) {
  *out = version_zero();
  u32 ms = 0, ls = 0;
  if (!proc::own_file_version(&ms, &ls)) return 0;
  *out = fixed_file_version(ms, ls);
  return 1;
}

u32 version_text(Version v, mem::Slice out) {
  u64 at = 0;
  u8 digits[fmt::dec_size];
  const u32 parts[] = {v.major, v.minor, v.patch};
  for (u32 i = 0; i < 3 && out.len >= 48; i++) {
    if (i) out.ptr[at++] = '.';
    mem::Slice d = fmt::dec(parts[i], digits);
    mem::copy(mem::Slice{out.ptr + at, d.len}, d);
    at += d.len;
  }
  if (v.beta >= 0 && out.len >= 48) {
    mem::copy(mem::Slice{out.ptr + at, 6}, mem::lit("-beta."));
    mem::Slice d = fmt::dec(u32(v.beta), digits);
    mem::copy(mem::Slice{out.ptr + at + 6, d.len}, d);
    at += 6 + d.len;
  }
  return u32(at);
}

u32 check_signature(const Config* config, Version version, const u8 digest[32], const u8* signature) {
  if (!signature || !config->has_key) return 0;
  u8 text[48];
  u32 n = version_text(version, mem::Slice{text, sizeof text});
  return remote_update::release_signed(mem::Bytes(text, n), build_arch(), digest, signature, config->public_key);
}

u32 verify_file(const Config* config, u64 handle, const u8 digest[32], Version manifest_version, Version running,
                const u8* signature, Verdict* out) {
  *out = Verdict{};
  u8 actual[32];
  if (!hash_file(handle, actual) || !mem::eq(mem::Bytes(actual, 32), mem::Bytes(digest, 32))) {
    out->verdict = verdict_digest;
    return out->verdict;
  }
  if (!signature) {
    out->result = 1, out->verdict = verdict_not_signed;  // no signature came with the file
    return out->verdict;
  }
  if (!check_signature(config, manifest_version, actual, signature)) {
    out->result = 2, out->verdict = verdict_other_signer;  // signed, but not by the key this program trusts
    return out->verdict;
  }
  // Where the system checks signed programs itself, the file must also carry a signature it trusts, made by the
  // maker's name: a file the release key signed for another system (or none at all) is no program here.
  sign::CodeCheck code;
  const bool revocation = (config->flags & flag_no_revocation) == 0;
  if (sign::check_code(handle, config->signer, revocation, &code)) {
    out->revocation = code.revocation, out->provider_flags = code.provider_flags, out->result = code.result;
    if (code.result != 0 || !code.signer_matches) {
      out->verdict = code.result != 0 ? verdict_not_signed : verdict_other_signer;
      return out->verdict;
    }
  }
  bool agrees = (config->flags & flag_manifest_version) != 0;
  if (!agrees) {
    Version own;
    agrees = manifest_version.beta == -1 && read_pe_version(handle, &own) && own.major == manifest_version.major &&
             own.minor == manifest_version.minor && own.patch == manifest_version.patch;
  }
  out->verdict = agrees && compare_versions(manifest_version, running) ? verdict_good : verdict_version;
  return out->verdict;
}

namespace {

// The signature beside the release: "<url>.sig", exactly 64 bytes with status 200; false when there is none.
bool fetch_signature(const Config* config, mem::Bytes url, u8 signature[64]) {
  u8 sig_url[max_feed_url + 8];
  if (url.len + 4 > sizeof sig_url) return false;
  mem::copy(mem::Slice{sig_url, url.len}, url);
  mem::copy(mem::Slice{sig_url + url.len, 4}, mem::lit(".sig"));
  HttpResult r;
  u32 ok = http_get_to_memory(config, mem::Bytes(sig_url, url.len + 4), mem::Slice{signature, 64}, 64, &r);
  return ok && r.status == 200 && r.received == 64;
}

// The staged release's signature, "<exe>.new.sig"; false when it is not exactly 64 bytes.
bool read_staged_signature(const Paths* paths, u8 signature[64]) {
  fs::File file{};
  if (fs::open_sized(view(paths->signature), &file) != fs::ok) return false;
  u64 count = 0;
  bool ok = file.size == 64 && fs::read_at(&file, 0, mem::Slice{signature, 64}, &count) == fs::ok && count == 64;
  fs::close(&file);
  return ok;
}

u32 download_mode(const Paths* paths) {
  u32 mode = fs::mode_bits(view(paths->program)) & 0777;
  return mode ? mode | 0700 : 0755;  // the owner can always run it; the program's own bits otherwise
}

}  // namespace

bool may_not_create(u32 error) {
  return is_refused(error) || fs::error_class(error) == fs::write_protected;
}

u32 create_download(Paths* paths) {
  // A leftover of an earlier try is removed first; the new file is then created exclusively, never through a link.
  u32 error = 0;
  delete_file(view(paths->download), &error);
  error = fs::create_exclusive(view(paths->download), download_mode(paths), &paths->download_handle);
  if (error != 0) paths->download_handle = 0;
  return error;
}

u32 verify_download(const Config* config, Paths* paths, const u8 digest[32], Version manifest_version,
                    Version running, const u8* signature) {
  return result_reason(verify_file(config, paths->download_handle, digest, manifest_version, running, signature,
                                   &paths->verdict));
}

u32 promote_download(Paths* paths, const u8 signature[64]) {
  // The signature goes beside the staged file first, so a staged release always has one to be checked against.
  u32 error = 0;
  if (fs::replace_file(view(paths->signature), mem::Bytes(signature, 64)) != fs::ok) {
    error = fs::last_error();
  } else if (rename_by_handle(paths->download_handle, view(paths->download), view(paths->fresh), &error)) {
    return 0;
  }
  paths->step = step_promote, paths->error = error;
  return reason_promote;
}

void discard_download(Paths* paths) {
  fs::close_handle(paths->download_handle);
  paths->download_handle = 0;
  u32 error = 0;
  delete_file(view(paths->download), &error);
}

u32 download_release(const Config* config, Paths* paths, const Manifest* manifest, mem::Bytes text, Version running,
                     bool* staged, HttpResult* out) {
  *staged = false;
  *out = HttpResult{};
  if (const u32 error = create_download(paths)) return may_not_create(error) ? 0u : u32(reason_no_download_file);
  mem::Bytes url(text.ptr + manifest->url_start, manifest->url_end - manifest->url_start);
  u64 limit = config->limit ? config->limit : default_limit;
  u32 reason = 0;
  u8 signature[64];
  if (!http_get_to_file(config, url, paths->download_handle, limit, out) || out->status != 200) {
    reason = reason_download;
  } else if (fs::sync_handle(paths->download_handle) != 0) {
    reason = reason_download;
  } else {
    const bool signed_file = fetch_signature(config, url, signature);
    reason = verify_download(config, paths, manifest->sha256, manifest->version, running,
                             signed_file ? signature : nullptr);
  }
  if (reason == 0) reason = promote_download(paths, signature);
  if (reason != 0) {
    discard_download(paths);
    return reason;
  }
  fs::close_handle(paths->download_handle);
  paths->download_handle = 0;
  *staged = true;
  return 0;
}

// ---- Install, rollback and recovery.

u32 install_reason(bool opened, u32 error) {
  if (opened) return 0;
  return fs::error_class(error) == fs::not_found ? install_no_new : install_intact;
}

i32 free_parking_slot(Paths* paths) {
  for (u32 n = 1; n < parking_slots; n++) {
    Path p;
    numbered_old_path(paths, n, &p);
    u32 error = 0;
    if (delete_file(view(p), &error)) return i32(n);
  }
  return -1;
}

i32 choose_parking(Paths* paths, u32* error) {
  if (delete_file(view(paths->old), error)) return 0;
  u32 old_error = *error;
  i32 n = free_parking_slot(paths);
  if (n < 0) {
    *error = old_error;
    return -1;
  }
  Path numbered;
  numbered_old_path(paths, u32(n), &numbered);
  u32 move_error = 0;
  // The ".old" that could not go (a copy still runs from it) moves aside, so the program parks under ".old".
  return move_file_retry(view(paths->old), view(numbered), false, &move_error) ? 0 : n;
}

bool rollback(Paths* paths, mem::Bytes parked, u32 place_error) {
  u32 error = 0;
  // A place that failed left the program where it was: only the parked second name goes.
  if (file_exists(view(paths->program))) {
    fs::delete_plain(parked);
    paths->step = step_place, paths->error = place_error;
    return true;
  }
  if (move_file_retry(parked, view(paths->program), true, &error)) {
    paths->step = step_place, paths->error = place_error;
    return true;
  }
  paths->step = step_rollback, paths->error = error;
  return false;
}

void delete_parked_except(Paths* paths, i32 kept) {
  for (u32 n = 0; n < parking_slots; n++) {
    if (i32(n) == kept) continue;
    Path p;
    numbered_old_path(paths, n, &p);
    u32 error = 0;
    delete_file(view(p), &error);
  }
}

i32 find_parked(const Paths* paths) {
  if (paths->inode == 0) return -1;
  for (u32 n = 0; n < parking_slots; n++) {
    Path p;
    numbered_old_path(paths, n, &p);
    u64 device = 0, inode = 0;
    fs::identity(view(p), &device, &inode);
    if (inode != 0 && device == paths->device && inode == paths->inode) return i32(n);
  }
  return -1;
}

namespace {

u32 close_and_delete(Paths* paths, u64 handle, u32 result) {
  fs::close_handle(handle);
  u32 error = 0;
  delete_file(view(paths->fresh), &error);
  delete_file(view(paths->signature), &error);
  return result;
}

}  // namespace

u32 install(const Config* config, Paths* paths, const u8 digest[32], Version manifest_version, Version running) {
  paths->step = paths->error = 0;
  if (!file_exists(view(paths->program))) {
    paths->step = step_rollback, paths->error = 2;
    return install_missing;
  }
  u64 handle = 0;
  u32 error = 0;
  if (!open_exclusive(paths, &handle, &error)) {
    paths->step = step_open, paths->error = error;
    return install_reason(false, error);
  }
  u8 signature[64];
  bool signed_file = read_staged_signature(paths, signature);
  u32 v = verify_file(config, handle, digest, manifest_version, running, signed_file ? signature : nullptr,
                      &paths->verdict);
  if (v != verdict_good) {
    paths->step = step_verify, paths->error = 0;
    return close_and_delete(paths, handle, v);
  }
  // The new program is on the disk before it takes the program's name.
  fs::sync_handle(handle);
  i32 slot = choose_parking(paths, &error);
  Path parked;
  bool parked_ok = false, placed = false;
  if (slot >= 0) {
    // The program is parked (a second name of its file, or moved aside where a running program cannot be replaced)
    // and the new file then takes the program's name in one rename; a failed rename puts the parked file back.
    numbered_old_path(paths, u32(slot), &parked);
    parked_ok = park_retry(view(paths->program), view(parked), &error);
    if (parked_ok) placed = rename_by_handle(handle, view(paths->fresh), view(paths->program), &error);
  }
  fs::close_handle(handle);
  if (!parked_ok) {
    paths->step = step_park, paths->error = error;
    return install_intact;
  }
  if (!placed) return rollback(paths, view(parked), error) ? install_intact : install_missing;
  delete_parked_except(paths, slot);
  delete_file(view(paths->signature), &error);
  return install_done;
}

bool revert_files(Paths* paths) {
  u32 error = 0;
  i32 slot = find_parked(paths);
  if (slot < 0) {
    paths->step = step_undo, paths->error = 2;
    return false;
  }
  // The new version is parked as "<exe>.new" (a second name, or moved there), then the parked program takes the
  // program's name back in one rename; when it cannot, the new version goes back to the program's name.
  if (!delete_file(view(paths->fresh), &error) || !park_retry(view(paths->program), view(paths->fresh), &error)) {
    paths->step = step_undo, paths->error = error;
    return false;
  }
  Path parked;
  numbered_old_path(paths, u32(slot), &parked);
  if (move_file_retry(view(parked), view(paths->program), true, &error)) {
    paths->step = paths->error = 0;
    return true;
  }
  u32 back = 0;
  if (file_exists(view(paths->program))) {
    fs::delete_plain(view(paths->fresh));  // only the second name goes: the program's name still names the file
  } else if (move_file_retry(view(paths->fresh), view(paths->program), true, &back)) {
    back = 0;
  }
  const bool intact = file_exists(view(paths->program));
  paths->step = intact ? step_undo : step_rollback, paths->error = intact ? error : back;
  return false;
}

// A step runs only from the state it follows and only under the update lock; otherwise the result says which.
static bool begin_step(const Config* config, Result* r, u32 from, u64* handle) {
  if (r->state != from) {
    r->state = state_failed, r->reason = reason_order;
    return false;
  }
  if (!lock(config, &r->paths, handle)) {
    r->state = state_failed, r->reason = reason_locked;
    return false;
  }
  return true;
}

void revert_swap(const Config* config, Result* r) {
  u64 handle = 0;
  if (!begin_step(config, r, state_swapped, &handle)) return;
  bool ok = revert_files(&r->paths);
  unlock(&handle);
  if (ok) r->state = state_put_back, r->reason = 0;
  else r->state = state_failed, r->reason = r->paths.step == step_rollback ? reason_program_missing : reason_revert;
}

bool put_back_parked(Paths* paths) {
  paths->step = paths->error = 0;
  if (file_exists(view(paths->program))) return true;
  i32 slot = find_parked(paths);
  if (slot < 0) {
    paths->step = step_rollback, paths->error = 2;
    return false;
  }
  Path parked;
  numbered_old_path(paths, u32(slot), &parked);
  u32 error = 0;
  if (move_file_retry(view(parked), view(paths->program), false, &error)) return true;
  paths->step = step_rollback, paths->error = error;
  return false;
}

void restore_program(const Config* config, Result* r) {
  if (file_exists(view(r->paths.program))) return;
  u64 handle = 0;
  if (!lock(config, &r->paths, &handle)) {
    r->state = state_failed, r->reason = reason_locked;
    return;
  }
  bool ok = put_back_parked(&r->paths);
  unlock(&handle);
  if (ok) r->state = state_put_back, r->reason = 0;
  else r->state = state_failed, r->reason = reason_program_missing;
}

bool delete_leftovers(Paths* paths) {
  if (!file_exists(view(paths->program))) {
    paths->step = step_rollback, paths->error = 2;
    return false;
  }
  delete_parked_except(paths, -1);
  u32 error = 0;
  const Path* files[] = {&paths->fresh, &paths->signature, &paths->download, &paths->latest};
  for (const Path* p : files) delete_file(view(*p), &error);
  return true;
}

// Runs under the update lock: a worker of another window that downloads or installs right now keeps its files (on
// this system a deletion would not wait for it). When the lock is held the removal waits for the next start.
void clean_leftovers(const Config* config, Result* r) {
  if (!file_exists(view(r->paths.program))) {
    r->paths.step = step_rollback, r->paths.error = 2;
    if (r->state != state_failed) r->state = state_failed, r->reason = reason_program_missing;
    return;
  }
  u64 handle = 0;
  if (!lock(config, &r->paths, &handle)) return;
  delete_leftovers(&r->paths);
  unlock(&handle);
}

u64 parked_suffix_of(const Paths* paths, u8* buffer, u64 capacity) {
  i32 slot = find_parked(paths);
  if (slot < 0) return 0;
  Path p;
  numbered_old_path(paths, u32(slot), &p);
  u64 len = p.len - paths->program.len;
  if (len > capacity) return 0;
  mem::copy(mem::Slice{buffer, len}, mem::Bytes(p.bytes + paths->program.len, len));
  return len;
}

u64 parked_suffix(const Result* r, u8* buffer, u64 capacity) { return parked_suffix_of(&r->paths, buffer, capacity); }

// ---- The worker.

mem::Bytes mode_word(u32 mode) {
  if (mode == 1) return mem::lit("check");
  if (mode == 2) return mem::lit("fetch");
  if (mode == 3) return mem::lit("swap");
  return mem::lit("vimbrel");
}

namespace {

bool printable(mem::Bytes text, u64 most) {
  if (text.len == 0 || text.len > most) return false;
  for (u64 i = 0; i < text.len; i++)
    if (text.ptr[i] < 32 || text.ptr[i] > 126) return false;
  return true;
}

}  // namespace

u32 check_config(const Config* c) {
  if (c->version_text.len != 0 && (c->version_text.len > 32 || !is_version_text(c->version_text))) return 0;
  if (c->short_name.len == 0 || c->short_name.len > 32) return 0;
  for (u64 i = 0; i < c->short_name.len; i++)
    if (!is_file_byte(c->short_name.ptr[i])) return 0;
  Url u;
  if (!parse_url(c->feed_url, (c->flags & flag_local) != 0, &u)) return 0;
  if (!printable(c->signer, 64) || !printable(c->product, 64) || c->folder.len > 64) return 0;
  if (c->flags & flag_beta) {
    if (!(c->flags & flag_manifest_version) || c->version_text.len == 0) return 0;
    if (!ends_with(c->feed_url, feed_tail()) || !is_plain_url(c->feed_url)) return 0;
  }
  return 1;
}

u32 own_version(const Config* config, Version* out) {
  *out = version_zero();
  if (config->version_text.len == 0) return file_version(out);
  return parse_version(config->version_text, out);
}

void run_check(const Config* config, bool built, Result* r) {
  r->state = r->reason = 0;
  r->running = r->offered = version_zero();
  reset_manifest(&r->manifest);
  r->text_length = 0;
  r->http = HttpResult{};
  bool known = own_version(config, &r->running) != 0;
  if (check_config(config) && built && known) return;
  r->state = state_failed;
  r->reason = !check_config(config) ? reason_config : !built ? reason_no_path : reason_no_version;
}

void prepare_own(const Config* config, Result* r) { run_check(config, own_paths(&r->paths) != 0, r); }

void prepare_for_path(const Config* config, mem::Bytes program, Result* r) {
  run_check(config, paths_for(program, &r->paths) != 0, r);
}

u32 check(const Config* config, Result* r) {
  if (r->state == state_none) fetch_feed(config, r);
  return r->reason;
}

void fetch(const Config* config, Result* r) {
  u64 handle = 0;
  if (!begin_step(config, r, state_available, &handle)) return;
  bool staged = false;
  u32 reason = download_release(config, &r->paths, &r->manifest, mem::Bytes(r->text, r->text_length), r->running,
                                &staged, &r->http);
  unlock(&handle);
  if (reason != 0) {
    r->state = state_failed, r->reason = reason;
  } else if (staged) {
    if (save_manifest(r, view(r->paths.latest))) r->state = state_staged, r->reason = 0;
    else r->state = state_failed, r->reason = reason_latest;
  } else {
    r->state = state_not_installable, r->reason = reason_read_only;
  }
}

void worker_fetch(const Config* config, bool fetching, Result* r) {
  check(config, r);
  if (r->state == state_up_to_date || r->state == state_available) {
    if (!save_manifest(r, view(r->paths.latest))) r->state = state_failed, r->reason = reason_latest;
  }
  if (fetching && r->state == state_available) fetch(config, r);
}

void swap(const Config* config, Result* r) {
  u64 handle = 0;
  if (!begin_step(config, r, state_staged, &handle)) return;
  u32 result = install(config, &r->paths, r->manifest.sha256, r->manifest.version, r->running);
  unlock(&handle);
  u32 reason = result_reason(result);
  if (reason == 0) r->state = state_swapped, r->reason = 0;
  else r->state = state_failed, r->reason = reason;
}

void worker_swap(const Config* config, Result* r) {
  if (r->state != state_none) return;
  if (!load_saved_manifest(config, view(r->paths.latest), r)) {
    r->state = state_failed, r->reason = reason_latest;
    return;
  }
  r->state = state_staged;
  swap(config, r);
}

bool reason_has_step(u32 reason) { return (reason >= 16 && reason <= 19) || reason == 24; }

u32 pack_exit_code(u32 state, u32 reason, u32 step, u32 detail) {
  return 0x56u << 24 | (state & 7) << 21 | (reason & 31) << 16 | (step & 15) << 12 | (detail & 0xFFF);
}

Unpacked unpack_exit_code(u32 code) {
  return Unpacked{code >> 24, (code >> 21) & 7, (code >> 16) & 31, (code >> 12) & 15, code & 0xFFF};
}

u32 report_of(const Result* r) {
  if (reason_has_step(r->reason)) {
    u32 detail = r->paths.error > 4095 ? 4095 : r->paths.error;
    return pack_exit_code(r->state, r->reason, r->paths.step, detail);
  }
  return pack_exit_code(r->state, r->reason, r->http.stage, r->http.status);
}

u32 worker_main(const Config* config, u32 mode) {
  // The result holds the manifest text and the update files: kept in the worker's one arena, not on its stack.
  mem::Arena arena;
  if (!mem::arena_init(&arena, sizeof(Result))) return pack_exit_code(state_failed, reason_no_report, 0, 0);
  Result* r = mem::alloc_of<Result>(&arena);
  reset_result(r);
  prepare_own(config, r);
  if ((mode < 1 || mode > 3) && r->state == state_none) r->state = state_failed, r->reason = reason_order;
  // Without a release key no release could be trusted: nothing is asked for, nothing installed.
  if (!config->has_key && r->state == state_none) r->state = state_failed, r->reason = reason_unsupported;
  if (mode == 3) worker_swap(config, r);
  else worker_fetch(config, mode == 2, r);
  u32 code = report_of(r);
  mem::release(&arena);
  return code;
}

// ---- The controller's half.

void start_worker(const Config* config, u32 mode, Worker* worker, Result* r) {
  (void)config;
  *worker = Worker{};
  worker->mode = mode;
  bool fits = (mode == 3 && r->state == state_staged) || ((mode == 1 || mode == 2) && r->state == state_none);
  if (!fits) {
    r->state = state_failed, r->reason = reason_order;
    return;
  }
  u8 args[64];
  u64 len = 0;
  const mem::Bytes parts[] = {mem::lit("--vimb-update "), mode_word(mode)};
  for (mem::Bytes part : parts) {
    mem::copy(mem::Slice{args + len, part.len}, part);
    len += part.len;
  }
  if (mode != 3) delete_latest(&r->paths);
  proc::ExePath exe{};
  exe.length = os::utf8_to_wide(view(r->paths.program), exe.units, proc::path_units);
  // A swap parks the program file before it places the new one: killed in between, it would leave no program at
  // all. So it runs outside any job and outlives a window that ends while it works, in a process group of its own
  // that a Ctrl-C or a hang-up at the window's terminal does not reach; checks and downloads are bound to the
  // window as every other child is.
  const u32 apart = proc::create_no_window | proc::create_new_process_group;
  bool started = exe.length && (mode == 3 ? proc::create(&exe, mem::Bytes(args, len), apart,
                                                         proc::hidden_startup_flags, proc::show_hide, &worker->child)
                                          : proc::start_in_job(&exe, mem::Bytes(args, len), &worker->child));
  worker->running = started ? 1 : 0;
  if (!worker->running) r->state = state_failed, r->reason = reason_no_start;
}

u32 poll_worker(const Config* config, Worker* worker, Result* r) {
  if (!worker->running) return 0;
  u32 code = 0;
  if (!proc::exit_code(&worker->child, &code)) return 1;
  worker->running = 0;
  proc::close(&worker->child);
  take_worker_result(config, code, r);
  return 0;
}

void take_worker_result(const Config* config, u32 code, Result* r) {
  Unpacked u = unpack_exit_code(code);
  // A report must come from a finished verb: its tag, a known reason, and a state a verb ends in (never 0 or 6).
  if (u.tag != 0x56 || u.reason >= 25 || u.state == state_none || u.state == state_put_back) {
    r->state = state_failed, r->reason = reason_no_report;
    return;
  }
  bool loaded = load_saved_manifest(config, view(r->paths.latest), r) != 0;
  if (reason_has_step(u.reason)) {
    r->paths.step = u.step < 8 ? u.step : 0;
    r->paths.error = u.detail;
    r->http.status = r->http.stage = 0;
  } else {
    r->http.status = u.detail;
    r->http.stage = u.step;
    r->paths.step = r->paths.error = 0;
  }
  if (u.state >= 1 && u.state <= 4 && !loaded) {
    r->state = state_failed, r->reason = reason_latest;
    return;
  }
  r->state = u.state, r->reason = u.reason;
}

bool check_age_due(bool checks_on, bool worker_running, bool checked_before, u64 ms_since_last) {
  if (!checks_on || worker_running) return false;
  if (!checked_before) return true;
  return ms_since_last > 86399999;
}

#ifdef VIMBREL_TEST_SEAMS
namespace {

mem::Bytes env_text(const char* name, u64 name_len, mem::Slice buffer) {
  u64 len = 0;
  if (fs::env_var(mem::Bytes(reinterpret_cast<const u8*>(name), name_len), buffer, &len) != 0) return mem::Bytes();
  return mem::Bytes(buffer.ptr, len);
}
template <u64 N>
mem::Bytes env(const char (&name)[N], mem::Slice buffer) { return env_text(name, N - 1, buffer); }

u32 decimal(mem::Bytes text) {
  u32 v = 0;
  for (u64 i = 0; i < text.len && i < 9; i++) v = v * 10 + u32(text.ptr[i] - '0');
  return v;
}

}  // namespace

void apply_test_seams(Config* config, TestSeams* store) {
  mem::Bytes feed = env("VIMBREL_TEST_UPDATE_FEED", mem::Slice{store->feed, sizeof store->feed});
  if (feed.len) config->feed_url = feed;
  mem::Bytes ca = env("VIMBREL_TEST_UPDATE_CA", mem::Slice{store->ca, sizeof store->ca});
  if (ca.len) config->ca_file = ca;
  u8 text[80];
  mem::Bytes key = env("VIMBREL_TEST_UPDATE_KEY", mem::Slice{text, sizeof text});
  if (key.len && key_of_hex(key, config->public_key)) config->has_key = 1;
  mem::Bytes wait = env("VIMBREL_TEST_UPDATE_WAIT_MS", mem::Slice{text, sizeof text});
  if (wait.len) config->wait_ms = decimal(wait);
  mem::Bytes deadline = env("VIMBREL_TEST_UPDATE_DEADLINE_MS", mem::Slice{text, sizeof text});
  if (deadline.len) config->deadline_ms = decimal(deadline);
  mem::Bytes limit = env("VIMBREL_TEST_UPDATE_LIMIT", mem::Slice{text, sizeof text});
  if (limit.len) config->limit = decimal(limit);
  mem::Bytes flags = env("VIMBREL_TEST_UPDATE_FLAGS", mem::Slice{text, sizeof text});
  if (flags.len) config->flags = decimal(flags);
}
#endif

bool release_key(u8 out[32]) {
  Config c = make_config(mem::Bytes());
  TestSeams seams;
  take_test_seams(&c, &seams);
  __builtin_memcpy(out, c.public_key, 32);
  return c.has_key != 0;
}

void take_test_seams(Config* config, TestSeams* store) {
#ifdef VIMBREL_TEST_SEAMS
  apply_test_seams(config, store);
#else
  (void)config, (void)store;
#endif
}

}  // namespace update
