#include "sampling/usage.h"

#include "base/bits.h"
#include "sampling/gpu.h"
#include "platform/sysrec.h"

namespace usage {
namespace {

constexpr u64 ticks_per_second = 10000000;
constexpr u64 mib_limit = 1ull << 52;  // bytes whose MiB no longer fit 32 bits

using bits::add_sat64;
// Half-percent steps of a share in hundredths, at most 200.
u8 level_of(u32 hundredths) { return static_cast<u8>(bits::min32((static_cast<u64>(hundredths) + 25) / 50, 200)); }
u64 bit(u32 i) { return bits::bit_mask(i); }

// A counter array of the sample, bounded by its slot.
void items_of(const collect::Sample* s, u32 array, ntinfo::Items* out) {
  const sysrec::CounterSlot& slot = s->counters[array];
  ntinfo::pdh_decode(sysrec::items_of(slot), slot.address, slot.count, out);
}

// The first value of a single-value array; false when the array is missing (no item, or a status above new data).
bool single_value(const collect::Sample* s, u32 array, u64* value) {
  ntinfo::Items items;
  items_of(s, array, &items);
  bool ok = items.count > 0 && items.status[0] <= sysrec::counter_new;
  *value = ok ? items.value[0] : 0;
  return ok;
}

u32 find_key(const ntinfo::Items* items, u32 key) {
  for (u32 k = 0; k < items->count; ++k) {
    if (items->key[k] == key) return k;
  }
  return ntinfo::max_items;
}

// Processor i's deltas against the rate state, which takes the new counters.
struct CpuSums {
  u64 total, idle, busy_kernel, interrupt;
};
void cpu_one(RateState* st, const ntinfo::CpuColumns* c, u32 i, CpuSums* sum, u16* busy, u16* kernel) {
  u64 total = add_sat64(c->kernel[i], c->user[i]);
  u64 busy_kernel = rate::delta(c->kernel[i], c->idle[i]);
  u64 on = st->has_previous;
  u64 d_total = bits::select64(on, rate::delta(total, st->total[i]), 0);
  u64 d_idle = bits::select64(on, rate::delta(c->idle[i], st->idle[i]), 0);
  u64 d_kernel = bits::select64(on, rate::delta(busy_kernel, st->busy_kernel[i]), 0);
  u64 d_interrupt = bits::select64(on, rate::delta(c->interrupt[i], st->interrupt[i]), 0);
  busy[i] = percent_of(rate::delta(d_total, d_idle), d_total);
  kernel[i] = percent_of(d_kernel, d_total);
  st->total[i] = total;
  st->idle[i] = c->idle[i];
  st->busy_kernel[i] = busy_kernel;
  st->interrupt[i] = c->interrupt[i];
  sum->total = add_sat64(sum->total, d_total);
  sum->idle = add_sat64(sum->idle, d_idle);
  sum->busy_kernel = add_sat64(sum->busy_kernel, d_kernel);
  sum->interrupt = add_sat64(sum->interrupt, d_interrupt);
}

void gpu_one(const collect::Sample* s, const gpu::Kept* kept, const gpu::Engines* e, u32 k, Usage* out,
             ring::Row* row) {
  const gpu::Section& sec = s->gpu;
  u32 a = bits::min32(kept->section[k], gpu::adapters_max - 1);
  for (u32 c = 0; c < gpu::classes; ++c) {
    u32 share = bits::min32(e->max[k][c], 10000);
    out->gpu_class[k][c] = static_cast<u16>(share);
    if (c > 0) row->gpu_engines[k][c - 1] = level_of(share);
  }
  u32 peak = gpu::adapter_peak(e, k);
  row->gpu_load[k] = static_cast<u16>(bits::min32(peak, 10000));
  out->gpu_id[k] = sec.luid[a];
  out->gpu_classes[k] = e->mask[k];
  bool over = peak > 10000 || ntinfo::mib_over(sec.dedicated[a]) || ntinfo::mib_over(sec.shared[a]);
  row->gpu_dedicated_mib[k] = ntinfo::mib_of_bytes(sec.dedicated[a]);
  row->gpu_shared_mib[k] = out->gpu_shared_used[k] = ntinfo::mib_of_bytes(sec.shared[a]);
  i32 listed = kept->listed[k];
  mem::Bytes description{};
  if (listed >= 0 && static_cast<u32>(listed) < gpu::listed_max) {
    const gpu::AdapterList& list = s->gpu_adapters;
    over = over || ntinfo::mib_over(list.dedicated[listed]);
    out->gpu_dedicated[k] = ntinfo::mib_of_bytes(list.dedicated[listed]);
    out->gpu_shared_limit[k] = out->memory_total / 2;
    description = mem::Bytes(reinterpret_cast<const u8*>(list.description[listed]), sizeof list.description[listed]);
  }
  out->gpu_name[k] = name_put(out, description, 0);
  out->gpu_saturated |= bits::select64(over, bit(k), 0);
}

u8 power_flags_of(const u16* tenths, u32 valid, u32 battery_alone, u16 total) {
  u32 flags = valid | bits::select32((valid & 8) && battery_alone, power_battery, 0);
  bool high = total == 0xFFFF;
  for (u32 p = 0; p < parts; ++p) high |= tenths[p] == 0xFFFF;
  return static_cast<u8>(flags | bits::select32(high, power_saturated, 0));
}

}  // namespace

void reset(RateState* state) { mem::fill(mem::Slice{reinterpret_cast<u8*>(state), sizeof *state}, 0); }

u32 interval(u32 has_previous, u64 now, u64 previous) {
  return has_previous ? rate::clamp_interval(rate::delta(now, previous)) : 1000;
}

u16 percent_of(u64 part, u64 whole) {
  if (whole == 0) return 0;
  u64 s = (whole >> 48) + 1;
  u64 d = bits::max64(whole / s, 1);
  return static_cast<u16>((bits::min64(part, whole) / s * 10000 + d / 2) / d);
}

namespace {

// The slot for the next name: surplus names share the last one.
u32 next_slot(Usage* out) {
  u32 slot = bits::min32(out->names, name_slots - 1);
  out->names = bits::min32(out->names + 1, name_slots);
  return slot;
}

}  // namespace

u16 name_put(Usage* out, mem::Bytes utf16, u64 offset) {
  u32 slot = next_slot(out);
  ntinfo::name_ascii(utf16, offset, mem::Slice{out->name[slot], name_bytes});
  return static_cast<u16>(slot);
}

u16 name_put_ascii(Usage* out, mem::Bytes text) {
  u32 slot = next_slot(out);
  mem::Slice to{out->name[slot], name_bytes};
  mem::fill(to, 0);
  mem::copy(to, text);
  return static_cast<u16>(slot);
}

void cpu_pass(RateState* st, const collect::Sample* s, Usage* out, ring::Row* row) {
  u64 bytes = bits::min64(s->cpu_bytes, collect::cpu_area);
  ntinfo::CpuColumns columns;
  u32 n = ntinfo::cpu_decode(mem::Bytes(s->cpus, bytes), &columns);
  out->cpus = n;
  out->truncated |= bits::select32(bytes / sizeof(sysrec::CpuEntry) > max_cpus, cut_cpus, 0);
  CpuSums sum{};
  u16 busy[max_cpus] = {}, kernel[max_cpus] = {};
  for (u32 i = 0; i < n; ++i) cpu_one(st, &columns, i, &sum, busy, kernel);
  row->load = percent_of(rate::delta(sum.total, sum.idle), sum.total);
  out->kernel = percent_of(sum.busy_kernel, sum.total);
  out->interrupt = percent_of(sum.interrupt, sum.total);
  row->core_saturated = rate::cores_pass(busy, row->core_load, n);
  rate::cores_pass(kernel, out->core_kernel, n);
}

void memory_pass(const collect::Sample* s, Usage* out, ring::Row* row) {
  const sysrec::MemoryStatus& m = s->memory;
  const sysrec::PerfInfo& p = s->performance;
  out->memory_total = ntinfo::mib_of_bytes(m.total_physical);
  out->memory_available = ntinfo::mib_of_bytes(m.available_physical);
  row->memory_mib = ntinfo::mib_of_bytes(rate::delta(m.total_physical, m.available_physical));
  row->commit_mib = ntinfo::mib_of_pages(p.commit_total, p.page_size);
  out->commit_limit = ntinfo::mib_of_pages(p.commit_limit, p.page_size);
  out->system_cache = ntinfo::mib_of_pages(p.system_cache, p.page_size);
  out->paged_pool = ntinfo::mib_of_pages(p.kernel_paged, p.page_size);
  out->nonpaged_pool = ntinfo::mib_of_pages(p.kernel_nonpaged, p.page_size);
  bool over = ntinfo::mib_over(m.total_physical) || ntinfo::mib_over(m.available_physical) ||
              ntinfo::pages_over(p.commit_total, p.page_size) || ntinfo::pages_over(p.commit_limit, p.page_size) ||
              ntinfo::pages_over(p.system_cache, p.page_size) || ntinfo::pages_over(p.kernel_paged, p.page_size) ||
              ntinfo::pages_over(p.kernel_nonpaged, p.page_size);
  row->processes = rate::sat16(p.process_count);
  row->threads = p.thread_count;
  row->handles = p.handle_count;
  u32 flags = bits::select32(p.process_count > 0xFFFF, processes_over, 0);
  u64 modified = 0, standby = 0;
  if (!single_value(s, 3, &modified)) flags |= modified_missing;
  for (u32 a = 4; a <= 6; ++a) {
    u64 v = 0;
    if (!single_value(s, a, &v)) flags |= standby_missing;
    standby = add_sat64(standby, v);
  }
  over = over || modified >= mib_limit || standby >= mib_limit;
  out->modified = ntinfo::mib_of_bytes(modified);
  out->standby = ntinfo::mib_of_bytes(standby);
  out->flags |= flags | bits::select32(over, memory_saturated, 0);
}

void volumes_pass(const collect::Sample* s, Usage* out) {
  for (u32 l = 0; l < letters; ++l) {
    if (!((s->drive_mask >> l) & 1) || s->drive_flag[l] == 0) continue;
    out->volume_present |= bit(l);
    out->volume_removable |= bits::select64(s->drive_flag[l] == 2, bit(l), 0);
    out->volume_saturated |= bits::select64(s->total[l] >= mib_limit, bit(l), 0);
    out->volume_total[l] = ntinfo::mib_of_bytes(s->total[l]);
    out->volume_free[l] = ntinfo::mib_of_bytes(s->free[l]);
    out->volume_used[l] = ntinfo::mib_of_bytes(rate::delta(s->total[l], s->free[l]));
    mem::Bytes label(reinterpret_cast<const u8*>(s->labels[l]), sizeof s->labels[l]);
    out->volume_label[l] = name_put(out, label, 0);
  }
}

void disks_pass(const collect::Sample* s, Usage* out, ring::Row* row) {
  ntinfo::Items reads, writes, idle;
  items_of(s, 0, &reads);
  items_of(s, 1, &writes);
  items_of(s, 2, &idle);
  // Instances the array held past what could be decoded are disks that were not stored either.
  out->truncated |= bits::select32(reads.listed > ntinfo::max_items, cut_disks, 0);
  u32 n = 0;
  for (u32 k = 0; k < reads.count; ++k) {
    u32 key = reads.key[k];
    if (key == ntinfo::no_key) continue;
    if (n == max_disks) {
      out->truncated |= cut_disks;
      break;
    }
    u32 w = find_key(&writes, key), i = find_key(&idle, key);
    bool missing = w == ntinfo::max_items || i == ntinfo::max_items || reads.status[k] > sysrec::counter_new ||
                   writes.status[w % ntinfo::max_items] > sysrec::counter_new ||
                   idle.status[i % ntinfo::max_items] > sysrec::counter_new;
    u64 read_kib = missing ? 0 : (reads.value[k] + 512) >> 10;
    u64 write_kib = missing ? 0 : (writes.value[w] + 512) >> 10;
    u64 idle_value = missing ? ~0ull : idle.value[i];
    u32 level = idle_value <= 100000 ? static_cast<u32>((100250 - idle_value) / 500) : 0;
    u64 used = 0;
    for (u32 l = 0; l < letters; ++l) used += ((reads.letters[k] >> l) & 1) ? out->volume_used[l] : 0;
    row->disk_read[n] = rate::sat32(read_kib);
    row->disk_write[n] = rate::sat32(write_kib);
    row->disk_figure[n] = rate::sat32(used);
    out->disk_level[n] = static_cast<u8>(bits::min32(level, 200));
    out->disk_number[n] = key;
    out->disk_letters[n] = reads.letters[k];
    out->disk_name[n] = name_put_ascii(out, mem::Bytes(reads.name[k], model::name_end(reads.name[k], 32)));
    out->disk_missing |= bits::select64(missing, bit(n), 0);
    bool over = read_kib > 0xFFFFFFFFull || write_kib > 0xFFFFFFFFull || used > 0xFFFFFFFFull;
    out->disk_saturated |= bits::select64(over, bit(n), 0);
    ++n;
  }
  out->disks = n;
}

void nics_pass(RateState* st, const collect::Sample* s, const rate::Tick* tick, Usage* out, ring::Row* row) {
  ntinfo::Nics nics;
  u32 n = ntinfo::nic_decode(mem::Bytes(reinterpret_cast<const u8*>(s->nics), sizeof s->nics), s->nic_rows, &nics);
  out->nics = n;
  out->truncated |= bits::select32(s->nic_passing > max_nics, cut_nics, 0);
  u32 kept = bits::min32(st->nics, max_nics);
  for (u32 i = 0; i < n; ++i) {
    u32 j = 0;
    while (j < kept && st->nic_id[j] != nics.luid[i]) ++j;
    bool match = st->has_previous && j < kept;
    u64 d_in = match ? rate::delta(nics.received[i], st->received[j]) : 0;
    u64 d_out = match ? rate::delta(nics.sent[i], st->sent[j]) : 0;
    u64 in = rate::apply(tick->io_recip, tick->io_limit, d_in, rate::io_bits);
    u64 sent = rate::apply(tick->io_recip, tick->io_limit, d_out, rate::io_bits);
    row->receive[i] = rate::sat32(in);
    row->send[i] = rate::sat32(sent);
    out->nic_saturated |= bits::select64(in > 0xFFFFFFFFull || sent > 0xFFFFFFFFull, bit(i), 0);
    out->nic_up |= bit(i);
    out->nic_virtual |= bits::select64((nics.virtual_mask >> i) & 1, bit(i), 0);
    out->nic_id[i] = nics.luid[i];
    out->nic_mbps[i] = nics.link_mbps[i];
    out->received[i] = nics.received[i];
    out->sent[i] = nics.sent[i];
    out->nic_name[i] = name_put_ascii(out, mem::Bytes(nics.name[i], model::name_end(nics.name[i], 32)));
  }
  for (u32 i = 0; i < max_nics; ++i) {
    st->nic_id[i] = i < n ? nics.luid[i] : 0;
    st->received[i] = i < n ? nics.received[i] : 0;
    st->sent[i] = i < n ? nics.sent[i] : 0;
  }
  st->nics = n;
}

void gpu_pass(const collect::Sample* s, Usage* out, ring::Row* row) {
  gpu::Kept kept;
  gpu::fold_procs(&s->gpu, &s->gpu_adapters, &kept);
  gpu::Engines engines;
  gpu::fold_engines(&s->gpu, &kept, &engines);
  u32 n = bits::min32(kept.count, max_gpus);
  out->gpus = n;
  out->gpu_flags = s->gpu.flags;
  out->truncated |= bits::select32(kept.overflow || (s->gpu.flags & gpu::adapters_over), cut_gpus, 0);
  for (u32 k = 0; k < n; ++k) gpu_one(s, &kept, &engines, k, out, row);
}

void batteries_pass(const collect::Sample* s, Usage* out) {
  const sysrec::BatteryBlock& b = s->batteries;
  out->batteries = bits::min32(b.batteries, max_batteries);
  out->zones = bits::min32(b.zones, max_zones);
  out->truncated |= bits::select32(b.batteries > max_batteries, cut_batteries, 0);
  out->truncated |= bits::select32(b.zones > max_zones, cut_zones, 0);
  for (u32 i = 0; i < out->batteries; ++i) {
    u32 charge = b.battery[i].charge, state = b.battery[i].state;
    out->flags |= bits::select32(charge > 100, battery_over, 0);
    out->battery_charge[i] = static_cast<u8>(bits::min32(charge, 100));
    state = bits::select32(state < 5, state, 0);
    for (u32 k = 0; k < 3; ++k) out->battery_state[k] |= static_cast<u8>(((state >> k) & 1) << i);
  }
  for (u32 z = 0; z < out->zones; ++z) {
    i32 tenths = b.zone[z].value / 100;
    bool outside = tenths < -32768 || tenths > 32767;
    out->flags |= bits::select32(outside, thermal_over, 0);
    out->zone_number[z] = static_cast<u16>(bits::min32(b.zone[z].number, 0xFFFF));
    out->zone_temp[z] = static_cast<i16>(tenths < -32768 ? -32768 : tenths > 32767 ? 32767 : tenths);
  }
}

bool meter_power(u64 now, u64 previous, u64 wrap, u64 now_stamp, u64 previous_stamp, u32 power_read, u64* mw) {
  *mw = 0;
  // A counter that went back wrapped once at most: by more than its wrap value it was reset (or wrapped twice).
  if (now < previous && previous - now > wrap) return false;
  u64 d = now >= previous ? now - previous : wrap - (previous - now);
  d = bits::min64(d, 1ull << 40);
  if (d == 0 || now_stamp <= previous_stamp) return false;
  u64 factor = power_read == 1 ? 36 : 1;
  *mw = factor * d / bits::max64(now_stamp - previous_stamp, 1);
  return true;
}

u16 meter_units(u64 mw) {
  u64 tenths = (bits::min64(mw, ~0ull - 50) + 50) / 100;
  return static_cast<u16>(bits::min64(bits::max64(tenths, 1), 0xFFFF));
}

void power_pass(RateState* st, const collect::Sample* s, Usage* out, ring::Row* row) {
  u32 valid = 0;
  for (u32 p = 0; p < parts; ++p) {
    u64 mw = 0;
    bool ok = false;
    if ((s->power_flags >> p) & 1) {
      mw = s->power;
      ok = true;
    } else if (st->has_previous && ((s->energy_mask & st->energy_mask) >> p & 1)) {
      ok = meter_power(s->energy[p], st->energy[p], s->wraps[p], s->stamps[p], st->stamps[p], s->power_read, &mw);
    }
    out->power[p] = ok ? meter_units(mw) : 0;
    valid |= ok ? 1u << p : 0;
  }
  u64 sum = static_cast<u64>(out->power[0]) + out->power[1] + out->power[2];
  u16 total = (valid & 8) ? out->power[3] : static_cast<u16>(bits::min64(sum, 0xFFFF));
  u8 flags = power_flags_of(out->power, valid, s->battery_alone, total);
  row->power = total;
  row->power_flags = flags;
  out->power_flags = flags;
  st->energy_mask = s->energy_mask;
  for (u32 p = 0; p < parts; ++p) {
    st->energy[p] = s->energy[p];
    st->stamps[p] = s->stamps[p];
  }
}

void system(RateState* st, const collect::Sample* s, Usage* out, ring::Row* row) {
  mem::fill(mem::Slice{reinterpret_cast<u8*>(out), sizeof *out}, 0);
  mem::fill(mem::Slice{reinterpret_cast<u8*>(row), sizeof *row}, 0);
  if (!st->has_previous) st->first_ms = s->time_ms;
  rate::Tick tick;
  rate::tick_make(ticks_per_second, interval(st->has_previous, s->time_ms, st->previous_ms), 1, &tick);
  out->names = 0;
  name_put(out, mem::Bytes(reinterpret_cast<const u8*>(s->cpu_name), sizeof s->cpu_name), 0);
  cpu_pass(st, s, out, row);
  memory_pass(s, out, row);
  volumes_pass(s, out);
  disks_pass(s, out, row);
  nics_pass(st, s, &tick, out, row);
  gpu_pass(s, out, row);
  batteries_pass(s, out);
  power_pass(st, s, out, row);
  row->seconds = rate::sat32(rate::delta(s->time_ms, st->first_ms) / 1000);
  out->uptime = rate::sat32(s->tick_ms / 1000);
  st->previous_ms = s->time_ms;
  st->has_previous = 1;
}

// ---- Process usage.

namespace {

u32 row_of(const model::ProcTable* t, u64 handle) {
  u32 row = handle == model::no_handle ? model::no_row : model::proc_row(t, handle);
  return row < model::rows ? row : model::rows;  // the catch-all position
}

void counters_put(const ProcWalk* w, u32 k, u32 row, ProcCounters* c) {
  c->cpu_time[row] = w->cpu[k];
  c->bytes_read[row] = w->read_bytes[k];
  c->bytes_written[row] = w->write_bytes[k];
  c->working_set[row] = w->working_set[k];
  c->private_bytes[row] = w->private_bytes[k];
  c->gpu_memory[row] = 0;
  c->threads[row] = w->thread_count[k];
  c->tcp[row] = w->tcp[k];
  c->gpu[row] = 0;
  c->handles[row] = w->handles[k];
}

}  // namespace

void tcp_counts(const collect::ProcSample* sample, ProcWalk* w) {
  u32 n = bits::min32(sample->head.tcp_pids, ntinfo::max_tcp_pids);
  mem::copy(mem::Slice{reinterpret_cast<u8*>(w->tcp_pids), n * 4ull},
            mem::Bytes(reinterpret_cast<const u8*>(sample->head.pids), n * 4ull));
  bits::radix32(w->tcp_pids, n, w->tcp_scratch, ntinfo::max_tcp_pids);
  u32 stored = bits::min32(w->stored, ntinfo::max_procs);
  for (u32 k = 0; k < stored; ++k) {
    w->tcp[k] = bits::rank(w->tcp_pids, n, w->pid[k], 1) - bits::rank(w->tcp_pids, n, w->pid[k], 0);
  }
}

bool proc_rows(mem::Bytes buffer, ProcWalk* w, model::ProcTable* t, ProcCounters* c) {
  u32 stored = bits::min32(w->stored, ntinfo::max_procs);
  for (u32 k = 0; k < stored; ++k) model::proc_keep(t, w->pid[k], w->start[k]);
  model::proc_sweep(t);
  bool failed = false;
  for (u32 k = 0; k < stored; ++k) {
    u8 text[model::name_max];
    u64 length = 0;
    if (model::proc_find_row(t, w->pid[k]) == model::no_row) {
      length = ntinfo::name_take(buffer, w->name_offset[k], w->name_units[k], w->pid[k] == 0,
                                 mem::Slice{text, sizeof text});
    }
    u64 handle = model::proc_upsert(t, w->pid[k], w->parent[k], w->start[k], mem::Bytes(text, length));
    u32 row = row_of(t, handle);
    failed = failed || row == model::rows;
    counters_put(w, k, row, c);
  }
  bits::clear_all(t->seen, model::words);
  t->flags = (w->flags & (model::flag_truncated | model::flag_malformed)) | bits::select32(failed, model::flag_truncated, 0);
  return failed;
}

void proc_gpu(const gpu::Section* s, const gpu::AdapterList* adapters, model::ProcTable* t, ProcCounters* c) {
  gpu::Kept kept;
  gpu::fold_procs(s, adapters, &kept);
  bits::clear_all(t->gpu_present, model::words);
  u32 engines = bits::min32(s->engine_rows, gpu::engines_max);
  for (u32 r = 0; r < engines; ++r) {
    u32 row = model::proc_find_row(t, s->engine_pid[r]);
    u8 a = s->engine_adapter[r];
    if (row >= model::rows || a >= gpu::adapters_max || kept.slot_of[a] >= gpu::kept_max) continue;
    u32 util = s->util[r] > 0 ? static_cast<u32>(s->util[r]) : 0;
    c->gpu[row] = bits::max32(c->gpu[row], util);
    bits::set(t->gpu_present, row);
  }
  u32 memory = bits::min32(s->memory_rows, gpu::memory_max);
  for (u32 m = 0; m < memory; ++m) {
    u32 row = model::proc_find_row(t, s->memory_pid[m]);
    u8 a = s->memory_adapter[m];
    if (row >= model::rows || a >= gpu::adapters_max || kept.slot_of[a] >= gpu::kept_max) continue;
    c->gpu_memory[row] = add_sat64(c->gpu_memory[row], s->memory_bytes[m]);
    bits::set(t->gpu_present, row);
  }
}

u64 cpu_total(const model::ProcTable* t, const ProcCounters* c) {
  u32 top = bits::min32(t->count, model::rows);
  u64 sum = 0;
  for (u32 r = 0; r < top; ++r) {
    u64 d = bits::is_set(t->fresh, r) ? 0 : rate::delta(c->cpu_time[r], t->prev_cpu[r]);
    sum = add_sat64(sum, d);
  }
  return sum;
}

u64 cpu_span(u64 sum, u64 interval_ms, u32 processors) {
  u64 cpus = bits::min64(bits::max64(processors, 1), 4096);
  return bits::max64(sum, bits::min64(interval_ms, 1ull << 32) * cpus * 10000);
}

u32 tcp_flags(i32 rows, u32 pids_stored, u32 missing) {
  u32 flags = bits::select32(rows > 0 && pids_stored < static_cast<u32>(rows), model::flag_tcp_truncated, 0);
  return flags | bits::select32(missing != 0, model::flag_tcp_missing, 0);
}

// ---- Choosing the busiest processes when the chain holds more than the table.

namespace {

u32 memo_home(u32 pid) { return static_cast<u32>((static_cast<u64>(pid) * 0x9E3779B1u) & 0xFFFFFFFFu) >> 20; }

// The left-out record of pid, or null.
const ntinfo::LeftOut* memo_find(const ProcWalk* w, u32 pid) {
  for (u32 i = memo_home(pid), n = 0; n < ntinfo::memo_slots; i = (i + 1) % ntinfo::memo_slots, ++n) {
    if (!bits::is_set(w->memo_used, i)) return nullptr;
    if (w->memo[i].pid == pid) return &w->memo[i];
  }
  return nullptr;
}

void memo_put(ProcWalk* w, const ntinfo::LeftOut& e) {
  if (w->memo_count >= ntinfo::memo_most) return;
  u32 i = memo_home(e.pid);
  while (bits::is_set(w->memo_used, i)) {
    if (w->memo[i].pid == e.pid) return;  // a pid twice in one chain: the first stands
    i = (i + 1) % ntinfo::memo_slots;
  }
  w->memo[i] = e;
  bits::set(w->memo_used, i);
  ++w->memo_count;
}

// The CPU time of slot s's process at the last pass: from its table row, or from the left-out set when that
// belongs to the same pass. False for a process not seen then (or a pid taken by a new process).
bool last_cpu(const ProcWalk* w, u32 s, const model::ProcTable* t, bool memo_current, u64* cpu) {
  u32 row = model::proc_find_row(t, w->pid[s]);
  if (row < model::rows) {
    *cpu = t->prev_cpu[row];
    return t->start_key[row] == w->start[s] && !bits::is_set(t->fresh, row);
  }
  const ntinfo::LeftOut* e = memo_current ? memo_find(w, w->pid[s]) : nullptr;
  *cpu = e ? e->cpu : 0;
  return e && e->start == w->start[s];
}

// CPU use of slot s in 100 ns per second: over the time since the last pass when the process was seen then, else
// over its whole life (a process that started since, or the first pass).
u64 cpu_rate(const ProcWalk* w, u32 s, const model::ProcTable* t, u64 now_ms, u64 last_ms, bool memo_current) {
  constexpr u64 cap = 1ull << 50;  // keeps the products below within 64 bits
  u64 cpu = 0;
  if (last_ms != 0 && now_ms > last_ms && last_cpu(w, s, t, memo_current, &cpu)) {
    return bits::min64(rate::delta(w->cpu[s], cpu), cap) * 1000 / (now_ms - last_ms);
  }
  u64 started = static_cast<u64>(w->start[s]) * 1000;
  u64 age = now_ms > started ? now_ms - started : 0;
  return bits::min64(w->cpu[s], cap) * 1000 / bits::max64(age, 1000);
}

bool less_busy(const ProcWalk* w, u32 a, u32 b) {
  return w->rank_cpu[a] < w->rank_cpu[b] || (w->rank_cpu[a] == w->rank_cpu[b] && w->rank_memory[a] < w->rank_memory[b]);
}

// Restores the order below heap position i (least busy on top).
void sift_down(ProcWalk* w, u32 i) {
  for (;;) {
    u32 least = i, l = 2 * i + 1, r = l + 1;
    if (l < ntinfo::max_procs && less_busy(w, w->heap[l], w->heap[least])) least = l;
    if (r < ntinfo::max_procs && less_busy(w, w->heap[r], w->heap[least])) least = r;
    if (least == i) return;
    u16 swap = w->heap[i];
    w->heap[i] = w->heap[least];
    w->heap[least] = swap;
    i = least;
  }
}

// The scratch slot's columns into slot s.
void slot_copy(ProcWalk* w, u32 s) {
  constexpr u32 x = ntinfo::max_procs;
  w->pid[s] = w->pid[x];
  w->parent[s] = w->parent[x];
  w->start[s] = w->start[x];
  w->thread_count[s] = w->thread_count[x];
  w->handles[s] = w->handles[x];
  w->tcp[s] = w->tcp[x];
  w->name_units[s] = w->name_units[x];
  w->name_offset[s] = w->name_offset[x];
  w->cpu[s] = w->cpu[x];
  w->working_set[s] = w->working_set[x];
  w->private_bytes[s] = w->private_bytes[x];
  w->read_bytes[s] = w->read_bytes[x];
  w->write_bytes[s] = w->write_bytes[x];
}

}  // namespace

void keep_busiest(mem::Bytes b, u64 address, u64 boot_time, u64 now_ms, const ProcRateState* st,
                  const model::ProcTable* t, ProcWalk* w) {
  if (w->entries <= ntinfo::max_procs || w->stored < ntinfo::max_procs) return;
  const u64 last_ms = st->has_previous ? st->previous_ms : 0;
  const bool memo_current = last_ms != 0 && w->memo_ms == last_ms;
  for (u32 s = 0; s < ntinfo::max_procs; ++s) {
    w->rank_cpu[s] = cpu_rate(w, s, t, now_ms, last_ms, memo_current);
    w->rank_memory[s] = w->working_set[s];
    w->heap[s] = static_cast<u16>(s);
  }
  for (u32 i = ntinfo::max_procs / 2; i-- > 0;) sift_down(w, i);
  constexpr u32 x = ntinfo::max_procs;
  u64 pos = ~u64{0};
  u32 n = 0;
  while (ntinfo::proc_next(b, &pos)) {
    if (n++ < ntinfo::max_procs) continue;  // the walk stored these
    ntinfo::proc_fill(b, pos, address, boot_time, w, x);
    u64 rate = cpu_rate(w, x, t, now_ms, last_ms, memo_current);
    u32 top = w->heap[0];
    if (rate < w->rank_cpu[top] || (rate == w->rank_cpu[top] && w->working_set[x] <= w->rank_memory[top])) continue;
    slot_copy(w, top);
    w->rank_cpu[top] = rate;
    w->rank_memory[top] = w->working_set[x];
    sift_down(w, 0);
  }
}

void remember_left_out(mem::Bytes b, u64 address, u64 boot_time, u64 now_ms, const model::ProcTable* t,
                       ProcWalk* w) {
  bits::clear_all(w->memo_used, ntinfo::memo_slots / 64);
  w->memo_count = 0;
  w->memo_ms = now_ms;
  if (w->entries <= ntinfo::max_procs) return;
  constexpr u32 x = ntinfo::max_procs;
  u64 pos = ~u64{0};
  while (ntinfo::proc_next(b, &pos)) {
    ntinfo::proc_fill(b, pos, address, boot_time, w, x);
    if (model::proc_find_row(t, w->pid[x]) < model::rows) continue;
    memo_put(w, ntinfo::LeftOut{w->pid[x], w->start[x], w->cpu[x], w->read_bytes[x], w->write_bytes[x]});
  }
}

void carry_left_out(const ProcWalk* w, const ProcRateState* st, model::ProcTable* t) {
  if (w->memo_count == 0 || !st->has_previous || w->memo_ms != st->previous_ms) return;
  u32 top = bits::min32(t->count, model::rows);
  for (u32 r = 0; r < top; ++r) {
    if (!bits::is_set(t->fresh, r)) continue;
    const ntinfo::LeftOut* e = memo_find(w, t->pid[r]);
    if (!e || e->start != t->start_key[r]) continue;
    t->prev_cpu[r] = e->cpu;
    t->prev_read[r] = e->read;
    t->prev_written[r] = e->written;
    bits::clear(t->fresh, r);
  }
}

bool procs(ProcRateState* st, const collect::ProcSample* sample, const gpu::Section* section,
           const gpu::AdapterList* adapters, ProcWalk* w, model::ProcTable* t, ProcCounters* c) {
  const collect::ProcHeader& h = sample->head;
  u32 used = collect::procs_used(sample);
  if (h.status != collect::status_success || used == 0) {
    t->flags |= model::flag_stale;
    t->flags |= bits::select32(h.status == collect::status_length_mismatch, model::flag_truncated, 0);
    return false;
  }
  mem::Bytes buffer(sample->buffer.data, used);
  ntinfo::proc_walk(buffer, h.address, h.boot_time, w);
  keep_busiest(buffer, h.address, h.boot_time, h.time_ms, st, t, w);
  tcp_counts(sample, w);
  proc_rows(buffer, w, t, c);
  carry_left_out(w, st, t);
  remember_left_out(buffer, h.address, h.boot_time, h.time_ms, t, w);
  proc_gpu(section, adapters, t, c);
  u32 ms = interval(st->has_previous, h.time_ms, st->previous_ms);
  rate::Tick tick;
  rate::tick_make(ticks_per_second, ms, h.processors, &tick);
  tick.cpu_recip = rate::span_recip(cpu_span(cpu_total(t, c), ms, h.processors));
  tick.cpu_limit = rate::ceil_of(tick.cpu_recip, rate::cpu_bits);
  rate::update(t, c, &tick);
  t->processes = w->entries;
  t->threads = w->threads;
  t->tcp_total = h.tcp_rows > 0 ? static_cast<u32>(h.tcp_rows) : 0;
  t->flags |= tcp_flags(h.tcp_rows, h.tcp_pids, h.tcp_missing);
  st->previous_ms = h.time_ms;
  st->has_previous = 1;
  return true;
}

}  // namespace usage
