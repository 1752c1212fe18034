#pragma once
// Files. Two layers share this module:
// - the general layer: whole-file reads into an arena, whole-file writes, appends and replaces, moves, deletes,
//   folder chains, reads by offset, environment values and the temporary folder, with one scale of error classes
//   that every module of the program uses for system errors;
// - the share layer (names beginning io_): short paths, explicit open modes with write-through, positional reads
//   and writes on kept handles, uncached reads of small records that another machine rewrites, sorted folder
//   listings in pages of 64 names and tree deletion, with five result codes of its own.
// Paths of the general layer are UTF-8 byte slices (any byte but NUL), those of the share layer ASCII; "\" and "/"
// both separate (the system sees "/"). Drive letters and UNC names are refused on Linux: a share is a mounted
// folder. Files and folders created under the per-user folders (the ones env_var gives for APPDATA and
// LOCALAPPDATA) are private to the user (0600 and 0700).
#include "base/mem.h"

namespace store {
struct Path;
}

namespace fs {

// ---- Error classes of the general layer (0 is success; 9 is not used).
enum : u32 {
  ok = 0,
  bad_name = 1,         // also a path or name that cannot be converted
  not_found = 2,
  exists = 3,
  denied = 4,           // access denied or in use
  not_empty = 5,        // directory not empty
  too_large = 6,        // also a value that does not fit the caller's buffer
  no_room = 7,          // the arena has no room for the file
  not_plain_file = 8,   // a directory, or not a plain disk file
  other = 10,           // every other failure; also an unreadable size, a short read, a failed close
  invalid = 11,
  not_directory = 12,
  would_block = 13,
  timed_out = 14,
  not_connected = 15,
  aborted = 16,
  refused = 17,
  reset = 18,
  unreachable = 19,
  address_in_use = 20,
  no_space = 21,
  write_protected = 22,
  too_many_open = 23,
  bad_handle = 24,
  interrupted = 25,
  unsupported = 26,
};
inline constexpr u32 class_count = 27;

// The class of a system error number (errno on Linux).
u32 error_class(u32 system_error);
// The calling thread's last system error number.
u32 last_error();
// A short English text for a class ("not found"); "unknown" outside the scale.
mem::Bytes class_text(u32 error_class);

// Access, sharing and disposition words of the open calls (the values the system's own file API uses).
enum : u32 { access_read = 1, access_write = 2, access_append = 4 };
enum : u32 { share_read = 1, share_write = 2, share_delete = 4 };
enum : u32 { create_new = 1, create_always = 2, open_existing = 3, open_always = 4 };

// Length of a path's root: "/" or a single "\" at the start, 1; "X:" with a separator 3, alone 2; "\\?\X:\" 7,
// "\\?\X:" 6, other "\\?\" 4; "\\server\share\" and "\\?\UNC\server\share\" up to the first character after the
// share and its separators; any other path 0.
u64 root_length(mem::Bytes path);
// True when the path names a place whatever the current folder and drive: on Linux it begins with "/"; on Windows
// (windows_absolute, a rule that needs no system) a drive letter, a colon and a separator, or a share with its server
// and share names ("\\server\share\..."), either also behind "\\?\" ("\\?\C:\...", "\\?\UNC\server\share\...").
bool absolute(mem::Bytes path);
bool windows_absolute(mem::Bytes path);

// ---- Whole files.

// Reads the whole file into exactly its size of arena bytes (alignment 1). 7 when the arena has no room; 10 for an
// unreadable size or a short read, and then the arena is as it was. An empty file gives 0 and an empty slice.
u32 read_file(mem::Bytes path, mem::Arena* arena, mem::Slice* out);
// Creates or truncates the file and writes all bytes.
u32 write_file(mem::Bytes path, mem::Bytes bytes);
// Opens or creates the file and writes all bytes at its end.
u32 append_file(mem::Bytes path, mem::Bytes bytes);
// Both of the above: access_write with create_always, or access_append with open_always. Only plain files are
// written (8 otherwise); a failed close counts when nothing failed before.
u32 write_with(mem::Bytes path, mem::Bytes bytes, u32 access, u32 disposition);
// All or nothing: writes a temporary file in the same folder, flushes it to disk, renames it over the path and
// flushes the folder. A crash or a failure leaves the old file or the new one, never a torn one. Only a plain file
// is ever replaced: a folder, device, pipe or socket at the path (or behind a link there) gives 8 and stays as it
// is; a link to a plain file (or to nothing yet) is written through, so the link stays and its target is replaced
// in the target's own folder. The result keeps the mode (and, where the process may set it, the owner) of the file
// it replaces; a new file, and any file under the per-user folders, is 0600. A file without its owner's write
// permission is not replaced (4).
u32 replace_file(mem::Bytes path, mem::Bytes bytes);

// The same replace in steps, for a caller that wants to know the path can be written before it does the work
// whose result it writes: replace_begin checks the path and opens the temporary file, replace_write adds bytes to
// it, replace_commit moves it over the path (all or nothing), replace_abandon drops it. The temporary file has no
// name where the file system allows one without (so a killed process leaves nothing behind); elsewhere it is
// "<name>.tmp-" and 8 random hex digits, created exclusively, and such names left by a process that ended are
// removed by the next replace of the same name once they are a minute old. Every step after a failure, and every
// step on a record that is not open, answers the failure (24 for a record that was never opened).
struct Replacement {
  u64 file;              // the temporary file's handle, 0 when none
  u64 folder;            // the target folder's handle, 0 when none
  u32 mode;              // the permission bits the result gets
  u32 failure;           // the first failure of a step, 0 while all went well
  u32 owner, group;      // the replaced file's owner, kept where the process may set it
  u16 name_length;
  u16 temporary_length;  // 0 while the temporary file has no name
  u8 name[256];          // the target's name in its folder
  u8 temporary[280];
};
// Flags of replace_begin: private makes the result 0600 whatever the file it replaces allowed (secrets).
enum : u32 { replace_private = 1 };
u32 replace_begin(mem::Bytes path, u32 flags, Replacement* replacement);
u32 replace_write(Replacement* replacement, mem::Bytes bytes);
// Flushes the data, moves it over the path and flushes the folder; the record is closed afterwards in any case,
// and on a failure the temporary file is gone and the path untouched.
u32 replace_commit(Replacement* replacement);
void replace_abandon(Replacement* replacement);
// replace_file after making every missing folder above the path: how settings files are saved.
u32 save_file(mem::Bytes path, mem::Bytes bytes);
// save_file for a secret such as the cluster key: the new file is readable and writable by its owner only (0600 on
// Linux) in any folder, whatever mode an old file had. Anything but a plain file at the path (a folder, a device,
// a pipe, a socket or a symbolic link) is refused with 8 and left as it is.
u32 save_private(mem::Bytes path, mem::Bytes bytes);

// Renames, replacing an existing target (8 when the target is a directory). The source's data reaches the disk
// before the rename and the rename before the answer, so a written temporary file moved over its final name is
// never seen empty after a crash.
u32 move_file(mem::Bytes from, mem::Bytes to);
// Deletes a file; 8 for a directory. A read-only file deletes as any other.
u32 delete_file(mem::Bytes path);
// The same (the name callers that want the class of a deletion use; "delete" is a keyword).
u32 remove(mem::Bytes path);
// Copies a file with its mode bits (so an executable stays one), replacing the target through a temporary file.
// UTF-8 paths, not held to the ASCII rule. 1 when copied, else 0.
u32 copy_file(mem::Bytes from, mem::Bytes to);
// 1 with the size and the last-write time (100 ns units since 1601), or 0 with both 0. UTF-8 path.
u32 size_and_time(mem::Bytes path, u64* size, u64* time);

// ---- Reading by offset.

// An open file: handle 0 means none (a zeroed record is closed); the size was taken when it was opened.
struct File {
  u64 handle;
  u64 size;
};

// Opens an existing plain file (8 for a directory, a pipe or a device; opening never waits on them).
u32 open(mem::Bytes path, u32 access, u64* handle);
// Opens for reading and takes the size (10 when it cannot be read).
u32 open_sized(mem::Bytes path, File* file);
// Reads at the offset up to the buffer's length, clipped to the size; count is what was read. 24 on a closed
// record; at or past the size nothing is read and the answer is 0.
u32 read_at(const File* file, u64 offset, mem::Slice buffer, u64* count);
void close(File* file);

// ---- Folders.

u32 make_directory(mem::Bytes path);
// As make_directory, but an existing directory is success.
u32 ensure_directory(mem::Bytes path);
// Creates every missing folder along the path, doubled and trailing separators allowed; 1 for an empty path.
u32 make_directories(mem::Bytes path);
// 0 nothing there (or a path that does not convert), 1 a file, 2 a directory.
u32 kind(mem::Bytes path);
// The attribute bits the system's own file API reports: 0x1 read-only, 0x10 directory, 0x80 normal (nothing else
// set), 0x400 a symbolic link; 0xFFFFFFFF when nothing is there.
enum : u32 { attr_read_only = 0x1, attr_directory = 0x10, attr_normal = 0x80, attr_link = 0x400 };
u32 attributes(mem::Bytes path);
// 1 when the path is a plain file of this user that no one else may read or write (on Linux: owned by the
// effective user, no group or other permission bits); 0 otherwise, also when it is missing. A secret such as the
// cluster key is refused when this answers 0.
u32 owner_only(mem::Bytes path);

// ---- Environment and the temporary folder.

// The variable's value as bytes into the buffer: 0 and its length (0 for a set but empty value); 2 unset; 6 when it
// does not fit; 1 when the name or the value is not ASCII. APPDATA answers $XDG_CONFIG_HOME (else ~/.config) and
// LOCALAPPDATA $XDG_DATA_HOME (else ~/.local/share); relative values of those are ignored. The values of these two
// and of XDG_RUNTIME_DIR, which name folders, may be UTF-8 (1 when they are not).
u32 env_var(mem::Bytes name, mem::Slice buffer, u64* length);
// Why env_var refuses one of those three folders, as the folder's variable, its value and the reason (bytes that
// are not printable ASCII shown as \xNN); 0 when it takes it or the variable is unset (RUNTIME_DIR only).
u64 folder_refusal(mem::Bytes name, mem::Slice out);
// The temporary folder, ending in a separator: $TMPDIR when absolute, else "/tmp/". 6 when it does not fit or is
// not ASCII.
u32 temp_folder(mem::Slice buffer, u64* length);

// ---- Flag answers (1 success, 0 failure).

u32 touch(mem::Bytes path);
u32 write_ok(mem::Bytes path, mem::Bytes bytes);
u32 append_ok(mem::Bytes path, mem::Bytes bytes);
u32 move_ok(mem::Bytes from, mem::Bytes to);
// Bytes read from the start of the file into the buffer; 0 on any failure (and for an empty file).
u64 read_prefix(mem::Bytes path, mem::Slice buffer);
// Puts the file at new_path in place of target and keeps target's file as backup (an earlier backup is replaced):
// 1 on success, 0 when nothing changed but a leftover backup. The target's name always names a complete file: the
// backup is a second name of the target's file (a file system without second names refuses the swap), and the new
// file takes the target's name in one rename. target_missing (when given) is set to 1 only when the target is not
// there afterwards.
u32 swap_in(mem::Bytes new_path, mem::Bytes target, mem::Bytes backup, u32* target_missing = nullptr);

// ---- Files of the updater. Each answers the system's error number (0 for success), which the updater reports as
// it is. Handles are those of `open`. Nothing here follows a symbolic link at the last name.

// Creates a new plain file for reading and writing with the mode bits given (exactly, whatever the process's mask);
// EEXIST when anything is there already.
u32 create_exclusive(mem::Bytes path, u32 mode, u64* handle);
// Opens an existing plain file for reading.
u32 open_plain_read(mem::Bytes path, u64* handle);
// The file's size through its handle.
u32 handle_size(u64 handle, u64* size);
// Writes all bytes at the file's position, continuing after short and interrupted writes.
u32 write_handle(u64 handle, mem::Bytes bytes);
// Puts the file's data and size on the disk.
u32 sync_handle(u64 handle);
void close_handle(u64 handle);
// Renames; without replace an existing target refuses (EEXIST). The folder is flushed after the rename.
u32 rename_path(mem::Bytes from, mem::Bytes to, u32 replace);
// Renames the file that the open handle holds, replacing the target: refused (ESTALE) when the name no longer names
// that file, so only the file that was checked through the handle moves.
u32 rename_open(u64 handle, mem::Bytes from, mem::Bytes to);
// Gives the file at from the second name to (never replacing: EEXIST); the folder is flushed after.
u32 link_path(mem::Bytes from, mem::Bytes to);
// Gives a program file, which may be running, the parking name to (never replacing: the system's "exists" error),
// so that a new file can take its name. Where a running program's file can have a second name (Linux) it gets one
// and its own name still names it until the new file replaces that name; where a running program can be renamed but
// not replaced (Windows) it is moved, and its name is free until the new file takes it.
u32 park_path(mem::Bytes from, mem::Bytes to);
// Deletes a plain file; a missing file counts as deleted (0). A file that a running process was started from is
// refused (ETXTBSY) and stays.
u32 delete_unused(mem::Bytes path);
// Removes the name, whatever runs from it; a missing name counts as removed (0).
u32 delete_plain(mem::Bytes path);
// 1 when something is at the path (a link counts, it is not followed).
u32 present(mem::Bytes path);
// The bytes that stand for a path where one lock per file is named after it, into out (at least 2,200 bytes): where
// the system's paths ignore letter case (Windows) the path as UTF-16LE units upper-cased by the system's own rule,
// so that two spellings of one file give one key; elsewhere the path's bytes as they are. Its length; 0 when the
// path does not fit.
u64 path_lock_key(mem::Bytes path, mem::Slice out);
// The file's identity: device and inode, both 0 when it cannot be read. A rename within the folder keeps it.
void identity(mem::Bytes path, u64* device, u64* inode);
// The permission bits of the file (0 when it cannot be read).
u32 mode_bits(mem::Bytes path);

// ---- Share file I/O.

// Result codes of the share layer. Beyond the five general ones: the disk or the user's quota is full, and a link or
// something else than a plain file or folder stands where a file was to be opened (it is never followed).
enum : u32 {
  io_ok = 0,
  io_exists = 1,
  io_not_found = 2,
  io_in_use = 3,
  io_denied = 4,
  io_failed = 5,
  io_no_space = 6,
  io_not_plain = 7,
};
// The code of a system error number.
u32 io_error_class(u32 system_error);
mem::Bytes io_code_text(u32 code);

// Paths of the share layer: ASCII, 1 to 298 bytes, no NUL; anything else answers 2 without touching the disk.
inline constexpr u32 short_path_max = 298;

// A handle slot holds an open handle or 0; io_none is the invalid-handle value.
inline constexpr u64 io_none = ~0ull;
inline bool io_handle_ok(u64 slot) { return slot != 0 && slot != io_none; }
inline bool io_is_open(u64 slot) { return io_handle_ok(slot); }

// Extra open flags: write-through (each write is on the disk when it returns), and no buffering (reads bypass the
// cache; needs 4096-aligned buffers, offsets and lengths).
enum : u32 { io_write_through = 1, io_no_buffering = 2 };

// Opens with the access, sharing and disposition; the slot is cleared first. Sharing is enforced between the opens
// of local folders: a handle that does not share writing keeps every other writer out, and a writer is kept out
// while such a handle is open (code 3 either way). On network folders the share's own rules apply. Only a regular
// file is opened: a symbolic link at the path is never followed (5), so a link planted on a share redirects nothing.
u32 io_open(mem::Bytes path, u32 access, u32 share, u32 disposition, u32 flags, u64* slot);
// A claim: created new (1 when it exists), written whole at offset 0 and closed. When the write or the close fails
// the new file is deleted again, so a failed claim never blocks the name.
u32 io_create_file(mem::Bytes path, mem::Bytes bytes);
// Read and write, reading shared, write-through; truncated or created when truncate is set, else opened or created.
u32 io_open_rw(mem::Bytes path, u32 truncate, u64* slot);
// Read and write, reading and writing shared, write-through, opened or created (a record rewritten in place).
u32 io_open_shared(mem::Bytes path, u64* slot);
// Read only, an existing file, everything shared.
u32 io_open_read(mem::Bytes path, u64* slot);
// Closes an open slot; the slot is 0 afterwards in any case.
void io_close(u64* slot);

// Writes all bytes at the offset (5 when the slot is not open).
u32 io_write_at(u64 slot, u64 offset, mem::Bytes bytes);
// Reads up to the buffer's length at the offset; count is what was read (a read past the end gives 0 and count 0).
u32 io_read_at(u64 slot, u64 offset, mem::Slice buffer, u64* count);
// The open file's length in bytes.
u32 io_size(u64 slot, u64* size);
// Lengthens a shorter file to the length with zero bytes, and reserves the disk space of the whole length where
// the file system can (io_no_space when the disk is full); a longer file keeps its length and bytes.
u32 io_grow(u64 slot, u64 length);
// Opens, reads from offset 0 into the buffer, closes.
u32 io_read_file(mem::Bytes path, mem::Slice buffer, u64* count);
// Reads the first 4096 bytes so that a record another machine has just rewritten is seen: past the system's cache
// where the cache may hold an older record (a share of another machine); through it on this machine's own disks,
// where every write goes through the cache. Copies min(read, buffer length) bytes, and count is what was read (up
// to 4096, even when fewer were copied: a caller tests count > its buffer before decoding). Where the file system
// refuses uncached reads, a cached read.
u32 io_read_uncached(mem::Bytes path, mem::Slice buffer, u64* count);

// What an open file is, to read it again by its name through an open handle (io_read_named): its device and file
// number, and whether it lies on this machine's own file system, where the cache holds the newest bytes. Local 0
// where that cannot be told.
struct FileMark {
  u64 device;
  u64 file;
  u8 local;
};
// The mark of the file an open slot holds; all zero for a slot that is not open.
void io_mark(u64 slot, FileMark* mark);
// io_read_uncached of the path. While the path still names the marked local file that the slot holds open, the same
// bytes are read through the slot, which spares opening and closing the file (a record checked every second);
// a file put under the name since, a missing file or a link are read by the name as io_read_uncached reads them.
u32 io_read_named(mem::Bytes path, const FileMark* mark, u64 slot, mem::Slice buffer, u64* count);

// Creates one folder; an existing directory is success (another object under the name gives 1).
u32 io_make_directory(mem::Bytes path);
// Moves a written temporary file over its final name; the move is on the disk when the call returns.
u32 io_replace(mem::Bytes from, mem::Bytes to);
u32 io_delete(mem::Bytes path);
// The folder must be empty.
u32 io_remove_directory(mem::Bytes path);

// One page of a folder listing: names in byte order, pages of 64, usable names only (ASCII, at most 32 bytes, none
// of the bytes a name may not hold on the system's own file systems: control characters and \ / : * ? " < > |).
struct Listing {
  u32 count;             // names kept (at most 64)
  u32 unusable;          // names not kept because unusable, saturating
  u64 directories;       // bit i set when kept name i is a directory (a symbolic link never is)
  u32 seen;              // usable names seen, saturating
  u32 start;             // usable names passed over before keeping any
  u32 full;              // usable names not kept because the page was full, saturating
  u8 lengths[64];
  u8 names[64][32];      // zero-padded
};
inline constexpr u32 listing_page = 64;

// Lists the folder: the page of usable names after the first `skip` in byte order. 2 when the folder's path with
// "/*" behind it does not fit 259 bytes, or the folder is missing; the system error's code otherwise.
u32 list_directory(mem::Bytes folder, u32 skip, Listing* listing);
// Counts one entry into the listing (the rules above); "." and ".." are skipped and not counted.
void listing_add(Listing* listing, mem::Bytes name, bool directory);
// The rule of a usable name above.
bool usable_name(mem::Bytes name);
// True when names followed that the page had no room for.
inline bool listing_more(const Listing* listing) { return listing->full != 0; }
bool is_dot_name(mem::Bytes name);

// Deletes a folder with everything in it, up to 16 pages of 64 names per folder. A symbolic link is removed, never
// followed; a name that is unusable is never deleted (the folder then stays: 5). A missing folder gives 0.
u32 delete_tree(mem::Bytes folder);

// A share or folder path made ready for the host and the candidate: the local forms "\\?\X:\..." and "\\.\X:\..."
// stand for "X:\...", "\\?\UNC\server\share" for "\\server\share", and "." and ".." are resolved (against the current
// folder for a relative path) before anything is made, so folders are made only along the path that is used; out
// gets that path. 0, or not_directory when the path names a device (NUL, C:\con\x) or something else than a folder
// is in the way, unreachable when the share's server does not answer, or the class of the folder that could not be
// made. On Linux the path is taken as it is.
u32 prepare_share(mem::Bytes path, store::Path* out);
// The words for prepare_share's answer: "not a folder", "cannot reach the share", or the class's text.
mem::Bytes share_text(u32 result);

// The drive type of the file system holding the path: 0 unknown, 1 no root (a drive or UNC path, or nothing to ask),
// 2 removable, 3 fixed, 4 remote, 5 optical, 6 RAM disk.
enum : u32 { drive_unknown = 0, drive_no_root = 1, drive_removable = 2, drive_fixed = 3, drive_remote = 4,
             drive_optical = 5, drive_ram = 6 };
u32 drive_type(mem::Bytes path);
// The network name ("\\server\share") of a mapped drive; Linux has no drive letters, and a folder on a network mount
// (cifs, smb3, nfs) gives its share's name.
bool unc_of_drive(mem::Bytes path, store::Path* out);

}  // namespace fs
