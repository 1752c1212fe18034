#pragma once
// The background copy: a copy of the program kept under the per-user data folder ("<data>/Vimbrel/bin/vimbrel"),
// started at log-on and by the window, that supervises up to two children of its own executable, one per slot:
// slot 0 the host (an election candidate on the cluster share), slot 1 the agent (publishing this machine). Which
// slots run is chosen in background.txt, which only the window writes; where they point comes from the cluster
// files. The supervisor restarts a child that ends with a growing back-off, reports each slot in
// background.status, and replaces itself from the program it was copied from when that is newer.
//
// The window's side (Control) installs, starts and wakes the copy, flips its roles and the start at log-on, and
// builds the Settings page's line about it.
#include "base/mem.h"
#include "wire/cluster.h"
#include "platform/proc.h"

namespace taskmgr {
// 32-bit FNV-1a over the path up to and including its last separator ("/" or "\"; nothing when it has none), each
// letter A to Z lowered first: the hash that names the copy's kernel objects.
u32 folder_hash(mem::Bytes path);
}  // namespace taskmgr

namespace background {

bool is_background_option(mem::Bytes word);  // "--background"

inline constexpr u32 path_max = 1024;
inline constexpr u32 line_max = 160;
inline constexpr u32 command_max = 512;
inline constexpr u32 settings_read_max = 1280;
inline constexpr u32 status_max = 3 * (line_max + 1);

struct Path {
  u8 text[path_max];
  u32 length;
  mem::Bytes bytes() const { return mem::Bytes(text, length); }
};

// background.txt.
enum : u8 { role_host = 1, role_agent = 2 };
struct Settings {
  u8 flags;
  u8 listen_length;
  u16 port;
  u8 listen[16];
  u32 source_length;
  u8 source[path_max];
};
// Clears the settings, then reads the text: false (and both roles off) unless the first line is the header.
bool parse_settings(mem::Bytes text, Settings* settings);
// The file text into out (at least 1,280 bytes); its length.
u32 format_settings(const Settings* settings, mem::Slice out);

// What a child last printed: printable ASCII only, the first 160 bytes of each line.
struct LastLine {
  u16 reading_length;
  u16 last_length;
  u8 reading[line_max];
  u8 last[line_max];
};
void take_output_line(LastLine* line, mem::Bytes bytes);
// 14 for a line beginning "vimbrel host: ", 15 for "vimbrel agent: ", else 0.
u32 log_prefix(mem::Bytes line);
bool saw_share_caches(mem::Bytes line);

// Slot states.
enum : u8 {
  slot_off = 0,
  slot_started = 1,
  slot_exited = 2,
  slot_needs_share = 3,
  slot_start_failed = 6,
  slot_not_publishing = 7,
};

struct Slot {
  proc::PipedChild child;
  LastLine line;
  u64 next_start;
  u64 last_start;
  u32 exit_code;
  u8 attempt;
  u8 state;
  u16 command_length;
  u8 command[command_max];
};

// Back-off: 0 s for attempt 0, 1, 2, 4, 8, 16, 32 s for attempts 1 to 6, then 60 s.
u32 restart_delay(u32 attempt);
// 1 when the child ran more than 59,999 ms; else one more, at most 255.
u8 next_attempt(u8 attempt, u64 ran_ms);
u64 next_start_time(u64 now, u8 attempt);

// "vimbrel a.b.c" (line ends ignored; parts at most 255) as a << 16 | b << 8 | c, else 0.
u32 parse_version_line(mem::Bytes text);
// a.b.c of a packed version into out (at least 12 bytes); its length.
u32 append_version(u32 packed, u8* out);
// "Update check: the program is version <probed>, not newer than the background copy's <own>; the copy is kept."
u32 keep_copy_message(u32 probed, u32 own, mem::Slice out160);

// The status line of a slot, at most 160 bytes.
u32 status_of(const Slot* slot, bool force_share, mem::Slice out160);
// The three lines, each cut to 160 bytes and ended by LF.
u32 status_text(mem::Bytes host, mem::Bytes agent, mem::Bytes note, mem::Slice out);
// Line n (from 0) of a status text, without a CR before its line end.
mem::Bytes status_line(mem::Bytes text, u32 n);

// A double quote, the text, one more backslash for each that ends it, a double quote; 0 when the text holds a
// double quote (it would split into other words) or the result does not fit out.
u32 quote_path(mem::Bytes text, mem::Slice out);
// The host's command line: "--elect" and the quoted share, the priority (200 when the agent role is on, else
// 100), the port and listen address when set; 0 unless publish.txt names a share or folder.
u32 host_command(const cluster::PublishSettings* publish, const Settings* settings, mem::Slice out512);
// "--agent --server <quoted>" or "--agent --share <quoted>"; 0 when not publishing or nothing is set.
u32 agent_arguments(const cluster::PublishSettings* publish, mem::Slice out512);
// The agent's arguments, and " --local <listen or 127.0.0.1>[:port]" for a share with the host role on.
u32 agent_command(const cluster::PublishSettings* publish, const Settings* settings, mem::Slice out512);

// 8 lower-case hex digits, most significant first.
void hex8(u32 value, u8* out8);
// folder + "/" + name into out; false when it would pass 1,024 bytes.
bool join_path(Path* out, mem::Bytes folder, mem::Bytes name);

// The copy's paths and the names of its kernel objects.
struct Paths {
  Path folder;    // <data>/Vimbrel
  Path copy;      // <folder>/bin/vimbrel, on Windows <folder>\bin\vimbrel.exe
  Path settings;  // <folder>/background.txt
  Path status;    // <folder>/background.status
  u8 mutex_name[48];
  u8 wake_name[48];
  u32 mutex_length, wake_length;
  mem::Bytes mutex() const { return mem::Bytes(mutex_name, mutex_length); }
  mem::Bytes wake() const { return mem::Bytes(wake_name, wake_length); }
};
// Fills the paths from the base folder, or from LOCALAPPDATA (the per-user data folder) when it is empty: true when
// all four are set.
bool paths(Paths* out, mem::Bytes base);

// ---- The supervisor.

struct State {
  Paths paths;
  Path own;          // this program's path, read once at start
  u32 own_version;   // packed as parse_version_line packs
  Settings settings;
  u64 wake;          // the wake event, 0 when it could not be made
  u64 mutex;
  Slot slot[2];
  u8 force_share;    // the host runs with --force-share
  u8 old_pending;    // "<own>.old" is still to be deleted
  u64 next_check;
  u64 retry_probe;   // when a source whose version could not be read is probed again
  u64 seen_size[3], seen_time[3];  // cluster key, publish.txt, source
  Path key_path, publish_path;
  u16 note_length;
  u8 note[line_max];
  u32 status_length;
  u8 status[status_max];
};

// --background: 0 when it ended or another copy runs; 3 when the data folder is not known; 4 without memory.
u32 main(mem::Bytes version);
// Runs the supervisor until no role is left, a new copy took over or the mutex was lost: 0.
u32 loop(State* state);

// One pass's parts; now in milliseconds of os::clock_ms.
u32 watch_files(State* state);
void restart_changed(State* state, u64 now, bool key_changed);
u32 child_command(State* state, u32 slot, mem::Slice out512);
void keep_child(State* state, u32 slot, u64 now);
void reap_child(State* state, u32 slot, u64 now);
void stop_child(State* state, u32 slot);
void write_status(State* state);
void remove_old(State* state);
// true when a new copy was started (the caller ends).
bool self_update(State* state, u64 now);
void note_kept(State* state, u32 probed);

// ---- The window's side.

struct Control {
  Path test_background;  // under --test: the settings file's path + ".background", in place of background.txt
  Path test_runkey;      // and + ".runkey", in place of the log-on entry
  Path program;          // the program the copy is made from (this program unless the caller named another)
  u8 mode;               // 0 normal, 2 under --test
  u8 roles;
  u8 run_present;
  u8 errors;             // bit 0 settings not saved, bit 1 log-on entry not written, bit 2 copy not started
  u8 refresh_count;
  u8 copy_running;
  u16 port;              // the host's port from background.txt, 0 when not set (7420)
  u16 status_length;
  u8 status[2 * (line_max + 1)];
};
enum : u8 { error_settings = 1, error_run_entry = 2, error_start = 4 };
enum : u32 { mode_normal = 0, mode_test = 2 };

// Once while the window starts. program: what the copy is made from, empty for this program; test_base: the
// --test settings file (under mode 2).
void start_at_launch(Control* control, mem::Bytes program, mem::Bytes test_base, u32 mode);
// Every second: every 10th call makes sure the copy is installed, running and woken; true when what the page
// shows changed.
bool refresh(Control* control, bool page_shown);
// role 0 host, 1 agent.
void toggle_role(Control* control, u32 role);
void set_run_entry(Control* control);
void wake(Control* control);
bool agent_on(const Control* control);
// The line under the Background section, at most 160 bytes.
u32 settings_text(const Control* control, mem::Slice out160);
u32 slot_text(const Control* control, u32 n, mem::Slice out160);

// Pieces of the above, for the page and the tests.
void start_copy(Control* control, const Paths* paths);
bool sync_source(Control* control, const Paths* paths);
bool install_copy(mem::Bytes program, const Paths* paths);
bool save_file(Control* control, mem::Bytes path, const Settings* settings);
void read_status(Control* control, const Paths* paths);
bool publishes_to_share(const cluster::PublishSettings* publish);
// "\"<copy path>\" --background"; 0 when the path holds a double quote or the line passes 512 bytes.
u32 run_command(mem::Bytes copy_path, mem::Slice out512);

// The host role for the publisher and the viewer link: the host bit of the copy's background.txt.
u32 read_host_flag();
// The publish settings with the beacon port 0 unless the host role is on, then the VIMBREL_BEACON override.
cluster::PublishSettings prefer_own_host(const cluster::PublishSettings* publish);

}  // namespace background
