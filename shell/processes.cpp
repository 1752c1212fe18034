#include "shell/processes.h"

#include "platform/dialog.h"
#include "platform/os.h"
#include "shell/loop.h"
#include "shell/title.h"
#include "views/render.h"

namespace app {

namespace {

bool on_page(const AppState& s) { return s.page == page_processes; }

void queue(AppState* s, draw::Rect r) {
  draw::redo(&s->surface, r);
  draw::show(&s->surface, r);
}

// Presents what the page queued or painted. Cells painted in place may lie under an open menu or box: it is drawn
// again over them.
void present(AppState* s) {
  Model* m = s->model;
  const draw::Rect box = procmenu::shown_rect(m->proc_menu, &m->proc_page);
  if (box.right > box.left) queue(s, box);
  if (s->window) invalidate_shown(s->thread, s->window, &s->surface);
}

void retake(void* owner) { set_collect_mode(static_cast<AppState*>(owner), false); }

// After the menu's state may have changed: the old and the new box are drawn again, the table under them too.
void menu_changed(AppState* s, const draw::Rect& before) {
  Model* m = s->model;
  const draw::Rect after = procmenu::shown_rect(m->proc_menu, &m->proc_page);
  if (before.right > before.left) queue(s, before);
  if (after.right > after.left) queue(s, after);
  processes_repaint(s);
  // The system's own menu and boxes lay over the window while the page waited for them: what they covered is shown
  // again.
  if (dialog::native() && s->window) win::invalidate(s->thread, s->window, nullptr);
}

// The context menu, the Delete key and the menu key act on this computer's processes only: a remote machine's rows
// are listed, sorted, filtered and selected, but nothing here can reach its processes.
bool own_list(const AppState& s) { return s.page == page_processes && !remote_shown(s); }

// What the page lists: the copy of the remote machine opened on the Machines page while one is shown (the viewer
// link keeps its table and list current), else this computer's table and list.
proclist::ListState* list_of(AppState* s) {
  machines::Page* p = &s->model->machines.page;
  return p->remote_shown && p->copy != nullptr ? &p->copy->list : &s->model->list;
}
const model::ProcTable* table_of(const AppState& s) {
  return machines::shown_table(&s.model->machines.page, &s.model->procs);
}

}  // namespace

void processes_layout(AppState* s) {
  Model* m = s->model;
  procpage::layout(&m->proc_page, s->width, s->height);
  procpage::clamp_scroll(&m->proc_page, list_of(s));
}

void processes_rects(const AppState& s, Facts* f) {
  const procpage::PageLayout* page = &s.model->proc_page;
  const bool on = on_page(s);
  for (u32 c = 0; c < proclist::columns; ++c) procpage::header_rect(page, c, on, &f->headers[c]);
  procpage::table_rect(page, on, &f->table);
}

void processes_draw(AppState* s) {
  Model* m = s->model;
  const u32 hover = static_cast<u32>((s->map.hover_a >> slot_header0) & 0x1FF);
  procpage::render(&m->proc_page, list_of(s), table_of(*s), &s->surface, hover);
  if (own_list(*s)) procmenu::draw(m->proc_menu, processes_context(s), &s->surface);
}

void processes_repaint(AppState* s) {
  if (!on_page(*s)) return;
  procpage::repaint_rows(&s->model->proc_page, list_of(s), table_of(*s), &s->surface);
  present(s);
}

void processes_rebuilt(AppState* s) {
  proclist::ListState* list = list_of(s);
  proclist::rebuild(list, table_of(*s));
  procpage::clamp_scroll(&s->model->proc_page, list);
  processes_repaint(s);
}

void processes_remote_frame(AppState* s) {
  if (!on_page(*s) || !remote_shown(*s)) return;
  views::rail_parts(&s->model->views, shown(*s), &s->surface);
  procpage::clamp_scroll(&s->model->proc_page, list_of(s));
  processes_repaint(s);
}

void processes_click(AppState* s, i32 y) {
  proclist::ListState* list = list_of(s);
  const u32 p = procpage::row_at_y(&s->model->proc_page, list, y);
  if (p == procpage::none) return;
  proclist::select_at(list, table_of(*s), p);
  processes_repaint(s);
}

void processes_sort(AppState* s, u32 column) {
  proclist::sort_by(list_of(s), column);
  processes_rebuilt(s);
}

void processes_pointer(AppState* s, i32 x, i32 y, bool inside) {
  if (!on_page(*s)) return;
  if (procpage::hover_row(&s->model->proc_page, list_of(s), table_of(*s), &s->surface, x, y, inside)) present(s);
}

void processes_wheel(AppState* s, i32 delta) {
  proclist::ListState* list = list_of(s);
  const i64 rows = proclist::wheel_take(list, delta);
  if (rows && procpage::scroll(&s->model->proc_page, list, table_of(*s), &s->surface, rows)) present(s);
}

bool processes_key(AppState* s, u32 key) {
  const model::ProcTable* table = table_of(*s);
  proclist::ListState* list = list_of(s);
  procpage::PageLayout* page = &s->model->proc_page;
  switch (key) {
    case vk_escape:
      if (!proclist::cleared(list)) return false;
      queue(s, procpage::filter_rect(page));
      processes_rebuilt(s);
      return true;
    case vk_up:
    case vk_down: {
      const i64 to = proclist::step_at(list->selected, list->shown, key == vk_down);
      if (to < 0) return true;
      proclist::select_at(list, table, static_cast<u32>(to));
      list->top = static_cast<u32>(proclist::keep_visible(list->top, list->selected, page->visible));
      procpage::hover_update(page, list);
      processes_repaint(s);
      return true;
    }
    case vk_prior:
    case vk_next:
    case vk_home:
    case vk_end: {
      const i64 n = key == vk_prior ? -i64{page->visible}
                    : key == vk_next ? i64{page->visible}
                    : key == vk_home ? -i64{list->top}
                                     : i64{list->shown};
      if (procpage::scroll(page, list, table, &s->surface, n)) present(s);
      return true;
    }
    default:
      return false;
  }
}

void processes_char(AppState* s, u32 c) {
  if (s->model->proc_menu.shown) return;
  proclist::ListState* list = list_of(s);
  const u32 changed = c == vk_back ? proclist::erased(list) : proclist::typed(list, c);
  if (!changed) return;
  queue(s, procpage::filter_rect(&s->model->proc_page));
  processes_rebuilt(s);
}

procmenu::Context processes_context(AppState* s) {
  Model* m = s->model;
  procmenu::Context c{};
  c.list = &m->list;
  c.table = &m->procs;
  c.page = &m->proc_page;
  c.surface = &s->surface;
  c.thread = s->thread;
  c.window = s->window;
  c.test = in_test(*s);
  c.demo = m->source.mode == source::mode_demo;
  c.act = !c.test || !c.demo;
  c.own_pid = os::process_id();
  c.collector_pid = m->source.child.process.process_id;
  c.demo_calls = &m->source.demo.calls;
  c.retake = retake;
  c.owner = s;
  return c;
}

bool processes_right_click(AppState* s, i32 x, i32 y) {
  if (!own_list(*s)) return false;
  Model* m = s->model;
  const draw::Rect before = procmenu::shown_rect(m->proc_menu, &m->proc_page);
  if (!procmenu::right_click(&m->proc_menu, processes_context(s), x, y)) return false;
  menu_changed(s, before);
  return true;
}

bool processes_menu_pointer(AppState* s, i32 x, i32 y, bool down) {
  Model* m = s->model;
  if (!own_list(*s) || !m->proc_menu.shown) return false;
  const draw::Rect before = procmenu::shown_rect(m->proc_menu, &m->proc_page);
  const bool changed = down ? procmenu::pointer_down(&m->proc_menu, processes_context(s), x, y)
                            : procmenu::pointer_move(&m->proc_menu, x, y);
  if (changed) menu_changed(s, before);
  return true;
}

bool processes_menu_key(AppState* s, u32 key, bool shift) {
  if (!own_list(*s)) return false;
  Model* m = s->model;
  const procmenu::Context c = processes_context(s);
  const draw::Rect before = procmenu::shown_rect(m->proc_menu, &m->proc_page);
  bool taken = false;
  if (m->proc_menu.shown) taken = procmenu::key(&m->proc_menu, c, key);
  else if (key == vk_delete) taken = procmenu::key_command(&m->proc_menu, c, true);
  else if (key == vk_apps || (key == vk_f10 && shift)) taken = procmenu::key_command(&m->proc_menu, c, false);
  if (taken) menu_changed(s, before);
  return taken;
}

void processes_test_preset(AppState* s, u32 message, u64 value) {
  procmenu::Menu* menu = &s->model->proc_menu;
  if (message == driver_menu_choice) menu->test_choice = static_cast<i32>(value);
  if (message == driver_menu_flag) menu->test_flag = static_cast<u32>(value);
}

void processes_counters(AppState* s) {
  section::Section& r = s->surface.record;
  if (!r.view || r.size < draw::frame_header) return;
  const procmenu::Menu& menu = s->model->proc_menu;
  const u32 words[4] = {menu.outcomes, menu.packed, menu.last_pid, menu.last_start};
  const u32 offsets[4] = {draw::word_inputs, draw::word_input, draw::word_value1, draw::word_value2};
  for (u32 i = 0; i < 4; ++i)
    __atomic_store_n(reinterpret_cast<u32*>(r.view + offsets[i]), words[i], __ATOMIC_RELAXED);
}

}  // namespace app
