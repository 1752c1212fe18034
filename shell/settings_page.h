#pragma once
// The Settings page in the window: its five sections drawn by width (Updates, Task Manager, Cluster, Internet,
// Background), the release-notes panel under them, and the key's copy and file choice that the cluster buttons
// call (the internet probe's buttons act through the probe's own page code). The cluster settings live in
// pages/clusterui; the clicks on the cluster buttons and the text fields arrive through the shell's field glue.
#include "base/mem.h"
#include "shell/app.h"

namespace app {

void settings_draw(AppState* s);
// The release-notes panel is shown: an update is downloaded or offered, a version failed, or a restart is pending.
bool notes_block_shown(const AppState& s);
// The release notes the update controller holds (flag bit 6 of the update settings): the notes of the offered or
// installed version, under --test the driver's stand-in; empty when there are none.
mem::Bytes release_notes(const AppState& s);
// The Settings content height for the width, with the notes laid out (Part of the page scroll).
i32 settings_content_height(AppState* s);

}  // namespace app

namespace settings {

// The test-mode random source: byte i is 32 + i; always succeeds.
u32 fixed_random(mem::Slice buffer);
// The key text to the clipboard (under --test to clipboard.txt beside the --settings file); the key result becomes
// "copied" or "busy". Nothing without a key.
void copy_key(app::AppState* s);
// The key file chosen by the user (under --test the path in chosen.txt, which is removed after reading; no file
// means cancelled) is imported.
void choose_key_file(app::AppState* s);
// "Can be the host", "Publish when closed" and the start at log-on (slots 74-76, bit i = slot 64 + i): any edit ends,
// the background copy's settings change, and the cluster settings learn whether the copy now publishes.
void background_click(app::AppState* s, u64 mask_b);
// The chosen.txt answer of the test mode: at most 1024 bytes; 0 when there is none.
u32 test_chosen_file(app::AppState* s, u8* out1024);
mem::Bytes server_hint();
mem::Bytes key_hint();
mem::Bytes replace_warning();

}  // namespace settings
