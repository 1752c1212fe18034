#pragma once
// The Processes page: a process list drawn as a table with a title, a filter box, a status line, a header with sort
// marks, up to 128 rows of 16 px with tinted value cells, a scroll bar, a details box for the row under the pointer,
// and the loading and empty messages. The page keeps a change key of every cell it drew, so that a new table, a
// hover, a scroll or a selection repaints only the cells whose text, tint or background changed, moving unchanged
// rows inside the kept frame when the list scrolls or reorders.
//
// All coordinates are logical px; colours are 0x00BBGGRR. The shell owns one PageLayout and calls layout on every
// resize, render on paint and repaint_rows after input and ticks; the pages queue what they change on the drawing
// surface's lists and the shell presents them.
#include <stddef.h>

#include "base/mem.h"
#include "drawing/draw.h"
#include "views/proclist.h"
#include "sampling/model.h"

namespace procpage {

constexpr u32 none = 0xFFFFFFFFu;
constexpr u64 no_handle = model::no_handle;
constexpr u32 visible_most = 128;
constexpr i32 row_height = 16;
constexpr i32 header_top = 116;
constexpr i32 rows_top = 144;
constexpr i32 box_width = 320;
constexpr u32 wrap_lines = 10;
constexpr u32 wrap_bytes = 272;
// The kept scratch for moving rows: enough for one band of a 4096-px-wide table at twice the base DPI.
constexpr u64 scratch_most = 4096ull * 2 * row_height;

// Colours.
enum : u32 {
  colour_band = 0x262525,
  colour_band_hover = 0x373737,
  colour_line = 0x444444,
  colour_title = 0xA0A0A0,
  colour_bright = 0xE8E8E8,
  colour_mark = 0xFFC14F,
  colour_row = 0x201814,
  colour_row_hover = 0x373737,
  colour_row_selected = 0x463A2C,
  colour_row_both = 0x5A4A38,
  colour_tint = 0x24A5F5,
  colour_field = 0x302620,
  colour_hint = 0x808080,
  colour_track = 0x342A24,
  colour_thumb = 0x706A64,
  colour_box_frame = 0x584C44,
  colour_dot_off = 0x444444,
};

enum : u32 { role_body = 0, role_small = 3 };

struct PageLayout {
  i16 width, height;
  i16 left, right;
  i16 area;      // width for the columns: the table less its 8-px scroll bar
  i16 rows_top;
  u16 visible;   // rows in view, at most 128
  u16 columns;   // column mask
  u32 hovered;   // shown position under the pointer; none
  i16 pointer_x, pointer_y;
  u8 pointer_inside;
  u32 drawn_top;  // list top at the last drawing; none before the first full render and after every layout
  u32 drawn_shown;
  u16 drawn_visible;
  u64 status_hash;
  u32 drawn_sort;  // effective column, plus 256 when the drawn mark points down
  u8 name_lines;
  u8 line_budget;
  u16 wrapped_length;
  u64 wrapped_handle;
  u16 line_ends[wrap_lines];
  u8 wrapped[wrap_bytes];
  i32 box[4];  // details box last drawn: left, top, right, bottom; all 0 when none
  u64 cell_hashes[visible_most][proclist::columns];
  u64 row_handles[visible_most];
  i16 name_ends[visible_most];  // per slot: where its name's text ends, from the name column's left edge
  // Scratch for moving pixel rows: its own block, taken once and kept for the page's life.
  mem::Arena scratch_arena;
  u32* scratch;
  u64 scratch_pixels;
};

void init(PageLayout* page);
// Gives the scratch block back.
void close(PageLayout* page);
void layout(PageLayout* page, i32 width, i32 height);

// ---- Drawing

// The whole page on paint. header_hover holds one bit per column (the hover bits of the header slots).
void render(PageLayout* page, const proclist::ListState* list, const model::ProcTable* table, draw::Surface* s,
            u32 header_hover);
// Repaints what changed since the last drawing, in place when the kept frame allows it, else queued.
void repaint_rows(PageLayout* page, const proclist::ListState* list, const model::ProcTable* table,
                  draw::Surface* s);
// The change key of a cell, its text (cleared first) and tint (0..160).
u64 cell(const proclist::ListState* list, const model::ProcTable* table, u32 row, u32 column, u32 background,
         words::Text* text, u32* tint);
u64 empty_key(const proclist::ListState* list, u32 slot);
u32 sort_key(const proclist::ListState* list);
// The status line as drawn for a status rectangle of this width (measured in the small role).
void status_line(const proclist::ListState* list, const model::ProcTable* table, draw::Surface* s, i32 room,
                 words::Text* out);
u32 line_budget(i32 height);

// ---- Pointer and scrolling

// 1 when the hovered row changed (the change is repainted).
u32 hover_row(PageLayout* page, const proclist::ListState* list, const model::ProcTable* table, draw::Surface* s,
              i32 x, i32 y, bool inside);
void hover_update(PageLayout* page, const proclist::ListState* list);
u32 scroll(PageLayout* page, proclist::ListState* list, const model::ProcTable* table, draw::Surface* s, i64 n);
void clamp_scroll(PageLayout* page, proclist::ListState* list);

// ---- Geometry

u32 row_at_y(const PageLayout* page, const proclist::ListState* list, i32 y);
bool row_visible(const PageLayout* page, const proclist::ListState* list, u32 position);
bool row_rect(const PageLayout* page, const proclist::ListState* list, u32 position, draw::Rect* r);
u64 handle_at(const proclist::ListState* list, const model::ProcTable* table, u32 position);
void header_rect(const PageLayout* page, u32 column, bool on, draw::Rect* r);
void table_rect(const PageLayout* page, bool on, draw::Rect* r);
draw::Rect filter_rect(const PageLayout* page);
draw::Rect status_rect(const PageLayout* page);
draw::Rect body_rect(const PageLayout* page);
// The details box's left and top for a box of this height beside the row at (row_top, row_bottom).
i32 box_x(const PageLayout* page, i32 pointer_x);
i32 box_y(const PageLayout* page, i32 row_top, i32 row_bottom, i32 box_height);

}  // namespace procpage
