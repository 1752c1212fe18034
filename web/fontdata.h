#pragma once
// The Lato Regular font that the browser viewer carries for every text role, embedded in the module when it is
// built (tools/embed.cmake writes the bytes): Debian's Lato cut down to what the renderer reads and to the glyphs of
// the ranges the viewer keeps (see the web rules of CMakeLists.txt).
#include "base/mem.h"

namespace web {
extern const u8 lato_regular[];
extern const u64 lato_regular_size;
}  // namespace web
