#pragma once
// Column arithmetic of the live charts and of long-range charts that draw more items than they have columns. Pure
// functions of counts; the charts call them while laying out.
#include "base/mem.h"

namespace layout {

// Columns of a live chart.
constexpr u32 live_columns = 60;

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

}  // namespace layout
