#include "sampling/snap.h"

#include "base/bits.h"
#include "base/fmt.h"
#include "platform/fs.h"
#include "platform/net.h"
#include "platform/os.h"
#include "sampling/ntinfo.h"
#include "sampling/print.h"
#include "sampling/usage.h"

namespace snap {
namespace {

using bits::min64;
using collect::ProcSample;
using collect::Sample;

constexpr u64 align = 64;
constexpr char hex_digits[] = "0123456789abcdef";
static_assert(sample_bytes == 146616 && proc_bytes == 12599344 && proc_head_bytes == 16432);
static_assert(file_max == 50983938);

void zero(u8* p, u64 n) {
  if (n) __builtin_memset(p, 0, n);
}

template <typename T>
T* carve(mem::Arena* arena) {
  return reinterpret_cast<T*>(mem::alloc(arena, sizeof(T), align).ptr);
}

u64 used_of(const ProcSample* p) { return min64(collect::procs_used(p), collect::proc_cap); }

// ---- Writing.

// A line being written: the output, and a run of zero bytes not yet written.
struct Line {
  mem::Slice out;
  u64 len;
  u64 run;
  bool full;
};

void put(Line* l, u8 c) {
  if (l->len < l->out.len) {
    l->out.ptr[l->len++] = c;
  } else {
    l->full = true;
  }
}

void put_run(Line* l) {
  if (l->run >= 4) {
    u8 digits[fmt::dec_size];
    put(l, 'z');
    mem::Slice d = fmt::dec(l->run, digits);
    for (u64 i = 0; i < d.len; ++i) put(l, d.ptr[i]);
    put(l, ';');
  } else {
    for (u64 i = 0; i < 2 * l->run; ++i) put(l, '0');
  }
  l->run = 0;
}

void put_bytes(Line* l, mem::Bytes b) {
  for (u64 i = 0; i < b.len && !l->full; ++i) {
    u8 c = b.ptr[i];
    if (c == 0) {
      ++l->run;
      continue;
    }
    if (l->run) put_run(l);
    put(l, static_cast<u8>(hex_digits[c >> 4]));
    put(l, static_cast<u8>(hex_digits[c & 15]));
  }
}

// Ends the line: the written bytes are padded with zeros up to total, then the line feed.
u64 put_end(Line* l, u64 written, u64 total) {
  if (written < total) l->run += total - written;
  put_run(l);
  put(l, '\n');
  return l->full ? 0 : l->len;
}

Line line_at(mem::Slice out, u64 at) {
  Line l{};
  l.out = at <= out.len ? mem::Slice{out.ptr + at, out.len - at} : mem::Slice{nullptr, 0};
  return l;
}

u64 encode_procs(const ProcSample* p, mem::Slice out) {
  Line l = line_at(out, 0);
  u64 used = used_of(p);
  put_bytes(&l, mem::Bytes(reinterpret_cast<const u8*>(&p->head), proc_head_bytes));
  put_bytes(&l, mem::Bytes(p->buffer.data, used));
  return put_end(&l, proc_head_bytes + used, proc_bytes);
}

// ---- Reading.

int hex_value(u8 c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The next line of the text from *pos: the bytes before its line feed, without one CR just before it. False when
// no line feed follows.
bool next_line(mem::Bytes text, u64* pos, mem::Bytes* line) {
  for (u64 i = *pos; i < text.len; ++i) {
    if (text.ptr[i] != '\n') continue;
    u64 end = i > *pos && text.ptr[i - 1] == '\r' ? i - 1 : i;
    *line = mem::Bytes(text.ptr + *pos, end - *pos);
    *pos = i + 1;
    return true;
  }
  return false;
}

bool read_header(mem::Bytes text, u64* pos) {
  mem::Bytes h = header();
  mem::Bytes first;
  if (!next_line(text, pos, &first)) return false;
  return mem::eq(first, mem::Bytes(h.ptr, h.len - 1));
}

bool read_procs(mem::Bytes line, ProcSample* p) {
  collect::buffer_fit(&p->buffer, 0);
  u8* head = reinterpret_cast<u8*>(&p->head);
  if (decode(line, 0, proc_bytes, head, proc_head_bytes) != proc_bytes) return false;
  u64 used = min64(p->head.used, collect::proc_cap);
  if (used == 0) return true;
  collect::buffer_fit(&p->buffer, used);
  if (p->buffer.size != used) return false;
  return decode(line, proc_head_bytes, proc_bytes, p->buffer.data, used) == proc_bytes;
}

// ---- The modes.

void release_all(mem::Arena* arena, WorkSet* work) {
  free_buffers(work);
  mem::release(arena);
}

u32 finish(mem::Arena* arena, WorkSet* work, u32 code) {
  release_all(arena, work);
  return say(code);
}

const mem::Bytes cannot_write = mem::lit("cannot write the snapshot file ");
const mem::Bytes cannot_read = mem::lit("cannot read the snapshot file ");

// Ends a mode whose report did not reach standard output.
u32 finish_output(mem::Arena* arena, WorkSet* work, u32 code, u32 error_class) {
  if (code != output_failed) return finish(arena, work, code);
  release_all(arena, work);
  return say_file(mem::lit("cannot write the report to "), mem::lit("standard output"), error_class);
}

}  // namespace

mem::Bytes header() { return mem::lit("vimbrel-snap 5 146616 12599344\n"); }

mem::Bytes message(u32 code) {
  switch (code) {
    case no_memory: return mem::lit("not enough memory for the snapshot");
    case collector_failed: return mem::lit("the collector failed");
    case unreadable: return mem::lit("the snapshot file cannot be read or does not match this build");
    default: return mem::Bytes();
  }
}

u32 say(u32 code) {
  mem::Bytes text = message(code);
  if (text.len) os::write_line(text);
  return code == ok ? 0 : 1;
}

u32 say_file(mem::Bytes words, mem::Bytes path, u32 error_class) {
  u8 line[512];
  u64 n = 0;
  auto put = [&](mem::Bytes b, bool shown) {
    for (u64 i = 0; i < b.len && n < sizeof line - 1; ++i) {
      u8 c = b.ptr[i];
      line[n++] = shown && (c < 32 || c == 127) ? '?' : c;
    }
  };
  put(mem::lit("vimbrel: "), false);
  put(words, false);
  // A very long path keeps its start and end, where the name is.
  if (path.len > 400) {
    put(mem::Bytes(path.ptr, 200), true);
    put(mem::lit("..."), false);
    put(mem::Bytes(path.ptr + path.len - 197, 197), true);
  } else {
    put(path, true);
  }
  put(mem::lit(": "), false);
  put(fs::class_text(error_class), false);
  line[n++] = '\n';
  os::write_err(mem::Bytes(line, n));
  return 1;
}

bool areas(mem::Arena* arena, WorkSet* work) {
  *work = WorkSet{};
  work->state = carve<collect::State>(arena);
  for (u32 i = 0; i < 2; ++i) work->sample[i] = carve<Sample>(arena);
  for (u32 i = 0; i < 2; ++i) work->procs[i] = carve<ProcSample>(arena);
  return work->state && work->sample[1] && work->procs[1];
}

void free_buffers(WorkSet* work) {
  for (ProcSample* p : work->procs) {
    if (p) collect::buffer_fit(&p->buffer, 0);
  }
}

bool collect_pair(WorkSet* work, bool defer_owners) {
  collect::State* s = work->state;
  if (!collect::open_zeroed(s, refresh_ms)) return false;
  work->owners_deferred = defer_owners && net::defer_owners(s->reader);
  bool good = collect::sample_zeroed(s, work->sample[0]);
  collect::sample_procs(s, work->procs[0]);
  collect::sleep(pair_ms);
  good = collect::sample_zeroed(s, work->sample[1]) && good;
  collect::sample_procs(s, work->procs[1]);
  if (!work->owners_deferred) collect::close(s);
  return good;
}

// Finding the holder of every socket would list every open file of every process whenever one holder cannot be
// looked into; the report shows ten processes.
void count_listed_connections(sysinfo::Reader* reader, model::ProcTable* table) {
  u32 rows[print::ranked_most];
  const u32 n = print::ranked_rows(table, rows);
  for (u32 i = 0; i < n; ++i) {
    table->tcp[rows[i]] = static_cast<u16>(bits::min32(net::held_rows(reader, table->pid[rows[i]]), 0xFFFF));
  }
}

// The report of a pair: the rates start over, so the earlier sample of the pair only primes them.
u32 report(WorkSet* work, mem::Arena* arena, bool live, u32* error_class) {
  *error_class = 0;
  auto* table = carve<model::ProcTable>(arena);
  auto* counters = carve<usage::ProcCounters>(arena);
  auto* walk = carve<usage::ProcWalk>(arena);
  if (!table || !counters || !walk) return no_memory;
  usage::RateState rates;
  usage::Usage record;
  ring::Row row;
  usage::reset(&rates);
  for (const Sample* s : work->sample) usage::system(&rates, s, &record, &row);
  print::Console console;
  const print::Out out = print::console(&console);
  if (live) {
    collect::temps(work->state, &record.temps, record.gpu_id, record.gpus, record.disk_number, record.disks);
  }
  print::system(out, &record, &row);
  if (live) {
    hw::Hardware hardware{};
    hw::Adapters adapters{};
    hw::decode(&work->state->hardware, &hardware, &adapters);
    print::hardware(out, &hardware, &adapters, &record, work->state->performance);
  }
  model::table_init(table);
  usage::ProcRateState proc_rates{};
  for (u32 i = 0; i < 2; ++i) {
    const Sample* s = work->sample[i];
    usage::procs(&proc_rates, work->procs[i], &s->gpu, &s->gpu_adapters, walk, table, counters);
  }
  if (live && work->owners_deferred) count_listed_connections(work->state->reader, table);
  print::procs(out, table);
  *error_class = print::finish(&console);
  return *error_class == 0 ? ok : output_failed;
}

u32 print_main() {
  mem::Arena arena{};
  if (!mem::arena_init(&arena, mode_arena)) return say(no_memory);
  WorkSet work;
  if (!areas(&arena, &work)) return finish(&arena, &work, no_memory);
  const bool collected = collect_pair(&work, true);
  u32 error_class = 0;
  u32 code = collected ? report(&work, &arena, true, &error_class) : collector_failed;
  if (work.owners_deferred) collect::close(work.state);
  if (!collected) return finish(&arena, &work, collector_failed);
  return finish_output(&arena, &work, code, error_class);
}

// The file is begun before the pair is taken, so a path that cannot be written is told at once, not after the
// two seconds of sampling.
u32 record_main(mem::Bytes path) {
  fs::Replacement file;
  u32 error_class = fs::replace_begin(path, 0, &file);
  if (error_class != fs::ok) return say_file(cannot_write, path, error_class);
  mem::Arena arena{};
  if (!mem::arena_init(&arena, mode_arena)) {
    fs::replace_abandon(&file);
    return say(no_memory);
  }
  WorkSet work;
  u32 code = !areas(&arena, &work) ? no_memory : !collect_pair(&work) ? collector_failed : ok;
  if (code != ok) {
    fs::replace_abandon(&file);
    return finish(&arena, &work, code);
  }
  for (u32 i = 0; i < 2; ++i) {
    scrub(work.sample[i]);
    scrub(work.procs[i]);
  }
  mem::Arena text{};
  if (!mem::arena_init(&text, file_bound(used_of(work.procs[0]), used_of(work.procs[1])))) {
    fs::replace_abandon(&file);
    return finish(&arena, &work, no_memory);
  }
  code = save(&text, &work, &file, &error_class);
  mem::release(&text);
  if (code != write_failed) return finish(&arena, &work, code);
  release_all(&arena, &work);
  return say_file(cannot_write, path, error_class);
}

u32 replay_main(mem::Bytes path) {
  fs::File f{};
  u32 error_class = fs::open_sized(path, &f);
  // A file that cannot be opened is told as such, with the reason: it says nothing about the format.
  if (error_class != fs::ok) return say_file(cannot_read, path, error_class);
  u64 size = f.size;
  fs::close(&f);
  // A file longer than any snapshot is refused before memory is reserved for it.
  if (size > file_max) return say(unreadable);
  mem::Arena arena{};
  if (!mem::arena_init(&arena, size + replay_extra)) return say(no_memory);
  WorkSet work;
  if (!areas(&arena, &work)) return finish(&arena, &work, no_memory);
  mem::Slice text{};
  error_class = fs::read_file(path, &arena, &text);
  if (error_class != fs::ok) {
    release_all(&arena, &work);
    return say_file(cannot_read, path, error_class);
  }
  if (!read(text, work.sample[0], work.sample[1], work.procs[0], work.procs[1])) {
    return finish(&arena, &work, unreadable);
  }
  u32 code = report(&work, &arena, false, &error_class);
  return finish_output(&arena, &work, code, error_class);
}

// ---- The file.

void scrub(Sample* sample) {
  u32 rows = sample->nic_rows < collect::max_nics ? sample->nic_rows : collect::max_nics;
  u8* nics = reinterpret_cast<u8*>(sample->nics);
  ntinfo::nic_scrub(mem::Slice{nics, rows * sizeof(sysrec::IfRow)}, rows);
  zero(nics + rows * sizeof(sysrec::IfRow), (collect::max_nics - rows) * sizeof(sysrec::IfRow));
  zero(reinterpret_cast<u8*>(sample->labels), sizeof sample->labels);
}

void scrub(ProcSample* procs) {
  u64 used = used_of(procs);
  collect::Buffer* b = &procs->buffer;
  if (b->data) {
    ntinfo::proc_scrub(mem::Slice{b->data, used}, procs->head.address);
    zero(b->data + used, b->size - used);
  }
  u32 kept = procs->head.tcp_pids < collect::max_tcp_pids ? procs->head.tcp_pids : collect::max_tcp_pids;
  zero(reinterpret_cast<u8*>(procs->head.pids + kept), (collect::max_tcp_pids - kept) * sizeof(u32));
}

u64 file_bound(u64 used_earlier, u64 used_later) {
  return bound_base + 2 * min64(used_earlier, collect::proc_cap) + bound_per_proc +
         2 * min64(used_later, collect::proc_cap) + bound_per_proc;
}

u64 encode(mem::Bytes bytes, u64 total, mem::Slice out) {
  Line l = line_at(out, 0);
  u64 n = min64(bytes.len, total);
  put_bytes(&l, mem::Bytes(bytes.ptr, n));
  return put_end(&l, n, total);
}

u64 write(const Sample* earlier, const Sample* later, const ProcSample* procs_earlier, const ProcSample* procs_later,
          mem::Slice out) {
  mem::Bytes h = header();
  if (out.len < h.len) return 0;
  __builtin_memcpy(out.ptr, h.ptr, h.len);
  u64 at = h.len;
  const Sample* samples[2] = {earlier, later};
  for (const Sample* s : samples) {
    mem::Slice rest = line_at(out, at).out;
    u64 n = encode(mem::Bytes(reinterpret_cast<const u8*>(s), sample_bytes), sample_bytes, rest);
    if (n == 0) return 0;
    at += n;
  }
  const ProcSample* procs[2] = {procs_earlier, procs_later};
  for (const ProcSample* p : procs) {
    u64 n = encode_procs(p, line_at(out, at).out);
    if (n == 0) return 0;
    at += n;
  }
  return at;
}

u32 save(mem::Arena* arena, const WorkSet* work, fs::Replacement* file, u32* error_class) {
  *error_class = fs::ok;
  u64 bound = file_bound(used_of(work->procs[0]), used_of(work->procs[1]));
  mem::Slice out = mem::alloc(arena, bound, 1);
  u64 n = out.ptr ? write(work->sample[0], work->sample[1], work->procs[0], work->procs[1], out) : 0;
  if (n == 0) {
    fs::replace_abandon(file);
    return no_memory;
  }
  *error_class = fs::replace_write(file, mem::Bytes(out.ptr, n));
  if (*error_class == fs::ok) *error_class = fs::replace_commit(file);
  return *error_class == fs::ok ? ok : write_failed;
}

u32 decode(mem::Bytes line, u64 window_start, u64 total, u8* destination, u64 window_len) {
  if (total >= malformed) return malformed;
  u64 window_end = window_start < total ? window_start + min64(window_len, total - window_start) : window_start;
  u64 n = 0;
  u64 i = 0;
  while (i < line.len && line.ptr[i] != '\n') {
    if (line.ptr[i] == 'z') {
      u64 count = 0;
      u64 first = ++i;
      while (i < line.len && line.ptr[i] >= '0' && line.ptr[i] <= '9') {
        count = count * 10 + (line.ptr[i++] - '0');
        if (count > total - n) return malformed;  // the run would pass the total
      }
      if (i == first || i == line.len || line.ptr[i] != ';') return malformed;
      ++i;
      u64 lo = n > window_start ? n : window_start;
      u64 hi = min64(n + count, window_end);
      if (lo < hi) zero(destination + (lo - window_start), hi - lo);
      n += count;
      continue;
    }
    if (n >= total || i + 1 >= line.len) return malformed;
    int high = hex_value(line.ptr[i]);
    int low = hex_value(line.ptr[i + 1]);
    if (high < 0 || low < 0) return malformed;
    if (n >= window_start && n < window_end) destination[n - window_start] = static_cast<u8>(high << 4 | low);
    ++n;
    i += 2;
  }
  return static_cast<u32>(n);
}

bool read(mem::Bytes text, Sample* earlier, Sample* later, ProcSample* procs_earlier, ProcSample* procs_later) {
  u64 pos = 0;
  if (!read_header(text, &pos)) return false;
  Sample* samples[2] = {earlier, later};
  for (Sample* s : samples) {
    mem::Bytes line;
    if (!next_line(text, &pos, &line)) return false;
    if (decode(line, 0, sample_bytes, reinterpret_cast<u8*>(s), sample_bytes) != sample_bytes) return false;
  }
  ProcSample* procs[2] = {procs_earlier, procs_later};
  for (ProcSample* p : procs) {
    mem::Bytes line;
    if (!next_line(text, &pos, &line) || !read_procs(line, p)) return false;
  }
  return pos == text.len;  // nothing may follow the fifth line
}

}  // namespace snap
