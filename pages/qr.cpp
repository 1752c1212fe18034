#include "pages/qr.h"

#include "base/bits.h"

namespace qr {

namespace {

// Level M's format indicator bits are 00, so the format's data value is the mask number.
constexpr u32 format_generator = 0x537, format_xor = 0x5412, version_generator = 0x1F25;

// Multiplication in GF(256) reduced by x^8 + x^4 + x^3 + x^2 + 1.
u8 gf_mul(u8 a, u8 b) {
  u32 r = 0;
  for (i32 i = 7; i >= 0; --i) {
    r = (r << 1) ^ ((r >> 7) * 0x11D);
    r ^= ((b >> i) & 1) * a;
  }
  return static_cast<u8>(r);
}

// The remainder of value << shift divided by the generator of degree shift, with a leading bit at degree.
u32 bch_remainder(u32 value, u32 generator, u32 degree) {
  u32 r = value << degree;
  for (i32 bit = 31; bit >= static_cast<i32>(degree); --bit) {
    if ((r >> bit) & 1) r ^= generator << (bit - degree);
  }
  return r;
}

void set_module(Symbol* s, u32 row, u32 column, u32 dark) {
  s->rows[row] = bits::word_put(s->rows[row], column, dark);
}

// Draws a module of a fixed pattern and marks it as such.
void set_function(Symbol* s, Work* w, u32 row, u32 column, u32 dark) {
  set_module(s, row, column, dark);
  w->function[row] = bits::word_set(w->function[row], column);
}

// Where bit i (0..14) of one of the two format copies goes.
void format_place(u32 i, u32 copy, u32 n, u32* row, u32* column) {
  if (copy == 0) {
    *row = i <= 5 ? i : i == 6 ? 7 : 8;
    *column = i <= 7 ? 8 : i == 8 ? 7 : 14 - i;
  } else {
    *row = i <= 7 ? 8 : n - 15 + i;
    *column = i <= 7 ? n - 1 - i : 8;
  }
}

// A square pattern centred on (row, column): dark where the Chebyshev distance is not one of the light ones.
void place_square(Symbol* s, Work* w, i32 row, i32 column, i32 reach, u32 light_mask) {
  i32 n = s->size;
  for (i32 dr = -reach; dr <= reach; ++dr) {
    for (i32 dc = -reach; dc <= reach; ++dc) {
      i32 r = row + dr, c = column + dc;
      if (r < 0 || c < 0 || r >= n || c >= n) continue;
      u32 distance = static_cast<u32>(bits::max32(dr < 0 ? -dr : dr, dc < 0 ? -dc : dc));
      set_function(s, w, static_cast<u32>(r), static_cast<u32>(c), ((light_mask >> distance) & 1) == 0);
    }
  }
}

u32 run_score(u32 run) { return run >= 5 ? run - 2 : 0; }

// A window of 11 modules reading dark, light, dark, dark, dark, light, dark and four light, either way round.
u32 finder_like(u32 window) { return window == 0x5D0 || window == 0x05D ? 40 : 0; }

// Runs of five or more and finder-like windows along one row or column; outside the symbol is light.
u32 line_penalty(u64 line, u32 n) {
  u32 score = 0, run = 0, previous = 2, window = 0;
  for (u32 i = 0; i < n; ++i) {
    u32 dark = bits::word_test(line, i);
    if (dark == previous) {
      ++run;
    } else {
      score += run_score(run);
      run = 1;
      previous = dark;
    }
    window = ((window << 1) | dark) & 0x7FF;
    score += finder_like(window);
  }
  score += run_score(run);
  for (u32 i = 0; i < 4; ++i) {
    window = (window << 1) & 0x7FF;
    score += finder_like(window);
  }
  return score;
}

}  // namespace

u32 pick_version(u64 length) {
  for (u32 v = 1; v <= max_version; ++v) {
    u32 count_bits = v <= 9 ? 8 : 16;
    if (length <= (8 * data_words(v) - 4 - count_bits) / 8) return v;
  }
  return 0;
}

u32 dark_run(u64 row, u32 start, u32 size) {
  if (start >= size || start >= 64) return 0;
  return bits::min32(bits::word_first(~(row >> start)), size - start);
}

void put_bits(u8* buffer, u32* at, u32 value, u32 count) {
  for (i32 k = static_cast<i32>(count) - 1; k >= 0; --k) {
    if ((value >> k) & 1) buffer[*at >> 3] = static_cast<u8>(buffer[*at >> 3] | (0x80 >> (*at & 7)));
    ++*at;
  }
}

u32 put_data(Work* work, u32 version, mem::Bytes text) {
  // Every bit written below lies within the version's data codewords, which work->data holds for any version.
  u32 needed = pick_version(text.len);
  if (version == 0 || version > max_version || needed == 0 || needed > version) return 0;
  u32 capacity = data_words(version) * 8, at = 0;
  put_bits(work->data, &at, 4, 4);
  put_bits(work->data, &at, static_cast<u32>(text.len), version <= 9 ? 8 : 16);
  for (u64 i = 0; i < text.len; ++i) put_bits(work->data, &at, text.ptr[i], 8);
  at += bits::min32(4, capacity - at);
  at = (at + 7) & ~7u;
  for (u32 pad = 236; at < capacity; pad ^= 236 ^ 17) put_bits(work->data, &at, pad, 8);
  return 1;
}

void rs_generator(u8* generator, u32 ec) {
  for (u32 j = 0; j < ec; ++j) generator[j] = 0;
  generator[ec - 1] = 1;
  u8 root = 1;
  for (u32 i = 0; i < ec; ++i) {
    // Multiply by (x - root): each coefficient times root, plus the next lower one.
    for (u32 j = 0; j < ec; ++j) {
      generator[j] = gf_mul(generator[j], root);
      if (j + 1 < ec) generator[j] ^= generator[j + 1];
    }
    root = gf_mul(root, 2);
  }
}

void rs_remainder(const u8* data, u32 count, const u8* generator, u32 ec, u8* out) {
  for (u32 j = 0; j < ec; ++j) out[j] = 0;
  for (u32 i = 0; i < count; ++i) {
    u8 factor = data[i] ^ out[0];
    for (u32 j = 0; j + 1 < ec; ++j) out[j] = out[j + 1];
    out[ec - 1] = 0;
    for (u32 j = 0; j < ec; ++j) out[j] ^= gf_mul(generator[j], factor);
  }
}

void interleave(Work* work, u32 version) {
  u32 d = data_words(version), e = ec_words(version), b = blocks(version);
  u32 short_len = d / b, short_blocks = b - d % b;
  u8 ec[5][max_ec];
  rs_generator(work->generator, e);
  u32 start[5];
  for (u32 k = 0, at = 0; k < b; ++k) {
    u32 len = short_len + (k >= short_blocks);
    start[k] = at;
    rs_remainder(work->data + at, len, work->generator, e, ec[k]);
    at += len;
  }
  u32 out = 0;
  for (u32 column = 0; column <= short_len; ++column) {
    for (u32 k = 0; k < b; ++k) {
      if (column < short_len + (k >= short_blocks)) work->codewords[out++] = work->data[start[k] + column];
    }
  }
  for (u32 column = 0; column < e; ++column) {
    for (u32 k = 0; k < b; ++k) work->codewords[out++] = ec[k][column];
  }
}

u32 align_count(u32 version) { return version == 1 ? 0 : version <= 6 ? 2 : 3; }

u32 align_position(u32 version, u32 k) {
  u32 count = align_count(version);
  if (k >= count) return 0;
  if (k == 0) return 6;
  return k == count - 1 ? 4 * version + 10 : 2 * version + 8;
}

u32 version_bits(u32 version) { return version << 12 | bch_remainder(version, version_generator, 12); }

u32 format_bits(u32 mask) { return (mask << 10 | bch_remainder(mask, format_generator, 10)) ^ format_xor; }

void place_format(Symbol* symbol, u32 mask) {
  u32 word = format_bits(mask), n = symbol->size;
  for (u32 i = 0; i < 15; ++i) {
    for (u32 copy = 0; copy < 2; ++copy) {
      u32 row, column;
      format_place(i, copy, n, &row, &column);
      set_module(symbol, row, column, (word >> i) & 1);
    }
  }
  set_module(symbol, n - 8, 8, 1);
}

void place_version(Symbol* symbol, Work* work) {
  if (symbol->version < 7) return;
  u32 word = version_bits(symbol->version), n = symbol->size;
  for (u32 i = 0; i < 18; ++i) {
    u32 dark = (word >> i) & 1;
    set_function(symbol, work, i / 3, n - 11 + i % 3, dark);
    set_function(symbol, work, n - 11 + i % 3, i / 3, dark);
  }
}

void place_patterns(Symbol* symbol, Work* work) {
  u32 n = symbol->size;
  for (u32 i = 0; i < n; ++i) {
    set_function(symbol, work, 6, i, i % 2 == 0);
    set_function(symbol, work, i, 6, i % 2 == 0);
  }
  i32 far = static_cast<i32>(n) - 4;
  place_square(symbol, work, 3, 3, 4, 1u << 2 | 1u << 4);
  place_square(symbol, work, 3, far, 4, 1u << 2 | 1u << 4);
  place_square(symbol, work, far, 3, 4, 1u << 2 | 1u << 4);
  u32 count = align_count(symbol->version);
  for (u32 a = 0; a < count; ++a) {
    for (u32 b = 0; b < count; ++b) {
      u32 last = count - 1;
      if ((a == 0 && b == 0) || (a == 0 && b == last) || (a == last && b == 0)) continue;
      place_square(symbol, work, static_cast<i32>(align_position(symbol->version, a)),
                   static_cast<i32>(align_position(symbol->version, b)), 2, 1u << 1);
    }
  }
  for (u32 i = 0; i < 15; ++i) {
    for (u32 copy = 0; copy < 2; ++copy) {
      u32 row, column;
      format_place(i, copy, n, &row, &column);
      work->function[row] = bits::word_set(work->function[row], column);
    }
  }
  place_format(symbol, 0);
  set_function(symbol, work, n - 8, 8, 1);
  place_version(symbol, work);
}

void place_data(Symbol* symbol, const Work* work) {
  u32 n = symbol->size, total = total_words(symbol->version) * 8, i = 0;
  for (i32 right = static_cast<i32>(n) - 1; right >= 1; right -= 2) {
    if (right == 6) right = 5;
    u32 upward = ((right + 1) & 2) == 0;
    for (u32 step = 0; step < n; ++step) {
      u32 row = upward ? n - 1 - step : step;
      for (u32 j = 0; j < 2; ++j) {
        u32 column = static_cast<u32>(right) - j;
        if (bits::word_test(work->function[row], column) || i >= total) continue;
        set_module(symbol, row, column, (work->codewords[i >> 3] >> (7 - (i & 7))) & 1);
        ++i;
      }
    }
  }
}

u32 mask_bit(u32 mask, u32 row, u32 column) {
  u32 i = row, j = column;
  switch (mask) {
    case 0: return (i + j) % 2 == 0;
    case 1: return i % 2 == 0;
    case 2: return j % 3 == 0;
    case 3: return (i + j) % 3 == 0;
    case 4: return (i / 2 + j / 3) % 2 == 0;
    case 5: return (i * j) % 2 + (i * j) % 3 == 0;
    case 6: return ((i * j) % 2 + (i * j) % 3) % 2 == 0;
    case 7: return ((i + j) % 2 + (i * j) % 3) % 2 == 0;
    default: return 0;
  }
}

void apply_mask(Symbol* symbol, const Work* work, u32 mask) {
  u32 n = symbol->size;
  for (u32 row = 0; row < n; ++row) {
    u64 flip = 0;
    for (u32 column = 0; column < n; ++column) flip |= u64{mask_bit(mask, row, column)} << column;
    symbol->rows[row] ^= flip & ~work->function[row];
  }
}

u32 penalty(const Symbol* symbol) {
  u32 n = symbol->size, score = 0, dark = 0;
  u64 columns[max_size] = {};
  u64 live = bits::low_mask(n);
  for (u32 r = 0; r < n; ++r) {
    u64 row = symbol->rows[r];
    score += line_penalty(row, n);
    dark += bits::word_count(row & live);
    for (u32 c = 0; c < n; ++c) columns[c] |= u64{bits::word_test(row, c)} << r;
    if (r + 1 < n) {
      // A 2 x 2 block at column c: rows agree at c and c + 1, and the row agrees with itself across c, c + 1.
      u64 vertical = row ^ symbol->rows[r + 1], across = row ^ (row >> 1);
      score += 3 * bits::word_count(~(vertical | vertical >> 1 | across) & bits::low_mask(n - 1));
    }
  }
  for (u32 c = 0; c < n; ++c) score += line_penalty(columns[c], n);
  u32 area = n * n, twenty = 20 * dark, ten = 10 * area;
  return score + 10 * ((twenty > ten ? twenty - ten : ten - twenty) / area);
}

u32 encode(Symbol* symbol, mem::Bytes text) {
  u32 version = pick_version(text.len);
  if (version == 0) return 0;
  Work work;
  mem::fill(mem::Slice{reinterpret_cast<u8*>(&work), sizeof work}, 0);
  symbol->version = static_cast<u8>(version);
  symbol->size = static_cast<u8>(size_of(version));
  for (u32 r = 0; r < max_size; ++r) symbol->rows[r] = 0;
  put_data(&work, version, text);
  interleave(&work, version);
  place_patterns(symbol, &work);
  place_data(symbol, &work);
  u32 best = 0, best_score = UINT32_MAX;
  for (u32 mask = 0; mask < 8; ++mask) {
    apply_mask(symbol, &work, mask);
    place_format(symbol, mask);
    u32 score = penalty(symbol);
    apply_mask(symbol, &work, mask);
    if (score < best_score) {
      best = mask;
      best_score = score;
    }
  }
  apply_mask(symbol, &work, best);
  place_format(symbol, best);
  symbol->mask = static_cast<u8>(best);
  return 1;
}

}  // namespace qr
