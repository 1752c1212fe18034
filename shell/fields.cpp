#include "shell/fields.h"

#include "pages/clusterui.h"
#include "pages/machines.h"
#include "platform/os.h"
#include "widgets/clipboard.h"
#include "shell/loop.h"
#include "shell/machinespage.h"
#include "shell/pages.h"
#include "shell/rules.h"
#include "shell/settings_page.h"
#include "shell/snap.h"
#include "widgets/texts.h"
#include "shell/title.h"
#include "widgets/widgets.h"
#include "update/background.h"

namespace app {
namespace {

constexpr u32 vk_insert = 0x2D;
constexpr u64 cluster_buttons = bit_b(slot_publish) | bit_b(slot_target_field) | bit_b(slot_key_field) |
                                bit_b(slot_generate) | bit_b(slot_copy_key) | bit_b(slot_choose_file);

clusterui::ClusterState* controller(AppState* s) { return &s->model->cluster_ui; }
machines::Page* machines_page(AppState* s) { return &s->model->machines.page; }

bool control_down(const AppState& s, u64 wparam) {
  return key_state(s, wparam, 0x20000, win::vk_control) && !key_state(s, wparam, 0x40000, win::vk_menu);
}

// The page an edit belongs to: the Settings page for the cluster fields, the Machines page for its filter.
u8 page_of_edit(u8 edit) { return edit == edit_filter ? page_machines : page_settings; }

// A press on the Settings page starts the cluster edit of its kind unless that one runs already: false when the
// field cannot get its memory (the edit is then not opened).
bool start_edit(AppState* s, u8 edit) {
  if (edit == edit_filter) {
    machines::Page* p = machines_page(s);
    if (!p->editing) {
      clusterui::end_edit(controller(s));
      p->editing = 1;
      textedit::set_text(&p->field, machines::filter_text(&p->list), 0);
    }
    return true;
  }
  clusterui::ClusterState* c = controller(s);
  if (c->editing == edit && c->edit) return true;
  machines_page(s)->editing = 0;
  return clusterui::field_text(c, edit);
}

// The Settings page scrolls so that the edited row stays in view.
void keep_row_visible(AppState* s, u8 edit) {
  if (s->page != page_settings || (edit != edit_target && edit != edit_key)) return;
  const i32 top = edit == edit_key ? key_row : target_row;
  const i64 wanted = keep_visible_scroll(s->page_scroll, top, top + 32, s->height);
  const i32 scroll = static_cast<i32>(clamp_to(wanted, scroll_range(*s)));
  if (scroll == s->page_scroll) return;
  s->page_scroll = scroll;
  relayout(s);
}

// The Control-letter shortcuts and typed characters of the Machines filter, as the cluster controller takes them
// for its own fields: Backspace (8), Delete (127), select all (1), else a printable character.
void filter_char(textedit::Field* f, u32 c) {
  if (c == 8 || c == 127) {
    textedit::backspace_delete(f, c == 127, false);
  } else if (c == 1) {
    textedit::put_caret(f, 0, false);
    textedit::put_caret(f, f->length, true);
  } else {
    textedit::type_char(f, c);
  }
}

}  // namespace

ActiveField active_field(AppState* s) {
  clusterui::ClusterState* c = controller(s);
  if (c->edit && (c->editing == edit_target || c->editing == edit_key))
    return ActiveField{&c->edit->field, c->editing, clusterui::key_masked(*c)};
  machines::Page* p = machines_page(s);
  if (p->editing) return ActiveField{&p->field, edit_filter, false};
  return ActiveField{nullptr, edit_none, false};
}

u32 field_slot(u8 edit) {
  switch (edit) {
    case edit_target: return slot_target_field;
    case edit_key: return slot_key_field;
    case edit_filter: return slot_filter;
    default: return 0;
  }
}

u8 slot_edit(u32 slot) {
  for (u8 edit = edit_target; edit <= edit_filter; ++edit)
    if (field_slot(edit) == slot) return edit;
  return edit_none;
}

draw::Rect slot_rect_b(const HitMap& map, u32 slot) {
  return slot >= 64 && slot < slot_count ? slot_rect(map, slot) : draw::Rect{};
}

bool field_click(AppState* s, u64 mask_b, i32 x, bool twice) {
  u8 edit = edit_none;
  for (u64 rest = mask_b; rest && !edit; rest &= rest - 1) {
    const u8 e = slot_edit(64 + static_cast<u32>(__builtin_ctzll(rest)));
    if (e && page_of_edit(e) == s->page) edit = e;
  }
  if (!edit) return false;
  if (start_edit(s, edit)) {
    const ActiveField a = active_field(s);
    if (a.field) {
      const draw::Rect box = slot_rect_b(s->map, field_slot(edit));
      const u16 at = textedit::click_at(&s->surface, role_body, *a.field, a.masked, box, x);
      if (twice) {
        textedit::select_word(a.field, at);
        a.field->flags &= static_cast<u8>(~textedit::dragging);
      } else {
        textedit::put_caret(a.field, at, false);
        a.field->flags |= textedit::dragging;
        win::set_capture(s->thread, s->window);
      }
    }
  }
  field_changed(s);
  return true;
}

bool field_drag(AppState* s, i32 x) {
  const ActiveField a = active_field(s);
  if (!a.field || !(a.field->flags & textedit::dragging)) return false;
  if (!has_capture(*s) || !s->message_left) {
    a.field->flags &= static_cast<u8>(~textedit::dragging);
    return false;
  }
  const draw::Rect box = slot_rect_b(s->map, field_slot(a.edit));
  textedit::put_caret(a.field, textedit::click_at(&s->surface, role_body, *a.field, a.masked, box, x), true);
  field_changed(s);
  return true;
}

void field_drag_end(AppState* s) {
  const ActiveField a = active_field(s);
  if (a.field) a.field->flags &= static_cast<u8>(~textedit::dragging);
}

void commit_machine_field(AppState* s) {
  machines::Page* p = machines_page(s);
  textedit::truncate(&p->field, machines::filter_max);
  if (!machines::set_filter(&p->list, p->field.text, p->field.length)) return;
  machines::rebuild_list(p);
  machines_apply(s, machines::act_save);
}

void field_changed(AppState* s) {
  const ActiveField a = active_field(s);
  if (a.edit == edit_filter) commit_machine_field(s);
  if (a.field) {
    const draw::Rect box = slot_rect_b(s->map, field_slot(a.edit));
    textedit::scroll(&s->surface, role_body, a.field, a.masked, box);
  }
  relayout(s);
}

void field_copy(AppState* s, bool cut) {
  const ActiveField a = active_field(s);
  if (!a.field || !textedit::has_selection(*a.field)) return;
  const mem::Bytes text = textedit::copy_from(*a.field);
  bool copied = false;
  if (in_test(*s)) {
    // The driver reads what would have gone to the clipboard; a later paste takes it back from the controller.
    if (a.edit != edit_filter) clusterui::keep_text(controller(s));
    copied = write_beside_settings(*s, clipboard_file(), text);
  } else {
    copied = copy_text(s->thread, s->window, text);
  }
  if (cut && copied) textedit::cut(a.field);
}

void field_paste(AppState* s) {
  const ActiveField a = active_field(s);
  if (!a.field) return;
  clusterui::ClusterState* c = controller(s);
  if (a.edit == edit_filter) {
    if (in_test(*s)) return;  // the driver's typing goes to the cluster fields only
    u8 pasted[paste_most];
    const u32 n = read_clipboard(s->thread, s->window, pasted);
    textedit::insert(a.field, mem::Bytes(pasted, n));
    __builtin_memset(pasted, 0, sizeof pasted);
    return;
  }
  if (!in_test(*s)) c->edit->exchange_length = read_clipboard(s->thread, s->window, c->edit->exchange);
  clusterui::take_paste(c);
}

bool field_key(AppState* s, u32 key, u64 wparam) {
  clusterui::ClusterState* c = controller(s);
  if (key == vk_escape && c->generate_armed) {
    c->generate_armed = 0;
    relayout(s);
    return true;
  }
  const ActiveField a = active_field(s);
  if (!a.field) return false;
  keep_row_visible(s, a.edit);
  if (key == vk_return || key == vk_escape) {
    if (a.edit == edit_filter) {
      machines_page(s)->editing = 0;
    } else if (key == vk_return) {
      clusterui::commit(c, ticks(*s));
      background::wake(&s->model->background);
    } else {
      clusterui::end_edit(c);
    }
    relayout(s);
    return true;
  }
  const bool control = control_down(*s, wparam), shift = shift_down(*s, wparam);
  const u32 kind = textedit::move_kind(textedit::key_kind(key, control), (a.field->flags & textedit::masked) != 0);
  if (kind < textedit::no_move) textedit::move(a.field, kind, shift);
  // Shift+Delete over a selection is a cut even where nothing can be copied: a masked key is then left as it is.
  const bool cut = key == vk_delete && shift && !control && a.field->caret != a.field->anchor;
  if (cut) field_copy(s, true);
  if (key == vk_delete && !cut) textedit::backspace_delete(a.field, true, control);
  if (key == vk_insert && control && !shift) field_copy(s, false);
  if (key == vk_insert && shift && !control) field_paste(s);
  field_changed(s);
  return true;
}

bool field_char(AppState* s, u32 c) {
  const ActiveField a = active_field(s);
  if (!a.field || s->page != page_of_edit(a.edit)) return false;
  keep_row_visible(s, a.edit);
  if (c == 22) {
    field_paste(s);
  } else if (c == 3 || c == 24) {
    field_copy(s, c == 24);
  } else if (a.edit == edit_filter) {
    filter_char(a.field, c);
  } else {
    clusterui::field_key(controller(s), c);
  }
  field_changed(s);
  return true;
}

void end_field_edit(AppState* s) {
  clusterui::ClusterState* c = controller(s);
  machines::Page* p = machines_page(s);
  const bool any = c->edit || c->editing || c->generate_armed || p->editing;
  clusterui::end_edit(c);
  c->generate_armed = 0;
  p->editing = 0;
  if (any) relayout(s);
}

void end_edit_on_click(AppState* s) {
  machines::Page* p = machines_page(s);
  if (!p->editing) return;
  p->editing = 0;
  relayout(s);
}

void cancel_confirm_on_click(AppState* s, u64 mask_b) {
  clusterui::ClusterState* c = controller(s);
  if (!c->generate_armed || (mask_b & bit_b(slot_generate))) return;
  c->generate_armed = 0;
  relayout(s);
}

void settings_click(AppState* s, u64 mask_b) {
  const u64 bits = mask_b & cluster_buttons;
  if (s->page != page_settings || !bits) return;
  clusterui::ClusterState* c = controller(s);
  clusterui::end_edit(c);
  const u64 now = ticks(*s);
  if (bits & bit_b(slot_publish)) clusterui::toggle_publish(c, os::random_bytes, now);
  if (bits & bit_b(slot_generate))
    clusterui::generate_key(c, in_test(*s) ? settings::fixed_random : os::random_bytes, now);
  if (bits & bit_b(slot_copy_key)) settings::copy_key(s);
  if (bits & bit_b(slot_choose_file)) settings::choose_key_file(s);
  background::wake(&s->model->background);
  relayout(s);
}

void set_hover_b(AppState* s, u64 mask) {
  if (mask == s->map.hover_b) return;
  s->map.hover_b = mask;
  redraw_all(s);
}

u32 field_status_bits(const AppState& s) {
  const clusterui::ClusterState& c = s.model->cluster_ui;
  u32 bits = c.publish.publish ? 0x1000u : 0u;
  if (c.editing != clusterui::edit_none || s.model->machines.page.editing) bits |= 0x2000u;
  return bits;
}

}  // namespace app
