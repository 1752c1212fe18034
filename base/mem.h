#pragma once
// Arenas and byte slices: every process mode takes its memory from a few arenas carved at start and never frees
// piecemeal; every string is a pointer and a length.
#include <stddef.h>
#include <stdint.h>

using u8 = uint8_t;
using u16 = uint16_t;
using u32 = uint32_t;
using u64 = uint64_t;
using i8 = int8_t;
using i16 = int16_t;
using i32 = int32_t;
using i64 = int64_t;

namespace mem {

// Writable bytes.
struct Slice {
  u8* ptr;
  u64 len;
};

// Read-only bytes; a Slice converts to it.
struct Bytes {
  const u8* ptr;
  u64 len;
  Bytes() : ptr(nullptr), len(0) {}
  Bytes(const u8* p, u64 n) : ptr(p), len(n) {}
  Bytes(Slice s) : ptr(s.ptr), len(s.len) {}
};

// A string literal as bytes, without its terminating zero.
template <u64 N>
inline Bytes lit(const char (&s)[N]) {
  return Bytes(reinterpret_cast<const u8*>(s), N - 1);
}

struct Arena {
  u8* base;
  u64 used;
  u64 capacity;
};

// Reserves and commits size zeroed bytes at once; 1 on success, 0 with the record cleared on failure.
u32 arena_init(Arena* arena, u64 size);
// The next size bytes aligned to alignment (a power of two); (null, 0) and no change when refused or full.
Slice alloc(Arena* arena, u64 size, u64 alignment);
// Zeroes what was handed out and starts over; the block stays.
void reset(Arena* arena);
// Returns the block; 0 when there was none, else the system's answer (nonzero on success).
u32 release(Arena* arena);

// Typed carving: count records of T, aligned for T; null when the arena is full.
template <typename T>
inline T* alloc_of(Arena* arena, u64 count = 1) {
  if (count == 0 || count > UINT64_MAX / sizeof(T)) return nullptr;
  return reinterpret_cast<T*>(alloc(arena, count * sizeof(T), alignof(T)).ptr);
}

// A zero-terminated text as bytes, without its terminator (word tables hold such texts).
Bytes cstr(const char* text);

// Copies min(dst.len, src.len) bytes; overlapping ranges are safe.
void copy(Slice dst, Bytes src);
// 1 when both have the same length and bytes.
u32 eq(Bytes a, Bytes b);
void fill(Slice s, u8 value);

}  // namespace mem

// The one service of the operating system that the arenas need. It is declared here, below the platform layer, so
// that base/ includes nothing above it; each platform backend defines the two functions.
namespace os {
// Reserves and commits size zeroed bytes at once; null on failure.
void* pages_reserve(u64 size);
// Returns nonzero on success.
u32 pages_release(void* block, u64 size);
}  // namespace os
