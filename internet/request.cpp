#include "internet/request.h"

#include "platform/os.h"
#include "sampling/child.h"
#include "sampling/feed.h"

namespace internet {

namespace {

constexpr u32 max_u32 = 0xFFFFFFFFu;

u32 word(const u8* view, u64 size, u32 at) { return feed::get32(view, size, at); }

Transfer read_transfer(const u8* view, u64 size, u32 at) {
  return Transfer{word(view, size, at), word(view, size, at + 4), word(view, size, at + 8)};
}

void write_transfer(u8* view, u64 size, u32 at, Transfer t) {
  feed::put32(view, size, at, t.status);
  feed::put32(view, size, at + 4, t.bytes);
  feed::put32(view, size, at + 8, t.micros);
}

u32 saturate(u64 v) { return v > max_u32 ? max_u32 : u32(v); }

// One exchange on the open client: its request status, the error word following it.
u32 run(HttpState* state, const http::Exchange* x, http::Answer* answer) {
  if (!http::client_exchange(&state->client, x, answer)) {
    state->error = state->client.error;
    return error_kind(state->error);
  }
  // An upload stopped by its time limit awaits no answer and keeps its status.
  if (answer->cut && x->post) return probe_ok;
  state->error = answer->status;
  return answer->status == 200 ? probe_ok : probe_refused;
}

// Opens the client when it is closed: 0, or the status of the failure (the client then closed).
u32 ensure_open(HttpState* state, const Endpoint* endpoint) {
  if (http_is_open(state) || http_open(state, endpoint)) return probe_ok;
  http_close(state);
  return error_kind(state->error);
}

Transfer timed(HttpState* state, const Endpoint* endpoint, const http::Exchange* x) {
  Transfer t{probe_failed, 0, 0};
  u32 opened = ensure_open(state, endpoint);
  if (opened != probe_ok) {
    t.status = opened;
    return t;
  }
  http::Answer answer;
  u64 start = clock_now();
  t.status = run(state, x, &answer);
  u64 end = clock_now();
  t.bytes = saturate(answer.moved);
  t.micros = saturate(end - start);
  return t;
}

bool write_out(const words::Text& line) {
  u8 bytes[words::text_capacity + 1];
  mem::copy(mem::Slice{bytes, line.len}, mem::Bytes(line.bytes, line.len));
  bytes[line.len] = '\n';
  return os::write_std(os::std_output, mem::Bytes(bytes, line.len + 1)) == 0;
}

}  // namespace

// ---- The block.

void set_endpoint(Endpoint* e, mem::Bytes host, u32 port, u32 secure) {
  *e = Endpoint{};
  if (host.len <= host_capacity) {
    mem::copy(mem::Slice{e->host, sizeof e->host}, host);
    e->host_length = u32(host.len);
  }
  e->port = port;
  e->secure = secure ? 1 : 0;
}

void put_request(u8* view, u64 size, const Endpoint* e, u32 window_pid) {
  mem::fill(mem::Slice{view, size < block_size ? size : block_size}, 0);
  feed::put32(view, size, magic_at, block_magic);
  feed::put32(view, size, window_pid_at, window_pid);
  u32 length = e->host_length < host_capacity ? e->host_length : host_capacity;
  if (size >= block_size) mem::copy(mem::Slice{view + host_at, length}, mem::Bytes(e->host, length));
  feed::put32(view, size, host_length_at, length);
  feed::put32(view, size, port_at, e->port);
  feed::put32(view, size, secure_at, e->secure ? 1 : 0);
}

bool block_ok(const u8* view, u64 size) {
  return view != nullptr && size >= block_size && word(view, size, magic_at) == block_magic &&
         word(view, size, host_length_at) <= host_capacity;
}

Endpoint child_endpoint(const u8* view, u64 size) {
  Endpoint e{};
  u32 length = word(view, size, host_length_at);
  if (length > host_capacity) length = host_capacity;
  if (size >= block_size) mem::copy(mem::Slice{e.host, length}, mem::Bytes(view + host_at, length));
  e.host_length = length;
  e.port = word(view, size, port_at);
  e.secure = word(view, size, secure_at) != 0 ? 1 : 0;
  return e;
}

// ---- The client.

u32 error_kind(u32 error) {
  if (error == http::error_timeout) return probe_timeout;
  if (error == http::error_name || error == http::error_connect) return probe_no_connection;
  return probe_failed;
}

bool http_is_open(const HttpState* state) { return state->client.state != nullptr; }

bool http_open(HttpState* state, const Endpoint* e) {
  http_close(state);
  state->error = 0;
  u32 length = e->host_length < host_capacity ? e->host_length : host_capacity;
  http::Service service{mem::Bytes(e->host, length), e->port, e->secure, mem::lit("Vimbrel"), step_ms};
  if (http::client_open(&state->client, &service)) return true;
  state->error = state->client.error;
  return false;
}

void http_close(HttpState* state) { http::client_close(&state->client); }

u32 get_empty(HttpState* state) {
  http::Exchange x{0, mem::lit("/__down?bytes=0"), 0, 0, 0};
  http::Answer answer;
  return run(state, &x, &answer);
}

u32 probe_latency(HttpState* state, const Endpoint* endpoint, bool warm_up, u32* micros) {
  *micros = 0;
  u32 status = ensure_open(state, endpoint);
  if (status != probe_ok) return status;
  // A fresh connection pays its handshake on the untimed request, so the timed one measures the path alone.
  if (warm_up && (status = get_empty(state)) != probe_ok) return status;
  u64 start = clock_now();
  status = get_empty(state);
  *micros = saturate(clock_now() - start);
  return status;
}

Transfer download(HttpState* state, const Endpoint* endpoint) {
  http::Exchange x{0, mem::lit("/__down?bytes=25000000"), 0, down_bytes, direction_us};
  return timed(state, endpoint, &x);
}

Transfer upload(HttpState* state, const Endpoint* endpoint) {
  http::Exchange x{1, mem::lit("/__up"), up_bytes, 0, direction_us};
  return timed(state, endpoint, &x);
}

u64 clock_us(u64 counter, u64 frequency) {
  u64 f = frequency ? frequency : 1;
  return counter / f * 1000000 + counter % f * 1000000 / f;
}

u64 clock_now() { return clock_us(os::ticks(), os::ticks_per_second()); }

// ---- The child.

void serve_request(u8* view, u64 size, HttpState* state, const Endpoint* endpoint) {
  u32 sequence = word(view, size, sequence_at);
  if (sequence == word(view, size, answered_at)) return;
  // The kind was written before the sequence number.
  os::fence();
  u32 kind = word(view, size, kind_at);
  if (kind == request_latency) {
    u32 micros = 0;
    u32 status = probe_latency(state, endpoint, !http_is_open(state), &micros);
    feed::put32(view, size, probe_status_at, status);
    feed::put32(view, size, probe_micros_at, micros);
  } else if (kind == request_speed) {
    write_transfer(view, size, down_at, download(state, endpoint));
    write_transfer(view, size, up_at, upload(state, endpoint));
  }
  feed::put32(view, size, error_at, state->error);
  // A speed test or a failed probe leaves a connection not worth keeping: the next request opens a fresh one.
  if (kind == request_speed || word(view, size, probe_status_at) != probe_ok) http_close(state);
  os::fence();
  feed::put32(view, size, answered_at, sequence);
}

u32 child_main(mem::Bytes section_name) {
  child::Section s;
  if (!child::open_section(section_name, &s)) return 3;
  if (!block_ok(s.view, s.view_size)) {
    child::unmap(&s);
    return 3;
  }
  Endpoint endpoint = child_endpoint(s.view, s.view_size);
  HttpState state{};
  u64 parent = child::open_parent(word(s.view, s.view_size, window_pid_at));
  while (child::round(&s, parent) == 0) {
    serve_request(s.view, s.view_size, &state, &endpoint);
    os::sleep_ms(50);
  }
  http_close(&state);
  child::close_handle(parent);
  child::unmap(&s);
  return 0;
}

// ---- The window's side.

bool start_child(ProbeData* d, const Endpoint* endpoint) {
  child::Section* s = &d->child;
  if (!child::create_section(s, block_size)) return false;
  put_request(s->view, s->view_size, endpoint, os::process_id());
  if (child::start(s, mem::lit("--internet"))) return true;
  child::stop(s);
  *s = child::Section{};
  return false;
}

void send_request(ProbeData* d) {
  child::Section* s = &d->child;
  feed::put32(s->view, s->view_size, kind_at, d->schedule.pending);
  os::fence();
  feed::put32(s->view, s->view_size, sequence_at, d->sequence);
}

bool take_result(ProbeData* d, u32 now, u32 schedule) {
  const child::Section* s = &d->child;
  if (word(s->view, s->view_size, answered_at) != d->sequence) return false;
  // The answer's words were written before its sequence number.
  os::fence();
  u32 error = word(s->view, s->view_size, error_at);
  Schedule* sc = &d->schedule;
  if (sc->pending == request_latency) {
    latency_done(sc, &d->ring, word(s->view, s->view_size, probe_status_at),
                 word(s->view, s->view_size, probe_micros_at), error, now);
  } else if (sc->pending == request_speed) {
    test_done(sc, &d->tests, read_transfer(s->view, s->view_size, down_at), read_transfer(s->view, s->view_size, up_at),
              error, now, schedule);
  } else {
    return false;
  }
  return true;
}

void stop_child(ProbeData* d) {
  if (d->child.view || d->child.process.process) child::finish(&d->child, 200);
  d->child = child::Section{};
}

// ---- The check mode.

void put_kbps(words::Text* line, u32 kbps) {
  u64 bits = u64(kbps) * 1000;
  u32 tier = bits < 1000000 ? 0 : bits <= 999999999 ? 1 : 2;
  words::put_bits(line, bits, tier);
  words::putBitUnit(line, tier);
}

void probe_line(words::Text* line, u32 status, u32 micros) {
  words::put(line, mem::lit("probe "));
  words::put(line, status_text(status));
  words::put(line, mem::lit(", latency "));
  u32 tenths = micros / 100;
  words::put_tenths(line, tenths > 65535 ? 65535 : tenths);
  words::put(line, mem::lit(" ms"));
}

void print_transfer(words::Text* line, mem::Bytes name, Transfer t) {
  words::put(line, name);
  words::put(line, mem::lit(" "));
  words::put(line, status_text(t.status));
  words::put(line, mem::lit(", "));
  words::put_u64(line, t.bytes);
  words::put(line, mem::lit(" bytes in "));
  words::put_u64(line, t.micros / 1000);
  words::put(line, mem::lit(" ms: "));
  put_kbps(line, kbps_of(t.bytes, t.micros));
}

u32 check(const Endpoint* endpoint) {
  HttpState state{};
  u32 micros = 0;
  u32 status = probe_latency(&state, endpoint, true, &micros);
  bool no_library = state.error == http::error_no_library;
  Transfer down = download(&state, endpoint);
  Transfer up = upload(&state, endpoint);
  http_close(&state);
  if (no_library) {
    os::write_err(mem::lit("vimbrel: "));
    os::write_err(http::missing_library_text());
    os::write_err(mem::lit("\n"));
  }
  words::Text lines[3] = {};
  probe_line(&lines[0], status, micros);
  print_transfer(&lines[1], mem::lit("download"), down);
  print_transfer(&lines[2], mem::lit("upload"), up);
  for (const words::Text& line : lines) {
    if (!write_out(line)) {
      os::write_err(mem::lit("vimbrel: the results could not be written to standard output\n"));
      return 1;
    }
  }
  return status == probe_ok && transfer_ok(down) && transfer_ok(up) ? 0 : 1;
}

}  // namespace internet
