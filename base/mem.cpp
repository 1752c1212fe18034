#include "base/mem.h"

namespace mem {

u32 arena_init(Arena* arena, u64 size) {
  *arena = Arena{};
  if (size == 0) return 0;
  u8* block = static_cast<u8*>(os::pages_reserve(size));
  if (!block) return 0;
  arena->base = block;
  arena->capacity = size;
  return 1;
}

Slice alloc(Arena* arena, u64 size, u64 alignment) {
  if (size == 0 || alignment == 0 || (alignment & (alignment - 1)) != 0) return Slice{};
  u64 here = reinterpret_cast<u64>(arena->base) + arena->used;
  u64 pad = (alignment - 1) & (0 - here);
  // Differences only, so no request can wrap around.
  if (arena->capacity - arena->used < pad) return Slice{};
  u64 offset = arena->used + pad;
  if (arena->capacity - offset < size) return Slice{};
  arena->used = offset + size;
  return Slice{arena->base + offset, size};
}

void reset(Arena* arena) {
  if (arena->base) fill(Slice{arena->base, arena->used}, 0);
  arena->used = 0;
}

u32 release(Arena* arena) {
  u32 result = 0;
  if (arena->base) result = os::pages_release(arena->base, arena->capacity);
  *arena = Arena{};
  return result;
}

Bytes cstr(const char* text) {
  u64 n = 0;
  while (text[n] != 0) ++n;
  return Bytes(reinterpret_cast<const u8*>(text), n);
}

void copy(Slice dst, Bytes src) {
  u64 n = dst.len < src.len ? dst.len : src.len;
  if (n == 0 || dst.ptr == src.ptr) return;
  u64 distance = reinterpret_cast<u64>(dst.ptr) - reinterpret_cast<u64>(src.ptr);
  if (distance < n) {
    for (u64 i = n; i > 0; --i) dst.ptr[i - 1] = src.ptr[i - 1];
  } else {
    __builtin_memmove(dst.ptr, src.ptr, n);
  }
}

u32 eq(Bytes a, Bytes b) {
  if (a.len != b.len) return 0;
  u64 i = 0;
  for (; i + 8 <= a.len; i += 8) {
    u64 x, y;
    __builtin_memcpy(&x, a.ptr + i, 8);
    __builtin_memcpy(&y, b.ptr + i, 8);
    if (x != y) return 0;
  }
  for (; i < a.len; ++i)
    if (a.ptr[i] != b.ptr[i]) return 0;
  return 1;
}

void fill(Slice s, u8 value) {
  u64 word = 0x0101010101010101ull * value;
  u64 i = 0;
  for (; i + 8 <= s.len; i += 8) __builtin_memcpy(s.ptr + i, &word, 8);
  for (; i < s.len; ++i) s.ptr[i] = value;
}

}  // namespace mem
