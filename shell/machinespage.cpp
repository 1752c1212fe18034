#include "shell/machinespage.h"

#include "platform/os.h"
#include "shell/loop.h"
#include "shell/processes.h"
#include "shell/title.h"

namespace app {

namespace {

constexpr u32 driver_machines = win::wm_app + 0x1F, driver_update_rows = win::wm_app + 0x29;

machines::Page* page_of(AppState* s) { return &s->model->machines.page; }

// Outside --test the link dials the cluster settings' target; under --test only with live data, from the test
// folder's files, so that a test can watch a real host.
bool dials(const AppState& s) { return !in_test(s) || (s.options & opt_live); }

}  // namespace

void machines_start(AppState* s, mem::Bytes settings) {
  MachinesWork* w = &s->model->machines;
  machines::page_init(&w->page);
  mem::Slice key{w->key_path, sizeof w->key_path}, list{w->list_path, sizeof w->list_path};
  if (in_test(*s)) {
    if (settings.len == 0) return;
    w->key_length = static_cast<u32>(cluster::test_path(settings, mem::lit(".key"), key));
    w->list_length = static_cast<u32>(cluster::test_path(settings, mem::lit(".machines"), list));
  } else {
    u8 publish[cluster::path_capacity];
    u64 n = cluster::publish_path(mem::Slice{publish, sizeof publish});
    w->key_length = static_cast<u32>(cluster::key_path(key));
    w->list_length = static_cast<u32>(cluster::machines_path(mem::Bytes(publish, n), list));
  }
  machines::load_list(&w->page, mem::Bytes(w->list_path, w->list_length));
}

machines::Env machines_env(AppState* s) {
  Model* m = s->model;
  MachinesWork* w = &m->machines;
  machines::Env e{};
  e.page = &w->page;
  e.own = &m->machine;
  e.own_procs = &m->procs;
  e.settings = &m->cluster_ui.publish;  // what Settings changes is dialled at the next open
  e.key_path = mem::Bytes(w->key_path, w->key_length);
  e.machines_path = mem::Bytes(w->list_path, w->list_length);
  e.dial = dials(*s);
  e.ticks = e.dial ? os::clock_ms() : ticks(*s);
  e.width = s->width;
  e.height = s->height;
  e.shown_page = s->page;
  e.test = in_test(*s);
  e.tops = (s->options & opt_tops) != 0;
  e.integrated = (s->options & opt_integrated) != 0;
  e.offered_version = updstate::version_number(m->updater.settings.last_version);
  e.share_target = background::prefer_own_host;
  return e;
}

void machines_apply(AppState* s, u32 acts) {
  Model* m = s->model;
  machines::Page* p = page_of(s);
  m->remote.shown = p->remote_shown;
  m->remote.machine = machines::shown_machine(p, &m->machine, &m->views, &m->tops);
  if (acts & machines::act_save) {
    machines::Env e = machines_env(s);
    machines::save_list(&e);
  }
  if (acts & machines::act_reset_views) views::reset(&m->views);
  if (acts & machines::act_show_page) {
    s->map.focus = focus_machines;
    open_page(s, page_machines);
  }
  if (acts & machines::act_open_view) {
    s->page = page_view;
    s->map.selected = s->map.focus = u64{1} << m->views.view;
    m->views.hover_column = 255;
    views::set_overview(&m->views, false);
    set_animating(s, false);
  }
  if (acts & (machines::act_relayout | machines::act_open_view | machines::act_reset_views)) {
    relayout(s);
  } else if ((acts & machines::act_refresh) && s->page == page_processes) {
    processes_remote_frame(s);
  } else if (acts & machines::act_refresh) {
    redraw_all(s);
  }
}

void machines_open(AppState* s) {
  machines::Env e = machines_env(s);
  machines_apply(s, machines::open(&e));
}

void machines_click(AppState* s, u64 bits_b, i32 x, i32 y) {
  constexpr u64 page_bits = bit_b(slot_machines) | bit_b(slot_machine_table) | bit_b(slot_filter) |
                            bit_b(slot_machine_button) | (u64{0xFF} << (slot_machine_header0 - 64));
  machines::Env e = machines_env(s);
  u32 acts = (bits_b & page_bits) ? machines::click(&e, bits_b & page_bits, x, y) : machines::cancel_confirm(&e, bits_b);
  machines_apply(s, acts);
}

bool machines_key(AppState* s, u32 key) {
  machines::Env e = machines_env(s);
  bool used = false;
  const u32 acts = machines::key(&e, key, &used);
  machines_apply(s, acts);
  return used;
}

void machines_char(AppState* s, u32 c) {
  machines::Env e = machines_env(s);
  machines_apply(s, machines::on_char(&e, c));
}

void machines_timer(AppState* s) {
  if (in_test(*s) && !dials(*s)) return;  // under --test only the driver's messages change the page
  machines::Env e = machines_env(s);
  machines_apply(s, machines::timer(&e));
}

void machines_driver(AppState* s, u32 message, u64 wparam) {
  machines::Env e = machines_env(s);
  if (message == driver_machines) machines_apply(s, machines::test_message(&e, wparam));
  if (message == driver_update_rows) machines_apply(s, machines::test_rows(&e, static_cast<u32>(wparam)));
}

void machines_tick(AppState* s) {
  if (!in_test(*s) || !page_of(s)->remote_shown) return;
  machines::Env e = machines_env(s);
  machines_apply(s, machines::feed_remote(&e));
}

void machines_leave(AppState* s, u8 to_page) {
  machines::Page* p = page_of(s);
  if (to_page == page_machines || p->link == nullptr) return;
  const bool always = to_page == page_settings || to_page == page_overview || to_page == page_support ||
                      to_page == page_internet;
  if (!always && p->remote_shown) return;
  machines::Env e = machines_env(s);
  const u32 acts = machines::close_link(&e);
  Model* m = s->model;
  m->remote.shown = p->remote_shown;
  m->remote.machine = machines::shown_machine(p, &m->machine, &m->views, &m->tops);
  if (acts & machines::act_reset_views) views::reset(&m->views);
}

void machines_close(AppState* s) {
  if (!s->model) return;
  machines::Env e = machines_env(s);
  machines::close_link(&e);
  s->model->remote = RemoteView{};
  machines::shown_machine(page_of(s), &s->model->machine, &s->model->views, &s->model->tops);
}

void machines_render(AppState* s) {
  machines::Env e = machines_env(s);
  machines::render(&e, canvas_of(s));
}

void machines_facts(const AppState& s, Facts* f) {
  machines::lay_facts(&s.model->machines.page, s.width, s.height, f);
}

mem::Bytes machines_remote_name(const AppState& s) { return machines::remote_name(&s.model->machines.page); }

}  // namespace app
