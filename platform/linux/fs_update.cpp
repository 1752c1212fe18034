// The updater's file operations on Linux: exclusive creation without following links, renames that never replace
// unless asked, a rename that moves only the file checked through its handle, and deletion that leaves a file in use
// as a running program alone (Linux would unlink it; the program that runs from it keeps it, as the updater expects).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fs.h"

namespace fs {
namespace {

struct Native {
  char text[4096];
};

// The system's form of a path (UTF-8 allowed, "\" as "/"); false for an empty path, a NUL or one too long.
bool native(mem::Bytes path, Native* out) {
  if (path.len == 0 || path.len >= sizeof out->text) return false;
  for (u64 i = 0; i < path.len; i++) {
    if (path.ptr[i] == 0) return false;
    out->text[i] = path.ptr[i] == '\\' ? '/' : char(path.ptr[i]);
  }
  out->text[path.len] = 0;
  return true;
}

int fd_of(u64 handle) { return int(handle - 1); }

void sync_folder(const char* path) {
  char folder[4096];
  snprintf(folder, sizeof folder, "%s", path);
  char* slash = strrchr(folder, '/');
  if (slash == folder) slash[1] = 0;
  else if (slash) *slash = 0;
  else snprintf(folder, sizeof folder, ".");
  int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  ::close(fd);
}

#ifdef VIMBREL_TEST_SEAMS
// Test builds only. Rules "operation:path end:value" separated by ';' in an environment variable: the value of the
// first rule whose operation is this one and whose path end ends this path, or null.
const char* rule_for(const char* variable, const char* operation, const char* path) {
  const char* rules = getenv(variable);
  if (!rules) return nullptr;
  u64 op_len = strlen(operation), path_len = strlen(path);
  for (const char* at = rules; *at;) {
    const char* end = strchr(at, ';');
    u64 len = end ? u64(end - at) : strlen(at);
    const char* colon = static_cast<const char*>(memchr(at, ':', len));
    const char* last = colon ? static_cast<const char*>(memrchr(at, ':', len)) : nullptr;
    if (colon && last > colon && u64(colon - at) == op_len && memcmp(at, operation, op_len) == 0) {
      u64 tail = u64(last - colon - 1);
      if (tail <= path_len && memcmp(path + path_len - tail, colon + 1, tail) == 0) return last + 1;
    }
    at += len + (end ? 1 : 0);
  }
  return nullptr;
}

// VIMBREL_TEST_FAULTS: an operation on a path that ends so fails with the rule's error number and does nothing, which
// lets tests that run as root see what a refusal does. VIMBREL_TEST_KILL (value "kill"): the process is killed just
// before the operation, as a power cut or kill -9 would stop it there.
u32 injected(const char* operation, const char* path) {
  if (rule_for("VIMBREL_TEST_KILL", operation, path)) kill(getpid(), SIGKILL);
  const char* value = rule_for("VIMBREL_TEST_FAULTS", operation, path);
  return value ? u32(atoi(value)) : 0;
}
#else
u32 injected(const char*, const char*) { return 0; }
#endif

// True when a process that this user can see was started from the file (its /proc/<pid>/exe is that inode).
bool runs_from(const struct stat& file) {
  DIR* proc = opendir("/proc");
  if (!proc) return false;
  bool found = false;
  char link[300];
  while (dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    snprintf(link, sizeof link, "/proc/%s/exe", entry->d_name);
    struct stat image;
    if (stat(link, &image) == 0 && image.st_dev == file.st_dev && image.st_ino == file.st_ino) {
      found = true;
      break;
    }
  }
  closedir(proc);
  return found;
}

}  // namespace

u32 create_exclusive(mem::Bytes path, u32 mode, u64* handle) {
  *handle = 0;
  Native p;
  if (!native(path, &p)) return ENOENT;
  if (u32 e = injected("create", p.text)) return e;
  int fd = ::open(p.text, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return u32(errno);
  if (fchmod(fd, mode & 07777) != 0) {
    u32 e = u32(errno);
    ::close(fd);
    unlink(p.text);
    return e;
  }
  *handle = u64(fd) + 1;
  return 0;
}

u32 open_plain_read(mem::Bytes path, u64* handle) {
  *handle = 0;
  Native p;
  if (!native(path, &p)) return ENOENT;
  if (u32 e = injected("open", p.text)) return e;
  int fd = ::open(p.text, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return u32(errno);
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return EISDIR;
  }
  *handle = u64(fd) + 1;
  return 0;
}

u32 handle_size(u64 handle, u64* size) {
  *size = 0;
  struct stat st;
  if (handle == 0 || fstat(fd_of(handle), &st) != 0) return handle == 0 ? EBADF : u32(errno);
  *size = u64(st.st_size);
  return 0;
}

u32 write_handle(u64 handle, mem::Bytes bytes) {
  if (handle == 0) return EBADF;
  u64 done = 0;
  while (done < bytes.len) {
    ssize_t n = ::write(fd_of(handle), bytes.ptr + done, bytes.len - done);
    if (n > 0) {
      done += u64(n);
    } else if (n < 0 && errno != EINTR) {
      return u32(errno);
    } else if (n == 0) {
      return EIO;
    }
  }
  return 0;
}

u32 sync_handle(u64 handle) {
  if (handle == 0) return EBADF;
  return fsync(fd_of(handle)) == 0 ? 0 : u32(errno);
}

void close_handle(u64 handle) {
  if (handle != 0) ::close(fd_of(handle));
}

u32 rename_path(mem::Bytes from, mem::Bytes to, u32 replace) {
  Native a, b;
  if (!native(from, &a) || !native(to, &b)) return ENOENT;
  if (u32 e = injected("rename", b.text)) return e;
  int r = replace ? ::rename(a.text, b.text) : renameat2(AT_FDCWD, a.text, AT_FDCWD, b.text, RENAME_NOREPLACE);
  if (r != 0 && !replace && errno == EINVAL) {
    // A file system without the no-replace rename: a new link fails on an existing name, then the old name goes.
    if (link(a.text, b.text) != 0) return u32(errno);
    r = unlink(a.text);
  }
  if (r != 0) return u32(errno);
  sync_folder(b.text);
  return 0;
}

u32 rename_open(u64 handle, mem::Bytes from, mem::Bytes to) {
  Native a, b;
  if (handle == 0) return EBADF;
  if (!native(from, &a) || !native(to, &b)) return ENOENT;
  if (u32 e = injected("rename_open", b.text)) return e;
  struct stat held, named;
  if (fstat(fd_of(handle), &held) != 0) return u32(errno);
  if (lstat(a.text, &named) != 0) return u32(errno);
  if (held.st_dev != named.st_dev || held.st_ino != named.st_ino) return ESTALE;
  if (::rename(a.text, b.text) != 0) return u32(errno);
  sync_folder(b.text);
  return 0;
}

u32 link_path(mem::Bytes from, mem::Bytes to) {
  Native a, b;
  if (!native(from, &a) || !native(to, &b)) return ENOENT;
  if (u32 e = injected("link", b.text)) return e;
  if (::link(a.text, b.text) != 0) return u32(errno);
  sync_folder(b.text);
  return 0;
}

// Paths of this system tell letter case apart: the path is its own key.
u64 path_lock_key(mem::Bytes path, mem::Slice out) {
  if (path.len > out.len) return 0;
  mem::copy(out, path);
  return path.len;
}

// A running program's file takes a second name: the program's own name never stops naming a whole program.
u32 park_path(mem::Bytes from, mem::Bytes to) { return link_path(from, to); }

u32 swap_in(mem::Bytes new_path, mem::Bytes target, mem::Bytes backup, u32* target_missing) {
  if (target_missing) *target_missing = 0;
  if (!present(new_path) || !present(target) || delete_plain(backup) != 0) return 0;
  if (link_path(target, backup) != 0) return 0;
  // The target's name moves to the new file in one step; the old file keeps its second name.
  if (rename_path(new_path, target, 1) == 0) return 1;
  delete_plain(backup);
  if (target_missing && !present(target)) *target_missing = 1;
  return 0;
}

u32 delete_unused(mem::Bytes path) {
  Native p;
  if (!native(path, &p)) return 0;
  struct stat st;
  if (lstat(p.text, &st) != 0) return errno == ENOENT || errno == ENOTDIR ? 0 : u32(errno);
  if (u32 e = injected("delete", p.text)) return e;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  if (S_ISREG(st.st_mode) && runs_from(st)) return ETXTBSY;
  if (unlink(p.text) != 0 && errno != ENOENT) return u32(errno);
  return 0;
}

u32 delete_plain(mem::Bytes path) {
  Native p;
  if (!native(path, &p)) return ENOENT;
  if (u32 e = injected("unlink", p.text)) return e;
  return unlink(p.text) == 0 || errno == ENOENT ? 0 : u32(errno);
}

u32 present(mem::Bytes path) {
  Native p;
  struct stat st;
  return native(path, &p) && lstat(p.text, &st) == 0 ? 1 : 0;
}

void identity(mem::Bytes path, u64* device, u64* inode) {
  *device = *inode = 0;
  Native p;
  struct stat st;
  if (!native(path, &p) || lstat(p.text, &st) != 0 || !S_ISREG(st.st_mode)) return;
  *device = u64(st.st_dev);
  *inode = u64(st.st_ino);
}

u32 mode_bits(mem::Bytes path) {
  Native p;
  struct stat st;
  if (!native(path, &p) || stat(p.text, &st) != 0) return 0;
  return u32(st.st_mode & 07777);
}

}  // namespace fs
