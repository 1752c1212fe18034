#pragma once
// One short line of text at a time, with the program's units: rates, sizes, percentages, clocks, uptimes and ages.
// Every figure is integer maths rounded half up; a tier is chosen before rounding, so a value just below a threshold
// shows as 1000.0 MB/s rather than moving to the next unit. Nothing fails: what does not fit in the line is dropped.
//
// Byte tiers step by 1024 (KiB, MiB, GiB) but are written KB, MB and GB; bit tiers step by 1000.
#include "base/mem.h"

namespace words {

constexpr u32 text_capacity = 272;

// A line: bytes[0 .. len), len at most text_capacity. A zeroed record is an empty line.
struct Text {
  u8 bytes[text_capacity];
  u32 len;
};
static_assert(sizeof(Text) == 276);

// Arithmetic.

// (a + b / 2) / b, half up, with a divisor of 0 taken as 1; exact for every u64 (no overflow near the top).
u64 rounded(u64 a, u64 b);
// A rate in KiB/s as tenths of its tier's unit: tier 0 KiB/s, 1 MiB/s, 2 GiB/s.
u64 rate_tenths(u32 kib_per_s, u32 tier);
// A rate in bit/s as tenths of its tier's unit: tier 0 Kbit/s, 1 Mbit/s, 2 Gbit/s.
u64 bit_tenths(u64 bits_per_s, u32 tier);
// Hundredths of a percent as whole percent.
u32 percent_of(u32 hundredths);

// One code point of UTF-8 text at text[*at], moved past it; U+FFFD for a malformed, cut, overlong or surrogate
// sequence, of which only the first byte is consumed. *at must be below text.len.
u32 next_code_point(mem::Bytes text, u64* at);

// Appending; each takes the line first.

// Appends what fits of bytes. When the line fills up, a UTF-8 sequence cut in two is dropped whole, so the line never
// ends inside a character; ASCII is cut at exactly text_capacity bytes.
void put(Text* line, mem::Bytes bytes);
// Decimal digits, no leading zeros.
void put_u64(Text* line, u64 value);
// At least two digits: "07", "59", "123".
void put_two(Text* line, u64 value);
// value / 10, ".", value mod 10: "2.0".
void put_tenths(Text* line, u64 tenths);
// value / 100, ".", two digits: "3.05".
void put_hundredths(Text* line, u64 hundredths);
// "50 %".
void percent(Text* line, u32 hundredths);
// MiB as tenths of GiB: "1.5 GB".
void gib(Text* line, u64 mib);
// "3.1 / 15.9 GB".
void gib_pair(Text* line, u64 mib_a, u64 mib_b);
// "999 KB/s", "1.0 MB/s", "1.0 GB/s".
void byte_rate(Text* line, u32 kib_per_s);
// The rate as bits per second (KiB/s x 8192): "999 Kbps", "1.0 Mbps", "1.2 Gbps".
void bit_rate(Text* line, u32 kib_per_s);
// " Kbps", " Mbps" or " Gbps" for tiers 0, 1, 2.
void putBitUnit(Text* line, u32 tier);
// The figure of bits per second in a tier, without the unit.
void put_bits(Text* line, u64 bits_per_s, u32 tier);
// Rate a (which 0) or rate b (which 1) in the tier of the larger of both; the unit only after b.
void bitFigure(Text* line, u32 kib_a, u32 kib_b, u32 which);
// "up 0.2 down 41.0 Mbps": both figures in the tier of the larger, the unit once at the end.
void bit_pair(Text* line, u32 up_kib_per_s, u32 down_kib_per_s);
// MHz as hundredths of GHz: "3.41 GHz".
void ghz(Text* line, u32 mhz);
// ghz, or "-" for 0 (not known).
void ghz_known(Text* line, u32 mhz);
// The count, or "-" for 0 (not known).
void count_known(Text* line, u64 count);
// "37 % - 3.40 GHz"; only the percentage when the clock is 0.
void cpu_line(Text* line, u32 hundredths, u32 mhz);
// days:hh:mm:ss, days unpadded: "1:01:01:01".
void uptime(Text* line, u64 seconds);
// "now" for 0, else "7 s ago".
void ago(Text* line, u32 seconds);

}  // namespace words
