#pragma once
// What the Settings and Support pages share in the window: their start, and the files that stand for the system's
// effects under --test (the clipboard, the file dialog), kept beside the --settings file.
#include "base/mem.h"
#include "shell/app.h"

namespace app {

// The start of the pages' controllers: the cluster settings, the background copy and the Support page's data. settings is the
// --settings file under --test (empty otherwise), support the --support file.
void start_pages(AppState* s, mem::Bytes settings, mem::Bytes support);
void stop_pages(AppState* s);
// The 100 ms timer's part: the publisher is stepped; the Settings page is redrawn when its link state changed.
void pages_timer(AppState* s);
// The tick's part: with an open link the inventory and the new sample go out, and every second time the process
// table; the background copy is kept running and its status read while the Settings page shows it.
void pages_tick(AppState* s);

// The path of name beside the --settings file (the part after its last '/' or '\\' replaced): its length, 0 when
// there is no such path.
u32 beside_settings(const AppState& s, mem::Bytes name, u8* out, u32 capacity);
// Writes text there, replacing the file and making the folders: true when written.
bool write_beside_settings(const AppState& s, mem::Bytes name, mem::Bytes text);

}  // namespace app
