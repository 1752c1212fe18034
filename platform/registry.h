#pragma once
// Registry values and the few system facts the Task Manager replacement reads. Answers are the system's own error
// numbers of its registry API: 0 success, 2 not found (the key or the value), 5 access denied, 50 not supported,
// 112 the disk is full, 122 a text too long for its place, 234 more data than the caller's buffer holds, 31 any
// other failure.
//
// This system has no registry and no Task Manager to redirect. The machine-wide root answers 50 to everything. The
// per-user root is a folder of files under the per-user configuration folder ("<config>/Vimbrel/registry"): a key
// path's parts ("\" separates them) are folders, and each value is a file of its own named after it, holding its
// type as a decimal number and a line end, then its data (text as UTF-8 without a terminator). Values are written
// through a temporary file and a rename, so a crash leaves the old value or the new one, never half of one.
#include "base/mem.h"

namespace registry {

enum : u32 { root_user = 1, root_machine = 2 };
enum : u32 { type_sz = 1, type_expand_sz = 2, type_binary = 3, type_dword = 4 };
enum : u32 {
  ok = 0,
  not_found = 2,
  denied = 5,
  general_failure = 31,
  not_supported = 50,
  disk_full = 112,
  too_long = 122,
  more_data = 234,
};

// The value's type and data (up to the buffer's length; 234 when it holds more, with nothing kept).
u32 read_value(u32 root, mem::Bytes key, mem::Bytes name, u32* type, mem::Slice buffer, u64* length);
// Creates the key where needed and sets the value.
u32 write_value(u32 root, mem::Bytes key, mem::Bytes name, u32 type, mem::Bytes data);
// Deletes the value (a missing key or value is 2).
u32 delete_value(u32 root, mem::Bytes key, mem::Bytes name);
// What the key holds: values and subkeys (2 when the key is missing).
u32 count(u32 root, mem::Bytes key, u32* entries);
// Deletes the key when it holds neither values nor subkeys (5 when it still holds something).
u32 delete_key(u32 root, mem::Bytes key);
// Deletes the key with everything below it.
u32 delete_tree(u32 root, mem::Bytes key);

// The system's own folder, where its Task Manager lives: its length, 0 with the error (50 here: there is none).
u32 windows_folder(u8* out1600, u32* error);
// Starts the system's Task Manager past the redirection: 0 or the error (50 here).
u32 start_real_taskmgr(mem::Bytes application, mem::Bytes command_line);
// Runs this program with administrator rights and the arguments, waiting up to the time-out. Outcome: 0 not
// started, 1 the user cancelled the prompt, 2 started and ended (exit code set; 1 when it cannot be read), 3 started
// but still running at the time-out. Here nothing can ask for the rights: 0.
u32 run_elevated(mem::Bytes program, mem::Bytes arguments, u32 timeout_ms, u32* exit_code);

// Files as the replacement sees them: a program that exists (a plain file, links followed; a folder does not
// count), and two paths naming the same file (links followed, compared by device and inode).
bool program_file(mem::Bytes path);
bool same_file(mem::Bytes a, mem::Bytes b);

// Whether the system says it is shutting down (Windows: the SM_SHUTTINGDOWN metric). Linux tells a program through
// its stop request instead: false.
bool shutting_down();

// ---- This system's names and words for the entries the program makes: where a system keeps them and how its
// users call them differ, so each system answers its own.
struct SystemWords {
  // The per-user key whose values start programs at log-on; empty where the system has none (on Linux an XDG
  // autostart file stands in for the value).
  mem::Bytes run_key;
  // The Settings page's switch of that entry.
  mem::Bytes start_switch;
  // The background copy's place below its data folder, with the system's separator between folder and name.
  mem::Bytes copy_name;
  u8 separator;
  // What `--background` says when the per-user data folder is unknown.
  mem::Bytes no_data_folder;
  // The firewall line of the Background section: the text, and where the system does not ask about the host's
  // port itself, the host's port follows it and then firewall_tail (empty where the port is not named).
  mem::Bytes firewall;
  mem::Bytes firewall_tail;
  // Why `--replace-taskmgr` failed: access was denied (the change needs administrator rights), or another registry
  // operation failed.
  mem::Bytes taskmgr_denied;
  mem::Bytes taskmgr_failed;
  // Whether a drive path ("C:\...") in a Task Manager test value names a stand-in file below the test drives folder:
  // on a system without drives; where drives exist the path is the file itself.
  u8 test_drives;
};
SystemWords system_words();

}  // namespace registry
