#pragma once
// Unsigned numbers as decimal or lower-case hexadecimal text in a caller's buffer, right-aligned, no leading zeros.
#include "base/mem.h"

namespace fmt {

// The most digits of a u64: 20 decimal, 16 hexadecimal.
constexpr u32 dec_size = 20;
constexpr u32 hex_size = 16;

// Writes the decimal digits so that they end at the buffer's last byte and returns the index of the first; the text
// is buffer[start .. 20). Zero gives "0".
u32 digits(u64 value, u8 (&buffer)[dec_size]);
// The decimal text of value, inside the buffer.
mem::Slice dec(u64 value, u8 (&buffer)[dec_size]);
// The hexadecimal text of value ("0" to "9", "a" to "f"), inside the buffer. Zero gives "0".
mem::Slice hex(u64 value, u8 (&buffer)[hex_size]);

}  // namespace fmt
