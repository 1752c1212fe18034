#include "drawing/atlas.h"

namespace atlas {

namespace {

constexpr u64 largest_store = 0xFFFF0000;  // keeps every slot offset below the two markers
constexpr u32 largest_side = 0xFFFF;

void put32(u8* p, u32 v) {
  p[0] = static_cast<u8>(v);
  p[1] = static_cast<u8>(v >> 8);
  p[2] = static_cast<u8>(v >> 16);
  p[3] = static_cast<u8>(v >> 24);
}

u32 get32(const u8* p) {
  return static_cast<u32>(p[0]) | static_cast<u32>(p[1]) << 8 | static_cast<u32>(p[2]) << 16 |
         static_cast<u32>(p[3]) << 24;
}

// The slot of a key that has one, else null.
u8* slot_of(const Atlas& a, u32 index) {
  if (index >= a.key_count || a.offsets[index] >= no_slot) return nullptr;
  return a.store + a.offsets[index];
}

}  // namespace

u64 key(u32 glyph, u32 px, u32 face) {
  return (glyph & 0xFFFF) | static_cast<u64>(px & 0xFFFF) << 16 | static_cast<u64>(face) << 32;
}

u32 home(u64 k) { return static_cast<u32>((k * 0x9E3779B97F4A7C15ull) >> 51); }

u32 row_stride(u32 width) { return ((width + 31) & ~63u) + 64; }

u64 slot_bytes(u32 width, u32 height) { return static_cast<u64>(height) * row_stride(width) + 64; }

u32 init(Atlas* a, mem::Arena* arena, u64 bytes) {
  *a = Atlas{};
  if (bytes == 0 || bytes > largest_store) return 0;
  u64 capacity = (bytes + 63) & ~u64{63};
  u8* store = mem::alloc(arena, capacity, 64).ptr;
  u64* keys = reinterpret_cast<u64*>(mem::alloc(arena, max_keys * sizeof(u64), 64).ptr);
  u32* offsets = reinterpret_cast<u32*>(mem::alloc(arena, max_keys * sizeof(u32), 64).ptr);
  u16* hash = reinterpret_cast<u16*>(mem::alloc(arena, hash_size * sizeof(u16), 64).ptr);
  if (!store || !keys || !offsets || !hash) return 0;
  *a = Atlas{store, capacity, 0, 0, keys, offsets, hash};
  clear(a);
  return 1;
}

void clear(Atlas* a) {
  mem::fill(mem::Slice{reinterpret_cast<u8*>(a->hash), hash_size * sizeof(u16)}, 0);
  a->key_count = 0;
  a->used = 0;
}

// Linear probe from the key's home: the position holding the key, or the empty one that ends the run.
static u32 probe(const Atlas& a, u64 k) {
  u32 at = home(k);
  while (a.hash[at] != 0 && a.keys[a.hash[at] - 1] != k) at = (at + 1) & (hash_size - 1);
  return at;
}

u32 find(const Atlas& a, u64 k) {
  u16 entry = a.hash[probe(a, k)];
  return entry ? entry - 1u : absent;
}

u32 claim(Atlas* a, u64 k, u32* fresh) {
  *fresh = 0;
  u32 at = probe(*a, k);
  if (a->hash[at] != 0) return a->hash[at] - 1u;
  if (a->key_count >= max_keys) return absent;
  u32 index = a->key_count++;
  a->keys[index] = k;
  a->offsets[index] = no_slot_yet;
  a->hash[at] = static_cast<u16>(index + 1);
  *fresh = 1;
  return index;
}

u32 fits(const Atlas& a, u32 width, u32 height) {
  return width <= largest_side && height <= largest_side && a.capacity - a.used >= slot_bytes(width, height);
}

u32 reserve(Atlas* a, u32 index, u32 width, u32 height) {
  if (index >= a->key_count) return 0;
  if (!fits(*a, width, height)) {
    a->offsets[index] = no_slot;
    return 0;
  }
  a->offsets[index] = static_cast<u32>(a->used);
  // The size goes in now, so that a write of another size is refused instead of running into the next slot.
  put32(a->store + a->used, width | height << 16);
  a->used += slot_bytes(width, height);
  return 1;
}

u32 write(Atlas* a, u32 index, const raster::GlyphBox& box, const u8* coverage, const u8* gamma) {
  u8* slot = slot_of(*a, index);
  u32 size = box.width | static_cast<u32>(box.height) << 16;
  if (!slot || get32(slot) != size) return 0;
  const u32 stride = row_stride(box.width);
  mem::fill(mem::Slice{slot, slot_bytes(box.width, box.height)}, 0);
  put32(slot, size);
  put32(slot + 4, static_cast<u32>(static_cast<i32>(box.left)));
  put32(slot + 8, static_cast<u32>(static_cast<i32>(box.top)));
  put32(slot + 12, static_cast<u32>(box.advance));
  put32(slot + 16, stride);
  for (u32 r = 0; r < box.height; ++r) {
    const u8* in = coverage + static_cast<u64>(r) * box.width;
    u8* out = slot + first_pixel + static_cast<u64>(r) * stride;
    for (u32 x = 0; x < box.width; ++x) out[x] = gamma[in[x]];
  }
  return 1;
}

void metrics(const Atlas& a, u32 index, raster::GlyphBox* box) {
  *box = raster::GlyphBox{};
  const u8* slot = slot_of(a, index);
  if (!slot) return;
  u32 size = get32(slot);
  box->width = static_cast<u16>(size & 0xFFFF);
  box->height = static_cast<u16>(size >> 16);
  box->left = static_cast<i16>(static_cast<i32>(get32(slot + 4)));
  box->top = static_cast<i16>(static_cast<i32>(get32(slot + 8)));
  box->advance = static_cast<i32>(get32(slot + 12));
}

u32 stride(const Atlas& a, u32 index) {
  const u8* slot = slot_of(a, index);
  return slot ? get32(slot + 16) : 0;
}

}  // namespace atlas
