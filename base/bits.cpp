#include "base/bits.h"

namespace bits {

u64 live_mask(u32 count, u32 w) {
  // The start of word w in 64 bits: far words must read as past the end, not wrap back into the set.
  u64 start = u64{w} * 64;
  return low_mask(select64(start < count, count - start, 0));
}

u32 word_count(u64 word) {
  u64 x = word - ((word >> 1) & 0x5555555555555555ull);
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<u32>((x * 0x0101010101010101ull) >> 56);
}

void move(u64* bitset, u32 from, u32 to) {
  u32 value = is_set(bitset, from);
  put(bitset, to, value);
  put(bitset, from, value & static_cast<u32>(from == to));
}

void clear_all(u64* bitset, u32 words) {
  for (u32 k = 0; k < words; ++k) bitset[k] = 0;
}

u32 count(const u64* bitset, u32 words) {
  u32 total = 0;
  for (u32 k = 0; k < words; ++k) total += word_count(bitset[k]);
  return total;
}

void and_not_cols(u64* destination, u32 words, const u64* a, const u64* b) {
  u32 k = 0;
  for (; k + 4 <= words; k += 4) {
    destination[k] = a[k] & ~b[k];
    destination[k + 1] = a[k + 1] & ~b[k + 1];
    destination[k + 2] = a[k + 2] & ~b[k + 2];
    destination[k + 3] = a[k + 3] & ~b[k + 3];
  }
  for (; k < words; ++k) destination[k] = a[k] & ~b[k];
}

u32 compact(const u64* bitset, u32 words, u16* output, u32 capacity) {
  if (words > compact_max_words || capacity < u64{words} * 64) return 0;
  u32 n = 0;
  for (u32 k = 0; k < words; ++k) {
    u64 word = bitset[k];
    for (u32 j = 0; j < 64; ++j) {
      output[n] = static_cast<u16>(k * 64 + j);
      n += static_cast<u32>((word >> j) & 1);
    }
  }
  return n;
}

void radix_pass(const u32* source, u32 count, u32* destination, u32 n) {
  u32 shift = (n & 3) * 8;
  u32 start[256] = {};
  for (u32 i = 0; i < count; ++i) start[(source[i] >> shift) & 0xFF] += 1;
  u32 sum = 0;
  for (u32 b = 0; b < 256; ++b) {
    u32 here = start[b];
    start[b] = sum;
    sum += here;
  }
  for (u32 i = 0; i < count; ++i) {
    u32 key = source[i];
    destination[start[(key >> shift) & 0xFF]++] = key;
  }
}

u32 radix32(u32* keys, u32 count, u32* scratch, u32 scratch_length) {
  if (scratch_length < count) return 0;
  radix_pass(keys, count, scratch, 0);
  radix_pass(scratch, count, keys, 1);
  radix_pass(keys, count, scratch, 2);
  radix_pass(scratch, count, keys, 3);
  return 1;
}

u32 rank(const u32* keys, u32 count, u32 key, u32 inclusive) {
  if (count == 0) return 0;
  u32 index = 0;
  u32 length = count;
  while (length > 1) {
    u32 half = length / 2;
    index = bound_step(index, half, keys[index + half], key, inclusive);
    length -= half;
  }
  return bound_step(index, 1, keys[index], key, inclusive);
}

}  // namespace bits
