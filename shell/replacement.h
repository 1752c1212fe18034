#pragma once
// The window's side of the Task Manager replacement: the Settings page's row reads the replacement's state, its
// buttons ask for a change (run elevated, or under --test applied to the test key in this process) and start the
// system's own Task Manager.
#include "shell/app.h"

namespace app {

// Whether the window reads and changes the replacement: always outside --test, under --test only with --taskmgr.
bool taskmgr_in_use(const AppState& s);
// Whether this system has no Task Manager at all: outside --test, a replacement value that cannot be read.
bool taskmgr_absent(const AppState& s);
// Reads the values again into the model's record (the last result and the driver's one-shot result stay).
void taskmgr_refresh(AppState* s);
// Runs the change of the mode: 1 done, 2 cancelled, 3 failed, 5 refused (another program's value appeared).
u32 taskmgr_change(AppState* s, u32 mode);
// The replacement button (turn_off false) or "Remove" (true): the change that fits the state, its result kept.
void taskmgr_click(AppState* s, bool turn_off);
// "Open": starts the system's Task Manager (under --test its command line goes to taskmgr.txt); result 4 when it
// did not start.
void taskmgr_open(AppState* s);
// The row's buttons among the released hit bits of mask A (slots 61-63): true when one of them acted.
bool taskmgr_buttons(AppState* s, u64 bits);

}  // namespace app
