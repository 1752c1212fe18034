#include "base/fmt.h"

namespace fmt {

u32 digits(u64 value, u8 (&buffer)[dec_size]) {
  u32 start = dec_size;
  do {
    buffer[--start] = static_cast<u8>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return start;
}

mem::Slice dec(u64 value, u8 (&buffer)[dec_size]) {
  u32 start = digits(value, buffer);
  return mem::Slice{buffer + start, dec_size - start};
}

mem::Slice hex(u64 value, u8 (&buffer)[hex_size]) {
  u32 start = hex_size;
  do {
    u32 nibble = static_cast<u32>(value & 0xF);
    buffer[--start] = static_cast<u8>(nibble < 10 ? '0' + nibble : 'a' + nibble - 10);
    value >>= 4;
  } while (value != 0);
  return mem::Slice{buffer + start, hex_size - start};
}

}  // namespace fmt
