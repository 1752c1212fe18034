// libFuzzer target: font files as untrusted input to the parser, the rasteriser and the atlas.
#include <stddef.h>
#include <stdint.h>

#include "tests/fuzz/font_exercise.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static mem::Arena arena = [] {
    mem::Arena a{};
    mem::arena_init(&a, 16 << 20);
    return a;
  }();
  exercise::font_bytes(data, size, &arena);
  return 0;
}
