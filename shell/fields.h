#pragma once
// The glue between the pointer and the keyboard and the window's text fields: the cluster target and key on the
// Settings page (their record is the cluster settings controller's) and the Machines page's filter (the page's
// own). Which press starts which edit, how a drag selects, how keys edit, commit or cancel, how the clicks on the
// cluster buttons are routed, and how the Settings page keeps the edited row in view.
#include "base/mem.h"
#include "drawing/draw.h"
#include "shell/app.h"
#include "widgets/textedit.h"

namespace app {

// The edit under way: 0 none, 1 the cluster target, 2 the cluster key, 3 the Machines filter.
enum : u8 { edit_none = 0, edit_target = 1, edit_key = 2, edit_filter = 3 };

struct ActiveField {
  textedit::Field* field;  // null while nothing is edited
  u8 edit;
  bool masked;             // drawn as '*' (the key while it does not look like a path)
};
ActiveField active_field(AppState* s);

// The slot of an edit (65, 66, 82; 0 for none), and the edit a slot starts (0 when the slot is no field).
u32 field_slot(u8 edit);
u8 slot_edit(u32 slot);
// A slot of 64-97 as the rectangle the field draws in (the field narrows it by 8 px on each side itself).
draw::Rect slot_rect_b(const HitMap& map, u32 slot);

// A press with the slots 64-97 under the pointer: true when it was on a field of the shown page (the edit starts,
// the caret or the double-click's word is placed, a single press begins a selection drag).
bool field_click(AppState* s, u64 mask_b, i32 x, bool twice);
// A move with the button down: true while a selection drag goes on (it consumed the move).
bool field_drag(AppState* s, i32 x);
void field_drag_end(AppState* s);
// After every edit: the Machines filter takes the text, the field scrolls to its caret, the page is laid out.
void field_changed(AppState* s);
void commit_machine_field(AppState* s);
// Copy (or cut) the selection; nothing for a masked field or an empty selection.
void field_copy(AppState* s, bool cut);
void field_paste(AppState* s);
// A key press on the Settings page, or on the Machines page while its filter is edited: true when taken.
bool field_key(AppState* s, u32 key, u64 wparam);
// A character while a field is edited on its page: true when taken.
bool field_char(AppState* s, u32 c);
// Ends any edit and a pending key replacement, and lays out again when something ended.
void end_field_edit(AppState* s);
// A press that hit no field ends the Machines filter's edit.
void end_edit_on_click(AppState* s);
// A release anywhere but on "Replace" (slot 69) cancels the pending replacement.
void cancel_confirm_on_click(AppState* s, u64 mask_b);
// The cluster buttons released on (slots 64, 65, 66, 69, 70, 77) on the Settings page.
void settings_click(AppState* s, u64 mask_b);
// The hover of slots 64-97; the page is drawn again when it changed.
void set_hover_b(AppState* s, u64 mask);
// The frame record's bits of the cluster settings: 0x1000 the publish switch is on, 0x2000 a field is edited.
u32 field_status_bits(const AppState& s);

}  // namespace app
