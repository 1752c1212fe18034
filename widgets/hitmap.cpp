#include "widgets/hitmap.h"

#include "update/updstate.h"
#include "drawing/layout.h"
#include "views/render.h"

namespace app {
namespace {

i32 least(i32 a, i32 b) { return a < b ? a : b; }
i32 most(i32 a, i32 b) { return a > b ? a : b; }

i16 saturate(i32 v) { return static_cast<i16>(v < -32768 ? -32768 : v > 32767 ? 32767 : v); }

// A rectangle that collapses to zero width where it does not show.
void put(HitMap* map, u32 slot, i32 left, i32 top, i32 right, i32 bottom, bool shown) {
  set_hit(map, slot, left, top, shown ? right : left, bottom);
}

void put_rect(HitMap* map, u32 slot, draw::Rect r, bool shown) { put(map, slot, r.left, r.top, r.right, r.bottom, shown); }

// Page content slots of Settings and Support, which scroll beneath the title strip.
constexpr u64 scrolled_a = bit_a(40) | bit_a(41) | bit_a(42) | bit_a(58) | bit_a(60) | bit_a(61) | bit_a(62) |
                           bit_a(63);
constexpr u64 scrolled_b = bit_b(64) | bit_b(65) | bit_b(66) | bit_b(69) | bit_b(70) | bit_b(72) | bit_b(73) |
                           bit_b(74) | bit_b(75) | bit_b(76) | bit_b(77) | bit_b(93) | bit_b(94) | bit_b(95);

// The rail: view rows, board, Processes, Settings, caption buttons and the view page's own slots.
void lay_rail_and_views(HitMap* map, views::ViewState* v, const Facts& f, i32 r) {
  const bool on_view = f.page == page_view;
  for (u32 id = 0; id < 30; ++id) set_hit_rect(map, id, views::rail_rect(*v, id));
  draw::Rect board{};
  views::board_rect(*v, &board);
  set_hit_rect(map, slot_board, board);
  put_rect(map, slot_overview, f.overview, f.page == page_overview);
  set_hit(map, slot_processes, 0, r, rail_width, r + 32);
  const i32 settings_y = r + 128 + (f.heat ? 32 : 0) - (f.support ? 0 : 32);
  set_hit(map, slot_settings, 0, settings_y, rail_width, settings_y + 32);
  for (i32 i = 0; i < 3; ++i)
    set_hit(map, slot_minimize + static_cast<u32>(i), f.width - 138 + 46 * i, 0, f.width - 92 + 46 * i, title_height);
  put_rect(map, slot_toggle, views::toggle_rect(*v), on_view);
  put_rect(map, slot_plot, views::plot_rect(*v), on_view);
  put_rect(map, slot_cores, views::cores_rect(*v), on_view);
  put_rect(map, slot_range0, views::range_rect(*v, 0), on_view);
  put_rect(map, slot_range1, views::range_rect(*v, 1), on_view);
  for (u32 i = 0; i < 4; ++i) put_rect(map, slot_range2 + i, views::range_rect(*v, 2 + i), on_view);
}

void lay_settings(HitMap* map, const Facts& f, i32 r) {
  const bool on = f.page == page_settings;
  const i32 s = f.scroll, w = f.width, fw = field_width(w), m = narrow_offset(w);
  put(map, slot_auto_check, 424, 162 - s, 496, 190 - s, on);
  put(map, slot_check, 424, 236 - s, 592, 264 - s, on);
  put(map, slot_restart, 604, 236 - s, 772, 264 - s, on && f.update.status == 3);
  put(map, slot_publish, 424, 478 - s, 496, 506 - s, on);
  put(map, slot_target_field, 424, 514 - s, 424 + fw, 542 - s, on);
  put(map, slot_key_field, 424, 550 - s, 424 + fw, 578 - s, on);
  const bool row = keys_in_row(w);
  const i32 x0 = row ? 424 + fw + 12 : fw + 64, y0 = row ? 550 - s : 582 - s;
  put(map, slot_generate, x0, y0, x0 + 112, y0 + 28, on);
  put(map, slot_copy_key, x0 + 124, y0, x0 + 236, y0 + 28, on);
  put(map, slot_choose_file, x0 + 248, y0, x0 + 360, y0 + 28, on);
  for (i32 i = 0; i < 3; ++i) {
    const bool wide = w >= 1046;
    const i32 x = wide ? 424 + (i == 0 ? 0 : i == 1 ? 266 : 526) : 424;
    const i32 y = 766 + m - s + (wide ? 0 : 32 * i);
    put(map, slot_background0 + static_cast<u32>(i), x, y, x + 72, y + 28, on);
  }
  set_hit(map, slot_machines, 0, r + 32, rail_width, r + 64);
}

void lay_machines(HitMap* map, const Facts& f) {
  const bool on = f.page == page_machines, w_on = on && f.machine_list;
  const i32 w = f.width;
  put(map, slot_filter, w - 244, 56, w - 24, 84, on);
  put(map, slot_machine_button, w - 328, 56, w - 256, 84, on && f.machine_selected);
  for (u32 c = 0; c < 8; ++c) {
    const bool keeps = w_on && (!f.members_only || c < 2);
    put(map, slot_machine_header0 + c, content_left + f.column_left[c], 124, content_left + f.column_right[c], 152,
        keeps);
  }
  put(map, slot_machine_table, content_left, 152, w - 24, f.machines_bottom, on);
}

void lay_support(HitMap* map, const Facts& f, i32 r) {
  put(map, slot_support, 0, r + 96, rail_width, r + 128, f.support);
  // The entry reacts whenever it shows; without its enabled bit the page could never be opened by a click.
  if (f.support) map->enabled_b |= bit_b(slot_support);
  const i32 x = support_text_x(f.blocks, f.width);
  for (u32 i = 0; i < 3; ++i) {
    const bool shown = f.page == page_support && (f.blocks.shown >> i & 1);
    const i32 y = support_text_top(f.blocks, i, f.width) - f.scroll + 130;
    put(map, slot_support_copy0 + i, x, y, x + 96, y + 28, shown);
    if (shown) map->enabled_b |= bit_b(slot_support_copy0 + i);
  }
}

void lay_title_and_update(HitMap* map, const Facts& f) {
  const bool on = f.page == page_settings;
  const i32 s = f.scroll, w = f.width, nb = f.banner_narrow ? 1 : 0;
  const bool offers = banner_kind(f.update);
  put(map, slot_banner0, w - 466 + 104 * nb, 8, w - 466 + 104 * nb + 100 - 28 * nb, 32, offers);
  put(map, slot_banner0 + 1, w - 358 + 76 * nb, 8, w - 358 + 76 * nb + 64, 32, offers);
  put(map, slot_banner0 + 2, w - 286 + 76 * nb, 8, w - 286 + 76 * nb + 132 - 76 * nb, 32, offers);
  put(map, slot_notice, w - 304, 10, w - 154, 30, notice_shown(f.update));
  const i32 y = 834 + notes_offset(w) - s;
  put(map, slot_notes, 424, y, 624, y + 28, on && banner_shown(f.update));
  put(map, slot_taskmgr, 424, 378 - s, 560, 406 - s, on);
  put(map, slot_taskmgr_remove, 572, 378 - s, 660, 406 - s, on && (f.taskmgr_state == 2 || f.taskmgr_state == 3));
  put(map, slot_taskmgr_open, 424, 414 - s, 512, 442 - s, on);
}

u64 enabled_a(const Facts& f, u64 present) {
  u64 e = bit_a(slot_processes) | bit_a(slot_board) | bit_a(slot_settings) | bit_a(slot_minimize) |
          bit_a(slot_maximize) | bit_a(slot_close);
  e |= present & ((u64{1} << 30) - 1);
  if (f.page == page_overview) e |= bit_a(slot_overview);
  if (f.page == page_view)
    e |= bit_a(slot_toggle) | bit_a(slot_plot) | bit_a(slot_cores) | bit_a(slot_range0) | bit_a(slot_range1);
  if (f.page == page_processes) e |= ((u64{1} << 10) - 1) << slot_header0;
  if (banner_kind(f.update)) e |= bit_a(55) | bit_a(56) | bit_a(57);
  if (notice_shown(f.update)) e |= bit_a(slot_notice);
  if (f.page == page_settings) {
    e |= bit_a(slot_auto_check) | bit_a(slot_update_mode);
    if (!f.taskmgr_absent) e |= bit_a(slot_taskmgr_open);
    if (!check_runs(f.update)) e |= bit_a(slot_check);
    if (f.update.status == 3) e |= bit_a(slot_restart);
    if (!check_runs(f.update) && banner_shown(f.update)) e |= bit_a(slot_notes);
    if (f.taskmgr_state != 5) e |= bit_a(slot_taskmgr);
    if (f.taskmgr_state == 2 || f.taskmgr_state == 3) e |= bit_a(slot_taskmgr_remove);
  }
  return e;
}

u64 enabled_b(const Facts& f, const views::ViewState& v) {
  u64 e = bit_b(slot_machines);
  if (f.page == page_view && views::ranges(v) > 2) e |= bit_b(78) | bit_b(79) | bit_b(80) | bit_b(81);
  if (f.page == page_settings)
    e |= bit_b(64) | bit_b(65) | bit_b(66) | bit_b(69) | bit_b(70) | bit_b(77) | bit_b(72) | bit_b(73) | bit_b(74) |
         bit_b(75) | bit_b(76);
  if (f.page == page_machines) {
    e |= bit_b(slot_machine_table);
    if (f.machine_list)
      for (u32 slot = slot_filter; slot <= 90; ++slot) e |= bit_b(slot);
    if (f.machine_selected) e |= bit_b(slot_machine_button);
  }
  if (f.probe) e |= bit_b(slot_internet);
  if (v.present >> 34 & 1) e |= bit_b(slot_power);
  return e;
}

}  // namespace

u32 dpi_choice(u32 dpi) { return dpi == 96 || dpi == 120 || dpi == 144 || dpi == 192 ? dpi : 96; }

// ---- Update conditions

bool banner_kind(const UpdateFacts& u) {
  return updstate::should_offer(u.status, u.flags, u.suppressed, u.dismissed);
}
bool has_notice(const UpdateFacts& u) { return u.notices[0] != 0 || u.notices[1] != 0 || u.notices[2] != 0; }
bool banner_shown(const UpdateFacts& u) { return (u.status == 7 && u.suppressed) || has_notice(u); }
bool update_pending(const UpdateFacts& u) {
  return u.status == 7 || u.status == 3 || u.restart_pending || has_notice(u);
}
// The "updated to" notice belongs to the first run of a version that an update installed: a restart that was only
// asked for (its download may still fail) must not claim that the program was updated.
bool notice_shown(const UpdateFacts& u) {
  return (u.flags & updstate::flag_first_start) != 0 && !banner_kind(u) && u.status != 3;
}
bool check_runs(const UpdateFacts& u) { return u.status == 1 || u.status == 6; }

// ---- Layout arithmetic

bool machines_wide(i32 width) { return width > 1269; }
i32 field_width(i32 width) { return least(width - (width < 1060 ? 448 : 820), 360); }
i32 narrow_offset(i32 width) { return width < 1060 ? 32 : 0; }
i32 notes_offset(i32 width) { return narrow_offset(width) + (width < 1046 ? 64 : 0); }
bool keys_in_row(i32 width) { return width >= 1060; }
u32 fixed_entries(const Facts& f) { return 5 + (f.heat ? 1 : 0) - (f.support ? 0 : 1); }

// ---- The map

void set_hit(HitMap* map, u32 slot, i32 left, i32 top, i32 right, i32 bottom) {
  if (slot >= slot_count) return;
  const i16 l = saturate(left), t = saturate(top), r = saturate(right), b = saturate(bottom);
  if (l != map->left[slot] || t != map->top[slot] || r != map->right[slot] || b != map->bottom[slot]) map->changed = 1;
  map->left[slot] = l;
  map->top[slot] = t;
  map->right[slot] = r;
  map->bottom[slot] = b;
}

void set_hit_rect(HitMap* map, u32 slot, draw::Rect r) { set_hit(map, slot, r.left, r.top, r.right, r.bottom); }

draw::Rect slot_rect(const HitMap& map, u32 slot) {
  if (slot >= slot_count) return draw::Rect{};
  return draw::Rect{map.left[slot], map.top[slot], map.right[slot], map.bottom[slot]};
}

bool slot_empty(const HitMap& map, u32 slot) { return slot >= slot_count || map.left[slot] >= map.right[slot]; }

void layout_hits(HitMap* map, views::ViewState* v, const Facts& f) {
  views::set_overview(v, f.page == page_overview || f.page == page_internet);
  views::set_remote(v, f.remote);
  views::set_fixed(v, fixed_entries(f));
  if (f.shown) views::layout(v, *f.shown, f.width, f.height);
  // Charts are shown down to the frame's bottom edge, over the window outline only when maximized.
  views::set_frame_bottom(v, f.maximized ? f.height : f.height - 1);
  const i32 r = views::views_top(*v);
  lay_rail_and_views(map, v, f, r);
  const bool on_processes = f.page == page_processes;
  for (u32 i = 0; i < 9; ++i) put_rect(map, slot_header0 + i, f.headers[i], on_processes);
  put_rect(map, slot_table, f.table, on_processes);
  lay_settings(map, f, r);
  lay_machines(map, f);
  put(map, slot_internet, 0, r + 64, rail_width, r + 96, f.probe);
  const bool settings = f.page == page_settings;
  const i32 s = f.scroll, m = narrow_offset(f.width);
  put(map, slot_measure, 424, 666 + m - s, 496, 694 + m - s, settings);
  put(map, slot_speed, 424, 702 + m - s, 560, 730 + m - s, settings);
  set_hit_rect(map, slot_power, views::rail_rect(*v, layout::view_power));
  map->enabled_b = enabled_b(f, *v);
  put(map, slot_update_mode, 424, 302 - s, 544, 330 - s, settings);
  lay_support(map, f, r);
  const i32 sensors_y = r + 128 - (f.support ? 0 : 32);
  put(map, slot_sensors, 0, sensors_y, rail_width, sensors_y + 32, f.heat);
  if (f.heat) map->enabled_b |= bit_b(slot_sensors);
  lay_title_and_update(map, f);
  map->enabled_a = enabled_a(f, v->present);
}

u64 hits_at(const HitMap& map, i32 x, i32 y) {
  u64 hits = 0;
  for (u32 i = 0; i < 64; ++i)
    if (map.left[i] <= x && x < map.right[i] && map.top[i] <= y && y < map.bottom[i]) hits |= bit_a(i);
  return y < title_height ? hits & ~scrolled_a : hits;
}

u64 hits_at_b(const HitMap& map, i32 x, i32 y) {
  u64 hits = 0;
  for (u32 i = 64; i < slot_count; ++i)
    if (map.left[i] <= x && x < map.right[i] && map.top[i] <= y && y < map.bottom[i]) hits |= bit_b(i);
  return y < title_height ? hits & ~scrolled_b : hits;
}

// ---- Frame edges, cursors, minimum size

u32 edge_at(i32 x, i32 y, i32 width, i32 height, bool maximized) {
  if (maximized) return 0;
  u32 e = 0;
  if (x < edge_band) e |= edge_left;
  if (x >= width - edge_band) e |= edge_right;
  if (y < edge_band) e |= edge_top;
  if (y >= height - edge_band) e |= edge_bottom;
  if (e & (edge_left | edge_right)) {
    if (y < corner_band) e |= edge_top;
    if (y >= height - corner_band) e |= edge_bottom;
  }
  if (e & (edge_top | edge_bottom)) {
    if (x < corner_band) e |= edge_left;
    if (x >= width - corner_band) e |= edge_right;
  }
  return e;
}

u32 cursor_of(u32 edges) {
  switch (edges) {
    case 5:
    case 10: return 1;
    case 6:
    case 9: return 2;
    case 1:
    case 2: return 3;
    case 4:
    case 8: return 4;
  }
  return 0;
}

u32 cursor_id(u32 index) {
  constexpr u32 ids[5] = {win::cursor_arrow, win::cursor_size_nwse, win::cursor_size_nesw, win::cursor_size_we,
                          win::cursor_size_ns};
  return index < 5 ? ids[index] : win::cursor_arrow;
}

bool too_small(i32 width, i32 height, bool minimized, bool maximized) {
  return (width < min_width || height < min_height) && !minimized && !maximized;
}

draw::Rect enforce_min_size(win::Thread* t, win::Handle window, draw::Rect client, u32 dpi, bool minimized,
                            bool maximized) {
  const i32 w = client.right - client.left, h = client.bottom - client.top;
  if (!too_small(draw::to_logical(w, dpi), draw::to_logical(h, dpi), minimized, maximized)) return client;
  win::Rect outer{};
  if (!win::window_rect(*t, window, &outer)) return client;
  const i32 width = most(outer.right - outer.left, draw::to_px(min_width, dpi));
  const i32 height = most(outer.bottom - outer.top, draw::to_px(min_height, dpi));
  win::set_window_pos(t, window, outer.left, outer.top, width, height);
  win::Rect now{};
  if (!win::client_rect(*t, window, &now)) return client;
  return draw::Rect{now.left, now.top, now.right, now.bottom};
}

// ---- Invalidation

void redraw_all(win::Thread* t, win::Handle window, draw::Surface* s) {
  draw::changed(s);
  win::invalidate(t, window, nullptr);
}

void invalidate_slots(win::Thread* t, win::Handle window, draw::Surface* s, const HitMap& map, u64 mask) {
  i32 left = 32767, top = 32767, right = -32768, bottom = -32768;
  for (u32 i = 0; i < 64; ++i) {
    if (!(mask >> i & 1)) continue;
    left = least(left, map.left[i]);
    top = least(top, map.top[i]);
    right = most(right, map.right[i]);
    bottom = most(bottom, map.bottom[i]);
  }
  draw::changed(s);
  if (mask != 0) invalidate_rect(t, window, s->dpi, draw::Rect{left, top, right, bottom});
}

void invalidate_rect(win::Thread* t, win::Handle window, u32 dpi, draw::Rect logical) {
  const draw::Rect px = draw::scale_rect(dpi, logical);
  const win::Rect r{px.left, px.top, px.right, px.bottom};
  win::invalidate(t, window, &r);
}

void invalidate_below_title(win::Thread* t, win::Handle window, draw::Surface* s) {
  win::Rect client{};
  if (!win::client_rect(*t, window, &client)) return;
  // Without the mark the paint would find the kept frame current and send it again unchanged.
  draw::changed(s);
  client.top = draw::to_px(title_height, s->dpi);
  win::invalidate(t, window, &client);
}

void invalidate_shown(win::Thread* t, win::Handle window, draw::Surface* s) {
  draw::changed(s);
  if (s->overflow) {
    win::invalidate(t, window, nullptr);
    return;
  }
  for (u32 i = 0; i < s->show_count && i < draw::list_size; ++i) {
    const win::Rect r{s->shows.left[i], s->shows.top[i], s->shows.right[i], s->shows.bottom[i]};
    win::invalidate(t, window, &r);
  }
}

// ---- Rail focus order

namespace {

// Rotates the low 32 bits left by one (the board item, bit 31, comes first); the bits from 32 up stay.
u64 rotate_in(u64 v) {
  const u64 low = v & 0xFFFFFFFFu;
  return (v & ~u64{0xFFFFFFFFu}) | (((low << 1) | (low >> 31)) & 0xFFFFFFFFu);
}
u64 rotate_out(u64 v) {
  const u64 low = v & 0xFFFFFFFFu;
  return (v & ~u64{0xFFFFFFFFu}) | (((low >> 1) | (low << 31)) & 0xFFFFFFFFu);
}

}  // namespace

u64 rail_next(u64 focus, u64 available, bool down) {
  const u64 f = rotate_in(focus), a = rotate_in(available);
  if (f == 0) return focus;
  const u32 at = static_cast<u32>(__builtin_ctzll(f));
  u64 pick = 0;
  if (down) {
    const u64 above = at >= 63 ? 0 : a & ~((u64{2} << at) - 1);
    if (above) pick = above & (~above + 1);
  } else {
    const u64 below = a & ((u64{1} << at) - 1);
    if (below) pick = u64{1} << (63 - __builtin_clzll(below));
  }
  return pick ? rotate_out(pick) : focus;
}

u64 rail_jump(u64 focus, bool down) {
  if (focus == bit_a(slot_processes) && down) return focus_machines;
  if (focus == bit_a(slot_settings) && !down) return focus_machines;
  if (focus == focus_machines) return down ? bit_a(slot_settings) : bit_a(slot_processes);
  return 0;
}

// ---- Support page geometry

i32 support_qr_side(const SupportFacts& b, u32 i) {
  const u32 symbol = i == 1 ? 1 : 0;
  return (b.modules[symbol] + 8) * b.scale[symbol];
}

i32 support_qr_box(const SupportFacts& b, u32 i) { return 4 * support_qr_side(b, i); }

i32 support_widest_qr(const SupportFacts& b) { return most(most(support_qr_box(b, 0), support_qr_box(b, 1)), 0); }

bool support_stacked(const SupportFacts& b, i32 width) {
  const i32 widest = support_widest_qr(b);
  return widest != 0 && width - 268 < widest + 384;
}

i32 support_note_gap(const SupportFacts& b, u32 i) { return i == 1 && b.note ? 32 : 0; }

i32 support_block_height(const SupportFacts& b, u32 i, i32 width) {
  if (i > 2 || !(b.shown >> i & 1)) return 0;
  const i32 box = support_qr_box(b, i), gap = support_note_gap(b, i);
  if (support_stacked(b, width)) return box + gap + 184 - (box == 0 ? 8 : 0);
  return gap + most(box, 160) + 16;
}

i32 support_blocks_height(const SupportFacts& b, i32 width) {
  return support_block_height(b, 0, width) + support_block_height(b, 1, width) + support_block_height(b, 2, width);
}

i32 support_content_height(const SupportFacts& b, i32 width, u8 page) {
  return page == page_support ? support_blocks_height(b, width) + 192 : 0;
}

i32 support_block_top(const SupportFacts& b, u32 i, i32 width) {
  i32 top = 168;
  for (u32 k = 0; k < i && k < 3; ++k) top += support_block_height(b, k, width);
  return top;
}

i32 support_text_x(const SupportFacts& b, i32 width) {
  return support_stacked(b, width) ? content_left : content_left + support_widest_qr(b) + 24;
}

i32 support_text_top(const SupportFacts& b, u32 i, i32 width) {
  const i32 top = support_block_top(b, i, width);
  if (!support_stacked(b, width)) return top;
  const i32 box = support_qr_box(b, i);
  return top + box + support_note_gap(b, i) + 8 - (box == 0 ? 8 : 0);
}

i32 support_after_qr(const SupportFacts& b, u32 i, i32 width) {
  const i32 top = support_block_top(b, i, width), box = support_qr_box(b, i);
  return support_stacked(b, width) ? top + box + 8 : top + most(box, 160);
}

}  // namespace app
