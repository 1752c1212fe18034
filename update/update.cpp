#include "update/update.h"

#include "platform/fs.h"

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

mem::Bytes server_host() { return mem::lit("updates.quillmere.com"); }

Config make_config(mem::Bytes version_text) {
  Config c{};
  c.short_name = mem::lit("vimbrel");
  c.feed_url = mem::lit("https://updates.quillmere.com/downloads/vimbrel/latest.txt");
  c.signer = mem::lit("Quillmere Ltd");
  c.product = mem::lit("Vimbrel");
  c.version_text = version_text;
  c.folder = mem::lit("Vimbrel");
  return c;
}

// The HTTP client is not built yet: every GET of a good URL fails at its first step (no session), so the check
// reports the server as unreachable rather than inventing an answer.
u32 http_get_to_memory(const Config* config, mem::Bytes url, mem::Slice, u64, HttpResult* out) {
  *out = HttpResult{};
  Url parsed;
  out->stage = parse_url(url, (config->flags & flag_local) != 0, &parsed) ? 2 : 1;
  return 0;
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

// The file is read and judged in a buffer of its own: a refused file leaves the result as it was, text included.
u32 load_saved_manifest(const Config* config, mem::Bytes latest_path, Result* r) {
  u8 saved[sizeof r->text];
  u64 length = 0;
  if (!read_latest_file(latest_path, mem::Slice{saved, sizeof saved}, &length)) return 0;
  Manifest m;
  bool local = (config->flags & flag_local) != 0;
  mem::Bytes text(saved, length);
  u32 ok = (config->flags & flag_beta) ? parse_beta_manifest(text, config->short_name, local, &m)
                                       : parse_manifest(text, config->short_name, local, &m);
  if (!ok) return 0;
  __builtin_memcpy(r->text, saved, length);
  r->manifest = m;
  r->text_length = length;
  r->offered = m.version;
  return 1;
}

}  // namespace update
