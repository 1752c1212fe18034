#include "wire/payload.h"

#include "base/bits.h"
#include "base/fmt.h"
#include "base/rates.h"

namespace payload {
namespace {

// Little-endian fields of the machine record's kept hardware bytes (the head of hw::Hardware).
u32 hw32_at(const machine::Machine* m, u32 at) {
  u32 v;
  __builtin_memcpy(&v, m->hardware + at, 4);
  return v;
}
u16 hw16_at(const machine::Machine* m, u32 at) {
  u16 v;
  __builtin_memcpy(&v, m->hardware + at, 2);
  return v;
}

u32 put_text(u8* field, u32 at, mem::Bytes text) {
  for (u64 i = 0; i < text.len && at < name_size; ++i) field[at++] = text.ptr[i];
  return at;
}

u32 put_decimal(u8* field, u32 at, u32 value) {
  u8 digits[fmt::dec_size];
  return put_text(field, at, fmt::dec(value, digits));
}

void name_from_slot(const machine::Machine* m, u32 slot, u8* field) {
  mem::Bytes n = machine::name(m, slot);
  put_name(field, n.ptr, n.len);
}

// The six measures of pick_procs for row r.
u32 measure(const model::ProcTable* t, u32 which, u32 r) {
  switch (which) {
    case 0: return t->cpu[r];
    case 1: return hstore::rate_code(t->working_set[r] / 256);
    case 2: {
      if (model::disk_unreported(t, r)) return 0;
      u64 sum = u64{t->read_rate[r]} + t->write_rate[r];
      return hstore::rate_code(sum > 0xFFFFFFFFull ? 0xFFFFFFFFull : sum);
    }
    case 3: return t->gpu[r];
    case 4: return t->gpu_memory[r];
    default: return t->tcp[r];
  }
}

bool bit_of(const u64* set, u32 r) { return (set[r / 64] >> (r % 64)) & 1; }

u32 count_bits(const u64* keep) {
  u32 n = 0;
  for (u32 w = 0; w < keep_words; ++w) n += static_cast<u32>(__builtin_popcountll(keep[w]));
  return n;
}

}  // namespace

void put_name(u8* field, const u8* text, u64 length) {
  __builtin_memset(field, 0, name_size);
  for (u64 i = 0; i < length && i < name_size && text[i] != 0; ++i) {
    field[i] = text[i] >= 0x20 && text[i] <= 0x7E ? text[i] : '?';
  }
}

u32 os_text(const os::WindowsVersion* os, u8* field) {
  __builtin_memset(field, 0, name_size);
  u32 at = 0;
  if (os->family == 1) at = put_text(field, at, mem::lit("Windows "));
  if (os->family == 2) at = put_text(field, at, mem::lit("Linux "));
  if (os->family == 3) at = put_text(field, at, mem::lit("macOS "));
  at = put_decimal(field, at, os->major);
  at = put_text(field, at, mem::lit("."));
  at = put_decimal(field, at, os->minor);
  at = put_text(field, at, mem::lit("."));
  return put_decimal(field, at, os->build);
}

// The hardware values follow the machine record's order: the memory total, then the kept head of the hardware
// record (caches, features, known features, cores, logical processors, base clock, family, sockets, vendor, model,
// stepping, memory installed, compressed and speed, slots used and slots, memory kind and form) and the commit
// limit; per disk the capacity-saturated set and the media and bus slices.
void inventory(const machine::Machine* m, const u8* id, const u8* computer_name, u32 name_length,
               const os::WindowsVersion* os, u16 a, u16 b, u16 c, proto::Inventory* out) {
  __builtin_memset(out, 0, sizeof *out);
  __builtin_memcpy(out->id, id, sizeof out->id);
  out->version[0] = a;
  out->version[1] = b;
  out->version[2] = c;
  out->hw_flags = static_cast<u16>(m->status & 15);
  out->hw32[0] = m->memory_total;
  for (u32 i = 0; i < 5; ++i) out->hw32[1 + i] = hw32_at(m, 4 * i);  // l1, l2, l3, features, known
  for (u32 i = 0; i < 3; ++i) out->hw32[6 + i] = hw32_at(m, 32 + 4 * i);  // installed, compressed, speed
  out->hw32[9] = m->commit_limit;
  for (u32 i = 0; i < 4; ++i) out->hw16[i] = hw16_at(m, 20 + 2 * i);  // cores, logical, base clock, family
  if (out->hw16[1] == 0) out->hw16[1] = m->cpus;
  __builtin_memcpy(out->hw8, m->hardware + 28, 4);  // sockets, vendor, model, stepping
  out->hw8[4] = m->hardware[48];                    // memory kind
  out->hw8[5] = m->hardware[49];                    // memory form
  out->hw16b[0] = hw16_at(m, 44);
  out->hw16b[1] = hw16_at(m, 46);
  out->gpu_count = static_cast<u8>(m->gpus < proto::max_gpus ? m->gpus : proto::max_gpus);
  out->disk_count = static_cast<u8>(m->disks < proto::max_disks ? m->disks : proto::max_disks);
  out->adapter_count = static_cast<u8>(m->nics < proto::max_adapters ? m->nics : proto::max_adapters);
  out->os_family = os->family < 4 ? os->family : 0;
  out->os_major = os->major;
  out->os_minor = os->minor;
  out->os_value = os->value <= 5 ? os->value : 5;
  out->os_build = os->build;
  out->disk_bits[0] = m->capacity_saturated;
  out->disk_bits[1] = m->details.media[0];
  out->disk_bits[2] = m->details.media[1];
  for (u32 i = 0; i < 3; ++i) out->disk_bits[3 + i] = m->details.bus[i];
  for (u32 i = 0; i < proto::max_gpus; ++i) {
    out->gpu_dedicated[i] = m->gpu_dedicated[i];
    out->gpu_shared[i] = m->gpu_shared[i];
    out->gpu_type[i] = i < out->gpu_count ? static_cast<u8>(m->gpu_classes[i] & 63) : 0;
  }
  for (u32 i = 0; i < proto::max_disks; ++i) out->disk_value[i] = m->disk_capacity[i];
  for (u32 i = 0; i < proto::max_adapters; ++i) out->adapter_value[i] = m->link_mbps[i];

  put_name(out->names[proto::name_computer], computer_name, name_length);
  os_text(os, out->names[proto::name_os]);
  name_from_slot(m, machine::slot_cpu, out->names[proto::name_cpu]);
  for (u32 i = 0; i < out->gpu_count; ++i) name_from_slot(m, machine::slot_gpus + i, out->names[proto::name_gpu + i]);
  for (u32 i = 0; i < out->disk_count; ++i) {
    name_from_slot(m, machine::slot_disks + i, out->names[proto::name_disk + i]);
    name_from_slot(m, machine::slot_drive_models + i, out->names[proto::name_disk_second + i]);
  }
  for (u32 i = 0; i < out->adapter_count; ++i) {
    name_from_slot(m, machine::slot_nics + i, out->names[proto::name_adapter + i]);
  }
}

u32 proc_score(u32 cpu, u32 gpu, u32 memory, u32 total_mib) {
  u64 share = 0;
  if (total_mib != 0) share = u64{memory} * 10000 / (u64{total_mib} * 256);
  u64 score = u64{cpu} + gpu + share;
  return score < score_max ? static_cast<u32>(score) : score_max;
}

u32 pick_procs(const model::ProcTable* t, u32 count, u64* keep) {
  for (u32 w = 0; w < keep_words; ++w) keep[w] = 0;
  if (count > model::rows) count = model::rows;
  for (u32 which = 0; which < measures; ++which) {
    // The three best keys, value * 2,048 + (1,024 - row): a larger value first, then the lower row.
    u64 best[best_per_measure] = {};
    for (u32 r = 0; r < count; ++r) {
      u32 v = measure(t, which, r);
      if (v == 0 || t->pid[r] == 0) continue;
      u64 key = u64{v} * 2048 + (1024 - r);
      for (u32 k = 0; k < best_per_measure; ++k) {
        if (key <= best[k]) continue;
        for (u32 j = best_per_measure - 1; j > k; --j) best[j] = best[j - 1];
        best[k] = key;
        break;
      }
    }
    for (u64 key : best) {
      if (key == 0) continue;
      u32 r = 1024 - static_cast<u32>(key % 2048);
      keep[r / 64] |= u64{1} << (r % 64);
    }
  }
  return count_bits(keep);
}

void procs(const model::ProcTable* t, u32 total_mib, u32* scratch, proto::ProcRecord* out) {
  u32 count = t->count < model::rows ? t->count : model::rows;
  u32 kept = count < proto::proc_rows_max ? count : proto::proc_rows_max;
  u32* keys = scratch;
  for (u32 i = 0; i < count; ++i) {
    keys[i] = proc_score(t->cpu[i], t->gpu[i], t->working_set[i], total_mib) * 1024 + (1023 - i);
  }
  bits::radix32(keys, count, scratch + model::rows, model::rows);
  u64 keep[keep_words];
  u32 marked = pick_procs(t, count, keep);
  // The three best of each measure may be more than the record holds; the first rows in table order then stay.
  for (u32 i = count; i > 0 && marked < kept; --i) {
    u32 r = 1023 - (keys[i - 1] & 1023);
    if (bit_of(keep, r)) continue;
    keep[r / 64] |= u64{1} << (r % 64);
    ++marked;
  }
  __builtin_memset(out, 0, sizeof *out);
  out->flags = t->flags & 0x1F;
  out->totals[0] = t->processes;
  out->totals[1] = t->threads;
  out->totals[2] = t->tcp_total;
  u32 n = 0;
  for (u32 r = 0; r < count && n < proto::proc_rows_max; ++r) {
    if (!bit_of(keep, r)) continue;
    proto::ProcRow* row = &out->rows[n++];
    row->pid = t->pid[r];
    row->start[0] = t->start_key[r];
    row->cpu = t->cpu[r] <= 10000 ? t->cpu[r] : 10000;
    row->gpu = t->gpu[r] <= 10000 ? t->gpu[r] : 10000;
    row->memory = t->working_set[r];
    row->value20 = t->private_bytes[r];
    row->disk_read = t->read_rate[r];
    row->disk_write = t->write_rate[r];
    row->value32 = t->handles[r];
    row->vram = t->gpu_memory[r];
    row->threads = t->thread_count[r];
    row->tcp = t->tcp[r];
    row->flags = static_cast<u16>((bit_of(t->gpu_present, r) ? row_gpu : 0) |
                                  (model::disk_unreported(t, r) ? row_disk_unmeasured : 0) |
                                  (bit_of(t->clipped, r) ? row_saturated : 0));
    mem::Bytes name = model::proc_name(t, r);
    put_name(row->name, name.ptr, name.len);
  }
  out->count = n;
}

}  // namespace payload
