#include "sampling/feed.h"

#include "base/atomic.h"
#include "base/bits.h"
#include "sampling/child.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "shared blocks are little-endian words");

namespace feed {
namespace {

const char prefix_text[] = "Local\\Vimbrel-feed-";
static_assert(sizeof prefix_text - 1 == name_prefix_length);

bool inside(u64 view_size, u64 offset, u64 length) { return offset <= view_size && length <= view_size - offset; }

// The slot's sequence word, read and written whole.
u64* sequence_word(const u8* view, u64 offset) {
  return reinterpret_cast<u64*>(const_cast<u8*>(view) + offset);
}

// A word of the view: read or written whole when aligned, byte by byte otherwise; nothing outside the view.
template <typename T>
T get_word(const u8* view, u64 view_size, u64 offset) {
  if (!view || !inside(view_size, offset, sizeof(T))) return 0;
  if ((offset & (sizeof(T) - 1)) == 0) return atomic::load(reinterpret_cast<const T*>(view + offset));
  T value;
  __builtin_memcpy(&value, view + offset, sizeof(T));
  return value;
}

template <typename T>
bool put_word(u8* view, u64 view_size, u64 offset, T value) {
  if (!view || !inside(view_size, offset, sizeof(T))) return false;
  if ((offset & (sizeof(T) - 1)) == 0) {
    atomic::store(reinterpret_cast<T*>(view + offset), value);
  } else {
    __builtin_memcpy(view + offset, &value, sizeof(T));
  }
  return true;
}

}  // namespace

mem::Bytes name_prefix() { return mem::lit(prefix_text); }

u64 name_make(os::RandomSource source, u8* buffer64) {
  u8 random[16];
  if (!source(mem::Slice{random, sizeof random})) return 0;
  const char digits[] = "0123456789abcdef";
  __builtin_memcpy(buffer64, prefix_text, name_prefix_length);
  for (u32 i = 0; i < 16; ++i) {
    buffer64[name_prefix_length + 2 * i] = static_cast<u8>(digits[random[i] >> 4]);
    buffer64[name_prefix_length + 2 * i + 1] = static_cast<u8>(digits[random[i] & 15]);
  }
  return name_length;
}

bool name_ok(mem::Bytes name) {
  if (name.len != name_length || !mem::eq(mem::Bytes(name.ptr, name_prefix_length), name_prefix())) return false;
  for (u64 i = name_prefix_length; i < name.len; ++i) {
    u8 c = name.ptr[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

u32 slot_stride(u32 record_size) { return static_cast<u32>((u64{record_size} + 71) / 64 * 64); }

u64 slot_offset(const Region& region, u32 n) {
  if (n == 0 || region.slots == 0) return region.first;
  return region.first + u64{region.stride} * ((n - 1) % region.slots);
}

bool slot_fits(u64 view_size, const Region& region, u32 n, u64 record_size) {
  if (n == 0 || region.slots == 0 || record_size != region.record_size) return false;
  u64 at = slot_offset(region, n);
  // The sequence word is read whole, so it must be aligned.
  return (at & 7) == 0 && inside(view_size, at, 8 + record_size);
}

u32 first_unread(u32 last, u32 newest, u32 slots) {
  // With a single slot the newest frame is still worth a try: the sequence word tells whether the copy held.
  u64 back = bits::min64(newest, slots > 1 ? slots - 1 : 1);
  return static_cast<u32>(bits::max64(u64{last} + 1, u64{newest} - back + 1));
}

u32 get32(const u8* view, u64 view_size, u64 offset) { return get_word<u32>(view, view_size, offset); }
bool put32(u8* view, u64 view_size, u64 offset, u32 value) { return put_word(view, view_size, offset, value); }
u64 get64(const u8* view, u64 view_size, u64 offset) { return get_word<u64>(view, view_size, offset); }
bool put64(u8* view, u64 view_size, u64 offset, u64 value) { return put_word(view, view_size, offset, value); }

bool slot_write(u8* view, u64 view_size, const Region& region, u32 n, mem::Bytes record) {
  if (!view || !slot_fits(view_size, region, n, record.len)) return false;
  u64 at = slot_offset(region, n);
  atomic::store(sequence_word(view, at), 2 * u64{n} - 1);
  os::fence();
  __builtin_memcpy(view + at + 8, record.ptr, record.len);
  os::fence();
  atomic::store(sequence_word(view, at), 2 * u64{n});
  os::fence();
  return true;
}

bool slot_read(const u8* view, u64 view_size, const Region& region, u32 n, mem::Slice record) {
  if (!view || !slot_fits(view_size, region, n, record.len)) return false;
  u64 at = slot_offset(region, n);
  u64 before = atomic::load(sequence_word(view, at));
  os::fence();
  __builtin_memcpy(record.ptr, view + at + 8, record.len);
  os::fence();
  u64 after = atomic::load(sequence_word(view, at));
  return read_agrees(before, after, n);
}

bool publish_seq(u8* view, u64 view_size, u64 offset, u32 n) {
  os::fence();
  bool written = put32(view, view_size, offset, n);
  os::fence();
  return written;
}

bool frame_put(u8* view, u64 view_size, const Region& region, u64 published_at, u32 n, mem::Bytes record) {
  return slot_write(view, view_size, region, n, record) && publish_seq(view, view_size, published_at, n);
}

// ---- The feed block.

Layout layout_of(u32 usage_size, u32 hardware_size, u32 table_size) {
  Layout l;
  l.usage = Region{header_bytes, slot_stride(usage_size), 4, usage_size};
  l.hardware = Region{l.usage.first + 4 * l.usage.stride, slot_stride(hardware_size), 2, hardware_size};
  l.table = Region{l.hardware.first + 2 * l.hardware.stride, slot_stride(table_size), 2, table_size};
  l.size = l.table.first + 2 * l.table.stride;
  return l;
}

void layout_init(Layout* layout) {
  *layout = layout_of(sizeof(UsageFrame), sizeof(HardwareFrame), sizeof(model::ProcTable));
}

void header_init(u8* view, u64 view_size, const Layout& layout, u32 parent_pid) {
  if (!view) return;
  __builtin_memset(view, 0, bits::min64(view_size, layout.size));
  put32(view, view_size, magic_at, magic);
  put32(view, view_size, version_at, feed_version);
  put32(view, view_size, size_at, layout.size);
  put32(view, view_size, parent_pid_at, parent_pid);
  put32(view, view_size, state_at, state_starting);
  put32(view, view_size, usage_request_at, 1);
  put32(view, view_size, usage_size_at, layout.usage.record_size);
  put32(view, view_size, hardware_size_at, layout.hardware.record_size);
  put32(view, view_size, table_size_at, layout.table.record_size);
}

bool header_ok(const u8* view, u64 view_size, const Layout& layout) {
  return view && view_size >= layout.size && get32(view, view_size, magic_at) == magic &&
         get32(view, view_size, version_at) == feed_version && get32(view, view_size, size_at) == layout.size;
}

bool header_matches(const u8* view, u64 view_size, const Layout& layout) {
  return header_ok(view, view_size, layout) &&
         get32(view, view_size, usage_size_at) == layout.usage.record_size &&
         get32(view, view_size, hardware_size_at) == layout.hardware.record_size &&
         get32(view, view_size, table_size_at) == layout.table.record_size;
}

// ---- Reader checks.

bool bytes_ok(const u8* bytes, u32 n, u32 limit) {
  for (u32 i = 0; i < n; ++i)
    if (bytes[i] > limit) return false;
  return true;
}

bool percents_ok(const u16* values, u32 n) { return all_below(values, n, 10001); }

bool all_below(const u16* values, u32 n, u32 bound) {
  for (u32 i = 0; i < n; ++i)
    if (values[i] >= bound) return false;
  return true;
}

bool usage_ok(const usage::Usage* u) {
  if (u->cpus > usage::max_cpus || u->disks > usage::max_disks || u->nics > usage::max_nics ||
      u->gpus > usage::max_gpus || u->names > usage::name_slots)
    return false;
  if (u->kernel > 10000 || u->interrupt > 10000 || u->power_flags >= 64) return false;
  if (!bytes_ok(u->core_kernel, usage::max_cpus, 200) || !bytes_ok(u->disk_level, usage::max_disks, 200)) return false;
  if (!bytes_ok(u->gpu_classes, usage::max_gpus, 63)) return false;
  if (!percents_ok(&u->gpu_class[0][0], usage::max_gpus * gpu::classes)) return false;
  return all_below(u->volume_label, usage::letters, usage::name_slots) &&
         all_below(u->disk_name, usage::max_disks, usage::name_slots) &&
         all_below(u->nic_name, usage::max_nics, usage::name_slots) &&
         all_below(u->gpu_name, usage::max_gpus, usage::name_slots) && heat::ok(&u->temps);
}

bool extra_ok(const ring::Row* row) {
  return row->load <= 10000 && row->kernel <= 10000 && percents_ok(row->gpu_load, 4) && row->power_flags < 64 &&
         bytes_ok(row->core_load, 64, 200) && bytes_ok(row->core_kernel, 64, 200) &&
         bytes_ok(row->disk_busy, 16, 200) && bytes_ok(&row->gpu_engines[0][0], 20, 200);
}

bool usage_frame_ok(const UsageFrame* frame) { return usage_ok(&frame->usage) && extra_ok(&frame->row); }

bool hardware_frame_ok(const HardwareFrame* frame) {
  const hw::Hardware& h = frame->hardware;
  if (h.vendor >= 4 || h.memory.kind >= 8 || h.memory.form >= 4 || frame->adapters.count > hw::max_adapters)
    return false;
  for (u32 i = 0; i < hw::max_adapters; ++i)
    if (frame->adapters.ipv4_count[i] > hw::max_addresses || frame->adapters.ipv6_count[i] > hw::max_addresses)
      return false;
  return true;
}

bool table_frame_ok(const model::ProcTable* t) {
  const u32 rows = model::rows;
  if (t->count > rows || t->free_count > rows || t->retired > rows || t->take_pos >= rows || t->return_pos >= rows)
    return false;
  for (u32 i = 0; i < rows; ++i) {
    if (t->slot[i] >= rows || t->row_of[i] >= rows || t->free_ring[i] >= rows) return false;
    if (t->cpu[i] > 10000 || t->gpu[i] > 10000) return false;
  }
  bool empty = false;
  for (u32 i = 0; i < model::hash_size; ++i) {
    u64 row = t->hash[i] >> 32;
    if (t->hash[i] == 0) {
      empty = true;
    } else if (row < 1 || row > rows) {
      return false;
    }
  }
  // A hash without an empty entry would make every probe for a missing pid run forever.
  return empty;
}

// ---- The collector child.

namespace {

template <typename T>
T* carve(mem::Arena* arena) {
  return reinterpret_cast<T*>(mem::alloc(arena, sizeof(T), 64).ptr);
}

u8* view_of(const Child* c) { return c->section->view; }
u64 size_of(const Child* c) { return c->section->view_size; }
u32 word(const Child* c, u64 at) { return get32(view_of(c), size_of(c), at); }
void put(Child* c, u64 at, u32 value) { put32(view_of(c), size_of(c), at, value); }
void beat(Child* c) { put(c, heartbeat_at, word(c, heartbeat_at) + 1); }

}  // namespace

bool child_init(Child* c, child::Section* section) {
  c->section = section;
  layout_init(&c->layout);
  if (!header_matches(section->view, section->view_size, c->layout)) return false;
  c->collector = carve<collect::State>(&c->arena);
  c->sample = carve<collect::Sample>(&c->arena);
  c->procs = carve<collect::ProcSample>(&c->arena);
  c->walk = carve<usage::ProcWalk>(&c->arena);
  c->table = carve<model::ProcTable>(&c->arena);
  c->counters = carve<usage::ProcCounters>(&c->arena);
  c->usage = carve<UsageFrame>(&c->arena);
  c->hardware = carve<HardwareFrame>(&c->arena);
  if (!c->collector || !c->sample || !c->procs || !c->walk || !c->table || !c->counters || !c->usage ||
      !c->hardware)
    return false;
  collect::procs_reset(c->procs);
  usage::reset(&c->rates);
  c->proc_rates = usage::ProcRateState{};
  model::table_init(c->table);
  return true;
}

bool child_start(Child* c, u64 now) {
  beat(c);
  bool opened = collect::open(c->collector, 10000);
  bool sampled = opened && collect::sample(c->collector, c->sample);
  beat(c);
  if (opened && !sampled) collect::close(c->collector);
  if (!sampled) {
    put(c, state_at, state_failed);
    return false;
  }
  c->collector_open = 1;
  put_usage(c);
  c->last_sample_ms = now;
  put(c, state_at, state_running);
  return true;
}

u32 child_step(Child* c, u64 now) {
  u32 end = child::round(c->section, c->parent);
  if (end != 0) return end;
  if (c->usage_count < word(c, usage_request_at) && now >= c->last_sample_ms + 250) {
    c->last_sample_ms = now;
    // A failed sample publishes nothing; the next round tries again once 250 ms have passed.
    if (collect::sample(c->collector, c->sample)) put_usage(c);
  }
  if (procs_due(c, now)) put_procs(c, now);
  return 0;
}

void child_close(Child* c) {
  if (c->collector_open) collect::close(c->collector);
  c->collector_open = 0;
  if (c->procs) collect::buffer_fit(&c->procs->buffer, 0);
  put(c, state_at, state_stopped);
}

void put_usage(Child* c) {
  UsageFrame* f = c->usage;
  __builtin_memset(f, 0, sizeof *f);
  usage::system(&c->rates, c->sample, &f->usage, &f->row);
  collect::temps(c->collector, &f->usage.temps, f->usage.gpu_id, f->usage.gpus, f->usage.disk_number,
                 f->usage.disks);
  f->performance = c->collector->performance;
  u32 changes = c->collector->hardware.changes;
  if (c->hardware_count == 0 || changes != c->hardware_changes) put_hardware(c, changes);
  ++c->usage_count;
  frame_put(view_of(c), size_of(c), c->layout.usage, usage_published_at, c->usage_count,
            mem::Bytes(reinterpret_cast<const u8*>(f), sizeof *f));
}

void put_hardware(Child* c, u32 changes) {
  HardwareFrame* f = c->hardware;
  __builtin_memset(f, 0, sizeof *f);
  collect::hardware(c->collector, &f->hardware, &f->adapters);
  f->changes = changes;
  ++c->hardware_count;
  c->hardware_changes = changes;
  frame_put(view_of(c), size_of(c), c->layout.hardware, hardware_published_at, c->hardware_count,
            mem::Bytes(reinterpret_cast<const u8*>(f), sizeof *f));
}

bool procs_stale(const Child* c, u64 now) { return !c->tables_taken || now >= c->last_table_ms + 5000; }

bool procs_due(const Child* c, u64 now) {
  u32 ahead = word(c, table_request_at) - c->table_count;
  return (ahead == 1 || ahead == 2) && (procs_stale(c, now) || now >= c->last_table_ms + 1000);
}

u32 next_wait(const Child* c, u64 now) {
  u64 wait = idle_wait_ms;
  auto until = [&](u64 due) {
    u64 left = due > now ? due - now : 0;
    if (left < wait) wait = left;
  };
  if (c->usage_count < word(c, usage_request_at)) until(c->last_sample_ms + 250);
  u32 ahead = word(c, table_request_at) - c->table_count;
  if (ahead == 1 || ahead == 2) until(procs_stale(c, now) ? now : c->last_table_ms + 1000);
  return static_cast<u32>(wait);
}

void put_procs(Child* c, u64 now) {
  bool restart = procs_stale(c, now);
  // Without a recent table the deltas would span an unknown time: new rows start without them.
  if (restart) c->proc_rates = usage::ProcRateState{};
  c->last_table_ms = now;
  c->tables_taken = 1;
  collect::sample_procs(c->collector, c->procs);
  usage::procs(&c->proc_rates, c->procs, &c->sample->gpu, &c->sample->gpu_adapters, c->walk, c->table,
               c->counters);
  ++c->table_count;
  if (restart) put(c, epoch_at, c->table_count);
  frame_put(view_of(c), size_of(c), c->layout.table, table_published_at, c->table_count,
            mem::Bytes(reinterpret_cast<const u8*>(c->table), sizeof *c->table));
}

u32 main(mem::Bytes section_name) {
  child::Section section;
  if (!child::open_section(section_name, &section)) return exit_block;
  Child c;
  __builtin_memset(&c, 0, sizeof c);
  if (!mem::arena_init(&c.arena, child_arena_bytes) || !child_init(&c, &section)) {
    mem::release(&c.arena);
    child::unmap(&section);
    return exit_block;
  }
  c.parent = child::open_parent(word(&c, parent_pid_at));
  if (c.parent == 0) {
    // A parent that cannot be watched may be gone already; the child would then never learn that it must end.
    child::unmap(&section);
    mem::release(&c.arena);
    return exit_block;
  }
  put(&c, child_pid_at, os::process_id());
  u32 code = exit_done;
  if (!child_start(&c, os::feed_clock_ms())) {
    code = exit_collector;
  } else {
    // A parent that made no request event is served by looking at its words every round.
    const bool asked_by_event = child::open_requests(&section);
    do {
      child::wait_request(&section, asked_by_event ? next_wait(&c, os::feed_clock_ms()) : round_ms);
    } while (child_step(&c, os::feed_clock_ms()) == 0);
    child_close(&c);
  }
  child::close_handle(c.parent);
  child::unmap(&section);
  mem::release(&c.arena);
  return code;
}
bool is_option(mem::Bytes word) { return mem::eq(word, mem::lit("--collector")); }

}  // namespace feed
