#include "views/layout.h"

namespace layout {
namespace {

u64 at_most(u64 v, u64 top) { return v < top ? v : top; }

}  // namespace

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

}  // namespace layout
