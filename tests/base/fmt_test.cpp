#include "base/fmt.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <random>
#include <string>

namespace {

std::string str(mem::Slice s) { return std::string(reinterpret_cast<const char*>(s.ptr), s.len); }

TEST(Fmt, DecimalRightAlignedInTwentyBytes) {
  struct Case { u64 value; const char* want; };
  for (Case c : {Case{0, "0"}, Case{9, "9"}, Case{10, "10"}, Case{1234567890, "1234567890"},
                 Case{10000000000000000000ull, "10000000000000000000"},
                 Case{18446744073709551615ull, "18446744073709551615"}}) {
    u8 buffer[fmt::dec_size];
    mem::Slice text = fmt::dec(c.value, buffer);
    EXPECT_EQ(str(text), c.want);
    // The text ends at the buffer's last byte and starts where digits says.
    EXPECT_EQ(text.ptr + text.len, buffer + fmt::dec_size);
    EXPECT_EQ(fmt::digits(c.value, buffer), fmt::dec_size - text.len);
  }
}

TEST(Fmt, HexLowerCaseWithoutLeadingZeros) {
  struct Case { u64 value; const char* want; };
  for (Case c : {Case{0, "0"}, Case{255, "ff"}, Case{256, "100"}, Case{0xDEADBEEF, "deadbeef"},
                 Case{0x0123456789ABCDEFull, "123456789abcdef"}, Case{~u64{0}, "ffffffffffffffff"}}) {
    u8 buffer[fmt::hex_size];
    mem::Slice text = fmt::hex(c.value, buffer);
    EXPECT_EQ(str(text), c.want);
    EXPECT_EQ(text.ptr + text.len, buffer + fmt::hex_size);
  }
}

TEST(Fmt, AgreesWithPrintfOnRandomValues) {
  std::mt19937_64 rng(99);
  for (int i = 0; i < 2000; ++i) {
    u64 v = rng() >> (rng() % 64);
    char want_dec[32], want_hex[32];
    std::snprintf(want_dec, sizeof want_dec, "%" PRIu64, v);
    std::snprintf(want_hex, sizeof want_hex, "%" PRIx64, v);
    u8 dec[fmt::dec_size], hex[fmt::hex_size];
    ASSERT_EQ(str(fmt::dec(v, dec)), want_dec);
    ASSERT_EQ(str(fmt::hex(v, hex)), want_hex);
  }
}

}  // namespace
