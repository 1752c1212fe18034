#include "views/histsource.h"

#include "wire/auth.h"
#include "cluster/viewer.h"
#include "history/hstore.h"
#include "history/localhist.h"
#include "sampling/machine.h"

namespace localhist {
namespace {

constexpr u32 table_spare = 320;
constexpr u32 first_demo_time = 25401600;  // 2025-10-22 00:00 UTC: no synthetic data before it

void set_state(hist::Table* t, u8 state) {
  if (t->state == state) return;
  t->state = state;
  ++t->changes;
}

u32 measures_of(const Shown& shown) {
  return (shown.measure[0] < 9 ? 1u : 0u) + (shown.measure[1] < 8 ? 1u : 0u);
}

u32 mix(u32 x) {
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  x ^= x >> 16;
  return x;
}

u16 level(u32 v) { return static_cast<u16>(v < 10000 ? v : 10000); }

void close_reader(Source* s) {
  if (s->reader_open) share::close_folder_ring(&s->reader);
  s->reader_open = 0;
}

}  // namespace

void init(Source* s) {
  __builtin_memset(s, 0, sizeof *s);
}

u32 ranges_offered(const Source& s, bool test) { return !test || s.test_source != 0 ? 6 : 2; }

u32 settings_word(const Shown& shown, u8 kind) {
  if (shown.page != 0 || shown.range < 2 || shown.range > 5) return 0;
  // No machine selected (-1) reads as 255, not as a flood of set bits; the kind is part of the word, so that a
  // publish target set while the same range stays shown moves the source from the files to the host.
  const u32 machine = shown.machine < 0 || shown.machine > 255 ? 255u : static_cast<u32>(shown.machine);
  return (u32{shown.range} * 2 + 1) | u32{shown.view} << 4 | u32{shown.linked} << 12 | machine << 13 |
         u32{static_cast<u8>(shown.test_source & 7)} << 21 | u32{static_cast<u8>(kind & 7)} << 24;
}

u8 source_kind(const Shown& shown) {
  if (shown.test) {
    switch (shown.test_source) {
      case 2: return source_demo;
      case 3: return source_silent;
      case 4: return source_unreachable;
      default: return source_none;
    }
  }
  return shown.linked || shown.publishing ? source_host : source_files;
}

bool folder(const u8* id16, store::Path* out) {
  store::Path base;
  if (!data_folder(&base)) return false;
  return path(store::path_of(&base), mem::Bytes(id16, 16), false, out) == ok;
}

void machine_id(const Shown& shown, u8 (&out)[16]) {
  const u8* id = shown.linked ? shown.member_id : shown.own_id;
  if (id) {
    __builtin_memcpy(out, id, 16);
  } else {
    __builtin_memset(out, 0, 16);
  }
}

bool has_files(const u8* id16) {
  store::Path dir;
  if (!folder(id16, &dir)) return false;
  auth::KeyState key;
  auth::key_init(&key, key_text());
  share::FolderRing reader;
  const bool opened = share::open_folder_ring(&reader, store::path_of(&dir), store::ring_t0, &key);
  if (opened) share::close_folder_ring(&reader);
  return opened;
}

bool refresh(Source* s, const Shown& shown, HostLink* link, u32 now) {
  const u32 word = settings_word(shown, source_kind(shown));
  if (word == s->word) return false;
  const bool had = s->table != nullptr;
  close_source(s, link);
  s->word = word;
  if (word != 0) open_source(s, shown, link, now);
  return had || s->table != nullptr;
}

void open_source(Source* s, const Shown& shown, HostLink* link, u32 now) {
  const u8 kind = source_kind(shown);
  s->kind = kind;
  if (shown.test && shown.test_source == 5) return;  // the test of a source that makes no table at all
  const u32 measures = measures_of(shown);
  const u64 extra = kind == source_files ? read_bytes : 0;
  const u64 bytes = hist::table_bytes(shown.range, measures);
  if (bytes == 0 || !mem::arena_init(&s->arena, bytes + table_spare + extra)) return;
  s->arena_bytes = bytes + table_spare + extra;
  hist::Table* t = static_cast<hist::Table*>(hist::take(&s->arena, sizeof(hist::Table)));
  s->buffer_bytes = kind == source_files ? read_bytes : 1;
  s->buffer = static_cast<u8*>(hist::take(&s->arena, s->buffer_bytes));
  u8 id[16];
  machine_id(shown, id);
  if (!t || !s->buffer || !hist::bind(t, &s->arena, shown.range, shown.measure[0], shown.measure[1], id, now)) {
    mem::release(&s->arena);
    s->arena_bytes = 0;
    s->buffer = nullptr;
    return;
  }
  s->table = t;
  if (kind == source_none || (kind == source_files && !has_files(id))) set_state(t, hist::state_no_source);
  if (kind == source_unreachable) set_state(t, hist::state_unreachable);
  s->wants_link = kind == source_host;
  pump(s, link, 0);
}

void close_source(Source* s, HostLink* link) {
  if (link && link->link && s->table) viewer::drop_rows(link->link);
  close_reader(s);
  s->table = nullptr;
  s->buffer = nullptr;
  s->buffer_bytes = 0;
  if (s->arena.base) mem::release(&s->arena);
  s->arena_bytes = 0;
  s->word = 0;
  s->wants_link = 0;
}

void set_test_source(Source* s, HostLink* link, u8 value) {
  close_source(s, link);
  s->test_source = value;
}

bool is_linked(const Source& s) { return s.table && s.kind == source_host; }

bool poll(Source* s, HostLink* link, u64 now_ms) { return pump(s, link, now_ms); }

bool pump(Source* s, HostLink* link, u64 now_ms) {
  hist::Table* t = s->table;
  if (!t) return false;
  const u8 state = t->state;
  const u32 changes = t->changes;
  switch (s->kind) {
    case source_host: pump_link(s, link, now_ms); break;
    case source_files: pump_files(s); break;
    case source_demo: pump_demo(s); break;
    default: break;
  }
  return t->state != state || t->changes != changes;
}

void pump_link(Source* s, HostLink* link, u64 now_ms) {
  hist::Table* t = s->table;
  if (t->state != hist::state_asking && t->state != hist::state_unreachable) return;
  if (!link || !link->link) {
    set_state(t, hist::state_unreachable);
    return;
  }
  if (!link->connected) {
    // A request that went out on the lost connection is kept, to be sent again on the next one.
    t->sent = 0;
    if (t->state == hist::state_asking && link->expected) set_state(t, hist::state_unreachable);
    return;
  }
  if (t->state == hist::state_unreachable) set_state(t, hist::state_asking);
  // A request sent as the source opened went out with no time at hand (0): its wait starts at this poll, or it
  // would count from 0 and be sent again at once while its answer is still coming.
  if (t->asking && t->sent && s->asked_ms == 0) s->asked_ms = now_ms;
  // An answer that never came (lost with a host that went away, or dropped) is asked for again.
  if (t->asking && t->sent && now_ms - s->asked_ms >= answer_wait_ms) t->sent = 0;
  if (t->asking && !t->sent) {
    // Open again from the same start, so the request goes out as it was.
    t->asking = 0;
    t->next_start = t->ask_start;
  }
  if (!t->asking && viewer::ask_rows(link->link, t, now_ms)) s->asked_ms = now_ms;
}

bool open_reader(Source* s, u32 tier) {
  store::Path dir;
  if (!folder(s->table->id, &dir)) return false;
  auth::KeyState key;
  auth::key_init(&key, key_text());
  if (!share::open_folder_ring(&s->reader, store::path_of(&dir), tier, &key)) return false;
  s->reader_open = 1;
  return true;
}

void pump_files(Source* s) {
  hist::Table* t = s->table;
  if (t->state != hist::state_asking) return;
  if (!s->reader_open) {
    if (!hist::ask(t, store::capacity(t->tier))) return;
    s->folded_asked = t->folded;
    if (!open_reader(s, t->tier)) {
      hist::answered(t, 0);  // a missing or foreign ring: the next lower tier, or the end
      return;
    }
    share::folder_range(&s->reader, t->ask_start, t->ask_end);
  }
  if (!share::read_folder_buckets(&s->reader, s->buffer, s->buffer_bytes, t, read_budget)) return;
  close_reader(s);
  // The buckets folded count as the answer: lower tiers are read only when the range's own tier had nothing, so
  // no column mixes the means of two tiers.
  hist::answered(t, t->folded - s->folded_asked);
}

void pump_demo(Source* s) {
  hist::Table* t = s->table;
  while (hist::ask(t, demo_chunk)) {
    const u32 step = hstore::interval(t->tier);
    u64 time = (u64{t->ask_start} + step - 1) / step * step;
    u32 made = 0;
    for (; time <= t->ask_end; time += step) {
      store::Bucket b;
      if (!demo_bucket(static_cast<u32>(time), &b)) continue;
      store::Energy e;
      demo_energy(b, step, &e);
      hist::fold(t, &b);
      hist::fold_energy(t, &e);
      ++made;
    }
    hist::answered(t, made);
  }
}

void take_live(Source* s, const machine::Machine& m, u32 now) {
  hist::Table* t = s->table;
  if (!t || t->state > hist::state_empty) return;
  if (t->energy) {
    hist::live_ring(t, now, &m.ring, m.pushed);
    return;
  }
  // A machine whose samples come over a link sends none on many ticks: its newest sample counts once.
  if (m.ring.count == 0 || m.pushed == t->live_sequence) return;
  t->live_sequence = m.pushed;
  ring::Row row;
  if (!ring::at(&m.ring, 0, &row)) return;
  hist::Totals totals{};
  totals.memory_mib = m.memory_total;
  totals.gpu_count = m.gpus;
  for (u32 i = 0; i < 4; ++i) {
    totals.dedicated_mib[i] = m.gpu_dedicated[i];
    totals.shared_mib[i] = m.gpu_shared[i];
  }
  u32 values[store::measures];
  hist::values_of(&row, &totals, values);
  hist::live(t, now, values);
}

bool demo_bucket(u32 time, store::Bucket* out) {
  __builtin_memset(out, 0, sizeof *out);
  if (time < first_demo_time || (time / 3600) % 53 == 7) return false;
  const u32 of_day = time % 86400;
  const u32 wave = (of_day <= 43200 ? of_day : 86400 - of_day) * 4000 / 43200;  // 0 at midnight, 4000 at noon
  const u32 noise = mix(time / 1800) % 1500;
  const u32 daily = mix(time / 86400 + 0x9E37) % 800;
  static constexpr u16 offset[6] = {500, 300, 2500, 200, 800, 100};
  out->slot = time;
  out->term = 1;
  for (u32 m = 0; m < 6; ++m) {
    const u32 mean = wave + noise + daily + offset[m];
    out->mean[m] = level(mean);
    out->min[m] = level(mean * 3 / 4);
    out->max[m] = level(mean * 5 / 4 + 200);
  }
  const u64 receive = u64{wave + noise} * 4, send = receive / 3;  // KiB/s: up to about 180 Mbit/s
  out->mean[6] = hstore::rate_code(receive);
  out->min[6] = hstore::rate_code(receive / 2);
  out->max[6] = hstore::rate_code(receive * 2);
  out->mean[7] = hstore::rate_code(send);
  out->min[7] = hstore::rate_code(send / 2);
  out->max[7] = hstore::rate_code(send * 2);
  return true;
}

void demo_energy(const store::Bucket& b, u32 interval, store::Energy* out) {
  const u32 seconds = mix(b.slot) % 5 == 0 ? interval / 2 : interval;
  const u32 watts = b.mean[0] / 20 + 450;
  *out = store::Energy{b.slot, 1, seconds * watts * 10, static_cast<u16>(seconds), 0};
}

}  // namespace localhist
