#include "history/localhist.h"

#include "base/bits.h"
#include "base/fmt.h"
#include "wire/auth.h"
#include "wire/cluster.h"
#include "wire/hub_wire.h"
#include "wire/proto.h"
#include "platform/fs.h"
#include "platform/os.h"

namespace localhist {
namespace {

constexpr u32 term = 1;
// Seconds from 1601-01-01 to 2025-01-01.
constexpr u64 epoch_2025 = 13380163200ull;
// The rebuild reads this many records at a time.
constexpr u32 chunk_records = 64;

u32 bump(u32 n) { return n == 0xFFFFFFFFu ? n : n + 1; }

void local_key(auth::KeyState* key) { auth::key_init(key, key_text()); }

constexpr u16 count_max = 0xFFFF;

// Offsets in the 64-byte machine summary: six u16 levels, then the u32 receive and send rates.
constexpr u32 summary_levels = 8;
constexpr u32 summary_receive = 48;
constexpr u32 summary_send = 52;

u64 raw_measure(const u8* summary, u32 m) {
  if (m < 6) return store::get16(summary + summary_levels + 2 * m);
  return store::get32(summary + (m == 6 ? summary_receive : summary_send));
}

// A measure as a bucket stores it: levels capped at 65,535, rates as codes.
u16 coded(u64 raw, u32 m) { return m < 6 ? static_cast<u16>(bits::min64(raw, 0xFFFF)) : hstore::rate_code(raw); }

// Folds count buckets (their ranges and the sums of their raw means) into a tier.
void fold(hstore::BucketSum* into, const u16* min, const u16* max, const u64* sums, u32 count) {
  into->count = bits::min32(u64{into->count} + count, count_max);
  for (u32 m = 0; m < store::measures; ++m) {
    if (min[m] < into->min[m]) into->min[m] = min[m];
    if (max[m] > into->max[m]) into->max[m] = max[m];
    // Level sums are 32-bit and saturate; rate sums are 64-bit.
    into->sum[m] = m < 6 ? hstore::add_sat(static_cast<u32>(into->sum[m]), sums[m]) : into->sum[m] + sums[m];
  }
}

// The ring's type is its index: t0, t1, t2.
mem::Bytes encoded(const store::Bucket* bucket, u8 (&buffer)[store::bucket_bytes]) {
  store::encode_bucket(bucket, mem::Slice{buffer, sizeof buffer}, 0);
  return mem::Bytes(buffer, sizeof buffer);
}

// Reads one whole record; false on a failed or short read.
bool read_record(u64 file, u32 type, u32 index, u8 (&buffer)[store::bucket_bytes]) {
  u64 count = 0;
  return fs::io_read_at(file, store::record_at(type, index), mem::Slice{buffer, sizeof buffer}, &count) ==
             fs::io_ok &&
         count == sizeof buffer;
}

void close_files(Writer* w) {
  for (Ring& r : w->ring) fs::io_close(&r.file);
  w->open = 0;
}

u32 directory_code(u32 general_code) {
  if (general_code == fs::ok) return ok;
  return general_code == fs::not_found ? not_found : failed;
}

}  // namespace

namespace {

// A full disk is said once while it lasts: at the first write or reservation that fails for want of space, and
// again only after history was written in between (written set). The result in this module's codes.
u32 spaced(Writer* w, u32 io, bool written = true) {
  if (io == fs::io_no_space && !w->full) {
    w->full = 1;
    os::write_err(mem::lit("vimbrel: history cannot be written: no space\n"));
  } else if (io == fs::io_ok && written) {
    w->full = 0;
  }
  return file_code(io);
}

}  // namespace

mem::Bytes key_text() { return mem::lit("Harbor ledger quiet gates 7"); }

u32 file_code(u32 io_code) {
  switch (io_code) {
    case fs::io_ok: return ok;
    case fs::io_in_use: return in_use;
    case fs::io_not_found: return not_found;
    default: return failed;
  }
}

u32 now() {
  u64 seconds = os::filetime_now() / 10000000;
  return seconds <= epoch_2025 ? 0 : bits::min32(seconds - epoch_2025, 0xFFFFFFFFu);
}

bool wanted(bool test_mode, const cluster::PublishSettings* settings) {
  return !test_mode && (settings->publish == 0 || settings->target_kind == 0);
}

u32 path(mem::Bytes folder, mem::Bytes id, bool create, store::Path* out) {
  store::path_set(out, folder);
  if (id.len < 16) return not_found;
  if (out->overflow) return failed;
  if (create) {
    u32 code = directory_code(fs::make_directories(store::path_of(out)));
    if (code != ok) return code;
  }
  store::path_join(out, mem::lit("history"));
  for (u32 step = 0; step < 2; ++step) {
    if (step == 1) store::path_id(out, id.ptr);
    if (out->overflow) return failed;
    if (create) {
      u32 code = file_code(fs::io_make_directory(store::path_of(out)));
      if (code != ok) return code;
    }
  }
  return ok;
}

u32 open(Writer* w, mem::Bytes folder, mem::Bytes id) {
  u8 full = w->full, ahead_said = w->ahead_said;
  __builtin_memset(w, 0, sizeof *w);
  w->full = full;
  w->ahead_said = ahead_said;
  store::Path base;
  u32 code = path(folder, id, true, &base);
  u32 latest = store::latest_time(now());
  for (u32 type = 0; type < rings && code == ok; ++type) {
    store::Path file = base;
    store::path_join(&file, store::ring_name(type));
    if (file.overflow) {
      code = failed;
      break;
    }
    Ring* r = &w->ring[type];
    code = file_code(fs::io_open_rw(store::path_of(&file), 0, &r->file));
    // A ring is a file of its whole length from the start; one that an older version let grow record by record is
    // lengthened here, its records kept.
    if (code == ok) code = spaced(w, fs::io_grow(r->file, store::ring_bytes(type)), false);
    u32 state = head_accepted;
    if (code == ok) code = load_head(r->file, type, latest, &r->at, &state);
    if (code == ok && state != head_accepted) code = write_head(w, type);
    if (state == head_rebuilt) w->rebuilt = bump(w->rebuilt);
  }
  if (code != ok) {
    close_files(w);
    return code;
  }
  w->open = 1;
  return ok;
}

void close(Writer* w) {
  if (!w->open) return;
  put(w);
  close_files(w);
}

bool data_folder(store::Path* out) {
  u8 folder[store::path_capacity];
  u64 length = 0;
  const mem::Bytes vimbrel = mem::lit("/Vimbrel");
  if (fs::env_var(mem::lit("LOCALAPPDATA"), mem::Slice{folder, sizeof folder}, &length) != 0 || length == 0 ||
      length + vimbrel.len >= store::path_capacity) {
    return false;
  }
  __builtin_memcpy(folder + length, vimbrel.ptr, vimbrel.len);
  store::path_set(out, mem::Bytes(folder, length + vimbrel.len));
  return !out->overflow;
}

u32 start(Writer* w, u8* countdown, const cluster::PublishSettings* settings) {
  if (*countdown > 0) {
    --*countdown;
    return failed;
  }
  // The machine id is drawn and saved with the publish settings by the cluster link; none yet means no history.
  if (!settings->id_present) return not_found;
  store::Path folder;
  if (!data_folder(&folder)) return not_found;
  u32 code = open(w, store::path_of(&folder), mem::Bytes(settings->id, sizeof settings->id));
  if (code != ok) *countdown = code == in_use ? retry_in_use : retry_other;
  return code;
}

void drive(Writer* w, u8* countdown, bool test_mode, const cluster::PublishSettings* settings, u32 sequence,
           const ring::Row* newest, const hub::SummaryInputs* inputs) {
  if (!wanted(test_mode, settings)) {
    close(w);
    return;
  }
  if (!w->open) start(w, countdown, settings);
  if (!w->open) return;
  u8 summary[proto::summary_size];
  if (newest) {
    proto::Summary built = hub::summary_row(newest, 0, inputs);
    proto::put_summary(mem::Slice{summary, sizeof summary}, 0, &built);
  }
  tick(w, sequence, newest ? summary : nullptr, now());
}

u32 tick(Writer* w, u32 sequence, const u8* summary, u32 now) {
  if (!w->open) return failed;
  flush_due(w, now);
  if (summary && sequence != w->last_sequence) {
    w->last_sequence = sequence;
    add(w, summary, now);
  }
  return ok;
}

void add(Writer* w, const u8* summary, u32 now) {
  flush_due(w, now);
  if (!(w->flags & base_open)) {
    w->flags |= base_open;
    w->slot_number = now / hstore::interval(0);
    hstore::sum_clear(&w->base);
  }
  bool room = w->base.count < count_max;
  for (u32 m = 0; m < store::measures; ++m) {
    u64 raw = raw_measure(summary, m);
    u16 v = coded(raw, m);
    if (v < w->base.min[m]) w->base.min[m] = v;
    if (v > w->base.max[m]) w->base.max[m] = v;
    if (room) w->base.sum[m] += raw;
  }
  if (room) {
    ++w->base.count;
  } else {
    w->not_summed = bump(w->not_summed);
  }
}

void flush_due(Writer* w, u32 now) {
  if ((w->flags & base_open) && w->slot_number != now / hstore::interval(0)) put(w);
}

u32 close_base(Writer* w, store::Bucket* bucket) {
  hstore::part_bucket(&w->base, w->slot_number * hstore::interval(0), bucket);
  bucket->term = term;
  w->flags &= static_cast<u8>(~base_open);
  // The tiers take the means before they are coded.
  u64 means[store::measures];
  for (u32 m = 0; m < store::measures; ++m) {
    means[m] = w->base.count == 0 ? 0 : (w->base.sum[m] + w->base.count / 2) / w->base.count;
  }
  u32 began = 0;
  for (u32 tier = 1; tier <= 2; ++tier) {
    u32 n = hstore::interval(tier);
    u8 started = tier == 1 ? tier1_started : tier2_started;
    if (!(w->flags & started) || w->tier_start[tier - 1] / n != bucket->slot / n) {
      w->flags |= started;
      w->tier_start[tier - 1] = bucket->slot;
      hstore::sum_clear(&w->tier[tier - 1]);
      began |= 1u << tier;
    }
    fold(&w->tier[tier - 1], bucket->min, bucket->max, means, 1);
  }
  return began;
}

void put(Writer* w) {
  if (!(w->flags & base_open)) return;
  store::Bucket bucket;
  u32 began = close_base(w, &bucket);
  for (u32 tier = 1; tier <= 2; ++tier) {
    if (began & (1u << tier)) roll_up(w, tier, bucket.slot);
  }
  append(w, 0, &bucket);
  for (u32 tier = 1; tier <= 2; ++tier) {
    store::Bucket upper;
    tier_bucket(w, tier, &upper);
    // The period's record is rewritten while it is the newest; a period far behind it steps the ring back.
    const store::Place& r = w->ring[tier].at;
    if (r.filled != 0 && r.last_slot >= upper.slot && !store::steps_back(upper.slot, r.last_slot, tier)) {
      rewrite_last(w, tier, &upper);
    } else {
      append(w, tier, &upper);
    }
  }
}

void roll_up(Writer* w, u32 tier, u32 time) {
  u32 period = hstore::slot_time(time, tier);
  const store::Place& upper = w->ring[tier].at;
  if (upper.filled == 0 || upper.last_slot != period) return;
  // The base buckets of the period written before the restart, newest first.
  const Ring& base = w->ring[0];
  u32 most = bits::min32(tier == 1 ? 30 : 360, base.at.filled);
  u32 index = base.at.next;
  hstore::BucketSum sum;
  hstore::sum_clear(&sum);
  for (u32 k = 0; k < most; ++k) {
    index = store::prev_index(index, store::ring_t0);
    u8 record[store::bucket_bytes];
    store::Bucket b;
    if (!read_record(base.file, store::ring_t0, index, record) ||
        !store::decode_bucket(mem::Bytes(record, sizeof record), 0, &b) || b.slot < period || b.slot >= time) {
      break;
    }
    hstore::part_add(&sum, &b);
  }
  fold(&w->tier[tier - 1], sum.min, sum.max, sum.sum, sum.count);
}

void tier_bucket(const Writer* w, u32 tier, store::Bucket* bucket) {
  const u32 t = tier == 2 ? 2 : 1;
  hstore::part_bucket(&w->tier[t - 1], hstore::slot_time(w->tier_start[t - 1], t), bucket);
  bucket->term = term;
}

namespace {

// A clock behind the stored history is said once: how far the newest slot was ahead of the first record that
// stepped a ring back.
void say_ahead(Writer* w, u32 seconds) {
  w->stepped = bump(w->stepped);
  if (w->ahead_said) return;
  w->ahead_said = 1;
  u8 digits[fmt::dec_size];
  mem::Slice number = fmt::dec(seconds, digits);
  os::write_err(mem::lit("vimbrel: the newest stored history is "));
  os::write_err(mem::Bytes(number.ptr, number.len));
  os::write_err(mem::lit(" s ahead of this computer's clock; new history is stored at this computer's time, and the "
                         "history ahead is kept\n"));
}

}  // namespace

u32 append(Writer* w, u32 ring, store::Bucket* bucket) {
  Ring* r = &w->ring[ring];
  const store::Place before = r->at;
  // A little behind the newest slot, the record is raised to keep the order; far behind (the clock stepped back, or
  // the history was written by a clock that ran ahead), it is stored at its own time and the ring steps back.
  store::Placed p = store::place(before, bucket->slot, ring);
  bucket->slot = p.slot;
  u8 record[store::bucket_bytes];
  u32 code = spaced(w, fs::io_write_at(r->file, store::record_at(ring, before.next), encoded(bucket, record)));
  if (code == ok) {
    r->at = p.after;
    code = write_head(w, ring);
    if (code != ok) r->at = before;
  }
  if (code != ok) {
    w->write_failures = bump(w->write_failures);
    return code;
  }
  if (p.back) say_ahead(w, before.last_slot - p.slot);
  w->appended = bump(w->appended);
  return ok;
}

u32 rewrite_last(Writer* w, u32 ring, store::Bucket* bucket) {
  Ring* r = &w->ring[ring];
  bucket->slot = r->at.last_slot;
  u8 record[store::bucket_bytes];
  u64 at = store::record_at(ring, store::prev_index(r->at.next, ring));
  u32 code = spaced(w, fs::io_write_at(r->file, at, encoded(bucket, record)));
  if (code != ok) {
    w->write_failures = bump(w->write_failures);
    return code;
  }
  w->rewritten = bump(w->rewritten);
  return ok;
}

u32 load_head(u64 file, u32 type, u32 latest, store::Place* at, u32* state) {
  u8 bytes[store::head_bytes];
  u64 count = 0;
  // A head that cannot be read at all is not taken for a bad one: rebuilding it would start the ring over.
  if (fs::io_read_at(file, 0, mem::Slice{bytes, sizeof bytes}, &count) != fs::io_ok) return failed;
  auth::KeyState key;
  local_key(&key);
  store::RingHead head;
  if (count != sizeof bytes || !store::decode_head(&key, mem::Bytes(bytes, sizeof bytes), &head) ||
      head.type != type) {
    return rebuild_head(file, type, latest, at, state);
  }
  *at = store::place_of(head);
  *state = head_accepted;
  // Records written after the head: a writer that ended before the head's turn came.
  for (u32 k = 0; k < adopt_max; ++k) {
    u8 record[store::bucket_bytes];
    mem::Bytes r(record, sizeof record);
    if (!read_record(file, type, at->next, record) || store::bucket_term(r, 0) == 0 ||
        store::bucket_time(r, 0) <= at->last_slot || store::bucket_time(r, 0) > latest) {
      break;
    }
    *at = store::place(*at, store::bucket_time(r, 0), type).after;
    *state = head_adopted;
  }
  return ok;
}

namespace {

// What a pass over the records found: their count, the last index used by a ring that never went round, the
// newest record not beyond latest, and where the slots went down.
struct Survey {
  u32 count, last_used, contiguous, plausible, newest, newest_slot, newest_term;
  store::Downs downs;
};

// Calls each (index, slot, term) of the records from index first on, all the way round, for records with a term.
template <typename F>
void walk(u64 file, u32 type, u32 first, F each) {
  u32 capacity = store::capacity(type);
  u8 chunk[chunk_records * store::bucket_bytes];
  for (u32 done = 0; done < capacity;) {
    u32 at = (first + done) % capacity;
    u32 want = bits::min32(chunk_records, bits::min32(capacity - done, capacity - at));
    u64 got = 0;
    if (fs::io_read_at(file, store::record_at(type, at), mem::Slice{chunk, u64{want} * store::bucket_bytes}, &got) !=
        fs::io_ok) {
      return;
    }
    mem::Bytes records(chunk, got);
    for (u32 i = 0; i < got / store::bucket_bytes; ++i) {
      u32 t = store::bucket_term(records, u64{i} * store::bucket_bytes);
      if (t != 0) each(at + i, store::bucket_time(records, u64{i} * store::bucket_bytes), t);
    }
    // A short file reads as empty records from its end up to the capacity.
    done += want;
  }
}

}  // namespace

u32 rebuild_head(u64 file, u32 type, u32 latest, store::Place* at, u32* state) {
  const u32 capacity = store::capacity(type);
  Survey v{};
  v.contiguous = 1;
  walk(file, type, 0, [&](u32 index, u32 slot, u32 t) {
    if (index != v.count) v.contiguous = 0;  // an empty record before this one
    store::take_down(&v.downs, index, slot, t, v.count == 0);
    ++v.count;
    v.last_used = index;
    if (slot > latest) return;
    if (v.plausible == 0 || slot > v.newest_slot || (slot == v.newest_slot && t >= v.newest_term)) {
      v.newest = index;
      v.newest_slot = slot;
      v.newest_term = t;
      v.downs.after_newest = store::no_break;
    }
    ++v.plausible;
  });
  *at = store::Place{};
  *state = v.count == 0 ? head_empty : head_rebuilt;
  if (v.count == 0) return ok;
  // A ring that never went round ends at its last record, whatever its slot; a full one where it was last written,
  // as its slots tell, so records stamped ahead stay and the oldest is overwritten first; else the write position
  // follows the newest plausible record.
  bool unwrapped = v.contiguous && v.count < capacity;
  u32 newest = unwrapped || v.plausible == 0 ? v.last_used : v.newest;
  if (v.count == capacity) {
    // latest is a day past the clock.
    u32 wall = latest > 86400 ? latest - 86400 : 0;
    store::Newest n{v.plausible, v.newest, v.newest_slot};
    store::Break b = store::last_written(v.downs, n, type, hstore::interval(type), wall);
    if (b.at != store::no_index) newest = store::prev_index(b.at, type);
  }
  at->next = store::next_index(newest, type);
  at->filled = bits::min32(v.count, capacity);
  // The runs, in write order from the oldest: every place where the slots go down begins one.
  u32 prev = 0, seen = 0;
  walk(file, type, at->next, [&](u32 index, u32 slot, u32) {
    if (seen++ > 0 && slot < prev) {
      at->mixed |= at->older != 0 ? 1 : 0;  // a third run: the first is no longer named
      at->older = at->step;
      at->step = index + 1;
    }
    prev = slot;
    if (index == newest) at->last_slot = slot;
  });
  return ok;
}

u32 write_head(Writer* w, u32 ring) {
  const Ring& r = w->ring[ring];
  store::RingHead head;
  store::head_init(&head, ring, term);
  store::head_place(&head, r.at);
  auth::KeyState key;
  local_key(&key);
  u8 bytes[store::head_bytes];
  store::encode_head(&key, &head, mem::Slice{bytes, sizeof bytes});
  return spaced(w, fs::io_write_at(r.file, 0, mem::Bytes(bytes, sizeof bytes)));
}

}  // namespace localhist
