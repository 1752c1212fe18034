#include "sampling/ring.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

// A row whose every byte tells which push it came from and where it sits.
ring::Row row_of(u32 k) {
  ring::Row r;
  u8* b = reinterpret_cast<u8*>(&r);
  for (u32 i = 0; i < sizeof r; ++i) b[i] = static_cast<u8>(k * 31 + i * 7 + 1);
  return r;
}

void expect_row(const ring::Row& got, u32 k) {
  ring::Row want = row_of(k);
  reinterpret_cast<u8*>(&want)[23] = 0;
  EXPECT_EQ(std::memcmp(&got, &want, sizeof want), 0) << "push " << k;
}

TEST(Ring, CapacityIsClamped) {
  EXPECT_EQ(ring::clamp_cap(0), 1u);
  EXPECT_EQ(ring::clamp_cap(1000), 600u);
  EXPECT_EQ(ring::clamp_cap(17), 17u);
  auto r = std::make_unique<ring::Ring>();
  ring::init(r.get(), 0);
  EXPECT_EQ(r->capacity, 1u);
  ring::Row got;
  for (u32 k = 1; k <= 3; ++k) EXPECT_EQ(ring::push(r.get(), &(got = row_of(k))), 1u);
  EXPECT_TRUE(ring::at(r.get(), 0, &got));
  expect_row(got, 3);
  EXPECT_FALSE(ring::at(r.get(), 1, &got));
}

TEST(Ring, WrapKeepsTheLastSixHundred) {
  auto r = std::make_unique<ring::Ring>();
  ring::init(r.get(), 600);
  ring::Row got;
  EXPECT_FALSE(ring::at(r.get(), 0, &got));
  for (u32 k = 1; k <= 601; ++k) {
    ring::Row in = row_of(k);
    ASSERT_EQ(ring::push(r.get(), &in), k < 600 ? k : 600u);
  }
  EXPECT_EQ(r->next, 1u);
  EXPECT_TRUE(ring::at(r.get(), 0, &got));
  expect_row(got, 601);
  EXPECT_TRUE(ring::at(r.get(), 1, &got));
  expect_row(got, 600);
  EXPECT_TRUE(ring::at(r.get(), 599, &got));
  expect_row(got, 2);
  EXPECT_FALSE(ring::at(r.get(), 600, &got));
  expect_row(got, 2);  // the same index as 599
  EXPECT_EQ(r->power_flags[0], row_of(601).power_flags);  // columns are contiguous per measure
  EXPECT_EQ(r->seconds[599], row_of(600).seconds);
}

TEST(Ring, IndexesStayInsideForAnyRecord) {
  struct Case { u32 position, capacity, n, want; };
  const Case cases[] = {{0, 600, 0, 599}, {1, 600, 0, 0}, {5, 600, 2, 2}, {5, 600, 5000, 5},
                        {0, 0, 0, 0},     {900, 600, 0, 299}, {3, 5000, 0, 2}};
  for (const Case& c : cases) EXPECT_EQ(ring::back_row(c.position, c.capacity, c.n), c.want) << c.position;
  EXPECT_EQ(ring::wrap_next(599, 600), 0u);
  EXPECT_EQ(ring::count_after(600, 600), 600u);
  // A record that was never initialised, or holds positions beyond its capacity, still writes inside.
  auto r = std::make_unique<ring::Ring>();
  std::memset(r.get(), 0, sizeof *r);
  r->next = 70000;
  ring::Row in = row_of(9), got;
  EXPECT_EQ(ring::push(r.get(), &in), 1u);
  EXPECT_TRUE(ring::at(r.get(), 0, &got));
  expect_row(got, 9);
}

}  // namespace
