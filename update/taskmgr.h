#pragma once
// The Task Manager replacement: the "Debugger" value under the Image File Execution Options key of taskmgr.exe,
// which makes the system start this program (with --as-taskmgr) in Task Manager's place, and "VimbrelReplaced",
// which keeps another program's value while ours stands there. The --replace-taskmgr mode changes the key; the
// window reads its state for the Settings page and asks for changes.
//
// Windows keeps the key machine-wide, where only administrators may change it. Linux has no such key: outside the
// test mode every read answers error 50 (not supported), so the state is 5 (unknown), a click asks for nothing and
// --replace-taskmgr ends with exit code 1. Under --test the key is the per-user test key
// "Software\VimbrelTest\<8 hex>\IFEO\taskmgr.exe" (the hex digits name the program's folder; on Linux a folder of
// files, platform/registry.h), so every state can be reached without rights. Program paths in values are taken as
// they are, except that under --test on a system without drives (registry::SystemWords::test_drives) a drive path
// ("C:\Windows\System32\cmd.exe") names a file below the test drives folder
// "<config>/Vimbrel/test-drives/<drive letter in lower case>/", with "\" read as "/": the test operations make the
// stand-in program files there. On Windows a drive path is the file itself.
#include "base/mem.h"

namespace taskmgr {

// Option words of the command line; each is true when the argument equals its word.
bool is_replace_option(mem::Bytes word);  // "--replace-taskmgr"
bool is_test_option(mem::Bytes word);     // "--test"
bool is_as_taskmgr(mem::Bytes word);      // "--as-taskmgr"
bool is_mode_word(mem::Bytes word);       // "on", "off" or "takeover"

enum : u32 { mode_invalid = 0, mode_on = 1, mode_off = 2, mode_takeover = 3 };
u32 parse_mode(mem::Bytes word);
mem::Bytes mode_word(u32 mode);  // empty for 0

// Kinds of the current Debugger value.
enum : u32 { kind_none = 0, kind_ours = 1, kind_foreign = 2 };
// States for the Settings page.
enum : u32 { state_off = 0, state_on = 1, state_broken = 2, state_other_copy = 3, state_other_program = 4,
             state_unknown = 5 };
// Exit codes of --replace-taskmgr.
enum : u32 { exit_done = 0, exit_failed = 1, exit_invalid = 2, exit_refused = 3 };
// Results of a change the window asked for.
enum : u32 { result_done = 1, result_cancelled = 2, result_failed = 3, result_refused = 5 };
// Error numbers the replacement reports (the registry's, platform/registry.h).
enum : u32 { error_none = 0, error_not_found = 2, error_not_supported = 50, error_more_data = 234 };

inline constexpr u32 value_most = 2048;  // bytes of a value's text
inline constexpr u32 path_most = 1600;   // bytes of a path shown or kept
inline constexpr u32 read_units = 2047;  // UTF-16 units a read holds, its terminator included
inline constexpr u32 elevated_wait_ms = 30000;

// What a read of a value gives.
struct Value {
  u8 present;     // the value exists, of any type
  u8 expandable;  // its type is the expandable text
  u32 error;      // 0, or the error of a read that failed other than by "not found"
  u32 length;
  u8 text[value_most];  // empty unless the type is text
  mem::Bytes bytes() const { return mem::Bytes(text, length); }
};

// A key: its root (registry::root_user or root_machine) and path.
inline constexpr u32 key_most = 128;
struct Key {
  u32 root;
  u32 length;
  u8 path[key_most];
  mem::Bytes bytes() const { return mem::Bytes(path, length); }
};

// The outcome of applying a mode.
struct Outcome {
  u32 error;   // the error of the last registry operation, 0 on success
  u8 refused;  // another program's value stands: nothing was written
};

// ---- Values and their forms.

// Our value for the program's path, '"' path '"' " --as-taskmgr", into out: its length, 0 when the path is empty,
// holds a double quote or the whole exceeds 2,048 bytes.
u32 our_debugger_value(mem::Bytes own_path, u8* out2048);
// Whether the text has our value's form: at least 16 bytes, a double quote first, '"' " --as-taskmgr" last, and
// between the quotes a path that is not empty and holds no double quote.
bool is_our_debugger_value(mem::Bytes text);
// None, ours or foreign.
u32 classify_debugger(const Value& debugger);
// The program path shown for the value: the path between the quotes when it is ours, else the whole text.
mem::Bytes is_ours(const Value& debugger);
// The state from a read value and two facts about the path inside ours: whether it is an existing program file and
// whether it is this very program.
u32 state_of(const Value& debugger, bool exists, bool same);
// The state of the Debugger value against this program's path (the path inside ours is tested without expansion).
u32 debugger_state(const Value& debugger, mem::Bytes own_path, bool test);
// Whether the saved value names a program that exists.
bool replaced_exists(const Value& replaced, bool test);

// ---- Programs.

// The program part of a command (the quoted text, or up to a blank or a quote), expanded when asked ("%NAME%"
// replaced by the environment's value; unset names stay), as a path of this system: exists and is not a folder.
bool program_exists(mem::Bytes command, bool expandable, bool test);
// Whether the two paths name one file (links followed). False when either does not exist.
bool same_program(mem::Bytes a, mem::Bytes b, bool test);
// The file a program path names here, into out: its length, 0 when it does not fit. Under --test on a system
// without drives a drive path is taken below the test drives folder; anything else is kept as it is.
u32 local_path(mem::Bytes path, bool test, u8* out, u32 capacity);
// Expands "%NAME%" from the environment into out (at most 2,048 bytes): its length, 0 when it does not fit.
u32 expand(mem::Bytes text, u8* out2048);

// ---- Keys and registry primitives.

// "Software\VimbrelTest\<8 hex>" of the program's folder, and with replacement "\IFEO\taskmgr.exe" behind it.
u32 test_key_path(mem::Bytes own_path, bool replacement, u8* out128);
// The replacement's key: the machine-wide one, or under --test the program's test key.
Key replacement_key(bool test, mem::Bytes own_path);
Value read_value(const Key& key, mem::Bytes name);
u32 write_value(const Key& key, mem::Bytes name, mem::Bytes text, bool expandable);
u32 delete_value(const Key& key, mem::Bytes name, bool delete_empty_key);

// This program's path into out: its length, 0 when it cannot be read.
u32 own_path(u8* out1600);
Value read_debugger(bool test);
Value read_replaced(bool test);

// ---- Changes.

// Writes or repairs our value.
u32 write_ours(const Key& key, mem::Bytes our_value);
// Saves the foreign value (with its type) as "VimbrelReplaced", then writes ours.
u32 take_over(const Key& key, const Value& current, mem::Bytes our_value);
// Puts a saved value back when its program exists; otherwise removes both values (and the key when left empty).
u32 restore(const Key& key, bool test);
// Reads the Debugger value and acts by the mode and its kind.
Outcome apply(bool test, u32 mode, mem::Bytes own_path);
// The exit code of an outcome: 3 refused, 1 an error, else 0.
u32 exit_code(const Outcome& outcome);
// The --replace-taskmgr mode: exit code 0 to 3, with the outcome of the change (nothing applied for a wrong word).
u32 replace_command(mem::Bytes word, bool test, Outcome* outcome);
u32 replace_main(mem::Bytes word, u32 test, Outcome* outcome);
// What a console user reads for an exit code that is not a success, by the error of the failed registry operation:
// empty for 0 and 2 (a wrong word is a usage error without words). Access denied, what a user without
// administrator rights meets, has words of its own.
mem::Bytes exit_text(u32 code, u32 error, bool test);

// ---- The window's side.

// The mode a click on the Settings page asks for: 0 in state 5, off when turning off or in state 1, take over in
// state 4, else on.
u32 command_mode(u32 state, bool turn_off);
// "--replace-taskmgr <word>" (and " --test") into out: its length, 0 for an invalid mode.
u32 elevated_arguments(u32 mode, bool test, u8* out64);
// The result of an elevated run: 0 not started, 1 cancelled at the prompt, 2 ended with the exit code, 3 still
// running at the time-out.
enum : u32 { run_not_started = 0, run_cancelled = 1, run_ended = 2, run_timed_out = 3 };
u32 elevation_result(u32 run, u32 exit_code);
// Runs this program elevated with the arguments of the mode and waits: the result (1, 2, 3 or 5).
u32 run_elevated(mem::Bytes program, mem::Bytes arguments, u32 timeout_ms);
// The system's own folder into out: its length, 0 with the error when there is none.
u32 windows_folder(u8* out1600, u32* error);
// '"' folder ["\"] "System32\taskmgr.exe" '"' into out: its length, 0 when the folder is empty, holds a double
// quote or the whole exceeds 2,048 bytes.
u32 real_taskmgr_command(mem::Bytes windows_folder, u8* out2048);
// Starts the real Task Manager past the redirection, or with a test file writes its command line there instead:
// 0 or the error.
u32 open_real_taskmgr(mem::Bytes windows_folder, mem::Bytes test_file);
// Starts the program (the path between the command line's quotes) so that the redirection does not apply to it and
// lets it run on its own: 0 or the error (50 here: there is nothing to start).
u32 start_real_taskmgr(mem::Bytes application, mem::Bytes command_line);

// ---- Starting in Task Manager's place: the instance mutex's verdict and whether to run a window of one's own.
enum : u32 { verdict_created = 0, verdict_exists = 1, verdict_denied = 2, verdict_failed = 3 };
u32 mutex_verdict(bool handle_given, bool already_exists, bool access_denied);
bool runs_alone(u32 verdict, bool hand_off_wanted);

// ---- Test operations on the program's test key.
u32 write_test_debugger(mem::Bytes text);
u32 write_test_replaced(mem::Bytes text);
u32 delete_test_tree();
// Makes the stand-in program file a test value names (an empty file) unless a file is there already, so that it
// exists without ever replacing a real program: 0 or the error.
u32 make_test_program(mem::Bytes path);

}  // namespace taskmgr
