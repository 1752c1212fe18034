#pragma once
// The Machines page in the window: the shell's side of it. The page itself (pages/machines) works on the facts the
// shell hands it and answers what the shell must do next; these functions build those facts from the window's
// state, route the rail entry, the page's clicks, keys, characters, timer, test messages and drawing to it, and
// carry out its answers (lay out, save the list settings, switch pages, reset the views for another machine).
#include "base/mem.h"
#include "pages/machines.h"
#include "shell/app.h"
#include "widgets/hitmap.h"

namespace app {

// At start: the page initialised, its file paths made (under --test beside the settings file) and the list
// settings read.
void machines_start(AppState* s, mem::Bytes settings);
machines::Env machines_env(AppState* s);
void machines_apply(AppState* s, u32 acts);
void machines_open(AppState* s);
// Clicks of slots 64-97 at (x, y) that belong to the page (the rail entry, its controls, and any click that may end
// a confirmation).
void machines_click(AppState* s, u64 bits_b, i32 x, i32 y);
bool machines_key(AppState* s, u32 key);
void machines_char(AppState* s, u32 c);
void machines_timer(AppState* s);
// --test driver messages 0x801F (demo machines) and 0x8029 (update rows).
void machines_driver(AppState* s, u32 message, u64 wparam);
// The tick's test feed of a shown demo machine.
void machines_tick(AppState* s);
// Leaving for another page: the link closes unless a remote machine is shown and the target keeps it.
void machines_leave(AppState* s, u8 to_page);
void machines_close(AppState* s);
void machines_render(AppState* s);
void machines_facts(const AppState& s, Facts* f);
mem::Bytes machines_remote_name(const AppState& s);

}  // namespace app
