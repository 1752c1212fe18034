#pragma once
// Process entry and mode dispatch: one executable, one mode per command line.
#include "base/mem.h"

namespace main {

// Version parts packed in 24 bits, part 0 in the low byte: 0.1.81.
constexpr u32 version_packed = 0x510100;

// Byte i (0 to 2) of the packed version; 0 for any other i.
u32 version_byte(u32 i);
// Writes v in decimal at out[at..]; returns the new position (out holds at least 16 bytes).
u32 put_dec(u8* out, u32 at, u32 v);
// Writes "0.1.81" into a 16-byte buffer; returns its length.
u32 version_text(u8* out16);

// Matches the command line against the option forms and runs one mode; returns the exit code.
u32 main();
[[noreturn]] void start();

}  // namespace main
