#include "drawing/layout.h"

#include "base/bits.h"
#include "drawing/curve.h"

namespace layout {
namespace {

u64 at_most(u64 v, u64 top) { return v < top ? v : top; }
i32 clamp(i32 v, i32 lo, i32 hi) { return v < lo ? lo : (v > hi ? hi : v); }
i32 divisor(u32 n) { return n == 0 ? 1 : static_cast<i32>(n); }

}  // namespace

u64 present_of(u32 disks, u32 adapters, u32 gpus) {
  u64 d = bits::low_mask(at_most(disks, 16)), n = bits::low_mask(at_most(adapters, 8));
  u64 g = bits::low_mask(at_most(gpus, 4));
  return 3 | d << view_disks | n << view_nics | g << view_gpus;
}

u32 order_of(u64 mask, u32 bit) { return bits::word_count(mask & bits::low_mask(bit)); }

i32 plot_height(i32 h, u32 per_core, i32 cores_height, u32 details) {
  i64 v = i64{h} - 224 - 98 * i64{details != 0} - i64{per_core != 0} * (i64{cores_height} + 40);
  return static_cast<i32>(v < 80 ? 80 : (v > 640 ? 640 : v));
}

bool details_fit(i32 h, u32 per_core, i32 cores_height) {
  return i64{h} - i64{per_core != 0} * (i64{cores_height} + 40) >= 402;
}

bool details_wide(i32 w) { return w / 2 - 150 >= 120; }

i32 detail_left(i32 left, i32 right, u32 row) { return row <= 4 ? left : left + (right - left) / 2; }

i32 detail_top(i32 top, u32 row) { return top + static_cast<i32>(row % 5) * 18; }

i32 step_for(i32 w) { return clamp(w / 60, 1, 34); }

i32 core_rows(u32 cores, i32 budget) { return clamp(budget / divisor(cores), 2, 12); }

i32 core_fit(i32 h, u32 cores, i32 limit) {
  i32 v = (h - 344) / divisor(cores);
  if (v > limit) v = limit;
  return v < 2 ? 2 : v;
}

u32 multi_cols(u32 cores) { return cores > 16 ? 8 : 4; }

u32 multi_rows(u32 items, u32 columns) {
  if (items == 0) return 1;
  u32 c = columns == 0 ? 1 : columns;
  return items / c + (items % c != 0);
}

u32 saturate32(u64 v) { return static_cast<u32>(at_most(v, 0xFFFFFFFFu)); }

u32 byte_scale(u64 kib_per_s) {
  u64 mib = kib_per_s / 1024 + (kib_per_s % 1024 != 0);
  u64 nice = curve::nice_ceiling(mib);
  return nice > (u64{1} << 40) ? 0xFFFFFFFFu : saturate32(1024 * nice);
}

u32 bit_scale(u64 kib_per_s) {
  if (kib_per_s > (u64{1} << 40)) return 0xFFFFFFFFu;
  u64 bits_per_s = curve::nice_ceiling(kib_per_s * 8192);
  if (bits_per_s < 1000000) bits_per_s = 1000000;
  return saturate32(bits_per_s / 8192 + (bits_per_s % 8192 != 0));
}

u32 watt_scale(u64 tenths) {
  u64 nice = curve::nice_ceiling(tenths);
  return saturate32(nice < 100 ? 100 : nice);
}

u32 dots_of(u32 view) {
  if (view == view_memory || view == view_power) return 1;
  if (view >= view_nics && view < view_processes) return 3;
  return 2;
}

i32 label_center(u32 apply, u32 side, i32 x, i32 bound, i32 half) {
  if (apply == 0) return x;
  if (side == 1) return x > bound + half ? x : bound + half;
  return x < bound - half ? x : bound - half;
}

i32 tip_top(i32 y, i32 height, u32 lines, i32 area_top) {
  i64 above = i64{y} - 30 - 18 * i64{lines};
  return above >= area_top ? static_cast<i32>(above) : y + height + 14;
}

u32 first_cell(u32 rows) { return live_columns - static_cast<u32>(at_most(rows, live_columns)); }

u32 first_segment(u32 rows) {
  return static_cast<u32>(at_most(live_columns + 1 - at_most(rows, live_columns + 1), live_columns));
}

u32 redo_from(u32 delta, u32 step, u32 dot) {
  u64 s = step == 0 ? 1 : step;
  u64 trail = dot * ((s + 7) / s);
  u64 back = u64{delta} + (trail > 1 ? trail : 1);
  return back >= live_columns ? 0 : static_cast<u32>(live_columns - back);
}

u32 span_first(u32 a, u32 b, u32 c) {
  if (c == 0) return 0;
  u64 first = u64{a} * c / (b == 0 ? 1 : b);
  return static_cast<u32>(at_most(first, c - 1));
}

u32 span_last(u32 a, u32 b, u32 c) {
  if (c == 0) return 0;
  u64 last = (u64{c} * (u64{a} + 1) - 1) / (b == 0 ? 1 : b);
  return static_cast<u32>(at_most(last, c - 1));
}

u32 bucket_first(u32 a, u32 b) { return span_first(a, b, 600); }
u32 bucket_last(u32 a, u32 b) { return span_last(a, b, 600); }
u32 bucket_count(u32 a, u32 b) { return bucket_last(a, b) - bucket_first(a, b) + 1; }
u32 long_back(u32 a, u32 b) { return 599 - bucket_last(a, b); }

u32 engine_cols(u32 engines) { return engines > 4 ? 3 : 2; }

i32 gpu_chart_h(i32 h, u32 rows) {
  i32 v = (h - 28 * static_cast<i32>(rows) - 76) / (static_cast<i32>(rows) + 2);
  return v < 16 ? 16 : v;
}

u32 rail_rows(u32 items, i32 h, u32 fixed) {
  i64 fit = (i64{h} - 32 * i64{fixed} - 64) / 56;
  if (fit < 1) fit = 1;
  return static_cast<u32>(at_most(static_cast<u64>(fit), items));
}

u32 rail_first(u32 wanted, u32 items, u32 rows) {
  u32 last = items > rows ? items - rows : 0;
  return wanted < last ? wanted : last;
}

i32 rail_at(u64 mask, u32 view, u32 first) {
  return (static_cast<i32>(order_of(mask, view)) - static_cast<i32>(first)) * 56 + 48;
}

i32 views_at(u32 rows) { return 48 + 56 * static_cast<i32>(rows) + 16; }

i32 rail_notches(i32 delta) { return -(delta / 120); }

u32 tile_cols(i32 w, u32 tiles) {
  i32 fit = w / 100;
  u32 c = fit < 1 ? 1 : static_cast<u32>(fit);
  return c < tiles ? c : tiles;
}

u32 marks_fit(u32 present, u64 widths, i32 room, u32 drop_order) {
  i64 total = 0;
  for (u32 i = 0; i < 4; ++i)
    if (present & (1u << i)) total += (widths >> (16 * i)) & 0xFFFF;
  for (u32 n = 0; n < 4; ++n) {
    u32 mark = (drop_order >> (4 * n)) & 3;
    if (total > room && (present & (1u << mark))) {
      present &= ~(1u << mark);
      total -= (widths >> (16 * mark)) & 0xFFFF;
    }
  }
  return present;
}

u32 tiles_shown(u32 limit, u64 classes, u32 tiles) {
  u32 shown = 0;
  for (u32 i = 0; i < tiles && i < 16; ++i)
    if (((classes >> (4 * i)) & 15) < limit) shown |= 1u << i;
  return shown;
}

u32 tile_slot(u32 shown, u32 tile) { return bits::word_count(shown & bits::low_mask(tile)); }

bool has_flag(u8 flags, u8 bit) { return (flags & bit) != 0; }

u8 put_flag(u8 flags, u8 bit, u32 on) { return static_cast<u8>((flags & ~bit) | (bit * (on != 0))); }

}  // namespace layout
