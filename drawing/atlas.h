#pragma once
// The glyph atlas: the corrected coverage of every glyph instance the renderer has drawn, one slot per (glyph, px
// size, face), found through an open-addressing hash of 16-bit entries. Slots are carved in order and never moved or
// evicted; the compositing and the in-place text path read them straight from the store, so the slot layout below is
// fixed:
//   0  u32  width (low 16 bits) | height << 16         12  i32  advance in 1/256 px
//   4  i32  left in px                                  16  u32  row stride in bytes
//   8  i32  top in px                                   20..79   zero
//   80 + r * stride: row r, width coverage bytes, the rest of the row zero
// Rows keep at least 32 spare bytes and start 80 bytes in, so 16 bytes read at any column from 15 before a row's
// start to its end stay inside the slot.
#include "base/mem.h"
#include "drawing/raster.h"

namespace atlas {

constexpr u32 max_keys = 4096;
constexpr u32 hash_size = 8192;
constexpr u32 first_pixel = 80;
constexpr u32 absent = 0xFFFFFFFF;
// Slot offsets of a key that has none.
constexpr u32 no_slot_yet = 0xFFFFFFFF;  // claimed, not reserved yet
constexpr u32 no_slot = 0xFFFFFFFE;      // cannot be drawn (no room, or not measurable)

struct Atlas {
  u8* store;
  u64 capacity;   // requested size rounded up to 64
  u64 used;
  u32 key_count;
  u64* keys;      // in claim order
  u32* offsets;   // slot offset per key, or no_slot_yet / no_slot
  u16* hash;      // 0 empty, else key index + 1
};

u64 key(u32 glyph, u32 px, u32 face);
// The 13-bit hash position where a key's probe starts.
u32 home(u64 key);

// 1 with the store (bytes rounded up to 64, 1..0xFFFF0000) and the tables taken from the arena; 0 otherwise.
u32 init(Atlas* atlas, mem::Arena* arena, u64 bytes);
// Forgets every key and slot.
void clear(Atlas* atlas);
// The key's index, or absent.
u32 find(const Atlas& atlas, u64 key);
// The key's index, inserting it when missing (fresh = 1); absent when 4,096 keys are held.
u32 claim(Atlas* atlas, u64 key, u32* fresh);
// Carves the slot of a claimed key: 1 with its offset stored, or 0 with the offset set to no_slot.
u32 reserve(Atlas* atlas, u32 index, u32 width, u32 height);
// 1 when a slot of this size fits the store's free space.
u32 fits(const Atlas& atlas, u32 width, u32 height);
// Fills a reserved slot from rasteriser coverage (rows of box width bytes) through the gamma table. 0 and nothing
// written when the key has no slot or the box is not the size the slot was reserved for.
u32 write(Atlas* atlas, u32 index, const raster::GlyphBox& box, const u8* coverage, const u8* gamma);
// Width, height, left, top and advance of a written slot.
void metrics(const Atlas& atlas, u32 index, raster::GlyphBox* box);
// The row stride stored in a key's slot.
u32 stride(const Atlas& atlas, u32 index);

// Bytes per row of a slot width px wide: ((width + 31) & ~63) + 64.
u32 row_stride(u32 width);
// Bytes of a slot: height rows plus 64.
u64 slot_bytes(u32 width, u32 height);

}  // namespace atlas
