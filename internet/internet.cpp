#include "internet/internet.h"

#include "base/bits.h"
#include "base/fmt.h"
#include "platform/fs.h"

namespace internet {

namespace {

constexpr u32 max_u32 = 0xFFFFFFFFu;
constexpr u32 file_tests = 24;

using bits::add_sat32;

bool starts_with(mem::Bytes text, mem::Bytes head) {
  return text.len >= head.len && mem::eq(mem::Bytes(text.ptr, head.len), head);
}

// The line starting at *at without its LF and a CR before it; *at moves past the LF.
mem::Bytes next_line(mem::Bytes text, u64* at) {
  u64 start = *at, end = start;
  while (end < text.len && text.ptr[end] != '\n') end++;
  *at = end + 1;
  u64 cut = end;
  if (cut > start && end < text.len && text.ptr[cut - 1] == '\r') cut--;
  return mem::Bytes(text.ptr + start, cut - start);
}

// The field up to the next blank; *at moves past it and its blank.
mem::Bytes next_field(mem::Bytes line, u64* at) {
  u64 start = *at < line.len ? *at : line.len, end = start;
  while (end < line.len && line.ptr[end] != ' ') end++;
  *at = end + 1;
  return mem::Bytes(line.ptr + start, end - start);
}

struct Out {
  u8* ptr;
  u32 cap;
  u32 len;
};
// Appends all or nothing.
bool put(Out* o, mem::Bytes bytes) {
  if (bytes.len > o->cap - o->len) return false;
  mem::copy(mem::Slice{o->ptr + o->len, bytes.len}, bytes);
  o->len += u32(bytes.len);
  return true;
}
bool put_dec(Out* o, u64 v) {
  u8 digits[fmt::dec_size];
  return put(o, fmt::dec(v, digits));
}

void set_bit(u64* bits, u32 i, bool on) {
  if (on)
    bits[i / 64] |= u64(1) << (i % 64);
  else
    bits[i / 64] &= ~(u64(1) << (i % 64));
}

u32 path_with(mem::Bytes head, mem::Bytes tail, mem::Slice buffer) {
  u64 len = head.len + tail.len;
  if (head.len == 0 || len >= path_capacity + 1 || len > buffer.len) return 0;
  mem::copy(buffer, head);
  mem::copy(mem::Slice{buffer.ptr + head.len, tail.len}, tail);
  return u32(len);
}

}  // namespace

bool is_child(mem::Bytes word) { return mem::eq(word, mem::lit("--internet")); }
bool is_check(mem::Bytes word) { return mem::eq(word, mem::lit("--internet-check")); }

// ---- Settings and schedules.

void settings_reset(Settings* s) { *s = Settings{0, 0, 0, 0, schedule_hourly}; }

u32 schedule_seconds(u32 schedule) {
  constexpr u32 seconds[5] = {0, 3600, 10800, 21600, 86400};
  return schedule < 5 ? seconds[schedule] : 0;
}

mem::Bytes schedule_word(u32 schedule) {
  constexpr const char* words_of[5] = {"off", "hourly", "3h", "6h", "daily"};
  return schedule < 5 ? mem::cstr(words_of[schedule]) : mem::lit("off");
}

mem::Bytes schedule_label(u32 schedule) {
  constexpr const char* labels[5] = {"Off", "Every hour", "Every 3 hours", "Every 6 hours", "Once a day"};
  return schedule < 5 ? mem::cstr(labels[schedule]) : mem::lit("Off");
}

u32 daily_bytes(u32 schedule) {
  u32 interval = schedule_seconds(schedule);
  return interval ? day_seconds / interval * test_bytes : 0;
}

u64 daily_mb(u32 schedule) { return (u64(daily_bytes(schedule)) + probe_bytes_a_day + 500000) / 1000000; }

void put_daily(words::Text* line, u32 schedule) {
  words::put(line, mem::lit("About "));
  words::put_u64(line, daily_mb(schedule));
  words::put(line, mem::lit(" MB a day"));
}

u8 next_schedule(u32 schedule) { return u8(schedule >= schedule_daily ? 0 : schedule + 1); }

// ---- Probes and tests.

mem::Bytes status_text(u32 probe_status) {
  constexpr const char* texts[5] = {"Reachable", "No answer within 2 s", "No connection to Cloudflare",
                                    "Cloudflare refused the request", "The request failed"};
  return probe_status < 5 ? mem::cstr(texts[probe_status]) : mem::lit("Waiting for the first probe");
}

mem::Bytes test_status_text(u32 test_status) {
  constexpr const char* texts[5] = {"No test yet", "Done", "Skipped: the network was busy; trying again in 5 min",
                                    "Failed; trying again after a pause that doubles up to the interval",
                                    "Skipped: the day's data budget for speed tests is used up"};
  return mem::cstr(texts[test_status < 5 ? test_status : 0]);
}

void ring_clear(LatencyRing* ring) {
  mem::fill(mem::Slice{reinterpret_cast<u8*>(ring), sizeof(LatencyRing)}, 0);
  ring->capacity = ring_capacity;
}

void table_clear(TestTable* table) {
  mem::fill(mem::Slice{reinterpret_cast<u8*>(table), sizeof(TestTable)}, 0);
  table->capacity = table_capacity;
}

bool is_lost(const LatencyRing* ring, u32 i) { return (ring->lost[i / 64] >> (i % 64)) & 1; }
bool is_slow(const LatencyRing* ring, u32 i) { return (ring->slow[i / 64] >> (i % 64)) & 1; }

void put_latency(LatencyRing* ring, u32 status, u32 micros) {
  u32 code = micros / 100 > 65535 ? 65535 : micros / 100;
  if (status == 0) {
    if (ring->has_previous) {
      i32 diff = i32(code) - i32(ring->last_latency);
      i32 step = ((diff < 0 ? -diff : diff) - i32(ring->jitter)) / 16;  // truncates toward zero
      ring->jitter = u16(i32(ring->jitter) + step);
    }
    ring->last_latency = u16(code);
    ring->has_previous = 1;
  }
  u32 at = ring->next;
  ring->latency[at] = ring->last_latency;
  ring->jitters[at] = ring->jitter;
  set_bit(ring->lost, at, status != 0);
  set_bit(ring->slow, at, status == 0 && micros / 100 > 65535);
  ring->next = (at + 1) % ring_capacity;
  if (ring->filled < ring_capacity) ring->filled++;
  ring->total++;
  u32 n = ring->filled < 6 ? ring->filled : 6, lost = 0;
  for (u32 k = 0; k < n; k++) lost += is_lost(ring, (at + ring_capacity - k) % ring_capacity);
  ring->loss[at] = u8((lost * 100 + n / 2) / n);
}

void put_test(TestTable* table, u32 time, u32 down, u32 up) {
  u32 at = table->next;
  table->down[at] = down;
  table->up[at] = up;
  table->time[at] = time;
  table->next = (at + 1) % table_capacity;
  if (table->filled < table_capacity) table->filled++;
  table->total++;
}

u32 newest_down(const TestTable* table) {
  return table->filled ? table->down[(table->next + table_capacity - 1) % table_capacity] : 0;
}

bool has_come(u32 now, u32 time) { return i32(now - time) >= 0; }

void day_roll(Schedule* s, u32 now) {
  if (now - s->day_start >= day_seconds) {
    s->day_start = now;
    s->day_bytes = 0;
  }
}

void count_bytes(Schedule* s, u32 now, u32 bytes) {
  day_roll(s, now);
  s->day_bytes = add_sat32(s->day_bytes, bytes);
}

bool budget_used(const Schedule* s, u32 now, u32 schedule) {
  return now - s->day_start < day_seconds && s->day_bytes >= daily_bytes(schedule);
}

bool is_busy(u32 traffic, u32 newest) {
  u32 limit = newest / 4 > 20000 ? newest / 4 : 20000;
  return traffic > limit;
}

bool request_stale(const Schedule* s, u32 now) { return now - s->sent >= 60; }

u32 backoff(u32 failures, u32 schedule) {
  u32 doublings = failures == 0 ? 0 : (failures - 1 < 8 ? failures - 1 : 8);
  u32 wait = 300u << doublings;
  u32 interval = schedule_seconds(schedule);
  return interval && wait > interval ? interval : wait;
}

bool transfer_ok(Transfer t) { return t.status == 0 && t.bytes != 0 && t.micros > 99999; }

u32 kbps_of(u32 bytes, u32 micros) {
  if (micros == 0) return 0;
  u64 k = u64(bytes) * 8000 / micros;
  return bits::sat32(k);
}

void schedule_init(Schedule* s, u32 now) {
  *s = Schedule{};
  s->next_probe = now;
  s->next_test = now + 60;
  s->sent = now;
  s->last_test = now;
  s->day_start = now;
  s->probe_status = probe_waiting;
}

void schedule_load(Schedule* s, const Settings* settings, u32 now) {
  s->day_start = settings->day_start;
  s->day_bytes = settings->day_bytes;
  day_roll(s, now);
  u32 last = settings->last_test;
  if (last == 0) return;
  u32 interval = schedule_seconds(settings->schedule);
  i32 left = i32(last + interval - now);
  u32 wait = u32(left > 0 ? left : 0);
  if (wait > interval) wait = interval;
  s->next_test = now + (wait > 60 ? wait : 60);
  s->last_test = last;
  s->flags |= flag_last_test_known;
}

u8 due(Schedule* s, u32 now, u32 schedule, bool busy) {
  if (s->pending != request_none) return request_none;
  u8 kind = request_none;
  if (schedule != schedule_off && has_come(now, s->next_test)) {
    if (budget_used(s, now, schedule)) {
      s->test_status = test_budget;
      s->next_test = s->day_start + day_seconds;
    } else if (busy) {
      s->test_status = test_busy;
      s->next_test = now + 300;
    } else {
      kind = request_speed;
    }
  }
  if (kind == request_none && has_come(now, s->next_probe)) kind = request_latency;
  if (kind != request_none) {
    s->pending = kind;
    s->sent = now;
  }
  return kind;
}

void latency_done(Schedule* s, LatencyRing* ring, u32 status, u32 micros, u32 error, u32 now) {
  put_latency(ring, status, micros);
  s->probe_status = u8(status < probe_waiting ? status : u32(probe_waiting));
  s->last_error = error;
  s->pending = request_none;
  s->next_probe = now + 10;
}

void fail_later(Schedule* s, u32 now, u32 schedule) {
  if (s->failures < 16) s->failures++;
  s->test_status = test_failed;
  s->next_test = now + backoff(s->failures, schedule);
}

void test_done(Schedule* s, TestTable* table, Transfer down, Transfer up, u32 error, u32 now, u32 schedule) {
  bool counted = transfer_ok(down) && transfer_ok(up);
  if (counted) put_test(table, now, kbps_of(down.bytes, down.micros), kbps_of(up.bytes, up.micros));
  count_bytes(s, now, add_sat32(add_sat32(down.bytes, up.bytes), 50000));
  s->last_error = error;
  s->flags |= flag_last_test_known;
  s->last_test = now;
  s->pending = request_none;
  s->next_probe = now;
  if (!counted) return fail_later(s, now, schedule);
  s->failures = 0;
  s->test_status = test_done_ok;
  s->next_test = now + schedule_seconds(schedule);
}

void abort(Schedule* s, u32 now, u32 schedule) {
  u8 kind = s->pending;
  s->pending = request_none;
  if (kind == request_latency) {
    s->probe_status = probe_failed;
    s->next_probe = now + 10;
  } else if (kind == request_speed) {
    count_bytes(s, now, test_bytes);
    s->flags |= flag_last_test_known;
    s->last_test = now;
    fail_later(s, now, schedule);
  }
}

// ---- Synthetic answers.

u32 demo_latency(u32 n, u32* status) {
  *status = n % 17 == 16 ? 1 : 0;
  return (n * 7) % 9 * 900 + (n % 13 == 12 ? 49000 : 11000);
}

void demo_fill(LatencyRing* ring, TestTable* table, u32 now) {
  for (u32 n = 0; n < 360; n++) {
    u32 status = 0, micros = demo_latency(n, &status);
    put_latency(ring, status, micros);
  }
  if (table->filled != 0) return;
  for (u32 i = 0; i < 24; i++) {
    u64 slow = u64(i % 5) * 250000;
    put_test(table, now - (24 - i) * 3600, u32(200000000000ull / (slow + 2000000)),
             u32(80000000000ull / (slow + 4000000)));
  }
}

void demo_request(Schedule* s, LatencyRing* ring, TestTable* table, u32 sequence, u32 now, u32 schedule) {
  if (s->pending == request_latency) {
    u32 status = 0, micros = demo_latency(sequence, &status);
    return latency_done(s, ring, status, micros, 0, now);
  }
  u32 slow = sequence % 5 * 250000;
  test_done(s, table, Transfer{0, 25000000, slow + 2000000}, Transfer{0, 10000000, slow + 4000000}, 0, now,
            schedule);
}

// ---- The settings file.

u32 settings_path(mem::Slice buffer) {
  u8 value[path_capacity];
  u64 len = 0;
  if (fs::env_var(mem::lit("APPDATA"), mem::Slice{value, sizeof value}, &len) != fs::ok) return 0;
  return path_with(mem::Bytes(value, len), mem::lit("\\Vimbrel\\internet.txt"), buffer);
}

u32 test_path(mem::Bytes folder, mem::Slice buffer) { return path_with(folder, mem::lit(".internet"), buffer); }

u32 parse_number(mem::Bytes value) {
  u64 v = 0;
  for (u64 i = 0; i < value.len; i++) {
    u8 c = value.ptr[i];
    if (c < '0' || c > '9') return 0;
    v = v * 10 + (c - '0');
    if (v > max_u32) v = max_u32;
  }
  return u32(v);
}

mem::Bytes find_key(mem::Bytes text, mem::Bytes key) {
  for (u64 at = 0; at < text.len;) {
    mem::Bytes line = next_line(text, &at);
    if (starts_with(line, key)) return mem::Bytes(line.ptr + key.len, line.len - key.len);
  }
  return mem::Bytes();
}

u32 parse_settings(mem::Bytes text, Settings* s) {
  settings_reset(s);
  mem::Bytes header = mem::lit("vimbrel-internet 1");
  if (text.len <= header.len || !starts_with(text, header)) return 0;
  if (text.ptr[header.len] != '\n' && text.ptr[header.len] != '\r') return 0;
  s->on = mem::eq(find_key(text, mem::lit("internet ")), mem::lit("on")) ? 1 : 0;
  mem::Bytes word = find_key(text, mem::lit("speed "));
  for (u32 k = 0; k < 5; k++)
    if (mem::eq(word, schedule_word(k))) s->schedule = u8(k);
  s->last_test = parse_number(find_key(text, mem::lit("last-test ")));
  s->day_start = parse_number(find_key(text, mem::lit("day-start ")));
  s->day_bytes = parse_number(find_key(text, mem::lit("day-bytes ")));
  return 1;
}

void parse_tests(mem::Bytes text, TestTable* table) {
  mem::Bytes key = mem::lit("test ");
  for (u64 at = 0; at < text.len;) {
    mem::Bytes line = next_line(text, &at);
    if (line.len <= key.len || !starts_with(line, key)) continue;
    u64 field = key.len;
    u32 time = parse_number(next_field(line, &field));
    u32 down = parse_number(next_field(line, &field));
    u32 up = parse_number(next_field(line, &field));
    if (down != 0 && up != 0) put_test(table, time, down, up);
  }
}

namespace {

// The header and the six settings lines.
void write_settings(Out* o, const Settings* s) {
  put(o, mem::lit("vimbrel-internet 1\ninternet "));
  put(o, s->on ? mem::lit("on") : mem::lit("off"));
  put(o, mem::lit("\nspeed "));
  put(o, schedule_word(s->schedule));
  put(o, mem::lit("\nlast-test "));
  put_dec(o, s->last_test);
  put(o, mem::lit("\nday-start "));
  put_dec(o, s->day_start);
  put(o, mem::lit("\nday-bytes "));
  put_dec(o, s->day_bytes);
  put(o, mem::lit("\n"));
}

// The newest tests, oldest first; a line that would not fit ends the list.
void write_tests(Out* o, const TestTable* table) {
  u32 count = table->filled < file_tests ? table->filled : file_tests;
  for (u32 k = count; k > 0; k--) {
    u32 i = (table->next + table_capacity - k) % table_capacity;
    u8 line[48];
    Out l{line, sizeof line, 0};
    put(&l, mem::lit("test "));
    put_dec(&l, table->time[i]);
    put(&l, mem::lit(" "));
    put_dec(&l, table->down[i]);
    put(&l, mem::lit(" "));
    put_dec(&l, table->up[i]);
    put(&l, mem::lit("\n"));
    if (!put(o, mem::Bytes(line, l.len))) break;
  }
}

}  // namespace

u32 format_file(const Settings* s, const TestTable* table, mem::Slice buffer) {
  Out o{buffer.ptr, u32(buffer.len < file_capacity ? buffer.len : file_capacity), 0};
  write_settings(&o, s);
  write_tests(&o, table);
  return o.len;
}

u32 read_file(mem::Bytes path, mem::Slice buffer) {
  u64 cap = buffer.len < file_capacity ? buffer.len : file_capacity;
  return u32(fs::read_prefix(path, mem::Slice{buffer.ptr, cap}));
}

u32 save(mem::Bytes path, const Settings* s, const TestTable* table) {
  u8 bytes[file_capacity];
  u32 n = format_file(s, table, mem::Slice{bytes, sizeof bytes});
  return fs::save_file(path, mem::Bytes(bytes, n));
}

// ---- The window's probe.

Endpoint default_endpoint() {
  Endpoint e{};
  mem::Bytes host = mem::lit("speed.cloudflare.com");
  mem::copy(mem::Slice{e.host, sizeof e.host}, host);
  e.host_length = u32(host.len);
  e.port = 443;
  e.secure = 1;
  return e;
}

void load(Probe* p, mem::Arena* shell, mem::Bytes path, const Endpoint* endpoint, bool live, u32 now) {
  *p = Probe{};
  p->live = live ? 1 : 0;
  p->endpoint = *endpoint;
  settings_reset(&p->settings);
  mem::Slice copy = path.len ? mem::alloc(shell, path.len, 1) : mem::Slice{};
  if (copy.ptr) {
    mem::copy(copy, path);
    p->path = copy;
    u8 text[file_capacity];
    parse_settings(mem::Bytes(text, read_file(p->path, mem::Slice{text, sizeof text})), &p->settings);
  }
  apply_on(p, now);
}

void apply_on(Probe* p, u32 now) {
  if (p->settings.on && !p->data) open_data(p, now);
  if (!p->settings.on && p->data) free_data(p);
}

void open_data(Probe* p, u32 now) {
  if (p->data || !mem::arena_init(&p->arena, sizeof(ProbeData))) return;
  mem::Slice bytes = mem::alloc(&p->arena, sizeof(ProbeData), 64);
  if (!bytes.ptr) {
    mem::release(&p->arena);
    p->arena = mem::Arena{};
    return;
  }
  mem::fill(bytes, 0);
  ProbeData* d = reinterpret_cast<ProbeData*>(bytes.ptr);
  ring_clear(&d->ring);
  table_clear(&d->tests);
  schedule_init(&d->schedule, now);
  schedule_load(&d->schedule, &p->settings, now);
  if (p->path.len) {
    u8 text[file_capacity];
    parse_tests(mem::Bytes(text, read_file(p->path, mem::Slice{text, sizeof text})), &d->tests);
  }
  if (!p->live) demo_fill(&d->ring, &d->tests, now);
  p->data = d;
}

void free_data(Probe* p) {
  if (!p->data) return;
  stop_child(p->data);
  mem::release(&p->arena);
  p->arena = mem::Arena{};
  p->data = nullptr;
}

void persist(Probe* p) {
  u32 r = fs::ok;
  if (p->path.len && p->data) {
    r = save(p->path, &p->settings, &p->data->tests);
  } else if (p->path.len) {
    // Without the data the file's own tests are written back unchanged.
    TestTable kept;
    table_clear(&kept);
    u8 text[file_capacity];
    parse_tests(mem::Bytes(text, read_file(p->path, mem::Slice{text, sizeof text})), &kept);
    r = save(p->path, &p->settings, &kept);
  }
  p->save_failed = r != fs::ok ? 1 : 0;
}

void toggle(Probe* p, u32 now) {
  p->settings.on = p->settings.on ? 0 : 1;
  persist(p);
  apply_on(p, now);
}

void cycle_schedule(Probe* p, u32 now) {
  p->settings.schedule = next_schedule(p->settings.schedule);
  persist(p);
  if (p->settings.on && p->data) p->data->schedule.next_test = now + 60;
}

void save_changed(Probe* p) {
  const Schedule* s = &p->data->schedule;
  p->settings.last_test = (s->flags & flag_last_test_known) ? s->last_test : 0;
  p->settings.day_start = s->day_start;
  p->settings.day_bytes = s->day_bytes;
  persist(p);
}

bool tick(Probe* p, u32 now, u32 traffic) {
  if (!p->data) return false;
  const Schedule* s = &p->data->schedule;
  u32 bytes = s->day_bytes, last = s->last_test;
  bool changed = step(p, now, traffic);
  if (s->day_bytes != bytes || s->last_test != last) save_changed(p);
  return changed;
}

bool step(Probe* p, u32 now, u32 traffic) {
  ProbeData* d = p->data;
  if (!d) return false;
  Schedule* s = &d->schedule;
  u32 schedule = p->settings.schedule;
  bool changed = false;
  if (p->live && s->pending && d->child.view) changed = take_result(d, now, schedule);
  if (p->live && s->pending && (request_stale(s, now) || !child::is_running(&d->child))) {
    abort(s, now, schedule);
    stop_child(d);
    changed = true;
  }
  u8 status = s->test_status;
  u8 kind = due(s, now, schedule, is_busy(traffic, newest_down(&d->tests)));
  changed = changed || s->test_status != status;
  if (kind == request_none) return changed;
  d->sequence++;
  if (!p->live) {
    demo_request(s, &d->ring, &d->tests, d->sequence, now, schedule);
    return true;
  }
  if (!d->child.view) {
    d->start_failed = start_child(d, &p->endpoint) ? 0 : 1;
    if (d->start_failed) {
      abort(s, now, schedule);
      return true;
    }
  }
  send_request(d);
  return changed;
}

}  // namespace internet
