#include "base/words.h"

#include "base/bits.h"
#include "base/fmt.h"

namespace words {

namespace {

// rounded(value x times, divisor) without forming the product: the quotient is scaled exactly and only the
// remainder is rounded. Exact as long as value / divisor x times fits in 64 bits.
u64 scaled(u64 value, u64 times, u64 divisor) {
  return value / divisor * times + rounded(value % divisor * times, divisor);
}

// A KiB/s value is below 1000 KB/s, below 1000 MB/s (1,024,000 KiB/s), or GB/s.
u32 byte_tier(u32 kib_per_s) { return static_cast<u32>(kib_per_s >= 1000) + static_cast<u32>(kib_per_s >= 1024000); }

u32 bit_tier(u64 bits_per_s) {
  return static_cast<u32>(bits_per_s >= 1000000) + static_cast<u32>(bits_per_s >= 1000000000);
}

// KiB/s as bit/s; in 64 bits, since a 10 Gbit/s adapter already passes 2^32 bit/s.
u64 bits_of(u32 kib_per_s) { return u64{kib_per_s} * 8192; }

// Removes a UTF-8 sequence whose tail was cut off by the end of the line.
void drop_cut_sequence(Text* line) {
  u32 end = line->len;
  for (u32 back = 1; back <= 3 && back <= end; ++back) {
    u8 b = line->bytes[end - back];
    if ((b & 0xC0) == 0x80) continue;
    u32 need = b >= 0xF8 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    if (need > back) line->len = end - back;
    return;
  }
}

}  // namespace

u64 rounded(u64 a, u64 b) {
  b = bits::select64(b == 0, 1, b);
  // Equal to (a + b / 2) / b, but a + b / 2 could pass 2^64: round up when the remainder reaches the upper half.
  return a / b + static_cast<u64>(a % b >= b - b / 2);
}

u64 rate_tenths(u32 kib_per_s, u32 tier) {
  u64 divisor = tier == 1 ? 1024 : tier == 2 ? 1048576 : 1;
  return scaled(kib_per_s, 10, divisor);
}

u64 bit_tenths(u64 bits_per_s, u32 tier) {
  u64 divisor = tier == 1 ? 100000 : tier == 2 ? 100000000 : 100;
  return rounded(bits_per_s, divisor);
}

u32 percent_of(u32 hundredths) { return static_cast<u32>(rounded(hundredths, 100)); }

u32 next_code_point(mem::Bytes text, u64* at) {
  u8 lead = text.ptr[*at];
  *at += 1;
  if (lead < 0x80) return lead;
  u32 extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
  if (extra == 0 || lead > 0xF4 || text.len - *at < extra) return 0xFFFD;
  u32 cp = lead & (0x3F >> extra);
  for (u32 i = 0; i < extra; ++i) {
    u8 b = text.ptr[*at + i];
    if ((b & 0xC0) != 0x80) return 0xFFFD;
    cp = cp << 6 | (b & 0x3F);
  }
  const u32 least[] = {0, 0x80, 0x800, 0x10000};
  if (cp < least[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0xFFFD;
  *at += extra;
  return cp;
}

void put(Text* line, mem::Bytes bytes) {
  // A length past the capacity (a damaged record) counts as a full line, so nothing is read or written past it.
  u32 used = bits::min32(line->len, text_capacity);
  u32 n = bits::min32(bytes.len, text_capacity - used);
  if (n != 0) __builtin_memcpy(line->bytes + used, bytes.ptr, n);
  line->len = used + n;
  if (n < bytes.len) drop_cut_sequence(line);
}

void put_u64(Text* line, u64 value) {
  u8 buffer[fmt::dec_size];
  put(line, fmt::dec(value, buffer));
}

void put_two(Text* line, u64 value) {
  if (value < 10) put(line, mem::lit("0"));
  put_u64(line, value);
}

void put_tenths(Text* line, u64 tenths) {
  put_u64(line, tenths / 10);
  put(line, mem::lit("."));
  put_u64(line, tenths % 10);
}

void put_hundredths(Text* line, u64 hundredths) {
  put_u64(line, hundredths / 100);
  put(line, mem::lit("."));
  put_two(line, hundredths % 100);
}

void percent(Text* line, u32 hundredths) {
  put_u64(line, percent_of(hundredths));
  put(line, mem::lit(" %"));
}

void gib(Text* line, u64 mib) {
  put_tenths(line, scaled(mib, 10, 1024));
  put(line, mem::lit(" GB"));
}

void gib_pair(Text* line, u64 mib_a, u64 mib_b) {
  put_tenths(line, scaled(mib_a, 10, 1024));
  put(line, mem::lit(" / "));
  gib(line, mib_b);
}

void byte_rate(Text* line, u32 kib_per_s) {
  u32 tier = byte_tier(kib_per_s);
  if (tier == 0) {
    put_u64(line, kib_per_s);
    put(line, mem::lit(" KB/s"));
    return;
  }
  put_tenths(line, rate_tenths(kib_per_s, tier));
  put(line, tier == 1 ? mem::lit(" MB/s") : mem::lit(" GB/s"));
}

void bit_rate(Text* line, u32 kib_per_s) {
  u64 bits_per_s = bits_of(kib_per_s);
  u32 tier = bit_tier(bits_per_s);
  put_bits(line, bits_per_s, tier);
  putBitUnit(line, tier);
}

void putBitUnit(Text* line, u32 tier) {
  put(line, tier == 1 ? mem::lit(" Mbps") : tier == 2 ? mem::lit(" Gbps") : mem::lit(" Kbps"));
}

void put_bits(Text* line, u64 bits_per_s, u32 tier) {
  if (tier == 1 || tier == 2) {
    put_tenths(line, bit_tenths(bits_per_s, tier));
  } else {
    put_u64(line, rounded(bits_per_s, 1000));
  }
}

void bitFigure(Text* line, u32 kib_a, u32 kib_b, u32 which) {
  u32 tier = bit_tier(bits_of(bits::max32(kib_a, kib_b)));
  put_bits(line, bits_of(which != 0 ? kib_b : kib_a), tier);
  if (which != 0) putBitUnit(line, tier);
}

void bit_pair(Text* line, u32 up_kib_per_s, u32 down_kib_per_s) {
  put(line, mem::lit("up "));
  bitFigure(line, up_kib_per_s, down_kib_per_s, 0);
  put(line, mem::lit(" down "));
  bitFigure(line, up_kib_per_s, down_kib_per_s, 1);
}

void ghz(Text* line, u32 mhz) {
  put_hundredths(line, rounded(mhz, 10));
  put(line, mem::lit(" GHz"));
}

void ghz_known(Text* line, u32 mhz) {
  if (mhz == 0) {
    put(line, mem::lit("-"));
    return;
  }
  ghz(line, mhz);
}

void count_known(Text* line, u64 count) {
  if (count == 0) {
    put(line, mem::lit("-"));
    return;
  }
  put_u64(line, count);
}

void cpu_line(Text* line, u32 hundredths, u32 mhz) {
  percent(line, hundredths);
  if (mhz == 0) return;
  put(line, mem::lit(" - "));
  ghz(line, mhz);
}

void uptime(Text* line, u64 seconds) {
  u64 rest = seconds % 86400;
  put_u64(line, seconds / 86400);
  put(line, mem::lit(":"));
  put_two(line, rest / 3600);
  put(line, mem::lit(":"));
  put_two(line, rest % 3600 / 60);
  put(line, mem::lit(":"));
  put_two(line, rest % 60);
}

void ago(Text* line, u32 seconds) {
  if (seconds == 0) {
    put(line, mem::lit("now"));
    return;
  }
  put_u64(line, seconds);
  put(line, mem::lit(" s ago"));
}

}  // namespace words
