#include "widgets/widgets.h"

#include "base/words.h"
#include "drawing/layout.h"
#include "widgets/texts.h"

namespace app {
namespace {

bool bit_of(u64 mask, u32 i) { return (mask >> i & 1) != 0; }
bool hovered_slot(const HitMap& m, u32 slot) { return slot < 64 ? bit_of(m.hover_a, slot) : bit_of(m.hover_b, slot - 64); }
bool enabled_slot(const HitMap& m, u32 slot) {
  return slot < 64 ? bit_of(m.enabled_a, slot) : bit_of(m.enabled_b, slot - 64);
}

// A text widened and measured once, so that its placement and its drawing agree.
struct Line {
  u16 units[text_in_most];
  u32 count;
  draw::Size size;
};

void make_line(draw::Surface* s, u32 role, mem::Bytes text, Line* line) {
  line->count = widen(text, line->units);
  line->size = line->count ? draw::measure(s, role, line->units, line->count) : draw::Size{};
}

// Draws the line with its left at x, vertically centred in the clip.
void put_line(draw::Surface* s, u32 role, const Line& line, i32 x, draw::Rect clip, u32 colour) {
  if (line.count == 0) return;
  const i32 y = clip.top + (clip.bottom - clip.top - line.size.height) / 2;
  draw::text(s, role, line.units, line.count, x, y, clip, colour, nullptr);
}

// A push button body on a slot: fill, outline, centred label.
void button(const Canvas& c, u32 slot, mem::Bytes label, bool selected, bool hovered, u32 label_colour) {
  const draw::Rect r = slot_rect(*c.map, slot);
  fill_xy(c.surface, r.left, r.top, r.right, r.bottom, state_fill(hovered, selected));
  outline(c.surface, r, colour_line);
  Line line;
  make_line(c.surface, role_body, label, &line);
  put_line(c.surface, role_body, line, r.left + (r.right - r.left - line.size.width) / 2, r, label_colour);
}

void stripe(const Canvas& c, draw::Rect r) { fill_xy(c.surface, r.left, r.top, r.left + 3, r.bottom, colour_accent); }

}  // namespace

u32 state_fill(bool hovered, bool selected) {
  const u32 h = hovered ? 1 : 0, s = selected ? 1 : 0;
  return colour_plain + 0x1B1B1B * h + (0x2A1E10 - 0x070B0F * h) * s;
}

// ---- Primitives

u32 widen_name(mem::Bytes text, u16* out64) {
  const u32 n = static_cast<u32>(text.len < name_units - 1 ? text.len : name_units - 1);
  for (u32 i = 0; i < n; ++i) out64[i] = text.ptr[i];
  out64[n] = 0;
  return n;
}

u32 widen(mem::Bytes text, u16* out) {
  const u64 most = text.len < text_in_most ? text.len : text_in_most;
  u32 n = 0;
  for (u64 at = 0; at < most;) {
    u64 next = at;
    const u32 cp = words::next_code_point(text, &next);
    if (next > most) break;  // a character the byte limit would cut
    if (cp >= 0x10000) {
      out[n++] = static_cast<u16>(0xD800 + ((cp - 0x10000) >> 10));
      out[n++] = static_cast<u16>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out[n++] = static_cast<u16>(cp);
    }
    at = next;
  }
  return n;
}

i32 text_in(draw::Surface* s, u32 role, mem::Bytes text, draw::Rect r, u32 colour, u32 align) {
  Line line;
  make_line(s, role, text, &line);
  const i32 x = r.left + (align == 1 ? r.right - r.left - line.size.width : 0);
  put_line(s, role, line, x, r, colour);
  return line.size.width;
}

i32 text_width(draw::Surface* s, u32 role, mem::Bytes text) {
  Line line;
  make_line(s, role, text, &line);
  return line.size.width;
}

void fill_xy(draw::Surface* s, i32 left, i32 top, i32 right, i32 bottom, u32 colour) {
  draw::fill(s, draw::Rect{left, top, right, bottom}, colour);
}

void outline(draw::Surface* s, draw::Rect r, u32 colour) {
  fill_xy(s, r.left, r.top, r.right, r.top + 1, colour);
  fill_xy(s, r.left, r.bottom - 1, r.right, r.bottom, colour);
  fill_xy(s, r.left, r.top, r.left + 1, r.bottom, colour);
  fill_xy(s, r.right - 1, r.top, r.right, r.bottom, colour);
}

void caption_glyph(draw::Surface* s, u32 kind, draw::Rect r, u32 colour) {
  const i32 x = r.left + (r.right - r.left - 10) / 2, y = r.top + (r.bottom - r.top - 10) / 2;
  switch (kind) {
    case glyph_minimize: fill_xy(s, x, y + 5, x + 10, y + 6, colour); break;
    case glyph_maximize: outline(s, draw::Rect{x, y, x + 10, y + 10}, colour); break;
    case glyph_restore:
      outline(s, draw::Rect{x, y + 2, x + 8, y + 10}, colour);
      fill_xy(s, x + 2, y, x + 10, y + 1, colour);      // the back window's top edge
      fill_xy(s, x + 9, y, x + 10, y + 8, colour);      // and its right edge
      fill_xy(s, x + 2, y, x + 3, y + 2, colour);       // stub down to the front window
      fill_xy(s, x + 8, y + 7, x + 10, y + 8, colour);  // stub across to it
      break;
    case glyph_close:
      for (i32 i = 0; i < 10; ++i) {
        fill_xy(s, x + i, y + i, x + i + 1, y + i + 1, colour);
        fill_xy(s, x + 9 - i, y + i, x + 10 - i, y + i + 1, colour);
      }
      break;
  }
}

// ---- Widgets on hit slots

void slot_button(const Canvas& c, u32 slot, mem::Bytes label, bool selected) {
  if (slot >= 64 || slot_empty(*c.map, slot)) return;
  const bool enabled = enabled_slot(*c.map, slot);
  button(c, slot, label, selected, enabled && hovered_slot(*c.map, slot), enabled ? colour_text : colour_grey);
}

void slot_button_b(const Canvas& c, u32 slot, mem::Bytes label, bool selected) {
  if (slot < 64 || slot_empty(*c.map, slot)) return;
  button(c, slot, label, selected, enabled_slot(*c.map, slot) && hovered_slot(*c.map, slot), colour_text);
}

void slot_field(const Canvas& c, u32 slot, mem::Bytes value, bool focused, u32 value_colour,
                const textedit::Field* edited, bool masked) {
  if (slot < 64 || slot_empty(*c.map, slot)) return;
  const draw::Rect r = slot_rect(*c.map, slot);
  fill_xy(c.surface, r.left, r.top, r.right, r.bottom,
          focused || hovered_slot(*c.map, slot) ? colour_hover : colour_plain);
  outline(c.surface, r, focused ? colour_accent : colour_line);
  if (focused && edited) {
    textedit::draw(c.surface, role_body, *edited, masked, r, colour_text, colour_field_selection);
    return;
  }
  text_in(c.surface, role_body, value, textedit::inner(r), value_colour, 0);
}

// ---- Rows

void row_label(const Canvas& c, mem::Bytes text, i32 y) {
  text_in(c.surface, role_body, text, draw::Rect{content_left, y, value_column, y + 32}, colour_label, 0);
}

void row_pair(const Canvas& c, mem::Bytes label, i32 y, mem::Bytes value) {
  row_label(c, label, y);
  text_in(c.surface, role_body, value, draw::Rect{value_column, y, c.width, y + 32}, colour_text, 0);
}

void section_head(const Canvas& c, mem::Bytes text, i32 y) {
  const i32 top = y - c.scroll;
  text_in(c.surface, role_small, text, draw::Rect{content_left, top, c.width, top + 20}, colour_label, 0);
  fill_xy(c.surface, content_left, top + 20, c.width - content_margin, top + 21, colour_line);
}

i32 title_badge(const Canvas& c, mem::Bytes text, i32 x) {
  Line line;
  make_line(c.surface, role_small, text, &line);
  const i32 right = x + line.size.width + 16;
  fill_xy(c.surface, x, 10, right, 30, colour_badge);
  put_line(c.surface, role_small, line, x + 8, draw::Rect{x, 10, right, 30}, colour_badge_text);
  return right;
}

// ---- Rail and focus

void rail_entry(const Canvas& c, u32 slot, bool hovered, bool selected, mem::Bytes label, u32 label_colour) {
  if (slot_empty(*c.map, slot)) return;
  const draw::Rect r = slot_rect(*c.map, slot);
  fill_xy(c.surface, r.left, r.top, r.right, r.bottom, state_fill(hovered, selected));
  if (selected) stripe(c, r);
  if (label.len) text_in(c.surface, role_body, label, draw::Rect{r.left + 20, r.top, r.right, r.bottom}, label_colour, 0);
}

void draw_rail(const Canvas& c, const RailFacts& rail) {
  const HitMap& m = *c.map;
  fill_xy(c.surface, 0, title_height, rail_width, c.height, colour_plain);
  for (u32 slot = 0; slot < 34; ++slot) {
    if (slot == slot_overview) continue;
    const mem::Bytes label = slot == slot_processes ? section_title(0)
                             : slot == slot_settings ? section_title(3)
                                                     : mem::Bytes();
    rail_entry(c, slot, bit_of(m.hover_a, slot), bit_of(m.selected, slot), label,
               enabled_slot(m, slot) ? colour_text : colour_grey);
  }
  if (enabled_slot(m, slot_power))
    rail_entry(c, slot_power, hovered_slot(m, slot_power), rail.power_shown, mem::Bytes(), colour_text);
  if (rail.probe)
    rail_entry(c, slot_internet, hovered_slot(m, slot_internet), rail.page == page_internet, internet_nav_text(),
               colour_text);
  // Machines: selected on its page or while a remote machine is shown; otherwise only a hover shows.
  const bool machines = rail.page == page_machines || rail.remote;
  if (!slot_empty(m, slot_machines)) {
    const draw::Rect r = slot_rect(m, slot_machines);
    if (machines) {
      fill_xy(c.surface, r.left, r.top, r.right, r.bottom, state_fill(hovered_slot(m, slot_machines), true));
      stripe(c, r);
    } else if (hovered_slot(m, slot_machines)) {
      fill_xy(c.surface, r.left, r.top, r.right, r.bottom, colour_hover);
    }
  }
  if (rail.support)
    rail_entry(c, slot_support, hovered_slot(m, slot_support), rail.page == page_support, support_nav_text(),
               colour_text);
  if (rail.heat)
    rail_entry(c, slot_sensors, hovered_slot(m, slot_sensors), rail.page == page_sensors, mem::lit("Sensors"),
               colour_text);
  // The words of the fixed entries without a painter of their own.
  const i32 r = rail.fixed_top;
  words::Text machines_words{};
  words::put(&machines_words, section_title(1));
  if (rail.remote) {
    words::put(&machines_words, mem::lit(": "));
    words::put(&machines_words, rail.remote_name);
  }
  text_in(c.surface, role_body, mem::Bytes(machines_words.bytes, machines_words.len),
          draw::Rect{20, r + 32, rail_width, r + 64}, colour_text, 0);
  if (!rail.probe)
    text_in(c.surface, role_body, section_title(2), draw::Rect{20, r + 64, rail_width, r + 96}, colour_grey, 0);
}

void draw_focus(const Canvas& c) {
  const HitMap& m = *c.map;
  if (m.focus & focus_machines) outline(c.surface, slot_rect(m, slot_machines), colour_focus);
  for (u32 slot = 0; slot < 34; ++slot)
    if (slot != slot_overview && bit_of(m.focus, slot)) outline(c.surface, slot_rect(m, slot), colour_focus);
}

bool power_shown(u8 page, const views::ViewState& v) { return page == page_view && v.view == layout::view_power; }

u32 view_id(u64 selected, u8 page, bool power) {
  u32 id = selected ? static_cast<u32>(__builtin_ctzll(selected)) : 64;
  if (page == page_internet) id = 65;
  if (power) id = layout::view_power;
  if (page == page_sensors) id = 67;
  if (page == page_support) id = 66;
  return id;
}

}  // namespace app

namespace settings {

void off_on(const app::Canvas& c, mem::Bytes label, i32 x, i32 y, u32 slot, bool on) {
  const i32 top = y - c.scroll;
  app::text_in(c.surface, app::role_body, label, draw::Rect{x, top, x + 180, top + 32}, app::colour_label, 0);
  app::slot_button_b(c, slot, on ? mem::lit("On") : mem::lit("Off"), on);
}

}  // namespace settings
