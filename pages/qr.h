#pragma once
// A small QR Code encoder for the Support page's payment payloads: one byte string in byte mode at error-correction
// level M, in the smallest symbol of versions 1 to 10 that holds it, with the mask of the lowest penalty. Nothing is
// allocated: the symbol is the caller's and the working storage, sized for version 10, lives on the stack.
#include "base/mem.h"

namespace qr {

constexpr u32 max_version = 10;
constexpr u32 max_size = 57;     // modules per side of version 10
constexpr u32 max_data = 216;    // data codewords of version 10
constexpr u32 max_total = 352;   // room for every codeword of version 10 (346)
constexpr u32 max_ec = 26;       // error-correction codewords per block, at most
constexpr u32 max_bytes = 213;   // the longest text version 10 holds

// Level M, indexed by version - 1: data codewords, error-correction codewords per block, and blocks.
constexpr u8 data_table[max_version] = {16, 28, 44, 64, 86, 108, 124, 154, 182, 216};
constexpr u8 ec_table[max_version] = {10, 16, 26, 18, 24, 16, 18, 22, 22, 26};
constexpr u8 block_table[max_version] = {1, 1, 1, 2, 2, 4, 4, 4, 5, 5};

// Bit c of rows[r] set: the module in row r, column c is dark. Rows and bits past the size stay 0.
struct Symbol {
  u8 version;  // 1..10
  u8 size;     // 4 x version + 17
  u8 mask;     // 0..7
  u64 rows[max_size];
};

// The encoder's working storage: the function-module matrix and the codeword buffers.
struct Work {
  u64 function[max_size];  // bit set: a finder, separator, timing, alignment, format or version module
  u8 data[max_data];
  u8 codewords[max_total];
  u8 generator[max_ec + 1];
};

inline u32 data_words(u32 version) { return data_table[version - 1]; }
inline u32 ec_words(u32 version) { return ec_table[version - 1]; }
inline u32 blocks(u32 version) { return block_table[version - 1]; }
inline u32 total_words(u32 version) { return data_words(version) + ec_words(version) * blocks(version); }
inline u32 size_of(u32 version) { return 4 * version + 17; }

// The smallest version whose byte-mode capacity holds length bytes; 0 above 213.
u32 pick_version(u64 length);
// Builds the symbol of the text: 1, or 0 with the symbol unchanged when the text is longer than 213 bytes.
u32 encode(Symbol* symbol, mem::Bytes text);
// The number of consecutive dark modules from column start, at most size - start; 0 when that module is light.
u32 dark_run(u64 row, u32 start, u32 size);

// The steps of encode, for its tests.

// Appends the low count bits of value, most significant first, at bit position *at of the buffer.
void put_bits(u8* buffer, u32* at, u32 value, u32 count);
// Fills work->data with the mode, count, text, terminator and pad codewords of the version: 1, or 0 with work->data
// untouched for a version outside 1 to 10 or a text longer than the version holds.
u32 put_data(Work* work, u32 version, mem::Bytes text);
// The generator polynomial of degree ec (its coefficients after the leading 1, highest first) into generator.
void rs_generator(u8* generator, u32 ec);
// The ec error-correction codewords of count data codewords into out.
void rs_remainder(const u8* data, u32 count, const u8* generator, u32 ec, u8* out);
// Splits work->data into blocks, adds their error correction and interleaves all into work->codewords.
void interleave(Work* work, u32 version);
// Centre coordinate k (0-based) of the alignment patterns, or 0 past the version's count (see align_count).
u32 align_count(u32 version);
u32 align_position(u32 version, u32 k);
// The 18-bit version word and the 15-bit format word (level M, the given mask).
u32 version_bits(u32 version);
u32 format_bits(u32 mask);
// Draws the finders, separators, timing, alignment, format and version areas and marks them as function modules.
void place_patterns(Symbol* symbol, Work* work);
void place_version(Symbol* symbol, Work* work);
void place_format(Symbol* symbol, u32 mask);
// Lays the codewords in the zig-zag over the modules that are not function modules.
void place_data(Symbol* symbol, const Work* work);
u32 mask_bit(u32 mask, u32 row, u32 column);
// Inverts every non-function module where the mask's condition holds; a second call undoes the first.
void apply_mask(Symbol* symbol, const Work* work, u32 mask);
u32 penalty(const Symbol* symbol);

}  // namespace qr
