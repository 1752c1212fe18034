#include <gtest/gtest.h>

#include "views/layout.h"

namespace {

TEST(Layout, LiveColumns) {
  struct Case {
    u32 rows, cell, segment;
  } cases[] = {{0, 60, 60}, {1, 59, 60}, {60, 0, 1}, {61, 0, 0}, {600, 0, 0}, {0xFFFFFFFF, 0, 0}};
  for (const Case& c : cases) {
    EXPECT_EQ(layout::first_cell(c.rows), c.cell) << c.rows;
    EXPECT_EQ(layout::first_segment(c.rows), c.segment) << c.rows;
  }
  struct Redo {
    u32 delta, step, dot, from;
  } redo[] = {{0, 1, 0, 59}, {1, 1, 0, 58}, {1, 1, 1, 51}, {1, 0, 1, 51}, {1, 8, 1, 58},
              {2, 3, 1, 55}, {59, 1, 0, 0}, {60, 1, 0, 0}, {0xFFFFFFFF, 1, 1, 0}};
  for (const Redo& r : redo) EXPECT_EQ(layout::redo_from(r.delta, r.step, r.dot), r.from) << r.delta << " " << r.step;
}

TEST(Layout, SpansCoverEveryItemOnce) {
  EXPECT_EQ(layout::span_first(0, 0, 5), 0u);
  EXPECT_EQ(layout::span_last(0, 0, 5), 4u);  // b of 0 counts as 1: the one column covers all
  EXPECT_EQ(layout::span_first(3, 4, 0), 0u);
  EXPECT_EQ(layout::span_last(3, 4, 0), 0u);
  EXPECT_EQ(layout::span_first(9, 4, 10), 9u);  // a beyond the columns stays on the last item
  // More items than columns: the runs of consecutive columns leave no item out; neighbours share at most the item
  // on their border.
  for (u32 b : {1u, 7u, 730u}) {
    for (u32 c : {7u, 730u, 17520u}) {
      if (c < b) continue;
      EXPECT_EQ(layout::span_first(0, b, c), 0u);
      EXPECT_EQ(layout::span_last(b - 1, b, c), c - 1);
      for (u32 a = 0; a + 1 < b; ++a) {
        u32 last = layout::span_last(a, b, c), next = layout::span_first(a + 1, b, c);
        ASSERT_GE(last, layout::span_first(a, b, c));
        ASSERT_TRUE(next == last || next == last + 1) << a << " " << b << " " << c;
      }
    }
  }
}

}  // namespace
