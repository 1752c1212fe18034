#include "sampling/machine.h"

#include "base/bits.h"
#include "sampling/model.h"

namespace machine {
namespace {

constexpr u64 fnv_prime = 0x100000001b3ull;

void zero(void* p, u64 n) { mem::fill(mem::Slice{static_cast<u8*>(p), n}, 0); }
void copy_bytes(void* to, const void* from, u64 n) {
  mem::copy(mem::Slice{static_cast<u8*>(to), n}, mem::Bytes(static_cast<const u8*>(from), n));
}
bool has_power(u8 flags) { return (flags & 0xF) != 0; }

// Disk i's capacity: the sum of the sizes of its volume letters.
void disk_capacity(Machine* m, const usage::Usage* u, u32 i) {
  u64 sum = 0;
  for (u32 l = 0; l < usage::letters; ++l) sum += ((u->disk_letters[i] >> l) & 1) ? u->volume_total[l] : 0;
  m->disk_capacity[i] = static_cast<u32>(bits::min64(sum, 0xFFFFFFFFull));
  m->capacity_saturated = bits::word_put(m->capacity_saturated, i, sum > 0xFFFFFFFFull);
}

void take_drive(Machine* m, const hw::Hardware* h, u32 i, u32 drive) {
  bool read = drive < hw::max_drives && ((h->drive_mask >> drive) & 1);
  u32 media = read ? hw::plane_value(h->media, 2, drive) : 0;
  u32 bus = read ? hw::plane_value(h->bus, 3, drive) : 0;
  hw::plane_set(m->details.media, 2, i, media);
  hw::plane_set(m->details.bus, 3, i, bus);
  const u8* model_text = read ? h->drive_model[drive] : nullptr;
  set_name(m, slot_drive_models + i, model_text, read ? model::name_end(model_text, name_bytes) : 0);
}

void take_adapter(Machine* m, const hw::Adapters* a, u32 i, u64 id) {
  u32 k = hw::adapter_of(a, id);
  bool found = k < hw::max_adapters;
  Details& d = m->details;
  hw::plane_set(d.conn, 2, i, found ? hw::plane_value(a->conn, 2, k) : 0);
  d.mac[i] = found ? a->mac[k] : 0;
  d.ipv4_count[i] = found ? a->ipv4_count[k] : 0;
  d.ipv6_count[i] = found ? a->ipv6_count[k] : 0;
  zero(d.ipv4[i], sizeof d.ipv4[i]);
  zero(d.ipv6[i], sizeof d.ipv6[i]);
  if (found) {
    copy_bytes(d.ipv4[i], a->ipv4[k], sizeof d.ipv4[i]);
    copy_bytes(d.ipv6[i], a->ipv6[k], sizeof d.ipv6[i]);
  }
  const u8* description = found ? a->description[k] : nullptr;
  const u8* suffix = found ? a->dns_suffix[k] : nullptr;
  set_name(m, slot_descriptions + i, description, found ? model::name_end(description, name_bytes) : 0);
  set_name(m, slot_suffixes + i, suffix, found ? model::name_end(suffix, name_bytes) : 0);
}

// Rows of the last min(n, rows present) that carry a power part: their count, least and sum.
struct PowerSpan {
  u32 count;
  u32 least;
  u64 sum;
};
PowerSpan power_span(const Machine* m, u32 n) {
  const ring::Ring& r = m->ring;
  u32 rows = bits::min32(n, r.count);
  PowerSpan span{0, 0xFFFFFFFFu, 0};
  for (u32 k = 0; k < rows; ++k) {
    u32 at = ring::back_row(r.next, r.capacity, k);
    if (!has_power(r.power_flags[at])) continue;
    ++span.count;
    span.least = bits::min32(span.least, r.power[at]);
    span.sum += r.power[at];
  }
  return span;
}

}  // namespace

void init(Machine* m) {
  zero(m, offsetof(Machine, ring));
  ring::init(&m->ring, ring::max_rows);
}

u32 capped(u64 value, u32 cap, bool* over) {
  *over = value > cap;
  return static_cast<u32>(bits::min64(value, cap));
}

void set_counts(Machine* m, u32 processors, u32 disks, u32 adapters) {
  bool over_cpus, over_disks, over_nics;
  m->cpus = static_cast<u8>(capped(processors, max_cpus, &over_cpus));
  m->disks = static_cast<u8>(capped(disks, max_disks, &over_disks));
  m->nics = static_cast<u8>(capped(adapters, max_nics, &over_nics));
  u32 flags = (m->count_flags & more_gpus) | bits::select32(over_cpus, more_cpus, 0) |
              bits::select32(over_disks, more_disks, 0) | bits::select32(over_nics, more_nics, 0);
  m->count_flags = static_cast<u8>(flags);
}

void set_gpu(Machine* m, u32 count, u32 dedicated_mib, u32 shared_mib, u8 classes) {
  bool over;
  m->gpus = static_cast<u8>(capped(count, max_gpus, &over));
  m->count_flags = static_cast<u8>((m->count_flags & ~more_gpus) | bits::select32(over, more_gpus, 0));
  for (u32 g = 0; g < max_gpus; ++g) {
    bool on = g < m->gpus;
    m->gpu_dedicated[g] = on ? dedicated_mib : 0;
    m->gpu_shared[g] = on ? shared_mib : 0;
    m->gpu_classes[g] = on ? classes : 0;
  }
}

void set_name(Machine* m, u32 slot, const u8* text, u64 length) {
  u8* to = m->name[bits::min32(slot, slot_last)];
  zero(to, name_bytes);
  if (text != nullptr) copy_bytes(to, text, bits::min64(length, name_bytes));
}

mem::Bytes name(const Machine* m, u32 slot) {
  const u8* text = m->name[bits::min32(slot, slot_last)];
  return mem::Bytes(text, model::name_end(text, name_bytes));
}

u32 name_slot(u32 base, u32 i, u32 count) {
  u32 at = count == 0 ? base : base + bits::min32(i, count - 1);
  return bits::min32(at, slot_last);
}

void copy_name(Machine* m, u32 slot, const usage::Usage* u, u32 index) {
  const u8* text = u->name[bits::min32(index, usage::name_slots - 1)];
  set_name(m, slot, text, model::name_end(text, name_bytes));
}

namespace {

// Disk i's name. Where the disk's volumes are mounted folders (every label of its letters starts with "/": a Linux
// machine, whose letters are only the records' index) it is named as a user knows it, "Disk 0 (/)" or
// "Disk 1 (/home, /srv)"; a disk with drive letters keeps the name its counters gave ("0 C:").
void name_disk(Machine* m, const usage::Usage* u, u32 i) {
  const u32 letters = u->disk_letters[i];
  bool folders = letters != 0;
  for (u32 l = 0; l < usage::letters && folders; ++l)
    if ((letters >> l) & 1) folders = u->name[bits::min32(u->volume_label[l], usage::name_slots - 1)][0] == '/';
  if (!folders) return copy_name(m, slot_disks + i, u, u->disk_name[i]);
  u8 text[name_bytes];
  u32 n = 0;
  auto put = [&](mem::Bytes b) {
    for (u64 k = 0; k < b.len && n < name_bytes - 1; ++k) text[n++] = b.ptr[k];
  };
  put(mem::lit("Disk "));
  u8 digits[10];
  u32 d = 0;
  for (u32 v = u->disk_number[i]; d == 0 || v != 0; v /= 10) digits[d++] = static_cast<u8>('0' + v % 10);
  while (d > 0) put(mem::Bytes(&digits[--d], 1));
  put(mem::lit(" ("));
  bool first = true;
  for (u32 l = 0; l < usage::letters; ++l) {
    if (!((letters >> l) & 1)) continue;
    if (!first) put(mem::lit(", "));
    first = false;
    const u8* label = u->name[bits::min32(u->volume_label[l], usage::name_slots - 1)];
    put(mem::Bytes(label, model::name_end(label, usage::name_bytes)));
  }
  text[n++] = ')';
  set_name(m, slot_disks + i, text, n);
}

}  // namespace

void take_power(Machine* m, const usage::Usage* u) {
  m->batteries = bits::min32(u->batteries, usage::max_batteries);
  m->zones = bits::min32(u->zones, usage::max_zones);
  copy_bytes(m->battery_state, u->battery_state, sizeof m->battery_state);
  copy_bytes(m->battery_charge, u->battery_charge, sizeof m->battery_charge);
  copy_bytes(m->zone_number, u->zone_number, sizeof m->zone_number);
  copy_bytes(m->zone_temp, u->zone_temp, sizeof m->zone_temp);
  // Readings above the signed field's range are held at its top and marked saturated, never wrapped negative.
  bool high = false;
  for (u32 p = 0; p < usage::parts; ++p) {
    high = high || u->power[p] > 0x7FFF;
    m->power[p] = static_cast<i16>(bits::min32(u->power[p], 0x7FFF));
  }
  m->power_flags = static_cast<u8>(u->power_flags | bits::select32(high, usage::power_saturated, 0));
  copy_bytes(&m->temps, &u->temps, sizeof m->temps);
}

void take_hardware(Machine* m, const hw::Hardware* h, const hw::Adapters* a, const u32* drives, const u64* ids) {
  copy_bytes(m->hardware, h, hardware_head);
  m->base_mhz = h->base_mhz;
  m->status = h->status | a->flags;
  for (u32 i = 0; i < max_disks; ++i) {
    if (i < m->disks) {
      take_drive(m, h, i, drives[i]);
    } else {
      hw::plane_set(m->details.media, 2, i, 0);
      hw::plane_set(m->details.bus, 3, i, 0);
    }
  }
  for (u32 i = 0; i < m->nics; ++i) take_adapter(m, a, i, ids[i]);
  rehash(m);
}

u64 bytes_of(u64 hash, const void* bytes, u64 length) {
  const u8* b = static_cast<const u8*>(bytes);
  for (u64 i = 0; i < length; ++i) hash = (hash ^ b[i]) * fnv_prime;
  return hash;
}

u64 hardware_hash_of(const Machine* m) {
  u64 h = bytes_of(fnv_basis, m->hardware, hardware_head);
  h = bytes_of(h, &m->details, sizeof m->details);
  h = bytes_of(h, m->name[slot_drive_models], (slot_last + 1 - slot_drive_models) * name_bytes);
  return h ^ m->status;
}

void rehash(Machine* m) {
  u64 h = hardware_hash_of(m);
  m->changes += h != m->hash;
  m->hash = h;
}

void take(Machine* m, const usage::Usage* u, const ring::Row* row, const hw::Hardware* hardware,
          const hw::Adapters* adapters, u64 performance) {
  set_counts(m, u->cpus, u->disks, u->nics);
  m->count_flags = static_cast<u8>(u->truncated & 0xF);
  m->memory_total = u->memory_total;
  copy_name(m, slot_cpu, u, 0);
  for (u32 i = 0; i < max_disks; ++i) {
    disk_capacity(m, u, i);
    if (i < m->disks) name_disk(m, u, i);
  }
  for (u32 i = 0; i < m->nics; ++i) copy_name(m, slot_nics + i, u, u->nic_name[i]);
  m->gpus = static_cast<u8>(bits::min32(u->gpus, max_gpus));
  for (u32 g = 0; g < max_gpus; ++g) {
    bool on = g < m->gpus;
    m->gpu_dedicated[g] = on ? u->gpu_dedicated[g] : 0;
    m->gpu_shared[g] = on ? u->gpu_shared_limit[g] : 0;
    m->gpu_classes[g] = on ? u->gpu_classes[g] : 0;
    if (on) copy_name(m, slot_gpus + g, u, u->gpu_name[g]);
  }
  m->commit_limit = u->commit_limit;
  m->paged_pool = u->paged_pool;
  m->nonpaged_pool = u->nonpaged_pool;
  for (u32 i = 0; i < max_nics; ++i) {
    bool on = i < m->nics;
    m->received[i] = on ? u->received[i] : 0;
    m->sent[i] = on ? u->sent[i] : 0;
    m->link_mbps[i] = on ? u->nic_mbps[i] : 0;
  }
  take_power(m, u);
  take_hardware(m, hardware, adapters, u->disk_number, u->nic_id);
  ring::Row r = *row;
  r.kernel = u->kernel;
  r.clock_mhz = hw::speed_mhz(m->base_mhz, performance);
  m->status |= bits::select32(hw::speed_over(m->base_mhz, performance), clock_over, 0);
  r.uptime = u->uptime;
  r.modified_mib = u->modified;
  r.standby_mib = u->standby;
  copy_bytes(r.core_kernel, u->core_kernel, sizeof r.core_kernel);
  copy_bytes(r.disk_busy, u->disk_level, sizeof r.disk_busy);
  push(m, &r);
}

void push(Machine* m, const ring::Row* row) {
  ring::Row r = *row;
  if (!has_power(r.power_flags)) {
    u32 newest = ring::back_row(m->ring.next, m->ring.capacity, 0);
    r.power = m->pushed > 0 && m->ring.count > 0 ? m->ring.power[newest] : 0;
  }
  ring::push(&m->ring, &r);
  ++m->pushed;
}

u32 back_row(const Machine* m, u32 n) {
  u32 last = bits::max32(m->ring.count, 1) - 1;
  return ring::back_row(m->ring.next, m->ring.capacity, bits::min32(n, last));
}

u32 power_present(const Machine* m) { return power_span(m, 5).count > 0 ? 1 : 0; }

u32 power_least(const Machine* m, u32 n) {
  PowerSpan s = power_span(m, n);
  return s.count ? s.least : 0;
}

u32 power_mean(const Machine* m, u32 n) {
  PowerSpan s = power_span(m, n);
  return s.count ? static_cast<u32>(s.sum / s.count) : 0;
}

}  // namespace machine
