// The QR encoder against published values (format and version words, a Reed-Solomon block) and against a small
// reader written here from the symbol's rules: it checks the fixed patterns, reads both format copies and the version
// blocks and checks their BCH codes, unmasks and reads the codewords in the zig-zag, checks every block's
// Reed-Solomon syndromes, and reads the text back.
#include <gtest/gtest.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "pages/qr.h"

namespace {

u32 module(const qr::Symbol& s, u32 row, u32 column) { return (s.rows[row] >> column) & 1; }

// GF(256) by log tables, apart from the encoder's shift-and-add multiply.
struct Field {
  u8 exp[512];
  u8 log[256];
  Field() {
    u32 x = 1;
    for (u32 i = 0; i < 255; ++i) {
      exp[i] = exp[i + 255] = static_cast<u8>(x);
      log[x] = static_cast<u8>(i);
      x <<= 1;
      if (x & 0x100) x ^= 0x11D;
    }
  }
  u8 mul(u8 a, u8 b) const { return a == 0 || b == 0 ? 0 : exp[log[a] + log[b]]; }
};

// The remainder of a polynomial over GF(2), as used by the format and version codes.
u32 poly_mod(u32 value, u32 generator) {
  u32 degree = 31 - __builtin_clz(generator);
  for (i32 bit = 31; bit >= static_cast<i32>(degree); --bit) {
    if ((value >> bit) & 1) value ^= generator << (bit - degree);
  }
  return value;
}

u32 mask_holds(u32 mask, u32 i, u32 j) {
  switch (mask) {
    case 0: return (i + j) % 2 == 0;
    case 1: return i % 2 == 0;
    case 2: return j % 3 == 0;
    case 3: return (i + j) % 3 == 0;
    case 4: return (i / 2 + j / 3) % 2 == 0;
    case 5: return (i * j) % 2 + (i * j) % 3 == 0;
    case 6: return ((i * j) % 2 + (i * j) % 3) % 2 == 0;
    default: return ((i + j) % 2 + (i * j) % 3) % 2 == 0;
  }
}

// Reads the symbol back; returns the faults found, and the text in *text.
std::string read_symbol(const qr::Symbol& s, std::string* text) {
  std::string faults;
  u32 n = s.size, v = s.version;
  if (v < 1 || v > 10 || n != 4 * v + 17) return "bad version or size\n";
  for (u32 r = 0; r < qr::max_size; ++r) {
    if (r >= n ? s.rows[r] != 0 : (s.rows[r] >> n) != 0) faults += "a module outside the symbol\n";
  }
  // Finders with their separators, clipped at the edge.
  const u32 corners[3][2] = {{3, 3}, {3, n - 4}, {n - 4, 3}};
  for (const auto& c : corners) {
    for (i32 dr = -4; dr <= 4; ++dr) {
      for (i32 dc = -4; dc <= 4; ++dc) {
        i32 r = static_cast<i32>(c[0]) + dr, col = static_cast<i32>(c[1]) + dc;
        if (r < 0 || col < 0 || r >= static_cast<i32>(n) || col >= static_cast<i32>(n)) continue;
        u32 ring = std::max(std::abs(dr), std::abs(dc));
        if (module(s, r, col) != (ring != 2 && ring != 4)) faults += "finder module wrong\n";
      }
    }
  }
  for (u32 i = 8; i + 8 < n; ++i) {
    if (module(s, 6, i) != (i % 2 == 0) || module(s, i, 6) != (i % 2 == 0)) faults += "timing module wrong\n";
  }
  if (!module(s, n - 8, 8)) faults += "the dark module is light\n";

  // Format: both copies, bit 14 first as read along the standard's paths.
  u32 first = 0, second = 0;
  const u32 a_rows[15] = {0, 1, 2, 3, 4, 5, 7, 8, 8, 8, 8, 8, 8, 8, 8};
  const u32 a_cols[15] = {8, 8, 8, 8, 8, 8, 8, 8, 7, 5, 4, 3, 2, 1, 0};
  for (u32 i = 0; i < 15; ++i) {
    first |= module(s, a_rows[i], a_cols[i]) << i;
    u32 r = i < 8 ? 8 : n - 15 + i, col = i < 8 ? n - 1 - i : 8;
    second |= module(s, r, col) << i;
  }
  if (first != second) faults += "the format copies differ\n";
  if (poly_mod(first ^ 0x5412, 0x537) != 0) faults += "the format word fails its code\n";
  if (((first ^ 0x5412) >> 13) != 0) faults += "the format word is not of level M\n";
  if ((((first ^ 0x5412) >> 10) & 7) != s.mask) faults += "the format word names another mask\n";

  if (v >= 7) {
    u32 right = 0, below = 0;
    for (u32 i = 0; i < 18; ++i) {
      right |= module(s, i / 3, n - 11 + i % 3) << i;
      below |= module(s, n - 11 + i % 3, i / 3) << i;
    }
    if (right != below || poly_mod(right, 0x1F25) != 0 || (right >> 12) != v) faults += "bad version blocks\n";
  }
  if (!faults.empty()) return faults;

  // Codewords: the function modules come from the encoder's own pattern step (checked above where they show).
  qr::Symbol blank = {};
  blank.version = s.version;
  blank.size = s.size;
  qr::Work work = {};
  qr::place_patterns(&blank, &work);
  std::vector<u8> words(qr::total_words(v), 0);
  u32 bit = 0;
  bool up = true;
  for (i32 right = static_cast<i32>(n) - 1; right > 0; right -= 2) {
    if (right == 6) right = 5;
    for (u32 k = 0; k < n; ++k) {
      u32 r = up ? n - 1 - k : k;
      for (i32 col = right; col >= right - 1; --col) {
        if ((work.function[r] >> col) & 1) continue;
        u32 dark = module(s, r, col) ^ mask_holds(s.mask, r, col);
        if (bit < words.size() * 8) words[bit / 8] |= static_cast<u8>(dark << (7 - bit % 8));
        ++bit;
      }
    }
    up = !up;
  }
  if (bit < words.size() * 8 || bit - words.size() * 8 > 7) faults += "wrong number of data modules\n";

  // Blocks, de-interleaved; every block's syndromes at a^0 .. a^(E-1) must vanish.
  Field f;
  u32 d = qr::data_words(v), e = qr::ec_words(v), b = qr::blocks(v);
  std::vector<std::vector<u8>> block(b);
  u32 at = 0;
  for (u32 col = 0; col <= d / b; ++col) {
    for (u32 k = 0; k < b; ++k) {
      if (col < d / b + (k >= b - d % b)) block[k].push_back(words[at++]);
    }
  }
  std::vector<u8> data;
  for (auto& blk : block) data.insert(data.end(), blk.begin(), blk.end());
  for (u32 col = 0; col < e; ++col) {
    for (u32 k = 0; k < b; ++k) block[k].push_back(words[at++]);
  }
  for (auto& blk : block) {
    for (u32 i = 0; i < e; ++i) {
      u8 sum = 0;
      for (u8 c : blk) sum = static_cast<u8>(f.mul(sum, f.exp[i]) ^ c);
      if (sum != 0) faults += "a block fails its Reed-Solomon check\n";
    }
  }

  // The bit stream: byte mode, the count, the bytes, then zeros and the pad words.
  auto read = [&](u32* pos, u32 count) {
    u32 value = 0;
    for (u32 i = 0; i < count; ++i, ++*pos) value = value << 1 | ((data[*pos / 8] >> (7 - *pos % 8)) & 1);
    return value;
  };
  u32 pos = 0;
  if (read(&pos, 4) != 4) faults += "not byte mode\n";
  u32 length = read(&pos, v <= 9 ? 8 : 16);
  if (pos + 8 * length > 8 * d) return faults + "count past the data\n";
  text->clear();
  for (u32 i = 0; i < length; ++i) text->push_back(static_cast<char>(read(&pos, 8)));
  // Mode and count take 12 or 20 bits, so the four terminator bits always end on a byte boundary.
  while (pos % 8 != 0) {
    if (read(&pos, 1) != 0) faults += "terminator bits not zero\n";
  }
  for (u32 pad = 236; pos < 8 * d; pad ^= 236 ^ 17) {
    if (read(&pos, 8) != pad) faults += "wrong pad codeword\n";
  }
  return faults;
}

// The penalty counted the plain way, line by line with the outside as light modules.
u32 reference_penalty(const qr::Symbol& s) {
  u32 n = s.size, score = 0, dark = 0;
  for (u32 axis = 0; axis < 2; ++axis) {
    for (u32 k = 0; k < n; ++k) {
      std::vector<u32> line;
      for (u32 i = 0; i < n; ++i) line.push_back(axis == 0 ? module(s, k, i) : module(s, i, k));
      for (u32 i = 0; i < n;) {
        u32 j = i;
        while (j < n && line[j] == line[i]) ++j;
        if (j - i >= 5) score += 3 + (j - i - 5);
        i = j;
      }
      std::vector<u32> padded(10, 0);
      padded.insert(padded.end(), line.begin(), line.end());
      padded.insert(padded.end(), 4, 0);
      const u32 a[11] = {1, 0, 1, 1, 1, 0, 1, 0, 0, 0, 0}, b[11] = {0, 0, 0, 0, 1, 0, 1, 1, 1, 0, 1};
      for (u32 end = 10; end < padded.size(); ++end) {
        bool is_a = true, is_b = true;
        for (u32 t = 0; t < 11; ++t) {
          is_a = is_a && padded[end - 10 + t] == a[t];
          is_b = is_b && padded[end - 10 + t] == b[t];
        }
        if (is_a || is_b) score += 40;
      }
    }
  }
  for (u32 r = 0; r < n; ++r) {
    for (u32 c = 0; c < n; ++c) {
      dark += module(s, r, c);
      if (r + 1 < n && c + 1 < n) {
        u32 m = module(s, r, c);
        if (module(s, r, c + 1) == m && module(s, r + 1, c) == m && module(s, r + 1, c + 1) == m) score += 3;
      }
    }
  }
  i32 deviation = static_cast<i32>(20 * dark) - static_cast<i32>(10 * n * n);
  return score + 10 * (static_cast<u32>(std::abs(deviation)) / (n * n));
}

TEST(QrTables, KnownFormatVersionAndReedSolomonWords) {
  const u32 formats[8] = {0x5412, 0x5125, 0x5E7C, 0x5B4B, 0x45F9, 0x40CE, 0x4F97, 0x4AA0};
  for (u32 m = 0; m < 8; ++m) EXPECT_EQ(qr::format_bits(m), formats[m]) << m;
  const u32 versions[4] = {0x07C94, 0x085BC, 0x09A99, 0x0A4D3};
  for (u32 v = 7; v <= 10; ++v) EXPECT_EQ(qr::version_bits(v), versions[v - 7]) << v;

  // "HELLO WORLD" as version 1-M codewords, with its published error correction.
  const u8 data[16] = {32, 91, 11, 120, 209, 114, 220, 77, 67, 64, 236, 17, 236, 17, 236, 17};
  const u8 expected[10] = {196, 35, 39, 119, 235, 215, 231, 226, 93, 23};
  u8 generator[qr::max_ec + 1], ec[qr::max_ec];
  qr::rs_generator(generator, 10);
  qr::rs_remainder(data, 16, generator, 10, ec);
  EXPECT_EQ(std::vector<u8>(ec, ec + 10), std::vector<u8>(expected, expected + 10));

  for (u32 v = 1; v <= 10; ++v) {
    EXPECT_EQ(qr::total_words(v), std::vector<u32>({26, 44, 70, 100, 134, 172, 196, 242, 292, 346})[v - 1]);
  }
  EXPECT_EQ(qr::align_position(7, 1), 22u);
  EXPECT_EQ(qr::align_position(10, 2), 50u);
  EXPECT_EQ(qr::align_position(1, 0), 0u);
}

TEST(QrEncode, PicksTheSmallestVersionAndRefusesTooLong) {
  const std::pair<u64, u32> cases[] = {{0, 1},  {14, 1},  {15, 2},  {26, 2},   {27, 3},   {62, 4},
                                       {63, 5}, {180, 9}, {181, 10}, {213, 10}, {214, 0}, {1u << 20, 0}};
  for (const auto& [length, version] : cases) EXPECT_EQ(qr::pick_version(length), version) << length;

  qr::Symbol s;
  s.version = 99;
  s.rows[0] = 0x1234;
  std::string long_text(214, 'x');
  EXPECT_EQ(qr::encode(&s, mem::Bytes(reinterpret_cast<const u8*>(long_text.data()), long_text.size())), 0u);
  EXPECT_EQ(s.version, 99);
  EXPECT_EQ(s.rows[0], 0x1234u);

  // The data step on its own never writes past its buffer: a version it has no table for, or a text longer than
  // the version holds, leaves the buffer as it was.
  const std::pair<u32, u64> refused[] = {{0, 1}, {11, 1}, {99, 1}, {1, 15}, {9, 181}, {10, 214}, {10, 4096}};
  std::string big(4096, 'y');
  for (const auto& [version, length] : refused) {
    qr::Work work;
    memset(&work, 0xA5, sizeof work);
    EXPECT_EQ(qr::put_data(&work, version, mem::Bytes(reinterpret_cast<const u8*>(big.data()), length)), 0u)
        << version << " " << length;
    for (u8 b : work.data) ASSERT_EQ(b, 0xA5) << version << " " << length;
  }
  qr::Work work = {};
  EXPECT_EQ(qr::put_data(&work, 10, mem::Bytes(reinterpret_cast<const u8*>(big.data()), 200)), 1u);
  EXPECT_EQ(work.data[qr::max_data - 1], 236u);  // the thirteenth pad codeword
}

TEST(QrEncode, EverySymbolReadsBack) {
  std::vector<std::string> texts = {"", "vimbrel", std::string(14, 'a'), std::string(15, 'b'),
                                    "bitcoin:bc1qxy2kgdygjrsqtzq2n0yrf2493p83kkfjhx0wlh?amount=0.001",
                                    std::string(213, 'z')};
  std::string every_byte;
  for (u32 i = 0; i < 200; ++i) every_byte.push_back(static_cast<char>(i * 37 + 11));
  texts.push_back(every_byte);
  for (u32 length : {29u, 45u, 70u, 100u, 140u, 160u}) texts.push_back(every_byte.substr(0, length));
  for (const std::string& t : texts) {
    qr::Symbol s;
    ASSERT_EQ(qr::encode(&s, mem::Bytes(reinterpret_cast<const u8*>(t.data()), t.size())), 1u);
    EXPECT_EQ(s.version, qr::pick_version(t.size()));
    std::string back;
    EXPECT_EQ(read_symbol(s, &back), "") << t.size() << " bytes";
    EXPECT_EQ(back, t);
  }
}

TEST(QrEncode, KeepsTheFirstMaskOfTheLowestPenalty) {
  // "p145": masks 2 and 6 share the lowest penalty (1058); 2 must win.
  qr::Symbol tie;
  ASSERT_EQ(qr::encode(&tie, mem::lit("p145")), 1u);
  EXPECT_EQ(tie.mask, 2);
  for (const char* t : {"", "A", "p145", "https://example.org/pay?x=1", "0123456789012345678901234567890123456789"}) {
    mem::Bytes text(reinterpret_cast<const u8*>(t), __builtin_strlen(t));
    qr::Symbol s;
    ASSERT_EQ(qr::encode(&s, text), 1u);
    // Every mask's penalty, on the unmasked symbol built from the same steps.
    qr::Symbol base = {};
    base.version = s.version;
    base.size = s.size;
    qr::Work work = {};
    qr::put_data(&work, s.version, text);
    qr::interleave(&work, s.version);
    qr::place_patterns(&base, &work);
    qr::place_data(&base, &work);
    u32 scores[8];
    for (u32 m = 0; m < 8; ++m) {
      qr::Symbol trial = base;
      qr::apply_mask(&trial, &work, m);
      qr::place_format(&trial, m);
      scores[m] = qr::penalty(&trial);
      if (m == s.mask) {
        EXPECT_EQ(std::vector<u64>(trial.rows, trial.rows + 57), std::vector<u64>(s.rows, s.rows + 57));
      }
    }
    if (std::string(t) == "p145") {
      EXPECT_EQ(scores[2], scores[6]);
    }
    for (u32 m = 0; m < 8; ++m) {
      EXPECT_TRUE(scores[s.mask] < scores[m] || (scores[s.mask] == scores[m] && s.mask <= m)) << t << " mask " << m;
    }
  }
}

TEST(QrPenalty, CountsRunsBlocksFindersAndBalance) {
  qr::Symbol light = {};
  light.version = 1;
  light.size = 21;
  // 42 lines of 21 light modules (3 + 16 each), 400 blocks, and no dark modules (10 steps of 5 %).
  EXPECT_EQ(qr::penalty(&light), 42u * 19 + 400 * 3 + 100);

  qr::Symbol checker = light;
  for (u32 r = 0; r < 21; ++r) checker.rows[r] = (r % 2 ? 0xAAAAAAAAAAAAAAAAull : 0x5555555555555555ull) & 0x1FFFFF;
  EXPECT_EQ(qr::penalty(&checker), 0u);

  // Against the rules counted module by module, on random symbols and on ones with finder-like runs at the edges.
  std::mt19937_64 rng(7);
  for (u32 round = 0; round < 300; ++round) {
    qr::Symbol s = {};
    s.version = static_cast<u8>(1 + round % 10);
    s.size = static_cast<u8>(qr::size_of(s.version));
    u64 live = (u64{1} << s.size) - 1;
    for (u32 r = 0; r < s.size; ++r) s.rows[r] = rng() & rng() & live;
    if (round % 3 == 0) s.rows[round % s.size] = 0b1011101 | (0b1011101ull << (s.size - 7));
    if (round % 3 == 1) s.rows[round % s.size] = 0b1011101ull << 4;
    ASSERT_EQ(qr::penalty(&s), reference_penalty(s)) << round;
  }
}

TEST(QrEncode, VersionBlocksOnlyFromVersionSeven) {
  for (u32 v = 1; v <= 10; ++v) {
    qr::Symbol s = {};
    s.version = static_cast<u8>(v);
    s.size = static_cast<u8>(qr::size_of(v));
    qr::Work work = {};
    qr::place_patterns(&s, &work);
    u32 n = s.size;
    EXPECT_EQ((work.function[0] >> (n - 11)) & 1, v >= 7 ? 1u : 0u) << v;
    EXPECT_EQ((work.function[n - 11] >> 0) & 1, v >= 7 ? 1u : 0u) << v;
    EXPECT_EQ(module(s, n - 8, 8), 1u);
  }
}

TEST(QrDarkRun, CountsFromTheStartColumnWithinTheSize) {
  struct Case {
    u64 row;
    u32 start, size, run;
  } cases[] = {
      {0b0111, 0, 21, 3}, {0b0111, 3, 21, 0}, {0b0110, 1, 21, 2}, {~u64{0}, 50, 57, 7},
      {~u64{0}, 0, 21, 21}, {0b1, 21, 21, 0}, {~u64{0}, 56, 57, 1},
  };
  for (const Case& c : cases) EXPECT_EQ(qr::dark_run(c.row, c.start, c.size), c.run) << c.row << " " << c.start;
}

}  // namespace
