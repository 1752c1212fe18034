#pragma once
// The integer rules under every resource page: which views a machine offers and where they sit on the rail, the
// vertical budget of a page, column steps, the folding of 600 samples into fewer columns, axis tops, tile and
// title-bar mark fitting. Pure functions of counts and logical pixels (96 DPI); none keeps state. Divisions
// truncate toward zero; a divisor that may be 0 counts as 1. It sits with the drawing code because the charts
// draw their columns by the same rules that the pages lay out with.
#include "base/mem.h"

namespace layout {

// Columns of a live chart.
constexpr u32 live_columns = 60;

// View ids: 0 CPU, 1 memory, 2-17 disks, 18-25 adapters, 26-29 GPUs, 34 power. 30, 31 and 33 are rail entries
// (Processes, Overview, Settings), never views.
enum : u32 {
  view_cpu = 0,
  view_memory = 1,
  view_disks = 2,
  view_nics = 18,
  view_gpus = 26,
  view_processes = 30,
  view_overview = 31,
  view_settings = 33,
  view_power = 34,
};

// 3 | (2^d - 1) << 2 | (2^n - 1) << 18 | (2^g - 1) << 26, counts capped at 16, 8 and 4.
u64 present_of(u32 disks, u32 adapters, u32 gpus);
// Present views below bit: the rail position of a view among the views.
u32 order_of(u64 mask, u32 bit);

// ---- Vertical budget
// clamp(h - 224 - 98 b - p (c + 40), 80, 640).
i32 plot_height(i32 h, u32 per_core, i32 cores_height, u32 details);
// The detail block keeps the plot at 80 px: h - p (c + 40) >= 402.
bool details_fit(i32 h, u32 per_core, i32 cores_height);
// Content width w leaves 120 px of value box in each column: w / 2 - 150 >= 120.
bool details_wide(i32 w);
// Rows 0-4 form the left column, 5-9 the right column, which starts halfway across.
i32 detail_left(i32 left, i32 right, u32 row);
i32 detail_top(i32 top, u32 row);

// ---- Columns and per-core charts
// clamp(w / 60, 1, 34).
i32 step_for(i32 w);
// clamp(m / max(n, 1), 2, 12).
i32 core_rows(u32 cores, i32 budget);
// max(min((h - 344) / max(n, 1), limit), 2).
i32 core_fit(i32 h, u32 cores, i32 limit);
// 8 columns above 16 processors, else 4.
u32 multi_cols(u32 cores);
// ceil(n / c), 1 for no items.
u32 multi_rows(u32 items, u32 columns);

// ---- Axis tops, computed in 64 bits and saturated to 32
u32 saturate32(u64 v);
// 1024 x nice(ceil(v / 1024)): a 1-2-5 number of MiB/s.
u32 byte_scale(u64 kib_per_s);
// ceil(max(nice(8192 v), 1,000,000) / 8192): a 1-2-5 number of bit/s, at least one megabit.
u32 bit_scale(u64 kib_per_s);
// max(nice(v), 100).
u32 watt_scale(u64 tenths);
// Layers with an end dot: 1 memory and power, 2 CPU and disks, 3 adapters and GPUs.
u32 dots_of(u32 view);

// ---- Placement
// x unless apply; side 1 pushes it down to at least b + s, otherwise up to at most b - s.
i32 label_center(u32 apply, u32 side, i32 x, i32 bound, i32 half);
// Above the point when it fits under the area top, else 14 px below it.
i32 tip_top(i32 y, i32 height, u32 lines, i32 area_top);

// ---- Live columns and folding
// First column of a live heat strip that has data: 60 - min(rows, 60).
u32 first_cell(u32 rows);
// First column of a live area chart that has data: 61 - min(rows, 61), at most 60.
u32 first_segment(u32 rows);
// First of the 60 columns to draw again after the chart moved by delta columns; step 0 counts as 1, dot is 1 when
// the chart has a newest-value dot.
u32 redo_from(u32 delta, u32 step, u32 dot);
// First and last of c items that column a of b columns covers (b of 0 counts as 1); at most c - 1, 0 for no items.
u32 span_first(u32 a, u32 b, u32 c);
u32 span_last(u32 a, u32 b, u32 c);
// The same over the 600 rows of the ten-minute range.
u32 bucket_first(u32 a, u32 b);
u32 bucket_last(u32 a, u32 b);
u32 bucket_count(u32 a, u32 b);
// Samples back from the newest where column a ends: 599 - bucket_last.
u32 long_back(u32 a, u32 b);

// ---- GPU page
u32 engine_cols(u32 engines);
// max((h - 28 r - 76) / (r + 2), 16).
i32 gpu_chart_h(i32 h, u32 rows);

// ---- Rail: rows of 56 px from y 48, k fixed entries of 32 px below
u32 rail_rows(u32 items, i32 h, u32 fixed);
u32 rail_first(u32 wanted, u32 items, u32 rows);
// (order_of(mask, id) - first) x 56 + 48: the top of the row above the view's own.
i32 rail_at(u64 mask, u32 view, u32 first);
i32 views_at(u32 rows);
// -(delta / 120): turning the wheel away from the user scrolls up.
i32 rail_notches(i32 delta);

// ---- Tiles and title-bar marks
u32 tile_cols(i32 w, u32 tiles);
// Present bits left after dropping marks in the nibble order while the total width exceeds the room. widths holds
// four u16, mark i in bits 16i..16i + 15.
u32 marks_fit(u32 present, u64 widths, i32 room, u32 drop_order);
// Bit i set when nibble i of classes is below limit, for i < n.
u32 tiles_shown(u32 limit, u64 classes, u32 tiles);
u32 tile_slot(u32 shown, u32 tile);

// ---- Flag bytes
bool has_flag(u8 flags, u8 bit);
u8 put_flag(u8 flags, u8 bit, u32 on);

}  // namespace layout
