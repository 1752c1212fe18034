#pragma once
// The 16-bit rate code that stored history and the wire's process lists share. The names are the history store's;
// the code lives here, below both, so the wire can rank processes by it without reaching up into history.
#include "base/mem.h"

namespace hstore {

// The rate code: a value below 4096 as it is, else a 4-bit exponent and a 12-bit mantissa (the top bit implied);
// 0xFFFF from 2^27 on. Codes keep the order of the values, so a minimum of codes is the code of the minimum.
u16 rate_code(u64 value);
u32 rate_of(u16 code);

}  // namespace hstore
