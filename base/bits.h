#pragma once
// Bit and number helpers: branch-free selects and limits, single-word bit operations, bitsets of 64-bit words, a
// stable radix sort of 32-bit keys and a branch-free rank search. Nothing here allocates or keeps state.
#include "base/mem.h"

namespace bits {

// Selects and limits. A flag is normally 0 or 1; any nonzero value counts as 1, so a caller passing `x & 4` still
// gets a clean mask.

// All ones for a nonzero flag, 0 for 0.
inline u64 mask_of(u64 flag) { return 0 - static_cast<u64>(flag != 0); }
// a when flag is set, else b.
inline u64 select64(u64 flag, u64 a, u64 b) { return ((a ^ b) & mask_of(flag)) ^ b; }
// The same, result cut to 32 bits.
inline u32 select32(u64 flag, u64 a, u64 b) { return static_cast<u32>(select64(flag, a, b)); }
inline u64 min64(u64 a, u64 b) { return select64(a < b, a, b); }
inline u64 max64(u64 a, u64 b) { return select64(a > b, a, b); }
// Compared in 64 bits, so min32(wide, 0xFFFFFFFF) saturates instead of wrapping; the result is cut to 32 bits.
inline u32 min32(u64 a, u64 b) { return static_cast<u32>(min64(a, b)); }
inline u32 max32(u64 a, u64 b) { return static_cast<u32>(max64(a, b)); }
// Signed: coordinates and spans that may be negative; 64-bit, so any i32 argument is exact.
inline i64 least(i64 a, i64 b) { return a < b ? a : b; }
inline i64 greatest(i64 a, i64 b) { return a > b ? a : b; }
inline i64 clamp(i64 v, i64 lo, i64 hi) { return v < lo ? lo : v > hi ? hi : v; }
// a - b when b < a, else 0.
inline u32 sub_sat32(u32 a, u32 b) { return select32(b < a, a - b, 0); }
// Saturating: v cut to 32 bits stops at 0xFFFFFFFF; sums stop at the largest value of their width.
inline u32 sat32(u64 v) { return min32(v, 0xFFFFFFFFu); }
inline u32 add_sat32(u32 a, u64 b) { return select32(b >= u64{0xFFFFFFFFu} - a, 0xFFFFFFFFu, a + b); }
inline u64 add_sat64(u64 a, u64 b) { return select64(a + b < a, ~u64{0}, a + b); }

// Single-word bit operations; the bit index is taken modulo 64.

inline u64 bit_mask(u32 i) { return u64{1} << (i & 63); }
// The low n bits set; all 64 when n is 64 or more.
inline u64 low_mask(u64 n) { return select64(n >= 64, ~u64{0}, bit_mask(static_cast<u32>(n)) - 1); }
// The bits of word w of a bitset that lie below count: all ones for a full word, 0 past the end.
u64 live_mask(u32 count, u32 w);
inline u64 word_set(u64 word, u32 i) { return word | bit_mask(i); }
inline u64 word_clear(u64 word, u32 i) { return word & ~bit_mask(i); }
// Bit i becomes value mod 2.
inline u64 word_put(u64 word, u32 i, u64 value) { return word_clear(word, i) | ((value & 1) << (i & 63)); }
inline u32 word_test(u64 word, u32 i) { return static_cast<u32>((word >> (i & 63)) & 1); }
// Number of set bits, without a table or a loop.
u32 word_count(u64 word);
// Index of the lowest set bit; 64 for 0.
inline u32 word_first(u64 word) { return word_count(~word & (word - 1)); }

// Bitsets: bit i lives in word i / 64 at position i mod 64. Indexes are not checked against the length.

inline void set(u64* bitset, u32 i) { bitset[i >> 6] = word_set(bitset[i >> 6], i); }
inline void clear(u64* bitset, u32 i) { bitset[i >> 6] = word_clear(bitset[i >> 6], i); }
inline void put(u64* bitset, u32 i, u64 value) { bitset[i >> 6] = word_put(bitset[i >> 6], i, value); }
inline u32 is_set(const u64* bitset, u32 i) { return word_test(bitset[i >> 6], i); }
// Bit to takes bit from's value and bit from is cleared (a row's bit follows the row); moving a bit onto itself
// keeps it.
void move(u64* bitset, u32 from, u32 to);
void clear_all(u64* bitset, u32 words);
u32 count(const u64* bitset, u32 words);
// destination[k] = a[k] AND NOT b[k] for every word.
void and_not_cols(u64* destination, u32 words, const u64* a, const u64* b);

// Output indexes are u16, so a bitset for compact holds at most this many words (65,536 bits).
constexpr u32 compact_max_words = 1024;
// Writes the indexes of the set bits in ascending order and returns their count. Every bit is stored (the slot
// past the last set bit is overwritten), so the output needs 64 entries per word: with a smaller capacity, or more
// than compact_max_words words, nothing is written and the result is 0. Entries past the count hold leftovers.
u32 compact(const u64* bitset, u32 words, u16* output, u32 capacity);

// Sorting and search.

// One stable counting-sort pass on byte n (0 to 3) of each key, from source into destination.
void radix_pass(const u32* source, u32 count, u32* destination, u32 n);
// Sorts the keys ascending in place, stable, in four passes through the scratch. Returns 1 when sorted; 0, with the
// keys untouched, when the scratch is shorter than the keys.
u32 radix32(u32* keys, u32 count, u32* scratch, u32 scratch_length);
// index + step when element < key, or inclusive and element == key; else index.
inline u32 bound_step(u32 index, u32 step, u32 element, u32 key, u32 inclusive) {
  u64 below = (element < key) | ((inclusive != 0) & (element == key));
  return select32(below, u64{index} + step, index);
}
// In sorted keys, the number of elements below key (or at most equal to it when inclusive); 0 for none.
u32 rank(const u32* keys, u32 count, u32 key, u32 inclusive);

}  // namespace bits
