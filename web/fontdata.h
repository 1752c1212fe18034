#pragma once
// The Lato Regular font that the browser viewer carries for every text role, embedded in the module when it is
// built (tools/embed.cmake writes the bytes).
#include "base/mem.h"

namespace web {
extern const u8 lato_regular[];
extern const u64 lato_regular_size;
}  // namespace web
