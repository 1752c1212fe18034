#pragma once
// The shell's fixed texts, as the window shows and uses them: class names, title, badges, rail words, the words of
// the update and Task Manager rows, the relaunch options, and the substitutes the test mode uses instead of effects
// on the system. Each returns bytes that live as long as the program (or the caller's text where a part varies).
#include "base/mem.h"
#include "base/words.h"

namespace app {

mem::Bytes class_name();       // "Vimbrel"
mem::Bytes test_class_name();  // "VimbrelTest"
mem::Bytes snap_class_name();  // "VimbrelSnap"
mem::Bytes title_text();       // "Vimbrel", also the product name in page texts
mem::Bytes shipped_version();  // the version the test mode shows when asked for the shipped look
// Status badges of the title strip: 0 demo data, 1 stale, 2 in-process, 3 update ready; empty for others.
mem::Bytes badge_text(u32 kind);
mem::Bytes renderer_text(bool own_renderer);
// Rail and section words: 0 Processes, 1 Machines, 2 Cluster, 3 Settings; empty for others.
mem::Bytes section_title(u32 index);
mem::Bytes support_nav_text();
mem::Bytes internet_nav_text();
// The long form names the one request the automatic check makes: the update server and the feed path of this
// system's builds, written into out.
mem::Bytes update_check_text(words::Text* out);
mem::Bytes update_check_short();
mem::Bytes update_mode_word(bool automatic);
mem::Bytes update_mode_help(bool automatic);
mem::Bytes notes_missing_text();
mem::Bytes save_failed_text();
// Relaunch options: 0 "--gdi", 1 "--view", 2 "--unattended", 3 "--minimized".
mem::Bytes relaunch_option(u32 i);
mem::Bytes old_suffix();  // ".old-1", the replaced program file after an update

// ---- Task Manager replacement. States: 0 off, 1 on, 2 broken, 3 another copy, 4 another program, 5 unknown.
// Last results: 0 none, 2 cancelled at the administrator prompt, 3 not completed, 4 did not start, 5 changed
// meanwhile.
enum : u32 { tm_off = 0, tm_on = 1, tm_broken = 2, tm_other_copy = 3, tm_other_program = 4, tm_unknown = 5 };
enum : u32 { tm_none = 0, tm_cancelled = 2, tm_incomplete = 3, tm_no_start = 4, tm_changed = 5 };

mem::Bytes taskmgr_button_text(u32 state);
// The fixed part of the status sentence; a result of 2, 3 or 5 takes precedence over the state.
mem::Bytes taskmgr_status_text(u32 state, u32 result, bool replaced_another);
mem::Bytes taskmgr_status_short(u32 state, u32 result);
// What follows the fixed part: 1 the registered path (no result, state 2, 3 or 4), 2 the error code in decimal (no
// result, state 5), 0 nothing.
enum : u32 { tail_none = 0, tail_path = 1, tail_error = 2 };
u32 taskmgr_status_tail(u32 state, u32 result);
// The whole sentence, long or short, with its path or error code, into out.
mem::Bytes taskmgr_status(words::Text* out, u32 state, u32 result, bool replaced_another, bool short_form,
                          mem::Bytes path, i32 error);
mem::Bytes taskmgr_original_text(u32 result);
mem::Bytes taskmgr_original_short(u32 result);

// ---- Test-mode substitutes
mem::Bytes restart_file();    // "restart.txt"
mem::Bytes urgent_file();     // "urgent.txt"
mem::Bytes taskmgr_file();    // "taskmgr.txt"
mem::Bytes woken_file();      // "woken.txt"
mem::Bytes clipboard_file();  // "clipboard.txt"
mem::Bytes chosen_file();     // "chosen.txt"
mem::Bytes test_program_path();
mem::Bytes test_windows_folder();
mem::Bytes swap_event_prefix();
// The registered Debugger value the driver writes by kind: 1 a missing copy, 2 another copy, other another program.
mem::Bytes test_debugger_value(u32 kind);
// The release notes that stand in for downloaded ones, into out (words::Text is too small: 1,024 bytes suffice).
mem::Bytes test_release_notes(u8* out1024);

}  // namespace app
