#include "base/bits.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

constexpr u64 kAll = ~u64{0};

// Plain references: one bit at a time.
u32 count_ref(u64 word) {
  u32 n = 0;
  for (u32 i = 0; i < 64; ++i) n += (word >> i) & 1;
  return n;
}

u32 first_ref(u64 word) {
  for (u32 i = 0; i < 64; ++i)
    if ((word >> i) & 1) return i;
  return 64;
}

u32 rank_ref(const std::vector<u32>& keys, u32 key, u32 inclusive) {
  u32 n = 0;
  for (u32 k : keys) n += inclusive ? k <= key : k < key;
  return n;
}

// Words with every kind of bit pattern: edges, single bits, sparse and dense random words.
std::vector<u64> sample_words() {
  std::vector<u64> words = {0, 1, kAll, u64{1} << 63, kAll >> 1, 0x8000000000000001ull, 0x5555555555555555ull};
  std::mt19937_64 rng(0xB175);
  for (int i = 0; i < 500; ++i) {
    u64 w = rng();
    if (i % 3 == 1) w &= rng() & rng();
    if (i % 3 == 2) w |= rng() | rng();
    words.push_back(w);
  }
  return words;
}

TEST(Selects, MasksSelectsAndLimits) {
  EXPECT_EQ(bits::mask_of(0), 0u);
  EXPECT_EQ(bits::mask_of(1), kAll);
  // A flag wider than one bit still selects cleanly.
  EXPECT_EQ(bits::mask_of(4), kAll);
  EXPECT_EQ(bits::mask_of(u64{1} << 40), kAll);

  EXPECT_EQ(bits::select64(1, 7, kAll), 7u);
  EXPECT_EQ(bits::select64(0, 7, kAll), kAll);
  EXPECT_EQ(bits::select64(2, 7, 9), 7u);
  EXPECT_EQ(bits::select32(1, 0x123456789ull, 0), 0x23456789u);
  EXPECT_EQ(bits::select32(0, 0, 0xFFFFFFFFull), 0xFFFFFFFFu);

  struct Case { u64 a, b; };
  for (Case c : {Case{0, 0}, Case{0, kAll}, Case{kAll, 3}, Case{5, 5}, Case{1ull << 32, 7}, Case{9, 1ull << 40}}) {
    EXPECT_EQ(bits::min64(c.a, c.b), std::min(c.a, c.b));
    EXPECT_EQ(bits::max64(c.a, c.b), std::max(c.a, c.b));
    // Compared in full width, then cut: min32(2^32, 7) is 7, not the 0 that cutting first would give.
    EXPECT_EQ(bits::min32(c.a, c.b), static_cast<u32>(std::min(c.a, c.b)));
    EXPECT_EQ(bits::max32(c.a, c.b), static_cast<u32>(std::max(c.a, c.b)));
  }
  EXPECT_EQ(bits::min32(kAll, 0xFFFFFFFFull), 0xFFFFFFFFu);

  struct Sub { u32 a, b, want; };
  for (Sub c : {Sub{5, 3, 2}, Sub{3, 5, 0}, Sub{4, 4, 0}, Sub{0, 0xFFFFFFFF, 0}, Sub{0xFFFFFFFF, 0, 0xFFFFFFFF}})
    EXPECT_EQ(bits::sub_sat32(c.a, c.b), c.want) << c.a << " - " << c.b;

  // Sums stop at their width's top, also when the wide addend alone would wrap a 64-bit sum.
  struct Add { u32 a; u64 b; u32 want; };
  for (Add c : {Add{1, 2, 3}, Add{0xFFFFFFF0, 0xF, 0xFFFFFFFF}, Add{0xFFFFFFF0, 0x10, 0xFFFFFFFF}, Add{1, kAll, 0xFFFFFFFF},
                Add{0, 0xFFFFFFFF, 0xFFFFFFFF}, Add{0, 0x100000000ull, 0xFFFFFFFF}})
    EXPECT_EQ(bits::add_sat32(c.a, c.b), c.want) << c.a << " + " << c.b;
  EXPECT_EQ(bits::add_sat64(kAll - 1, 1), kAll);
  EXPECT_EQ(bits::add_sat64(kAll, 1), kAll);
  EXPECT_EQ(bits::add_sat64(2, 3), 5u);
  EXPECT_EQ(bits::sat32(0x100000000ull), 0xFFFFFFFFu);
  EXPECT_EQ(bits::sat32(7), 7u);
}

TEST(WordBits, MasksAtTheEdges) {
  struct Bit { u32 i; u64 want; };
  for (Bit c : {Bit{0, 1}, Bit{63, u64{1} << 63}, Bit{64, 1}, Bit{65, 2}, Bit{0xFFFFFFFF, u64{1} << 63}})
    EXPECT_EQ(bits::bit_mask(c.i), c.want) << c.i;

  struct Low { u64 n, want; };
  for (Low c : {Low{0, 0}, Low{1, 1}, Low{8, 0xFF}, Low{63, kAll >> 1}, Low{64, kAll}, Low{65, kAll}, Low{200, kAll},
                Low{kAll, kAll}})
    EXPECT_EQ(bits::low_mask(c.n), c.want) << c.n;

  struct Live { u32 count, w; u64 want; };
  for (Live c : {Live{130, 0, kAll}, Live{130, 1, kAll}, Live{130, 2, 0x3}, Live{130, 3, 0}, Live{0, 0, 0},
                 Live{64, 0, kAll}, Live{64, 1, 0}, Live{65, 1, 1}, Live{0xFFFFFFFF, 67108863, kAll >> 1},
                 // Word 2^26 starts at bit 2^32: past every count, even where w x 64 wraps in 32 bits.
                 Live{0xFFFFFFFF, 67108864, 0}, Live{5, 0xFFFFFFFF, 0}})
    EXPECT_EQ(bits::live_mask(c.count, c.w), c.want) << c.count << " word " << c.w;
}

TEST(WordBits, AgreeWithOneBitAtATime) {
  for (u64 w : sample_words()) {
    ASSERT_EQ(bits::word_count(w), count_ref(w)) << std::hex << w;
    ASSERT_EQ(bits::word_first(w), first_ref(w)) << std::hex << w;
    for (u32 i = 0; i < 130; i += 1 + (i % 5)) {
      u32 at = i % 64;
      ASSERT_EQ(bits::word_test(w, i), (w >> at) & 1);
      ASSERT_EQ(bits::word_set(w, i), w | (u64{1} << at));
      ASSERT_EQ(bits::word_clear(w, i), w & ~(u64{1} << at));
      // The value is taken mod 2.
      ASSERT_EQ(bits::word_put(w, i, 3), w | (u64{1} << at));
      ASSERT_EQ(bits::word_put(w, i, 2), w & ~(u64{1} << at));
    }
  }
}

TEST(Bitsets, SingleBitsAndMoves) {
  u64 set[3] = {};
  bits::set(set, 0);
  bits::set(set, 64);
  bits::set(set, 191);
  EXPECT_EQ(set[0], 1u);
  EXPECT_EQ(set[1], 1u);
  EXPECT_EQ(set[2], u64{1} << 63);
  bits::put(set, 100, 5);
  bits::clear(set, 64);
  EXPECT_EQ(bits::is_set(set, 100), 1u);
  EXPECT_EQ(bits::is_set(set, 64), 0u);
  EXPECT_EQ(bits::count(set, 3), 3u);

  bits::move(set, 100, 5);  // a set bit moves
  EXPECT_EQ(bits::is_set(set, 5), 1u);
  EXPECT_EQ(bits::is_set(set, 100), 0u);
  bits::move(set, 7, 191);  // a clear bit moves over a set one
  EXPECT_EQ(bits::is_set(set, 191), 0u);
  bits::move(set, 5, 5);  // onto itself: kept, not lost
  EXPECT_EQ(bits::is_set(set, 5), 1u);
  bits::move(set, 6, 6);
  EXPECT_EQ(bits::is_set(set, 6), 0u);
  EXPECT_EQ(bits::count(set, 3), 2u);

  bits::clear_all(set, 2);
  EXPECT_EQ(set[0], 0u);
  EXPECT_EQ(set[1], 0u);
  bits::set(set, 128);
  EXPECT_EQ(bits::count(set, 3), 1u);
  EXPECT_EQ(bits::count(set, 0), 0u);
}

TEST(Bitsets, AndNotForEveryLength) {
  std::mt19937_64 rng(7);
  for (u32 words = 0; words <= 11; ++words) {
    std::vector<u64> a(words + 1), b(words + 1), dst(words + 1, 0xABABABABABABABABull);
    for (u32 k = 0; k <= words; ++k) a[k] = rng(), b[k] = rng();
    bits::and_not_cols(dst.data(), words, a.data(), b.data());
    for (u32 k = 0; k < words; ++k) ASSERT_EQ(dst[k], a[k] & ~b[k]) << words << " words, word " << k;
    EXPECT_EQ(dst[words], 0xABABABABABABABABull) << "wrote past " << words << " words";
  }
}

TEST(Bitsets, CompactListsSetBitsInOrder) {
  std::mt19937_64 rng(11);
  for (u32 words : {1u, 3u, 1024u}) {
    std::vector<u64> set(words);
    for (u64& w : set) w = rng() & rng();
    set[0] |= 1;
    set[words - 1] |= u64{1} << 63;
    std::vector<u16> want;
    for (u32 i = 0; i < words * 64; ++i)
      if (bits::is_set(set.data(), i)) want.push_back(static_cast<u16>(i));
    std::vector<u16> out(words * 64);
    u32 n = bits::compact(set.data(), words, out.data(), static_cast<u32>(out.size()));
    ASSERT_EQ(n, want.size());
    out.resize(n);
    EXPECT_EQ(out, want);
  }
  u64 all[2] = {kAll, kAll};
  std::vector<u16> out(128);
  EXPECT_EQ(bits::compact(all, 2, out.data(), 128), 128u);
  EXPECT_EQ(out[127], 127);
}

TEST(Bitsets, CompactRefusesAnOutputThatCannotHoldEveryBit) {
  u64 set[2] = {1, 0};
  std::vector<u16> out(200, 0xEEEE);
  // Room for the one set bit is not enough: every bit is stored on the way.
  EXPECT_EQ(bits::compact(set, 2, out.data(), 127), 0u);
  EXPECT_EQ(out[0], 0xEEEE);
  // Past 1024 words the indexes would wrap in 16 bits.
  std::vector<u64> big(1025, 0);
  std::vector<u16> wide(1025 * 64, 0xEEEE);
  EXPECT_EQ(bits::compact(big.data(), 1025, wide.data(), static_cast<u32>(wide.size())), 0u);
  EXPECT_EQ(wide[0], 0xEEEE);
  EXPECT_EQ(bits::compact(set, 0, nullptr, 0), 0u);
}

TEST(Radix, PassIsStableOnEachByte) {
  std::mt19937 rng(0x5EED);
  std::vector<u32> keys(5000);
  for (u32& k : keys) k = rng() & 0x0F3F7FFF;  // narrow bytes: many equal bytes, so order among equals shows
  for (u32 n = 0; n < 4; ++n) {
    std::vector<u32> want = keys;
    std::stable_sort(want.begin(), want.end(), [n](u32 x, u32 y) { return ((x >> 8 * n) & 0xFF) < ((y >> 8 * n) & 0xFF); });
    std::vector<u32> got(keys.size());
    bits::radix_pass(keys.data(), static_cast<u32>(keys.size()), got.data(), n);
    EXPECT_EQ(got, want) << "byte " << n;
  }
}

TEST(Radix, SortsLikeAReference) {
  std::mt19937 rng(42);
  for (u32 size : {0u, 1u, 2u, 3u, 255u, 256u, 1000u, 65537u}) {
    std::vector<u32> keys(size);
    for (u32 i = 0; i < size; ++i) {
      u32 r = rng();
      keys[i] = i % 4 == 0 ? r : i % 4 == 1 ? r % 16 : i % 4 == 2 ? 0xFFFFFFFF - r % 3 : r & 0xFF00FF00;
    }
    std::vector<u32> want = keys;
    std::stable_sort(want.begin(), want.end());
    std::vector<u32> scratch(size);
    ASSERT_EQ(bits::radix32(keys.data(), size, scratch.data(), size), 1u);
    EXPECT_EQ(keys, want) << size << " keys";
  }
}

TEST(Radix, CarriesAPayloadInEqualKeysOrder) {
  // Callers pack a value in the high bits and a row in the low bits; sorting then orders rows by value.
  std::vector<u32> keys = {0xFFFFFFFF, 3u << 16 | 0, 1u << 16 | 1, 3u << 16 | 2, 0, 1u << 16 | 4};
  std::vector<u32> scratch(keys.size());
  ASSERT_EQ(bits::radix32(keys.data(), 6, scratch.data(), 6), 1u);
  EXPECT_EQ(keys, (std::vector<u32>{0, 1u << 16 | 1, 1u << 16 | 4, 3u << 16 | 0, 3u << 16 | 2, 0xFFFFFFFF}));
}

TEST(Radix, RefusesAShortScratch) {
  std::vector<u32> keys = {3, 1, 2};
  std::vector<u32> scratch(2, 0x77);
  EXPECT_EQ(bits::radix32(keys.data(), 3, scratch.data(), 2), 0u);
  EXPECT_EQ(keys, (std::vector<u32>{3, 1, 2}));
  EXPECT_EQ(scratch, (std::vector<u32>{0x77, 0x77}));
}

TEST(Rank, BoundsInASortedArray) {
  std::vector<u32> keys = {1, 3, 5, 5, 7};
  struct Case { u32 key, inclusive, want; };
  for (Case c : {Case{5, 0, 2}, Case{5, 1, 4}, Case{0, 0, 0}, Case{0, 1, 0}, Case{1, 0, 0}, Case{1, 1, 1},
                 Case{8, 0, 5}, Case{7, 1, 5}, Case{7, 0, 4}, Case{4, 1, 2}, Case{0xFFFFFFFF, 1, 5}})
    EXPECT_EQ(bits::rank(keys.data(), 5, c.key, c.inclusive), c.want) << c.key << " inclusive " << c.inclusive;
  EXPECT_EQ(bits::rank(nullptr, 0, 5, 1), 0u);

  struct Step { u32 index, step, element, key, inclusive, want; };
  for (Step c : {Step{4, 2, 3, 5, 0, 6}, Step{4, 2, 5, 5, 0, 4}, Step{4, 2, 5, 5, 1, 6}, Step{4, 2, 6, 5, 1, 4}})
    EXPECT_EQ(bits::bound_step(c.index, c.step, c.element, c.key, c.inclusive), c.want);
}

TEST(Rank, AgreesWithCountingOnRandomArrays) {
  std::mt19937 rng(1234);
  for (u32 size = 0; size < 70; ++size) {
    for (u32 spread : {4u, 1000u, 0xFFFFFFFFu}) {
      std::vector<u32> keys(size);
      for (u32& k : keys) k = spread == 0xFFFFFFFF ? rng() : rng() % spread;
      std::sort(keys.begin(), keys.end());
      std::vector<u32> probes = {0, 1, spread - 1, spread, 0xFFFFFFFF};
      for (u32 k : keys) probes.insert(probes.end(), {k, k - 1, k + 1});
      for (u32 key : probes)
        for (u32 inclusive : {0u, 1u})
          ASSERT_EQ(bits::rank(keys.data(), size, key, inclusive), rank_ref(keys, key, inclusive))
              << size << " keys, key " << key << " inclusive " << inclusive;
    }
  }
}

}  // namespace
