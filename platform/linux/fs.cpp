// The file layer on Linux, every section of platform/fs.h but the updater's steps (fs_update.cpp): errors, paths,
// the per-user folders, descriptors, replacing and whole files, folders, the environment and the share's files. It
// is a little over 1,500 lines and kept whole: its sections share the one error map and descriptor helpers at the
// top, and a split would only move those into a header of their own.
#include "platform/fs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include "base/path.h"
#include "platform/netshare.h"
#include "platform/os.h"

namespace fs {
namespace {

// ---- Error numbers, mapped once: the general layer's class and the share layer's code of each.

struct ErrnoRow {
  int number;
  u32 error_class;
  u32 io_code;
};

const ErrnoRow errno_rows[] = {
    {ENAMETOOLONG, bad_name, io_not_found},
    {ELOOP, bad_name, io_not_plain},
    {EILSEQ, bad_name, io_failed},
    {ENOENT, not_found, io_not_found},
    {ENOTDIR, not_found, io_not_found},  // a path component that is not a folder: the path is not there
    {EEXIST, exists, io_exists},
    {EACCES, denied, io_denied},
    {EPERM, denied, io_denied},
    {EBUSY, denied, io_in_use},
    {ETXTBSY, denied, io_in_use},
    {ENOTEMPTY, not_empty, io_failed},
    {EFBIG, too_large, io_failed},
    {EMSGSIZE, too_large, io_failed},
    {E2BIG, too_large, io_failed},
    {EISDIR, not_plain_file, io_denied},  // the system's own file API denies opening a folder as a file
    {EINVAL, invalid, io_failed},
    {EFAULT, invalid, io_failed},
    {EADDRNOTAVAIL, invalid, io_failed},
    {EISCONN, invalid, io_failed},
    {EAGAIN, would_block, io_failed},
    {ETIMEDOUT, timed_out, io_failed},
    {ENOTCONN, not_connected, io_failed},
    {ESHUTDOWN, not_connected, io_failed},
    {ECANCELED, aborted, io_failed},
    {ECONNABORTED, aborted, io_failed},
    {ECONNREFUSED, refused, io_failed},
    {ECONNRESET, reset, io_failed},
    {EPIPE, reset, io_failed},
    {ENETUNREACH, unreachable, io_failed},
    {EHOSTUNREACH, unreachable, io_failed},
    {ENETDOWN, unreachable, io_failed},
    {EHOSTDOWN, unreachable, io_failed},
    {EADDRINUSE, address_in_use, io_failed},
    {ENOSPC, no_space, io_no_space},
    {EDQUOT, no_space, io_no_space},
    {EROFS, write_protected, io_denied},
    {EMFILE, too_many_open, io_failed},
    {ENFILE, too_many_open, io_failed},
    {EBADF, bad_handle, io_failed},
    {ENOTSOCK, bad_handle, io_failed},
    {EINTR, interrupted, io_failed},
    {EAFNOSUPPORT, unsupported, io_failed},
    {EPROTONOSUPPORT, unsupported, io_failed},
    {EOPNOTSUPP, unsupported, io_failed},
    {ESOCKTNOSUPPORT, unsupported, io_failed},
};

const ErrnoRow* errno_row(u32 number) {
  for (const ErrnoRow& row : errno_rows) {
    if (static_cast<u32>(row.number) == number) return &row;
  }
  return nullptr;
}



// ---- Paths.

// No read or write call moves more than this.
const u64 piece_max = 1 << 20;

inline bool is_separator(u8 c) { return c == '/' || c == '\\'; }

// A path for the system: "\" turned into "/", NUL-terminated.
struct NativePath {
  char text[4096];
};

// Whole UTF-8: every sequence complete, shortest form, no surrogate, at most U+10FFFF.
bool is_utf8(const char* text, u64 n) {
  const u32 least[4] = {0, 0x80, 0x800, 0x10000};
  for (u64 i = 0; i < n;) {
    u8 c = static_cast<u8>(text[i]);
    u32 more = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 4;
    if (more == 4 || n - i <= more) return false;
    u32 cp = more == 0 ? c : c & (0x3F >> more);
    for (u32 k = 1; k <= more; ++k) {
      u8 t = static_cast<u8>(text[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      cp = cp << 6 | (t & 0x3F);
    }
    if (cp < least[more] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += more + 1;
  }
  return true;
}

enum PathRule : u32 { ascii_path, utf8_path };

// The system's form of a path; bad_name for a NUL byte, a byte of 128 or more (ASCII paths), a path the system
// cannot take (4096 bytes or more), a drive letter or a UNC or device form (two separators at the start); 2 for an
// empty path. Both layers take UTF-8 names as the user typed them.
u32 to_native(mem::Bytes path, NativePath* out, PathRule rule = utf8_path) {
  if (path.len == 0) return not_found;
  if (path.len >= sizeof out->text) return bad_name;
  if (path.len >= 2 && path.ptr[1] == ':') return bad_name;
  if (path.len >= 2 && is_separator(path.ptr[0]) && is_separator(path.ptr[1])) return bad_name;
  for (u64 i = 0; i < path.len; ++i) {
    u8 c = path.ptr[i];
    if (c == 0 || (c >= 128 && rule == ascii_path)) return bad_name;
    out->text[i] = c == '\\' ? '/' : static_cast<char>(c);
  }
  out->text[path.len] = 0;
  return ok;
}

// The share layer's paths: at most 298 bytes. The names the program makes inside a share are ASCII; the folders
// above it are this machine's own and may be named in UTF-8.
bool to_short(mem::Bytes path, NativePath* out) {
  return path.len <= short_path_max && to_native(path, out, utf8_path) == ok &&
         is_utf8(out->text, path.len);
}

// The folder of a native path: "." for a bare name, "/" for a name in the root.
void folder_of(const char* path, NativePath* out) {
  const char* slash = strrchr(path, '/');
  if (!slash) {
    strcpy(out->text, ".");
  } else if (slash == path) {
    strcpy(out->text, "/");
  } else {
    u64 n = static_cast<u64>(slash - path);
    memcpy(out->text, path, n);
    out->text[n] = 0;
  }
}

// ---- The per-user folders: APPDATA and LOCALAPPDATA on the system the program was written for.

struct UserFolder {
  const char* name;
  const char* xdg;
  const char* below_home;
};
const UserFolder user_folders[] = {
    {"APPDATA", "XDG_CONFIG_HOME", "/.config"},
    {"LOCALAPPDATA", "XDG_DATA_HOME", "/.local/share"},
};

// Variables that name folders: their values may be UTF-8, as the user's folder names are.
bool is_folder_variable(const char* key) {
  return strcmp(key, "APPDATA") == 0 || strcmp(key, "LOCALAPPDATA") == 0 || strcmp(key, "XDG_RUNTIME_DIR") == 0;
}

// The folder's path into scratch; null when neither the variable nor HOME gives an absolute path.
const char* user_folder_path(const UserFolder& folder, NativePath* scratch) {
  const char* value = getenv(folder.xdg);
  if (value && value[0] == '/') return value;
  const char* home = getenv("HOME");
  if (!home || home[0] != '/') return nullptr;
  int n = snprintf(scratch->text, sizeof scratch->text, "%s%s", home, folder.below_home);
  return n > 0 && static_cast<u64>(n) < sizeof scratch->text ? scratch->text : nullptr;
}

// The next component of a path at *at, passing over separators and "." components.
bool next_component(const char* path, u64* at, const char** start, u64* length) {
  for (;;) {
    while (path[*at] == '/') ++*at;
    if (path[*at] == 0) return false;
    *start = path + *at;
    while (path[*at] != 0 && path[*at] != '/') ++*at;
    *length = static_cast<u64>(path + *at - *start);
    if (!(*length == 1 && **start == '.')) return true;
  }
}

// True when the absolute path is the root or lies below it, compared component by component.
bool lies_under(const char* path, const char* root) {
  u64 at_path = 0, at_root = 0;
  const char *a = nullptr, *b = nullptr;
  u64 na = 0, nb = 0;
  while (next_component(root, &at_root, &b, &nb)) {
    if (!next_component(path, &at_path, &a, &na) || na != nb || memcmp(a, b, na) != 0) return false;
  }
  return true;
}

// Files and folders under the per-user folders are the user's alone, as a private profile is.
bool is_private(const char* path) {
  NativePath absolute;
  if (path[0] != '/') {
    if (!getcwd(absolute.text, sizeof absolute.text)) return false;
    u64 n = strlen(absolute.text);
    if (snprintf(absolute.text + n, sizeof absolute.text - n, "/%s", path) >= static_cast<int>(sizeof absolute.text - n)) {
      return false;
    }
    path = absolute.text;
  }
  for (const UserFolder& folder : user_folders) {
    NativePath scratch;
    const char* root = user_folder_path(folder, &scratch);
    if (root && lies_under(path, root)) return true;
  }
  return false;
}

mode_t file_mode(const char* path) { return is_private(path) ? 0600 : 0666; }
mode_t folder_mode(const char* path) { return is_private(path) ? 0700 : 0777; }

// ---- Descriptors.

inline int fd_of(u64 handle) { return static_cast<int>(handle - 1); }
inline u64 handle_of(int fd) { return static_cast<u64>(fd) + 1; }

bool is_directory(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Opens a regular file without ever waiting: opening a pipe or a device may block, so the open does not, and only
// a regular file is kept; afterwards the descriptor blocks as usual. -1 on failure, with the open's error number,
// or 0 and the type bits of what is there instead of a regular file.
int open_regular(const char* path, int flags, mode_t mode, int* open_error, mode_t* type) {
  *open_error = 0;
  *type = S_IFREG;
  int fd = ::open(path, flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, mode);
  if (fd < 0) {
    *open_error = errno;
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *type = st.st_mode & S_IFMT;
    ::close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

// A plain file for the general layer: 8 for a folder, a pipe or a device (ENXIO: a pipe without a reader).
int open_plain(const char* path, int flags, mode_t mode, u32* error) {
  int open_error = 0;
  mode_t type = 0;
  int fd = open_regular(path, flags, mode, &open_error, &type);
  *error = fd >= 0                                    ? ok
           : open_error == 0 || open_error == ENXIO ? not_plain_file
                                                      : error_class(static_cast<u32>(open_error));
  if (*error == denied && is_directory(path)) *error = not_plain_file;
  return fd;
}

// Writes all bytes at the file position, in pieces; a short write goes on, an interrupted one is repeated.
u32 write_all(int fd, mem::Bytes bytes) {
  u64 done = 0;
  while (done < bytes.len) {
    u64 n = bytes.len - done < piece_max ? bytes.len - done : piece_max;
    ssize_t w = write(fd, bytes.ptr + done, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return error_class(static_cast<u32>(errno));
    if (w == 0) return other;
    done += static_cast<u64>(w);
  }
  return ok;
}

// Flushes a folder so a rename or a new name in it survives a crash. File systems that cannot flush a folder
// answer EINVAL, which is not a failure.
u32 sync_folder_of(const char* path) {
  NativePath folder;
  folder_of(path, &folder);
  int fd = ::open(folder.text, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return error_class(static_cast<u32>(errno));
  u32 result = fsync(fd) == 0 || errno == EINVAL ? ok : error_class(static_cast<u32>(errno));
  ::close(fd);
  return result;
}

// Puts a file's data on the disk before it is renamed over another name; nothing for anything but a plain file.
void sync_data(const char* path) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) fdatasync(fd);
  ::close(fd);
}

// A rename whose source data and whose new name are on the disk when it returns; the error number or 0.
int durable_rename(const char* from, const char* to, u32* folder_result) {
  sync_data(from);
  if (rename(from, to) != 0) return errno;
  *folder_result = sync_folder_of(to);
  return 0;
}

// A fresh name beside the path for a temporary file: the path, ".tmp-" and 8 random hex digits.
bool temporary_name(const char* path, NativePath* out) {
  u8 random[4];
  u32 value = os::random_bytes(mem::Slice{random, 4}) ? (u32{random[0]} | u32{random[1]} << 8 | u32{random[2]} << 16 |
                                                        u32{random[3]} << 24)
                                                     : os::process_id() ^ static_cast<u32>(os::ticks());
  int n = snprintf(out->text, sizeof out->text, "%s.tmp-%08x", path, value);
  return n > 0 && static_cast<u64>(n) < sizeof out->text;
}

// Creates a new temporary file beside the path with the mode; the descriptor, or -1 with the class.
int create_temporary(const char* path, mode_t mode, NativePath* name, u32* error) {
  for (u32 attempt = 0; attempt < 8; ++attempt) {
    if (!temporary_name(path, name)) {
      *error = bad_name;
      return -1;
    }
    int fd = open_plain(name->text, O_WRONLY | O_CREAT | O_EXCL, mode, error);
    if (fd >= 0 || *error != exists) return fd;
  }
  return -1;
}

// Finishes a temporary file: its data on the disk, closed, renamed over the target, the folder flushed. On any
// failure the temporary file is removed and the target is untouched.
u32 commit_temporary(int fd, const NativePath& temporary, const char* target, u32 result) {
  if (result == ok && fdatasync(fd) != 0) result = error_class(static_cast<u32>(errno));
  if (::close(fd) != 0 && result == ok) result = other;
  if (result == ok) {
    u32 folder_result = ok;
    int e = durable_rename(temporary.text, target, &folder_result);
    if (e == 0) return folder_result;
    result = error_class(static_cast<u32>(e));
  }
  unlink(temporary.text);
  return result;
}

// ---- Replacing a file.

// Follows symbolic links at the path until it names something that is not a link, or nothing: a replace writes
// through a link, never over it. bad_name for a loop (or a chain too long) or a target that does not fit.
u32 resolve_links(NativePath* path) {
  for (u32 hop = 0; hop < 40; ++hop) {
    struct stat st;
    if (lstat(path->text, &st) != 0) return errno == ENOENT ? ok : error_class(static_cast<u32>(errno));
    if (!S_ISLNK(st.st_mode)) return ok;
    char target[sizeof path->text];
    ssize_t n = readlink(path->text, target, sizeof target - 1);
    if (n <= 0) return n == 0 ? bad_name : error_class(static_cast<u32>(errno));
    target[n] = 0;
    NativePath next;
    if (target[0] == '/') {
      memcpy(next.text, target, static_cast<u64>(n) + 1);
    } else {
      // A relative target is read from the link's own folder.
      NativePath folder;
      folder_of(path->text, &folder);
      int m = snprintf(next.text, sizeof next.text, "%s/%s", folder.text, target);
      if (m <= 0 || static_cast<u64>(m) >= sizeof next.text) return bad_name;
    }
    *path = next;
  }
  return bad_name;
}

// The last component of a native path; empty when the path ends in a separator.
const char* name_of(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

// A name of the form "<name>.tmp-" and 8 lower-case hex digits: a replace's temporary file.
bool is_temporary_of(const char* entry, const u8* name, u64 name_length) {
  u64 n = strlen(entry);
  if (n != name_length + 13 || memcmp(entry, name, name_length) != 0 || memcmp(entry + name_length, ".tmp-", 5) != 0) {
    return false;
  }
  for (u64 i = name_length + 5; i < n; ++i) {
    if (!((entry[i] >= '0' && entry[i] <= '9') || (entry[i] >= 'a' && entry[i] <= 'f'))) return false;
  }
  return true;
}

// A live replace holds a lock on its temporary file from its creation until it has its final name, so another
// replace can tell a file whose writer is gone (killed, its lock released with it) from one still being written.
void hold_temporary(int fd) { flock(fd, LOCK_EX | LOCK_NB); }

// Whether a leftover temporary file may go: its lock can be taken (its writer is gone). Where the file system keeps
// no such locks, one untouched for a minute goes (a live replace is never that slow between its writes).
bool abandoned(int folder, const char* entry, const struct stat& st, i64 now) {
  int fd = openat(folder, entry, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  bool taken = flock(fd, LOCK_EX | LOCK_NB) == 0;
  bool unlockable = !taken && errno != EWOULDBLOCK;
  ::close(fd);
  return taken || (unlockable && now - st.st_mtim.tv_sec >= 60);
}

// Temporary files of earlier replaces of the name that a killed process left behind: the user's own plain files
// whose writer is gone. At most 64 go per call.
void sweep_temporaries(int folder, const u8* name, u64 name_length) {
  int fd = fcntl(folder, F_DUPFD_CLOEXEC, 0);
  DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (!dir) {
    if (fd >= 0) ::close(fd);
    return;
  }
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  u32 removed = 0;
  for (const dirent* entry = readdir(dir); entry && removed < 64; entry = readdir(dir)) {
    if (!is_temporary_of(entry->d_name, name, name_length)) continue;
    struct stat st;
    if (fstatat(folder, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != geteuid() || !abandoned(folder, entry->d_name, st, now.tv_sec)) {
      continue;
    }
    if (unlinkat(folder, entry->d_name, 0) == 0) ++removed;
  }
  closedir(dir);
}

// The first failure of a replace's steps is kept; the temporary file goes with it.
u32 replace_fail(Replacement* r, u32 result) {
  if (r->failure == ok) r->failure = result;
  replace_abandon(r);
  return result;
}

// A fresh "<name>.tmp-XXXXXXXX" in the record.
void temporary_in(Replacement* r) {
  u8 random[4];
  u32 value = os::random_bytes(mem::Slice{random, 4}) ? (u32{random[0]} | u32{random[1]} << 8 | u32{random[2]} << 16 |
                                                        u32{random[3]} << 24)
                                                     : os::process_id() ^ static_cast<u32>(os::ticks());
  memcpy(r->temporary, r->name, r->name_length);
  int n = snprintf(reinterpret_cast<char*>(r->temporary) + r->name_length, sizeof r->temporary - r->name_length,
                   ".tmp-%08x", value);
  r->temporary_length = static_cast<u16>(r->name_length + n);
  r->temporary[r->temporary_length] = 0;
}

// Opens a temporary file under a fresh name in the folder, created exclusively; the descriptor or -1 with the
// class in *error.
int open_named(Replacement* r, u32* error) {
  for (u32 attempt = 0; attempt < 8; ++attempt) {
    temporary_in(r);
    int fd = openat(fd_of(r->folder), reinterpret_cast<const char*>(r->temporary),
                    O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) hold_temporary(fd);
    if (fd >= 0) return fd;
    if (errno != EEXIST) {
      *error = error_class(static_cast<u32>(errno));
      r->temporary_length = 0;
      return -1;
    }
  }
  *error = exists;
  r->temporary_length = 0;
  return -1;
}

// The mode the result gets, exactly, whatever the process's mask; the owner first, since a change of owner clears
// some bits. Without the privilege to give a file away, the result is the process's own.
u32 apply_mode(Replacement* r) {
  if ((r->owner != geteuid() || r->group != getegid()) && fchown(fd_of(r->file), r->owner, r->group) != 0) {
    r->owner = geteuid();
  }
  return fchmod(fd_of(r->file), r->mode) == 0 ? ok : error_class(static_cast<u32>(errno));
}

u32 copy_bytes(int in, int out);

// Gives an unnamed temporary file a fresh name in its folder (a link never replaces anything, so the name is
// taken exclusively): through /proc where it is mounted, else by the descriptor itself (which needs privilege).
// Where neither is allowed the data moves into a named temporary file instead.
u32 name_temporary(Replacement* r) {
  char self[40];
  snprintf(self, sizeof self, "/proc/self/fd/%d", fd_of(r->file));
  int e = 0;
  for (u32 attempt = 0; attempt < 8; ++attempt) {
    temporary_in(r);
    const char* name = reinterpret_cast<const char*>(r->temporary);
    if (linkat(AT_FDCWD, self, fd_of(r->folder), name, AT_SYMLINK_FOLLOW) == 0) return ok;
    e = errno;
    if (e == ENOENT && linkat(fd_of(r->file), "", fd_of(r->folder), name, AT_EMPTY_PATH) == 0) return ok;
    if (e == ENOENT) e = errno;
    if (e != EEXIST) break;
  }
  r->temporary_length = 0;
  if (e == EEXIST) return exists;
  int unnamed = fd_of(r->file);
  u32 result = ok;
  int named = open_named(r, &result);
  if (named < 0) return result;
  r->file = handle_of(named);
  result = apply_mode(r);
  if (result == ok) result = lseek(unnamed, 0, SEEK_SET) == 0 ? copy_bytes(unnamed, named) : other;
  if (result == ok && fdatasync(named) != 0) result = error_class(static_cast<u32>(errno));
  ::close(unnamed);
  return result;
}

// Opens the temporary file in the folder: unnamed where the file system allows it, else under a fresh name.
u32 open_temporary(Replacement* r) {
  int fd = openat(fd_of(r->folder), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) {
    return error_class(static_cast<u32>(errno));
  }
  if (fd >= 0) hold_temporary(fd);  // before it has a name
  u32 result = ok;
  if (fd < 0) fd = open_named(r, &result);
  if (fd < 0) return result;
  r->file = handle_of(fd);
  return ok;
}

// What is under the target's name now: ok for nothing or a plain file (mode and owner out), 8 for anything else.
u32 target_state(const Replacement* r, struct stat* st, bool* present) {
  *present = false;
  if (fstatat(fd_of(r->folder), reinterpret_cast<const char*>(r->name), st, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? ok : error_class(static_cast<u32>(errno));
  }
  *present = true;
  return S_ISREG(st->st_mode) ? ok : not_plain_file;
}

// Copies the rest of one file into another: in the kernel where the two file systems allow it, else through a buffer.
u32 copy_bytes(int in, int out) {
  bool in_kernel = true;
  for (;;) {
    ssize_t n;
    if (in_kernel) {
      n = copy_file_range(in, nullptr, out, nullptr, piece_max, 0);
      if (n < 0 && errno != EINTR) {
        in_kernel = false;  // both offsets moved by what was copied, so the buffer goes on from there
        continue;
      }
    } else {
      u8 buffer[65536];
      n = read(in, buffer, sizeof buffer);
      u32 result = n > 0 ? write_all(out, mem::Bytes(buffer, static_cast<u64>(n))) : ok;
      if (result != ok) return result;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return error_class(static_cast<u32>(errno));
    if (n == 0) return ok;
  }
}

u64 filetime_of(const timespec& t) {
  return (static_cast<u64>(t.tv_sec) + 11644473600ull) * 10000000ull + static_cast<u64>(t.tv_nsec) / 100;
}

}  // namespace

// ---- Classes.

u32 error_class(u32 system_error) {
  const ErrnoRow* row = errno_row(system_error);
  return row ? row->error_class : other;
}

u32 last_error() { return static_cast<u32>(errno); }

bool absolute(mem::Bytes path) { return path.len != 0 && path.ptr[0] == '/'; }

// ---- Whole files.

u32 read_file(mem::Bytes path, mem::Arena* arena, mem::Slice* out) {
  *out = mem::Slice{};
  File file{};
  u32 result = open_sized(path, &file);
  if (result != ok) return result;
  if (file.size != 0) {
    if (arena->capacity - arena->used < file.size) {
      close(&file);
      return no_room;
    }
    u64 mark = arena->used;
    mem::Slice bytes = mem::alloc(arena, file.size, 1);
    u64 count = 0;
    if (read_at(&file, 0, bytes, &count) != ok || count != file.size) {
      // The arena hands out zeroed bytes, so what was read is wiped before it is given back.
      mem::fill(bytes, 0);
      arena->used = mark;
      close(&file);
      return other;
    }
    *out = bytes;
  }
  close(&file);
  return ok;
}

u32 write_with(mem::Bytes path, mem::Bytes bytes, u32 access, u32 disposition) {
  NativePath native;
  u32 result = to_native(path, &native);
  if (result != ok) return result;
  int flags = access == access_append ? O_WRONLY | O_APPEND : access == access_write ? O_WRONLY : -1;
  int how = disposition == create_always ? O_CREAT | O_TRUNC
            : disposition == open_always ? O_CREAT
            : disposition == create_new  ? O_CREAT | O_EXCL
            : disposition == open_existing ? 0
                                           : -1;
  if (flags < 0 || how < 0) return invalid;
  int fd = open_plain(native.text, flags | how, file_mode(native.text), &result);
  if (fd < 0) return result;
  result = write_all(fd, bytes);
  if (::close(fd) != 0 && result == ok) result = other;
  return result;
}

u32 write_file(mem::Bytes path, mem::Bytes bytes) { return write_with(path, bytes, access_write, create_always); }
u32 append_file(mem::Bytes path, mem::Bytes bytes) { return write_with(path, bytes, access_append, open_always); }

namespace {

// Makes every missing folder above the path.
u32 make_parents(mem::Bytes path) {
  u64 folder = path.len;
  while (folder > 0 && path.ptr[folder - 1] != '/' && path.ptr[folder - 1] != '\\') --folder;
  return folder > 1 ? make_directories(mem::Bytes(path.ptr, folder - 1)) : ok;
}

}  // namespace

u32 save_file(mem::Bytes path, mem::Bytes bytes) {
  u32 result = make_parents(path);
  return result == ok ? replace_file(path, bytes) : result;
}

u32 save_private(mem::Bytes path, mem::Bytes bytes) {
  NativePath native, temporary;
  u32 result = to_native(path, &native);
  if (result != ok) return result;
  struct stat st;
  if (lstat(native.text, &st) == 0 && !S_ISREG(st.st_mode)) return not_plain_file;
  result = make_parents(path);
  if (result != ok) return result;
  int fd = create_temporary(native.text, 0600, &temporary, &result);
  if (fd < 0) return result;
  // The creation mode passes through the umask, which can only take bits away; the mode is set all the same, so
  // the secret never exists with more than its owner's bits.
  result = fchmod(fd, 0600) == 0 ? ok : error_class(static_cast<u32>(errno));
  if (result == ok) result = write_all(fd, bytes);
  return commit_temporary(fd, temporary, native.text, result);
}

u32 replace_file(mem::Bytes path, mem::Bytes bytes) {
  Replacement r;
  u32 result = replace_begin(path, 0, &r);
  if (result == ok) result = replace_write(&r, bytes);
  return result == ok ? replace_commit(&r) : result;
}

u32 replace_begin(mem::Bytes path, u32 flags, Replacement* r) {
  memset(r, 0, sizeof *r);
  NativePath native;
  u32 result = to_native(path, &native);
  // Whatever the path leads to must be a plain file or nothing: a device, pipe, socket or folder is never replaced.
  struct stat st;
  if (result == ok && stat(native.text, &st) == 0 && !S_ISREG(st.st_mode)) result = not_plain_file;
  if (result == ok) result = resolve_links(&native);
  const char* name = name_of(native.text);
  u64 name_length = strlen(name);
  if (result == ok && (name_length == 0 || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)) result = not_plain_file;
  if (result == ok && name_length >= sizeof r->name) result = bad_name;
  if (result != ok) return replace_fail(r, result);
  memcpy(r->name, name, name_length + 1);
  r->name_length = static_cast<u16>(name_length);
  NativePath folder;
  folder_of(native.text, &folder);
  int dir = ::open(folder.text, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return replace_fail(r, error_class(static_cast<u32>(errno)));
  r->folder = handle_of(dir);
  bool present = false;
  result = target_state(r, &st, &present);
  if (result != ok) return replace_fail(r, result);
  // A file its owner made read-only is not replaced, as the system's own replace refuses it.
  if (present && (st.st_mode & S_IWUSR) == 0) return replace_fail(r, denied);
  r->mode = present ? st.st_mode & 07777 : 0600;
  // Secrets, and whatever lives in the per-user folders, are the user's alone whatever the old file allowed.
  if ((flags & replace_private) || is_private(native.text)) r->mode = 0600;
  r->owner = present ? st.st_uid : geteuid();
  r->group = present ? st.st_gid : getegid();
  sweep_temporaries(dir, r->name, r->name_length);
  result = open_temporary(r);
  if (result == ok) result = apply_mode(r);
  return result == ok ? ok : replace_fail(r, result);
}

u32 replace_write(Replacement* r, mem::Bytes bytes) {
  if (r->failure != ok) return r->failure;
  if (r->file == 0) return bad_handle;
  u32 result = write_all(fd_of(r->file), bytes);
  return result == ok ? ok : replace_fail(r, result);
}

u32 replace_commit(Replacement* r) {
  if (r->failure != ok) return r->failure;
  if (r->file == 0) return bad_handle;
  if (fdatasync(fd_of(r->file)) != 0) return replace_fail(r, error_class(static_cast<u32>(errno)));
  if (r->temporary_length == 0) {
    u32 result = name_temporary(r);  // may move the data into another file
    if (result != ok) return replace_fail(r, result);
  }
  // Checked again just before the move: something else put under the name meanwhile is not replaced either.
  struct stat st;
  bool present = false;
  u32 result = target_state(r, &st, &present);
  if (result != ok) return replace_fail(r, result);
  int dir = fd_of(r->folder);
  if (renameat(dir, reinterpret_cast<const char*>(r->temporary), dir, reinterpret_cast<const char*>(r->name)) != 0) {
    return replace_fail(r, error_class(static_cast<u32>(errno)));
  }
  r->temporary_length = 0;
  // Closed only now that the file has its final name: until then its lock tells a sweep that it is alive.
  int fd = fd_of(r->file);
  r->file = 0;
  bool closed = ::close(fd) == 0;
  result = fsync(dir) == 0 || errno == EINVAL ? ok : error_class(static_cast<u32>(errno));
  if (result == ok && !closed) result = other;
  replace_abandon(r);
  return result;
}

void replace_abandon(Replacement* r) {
  if (r->file != 0) ::close(fd_of(r->file));
  if (r->temporary_length != 0 && r->folder != 0) {
    unlinkat(fd_of(r->folder), reinterpret_cast<const char*>(r->temporary), 0);
  }
  if (r->folder != 0) ::close(fd_of(r->folder));
  r->file = 0;
  r->folder = 0;
  r->temporary_length = 0;
}

u32 move_file(mem::Bytes from, mem::Bytes to) {
  NativePath source, target;
  u32 result = to_native(from, &source);
  if (result == ok) result = to_native(to, &target);
  if (result != ok) return result;
  u32 folder_result = ok;
  int e = durable_rename(source.text, target.text, &folder_result);
  if (e == 0) return folder_result;
  result = error_class(static_cast<u32>(e));
  if (result == denied && is_directory(target.text) && !is_directory(source.text)) result = not_plain_file;
  return result;
}

u32 delete_file(mem::Bytes path) {
  NativePath native;
  u32 result = to_native(path, &native);
  if (result != ok) return result;
  if (unlink(native.text) == 0) return ok;
  result = error_class(static_cast<u32>(errno));
  // Deleting needs no write permission on the file itself, so a read-only file needs no second try here.
  if (result != not_plain_file && is_directory(native.text)) result = not_plain_file;
  return result;
}

u32 copy_file(mem::Bytes from, mem::Bytes to) {
  NativePath source, target, temporary;
  if (to_native(from, &source, utf8_path) != ok || to_native(to, &target, utf8_path) != ok) return 0;
  u32 result = ok;
  int in = open_plain(source.text, O_RDONLY, 0, &result);
  if (in < 0) return 0;
  struct stat st;
  mode_t mode = fstat(in, &st) == 0 ? st.st_mode & 07777 : 0600;
  if (is_private(target.text)) mode &= 0700;
  int out = create_temporary(target.text, mode, &temporary, &result);
  if (out < 0) {
    ::close(in);
    return 0;
  }
  // The exact bits, whatever the process's mask: an executable copied stays executable.
  if (fchmod(out, mode) != 0) result = other;
  if (result == ok) result = copy_bytes(in, out);
  ::close(in);
  return commit_temporary(out, temporary, target.text, result) == ok ? 1 : 0;
}

u32 size_and_time(mem::Bytes path, u64* size, u64* time) {
  *size = 0;
  *time = 0;
  NativePath native;
  struct stat st;
  if (to_native(path, &native, utf8_path) != ok || stat(native.text, &st) != 0) return 0;
  *size = static_cast<u64>(st.st_size);
  *time = filetime_of(st.st_mtim);
  return 1;
}

// ---- Reading by offset.

u32 open(mem::Bytes path, u32 access, u64* handle) {
  *handle = 0;
  NativePath native;
  u32 result = to_native(path, &native);
  if (result != ok) return result;
  bool reads = (access & access_read) != 0, writes = (access & (access_write | access_append)) != 0;
  int flags = reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
  if (access & access_append) flags |= O_APPEND;
  int fd = open_plain(native.text, flags, 0, &result);
  if (fd >= 0) *handle = handle_of(fd);
  return result;
}

u32 open_sized(mem::Bytes path, File* file) {
  *file = File{};
  u64 handle = 0;
  u32 result = open(path, access_read, &handle);
  if (result != ok) return result;
  struct stat st;
  if (fstat(fd_of(handle), &st) != 0 || st.st_size < 0) {
    ::close(fd_of(handle));
    return other;
  }
  *file = File{handle, static_cast<u64>(st.st_size)};
  return ok;
}

u32 read_at(const File* file, u64 offset, mem::Slice buffer, u64* count) {
  *count = 0;
  if (file->handle == 0) return bad_handle;
  if (offset >= file->size) return ok;
  u64 want = file->size - offset < buffer.len ? file->size - offset : buffer.len;
  while (*count < want) {
    u64 n = want - *count < piece_max ? want - *count : piece_max;
    ssize_t r = pread(fd_of(file->handle), buffer.ptr + *count, n, static_cast<off_t>(offset + *count));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return error_class(static_cast<u32>(errno));
    if (r == 0) break;
    *count += static_cast<u64>(r);
  }
  return ok;
}

void close(File* file) {
  if (file->handle != 0) ::close(fd_of(file->handle));
  *file = File{};
}

// ---- Folders.

u32 make_directory(mem::Bytes path) {
  NativePath native;
  u32 result = to_native(path, &native);
  if (result != ok) return result;
  return mkdir(native.text, folder_mode(native.text)) == 0 ? ok : error_class(static_cast<u32>(errno));
}

u32 ensure_directory(mem::Bytes path) {
  u32 result = make_directory(path);
  return result == exists && kind(path) == 2 ? ok : result;
}

u32 make_directories(mem::Bytes path) {
  if (path.len == 0) return bad_name;
  u64 root = root_length(path);
  for (u64 i = root; i < path.len; ++i) {
    if (!is_separator(path.ptr[i]) || i == 0 || is_separator(path.ptr[i - 1])) continue;
    mem::Bytes prefix(path.ptr, i);
    u32 result = make_directory(prefix);
    if (result == exists && kind(prefix) == 2) continue;
    if (result != ok) return result;
  }
  u64 end = path.len;
  while (end > 1 && is_separator(path.ptr[end - 1])) --end;
  return end >= root ? ensure_directory(mem::Bytes(path.ptr, end)) : ok;
}

u32 prepare_share(mem::Bytes path, store::Path* out) {
  store::path_set(out, path);
  if (out->overflow) return too_large;
  const u32 made = make_directories(path);
  if (made == ok || kind(path) == 2) return ok;
  return made == exists ? not_directory : made;
}

u32 kind(mem::Bytes path) {
  NativePath native;
  struct stat st;
  if (to_native(path, &native) != ok || stat(native.text, &st) != 0) return 0;
  return S_ISDIR(st.st_mode) ? 2 : 1;
}

u32 attributes(mem::Bytes path) {
  NativePath native;
  struct stat st;
  if (to_native(path, &native) != ok || lstat(native.text, &st) != 0) return 0xFFFFFFFF;
  u32 bits = 0;
  if (S_ISLNK(st.st_mode)) {
    bits |= attr_link;
    if (stat(native.text, &st) != 0) return bits;  // a dangling link is still a link
  }
  if (S_ISDIR(st.st_mode)) bits |= attr_directory;
  if ((st.st_mode & S_IWUSR) == 0) bits |= attr_read_only;
  return bits != 0 ? bits : attr_normal;
}

u32 owner_only(mem::Bytes path) {
  NativePath native;
  struct stat st;
  if (to_native(path, &native) != ok || stat(native.text, &st) != 0) return 0;
  return S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

// ---- Environment and the temporary folder.

u32 env_var(mem::Bytes name, mem::Slice buffer, u64* length) {
  *length = 0;
  char key[256];
  if (name.len >= sizeof key) return not_found;
  for (u64 i = 0; i < name.len; ++i) {
    if (name.ptr[i] == 0 || name.ptr[i] >= 128) return bad_name;
    key[i] = static_cast<char>(name.ptr[i]);
  }
  key[name.len] = 0;
  const char* value = nullptr;
  NativePath scratch;
  bool user_folder = false;
  for (const UserFolder& folder : user_folders) {
    if (strcmp(key, folder.name) == 0) {
      value = user_folder_path(folder, &scratch);
      user_folder = true;
    }
  }
  if (!user_folder) value = getenv(key);
  if (!value) return not_found;
  u64 n = strlen(value);
  if (n >= 32768 || n > buffer.len) return too_large;
  bool ascii = true;
  for (u64 i = 0; i < n; ++i) ascii = ascii && static_cast<u8>(value[i]) < 128;
  if (!ascii && !(is_folder_variable(key) && is_utf8(value, n))) return bad_name;
  if (n != 0) memcpy(buffer.ptr, value, n);
  *length = n;
  return ok;
}

namespace {

// Appends text at *at, as much as fits.
void put_text(mem::Slice out, u64* at, const char* text, u64 n) {
  for (u64 i = 0; i < n && *at < out.len; ++i) out.ptr[(*at)++] = static_cast<u8>(text[i]);
}

void put_shown(mem::Slice out, u64* at, const char* text) {
  const char digits[] = "0123456789abcdef";
  for (const char* c = text; *c; ++c) {
    u8 b = static_cast<u8>(*c);
    if (b >= 32 && b < 127) {
      put_text(out, at, c, 1);
    } else {
      const char escaped[4] = {'\\', 'x', digits[b >> 4], digits[b & 15]};
      put_text(out, at, escaped, 4);
    }
  }
}

}  // namespace

u64 folder_refusal(mem::Bytes name, mem::Slice out) {
  const char* variable = nullptr;
  const UserFolder* user = nullptr;
  for (const UserFolder& folder : user_folders) {
    if (mem::eq(name, mem::Bytes(reinterpret_cast<const u8*>(folder.name), strlen(folder.name)))) user = &folder;
  }
  if (user) variable = user->xdg;
  else if (mem::eq(name, mem::lit("XDG_RUNTIME_DIR"))) variable = "XDG_RUNTIME_DIR";
  else return 0;
  const char* value = getenv(variable);
  if (user && !(value && value[0] == '/')) {
    variable = "HOME";
    value = getenv("HOME");
    if (!value || value[0] != '/') {
      u64 at = 0;
      const char* none = "neither $";
      put_text(out, &at, none, strlen(none));
      put_text(out, &at, user->xdg, strlen(user->xdg));
      const char* rest = " nor $HOME names an absolute folder";
      put_text(out, &at, rest, strlen(rest));
      return at;
    }
  }
  if (!value || is_utf8(value, strlen(value))) return 0;
  u64 at = 0;
  put_text(out, &at, "$", 1);
  put_text(out, &at, variable, strlen(variable));
  put_text(out, &at, " (", 2);
  put_shown(out, &at, value);
  const char* why = ") is not UTF-8";
  put_text(out, &at, why, strlen(why));
  return at;
}

u32 temp_folder(mem::Slice buffer, u64* length) {
  *length = 0;
  const char* value = getenv("TMPDIR");
  if (!value || value[0] != '/') value = "/tmp";
  u64 n = strlen(value);
  if (n >= 32768) return other;
  bool add_separator = value[n - 1] != '/';
  if (n + add_separator > buffer.len) return too_large;
  for (u64 i = 0; i < n; ++i) {
    if (static_cast<u8>(value[i]) >= 128) return too_large;
  }
  memcpy(buffer.ptr, value, n);
  if (add_separator) buffer.ptr[n++] = '/';
  *length = n;
  return ok;
}

// ---- Flag answers.


// ---- Share file I/O.

namespace {

// File systems of other machines: the share's own server decides there, and byte-range locks would become the
// server's mandatory locks that other machines' reads run into.
const u32 remote_magics[] = {
    0x6969,      // NFS
    0xFF534D42,  // CIFS
    0xFE534D42,  // SMB2
    0x517B,      // SMB
    0x65735546,  // FUSE
    0x00C36400,  // Ceph
    0x5346414F,  // AFS
    0x01021997,  // 9P
    0x73757245,  // Coda
};

bool is_remote(u32 magic) {
  for (u32 m : remote_magics) {
    if (m == magic) return true;
  }
  return false;
}

// Disk and memory file systems of this machine: whoever writes a file there, another machine through a server of
// this one included, writes through this machine's cache, so a cached read sees the newest bytes.
const u32 local_magics[] = {
    0xEF53,      // ext2, ext3, ext4
    0x58465342,  // XFS
    0x9123683E,  // Btrfs
    0xF2F52010,  // F2FS
    0x2FC12FC1,  // ZFS
    0xCA451A4E,  // bcachefs
    0x01021994,  // tmpfs
    0x858458F6,  // ramfs
};

bool cache_is_whole(int fd) {
  struct statfs about;
  if (fstatfs(fd, &about) != 0) return false;
  for (u32 m : local_magics) {
    if (m == static_cast<u32>(about.f_type)) return true;
  }
  return false;
}

u32 io_code(int number) {
  const ErrnoRow* row = errno_row(static_cast<u32>(number));
  return row ? row->io_code : io_failed;
}

// Sharing between open handles, kept with open-file-description locks on two bytes far past any data: every
// handle that writes holds a shared lock on one, every handle that keeps writers out holds a shared lock on the
// other. A new handle first takes its own locks, then looks for a conflicting lock of another handle; of two
// conflicting opens racing, at least one sees the other.
const off_t writer_byte = 0x7FFFFFFFFFFFFFFE;
const off_t deny_write_byte = 0x7FFFFFFFFFFFFFFD;

struct flock lock_of(short type, off_t byte) {
  struct flock lock{};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  return lock;
}

bool take_shared(int fd, off_t byte) {
  struct flock lock = lock_of(F_RDLCK, byte);
  return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// F_OFD_GETLK reports only locks of other open files, never the caller's own.
bool held_by_another(int fd, off_t byte) {
  struct flock probe = lock_of(F_WRLCK, byte);
  return fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

// False when the open conflicts with another handle's sharing. Where the file system keeps no such locks, the
// open goes ahead.
bool sharing_allows(int fd, bool writes, bool denies_writers) {
  struct statfs about;
  if (fstatfs(fd, &about) != 0 || is_remote(static_cast<u32>(about.f_type))) return true;
  if (writes && !take_shared(fd, writer_byte)) return true;
  if (denies_writers && !take_shared(fd, deny_write_byte)) return true;
  if (writes && held_by_another(fd, deny_write_byte)) return false;
  if (denies_writers && held_by_another(fd, writer_byte)) return false;
  return true;
}

// A plain file for the share layer: a folder is denied as the system's own file API denies it (4), anything else
// that is not a regular file fails (5). open_error is the open's own error number, or 0. A symbolic link is never
// followed (it fails as 5): every machine of a cluster may write the share, and a link planted there must not
// turn a write of this machine into a write to a file of its own choosing.
int io_open_fd(const char* path, int flags, mode_t mode, u32* code, int* open_error) {
  mode_t type = 0;
  int fd = open_regular(path, flags | O_NOFOLLOW, mode, open_error, &type);
  *code = fd >= 0 ? io_ok : *open_error != 0 ? io_code(*open_error) : S_ISDIR(type) ? io_denied : io_not_plain;
  return fd;
}

// The end of every read of this layer: pieces of at most 1 MiB at explicit offsets; a short piece ends the read.
u32 read_pieces(int fd, u64 offset, mem::Slice buffer, u64* count) {
  *count = 0;
  while (*count < buffer.len) {
    u64 n = buffer.len - *count < piece_max ? buffer.len - *count : piece_max;
    ssize_t r = pread(fd, buffer.ptr + *count, n, static_cast<off_t>(offset + *count));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return io_code(errno);
    *count += static_cast<u64>(r);
    if (static_cast<u64>(r) < n) break;
  }
  return io_ok;
}

u32 io_close_result(u64* slot) {
  u32 code = io_ok;
  if (io_handle_ok(*slot) && ::close(fd_of(*slot)) != 0) code = io_failed;
  *slot = 0;
  return code;
}

// Byte order of zero-padded names is the byte order of the names, as none holds a zero byte.
struct Entry {
  u8 name[32];
  u8 length;
  u8 directory;
};

int compare_entries(const void* a, const void* b) {
  return memcmp(static_cast<const Entry*>(a)->name, static_cast<const Entry*>(b)->name, 32);
}

// A directory entry is a folder only when it is one itself: a symbolic link to a folder is not.
bool entry_is_directory(int folder, const dirent* entry) {
  if (entry->d_type != DT_UNKNOWN) return entry->d_type == DT_DIR;
  struct stat st;
  return fstatat(folder, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

// Reads the whole folder, then counts its names into the listing in byte order, so that pages are stable between
// calls whatever order the file system gives.
u32 list_folder(int folder, Listing* listing) {
  int fd = fcntl(folder, F_DUPFD_CLOEXEC, 0);
  DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (!dir) {
    if (fd >= 0) ::close(fd);
    return io_failed;
  }
  rewinddir(dir);
  Entry* entries = nullptr;
  u64 count = 0, capacity = 0;
  u32 code = io_ok;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (!entry) {
      if (errno != 0) code = io_code(errno);
      break;
    }
    mem::Bytes name(reinterpret_cast<const u8*>(entry->d_name), strlen(entry->d_name));
    if (!usable_name(name)) {
      listing_add(listing, name, false);  // counted, never kept
      continue;
    }
    if (count == capacity) {
      u64 grown = capacity == 0 ? 64 : capacity * 2;
      Entry* more = static_cast<Entry*>(realloc(entries, grown * sizeof(Entry)));
      if (!more) {
        code = io_failed;
        break;
      }
      entries = more;
      capacity = grown;
    }
    Entry& e = entries[count++];
    memset(e.name, 0, sizeof e.name);
    memcpy(e.name, name.ptr, name.len);
    e.length = static_cast<u8>(name.len);
    e.directory = entry_is_directory(folder, entry);
  }
  closedir(dir);
  if (code == io_ok && count > 1) qsort(entries, count, sizeof(Entry), compare_entries);
  for (u64 i = 0; code == io_ok && i < count; ++i) {
    listing_add(listing, mem::Bytes(entries[i].name, entries[i].length), entries[i].directory != 0);
  }
  free(entries);
  return code;
}

u32 delete_rounds(int folder, const store::Path* path);

// A folder below the tree: opened without following a link (a link put in its place since the listing is removed
// as a link), emptied, removed.
u32 delete_subfolder(int parent, const char* name, const store::Path* path) {
  int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return io_ok;
    if (errno != ELOOP && errno != ENOTDIR) return io_code(errno);
    return unlinkat(parent, name, 0) == 0 || errno == ENOENT ? io_ok : io_code(errno);
  }
  u32 code = delete_rounds(fd, path);
  ::close(fd);
  if (code != io_ok) return code;
  return unlinkat(parent, name, AT_REMOVEDIR) == 0 || errno == ENOENT ? io_ok : io_code(errno);
}

// Deletes one page of entries; every entry is tried, and the answer is the code of the last that failed. An
// entry whose path would not fit the path builder fails (5) and is left alone.
u32 delete_listed(int folder, const store::Path* path, const Listing* page) {
  u32 result = io_ok;
  for (u32 i = 0; i < page->count; ++i) {
    store::Path child = *path;
    store::path_join(&child, mem::Bytes(page->names[i], page->lengths[i]));
    char name[33];
    memcpy(name, page->names[i], 32);
    name[page->lengths[i]] = 0;
    u32 code = io_failed;
    if (!child.overflow) {
      if (page->directories >> i & 1) {
        code = delete_subfolder(folder, name, &child);
      } else {
        code = unlinkat(folder, name, 0) == 0 || errno == ENOENT ? io_ok : io_code(errno);
      }
    }
    if (code != io_ok) result = code;
  }
  return result;
}

// Up to 16 pages of the folder's names, each listed from the start again.
u32 delete_rounds(int folder, const store::Path* path) {
  for (u32 round = 0; round < 16; ++round) {
    Listing page;
    memset(&page, 0, sizeof page);
    if (list_folder(folder, &page) != io_ok || page.count == 0) break;
    u32 code = delete_listed(folder, path, &page);
    if (code != io_ok) return code;
  }
  return io_ok;
}

// The path with "/*" behind it must fit the path builder, as every listing's pattern must.
bool pattern_fits(mem::Bytes folder) {
  store::Path pattern;
  store::path_set(&pattern, folder);
  store::path_join(&pattern, mem::lit("*"));
  return !pattern.overflow;
}

}  // namespace

u32 io_error_class(u32 system_error) { return io_code(static_cast<int>(system_error)); }

u32 io_open(mem::Bytes path, u32 access, u32 share, u32 disposition, u32 flags, u64* slot) {
  *slot = 0;
  NativePath native;
  if (!to_short(path, &native)) return io_not_found;
  bool writes = (access & access_write) != 0;
  // A writer opens for reading too: the shared lock that marks it as a writer needs a readable descriptor.
  int how = writes ? O_RDWR : O_RDONLY;
  // A truncation waits until the sharing check passed: a file another handle keeps must stay whole.
  how |= disposition == create_new ? O_CREAT | O_EXCL : disposition == open_existing ? 0 : O_CREAT;
  if (flags & io_write_through) how |= O_DSYNC;
  if (flags & io_no_buffering) how |= O_DIRECT;
  u32 code = io_ok;
  int open_error = 0;
  int fd = io_open_fd(native.text, how, file_mode(native.text), &code, &open_error);
  if (fd < 0) return code;
  if (!sharing_allows(fd, writes, (share & share_write) == 0)) {
    ::close(fd);
    return io_in_use;
  }
  if (disposition == create_always && ftruncate(fd, 0) != 0) {
    code = io_code(errno);
    ::close(fd);
    return code;
  }
  *slot = handle_of(fd);
  return io_ok;
}

u32 io_create_file(mem::Bytes path, mem::Bytes bytes) {
  u64 slot = 0;
  u32 code = io_open(path, access_write, share_read, create_new, io_write_through, &slot);
  if (code != io_ok) return code;
  code = io_write_at(slot, 0, bytes);
  u32 closed = io_close_result(&slot);
  if (code == io_ok) code = closed;
  // A claim left empty or cut short would block its name for good while every reader ignores it.
  if (code != io_ok) io_delete(path);
  return code;
}

u32 io_open_rw(mem::Bytes path, u32 truncate, u64* slot) {
  return io_open(path, access_read | access_write, share_read, truncate ? create_always : open_always,
                 io_write_through, slot);
}

u32 io_open_shared(mem::Bytes path, u64* slot) {
  return io_open(path, access_read | access_write, share_read | share_write, open_always, io_write_through, slot);
}

u32 io_open_read(mem::Bytes path, u64* slot) {
  return io_open(path, access_read, share_read | share_write | share_delete, open_existing, 0, slot);
}

void io_close(u64* slot) { io_close_result(slot); }

u32 io_write_at(u64 slot, u64 offset, mem::Bytes bytes) {
  if (!io_handle_ok(slot)) return io_failed;
  if (offset > static_cast<u64>(INT64_MAX) - bytes.len) return io_failed;
  u64 done = 0;
  while (done < bytes.len) {
    u64 n = bytes.len - done < piece_max ? bytes.len - done : piece_max;
    ssize_t w = pwrite(fd_of(slot), bytes.ptr + done, n, static_cast<off_t>(offset + done));
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return io_code(errno);
    if (w == 0) return io_failed;
    done += static_cast<u64>(w);  // a short piece goes on from where it stopped
  }
  return io_ok;
}

u32 io_read_at(u64 slot, u64 offset, mem::Slice buffer, u64* count) {
  *count = 0;
  if (!io_handle_ok(slot)) return io_failed;
  if (offset > static_cast<u64>(INT64_MAX) - buffer.len) return io_failed;
  return read_pieces(fd_of(slot), offset, buffer, count);
}

u32 io_size(u64 slot, u64* size) {
  *size = 0;
  if (!io_handle_ok(slot)) return io_failed;
  struct stat st {};
  if (fstat(fd_of(slot), &st) != 0) return io_code(errno);
  *size = static_cast<u64>(st.st_size);
  return io_ok;
}

u32 io_grow(u64 slot, u64 length) {
  u64 size = 0;
  u32 code = io_size(slot, &size);
  if (code != io_ok) return code;
  if (length > static_cast<u64>(INT64_MAX)) return io_failed;
  // The blocks are reserved, so that no later write inside the length meets a full disk (a file an older version
  // left sparse gets them too); a file system that cannot reserve gets the plain length.
  int r;
  do {
    r = fallocate(fd_of(slot), 0, 0, static_cast<off_t>(length));
  } while (r != 0 && errno == EINTR);
  if (r == 0) return io_ok;
  if (errno != EOPNOTSUPP && errno != ENOSYS) return io_code(errno);
  if (size >= length) return io_ok;
  do {
    r = ftruncate(fd_of(slot), static_cast<off_t>(length));
  } while (r != 0 && errno == EINTR);
  return r == 0 ? io_ok : io_code(errno);
}

namespace {

// The first 4096 bytes of an open file into the caller's buffer, as the small-file reads hand them over: min(read,
// buffer length) bytes copied, count what was read; nothing when the read answers 5 (the caller reads otherwise).
u32 read_block(int fd, mem::Slice buffer, u64* count) {
  alignas(4096) u8 block[4096];
  u64 got = 0;
  u32 code = read_pieces(fd, 0, mem::Slice{block, sizeof block}, &got);
  if (code != io_failed) {
    memcpy(buffer.ptr, block, got < buffer.len ? got : buffer.len);
    *count = got;
  }
  memset(block, 0, sizeof block);
  return code;
}

}  // namespace

u32 io_read_uncached(mem::Bytes path, mem::Slice buffer, u64* count) {
  *count = 0;
  NativePath native;
  if (!to_short(path, &native)) return io_not_found;
  u32 code = io_ok;
  int open_error = 0;
  int fd = io_open_fd(native.text, O_RDONLY, 0, &code, &open_error);
  if (fd < 0) return code;
  // Only a file system of other machines may hold a record older than the one just written: there the read goes
  // past the cache. On this machine's own disks the cache is the newest record, and reading it spares a disk read
  // (the lease is read every second). File systems without uncached reads refuse them at the switch (EINVAL) or at
  // the read (5): both take the cached read instead.
  if (!cache_is_whole(fd) && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_DIRECT) != 0) {
    ::close(fd);
    return io_read_file(path, buffer, count);
  }
  code = read_block(fd, buffer, count);
  ::close(fd);
  return code == io_failed ? io_read_file(path, buffer, count) : code;
}

void io_mark(u64 slot, FileMark* mark) {
  *mark = FileMark{};
  struct stat st {};
  if (!io_handle_ok(slot) || fstat(fd_of(slot), &st) != 0 || !S_ISREG(st.st_mode)) return;
  mark->device = static_cast<u64>(st.st_dev);
  mark->file = static_cast<u64>(st.st_ino);
  mark->local = cache_is_whole(fd_of(slot)) ? 1 : 0;
}

u32 io_read_named(mem::Bytes path, const FileMark* mark, u64 slot, mem::Slice buffer, u64* count) {
  *count = 0;
  NativePath native;
  if (!mark->local || !io_handle_ok(slot) || !to_short(path, &native)) return io_read_uncached(path, buffer, count);
  // The name is looked up again each time: a file put in its place, or a link, is read by its name.
  struct stat st {};
  bool same = fstatat(AT_FDCWD, native.text, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
              static_cast<u64>(st.st_dev) == mark->device && static_cast<u64>(st.st_ino) == mark->file;
  if (!same) return io_read_uncached(path, buffer, count);
  u32 code = read_block(fd_of(slot), buffer, count);
  return code == io_failed ? io_read_uncached(path, buffer, count) : code;
}

u32 io_make_directory(mem::Bytes path) {
  NativePath native;
  if (!to_short(path, &native)) return io_not_found;
  if (mkdir(native.text, folder_mode(native.text)) == 0) return io_ok;
  if (errno != EEXIST) return io_code(errno);
  // Only a folder counts: a file or a link under the name would take the writes that follow somewhere else.
  struct stat st;
  return lstat(native.text, &st) == 0 && S_ISDIR(st.st_mode) ? io_ok : io_exists;
}

u32 io_replace(mem::Bytes from, mem::Bytes to) {
  NativePath source, target;
  if (!to_short(from, &source) || !to_short(to, &target)) return io_not_found;
  u32 folder_result = ok;
  int e = durable_rename(source.text, target.text, &folder_result);
  if (e != 0) return io_code(e);
  return folder_result == ok ? io_ok : io_failed;
}

u32 io_delete(mem::Bytes path) {
  NativePath native;
  if (!to_short(path, &native)) return io_not_found;
  return unlink(native.text) == 0 ? io_ok : io_code(errno);
}

u32 io_remove_directory(mem::Bytes path) {
  NativePath native;
  if (!to_short(path, &native)) return io_not_found;
  return rmdir(native.text) == 0 ? io_ok : io_code(errno);
}

u32 list_directory(mem::Bytes folder, u32 skip, Listing* listing) {
  memset(listing, 0, sizeof *listing);
  listing->start = skip;
  NativePath native;
  if (!pattern_fits(folder) || !to_short(folder, &native)) return io_not_found;
  int fd = ::open(native.text, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return io_code(errno);
  u32 code = list_folder(fd, listing);
  ::close(fd);
  return code;
}

u32 delete_tree(mem::Bytes folder) {
  NativePath native;
  // A path that cannot be listed is not reported as deleted.
  if (!pattern_fits(folder) || !to_short(folder, &native)) return io_not_found;
  int fd = ::open(native.text, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    int e = errno;
    struct stat st;
    // A link in the folder's place: only the link goes.
    if (lstat(native.text, &st) == 0 && S_ISLNK(st.st_mode)) return unlink(native.text) == 0 ? io_ok : io_code(errno);
    return e == ENOENT || e == ENOTDIR ? io_ok : io_code(e);  // no folder there
  }
  store::Path path;
  store::path_set(&path, folder);
  u32 code = delete_rounds(fd, &path);
  ::close(fd);
  if (code != io_ok) return code;
  return rmdir(native.text) == 0 ? io_ok : io_code(errno);
}

u32 drive_type(mem::Bytes path) {
  NativePath native;
  if (path.len == 0) {
    strcpy(native.text, ".");
  } else if (to_native(path, &native) != ok) {
    return drive_no_root;
  }
  // The nearest part of the path that exists tells the file system.
  struct statfs about;
  while (statfs(native.text, &about) != 0) {
    if (errno != ENOENT || strcmp(native.text, "/") == 0 || strcmp(native.text, ".") == 0) return drive_no_root;
    NativePath up;
    folder_of(native.text, &up);
    native = up;
  }
  u32 magic = static_cast<u32>(about.f_type);
  if (is_remote(magic)) return drive_remote;
  if (magic == 0x01021994 || magic == 0x858458F6) return drive_ram;      // tmpfs, ramfs
  if (magic == 0x9660 || magic == 0x15013346) return drive_optical;       // ISO 9660, UDF
  struct stat st;
  if (stat(native.text, &st) != 0) return drive_unknown;
  // A partition's "removable" flag lives with its disk, one folder up.
  const char* const flag_files[] = {"removable", "../removable"};
  for (const char* where : flag_files) {
    char flag_path[96];
    snprintf(flag_path, sizeof flag_path, "/sys/dev/block/%u:%u/%s", major(st.st_dev), minor(st.st_dev), where);
    int fd = ::open(flag_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    char flag = 0;
    ssize_t n = read(fd, &flag, 1);
    ::close(fd);
    return n == 1 && flag == '1' ? drive_removable : drive_fixed;
  }
  return drive_fixed;
}

// No drive letters here: a folder on a network mount maps to its share's name.
bool unc_of_drive(mem::Bytes path, store::Path* out) {
  netshare::Mount mount;
  return netshare::mount_of(path, &mount) && netshare::unc_of(&mount, out);
}

}  // namespace fs
