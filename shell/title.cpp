#include "shell/title.h"

#include "sampling/heat.h"
#include "shell/banner.h"
#include "shell/machinespage.h"
#include "shell/processes.h"
#include "shell/quit.h"
#include "shell/replacement.h"
#include "shell/settings_page.h"
#include "shell/support_page.h"
#include "widgets/texts.h"
#include "drawing/layout.h"
#include "views/histchart.h"
#include "views/render.h"
#include "views/sensors.h"

namespace app {
namespace {

constexpr u32 text_most = 160;

void put_word(draw::Surface* s, u32 offset, u32 value, int order) {
  if (!s->record.view || s->record.size < draw::frame_header) return;
  __atomic_store_n(reinterpret_cast<u32*>(s->record.view + offset), value, order);
}
u32 get_word(const draw::Surface& s, u32 offset) {
  if (!s.record.view || s.record.size < draw::frame_header) return 0;
  return __atomic_load_n(reinterpret_cast<const u32*>(s.record.view + offset), __ATOMIC_RELAXED);
}

void caption_buttons(AppState* s) {
  const HitMap& m = s->map;
  for (u32 i = 0; i < 3; ++i) {
    const u32 slot = slot_minimize + i;
    if (slot_empty(m, slot)) continue;
    const draw::Rect r = slot_rect(m, slot);
    const bool hovered = (m.hover_a >> slot) & 1;
    const u32 fill = !hovered ? colour_strip : slot == slot_close ? colour_close_hover : colour_caption_hover;
    draw::fill(&s->surface, r, fill);
    const u32 kind = i == 0   ? glyph_minimize
                     : i == 2 ? glyph_close
                     : (s->flags & flag_maximized) ? glyph_restore
                                                   : glyph_maximize;
    caption_glyph(&s->surface, kind, r, colour_title);
  }
}

bool scrolled_page(u8 page) { return page == page_settings || page == page_support || page == page_sensors; }

// The Sensors page: its rows, the section heading and, without a CPU temperature, the note (its short form when
// the whole note does not fit two lines). The page's height sets how far it scrolls.
void draw_sensors(AppState* s) {
  const machine::Machine& m = shown(*s);
  s->content_height = static_cast<u32>(sensors::extra_height(s->page, m));
  sensors::render(&s->surface, m, s->width, s->page_scroll);
  section_head(canvas_of(s), sensors::title_text(), 100);
  if (!sensors::note_shown(m)) return;
  mem::Bytes note = sensors::driver_note();
  const i32 room = s->width - content_left - 24;
  const u32 end = fit_words(s, note, 0, room);
  if (end + 1 < note.len &&
      text_width(&s->surface, role_small, mem::Bytes(note.ptr + end + 1, note.len - end - 1)) > room)
    note = sensors::driver_short();
  note_wrapped(s, note, content_left, 124 - s->page_scroll);
}

}  // namespace

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
  // The view shown goes with every paint, so that the record names it outside --test too (a relaunch's view).
  put_status(s, paint_status(*s) | (view_id(*s) << 24), ~u32{0x400 | 0x200 | 0x100 | 0x8 | 0xFF000000u});
  win::end_paint(s->thread, s->window);
}

void draw_frame(AppState* s) {
  const gdi::Handle sink = win::sink(*s->thread, s->window);
  if (draw::again(&s->surface, sink, s->pixel_width, s->pixel_height)) return;
  // A frame that reached the window is done; one the own renderer failed is drawn once more, down the GDI road.
  for (u32 attempt = 0; attempt < 2; ++attempt) {
    draw::begin(&s->surface, sink, s->pixel_width, s->pixel_height);
    draw_page(s);
    if (draw::present(&s->surface, sink, s->pixel_width, s->pixel_height)) return;
  }
}

void draw_page(AppState* s) {
  refresh_history(s);
  draw::fill(&s->surface, draw::Rect{0, 0, s->width, s->height}, colour_background);
  if (!scrolled_page(s->page)) draw_title(s);
  const Canvas c = canvas_of(s);
  draw_rail(c, rail_facts(*s));
  Model* m = s->model;
  if (s->page == page_view) {
    views::render(&m->views, &s->surface, shown(*s));
  } else if (s->page == page_overview) {
    draw_overview(s);
  } else {
    views::render_rail(&m->views, &s->surface, shown(*s));
    if (s->page == page_internet) {
      internet::draw_page(&m->internet_page, &m->views, &s->surface, &m->probe, now(*s));
    } else if (s->page == page_processes) {
      processes_draw(s);
    } else if (s->page == page_machines) {
      machines_render(s);
    } else if (s->page == page_sensors) {
      draw_sensors(s);
    } else if (s->page == page_support) {
      support_draw(s);
    } else {
      settings_draw(s);
    }
  }
  if (scrolled_page(s->page)) {
    page_scrollbar(s);
    draw_title(s);
  }
  draw_focus(c);
  if (!(s->flags & flag_maximized)) outline(&s->surface, draw::Rect{0, 0, s->width, s->height}, colour_outline);
}

void draw_title(AppState* s) {
  draw::Surface* d = &s->surface;
  const i32 w = s->width;
  draw::fill(d, draw::Rect{0, 0, w, title_height}, colour_strip);
  draw::icon(d, 12, 12, 16);
  i32 x = 36 + text_in(d, role_body, title_text(), draw::Rect{36, 0, w, title_height}, colour_title, 0) + 8;
  x += text_in(d, role_body, s->version, draw::Rect{x, 0, w, title_height}, colour_version, 0);

  // Badges between the version and the right limit, fewer when they do not all fit.
  const Facts facts = facts_of(*s);
  const bool offers = banner_kind(facts.update), updated = notice_shown(facts.update);
  const i32 start = x + 12, right_limit = banner_limit(s, offers, updated);
  const u32 wanted = badges_wanted(*s);
  u64 widths = 0;
  for (u32 i = 0; i < 4; ++i) {
    if (!((wanted >> i) & 1)) continue;
    const i32 each = text_width(d, role_small, badge_text(i)) + 28;
    widths |= static_cast<u64>(static_cast<u16>(each)) << (16 * i);
  }
  const u32 shown = layout::marks_fit(wanted, widths, right_limit - start, badge_drop_order);
  const Canvas c = canvas_of(s);
  i32 bx = start, end = x;
  for (u32 i = 0; i < 4; ++i) {
    if (!((shown >> i) & 1)) continue;
    end = title_badge(c, badge_text(i), bx);
    bx = end + 12;
  }

  if (offers) update_banner(s, end + 12);
  if (updated) updated_banner(s);
  if (offers || updated) {
    caption_buttons(s);
    return;
  }
  // The renderer's name, when it fits after the badges.
  // The road of this very frame: a window too large for the own renderer's frame goes down the GDI road.
  const mem::Bytes renderer = renderer_text(d->mode == 1);
  const i32 rw = text_width(d, role_small, renderer);
  if (w - 154 - rw >= end + 4 + (shown ? 0 : 12))
    text_in(d, role_small, renderer, draw::Rect{w - 314, 0, w - 154, title_height}, colour_version, 1);
  caption_buttons(s);
}

void relayout(AppState* s) {
  Model* m = s->model;
  refresh_history(s);
  overview_layout(s);
  s->map.changed = 0;
  if (scrolled_page(s->page)) page_scroll(s);
  processes_layout(s);
  layout_hits(&s->map, &m->views, facts_of(*s));
  if (s->map.changed) s->flags |= flag_layout_changed;
  if (s->page == page_internet)
    internet::page_layout(&m->internet_page, &m->views, shown(*s), s->width, s->height, m->probe.data != nullptr);
  redraw_all(s);
}

void redraw_all(AppState* s) {
  draw::invalidate(&s->surface);
  if (s->window) redraw_all(s->thread, s->window, &s->surface);
}

// ---- The Overview page

// The page's cards, laid out for the window's size; this computer's processes give the top five.
void overview_layout(AppState* s) {
  if (s->page != page_overview) return;
  Model* m = s->model;
  views::set_overview(&m->views, true);
  overview::layout(&m->overview, &m->views, shown(*s), s->width, s->height);
}

void draw_overview(AppState* s) {
  Model* m = s->model;
  const model::ProcTable* table = remote_shown(*s) ? nullptr : &m->procs;
  if (table) overview::take_tops(&m->overview, table, m->list.measuring != 0);
  overview::render(&m->overview, &m->views, &s->surface, shown(*s), table);
}

// ---- The stored-history source

localhist::Shown history_shown(const AppState& s) {
  const Model& m = *s.model;
  const views::ViewState& v = m.views;
  const cluster::PublishSettings& publish = m.cluster_ui.publish;
  localhist::Shown shown{};
  shown.page = s.page == page_view ? 0 : 1;
  shown.range = static_cast<u8>(views::range_of(v));
  shown.view = v.view;
  shown.measure[0] = views::hist_field(v.view, false);
  shown.measure[1] = views::hist_field(v.view, true);
  // A remote machine shown from the Machines page reads its history from the host through the page's viewer link.
  const machines::Page& machines_page = m.machines.page;
  shown.linked = machines_page.remote_shown != 0 && machines_page.link != nullptr;
  shown.machine = shown.linked ? machines_page.list.selected : -1;
  shown.member_id = shown.linked ? machines_page.link->link.watched_id : nullptr;
  shown.test = in_test(s);
  shown.test_source = m.chart_source.test_source;
  shown.publishing = publish.publish != 0 && publish.target_kind != 0;
  shown.own_id = publish.id_present ? publish.id : nullptr;
  return shown;
}

localhist::HostLink history_link(AppState* s) {
  machines::Page& page = s->model->machines.page;
  if (page.link == nullptr) return localhist::HostLink{};
  return localhist::HostLink{&page.link->link, viewer::ready(&page.link->link), true};
}

void refresh_history(AppState* s) {
  Model* m = s->model;
  views::set_ranges(&m->views, localhist::ranges_offered(m->chart_source, in_test(*s)));
  localhist::HostLink link = history_link(s);
  if (!localhist::refresh(&m->chart_source, history_shown(*s), &link, now(*s))) return;
  views::set_hist(&m->views, m->chart_source.table);
  // A stored range from the host needs the viewer link: the Machines page opens it.
  if (m->chart_source.wants_link && m->machines.page.link == nullptr && !in_test(*s)) {
    machines::Env e = machines_env(s);
    machines_apply(s, machines::open_link(&e));
  }
}

// ---- Notes

u32 fit_words(AppState* s, mem::Bytes text, u32 start, i32 width) {
  u32 end = start;
  bool first = true;
  while (end < text.len) {
    u32 next = end + (first ? 0 : 1);
    while (next < text.len && text.ptr[next] != ' ') ++next;
    if (!first && (next - start > text_most ||
                   text_width(&s->surface, role_small, mem::Bytes(text.ptr + start, next - start)) > width))
      break;
    end = next;
    first = false;
  }
  return end;
}

void note_wrapped(AppState* s, mem::Bytes text, i32 x, i32 y) { note_wrapped_in(s, text, x, y, colour_grey); }

void note_wrapped_in(AppState* s, mem::Bytes text, i32 x, i32 y, u32 colour) {
  draw::Surface* d = &s->surface;
  const i32 room = s->width - x - 24, right = s->width - 24;
  if (text_width(d, role_small, text) <= room) {
    text_in(d, role_small, text, draw::Rect{x, y, right, y + 32}, colour, 0);
    return;
  }
  const u32 end = fit_words(s, text, 0, room);
  text_in(d, role_small, mem::Bytes(text.ptr, end), draw::Rect{x, y, right, y + 16}, colour, 0);
  if (end + 1 < text.len)
    text_in(d, role_small, mem::Bytes(text.ptr + end + 1, text.len - end - 1), draw::Rect{x, y + 16, right, y + 32},
            colour, 0);
}

// ---- What the hit map and the rail are laid out from

Facts facts_of(const AppState& s) {
  const Model& m = *s.model;
  Facts f{};
  f.page = s.page;
  f.width = s.width;
  f.height = s.height;
  f.maximized = (s.flags & flag_maximized) != 0;
  f.scroll = s.page_scroll;
  f.shown = &shown(s);
  f.overview = overview::content_rect(m.overview);
  f.remote = remote_shown(s);
  f.heat = heat::any(&f.shown->temps);
  f.probe = m.probe.settings.on != 0;
  support_facts(s, &f);
  const updstate::Settings& u = m.updater.settings;
  f.update.status = u.status;
  f.update.flags = u.flags;
  f.update.suppressed = updstate::is_suppressed(&u);
  f.update.dismissed = (s.flags & flag_banner_dismissed) != 0;
  f.banner_narrow = banner_narrow(const_cast<AppState*>(&s));  // measures text on the surface; changes nothing
  f.update.restart_pending = (s.flags & flag_restart_pending) != 0;
  for (u32 i = 0; i < 3; ++i) f.update.notices[i] = m.updater.notices[i];
  f.taskmgr_state = m.taskmgr.state;
  f.taskmgr_absent = taskmgr_absent(s);
  processes_rects(s, &f);
  machines_facts(s, &f);
  return f;
}

RailFacts rail_facts(const AppState& s) {
  RailFacts r{};
  r.page = s.page;
  r.probe = s.model->probe.settings.on != 0;
  r.support = s.model->support.currencies != 0;
  r.heat = heat::any(&shown(s).temps);
  r.remote = remote_shown(s);
  r.remote_name = machines_remote_name(s);
  r.power_shown = power_shown(s.page, s.model->views);
  r.fixed_top = views::views_top(s.model->views);
  return r;
}

Canvas canvas_of(AppState* s) { return Canvas{&s->surface, &s->map, s->width, s->height, s->page_scroll}; }

}  // namespace app
