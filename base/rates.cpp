#include "base/rates.h"

namespace hstore {

u16 rate_code(u64 value) {
  if (value < 4096) return static_cast<u16>(value);
  if (value >= (u64{1} << 27)) return 0xFFFF;
  u32 e = 64 - __builtin_clzll(value) - 12;  // smallest e with value < 2^(e + 12)
  return static_cast<u16>(e << 12 | ((value >> (e - 1)) - 4096));
}

u32 rate_of(u16 code) {
  if (code < 4096) return code;
  return ((code & 0xFFFu) + 4096) << ((code >> 12) - 1);
}

}  // namespace hstore
