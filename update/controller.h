#pragma once
// The desktop window's side of self-update. It never blocks: every network or file-replacing step runs in a child
// of the program (the worker `--vimb-update check|fetch|swap`, or the release-notes child `--update-notes`); the
// window's one-second tick polls them. The update state lives in updstate::Settings and is saved after every change.
// Checks run once a day when they are on; an automatic setting downloads at once, the ask setting offers the update;
// the install happens as the window closes, after which the new version is started and put back when it does not
// come up. A program file that went missing during an install is put back when it can be, and the user is told how
// to recover when it cannot (one line in update.log for each new state of that).
#include "platform/proc.h"
#include "update/update.h"
#include "update/updstate.h"

namespace update {

inline constexpr u32 controller_path_max = 520;
inline constexpr u32 notes_capacity = 16384;
inline constexpr u32 notes_file_max = 16448;

struct NotesChild {
  proc::PipedChild child;  // what it says (its failure) goes into update.log, not the window's standard error
  u8 running;    // started and not yet taken
  u8 abandoned;  // let go while it still ran: its file is not read, and no second child starts before it ends
  u8 wanted;     // start one as soon as the abandoned one has ended
};

struct Controller {
  Config config;
  TestSeams seams;  // the configuration's texts that a test build takes from its environment
  Result result;  // the last worker run's result
  Worker worker;
  updstate::Settings settings;
  u8 program[controller_path_max];  // the program's path; empty means the running executable
  u32 program_length;
  u8 settings_path[controller_path_max];  // empty means no settings file
  u32 settings_length;
  NotesChild notes_child;
  u8 notes[notes_capacity];
  u32 notes_length;
  // The program file that went missing: whether it is missing now, the parked copy's suffix, and the step and code
  // of the last failure for the window's text.
  u8 missing;
  u8 suffix[16];
  u8 suffix_length;
  u8 failure_step;
  u16 failure_code;
  u8 logged[2];  // the status and reason of the last line written to update.log
};

// The window's start: the program's configuration for its version text and the settings file under APPDATA.
void load_for_gui(Controller* c, mem::Bytes version_text, u32 now);
// Start-up with a given configuration, program path (empty: the running executable) and settings path (empty: none).
void init_controller(Controller* c, const Config* config, mem::Bytes program, mem::Bytes settings_path, u32 now);
// One step of the window's tick; true when the update state changed.
bool tick(Controller* c, u32 now);
bool check_due(const updstate::Settings* s, bool worker_running, u32 now);

void start_check(Controller* c, u32 now);
// The banner's update action: a download unless a worker runs; whether a worker runs afterwards.
bool start_fetch(Controller* c, u32 now);
// The install as the window closes: only after a download that was verified, and while no worker runs.
bool start_swap(Controller* c, u32 now);
void run_worker(Controller* c, u32 mode, u32 now);
// Polls the worker: true while it runs; when it has ended its result is applied.
bool poll(Controller* c, u32 now);
void apply_result(Controller* c, u32 now);
// Starts the installed program with the relaunch arguments and waits up to the time-out for its window. A start
// that does not come up puts the previous program back and marks the version failed. True for a good start.
bool start_new_program(Controller* c, mem::Bytes arguments, u32 timeout_ms);
void recover_program(Controller* c);

void skip_version(Controller* c, bool save);
void clear_skips(Controller* c, bool save);
void mark_failed_version(Controller* c, bool save);
void save_settings(Controller* c);
void read_settings(Controller* c);
// Non-zero while the worker runs, the notes child runs, or a notes child is abandoned or wanted.
u32 activity(const Controller* c);
// The window's text for a program file that has gone (empty when it has not).
void failure_text(const Controller* c, updstate::Buf* out);
u32 now_seconds();

// Release notes on the window's side.
void start_notes(Controller* c);
void read_notes(Controller* c);

// The file next to the settings file: the folder of the settings path (up to its last '/' or '\') and the name;
// the length, 0 when there is no settings path or the result would not fit the 520 bytes.
u32 sibling_path(mem::Bytes settings_path, mem::Bytes name, u8* out520);

// The `--update-notes` child: the notes of the saved manifest ("<exe>.latest") fetched into notes.txt next to the
// settings file. 0 written; 1 no readable manifest; 2 no notes line; 3 the notes URL is of another origin than the
// feed; 4 the download failed or was not 200; 5 notes.txt could not be written.
u32 fetch_notes(const Config* config, mem::Bytes program, mem::Bytes settings_path);
u32 notes_main(const Config* config);
// The words for the child's exit codes 1 to 5 (empty for 0 and unknown codes).
mem::Bytes notes_failure_word(u32 code);

}  // namespace update
