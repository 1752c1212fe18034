#include "sampling/gpu.h"

#include "sampling/ntinfo.h"
#include "platform/sysrec.h"

namespace gpu {
namespace {

constexpr u64 fnv_basis = 0xcbf29ce484222325ull;
constexpr u64 fnv_prime = 0x100000001b3ull;

u8 lower(u8 c) { return c >= 'A' && c <= 'Z' ? static_cast<u8>(c + 32) : c; }
bool is_digit(u8 c) { return c >= '0' && c <= '9'; }

i32 hex_value(u8 c) {
  c = lower(c);
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool tag_at(mem::Bytes text, u64 at, mem::Bytes tag) { return ntinfo::tag_at(text, at, tag); }

// Case-insensitive tag at position.
bool tag_at_nocase(mem::Bytes text, u64 at, mem::Bytes tag) {
  if (at > text.len || text.len - at < tag.len) return false;
  for (u64 i = 0; i < tag.len; ++i) {
    if (lower(text.ptr[at + i]) != lower(tag.ptr[i])) return false;
  }
  return true;
}

bool contains(mem::Bytes text, mem::Bytes tag) {
  for (u64 at = 0; at + tag.len <= text.len; ++at) {
    if (tag_at(text, at, tag)) return true;
  }
  return false;
}

// 1..10 decimal digits at *at into *out, saturating at 2^32 - 1; false (and *at unchanged) when there is none.
bool digits(mem::Bytes text, u64* at, u32* out) {
  u64 p = *at, value = 0;
  while (p < text.len && p - *at < 10 && is_digit(text.ptr[p])) {
    value = value * 10 + (text.ptr[p] - '0');
    ++p;
  }
  if (p == *at) return false;
  *at = p;
  *out = value > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<u32>(value);
  return true;
}

// 8 hex digits at position; false when any is missing.
bool hex8(mem::Bytes text, u64 at, u32* out) {
  if (at > text.len || text.len - at < 8) return false;
  u32 value = 0;
  for (u64 i = 0; i < 8; ++i) {
    i32 h = hex_value(text.ptr[at + i]);
    if (h < 0) return false;
    value = value << 4 | static_cast<u32>(h);
  }
  *out = value;
  return true;
}

bool good_status(u32 status) { return status == sysrec::counter_valid || status == sysrec::counter_new; }

u8 cap8(u32 v, u32 cap) { return static_cast<u8>(v < cap ? v : cap); }

void set_class(Section* s, u32 row, u8 engine_class) {
  for (u32 k = 0; k < 3; ++k) {
    u64 bit = 1ull << (row % 64);
    u64* word = &s->class_bits[k][row / 64];
    *word = (engine_class >> k & 1) ? *word | bit : *word & ~bit;
  }
}

u8 class_of_row(const Section* s, u32 row) {
  u32 c = 0;
  for (u32 k = 0; k < 3; ++k) c |= static_cast<u32>(s->class_bits[k][row / 64] >> (row % 64) & 1) << k;
  return static_cast<u8>(c);
}

// Probes for key in one generation: the slot holding it, else the first empty slot met (found false), else null.
Slot* probe(Slot* slots_of, u64 key, bool* found) {
  *found = false;
  for (u32 n = 0; n < slots; ++n) {
    Slot* s = &slots_of[(key + n) & (slots - 1)];
    if (s->key == key) {
      *found = true;
      return s;
    }
    if (s->key == 0) return s;
  }
  return nullptr;
}

struct Looked {
  Instance inst;
  bool previous;  // raw values of the last sample exist
  u64 first, second;
};

// Finds the instance of the name at offset in the last generation, or parses its name.
Looked look_up(InstanceTable* t, mem::Bytes b, u64 offset, u64 key) {
  Looked l{};
  bool found = false;
  Slot* old = probe(t->slot[t->generation ^ 1], key, &found);
  if (found) {
    ++t->found;
    l.inst = Instance{old->luid, old->pid, old->phys, old->engine, old->engine_class, old->parts};
    l.previous = true;
    l.first = old->first;
    l.second = old->second;
    return l;
  }
  u8 name[name_units];
  u64 n = instance_name(b, offset, name);
  l.inst = parse_instance(mem::Bytes(name, n));
  ++t->parsed;
  return l;
}

void store(InstanceTable* t, u64 key, const Instance& inst, u64 first, u64 second) {
  u32 g = t->generation & 1;
  bool found = false;
  Slot* s = probe(t->slot[g], key, &found);
  if (!s || (!found && t->count[g] >= keys_max)) return;
  if (!found) ++t->count[g];
  *s = Slot{key, inst.luid, first, second, inst.pid, cap8(inst.engine, 255), cap8(inst.phys, 3), inst.engine_class,
            inst.parts};
}

struct Item {
  u64 offset;  // of the name in the array
  u32 status;
  i64 value;   // formatted value, or the raw first value
  i64 second;  // raw second value
};

Item item_at(mem::Bytes b, u64 p, u64 base, bool raw) {
  Item it{};
  it.offset = ntinfo::rd64(b, p) - base;
  it.status = ntinfo::rd32(b, p + 8);
  it.value = static_cast<i64>(ntinfo::rd64(b, p + (raw ? 24 : 16)));
  it.second = raw ? static_cast<i64>(ntinfo::rd64(b, p + 32)) : 0;
  return it;
}

void build_adapters(u32 array, mem::Bytes b, u64 base, u32 items, Section* s) {
  u32 n = static_cast<u32>(b.len / 24 < items ? b.len / 24 : items);
  for (u32 i = 0; i < n; ++i) {
    Item it = item_at(b, i * 24ull, base, false);
    u8 name[name_units];
    Instance inst = parse_instance(mem::Bytes(name, instance_name(b, it.offset, name)));
    if (inst.parts != part_adapter) continue;
    u64 value = good_status(it.status) ? ntinfo::nonneg(it.value) : 0;
    if (array == 1) {
      u8 a = adapter_index(s, inst.luid);
      if (a != not_listed) s->shared[a] = value;
    } else if (s->adapters < adapters_max) {
      s->luid[s->adapters] = inst.luid;
      s->dedicated[s->adapters] = value;
      ++s->adapters;
    } else {
      s->flags |= adapters_over;
    }
  }
}

void build_engines(mem::Bytes b, u64 base, u32 items, InstanceTable* t, Section* s) {
  u32 n = static_cast<u32>(b.len / 48 < items ? b.len / 48 : items);
  u32 row = 0, seen = 0;
  for (u32 i = 0; i < n; ++i) {
    Item it = item_at(b, i * 48ull, base, true);
    u64 key = instance_key(b, it.offset);
    Looked l = look_up(t, b, it.offset, key);
    u64 first = static_cast<u64>(it.value), second = static_cast<u64>(it.second);
    store(t, key, l.inst, first, second);
    u32 util = 0;
    if (l.previous && good_status(it.status)) {
      util = util_of(first > l.first ? first - l.first : 0, second > l.second ? second - l.second : 0);
    }
    s->engine_pid[row] = l.inst.pid;
    s->util[row] = static_cast<i16>(util);
    s->engine_adapter[row] = adapter_index(s, l.inst.luid);
    s->engine_number[row] = cap8(l.inst.engine, 255);
    s->engine_phys[row] = cap8(l.inst.phys, 3);
    set_class(s, row, l.inst.engine_class);
    if (!(l.inst.parts & part_engine)) continue;
    ++seen;
    if (row < engines_max) ++row;
  }
  s->engine_rows = row;
  s->engines_seen = seen;
  if (row < seen) s->flags |= engines_truncated;
}

void build_memory(mem::Bytes b, u64 base, u32 items, InstanceTable* t, Section* s) {
  u32 n = static_cast<u32>(b.len / 24 < items ? b.len / 24 : items);
  u32 row = 0, seen = 0;
  for (u32 i = 0; i < n; ++i) {
    Item it = item_at(b, i * 24ull, base, false);
    u64 key = instance_key(b, it.offset);
    Looked l = look_up(t, b, it.offset, key);
    store(t, key, l.inst, 0, 0);
    s->memory_pid[row] = l.inst.pid;
    s->memory_adapter[row] = adapter_index(s, l.inst.luid);
    s->memory_bytes[row] = good_status(it.status) ? ntinfo::nonneg(it.value) : 0;
    if ((l.inst.parts & (part_process | part_adapter | part_engine)) != (part_process | part_adapter)) continue;
    ++seen;
    if (row < memory_max) ++row;
  }
  s->memory_rows = row;
  s->memory_seen = seen;
  if (row < seen) s->flags |= process_truncated;
}

}  // namespace

// ---- Names.

Instance parse_instance(mem::Bytes name) {
  Instance inst{};
  u64 d = 0;
  if (tag_at(name, 0, mem::lit("pid_"))) {
    u64 at = 4;
    u32 pid = 0;
    if (digits(name, &at, &pid) && tag_at(name, at, mem::lit("_"))) {
      inst.pid = pid;
      inst.parts |= part_process;
      d = at + 1;
    }
  }
  u32 high = 0, low = 0;
  if (!tag_at(name, d, mem::lit("luid_0x")) || !hex8(name, d + 7, &high) || !tag_at(name, d + 15, mem::lit("_0x")) ||
      !hex8(name, d + 18, &low) || !tag_at(name, d + 26, mem::lit("_phys_"))) {
    return inst;
  }
  u64 at = d + 32;
  u32 phys = 0;
  if (!digits(name, &at, &phys)) return inst;
  inst.luid = static_cast<u64>(high) << 32 | low;
  inst.phys = phys;
  inst.parts |= part_adapter;
  if (!tag_at(name, at, mem::lit("_eng_"))) return inst;
  at += 5;
  u32 engine = 0;
  if (!digits(name, &at, &engine) || !tag_at(name, at, mem::lit("_engtype_"))) return inst;
  at += 9;
  inst.engine = engine;
  inst.engine_class = engine_class(mem::Bytes(name.ptr + at, name.len - at));
  inst.parts |= part_engine;
  return inst;
}

u8 engine_class(mem::Bytes type) {
  u8 c = class_other;
  if (tag_at(type, 0, mem::lit("3D"))) c = class_3d;
  if (tag_at(type, 0, mem::lit("Copy"))) c = class_copy;
  bool video = tag_at(type, 0, mem::lit("Video"));
  bool decode = contains(type, mem::lit("Decode")), encode = contains(type, mem::lit("Encode"));
  if (video && decode && !encode) c = class_decode;
  if (video && encode && !decode) c = class_encode;
  if (contains(type, mem::lit("Compute"))) c = class_compute;
  return c;
}

i32 id_after(mem::Bytes text, mem::Bytes tag) {
  for (u64 at = 0; at + tag.len <= text.len; ++at) {
    if (!tag_at_nocase(text, at, tag)) continue;
    u64 p = at + tag.len;
    if (text.len - p < 4) continue;
    i32 value = 0;
    bool good = true;
    for (u64 i = 0; i < 4 && good; ++i) {
      i32 h = hex_value(text.ptr[p + i]);
      good = h >= 0;
      value = value << 4 | h;
    }
    if (good) return value;
  }
  return -1;
}

u64 instance_name(mem::Bytes b, u64 offset, u8* out) {
  if (offset >= b.len) return 0;
  u64 n = 0;
  for (; n < name_units; ++n) {
    u16 unit = ntinfo::unit_at(b, offset, n);
    if (unit == 0) break;
    out[n] = unit >= 32 && unit <= 126 ? static_cast<u8>(unit) : '?';
  }
  return n;
}

u64 instance_key(mem::Bytes b, u64 offset) {
  u64 h = fnv_basis;
  for (u64 n = 0; offset < b.len && n < name_units; ++n) {
    u16 unit = ntinfo::unit_at(b, offset, n);
    if (unit == 0) break;
    h = (h ^ (unit & 0xFF)) * fnv_prime;
    h = (h ^ (unit >> 8)) * fnv_prime;
  }
  return h == 0 ? 1 : h;
}

// ---- Rates and the table.

u32 util_of(u64 a, u64 b) {
  if (b > (1ull << 40)) {
    a >>= 24;
    b >>= 24;
  }
  if (b == 0) return 0;
  if (a > b) a = b;
  return static_cast<u32>((a * 10000 + b / 2) / b);
}

void table_reset(InstanceTable* t) {
  t->generation = (t->generation & 1) ^ 1;
  // Every key stored was counted, so a generation that counted none holds none: its 650 KB are not written again
  // (on a machine without GPU counters that is every sample, and the pages stay untouched).
  if (t->count[t->generation] == 0) return;
  t->count[t->generation] = 0;
  for (Slot& s : t->slot[t->generation]) s.key = 0;
}

void build(u32 array, bool ok, const u8* data, u32 bytes, u64 base, u32 items, InstanceTable* table,
           Section* section) {
  if (array > 3) return;
  if (!ok) {
    section->flags |= array <= 1 ? memory_failed : array == 2 ? engines_failed : process_failed;
    return;
  }
  mem::Bytes b(data, data ? bytes : 0);  // an empty answer may come without a buffer
  if (array <= 1) build_adapters(array, b, base, items, section);
  if (array == 2) build_engines(b, base, items, table, section);
  if (array == 3) build_memory(b, base, items, table, section);
}

u8 adapter_index(const Section* s, u64 luid) {
  u32 n = s->adapters < adapters_max ? s->adapters : adapters_max;
  for (u32 a = 0; a < n; ++a) {
    if (s->luid[a] == luid) return static_cast<u8>(a);
  }
  return not_listed;
}

// ---- Folds.

void fold_procs(const Section* s, const AdapterList* list, Kept* out) {
  *out = Kept{};
  for (u32 k = 0; k < kept_max; ++k) {
    out->section[k] = not_listed;
    out->listed[k] = -1;
  }
  for (u8& m : out->slot_of) m = not_listed;
  u32 adapters = s->adapters < adapters_max ? s->adapters : adapters_max;
  u32 listed = list->listed < listed_max ? list->listed : listed_max;
  for (u32 a = 0; a < adapters; ++a) {
    i32 at = -1;
    for (u32 j = 0; j < listed; ++j) {
      if (list->luid[j] == s->luid[a] && (at < 0 || list->last_seen[j] > list->last_seen[at])) at = static_cast<i32>(j);
    }
    if (at >= 0 && (list->type[at] & software_device)) continue;
    if (out->count == kept_max) {
      out->overflow = 1;
      continue;
    }
    out->section[out->count] = static_cast<u8>(a);
    out->listed[out->count] = at;
    out->slot_of[a] = static_cast<u8>(out->count);
    ++out->count;
  }
}

void fold_engines(const Section* s, const Kept* kept, Engines* out) {
  __builtin_memset(out, 0, sizeof *out);
  u32 rows = s->engine_rows < engines_max ? s->engine_rows : engines_max;
  for (u32 r = 0; r < rows; ++r) {
    u8 a = s->engine_adapter[r];
    if (a >= adapters_max || kept->slot_of[a] >= kept_max) continue;
    u32 phys = s->engine_phys[r] < 3 ? s->engine_phys[r] : 3;
    u32 cell = kept->slot_of[a] * 1024u + phys * 256u + s->engine_number[r];
    out->sum[cell] += s->util[r] > 0 ? static_cast<u32>(s->util[r]) : 0;
    out->cell_class[cell] = class_of_row(s, r);
    out->present[cell] = 1;
  }
  for (u32 cell = 0; cell < cells; ++cell) {
    if (!out->present[cell]) continue;
    u32 slot = cell / 1024, c = out->cell_class[cell] < classes ? out->cell_class[cell] : classes - 1;
    if (out->sum[cell] > out->max[slot][c]) out->max[slot][c] = out->sum[cell];
    out->mask[slot] |= static_cast<u8>(1u << c);
  }
}

u32 adapter_peak(const Engines* e, u32 slot) {
  if (slot >= kept_max) return 0;
  u32 peak = 0;
  for (u32 c = 0; c < classes; ++c) peak = e->max[slot][c] > peak ? e->max[slot][c] : peak;
  return peak;
}

}  // namespace gpu
