#pragma once
// Glyph coverage by exact signed-area accumulation, in integers only. Coordinates are 1/256 px with y growing down
// and the origin at the canvas's top-left corner. Each edge adds area and cover to cells of an accumulation buffer;
// one pass per row turns the running sums into 8-bit coverage (non-zero rule by magnitude). Quadratic curves become
// at most 64 lines by exact forward differencing.
#include "base/mem.h"
#include "drawing/font.h"

namespace raster {

// The running sum of one wholly covered pixel: 256 rows of 1/256 px, each worth 512.
constexpr i64 full_cover = 131072;
// Sizes in px per em that raster::measure accepts.
constexpr u32 largest_px = 2048;
// A canvas side is at most this many px (the box of a glyph is 16-bit).
constexpr u32 largest_side = 65535;

struct Canvas {
  i64* cells;       // max height rows of (max width + 2); rows of the current glyph use stride width + 2
  u8* coverage;     // after finish: height rows of width bytes
  u32 width, height, stride;
  u32 max_width, max_height;
};

// Where a glyph's pixels lie, from raster::measure.
struct GlyphBox {
  u16 width, height;  // whole px
  i16 left, top;      // top-left corner from the glyph origin, y down (negative above the baseline)
  i32 advance;        // 1/256 px
};

// 1 when both arrays were taken from the arena (sides 1..65,535), else 0. The cells start cleared.
u32 canvas_init(Canvas* canvas, mem::Arena* arena, u32 max_width, u32 max_height);
// 0 and nothing changed when a side exceeds the canvas; else the glyph's size is set and 1.
u32 begin(Canvas* canvas, u32 width, u32 height);
// Accumulates one directed edge. The parts of an edge above or below the canvas are cut off; the parts left or
// right of it are projected onto its left or right border, so they still cover the pixels to their right.
void line(Canvas* canvas, i32 x0, i32 y0, i32 x1, i32 y1);
// Accumulates one quadratic curve from (x0, y0) through the control (cx, cy) to (x1, y1).
void quad(Canvas* canvas, i32 x0, i32 y0, i32 cx, i32 cy, i32 x1, i32 y1);
// Writes the coverage and clears every cell the glyph used.
void finish(Canvas* canvas);
// One closed contour of the outline's points first..last.
void contour(Canvas* canvas, const font::Outline& outline, u32 first, u32 last);
// Fills the outline (already measured into 1/256 px) into the canvas; 0 when the box does not fit the canvas, and
// then nothing is drawn.
u32 draw(Canvas* canvas, const font::Outline& outline, const GlyphBox& box);
// Decodes the glyph into the outline, scales it to px per em and moves it so the box's top-left pixel corner is the
// origin. 0, font::too_long for a size outside 1..2048 or a box too large, or a code of font::outline.
u32 measure(const font::Face& face, u32 glyph, u32 px, font::Outline* outline, GlyphBox* box);

// v font units at px per em in 1/256 px, rounded half up.
i64 scale_units(i64 v, u32 px, u32 units_per_em);
// Floor division for a positive divisor.
i64 floor_div(i64 a, i64 b);
// Quotient rounded down, with the remainder in 0..b-1 (b positive).
i64 divide_floor(i64 a, i64 b, i64* remainder);
// Lines for a curve whose second difference has magnitude sum d: the least i in 1..63 with 32*i*i >= d, else 64.
u32 steps(i64 d);

// One coordinate of a curve stepped exactly: after k steps value is floor(B(k/n) + 1/2).
struct Stepper {
  i64 value, value_rest;
  i64 first, first_rest;    // first difference and its remainder
  i64 second, second_rest;  // second difference and its remainder
  i64 denominator;          // 2*n*n
};
Stepper curve_start(i64 p0, i64 p1, i64 p2, u32 n);
void curve_step(Stepper* s);

}  // namespace raster
