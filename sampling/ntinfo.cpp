#include "sampling/ntinfo.h"

#include "base/bits.h"
#include "platform/sysrec.h"

namespace ntinfo {
namespace {

using sysrec::FmtItem;
using sysrec::IfRow;
using sysrec::ProcEntry;
using sysrec::RawItem;

constexpr u64 entry_head = sizeof(ProcEntry);
constexpr u64 row_bytes = sizeof(IfRow);
constexpr u64 ticks_per_second = 10000000;

// True when [position, position + size) lies inside the bytes, without overflow.
bool fits(u64 length, u64 position, u64 size) { return position <= length && length - position >= size; }

u16 rd16(mem::Bytes b, u64 position) {
  if (!fits(b.len, position, 2)) return 0;
  return static_cast<u16>(b.ptr[position] | (b.ptr[position + 1] << 8));
}

using bits::add_sat64;
using bits::sat32;
u8 printable(u16 unit) { return unit >= 32 && unit <= 126 ? static_cast<u8>(unit) : '?'; }
bool is_good(u32 status) { return status == sysrec::counter_valid || status == sysrec::counter_new; }

// For an item at p with a good status, its ASCII name in out; false for a bad status or a name that does not start
// inside the array. Formatted and raw items both begin with the name's address and the status.
bool good_item(mem::Bytes items, u64 p, u64 base, mem::Slice* out) {
  static_assert(offsetof(FmtItem, status) == offsetof(RawItem, status));
  if (!is_good(rd32(items, p + offsetof(FmtItem, status)))) return false;
  u64 offset = rd64(items, p + offsetof(FmtItem, name_address)) - base;
  if (offset >= items.len) return false;
  out->len = name_ascii(items, offset, *out);
  return true;
}

void zero(mem::Slice b, u64 from, u64 to) {
  if (to > b.len) to = b.len;
  if (from < to) __builtin_memset(b.ptr + from, 0, to - from);
}

}  // namespace

u32 rd32(mem::Bytes b, u64 position) {
  if (!fits(b.len, position, 4)) return 0;
  u32 v;
  __builtin_memcpy(&v, b.ptr + position, 4);
  return v;
}

u64 rd64(mem::Bytes b, u64 position) {
  if (!fits(b.len, position, 8)) return 0;
  u64 v;
  __builtin_memcpy(&v, b.ptr + position, 8);
  return v;
}

u16 unit_at(mem::Bytes b, u64 offset, u64 i) {
  if (offset > b.len || (b.len - offset) / 2 <= i) return 0;
  return rd16(b, offset + 2 * i);
}

u64 nonneg(i64 x) { return x < 0 ? 0 : static_cast<u64>(x); }

u64 midpoint(u64 a, u64 b) { return a + (b < a ? 0 : (b - a) / 2); }

// -- Processor times.

u32 cpu_count(u64 bytes) { return static_cast<u32>(bits::min64(bytes / sizeof(sysrec::CpuEntry), max_cpus)); }

u32 cpu_decode(mem::Bytes b, CpuColumns* out) {
  *out = CpuColumns{};
  u32 n = cpu_count(b.len);
  for (u32 i = 0; i < n; ++i) {
    u64 p = i * sizeof(sysrec::CpuEntry);
    out->idle[i] = rd64(b, p + offsetof(sysrec::CpuEntry, idle));
    out->kernel[i] = rd64(b, p + offsetof(sysrec::CpuEntry, kernel));
    out->user[i] = rd64(b, p + offsetof(sysrec::CpuEntry, user));
    out->interrupt[i] = rd64(b, p + offsetof(sysrec::CpuEntry, interrupt));
  }
  return n;
}

// -- Sizes.

u32 mib_of_bytes(u64 b) { return sat32(b >> 20); }
bool mib_over(u64 b) { return b > (1ull << 52) - 1; }

static u64 page_product(u64 pages, u64 page_size) {
  return bits::min64(pages, (1ull << 48) - 1) * bits::min64(page_size, 65535);
}
u32 mib_of_pages(u64 pages, u64 page_size) { return mib_of_bytes(page_product(pages, page_size)); }
bool pages_over(u64 pages, u64 page_size) { return mib_over(page_product(pages, page_size)); }

// -- Interface rows.

bool nic_tunnel(u32 type) {
  return type == sysrec::if_tunnel || type == sysrec::if_proprietary_virtual || type == sysrec::if_ppp;
}

bool nic_pass(u32 type, u8 flags, u32 oper_status, u32 media_state) {
  if (type == sysrec::if_loopback || (flags & sysrec::if_filter)) return false;
  if (!(flags & sysrec::if_hardware) && !nic_tunnel(type)) return false;
  return oper_status == sysrec::if_up && media_state == sysrec::if_connected;
}

bool nic_wanted(mem::Bytes row) {
  if (row.len < row_bytes) return false;
  return nic_pass(rd32(row, offsetof(IfRow, type)), row.ptr[offsetof(IfRow, flags)],
                  rd32(row, offsetof(IfRow, oper_status)), rd32(row, offsetof(IfRow, media_connect)));
}

u32 nic_table_count(mem::Bytes table) { return table.len > 3 ? rd32(table, 0) : 0; }

u32 nic_kept(u32 n) { return n < max_nics ? n : max_nics; }

u32 nic_decode(mem::Bytes rows, u32 count, Nics* out) {
  *out = Nics{};
  u32 n = static_cast<u32>(bits::min64(nic_kept(count), rows.len / row_bytes));
  for (u32 i = 0; i < n; ++i) {
    u64 p = i * row_bytes;
    out->luid[i] = rd64(rows, p + offsetof(IfRow, luid));
    out->received[i] = rd64(rows, p + offsetof(IfRow, in_octets));
    out->sent[i] = rd64(rows, p + offsetof(IfRow, out_octets));
    out->link_mbps[i] = sat32(rd64(rows, p + offsetof(IfRow, receive_speed)) / 1000000);
    name_ascii(rows, p + offsetof(IfRow, alias), mem::Slice{out->name[i], sizeof out->name[i]});
    u8 flags = rows.ptr[p + offsetof(IfRow, flags)];
    if (!(flags & sysrec::if_hardware) && nic_tunnel(rd32(rows, p + offsetof(IfRow, type)))) {
      out->virtual_mask |= 1u << i;
    }
  }
  out->count = n;
  return n;
}

void nic_scrub(mem::Slice rows, u32 count) {
  u64 n = bits::min64(count, rows.len / row_bytes);
  for (u64 i = 0; i < n; ++i) {
    u64 p = i * row_bytes;
    zero(rows, p + offsetof(IfRow, guid), p + offsetof(IfRow, alias));
    zero(rows, p + offsetof(IfRow, description), p + offsetof(IfRow, mtu));
    zero(rows, p + offsetof(IfRow, network_guid), p + offsetof(IfRow, connection_type));
  }
}

// -- Names.

bool tag_at(mem::Bytes text, u64 position, mem::Bytes tag) {
  if (!fits(text.len, position, tag.len)) return false;
  return __builtin_memcmp(text.ptr + position, tag.ptr, tag.len) == 0;
}

bool ends_with(mem::Bytes text, mem::Bytes suffix) {
  return text.len >= suffix.len && tag_at(text, text.len - suffix.len, suffix);
}

u64 trim_start(mem::Bytes text) {
  u64 i = 0;
  while (i < text.len && text.ptr[i] == ' ') ++i;
  return i;
}

u64 trim_end(mem::Bytes text) {
  u64 n = text.len;
  while (n > 0 && text.ptr[n - 1] == ' ') --n;
  return n;
}

u64 strip_tags(u8* text, u64 length) {
  mem::Bytes all(text, length);
  u64 w = 0;
  for (u64 r = 0; r < length;) {
    if (tag_at(all, r, mem::lit("(R)"))) {
      r += 3;
    } else if (tag_at(all, r, mem::lit("(TM)"))) {
      r += 4;
    } else {
      text[w++] = text[r++];
    }
  }
  return w;
}

u64 name_ascii(mem::Bytes b, u64 offset, mem::Slice out) {
  u8 text[64];
  u64 n = 0;
  for (; n < 64; ++n) {
    u16 unit = unit_at(b, offset, n);
    if (unit == 0) break;
    text[n] = printable(unit);
  }
  n = strip_tags(text, n);
  u64 end = trim_end(mem::Bytes(text, n));
  u64 start = trim_start(mem::Bytes(text, end));
  mem::fill(out, 0);
  u64 k = bits::min64(end - start, out.len);
  if (k) __builtin_memcpy(out.ptr, text + start, k);
  return k;
}

u32 digits_key(mem::Bytes b, u64 offset) {
  u64 key = 0;
  u32 i = 0;
  for (; i < 64; ++i) {
    u16 unit = unit_at(b, offset, i);
    if (unit < '0' || unit > '9') break;
    key = key * 10 + (unit - '0');
    if (key > 0xFFFFFFFEull) key = 0xFFFFFFFEull;
  }
  return i == 0 ? no_key : static_cast<u32>(key);
}

u32 letters_mask(mem::Bytes b, u64 offset) {
  u32 mask = 0;
  for (u32 i = 0; i + 1 < 64; ++i) {
    u16 unit = unit_at(b, offset, i);
    if (unit == 0) break;
    u16 upper = unit >= 'a' && unit <= 'z' ? static_cast<u16>(unit - 32) : unit;
    if (upper >= 'A' && upper <= 'Z' && unit_at(b, offset, i + 1) == ':') mask |= 1u << (upper - 'A');
  }
  return mask;
}

// -- Counter arrays.

u32 pdh_decode(mem::Bytes items, u64 base, u32 count, Items* out) {
  *out = Items{};
  out->listed = count;
  u32 n = static_cast<u32>(bits::min64(bits::min64(count, max_items), items.len / sizeof(FmtItem)));
  for (u32 k = 0; k < n; ++k) {
    u64 p = k * sizeof(FmtItem);
    out->status[k] = rd32(items, p + offsetof(FmtItem, status));
    out->value[k] = nonneg(static_cast<i64>(rd64(items, p + offsetof(FmtItem, value))));
    u64 offset = rd64(items, p + offsetof(FmtItem, name_address)) - base;
    out->key[k] = digits_key(items, offset);
    out->letters[k] = letters_mask(items, offset);
    name_ascii(items, offset, mem::Slice{out->name[k], sizeof out->name[k]});
  }
  out->count = n;
  return n;
}

u32 meter_part(mem::Bytes name) {
  if (ends_with(name, mem::lit("_PKG"))) return 0;
  if (ends_with(name, mem::lit("_DRAM"))) return 1;
  if (ends_with(name, mem::lit("_PSYS"))) return 3;
  return no_part;
}

namespace {

// Calls f(part, position) for each good raw item, of min(count, bytes / 48), whose name has a part.
template <typename F>
void each_part_item(mem::Bytes items, u64 base, u32 count, F f) {
  u64 n = bits::min64(count, items.len / sizeof(RawItem));
  for (u64 k = 0; k < n; ++k) {
    u64 p = k * sizeof(RawItem);
    u8 text[64];
    mem::Slice name{text, sizeof text};
    if (!good_item(items, p, base, &name)) continue;
    u32 part = meter_part(name);
    if (part != no_part) f(part, p);
  }
}

}  // namespace

u32 energy_decode(mem::Bytes items, u64 base, u32 count, u64 parts[4], u64 stamps[4]) {
  for (u32 i = 0; i < 4; ++i) parts[i] = stamps[i] = 0;
  u32 mask = 0;
  each_part_item(items, base, count, [&](u32 part, u64 p) {
    parts[part] = add_sat64(parts[part], nonneg(static_cast<i64>(rd64(items, p + offsetof(RawItem, first)))));
    stamps[part] = rd64(items, p + offsetof(RawItem, stamp_low));
    mask |= 1u << part;
  });
  return mask;
}

u32 energy_wraps(mem::Bytes items, u64 base, u32 count, u64 wraps[4]) {
  u32 seen = 0, mixed = 0;
  for (u32 i = 0; i < 4; ++i) wraps[i] = 0;
  each_part_item(items, base, count, [&](u32 part, u64 p) {
    u64 wrap = nonneg(static_cast<i64>(rd64(items, p + offsetof(RawItem, second))));
    if ((seen >> part & 1) && wraps[part] != wrap) mixed |= 1u << part;
    wraps[part] = wrap;
    seen |= 1u << part;
  });
  u32 mask = 0;
  for (u32 i = 0; i < 4; ++i) {
    if (mixed >> i & 1) wraps[i] = 0;
    mask |= wraps[i] != 0 ? 1u << i : 0;
  }
  return mask;
}

u64 meter_milliwatt(mem::Bytes items, u64 base, u32 count) {
  u64 sum = 0;
  bool any = false;
  u64 n = bits::min64(count, items.len / sizeof(FmtItem));
  for (u64 k = 0; k < n; ++k) {
    u64 p = k * sizeof(FmtItem);
    u8 text[64];
    mem::Slice name{text, sizeof text};
    if (!good_item(items, p, base, &name)) continue;
    if (mem::eq(name, mem::lit("_Total"))) continue;
    // The sum stays below none, so a huge reading is never taken for "no reading".
    sum = bits::min64(add_sat64(sum, nonneg(static_cast<i64>(rd64(items, p + offsetof(FmtItem, value))))), none - 1);
    any = true;
  }
  return any ? sum : none;
}

u64 battery_drain(mem::Bytes state) {
  if (state.len < offsetof(sysrec::BatteryState, rate) + 4) return none;
  u32 rate = rd32(state, offsetof(sysrec::BatteryState, rate));
  bool present = state.ptr[offsetof(sysrec::BatteryState, present)] != 0;
  bool discharging = state.ptr[offsetof(sysrec::BatteryState, discharging)] != 0;
  if (!present || !discharging || rate == sysrec::battery_rate_unknown || static_cast<i32>(rate) >= 0) return none;
  return static_cast<u64>(-static_cast<i64>(static_cast<i32>(rate)));
}

// -- TCP tables.

u32 tcp_listed(mem::Bytes table) { return table.len > 3 ? rd32(table, 0) : 0; }

u32 tcp_rows(mem::Bytes table, u32 row_size) {
  if (row_size == 0 || table.len < sysrec::tcp_table_head) return 0;
  return static_cast<u32>(bits::min64(tcp_listed(table), (table.len - sysrec::tcp_table_head) / row_size));
}

u32 tcp_bytes(u32 rows, u32 row_size) {
  return sat32(static_cast<u64>(rows) * row_size + sysrec::tcp_table_head);
}

u32 tcp_needed(u32 asked, u32 row_size) {
  if (asked < sysrec::tcp_table_head || row_size == 0) return 0;
  return static_cast<u32>((asked - sysrec::tcp_table_head) / row_size);
}

u32 tcp_used(u32 rows, u32 row_size, bool short_buffer, u32 asked) {
  return short_buffer ? asked : tcp_bytes(rows, row_size);
}

u32 tcp_take(mem::Bytes table, u32 row_size, u32 pid_offset, u32* list, u32 cap, u32 n) {
  u32 rows = tcp_rows(table, row_size);
  for (u32 r = 0; r < rows && n < cap; ++r) {
    list[n++] = rd32(table, sysrec::tcp_table_head + static_cast<u64>(r) * row_size + pid_offset);
  }
  return n;
}

// -- The process chain.

u32 proc_slot(u32 n) { return n < max_procs ? n : max_procs; }

u32 start_of(u64 now, u64 created) { return now < created ? 0 : sat32((now - created) / ticks_per_second); }

u32 name_inside(u64 offset, u32 units, u64 size) {
  if (!fits(size, offset, 2 * static_cast<u64>(units))) return 0;
  return units < 256 ? units : 256;
}

u64 name_take(mem::Bytes b, u64 offset, u32 units, bool is_idle, mem::Slice out) {
  if (is_idle) {
    mem::Bytes idle = mem::lit("Idle");
    mem::copy(out, idle);
    return bits::min64(idle.len, out.len);
  }
  u32 n = name_inside(offset, units, b.len);
  u32 start = 0;
  for (u32 i = 0; i < n; ++i) {
    u16 unit = unit_at(b, offset, i);
    if (unit == '\\') start = i + 1;
  }
  u64 k = 0;
  for (u32 i = start; i < n && k < out.len; ++i) out.ptr[k++] = printable(unit_at(b, offset, i));
  return k;
}

namespace {

// The walk's rule for the step after an entry: 0 ends normally, a step below the head size or not a multiple of 8
// ends as malformed, and so does a next entry with fewer than a head's bytes left.
enum Step : u32 { step_next, step_end, step_bad };

Step step_after(mem::Bytes b, u64 pos, u64* next_pos) {
  u32 next = rd32(b, pos + offsetof(ProcEntry, next));
  if (next == 0) return step_end;
  if (next < entry_head || next % 8 != 0) return step_bad;
  *next_pos = pos + next;
  return fits(b.len, *next_pos, entry_head) ? step_next : step_bad;
}

void walk_entry(mem::Bytes b, u64 pos, u64 buffer_address, u64 boot_time, ProcWalk* out) {
  u32 threads = proc_fill(b, pos, buffer_address, boot_time, out, proc_slot(out->entries));
  out->threads = sat32(static_cast<u64>(out->threads) + threads);
  if (out->entries < 0xFFFFFFFFu) ++out->entries;
}

}  // namespace

u32 proc_fill(mem::Bytes b, u64 pos, u64 buffer_address, u64 boot_time, ProcWalk* out, u32 s) {
  u32 threads = rd32(b, pos + offsetof(ProcEntry, threads));
  out->pid[s] = rd32(b, pos + offsetof(ProcEntry, pid));
  out->parent[s] = rd32(b, pos + offsetof(ProcEntry, parent_pid));
  out->start[s] = start_of(rd64(b, pos + offsetof(ProcEntry, create_time)), boot_time);
  out->thread_count[s] = threads;
  out->handles[s] = rd32(b, pos + offsetof(ProcEntry, handles));
  out->tcp[s] = 0;
  out->name_units[s] = rd16(b, pos + offsetof(ProcEntry, name_length)) / 2;
  out->name_offset[s] = rd64(b, pos + offsetof(ProcEntry, name_address)) - buffer_address;
  out->cpu[s] = add_sat64(rd64(b, pos + offsetof(ProcEntry, user_time)), rd64(b, pos + offsetof(ProcEntry, kernel_time)));
  out->working_set[s] = rd64(b, pos + offsetof(ProcEntry, working_set));
  out->private_bytes[s] = rd64(b, pos + offsetof(ProcEntry, private_bytes));
  out->read_bytes[s] = rd64(b, pos + offsetof(ProcEntry, read_bytes));
  out->write_bytes[s] = rd64(b, pos + offsetof(ProcEntry, write_bytes));
  return threads;
}

bool proc_next(mem::Bytes b, u64* pos) {
  if (*pos == ~u64{0}) {
    *pos = 0;
    return fits(b.len, 0, entry_head);
  }
  return step_after(b, *pos, pos) == step_next;
}

void proc_walk(mem::Bytes b, u64 buffer_address, u64 boot_time, ProcWalk* out) {
  out->stored = out->entries = out->threads = out->flags = 0;
  if (b.len == 0) return;
  u64 pos = 0;
  Step step = fits(b.len, 0, entry_head) ? step_next : step_bad;
  while (step == step_next) {
    walk_entry(b, pos, buffer_address, boot_time, out);
    step = step_after(b, pos, &pos);
  }
  if (step == step_bad) out->flags |= walk_malformed;
  if (out->entries > max_procs) out->flags |= walk_more;
  out->stored = proc_slot(out->entries);
}

namespace {

// Spare ranges of the head: everything the walk does not read.
constexpr u64 spares[][2] = {
    {offsetof(ProcEntry, spare_8), offsetof(ProcEntry, create_time)},
    {offsetof(ProcEntry, spare_72), offsetof(ProcEntry, pid)},
    {offsetof(ProcEntry, spare_100), offsetof(ProcEntry, working_set)},
    {offsetof(ProcEntry, spare_152), offsetof(ProcEntry, private_bytes)},
    {offsetof(ProcEntry, spare_192), offsetof(ProcEntry, read_bytes)},
    {offsetof(ProcEntry, spare_248), entry_head},
};

}  // namespace

void proc_scrub(mem::Slice b, u64 buffer_address) {
  mem::Bytes all = b;
  u64 pos = 0;
  Step step = fits(b.len, 0, entry_head) ? step_next : step_bad;
  while (step == step_next) {
    u64 next_pos = 0;
    step = step_after(all, pos, &next_pos);
    u64 end = step == step_next ? next_pos : b.len;
    for (const auto& s : spares) zero(b, pos + s[0], pos + s[1]);
    // Keep the name only where it lies in this entry's own tail; everything else after the head goes.
    u64 offset = rd64(all, pos + offsetof(ProcEntry, name_address)) - buffer_address;
    u64 bytes = 2 * static_cast<u64>(name_inside(offset, rd16(all, pos + offsetof(ProcEntry, name_length)) / 2, end));
    if (bytes && offset >= pos + entry_head) {
      zero(b, pos + entry_head, offset);
      zero(b, offset + bytes, end);
    } else {
      zero(b, pos + entry_head, end);
    }
    pos = end;
  }
  zero(b, pos, b.len);
}

}  // namespace ntinfo
