#include "host/web.h"

#include "base/bits.h"
#include "base/fmt.h"
#include "wire/cluster.h"
#include "wire/proto.h"
#include "host/hubloop.h"
#include "platform/os.h"

namespace web {

// ---- Requests.

namespace {

bool is_blank(u8 c) { return c == ' ' || c == '\t'; }
bool is_digit(u8 c) { return c >= '0' && c <= '9'; }
bool is_hex_lower(u8 c) { return is_digit(c) || (c >= 'a' && c <= 'f'); }
u8 hex_value(u8 c) { return is_digit(c) ? c - '0' : c - 'a' + 10; }
u8 lower(u8 c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

// The offset of the first "\r\n" at or after from, within end; end when there is none.
u32 line_end(mem::Bytes bytes, u32 from, u32 end) {
  for (u32 i = from; i + 1 < end; ++i) {
    if (bytes.ptr[i] == '\r' && bytes.ptr[i + 1] == '\n') return i;
  }
  return end;
}

// The first blank or CR at or after from, or end.
u32 token_end(mem::Bytes bytes, u32 from, u32 end) {
  u32 i = from;
  while (i < end && bytes.ptr[i] != ' ' && bytes.ptr[i] != '\r') ++i;
  return i;
}

struct RouteName {
  const char* target;
  u8 route;
};
const RouteName route_names[] = {
    {"/", route_page},
    {"/vimbrel.js", route_loader},
    {"/vimbrel.wasm", route_module},
    {"/manifest.webmanifest", route_manifest},
    {"/icon.svg", route_icon},
    {"/link", route_link},
};
constexpr u32 link_prefix = 6;  // "/link/"

// The target's query is exactly "v=" and the served version.
bool versioned(mem::Bytes target) {
  u64 q = 0;
  while (q < target.len && target.ptr[q] != '?') ++q;
  const mem::Bytes query(target.ptr + q, target.len - q);
  return query.len == 3 + served_version_size && mem::eq(mem::Bytes(query.ptr, 3), mem::lit("?v=")) &&
         mem::eq(mem::Bytes(query.ptr + 3, served_version_size), mem::Bytes(served_version, served_version_size));
}

mem::Bytes trim(mem::Bytes b) {
  while (b.len && is_blank(b.ptr[0])) b = mem::Bytes(b.ptr + 1, b.len - 1);
  while (b.len && is_blank(b.ptr[b.len - 1])) b.len -= 1;
  return b;
}

bool same_lower(mem::Bytes b, mem::Bytes lower_word) {
  if (b.len != lower_word.len) return false;
  for (u64 i = 0; i < b.len; ++i)
    if (lower(b.ptr[i]) != lower_word.ptr[i]) return false;
  return true;
}

// A q parameter of zero ("q=0", "q=0.0", ... ) among the parameters after a coding.
bool refused(mem::Bytes parameters) {
  for (u64 at = 0; at < parameters.len;) {
    u64 end = at;
    while (end < parameters.len && parameters.ptr[end] != ';') ++end;
    const mem::Bytes p = trim(mem::Bytes(parameters.ptr + at, end - at));
    if (p.len >= 3 && lower(p.ptr[0]) == 'q' && p.ptr[1] == '=') {
      bool zero = true;
      for (u64 i = 2; i < p.len; ++i) zero = zero && (p.ptr[i] == '0' || (p.ptr[i] == '.' && i == 3));
      return zero;
    }
    at = end + 1;
  }
  return false;
}

}  // namespace

u32 takes_gzip(mem::Bytes value) {
  for (u64 at = 0; at < value.len;) {
    u64 end = at;
    while (end < value.len && value.ptr[end] != ',') ++end;
    const mem::Bytes item(value.ptr + at, end - at);
    u64 semi = 0;
    while (semi < item.len && item.ptr[semi] != ';') ++semi;
    if (same_lower(trim(mem::Bytes(item.ptr, semi)), mem::lit("gzip")))
      return refused(mem::Bytes(item.ptr + semi, item.len - semi)) ? 0 : 1;
    at = end + 1;
  }
  return 0;
}

u8 serve_of(u8 route, u8 allowed) {
  if (route_kind(route) != kind_static) return 0;
  // The page itself is always asked for again: it names the versions of everything else.
  u8 serve = route == route_page ? 0 : allowed & serve_versioned;
  if (route == route_module) serve |= allowed & serve_gzip;
  return serve;
}

u32 head_end(mem::Bytes bytes) {
  for (u64 i = 0; i + 3 < bytes.len; ++i) {
    if (bytes.ptr[i] == '\r' && bytes.ptr[i + 1] == '\n' && bytes.ptr[i + 2] == '\r' && bytes.ptr[i + 3] == '\n') {
      return static_cast<u32>(i + 4);
    }
  }
  return 0;
}

u32 header_name_is(mem::Bytes line, mem::Bytes lower_name) {
  u64 colon = 0;
  while (colon < line.len && line.ptr[colon] != ':') ++colon;
  if (colon == line.len || colon != lower_name.len) return 0;
  for (u64 i = 0; i < colon; ++i) {
    if (lower(line.ptr[i]) != lower_name.ptr[i]) return 0;
  }
  return 1;
}

u32 parse_length(mem::Bytes value, u32* length) {
  u64 from = 0, to = value.len;
  while (from < to && is_blank(value.ptr[from])) ++from;
  while (to > from && is_blank(value.ptr[to - 1])) --to;
  if (to == from || to - from > 9) return 0;
  u32 n = 0;
  for (u64 i = from; i < to; ++i) {
    if (!is_digit(value.ptr[i])) return 0;
    n = n * 10 + (value.ptr[i] - '0');
  }
  *length = n;
  return 1;
}

u8 method_of(mem::Bytes method) {
  if (mem::eq(method, mem::lit("GET"))) return method_get;
  if (mem::eq(method, mem::lit("POST"))) return method_post;
  return method_other;
}

u8 route_of(mem::Bytes target) {
  u64 n = 0;
  while (n < target.len && target.ptr[n] != '?') ++n;
  mem::Bytes path(target.ptr, n);
  for (const RouteName& r : route_names) {
    if (mem::eq(path, mem::cstr(r.target))) return r.route;
  }
  u8 id[link_id_size];
  if (n > link_prefix && mem::eq(mem::Bytes(path.ptr, link_prefix), mem::lit("/link/")) &&
      link_id(mem::Bytes(path.ptr + link_prefix, n - link_prefix), id)) {
    return route_link_id;
  }
  return route_none;
}

u32 route_kind(u8 route) {
  if (route >= route_page && route <= route_icon) return kind_static;
  if (route == route_link || route == route_link_id) return kind_relay;
  return kind_none;
}

u32 check_method(u8 route, u8 method) {
  u32 kind = route_kind(route);
  if (kind == kind_none) return status_not_found;
  u8 wanted = kind == kind_static ? method_get : method_post;
  return method == wanted ? 0u : u32{status_method};
}

u32 link_id(mem::Bytes hex, u8* id) {
  if (hex.len != 2 * link_id_size) return 0;
  for (u64 i = 0; i < hex.len; ++i) {
    if (!is_hex_lower(hex.ptr[i])) return 0;
  }
  for (u32 i = 0; i < link_id_size; ++i) {
    id[i] = static_cast<u8>(hex_value(hex.ptr[2 * i]) << 4 | hex_value(hex.ptr[2 * i + 1]));
  }
  return 1;
}

u32 parse_request(mem::Bytes in, Request* r) {
  *r = Request{};
  if (in.len > request_size) in.len = request_size;
  u32 end = head_end(in);
  if (end == 0) return in.len >= request_size ? status_too_large : parse_wait;

  // The request line: method, one blank, target, one blank and something more on the line. A method that ends at
  // the line's end leaves no target.
  u32 method_end = token_end(in, 0, end);
  if (method_end == 0 || method_end >= end || in.ptr[method_end] != ' ') return status_bad;
  u32 target_from = method_end + 1;
  u32 target_end = token_end(in, target_from, end);
  if (target_end == target_from || target_end >= end || in.ptr[target_end] != ' ') return status_bad;
  if (target_end + 1 >= end || in.ptr[target_end + 1] == '\r') return status_bad;

  // Header lines. Anything a proxy in front could frame differently from this server is refused rather than
  // guessed at: a line folded onto the one before, a blank before the colon, a line without a colon, any
  // Transfer-Encoding, a Content-Length that is not a plain number or that disagrees with an earlier one, and more
  // than one Host.
  bool bad = false, gzip = false, length_seen = false;
  u32 body = 0;
  u32 last = end - 2;  // the empty line
  for (u32 at = line_end(in, target_end, end) + 2; at < last;) {
    u32 e = line_end(in, at, end);
    mem::Bytes line(in.ptr + at, e - at);
    at = e + 2;
    u32 colon = 0;
    bool name_ok = true;
    for (; colon < line.len && line.ptr[colon] != ':'; ++colon) name_ok = name_ok && line.ptr[colon] > ' ';
    if (colon == 0 || colon == line.len || !name_ok) {
      bad = true;
      continue;
    }
    const mem::Bytes value(line.ptr + colon + 1, line.len - colon - 1);
    if (header_name_is(line, mem::lit("content-length"))) {
      u32 n = 0;
      if (!parse_length(value, &n) || (length_seen && n != body)) bad = true;
      length_seen = true;
      body = n;
    } else if (header_name_is(line, mem::lit("transfer-encoding"))) {
      bad = true;
    } else if (header_name_is(line, mem::lit("host"))) {
      if (r->host_length != 0 || trim(value).len == 0) bad = true;
      const mem::Bytes name = trim(value);
      r->host_from = static_cast<u16>(name.ptr - in.ptr);
      r->host_length = static_cast<u16>(name.len);
    } else if (header_name_is(line, mem::lit("accept-encoding"))) {
      gzip = takes_gzip(value) != 0;
    }
  }
  if (bad) return status_bad;
  if (body > request_size - end) return status_too_large;
  if (in.len - end < body) return parse_wait;

  mem::Bytes target(in.ptr + target_from, target_end - target_from);
  r->method = method_of(mem::Bytes(in.ptr, method_end));
  r->route = route_of(target);
  r->head_length = static_cast<u16>(end);
  r->body_length = body;
  r->serve = static_cast<u8>((gzip ? serve_gzip : 0) | (versioned(target) ? serve_versioned : 0));
  if (r->route == route_link_id) {
    link_id(mem::Bytes(target.ptr + link_prefix, 2 * link_id_size), r->link_id);
    r->stream = mem::eq(mem::Bytes(target.ptr + link_prefix + 2 * link_id_size,
                                   target.len - link_prefix - 2 * link_id_size), mem::lit("?stream"));
  }
  return status_ok;
}

u32 host_name(mem::Bytes value, mem::Bytes* name, u32* address) {
  u64 n = value.len;
  while (n > 0 && is_digit(value.ptr[n - 1])) --n;
  // A port: one to five digits behind the last colon.
  if (n > 0 && n < value.len && value.len - n <= 5 && value.ptr[n - 1] == ':') value.len = n - 1;
  if (value.len > 0 && value.ptr[value.len - 1] == '.') value.len -= 1;  // the root's dot of a full name
  if (value.len == 0 || value.len > 253) return 0;
  for (u64 i = 0; i < value.len; ++i) {
    u8 c = lower(value.ptr[i]);
    if (!is_digit(c) && !(c >= 'a' && c <= 'z') && c != '-' && c != '_' && c != '.') return 0;
  }
  *name = value;
  const u64 parsed = cluster::parse_ipv4(value);
  *address = static_cast<u32>(parsed);
  return parsed != 0 ? 2 : 1;
}

u32 host_served(mem::Bytes value, mem::Bytes machine, u32 (*own_address)(u32)) {
  mem::Bytes name;
  u32 address = 0;
  const u32 kind = host_name(value, &name, &address);
  if (kind == 2) return (address >> 24) == 127 || own_address(address) ? 1 : 0;
  if (kind != 1) return 0;
  if (same_lower(name, mem::lit("localhost"))) return 1;
  if (machine.len == 0 || name.len < machine.len) return 0;
  u8 lower_machine[64];
  for (u64 i = 0; i < machine.len && i < sizeof lower_machine; ++i) lower_machine[i] = lower(machine.ptr[i]);
  const mem::Bytes own(lower_machine, machine.len < sizeof lower_machine ? machine.len : sizeof lower_machine);
  if (!same_lower(mem::Bytes(name.ptr, own.len), own)) return 0;
  const mem::Bytes rest(name.ptr + own.len, name.len - own.len);
  return rest.len == 0 || same_lower(rest, mem::lit(".local")) ? 1 : 0;
}

// ---- Responses.

mem::Bytes status_line(u32 status) {
  switch (status) {
    case status_ok: return mem::lit("200 OK");
    case status_bad: return mem::lit("400 Bad Request");
    case status_not_found: return mem::lit("404 Not Found");
    case status_method: return mem::lit("405 Method Not Allowed");
    case status_conflict: return mem::lit("409 Conflict");
    case status_too_large: return mem::lit("413 Content Too Large");
    default: return mem::lit("503 Service Unavailable");
  }
}

mem::Bytes content_type(u32 status, u8 route) {
  if (status == status_ok) {
    switch (route) {
      case route_page: return mem::lit("text/html; charset=utf-8");
      case route_loader: return mem::lit("text/javascript");
      case route_module: return mem::lit("application/wasm");
      case route_manifest: return mem::lit("application/manifest+json");
      case route_icon: return mem::lit("image/svg+xml");
      default: break;
    }
  }
  return mem::lit("application/octet-stream");
}

bool keeps_connection(u32 status, u8 route) {
  return status == status_ok && route_kind(route) == kind_relay;
}

u32 write_response(mem::Slice area, u32 status, u8 route, u64 body_length, u8 serve) {
  Text t{area.ptr, bits::min32(area.len, head_max), 0, 0};
  if (status != status_ok) serve = 0;
  put(&t, mem::lit("HTTP/1.1 "));
  put(&t, status_line(status));
  put(&t, mem::lit("\r\nContent-Type: "));
  put(&t, content_type(status, route));
  if (body_length == chunked) {
    put(&t, mem::lit("\r\nTransfer-Encoding: chunked"));
  } else {
    put(&t, mem::lit("\r\nContent-Length: "));
    put_dec(&t, body_length);
  }
  if (serve & serve_gzip) put(&t, mem::lit("\r\nContent-Encoding: gzip"));
  // The module differs by what the browser accepts: a cache must ask with the same Accept-Encoding.
  if (route == route_module && status == status_ok) put(&t, mem::lit("\r\nVary: Accept-Encoding"));
  put(&t, serve & serve_versioned ? mem::lit("\r\nCache-Control: public, max-age=31536000, immutable")
                                  : mem::lit("\r\nCache-Control: no-store"));
  put(&t, mem::lit("\r\nX-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer\r\n"
                   "Content-Security-Policy: default-src 'self'; script-src 'self' 'wasm-unsafe-eval'; style-src "
                   "'self' 'unsafe-inline'; frame-ancestors 'none'\r\nConnection: "));
  put(&t, keeps_connection(status, route) && body_length != chunked ? mem::lit("keep-alive\r\n\r\n")
                                                                     : mem::lit("close\r\n\r\n"));
  return t.length;
}

// ---- Texts.

void put(Text* t, mem::Bytes bytes) {
  if (t->over) return;
  u32 room = t->capacity - t->length;
  u32 n = bits::min32(bytes.len, room);
  mem::copy(mem::Slice{t->ptr + t->length, n}, mem::Bytes(bytes.ptr, n));
  t->length += n;
  if (n < bytes.len) t->over = 1;
}

void put_dec(Text* t, u64 value) {
  u8 digits[fmt::dec_size];
  put(t, fmt::dec(value, digits));
}

void put_colour(Text* t, u32 rgb) {
  const char* hex = "0123456789abcdef";
  u8 text[7] = {'#'};
  for (u32 i = 0; i < 6; ++i) text[1 + i] = static_cast<u8>(hex[(rgb >> (20 - 4 * i)) & 15]);
  put(t, mem::Bytes(text, sizeof text));
}

void put_const(Text* t, mem::Bytes name, u64 value) {
  put(t, name);
  put(t, mem::lit(" = "));
  put_dec(t, value);
}

namespace {

struct Constant {
  const char* name;  // null ends a line
  u32 value;
};
// The loader's numbers, a line each: message head, message kinds, commands, pointer types and timing, then the
// clock, typing and waking that the viewer adds.
const Constant loader_constants[] = {
    {"HEAD", message_head}, {"AT_NOW", at_now},           {"AT_A", at_a},           {"AT_B", at_b},
    {"AT_C", at_c},         {"AT_HANDLE", at_handle},     {"AT_RANDOM", at_random}, {nullptr, 0},
    {"INIT", msg_init},     {"RESIZE", msg_resize},       {"TICK", msg_tick},       {"POINTER", msg_pointer},
    {"KEY", msg_key},       {"NET", msg_net},             {"WHEEL", msg_wheel},     {nullptr, 0},
    {"CMD_HEAD", command_head}, {"FRAME", cmd_frame},     {"POST", cmd_post},       {"SAVE_KEY", cmd_save_key},
    {"ASK_KEY", cmd_ask_key},   {"HANDLE", cmd_handle},   {nullptr, 0},
    {"DOWN", pointer_down}, {"MOVE", pointer_move},       {"UP", pointer_up},       {"CANCEL", pointer_cancel},
    {"TICK_MS", tick_ms},   {"RATIO", ratio},             {nullptr, 0},
    {"AT_CLOCK", at_clock}, {"EPOCH", clock_epoch},       {"CHAR", msg_char},       {"KEYDOWN", msg_key_down},
    {"WAKE", cmd_wake},     {"STREAM", cmd_stream},   {"PART", net_part},       {"END", net_end},
    {nullptr, 0},
};

void put_constants(Text* t) {
  bool first = true;
  for (const Constant& c : loader_constants) {
    if (c.name == nullptr) {
      put(t, mem::lit(";\n"));
      first = true;
      continue;
    }
    put(t, first ? mem::lit("const ") : mem::lit(", "));
    put_const(t, mem::cstr(c.name), c.value);
    first = false;
  }
  put(t, mem::lit("const STORE = \"vimbrel.key\", MODULE = \"vimbrel.wasm?v="));
  put(t, mem::Bytes(served_version, served_version_size));
  put(t, mem::lit("\";\n"));
}

// Copies the template, writing each {{name}} marker's value; an unknown marker spoils the text.
u32 fill(mem::Slice buffer, const u8* tmpl, u64 size) {
  Text t{buffer.ptr, bits::min32(buffer.len, 0xFFFFFFFF), 0, 0};
  u64 i = 0;
  while (i < size) {
    u64 open = i;
    while (open + 1 < size && !(tmpl[open] == '{' && tmpl[open + 1] == '{')) ++open;
    if (open + 1 >= size) {
      put(&t, mem::Bytes(tmpl + i, size - i));
      break;
    }
    put(&t, mem::Bytes(tmpl + i, open - i));
    u64 close = open + 2;
    while (close + 1 < size && !(tmpl[close] == '}' && tmpl[close + 1] == '}')) ++close;
    mem::Bytes name(tmpl + open + 2, close - open - 2);
    if (close + 1 >= size) {
      t.over = 1;
    } else if (mem::eq(name, mem::lit("colour"))) {
      put_colour(&t, page_colour);
    } else if (mem::eq(name, mem::lit("constants"))) {
      put_constants(&t);
    } else if (mem::eq(name, mem::lit("version"))) {
      put(&t, mem::Bytes(served_version, served_version_size));
    } else {
      t.over = 1;
    }
    i = close + 2;
  }
  return t.over ? 0 : t.length;
}

}  // namespace

u32 page_html(mem::Slice buffer) { return fill(buffer, page_template, page_template_size); }
u32 manifest_json(mem::Slice buffer) { return fill(buffer, manifest_template, manifest_template_size); }
u32 loader_js(mem::Slice buffer) { return fill(buffer, loader_template, loader_template_size); }

// ---- The prepared and embedded bodies.

u64 arena_size() { return (sizeof(Web) + 63) / 64 * 64 + 64; }

void prepare(Web* w) {
  w->page_length = static_cast<u16>(page_html(mem::Slice{w->page, page_size}));
  w->loader_length = static_cast<u16>(loader_js(mem::Slice{w->loader, loader_size}));
  w->manifest_length = static_cast<u16>(manifest_json(mem::Slice{w->manifest, manifest_size}));
}

mem::Bytes static_body(const Web* w, u8 route, u8 serve) {
  if (route == route_module && (serve & serve_gzip)) return mem::Bytes(viewer_module_gz, viewer_module_gz_size);
  switch (route) {
    case route_page: return mem::Bytes(w->page, w->page_length);
    case route_loader: return mem::Bytes(w->loader, w->loader_length);
    case route_module: return mem::Bytes(viewer_module, viewer_module_size);
    case route_manifest: return mem::Bytes(w->manifest, w->manifest_length);
    case route_icon: return mem::Bytes(icon_svg, icon_svg_size);
    default: return mem::Bytes();
  }
}

// ---- The server inside the host's round.

namespace {

// An address one of this machine's interfaces holds.
u32 own_address(u32 address) { return sock::broadcast_address(address) != 0 ? 1 : 0; }

bool has(u64 mask, u32 i) { return bits::word_test(mask, i) != 0; }

// A stream's client has bytes to send: the rest of its head or of a chunk's framing, or of a chunk.
bool owes(const Web* w, u32 c) { return w->head_sent[c] < w->head_length[c] || w->chunk_left[c] != 0; }

void put_bit(u64* mask, u32 i, bool on) { *mask = bits::word_put(*mask, i, on); }

// The bytes owed from where the body comes from: the static body, or the front of the link's out-buffer.
mem::Bytes body_part(const hub::Host* host, u32 c) {
  const Web* w = host->web;
  u32 owed = w->body_length[c] - w->body_sent[c];
  if (w->member[c] == none) {
    mem::Bytes body = static_body(w, static_cast<u8>(w->route[c]), static_cast<u8>(w->route[c] >> 8));
    if (body.len < w->body_length[c]) return mem::Bytes();
    return mem::Bytes(body.ptr + w->body_sent[c], owed);
  }
  u32 m = w->member[c];
  const hub::Hub* h = host->hub;
  if (!hub::is_in(h, hub::set_live, m)) return mem::Bytes();
  return mem::Bytes(h->slot[m].out, bits::min32(h->slot[m].out_fill, owed));
}

}  // namespace

void write_client(hub::Host* host, u32 c) {
  Web* w = host->web;
  while (w->head_sent[c] < w->head_length[c]) {
    u64 n = 0;
    u32 r = sock::send(w->socket[c], mem::Bytes(w->head[c] + w->head_sent[c], w->head_length[c] - w->head_sent[c]), &n);
    if (r == sock::closed || r == sock::failed) return close_client(host, c);
    if (r != sock::done || n == 0) return;
    w->head_sent[c] = static_cast<u16>(w->head_sent[c] + n);
  }
  while (w->body_sent[c] < w->body_length[c]) {
    mem::Bytes part = body_part(host, c);
    if (part.len == 0) return close_client(host, c);
    u64 n = 0;
    u32 r = sock::send(w->socket[c], part, &n);
    if (r == sock::closed || r == sock::failed) return close_client(host, c);
    if (r != sock::done || n == 0) return;
    w->body_sent[c] += static_cast<u32>(n);
    if (w->member[c] != none) hub::consume_out(host->hub, w->member[c], static_cast<u32>(n));
  }
  if (!has(w->lingers, c) && keeps_connection(status_ok, static_cast<u8>(w->route[c])) && w->fill[c] == w->used[c]) {
    return keep_client(host, c);
  }
  if (!has(w->lingers, c) || sock::shutdown_send(w->socket[c]) != sock::done) return close_client(host, c);
  // An error answer may leave bytes of the request unread; closing on them would reset the connection before the
  // client read the answer. The sending side ends, and what still comes is read and dropped until the client closes.
  put_bit(&w->responding, c, false);
  put_bit(&w->draining, c, true);
  w->drained[c] = 0;
  drain_client(host, c);
}

void keep_client(hub::Host* host, u32 c) {
  Web* w = host->web;
  put_bit(&w->responding, c, false);
  put_bit(&w->kept, c, true);
  w->accepted[c] = w->progress[c];  // the wait for the next request counts from the answer's last byte
  w->fill[c] = w->used[c] = 0;
  w->head_length[c] = w->head_sent[c] = 0;
  w->body_length[c] = w->body_sent[c] = 0;
  w->member[c] = none;
  w->route[c] = route_none;
}

void drain_client(hub::Host* host, u32 c) {
  Web* w = host->web;
  for (;;) {
    u64 n = 0;
    u32 r = sock::recv(w->socket[c], mem::Slice{w->request[c], request_size}, &n);
    if (r == sock::would_block) return;
    if (r != sock::done || n == 0) return close_client(host, c);
    w->drained[c] += static_cast<u32>(n);
    if (w->drained[c] >= drain_max) return close_client(host, c);
  }
}

mem::Bytes take_body(const Web* w, u32 c, const Request* q) {
  return mem::Bytes(w->request[c] + q->head_length, q->body_length);
}

void route(hub::Host* host, u32 c, const Request* q, u32 now, u32 wall) {
  Web* w = host->web;
  u32 status = check_method(q->route, q->method);
  if (status != 0) return respond(host, c, status, q->route, mem::Bytes(), 0);
  mem::Bytes body = take_body(w, c, q);
  if (route_kind(q->route) == kind_static) {
    const u8 serve = serve_of(q->route, q->serve);
    return respond(host, c, status_ok, q->route, mem::Bytes(), static_cast<u32>(static_body(w, q->route, serve).len),
                   serve);
  }
  if (q->route == route_link) return open_link(host, c, body, now, wall);
  post_link(host, c, q->link_id, body, now, wall, q->stream);
}

void read_client(hub::Host* host, u32 c, u32 now, u32 wall) {
  Web* w = host->web;
  u64 n = 0;
  u32 r = sock::recv(w->socket[c], mem::Slice{w->request[c] + w->fill[c], request_size - w->fill[c]}, &n);
  if (r == sock::closed || r == sock::failed) return close_client(host, c);
  if (r != sock::done || n == 0) return;
  w->fill[c] = static_cast<u16>(w->fill[c] + n);
  w->progress[c] = now;
  // The next request on a kept connection has the time of a new one.
  if (has(w->kept, c)) {
    put_bit(&w->kept, c, false);
    w->accepted[c] = now;
  }
  Request q;
  u32 result = parse_request(mem::Bytes(w->request[c], w->fill[c]), &q);
  if (result == parse_wait) return;
  // A page that rebinds its own name to this host's address still sends its own name as the Host: such a
  // request is refused, so no page of another site can fetch from the dashboard or open a link on it.
  if (result == status_ok && !host_served(mem::Bytes(w->request[c] + q.host_from, q.host_length),
                                          mem::Bytes(w->machine, w->machine_length), own_address))
    result = status_bad;
  if (result != status_ok) return respond(host, c, result, route_none, mem::Bytes(), 0);
  w->used[c] = static_cast<u16>(q.head_length + q.body_length);
  route(host, c, &q, now, wall);
}

u32 open(hub::Host* host, mem::Arena* arena) {
  Web* w = mem::alloc_of<Web>(arena);
  if (w == nullptr) return 0;
  w->listener = sock::invalid_socket;
  for (u32 c = 0; c < clients; ++c) {
    w->socket[c] = sock::invalid_socket;
    w->member[c] = none;
  }
  prepare(w);
  w->machine_length = os::computer_name(w->machine);
  host->web = w;
  if (sock::listen(host->options.listen, host->options.web_port, &w->listener) != sock::done) return 0;
  w->port = sock::local_port(w->listener);
  return w->port != 0;
}

namespace {

u32 room_rank(const Web* w, u32 c) {
  return has(w->draining, c) || has(w->kept, c) ? 0 : !has(w->responding, c) ? 1 : has(w->streaming, c) ? 3 : 2;
}

// Of each client still sending its request, how many such clients its address has.
void sending_per_address(const Web* w, u32* same) {
  for (u64 m = w->busy; m != 0; m &= m - 1) {
    u32 c = bits::word_first(m);
    same[c] = 0;
    if (room_rank(w, c) != 1) continue;
    for (u64 k = w->busy; k != 0; k &= k - 1) {
      u32 o = bits::word_first(k);
      same[c] += room_rank(w, o) == 1 && w->address[o] == w->address[c];
    }
  }
}

// A client within its grace that is the only one of its address still sending its request: what a browser's fresh
// connection looks like before its request came, so no newcomer takes its place.
bool shielded(const Web* w, const u32* same, u32 c, u32 now) {
  return room_rank(w, c) == 1 && same[c] == 1 && bits::sub_sat32(now, w->accepted[c]) < grace_units;
}

// The host unit at which the first shield ends.
u32 first_grace_end(const Web* w, u32 now) {
  u32 same[clients] = {};
  sending_per_address(w, same);
  u32 end = now + grace_units;
  for (u64 m = w->busy; m != 0; m &= m - 1) {
    u32 c = bits::word_first(m);
    if (shielded(w, same, c, now)) end = bits::min32(end, w->accepted[c] + grace_units);
  }
  return end;
}

}  // namespace

void add_to_poll(hub::Host* host, u32 now) {
  Web* w = host->web;
  sock::PollSet* poll = &host->poll;
  w->held_until = has_room(w, now) ? 0 : first_grace_end(w, now);
  if (w->listener != sock::invalid_socket && w->held_until == 0) {
    u32 at = sock::poll_add(poll, w->listener, 0);
    if (at < sock::poll_capacity) host->meaning[at] = hub::entry_web;
  }
  for (u64 m = w->busy; m != 0; m &= m - 1) {
    u32 c = bits::word_first(m);
    bool answering = has(w->responding, c) && !has(w->draining, c);
    // A stream waits to write only while it owes bytes, and is read all along: that is how a browser's leaving
    // is seen between the chunks.
    bool streams = has(w->streaming, c);
    u32 at = sock::poll_add(poll, w->socket[c], streams ? owes(w, c) : answering);
    if (at >= sock::poll_capacity) continue;
    // An answered client is not read again: bytes it sends after its request would only wake the poll.
    if (answering && !streams) poll->entries[at].events &= ~sock::poll_read;
    host->meaning[at] = hub::entry_web_client | c;
  }
}


u32 make_room(const Web* w, u32 address, u32 now) {
  // Among clients still sending, the place is taken from the address that holds the most of them: one address's
  // flood of fresh connections must not push out another's single request that has not arrived whole yet.
  u32 same[clients] = {};
  sending_per_address(w, same);
  u32 pick = none, pick_rank = 0, from_address = 0, oldest_of_address = none;
  for (u64 m = w->busy; m != 0; m &= m - 1) {
    u32 c = bits::word_first(m);
    u32 rank = room_rank(w, c);
    if (rank == 1 && w->address[c] == address && bits::sub_sat32(now, w->accepted[c]) >= grace_units) {
      ++from_address;
      if (oldest_of_address == none || w->progress[c] < w->progress[oldest_of_address]) oldest_of_address = c;
    }
    if (shielded(w, same, c, now)) continue;
    bool before = pick == none || rank < pick_rank ||
                  (rank == pick_rank && (same[c] > same[pick] ||
                                         (same[c] == same[pick] && w->progress[c] < w->progress[pick])));
    if (before) {
      pick = c;
      pick_rank = rank;
    }
  }
  if (from_address >= clients_per_address) return oldest_of_address;
  return (~w->busy & bits::low_mask(clients)) != 0 ? none : pick;
}

bool has_room(const Web* w, u32 now) {
  if ((~w->busy & bits::low_mask(clients)) != 0) return true;
  u32 same[clients] = {};
  sending_per_address(w, same);
  for (u64 m = w->busy; m != 0; m &= m - 1) {
    if (!shielded(w, same, bits::word_first(m), now)) return true;
  }
  return false;
}

namespace {

// Every client still sending its request reads what has arrived; those whose request is now whole are answered.
void read_waiting(hub::Host* host, u32 now) {
  Web* w = host->web;
  for (u64 m = w->busy & ~w->responding & ~w->draining; m != 0; m &= m - 1)
    read_client(host, bits::word_first(m), now, host->wall);
}

}  // namespace

void accept(hub::Host* host, u32 now) {
  Web* w = host->web;
  for (u32 n = 0; n < 4 * clients && has_room(w, now); ++n) {
    sock::Socket s = sock::invalid_socket;
    u32 peer = 0;
    if (sock::accept(w->listener, &s, &peer) != sock::done) return;
    u32 gone = make_room(w, peer, now);
    if (gone != none) {
      // Requests that came in while the host was busy are read before a place is taken from a client still
      // sending: closing on an unread request resets the connection, and a browser does not retry a new one.
      read_waiting(host, now);
      gone = make_room(w, peer, now);
    }
    if (gone != none) {
      close_client(host, gone);
      ++w->evicted;
    }
    u32 c = bits::word_first(~w->busy & bits::low_mask(clients));
    put_bit(&w->busy, c, true);
    put_bit(&w->responding, c, false);
    w->socket[c] = s;
    w->address[c] = peer;
    w->accepted[c] = now;
    w->progress[c] = now;
    w->fill[c] = 0;
    w->head_length[c] = w->head_sent[c] = 0;
    w->body_length[c] = w->body_sent[c] = 0;
    w->member[c] = none;
    w->route[c] = route_none;
    // A browser sends its request with the connect: read at once, it is answered before later arrivals need room.
    read_client(host, c, now, host->wall);
  }
}

void client_io(hub::Host* host, u32 c, u32 events, u32 now, u32 wall) {
  Web* w = host->web;
  if (c >= clients || !has(w->busy, c)) return;
  if (has(w->draining, c)) return drain_client(host, c);
  if (has(w->streaming, c)) {
    // Nothing is read from a stream's browser; what it sends is dropped, and its close ends the stream.
    u64 n = 0;
    u32 r = events ? sock::recv(w->socket[c], mem::Slice{w->request[c], request_size}, &n) : sock::would_block;
    if (r == sock::closed || r == sock::failed) return close_client(host, c);
    return write_stream(host, c, now, false);
  }
  if (has(w->responding, c)) {
    u32 sent = w->head_sent[c] + w->body_sent[c];
    write_client(host, c);
    if (has(w->busy, c) && w->head_sent[c] + w->body_sent[c] != sent) w->progress[c] = now;
    return;
  }
  if (events) read_client(host, c, now, wall);
}

void upkeep(hub::Host* host, u32 now) {
  Web* w = host->web;
  for (u64 m = w->busy; m != 0; m &= m - 1) {
    u32 c = bits::word_first(m);
    u32 age = bits::sub_sat32(now, w->accepted[c]);
    bool reading = !has(w->responding, c) && !has(w->draining, c);
    bool drained = has(w->draining, c) && bits::sub_sat32(now, w->progress[c]) >= drain_units;
    u32 wait = has(w->kept, c) ? kept_units : head_units;
    if (has(w->streaming, c)) {
      if (owes(w, c) && bits::sub_sat32(now, w->progress[c]) >= stream_stall_units) close_client(host, c);
      continue;
    }
    // A kept connection has its own wait, counted from its last answer.
    if ((age >= client_units && !has(w->kept, c)) || (reading && age >= wait) || drained) {
      close_client(host, c);
      ++w->idle_closed;
    }
  }
  const hub::Hub* h = host->hub;
  for (u32 word = 0; word < 2; ++word) {
    for (u64 m = w->web_members[word]; m != 0; m &= m - 1) {
      u32 s = word * 64 + bits::word_first(m);
      if (link_busy(w, s)) continue;
      bool gone = !hub::is_in(h, hub::set_live, s);
      bool idle = bits::sub_sat32(now, w->last_request[s]) >= link_units;
      bool closed = hub::is_in(h, hub::set_closing, s) && h->slot[s].out_fill == 0;
      if (gone || idle || closed) drop_link(host, s);
    }
  }
  // A stored-history answer comes a part a round, and goes as it comes; so does a half-full out-buffer.
  for (u64 m = w->streaming; m != 0; m &= m - 1) {
    u32 c = bits::word_first(m);
    u32 s = w->member[c];
    bool full = h->slot[s].out_fill >= hub::buffer_size / 2;
    write_stream(host, c, now, full || hub::is_in(h, hub::set_history, s));
  }
}

void second(hub::Host* host, u32 now) {
  Web* w = host->web;
  for (u64 m = w->streaming; m != 0; m &= m - 1) write_stream(host, bits::word_first(m), now, true);
}

void close_client(hub::Host* host, u32 c) {
  Web* w = host->web;
  // A stream's link goes with it: the browser lost the link's bytes it had not read, and opens a new one.
  const u32 streamed = has(w->streaming, c) ? w->member[c] : none;
  // Between two chunks the stream ends as HTTP says, so the browser reads an end rather than a failure.
  if (streamed != none && w->head_sent[c] == w->head_length[c] && w->chunk_left[c] == 0) {
    u64 n = 0;
    sock::send(w->socket[c], mem::lit("0\r\n\r\n"), &n);
  }
  put_bit(&w->streaming, c, false);
  w->chunk_left[c] = 0;
  if (streamed != none) {
    ++w->stream_closed;
    drop_link(host, streamed);
  }
  if (w->socket[c] != sock::invalid_socket) sock::close(w->socket[c]);
  w->socket[c] = sock::invalid_socket;
  put_bit(&w->busy, c, false);
  put_bit(&w->responding, c, false);
  put_bit(&w->draining, c, false);
  put_bit(&w->lingers, c, false);
  put_bit(&w->kept, c, false);
  w->member[c] = none;
  w->fill[c] = w->used[c] = 0;
}

void close(hub::Host* host) {
  Web* w = host->web;
  w->streaming = 0;  // the host frees the links' slots itself
  for (u32 c = 0; c < clients; ++c) {
    if (has(w->busy, c)) close_client(host, c);
  }
  if (w->listener != sock::invalid_socket) sock::close(w->listener);
  w->listener = sock::invalid_socket;
}

void respond(hub::Host* host, u32 c, u32 status, u8 route, mem::Bytes placed, u32 extra, u8 serve) {
  Web* w = host->web;
  u32 n = write_response(mem::Slice{w->head[c], head_max}, status, route, placed.len + extra, serve);
  u32 more = bits::min32(placed.len, head_area - n);
  mem::copy(mem::Slice{w->head[c] + n, more}, placed);
  w->head_length[c] = static_cast<u16>(n + more);
  w->head_sent[c] = 0;
  w->body_length[c] = status == status_ok ? extra : 0;
  w->body_sent[c] = 0;
  // How the static body is served rides above the route, for the sends that follow.
  w->route[c] = route | static_cast<u32>(status == status_ok ? serve : 0) << 8;
  if (status != status_ok) w->member[c] = none;
  if (status == status_ok) ++w->answered;
  put_bit(&w->lingers, c, status != status_ok);
  put_bit(&w->responding, c, true);
  write_client(host, c);
}

// ---- The relay.

namespace {

// The client's answer becomes the link's stream: its head now, then a chunk of what is queued.
void open_stream(hub::Host* host, u32 c, u32 m, u32 now) {
  Web* w = host->web;
  w->head_length[c] = static_cast<u16>(write_response(mem::Slice{w->head[c], head_max}, status_ok, route_link_id, chunked));
  w->head_sent[c] = 0;
  w->body_length[c] = w->body_sent[c] = 0;
  w->chunk_left[c] = 0;
  w->member[c] = m;
  w->route[c] = route_link_id;
  ++w->answered;
  put_bit(&w->lingers, c, false);
  put_bit(&w->responding, c, true);
  put_bit(&w->streaming, c, true);
  write_stream(host, c, now, true);
}

}  // namespace

void open_link(hub::Host* host, u32 c, mem::Bytes body, u32 now, u32 wall) {
  Web* w = host->web;
  hub::Hub* h = host->hub;
  u8 challenge[proto::challenge_size];
  u8 id[link_id_size];
  u32 m = none;
  // Browser links have handshake places of their own; when those are taken, the link that proved least makes way,
  // unless a client is just fetching its answer.
  u32 room = hub::room_for(h, w->address[c], 1);
  if (room != hub::room_free && room != none && !link_busy(w, room)) {
    drop_link(host, room);
    room = hub::room_for(h, w->address[c], 1);
  }
  if (room == hub::room_free && host->random(mem::Slice{challenge, sizeof challenge}) &&
      host->random(mem::Slice{id, sizeof id})) {
    m = hub::admit(h, mem::Bytes(challenge, sizeof challenge), w->address[c], now, 1);
  }
  if (m == none) return respond(host, c, status_unavailable, route_link, mem::Bytes(), 0);
  bits::set(w->web_members, m);
  mem::copy(mem::Slice{w->link_ids[m], link_id_size}, mem::Bytes(id, sizeof id));
  ++w->links_opened;
  if (!feed_link(host, m, body, now, wall)) {
    drop_link(host, m);
    return respond(host, c, status_unavailable, route_link, mem::Bytes(), 0);
  }
  w->member[c] = m;
  respond(host, c, status_ok, route_link, mem::Bytes(id, sizeof id), h->slot[m].out_fill);
}

void post_link(hub::Host* host, u32 c, const u8* id, mem::Bytes body, u32 now, u32 wall, u32 stream) {
  Web* w = host->web;
  u32 m = find_link(w, id);
  // A link past its time is gone even when the round's upkeep has not dropped it yet.
  if (m != none && !link_busy(w, m) && bits::sub_sat32(now, w->last_request[m]) >= link_units) {
    drop_link(host, m);
    m = none;
  }
  if (m == none) return respond(host, c, status_not_found, route_link_id, mem::Bytes(), 0);
  const u32 streamer = stream_of(w, m);
  if (link_busy(w, m) || (stream && streamer != none))
    return respond(host, c, status_conflict, route_link_id, mem::Bytes(), 0);
  if (!feed_link(host, m, body, now, wall)) {
    drop_link(host, m);
    return respond(host, c, status_unavailable, route_link_id, mem::Bytes(), 0);
  }
  if (stream) return open_stream(host, c, m, now);
  if (streamer != none) {
    // The stream carries every byte for the link, so they reach the browser in the order the host queued them;
    // this answer is empty, and what the host queued in reply goes down the stream now.
    respond(host, c, status_ok, route_link_id, mem::Bytes(), 0);
    return write_stream(host, streamer, now, true);
  }
  w->member[c] = m;
  respond(host, c, status_ok, route_link_id, mem::Bytes(), host->hub->slot[m].out_fill);
}

u32 stream_of(const Web* w, u32 m) {
  for (u64 s = w->streaming; s != 0; s &= s - 1) {
    if (w->member[bits::word_first(s)] == m) return bits::word_first(s);
  }
  return none;
}

void write_stream(hub::Host* host, u32 c, u32 now, bool flush) {
  Web* w = host->web;
  hub::Slot* sl = &host->hub->slot[w->member[c]];
  for (;;) {
    mem::Bytes part;
    if (w->head_sent[c] < w->head_length[c]) {
      part = mem::Bytes(w->head[c] + w->head_sent[c], w->head_length[c] - w->head_sent[c]);
    } else if (w->chunk_left[c] != 0) {
      // The chunk's bytes are the front of the out-buffer; a buffer the host emptied meanwhile broke the stream.
      if (sl->out_fill == 0) return close_client(host, c);
      part = mem::Bytes(sl->out, bits::min32(sl->out_fill, w->chunk_left[c]));
    } else if (flush && sl->out_fill != 0) {
      // The next chunk: its size line, then its bytes, then its line end.
      Text t{w->head[c], head_area, 0, 0};
      u8 digits[16];
      u32 n = 0;
      for (u32 v = sl->out_fill; v != 0 || n == 0; v >>= 4) digits[n++] = "0123456789abcdef"[v & 15];
      while (n) put(&t, mem::Bytes(&digits[--n], 1));
      put(&t, mem::lit("\r\n"));
      w->head_length[c] = static_cast<u16>(t.length);
      w->head_sent[c] = 0;
      w->chunk_left[c] = sl->out_fill;
      continue;
    } else {
      return;
    }
    u64 n = 0;
    u32 r = sock::send(w->socket[c], part, &n);
    if (r == sock::closed || r == sock::failed) return close_client(host, c);
    if (r != sock::done || n == 0) return;
    w->progress[c] = now;
    w->body_sent[c] += static_cast<u32>(n);
    if (w->head_sent[c] < w->head_length[c]) {
      w->head_sent[c] = static_cast<u16>(w->head_sent[c] + n);
      continue;
    }
    hub::consume_out(host->hub, w->member[c], static_cast<u32>(n));
    w->chunk_left[c] -= static_cast<u32>(n);
    if (w->chunk_left[c] == 0) {
      mem::copy(mem::Slice{w->head[c], 2}, mem::lit("\r\n"));
      w->head_length[c] = 2;
      w->head_sent[c] = 0;
    }
  }
}

u32 feed_link(hub::Host* host, u32 m, mem::Bytes bytes, u32 now, u32 wall) {
  hub::Hub* h = host->hub;
  if (m >= member_slots || !hub::is_in(h, hub::set_live, m)) return 0;
  host->web->last_request[m] = now;
  hub::Slot* sl = &h->slot[m];
  for (u64 used = 0; used < bytes.len;) {
    if (!hub::is_in(h, hub::set_live, m)) return 0;
    // A closing member takes nothing more: the bytes are dropped, as a socket's would be.
    if (hub::is_in(h, hub::set_closing, m)) return 1;
    u32 n = bits::min32(hub::buffer_size - sl->in_fill, bytes.len - used);
    if (n == 0) return 0;
    mem::copy(mem::Slice{sl->in + sl->in_fill, n}, mem::Bytes(bytes.ptr + used, n));
    hub::take_frames(h, m, n, now, wall);
    used += n;
  }
  return 1;
}

u32 find_link(const Web* w, const u8* id) {
  for (u32 word = 0; word < 2; ++word) {
    for (u64 m = w->web_members[word]; m != 0; m &= m - 1) {
      u32 s = word * 64 + bits::word_first(m);
      // Every byte is compared: how long the comparison takes says nothing about a guess.
      u8 d = 0;
      for (u32 i = 0; i < link_id_size; ++i) d |= w->link_ids[s][i] ^ id[i];
      if (d == 0) return s;
    }
  }
  return none;
}

u32 link_busy(const Web* w, u32 m) {
  for (u64 r = w->responding & ~w->streaming; r != 0; r &= r - 1) {
    if (w->member[bits::word_first(r)] == m) return 1;
  }
  return 0;
}

u32 is_link(const Web* w, u32 m) { return m < member_slots && bits::is_set(w->web_members, m); }

void drop_link(hub::Host* host, u32 m) {
  Web* w = host->web;
  if (!is_link(w, m)) return;
  bits::clear(w->web_members, m);
  mem::fill(mem::Slice{w->link_ids[m], link_id_size}, 0);
  const u32 streamer = stream_of(w, m);
  if (streamer != none) close_client(host, streamer);
  if (hub::is_in(host->hub, hub::set_live, m)) hub::free_slot(host->hub, m);
}

}  // namespace web
