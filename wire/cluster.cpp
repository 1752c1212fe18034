#include "wire/cluster.h"

#include "wire/hub_wire.h"
#include "wire/proto.h"
#include "platform/fs.h"

namespace cluster {
namespace {

bool is_digit(u8 c) { return c >= '0' && c <= '9'; }

bool is_drive_path(mem::Bytes t) {
  if (t.len < 4) return false;
  u8 letter = t.ptr[0] | 0x20;
  return letter >= 'a' && letter <= 'z' && t.ptr[1] == ':' && (t.ptr[2] == '\\' || t.ptr[2] == '/');
}

// "\\server\x...": the server name runs from byte 2 to the next backslash; something must follow that backslash.
bool is_unc_path(mem::Bytes t) {
  if (t.len < 2 || t.ptr[0] != '\\' || t.ptr[1] != '\\') return false;
  u64 end = 2;
  while (end < t.len && t.ptr[end] != '\\') ++end;
  return end > 2 && end + 1 < t.len;
}

bool is_posix_path(mem::Bytes t) { return t.len >= 2 && t.ptr[0] == '/'; }

}  // namespace

u64 parse_ipv4(mem::Bytes text) {
  u32 address = 0;
  u64 at = 0;
  for (u32 group = 0; group < 4; ++group) {
    if (group > 0) {
      if (at >= text.len || text.ptr[at] != '.') return 0;
      ++at;
    }
    u32 value = 0, digits = 0;
    while (at < text.len && is_digit(text.ptr[at]) && digits < 3) {
      value = value * 10 + (text.ptr[at] - '0');
      ++digits;
      ++at;
    }
    if (digits == 0 || value > 255) return 0;
    address = (address << 8) | value;
  }
  return at == text.len ? (ipv4_valid | address) : 0;
}

u32 target_kind(mem::Bytes text) {
  if (text.len < 1 || text.len > 160) return target_invalid;
  for (u64 i = 0; i < text.len; ++i) {
    if (text.ptr[i] < 32 || text.ptr[i] > 126) return target_invalid;
  }
  if (is_drive_path(text) || is_unc_path(text) || is_posix_path(text)) return target_path;
  u64 colon = 0;
  while (colon < text.len && text.ptr[colon] != ':') ++colon;
  if (parse_ipv4(mem::Bytes(text.ptr, colon)) == 0) return target_invalid;
  if (colon == text.len) return target_server;
  mem::Bytes port(text.ptr + colon + 1, text.len - colon - 1);
  return hub::parse_port(port) != 0 ? target_server : target_invalid;
}

bool is_lease_option(mem::Bytes word) { return mem::eq(word, lease_option()); }
mem::Bytes lease_option() { return mem::lit("--lease"); }

// ---- Paths.

namespace {

bool is_separator(u8 c) { return c == '/' || c == '\\'; }

// Appends bytes at *at when they fit; false (and nothing) otherwise.
bool append(mem::Slice out, u64* at, mem::Bytes bytes) {
  if (out.len < *at || out.len - *at < bytes.len) return false;
  if (bytes.len != 0) __builtin_memcpy(out.ptr + *at, bytes.ptr, bytes.len);
  *at += bytes.len;
  return true;
}

u64 folder_path(mem::Bytes variable, mem::Bytes leaf, mem::Slice out) {
  u64 n = 0;
  mem::Slice room{out.ptr, out.len < path_capacity ? out.len : path_capacity};
  if (fs::env_var(variable, room, &n) != fs::ok || n == 0) return 0;
  while (n > 1 && is_separator(room.ptr[n - 1])) --n;
  if (!append(room, &n, mem::lit("/Vimbrel/")) || !append(room, &n, leaf)) return 0;
  return n;
}

// The folder part of a path: up to and including its last separator; empty when it has none.
mem::Bytes folder_of(mem::Bytes path) {
  u64 n = path.len;
  while (n > 0 && !is_separator(path.ptr[n - 1])) --n;
  return mem::Bytes(path.ptr, n);
}

}  // namespace

u64 app_path(mem::Bytes leaf, mem::Slice out) { return folder_path(mem::lit("APPDATA"), leaf, out); }
u64 local_path(mem::Bytes leaf, mem::Slice out) { return folder_path(mem::lit("LOCALAPPDATA"), leaf, out); }
u64 key_path(mem::Slice out) { return app_path(mem::lit("cluster.key"), out); }
u64 publish_path(mem::Slice out) { return app_path(mem::lit("publish.txt"), out); }

u64 machines_path(mem::Bytes publish_file, mem::Slice out) {
  u64 n = 0;
  mem::Slice room{out.ptr, out.len < path_capacity ? out.len : path_capacity};
  if (publish_file.len == 0) return 0;
  if (!append(room, &n, folder_of(publish_file)) || !append(room, &n, mem::lit("machines.txt"))) return 0;
  return n;
}

u64 test_path(mem::Bytes base, mem::Bytes suffix, mem::Slice out) {
  u64 n = 0;
  mem::Slice room{out.ptr, out.len < path_capacity ? out.len : path_capacity};
  if (base.len == 0 || !append(room, &n, base) || !append(room, &n, suffix)) return 0;
  return n;
}

// ---- Small files.

bool read_small_file(mem::Bytes path, mem::Slice buffer, u64* length) {
  *length = 0;
  if (path.len == 0) return false;
  fs::File file = {};
  if (fs::open_sized(path, &file) != fs::ok) return false;
  u64 count = 0;
  u32 result = fs::read_at(&file, 0, buffer, &count);
  fs::close(&file);
  if (result != fs::ok) return false;
  *length = count;
  return true;
}

bool write_file(mem::Bytes path, mem::Bytes bytes) {
  return path.len != 0 && fs::save_file(path, bytes) == fs::ok;
}

bool write_key_file(mem::Bytes path, mem::Bytes bytes) {
  return path.len != 0 && fs::save_private(path, bytes) == fs::ok;
}

// ---- The key file.

namespace {

const char* const verdict_names[] = {"ok", "header", "hex", "length", "trailing", "weak"};


void zero_key(auth::KeyState* state) {
  u8 zeros[auth::key_size] = {};
  auth::key_init(state, mem::Bytes(zeros, sizeof zeros));
}

bool hex_digit(u8 c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }

bool all_hex(mem::Bytes text, u64 count) {
  if (text.len != count) return false;
  for (u64 i = 0; i < count; ++i) {
    if (!hex_digit(text.ptr[i])) return false;
  }
  return true;
}

// Blanks (only the byte 32) off both ends, then one pair of double quotes around what is left.
mem::Bytes trimmed(mem::Bytes text) {
  while (text.len > 0 && text.ptr[0] == ' ') text = mem::Bytes(text.ptr + 1, text.len - 1);
  while (text.len > 0 && text.ptr[text.len - 1] == ' ') text = mem::Bytes(text.ptr, text.len - 1);
  if (text.len >= 2 && text.ptr[0] == '"' && text.ptr[text.len - 1] == '"') text = mem::Bytes(text.ptr + 1, text.len - 2);
  return text;
}

// Parses a typed key: the 64 digits alone are first wrapped as a key line in work->formatted.
u32 parse_typed(mem::Bytes text, KeyWork* work) {
  if (!all_hex(text, 64)) return auth::parse_key(text, work->key);
  u64 n = 0;
  mem::Slice line{work->formatted, sizeof work->formatted};
  append(line, &n, auth::key_header());
  append(line, &n, text);
  append(line, &n, mem::lit("\n"));
  return auth::parse_key(mem::Bytes(work->formatted, n), work->key);
}

}  // namespace

void wipe_key_buffer(KeyWork* work) { auth::wipe(work, sizeof *work); }

mem::Bytes key_verdict_name(u32 verdict) {
  return verdict < sizeof verdict_names / sizeof verdict_names[0] ? mem::cstr(verdict_names[verdict]) : mem::lit("unknown");
}

u32 load_key(mem::Bytes path, KeyWork* work, auth::KeyState* state, u32* verdict) {
  wipe_key_buffer(work);
  zero_key(state);
  *verdict = auth::key_ok;
  u64 n = 0;
  if (!read_small_file(path, mem::Slice{work->text, sizeof work->text}, &n)) {
    wipe_key_buffer(work);
    return key_unreadable;
  }
  *verdict = auth::parse_key(mem::Bytes(work->text, n), work->key);
  bool exposed = *verdict == auth::key_ok && fs::owner_only(path) == 0;
  if (*verdict == auth::key_ok && !exposed) auth::key_init(state, mem::Bytes(work->key, auth::key_size));
  wipe_key_buffer(work);
  if (*verdict != auth::key_ok) return key_refused;
  return exposed ? key_exposed : key_loaded;
}

u32 import_key(mem::Bytes text, mem::Bytes destination, KeyWork* work, auth::KeyState* state, u32* verdict) {
  wipe_key_buffer(work);
  text = trimmed(text);
  *verdict = parse_typed(text, work);
  if (*verdict == auth::key_header_bad && !all_hex(text, 64)) {
    u64 n = 0;
    if (!read_small_file(text, mem::Slice{work->text, sizeof work->text}, &n)) {
      zero_key(state);
      wipe_key_buffer(work);
      return import_unreadable;
    }
    *verdict = auth::parse_key(mem::Bytes(work->text, n), work->key);
  }
  auth::key_init(state, mem::Bytes(work->key, auth::key_size));
  u32 result = import_refused;
  if (*verdict == auth::key_ok) {
    auth::format_key(work->key, work->formatted);
    bool written =
        destination.len == 0 || write_key_file(destination, mem::Bytes(work->formatted, auth::key_text_size));
    result = written ? import_done : import_not_written;
  }
  wipe_key_buffer(work);
  return result;
}

u32 new_key(mem::Bytes destination, RandomSource random, KeyWork* work, auth::KeyState* state) {
  wipe_key_buffer(work);
  zero_key(state);
  u8 any = 0;
  bool drawn = random(mem::Slice{work->key, auth::key_size}) != 0;
  for (u8 c : work->key) any |= c;
  u32 result = new_key_no_random;
  if (drawn && any != 0) {
    auth::format_key(work->key, work->formatted);
    result = write_key_file(destination, mem::Bytes(work->formatted, auth::key_text_size)) ? new_key_done
                                                                                           : new_key_not_written;
    if (result == new_key_done) auth::key_init(state, mem::Bytes(work->key, auth::key_size));
  }
  wipe_key_buffer(work);
  return result;
}

u32 key_text(mem::Bytes path, KeyWork* work) {
  wipe_key_buffer(work);
  u64 n = 0;
  bool good = read_small_file(path, mem::Slice{work->text, sizeof work->text}, &n) &&
              auth::parse_key(mem::Bytes(work->text, n), work->key) == auth::key_ok;
  if (good) auth::format_key(work->key, work->formatted);
  // Only the key line stays: its line end and everything else are zeroed.
  auth::wipe(work->text, sizeof work->text);
  auth::wipe(work->key, sizeof work->key);
  auth::wipe(work->formatted + auth::key_text_size - 1, sizeof work->formatted - (auth::key_text_size - 1));
  if (!good) wipe_key_buffer(work);
  return good ? auth::key_text_size - 1 : 0;
}

// ---- Publish settings.

namespace {

mem::Bytes publish_header() { return mem::lit("vimbrel-publish 1"); }

bool starts_with(mem::Bytes text, mem::Bytes prefix) {
  return text.len >= prefix.len && __builtin_memcmp(text.ptr, prefix.ptr, prefix.len) == 0;
}

bool line_end(u8 c) { return c == '\n' || c == '\r'; }

// The value of the first line that starts with key: from after the key to the next line end; empty when none.
mem::Bytes value_of(mem::Bytes text, mem::Bytes key) {
  for (u64 at = 0; at < text.len; ++at) {
    if (at != 0 && !line_end(text.ptr[at - 1])) continue;
    if (!starts_with(mem::Bytes(text.ptr + at, text.len - at), key)) continue;
    u64 from = at + key.len, to = from;
    while (to < text.len && !line_end(text.ptr[to])) ++to;
    return mem::Bytes(text.ptr + from, to - from);
  }
  return mem::Bytes();
}

u8 hex_value(u8 c) { return static_cast<u8>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10); }

// Splits ipv4[:port] at the first colon; with no colon the port is the default one. False when malformed.
bool address_and_port(mem::Bytes text, bool port_required, u32* address, u32* port) {
  u64 colon = 0;
  while (colon < text.len && text.ptr[colon] != ':') ++colon;
  u64 parsed = parse_ipv4(mem::Bytes(text.ptr, colon));
  if (parsed == 0) return false;
  if (colon == text.len) {
    if (port_required) return false;
    *address = static_cast<u32>(parsed);
    *port = default_port;
    return true;
  }
  u16 p = hub::parse_port(mem::Bytes(text.ptr + colon + 1, text.len - colon - 1));
  if (p == 0) return false;
  *address = static_cast<u32>(parsed);
  *port = p;
  return true;
}

}  // namespace

void publish_reset(PublishSettings* settings) {
  __builtin_memset(settings, 0, sizeof *settings);
  settings->beacon_port = default_beacon_port;
}

bool parse_publish(mem::Bytes text, PublishSettings* settings) {
  publish_reset(settings);
  // A byte order mark that an editor put in front is skipped, as the key file reader does: refusing the header
  // would reset the settings and a later write would lose the machine id.
  if (starts_with(text, auth::utf8_bom())) text = mem::Bytes(text.ptr + 3, text.len - 3);
  if (!starts_with(text, publish_header())) return false;
  mem::Bytes rest(text.ptr + publish_header().len, text.len - publish_header().len);
  if (!starts_with(rest, mem::lit("\n")) && !starts_with(rest, mem::lit("\r\n"))) return false;
  settings->publish = mem::eq(value_of(text, mem::lit("publish ")), mem::lit("on")) ? 1 : 0;
  set_target(settings, value_of(text, mem::lit("target ")));
  mem::Bytes id = value_of(text, mem::lit("id "));
  if (all_hex(id, 32)) {
    u8 bytes[16];
    for (u32 i = 0; i < 16; ++i) bytes[i] = static_cast<u8>(hex_value(id.ptr[2 * i]) << 4 | hex_value(id.ptr[2 * i + 1]));
    set_machine_id(settings, bytes);
  }
  set_beacon(settings, value_of(text, mem::lit("beacon ")));
  return true;
}

bool read_publish(mem::Bytes path, PublishSettings* settings) {
  publish_reset(settings);
  u8 text[publish_read_max];
  u64 n = 0;
  if (!read_small_file(path, mem::Slice{text, sizeof text}, &n)) return false;
  return parse_publish(mem::Bytes(text, n), settings);
}

u32 read_publish_state(mem::Bytes path, PublishSettings* settings) {
  publish_reset(settings);
  if (path.len == 0) return publish_missing;
  fs::File file = {};
  u32 opened = fs::open_sized(path, &file);
  if (opened == fs::not_found) return publish_missing;
  u8 text[publish_read_max];
  u64 n = 0;
  bool read = opened == fs::ok && fs::read_at(&file, 0, mem::Slice{text, sizeof text}, &n) == fs::ok;
  fs::close(&file);
  if (!read || !parse_publish(mem::Bytes(text, n), settings)) {
    publish_reset(settings);
    return publish_damaged;
  }
  // An id line the parser could not take would be replaced by a new id: the machine would turn into another one.
  bool id_line = false;
  for (u64 at = 0; at + 3 <= n; ++at) {
    if ((at == 0 || line_end(text[at - 1])) && starts_with(mem::Bytes(text + at, n - at), mem::lit("id "))) id_line = true;
  }
  // The program ends every line it writes: a file without an id whose last line has no end was cut short, maybe
  // just before its id line, and is kept as it is rather than given a new id.
  bool cut_short = n != 0 && !line_end(text[n - 1]);
  if ((id_line || cut_short) && !settings->id_present) {
    publish_reset(settings);
    return publish_damaged;
  }
  return publish_read;
}

u32 format_publish(const PublishSettings* settings, mem::Slice out) {
  u64 n = 0;
  bool fits = append(out, &n, publish_header()) && append(out, &n, mem::lit("\npublish ")) &&
              append(out, &n, settings->publish ? mem::lit("on") : mem::lit("off")) &&
              append(out, &n, mem::lit("\ntarget ")) && append(out, &n, target_text(settings)) &&
              append(out, &n, mem::lit("\n"));
  u32 beacon_length = settings->beacon_length < sizeof settings->beacon ? settings->beacon_length : 24;
  if (fits && beacon_length != 0) {
    fits = append(out, &n, mem::lit("beacon ")) && append(out, &n, mem::Bytes(settings->beacon, beacon_length)) &&
           append(out, &n, mem::lit("\n"));
  }
  if (fits && settings->id_present) {
    u8 digits[32];
    for (u32 i = 0; i < 16; ++i) {
      digits[2 * i] = auth::hex_digits().ptr[settings->id[i] >> 4];
      digits[2 * i + 1] = auth::hex_digits().ptr[settings->id[i] & 15];
    }
    fits = append(out, &n, mem::lit("id ")) && append(out, &n, mem::Bytes(digits, 32)) && append(out, &n, mem::lit("\n"));
  }
  return fits ? static_cast<u32>(n) : 0;
}

bool write_publish(mem::Bytes path, const PublishSettings* settings) {
  u8 text[publish_read_max];
  u32 n = format_publish(settings, mem::Slice{text, sizeof text});
  return n != 0 && write_file(path, mem::Bytes(text, n));
}

bool set_target(PublishSettings* settings, mem::Bytes text) {
  u32 kind = target_kind(text);
  if (text.len != 0 && kind == target_invalid) return false;
  u32 address = 0, port = 0;
  if (kind == target_server) address_and_port(text, false, &address, &port);
  __builtin_memset(settings->target, 0, sizeof settings->target);
  if (text.len != 0) __builtin_memcpy(settings->target, text.ptr, text.len);
  settings->target_length = static_cast<u32>(text.len);
  settings->target_kind = static_cast<u8>(kind);
  settings->address = address;
  settings->port = port;
  return true;
}

u32 set_beacon(PublishSettings* settings, mem::Bytes text) {
  u32 address = 0, port = 0;
  bool off = mem::eq(text, mem::lit("off"));
  if (!off && (text.len > sizeof settings->beacon || !address_and_port(text, true, &address, &port))) return 0;
  __builtin_memset(settings->beacon, 0, sizeof settings->beacon);
  __builtin_memcpy(settings->beacon, text.ptr, text.len);
  settings->beacon_length = static_cast<u8>(text.len);
  settings->beacon_address = address;
  settings->beacon_port = static_cast<u16>(port);
  return 1;
}

void set_machine_id(PublishSettings* settings, const u8 id[16]) {
  __builtin_memcpy(settings->id, id, sizeof settings->id);
  settings->id_present = 1;
}

mem::Bytes target_text(const PublishSettings* settings) {
  u32 n = settings->target_length < target_max ? settings->target_length : target_max;
  return mem::Bytes(settings->target, n);
}

bool read_machines(mem::Bytes path, mem::Slice buffer, u64* length) {
  mem::Slice room{buffer.ptr, buffer.len < machines_read_max ? buffer.len : machines_read_max};
  return read_small_file(path, room, length);
}

bool write_machines(mem::Bytes path, mem::Bytes text) { return write_file(path, text); }

// ---- Words and status lines.

namespace {

const char* const status_words[] = {
    "waiting",
    "connected",
    "refused",
    "the host moved",
    "the host failed its proof",
    "the connection closed",
    "cannot connect",
    "no answer",
    "no valid lease on the share",
    "the host is of an older term",
    "no random source",
    "the host sent a bad frame",
    "new host",
    "the lease names no host address: update the host, or set its IP address as the server",
};

const char* const reason_words[] = {
    "unknown reason",
    "another protocol version",
    "wrong cluster key",
    "the host is full",
    "role",
    "unexpected message",
    "this machine id is already connected",
};

}  // namespace

mem::Bytes link_status_text(u32 status) {
  return mem::cstr(status < sizeof status_words / sizeof status_words[0] ? status_words[status] : status_words[0]);
}

mem::Bytes refuse_reason_text(u32 reason) {
  return mem::cstr(reason < sizeof reason_words / sizeof reason_words[0] ? reason_words[reason] : reason_words[0]);
}

void text_put(Text* text, mem::Bytes bytes) {
  text->len = 0;
  text_append(text, bytes);
}

void text_append(Text* text, mem::Bytes bytes) {
  u32 len = text->len < text_capacity ? text->len : text_capacity;
  u64 room = text_capacity - len;
  u64 n = bytes.len < room ? bytes.len : room;
  if (n != 0) __builtin_memcpy(text->bytes + len, bytes.ptr, n);
  text->len = static_cast<u32>(len + n);
}

void text_put_dec(Text* text, u64 value) {
  u8 digits[20];
  u32 at = 20;
  do {
    digits[--at] = static_cast<u8>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  text_append(text, mem::Bytes(digits + at, 20 - at));
}

void text_put_address(Text* text, u32 address, u32 port) {
  for (u32 i = 0; i < 4; ++i) {
    if (i != 0) text_append(text, mem::lit("."));
    text_put_dec(text, (address >> (24 - 8 * i)) & 0xFF);
  }
  text_append(text, mem::lit(":"));
  text_put_dec(text, port);
}

void put_link_status(const LinkView* link, Text* text) {
  text_append(text, link_status_text(link->status));
  if (link->status == status_refused) {
    text_append(text, mem::lit(": "));
    text_append(text, refuse_reason_text(link->reason));
  }
}

void format_status(const LinkView* link, u64 now, Text* text) {
  switch (link->phase) {
    case phase_stopped:
      text_append(text, mem::lit("off"));
      return;
    case phase_connecting:
    case phase_hello:
    case phase_proof:
      text_append(text, mem::lit("connecting to "));
      text_put_address(text, link->address, link->port);
      return;
    case phase_open:
      text_append(text, mem::lit("publishing to "));
      text_put_address(text, link->address, link->port);
      if (link->own_host) text_append(text, mem::lit(" (this machine's host)"));
      text_append(text, mem::lit(", term "));
      text_put_dec(text, link->term);
      return;
    default:
      put_link_status(link, text);
      if (link->port != 0) {
        u64 wait = link->next_try > now ? link->next_try - now : 0;
        text_append(text, mem::lit("; next try in "));
        text_put_dec(text, wait / 1000 + (wait % 1000 != 0));
        text_append(text, mem::lit(" s"));
      }
  }
}

void status_line(const LinkView* link, u64 now, Text* text) {
  text->len = 0;
  format_status(link, now, text);
  if (link->caches) {
    text_append(text, mem::lit("; the share serves an old lease (it caches): set the host's IP address as the server"));
  }
}

u32 version_part(mem::Bytes text, u32 n) {
  u32 part = 0;
  u64 value = 0;
  for (u64 i = 0; i < text.len; ++i) {
    u8 c = text.ptr[i];
    if (c == '.') {
      if (part == n) break;
      ++part;
    } else if (part == n && is_digit(c)) {
      value = value * 10 + (c - '0');
      if (value > 0xFFFFFFFF) value = 0xFFFFFFFF;
    }
  }
  return part == n ? static_cast<u32>(value) : 0;
}

// ---- Beacons.

bool take_beacon(mem::Bytes datagram, const auth::KeyState* key, Heard* out) {
  if (datagram.len != proto::record_size || !auth::sealed(key, datagram)) return false;
  proto::Lease lease;
  if (proto::decode_lease(datagram, &lease) == proto::ok) {
    *out = {1, lease.flags, lease.term, lease.counter, lease.period, lease.port, lease.address, lease.writer, {}};
    __builtin_memcpy(out->host_id, lease.host_id, sizeof out->host_id);
    return true;
  }
  proto::Beacon beacon;
  if (proto::decode_beacon(datagram, &beacon) != proto::ok) return false;
  *out = {0, beacon.flags, beacon.term, beacon.counter, 150, beacon.port, beacon.address, 0, {}};
  __builtin_memcpy(out->host_id, beacon.host_id, sizeof out->host_id);
  return true;
}

}  // namespace cluster
