#pragma once
// The small history charts of the views. Up to 97 chart slots share one pixel sheet, the chart canvas: each slot
// has a place on screen (60 columns of a logical step) and an area of the canvas, and chart::show puts that area on
// the screen. A track is a view of a sample ring as the charts read it; a column source says where one measure's
// values lie in the ring's rows. The small text and rectangle calls that every page uses live here too.
//
// Charts are drawn into the canvas only when their look, their layout or their track changed; a new live sample
// shifts the pixels by whole columns and draws only the uncovered columns.
#include "base/mem.h"
#include "drawing/draw.h"
#include "drawing/raster.h"
#include "sampling/ring.h"

namespace chart {

constexpr u32 slots = 97;
constexpr u32 columns_live = 60;
constexpr u32 gathered = 63;     // samples read for 60 columns of a smooth curve
constexpr u32 long_rows = 600;   // rows of a long-range track
constexpr u32 span_most = 16384; // columns of the long-range span cache, and the widest slot in px
constexpr u16 no_span = 0xFFFF;
constexpr u32 text_most = 96;    // units of one chart::text call
constexpr u32 canvas_columns = 72;
constexpr u32 series_most = 3;

// Buffers of the drawing steps, taken once from an arena (chart::scratch).
struct Scratch {
  raster::Canvas canvas;   // coverage of band edges, canvas_columns wide
  i16* spans;              // long ranges: per series and span-cache column, the first and last row drawn
  u32 width, height;       // the px sizes the buffers hold
};

struct Grid {
  u16 dpi;
  i16 x[slots], y[slots], width[slots], height[slots];          // px on screen
  i16 lx[slots], ly[slots], lwidth[slots], lheight[slots];      // logical px
  i16 canvas_x[slots], canvas_y[slots];                         // the slot's area of the canvas
  // A scrolling chart owns `room` px of canvas right of its width: each new sample moves its drawing `slide` px
  // further right instead of moving every pixel, and only a drawing that reaches the end is moved back to the start.
  i16 room[slots], slide[slots];
  u8 step[slots];     // logical column step
  u8 px_step[slots];  // px column step, 0 when columns fall on rounded positions
  u32 totals[slots];  // the track total at the last drawing
  u64 hashes[slots];  // the look hash at the last drawing
  u64 bound[2];       // the slot has a layout
  u64 drawn[2];       // its canvas area holds a drawing of the current layout
  Scratch scratch;
  u16 span_at[slots]; // offset of the slot's columns in the span cache, no_span when it did not fit
  u32 total;          // span-cache columns handed out
};

// Where one measure's values lie: value = first[row * row_stride + column * column_stride], unsigned, of width 1,
// 2 or 4 bytes (any other width reads 4).
struct Source {
  const u8* first;
  u32 row_stride;
  u32 column_stride;
  u32 width;
};

// A sample ring as the charts read it. Long-range tracks have a presence count per row (0: no sample there).
struct Track {
  u32 capacity;
  u32 position;    // where the next row goes
  u32 available;   // rows present
  u32 total;       // rows ever written; charts redraw when it moves
  u32 rows;        // long_rows
  const u16* presence;
};

u32 cell(const Source& source, u32 row, u32 column);
u64 canvas_bytes(i32 height);
u64 scratch_bytes(i32 width, i32 height);

// ---- Layout

void init(Grid* g);
// Logical rectangle and column step of a slot; anchor_end keeps the right end when px columns are whole. 1 when
// stored, 0 when refused (the slot is then unbound).
u32 put(Grid* g, u32 slot, i32 x, i32 y, i32 width, i32 height, i32 step, u32 anchor_end);
u32 place(Grid* g, u32 slot, i32 x, i32 y, i32 width, i32 height, i32 step);
u32 place_end(Grid* g, u32 slot, i32 x, i32 y, i32 width, i32 height, i32 step);
// A px step that columns can use: step * dpi / 96 when whole or at least 8, else 0.
u32 fair_step(i32 step, u32 dpi);
bool even(i32 step, u32 dpi);
// Places the bound slots on the canvas on shelves and hands out the span cache again in slot order; a slot that
// moves is drawn again. The canvas size.
draw::Size pack(Grid* g);
// Where the slot's drawing starts on the canvas, and how much of the canvas's width it owns.
i32 drawing_x(const Grid& g, u32 slot);
i32 canvas_width(const Grid& g, u32 slot);
i32 most_step(u32 dpi);
u32 row_of(u32 i);
// Every slot's canvas area is to be drawn again (the caller switched what the charts show).
void forget(Grid* g);
bool has_row(const u64* bits, u32 i);

// ---- Columns (px offsets relative to the slot's px x)

i32 col(const Grid& g, u32 slot, i32 i);
i32 columns(const Grid& g, u32 slot);
i32 span_end(const Grid& g, u32 slot);
i32 offset_px(const Grid& g, u32 slot, i32 x);
i32 index_at(const Grid& g, u32 slot, i32 x, bool want_px);
i32 cell_at(const Grid& g, u32 slot, i32 x, bool want_px);
i32 boundary_x(const Grid& g, u32 slot, i32 i, bool is_px);
i32 cell_x(const Grid& g, u32 slot, i32 i, bool is_px);

// ---- Tracks and values

// The ring carries no count of rows ever written, so the caller passes it (the machine record's sample count).
Track track_of(const ring::Ring& r, u32 total);
u32 track_row(const Track& t, u32 i);
u32 track_value(const Source& source, const Track& t, u32 i, u32 column);
u32 value_at(const Source& source, const ring::Ring& r, u32 i, u32 column);
// out[i] for i = 0..61 is the sample 61 - i rows back; older than the oldest repeats the oldest; out[62] = out[61].
void gather(const Source& source, const Track& t, u32 column, u32* out63);
void show(draw::Surface* s, const Grid& g, const draw::Sheet& sheet, u32 slot, bool write_through,
          draw::Rect keep_out, i32 band_left, i32 band_right, i32 row_limit);

// ---- Text and rectangles (logical px; text is UTF-8, cut at 96 UTF-16 units on a character boundary)

u32 units_of(mem::Bytes text, u16* out96);
i32 measure(draw::Surface* s, u32 role, mem::Bytes text);
// Align 0 left, 1 right, 2 centred; vertically centred. The text's width.
i32 text(draw::Surface* s, u32 role, mem::Bytes text, i32 x, i32 y, i32 width, i32 height, u32 colour, u32 align);
// The same drawn in place into the kept frame; 1 for empty text, 0 when the caller must draw with chart::text.
u32 ink(draw::Surface* s, u32 role, mem::Bytes text, i32 x, i32 y, i32 width, i32 height, u32 colour, u32 align);
void rect(draw::Surface* s, i32 x, i32 y, i32 width, i32 height, u32 colour);
void frame(draw::Surface* s, i32 x, i32 y, i32 width, i32 height, u32 colour);

// ---- Chart drawing

// How a slot is drawn, filled by the views. Colours are COLORREF (0x00BBGGRR); drawing converts them.
struct Look {
  u32 slot;
  u32 kind;       // 1 mirrored (series 0 rises from the middle, series 1 falls from it), 2 heat strip, else areas
  u32 count;      // series, at most 3
  u32 flags;      // bit 0 no stacking, bit 1 five grid rows, bit 2 long range
  u32 dot_mask;   // bit i: the newest-value dot on series i
  u32 rows;       // item rows of a heat strip
  i32 margin;     // px at 96 DPI
  i32 thick, thin;  // line half-widths in 1/256 px
  u32 max;        // the value at the top of the plot
  u32 background, grid;  // the grid colour is also the first colour of the heat ramp
  Source sources[series_most];  // a heat strip reads item r from column r of the first source
  u32 line[series_most], fill[series_most], alpha[series_most];
  u32 ramp_middle, ramp_last;
};
static_assert(sizeof(Look) == 168);

constexpr u32 kind_mirrored = 1, kind_heat = 2;
constexpr u32 flag_no_stack = 1, flag_grid = 2, flag_long = 4;

// The look's identity: its kind, sizes, colours and sources (not the slot number).
u64 look_of(const Look& look);
// The buffers of the drawing steps for slots of up to width x height px: the coverage canvas (canvas_bytes) and the
// span cache (3 x 2 x 16,384 int16); 0 when the arena is too small.
u32 scratch(Grid* g, mem::Arena* arena, i32 width, i32 height);
// The look at the grid's DPI: margin in px, half-widths scaled, colours as pixels.
Look scaled_plot(u32 dpi, const Look& look);
i32 scaled_sub(i32 v, u32 dpi);
// Brings the slot's canvas area up to date with the track: 1 when it drew, 0 when there was nothing to do, the slot
// is unbound, or the sheet, the scratch or the slot's area cannot hold the drawing.
u32 sync_track(Grid* g, draw::Sheet* sheet, const Look& look, const Track& t);
u32 sync(Grid* g, draw::Sheet* sheet, const Look& look, const ring::Ring& r, u32 total);

// Canvas columns c of C cover rows first..last back from the newest of a long-range track; false when none.
bool bucket(const Track& t, i32 c, i32 count, u32* first_back, u32* last_back);

}  // namespace chart
