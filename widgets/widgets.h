#pragma once
// What the shell and its pages draw their controls with: text in a rectangle, fills, 1-px outlines and caption
// glyphs; the colour rule of buttons and rail entries; the widgets that draw themselves on a hit slot (push button,
// Off/On toggle, text field); the fixed rows of the Settings-style pages; the title-strip badge; the navigation rail
// with its fixed entries; and the keyboard focus outlines. Every widget draws on the rectangle of its slot, so an
// empty slot draws nothing.
//
// Texts are UTF-8 and are widened to UTF-16 for drawing, cut at a character boundary. Icon-like marks (caption
// glyphs here, the Processes page's sort marks) are the program's own shapes drawn with fills: no page draws text in
// the icon font role, which has no font of its own on this system.
#include "base/mem.h"
#include "drawing/draw.h"
#include "widgets/hitmap.h"
#include "widgets/textedit.h"

namespace app {

// Colours, 0x00BBGGRR.
enum : u32 {
  colour_plain = 0x1C1C1C,
  colour_hover = 0x373737,
  colour_selected = 0x463A2C,
  colour_selected_hover = 0x5A4A38,
  colour_accent = 0xFFC14F,
  colour_text = 0xE8E8E8,
  colour_grey = 0x707070,
  colour_label = 0xA0A0A0,
  colour_line = 0x444444,
  colour_focus = 0xC8C8C8,
  colour_badge = 0x103A5C,
  colour_badge_text = 0x4DD3FC,
  colour_field_selection = 0x805A26,
};
// Font roles.
enum : u32 { role_body = 0, role_small = 3 };

inline constexpr u32 text_in_most = 160;  // bytes of one text_in or text_width
inline constexpr u32 name_units = 64;     // a widened class name: 63 units and a 0

// Where the widgets draw: the surface, the hit map, the client size and the page scroll (logical px).
struct Canvas {
  draw::Surface* surface;
  const HitMap* map;
  i32 width, height;
  i32 scroll;
};

// The fill of a button or rail entry from its hover and selected bits.
u32 state_fill(bool hovered, bool selected);

// ---- Primitives
// At most 63 bytes as 16-bit units and a 0 unit: the count without the 0.
u32 widen_name(mem::Bytes text, u16* out64);
// At most 160 bytes of UTF-8 as UTF-16, cut at a character boundary: the count.
u32 widen(mem::Bytes text, u16* out160);
// Draws the text clipped to the rectangle, at left + align x (width - text width) (align 0 left, 1 right),
// vertically centred (halves rounded toward zero): the text width.
i32 text_in(draw::Surface* s, u32 role, mem::Bytes text, draw::Rect r, u32 colour, u32 align);
i32 text_width(draw::Surface* s, u32 role, mem::Bytes text);
void fill_xy(draw::Surface* s, i32 left, i32 top, i32 right, i32 bottom, u32 colour);
void outline(draw::Surface* s, draw::Rect r, u32 colour);
// A 10 x 10 glyph centred in the rectangle: 0 minimize, 1 maximize, 2 restore, 3 close.
enum : u32 { glyph_minimize = 0, glyph_maximize = 1, glyph_restore = 2, glyph_close = 3 };
void caption_glyph(draw::Surface* s, u32 kind, draw::Rect r, u32 colour);

// ---- Widgets on hit slots
// A push button on slot 0-63: state fill (hover counts only when enabled), outline, label centred in the body
// font, grey when disabled.
void slot_button(const Canvas& c, u32 slot, mem::Bytes label, bool selected);
// The same on slot 64-97 with the second hover mask; the label is never grey.
void slot_button_b(const Canvas& c, u32 slot, mem::Bytes label, bool selected);
// A text field on slot 64-97: the value when not focused; the edited field (masked as its owner says) when focused.
void slot_field(const Canvas& c, u32 slot, mem::Bytes value, bool focused, u32 value_colour,
                const textedit::Field* edited, bool masked);

// ---- Rows of the Settings-style pages
void row_label(const Canvas& c, mem::Bytes text, i32 y);  // y already less the scroll
void row_pair(const Canvas& c, mem::Bytes label, i32 y, mem::Bytes value);
void section_head(const Canvas& c, mem::Bytes text, i32 y);  // y in content coordinates
// A badge in the title strip from x: the box's right edge.
i32 title_badge(const Canvas& c, mem::Bytes text, i32 x);

// ---- Rail and focus

// What the rail shows beside the hit map.
struct RailFacts {
  u8 page;
  bool probe;         // the internet probe is on
  bool support;       // support data present
  bool heat;          // the shown machine has a temperature reading
  bool remote;        // a remote machine is shown
  mem::Bytes remote_name;
  bool power_shown;   // the resource page shows the power view
  i32 fixed_top;      // r: the top of the fixed entries
};
// A rail entry on its slot: state fill, the accent stripe when selected, the label from 20 px in.
void rail_entry(const Canvas& c, u32 slot, bool hovered, bool selected, mem::Bytes label, u32 label_colour);
void draw_rail(const Canvas& c, const RailFacts& rail);
void draw_focus(const Canvas& c);

// The resource page shows the power view.
bool power_shown(u8 page, const views::ViewState& v);
// The view id of --view, the relaunch and the test frame record: the lowest selected slot (64 when none); 65 on
// the Internet page, 34 while the power view shows, 67 on the Sensors page, 66 on the Support page.
u32 view_id(u64 selected, u8 page, bool power);

}  // namespace app

namespace settings {

// The label in the row's label column, then an Off/On button on the slot (64-97), "On" drawn selected.
void off_on(const app::Canvas& c, mem::Bytes label, i32 x, i32 y, u32 slot, bool on);

}  // namespace settings
