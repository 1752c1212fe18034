#pragma once
// The own tile renderer: a retained recorder of three kinds of drawing commands (solid rectangles, glyph runs,
// images) over a frame of 16 x 16 px tiles, set up once inside one arena.
//
// Each frame: render::begin with the target, recording calls under the clip stack, then render::end (glyph
// preparation, binning of every item into per-tile lists that keep the recording order, a 64-bit hash per tile),
// then cpu::draw, which recomposites only the tiles whose hash changed and commits the hashes. Coordinates handed to
// the recording calls are 1/256 px and pass through the frame's scale (256 = 1:1); colours and image pixels are
// premultiplied 0xAARRGGBB.
#include "base/mem.h"
#include "drawing/atlas.h"
#include "drawing/font.h"
#include "drawing/raster.h"

namespace render {

constexpr u32 tile_side = 16;
constexpr u32 max_faces = 16;
constexpr u32 max_images = 256;
constexpr u32 clip_depth = 32;
constexpr u32 max_blocks = 256;
constexpr u32 max_workers = 16;
constexpr u32 max_image_side = 16384;
constexpr u32 none = 0xFFFFFFFF;  // no item, no layer, no image

enum : u32 { kind_rect = 0, kind_glyph = 1, kind_image = 2, kinds = 3 };

// Block tags of the block list.
enum : u8 { tag_shared = 0, tag_worker = 1 };

struct Limits {
  u32 max_width, max_height;  // px, 1..16,384
  u32 rects;                  // rectangle commands per frame
  u32 glyphs;                 // glyph instances per frame, and the claimed-glyph list
  u32 images;                 // image draws per frame
  u32 commands;               // entries of the command list
  u32 layers;                 // runs of same-kind commands
  u32 tile_entries;           // entries of all per-tile lists together
  u64 image_bytes;            // pixels of all registered images, in bytes
  u64 atlas_bytes;            // glyph slot store
  u32 canvas;                 // px per side of the glyph canvas; larger glyphs are not drawn
  u32 points, contours;       // outline capacity per glyph
  u32 slices;                 // slices each kind is split into when binning, 1..16
  u32 workers;                // glyph canvases and outlines set up, 1..16
  u32 groups;                 // most groups of tiles hashed and drawn as one work item
};

// The frame's pixels: 64-byte aligned, stride a multiple of 16 px, and rows to the next multiple of 16 present, so
// that every tile can be drawn whole.
struct Target {
  u32* pixels;
  u64 count;  // pixels available
  u32 width, height, stride;
};

struct Block {
  void* ptr;
  u64 bytes;
  u8 tag;
};

// Whole px; x1 and y1 exclusive.
struct Clip {
  i32 x0, y0, x1, y1;
};

struct Command {
  u32 kind, first, count;
};

// 1/256 px, already scaled and cut to the clip.
struct Rect {
  i32 x0, y0, x1, y1;
  u32 colour;
};

struct Glyph {
  i32 x, y;  // pen position, 1/256 px
  u32 glyph, face, px, colour;
  Clip clip;
  u32 atlas;  // key index, atlas::absent when the key could not be held
  // Placement, written by render::prepare; all 0 when the glyph cannot be drawn.
  i32 pixel_x, pixel_y;
  u32 width, height;
  u32 offset;  // byte offset of the first coverage byte in the atlas store
  u32 stride;  // coverage row stride in bytes
};

struct ImageDraw {
  u32 image;
  i32 sx, sy, sw, sh;  // source rectangle in image pixels
  i32 x0, y0, x1, y1;  // destination in px, not clipped
  Clip clip;
};

// Tiles an item covers: columns tx0..tx1-1, rows ty0..ty1-1; all 0 when it covers none.
struct Span {
  u32 tx0, ty0, tx1, ty1;
};

struct Image {
  u32 width, height, stride;  // stride: width rounded up to 16 px
  u32 version;                // raised by every update; part of the hashes of its draws
  u64 offset;                 // first pixel in the image store
  u32* pixels;                // where its rows are read from (the store at offset)
};

// A glyph key met for the first time this frame.
struct Claim {
  u32 key;  // atlas key index
  u32 width, height;
  u32 failed;
};

struct TileWalk {
  u32 tile;
  u32 slice[kinds], cursor[kinds], end[kinds];
};

struct Renderer {
  Limits limits;

  Block blocks[max_blocks];
  u32 block_count;
  u8 failed;  // a block could not be taken or the list is full

  // Frame.
  Target target;
  u32 width, height;
  i32 scale;
  u32 tile_columns, tile_rows, tile_count;
  u32 row_length;  // entries of one tile table: tiles of the largest frame, rounded up to 16
  u8 all_changed, ready;
  u32* previous_pixels;
  u32 previous_width, previous_height;
  u32 change_count;  // raised by the drawing layer when content changed between frames

  // Clip stack.
  Clip clips[clip_depth];
  u32 depth;     // 0: no frame open
  u32 overflow;  // pushes beyond the last entry, undone first by pops
  u32 dropped;   // items lost to full lists this frame
  u32 refused;   // items refused for bad arguments or a closed frame

  Command* commands;
  u32 command_count;
  u32* layer_kinds;
  u32 layer_count;
  Rect* rects;
  u32 rect_count;
  Glyph* glyphs;
  u32 glyph_count;
  ImageDraw* draws;
  u32 draw_count;

  // Items by global index (render::kind_base): layer, tile span and hash.
  u32 base[kinds];
  u32 item_total;
  u32* item_layers;
  Span* spans;
  u64* hashes;

  font::Face faces[max_faces];
  u32 face_count;
  Image images[max_images];
  u32 image_count;
  u32* store;  // image pixels
  u64 store_pixels, store_used;

  atlas::Atlas atlas;
  Claim* claimed;
  u32 claim_count;

  raster::Canvas canvases[max_workers];
  font::Outline outlines[max_workers];

  // Binning: one table per (kind, slice), row_length entries each, at (kind * slices + slice) * row_length + tile.
  u32* counts;
  u32* starts;
  u32* cursors;
  u32* entries;  // item indexes of every per-tile list
  u32 entries_used;
  u32* group_bounds;  // groups + 1
  u32 group_count;
  u64* previous_hashes;
  u64* current_hashes;
  u32* changed;  // 1 per tile to redraw
  u32 changed_count;
  u32* work_order;
  u32 work_capacity;

  // Tables built once.
  u8* gamma;       // 256 corrected coverage levels
  i32* lanes_i32;  // 0..15
  u8* lanes_u8;    // 0..15
};

// ---- Set-up, faces and images

Limits defaults();
// 1 with every array taken from the arena; 0 for limits out of range or a full arena.
u32 init(Renderer* r, mem::Arena* arena, const Limits& limits);
// The face's index, or -1 when 16 are held or the file does not parse. The bytes stay the caller's.
i32 face_add(Renderer* r, mem::Arena* arena, const u8* bytes, u64 length);
// The image's index, or none. Pixels are width x height, packed rows.
u32 image_add(Renderer* r, const u32* pixels, u64 count, u32 width, u32 height);
// Copies packed rows into an image's store rows; the rest of each row becomes 0.
void copy_image(Renderer* r, u32 index, const u32* pixels);
// New pixels of the same size; raises the version so every draw of it is redrawn. 0 for a bad index or too few.
u32 image_update(Renderer* r, u32 index, const u32* pixels, u64 count);

// ---- Frame and recording

// Opens a frame. 0 when the target or scale is refused; no frame is then open.
u32 begin(Renderer* r, const Target& target, i32 scale);
void push_clip(Renderer* r, i32 x0, i32 y0, i32 x1, i32 y1);
void pop_clip(Renderer* r);
void fill_rect(Renderer* r, i32 x0, i32 y0, i32 x1, i32 y1, u32 colour);
// Glyphs of one face and size at pen (x, y) plus per-glyph offsets; returns the glyphs recorded.
u32 glyph_run(Renderer* r, u32 face, u32 size, i32 x, i32 y, const u32* ids, u32 id_count, const i32* x_offsets,
              u32 x_count, const i32* y_offsets, u32 y_count, u32 colour);
void image(Renderer* r, u32 index, i32 sx, i32 sy, i32 sw, i32 sh, i32 x0, i32 y0, i32 x1, i32 y1);
// Appends a command, opening a layer when the kind changes; 0 with the items counted as dropped when full.
u32 command(Renderer* r, u32 kind, u32 first, u32 count);

// v x scale >> 8, clamped to the i32 range.
i32 scaled(i64 v, i32 scale);
// Global index of the kind's first item.
u32 kind_base(const Renderer& r, u32 kind);
// The compositing's corrected coverage: floor((c * (765 - c) + 255) / 510).
u8 gamma_level(u32 c);

// Arena takes: a 64-aligned block of bytes rounded up to 64 (64 for none), recorded in the block list.
void* take(Renderer* r, mem::Arena* arena, u64 bytes, u8 tag);
u32* take_u32(Renderer* r, mem::Arena* arena, u64 count);
i32* take_i32(Renderer* r, mem::Arena* arena, u64 count);
u64* take_u64(Renderer* r, mem::Arena* arena, u64 count);
// Adds a block to the block list; a null block or a full list sets the failure flag.
void record(Renderer* r, void* ptr, u64 bytes, u8 tag);
// record for a block taken by another module (atlas, canvas, outline).
void note(Renderer* r, const void* ptr, u64 bytes, u8 tag);

// ---- Preparation, binning, hashing, commit

// One work item of a pass; writes only that item's outputs.
using Pass = void (*)(Renderer* r, u32 item, u32 worker);
// Runs the callback over items 0..count-1 in order with glyph worker 0; 0.
u32 each(Renderer* r, u32 work, u32 count, Pass pass);

// Closes the frame and prepares every item: glyphs found or rasterised into the atlas, spans and item hashes.
// 0 when no frame was open.
u32 prepare(Renderer* r);
// Per-tile lists; 0 with the all-changed flag set when the tile entries do not suffice.
u32 bin(Renderer* r);
// Tile hashes and changed flags; sets the ready flag.
u32 hash(Renderer* r);
// prepare, bin and hash; 1 when the frame can be drawn.
u32 end(Renderer* r);
// After drawing: the current hashes become the previous ones; all-changed and ready are cleared.
void commit(Renderer* r);

// Pass callbacks.
void fill_columns(Renderer* r, u32 chunk, u32 worker);
void lookup(Renderer* r, u32 chunk, u32 worker);
void claim(Renderer* r);
void measure(Renderer* r, u32 chunk, u32 worker);
void reserve(Renderer* r);
void raster_glyph(Renderer* r, u32 claimed, u32 worker);
void place(Renderer* r, u32 chunk, u32 worker);
void image_columns(Renderer* r, u32 chunk, u32 worker);
void count(Renderer* r, u32 table, u32 worker);
u32 prefix(Renderer* r);
void ranges(Renderer* r);
void scatter(Renderer* r, u32 table, u32 worker);
void tile_hash(Renderer* r, u32 group, u32 worker);

// Sum over items of the tiles they cover.
u64 area(const Renderer& r);
// Items [*first, *last) of the kind's n that belong to a slice.
void chunk_rows(u32 n, u32 slices, u32 slice, u32* first, u32* last);
void key_parts(u64 key, u32* glyph, u32* px, u32* face);
void span(Span* spans, u32 item, i64 x0, i64 y0, i64 x1, i64 y1);

// Item hashes: h = ((h ^ (h >> 29)) ^ v) * K, finished by h ^= h >> 29.
constexpr u64 hash_k = 0x9E3779B97F4A7C15ull;
constexpr u64 tile_start = 0x6A09E667F3BCC908ull;
inline u64 mix(u64 h, u64 v) { return ((h ^ (h >> 29)) ^ v) * hash_k; }
inline u64 pair(i64 a, i64 b) { return static_cast<u64>(static_cast<u32>(b)) << 32 | static_cast<u32>(a); }
// One step of a tile's hash over the next item hash in walk order (shared with the drawing layer's band check).
inline u64 tile_step(u64 h, u64 item_hash) {
  h = (h ^ item_hash) * hash_k;
  return h ^ (h >> 29);
}

// ---- Tile walk: a tile's items in recording order, layer by layer. Inline: hashing and compositing call it per
// item.

// Loads the list of the kind's current slice.
inline void walk_chunk(const Renderer& r, TileWalk* w, u32 kind) {
  u64 at = u64{kind * r.limits.slices + w->slice[kind]} * r.row_length + w->tile;
  w->cursor[kind] = r.starts[at];
  w->end[kind] = r.starts[at] + r.counts[at];
}

inline void walk_start(const Renderer& r, u32 tile, TileWalk* w) {
  w->tile = tile;
  for (u32 kind = 0; kind < kinds; ++kind) {
    w->slice[kind] = 0;
    walk_chunk(r, w, kind);
  }
}

// Moves on to later slices while the kind's list is used up; 1 when an item is left.
inline u32 walk_refill(const Renderer& r, TileWalk* w, u32 kind) {
  while (w->cursor[kind] == w->end[kind] && w->slice[kind] + 1 < r.limits.slices) {
    w->slice[kind] += 1;
    walk_chunk(r, w, kind);
  }
  return w->cursor[kind] < w->end[kind];
}

// The next layer with items in the tile, or none.
inline u32 walk_layer(const Renderer& r, TileWalk* w) {
  u32 layer = none;
  for (u32 kind = 0; kind < kinds; ++kind) {
    if (!walk_refill(r, w, kind)) continue;
    u32 next = r.item_layers[r.entries[w->cursor[kind]]];
    if (next < layer) layer = next;
  }
  return layer;
}

// The next item of the kind when it belongs to the layer (and passes it), else none.
inline u32 walk_next(const Renderer& r, TileWalk* w, u32 kind, u32 layer) {
  if (!walk_refill(r, w, kind)) return none;
  u32 item = r.entries[w->cursor[kind]];
  if (r.item_layers[item] != layer) return none;
  w->cursor[kind] += 1;
  return item;
}

}  // namespace render
