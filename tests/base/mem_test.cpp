#include "base/mem.h"

#include <gtest/gtest.h>

namespace {

struct ArenaFixture : ::testing::Test {
  mem::Arena arena{};
  void SetUp() override { ASSERT_EQ(mem::arena_init(&arena, 4096), 1u); }
  void TearDown() override { mem::release(&arena); }
};

TEST_F(ArenaFixture, RefusesBadRequestsWithoutMoving) {
  struct Case { u64 size, alignment; };
  for (Case c : {Case{8, 3}, Case{8, 0}, Case{0, 8}, Case{4097, 1}}) {
    mem::Slice s = mem::alloc(&arena, c.size, c.alignment);
    EXPECT_EQ(s.ptr, nullptr);
    EXPECT_EQ(s.len, 0u);
    EXPECT_EQ(arena.used, 0u);
  }
}

TEST_F(ArenaFixture, FillsExactlyAndAligns) {
  ASSERT_EQ(reinterpret_cast<u64>(arena.base) % 4096, 0u);
  ASSERT_NE(mem::alloc(&arena, 1, 1).ptr, nullptr);
  mem::Slice aligned = mem::alloc(&arena, 8, 64);
  EXPECT_EQ(aligned.ptr, arena.base + 64);
  mem::Slice rest = mem::alloc(&arena, 4096 - 72, 1);
  EXPECT_EQ(rest.len, 4096u - 72);
  EXPECT_EQ(mem::alloc(&arena, 1, 1).ptr, nullptr);
  EXPECT_EQ(arena.used, arena.capacity);
}

TEST_F(ArenaFixture, ResetZeroesWhatWasUsed) {
  mem::Slice s = mem::alloc(&arena, 100, 8);
  mem::fill(s, 0xAB);
  mem::reset(&arena);
  EXPECT_EQ(arena.used, 0u);
  for (u64 i = 0; i < 100; ++i) ASSERT_EQ(arena.base[i], 0);
}

TEST(Arena, ReleaseOfClearedRecordDoesNothing) {
  mem::Arena empty{};
  EXPECT_EQ(mem::release(&empty), 0u);
  mem::Arena a{};
  ASSERT_EQ(mem::arena_init(&a, 1 << 20), 1u);
  EXPECT_NE(mem::release(&a), 0u);
  EXPECT_EQ(a.base, nullptr);
  EXPECT_EQ(a.capacity, 0u);
}

TEST(Slices, CopyHandlesOverlapBothWays) {
  for (int shift : {1, -1}) {
    u8 buf[16];
    for (int i = 0; i < 16; ++i) buf[i] = static_cast<u8>(i);
    u8* src = buf + 4;
    u8* dst = src + shift;
    mem::copy(mem::Slice{dst, 8}, mem::Bytes(src, 8));
    for (int i = 0; i < 8; ++i) EXPECT_EQ(dst[i], 4 + i) << "shift " << shift;
  }
}

TEST(Slices, EqualityAndFill) {
  u8 a[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9}, b[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(mem::eq(mem::Bytes(), mem::Bytes()), 1u);
  EXPECT_EQ(mem::eq(mem::Bytes(a, 7), mem::Bytes(b, 8)), 0u);
  EXPECT_EQ(mem::eq(mem::Bytes(a, 9), mem::Bytes(b, 9)), 1u);
  b[8] = 0;
  EXPECT_EQ(mem::eq(mem::Bytes(a, 9), mem::Bytes(b, 9)), 0u);
  mem::fill(mem::Slice{a, 9}, 7);
  for (u8 x : a) EXPECT_EQ(x, 7);
}

}  // namespace
