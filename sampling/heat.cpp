#include "sampling/heat.h"

#include "sampling/ntinfo.h"
#include "platform/sysrec.h"

namespace heat {
namespace {

struct Threshold {
  i16 warm, hot;
};
constexpr Threshold thresholds[4] = {{800, 950}, {800, 900}, {550, 700}, {700, 900}};

const Threshold& threshold_of(u32 kind) { return thresholds[kind < 3 ? kind : 3]; }

// Clamped into the i16 range; anything clamped is far outside the usable range, so it stays unusable.
i16 clamp16(i64 v) { return static_cast<i16>(v < -32768 ? -32768 : v > 32767 ? 32767 : v); }

u8 printable(u8 c) { return c >= 32 && c <= 126 ? c : '?'; }

}  // namespace

bool usable(i32 t, bool allow_zero) { return t >= -2729 && t <= 1500 && (t != 0 || allow_zero); }

i16 deci_of_kelvin(u32 k) { return k >= 32767 ? 32767 : clamp16(10 * static_cast<i64>(k) - 2731); }

i16 from_adapter(u32 t) { return t >= 1 && t <= 1500 ? static_cast<i16>(t) : no_reading; }

i16 from_perf(mem::Bytes record) {
  if (record.len < sizeof(sysrec::AdapterPerf)) return no_reading;
  return from_adapter(adapter_field(record, offsetof(sysrec::AdapterPerf, temperature)));
}

i16 from_health(mem::Bytes log) {
  if (log.len <= 2) return no_reading;
  u32 k = log.ptr[sysrec::health_temperature] | (log.ptr[sysrec::health_temperature + 1] << 8);
  return k == 0 ? no_reading : deci_of_kelvin(k);
}

i16 from_storage(mem::Bytes answer) {
  if (answer.len < sizeof(sysrec::StorageTemps)) return no_reading;
  u32 count = ntinfo::rd32(answer, offsetof(sysrec::StorageTemps, count)) & 0xFFFF;
  if (count == 0) return no_reading;
  constexpr u64 at = offsetof(sysrec::StorageTemps, first) + offsetof(sysrec::StorageTemp, temperature);
  i16 celsius = static_cast<i16>(ntinfo::rd32(answer, at) & 0xFFFF);
  return clamp16(10 * static_cast<i64>(celsius));
}

u32 adapter_field(mem::Bytes b, u64 position) { return ntinfo::rd32(b, position); }

i16 warm_at(u32 kind) { return threshold_of(kind).warm; }
i16 hot_at(u32 kind) { return threshold_of(kind).hot; }
u32 level(u32 kind, i32 t) { return (t >= hot_at(kind)) + (t >= warm_at(kind)); }

void take_gpu(Readings* r, u32 slot, u64 luid, i32 t) {
  if (slot >= gpu_slots) return;
  r->gpu_luid[slot] = luid;
  bool good = usable(t, true);
  if (good) r->gpu[slot] = static_cast<i16>(t);
  r->gpu_mask = static_cast<u8>((r->gpu_mask & ~(1u << slot)) | (good ? 1u << slot : 0));
}

void take_disk(Readings* r, u32 slot, u32 id, i32 t) {
  if (slot >= disk_slots) return;
  r->disk_id[slot] = id;
  bool good = usable(t, true);
  if (good) r->disk[slot] = static_cast<i16>(t);
  r->disk_mask = static_cast<u16>((r->disk_mask & ~(1u << slot)) | (good ? 1u << slot : 0));
}

void take_sensor(Readings* r, mem::Bytes first, mem::Bytes second, i32 t, bool allow_zero) {
  if (!usable(t, allow_zero) || r->named >= sensors) return;
  put_name(r->name[r->named], first, second);
  r->sensor[r->named] = static_cast<i16>(t);
  ++r->named;
}

void put_name(u8* out24, mem::Bytes first, mem::Bytes second) {
  __builtin_memset(out24, 0, name_bytes);
  u64 gap = first.len && second.len ? 1 : 0;
  u64 total = first.len + gap + second.len;
  if (total > name_bytes - 1) total = name_bytes - 1;
  for (u64 i = 0; i < total; ++i) {
    u8 c = i < first.len ? first.ptr[i] : i < first.len + gap ? ' ' : second.ptr[i - first.len - gap];
    out24[i] = printable(c);
  }
}

u64 short_at(mem::Bytes name) {
  u64 at = 0;
  for (u64 i = 0; i < name.len; ++i) {
    if (name.ptr[i] == '.' || name.ptr[i] == '\\') at = i + 1;
  }
  return at;
}

u8 same_turn(Readings* r, const Readings* previous) {
  u8 mask = 0;
  for (u32 i = 0; i < sensors; ++i) {
    bool same = i < r->named && i < previous->named && r->sensor[i] == previous->sensor[i] &&
                __builtin_memcmp(r->name[i], previous->name[i], name_bytes) == 0;
    u32 count = same ? previous->unchanged[i] + 1u : 0;
    r->unchanged[i] = static_cast<u8>(count > frozen_turns ? frozen_turns : count);
    if (r->unchanged[i] >= frozen_turns) mask |= static_cast<u8>(1u << i);
  }
  r->frozen_mask = mask;
  return mask;
}

void place(Block* out, const Readings* r, const u64* gpu_luids, u32 gpus, const u32* disk_numbers, u32 disks) {
  *out = Block{};
  out->turn = r->turn;
  out->cpu = r->cpu;
  out->cpu_kind = r->cpu_kind;
  out->named = r->named;
  out->frozen_mask = r->frozen_mask;
  __builtin_memcpy(out->sensor, r->sensor, sizeof out->sensor);
  __builtin_memcpy(out->name, r->name, sizeof out->name);
  for (u32 i = 0; i < gpus && i < gpu_slots; ++i) {
    for (u32 s = 0; s < gpu_slots; ++s) {
      if (!((r->gpu_mask >> s) & 1) || r->gpu_luid[s] != gpu_luids[i]) continue;
      out->gpu[i] = r->gpu[s];
      out->gpu_mask |= static_cast<u8>(1u << i);
      break;
    }
  }
  for (u32 i = 0; i < disks && i < disk_slots; ++i) {
    for (u32 s = 0; s < disk_slots; ++s) {
      if (!((r->disk_mask >> s) & 1) || r->disk_id[s] != disk_numbers[i]) continue;
      out->disk[i] = r->disk[s];
      out->disk_mask |= static_cast<u16>(1u << i);
      break;
    }
  }
}

void zone_decode(mem::Bytes items, u64 base, u32 count, Readings* r) {
  u64 n = items.len / sizeof(sysrec::FmtItem);
  if (count < n) n = count;
  for (u64 k = 0; k < n; ++k) {
    u64 p = k * sizeof(sysrec::FmtItem);
    u64 offset = ntinfo::rd64(items, p + offsetof(sysrec::FmtItem, name_address)) - base;
    bool inside = offset < items.len && items.len - offset >= 2;
    u8 text[32];
    u64 units = 0;
    for (; inside && units < sizeof text; ++units) {
      u16 unit = ntinfo::unit_at(items, offset, units);
      if (unit == 0) break;
      text[units] = static_cast<u8>(unit >= 127 ? 127 : unit);
    }
    bool valid = inside && ntinfo::rd32(items, p + offsetof(sysrec::FmtItem, status)) == sysrec::counter_valid;
    i32 value = static_cast<i32>(ntinfo::rd32(items, p + offsetof(sysrec::FmtItem, value)));
    i16 t = valid ? clamp16(static_cast<i64>(value) - 2731) : no_reading;
    mem::Bytes name(text, units);
    u64 at = short_at(name);
    take_sensor(r, mem::lit("ACPI zone"), mem::Bytes(text + at, units - at), t, true);
  }
}

bool any(const Block* b) { return b->cpu_kind != 0 || b->gpu_mask || b->disk_mask || b->named; }
bool ok(const Block* b) { return b->cpu_kind <= 3 && b->named < 9; }
bool has_gpu(const Block* b, u32 i) { return i < gpu_slots && ((b->gpu_mask >> i) & 1); }
bool has_disk(const Block* b, u32 i) { return i < disk_slots && ((b->disk_mask >> i) & 1); }
u64 le64(mem::Bytes b, u64 position) { return ntinfo::rd64(b, position); }

}  // namespace heat
