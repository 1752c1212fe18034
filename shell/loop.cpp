#include "shell/loop.h"

#include "host/hub.h"
#include "platform/kobj.h"
#include "sampling/ring.h"
#include "shell/dpi.h"
#include "shell/driver.h"
#include "shell/fields.h"
#include "shell/pages.h"
#include "shell/processes.h"
#include "shell/machinespage.h"
#include "shell/quit.h"
#include "shell/replacement.h"
#include "shell/rules.h"
#include "shell/settings_page.h"
#include "shell/snap.h"
#include "shell/support_page.h"
#include "shell/title.h"
#include "drawing/layout.h"
#include "views/render.h"

namespace app {
namespace {

constexpr u64 rail_rows = 0x2FFFFFFFFull;  // view rows 0-29, Processes, Overview and Settings
constexpr u64 row_processes = u64{1} << 30;

i16 clamp16(i32 v) { return static_cast<i16>(v < -32768 ? -32768 : v > 32767 ? 32767 : v); }

// Client coordinates of a mouse message (signed 16-bit pairs) in logical px at the window's DPI.
void point_of(const AppState& s, i64 lparam, i32* x, i32* y) {
  const i32 px = static_cast<i16>(lparam & 0xFFFF), py = static_cast<i16>((lparam >> 16) & 0xFFFF);
  *x = draw::to_logical(px, s.dpi);
  *y = draw::to_logical(py, s.dpi);
}

u32 lowest_bit(u64 bits) { return bits ? static_cast<u32>(__builtin_ctzll(bits)) : 64; }


void put_word(AppState* s, u32 offset, u32 value, int order) {
  section::Section& r = s->surface.record;
  if (!r.view || r.size < draw::frame_header) return;
  __atomic_store_n(reinterpret_cast<u32*>(r.view + offset), value, order);
}

u32 shown_view(const AppState& s) {
  return view_id(s.map.selected & rail_rows, s.page, power_shown(s.page, s.model->views));
}

void redraw_slots(AppState* s, u64 mask) {
  if (mask && s->window) invalidate_slots(s->thread, s->window, &s->surface, s->map, mask);
}

void refresh_list(AppState* s) {
  Model* m = s->model;
  proclist::rebuild(&m->list, &m->procs);
  procpage::clamp_scroll(&m->proc_page, &m->list);
}

bool tops_kept(const AppState& s) { return !in_test(s) || (s.options & opt_tops); }

// The history writer's summary of this machine, as the host would make it from the machine's inventory.
hub::SummaryInputs summary_inputs(const machine::Machine& m) {
  hub::SummaryInputs in{};
  in.system_kind = 2;
  in.logical_processors = m.cpus;
  in.memory_total_mib = m.memory_total;
  in.gpu_count = m.gpus;
  for (u32 i = 0; i < 4; ++i) {
    in.dedicated_mib[i] = m.gpu_dedicated[i];
    in.shared_mib[i] = m.gpu_shared[i];
  }
  return in;
}

void drive_history(AppState* s) {
  Model* m = s->model;
  ring::Row newest;
  const bool have = ring::at(&m->machine.ring, 0, &newest);
  const hub::SummaryInputs inputs = summary_inputs(m->machine);
  localhist::drive(&m->history, &m->cluster.history_countdown, in_test(*s), &m->cluster_ui.publish, m->machine.pushed,
                   have ? &newest : nullptr, &inputs);
  // The stored chart is of the machine shown: a remote machine's table takes that machine's samples, not ours.
  localhist::take_live(&m->chart_source, shown(*s), now(*s));
}

// The test driver's extra disk: "Disk 2 (E:)" of the given bytes joins this machine (its rows read it as empty),
// then the step after a sample lays out what changed.
void test_add_disk(AppState* s, u64 bytes) {
  machine::Machine* m = &s->model->machine;
  const Noted before = note(*s);
  if (m->disks < machine::max_disks) {
    const u32 d = m->disks;
    machine::set_counts(m, m->cpus, d + 1, m->nics);
    const mem::Bytes name = mem::lit("Disk 2 (E:)");
    machine::set_name(m, machine::slot_disks + d, name.ptr, name.len);
    const u64 mib = bytes >> 20;
    m->disk_capacity[d] = mib > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<u32>(mib);
  }
  after_sample(s, before);
}

// The 100 ms poll of the stored-history source: a table that changed draws its chart again.
void poll_history(AppState* s) {
  localhist::HostLink link = history_link(s);
  if (localhist::poll(&s->model->chart_source, &link, ticks(*s)) && s->page == page_view) redraw_all(s);
}

void run_timer(AppState* s, u32 id) {
  switch (id) {
    case timer_link:
      machines_timer(s);
      poll_history(s);
      pages_timer(s);
      break;
    case timer_fast:
      fast_sample(s);
      break;
    case timer_animate:
      animate(s);
      break;
    default:
      if (!in_test(*s)) tick(s);
      break;
  }
}

void driver_message(AppState* s, const win::Msg& m) {
  switch (m.message) {
    case driver_frame:
      frame_request(s, static_cast<u32>(m.wparam));
      break;
    case driver_tick:
      tick(s);
      break;
    case driver_char:
      on_char(s, static_cast<u32>(m.wparam));
      break;
    case driver_menu_choice:
    case driver_menu_flag:
      processes_test_preset(s, m.message, m.wparam);
      break;
    case driver_hold:
      source::procs_hold(&s->model->source, static_cast<u32>(m.wparam & 0xFF), (m.wparam & 0x100) != 0);
      break;
    case driver_dpi: {
      const u32 asked = static_cast<u32>(m.wparam);
      set_dpi(s, asked == 96 || asked == 120 || asked == 144 || asked == 192 ? asked : 96);
      break;
    }
    case driver_work_area:
      s->test_work[0] = static_cast<i16>(m.wparam & 0xFFFF);
      s->test_work[1] = static_cast<i16>((m.wparam >> 16) & 0xFFFF);
      s->test_work[2] = static_cast<i16>(m.lparam & 0xFFFF);
      s->test_work[3] = static_cast<i16>((m.lparam >> 16) & 0xFFFF);
      break;
    case win::wm_app + 0x1F:
    case win::wm_app + 0x29:
      machines_driver(s, m.message, m.wparam);
      break;
    case driver_add_disk:
      test_add_disk(s, m.wparam);
      break;
    case driver_cluster_char:
      clusterui::test_char(&s->model->cluster_ui, static_cast<u8>(m.wparam & 0xFF));
      break;
    case driver_history_source: {
      localhist::HostLink link = history_link(s);
      localhist::set_test_source(&s->model->chart_source, &link, static_cast<u8>(m.wparam));
      views::set_hist(&s->model->views, nullptr);
      relayout(s);
      break;
    }
    default:
      test_message(s, m);  // the rest of the table
      break;
  }
}

// SIGTERM and SIGINT set the quit event: the window ends as its close does.
void check_quit(AppState* s) {
  if (s->quit_event && s->window && kobj::wait(s->quit_event, 0)) close(s);
}

}  // namespace

bool links_open(const AppState& s) {
  const Model* m = s.model;
  return m && (m->machines.page.link != nullptr || m->chart_source.table != nullptr || m->cluster_ui.block != nullptr);
}

// The link timer's steps serve what waits on a peer: the Machines page's viewer link, the charts' stored-history
// source, the cluster publisher. While none is open a step does nothing, so outside a test the timer stops and the
// window wakes only for the second's tick and for what arrives; the message that opens one starts it again.
void pace_links(AppState* s) {
  if (in_test(*s) || !s->window) return;
  const bool open = links_open(*s);
  if (open == (s->link_timer != 0)) return;
  s->link_timer = open ? 1 : 0;
  if (open) win::set_timer(s->thread, s->window, timer_link, link_ms);
  else win::kill_timer(s->thread, s->window, timer_link);
}

// ---- The loop

i32 run(AppState* s) {
  win::Msg m{};
  while (s->window && win::is_window(*s->thread, s->window)) {
    const i32 got = win::get_message(s->thread, &m);
    if (got < 0) return -1;
    if (got == 0) break;
    if (s->window) on_size(s);
    pre_dispatch(s, m);  // nothing else would take what it leaves: the class has no procedure
    if (!s->window || !win::is_window(*s->thread, s->window)) break;
    pace_links(s);
    // A drag whose capture went elsewhere (another program took the pointer) ends where it is.
    if (s->drag && !has_capture(*s)) cancel_drag(s);
    poll_dpi(s);
    on_size(s);
    check_quit(s);
  }
  return 0;
}

bool is_input(u32 message) {
  return (message >= 0x100 && message <= 0x109) || (message >= 0x200 && message <= 0x20E) ||
         message == win::wm_mouseleave;
}

bool input_allowed(const AppState& s, const win::Msg& m) {
  return !in_test(s) || (m.wparam >> 32) == driver_mark;
}

u32 pre_dispatch(AppState* s, const win::Msg& m) {
  if (m.window != s->window || m.window == 0) return 0;
  if (is_input(m.message)) {
    if (!input_allowed(*s, m)) return 1;
    s->last_input = now(*s);
    s->input_ticks = ticks(*s);
    note_pointer(s, m);
  }
  i32 x = 0, y = 0;
  point_of(*s, m.lparam, &x, &y);
  const u32 key = static_cast<u32>(m.wparam & 0xFFFF);
  switch (m.message) {
    case win::wm_paint:
      paint(s);
      return 1;
    case win::wm_timer:
      run_timer(s, static_cast<u32>(m.wparam));
      return 1;
    case win::wm_rbuttondown:
      return 1;
    case win::wm_rbuttonup:
      processes_right_click(s, x, y);
      return 1;
    case win::wm_close:
      close(s);
      return 1;
    case win::wm_syscommand:
      if ((m.wparam & 0xFFF0) == 0xF060) close(s);
      return 1;
    case win::wm_syskeydown:
      if (key == vk_f4) close(s);
      if (key == vk_f10) processes_menu_key(s, key, shift_down(*s, m.wparam));
      return 1;
    case win::wm_keydown:
      key_down(s, key, m.wparam);
      return 1;
    case win::wm_char:
      on_char(s, key);
      return 1;
    case win::wm_mousewheel:
      wheel(s, static_cast<i16>((m.wparam >> 16) & 0xFFFF));
      return 1;
    case win::wm_mousemove:
      mouse_move(s, x, y);
      return 1;
    case win::wm_lbuttondown:
    case win::wm_lbuttondblclk:
      mouse_down(s, x, y, m.message == win::wm_lbuttondblclk);
      return 1;
    case win::wm_lbuttonup:
      mouse_up(s, x, y);
      return 1;
    case win::wm_mouseleave:
      mouse_leave(s);
      return 1;
    default:
      break;
  }
  if (in_test(*s) && m.message >= win::wm_app + 0x10 && m.message <= win::wm_app + 0x29) {
    driver_message(s, m);
    return 1;
  }
  if (s->wake_message && m.message == s->wake_message) {
    wake(s);
    return 1;
  }
  return 0;
}

// ---- Keys

bool shift_down(const AppState& s, u64 wparam) {
  return key_state(s, wparam, 0x10000, win::vk_shift);
}

void key_down(AppState* s, u32 key, u64 wparam) {
  Model* m = s->model;
  if (win_key_down(*s, wparam) && snap_key(s, key)) return;
  if (processes_menu_key(s, key, shift_down(*s, wparam))) return;
  // The text fields first: on the Settings page every key, on the Machines page while its filter is edited every key
  // but Up and Down (they move in the list).
  if ((s->page == page_settings || (s->page == page_machines && m->machines.page.editing && key != vk_up &&
                                    key != vk_down)) &&
      field_key(s, key, wparam))
    return;
  if (s->page == page_machines && machines_key(s, key)) return;
  if (s->page == page_processes && processes_key(s, key)) return;
  if ((s->page == page_settings || s->page == page_support || s->page == page_sensors) && page_key(s, key)) return;
  switch (key) {
    case vk_escape:
      close(s);
      return;
    case vk_up:
    case vk_down: {
      const bool down = key == vk_down;
      const u64 before = s->map.focus;
      const u64 jump = rail_jump(before, down);
      const u64 next = jump ? jump : rail_next(before, s->map.enabled_a & rail_rows & ~focus_machines, down);
      if (next == before) return;
      s->map.focus = next;
      if (jump) {
        invalidate_below_title(s->thread, s->window, &s->surface);
        return;
      }
      const u32 row = lowest_bit(next);
      if (row < 30 && views::reveal(&m->views, row)) {
        rail_scrolled(s, true);
      } else {
        redraw_slots(s, before | next);
      }
      return;
    }
    case vk_r:
      if (s->page == page_view) {
        const u32 n = views::ranges(m->views);
        set_option(s, n ? (views::range_of(m->views) + 1) % n : 0);
      }
      return;
    case vk_return:
      if (s->map.focus == focus_machines) {
        machines_open(s);
        return;
      }
      click(s, s->map.focus);
      return;
    default:
      (void)wparam;
      return;
  }
}

i32 scroll_range(const AppState& s) {
  const i64 range = static_cast<i64>(s.content_height) - s.height;
  return range > 0 ? static_cast<i32>(range > 0x7FFFFFFF ? 0x7FFFFFFF : range) : 0;
}

bool page_key(AppState* s, u32 key) {
  const i32 step = page_step(s->height);
  i64 scroll = s->page_scroll;
  switch (key) {
    case vk_prior: scroll -= step; break;
    case vk_next: scroll += step; break;
    case vk_home: scroll = 0; break;
    case vk_end: scroll = 0x7FFFFFFF; break;
    default: return false;
  }
  const i32 range = scroll_range(*s);
  s->page_scroll = static_cast<i32>(scroll < 0 ? 0 : scroll > range ? range : scroll);
  relayout(s);
  return true;
}

void on_char(AppState* s, u32 c) {
  if (field_char(s, c)) return;
  if (s->page == page_machines) machines_char(s, c);
  if (s->page != page_processes) return;  // the cluster field arrives with the Settings and Machines pages
  processes_char(s, c);
}

// ---- Wheel

void wheel(AppState* s, i32 delta) {
  views::ViewState* v = &s->model->views;
  if (s->pointer_y >= title_height && s->pointer_x >= 0 && s->pointer_x < 220 && views::rail_scrolls(*v)) {
    rail_scrolled(s, views::rail_scroll(v, delta));
  } else if (s->page == page_processes) {
    wheel_proclist(s, delta);
  } else if (s->page == page_settings || s->page == page_support || s->page == page_sensors) {
    wheel_page(s, delta);
  }
}

void wheel_page(AppState* s, i32 delta) {
  i32 sum = delta;
  if ((s->wheel_rest < 0) == (delta < 0)) sum += s->wheel_rest;
  const i64 scroll = static_cast<i64>(s->page_scroll) - sum / 3;
  s->wheel_rest = static_cast<i8>(sum % 3);
  // Scrolling stops at either end, and what was left over goes with it.
  const i32 range = scroll_range(*s);
  if (scroll < 0 || scroll > range) s->wheel_rest = 0;
  s->page_scroll = static_cast<i32>(scroll < 0 ? 0 : scroll > range ? range : scroll);
  relayout(s);
}

void wheel_proclist(AppState* s, i32 delta) { processes_wheel(s, delta); }

void rail_scrolled(AppState* s, bool moved) {
  if (moved) relayout(s);
}

// ---- Pointer

void mouse_move(AppState* s, i32 x, i32 y) {
  if (drag_pointer(s)) return;
  if (field_drag(s, x)) return;
  if (!in_test(*s) && !(s->flags & flag_leave_tracking)) {
    win::track_leave(s->thread, s->window);
    s->flags |= flag_leave_tracking;
  }
  s->pointer_x = clamp16(x);
  s->pointer_y = clamp16(y);
  if (processes_menu_pointer(s, x, y, false)) return;
  HitMap& map = s->map;
  const u64 a = hits_at(map, x, y) & map.enabled_a & hover_mask_a;
  const u64 b = hits_at_b(map, x, y) & map.enabled_b & hover_mask_b;
  const u64 changed = a ^ map.hover_a;
  map.hover_a = a;
  redraw_slots(s, changed);
  set_hover_b(s, b);
  Model* m = s->model;
  if (s->page == page_view && views::hover_parts(&m->views, shown(*s), &s->surface, x, y))
    invalidate_shown(s->thread, s->window, &s->surface);
  if (s->page == page_overview && overview::hover(&m->overview, &m->views, shown(*s), &s->surface, x, y))
    invalidate_shown(s->thread, s->window, &s->surface);
  // The table body is left out of the slot hovers (its rows hover on their own).
  if (s->page == page_processes)
    processes_pointer(s, x, y, (hits_at(map, x, y) & map.enabled_a & bit_a(slot_table)) != 0);
  if (s->page == page_internet &&
      internet::pointer(&m->internet_page, &m->views, m->probe.data, &s->surface, x, y))
    redraw_all(s->thread, s->window, &s->surface);
  const u32 edges = edge_at(x, y, s->width, s->height, (s->flags & flag_maximized) != 0);
  win::set_cursor(s->thread, s->cursors[cursor_of(edges)]);
}

void mouse_down(AppState* s, i32 x, i32 y, bool twice) {
  if (processes_menu_pointer(s, x, y, true)) return;
  HitMap& map = s->map;
  // A press on the frame edge resizes the window.
  if (const u32 edges = edge_at(x, y, s->width, s->height, (s->flags & flag_maximized) != 0)) {
    press_drag(s, static_cast<u8>(edges));
    return;
  }
  const u64 a = hits_at(map, x, y) & map.enabled_a & ~(bit_a(slot_plot) | bit_a(slot_cores));
  const u64 b = hits_at_b(map, x, y) & map.enabled_b;
  if (field_click(s, b, x, twice)) return;
  end_edit_on_click(s);
  if (!a && !b) {
    // A press on the empty title strip moves the window; a double-click there toggles maximized instead.
    if (y < title_height && twice) {
      toggle_maximize(s);
    } else if (y < title_height) {
      press_drag(s, drag_moving);
    }
    return;
  }
  map.pressed_a = a;
  map.pressed_b = twice ? b & ~(u64{1} << 5) : b;
  win::set_capture(s->thread, s->window);
}

void mouse_up(AppState* s, i32 x, i32 y) {
  if (release_drag(s)) return;
  win::release_capture(s->thread);
  field_drag_end(s);
  HitMap& map = s->map;
  cancel_confirm_on_click(s, hits_at_b(map, x, y) & map.enabled_b);
  const u64 a = map.pressed_a & hits_at(map, x, y) & map.enabled_a;
  const u64 b = map.pressed_b & hits_at_b(map, x, y) & map.enabled_b;
  map.pressed_a = map.pressed_b = 0;
  if (b) machines_click(s, b, x, y);
  if (b) click_b(s, b);
  if (!a) return;
  if (a & bit_a(slot_overview)) overview_click(s, x, y);
  if (a & bit_a(slot_table)) processes_click(s, y);
  const u64 rest = a & ~(bit_a(slot_overview) | bit_a(slot_table));
  if (rest) click(s, rest);
}

void mouse_leave(AppState* s) {
  s->flags &= static_cast<u8>(~flag_leave_tracking);
  s->pointer_y = -1;
  const u64 was = s->map.hover_a;
  s->map.hover_a = s->map.hover_b = 0;
  Model* m = s->model;
  if (s->page == page_view && views::leave_parts(&m->views, shown(*s), &s->surface))
    invalidate_shown(s->thread, s->window, &s->surface);
  if (s->page == page_overview && overview::leave(&m->overview, &m->views, shown(*s), &s->surface))
    invalidate_shown(s->thread, s->window, &s->surface);
  m->views.hover_column = 255;
  internet::page_unhover(&m->internet_page, &m->views);
  if (s->page == page_processes) processes_pointer(s, -1, -1, false);
  redraw_slots(s, was);
}

// A card opens its resource view, a top process the Processes page with that process selected; anything else
// opens the Processes page.
void overview_click(AppState* s, i32 x, i32 y) {
  Model* m = s->model;
  const i32 target = overview::view_at(m->overview, x, y);
  if (target >= 0 && target < 30 && (s->map.enabled_a >> target) & 1) return click(s, u64{1} << target);
  if (target == layout::view_power && (s->map.enabled_b & bit_b(slot_power))) return click_b(s, bit_b(slot_power));
  const u64 handle = target >= overview::target_rows
                         ? overview::top_row(m->overview, &m->procs, static_cast<u32>(target - overview::target_rows))
                         : model::no_handle;
  click(s, row_processes);
  if (handle == model::no_handle) return;
  m->list.selected_handle = handle;
  proclist::rebuild(&m->list, &m->procs);
  relayout(s);
}

// ---- Clicks

// Leaves the page for one of the rail's own pages (Internet, Sensors, Support, the power view): no rail row stays
// selected, the animation stops and everything is laid out again.
void open_page(AppState* s, u8 page) {
  Model* m = s->model;
  machines_leave(s, page);
  end_field_edit(s);
  if (s->page == page_support || s->page == page_sensors) s->page_scroll = 0;
  s->page = page;
  s->map.selected = 0;
  m->views.hover_column = 255;
  views::set_overview(&m->views, false);
  set_animating(s, false);
  relayout(s);
}

void open_power_view(AppState* s) {
  views::select(&s->model->views, layout::view_power);
  open_page(s, page_view);
}

void click_b(AppState* s, u64 bits) {
  Model* m = s->model;
  const u32 internet_controls = static_cast<u32>(bits & 0x380);
  if (internet_controls &&
      internet::page_click(&m->internet_page, &m->views, &m->probe, internet_controls, now(*s))) {
    if (internet_controls & internet::action_open) {
      open_page(s, page_internet);
    } else {
      relayout(s);
    }
  }
  if (bits & bit_b(slot_power)) open_power_view(s);
  for (u32 i = 0; i < 4; ++i)
    if (bits & bit_b(slot_range2 + i)) set_option(s, 2 + i);
  if (bits & bit_b(slot_support)) {
    support_open(s);
    open_page(s, page_support);
  }
  if (bits & bit_b(slot_sensors)) open_page(s, page_sensors);
  support_click(s, bits);
  settings_click(s, bits);
  settings::background_click(s, bits);
}


void click(AppState* s, u64 bits) {
  Model* m = s->model;
  const u64 row = bits & rail_rows & s->map.enabled_a;
  if (row || s->page == page_settings) end_field_edit(s);
  if (row) {
    const u64 one = row & (~row + 1);
    const u8 from = s->page;
    if (from == page_support || from == page_sensors) s->page_scroll = 0;
    s->map.selected = s->map.focus = one;
    const u32 id = lowest_bit(one);
    const u8 to = id == 33 ? page_settings : id == 30 ? page_processes : id == 31 ? page_overview : page_view;
    // Judged before the remote machine may be let go: coming back from its pages starts this computer's sampling.
    const bool animated_before = (from == page_processes || from == page_overview) && !remote_shown(*s);
    machines_leave(s, to);
    s->page = to;
    if (s->page == page_view) views::select(&m->views, id);
    views::set_overview(&m->views, s->page == page_overview);
    m->views.hover_column = 255;
    m->overview.hovered_chart = overview::none;
    internet::page_unhover(&m->internet_page, &m->views);
    if (page_animates(*s)) {
      if (!animated_before) start_sampling(s);
    } else {
      set_animating(s, false);
    }
    m->taskmgr.last_result = 0;
    relayout(s);
  }
  for (u32 column = 0; column < 9; ++column) {
    if (!((bits >> (45 + column)) & 1)) continue;
    processes_sort(s, column);
  }
  if (bits & (u64{1} << 37)) {
    views::toggle(&m->views);
    relayout(s);
  }
  if (bits & (u64{1} << 43)) set_option(s, 0);
  if (bits & (u64{1} << 44)) set_option(s, 1);
  if (bits & (u64{1} << slot_minimize))
    win::show_window(s->thread, s->window, in_test(*s) ? win::sw_showminnoactive : win::sw_minimize);
  if (bits & (u64{1} << slot_maximize)) toggle_maximize(s);
  if (bits & (u64{1} << slot_close)) close(s);
  taskmgr_buttons(s, bits);
  if (s->window) update_click(s, bits);
}

void set_option(AppState* s, u32 range) {
  views::ViewState* v = &s->model->views;
  if (!views::set_range(v, range)) return;
  updstate::Settings* u = &s->model->updater.settings;
  const u32 now_range = views::range_of(*v);
  u->flags = static_cast<u8>(now_range == 1 ? u->flags | updstate::flag_range_600 : u->flags & ~updstate::flag_range_600);
  const u32 seconds[6] = {0, 0, 3600, 86400, 2592000, 63072000};
  u->chart_range = now_range < 6 ? seconds[now_range] : 0;
  save_settings(s);  // the range is one of the few lasting preferences
  relayout(s);
}

// ---- The tick

Noted note(const AppState& s) {
  const Model& m = *s.model;
  const machine::Machine& own = m.machine;
  return Noted{source::failing(&m.source), m.source.mode == source::mode_demo, m.source.mode == source::mode_due,
               m.source.phase != source::phase_none, views::present(own), own.cpus, own.disks, own.nics, own.gpus,
               own.changes};
}

bool page_animates(const AppState& s) {
  return (s.page == page_processes || s.page == page_overview) && !remote_shown(s);
}

void tick(AppState* s) {
  Model* m = s->model;
  const Noted before = note(*s);
  source::tick(&m->source, &m->machine);
  drive_history(s);
  pages_tick(s);

  bool wanted = false;
  if (page_animates(*s) && !minimized(*s)) {
    if (s->page_ticks < 255) s->page_ticks += 1;
    const u32 measure = m->list.measuring != 0;
    wanted = m->list.waiting != 0 || (s->page == page_overview && s->page_ticks + 2 * measure >= 3) ||
             (s->page == page_processes && s->page_ticks + measure >= 2);
    if (m->list.waiting) animation_step(s);
    if (wanted && !m->list.waiting) set_collect_mode(s, false);
    if (m->list.waiting) set_animating(s, true);
  }
  s->ticks += 1;

  const bool own_processes = s->page == page_processes && !remote_shown(*s);
  const bool take =
      tops_kept(*s) && (!page_animates(*s) || minimized(*s)) && (s->ticks & 1) == 0 && !own_processes;
  if (take) source::take_procs(&m->source, &m->procs);
  if (tops_kept(*s) && (wanted || take)) ptop::ring_take(&m->tops, m->machine.pushed / 10, &m->procs);

  if (internet::window_tick(&m->probe, &m->internet_page, &m->views, m->machine, now(*s), s->width, s->height,
                            s->page == page_internet))
    redraw_all(s);
  after_sample(s, before);
  machines_tick(s);
  if (in_test(*s)) s->test_clock += 1;
  update_step(s);
  check_update_road(s);
}

void after_sample(AppState* s, const Noted& before) {
  Model* m = s->model;
  const Noted after = note(*s);
  if (before.due && !after.due && !in_test(*s)) win::kill_timer(s->thread, s->window, timer_fast);
  if (before.demo != after.demo || before.child != after.child) {
    views::reset(&m->views);
    source::take_procs(&m->source, &m->procs);
    refresh_list(s);
  }
  const bool same = before.failing == after.failing && before.demo == after.demo && before.due == after.due &&
                    before.child == after.child && before.present == after.present && before.cpus == after.cpus &&
                    before.disks == after.disks && before.nics == after.nics && before.gpus == after.gpus &&
                    before.changes == after.changes;
  if (!same) {
    relayout(s);
  } else if (!remote_shown(*s) && s->window) {
    if (s->page == page_processes) processes_repaint(s);
    refresh_page(s);
  }
  take_start_row(s);
}

// Only what a new second changed is drawn again: the resource page's or the Overview's parts, the Internet page's
// texts and charts, elsewhere the rail's rows; the Settings and Sensors pages (temperatures, the publish status, the
// update state) have no parts of their own, so all below the title strip.
void refresh_page(AppState* s) {
  Model* m = s->model;
  if (s->page == page_view) {
    views::tick_parts(&m->views, m->machine, &s->surface);
  } else if (s->page == page_overview) {
    overview::tick_parts(&m->overview, &m->views, m->machine, &s->surface);
  } else {
    views::rail_parts(&m->views, m->machine, &s->surface);
    if (s->page == page_internet) internet::mark_overlay(&m->internet_page, &s->surface);
    if (s->page == page_settings || s->page == page_sensors) {
      const draw::Rect below{0, title_height, s->width, s->height};
      draw::redo(&s->surface, below);
      draw::show(&s->surface, below);
    }
  }
  invalidate_shown(s->thread, s->window, &s->surface);
}

void fast_sample(AppState* s) {
  const Noted before = note(*s);
  source::sample_now(&s->model->source, &s->model->machine);
  after_sample(s, before);
}

// ---- Sampling of processes

void set_animating(AppState* s, bool on) {
  const bool was = (s->flags & flag_animating) != 0;
  if (on == was) return;
  s->flags = static_cast<u8>(on ? s->flags | flag_animating : s->flags & ~flag_animating);
  if (in_test(*s) || !s->window) return;  // under --test the flag stands for the timer
  if (on)
    win::set_timer(s->thread, s->window, timer_animate, animate_ms);
  else
    win::kill_timer(s->thread, s->window, timer_animate);
}

void animation_step(AppState* s) {
  Model* m = s->model;
  s->phase = proclist::spin_next(s->phase);
  m->list.spin = s->phase;
  const u32 answer = source::procs_tick(&m->source, &m->procs);
  if (answer == 2) {
    m->list.measuring = proclist::rates_measuring;
  } else if (answer == 1) {
    m->list.waiting = 0;
    m->list.measuring = proclist::after_table(m->list.measuring, m->source.rates_restart != 0);
    s->page_ticks = 0;
    set_animating(s, false);
  }
  if (answer != 0) refresh_list(s);
}

void animate(AppState* s) {
  if (page_animates(*s) && s->model->list.waiting && !minimized(*s)) {
    animation_step(s);
    if (s->page == page_processes) processes_repaint(s);
    else redraw_all(s);
  } else {
    set_animating(s, false);
  }
}

void set_collect_mode(AppState* s, bool on) {
  Model* m = s->model;
  if (on) {
    const u32 answer = source::procs_request(&m->source, &m->procs);
    m->list.waiting = static_cast<u8>(answer);
    m->list.measuring = answer ? proclist::opened_measure(answer)
                               : proclist::after_table(proclist::rates_measuring, m->source.rates_restart != 0);
  } else {
    source::take_procs(&m->source, &m->procs);
    m->list.waiting = 0;
    m->list.measuring = proclist::after_table(m->list.measuring, m->source.rates_restart != 0);
  }
  s->phase = 0;
  m->list.spin = 0;
  set_animating(s, m->list.waiting != 0);
  refresh_list(s);
  s->page_ticks = 0;
}

void start_sampling(AppState* s) {
  if (!remote_shown(*s)) set_collect_mode(s, true);
}

// ---- The frame request of the test driver

void frame_request(AppState* s, u32 number) {
  on_size(s);
  win::Msg pending{};
  if (win::peek_message(s->thread, &pending, s->window, win::wm_paint, win::wm_paint, true)) paint(s);
  processes_counters(s);
  u32 bits = 0x800 | (shown_view(*s) << 24);
  if (s->flags & flag_animating) bits |= 0x400;
  bits |= field_status_bits(*s);
  put_status(s, bits, ~(u32{0x400} | 0x3800u | 0xFF000000u));
  put_word(s, draw::word_model, static_cast<u32>(s->page) | (u32{s->model->views.view} << 8), __ATOMIC_RELAXED);
  put_word(s, draw::word_request, number, __ATOMIC_RELEASE);
}

}  // namespace app
