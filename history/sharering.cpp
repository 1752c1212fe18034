#include "history/sharering.h"

#include "base/bits.h"
#include "history/ptop.h"
#include "history/sharefile.h"

namespace share {

// ---- The machine table and ring writing.

i32 find_machine(const Share* s, const u8* id) {
  for (u32 i = 0; i < s->count; ++i) {
    if (same_id(s->ids[i], id)) return static_cast<i32>(i);
  }
  return -1;
}

i32 add_machine(Share* s, const u8* id, mem::Bytes name, u32 now) {
  i32 found = find_machine(s, id);
  if (found >= 0) return found;
  if (s->count >= machines || !may_write(s, now) || !(s->flags & set_up)) return -1;
  u32 i = s->count;
  __builtin_memcpy(s->ids[i], id, 16);
  zero(s->names[i], 32);
  __builtin_memcpy(s->names[i], name.ptr, bits::min64(name.len, 32));
  s->inventory_written &= ~(u64{1} << i);
  s->buckets_queued[i] = Queue{};
  s->energy_queued[i] = Queue{};
  if (open_rings(s, i, false) != done) {
    for (u32 t = 0; t < ring_types; ++t) fs::io_close(&s->rings[handle_of(i, t)]);
    return -1;
  }
  s->count = i + 1;
  if (s->flags & complete) write_registry(s, now);
  return static_cast<i32>(i);
}

u32 open_rings(Share* s, u32 index, bool no_heads) {
  store::Path folder = machine_folder(s, s->term, s->ids[index]);
  u32 r = make_folder(s, folder);
  if (r != done) return r;
  u32 last = done;
  for (u32 t = 0; t < ring_types; ++t) {
    u32 h = handle_of(index, t);
    s->counters[h] = RingCounters{};
    fs::io_close(&s->rings[h]);
    store::Path p = folder;
    store::path_join(&p, store::ring_name(t));
    r = p.overflow ? refused : noted(s, fs::io_open_rw(text(p), 1, &s->rings[h]), p);
    // A ring file has its whole length from the start, so that any reader may check it, and its space is reserved:
    // a full disk is met here, once, and never by the records written later.
    if (r == done) r = noted(s, fs::io_grow(s->rings[h], store::ring_bytes(t)), p);
    pause(s);
    if (r == done && !no_heads) r = write_head(s, h);
    if (r != done) last = r;
  }
  if (last == done) s->full = 0;
  return last;
}

u32 write_head(Share* s, u32 h) {
  u32 type = h % ring_types;
  store::RingHead head;
  store::head_init(&head, type, s->term);
  store::head_place(&head, s->counters[h]);
  u8 b[64];
  if (store::encode_head(&s->key, &head, mem::Slice{b, 64}) != 64) return failed;
  u32 r = ring_noted(s, h, fs::io_write_at(s->rings[h], 0, mem::Bytes(b, 64)));
  pause(s);
  return r;
}

u32 append(Share* s, u32 h, u8* record) {
  u32 type = h % ring_types;
  RingCounters old = s->counters[h];
  // A clock far behind the ring's newest slot writes at its own time and the ring steps back; a little behind, the
  // record is raised to keep the order.
  store::Placed p = store::place(old, store::get32(record), type);
  if (!p.back && p.slot != store::get32(record)) count(&s->stats.raised);
  store::put32(record, p.slot);
  store::put32(record + 4, s->term);
  u32 r = ring_noted(s, h, fs::io_write_at(s->rings[h], store::record_at(type, old.next),
                                           mem::Bytes(record, store::record_bytes(type))));
  pause(s);
  if (r != done) return r;
  s->counters[h] = p.after;
  r = write_head(s, h);
  if (r == done && p.back) {
    if (s->stats.stepped == 0) s->stats.ahead = old.last_slot - p.slot;
    count(&s->stats.stepped);
  }
  if (r != done) s->counters[h] = old;
  return r;
}

u32 write_record(Share* s, u32 h, u8* record, bool append_flag) {
  RingCounters c = s->counters[h];
  if (append_flag || c.filled == 0) return append(s, h, record);
  u32 type = h % ring_types;
  store::put32(record, c.last_slot);
  store::put32(record + 4, s->term);
  u32 r = ring_noted(s, h, fs::io_write_at(s->rings[h], store::record_at(type, store::prev_index(c.next, type)),
                                           mem::Bytes(record, store::record_bytes(type))));
  pause(s);
  return r;
}

bool is_carrying(const Share* s, u32 index) { return index < machines && (s->carry.carrying >> index & 1); }

namespace {

template <typename T>
void queue_push(Share* s, T (&q)[queue_size], Queue* at, const T* item) {
  if (at->count == queue_size) {
    at->start = static_cast<u8>((at->start + 1) % queue_size);
    at->count--;
    count(&s->stats.dropped);
  }
  q[(at->start + at->count) % queue_size] = *item;
  at->count++;
}

u32 append_bucket(Share* s, u32 index, u32 tier, const store::Bucket* b, bool append_flag) {
  u8 rec[store::bucket_bytes];
  store::encode_bucket(b, mem::Slice{rec, sizeof rec}, 0);
  return write_record(s, handle_of(index, tier), rec, append_flag);
}

u32 write_energy(Share* s, u32 index, u32 tier, const store::Energy* e) {
  u32 h = handle_of(index, store::ring_e0 + tier);
  u8 rec[store::energy_bytes];
  store::encode_energy(e, mem::Slice{rec, sizeof rec}, 0);
  bool append_flag = tier == 0 || e->slot != s->counters[h].last_slot;
  return write_record(s, h, rec, append_flag);
}

// Writes what was queued for a machine while it was carried, in order.
void flush_queues(Share* s, u32 index) {
  Queue* qb = &s->buckets_queued[index];
  for (u32 i = 0; i < qb->count; ++i) {
    if (append_bucket(s, index, 0, &s->bucket_queue[index][(qb->start + i) % queue_size], true) != done) {
      count(&s->stats.dropped);
    }
  }
  Queue* qe = &s->energy_queued[index];
  for (u32 i = 0; i < qe->count; ++i) {
    if (write_energy(s, index, 0, &s->energy_queue[index][(qe->start + i) % queue_size]) != done) {
      count(&s->stats.dropped);
    }
  }
  *qb = Queue{};
  *qe = Queue{};
}

}  // namespace

u32 put_bucket(Share* s, u32 index, u32 tier, const store::Bucket* bucket, u32 now) {
  u32 r = write_check(s, index, tier < 3, now);
  if (r != done) return r;
  if (is_carrying(s, index)) {
    if (tier == 0) queue_push(s, s->bucket_queue[index], &s->buckets_queued[index], bucket);
    return done;
  }
  return append_bucket(s, index, tier, bucket, true);
}

u32 put_energy(Share* s, u32 index, u32 tier, const store::Energy* energy, u32 now) {
  u32 r = write_check(s, index, tier < 3, now);
  if (r != done) return r;
  if (is_carrying(s, index)) {
    if (tier == 0) queue_push(s, s->energy_queue[index], &s->energy_queued[index], energy);
    return done;
  }
  return write_energy(s, index, tier, energy);
}

u32 put_tier_bucket(Share* s, u32 index, u32 tier, const store::Bucket* bucket, bool append_flag, u32 now) {
  u32 r = write_check(s, index, tier == 1 || tier == 2, now);
  if (r != done || is_carrying(s, index)) return r;
  return append_bucket(s, index, tier, bucket, append_flag);
}

u32 put_top(Share* s, u32 index, u32 tier, const ptop::Row* row, bool append_flag, u32 now) {
  u32 r = write_check(s, index, tier < 3, now);
  if (r != done) return r;
  if (is_carrying(s, index)) {
    count(&s->stats.tops_skipped);
    return done;
  }
  u32 h = handle_of(index, store::ring_p0 + tier);
  u8 rec[store::top_bytes];
  if (ptop::encode(row, mem::Slice{rec, sizeof rec}, 0) != sizeof rec) return failed;
  bool new_slot = store::get32(rec) != s->counters[h].last_slot;
  if (!append_flag && tier != 0 && new_slot) count(&s->stats.tops_appended);
  return write_record(s, h, rec, append_flag || tier == 0 || new_slot);
}

u32 put_names(Share* s, u32 index, const u8* names, u32 n, u32 slot, u32 now) {
  if (index >= s->count || !may_write(s, now) || is_carrying(s, index) || (s->flags & stopped)) return 0;
  u32 h = handle_of(index, store::ring_names);
  u32 written = 0;
  for (; written < bits::min32(n, 8); ++written) {
    u8 rec[store::name_bytes] = {};
    store::put32(rec, slot);
    __builtin_memcpy(rec + 8, names + written * 32, 32);
    if (append(s, h, rec) != done) break;
  }
  return written;
}

namespace {

// The newest record of a ring that was carried over from an older term and holds the slot.
bool read_newest_carried(Share* s, u32 index, u32 type, u32 slot, u8* rec) {
  if (index >= s->count || is_carrying(s, index) || !(s->flags & leased)) return false;
  u32 h = handle_of(index, type);
  RingCounters c = s->counters[h];
  if (c.filled == 0 || c.last_slot != slot) return false;
  u32 bytes = store::record_bytes(type);
  u64 n = 0;
  u32 r = fs::io_read_at(s->rings[h], store::record_at(type, store::prev_index(c.next, type)),
                         mem::Slice{rec, bytes}, &n);
  pause(s);
  if (r != fs::io_ok || n != bytes) return false;
  u32 term = store::get32(rec + 4);
  return store::get32(rec) == slot && term != 0 && term < s->term;
}

}  // namespace

bool read_top(Share* s, u32 index, u32 tier, u32 slot, ptop::Row* out) {
  ptop::clear(out, slot);
  u8 rec[store::top_bytes];
  if (tier < 1 || tier > 2 || !read_newest_carried(s, index, store::ring_p0 + tier, slot, rec)) return false;
  return ptop::decode(mem::Bytes(rec, sizeof rec), 0, out) == sizeof rec;
}

bool read_energy(Share* s, u32 index, u32 tier, u32 slot, store::Energy* out) {
  zero(out, sizeof *out);
  out->slot = slot;
  u8 rec[store::energy_bytes];
  if (tier < 1 || tier > 2 || !read_newest_carried(s, index, store::ring_e0 + tier, slot, rec)) return false;
  return store::decode_energy(mem::Bytes(rec, sizeof rec), 0, out) == 1;
}

namespace {

// Reads the newest k records of a ring, oldest first, into the copy buffer (k x record bytes fit it); false when
// a read came back short.
bool read_newest(Share* s, u32 h, u32 k) {
  u32 type = h % ring_types;
  u32 cap = store::capacity(type), bytes = store::record_bytes(type);
  RingCounters c = s->counters[h];
  u32 first = static_cast<u32>((u64{c.next} + cap - k) % cap);
  u32 got = 0;
  while (got < k) {
    u32 at = (first + got) % cap;
    u32 run = bits::min32(k - got, cap - at);
    u64 n = 0;
    u32 r = fs::io_read_at(s->rings[h], store::record_at(type, at), mem::Slice{s->buffer + u64{got} * bytes,
                           u64{run} * bytes}, &n);
    pause(s);
    count(&s->stats.rollup_reads);
    if (r != fs::io_ok || n != u64{run} * bytes) return false;
    got += run;
  }
  return true;
}

bool in_window(const u8* rec, u32 start, u32 end) {
  u32 slot = store::get32(rec);
  return store::get32(rec + 4) != 0 && slot >= start && slot < end;
}

// Sums tier-0 energy over [start, end) among the newest min(filled, n, 4096) records.
bool sum_energy(Share* s, u32 index, u32 start, u32 end, u32 n, store::Energy* e) {
  u32 h = handle_of(index, store::ring_e0);
  u32 k = bits::min32(bits::min32(s->counters[h].filled, n), copy_bytes / store::energy_bytes);
  if (!read_newest(s, h, k)) return false;
  for (u32 i = 0; i < k; ++i) {
    const u8* rec = s->buffer + i * store::energy_bytes;
    if (!in_window(rec, start, end)) continue;
    store::Energy one;
    store::decode_energy(mem::Bytes(rec, store::energy_bytes), 0, &one);
    u64 sum = u64{e->energy} + one.energy;
    if (sum > 0xFFFFFFFFu || one.energy == 0xFFFFFFFFu || (one.flags & 1)) e->flags |= 1;
    e->energy = sum > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<u32>(sum);
    u32 secs = u32{e->seconds} + one.seconds;
    if (secs > 0xFFFF) e->flags |= 1;
    e->seconds = static_cast<u16>(secs > 0xFFFF ? 0xFFFF : secs);
  }
  return true;
}

}  // namespace

bool sum_buckets(Share* s, u32 index, u32 start, u32 end, u32 n, hstore::BucketSum* sum) {
  u32 h = handle_of(index, store::ring_t0);
  u32 k = bits::min32(bits::min32(s->counters[h].filled, n), copy_bytes / store::bucket_bytes);
  if (!read_newest(s, h, k)) return false;
  for (u32 i = 0; i < k; ++i) {
    const u8* rec = s->buffer + i * store::bucket_bytes;
    if (!in_window(rec, start, end)) continue;
    store::Bucket b;
    store::decode_bucket(mem::Bytes(rec, store::bucket_bytes), 0, &b);
    hstore::part_add(sum, &b);
  }
  return true;
}

bool read_buckets(Share* s, u32 index, u32 tier, u32 slot, hstore::BucketSum* sum) {
  hstore::sum_clear(sum);
  if (index >= s->count || tier < 1 || tier > 2 || is_carrying(s, index) || !(s->flags & leased)) return false;
  RingCounters c = s->counters[handle_of(index, tier)];
  if (c.filled == 0 || c.last_slot != slot) return false;
  u32 interval = hstore::interval(tier);
  return sum_buckets(s, index, slot, slot + interval, interval / 10 * 2 + 8, sum);
}

u32 roll_up(Share* s, u32 index, u32 tier, u32 start, u32 now) {
  u32 r = write_check(s, index, tier == 1 || tier == 2, now);
  if (r != done) return r;
  if (is_carrying(s, index)) return refused;
  u32 interval = hstore::interval(tier);
  u32 end = start + interval, n = interval / 10 * 2 + 8;
  hstore::BucketSum sum;
  hstore::sum_clear(&sum);
  if (!sum_buckets(s, index, start, end, n, &sum)) return failed;
  RingCounters c = s->counters[handle_of(index, tier)];
  bool same = c.filled != 0 && c.last_slot == start;
  bool newer = c.filled == 0 || c.last_slot < start || store::steps_back(start, c.last_slot, tier);
  if (sum.count > 0 && (same || newer)) {
    store::Bucket b;
    hstore::part_bucket(&sum, start, &b);
    if ((r = append_bucket(s, index, tier, &b, !same)) != done) return r;
  }
  store::Energy e{};
  e.slot = start;
  if (!sum_energy(s, index, start, end, n, &e)) return failed;
  if (e.seconds > interval) e.seconds = static_cast<u16>(interval);
  RingCounters ce = s->counters[handle_of(index, store::ring_e0 + tier)];
  bool e_same = ce.filled != 0 && ce.last_slot == start;
  bool e_newer = ce.filled == 0 || ce.last_slot < start || store::steps_back(start, ce.last_slot, store::ring_e0 + tier);
  if (e.seconds == 0 || !(e_same || e_newer)) return done;
  return write_energy(s, index, tier, &e);
}

// ---- Carry-over.

u32 carry_over(Share* s, u32 term, u64 now_ms) {
  store::Registry reg;
  if (read_registry(s, term, &reg) != done) {
    s->flags = (s->flags & ~set_up) | setup_pending;
    return failed;
  }
  s->count = reg.count;
  for (u32 i = 0; i < reg.count; ++i) {
    __builtin_memcpy(s->ids[i], reg.ids[i], 16);
    __builtin_memcpy(s->names[i], reg.names[i], 32);
  }
  s->inventory_written = 0;
  sweep_temporaries(s, term_folder(s, term));
  for (u32 i = 0; i < s->count; ++i) sweep_temporaries(s, machine_folder(s, term, s->ids[i]));
  u32 failure = done;
  for (u32 i = 0; i < s->count; ++i) {
    s->buckets_queued[i] = Queue{};
    s->energy_queued[i] = Queue{};
    u32 r = open_rings(s, i, true);
    if (r != done) {
      failure = r;
      continue;
    }
    store::Path old = machine_folder(s, term, s->ids[i]);
    join(&old, mem::lit("inventory"));
    proto::Inventory inv;
    if (read_whole(s, old, store::inventory_file_bytes) == done &&
        store::decode_inventory_file(&s->key, mem::Bytes(s->buffer, store::inventory_file_bytes), &inv)) {
      write_inventory(s, i, &inv, s->renewed);
    }
  }
  if (failure != done) {
    close_rings(s);
    s->count = 0;
    s->flags = (s->flags & ~set_up) | setup_pending;
    setup_failed(s, lost_folders);
    return failure;
  }
  s->carry = Carry{};
  s->carry.term = term;
  s->carry.carrying = s->count == 64 ? ~u64{0} : (u64{1} << s->count) - 1;
  s->carry.last_ms = now_ms;
  return done;
}

u32 step(Share* s, u32 now, u64 now_ms_arg, u64 deadline_ms) {
  if (!(s->flags & leased)) return refused;
  if (s->flags & complete) return done;
  if (!until_limit(s, now)) return too_late;
  if (!(s->flags & set_up)) {
    // A failing set-up is tried at most once a second, so its 30 tries span half a minute of trouble rather than
    // a few fast loop passes.
    if (s->setup_tried && now_ms_arg < s->setup_ms + 1000) return failed;
    s->setup_tried = 1;
    s->setup_ms = now_ms_arg;
    return setup_term(s, now, now_ms_arg);
  }
  Carry* c = &s->carry;
  u64 elapsed = now_ms_arg > c->last_ms ? now_ms_arg - c->last_ms : 0;
  c->budget = store::budget(c->budget, elapsed);
  c->last_ms = now_ms_arg;
  u64 copied = 0, began = now_ms(s);
  while (c->budget > 0 && copied < (u64{1} << 20) && now_ms(s) < deadline_ms) {
    u64 spent = (now_ms(s) - began + 99) / 100;
    if (u64{now} + spent >= u64{s->renewed} + write_limit) return too_late;
    if (c->machine >= s->count) {
      u32 r = write_registry(s, now);
      if (r != done) return r;
      s->flags |= complete;
      remove_old_terms(s);
      return done;
    }
    u64 len = store::copy_len(c->offset, store::ring_bytes(c->type), c->budget, store::record_bytes(c->type));
    if (len == 0) return done;
    u64 before = c->copied;
    u32 r = copy_chunk(s, len);
    copied += c->copied - before;
    if (r != done) return r;
  }
  return done;
}

namespace {

using store::Break;
using store::no_break;
constexpr u32 none = store::no_index;

void reset_run(Carry* c) {
  c->newest_index = c->newest_slot = c->newest_term = c->plausible = 0;
  c->run = none;
  c->kept = c->last_index = c->first_term = c->drops = 0;
  c->slots = store::Downs{0, 0, 0, 0, no_break, no_break};
  c->drop = no_break;
}

// Takes a record into the file-order survey, whatever its slot.
void survey(Carry* c, u32 index, u32 slot, u32 term) {
  if (term == 0 || term > c->term) return;
  if (c->kept == 0) {
    c->first_term = term;
  } else if (term < c->slots.last_term) {
    c->drops = inc_sat(c->drops);
    c->drop = Break{index, c->slots.last_slot, c->slots.last_term, slot};
  }
  store::take_down(&c->slots, index, slot, term, c->kept == 0);
  c->kept = inc_sat(c->kept);
  c->last_index = index;
}

bool plausible(const Share* s, u32 slot, u32 term) {
  return term != 0 && term <= s->carry.term && slot <= store::latest_time(s->wall);
}

// Takes the records of a chunk into the plausibility run.
void scan_chunk(Share* s, u64 offset, u64 n) {
  Carry* c = &s->carry;
  u32 bytes = store::record_bytes(c->type);
  u64 first = offset < store::head_bytes ? store::head_bytes : offset;
  for (u64 at = first; at + bytes <= offset + n; at += bytes) {
    const u8* rec = s->buffer + (at - offset);
    u32 slot = store::get32(rec), term = store::get32(rec + 4);
    u32 index = static_cast<u32>((at - store::head_bytes) / bytes);
    survey(c, index, slot, term);
    if (!plausible(s, slot, term)) continue;
    bool newer = c->plausible == 0 || slot > c->newest_slot || (slot == c->newest_slot && term > c->newest_term);
    bool equal = c->plausible != 0 && slot == c->newest_slot && term == c->newest_term;
    c->plausible = inc_sat(c->plausible);
    if (newer) {
      c->run = index == 0 ? 1 : none;
    } else if (equal && c->run == index) {
      c->run++;
    }
    if (newer || equal) {
      c->slots.after_newest = no_break;
      c->newest_index = index;
      c->newest_slot = slot;
      c->newest_term = term;
    }
  }
}

// The least time between two records of a ring written one after the other: the interval of its tier; 0 for the
// names, which come any number to a slot.
u32 record_seconds(u32 type) {
  if (type == store::ring_names) return 0;
  u32 tier = type < store::ring_p0 ? type : type < store::ring_names ? type - store::ring_p0 : type - store::ring_e0;
  return hstore::interval(tier);
}

// Where a full ring whose head was lost was written last, going round from its last record to its first too. The
// terms of records never go down in the order they were written, so one place where they do is that position;
// within one term it is found by the slots.
Break last_written(const Carry* c, u32 type, u32 wall) {
  const store::Downs& d = c->slots;
  bool closure_drops = c->first_term < d.last_term;
  u32 drops = c->drops + closure_drops;
  if (drops == 1) return closure_drops ? Break{0, d.last_slot, d.last_term, d.first_slot} : c->drop;
  if (drops > 1) return no_break;
  store::Newest newest{c->plausible, c->newest_index, c->newest_slot};
  return store::last_written(d, newest, type, record_seconds(type), wall);
}

}  // namespace

u32 copy_chunk(Share* s, u64 length) {
  Carry* c = &s->carry;
  u32 h = handle_of(c->machine, c->type);
  if (c->offset == 0) reset_run(c);
  if (!fs::io_is_open(c->source)) {
    store::Path p = ring_path(s, c->term, s->ids[c->machine], c->type);
    u32 r = p.overflow ? fs::io_not_found : fs::io_open_read(text(p), &c->source);
    pause(s);
    if (r == fs::io_not_found) return carry_ring(s, false);
    if (r != fs::io_ok) return code_of(r);
  }
  u64 n = 0;
  u32 r = code_of(fs::io_read_at(c->source, c->offset, mem::Slice{s->buffer, length}, &n));
  pause(s);
  count(&s->stats.carry_reads);
  if (r != done) return r;
  r = code_of(fs::io_write_at(s->rings[h], c->offset, mem::Bytes(s->buffer, n)));
  pause(s);
  if (r != done) return r;
  scan_chunk(s, c->offset, n);
  c->budget -= bits::min64(c->budget, length);
  c->copied += n;
  s->stats.bytes = add_sat(s->stats.bytes, n);
  c->offset += n;
  if (n < length || c->offset >= store::ring_bytes(c->type)) return carry_ring(s, true);
  return done;
}

u32 carry_ring(Share* s, bool copied) {
  Carry* c = &s->carry;
  u32 type = c->type, h = handle_of(c->machine, type), cap = store::capacity(type);
  u32 bytes = store::record_bytes(type);
  u8 b[store::top_bytes];
  u64 n = 0;
  store::RingHead head;
  bool valid = fs::io_read_at(s->rings[h], 0, mem::Slice{b, 64}, &n) == fs::io_ok && n == 64 &&
               store::decode_head(&s->key, mem::Bytes(b, 64), &head) == 1 && head.type == type;
  pause(s);
  RingCounters rc{};
  u32 head_term = 0;
  Break written = copied && c->kept == cap ? last_written(c, type, s->wall) : no_break;
  if (valid) {
    rc = store::place_of(head);
    head_term = head.term;
  } else if (copied && c->kept > 0 && c->last_index + 1 == c->kept && c->kept < cap) {
    // A ring that never went round ends at its last record, whatever its slot: a record stamped ahead stays, and the
    // next record steps back from it. Slots that went down begin a run the head cannot name: the first is mixed.
    count(&s->stats.rebuilt);
    rc.last_slot = c->slots.last_slot;
    head_term = c->slots.last_term;
    rc.next = c->kept;
    rc.filled = c->kept;
    rc.mixed = c->slots.count > 0 ? 1 : 0;
  } else if (written.at != none) {
    // A full ring goes on where it was last written, whatever the slots there, so records stamped ahead stay and the
    // oldest is overwritten first. Slots that go down anywhere else are steps the head cannot name: the first run is
    // mixed.
    count(&s->stats.rebuilt);
    rc.last_slot = written.newest_slot;
    head_term = written.newest_term;
    rc.next = written.at;
    rc.filled = cap;
    const store::Downs& d = c->slots;
    u32 downs = d.count + (d.first_slot < d.last_slot) - (written.oldest_slot < written.newest_slot);
    rc.mixed = downs > 0 ? 1 : 0;
  } else if (copied && c->plausible > 0) {
    count(&s->stats.rebuilt);
    rc.last_slot = c->newest_slot;
    head_term = c->newest_term;
    rc.next = store::next_index(c->newest_index, type);
    if (c->newest_index == cap - 1 && c->run < cap) rc.next = c->run;
    rc.filled = bits::min32(c->plausible, cap);
    rc.mixed = c->slots.count > 1 ? 1 : 0;  // one way down is where the ring went round
  }
  bool rewrite = !valid;
  // Records an older host wrote after its last head write continue the ring: take up to eight of them.
  for (u32 i = 0; copied && i < 8; ++i) {
    u64 at = store::record_at(type, rc.next);
    if (fs::io_read_at(c->source, at, mem::Slice{b, bytes}, &n) != fs::io_ok || n != bytes) break;
    u32 slot = store::get32(b), term = store::get32(b + 4);
    if (term == 0 || term < head_term || term > c->term || slot <= rc.last_slot ||
        slot > store::latest_time(s->wall)) {
      break;
    }
    u32 r = code_of(fs::io_write_at(s->rings[h], at, mem::Bytes(b, bytes)));
    pause(s);
    if (r != done) return r;
    rc = store::place(rc, slot, type).after;  // above the last slot: never a step back
    rewrite = true;
  }
  s->counters[h] = rc;
  if (rewrite) {
    u32 r = write_head(s, h);
    if (r != done) return r;
  }
  fs::io_close(&c->source);
  c->offset = 0;
  if (++c->type < ring_types) return done;
  c->type = 0;
  s->carry.carrying &= ~(u64{1} << c->machine);
  flush_queues(s, c->machine);
  c->machine++;
  return done;
}

u32 remove_old_terms(Share* s) {
  u32 kept = 0, result = done;
  for (u32 i = 0; i < s->older_count; ++i) {
    u32 t = s->older[i];
    if (t < s->carry.term) {
      store::Path p = term_folder(s, t);
      u32 r = p.overflow ? fs::io_failed : fs::delete_tree(text(p));
      pause(s);
      if (r == fs::io_ok) continue;
      result = failed;
    }
    s->older[kept++] = t;
  }
  s->older_count = kept;
  return result;
}

}  // namespace share
