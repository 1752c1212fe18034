#pragma once
// The Processes page in the window: its layout beside the hit map, its drawing on paint, and the input that reaches
// it (clicks on the table and the headers, the pointer, the wheel, keys and typed characters). Everything that
// changes the list goes through the page's incremental repaint, so only what changed is drawn again.
//
// While the Machines page shows a remote machine the page lists that machine's processes from its copy (sorted,
// filtered, selected and hovered the same way); the context menu and the Delete key stay with this computer's list.
#include "shell/app.h"

namespace app {

// The page's layout for the client size; the header and table rectangles go into the hit map's facts.
void processes_layout(AppState* s);
void processes_rects(const AppState& s, Facts* f);
void processes_draw(AppState* s);
// Repaints what the list's state changed and presents it.
void processes_repaint(AppState* s);
// The list was rebuilt (new table, sort, filter, measuring): scroll clamped, then repainted.
void processes_rebuilt(AppState* s);
// A new sample or process frame of the remote machine shown: the rail's changed parts and the changed rows.
void processes_remote_frame(AppState* s);
void processes_click(AppState* s, i32 y);
void processes_sort(AppState* s, u32 column);
void processes_pointer(AppState* s, i32 x, i32 y, bool inside);
void processes_wheel(AppState* s, i32 delta);
// Keys of the page: true when the key was taken.
bool processes_key(AppState* s, u32 key);
// A typed character or Backspace for the filter.
void processes_char(AppState* s, u32 c);

// The context menu and its boxes: what the flow needs of the window, and the input that reaches them. Each input
// function returns true when the menu or a box took it.
procmenu::Context processes_context(AppState* s);
bool processes_right_click(AppState* s, i32 x, i32 y);
bool processes_menu_pointer(AppState* s, i32 x, i32 y, bool down);
bool processes_menu_key(AppState* s, u32 key, bool shift);
// The driver's presets and the frame record's words of the menu's outcomes (test mode).
void processes_test_preset(AppState* s, u32 message, u64 value);
void processes_counters(AppState* s);

}  // namespace app
