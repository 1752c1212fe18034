#include "shell/title.h"

#include "shell/texts.h"
#include "views/layout.h"

namespace app {
namespace {

constexpr u32 text_most = 160;
constexpr i32 rail_width = 220;

u32 widen(mem::Bytes text, u16* out) {
  const u32 n = text.len < text_most ? static_cast<u32>(text.len) : text_most;
  for (u32 i = 0; i < n; ++i) out[i] = text.ptr[i];
  return n;
}

void put_word(draw::Surface* s, u32 offset, u32 value, int order) {
  if (!s->record.view || s->record.size < draw::frame_header) return;
  __atomic_store_n(reinterpret_cast<u32*>(s->record.view + offset), value, order);
}
u32 get_word(const draw::Surface& s, u32 offset) {
  if (!s.record.view || s.record.size < draw::frame_header) return 0;
  return __atomic_load_n(reinterpret_cast<const u32*>(s.record.view + offset), __ATOMIC_RELAXED);
}

draw::Rect slot_rect(const AppState& s, u32 slot) {
  return draw::Rect{s.hits[0][slot], s.hits[1][slot], s.hits[2][slot], s.hits[3][slot]};
}

void outline(AppState* s, draw::Rect r, u32 colour) {
  draw::fill(&s->surface, draw::Rect{r.left, r.top, r.right, r.top + 1}, colour);
  draw::fill(&s->surface, draw::Rect{r.left, r.bottom - 1, r.right, r.bottom}, colour);
  draw::fill(&s->surface, draw::Rect{r.left, r.top, r.left + 1, r.bottom}, colour);
  draw::fill(&s->surface, draw::Rect{r.right - 1, r.top, r.right, r.bottom}, colour);
}

// Caption glyphs in a 10 x 10 box at (x, y): 0 minimize, 1 maximize, 2 restore, 3 close.
void glyph(AppState* s, u32 kind, i32 x, i32 y) {
  draw::Surface* d = &s->surface;
  switch (kind) {
    case 0:
      draw::fill(d, draw::Rect{x, y + 5, x + 10, y + 6}, colour_title);
      break;
    case 1:
      outline(s, draw::Rect{x, y, x + 10, y + 10}, colour_title);
      break;
    case 2:
      outline(s, draw::Rect{x, y + 2, x + 8, y + 10}, colour_title);
      draw::fill(d, draw::Rect{x + 2, y, x + 10, y + 1}, colour_title);
      draw::fill(d, draw::Rect{x + 9, y, x + 10, y + 8}, colour_title);
      break;
    default:
      for (i32 i = 0; i < 10; ++i) {
        draw::fill(d, draw::Rect{x + i, y + i, x + i + 1, y + i + 1}, colour_title);
        draw::fill(d, draw::Rect{x + 9 - i, y + i, x + 10 - i, y + i + 1}, colour_title);
      }
      break;
  }
}

void caption_buttons(AppState* s) {
  for (u32 i = 0; i < 3; ++i) {
    const u32 slot = slot_minimize + i;
    const draw::Rect r = slot_rect(*s, slot);
    if (r.right <= r.left) continue;
    const bool hovered = (s->hover_a >> slot) & 1;
    const u32 fill = !hovered ? colour_strip : slot == slot_close ? colour_close_hover : colour_caption_hover;
    draw::fill(&s->surface, r, fill);
    const u32 kind = i == 0 ? 0 : i == 2 ? 3 : (s->flags & flag_maximized) ? 2 : 1;
    glyph(s, kind, r.left + (r.right - r.left - 10) / 2, r.top + (r.bottom - r.top - 10) / 2);
  }
}

mem::Bytes page_name(u8 page) {
  switch (page) {
    case page_view: return mem::lit("The resource view");
    case page_settings: return mem::lit("The Settings page");
    case page_processes: return mem::lit("The Processes page");
    case page_overview: return mem::lit("The Overview page");
    case page_machines: return mem::lit("The Machines page");
    case page_internet: return mem::lit("The Internet page");
    case page_support: return mem::lit("The Support page");
    default: return mem::lit("The Sensors page");
  }
}

// Pages that arrive with later work draw their place and say so, rather than anything made up.
void empty_page(AppState* s) {
  words::Text line{};
  words::put(&line, page_name(s->page));
  words::put(&line, mem::lit(" is not built yet."));
  note_wrapped(s, mem::Bytes(line.bytes, line.len), rail_width + 16, title_height + 16);
}

bool scrolled_page(u8 page) { return page == page_settings || page == page_support || page == page_sensors; }

}  // namespace

// ---- Text helpers

i32 text_width(AppState* s, u32 role, mem::Bytes text) {
  u16 units[text_most];
  const u32 n = widen(text, units);
  return n ? draw::measure(&s->surface, role, units, n).width : 0;
}

i32 text_at(AppState* s, u32 role, mem::Bytes text, i32 x, i32 y, draw::Rect clip, u32 colour) {
  u16 units[text_most];
  const u32 n = widen(text, units);
  if (!n) return 0;
  draw::text(&s->surface, role, units, n, x, y, clip, colour, nullptr);
  return draw::measure(&s->surface, role, units, n).width;
}

// ---- Badges

u32 badges_wanted(const AppState& s) {
  const source::Source& src = s.model->source;
  const bool shipped = in_test(s) && (s.options & opt_as_shipped);
  u32 present = 0;
  if (src.mode == source::mode_demo && !shipped) present |= 1;
  if (source::failing(&src)) present |= 2;
  const bool in_process = src.mode != source::mode_demo && src.phase == source::phase_none && src.local_present;
  if (in_process || shipped) present |= 4;
  if (s.model->updater.settings.status == 3) present |= 8;
  return present;
}

// ---- Status word

u32 paint_status(const AppState& s) {
  u32 bits = static_cast<u32>(s.first_status);
  if (s.flags & flag_animating) bits |= 0x400;
  if (s.model->source.phase != source::phase_none) bits |= 0x200;
  if (s.flags & flag_layout_changed) bits |= 0x8;
  return bits;
}

void put_status(AppState* s, u32 bits, u32 keep_mask) {
  const u32 old = get_word(s->surface, draw::word_window);
  put_word(&s->surface, draw::word_window, (old & keep_mask) | bits, __ATOMIC_RELAXED);
}

// ---- Paint

bool paint_dirty_only(AppState* s) {
  const draw::Surface& d = s->surface;
  if (d.show_count == 0 || d.overflow || !d.vimb || !d.vimb->renderer || d.vimb->renderer->all_changed ||
      !s->paint_regions_made)
    return false;
  win::Region* rest = &s->paint_regions[0];
  if (!win::update_region(*s->thread, s->window, rest)) return false;
  for (u32 i = 0; i < d.show_count; ++i) {
    const draw::Rect r = draw::Rect{d.shows.left[i], d.shows.top[i], d.shows.right[i], d.shows.bottom[i]};
    win::region_subtract(rest, win::Rect{r.left, r.top, r.right, r.bottom});
  }
  const bool only = win::region_empty(*rest);
  win::region_clear(rest);
  return only;
}

void paint(AppState* s) {
  const bool only_dirty = paint_dirty_only(s);
  win::Rect box{};
  if (!win::begin_paint(s->thread, s->window, &box)) return;
  draw::limit_box(&s->surface, draw::Rect{box.left, box.top, box.right, box.bottom}, only_dirty);
  if (s->width > 0 && s->height > 0) draw_frame(s);
  if (!s->first_taken) {
    s->first_taken = 1;
    s->first_status = source::waiting_first(&s->model->source) ? 0x100 : 0;
  }
  put_status(s, paint_status(*s), ~u32{0x400 | 0x200 | 0x100 | 0x8});
  win::end_paint(s->thread, s->window);
}

void draw_frame(AppState* s) {
  const gdi::Handle sink = win::sink(*s->thread, s->window);
  if (draw::again(&s->surface, sink, s->pixel_width, s->pixel_height)) return;
  for (u32 attempt = 0; attempt < 2; ++attempt) {
    draw::begin(&s->surface, sink, s->pixel_width, s->pixel_height);
    draw_page(s);
    if (!draw::present(&s->surface, sink, s->pixel_width, s->pixel_height)) return;
  }
}

void draw_page(AppState* s) {
  draw::fill(&s->surface, draw::Rect{0, 0, s->width, s->height}, colour_background);
  if (!scrolled_page(s->page)) draw_title(s);
  Model* m = s->model;
  if (s->page == page_internet) {
    internet::draw_page(&m->internet_page, &m->views, &s->surface, &m->probe, now(*s));
  } else {
    empty_page(s);
  }
  if (scrolled_page(s->page)) draw_title(s);
  // The rail row chosen with the arrow keys.
  if (s->key_selected & (u64{1} << 32)) {
    // The Machines row's own slot comes with the rail.
  } else {
    for (u32 slot = 0; slot < 34; ++slot) {
      if (slot == 32 || !((s->key_selected >> slot) & 1) || slot_empty(*s, slot)) continue;
      outline(s, slot_rect(*s, slot), colour_key_outline);
    }
  }
  if (!(s->flags & flag_maximized)) outline(s, draw::Rect{0, 0, s->width, s->height}, colour_outline);
}

void draw_title(AppState* s) {
  draw::Surface* d = &s->surface;
  const i32 w = s->width;
  draw::fill(d, draw::Rect{0, 0, w, title_height}, colour_strip);
  draw::icon(d, 12, 12, 16);
  const draw::Rect strip{0, 0, w, title_height};
  const i32 title_h = draw::font_height(0);
  const i32 y = (title_height - title_h) / 2;
  i32 x = 36 + text_at(s, 0, title_text(), 36, y, strip, colour_title);
  x += 8;
  x += text_at(s, 0, s->version, x, y, strip, colour_version);

  // Badges between the version and the right limit, fewer when they do not all fit.
  const i32 start = x + 12, right_limit = w - 154;
  const u32 wanted = badges_wanted(*s);
  u64 widths = 0;
  i32 text_widths[4] = {};
  for (u32 i = 0; i < 4; ++i) {
    if (!((wanted >> i) & 1)) continue;
    text_widths[i] = text_width(s, 3, badge_text(i));
    widths |= static_cast<u64>(static_cast<u16>(text_widths[i] + 28)) << (16 * i);
  }
  const u32 shown = layout::marks_fit(wanted, widths, right_limit - start, badge_drop_order);
  i32 bx = start, end = x;
  const i32 badge_text_y = 10 + (20 - draw::font_height(3)) / 2;
  for (u32 i = 0; i < 4; ++i) {
    if (!((shown >> i) & 1)) continue;
    const draw::Rect box{bx, 10, bx + text_widths[i] + 16, 30};
    draw::fill(d, box, colour_badge_fill);
    text_at(s, 3, badge_text(i), bx + 8, badge_text_y, box, colour_badge_text);
    end = box.right;
    bx += text_widths[i] + 28;
  }

  // The renderer's name, when it fits after the badges.
  const mem::Bytes renderer = renderer_text(d->use_vimb != 0);
  const i32 rw = text_width(s, 3, renderer);
  if (w - 154 - rw >= end + 4 + (shown ? 0 : 12)) {
    const i32 ry = (title_height - draw::font_height(3)) / 2;
    text_at(s, 3, renderer, w - 154 - rw, ry, draw::Rect{w - 314, 0, w - 154, title_height}, colour_version);
  }
  caption_buttons(s);
}

void relayout(AppState* s) {
  lay_slots(s);
  Model* m = s->model;
  if (s->page == page_internet)
    internet::page_layout(&m->internet_page, &m->views, shown(*s), s->width, s->height, m->probe.data != nullptr);
  redraw_all(s);
}

void redraw_all(AppState* s) {
  draw::invalidate(&s->surface);
  if (s->window) win::invalidate(s->thread, s->window, nullptr);
}

// ---- Notes

u32 fit_words(AppState* s, mem::Bytes text, u32 start, i32 width) {
  u32 end = start;
  bool first = true;
  while (end < text.len) {
    u32 next = end + (first ? 0 : 1);
    while (next < text.len && text.ptr[next] != ' ') ++next;
    if (!first && (next - start > text_most || text_width(s, 3, mem::Bytes(text.ptr + start, next - start)) > width))
      break;
    end = next;
    first = false;
  }
  return end;
}

void note_wrapped(AppState* s, mem::Bytes text, i32 x, i32 y) {
  const i32 room = s->width - x - 24;
  const draw::Rect clip{x, y, s->width - 24, y + 32};
  const i32 line = draw::font_height(3);
  if (text_width(s, 3, text) <= room) {
    text_at(s, 3, text, x, y + (32 - line) / 2, clip, colour_note);
    return;
  }
  const u32 end = fit_words(s, text, 0, room);
  text_at(s, 3, mem::Bytes(text.ptr, end), x, y + (16 - line) / 2, clip, colour_note);
  if (end + 1 < text.len)
    text_at(s, 3, mem::Bytes(text.ptr + end + 1, text.len - end - 1), x, y + 16 + (16 - line) / 2, clip, colour_note);
}

// ---- Hit slots

void set_slot(AppState* s, u32 slot, i32 left, i32 top, i32 right, i32 bottom) {
  const i16 edges[4] = {static_cast<i16>(left), static_cast<i16>(top), static_cast<i16>(right),
                        static_cast<i16>(bottom)};
  for (u32 e = 0; e < 4; ++e) {
    if (s->hits[e][slot] != edges[e]) s->flags |= flag_layout_changed;
    s->hits[e][slot] = edges[e];
  }
}

bool slot_empty(const AppState& s, u32 slot) {
  return s.hits[2][slot] <= s.hits[0][slot] || s.hits[3][slot] <= s.hits[1][slot];
}

void lay_slots(AppState* s) {
  const i32 w = s->width;
  for (u32 i = 0; i < 3; ++i)
    set_slot(s, slot_minimize + i, w - 138 + caption_width * static_cast<i32>(i), 0,
             w - 92 + caption_width * static_cast<i32>(i), title_height);
  const u64 rows = views::present(shown(*s)) & 0x3FFFFFFFull;
  u64 enabled = rows | (u64{1} << slot_processes) | (u64{1} << slot_overview) | (u64{1} << slot_settings) |
                (u64{1} << slot_minimize) | (u64{1} << slot_maximize) | (u64{1} << slot_close);
  if (s->page == page_overview) enabled |= u64{1} << 32;
  s->enabled_a = enabled;
  s->enabled_b = 0;
}

u64 slots_at(const AppState& s, i32 x, i32 y) {
  u64 mask = 0;
  for (u32 slot = 0; slot < 64; ++slot)
    if (x >= s.hits[0][slot] && x < s.hits[2][slot] && y >= s.hits[1][slot] && y < s.hits[3][slot])
      mask |= u64{1} << slot;
  if (y < title_height) mask &= ~((u64{7} << 40) | (u64{1} << 58) | (u64{0xF} << 60));
  return mask;
}

u64 slots_at_b(const AppState& s, i32 x, i32 y) {
  u64 mask = 0;
  for (u32 slot = 64; slot < slot_count; ++slot)
    if (x >= s.hits[0][slot] && x < s.hits[2][slot] && y >= s.hits[1][slot] && y < s.hits[3][slot])
      mask |= u64{1} << (slot - 64);
  if (y < title_height) mask &= ~(u64{0x7} | (u64{0x3} << 5) | (u64{0x3F} << 8) | (u64{0x7} << 29));
  return mask;
}

}  // namespace app
