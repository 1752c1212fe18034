#pragma once
// Painting: the WM_PAINT pipeline, the frame and page dispatch, the title strip with its badges, renderer label and
// caption buttons, and the wrapped notes.
#include "shell/app.h"
#include "widgets/widgets.h"

namespace app {

// Colours (0x00BBGGRR).
enum : u32 {
  colour_background = 0x201814,
  colour_strip = 0x262525,
  colour_title = 0xE8E8E8,
  colour_version = 0xA0A0A0,
  colour_caption_hover = 0x525252,
  colour_close_hover = 0x1C2BC4,
  colour_outline = 0x444444,
};

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
// The same in another colour.
void note_wrapped_in(AppState* s, mem::Bytes text, i32 x, i32 y, u32 colour);
// The end of the words of text (from start) that fit in width: the offset of the space after the last word taken
// (or the text's end); the first word is always taken.
u32 fit_words(AppState* s, mem::Bytes text, u32 start, i32 width);

// The Overview page: its layout before the hit map's, and its drawing.
void overview_layout(AppState* s);
void draw_overview(AppState* s);

// The stored-history source of the charts: what the window shows, as the source reads it; refreshed at every
// layout and frame, it hands a reopened table to the views.
localhist::Shown history_shown(const AppState& s);
void refresh_history(AppState* s);
// The Machines page's viewer link as the history source uses it (none while the page has no link).
localhist::HostLink history_link(AppState* s);

// The status word of the frame record as the paint sets it.
u32 paint_status(const AppState& s);
void put_status(AppState* s, u32 bits, u32 keep_mask);

// What the hit map and the rail are laid out from, as the model says it now.
Facts facts_of(const AppState& s);
RailFacts rail_facts(const AppState& s);
Canvas canvas_of(AppState* s);

}  // namespace app
