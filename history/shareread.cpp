#include "history/shareread.h"

#include "base/bits.h"
#include "history/hist.h"
#include "history/sharefile.h"

namespace share {
namespace {

constexpr u32 none = 0xFFFFFFFFu;
constexpr u32 probe_work = 2048;

u32 read_cost(u64 bytes) { return bytes > probe_work ? static_cast<u32>(bytes) : probe_work; }

u32 physical(u32 oldest, u32 position, u32 type) { return store::slot_of(oldest, position, type); }

// Starts reading run k of a reader (a share cursor or a folder ring) whose ring holds filled records: a search
// for the range's start within the run, or, for a first run not known to be in order, the whole run.
template <typename R>
void begin_run(R* r, u32 k, u32 filled) {
  r->run = k;
  r->low = r->position = r->starts[k];
  r->high = r->run_end = k + 1 < r->runs ? r->starts[k + 1] : filled;
  r->searching = k == 0 && r->scan ? 0 : 1;
}

template <typename R>
void set_runs(R* r, const store::Place& at, u32 type) {
  store::Runs runs = store::runs_of(at, type);
  for (u32 k = 0; k < 3; ++k) r->starts[k] = runs.start[k];
  r->runs = runs.count;
  r->scan = runs.scan;
  begin_run(r, 0, at.filled);
}

// The run being read is over: the search goes on in the next run, or the range is done.
template <typename R>
void end_run(R* r, u32 filled) {
  if (r->run + 1 >= r->runs || r->starts[r->run + 1] >= filled) {
    r->done = 1;
    return;
  }
  begin_run(r, r->run + 1, filled);
}

// True while the run being read is taken whole and each record filtered by the range.
template <typename R>
bool scanning(const R* r) {
  return r->run == 0 && r->scan;
}

// The host appends between the calls of one answer: when the ring moved on, the positions that counted from the
// oldest record move back with it, so the cursor keeps pointing at the same records instead of newer ones that
// took their place.
void follow(const Share* s, Cursor* c) {
  if (c->done || c->cluster) return;
  RingCounters rc = s->counters[c->handle];
  u32 oldest = store::oldest(rc.next, rc.filled, c->type);
  u32 shift = static_cast<u32>((u64{oldest} + store::modulus(c->type) - c->oldest) % store::modulus(c->type));
  c->oldest = oldest;
  c->filled = rc.filled;
  c->low -= bits::min32(c->low, shift);
  c->high -= bits::min32(c->high, shift);
  c->position -= bits::min32(c->position, shift);
  c->run_end -= bits::min32(c->run_end, shift);
  for (u32& start : c->starts) start -= bits::min32(start, shift);
  if (c->high > c->filled) c->high = c->filled;
  if (c->run_end > c->filled) c->run_end = c->filled;
}

// Sets the cursor on the run that holds the oldest record.
void first_run(Cursor* c, const RingCounters& rc) {
  c->oldest = store::oldest(rc.next, rc.filled, c->type);
  c->filled = rc.filled;
  set_runs(c, rc, c->type);
}

// Whether a record of this slot is taken: in the range, when the run is read whole; else not beyond its end.
template <typename R>
bool takes(const R* r, u32 slot) {
  return slot <= r->end && (!scanning(r) || slot >= r->start);
}

// Reads the next piece of the run being read from file (at most limit records, within the buffer and the ring's
// end) and hands each record the run takes to visit; a record beyond the end ends an ordered run. The records read,
// 0 when the read failed.
template <typename R, typename Visit>
u32 read_piece(R* r, u64 file, u32 type, mem::Slice buffer, u32 limit, Visit visit) {
  u32 at = physical(r->oldest, r->position, type);
  u32 n = bits::min32(bits::min32(r->run_end - r->position, limit), store::capacity(type) - at);
  n = bits::min32(n, static_cast<u32>(buffer.len / store::bucket_bytes));
  u64 want = u64{n} * store::bucket_bytes, got = 0;
  if (n == 0 || fs::io_read_at(file, store::record_at(type, at), mem::Slice{buffer.ptr, want}, &got) != fs::io_ok ||
      got != want) {
    return 0;
  }
  u32 i = 0;
  for (; i < n; ++i) {
    store::Bucket b;
    store::decode_bucket(mem::Bytes(buffer.ptr, got), u64{i} * store::bucket_bytes, &b);
    if (takes(r, b.slot)) {
      visit(b);
    } else if (!scanning(r)) {
      break;
    }
  }
  r->position = i < n ? r->run_end : r->position + n;
  return n;
}

// Records that fit what is left of a budget, at least one.
u32 records_for(u32 budget, u32 work) {
  u32 n = budget > work ? (budget - work) / store::bucket_bytes : 0;
  return n > 0 ? n : 1;
}

}  // namespace

void open_cursor(Share* s, u32 index, u32 type, u32 start, u32 end, Cursor* c) {
  zero(c, sizeof *c);
  bool valid = index < s->count && type < ring_types && (s->flags & leased);
  c->handle = valid ? handle_of(index, type) : 0;
  c->type = valid ? type : 0;
  c->start = start;
  c->end = end;
  if (!valid) {
    c->done = 1;
    return;
  }
  first_run(c, s->counters[c->handle]);
}

void open_reader(Share* s, u32 index, u32 tier, u32 start, u32 end, Cursor* c, hstore::AnswerHead* head) {
  bool valid = index < s->count && tier < 3;
  open_cursor(s, valid ? index : machines, tier, start, end, c);
  zero(head, sizeof *head);
  head->tier = static_cast<u8>(tier);
  if (valid) __builtin_memcpy(head->id, s->ids[index], 16);
}

void open_top_cursor(Share* s, u32 index, u32 tier, u32 start, u32 end, Cursor* c) {
  open_cursor(s, tier < 3 ? index : machines, store::ring_p0 + tier, start, end, c);
}

void open_energy_cursor(Share* s, u32 index, u32 tier, u32 start, u32 end, Cursor* c) {
  open_cursor(s, tier < 3 ? index : machines, store::ring_e0 + tier, start, end, c);
}

void open_cluster_reader(Share* s, u32 tier, u32 start, u32 end, Cursor* c, hstore::AnswerHead* head) {
  zero(c, sizeof *c);
  zero(head, sizeof *head);
  bool valid = tier < 3 && (s->flags & leased);
  c->cluster = 1;
  c->type = valid ? tier : 0;
  c->start = start;
  c->end = end;
  c->interval = hstore::interval(c->type);
  c->count = valid ? s->count : 0;
  c->done = valid ? 0 : 1;
  head->tier = static_cast<u8>(tier);
  head->scope = 1;
}

u32 time_at(Share* s, u32 handle, u32 oldest, u32 position, u32 type) {
  u8 b[8];
  u64 n = 0;
  u32 r = fs::io_read_at(s->rings[handle], store::record_at(type, physical(oldest, position, type)),
                         mem::Slice{b, 8}, &n);
  return r == fs::io_ok && n == 8 ? store::get32(b) : 0;
}

u32 seek_time(Share* s, Cursor* c, u32 budget) {
  u32 work = 0;
  while (!c->done && c->searching && c->low < c->high && work < budget) {
    u32 mid = c->low + (c->high - c->low) / 2;
    if (time_at(s, c->handle, c->oldest, mid, c->type) < c->start) {
      c->low = mid + 1;
    } else {
      c->high = mid;
    }
    work += probe_work;
  }
  if (c->searching && c->low >= c->high) {
    c->position = c->low;
    c->searching = 0;
  }
  return work;
}

bool read_range(Share* s, Cursor* c, Answer* a, u32 budget) {
  if (c->cluster) return read_cluster(s, c, a, budget);
  c->full = 0;
  if (!(s->flags & leased)) c->done = 1;
  follow(s, c);
  u32 work = seek_time(s, c, budget);
  while (!c->done && work < budget) {
    if (c->searching) {
      work += seek_time(s, c, budget - work);
      continue;
    }
    if (c->position >= c->run_end) {
      end_run(c, c->filled);
      continue;
    }
    if (a->head.rows >= max_answer_rows) {
      c->full = 1;
      break;
    }
    u32 limit = bits::min32(max_answer_rows - a->head.rows, records_for(budget, work));
    u32 n = read_piece(c, s->rings[c->handle], c->type, mem::Slice{s->buffer, copy_bytes}, limit,
                       [&](const store::Bucket& b) { a->rows[a->head.rows++] = b; });
    if (n == 0) {
      c->done = 1;
      break;
    }
    work += read_cost(u64{n} * store::bucket_bytes);
  }
  if (!c->done && !c->full && !c->searching && c->position >= c->run_end) end_run(c, c->filled);
  return c->done || c->full;
}

bool read_records(Share* s, Cursor* c, u8* buffer, u32 buffer_bytes, u32* count, u32 budget) {
  *count = 0;
  if (!(s->flags & leased)) c->done = 1;
  follow(s, c);
  u32 work = seek_time(s, c, budget);
  if (!c->done && !c->searching && c->position >= c->run_end) {
    end_run(c, c->filled);
    work += seek_time(s, c, budget > work ? budget - work : 0);
  }
  if (c->done || c->searching) return c->done;
  u32 bytes = store::record_bytes(c->type), at = physical(c->oldest, c->position, c->type);
  u32 left = budget > work ? budget - work : 0;
  u32 n = bits::min32(c->run_end - c->position, store::capacity(c->type) - at);
  n = bits::min32(bits::min32(n, left / bytes > 0 ? left / bytes : 1), buffer_bytes / bytes);
  u64 got = 0;
  if (n == 0 || fs::io_read_at(s->rings[c->handle], store::record_at(c->type, at), mem::Slice{buffer, u64{n} * bytes},
                               &got) != fs::io_ok || got != u64{n} * bytes) {
    c->done = 1;
    return true;
  }
  u32 k = 0;
  if (scanning(c)) {
    // A run read whole: the records in the range move to the front, in the order they came.
    for (u32 i = 0; i < n; ++i) {
      if (!takes(c, store::get32(buffer + i * bytes))) continue;
      if (i != k) __builtin_memmove(buffer + k * bytes, buffer + i * bytes, bytes);
      ++k;
    }
    c->position += n;
  } else {
    while (k < n && store::get32(buffer + k * bytes) <= c->end) ++k;
    c->position = k < n ? c->run_end : c->position + n;
  }
  *count = k;
  if (c->position >= c->run_end) end_run(c, c->filled);
  return c->done;
}

u32 read_names(Share* s, u32 index, u32 first, u8* buffer, u32 buffer_bytes, u32 budget) {
  if (index >= s->count || !(s->flags & leased)) return 0;
  u32 h = handle_of(index, store::ring_names);
  RingCounters rc = s->counters[h];
  if (first >= rc.filled) return 0;
  const u32 type = store::ring_names;
  u32 at = physical(store::oldest(rc.next, rc.filled, type), first, type);
  u32 n = bits::min32(bits::min32(rc.filled - first, store::capacity(type) - at), buffer_bytes / 32);
  n = bits::min32(bits::min32(n, budget / store::name_bytes > 0 ? budget / store::name_bytes : 1),
                  copy_bytes / store::name_bytes);
  u64 got = 0;
  u64 want = u64{n} * store::name_bytes;
  u32 io = n == 0 ? fs::io_failed : fs::io_read_at(s->rings[h], store::record_at(type, at), {s->buffer, want}, &got);
  if (io != fs::io_ok || got != want) return 0;
  // Names come from agents: a byte a viewer would refuse is shown as '?' instead of spoiling the whole answer.
  for (u32 i = 0; i < n; ++i) {
    const u8* from = s->buffer + i * store::name_bytes + 8;
    for (u32 j = 0; j < 32; ++j) {
      u8 ch = from[j];
      buffer[i * 32 + j] = ch == 0 || (ch >= 0x20 && ch < 0x7F) ? ch : '?';
    }
  }
  return n;
}

namespace {

u32 column_of(const Cursor* c, u32 slot) { return slot < c->base ? 0 : (slot - c->base) / c->interval; }

void pick_window(Cursor* c) {
  u32 base = none;
  for (u32 k = 0; k < 3; ++k) {
    for (u32 m = 0; m < c->count; ++m) base = bits::min32(base, c->streams[k][m].slot);
  }
  if (base == none) {
    c->done = 1;
    return;
  }
  c->base = base;
  zero(c->columns, sizeof c->columns);
  c->machine = 0;
  c->machine_columns = 0;
  c->phase = 1;
}

// Positioning: finds each machine's first record at or after the start, a bounded number of probes per call; in a
// ring that stepped back, in each run in turn (pass k for run k). A first run read whole starts at its first record.
u32 position_machine(Share* s, Cursor* c, u32 budget, u32 work) {
  u32 m = c->machine, h = handle_of(m, c->type);
  if (!c->searching) {
    c->handle = h;
    first_run(c, s->counters[h]);
    if (c->pass > 0) begin_run(c, c->pass, c->filled);
  }
  work += seek_time(s, c, budget - work);
  if (c->searching) return work;
  MachineRead r{0, 0, none};
  if (c->position < c->run_end) {
    u32 slot = time_at(s, h, c->oldest, c->position, c->type);
    work += probe_work;
    if (scanning(c) || slot <= c->end) {
      r.index = static_cast<u16>(physical(c->oldest, c->position, c->type));
      r.remaining = static_cast<u16>(c->run_end - c->position);
      r.slot = scanning(c) ? c->start : slot;  // a run read whole may hold the range anywhere
    }
  }
  c->streams[c->pass][m] = r;
  if (c->pass == 0) {
    for (u32 k = 1; k < 3; ++k) c->streams[k][m] = MachineRead{0, 0, none};
    c->whole_first = (c->whole_first & ~(u64{1} << m)) | (u64{c->scan != 0} << m);
  }
  if (c->pass + 1 < c->runs) {
    c->pass++;  // the next run of this ring
    return work;
  }
  c->pass = 0;
  c->machine++;
  if (c->machine >= c->count) pick_window(c);
  return work;
}

void fold_column(Column* col, const store::Bucket* b) {
  col->machines++;
  for (u32 k = 0; k < 6; ++k) {
    col->min[k] += b->min[k];
    col->mean[k] += b->mean[k];
    col->max[k] += b->max[k];
  }
  for (u32 k = 0; k < 2; ++k) col->rate[k] += hstore::rate_of(b->mean[6 + k]);
}

// A machine's bucket counts in a column of the window only when it is the first it has there.
void fold_first(Cursor* c, u32 col, const store::Bucket* b) {
  if (!(c->machine_columns >> col & 1)) fold_column(&c->columns[col], b);
  c->machine_columns |= 1u << col;
}

// A first run whose order is not known is read whole, by the walk of one machine's answer, for each window it has
// records in: what lies in the window is folded, what lies below it was folded in an earlier window, and the least
// slot of the range beyond it is where the machine goes on. Its stream stays at the window's base until the run
// is read. A failed read leaves the machine with nothing more in this run.
u32 scan_whole(Share* s, Cursor* c, MachineRead* r, u32 limit) {
  u32 h = handle_of(c->machine, c->type);
  if (!c->whole_scan) {
    first_run(c, s->counters[h]);
    c->scan = 1;  // read whole even when the ring has become ordered since it was positioned
    begin_run(c, 0, c->filled);
    c->whole_scan = 1;
    c->whole_next = none;
    r->slot = c->base;
  }
  u32 n = 0;
  if (c->position < c->run_end) {
    auto visit = [c](const store::Bucket& b) {
      if (b.slot < c->base) return;
      u32 col = column_of(c, b.slot);
      if (col < 32) {
        fold_first(c, col, &b);
      } else {
        c->whole_next = bits::min32(c->whole_next, b.slot);
      }
    };
    n = read_piece(c, s->rings[h], c->type, mem::Slice{s->buffer, copy_bytes}, limit, visit);
    if (n == 0) {
      r->slot = none;
      c->whole_scan = 0;
    }
  }
  if (c->whole_scan && c->position >= c->run_end) {
    r->slot = c->whole_next;
    c->whole_scan = 0;
  }
  return read_cost(u64{n} * store::bucket_bytes);
}

// Gathering: folds one machine's buckets of the window into their columns, the first bucket of each column only;
// the oldest run first.
u32 gather_machine(Share* s, Cursor* c, u32 left) {
  MachineRead* r = nullptr;
  bool whole = false;
  for (u32 k = 0; k < 3 && r == nullptr; ++k) {
    MachineRead* q = &c->streams[k][c->machine];
    if (q->slot != none && column_of(c, q->slot) < 32) {
      r = q;
      whole = k == 0 && (c->whole_first >> c->machine & 1);
    }
  }
  if (r == nullptr) {
    c->machine++;
    c->machine_columns = 0;
    if (c->machine >= c->count) {
      c->phase = 2;
      c->emit_column = 0;
    }
    return 0;
  }
  if (whole) return scan_whole(s, c, r, records_for(left, 0));
  const u32 cap = store::capacity(c->type);
  u32 k = bits::min32(bits::min32(r->remaining, 32), cap - r->index);
  u64 got = 0;
  u32 io = fs::io_read_at(s->rings[handle_of(c->machine, c->type)], store::record_at(c->type, r->index),
                          mem::Slice{s->buffer, u64{k} * store::bucket_bytes}, &got);
  u32 cost = read_cost(u64{k} * store::bucket_bytes);
  if (k == 0 || io != fs::io_ok || got != u64{k} * store::bucket_bytes) {
    *r = MachineRead{0, 0, none};
    return cost;
  }
  for (u32 i = 0; i < k; ++i) {
    store::Bucket b;
    store::decode_bucket(mem::Bytes(s->buffer, got), u64{i} * store::bucket_bytes, &b);
    r->slot = b.slot > c->end ? none : b.slot;
    if (r->slot == none || column_of(c, r->slot) >= 32) break;
    fold_first(c, column_of(c, b.slot), &b);
    r->index = static_cast<u16>((r->index + 1u) % cap);
    if (--r->remaining == 0) {
      r->slot = none;
      break;
    }
  }
  return cost;
}

u16 mean_of(u64 sum, u32 k) {
  u64 v = (sum + k / 2) / k;
  return static_cast<u16>(v > 0xFFFF ? 0xFFFF : v);
}

// Emitting: one row per column that any machine folded into; the means of the machines for levels, the sum of
// the rates.
void emit_columns(Cursor* c, Answer* a) {
  for (; c->emit_column < 32; ++c->emit_column) {
    const Column* col = &c->columns[c->emit_column];
    if (col->machines == 0) continue;
    if (a->head.rows >= max_answer_rows) {
      c->full = 1;
      return;
    }
    store::Bucket* row = &a->rows[a->head.rows++];
    zero(row, sizeof *row);
    row->slot = c->base + c->emit_column * c->interval;
    for (u32 k = 0; k < 6; ++k) {
      row->min[k] = mean_of(col->min[k], col->machines);
      row->mean[k] = mean_of(col->mean[k], col->machines);
      row->max[k] = mean_of(col->max[k], col->machines);
    }
    for (u32 k = 0; k < 2; ++k) {
      u16 code = hstore::rate_code(bits::min64(col->rate[k], 0xFFFFFFFFu));
      row->min[6 + k] = row->mean[6 + k] = row->max[6 + k] = code;
    }
  }
  pick_window(c);
}

}  // namespace

bool read_cluster(Share* s, Cursor* c, Answer* a, u32 budget) {
  c->full = 0;
  if (!(s->flags & leased)) c->done = 1;
  if (!c->done && c->phase == 0 && c->count == 0) c->done = 1;
  u32 work = 0;
  while (!c->done && !c->full && work < budget) {
    if (c->phase == 0) {
      work = position_machine(s, c, budget, work);
    } else if (c->phase == 1) {
      work += gather_machine(s, c, budget - work);
    } else {
      emit_columns(c, a);
    }
  }
  return c->done || c->full;
}

// ---- The folder ring reader.

bool open_folder_ring(FolderRing* r, mem::Bytes folder, u32 type, const auth::KeyState* key) {
  zero(r, sizeof *r);
  r->done = 1;
  store::Path p;
  store::path_set(&p, folder);
  store::path_join(&p, store::ring_name(type));
  if (p.overflow || type >= ring_types || fs::io_open_read(text(p), &r->file) != fs::io_ok) return false;
  u8 b[65];
  u64 n = 0, size = 0;
  store::RingHead h;
  bool ok = fs::io_size(r->file, &size) == fs::io_ok && size == store::ring_bytes(type) &&
            fs::io_read_at(r->file, 0, mem::Slice{b, 64}, &n) == fs::io_ok && n == 64 &&
            store::decode_head(key, mem::Bytes(b, 64), &h) == 1 && h.type == type;
  if (!ok) {
    fs::io_close(&r->file);
    return false;
  }
  r->head = h;
  r->oldest = store::oldest(h.next, h.filled, type);
  return true;
}

u32 folder_time_at(FolderRing* r, u32 position) {
  u8 b[8];
  u64 n = 0;
  u32 type = r->head.type;
  bool ok = fs::io_read_at(r->file, store::record_at(type, physical(r->oldest, position, type)), mem::Slice{b, 8},
                           &n) == fs::io_ok && n == 8;
  return ok ? store::get32(b) : 0;
}

void folder_range(FolderRing* r, u32 start, u32 end) {
  r->start = start;
  r->end = end;
  set_runs(r, store::place_of(r->head), r->head.type);
  r->done = r->head.filled == 0;
}

bool read_folder_buckets(FolderRing* r, u8* buffer, u32 buffer_bytes, hist::Table* table, u32 budget) {
  u32 work = 0;
  const u32 type = r->head.type;
  while (!r->done && work < budget) {
    if (r->searching) {
      if (r->low < r->high) {
        u32 mid = r->low + (r->high - r->low) / 2;
        if (folder_time_at(r, mid) < r->start) {
          r->low = mid + 1;
        } else {
          r->high = mid;
        }
        work += store::bucket_bytes;
      } else {
        r->position = r->low;
        r->searching = 0;
      }
      continue;
    }
    if (r->position >= r->run_end) {
      end_run(r, r->head.filled);
      continue;
    }
    // hist::fold counts what it folds into the table.
    u32 n = read_piece(r, r->file, type, mem::Slice{buffer, buffer_bytes}, records_for(budget, work),
                       [&](const store::Bucket& b) { hist::fold(table, &b); });
    if (n == 0) {
      r->done = 1;
      break;
    }
    work += n * store::bucket_bytes;
  }
  if (!r->done && !r->searching && r->position >= r->run_end) end_run(r, r->head.filled);
  return r->done;
}

void close_folder_ring(FolderRing* r) {
  fs::io_close(&r->file);
  r->done = 1;
}

}  // namespace share
