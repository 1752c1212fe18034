#pragma once
// The drawing steps of a resource page and the keys of the bands they draw.
#include "base/mem.h"
#include "base/words.h"
#include "drawing/chart.h"
#include "drawing/draw.h"
#include "sampling/machine.h"

namespace views {

// Every drawing step below runs through a Pen: drawing into the surface, or, with keying set, only folding what it
// would draw into a key (texts with their boxes and colours, rectangles, the charts shown), which is how a new sample
// finds the bands whose content changed. Measuring still reads the surface's fonts.
struct Pen {
  draw::Surface* surface;
  bool keying;
  u64 key;
};
Pen drawing(draw::Surface* surface);
Pen keying(draw::Surface* surface);
i32 text(Pen* pen, u32 role, mem::Bytes text, i32 x, i32 y, i32 width, i32 height, u32 colour, u32 align);
void rect(Pen* pen, i32 x, i32 y, i32 width, i32 height, u32 colour);
void frame(Pen* pen, i32 x, i32 y, i32 width, i32 height, u32 colour);
// The content of a chart as drawn: its look, the rows present and the values of the rows its window reads.
u64 window_key(const chart::Look& look, const machine::Machine& m, u32 rows);

// Key folding (FNV-1a) and the small helpers of the page's drawing.
constexpr u64 fnv_basis = 0xCBF29CE484222325ull;
u64 mix(u64 h, u64 word);
u64 mix_bytes(u64 h, mem::Bytes b);
u64 pack(i32 a, i32 b);
mem::Bytes bytes_of(const words::Text& t);
// Text colours of the page.
constexpr u32 white = 0xE8E8E8, grey = 0xA0A0A0, dim = 0x808080;

}  // namespace views
