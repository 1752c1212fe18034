#include "drawing/atlas.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

struct AtlasTest : ::testing::Test {
  mem::Arena arena{};
  atlas::Atlas a{};
  u8 gamma[256];
  void SetUp() override {
    ASSERT_EQ(mem::arena_init(&arena, 8 << 20), 1u);
    ASSERT_EQ(atlas::init(&a, &arena, 4 << 20), 1u);
    // The renderer's table: c * (765 - c) / 510, rounded.
    for (u32 c = 0; c < 256; ++c) gamma[c] = static_cast<u8>((c * (765 - c) + 255) / 510);
  }
  void TearDown() override { mem::release(&arena); }
  u32 claim(u64 key) {
    u32 fresh;
    return atlas::claim(&a, key, &fresh);
  }
};

TEST_F(AtlasTest, KeyZeroIsAnOrdinaryKey) {
  EXPECT_EQ(atlas::key(0, 0, 0), 0u);
  EXPECT_EQ(atlas::home(0), 0u);
  EXPECT_EQ(atlas::find(a, 0), atlas::absent);
  u32 fresh = 9;
  EXPECT_EQ(atlas::claim(&a, 0, &fresh), 0u);
  EXPECT_EQ(fresh, 1u);
  EXPECT_EQ(a.hash[0], 1);
  EXPECT_EQ(atlas::find(a, 0), 0u);
  EXPECT_EQ(atlas::claim(&a, 0, &fresh), 0u);
  EXPECT_EQ(fresh, 0u);
  EXPECT_EQ(a.offsets[0], atlas::no_slot_yet);
  EXPECT_EQ(atlas::key(0x41, 16, 2), 0x41u | 16u << 16 | 2ull << 32);
}

TEST_F(AtlasTest, CollisionsProbeOnAndWrap) {
  // Three keys that all start at the last position: they fill it and then wrap to 0 and 1, in claim order.
  std::vector<u64> keys;
  for (u64 k = 1; keys.size() < 3; ++k)
    if (atlas::home(k) == atlas::hash_size - 1) keys.push_back(k);
  for (u32 i = 0; i < 3; ++i) EXPECT_EQ(claim(keys[i]), i);
  EXPECT_EQ(a.hash[atlas::hash_size - 1], 1);
  EXPECT_EQ(a.hash[0], 2);
  EXPECT_EQ(a.hash[1], 3);
  for (u32 i = 0; i < 3; ++i) EXPECT_EQ(atlas::find(a, keys[i]), i);
  atlas::clear(&a);
  EXPECT_EQ(atlas::find(a, keys[0]), atlas::absent);
  EXPECT_EQ(a.key_count, 0u);
}

TEST_F(AtlasTest, HoldsAtMost4096Keys) {
  for (u32 g = 0; g < atlas::max_keys; ++g) ASSERT_EQ(claim(atlas::key(g, 12 + g % 3, g % 16)), g);
  u32 fresh = 9;
  EXPECT_EQ(atlas::claim(&a, atlas::key(0, 99, 0), &fresh), atlas::absent);
  EXPECT_EQ(fresh, 0u);
  EXPECT_EQ(atlas::find(a, atlas::key(0, 99, 0)), atlas::absent);
  for (u32 g = 0; g < atlas::max_keys; ++g) ASSERT_EQ(atlas::find(a, atlas::key(g, 12 + g % 3, g % 16)), g);
  EXPECT_EQ(claim(atlas::key(4095, 12, 15)), 4095u);  // present keys are still found by claim
}

TEST(AtlasLayout, StridesAndSlotSizes) {
  struct Case { u32 width, stride; };
  for (Case c : {Case{0, 64}, Case{1, 64}, Case{32, 64}, Case{33, 128}, Case{95, 128}, Case{96, 128}, Case{97, 192}})
    EXPECT_EQ(atlas::row_stride(c.width), c.stride) << c.width;
  EXPECT_EQ(atlas::slot_bytes(0, 0), 64u);
  EXPECT_EQ(atlas::slot_bytes(33, 3), 3u * 128 + 64);
  // The compositing reads 16 bytes at any column from 15 before a row's start to the row's width; the last row's
  // write is whole blocks of 16. Both stay inside the slot for every size.
  for (u32 w = 1; w <= 2048; ++w)
    for (u32 h : {1u, 2u, 7u, 256u}) {
      u64 last_row = atlas::first_pixel + static_cast<u64>(h - 1) * atlas::row_stride(w);
      ASSERT_LE(last_row + w + 16, atlas::slot_bytes(w, h)) << w << "x" << h;
      ASSERT_LE(last_row + (w + 15) / 16 * 16, atlas::slot_bytes(w, h)) << w << "x" << h;
      ASSERT_GE(atlas::first_pixel, 15u);
    }
}

TEST_F(AtlasTest, ReservesInOrderUntilTheStoreIsFull) {
  atlas::Atlas small;
  ASSERT_EQ(atlas::init(&small, &arena, 1000), 1u);
  EXPECT_EQ(small.capacity, 1024u);
  u32 fresh;
  for (u64 k = 0; k < 4; ++k) atlas::claim(&small, k, &fresh);
  EXPECT_EQ(atlas::reserve(&small, 0, 33, 10), 0u);  // 1,344 bytes
  EXPECT_EQ(small.offsets[0], atlas::no_slot);
  EXPECT_EQ(small.used, 0u);
  EXPECT_EQ(atlas::reserve(&small, 1, 10, 5), 1u);  // 384 bytes
  EXPECT_EQ(small.offsets[1], 0u);
  EXPECT_EQ(atlas::reserve(&small, 2, 1, 9), 1u);  // 640 bytes: exactly what is left
  EXPECT_EQ(small.offsets[2], 384u);
  EXPECT_EQ(small.used, 1024u);
  EXPECT_EQ(atlas::fits(small, 0, 0), 0u);
  EXPECT_EQ(atlas::reserve(&small, 3, 0, 0), 0u);
  EXPECT_EQ(atlas::reserve(&small, 4, 0, 0), 0u);  // not a claimed key
  EXPECT_EQ(atlas::fits(a, 65536, 1), 0u);

  atlas::Atlas refused;
  EXPECT_EQ(atlas::init(&refused, &arena, 0), 0u);
  EXPECT_EQ(atlas::init(&refused, &arena, 0xFFFF0001ull), 0u);
}

TEST_F(AtlasTest, WritesTheSlotLayout) {
  const raster::GlyphBox box{3, 2, -1, -9, 1234};
  const u8 coverage[] = {0, 64, 128, 192, 255, 1};
  u32 index = claim(atlas::key(7, 16, 1));
  EXPECT_EQ(atlas::write(&a, index, box, coverage, gamma), 0u);  // no slot yet
  ASSERT_EQ(atlas::reserve(&a, index, 3, 2), 1u);
  // A slot holds whatever was there before; the write must clear it.
  u64 bytes = atlas::slot_bytes(3, 2);
  std::memset(a.store + 4, 0xAA, bytes - 4);
  raster::GlyphBox other = box;
  other.width = 4;
  EXPECT_EQ(atlas::write(&a, index, other, coverage, gamma), 0u);
  ASSERT_EQ(atlas::write(&a, index, box, coverage, gamma), 1u);

  const u8* slot = a.store + a.offsets[index];
  auto word = [&](u32 at) {
    u32 v;
    std::memcpy(&v, slot + at, 4);
    return v;
  };
  EXPECT_EQ(word(0), 3u | 2u << 16);
  EXPECT_EQ(static_cast<i32>(word(4)), -1);
  EXPECT_EQ(static_cast<i32>(word(8)), -9);
  EXPECT_EQ(static_cast<i32>(word(12)), 1234);
  EXPECT_EQ(word(16), 64u);
  std::vector<u8> want(bytes, 0);
  std::memcpy(want.data(), slot, 20);
  const u8 corrected[] = {0, 88, 160, 216, 255, 1};
  std::memcpy(want.data() + 80, corrected, 3);
  std::memcpy(want.data() + 80 + 64, corrected + 3, 3);
  EXPECT_EQ(std::vector<u8>(slot, slot + bytes), want);

  raster::GlyphBox back;
  atlas::metrics(a, index, &back);
  EXPECT_EQ(back.width, 3);
  EXPECT_EQ(back.height, 2);
  EXPECT_EQ(back.left, -1);
  EXPECT_EQ(back.top, -9);
  EXPECT_EQ(back.advance, 1234);
  EXPECT_EQ(atlas::stride(a, index), 64u);
  atlas::metrics(a, index + 1, &back);
  EXPECT_EQ(back.width + back.height + back.advance, 0);
}

TEST_F(AtlasTest, StoresRasterisedGlyphs) {
  // A 0 x 0 glyph (a space) still takes a 64-byte slot that carries its advance.
  raster::GlyphBox space{0, 0, 0, 0, 1000};
  u32 index = claim(atlas::key(3, 12, 0));
  ASSERT_EQ(atlas::reserve(&a, index, 0, 0), 1u);
  ASSERT_EQ(atlas::write(&a, index, space, nullptr, gamma), 1u);
  EXPECT_EQ(a.used, 64u);
  raster::GlyphBox back;
  atlas::metrics(a, index, &back);
  EXPECT_EQ(back.advance, 1000);

  // A glyph straight from the rasteriser: a 40 x 3 px bar moved by half a pixel.
  raster::Canvas canvas;
  ASSERT_EQ(raster::canvas_init(&canvas, &arena, 64, 64), 1u);
  ASSERT_EQ(raster::begin(&canvas, 41, 4), 1u);
  raster::line(&canvas, 128, 128, 128, 3 * 256 + 128);
  raster::line(&canvas, 40 * 256 + 128, 3 * 256 + 128, 40 * 256 + 128, 128);
  raster::finish(&canvas);
  raster::GlyphBox bar{41, 4, 2, -4, 11 * 256};
  index = claim(atlas::key(4, 12, 0));
  ASSERT_EQ(atlas::reserve(&a, index, 41, 4), 1u);
  ASSERT_EQ(atlas::write(&a, index, bar, canvas.coverage, gamma), 1u);
  const u8* row1 = a.store + a.offsets[index] + atlas::first_pixel + atlas::stride(a, index);
  EXPECT_EQ(atlas::stride(a, index), 128u);
  EXPECT_EQ(row1[0], gamma[128]);
  EXPECT_EQ(row1[20], 255);
  EXPECT_EQ(row1[40], gamma[128]);
  for (u32 x = 41; x < 128; ++x) ASSERT_EQ(row1[x], 0) << x;
}

}  // namespace
