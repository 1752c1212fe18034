#include "base/words.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr u64 kMax64 = ~u64{0};
constexpr u32 kMax32 = 0xFFFFFFFF;

std::string str(const words::Text& t) { return std::string(reinterpret_cast<const char*>(t.bytes), t.len); }

mem::Bytes bytes_of(const std::string& s) { return mem::Bytes(reinterpret_cast<const u8*>(s.data()), s.size()); }

// A line already holding n filler bytes.
words::Text filled(u32 n) {
  words::Text t{};
  words::put(&t, bytes_of(std::string(n, 'x')));
  return t;
}

TEST(Rounding, HalfUpWithoutOverflow) {
  struct Case { u64 a, b, want; };
  for (Case c : {Case{0, 0, 0}, Case{5, 0, 5}, Case{5, 1, 5}, Case{4, 10, 0}, Case{5, 10, 1}, Case{14, 10, 1},
                 Case{15, 10, 2}, Case{1, 3, 0}, Case{2, 3, 1}, Case{1, 2, 1}, Case{kMax64, 0, kMax64},
                 Case{kMax64, 1, kMax64}, Case{kMax64, 2, u64{1} << 63}, Case{kMax64, kMax64, 1},
                 Case{kMax64 / 2, kMax64, 0}, Case{u64{1} << 63, kMax64, 1}, Case{kMax64 - 1, 1000, 18446744073709552}})
    EXPECT_EQ(words::rounded(c.a, c.b), c.want) << c.a << " / " << c.b;

  // Wherever a + b / 2 fits, it is exactly the textbook formula; beyond that, the same in 128 bits.
  std::mt19937_64 rng(5);
  for (int i = 0; i < 20000; ++i) {
    u64 a = rng() >> (rng() % 64), b = (rng() >> (rng() % 64)) | 1;
    unsigned __int128 want = (static_cast<unsigned __int128>(a) + b / 2) / b;
    ASSERT_EQ(words::rounded(a, b), static_cast<u64>(want)) << a << " / " << b;
  }
}

TEST(Rounding, TierFigures) {
  EXPECT_EQ(words::rate_tenths(1000, 0), 10000u);
  EXPECT_EQ(words::rate_tenths(1000, 1), 10u);         // 9.77 tenths
  EXPECT_EQ(words::rate_tenths(1280, 1), 13u);         // 12.5 tenths: half up
  EXPECT_EQ(words::rate_tenths(1279, 1), 12u);
  EXPECT_EQ(words::rate_tenths(1024000, 2), 10u);
  EXPECT_EQ(words::rate_tenths(kMax32, 0), 42949672950u);  // would wrap in 32 bits
  EXPECT_EQ(words::rate_tenths(kMax32, 2), 40960u);
  EXPECT_EQ(words::bit_tenths(150, 0), 2u);
  EXPECT_EQ(words::bit_tenths(149, 0), 1u);
  EXPECT_EQ(words::bit_tenths(1050000, 1), 11u);
  EXPECT_EQ(words::bit_tenths(kMax64, 2), 184467440737u);
  EXPECT_EQ(words::percent_of(49), 0u);
  EXPECT_EQ(words::percent_of(50), 1u);
  EXPECT_EQ(words::percent_of(kMax32), 42949673u);
}

struct LineCase {
  const char* name;
  std::function<void(words::Text*)> fill;
  const char* want;
};

void expect_lines(std::initializer_list<LineCase> cases) {
  for (const LineCase& c : cases) {
    words::Text t{};
    c.fill(&t);
    EXPECT_EQ(str(t), c.want) << c.name;
  }
}

TEST(Lines, NumberPieces) {
  using words::Text;
  expect_lines({
      {"u64 0", [](Text* t) { words::put_u64(t, 0); }, "0"},
      {"u64 max", [](Text* t) { words::put_u64(t, kMax64); }, "18446744073709551615"},
      {"two 0", [](Text* t) { words::put_two(t, 0); }, "00"},
      {"two 7", [](Text* t) { words::put_two(t, 7); }, "07"},
      {"two 10", [](Text* t) { words::put_two(t, 10); }, "10"},
      {"two 123", [](Text* t) { words::put_two(t, 123); }, "123"},
      {"tenths 0", [](Text* t) { words::put_tenths(t, 0); }, "0.0"},
      {"tenths 20", [](Text* t) { words::put_tenths(t, 20); }, "2.0"},
      {"tenths 12345", [](Text* t) { words::put_tenths(t, 12345); }, "1234.5"},
      {"tenths max", [](Text* t) { words::put_tenths(t, kMax64); }, "1844674407370955161.5"},
      {"hundredths 305", [](Text* t) { words::put_hundredths(t, 305); }, "3.05"},
      {"hundredths 0", [](Text* t) { words::put_hundredths(t, 0); }, "0.00"},
      {"hundredths 100", [](Text* t) { words::put_hundredths(t, 100); }, "1.00"},
      {"hundredths 99", [](Text* t) { words::put_hundredths(t, 99); }, "0.99"},
      {"count 0", [](Text* t) { words::count_known(t, 0); }, "-"},
      {"count 12", [](Text* t) { words::count_known(t, 12); }, "12"},
      {"count max", [](Text* t) { words::count_known(t, kMax64); }, "18446744073709551615"},
  });
}

TEST(Lines, ByteRates) {
  using words::Text;
  expect_lines({
      {"0", [](Text* t) { words::byte_rate(t, 0); }, "0 KB/s"},
      {"999", [](Text* t) { words::byte_rate(t, 999); }, "999 KB/s"},
      {"1000", [](Text* t) { words::byte_rate(t, 1000); }, "1.0 MB/s"},
      {"1279", [](Text* t) { words::byte_rate(t, 1279); }, "1.2 MB/s"},
      {"1280 half up", [](Text* t) { words::byte_rate(t, 1280); }, "1.3 MB/s"},
      {"1536", [](Text* t) { words::byte_rate(t, 1536); }, "1.5 MB/s"},
      // The tier is chosen before rounding.
      {"1023999", [](Text* t) { words::byte_rate(t, 1023999); }, "1000.0 MB/s"},
      {"1024000", [](Text* t) { words::byte_rate(t, 1024000); }, "1.0 GB/s"},
      {"max", [](Text* t) { words::byte_rate(t, kMax32); }, "4096.0 GB/s"},
  });
}

TEST(Lines, BitRates) {
  using words::Text;
  expect_lines({
      {"0", [](Text* t) { words::bit_rate(t, 0); }, "0 Kbps"},
      {"1 KiB/s", [](Text* t) { words::bit_rate(t, 1); }, "8 Kbps"},
      {"122", [](Text* t) { words::bit_rate(t, 122); }, "999 Kbps"},
      {"123", [](Text* t) { words::bit_rate(t, 123); }, "1.0 Mbps"},
      {"122070", [](Text* t) { words::bit_rate(t, 122070); }, "1000.0 Mbps"},
      {"122071", [](Text* t) { words::bit_rate(t, 122071); }, "1.0 Gbps"},
      // A 10 Gbit/s adapter at full speed: past 2^32 bit/s.
      {"10 GbE", [](Text* t) { words::bit_rate(t, 1220703); }, "10.0 Gbps"},
      {"max", [](Text* t) { words::bit_rate(t, kMax32); }, "35184.4 Gbps"},
      {"units", [](Text* t) { for (u32 tier : {0u, 1u, 2u}) words::putBitUnit(t, tier); }, " Kbps Mbps Gbps"},
      {"put_bits tier 0", [](Text* t) { words::put_bits(t, 999499, 0); }, "999"},
      {"put_bits tier 0 up", [](Text* t) { words::put_bits(t, 999500, 0); }, "1000"},
      {"put_bits tier 1", [](Text* t) { words::put_bits(t, 1050000, 1); }, "1.1"},
      {"put_bits tier 2", [](Text* t) { words::put_bits(t, 1949999999, 2); }, "1.9"},
  });
}

TEST(Lines, BitPairsShareTheUnitOfTheLarger) {
  using words::Text;
  expect_lines({
      {"pair", [](Text* t) { words::bit_pair(t, 25, 5000); }, "up 0.2 down 41.0 Mbps"},
      {"pair zero", [](Text* t) { words::bit_pair(t, 0, 0); }, "up 0 down 0 Kbps"},
      {"up larger", [](Text* t) { words::bit_pair(t, 1220703, 1); }, "up 10.0 down 0.0 Gbps"},
      {"max", [](Text* t) { words::bit_pair(t, kMax32, kMax32); }, "up 35184.4 down 35184.4 Gbps"},
      {"figure a", [](Text* t) { words::bitFigure(t, 25, 5000, 0); }, "0.2"},
      {"figure b", [](Text* t) { words::bitFigure(t, 25, 5000, 1); }, "41.0 Mbps"},
      {"figure b smaller", [](Text* t) { words::bitFigure(t, 5000, 25, 1); }, "0.2 Mbps"},
  });
}

TEST(Lines, PercentSizesAndClocks) {
  using words::Text;
  expect_lines({
      {"percent 0", [](Text* t) { words::percent(t, 0); }, "0 %"},
      {"percent 49", [](Text* t) { words::percent(t, 49); }, "0 %"},
      {"percent 50", [](Text* t) { words::percent(t, 50); }, "1 %"},
      {"percent 4949", [](Text* t) { words::percent(t, 4949); }, "49 %"},
      {"percent 4950", [](Text* t) { words::percent(t, 4950); }, "50 %"},
      {"percent 10000", [](Text* t) { words::percent(t, 10000); }, "100 %"},
      {"gib 0", [](Text* t) { words::gib(t, 0); }, "0.0 GB"},
      {"gib 51", [](Text* t) { words::gib(t, 51); }, "0.0 GB"},
      {"gib 52", [](Text* t) { words::gib(t, 52); }, "0.1 GB"},
      {"gib 256 half up", [](Text* t) { words::gib(t, 256); }, "0.3 GB"},
      {"gib 1024", [](Text* t) { words::gib(t, 1024); }, "1.0 GB"},
      {"gib 1536", [](Text* t) { words::gib(t, 1536); }, "1.5 GB"},
      {"gib max", [](Text* t) { words::gib(t, kMax64); }, "18014398509481984.0 GB"},
      {"gib pair", [](Text* t) { words::gib_pair(t, 3174, 16282); }, "3.1 / 15.9 GB"},
      {"gib pair zero", [](Text* t) { words::gib_pair(t, 0, 0); }, "0.0 / 0.0 GB"},
      {"ghz 3405", [](Text* t) { words::ghz(t, 3405); }, "3.41 GHz"},
      {"ghz 3404", [](Text* t) { words::ghz(t, 3404); }, "3.40 GHz"},
      {"ghz 800", [](Text* t) { words::ghz(t, 800); }, "0.80 GHz"},
      {"ghz 4", [](Text* t) { words::ghz(t, 4); }, "0.00 GHz"},
      {"ghz 5", [](Text* t) { words::ghz(t, 5); }, "0.01 GHz"},
      {"ghz max", [](Text* t) { words::ghz(t, kMax32); }, "4294967.30 GHz"},
      {"ghz known 0", [](Text* t) { words::ghz_known(t, 0); }, "-"},
      {"ghz known", [](Text* t) { words::ghz_known(t, 2500); }, "2.50 GHz"},
      {"cpu", [](Text* t) { words::cpu_line(t, 3700, 3400); }, "37 % - 3.40 GHz"},
      {"cpu no clock", [](Text* t) { words::cpu_line(t, 3700, 0); }, "37 %"},
  });
}

TEST(Lines, UptimesAndAges) {
  using words::Text;
  expect_lines({
      {"uptime 0", [](Text* t) { words::uptime(t, 0); }, "0:00:00:00"},
      {"uptime 59", [](Text* t) { words::uptime(t, 59); }, "0:00:00:59"},
      {"uptime 86399", [](Text* t) { words::uptime(t, 86399); }, "0:23:59:59"},
      {"uptime 86400", [](Text* t) { words::uptime(t, 86400); }, "1:00:00:00"},
      {"uptime 90061", [](Text* t) { words::uptime(t, 90061); }, "1:01:01:01"},
      {"uptime 3:04:05:06", [](Text* t) { words::uptime(t, 3 * 86400 + 4 * 3600 + 5 * 60 + 6); }, "3:04:05:06"},
      {"uptime max", [](Text* t) { words::uptime(t, kMax64); }, "213503982334601:07:00:15"},
      {"ago 0", [](Text* t) { words::ago(t, 0); }, "now"},
      {"ago 7", [](Text* t) { words::ago(t, 7); }, "7 s ago"},
      {"ago max", [](Text* t) { words::ago(t, kMax32); }, "4294967295 s ago"},
      {"appends", [](Text* t) { words::ago(t, 0); words::put(t, mem::lit(", ")); words::ago(t, 1); }, "now, 1 s ago"},
  });
}

TEST(Cut, LineStopsAt272Bytes) {
  std::string long_text;
  for (int i = 0; i < 300; ++i) long_text += static_cast<char>('a' + i % 26);
  words::Text t{};
  words::put(&t, bytes_of(long_text));
  EXPECT_EQ(t.len, 272u);
  EXPECT_EQ(str(t), long_text.substr(0, 272));
  words::put(&t, mem::lit("more"));
  words::put_u64(&t, 5);
  EXPECT_EQ(str(t), long_text.substr(0, 272));
  // A damaged length reads as a full line.
  t.len = 100000;
  words::put(&t, mem::lit("\xC3\xA9"));
  EXPECT_EQ(t.len, 272u);

  // Later appends are cut wherever the line fills, inside a number or a unit.
  struct Case { u32 before; std::function<void(words::Text*)> fill; const char* tail; };
  for (const Case& c : {Case{270, [](words::Text* x) { words::put_u64(x, 12345); }, "12"},
                        Case{268, [](words::Text* x) { words::byte_rate(x, 999); }, "999 "},
                        Case{267, [](words::Text* x) { words::gib(x, 1536); }, "1.5 G"},
                        Case{272, [](words::Text* x) { words::uptime(x, 90061); }, ""},
                        Case{271, [](words::Text* x) { words::ago(x, 0); }, "n"}}) {
    words::Text line = filled(c.before);
    c.fill(&line);
    EXPECT_EQ(line.len, 272u);
    EXPECT_EQ(str(line).substr(c.before), c.tail) << c.before;
  }
}

TEST(Cut, NeverEndsInsideAUtf8Character) {
  // é is 2 bytes, € 3, the emoji 4: a character that does not fit whole is dropped whole.
  struct Case { u32 before; const char* text; u32 want_len; };
  for (Case c : {Case{271, "\xC3\xA9", 271}, Case{270, "\xC3\xA9", 272}, Case{270, "a\xC3\xA9", 271},
                 Case{269, "\xE2\x82\xAC", 272}, Case{270, "\xE2\x82\xAC", 270}, Case{271, "\xE2\x82\xAC", 271},
                 Case{268, "\xF0\x9F\x98\x80", 272}, Case{269, "\xF0\x9F\x98\x80", 269},
                 Case{271, "\xF0\x9F\x98\x80", 271}, Case{266, "ab\xC3\xA9\xE2\x82\xAC", 270},
                 // Bytes that are not UTF-8 are cut exactly like ASCII.
                 Case{271, "\x80\x80", 272}, Case{271, "\xFF\xFF", 272}}) {
    words::Text line = filled(c.before);
    words::put(&line, bytes_of(c.text));
    EXPECT_EQ(line.len, c.want_len) << c.before << " + " << std::strlen(c.text) << " bytes";
    EXPECT_EQ(str(line).substr(0, c.before), std::string(c.before, 'x'));
  }
}

}  // namespace

// Each case: the bytes, then the code points read one by one from the start and the offset after each.
TEST(Utf8, CodePointsAndWhatEachConsumes) {
  struct Case {
    const char* bytes;
    std::vector<std::pair<u32, u64>> steps;
  } cases[] = {
      {"a\xC3\xA9", {{'a', 1}, {0xE9, 3}}},
      {"\xE2\x82\xAC\xF0\x9F\x98\x80", {{0x20AC, 3}, {0x1F600, 7}}},
      {"\xC3", {{0xFFFD, 1}}},                            // cut at the end
      {"\xC0\xAF", {{0xFFFD, 1}, {0xFFFD, 2}}},          // overlong '/'
      {"\xED\xA0\x80", {{0xFFFD, 1}, {0xFFFD, 2}, {0xFFFD, 3}}},  // a surrogate
      {"\xF5\x80\x80\x80", {{0xFFFD, 1}, {0xFFFD, 2}, {0xFFFD, 3}, {0xFFFD, 4}}},  // past U+10FFFF
      {"\xE2\x28\xA1", {{0xFFFD, 1}, {'(', 2}, {0xFFFD, 3}}},     // a bad continuation
  };
  for (const Case& c : cases) {
    mem::Bytes text(reinterpret_cast<const u8*>(c.bytes), std::strlen(c.bytes));
    u64 at = 0;
    for (auto [cp, after] : c.steps) {
      ASSERT_LT(at, text.len) << c.bytes;
      EXPECT_EQ(words::next_code_point(text, &at), cp) << c.bytes;
      EXPECT_EQ(at, after) << c.bytes;
    }
    EXPECT_EQ(at, text.len) << c.bytes;
  }
}
