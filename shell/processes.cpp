#include "shell/processes.h"

#include "shell/loop.h"
#include "shell/title.h"

namespace app {

namespace {

bool on_page(const AppState& s) { return s.page == page_processes; }

void queue(AppState* s, draw::Rect r) {
  draw::redo(&s->surface, r);
  draw::show(&s->surface, r);
}

void present(AppState* s) {
  if (s->window) invalidate_shown(s->thread, s->window, &s->surface);
}

}  // namespace

void processes_layout(AppState* s) {
  Model* m = s->model;
  procpage::layout(&m->proc_page, s->width, s->height);
  procpage::clamp_scroll(&m->proc_page, &m->list);
}

void processes_rects(const AppState& s, Facts* f) {
  const procpage::PageLayout* page = &s.model->proc_page;
  const bool on = on_page(s) && !remote_shown(s);
  for (u32 c = 0; c < proclist::columns; ++c) procpage::header_rect(page, c, on, &f->headers[c]);
  procpage::table_rect(page, on, &f->table);
}

void processes_draw(AppState* s) {
  Model* m = s->model;
  const u32 hover = static_cast<u32>((s->map.hover_a >> slot_header0) & 0x1FF);
  procpage::render(&m->proc_page, &m->list, &m->procs, &s->surface, hover);
}

void processes_repaint(AppState* s) {
  if (!on_page(*s)) return;
  Model* m = s->model;
  procpage::repaint_rows(&m->proc_page, &m->list, &m->procs, &s->surface);
  present(s);
}

void processes_rebuilt(AppState* s) {
  Model* m = s->model;
  proclist::rebuild(&m->list, &m->procs);
  procpage::clamp_scroll(&m->proc_page, &m->list);
  processes_repaint(s);
}

void processes_click(AppState* s, i32 y) {
  Model* m = s->model;
  const u32 p = procpage::row_at_y(&m->proc_page, &m->list, y);
  if (p == procpage::none) return;
  proclist::select_at(&m->list, &m->procs, p);
  processes_repaint(s);
}

void processes_sort(AppState* s, u32 column) {
  proclist::sort_by(&s->model->list, column);
  processes_rebuilt(s);
}

void processes_pointer(AppState* s, i32 x, i32 y, bool inside) {
  if (!on_page(*s)) return;
  Model* m = s->model;
  if (procpage::hover_row(&m->proc_page, &m->list, &m->procs, &s->surface, x, y, inside)) present(s);
}

void processes_wheel(AppState* s, i32 delta) {
  Model* m = s->model;
  const i64 rows = proclist::wheel_take(&m->list, delta);
  if (rows && procpage::scroll(&m->proc_page, &m->list, &m->procs, &s->surface, rows)) present(s);
}

bool processes_key(AppState* s, u32 key) {
  Model* m = s->model;
  proclist::ListState* list = &m->list;
  procpage::PageLayout* page = &m->proc_page;
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
      proclist::select_at(list, &m->procs, static_cast<u32>(to));
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
      if (procpage::scroll(page, list, &m->procs, &s->surface, n)) present(s);
      return true;
    }
    default:
      return false;
  }
}

void processes_char(AppState* s, u32 c) {
  proclist::ListState* list = &s->model->list;
  const u32 changed = c == vk_back ? proclist::erased(list) : proclist::typed(list, c);
  if (!changed) return;
  queue(s, procpage::filter_rect(&s->model->proc_page));
  processes_rebuilt(s);
}

}  // namespace app
