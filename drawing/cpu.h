#pragma once
// CPU compositing of the tile renderer: every tile whose hash changed is cleared to transparent black and its items
// are composited in recording order (rectangles with fractional edges, glyph coverage from the atlas, images by
// nearest sample), then the hashes are committed. Unchanged tiles keep last frame's pixels.
//
// Pixels are premultiplied 0xAARRGGBB (bytes blue, green, red, alpha in memory). Blending works per channel on 8-bit
// values with the rounded division div255, exact for every product of two 8-bit values. The arithmetic runs on
// 16-byte vectors of two pixels as eight 16-bit channel values, which every target has (SSE2, wasm simd128) and which
// the compiler lowers to scalar code where it has none.
#include "base/mem.h"
#include "drawing/render.h"

namespace cpu {

typedef u16 u16x8 __attribute__((vector_size(16)));
typedef u8 u8x16 __attribute__((vector_size(16)));

// 1 after drawing the changed tiles of a prepared frame and committing its hashes; 0, touching nothing, when no
// frame is ready.
u32 draw(render::Renderer* r);
// Draws the changed tiles of a tile group.
void resolve(render::Renderer* r, u32 group, u32 worker);
// Clears one tile and composites its items.
void tile(render::Renderer* r, u32 tile);
// One item (global index) into the tile whose top-left pixel is at pixels, at (tx, ty) px in the frame.
void fill(const render::Renderer& r, u32* pixels, u32 tx, u32 ty, u32 item);
void glyph(const render::Renderer& r, u32* pixels, u32 tx, u32 ty, u32 item);
void image(const render::Renderer& r, u32* pixels, u32 tx, u32 ty, u32 item);

// (x + 128 + ((x + 128) >> 8)) >> 8.
u32 div255(u32 x);
u16x8 div255(u16x8 x);
// Source-over of one premultiplied pixel: S + div255(D * (255 - S alpha)) per channel, at most 255.
u32 over(u32 source, u32 destination);
// The same over 8 and 16 pixels in place.
void over8(u32* destination, const u32* source);
void over_row(u32* destination, const u32* source);
// Colour C with alpha A through coverage k (per channel) over D: div255(C k) + div255(D (255 - div255(A k))).
u16x8 mix(u16x8 paint, u32 alpha, u16x8 k, u16x8 destination);
// A row of 16 pixels: the colour through 16 coverage bytes, with mix.
void blend(u32* row, const u8* coverage, u32 colour);
// Four coverage bytes (a word, first pixel lowest) repeated over the four channels of their pixels.
u8x16 expand(u32 coverage);
// The colour's channels for two pixels.
u16x8 paint_of(u32 colour);
// Two pairs of pixels' channels back to four pixels, each channel cut to 255.
u8x16 pack(u16x8 low, u16x8 high);

}  // namespace cpu
