#pragma once
// Random sources for the tests of key and machine-id makers: one that counts 1, 2, 3..., one that fails, and one
// that answers with zeros (which a maker must treat as a failure).
#include <string.h>

#include "base/mem.h"

namespace sources {

inline u32 counting_source(mem::Slice b) {
  for (u64 i = 0; i < b.len; ++i) b.ptr[i] = static_cast<u8>(i + 1);
  return 1;
}
inline u32 failing_source(mem::Slice b) {
  memset(b.ptr, 0, b.len);
  return 0;
}
inline u32 zero_source(mem::Slice b) {
  memset(b.ptr, 0, b.len);
  return 1;
}

}  // namespace sources
