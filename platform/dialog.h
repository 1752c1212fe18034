#pragma once
// The system's own popup menu and message boxes, where the system has them (Windows): each is modal to the window
// that owns it and answers when the user has chosen. Elsewhere none is shown (native() is false) and the caller
// draws its own in the window.
#include "base/mem.h"

namespace dialog {

// True when menu and box show the system's own.
bool native();

// One item of a popup menu: an empty label is a separator.
struct Item {
  mem::Bytes label;  // UTF-8
  bool greyed;
  u32 id;  // answered when the item is chosen; not 0
};
// Shows the menu at (x, y) in the owner's client px, with the right button also choosing; the chosen item's id, 0
// when none was chosen or no menu could be shown.
u32 menu(u64 owner, i32 x, i32 y, const Item* items, u32 count);

// Boxes: the question before an action (OK and Cancel, Cancel the default, a warning mark), an error (OK, an error
// mark), a warning (OK, a warning mark).
enum : u32 { box_question = 1, box_error = 2, box_warning = 3 };
enum : u32 { answer_none = 0, answer_ok = 1, answer_cancel = 2 };
// The system's style flags of each kind: 0x131, 0x10, 0x30.
u32 box_flags(u32 kind);
// Shows the text (UTF-8, at most text_most bytes are shown) under the caption, owned by the window (0: none); the
// answer, answer_none when no box could be shown.
inline constexpr u32 text_most = 4096;
u32 box(u64 owner, mem::Bytes caption, mem::Bytes text, u32 kind);

}  // namespace dialog
