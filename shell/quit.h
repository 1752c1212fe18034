#pragma once
// Closing the window, and the window's side of an update: on each tick it decides whether a downloaded update
// restarts now, hides itself while the updater swaps the program file, and starts the new program with arguments
// that bring the user back to the same view; when a notice appears or the new program does not start, the window
// comes back. The update and Task Manager buttons act here too.
//
// Notices never block the loop: there is no modal box. Outside --test an urgent notice goes to standard error (and
// stays in the updater's state, which the title strip and the Settings page show); under --test it is written to
// urgent.txt beside the --settings file, as every effect on the system is.
#include "base/mem.h"
#include "shell/app.h"

namespace app {

// Relaunch options and their order: "--gdi", "--view" and the view id, "--unattended", "--minimized".
inline constexpr u32 relaunch_most = 64;
// Appends text to the command line in buffer (one space before it unless the buffer is empty): the new length, the
// old one when it would not fit.
u32 append_arg(u8* buffer, u32 length, u32 capacity, mem::Bytes text);
u32 relaunch_args(bool gdi, u32 view, bool unattended, bool minimized, u8* buffer, u32 capacity);
// The view the window shows: 66 Support, 67 Sensors, 34 the power view, 65 Internet, else the selected rail row.
u32 view_id(const AppState& s);

// Seconds without input: on the test clock under --test, else on the monotonic clock (a wall clock set back or
// forth must not start or stop a restart).
u32 idle_seconds(const AppState& s);
// The system is going down: here, the quit event (SIGTERM) was set. No update is staged or relaunched then.
bool shutting_down(const AppState& s);
// Settings are saved outside --test, and under --test only with --settings.
bool settings_in_use(const AppState& s);
// Saves the update settings where they are in use: 0, or 1 when the file could not be written (flag bit 1 of the
// settings then says so too).
u32 save_settings(AppState* s);

void close(AppState* s);
// The quit road; relaunch 1 when the close is for an update restart.
void quit(AppState* s, u32 relaunch);
// The update controller's step of the one-second tick (outside --test; under --test the driver's messages stand for
// it): when its state changed, the banner's dismissal and a restart request that no longer applies are cleared, the
// urgent notice follows the program file, and the window is laid out again.
void update_step(AppState* s);
void check_update_road(AppState* s);
bool stage_update(AppState* s);
bool updater_running(AppState* s);
void wait_updater(AppState* s);
bool relaunch(AppState* s);

// The urgent notice: pending (notices[0]) and shown (notices[1]).
bool notice_pending(const AppState& s);
// The notice's text (the program path and its parked copy) appended to out; its length, 0 when there is none.
u32 notice_text(const AppState& s, updstate::Buf* out);
void show_notice_once(AppState* s);
void final_notice(AppState* s);
void notice_box(AppState* s);

// Restart pending survives only while the status is 1, 3 or 6.
void sync_restart_flag(AppState* s);
// The update buttons: hit bits 40-42 and 55-60 of mask A. True when one of them acted.
bool update_click(AppState* s, u64 bits);

// A file beside another: the path with the part after its last '/' (or '\\') replaced by the name, into out (520
// bytes at most): its length, 0 when the path has no folder part or the result would be longer.
inline constexpr u32 sibling_most = 520;
u32 sibling_path(mem::Bytes path, mem::Bytes name, u8* out);
// The test files beside the --settings file (under --test only): false when there is no such path or the file
// cannot be written.
bool write_test_file(const AppState& s, mem::Bytes name, mem::Bytes text);

}  // namespace app
