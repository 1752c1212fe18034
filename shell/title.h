#pragma once
// Painting: the WM_PAINT pipeline, the frame and page dispatch, the title strip with its badges, renderer label and
// caption buttons, and the wrapped notes. Also the slots of the hit map this file lays out itself until the window
// geometry module lays out all 98 (caption buttons and the fixed rail rows).
#include "shell/app.h"

namespace app {

// Colours (0x00BBGGRR).
enum : u32 {
  colour_background = 0x201814,
  colour_strip = 0x262525,
  colour_title = 0xE8E8E8,
  colour_version = 0xA0A0A0,
  colour_badge_fill = 0x103A5C,
  colour_badge_text = 0x4DD3FC,
  colour_caption_hover = 0x525252,
  colour_close_hover = 0x1C2BC4,
  colour_key_outline = 0xC8C8C8,
  colour_outline = 0x444444,
  colour_note = 0x707070,
};

// Slots of the hit map used here.
enum : u32 { slot_processes = 30, slot_overview = 31, slot_settings = 33, slot_minimize = 34, slot_maximize = 35,
             slot_close = 36 };
inline constexpr i32 caption_width = 46;
// What may show a hover: mask A without the Overview tile area and the chart areas (they hover on their own).
inline constexpr u64 hover_mask_a = 0xFFBFFF3EFFFFFFFFull;
inline constexpr u64 hover_mask_b = 0x3F8043FEFull;

// Badges, by number: 0 demo data, 1 stale, 2 in-process, 3 update ready. Dropped in the nibble order 2, 3, 1, 0 when
// they do not all fit.
inline constexpr u32 badge_drop_order = 0x132;
u32 badges_wanted(const AppState& s);

void paint(AppState* s);
bool paint_dirty_only(AppState* s);
void draw_frame(AppState* s);
void draw_page(AppState* s);
void draw_title(AppState* s);
// Lays out the hit slots again and redraws everything.
void relayout(AppState* s);
void redraw_all(AppState* s);
// A note in the small font at (x, y), two lines of 16 px when it is wider than the room (client width - x - 24).
void note_wrapped(AppState* s, mem::Bytes text, i32 x, i32 y);
// The end of the words of text (from start) that fit in width: the offset of the space after the last word taken
// (or the text's end); the first word is always taken.
u32 fit_words(AppState* s, mem::Bytes text, u32 start, i32 width);

// The status word of the frame record as the paint sets it.
u32 paint_status(const AppState& s);
void put_status(AppState* s, u32 bits, u32 keep_mask);

// ---- Hit slots laid out here
void lay_slots(AppState* s);
void set_slot(AppState* s, u32 slot, i32 left, i32 top, i32 right, i32 bottom);
u64 slots_at(const AppState& s, i32 x, i32 y);
u64 slots_at_b(const AppState& s, i32 x, i32 y);
bool slot_empty(const AppState& s, u32 slot);

// Text helpers over the drawing layer: bytes shown as they are (ASCII), at most 160.
i32 text_width(AppState* s, u32 role, mem::Bytes text);
i32 text_at(AppState* s, u32 role, mem::Bytes text, i32 x, i32 y, draw::Rect clip, u32 colour);

}  // namespace app
