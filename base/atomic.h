#pragma once
// Words shared with another process through mapped memory. Every such word is read and written whole through
// these, so that the compiler neither tears nor caches it; the ordering between a word and the plain bytes beside
// it comes from full fences (os::fence) where a record is copied. The word must be aligned to its size.
#include "base/mem.h"

namespace atomic {

template <typename T>
inline T load(const T* word) {
  return __atomic_load_n(word, __ATOMIC_SEQ_CST);
}
template <typename T>
inline void store(T* word, T value) {
  __atomic_store_n(word, value, __ATOMIC_SEQ_CST);
}

}  // namespace atomic
