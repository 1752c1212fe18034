#include "pages/procmenu.h"

#include "drawing/chart.h"
#include "platform/dialog.h"
#include "platform/os.h"
#include "platform/procact.h"
#include "sampling/demo.h"
#include "widgets/clipboard.h"

namespace procmenu {

namespace {

constexpr u32 test_own_pid = 1800;
constexpr u32 colour_fill = 0x302620, colour_frame = 0x584C44, colour_hover = 0x373737, colour_text = 0xE8E8E8,
              colour_grey = 0x707070, colour_line = 0x444444, colour_accent = 0x805A26;
constexpr u32 role_body = 0, role_small = 3;

mem::Bytes name_of(const Target& t) { return mem::Bytes(t.name, t.name_length); }

// The system's own menu and boxes are taken where the system has them and a window can own them.
bool system_ui(const Context& c) { return dialog::native() && c.window != 0; }

// The caption of the system's boxes: the product name.
mem::Bytes caption() { return mem::lit("Vimbrel"); }

// The system's own box, modal to the window; the re-entry guard holds while it is open.
u32 system_box(Menu* m, const Context& c, mem::Bytes text, u32 kind) {
  m->running = 1;
  const u32 answer = dialog::box(c.window, caption(), text, kind);
  m->running = 0;
  return answer;
}

// The system's popup menu at the point (logical px): the two path items, a separator and End process, each greyed
// with its reason in parentheses when it cannot work. The item chosen, 0 for none.
u32 system_menu(Menu* m, const Context& c, i32 x, i32 y) {
  u8 labels[3][proclist::label_most];
  dialog::Item items[4];
  u32 n = 0;
  for (u32 item = proclist::item_location; item <= proclist::item_end; ++item) {
    if (item == proclist::item_end) items[n++] = dialog::Item{mem::Bytes(), false, 0};
    const u32 why = proclist::why_of(item, m->facts);
    const u32 length = proclist::item_label(item, why, labels[item - 1]);
    items[n++] = dialog::Item{mem::Bytes(labels[item - 1], length), why != 0, item};
  }
  const u32 dpi = c.surface ? c.surface->dpi : 96;
  m->running = 1;
  const u32 chosen = dialog::menu(c.window, draw::to_px(x, dpi), draw::to_px(y, dpi), items, n);
  m->running = 0;
  return chosen;
}

// This program: under the test mode also the demo table's row that stands for it.
bool own_check(const Context& c, u32 pid) {
  return (c.test && pid == test_own_pid) || (!c.demo && proclist::own(pid, c.own_pid, c.collector_pid));
}

void wipe(void* p, u64 n) {
  volatile u8* b = static_cast<volatile u8*>(p);
  for (u64 i = 0; i < n; ++i) b[i] = 0;
}

void record(Menu* m, const Context& c, u32 item, u32 result) {
  if (!c.test) return;
  m->outcomes += 1;
  m->packed = (item & 0xF) | (proclist::why_end(m->facts) & 0xF) << 4 | (result & 0xF) << 8 |
              (proclist::why_path(m->facts) & 0xF) << 12 | (proclist::facts_mask(m->facts) & 0xFF) << 16 |
              u32{m->warning} << 24;
  m->last_pid = m->target.pid;
  m->last_start = m->target.start;
}

// Words of the text that fit the box, line by line.
void wrap(Menu* m, const Context& c) {
  const i32 room = box_width - 32;
  u32 start = 0, lines = 0;
  while (start < m->text_length && lines < box_lines) {
    u32 end = start, fit = start;
    while (end < m->text_length) {
      u32 next = end + 1;
      while (next < m->text_length && m->text[next] != ' ') ++next;
      if (fit != start && chart::measure(c.surface, role_small, mem::Bytes(m->text + start, next - start)) > room)
        break;
      fit = next;
      end = next;
    }
    m->line_ends[lines++] = static_cast<u16>(fit);
    start = fit;
    while (start < m->text_length && m->text[start] == ' ') ++start;
  }
  m->lines = static_cast<u8>(lines);
}

void set_text(Menu* m, const Context& c, mem::Bytes text) {
  const u64 n = text.len < proclist::message_most ? text.len : proclist::message_most;
  __builtin_memcpy(m->text, text.ptr, n);
  m->text_length = static_cast<u16>(n);
  if (c.surface) wrap(m, c);
}

void close_box(Menu* m) {
  m->shown = shown_none;
  m->running = 0;
  m->hovered = 0;
}

// The carried-out action: open location, copy path or end.
u32 act(const Context& c, const Target& t, u32 item) {
  if (item == proclist::item_end) return procact::end_process(t.pid, t.start);
  if (item == proclist::item_location) return procact::open_location(t.pid, t.start, !c.test, proclist::select_line);
  u8 path[procact::path_most];
  u32 length = 0;
  u32 code = procact::path_of(t.pid, t.start, path, sizeof path, &length);
  if (code == 0) {
    static_assert(procact::path_most <= 4096);
    u16 units[2048];
    const u32 n = os::utf8_to_wide(mem::Bytes(path, length), units, 2048);
    code = n == 0 && length ? u32{proclist::result_path_long}
                            : clipboard::copy(c.thread, c.window, units, n);
    clipboard::wipe_free(units, 2048);
  }
  wipe(path, sizeof path);
  return code;
}

// After the confirmation (or without one): the identity again, then the action, then its outcome.
void carry_out(Menu* m, const Context& c, u32 item) {
  u32 code = identity(c, m->target);
  if (code == 0) code = c.act ? act(c, m->target, item) : u32{proclist::result_done};
  u32 reason = 0;
  if (code == proclist::result_denied) reason = proclist::why_of(item, assess(c, m->target));
  show_result(m, c, code, reason);
  record(m, c, item, code);
}

void run_action(Menu* m, const Context& c, u32 item) {
  const u32 code = identity(c, m->target);
  if (code) {
    show_result(m, c, code, 0);
    record(m, c, item, code);
    return;
  }
  if (item == proclist::item_end) {
    u8 question[proclist::message_most];
    const u32 n = proclist::confirm_text(name_of(m->target), m->target.pid, m->warning, question);
    set_text(m, c, mem::Bytes(question, n));
    if (c.test) {
      confirmed(m, c, (m->test_flag & flag_confirm_ok) != 0);
    } else if (system_ui(c)) {
      confirmed(m, c, system_box(m, c, mem::Bytes(question, n), dialog::box_question) == dialog::answer_ok);
    } else {
      m->shown = shown_confirm;
      m->hovered = 1;  // Cancel is the default answer
      m->running = 1;
    }
    return;  // the outcome follows the answer
  }
  carry_out(m, c, item);
}

void open_menu(Menu* m, const Context& c, i32 x, i32 y) {
  m->target = selected_name(c.list, c.table);
  if (!m->target.valid) return;
  m->facts = assess(c, m->target);
  m->warning = 0;
  if (c.test) {
    for (u32 i = 0; i < (m->test_flag & flag_tables); ++i)
      if (c.retake) c.retake(c.owner);
    const u32 item = m->test_choice > 0 ? static_cast<u32>(m->test_choice) : 0;
    choose(m, c, item);
    return;
  }
  if (system_ui(c)) {
    choose(m, c, system_menu(m, c, x, y));
    return;
  }
  // The menu opens at the point, moved back inside the window when it would run past its right or bottom edge.
  const i32 h = 8 + 3 * item_height + separator_height;
  m->x = x + menu_width > c.page->width ? x - menu_width : x;
  m->y = y + h > c.page->height ? y - h : y;
  if (m->x < 0) m->x = 0;
  if (m->y < 0) m->y = 0;
  m->shown = shown_menu;
  m->hovered = 0;
  m->running = 1;
}

}  // namespace

void init(Menu* m) { __builtin_memset(static_cast<void*>(m), 0, sizeof *m); }

Target selected_name(const proclist::ListState* list, const model::ProcTable* table) {
  Target t{};
  const u32 row = list->selected_handle == proclist::no_handle ? model::no_row
                                                                : model::proc_row(table, list->selected_handle);
  if (row == model::no_row || row >= table->count) return t;
  t.valid = 1;
  t.pid = table->pid[row];
  t.start = table->start_key[row];
  t.name_length = static_cast<u16>(model::proc_full_name(table, row, mem::Slice{t.name, sizeof t.name}));
  return t;
}

u32 demo_facts(const Context& c, const Target& t) {
  u32 facts = 0;
  if (!c.test) return facts;
  if (identity(c, t) != 0 && identity(c, t) != proclist::result_idle) facts |= proclist::fact_ended;
  if (demo::is_critical(t.pid)) facts |= proclist::fact_query_denied;
  if (t.pid == 4) facts |= proclist::fact_path_failed;
  const u32 flags = demo::proc_flags(t.pid);
  if (flags & 1) facts |= proclist::fact_protected;
  if (flags & 2) facts |= proclist::fact_exiting;
  if (flags & 4) facts |= proclist::fact_end_denied;
  if (flags & 16) facts |= proclist::fact_path_long;
  if (flags & 8) facts |= proclist::fact_elevated;
  return facts;
}

u32 assess(const Context& c, const Target& t) {
  u32 facts = 0;
  if (c.test && c.demo) {
    facts = demo_facts(c, t);
  } else if (!c.demo && t.pid != 0) {
    facts = procact::assess(t.pid, t.start);
  } else if (c.demo) {
    facts = proclist::fact_demo;
  }
  if (t.pid == 0) facts |= proclist::fact_idle;
  if (proclist::critical(t.pid, name_of(t))) facts |= proclist::fact_system;
  if (own_check(c, t.pid)) facts |= proclist::fact_own;
  return facts;
}

u32 identity(const Context& c, const Target& t) {
  if (t.pid == 0) return proclist::result_idle;
  if (c.test && c.demo) {
    // The demo world one step on from the newest table: a row it no longer has ended, one with another start key
    // stands for a reused id.
    const u32 value = demo::proc_value(c.demo_calls ? *c.demo_calls : 0, t.pid);
    return proclist::refusal(false, value != 0xFFFFFFFFu, value == t.start);
  }
  if (c.demo) return proclist::result_demo;
  return procact::check_alive(t.pid, t.start);
}

bool still_selected(const Context& c, const Target& t) {
  const Target now = selected_name(c.list, c.table);
  return proclist::same_target(now.valid != 0, t.pid, t.start, now.pid, now.start);
}

void choose(Menu* m, const Context& c, u32 item) {
  const u32 kept = proclist::chosen(proclist::facts_mask(m->facts), item);
  if (!kept) {
    record(m, c, item, item ? u32{proclist::result_refused_item} : u32{proclist::result_none});
    close_box(m);
    return;
  }
  if (!still_selected(c, m->target)) {
    show_result(m, c, proclist::result_changed, 0);
    record(m, c, item, proclist::result_changed);
    return;
  }
  m->item = item;
  m->warning = item == proclist::item_end &&
               (proclist::critical(m->target.pid, name_of(m->target)) ||
                (!c.demo && procact::is_critical(m->target.pid)));
  run_action(m, c, item);
}

void confirmed(Menu* m, const Context& c, bool ok) {
  close_box(m);
  if (!ok) {
    record(m, c, m->item, proclist::result_cancelled);
    return;
  }
  carry_out(m, c, m->item);
}

void show_result(Menu* m, const Context& c, u32 code, u32 reason) {
  if (!proclist::shows_message(code) || c.test) {
    close_box(m);
    return;
  }
  if (system_ui(c)) {
    close_box(m);
    system_box(m, c, proclist::result_message(code, reason), dialog::box_error);
    return;
  }
  set_text(m, c, proclist::result_message(code, reason));
  m->shown = shown_result;
  m->hovered = 1;
  m->running = 1;
}

void end_by_key(Menu* m, const Context& c) {
  m->target = selected_name(c.list, c.table);
  if (!m->target.valid) return;
  m->facts = assess(c, m->target);
  m->warning = 0;
  if (proclist::facts_mask(m->facts) & proclist::item_bit(proclist::item_end)) {
    choose(m, c, proclist::item_end);
    return;
  }
  const u32 reason = proclist::why_end(m->facts);
  const u32 code = proclist::unavailable(identity(c, m->target), (m->facts & proclist::fact_own) != 0, reason);
  show_result(m, c, code, reason);
  record(m, c, proclist::item_end, code);
}

void open_at(Menu* m, const Context& c, i32 x, i32 y) {
  if (m->running) return;
  open_menu(m, c, x, y);
}

// ---- Input

bool right_click(Menu* m, const Context& c, i32 x, i32 y) {
  if (m->running) return true;
  const u32 p = procpage::row_at_y(c.page, c.list, y);
  if (p == procpage::none) return false;
  proclist::select_at(c.list, c.table, p);
  open_at(m, c, x, y);
  return true;
}

bool menu_key(Menu* m, const Context& c) {
  if (m->running || c.list->selected == proclist::none) return false;
  draw::Rect r{};
  if (!procpage::row_rect(c.page, c.list, c.list->selected, &r)) return false;
  open_at(m, c, r.left, r.bottom);
  return true;
}

bool key_command(Menu* m, const Context& c, bool is_delete) {
  if (m->running) return true;
  if (!is_delete) return menu_key(m, c);
  if (c.list->filter_length) return false;
  end_by_key(m, c);
  return true;
}

draw::Rect item_rect(const Menu& m, u32 item) {
  const i32 top = m.y + 4 + (item - 1) * item_height + (item == 3 ? separator_height : 0);
  return draw::Rect{m.x, top, m.x + menu_width, top + item_height};
}

draw::Rect shown_rect(const Menu& m, const procpage::PageLayout* page) {
  if (m.shown == shown_menu)
    return draw::Rect{m.x, m.y, m.x + menu_width, m.y + 8 + 3 * item_height + separator_height};
  if (m.shown == shown_none) return draw::Rect{};
  const i32 left = page->left + ((page->right - page->left) - box_width) / 2;
  const i32 h = 40 + line_height * (m.lines ? m.lines : 1) + 16 + 28 + 16;
  return draw::Rect{left, procpage::rows_top + 24, left + box_width, procpage::rows_top + 24 + h};
}

draw::Rect button_rect(const Menu& m, const procpage::PageLayout* page, u32 button) {
  const draw::Rect b = shown_rect(m, page);
  const i32 right = b.right - 16 - (button == 2 ? 96 + 8 : 0);
  return draw::Rect{right - 96, b.bottom - 16 - 28, right, b.bottom - 16};
}

namespace {

bool inside(draw::Rect r, i32 x, i32 y) { return x >= r.left && x < r.right && y >= r.top && y < r.bottom; }

// Items 1..3 that can be chosen.
bool item_on(const Menu& m, u32 item) { return proclist::chosen(proclist::facts_mask(m.facts), item) != 0; }

}  // namespace

bool pointer_down(Menu* m, const Context& c, i32 x, i32 y) {
  if (!m->shown) return false;
  if (m->shown == shown_menu) {
    for (u32 item = 1; item <= 3; ++item) {
      if (!inside(item_rect(*m, item), x, y)) continue;
      if (!item_on(*m, item)) return true;  // a greyed item does nothing; the menu stays
      close_box(m);
      choose(m, c, item);
      return true;
    }
    if (!inside(shown_rect(*m, c.page), x, y)) close_box(m);  // a press elsewhere dismisses the menu
    return true;
  }
  if (m->shown == shown_confirm) {
    if (inside(button_rect(*m, c.page, 2), x, y)) confirmed(m, c, true);
    else if (inside(button_rect(*m, c.page, 1), x, y)) confirmed(m, c, false);
    return true;
  }
  if (inside(button_rect(*m, c.page, 1), x, y)) close_box(m);
  return true;
}

bool pointer_move(Menu* m, i32 x, i32 y) {
  if (m->shown != shown_menu) return false;
  u8 now = 0;
  for (u32 item = 1; item <= 3; ++item)
    if (inside(item_rect(*m, item), x, y) && item_on(*m, item)) now = static_cast<u8>(item);
  if (now == m->hovered) return false;
  m->hovered = now;
  return true;
}

bool key(Menu* m, const Context& c, u32 virtual_key) {
  if (!m->shown) return false;
  constexpr u32 vk_return = 0x0D, vk_escape = 0x1B, vk_left = 0x25, vk_up = 0x26, vk_right = 0x27, vk_down = 0x28;
  if (virtual_key == vk_escape) {
    if (m->shown == shown_confirm) confirmed(m, c, false);
    else close_box(m);
    return true;
  }
  if (m->shown == shown_menu && (virtual_key == vk_up || virtual_key == vk_down)) {
    for (u32 step = 1; step <= 3; ++step) {
      const u32 base = m->hovered ? m->hovered : (virtual_key == vk_down ? 3 : 1);
      const u32 item = virtual_key == vk_down ? (base + step - 1) % 3 + 1 : (base + 3 - step - 1) % 3 + 1;
      if (item_on(*m, item)) {
        m->hovered = static_cast<u8>(item);
        break;
      }
    }
    return true;
  }
  if (m->shown == shown_confirm && (virtual_key == vk_left || virtual_key == vk_right)) {
    m->hovered = m->hovered == 2 ? 1 : 2;
    return true;
  }
  if (virtual_key == vk_return) {
    if (m->shown == shown_menu) {
      const u32 item = m->hovered;
      if (!item) return true;
      close_box(m);
      choose(m, c, item);
    } else if (m->shown == shown_confirm) {
      confirmed(m, c, m->hovered == 2);
    } else {
      close_box(m);
    }
  }
  return true;  // the page takes no keys while a box is open
}

// ---- Drawing

void draw(const Menu& m, const Context& c, draw::Surface* s) {
  if (!m.shown) return;
  const draw::Rect b = shown_rect(m, c.page);
  draw::fill(s, b, colour_fill);
  chart::frame(s, b.left, b.top, b.right - b.left, b.bottom - b.top, colour_frame);
  if (m.shown == shown_menu) {
    for (u32 item = 1; item <= 3; ++item) {
      const draw::Rect r = item_rect(m, item);
      const bool on = item_on(m, item);
      if (on && m.hovered == item) draw::fill(s, draw::Rect{r.left + 1, r.top, r.right - 1, r.bottom}, colour_hover);
      u8 label[proclist::label_most];
      const u32 n = proclist::item_label(item, on ? 0 : proclist::why_of(item, m.facts), label);
      chart::text(s, role_small, mem::Bytes(label, n), r.left + 12, r.top, menu_width - 24, item_height,
                  on ? colour_text : colour_grey, 0);
    }
    const i32 line = item_rect(m, 2).bottom + separator_height / 2;
    draw::fill(s, draw::Rect{b.left + 8, line, b.right - 8, line + 1}, colour_line);
    return;
  }
  // The box's caption is the product's name, as a message box of the system would show it.
  chart::text(s, role_body, mem::lit("Vimbrel"), b.left + 16, b.top + 10, box_width - 32, 22, colour_text, 0);
  u32 start = 0;
  for (u32 i = 0; i < m.lines; ++i) {
    const u32 end = m.line_ends[i];
    chart::text(s, role_small, mem::Bytes(m.text + start, end - start), b.left + 16,
                b.top + 40 + line_height * static_cast<i32>(i), box_width - 32, line_height, colour_text, 0);
    start = end;
    while (start < m.text_length && m.text[start] == ' ') ++start;
  }
  const u32 buttons = m.shown == shown_confirm ? 2 : 1;
  for (u32 button = 1; button <= buttons; ++button) {
    const draw::Rect r = button_rect(m, c.page, button);
    const bool chosen_one = m.hovered == button;
    draw::fill(s, r, chosen_one ? colour_accent : colour_hover);
    chart::frame(s, r.left, r.top, r.right - r.left, r.bottom - r.top, colour_line);
    const mem::Bytes label = buttons == 1 || button == 2 ? mem::lit("OK") : mem::lit("Cancel");
    chart::text(s, role_body, label, r.left, r.top, r.right - r.left, r.bottom - r.top, colour_text, 2);
  }
}

}  // namespace procmenu
